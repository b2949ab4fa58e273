// Shopping, promotion and deletion of derived objects.
#include "cm/cm_do.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cm/cm_cr.h"
#include "dbrpc/dbrpc_reg.h"
#include "dbrpc/dbrpc_vobdb.h"
#include "ks/fileutl.h"
#include "tbs/tbs_product.h"

// The candidates of one shopping and the VOB read scope that lasts while they are evaluated: the
// evaluation reads each candidate's row, pool entry and record several times over.
struct vob_ob_cursor_s {
  std::vector<tbs_oid_t> candidates;
  size_t next = 0;
  vob_ob_cursor_s() { dbrpc_vobdb_read_begin(); }
  ~vob_ob_cursor_s() { dbrpc_vobdb_read_end(); }
};

namespace {

int64_t mtime_ns(const struct stat &st) {
  return int64_t(uint64_t(st.st_mtim.tv_sec) * 1000000000u + uint64_t(st.st_mtim.tv_nsec));
}

// The temporary name of a promotion's pool file, where it cannot be created without a name.
std::string promote_name(const std::string &final) {
  return final + ".promote." + std::to_string(getpid());
}

// Creates the file that becomes the pool file final in the pool directory dir (made when
// missing, as by the first promotion): without a name where the system allows it (an unnamed
// file is named through /proc), so that it is named once complete and a process killed meanwhile
// leaves nothing; else under a name of its own beside final (*tmp). The descriptor, or -1 with
// errno set.
int create_pool_file(const std::string &dir, const std::string &final, std::string *tmp) {
  static const bool can_name = access("/proc/self/fd", X_OK) == 0;
  auto made_dir = [&] { return mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST; };
  tmp->clear();
  int fd = -1;
  if (can_name) {
    fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0400);
    if (fd < 0 && errno == ENOENT && made_dir()) fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0400);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  }
  *tmp = promote_name(final);
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  fd = open(tmp->c_str(), flags, 0400);
  if (fd < 0 && errno == ENOENT && made_dir()) fd = open(tmp->c_str(), flags, 0400);
  if (fd < 0 && errno == EEXIST) {  // left behind by a process of the same number
    unlink(tmp->c_str());
    fd = open(tmp->c_str(), flags, 0400);
  }
  if (fd < 0) tmp->clear();
  return fd;
}

// Gives the complete file fd made by create_pool_file the name final, replacing what the name
// held (a copy no row names: its promotion did not finish). False with errno set.
bool name_pool_file(int fd, const std::string &final, std::string *tmp) {
  if (tmp->empty()) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, self, AT_FDCWD, final.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != EEXIST) return false;
    *tmp = promote_name(final);
    unlink(tmp->c_str());
    if (linkat(AT_FDCWD, self, AT_FDCWD, tmp->c_str(), AT_SYMLINK_FOLLOW) != 0) {
      tmp->clear();
      return false;
    }
  }
  if (rename(tmp->c_str(), final.c_str()) != 0) return false;
  tmp->clear();
  return true;
}

}  // namespace

uint32_t cm_do_primary_hash(const tbs_oid_t *primary_dep_oid) {
  return tbs_oid_to_hash32(primary_dep_oid ? primary_dep_oid : &TBS_OID_NULL);
}

ks_status_t cm_do_next_named_hash_do(vob_handle_t vobh, uint32_t dir_dbid, const char *do_name,
                                     uint32_t dep_hash, uint64_t script_hash,
                                     const cr_utl_dep_hash_t *hashes, uint32_t count,
                                     vob_ob_cursor_t *cursor, tbs_oid_t *do_oid) {
  std::string git_dir = vob_ob_get_git_dir(vobh);
  if (git_dir.empty()) return KS_ST_NOT_FOUND;
  if (*cursor == VOB_OB_CURSOR_NULL) {
    auto *c = new vob_ob_cursor_s;
    if (dbrpc_vobdb_shop(git_dir, dir_dbid, do_name, dep_hash, script_hash, &c->candidates) != KS_ST_OK) {
      delete c;
      return KS_ST_ERR;
    }
    *cursor = c;
  }
  vob_ob_cursor_s *c = *cursor;
  std::vector<std::pair<uint32_t, uint32_t>> used;
  while (c->next < c->candidates.size()) {
    const tbs_oid_t &oid = c->candidates[c->next++];
    bool trouble = false;
    if (count > 0) {
      if (dbrpc_vobdb_dep_hashes(git_dir, oid, &used) != KS_ST_OK) return KS_ST_ERR;
      for (const auto &u : used)
        for (uint32_t i = 0; i < count && !trouble; i++)
          trouble = hashes[i].words[0] == u.first && hashes[i].words[1] == u.second;
    }
    if (!trouble) {
      *do_oid = oid;
      return KS_ST_OK;
    }
  }
  vob_ob_cursor_close(cursor);
  return KS_ST_NOT_FOUND;
}

void vob_ob_cursor_close(vob_ob_cursor_t *cursor) {
  delete *cursor;
  *cursor = VOB_OB_CURSOR_NULL;
}

ks_status_t vob_do_promote(vob_handle_t vobh, uint32_t dbid) {
  tbs_oid_t oid;
  ks_status_t status = vob_obj_dbid_to_oid(vobh, dbid, &oid);
  return status == KS_ST_OK ? vob_do_promote_oid(vobh, &oid) : status;
}

ks_status_t vob_do_promote_oid(vob_handle_t vobh, const tbs_oid_t *do_oid) {
  std::string git_dir = vob_ob_get_git_dir(vobh);
  if (git_dir.empty()) return KS_ST_NOT_FOUND;
  dbrpc_vobdb_do_t d;
  ks_status_t status = dbrpc_vobdb_find_do(git_dir, *do_oid, &d);
  if (status != KS_ST_OK || d.shared) return status;
  std::string source;
  if (cm_do_view_data_pname(vobh, d, &source) != KS_ST_OK) return KS_ST_NOT_FOUND;
  int in = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return KS_ST_NOT_FOUND;
  const std::string final = cm_do_pool_pname(vobh, do_oid);
  std::string tmp;
  int out = create_pool_file(git_dir + "/vessary/pool", final, &tmp);
  if (out < 0) {
    int e = errno;
    close(in);
    errno = e;
    return KS_ST_ERR;
  }
  bool copied = fileutl_copy_fd(in, out, d.size) == KS_ST_OK;
  int e = errno;
  // The copy counts only when what was read was the derived object's data all along (of its
  // size then and now); the pool file is complete, read-only and dated like its source before it
  // takes its name.
  struct stat src = {}, copy = {};
  bool ok = copied && fstat(in, &src) == 0 && uint64_t(src.st_size) == d.size &&
            mtime_ns(src) == d.mtime_ns && uint64_t(src.st_ino) == d.ino && uint64_t(src.st_dev) == d.dev;
  struct timespec times[2] = {src.st_mtim, src.st_mtim};
  ok = ok && fchmod(out, src.st_mode & 0555) == 0 && futimens(out, times) == 0 &&
       fstat(out, &copy) == 0 && uint64_t(copy.st_size) == d.size && name_pool_file(out, final, &tmp);
  close(in);
  if (close(out) != 0 && copied) {
    e = errno;
    ok = copied = false;
  }
  if (!ok) {
    if (!tmp.empty()) unlink(tmp.c_str());
    errno = e;
    return copied ? KS_ST_NOT_FOUND : KS_ST_ERR;
  }
  dbrpc_vobdb_pool_t pool;
  pool.size = uint64_t(copy.st_size);
  pool.mtime_ns = mtime_ns(copy);
  pool.dev = uint64_t(copy.st_dev);
  pool.ino = uint64_t(copy.st_ino);
  return dbrpc_vobdb_set_shared(git_dir, *do_oid, pool);
}

ks_status_t vob_do_delete(vob_handle_t vobh, const tbs_oid_t *do_oid) {
  std::string git_dir = vob_ob_get_git_dir(vobh);
  if (git_dir.empty()) return KS_ST_NOT_FOUND;
  ks_status_t status = dbrpc_vobdb_delete_do(git_dir, *do_oid);
  if (status == KS_ST_OK) unlink(cm_do_pool_pname(vobh, do_oid).c_str());
  return status;
}

ks_status_t vob_do_oid_get_fstat_if_data(vob_handle_t vobh, const tbs_oid_t *do_oid, int *has_data,
                                         view_fstat_t *fstat) {
  cm_do_info_t info;
  struct stat st;
  ks_status_t status = cm_do_get_info(vobh, do_oid, &info, &st);
  if (status != KS_ST_OK) return status;
  *has_data = info.has_data;
  std::memset(fstat, 0, sizeof *fstat);
  // The status is the one the data was found unchanged with.
  if (info.has_data) view_fstat_of(st, fstat);
  return KS_ST_OK;
}

ks_status_t tbs_access_fstat(const view_fstat_t *fstat, int mode, int *access, int *error) {
  *error = 0;
  const uint32_t m = fstat->mode;
  const uint32_t uid = uint32_t(geteuid());
  int granted;
  if (uid == 0) granted = 4 | 2 | ((m & 0111) ? 1 : 0);
  else if (uid == fstat->uid) granted = int((m >> 6) & 7);
  else granted = int(m & 7) | int((m >> 3) & 7);  // group membership is not known: the wider
  *access = (granted & mode) == mode;
  return KS_ST_OK;
}

ks_status_t cm_do_create_junk_dirs_with_hook(const char *dir, cm_do_junk_dir_hook_t hook,
                                             const char *view_tag, const tbs_oid_t *vob_oid,
                                             int flag) {
  std::string path = dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::vector<std::string> missing;
  struct stat st;
  for (std::string p = path; !p.empty() && p != "/" && p != "." && lstat(p.c_str(), &st) != 0;) {
    if (errno != ENOENT) return KS_ST_ERR;
    missing.push_back(p);
    size_t slash = p.rfind('/');
    p = slash == std::string::npos ? "" : p.substr(0, slash);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (mkdir(it->c_str(), 0777) != 0 && errno != EEXIST) return KS_ST_ERR;
    if (hook) hook(it->c_str(), view_tag, vob_oid, flag);
  }
  return KS_ST_OK;
}

vob_handle_t *cr_utl_require_cr_voblist(const tbs_cr_t *cr) {
  auto *list = static_cast<vob_handle_t *>(std::calloc(cr->vob_count + 1, sizeof(vob_handle_t)));
  if (list == nullptr) return nullptr;
  for (uint32_t i = 0; i < cr->vob_count; i++)
    if (vob_ob_vob_oid_to_vobh(&cr->vobs[i].vob_oid, &list[i]) != KS_ST_OK) {
      std::free(list);
      return nullptr;
    }
  return list;
}

void cr_utl_free_cr_voblist(vob_handle_t *list) { std::free(list); }

int cr_utl_any_locked_voblist(const vob_handle_t *, uint32_t) { return 0; }

ks_status_t vob_utl_wait4_unlock_voblist(const vob_handle_t *, uint32_t, int, int, int) {
  return KS_ST_OK;
}
