// Registering git repositories as VOBs (the platform tool's mkvob).
#pragma once

#include <string>

#include "ks/ks_status.h"

// Registers the git repository at path under tag. A missing path or an empty directory gets a
// new repository with an empty first commit, so that views can select it. The registry is
// left unchanged on any failure, and a repository made here is removed again. Returns
// KS_ST_OK, TBS_ST_EXISTS (tag or repository already registered) or KS_ST_ERR; the reason is
// printed.
ks_status_t vob_admin_register(const std::string &tag, const std::string &path);

// Removes every file below and including path, without following symbolic links; KS_ST_OK, or
// KS_ST_ERR when something stays. A missing path is fine.
ks_status_t vob_admin_remove_tree(const std::string &path);
