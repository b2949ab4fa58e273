// Target-scoped macro tables of the build controller: while a target is evaluated, its scoped
// definitions (from makefiles and from BOS files) stand in front of the macro-table list in force.
#pragma once

#include <cstdint>

#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"
#include "mf/bldr_macro.h"
#include "mf/bldr_opts.h"

// Build status of a finished rebuild: pushed tables are released when popped with it.
#define BLDR_CTL_ST_REBUILT 2

// Builds the table of target tgt from the scoped definitions of one source (0 makefiles, 1 BOS
// files) that apply to it, each evaluated over a scope of the table in front of scope (so "+="
// extends what scope gives). The table is made in area (null when no definition applied); GNU
// override definitions are copied into area and appended to overrides (as bldr_macro_def_t *).
// 0, or the status of a failure after its message.
ks_status_t bldr_ctl_make_tgt_scoped_mactab(BLDR_OPTS_HANDLE opts, uint32_t source,
                                            const char *tgt, uint32_t dialect, list_handle_t scope,
                                            stg_area_t area, bldr_macro_table_t **table,
                                            list_handle_t overrides);

// Puts the scoped tables of tgt in front of mfc_mf_macro_table_list (the BOS table before the
// makefile table; in the GNU dialects behind the command-line table) in a new list made in area.
// Returns the previous list, which stays the list in force when tgt has no scoped definitions;
// null on failure.
list_handle_t bldr_ctl_push_tgt_scoped_bindings(BLDR_OPTS_HANDLE opts, const char *tgt,
                                                uint32_t dialect, stg_area_t area);

// Makes prev the list in force again. For a final status (reused, rebuilt, winked in, up to date,
// outdated) the pushed tables and list are freed; otherwise they stay for the target's later use.
// Nothing happens when prev is the list in force.
void bldr_ctl_pop_tgt_scoped_bindings(list_handle_t prev, int32_t status);
