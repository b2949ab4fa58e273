#include "mf/mf_cond.h"

#include <gtest/gtest.h>

#include <string>

#include "capture_util.h"
#include "mf/bldr_macro.h"
#include "mf/mf_io.h"
#include "mf/mf_lex_utl.h"
#include "mf/mfc.h"
#include "mf_io_util.h"

namespace {

using mftest::Captured;
using mftest::NameList;
using mftest::ScratchDir;

struct Outcome {
  std::string delivered;
  std::string err;
  int failed;
};

// Reads text as a makefile of the conditional flavour and returns what the scanner would see.
Outcome read_makefile(const std::string &text, int flavor, int script_expected = 0) {
  ScratchDir dir;
  dir.write("mk", text);
  NameList files{"mk"};
  mf_parser_failed = 0;
  mf_script_line_expected = script_expected;
  Captured cap;
  Outcome o;
  if (mf_io_init(files.get(), nullptr, nullptr, flavor, 0, 0) != 0) {
    o.err = cap.err();
    o.failed = -1;
    return o;
  }
  o.delivered = mftest::drain_text();
  mf_io_term();
  o.err = cap.err();
  o.failed = mf_parser_failed;
  mf_parser_failed = 0;
  mf_script_line_expected = 0;
  return o;
}

struct CorpusCase {
  const char *label;
  const char *text;
  const char *delivered;  // without the newline that ends every file
  const char *error;      // expected in the messages, or empty for none
  int failed;
};

void check(const CorpusCase &c, int flavor, int script_expected = 0) {
  SCOPED_TRACE(c.label);
  Outcome o = read_makefile(c.text, flavor, script_expected);
  EXPECT_EQ(o.delivered, std::string(c.delivered) + "\n");
  mftest::expect_error(o.err, c.error);
  EXPECT_EQ(o.failed, c.failed);
}

std::string branch(const char *cond) {
  return std::string(cond) + "\nT\nelse\nF\nendif\n";
}

TEST(MfCondGnu, ArgumentFormsOfIfeqAndIfneq) {
  struct Row {
    const char *cond;
    const char *taken;
  } rows[] = {
      {"ifeq (a,b)", "F"},           {"ifeq (a, a)", "T"},         {"ifeq ( a,a)", "F"},
      {"ifeq (a ,a)", "F"},          {"ifeq (a,a )", "F"},         {"ifeq 'a' \"a\"", "T"},
      {"ifeq \"a\" 'b'", "F"},       {"ifeq (f(x),f(x))", "T"},    {"ifeq (,)", "T"},
      {"ifeq (a,b) trailing", "F"},  {"ifneq (a,b)", "T"},         {"ifneq (a,a)", "F"},
      {"  ifeq (a,a)", "T"},         {"ifeq(a,a)", "T"},           {"ifeq \"a b\"  \"a b\"", "T"},
  };
  for (const Row &r : rows) {
    std::string text = branch(r.cond);
    std::string taken = std::string(r.taken) + "\n";
    check({r.cond, text.c_str(), taken.c_str(), "", 0}, 3);
  }
}

TEST(MfCondGnu, MalformedConditionsFailTheParseAndDropTheFile) {
  const CorpusCase cases[] = {
      {"unclosed parenthesis", "ifeq (a,b\nX\nendif\nY\n", "",
       "line 1\nInvalid syntax in conditional line\n", 1},
      {"no comma", "ifeq (ab)\nX\nendif\n", "", "Invalid syntax in conditional line\n", 1},
      {"bare words", "ifeq a b\nX\nendif\n", "", "Invalid syntax in conditional line\n", 1},
      {"second argument unquoted", "ifeq 'a' b\nX\nendif\n", "",
       "Invalid syntax in conditional line\n", 1},
      {"missing closing quote", "ifeq 'a' 'b\nX\nendif\n", "",
       "Invalid syntax in conditional line\n", 1},
      {"ifdef without a name", "ifdef\nX\nendif\n", "", "Invalid syntax in conditional line\n", 1},
      {"ifdef with blanks only", "ifdef   \nX\nendif\n", "",
       "Invalid syntax in conditional line\n", 1},
  };
  for (const CorpusCase &c : cases) check(c, 3);
}

TEST(MfCondGnu, ElseIfChains) {
  const CorpusCase cases[] = {
      {"second branch", "ifeq (a,b)\nA\nelse ifeq (a,a)\nB\nelse\nC\nendif\n", "B\n", "", 0},
      {"first branch wins", "ifeq (a,a)\nA\nelse ifeq (a,a)\nB\nelse\nC\nendif\n", "A\n", "",
       0},
      {"final else", "ifeq (a,b)\nA\nelse ifneq (b,b)\nB\nelse\nC\nendif\n", "C\n", "", 0},
      {"later else after a taken else-if is skipped",
       "ifeq (a,b)\nA\nelse ifeq (a,a)\nB\nelse ifeq (c,c)\nC\nelse\nD\nendif\nE\n", "B\nE\n",
       "", 0},
      {"nested conditional in a skipped branch is not evaluated",
       "ifeq (a,b)\nifeq (a\nA\nendif\nB\nelse\nC\nendif\nD\n", "C\nD\n", "", 0},
      {"nested conditional in a taken branch",
       "ifeq (a,a)\nifeq (b,c)\nA\nelse\nB\nendif\nC\nendif\nD\n", "B\nC\nD\n", "", 0},
  };
  for (const CorpusCase &c : cases) check(c, 3);
}

TEST(MfCondGnu, StrayElseAndEndifWarnWithoutSkippingAnything) {
  const CorpusCase cases[] = {
      {"stray else", "A\nelse\nB\n", "A\nB\n",
       "line 2\n'else' directive without prior 'if'\nText of line was: else\n", 0},
      {"stray endif then a conditional", "endif\nifeq (a,a)\nA\nelse\nB\nendif\nC\n", "A\nC\n",
       "'endif' directive without prior 'if'\n", 0},
      {"stray else-if", "else ifeq (a,a)\nA\n", "A\n", "'else' directive without prior 'if'\n",
       0},
  };
  for (const CorpusCase &c : cases) check(c, 3);
  // One warning per stray line, and none for the sound conditional after it.
  Outcome o = read_makefile("endif\nifeq (a,a)\nA\nelse\nB\nendif\n", 3);
  EXPECT_EQ(o.err.find("without prior"), o.err.rfind("without prior")) << o.err;
}

TEST(MfCondGnu, NestingLimit) {
  auto nested = [](int levels) {
    std::string t;
    for (int i = 0; i < levels; i++) t += "ifeq (a,a)\n";
    t += "X\n";
    for (int i = 0; i < levels; i++) t += "endif\n";
    return t;
  };
  Outcome ok = read_makefile(nested(MF_IO_MAX_COND_NEST), 3);
  EXPECT_EQ(ok.delivered, "X\n\n");
  EXPECT_EQ(ok.err, "");
  EXPECT_EQ(ok.failed, 0);

  Outcome deep = read_makefile(nested(MF_IO_MAX_COND_NEST + 1), 3);
  EXPECT_EQ(deep.delivered, "\n");
  EXPECT_NE(deep.err.find("line 65\nConditionals nested too deeply. Maximum is 64\n"),
            std::string::npos)
      << deep.err;
  EXPECT_EQ(deep.failed, 1);
}

TEST(MfCondGnu, UnterminatedConditionalAtTheEndOfTheFile) {
  const CorpusCase cases[] = {
      {"open true branch", "ifeq (a,a)\nA\n", "A\n",
       "line 3\nConditional not terminated before the end of the file\n", 1},
      {"open false branch", "X\nifeq (a,b)\nA\n", "X\n",
       "line 4\nConditional not terminated before the end of the file\n", 1},
  };
  for (const CorpusCase &c : cases) {
    SCOPED_TRACE(c.label);
    Outcome o = read_makefile(c.text, 3);
    EXPECT_EQ(o.delivered, c.delivered);
    EXPECT_NE(o.err.find(c.error), std::string::npos) << o.err;
    EXPECT_EQ(o.failed, 1);
  }
}

TEST(MfCondGnu, LinesThatAreNoDirectives) {
  const CorpusCase cases[] = {
      {"macro named like a keyword", "elsewhere = 1\nendifs := 2\nifdefined = 3\n",
       "elsewhere = 1\nendifs := 2\nifdefined = 3\n", "", 0},
      {"script line", "\tifeq (a,b)\n", "\tifeq (a,b)\n", "", 0},
  };
  check(cases[0], 3);
  check(cases[1], 3, 1);
  // Without a script line expected, the TAB-led line is a directive.
  check({"TAB-led directive", "\tifeq (a,b)\nA\nendif\nB\n", "B\n", "", 0}, 3, 0);
}

TEST(MfCondGnu, ContinuedConditionalLines) {
  const CorpusCase cases[] = {
      {"continued arguments", "ifeq (a,\\\n   a)\nA\nendif\n", "A\n", "", 0},
      {"continued keyword line", "ifeq \\\n (a,b)\nA\nelse\nB\nendif\n", "B\n", "", 0},
      {"continued text line is delivered whole", "X = a \\\n  b\nY\n", "X = a \\\n  b\nY\n", "",
       0},
      {"blank line ends the continuation", "X = a \\\n\nifeq (a,a)\nA\nendif\n",
       "X = a \\\n\nA\n", "", 0},
  };
  for (const CorpusCase &c : cases) check(c, 3);
}

TEST(MfCondGnu, DefineBodiesAreText) {
  const CorpusCase cases[] = {
      {"conditional lines in a body", "define X\nifeq (a,b)\nelse\nendif\nendef\nY\n",
       "define X\nifeq (a,b)\nelse\nendif\nendef\nY\n", "", 0},
      {"body in a skipped branch", "ifeq (a,b)\ndefine X\nendif\nendef\nendif\nZ\n", "Z\n",
       "", 0},
      {"nested define and prefixes", "override define X\n define Y\n endef\nendif\nendef\nW\n",
       "override define X\n define Y\n endef\nendif\nendef\nW\n", "", 0},
      {"defined is no define", "defined = 1\nifeq (a,b)\nA\nendif\n", "defined = 1\n", "", 0},
  };
  for (const CorpusCase &c : cases) check(c, 3);
}

TEST(MfCondGnu, IfdefLooksMacrosUpUnexpanded) {
  stg_area_t area = stg_create_area(4096);
  bldr_macro_table_t *t = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_FILE, area);
  bldr_macro_define(t, "V", "1", 0);
  bldr_macro_define(t, "E", "", 0);
  bldr_macro_define(t, "R", "$(E)", 0);
  list_handle_t tables = list_create(STG_AREA_HEAP, 0);
  list_append(tables, t);
  mfc_mf_macro_table_list = tables;
  struct Row {
    const char *cond;
    const char *taken;
  } rows[] = {
      {"ifdef V", "T"}, {"ifdef E", "F"}, {"ifndef E", "T"}, {"ifdef U", "F"},
      {"ifndef U", "T"}, {"ifdef R", "T"}, {"ifdef V trailing words", "T"},
  };
  for (const Row &r : rows) {
    std::string text = branch(r.cond);
    std::string taken = std::string(r.taken) + "\n";
    check({r.cond, text.c_str(), taken.c_str(), "", 0}, 3);
  }
  mfc_mf_macro_table_list = LIST_HANDLE_NULL;
  list_destroy(tables);
  bldr_macro_term_table(t);
  stg_delete_area(&area);
}

TEST(MfCondGnu, IfeqExpandsBothArguments) {
  stg_area_t area = stg_create_area(4096);
  bldr_macro_table_t *t = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_FILE, area);
  bldr_macro_define(t, "V", "2", 0);
  bldr_macro_define(t, "W", "$(V)", 0);
  bldr_macro_define(t, "E", "", 0);
  list_handle_t tables = list_create(STG_AREA_HEAP, 0);
  list_append(tables, t);
  mfc_mf_macro_table_list = tables;
  const CorpusCase cases[] = {
      {"recursive value", "ifeq ($(W),2)\nT\nendif\n", "T\n", "", 0},
      {"chain on a macro", "ifeq ($(V),1)\nA\nelse ifeq ($(V),2)\nB\nelse\nC\nendif\n",
       "B\n", "", 0},
      {"empty against nothing", "ifeq ($(E),)\nT\nendif\n", "T\n", "", 0},
      {"undefined is empty", "ifneq ($(U),)\nT\nelse\nF\nendif\n", "F\n", "", 0},
      {"quoted form", "ifeq \"$(V)\" '2'\nT\nendif\n", "T\n", "", 0},
      {"comma inside a reference", "ifeq ($(V:2=x,y),x,y)\nT\nendif\n", "T\n", "", 0},
      {"unclosed reference", "ifeq ($(V,2)\nT\nendif\nZ\n", "", "Invalid syntax", 1},
  };
  for (const CorpusCase &c : cases) check(c, 3);
  mfc_mf_macro_table_list = LIST_HANDLE_NULL;
  list_destroy(tables);
  bldr_macro_term_table(t);
  stg_delete_area(&area);
}

TEST(MfCondBsd, DirectivesAreRecognisedAfterTheirPrefixOnly) {
  EXPECT_EQ(mf_cond_line_is_cond("#ifdef X\n", 1, nullptr), MF_COND_KW_IFDEF);
  EXPECT_EQ(mf_cond_line_is_cond("#  ifdef X\n", 1, nullptr), MF_COND_KW_IFDEF);
  EXPECT_EQ(mf_cond_line_is_cond("ifdef X\n", 1, nullptr), MF_COND_KW_NONE);
  EXPECT_EQ(mf_cond_line_is_cond("#\n", 1, nullptr), MF_COND_KW_NONE);
  EXPECT_EQ(mf_cond_line_is_cond(".elifnmake x\n", 2, nullptr), MF_COND_KW_ELIFNMAKE);
  EXPECT_EQ(mf_cond_line_is_cond(".if!defined(X)\n", 2, nullptr), MF_COND_KW_IF);
  // A condition may follow a keyword directly, but a longer word is no keyword.
  EXPECT_EQ(mf_cond_line_is_cond("#if(A)\n", 1, nullptr), MF_COND_KW_IF);
  EXPECT_EQ(mf_cond_line_is_cond("#ifeq (a,b)\n", 1, nullptr), MF_COND_KW_NONE);
  EXPECT_EQ(mf_cond_line_is_cond(".ifdefX\n", 2, nullptr), MF_COND_KW_NONE);
  EXPECT_EQ(mf_cond_line_is_cond("#elsewhere\n", 1, nullptr), MF_COND_KW_NONE);
  EXPECT_EQ(mf_cond_line_is_cond("#endif # done\n", 1, nullptr), MF_COND_KW_ENDIF);
  EXPECT_EQ(mf_cond_line_is_cond("ifdef X\n", 0, nullptr), MF_COND_KW_NONE);
  EXPECT_EQ(mf_cond_line_is_cond("ifmake x\n", 3, nullptr), MF_COND_KW_NONE);
}

// The conditions go to the BSD evaluator; a malformed one drops the rest of the file. A "#ifeq"
// line is a comment in the "#" flavour.
TEST(MfCondBsd, ConditionsAreEvaluated) {
  const CorpusCase cases[] = {
      {"#if", "A\n#if defined(X)\nB\n#else\nC\n#endif\n", "A\nC\n", "", 0},
      {"malformed", "A\n#if (\nB\n#endif\nC\n", "A\n", "line 2\n", 1},
      {"#ifeq is no directive", "#ifeq (a,b)\nA\n", "#ifeq (a,b)\nA\n", "", 0},
  };
  for (const CorpusCase &c : cases) check(c, 1);
  check({".ifndef", "X\n.ifndef Y\nB\n.endif\n", "X\nB\n", "", 0}, 2);
  // endif and else alone need no evaluation.
  check({"#else and #endif alone", "#else\n#endif\nZ\n", "Z\n",
         "'else' directive without prior 'if'", 0},
        1);
}

// A stand-in evaluator: kind 0 takes "yes" as true and "no" as false, kind 1 asks the goals.
int fake_bsd_eval(char *condition, int kind, int invert) {
  std::string c = condition;
  c.erase(0, c.find_first_not_of(" \t"));
  c.erase(c.find_last_not_of(" \t") + 1);
  int r;
  if (kind == 1)
    r = mf_cond_is_goal_tgt(c.c_str()) ? 0 : 1;
  else if (c == "yes" || c == "no")
    r = c == "yes" ? 0 : 1;
  else
    return 2;
  return invert ? 1 - r : r;
}

class MfCondBsdEvaluated : public ::testing::Test {
 protected:
  void SetUp() override { mf_cond_bsd_eval_hook = fake_bsd_eval; }
  void TearDown() override { mf_cond_bsd_eval_hook = saved_; }

 private:
  int (*saved_)(char *, int, int) = mf_cond_bsd_eval_hook;
};

TEST_F(MfCondBsdEvaluated, BranchesOfBothFlavours) {
  const CorpusCase hash[] = {
      {"if true", "#if yes\nA\n#else\nB\n#endif\n", "A\n", "", 0},
      {"elif chain", "#if no\nA\n#elif yes\nB\n#else\nC\n#endif\n", "B\n", "", 0},
      {"elifdef after a taken branch", "#if yes\nA\n#elifdef yes\nB\n#endif\n", "A\n", "", 0},
      {"ifndef", "#ifndef yes\nA\n#endif\nZ\n", "Z\n", "", 0},
      {"nested", "#if yes\n# if no\nA\n# else\nB\n# endif\n#endif\n", "B\n", "", 0},
      {"malformed condition drops the file", "X\n#if what\nA\n#endif\nZ\n", "X\n", "", 1},
  };
  for (const CorpusCase &c : hash) check(c, 1);
  check({".elif chain", ".if no\nA\n.elif yes\nB\n.endif\n", "B\n", "", 0}, 2);
}

TEST_F(MfCondBsdEvaluated, MakeGoalConditions) {
  ScratchDir dir;
  dir.write("mk", "#ifmake all\nA\n#endif\n#ifnmake all\nB\n#endif\n");
  for (const char *goal : {"all", "other"}) {
    SCOPED_TRACE(goal);
    NameList files{"mk"};
    NameList goals{goal};
    ASSERT_EQ(mf_io_init(files.get(), nullptr, goals.get(), 1, 0, 0), 0);
    EXPECT_EQ(mftest::drain_text(), std::string(goal) == "all" ? "A\n\n" : "B\n\n");
    mf_io_term();
  }
}

// An unterminated conditional fails the parse at the end of its file instead of running on into
// the next makefile.
TEST_F(MfCondBsdEvaluated, UnterminatedConditionalDoesNotSwallowTheNextFile) {
  ScratchDir dir;
  dir.write("one.mk", "#if no\nA\n");
  dir.write("two.mk", "B\n");
  NameList files{"one.mk", "two.mk"};
  Captured cap;
  mf_parser_failed = 0;
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 1, 0, 0), 0);
  mftest::drain_text();
  mf_io_term();
  EXPECT_EQ(mf_parser_failed, 1);
  EXPECT_NE(cap.err().find("File \"one.mk\", line 3\nConditional not terminated"),
            std::string::npos)
      << cap.err();
  mf_parser_failed = 0;
}

TEST(MfCondBsd, OverlongConditionIsRefused) {
  std::string text = "#if " + std::string(MF_COND_EVAL_BUF_SIZE, 'x') + "\nA\n#endif\n";
  Outcome o = read_makefile(text, 1);
  EXPECT_NE(o.err.find("Length of line exceeds internal limit\n"), std::string::npos);
  EXPECT_EQ(o.failed, 1);
}

TEST(MfCondBsd, JoinedTextAtTheEndOfTheFileIsDelivered) {
  Outcome o = read_makefile("A\nX = a \\\n", 1);
  EXPECT_EQ(o.delivered, "A\nX = a \\\n\n");
  EXPECT_EQ(o.failed, 0);
}

TEST(MfCond, GoalsAreKnownOnlyDuringAnEvaluation) {
  EXPECT_EQ(mf_cond_is_goal_tgt("all"), 0);
}

}  // namespace
