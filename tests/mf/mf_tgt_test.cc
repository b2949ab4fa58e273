// Target table: entries, instances, merges, archive members, names, iteration and the dump.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture_util.h"
#include "ks/hash.h"
#include "ks/ks_status.h"
#include "mf/mf_tgt.h"
#include "mf/mf_tgt_lookup.h"
#include "mf/mf_tgt_parse.h"
#include "tgt_util.h"

using mftest::strings;
using mftest::TgtParse;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

TEST(MfTgtTable, DependencyOnlyNameKeepsItsMarkWhenDeclaredLater) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"all"}), p.list({"x.o"}), nullptr, 0, nullptr), 0);
  mf_tgt_entry_t *x = p.entry("x.o");
  EXPECT_EQ(x->is_a_dependency, 1);
  EXPECT_EQ(x->defined_as_target, 0);
  EXPECT_EQ(x->instances, LIST_HANDLE_NULL);

  ASSERT_EQ(mf_tgt_depends_rule(p.list({"x.o"}), p.list({"x.c"}), p.list({"cc -c x.c"}), 0,
                                nullptr),
            0);
  EXPECT_EQ(p.dump("x.o"),
            "------\n"
            "defined_as_target:1\n"
            "  is_a_dependency:1\n"
            "   multiple_valid:0\n"
            " multiple_defined:0\n"
            "  implicit_target:0\n"
            "      archive_tgt:0\n"
            "       has_script:1\n"
            "   declared_phony:0\n"
            "declared_precious:0\n"
            "       validation:0\n"
            "       tgt_act_pn:x.o\n"
            "  --script tmpl--\n"
            "cc -c x.c\n"
            "  --dep_list--\n"
            "x.c\n");
  // A new target that is no dependency stays unmarked.
  EXPECT_EQ(p.entry("all")->is_a_dependency, 0);
}

// An entry's actual pathname is its key until set to another name, and only a name other than
// the key or an explicit stem gives the entry a record of its own; a plain rule's instance has
// no record of the fields it leaves unset.
TEST(MfTgtTable, ActualPathnamesAndStemsTakeRoomOnlyWhereTheyDiffer) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"a.o", "b.o"}), p.list({"a.c"}), p.list({"cc"}), 0,
                                nullptr),
            0);
  mf_tgt_entry_t *a = p.entry("a.o");
  mf_tgt_entry_t *b = p.entry("b.o");
  mf_tgt_entry_t *dep = p.entry("a.c");
  void *inst = nullptr;
  list_next(a->instances, nullptr, &inst);
  EXPECT_EQ(static_cast<mf_tgt_inst_desc_t *>(inst)->more, 0u);
  const char *a_key = hash_str_key_of(p.table()->comp_table, a);
  EXPECT_STREQ(a_key, "a.o");
  EXPECT_EQ(mf_tgt_entry_act_pn(p.table(), a), a_key);
  EXPECT_EQ(mf_tgt_entry_act_pn(p.table(), dep), nullptr);  // depended on only
  EXPECT_EQ(a->more, 0u);
  EXPECT_EQ(dep->more, 0u);

  struct Step {
    mf_tgt_entry_t *entry;
    const char *act_pn;  // set when not null
    const char *stem;    // set when not null; "" clears
    const char *want_act_pn;
    const char *want_stem;
    bool has_record;
  };
  char a_copy[] = "a.o";
  const Step steps[] = {
      {a, a_copy, nullptr, "a.o", nullptr, false},       // the key's own text: no record
      {a, "dir/a.o", nullptr, "dir/a.o", nullptr, true},  // another name
      {b, nullptr, "b", "b.o", "b", true},                // a stem alone
      {a, "a.o", nullptr, "a.o", nullptr, true},          // back to the key: the record stays
      {b, nullptr, "", "b.o", nullptr, true},
      {dep, "src/a.c", nullptr, "src/a.c", nullptr, true},
  };
  for (const Step &s : steps) {
    if (s.act_pn != nullptr) mf_tgt_set_act_pn(p.table(), s.entry, s.act_pn);
    if (s.stem != nullptr)
      mf_tgt_set_explicit_stem(p.table(), s.entry, *s.stem != '\0' ? s.stem : nullptr);
    EXPECT_STREQ(mf_tgt_entry_act_pn(p.table(), s.entry), s.want_act_pn) << s.want_act_pn;
    EXPECT_STREQ(mf_tgt_explicit_stem(p.table(), s.entry), s.want_stem) << s.want_act_pn;
    EXPECT_EQ(s.entry->more != 0, s.has_record) << s.want_act_pn;
  }
  // Each entry keeps its own record.
  EXPECT_STREQ(mf_tgt_entry_act_pn(p.table(), a), "a.o");
  EXPECT_STREQ(mf_tgt_entry_act_pn(p.table(), dep), "src/a.c");
  EXPECT_NE(a->more, dep->more);
}

TEST(MfTgtTable, DumpOfNullEntry) {
  testing::internal::CaptureStdout();
  mf_tgt_dump_tgt_ent(nullptr, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "dump_tgt:NULL tgt handle passed\n");
}

TEST(MfTgtTable, DumpListPrintsNamesOnOneLine) {
  TgtParse p(MF_COMPAT_STD);
  testing::internal::CaptureStdout();
  mf_tgt_dump_list_ent(p.list({"a", "b"}));
  mf_tgt_dump_list_ent(list_create(mfc_mf_stg_area, 0));
  mf_tgt_dump_list_ent(LIST_HANDLE_NULL);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "a b \n\n");
}

TEST(MfTgtTable, NextInstanceStopsAfterFirstUnlessEveryInstanceCounts) {
  TgtParse p(MF_COMPAT_STD);
  // Double colon: every rule is its own instance and every instance counts.
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"d"}), p.list({"a"}), p.list({"one"}), 1, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"d"}), p.list({"b"}), p.list({"two"}), 1, nullptr), 0);
  mf_tgt_entry_t *d = p.entry("d");
  mf_tgt_inst_handle_t first = mf_tgt_next_instance(p.table(), d, nullptr);
  ASSERT_NE(first, nullptr);
  mf_tgt_inst_handle_t second = mf_tgt_next_instance(p.table(), d, first);
  ASSERT_NE(second, nullptr);
  EXPECT_THAT(strings(mf_tgt_get_bld_script(p.table(), d, second)), ElementsAre("two"));
  EXPECT_EQ(mf_tgt_next_instance(p.table(), d, second), nullptr);
  EXPECT_EQ(d->multiple_defined, 1);

  // The same two instances on a single-colon entry: only the first is visible.
  d->multiple_valid = 0;
  EXPECT_EQ(mf_tgt_next_instance(p.table(), d, first), nullptr);
}

struct MergeCase {
  uint32_t variant;
  std::vector<std::string> script;
  std::vector<std::string> deps;
};

class MfTgtMerge : public testing::TestWithParam<MergeCase> {};

void PrintTo(const MergeCase &c, std::ostream *os) { *os << "variant " << c.variant; }

// x: a b / cmd1, then x: b c / cmd2: std keeps the first script and drops the repeated b; the GNU
// dialects take the second script, keep duplicates and put the script rule's names in front.
TEST_P(MfTgtMerge, SecondRuleWithScript) {
  const MergeCase &c = GetParam();
  TgtParse p(c.variant);
  mftest::Captured cap;
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"x"}), p.list({"a", "b"}), p.list({"cmd1"}), 0, nullptr),
            0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"x"}), p.list({"b", "c"}), p.list({"cmd2"}), 0, nullptr),
            0);
  mf_tgt_entry_t *x = p.entry("x");
  ASSERT_EQ(list_length(x->instances), 1u);
  mf_tgt_inst_handle_t i = mf_tgt_next_instance(p.table(), x, nullptr);
  EXPECT_EQ(strings(mf_tgt_get_bld_script(p.table(), x, i)), c.script);
  EXPECT_EQ(strings(mf_tgt_get_dep_list(p.table(), x, i)), c.deps);
  EXPECT_THAT(cap.err(), HasSubstr("Too many command lines for \"x\""));
}

INSTANTIATE_TEST_SUITE_P(
    Dialects, MfTgtMerge,
    testing::Values(MergeCase{MF_COMPAT_STD, {"cmd1"}, {"a", "b", "c"}},
                    MergeCase{MF_COMPAT_SUN, {"cmd1"}, {"a", "b", "c"}},
                    MergeCase{MF_COMPAT_GNU, {"cmd2"}, {"a", "b", "b", "c"}},
                    MergeCase{MF_COMPAT_PGNU, {"cmd2"}, {"a", "b", "b", "c"}}));

// x: a b a: a repeated dependency is dropped outside the GNU dialects, in the first rule as in a
// later one.
TEST(MfTgtTable, RepeatedDependencyOfOneRule) {
  for (uint32_t v : {uint32_t(MF_COMPAT_STD), uint32_t(MF_COMPAT_SUN), uint32_t(MF_COMPAT_SGISMAKE),
                     uint32_t(MF_COMPAT_KELTO), uint32_t(MF_COMPAT_GNU), uint32_t(MF_COMPAT_PGNU)}) {
    TgtParse p(v);
    ASSERT_EQ(mf_tgt_depends_rule(p.list({"x"}), p.list({"a", "b", "a"}), nullptr, 0, nullptr), 0);
    mf_tgt_entry_t *x = p.entry("x");
    const std::vector<std::string> deps =
        strings(mf_tgt_get_dep_list(p.table(), x, mf_tgt_next_instance(p.table(), x, nullptr)));
    if (v == MF_COMPAT_GNU || v == MF_COMPAT_PGNU) {
      EXPECT_THAT(deps, ElementsAre("a", "b", "a")) << v;
    } else {
      EXPECT_THAT(deps, ElementsAre("a", "b")) << v;
    }
  }
}

TEST(MfTgtTable, GnuScriptRuleDependenciesGoInFrontInTheirOrder) {
  TgtParse p(MF_COMPAT_GNU);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"x"}), p.list({"a"}), nullptr, 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"x"}), p.list({"s1", "s2"}), p.list({"cmd"}), 0, nullptr),
            0);
  mf_tgt_entry_t *x = p.entry("x");
  EXPECT_THAT(strings(mf_tgt_get_dep_list(p.table(), x, mf_tgt_next_instance(p.table(), x, nullptr))),
              ElementsAre("s1", "s2", "a"));
  EXPECT_EQ(x->has_script, 1);
}

TEST(MfTgtTable, DefaultWithoutScriptLosesItsScript) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({".DEFAULT"}), nullptr, p.list({"echo d"}), 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({".DEFAULT"}), nullptr, nullptr, 0, nullptr), 0);
  mf_tgt_entry_t *d = p.entry(".DEFAULT");
  EXPECT_EQ(mf_tgt_get_bld_script(p.table(), d, mf_tgt_next_instance(p.table(), d, nullptr)),
            LIST_HANDLE_NULL);
}

TEST(MfTgtArchive, MembersOfOneLibraryShareOneEntry) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"libx.a(a.o)"}), p.list({"a.o"}), p.list({"ar r"}), 0,
                                nullptr),
            0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"libx.a(b.o)"}), p.list({"b.o"}), nullptr, 0, nullptr), 0);
  mf_tgt_entry_t *lib = p.entry("libx.a()");
  EXPECT_EQ(lib->archive_tgt, 1);
  EXPECT_EQ(lib->multiple_valid, 1);
  EXPECT_EQ(lib->multiple_defined, 1);
  EXPECT_STREQ(mf_tgt_entry_act_pn(p.table(), lib), "libx.a");
  std::vector<std::string> members;
  for (mf_tgt_inst_handle_t i = mf_tgt_next_instance(p.table(), lib, nullptr); i != nullptr;
       i = mf_tgt_next_instance(p.table(), lib, i))
    members.emplace_back(mf_tgt_get_member_name(p.table(), lib, i));
  EXPECT_THAT(members, ElementsAre("a.o", "b.o"));
  EXPECT_EQ(mf_tgt_lookup(p.table(), "libx.a(a.o)"), nullptr);

  // A dependency on the library lists its members as script dependencies.
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"prog"}), p.list({"main.o", "libx.a()"}), nullptr, 0,
                                nullptr),
            0);
  mf_tgt_entry_t *prog = p.entry("prog");
  EXPECT_THAT(strings(mf_tgt_get_script_dep_list(p.table(), prog,
                                                 mf_tgt_next_instance(p.table(), prog, nullptr))),
              ElementsAre("main.o", "a.o", "b.o"));
}

TEST(MfTgtArchive, SeveralMembersInOneReferenceAreSplit) {
  TgtParse p(MF_COMPAT_STD);
  // The scanner hands over "lib(m n)" as one name with a reference per member.
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"liby.a(m.o) liby.a(n.o)"}), nullptr, nullptr, 0, nullptr),
            0);
  mf_tgt_entry_t *lib = p.entry("liby.a()");
  EXPECT_EQ(list_length(lib->instances), 2u);
  // The BSD-family dialects never split member lists.
  EXPECT_EQ(mf_tgt_must_split_archive_list("l(a b)", MF_COMPAT_SGISMAKE), 0);
  EXPECT_EQ(mf_tgt_must_split_archive_list("l(a b)", MF_COMPAT_STD), 1);
  EXPECT_EQ(mf_tgt_must_split_archive_list("l(a)", MF_COMPAT_STD), 0);
}

struct SplitCase {
  const char *name;
  uint32_t variant;
  size_t lib_size;
  int rc;
  const char *lib;
  const char *member;
};

class MfTgtSplit : public testing::TestWithParam<SplitCase> {};

void PrintTo(const SplitCase &c, std::ostream *os) { *os << c.name << " variant " << c.variant; }

TEST_P(MfTgtSplit, LibraryAndMember) {
  const SplitCase &c = GetParam();
  mftest::Captured cap;
  char lib[1024] = "";
  char member[1024] = "";
  EXPECT_EQ(mf_tgt_split_lib_member(c.name, lib, c.lib_size, member, sizeof member, c.variant),
            c.rc);
  if (c.rc == KS_ST_OK) {
    EXPECT_STREQ(lib, c.lib);
    EXPECT_STREQ(member, c.member);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MfTgtSplit,
    testing::Values(SplitCase{"libx.a(m.o)", 0, 1024, KS_ST_OK, "libx.a()", "m.o"},
                    SplitCase{"libx.a(  m.o\t)", 0, 1024, KS_ST_OK, "libx.a()", "m.o"},
                    SplitCase{"plain.o", 0, 1024, KS_ST_NOT_FOUND, "", ""},
                    SplitCase{"$(LIB)(m.o)", 0, 1024, KS_ST_OK, "$(LIB)()", "m.o"},
                    SplitCase{"$(LIB)", 0, 1024, KS_ST_NOT_FOUND, "", ""},
                    SplitCase{"libx.a()", 0, 1024, KS_ST_NOT_FOUND, "", ""},
                    SplitCase{"libx.a()", 1, 1024, KS_ST_OK, "libx.a()", ""},
                    SplitCase{"libx.a(m.o)", 0, 8, KS_ST_ERR, "", ""},
                    SplitCase{"libx.a(m.o)", 0, 9, KS_ST_OK, "libx.a()", "m.o"}));

TEST(MfTgtArchive, EmptyMemberIsReported) {
  TgtParse p(MF_COMPAT_STD);
  mftest::Captured cap;
  char lib[64];
  char member[64];
  EXPECT_EQ(mf_tgt_split_lib_member("libx.a()", lib, sizeof lib, member, sizeof member, 0),
            KS_ST_NOT_FOUND);
  EXPECT_THAT(cap.err(), HasSubstr("Found null archive member name \"libx.a()\""));
}

TEST(MfTgtNames, RealTargets) {
  struct {
    const char *name;
    uint32_t variant;
    int real;
  } cases[] = {
      {"all", 0, 1},        {".SUFFIXES", 0, 0}, {".c.o", 0, 0},     {"./.hidden/x", 0, 1},
      {"%.o", 0, 0},        {"%.o", 3, 0},       {"%.o", 7, 0},      {"%.o", 1, 1},
      {"%.o", 8, 1},        {"a/%b", 2, 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(mf_tgt_is_real_tgt(c.name, c.variant), c.real) << c.name << " " << c.variant;
}

TEST(MfTgtNames, RedundantPrefixIsStrippedInPatternDialects) {
  struct {
    const char *name;
    uint32_t variant;
    const char *stripped;
  } cases[] = {
      {"././/a", 0, "a"}, {"./", 0, ""},   {"a/./b", 0, "a/./b"}, {"../a", 0, "../a"},
      {"./a", 7, "a"},    {"./a", 1, "./a"}, {"./a", 5, "./a"},  {".//./x/y", 3, "x/y"},
  };
  for (const auto &c : cases) {
    TgtParse p(c.variant);
    list_handle_t l = p.list({c.name});
    mf_tgt_strip_redundant_prefix(l, c.variant);
    EXPECT_EQ(strings(l)[0], c.stripped) << c.name << " " << c.variant;
  }
  mf_tgt_strip_redundant_prefix(LIST_HANDLE_NULL, 0);
}

TEST(MfTgtNames, UniqifiedStringsKeepFirstOccurrences) {
  TgtParse p(MF_COMPAT_STD);
  list_handle_t dst = p.list({"a"});
  EXPECT_EQ(mf_tgt_uniqified_strings_list(p.list({"b", "a", "c", "b"}), dst), 0);
  EXPECT_THAT(strings(dst), ElementsAre("a", "b", "c"));
  EXPECT_EQ(mf_tgt_uniqified_strings_list(LIST_HANDLE_NULL, dst), 0);
}

TEST(MfTgtNames, DependencyListCopiesDropRepeatsOnlyWhenAskedTo) {
  // Long lists cross from scanning the names kept so far to a set of them.
  std::vector<std::string> many, many_unique;
  for (int i = 0; i < 40; i++) many.push_back(std::string("n") += std::to_string(i));
  many_unique = many;
  for (const char *again : {"n5", "n39", "n0", "n31", "n32"}) many.push_back(again);
  many.push_back("n40");
  many_unique.push_back("n40");
  struct Case {
    std::vector<std::string> names;
    int unique;
    std::vector<std::string> expected;
  } cases[] = {
      {{"b", "a", "b", "c", "a"}, 1, {"b", "a", "c"}},
      {{"b", "a", "b"}, 0, {"b", "a", "b"}},
      {many, 1, many_unique},
      {many, 0, many},
  };
  for (const Case &c : cases) {
    TgtParse p(MF_COMPAT_STD);
    list_handle_t in = list_create(STG_AREA_HEAP, 0);
    for (const std::string &n : c.names) list_append(in, const_cast<char *>(n.c_str()));
    list_handle_t out = mf_tgt_utl_copy_dep_list(p.table(), in, c.unique);
    EXPECT_EQ(strings(out), c.expected) << c.names.size() << " unique " << c.unique;
    EXPECT_EQ(p.entry(c.names.back().c_str())->is_a_dependency, 1);
    list_destroy(in);
  }
}

// The quick answer for names a rule derives: never "absent" for a name of the table, also for
// names entered after the first question.
TEST(MfTgtNames, MayHoldAnswersForEveryNameOfTheTable) {
  TgtParse p(MF_COMPAT_GNU);
  const char *first[] = {"src/a.c", "x", ".c", "%.y", "lib.a(m.o)", "dir.d/file", "a.b/"};
  for (const char *n : first) mf_tgt_enter_dep_in_table(p.table(), n);
  for (const char *n : first) EXPECT_TRUE(mf_tgt_may_hold(p.table(), n)) << n;
  const char *later[] = {"obj/a.o", "b.y", "%.c"};
  for (const char *n : later) mf_tgt_enter_dep_in_table(p.table(), n);
  for (const char *n : later) EXPECT_TRUE(mf_tgt_may_hold(p.table(), n)) << n;
}

TEST(MfTgtIteration, RootTargetsAreRealTargetsNoOneDependsOn) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"all"}), p.list({"a"}), nullptr, 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"a"}), p.list({"all"}), nullptr, 0, nullptr), 0);
  // Every target is a dependency of another: no root.
  EXPECT_EQ(mf_tgt_root_tgt_list(p.table()), LIST_HANDLE_NULL);

  TgtParse q(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_depends_rule(q.list({"all"}), q.list({"a"}), nullptr, 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(q.list({"clean"}), nullptr, nullptr, 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(q.list({".c.o"}), nullptr, q.list({"cc"}), 0, nullptr), 0);
  std::vector<std::string> roots = strings(mf_tgt_root_tgt_list(q.table()));
  EXPECT_THAT(roots, testing::UnorderedElementsAre("all", "clean"));
}

TEST(MfTgtIteration, ImplicitTargetsInDefinitionOrder) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({".c.o"}), nullptr, p.list({"cc"}), 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"all"}), p.list({".y"}), nullptr, 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"%.o"}), p.list({"%.c"}), p.list({"cc"}), 0, nullptr), 0);
  hash_cursor_t cursor = nullptr;
  char buf[16];
  mf_tgt_entry_t *e = nullptr;
  std::vector<std::string> names;
  for (;;) {
    ASSERT_EQ(mf_tgt_next_implicit_tgt(p.table(), &cursor, buf, sizeof buf, &e), 0);
    if (e == nullptr) break;
    names.emplace_back(buf);
  }
  // .y is only a dependency: not defined, so not listed.
  EXPECT_THAT(names, ElementsAre(".c.o", "%.o"));

  mftest::Captured cap;
  cursor = nullptr;
  EXPECT_EQ(mf_tgt_next_implicit_tgt(p.table(), &cursor, buf, 4, &e), KS_ST_ERR);
}

TEST(MfTgtIteration, DefaultGoalIsTheFirstRealTarget) {
  TgtParse p(MF_COMPAT_STD);
  mf_tgt_parsing_builtins = 1;
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"builtin"}), nullptr, nullptr, 0, nullptr), 0);
  mf_tgt_parsing_builtins = 0;
  ASSERT_EQ(mf_tgt_depends_rule(p.list({".SUFFIXES"}), nullptr, nullptr, 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({".c.o"}), nullptr, p.list({"cc"}), 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"%.o"}), p.list({"%.c"}), p.list({"cc"}), 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"first", "other"}), nullptr, nullptr, 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"second"}), nullptr, nullptr, 0, nullptr), 0);
  EXPECT_THAT(strings(mf_tgt_default_goal_list(p.table())), ElementsAre("first"));

  // .MAIN names become the default goals.
  TgtParse q(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_depends_rule(q.list({"first"}), nullptr, nullptr, 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_def_main_tgt(".MAIN", q.list({"second", "third"})), 0);
  ASSERT_EQ(mf_tgt_def_main_tgt(".MAIN", q.list({"fourth"})), 0);
  EXPECT_THAT(strings(mf_tgt_default_goal_list(q.table())),
              ElementsAre("second", "third", "fourth"));

  TgtParse empty(MF_COMPAT_STD);
  EXPECT_EQ(mf_tgt_default_goal_list(empty.table()), LIST_HANDLE_NULL);
}

TEST(MfTgtCurrent, FetchOfUnvalidatedTargetEndsTheProgram) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"all"}), nullptr, nullptr, 0, nullptr), 0);
  mf_tgt_set_tgt_table_handle(p.table());
  EXPECT_EQ(mf_tgt_fetch_tgt_table_handle(), p.table());
  p.entry("all")->validation = 1;
  EXPECT_EQ(mf_tgt_fetch_tgt_handle("all"), p.entry("all"));
  EXPECT_DEATH(mf_tgt_fetch_tgt_handle("nothere"), "Attempt to build invalid target");
  mf_tgt_set_tgt_table_handle(nullptr);
}

}  // namespace
