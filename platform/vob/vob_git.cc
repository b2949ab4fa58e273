#include "vob/vob_git.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

#include "ks/imsg.h"

namespace {

[[noreturn]] void fail(const char *what) {
  const char *why = dlerror();
  imsg_print(IMSG_ERROR, "Unable to load %s: %s\n", -1, what, why ? why : "not found");
  std::exit(1);
}

void *library() {
  static void *handle = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    handle = dlopen(VOB_GIT_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) fail(VOB_GIT_SONAME);
  });
  return handle;
}

}  // namespace

void *vob_git_symbol(const char *name) {
  void *fn = dlsym(library(), name);
  if (fn == nullptr) fail(name);
  return fn;
}
