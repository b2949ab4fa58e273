/* The libc entry points the interposer wraps. Each calls the real function and, while an audit
 * runs and the call succeeded, records one event. Exec wrappers also put the interposer and the
 * audit state back into the child's environment; close and dup wrappers keep the audit
 * descriptor alive; open and ioctl answer the audit device.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "vessary/vessary.h"
#include "vessary/vessary_int.h"
#include "vessary/vessary_raw.h"

#ifndef SYS_openat2
#define SYS_openat2 437
#endif
#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

/* Entry points that the headers do not declare. */
int __open(const char *, int, ...);
int __open64(const char *, int, ...);
int __open_2(const char *, int);
int __open64_2(const char *, int);
int __openat_2(int, const char *, int);
int __openat64_2(int, const char *, int);
int __xstat(int, const char *, struct stat *);
int __xstat64(int, const char *, struct stat64 *);
int __lxstat(int, const char *, struct stat *);
int __lxstat64(int, const char *, struct stat64 *);
int __fxstatat(int, int, const char *, struct stat *, int);
int __fxstatat64(int, int, const char *, struct stat64 *, int);
ssize_t __readlink_chk(const char *, char *, size_t, size_t);
ssize_t __readlinkat_chk(int, const char *, char *, size_t, size_t);
int __xmknod(int, const char *, mode_t, dev_t *);
int __xmknodat(int, int, const char *, mode_t, dev_t *);
int mkstemp64(char *);
int mkostemp64(char *, int);
int mkstemps64(char *, int);
int mkostemps64(char *, int, int);

extern char **environ;

static void *vs_lookup(const char *name);
#define REAL_PTR(name)                                                             \
  static __typeof__(name) *r_##name;                                               \
  static inline __typeof__(name) *get_##name(void) {                               \
    __typeof__(name) *f = __atomic_load_n(&r_##name, __ATOMIC_RELAXED);            \
    if (!f) {                                                                      \
      f = (__typeof__(r_##name))vs_lookup(#name);                                  \
      __atomic_store_n(&r_##name, f, __ATOMIC_RELAXED);                            \
    }                                                                              \
    return f;                                                                      \
  }                                                                                \
  static __typeof__(name) *r_##name
/* The real function: resolved at load (vs_resolve_all) or at its first call. */
#define REAL(name) (get_##name())

REAL_PTR(open); REAL_PTR(open64); REAL_PTR(__open); REAL_PTR(__open64); REAL_PTR(openat);
REAL_PTR(openat64); REAL_PTR(__open_2); REAL_PTR(__open64_2); REAL_PTR(__openat_2);
REAL_PTR(__openat64_2); REAL_PTR(creat); REAL_PTR(creat64); REAL_PTR(fopen); REAL_PTR(fopen64);
REAL_PTR(freopen); REAL_PTR(freopen64); REAL_PTR(mkstemp); REAL_PTR(mkstemp64);
REAL_PTR(mkostemp); REAL_PTR(mkostemp64); REAL_PTR(mkstemps); REAL_PTR(mkstemps64);
REAL_PTR(mkostemps); REAL_PTR(mkostemps64); REAL_PTR(mkdtemp); REAL_PTR(opendir);
REAL_PTR(stat); REAL_PTR(stat64); REAL_PTR(lstat); REAL_PTR(lstat64); REAL_PTR(fstatat);
REAL_PTR(fstatat64); REAL_PTR(statx); REAL_PTR(__xstat); REAL_PTR(__xstat64);
REAL_PTR(__lxstat); REAL_PTR(__lxstat64); REAL_PTR(__fxstatat); REAL_PTR(__fxstatat64);
REAL_PTR(access); REAL_PTR(faccessat); REAL_PTR(euidaccess); REAL_PTR(eaccess);
REAL_PTR(readlink); REAL_PTR(readlinkat); REAL_PTR(__readlink_chk); REAL_PTR(__readlinkat_chk);
REAL_PTR(realpath); REAL_PTR(rename); REAL_PTR(renameat); REAL_PTR(renameat2); REAL_PTR(unlink);
REAL_PTR(unlinkat); REAL_PTR(rmdir); REAL_PTR(mkdir); REAL_PTR(mkdirat); REAL_PTR(link);
REAL_PTR(linkat); REAL_PTR(symlink); REAL_PTR(symlinkat); REAL_PTR(truncate);
REAL_PTR(truncate64); REAL_PTR(chdir); REAL_PTR(execve); REAL_PTR(execvpe); REAL_PTR(fexecve);
REAL_PTR(execveat); REAL_PTR(posix_spawn); REAL_PTR(posix_spawnp); REAL_PTR(close);
REAL_PTR(close_range); REAL_PTR(closefrom); REAL_PTR(dup2); REAL_PTR(dup3); REAL_PTR(ioctl);
REAL_PTR(fork); REAL_PTR(_Fork); REAL_PTR(ftruncate); REAL_PTR(ftruncate64); REAL_PTR(mkfifo);
REAL_PTR(mkfifoat); REAL_PTR(mknod); REAL_PTR(mknodat); REAL_PTR(__xmknod); REAL_PTR(__xmknodat);
REAL_PTR(posix_spawn_file_actions_init); REAL_PTR(posix_spawn_file_actions_destroy);
REAL_PTR(posix_spawn_file_actions_addopen);

void *vs_real(const char *name) { return dlsym(RTLD_NEXT, name); }

static vs_syscall_fn r_syscall;

vs_syscall_fn vs_syscall_real(void) {
  if (!r_syscall) r_syscall = (vs_syscall_fn)dlsym(RTLD_NEXT, "syscall");
  return r_syscall;
}

static void *vs_lookup(const char *name) {
  void *p = NULL;
  if (strncmp(name, "__xstat", 7) == 0 || strncmp(name, "__lxstat", 8) == 0 ||
      strncmp(name, "__fxstatat", 10) == 0)
    p = dlvsym(RTLD_NEXT, name, "GLIBC_2.2.5");
  return p ? p : dlsym(RTLD_NEXT, name);
}

#define RESOLVE(name) r_##name = (__typeof__(r_##name))dlsym(RTLD_NEXT, #name)

/* Resolves at load the entry points that signal handlers and vfork children call, where looking
 * a symbol up is not safe; the others are looked up at their first call, which keeps the start
 * of every audited process short. */
void vs_resolve_all(void) {
  RESOLVE(open); RESOLVE(open64); RESOLVE(__open); RESOLVE(__open64); RESOLVE(openat);
  RESOLVE(openat64); RESOLVE(__open_2); RESOLVE(__open64_2); RESOLVE(__openat_2);
  RESOLVE(__openat64_2); RESOLVE(creat); RESOLVE(creat64); RESOLVE(rename); RESOLVE(renameat);
  RESOLVE(renameat2); RESOLVE(unlink); RESOLVE(unlinkat); RESOLVE(rmdir); RESOLVE(chdir);
  RESOLVE(execve); RESOLVE(execvpe); RESOLVE(fexecve); RESOLVE(execveat); RESOLVE(posix_spawn);
  RESOLVE(posix_spawnp); RESOLVE(close); RESOLVE(dup2); RESOLVE(dup3); RESOLVE(fork); RESOLVE(_Fork);
  vs_syscall_real();
}

#define AUDITING (vs_fd >= 0)

static int missing(int dirfd, const char *path) {
  struct stat s;
  return VS_SYS(SYS_newfstatat, dirfd, path, &s, AT_SYMLINK_NOFOLLOW) != 0;
}

static void log_open(int fd, int dirfd, const char *path, int flags, int created) {
  if ((flags & O_TMPFILE) == O_TMPFILE) return; /* anonymous until linked */
  struct stat s;
  const struct stat *id = vs_system_place(path) ? NULL : vs_fd_ident(fd, &s);
  if (flags & O_PATH) {
    vs_event(VESSARY_EV_STAT, (flags & O_NOFOLLOW) ? 1 : 0, id, dirfd, path, AT_FDCWD, NULL);
    return;
  }
  vs_event(VESSARY_EV_OPEN, (uint32_t)flags | (created ? VESSARY_OPEN_CREATED : 0), id, dirfd,
           path, AT_FDCWD, NULL);
}

#define OPEN_MODE(flags)                                 \
  mode_t mode = 0;                                       \
  if ((flags) & (O_CREAT | O_TMPFILE)) {                 \
    va_list ap;                                          \
    va_start(ap, flags);                                 \
    mode = (mode_t)va_arg(ap, int);                      \
    va_end(ap);                                          \
  }

#define OPEN_BODY(dirfd, call)                                                  \
  if (vs_is_dev_path(path)) return vs_dev_open(flags);                          \
  int created = 0;                                                              \
  if (AUDITING && (flags & O_CREAT))                                            \
    created = (flags & O_EXCL) || missing(dirfd, path);                         \
  int fd = call;                                                                \
  if (fd >= 0 && AUDITING) log_open(fd, dirfd, path, flags, created);           \
  return fd;

int open(const char *path, int flags, ...) {
  OPEN_MODE(flags);
  OPEN_BODY(AT_FDCWD, REAL(open)(path, flags, mode));
}
int open64(const char *path, int flags, ...) {
  OPEN_MODE(flags);
  OPEN_BODY(AT_FDCWD, REAL(open64)(path, flags, mode));
}
int __open(const char *path, int flags, ...) {
  OPEN_MODE(flags);
  OPEN_BODY(AT_FDCWD, REAL(__open)(path, flags, mode));
}
int __open64(const char *path, int flags, ...) {
  OPEN_MODE(flags);
  OPEN_BODY(AT_FDCWD, REAL(__open64)(path, flags, mode));
}
int openat(int dirfd, const char *path, int flags, ...) {
  OPEN_MODE(flags);
  OPEN_BODY(dirfd, REAL(openat)(dirfd, path, flags, mode));
}
int openat64(int dirfd, const char *path, int flags, ...) {
  OPEN_MODE(flags);
  OPEN_BODY(dirfd, REAL(openat64)(dirfd, path, flags, mode));
}
int __open_2(const char *path, int flags) { OPEN_BODY(AT_FDCWD, REAL(__open_2)(path, flags)); }
int __open64_2(const char *path, int flags) {
  OPEN_BODY(AT_FDCWD, REAL(__open64_2)(path, flags));
}
int __openat_2(int dirfd, const char *path, int flags) {
  OPEN_BODY(dirfd, REAL(__openat_2)(dirfd, path, flags));
}
int __openat64_2(int dirfd, const char *path, int flags) {
  OPEN_BODY(dirfd, REAL(__openat64_2)(dirfd, path, flags));
}
int creat(const char *path, mode_t mode) {
  int flags = O_WRONLY | O_CREAT | O_TRUNC;
  OPEN_BODY(AT_FDCWD, REAL(creat)(path, mode));
}
int creat64(const char *path, mode_t mode) {
  int flags = O_WRONLY | O_CREAT | O_TRUNC;
  OPEN_BODY(AT_FDCWD, REAL(creat64)(path, mode));
}

/* Open flags of a stdio mode. */
static int mode_flags(const char *m) {
  int f = 0;
  switch (m ? m[0] : 'r') {
    case 'w': f = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 'a': f = O_WRONLY | O_CREAT | O_APPEND; break;
    default: f = O_RDONLY; break;
  }
  for (const char *p = m ? m + 1 : ""; *p && *p != ','; p++) {
    if (*p == '+') f = (f & ~(O_WRONLY | O_RDONLY)) | O_RDWR;
    if (*p == 'x') f |= O_EXCL;
  }
  return f;
}

#define FOPEN_BODY(call)                                                     \
  int flags = mode_flags(mode);                                              \
  int created = AUDITING && path && (flags & O_CREAT) ? missing(AT_FDCWD, path) : 0; \
  FILE *f = call;                                                            \
  if (f && AUDITING && path) log_open(fileno(f), AT_FDCWD, path, flags, created); \
  return f;

FILE *fopen(const char *path, const char *mode) { FOPEN_BODY(REAL(fopen)(path, mode)); }
FILE *fopen64(const char *path, const char *mode) { FOPEN_BODY(REAL(fopen64)(path, mode)); }
FILE *freopen(const char *path, const char *mode, FILE *s) {
  FOPEN_BODY(REAL(freopen)(path, mode, s));
}
FILE *freopen64(const char *path, const char *mode, FILE *s) {
  FOPEN_BODY(REAL(freopen64)(path, mode, s));
}

#define MKSTEMP_BODY(call)                                                        \
  int fd = call;                                                                  \
  if (fd >= 0 && AUDITING) log_open(fd, AT_FDCWD, tmpl, O_RDWR | O_CREAT | O_EXCL, 1); \
  return fd;

int mkstemp(char *tmpl) { MKSTEMP_BODY(REAL(mkstemp)(tmpl)); }
int mkstemp64(char *tmpl) { MKSTEMP_BODY(REAL(mkstemp64)(tmpl)); }
int mkostemp(char *tmpl, int fl) { MKSTEMP_BODY(REAL(mkostemp)(tmpl, fl)); }
int mkostemp64(char *tmpl, int fl) { MKSTEMP_BODY(REAL(mkostemp64)(tmpl, fl)); }
int mkstemps(char *tmpl, int sl) { MKSTEMP_BODY(REAL(mkstemps)(tmpl, sl)); }
int mkstemps64(char *tmpl, int sl) { MKSTEMP_BODY(REAL(mkstemps64)(tmpl, sl)); }
int mkostemps(char *tmpl, int sl, int fl) { MKSTEMP_BODY(REAL(mkostemps)(tmpl, sl, fl)); }
int mkostemps64(char *tmpl, int sl, int fl) { MKSTEMP_BODY(REAL(mkostemps64)(tmpl, sl, fl)); }

char *mkdtemp(char *tmpl) {
  char *r = REAL(mkdtemp)(tmpl);
  if (r && AUDITING) vs_event_stat(VESSARY_EV_MKDIR, 0, 0, AT_FDCWD, r, AT_FDCWD, NULL);
  return r;
}

DIR *opendir(const char *path) {
  DIR *d = REAL(opendir)(path);
  if (d && AUDITING) {
    struct stat s;
    const struct stat *id = vs_system_place(path) ? NULL : vs_fd_ident(dirfd(d), &s);
    vs_event(VESSARY_EV_OPENDIR, 0, id, AT_FDCWD, path, AT_FDCWD, NULL);
  }
  return d;
}

/* ---- metadata ---- */

#define STAT_BODY(dirfd, nofollow, call, buf)                                             \
  int r = call;                                                                           \
  if (r == 0 && AUDITING)                                                                 \
    vs_event(VESSARY_EV_STAT, (nofollow) ? 1 : 0, (const struct stat *)(buf), dirfd, path, \
             AT_FDCWD, NULL);                                                             \
  return r;

int stat(const char *path, struct stat *b) { STAT_BODY(AT_FDCWD, 0, REAL(stat)(path, b), b); }
int stat64(const char *path, struct stat64 *b) {
  STAT_BODY(AT_FDCWD, 0, REAL(stat64)(path, b), b);
}
int lstat(const char *path, struct stat *b) { STAT_BODY(AT_FDCWD, 1, REAL(lstat)(path, b), b); }
int lstat64(const char *path, struct stat64 *b) {
  STAT_BODY(AT_FDCWD, 1, REAL(lstat64)(path, b), b);
}
int fstatat(int dirfd, const char *path, struct stat *b, int fl) {
  if ((fl & AT_EMPTY_PATH) && path && !*path) return REAL(fstatat)(dirfd, path, b, fl);
  STAT_BODY(dirfd, fl & AT_SYMLINK_NOFOLLOW, REAL(fstatat)(dirfd, path, b, fl), b);
}
int fstatat64(int dirfd, const char *path, struct stat64 *b, int fl) {
  if ((fl & AT_EMPTY_PATH) && path && !*path) return REAL(fstatat64)(dirfd, path, b, fl);
  STAT_BODY(dirfd, fl & AT_SYMLINK_NOFOLLOW, REAL(fstatat64)(dirfd, path, b, fl), b);
}
int __xstat(int v, const char *path, struct stat *b) {
  STAT_BODY(AT_FDCWD, 0, REAL(__xstat)(v, path, b), b);
}
int __xstat64(int v, const char *path, struct stat64 *b) {
  STAT_BODY(AT_FDCWD, 0, REAL(__xstat64)(v, path, b), b);
}
int __lxstat(int v, const char *path, struct stat *b) {
  STAT_BODY(AT_FDCWD, 1, REAL(__lxstat)(v, path, b), b);
}
int __lxstat64(int v, const char *path, struct stat64 *b) {
  STAT_BODY(AT_FDCWD, 1, REAL(__lxstat64)(v, path, b), b);
}
int __fxstatat(int v, int dirfd, const char *path, struct stat *b, int fl) {
  if ((fl & AT_EMPTY_PATH) && path && !*path) return REAL(__fxstatat)(v, dirfd, path, b, fl);
  STAT_BODY(dirfd, fl & AT_SYMLINK_NOFOLLOW, REAL(__fxstatat)(v, dirfd, path, b, fl), b);
}
int __fxstatat64(int v, int dirfd, const char *path, struct stat64 *b, int fl) {
  if ((fl & AT_EMPTY_PATH) && path && !*path) return REAL(__fxstatat64)(v, dirfd, path, b, fl);
  STAT_BODY(dirfd, fl & AT_SYMLINK_NOFOLLOW, REAL(__fxstatat64)(v, dirfd, path, b, fl), b);
}

int statx(int dirfd, const char *path, int fl, unsigned mask, struct statx *b) {
  int r = REAL(statx)(dirfd, path, fl, mask, b);
  if (r == 0 && AUDITING && !((fl & AT_EMPTY_PATH) && path && !*path)) {
    struct stat s;
    memset(&s, 0, sizeof s);
    s.st_dev = makedev(b->stx_dev_major, b->stx_dev_minor);
    s.st_ino = b->stx_ino;
    s.st_mode = b->stx_mode;
    s.st_size = (off_t)b->stx_size;
    s.st_mtim.tv_sec = b->stx_mtime.tv_sec;
    s.st_mtim.tv_nsec = b->stx_mtime.tv_nsec;
    int whole = (b->stx_mask & (STATX_INO | STATX_TYPE | STATX_MTIME)) ==
                (STATX_INO | STATX_TYPE | STATX_MTIME);
    vs_event(VESSARY_EV_STAT, (fl & AT_SYMLINK_NOFOLLOW) ? 1 : 0, whole ? &s : NULL, dirfd, path,
             AT_FDCWD, NULL);
  }
  return r;
}

#define ACCESS_BODY(dirfd, call)                                                   \
  int r = call;                                                                    \
  if (r == 0 && AUDITING) vs_event(VESSARY_EV_ACCESS, (uint64_t)mode, NULL, dirfd, path, AT_FDCWD, NULL); \
  return r;

int access(const char *path, int mode) { ACCESS_BODY(AT_FDCWD, REAL(access)(path, mode)); }
int faccessat(int dirfd, const char *path, int mode, int fl) {
  ACCESS_BODY(dirfd, REAL(faccessat)(dirfd, path, mode, fl));
}
int euidaccess(const char *path, int mode) { ACCESS_BODY(AT_FDCWD, REAL(euidaccess)(path, mode)); }
int eaccess(const char *path, int mode) { ACCESS_BODY(AT_FDCWD, REAL(eaccess)(path, mode)); }

#define READLINK_BODY(dirfd, call)                                                    \
  ssize_t r = call;                                                                   \
  if (r >= 0 && AUDITING) vs_event_stat(VESSARY_EV_READLINK, 0, 0, dirfd, path, AT_FDCWD, NULL); \
  return r;

ssize_t readlink(const char *path, char *buf, size_t n) {
  READLINK_BODY(AT_FDCWD, REAL(readlink)(path, buf, n));
}
ssize_t readlinkat(int dirfd, const char *path, char *buf, size_t n) {
  READLINK_BODY(dirfd, REAL(readlinkat)(dirfd, path, buf, n));
}
ssize_t __readlink_chk(const char *path, char *buf, size_t n, size_t bl) {
  READLINK_BODY(AT_FDCWD, REAL(__readlink_chk)(path, buf, n, bl));
}
ssize_t __readlinkat_chk(int dirfd, const char *path, char *buf, size_t n, size_t bl) {
  READLINK_BODY(dirfd, REAL(__readlinkat_chk)(dirfd, path, buf, n, bl));
}

char *realpath(const char *path, char *resolved) {
  char *r = REAL(realpath)(path, resolved);
  if (r && AUDITING) vs_event(VESSARY_EV_STAT, 0, NULL, AT_FDCWD, r, AT_FDCWD, NULL);
  return r;
}

/* ---- names ---- */

/* The status of the objects a rename with flags fl moves, taken before it: the renamed one,
 * and for an exchange the other one. */
struct rename_ids {
  int known, known2;
  struct stat s, s2;
};

static void rename_before(struct rename_ids *r, unsigned fl, int d1, const char *p1, int d2,
                          const char *p2) {
  r->known = VS_SYS(SYS_newfstatat, d1, p1, &r->s, AT_SYMLINK_NOFOLLOW) == 0;
  r->known2 = (fl & RENAME_EXCHANGE) &&
              VS_SYS(SYS_newfstatat, d2, p2, &r->s2, AT_SYMLINK_NOFOLLOW) == 0;
}

/* Records a rename that succeeded: an exchange first looks the second name up, so that the
 * conversion knows what it held. */
static void rename_after(const struct rename_ids *r, unsigned fl, int d1, const char *p1, int d2,
                         const char *p2) {
  if (fl & RENAME_EXCHANGE)
    vs_event(VESSARY_EV_STAT, 1, r->known2 ? &r->s2 : NULL, d2, p2, AT_FDCWD, NULL);
  vs_event(VESSARY_EV_RENAME, fl, r->known ? &r->s : NULL, d1, p1, d2, p2);
}

#define RENAME_BODY(d1, p1, d2, p2, fl, call)                \
  struct rename_ids ids;                                    \
  if (AUDITING) rename_before(&ids, fl, d1, p1, d2, p2);    \
  int r = call;                                             \
  if (r == 0 && AUDITING) rename_after(&ids, fl, d1, p1, d2, p2); \
  return r;

int rename(const char *o, const char *n) {
  RENAME_BODY(AT_FDCWD, o, AT_FDCWD, n, 0, REAL(rename)(o, n));
}
int renameat(int od, const char *o, int nd, const char *n) {
  RENAME_BODY(od, o, nd, n, 0, REAL(renameat)(od, o, nd, n));
}
int renameat2(int od, const char *o, int nd, const char *n, unsigned fl) {
  RENAME_BODY(od, o, nd, n, fl, REAL(renameat2)(od, o, nd, n, fl));
}

#define REMOVE_BODY(dirfd, isdir, call)                                            \
  struct stat s;                                                                  \
  int known = AUDITING && VS_SYS(SYS_newfstatat, dirfd, path, &s, AT_SYMLINK_NOFOLLOW) == 0; \
  int r = call;                                                                   \
  if (r == 0 && AUDITING)                                                         \
    vs_event(VESSARY_EV_UNLINK, (isdir) ? 1 : 0, known ? &s : NULL, dirfd, path, AT_FDCWD, NULL); \
  return r;

int unlink(const char *path) { REMOVE_BODY(AT_FDCWD, 0, REAL(unlink)(path)); }
int unlinkat(int dirfd, const char *path, int fl) {
  REMOVE_BODY(dirfd, fl & AT_REMOVEDIR, REAL(unlinkat)(dirfd, path, fl));
}
int rmdir(const char *path) { REMOVE_BODY(AT_FDCWD, 1, REAL(rmdir)(path)); }

int mkdir(const char *path, mode_t m) {
  int r = REAL(mkdir)(path, m);
  if (r == 0 && AUDITING) vs_event_stat(VESSARY_EV_MKDIR, 0, 0, AT_FDCWD, path, AT_FDCWD, NULL);
  return r;
}
int mkdirat(int dirfd, const char *path, mode_t m) {
  int r = REAL(mkdirat)(dirfd, path, m);
  if (r == 0 && AUDITING) vs_event_stat(VESSARY_EV_MKDIR, 0, 0, dirfd, path, AT_FDCWD, NULL);
  return r;
}

int link(const char *o, const char *n) {
  int r = REAL(link)(o, n);
  if (r == 0 && AUDITING) {
    struct stat s;
    int ok = VS_SYS(SYS_newfstatat, AT_FDCWD, n, &s, AT_SYMLINK_NOFOLLOW) == 0;
    vs_event(VESSARY_EV_LINK, 0, ok ? &s : NULL, AT_FDCWD, o, AT_FDCWD, n);
  }
  return r;
}
int linkat(int od, const char *o, int nd, const char *n, int fl) {
  int r = REAL(linkat)(od, o, nd, n, fl);
  if (r == 0 && AUDITING) {
    struct stat s;
    int ok = VS_SYS(SYS_newfstatat, nd, n, &s, AT_SYMLINK_NOFOLLOW) == 0;
    if (((fl & AT_EMPTY_PATH) && o && !*o) || (o && strncmp(o, "/proc/self/fd/", 14) == 0))
      /* An anonymous file (O_TMPFILE) made visible: the name is created and written. */
      vs_event(VESSARY_EV_OPEN, O_WRONLY | O_CREAT | VESSARY_OPEN_CREATED, ok ? &s : NULL, nd, n,
               AT_FDCWD, NULL);
    else
      vs_event(VESSARY_EV_LINK, 0, ok ? &s : NULL, od, o, nd, n);
  }
  return r;
}
int symlink(const char *text, const char *path) {
  int r = REAL(symlink)(text, path);
  if (r == 0 && AUDITING)
    vs_event_stat(VESSARY_EV_SYMLINK, 0, 0, AT_FDCWD, path, VS_NORESOLVE, text);
  return r;
}
int symlinkat(const char *text, int dirfd, const char *path) {
  int r = REAL(symlinkat)(text, dirfd, path);
  if (r == 0 && AUDITING) vs_event_stat(VESSARY_EV_SYMLINK, 0, 0, dirfd, path, VS_NORESOLVE, text);
  return r;
}
int ftruncate(int fd, off_t len) {
  int r = REAL(ftruncate)(fd, len);
  if (r == 0 && AUDITING) vs_event_fd(VESSARY_EV_TRUNCATE, (uint64_t)len, fd);
  return r;
}
int ftruncate64(int fd, off64_t len) {
  int r = REAL(ftruncate64)(fd, len);
  if (r == 0 && AUDITING) vs_event_fd(VESSARY_EV_TRUNCATE, (uint64_t)len, fd);
  return r;
}

#define MKNOD_BODY(dirfd, call)                                                        \
  int r = call;                                                                       \
  if (r == 0 && AUDITING) vs_event_stat(VESSARY_EV_MKNOD, 0, 0, dirfd, path, AT_FDCWD, NULL); \
  return r;

int mkfifo(const char *path, mode_t m) { MKNOD_BODY(AT_FDCWD, REAL(mkfifo)(path, m)); }
int mkfifoat(int dirfd, const char *path, mode_t m) {
  MKNOD_BODY(dirfd, REAL(mkfifoat)(dirfd, path, m));
}
int mknod(const char *path, mode_t m, dev_t d) { MKNOD_BODY(AT_FDCWD, REAL(mknod)(path, m, d)); }
int mknodat(int dirfd, const char *path, mode_t m, dev_t d) {
  MKNOD_BODY(dirfd, REAL(mknodat)(dirfd, path, m, d));
}
int __xmknod(int v, const char *path, mode_t m, dev_t *d) {
  MKNOD_BODY(AT_FDCWD, REAL(__xmknod)(v, path, m, d));
}
int __xmknodat(int v, int dirfd, const char *path, mode_t m, dev_t *d) {
  MKNOD_BODY(dirfd, REAL(__xmknodat)(v, dirfd, path, m, d));
}

int truncate(const char *path, off_t len) {
  int r = REAL(truncate)(path, len);
  if (r == 0 && AUDITING)
    vs_event_stat(VESSARY_EV_TRUNCATE, (uint64_t)len, 1, AT_FDCWD, path, AT_FDCWD, NULL);
  return r;
}
int truncate64(const char *path, off64_t len) {
  int r = REAL(truncate64)(path, len);
  if (r == 0 && AUDITING)
    vs_event_stat(VESSARY_EV_TRUNCATE, (uint64_t)len, 1, AT_FDCWD, path, AT_FDCWD, NULL);
  return r;
}
int chdir(const char *path) {
  int r = REAL(chdir)(path);
  if (r == 0 && AUDITING) vs_event_stat(VESSARY_EV_CHDIR, 0, 1, AT_FDCWD, path, AT_FDCWD, NULL);
  return r;
}

/* ---- exec ---- */

static void note_exec(const char *path) {
  if (AUDITING) vs_note_exec(path);
}

#define FIXED_ENV(envp)                         \
  size_t env_n = vs_env_count(envp);            \
  char *env_out[env_n + 8];                     \
  char env_buf[VS_ENV_BUF];                     \
  char **fixed = vs_fix_env(envp, env_out, env_buf, sizeof env_buf)

int execve(const char *path, char *const argv[], char *const envp[]) {
  note_exec(path);
  FIXED_ENV(envp);
  return REAL(execve)(path, argv, fixed);
}
int execv(const char *path, char *const argv[]) { return execve(path, argv, environ); }
int execvpe(const char *file, char *const argv[], char *const envp[]) {
  char buf[4096];
  if (AUDITING) note_exec(vs_search_path(file, buf, sizeof buf));
  FIXED_ENV(envp);
  return REAL(execvpe)(file, argv, fixed);
}
int execvp(const char *file, char *const argv[]) { return execvpe(file, argv, environ); }
int fexecve(int fd, char *const argv[], char *const envp[]) {
  FIXED_ENV(envp);
  return REAL(fexecve)(fd, argv, fixed);
}
int execveat(int dirfd, const char *path, char *const argv[], char *const envp[], int fl) {
  if (AUDITING && path && path[0] == '/') note_exec(path);
  FIXED_ENV(envp);
  return REAL(execveat)(dirfd, path, argv, fixed, fl);
}

/* Collects the variadic arguments of the execl family into argv on the caller's stack. */
#define EXECL_ARGV(arg, extra)                               \
  va_list ap;                                                \
  size_t argc = 1;                                           \
  va_start(ap, arg);                                         \
  while (va_arg(ap, const char *)) argc++;                   \
  va_end(ap);                                                \
  char *argv[argc + 1];                                      \
  argv[0] = (char *)arg;                                     \
  va_start(ap, arg);                                         \
  for (size_t i = 1; i <= argc; i++) argv[i] = va_arg(ap, char *); \
  extra;                                                     \
  va_end(ap)

int execl(const char *path, const char *arg, ...) {
  EXECL_ARGV(arg, (void)0);
  return execve(path, argv, environ);
}
int execlp(const char *file, const char *arg, ...) {
  EXECL_ARGV(arg, (void)0);
  return execvpe(file, argv, environ);
}
int execle(const char *path, const char *arg, ...) {
  char *const *envp;
  EXECL_ARGV(arg, envp = va_arg(ap, char *const *));
  return execve(path, argv, envp);
}

/* The files that spawn file actions open in the child, where no wrapper sees them: noted when
 * the action is added while an audit runs, recorded when a spawn with the actions succeeds. */
#define FA_SLOTS 16
static struct fa_open {
  const posix_spawn_file_actions_t *fa; /* null: a free slot */
  int flags, created;
  char path[1024];
} fa_opens[FA_SLOTS];
static int fa_busy;

static void fa_lock(void) {
  while (__atomic_exchange_n(&fa_busy, 1, __ATOMIC_ACQUIRE)) sched_yield();
}
static void fa_unlock(void) { __atomic_store_n(&fa_busy, 0, __ATOMIC_RELEASE); }

/* Forgets the noted opens of fa. */
static void fa_forget(const posix_spawn_file_actions_t *fa) {
  fa_lock();
  for (int i = 0; i < FA_SLOTS; i++)
    if (fa_opens[i].fa == fa) fa_opens[i].fa = NULL;
  fa_unlock();
}

int posix_spawn_file_actions_init(posix_spawn_file_actions_t *fa) {
  fa_forget(fa);
  return REAL(posix_spawn_file_actions_init)(fa);
}
int posix_spawn_file_actions_destroy(posix_spawn_file_actions_t *fa) {
  fa_forget(fa);
  return REAL(posix_spawn_file_actions_destroy)(fa);
}
int posix_spawn_file_actions_addopen(posix_spawn_file_actions_t *fa, int fd, const char *path,
                                     int flags, mode_t mode) {
  int r = REAL(posix_spawn_file_actions_addopen)(fa, fd, path, flags, mode);
  if (r == 0 && AUDITING && path && strlen(path) < sizeof fa_opens[0].path) {
    fa_lock();
    for (int i = 0; i < FA_SLOTS; i++)
      if (!fa_opens[i].fa) {
        fa_opens[i].fa = fa;
        fa_opens[i].flags = flags;
        memcpy(fa_opens[i].path, path, strlen(path) + 1);
        break;
      }
    fa_unlock();
  }
  return r;
}

/* Before a spawn with fa: which of its opens will create their file. */
static void fa_before(const posix_spawn_file_actions_t *fa) {
  if (!fa || !AUDITING) return;
  fa_lock();
  for (int i = 0; i < FA_SLOTS; i++)
    if (fa_opens[i].fa == fa)
      fa_opens[i].created = (fa_opens[i].flags & O_CREAT) &&
                            ((fa_opens[i].flags & O_EXCL) || missing(AT_FDCWD, fa_opens[i].path));
  fa_unlock();
}

/* After a spawn with fa succeeded (the child has run its actions): records their opens. */
static void fa_after(const posix_spawn_file_actions_t *fa) {
  if (!fa || !AUDITING) return;
  fa_lock();
  for (int i = 0; i < FA_SLOTS; i++) {
    const struct fa_open *o = &fa_opens[i];
    if (o->fa != fa) continue;
    struct stat s;
    int follow = !(o->flags & O_NOFOLLOW);
    int ok = !vs_system_place(o->path) &&
             VS_SYS(SYS_newfstatat, AT_FDCWD, o->path, &s, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
    vs_event(VESSARY_EV_OPEN, (uint32_t)o->flags | (o->created ? VESSARY_OPEN_CREATED : 0),
             ok ? &s : NULL, AT_FDCWD, o->path, AT_FDCWD, NULL);
  }
  fa_unlock();
}

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *fa,
                const posix_spawnattr_t *at, char *const argv[], char *const envp[]) {
  note_exec(path);
  fa_before(fa);
  FIXED_ENV(envp);
  int r = REAL(posix_spawn)(pid, path, fa, at, argv, fixed);
  if (r == 0) fa_after(fa);
  return r;
}
int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *fa,
                 const posix_spawnattr_t *at, char *const argv[], char *const envp[]) {
  char buf[4096];
  if (AUDITING) note_exec(vs_search_path(file, buf, sizeof buf));
  fa_before(fa);
  FIXED_ENV(envp);
  int r = REAL(posix_spawnp)(pid, file, fa, at, argv, fixed);
  if (r == 0) fa_after(fa);
  return r;
}

/* ---- descriptors ---- */

int close(int fd) {
  if (fd >= 0 && fd == vs_fd) return 0; /* the audit's descriptor outlives the program's sweeps */
  if (vs_is_dev_fd(fd)) vs_dev_forget(fd);
  return REAL(close)(fd);
}

int close_range(unsigned first, unsigned last, int fl) {
  int a = vs_fd;
  if (a >= 0 && (unsigned)a >= first && (unsigned)a <= last) {
    int r = 0;
    if ((unsigned)a > first) r = REAL(close_range)(first, (unsigned)a - 1, fl);
    if (r == 0 && (unsigned)a < last) r = REAL(close_range)((unsigned)a + 1, last, fl);
    return r;
  }
  return REAL(close_range)(first, last, fl);
}

void closefrom(int low) {
  int a = vs_fd;
  if (a >= 0 && a >= low) {
    if (a > low) REAL(close_range)((unsigned)low, (unsigned)a - 1, 0);
    REAL(closefrom)(a + 1);
    return;
  }
  REAL(closefrom)(low);
}

int dup2(int o, int n) {
  vs_move_fd_from(n);
  if (vs_is_dev_fd(n)) vs_dev_forget(n);
  return REAL(dup2)(o, n);
}
int dup3(int o, int n, int fl) {
  vs_move_fd_from(n);
  if (vs_is_dev_fd(n)) vs_dev_forget(n);
  return REAL(dup3)(o, n, fl);
}

int ioctl(int fd, unsigned long req, ...) {
  va_list ap;
  va_start(ap, req);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (req == VESSARY_DEV_REQUEST && vs_is_dev_fd(fd)) return vs_dev_ioctl(fd, arg);
  return REAL(ioctl)(fd, req, arg);
}

/* A forked child takes its own process id for its events. */
pid_t fork(void) {
  pid_t r = REAL(fork)();
  if (r == 0) vs_forked();
  return r;
}
pid_t _Fork(void) {
  if (!REAL(_Fork)) {
    errno = ENOSYS;
    return -1;
  }
  pid_t r = REAL(_Fork)();
  if (r == 0) vs_forked();
  return r;
}

/* Whether system call n with first argument a0 makes a new process (not a thread). */
static int forks(long n, long a0) {
  return n == SYS_fork || (n == SYS_clone && !(a0 & CLONE_VM));
}

/* libc's syscall() for the numbers that open, remove and rename files, and that fork. */
long syscall(long n, ...) {
  va_list ap;
  va_start(ap, n);
  long a[6];
  for (int i = 0; i < 6; i++) a[i] = va_arg(ap, long);
  va_end(ap);
  if (!AUDITING || forks(n, a[0])) {
    long r = vs_syscall_real()(n, a[0], a[1], a[2], a[3], a[4], a[5]);
    if (r == 0 && forks(n, a[0])) vs_forked();
    return r;
  }
  struct stat s;
  int known = 0;
  switch (n) {
    case SYS_unlink: case SYS_rmdir: case SYS_rename:
      known = VS_SYS(SYS_newfstatat, AT_FDCWD, (const char *)a[0], &s, AT_SYMLINK_NOFOLLOW) == 0;
      break;
    case SYS_unlinkat: case SYS_renameat:
      known = VS_SYS(SYS_newfstatat, (int)a[0], (const char *)a[1], &s, AT_SYMLINK_NOFOLLOW) == 0;
      break;
    default: break;
  }
  struct rename_ids ids;
  if (n == SYS_renameat2)
    rename_before(&ids, (unsigned)a[4], (int)a[0], (const char *)a[1], (int)a[2], (const char *)a[3]);
  /* openat2 (no libc wrapper): its flags lead its open_how */
  int how_flags = n == SYS_openat2 && a[2] ? (int)*(const uint64_t *)a[2] : 0;
  int created = 0;
  if (n == SYS_open && (a[1] & O_CREAT)) created = (a[1] & O_EXCL) || missing(AT_FDCWD, (const char *)a[0]);
  if (n == SYS_openat && (a[2] & O_CREAT))
    created = (a[2] & O_EXCL) || missing((int)a[0], (const char *)a[1]);
  if (n == SYS_creat) created = missing(AT_FDCWD, (const char *)a[0]);
  if (n == SYS_openat2 && (how_flags & O_CREAT))
    created = (how_flags & O_EXCL) || missing((int)a[0], (const char *)a[1]);
  long r = vs_syscall_real()(n, a[0], a[1], a[2], a[3], a[4], a[5]);
  if (r < 0) return r;
  switch (n) {
    case SYS_open: log_open((int)r, AT_FDCWD, (const char *)a[0], (int)a[1], created); break;
    case SYS_openat: log_open((int)r, (int)a[0], (const char *)a[1], (int)a[2], created); break;
    case SYS_openat2: log_open((int)r, (int)a[0], (const char *)a[1], how_flags, created); break;
    case SYS_creat:
      log_open((int)r, AT_FDCWD, (const char *)a[0], O_WRONLY | O_CREAT | O_TRUNC, created);
      break;
    case SYS_unlink:
    case SYS_rmdir:
      vs_event(VESSARY_EV_UNLINK, n == SYS_rmdir, known ? &s : NULL, AT_FDCWD, (const char *)a[0],
               AT_FDCWD, NULL);
      break;
    case SYS_unlinkat:
      vs_event(VESSARY_EV_UNLINK, (a[2] & AT_REMOVEDIR) ? 1 : 0, known ? &s : NULL, (int)a[0],
               (const char *)a[1], AT_FDCWD, NULL);
      break;
    case SYS_rename:
      vs_event(VESSARY_EV_RENAME, 0, known ? &s : NULL, AT_FDCWD, (const char *)a[0], AT_FDCWD,
               (const char *)a[1]);
      break;
    case SYS_renameat:
      vs_event(VESSARY_EV_RENAME, 0, known ? &s : NULL, (int)a[0], (const char *)a[1], (int)a[2],
               (const char *)a[3]);
      break;
    case SYS_renameat2:
      rename_after(&ids, (unsigned)a[4], (int)a[0], (const char *)a[1], (int)a[2], (const char *)a[3]);
      break;
    default: break;
  }
  return r;
}
