// The configuration-manager session of a make run: one record per target that the build asks
// about, the door through which targets are registered, defined, looked up and rebuilt.
//
// In a view the session keeps configuration records: a target that is an object of a VOB is
// looked up by its record (the view's previous derived object, then the derived objects of the
// same name in its VOB directory), reused or winked in when one matches, and otherwise rebuilt
// under audit, which leaves a derived object and its record. Outside every view, or with records
// off, targets are registered as ones without records: the target manager decides by date stamps
// and rebuilds run the build script plainly.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "ks/hash.h"
#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "tbs/tbs_oid.h"
#include "view/view_audit.h"

// Message table of the module "bld/bldr_cm" (trace names "bldr_cm", "bldr_shopping_stats",
// "bldr_show_times").
extern const imsg_msg_table_t _bldr_cm_karsel_msg_table;

// Rows of the table that other modules print.
enum {
  BLDR_CM_MSG_CANNOT_REUSE = 8,  // "Cannot reuse \"%s\"\n"
  BLDR_CM_MSG_DONT_KNOW = 9,     // " Don't know how to make \"%s\". Stop.\n"
};

// Build status of a target, shared by the build engine and the session.
typedef int32_t bldr_cm_tgt_status_t;
enum : bldr_cm_tgt_status_t {
  BLDR_CM_TGT_ST_UNDEFINED = -4,
  BLDR_CM_TGT_ST_LOOKUP_PENDING = -3,
  BLDR_CM_TGT_ST_REBUILD_FAILED = -2,
  BLDR_CM_TGT_ST_ERROR = -1,
  BLDR_CM_TGT_ST_REUSED = 0,
  BLDR_CM_TGT_ST_CANT_REUSE = 1,
  BLDR_CM_TGT_ST_REBUILT = 2,
  BLDR_CM_TGT_ST_NOT_DEFINED = 3,
  BLDR_CM_TGT_ST_WINKED_IN = 4,
  BLDR_CM_TGT_ST_BUILD_PENDING = 5,
  BLDR_CM_TGT_ST_DEP_MISMATCH = 6,
  BLDR_CM_TGT_ST_UPTODATE = 7,
  BLDR_CM_TGT_ST_OUTDATED = 8,
  BLDR_CM_TGT_ST_DEP_CHECKEDOUT = 9,
};

// Session flags (bldr_cm_init).
enum : uint64_t {
  BLDR_CM_FLAG_OPT_M = 0x1,
  BLDR_CM_FLAG_OBJECTS_ONLY = 0x2,
  BLDR_CM_FLAG_VIEW_ONLY = 0x4,
  BLDR_CM_FLAG_NO_CONFIG_RECS = 0x8,
  BLDR_CM_FLAG_NO_EXECUTE = 0x10,
  BLDR_CM_FLAG_NOT_SINGLE_PASS = 0x40,
  BLDR_CM_FLAG_SILENT = 0x80,
  BLDR_CM_FLAG_IGNORE_STATUS = 0x100,
  BLDR_CM_FLAG_SGIPMAKE = 0x200,
  BLDR_CM_FLAG_KEEP_GOING = 0x400,
  BLDR_CM_FLAG_SUN = 0x800,
  BLDR_CM_FLAG_SIBS_AFFECT_REUSE = 0x1000,
  BLDR_CM_FLAG_MAKEFILES_AFFECT_REUSE = 0x2000,
  BLDR_CM_FLAG_AUTO_CHECKOUT = 0x4000,
  BLDR_CM_FLAG_AUTO_CHECKIN = 0x8000,
};

// Attribute bits of a target definition.
#define BLDR_CM_TGT_INCREMENTAL 0x4u
#define BLDR_CM_TGT_SIBS_AFFECT_REUSE 0x1000u

// The run's view identity, owned by the caller (the make copies its globals into it).
struct bldr_cm_view_info_t {
  void *view_server_handle;
  uint32_t bld_session;
  int64_t ref_time_sec;
  int64_t ref_time_usec;
  const char *view_pname;
  const char *view_name;
  const char *view_tag_name;
  char *curr_wd;
  char *where_wd;
  char *viewrel_wd;
  char *wd_vob_rel_pname;
  const tbs_uuid_t *wd_replica_uuid;
  const tbs_uuid_t *view_uid;
};

// What the target manager tells the session about a target.
struct bldr_cm_tgt_def_t {
  list_handle_t instances;      // the rule instances (bldr_tgt_inst_t *)
  const char *pathname;
  list_handle_t script;         // the actual build script (see cm/cr_utl_bs.h), or null
  list_handle_t script_macros;  // "NAME=value" strings the script's expansion used, or null
  uint64_t flags;               // BLDR_CM_TGT_INCREMENTAL, BLDR_CM_TGT_SIBS_AFFECT_REUSE
};

typedef struct bldr_cm_handle_s *bldr_cm_handle_t;
#define BLDR_CM_HANDLE_NULL ((bldr_cm_handle_t)0)

// The search directories of a name (heap list of strings the caller destroys), or null.
typedef list_handle_t (*bldr_cm_search_fn_t)(void *arg, const char *name);
// The directory-entry cache update routine of the build (mf_dirent_update).
typedef ks_status_t (*bldr_cm_dirent_fn_t)(int kind, const char *pathname);
// The completion callback of a parallel rebuild.
typedef void (*bldr_cm_done_fn_t)(void *arg);

// Opens a session. The lists are kept as given (they live as long as the run). The handle, or
// BLDR_CM_HANDLE_NULL after a message.
bldr_cm_handle_t bldr_cm_init(uint64_t flags, bldr_cm_view_info_t *view_info,
                              list_handle_t interference_sets, list_handle_t no_config_rec,
                              list_handle_t no_cmp_non_mf_deps, list_handle_t no_cmp_script,
                              list_handle_t no_print_cmp_script, list_handle_t no_wink_in,
                              list_handle_t dependency_ignored_for_reuse,
                              list_handle_t directory_ignored_for_reuse,
                              list_handle_t directory_affects_reuse,
                              list_handle_t no_config_match_slinks,
                              list_handle_t sibling_ignored_for_reuse,
                              list_handle_t no_do_for_sibling,
                              list_handle_t no_sibling_do_contained_in,
                              list_handle_t makefiles_list, list_handle_t makefiles_in_config_rec,
                              list_handle_t incremental_repository_sibling, int32_t java_audits);

// Ends the session and frees everything it owns; the null handle is accepted.
void bldr_cm_term(bldr_cm_handle_t handle);

// Store the search of dependencies and of targets (function and its argument).
void bldr_cm_set_dep_search(bldr_cm_handle_t handle, bldr_cm_search_fn_t fn, void *arg);
void bldr_cm_set_tgt_search(bldr_cm_handle_t handle, bldr_cm_search_fn_t fn, void *arg);

// Enters the target in the session (a new record is UNDEFINED) and finds what its name denotes in
// the view. *go_on says whether the target is an object of a VOB that can be looked up by its
// record (never without records). 0, or KS_ST_ERR.
ks_status_t bldr_cm_register_tgt(bldr_cm_handle_t handle, const char *name, const char *search_name,
                                 int32_t *go_on);

// Stores the definition in the target's record; an UNDEFINED record becomes LOOKUP_PENDING.
// 0, or KS_ST_ERR after an internal error when the name was not registered.
ks_status_t bldr_cm_define_tgt(bldr_cm_handle_t handle, const char *name,
                               const bldr_cm_tgt_def_t *def);

// Configuration lookup of a registered and defined target: REUSED or WINKED_IN when a derived
// object matches (it is then the view's object), CANT_REUSE, DEP_MISMATCH or DEP_CHECKEDOUT when
// none does, ERROR (the target stays LOOKUP_PENDING). A target looked up before gives its status.
bldr_cm_tgt_status_t bldr_cm_lookup_tgt(bldr_cm_handle_t handle, const char *name,
                                        list_handle_t cotargets);

// Rebuilds the target serially in this process: REBUILT (also for a target without script),
// REBUILD_FAILED, or ERROR when the script could not be run. no_exec: the make runs with
// no-execute (the recursive-make lines run only). The record takes the same status.
bldr_cm_tgt_status_t bldr_cm_rbld_tgt(bldr_cm_handle_t handle, const char *name,
                                      const view_bhandle_t *bhandle, int32_t no_exec,
                                      list_handle_t cond_evs, list_handle_t mand_evs,
                                      const char *shell, const char *shell_flags,
                                      int32_t gnu_like, bldr_cm_dirent_fn_t dirent_update);

// Starts a rebuild for the scheduler: 0 started (its end is reported through bldr_cm_chk_rbld),
// 1 finished at once (*failed tells whether it failed), -1 failed.
int bldr_cm_start_rbld_tgt(bldr_cm_handle_t handle, const char *name, void *macro_table,
                           const view_bhandle_t *bhandle, int32_t no_exec, list_handle_t cond_evs,
                           list_handle_t mand_evs, const char *shell, const char *shell_flags,
                           bldr_cm_done_fn_t done, void *done_arg, int32_t gnu_like,
                           bldr_cm_dirent_fn_t dirent_update, int32_t *failed);

// Polls for a finished parallel rebuild: > 0 with its name (*name, valid until the next call),
// whether it failed and whether its result was winked in; 0 when none finished.
int bldr_cm_chk_rbld(bldr_cm_handle_t handle, const char **name, int32_t *failed,
                     int32_t *winked_in);

// 0 when the dependency's rebuild changed nothing that matters for reuse; 1 otherwise (always 1
// without configuration records).
int bldr_cm_chk_rebuild_change(bldr_cm_handle_t handle, const char *name);

// The co-target takes the target's rebuild outcome in the session.
void bldr_cm_claim_cotarget_was_rebuilt(bldr_cm_handle_t handle, const char *name,
                                        const char *cotarget);

// Records that name was found as pathname in a search directory (sun dialect only: the script is
// rewritten with it). 0, or KS_ST_ERR after an internal error outside the sun dialect.
ks_status_t bldr_cm_add_vpath_subst(bldr_cm_handle_t handle, const char *name,
                                    const char *pathname);

// The VPATH substitutions recorded so far (name -> char * pathname), or null.
hash_ht_t bldr_cm_vpath_substs(bldr_cm_handle_t handle);

// True when the target is registered and has no build script.
bool bldr_cm_is_null_rbld_tgt(bldr_cm_handle_t handle, const char *name);

// What the session found at the target's pathname when it was registered: whether an object was
// there and whether it is a non-shareable derived object. Both 0 for an unknown target.
void bldr_cm_prev_object(bldr_cm_handle_t handle, const char *name, int32_t *found,
                         int32_t *non_shareable);

// Adds seconds to the session's time spent evaluating targets.
void bldr_cm_add_eval_time(bldr_cm_handle_t handle, double seconds);

// The name of a build status for messages ("??NONESUCH??" for an unknown value).
const char *bldr_cm_printable_status_spelling(int32_t status);

// Replaces each pattern list given (not null); the lists are stored as given. 0.
ks_status_t bldr_cm_set_patt_lists(bldr_cm_handle_t handle, list_handle_t interference_sets,
                                   list_handle_t no_config_rec, list_handle_t no_cmp_non_mf_deps,
                                   list_handle_t no_cmp_script, list_handle_t no_print_cmp_script,
                                   list_handle_t no_wink_in,
                                   list_handle_t dependency_ignored_for_reuse,
                                   list_handle_t directory_ignored_for_reuse,
                                   list_handle_t directory_affects_reuse,
                                   list_handle_t sibling_ignored_for_reuse,
                                   list_handle_t no_do_for_sibling,
                                   list_handle_t no_sibling_do_contained_in,
                                   list_handle_t makefiles_in_config_rec,
                                   list_handle_t incremental_repository_sibling);
ks_status_t bldr_cm_set_makefiles_list(bldr_cm_handle_t handle, list_handle_t list);
ks_status_t bldr_cm_set_makefiles_affect_reuse(bldr_cm_handle_t handle, int32_t value);

// flags = (flags | set) & ~clear. 0, or KS_ST_ERR for the null handle.
ks_status_t bldr_cm_adjust_sess_flags(bldr_cm_handle_t handle, uint64_t set, uint64_t clear);

// After the process changed directory: the working-directory fields of the view information are
// filled again. 0 or that call's status.
ks_status_t bldr_cm_cwd_changed(bldr_cm_handle_t handle);

// The session flags BLDR_CM_FLAG_AUTO_CHECKOUT and BLDR_CM_FLAG_AUTO_CHECKIN as 0 or 1.
int bldr_cm_sess_flag_auto_do_checkout(bldr_cm_handle_t handle);
int bldr_cm_sess_flag_auto_do_checkin(bldr_cm_handle_t handle);

// The expanded value of the makefile macro ORVA_WINKIN_VIEWS (allow non-zero) or
// ORVA_NO_WINKIN_VIEWS (allow zero) in the macro tables (a heap copy; free it with stg_free), or
// null when the macro is undefined or its expansion fails. macro_tables null: the current make's.
char *bldr_cm_get_orva_winkin_views(list_handle_t macro_tables, int allow);

// A view of a winkin view list: the tag and its view's UUID.
struct bldr_cm_winkin_view_t {
  char *tag;
  tbs_uuid_t uuid;
};

// Frees every entry of a winkin view list and the list, and nulls the variable (which must not be
// null, assertion).
void bldr_cm_require_destroy_views_list(list_handle_t *views_list_p);


// The rebuild descriptor of a script audit that the caller runs itself: what the audited rebuild
// and the record writer are told, with the arrays it owns and the audit file.
struct bldr_cm_rbld_desc_t;

// Starts the audit of a rebuild of the target whose script the caller runs itself: the target's
// primary dependency, script hash and dependencies, then a new descriptor (into *desc, null on
// failure) and the audit. 0, KS_ST_ERR, or the audit start's status.
ks_status_t bldr_cm_start_script_audit(bldr_cm_handle_t handle, const char *name,
                                       bldr_cm_rbld_desc_t **desc);

// Makes the derived objects and record of the finished script audit of desc for the target.
// REBUILT, or REBUILD_FAILED (also for an unknown target, after the internal error).
bldr_cm_tgt_status_t bldr_cm_create_cr_dos_ip(bldr_cm_handle_t handle, const char *name,
                                              bldr_cm_rbld_desc_t *desc, void *extra);

// Frees what the descriptor holds and removes (or keeps) its audit file; then the descriptor.
// A null descriptor is ignored.
void bldr_cm_cleanup_audit(bldr_cm_rbld_desc_t *desc);
