#include "mf/scan/mf_std_lex.h"

#include <cstring>
#include <string>

#include "mf/mf_io.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parser.h"
#include "mf/scan/mf_yylex.h"
#include "mf/mfc.h"

int mf_std_yyleng = 0;

namespace {

constexpr int kRules = 60;

// Trace names of the rules (rule 39, .JAVAC, and the default rule write no rule trace).
const char *const kRuleNames[kRules + 1] = {
    nullptr,
    "BOM found", "FILE_NAME with esc char", "comment", "TAB", "sinclude", "include", "macro +=",
    "macro =", "export", "export()", "unexport", "unexport()", ".EXPORT_ALL_VARIABLES", ":sh=",
    ".SUFFIXES", ".IGNORE", ".SILENT", ".NO_CONFIG_REC", ".NO_WINK_IN", ".NO_CMP_SCRIPT",
    ".NO_PRINT_CMP_SCRIPT", ".NO_CMP_NON_MF_DEPS", ".NO_CONFIG_MATCH_SLINKS",
    ".SIBLINGS_AFFECT_REUSE", ".MAKEFILES_IN_CONFIG_REC", ".MAKEFILES_AFFECT_REUSE",
    ".DEPENDENCY_IGNORED_FOR_REUSE", ".DIRECTORY_IGNORED_FOR_REUSE", ".DIRECTORY_AFFECTS_REUSE",
    ".DO_OID_IGNORED_FOR_REUSE", ".SIBLING_IGNORED_FOR_REUSE", ".NO_DO_FOR_SIBLING",
    ".NO_SIBLING_DO_CONTAINED_IN", ".INCREMENTAL_TARGET", ".INCREMENTAL_REPOSITORY_SIBLING",
    ".NOTPARALLEL", ".PRECIOUS", ".MAIN", nullptr, ".JAVA_TGTS", "macro ref",
    "include (as filename)", "filename", "filename$$@", "filename$$(", "filename$${",
    "filename$$letter", "filename$$", "archive(", ":=", "::", ":", ";", "line-continuation",
    "blank line", "EOL", "whitespace", "` (shell command)", nullptr, nullptr,
};

// Tokens of the special targets of rules 13 and 15 to 40.
int special_token(int rule) {
  static const int tokens[] = {
      SUFFIXES_TGT, IGNORE_TGT, SILENT_TGT, NO_CONFIG_REC, NO_WINK_IN, NO_CMP_SCRIPT,
      NO_PRINT_CMP_SCRIPT, NO_CMP_NON_MF_DEPS, NO_CONFIG_MATCH_SLINKS, SIBS_AFFECT_REUSE,
      MAKEFILES_IN_CONFIG_REC, MAKEFILES_AFFECT_REUSE, DEP_IGNORED, DIR_IGNORED, DIR_AFFECTS,
      DO_OID_IGNORED, SIB_IGNORED, NO_DO_FOR_SIB, NO_SIB_DO_CONTAINED_IN, INCR_TGT,
      INCR_REPOSITORY_SIB, NOT_PARALLEL_TGT, PRECIOUS_TGT, MAIN_TGT, JAVAC, JAVA_TGTS,
  };
  return rule == 13 ? EXPORT_ALL_TGT : tokens[rule - 15];
}

struct rule_flags {
  uint8_t trailing[kRules + 1] = {};
  uint8_t no_position[kRules + 1] = {};
  constexpr rule_flags() {
    for (int r = 9; r <= 12; ++r) trailing[r] = 1;  // export/unexport with one character of context
    no_position[1] = no_position[3] = no_position[59] = 1;
  }
};
constexpr rule_flags kFlags;

mf_scanner_t &scanner() {
  static mf_scanner_t s = [] {
    mf_scanner_t init;
    init.dialect = "std";
    init.tables = &mf_std_scan_tables();
    init.rule_names = kRuleNames;
    init.trailing = kFlags.trailing;
    init.no_position = kFlags.no_position;
    init.bom_rule = 1;
    init.io = {nullptr, nullptr};
    return init;
  }();
  return s;
}

// Rules 9 to 12: the word export or unexport.
int export_word(const char *text, int length, int token) {
  if (!mf_lex_column_one(length)) {
    mf_lex_file_name(text);
    return FILE_NAME;
  }
  if (text[0] == '\t' && mf_lex_script_line_expected_here() == 1 && mf_lex_script_line(text) == 1)
    return SCRIPT_LINE;
  mf_lex_audible_newline();
  return token;
}

// Runs the action of rule; the token it returns, or 0 to go on scanning.
int action(int rule, const char *text, int length) {
  switch (rule) {
    case 1: mf_lex_utl_BOM_handler(text); return 0;
    case 2: mf_lex_file_name_with_esc_char(text); return FILE_NAME;
    case 3: mf_lex_comment(); return 0;
    case 4:
      if (!mf_lex_column_one(length)) return 0;
      if (mf_lex_script_line_expected_here() == 1 || mf_lex_looks_like_macro_def() == 0)
        return mf_lex_script_line("") == 1 ? SCRIPT_LINE : 0;
      return 0;
    case 5:
    case 6:
      if (mf_lex_column_one(length) == 1) {
        mf_lex_include(rule == 6 ? 1 : 0, 0);
        return 0;
      }
      mf_lex_file_name(text);
      return FILE_NAME;
    case 7: return mf_lex_macro_def(text, 4) == 1 ? MACRO_DEF : 0;
    case 8: return mf_lex_macro_def(text, 0) == 1 ? MACRO_DEF : 0;
    case 9:
    case 10: return export_word(text, length, EXPORT_SPEC);
    case 11:
    case 12: return export_word(text, length, UNEXPORT_SPEC);
    case 14: return mf_lex_macro_def(text, 3) == 1 ? MACRO_DEF : 0;
    case 37:
    case 38:
      if (mf_lex_attr_special_tgt(text) == 1) return special_token(rule);
      mf_lex_file_name(text);
      return FILE_NAME;
    case 41:
      mf_lex_enter_filename_context();
      mf_lex_exp_mac_str(text);
      mf_lex_exit_filename_context();
      return 0;
    case 42:
    case 43: mf_lex_file_name(text); return FILE_NAME;
    case 44:
    case 45:
    case 46:
    case 47: return mf_lex_macro_file_name(text, length) == 1 ? FILE_NAME : 0;
    case 48: return mf_lex_double_dollar_file_name(text) == 1 ? FILE_NAME : 0;
    case 49: return mf_lex_archive(text, length) == 1 ? ARCHIVE : 0;
    case 50: mf_lex_tgt_scoped_token(); return TGT_SCOPED;
    case 51:
      mf_scan_set_rule_position();
      mf_lex_double_colon();
      return DOUBLE_COLON;
    case 52:
      if (mf_lex_column_one(length) == 1 && text[0] == '\t' &&
          mf_lex_script_line_expected_here() == 1 && mf_lex_script_line(text) == 1)
        return SCRIPT_LINE;
      mf_scan_set_rule_position();
      mf_lex_single_colon();
      return SINGLE_COLON;
    case 53:
      if (mf_lex_eol(text) == 1) return END_OF_LINE;
      return mf_lex_script_line("") == 1 ? SCRIPT_LINE : 0;
    case 54: mf_lex_continuation_line(); return 0;
    case 55: return 0;
    case 56: return mf_lex_eol(text) == 1 ? END_OF_LINE : 0;
    case 57: mf_lex_white_space(); return 0;
    case 58: return mf_lex_shell_cmd(text, length) == 1 ? FILE_NAME : 0;
    case 59: mf_lex_output(text); return 0;
    default:
      if (rule == 13 || (rule >= 15 && rule <= 40)) {
        mf_lex_special_tgt(text);
        return special_token(rule);
      }
      mf_scan_fatal("fatal flex scanner internal error--no action found");
  }
}

}  // namespace

int mf_std_yylex(void) {
  for (;;) {
    const int rule = mf_scan_next(&scanner());
    mf_std_yyleng = scanner().leng;
    if (rule == 0) {
      mf_std_yywrap();
      return 0;
    }
    // The action may run scanners' helpers that reuse shr_text: it works on its own copy.
    std::string text(shr_text != nullptr ? shr_text : "");
    const int token = action(rule, text.c_str(), mf_std_yyleng);
    if (token != 0) return mf_scan_trace_return(token);
  }
}

void mf_std_yyrestart() { mf_scan_restart(&scanner()); }

int mf_std_yywrap(void) { return 1; }

void mf_std_yy_flex_wcs_to_shr_text(const wchar_t *wtext) { mf_scan_wcs_to_shr_text(wtext); }
