// The counting view, and the site fixture of the end-to-end tests built into this folder.
#include "mf_stat_util.h"

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "../e2e/e2e_util.cc"
#include "../e2e/site_util.cc"
#include "view/view_xstat.h"

namespace mfstat {
namespace {

int lget_count = 0;
int get_count = 0;
int fstat_count = 0;
std::string failing_path;
ks_status_t failing_status = KS_ST_OK;

using xstat_fn = ks_status_t (*)(const char *, int, view_xstat_t *, tbs_oid_t *, tbs_uuid_t *,
                                 int, tbs_uuid_t *);

// The next definition of a function, by its (C++) symbol name.
xstat_fn next_fn(const char *name) {
  auto fn = reinterpret_cast<xstat_fn>(dlsym(RTLD_NEXT, name));
  if (fn == nullptr) std::abort();
  return fn;
}

}  // namespace

int lget_calls() { return lget_count; }
int get_calls() { return get_count; }
int fstat_calls() { return fstat_count; }

FailingPath::FailingPath(const std::string &pathname, ks_status_t status) {
  failing_path = pathname;
  failing_status = status;
}

FailingPath::~FailingPath() {
  failing_path.clear();
  failing_status = KS_ST_OK;
}

}  // namespace mfstat

// Definitions in the test program come before the view library's for every caller, so each
// extended stat of the code under test passes through here on its way to the real view.
ks_status_t view_lget_xstat(const char *path, int flag, view_xstat_t *vstat, tbs_oid_t *vob_oid,
                            tbs_uuid_t *view_uuid, int unused, tbs_uuid_t *replica_uuid) {
  static const mfstat::xstat_fn real =
      mfstat::next_fn("_Z15view_lget_xstatPKciP12view_xstat_tP9tbs_oid_tP10tbs_uuid_tiS6_");
  mfstat::lget_count++;
  if (mfstat::failing_status != KS_ST_OK && path && mfstat::failing_path == path)
    return mfstat::failing_status;
  return real(path, flag, vstat, vob_oid, view_uuid, unused, replica_uuid);
}

ks_status_t view_get_xstat(const char *path, int flag, view_xstat_t *vstat, tbs_oid_t *vob_oid,
                           tbs_uuid_t *view_uuid, int unused, tbs_uuid_t *replica_uuid) {
  static const mfstat::xstat_fn real =
      mfstat::next_fn("_Z14view_get_xstatPKciP12view_xstat_tP9tbs_oid_tP10tbs_uuid_tiS6_");
  mfstat::get_count++;
  if (mfstat::failing_status != KS_ST_OK && path && mfstat::failing_path == path)
    return mfstat::failing_status;
  return real(path, flag, vstat, vob_oid, view_uuid, unused, replica_uuid);
}

ks_status_t view_get_fstat(const char *path, int follow, view_fstat_t *fstat) {
  using fstat_fn = ks_status_t (*)(const char *, int, view_fstat_t *);
  static const auto real =
      reinterpret_cast<fstat_fn>(dlsym(RTLD_NEXT, "_Z14view_get_fstatPKciP12view_fstat_t"));
  if (real == nullptr) std::abort();
  mfstat::fstat_count++;
  if (mfstat::failing_status != KS_ST_OK && path && mfstat::failing_path == path)
    return mfstat::failing_status;
  return real(path, follow, fstat);
}
