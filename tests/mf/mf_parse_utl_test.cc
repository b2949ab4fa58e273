// Statements of std makefiles, parsed by the grammar over the std scanner into the target table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "capture_util.h"
#include "mf/mf_parser.h"
#include "mf/mf_tgt.h"
#include "scan_util.h"

using mftest::ScanInput;
using mftest::describe;
using mftest::joined;
using mftest::strings;
using testing::HasSubstr;

namespace {

std::string fixture(const std::string &name) { return mftest::read_fixture("parse/" + name); }

TEST(StdStatements, RulesOfAProgram) {
  const std::string expected = fixture("rules.dump");
  mftest::Captured cap;
  ScanInput s(fixture("rules.mk"));
  ASSERT_EQ(s.parse(), 0) << cap.err();
  EXPECT_EQ(mf_parser_failed, 0);
  EXPECT_EQ(describe(s.table(), {"prog", "main.o", "libx.a()", "gen1", "clean", ".c.o"}),
            expected);
  EXPECT_THAT(cap.err(), HasSubstr("Too many command lines for \"main.o\""));
  EXPECT_EQ(mfc_parse_op_rec_p->ignore, 1u);
  list_handle_t co = LIST_HANDLE_NULL;
  ASSERT_EQ(mf_tgt_has_cotargets(s.table(), "gen2", &co), 1);
  EXPECT_EQ(joined(co), "gen1");
}

TEST(StdStatements, MainTargetsAreTheDefaultGoals) {
  ScanInput s(fixture("main.mk"));
  ASSERT_EQ(s.parse(), 0);
  EXPECT_EQ(s.table()->first_tgt, std::string("first"));
  EXPECT_EQ(joined(mf_tgt_default_goal_list(s.table())), "second");
}

// Archive members named as dependencies are entered under their library's key, which is no
// target of its own.
TEST(StdStatements, ArchiveMembersAmongDependenciesMakeNoRootTarget) {
  mftest::Captured cap;
  ScanInput s("lib.a: lib.a(x.o y.o)\n\tranlib lib.a\n");
  ASSERT_EQ(s.parse(), 0) << cap.err();
  EXPECT_EQ(joined(mf_tgt_root_tgt_list(s.table())), "lib.a");
  ASSERT_NE(mf_tgt_lookup(s.table(), "lib.a()"), nullptr);
}

TEST(StdStatements, IncludeLines) {
  mftest::Captured cap;
  ScanInput s("include inc.mk other.mk\nsinclude missing.mk\nall: $(I)\n");
  {
    std::ofstream("inc.mk") << "I = from_inc\nincluded: x\n";
    std::ofstream("other.mk") << "other: y\n";
  }
  ASSERT_EQ(s.parse(), 0) << cap.err();
  EXPECT_EQ(mf_parser_failed, 0) << cap.err();
  // The std include takes the first name only; a missing optional include is silent.
  EXPECT_NE(mf_tgt_lookup(s.table(), "included"), nullptr);
  EXPECT_EQ(mf_tgt_lookup(s.table(), "other"), nullptr);
  mf_tgt_entry_t *all = mf_tgt_lookup(s.table(), "all");
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(joined(mf_tgt_get_dep_list(s.table(), all, mf_tgt_next_instance(s.table(), all, nullptr))),
            "from_inc");
  EXPECT_EQ(cap.err(), "");
}

TEST(StdStatements, IncludeWithoutANameFailsTheParse) {
  mftest::Captured cap;
  ScanInput s("EMPTY =\ninclude $(EMPTY)\nafter:\n");
  EXPECT_EQ(s.parse(), 0);
  EXPECT_EQ(mf_parser_failed, 1);
  EXPECT_EQ(cap.err(), "tool: Error: File \"Makefile\", line 2\nInclude directive with no filename\n");
}

struct ErrorCase {
  const char *what;
  const char *input;
  int result;
  const char *messages;
};

void PrintTo(const ErrorCase &c, std::ostream *os) { *os << c.what; }

class StdErrors : public testing::TestWithParam<ErrorCase> {};

// Each error names the makefile and line; a semantic error lets the parse go on (and marks it
// failed), a syntax error ends it.
TEST_P(StdErrors, MessagesAndPositions) {
  const ErrorCase &c = GetParam();
  mftest::Captured cap;
  ScanInput s(c.input);
  EXPECT_EQ(s.parse(), c.result);
  EXPECT_EQ(cap.err(), c.messages);
  if (c.result == 0) {
    EXPECT_EQ(mf_parser_failed, 1);
    // The parse went on after the error.
    EXPECT_NE(mf_tgt_lookup(s.table(), "after"), nullptr);
  }
}

const ErrorCase kErrors[] = {
    {"double colon after single colon", "x: a\n\nx:: b\nafter:\n", 0,
     "tool: Error: File \"Makefile\", line 3\n"
     "Double colon rule after earlier single colon rule, target \"x\".\n"},
    {"single colon after double colon", "x:: a\nx: b\nafter:\n", 0,
     "tool: Error: File \"Makefile\", line 2\n"
     "Single colon rule after earlier double colon rule, target \"x\".\n"},
    {"unmatched parenthesis in an archive", "all: lib.a(x.o\nafter:\n", 0,
     "tool: Error: File \"Makefile\", line 1\nUnmatched '('\n"},
    {"unmatched back quote", "all: `date\nafter:\n", 0,
     "tool: Error: File \"Makefile\", line 1\nUnmatched '`'\n"},
    {"unrecognised character", "\nall: a | b\nafter:\n", 0,
     "tool: Error: File \"Makefile\", line 2\nUnrecognized character \"|\"\n"},
    {"rule without targets", "x: y\n: z\nafter:\n", 0,
     "tool: Error: File \"Makefile\", Before line 2\nEmpty target list for dependency rule.\n"},
    {"script line after a definition", "A = 1\n\techo x\nafter:\n", 1,
     "tool: Error: Syntax error in file \"Makefile\", line 2, column 1\nsyntax error\n"},
    {"names after .SIBLINGS_AFFECT_REUSE", ".SIBLINGS_AFFECT_REUSE: x\n", 1,
     "tool: Error: Syntax error in file \"Makefile\", line 1, column 25\nsyntax error\n"},
    {"static pattern rule outside gnu", "a.o: %.o: %.c\nafter:\n", 0,
     "tool: Error: Syntax error in file \"Makefile\" near line 1\n"},
};

INSTANTIATE_TEST_SUITE_P(Corpus, StdErrors, testing::ValuesIn(kErrors));

// The gnu include reads each name as a wildcard pattern: every file it matches is included, in
// order; a pattern that matches nothing stays a name, which a required include cannot open.
TEST(GnuStatements, IncludeNamesAreWildcardPatterns) {
  struct Case {
    const char *input;
    const char *included;  // the targets of w1.mk, w2.mk and w3.mk that the table holds
    int failed;
  };
  const Case cases[] = {
      {"include w*.mk\n", "t1 t2 t3", 0},
      {"include w[13].mk\n", "t1 t3", 0},
      {"include w2.mk w?.mk\n", "t1 t2 t3", 0},
      {"-include none*.mk\n", "", 0},
      {"include none*.mk w1.mk\n", "", 1},
  };
  for (const Case &c : cases) {
    mftest::Captured cap;
    ScanInput s(c.input, MF_COMPAT_GNU);
    {
      std::ofstream("w1.mk") << "t1:\n";
      std::ofstream("w2.mk") << "t2:\n";
      std::ofstream("w3.mk") << "t3:\n";
    }
    s.parse();
    std::string included;
    for (const char *t : {"t1", "t2", "t3"}) {
      if (mf_tgt_lookup(s.table(), t) == nullptr) continue;
      if (!included.empty()) included += ' ';
      included += t;
    }
    EXPECT_EQ(included, c.included) << c.input << cap.err();
    EXPECT_EQ(mf_parser_failed, c.failed) << c.input << cap.err();
    if (c.failed) {
      EXPECT_THAT(cap.err(), HasSubstr("none*.mk")) << c.input;
    }
  }
}

// A simply expanded macro read in a target or dependency name is read again as makefile text,
// where its "$" would start a reference; ORVA_PRESERVE_DOUBLE_DOLLAR_SIMPLY_EXPANDED doubles
// each, so that it stands for itself. Recursive macros keep their single "$" either way.
TEST(GnuStatements, SimplyExpandedDollarsPreservedWhenAsked) {
  struct Case {
    const char *input;
    const char *preserve;  // the variable's value, or null when unset
    const char *deps;      // of "all"
  };
  const Case cases[] = {
      {"X := a$$$$b\nall: $(X)\n", nullptr, "a$b"},
      {"X := a$$$$b\nall: $(X)\n", "1", "a$$b"},
      {"X := a$$$$b$$$$c\nall: x$(X)\n", "1", "xa$$b$$c"},
      {"X := ab\nall: $(X)\n", "1", "ab"},
      {"X = a$$$$b\nall: $(X)\n", "1", "a$b"},
  };
  for (const Case &c : cases) {
    mftest::ScopedEnv env("ORVA_PRESERVE_DOUBLE_DOLLAR_SIMPLY_EXPANDED", c.preserve);
    mftest::Captured cap;
    ScanInput s(c.input, MF_COMPAT_GNU);
    ASSERT_EQ(s.parse(), 0) << c.input << cap.err();
    mf_tgt_entry_t *all = mf_tgt_lookup(s.table(), "all");
    ASSERT_NE(all, nullptr) << c.input;
    EXPECT_EQ(joined(mf_tgt_get_dep_list(s.table(), all,
                                         mf_tgt_next_instance(s.table(), all, nullptr))),
              c.deps)
        << c.input << (c.preserve ? " (preserved)" : "");
  }
}

}  // namespace
