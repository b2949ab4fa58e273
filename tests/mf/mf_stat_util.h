// A counting view for the stat and directory cache tests: the calls that reach the view's
// extended stat are counted, and a test may make them fail for one pathname.
#pragma once

#include <string>

#include "ks/ks_status.h"

namespace mfstat {

// Calls of view_lget_xstat and view_get_xstat made so far in this process.
int lget_calls();
int get_calls();
// Calls of view_get_fstat (the file status alone, without the identity).
int fstat_calls();

// Makes every extended stat (and file status) of pathname fail with status (KS_ST_OK: no failure) while it lives.
class FailingPath {
 public:
  FailingPath(const std::string &pathname, ks_status_t status);
  ~FailingPath();
};

}  // namespace mfstat
