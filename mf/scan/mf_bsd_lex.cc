#include "mf/scan/mf_bsd_lex.h"

#include "mf/bldr_macro.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parser.h"
#include "mf/scan/mf_scan_act.h"

int mf_smake_yyleng = 0;
int mf_bsdmake_yyleng = 0;

namespace {

constexpr int kRules = 59;

// Trace names of the rules of both scanners (rule 41, .JAVAC, and the default rule write no rule
// trace); rule 6 is named after the scanner's include directive.
#define MF_BSD_RULE_NAMES(include_directive)                                                     \
  {                                                                                              \
    nullptr, "BOM found", "comment", "TAB", "sinclude", "include", include_directive,            \
        "macro ?=", "macro +=", "macro =", "define", "macro :=", "macro !=", ".PATH.", ".PATH", \
        ".NULL", ".MAKE", ".SUFFIXES", ".IGNORE", ".SILENT", ".NO_CONFIG_REC", ".NO_WINK_IN",    \
        ".NO_CMP_SCRIPT", ".NO_PRINT_CMP_SCRIPT", ".NO_CMP_NON_MF_DEPS",                        \
        ".NO_CONFIG_MATCH_SLINKS", ".SIBLINGS_AFFECT_REUSE", ".MAKEFILES_IN_CONFIG_REC",        \
        ".MAKEFILES_AFFECT_REUSE", ".DEPENDENCY_IGNORED_FOR_REUSE",                             \
        ".DIRECTORY_IGNORED_FOR_REUSE", ".DIRECTORY_AFFECTS_REUSE",                             \
        ".DO_OID_IGNORED_FOR_REUSE", ".SIBLING_IGNORED_FOR_REUSE", ".NO_DO_FOR_SIBLING",        \
        ".NO_SIBLING_DO_CONTAINED_IN", ".INCREMENTAL_TARGET",                                   \
        ".INCREMENTAL_REPOSITORY_SIBLING", ".NOTPARALLEL", ".PRECIOUS", ".MAIN", nullptr,       \
        ".JAVA_TGTS", "macro ref", "include (as filename)", "filename", "filename$$@",           \
        "filename$$(", "filename$${", "filename$$letter", "filename$$", "archive(", "::", ":",  \
        ";", "line-continuation", "EOL", "whitespace", "` (shell command)", nullptr,            \
  }
const char *const kSmakeRuleNames[kRules + 1] = MF_BSD_RULE_NAMES("#include");
const char *const kBsdmakeRuleNames[kRules + 1] = MF_BSD_RULE_NAMES(".include");
#undef MF_BSD_RULE_NAMES

// Rules after which no token position is recorded: the byte-order mark, comments, the default.
struct rule_flags {
  uint8_t no_position[kRules + 1] = {};
  constexpr rule_flags() { no_position[1] = no_position[2] = no_position[59] = 1; }
};
constexpr rule_flags kFlags;

// Rule 3, a TAB run: at a line start it begins a script line where one is accepted.
int act_tab(const char *, int length, int) {
  if (mf_lex_column_one(length) == 0) return 0;
  return mf_lex_script_line("") != 0 ? SCRIPT_LINE : 0;
}

// Rule 10, define: a multi-line definition at a line start, else a file name.
int act_define(const char *text, int length, int) {
  if (mf_lex_column_one(length) != 0 && mf_lex_macro_def(text, BLDR_MACRO_OP_DEFINE) != 0)
    return MACRO_DEF;
  return mf_scan_act_file_name(text, length, 0);
}

// Rule 13, ".PATH." and a suffix: the search list of that suffix.
int act_suffix_path(const char *text, int, int) {
  mf_lex_suff_path_tgt(".PATH", text + 5);
  return SUFF_PATH_TGT;
}

// Rule 14, ".PATH": the search list of every file.
int act_all_path(const char *, int, int) {
  mf_lex_all_path_tgt(".PATH");
  return ALL_PATH_TGT;
}

// The rows of both scanners; they differ in the form that the plain include rule (5) hands to
// the reader.
struct rule_rows {
  mf_scan_rule_t row[kRules + 1] = {};
  constexpr explicit rule_rows(int include_form) {
    const int special_tokens[] = {
        SUFFIXES_TGT, IGNORE_TGT, SILENT_TGT, NO_CONFIG_REC, NO_WINK_IN, NO_CMP_SCRIPT,
        NO_PRINT_CMP_SCRIPT, NO_CMP_NON_MF_DEPS, NO_CONFIG_MATCH_SLINKS, SIBS_AFFECT_REUSE,
        MAKEFILES_IN_CONFIG_REC, MAKEFILES_AFFECT_REUSE, DEP_IGNORED, DIR_IGNORED, DIR_AFFECTS,
        DO_OID_IGNORED, SIB_IGNORED, NO_DO_FOR_SIB, NO_SIB_DO_CONTAINED_IN, INCR_TGT,
        INCR_REPOSITORY_SIB, NOT_PARALLEL_TGT};
    row[1] = {mf_scan_act_bom, 0};
    row[2] = {mf_scan_act_comment, 0};
    row[3] = {act_tab, 0};
    row[4] = {mf_scan_act_include, 0};
    row[5] = {mf_scan_act_include, include_form | MF_SCAN_INCLUDE_REQUIRED};
    row[6] = {mf_scan_act_include, 1 | MF_SCAN_INCLUDE_REQUIRED};
    row[7] = {mf_scan_act_definition, BLDR_MACRO_OP_COND};
    row[8] = {mf_scan_act_definition, BLDR_MACRO_OP_APPEND};
    row[9] = {mf_scan_act_definition, BLDR_MACRO_OP_EQ};
    row[10] = {act_define, 0};
    row[11] = {mf_scan_act_definition, BLDR_MACRO_OP_EXPAND};
    row[12] = {mf_scan_act_definition, BLDR_MACRO_OP_SHELL};
    row[13] = {act_suffix_path, 0};
    row[14] = {act_all_path, 0};
    row[15] = {mf_scan_act_special, NULL_TGT};
    row[16] = {mf_scan_act_attr_special, RECURS_TGT};
    for (int r = 17; r <= 38; ++r) row[r] = {mf_scan_act_special, special_tokens[r - 17]};
    row[39] = {mf_scan_act_attr_special, PRECIOUS_TGT};
    row[40] = {mf_scan_act_attr_special, MAIN_TGT};
    row[41] = {mf_scan_act_special, JAVAC};
    row[42] = {mf_scan_act_special, JAVA_TGTS};
    row[43] = {mf_scan_act_macro_ref, 0};
    row[44] = {mf_scan_act_file_name, 0};
    row[45] = {mf_scan_act_file_name, 0};
    for (int r = 46; r <= 49; ++r) row[r] = {mf_scan_act_dollar_name, 0};
    row[50] = {mf_scan_act_double_dollar, 0};
    row[51] = {mf_scan_act_archive, 0};
    row[52] = {mf_scan_act_double_colon, 0};
    row[53] = {mf_scan_act_colon, 0};
    row[54] = {mf_scan_act_semicolon, 0};
    row[55] = {mf_scan_act_continuation, 0};
    row[56] = {mf_scan_act_eol, 0};
    row[57] = {mf_scan_act_white_space, 0};
    row[58] = {mf_scan_act_back_quote, 0};
    row[59] = {mf_scan_act_unrecognized, 0};
  }
};
constexpr rule_rows kSmakeRows(2);
constexpr rule_rows kBsdmakeRows(0);

mf_scanner_t make_scanner(const char *prefix, const mf_scan_tables_t *tables,
                          const char *const *names) {
  mf_scanner_t init;
  init.dialect = "bsd";
  init.prefix = prefix;
  init.tables = tables;
  init.rule_names = names;
  init.trailing = nullptr;
  init.no_position = kFlags.no_position;
  init.bom_rule = 1;
  init.io = {nullptr, nullptr};
  return init;
}

mf_scanner_t &smake() {
  static mf_scanner_t s = make_scanner("mf_smake_", &mf_smake_scan_tables(), kSmakeRuleNames);
  return s;
}

mf_scanner_t &bsdmake() {
  static mf_scanner_t s =
      make_scanner("mf_bsdmake_", &mf_bsdmake_scan_tables(), kBsdmakeRuleNames);
  return s;
}

}  // namespace

int mf_smake_yylex(void) { return mf_scan_lex(&smake(), kSmakeRows.row, &mf_smake_yyleng); }

int mf_bsdmake_yylex(void) {
  return mf_scan_lex(&bsdmake(), kBsdmakeRows.row, &mf_bsdmake_yyleng);
}

void mf_smake_yyrestart() { mf_scan_restart(&smake()); }
void mf_bsdmake_yyrestart() { mf_scan_restart(&bsdmake()); }

int mf_smake_yywrap(void) { return 1; }
int mf_bsdmake_yywrap(void) { return 1; }

void mf_smake_yy_flex_wcs_to_shr_text(const wchar_t *wtext) { mf_scan_wcs_to_shr_text(wtext); }
void mf_bsdmake_yy_flex_wcs_to_shr_text(const wchar_t *wtext) { mf_scan_wcs_to_shr_text(wtext); }
