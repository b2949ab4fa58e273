// Derived objects' shopping directories and names, and the branches and version numbers of
// versions (see vob_ob.h).
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "dbrpc/dbrpc_vobdb.h"
#include "vob/vob_mtype.h"
#include "vob/vob_ob.h"
#include "vob/vob_pname.h"

namespace {

ks_status_t copy_out(const std::string &text, size_t size, char *buf) {
  if (text.size() + 1 > size) return KS_ST_NAME_TOO_LONG;
  std::memcpy(buf, text.c_str(), text.size() + 1);
  return KS_ST_OK;
}

// The version dbid of the VOB, or KS_ST_NOT_FOUND when dbid is no version.
ks_status_t version_row(vob_handle_t vobh, uint32_t dbid, dbrpc_vobdb_obj_t *row) {
  std::string git_dir = vob_ob_get_git_dir(vobh);
  if (git_dir.empty()) return KS_ST_NOT_FOUND;
  ks_status_t status = dbrpc_vobdb_find_dbid(git_dir, dbid, row);
  if (status != KS_ST_OK) return status;
  const bool version = row->mtype == VOB_MTYPE_VERSION || row->mtype == VOB_MTYPE_SLINK ||
                       row->mtype == VOB_MTYPE_DIR_VERSION;
  return version && row->elem_dbid != 0 ? KS_ST_OK : KS_ST_NOT_FOUND;
}

}  // namespace

ks_status_t vob_dir_elem_dbid(vob_handle_t vobh, const std::string &dir_rel, uint32_t *dbid) {
  // An entered object keeps its identifier: each directory is asked for once per process.
  static std::mutex lock;
  static std::unordered_map<std::string, uint32_t> known;
  tbs_oid_t vob_oid;
  if (vob_ob_get_oid(vobh, &vob_oid) != KS_ST_OK) return KS_ST_NOT_FOUND;
  std::string key = std::string(reinterpret_cast<const char *>(vob_oid.bytes), 16) + dir_rel;
  {
    std::lock_guard<std::mutex> hold(lock);
    auto it = known.find(key);
    if (it != known.end()) {
      *dbid = it->second;
      return KS_ST_OK;
    }
  }
  ks_status_t status = dbrpc_vobdb_enter(vob_ob_get_git_dir(vobh), vob_ob_elem_oid(vob_oid, dir_rel),
                                         VOB_MTYPE_DIR_ELEM, 0, dir_rel, dbid);
  if (status == KS_ST_OK) {
    std::lock_guard<std::mutex> hold(lock);
    known[key] = *dbid;
  }
  return status;
}

ks_status_t vob_resolve_do_split_pn(const char *pathname, void *, void *, int, vob_handle_t *vobh,
                                    uint32_t *dir_dbid, size_t leaf_size, char *leaf) {
  vob_pname_t w;
  ks_status_t status = vob_pname_resolve(pathname, false, &w);
  if (status != KS_ST_OK) return status;
  if (w.vob == nullptr || w.vob_rel.empty()) return KS_ST_NOT_IN_VOB;
  status = vob_ob_vob_oid_to_vobh(&w.vob->oid, vobh);
  if (status != KS_ST_OK) return status;
  size_t slash = w.vob_rel.rfind('/');
  std::string dir = slash == std::string::npos ? "" : w.vob_rel.substr(0, slash);
  status = copy_out(slash == std::string::npos ? w.vob_rel : w.vob_rel.substr(slash + 1), leaf_size, leaf);
  if (status != KS_ST_OK) return status;
  return vob_dir_elem_dbid(*vobh, dir, dir_dbid);
}

ks_status_t vob_obj_get_name_ext(vob_handle_t vobh, uint32_t dbid, size_t size, char *buf) {
  std::string git_dir = vob_ob_get_git_dir(vobh);
  const char *tag = vob_ob_get_tag(vobh);
  if (git_dir.empty() || tag == nullptr) return KS_ST_NOT_FOUND;
  dbrpc_vobdb_obj_t row;
  ks_status_t status;
  if (dbid & VOB_DBID_DO) {
    dbrpc_vobdb_do_t d;
    status = dbrpc_vobdb_find_do_by_row(git_dir, int64_t(dbid & ~VOB_DBID_DO), &d);
    row.oid = d.do_oid;
    row.vob_rel = d.vob_rel;
  } else {
    status = dbrpc_vobdb_find_dbid(git_dir, dbid, &row);
  }
  if (status != KS_ST_OK) return status;
  char oid[TBS_OID_STR_SIZE];
  std::string text = std::string("/") + tag + (row.vob_rel.empty() ? "" : "/" + row.vob_rel) +
                     "@@" + tbs_oid_to_dstr(&row.oid, oid);
  return copy_out(text, size, buf);
}

ks_status_t vob_obj_get_oid(vob_handle_t vobh, uint32_t dbid, tbs_oid_t *oid) {
  return vob_obj_dbid_to_oid(vobh, dbid, oid);
}

ks_status_t vob_ver_get_branch(vob_handle_t vobh, uint32_t ver_dbid, uint32_t *branch_dbid) {
  dbrpc_vobdb_obj_t row;
  ks_status_t status = version_row(vobh, ver_dbid, &row);
  if (status != KS_ST_OK) return status;
  dbrpc_vobdb_obj_t elem;
  std::string git_dir = vob_ob_get_git_dir(vobh);
  status = dbrpc_vobdb_find_dbid(git_dir, row.elem_dbid, &elem);
  if (status != KS_ST_OK) return status;
  // The branch's OID derives from its element's, as a digest of a name of its own.
  static const uint8_t kMain[] = {'/', 'm', 'a', 'i', 'n'};
  tbs_oid_t branch = vob_ob_ver_oid(elem.oid, kMain, sizeof kMain);
  return dbrpc_vobdb_enter(git_dir, branch, VOB_MTYPE_BRANCH, row.elem_dbid, elem.vob_rel, branch_dbid);
}

ks_status_t vob_branch_get_pred_ver(vob_handle_t, uint32_t, uint32_t *) { return KS_ST_NOT_FOUND; }

ks_status_t vob_ver_get_ver_num(vob_handle_t vobh, uint32_t ver_dbid, uint64_t *num) {
  dbrpc_vobdb_obj_t row;
  ks_status_t status = version_row(vobh, ver_dbid, &row);
  if (status == KS_ST_OK) *num = 1;
  return status;
}

ks_status_t vob_branch_get_pname(vob_handle_t, uint32_t, size_t size, char *buf) {
  return copy_out("/main", size, buf);
}
