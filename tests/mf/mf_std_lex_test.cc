// Std scanner: rule traces and tokens of makefiles read through the input layer, and the
// runtime's handling of long tokens, non-ASCII text and byte-order marks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "capture_util.h"
#include "mf/bldr_macro.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_parser.h"
#include "mf/scan/mf_std_lex.h"
#include "scan_util.h"

using mftest::ScanInput;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

struct TraceCase {
  const char *what;
  const char *input;
  const char *trace;
};

void PrintTo(const TraceCase &c, std::ostream *os) { *os << c.what; }

class StdScanTrace : public testing::TestWithParam<TraceCase> {};

// Each match prints its rule, each token its name; a significant line end is read twice (the
// second time as a blank line), and the input ends with a newline of its own.
TEST_P(StdScanTrace, Golden) {
  const TraceCase &c = GetParam();
  mftest::Captured cap;
  ScanInput s(c.input);
  bldr_macro_define(s.macros(), "OBJS", "a.o b.o", 0);
  EXPECT_EQ(s.trace_all(), c.trace);
}

const TraceCase kTraceCases[] = {
    {"rule line",
     "all: foo.o bar.o\n",
     R"x(std rule: filename  ["all"]
  returning FILE_NAME
std rule: :  [": "]
  returning SINGLE_COLON
std rule: filename  ["foo.o"]
  returning FILE_NAME
std rule: whitespace  [" "]
std rule: filename  ["bar.o"]
  returning FILE_NAME
std rule: EOL  ["\n"]
  returning END_OF_LINE
std rule: blank line  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"appending definitions need a blank before +=",
     "FOO += x\nFOO+=x\n",
     R"x(std rule: macro +=  ["FOO += "]
  returning MACRO_DEF
std rule: EOL  ["\n"]
std rule: macro =  ["FOO+="]
  returning MACRO_DEF
std rule: EOL  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"command-output definition",
     "x :sh= date\n",
     R"x(std rule: :sh=  ["x :sh="]
  returning MACRO_DEF
std rule: EOL  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"export words",
     "export FOO\nexport\n export : x\nall: export\n",
     R"x(std rule: export()  ["export "]
  returning EXPORT_SPEC
std rule: filename  ["FOO"]
  returning FILE_NAME
std rule: EOL  ["\n"]
  returning END_OF_LINE
std rule: blank line  ["\n"]
std rule: export  ["export"]
  returning EXPORT_SPEC
std rule: EOL  ["\n"]
  returning END_OF_LINE
std rule: blank line  ["\n"]
std rule: whitespace  [" "]
std rule: filename  ["export"]
  returning FILE_NAME
std rule: :  [" : "]
  returning SINGLE_COLON
std rule: filename  ["x"]
  returning FILE_NAME
std rule: EOL  ["\n"]
  returning END_OF_LINE
std rule: blank line  ["\n"]
std rule: filename  ["all"]
  returning FILE_NAME
std rule: :  [": "]
  returning SINGLE_COLON
std rule: export  ["export"]
  returning FILE_NAME
std rule: EOL  ["\n"]
  returning END_OF_LINE
std rule: blank line  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"macro reference runs to the end of the line",
     "$(OBJS): x\n",
     R"x(std rule: macro ref  ["$(OBJS): x"]
std rule: filename  ["a.o"]
  returning FILE_NAME
std rule: whitespace  [" "]
std rule: filename  ["b.o"]
  returning FILE_NAME
std rule: :  [": "]
  returning SINGLE_COLON
std rule: filename  ["x"]
  returning FILE_NAME
std rule: EOL  ["\n"]
  returning END_OF_LINE
std rule: blank line  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"double-dollar names",
     "a$$b$(X)c\na$$@b\n",
     R"x(std rule: filename$$  ["a$$b$(X)"]
std rule: macro ref  ["a$bc"]
std rule: filename  ["ac"]
  returning FILE_NAME
std rule: EOL  ["\n"]
std rule: filename$$@  ["a$$@"]
  returning FILE_NAME
std rule: EOL  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"archive reference",
     "lib.a(x.o y.o)\n",
     R"x(std rule: archive(  ["lib.a("]
  returning ARCHIVE
std rule: EOL  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"escaped characters",
     "a\\:b\\;c\n",
     R"x(std rule: FILE_NAME with esc char  ["a\:b"]
  returning FILE_NAME
std rule: ;  [";"]
  returning SCRIPT_LINE
std rule: EOL  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"names that only look special",
     ".PHONY .PRECIOUSx\n",
     R"x(std rule: filename  [".PHONY"]
  returning FILE_NAME
std rule: whitespace  [" "]
std rule: filename  [".PRECIOUSx"]
  returning FILE_NAME
std rule: EOL  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"include as a name",
     "  include x\ninclude\n",
     R"x(std rule: include (as filename)  ["  include "]
  returning FILE_NAME
std rule: filename  ["x"]
  returning FILE_NAME
std rule: EOL  ["\n"]
std rule: filename  ["include"]
  returning FILE_NAME
std rule: EOL  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"script line",
     "all:\n\techo hi\n",
     R"x(std rule: filename  ["all"]
  returning FILE_NAME
std rule: :  [":"]
  returning SINGLE_COLON
std rule: EOL  ["\n"]
  returning END_OF_LINE
std rule: blank line  ["\n"]
std rule: TAB  ["\t"]
  returning SCRIPT_LINE
std rule: EOL  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"double colon and joined script line",
     "a:: b\n\t@x; \\\n\t  y\n",
     R"x(std rule: filename  ["a"]
  returning FILE_NAME
std rule: ::  [":: "]
  returning DOUBLE_COLON
std rule: filename  ["b"]
  returning FILE_NAME
std rule: EOL  ["\n"]
  returning END_OF_LINE
std rule: blank line  ["\n"]
std rule: TAB  ["\t"]
  returning SCRIPT_LINE
std rule: EOL  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"target-scoped definition",
     "t := X = 1\n",
     R"x(std rule: filename  ["t"]
  returning FILE_NAME
std rule: :=  [" := "]
  returning TGT_SCOPED
std rule: macro =  ["X ="]
  returning MACRO_DEF
std rule: EOL  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"special targets that stand as names after a colon",
     ".PRECIOUS: a\nb: .PRECIOUS .MAIN\n",
     R"x(std rule: .PRECIOUS  [".PRECIOUS"]
  returning PRECIOUS_TGT
std rule: :  [": "]
  returning SINGLE_COLON
std rule: filename  ["a"]
  returning FILE_NAME
std rule: EOL  ["\n"]
  returning END_OF_LINE
std rule: blank line  ["\n"]
std rule: filename  ["b"]
  returning FILE_NAME
std rule: :  [": "]
  returning SINGLE_COLON
std rule: .PRECIOUS  [".PRECIOUS"]
  returning FILE_NAME
std rule: whitespace  [" "]
std rule: .MAIN  [".MAIN"]
  returning FILE_NAME
std rule: EOL  ["\n"]
  returning END_OF_LINE
std rule: blank line  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"comment and blank lines",
     "x: y # c\n  \t \n\n",
     R"x(std rule: filename  ["x"]
  returning FILE_NAME
std rule: :  [": "]
  returning SINGLE_COLON
std rule: filename  ["y"]
  returning FILE_NAME
std rule: comment  [" #"]
std rule: EOL  ["\n"]
  returning END_OF_LINE
std rule: blank line  ["\n"]
std rule: blank line  ["  \t \n"]
std rule: blank line  ["\n"]
std rule: blank line  ["\n"]
)x"},
    {"semicolon after a rule line",
     "a: b;c\n",
     R"x(std rule: filename  ["a"]
  returning FILE_NAME
std rule: :  [": "]
  returning SINGLE_COLON
std rule: filename  ["b"]
  returning FILE_NAME
std rule: ;  [";"]
  returning END_OF_LINE
std rule: ;  [";"]
  returning SCRIPT_LINE
std rule: EOL  ["\n"]
std rule: blank line  ["\n"]
)x"}};

INSTANTIATE_TEST_SUITE_P(EdgeCases, StdScanTrace, testing::ValuesIn(kTraceCases));

TEST(StdScanTokens, TokenTexts) {
  struct {
    const char *input;
    std::vector<std::string> tokens;
  } cases[] = {
      {"lib.a(x.o y.o): m\n",
       {"ARCHIVE [lib.a(x.o) lib.a(y.o)]", "SINGLE_COLON", "FILE_NAME [m]", "END_OF_LINE"}},
      {"a\\:b x\\#y\n", {"FILE_NAME [a:b]", "FILE_NAME [x#y]"}},
      {"FOO += x y # note\n", {"MACRO_DEF [FOO=x y ] op 4"}},
      {"all:\n\techo hi \n", {"FILE_NAME [all]", "SINGLE_COLON", "END_OF_LINE",
                              "SCRIPT_LINE [echo hi]"}},
      {".SUFFIXES: .c\n.MAIN: a\n", {"SUFFIXES_TGT [.SUFFIXES]", "SINGLE_COLON", "FILE_NAME [.c]",
                                     "END_OF_LINE", "MAIN_TGT [.MAIN]", "SINGLE_COLON",
                                     "FILE_NAME [a]", "END_OF_LINE"}},
      {"x: $(OBJS)\n", {"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [a.o]", "FILE_NAME [b.o]",
                        "END_OF_LINE"}},
  };
  for (const auto &c : cases) {
    ScanInput s(c.input);
    bldr_macro_define(s.macros(), "OBJS", "a.o b.o", 0);
    EXPECT_EQ(s.tokens(), c.tokens) << c.input;
  }
}

TEST(StdScanTokens, EmptyInputEndsAtOnceAndTheNextInputStartsAtALineStart) {
  {
    ScanInput s("");
    EXPECT_EQ(mf_std_yylex(), 0);
    EXPECT_EQ(mf_std_yylex(), 0);
  }
  // A first-column include is only recognised at a line start.
  mftest::Captured cap;
  ScanInput s("include\tmissing.mk\n");
  EXPECT_THAT(s.tokens(), ElementsAre());
  EXPECT_THAT(cap.err(), HasSubstr("missing.mk"));
}

TEST(StdScanTokens, UnmatchedBackQuoteIsReportedAndTheLineDropped) {
  mftest::Captured cap;
  ScanInput s("a: `echo x\nb: c\n");
  EXPECT_THAT(s.tokens(), ElementsAre("FILE_NAME [a]", "SINGLE_COLON", "END_OF_LINE",
                                      "FILE_NAME [b]", "SINGLE_COLON", "FILE_NAME [c]",
                                      "END_OF_LINE"));
  EXPECT_EQ(mf_parser_failed, 1);
  EXPECT_EQ(cap.err(), "tool: Error: File \"Makefile\", line 1\nUnmatched '`'\n");
}

TEST(StdScanRobustness, TokenAndLookaheadLongerThanTheBuffer) {
  const std::string target(70000, 't');
  const std::string dep(66000, 'd');
  ScanInput s(target + ": " + dep + "\n");
  std::vector<std::string> toks = s.tokens();
  ASSERT_EQ(toks.size(), 4u);
  EXPECT_EQ(toks[0], "FILE_NAME [" + target + "]");
  EXPECT_EQ(toks[2], "FILE_NAME [" + dep + "]");
}

TEST(StdScanRobustness, LookaheadOfAnUnclosedReferenceIsGivenBackWhole) {
  // The automaton reads the whole long line before it falls back to "x$$y": everything behind
  // the match goes back to the input, however long.
  mftest::Captured cap;
  const std::string tail(70000, 'n');
  ScanInput s("x$$y$(" + tail + "\nnext: x\n");
  std::vector<std::string> toks = s.tokens();
  EXPECT_THAT(toks, ElementsAre("FILE_NAME [next]", "SINGLE_COLON", "FILE_NAME [x]", "END_OF_LINE"));
  EXPECT_THAT(cap.err(), HasSubstr("Macro expansion with no ending delimiter: \"$(nnnn"));
  EXPECT_EQ(mf_parser_failed, 1);
}

class Locale {
 public:
  explicit Locale(const char *name) : old_(std::setlocale(LC_ALL, nullptr)) {
    ok_ = std::setlocale(LC_ALL, name) != nullptr;
  }
  ~Locale() { std::setlocale(LC_ALL, old_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string old_;
  bool ok_;
};

TEST(StdScanRobustness, NonAsciiNames) {
  for (const char *locale : {"C", "C.UTF-8"}) {
    Locale l(locale);
    if (!l.ok()) GTEST_SKIP() << "locale " << locale << " is not installed";
    ScanInput s("caf\xC3\xA9: \xC5\xBE" "a\xE2\x82\xAC" "b\n");
    EXPECT_THAT(s.tokens(), ElementsAre("FILE_NAME [caf\xC3\xA9]", "SINGLE_COLON",
                                        "FILE_NAME [\xC5\xBE" "a\xE2\x82\xAC" "b]", "END_OF_LINE"))
        << locale;
  }
}

TEST(StdScanRobustness, NonAsciiScriptLinesAndDefinitions) {
  // Lines read whole by the actions mix characters that are converted and ones that are not.
  for (const char *locale : {"C", "C.UTF-8"}) {
    Locale l(locale);
    if (!l.ok()) GTEST_SKIP() << "locale " << locale << " is not installed";
    ScanInput s("V = \xC3\xA9t\xC3\xA9 x\n\xC3\xA9.o:\n\techo \xE2\x82\xAC-\xC3\xA9 done\n");
    EXPECT_THAT(s.tokens(),
                ElementsAre("MACRO_DEF [V=\xC3\xA9t\xC3\xA9 x]", "FILE_NAME [\xC3\xA9.o]",
                            "SINGLE_COLON", "END_OF_LINE",
                            "SCRIPT_LINE [echo \xE2\x82\xAC-\xC3\xA9 done]"))
        << locale;
  }
}

TEST(StdScanRobustness, MultibyteNamesBeforeAParenthesisOrAReference) {
  // The actions get the match length in characters and must find their place in bytes.
  Locale l("C.UTF-8");
  if (!l.ok()) GTEST_SKIP() << "locale C.UTF-8 is not installed";
  ScanInput s("lib\xC3\xA9\xC3\xA9.a(x.o y.o): \xC3\xA9$$@x q\n");
  EXPECT_THAT(s.tokens(),
              ElementsAre("ARCHIVE [lib\xC3\xA9\xC3\xA9.a(x.o) lib\xC3\xA9\xC3\xA9.a(y.o)]",
                          "SINGLE_COLON", "FILE_NAME [\xC3\xA9$@x]", "FILE_NAME [q]",
                          "END_OF_LINE"));
}

TEST(StdScanRobustness, ByteOrderMarkAloneIsConsumed) {
  for (const char *locale : {"C", "C.UTF-8"}) {
    Locale l(locale);
    if (!l.ok()) GTEST_SKIP() << "locale " << locale << " is not installed";
    // Without the mark's rule taking only the mark, the text up to the first B, O or M would
    // vanish with it.
    ScanInput s("\xEF\xBB\xBF" "all: x\nTWO: y\n");
    EXPECT_THAT(s.tokens(), ElementsAre("FILE_NAME [all]", "SINGLE_COLON", "FILE_NAME [x]",
                                        "END_OF_LINE", "FILE_NAME [TWO]", "SINGLE_COLON",
                                        "FILE_NAME [y]", "END_OF_LINE"))
        << locale;
  }
}

TEST(StdScanRobustness, ByteOrderMarkWithOtherEncodingDefinesNothingExtra) {
  mftest::ScopedEnv env("ORVA_TVICK_OTHER_ENCODING", "1");
  ScanInput s("\xEF\xBB\xBF" "A = 1\n");
  EXPECT_THAT(s.tokens(), ElementsAre("MACRO_DEF [A=1]"));
}

TEST(StdScanRobustness, ByteOrderMarkOnlyAtALineStart) {
  ScanInput s("a\xEF\xBB\xBF: b\n");
  EXPECT_THAT(s.tokens(), ElementsAre("FILE_NAME [a\xEF\xBB\xBF]", "SINGLE_COLON",
                                      "FILE_NAME [b]", "END_OF_LINE"));
}

TEST(StdScanRobustness, UnrecognisedCharacterIsReportedAndSkipped) {
  mftest::Captured cap;
  ScanInput s("all: a | b\n");
  EXPECT_THAT(s.tokens(), ElementsAre("FILE_NAME [all]", "SINGLE_COLON", "FILE_NAME [a]",
                                      "FILE_NAME [b]", "END_OF_LINE"));
  EXPECT_EQ(mf_parser_failed, 1);
  EXPECT_EQ(cap.err(), "tool: Error: File \"Makefile\", line 1\nUnrecognized character \"|\"\n");
}

}  // namespace
