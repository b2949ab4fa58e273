// Promotion and winkin of the derived objects of an accepted configuration record.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "bld/bldr_obj.h"
#include "bld/bldr_obj_int.h"
#include "bld/bldr_utl.h"
#include "cm/cm_cr.h"
#include "cm/cm_do.h"
#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "mf/mf.h"
#include "mf/mf_dirent.h"
#include "mf/mf_stat.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"
#include "view/view_winkin.h"
#include "view/view_xstat.h"
#include "vob/vob_mtype.h"

using namespace bldr_obj_int;

namespace {

const imsg_msg_table_t *const kTable = &_bldr_obj_karsel_msg_table;

void trace(int n, const char *format, const char *x = nullptr, const char *y = nullptr,
           const char *z = nullptr) {
  if (level(n)) imsg_print(IMSG_TRACE, format, -1, x, y, z);
}

// Walks the descriptors of a record for promotion or winkin.
struct Walk {
  const bldr_obj_winkin_args_t *a;
  char pn[1024] = {};
  char rel[1024] = {};

  bool is_candidate(const tbs_cr_obj_t *o) const {
    return a->obj_oid && tbs_oid_eq(&o->oid, a->obj_oid);
  }

  // The pathname and relative name of object i. False after the messages.
  bool names(uint32_t i, const char *what) {
    if (cr_utl_get_pn(a->nt, a->cr, i, sizeof pn, pn) == nullptr) {
      imsg_print(IMSG_ERROR, kTable, MSG_PN_ERROR);
      imsg_print(IMSG_ERROR_CONT, kTable, MSG_LEAF_WAS, a->cr->objs[i]->name);
      return false;
    }
    if (fileutl_make_rel_pn(rel, sizeof rel, pn, a->vi->viewrel_wd ? a->vi->viewrel_wd : "/") != KS_ST_OK)
      std::strcpy(rel, pn);
    if (level(3)) imsg_print(IMSG_TRACE, what, -1, pn, rel);
    return true;
  }

  // Sibling selection: 1 skip the object, 0 handle it, -1 error.
  int skip_do(uint32_t i) {
    const tbs_cr_obj_t *o = a->cr->objs[i];
    if (a->is_previous && !a->sibs_affect_reuse) return 1;
    if (!names(i, "DO abs path \"%s\" translated to relative path \"%s\"\n")) return -1;
    if (!a->is_previous) return 0;
    int exact = 0;
    if (fileutl_patt_list_match(a->sibling_ignored, pn, &exact)) {
      if (!is_candidate(o)) return 1;
      if (exact && level(1)) {
        imsg_print(IMSG_WARNING, kTable, MSG_SIB_IGNORED_LIST, a->tgt);
        imsg_print(IMSG_WARNING_CONT, kTable, MSG_NON_SIBLING, rel);
      }
    }
    return 0;
  }

  // The view-extended name of the derived object o for messages (the relative name when it cannot
  // be formed).
  std::string ext_name(const tbs_cr_obj_t *o) const {
    vob_handle_t vobh = VOB_HANDLE_NULL;
    uint32_t dbid = 0;
    char buf[1024];
    if (o->vob_index < a->cr->vob_count &&
        vob_ob_vob_oid_to_vobh(&a->cr->vobs[o->vob_index].vob_oid, &vobh) == KS_ST_OK &&
        vob_obj_oid_to_dbid(vobh, &o->oid, &dbid) == KS_ST_OK &&
        vob_obj_get_name_ext(vobh, dbid, sizeof buf, buf) == KS_ST_OK)
      return buf;
    return rel;
  }

  // The version-table entry of the relative name now designates what the record names.
  void designate(const tbs_cr_obj_t *o, const char *link_text) {
    bldr_obj_vt_info_t *e = nullptr;
    void *data = nullptr;
    if (hash_str_enter(a->vertab, rel, nullptr, &data) < 0) return;
    e = static_cast<bldr_obj_vt_info_t *>(data);
    std::memset(e, 0, sizeof *e);
    e->state = BLDR_OBJ_VT_FILLED;
    e->ver_oid = o->oid;
    e->elem_oid = o->elem_oid;
    e->type = o->ftype;
    e->klass = o->ftype == TBS_CR_FTYPE_FILE ? VOB_MTYPE_SHARED_DO : o->mtype;
    if (link_text) e->link_text = stg_area_strdup(a->area, link_text);
  }

  // Splits the relative name into directory ("." when none) and leaf.
  void split(char *dir, size_t dir_size, char *leaf, size_t leaf_size) const {
    if (fileutl_strip_leaf(rel, dir_size, dir, leaf_size, leaf) != KS_ST_OK || !*dir) {
      if (!*dir) std::strcpy(dir, ".");
    }
  }

  // The directory must exist (created when missing, unless no_execute). 0, 1 missing under
  // no_execute, -1 failed (reported).
  int require_dir(const tbs_cr_obj_t *o, const char *dir, const char *missing_trace) {
    bldr_utl_fhandle_t fh;
    if (bldr_utl_get_fhandle(dir, 1, 1, &fh) == KS_ST_OK) return 0;
    if (a->no_execute) return 1;
    const tbs_oid_t *vob_oid = nullptr;
    if (o->vob_index != 0xffff) {
      vob_handle_t vobh = VOB_HANDLE_NULL;
      if (o->vob_index >= a->cr->vob_count ||
          vob_ob_mounted_vob_oid_to_vobh(&a->cr->vobs[o->vob_index].vob_oid, &vobh) != KS_ST_OK)
        return -1;
      vob_oid = &a->cr->vobs[o->vob_index].vob_oid;
    }
    trace(3, missing_trace);
    cm_do_create_junk_dirs_with_hook(dir, bldr_obj_junkdir_create_hook,
                                     a->vi->view_tag_name ? a->vi->view_tag_name : "",
                                     vob_oid ? vob_oid : &TBS_OID_NULL, 1);
    ks_status_t st = bldr_utl_get_fhandle(dir, 1, 1, &fh);
    if (st != KS_ST_OK) {
      imsg_print(IMSG_ERROR, kTable, MSG_NO_FHANDLE, dir, tbs_strerror(st));
      return -1;
    }
    return 0;
  }

  // Removes the object at the relative name. False when its pathname cannot be formed.
  bool remove_here() const {
    char abs[1024];
    if (bldr_utl_cwd_accessible_abs_pn(rel, sizeof abs, abs) != KS_ST_OK) {
      trace(4, "Failed to form view-extended path");
      return false;
    }
    if (unlink(abs) != 0 && errno != ENOENT && fileutl_rm(abs) != KS_ST_OK)
      trace(3, "Failed to remove file %s\n", abs);
    return true;
  }

  // The caches forget the relative name in dir; the view's name cache too. False after the
  // message.
  bool forget(const char *dir, const char *leaf, int oid_row, const char *trace_text) {
    trace(3, trace_text, dir);
    view_xstat_t xs{};
    tbs_oid_t vob_oid = TBS_OID_NULL;
    ks_status_t st = bldr_utl_obj_cache_info(dir, mfc_mf_stat_handle, 1, &xs, nullptr, nullptr,
                                             nullptr, nullptr, nullptr);
    if (st != KS_ST_OK && st != KS_ST_NOT_IN_VOB) {
      if (oid_row == MSG_NO_DIR_OID) imsg_print(IMSG_ERROR, kTable, oid_row, dir, tbs_strerror(st));
      else imsg_print(IMSG_ERROR, kTable, oid_row, dir, leaf, tbs_strerror(st));
      return false;
    }
    st = view_inval_name_oid(a->vi->view_tag_name, &vob_oid, 0, leaf, 1);
    if (st != KS_ST_OK) {
      imsg_print(IMSG_ERROR, kTable, MSG_NO_INVAL, leaf, dir, tbs_strerror(st));
      return false;
    }
    mf_stat_inval_obj(static_cast<mf_stat_handle_t>(mfc_mf_stat_handle), rel);
    mf_stat_inval_obj(static_cast<mf_stat_handle_t>(mfc_mf_stat_handle), dir);
    mf_dirent_update(MF_DIRENT_FILE_CREATED, rel);
    return true;
  }

  // Winkin of the derived object o. True when it is in place (or announced).
  bool wink_in(const tbs_cr_obj_t *o) {
    char dir[1024], leaf[256];
    split(dir, sizeof dir, leaf, sizeof leaf);
    if (level(3)) {
      imsg_print(IMSG_TRACE, "Checking %s for winkin...\n", -1, rel);
      imsg_print(IMSG_TRACE, "(Abs = %s, dir = %s, leaf = %s)\n", -1, pn, dir, leaf);
    }
    if (require_dir(o, dir, "DO's dir does not exist, will try to create...\n") < 0) return false;
    trace(3, "Checking for existence of DO %s...\n", rel);
    view_xstat_t xs{};
    ks_status_t st = bldr_utl_obj_cache_info(rel, mfc_mf_stat_handle, 0, &xs, nullptr, nullptr,
                                             nullptr, nullptr, nullptr);
    if (st == KS_ST_OK && tbs_oid_eq(&xs.obj_oid, &o->oid)) return true;
    if (st == KS_ST_OK || st == KS_ST_NOT_IN_VOB) {
      if (!a->no_execute) {
        trace(3, "Old DO exists in view, removing...\n");
        if (!remove_here()) return false;
      }
    } else if (st != KS_ST_NOT_FOUND) {
      return false;
    }
    std::string name = level(2) ? ext_name(o) : std::string(rel);
    if (a->no_execute) {
      imsg_print(IMSG_INFO, kTable, MSG_WOULD_WINK_IN, name.c_str());
      return true;
    }
    imsg_print(IMSG_INFO, kTable, MSG_WINK_IN, name.c_str());
    if (a->auto_checkout) bldr_obj_require_delete_files(a->cotargets);
    char abs_dir[1024];
    if (bldr_utl_cwd_accessible_abs_pn(dir, sizeof abs_dir, abs_dir) != KS_ST_OK) return false;
    st = view_wink_in(static_cast<view_handle_t>(a->vi->view_server_handle), abs_dir, leaf, &o->oid);
    if (st != KS_ST_OK) {
      imsg_print(IMSG_ERROR, kTable, MSG_WINK_FAILED, st == KS_ST_ERR ? imsg_strerror(errno) : tbs_strerror(st));
      vob_handle_t *vobs = cr_utl_require_cr_voblist(a->cr);
      bool locked = vobs && cr_utl_any_locked_voblist(vobs, a->cr->vob_count);
      if (locked) {
        if (mf_getenv("ORVA_BLD_NOWAIT") == nullptr)
          vob_utl_wait4_unlock_voblist(vobs, a->cr->vob_count, 0,
                                       mf_getenv("ORVA_BLD_WAIT_NUSERS") != nullptr, 0);
        st = view_wink_in(static_cast<view_handle_t>(a->vi->view_server_handle), abs_dir, leaf, &o->oid);
        if (st == KS_ST_OK) imsg_print(IMSG_INFO, kTable, MSG_WINK_RETRIED);
        else imsg_print(IMSG_ERROR, kTable, MSG_WINK_FAILED, tbs_strerror(st));
      }
      cr_utl_free_cr_voblist(vobs);
      if (st != KS_ST_OK) return false;
    }
    return forget(dir, leaf, MSG_NO_DIR_OID, "Getting stat-cached OID of DO's dir %s...\n");
  }

  // A symbolic link of the record made again. True when it is in place (or announced).
  bool require_link(uint32_t i, const tbs_cr_obj_t *o, uint32_t *link_at) {
    trace(3, "Requiring an equivalent softlink for %s (%s)...\n", rel, pn);
    const char *text = nullptr;
    for (uint32_t n = 0; n < a->cr->linktext_count && !text; n++) {
      uint32_t at = (*link_at + n) % a->cr->linktext_count;
      if (a->cr->linktexts[at].obj_index == i) {
        text = a->cr->linktexts[at].text;
        *link_at = at + 1;
      }
    }
    if (text == nullptr) {
      imsg_print(IMSG_ERROR, kTable, MSG_NO_LINK_RECORD, rel);
      return false;
    }
    designate(o, text);
    char dir[1024], leaf[256];
    split(dir, sizeof dir, leaf, sizeof leaf);
    trace(3, "Checking for existence of slink's containing dir %s...\n", dir);
    if (require_dir(o, dir, "Slink's dir does not exist, will try to create...\n") < 0) return false;
    trace(3, "Checking for existence of slink %s...\n", rel);
    view_xstat_t xs{};
    ks_status_t st = bldr_utl_obj_cache_info(rel, mfc_mf_stat_handle, 0, &xs, nullptr, nullptr,
                                             nullptr, nullptr, nullptr);
    if (st == KS_ST_OK && tbs_oid_eq(&xs.obj_oid, &o->oid)) return true;
    if ((st == KS_ST_OK || st == KS_ST_NOT_IN_VOB) && xs.fstat.type == VIEW_FTYPE_LNK) {
      trace(3, "Old slink exists in view, checking for equivalence...\n");
      char now[1024];
      size_t len = 0;
      if (view_readlink(VIEW_HANDLE_NULL, rel, sizeof now, &len, now) != KS_ST_OK) {
        imsg_print(IMSG_ERROR, kTable, MSG_NO_LINK_TEXT, rel, imsg_strerror(errno));
        return false;
      }
      if (std::strcmp(now, text) == 0) {
        trace(3, "Old slink is equivalent, keeping it.\n");
        return true;
      }
      trace(3, "Old slink is not equivalent, removing...\n");
      if (!a->no_execute && unlink(rel) != 0) trace(3, "Failed to remove file %s\n", rel);
    }
    if (a->no_execute) {
      imsg_print(IMSG_INFO, kTable, MSG_WOULD_SLINK, rel);
      return true;
    }
    imsg_print(IMSG_INFO, kTable, MSG_CREATE_SLINK, rel);
    if (symlink(text, rel) != 0) {
      imsg_print(IMSG_ERROR, kTable, MSG_SLINK_FAILED, rel, imsg_strerror(errno));
      return false;
    }
    trace(3, "Selectively invalidating by relative name %s...\n", rel);
    return forget(dir, leaf, MSG_NO_LINK_DIR_OID, "Getting stat-cached OID of slink's dir %s...\n");
  }

  // A directory of the record made again. True when it exists (or would be made).
  bool require_directory() {
    trace(3, "Requiring an equivalent directory for %s (%s)...\n", rel, pn);
    bldr_utl_fhandle_t fh;
    if (bldr_utl_get_fhandle(rel, 1, 1, &fh) == KS_ST_OK || a->no_execute) return true;
    trace(3, "Dir does not exist, will try to create...\n");
    return cm_do_create_junk_dirs_with_hook(rel, bldr_obj_junkdir_create_hook,
                                            a->vi->view_tag_name ? a->vi->view_tag_name : "",
                                            &TBS_OID_NULL, 1) == KS_ST_OK;
  }
};

bool made_here(const tbs_cr_t *cr, const tbs_cr_obj_t *o, uint8_t kind) {
  return o->ftype == kind && cr->linktext_count > 0 && private_class(o->mtype) &&
         (o->flags & TBS_CR_OBJ_CREATED);
}

}  // namespace

ks_status_t bldr_obj_promote_dos(const bldr_obj_winkin_args_t *a) {
  Walk w{a};
  for (uint32_t i = 0; i < a->cr->obj_count; i++) {
    const tbs_cr_obj_t *o = a->cr->objs[i];
    if (!(o->flags & TBS_CR_OBJ_NEW_DO)) continue;
    if (a->is_previous && w.is_candidate(o)) continue;
    int skip = w.skip_do(i);
    if (skip < 0) return 1001;
    if (skip) continue;
    if (level(3)) imsg_print(IMSG_TRACE, "DO CR path \"%s\" translated to relative path \"%s\"\n", -1, w.pn, w.rel);
    bldr_obj_vt_info_t *e = nullptr;
    bool failed = bldr_obj_vertab_get_info(a->vertab, w.rel, 0, a->area, a->vi, &e) != KS_ST_OK;
    if (!failed && e->state == BLDR_OBJ_VT_FILLED && VOB_MTYPE_IS_DO(e->klass) &&
        tbs_oid_eq(&e->ver_oid, &o->oid))
      continue;
    vob_handle_t vobh = VOB_HANDLE_NULL;
    cm_do_info_t info{};
    failed = failed || o->vob_index >= a->cr->vob_count ||
             vob_ob_vob_oid_to_vobh(&a->cr->vobs[o->vob_index].vob_oid, &vobh) != KS_ST_OK ||
             cm_do_get_info(vobh, &o->oid, &info) != KS_ST_OK;
    if (!failed && info.shared) continue;
    if (!failed && info.has_container) {
      failed = vob_do_promote_oid(vobh, &o->oid) != KS_ST_OK;
      if (!failed) {
        if (level(2)) imsg_print(IMSG_INFO, kTable, MSG_PROMOTED, w.rel);
        continue;
      }
    } else if (!failed) {
      trace(3, "Shareable DO \"%s\" no longer has a storage container.\n", w.ext_name(o).c_str());
      if (a->is_previous) continue;
    }
    imsg_print(IMSG_WARNING, kTable, MSG_NO_PROMOTE, w.ext_name(o).c_str());
    return 1002;
  }
  return KS_ST_OK;
}

ks_status_t bldr_obj_winkin_dos(const bldr_obj_winkin_args_t *a) {
  if (a->cr == nullptr || a->cr->obj_count == 0) return KS_ST_OK;
  Walk w{a};
  uint32_t link_at = 0;
  for (uint32_t i = 0; i < a->cr->obj_count; i++) {
    const tbs_cr_obj_t *o = a->cr->objs[i];
    bool ok = true;
    if (o->flags & TBS_CR_OBJ_NEW_DO) {
      int skip = w.skip_do(i);
      if (skip < 0) return 1001;
      if (skip) continue;
      w.designate(o, nullptr);
      if (a->is_previous && w.is_candidate(o)) continue;
      ok = w.wink_in(o);
    } else if (made_here(a->cr, o, TBS_CR_FTYPE_SLINK) || made_here(a->cr, o, TBS_CR_FTYPE_DIR)) {
      int skip = w.skip_do(i);
      if (skip < 0) return 1001;
      if (skip) continue;
      ok = o->ftype == TBS_CR_FTYPE_SLINK ? w.require_link(i, o, &link_at) : w.require_directory();
    } else {
      continue;
    }
    if (!ok) {
      imsg_print(IMSG_INFO, kTable, MSG_NO_WINK_IN, w.rel);
      return 1001;
    }
  }
  return KS_ST_OK;
}

void bldr_obj_junkdir_create_hook(const char *dir_pname, const char *view_tag,
                                  const tbs_oid_t *vob_oid, int flag) {
  PFM_ASSERT(dir_pname != NULL);
  PFM_ASSERT(view_tag != NULL);
  PFM_ASSERT(vob_oid != NULL);
  trace(3, "junkdir create hook invalidating tolvick's stat cache for \"%s\"...\n", dir_pname);
  mf_stat_inval_obj(static_cast<mf_stat_handle_t>(mfc_mf_stat_handle), dir_pname);
  char parent[1024], leaf[256];
  if (fileutl_strip_leaf(dir_pname, sizeof parent, parent, sizeof leaf, leaf) != KS_ST_OK) return;
  if (!*parent) std::strcpy(parent, ".");
  trace(3, "junkdir create hook invalidating Vessary/view name caches for \"%s\" in \"%s\"...\n", leaf, parent);
  view_xstat_t xs{};
  ks_status_t st = bldr_utl_obj_cache_info(parent, mfc_mf_stat_handle, 1, &xs, nullptr, nullptr,
                                           nullptr, nullptr, nullptr);
  if (st != KS_ST_OK && level(4))
    imsg_print(IMSG_TRACE, &_bldr_obj_karsel_msg_table, MSG_NO_PARENT_OID, parent, tbs_strerror(st));
  st = view_inval_name_oid(view_tag, vob_oid, 0, leaf, flag);
  if (st != KS_ST_OK)
    imsg_print(IMSG_ERROR, &_bldr_obj_karsel_msg_table, MSG_NO_INVAL, leaf, parent, tbs_strerror(st));
  mf_stat_inval_obj(static_cast<mf_stat_handle_t>(mfc_mf_stat_handle), parent);
  mf_dirent_update(MF_DIRENT_INVALIDATE, dir_pname);
}

void bldr_obj_require_delete_files(list_handle_t names) {
  if (names == LIST_HANDLE_NULL) return;
  void *d = nullptr;
  for (list_cursor_t c = list_next(names, nullptr, &d); c; c = list_next(names, c, &d)) {
    char abs[1024];
    if (bldr_utl_cwd_accessible_abs_pn(static_cast<const char *>(d), sizeof abs, abs) != KS_ST_OK) {
      trace(4, "Failed to form view-extended path");
      continue;
    }
    fileutl_rm(abs);
  }
}
