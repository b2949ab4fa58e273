#include "audit_util.h"

#include <cstdio>

namespace e2e {

ks_status_t read_audit_file(const std::string &path, bldr_cr_audit_table_t *t) {
  FILE *f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return KS_ST_ERR;
  ks_status_t st = bldr_cr_process_audit_file(fileno(f), t);
  std::fclose(f);
  return st;
}

std::vector<bldr_cr_audit_obj_t *> audit_records_named(bldr_cr_audit_table_t &t,
                                                      const std::string &leaf) {
  std::vector<bldr_cr_audit_obj_t *> out;
  for (auto *r : t.live)
    if (r->leaf == leaf) out.push_back(r);
  return out;
}

}  // namespace e2e
