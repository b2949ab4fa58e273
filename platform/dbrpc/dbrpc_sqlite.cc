#include "dbrpc/dbrpc_sqlite.h"

#include "tbs/tbs_product.h"

namespace {

// The product's own build of the library, beside its other libraries; never a name relative to
// the working directory, which may hold anything.
std::string own_copy() {
#ifdef DBRPC_SQLITE_OWN_COPY
  const std::string home = tbs_product_loaded_home();
  return home.starts_with('/') ? home + "/" DBRPC_SQLITE_OWN_COPY : std::string();
#else
  return std::string();
#endif
}

}  // namespace

ks_dl_library_t dbrpc_sqlite_library{DBRPC_SQLITE_SONAME, own_copy};
