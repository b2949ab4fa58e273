// Derived objects present in a view.
#include "view/view_do.h"

#include <sys/stat.h>

#include "dbrpc/dbrpc_viewdb.h"
#include "view/view_xstat.h"
#include "vob/vob_mtype.h"
#include "vob/vob_pname.h"

namespace {

// Where path lies and the status of the regular file there, when it still is the view-private
// object oid. KS_ST_OK; KS_ST_NOT_FOUND when it no longer is; KS_ST_NOT_IN_VIEW; KS_ST_ERR.
ks_status_t current(const char *path, const tbs_oid_t *oid, vob_pname_t *w, struct stat *st) {
  ks_status_t status = vob_pname_resolve(path, false, w);
  if (status != KS_ST_OK) return status == KS_ST_NOT_FOUND ? KS_ST_NOT_IN_VIEW : status;
  if (!w->view || !w->vob || w->vob_rel.empty()) return KS_ST_NOT_IN_VIEW;
  if (lstat(w->abs.c_str(), st) != 0 || !S_ISREG(st->st_mode)) return KS_ST_NOT_FOUND;
  tbs_oid_t now;
  status = dbrpc_viewdb_find_private_oid(w->view->storage, vob_pname_view_relative(*w), *st, &now);
  if (status == KS_ST_ERR) return status;
  return status == KS_ST_OK && tbs_oid_eq(&now, oid) ? KS_ST_OK : KS_ST_NOT_FOUND;
}

}  // namespace

ks_status_t view_do_is_current(const char *path, const tbs_oid_t *oid) {
  vob_pname_t w;
  struct stat st;
  return current(path, oid, &w, &st);
}

ks_status_t view_do_register(const char *path, const tbs_oid_t *do_oid, uint32_t mtype) {
  vob_pname_t w;
  struct stat st;
  ks_status_t status = current(path, do_oid, &w, &st);
  if (status != KS_ST_OK) return status;
  status = dbrpc_viewdb_note_do(w.view->storage, vob_pname_view_relative(w), *do_oid, mtype, st);
  view_xstat_forget(w.abs.c_str());
  return status;
}

ks_status_t view_do_list(const char *dir, std::vector<view_do_entry_t> *out) {
  out->clear();
  vob_pname_t w;
  ks_status_t status = vob_pname_resolve(dir, true, &w);
  if (status != KS_ST_OK) return status == KS_ST_NOT_FOUND ? KS_ST_NOT_IN_VIEW : status;
  if (!w.view) return KS_ST_NOT_IN_VIEW;
  std::string under = vob_pname_view_relative(w);
  if (under != "/") under += "/";
  std::vector<dbrpc_viewdb_do_t> dos;
  if (dbrpc_viewdb_list_dos(w.view->storage, &dos) != KS_ST_OK) return KS_ST_ERR;
  for (const auto &d : dos) {
    if (d.vrel.compare(0, under.size(), under) != 0) continue;
    view_do_entry_t e;
    e.path = w.view_dir + d.vrel;
    view_oids_t o;
    if (view_get_oids(e.path.c_str(), 0, 0, 0, &o) != KS_ST_OK || !VOB_MTYPE_IS_DO(o.mtype) ||
        !tbs_oid_eq(&o.obj_oid, &d.do_oid))
      continue;
    e.do_oid = d.do_oid;
    e.mtype = o.mtype;
    out->push_back(std::move(e));
  }
  return KS_ST_OK;
}

ks_status_t view_getprop(view_handle_t view, int prop, uint32_t *value) {
  if (view == VIEW_HANDLE_NULL || prop != 4) return KS_ST_NOT_FOUND;
  *value = 0;
  return KS_ST_OK;
}

ks_status_t view_mfs_set_audited_obj(const char *pathname, int) {
  struct stat st;
  return lstat(pathname, &st) == 0 ? KS_ST_OK : KS_ST_NOT_IN_VIEW;
}

bool view_do_replaced_by_write(const vob_pname_t &where, uint64_t dev, uint64_t ino,
                               tbs_oid_t *do_oid, uint32_t *mtype) {
  if (!where.view || !where.vob || where.vob_rel.empty()) return false;
  std::string vrel = vob_pname_view_relative(where);
  tbs_oid_t now;
  uint64_t do_dev = 0, do_ino = 0;
  if (dbrpc_viewdb_find_do(where.view->storage, vrel, do_oid, mtype, &do_dev, &do_ino) != KS_ST_OK ||
      do_dev != dev || do_ino != ino)
    return false;
  // The inode is the derived object's as long as the view knows it by that OID (nothing
  // identified it as another object since).
  return dbrpc_viewdb_last_private_oid(where.view->storage, vrel, &now) == KS_ST_OK &&
         tbs_oid_eq(&now, do_oid);
}
