// The BSD-style conditional expressions, evaluated as the conditional lines of the "#" flavour
// give them to the evaluator: precedence, numbers, strings, functions, bare words, inversion,
// make-goal tests and malformed expressions, in the dialects whose undefined variables differ.
#include <gtest/gtest.h>

#include <string>

#include "capture_util.h"
#include "macro_fixture_util.h"
#include "mf/bldr_macro.h"
#include "mf/bsdmake.h"
#include "mf/mf_cond.h"
#include "mf/mf_io.h"
#include "mf/mfc.h"
#include "mf_io_util.h"

namespace {

using mftest::Captured;

enum Want { T = MF_COND_OPEN_TRUE, F = MF_COND_OPEN_FALSE, M = MF_COND_MALFORMED };

struct Outcome {
  int result;
  std::string err;
  int failed;
};

class BsdCond : public testing::Test {
 protected:
  BsdCond() {
    bldr_macro_table_t *t = tables_.add(BLDR_MACRO_ORIGIN_FILE);
    const char *defs[][2] = {
        {"A", ""},      {"N", "10"},    {"H", "0x0A"},     {"S", "xyz"},
        {"E", ""},      {"B", "  "},    {"V", "a.c b.o"},  {"YES", "yes"},
        {"T", "mid"},   {"AB", "amidb"}, {"Q", "a\"b"},    {"REF", "$(N)"},
    };
    for (auto &d : defs) bldr_macro_define(t, d[0], d[1], 0);
    saved_tables_ = mfc_mf_macro_table_list;
    saved_op_ = mfc_parse_op_rec_p;
    mfc_mf_macro_table_list = tables_.list();
    mfc_parse_op_rec_p = &op_;
    op_.compat_variant = MF_COMPAT_SGIPMAKE;
  }
  ~BsdCond() override {
    mfc_mf_macro_table_list = saved_tables_;
    mfc_parse_op_rec_p = saved_op_;
    mf_parser_failed = 0;
  }

  // Evaluates a whole directive line of the "#" flavour with the goal "all".
  Outcome line(const std::string &text) {
    mftest::NameList goals{"all"};
    Captured cap;
    mf_parser_failed = 0;
    Outcome o{};
    mf_cond_eval_line((text + "\n").c_str(), 1, goals.get(), &o.result, 1, 0);
    o.err = cap.err();
    o.failed = mf_parser_failed;
    mf_parser_failed = 0;
    return o;
  }

  struct Case {
    const char *expr;
    Want want;
    const char *message;  // expected in the messages; empty for none
  };

  void check(const Case &c, const char *directive = "#if ") {
    SCOPED_TRACE(std::string(directive) + c.expr);
    Outcome o = line(std::string(directive) + c.expr);
    EXPECT_EQ(o.result, c.want);
    EXPECT_EQ(o.failed, c.want == M ? 1 : 0);
    if (*c.message == '\0')
      EXPECT_EQ(o.err, "");
    else
      EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
  }

  mf_parse_op_rec_t op_{};

 private:
  mftest::TableList tables_;
  list_handle_t saved_tables_;
  mf_parse_op_rec_t *saved_op_;
};

TEST_F(BsdCond, PrecedenceAndGrouping) {
  const Case cases[] = {
      {"defined(A) || defined(U) && defined(U)", T, ""},
      {"(defined(A) || defined(U)) && defined(U)", F, ""},
      {"!defined(U) && defined(A)", T, ""},
      {"!(defined(A) && defined(U))", T, ""},
      {"!!defined(A)", T, ""},
      {"defined(U) || !defined(A) || defined(N)", T, ""},
      {"defined(A)&&defined(N)", T, ""},
      {"defined(A) & defined(N)", T, ""},
      {"defined(U) | defined(N)", T, ""},
      {"( ( defined(A) ) )", T, ""},
  };
  for (const Case &c : cases) check(c);
}

TEST_F(BsdCond, Comparisons) {
  const Case cases[] = {
      {"${N} == 10", T, ""},
      {"${N} == 0x0A", T, ""},
      {"${N} == xa", T, ""},
      {"${N} == 0XA", T, ""},
      {"${N} == 10.0", T, ""},
      {"${H} == 10", T, ""},
      {"${REF} == 10", T, ""},
      {"${N} > 9.5", T, ""},
      {"${N} < 10", F, ""},
      {"${N} <= 10", T, ""},
      {"${N} >= 11", F, ""},
      {"${N} != 10", F, ""},
      {"${N} == -10", F, ""},
      {"${N} == ${H}", T, ""},
      {"${N}", T, ""},
      {"${E}", F, ""},
      {"${YES}", F, ""},
      {"(${N} > 2 )", T, ""},
      // The number takes what is glued to it, closing parenthesis included.
      {"(${N} > 2)", M, "Error: Malformed conditional \"(${N} > 2)\".\nFile \""},
      {"${N} = 1", M, "Warning: Unknown operator \"= \".\nFile \""},
      {"${N} ! 1", M, "Unknown operator \"! \"."},
      {"${N} ==", M, "Missing right-hand-side of operator."},
      // Texts.
      {"${S} == \"xyz\"", T, ""},
      {"${S} != \"xyz\"", F, ""},
      {"${AB} == \"a${T}b\"", T, ""},
      {"${Q} == \"a\\\"b\"", T, ""},
      {"${S} == \"xyz", T, ""},
      {"${S} < \"x\"", M, "String comparison operator should be either == or !=."},
      // A text that is no number is compared as a text, not as 0.
      {"${S} == abc", F, ""},
      {"${S} != abc", T, ""},
      {"${S} == xyz", T, ""},
      {"${S} == 0", F, ""},
      {"${E} == 0", T, ""},
  };
  for (const Case &c : cases) check(c);
}

TEST_F(BsdCond, Functions) {
  const Case cases[] = {
      {"defined(A)", T, ""},
      {"defined( A )", T, ""},
      {"defined(U)", F, ""},
      {"defined(${T:S/mid/N/})", T, ""},
      {"empty(E)", T, ""},
      {"empty(B)", F, ""},
      {"empty(V:M*.x)", T, ""},
      {"empty (V)", F, ""},
      {"make(all)", T, ""},
      {"make( all )", T, ""},
      {"makefile(all)", T, ""},
      {"make(other)", F, ""},
      {"target(all)", F, ""},
      {"exists(Makefile)", F,
       "Warning: Unimplemented conditional directive: \"exists\"\n"
       "tool: Warning: Proceeding as if conditional evaluated FALSE\n"},
      // In a branch that short-circuits nothing is called: no warning, and it counts as true.
      {"defined(A) || exists(x)", T, ""},
      {"defined(U) && exists(x)", F, ""},
      {"defined(A", F, "Warning: Missing closing parenthesis for defined().\nFile \""},
  };
  for (const Case &c : cases) check(c);
}

TEST_F(BsdCond, BareWordsAndInversion) {
  const Case cases[] = {
      {"A", T, ""},
      {"U", F, ""},
      {"defined", F, ""},
  };
  for (const Case &c : cases) check(c);
  // Inversion applies to bare words only.
  check({"A", F, ""}, "#ifndef ");
  check({"U", T, ""}, "#ifndef ");
  check({"defined(A)", T, ""}, "#ifndef ");
  check({"A", T, ""}, "#ifdef ");
  // Make-goal directives test bare words with make().
  check({"all", T, ""}, "#ifmake ");
  check({"other || all", T, ""}, "#ifmake ");
  check({"all", F, ""}, "#ifnmake ");
  check({"defined(A)", T, ""}, "#ifmake ");
}

// What follows a complete expression does not change its value, and is shown.
TEST_F(BsdCond, TextAfterTheExpression) {
  const Case cases[] = {
      {"defined(A) junk", T, "Warning: Text after the conditional expression is ignored: \"junk\""},
      {"A B", T, "ignored: \"B\""},
      {"1 == 1", F, "ignored: \"== 1\""},
      {"defined(A) )", T, "ignored: \")\""},
  };
  for (const Case &c : cases) check(c);
}

TEST_F(BsdCond, MalformedExpressions) {
  const Case cases[] = {
      {"", M, "Malformed conditional \"\""},
      {"!", M, "Malformed conditional \"!\""},
      {"(defined(A)", M, "Malformed conditional"},
      {")", M, "Malformed conditional \")\""},
      {"defined(A) &&", M, "Malformed conditional"},
      {"|| defined(A)", M, "Malformed conditional"},
      {"${V:X} == 1", M, "Unknown modifier 'X'"},
  };
  for (const Case &c : cases) check(c);
}

// Undefined variables are errors while evaluating, except in sgismake; a short-circuited
// branch reads them silently.
TEST_F(BsdCond, UndefinedVariablesByDialect) {
  op_.compat_variant = MF_COMPAT_SGISMAKE;
  check({"${U} == 0", T, ""});
  check({"empty(U)", T, ""});
  check({"${N} == ${U}", F, ""});
  for (uint32_t v : {MF_COMPAT_SGIPMAKE, MF_COMPAT_BSDNETR2}) {
    op_.compat_variant = v;
    check({"${U} == 0", M, "Undefined variable \"${U}\"."});
    check({"empty(U)", M, "Undefined variable \"$(U)\"."});
    check({"defined(A) || ${U} == 0", T, ""});
  }
}

}  // namespace
