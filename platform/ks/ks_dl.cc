#include "ks/ks_dl.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <cstring>

#include "ks/imsg.h"

namespace {

[[noreturn]] void fail(const char *what) {
  const char *why = dlerror();
  imsg_print(IMSG_ERROR, "Unable to load %s: %s\n", -1, what, why ? why : "not found");
  std::exit(1);
}

// Whether the process has loaded a file whose name starts with soname ("libxyz.so.N" or
// "libxyz.so.N.M.P"). Asked of the loader's list: dlopen with RTLD_NOLOAD would search the
// library path and open the file to tell.
bool loaded(const char *soname) {
  struct Query {
    const char *soname;
    bool found;
  } q{soname, false};
  dl_iterate_phdr(
      [](struct dl_phdr_info *info, size_t, void *data) {
        auto *q = static_cast<Query *>(data);
        const char *slash = info->dlpi_name ? std::strrchr(info->dlpi_name, '/') : nullptr;
        const char *base = slash ? slash + 1 : info->dlpi_name;
        q->found = base && std::strncmp(base, q->soname, std::strlen(q->soname)) == 0;
        return q->found ? 1 : 0;
      },
      &q);
  return q.found;
}

}  // namespace

void *ks_dl_symbol(ks_dl_library_t *lib, const char *name) {
  std::call_once(lib->once, [lib] {
    if (lib->own_copy != nullptr && !loaded(lib->soname)) {
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
