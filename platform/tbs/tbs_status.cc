#include "tbs/tbs_status.h"

#include <cstdio>

ks_status_t tbs_errno2status(int error_number) {
  switch (error_number) {
    case 0: return KS_ST_OK;
    case ENOENT: case ENOTDIR: return KS_ST_NOT_FOUND;
    case ENOMEM: return KS_ST_NO_MEMORY;
    case ENAMETOOLONG: return KS_ST_NAME_TOO_LONG;
    case ETIMEDOUT: return KS_ST_TIMEDOUT;
    default: return KS_ST_ERR;
  }
}

const char *tbs_strerror(ks_status_t status) {
  switch (status) {
    case KS_ST_OK: return "Success";
    case KS_ST_ERR: return "Error detected by the platform";
    case KS_ST_NOT_FOUND: return "Not found";
    case KS_ST_NOT_IN_VOB: return "Not a VOB object";
    case KS_ST_TIMEDOUT: return "Timed out";
    case KS_ST_VERSION_MISMATCH: return "Version mismatch";
    case KS_ST_NOT_IN_VIEW: return "Name not found in the view";
    case KS_ST_XDR_FAILED: return "XDR encoding or decoding failed";
    case KS_ST_NO_MEMORY: return "Storage exhausted";
    case KS_ST_TRUNCATED: return "Truncated data or checksum mismatch";
    case KS_ST_NAME_TOO_LONG: return "Pathname too long";
    case TBS_ST_EXISTS: return "Object already exists";
    default: {
      static thread_local char text[48];
      std::snprintf(text, sizeof text, "Unknown status %d", int(status));
      return text;
    }
  }
}

void tbs_log_int_error(const char *module, const imsg_msg_table_t *common_table, int row,
                       const char *file_stem, int line, int) {
  const char *what = (common_table && row >= 0 && row < common_table->count)
                         ? common_table->formats[row]
                         : "\n";
  imsg_print(IMSG_ERROR, "Internal error in %s (%s, line %d): ", -1, module ? module : "?",
             file_stem ? file_stem : "?", line);
  // The row's text may hold conversions for arguments this report does not have: print it as is.
  imsg_print(IMSG_ERROR_CONT, "%s", -1, what);
}

KS_DEFINE_VERID(libvosseltbs)
