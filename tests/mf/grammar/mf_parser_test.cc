// The makefile grammar and its semantic actions, fed with tokens by a stand-in for the scanner.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "capture_util.h"
#include "mf/bldr_macro.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_parser.h"
#include "mf/mf_tgt_parse.h"
#include "mf/mf_utl.h"
#include "mf/scan/mf_yylex.h"
#include "tgt_util.h"

using mftest::strings;
using mftest::TgtParse;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

struct Tok {
  int token;
  std::string text;
  std::string value;  // MACRO_DEF only
};

std::deque<Tok> feed;
std::vector<int> expected_flags;  // mf_script_line_expected at each request

}  // namespace

// The std scanner of the library is replaced by the feeder for this program.
int mf_std_yylex(void) {
  expected_flags.push_back(mf_script_line_expected);
  if (feed.empty()) return 0;
  Tok t = feed.front();
  feed.pop_front();
  char *text = stg_area_strdup(mfc_mf_stg_area, t.text.c_str());
  switch (t.token) {
    case FILE_NAME:
    case ARCHIVE:
    case SUFF_PATH_TGT:
      mf_file_name = text;
      break;
    case SCRIPT_LINE:
      mf_script_line = text;
      break;
    case MACRO_DEF:
      mf_macro_definition.name = text;
      mf_macro_definition.value = stg_area_strdup(mfc_mf_stg_area, t.value.c_str());
      mf_macro_definition.op = 0;
      break;
    case END_OF_LINE:
    case SINGLE_COLON:
    case DOUBLE_COLON:
    case TGT_SCOPED:
    case EXPORT_SPEC:
    case UNEXPORT_SPEC:
      break;
    default:
      mf_special_tgt_name = text;
      break;
  }
  return t.token;
}

// The gnu dialect's scanner is fed the same way.
int mf_gmake_yylex(void) { return mf_std_yylex(); }

namespace {

class Grammar : public testing::Test {
 protected:
  void SetUp() override {
    feed.clear();
    expected_flags.clear();
    mf_script_line_expected = 0;
    parser_table_ = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_FILE, STG_AREA_HEAP);
    override_table_ = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_OVERRIDE, STG_AREA_HEAP);
    mfc_parser_macro_table = parser_table_;
    mfc_override_macro_table = override_table_;
  }
  void TearDown() override {
    mfc_parser_macro_table = nullptr;
    mfc_override_macro_table = nullptr;
    bldr_macro_term_table(parser_table_);
    bldr_macro_term_table(override_table_);
  }
  static Tok name(const char *n) { return {FILE_NAME, n, ""}; }
  static Tok colon() { return {SINGLE_COLON, ":", ""}; }
  static Tok eol() { return {END_OF_LINE, "\n", ""}; }
  static Tok script(const char *s) { return {SCRIPT_LINE, s, ""}; }
  static Tok def(const char *n, const char *v) { return {MACRO_DEF, n, v}; }

  int parse(std::initializer_list<Tok> toks) {
    feed.assign(toks.begin(), toks.end());
    return mf_yyparse();
  }

  bldr_macro_table_t *parser_table_ = nullptr;
  bldr_macro_table_t *override_table_ = nullptr;
};

std::vector<std::string> deps(TgtParse &p, const char *target) {
  mf_tgt_entry_t *e = p.entry(target);
  return strings(mf_tgt_get_dep_list(p.table(), e, mf_tgt_next_instance(p.table(), e, nullptr)));
}

std::vector<std::string> script_of(TgtParse &p, const char *target, int instance = 0) {
  mf_tgt_entry_t *e = p.entry(target);
  mf_tgt_inst_handle_t i = mf_tgt_next_instance(p.table(), e, nullptr);
  while (instance-- > 0) i = mf_tgt_next_instance(p.table(), e, i);
  return strings(mf_tgt_get_bld_script(p.table(), e, i));
}

TEST_F(Grammar, EmptyInputIsAcceptedAndTraced) {
  TgtParse p(MF_COMPAT_STD);
  int32_t old = mf_verbosity;
  mf_verbosity = 3;
  mftest::Captured cap;
  EXPECT_EQ(parse({}), 0);
  mf_verbosity = old;
  EXPECT_THAT(cap.err(), HasSubstr("Parser done - returning...\n"));
}

TEST_F(Grammar, RulesWithScriptsAndValuesTakenBeforeTheNextToken) {
  TgtParse p(MF_COMPAT_STD);
  EXPECT_EQ(parse({name("a"), name("b"), {DOUBLE_COLON, "::", ""}, name("c"), name("d"), eol(),
                   script("one"), script("two"), name("x"), colon(), eol()}),
                  0);
  EXPECT_EQ(mf_parser_failed, 0);
  for (const char *t : {"a", "b"}) {
    EXPECT_EQ(p.entry(t)->multiple_valid, 1) << t;
    EXPECT_THAT(deps(p, t), ElementsAre("c", "d"));
    EXPECT_THAT(script_of(p, t), ElementsAre("one", "two"));
  }
  EXPECT_EQ(p.entry("x")->defined_as_target, 1);
  EXPECT_EQ(p.entry("x")->multiple_valid, 0);
}

TEST_F(Grammar, ColonClaimsScriptLinesUntilTheDeclarationEnds) {
  TgtParse p(MF_COMPAT_STD);
  EXPECT_EQ(parse({name("a"), colon(), eol(), script("s"), def("V", "1")}), 0);
  // Requests: a, :, eol, s, V, end. The colon is reduced before the line end is read; the rule
  // ends (and the claim with it) once V has been read as its lookahead.
  EXPECT_THAT(expected_flags, ElementsAre(0, 0, 1, 1, 1, 0));
  EXPECT_STREQ(bldr_macro_lookup_in_table(parser_table_, "V", nullptr), "1");
}

TEST_F(Grammar, RuleLineWithoutTargetsIsARuleWithNullTargets) {
  TgtParse p(MF_COMPAT_STD);
  mftest::Captured cap;
  EXPECT_EQ(parse({colon(), name("x"), eol()}), 0);
  EXPECT_EQ(mf_parser_failed, 1);
  EXPECT_THAT(cap.err(), HasSubstr("Empty target list for dependency rule."));
}

TEST_F(Grammar, SpecialTargetsReachTheTableAndTheSwitches) {
  TgtParse p(MF_COMPAT_STD);
  EXPECT_EQ(parse({{SUFFIXES_TGT, ".SUFFIXES", ""}, colon(), name(".o"), name(".c"), eol(),
                   {SUFFIXES_TGT, ".SUFFIXES", ""}, colon(), name(".y"), eol(),
                   {PRECIOUS_TGT, ".PRECIOUS", ""}, colon(), name("keep"), eol(),
                   {MAIN_TGT, ".MAIN", ""}, colon(), name("m"), eol(),
                   {IGNORE_TGT, ".IGNORE", ""}, colon(), name("ignored"), eol(),
                   {SILENT_TGT, ".SILENT", ""}, colon(), eol(),
                   {NOT_PARALLEL_TGT, ".NOTPARALLEL", ""}, colon(), eol(),
                   {SIBS_AFFECT_REUSE, ".SIBLINGS_AFFECT_REUSE", ""}, colon(), eol(),
                   {MAKEFILES_AFFECT_REUSE, ".MAKEFILES_AFFECT_REUSE", ""}, colon(), eol(),
                   {JAVAC, ".JAVAC", ""}, colon(), eol()}),
            0);
  EXPECT_THAT(strings(mf_tgt_suffix_list(p.table())), ElementsAre(".o", ".c", ".y"));
  EXPECT_EQ(p.entry("keep")->declared_precious, 1);
  EXPECT_THAT(strings(mf_tgt_default_goal_list(p.table())), ElementsAre("m"));
  const mf_parse_op_rec_t *op = mfc_parse_op_rec_p;
  EXPECT_EQ(op->ignore, 1u);
  EXPECT_EQ(op->silent, 1u);
  EXPECT_EQ(op->not_parallel, 1u);
  EXPECT_EQ(op->siblings_affect_reuse, 1u);
  EXPECT_EQ(op->makefiles_affect_reuse, 1u);
  EXPECT_EQ(op->javac, 1u);
  EXPECT_EQ(op->posix, 0u);
  EXPECT_EQ(mf_tgt_java_audits(), 1);
  EXPECT_EQ(mf_parser_failed, 0);
}

TEST_F(Grammar, NotParallelWithNamesLeavesTheSwitchAlone) {
  TgtParse p(MF_COMPAT_STD);
  EXPECT_EQ(parse({{NOT_PARALLEL_TGT, ".NOTPARALLEL", ""}, colon(), name("a"), name("b"), eol()}),
            0);
  EXPECT_EQ(mfc_parse_op_rec_p->not_parallel, 0u);
}

TEST_F(Grammar, EmptySuffixesLineClearsTheList) {
  TgtParse p(MF_COMPAT_STD);
  EXPECT_EQ(parse({{SUFFIXES_TGT, ".SUFFIXES", ""}, colon(), name(".o"), eol(),
                   {SUFFIXES_TGT, ".SUFFIXES", ""}, colon(), eol()}),
            0);
  EXPECT_EQ(mf_tgt_suffix_list(p.table()), LIST_HANDLE_NULL);
}

TEST_F(Grammar, MacroDefinitionsGoToTheirTables) {
  TgtParse p(MF_COMPAT_STD);
  EXPECT_EQ(parse({def("A", "plain"), {EXPORT_SPEC, "export", ""}, def("B", "exported"), eol(),
                   {OVERRIDE_SPEC, "override", ""}, def("C", "over"), eol()}),
            0);
  EXPECT_STREQ(bldr_macro_lookup_in_table(parser_table_, "A", nullptr), "plain");
  EXPECT_STREQ(bldr_macro_lookup_in_table(parser_table_, "B", nullptr), "exported");
  EXPECT_EQ(bldr_macro_lookup_in_table(parser_table_, "C", nullptr), nullptr);
  EXPECT_STREQ(bldr_macro_lookup_in_table(override_table_, "C", nullptr), "over");
}

TEST_F(Grammar, StaticPatternRuleOutsideGnuIsASyntaxErrorAndTheParseGoesOn) {
  TgtParse p(MF_COMPAT_STD);
  mftest::Captured cap;
  EXPECT_EQ(parse({name("a.o"), colon(), name("%.o"), colon(), name("%.c"), eol(), name("next"),
                   colon(), eol()}),
            0);
  EXPECT_EQ(mf_parser_failed, 1);
  EXPECT_THAT(cap.err(), HasSubstr("Syntax error in file \"Makefile\" near line 3\n"));
  EXPECT_EQ(mf_tgt_lookup(p.table(), "a.o"), nullptr);
  EXPECT_EQ(p.entry("next")->defined_as_target, 1);
}

TEST_F(Grammar, StaticPatternRuleInGnu) {
  TgtParse p(MF_COMPAT_GNU);
  EXPECT_EQ(parse({name("a.o"), name("b.o"), colon(), name("%.o"), colon(), name("%.c"), eol(),
                   script("cc")}),
            0);
  EXPECT_EQ(mf_parser_failed, 0);
  EXPECT_THAT(deps(p, "b.o"), ElementsAre("b.c"));
  EXPECT_THAT(script_of(p, "a.o"), ElementsAre("cc"));
}

TEST_F(Grammar, StaticPatternRuleNeedsExactlyOneTargetPattern) {
  TgtParse p(MF_COMPAT_GNU);
  mftest::Captured cap;
  EXPECT_EQ(parse({name("a.o"), colon(), name("%.o"), name("%.x"), colon(), name("%.c"), eol()}),
            0);
  EXPECT_EQ(mf_parser_failed, 1);
  EXPECT_THAT(cap.err(),
              HasSubstr("Static pattern rules must contain precisely one target-pattern.\n"));
}

struct SyntaxCase {
  const char *what;
  std::vector<Tok> toks;
  int col;
  const char *message;
};

class GrammarSyntax : public Grammar, public testing::WithParamInterface<SyntaxCase> {};

void PrintTo(const SyntaxCase &c, std::ostream *os) { *os << c.what; }

TEST_P(GrammarSyntax, ErrorStopsTheParse) {
  const SyntaxCase &c = GetParam();
  TgtParse p(MF_COMPAT_STD);
  mfc_parse_op_rec_p->source_file = "mk";
  mfc_parse_op_rec_p->source_line = 2;
  mfc_parse_op_rec_p->source_col = c.col;
  mftest::Captured cap;
  feed.assign(c.toks.begin(), c.toks.end());
  EXPECT_EQ(mf_yyparse(), 1);
  EXPECT_THAT(cap.err(), HasSubstr(c.message));
  EXPECT_THAT(cap.err(), HasSubstr("syntax error"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GrammarSyntax,
    testing::Values(
        SyntaxCase{"script line after a definition",
                   {{MACRO_DEF, "A", "1"}, {SCRIPT_LINE, "echo x", ""}},
                   3,
                   "Syntax error in file \"mk\", line 2, column 3\n"},
        SyntaxCase{"names after .SIBLINGS_AFFECT_REUSE",
                   {{SIBS_AFFECT_REUSE, ".SIBLINGS_AFFECT_REUSE", ""}, {SINGLE_COLON, ":", ""},
                    {FILE_NAME, "x", ""}, {END_OF_LINE, "\n", ""}},
                   -1,
                   "Syntax error in file \"mk\" near the end of line 2\n"},
        SyntaxCase{"token outside the grammar", {{999, "?", ""}}, 0,
                   "Syntax error in file \"mk\", line 2, column 0\n"}));

TEST(GrammarDispatch, InvalidVariantEndsTheProgram) {
  TgtParse p(6);
  EXPECT_DEATH(mf_yylex(), "Invalid makefile compatibility variant \\(6\\)");
}

TEST(GrammarTokens, NamesOfTokens) {
  EXPECT_STREQ(mf_parser_token_name(FILE_NAME), "FILE_NAME");
  EXPECT_STREQ(mf_parser_token_name(258), "MACRO_DEF");
  EXPECT_STREQ(mf_parser_token_name(304), "GNU_ORDER_ONLY_SPECIFIER");
  EXPECT_STREQ(mf_parser_token_name(305), "?");
  EXPECT_EQ(GNU_ORDER_ONLY_SPECIFIER, 304);
  EXPECT_EQ(DO_OID_IGNORED, 303);
}

}  // namespace
