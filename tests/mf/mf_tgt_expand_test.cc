// Automatic macros of a target per dialect, and dependency lists expanded at build time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "capture_util.h"
#include "lookup_util.h"
#include "mf/bldr_macro.h"
#include "mf/mf_tgt_expand.h"
#include "mf/mf_tgt_group.h"
#include "mf/mf_tgt_mactab.h"
#include "mf/mf_tgt_parse.h"

using mftest::Captured;
using mftest::Lookup;
using mftest::strings;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

constexpr const char *kAbsent = "<absent>";

struct MacCase {
  const char *what;
  uint32_t variant;
  const char *target;
  const char *imp;
  std::vector<const char *> ood;   // {"-"}: none
  std::vector<const char *> deps;  // {"-"}: none
  std::vector<const char *> extra;
  const char *member;
  uint64_t flags;
  const char *stem;
  std::map<std::string, std::string> expect;  // kAbsent: not defined
};

// A heap list of the names; null for {"-"}.
list_handle_t make_list(const std::vector<const char *> &names) {
  if (names.size() == 1 && std::string(names[0]) == "-") return LIST_HANDLE_NULL;
  list_handle_t l = list_create(STG_AREA_HEAP, 0);
  for (const char *n : names) list_append(l, const_cast<char *>(n));
  return l;
}

TEST(MfTgtAutomaticMacros, TableOfCasesPerDialect) {
  const uint32_t std_v = MF_COMPAT_STD, gnu = MF_COMPAT_GNU, sun = MF_COMPAT_SUN,
                 bsd = MF_COMPAT_SGISMAKE, kelto = MF_COMPAT_KELTO;
  const std::vector<const char *> none = {"-"};
  const MacCase cases[] = {
      {"std plain", std_v, "sub/x.o", nullptr, none, none, {}, nullptr, 0, nullptr,
       {{"@", "sub/x.o"}, {"@D", "sub"}, {"@F", "x.o"}, {"?", kAbsent}, {"<", kAbsent},
        {"*", kAbsent}, {"%", kAbsent}, {"^", kAbsent}, {"+", kAbsent}, {"|", kAbsent},
        {">", kAbsent}, {".TARGET", kAbsent}}},
      {"std no directory", std_v, "x.o", nullptr, none, none, {}, nullptr, 0, nullptr,
       {{"@D", "."}, {"@F", "x.o"}}},
      {"sun trailing slash", sun, "dir/", nullptr, none, none, {}, nullptr, 0, nullptr,
       {{"@", "dir/"}, {"@D", "dir"}, {"@F", ""}}},
      {"std all inputs", std_v, "x.o", "x.c", {"sub/a.c", "b.c", "sub/a.c"}, {"x.c", "x.h"},
       {"b.c", "e.h", "e.h"}, nullptr, 0, "sub/x",
       {{"?", "sub/a.c b.c sub/a.c e.h"}, {"?D", "sub . sub ."}, {"?F", "a.c b.c a.c e.h"},
        {"<", "x.c"}, {"<D", "."}, {"*", "sub/x"}, {"*D", "sub"}, {"*F", "x"},
        {"^", kAbsent}, {">", kAbsent}}},
      {"std .DEFAULT instance", std_v, "missing", "other", none, none, {}, nullptr,
       MF_TGT_INST_FROM_DEFAULT, nullptr, {{"<", "missing"}}},
      {"std member", std_v, "lib.a(m.o)", nullptr, none, none, {}, "m.o", 0, nullptr,
       {{"@", "lib.a"}, {"%", "m.o"}, {"%D", kAbsent}}},
      {"kelto member", kelto, "lib.a(m.o)", nullptr, none, none, {}, "m.o", 0, nullptr,
       {{"@", "lib.a"}, {"%", "m.o"}, {"%D", "."}, {"%F", "m.o"}}},
      {"gnu order-only", gnu, "t", nullptr, none, {"a.c", "b.h", "a.c", "|", "d", "d"}, {},
       nullptr, 0, nullptr,
       {{"^", "a.c b.h"}, {"+", "a.c b.h a.c"}, {"<", "a.c"}, {"|", "d"}, {"|F", "d"},
        {"?", ""}, {"*", ""}, {"%", ""}}},
      {"gnu only order-only", gnu, "t", nullptr, none, {"|", "d"}, {}, nullptr, 0, nullptr,
       {{"<", "d"}, {"^", ""}, {"+", ""}, {"|", "d"}}},
      {"gnu name beginning with a bar", gnu, "t", nullptr, none, {"a", "|x", "b"}, {}, nullptr, 0,
       nullptr, {{"^", "a |x b"}, {"|", ""}}},
      {"gnu nothing", gnu, "t", nullptr, none, none, {}, nullptr, 0, nullptr,
       {{"%", ""}, {"?", ""}, {"?D", ""}, {"^", ""}, {"+", ""}, {"*", ""}, {"<", ""},
        {"|", kAbsent}}},
      {"gnu .DEFAULT instance", gnu, "t", nullptr, none, none, {}, nullptr,
       MF_TGT_INST_FROM_DEFAULT, nullptr, {{"<", "t"}}},
      {"gnu out of date", gnu, "t", nullptr, {"a", "b", "a"}, none, {"c"}, nullptr, 0, nullptr,
       {{"?", "a b"}}},
      {"bsd archive member", bsd, "lib.a(m.o)", nullptr, none, none, {}, "m.o", 0, nullptr,
       {{"@", "lib.a"}, {"%", "lib.a(m.o)"}, {".ARCHIVE", "lib.a(m.o)"}, {"!", "m.o"},
        {".MEMBER", "m.o"}, {".TARGET", "m.o"}, {"%D", kAbsent}}},
      {"bsd long names", bsd, "x.o", "x.c", {"x.c"}, {"x.c", "y.h", "x.c"}, {}, nullptr, 0, "x",
       {{".TARGET", "x.o"}, {".OODATE", "x.c"}, {">", "x.c y.h x.c"}, {".ALLSRC", "x.c y.h x.c"},
        {".PREFIX", "x"}, {".IMPSRC", "x.c"}, {"^", kAbsent}}},
      {"sun pattern instance", sun, "x.o", nullptr, {"x.c"}, none, {}, nullptr,
       MF_TGT_INST_FROM_PATTERN, nullptr, {{"?", kAbsent}}},
      {"sun completed explicit instance", sun, "x.o", nullptr, {"x.c"}, none, {}, nullptr,
       MF_TGT_INST_FROM_PATTERN | MF_TGT_INST_IMPLICIT_APPLIED, nullptr, {{"?", "x.c"}}},
  };
  for (const MacCase &c : cases) {
    SCOPED_TRACE(c.what);
    list_handle_t ood = make_list(c.ood);
    list_handle_t deps = make_list(c.deps);
    list_handle_t extra = c.extra.empty() ? LIST_HANDLE_NULL : make_list(c.extra);
    bldr_macro_table_t *t = mf_tgt_create_special_mactab(c.variant, c.target, c.imp, ood, deps,
                                                         extra, c.member, c.flags, STG_AREA_HEAP,
                                                         c.stem);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->kind, BLDR_MACRO_ORIGIN_AUTOMATIC);
    for (const auto &[name, value] : c.expect) {
      const char *got = bldr_macro_lookup_in_table(t, name.c_str(), nullptr);
      EXPECT_EQ(got != nullptr ? std::string(got) : std::string(kAbsent), value) << name;
    }
    // The table made on demand holds the same names, in the same order, with the same values,
    // whether walked or asked name by name; a name no automatic macro has makes nothing.
    std::vector<std::pair<std::string, std::string>> eager;
    hash_cursor_t it = nullptr;
    char name[256];
    while (const char *v = bldr_macro_lookup_next_macro(t, &it, sizeof name, name))
      eager.emplace_back(name, v);
    bldr_macro_term_table(t);
    auto deferred = [&] {
      bldr_macro_table_t *d = mf_tgt_defer_special_mactab(
          c.variant, c.target, c.imp, ood, deps, extra, c.member, c.flags, STG_AREA_HEAP, c.stem);
      EXPECT_NE(d, nullptr);
      if (d != nullptr) {
        EXPECT_EQ(d->kind, BLDR_MACRO_ORIGIN_AUTOMATIC);
      }
      return d;
    };
    bldr_macro_table_t *walked = deferred();
    ASSERT_NE(walked, nullptr);
    std::vector<std::pair<std::string, std::string>> lazy;
    it = nullptr;
    while (const char *v = bldr_macro_lookup_next_macro(walked, &it, sizeof name, name))
      lazy.emplace_back(name, v);
    EXPECT_EQ(lazy, eager);
    bldr_macro_term_table(walked);
    for (const auto &[n, value] : eager) {
      bldr_macro_table_t *asked = deferred();
      ASSERT_NE(asked, nullptr);
      for (const char *other : {"CC", "CFLAGS", "MAKE", "_x", ".VARIABLES", "@X", "?DD"})
        EXPECT_EQ(bldr_macro_lookup_in_table(asked, other, nullptr), nullptr) << other;
      EXPECT_NE(asked->deferred, nullptr) << "made for another name than " << n;
      const char *got = bldr_macro_lookup_in_table(asked, n.c_str(), nullptr);
      EXPECT_EQ(got != nullptr ? std::string(got) : std::string(kAbsent), value) << n;
      bldr_macro_term_table(asked);
    }
    for (list_handle_t l : {ood, deps, extra})
      if (l != LIST_HANDLE_NULL) list_destroy(l);
  }
}

// A table made on demand answers every lookup of a list as the table made at once does.
TEST(MfTgtAutomaticMacros, ATableMadeOnDemandAnswersEveryKindOfLookup) {
  list_handle_t deps = make_list({"a.c", "b.h"});
  bldr_macro_table_t *file = bldr_macro_init_table(10, BLDR_MACRO_ORIGIN_FILE, STG_AREA_HEAP);
  ASSERT_EQ(bldr_macro_define(file, "CC", "cc", 0), KS_ST_OK);
  ASSERT_EQ(bldr_macro_define(file, "^", "file's", 0), KS_ST_OK);
  bldr_macro_table_t *automatic = mf_tgt_defer_special_mactab(
      MF_COMPAT_GNU, "sub/t", nullptr, LIST_HANDLE_NULL, deps, LIST_HANDLE_NULL, nullptr, 0,
      STG_AREA_HEAP, nullptr);
  ASSERT_NE(automatic, nullptr);
  list_handle_t tables = list_create(STG_AREA_HEAP, 0);
  list_append(tables, automatic);
  list_append(tables, file);
  EXPECT_EQ(bldr_macro_origin(tables, "CC"), BLDR_MACRO_ORIGIN_FILE);
  EXPECT_EQ(bldr_macro_nearest_table_for_macro(tables, "CC"), file);
  EXPECT_EQ(bldr_macro_nearest_table_for_macro(tables, "NONE"), automatic);  // the first table
  EXPECT_STREQ(bldr_macro_lookup(tables, "CC", nullptr), "cc");
  EXPECT_NE(automatic->deferred, nullptr);
  EXPECT_EQ(bldr_macro_origin(tables, "^F"), BLDR_MACRO_ORIGIN_AUTOMATIC);
  EXPECT_EQ(automatic->deferred, nullptr);
  EXPECT_STREQ(bldr_macro_lookup(tables, "^", nullptr), "a.c b.h");
  EXPECT_STREQ(bldr_macro_lookup_with_2_spellings(tables, "x", "@D", nullptr), "sub");
  EXPECT_EQ(bldr_macro_nearest_table_for_macro(tables, "<"), automatic);
  std::string expanded;
  EXPECT_EQ(bldr_macutl_expand_to_string(MF_COMPAT_GNU, tables, "$(CC) $@ $(<F) $^", &expanded),
            KS_ST_OK);
  EXPECT_EQ(expanded, "cc sub/t a.c a.c b.h");
  list_destroy(tables);
  bldr_macro_term_table(automatic);
  bldr_macro_term_table(file);
  list_destroy(deps);
}

// A name that does not split into a directory and a last component stops both kinds of table
// at once, with the same message.
TEST(MfTgtAutomaticMacros, ANameThatDoesNotSplitStopsTheTableAtOnce) {
  const std::string long_leaf = "d/" + std::string(300, 'x');
  struct Case {
    const char *what;
    const char *target;
    std::vector<const char *> ood;
  };
  const Case cases[] = {
      {"target", long_leaf.c_str(), {"-"}},
      {"out of date", "t", {"a", long_leaf.c_str()}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    list_handle_t ood = make_list(c.ood);
    std::string messages[2];
    for (int lazy = 0; lazy < 2; lazy++) {
      Captured cap;
      bldr_macro_table_t *t =
          (lazy ? mf_tgt_defer_special_mactab : mf_tgt_create_special_mactab)(
              MF_COMPAT_STD, c.target, nullptr, ood, LIST_HANDLE_NULL, LIST_HANDLE_NULL, nullptr,
              0, STG_AREA_HEAP, nullptr);
      EXPECT_EQ(t, nullptr);
      if (t != nullptr) bldr_macro_term_table(t);
      messages[lazy] = cap.err();
    }
    EXPECT_THAT(messages[0], HasSubstr(long_leaf.substr(0, 40)));
    EXPECT_EQ(messages[1], messages[0]);
    if (ood != LIST_HANDLE_NULL) list_destroy(ood);
  }
}

TEST(MfTgtAutomaticMacros, NamesOfAutomaticMacros) {
  struct Case {
    const char *def;
    uint32_t variant;
    int result;
  };
  const Case cases[] = {
      {"@=x", MF_COMPAT_STD, 1},          {"@DX=x", MF_COMPAT_STD, 0},
      {"<=", MF_COMPAT_GNU, 1},            {"CC=cc", MF_COMPAT_STD, 0},
      {".TARGET=x", MF_COMPAT_SGISMAKE, 1}, {".TARGET=x", MF_COMPAT_STD, 0},
      {".ALLSRC=x", MF_COMPAT_BSDNETR2, 1},
  };
  for (const Case &c : cases) EXPECT_EQ(mf_tgt_special_macdef(c.def, c.variant), c.result) << c.def;
  Captured cap;
  EXPECT_EQ(mf_tgt_special_macdef("novalue", MF_COMPAT_STD), 0);
  EXPECT_EQ(mf_tgt_special_macdef("=x", MF_COMPAT_STD), 0);
  EXPECT_THAT(cap.err(), HasSubstr("Malformed macro definition \"novalue\""));
}

// Expands the dependencies of the first instance of target as the build engine asks for them.
std::vector<std::string> expand(Lookup &l, const char *target) {
  mf_tgt_entry_t *e = l.parse().entry(target);
  if (e == nullptr) return {};
  list_cursor_t inst = list_next(e->instances, nullptr, nullptr);
  return strings(mf_tgt_expand_dep_list(l.table(), e, inst, target,
                                        mf_tgt_get_dep_list(l.table(), e, inst), STG_AREA_HEAP));
}

TEST(MfTgtDependencyExpansion, MacrosAndAutomaticMacros) {
  for (uint32_t v : {uint32_t(MF_COMPAT_STD), uint32_t(MF_COMPAT_GNU)}) {
    SCOPED_TRACE(v);
    Lookup l(v);
    l.macro("OBJS", "a.o b.o");
    l.rule({"prog.x"}, {"$(OBJS)", "$@.dep", "$*.in", "$<"}, {"link"});
    mf_tgt_entry_t *e = l.parse().entry("prog.x");
    static_cast<mf_tgt_inst_desc_t *>(list_get_data(
        e->instances, list_next(e->instances, nullptr, nullptr)))->tgt_base_pname =
        const_cast<char *>("prog");
    // $< has no value for a dependency list: undefined in std, empty in GNU.
    EXPECT_THAT(expand(l, "prog.x"), ElementsAre("a.o", "b.o", "prog.x.dep", "prog.in"));
    EXPECT_NE(mf_tgt_lookup(l.table(), "prog.in"), nullptr);
  }
}

TEST(MfTgtDependencyExpansion, WildcardsHereAndAlongTheSearchList) {
  Lookup l(MF_COMPAT_STD);
  l.file("b.c");
  l.file("a.c");
  l.file("two/z.h");
  l.macro("VPATH", "one:two");
  l.rule({"t"}, {"*.c", "*.h", "*.none", "plain"}, {});
  EXPECT_THAT(expand(l, "t"), ElementsAre("a.c", "b.c", "z.h", "*.none", "plain"));
}

TEST(MfTgtDependencyExpansion, RepeatedNamesByDialect) {
  for (uint32_t v : {uint32_t(MF_COMPAT_STD), uint32_t(MF_COMPAT_GNU)}) {
    Lookup l(v);
    l.macro("A", "a");
    l.rule({"t"}, {"a", "$(A)"}, {});
    if (v == MF_COMPAT_GNU) {
      EXPECT_THAT(expand(l, "t"), ElementsAre("a", "a"));
    } else {
      EXPECT_THAT(expand(l, "t"), ElementsAre("a"));
    }
  }
}

TEST(MfTgtDependencyExpansion, ArchiveReferencesNameTheLibrary) {
  Lookup l(MF_COMPAT_STD);
  l.macro("MEMBER", "m.o");
  l.rule({"prog"}, {"lib.a($(MEMBER))", "x.o"}, {});
  EXPECT_THAT(expand(l, "prog"), ElementsAre("lib.a()", "x.o"));
  mf_tgt_entry_t *lib = l.parse().entry("lib.a()");
  EXPECT_EQ(lib->archive_tgt, 1);
}

TEST(MfTgtDependencyExpansion, BsdMakeAndPreciousAreMarks) {
  for (uint32_t v : {MF_COMPAT_SGISMAKE, MF_COMPAT_SGIPMAKE, MF_COMPAT_BSDNETR2}) {
    Lookup l(v);
    l.rule({"x"}, {".MAKE", "a.o", ".PRECIOUS"}, {});
    EXPECT_THAT(expand(l, "x"), ElementsAre("a.o"));
    EXPECT_EQ(mf_tgt_is_recurs_make(l.table(), "x"), 1);
    EXPECT_EQ(l.parse().entry("x")->declared_precious, 1);
  }
  // Elsewhere they are names like any other.
  Lookup l(MF_COMPAT_STD);
  l.rule({"x"}, {".MAKE", "a.o"}, {});
  EXPECT_THAT(expand(l, "x"), ElementsAre(".MAKE", "a.o"));
  EXPECT_EQ(mf_tgt_is_recurs_make(l.table(), "x"), 0);
}

TEST(MfTgtDependencyExpansion, KeltoBackQuotesRunTheCommand) {
  Lookup l(MF_COMPAT_KELTO);
  l.rule({"t"}, {"`echo one two`", "`unclosed"}, {});
  EXPECT_THAT(expand(l, "t"), ElementsAre("one", "two", "`unclosed"));
  Captured cap;
  l.rule({"f"}, {"`exit 3`"}, {});
  EXPECT_THAT(expand(l, "f"), ElementsAre());
  EXPECT_THAT(cap.err(), HasSubstr("Unable to expand \"`exit 3`\""));
  // Other dialects take back quotes as part of a name.
  Lookup s(MF_COMPAT_STD);
  s.rule({"t"}, {"`echo`"}, {});
  EXPECT_THAT(expand(s, "t"), ElementsAre("`echo`"));
}

TEST(MfTgtDependencyExpansion, EmptyExpansionGivesNoList) {
  Lookup l(MF_COMPAT_STD);
  l.rule({"t"}, {"$(NOTHING)"}, {});
  mf_tgt_entry_t *e = l.parse().entry("t");
  list_cursor_t inst = list_next(e->instances, nullptr, nullptr);
  EXPECT_EQ(mf_tgt_expand_dep_list(l.table(), e, inst, "t", mf_tgt_get_dep_list(l.table(), e, inst),
                                   STG_AREA_HEAP),
            LIST_HANDLE_NULL);
}

}  // namespace
