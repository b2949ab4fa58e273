// The configuration-manager session: opening and closing it with its flags, pattern lists,
// statistics and record cache, its setters, the winkin view lists, and the names of statuses.
#include "bld/bldr_cm.h"

#include <cstdlib>
#include <cstring>

#include "bld/bldr_cm_int.h"
#include "bld/bldr_cmutl.h"
#include "bld/bldr_cr_cache.h"
#include "bld/bldr_make.h"
#include "bld/bldr_obj.h"
#include "ks/date.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/bldr_macro.h"
#include "mf/mf.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"
#include "dbrpc/dbrpc_viewdb.h"
#include "dbrpc/dbrpc_vobdb.h"
#include "view/view_xstat.h"
#include "vob/vob_pname.h"

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
    /* 8 */ "Cannot reuse \"%s\"\n",
    /* 9 */ " Don't know how to make \"%s\". Stop.\n",
    /* 10 */ "Target \"%s\" does not correspond to an Vessary object\n",
    /* 11 */ "Target candidate \"%s\" is a directory\n",
    /* 12 */ "Target candidate \"%s\" is a symbolic link\n",
    /* 13 */ "Trying to collect dependency info for target \"%s\" but evaluation of subtarget \"%s\" failed\n",
    /* 14 */ "\"%s\", a co-target of \"%s\", may not have been rebuilt.\nTarget groups should only be used when all co-targets are built together.\n",
    /* 15 */ "Unable to initialize configuration record tables\n",
    /* 16 */ "\n*** Config Lookup Statistics ***\n\n",
    /* 17 */ "Targets looked up:\t\t%lu\n",
    /* 18 */ "Previous DOs evaluated:\t\t%lu\n",
    /* 19 */ "Same-as-prev wins:\t\t%lu\n",
    /* 20 */ "Previous DOs that matched:\t%lu\n",
    /* 21 */ "Shared candidates evaluated:\t%lu\n",
    /* 22 */ "Unshared candidates evaluated:\t%lu\n",
    /* 23 */ "Candidates with no data:\t%lu\n",
    /* 24 */ "Previous DO candidates:\t\t%lu\n",
    /* 25 */ "Shared candidates that matched:\t%lu\n",
    /* 26 */ "Unshared candidates that matched:\t%lu\n",
    /* 27 */ "Cannot reuse \"%s\" - build script mismatch\n",
    /* 28 */ "<<< current build script\n>>> \"%s\" build script\n",
    /* 29 */ "***************\n",
    /* 30 */ "Unable to process config record for target candidate \"%s\"\n",
    /* 31 */ "Created cr_utl name table - elapsed time: %lu seconds \n",
    /* 32 */ "Marking \"%s\" as NON_CRITICAL dependency for \"%s\"\n",
    /* 33 */ "Predefined dependency \"%s\" will NOT be ignored while looking for a reusable \"%s\"\n",
    /* 34 */ "Makefile dependency \"%s\" for target \"%s\" found at different search path location\n",
    /* 35 */ "Old location: \"%s\", new location: \"%s\"\n",
    /* 36 */ "Makefile dependency \"%s\" was not a makefile dependency for target candidate \"%s\"\n",
    /* 37 */ "Cannot reuse \"%s\" - copy of derived object\n",
    /* 38 */ "START config match\n",
    /* 39 */ "Config match SUCCEEDED - elapsed time: %lu seconds\n",
    /* 40 */ "Config match FAILED - elapsed time: %lu seconds\n",
    /* 41 */ "START non-Vessary config match\n",
    /* 42 */ "Non-Vessary config match SUCCEEDED - elapsed time: %lu seconds\n",
    /* 43 */ "Non-Vessary config match FAILED - elapsed time: %lu seconds\n",
    /* 44 */ "Configuration record format %d is not supported (this release reads format %d)\n",
};
constexpr uint16_t kRows = sizeof cm_formats / sizeof cm_formats[0];
const uint16_t cm_catalog[kRows] = {};

// A copy of the pattern list in the session's area, each pattern made absolute and
// view-relative; null when list is null or on failure (*failed set).
list_handle_t absolute_copy(list_handle_t list, stg_area_t area, bool *failed) {
  if (list == LIST_HANDLE_NULL) return LIST_HANDLE_NULL;
  list_handle_t copy = list_create(area, 0);
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c && copy; c = list_next(list, c, &d))
    list_append(copy, d);
  if (copy == LIST_HANDLE_NULL || bldr_cmutl_fix_spl_tgt_patt_list(copy, area) != KS_ST_OK) {
    *failed = true;
    return LIST_HANDLE_NULL;
  }
  return copy;
}

}  // namespace

const imsg_msg_table_t _bldr_cm_karsel_msg_table = {
    "karsel_bin", kModule, 430, kRows, cm_formats, cm_catalog,
};

bool bldr_cm_traced(int level) { return mf_utl_should_trace("bldr_cm", level); }

namespace {

// Holds directory resolutions while the lookups' hold is open and no started script runs (a
// script may replace a directory); ends the hold otherwise.
void hold_names(bldr_cm_handle_t h) {
  const bool want = h->view_held && h->running == 0;
  if (want == h->names_held) return;
  if (want) vob_pname_hold_begin();
  else vob_pname_hold_end();
  h->names_held = want;
}

}  // namespace

void bldr_cm_hold_view(bldr_cm_handle_t h, bool hold) {
  if (h == BLDR_CM_HANDLE_NULL || !h->records) return;
  if (hold) {
    view_xstat_hold_begin();
    dbrpc_viewdb_batch_begin();
    dbrpc_vobdb_batch_begin();
  } else {
    dbrpc_vobdb_batch_end();
    dbrpc_viewdb_batch_end();
    view_xstat_hold_end();
  }
  h->view_held = hold;
  hold_names(h);
}

void bldr_cm_note_running(bldr_cm_handle_t h, bool started) {
  if (h == BLDR_CM_HANDLE_NULL || !h->records) return;
  if (started) h->running++;
  else if (h->running > 0) h->running--;
  hold_names(h);
}

bldr_cm_tgt_rec_t *bldr_cm_find_tgt(bldr_cm_handle_t h, const char *name, bool report) {
  void *data = nullptr;
  if (h != BLDR_CM_HANDLE_NULL && hash_str_lookup(h->targets, name, nullptr, &data))
    return static_cast<bldr_cm_tgt_rec_t *>(data);
  if (report) imsg_print(IMSG_ERROR, &_bldr_cm_karsel_msg_table, BLDR_CM_MSG_NOT_REGISTERED, name);
  return nullptr;
}

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
  bool failed = false;
  h->dependency_ignored = absolute_copy(dependency_ignored_for_reuse, area, &failed);
  h->no_cmp_script = absolute_copy(no_cmp_script, area, &failed);
  if (failed) {
    bldr_cm_term(h);
    return BLDR_CM_HANDLE_NULL;
  }
  h->view_info = view_info;
  h->flags = flags;
  h->interference_sets = interference_sets;
  h->no_config_rec = no_config_rec;
  h->no_cmp_non_mf_deps = no_cmp_non_mf_deps;
  h->no_print_cmp_script = no_print_cmp_script;
  h->no_wink_in = no_wink_in;
  h->directory_ignored = directory_ignored_for_reuse;
  h->directory_affects = directory_affects_reuse;
  h->no_config_match_slinks = no_config_match_slinks;
  h->sibling_ignored = sibling_ignored_for_reuse;
  h->no_do_for_sibling = no_do_for_sibling;
  h->no_sibling_do_contained_in = no_sibling_do_contained_in;
  h->makefiles = makefiles_list;
  h->makefiles_in_config_rec = makefiles_in_config_rec;
  h->incremental_repository_sibling = incremental_repository_sibling;
  h->java_audits = java_audits;
  h->makefiles_affect_reuse = (flags & BLDR_CM_FLAG_MAKEFILES_AFFECT_REUSE) != 0;
  date_get_timeval(&h->start);
  h->targets = hash_str_create(512, sizeof(bldr_cm_tgt_rec_t), 1);
  h->vertab = bldr_obj_vertab_create();
  if (h->targets == HASH_HT_NULL || h->vertab == HASH_HT_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    bldr_cm_term(h);
    return BLDR_CM_HANDLE_NULL;
  }
  long extent = 256;
  const char *text = mf_getenv("ORVA_INIT_SHOP_HASH_EXTENT");
  if (text == nullptr || !*text || strutl_strtol(text, 10, &extent) != KS_ST_OK || extent <= 0)
    extent = 256;
  h->dep_hashes = cr_utl_new_dep_hash_array(uint32_t(extent), 1);
  if (h->dep_hashes == CR_UTL_HASH_DEPS_H_NULL) {
    bldr_cm_term(h);
    return BLDR_CM_HANDLE_NULL;
  }
  // Records need a view; without one the session decides nothing and rebuilds run plainly.
  h->records = bldr_doing_config_recs && !(flags & BLDR_CM_FLAG_NO_CONFIG_RECS) &&
               view_info != nullptr && view_info->view_server_handle != nullptr;
  if (h->records) {
    h->shared_tables = cr_utl_create_shared_tables(1, view_info->curr_wd);
    if (h->shared_tables == CR_UTL_ST_HDL_NULL) {
      imsg_print(IMSG_ERROR, &_bldr_cm_karsel_msg_table, BLDR_CM_MSG_NO_CR_TABLES);
      bldr_cm_term(h);
      return BLDR_CM_HANDLE_NULL;
    }
  }
  // A cache that cannot be read costs time, not results: its status is not looked at.
  if (h->records && (bldr_doing_config_lookup || bldr_doing_config_recs))
    bldr_cr_cache_read(".tvick.state", nullptr);
  bldr_cm_hold_view(h, true);
  return h;
}

void bldr_cm_term(bldr_cm_handle_t h) {
  bldr_cr_cache_close(nullptr);
  if (h == BLDR_CM_HANDLE_NULL) return;
  pfm_inhibit();
  bldr_cm_hold_view(h, false);
  if (mf_verbosity > 1 ||
      (imsg_get_desired_verbosity() > 1 && imsg_should_trace("bldr_shopping_stats", 2))) {
    imsg_print(IMSG_INFO, &_bldr_cm_karsel_msg_table, BLDR_CM_MSG_STATS);
    for (int i = 0; i < 10; i++)
      imsg_print(IMSG_INFO, &_bldr_cm_karsel_msg_table, BLDR_CM_MSG_STATS + 1 + i,
                 static_cast<unsigned long>(h->stats[i]));
  }
  if (mf_verbosity > 1 ||
      (imsg_get_desired_verbosity() > 1 && imsg_should_trace("bldr_show_times", 2))) {
    struct timeval now;
    date_get_timeval(&now);
    float elapsed = float(now.tv_sec - h->start.tv_sec) + float(now.tv_usec - h->start.tv_usec) * 0.000001f;
    imsg_print(IMSG_TRACE, "Time building (no nimbrels) (s)       : %f\n", -1, h->build_time);
    imsg_print(IMSG_TRACE, "Time spent shopping (s)           : %f\n", -1, h->shopping_time);
    imsg_print(IMSG_TRACE, "Time spent winking-in (s)         : %f\n", -1, h->winkin_time);
    imsg_print(IMSG_TRACE, "Time evaluating targets (s)       : %f\n", -1, h->eval_time);
    imsg_print(IMSG_TRACE, "Time stalled waiting for hosts (s): %f\n", -1, h->host_stall_time);
    imsg_print(IMSG_TRACE, "Time stalled waiting for nimbrels (s) : %f\n", -1, h->executor_stall_time);
    imsg_print(IMSG_TRACE, "Time with parallel interference(s): %f\n", -1, h->interference_time);
    imsg_print(IMSG_TRACE, "Time elapsed for build (s)        : %f\n", -1, double(elapsed));
  }
  if (h->targets) {
    void *data = nullptr;
    for (hash_cursor_t c = hash_str_next(h->targets, nullptr, nullptr, &data); c;
         c = hash_str_next(h->targets, c, nullptr, &data)) {
      auto *rec = static_cast<bldr_cm_tgt_rec_t *>(data);
      bldr_cm_release_tgt_dep_lists(rec);
      cr_utl_destroy_dep_hash_array(&rec->dep_hashes);
      stg_free(rec->do_name);
      stg_free(rec->abs_pname);
    }
    hash_delete_ht(&h->targets);
  }
  if (h->vpath_substs) hash_delete_ht(&h->vpath_substs);
  if (h->vertab) hash_delete_ht(&h->vertab);
  if (h->shared_tables) cr_utl_destroy_shared_tables(h->shared_tables);
  cr_utl_destroy_dep_hash_array(&h->dep_hashes);
  stg_area_t area = h->area;
  stg_delete_area(&area);
  pfm_enable();
}

ks_status_t bldr_cm_set_patt_lists(bldr_cm_handle_t h, list_handle_t interference_sets,
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
                                   list_handle_t incremental_repository_sibling) {
  auto set = [](list_handle_t *slot, list_handle_t value) {
    if (value != LIST_HANDLE_NULL) *slot = value;
  };
  set(&h->interference_sets, interference_sets);
  set(&h->no_config_rec, no_config_rec);
  set(&h->no_cmp_non_mf_deps, no_cmp_non_mf_deps);
  set(&h->no_cmp_script, no_cmp_script);
  set(&h->no_print_cmp_script, no_print_cmp_script);
  set(&h->no_wink_in, no_wink_in);
  set(&h->dependency_ignored, dependency_ignored_for_reuse);
  set(&h->directory_ignored, directory_ignored_for_reuse);
  set(&h->directory_affects, directory_affects_reuse);
  set(&h->sibling_ignored, sibling_ignored_for_reuse);
  set(&h->no_do_for_sibling, no_do_for_sibling);
  set(&h->no_sibling_do_contained_in, no_sibling_do_contained_in);
  set(&h->makefiles_in_config_rec, makefiles_in_config_rec);
  set(&h->incremental_repository_sibling, incremental_repository_sibling);
  return KS_ST_OK;
}

ks_status_t bldr_cm_set_makefiles_list(bldr_cm_handle_t h, list_handle_t list) {
  h->makefiles = list;
  return KS_ST_OK;
}

ks_status_t bldr_cm_set_makefiles_affect_reuse(bldr_cm_handle_t h, int32_t value) {
  h->makefiles_affect_reuse = uint32_t(value);
  return KS_ST_OK;
}

ks_status_t bldr_cm_adjust_sess_flags(bldr_cm_handle_t h, uint64_t set, uint64_t clear) {
  if (h == BLDR_CM_HANDLE_NULL) return KS_ST_ERR;
  h->flags = (h->flags | set) & ~clear;
  return KS_ST_OK;
}

ks_status_t bldr_cm_cwd_changed(bldr_cm_handle_t h) {
  bldr_utl_inval_cwd_cache();
  bldr_cm_view_info_t *vi = h->view_info;
  tbs_uuid_t *replica = const_cast<tbs_uuid_t *>(vi->wd_replica_uuid);
  ks_status_t st = bldr_utl_cwd_init(h->area, &vi->curr_wd, &vi->where_wd, &vi->viewrel_wd,
                                     &replica, &vi->wd_vob_rel_pname);
  vi->wd_replica_uuid = replica;
  return st;
}

void bldr_cm_set_dep_search(bldr_cm_handle_t h, bldr_cm_search_fn_t fn, void *arg) {
  h->dep_search = fn;
  h->dep_search_arg = arg;
}

void bldr_cm_set_tgt_search(bldr_cm_handle_t h, bldr_cm_search_fn_t fn, void *arg) {
  h->tgt_search = fn;
  h->tgt_search_arg = arg;
}

int bldr_cm_sess_flag_auto_do_checkout(bldr_cm_handle_t h) {
  return (h->flags & BLDR_CM_FLAG_AUTO_CHECKOUT) != 0;
}

int bldr_cm_sess_flag_auto_do_checkin(bldr_cm_handle_t h) {
  return (h->flags & BLDR_CM_FLAG_AUTO_CHECKIN) != 0;
}

char *bldr_cm_get_orva_winkin_views(list_handle_t macro_tables, int allow) {
  if (macro_tables == LIST_HANDLE_NULL) macro_tables = mfc_mf_macro_table_list;
  const char *value =
      bldr_macro_lookup(macro_tables, allow ? "ORVA_WINKIN_VIEWS" : "ORVA_NO_WINKIN_VIEWS", nullptr);
  if (value == nullptr) return nullptr;
  const uint32_t dialect = bldr_command_handle ? uint32_t(bldr_command_handle->dialect) : 0;
  char *expanded = nullptr;
  if (bldr_macro_expand_line_list(macro_tables, bldr_macro_compat_to_macro_flavor(dialect), value,
                                  1, STG_AREA_HEAP, &expanded, LIST_HANDLE_NULL,
                                  STG_AREA_NULL) != KS_ST_OK)
    return nullptr;
  return expanded;
}

void bldr_cm_require_destroy_views_list(list_handle_t *views_list_p) {
  PFM_ASSERT(views_list_p != NULL);
  if (*views_list_p == LIST_HANDLE_NULL) return;
  void *d = nullptr;
  for (list_cursor_t c = list_next(*views_list_p, nullptr, &d); c; c = list_next(*views_list_p, c, &d)) {
    auto *v = static_cast<bldr_cm_winkin_view_t *>(d);
    if (v) stg_free(v->tag);
    stg_free(v);
  }
  list_destroy(*views_list_p);
  *views_list_p = LIST_HANDLE_NULL;
}

bool bldr_cm_is_null_rbld_tgt(bldr_cm_handle_t h, const char *name) {
  bldr_cm_tgt_rec_t *rec = bldr_cm_find_tgt(h, name, false);
  return rec && !rec->has_script;
}

void bldr_cm_prev_object(bldr_cm_handle_t h, const char *name, int32_t *found,
                         int32_t *non_shareable) {
  *found = *non_shareable = 0;
  bldr_cm_tgt_rec_t *rec = bldr_cm_find_tgt(h, name, false);
  if (rec == nullptr) return;
  *found = rec->prev_found;
  *non_shareable = rec->prev_non_shareable;
}

void bldr_cm_add_eval_time(bldr_cm_handle_t h, double seconds) {
  if (h) h->eval_time += seconds;
}

ks_status_t bldr_cm_add_vpath_subst(bldr_cm_handle_t h, const char *name, const char *pathname) {
  if (!(h->flags & BLDR_CM_FLAG_SUN)) {
    imsg_print(IMSG_ERROR, &_bldr_cm_karsel_msg_table, BLDR_CM_MSG_NO_SUBST);
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

const char *bldr_cm_printable_status_spelling(int32_t status) {
  static const char *const names[] = {
      "UNDEFINED",  "LOOKUP_PENDING", "REBUILD_FAILED", "ERROR",         "REUSED",
      "CANT_REUSE", "REBUILT",        "NOT_DEFINED",    "WINKED_IN",     "BUILD_PENDING",
      "DEP_MISMATCH", "UPTODATE (-q)", "OUTDATED (-q)", "DEP_CHECKEDOUT",
  };
  if (status < -4 || status > 9) return "??NONESUCH??";
  return names[status + 4];
}
