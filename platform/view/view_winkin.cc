// Winkin of shared derived objects into views, link texts and the registry of view tags.
#include "view/view_winkin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "dbrpc/dbrpc_reg.h"
#include "dbrpc/dbrpc_viewdb.h"
#include "dbrpc/dbrpc_vobdb.h"
#include "ks/fileutl.h"
#include "view/view_xstat.h"
#include "vob/vob_mtype.h"
#include "vob/vob_pname.h"

namespace {

int64_t mtime_ns(const struct stat &st) {
  return int64_t(uint64_t(st.st_mtim.tv_sec) * 1000000000u + uint64_t(st.st_mtim.tv_nsec));
}

}  // namespace

ks_status_t view_wink_in(view_handle_t view, const char *dir, const char *leaf,
                         const tbs_oid_t *do_oid) {
  std::string path = std::string(dir) + "/" + leaf;
  vob_pname_t w;
  ks_status_t status = vob_pname_resolve(path.c_str(), false, &w);
  if (status != KS_ST_OK) return status;
  const tbs_uuid_t *uuid = view_get_uuid(view);
  if (!w.view || !w.vob || w.vob_rel.empty() || !uuid || !tbs_uuid_eq(&w.view->uuid, uuid))
    return KS_ST_NOT_IN_VIEW;
  dbrpc_vobdb_do_t d;
  dbrpc_vobdb_pool_t recorded;
  status = dbrpc_vobdb_find_do(w.vob->git_dir, *do_oid, &d);
  if (status == KS_ST_OK && !d.shared) status = KS_ST_NOT_FOUND;
  if (status == KS_ST_OK) status = dbrpc_vobdb_find_pool(w.vob->git_dir, *do_oid, &recorded);
  if (status != KS_ST_OK) return status;
  char oid_text[TBS_OID_STR_SIZE];
  std::string pool = w.vob->git_dir + "/vessary/pool/" + tbs_oid_to_dstr(do_oid, oid_text);
  struct stat st;
  if (lstat(pool.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) != recorded.size ||
      mtime_ns(st) != recorded.mtime_ns || uint64_t(st.st_ino) != recorded.ino ||
      uint64_t(st.st_dev) != recorded.dev)
    return KS_ST_NOT_FOUND;
  // The name never holds a part of the object: a hard link is made whole or not at all, so it goes
  // straight to a free name; otherwise the object is made under a name of its own beside the final
  // one (linked when only the name was in the way, else copied), then renamed over it. A link
  // is the pool's file: its status is the one just checked.
  struct stat now = st;
  if (link(pool.c_str(), path.c_str()) != 0) {
    const bool name_taken = errno == EEXIST;
    std::string tmp = std::string(dir) + "/." + leaf + ".winkin." + std::to_string(getpid());
    unlink(tmp.c_str());
    if (!name_taken || link(pool.c_str(), tmp.c_str()) != 0) {
      if (fileutl_cp(pool.c_str(), tmp.c_str()) != KS_ST_OK) return KS_ST_ERR;
      struct timespec times[2] = {st.st_mtim, st.st_mtim};
      if (chmod(tmp.c_str(), st.st_mode & 0555) != 0 || utimensat(AT_FDCWD, tmp.c_str(), times, 0) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        errno = e;
        return KS_ST_ERR;
      }
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
      int e = errno;
      unlink(tmp.c_str());
      errno = e;
      return KS_ST_ERR;
    }
    // A rename between two links of one file leaves both: the name held the object already.
    unlink(tmp.c_str());
    if (lstat(path.c_str(), &now) != 0) return KS_ST_ERR;
  }
  status = dbrpc_viewdb_note_winkin(w.view->storage, vob_pname_view_relative(w), *do_oid,
                                    VOB_MTYPE_SHARED_DO, now);
  view_xstat_forget(w.abs.c_str());
  return status;
}

ks_status_t view_inval_name_oid(const char *, const tbs_oid_t *, uint32_t, const char *, int) {
  return KS_ST_OK;
}

ks_status_t view_readlink(view_handle_t, const char *pathname, size_t size, size_t *len, char *buf) {
  if (size == 0) {
    errno = ENAMETOOLONG;
    return KS_ST_ERR;
  }
  ssize_t n = readlink(pathname, buf, size);
  if (n < 0) return KS_ST_ERR;
  if (size_t(n) >= size) {
    errno = ENAMETOOLONG;
    return KS_ST_ERR;
  }
  buf[n] = '\0';
  *len = size_t(n);
  return KS_ST_OK;
}

ks_status_t rgy_get_entry(size_t start, size_t max, rgy_view_entry_t *out, size_t *count) {
  *count = 0;
  ks_status_t status = KS_ST_OK;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  if (!reg) return status;
  for (size_t i = start; i < reg->views.size() && *count < max; i++) {
    rgy_view_entry_t &e = out[(*count)++];
    std::memset(&e, 0, sizeof e);
    std::strncpy(e.tag, reg->views[i].tag.c_str(), sizeof e.tag - 1);
    e.uuid = reg->views[i].uuid;
    e.has_uuid = 1;
  }
  return KS_ST_OK;
}

ks_status_t rgy_findbyuuid_entry(const tbs_uuid_t *uuid, size_t size, char *tag) {
  ks_status_t status = KS_ST_OK;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  if (!reg) return status;
  const dbrpc_view_rec_t *v = reg->find_view_by_uuid(*uuid);
  if (v == nullptr) return KS_ST_NOT_FOUND;
  if (v->tag.size() + 1 > size) return KS_ST_NAME_TOO_LONG;
  std::memcpy(tag, v->tag.c_str(), v->tag.size() + 1);
  return KS_ST_OK;
}

ks_status_t view_do_unshare(const char *path) {
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink <= 1) return KS_ST_OK;
  vob_pname_t w;
  if (vob_pname_resolve(path, false, &w) != KS_ST_OK || !w.view || !w.vob) return KS_ST_OK;
  const std::string vrel = vob_pname_view_relative(w);
  tbs_oid_t do_oid;
  uint32_t mtype = 0;
  uint64_t dev = 0, ino = 0;
  if (dbrpc_viewdb_find_do(w.view->storage, vrel, &do_oid, &mtype, &dev, &ino) != KS_ST_OK ||
      dev != uint64_t(st.st_dev) || ino != uint64_t(st.st_ino))
    return KS_ST_OK;
  size_t slash = w.abs.rfind('/');
  std::string tmp = w.abs.substr(0, slash + 1) + "." + w.abs.substr(slash + 1) + ".unshare." +
                    std::to_string(getpid());
  unlink(tmp.c_str());
  if (fileutl_cp(w.abs.c_str(), tmp.c_str()) != KS_ST_OK) return KS_ST_ERR;
  struct timespec times[2] = {st.st_mtim, st.st_mtim};
  struct stat now;
  if (chmod(tmp.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0 ||
      utimensat(AT_FDCWD, tmp.c_str(), times, 0) != 0 || rename(tmp.c_str(), w.abs.c_str()) != 0 ||
      lstat(w.abs.c_str(), &now) != 0) {
    int e = errno;
    unlink(tmp.c_str());
    errno = e;
    return KS_ST_ERR;
  }
  ks_status_t status = dbrpc_viewdb_note_winkin(w.view->storage, vrel, do_oid, mtype, now);
  view_xstat_forget(w.abs.c_str());
  return status;
}
