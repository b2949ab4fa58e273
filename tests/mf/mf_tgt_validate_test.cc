// Target validation: explicit rules, search lists, .LIBPATTERNS, .DEFAULT, plain files, vpath
// relocation and the explicit $* of every dialect.
#include "mf/mf_tgt_validate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_util.h"
#include "lookup_util.h"
#include "mf/mf_tgt_parse.h"

using mftest::Captured;
using mftest::Lookup;
using mftest::strings;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

struct Dialect {
  uint32_t variant;
  const char *name;
};
const Dialect kDialects[] = {
    {MF_COMPAT_STD, "std"},           {MF_COMPAT_SGISMAKE, "sgismake"},
    {MF_COMPAT_PGNU, "pgnu"},         {MF_COMPAT_SUN, "sun"},
    {MF_COMPAT_SGIPMAKE, "sgipmake"}, {MF_COMPAT_BSDNETR2, "bsdnetr2"},
    {MF_COMPAT_GNU, "gnu"},           {MF_COMPAT_KELTO, "kelto"},
};

std::vector<std::string> search_list(Lookup &l, const char *name, int restrict_sun = 1) {
  list_handle_t dirs = mf_tgt_apply_search_list(l.table(), name, restrict_sun);
  std::vector<std::string> v = strings(dirs);
  if (dirs != LIST_HANDLE_NULL) list_destroy(dirs);
  return v;
}

TEST(MfTgtValidate, MatrixOfEveryDialect) {
  for (const Dialect &d : kDialects) {
    SCOPED_TRACE(d.name);
    Lookup l(d.variant);
    l.rule({"all"}, {"x"}, {"echo all"});
    l.file("plain.txt");
    l.file("src/y.c");
    // The BSD-style dialects search .PATH before $(VPATH).
    if (d.variant == MF_COMPAT_SGISMAKE || d.variant == MF_COMPAT_SGIPMAKE ||
        d.variant == MF_COMPAT_BSDNETR2)
      ASSERT_EQ(mf_tgt_all_path(l.parse().list({"src"})), 0);
    else
      l.macro("VPATH", "src");

    ASSERT_EQ(l.validate("all"), MF_TGT_VALID);
    EXPECT_EQ(l.entry(), l.parse().entry("all"));
    EXPECT_EQ(l.entry()->validation, 1);
    EXPECT_THAT(strings(l.entry()->instances != nullptr ? mf_tgt_get_dep_list(
                                                              l.table(), l.entry(),
                                                              list_next(l.entry()->instances,
                                                                        nullptr, nullptr))
                                                        : nullptr),
                ElementsAre("x"));

    // A file without a rule: an entry, validated, that no rule defines.
    ASSERT_EQ(l.validate("plain.txt"), MF_TGT_NO_RULE);
    ASSERT_NE(l.entry(), nullptr);
    EXPECT_EQ(l.entry()->validation, 1);
    EXPECT_EQ(l.entry()->defined_as_target, 0);
    EXPECT_STREQ(mf_tgt_entry_act_pn(l.table(), l.entry()), "plain.txt");

    // A file found through the search list: the entry of the path where it lies.
    ASSERT_EQ(l.validate("y.c"), MF_TGT_NO_RULE);
    ASSERT_NE(l.entry(), nullptr);
    EXPECT_STREQ(mf_tgt_entry_act_pn(l.table(), l.entry()), "src/y.c");

    // Nothing makes it and it is nowhere.
    EXPECT_EQ(l.validate("nothing"), MF_TGT_NO_RULE);
    EXPECT_EQ(l.entry(), nullptr);

    // .DEFAULT makes what is missing, and only that.
    l.rule({".DEFAULT"}, {}, {"echo default $@"});
    ASSERT_EQ(l.validate("missing"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "missing: [] {echo default $@}");
    EXPECT_EQ(l.entry()->implicit_target, 1);
    EXPECT_EQ(mf_tgt_get_inst_flags(l.table(), l.entry(),
                                    list_next(l.entry()->instances, nullptr, nullptr)),
              MF_TGT_INST_FROM_DEFAULT);
    EXPECT_EQ(l.validate("plain.txt"), MF_TGT_NO_RULE);
    // Validated once: the entry is handed out again without a second lookup.
    mf_tgt_entry_t *first = nullptr;
    ASSERT_EQ(mf_tgt_validate_tgt(l.table(), "missing", &first), MF_TGT_VALID);
    EXPECT_EQ(strings(first->instances).size(), 1u);
  }
}

TEST(MfTgtValidate, LibpatternsTryEachPatternInTurn) {
  struct Case {
    std::vector<const char *> files;
    int result;
    const char *found;  // actual name of the entry, or null for none
  };
  const Case cases[] = {
      {{"libfoo.so", "libfoo.a"}, MF_TGT_NO_RULE, "libfoo.so"},
      {{"libfoo.a"}, MF_TGT_NO_RULE, "libfoo.a"},
      {{}, MF_TGT_NO_RULE, nullptr},
  };
  for (uint32_t v : {uint32_t(MF_COMPAT_GNU), uint32_t(MF_COMPAT_PGNU)}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::to_string(v) + " " + std::to_string(c.files.size()));
      Lookup l(v);
      l.macro(".LIBPATTERNS", "lib%.so lib%%.x nopct lib%.a");
      for (const char *f : c.files) l.file(f);
      EXPECT_EQ(l.validate("-lfoo"), c.result);
      if (c.found == nullptr) {
        EXPECT_EQ(l.entry(), nullptr);
      } else {
        ASSERT_NE(l.entry(), nullptr);
        EXPECT_STREQ(mf_tgt_entry_act_pn(l.table(), l.entry()), c.found);
      }
    }
  }
  // A rule for the library counts as much as the file; std knows no .LIBPATTERNS.
  Lookup gnu(MF_COMPAT_GNU);
  gnu.macro(".LIBPATTERNS", "lib%.so lib%.a");
  gnu.rule({"libfoo.a"}, {}, {"ar r $@"});
  ASSERT_EQ(gnu.validate("-lfoo"), MF_TGT_VALID);
  EXPECT_STREQ(mf_tgt_entry_act_pn(gnu.table(), gnu.entry()), "libfoo.a");
  Lookup std_l(MF_COMPAT_STD);
  std_l.macro(".LIBPATTERNS", "lib%.so lib%.a");
  std_l.file("libfoo.a");
  EXPECT_EQ(std_l.validate("-lfoo"), MF_TGT_NO_RULE);
  EXPECT_EQ(std_l.entry(), nullptr);
}

TEST(MfTgtValidate, SearchListsByDialect) {
  {
    Captured cap;
    Lookup l(MF_COMPAT_STD);
    l.macro("VPATH", ":a::b");
    EXPECT_THAT(search_list(l, "x.c"), ElementsAre("a", "b"));
    EXPECT_EQ(cap.err(), "tool: Warning: Extra colon in search list \":a::b\" (from \"VPATH\")\n");
    l.macro("VPATH", " a b : c ");
    EXPECT_THAT(search_list(l, "x.c"), ElementsAre("a b ", "c"));
  }
  {
    Captured cap;
    Lookup l(MF_COMPAT_GNU);
    l.macro("VPATH", "a b:c");
    EXPECT_THAT(search_list(l, "x.h"), ElementsAre("a", "b", "c"));
    l.macro("VPATH", ":a");
    EXPECT_THAT(search_list(l, "x.h"), ElementsAre("a"));
    EXPECT_EQ(cap.err(), "");
    // vpath directives first, all that match in order; $(VPATH) for names none matches.
    ASSERT_EQ(mf_tgt_gnu_vpath("%.c", l.parse().list({"src", "gen"})), 0);
    ASSERT_EQ(mf_tgt_gnu_vpath("x%", l.parse().list({"xdir"})), 0);
    ASSERT_EQ(mf_tgt_gnu_vpath("y.c", l.parse().list({"ydir"})), 0);
    EXPECT_THAT(search_list(l, "x.c"), ElementsAre("src", "gen", "xdir"));
    EXPECT_THAT(search_list(l, "y.c"), ElementsAre("src", "gen", "ydir"));
    EXPECT_THAT(search_list(l, "z.h"), ElementsAre("a"));
  }
  {
    // .PATH<suffix> takes the general .PATH list behind it once, however often it is asked.
    Lookup l(MF_COMPAT_SGISMAKE);
    ASSERT_EQ(mf_tgt_suff_path(".c", l.parse().list({"src"})), 0);
    ASSERT_EQ(mf_tgt_all_path(l.parse().list({"gen"})), 0);
    EXPECT_THAT(search_list(l, "x.c"), ElementsAre("src", "gen"));
    EXPECT_THAT(search_list(l, "x.c"), ElementsAre("src", "gen"));
    EXPECT_THAT(search_list(l, "x.h"), ElementsAre("gen"));
    l.macro("VPATH", "vp");
    EXPECT_THAT(search_list(l, "x.h"), ElementsAre("gen"));
  }
  {
    // sun: a name with a directory has no search list when the caller restricts it.
    Lookup l(MF_COMPAT_SUN);
    l.macro("VPATH", "src");
    EXPECT_THAT(search_list(l, "d/x.c"), ElementsAre());
    EXPECT_THAT(search_list(l, "d/x.c", 0), ElementsAre("src"));
    EXPECT_THAT(search_list(l, "x.c"), ElementsAre("src"));
  }
}

TEST(MfTgtValidate, AHeldContextReadsVpathOfTheMacroListInForce) {
  Lookup l(MF_COMPAT_GNU);
  l.macro("VPATH", "one");
  l.file("one/a.c");
  l.file("one/b.c");
  l.file("two/c.c");
  mf_tgt_validate_context_t held;
  const char *loc = nullptr;
  EXPECT_EQ(mf_tgt_validate_file(l.table(), "a.c", 1, 0, &loc), MF_TGT_FILE_IN_SEARCH);
  EXPECT_STREQ(loc, "one/a.c");
  EXPECT_EQ(mf_tgt_validate_file(l.table(), "b.c", 1, 0, &loc), MF_TGT_FILE_IN_SEARCH);
  EXPECT_STREQ(loc, "one/b.c");
  // Another macro-table list in force: its $(VPATH) counts.
  bldr_macro_table_t *other = bldr_macro_init_table(10, BLDR_MACRO_ORIGIN_FILE, STG_AREA_HEAP);
  ASSERT_EQ(bldr_macro_define(other, "VPATH", "two", 0), KS_ST_OK);
  list_handle_t tables = list_create(STG_AREA_HEAP, 0);
  list_append(tables, other);
  const list_handle_t saved = mfc_mf_macro_table_list;
  mfc_mf_macro_table_list = tables;
  EXPECT_EQ(mf_tgt_validate_file(l.table(), "c.c", 1, 0, &loc), MF_TGT_FILE_IN_SEARCH);
  EXPECT_STREQ(loc, "two/c.c");
  mfc_mf_macro_table_list = saved;
  list_destroy(tables);
  bldr_macro_term_table(other);
}

TEST(MfTgtValidate, ValidateFileLooksInTheSearchDirectories) {
  Lookup l(MF_COMPAT_GNU);
  l.macro("VPATH", "one:two");
  l.file("two/x.c");
  l.file("here.c");
  l.rule({"one/made.c"}, {}, {"gen $@"});
  const char *loc = nullptr;
  EXPECT_EQ(mf_tgt_validate_file(l.table(), "here.c", 1, 0, &loc), MF_TGT_FILE_EXISTS);
  EXPECT_STREQ(loc, "here.c");
  EXPECT_EQ(mf_tgt_validate_file(l.table(), "x.c", 1, 0, &loc), MF_TGT_FILE_IN_SEARCH);
  EXPECT_STREQ(loc, "two/x.c");
  EXPECT_EQ(mf_tgt_validate_file(l.table(), "x.c", 0, 0, &loc), MF_TGT_FILE_NOT_FOUND);
  EXPECT_EQ(loc, nullptr);
  EXPECT_EQ(mf_tgt_validate_file(l.table(), "made.c", 1, 1, &loc), MF_TGT_FILE_IN_TABLE);
  EXPECT_STREQ(loc, "one/made.c");
  EXPECT_EQ(mf_tgt_validate_file(l.table(), "made.c", 1, 0, &loc), MF_TGT_FILE_NOT_FOUND);
  EXPECT_EQ(mf_tgt_validate_file(l.table(), "/nowhere/x.c", 1, 1, &loc), MF_TGT_FILE_NOT_FOUND);
}

TEST(MfTgtValidate, GnuExplicitTargetMovesToItsVpathDirectory) {
  Lookup l(MF_COMPAT_GNU);
  ASSERT_EQ(mf_tgt_gnu_vpath("%.o", l.parse().list({"obj"})), 0);
  l.file("obj/x.o");
  l.rule({"x.o"}, {"x.c"}, {"cc -c x.c"});
  l.rule({"all"}, {"x.o"}, {});
  mf_tgt_entry_t *plain = l.parse().entry("x.o");
  void *rule = nullptr;
  list_next(plain->instances, nullptr, &rule);
  ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
  mf_tgt_entry_t *moved = l.entry();
  ASSERT_NE(moved, plain);
  EXPECT_EQ(l.rule_of(), "obj/x.o: x.c [*] {cc -c x.c}");
  EXPECT_EQ(plain->validation, -1);
  // The instances belong to the entry they moved to, and only to it.
  EXPECT_EQ(plain->instances, LIST_HANDLE_NULL);
  void *d = nullptr;
  list_next(moved->instances, nullptr, &d);
  EXPECT_EQ(d, rule);
  EXPECT_EQ(list_length(moved->instances), 1u);
  // Asked again by its first name, the lookup lands on the same entry.
  ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
  EXPECT_EQ(l.entry(), moved);
}

TEST(MfTgtValidate, GnuVpathEquivalentTargetsKeepTheLocatedScript) {
  Captured cap;
  Lookup l(MF_COMPAT_GNU);
  l.macro("VPATH", "obj");
  l.rule({"obj/x.o"}, {"a.c"}, {"located script"});
  l.rule({"x.o"}, {"b.c"}, {"plain script"});
  ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
  EXPECT_EQ(l.rule_of(), "obj/x.o: a.c b.c [*] {located script}");
  EXPECT_EQ(cap.err(),
            "tool: Warning: Build scripts were specified for both \"x.o\" and \"obj/x.o\".\n"
            "These targets are considered equivalent due to the use of vpath.\n"
            "The script for \"obj/x.o\" will be used.\n");
}

TEST(MfTgtValidate, ImplicitTargetFoundInASearchDirectoryIsRelocated) {
  Lookup l(MF_COMPAT_STD);
  l.suffixes({".o", ".c"});
  l.rule({".c.o"}, {}, {"cc -c $<"});
  l.macro("VPATH", "lib");
  l.file("x.c");
  l.file("lib/x.o");
  ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
  EXPECT_EQ(l.rule_of(), "lib/x.o: x.c [<x.c *lib/x] {cc -c $<}");
}

// A name the table holds gets the same rule validated through the entry its caller looked up as
// validated by name, whichever step of the lookup gives it; validated again by name, it lands on
// the same entry.
TEST(MfTgtValidate, AKnownEntryValidatesAsItsName) {
  struct Case {
    const char *name;
    uint32_t variant;
    int result;
    const char *rule;
  };
  const Case kCases[] = {
      {"all", MF_COMPAT_STD, MF_TGT_VALID,
       "all: x.o y.o lib/z.o z.o plain.txt v.h gone.h w.o -lm -lq [*all] {link}"},
      // An explicit rule completed by a suffix rule; a rule inferred from one.
      {"x.o", MF_COMPAT_STD, MF_TGT_VALID, "x.o: x.h x.c [<x.c *x] {cc -c $<}"},
      {"y.o", MF_COMPAT_STD, MF_TGT_VALID, "y.o: y.c [<y.c *y] {cc -c $<}"},
      // Inferred, then relocated to where a search directory holds the file.
      {"z.o", MF_COMPAT_STD, MF_TGT_VALID, "lib/z.o: z.c [<z.c *lib/z] {cc -c $<}"},
      // Files without a rule: under their own name, in a search directory, nowhere.
      {"lib/z.o", MF_COMPAT_STD, MF_TGT_NO_RULE, "lib/z.o:"},
      {"v.h", MF_COMPAT_STD, MF_TGT_NO_RULE, "inc/v.h:"},
      {"gone.h", MF_COMPAT_STD, MF_TGT_NO_RULE, "-"},
      {"gone.h", MF_COMPAT_BSDNETR2, MF_TGT_NO_RULE, "-"},
      {"gone.h", MF_COMPAT_SUN, MF_TGT_VALID, "gone.h: [] {echo default $@}"},
      {"y.o", MF_COMPAT_GNU, MF_TGT_VALID, "y.o: y.c [<y.c *y] {gcc -c $<}"},
      // An explicit target moved to its vpath directory.
      {"w.o", MF_COMPAT_GNU, MF_TGT_VALID, "obj/w.o: x.c [*w] {cc w}"},
      {"v.h", MF_COMPAT_GNU, MF_TGT_NO_RULE, "inc/v.h:"},
      // .LIBPATTERNS candidates: one that exists, none that does, then the name itself.
      {"-lm", MF_COMPAT_GNU, MF_TGT_NO_RULE, "libm.a:"},
      {"-lq", MF_COMPAT_GNU, MF_TGT_NO_RULE, "-"},
  };
  for (const Case &c : kCases) {
    for (bool known : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + " variant " + std::to_string(c.variant) +
                   (known ? " known" : " by name"));
      Captured cap;
      Lookup l(c.variant);
      l.suffixes({".o", ".c", ".h"});
      l.rule({".c.o"}, {}, {"cc -c $<"});
      if (c.variant == MF_COMPAT_GNU) {
        l.rule({"%.o"}, {"%.c"}, {"gcc -c $<"});
        ASSERT_EQ(mf_tgt_gnu_vpath("w.o", l.parse().list({"obj"})), 0);
        l.macro(".LIBPATTERNS", "lib%.a");
      }
      if (c.variant == MF_COMPAT_SUN) l.rule({".DEFAULT"}, {}, {"echo default $@"});
      l.macro("VPATH", "lib:inc");
      for (const char *f : {"x.c", "y.c", "z.c", "lib/z.o", "plain.txt", "inc/v.h", "obj/w.o",
                            "libm.a"})
        l.file(f);
      l.rule({"x.o"}, {"x.h"}, {});
      l.rule({"w.o"}, {"x.c"}, {"cc w"});
      l.rule({"all"},
             {"x.o", "y.o", "lib/z.o", "z.o", "plain.txt", "v.h", "gone.h", "w.o", "-lm", "-lq"},
             {"link"});
      EXPECT_EQ(known ? l.validate_known(c.name) : l.validate(c.name), c.result);
      EXPECT_EQ(l.rule_of(), c.rule);
      mf_tgt_entry_t *first = l.entry();
      l.validate(c.name);
      EXPECT_EQ(l.entry(), first);
    }
  }
}

// The directories of the names tested stay resolved from one validation to the next only under
// the same working directory: the same relative directory elsewhere is another directory.
TEST(MfTgtValidate, ResolvedDirectoriesFollowTheWorkingDirectory) {
  for (bool present : {false, true, false, true}) {
    SCOPED_TRACE(present ? "source present" : "source absent");
    Lookup l(MF_COMPAT_STD);
    l.suffixes({".o", ".c"});
    l.rule({".c.o"}, {}, {"cc -c $<"});
    l.file(present ? "src/x.c" : "src/other.c");
    ASSERT_EQ(l.validate("src/x.o"), present ? MF_TGT_VALID : MF_TGT_NO_RULE);
    if (present) {
      EXPECT_EQ(l.rule_of(), "src/x.o: src/x.c [<src/x.c *src/x] {cc -c $<}");
    }
  }
}

TEST(MfTgtValidate, PhonyTargetsTakeNoImplicitRule) {
  Lookup l(MF_COMPAT_STD);
  l.suffixes({".o", ".c"});
  l.rule({".c.o"}, {}, {"cc -c $<"});
  l.file("x.c");
  l.rule({"x.o"}, {}, {});
  ASSERT_EQ(mf_tgt_declare_phony_targets(l.parse().list({"x.o"})), 0);
  ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
  EXPECT_EQ(l.rule_of(), "x.o: [*x] {}");
}

TEST(MfTgtValidate, TooManyScriptsWarnOnce) {
  Captured cap;
  Lookup l(MF_COMPAT_STD);
  l.rule({"t"}, {}, {"one"}, true);
  mf_tgt_entry_t *t = l.parse().entry("t");
  t->multiple_defined = 1;
  t->multiple_valid = 0;
  EXPECT_EQ(l.validate("t"), MF_TGT_VALID);
  EXPECT_EQ(l.validate("t"), MF_TGT_VALID);
  EXPECT_EQ(cap.err(),
            "tool: Warning: Too many build scripts for target \"t\"\n"
            "Only the first build script will be used\n");
}

TEST(MfTgtValidate, ExplicitDollarStarByDialect) {
  struct Case {
    uint32_t variant;
    const char *name;
    const char *explicit_stem;
    const char *member;
    const char *star;  // null: none
  };
  const Case cases[] = {
      {MF_COMPAT_STD, "dir/x.o", nullptr, nullptr, "dir/x"},
      {MF_COMPAT_STD, "x.zz", nullptr, nullptr, "x"},
      {MF_COMPAT_STD, "lib.a(m.o)", nullptr, "m.o", "m"},
      {MF_COMPAT_SUN, "lib.a(m.o)", nullptr, "m.o", nullptr},
      {MF_COMPAT_SUN, "x.o", nullptr, nullptr, "x"},
      {MF_COMPAT_SUN, "x.zz", nullptr, nullptr, "x.zz"},
      {MF_COMPAT_SGISMAKE, "x.zz", nullptr, nullptr, "x.zz"},
      {MF_COMPAT_SGIPMAKE, "dir/x.o", nullptr, nullptr, "x"},
      {MF_COMPAT_GNU, "x.o", "given", nullptr, "given"},
      {MF_COMPAT_GNU, "x.o", nullptr, nullptr, "x"},
      {MF_COMPAT_GNU, "x.zz", nullptr, nullptr, ""},
      {MF_COMPAT_KELTO, "x.o", nullptr, nullptr, "x"},
      {MF_COMPAT_KELTO, "x.zz", nullptr, nullptr, "x"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.name) + " in " + std::to_string(c.variant));
    Lookup l(c.variant);
    l.suffixes({".o", ".c"});
    const char *star =
        mf_tgt_dollar_star_for_explicit_tgt(l.table(), c.name, c.explicit_stem, c.member);
    if (c.star == nullptr) {
      EXPECT_EQ(star, nullptr);
    } else {
      EXPECT_STREQ(star, c.star);
    }
  }
}

// The $* a validated explicit rule gives is the one the dialect's rule makes of its name; the std
// dialect makes it only when asked for, and keeps the name until then.
TEST(MfTgtValidate, ExplicitRuleDollarStarWhenAskedFor) {
  struct Case {
    uint32_t variant;
    const char *name;
    const char *star;
  };
  const Case cases[] = {
      {MF_COMPAT_STD, "dir/x.o", "dir/x"},  {MF_COMPAT_STD, "x.zz", "x"},
      {MF_COMPAT_STD, "noext", "noext"},    {MF_COMPAT_SUN, "x.zz", "x.zz"},
      {MF_COMPAT_GNU, "x.o", "x"},          {MF_COMPAT_KELTO, "x.zz", "x"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.name) + " in " + std::to_string(c.variant));
    Lookup l(c.variant);
    l.suffixes({".o", ".c"});
    l.rule({c.name}, {"other.c"}, {"cc"});
    ASSERT_EQ(l.validate(c.name), MF_TGT_VALID);
    mf_tgt_entry_t *e = l.entry();
    mf_tgt_inst_handle_t first = mf_tgt_next_instance(l.table(), e, nullptr);
    auto *inst = static_cast<mf_tgt_inst_desc_t *>(list_get_data(e->instances, first));
    if (c.variant == MF_COMPAT_STD) {
      EXPECT_STREQ(inst->tgt_base_pname, c.name);  // nothing made yet
      EXPECT_EQ(mf_tgt_get_inst_flags(l.table(), e, first), 0u);
    }
    EXPECT_STREQ(mf_tgt_get_tgt_base_pname(l.table(), e, first), c.star);
    EXPECT_STREQ(mf_tgt_get_tgt_base_pname(l.table(), e, first), c.star);
    EXPECT_EQ(inst->flags & MF_TGT_INST_STEM_OF_NAME, 0u);
  }
}

TEST(MfTgtValidate, JavaClassRecords) {
  Captured cap;
  Lookup l(MF_COMPAT_STD);
  mf_tgt_require_class_java_dependency(l.table(), "pkg/A.class", "/src/pkg/A.java");
  mf_tgt_require_class_java_dependency(l.table(), "pkg/A.class", "/src/pkg/A.java");
  mf_tgt_require_class_java_dependency(l.table(), "Noclass", "/src/N.java");
  EXPECT_EQ(mftest::describe(l.table(), l.parse().entry("pkg/A.class")),
            "pkg/A.class: /src/pkg/A.java [</src/pkg/A.java *pkg/A] {}");
  EXPECT_THAT(cap.err(), HasSubstr("Could not find trailing suffix in pathname \"Noclass\".\n"));
  const char *java = nullptr;
  EXPECT_EQ(mf_tgt_lookup_class_java_dependency(l.table(), "pkg/A.class", &java), 1);
  EXPECT_STREQ(java, "/src/pkg/A.java");
  EXPECT_EQ(mf_tgt_lookup_class_java_dependency(l.table(), "pkg/B.class", &java), 0);
  EXPECT_EQ(java, nullptr);
}

TEST(MfTgtValidate, ClaimMarksValidated) {
  Lookup l(MF_COMPAT_STD);
  l.rule({"all"}, {"dep"}, {});
  mf_tgt_claim_tgt_was_validated(l.table(), "dep");
  EXPECT_EQ(l.parse().entry("dep")->validation, 1);
  EXPECT_STREQ(mf_tgt_entry_act_pn(l.table(), l.parse().entry("dep")), "dep");
}

}  // namespace
