// System utilities: the user running the process.
#pragma once

#include <cstddef>

#include "ks/ks_status.h"

// The login name of the process's real user (the password entry of its user id, else LOGNAME or
// USER from the environment), or null when none can be found. The text lives until the next call.
const char *sysutl_myloginname();

// The home directory of user from its password entry (not HOME) into buf. 0; KS_ST_NOT_FOUND
// when there is no entry; KS_ST_NAME_TOO_LONG when it does not fit.
ks_status_t sysutl_get_homedir(const char *user, char *buf, size_t size);

// The login shell of the process's real user (its password entry), "/bin/sh" when it has none.
// The text lives as long as the process.
const char *sysutl_get_shell_info();

// The name of the process's real group (its group entry), or null when it has none. The text
// lives until the next call.
const char *sysutl_mygroupname();
