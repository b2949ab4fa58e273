// System utilities: facts about this host.
#pragma once

// This host's name (as gethostname gives it, "localhost" when it gives none). The text lives as
// long as the process.
const char *sysutl_myhostname();

#include <cstdio>

// A text that describes this host's system: the system's name, release and machine type, as
// uname gives them. The text lives as long as the process.
const char *sysutl_platform_description();

// Forces what was written through stream to disk (flushes it, then fsync). 0, or -1 with errno
// set.
int sysutl_fsync_fptr(FILE *stream);

// Marks the stream's descriptor close-on-exec. 0, or -1 with errno set.
int sysutl_set_cloexec_file(FILE *stream);

// Runs command through /bin/sh -c in the default environment of children (evutl) and waits for
// it: 0 when it exits with 0, the exit status (or 128 + signal number) when it does not, and -1
// with *error_number set when it cannot be started or waited for.
int sysutl_system_redirect(const char *command, int *error_number);
