// Status texts and internal-error reports.
#pragma once

#include <cerrno>

#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/ks_verid.h"

KS_DECLARE_VERID(libvosseltbs)

// Platform statuses beyond the common ones.
#define TBS_ST_EXISTS 1012  // the named object (a tag, a pathname) already exists

// The text of a status code, for messages ("not found" for KS_ST_NOT_FOUND, ...).
const char *tbs_strerror(ks_status_t status);

// The status that stands for a system error number.
ks_status_t tbs_errno2status(int error_number);

// Reports an internal error: row of the common table under module, with the source file stem
// and line where it was detected. The caller then returns KS_ST_ERR or panics.
[[gnu::cold]] void tbs_log_int_error(const char *module, const imsg_msg_table_t *common_table,
                                   int row, const char *file_stem, int line, int flags);
