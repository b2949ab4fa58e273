#include "mf/scan/mf_sunmake_lex.h"

#include <string>

#include "mf/bldr_macro.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parser.h"
#include "mf/scan/mf_yylex.h"

int mf_sunmake_yyleng = 0;

namespace {

constexpr int kRules = 55;
constexpr int kDefaultRule = 55;

// Trace names of the rules (.JAVAC and the default rule write no rule trace).
const char *const kRuleNames[kRules + 1] = {
    nullptr,
    "BOM found", "FILE_NAME with esc char", "comment", "TAB", "sinclude", "include", "macro +=",
    "macro =", ":sh=", ".SUFFIXES", ".IGNORE", ".SILENT", ".NO_CONFIG_REC", ".NO_WINK_IN",
    ".NO_CMP_SCRIPT", ".NO_PRINT_CMP_SCRIPT", ".NO_CMP_NON_MF_DEPS", ".NO_CONFIG_MATCH_SLINKS",
    ".SIBLINGS_AFFECT_REUSE", ".MAKEFILES_IN_CONFIG_REC", ".MAKEFILES_AFFECT_REUSE",
    ".DEPENDENCY_IGNORED_FOR_REUSE", ".DIRECTORY_IGNORED_FOR_REUSE", ".DIRECTORY_AFFECTS_REUSE",
    ".DO_OID_IGNORED_FOR_REUSE", ".SIBLING_IGNORED_FOR_REUSE", ".NO_DO_FOR_SIBLING",
    ".NO_SIBLING_DO_CONTAINED_IN", ".INCREMENTAL_TARGET", ".INCREMENTAL_REPOSITORY_SIBLING",
    ".NOTPARALLEL", ".NO_PARALLEL", ".PRECIOUS", ".MAIN", nullptr, ".JAVA_TGTS", "macro ref",
    "include (as filename)", "filename", "filename$$@", "filename$$(", "filename$${",
    "filename$$letter", "filename$$", "archive(", ":=", "::", ":", ";", "line-continuation",
    "blank line", "EOL", "whitespace", "` (shell command)", nullptr,
};

// Tokens of the special-target rules 10 to 36.
int special_token(int rule) {
  static const int tokens[] = {
      SUFFIXES_TGT, IGNORE_TGT, SILENT_TGT, NO_CONFIG_REC, NO_WINK_IN, NO_CMP_SCRIPT,
      NO_PRINT_CMP_SCRIPT, NO_CMP_NON_MF_DEPS, NO_CONFIG_MATCH_SLINKS, SIBS_AFFECT_REUSE,
      MAKEFILES_IN_CONFIG_REC, MAKEFILES_AFFECT_REUSE, DEP_IGNORED, DIR_IGNORED, DIR_AFFECTS,
      DO_OID_IGNORED, SIB_IGNORED, NO_DO_FOR_SIB, NO_SIB_DO_CONTAINED_IN, INCR_TGT,
      INCR_REPOSITORY_SIB, NOT_PARALLEL_TGT, NOT_PARALLEL_TGT, PRECIOUS_TGT, MAIN_TGT, JAVAC,
      JAVA_TGTS,
  };
  return tokens[rule - 10];
}

struct rule_flags {
  uint8_t no_position[kRules + 1] = {};
  constexpr rule_flags() { no_position[1] = no_position[3] = no_position[kDefaultRule] = 1; }
};
constexpr rule_flags kFlags;

mf_scanner_t &scanner() {
  static mf_scanner_t s = [] {
    mf_scanner_t init;
    init.dialect = "sun";
    init.prefix = "mf_sunmake_";
    init.tables = &mf_sunmake_scan_tables();
    init.rule_names = kRuleNames;
    init.trailing = nullptr;
    init.no_position = kFlags.no_position;
    init.bom_rule = 1;
    init.io = {nullptr, nullptr};
    return init;
  }();
  return s;
}

int file_name(const char *text) {
  mf_lex_file_name(text);
  return FILE_NAME;
}

int script_line(const char *prefix) { return mf_lex_script_line(prefix) == 1 ? SCRIPT_LINE : 0; }

int definition(const char *text, int op) { return mf_lex_macro_def(text, op) != 0 ? MACRO_DEF : 0; }

// Runs the action of rule; the token it returns, or 0 to go on scanning.
int action(int rule, const char *text, int length) {
  switch (rule) {
    case 1: mf_lex_utl_BOM_handler(text); return 0;
    case 2: mf_lex_file_name_with_esc_char(text); return FILE_NAME;
    case 3: mf_lex_comment(); return 0;
    case 4:
      if (mf_lex_column_one(length) == 0) return 0;
      if (mf_lex_script_line_expected_here() == 0 && mf_lex_looks_like_macro_def() != 0) return 0;
      return script_line("");
    case 5:
    case 6:
      if (mf_lex_column_one(length) == 0) return file_name(text);
      if (rule == 5)
        mf_lex_include(0, 0);
      else
        mf_lex_include(1, 3);
      return 0;
    case 7: return definition(text, BLDR_MACRO_OP_APPEND);
    case 8: return definition(text, BLDR_MACRO_OP_EQ);
    case 9: return definition(text, BLDR_MACRO_OP_SHELL);
    case 33:
    case 34:
      if (mf_lex_attr_special_tgt(text) != 0) return special_token(rule);
      return file_name(text);
    case 37:
      mf_lex_enter_filename_context();
      mf_lex_exp_mac_str(text);
      mf_lex_exit_filename_context();
      return 0;
    case 38:
    case 39: return file_name(text);
    case 40:
    case 41:
    case 42:
    case 43: return mf_lex_macro_file_name(text, length) != 0 ? FILE_NAME : 0;
    case 44: return mf_lex_double_dollar_file_name(text) != 0 ? FILE_NAME : 0;
    case 45: return mf_lex_archive(text, length) != 0 ? ARCHIVE : 0;
    case 46: mf_lex_tgt_scoped_token(); return TGT_SCOPED;
    case 47:
      mf_scan_set_rule_position();
      mf_lex_double_colon();
      return DOUBLE_COLON;
    case 48:
      if (mf_lex_column_one(length) != 0 && text[0] == '\t' &&
          mf_lex_script_line_expected_here() != 0 && mf_lex_script_line(text) != 0)
        return SCRIPT_LINE;
      mf_scan_set_rule_position();
      mf_lex_single_colon();
      return SINGLE_COLON;
    case 49:
      if (mf_lex_eol(text) != 0) return END_OF_LINE;
      return script_line("");
    case 50: mf_lex_continuation_line(); return 0;
    case 51: return 0;
    case 52: return mf_lex_eol(text) != 0 ? END_OF_LINE : 0;
    case 53: mf_lex_white_space(); return 0;
    case 54: return mf_lex_shell_cmd(text, length) != 0 ? FILE_NAME : 0;
    case kDefaultRule: mf_lex_output(text); return 0;
    default:
      if (rule >= 10 && rule <= 36) {
        mf_lex_special_tgt(text);
        return special_token(rule);
      }
      mf_scan_fatal("fatal flex scanner internal error--no action found");
  }
}

}  // namespace

int mf_sunmake_yylex(void) {
  for (;;) {
    const int rule = mf_scan_next(&scanner());
    mf_sunmake_yyleng = scanner().leng;
    if (rule == 0) return 0;
    // The action may run helpers that reuse shr_text: it works on its own copy.
    std::string text(shr_text != nullptr ? shr_text : "");
    const int token = action(rule, text.c_str(), mf_sunmake_yyleng);
    if (token != 0) return mf_scan_trace_return(token);
  }
}

void mf_sunmake_yyrestart() { mf_scan_restart(&scanner()); }

int mf_sunmake_yywrap(void) { return 1; }
