#include "ks/sysutl.h"

#include <fcntl.h>
#include <sys/utsname.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "ks/evutl.h"

const char *sysutl_myhostname() {
  static std::once_flag once;
  static std::string name;
  std::call_once(once, [] {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) == 0 && buf[0]) name = buf;
    else name = "localhost";
  });
  return name.c_str();
}

const char *sysutl_platform_description() {
  static std::once_flag once;
  static std::string text;
  std::call_once(once, [] {
    struct utsname u;
    if (uname(&u) == 0) text = std::string(u.sysname) + " " + u.release + " " + u.machine;
    else text = "unknown";
  });
  return text.c_str();
}

int sysutl_fsync_fptr(FILE *stream) {
  if (fflush(stream) != 0) return -1;
  return fsync(fileno(stream));
}

int sysutl_set_cloexec_file(FILE *stream) {
  int fd = fileno(stream);
  int flags = fcntl(fd, F_GETFD);
  if (flags < 0) return -1;
  return fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

int sysutl_system_redirect(const char *command, int *error_number) {
  int unused = 0;
  if (error_number == nullptr) error_number = &unused;
  *error_number = 0;
  evutl_env_t *env = nullptr;
  if (command == nullptr || evutl_copy_default_environ(EVUTL_DEFAULT_ENV, &env) != KS_ST_OK) {
    *error_number = EINVAL;
    return -1;
  }
  char sh[] = "sh";
  char dash_c[] = "-c";
  std::string text(command);
  char *argv[] = {sh, dash_c, text.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, evutl_env2environ(env));
  evutl_free(env);
  if (rc != 0) {
    *error_number = rc;
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      *error_number = errno;
      return -1;
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
