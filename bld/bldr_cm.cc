// The configuration-manager session with records and lookup off: target records, definitions,
// plain rebuilds through the build execution, co-targets and VPATH substitutions.
#include "bld/bldr_cm.h"

#include <cstring>
#include <string>

#include "bld/bldr_exec.h"
#include "bld/bldr_script.h"
#include "ks/date.h"
#include "ks/pfm.h"
#include "ks/stg.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"

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
  hash_ht_t records;       // name -> TgtRec
  uint64_t flags;
  bldr_cm_search_fn_t dep_search;
  void *dep_search_arg;
  bldr_cm_search_fn_t tgt_search;
  void *tgt_search_arg;
  list_handle_t no_config_rec;
  list_handle_t makefiles;
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
                              list_handle_t, list_handle_t, list_handle_t, list_handle_t,
                              list_handle_t, list_handle_t makefiles_list, list_handle_t,
                              list_handle_t, int32_t java_audits) {
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
  h->java_audits = java_audits;
  h->records = hash_str_create(512, sizeof(TgtRec), 1);
  if (h->records == HASH_HT_NULL) {
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
  if (h->records) hash_delete_ht(&h->records);
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
  int found = hash_str_enter(h->records, name, &key, &data);
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
  if (!hash_str_lookup(h->records, name, nullptr, &data)) {
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
  if (!hash_str_lookup(h->records, name, nullptr, &data)) {
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

}  // namespace

bldr_cm_tgt_status_t bldr_cm_rbld_tgt(bldr_cm_handle_t h, const char *name,
                                      const view_bhandle_t *, int32_t no_exec,
                                      list_handle_t cond_evs, list_handle_t mand_evs,
                                      const char *shell, const char *shell_flags,
                                      int32_t gnu_like, bldr_cm_dirent_fn_t dirent_update) {
  void *data = nullptr;
  if (!hash_str_lookup(h->records, name, nullptr, &data)) {
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
  bldr_exec_cr_info_t cr = {nullptr};
  // sgipmake runs each build script in one shell.
  int r = bldr_exec_script(script, name, &cr, no_exec, 1, (h->flags & BLDR_CM_FLAG_SILENT) != 0,
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
  if (!hash_str_lookup(h->records, name, nullptr, &data)) {
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
  bldr_exec_cr_info_t cr = {nullptr};
  int r = bldr_exec_start_script(0, script, name, &cr, no_exec,
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
  if (!hash_str_lookup(h->records, *name, nullptr, &data)) {
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
  if (!hash_str_lookup(h->records, name, nullptr, &data)) {
    int_error(MSG_NOT_REGISTERED, name);
    return;
  }
  TgtRec copy = *static_cast<TgtRec *>(data);
  if (hash_str_enter(h->records, cotarget, nullptr, &co) < 0) return;
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
  if (!hash_str_lookup(h->records, name, nullptr, &data)) return false;
  return !static_cast<TgtRec *>(data)->has_script;
}

void bldr_cm_prev_object(bldr_cm_handle_t h, const char *name, int32_t *found,
                         int32_t *non_shareable) {
  *found = *non_shareable = 0;
  void *data = nullptr;
  if (h == nullptr || !hash_str_lookup(h->records, name, nullptr, &data)) return;
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
