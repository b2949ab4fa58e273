// Builder utilities: pathnames.
#pragma once

#include <cstddef>

#include "ks/ks_status.h"

// The absolute form of pathname in buf (size bytes): a pathname beginning with "/" is copied,
// any other is made absolute against the current directory. 0; KS_ST_NAME_TOO_LONG when it does
// not fit; KS_ST_ERR when the current directory is unknown. pathname and buf must not be null and
// size must be above 1 (assertions).
ks_status_t bldr_utl_cwd_accessible_abs_pn(const char *pathname, size_t size, char *buf);
