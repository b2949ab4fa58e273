#include "mf/scan/mf_bsd_lex.h"

#include <string>

#include "mf/mf_io.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parser.h"
#include "mf/mfc.h"

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

// What sets one scanner apart.
struct dialect_t {
  mf_scanner_t *scanner;
  int *yyleng;
  int include_form;  // the form that the plain include rule (5) hands to mf_lex_include
};

mf_scanner_t make_scanner(const mf_scan_tables_t *tables, const char *const *names) {
  mf_scanner_t init;
  init.dialect = "bsd";
  init.tables = tables;
  init.rule_names = names;
  init.trailing = nullptr;
  init.no_position = kFlags.no_position;
  init.bom_rule = 1;
  init.io = {nullptr, nullptr};
  return init;
}

const dialect_t &smake() {
  static mf_scanner_t s = make_scanner(&mf_smake_scan_tables(), kSmakeRuleNames);
  static const dialect_t d = {&s, &mf_smake_yyleng, 2};
  return d;
}

const dialect_t &bsdmake() {
  static mf_scanner_t s = make_scanner(&mf_bsdmake_scan_tables(), kBsdmakeRuleNames);
  static const dialect_t d = {&s, &mf_bsdmake_yyleng, 0};
  return d;
}

// Tokens of the special targets of rules 15 and 17 to 42.
int special_token(int rule) {
  static const int tokens[] = {
      SUFFIXES_TGT, IGNORE_TGT, SILENT_TGT, NO_CONFIG_REC, NO_WINK_IN, NO_CMP_SCRIPT,
      NO_PRINT_CMP_SCRIPT, NO_CMP_NON_MF_DEPS, NO_CONFIG_MATCH_SLINKS, SIBS_AFFECT_REUSE,
      MAKEFILES_IN_CONFIG_REC, MAKEFILES_AFFECT_REUSE, DEP_IGNORED, DIR_IGNORED, DIR_AFFECTS,
      DO_OID_IGNORED, SIB_IGNORED, NO_DO_FOR_SIB, NO_SIB_DO_CONTAINED_IN, INCR_TGT,
      INCR_REPOSITORY_SIB, NOT_PARALLEL_TGT, PRECIOUS_TGT, MAIN_TGT, JAVAC, JAVA_TGTS,
  };
  return rule == 15 ? NULL_TGT : tokens[rule - 17];
}

void set_statement_position() {
  if (mfc_parse_op_rec_p == nullptr) return;
  mfc_parse_op_rec_p->statement_line = mf_io_source_line;
  mfc_parse_op_rec_p->statement_file = mf_io_source_file;
}

int file_name(const char *text) {
  mf_lex_file_name(text);
  return FILE_NAME;
}

// An include directive (rules 4 to 6): read by the reader in column one, a file name elsewhere.
int include(const char *text, int length, int required, int form) {
  if (mf_lex_column_one(length) != 1) return file_name(text);
  mf_lex_include(required, form);
  return 0;
}

int macro_def(const char *text, int32_t op) { return mf_lex_macro_def(text, op) == 1 ? MACRO_DEF : 0; }

// Runs the action of rule; the token it returns, or 0 to go on scanning.
int action(const dialect_t &d, int rule, const char *text, int length) {
  switch (rule) {
    case 1: mf_lex_utl_BOM_handler(text); return 0;
    case 2: mf_lex_comment(); return 0;
    case 3:
      if (mf_lex_column_one(length) != 1) return 0;
      return mf_lex_script_line("") == 1 ? SCRIPT_LINE : 0;
    case 4: return include(text, length, 0, 0);
    case 5: return include(text, length, 1, d.include_form);
    case 6: return include(text, length, 1, 1);
    case 7: return macro_def(text, 5);
    case 8: return macro_def(text, 4);
    case 9: return macro_def(text, 0);
    case 10:
      if (mf_lex_column_one(length) == 1 && mf_lex_macro_def(text, 6) == 1) return MACRO_DEF;
      return file_name(text);
    case 11: return macro_def(text, 1);
    case 12: return macro_def(text, 3);
    case 13: mf_lex_suff_path_tgt(".PATH", text + 5); return SUFF_PATH_TGT;
    case 14: mf_lex_all_path_tgt(".PATH"); return ALL_PATH_TGT;
    case 16: return mf_lex_attr_special_tgt(text) == 1 ? RECURS_TGT : file_name(text);
    case 39:
    case 40: return mf_lex_attr_special_tgt(text) == 1 ? special_token(rule) : file_name(text);
    case 43:
      mf_lex_enter_filename_context();
      mf_lex_exp_mac_str(text);
      mf_lex_exit_filename_context();
      return 0;
    case 44:
    case 45: return file_name(text);
    case 46:
    case 47:
    case 48:
    case 49: return mf_lex_macro_file_name(text, length) == 1 ? FILE_NAME : 0;
    case 50: return mf_lex_double_dollar_file_name(text) == 1 ? FILE_NAME : 0;
    case 51: return mf_lex_archive(text, length) == 1 ? ARCHIVE : 0;
    case 52:
      set_statement_position();
      mf_lex_double_colon();
      return DOUBLE_COLON;
    case 53:
      if (mf_lex_column_one(length) == 1 && text[0] == '\t' &&
          mf_lex_script_line_expected_here() == 1 && mf_lex_script_line(text) == 1)
        return SCRIPT_LINE;
      set_statement_position();
      mf_lex_single_colon();
      return SINGLE_COLON;
    case 54:
      if (mf_lex_eol(text) == 1) return END_OF_LINE;
      return mf_lex_script_line("") == 1 ? SCRIPT_LINE : 0;
    case 55: mf_lex_continuation_line(); return 0;
    case 56: return mf_lex_eol(text) == 1 ? END_OF_LINE : 0;
    case 57: mf_lex_white_space(); return 0;
    case 58: return mf_lex_shell_cmd(text, length) == 1 ? FILE_NAME : 0;
    case 59: mf_lex_output(text); return 0;
    default:
      if (rule == 15 || (rule >= 17 && rule <= 42)) {
        mf_lex_special_tgt(text);
        return special_token(rule);
      }
      mf_scan_fatal("fatal flex scanner internal error--no action found");
  }
}

int next_token(const dialect_t &d) {
  for (;;) {
    const int rule = mf_scan_next(d.scanner);
    *d.yyleng = d.scanner->leng;
    if (rule == 0) return 0;
    // The action may run scanners' helpers that reuse shr_text: it works on its own copy.
    std::string text(shr_text != nullptr ? shr_text : "");
    const int token = action(d, rule, text.c_str(), *d.yyleng);
    if (token != 0) return mf_scan_trace_return(token);
  }
}

}  // namespace

int mf_smake_yylex(void) { return next_token(smake()); }
int mf_bsdmake_yylex(void) { return next_token(bsdmake()); }

void mf_smake_yyrestart() { mf_scan_restart(smake().scanner); }
void mf_bsdmake_yyrestart() { mf_scan_restart(bsdmake().scanner); }

int mf_smake_yywrap(void) { return 1; }
int mf_bsdmake_yywrap(void) { return 1; }

void mf_smake_yy_flex_wcs_to_shr_text(const wchar_t *wtext) { mf_scan_wcs_to_shr_text(wtext); }
void mf_bsdmake_yy_flex_wcs_to_shr_text(const wchar_t *wtext) { mf_scan_wcs_to_shr_text(wtext); }
