// File-name globbing: the names that match a wildcard pattern, relative to a directory.
#pragma once

#include "ks/ks_status.h"

// Matches pattern ("*", "?" and "[...]" as the shell has them) against the file system; a
// relative pattern is taken against dir (null, "" or "." mean the current directory) and the
// names come back relative to it as well. *text becomes a new heap string (stg_free) with the
// matching names sorted by the locale's collation, separated by single blanks; a pattern that
// matches nothing comes back unchanged, so a name without wildcard characters is handed back as
// written whether or not it exists. 0; KS_ST_NO_MEMORY when memory runs out; KS_ST_ERR for a
// null pattern or text pointer. *text is null on every failure.
ks_status_t wild_glob(const char *pattern, const char *dir, char **text);
