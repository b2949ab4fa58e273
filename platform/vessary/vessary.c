/* The audit engine of the interposer: per-process audit state, raw event writing, the control
 * commands of the audit device and of the platform, the environment handed to children, and the
 * check of exec'd images.
 *
 * Nothing on the event path allocates, locks or uses stdio: events may be recorded in vfork
 * children and in signal handlers. The interposer's own I/O uses raw system calls, so it never
 * re-enters its own wrappers.
 */
#define _GNU_SOURCE
#include "vessary/vessary.h"

#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vessary/vessary_int.h"
#include "vessary/vessary_raw.h"

#define VS_PATH_MAX 4096

volatile int vs_fd = -1;

/* This process's id, taken at load and again in the child of every fork, so that an event costs
 * no getpid. 0 until known. */
static volatile pid_t self_pid;

static void refresh_pid(void) { self_pid = (pid_t)VS_SYS(SYS_getpid); }



/* The id to record with an event of op. Exec events ask the kernel: they happen in vfork
 * children too, which share the parent's memory and so its cached id. */
static uint64_t event_pid(int op) {
  pid_t p = self_pid;
  if (p > 0 && op != VESSARY_EV_EXEC && op != VESSARY_EV_UNSEEN) return (uint64_t)p;
  return (uint64_t)VS_SYS(SYS_getpid);
}

/* Whether s begins with prefix. */
static int starts(const char *s, const char *prefix) {
  while (*prefix)
    if (*s++ != *prefix++) return 0;
  return 1;
}

/* The view root ("<site>/view") when it lies in a system place itself, else empty: names under
 * it are never system places. */
static char view_root[VS_PATH_MAX];
static size_t view_root_len;

int vs_system_place(const char *path) {
  static const char *const places[] = {"usr/", "lib/", "lib64/", "lib32/", "bin/", "sbin/",
                                       "etc/", "proc/", "sys/", "dev/", "opt/", "run/"};
  if (!path || path[0] != '/') return 0;
  for (size_t i = 0; i < sizeof places / sizeof places[0]; i++)
    if (starts(path + 1, places[i])) {
      size_t n = view_root_len;
      return !(n && strncmp(path, view_root, n) == 0 && (path[n] == '/' || path[n] == 0));
    }
  return 0;
}

/* getenv without a call into libc: the start of every process reads the environment, and each
 * libc function's first call from here costs a symbol look-up. */
static const char *env_get(const char *name) {
  extern char **environ;
  for (char **e = environ; e && *e; e++) {
    const char *a = *e, *b = name;
    while (*b && *a == *b) a++, b++;
    if (!*b && *a == '=') return a + 1;
  }
  return NULL;
}

/* Takes the view root of the site (as the platform finds it: $VESSARY_HOME, else
 * $HOME/.vessary, with "/view") when it lies in a system place. */
static void find_view_root(void) {
  char buf[VS_PATH_MAX];
  size_t n = 0;
  const char *home = env_get("VESSARY_HOME"), *tail = "/view";
  if (!home || !*home) home = env_get("HOME"), tail = "/.vessary/view";
  view_root_len = 0;
  if (!home || !*home) return;
  if (home[0] != '/') {
    long k = VS_SYS(SYS_getcwd, buf, sizeof buf);
    if (k <= 0) return;
    n = strlen(buf);
    buf[n++] = '/';
  }
  size_t h = strlen(home), t = strlen(tail);
  if (n + h + t + 1 > sizeof buf) return;
  memcpy(buf + n, home, h);
  n += h;
  while (n > 1 && buf[n - 1] == '/') n--;
  memcpy(buf + n, tail, t + 1);
  n += t;
  view_root_len = 0; /* judged as a plain name first */
  if (!vs_system_place(buf)) return;
  memcpy(view_root, buf, n + 1);
  view_root_len = n;
}

/* Length of an audit's identifier: hexadecimal digits of 16 random bytes. */
#define VS_ID_LEN VESSARY_ID_LEN

/* The audit state of this process; copied to children at fork, through the environment at exec. */
static struct {
  char path[VS_PATH_MAX]; /* audit file while auditing */
  char id[VS_ID_LEN + 1]; /* identifier of the audit's raw event file */
  int owner;              /* this process began the raw event file: its stop ends the audit */
  uint64_t flags;
  int auditing;
  int bh_set;
  uint32_t bh_session, bh_target;
  int64_t ref_sec, ref_usec;
  int ref_valid;
} st;

static char self_path[VS_PATH_MAX]; /* this library, for LD_PRELOAD of children */

/* A child made by fork records into its parent's audit, but does not end it. */
void vs_forked(void) {
  refresh_pid();
  st.owner = 0;
}

/* ---- small helpers without allocation ---- */

static int sys_open(const char *path, int flags, int mode) {
  return (int)VS_SYS(SYS_openat, AT_FDCWD, path, flags, mode);
}

static void sys_close(int fd) { VS_SYS(SYS_close, fd); }

static int sys_stat(int dirfd, const char *path, struct stat *buf, int flags) {
  return (int)VS_SYS(SYS_newfstatat, dirfd, path, buf, flags);
}

static size_t put_u64(char *p, uint64_t v, int base) {
  char tmp[24];
  size_t n = 0;
  do {
    unsigned d = (unsigned)(v % (unsigned)base);
    tmp[n++] = (char)(d < 10 ? '0' + d : 'a' + d - 10);
    v /= (unsigned)base;
  } while (v);
  for (size_t i = 0; i < n; i++) p[i] = tmp[n - 1 - i];
  return n;
}

static size_t put_s64(char *p, int64_t v) {
  if (v < 0) {
    p[0] = '-';
    return 1 + put_u64(p + 1, (uint64_t)(-(v + 1)) + 1, 10);
  }
  return put_u64(p, (uint64_t)v, 10);
}

static size_t put_str(char *p, const char *s) {
  size_t n = strlen(s);
  memcpy(p, s, n);
  return n;
}

static int64_t parse_s64(const char **pp) {
  const char *p = *pp;
  int neg = 0;
  int64_t v = 0;
  if (*p == '-') neg = 1, p++;
  while (*p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0');
  *pp = p;
  return neg ? -v : v;
}

/* The directory against which a relative name resolves, into buf; its length, 0 on failure. */
static size_t base_dir(int dirfd, char *buf, size_t size) {
  if (dirfd == VS_NORESOLVE) return 0;
  if (dirfd == AT_FDCWD) {
    long n = VS_SYS(SYS_getcwd, buf, size);
    if (n <= 0) return 0;
    return strlen(buf);
  }
  char link[40];
  size_t k = put_str(link, "/proc/self/fd/");
  k += put_u64(link + k, (uint64_t)dirfd, 10);
  link[k] = 0;
  long n = VS_SYS(SYS_readlinkat, AT_FDCWD, link, buf, size - 1);
  if (n <= 0) return 0;
  buf[n] = 0;
  return (size_t)n;
}

/* ---- events ---- */

static size_t put_ident(char *p, const struct stat *s) {
  if (!s) return put_str(p, "-");
  size_t n = put_u64(p, (uint64_t)s->st_dev, 10);
  p[n++] = ':';
  n += put_u64(p + n, (uint64_t)s->st_ino, 10);
  p[n++] = ':';
  n += put_u64(p + n, (uint64_t)s->st_mode, 10);
  p[n++] = ':';
  n += put_u64(p + n, (uint64_t)s->st_size, 10);
  p[n++] = ':';
  n += put_s64(p + n, (int64_t)s->st_mtim.tv_sec);
  p[n++] = ':';
  n += put_u64(p + n, (uint64_t)s->st_mtim.tv_nsec, 10);
  return n;
}

/* Fills up to three iovecs naming path (base, "/", path); returns the count and its length. */
static int name_iov(int dirfd, const char *path, char *base, struct iovec *iov, size_t *len) {
  *len = 0;
  if (!path) return 0;
  int n = 0;
  if (path[0] != '/') {
    size_t b = base_dir(dirfd, base, VS_PATH_MAX);
    if (b) {
      iov[n].iov_base = base;
      iov[n++].iov_len = b;
      *len += b;
      if (base[b - 1] != '/') {
        iov[n].iov_base = (void *)"/";
        iov[n++].iov_len = 1;
        *len += 1;
      }
    }
  }
  size_t p = strlen(path);
  iov[n].iov_base = (void *)path;
  iov[n++].iov_len = p;
  *len += p;
  return n;
}

/* Whether an event names only system places, which the conversion drops: such an event is not
 * written at all. Events without a name (version, markers) and reports of unseen images always
 * are; a relative name is not judged here. */
static int only_system_places(int op, const char *path, const char *path2) {
  if (op == VESSARY_EV_UNSEEN || !vs_system_place(path)) return 0;
  if (op == VESSARY_EV_RENAME || op == VESSARY_EV_LINK) return vs_system_place(path2);
  return 1;
}

void vs_event(int op, uint64_t arg, const struct stat *ident, int dirfd, const char *path,
              int dirfd2, const char *path2) {
  int fd = vs_fd;
  if (fd < 0 || only_system_places(op, path, path2)) return;
  int saved = errno;
  char base1[VS_PATH_MAX], base2[VS_PATH_MAX], head[256];
  struct iovec iov[7];
  size_t len1, len2;
  int n = 1;
  n += name_iov(dirfd, path, base1, iov + n, &len1);
  n += name_iov(dirfd2, path2, base2, iov + n, &len2);
  size_t h = 0;
  head[h++] = (char)op;
  head[h++] = ' ';
  h += put_u64(head + h, event_pid(op), 10);
  head[h++] = ' ';
  h += put_u64(head + h, arg, 16);
  head[h++] = ' ';
  h += put_ident(head + h, ident);
  head[h++] = ' ';
  h += put_u64(head + h, len1, 10);
  head[h++] = ' ';
  h += put_u64(head + h, len2, 10);
  head[h++] = '\n';
  iov[0].iov_base = head;
  iov[0].iov_len = h;
  /* A plain write of one buffer costs the kernel less than a gathered one; records too long for
   * the buffer are gathered. */
  char rec[1024];
  size_t total = 0;
  for (int i = 0; i < n; i++) total += iov[i].iov_len;
  if (total <= sizeof rec) {
    char *p = rec;
    for (int i = 0; i < n; i++) {
      memcpy(p, iov[i].iov_base, iov[i].iov_len);
      p += iov[i].iov_len;
    }
    VS_SYS(SYS_write, fd, rec, total);
  } else {
    VS_SYS(SYS_writev, fd, iov, n);
  }
  errno = saved;
}

void vs_event_stat(int op, uint64_t arg, int follow, int dirfd, const char *path, int dirfd2,
                   const char *path2) {
  if (vs_fd < 0) return;
  int saved = errno;
  struct stat s;
  int ok = !vs_system_place(path) &&
           sys_stat(dirfd, path, &s, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
  vs_event(op, arg, ok ? &s : NULL, dirfd, path, dirfd2, path2);
  errno = saved;
}

void vs_event_fd(int op, uint64_t arg, int fd) {
  if (vs_fd < 0 || fd < 0) return;
  int saved = errno;
  char name[VS_PATH_MAX];
  size_t n = base_dir(fd, name, sizeof name);
  static const char gone[] = " (deleted)";
  size_t g = sizeof gone - 1;
  struct stat s;
  if (n && name[0] == '/' && !(n >= g && memcmp(name + n - g, gone, g) == 0) &&
      !vs_system_place(name) && VS_SYS(SYS_fstat, fd, &s) == 0)
    vs_event(op, arg, &s, VS_NORESOLVE, name, AT_FDCWD, NULL);
  errno = saved;
}

const struct stat *vs_fd_ident(int fd, struct stat *buf) {
  int saved = errno;
  int ok = VS_SYS(SYS_fstat, fd, buf) == 0;
  errno = saved;
  return ok ? buf : NULL;
}

/* ---- the audit descriptor ---- */

/* Moves fd to a high number out of the way of programs; returns the new descriptor. */
static int move_high(int fd) {
  struct rlimit rl;
  long target = 1000;
  if (VS_SYS(SYS_prlimit64, 0, RLIMIT_NOFILE, NULL, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
    if ((long)rl.rlim_cur <= target + 24) target = (long)rl.rlim_cur / 2;
  }
  int nfd = (int)VS_SYS(SYS_fcntl, fd, F_DUPFD_CLOEXEC, target);
  if (nfd < 0) return fd;
  sys_close(fd);
  return nfd;
}

void vs_move_fd_from(int fd) {
  if (fd < 0 || fd != vs_fd) return;
  int nfd = (int)VS_SYS(SYS_fcntl, fd, F_DUPFD_CLOEXEC, fd + 1);
  if (nfd < 0) nfd = (int)VS_SYS(SYS_fcntl, fd, F_DUPFD_CLOEXEC, 3);
  vs_fd = nfd;
  sys_close(fd);
}

/* The raw event file name of the audit file path, into raw; false when it does not fit. */
static int raw_name(const char *path, char *raw, size_t size) {
  size_t n = strlen(path);
  if (n + 5 > size) return 0;
  memcpy(raw, path, n);
  memcpy(raw + n, ".raw", 5);
  return 1;
}

/* Reads the identifier of the raw event file open on fd (the name of its version event) into
 * id; false when it has none. */
static int raw_id(int fd, char id[VS_ID_LEN + 1]) {
  char b[128];
  long n = VS_SYS(SYS_pread64, fd, b, sizeof b, 0);
  if (n <= 2 || b[0] != VESSARY_EV_VERSION) return 0;
  long nl = 0;
  while (nl < n && b[nl] != '\n') nl++;
  if (nl + 1 + VS_ID_LEN > n) return 0;
  memcpy(id, b + nl + 1, VS_ID_LEN);
  id[VS_ID_LEN] = 0;
  return 1;
}

/* Takes the shared lock that tells the converter a process still records into the raw events
 * (it knows the audit is over when it can take the lock exclusively), and moves fd up. */
static int hold_raw(int fd) {
  VS_SYS(SYS_flock, fd, LOCK_SH);
  return move_high(fd);
}

/* Joins the raw event file of the audit file path that an earlier process of the audit began:
 * only when its identifier is id (when given), so that a process that outlived its audit never
 * records into a later audit of the same name. The descriptor, or -1. */
static int join_raw(const char *path, const char *id, char out_id[VS_ID_LEN + 1]) {
  char raw[VS_PATH_MAX + 8];
  if (!raw_name(path, raw, sizeof raw)) return -1;
  int fd = sys_open(raw, O_RDWR | O_APPEND | O_CLOEXEC, 0);
  if (fd < 0) return -1;
  char found[VS_ID_LEN + 1] = "";
  int has = raw_id(fd, found);
  if (id && *id && (!has || strcmp(found, id) != 0)) {
    sys_close(fd);
    return -1;
  }
  VS_SYS(SYS_flock, fd, LOCK_SH);
  /* Under the lock the file cannot be renewed for a later audit; it may have been meanwhile. */
  if (id && *id && (!raw_id(fd, found) || strcmp(found, id) != 0)) {
    sys_close(fd);
    return -1;
  }
  memcpy(out_id, found, VS_ID_LEN + 1);
  return move_high(fd);
}

/* Renews the raw event file open on fd at raw in place for a new audit, empty, when it is what
 * the name holds (no link), a regular file with one name, of this user. Whether it did. */
static int renew_raw(int fd, const char *raw) {
  struct stat a, b;
  if (VS_SYS(SYS_fstat, fd, &a) != 0 || sys_stat(AT_FDCWD, raw, &b, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(b.st_mode) || a.st_dev != b.st_dev || a.st_ino != b.st_ino || b.st_nlink != 1 ||
      b.st_uid != (uid_t)VS_SYS(SYS_geteuid))
    return 0;
  return a.st_size == 0 || VS_SYS(SYS_ftruncate, fd, 0) == 0;
}

/* A new identifier for a raw event file. */
static void new_id(char id[VS_ID_LEN + 1]) {
  unsigned char b[VS_ID_LEN / 2];
  if (VS_SYS(SYS_getrandom, b, sizeof b, 0) != (long)sizeof b) {
    /* no random source: the process, the time and an address make it unique enough */
    struct timespec t;
    VS_SYS(SYS_clock_gettime, CLOCK_REALTIME, &t);
    uint64_t v[2] = {(uint64_t)t.tv_sec * 1000000007ULL ^ (uint64_t)t.tv_nsec,
                     ((uint64_t)VS_SYS(SYS_getpid) << 32) ^ (uint64_t)(uintptr_t)&t};
    memcpy(b, v, sizeof b);
  }
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < sizeof b; i++) id[2 * i] = hex[b[i] >> 4], id[2 * i + 1] = hex[b[i] & 15];
  id[VS_ID_LEN] = 0;
}

/* Begins the raw event file open on fd (empty, made or emptied by this process) for a new
 * audit: a new identifier and the audit file's length base in its version event. The
 * descriptor, held. */
static int begin_raw(int fd, uint64_t base, char id[VS_ID_LEN + 1], int *owner) {
  new_id(id);
  char num[24];
  size_t k = put_u64(num, base, 10);
  num[k] = 0;
  vs_fd = fd; /* the version event goes to this file alone */
  vs_event(VESSARY_EV_VERSION, VESSARY_RAW_VERSION, NULL, VS_NORESOLVE, id, VS_NORESOLVE, num);
  vs_fd = -1;
  *owner = 1;
  return hold_raw(fd);
}

/* Opens the raw event file for an audit that this process starts into the audit file path,
 * whose length is now base. A raw event file that processes of a running audit of the same
 * name still record into is joined; one that nobody holds any more is what an earlier audit
 * left (emptied at its end for the next audit into the same file, or its last process killed,
 * or its events kept): it is renewed in place (emptied, with a new identifier) when it is this
 * user's own plain file, else replaced, and the converter's state of it goes, so that nothing
 * of it reaches this audit. *owner tells whether this process began the file. The descriptor,
 * or -1. */
static int start_raw(const char *path, uint64_t base, char id[VS_ID_LEN + 1], int *owner) {
  char raw[VS_PATH_MAX + 8], cvt[VS_PATH_MAX + 8];
  if (!raw_name(path, raw, sizeof raw)) return -1;
  *owner = 0;
  for (int attempt = 0; attempt < 3; attempt++) {
    int fd = sys_open(raw, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return begin_raw(fd, base, id, owner);
    fd = sys_open(raw, O_RDWR | O_APPEND | O_CLOEXEC, 0);
    if (fd < 0) continue; /* removed meanwhile */
    if (VS_SYS(SYS_flock, fd, LOCK_EX | LOCK_NB) != 0) {
      /* held: a running audit of this name */
      if (!raw_id(fd, id)) id[0] = 0;
      return hold_raw(fd);
    }
    /* left over */
    size_t n = strlen(path);
    memcpy(cvt, path, n);
    memcpy(cvt + n, ".cvt", 5);
    VS_SYS(SYS_unlinkat, AT_FDCWD, cvt, 0);
    /* Renewed under the exclusive lock: a process that opened the file to join the earlier
     * audit finds the new identifier once it holds its lock, and leaves. */
    if (renew_raw(fd, raw)) return begin_raw(fd, base, id, owner);
    VS_SYS(SYS_unlinkat, AT_FDCWD, raw, 0);
    sys_close(fd);
  }
  return -1;
}

/* ---- environment ---- */

/* Values of LD_PRELOAD and ASAN_OPTIONS before this process's audit changed them. */
struct saved_var {
  int changed, had;
  char value[VS_PATH_MAX];
};
static struct saved_var saved_preload, saved_asan;

static int set_with_save(const char *name, const char *value, struct saved_var *sv) {
  const char *old = getenv(name);
  if (!sv->changed) {
    if (old && strlen(old) >= sizeof sv->value) return -1;
    sv->had = old != NULL;
    if (old) memcpy(sv->value, old, strlen(old) + 1);
    sv->changed = 1;
  }
  return setenv(name, value, 1);
}

static void restore_var(const char *name, struct saved_var *sv) {
  if (!sv->changed) return;
  if (sv->had)
    setenv(name, sv->value, 1);
  else
    unsetenv(name);
  sv->changed = 0;
}

/* Children of an auditing process load the interposer; programs built with AddressSanitizer
 * then need its link-order check off. */
static void publish_preload(void) {
  char buf[VS_PATH_MAX * 2];
  if (!st.auditing) {
    restore_var("LD_PRELOAD", &saved_preload);
    restore_var("ASAN_OPTIONS", &saved_asan);
    return;
  }
  const char *pre = getenv("LD_PRELOAD");
  if (self_path[0] && !(pre && strstr(pre, self_path))) {
    size_t a = strlen(self_path), b = pre ? strlen(pre) : 0;
    if (a + b + 2 < sizeof buf) {
      memcpy(buf, self_path, a);
      if (b) buf[a] = ':', memcpy(buf + a + 1, pre, b + 1);
      else buf[a] = 0;
      set_with_save("LD_PRELOAD", buf, &saved_preload);
    }
  }
  const char *asan = getenv("ASAN_OPTIONS");
  if (!(asan && strstr(asan, "verify_asan_link_order"))) {
    size_t b = asan ? strlen(asan) : 0;
    if (b + 32 < sizeof buf) {
      memcpy(buf, "verify_asan_link_order=0", 25);
      if (b) buf[24] = ':', memcpy(buf + 25, asan, b + 1);
      set_with_save("ASAN_OPTIONS", buf, &saved_asan);
    }
  }
}

static void publish_env(void) {
  char buf[64];
  publish_preload();
  if (st.auditing) {
    setenv(VESSARY_ENV_FILE, st.path, 1);
    size_t n = put_u64(buf, st.flags, 16);
    buf[n] = 0;
    setenv(VESSARY_ENV_FLAGS, buf, 1);
    if (st.id[0])
      setenv(VESSARY_ENV_ID, st.id, 1);
    else
      unsetenv(VESSARY_ENV_ID);
  } else {
    unsetenv(VESSARY_ENV_FILE);
    unsetenv(VESSARY_ENV_FLAGS);
    unsetenv(VESSARY_ENV_ID);
  }
  if (st.bh_set) {
    size_t n = put_u64(buf, st.bh_session, 10);
    buf[n++] = '.';
    n += put_u64(buf + n, st.bh_target, 10);
    if (st.ref_valid) {
      buf[n++] = ':';
      n += put_s64(buf + n, st.ref_sec);
      buf[n++] = '.';
      n += put_s64(buf + n, st.ref_usec);
    }
    buf[n] = 0;
    setenv(VESSARY_ENV_BHANDLE, buf, 1);
  } else {
    unsetenv(VESSARY_ENV_BHANDLE);
  }
}

size_t vs_env_count(char *const envp[]) {
  size_t n = 0;
  if (envp)
    while (envp[n]) n++;
  return n;
}

static int env_is(const char *entry, const char *name) {
  size_t n = strlen(name);
  return strncmp(entry, name, n) == 0 && entry[n] == '=';
}

/* Appends "name=value" to buf at *used; returns the entry or null when it does not fit. */
static char *env_put(char *buf, size_t size, size_t *used, const char *name, const char *v1,
                     const char *v2) {
  size_t a = strlen(name), b = strlen(v1), c = v2 ? strlen(v2) : 0;
  if (*used + a + b + c + 3 > size) return NULL;
  char *e = buf + *used;
  memcpy(e, name, a);
  e[a] = '=';
  memcpy(e + a + 1, v1, b);
  size_t k = a + 1 + b;
  if (v2) {
    e[k++] = ':';
    memcpy(e + k, v2, c);
    k += c;
  }
  e[k] = 0;
  *used += k + 1;
  return e;
}

char **vs_fix_env(char *const envp[], char **out, char *buf, size_t bufsize) {
  const char *preload = NULL;
  int stale = 0;
  size_t count = vs_env_count(envp);
  for (size_t i = 0; i < count; i++) {
    if (env_is(envp[i], "LD_PRELOAD")) preload = envp[i] + 11;
    if (env_is(envp[i], VESSARY_ENV_FILE) || env_is(envp[i], VESSARY_ENV_FLAGS) ||
        env_is(envp[i], VESSARY_ENV_BHANDLE) || env_is(envp[i], VESSARY_ENV_ID))
      stale = 1;
  }
  if (!st.auditing && !st.bh_set && !stale) return (char **)envp;
  size_t n = 0, used = 0;
  for (size_t i = 0; i < count; i++) {
    if (env_is(envp[i], VESSARY_ENV_FILE) || env_is(envp[i], VESSARY_ENV_FLAGS) ||
        env_is(envp[i], VESSARY_ENV_BHANDLE) || env_is(envp[i], VESSARY_ENV_ID))
      continue;
    if (st.auditing && self_path[0] && env_is(envp[i], "LD_PRELOAD")) continue;
    out[n++] = envp[i];
  }
  char num[64];
  char *e;
  if (st.auditing) {
    if (self_path[0]) {
      if (preload && strstr(preload, self_path))
        e = env_put(buf, bufsize, &used, "LD_PRELOAD", preload, NULL);
      else
        e = env_put(buf, bufsize, &used, "LD_PRELOAD", self_path,
                    preload && *preload ? preload : NULL);
      if (e) out[n++] = e;
    }
    if ((e = env_put(buf, bufsize, &used, VESSARY_ENV_FILE, st.path, NULL))) out[n++] = e;
    size_t k = put_u64(num, st.flags, 16);
    num[k] = 0;
    if ((e = env_put(buf, bufsize, &used, VESSARY_ENV_FLAGS, num, NULL))) out[n++] = e;
    if (st.id[0] && (e = env_put(buf, bufsize, &used, VESSARY_ENV_ID, st.id, NULL))) out[n++] = e;
  }
  if (st.bh_set) {
    size_t k = put_u64(num, st.bh_session, 10);
    num[k++] = '.';
    k += put_u64(num + k, st.bh_target, 10);
    num[k] = 0;
    char rt[48];
    size_t r = 0;
    if (st.ref_valid) {
      r = put_s64(rt, st.ref_sec);
      rt[r++] = '.';
      r += put_s64(rt + r, st.ref_usec);
    }
    rt[r] = 0;
    if ((e = env_put(buf, bufsize, &used, VESSARY_ENV_BHANDLE, num, st.ref_valid ? rt : NULL)))
      out[n++] = e;
  }
  out[n] = NULL;
  return out;
}

/* ---- exec'd images ---- */

const char *vs_search_path(const char *file, char *buf, size_t bufsize) {
  if (!file || strchr(file, '/')) return file;
  const char *path = getenv("PATH");
  if (!path) path = "/bin:/usr/bin";
  size_t fl = strlen(file);
  while (*path) {
    const char *end = strchr(path, ':');
    size_t dl = end ? (size_t)(end - path) : strlen(path);
    if (dl + fl + 2 <= bufsize) {
      size_t k = 0;
      if (dl == 0)
        buf[k++] = '.';
      else
        memcpy(buf, path, dl), k = dl;
      buf[k++] = '/';
      memcpy(buf + k, file, fl + 1);
      if (VS_SYS(SYS_faccessat, AT_FDCWD, buf, X_OK, 0) == 0) return buf;
    }
    if (!end) break;
    path = end + 1;
  }
  return file;
}

static void report_unseen(const char *path, int reason) {
  static const char *const why[] = {"", "statically linked", "32-bit", "setuid or setgid"};
  struct iovec iov[5];
  iov[0].iov_base = (void *)"vessary: the audit cannot see inside \"";
  iov[0].iov_len = strlen(iov[0].iov_base);
  iov[1].iov_base = (void *)path;
  iov[1].iov_len = strlen(path);
  iov[2].iov_base = (void *)"\" (";
  iov[2].iov_len = 3;
  iov[3].iov_base = (void *)why[reason];
  iov[3].iov_len = strlen(why[reason]);
  iov[4].iov_base = (void *)")\n";
  iov[4].iov_len = 2;
  VS_SYS(SYS_writev, 2, iov, 5);
  vs_event(VESSARY_EV_UNSEEN, (uint64_t)reason, NULL, AT_FDCWD, path, AT_FDCWD, NULL);
}

/* Returns the reason why image at path cannot be entered, or 0. depth limits "#!" chains. When
 * id is not null it receives the status of the image, and *known whether it could be taken. */
static int image_reason(const char *path, int depth, struct stat *id, int *known) {
  int fd = sys_open(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return 0;
  struct stat s;
  unsigned char b[1024];
  int reason = 0;
  int have = VS_SYS(SYS_fstat, fd, &s) == 0;
  if (have && id) *id = s, *known = 1;
  long n = have ? VS_SYS(SYS_pread64, fd, b, sizeof b, 0) : -1;
  if (n > 0 && (s.st_mode & (S_ISUID | S_ISGID))) {
    reason = VESSARY_UNSEEN_SETUID;
  } else if (n > 2 && b[0] == '#' && b[1] == '!' && depth < 2) {
    char interp[VS_PATH_MAX];
    long i = 2, k = 0;
    while (i < n && (b[i] == ' ' || b[i] == '\t')) i++;
    while (i < n && b[i] != ' ' && b[i] != '\t' && b[i] != '\n' && k < (long)sizeof interp - 1)
      interp[k++] = (char)b[i++];
    interp[k] = 0;
    if (k) reason = image_reason(interp, depth + 1, NULL, NULL);
  } else if (n >= (long)sizeof(Elf64_Ehdr) && memcmp(b, ELFMAG, SELFMAG) == 0) {
    if (b[EI_CLASS] == ELFCLASS32) {
      reason = VESSARY_UNSEEN_32BIT;
    } else if (b[EI_CLASS] == ELFCLASS64) {
      Elf64_Ehdr eh;
      memcpy(&eh, b, sizeof eh);
      int interp = 0;
      if (eh.e_type == ET_EXEC || eh.e_type == ET_DYN) {
        for (unsigned i = 0; i < eh.e_phnum && i < 256; i++) {
          Elf64_Phdr ph;
          uint64_t at = eh.e_phoff + (uint64_t)i * eh.e_phentsize;
          /* The program headers nearly always follow the ELF header within the bytes read. */
          if (at <= (uint64_t)n && (uint64_t)n - at >= sizeof ph)
            memcpy(&ph, b + at, sizeof ph);
          else if (VS_SYS(SYS_pread64, fd, &ph, sizeof ph, (long)at) != (long)sizeof ph)
            break;
          if (ph.p_type == PT_INTERP) interp = 1;
        }
        /* A shared library run directly (no interpreter, type DYN) is rare; only a program
         * without an interpreter is reported. */
        if (!interp) reason = VESSARY_UNSEEN_STATIC;
      }
    }
  }
  sys_close(fd);
  return reason;
}

void vs_note_exec(const char *path) {
  if (vs_fd < 0 || !path) return;
  int saved = errno;
  struct stat s;
  int known = 0;
  int reason = image_reason(path, 0, &s, &known);
  if (reason) report_unseen(path, reason);
  /* An image that cannot be read may still be executable: take its status by name. */
  if (!known && !vs_system_place(path)) known = sys_stat(AT_FDCWD, path, &s, 0) == 0;
  vs_event(VESSARY_EV_EXEC, 0, known ? &s : NULL, AT_FDCWD, path, AT_FDCWD, NULL);
  errno = saved;
}

/* ---- the converter ---- */

/* The converter program beside this library, into buf; false when there is none. */
static int find_converter(char *buf, size_t size) {
  char *slash = strrchr(self_path, '/');
  /* The programs lie in ../bin beside the libraries, or ../../bin under a multiarch lib/. */
  static const char *const rel[] = {"/../bin/vessary_audit_cvt", "/../../bin/vessary_audit_cvt"};
  for (int i = 0; i < 2 && slash; i++) {
    size_t d = (size_t)(slash - self_path), n = strlen(rel[i]);
    if (d + n + 1 > size) break;
    memcpy(buf, self_path, d);
    memcpy(buf + d, rel[i], n + 1);
    if (VS_SYS(SYS_faccessat, AT_FDCWD, buf, X_OK, 0) == 0) return 1;
  }
  return 0;
}

/* Runs the converter program on the audit file: final: the process's audit ended; ends: the
 * audit itself ended (this process began it). */
static uint32_t run_converter(const char *path, int final, int ends) {
  char cvt_path[VS_PATH_MAX];
  const char *prog = getenv(VESSARY_ENV_CVT);
  if (!prog || !*prog) {
    if (!find_converter(cvt_path, sizeof cvt_path)) return 1001;
    prog = cvt_path;
  }
  char *argv[4];
  int a = 0;
  argv[a++] = (char *)prog;
  if (!final) argv[a++] = (char *)"-sync";
  else if (ends) argv[a++] = (char *)"-end";
  argv[a++] = (char *)path;
  argv[a] = NULL;
  /* The converter runs without the interposer and outside every audit. */
  extern char **environ;
  size_t count = vs_env_count(environ);
  char *envv[count + 2];
  char pre[VS_PATH_MAX * 2];
  size_t n = 0;
  for (size_t i = 0; i < count; i++) {
    if (env_is(environ[i], VESSARY_ENV_FILE) || env_is(environ[i], VESSARY_ENV_FLAGS) ||
        env_is(environ[i], VESSARY_ENV_ID))
      continue;
    if (env_is(environ[i], "LD_PRELOAD")) {
      /* keep the other preloaded libraries */
      const char *p = environ[i] + 11;
      size_t k = put_str(pre, "LD_PRELOAD=");
      while (*p) {
        const char *end = p + strcspn(p, ": ");
        size_t len = (size_t)(end - p);
        int mine = len && strstr(p, "libvosselvessary") && (size_t)(strstr(p, "libvosselvessary") - p) < len;
        if (len && !mine && k + len + 2 < sizeof pre) {
          if (k > 11) pre[k++] = ':';
          memcpy(pre + k, p, len);
          k += len;
        }
        p = *end ? end + 1 : end;
      }
      pre[k] = 0;
      if (k > 11) envv[n++] = pre;
      continue;
    }
    envv[n++] = environ[i];
  }
  envv[n] = NULL;
  pid_t pid;
  typedef int (*spawn_t)(pid_t *, const char *, const posix_spawn_file_actions_t *,
                         const posix_spawnattr_t *, char *const[], char *const[]);
  spawn_t real_spawn = (spawn_t)vs_real("posix_spawn");
  if (!real_spawn || real_spawn(&pid, prog, NULL, NULL, argv, envv) != 0) return 1001;
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno == EINTR) continue;
    return r < 0 && errno == ECHILD ? 0 : 1001; /* reaped by the program's own handler */
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1001;
}

/* ---- commands ---- */

static uint32_t audit_start(const char *path) {
  size_t len = path ? strlen(path) : 0;
  if (!len || len >= VS_PATH_MAX - 8) return 1001;
  if (st.auditing) return strcmp(path, st.path) == 0 ? 0 : 1001;
  int f = sys_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (f < 0) return 1001;
  struct stat s;
  int sized = VS_SYS(SYS_fstat, f, &s) == 0;
  sys_close(f);
  if (!sized) return 1001;
  find_view_root();
  int owner;
  int fd = start_raw(path, (uint64_t)s.st_size, st.id, &owner);
  if (fd < 0) return 1001;
  memcpy(st.path, path, len + 1);
  st.owner = owner;
  st.auditing = 1;
  vs_fd = fd;
  publish_env();
  return 0;
}

/* Ends this process's audit; *ends tells whether the audit itself ended (this process began
 * it). */
static uint32_t audit_stop(int *ends) {
  if (!st.auditing) return 1001;
  int fd = vs_fd;
  vs_fd = -1;
  st.auditing = 0;
  *ends = st.owner;
  st.owner = 0;
  sys_close(fd);
  publish_env();
  return 0;
}

static const char *desc_text(const struct vessary_pn_desc *d, char *buf, size_t size) {
  if (!d->addr || d->len >= size) return NULL;
  memcpy(buf, (const void *)(uintptr_t)d->addr, d->len);
  buf[d->len] = 0;
  return buf;
}

uint32_t vessary_ctl(uint64_t command, void *data, uint64_t len) {
  switch (command) {
    case VESSARY_CMD_GET_NAME: {
      if (!data || len < sizeof(struct vessary_pn_desc)) return 1001;
      struct vessary_pn_desc *d = data;
      if (!d->addr || !d->size) return 1001;
      const char *name = st.auditing ? st.path : "";
      size_t n = strlen(name);
      if (n + 1 > d->size) return 1072;
      memcpy((void *)(uintptr_t)d->addr, name, n + 1);
      return 0;
    }
    case VESSARY_CMD_START: {
      if (!data || len < sizeof(struct vessary_pn_desc)) return 1001;
      char path[VS_PATH_MAX];
      const char *p = desc_text(data, path, sizeof path);
      return p ? audit_start(p) : 1001;
    }
    case VESSARY_CMD_GET_FLAGS:
      if (!data || len < 8) return 1001;
      *(uint64_t *)data = st.flags | (st.auditing ? VESSARY_FLAG_AUDITING : 0);
      return 0;
    case VESSARY_CMD_SET_FLAGS:
      if (!data || len < 8) return 1001;
      st.flags = *(const uint64_t *)data & ~VESSARY_FLAG_AUDITING;
      publish_env();
      return 0;
    case VESSARY_CMD_STOP: {
      int ends;
      uint32_t r = audit_stop(&ends);
      return r ? r : run_converter(st.path, 1, ends);
    }
    case VESSARY_CMD_STOP_NOCVT: {
      int ends;
      uint32_t r = audit_stop(&ends);
      if (r == 0 && data && len >= 8) *(uint64_t *)data = (uint64_t)ends;
      return r;
    }
    case VESSARY_CMD_SYNC:
      if (!st.auditing) return 1001;
      return run_converter(st.path, 0, 0);
    case VESSARY_CMD_SYNC_NOCVT:
      return st.auditing ? 0 : 1001;
    case VESSARY_CMD_GET_BHANDLE: {
      if (!data || len < 32) return 1001;
      unsigned char *b = data;
      memset(b, 0, 32);
      uint32_t h[2] = {st.bh_set ? st.bh_session : 0, st.bh_set ? st.bh_target : 0};
      memcpy(b, h, 8);
      return 0;
    }
    case VESSARY_CMD_SET_BHANDLE: {
      if (!data || len < 32) return 1001;
      const unsigned char *b = data;
      uint32_t h[2];
      int64_t t[2];
      uint64_t fl;
      memcpy(h, b, 8);
      memcpy(t, b + 8, 16);
      memcpy(&fl, b + 24, 8);
      st.bh_set = h[0] != 0 || h[1] != 0;
      st.bh_session = h[0];
      st.bh_target = h[1];
      st.ref_valid = (fl & 2) != 0;
      st.ref_sec = st.ref_valid ? t[0] : 0;
      st.ref_usec = st.ref_valid ? t[1] : 0;
      publish_env();
      return 0;
    }
    case VESSARY_CMD_SET_VIEW: {
      /* The set view is the platform's environment variable, inherited by children. */
      if (!data || len < sizeof(struct vessary_pn_desc)) return 1001;
      const struct vessary_pn_desc *d = data;
      char tag[256];
      if (!d->addr || d->len == 0) return unsetenv(VESSARY_ENV_VIEW) == 0 ? 0 : 1001;
      if (!desc_text(d, tag, sizeof tag)) return 1001;
      return setenv(VESSARY_ENV_VIEW, tag, 1) == 0 ? 0 : 1001;
    }
    case VESSARY_CMD_MARKER:
      if (!data || len < 8) return 1001;
      if (!st.auditing || *(const uint64_t *)data > VESSARY_MARKER_MAX) return 1001;
      vs_event(VESSARY_EV_MARKER, *(const uint64_t *)data, NULL, AT_FDCWD, NULL, AT_FDCWD, NULL);
      return 0;
    case VESSARY_CMD_NOTE: {
      if (!data || len < sizeof(struct vessary_note)) return 1001;
      const struct vessary_note *nt = data;
      if (!st.auditing) return 0;
      if (!nt->path) return 1001;
      vs_event_stat((int)nt->op, nt->arg, nt->op != VESSARY_EV_STAT || nt->arg == 0, AT_FDCWD,
                    nt->path, AT_FDCWD, NULL);
      return 0;
    }
    default:
      return 1001;
  }
}

/* ---- the audit device ---- */

static unsigned char dev_fds[65536 / 8];

int vs_is_dev_path(const char *path) {
  return path && path[0] == '/' && path[1] == 'v' &&
         (strcmp(path, VESSARY_DEV_PATH1) == 0 || strcmp(path, VESSARY_DEV_PATH2) == 0);
}

int vs_dev_open(int flags) {
  int fd = sys_open("/dev/null", O_RDONLY | (flags & O_CLOEXEC), 0);
  if (fd >= 0 && fd < 65536) dev_fds[fd / 8] |= (unsigned char)(1u << (fd % 8));
  return fd;
}

int vs_is_dev_fd(int fd) { return fd >= 0 && fd < 65536 && (dev_fds[fd / 8] >> (fd % 8)) & 1; }

void vs_dev_forget(int fd) {
  if (fd >= 0 && fd < 65536) dev_fds[fd / 8] &= (unsigned char)~(1u << (fd % 8));
}

int vs_dev_ioctl(int fd, void *block) {
  (void)fd;
  if (!block) {
    errno = EFAULT;
    return -1;
  }
  struct vessary_dev_block *b = block;
  b->status = vessary_ctl(b->command, (void *)(uintptr_t)b->data_addr, b->data_len);
  return 0;
}

/* ---- start-up ---- */

/* Finds this library's file name for the LD_PRELOAD of children: its absolute entry in
 * LD_PRELOAD when it came from there (no system call needed), else the loader's name for it made
 * independent of the working directory. Returns whether it was preloaded. */
static int find_self(void) {
  const char *p = env_get("LD_PRELOAD");
  while (p && *p) {
    const char *end = p, *leaf = NULL;
    for (; *end && *end != ':' && *end != ' '; end++)
      if (*end == '/') leaf = end + 1;
    size_t len = (size_t)(end - p);
    if (p[0] == '/' && leaf && len < sizeof self_path && starts(leaf, "libvosselvessary")) {
      for (size_t i = 0; i < len; i++) self_path[i] = p[i];
      self_path[len] = 0;
      return 1;
    }
    p = *end ? end + 1 : end;
  }
  Dl_info info;
  if (dladdr((void *)&vessary_ctl, &info) && info.dli_fname) {
    size_t n = strlen(info.dli_fname);
    if (info.dli_fname[0] == '/' && n < sizeof self_path)
      memcpy(self_path, info.dli_fname, n + 1);
    else if (!realpath(info.dli_fname, self_path) && n < sizeof self_path)
      memcpy(self_path, info.dli_fname, n + 1);
  }
  return 0;
}

__attribute__((constructor)) static void vs_init(void) {
  int saved = errno;
  vs_resolve_all();
  refresh_pid();
  /* Preloaded, the fork wrappers refresh the id in children; loaded later by the platform, they
   * do not stand before libc, so a fork handler does. */
  if (!find_self()) pthread_atfork(NULL, NULL, vs_forked);
  const char *v = env_get(VESSARY_ENV_BHANDLE);
  if (v && *v) {
    st.bh_session = (uint32_t)parse_s64(&v);
    if (*v == '.') v++, st.bh_target = (uint32_t)parse_s64(&v);
    st.bh_set = 1;
    if (*v == ':') {
      v++;
      st.ref_sec = parse_s64(&v);
      if (*v == '.') v++, st.ref_usec = parse_s64(&v);
      st.ref_valid = 1;
    }
  }
  v = env_get(VESSARY_ENV_FILE);
  size_t len = 0;
  while (v && v[len] && len < VS_PATH_MAX - 8) len++;
  if (len && !v[len]) {
    /* An inherited audit: join its raw file if it is still there. */
    int fd = join_raw(v, env_get(VESSARY_ENV_ID), st.id);
    if (fd >= 0) {
      find_view_root();
      for (size_t i = 0; i <= len; i++) st.path[i] = v[i];
      const char *f = env_get(VESSARY_ENV_FLAGS);
      uint64_t flags = 0;
      while (f && *f) {
        char c = *f++;
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) break;
        flags = flags * 16 + (uint64_t)d;
      }
      st.flags = flags;
      st.auditing = 1;
      vs_fd = fd;
    }
  }
  errno = saved;
}
