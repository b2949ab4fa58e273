// Back end of a makefile parse: rules and special targets entered into the target table that the
// parse fills.
#pragma once

#include <cstdint>

#include "ks/list.h"
#include "mf/mf_tgt.h"

// The table that the current parse fills; null outside a parse.
extern mf_tgt_table_t *mf_tgt_curr_table_p;
// 1 while the builtin makefiles are read.
extern int32_t mf_tgt_parsing_builtins;

// Enters one dependency rule for each target of the list into the current table. The target
// list may be rewritten in place ("+" elements removed, "./" stripped). 0, or 1001 after a
// reported rule error (what was entered before the failing target stays).
int mf_tgt_depends_rule(list_handle_t targets, list_handle_t deps, list_handle_t script,
                        int double_colon, const char *stem);

// Expands a static pattern rule into one rule per target; failures set mf_parser_failed.
void mf_tgt_static_pattern_rule(list_handle_t targets, const char *target_pattern,
                                list_handle_t dep_patterns, list_handle_t script,
                                int double_colon);

// Special targets that fill lists and marks of the current table. Each returns 0.
int mf_tgt_def_suffixes(const char *name, list_handle_t list);   // .SUFFIXES
int mf_tgt_all_path(list_handle_t list);                          // .PATH
int mf_tgt_suff_path(const char *suffix, list_handle_t list);    // .PATH<suffix>
int mf_tgt_gnu_vpath(const char *pattern, list_handle_t list);   // vpath
int mf_tgt_def_precious(const char *name, list_handle_t list);   // .PRECIOUS
int mf_tgt_declare_phony_targets(list_handle_t list);             // .PHONY
int mf_tgt_def_main_tgt(const char *name, list_handle_t list);   // .MAIN
int mf_tgt_def_recurs(const char *name, list_handle_t list);     // .MAKE
int mf_tgt_def_null_tgt(const char *name, list_handle_t list);   // .NULL
