#include "vob/vob_ob.h"

#include <nettle/sha1.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "dbrpc/dbrpc_vobdb.h"
#include "tbs/tbs_oid.h"
#include "vob/vob_mtype.h"
#include "vob/vob_pname.h"

namespace {

// Every VOB this process has made a handle for; the handle is its index + 1.
struct Known {
  tbs_oid_t oid;
  std::string tag;
  std::string git_dir;
  std::string path;
};

std::mutex lock;
std::deque<Known> known;  // a deque keeps tag texts in place as it grows

vob_handle_t handle_for(const dbrpc_vob_rec_t &vob) {
  std::lock_guard<std::mutex> hold(lock);
  for (size_t i = 0; i < known.size(); i++)
    if (tbs_oid_eq(&known[i].oid, &vob.oid)) {
      known[i].git_dir = vob.git_dir;
      known[i].path = vob.path;
      return vob_handle_t(i + 1);
    }
  known.push_back(Known{vob.oid, vob.tag, vob.git_dir, vob.path});
  return vob_handle_t(known.size());
}

const Known *lookup(vob_handle_t vobh) {
  std::lock_guard<std::mutex> hold(lock);
  if (vobh == VOB_HANDLE_NULL || vobh > known.size()) return nullptr;
  return &known[vobh - 1];
}

// A name-based identifier: the SHA-1 of a label and the inputs, laid out as a version 5 UUID.
// The digest is the one git gives the same bytes as a blob ("blob <length>" and a NUL before
// them), so that identifiers stay what they have always been.
tbs_oid_t derive(std::string_view label, const void *a, size_t a_len, const void *b, size_t b_len) {
  std::string data(label);
  data.push_back('\0');
  data.append(static_cast<const char *>(a), a_len);
  data.push_back('\0');
  data.append(static_cast<const char *>(b), b_len);
  const std::string head = "blob " + std::to_string(data.size());
  struct sha1_ctx ctx;
  uint8_t sha[SHA1_DIGEST_SIZE];
  sha1_init(&ctx);
  sha1_update(&ctx, head.size() + 1, reinterpret_cast<const uint8_t *>(head.c_str()));
  sha1_update(&ctx, data.size(), reinterpret_cast<const uint8_t *>(data.data()));
  sha1_digest(&ctx, sizeof sha, sha);
  tbs_oid_t oid;
  std::memcpy(oid.bytes, sha, 16);
  oid.bytes[6] = uint8_t((oid.bytes[6] & 0x0f) | 0x50);
  oid.bytes[8] = uint8_t((oid.bytes[8] & 0x3f) | 0x80);
  return oid;
}

// What an OID this process handed out identifies.
struct Noted {
  tbs_oid_t vob_oid;
  uint32_t mtype;
  tbs_oid_t elem_oid;  // null for an element
  std::string vob_rel;
};

// The versions whose identities this process handed out, each once, with their elements; kept
// for the process's whole life and never destroyed (taking it apart at exit would be work for
// nothing). A version's element is found through the version noted last with it.
struct NotedVersion {
  tbs_oid_t vob_oid;
  tbs_oid_t oid;
  tbs_oid_t elem_oid;
  uint32_t mtype;
  std::string vob_rel;
};
std::mutex noted_lock;
auto &noted = *new std::vector<NotedVersion>;
// The places of noted by OID (tbs_oid_table_slot): a version's OID holds twice its place, its
// element's OID twice the place plus one.
auto &noted_slots = *new std::vector<uint32_t>;
size_t noted_oids = 0;  // the OIDs noted_slots holds

const tbs_oid_t &noted_oid(uint32_t at) { return at & 1 ? noted[at / 2].elem_oid : noted[at / 2].oid; }

uint32_t &noted_slot(const tbs_oid_t &oid) {
  return noted_slots[tbs_oid_table_slot(noted_slots, oid, noted_oid)];
}

// Makes oid designate at (the place of a version, or of its element); noted_lock held.
void note_place(const tbs_oid_t &oid, uint32_t at) {
  if (2 * (noted_oids + 1) > noted_slots.size()) {
    std::vector<uint32_t> old = std::move(noted_slots);
    noted_slots = tbs_oid_table_new(noted_oids + 1);
    for (uint32_t v : old)
      if (v) noted_slot(noted_oid(v - 1)) = v;
  }
  uint32_t &slot = noted_slot(oid);
  if (slot == 0) noted_oids++;
  slot = at + 1;
}

void forget_noted() {
  noted.clear();
  noted_slots.clear();
  noted_oids = 0;
}

ks_status_t pname_to_vobh(const char *path, bool follow, vob_handle_t *vobh) {
  vob_pname_t where;
  ks_status_t status = vob_pname_resolve(path, follow, &where);
  if (status != KS_ST_OK) return status;
  struct stat st;
  if ((follow ? stat(where.abs.c_str(), &st) : lstat(where.abs.c_str(), &st)) != 0)
    return (errno == ENOENT || errno == ENOTDIR) ? KS_ST_NOT_IN_VIEW : KS_ST_ERR;
  if (!where.vob || where.vob_rel == ".git" || where.vob_rel.starts_with(".git/"))
    return KS_ST_NOT_IN_VOB;
  *vobh = handle_for(*where.vob);
  return KS_ST_OK;
}

}  // namespace

tbs_oid_t vob_ob_elem_oid(const tbs_oid_t &vob_oid, std::string_view vob_rel) {
  return derive("element", vob_oid.bytes, 16, vob_rel.data(), vob_rel.size());
}

tbs_oid_t vob_ob_ver_oid(const tbs_oid_t &elem_oid, const uint8_t *digest, size_t digest_len) {
  return derive("version", elem_oid.bytes, 16, digest, digest_len);
}

vob_objsn_t vob_ob_elem_objsn(const tbs_oid_t &elem_oid) {
  const uint8_t *b = elem_oid.bytes;
  return vob_objsn_t{uint32_t(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3],
                     uint32_t(b[4]) << 24 | b[5] << 16 | b[6] << 8 | b[7]};
}

vob_objsn_t vob_ob_private_objsn(const tbs_oid_t &oid) { return vob_ob_elem_objsn(oid); }

ks_status_t vob_ob_mount_pname_to_vobh(const char *path, vob_handle_t *vobh) {
  return pname_to_vobh(path, true, vobh);
}

ks_status_t vob_ob_l_mount_pname_to_vobh(const char *path, vob_handle_t *vobh) {
  return pname_to_vobh(path, false, vobh);
}

ks_status_t vob_ob_vob_oid_to_vobh(const tbs_oid_t *vob_oid, vob_handle_t *vobh) {
  if (!vob_oid) return KS_ST_NOT_FOUND;
  ks_status_t status;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  if (!reg) return status;
  const dbrpc_vob_rec_t *vob = reg->find_vob_by_oid(*vob_oid);
  if (!vob) return KS_ST_NOT_FOUND;
  *vobh = handle_for(*vob);
  return KS_ST_OK;
}

ks_status_t vob_ob_mounted_vob_oid_to_vobh(const tbs_oid_t *vob_oid, vob_handle_t *vobh) {
  return vob_ob_vob_oid_to_vobh(vob_oid, vobh);
}

ks_status_t vob_ob_register_replica(const tbs_uuid_t *replica_uuid, const tbs_oid_t *, int, int,
                                    vob_handle_t *vobh) {
  if (!replica_uuid) return KS_ST_NOT_FOUND;
  tbs_oid_t oid = tbs_uuid_to_oid(replica_uuid);
  return vob_ob_vob_oid_to_vobh(&oid, vobh);
}

ks_status_t vob_ob_get_oid(vob_handle_t vobh, tbs_oid_t *vob_oid) {
  const Known *k = lookup(vobh);
  if (!k) return KS_ST_NOT_FOUND;
  *vob_oid = k->oid;
  return KS_ST_OK;
}

ks_status_t vob_ob_get_replica_uuid(vob_handle_t vobh, tbs_uuid_t *replica_uuid) {
  const Known *k = lookup(vobh);
  if (!k) return KS_ST_NOT_FOUND;
  *replica_uuid = tbs_oid_to_uuid(&k->oid);
  return KS_ST_OK;
}

const char *vob_ob_get_tag(vob_handle_t vobh) {
  const Known *k = lookup(vobh);
  return k ? k->tag.c_str() : nullptr;
}

std::string vob_ob_get_git_dir(vob_handle_t vobh) {
  const Known *k = lookup(vobh);
  return k ? k->git_dir : std::string();
}

std::string vob_ob_get_storage_path(vob_handle_t vobh) {
  const Known *k = lookup(vobh);
  return k ? k->path : std::string();
}

ks_status_t vob_ob_get_mount_dir_pname(vob_handle_t vobh, int, int, size_t size, char *buf) {
  const Known *k = lookup(vobh);
  if (!k) return KS_ST_NOT_FOUND;
  std::string dir = "/" + k->tag;
  if (dir.size() + 1 > size) return KS_ST_NAME_TOO_LONG;
  std::memcpy(buf, dir.c_str(), dir.size() + 1);
  return KS_ST_OK;
}

bool vob_utl_is_mounted_vob_pname(const char *dir) {
  if (!dir || dir[0] != '/') return false;
  ks_status_t status;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  if (reg && std::strchr(dir + 1, '/') == nullptr && reg->find_vob(dir + 1)) return true;
  vob_pname_t where;
  return vob_pname_resolve(dir, true, &where) == KS_ST_OK && where.vob && where.vob_rel.empty();
}

ks_status_t vob_ob_all_cache_action(vob_handle_t, int, int) { return KS_ST_OK; }

int vob_resolve_abspn_cond(const char *path, char *buf, size_t size, int flag) {
  std::string abs;
  ks_status_t status = vob_pname_canonical(path, (flag & VOB_RESOLVE_FOLLOW) != 0, &abs);
  if (status == KS_ST_NOT_FOUND) {
    errno = ENOENT;
    return -1;
  }
  if (status == KS_ST_NAME_TOO_LONG) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (status != KS_ST_OK) return -1;  // errno left by the failed call
  struct stat st;
  if ((flag & VOB_RESOLVE_MUST_EXIST) && lstat(abs.c_str(), &st) != 0) return -1;
  if (abs.size() + 1 > size) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(buf, abs.c_str(), abs.size() + 1);
  return 0;
}

void vob_ob_note_object(const tbs_oid_t &vob_oid, const tbs_oid_t &obj_oid, uint32_t mtype,
                        const tbs_oid_t &elem_oid, std::string_view vob_rel) {
  std::lock_guard<std::mutex> hold(noted_lock);
  if (noted.size() > 1000000) forget_noted();
  uint32_t at = 0;
  const uint32_t *slot = noted_slots.empty() ? nullptr : &noted_slot(obj_oid);
  if (slot && *slot != 0 && !((*slot - 1) & 1)) {
    at = *slot - 1;
    NotedVersion &v = noted[at / 2];
    v.vob_oid = vob_oid;
    v.elem_oid = elem_oid;
    v.mtype = mtype;
    if (v.vob_rel != vob_rel) v.vob_rel.assign(vob_rel);
  } else {
    at = uint32_t(2 * noted.size());
    noted.push_back(NotedVersion{vob_oid, obj_oid, elem_oid, mtype, std::string(vob_rel)});
    note_place(obj_oid, at);
  }
  note_place(elem_oid, at | 1);
}

void vob_ob_flush_cache() {
  std::lock_guard<std::mutex> hold(noted_lock);
  forget_noted();
}

ks_status_t vob_obj_oid_to_dbid(vob_handle_t vobh, const tbs_oid_t *oid, uint32_t *dbid) {
  const Known *k = lookup(vobh);
  if (!k || !oid) return KS_ST_NOT_FOUND;
  dbrpc_vobdb_obj_t found;
  ks_status_t status = dbrpc_vobdb_find_oid(k->git_dir, *oid, &found);
  if (status == KS_ST_OK) {
    *dbid = found.dbid;
    return KS_ST_OK;
  }
  if (status != KS_ST_NOT_FOUND) return status;
  Noted obj{};
  {
    std::lock_guard<std::mutex> hold(noted_lock);
    const uint32_t at = noted_slots.empty() ? 0 : noted_slot(*oid);
    if (at != 0) {
      const NotedVersion &v = noted[(at - 1) / 2];
      if (tbs_oid_eq(&v.vob_oid, &k->oid)) {
        const bool elem = (at - 1) & 1;
        const uint32_t elem_mtype = v.mtype == VOB_MTYPE_DIR_VERSION ? VOB_MTYPE_DIR_ELEM : VOB_MTYPE_FILE_ELEM;
        obj = Noted{v.vob_oid, elem ? elem_mtype : v.mtype, elem ? TBS_OID_NULL : v.elem_oid, v.vob_rel};
      }
    }
  }
  if (obj.mtype == 0) {
    // A derived object is numbered by its place in the VOB's store of derived objects.
    int64_t row = 0;
    status = dbrpc_vobdb_do_row(k->git_dir, *oid, &row);
    if (status != KS_ST_OK) return status;
    if (row <= 0 || row >= int64_t(VOB_DBID_DO)) return KS_ST_NOT_FOUND;
    *dbid = VOB_DBID_DO | uint32_t(row);
    return KS_ST_OK;
  }
  uint32_t elem_dbid = 0;
  if (!tbs_oid_is_null(&obj.elem_oid)) {
    uint32_t elem_mtype = obj.mtype == VOB_MTYPE_DIR_VERSION ? VOB_MTYPE_DIR_ELEM : VOB_MTYPE_FILE_ELEM;
    status = dbrpc_vobdb_enter(k->git_dir, obj.elem_oid, elem_mtype, 0, obj.vob_rel, &elem_dbid);
    if (status != KS_ST_OK) return status;
  }
  return dbrpc_vobdb_enter(k->git_dir, *oid, obj.mtype, elem_dbid, obj.vob_rel, dbid);
}

ks_status_t vob_obj_dbid_to_oid(vob_handle_t vobh, uint32_t dbid, tbs_oid_t *oid) {
  const Known *k = lookup(vobh);
  if (!k) return KS_ST_NOT_FOUND;
  if (dbid & VOB_DBID_DO) {
    dbrpc_vobdb_do_t d;
    ks_status_t status = dbrpc_vobdb_find_do_by_row(k->git_dir, int64_t(dbid & ~VOB_DBID_DO), &d);
    if (status == KS_ST_OK) *oid = d.do_oid;
    return status;
  }
  dbrpc_vobdb_obj_t found;
  ks_status_t status = dbrpc_vobdb_find_dbid(k->git_dir, dbid, &found);
  if (status == KS_ST_OK) *oid = found.oid;
  return status;
}

ks_status_t vob_ver_get_elem(vob_handle_t vobh, uint32_t ver_dbid, uint32_t *elem_dbid) {
  const Known *k = lookup(vobh);
  if (!k) return KS_ST_NOT_FOUND;
  dbrpc_vobdb_obj_t found;
  ks_status_t status = dbrpc_vobdb_find_dbid(k->git_dir, ver_dbid, &found);
  if (status != KS_ST_OK) return status;
  if (found.elem_dbid == 0) return KS_ST_NOT_FOUND;
  *elem_dbid = found.elem_dbid;
  return KS_ST_OK;
}

ks_status_t vob_obj_to_pname(vob_handle_t vobh, uint32_t dbid, const char *vob_tag, int, int, int,
                             size_t size, char *buf) {
  const Known *k = lookup(vobh);
  if (!k) return KS_ST_NOT_FOUND;
  dbrpc_vobdb_obj_t found;
  ks_status_t status = dbrpc_vobdb_find_dbid(k->git_dir, dbid, &found);
  if (status != KS_ST_OK) return status;
  std::string path = "/" + std::string(vob_tag && *vob_tag ? vob_tag : k->tag.c_str());
  if (!found.vob_rel.empty()) path += "/" + found.vob_rel;
  if (path.size() + 1 > size) return KS_ST_NAME_TOO_LONG;
  std::memcpy(buf, path.c_str(), path.size() + 1);
  return KS_ST_OK;
}
