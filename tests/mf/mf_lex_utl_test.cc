#include "mf/mf_lex_utl.h"

#include <gtest/gtest.h>

#include <string>

#include "capture_util.h"
#include "ks/stg.h"
#include "mf/bldr_macro.h"
#include "mf/mf_io.h"
#include "mf/mfc.h"
#include "mf_io_util.h"

namespace {

using mftest::Captured;
using mftest::NameList;
using mftest::ScopedEnv;
using mftest::ScratchDir;

// Starts the input on text as the only makefile, in the given dialect.
class LexInput {
 public:
  LexInput(const std::string &text, uint32_t variant) : files_{"mk"} {
    dir_.write("mk", text);
    rec_ = mf_parse_op_rec_t{};
    rec_.compat_variant = variant;
    mfc_parse_op_rec_p = &rec_;
    mf_parser_failed = 0;
    ok_ = mf_io_init(files_.get(), nullptr, nullptr, 0, 0, 0) == 0;
    mf_lex_init();
  }
  ~LexInput() {
    mf_io_term();
    mfc_parse_op_rec_p = nullptr;
    mf_lex_lexing_multiline_macro_def = 0;
    mf_lex_is_build_script = 0;
    mf_parser_failed = 0;
  }
  bool ok() const { return ok_; }

 private:
  ScratchDir dir_;
  NameList files_;
  mf_parse_op_rec_t rec_;
  bool ok_;
};

struct LineCase {
  const char *label;
  uint32_t variant;
  const char *text;
  int join, swallow, strip;
  int script;   // mf_lex_is_build_script while fetching
  int define;   // inside a define body
  const char *env;  // environment variable set for the case, or null
  const char *line;  // the logical line, or null for none
  const char *rest;  // what the input holds afterwards (every file ends with a newline)
  const char *error;  // expected in the messages, or empty for none
};

TEST(MfLexFetchLine, LogicalLines) {
  const LineCase cases[] = {
      // Continuations: backslash, newline, the blanks around them become one blank.
      {"std continuation", MF_COMPAT_STD, "x \\\n  y\nz\n", 1, 1, 0, 0, 0, nullptr, "x y",
       "\nz\n\n", ""},
      {"gnu continuation", MF_COMPAT_GNU, "x \\\n  y\nz\n", 1, 0, 0, 0, 0, nullptr, "x y",
       "\nz\n\n", ""},
      {"continuation without blanks", MF_COMPAT_STD, "a\\\n      b\n", 1, 1, 0, 0, 0, nullptr,
       "a b", "\n\n", ""},
      {"several continuations", MF_COMPAT_STD, "a \\\n b \\\n\tc\n", 1, 1, 0, 0, 0, nullptr,
       "a b c", "\n\n", ""},
      {"std joins a following empty line", MF_COMPAT_STD, "x \\\n\ny\n", 1, 1, 0, 0, 0, nullptr,
       "x y", "\n\n", ""},
      {"gnu: an empty line ends the line", MF_COMPAT_GNU, "x \\\n\ny\n", 1, 0, 0, 0, 0, nullptr,
       "x ", "\ny\n\n", ""},
      {"RFE46184: an empty line ends the line, with a warning", MF_COMPAT_STD, "x \\\n\ny\n", 1,
       1, 0, 0, 0, "ORVA_RFE46184", "x", "\ny\n\n",
       "WARNING! <LC><CR> sequence on or near line 0 is being\n"},
      {"two backslashes are no continuation", MF_COMPAT_STD, "x\\\\\ny\n", 1, 1, 0, 0, 0,
       nullptr, "x\\\\", "\ny\n\n", ""},
      {"three backslashes are", MF_COMPAT_STD, "x\\\\\\\ny\n", 1, 1, 0, 0, 0, nullptr,
       "x\\\\ y", "\n\n", ""},
      {"backslash and blank before the line end", MF_COMPAT_STD, "x \\ \ny\n", 1, 1, 0, 0, 0,
       nullptr, "x \\", "\ny\n\n",
       "Possible continuation character (\\) followed by whitespace on or near line 0.\n"},
      {"pgnu does not warn about it", MF_COMPAT_PGNU, "x \\ \ny\n", 1, 0, 0, 0, 0, nullptr,
       "x \\", "\ny\n\n", ""},
      {"join off: the line ends at the backslash", MF_COMPAT_SUN, "x \\\ny\n", 0, 0, 0, 0, 0,
       nullptr, "x \\", "\ny\n\n", ""},
      // Build scripts keep the blanks before a continuation except in the gnu dialects.
      {"std script keeps blanks before the backslash", MF_COMPAT_STD, "echo a \\\n  b\n", 1, 1,
       1, 1, 0, nullptr, "echo a  b", "\n\n", ""},
      {"gnu script strips them", MF_COMPAT_GNU, "echo a \\\n  b\n", 1, 0, 1, 1, 0, nullptr,
       "echo a b", "\n\n", ""},
      // Carriage returns.
      {"CR dropped", MF_COMPAT_STD, "a\r\nb\n", 1, 1, 0, 0, 0, nullptr, "a", "\nb\n\n", ""},
      {"CR kept on request", MF_COMPAT_STD, "a\r\nb\n", 1, 1, 0, 0, 0,
       "ORVA_NOT_STRIP_CONTROL_M", "a\r", "\nb\n\n", ""},
      {"CRLF continuation", MF_COMPAT_STD, "a \\\r\n b\r\n", 1, 1, 0, 0, 0, nullptr, "a b",
       "\n\n", ""},
      // Define bodies.
      {"define body up to endef", MF_COMPAT_GNU, "\n  a = 1\n  b\nendef\nrest\n", 1, 0, 0, 0, 1,
       nullptr, "a = 1\nb", "\nrest\n\n", ""},
      {"empty define body", MF_COMPAT_GNU, "\nendef\nrest\n", 1, 0, 0, 0, 1, nullptr, "",
       "\nrest\n\n", ""},
      {"comment line in a define body", MF_COMPAT_GNU, "\na\n# c\nb\nendef\n", 1, 0, 0, 0, 1,
       nullptr, "a\nb", "\n\n", ""},
      {"comment kept on request", MF_COMPAT_GNU, "\na\n# c\nb\nendef\n", 1, 0, 0, 0, 1,
       "ORVA_IGNORE_ESCAPED_HASH_IN_MULTILINE_MACRO", "a\n# c\nb", "\n\n", ""},
      {"continuation inside a gnu define body", MF_COMPAT_GNU, "\na \\\n  b\nendef\n", 1, 0, 0,
       0, 1, nullptr, "a b", "\n\n", ""},
      {"rule and script in a define body", MF_COMPAT_GNU, "\nt: d\n\techo x\nendef\n", 1, 0, 0,
       0, 1, nullptr, "t: d\n\techo x", "\n\n", ""},
      {"end of input inside a define body", MF_COMPAT_GNU, "\na\nb\n", 1, 0, 0, 0, 1, nullptr,
       nullptr, "", "line 5\nEnd of input inside the body of a 'define': missing 'endef'\n"},
  };
  for (const LineCase &c : cases) {
    SCOPED_TRACE(c.label);
    ScopedEnv rfe("ORVA_RFE46184", nullptr);
    ScopedEnv cr("ORVA_NOT_STRIP_CONTROL_M", nullptr);
    ScopedEnv hash("ORVA_IGNORE_ESCAPED_HASH_IN_MULTILINE_MACRO", nullptr);
    ScopedEnv set(c.env ? c.env : "VOSSEL_UNUSED_VARIABLE", c.env ? "1" : nullptr);
    LexInput in(c.text, c.variant);
    ASSERT_TRUE(in.ok());
    Captured cap;
    mf_lex_is_build_script = c.script;
    mf_lex_lexing_multiline_macro_def = c.define;
    const char *line = mf_lex_fetch_line(c.join, c.swallow, c.strip, 0);
    mf_lex_lexing_multiline_macro_def = 0;
    if (c.line == nullptr) {
      EXPECT_EQ(line, nullptr);
      EXPECT_EQ(mf_parser_failed, 1);
    } else {
      ASSERT_NE(line, nullptr);
      EXPECT_EQ(std::string(line), c.line);
      EXPECT_EQ(mf_parser_failed, 0);
    }
    EXPECT_EQ(mf_lex_is_build_script, c.script);
    EXPECT_EQ(mftest::drain_text(), c.rest);
    mftest::expect_error(cap.err(), c.error);
  }
}

TEST(MfLexFetchLine, FullLineBufferLooksAheadAndGivesBack) {
  LexInput in("abc = 1\nnext\n", MF_COMPAT_STD);
  ASSERT_TRUE(in.ok());
  for (int i = 0; i < 3; i++) mf_io_input();
  mf_lex_fill_linebuf("abc");
  EXPECT_EQ(std::string(mf_lex_full_linebuf), "abc = 1");
  EXPECT_EQ(mf_lex_full_linebuf_origin, 0);
  mf_lex_unfill_linebuf(4);
  EXPECT_EQ(std::string(mf_lex_full_linebuf), "abc ");
  EXPECT_EQ(mf_io_source_col, 4);
  EXPECT_EQ(mftest::drain_text(), "= 1\nnext\n\n");
}

TEST(MfLexFetchLine, LooksLikeMacroDefinition) {
  struct Row {
    const char *rest;
    int expected;
  } rows[] = {
      {"NAME = v\n", 1},  {"NAME\t+= v\n", 1}, {"NAME:=v\n", 1}, {"NAME ?= v\n", 1},
      {"NAME != cmd\n", 1}, {"NAME: dep\n", 0}, {"a b = c\n", 0}, {"=\n", 1},
      {"NAME\n", 0},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.rest);
    LexInput in(r.rest, MF_COMPAT_STD);
    ASSERT_TRUE(in.ok());
    EXPECT_EQ(mf_lex_looks_like_macro_def(), r.expected);
    EXPECT_EQ(mftest::drain_text(), std::string(r.rest) + "\n");
  }
}

struct DefCase {
  const char *label;
  uint32_t variant;
  const char *matched;  // the scanner's matched text
  const char *rest;     // the input after it
  int op;
  int result;
  const char *name;
  const char *value;
  const char *error;
};

TEST(MfLexMacroDef, DefinitionsAreSplitAndCleaned) {
  const DefCase cases[] = {
      {"plain", MF_COMPAT_STD, "CC =", " cc -O # compiler\nx\n", 0, 1, "CC", "cc -O ", ""},
      {"escaped hash loses its backslash", MF_COMPAT_STD, "W =", " p\\#q\n", 0, 1, "W", "p#q",
       ""},
      {"sun keeps the escape and trailing blanks go", MF_COMPAT_SUN, "W =", " p\\#q  \n", 0, 1,
       "W", "p\\#q", ""},
      {"plus before the equals sign", MF_COMPAT_STD, "NAME+=", " more\n", 4, 1, "NAME", "more",
       ""},
      {"continued value", MF_COMPAT_STD, "V =", " a\\\n      b\n", 0, 1, "V", "a b", ""},
      {"sun value after backslash-newline", MF_COMPAT_SUN, "V =", " \\\n    v\n", 0, 1, "V",
       "v", ""},
      {"pgnu keeps the comment", MF_COMPAT_PGNU, "V =", " a # b\n", 0, 1, "V", "a # b", ""},
      {"leading white space of the name", MF_COMPAT_STD, "  \tN :sh=", " echo\n", 3, 1, "N",
       "echo", ""},
      {"byte-order mark before the name", MF_COMPAT_STD, "\xEF\xBB\xBFN =", " 1\n", 0, 1, "N",
       "1", ""},
      {"LIBPATTERNS without a pattern", MF_COMPAT_GNU, ".LIBPATTERNS =", " lib.a\n", 0, 1,
       ".LIBPATTERNS", "lib.a", ".LIBPATTERNS element `lib.a' is not a good pattern\n"},
      {"define with a name", MF_COMPAT_GNU, "define ", "BODY\n  one\n  two\nendef\nafter\n", 6,
       1, "BODY", "one\ntwo", ""},
      {"define without a name", MF_COMPAT_GNU, "define ", "\nx\n", 6, 0, nullptr, nullptr, ""},
      {"define without endef", MF_COMPAT_GNU, "define ", "B\n  one\n", 6, 0, nullptr, nullptr,
       "missing 'endef'"},
  };
  for (const DefCase &c : cases) {
    SCOPED_TRACE(c.label);
    LexInput in(c.rest, c.variant);
    ASSERT_TRUE(in.ok());
    Captured cap;
    EXPECT_EQ(mf_lex_macro_def(c.matched, c.op), c.result);
    if (c.result == 1) {
      EXPECT_STREQ(mf_macro_definition.name, c.name);
      EXPECT_STREQ(mf_macro_definition.value, c.value);
      EXPECT_EQ(int(mf_macro_definition.op), c.op);
      EXPECT_EQ(mf_parser_failed, 0);
    }
    EXPECT_EQ(mf_lex_lexing_multiline_macro_def, 0);
    mftest::expect_error(cap.err(), c.error);
  }
}

TEST(MfLexMacroDef, DefineBodyEndsBeforeTheRestOfTheFile) {
  LexInput in("BODY\n  one\nendef\nafter\n", MF_COMPAT_GNU);
  ASSERT_TRUE(in.ok());
  ASSERT_EQ(mf_lex_macro_def("define ", 6), 1);
  EXPECT_EQ(mftest::drain_text(), "\nafter\n\n");
}

TEST(MfLexUtl, CommentStripping) {
  struct Row {
    const char *text;
    int unescape, keep;
    const char *expected;
  } rows[] = {
      {"a # b", 1, 0, "a "},      {"a\\#b # c", 1, 0, "a#b "}, {"a\\#b # c", 0, 1, "a\\#b "},
      {"a\\#b", 0, 0, "a\\"},     {"no comment", 1, 0, "no comment"}, {"#all", 1, 0, ""},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.text);
    char *t = stg_strdup(r.text);
    mf_lex_strip_comment(&t, r.unescape, r.keep);
    EXPECT_STREQ(t, r.expected);
    stg_free(t);
  }
}

TEST(MfLexUtl, CompressNewlinesAndPrintableCopy) {
  char a[] = "a\n\tb\n\nc\n d\ne\n";
  EXPECT_EQ(mf_lex_compress_nl(a), 1);
  EXPECT_STREQ(a, "a\tb\nc d\ne");
  char b[] = "a\nb";
  EXPECT_EQ(mf_lex_compress_nl(b), 0);
  EXPECT_STREQ(b, "a\nb");

  EXPECT_STREQ(mf_lex_utl_printified_string("a\tb\n\x01"), "a\\tb\\n\\001");
  EXPECT_STREQ(mf_lex_utl_printified_string(""), "");
  std::string longer(5000, 'x');
  EXPECT_EQ(std::string(mf_lex_utl_printified_string(longer.c_str())).size(), 4091u);
}

}  // namespace
