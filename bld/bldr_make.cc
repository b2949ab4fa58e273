// The make driver: start-up of a run (view, build session, options record, caches, target
// manager), the goal loop with the dialect's prologue and termination targets, and the ordered
// shut-down that restores the view's build handle and any audit that was running.
#include "bld/bldr_make.h"

#include <ctime>
#include <cstdlib>
#include <cstring>

#include "bld/bldr_ctl.h"
#include "bld/bldr_host.h"
#include "bld/bldr_make_int.h"
#include "bld/bldr_tgt.h"
#include "bld/bldr_utl.h"
#include "ks/pfm.h"
#include "ks/rt.h"
#include "ks/strutl.h"
#include "mf/mf.h"
#include "mf/mf_stat.h"
#include "mf/mf_tgt_validate.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"
#include "view/view_bld.h"
#include "vob/vob_ob.h"

namespace {

const char kModule[] = "bld/bldr_make";

const char *const make_formats[] = {
    /* 0 */ "No target to build\n",
    /* 1 */ "Processing goal target:\n\t\"%s\"\n\n",
    /* 2 */ "Maximum rebuild concurrency is %u\n",
    /* 3 */ "", "",
    /* 5 */ "Completed MAKEFLAGS: \"%s\"\n",
    /* 6 */ "", "", "", "", "",
    /* 11 */ "Current view is \"%s\"\n",
    /* 12 */ "",
    /* 13 */ "MAKEFLAGS from parser phase: \"%s\"\n",
    /* 14 */ "", "", "",
    /* 17 */ "Re-establishing previous Vessary audit\n",
    /* 18 */ "Audit file pathname: \"%s\"\n",
    /* 19 */ "",
    /* 20 */ "Unable to get Vessary audit state - %s\n",
    /* 21 */ "Unable to suspend existing Vessary audit - %s\n",
    /* 22 */ "Suspending existing Vessary audit\n",
    /* 23 */ "Unable to synchronize existing Vessary audit - %s\n",
    /* 24 */ "Unable to get reference time from view_server\n",
    /* 25 */ "", "",
    /* 27 */ "Unable to set view build handle with the Vessary\n",
    /* 28 */ "",
    /* 29 */ "Reference time is \"%s\"\n",
    /* 30 */ "Unable to release view build session\n",
    /* 31 */ "\"%s\" is up to date.\n",
    /* 32 */ "Unable to disable VOB caches - %s\n",
    /* 33 */ "Unable to start build session for view \"%s\" - %s\n",
    /* 34 */ "Processing bldhost file \"%s\"\n",
    /* 35 */ "Tolvick's environment settings are:\n",
    /* 36 */ "\"%s\" is up to date. (Warning: Nothing to be done.)\n",
    /* 37 */ "", "",
    /* 39 */ "Use of .JAVAC implies .NOTPARALLEL; ignoring -J.\n",
    /* 40 */ "Invalid build session number: %s\n",
    /* 41 */ "Using build session number %d\n",
};
constexpr uint16_t kRows = sizeof make_formats / sizeof make_formats[0];
const uint16_t make_catalog[kRows] = {};

enum {
  MSG_NO_TARGET = 0,
  MSG_PROCESSING_GOAL = 1,
  MSG_CURRENT_VIEW = 11,
  MSG_REESTABLISHING = 17,
  MSG_AUDIT_FILE = 18,
  MSG_AUDIT_STATE = 20,
  MSG_SUSPEND_FAILED = 21,
  MSG_SUSPENDING = 22,
  MSG_SYNC_FAILED = 23,
  MSG_REF_TIME_FAILED = 24,
  MSG_SET_BHANDLE = 27,
  MSG_REF_TIME = 29,
  MSG_SESSION_FREE = 30,
  MSG_FILE_UP_TO_DATE = 31,
  MSG_VOB_CACHES = 32,
  MSG_SESSION_START = 33,
  MSG_ENVIRONMENT = 35,
  MSG_NOTHING_TO_DO = 36,
  MSG_BAD_SESSION = 40,
  MSG_USING_SESSION = 41,
};

const imsg_msg_table_t *const kTable = &_bldr_make_karsel_msg_table;

stg_area_t bldr_processing_stg_area = STG_AREA_NULL;
struct timeval bldr_timeval_ask_view = {};
view_bhandle_t bldr_prev_view_bldh = {0, 0};
int32_t bldr_have_prev_view_bldh = 0;
uint64_t bldr_prev_audit_flags = 0;
char bldr_prev_audit_file_pn[1024];
bool session_pending = false;  // the run's own session is to start with its first rebuild
bool session_failed = false;   // it could not be started

// A special target counts as found when it has a rule of its own (not one inferred from an
// implicit rule).
bool special_found(mf_tgt_table_t *table, const char *name) {
  mf_tgt_entry_t *entry = mf_tgt_lookup(table, name);
  if (entry == nullptr || !entry->defined_as_target) return false;
  entry = nullptr;
  return mf_tgt_validate_tgt(table, name, &entry) == MF_TGT_VALID && entry != nullptr &&
         !mf_tgt_is_implicit_target(table, entry);
}

// Evaluates one goal (or a prologue or termination target) through the controller.
bldr_cm_tgt_status_t eval_goal(bldr_ctl_handle_t *ctl, const char *goal, uint32_t dialect,
                               const char **act) {
  struct Chain {
    list_handle_t list = list_create(STG_AREA_HEAP, 0);
    ~Chain() { list_destroy(list); }
  } chain;
  list_append(chain.list, const_cast<char *>(goal));
  return bldr_ctl_eval_do_tgt(ctl, goal, nullptr, dialect, 0, chain.list, act);
}

}  // namespace

const imsg_msg_table_t _bldr_make_karsel_msg_table = {
    "karsel_bin", kModule, 400, kRows, make_formats, make_catalog,
};

bldr_make_params_t *bldr_command_handle = nullptr;
int32_t bldr_doing_config_recs = 1;
int32_t bldr_doing_config_lookup = 1;
int32_t bldr_lookup_objects_only = 0;
int32_t bldr_sibs_affect_reuse = 0;
char *bldr_view_tag_name = nullptr;
view_handle_t bldr_view_server_handle = VIEW_HANDLE_NULL;
const char *bldr_view_name = nullptr;
tbs_uuid_t *bldr_view_uid_p = nullptr;
char *bldr_view_pname = nullptr;
const char *bldr_view_hostname = nullptr;
uint32_t bldr_view_bld_session = 0;
view_bhandle_t bldr_view_bhandle = {0, 0};
struct timeval bldr_version_ref_time = {};
char *bldr_curr_wd = nullptr;
char *bldr_where_wd = nullptr;
char *bldr_viewrel_wd = nullptr;
tbs_uuid_t *bldr_wd_replica_uuid_p = nullptr;
char *bldr_wd_vob_rel_pname = nullptr;

stg_area_t bldr_make_run_area() { return bldr_processing_stg_area; }

bool bldr_make_should_trace(int level) { return mf_utl_should_trace("bldr", level); }

void bldr_note_dynamic_view_use(int have_view, view_handle_t view, stg_area_t area) {
  PFM_ASSERT(area != STG_AREA_NULL);
  bldr_view_uid_p = static_cast<tbs_uuid_t *>(stg_calloc(area, sizeof(tbs_uuid_t)));
  if (bldr_view_tag_name == nullptr) bldr_view_tag_name = static_cast<char *>(stg_calloc(area, 256));
  if (bldr_view_uid_p == nullptr || bldr_view_tag_name == nullptr) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return;
  }
  if (!have_view) {
    bldr_view_server_handle = VIEW_HANDLE_NULL;
    bldr_doing_config_lookup = bldr_doing_config_recs = 0;
    bldr_view_name = nullptr;
    bldr_view_pname = nullptr;
    bldr_view_hostname = nullptr;
    std::strcpy(bldr_view_tag_name, "BLD_NO_VIEW");
    bldr_view_bld_session = 0;
    std::memset(bldr_view_uid_p, 0, sizeof(tbs_uuid_t));
    if (view == VIEW_HANDLE_NULL) {
      bldr_have_prev_view_bldh = 0;
      bldr_prev_audit_flags = 0;
    }
    return;
  }
  PFM_ASSERT(view != VIEW_HANDLE_NULL);
  if (bldr_make_should_trace(2)) imsg_print(IMSG_TRACE, kTable, MSG_CURRENT_VIEW, bldr_view_tag_name);
  bldr_doing_config_lookup = bldr_doing_config_recs = 1;
  bldr_view_server_handle = view;
  bldr_view_name = view_get_path(view);
  if (const tbs_uuid_t *u = view_get_uuid(view)) *bldr_view_uid_p = *u;
  bldr_view_hostname = view_get_host(view);
  bldr_view_pname = strutl_concat_area(area, {view_get_host(view), ":", view_get_host_path(view)});
}

ks_status_t bldr_make_begin_session() {
  if (session_failed) return KS_ST_ERR;
  if (!session_pending) return KS_ST_OK;
  view_handle_t view = bldr_view_server_handle;
  uint32_t session = 0;
  ks_status_t st = view_bld_session_flags(view, &bldr_version_ref_time, 0, &session);
  if (st != KS_ST_OK) {
    imsg_print(IMSG_ERROR, kTable, MSG_SESSION_START, bldr_view_name, tbs_strerror(st));
    session_failed = true;
    return KS_ST_ERR;
  }
  session_pending = false;
  bldr_view_bld_session = session;
  bldr_view_bhandle = {session, 1};
  view_set_bhandle(view, bldr_view_bhandle);
  // Build scripts, and the makes they run, inherit the session through the environment.
  if (view_audit_set_bhandle(bldr_view_bhandle, &bldr_version_ref_time) != KS_ST_OK) {
    imsg_print(IMSG_ERROR, kTable, MSG_SET_BHANDLE);
    session_failed = true;
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

ks_status_t bldr_init_make(mf_cmf_handle_t cmf, list_handle_t goals, const char *flags,
                           uint32_t parallel, const char *hosts_file,
                           bldr_tgt_table_s **session) {
  ks_status_t result = KS_ST_OK;
  pfm_frame(
      [&] {
        ks_status_t st = vob_ob_all_cache_action(0, 1, 1);
        if (st != KS_ST_OK) imsg_print(IMSG_WARNING, kTable, MSG_VOB_CACHES, tbs_strerror(st));
        mfc_curr_opts_handle = cmf->opts;
        if (cmf->stat_handle == nullptr) cmf->stat_handle = mf_stat_init();
        mfc_mf_stat_handle = cmf->stat_handle;
        cmf->stat_handle = nullptr;
        mfc_mf_macro_table_list = cmf->macro_table_list;
        bldr_doing_config_recs = bldr_doing_config_lookup = 1;

        bldr_processing_stg_area = stg_create_area(32000);
        if (bldr_processing_stg_area == STG_AREA_NULL) {
          tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_AREA_CREATE,
                            pfm_file_stem(__FILE__), __LINE__, 0);
          result = KS_ST_ERR;
          return;
        }
        bldr_view_tag_name = static_cast<char *>(stg_calloc(bldr_processing_stg_area, 256));
        if (bldr_make_should_trace(3)) {
          extern char **environ;
          imsg_print(IMSG_TRACE, kTable, MSG_ENVIRONMENT);
          for (char **e = environ; e && *e; e++) imsg_print(IMSG_TRACE_CONT, "%s\n", -1, *e);
        }

        view_handle_t view = VIEW_HANDLE_NULL;
        st = bldr_utl_view_init(256, bldr_view_tag_name, &view);
        if (st != KS_ST_OK && st != KS_ST_NOT_FOUND) {
          result = KS_ST_ERR;
          return;
        }
        bldr_note_dynamic_view_use(view != VIEW_HANDLE_NULL, view, bldr_processing_stg_area);
        if (view != VIEW_HANDLE_NULL) {
          view_bhandle_t prev = {0, 0};
          st = view_audit_get_state(&prev, bldr_prev_audit_file_pn, 1023, &bldr_prev_audit_flags);
          if (st != KS_ST_OK) imsg_print(IMSG_ERROR, kTable, MSG_AUDIT_STATE, tbs_strerror(st));
          bldr_prev_view_bldh = prev;
          bldr_have_prev_view_bldh = prev.build_session != 0;
          if (bldr_have_prev_view_bldh) {
            if (bldr_prev_audit_flags & VIEW_AUDIT_FLAG_RECORDING) {
              if (bldr_make_should_trace(3)) {
                imsg_print(IMSG_TRACE, kTable, MSG_SUSPENDING);
                imsg_print(IMSG_TRACE, kTable, MSG_AUDIT_FILE, bldr_prev_audit_file_pn);
              }
              if ((st = view_audit_sync()) != KS_ST_OK) {
                imsg_print(IMSG_ERROR, kTable, MSG_SYNC_FAILED, tbs_strerror(st));
                imsg_print(IMSG_ERROR_CONT, kTable, MSG_AUDIT_FILE, bldr_prev_audit_file_pn);
                result = KS_ST_ERR;
                return;
              }
              if ((st = view_audit_stop()) != KS_ST_OK) {
                imsg_print(IMSG_ERROR, kTable, MSG_SUSPEND_FAILED, tbs_strerror(st));
                result = KS_ST_ERR;
                return;
              }
            }
            bldr_view_bhandle = prev;
          } else if (const char *ext = std::getenv("ORVA_EXT_BLD_SESS")) {
            uint32_t session = 0;
            if (strutl_strtoul(ext, &session) != KS_ST_OK) {
              imsg_print(IMSG_ERROR, kTable, MSG_BAD_SESSION, ext);
              result = KS_ST_ERR;
              return;
            }
            imsg_print(IMSG_INFO, kTable, MSG_USING_SESSION, int(session));
            bldr_view_bhandle = {session, 1};
          } else {
            // The run's own session starts with its first rebuild (bldr_make_begin_session): a
            // run that reuses everything writes nothing to the view. Its reference time is the
            // start of the run all the same.
            if (bldr_timeval_ask_view.tv_sec != 0 || bldr_timeval_ask_view.tv_usec != 0)
              bldr_version_ref_time = bldr_timeval_ask_view;
            else
              gettimeofday(&bldr_version_ref_time, nullptr);
            session_pending = true;
          }
          if (!session_pending) {
            view_set_bhandle(view, bldr_view_bhandle);
            if (view_bld_get_ref_time(view, &bldr_version_ref_time) != KS_ST_OK) {
              imsg_print(IMSG_ERROR, kTable, MSG_REF_TIME_FAILED);
              result = KS_ST_ERR;
              return;
            }
          }
          if (bldr_make_should_trace(3)) {
            char buf[64];
            time_t secs = bldr_version_ref_time.tv_sec;
            char *text = ctime_r(&secs, buf);
            if (text) text[std::strcspn(text, "\n")] = '\0';
            imsg_print(IMSG_TRACE, kTable, MSG_REF_TIME, text ? text : "");
          }
          if (!session_pending &&
              view_audit_set_bhandle(bldr_view_bhandle, &bldr_version_ref_time) != KS_ST_OK) {
            imsg_print(IMSG_ERROR, kTable, MSG_SET_BHANDLE);
            result = KS_ST_ERR;
            return;
          }
        }

        bldr_command_handle = bldr_init_make_params(goals, flags, cmf->makeflags,
                                                    cmf->compat_variant, parallel, hosts_file,
                                                    cmf->not_parallel);
        bldr_make_params_t *o = bldr_command_handle;
        if (cmf->silent) o->silent = 1;
        if (cmf->ignore) o->ignore_status = 1;
        if (cmf->posix) o->posix = 1;
        if (cmf->siblings_affect_reuse) bldr_sibs_affect_reuse = 1;
        if (cmf->makefiles_affect_reuse) o->makefiles_affect_reuse = 1;
        o->javac = int32_t(cmf->javac);
        BLDR_OPTS_HANDLE opts = cmf->opts;
        o->no_do_for_sibling = bldr_opts_get_patt_list(opts, BLDR_OPTS_NO_DO_FOR_SIBLING);
        o->no_sibling_do_contained_in =
            bldr_opts_get_patt_list(opts, BLDR_OPTS_NO_SIBLING_DO_CONTAINED_IN);
        o->makefiles_in_config_rec = bldr_opts_get_patt_list(opts, BLDR_OPTS_MAKEFILES_IN_CONFIG_REC);
        o->incremental_repository_sibling =
            bldr_opts_get_patt_list(opts, BLDR_OPTS_INCREMENTAL_REPOSITORY_SIBLING);
        o->makefiles = cmf->makefiles_list;
        cmf->makefiles_list = LIST_HANDLE_NULL;

        if (bldr_utl_cwd_init(bldr_processing_stg_area, &bldr_curr_wd, &bldr_where_wd,
                              &bldr_viewrel_wd, &bldr_wd_replica_uuid_p,
                              &bldr_wd_vob_rel_pname) != KS_ST_OK ||
            bldr_utl_init_cached_vob_obj_to_pname(bldr_processing_stg_area) != KS_ST_OK ||
            bldr_host_init() != KS_ST_OK) {
          result = KS_ST_ERR;
          return;
        }
        *session = bldr_tgt_init(cmf->tgt_table);
        if (*session == nullptr) result = KS_ST_ERR;
      },
      [&](ks_status_t) { bldr_term_make(session); });
  return result;
}

void bldr_term_make(bldr_tgt_table_s **session) {
  pfm_inhibit();
  bldr_host_term();
  if (*session != nullptr) {
    bldr_tgt_term(*session);
    *session = nullptr;
  }
  bldr_utl_flush_fh_cache();
  if (bldr_view_server_handle != VIEW_HANDLE_NULL) {
    view_handle_t view = bldr_view_server_handle;
    if (!bldr_have_prev_view_bldh) {
      // A session that never started has nothing to undo.
      if (std::getenv("ORVA_EXT_BLD_SESS") == nullptr && bldr_view_bld_session != 0) {
        view_set_bhandle(view, bldr_prev_view_bldh);
        if (view_audit_set_bhandle(bldr_prev_view_bldh, nullptr) != KS_ST_OK)
          imsg_print(IMSG_WARNING, kTable, MSG_SET_BHANDLE);
        if (view_bld_session_free(view) != KS_ST_OK)
          imsg_print(IMSG_WARNING, kTable, MSG_SESSION_FREE);
      }
    } else {
      view_set_bhandle(view, bldr_prev_view_bldh);
      if (view_audit_set_bhandle(bldr_prev_view_bldh, &bldr_version_ref_time) != KS_ST_OK)
        imsg_print(IMSG_WARNING, kTable, MSG_SET_BHANDLE);
      if (bldr_prev_audit_flags & VIEW_AUDIT_FLAG_RECORDING) {
        if (bldr_make_should_trace(3)) {
          imsg_print(IMSG_TRACE, kTable, MSG_REESTABLISHING);
          imsg_print(IMSG_TRACE, kTable, MSG_AUDIT_FILE, bldr_prev_audit_file_pn);
        }
        // The build-avoidance marker comes with configuration records.
        view_audit_start(bldr_prev_audit_file_pn, bldr_prev_audit_flags);
      }
    }
    if (bldr_view_uid_p && !tbs_uuid_is_null(bldr_view_uid_p)) {
      view_free_handle(view);
      bldr_view_server_handle = VIEW_HANDLE_NULL;
    }
  }
  bldr_view_bld_session = 0;
  session_pending = false;
  session_failed = false;
  bldr_have_prev_view_bldh = 0;
  bldr_prev_audit_flags = 0;
  bldr_prev_view_bldh = {0, 0};
  bldr_view_bhandle = {0, 0};
  if (bldr_command_handle != nullptr) {
    list_handle_t mfs = bldr_command_handle->makefiles;
    void *d = nullptr;
    if (mfs)
      for (list_cursor_t c = list_next(mfs, nullptr, &d); c; c = list_next(mfs, c, &d)) stg_free(d);
    list_destroy(mfs);
  }
  bldr_command_handle = nullptr;
  bldr_view_uid_p = nullptr;
  bldr_view_pname = nullptr;
  bldr_view_tag_name = nullptr;
  bldr_view_name = nullptr;
  bldr_view_hostname = nullptr;
  bldr_curr_wd = bldr_where_wd = bldr_viewrel_wd = bldr_wd_vob_rel_pname = nullptr;
  bldr_wd_replica_uuid_p = nullptr;
  bldr_utl_finalize_cached_vob_obj_to_pname();
  bldr_utl_finalize_cached_ver_oid_to_elem_dbid();
  bldr_utl_forget_shell_pname();
  stg_delete_area(&bldr_processing_stg_area);
  if (bldr_processing_stg_area != STG_AREA_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_AREA_DELETE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    bldr_processing_stg_area = STG_AREA_NULL;
  }
  mfc_curr_opts_handle = nullptr;
  if (mfc_mf_stat_handle != nullptr) {
    mf_stat_term(static_cast<mf_stat_handle_t>(mfc_mf_stat_handle));
    mfc_mf_stat_handle = nullptr;
  }
  if (bldr_make_should_trace(3)) vob_ob_all_cache_action(0, 4, 0);
  ks_status_t st = vob_ob_all_cache_action(0, 2, 1);
  if (st != KS_ST_OK) imsg_print(IMSG_WARNING, kTable, MSG_VOB_CACHES, tbs_strerror(st));
  pfm_enable();
}

ks_status_t bldr_process_make(mf_cmf_handle_t cmf, list_handle_t goals, const char *flags,
                              uint32_t parallel, const char *hosts_file) {
  bldr_tgt_table_s *session = nullptr;
  bldr_ctl_handle_t *ctl = nullptr;
  ks_status_t result = KS_ST_OK;
  const uint32_t dialect = cmf->compat_variant;
  mf_tgt_table_t *table = cmf->tgt_table;
  pfm_frame(
      [&] {
        bool failure = false, all_up = true, loop_done = false;
        if (bldr_init_make(cmf, goals, flags, parallel, hosts_file, &session) != KS_ST_OK) {
          result = KS_ST_ERR;
        } else {
          imsg_clock();
          bldr_make_params_t *o = bldr_command_handle;
          if (o->goals == LIST_HANDLE_NULL || list_is_empty(o->goals))
            o->goals = mf_tgt_default_goal_list(table);
          if (o->goals == LIST_HANDLE_NULL) {
            imsg_print(IMSG_ERROR, kTable, MSG_NO_TARGET);
            result = KS_ST_ERR;
          } else if ((ctl = bldr_ctl_init(session, table)) == nullptr) {
            result = KS_ST_ERR;
          } else {
            // The dialect's prologue target.
            const char *prologue = dialect == MF_COMPAT_SUN ? ".INIT"
                                   : (dialect == MF_COMPAT_SGISMAKE || dialect == MF_COMPAT_SGIPMAKE)
                                       ? ".BEGIN"
                                       : nullptr;
            bool goals_ok = true;
            if (prologue && special_found(table, prologue)) {
              const char *act = nullptr;
              bldr_cm_tgt_status_t s = eval_goal(ctl, prologue, dialect, &act);
              if (s == BLDR_CM_TGT_ST_REBUILD_FAILED || s == BLDR_CM_TGT_ST_ERROR) {
                failure = true;
                goals_ok = false;
                result = KS_ST_ERR;
              }
            }
            void *d = nullptr;
            list_cursor_t c = goals_ok ? list_next(o->goals, nullptr, &d) : nullptr;
            for (; c; c = list_next(o->goals, c, &d)) {
              const char *goal = static_cast<const char *>(d);
              if (bldr_make_should_trace(2)) imsg_print(IMSG_INFO, kTable, MSG_PROCESSING_GOAL, goal);
              const char *act = nullptr;
              bldr_cm_tgt_status_t s = eval_goal(ctl, goal, dialect, &act);
              bool stop = false;
              switch (s) {
                case BLDR_CM_TGT_ST_REBUILD_FAILED:
                  failure = true;
                  stop = !o->keep_going;
                  break;
                case BLDR_CM_TGT_ST_ERROR:
                  // An error fails the run as a failed build does: .FAILED and not .DONE.
                  failure = true;
                  result = KS_ST_ERR;
                  stop = true;
                  break;
                case BLDR_CM_TGT_ST_REUSED:
                  imsg_print(IMSG_INFO, &_bldr_control_karsel_msg_table, BLDR_CTL_MSG_UP_TO_DATE,
                             act ? act : goal);
                  break;
                case BLDR_CM_TGT_ST_NOT_DEFINED:
                  if (mf_utl_obj_exists(goal) == KS_ST_OK) {
                    imsg_print(IMSG_INFO, kTable,
                               bldr_make_should_trace(2) ? MSG_NOTHING_TO_DO : MSG_FILE_UP_TO_DATE,
                               goal);
                  } else {
                    imsg_print(IMSG_ERROR, &_bldr_tgt_karsel_msg_table, BLDR_TGT_MSG_DONT_KNOW, goal);
                    failure = true;
                    result = KS_ST_ERR;
                    stop = true;
                  }
                  break;
                case BLDR_CM_TGT_ST_OUTDATED:
                  all_up = false;
                  break;
                default:
                  break;
              }
              if (stop) break;
            }
            loop_done = c == nullptr && goals_ok;
            if (loop_done && !o->single_pass)
              result = bldr_ctl_rebuild_poll(ctl, 1, "Evaluation of targets completed.");
            if (result != KS_ST_OK || ctl->failed > 0) failure = true;
          }
        }
        bldr_make_params_t *o = bldr_command_handle;
        // Builds still running are collected before anything else runs or the controller ends.
        if (ctl && o && !o->single_pass && ctl->in_progress > 0) {
          if (!o->keep_going && !ctl->aborted) bldr_ctl_abort_builds(ctl);
          bldr_ctl_rebuild_poll(ctl, 1, "Collecting running builds.");
        }
        if (o && o->question) {
          // Nothing to do is an answer only when every goal could be examined.
          result = all_up && result == KS_ST_OK ? KS_ST_OK : KS_ST_ERR;
        } else if (o && ctl) {
          const char *term = nullptr;
          if (dialect == MF_COMPAT_SUN) {
            if (failure) {
              term = special_found(table, ".FAILED") ? ".FAILED"
                     : special_found(table, ".DONE") ? ".DONE"
                                                      : nullptr;
              result = KS_ST_ERR;
            } else if (special_found(table, ".DONE")) {
              term = ".DONE";
            }
          } else if (dialect == MF_COMPAT_SGISMAKE || dialect == MF_COMPAT_SGIPMAKE) {
            if (failure) result = KS_ST_ERR;
            else if (special_found(table, ".END")) term = ".END";
          } else if (failure) {
            result = KS_ST_ERR;
          }
          if (term != nullptr) {
            bool go = true;
            if (!o->single_pass) {
              bldr_ctl_term(&ctl);
              if ((ctl = bldr_ctl_init(session, table)) == nullptr) {
                result = KS_ST_ERR;
                go = false;
              }
            }
            if (go) {
              const char *act = nullptr;
              eval_goal(ctl, term, dialect, &act);
              if (!o->single_pass)
                bldr_ctl_rebuild_poll(ctl, 1, "Handling special-case termination targets.");
            }
          }
          if (result == KS_ST_OK) result = bldr_tgt_process_epilog(session);
        }
        bldr_ctl_term(&ctl);
        rt_shutdown();
        bldr_term_make(&session);
      },
      [&](ks_status_t) {
        bldr_host_term();
        bldr_ctl_term(&ctl);
        bldr_term_make(&session);
      });
  return result;
}

ks_status_t bld_make(mf_cmf_handle_t cmf, char **goals, uint32_t parallel, const char *hosts_file,
                     const char *flags) {
  if (cmf == nullptr) {
    imsg_print(IMSG_ERROR, "Null makefile symbol table handle\n", -1);
    return KS_ST_ERR;
  }
  vessary_view_root_open_no_inherit();
  list_handle_t list = LIST_HANDLE_NULL;
  if (goals != nullptr && goals[0] != nullptr) {
    list = list_create(STG_AREA_HEAP, 0);
    for (char **g = goals; *g; g++) list_append(list, *g);
  }
  ks_status_t st = bldr_process_make(cmf, list, flags, parallel, hosts_file);
  list_destroy(list);
  return st;
}
