// Rule definition and special targets entered into the target table of a parse.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capture_util.h"
#include "ks/ks_status.h"
#include "mf/mf_tgt.h"
#include "mf/mf_tgt_parse.h"
#include "mf/mf_utl.h"
#include "tgt_util.h"

using mftest::strings;
using mftest::TgtParse;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace {

class Verbosity {
 public:
  explicit Verbosity(int level) : old_(mf_verbosity) { mf_verbosity = level; }
  ~Verbosity() { mf_verbosity = old_; }

 private:
  int32_t old_;
};

std::vector<std::string> pattern_rules(mf_tgt_table_t *t) {
  std::vector<std::string> v;
  if (t->pattern_rule_list == LIST_HANDLE_NULL) return v;
  void *d = nullptr;
  for (list_cursor_t c = list_next(t->pattern_rule_list, nullptr, &d); c != nullptr;
       c = list_next(t->pattern_rule_list, c, &d)) {
    auto *r = static_cast<mf_tgt_pattern_rule_t *>(d);
    std::string s = r->pattern;
    s += ":";
    for (const std::string &dep : strings(r->inst->deps)) s += " " + dep;
    v.push_back(s);
  }
  return v;
}

std::vector<std::string> cotargets(TgtParse &p, const char *name) {
  list_handle_t l = LIST_HANDLE_NULL;
  if (!mf_tgt_has_cotargets(p.table(), name, &l)) return {};
  return strings(l);
}

TEST(MfTgtRule, TargetGroupNamesEachOtherAsCotargets) {
  TgtParse p(MF_COMPAT_STD);
  Verbosity v(1);
  mftest::Captured cap;
  list_handle_t targets = p.list({"a", "+", "b", "+", "c"});
  ASSERT_EQ(mf_tgt_depends_rule(targets, p.list({"x"}), p.list({"gen"}), 0, nullptr), 0);
  EXPECT_THAT(strings(targets), ElementsAre("a", "b", "c"));
  EXPECT_THAT(cotargets(p, "a"), ElementsAre("b", "c"));
  EXPECT_THAT(cotargets(p, "b"), ElementsAre("a", "c"));
  EXPECT_THAT(cotargets(p, "c"), ElementsAre("a", "b"));
  EXPECT_EQ(mf_tgt_lookup(p.table(), "+"), nullptr);
  EXPECT_THAT(cap.err(), Not(HasSubstr("Malformed")));
  EXPECT_THAT(cap.err(), Not(HasSubstr("parallel")));
  EXPECT_THAT(cotargets(p, "x"), ElementsAre());
  // One interference set of the group, holding copies: the interned names stay untouched.
  list_handle_t sets = bldr_opts_get_parallel_interference_sets(p.opts());
  ASSERT_NE(sets, LIST_HANDLE_NULL);
  ASSERT_EQ(list_length(sets), 1u);
  void *d = nullptr;
  list_next(sets, nullptr, &d);
  auto *set = static_cast<bldr_opts_interference_set_t *>(d);
  EXPECT_EQ(set->origin, 0u);
  EXPECT_THAT(strings(set->patterns), ElementsAre("a", "b", "c"));
}

TEST(MfTgtRule, GroupMembersWithDotSlashStayFoundUnderTheirStrippedNames) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"./a", "+", "./b"}), nullptr, nullptr, 0, nullptr), 0);
  EXPECT_THAT(cotargets(p, "a"), ElementsAre("b"));
  EXPECT_NE(mf_tgt_lookup(p.table(), "b"), nullptr);
}

TEST(MfTgtRule, ColonKindMismatchFailsTheParse) {
  struct {
    int first, second;
    const char *message;
  } cases[] = {
      {0, 1, "Double colon rule after earlier single colon rule, target \"x\".\n"},
      {1, 0, "Single colon rule after earlier double colon rule, target \"x\".\n"},
  };
  for (const auto &c : cases) {
    TgtParse p(MF_COMPAT_STD);
    mftest::Captured cap;
    ASSERT_EQ(mf_tgt_depends_rule(p.list({"x"}), p.list({"a"}), nullptr, c.first, nullptr), 0);
    EXPECT_EQ(mf_parser_failed, 0);
    EXPECT_EQ(mf_tgt_depends_rule(p.list({"x", "y"}), p.list({"b"}), nullptr, c.second, nullptr),
              KS_ST_ERR);
    EXPECT_EQ(mf_parser_failed, 1);
    EXPECT_THAT(cap.err(), HasSubstr("File \"Makefile\", line 3\n"));
    EXPECT_THAT(cap.err(), HasSubstr(c.message));
    // The targets behind the failing one are not entered.
    EXPECT_EQ(mf_tgt_lookup(p.table(), "y"), nullptr);
  }
}

TEST(MfTgtRule, SuffixAndPatternRulesAreNeverMerged) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({".c.o"}), nullptr, p.list({"cc 1"}), 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({".c.o"}), nullptr, p.list({"cc 2"}), 0, nullptr), 0);
  EXPECT_EQ(list_length(p.entry(".c.o")->instances), 2u);
  EXPECT_EQ(p.entry(".c.o")->multiple_defined, 1);
}

TEST(MfTgtRule, GnuPatternRuleRedefinitionReplacesTheSameDependencies) {
  TgtParse p(MF_COMPAT_GNU);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"%.o"}), p.list({"%.c"}), p.list({"cc 1"}), 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"%.x"}), p.list({"%.y"}), p.list({"yy"}), 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"%.o"}), p.list({"%.c"}), p.list({"cc 2"}), 0, nullptr), 0);
  EXPECT_THAT(pattern_rules(p.table()), ElementsAre("%.x: %.y", "%.o: %.c"));
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"%.o"}), p.list({"%.s"}), p.list({"as"}), 0, nullptr), 0);
  EXPECT_THAT(pattern_rules(p.table()), ElementsAre("%.x: %.y", "%.o: %.c", "%.o: %.s"));

  // Outside gnu both definitions stay.
  TgtParse s(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_depends_rule(s.list({"%.o"}), s.list({"%.c"}), s.list({"cc 1"}), 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(s.list({"%.o"}), s.list({"%.c"}), s.list({"cc 2"}), 0, nullptr), 0);
  EXPECT_THAT(pattern_rules(s.table()), ElementsAre("%.o: %.c", "%.o: %.c"));
}

TEST(MfTgtRule, GnuPatternGroupsAndMixedRules) {
  {
    TgtParse p(MF_COMPAT_GNU);
    ASSERT_EQ(mf_tgt_depends_rule(p.list({"%.a", "%.b"}), p.list({"%.c"}), p.list({"g"}), 0,
                                  nullptr),
              0);
    EXPECT_THAT(cotargets(p, "%.a"), ElementsAre("%.b"));
    EXPECT_THAT(pattern_rules(p.table()), ElementsAre("%.a: %.c", "%.b: %.c"));
  }
  {
    TgtParse p(MF_COMPAT_GNU);
    mftest::Captured cap;
    EXPECT_EQ(mf_tgt_depends_rule(p.list({"%.o", "all"}), nullptr, nullptr, 0, nullptr), KS_ST_ERR);
    EXPECT_THAT(cap.err(), HasSubstr("Mixed implicit and normal rules:\n"));
    EXPECT_EQ(mf_tgt_lookup(p.table(), "all"), nullptr);
  }
  {
    TgtParse p(MF_COMPAT_GNU);
    mftest::Captured cap;
    EXPECT_EQ(mf_tgt_depends_rule(p.list({"all", "%.o"}), nullptr, nullptr, 0, nullptr), 0);
    EXPECT_EQ(cap.err(), "");
  }
  {
    // std only warns, and only when verbose.
    TgtParse p(MF_COMPAT_STD);
    Verbosity v(1);
    mftest::Captured cap;
    EXPECT_EQ(mf_tgt_depends_rule(p.list({"%.o", "all"}), nullptr, nullptr, 0, nullptr), 0);
    EXPECT_THAT(cap.err(), HasSubstr("Mixed implicit and normal rules:\n"));
    EXPECT_EQ(p.entry("all")->defined_as_target, 1);
  }
}

TEST(MfTgtRule, GnuDoubleColonPatternIsFlagged) {
  TgtParse p(MF_COMPAT_GNU);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"%.o"}), p.list({"%.c"}), p.list({"cc"}), 1, nullptr), 0);
  mf_tgt_entry_t *e = p.entry("%.o");
  EXPECT_EQ(mf_tgt_get_inst_flags(p.table(), e, mf_tgt_next_instance(p.table(), e, nullptr)),
            MF_TGT_INST_GNU_DCOLON_PATTERN);
}

TEST(MfTgtRule, EscapedPercentIsNoPatternInGnu) {
  {
    TgtParse p(MF_COMPAT_GNU);
    ASSERT_EQ(mf_tgt_depends_rule(p.list({"a\\%b"}), nullptr, nullptr, 0, nullptr), 0);
    EXPECT_THAT(pattern_rules(p.table()), ElementsAre());
  }
  {
    mftest::ScopedEnv env("ORVA_NO_ESC_PATT_CHARS", "1");
    TgtParse p(MF_COMPAT_GNU);
    ASSERT_EQ(mf_tgt_depends_rule(p.list({"a\\%b"}), nullptr, nullptr, 0, nullptr), 0);
    EXPECT_THAT(pattern_rules(p.table()), ElementsAre("a\\%b:"));
  }
}

TEST(MfTgtRule, StdPatternWithTwoPercentDependencies) {
  TgtParse p(MF_COMPAT_STD);
  mftest::Captured cap;
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"%.o"}), p.list({"%.c", "%.h"}), p.list({"cc"}), 0,
                                nullptr),
            0);
  EXPECT_EQ(mf_parser_failed, 1);
  EXPECT_THAT(cap.err(),
              HasSubstr("More than one % pattern on right hand side of pattern matching rule\n"));
  EXPECT_THAT(pattern_rules(p.table()), ElementsAre());
  EXPECT_EQ(p.entry("%.o")->defined_as_target, 1);
}

TEST(MfTgtRule, EmptyTargetList) {
  {
    TgtParse p(MF_COMPAT_STD);
    mftest::Captured cap;
    EXPECT_EQ(mf_tgt_depends_rule(LIST_HANDLE_NULL, p.list({"x"}), nullptr, 0, nullptr), KS_ST_ERR);
    EXPECT_EQ(mf_parser_failed, 1);
    EXPECT_EQ(cap.err(),
              "tool: Error: File \"Makefile\", Before line 3\nEmpty target list for dependency rule.\n");
  }
  {
    TgtParse p(MF_COMPAT_GNU);
    EXPECT_EQ(mf_tgt_depends_rule(LIST_HANDLE_NULL, p.list({"x"}), nullptr, 0, nullptr), 0);
    EXPECT_EQ(mf_parser_failed, 0);
    EXPECT_EQ(mf_tgt_lookup(p.table(), "x"), nullptr);
  }
}

TEST(MfTgtRule, DotSlashIsStrippedFromTargetsAndDependencies) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"././/t"}), p.list({"./d"}), nullptr, 0, nullptr), 0);
  mf_tgt_entry_t *t = p.entry("t");
  EXPECT_THAT(strings(mf_tgt_get_dep_list(p.table(), t, mf_tgt_next_instance(p.table(), t, nullptr))),
              ElementsAre("d"));
}

TEST(MfTgtStaticPattern, EachTargetGetsItsStemAndDependencies) {
  TgtParse p(MF_COMPAT_GNU);
  mftest::Captured cap;
  mf_tgt_static_pattern_rule(p.list({"a.o", "b.o", "x.c"}), "%.o", p.list({"%.c", "hdr.h"}),
                             p.list({"cc"}), 0);
  struct {
    const char *target;
    const char *stem;
    std::vector<std::string> deps;
  } expect[] = {
      {"a.o", "a", {"a.c", "hdr.h"}},
      {"b.o", "b", {"b.c", "hdr.h"}},
      // A target outside the pattern gets no dependencies from the rule's patterns.
      {"x.c", "x.c", {}},
  };
  for (const auto &e : expect) {
    mf_tgt_entry_t *t = p.entry(e.target);
    EXPECT_STREQ(mf_tgt_explicit_stem(p.table(), t), e.stem);
    EXPECT_EQ(strings(mf_tgt_get_dep_list(p.table(), t, mf_tgt_next_instance(p.table(), t, nullptr))),
              e.deps)
        << e.target;
  }
  EXPECT_THAT(cap.err(), HasSubstr("Target \"x.c\" doesn't match the target pattern \"%.o\".\n"));
  EXPECT_EQ(mf_parser_failed, 0);
}

TEST(MfTgtStaticPattern, DotSlashIsStrippedAndTheNamesOutliveTheRule) {
  TgtParse p(MF_COMPAT_GNU);
  mf_tgt_static_pattern_rule(p.list({"./a.o", "b.o"}), "%.o", p.list({"./%.c", "./%.h"}), nullptr,
                             0);
  ASSERT_EQ(mf_parser_failed, 0);
  // Read after the rule is done: the table holds its own copies of every name.
  for (const char *target : {"a", "b"}) {
    mf_tgt_entry_t *t = p.entry((std::string(target) + ".o").c_str());
    EXPECT_EQ(strings(mf_tgt_get_dep_list(p.table(), t, mf_tgt_next_instance(p.table(), t, nullptr))),
              (std::vector<std::string>{std::string(target) + ".c", std::string(target) + ".h"}))
        << target;
  }
}

TEST(MfTgtStaticPattern, PatternWithoutPercentFails) {
  TgtParse p(MF_COMPAT_GNU);
  mftest::Captured cap;
  mf_tgt_static_pattern_rule(p.list({"a.o"}), "a.o", p.list({"a.c"}), nullptr, 0);
  EXPECT_EQ(mf_parser_failed, 1);
  EXPECT_THAT(cap.err(), HasSubstr("Syntax error in file \"Makefile\" near line 3\n"));
  EXPECT_THAT(cap.err(), HasSubstr("Target pattern contains no `%'.\n"));
  EXPECT_EQ(mf_tgt_lookup(p.table(), "a.o"), nullptr);
}

TEST(MfTgtSpecial, SuffixListAccumulatesAndEmptyListClears) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_def_suffixes(".SUFFIXES", p.list({".x"})), 0);
  ASSERT_EQ(mf_tgt_def_suffixes(".SUFFIXES", LIST_HANDLE_NULL), 0);
  EXPECT_EQ(mf_tgt_suffix_list(p.table()), LIST_HANDLE_NULL);
  ASSERT_EQ(mf_tgt_def_suffixes(".SUFFIXES", p.list({".o", ".c"})), 0);
  ASSERT_EQ(mf_tgt_def_suffixes(".SUFFIXES", p.list({".c"})), 0);
  EXPECT_THAT(strings(mf_tgt_suffix_list(p.table())), ElementsAre(".o", ".c", ".c"));
}

TEST(MfTgtSpecial, SearchPaths) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_all_path(p.list({"src", "inc"})), 0);
  ASSERT_EQ(mf_tgt_all_path(p.list({"src"})), 0);
  EXPECT_THAT(strings(p.table()->all_path_list), ElementsAre("src", "inc", "src"));
  // Equal directories share one interned copy.
  void *first = nullptr;
  void *third = nullptr;
  list_cursor_t c = list_next(p.table()->all_path_list, nullptr, &first);
  c = list_next(p.table()->all_path_list, list_next(p.table()->all_path_list, c, nullptr), &third);
  EXPECT_EQ(first, third);
  ASSERT_EQ(mf_tgt_all_path(LIST_HANDLE_NULL), 0);
  EXPECT_EQ(p.table()->all_path_list, LIST_HANDLE_NULL);

  // .PATH.c: an empty list empties the suffix's list; a later one starts anew.
  ASSERT_EQ(mf_tgt_suff_path(".c", LIST_HANDLE_NULL), 0);
  EXPECT_EQ(p.table()->suff_path_table, HASH_HT_NULL);
  ASSERT_EQ(mf_tgt_suff_path(".c", p.list({"a"})), 0);
  ASSERT_EQ(mf_tgt_suff_path(".c", p.list({"b"})), 0);
  void *data = nullptr;
  ASSERT_TRUE(hash_str_lookup(p.table()->suff_path_table, ".c", nullptr, &data));
  auto *rec = static_cast<mf_tgt_suff_path_t *>(data);
  EXPECT_THAT(strings(rec->dirs), ElementsAre("a", "b"));
  ASSERT_EQ(mf_tgt_suff_path(".c", LIST_HANDLE_NULL), 0);
  EXPECT_EQ(rec->dirs, LIST_HANDLE_NULL);
  ASSERT_EQ(mf_tgt_suff_path(".c", p.list({"c"})), 0);
  EXPECT_THAT(strings(rec->dirs), ElementsAre("c"));
}

std::vector<std::string> vpaths(mf_tgt_table_t *t) {
  std::vector<std::string> v;
  if (t->vpath_list == LIST_HANDLE_NULL) return v;
  void *d = nullptr;
  for (list_cursor_t c = list_next(t->vpath_list, nullptr, &d); c != nullptr;
       c = list_next(t->vpath_list, c, &d)) {
    auto *r = static_cast<mf_tgt_vpath_t *>(d);
    std::string s = r->pattern;
    for (const std::string &dir : strings(r->dirs)) s += " " + dir;
    v.push_back(s);
  }
  return v;
}

TEST(MfTgtSpecial, VpathRecordsAddAndRemove) {
  TgtParse p(MF_COMPAT_GNU);
  ASSERT_EQ(mf_tgt_gnu_vpath(nullptr, LIST_HANDLE_NULL), 0);
  ASSERT_EQ(mf_tgt_gnu_vpath("%.c", p.list({"dir1"})), 0);
  ASSERT_EQ(mf_tgt_gnu_vpath("%.h", p.list({"inc"})), 0);
  ASSERT_EQ(mf_tgt_gnu_vpath("%.c", p.list({"dir2", "dir3"})), 0);
  EXPECT_THAT(vpaths(p.table()), ElementsAre("%.c dir1", "%.h inc", "%.c dir2 dir3"));
  ASSERT_EQ(mf_tgt_gnu_vpath("%.c", LIST_HANDLE_NULL), 0);
  EXPECT_THAT(vpaths(p.table()), ElementsAre("%.h inc"));
  ASSERT_EQ(mf_tgt_gnu_vpath(nullptr, LIST_HANDLE_NULL), 0);
  EXPECT_EQ(p.table()->vpath_list, LIST_HANDLE_NULL);
}

TEST(MfTgtSpecial, NullSuffixIsTheLastName) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_def_null_tgt(".NULL", p.list({".a", ".b"})), 0);
  EXPECT_STREQ(p.table()->null_suffix, ".b");
  ASSERT_EQ(mf_tgt_def_null_tgt(".NULL", LIST_HANDLE_NULL), 0);
  EXPECT_STREQ(p.table()->null_suffix, ".b");
}

TEST(MfTgtSpecial, PreciousAndPhonyMarksSurviveALaterRule) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_def_precious(".PRECIOUS", p.list({"x"})), 0);
  ASSERT_EQ(mf_tgt_declare_phony_targets(p.list({"clean"})), 0);
  EXPECT_EQ(p.entry("x")->defined_as_target, 0);
  EXPECT_EQ(p.entry("x")->declared_precious, 1);
  mf_tgt_set_tgt_table_handle(p.table());
  EXPECT_EQ(mf_tgt_is_undefined_phony_dependency("clean"), 1);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"x"}), p.list({"y"}), nullptr, 0, nullptr), 0);
  ASSERT_EQ(mf_tgt_depends_rule(p.list({"clean"}), nullptr, p.list({"rm"}), 0, nullptr), 0);
  EXPECT_EQ(p.entry("x")->defined_as_target, 1);
  EXPECT_EQ(mf_tgt_is_precious(p.entry("x")), 1);
  EXPECT_EQ(mf_tgt_is_phony(p.entry("clean")), 1);
  EXPECT_EQ(mf_tgt_is_undefined_phony_dependency("clean"), 0);
  // A name that was marked first is no dependency and stays a root.
  EXPECT_THAT(strings(mf_tgt_root_tgt_list(p.table())), testing::Contains("clean"));
  mf_tgt_set_tgt_table_handle(nullptr);
}

TEST(MfTgtSpecial, RecursiveMakeList) {
  TgtParse p(MF_COMPAT_STD);
  ASSERT_EQ(mf_tgt_def_recurs(".MAKE", p.list({"sub", "other"})), 0);
  EXPECT_EQ(mf_tgt_is_recurs_make(p.table(), "sub"), 1);
  EXPECT_EQ(mf_tgt_is_recurs_make(p.table(), "none"), 0);
}

}  // namespace
