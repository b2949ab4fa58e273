#include "ks/ks_dl.h"

#include <dlfcn.h>

#include <cstdlib>

#include "ks/imsg.h"

namespace {

[[noreturn]] void fail(const char *what) {
  const char *why = dlerror();
  imsg_print(IMSG_ERROR, "Unable to load %s: %s\n", -1, what, why ? why : "not found");
  std::exit(1);
}

}  // namespace

void *ks_dl_symbol(ks_dl_library_t *lib, const char *name) {
  std::call_once(lib->once, [lib] {
    lib->handle = dlopen(lib->soname, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (lib->handle == nullptr && lib->own_copy != nullptr) {
      const std::string path = lib->own_copy();
      if (!path.empty()) lib->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (lib->handle == nullptr) lib->handle = dlopen(lib->soname, RTLD_NOW | RTLD_LOCAL);
    if (lib->handle == nullptr) fail(lib->soname);
  });
  void *fn = dlsym(lib->handle, name);
  if (fn == nullptr) fail(name);
  return fn;
}
