// The build-graph printer: with -p the make program prints the parsed build database instead of
// building, so that a user can see how the makefiles, the builtin rules and the BOS files were
// understood. The printout holds, in order: the dependency graph from the root targets, the
// special targets and pattern lists, the implicit rules, the macro definitions and the
// target-scoped macro definitions. Every line is a row of the module's message table (or a
// punctuation row of the platform's common table) printed at information severity.
#pragma once

#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "mf/mfc.h"

// Message table of the module "bld_graph".
extern const imsg_msg_table_t _bld_graph_karsel_msg_table;

// Prints the whole graph of the parsed makefile; with_inference adds each target's inference
// dependency. 0, or the first failure status (the printers after it are skipped; what was
// printed stays printed); KS_ST_ERR after a message when a working table cannot be made.
ks_status_t bld_graph_print(mf_cmf_handle_t cmf, int with_inference);

// Prints every root target, then every target reachable through dependencies, breadth first,
// each once; names of the precious targets met are appended (heap copies) to precious when it is
// not null. 0 or the failure status of a fetch.
ks_status_t bld_graph_print_dep_graph(mf_cmf_handle_t cmf, int with_inference,
                                      list_handle_t precious);

// Prints the rules of one target: head, dependencies (each not yet in seen is entered there and
// appended to pending), the inference dependency with with_inference, and the build script. The
// target's name is appended to precious (when not null) when it was declared precious. 0 or the
// failure status of a fetch.
ks_status_t bld_graph_process_tgt(mf_cmf_handle_t cmf, const char *name, mf_tgt_entry_t *tgt,
                                  hash_ht_t seen, list_handle_t pending, int with_inference,
                                  list_handle_t precious);

// Prints .DEFAULT, the pattern lists, the parallel-building settings, .PRECIOUS (the names of
// precious), the sibling settings and .SUFFIXES; frees the names of precious and destroys it.
// 0 or the failure status of a fetch.
ks_status_t bld_graph_print_special_tgts(mf_cmf_handle_t cmf, list_handle_t precious);

// Prints the rules of every suffix and pattern rule target in definition order; their
// dependencies are not followed. 0 or the failure status of a fetch.
ks_status_t bld_graph_print_implicit_deps(mf_cmf_handle_t cmf, int with_inference);

// Prints each macro name once with the value a lookup finds (the first table that holds it).
// 0, or the status of mf_macro_table (nothing printed).
ks_status_t bld_graph_print_macro_defs(mf_cmf_handle_t cmf);

// Prints the target-scoped definitions read from the makefiles, then those read from the BOS
// files. 0 or the failure status of a fetch.
ks_status_t bld_graph_print_tgt_scoped_macro_defs(mf_cmf_handle_t cmf);

// The operator text of a target-scoped definition's operator code ("=", ":=", ":sh=", "+=",
// "?="); "=" for a code outside 0 to 8.
const char *bld_graph_op_text(uint32_t op);
