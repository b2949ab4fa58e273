// Examinations of the makefile layer that an audit records.
#pragma once

#include <sys/stat.h>

#include "ks/ks_status.h"
#include "view/view_xstat.h"

// stat of pathname (following links) into *st, recorded by a running audit. 0, or the status
// made from errno.
ks_status_t mf_stat_fileutl_stat(const char *pathname, struct stat *st);

// Extended stat of pathname through the view (following links), recorded by a running audit;
// the status of view_get_xstat. The four further values are accepted for the callers' shape.
ks_status_t mf_stat_view_get_xstat(const char *pathname, view_xstat_t *xs, int, int, int, int);
