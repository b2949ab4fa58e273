/* Internals shared by the files of the interposer. Nothing here allocates or locks: every
 * function may run in a vfork child or a signal handler. */
#ifndef VESSARY_VESSARY_INT_H
#define VESSARY_VESSARY_INT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#pragma GCC visibility push(hidden)

/* A dirfd value: take the name as it is, without resolving it. */
#define VS_NORESOLVE (-1000)

/* The audit descriptor of this process, or -1 while no audit runs. */
extern volatile int vs_fd;

/* Records one event. dirfd/path name the first object (relative names resolve against dirfd or
 * the working directory), dirfd2/path2 the second (path2 null for one-path events). st is the
 * identity or null. errno is kept. */
void vs_event(int op, uint64_t arg, const struct stat *st, int dirfd, const char *path,
              int dirfd2, const char *path2);

/* Like vs_event, taking the identity by stat (follow != 0) or lstat of the first path. */
void vs_event_stat(int op, uint64_t arg, int follow, int dirfd, const char *path, int dirfd2,
                   const char *path2);

/* Like vs_event, for the file open on fd, named by its current name (nothing when it has none,
 * as an unlinked or anonymous file). */
void vs_event_fd(int op, uint64_t arg, int fd);

/* Identity of an open descriptor, or null when fstat fails. */
const struct stat *vs_fd_ident(int fd, struct stat *buf);

/* Whether path names the audit device; the device descriptors handed out. */
int vs_is_dev_path(const char *path);
int vs_dev_open(int flags);
int vs_is_dev_fd(int fd);
void vs_dev_forget(int fd);
int vs_dev_ioctl(int fd, void *block);

/* Moves the audit descriptor away from fd when a program is about to take that number. */
void vs_move_fd_from(int fd);

/* Builds the environment of an exec'd child on the caller's stack: out has room for
 * count(envp) + 8 entries, buf for bufsize bytes. Returns envp itself when nothing changes. */
char **vs_fix_env(char *const envp[], char **out, char *buf, size_t bufsize);
size_t vs_env_count(char *const envp[]);
#define VS_ENV_BUF 8192

/* Records the exec of the image at path; also records and reports an image the interposer
 * cannot enter. */
void vs_note_exec(const char *path);

/* Whether an absolute path lies in a system place (/usr, /etc, /proc, ...), where no view is:
 * events there need no status of their object. */
int vs_system_place(const char *path);

/* Takes this process's id again: called in the child after a fork. */
void vs_forked(void);

/* Resolves a program name through PATH like execvp; returns path when it holds a "/". */
const char *vs_search_path(const char *file, char *buf, size_t bufsize);

/* System calls of the interposer itself, through libc's syscall() but never through the
 * interposer's own syscall wrapper. */
typedef long (*vs_syscall_fn)(long, ...);
vs_syscall_fn vs_syscall_real(void);
#define VS_SYS(...) (vs_syscall_real()(__VA_ARGS__))

/* Real libc entry points: vs_resolve_all resolves every wrapped one at load; vs_real looks one
 * up by name (null when absent). */
void vs_resolve_all(void);
void *vs_real(const char *name);

#pragma GCC visibility pop

#endif
