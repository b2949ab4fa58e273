#include "mf/scan/mf_keltomake_lex.h"

#include "mf/bldr_macro.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parser.h"
#include "mf/scan/mf_scan_act.h"

int mf_keltomake_yyleng = 0;

namespace {

constexpr int kRules = 48;

// Trace names of the rules (.JAVAC and the default rule write no rule trace).
const char *const kRuleNames[kRules + 1] = {
    nullptr,
    "BOM found", "comment", "TAB", "sinclude", "include", "macro =", ".SUFFIXES", ".IGNORE",
    ".SILENT", ".POSIX", ".NO_CONFIG_REC", ".NO_WINK_IN", ".NO_CMP_SCRIPT", ".NO_PRINT_CMP_SCRIPT",
    ".NO_CMP_NON_MF_DEPS", ".NO_CONFIG_MATCH_SLINKS", ".SIBLINGS_AFFECT_REUSE",
    ".MAKEFILES_IN_CONFIG_REC", ".MAKEFILES_AFFECT_REUSE", ".DEPENDENCY_IGNORED_FOR_REUSE",
    ".DIRECTORY_IGNORED_FOR_REUSE", ".DIRECTORY_AFFECTS_REUSE", ".DO_OID_IGNORED_FOR_REUSE",
    ".SIBLING_IGNORED_FOR_REUSE", ".NO_DO_FOR_SIBLING", ".NO_SIBLING_DO_CONTAINED_IN",
    ".INCREMENTAL_TARGET", ".INCREMENTAL_REPOSITORY_SIBLING", ".NOTPARALLEL", ".PRECIOUS", ".MAIN",
    nullptr, ".JAVA_TGTS", "macro ref", "include (as filename)", "filename", "filename$$@",
    "filename$$(", "filename$$", "archive(", "::", ":", ";", "line-continuation", "EOL",
    "whitespace", "` (shell command)", nullptr,
};

struct rule_flags {
  uint8_t no_position[kRules + 1] = {};
  constexpr rule_flags() { no_position[1] = no_position[2] = no_position[kRules] = 1; }
};
constexpr rule_flags kFlags;

// A TAB at the start of a line begins a script line.
int tab_run(const char *, int length, int) {
  if (mf_lex_column_one(length) == 0) return 0;
  return mf_lex_script_line("") != 0 ? SCRIPT_LINE : 0;
}

const mf_scan_rule_t kRows[kRules + 1] = {
    {nullptr, 0},
    {mf_scan_act_bom, 0},
    {mf_scan_act_comment, 0},
    {tab_run, 0},
    {mf_scan_act_include, 0},
    {mf_scan_act_include, MF_SCAN_INCLUDE_REQUIRED},
    {mf_scan_act_definition, BLDR_MACRO_OP_EQ},
    {mf_scan_act_special, SUFFIXES_TGT},
    {mf_scan_act_special, IGNORE_TGT},
    {mf_scan_act_special, SILENT_TGT},
    {mf_scan_act_special, POSIX_TGT},
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
    {mf_scan_act_file_name, 0},
    {mf_scan_act_dollar_name, 0},
    {mf_scan_act_dollar_name, 0},
    {mf_scan_act_double_dollar, 0},
    {mf_scan_act_archive, 0},
    {mf_scan_act_double_colon, 0},
    {mf_scan_act_colon, 0},
    {mf_scan_act_semicolon, 0},
    {mf_scan_act_continuation, 0},
    {mf_scan_act_eol, 0},
    {mf_scan_act_white_space, 0},
    {mf_scan_act_back_quote, 0},
    {mf_scan_act_unrecognized, 0},
};

// The dialect's scanner, named after it: the program's symbol order then brings forward the
// scanners of the dialects a run reads, not every function of that name.
mf_scanner_t &keltomake_scanner() {
  static mf_scanner_t s = [] {
    mf_scanner_t init;
    init.dialect = "kelto";
    init.prefix = "mf_keltomake_";
    init.tables = &mf_keltomake_scan_tables();
    init.rule_names = kRuleNames;
    init.trailing = nullptr;
    init.no_position = kFlags.no_position;
    init.bom_rule = 1;
    init.io = {nullptr, nullptr};
    return init;
  }();
  return s;
}

}  // namespace

int mf_keltomake_yylex(void) {
  return mf_scan_lex(&keltomake_scanner(), kRows, &mf_keltomake_yyleng);
}

void mf_keltomake_yyrestart() { mf_scan_restart(&keltomake_scanner()); }

int mf_keltomake_yywrap(void) { return 1; }
