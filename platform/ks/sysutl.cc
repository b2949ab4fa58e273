#include "ks/sysutl.h"

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <mutex>
#include <string>

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
