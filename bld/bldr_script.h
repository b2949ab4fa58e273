// The actual build script of a target: its template lines expanded against the target's
// automatic macros and the macro tables in force, prefixes handled, recursive-make lines marked,
// and, in the BSD-style dialects, the lines after "..." set aside for the end of the run. Also
// its hash, its comparison with and difference from a configuration record's script, and its
// rewrite with the pathnames that search directories found.
//
// A script is a list with one element per rule instance that has a template; each element is a
// list of lines (cr_utl_bs_line_t *, see cm/cr_utl_bs.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "ks/hash.h"
#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"

// Message table of the module "bld/bldr_script" (trace name "bldr_script").
extern const imsg_msg_table_t _bldr_script_karsel_msg_table;

// Computes the actual script of one rule instance: *actual its lines (null when every line
// expands to nothing), *deferred the lines after "..." (null when none). Lines live in area (the
// heap for STG_AREA_HEAP). With script_macros, the macro definitions the expansion used are added
// to it. 0, or 1 after a message (both outputs null).
int bldr_script_compute_actual(list_handle_t template_lines, const char *tgt, const char *imp_dep,
                               list_handle_t ood_deps, list_handle_t script_deps,
                               list_handle_t bogus_deps, const char *member, uint64_t inst_flags,
                               stg_area_t area, list_handle_t script_macros,
                               const char *base_pname, list_handle_t *actual,
                               list_handle_t *deferred);

// The script's hash (cr_utl_build_scripts_hash) into *hash.
ks_status_t bldr_script_hash(list_handle_t script, uint64_t *hash);

// 0 when the script matches the stored one (one text per instance, each line ending in "\n"),
// non-zero when they differ.
int bldr_script_compare(list_handle_t script, char *const *stored, size_t stored_count);

// Prints the difference between the stored script and the actual one.
void bldr_script_diff(list_handle_t script, char *const *stored, size_t stored_count);

// A copy of the script (new lists, the same line records) in area, or null after a message.
list_handle_t bldr_script_copy_lists(list_handle_t script, stg_area_t area);

// *out a copy of the script in which every word that substs (name -> char * pathname) holds is
// replaced by its pathname. 0, or -1 after a message.
int bldr_script_vpath_subst(list_handle_t script, hash_ht_t substs, stg_area_t area,
                            list_handle_t *out);

// Rewrites the line in buf (size bytes) in place as above. 0, or -1 after a message.
int bldr_script_vpath_subst_line(char *buf, size_t size, hash_ht_t substs);
