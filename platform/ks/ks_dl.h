// Libraries loaded on first use instead of at program start, so that a program that never calls
// one does not pay for loading it and what it pulls in.
//
// A user declares one ks_dl_library_t per library and, in a header of its own, turns each call of
// a library function into KS_DL_CALL(library, function): a call through a pointer resolved once
// per call site.
#pragma once

#include <mutex>
#include <string>

struct ks_dl_library_t {
  explicit ks_dl_library_t(const char *soname, std::string (*own_copy)() = nullptr)
      : soname(soname), own_copy(own_copy) {}

  const char *soname;  // the name dlopen is given, "libxyz.so.N"
  // The pathname of the product's own build of the library, loaded instead of soname unless the
  // process already has soname (two copies in one process must not meet); empty or null when
  // there is none. When it cannot be loaded, soname is.
  std::string (*own_copy)();
  void *handle = nullptr;
  std::once_flag once;
};

// The address of name in lib, opening lib on first use. When the library or the function cannot
// be found it prints an error and ends the program (status 1): the installation is broken and
// nothing that needs the library can go on.
void *ks_dl_symbol(ks_dl_library_t *lib, const char *name);

#define KS_DL_CALL(lib, name)                                                              \
  ([]() {                                                                                  \
    static const auto fn = reinterpret_cast<decltype(&::name)>(ks_dl_symbol(&lib, #name)); \
    return fn;                                                                             \
  }())
