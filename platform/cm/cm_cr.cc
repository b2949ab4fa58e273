// The derived-object and configuration-record store of VOBs.
#include "cm/cm_cr.h"

#include <sys/stat.h>

#include <cstring>

#include "dbrpc/dbrpc_reg.h"
#include "dbrpc/dbrpc_vobdb.h"
#include "ks/fileutl.h"
#include "tbs/tbs_product.h"

ks_status_t cm_cr_get_cr(vob_handle_t vobh, const tbs_oid_t *do_oid, int, int, const tbs_uuid_t *,
                         tbs_cr_t *cr) {
  std::memset(cr, 0, sizeof *cr);
  std::string git_dir = vob_ob_get_git_dir(vobh);
  if (git_dir.empty()) return KS_ST_NOT_FOUND;
  std::string bytes;
  uint32_t crc = 0;
  ks_status_t status = dbrpc_vobdb_get_cr(git_dir, *do_oid, &bytes, &crc);
  if (status != KS_ST_OK) return status;
  if (fileutl_crc_buffer(bytes.data(), bytes.size()) != crc) return KS_ST_TRUNCATED;
  return tbs_cr_decode(bytes.data(), bytes.size(), cr);
}

ks_status_t cm_cr_free_cr(vob_handle_t, tbs_cr_t *cr) {
  tbs_cr_free_cr_stg(cr);
  return KS_ST_OK;
}

ks_status_t cm_cr_get_dep_hashes(const tbs_cr_t *cr, stg_area_t, uint32_t *count,
                                 const cr_utl_dep_hash_t **hashes, cr_utl_hash_deps_h_t *array) {
  *array = cr_utl_new_dep_hash_array(cr->obj_count, 1);
  if (*array == CR_UTL_HASH_DEPS_H_NULL) return KS_ST_ERR;
  for (uint32_t i = 0; i < cr->obj_count; i++) {
    const tbs_cr_obj_t *o = cr->objs[i];
    if (o->ftype != TBS_CR_FTYPE_FILE && o->ftype != TBS_CR_FTYPE_SLINK) continue;
    if (!(o->flags & (TBS_CR_OBJ_PREDEF | TBS_CR_OBJ_DETECTED)) || (o->flags & TBS_CR_OBJ_NEW_DO))
      continue;
    const char *slash = std::strrchr(o->name, '/');
    const char *leaf = slash ? slash + 1 : o->name;
    ks_status_t st = KS_ST_OK;
    if (o->flags & TBS_CR_OBJ_SUB_DO)
      st = cr_utl_add_do_dep_hash(*array, VOB_HANDLE_NULL, leaf, &o->oid);
    else if (!tbs_oid_is_null(&o->elem_oid))
      st = cr_utl_add_dep_hash(*array, VOB_HANDLE_NULL, leaf, &o->elem_oid, &o->oid);
    if (st != KS_ST_OK) {
      cr_utl_destroy_dep_hash_array(array);
      return KS_ST_ERR;
    }
  }
  return cr_utl_get_dep_hash_array(*array, count, hashes);
}

std::string cm_do_pool_pname(vob_handle_t vobh, const tbs_oid_t *do_oid) {
  std::string git_dir = vob_ob_get_git_dir(vobh);
  if (git_dir.empty()) return "";
  char text[TBS_OID_STR_SIZE];
  return git_dir + "/vessary/pool/" + tbs_oid_to_dstr(do_oid, text);
}

ks_status_t cm_do_view_data_pname(vob_handle_t vobh, const dbrpc_vobdb_do_t &d, std::string *path,
                                  struct stat *seen) {
  ks_status_t reg_status = KS_ST_OK;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&reg_status);
  const dbrpc_view_rec_t *view = reg ? reg->find_view_by_uuid(d.view_uuid) : nullptr;
  const char *tag = vob_ob_get_tag(vobh);
  if (!view || !tag) return KS_ST_NOT_FOUND;
  std::string p = std::string(tbs_view_root()) + "/" + view->tag + "/" + tag + "/" + d.vob_rel;
  struct stat st;
  int64_t mtime_ns = 0;
  if (lstat(p.c_str(), &st) != 0) return KS_ST_NOT_FOUND;
  mtime_ns = int64_t(uint64_t(st.st_mtim.tv_sec) * 1000000000u + uint64_t(st.st_mtim.tv_nsec));
  if (!S_ISREG(st.st_mode) || uint64_t(st.st_dev) != d.dev || uint64_t(st.st_ino) != d.ino ||
      uint64_t(st.st_size) != d.size || mtime_ns != d.mtime_ns)
    return KS_ST_NOT_FOUND;
  *path = p;
  if (seen) *seen = st;
  return KS_ST_OK;
}

ks_status_t cm_do_get_info(vob_handle_t vobh, const tbs_oid_t *do_oid, cm_do_info_t *info,
                           struct stat *data) {
  std::memset(info, 0, sizeof *info);
  std::string git_dir = vob_ob_get_git_dir(vobh);
  if (git_dir.empty()) return KS_ST_NOT_FOUND;
  dbrpc_vobdb_do_t d;
  ks_status_t status = dbrpc_vobdb_find_do(git_dir, *do_oid, &d);
  if (status != KS_ST_OK) return status;
  info->ver_oid = d.do_oid;
  info->shared = d.shared;
  info->mtype = d.mtype;
  info->non_shareable = d.non_shareable;
  info->view_uuid = d.view_uuid;
  struct stat st;
  if (d.shared) {
    // The pool's data counts while it is as promotion left it.
    dbrpc_vobdb_pool_t pool;
    std::string path = cm_do_pool_pname(vobh, do_oid);
    int64_t mtime_ns = 0;
    if (dbrpc_vobdb_find_pool(git_dir, *do_oid, &pool) == KS_ST_OK && lstat(path.c_str(), &st) == 0) {
      mtime_ns = int64_t(uint64_t(st.st_mtim.tv_sec) * 1000000000u + uint64_t(st.st_mtim.tv_nsec));
      info->has_data = S_ISREG(st.st_mode) && uint64_t(st.st_dev) == pool.dev &&
                       uint64_t(st.st_ino) == pool.ino && uint64_t(st.st_size) == pool.size &&
                       mtime_ns == pool.mtime_ns;
      if (info->has_data && data) *data = st;
    }
    info->has_container = info->has_data;
    return KS_ST_OK;
  }
  // Unshared: the data is the file in the view that built it, while it is unchanged; that file is
  // what promotion would take.
  std::string path;
  info->has_data = info->has_container = cm_do_view_data_pname(vobh, d, &path, data) == KS_ST_OK;
  return KS_ST_OK;
}
