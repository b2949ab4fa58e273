// System utilities: facts about this host.
#pragma once

// This host's name (as gethostname gives it, "localhost" when it gives none). The text lives as
// long as the process.
const char *sysutl_myhostname();
