// Per-target operations of the configuration-manager session: the lookup of one target, its
// serial rebuild and the start of a rebuild for the scheduler (under audit in a view, leaving a
// derived object and its record), and the check whether a rebuilt dependency changed.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <deque>
#include <string>
#include <vector>

#include "bld/bldr_cm_int.h"
#include "bld/bldr_cmutl.h"
#include "bld/bldr_cr_audit.h"
#include "bld/bldr_cr_cache.h"
#include "bld/bldr_cr_rbld.h"
#include "bld/bldr_exec.h"
#include "bld/bldr_make.h"
#include "bld/bldr_obj.h"
#include "bld/bldr_script.h"
#include "cm/cm_cr.h"
#include "cm/cr_utl_nt.h"
#include "ks/date.h"
#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "mf/mf_stat.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "view/view_winkin.h"
#include "vob/vob_mtype.h"

namespace {

const imsg_msg_table_t *const kTable = &_bldr_cm_karsel_msg_table;

// The script to run: with VPATH substitutions recorded (sun dialect), the rewritten copy.
bool actual_script(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec, const char *name) {
  if (rec->actual_script != LIST_HANDLE_NULL) return true;
  rec->actual_script = rec->script;
  if (!(h->flags & BLDR_CM_FLAG_SUN) || h->vpath_substs == HASH_HT_NULL || rec->script == nullptr)
    return true;
  if (bldr_script_vpath_subst(rec->script, h->vpath_substs, h->area, &rec->actual_script) != 0) {
    imsg_print(IMSG_ERROR, kTable, BLDR_CM_MSG_NO_SCRIPT, name);
    rec->actual_script = LIST_HANDLE_NULL;
    return false;
  }
  return true;
}

// What the audited rebuild of a target is told: its dependencies inside and outside the VOBs, the
// macros its script used, its primary dependency and script hash, and the record writer's lists.
struct AuditedRun {
  bldr_exec_cr_info_t info{};
  bldr_cr_create_args_t args{};
  std::vector<bldr_cr_predef_dep_t> predefs;
  std::vector<bldr_cr_predef_dep_t *> predef_ptrs;
  std::vector<bldr_cr_fs_dep_t *> fs_ptrs;
  std::vector<char *> vars;
};

// Whether a rebuild of the target leaves a record.
bool audited(bldr_cm_handle_t h, const bldr_cm_tgt_rec_t *rec, int32_t no_exec) {
  return h->records && !no_exec && !fileutl_patt_list_match(h->no_config_rec, rec->pathname);
}

// The preparation of a rebuild with records: primary dependency, script hash, dependencies. 0, or
// KS_ST_ERR.
ks_status_t prepare(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec, const char *name) {
  if (bldr_cm_settle_tgt(h, rec) != KS_ST_OK) return KS_ST_ERR;
  if (bldr_cm_calc_dep_hash(name, h, rec) != KS_ST_OK) return KS_ST_ERR;
  if (!rec->script_hash_done) {
    if (bldr_script_hash(rec->script, &rec->script_hash) != KS_ST_OK) return KS_ST_ERR;
    rec->script_hash_done = 1;
  }
  if (bldr_cm_add_all_dependencies(h, rec, name) != KS_ST_OK) return KS_ST_ERR;
  return bldr_cm_finish_predefs(h, rec) == KS_ST_OK ? KS_ST_OK : KS_ST_ERR;
}

void fill_run(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec, const char *name, AuditedRun *run) {
  void *d = nullptr;
  for (list_cursor_t c = rec->ver_deps ? list_next(rec->ver_deps, nullptr, &d) : nullptr; c;
       c = list_next(rec->ver_deps, c, &d)) {
    auto *v = static_cast<bldr_cm_ver_dep_t *>(d);
    run->predefs.push_back({v->name, v->pathname});
  }
  for (auto &p : run->predefs) run->predef_ptrs.push_back(&p);
  for (list_cursor_t c = rec->nonver_deps ? list_next(rec->nonver_deps, nullptr, &d) : nullptr; c;
       c = list_next(rec->nonver_deps, c, &d))
    run->fs_ptrs.push_back(&static_cast<bldr_cm_nonver_dep_t *>(d)->fs);
  for (list_cursor_t c = rec->script_macros ? list_next(rec->script_macros, nullptr, &d) : nullptr;
       c; c = list_next(rec->script_macros, c, &d))
    run->vars.push_back(static_cast<char *>(d));
  run->args.script_hash = rec->script_hash;
  run->args.primary_dep_oid = rec->primary_oid;
  run->args.no_do_list = h->no_do_for_sibling;
  run->args.no_sib_do_dirs = h->no_sibling_do_contained_in;
  run->args.makefiles_affect_reuse = int32_t(h->makefiles_affect_reuse);
  run->args.incr_repository_sibs = h->incremental_repository_sibling;
  run->args.incremental = (rec->attrs & BLDR_CM_TGT_INCREMENTAL) != 0;
  run->args.merge_permitted = 1;
  run->args.shared_tables = h->shared_tables;

  bldr_exec_cr_info_t &i = run->info;
  const bldr_cm_view_info_t *vi = h->view_info;
  i.records = h;
  i.view = static_cast<view_handle_t>(vi->view_server_handle);
  i.view_tag = vi->view_tag_name;
  i.initial_dir = vi->curr_wd;
  i.initial_dir_canonical = vi->where_wd ? vi->where_wd : vi->curr_wd;
  i.ref_time[0] = vi->ref_time_sec;
  i.ref_time[1] = vi->ref_time_usec;
  i.predef_dep_count = uint32_t(run->predef_ptrs.size());
  i.predef_deps = run->predef_ptrs.data();
  i.fs_dep_count = uint32_t(run->fs_ptrs.size());
  i.fs_deps = run->fs_ptrs.data();
  i.var_def_count = uint32_t(run->vars.size());
  i.var_defs = run->vars.data();
  i.makefiles_count = fileutl_patt_list_match(h->makefiles_in_config_rec, name) ? 1 : 0;
  i.makefiles = h->makefiles;
  i.args = &run->args;
}

// A winked-in derived object at the target's name, and its siblings, become files of this view
// before the script writes them: what a build writes never reaches the data other views share.
void unshare_outputs(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec) {
  struct stat st;
  if (lstat(rec->pathname, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink <= 1) return;
  view_do_unshare(rec->pathname);
  if (!rec->prev_is_do || tbs_oid_is_null(&rec->do_oid_at_lookup)) return;
  tbs_cr_t cached{}, fetched{};
  const tbs_cr_t *cr = nullptr;
  if (bldr_cr_cache_fetch(nullptr, &rec->do_oid_at_lookup, &cached)) cr = &cached;
  else if (cm_cr_get_cr(rec->vobh, &rec->do_oid_at_lookup, 1, 0, nullptr, &fetched) == KS_ST_OK) cr = &fetched;
  if (cr == nullptr) return;
  cr_utl_nt_hdl_t nt = cr_utl_create_nametable(1, h->shared_tables, cr, 0);
  for (uint32_t i = 0; nt && i < cr->obj_count; i++) {
    char vrel[1024], path[1024];
    if (!(cr->objs[i]->flags & TBS_CR_OBJ_NEW_DO) || cr_utl_get_pn(nt, cr, i, sizeof vrel, vrel) == nullptr ||
        fileutl_make_rel_pn(path, sizeof path, vrel, h->view_info->viewrel_wd ? h->view_info->viewrel_wd : "/") != KS_ST_OK)
      continue;
    view_do_unshare(path);
  }
  if (nt) cr_utl_destroy_nametable(nt);
  if (cr == &fetched) cm_cr_free_cr(rec->vobh, &fetched);
}

// After a rebuild the view may hold other objects anywhere, a file of a checked-in version
// rewritten among them: what the session knew of the view is forgotten, so that no later lookup
// takes an object for one it no longer is.
void forget_view(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec) {
  bldr_obj_vertab_flush(h->vertab);
  mf_stat_flush(static_cast<mf_stat_handle_t>(mfc_mf_stat_handle));
  rec->do_oid_now = TBS_OID_NULL;
}

// What a rebuild does before its script runs: with records, the preparation, the audited run's
// arguments and the winked-in outputs made the view's own; the actual script. 0 to run the
// script; 1 when there is none to run (the rebuild is done); -1 on failure. The dependency lists
// are released unless the script is to run.
int ready_rebuild(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec, const char *name, int32_t no_exec,
                  bool *audit, AuditedRun *run) {
  *audit = audited(h, rec, no_exec);
  if (!*audit) rec->script_hash_done = 0;
  int result = 0;
  if (*audit && prepare(h, rec, name) != KS_ST_OK) {
    result = -1;
  } else if (!rec->has_script) {
    if (bldr_cm_traced(2)) imsg_print(IMSG_INFO, kTable, BLDR_CM_MSG_NULL_SCRIPT, name);
    result = 1;
  } else if (!actual_script(h, rec, name)) {
    result = -1;
  }
  if (result != 0) {
    bldr_cm_release_tgt_dep_lists(rec);
    return result;
  }
  if (*audit) {
    fill_run(h, rec, name, run);
    unshare_outputs(h, rec);
  }
  return 0;
}

}  // namespace

bldr_cm_tgt_status_t bldr_cm_lookup_tgt(bldr_cm_handle_t h, const char *name, list_handle_t cotargets) {
  bldr_cm_tgt_rec_t *rec = bldr_cm_find_tgt(h, name, true);
  if (rec == nullptr) return BLDR_CM_TGT_ST_ERROR;
  if (rec->status == BLDR_CM_TGT_ST_UNDEFINED) {
    imsg_print(IMSG_ERROR, kTable, BLDR_CM_MSG_NOT_DEFINED, name);
    rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
    return BLDR_CM_TGT_ST_ERROR;
  }
  if (rec->status != BLDR_CM_TGT_ST_LOOKUP_PENDING) return rec->status;
  if (!h->records || rec->obj_kind != 1 || rec->ftype == VIEW_FTYPE_DIR) {
    imsg_print(IMSG_ERROR, kTable, BLDR_CM_MSG_LOOKUP_DISABLED, name);
    return BLDR_CM_TGT_ST_ERROR;
  }
  if (bldr_cm_add_all_dependencies(h, rec, name) != KS_ST_OK) return BLDR_CM_TGT_ST_ERROR;
  if (!actual_script(h, rec, name)) return BLDR_CM_TGT_ST_ERROR;
  if (bldr_cm_traced(rec->has_script ? 1 : 3)) {
    if (!rec->prev_found)
      imsg_print(IMSG_INFO, "No candidate in current view for \"%s\"\n", -1, name);
    else if (!rec->prev_is_do)
      imsg_print(IMSG_INFO, "Cannot reuse \"%s\" - not a VOB derived object\n", -1, name);
  }
  struct timeval start{};
  const bool timed = bldr_cm_traced(3);
  if (timed) date_get_timeval(&start);
  if (bldr_cm_traced(4)) imsg_print(IMSG_TRACE, "\001\0011B***** START LOOKUP: \"%s\" *****\001\0010B\n", -1, name);
  // The patterns of targets whose scripts are not compared are matched against the target's
  // name in absolute form, made only when there are patterns.
  int cmp_script = 0;
  if (!(h->flags & BLDR_CM_FLAG_OBJECTS_ONLY)) {
    char *abs = nullptr;
    if (h->no_cmp_script != LIST_HANDLE_NULL && !list_is_empty(h->no_cmp_script) &&
        bldr_cmutl_abs_pn(rec->pathname, &abs, h->area) != KS_ST_OK)
      abs = nullptr;
    cmp_script = !fileutl_patt_list_match(h->no_cmp_script, abs ? abs : rec->pathname);
  }
  const tbs_oid_t *prev = rec->prev_found && rec->prev_is_do ? &rec->do_oid_at_lookup : nullptr;
  bldr_cm_tgt_status_t result = bldr_cm_config_lookup(h, name, cotargets, rec, prev, cmp_script);
  rec->status = result;
  switch (result) {
    case BLDR_CM_TGT_ST_REUSED:
    case BLDR_CM_TGT_ST_WINKED_IN:
    case BLDR_CM_TGT_ST_CANT_REUSE:
    case BLDR_CM_TGT_ST_DEP_MISMATCH:
    case BLDR_CM_TGT_ST_DEP_CHECKEDOUT:
      if (timed) {
        struct timeval now;
        date_get_timeval(&now);
        imsg_print(IMSG_TRACE, "Total lookup time (s): %f \n", -1, date_timeval_diff(start, now));
      }
      if (result == BLDR_CM_TGT_ST_REUSED || result == BLDR_CM_TGT_ST_WINKED_IN)
        bldr_cm_release_tgt_dep_lists(rec);
      return result;
    case BLDR_CM_TGT_ST_ERROR:
      rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
      return BLDR_CM_TGT_ST_ERROR;
    default:
      imsg_print(IMSG_ERROR, "Unexpected target status - %d\n", -1, int(result));
      rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
      return BLDR_CM_TGT_ST_ERROR;
  }
}

bldr_cm_tgt_status_t bldr_cm_rbld_tgt(bldr_cm_handle_t h, const char *name,
                                      const view_bhandle_t *, int32_t no_exec,
                                      list_handle_t cond_evs, list_handle_t mand_evs,
                                      const char *shell, const char *shell_flags,
                                      int32_t gnu_like, bldr_cm_dirent_fn_t dirent_update) {
  bldr_cm_tgt_rec_t *rec = bldr_cm_find_tgt(h, name, true);
  if (rec == nullptr) return BLDR_CM_TGT_ST_REBUILD_FAILED;
  if (bldr_make_begin_session() != KS_ST_OK) return rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
  bool audit = false;
  AuditedRun run;
  const int ready = ready_rebuild(h, rec, name, no_exec, &audit, &run);
  if (ready < 0) return rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
  if (ready > 0) return rec->status = BLDR_CM_TGT_ST_REBUILT;
  struct timeval start = {}, end = {};
  const bool timing = mf_utl_should_trace("bldr_show_times", 2);
  if (timing) date_get_timeval(&start);
  int32_t status = 0;
  // The script may change the view's selection: the lookups' hold ends while it runs.
  bldr_cm_hold_view(h, false);
  int r = bldr_exec_script(rec->actual_script, name, &run.info, no_exec, !audit,
                           (h->flags & BLDR_CM_FLAG_SILENT) != 0,
                           (h->flags & BLDR_CM_FLAG_IGNORE_STATUS) != 0,
                           (h->flags & BLDR_CM_FLAG_SGIPMAKE) != 0, shell, shell_flags, gnu_like,
                           mand_evs, cond_evs, dirent_update, &status);
  bldr_cm_hold_view(h, true);
  bldr_cm_release_tgt_dep_lists(rec);
  if (!no_exec) forget_view(h, rec);
  if (r > 0) return rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
  if (r < 0) return rec->status = BLDR_CM_TGT_ST_ERROR;
  if (!no_exec && bldr_cm_traced(2)) imsg_print(IMSG_INFO, kTable, BLDR_CM_MSG_REBUILT, name);
  if (timing) {
    date_get_timeval(&end);
    double secs = date_timeval_diff(start, end);
    imsg_print(IMSG_TRACE, kTable, BLDR_CM_MSG_BUILD_TIME, name, secs);
    h->build_time += secs;
  }
  return rec->status = BLDR_CM_TGT_ST_REBUILT;
}

int bldr_cm_start_rbld_tgt(bldr_cm_handle_t h, const char *name, void *,
                           const view_bhandle_t *, int32_t no_exec, list_handle_t cond_evs,
                           list_handle_t mand_evs, const char *shell, const char *shell_flags,
                           bldr_cm_done_fn_t, void *, int32_t gnu_like,
                           bldr_cm_dirent_fn_t dirent_update, int32_t *failed) {
  bldr_cm_tgt_rec_t *rec = bldr_cm_find_tgt(h, name, true);
  if (rec == nullptr) return -1;
  if (bldr_make_begin_session() != KS_ST_OK) {
    rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
    return -1;
  }
  bool audit = false;
  AuditedRun run;
  const int ready = ready_rebuild(h, rec, name, no_exec, &audit, &run);
  if (ready < 0) {
    rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
    return -1;
  }
  if (ready > 0) {
    *failed = 0;
    rec->status = BLDR_CM_TGT_ST_REBUILT;
    return 1;
  }
  int32_t status = 0;
  bldr_cm_hold_view(h, false);
  int r = bldr_exec_start_script(0, rec->actual_script, name, &run.info, no_exec,
                                 (h->flags & BLDR_CM_FLAG_SILENT) != 0,
                                 (h->flags & BLDR_CM_FLAG_IGNORE_STATUS) != 0,
                                 (h->flags & BLDR_CM_FLAG_SGIPMAKE) != 0, shell, shell_flags,
                                 gnu_like, mand_evs, cond_evs, dirent_update, &status);
  bldr_cm_hold_view(h, true);
  if (r == 0) {
    bldr_cm_note_running(h, true);
    return 0;
  }
  bldr_cm_release_tgt_dep_lists(rec);
  if (!no_exec) forget_view(h, rec);
  if (r < 0) {
    rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
    return -1;
  }
  *failed = 0;
  rec->status = BLDR_CM_TGT_ST_REBUILT;
  return 1;
}

int bldr_cm_chk_rebuild_change(bldr_cm_handle_t h, const char *name) {
  if (!bldr_doing_config_recs || h == BLDR_CM_HANDLE_NULL || !h->records) return 1;
  bldr_cm_tgt_rec_t *rec = bldr_cm_find_tgt(h, name, true);
  if (rec == nullptr || rec->deferred || !rec->prev_found || tbs_oid_is_null(&rec->do_oid_at_lookup))
    return 1;
  uint32_t kind = 0;
  bool read = false;
  if (tbs_oid_is_null(&rec->do_oid_now)) {
    view_xstat_t xs{};
    tbs_oid_t ver = TBS_OID_NULL;
    if (bldr_utl_obj_view_info(rec->pathname, 1, &xs, nullptr, &ver, &kind, nullptr) != KS_ST_OK)
      return 1;
    rec->do_oid_now = ver;
    read = true;
  }
  if (!rec->prev_is_do && (!read || kind != VOB_MTYPE_VERSION)) return 0;
  return tbs_oid_eq(&rec->do_oid_now, &rec->do_oid_at_lookup) ? 0 : 1;
}

// A script audit's descriptor, its arrays and its audit file.
struct bldr_cm_rbld_desc_t {
  ip_rbld_desc desc{};
  size_t script_count = 0;
  char **scripts = nullptr;
  std::vector<bldr_cr_predef_dep_t> predefs;
  std::vector<bldr_cr_predef_dep_t *> predef_ptrs;
  std::vector<bldr_cr_fs_dep_t *> fs_ptrs;
  std::vector<char *> vars;
  bldr_cr_create_args_t args{};
  char *audit_pn = nullptr;
};

namespace {

// Fills the descriptor of a rebuild of the target from its collected dependencies. 0, or KS_ST_ERR
// (what was made is freed by bldr_cm_cleanup_audit).
ks_status_t make_ip_rbld_desc(bldr_cm_handle_t h, const char *name, bldr_cm_tgt_rec_t *rec,
                              time_t start, bldr_cm_rbld_desc_t *d) {
  AuditedRun run;
  if (bldr_cm_finish_predefs(h, rec) != KS_ST_OK) return KS_ST_ERR;
  fill_run(h, rec, name, &run);
  ip_rbld_desc &desc = d->desc;
  desc.build_start = start;
  desc.initial_dir = run.info.initial_dir;
  desc.initial_dir_canonical = run.info.initial_dir_canonical;
  desc.ref_time[0] = run.info.ref_time[0];
  desc.ref_time[1] = run.info.ref_time[1];
  desc.target_name = rec->pathname;
  if (rec->actual_script && bldr_exec_cvt_scripts(rec->actual_script, &d->script_count, &d->scripts) != KS_ST_OK)
    return KS_ST_ERR;
  desc.script_count = uint32_t(d->script_count);
  desc.scripts = d->scripts;
  d->predefs = run.predefs;
  for (auto &p : d->predefs) d->predef_ptrs.push_back(&p);
  d->fs_ptrs = run.fs_ptrs;
  d->vars = run.vars;
  d->args = run.args;
  desc.predef_dep_count = uint32_t(d->predef_ptrs.size());
  desc.predef_deps = d->predef_ptrs.data();
  desc.fs_dep_count = uint32_t(d->fs_ptrs.size());
  desc.fs_deps = d->fs_ptrs.data();
  desc.var_def_count = uint32_t(d->vars.size());
  desc.var_defs = d->vars.data();
  desc.makefile_patterns = h->makefiles_in_config_rec;
  desc.makefiles = h->makefiles;
  desc.makefiles_affect_reuse = h->makefiles_affect_reuse;
  return KS_ST_OK;
}

}  // namespace

ks_status_t bldr_cm_start_script_audit(bldr_cm_handle_t h, const char *name,
                                       bldr_cm_rbld_desc_t **out) {
  *out = nullptr;
  struct timeval now;
  if (date_get_timeval(&now) != KS_ST_OK) {
    imsg_print(IMSG_ERROR, "Unable to get time of day - %s\n", -1, imsg_strerror(errno));
    return KS_ST_ERR;
  }
  bldr_cm_tgt_rec_t *rec = bldr_cm_find_tgt(h, name, true);
  if (rec == nullptr || bldr_make_begin_session() != KS_ST_OK || prepare(h, rec, name) != KS_ST_OK ||
      !actual_script(h, rec, name))
    return KS_ST_ERR;
  auto *d = new (std::nothrow) bldr_cm_rbld_desc_t;
  if (d == nullptr) {
    imsg_print_shared(IMSG_ERROR, "bld/bldr_cm", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  if (make_ip_rbld_desc(h, name, rec, now.tv_sec, d) != KS_ST_OK) {
    bldr_cm_cleanup_audit(d);
    return KS_ST_ERR;
  }
  ks_status_t st = bldr_cr_start_script_audit(&d->desc, &d->audit_pn);
  *out = d;
  // The caller runs the script now, and makes the record after it.
  if (st == KS_ST_OK) bldr_cm_note_running(h, true);
  return st;
}

bldr_cm_tgt_status_t bldr_cm_create_cr_dos_ip(bldr_cm_handle_t h, const char *name,
                                              bldr_cm_rbld_desc_t *d, void *) {
  bldr_cm_tgt_rec_t *rec = bldr_cm_find_tgt(h, name, true);
  if (rec == nullptr || d == nullptr || d->audit_pn == nullptr) return BLDR_CM_TGT_ST_REBUILD_FAILED;
  bldr_cm_note_running(h, false);
  const bldr_cm_view_info_t *vi = h->view_info;
  ks_status_t st = bldr_cr_create_dos_ip_sa(d->audit_pn, &d->desc,
                                            static_cast<view_handle_t>(vi->view_server_handle),
                                            vi->view_tag_name, &d->args);
  forget_view(h, rec);
  return st == KS_ST_OK ? BLDR_CM_TGT_ST_REBUILT : BLDR_CM_TGT_ST_REBUILD_FAILED;
}

void bldr_cm_cleanup_audit(bldr_cm_rbld_desc_t *d) {
  if (d == nullptr) return;
  pfm_inhibit();
  bldr_exec_free_scripts(d->script_count, d->scripts);
  bldr_cr_cleanup_audit(d->audit_pn);
  delete d;
  pfm_enable();
}
