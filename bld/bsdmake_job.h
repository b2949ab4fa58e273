// One shell per build script: turns a target's build script, with the "@" (silent) and "-"
// (ignore errors) prefixes of its lines, into one script for /bin/sh or /bin/csh, and gives the
// option word the shell is started with.
#pragma once

#include <cstdint>

#include "ks/imsg.h"
#include "ks/ks_status.h"

// Message table of the module "bld/bsdmake_job".
extern const imsg_msg_table_t _bsdmake_job_karsel_msg_table;
enum {
  BSDMAKE_JOB_MSG_SCRIPT = 0,       // "One shell build script is:\n%s-------\n"
  BSDMAKE_JOB_MSG_UNSUPPORTED = 1,  // "Shell \"%s\" not supported for one shell per ..."
};

// Builds the one-shell script of script (one command per line, every line ended by a newline)
// for shell, "/bin/sh" or "/bin/csh". silent and ignore_errors apply to the whole target;
// skip_first passes over the first character of every line before its prefixes. *result is the
// script, owned by this module until the next call. KS_ST_ERR (after the message, *result null)
// for another shell or a last line without its newline.
ks_status_t bsdmake_job_one_shell_script(const char *shell, const char *script, int32_t silent,
                                         int32_t ignore_errors, int32_t skip_first,
                                         char **result);

// The option word of shell: "-", then the flag that stops at the first failure unless
// ignore_errors, then the flag that echoes commands unless silent ("-ev" for both). *flags is a
// heap copy (stg_free). KS_ST_ERR (after the message, *flags null) for an unsupported shell.
ks_status_t bsdmake_job_shell_flags(const char *shell, int32_t silent, int32_t ignore_errors,
                                    char **flags);
