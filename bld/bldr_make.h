// The make driver: one make run from the parsed makefile to the exit status (view and build
// session, options record, target manager, build controller, goals, termination targets and the
// ordered shut-down), and the make options record of the run.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "mf/mfc.h"
#include "tbs/tbs_oid.h"
#include "view/view_audit.h"
#include "view/view_info.h"

struct bldr_tgt_table_s;

// Message table of the module "bld/bldr_make" (trace name "bldr").
extern const imsg_msg_table_t _bldr_make_karsel_msg_table;

// The options of one make run.
struct bldr_make_params_t {
  list_handle_t goals;           // goal names (strings)
  int32_t verbosity;
  int32_t dialect;
  int32_t keep_going;
  int32_t no_execute;
  int32_t gnu_like;              // dialects 2, 7, 8
  int32_t ignore_status;
  int32_t silent;
  int32_t question;
  int32_t posix;
  int32_t unconditional;
  int32_t serial;
  int32_t sgipmake;
  int32_t single_pass;
  int32_t flag_U;
  int32_t flag_M;
  int32_t view_only;
  list_handle_t no_do_for_sibling;
  list_handle_t no_sibling_do_contained_in;
  list_handle_t makefiles_in_config_rec;
  list_handle_t makefiles;
  int32_t makefiles_affect_reuse;
  int32_t javac;
  list_handle_t incremental_repository_sibling;
  int32_t max_rbld_conc;
  char *hosts_file;
  char *host_type;
  int32_t auto_checkout;
  int32_t auto_checkin;
  int32_t dep_not_uptodate;
};

// The record of the run in progress; null outside a run.
extern bldr_make_params_t *bldr_command_handle;

// Switches of the run: configuration records are written / looked up (both off without a view),
// lookup of derived objects only (-O), siblings affect reuse (-R, .SIBLINGS_AFFECT_REUSE).
extern int32_t bldr_doing_config_recs;
extern int32_t bldr_doing_config_lookup;
extern int32_t bldr_lookup_objects_only;
extern int32_t bldr_sibs_affect_reuse;

// The run's view and working directory.
extern char *bldr_view_tag_name;        // the view tag, or "BLD_NO_VIEW"
extern view_handle_t bldr_view_server_handle;
extern const char *bldr_view_name;
extern tbs_uuid_t *bldr_view_uid_p;
extern char *bldr_view_pname;
extern const char *bldr_view_hostname;
extern uint32_t bldr_view_bld_session;
extern view_bhandle_t bldr_view_bhandle;
extern struct timeval bldr_version_ref_time;
extern char *bldr_curr_wd;
extern char *bldr_where_wd;
extern char *bldr_viewrel_wd;
extern tbs_uuid_t *bldr_wd_replica_uuid_p;
extern char *bldr_wd_vob_rel_pname;

// Runs a make: cmf the parsed makefile (its macro tables, build-options record and stat cache are
// taken over for the run), goals a null-terminated array (null or empty: the default goal),
// parallel the -J count (0 when not given), hosts_file the -B file or null, flags the
// single-letter options of the command line. 0, or KS_ST_ERR (the make's exit status 1).
ks_status_t bld_make(mf_cmf_handle_t cmf, char **goals, uint32_t parallel, const char *hosts_file,
                     const char *flags);

// The whole run with a goal list (null: the default goal).
ks_status_t bldr_process_make(mf_cmf_handle_t cmf, list_handle_t goals, const char *flags,
                              uint32_t parallel, const char *hosts_file);

// Start-up of a run: *session the target manager. 0 or KS_ST_ERR.
ks_status_t bldr_init_make(mf_cmf_handle_t cmf, list_handle_t goals, const char *flags,
                           uint32_t parallel, const char *hosts_file,
                           bldr_tgt_table_s **session);

// Starts the run's own build session in its view when it has none yet: the first rebuild of a run
// calls it before its script runs, so that a run that rebuilds nothing never writes to the view.
// The session's number goes to the audit state, which build scripts inherit. 0 (also without a
// view, or in a session started elsewhere), or KS_ST_ERR after the error message (again at every
// later call).
ks_status_t bldr_make_begin_session();

// Shut-down of a run (also after a failed start-up); clears *session.
void bldr_term_make(bldr_tgt_table_s **session);

// Records the view identity of the run (have_view: view is the run's view).
void bldr_note_dynamic_view_use(int have_view, view_handle_t view, stg_area_t area);

// Makes the options record of a run in the run's storage area and defines the make-related
// macros (MAKEFLAGS and its relatives) for build scripts. makeflags is the MAKEFLAGS text of the
// parse; not_parallel the makefile's .NOTPARALLEL flag.
bldr_make_params_t *bldr_init_make_params(list_handle_t goals, const char *flags,
                                          const char *makeflags, uint32_t dialect,
                                          uint32_t parallel, const char *hosts_file,
                                          uint32_t not_parallel);

// Whether a trace of level of the driver ("bldr") may print.
bool bldr_make_should_trace(int level);
