// vessary_audit_cvt [-sync] AUDIT-FILE: converts the raw events of an audit into audit records.
// Run by the audit engine when an audit stops (or is synced) through the audit device; exits 0
// on success, 1 after printing why not.
#include <cstring>

#include "ks/imsg.h"
#include "view/view_audit.h"

int main(int argc, char **argv) {
  imsg_set_app_name("vessary_audit_cvt");
  bool final = true;
  int i = 1;
  if (i < argc && strcmp(argv[i], "-sync") == 0) final = false, i++;
  if (i + 1 != argc) {
    imsg_print(IMSG_ERROR, "Usage: vessary_audit_cvt [-sync] audit-file\n", -1);
    return 1;
  }
  return view_audit_convert(argv[i], final) == KS_ST_OK ? 0 : 1;
}
