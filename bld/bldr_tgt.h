// The target manager of a make run: one record per target the build controller asks about (its
// build status, rule instances and actual build scripts), the door to the configuration-manager
// session, the date-stamp decision, rebuilds, co-target and reuse claims, and the .END epilog.
#pragma once

#include <cstdint>

#include "bld/bldr_cm.h"
#include "ks/hash.h"
#include "ks/imsg.h"
#include "ks/list.h"
#include "ks/stg.h"
#include "mf/mf_tgt.h"

// Message table of the module "bld/bldr_tgt" (trace name "bldr_tgt").
extern const imsg_msg_table_t _bldr_tgt_karsel_msg_table;
#define BLDR_TGT_MSG_DONT_KNOW 3  // " Don't know how to make \"%s\". Stop.\n"

// Attribute bit of a phony target.
#define BLDR_TGT_ATTR_PHONY 0x10u

// One rule instance of a target as the build uses it.
struct bldr_tgt_inst_t {
  list_handle_t deps;
  const char *imp_dep;
  list_handle_t ood_deps;      // dependencies found newer, or the script dependencies
  list_handle_t script_deps;
  const char *base_pname;
  list_handle_t template_script;
  list_handle_t bogus_deps;
  const char *member_name;
  uint64_t flags;
};

// The record of one target (stored by value in the manager's hash).
struct bldr_tgt_rec_t {
  bldr_cm_tgt_status_t status;
  uint64_t attrs;
  int32_t is_archive;
  int32_t has_script;
  const char *pathname;
  list_handle_t instances;       // bldr_tgt_inst_t *
  list_handle_t rebuild_script;  // actual script: list of line lists
  list_handle_t lookup_script;
  list_handle_t deferred_lines;  // list of line lists
  int32_t rebuild_script_done;
  int32_t lookup_script_done;
  list_handle_t script_macros;
  int32_t no_script;
};

// The manager's handle.
struct bldr_tgt_table_s {
  bldr_cm_handle_t cm_handle;
  stg_area_t area;
  hash_ht_t records;            // name -> bldr_tgt_rec_t
  list_handle_t epilog_script;  // deferred line lists of rebuilt targets
  bldr_cm_view_info_t *view_info;
};
typedef bldr_tgt_table_s bldr_tgt_table_t;

// --- Handle.
// A new manager for the target table (with its configuration-manager session), or null.
bldr_tgt_table_t *bldr_tgt_init(mf_tgt_table_t *table);
// Ends the manager and its session. 0.
int bldr_tgt_term(bldr_tgt_table_t *handle);
bldr_cm_handle_t bldr_tgt_get_cm_handle(bldr_tgt_table_t *handle);

// --- Records and status.
// The target's status; an unknown name gets a new LOOKUP_PENDING record.
bldr_cm_tgt_status_t bldr_tgt_check_tgt_status(bldr_tgt_table_t *handle, const char *name);
// The record of name, or null.
bldr_tgt_rec_t *bldr_tgt_get_tgt_handle(bldr_tgt_table_t *handle, const char *name);
// Sets the status when the record holds old (or with force). 0, or KS_ST_ERR when it held another.
ks_status_t bldr_tgt_set_tgt_status(bldr_tgt_rec_t *rec, bldr_cm_tgt_status_t status,
                                    bldr_cm_tgt_status_t old, int force);
bool bldr_tgt_has_script(const bldr_tgt_rec_t *rec);
bool bldr_tgt_has_non_empty_script(const bldr_tgt_rec_t *rec);
// The target's rebuild needs no work: its rebuild script is known and empty.
bool bldr_tgt_is_null_rbld_tgt(bldr_tgt_table_t *handle, const char *name);
// Whether name matches the .INCREMENTAL_TARGET / .JAVA_TGTS patterns of the current build
// options.
int bldr_tgt_is_incr_tgt(const char *name);
int bldr_tgt_is_java_tgt(const char *name);
// Hands a VPATH substitution to the session.
ks_status_t bldr_tgt_add_vpath_subst(bldr_tgt_table_t *handle, const char *name,
                                     const char *found);

// --- Lookup and rebuild.
// The rebuild decision for the target: a build status, or -1 on failure.
bldr_cm_tgt_status_t bldr_tgt_lookup_tgt(bldr_tgt_table_t *handle, mf_tgt_table_t *table,
                                         const char *name, int is_goal);
// The date-stamp decision: 0 up to date, 1 CANT_REUSE, 6 DEP_MISMATCH, -1 failure.
int bldr_tgt_dtm_lookup_tgt(bldr_tgt_table_t *handle, bldr_tgt_rec_t *rec, mf_tgt_table_t *table,
                            const char *name);
// 1 when the dependency makes the target (of time tgt_time, or missing) out of date, 0 when
// not, -1 on error; *dep_is_archive tells whether the dependency is an archive member.
int bldr_tgt_dtm_match(bldr_tgt_table_t *handle, mf_tgt_table_t *table, int64_t tgt_time,
                       const char *dep, int tgt_missing, int *dep_is_archive);
// Serial rebuild: REBUILT, WINKED_IN, REBUILD_FAILED or -1.
bldr_cm_tgt_status_t bldr_tgt_rbld_tgt(bldr_tgt_table_t *handle, mf_tgt_table_t *table,
                                       const char *name);
// Start of a parallel rebuild: 0 started, 1 finished at once (*failed), -1 failure.
int bldr_tgt_start_rbld_tgt(bldr_tgt_table_t *handle, mf_tgt_table_t *table, const char *name,
                            void *macro_table, bldr_cm_done_fn_t done, void *done_arg,
                            int32_t *failed);
// > 0 when a parallel rebuild finished (its name and failure in the outs), else the poll's value.
int bldr_tgt_chk_rblds(bldr_tgt_table_t *handle, const char **name, int32_t *failed);
void bldr_tgt_claim_cotarget_was_rebuilt(bldr_tgt_table_t *handle, const char *name,
                                         const char *cotarget);
void bldr_tgt_claim_tgt_was_reused(bldr_tgt_table_t *handle, mf_tgt_table_t *table,
                                   const char *name);
// Runs the .END epilog of deferred lines. 0, or KS_ST_ERR.
ks_status_t bldr_tgt_process_epilog(bldr_tgt_table_t *handle);
// Frees the scripts, macros and instances of a target that is accounted for.
void bldr_tgt_release_transient_build_state(bldr_tgt_table_t *handle, mf_tgt_table_t *table,
                                            const char *name);
