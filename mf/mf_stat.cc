// Examinations of the makefile layer that an audit records.
#include "mf/mf_stat.h"

#include <cerrno>

#include "ks/fileutl.h"
#include "tbs/tbs_status.h"
#include "view/view_audit.h"

ks_status_t mf_stat_fileutl_stat(const char *pathname, struct stat *st) {
  view_audit_note_stat(pathname, 1);
  if (fileutl_stat(pathname, 1, st) != 0) return tbs_errno2status(errno);
  return KS_ST_OK;
}

ks_status_t mf_stat_view_get_xstat(const char *pathname, view_xstat_t *xs, int, int, int, int) {
  view_audit_note_stat(pathname, 1);
  return view_get_xstat(pathname, 0, xs, nullptr, nullptr, 0, nullptr);
}
