#include "mf/scan/mf_gmake_lex.h"

#include "mf/bldr_macro.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parser.h"
#include "mf/scan/mf_scan_act.h"

int mf_gmake_yyleng = 0;

namespace {

constexpr int kRules = 65;

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

struct rule_flags {
  uint8_t trailing[kRules + 1] = {};
  uint8_t no_position[kRules + 1] = {};
  constexpr rule_flags() {
    // vpath, export, unexport and override with one character of context.
    for (int r = 13; r <= 18; ++r) trailing[r] = 1;
    trailing[20] = 1;
    no_position[1] = no_position[3] = no_position[kRules] = 1;
  }
};
constexpr rule_flags kFlags;

// A definition with "?=", "+=" or "=" (arg: the operator): target-scoped after a colon on the
// line.
int definition(const char *text, int, int op) {
  if (mf_lex_macro_def(text, op) == 0) return 0;
  return mf_lex_scoped_macro_def_accepted_here() != 0 ? GNU_TGT_SCOPED : MACRO_DEF;
}

// ":=": simply expanded, target-scoped after a colon on the line.
int simple_definition(const char *text, int, int) {
  if (mf_lex_scoped_macro_def_accepted_here() != 0)
    return mf_lex_macro_def(text, BLDR_MACRO_OP_SCOPED_SIMPLE) != 0 ? GNU_TGT_SCOPED : 0;
  return mf_lex_macro_def(text, BLDR_MACRO_OP_GNU_SIMPLE) != 0 ? MACRO_DEF : 0;
}

// define at the start of a line opens a multi-line definition; elsewhere it is a name.
int define(const char *text, int length, int) {
  if (mf_lex_column_one(length) != 0 && mf_lex_macro_def(text, BLDR_MACRO_OP_DEFINE) != 0)
    return MACRO_DEF;
  return mf_scan_act_file_name(text, length, 0);
}

// override at the start of a line or in a target-scoped definition.
int override_word(const char *text, int length, int) {
  if (mf_lex_column_one(length) == 0 && mf_lex_scoped_macro_def_accepted_here() == 0)
    return mf_scan_act_file_name(text, length, 0);
  mf_lex_audible_newline();
  mf_lex_special_tgt(text);
  return OVERRIDE_SPEC;
}

// The order-only marker among prerequisites; the marker is its text.
int order_only(const char *text, int, int) {
  mf_lex_file_name(text);
  return GNU_ORDER_ONLY_SPECIFIER;
}

constexpr int kRequired = MF_SCAN_INCLUDE_REQUIRED;

const mf_scan_rule_t kRows[kRules + 1] = {
    {nullptr, 0},
    {mf_scan_act_bom, 0},
    {mf_scan_act_escaped_name, 0},
    {mf_scan_act_comment, 0},
    {mf_scan_act_tab_run, 0},
    {mf_scan_act_include, 4 | kRequired},
    {mf_scan_act_include, 4},
    {mf_scan_act_include, 4},
    {definition, BLDR_MACRO_OP_COND},
    {definition, BLDR_MACRO_OP_APPEND},
    {definition, BLDR_MACRO_OP_EQ},
    {define, 0},
    {simple_definition, 0},
    {mf_scan_act_line_start_directive, VPATH_SPEC},
    {mf_scan_act_line_start_directive, VPATH_SPEC},
    {mf_scan_act_line_start_directive, EXPORT_SPEC},
    {mf_scan_act_line_start_directive, EXPORT_SPEC},
    {mf_scan_act_line_start_directive, UNEXPORT_SPEC},
    {mf_scan_act_line_start_directive, UNEXPORT_SPEC},
    {mf_scan_act_special, EXPORT_ALL_TGT},
    {override_word, 0},
    {mf_scan_act_special, PHONY},
    {mf_scan_act_definition, BLDR_MACRO_OP_EQ},
    {mf_scan_act_special, SUFFIXES_TGT},
    {mf_scan_act_special, IGNORE_TGT},
    {mf_scan_act_special, SILENT_TGT},
    {mf_scan_act_special, NO_CONFIG_REC},
    {mf_scan_act_special, NO_WINK_IN},
    {mf_scan_act_special, NO_CMP_SCRIPT},
    {mf_scan_act_special, NO_PRINT_CMP_SCRIPT},
    {mf_scan_act_special, NO_CMP_NON_MF_DEPS},
    {mf_scan_act_special, NO_CONFIG_MATCH_SLINKS},
    {mf_scan_act_special, SIBS_AFFECT_REUSE},
    {mf_scan_act_special, MAKEFILES_IN_CONFIG_REC},
    {mf_scan_act_special, MAKEFILES_AFFECT_REUSE},
    {mf_scan_act_special, DEP_IGNORED},
    {mf_scan_act_special, DIR_IGNORED},
    {mf_scan_act_special, DIR_AFFECTS},
    {mf_scan_act_special, DO_OID_IGNORED},
    {mf_scan_act_special, SIB_IGNORED},
    {mf_scan_act_special, NO_DO_FOR_SIB},
    {mf_scan_act_special, NO_SIB_DO_CONTAINED_IN},
    {mf_scan_act_special, INCR_TGT},
    {mf_scan_act_special, INCR_REPOSITORY_SIB},
    {mf_scan_act_special, NOT_PARALLEL_TGT},
    {mf_scan_act_attr_special, PRECIOUS_TGT},
    {mf_scan_act_attr_special, MAIN_TGT},
    {mf_scan_act_special, JAVAC},
    {mf_scan_act_special, JAVA_TGTS},
    {mf_scan_act_macro_ref, 0},
    {mf_scan_act_file_name, 0},
    {mf_scan_act_dollar_name, 0},
    {mf_scan_act_dollar_name, 0},
    {mf_scan_act_dollar_name, 0},
    {mf_scan_act_dollar_name, 0},
    {mf_scan_act_double_dollar, 0},
    {mf_scan_act_archive, 0},
    {mf_scan_act_double_colon, 1},
    {mf_scan_act_colon, 1},
    {mf_scan_act_semicolon, 0},
    {mf_scan_act_continuation, 0},
    {mf_scan_act_eol, 0},
    {mf_scan_act_white_space, 0},
    {mf_scan_act_back_quote, 0},
    {order_only, 0},
    {mf_scan_act_unrecognized, 0},
};

// The dialect's scanner, named after it: the program's symbol order then brings forward the
// scanners of the dialects a run reads, not every function of that name.
mf_scanner_t &gmake_scanner() {
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

}  // namespace

int mf_gmake_yylex(void) { return mf_scan_lex(&gmake_scanner(), kRows, &mf_gmake_yyleng); }

void mf_gmake_yyrestart() { mf_scan_restart(&gmake_scanner()); }

int mf_gmake_yywrap(void) { return 1; }
