// Parse-wide state of one makefile parse, the string lists of the makefile grammar, and the
// semantic actions that the grammar runs for each complete declaration.
#pragma once

#include <cstdint>

#include "ks/imsg.h"
#include "ks/list.h"
#include "ks/stg.h"
#include "mf/bldr_macro.h"
#include "mf/bldr_opts.h"
#include "mf/mf.h"
#include "mf/mf_io.h"
#include "mf/mfc.h"

// ---------------------------------------------------------------------------------------------
// Parse-wide state (the parse options, storage area and macro tables are in mf/mfc.h).

// Table that "override" definitions go into.
extern bldr_macro_table_t *mfc_override_macro_table;
// Failure mark of the current parse: set to 1 on a reported failure that does not stop it.
extern int32_t mf_parser_failed;

// The compatibility variant of the current parse (std when no parse is under way).
uint32_t mf_parse_compat_variant();

// Message table of the module "mf/mf_parser" (grammar and semantic actions).
extern const imsg_msg_table_t _mf_parser_karsel_msg_table;
#define MF_PARSER_MSG_POSITION 0       // "File \"%s\", line %d\n"
#define MF_PARSER_MSG_INVALID_VARIANT 6

// Prints the position line "File \"%s\", line %d\n" of the input layer as an error.
void mf_parse_print_position();

// ---------------------------------------------------------------------------------------------
// String lists of the grammars.

// A new list in the parse's storage area holding first (a list of an earlier rule of the same
// parse emptied for reuse, when there is one); a list that cannot be created is an internal
// error that stops the program.
list_handle_t mf_parse_start_str_list(const char *first);
// Drops the lists kept for reuse; called when a parse starts and ends, so that no list outlives
// its storage area.
void mf_parse_forget_spare_lists();
// Appends item; returns list.
list_handle_t mf_parse_add_to_str_list(list_handle_t list, const char *item);

// ---------------------------------------------------------------------------------------------
// Semantic actions of the makefile grammar. None stops the parse: a failure sets
// mf_parser_failed.

void sem_suffixes(const char *name, list_handle_t list);
void sem_main_tgt(const char *name, list_handle_t list);
void sem_precious(const char *name, list_handle_t list);
void sem_recurs(const char *name, list_handle_t list);
void sem_null_tgt(const char *name, list_handle_t list);
void sem_all_path(list_handle_t list);
void sem_suff_path(const char *name, list_handle_t list);
void sem_vpath(const char *pattern, list_handle_t dirs);
void sem_phony(list_handle_t list);

void sem_ignore(const char *name);
void sem_silent(const char *name);
void sem_posix(const char *name);
void sem_sibs_affect_reuse(const char *name);
void sem_makefiles_affect_reuse(const char *name);
void sem_not_parallel(const char *name, list_handle_t list);

void sem_dep_ignored(const char *name, list_handle_t list);
void sem_sib_ignored(const char *name, list_handle_t list);
void sem_no_do_for_sib(const char *name, list_handle_t list);
void sem_incr_repository_sib(const char *name, list_handle_t list);
void sem_incr_tgt(const char *name, list_handle_t list);
void sem_no_wink_in(const char *name, list_handle_t list);
void sem_no_cmp_script(const char *name, list_handle_t list);
void sem_no_config_rec(const char *name, list_handle_t list);
void sem_no_cmp_non_mf_deps(const char *name, list_handle_t list);
void sem_makefiles_in_config_rec(const char *name, list_handle_t list);
void sem_dir_ignored(const char *name, list_handle_t list);
void sem_dir_affects(const char *name, list_handle_t list);
void sem_no_config_match_slinks(const char *name, list_handle_t list);
void sem_no_sib_do_contained_in(const char *name, list_handle_t list);
void sem_do_oid_ignored(const char *name, list_handle_t list);
void sem_no_print_cmp_script(const char *name, list_handle_t list);
void sem_java_tgts(const char *name, list_handle_t list);
void sem_javac(const char *name, list_handle_t list);

void sem_depends_rule(list_handle_t targets, list_handle_t deps, list_handle_t script,
                      int double_colon);
void sem_static_pattern_rule(list_handle_t targets, list_handle_t target_patterns,
                             list_handle_t dep_patterns, list_handle_t script, int first_colon,
                             int second_colon);

void sem_macro_def(bldr_macro_def_t *def);
void sem_export_macro_def(bldr_macro_def_t *def);
void sem_unexport_macro_def(bldr_macro_def_t *def);
void sem_override_macro_def(bldr_macro_def_t *def);
void sem_export_macro(list_handle_t list);
void sem_unexport_macro(list_handle_t list);
void sem_tgt_scoped_mac_def(list_handle_t targets, bldr_macro_def_t *def);
void sem_override_tgt_scoped_mac_def(list_handle_t targets, bldr_macro_def_t *def);
