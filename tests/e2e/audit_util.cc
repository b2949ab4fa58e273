#include "audit_util.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "view/view_info.h"

namespace e2e {

void set_build_view(const std::string &tag) {
  view_handle_t h = VIEW_HANDLE_NULL;
  ASSERT_EQ(view_get_handle_by_tag(tag.c_str(), &h), KS_ST_OK) << tag;
  bldr_cr_view_uuid = *view_get_uuid(h);
  view_free_handle(h);
}

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
