// The target manager: target records, the rebuild decision (through the configuration-manager
// session or by date stamps), the actual scripts of a target, serial and parallel rebuilds,
// co-target and reuse claims, and the .END epilog of deferred lines.
#include "bld/bldr_tgt.h"

#include <cstring>

#include "bld/bldr_exec.h"
#include "bld/bldr_make.h"
#include "bld/bldr_script.h"
#include "bld/bldr_utl.h"
#include "cm/cr_utl_bs.h"
#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/bldr_opts.h"
#include "mf/mf.h"
#include "mf/mf_dirent.h"
#include "mf/mf_stat.h"
#include "mf/mf_tgt_group.h"
#include "mf/mf_tgt_validate.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"

namespace {

const char kModule[] = "bld/bldr_tgt";

const char *const tgt_formats[] = {
    /* 0 */ "Unable to obtain target table entry handle for \"%s\"\n",
    /* 1 */ "Instance list was EMPTY for target \"%s\"\n",
    /* 2 */ "Must rebuild \"%s\" - due to rebuild of subtarget \"%s\"\n",
    /* 3 */ " Don't know how to make \"%s\". Stop.\n",
    /* 4 */ "Unable to compute actual build script for \"%s\"\n",
    /* 5 */ "Rebuild info not initialized for \"%s\".\n",
    /* 6 */ "Successfully rebuilt \"%s\"\n\n",
    /* 7 */ ("Name conflict between epilog target \"%s\" and a user-defined target with the same "
             "name?\n"),
    /* 8 */ "Target pathname \"%s\" exceeds implementation limit\n",
    /* 9 */ ("Concatenation of search directory \"%s\" and target pathname \"%s\" exceeds "
             "implementation limit\n"),
    /* 10 */ "Date/time of last modification for target \"%s\" is: %s\n",
    /* 11 */ "Found candidate \"%s\" for target \"%s\", modification time is: %s\n",
    /* 12 */ "No candidate in current view for \"%s\"\n",
    /* 13 */ "No dependencies for instance of target \"%s\".\n",
    /* 14 */ "\"%s\" is out-of-date with \"%s\".\n",
    /* 15 */ "Unable to determine modification time for dependency \"%s\"\n",
    /* 16 */ "Date/time of last modification for dependency \"%s\" is: %s\n",
};
constexpr uint16_t kRows = sizeof tgt_formats / sizeof tgt_formats[0];
const uint16_t tgt_catalog[kRows] = {};

enum {
  MSG_NO_ENTRY = 0,
  MSG_NO_INSTANCES = 1,
  MSG_MUST_REBUILD = 2,
  MSG_NO_SCRIPT = 4,
  MSG_NOT_INITIALIZED = 5,
  MSG_REBUILT = 6,
  MSG_EPILOG_CONFLICT = 7,
};

const char kEpilog[] = ".END";

bool t(int level) { return mf_utl_should_trace("bldr_tgt", level); }

list_handle_t search_list(void *table, const char *name) {
  return mf_tgt_search_list(static_cast<mf_tgt_table_t *>(table), name);
}

// The record of name, made (LOOKUP_PENDING) when new.
bldr_tgt_rec_t *find_or_make(bldr_tgt_table_t *h, const char *name, bool *was_new = nullptr) {
  void *data = nullptr;
  const char *key = nullptr;
  int found = hash_str_enter(h->records, name, &key, &data);
  if (found < 0) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY, pfm_file_stem(__FILE__),
                      __LINE__, 0);
    PFM_PANIC();
  }
  auto *rec = static_cast<bldr_tgt_rec_t *>(data);
  if (found == 0) {
    std::memset(rec, 0, sizeof *rec);
    rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
  }
  if (was_new) *was_new = found == 0;
  return rec;
}

mf_tgt_entry_t *entry_of(mf_tgt_table_t *table, const char *name) {
  mf_tgt_entry_t *entry = mf_tgt_lookup(table, name);
  if (entry == nullptr) {
    tbs_log_int_error(kModule, &_bldr_tgt_karsel_msg_table, MSG_NO_ENTRY, pfm_file_stem(__FILE__),
                      __LINE__, 0);
    imsg_print(IMSG_ERROR, &_bldr_tgt_karsel_msg_table, MSG_NO_ENTRY, name);
    PFM_PANIC();
  }
  return entry;
}

void fill_from_entry(bldr_tgt_rec_t *rec, mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                     const char *name) {
  rec->is_archive = mf_tgt_is_archive(table, entry);
  rec->has_script = mf_tgt_has_script(table, entry);
  rec->pathname = mf_tgt_act_pn(table, entry);
  if (rec->pathname == nullptr) rec->pathname = name;
  rec->attrs = bldr_opts_get_tgt_attrs(mfc_curr_opts_handle, name);
}

bool pending_rebuild(bldr_cm_tgt_status_t s) {
  return s == BLDR_CM_TGT_ST_CANT_REUSE || s == BLDR_CM_TGT_ST_DEP_MISMATCH ||
         s == BLDR_CM_TGT_ST_DEP_CHECKEDOUT;
}

void free_script(list_handle_t script) {
  if (script == LIST_HANDLE_NULL) return;
  void *inst = nullptr;
  for (list_cursor_t c = list_next(script, nullptr, &inst); c; c = list_next(script, c, &inst)) {
    auto *lines = static_cast<list_handle_t>(inst);
    if (lines == LIST_HANDLE_NULL) continue;
    void *d = nullptr;
    for (list_cursor_t l = list_next(lines, nullptr, &d); l; l = list_next(lines, l, &d)) {
      auto *line = static_cast<cr_utl_bs_line_t *>(d);
      if (line) stg_free(line->text);
      stg_free(line);
    }
    list_destroy(lines);
  }
  list_destroy(script);
}

void free_instances(bldr_tgt_rec_t *rec) {
  void *d = nullptr;
  if (rec->instances)
    for (list_cursor_t c = list_next(rec->instances, nullptr, &d); c;
         c = list_next(rec->instances, c, &d))
      stg_free(d);
  list_destroy(rec->instances);
  rec->instances = LIST_HANDLE_NULL;
}

// The shell flags of a rebuild (null: none given); in the GNU dialects without a setting, no
// flags, which the script's environment tells through an empty ORVA_SHELL_FLAGS.
const char *shell_flags(list_handle_t mand_evs) {
  if (bldr_command_handle->sgipmake) return nullptr;
  const char *v = mf_getenv("ORVA_SHELL_FLAGS");
  if (v == nullptr) v = mf_getenv("ZELVANE_BLD_SHELL_FLAGS");
  if (v != nullptr) return v;
  const int32_t d = bldr_command_handle->dialect;
  if (d != MF_COMPAT_PGNU && d != MF_COMPAT_GNU) return nullptr;
  if (mand_evs != LIST_HANDLE_NULL && !strutl_str_in_list("ORVA_SHELL_FLAGS=", mand_evs))
    list_append(mand_evs, stg_strdup("ORVA_SHELL_FLAGS="));
  return "";
}

uint64_t def_flags(bldr_tgt_table_t *, mf_tgt_table_t *table, const char *name) {
  uint64_t f = 0;
  if (bldr_tgt_is_incr_tgt(name)) f |= BLDR_CM_TGT_INCREMENTAL;
  if (mf_tgt_sibs_affect_reuse(table, name)) f |= BLDR_CM_TGT_SIBS_AFFECT_REUSE;
  return f;
}

ks_status_t define(bldr_tgt_table_t *h, mf_tgt_table_t *table, const char *name,
                   bldr_tgt_rec_t *rec, list_handle_t script) {
  list_handle_t cotargets = LIST_HANDLE_NULL;
  if (table && mf_tgt_has_cotargets(table, name, &cotargets))
    mf_tgt_require_tgt_group_consistency(table, name);
  bldr_cm_tgt_def_t def = {rec->instances, rec->pathname, script, rec->script_macros,
                           table ? def_flags(h, table, name) : 0};
  return bldr_cm_define_tgt(h->cm_handle, name, &def);
}

void append_deferred(bldr_tgt_table_t *h, bldr_tgt_rec_t *rec) {
  if (rec->deferred_lines == LIST_HANDLE_NULL) return;
  if (h->epilog_script == LIST_HANDLE_NULL) h->epilog_script = list_create(h->area, 0);
  if (h->epilog_script) list_concat(h->epilog_script, rec->deferred_lines);
}

// Computes the lookup or rebuild script of the record. 0, or -1 after a message.
int calc_bld_scripts(bldr_tgt_table_t *h, const char *name, bldr_tgt_rec_t *rec, bool rebuild) {
  if (!rebuild && rec->lookup_script_done) return 0;
  if (rebuild) {
    if (rec->rebuild_script_done) return 0;
    if (rec->lookup_script_done && !bldr_tgt_is_incr_tgt(name)) {
      rec->rebuild_script = rec->lookup_script;
      rec->rebuild_script_done = 1;
      return 0;
    }
  }
  if (bldr_doing_config_recs &&
      !fileutl_patt_list_match(bldr_opts_get_patt_list(mfc_curr_opts_handle, BLDR_OPTS_NO_CONFIG_REC),
                               rec->pathname))
    rec->script_macros = list_create(STG_AREA_HEAP, 0);
  list_handle_t script = LIST_HANDLE_NULL;
  void *d = nullptr;
  if (rec->instances != LIST_HANDLE_NULL) {
    for (list_cursor_t c = list_next(rec->instances, nullptr, &d); c;
         c = list_next(rec->instances, c, &d)) {
      auto *inst = static_cast<bldr_tgt_inst_t *>(d);
      if (inst->template_script == LIST_HANDLE_NULL || list_is_empty(inst->template_script))
        continue;
      list_handle_t ood = (!rebuild || inst->ood_deps == LIST_HANDLE_NULL) ? inst->script_deps
                                                                           : inst->ood_deps;
      list_handle_t actual = LIST_HANDLE_NULL, deferred = LIST_HANDLE_NULL;
      if (bldr_script_compute_actual(inst->template_script, rec->pathname, inst->imp_dep, ood,
                                     inst->script_deps, inst->bogus_deps, inst->member_name,
                                     inst->flags, STG_AREA_HEAP, rec->script_macros,
                                     inst->base_pname, &actual, &deferred) != 0) {
        imsg_print(IMSG_ERROR, &_bldr_tgt_karsel_msg_table, MSG_NO_SCRIPT, name);
        free_script(script);
        return -1;
      }
      if (actual != LIST_HANDLE_NULL) {
        if (script == LIST_HANDLE_NULL) script = list_create(STG_AREA_HEAP, 0);
        list_append(script, actual);
      }
      if (deferred != LIST_HANDLE_NULL) {
        // Deferred lines outlive the target's scripts (they run at the end of the run): they
        // move into the manager's area.
        list_handle_t kept = list_create(h->area, 0);
        void *x = nullptr;
        for (list_cursor_t l = list_next(deferred, nullptr, &x); kept && l;
             l = list_next(deferred, l, &x)) {
          auto *line = static_cast<cr_utl_bs_line_t *>(x);
          auto *copy = static_cast<cr_utl_bs_line_t *>(stg_alloc(h->area, sizeof(cr_utl_bs_line_t)));
          if (copy == nullptr || (copy->text = stg_area_strdup(h->area, line->text)) == nullptr) {
            kept = LIST_HANDLE_NULL;
            break;
          }
          copy->attr = line->attr;
          list_append(kept, copy);
        }
        list_handle_t one = list_create(STG_AREA_HEAP, 0);
        list_append(one, deferred);
        free_script(one);
        if (kept == LIST_HANDLE_NULL) {
          imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
          free_script(script);
          return -1;
        }
        if (rec->deferred_lines == LIST_HANDLE_NULL) rec->deferred_lines = list_create(h->area, 0);
        list_append(rec->deferred_lines, kept);
      }
    }
  }
  if (rebuild) {
    rec->rebuild_script = script;
    rec->rebuild_script_done = 1;
  } else {
    rec->lookup_script = script;
    rec->lookup_script_done = 1;
  }
  return 0;
}

// What a rebuild needs: the shell and the environment lists (released by the caller).
struct RebuildEnv {
  char shell[1024] = "";
  list_handle_t mand = LIST_HANDLE_NULL;
  list_handle_t cond = LIST_HANDLE_NULL;
  const char *flags = nullptr;
  ~RebuildEnv() {
    bldr_opts_free_evs(mand);
    bldr_opts_free_evs(cond);
  }
};

// Steps 2 to 4 of a rebuild: the shell, the environment, the no-execute flag and the
// definition. 0, or -1 after a message.
int prepare_rebuild(bldr_tgt_table_t *h, mf_tgt_table_t *table, const char *name,
                    bldr_tgt_rec_t *rec, RebuildEnv *env, int32_t *no_exec) {
  if (rec->rebuild_script != LIST_HANDLE_NULL) {
    if (!bldr_command_handle->no_execute) {
      pfm_inhibit();
      mf_stat_invalidate(static_cast<mf_stat_handle_t>(mfc_mf_stat_handle));
      pfm_enable();
    }
    if (bldr_exec_tgt_info(name, env->shell, sizeof env->shell, &env->mand, &env->cond) != KS_ST_OK)
      return -1;
    env->flags = shell_flags(env->mand);
  }
  *no_exec = bldr_command_handle->no_execute && !(table && mf_tgt_is_recurs_make(table, name));
  if (define(h, table, name, rec, rec->rebuild_script) != KS_ST_OK) return -1;
  return 0;
}

}  // namespace

const imsg_msg_table_t _bldr_tgt_karsel_msg_table = {
    "karsel_bin", kModule, 411, kRows, tgt_formats, tgt_catalog,
};

bldr_tgt_table_t *bldr_tgt_init(mf_tgt_table_t *table) {
  const bldr_make_params_t *o = bldr_command_handle;
  uint64_t flags = 0;
  if (o->flag_M) flags |= BLDR_CM_FLAG_OPT_M;
  if (bldr_lookup_objects_only) flags |= BLDR_CM_FLAG_OBJECTS_ONLY;
  if (o->view_only) flags |= BLDR_CM_FLAG_VIEW_ONLY;
  if (!bldr_doing_config_recs) flags |= BLDR_CM_FLAG_NO_CONFIG_RECS;
  if (o->no_execute) flags |= BLDR_CM_FLAG_NO_EXECUTE;
  if (!o->single_pass) flags |= BLDR_CM_FLAG_NOT_SINGLE_PASS;
  if (o->silent) flags |= BLDR_CM_FLAG_SILENT;
  if (o->ignore_status) flags |= BLDR_CM_FLAG_IGNORE_STATUS;
  if (o->sgipmake) flags |= BLDR_CM_FLAG_SGIPMAKE;
  if (o->keep_going) flags |= BLDR_CM_FLAG_KEEP_GOING;
  if (o->dialect == MF_COMPAT_SUN) flags |= BLDR_CM_FLAG_SUN;
  if (bldr_sibs_affect_reuse) flags |= BLDR_CM_FLAG_SIBS_AFFECT_REUSE;
  if (o->makefiles_affect_reuse) flags |= BLDR_CM_FLAG_MAKEFILES_AFFECT_REUSE;
  if (o->auto_checkout) flags |= BLDR_CM_FLAG_AUTO_CHECKOUT;
  if (o->auto_checkin) flags |= BLDR_CM_FLAG_AUTO_CHECKIN;

  stg_area_t area = stg_create_area(32000);
  if (area == STG_AREA_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_AREA_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    PFM_PANIC();
  }
  auto *h = static_cast<bldr_tgt_table_t *>(stg_calloc(area, sizeof(bldr_tgt_table_t)));
  if (h == nullptr) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY, pfm_file_stem(__FILE__),
                      __LINE__, 0);
    PFM_PANIC();
  }
  h->area = area;
  h->view_info = static_cast<bldr_cm_view_info_t *>(stg_calloc(area, sizeof(bldr_cm_view_info_t)));
  if (h->view_info == nullptr) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    bldr_tgt_term(h);
    return nullptr;
  }
  bldr_cm_view_info_t *vi = h->view_info;
  vi->view_server_handle = bldr_view_server_handle;
  vi->bld_session = bldr_view_bld_session;
  vi->ref_time_sec = bldr_version_ref_time.tv_sec;
  vi->ref_time_usec = bldr_version_ref_time.tv_usec;
  vi->view_pname = bldr_view_pname;
  vi->view_name = bldr_view_name;
  vi->view_tag_name = bldr_view_tag_name;
  vi->curr_wd = bldr_curr_wd;
  vi->where_wd = bldr_where_wd;
  vi->viewrel_wd = bldr_viewrel_wd;
  vi->wd_vob_rel_pname = bldr_wd_vob_rel_pname;
  vi->wd_replica_uuid = bldr_wd_replica_uuid_p;
  vi->view_uid = bldr_view_uid_p;

  BLDR_OPTS_HANDLE opts = mfc_curr_opts_handle;
  auto pl = [opts](bldr_opts_patt_kind_t k) { return bldr_opts_get_patt_list(opts, k); };
  h->cm_handle = bldr_cm_init(
      flags, vi, bldr_opts_get_parallel_interference_sets(opts), pl(BLDR_OPTS_NO_CONFIG_REC),
      pl(BLDR_OPTS_NO_CMP_NON_MF_DEPS), pl(BLDR_OPTS_NO_CMP_SCRIPT),
      pl(BLDR_OPTS_NO_PRINT_CMP_SCRIPT), pl(BLDR_OPTS_NO_WINK_IN),
      pl(BLDR_OPTS_DEPENDENCY_IGNORED_FOR_REUSE), pl(BLDR_OPTS_DIRECTORY_IGNORED_FOR_REUSE),
      pl(BLDR_OPTS_DIRECTORY_AFFECTS_REUSE), pl(BLDR_OPTS_NO_CONFIG_MATCH_SLINKS),
      pl(BLDR_OPTS_SIBLING_IGNORED_FOR_REUSE), pl(BLDR_OPTS_NO_DO_FOR_SIBLING),
      pl(BLDR_OPTS_NO_SIBLING_DO_CONTAINED_IN), o->makefiles, pl(BLDR_OPTS_MAKEFILES_IN_CONFIG_REC),
      pl(BLDR_OPTS_INCREMENTAL_REPOSITORY_SIBLING), o->javac);
  if (h->cm_handle == BLDR_CM_HANDLE_NULL) {
    bldr_tgt_term(h);
    return nullptr;
  }
  bldr_cm_set_dep_search(h->cm_handle, search_list, table);
  bldr_cm_set_tgt_search(h->cm_handle, search_list, table);
  h->records = hash_str_create(512, sizeof(bldr_tgt_rec_t), 1);
  if (h->records == HASH_HT_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    bldr_tgt_term(h);
    return nullptr;
  }
  return h;
}

int bldr_tgt_term(bldr_tgt_table_t *h) {
  if (h == nullptr) return 0;
  pfm_inhibit();
  bldr_cm_term(h->cm_handle);
  h->cm_handle = BLDR_CM_HANDLE_NULL;
  if (h->records) {
    // Whatever the controller did not release yet (an aborted run) goes back to the heap.
    void *data = nullptr;
    for (hash_cursor_t c = hash_str_next(h->records, nullptr, nullptr, &data); c;
         c = hash_str_next(h->records, c, nullptr, &data)) {
      auto *rec = static_cast<bldr_tgt_rec_t *>(data);
      if (rec->rebuild_script != rec->lookup_script) free_script(rec->rebuild_script);
      free_script(rec->lookup_script);
      bldr_opts_free_evs(rec->script_macros);
      free_instances(rec);
    }
    hash_delete_ht(&h->records);
  }
  stg_area_t area = h->area;
  stg_delete_area(&area);
  pfm_enable();
  return 0;
}

bldr_cm_handle_t bldr_tgt_get_cm_handle(bldr_tgt_table_t *h) {
  return h ? h->cm_handle : BLDR_CM_HANDLE_NULL;
}

bldr_cm_tgt_status_t bldr_tgt_check_tgt_status(bldr_tgt_table_t *h, const char *name) {
  return find_or_make(h, name)->status;
}

bldr_tgt_rec_t *bldr_tgt_get_tgt_handle(bldr_tgt_table_t *h, const char *name) {
  void *data = nullptr;
  return hash_str_lookup(h->records, name, nullptr, &data) ? static_cast<bldr_tgt_rec_t *>(data)
                                                           : nullptr;
}

ks_status_t bldr_tgt_set_tgt_status(bldr_tgt_rec_t *rec, bldr_cm_tgt_status_t status,
                                    bldr_cm_tgt_status_t old, int force) {
  PFM_ASSERT(rec != NULL);
  PFM_ASSERT(status >= BLDR_CM_TGT_ST_UNDEFINED && status <= BLDR_CM_TGT_ST_DEP_CHECKEDOUT);
  const bool t3 = t(3);
  if (t3) imsg_print(IMSG_TRACE, "Current tgt_status: %d\n", -1, rec->status);
  if (!force && rec->status != old) {
    if (t3) {
      imsg_print(IMSG_TRACE, "Failed to set new tgt_status: %d\n", -1, status);
      imsg_print(IMSG_TRACE, "Old tgt_status: %d\n", -1, old);
    }
    return KS_ST_ERR;
  }
  rec->status = status;
  if (t3) imsg_print(IMSG_TRACE, "Set new tgt_status: %d\n", -1, status);
  return KS_ST_OK;
}

bool bldr_tgt_has_script(const bldr_tgt_rec_t *rec) {
  return (rec->rebuild_script != LIST_HANDLE_NULL && !list_is_empty(rec->rebuild_script)) ||
         !rec->no_script;
}

bool bldr_tgt_has_non_empty_script(const bldr_tgt_rec_t *rec) {
  PFM_ASSERT(rec != NULL);
  if (!bldr_tgt_has_script(rec)) return false;
  // Once the rebuild script is computed it answers, also before the target's state is released:
  // a target whose every line expands to nothing has nothing to run.
  if (rec->rebuild_script != LIST_HANDLE_NULL || rec->rebuild_script_done) {
    if (rec->rebuild_script == LIST_HANDLE_NULL) return false;
    void *inst = nullptr;
    for (list_cursor_t c = list_next(rec->rebuild_script, nullptr, &inst); c;
         c = list_next(rec->rebuild_script, c, &inst)) {
      auto *lines = static_cast<list_handle_t>(inst);
      void *first = nullptr;
      if (lines && list_next(lines, nullptr, &first) && first) {
        const char *text = static_cast<cr_utl_bs_line_t *>(first)->text;
        if (text && *text) return true;
      }
    }
    return false;
  }
  return !rec->no_script;
}

bool bldr_tgt_is_null_rbld_tgt(bldr_tgt_table_t *h, const char *name) {
  bldr_tgt_rec_t *rec = bldr_tgt_get_tgt_handle(h, name);
  return rec && rec->rebuild_script_done && rec->rebuild_script == LIST_HANDLE_NULL;
}

int bldr_tgt_is_incr_tgt(const char *name) {
  return fileutl_patt_list_match(
      bldr_opts_get_patt_list(mfc_curr_opts_handle, BLDR_OPTS_INCREMENTAL_TARGET), name);
}

int bldr_tgt_is_java_tgt(const char *name) {
  return fileutl_patt_list_match(bldr_opts_get_patt_list(mfc_curr_opts_handle, BLDR_OPTS_JAVA_TGTS),
                                 name);
}

ks_status_t bldr_tgt_add_vpath_subst(bldr_tgt_table_t *h, const char *name, const char *found) {
  return bldr_cm_add_vpath_subst(h->cm_handle, name, found);
}

// Appends an instance of the target to the record with its out-of-date list.
void bldr_tgt_add_inst(bldr_tgt_rec_t *rec, mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                       mf_tgt_inst_handle_t pos, list_handle_t ood) {
  auto *inst = static_cast<bldr_tgt_inst_t *>(stg_malloc(sizeof(bldr_tgt_inst_t)));
  if (inst == nullptr) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY, pfm_file_stem(__FILE__),
                      __LINE__, 0);
    PFM_PANIC();
  }
  inst->deps = mf_tgt_get_dep_list(table, entry, pos);
  inst->imp_dep = mf_tgt_get_imp_dep(table, entry, pos);
  inst->script_deps = mf_tgt_get_script_dep_list(table, entry, pos);
  inst->ood_deps = ood;
  inst->base_pname = mf_tgt_get_tgt_base_pname(table, entry, pos);
  inst->template_script = mf_tgt_get_bld_script(table, entry, pos);
  inst->bogus_deps = mf_tgt_get_bogus_dep_list(table, entry, pos);
  inst->member_name = mf_tgt_get_member_name(table, entry, pos);
  inst->flags = mf_tgt_get_inst_flags(table, entry, pos);
  if (rec->instances == LIST_HANDLE_NULL) rec->instances = list_create(STG_AREA_HEAP, 0);
  list_append(rec->instances, inst);
}

// Every instance of the target, each with its script dependencies as out-of-date list.
static void add_all_instances(bldr_tgt_rec_t *rec, mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                              const char *name) {
  bool any = false;
  for (mf_tgt_inst_handle_t pos = mf_tgt_next_instance(table, entry, nullptr); pos;
       pos = mf_tgt_next_instance(table, entry, pos)) {
    bldr_tgt_add_inst(rec, table, entry, pos, mf_tgt_get_script_dep_list(table, entry, pos));
    any = true;
  }
  if (!any) {
    imsg_print(IMSG_ERROR, &_bldr_tgt_karsel_msg_table, MSG_NO_INSTANCES, name);
    PFM_PANIC();
  }
}

bldr_cm_tgt_status_t bldr_tgt_lookup_tgt(bldr_tgt_table_t *h, mf_tgt_table_t *table,
                                         const char *name, int is_goal) {
  bldr_tgt_rec_t *rec = find_or_make(h, name);
  if (rec->status != BLDR_CM_TGT_ST_LOOKUP_PENDING) return rec->status;
  mf_tgt_entry_t *entry = entry_of(table, name);
  fill_from_entry(rec, table, entry, name);
  int32_t with_records = 0;
  if (bldr_cm_register_tgt(h->cm_handle, name, rec->pathname, &with_records) != KS_ST_OK) {
    rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
    return BLDR_CM_TGT_ST_ERROR;
  }
  const bldr_make_params_t *o = bldr_command_handle;
  bldr_cm_tgt_status_t result;
  if (o->unconditional || (o->flag_U && is_goal) || (rec->attrs & BLDR_TGT_ATTR_PHONY)) {
    add_all_instances(rec, table, entry, name);
    result = rec->status = BLDR_CM_TGT_ST_CANT_REUSE;
  } else if (!bldr_doing_config_lookup || !with_records ||
             fileutl_patt_list_match(
                 bldr_opts_get_patt_list(mfc_curr_opts_handle, BLDR_OPTS_NO_CONFIG_REC),
                 rec->pathname)) {
    int r = bldr_tgt_dtm_lookup_tgt(h, rec, table, name);
    if (r < 0) return BLDR_CM_TGT_ST_ERROR;
    result = rec->status;
  } else {
    add_all_instances(rec, table, entry, name);
    bool mismatch = false;
    void *d = nullptr;
    for (list_cursor_t c = list_next(rec->instances, nullptr, &d); c && !mismatch;
         c = list_next(rec->instances, c, &d)) {
      list_handle_t deps = static_cast<bldr_tgt_inst_t *>(d)->deps;
      void *dd = nullptr;
      if (deps == LIST_HANDLE_NULL) continue;
      for (list_cursor_t l = list_next(deps, nullptr, &dd); l; l = list_next(deps, l, &dd)) {
        const char *dep = static_cast<const char *>(dd);
        bldr_tgt_rec_t *drec = bldr_tgt_get_tgt_handle(h, dep);
        if (drec == nullptr) continue;
        const bldr_cm_tgt_status_t s = drec->status;
        if (s == BLDR_CM_TGT_ST_REUSED || s == BLDR_CM_TGT_ST_WINKED_IN) continue;
        if (s == BLDR_CM_TGT_ST_REBUILT && bldr_cm_chk_rebuild_change(h->cm_handle, dep) == 0)
          continue;
        if (t(rec->has_script ? 1 : 3))
          imsg_print(IMSG_INFO, &_bldr_tgt_karsel_msg_table, MSG_MUST_REBUILD, name, dep);
        mismatch = true;
        break;
      }
    }
    if (mismatch && !bldr_tgt_is_incr_tgt(name)) {
      result = rec->status = BLDR_CM_TGT_ST_DEP_MISMATCH;
    } else {
      if (calc_bld_scripts(h, name, rec, false) != 0 ||
          define(h, table, name, rec, rec->lookup_script) != KS_ST_OK) {
        rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
        return BLDR_CM_TGT_ST_ERROR;
      }
      list_handle_t cotargets = LIST_HANDLE_NULL;
      mf_tgt_has_cotargets(table, name, &cotargets);
      result = bldr_cm_lookup_tgt(h->cm_handle, name, cotargets);
      if (result == BLDR_CM_TGT_ST_ERROR) {
        rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
        return BLDR_CM_TGT_ST_ERROR;
      }
      rec->status = mismatch ? BLDR_CM_TGT_ST_DEP_MISMATCH : result;
      result = rec->status;
    }
  }
  if (pending_rebuild(rec->status)) {
    if (with_records) {
      if (calc_bld_scripts(h, name, rec, false) != 0) return BLDR_CM_TGT_ST_ERROR;
      if (rec->status == BLDR_CM_TGT_ST_CANT_REUSE) {
        rec->rebuild_script = rec->lookup_script;
        rec->rebuild_script_done = 1;
        return result;
      }
    }
    if (calc_bld_scripts(h, name, rec, true) != 0) return BLDR_CM_TGT_ST_ERROR;
  }
  return result;
}

bldr_cm_tgt_status_t bldr_tgt_rbld_tgt(bldr_tgt_table_t *h, mf_tgt_table_t *table,
                                       const char *name) {
  bldr_tgt_rec_t *rec = bldr_tgt_get_tgt_handle(h, name);
  if (rec == nullptr || !pending_rebuild(rec->status) || !rec->rebuild_script_done) {
    imsg_print(IMSG_ERROR, &_bldr_tgt_karsel_msg_table, MSG_NOT_INITIALIZED, name);
    if (rec) rec->status = BLDR_CM_TGT_ST_ERROR;
    return BLDR_CM_TGT_ST_ERROR;
  }
  RebuildEnv env;
  int32_t no_exec = 0;
  if (prepare_rebuild(h, table, name, rec, &env, &no_exec) != 0) {
    rec->status = BLDR_CM_TGT_ST_ERROR;
    return BLDR_CM_TGT_ST_ERROR;
  }
  bldr_cm_tgt_status_t r = bldr_cm_rbld_tgt(
      h->cm_handle, name, &bldr_view_bhandle, no_exec, env.cond, env.mand,
      rec->rebuild_script ? env.shell : nullptr, env.flags, bldr_command_handle->gnu_like,
      mf_dirent_update);
  if (r == BLDR_CM_TGT_ST_REBUILD_FAILED) return rec->status = r;
  if (r == BLDR_CM_TGT_ST_REBUILT || r == BLDR_CM_TGT_ST_WINKED_IN) {
    if (!bldr_command_handle->no_execute && t(3))
      imsg_print(IMSG_INFO, &_bldr_tgt_karsel_msg_table, MSG_REBUILT, name);
    rec->status = r;
    append_deferred(h, rec);
    return r;
  }
  rec->status = BLDR_CM_TGT_ST_ERROR;
  return BLDR_CM_TGT_ST_ERROR;
}

int bldr_tgt_start_rbld_tgt(bldr_tgt_table_t *h, mf_tgt_table_t *table, const char *name,
                            void *macro_table, bldr_cm_done_fn_t done, void *done_arg,
                            int32_t *failed) {
  bldr_tgt_rec_t *rec = bldr_tgt_get_tgt_handle(h, name);
  if (rec != nullptr && !pending_rebuild(rec->status)) {
    list_handle_t cotargets = LIST_HANDLE_NULL;
    if (mf_tgt_has_cotargets(table, name, &cotargets)) {
      if (rec->status == BLDR_CM_TGT_ST_REBUILT || rec->status == BLDR_CM_TGT_ST_WINKED_IN) {
        rec->status = BLDR_CM_TGT_ST_REBUILT;
        *failed = 0;
        return 1;
      }
      rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
      return -1;
    }
  }
  if (rec == nullptr || !pending_rebuild(rec->status) || !rec->rebuild_script_done) {
    imsg_print(IMSG_ERROR, &_bldr_tgt_karsel_msg_table, MSG_NOT_INITIALIZED, name);
    if (rec) rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
    return -1;
  }
  RebuildEnv env;
  int32_t no_exec = 0;
  if (prepare_rebuild(h, table, name, rec, &env, &no_exec) != 0) {
    rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
    return -1;
  }
  int r = bldr_cm_start_rbld_tgt(h->cm_handle, name, macro_table, &bldr_view_bhandle, no_exec,
                                 env.cond, env.mand, rec->rebuild_script ? env.shell : nullptr,
                                 env.flags, done, done_arg, bldr_command_handle->gnu_like,
                                 mf_dirent_update, failed);
  if (r == 0) return 0;
  if (r < 0) {
    rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
    return -1;
  }
  if (*failed) {
    rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
    return r;
  }
  rec->status = BLDR_CM_TGT_ST_REBUILT;
  append_deferred(h, rec);
  *failed = 0;
  return 1;
}

int bldr_tgt_chk_rblds(bldr_tgt_table_t *h, const char **name, int32_t *failed) {
  *failed = 0;
  int32_t winked = 0;
  int r = bldr_cm_chk_rbld(h->cm_handle, name, failed, &winked);
  if (r <= 0) return r;
  bldr_tgt_rec_t *rec = bldr_tgt_get_tgt_handle(h, *name);
  if (rec == nullptr || !pending_rebuild(rec->status)) {
    imsg_print(IMSG_ERROR, &_bldr_tgt_karsel_msg_table, MSG_NOT_INITIALIZED, *name);
    return -1;
  }
  if (!*failed) {
    if (t(3)) imsg_print(IMSG_TRACE, &_bldr_tgt_karsel_msg_table, MSG_REBUILT, *name);
    rec->status = winked ? BLDR_CM_TGT_ST_WINKED_IN : BLDR_CM_TGT_ST_REBUILT;
  } else {
    rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
  }
  append_deferred(h, rec);
  return r;
}

namespace {

list_handle_t copy_script(list_handle_t script) {
  if (script == LIST_HANDLE_NULL) return LIST_HANDLE_NULL;
  list_handle_t copy = list_create(STG_AREA_HEAP, 0);
  void *inst = nullptr;
  for (list_cursor_t c = list_next(script, nullptr, &inst); c; c = list_next(script, c, &inst)) {
    list_handle_t lines = list_create(STG_AREA_HEAP, 0);
    void *d = nullptr;
    if (inst)
      for (list_cursor_t l = list_next(static_cast<list_handle_t>(inst), nullptr, &d); l;
           l = list_next(static_cast<list_handle_t>(inst), l, &d)) {
        auto *src = static_cast<cr_utl_bs_line_t *>(d);
        auto *line = static_cast<cr_utl_bs_line_t *>(stg_malloc(sizeof(cr_utl_bs_line_t)));
        line->text = stg_strdup(src && src->text ? src->text : "");
        line->attr = src ? src->attr : 0;
        list_append(lines, line);
      }
    list_append(copy, lines);
  }
  return copy;
}

}  // namespace

void bldr_tgt_claim_cotarget_was_rebuilt(bldr_tgt_table_t *h, const char *name,
                                         const char *cotarget) {
  bldr_tgt_rec_t *clonee = bldr_tgt_get_tgt_handle(h, name);
  PFM_ASSERT(clonee != NULL);
  bool was_new = false;
  bldr_tgt_rec_t *co = find_or_make(h, cotarget, &was_new);
  clonee = bldr_tgt_get_tgt_handle(h, name);
  if (!was_new) {
    co->status = clonee->status;
  } else {
    co->status = clonee->status;
    co->attrs = clonee->attrs;
    co->is_archive = clonee->is_archive;
    co->has_script = clonee->has_script;
    co->rebuild_script_done = clonee->rebuild_script_done;
    co->lookup_script_done = clonee->lookup_script_done;
    co->deferred_lines = clonee->deferred_lines;
    co->pathname = stg_area_strdup(h->area, cotarget);
    void *d = nullptr;
    if (clonee->instances)
      for (list_cursor_t c = list_next(clonee->instances, nullptr, &d); c;
           c = list_next(clonee->instances, c, &d)) {
        auto *inst = static_cast<bldr_tgt_inst_t *>(stg_malloc(sizeof(bldr_tgt_inst_t)));
        *inst = *static_cast<bldr_tgt_inst_t *>(d);
        if (co->instances == LIST_HANDLE_NULL) co->instances = list_create(STG_AREA_HEAP, 0);
        list_append(co->instances, inst);
      }
    co->rebuild_script = copy_script(clonee->rebuild_script);
    co->lookup_script = clonee->lookup_script == clonee->rebuild_script
                            ? co->rebuild_script
                            : copy_script(clonee->lookup_script);
    if (clonee->script_macros) {
      co->script_macros = list_create(STG_AREA_HEAP, 0);
      for (list_cursor_t c = list_next(clonee->script_macros, nullptr, &d); c;
           c = list_next(clonee->script_macros, c, &d))
        list_append(co->script_macros, stg_strdup(static_cast<const char *>(d)));
    }
  }
  bldr_cm_claim_cotarget_was_rebuilt(h->cm_handle, name, cotarget);
}

void bldr_tgt_claim_tgt_was_reused(bldr_tgt_table_t *h, mf_tgt_table_t *table, const char *name) {
  PFM_ASSERT(h != NULL);
  bool was_new = false;
  bldr_tgt_rec_t *rec = find_or_make(h, name, &was_new);
  if (was_new) {
    mf_tgt_entry_t *entry = entry_of(table, name);
    if (t(4)) imsg_print(IMSG_TRACE, "Creating a hash entry for target : %s.\n", -1, name);
    fill_from_entry(rec, table, entry, name);
    int32_t go_on = 0;
    if (bldr_cm_register_tgt(h->cm_handle, name, rec->pathname, &go_on) != KS_ST_OK) return;
  } else if (t(4)) {
    imsg_print(IMSG_TRACE, "Forcing the state of the target : %s to be \"reused\".\n", -1, name);
  }
  rec->status = BLDR_CM_TGT_ST_REUSED;
}

ks_status_t bldr_tgt_process_epilog(bldr_tgt_table_t *h) {
  if (h->epilog_script == LIST_HANDLE_NULL) return KS_ST_OK;
  if (bldr_tgt_get_tgt_handle(h, kEpilog) != nullptr) {
    imsg_print(IMSG_ERROR, &_bldr_tgt_karsel_msg_table, MSG_EPILOG_CONFLICT, kEpilog);
    return KS_ST_ERR;
  }
  bldr_tgt_rec_t *rec = find_or_make(h, kEpilog);
  rec->status = BLDR_CM_TGT_ST_CANT_REUSE;
  rec->pathname = kEpilog;
  rec->rebuild_script = rec->lookup_script = h->epilog_script;
  rec->rebuild_script_done = rec->lookup_script_done = 1;
  int32_t go_on = 0;
  if (bldr_cm_register_tgt(h->cm_handle, kEpilog, kEpilog, &go_on) != KS_ST_OK) return KS_ST_ERR;
  if (define(h, nullptr, kEpilog, rec, h->epilog_script) != KS_ST_OK) return KS_ST_ERR;
  RebuildEnv env;
  if (bldr_exec_tgt_info(kEpilog, env.shell, sizeof env.shell, &env.mand, &env.cond) != KS_ST_OK)
    return KS_ST_ERR;
  env.flags = shell_flags(env.mand);
  bldr_cm_tgt_status_t r = bldr_cm_rbld_tgt(h->cm_handle, kEpilog, &bldr_view_bhandle,
                                            bldr_command_handle->no_execute, env.cond, env.mand,
                                            env.shell, env.flags, bldr_command_handle->gnu_like,
                                            mf_dirent_update);
  // The epilog's lines belong to the targets that deferred them.
  rec->rebuild_script = rec->lookup_script = LIST_HANDLE_NULL;
  if (r == BLDR_CM_TGT_ST_REBUILT || r == BLDR_CM_TGT_ST_WINKED_IN) {
    rec->status = r;
    return KS_ST_OK;
  }
  rec->status = BLDR_CM_TGT_ST_REBUILD_FAILED;
  return KS_ST_ERR;
}

void bldr_tgt_release_transient_build_state(bldr_tgt_table_t *h, mf_tgt_table_t *,
                                            const char *name) {
  PFM_ASSERT(h != NULL);
  PFM_ASSERT(name != NULL);
  bldr_tgt_rec_t *rec = bldr_tgt_get_tgt_handle(h, name);
  if (rec == nullptr) {
    if (t(3)) imsg_print(IMSG_TRACE, "release_transient_build_state: No target record for %s\n", -1, name);
    return;
  }
  bldr_opts_free_evs(rec->script_macros);
  rec->script_macros = LIST_HANDLE_NULL;
  if (rec->rebuild_script == LIST_HANDLE_NULL || list_is_empty(rec->rebuild_script)) {
    rec->no_script = 1;
  } else if (bldr_tgt_has_non_empty_script(rec)) {
    rec->no_script = 0;
  }
  if (rec->lookup_script == rec->rebuild_script) rec->lookup_script = LIST_HANDLE_NULL;
  free_script(rec->rebuild_script);
  rec->rebuild_script = LIST_HANDLE_NULL;
  free_script(rec->lookup_script);
  rec->lookup_script = LIST_HANDLE_NULL;
  // From now on no_script tells whether the target had something to run.
  rec->rebuild_script_done = rec->lookup_script_done = 0;
  free_instances(rec);
}
