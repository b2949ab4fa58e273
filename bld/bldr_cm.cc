// The configuration-manager session: target records, definitions, rebuilds through the build
// execution (in a view under audit, leaving derived objects and their records, and the record
// cache file of the run's directory; elsewhere plainly), co-targets and VPATH substitutions.
// Lookups decide by date stamps.
#include "bld/bldr_cm.h"

#include <sys/stat.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "bld/bldr_cr_cache.h"
#include "bld/bldr_exec.h"
#include "bld/bldr_script.h"
#include "bld/bldr_tgt.h"
#include "bld/bldr_utl.h"
#include "cm/cr_utl_nt.h"
#include "ks/date.h"
#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "ks/stg.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"
#include "view/view_xstat.h"
#include "vob/vob_mtype.h"

namespace {

const char kModule[] = "bld/bldr_cm";

const char *const cm_formats[] = {
    /* 0 */ "Target \"%s\" was not registered in bldr_cm session\n",
    /* 1 */ "Target \"%s\" was not defined in bldr_cm session\n",
    /* 2 */ "Configuration lookup disabled for target \"%s\"\n",
    /* 3 */ "Null build script for \"%s\"\n\n",
    /* 4 */ "Successfully rebuilt \"%s\"\n\n",
    /* 5 */ "Unable to elaborate build script for target \"%s\"\n",
    /* 6 */ "Attempt to use script pathname substitution facility without initializing it\n",
    /* 7 */ "Build of %s took (seconds): %f \n",
};
constexpr uint16_t kRows = sizeof cm_formats / sizeof cm_formats[0];
const uint16_t cm_catalog[kRows] = {};

enum {
  MSG_NOT_REGISTERED = 0,
  MSG_NOT_DEFINED = 1,
  MSG_LOOKUP_DISABLED = 2,
  MSG_NULL_SCRIPT = 3,
  MSG_REBUILT = 4,
  MSG_NO_SCRIPT = 5,
  MSG_NO_SUBST = 6,
  MSG_BUILD_TIME = 7,
};

// One target of the session (stored by value in the record hash).
struct TgtRec {
  bldr_cm_tgt_status_t status;
  uint64_t attrs;
  uint32_t has_script;
  const char *pathname;
  list_handle_t instances;
  list_handle_t script;
  list_handle_t script_macros;
  uint32_t registered;
  int32_t prev_found;
  int32_t prev_non_shareable;
};

bool trace(const char *name, int level) { return mf_utl_should_trace(name, level); }

void int_error(int row, const char *name) {
  imsg_print(IMSG_ERROR, &_bldr_cm_karsel_msg_table, row, name);
}

}  // namespace

struct bldr_cm_handle_s {
  stg_area_t area;
  bldr_cm_view_info_t *view_info;
  hash_ht_t vpath_substs;  // name -> char *
  hash_ht_t targets;       // name -> TgtRec
  uint64_t flags;
  bldr_cm_search_fn_t dep_search;
  void *dep_search_arg;
  bldr_cm_search_fn_t tgt_search;
  void *tgt_search_arg;
  list_handle_t no_config_rec;
  list_handle_t makefiles;
  list_handle_t no_do_for_sibling;
  list_handle_t no_sibling_do_contained_in;
  list_handle_t makefiles_in_config_rec;
  list_handle_t incremental_repository_sibling;
  bool records;                  // rebuilds run under audit and leave records
  cr_utl_st_hdl_t shared_tables;
  int32_t java_audits;
  double eval_time;
  double build_time;
};

const imsg_msg_table_t _bldr_cm_karsel_msg_table = {
    "karsel_bin", kModule, 430, kRows, cm_formats, cm_catalog,
};

bldr_cm_handle_t bldr_cm_init(uint64_t flags, bldr_cm_view_info_t *view_info, list_handle_t,
                              list_handle_t no_config_rec, list_handle_t, list_handle_t,
                              list_handle_t, list_handle_t, list_handle_t, list_handle_t,
                              list_handle_t, list_handle_t, list_handle_t,
                              list_handle_t no_do_for_sibling,
                              list_handle_t no_sibling_do_contained_in,
                              list_handle_t makefiles_list, list_handle_t makefiles_in_config_rec,
                              list_handle_t incremental_repository_sibling, int32_t java_audits) {
  stg_area_t area = stg_create_area(32000);
  if (area == STG_AREA_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_AREA_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    PFM_PANIC();
  }
  pfm_inhibit();
  auto *h = static_cast<bldr_cm_handle_s *>(stg_calloc(area, sizeof(bldr_cm_handle_s)));
  pfm_enable();
  if (h == nullptr) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    PFM_PANIC();
  }
  h->area = area;
  h->view_info = view_info;
  h->flags = flags;
  h->no_config_rec = no_config_rec;
  h->makefiles = makefiles_list;
  h->no_do_for_sibling = no_do_for_sibling;
  h->no_sibling_do_contained_in = no_sibling_do_contained_in;
  h->makefiles_in_config_rec = makefiles_in_config_rec;
  h->incremental_repository_sibling = incremental_repository_sibling;
  h->java_audits = java_audits;
  h->records = !(flags & BLDR_CM_FLAG_NO_CONFIG_RECS) && view_info != nullptr &&
               view_info->view_server_handle != nullptr;
  if (h->records) {
    // A cache that cannot be read costs time, not results: its status is not looked at.
    bldr_cr_cache_read(".tvick.state", nullptr);
    h->shared_tables = cr_utl_create_shared_tables(1, view_info->curr_wd);
  }
  h->targets = hash_str_create(512, sizeof(TgtRec), 1);
  if (h->targets == HASH_HT_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    bldr_cm_term(h);
    return BLDR_CM_HANDLE_NULL;
  }
  return h;
}

void bldr_cm_term(bldr_cm_handle_t h) {
  if (h == BLDR_CM_HANDLE_NULL) return;
  pfm_inhibit();
  if (mf_verbosity > 1 || (imsg_get_desired_verbosity() > 1 && imsg_should_trace("bldr_show_times", 2))) {
    imsg_print(IMSG_TRACE, "Time building (no nimbrels) (s)       : %f\n", -1, h->build_time);
    imsg_print(IMSG_TRACE, "Time evaluating targets (s)       : %f\n", -1, h->eval_time);
  }
  if (h->records) {
    bldr_cr_cache_close(nullptr);
    cr_utl_destroy_shared_tables(h->shared_tables);
  }
  if (h->targets) hash_delete_ht(&h->targets);
  if (h->vpath_substs) hash_delete_ht(&h->vpath_substs);
  stg_area_t area = h->area;
  stg_delete_area(&area);
  pfm_enable();
}

void bldr_cm_set_dep_search(bldr_cm_handle_t h, bldr_cm_search_fn_t fn, void *arg) {
  h->dep_search = fn;
  h->dep_search_arg = arg;
}

void bldr_cm_set_tgt_search(bldr_cm_handle_t h, bldr_cm_search_fn_t fn, void *arg) {
  h->tgt_search = fn;
  h->tgt_search_arg = arg;
}

ks_status_t bldr_cm_register_tgt(bldr_cm_handle_t h, const char *name, const char *search_name,
                                 int32_t *go_on) {
  void *data = nullptr;
  const char *key = nullptr;
  int found = hash_str_enter(h->targets, name, &key, &data);
  if (found < 0) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  auto *rec = static_cast<TgtRec *>(data);
  if (found == 0) {
    rec->status = BLDR_CM_TGT_ST_UNDEFINED;
    rec->pathname = stg_area_strdup(h->area, search_name ? search_name : name);
  }
  rec->registered = 1;
  // Without configuration records no target is looked up in the versioned file system.
  *go_on = 0;
  return KS_ST_OK;
}

ks_status_t bldr_cm_define_tgt(bldr_cm_handle_t h, const char *name, const bldr_cm_tgt_def_t *def) {
  void *data = nullptr;
  if (!hash_str_lookup(h->targets, name, nullptr, &data)) {
    int_error(MSG_NOT_REGISTERED, name);
    return KS_ST_ERR;
  }
  auto *rec = static_cast<TgtRec *>(data);
  rec->instances = def->instances;
  rec->script = def->script;
  rec->has_script = def->script != LIST_HANDLE_NULL;
  rec->script_macros = def->script_macros;
  rec->attrs = def->flags;
  if (rec->status == BLDR_CM_TGT_ST_UNDEFINED) rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
  return KS_ST_OK;
}

bldr_cm_tgt_status_t bldr_cm_lookup_tgt(bldr_cm_handle_t h, const char *name, list_handle_t) {
  void *data = nullptr;
  if (!hash_str_lookup(h->targets, name, nullptr, &data)) {
    int_error(MSG_NOT_REGISTERED, name);
    return BLDR_CM_TGT_ST_ERROR;
  }
  auto *rec = static_cast<TgtRec *>(data);
  if (rec->status == BLDR_CM_TGT_ST_UNDEFINED) {
    int_error(MSG_NOT_DEFINED, name);
    rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
    return BLDR_CM_TGT_ST_ERROR;
  }
  if (rec->status != BLDR_CM_TGT_ST_LOOKUP_PENDING) return rec->status;
  int_error(MSG_LOOKUP_DISABLED, name);
  return BLDR_CM_TGT_ST_ERROR;
}

namespace {

// The script to run: with VPATH substitutions recorded (sun dialect), the rewritten copy.
bool actual_script(bldr_cm_handle_t h, const TgtRec *rec, const char *name, list_handle_t *out) {
  *out = rec->script;
  if (!(h->flags & BLDR_CM_FLAG_SUN) || h->vpath_substs == HASH_HT_NULL || rec->script == nullptr)
    return true;
  if (bldr_script_vpath_subst(rec->script, h->vpath_substs, h->area, out) != 0) {
    imsg_print(IMSG_ERROR, &_bldr_cm_karsel_msg_table, MSG_NO_SCRIPT, name);
    return false;
  }
  return true;
}

// What the audited rebuild of a target is told: its dependencies inside and outside the VOBs, the
// macros its script used, its primary dependency and script hash, and the record writer's lists.
struct AuditedRun {
  bldr_exec_cr_info_t info{};
  bldr_cr_create_args_t args{};
  std::deque<std::string> texts;
  std::vector<bldr_cr_predef_dep_t> predefs;
  std::vector<bldr_cr_predef_dep_t *> predef_ptrs;
  std::vector<bldr_cr_fs_dep_t> fs;
  std::vector<bldr_cr_fs_dep_t *> fs_ptrs;
  std::vector<char *> vars;

  const char *keep(const std::string &t) { return texts.emplace_back(t).c_str(); }
};

// Whether a rebuild of name runs under audit and leaves a record.
bool audited(bldr_cm_handle_t h, const char *name, int32_t no_exec) {
  return h->records && !no_exec && !fileutl_patt_list_match(h->no_config_rec, name);
}

// The dependency names of the target's instances, each once, in order; the instances' leading
// dependencies into *leading.
std::vector<const char *> dependencies(const TgtRec *rec, std::vector<const char *> *leading) {
  std::vector<const char *> out;
  void *d = nullptr;
  for (list_cursor_t c = rec->instances ? list_next(rec->instances, nullptr, &d) : nullptr; c;
       c = list_next(rec->instances, c, &d)) {
    auto *inst = static_cast<bldr_tgt_inst_t *>(d);
    if (inst == nullptr) continue;
    if (inst->imp_dep) leading->push_back(inst->imp_dep);
    void *dd = nullptr;
    for (list_cursor_t l = inst->deps ? list_next(inst->deps, nullptr, &dd) : nullptr; l;
         l = list_next(inst->deps, l, &dd)) {
      const char *dep = static_cast<const char *>(dd);
      bool seen = false;
      for (const char *o : out) seen = seen || std::strcmp(o, dep) == 0;
      if (!seen) out.push_back(dep);
    }
  }
  return out;
}

void prepare_audited(bldr_cm_handle_t h, const TgtRec *rec, const char *name, list_handle_t script,
                     AuditedRun *run) {
  std::vector<const char *> leading;
  std::vector<const char *> deps = dependencies(rec, &leading);
  auto pathname_of = [&](const char *dep) {
    void *data = nullptr;
    if (hash_str_lookup(h->targets, dep, nullptr, &data) && static_cast<TgtRec *>(data)->pathname)
      return static_cast<const char *>(static_cast<TgtRec *>(data)->pathname);
    return dep;
  };
  // The makefile stat cache answers what each dependency is.
  auto info = [](const char *path, view_xstat_t *xs) {
    return bldr_utl_obj_cache_info(path, mfc_mf_stat_handle, 1, xs, nullptr, nullptr, nullptr,
                                   nullptr, nullptr);
  };
  for (const char *dep : deps) {
    const char *path = pathname_of(dep);
    view_xstat_t xs;
    ks_status_t st = bldr_utl_tgt_is_gnu_order_only_specifier(dep) ? KS_ST_NOT_FOUND : info(path, &xs);
    if (st == KS_ST_NOT_IN_VOB) {
      struct stat sb;
      if (stat(path, &sb) != 0) continue;
      bldr_cr_fs_dep_t f{};
      f.name = run->keep(dep);
      f.pathname = run->keep(path);
      f.length = uint64_t(sb.st_size);
      f.mtime = int64_t(sb.st_mtime);
      if (bldr_utl_get_crc(&f, &f.crc) != KS_ST_OK) f.kind = 2;
      run->fs.push_back(f);
      continue;
    }
    run->predefs.push_back({run->keep(dep), run->keep(st == KS_ST_OK ? path : "")});
  }
  for (auto &p : run->predefs) run->predef_ptrs.push_back(&p);
  for (auto &f : run->fs) run->fs_ptrs.push_back(&f);
  // The primary dependency: the first leading dependency, else the first dependency, that the
  // view knows (a view-private directory does not count).
  leading.insert(leading.end(), deps.begin(), deps.end());
  for (const char *dep : leading) {
    view_xstat_t xs;
    if (info(pathname_of(dep), &xs) != KS_ST_OK ||
        (xs.mtype == VOB_MTYPE_VIEW_PRIVATE && xs.fstat.type == VIEW_FTYPE_DIR))
      continue;
    run->args.primary_dep_oid = xs.obj_oid;
    break;
  }
  void *m = nullptr;
  for (list_cursor_t c = rec->script_macros ? list_next(rec->script_macros, nullptr, &m) : nullptr;
       c; c = list_next(rec->script_macros, c, &m))
    run->vars.push_back(const_cast<char *>(run->keep(static_cast<const char *>(m))));
  bldr_script_hash(script, &run->args.script_hash);
  run->args.no_do_list = h->no_do_for_sibling;
  run->args.no_sib_do_dirs = h->no_sibling_do_contained_in;
  run->args.makefiles_affect_reuse = (h->flags & BLDR_CM_FLAG_MAKEFILES_AFFECT_REUSE) != 0;
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

}  // namespace

bldr_cm_tgt_status_t bldr_cm_rbld_tgt(bldr_cm_handle_t h, const char *name,
                                      const view_bhandle_t *, int32_t no_exec,
                                      list_handle_t cond_evs, list_handle_t mand_evs,
                                      const char *shell, const char *shell_flags,
                                      int32_t gnu_like, bldr_cm_dirent_fn_t dirent_update) {
  void *data = nullptr;
  if (!hash_str_lookup(h->targets, name, nullptr, &data)) {
    int_error(MSG_NOT_REGISTERED, name);
    return BLDR_CM_TGT_ST_REBUILD_FAILED;
  }
  auto *rec = static_cast<TgtRec *>(data);
  if (!rec->has_script) {
    if (trace("bldr_cm", 2)) imsg_print(IMSG_INFO, &_bldr_cm_karsel_msg_table, MSG_NULL_SCRIPT, name);
    return rec->status = BLDR_CM_TGT_ST_REBUILT;
  }
  list_handle_t script = LIST_HANDLE_NULL;
  if (!actual_script(h, rec, name, &script)) return rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
  struct timeval start = {}, end = {};
  const bool timing = trace("bldr_show_times", 2);
  if (timing) date_get_timeval(&start);
  int32_t status = 0;
  AuditedRun run;
  const bool audit = audited(h, name, no_exec);
  if (audit) prepare_audited(h, rec, name, script, &run);
  // sgipmake runs each build script in one shell.
  int r = bldr_exec_script(script, name, &run.info, no_exec, !audit, (h->flags & BLDR_CM_FLAG_SILENT) != 0,
                           (h->flags & BLDR_CM_FLAG_IGNORE_STATUS) != 0,
                           (h->flags & BLDR_CM_FLAG_SGIPMAKE) != 0, shell, shell_flags, gnu_like,
                           mand_evs, cond_evs, dirent_update, &status);
  if (r > 0) return rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
  if (r < 0) return rec->status = BLDR_CM_TGT_ST_ERROR;
  if (!no_exec && trace("bldr_cm", 2)) imsg_print(IMSG_INFO, &_bldr_cm_karsel_msg_table, MSG_REBUILT, name);
  if (timing) {
    date_get_timeval(&end);
    double secs = date_timeval_diff(start, end);
    imsg_print(IMSG_TRACE, &_bldr_cm_karsel_msg_table, MSG_BUILD_TIME, name, secs);
    h->build_time += secs;
  }
  return rec->status = BLDR_CM_TGT_ST_REBUILT;
}

int bldr_cm_start_rbld_tgt(bldr_cm_handle_t h, const char *name, void *,
                           const view_bhandle_t *, int32_t no_exec, list_handle_t cond_evs,
                           list_handle_t mand_evs, const char *shell, const char *shell_flags,
                           bldr_cm_done_fn_t, void *, int32_t gnu_like,
                           bldr_cm_dirent_fn_t dirent_update, int32_t *failed) {
  void *data = nullptr;
  if (!hash_str_lookup(h->targets, name, nullptr, &data)) {
    int_error(MSG_NOT_REGISTERED, name);
    return -1;
  }
  auto *rec = static_cast<TgtRec *>(data);
  if (!rec->has_script) {
    if (trace("bldr_cm", 2)) imsg_print(IMSG_INFO, &_bldr_cm_karsel_msg_table, MSG_NULL_SCRIPT, name);
    *failed = 0;
    rec->status = BLDR_CM_TGT_ST_REBUILT;
    return 1;
  }
  list_handle_t script = LIST_HANDLE_NULL;
  if (!actual_script(h, rec, name, &script)) {
    rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
    return -1;
  }
  int32_t status = 0;
  AuditedRun run;
  if (audited(h, name, no_exec)) prepare_audited(h, rec, name, script, &run);
  int r = bldr_exec_start_script(0, script, name, &run.info, no_exec,
                                 (h->flags & BLDR_CM_FLAG_SILENT) != 0,
                                 (h->flags & BLDR_CM_FLAG_IGNORE_STATUS) != 0,
                                 (h->flags & BLDR_CM_FLAG_SGIPMAKE) != 0, shell, shell_flags,
                                 gnu_like, mand_evs, cond_evs, dirent_update, &status);
  if (r == 0) return 0;
  if (r < 0) {
    rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
    return -1;
  }
  *failed = 0;
  rec->status = BLDR_CM_TGT_ST_REBUILT;
  return 1;
}

int bldr_cm_chk_rbld(bldr_cm_handle_t h, const char **name, int32_t *failed, int32_t *winked_in) {
  PFM_ASSERT(winked_in != NULL);
  *winked_in = 0;
  int32_t status = 0, reuse = 0;
  int r = bldr_exec_chk_for_completion(name, &status, &reuse);
  if (r <= 0 || *name == nullptr) return r;
  void *data = nullptr;
  if (!hash_str_lookup(h->targets, *name, nullptr, &data)) {
    int_error(MSG_NOT_REGISTERED, *name);
    *failed = -1;
    return r;
  }
  auto *rec = static_cast<TgtRec *>(data);
  *failed = status != 0;
  rec->status = status == 0 ? BLDR_CM_TGT_ST_REBUILT : BLDR_CM_TGT_ST_REBUILD_FAILED;
  return r;
}

int bldr_cm_chk_rebuild_change(bldr_cm_handle_t, const char *) { return 1; }

void bldr_cm_claim_cotarget_was_rebuilt(bldr_cm_handle_t h, const char *name,
                                        const char *cotarget) {
  void *data = nullptr, *co = nullptr;
  if (!hash_str_lookup(h->targets, name, nullptr, &data)) {
    int_error(MSG_NOT_REGISTERED, name);
    return;
  }
  TgtRec copy = *static_cast<TgtRec *>(data);
  if (hash_str_enter(h->targets, cotarget, nullptr, &co) < 0) return;
  copy.pathname = stg_area_strdup(h->area, cotarget);
  *static_cast<TgtRec *>(co) = copy;
}

ks_status_t bldr_cm_add_vpath_subst(bldr_cm_handle_t h, const char *name, const char *pathname) {
  if (!(h->flags & BLDR_CM_FLAG_SUN)) {
    imsg_print(IMSG_ERROR, &_bldr_cm_karsel_msg_table, MSG_NO_SUBST);
    return KS_ST_ERR;
  }
  if (h->vpath_substs == HASH_HT_NULL) {
    h->vpath_substs = hash_str_create(512, sizeof(char *), 1);
    if (h->vpath_substs == HASH_HT_NULL) {
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE);
      return KS_ST_ERR;
    }
  }
  void *data = nullptr;
  int found = hash_str_enter(h->vpath_substs, name, nullptr, &data);
  if (found < 0) return KS_ST_ERR;
  if (found == 0) *static_cast<char **>(data) = stg_area_strdup(h->area, pathname);
  return KS_ST_OK;
}

hash_ht_t bldr_cm_vpath_substs(bldr_cm_handle_t h) { return h ? h->vpath_substs : HASH_HT_NULL; }

bool bldr_cm_is_null_rbld_tgt(bldr_cm_handle_t h, const char *name) {
  void *data = nullptr;
  if (!hash_str_lookup(h->targets, name, nullptr, &data)) return false;
  return !static_cast<TgtRec *>(data)->has_script;
}

void bldr_cm_prev_object(bldr_cm_handle_t h, const char *name, int32_t *found,
                         int32_t *non_shareable) {
  *found = *non_shareable = 0;
  void *data = nullptr;
  if (h == nullptr || !hash_str_lookup(h->targets, name, nullptr, &data)) return;
  *found = static_cast<TgtRec *>(data)->prev_found;
  *non_shareable = static_cast<TgtRec *>(data)->prev_non_shareable;
}

void bldr_cm_add_eval_time(bldr_cm_handle_t h, double seconds) {
  if (h) h->eval_time += seconds;
}

const char *bldr_cm_printable_status_spelling(int32_t status) {
  static const char *const names[] = {
      "UNDEFINED",  "LOOKUP_PENDING", "REBUILD_FAILED", "ERROR",         "REUSED",
      "CANT_REUSE", "REBUILT",        "NOT_DEFINED",    "WINKED_IN",     "BUILD_PENDING",
      "DEP_MISMATCH", "UPTODATE (-q)", "OUTDATED (-q)", "DEP_CHECKEDOUT",
  };
  if (status < -4 || status > 9) return "??NONESUCH??";
  return names[status + 4];
}
