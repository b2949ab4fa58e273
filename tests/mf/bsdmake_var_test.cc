// The BSD-style variable engine: references, every modifier alone and chained, nested references,
// empty and undefined variables in each mode, the reference search and the pattern matcher.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_util.h"
#include "macro_fixture_util.h"
#include "mf/bldr_macro.h"
#include "mf/bsdmake.h"
#include "mf/mf_io.h"
#include "mf/mf_utl.h"

namespace {

using mftest::Captured;

struct Expansion {
  ks_status_t status;
  std::string text;  // the expansion, or "<null>"
  std::string err;
  int failed;
};

class BsdVar : public testing::Test {
 protected:
  BsdVar() {
    bldr_macro_table_t *t = tables_.add(BLDR_MACRO_ORIGIN_FILE);
    const char *defs[][2] = {
        {"V", "a.c b.o dir.d/file"}, {"C", "a.c a.c"},   {"W", "x"},
        {"E", ""},                   {"B", "  "},        {"L", "$(V)"},
        {"SELF", "x$(SELF)"},        {"P", "a:b c a.b"}, {"D", "/top /usr/lib/x.so y"},
        {"DOLLAR", "$$HOME"},        {"N", "10"},        {"MIX", "$(W:S/x/y/) ${N}"},
        {"S2", "a/b"},
    };
    for (auto &d : defs) bldr_macro_define(t, d[0], d[1], 0);
  }
  ~BsdVar() override { mf_parser_failed = 0; }

  Expansion expand(const std::string &line, uint32_t mode = BSDMAKE_UNDEF_SILENT, int32_t values = 1) {
    Captured cap;
    mf_parser_failed = 0;
    char *out = nullptr;
    Expansion r;
    r.status = bsdmake_var_expand_line(tables_.list(), line.c_str(), mode, STG_AREA_HEAP, &out,
                                       LIST_HANDLE_NULL, STG_AREA_NULL, values);
    r.text = out != nullptr ? out : "<null>";
    stg_free(out);
    r.err = cap.err();
    r.failed = mf_parser_failed;
    mf_parser_failed = 0;
    return r;
  }

  struct Case {
    const char *line;
    const char *want;   // "<null>" when the expansion fails
    const char *error;  // expected in the messages; empty for none
  };

  void check(const Case &c) {
    SCOPED_TRACE(c.line);
    Expansion r = expand(c.line);
    EXPECT_EQ(r.text, c.want);
    if (*c.error == '\0') {
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.failed, 0);
      EXPECT_EQ(r.status, KS_ST_OK);
    } else {
      EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    }
  }

  mftest::TableList tables_;
};

// V = a.c b.o dir.d/file, C = a.c a.c, W = x, E empty, B blanks, L = $(V), D = /top /usr/lib/x.so y
TEST_F(BsdVar, Modifiers) {
  const Case cases[] = {
      // Reference forms.
      {"$(V)|${V}", "a.c b.o dir.d/file|a.c b.o dir.d/file", ""},
      {"$W$WAR", "xxAR", ""},
      // Each word modifier.
      {"$(V:E)", "c o d/file", ""},
      {"$(V:R)", "a b dir", ""},
      {"$(V:H)", ". . dir.d", ""},
      {"$(V:T)", "a.c b.o file", ""},
      {"${D:H}|${D:T}", "/usr/lib .|top x.so y", ""},
      {"${D:E}", "so", ""},
      // Matching.
      {"$(V:M*.c)", "a.c", ""},
      {"$(V:N*.c)", "b.o dir.d/file", ""},
      {"$(V:M*.[bc])", "a.c", ""},
      {"$(V:M[a-b].?)", "a.c b.o", ""},
      {"$(V:M[o-a].?)", "a.c b.o", ""},
      {"$(V:M)|$(V:N)", "|a.c b.o dir.d/file", ""},
      {"${P:Ma\\:b}", "a:b", ""},
      {"${P:M*.b}", "a.b", ""},
      {"${P:Ma\\.b}", "a.b", ""},
      // Substitution.
      {"$(C:S/a/x/)", "x.c a.c", ""},
      {"$(C:S/a/x/g)", "x.c x.c", ""},
      {"$(C:S/^a/x/)", "x.c a.c", ""},
      {"$(C:S/c$/o/g)", "a.o a.o", ""},
      {"$(C:S/a/&&/)", "aa.c a.c", ""},
      {"$(C:S/^a.c$//g)", "", ""},
      {"$(C:S/^a.c$/z/)", "z a.c", ""},
      {"$(C:S/^a.cc$/z/)", "a.c a.c", ""},
      {"$(C:S/./-/g)", "a-c a-c", ""},
      {"$(C:S|a|\\||)", "|.c a.c", ""},
      {"${C:S/a/\\&/}", "&.c a.c", ""},
      {"${C:S/a/x$/}", "x$.c a.c", ""},
      {"${C:S/a/$(W)/g}", "x.c x.c", ""},
      {"${C:S/$(W)/y/g}", "a.c a.c", ""},
      {"${C:S/a/$(U)/}", ".c a.c", ""},
      {"${S2:S,/,:,}", "a:b", ""},
      // Suffix substitution ends the chain.
      {"$(C:.c=.o)", "a.o a.o", ""},
      {"$(C:=.x)", "a.c.x a.c.x", ""},
      {"$(C:c=o:T)", "a.o:T a.o:T", ""},
      // Chains.
      {"$(V:M*.c:R)", "a", ""},
      {"${V:T:R:S/a/z/}", "z b file", ""},
      {"${V:N*.o:E:S/^c$/C/}", "C d/file", ""},
      {"${V:E:}", "c o d/file", ""},
      // Nested references: values are expanded before the modifiers apply.
      {"${L:T}", "a.c b.o file", ""},
      {"${MIX}", "y 10", ""},
      // Empty and undefined variables.
      {"[$(E)][$(E:E)][${B}][${B:T}]", "[][][  ][]", ""},
      {"[$(U)][$(U:E)][$U]", "[][][]", ""},
      // Dollars.
      {"$$(V) ${DOLLAR}", "$(V) $HOME", ""},
      {"cost $", "cost $", ""},
  };
  for (const Case &c : cases) check(c);
}

TEST_F(BsdVar, ModifierErrors) {
  const Case cases[] = {
      {"$(V:X)", "<null>", "Error: Unknown modifier 'X'.\nFile \""},
      {"$(V:Rx)", "<null>", "Unknown modifier 'R'."},
      {"$(V:S/a/b/x)", "<null>", "Unclosed substitution for \"S/a/b/x\" (missing ')')."},
      {"$(V:E", "<null>", "Unclosed substitution for \"V:E\" (missing ')')."},
      {"${V", "<null>", "Unclosed substitution for \"V\" (missing '}')."},
      {"$(V:S)", "<null>", "Unknown modifier 'S'."},
  };
  for (const Case &c : cases) check(c);
  // An S modifier cut short keeps the value as it stood; the parse fails all the same.
  Expansion r = expand("[$(C:S/a/b)]");
  EXPECT_EQ(r.text, "[a.c a.c]");
  EXPECT_EQ(r.status, KS_ST_OK);
  EXPECT_NE(r.err.find("Unclosed substitution for \"C\" (missing '/')"), std::string::npos);
  EXPECT_EQ(r.failed, 1);
  // The modifier text ends at the first closing parenthesis, so a parenthesised reference
  // inside it cuts the modifier short; in braces it works.
  r = expand("$(C:S/a/$(W)/)");
  EXPECT_EQ(r.failed, 1);
  EXPECT_NE(r.err.find("Unclosed substitution"), std::string::npos);
  EXPECT_EQ(expand("${C:S/a/$(W)/}").text, "x.c a.c");
}

TEST_F(BsdVar, UndefinedVariablesByMode) {
  EXPECT_EQ(expand("a $(U) b", BSDMAKE_UNDEF_SILENT).text, "a  b");
  EXPECT_EQ(expand("a $(U) ${U:E} $U b", BSDMAKE_UNDEF_KEEP).text, "a $(U) ${U:E} $U b");
  Expansion r = expand("a $(U:E) b", BSDMAKE_UNDEF_ERROR);
  EXPECT_EQ(r.status, KS_ST_ERR);
  EXPECT_EQ(r.text, "<null>");
  EXPECT_EQ(r.err.find("tool: Error: Undefined variable \"$(U:E)\".\nFile \""), 0u) << r.err;
  EXPECT_EQ(r.failed, 1);
  // A defined empty value is no error.
  EXPECT_EQ(expand("[$(E)]", BSDMAKE_UNDEF_ERROR).text, "[]");
}

TEST_F(BsdVar, ValuesAsStoredOrExpanded) {
  EXPECT_EQ(expand("${L:T}", BSDMAKE_UNDEF_SILENT, 0).text, "$(V)");
  Expansion r = expand("${SELF}");
  EXPECT_EQ(r.status, KS_ST_ERR);
  EXPECT_EQ(r.err, "tool: Error: Circular definition for macro \"SELF\".\n");
  EXPECT_EQ(r.failed, 0);
  EXPECT_EQ(expand("${SELF}", BSDMAKE_UNDEF_SILENT, 0).text, "x$(SELF)");
  // The depth count starts afresh after the failure.
  EXPECT_EQ(expand("${L:T}").text, "a.c b.o file");
}

TEST_F(BsdVar, DoubleDollarCanBeKept) {
  bldr_macro_preserve_double_dollar = 1;
  EXPECT_EQ(expand("$$x ${W}").text, "$$x x");
  bldr_macro_preserve_double_dollar = 0;
  EXPECT_EQ(expand("$$x ${W}").text, "$x x");
}

TEST_F(BsdVar, EvaluationOfOneReference) {
  struct Row {
    const char *text;
    uint32_t mode;
    ks_status_t status;
    const char *value;
    int32_t length;
  } rows[] = {
      {"$(V:T) rest", BSDMAKE_UNDEF_SILENT, KS_ST_OK, "a.c b.o file", 6},
      {"$Wx", BSDMAKE_UNDEF_SILENT, KS_ST_OK, "x", 2},
      {"${U}", BSDMAKE_UNDEF_SILENT, KS_ST_NOT_FOUND, nullptr, 4},
      {"${U}", BSDMAKE_UNDEF_KEEP, KS_ST_NOT_FOUND, nullptr, 4},
      {"${U}", BSDMAKE_UNDEF_ERROR, KS_ST_ERR, nullptr, 4},
      {"$(V", BSDMAKE_UNDEF_SILENT, KS_ST_ERR, nullptr, 0},
      // A name runs to the first closing bracket of its kind, nested references included.
      {"${${W}}", BSDMAKE_UNDEF_SILENT, KS_ST_NOT_FOUND, nullptr, 6},
      {"$(${W})", BSDMAKE_UNDEF_SILENT, KS_ST_NOT_FOUND, nullptr, 7},
  };
  stg_area_t area = stg_create_area(256);
  for (const Row &r : rows) {
    SCOPED_TRACE(r.text);
    Captured cap;
    char *value = reinterpret_cast<char *>(1);
    int32_t length = -1;
    EXPECT_EQ(bsdmake_var_eval(tables_.list(), r.text, r.mode, area, &value, &length,
                               LIST_HANDLE_NULL, STG_AREA_NULL, 1),
              r.status);
    if (r.value == nullptr)
      EXPECT_EQ(value, nullptr);
    else
      EXPECT_STREQ(value, r.value);
    EXPECT_EQ(length, r.length);
  }
  mf_parser_failed = 0;
  stg_delete_area(&area);
}

// Each reference of the line itself leaves NAME=value (its stored value) in the list.
TEST_F(BsdVar, DefinitionsOfTheReferences) {
  stg_area_t area = stg_create_area(256);
  list_handle_t defs = list_create(area, 0);
  char *out = nullptr;
  ASSERT_EQ(bsdmake_var_expand_line(tables_.list(), "$(L:T) ${U} $$W", BSDMAKE_UNDEF_SILENT,
                                    area, &out, defs, area, 1),
            KS_ST_OK);
  EXPECT_STREQ(out, "a.c b.o file  $W");
  std::vector<std::string> got;
  void *d = nullptr;
  for (list_cursor_t c = list_next(defs, nullptr, &d); c != nullptr; c = list_next(defs, c, &d))
    got.push_back(static_cast<const char *>(d));
  EXPECT_EQ(got, (std::vector<std::string>{"L=$(V)", "U="}));
  stg_delete_area(&area);
}

TEST_F(BsdVar, TracesEachModifier) {
  const int32_t old = mf_verbosity;
  mf_verbosity = 3;
  std::string out;
  {
    Captured cap;
    char *result = nullptr;
    bsdmake_var_expand_line(tables_.list(), "${C:T:S/a/b/}", BSDMAKE_UNDEF_SILENT, STG_AREA_HEAP,
                            &result, LIST_HANDLE_NULL, STG_AREA_NULL, 1);
    stg_free(result);
    out = cap.out();
  }
  mf_verbosity = old;
  EXPECT_EQ(out,
            "Applying :T to \"a.c a.c\"\nResult is \"a.c a.c\".\n"
            "Applying :S to \"a.c a.c\"\nResult is \"b.c a.c\".\n");
}

TEST(BsdVarFind, ReferencesToAName) {
  struct Row {
    const char *text;
    ks_status_t want;
  } rows[] = {
      {"a ${V:R} b", KS_ST_OK},       {"$(V)", KS_ST_OK},
      {"x$V", KS_ST_OK},              {"$$V", KS_ST_NOT_FOUND},
      {"$(VV) $(W)", KS_ST_NOT_FOUND}, {"$(W:S/V/x/) $V", KS_ST_OK},
      {"no references", KS_ST_NOT_FOUND}, {"trailing $", KS_ST_NOT_FOUND},
      {"$(W) $(V", KS_ST_ERR},
  };
  for (const Row &r : rows) {
    Captured cap;
    EXPECT_EQ(bsdmake_var_find_in_str(r.text, "V"), r.want) << r.text;
  }
  mf_parser_failed = 0;
}

TEST(BsdVarMatch, GlobPatterns) {
  const std::string many(200, 'a');
  struct Row {
    const char *word, *pattern;
    int want;
  } rows[] = {
      {"a.c", "*.c", 1},  {"a.c", "*", 1},      {"", "*", 1},       {"", "", 1},
      {"a", "", 0},       {"abc", "a*c", 1},    {"abc", "a*b", 0},  {"abc", "?b?", 1},
      {"ab", "???", 0},   {"b", "[abc]", 1},    {"d", "[abc]", 0},  {"q", "[z-a]", 1},
      {"b", "[]", 0},     {"b", "[b", 0},       {"*", "\\*", 1},    {"a", "\\*", 0},
      {"a", "a\\", 0},    {"a**b", "a*\\**", 1}, {"aaa", "a**", 1}, {"xyz", "*y*z", 1},
      {many.c_str(), "*a*a*a*a*a*a*a*a*a*b", 0},
  };
  for (const Row &r : rows) EXPECT_EQ(bsdmake_str_match(r.word, r.pattern), r.want)
                                << r.word << " " << r.pattern;
}

}  // namespace
