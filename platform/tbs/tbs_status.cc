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

namespace {

// The text of each status, looked up in a table: a switch would become a jump table, an object
// without a name, which the program's symbol order cannot bring forward when a run reads it.
constexpr struct {
  ks_status_t status;
  const char *text;
} kStatusTexts[] = {
    {KS_ST_OK, "Success"},
    {KS_ST_ERR, "Error detected by the platform"},
    {KS_ST_NOT_FOUND, "Not found"},
    {KS_ST_NOT_IN_VOB, "Not a VOB object"},
    {KS_ST_TIMEDOUT, "Timed out"},
    {KS_ST_VERSION_MISMATCH, "Version mismatch"},
    {KS_ST_NOT_IN_VIEW, "Name not found in the view"},
    {KS_ST_XDR_FAILED, "XDR encoding or decoding failed"},
    {KS_ST_NO_MEMORY, "Storage exhausted"},
    {KS_ST_TRUNCATED, "Truncated data or checksum mismatch"},
    {KS_ST_NAME_TOO_LONG, "Pathname too long"},
    {TBS_ST_EXISTS, "Object already exists"},
};

}  // namespace

const char *tbs_strerror(ks_status_t status) {
  for (const auto &t : kStatusTexts)
    if (t.status == status) return t.text;
  static thread_local char text[48];
  std::snprintf(text, sizeof text, "Unknown status %d", int(status));
  return text;
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
