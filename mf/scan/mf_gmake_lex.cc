#include "mf/scan/mf_gmake_lex.h"

#include <string>

#include "mf/bldr_macro.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parser.h"
#include "mf/scan/mf_yylex.h"

int mf_gmake_yyleng = 0;

namespace {

constexpr int kRules = 65;
constexpr int kDefaultRule = 65;

// Trace names of the rules (.JAVAC and the default rule write no rule trace).
const char *const kRuleNames[kRules + 1] = {
    nullptr,
    "BOM found", "FILE_NAME with esc char", "comment", "TAB", "WS include", "WS -include",
    "WS sinclude", "macro ?=", "macro +=", "macro =", "define", "macro :=", "vpath", "vpath()",
    "export", "export()", "unexport", "unexport()", ".EXPORT_ALL_VARIABLES", "override", ".PHONY",
    "special_char=", ".SUFFIXES", ".IGNORE", ".SILENT", ".NO_CONFIG_REC", ".NO_WINK_IN",
    ".NO_CMP_SCRIPT", ".NO_PRINT_CMP_SCRIPT", ".NO_CMP_NON_MF_DEPS", ".NO_CONFIG_MATCH_SLINKS",
    ".SIBLINGS_AFFECT_REUSE", ".MAKEFILES_IN_CONFIG_REC", ".MAKEFILES_AFFECT_REUSE",
    ".DEPENDENCY_IGNORED_FOR_REUSE", ".DIRECTORY_IGNORED_FOR_REUSE", ".DIRECTORY_AFFECTS_REUSE",
    ".DO_OID_IGNORED_FOR_REUSE", ".SIBLING_IGNORED_FOR_REUSE", ".NO_DO_FOR_SIBLING",
    ".NO_SIBLING_DO_CONTAINED_IN", ".INCREMENTAL_TARGET", ".INCREMENTAL_REPOSITORY_SIBLING",
    ".NOTPARALLEL", ".PRECIOUS", ".MAIN", nullptr, ".JAVA_TGTS", "macro ref", "filename",
    "filename$$@", "filename$$(", "filename$${", "filename$$letter", "filename$$", "archive(",
    "::", ":", ";", "line-continuation", "EOL", "whitespace", "` (shell command)",
    "| (GNU order-only specifier)", nullptr,
};

// Tokens of the special-target rules 19, 21 and 23 to 48 (0 for the other rules).
struct special_tokens {
  int token[kRules + 1] = {};
  constexpr special_tokens() {
    token[19] = EXPORT_ALL_TGT;
    token[21] = PHONY;
    const int from23[] = {
        SUFFIXES_TGT, IGNORE_TGT, SILENT_TGT, NO_CONFIG_REC, NO_WINK_IN, NO_CMP_SCRIPT,
        NO_PRINT_CMP_SCRIPT, NO_CMP_NON_MF_DEPS, NO_CONFIG_MATCH_SLINKS, SIBS_AFFECT_REUSE,
        MAKEFILES_IN_CONFIG_REC, MAKEFILES_AFFECT_REUSE, DEP_IGNORED, DIR_IGNORED, DIR_AFFECTS,
        DO_OID_IGNORED, SIB_IGNORED, NO_DO_FOR_SIB, NO_SIB_DO_CONTAINED_IN, INCR_TGT,
        INCR_REPOSITORY_SIB, NOT_PARALLEL_TGT, PRECIOUS_TGT, MAIN_TGT, JAVAC, JAVA_TGTS,
    };
    for (int i = 0; i < 26; ++i) token[23 + i] = from23[i];
  }
};
constexpr special_tokens kSpecial;

struct rule_flags {
  uint8_t trailing[kRules + 1] = {};
  uint8_t no_position[kRules + 1] = {};
  constexpr rule_flags() {
    // vpath, export, unexport and override with one character of context.
    for (int r = 13; r <= 18; ++r) trailing[r] = 1;
    trailing[20] = 1;
    no_position[1] = no_position[3] = no_position[kDefaultRule] = 1;
  }
};
constexpr rule_flags kFlags;

mf_scanner_t &scanner() {
  static mf_scanner_t s = [] {
    mf_scanner_t init;
    init.dialect = "gnu";
    init.prefix = "mf_gmake_";
    init.tables = &mf_gmake_scan_tables();
    init.rule_names = kRuleNames;
    init.trailing = kFlags.trailing;
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

// A macro definition with "?=", "+=" or "=": target-scoped after a colon on the line.
int definition(const char *text, int op) {
  if (mf_lex_macro_def(text, op) == 0) return 0;
  return mf_lex_scoped_macro_def_accepted_here() != 0 ? GNU_TGT_SCOPED : MACRO_DEF;
}

// vpath, export and unexport at the start of a line (rules 13 to 18).
int line_start_directive(int rule, const char *text, int length) {
  if (mf_lex_column_one(length) == 0) return file_name(text);
  if (text[0] == '\t' && mf_lex_script_line_expected_here() != 0 &&
      mf_lex_script_line(text) != 0)
    return SCRIPT_LINE;
  mf_lex_audible_newline();
  if (rule <= 14) {
    mf_lex_vpath_dir(text);
    return VPATH_SPEC;
  }
  return rule <= 16 ? EXPORT_SPEC : UNEXPORT_SPEC;
}

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
    case 7:
      if (mf_lex_column_one(length) == 0) return file_name(text);
      mf_lex_include(rule == 5 ? 1 : 0, 4);
      return 0;
    case 8: return definition(text, BLDR_MACRO_OP_COND);
    case 9: return definition(text, BLDR_MACRO_OP_APPEND);
    case 10: return definition(text, BLDR_MACRO_OP_EQ);
    case 11:
      if (mf_lex_column_one(length) == 0) return file_name(text);
      return mf_lex_macro_def(text, BLDR_MACRO_OP_DEFINE) != 0 ? MACRO_DEF : file_name(text);
    case 12:
      if (mf_lex_scoped_macro_def_accepted_here() != 0)
        return mf_lex_macro_def(text, BLDR_MACRO_OP_SCOPED_SIMPLE) != 0 ? GNU_TGT_SCOPED : 0;
      return mf_lex_macro_def(text, BLDR_MACRO_OP_GNU_SIMPLE) != 0 ? MACRO_DEF : 0;
    case 13:
    case 14:
    case 15:
    case 16:
    case 17:
    case 18: return line_start_directive(rule, text, length);
    case 20:
      if (mf_lex_column_one(length) == 0 && mf_lex_scoped_macro_def_accepted_here() == 0)
        return file_name(text);
      mf_lex_audible_newline();
      mf_lex_special_tgt(text);
      return OVERRIDE_SPEC;
    case 22: return mf_lex_macro_def(text, BLDR_MACRO_OP_EQ) != 0 ? MACRO_DEF : 0;
    case 45:
    case 46:
      if (mf_lex_attr_special_tgt(text) != 0) return kSpecial.token[rule];
      return file_name(text);
    case 49:
      mf_lex_enter_filename_context();
      mf_lex_exp_mac_str(text);
      mf_lex_exit_filename_context();
      return 0;
    case 50: return file_name(text);
    case 51:
    case 52:
    case 53:
    case 54: return mf_lex_macro_file_name(text, length) != 0 ? FILE_NAME : 0;
    case 55: return mf_lex_double_dollar_file_name(text) != 0 ? FILE_NAME : 0;
    case 56: return mf_lex_archive(text, length) != 0 ? ARCHIVE : 0;
    case 57:
      mf_scan_set_rule_position();
      mf_lex_double_colon();
      mf_lex_claim_scoped_macro_def_accepted_here(1);
      return DOUBLE_COLON;
    case 58:
      if (mf_lex_column_one(length) != 0 && text[0] == '\t' &&
          mf_lex_script_line_expected_here() != 0 && mf_lex_script_line(text) != 0)
        return SCRIPT_LINE;
      mf_scan_set_rule_position();
      mf_lex_single_colon();
      mf_lex_claim_scoped_macro_def_accepted_here(1);
      return SINGLE_COLON;
    case 59:
      if (mf_lex_eol(text) != 0) return END_OF_LINE;
      return script_line("");
    case 60: mf_lex_continuation_line(); return 0;
    case 61: return mf_lex_eol(text) != 0 ? END_OF_LINE : 0;
    case 62: mf_lex_white_space(); return 0;
    case 63: return mf_lex_shell_cmd(text, length) != 0 ? FILE_NAME : 0;
    case 64: mf_lex_file_name(text); return GNU_ORDER_ONLY_SPECIFIER;
    case kDefaultRule: mf_lex_output(text); return 0;
    default:
      if (rule > 0 && rule <= kRules && kSpecial.token[rule] != 0) {
        mf_lex_special_tgt(text);
        return kSpecial.token[rule];
      }
      mf_scan_fatal("fatal flex scanner internal error--no action found");
  }
}

}  // namespace

int mf_gmake_yylex(void) {
  for (;;) {
    const int rule = mf_scan_next(&scanner());
    mf_gmake_yyleng = scanner().leng;
    if (rule == 0) return 0;
    // The action may run helpers that reuse shr_text: it works on its own copy.
    std::string text(shr_text != nullptr ? shr_text : "");
    const int token = action(rule, text.c_str(), mf_gmake_yyleng);
    if (token != 0) return mf_scan_trace_return(token);
  }
}

void mf_gmake_yyrestart() { mf_scan_restart(&scanner()); }

int mf_gmake_yywrap(void) { return 1; }
