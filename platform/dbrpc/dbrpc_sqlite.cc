#include "dbrpc/dbrpc_sqlite.h"

ks_dl_library_t dbrpc_sqlite_library{DBRPC_SQLITE_SONAME};
