// The message table and the process-wide flags of the audit and configuration-record module.
#include "bld/bldr_cr.h"

#include <array>
#include <cstdarg>
#include <cstdlib>

#include "mf/mf_utl.h"

namespace {

constexpr int kRows = 170;

constexpr std::array<const char *, kRows> make_formats() {
  std::array<const char *, kRows> f{};
  for (auto &x : f) x = "%s";
  f[33] = "Expected audit file format %u, found %u\n";
  f[34] = "Unable to access predefined dependency \"%s\" - %s\n";
  f[35] = "Inconsistent version for dependency \"%s\"\n";
  f[36] = "NIMBREL file length was %llu, BC file length was %llu\n";
  f[37] = "Recomputing CRC. NIMBREL DTM was %s, BC DTM was %s\n";
  f[38] = "Initial directory version OID = %s\n";
  f[39] = "NIMBREL crc was %lu, BC crc was %lu\n";
  f[42] = "Unable to initialize configuration record tables\n";
  f[44] = "Parent directory for component \"%s\" did not appear in audit\n";
  f[45] = "Unable to start Vessary audit - %s\n";
  f[46] = "Unable to stop Vessary audit - %s\n";
  f[47] = "Encountered change-OID audit entry, new OID already encountered in audit (%s)\n";
  f[48] = "Processing choid for \"%s\" (%s  ==> %s)\n";
  f[49] = "Processing rename of \"%s\" to \"%s\"\n";
  f[50] = "Unable to find record for previous object (%s) with target name (%s) from audit "
          "RENAME entry\n";
  f[51] = "Old name (%s) for rename audit entry was unknown - continuing...\n";
  f[52] = "OID (%s) unknown for old name info in audit RENAME entry: \"%s\"\n";
  f[53] = "Unable to locate object record for OID (%s) which maps to old name (%s) in audit "
          "RENAME entry\n";
  f[54] = "Invalid audit entry type %u\n";
  f[56] = "Making new object record for oid %s\n";
  f[57] = "Old leaf name was \"%s\"\n";
  f[58] = "New leaf name is \"%s\"\n";
  f[59] = "Invalid audit type %d\n";
  f[60] = "Too many 'bldr' files in \"%s\"\n";
  f[61] = "Unable to change current directory to \"%s\" - %s\n";
  f[62] = "Script(s) done - about to process audit\n";
  f[63] = "Leaving audit files in \"%s\"\n";
  f[65] = "Mark-as-needed: \"%s\"\n";
  f[80] = "Reading audit file for %s\n";
  f[81] = "View \"%s\" encountered while setting initial working directory for target rebuild\n";
  f[82] = "View \"%s\" encountered while checking makefile dependencies for target rebuild\n";
  f[83] = "Audit file corrupted - truncated?\n";
  f[84] = "About to process audits...\n";
  f[89] = "Audit contained change-OID audit entry for unknown OID\n";
  f[90] = "Old OID for CHOID: \"%s\"\n";
  f[91] = "New OID for CHOID: \"%s\"\n";
  f[92] = "Multiple DTMs for \"%s\"\n";
  f[93] = "Previous DTM was: %s (+ %lu)\n";
  f[94] = "New DTM is: %s (+ %lu)\n";
  f[95] = "Build script audit file is \"%s\"\n";
  f[99] = "Unseen choid, audit entry type %d\nOLD oid: %s\nNEW oid: %s\nOBJSN:%x.%x\n";
  f[100] = "Unable to generate name of audit file in directory \"%s\" using supplied buffer\n";
  f[108] = "Unable to place marker in Vessary audit - %s\n";
  f[112] = "Encountered change-OID audit entry where new OID (%s) was the same as old OID\n";
  f[116] = "Unable to access makefile \"%s\" - %s\n";
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

const imsg_msg_table_t _bldr_cr_karsel_msg_table = {
    "karsel_bin", "bld/bldr_cr", 402, kRows, formats.data(), catalog.data(),
};

int32_t bldr_cr_save_audit_files = 0;
int32_t bldr_cr_local_rbld = 0;
int32_t bldr_cr_child_build_avoidance = 0;
int32_t bldr_cr_ignore_previous_inode = 0;

void bldr_cr_note_auto_save_audit_files() {
  if (std::getenv("ORVA_AUTO_SAVE_AUDIT_FILES") != nullptr) bldr_cr_save_audit_files = 1;
}

view_handle_t bldr_cr_view_server_handle = VIEW_HANDLE_NULL;
char bldr_cr_view_tag_name[256] = "";
tbs_oid_t bldr_cr_initial_dir_ver_oid = TBS_OID_NULL;

void bldr_cr_report_int_error(const char *file, int line) {
  imsg_print(IMSG_ERROR, "Internal error detected in \"%s\", line %d\n", -1, file, line);
  bldr_cr_save_audit_files = 1;
}

bool bldr_cr_traced(int level) { return mf_utl_should_trace("bldr_cr", level); }

void bldr_cr_trace(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  imsg_vprint(IMSG_TRACE, "bld/bldr_cr", format, ap);
  va_end(ap);
}
