// The life of a build audit: names, start, markers, stop, non-VOB dependencies, clean-up.
#include "bld/bldr_cr_audit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include "bld/bldr_cr.h"
#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "ks/sysutl.h"
#include "mf/mf_stat.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"
#include "view/view_audit.h"

namespace {

const char *const kModule = "bld/bldr_cr";

// Audit files of this process whose audits have not been cleaned up yet: the clean-up of a
// nested audit must not remove the file of an enclosing one.
std::set<std::string> &live_audit_files() {
  static std::set<std::string> files;
  return files;
}

void long_time(int64_t t, char *buf, size_t size) {
  time_t tt = time_t(t);
  struct tm tm;
  if (!localtime_r(&tt, &tm) || !strftime(buf, size, "%a %b %d %H:%M:%S %Y", &tm))
    snprintf(buf, size, "%lld", static_cast<long long>(t));
}

// Whether audit files are left in place after their audit for a person to read: make verbosity
// 3, the "bldr_save_audit_files" trace, or the save-audit-files flag.
bool leaving_files() {
  return mf_verbosity >= 3 ||
         (imsg_get_desired_verbosity() >= 3 && imsg_should_trace("bldr_save_audit_files", 3)) ||
         bldr_cr_save_audit_files;
}

// The audit file this process keeps for the audits of its build scripts: emptied after each
// audit instead of removed and made again, since making and removing a file per script costs
// more than the rest of an audit's start and end. It is taken again only while it is still the
// file this process made (same file, a regular file of this user with one link), and removed at
// exit by the process that made it.
struct KeptFile {
  std::string path;
  int fd = -1;  // open on the file (never through a link)
  uint32_t seq = 0;
  std::string dir, host, pid;
  pid_t owner = 0;
};

KeptFile &kept() {
  static KeptFile k;
  return k;
}

// Whether the kept file is this process's and still the one fd is open on (a process forked
// from the one that made it has a copy of the record, not the file); *size (when given) gets
// its length.
bool kept_is_ours(off_t *size = nullptr) {
  const KeptFile &k = kept();
  struct stat a, b;
  bool ours = k.fd >= 0 && k.owner == getpid() && fstat(k.fd, &a) == 0 &&
              lstat(k.path.c_str(), &b) == 0 && S_ISREG(b.st_mode) && a.st_dev == b.st_dev &&
              a.st_ino == b.st_ino && b.st_nlink == 1 && b.st_uid == geteuid();
  if (ours && size) *size = b.st_size;
  return ours;
}

// Whether pathname names the file this process keeps for its audits.
bool is_kept(const char *pathname) { return pathname && kept().fd >= 0 && kept().path == pathname; }

// Empties the kept file (of length size); false when it cannot.
bool empty_kept(off_t size) { return size == 0 || ftruncate(kept().fd, 0) == 0; }

// Lets go of the kept file without touching it.
void forget_kept() {
  KeptFile &k = kept();
  if (k.fd >= 0) close(k.fd);
  k = KeptFile();
}

// At exit: removes the kept file when it is this process's, with the raw event file its audits
// left emptied for the next one.
void remove_kept_at_exit() {
  KeptFile &k = kept();
  if (kept_is_ours()) {
    std::string raw = k.path + ".raw";
    struct stat s;
    if (lstat(raw.c_str(), &s) == 0 && S_ISREG(s.st_mode) && s.st_size == 0 &&
        s.st_uid == geteuid())
      unlink(raw.c_str());
    unlink(k.path.c_str());
  }
  forget_kept();
}

// Keeps the audit file just made at pathname for the next audits.
void keep_file(const char *pathname, uint32_t seq, const char *dir, const char *host,
               const char *pid) {
  static bool registered = false;
  forget_kept();
  int fd = open(pathname, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  KeptFile &k = kept();
  k.fd = fd;
  k.path = pathname;
  k.seq = seq;
  k.dir = dir;
  k.host = host;
  k.pid = pid;
  k.owner = getpid();
  if (!kept_is_ours()) {
    forget_kept();
    return;
  }
  if (!registered) registered = std::atexit(remove_kept_at_exit) == 0;
  if (!registered) forget_kept();
}

// Creates the audit file exclusively; *exists set when the name was taken meanwhile.
ks_status_t create_audit_file(const char *pathname, bool *exists) {
  *exists = false;
  int changed = bldr_utl_set_tempfile_umask();
  int fd = open(pathname, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  int err = errno;
  if (changed) bldr_utl_set_do_umask();
  if (fd < 0) {
    *exists = err == EEXIST || err == ELOOP;
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_OPEN_FAILED, pathname,
                      imsg_strerror(err));
    return KS_ST_ERR;
  }
  if (close(fd) != 0) {
    int e = errno;
    bldr_cr_note_auto_save_audit_files();
    imsg_print_shared(IMSG_WARNING, kModule, &imsg_common_table, IMSG_COMMON_CLOSE_FAILED,
                      pathname, imsg_strerror(e));
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

ks_status_t start_into(const char *pathname) {
  ks_status_t st = view_audit_start(pathname, 1);
  if (st != KS_ST_OK) {
    imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_START_FAILED, tbs_strerror(st));
    return KS_ST_ERR;
  }
  live_audit_files().insert(pathname);
  return KS_ST_OK;
}

// Starts the audit into the audit file at pathname, places marker 0 and examines the initial
// directory. The first failing step's status (KS_ST_ERR for a failing examination, after a
// message).
ks_status_t audit_into(const char *pathname, const char *initial_dir) {
  ks_status_t st = start_into(pathname);
  if (st != KS_ST_OK) return st;
  st = bldr_cr_mark_audit(BLDR_CR_MARKER_INITIAL_DIR);
  if (st != KS_ST_OK) return st;
  struct stat s;
  st = mf_stat_fileutl_stat(initial_dir, &s);
  if (st != KS_ST_OK) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_OBJ_OP_FAILED,
                      initial_dir, tbs_strerror(st));
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

}  // namespace

ks_status_t bldr_cr_get_unique_audit_pn(const char **dir, uint32_t *seq, const char **host,
                                        size_t pid_size, char *pid_buf, size_t path_size,
                                        char *path_buf) {
  PFM_ASSERT(dir != nullptr && seq != nullptr && host != nullptr);
  PFM_ASSERT(pid_size > 1);
  PFM_ASSERT(pid_buf != nullptr);
  PFM_ASSERT(path_size > 1);
  PFM_ASSERT(path_buf != nullptr);
  const char *d = bldr_utl_get_audit_tmpdir(1, 1, nullptr);
  if (!d || !*d) return KS_ST_ERR;
  const char *h = sysutl_myhostname();
  if (!h || !*h) return KS_ST_ERR;
  *dir = d;
  *host = h;
  snprintf(pid_buf, pid_size, "%05d", int(getpid()));
  *seq = 0;
  for (uint32_t n = 0; n <= 999; ++n) {
    char seqtext[16];
    snprintf(seqtext, sizeof seqtext, ".%03u", n);
    *seq = n;
    if (strutl_concat(path_buf, path_size, {d, "/bldr.audit.", h, ".", pid_buf, seqtext}) !=
        KS_ST_OK) {
      imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_NAME_BUFFER, d);
      return KS_ST_ERR;
    }
    // A name is free only when nothing is there, not even a dangling symbolic link.
    struct stat s;
    errno = 0;
    if (fileutl_stat(path_buf, 0, &s) != 0 && errno == ENOENT) return KS_ST_OK;
  }
  imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_TOO_MANY_FILES, d);
  return KS_ST_ERR;
}

ks_status_t bldr_cr_start_audit(const char *pathname) {
  bool exists;
  if (create_audit_file(pathname, &exists) != KS_ST_OK) return KS_ST_ERR;
  return start_into(pathname);
}

ks_status_t bldr_cr_init_audit(char *path_buf, size_t path_size, const char *initial_dir,
                               uint32_t *seq, const char **dir, const char **host, char *pid_buf,
                               size_t pid_size) {
  PFM_ASSERT(path_buf != nullptr);
  PFM_ASSERT(path_size > 0);
  PFM_ASSERT(initial_dir != nullptr && *initial_dir);
  PFM_ASSERT(seq != nullptr && dir != nullptr && host != nullptr);
  PFM_ASSERT(pid_buf != nullptr);
  PFM_ASSERT(pid_size > 1);
  ks_status_t st;
  // A name taken between the choice and the creation is passed over for the next free one.
  for (int attempt = 0;; ++attempt) {
    st = bldr_cr_get_unique_audit_pn(dir, seq, host, pid_size, pid_buf, path_size, path_buf);
    if (st != KS_ST_OK) return st;
    bool exists;
    st = create_audit_file(path_buf, &exists);
    if (st == KS_ST_OK) break;
    if (!exists || attempt >= 8) return st;
  }
  return audit_into(path_buf, initial_dir);
}

ks_status_t bldr_cr_mark_audit(uint32_t marker) {
  ks_status_t st = view_audit_marker(marker);
  if (st != KS_ST_OK)
    imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_MARKER_FAILED,
               tbs_strerror(st));
  return st;
}

ks_status_t bldr_cr_insert_java_audit_marker() {
  return bldr_cr_mark_audit(BLDR_CR_MARKER_JAVAC_SCRIPT);
}

ks_status_t bldr_cr_emit_child_build_avoidance_marker_for_parent() {
  return bldr_cr_mark_audit(BLDR_CR_MARKER_CHILD_AVOIDANCE);
}

ks_status_t bldr_cr_stop_audit() {
  ks_status_t st = view_audit_stop();
  if (st != KS_ST_OK)
    imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_STOP_FAILED, tbs_strerror(st));
  return st;
}

ks_status_t bldr_cr_stop_kept_audit(const char *pathname) {
  // Only the kept file's raw events are left for the next audit: the file removed at exit.
  ks_status_t st = is_kept(pathname) ? view_audit_stop_kept() : view_audit_stop();
  if (st != KS_ST_OK)
    imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_STOP_FAILED, tbs_strerror(st));
  return st;
}

ks_status_t bldr_cr_start_script_audit(const ip_rbld_desc *desc, char **path_out) {
  *path_out = nullptr;
  char *path = static_cast<char *>(malloc(1024));
  if (!path) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  uint32_t seq = 0;
  const char *dir = nullptr, *host = nullptr;
  char pid[16];
  ks_status_t st = bldr_cr_init_audit(path, 1024, desc->initial_dir, &seq, &dir, &host, pid,
                                      sizeof pid);
  if (st != KS_ST_OK) {
    // The audit may have started before the failing step: it must not run on.
    if (live_audit_files().count(path)) {
      view_audit_stop();
      bldr_cr_cleanup_audit_files(path, 0, "", "", "");
    }
    free(path);
    return st;
  }
  // Every later failure stops the audit and removes its file.
  auto fail = [&](ks_status_t status) {
    view_audit_stop();
    bldr_cr_cleanup_audit_files(path, 0, "", "", "");
    free(path);
    return status;
  };
  st = bldr_cr_check_fs_deps(desc->fs_dep_count, desc->fs_deps, 1);
  if (st != KS_ST_OK) return fail(st);
  bldr_utl_wait4_unlocked_vobs(desc->initial_dir);
  st = bldr_cr_mark_audit(BLDR_CR_MARKER_PREDEFINED_DEPS);
  if (st != KS_ST_OK) return fail(st);
  for (uint32_t i = 0; i < desc->predef_dep_count; ++i) {
    const bldr_cr_predef_dep_t *d = desc->predef_deps[i];
    if (!d || !d->pathname || !*d->pathname) continue;
    struct stat s;
    ks_status_t e = mf_stat_fileutl_stat(d->pathname, &s);
    if (e != KS_ST_OK) {
      imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_PREDEF_DEP, d->pathname,
                 tbs_strerror(e));
      return fail(KS_ST_ERR);
    }
  }
  if (desc->target_name && fileutl_patt_list_match(desc->makefile_patterns, desc->target_name)) {
    st = bldr_cr_mark_audit(BLDR_CR_MARKER_MAKEFILES);
    if (st != KS_ST_OK) return fail(st);
    void *datum = nullptr;
    for (list_cursor_t c = desc->makefiles ? list_next(desc->makefiles, nullptr, &datum) : nullptr;
         c; c = list_next(desc->makefiles, c, &datum)) {
      const char *mf = static_cast<const char *>(datum);
      struct stat s;
      ks_status_t e = mf_stat_fileutl_stat(mf, &s);
      if (e != KS_ST_OK)
        imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_MAKEFILE_ACCESS, mf,
                   tbs_strerror(e));
    }
  }
  if (mf_utl_should_trace("bldr_cr", 4))
    imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_ABOUT_TO_PROCESS);
  st = bldr_cr_mark_audit(BLDR_CR_MARKER_BUILD_SCRIPT);
  if (st != KS_ST_OK) return fail(KS_ST_ERR);
  *path_out = path;
  return KS_ST_OK;
}

ks_status_t bldr_cr_check_fs_deps(uint32_t count, bldr_cr_fs_dep_t *const *deps, int trust) {
  for (uint32_t i = 0; i < count; ++i) {
    bldr_cr_fs_dep_t *d = deps[i];
    if (!d) continue;
    if (!d->pathname || !*d->pathname) {
      d->audit_mtime = 0;
      continue;
    }
    if (trust) {
      d->audit_mtime = d->mtime;
      continue;
    }
    view_xstat_t xs;
    ks_status_t st = mf_stat_view_get_xstat(d->pathname, &xs, 0, 0, 0, 0);
    if (st != KS_ST_OK) {
      imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_PREDEF_DEP, d->pathname,
                 tbs_strerror(st));
      return KS_ST_ERR;
    }
    int64_t size = int64_t(xs.fstat.size), mtime = xs.fstat.mtime.sec;
    bool traced = mf_utl_should_trace("bldr_cr", 2);
    if (uint64_t(size) != d->length) {
      imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_INCONSISTENT_DEP,
                 d->pathname);
      if (traced)
        imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_DEP_LENGTHS,
                   static_cast<unsigned long long>(size),
                   static_cast<unsigned long long>(d->length));
      return KS_ST_ERR;
    }
    if (mtime != d->mtime) {
      if (traced) {
        char now[64], then[64];
        long_time(mtime, now, sizeof now);
        long_time(d->mtime, then, sizeof then);
        imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_RECOMPUTING_CRC, now, then);
      }
      // The checksum of the file as it is now (kind 2 stands the new time for it).
      bldr_cr_fs_dep_t now = *d;
      now.mtime = mtime;
      uint32_t crc = 0;
      st = bldr_utl_get_crc(&now, &crc);
      if (st != KS_ST_OK) return st;
      if (crc != d->crc) {
        imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_INCONSISTENT_DEP,
                   d->pathname);
        if (traced)
          imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_DEP_CRCS,
                     static_cast<unsigned long>(crc), static_cast<unsigned long>(d->crc));
        return KS_ST_ERR;
      }
    }
    d->audit_mtime = mtime;
  }
  return KS_ST_OK;
}

ks_status_t bldr_cr_cleanup_audit_files(const char *pathname, uint32_t seq, const char *dir,
                                        const char *host, const char *pid) {
  PFM_ASSERT(pathname != nullptr && dir != nullptr && host != nullptr && pid != nullptr);
  live_audit_files().erase(pathname);
  // A file cleaned up is kept no more: it goes now, or stays for a person to read.
  if (is_kept(pathname)) forget_kept();
  if (leaving_files()) {
    imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_LEAVING_FILES, dir);
    imsg_print(IMSG_TRACE_CONT, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_SCRIPT_AUDIT_FILE,
               pathname);
    return KS_ST_OK;
  }
  if (truncate(pathname, 0) != 0) {
    // nothing to do: the unlink below reports what matters
  }
  errno = 0;
  if (unlink(pathname) != 0 && errno != ENOENT) {
    int e = errno;
    bldr_cr_note_auto_save_audit_files();
    imsg_print(IMSG_WARNING, "Unable to remove file \"%s\": %s\n", -1, pathname, imsg_strerror(e));
  }
  for (uint32_t n = seq; n-- > 0;) {
    char name[1024];
    char seqtext[16];
    snprintf(seqtext, sizeof seqtext, ".%03u", n);
    if (strutl_concat(name, sizeof name, {dir, "/bldr.audit.", host, ".", pid, seqtext}) !=
        KS_ST_OK)
      break;
    if (live_audit_files().count(name)) continue;  // an enclosing audit still records into it
    unlink(name);
  }
  errno = 0;
  return KS_ST_OK;
}

void bldr_cr_cleanup_audit(char *pathname) {
  if (!pathname) return;
  bldr_cr_cleanup_audit_files(pathname, 0, "", "", "");
  free(pathname);
}

ks_status_t bldr_cr_init_kept_audit(char *path_buf, size_t path_size, const char *initial_dir,
                                    uint32_t *seq, const char **dir, const char **host,
                                    char *pid_buf, size_t pid_size) {
  PFM_ASSERT(path_buf != nullptr && path_size > 0 && pid_buf != nullptr && pid_size > 1);
  const KeptFile &k = kept();
  off_t size = 0;
  if (k.fd >= 0 && !live_audit_files().count(k.path) && kept_is_ours(&size)) {
    const char *tmpdir = bldr_utl_get_audit_tmpdir(1, 1, nullptr);
    if (tmpdir && k.dir == tmpdir && k.path.size() < path_size && k.pid.size() < pid_size &&
        empty_kept(size)) {
      std::memcpy(path_buf, k.path.c_str(), k.path.size() + 1);
      std::memcpy(pid_buf, k.pid.c_str(), k.pid.size() + 1);
      *seq = k.seq;
      *dir = k.dir.c_str();
      *host = k.host.c_str();
      return audit_into(path_buf, initial_dir);
    }
    unlink(k.path.c_str());  // of no further use: the audits go elsewhere now
  }
  forget_kept();
  ks_status_t st = bldr_cr_init_audit(path_buf, path_size, initial_dir, seq, dir, host, pid_buf,
                                      pid_size);
  if (st == KS_ST_OK) keep_file(path_buf, *seq, *dir, *host, pid_buf);
  return st;
}

ks_status_t bldr_cr_end_kept_audit_files(const char *pathname, uint32_t seq, const char *dir,
                                         const char *host, const char *pid) {
  PFM_ASSERT(pathname != nullptr);
  KeptFile &k = kept();
  if (!is_kept(pathname) || leaving_files())
    return bldr_cr_cleanup_audit_files(pathname, seq, dir, host, pid);
  live_audit_files().erase(pathname);
  // Emptied now: what it holds is of no use any more, and a kept file holds no audit. (Emptied
  // through the descriptor: whatever the name holds by now is checked before the next audit.)
  if (k.owner != getpid()) {
    forget_kept();  // the file of the process this one was forked from
    return KS_ST_OK;
  }
  if (ftruncate(k.fd, 0) != 0) {
    forget_kept();
    return bldr_cr_cleanup_audit_files(pathname, seq, dir, host, pid);
  }
  return KS_ST_OK;
}
