// Utilities of the VOB layer for its clients: showing how two text files differ.
#pragma once

#include "ks/ks_status.h"

// Prints how file b differs from file a on standard output (a unified difference of their
// lines). options: "-quiet" prints nothing when they are equal; mode and flags are accepted for
// the callers' shape. 0 when the files are equal, 1 when they differ, KS_ST_ERR after a message
// when they cannot be compared.
ks_status_t vob_utl_compare(const char *a, const char *b, const char *options, int mode,
                            int flags);
