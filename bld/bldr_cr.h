// The audit and configuration-record module: its message table and its process-wide flags.
#pragma once

#include <cstdint>

#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "tbs/tbs_oid.h"
#include "view/view_info.h"

// Message table of the module "bld/bldr_cr"; rows are printed by number.
extern const imsg_msg_table_t _bldr_cr_karsel_msg_table;

// Rows of the table used by the audit files and the audit reader.
enum {
  BLDR_CR_MSG_EXPECTED_FMT = 33,
  BLDR_CR_MSG_PREDEF_DEP = 34,
  BLDR_CR_MSG_INITIAL_DIR_OID = 38,
  BLDR_CR_MSG_NO_CR_TABLES = 42,
  BLDR_CR_MSG_INCONSISTENT_DEP = 35,
  BLDR_CR_MSG_DEP_LENGTHS = 36,
  BLDR_CR_MSG_RECOMPUTING_CRC = 37,
  BLDR_CR_MSG_DEP_CRCS = 39,
  BLDR_CR_MSG_PARENT_NOT_AUDITED = 44,
  BLDR_CR_MSG_START_FAILED = 45,
  BLDR_CR_MSG_STOP_FAILED = 46,
  BLDR_CR_MSG_CHOID_NEW_SEEN = 47,
  BLDR_CR_MSG_CHOID_PROCESS = 48,
  BLDR_CR_MSG_RENAME = 49,
  BLDR_CR_MSG_RENAME_NO_PREV = 50,
  BLDR_CR_MSG_RENAME_OLD_UNKNOWN = 51,
  BLDR_CR_MSG_RENAME_OID_UNKNOWN = 52,
  BLDR_CR_MSG_RENAME_NO_RECORD = 53,
  BLDR_CR_MSG_INVALID_ENTRY = 54,
  BLDR_CR_MSG_NEW_OBJ_RECORD = 56,
  BLDR_CR_MSG_OLD_LEAF = 57,
  BLDR_CR_MSG_NEW_LEAF = 58,
  BLDR_CR_MSG_INVALID_TYPE = 59,
  BLDR_CR_MSG_TOO_MANY_FILES = 60,
  BLDR_CR_MSG_CHDIR = 61,
  BLDR_CR_MSG_SCRIPTS_DONE = 62,
  BLDR_CR_MSG_LEAVING_FILES = 63,
  BLDR_CR_MSG_MARK_NEEDED = 65,
  BLDR_CR_MSG_READING_AUDIT = 80,
  BLDR_CR_MSG_VIEW_INITIAL_DIR = 81,
  BLDR_CR_MSG_VIEW_MAKEFILE_DEPS = 82,
  BLDR_CR_MSG_TRUNCATED = 83,
  BLDR_CR_MSG_ABOUT_TO_PROCESS = 84,
  BLDR_CR_MSG_CHOID_UNKNOWN = 89,
  BLDR_CR_MSG_CHOID_OLD = 90,
  BLDR_CR_MSG_CHOID_NEW = 91,
  BLDR_CR_MSG_MULTIPLE_DTMS = 92,
  BLDR_CR_MSG_PREVIOUS_DTM = 93,
  BLDR_CR_MSG_NEW_DTM = 94,
  BLDR_CR_MSG_SCRIPT_AUDIT_FILE = 95,
  BLDR_CR_MSG_UNSEEN_CHOID = 99,
  BLDR_CR_MSG_NAME_BUFFER = 100,
  BLDR_CR_MSG_MARKER_FAILED = 108,
  BLDR_CR_MSG_CHOID_SAME = 112,
  BLDR_CR_MSG_MAKEFILE_ACCESS = 116,
};

// Process-wide flags of the module (0 or 1).
// Keep audit files instead of removing them (set on internal errors of the audit reader, and on
// failures to close or remove an audit file when ORVA_AUTO_SAVE_AUDIT_FILES is set).
extern int32_t bldr_cr_save_audit_files;
// The current rebuild runs in this process.
extern int32_t bldr_cr_local_rbld;
// The audit held marker 5: a nested make run built nothing.
extern int32_t bldr_cr_child_build_avoidance;
// An object entry was read in section 6: the next inode-table entry replaces the previous OID.
extern int32_t bldr_cr_ignore_previous_inode;


// The status with which the record writer reports interference from another process (a file
// changed or replaced while the build ran): the rebuild fails, but the make goes on.
#define BLDR_CR_ST_INTERFERENCE 1003

// The build whose record is being written (set by the rebuild drivers for the writer).
extern view_handle_t bldr_cr_view_server_handle;  // its view
extern char bldr_cr_view_tag_name[256];           // that view's tag
extern tbs_oid_t bldr_cr_initial_dir_ver_oid;     // the version of its initial directory

// Reports an internal error found at line of file (the caller continues the message with its own
// row at error-continuation severity) and keeps the audit files for inspection.
void bldr_cr_report_int_error(const char *file, int line);

// Prints a trace of the module (printf format; the caller decides whether it is wanted).
void bldr_cr_trace(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Whether traces of the module are wanted at level (the make verbosity, or the trace name
// "bldr_cr").
bool bldr_cr_traced(int level);

// Sets the keep-audit-files flag after a warning when ORVA_AUTO_SAVE_AUDIT_FILES is set.
void bldr_cr_note_auto_save_audit_files();
