#include "mf/opts_parser.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "ks/imsg.h"
#include "ks/pfm.h"
#include "mf/bldr_macro.h"
#include "mf/bldr_opts.h"
#include "mf/mf_io.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parse_utl.h"
#include "mf/mf_tgt.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "opts_parser_gram.h"
#include "tbs/tbs_status.h"

namespace {

constexpr int kRules = 37;
constexpr const char *kTrace = "opts_parser";

// Tokens of the special targets of rules 9 to 29.
const int kSpecialTokens[] = {
    NO_CONFIG_REC,
    NO_WINK_IN,
    NO_CMP_SCRIPT,
    NO_PRINT_CMP_SCRIPT,
    NO_CMP_NON_MF_DEPS,
    NO_CONFIG_MATCH_SLINKS,
    SIBS_AFFECT_REUSE,
    MAKEFILES_IN_CONFIG_REC,
    MAKEFILES_AFFECT_REUSE,
    DEP_IGNORED,
    DIR_IGNORED,
    DIR_AFFECTS,
    DO_OID_IGNORED,
    SIB_IGNORED,
    NO_DO_FOR_SIB,
    NO_SIB_DO_CONTAINED_IN,
    INCR_TGT,
    INCR_REPOSITORY_SIB,
    NOT_PARALLEL_TGT,
    JAVAC,
    JAVA_TGTS,
};

// No rule records a source position in the parse options.
struct all_rules {
  uint8_t flags[kRules + 2] = {};
  constexpr all_rules() {
    for (auto &f : flags) f = 1;
  }
};
constexpr all_rules kNoPosition;

// The refill reads one wide character at a time from the input stack.
int get_one(wchar_t *dest, int max) {
  if (max <= 0) return 0;
  const wchar_t c = mf_io_get_wc();
  if (c == L'\0') return 0;
  dest[0] = c;
  return 1;
}

int unput_one(wchar_t c) { return mf_io_unput_wc(c); }

mf_scanner_t &scanner() {
  static mf_scanner_t s = [] {
    mf_scanner_t init;
    init.dialect = "opts";
    init.tables = &opts_scan_tables();
    init.rule_names = nullptr;
    init.trailing = nullptr;
    init.no_position = kNoPosition.flags;
    init.bom_rule = 0;
    init.io = {get_one, unput_one, mf_io_change_count};
    return init;
  }();
  return s;
}

// Runs the action of rule; the token it returns, or 0 to go on scanning.
int action(int rule, const char *text) {
  switch (rule) {
    case 1:
      mf_lex_comment();
      return 0;
    case 2:
      mf_lex_exp_mac_str(text);
      return 0;
    case 3:
      mf_lex_include(0, 0);
      return 0;
    case 4:
      mf_lex_include(1, 0);
      return 0;
    case 5:
      return mf_lex_macro_def(text, BLDR_MACRO_OP_EQ) == 1 ? MACRO_DEF : 0;
    case 6:
      return mf_lex_macro_def(text, BLDR_MACRO_OP_APPEND) == 1 ? MACRO_DEF : 0;
    case 7:
      return mf_lex_macro_def(text, BLDR_MACRO_OP_SHELL) == 1 ? MACRO_DEF : 0;
    case 8:
      return TGT_SCOPED;
    case 30:
      mf_lex_double_colon();
      return DOUBLE_COLON;
    case 31:
      mf_lex_single_colon();
      return SINGLE_COLON;
    case 32:
    case 33:
      mf_lex_file_name(text);
      return FILE_NAME;
    case 34:
      mf_lex_continuation_line();
      return 0;
    case 35:
      return mf_lex_eol(text) == 1 ? END_OF_LINE : 0;
    case 36:
      mf_lex_white_space();
      return 0;
    case 37:
      // A character no rule accepts makes the file malformed: reported, and the parse fails.
      mf_lex_output(text);
      return 0;
    default:
      if (rule >= 9 && rule <= 29) {
        mf_lex_special_tgt(text);
        return kSpecialTokens[rule - 9];
      }
      mf_scan_fatal("fatal flex scanner internal error--no action found");
  }
}

bool trace_on(int level) { return mf_verbosity > level - 1 || mf_utl_should_trace(kTrace, level); }

void trace_list(list_handle_t list) {
  if (list == LIST_HANDLE_NULL) return;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    imsg_print(IMSG_TRACE_CONT, "\t%s\n", -1, static_cast<const char *>(d));
}

void trace_special(const char *action, const char *name, list_handle_t list, bool with_list) {
  if (!trace_on(4)) return;
  if (with_list) {
    imsg_print(IMSG_TRACE, "%s recognized %s special target with list:\n", -1, action, name);
    trace_list(list);
  } else {
    imsg_print(IMSG_TRACE, "%s recognized %s special target\n", -1, action, name);
  }
}

void add_kind(const char *action, const char *name, list_handle_t list,
              bldr_opts_patt_kind_t kind) {
  trace_special(action, name, list, true);
  bldr_opts_add_special_tgt_list(mfc_curr_opts_handle, kind, list, name);
}

bool is_empty(list_handle_t list) { return list == LIST_HANDLE_NULL || list_is_empty(list); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Scanner.

int opts_yylex(void) {
  for (;;) {
    const int rule = mf_scan_next(&scanner());
    if (rule == 0) return 0;
    std::string text(shr_text != nullptr ? shr_text : "");
    const int token = action(rule, text.c_str());
    if (token != 0) return token;
  }
}

void opts_yyrestart() { mf_scan_restart(&scanner()); }

int opts_yyerror(const char *message) {
  mf_parser_failed = 1;
  imsg_print(IMSG_ERROR, &_mf_parser_karsel_msg_table, MF_PARSER_MSG_POSITION,
             mf_io_source_file != nullptr ? mf_io_source_file : "", mf_io_source_line);
  imsg_print(IMSG_ERROR_CONT, "%s\n", -1, message);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Semantic actions.

void opts_sem_done() {
  if (trace_on(3)) imsg_print(IMSG_TRACE, "Done parsing build options specs\n\n", -1);
}

void opts_sem_macro_def() {
  bldr_macro_def_t *def = &mf_macro_definition;
  const uint32_t variant = mf_parse_compat_variant();
  // A "+=" grows the value in place where it can (a traced parse shows the value before it is
  // stored, so it goes the general way).
  if (!trace_on(4) && mfc_opts_specs_macro_table != nullptr) {
    const char *appended = nullptr;
    const int done = bldr_macro_append_in_place(def, mfc_mf_macro_table_list,
                                                mfc_opts_specs_macro_table, &appended);
    if (done < 0 ||
        (done == 1 && bldr_opts_export_variable(mfc_curr_opts_handle, def->name) != KS_ST_OK))
      mf_parser_failed = 1;
    if (done != 0) return;
  }
  char *value = nullptr;
  uint32_t flags = 0;
  if (bldr_macro_perform_macro_def(def, mfc_mf_macro_table_list,
                                   bldr_macro_compat_to_macro_flavor(variant), &value,
                                   &flags) != KS_ST_OK) {
    mf_parser_failed = 1;
    return;
  }
  if (value == nullptr) return;
  if (trace_on(4))
    imsg_print(IMSG_TRACE, "Recognized macro def. Name: \"%s\",  Value: \"%s\"\n", -1, def->name,
               value);
  if (mfc_opts_specs_macro_table == nullptr ||
      bldr_macro_define(mfc_opts_specs_macro_table, def->name, value, flags) != KS_ST_OK ||
      bldr_opts_export_variable(mfc_curr_opts_handle, def->name) != KS_ST_OK)
    mf_parser_failed = 1;
  stg_free(value);
}

void opts_sem_tgt_scoped_mac_def(list_handle_t targets) {
  bldr_macro_def_t *def = &mf_macro_definition;
  if (trace_on(4)) {
    imsg_print(IMSG_TRACE,
               "Recognized tgt-scoped macro def. Name: \"%s\",  Value: \"%s\"\nTargets:\n", -1,
               def->name, def->value != nullptr ? def->value : "");
    trace_list(targets);
  }
  uint32_t expanded = 0;
  if (bldr_opts_tgt_scoped_macro_def(mfc_curr_opts_handle, BLDR_OPTS_SIDE_BOS, targets, def,
                                     &expanded) != KS_ST_OK)
    mf_parser_failed = 1;
}

void opts_sem_no_config_rec(const char *n, list_handle_t l) {
  add_kind("opts_sem_no_config_rec", n, l, BLDR_OPTS_NO_CONFIG_REC);
}
void opts_sem_no_wink_in(const char *n, list_handle_t l) {
  add_kind("opts_sem_no_wink_in", n, l, BLDR_OPTS_NO_WINK_IN);
}
void opts_sem_no_cmp_script(const char *n, list_handle_t l) {
  add_kind("opts_sem_no_cmp_script", n, l, BLDR_OPTS_NO_CMP_SCRIPT);
}
void opts_sem_no_print_cmp_script(const char *n, list_handle_t l) {
  add_kind("opts_sem_no_print_cmp_script", n, l, BLDR_OPTS_NO_PRINT_CMP_SCRIPT);
}
void opts_sem_no_cmp_non_mf_deps(const char *n, list_handle_t l) {
  add_kind("opts_sem_no_cmp_non_mf_deps", n, l, BLDR_OPTS_NO_CMP_NON_MF_DEPS);
}
void opts_sem_no_config_match_slinks(const char *n, list_handle_t l) {
  add_kind("opts_sem_no_config_match_slinks", n, l, BLDR_OPTS_NO_CONFIG_MATCH_SLINKS);
}
void opts_sem_incr_tgt(const char *n, list_handle_t l) {
  add_kind("opts_sem_incr_tgt", n, l, BLDR_OPTS_INCREMENTAL_TARGET);
}
void opts_sem_makefiles_in_config_rec(const char *n, list_handle_t l) {
  add_kind("opts_sem_makefiles_in_config_rec", n, l, BLDR_OPTS_MAKEFILES_IN_CONFIG_REC);
}
void opts_sem_dep_ignored(const char *n, list_handle_t l) {
  add_kind("opts_sem_dep_ignored", n, l, BLDR_OPTS_DEPENDENCY_IGNORED_FOR_REUSE);
}
void opts_sem_dir_ignored(const char *n, list_handle_t l) {
  add_kind("opts_sem_dir_ignored", n, l, BLDR_OPTS_DIRECTORY_IGNORED_FOR_REUSE);
}
void opts_sem_dir_affects(const char *n, list_handle_t l) {
  add_kind("opts_sem_dir_affects", n, l, BLDR_OPTS_DIRECTORY_AFFECTS_REUSE);
}
void opts_sem_sib_ignored(const char *n, list_handle_t l) {
  add_kind("opts_sem_sib_ignored", n, l, BLDR_OPTS_SIBLING_IGNORED_FOR_REUSE);
}
void opts_sem_no_do_for_sib(const char *n, list_handle_t l) {
  add_kind("opts_sem_no_do_for_sib", n, l, BLDR_OPTS_NO_DO_FOR_SIBLING);
}
void opts_sem_no_sib_do_contained_in(const char *n, list_handle_t l) {
  add_kind("opts_sem_no_sib_do_contained_in", n, l, BLDR_OPTS_NO_SIBLING_DO_CONTAINED_IN);
}
void opts_sem_incr_repository_sib(const char *n, list_handle_t l) {
  add_kind("opts_sem_incr_repository_sib", n, l, BLDR_OPTS_INCREMENTAL_REPOSITORY_SIBLING);
}
void opts_sem_do_oid_ignored(const char *n, list_handle_t l) {
  add_kind("opts_sem_do_oid_ignored", n, l, BLDR_OPTS_DO_OID_IGNORED_FOR_REUSE);
}

void opts_sem_not_parallel(const char *name, list_handle_t list) {
  trace_special("opts_sem_not_parallel", name, list, false);
  if (!is_empty(list)) {
    bldr_opts_add_parallel_interference_set(mfc_curr_opts_handle, list, 1);
  } else if (mfc_parse_op_rec_p != nullptr) {
    mfc_parse_op_rec_p->not_parallel = 1;
  }
}

void opts_sem_sibs_affect_reuse(const char *name) {
  trace_special("opts_sem_sibs_affect_reuse", name, LIST_HANDLE_NULL, false);
  if (mfc_parse_op_rec_p != nullptr) mfc_parse_op_rec_p->siblings_affect_reuse = 1;
}

void opts_sem_makefiles_affect_reuse(const char *name) {
  trace_special("opts_sem_makefiles_affect_reuse", name, LIST_HANDLE_NULL, false);
  if (mfc_parse_op_rec_p != nullptr) mfc_parse_op_rec_p->makefiles_affect_reuse = 1;
}

void opts_sem_java_tgts(const char *name, list_handle_t list) {
  trace_special("opts_sem_java_tgts", name, list, true);
  if (is_empty(list) && (mf_verbosity > 1 || mf_utl_should_trace(kTrace, 2)))
    imsg_print(IMSG_WARNING, "Empty target list for .JAVA_TGTS.\n", -1);
  mf_building_java_tgts = 0;
  bldr_opts_add_special_tgt_list(mfc_curr_opts_handle, BLDR_OPTS_JAVA_TGTS, list, ".JAVA_TGTS");
}

void opts_sem_javac(const char *name, list_handle_t list) {
  if (trace_on(4))
    imsg_print(IMSG_TRACE, "%s recognized %s special target with list:\n", -1, "opts_sem_javac",
               name);
  if (!is_empty(list)) imsg_print(IMSG_WARNING, ".JAVAC rules ignore dependencies.\n", -1);
  if (mfc_parse_op_rec_p != nullptr) mfc_parse_op_rec_p->javac = 1;
  mf_tgt_set_java_audits();
  opts_sem_java_tgts(".JAVA_TGTS", LIST_HANDLE_NULL);
}

// ---------------------------------------------------------------------------------------------
// Reading the files.

ks_status_t bldr_opts_spec_parse(list_handle_t files) {
  ks_status_t rc = KS_ST_ERR;
  const ks_status_t opened = mf_io_init(files, LIST_HANDLE_NULL, LIST_HANDLE_NULL, 0, 0, 1);
  if (opened != KS_ST_OK) return opened;
  pfm_frame(
      [&] {
        const bool verbose = mf_verbosity > 0 || mf_utl_should_trace("bldr_opts", 1);
        if (verbose) {
          imsg_print(IMSG_INFO,
                     "\x01\x01"
                     "1BProcessing build options from:\x01\x01"
                     "0B\n",
                     -1);
          trace_list(files);
        }
        mf_parser_failed = 0;
        mf_lex_init();
        opts_yyrestart();
        const int result = opts_yyparse();
        if (result == 0 && mf_parser_failed == 0) {
          rc = KS_ST_OK;
          if (mf_io_term() != 0) imsg_print(IMSG_ERROR, "Unable to cleanup makefile I/O\n", -1);
        } else {
          if (verbose) imsg_print(IMSG_ERROR, "Options parser failed\n", -1);
          mf_io_term();
        }
      },
      [&](ks_status_t) { mf_io_term(); });
  return rc;
}
