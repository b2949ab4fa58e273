// Writing derived objects and their configuration record.
#include "cm/bldr_vob.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

#include "cm/cm_do.h"
#include "dbrpc/dbrpc_vobdb.h"
#include "ks/fileutl.h"
#include "ks/imsg.h"
#include "view/view_do.h"
#include "view/view_xstat.h"
#include "vob/vob_mtype.h"

namespace {

const char kModule[] = "cm/bldr_vob";

// A derived object about to be stored.
struct NewDo {
  std::string path;  // view-extended
  dbrpc_vobdb_do_t row;
};

}  // namespace

bldr_vob_do_desc_t *bldr_vob_new_do_desc(stg_area_t area, const tbs_oid_t *oid,
                                         const char *pathname, int) {
  auto *d = static_cast<bldr_vob_do_desc_t *>(stg_calloc(area, sizeof(bldr_vob_do_desc_t)));
  if (d == nullptr) return nullptr;
  d->oid = *oid;
  d->pathname = stg_area_strdup(area, pathname ? pathname : "");
  return d->pathname ? d : nullptr;
}

ks_status_t bldr_vob_write_crs_dos(tbs_cr_t *cr, cr_utl_nt_hdl_t, int non_shareable,
                                   bldr_vob_do_desc_t *const *new_dos, uint32_t n_new,
                                   const tbs_oid_t *subordinates, uint32_t n_sub,
                                   const tbs_oid_t *primary_dep_oid, uint64_t script_hash,
                                   const cr_utl_dep_hash_t *dep_hashes, uint32_t n_hashes,
                                   const char *, view_handle_t view, bldr_vob_ver_to_elem_fn_t) {
  const char *view_dir = view_get_dir(view);
  const tbs_uuid_t *view_uuid = view_get_uuid(view);
  if (view_dir == nullptr || view_uuid == nullptr) {
    imsg_print(IMSG_ERROR, "%s: no view to write derived objects in\n", -1, kModule);
    return KS_ST_ERR;
  }
  uint32_t primary_hash = cm_do_primary_hash(primary_dep_oid);
  // Each new derived object whose file is still the object the audit identified, by VOB.
  std::map<std::string, std::vector<NewDo>> by_vob;  // git dir -> derived objects
  for (uint32_t i = 0; i < n_new; i++) {
    const bldr_vob_do_desc_t *desc = new_dos[i];
    tbs_cr_obj_t *obj = nullptr;
    for (uint32_t j = 0; j < cr->obj_count && !obj; j++)
      if ((cr->objs[j]->flags & TBS_CR_OBJ_NEW_DO) && tbs_oid_eq(&cr->objs[j]->oid, &desc->oid))
        obj = cr->objs[j];
    if (obj == nullptr) continue;
    NewDo d;
    d.path = std::string(view_dir) + desc->pathname;
    struct stat st;
    bool same = view_do_is_current(d.path.c_str(), &obj->oid) == KS_ST_OK && lstat(d.path.c_str(), &st) == 0;
    if (!same) {
      imsg_print(IMSG_WARNING, "Derived object \"%s\" changed after its build; not recorded\n", -1,
                 desc->pathname);
      obj->flags &= ~uint32_t(TBS_CR_OBJ_NEW_DO);
      continue;
    }
    vob_handle_t vobh = VOB_HANDLE_NULL;
    if (obj->vob_index >= cr->vob_count ||
        vob_ob_vob_oid_to_vobh(&cr->vobs[obj->vob_index].vob_oid, &vobh) != KS_ST_OK) {
      imsg_print(IMSG_ERROR, "%s: no VOB for derived object \"%s\"\n", -1, kModule, desc->pathname);
      return KS_ST_ERR;
    }
    std::string git_dir = vob_ob_get_git_dir(vobh);
    dbrpc_vobdb_do_t &r = d.row;
    r.do_oid = obj->oid;
    r.dir_oid = obj->parent_oid;
    r.view_uuid = *view_uuid;
    const char *tag = vob_ob_get_tag(vobh);
    std::string vrel = desc->pathname;
    std::string prefix = std::string("/") + (tag ? tag : "") + "/";
    r.vob_rel = vrel.compare(0, prefix.size(), prefix) == 0 ? vrel.substr(prefix.size()) : vrel;
    // It is shopped for by the directory that holds it and its leaf (vob_resolve_do_split_pn).
    size_t slash = r.vob_rel.rfind('/');
    r.name = slash == std::string::npos ? r.vob_rel : r.vob_rel.substr(slash + 1);
    if (vob_dir_elem_dbid(vobh, slash == std::string::npos ? "" : r.vob_rel.substr(0, slash),
                          &r.dir_dbid) != KS_ST_OK) {
      imsg_print(IMSG_ERROR, "%s: no directory for derived object \"%s\"\n", -1, kModule, desc->pathname);
      return KS_ST_ERR;
    }
    r.mtype = VOB_MTYPE_DERIVED_OBJ;
    r.non_shareable = non_shareable != 0;
    r.primary_hash = primary_hash;
    r.script_hash = script_hash;
    r.size = uint64_t(st.st_size);
    r.mtime_ns = int64_t(uint64_t(st.st_mtim.tv_sec) * 1000000000u + uint64_t(st.st_mtim.tv_nsec));
    r.dev = uint64_t(st.st_dev);
    r.ino = uint64_t(st.st_ino);
    r.created = int64_t(time(nullptr));
    by_vob[git_dir].push_back(std::move(d));
  }
  if (by_vob.empty()) return KS_ST_OK;
  size_t len = 0;
  char *bytes = tbs_cr_encode(cr, &len);
  if (bytes == nullptr) {
    imsg_print(IMSG_ERROR, "%s: cannot encode the configuration record of \"%s\"\n", -1, kModule,
               cr->target_name ? cr->target_name : "");
    return KS_ST_ERR;
  }
  uint32_t crc = fileutl_crc_buffer(bytes, len);
  std::vector<std::pair<uint32_t, uint32_t>> hashes;
  for (uint32_t i = 0; i < n_hashes; i++) hashes.emplace_back(dep_hashes[i].words[0], dep_hashes[i].words[1]);
  std::vector<tbs_oid_t> subs(subordinates, subordinates + n_sub);
  ks_status_t status = KS_ST_OK;
  for (auto &[git_dir, dos] : by_vob) {
    std::vector<dbrpc_vobdb_do_t> rows;
    for (const auto &d : dos) rows.push_back(d.row);
    status = dbrpc_vobdb_store_dos(git_dir, bytes, len, crc, rows, hashes, subs);
    if (status != KS_ST_OK) break;
    // Only once the VOB holds the record does the view show the files as derived objects.
    for (const auto &d : dos) {
      ks_status_t st = view_do_register(d.path.c_str(), &d.row.do_oid, d.row.mtype);
      if (st == KS_ST_ERR) status = st;
    }
    if (status != KS_ST_OK) break;
  }
  std::free(bytes);
  return status;
}
