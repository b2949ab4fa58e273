// The message table of the build driver.
#include "bld/bldr.h"

#include <array>
#include <cstdint>

namespace {

constexpr int kRows = 43;

constexpr std::array<const char *, kRows> make_formats() {
  std::array<const char *, kRows> f{};
  for (auto &x : f) x = "%s";
  f[BLDR_MSG_NO_WHERE_WD] = "Unable to determine canonical path for current working directory - %s\n";
  f[BLDR_MSG_NO_VIEW] = "No current view\n";
  f[BLDR_MSG_NO_CWD] = "Unable to determine current working directory - %s\n";
  f[BLDR_MSG_REESTABLISHING] = "Re-establishing previous Vessary audit\n";
  f[BLDR_MSG_AUDIT_FILE] = "Audit file pathname: \"%s\"\n";
  f[BLDR_MSG_NO_REESTABLISH] = "Unable to re-establish previous audit - %s\n";
  f[BLDR_MSG_NO_AUDIT_STATE] = "Unable to get Vessary audit state - %s\n";
  f[BLDR_MSG_NO_SUSPEND] = "Unable to suspend existing Vessary audit - %s\n";
  f[BLDR_MSG_SUSPENDING] = "Suspending existing Vessary audit\n";
  f[BLDR_MSG_NO_SYNC] = "Unable to synchronize existing Vessary audit - %s\n";
  f[BLDR_MSG_NO_REF_TIME] = "Unable to get reference time from view_server\n";
  f[BLDR_MSG_BHANDLE] = "View build handle: \n\tbuild_session = %X, build_id = %X\n";
  f[BLDR_MSG_NO_SET_BHANDLE] = "Unable to set view build handle with the Vessary\n";
  f[BLDR_MSG_NO_RELEASE_BHANDLE] = "Unable to release view build handle\n";
  f[BLDR_MSG_REF_TIME] = "Reference time is \"%s\"\n";
  f[BLDR_MSG_NO_SESSION] = "Unable to start build session for view \"%s\" - %s\n";
  f[BLDR_MSG_AUTOMATIC_VIEW] = "Not supported in an automatic view\n";
  return f;
}

constexpr std::array<uint16_t, kRows> make_catalog() {
  std::array<uint16_t, kRows> c{};
  for (int i = 0; i < kRows; ++i) c[i] = uint16_t(i);
  return c;
}

constexpr auto formats = make_formats();
constexpr auto catalog = make_catalog();

}  // namespace

const imsg_msg_table_t _bldr_karsel_msg_table = {
    "karsel_bin", "bld/bldr", 400, kRows, formats.data(), catalog.data(),
};
