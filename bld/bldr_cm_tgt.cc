// Targets of the configuration-manager session: registration, definition, dependency collection
// by kind, the completion of predefined dependencies, co-targets and the end of parallel
// rebuilds.
#include <cstring>

#include "bld/bldr_cm_int.h"
#include "bld/bldr_cr_cache.h"
#include "bld/bldr_exec.h"
#include "bld/bldr_make.h"
#include "bld/bldr_obj.h"
#include "bld/bldr_tgt.h"
#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "tbs/tbs_status.h"
#include "view/view_xstat.h"

namespace {

const imsg_msg_table_t *const kTable = &_bldr_cm_karsel_msg_table;

void destroy_dirs(list_handle_t dirs) {
  if (dirs == LIST_HANDLE_NULL) return;
  void *d = nullptr;
  for (list_cursor_t c = list_next(dirs, nullptr, &d); c; c = list_next(dirs, c, &d)) stg_free(d);
  list_destroy(dirs);
}

void no_memory() {
  tbs_log_int_error("bld/bldr_cm", &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                    pfm_file_stem(__FILE__), __LINE__, 0);
  PFM_PANIC();
}

void append(list_handle_t *list, void *datum) {
  if (*list == LIST_HANDLE_NULL) *list = list_create(STG_AREA_HEAP, 0);
  if (*list == LIST_HANDLE_NULL || list_append(*list, datum) != 0) no_memory();
}

// Appends a dependency outside the VOBs with what the version table says of it now.
void add_nonver(bldr_cm_tgt_rec_t *rec, const char *name, const char *pathname, bool declared,
                bool non_critical, const bldr_obj_vt_info_t *e) {
  auto *d = static_cast<bldr_cm_nonver_dep_t *>(stg_calloc(STG_AREA_HEAP, sizeof(bldr_cm_nonver_dep_t)));
  if (d == nullptr) no_memory();
  d->fs.name = stg_strdup(name);
  d->fs.pathname = stg_strdup(pathname);
  if (d->fs.name == nullptr || d->fs.pathname == nullptr) no_memory();
  d->fs.flags = (declared ? 0x1u : 0u) | (non_critical ? 0x100u : 0u);
  if (e && (e->state & BLDR_OBJ_VT_NON_VESSARY)) {
    d->fs.length = e->size;
    d->fs.mtime = e->mtime;
    d->fs.audit_mtime = e->mtime;
  }
  append(&rec->nonver_deps, d);
}

void add_ver(bldr_cm_tgt_rec_t *rec, const char *name, const char *pathname, bool non_critical) {
  auto *d = static_cast<bldr_cm_ver_dep_t *>(stg_malloc(sizeof(bldr_cm_ver_dep_t)));
  if (d == nullptr) no_memory();
  d->name = stg_strdup(name);
  d->pathname = stg_strdup(pathname);
  if (d->name == nullptr || d->pathname == nullptr) no_memory();
  append(&rec->ver_deps, d);
  if (!non_critical) return;
  if (rec->non_critical == HASH_HT_NULL) rec->non_critical = hash_str_create(64, 0, 1);
  if (rec->non_critical == HASH_HT_NULL) no_memory();
  hash_str_enter(rec->non_critical, name, nullptr, nullptr);
  if (*pathname) hash_str_enter(rec->non_critical, pathname, nullptr, nullptr);
}

// Adds one dependency of the target. 0; 1001 after a message; 1002 when it names no object and
// no target.
ks_status_t add_dependency(bldr_cm_handle_t h, const char *tgt, bldr_cm_tgt_rec_t *rec,
                           const char *dep_name, const char *dep_pn, bool declared,
                           bool non_critical) {
  bldr_cm_tgt_rec_t *sub = bldr_cm_find_tgt(h, dep_name, false);
  if (sub != nullptr) {
    bldr_cm_settle_tgt(h, sub);
    if (sub->status == BLDR_CM_TGT_ST_ERROR || sub->obj_kind == 0) {
      imsg_print(IMSG_ERROR, kTable, BLDR_CM_MSG_SUBTARGET_FAILED, tgt, sub->pathname);
      return KS_ST_ERR;
    }
    dep_name = dep_pn = sub->pathname;
  }
  bldr_obj_vt_info_t *e = nullptr;
  ks_status_t st = bldr_obj_vertab_get_info(h->vertab, dep_pn, 0, h->area, h->view_info, &e);
  if (st != KS_ST_OK) return st;
  if (e->state & BLDR_OBJ_VT_NO_OBJECT) {
    if (sub == nullptr) return KS_ST_NOT_FOUND;
    if (sub->obj_kind == 1) add_ver(rec, dep_name, "", non_critical);
    else add_nonver(rec, dep_name, "", declared, non_critical, nullptr);
    return KS_ST_OK;
  }
  if (e->state & BLDR_OBJ_VT_NON_VESSARY) add_nonver(rec, dep_name, dep_pn, declared, non_critical, e);
  else add_ver(rec, dep_name, dep_pn, non_critical);
  return KS_ST_OK;
}

// Collects one dependency name through the search directories. 0, or 1001 after a message.
ks_status_t collect_one(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec, const char *tgt,
                        const char *name, bool non_critical) {
  ks_status_t st = add_dependency(h, tgt, rec, name, name, true, non_critical);
  if (st == KS_ST_OK) return st;
  if (h->dep_search == nullptr || name[0] == '/') {
    imsg_print(IMSG_ERROR, kTable, BLDR_CM_MSG_DONT_KNOW, name);
    return KS_ST_ERR;
  }
  list_handle_t dirs = h->dep_search(h->dep_search_arg, name);
  ks_status_t remembered = KS_ST_OK;
  void *d = nullptr;
  for (list_cursor_t c = dirs ? list_next(dirs, nullptr, &d) : nullptr; c; c = list_next(dirs, c, &d)) {
    char path[1024];
    if (strutl_concat(path, sizeof path, {static_cast<const char *>(d), "/", name}) != KS_ST_OK) continue;
    bldr_cm_tgt_rec_t *sub = bldr_cm_find_tgt(h, name, false);
    if (sub != nullptr) bldr_cm_settle_tgt(h, sub);
    if (sub != nullptr && (sub->status == BLDR_CM_TGT_ST_ERROR || sub->obj_kind == 0)) {
      imsg_print(IMSG_ERROR, kTable, BLDR_CM_MSG_SUBTARGET_FAILED, tgt, sub->pathname);
      remembered = KS_ST_ERR;
      continue;
    }
    const char *use = sub ? sub->pathname : path;
    bldr_obj_vt_info_t *e = nullptr;
    st = bldr_obj_vertab_get_info(h->vertab, use, 0, h->area, h->view_info, &e);
    if (st != KS_ST_OK) {
      remembered = st;
      continue;
    }
    if (e->state & BLDR_OBJ_VT_NO_OBJECT) {
      if (sub == nullptr) {
        remembered = KS_ST_NOT_FOUND;
        continue;
      }
      if (sub->obj_kind == 1) add_ver(rec, name, "", non_critical);
      else add_nonver(rec, name, "", true, non_critical, nullptr);
    } else if (e->state & BLDR_OBJ_VT_NON_VESSARY) {
      add_nonver(rec, name, use, true, non_critical, e);
    } else {
      add_ver(rec, name, use, non_critical);
    }
    if ((h->flags & BLDR_CM_FLAG_SUN) && bldr_cm_add_vpath_subst(h, name, use) != KS_ST_OK) {
      destroy_dirs(dirs);
      return KS_ST_ERR;
    }
    destroy_dirs(dirs);
    return KS_ST_OK;
  }
  destroy_dirs(dirs);
  (void)remembered;
  imsg_print(IMSG_ERROR, kTable, BLDR_CM_MSG_DONT_KNOW, name);
  return KS_ST_ERR;
}

}  // namespace

namespace {
ks_status_t register_in_view(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec, int32_t *go_on);
}  // namespace

ks_status_t bldr_cm_register_tgt(bldr_cm_handle_t h, const char *name, const char *search_name,
                                 int32_t *go_on) {
  void *data = nullptr;
  int found = hash_str_enter(h->targets, name, nullptr, &data);
  if (found < 0) {
    imsg_print_shared(IMSG_ERROR, "bld/bldr_cm", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  auto *rec = static_cast<bldr_cm_tgt_rec_t *>(data);
  if (found == 0) rec->status = BLDR_CM_TGT_ST_UNDEFINED;
  if (rec->registered) {
    *go_on = rec->obj_kind == 1 && rec->ftype != VIEW_FTYPE_DIR;
    return KS_ST_OK;
  }
  const char *pathname = stg_area_strdup(h->area, search_name ? search_name : name);
  if (pathname == nullptr) no_memory();
  *go_on = 0;
  if (!h->records) {
    // Without records no target is looked up in the versioned file system.
    rec->pathname = pathname;
    rec->registered = 1;
    return KS_ST_OK;
  }
  rec->pathname = pathname;
  if (!bldr_doing_config_lookup) {
    // Nothing is looked up: the view is asked only when a record needs to know.
    rec->registered = rec->deferred = 1;
    return KS_ST_OK;
  }
  return register_in_view(h, rec, go_on);
}

ks_status_t bldr_cm_settle_tgt(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec) {
  if (!rec->deferred) return KS_ST_OK;
  rec->deferred = 0;
  int32_t go_on = 0;
  return register_in_view(h, rec, &go_on);
}

namespace {

ks_status_t register_in_view(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec, int32_t *go_on) {
  const char *pathname = rec->pathname;
  list_handle_t dirs = h->tgt_search ? h->tgt_search(h->tgt_search_arg, pathname) : LIST_HANDLE_NULL;
  ks_status_t st = bldr_cmutl_prev_tgt_info(pathname, rec, h->area, dirs, h);
  destroy_dirs(dirs);
  const bool say = bldr_cm_traced(2);
  auto disabled = [&](int row) {
    if (say) {
      imsg_print(IMSG_INFO, kTable, row, rec->pathname);
      imsg_print(IMSG_INFO, kTable, BLDR_CM_MSG_LOOKUP_DISABLED, rec->pathname);
    }
  };
  if (st == KS_ST_NOT_FOUND) {
    rec->prev_found = 0;
    rec->registered = 1;
    if (rec->obj_kind == 1) *go_on = 1;
    else disabled(BLDR_CM_MSG_NOT_VESSARY);
    return KS_ST_OK;
  }
  if (st != KS_ST_OK) {
    rec->status = BLDR_CM_TGT_ST_ERROR;
    return KS_ST_ERR;
  }
  rec->prev_found = 1;
  rec->registered = 1;
  if (rec->obj_kind != 1) disabled(BLDR_CM_MSG_NOT_VESSARY);
  else if (rec->ftype == VIEW_FTYPE_DIR) disabled(BLDR_CM_MSG_IS_DIR);
  else if (rec->ftype == VIEW_FTYPE_LNK) disabled(BLDR_CM_MSG_IS_SLINK);
  else *go_on = 1;
  return KS_ST_OK;
}

}  // namespace

ks_status_t bldr_cm_define_tgt(bldr_cm_handle_t h, const char *name, const bldr_cm_tgt_def_t *def) {
  bldr_cm_tgt_rec_t *rec = bldr_cm_find_tgt(h, name, true);
  if (rec == nullptr) return KS_ST_ERR;
  if (rec->script != def->script) {
    rec->actual_script = LIST_HANDLE_NULL;
    rec->script_hash_done = 0;
  }
  rec->instances = def->instances;
  rec->script = def->script;
  rec->has_script = def->script != LIST_HANDLE_NULL;
  rec->script_macros = def->script_macros;
  rec->attrs = def->flags;
  if (rec->status == BLDR_CM_TGT_ST_UNDEFINED) rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
  return KS_ST_OK;
}

ks_status_t bldr_cm_add_all_dependencies(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec,
                                         const char *name) {
  if (rec->deps_collected) return KS_ST_OK;
  ks_status_t result = KS_ST_OK;
  void *d = nullptr;
  for (list_cursor_t c = rec->instances ? list_next(rec->instances, nullptr, &d) : nullptr; c;
       c = list_next(rec->instances, c, &d)) {
    auto *inst = static_cast<bldr_tgt_inst_t *>(d);
    if (inst == nullptr || inst->deps == LIST_HANDLE_NULL) continue;
    bool non_critical = false;
    void *dd = nullptr;
    for (list_cursor_t l = list_next(inst->deps, nullptr, &dd); l; l = list_next(inst->deps, l, &dd)) {
      const char *dep = static_cast<const char *>(dd);
      if (bldr_utl_tgt_is_gnu_order_only_specifier(dep)) {
        non_critical = true;
        continue;
      }
      if (collect_one(h, rec, name, dep, non_critical) != KS_ST_OK) return KS_ST_ERR;
    }
  }
  if (h->makefiles != LIST_HANDLE_NULL &&
      fileutl_patt_list_match(h->makefiles_in_config_rec, rec->pathname)) {
    void *m = nullptr;
    for (list_cursor_t c = list_next(h->makefiles, nullptr, &m); c; c = list_next(h->makefiles, c, &m)) {
      const char *mf = static_cast<const char *>(m);
      bool known = false;
      void *v = nullptr;
      for (list_cursor_t x = rec->ver_deps ? list_next(rec->ver_deps, nullptr, &v) : nullptr; x && !known;
           x = list_next(rec->ver_deps, x, &v))
        known = std::strcmp(static_cast<bldr_cm_ver_dep_t *>(v)->name, mf) == 0;
      for (list_cursor_t x = rec->nonver_deps ? list_next(rec->nonver_deps, nullptr, &v) : nullptr;
           x && !known; x = list_next(rec->nonver_deps, x, &v))
        known = std::strcmp(static_cast<bldr_cm_nonver_dep_t *>(v)->fs.name, mf) == 0;
      vob_handle_t vob = VOB_HANDLE_NULL;
      int failed = 0;
      ks_status_t why = KS_ST_OK;
      if (known || bldr_utl_path_is_in_vessary(mf, &vob, &failed, &why) || failed) continue;
      ks_status_t st = add_dependency(h, name, rec, mf, mf, false, !h->makefiles_affect_reuse);
      if (st != KS_ST_OK) result = st;
    }
  }
  rec->deps_collected = 1;
  return result;
}

ks_status_t bldr_cm_finish_predefs(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec) {
  ks_status_t result = KS_ST_OK;
  auto keep = [&](ks_status_t st) {
    if (st != KS_ST_OK && result == KS_ST_OK) result = st;
  };
  void *d = nullptr;
  for (list_cursor_t c = rec->ver_deps ? list_next(rec->ver_deps, nullptr, &d) : nullptr; c;
       c = list_next(rec->ver_deps, c, &d)) {
    auto *v = static_cast<bldr_cm_ver_dep_t *>(d);
    if (*v->pathname) continue;
    bldr_obj_vt_info_t *e = nullptr;
    ks_status_t st = bldr_obj_vertab_get_info(h->vertab, v->name, 0, h->area, h->view_info, &e);
    keep(st);
    if (st == KS_ST_OK && !(e->state & BLDR_OBJ_VT_NO_OBJECT)) {
      char *copy = stg_strdup(v->name);
      if (copy == nullptr) no_memory();
      stg_free(v->pathname);
      v->pathname = copy;
    }
  }
  for (list_cursor_t c = rec->nonver_deps ? list_next(rec->nonver_deps, nullptr, &d) : nullptr; c;
       c = list_next(rec->nonver_deps, c, &d)) {
    auto *n = static_cast<bldr_cm_nonver_dep_t *>(d);
    if (!*n->fs.pathname) {
      bldr_obj_vt_info_t *e = nullptr;
      ks_status_t st = bldr_obj_vertab_get_info(h->vertab, n->fs.name, 0, h->area, h->view_info, &e);
      keep(st);
      if (st == KS_ST_OK && (e->state & BLDR_OBJ_VT_NON_VESSARY)) {
        stg_free(const_cast<char *>(n->fs.pathname));
        n->fs.pathname = stg_strdup(n->fs.name);
        if (n->fs.pathname == nullptr) no_memory();
        n->fs.length = e->size;
        n->fs.mtime = n->fs.audit_mtime = e->mtime;
      }
    }
    if (!n->crc_valid && *n->fs.pathname) {
      ks_status_t st = bldr_utl_get_crc(&n->fs, &n->fs.crc);
      keep(st);
      if (st == KS_ST_OK) n->crc_valid = 1;
      else n->fs.kind = 2;
    }
  }
  return result;
}

void bldr_cm_release_tgt_dep_lists(bldr_cm_tgt_rec_t *rec) {
  PFM_ASSERT(rec != NULL);
  void *d = nullptr;
  pfm_inhibit();
  if (rec->ver_deps) {
    for (list_cursor_t c = list_next(rec->ver_deps, nullptr, &d); c; c = list_next(rec->ver_deps, c, &d)) {
      auto *v = static_cast<bldr_cm_ver_dep_t *>(d);
      stg_free(v->name);
      stg_free(v->pathname);
      stg_free(v);
    }
    list_destroy(rec->ver_deps);
  }
  if (rec->nonver_deps) {
    for (list_cursor_t c = list_next(rec->nonver_deps, nullptr, &d); c; c = list_next(rec->nonver_deps, c, &d)) {
      auto *n = static_cast<bldr_cm_nonver_dep_t *>(d);
      stg_free(const_cast<char *>(n->fs.name));
      stg_free(const_cast<char *>(n->fs.pathname));
      stg_free(n);
    }
    list_destroy(rec->nonver_deps);
  }
  if (rec->non_critical) hash_delete_ht(&rec->non_critical);
  rec->ver_deps = rec->nonver_deps = LIST_HANDLE_NULL;
  rec->deps_collected = 0;
  pfm_enable();
}

void bldr_cm_claim_cotarget_was_rebuilt(bldr_cm_handle_t h, const char *name,
                                        const char *cotarget) {
  bldr_cm_tgt_rec_t *sib = bldr_cm_find_tgt(h, name, true);
  if (sib == nullptr) return;
  void *co = nullptr;
  if (hash_str_enter(h->targets, cotarget, nullptr, &co) < 0) return;
  sib = bldr_cm_find_tgt(h, name, false);
  auto *rec = static_cast<bldr_cm_tgt_rec_t *>(co);
  bldr_cm_release_tgt_dep_lists(rec);
  cr_utl_destroy_dep_hash_array(&rec->dep_hashes);
  stg_free(rec->do_name);
  stg_free(rec->abs_pname);
  // A copy of the sibling's record that owns nothing of the sibling's: the dependency lists and
  // the lookup's storage stay the sibling's alone.
  *rec = *sib;
  rec->ver_deps = rec->nonver_deps = LIST_HANDLE_NULL;
  rec->non_critical = HASH_HT_NULL;
  rec->deps_collected = 0;
  rec->dep_hashes = CR_UTL_HASH_DEPS_H_NULL;
  rec->do_name = rec->abs_pname = nullptr;
  rec->pathname = stg_area_strdup(h->area, cotarget);
  view_xstat_t xs{};
  tbs_oid_t ver = TBS_OID_NULL;
  if (bldr_utl_obj_view_info(cotarget, 1, &xs, nullptr, &ver, nullptr, nullptr) == KS_ST_OK)
    rec->do_oid_now = rec->do_oid_at_lookup = ver;
  else
    rec->do_oid_now = rec->do_oid_at_lookup = TBS_OID_NULL;
  if (!bldr_cm_traced(2)) return;
  tbs_cr_t cr{};
  bool made = false;
  if (bldr_cr_cache_fetch(nullptr, &sib->do_oid_now, &cr) == 1)
    for (uint32_t i = 0; i < cr.obj_count && !made; i++)
      made = (cr.objs[i]->flags & TBS_CR_OBJ_NEW_DO) && tbs_oid_eq(&cr.objs[i]->oid, &rec->do_oid_now);
  if (!made) imsg_print(IMSG_WARNING, kTable, BLDR_CM_MSG_COTARGET, cotarget, name);
}

int bldr_cm_chk_rbld(bldr_cm_handle_t h, const char **name, int32_t *failed, int32_t *winked_in) {
  PFM_ASSERT(winked_in != NULL);
  *winked_in = 0;
  int32_t status = 0, reuse = 0;
  int r = bldr_exec_chk_for_completion(name, &status, &reuse);
  if (r <= 0 || *name == nullptr) return r;
  bldr_cm_note_running(h, false);
  bldr_cm_tgt_rec_t *rec = bldr_cm_find_tgt(h, *name, true);
  if (rec == nullptr) {
    *failed = -1;
    return r;
  }
  *failed = status != 0;
  if (status == 0 && bldr_cm_traced(3))
    imsg_print(IMSG_TRACE, kTable, BLDR_CM_MSG_REBUILT, *name);
  rec->status = status != 0 ? BLDR_CM_TGT_ST_REBUILD_FAILED
                            : (*winked_in ? BLDR_CM_TGT_ST_WINKED_IN : BLDR_CM_TGT_ST_REBUILT);
  bldr_cm_release_tgt_dep_lists(rec);
  return r;
}
