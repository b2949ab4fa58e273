#include "vob/vob_utl.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "ks/imsg.h"

extern char **environ;

ks_status_t vob_utl_compare(const char *a, const char *b, const char *, int, int) {
  std::fflush(stdout);
  char *argv[] = {const_cast<char *>("diff"), const_cast<char *>("-u"), const_cast<char *>(a),
                  const_cast<char *>(b), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "diff", nullptr, nullptr, argv, environ) != 0) {
    imsg_print(IMSG_ERROR, "Unable to compare \"%s\" with \"%s\"\n", -1, a, b);
    return KS_ST_ERR;
  }
  int status = 0;
  pid_t r;
  while ((r = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (r < 0 || !WIFEXITED(status) || WEXITSTATUS(status) > 1) {
    imsg_print(IMSG_ERROR, "Unable to compare \"%s\" with \"%s\"\n", -1, a, b);
    return KS_ST_ERR;
  }
  return WEXITSTATUS(status);
}
