// Implicit rules: pattern rules of std and sun, suffix rules of every dialect, GNU pattern-rule
// chains, target groups of GNU pattern rules, and rules that lead back to one another.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_util.h"
#include "lookup_util.h"
#include "mf/bldr_opts.h"
#include "mf/mf_tgt_group.h"
#include "mf/mf_tgt_parse.h"
#include "mf/mf_tgt_patt.h"
#include "mf/mf_tgt_validate.h"

using mftest::Captured;
using mftest::describe;
using mftest::Lookup;
using mftest::strings;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

const uint32_t kBsd[] = {MF_COMPAT_SGISMAKE, MF_COMPAT_SGIPMAKE, MF_COMPAT_BSDNETR2};
const uint32_t kGnu[] = {MF_COMPAT_PGNU, MF_COMPAT_GNU};

TEST(MfTgtImplicit, MatchPattern) {
  struct Case {
    const char *pattern;
    const char *name;
    const char *member;
    int result;
    const char *stem;
  };
  const Case cases[] = {
      {"%.o", "x.o", nullptr, 0, "x"},        {"%.o", ".o", nullptr, 0, ""},
      {"%.o", "o", nullptr, 1, ""},           {"lib%.a", "libm.a", nullptr, 0, "m"},
      {"ab%ba", "aba", nullptr, 1, ""},       {"%", "", nullptr, 1, ""},
      {"(%.o)", "lib.a(m.o)", "m.o", 0, "m"}, {"libx.a(%.o)", "libx.a(m.o)", "m.o", 0, "m"},
      {"libx.a(%.o)", "liby.a(m.o)", "m.o", 1, ""}, {"%.o", "lib.a(m.o)", "m.o", 1, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.name);
    char stem[1024] = "";
    EXPECT_EQ(mf_tgt_match_patt(c.pattern, c.name, c.member, stem, sizeof stem, MF_COMPAT_STD),
              c.result);
    if (c.result == 0) {
      EXPECT_STREQ(stem, c.stem);
    }
  }
  Captured cap;
  char stem[1024];
  EXPECT_EQ(mf_tgt_match_patt("x.o", "x.o", nullptr, stem, sizeof stem, MF_COMPAT_STD), -1);
  EXPECT_THAT(cap.err(), HasSubstr("Unable to find pattern matching wildcard character in \"x.o\""));
}

TEST(MfTgtImplicit, StdAndSunTryPatternRulesBeforeSuffixRules) {
  for (uint32_t v : {uint32_t(MF_COMPAT_STD), uint32_t(MF_COMPAT_SUN)}) {
    SCOPED_TRACE(v);
    Lookup l(v);
    l.suffixes({".o", ".c"});
    l.rule({".c.o"}, {}, {"suffix"});
    l.rule({"%.o"}, {"%.c"}, {"pattern"});
    l.file("x.c");
    ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "x.o: x.c [<x.c *x] {pattern}");
    EXPECT_EQ(l.entry()->implicit_target, 1);
    // When no pattern rule matches, the suffix rules are tried.
    l.suffixes({".y"});
    l.rule({".y.o"}, {}, {"suffix y"});
    l.file("z.y");
    ASSERT_EQ(l.validate("z.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "z.o: z.y [<z.y *z] {suffix y}");
  }
  // The GNU dialects know pattern rules only.
  for (uint32_t v : kGnu) {
    Lookup l(v);
    l.suffixes({".o", ".c"});
    l.rule({".c.o"}, {}, {"suffix"});
    l.file("x.c");
    EXPECT_EQ(l.validate("x.o"), MF_TGT_NO_RULE);
  }
}

TEST(MfTgtImplicit, SuffixRulesFollowTheSuffixList) {
  // Suffix list .o .c .y with the rules .c.o and .y.o, x.c and x.y present, and (explicit) the
  // rule line x.o: x.y.
  struct Case {
    uint32_t variant;
    bool explicit_y;
    const char *rule;
  };
  const Case cases[] = {
      {MF_COMPAT_STD, false, "x.o: x.c [<x.c *x] {from c}"},
      {MF_COMPAT_SUN, false, "x.o: x.c [<x.c *x] {from c}"},
      {MF_COMPAT_KELTO, false, "x.o: x.c [<x.c *x] {from c}"},
      {MF_COMPAT_SGISMAKE, false, "x.o: x.c [<x.c *x] {from c}"},
      // The BSD-style dialects take the rule of the explicit dependency's suffix.
      {MF_COMPAT_SGISMAKE, true, "x.o: x.y [<x.y *x] {from y}"},
      {MF_COMPAT_SGIPMAKE, true, "x.o: x.y [<x.y *x] {from y}"},
      {MF_COMPAT_BSDNETR2, true, "x.o: x.y [<x.y *x] {from y}"},
      {MF_COMPAT_STD, true, "x.o: x.y x.c [<x.c *x] {from c}"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.variant) + (c.explicit_y ? " explicit" : ""));
    Lookup l(c.variant);
    l.suffixes({".o", ".c", ".y"});
    l.rule({".c.o"}, {}, {"from c"});
    l.rule({".y.o"}, {}, {"from y"});
    l.file("x.c");
    l.file("x.y");
    if (c.explicit_y) l.rule({"x.o"}, {"x.y"}, {});
    ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), c.rule);
  }
}

TEST(MfTgtImplicit, ALookupReadsTheSuffixListInForce) {
  // The suffix list changes between two lookups: the second follows the new list.
  for (const uint32_t variant : {MF_COMPAT_STD, MF_COMPAT_SGISMAKE, MF_COMPAT_KELTO}) {
    SCOPED_TRACE(variant);
    Lookup l(variant);
    l.suffixes({".o", ".c"});
    l.rule({".c.o"}, {}, {"to o"});
    l.rule({".c.x"}, {}, {"to x"});
    l.file("a.c");
    l.file("b.c");
    ASSERT_EQ(l.validate("a.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "a.o: a.c [<a.c *a] {to o}");
    l.suffixes({});
    l.suffixes({".x", ".c"});
    ASSERT_EQ(l.validate("b.x"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "b.x: b.c [<b.c *b] {to x}");
  }
}

TEST(MfTgtImplicit, SuffixRuleDetails) {
  {
    // A version suffix never makes a rule name; a later definition of a rule wins.
    Lookup l(MF_COMPAT_STD);
    l.suffixes({".o", ".c~", ".c"});
    l.rule({".c~.o"}, {}, {"from tilde"});
    l.rule({".c.o"}, {}, {"first"});
    l.rule({".c.o"}, {}, {"second"});
    l.file("x.c~");
    EXPECT_EQ(l.validate("x.o"), MF_TGT_NO_RULE);
    l.file("y.c");
    ASSERT_EQ(l.validate("y.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "y.o: y.c [<y.c *y] {second}");
  }
  {
    // sgipmake matches the last component: dir/x.o comes from x.c.
    Lookup l(MF_COMPAT_SGIPMAKE);
    l.suffixes({".o", ".c"});
    l.rule({".c.o"}, {}, {"cc"});
    l.file("x.c");
    ASSERT_EQ(l.validate("dir/x.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "dir/x.o: x.c [<x.c *x] {cc}");
  }
  {
    // Without a suffix list nothing is inferred.
    Lookup l(MF_COMPAT_STD);
    l.rule({".c.o"}, {}, {"cc"});
    l.file("x.c");
    EXPECT_EQ(l.validate("x.o"), MF_TGT_NO_RULE);
  }
}

TEST(MfTgtImplicit, SunFindsTheSourceAmongNamesInDirectories) {
  // x.c is nowhere, but the makefile names other/x.c and sub/x.c: the first of those names (in
  // the makefile's order) that is a target or exists is the source.
  Lookup l(MF_COMPAT_SUN);
  l.suffixes({".o", ".c"});
  l.rule({".c.o"}, {}, {"cc -c $<"});
  l.rule({"all"}, {"other/x.c", "sub/x.c"}, {});
  l.file("sub/x.c");
  ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
  EXPECT_EQ(l.rule_of(), "x.o: sub/x.c [<sub/x.c *x] {cc -c $<}");
  l.rule({"gen/y.c"}, {}, {"gen"});
  l.rule({"all2"}, {"sub/y.c"}, {});
  l.file("sub/y.c");
  ASSERT_EQ(l.validate("y.o"), MF_TGT_VALID);
  EXPECT_EQ(l.rule_of(), "y.o: gen/y.c [<gen/y.c *y] {cc -c $<}");
  // Other dialects do not look there.
  Lookup s(MF_COMPAT_STD);
  s.suffixes({".o", ".c"});
  s.rule({".c.o"}, {}, {"cc -c $<"});
  s.rule({"all"}, {"sub/x.c"}, {});
  s.file("sub/x.c");
  EXPECT_EQ(s.validate("x.o"), MF_TGT_NO_RULE);
}

TEST(MfTgtImplicit, SingleSuffixAndNullSuffixRules) {
  for (uint32_t v : {uint32_t(MF_COMPAT_STD), uint32_t(MF_COMPAT_SUN), uint32_t(MF_COMPAT_KELTO),
                     uint32_t(MF_COMPAT_SGISMAKE)}) {
    SCOPED_TRACE(v);
    Lookup l(v);
    l.suffixes({".c"});
    l.rule({".c"}, {}, {"cc -o $@ $<"});
    l.file("prog.c");
    ASSERT_EQ(l.validate("prog"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "prog: prog.c [<prog.c *prog] {cc -o $@ $<}");
  }
  // In std an explicit rule with dependencies stops the single-suffix rule.
  Lookup l(MF_COMPAT_STD);
  l.suffixes({".c"});
  l.rule({".c"}, {}, {"cc -o $@ $<"});
  l.file("prog.c");
  l.rule({"prog"}, {"a.o"}, {});
  ASSERT_EQ(l.validate("prog"), MF_TGT_VALID);
  EXPECT_EQ(l.rule_of(), "prog: a.o [*prog] {}");
  // The BSD-style .NULL suffix stands for no suffix.
  for (uint32_t v : kBsd) {
    SCOPED_TRACE(v);
    Lookup b(v);
    b.suffixes({".out", ".c"});
    ASSERT_EQ(mf_tgt_def_null_tgt(".NULL", b.parse().list({".out"})), 0);
    b.rule({".c.out"}, {}, {"link"});
    b.file("prog.c");
    ASSERT_EQ(b.validate("prog"), MF_TGT_VALID);
    EXPECT_EQ(b.rule_of(), "prog: prog.c [<prog.c *prog] {link}");
  }
}

TEST(MfTgtImplicit, ArchiveMembersTakeRulesToDotA) {
  for (bool with_a : {true, false}) {
    Lookup l(MF_COMPAT_STD);
    if (with_a)
      l.suffixes({".o", ".c", ".a"});
    else
      l.suffixes({".o", ".c"});
    l.rule({".c.a"}, {}, {"ar r $@ $%"});
    l.file("m.c");
    if (!with_a) {
      EXPECT_EQ(l.validate("lib.a(m.o)"), MF_TGT_NO_RULE);
      continue;
    }
    ASSERT_EQ(l.validate("lib.a(m.o)"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "lib.a: m.c [<m.c *m] {ar r $@ $%}");
    EXPECT_EQ(l.entry()->archive_tgt, 1);
    EXPECT_STREQ(
        mf_tgt_get_member_name(l.table(), l.entry(), list_next(l.entry()->instances, nullptr, nullptr)),
        "m.o");
  }
}

TEST(MfTgtImplicit, StdChainsThroughNamesTheMakefileKnows) {
  auto setup = [](Lookup &l) {
    l.suffixes({".o", ".c", ".y"});
    l.rule({".c.o"}, {}, {"cc"});
    l.rule({".y.c"}, {}, {"yacc"});
    l.file("x.y");
  };
  {
    Lookup l(MF_COMPAT_STD);
    setup(l);
    EXPECT_EQ(l.validate("x.o"), MF_TGT_NO_RULE);
  }
  {
    Lookup l(MF_COMPAT_STD);
    setup(l);
    l.rule({"all"}, {"x.c"}, {});
    ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "x.o: x.c [<x.c *x] {cc}");
  }
  {
    // An explicit target is looked up a second time with a deeper chain.
    Lookup l(MF_COMPAT_STD);
    setup(l);
    l.rule({"x.o"}, {}, {});
    ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "x.o: x.c [<x.c *x] {cc}");
  }
  for (uint32_t v : {MF_COMPAT_SGISMAKE, MF_COMPAT_KELTO}) {
    Lookup l(v);
    setup(l);
    ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "x.o: x.c [<x.c *x] {cc}");
  }
}

TEST(MfTgtImplicit, ExplicitRulesAreCompletedByImplicitRules) {
  {
    // std with a script of its own: the inferred dependency is no dependency of the rule.
    Lookup l(MF_COMPAT_STD);
    l.suffixes({".o", ".c"});
    l.rule({".c.o"}, {}, {"cc -c $<"});
    l.rule({"x.o"}, {"x.h"}, {"own"});
    l.rule({"y.o"}, {"y.h"}, {"own"});
    l.file("x.c");
    ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "x.o: x.h [<x.c *x] {own}");
    list_cursor_t first = list_next(l.entry()->instances, nullptr, nullptr);
    EXPECT_THAT(strings(mf_tgt_get_bogus_dep_list(l.table(), l.entry(), first)),
                ElementsAre("x.c"));
    EXPECT_EQ(mf_tgt_get_inst_flags(l.table(), l.entry(), first), MF_TGT_INST_IMPLICIT_APPLIED);
    // Without the source the inferred dependency is not used.
    ASSERT_EQ(l.validate("y.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "y.o: y.h [*y] {own}");
  }
  {
    // Without a script of its own the target takes the rule's script and dependency.
    Lookup l(MF_COMPAT_STD);
    l.suffixes({".o", ".c"});
    l.rule({".c.o"}, {}, {"cc -c $<"});
    l.rule({"x.o"}, {"x.h"}, {});
    l.file("x.c");
    ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "x.o: x.h x.c [<x.c *x] {cc -c $<}");
  }
  for (uint32_t v : kGnu) {
    // GNU: the pattern's dependencies first, then the target's own.
    Lookup l(v);
    l.rule({"%.o"}, {"%.c", "common.h"}, {"cc -c $<"});
    l.rule({"x.o"}, {"x.h", "common.h"}, {});
    l.file("x.c");
    l.file("common.h");
    ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "x.o: x.c common.h x.h [<x.c *x] {cc -c $<}");
    EXPECT_EQ(mf_tgt_get_inst_flags(l.table(), l.entry(),
                                    list_next(l.entry()->instances, nullptr, nullptr)),
              MF_TGT_INST_FROM_PATTERN | MF_TGT_INST_IMPLICIT_APPLIED);
  }
}

TEST(MfTgtImplicit, PatternRulesChainThroughIntermediates) {
  for (uint32_t v : {uint32_t(MF_COMPAT_STD), uint32_t(MF_COMPAT_SUN), uint32_t(MF_COMPAT_PGNU),
                     uint32_t(MF_COMPAT_GNU)}) {
    SCOPED_TRACE(v);
    Lookup l(v);
    l.rule({"%.o"}, {"%.c"}, {"echo $@ from $<"});
    l.rule({"%.c"}, {"%.y"}, {"echo $@ from $<; touch $@"});
    l.file("x.y");
    ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "x.o: x.c [<x.c *x] {echo $@ from $<}");
    ASSERT_EQ(l.validate("x.c"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "x.c: x.y [<x.y *x] {echo $@ from $<; touch $@}");
  }
}

TEST(MfTgtImplicit, GnuMatchListDetails) {
  {
    // A target in a directory: the stem is matched against the file part, and the directory
    // comes back in front of the dependency; a pattern with '/' matches the whole name.
    Lookup l(MF_COMPAT_GNU);
    l.rule({"%.o"}, {"%.c"}, {"cc"});
    l.rule({"obj/%.b"}, {"%.c"}, {"bb"});
    l.file("src/x.c");
    l.file("x.c");
    ASSERT_EQ(l.validate("src/x.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "src/x.o: src/x.c [<src/x.c *src/x] {cc}");
    ASSERT_EQ(l.validate("obj/x.b"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "obj/x.b: x.c [<x.c *x] {bb}");
  }
  {
    // A name the makefile names as a dependency ought to exist: no chain is needed.
    Lookup l(MF_COMPAT_GNU);
    l.rule({"%.o"}, {"%.c"}, {"cc"});
    l.rule({"gen"}, {"x.c"}, {});
    ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "x.o: x.c [<x.c *x] {cc}");
  }
  {
    // A rule without a script supplies nothing.
    Lookup l(MF_COMPAT_GNU);
    l.rule({"%.o"}, {"%.c"}, {});
    l.file("x.c");
    EXPECT_EQ(l.validate("x.o"), MF_TGT_NO_RULE);
  }
}

TEST(MfTgtImplicit, GnuMatchAnythingAndTerminalRules) {
  {
    // A non-terminal "%" rule is pruned when a more specific rule matches too.
    Lookup l(MF_COMPAT_GNU);
    l.rule({"%"}, {"%.q"}, {"any"});
    l.rule({"%.o"}, {"%.c"}, {"cc"});
    l.file("x.o.q");
    EXPECT_EQ(l.validate("x.o"), MF_TGT_NO_RULE);
    // Alone it matches anything.
    l.file("y.q");
    ASSERT_EQ(l.validate("y"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "y: y.q [<y.q *y] {any}");
  }
  {
    // A terminal (double-colon) "%" rule stays.
    Lookup l(MF_COMPAT_GNU);
    l.rule({"%"}, {"%.q"}, {"any"}, true);
    l.rule({"%.o"}, {"%.c"}, {"cc"});
    l.file("x.o.q");
    ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "x.o: x.o.q [<x.o.q *x.o] {any}");
  }
  {
    // A terminal rule makes an intermediate only from files that are there.
    auto setup = [](Lookup &l) {
      l.rule({"%.o"}, {"%.c"}, {"cc"});
      l.rule({"%.c"}, {"%.w"}, {"w2c"}, true);
      l.rule({"%.w"}, {"%.v"}, {"v2w"});
    };
    Lookup only_v(MF_COMPAT_GNU);
    setup(only_v);
    only_v.file("x.v");
    EXPECT_EQ(only_v.validate("x.o"), MF_TGT_NO_RULE);
    Lookup with_w(MF_COMPAT_GNU);
    setup(with_w);
    with_w.file("x.w");
    ASSERT_EQ(with_w.validate("x.o"), MF_TGT_VALID);
    EXPECT_EQ(with_w.rule_of(), "x.o: x.c [<x.c *x] {cc}");
  }
  {
    // The rule being tried is not used again for its own dependency (no x.c.c, x.c.c.c, ...).
    Lookup l(MF_COMPAT_GNU);
    l.rule({"%"}, {"%.c"}, {"cc -o $@ $<"});
    EXPECT_EQ(l.validate("x"), MF_TGT_NO_RULE);
    l.file("y.c.c");
    EXPECT_EQ(l.validate("y"), MF_TGT_NO_RULE);
    EXPECT_EQ(mf_tgt_lookup(l.table(), "y.c"), nullptr);
  }
}

TEST(MfTgtImplicit, GnuSearchAfterAGroupWasCarriedOver) {
  // The first search for t.o makes t.c through the group rule, which defines t.c and t.h, and
  // then gives %.o: %.c %.q up (no t.q); %.o: %.h is not taken then, as t.h was no intermediate.
  // The search is asked again, and now finds %.o: %.h directly.
  for (uint32_t v : kGnu) {
    SCOPED_TRACE(v);
    Lookup l(v);
    l.rule({"%.o"}, {"%.c", "%.q"}, {"cq"});
    l.rule({"%.o"}, {"%.h"}, {"hh"});
    l.rule({"%.c", "%.h"}, {"%.w"}, {"w2ch"});
    l.rule({"t.o"}, {}, {});
    l.file("t.w");
    ASSERT_EQ(l.validate("t.o"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "t.o: t.h [<t.h *t] {hh}");
  }
}

TEST(MfTgtImplicit, GnuArchiveMembersMatchMemberPatterns) {
  Lookup l(MF_COMPAT_GNU);
  l.rule({"(%.o)"}, {"%.c"}, {"ar"});
  l.rule({"libx.a(%.o)"}, {"%.s"}, {"as"});
  l.file("m.c");
  l.file("n.s");
  ASSERT_EQ(l.validate("liby.a(m.o)"), MF_TGT_VALID);
  EXPECT_EQ(l.rule_of(), "liby.a: m.c [<m.c *m] {ar}");
  ASSERT_EQ(l.validate("libx.a(n.o)"), MF_TGT_VALID);
  EXPECT_EQ(l.rule_of(), "libx.a: n.s [<n.s *n] {as}");
  EXPECT_EQ(l.validate("liby.a(n.o)"), MF_TGT_NO_RULE);
}

TEST(MfTgtImplicit, StdPatternSearchListsWhatItFound) {
  // A dependency found in a search directory is listed under that path only.
  Lookup l(MF_COMPAT_STD);
  l.macro("VPATH", "src");
  l.rule({"%.o"}, {"%.c", "x.h"}, {"cc"});
  l.file("x.c");
  l.file("src/x.h");
  ASSERT_EQ(l.validate("x.o"), MF_TGT_VALID);
  EXPECT_EQ(l.rule_of(), "x.o: x.c src/x.h [<x.c *x] {cc}");
}

TEST(MfTgtImplicit, RulesThatLeadBackEndWithAMessage) {
  for (uint32_t v : {uint32_t(MF_COMPAT_SGISMAKE), uint32_t(MF_COMPAT_KELTO),
                     uint32_t(MF_COMPAT_STD), uint32_t(MF_COMPAT_SUN)}) {
    SCOPED_TRACE(v);
    Captured cap;
    Lookup l(v);
    l.suffixes({".a", ".b"});
    l.rule({".a.b"}, {}, {"a2b"});
    l.rule({".b.a"}, {}, {"b2a"});
    // std and sun chain only through names the makefile knows.
    l.rule({"all"}, {"x.a", "x.b"}, {});
    EXPECT_EQ(l.validate("x.b"), MF_TGT_NO_RULE);
    EXPECT_EQ(l.entry(), nullptr);
    EXPECT_THAT(cap.err(), HasSubstr("Implicit rules lead back to \"x.b\"; that chain of rules is "
                                     "not followed.\n"));
  }
}

TEST(MfTgtImplicit, ASuffixRuleIsNotAppliedBelowItself) {
  // With the suffixes ".c" and "c" the rule ".cc" asks for x..c to make x.c, then x...c, and so
  // on: the chain stops where the rule would be applied a second time.
  for (uint32_t v : {uint32_t(MF_COMPAT_KELTO), uint32_t(MF_COMPAT_SGISMAKE), uint32_t(MF_COMPAT_STD)}) {
    SCOPED_TRACE(v);
    Captured cap;
    Lookup l(v);
    l.suffixes({".c", "c"});
    l.rule({".cc"}, {}, {"c++ -o $@ $<"});
    EXPECT_EQ(l.validate("x.c"), MF_TGT_NO_RULE);
    if (v != MF_COMPAT_STD) {
      EXPECT_THAT(cap.err(), HasSubstr("Implicit rules lead back to \".cc\""));
    }
    // A file at the second step is found.
    l.file("x..c");
    ASSERT_EQ(l.validate("y.c"), MF_TGT_NO_RULE);
    ASSERT_EQ(l.validate("x.c"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "x.c: x..c [<x..c *x.] {c++ -o $@ $<}");
  }
}

TEST(MfTgtImplicit, GnuPatternGroupsComeWithTheInferredTarget) {
  for (bool no_wink_in : {false, true}) {
    Lookup l(MF_COMPAT_GNU);
    l.rule({"%.c", "%.h"}, {"%.y"}, {"yacc $<"});
    l.file("a.y");
    ASSERT_EQ(l.validate("a.c"), MF_TGT_VALID);
    EXPECT_EQ(l.rule_of(), "a.c: a.y [<a.y *a] {yacc $<}");
    EXPECT_EQ(describe(l.table(), l.parse().entry("a.h")), "a.h: a.y [<a.y *a] {yacc $<}");
    list_handle_t cot = LIST_HANDLE_NULL;
    ASSERT_EQ(mf_tgt_has_cotargets(l.table(), "a.c", &cot), 1);
    EXPECT_THAT(strings(cot), ElementsAre("a.h"));
    ASSERT_EQ(mf_tgt_has_cotargets(l.table(), "a.h", &cot), 1);
    EXPECT_THAT(strings(cot), ElementsAre("a.c"));
    EXPECT_EQ(mf_tgt_sibs_affect_reuse(l.table(), "a.c"), 1);
    EXPECT_EQ(mf_tgt_sibs_affect_reuse(l.table(), "a.h"), 1);
    EXPECT_EQ(mf_tgt_utl_targets_belong_to_same_mf_group(l.table(), "a.c", "a.h"), 1);
    list_handle_t sets = bldr_opts_get_parallel_interference_sets(l.parse().opts());
    ASSERT_NE(sets, LIST_HANDLE_NULL);
    EXPECT_EQ(list_length(sets), 2u);  // the rule's own pattern group and the inferred one
    // Validated as a member of the group, a.h is not inferred a second time.
    ASSERT_EQ(l.validate("a.h"), MF_TGT_VALID);
    EXPECT_EQ(strings(l.entry()->instances).size(), 1u);
    if (!no_wink_in) {
      mf_tgt_require_tgt_group_consistency(l.table(), "a.c");
      EXPECT_EQ(mf_tgt_has_cotargets(l.table(), "a.c", &cot), 1);
      continue;
    }
    bldr_opts_add_patt_list(l.parse().opts(), BLDR_OPTS_NO_WINK_IN, l.parse().list({"%.h"}));
    mf_tgt_require_tgt_group_consistency(l.table(), "a.c");
    EXPECT_EQ(mf_tgt_has_cotargets(l.table(), "a.c", &cot), 0);
    EXPECT_EQ(mf_tgt_has_cotargets(l.table(), "a.h", &cot), 0);
    EXPECT_EQ(mf_tgt_utl_targets_belong_to_same_mf_group(l.table(), "a.c", "a.h"), 0);
  }
  {
    // The options record strips "./" from the names of an interference set; the members of the
    // group keep the names as the lookup gave them.
    Lookup l(MF_COMPAT_GNU);
    l.rule({"%.c", "%.h"}, {"%.y"}, {"yacc $<"});
    l.file("a.y");
    ASSERT_EQ(l.validate("./a.c"), MF_TGT_VALID);
    list_handle_t cot = LIST_HANDLE_NULL;
    ASSERT_EQ(mf_tgt_has_cotargets(l.table(), "./a.c", &cot), 1);
    EXPECT_THAT(strings(cot), ElementsAre("./a.h"));
    ASSERT_EQ(mf_tgt_has_cotargets(l.table(), "./a.h", &cot), 1);
    EXPECT_THAT(strings(cot), ElementsAre("./a.c"));
    list_handle_t sets = bldr_opts_get_parallel_interference_sets(l.parse().opts());
    ASSERT_NE(sets, LIST_HANDLE_NULL);
    EXPECT_EQ(bldr_opts_member_of_parallel_interference_set(l.parse().opts(), "a.h", &cot), 1);
  }
  // One target pattern: no group, no interference set.
  Lookup l(MF_COMPAT_GNU);
  l.rule({"%.c"}, {"%.y"}, {"yacc $<"});
  l.file("a.y");
  ASSERT_EQ(l.validate("a.c"), MF_TGT_VALID);
  list_handle_t cot = LIST_HANDLE_NULL;
  EXPECT_EQ(mf_tgt_has_cotargets(l.table(), "a.c", &cot), 0);
  EXPECT_EQ(bldr_opts_get_parallel_interference_sets(l.parse().opts()), LIST_HANDLE_NULL);
}

TEST(MfTgtImplicit, ExplicitGroupsAreCheckedAgainstTheReuseSpecials) {
  Captured cap;
  Lookup l(MF_COMPAT_STD);
  l.rule({"a", "+", "b", "+", "c"}, {"src"}, {"gen"});
  ASSERT_EQ(l.validate("a"), MF_TGT_VALID);
  EXPECT_EQ(mf_tgt_utl_targets_belong_to_same_mf_group(l.table(), "a", "c"), 1);
  EXPECT_EQ(mf_tgt_require_one_tgt_for_tgt_group_consistency(l.table(), "b"), 1);
  bldr_opts_add_patt_list(l.parse().opts(), BLDR_OPTS_SIBLING_IGNORED_FOR_REUSE,
                          l.parse().list({"a"}));
  mf_tgt_require_tgt_group_consistency(l.table(), "a");
  EXPECT_EQ(mf_tgt_utl_targets_belong_to_same_mf_group(l.table(), "a", "b"), 1);
  bldr_opts_add_patt_list(l.parse().opts(), BLDR_OPTS_NO_DO_FOR_SIBLING, l.parse().list({"c"}));
  mf_tgt_require_tgt_group_consistency(l.table(), "a");
  for (const char *m : {"a", "b", "c"}) {
    list_handle_t cot = LIST_HANDLE_NULL;
    EXPECT_EQ(mf_tgt_has_cotargets(l.table(), m, &cot), 0) << m;
  }
  mf_tgt_require_tgt_group_consistency(l.table(), "a");
  mf_tgt_require_tgt_group_consistency(l.table(), "nowhere");
  EXPECT_THAT(cap.err(), HasSubstr("Target \"a\" is not a member of a target group\n"));
  EXPECT_THAT(cap.err(), HasSubstr("Target \"nowhere\" not declared before consistency check\n"));
}

}  // namespace
