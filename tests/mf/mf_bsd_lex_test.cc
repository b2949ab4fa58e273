// The sgismake/sgipmake and bsdnetr2 scanners: tokens of the cases that their rules and the
// dialects' directive prefixes tell apart, include directives, and the macros a parse defines
// through conditionals and the BSD modifiers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "capture_util.h"
#include "mf/bldr_macro.h"
#include "mf/mf_parse_utl.h"
#include "mf/mf_parser.h"
#include "mf/mfc.h"
#include "scan_util.h"

using mftest::read_fixture;
using mftest::ScanInput;
using testing::ElementsAreArray;
using testing::HasSubstr;

namespace {

constexpr uint32_t kSgi = MF_COMPAT_SGISMAKE;
constexpr uint32_t kSgip = MF_COMPAT_SGIPMAKE;
constexpr uint32_t kNet = MF_COMPAT_BSDNETR2;

struct TokenCase {
  const char *what;
  uint32_t variant;
  const char *input;
  std::vector<const char *> tokens;
  const char *err;  // expected in standard error ("" for nothing)
};

void PrintTo(const TokenCase &c, std::ostream *os) { *os << c.what; }

class BsdTokens : public testing::TestWithParam<TokenCase> {};

TEST_P(BsdTokens, Tokens) {
  const TokenCase &c = GetParam();
  mftest::Captured cap;
  ScanInput s(c.input, c.variant);
  bldr_macro_define(s.macros(), "OBJS", "a.o b.o", 0);
  // Files next to the makefile for the include directives.
  std::ofstream("inc.mk") << "INC = 1\n";
  std::ofstream("two words.mk") << "TWO = 2\n";
  EXPECT_THAT(s.tokens(), ElementsAreArray(c.tokens));
  if (*c.err == '\0')
    EXPECT_EQ(cap.err(), "");
  else
    EXPECT_THAT(cap.err(), HasSubstr(c.err));
  mf_parser_failed = 0;
}

const TokenCase kTokenCases[] = {
    {"assignment operators", kSgi, "FOO += bar\nFOO = bar\nFOO ?= bar\nX := $(OBJS:.o=.c)\n",
     {"MACRO_DEF [FOO=bar] op 4", "MACRO_DEF [FOO=bar]", "MACRO_DEF [FOO=bar] op 5",
      "MACRO_DEF [X=$(OBJS:.o=.c)] op 1"},
     ""},
    {"a continuation may stand before = but not before :=", kNet,
     "FOO \\\n= bar\nBAR \\\n:= x\n",
     {"MACRO_DEF [FOO=bar]", "FILE_NAME [BAR]", "SINGLE_COLON", "FILE_NAME [x]", "END_OF_LINE"},
     "Unrecognized character \"=\""},
    {"no operator after a vertical tab before !=", kSgi, "A \v!= x\n",
     {"FILE_NAME [A]", "FILE_NAME [x]"}, "Unrecognized character \"!\""},
    {"two words before = give a file name first", kSgi, "a b=c\n",
     {"FILE_NAME [a]", "MACRO_DEF [b=c]"}, ""},
    {"multi-line definitions at a line start only", kNet,
     "define X\nv $(OBJS)\nendef\nall: define\n",
     {"MACRO_DEF [X=v $(OBJS)] op 6", "FILE_NAME [all]", "SINGLE_COLON", "FILE_NAME [define]",
      "END_OF_LINE"},
     ""},
    {"search paths and special targets are exact words", kSgi,
     ".PATH.c: /src\n.PATH: /src\n.MAKEX .PATHX .NULLX\n",
     {"SUFF_PATH_TGT [.PATH]", "SINGLE_COLON", "FILE_NAME [/src]", "END_OF_LINE",
      "ALL_PATH_TGT [.PATH]", "SINGLE_COLON", "FILE_NAME [/src]", "END_OF_LINE",
      "FILE_NAME [.MAKEX]", "FILE_NAME [.PATHX]", "FILE_NAME [.NULLX]"},
     ""},
    {".MAKE and .PRECIOUS after the colon are names", kNet, ".MAKE .JAVAC: .PRECIOUS\n",
     {"RECURS_TGT [.MAKE]", "JAVAC [.JAVAC]", "SINGLE_COLON", "FILE_NAME [.PRECIOUS]",
      "END_OF_LINE"},
     ""},
    {"archive members", kSgi, "x: lib.a(foo.o)\n",
     {"FILE_NAME [x]", "SINGLE_COLON", "ARCHIVE [lib.a(foo.o)]", "END_OF_LINE"}, ""},
    {"a reference is expanded and scanned again", kNet, "x: $(OBJS) -c foo.c\n",
     {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [a.o]", "FILE_NAME [b.o]", "FILE_NAME [-c]",
      "FILE_NAME [foo.c]", "END_OF_LINE"},
     ""},
    {"double dollars in names", kSgi, "x: a$$b $$@ y\n",
     {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [a$b]", "FILE_NAME [$@]", "FILE_NAME [y]",
      "END_OF_LINE"},
     ""},
    // "$$*" keeps its "$$": it is a name, not text to scan again for ever.
    {"a $$ that does not collapse", kSgi, "x: $$* a$$*b\n",
     {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [$$*]", "FILE_NAME [a$$*b]", "END_OF_LINE"},
     ""},
    {"a $$ that does not collapse, std", MF_COMPAT_STD, "x: $$*\n",
     {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [$$*]", "END_OF_LINE"}, ""},
    {"include after blanks and export words are names", kSgi,
     "  include x\nexport unexport\n",
     {"FILE_NAME [include]", "FILE_NAME [x]", "FILE_NAME [export]", "FILE_NAME [unexport]"},
     ""},
    {"unrecognized characters", kNet, "!\n@\nx::= y\n",
     {"FILE_NAME [@]", "FILE_NAME [x]", "DOUBLE_COLON", "FILE_NAME [y]", "END_OF_LINE"},
     "Unrecognized character \"!\""},
    {"a byte-order mark is taken alone", kSgi, "\xEF\xBB\xBFx: y\nBAR = 1\n",
     {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [y]", "END_OF_LINE", "MACRO_DEF [BAR=1]"},
     ""},
    // Directive prefixes: sgismake and sgipmake write "#if" and "#include", bsdnetr2 ".if" and
    // ".include"; in the other family the line is a comment or a name.
    {"#if is a directive in sgismake", kSgi, "#if defined(OBJS)\nA = 1\n#else\nA = 2\n#endif\n",
     {"MACRO_DEF [A=1]"}, ""},
    {"#if is a comment in bsdnetr2", kNet, "#if defined(OBJS)\nA = 1\n#else\nA = 2\n#endif\n",
     {"MACRO_DEF [A=1]", "MACRO_DEF [A=2]"}, ""},
    {".if is a directive in bsdnetr2", kNet, ".if !defined(OBJS)\nA = 1\n.endif\n", {}, ""},
    {".if is a name in sgipmake", kSgip, ".if\n", {"FILE_NAME [.if]"}, ""},
    {"#ifeq is a comment", kSgi, "#ifeq (a,b)\nA = 1\n#endif\n", {"MACRO_DEF [A=1]"},
     "'endif' directive without prior 'if'"},
    // Include directives.
    {"sgismake include forms", kSgi,
     "include inc.mk\n#include \"inc.mk\"\n#include a comment\nsinclude none.mk\n.include x\n",
     {"MACRO_DEF [INC=1]", "MACRO_DEF [INC=1]", "FILE_NAME [.include]", "FILE_NAME [x]"}, ""},
    {"bsdnetr2 include forms", kNet, "include inc.mk\n.include \"inc.mk\"\n#include x\n",
     {"MACRO_DEF [INC=1]", "MACRO_DEF [INC=1]"}, ""},
    {"bsdnetr2 .include of a bare name is an error", kNet, ".include inc.mk\nA = 1\n",
     {"MACRO_DEF [A=1]"}, "Illegal include file syntax \"inc.mk\""},
    {"a missing required include", kSgip, "include none.mk\n", {},
     "Unable to open include file"},
    // Undefined variables in a line vanish, except in sgipmake.
    {"sgismake drops undefined references", kSgi, "x: $(U) y\n",
     {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [y]", "END_OF_LINE"}, ""},
    {"sgipmake reports them", kSgip, "x: $(U) y\n",
     {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [y]", "END_OF_LINE"},
     "Undefined variable \"$(U)\""},
    // A BSD reference's name runs to the first closing bracket of its kind: a reference nested
    // in a name is not expanded, and the bracket left over fails the parse at its line.
    {"a nested reference in a name is not read whole", kNet, "x: ${${OBJS}} y\n",
     {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [y]", "END_OF_LINE"},
     "Unrecognized character \"}\""},
    {"a nested reference after text in a name", kSgi, "x: a${${OBJS}}\n",
     {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [a]", "END_OF_LINE"},
     "Unrecognized character \"}\""},
    {"a name in the other brackets is taken as written", kSgip, "x: $(${OBJS}) y\n",
     {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [y]", "END_OF_LINE"},
     "Undefined variable \"$(${OBJS})\""},
};

INSTANTIATE_TEST_SUITE_P(Cases, BsdTokens, testing::ValuesIn(kTokenCases));

// The parse of the fixtures: definitions, conditionals and modifiers act on each other.
TEST(BsdParse, MacrosOfTheFixtures) {
  for (uint32_t variant : {kSgi, kSgip, kNet}) {
    SCOPED_TRACE(variant);
    mftest::Captured cap;
    const char *name = variant == kNet ? "scan/bsdnetr2.mk" : "scan/sgismake.mk";
    ScanInput s(read_fixture(name), variant);
    ASSERT_EQ(s.parse(), 0) << cap.err();
    EXPECT_EQ(mf_parser_failed, 0) << cap.err();
    auto value = [&](const char *n) {
      const char *v = bldr_macro_lookup_in_table(s.macros(), n, nullptr);
      return std::string(v != nullptr ? v : "<undefined>");
    };
    EXPECT_EQ(value("OBJS"), "main.o util.o");
    EXPECT_EQ(value("MODE"), "opt");
    EXPECT_EQ(value("CLEANING"), "<undefined>");
    EXPECT_EQ(value("DEBUG"), "<undefined>");
    EXPECT_EQ(value("BANNER"), "built by $(CC)");
    // sgipmake reads its makefiles with the sgismake scanner, into the same table.
    const std::string dump = variant == kNet ? "scan/bsdnetr2.dump" : "scan/sgismake.dump";
    EXPECT_EQ(mftest::describe(s.table(), {"prog", "main.o", "clean", "sub", ".c.o"}),
              read_fixture(dump));
  }
}

// "!=" takes the output of the command, ":=" the expansion at the time of the definition.
TEST(BsdParse, CommandOutputAndExpandedDefinitions) {
  mftest::Captured cap;
  ScanInput s("W = one\nD != echo hi $(W)\nE := $(W:S/one/two/)\nW = three\n", kNet);
  ASSERT_EQ(s.parse(), 0) << cap.err();
  EXPECT_STREQ(bldr_macro_lookup_in_table(s.macros(), "D", nullptr), "hi one");
  EXPECT_STREQ(bldr_macro_lookup_in_table(s.macros(), "E", nullptr), "two");
}

// In sgipmake an undefined variable in a definition that is expanded at once is an error.
TEST(BsdParse, UndefinedVariablesInExpandedDefinitions) {
  for (uint32_t variant : {kSgi, kSgip}) {
    mftest::Captured cap;
    ScanInput s("E := [$(U)]\n", variant);
    s.parse();
    if (variant == kSgi) {
      EXPECT_STREQ(bldr_macro_lookup_in_table(s.macros(), "E", nullptr), "[]");
      EXPECT_EQ(mf_parser_failed, 0) << cap.err();
    } else {
      EXPECT_EQ(bldr_macro_lookup_in_table(s.macros(), "E", nullptr), nullptr);
      EXPECT_EQ(mf_parser_failed, 1);
      EXPECT_THAT(cap.err(), HasSubstr("Undefined variable \"$(U)\""));
    }
    mf_parser_failed = 0;
  }
}

}  // namespace
