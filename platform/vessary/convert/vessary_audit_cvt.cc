// vessary_audit_cvt [-sync | -end] AUDIT-FILE: converts the raw events of an audit into audit
// records. Run by the audit engine when a process stops an audit (-end: the process that began
// it) or syncs it through the audit device; exits 0 on success, 1 after printing why not.
#include <cstring>

#include "ks/imsg.h"
#include "view/view_audit.h"

int main(int argc, char **argv) {
  imsg_set_app_name("vessary_audit_cvt");
  view_audit_cvt_t mode = VIEW_AUDIT_CVT_STOP;
  int i = 1;
  if (i < argc && strcmp(argv[i], "-sync") == 0) mode = VIEW_AUDIT_CVT_SYNC, i++;
  else if (i < argc && strcmp(argv[i], "-end") == 0) mode = VIEW_AUDIT_CVT_END, i++;
  if (i + 1 != argc) {
    imsg_print(IMSG_ERROR, "Usage: vessary_audit_cvt [-sync | -end] audit-file\n", -1);
    return 1;
  }
  return view_audit_convert(argv[i], mode) == KS_ST_OK ? 0 : 1;
}
