// The gnu, sun, kelto, sgismake and bsdnetr2 scanners: golden rule traces of a
// fixture makefile per dialect, the target table the grammar builds from each, and the tokens of
// the cases that tell the dialects' rules apart.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "capture_util.h"
#include "mf/bldr_macro.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_parse_utl.h"
#include "mf/mf_parser.h"
#include "mf/mf_tgt.h"
#include "scan_util.h"

using mftest::describe;
using mftest::read_fixture;
using mftest::ScanInput;
using testing::ElementsAreArray;
using testing::HasSubstr;

namespace {

struct DialectFixture {
  const char *name;  // fixtures scan/<name>.mk, .trace and .dump
  uint32_t variant;
  std::vector<const char *> entries;  // the entries the dump shows
};

void PrintTo(const DialectFixture &c, std::ostream *os) { *os << c.name; }

const DialectFixture kFixtures[] = {
    {"gnu", MF_COMPAT_GNU, {"all", "prog", "main.o", "out", "clean"}},
    {"sun", MF_COMPAT_SUN, {"prog", "main.o", "clean", ".c.o"}},
    {"kelto", MF_COMPAT_KELTO, {"prog", "main.o", "clean", ".c.o"}},
    {"sgismake", MF_COMPAT_SGISMAKE, {"prog", "main.o", "clean", "sub", ".c.o"}},
    {"bsdnetr2", MF_COMPAT_BSDNETR2, {"prog", "main.o", "clean", "sub", ".c.o"}},
};

class DialectScan : public testing::TestWithParam<DialectFixture> {};

// Every match prints its rule with the dialect's label, every token its name.
TEST_P(DialectScan, GoldenTrace) {
  const DialectFixture &c = GetParam();
  mftest::Captured cap;
  ScanInput s(read_fixture(std::string("scan/") + c.name + ".mk"), c.variant);
  EXPECT_EQ(s.trace_all(), read_fixture(std::string("scan/") + c.name + ".trace"));
  EXPECT_EQ(mf_parser_failed, 0) << cap.err();
}

// The grammar fed from the scanner builds the target table of the fixture.
TEST_P(DialectScan, TargetTable) {
  const DialectFixture &c = GetParam();
  mftest::Captured cap;
  ScanInput s(read_fixture(std::string("scan/") + c.name + ".mk"), c.variant);
  ASSERT_EQ(s.parse(), 0) << cap.err();
  EXPECT_EQ(mf_parser_failed, 0) << cap.err();
  EXPECT_EQ(describe(s.table(), c.entries), read_fixture(std::string("scan/") + c.name + ".dump"));
}

INSTANTIATE_TEST_SUITE_P(Dialects, DialectScan, testing::ValuesIn(kFixtures));

struct TokenCase {
  const char *what;
  uint32_t variant;
  const char *input;
  std::vector<const char *> tokens;
  const char *err;  // expected in standard error ("" for nothing)
};

void PrintTo(const TokenCase &c, std::ostream *os) { *os << c.what; }

class DialectTokens : public testing::TestWithParam<TokenCase> {};

TEST_P(DialectTokens, Tokens) {
  const TokenCase &c = GetParam();
  mftest::Captured cap;
  ScanInput s(c.input, c.variant);
  bldr_macro_define(s.macros(), "OBJS", "a.o b.o", 0);
  EXPECT_THAT(s.tokens(), ElementsAreArray(c.tokens));
  if (*c.err == '\0')
    EXPECT_EQ(cap.err(), "");
  else
    EXPECT_THAT(cap.err(), HasSubstr(c.err));
}

constexpr uint32_t kGnu = MF_COMPAT_GNU;
constexpr uint32_t kSun = MF_COMPAT_SUN;
constexpr uint32_t kKelto = MF_COMPAT_KELTO;

const TokenCase kTokenCases[] = {
    // gnu
    {"gnu export alone, with operands, as a macro name and as a target", kGnu,
     "export\nexport A B\nexport = x\nexport: all\n",
     {"EXPORT_SPEC", "END_OF_LINE", "EXPORT_SPEC", "FILE_NAME [A]", "FILE_NAME [B]",
      "END_OF_LINE", "MACRO_DEF [export=x]", "FILE_NAME [export]", "SINGLE_COLON",
      "FILE_NAME [all]", "END_OF_LINE"},
     ""},
    {"gnu vpath forms", kGnu, "vpath\nvpath \nvpath %.c src:lib\n",
     {"VPATH_SPEC []", "END_OF_LINE", "VPATH_SPEC []", "END_OF_LINE", "VPATH_SPEC [%.c]",
      "END_OF_LINE"},
     ""},
    {"gnu include words that are names", kGnu, "  include\na include x\n-include\n",
     {"FILE_NAME [include]", "FILE_NAME [a]", "FILE_NAME [include]", "FILE_NAME [x]",
      "FILE_NAME [-include]"},
     ""},
    {"gnu indented optional includes of missing files are directives", kGnu,
     "-include no1.mk\n  sinclude no2.mk\n\t-include no3.mk\nx\n", {"FILE_NAME [x]"}, ""},
    {"gnu target-scoped definitions", kGnu,
     "tgt: VAR = v\nVAR = v\ntgt: override VAR = v\nt: x := y\n",
     {"FILE_NAME [tgt]", "SINGLE_COLON", "GNU_TGT_SCOPED [VAR=v]", "END_OF_LINE",
      "MACRO_DEF [VAR=v]", "FILE_NAME [tgt]", "SINGLE_COLON", "OVERRIDE_SPEC [override ]",
      "GNU_TGT_SCOPED [VAR=v]", "END_OF_LINE", "FILE_NAME [t]", "SINGLE_COLON",
      "GNU_TGT_SCOPED [x=y] op 8", "END_OF_LINE"},
     ""},
    {"gnu assignment operators", kGnu, "x := y\nV?=1\nV ?= 2\nV += \\\n a\nW \\\n= 3\n",
     {"MACRO_DEF [x=y] op 2", "MACRO_DEF [V=1] op 5", "MACRO_DEF [V=2] op 5",
      "MACRO_DEF [V=a] op 4", "MACRO_DEF [W=3]"},
     ""},
    {"gnu special-character definitions and the order-only marker", kGnu,
     "a!=b\n#=\ntgt: a | b\n",
     {"FILE_NAME [a]", "MACRO_DEF [=b]", "FILE_NAME [tgt]", "SINGLE_COLON", "FILE_NAME [a]",
      "GNU_ORDER_ONLY_SPECIFIER [|]", "FILE_NAME [b]", "END_OF_LINE"},
     ""},
    {"gnu comment banners stay comments", kGnu, "#========\nx: #= y\n",
     {"FILE_NAME [x]", "SINGLE_COLON", "END_OF_LINE"}, ""},
    {"gnu one escape per name, the backslash kept", kGnu, "a\\:b\\:c\n",
     {"FILE_NAME [a\\:b]", "SINGLE_COLON", "FILE_NAME [c]", "END_OF_LINE"},
     "Unrecognized character \"\\\""},
    {"gnu define", kGnu, "define foo\nbody\nendef\ndefine\nx: define\n",
     {"MACRO_DEF [foo=body] op 6", "FILE_NAME [define]", "FILE_NAME [x]", "SINGLE_COLON",
      "FILE_NAME [define]", "END_OF_LINE"},
     ""},
    {"gnu special targets and longer names", kGnu,
     ".PHONYX: a\n.PHONY: all\n.PRECIOUS: a\nb: .PRECIOUS\n",
     {"FILE_NAME [.PHONYX]", "SINGLE_COLON", "FILE_NAME [a]", "END_OF_LINE", "PHONY [.PHONY]",
      "SINGLE_COLON", "FILE_NAME [all]", "END_OF_LINE", "PRECIOUS_TGT [.PRECIOUS]",
      "SINGLE_COLON", "FILE_NAME [a]", "END_OF_LINE", "FILE_NAME [b]", "SINGLE_COLON",
      "FILE_NAME [.PRECIOUS]", "END_OF_LINE"},
     ""},
    {"gnu command after a semicolon", kGnu, "out: ; mkdir out\n",
     {"FILE_NAME [out]", "SINGLE_COLON", "END_OF_LINE", "SCRIPT_LINE [mkdir out]"}, ""},
    {"gnu form feed and vertical tab are white space", kGnu, "a\fb\vc\n",
     {"FILE_NAME [a]", "FILE_NAME [b]", "FILE_NAME [c]"}, ""},
    // sun
    {"sun appending needs a blank before +=", kSun, "A+=B\nA +=B\n",
     {"MACRO_DEF [A+=B]", "MACRO_DEF [A=B] op 4"}, ""},
    {"sun command output and target-scoped definitions", kSun,
     "CMD :sh= echo hi\nx:=y\nx := y\n",
     {"MACRO_DEF [CMD=echo hi] op 3", "FILE_NAME [x]", "TGT_SCOPED", "FILE_NAME [y]", "FILE_NAME [x]",
      "TGT_SCOPED", "FILE_NAME [y]"},
     ""},
    {"sun .NO_PARALLEL", kSun, ".NO_PARALLEL: a\n.NO_PARALLELx: a\n",
     {"NOT_PARALLEL_TGT [.NO_PARALLEL]", "SINGLE_COLON", "FILE_NAME [a]", "END_OF_LINE",
      "FILE_NAME [.NO_PARALLELx]", "SINGLE_COLON", "FILE_NAME [a]", "END_OF_LINE"},
     ""},
    {"sun include only at the line start", kSun, "include\n  include x\n",
     {"FILE_NAME [include]", "FILE_NAME [include]", "FILE_NAME [x]"}, ""},
    {"sun words of other dialects are names", kSun, "export A\noverride B\nvpath\n.PHONY\n",
     {"FILE_NAME [export]", "FILE_NAME [A]", "FILE_NAME [override]", "FILE_NAME [B]",
      "FILE_NAME [vpath]", "FILE_NAME [.PHONY]"},
     ""},
    {"sun exclamation mark", kSun, "a!b\n", {"FILE_NAME [a]", "FILE_NAME [b]"},
     "Unrecognized character \"!\""},
    // kelto
    {"kelto .POSIX", kKelto, ".POSIX:\n.POSIX.x .IGNOREd\n",
     {"POSIX_TGT [.POSIX]", "SINGLE_COLON", "END_OF_LINE", "FILE_NAME [.POSIX.x]",
      "FILE_NAME [.IGNOREd]"},
     ""},
    {"kelto has one assignment operator", kKelto, "A = b\nA += b\nA+= b\n",
     {"MACRO_DEF [A=b]", "FILE_NAME [A]", "MACRO_DEF [+=b]", "MACRO_DEF [A+=b]"}, ""},
    {"kelto := is a colon and an unrecognized character", kKelto, "A := b\n",
     {"FILE_NAME [A]", "SINGLE_COLON", "FILE_NAME [b]", "END_OF_LINE"},
     "Unrecognized character \"=\""},
    {"kelto words of other dialects are names", kKelto,
     "export A\n.EXPORT_ALL_VARIABLES\n-include foo\n  include foo.mk\n",
     {"FILE_NAME [export]", "FILE_NAME [A]", "FILE_NAME [.EXPORT_ALL_VARIABLES]",
      "FILE_NAME [-include]", "FILE_NAME [foo]", "FILE_NAME [include]",
      "FILE_NAME [foo.mk]"},
     ""},
    {"kelto macro references are expanded and scanned again", kKelto,
     "a: $(OBJS) y\nb: $(OBJS);z\n",
     {"FILE_NAME [a]", "SINGLE_COLON", "FILE_NAME [a.o]", "FILE_NAME [b.o]", "FILE_NAME [y]",
      "END_OF_LINE", "FILE_NAME [b]", "SINGLE_COLON", "FILE_NAME [a.o]", "FILE_NAME [b.o]",
      "END_OF_LINE", "SCRIPT_LINE [z]"},
     ""},
};

INSTANTIATE_TEST_SUITE_P(EdgeCases, DialectTokens, testing::ValuesIn(kTokenCases));

// A "$$" kept for a later expansion ends the scan of its name in every dialect: the name is not
// handed back to be scanned the same way again.
TEST(DialectTokensDoubleDollar, KeptReferencesEndTheName) {
  for (uint32_t variant : {uint32_t{MF_COMPAT_STD}, kGnu, kSun, kKelto}) {
    mftest::Captured cap;
    ScanInput s("x: $$% a$$*b\n", variant);
    EXPECT_THAT(s.tokens(), ElementsAreArray({"FILE_NAME [x]", "SINGLE_COLON", "FILE_NAME [$$%]",
                                              "FILE_NAME [a$$*b]", "END_OF_LINE"}))
        << variant;
  }
}

}  // namespace
