// The view a command runs in, settled from its working directory and its set view.
#pragma once

#include "ks/ks_status.h"

// Settles the view of a process whose working directory is cwd: a directory under a view's tree
// makes that view the process's set view (children inherit it); a directory outside every view
// leaves the process with its set view, or with none. 0 in those cases; KS_ST_ERR after a message
// when the process is set to another view than the directory's or its set view is unknown; the
// platform's status when the directory cannot be examined.
ks_status_t cr_utl_require_set_view_if_cdview(const char *cwd);
