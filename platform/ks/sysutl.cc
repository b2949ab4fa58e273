#include "ks/sysutl.h"

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
