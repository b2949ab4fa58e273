/* A driver of the audit device for tests: each argument is one step, run in order; each device
 * step prints "<step> <status>" (the device's status word, or "none" when the device cannot be
 * opened, or "errno=<n>" when the ioctl fails).
 *
 *   start FILE [FLAGS]   commands 14 (two descriptors of FILE) and 17
 *   start14 FILE         command 14 alone
 *   stop | sync          commands 18, 19
 *   marker N             command 48
 *   state                commands 29, 13, 15; prints "state S.T NAME FLAGS"
 *   setbh S T [SEC USEC] command 30
 *   view TAG | view -    command 32
 *   smallname            command 13 with a 2-byte buffer
 *   read PATH            opens and reads a file
 *   write PATH TEXT      creates or truncates a file and writes TEXT
 *   sh COMMAND           runs COMMAND through system()
 *   spawn COMMAND        runs COMMAND through sh -c with posix_spawn and an empty environment
 *   pid                  prints "pid <this process's id>"
 *   fork|_Fork|sysfork PATH   makes a child through fork(), _Fork() or syscall(SYS_fork) that
 *                        reads PATH; prints "<step> <child's id>"
 *   vfork PROGRAM ARG    runs PROGRAM ARG in a vfork child; prints "vfork <child's id>"
 *   exec PROGRAM         runs PROGRAM in a forked child (its failure to start is ignored)
 *   exchange A B         swaps two names with renameat2(RENAME_EXCHANGE)
 *   ftruncate PATH       opens PATH for writing and truncates it through the descriptor
 *   openat2 PATH         opens and reads PATH with the openat2 system call
 *   spawnout PATH        runs /bin/true with its output opened on PATH by a spawn file action
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <errno.h>
#include <linux/openat2.h>

#include "vessary/vessary.h"

static int dev_cmd(uint64_t cmd, void *data, uint64_t len, uint32_t *status) {
  int fd = open(VESSARY_DEV_PATH1, O_RDONLY);
  if (fd < 0) fd = open(VESSARY_DEV_PATH2, O_RDONLY);
  if (fd < 0) return -2;
  struct vessary_dev_block b;
  memset(&b, 0, sizeof b);
  b.command = cmd;
  b.data_len = len;
  b.data_addr = (uint64_t)(uintptr_t)data;
  int r = ioctl(fd, VESSARY_DEV_REQUEST, &b);
  int e = errno;
  close(fd);
  if (r != 0) return e;
  *status = b.status;
  return 0;
}

static void read_file(const char *path) {
  char buf[256];
  int fd = open(path, O_RDONLY);
  if (fd >= 0) {
    while (read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
  }
}

/* Runs program with one argument in a vfork child and waits for it; returns the child's id. */
static pid_t run_vfork(char *program, char *arg) {
  char *args[] = {program, arg, NULL};
  pid_t pid = vfork();
  if (pid == 0) {
    execv(args[0], args);
    _exit(127);
  }
  if (pid > 0) waitpid(pid, NULL, 0);
  return pid;
}

static void report(const char *step, int r, uint32_t status) {
  if (r == -2)
    printf("%s none\n", step);
  else if (r)
    printf("%s errno=%d\n", step, r);
  else
    printf("%s %u\n", step, status);
  fflush(stdout);
}

int main(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    const char *s = argv[i];
    uint32_t st = 0;
    int r;
    if (!strcmp(s, "start") || !strcmp(s, "start14")) {
      const char *f = argv[++i];
      struct vessary_pn_desc d[2];
      for (int k = 0; k < 2; k++) d[k] = (struct vessary_pn_desc){(uintptr_t)f, strlen(f), strlen(f) + 1};
      r = dev_cmd(VESSARY_CMD_START, d, sizeof d, &st);
      if (!strcmp(s, "start") && r == 0 && st == 0) {
        uint64_t flags = (i + 1 < argc && argv[i + 1][0] >= '0' && argv[i + 1][0] <= '9')
                             ? strtoull(argv[++i], NULL, 0) : 1;
        r = dev_cmd(VESSARY_CMD_SET_FLAGS, &flags, 8, &st);
      }
      report(s, r, st);
    } else if (!strcmp(s, "stop")) {
      r = dev_cmd(VESSARY_CMD_STOP, NULL, 0, &st);
      report(s, r, st);
    } else if (!strcmp(s, "sync")) {
      r = dev_cmd(VESSARY_CMD_SYNC, NULL, 0, &st);
      report(s, r, st);
    } else if (!strcmp(s, "marker")) {
      uint64_t m = strtoull(argv[++i], NULL, 0);
      r = dev_cmd(VESSARY_CMD_MARKER, &m, 8, &st);
      report(s, r, st);
    } else if (!strcmp(s, "state")) {
      unsigned char bh[32];
      char name[1024] = "";
      uint64_t flags = 0;
      struct vessary_pn_desc d = {(uintptr_t)name, 0, sizeof name};
      r = dev_cmd(VESSARY_CMD_GET_BHANDLE, bh, 32, &st);
      if (!r && !st) r = dev_cmd(VESSARY_CMD_GET_NAME, &d, sizeof d, &st);
      if (!r && !st) r = dev_cmd(VESSARY_CMD_GET_FLAGS, &flags, 8, &st);
      if (r || st) {
        report(s, r, st);
      } else {
        uint32_t h[2];
        memcpy(h, bh, 8);
        printf("state %u.%u %s %llx\n", h[0], h[1], name[0] ? name : "-", (unsigned long long)flags);
      }
    } else if (!strcmp(s, "setbh")) {
      unsigned char b[32] = {0};
      uint32_t h[2] = {(uint32_t)atoi(argv[i + 1]), (uint32_t)atoi(argv[i + 2])};
      i += 2;
      memcpy(b, h, 8);
      if (i + 2 < argc && argv[i + 1][0] >= '0' && argv[i + 1][0] <= '9') {
        int64_t t[2] = {atoll(argv[i + 1]), atoll(argv[i + 2])};
        uint64_t fl = 2;
        i += 2;
        memcpy(b + 8, t, 16);
        memcpy(b + 24, &fl, 8);
      }
      r = dev_cmd(VESSARY_CMD_SET_BHANDLE, b, 32, &st);
      report(s, r, st);
    } else if (!strcmp(s, "view")) {
      const char *t = argv[++i];
      struct vessary_pn_desc d = {0, 0, 0};
      if (strcmp(t, "-")) d = (struct vessary_pn_desc){(uintptr_t)t, strlen(t), strlen(t) + 1};
      r = dev_cmd(VESSARY_CMD_SET_VIEW, &d, sizeof d, &st);
      report(s, r, st);
    } else if (!strcmp(s, "smallname")) {
      char name[2];
      struct vessary_pn_desc d = {(uintptr_t)name, 0, sizeof name};
      r = dev_cmd(VESSARY_CMD_GET_NAME, &d, sizeof d, &st);
      report(s, r, st);
    } else if (!strcmp(s, "read")) {
      read_file(argv[++i]);
    } else if (!strcmp(s, "pid")) {
      printf("pid %ld\n", (long)getpid());
    } else if (!strcmp(s, "fork") || !strcmp(s, "_Fork") || !strcmp(s, "sysfork")) {
      const char *p = argv[++i];
      fflush(stdout);
      pid_t pid = !strcmp(s, "fork")    ? fork()
                  : !strcmp(s, "_Fork") ? _Fork()
                                        : (pid_t)syscall(SYS_fork);
      if (pid == 0) {
        read_file(p);
        _exit(0);
      }
      if (pid > 0) waitpid(pid, NULL, 0);
      printf("%s %ld\n", s, (long)pid);
    } else if (!strcmp(s, "vfork")) {
      fflush(stdout);
      printf("vfork %ld\n", (long)run_vfork(argv[i + 1], argv[i + 2]));
      i += 2;
    } else if (!strcmp(s, "exec")) {
      char *args[] = {argv[++i], NULL};
      fflush(stdout);
      pid_t pid = fork();
      if (pid == 0) {
        execv(args[0], args);
        _exit(127);
      }
      if (pid > 0) waitpid(pid, NULL, 0);
    } else if (!strcmp(s, "write")) {
      const char *p = argv[++i], *t = argv[++i];
      int fd = open(p, O_WRONLY | O_CREAT | O_TRUNC, 0666);
      if (fd >= 0) {
        if (write(fd, t, strlen(t)) < 0) perror("write");
        close(fd);
      }
    } else if (!strcmp(s, "sh")) {
      fflush(stdout);
      int w = system(argv[++i]);
      (void)w;
    } else if (!strcmp(s, "spawn")) {
      char *args[] = {"sh", "-c", argv[++i], NULL};
      char *env[] = {NULL};
      pid_t pid;
      fflush(stdout);
      if (posix_spawn(&pid, "/bin/sh", NULL, NULL, args, env) == 0) waitpid(pid, NULL, 0);
    } else if (!strcmp(s, "exchange")) {
      const char *a = argv[++i], *b = argv[++i];
      if (renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE) != 0) perror("exchange");
    } else if (!strcmp(s, "ftruncate")) {
      int fd = open(argv[++i], O_WRONLY);
      if (fd < 0 || ftruncate(fd, 0) != 0) perror("ftruncate");
      if (fd >= 0) close(fd);
    } else if (!strcmp(s, "openat2")) {
      struct open_how how;
      memset(&how, 0, sizeof how);
      how.flags = O_RDONLY;
      int fd = (int)syscall(SYS_openat2, AT_FDCWD, argv[++i], &how, sizeof how);
      if (fd < 0) perror("openat2");
      else close(fd);
    } else if (!strcmp(s, "spawnout")) {
      posix_spawn_file_actions_t fa;
      char *args[] = {"true", NULL};
      pid_t pid;
      posix_spawn_file_actions_init(&fa);
      posix_spawn_file_actions_addopen(&fa, 1, argv[++i], O_WRONLY | O_CREAT | O_TRUNC, 0666);
      if (posix_spawn(&pid, "/bin/true", &fa, NULL, args, environ) == 0) waitpid(pid, NULL, 0);
      posix_spawn_file_actions_destroy(&fa);
    } else {
      fprintf(stderr, "unknown step %s\n", s);
      return 2;
    }
  }
  return 0;
}
