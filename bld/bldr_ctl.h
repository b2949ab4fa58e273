// The build controller: the state of one evaluation of targets (their descriptors, the lists
// through which targets move from lookup to rebuild, the counters that tell when every target
// is accounted for), the depth-first evaluation of goals, parent updates and rebuild decisions,
// the scheduler pass, the wait for outstanding builds, the abort switch, the state dump and the
// signals that ask for it, and the target-scoped macro tables.
#pragma once

#include <cstdint>

#include "bld/bldr_cm.h"
#include "ks/hash.h"
#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/rt.h"
#include "ks/stg.h"
#include "mf/bldr_macro.h"
#include "mf/bldr_opts.h"
#include "mf/mf_tgt.h"

struct bldr_tgt_table_s;

// Message table of the module "bldr_ctl".
extern const imsg_msg_table_t _bldr_control_karsel_msg_table;
enum {
  BLDR_CTL_MSG_UP_TO_DATE = 1,       // "`%s' is up to date.\n"
  BLDR_CTL_MSG_FILE_UP_TO_DATE = 31,  // "\"%s\" is up to date.\n"
  BLDR_CTL_MSG_NOTHING_TO_BE_DONE = 36,
};

// Build status of a finished rebuild: pushed tables are released when popped with it.
#define BLDR_CTL_ST_REBUILT 2

// The handle of one evaluation ("bch" in traces).
struct bldr_ctl_handle_t {
  stg_area_t area;
  bldr_tgt_table_s *tgt_session;
  mf_tgt_table_t *tgt_table;
  hash_ht_t tgt_descs;  // name -> bldr_ctl_tgt_t
  list_handle_t lookup_list;
  list_handle_t ready_list;
  list_handle_t in_progress_list;
  list_handle_t notparallel_in_progress_list;
  int32_t to_resolve;
  int32_t built;
  int32_t failed;
  int32_t in_progress;
  rt_event_t progress_event;
  int32_t retry_count;
  int32_t retry_seconds;
  int32_t aborted;
  int32_t all_eval;
  int32_t all_started;
};

// The descriptor of one target met by the evaluation (stored by value in tgt_descs).
struct bldr_ctl_tgt_t {
  const char *name;
  int32_t sub_tgts_needed;
  int32_t sub_tgts_built;
  int32_t sub_tgts_failed;
  int32_t accounted;
  list_handle_t parents;
  list_handle_t eval_mac;  // the macro-table list of its evaluation; null until registered
};

// --- Handle.
// A new handle over the target manager and the target table, with the SIGUSR1 and SIGUSR2
// handlers installed; null after an internal error.
bldr_ctl_handle_t *bldr_ctl_init(bldr_tgt_table_s *session, mf_tgt_table_t *table);
// Ends the handle (null accepted) and nulls the variable; the signal handlers then dump nothing.
void bldr_ctl_term(bldr_ctl_handle_t **handle);
// Runs the event loop until the outstanding builds are accounted for (all_eval) or for one pass.
// 0, or KS_ST_ERR when a target failed or the builds were aborted.
ks_status_t bldr_ctl_rebuild_poll(bldr_ctl_handle_t *handle, int all_eval, const char *label);
// Stops the starting of builds.
void bldr_ctl_abort_builds(bldr_ctl_handle_t *handle);
// Prints the state dump.
void bldr_ctl_dump_bch(bldr_ctl_handle_t *handle);

// --- Evaluation.
// Evaluates name (parent: the parent's actual pathname, null for a goal) depth first and returns
// its build status; *act_pn receives its actual pathname (null when it could not be validated).
// path is the list of names on the current path, the goal's name first.
bldr_cm_tgt_status_t bldr_ctl_eval_do_tgt(bldr_ctl_handle_t *handle, const char *name,
                                          const char *parent, uint32_t dialect, uint32_t depth,
                                          list_handle_t path, const char **act_pn);
// The descriptor of name, made (and counted in to_resolve) when new. Never null.
bldr_ctl_tgt_t *bldr_ctl_get_tgt_desc(hash_ht_t descs, int32_t *to_resolve, const char *name);
// Registers name with its parent link. 0, or KS_ST_ERR.
ks_status_t bldr_ctl_add_tgt(bldr_ctl_handle_t *handle, const char *name, const char *parent,
                             list_handle_t eval_mac);

// --- Parent updates and decisions.
void bldr_ctl_update_parent(bldr_ctl_handle_t *handle, const char *parent, int success);
void bldr_ctl_update_parents_list(bldr_ctl_handle_t *handle, list_handle_t parents, int success);
ks_status_t bldr_ctl_update(bldr_ctl_handle_t *handle, const char *name, int success);
// The rebuild decision once the dependencies are accounted for (context: the parent, or null).
bldr_cm_tgt_status_t bldr_ctl_lookup_build(bldr_ctl_handle_t *handle, const char *name,
                                           const char *context, int dep_rebuilt);

// --- Scheduler.
// One pass: reaps finished builds, runs delayed lookups, starts ready targets, stops the event
// loop when every target is accounted for.
void bldr_ctl_progress(bldr_ctl_handle_t *handle);
// The same as an event-loop callback (arg is the handle).
void bldr_ctl_progress_callback(void *handle);

// --- Target-scoped macro tables.
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

// The macro-table list of the target's evaluation (its descriptor is made when new).
list_handle_t bldr_ctl_tgt_mactab(bldr_ctl_handle_t *handle, const char *name);

// Whether a trace of level of the controller ("bldr_ctl") may print.
bool bldr_ctl_should_trace(int level);
