// Module "opts_parser": build-options (BOS) files. Reads every BOS file of a build as one input
// stream with a scanner and a grammar of its own, and stores what the files declare in the
// build-options record of the current parse and the BOS macro table. Reports under the makefile
// parser's message table; trace name "opts_parser".
#pragma once

#include "ks/ks_status.h"
#include "ks/list.h"
#include "mf/scan/mf_scan.h"

// Reads the BOS files (names, in order) as one stream into mfc_curr_opts_handle and
// mfc_opts_specs_macro_table, with mfc_mf_macro_table_list in force. 0; the status of a file that
// cannot be opened; KS_ST_ERR after a syntax error or a reported failure (the parse goes on to the
// end of the input first).
ks_status_t bldr_opts_spec_parse(list_handle_t files);

// The BOS scanner's tables, generated from opts_lex.l.
const mf_scan_tables_t &opts_scan_tables();

// The next token of the BOS grammar (258 to 284), or 0 at the end of the input.
int opts_yylex(void);
// Starts the BOS scanner afresh (empty buffer at a line start).
void opts_yyrestart();
// Parses the current input: 0 accepted, 1 syntax error, 2 stacks exhausted.
int opts_yyparse(void);
// Prints a syntax error at the input's position and marks the parse failed; returns 0.
int opts_yyerror(const char *message);

// Semantic actions of the BOS grammar (lists of names may be null). None stops the parse: a
// failure sets mf_parser_failed.
void opts_sem_done();
void opts_sem_macro_def();
void opts_sem_tgt_scoped_mac_def(list_handle_t targets);
void opts_sem_no_config_rec(const char *name, list_handle_t list);
void opts_sem_no_wink_in(const char *name, list_handle_t list);
void opts_sem_no_cmp_script(const char *name, list_handle_t list);
void opts_sem_no_print_cmp_script(const char *name, list_handle_t list);
void opts_sem_no_cmp_non_mf_deps(const char *name, list_handle_t list);
void opts_sem_no_config_match_slinks(const char *name, list_handle_t list);
void opts_sem_incr_tgt(const char *name, list_handle_t list);
void opts_sem_not_parallel(const char *name, list_handle_t list);
void opts_sem_makefiles_in_config_rec(const char *name, list_handle_t list);
void opts_sem_dep_ignored(const char *name, list_handle_t list);
void opts_sem_dir_ignored(const char *name, list_handle_t list);
void opts_sem_dir_affects(const char *name, list_handle_t list);
void opts_sem_sib_ignored(const char *name, list_handle_t list);
void opts_sem_no_do_for_sib(const char *name, list_handle_t list);
void opts_sem_no_sib_do_contained_in(const char *name, list_handle_t list);
void opts_sem_incr_repository_sib(const char *name, list_handle_t list);
void opts_sem_java_tgts(const char *name, list_handle_t list);
void opts_sem_javac(const char *name, list_handle_t list);
void opts_sem_do_oid_ignored(const char *name, list_handle_t list);
void opts_sem_sibs_affect_reuse(const char *name);
void opts_sem_makefiles_affect_reuse(const char *name);
