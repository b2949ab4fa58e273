// The audit table: what an audit file says about the objects a rebuild touched, read record by
// record. The record writer turns it into derived objects and a configuration record.
//
// Audit file records (native byte order, no file header) begin with an 8-byte header: format
// number (u16; 11), reserved (u16), record length including the header (u16), record type (u16).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "ks/ks_status.h"
#include "tbs/tbs_oid.h"

// Record types of an audit file.
enum {
  BLDR_AUDIT_VOB = 1,
  BLDR_AUDIT_LOOKUP = 2,
  BLDR_AUDIT_READ = 3,
  BLDR_AUDIT_WRITE = 4,
  BLDR_AUDIT_READLINK = 5,
  BLDR_AUDIT_LOOKUP2 = 6,
  BLDR_AUDIT_CREATE = 7,
  BLDR_AUDIT_RENAME = 8,
  BLDR_AUDIT_REMOVE = 9,
  BLDR_AUDIT_TRUNCATE = 10,
  BLDR_AUDIT_CHOID = 11,
  BLDR_AUDIT_VIEW = 12,
  BLDR_AUDIT_CREATE2 = 13,
  BLDR_AUDIT_MARKER = 14,
};
#define BLDR_AUDIT_FORMAT 11
#define BLDR_AUDIT_HEADER_SIZE 8
// Offsets of the record layouts.
#define BLDR_AUDIT_A_NAME 124  // layout A: the name follows the parent OID
#define BLDR_AUDIT_B_SIZE 108  // layout B: no parent, no name
#define BLDR_AUDIT_RENAME_NAMES 60
#define BLDR_AUDIT_CHOID_SIZE 70
#define BLDR_AUDIT_VIEW_NAME 28
#define BLDR_AUDIT_MARKER_SIZE 12

// Object flags.
#define BLDR_OBJ_PREDEF 0x1       // accessed in section 1 (predefined dependencies)
#define BLDR_OBJ_LOOKED_UP 0x2    // looked up by the build script or while examining makefiles
#define BLDR_OBJ_READ 0x4
#define BLDR_OBJ_WRITTEN 0x8
#define BLDR_OBJ_INITIAL_DIR 0x10
#define BLDR_OBJ_CREATED 0x80
#define BLDR_OBJ_HISTORY 0x400
// Further flags.
#define BLDR_OBJ_X_UNLINKED 0x1
#define BLDR_OBJ_X_LINK_TEXT 0x2
#define BLDR_OBJ_X_MULTI_DTM 0x4
#define BLDR_OBJ_X_SUB_NEEDED 0x8
#define BLDR_OBJ_X_TRUNCATED 0x10
#define BLDR_OBJ_X_MAKEFILES 0x20

// One object under one name.
struct bldr_cr_audit_obj_t {
  tbs_oid_t oid{};
  int64_t mtime = 0;
  tbs_oid_t parent_oid{};  // null for a VOB root
  uint16_t vob_index = 0;
  uint32_t flags = 0;
  uint8_t ftype = 0;
  uint8_t mtype = 0;
  uint16_t zero = 0;
  tbs_oid_t elem_oid{};  // null when the object is its own element
  std::string leaf;      // empty for a VOB root
  tbs_oid_t vob_oid{};
  uint64_t further = 0;
  int64_t running_index = -1;
  std::string link_text;
  uint32_t objsn[2] = {0, 0};
  bldr_cr_audit_obj_t *earlier_oid_rec = nullptr;  // the object under its earlier OID
  bldr_cr_audit_obj_t *replaced_rec = nullptr;     // the object that had the name before
  uint64_t mtime_ns = 0;                           // sub-second part, for messages
};

// A VOB the build reached through its own view.
struct bldr_cr_audit_vob_t {
  std::string name;
  tbs_oid_t vob_oid{};
  tbs_oid_t root_oid{};
};

// The VOB index entry of a VOB.
struct bldr_cr_audit_vob_ix_t {
  uint16_t index = 0;
  int32_t needed = 0;
  int32_t removed = 0;
  std::string name;
};

// An object reached through another view.
struct bldr_cr_other_view_obj_t {
  std::string name;
  std::string pathname;
  int32_t skip = 0;
  int32_t is_dir = 0;
  tbs_oid_t oid{};
  tbs_oid_t parent_oid{};
  tbs_oid_t vob_oid{};
  uint32_t mtype = 0;
};

// Another view through which the build script reached files.
struct bldr_cr_other_view_accessor_t {
  std::optional<std::string> name;  // absent until a view entry names it
  tbs_uuid_t uuid{};
  std::vector<tbs_oid_t> vobs;
  std::vector<bldr_cr_other_view_obj_t> objs;
  int32_t reported = 0;
};

// A .class or .java file the script touched (only when pathnames are tracked).
struct bldr_cr_java_access_t {
  std::string pathname;
  uint32_t zero = 0;
  uint32_t modified = 0;
  uint32_t is_class = 0;
  uint32_t is_inner = 0;
  uint32_t segment_ended = 0;
};

// The inode table entry of {VOB OID, serial number}.
struct bldr_cr_inode_t {
  tbs_oid_t oid{};
  int32_t multi_versions = 0;
};

// The lists of the configuration record made from an audit table (bld/bldr_cr_create).
struct bldr_cr_rec_storage_t;

// The audit table.
struct bldr_cr_audit_table_t {
  std::deque<bldr_cr_audit_obj_t> store;  // owns every object record
  std::vector<bldr_cr_audit_vob_t> vobs;
  std::vector<bldr_cr_audit_obj_t *> live;
  std::vector<bldr_cr_audit_obj_t *> removed;
  std::unordered_map<std::string, std::vector<bldr_cr_audit_obj_t *>> obj_index;  // OID bytes
  std::unordered_map<std::string, bldr_cr_audit_vob_ix_t> vob_index;             // OID bytes
  std::unordered_map<std::string, tbs_oid_t> name_index;  // "<parent OID text>/<leaf>"
  std::unordered_map<std::string, bldr_cr_inode_t> inodes;  // VOB OID bytes + serial
  std::vector<std::unique_ptr<bldr_cr_other_view_accessor_t>> other_views;
  uint32_t track_pathnames = 0;
  std::vector<bldr_cr_java_access_t> java_accesses;
  std::unordered_map<std::string, std::string> pathnames;  // OID bytes -> absolute pathname
  std::shared_ptr<bldr_cr_rec_storage_t> rec_storage;      // lives as long as the table
};

// The view UUID of the build being audited: entries through any other view are other-view
// accesses.
extern tbs_uuid_t bldr_cr_view_uuid;

// Whether Java audits are in use (the Java script-marker test looks at script lines only then).
extern int32_t bldr_cr_java_audits;
// The script end string of a Java class-cycle member's script.
extern const char *bldr_cr_java_member_script_end;

// Reads the whole audit file open on fd into table. 0 at the end of the file; KS_ST_ERR after a
// message on a corrupt file (wrong format, truncated or malformed record, invalid type or
// marker); or the status of the first object entry that failed.
ks_status_t bldr_cr_process_audit_file(int fd, bldr_cr_audit_table_t *table);

// Applies one record (of length len) of any type other than 14 to the table, in section (the last
// marker read, 0 before the first). 0 or a failure status.
ks_status_t bldr_cr_audit_obj(const uint8_t *record, size_t len, uint32_t type,
                              bldr_cr_audit_table_t *table, uint32_t section);

// Records oid's absolute pathname (the name for a VOB root, else the parent's pathname, "." for an
// unseen parent, "/" name) when pathnames are tracked, the OID has none yet and name is not empty.
ks_status_t bldr_cr_require_audit_obj_abs_pn(bldr_cr_audit_table_t *table, int root,
                                             const tbs_oid_t *oid, const char *name,
                                             const tbs_oid_t *parent);

// The recorded pathname of oid; "/unknown/path" for an OID never seen (with a warning when
// traced).
const std::string &bldr_cr_get_oid_abs_pn(bldr_cr_audit_table_t *table, const tbs_oid_t *oid);

// Enters "<parent OID text>/<leaf>" into the name index for obj's OID and sets obj's leaf and
// parent. 0, or KS_ST_NAME_TOO_LONG when the key exceeds 1024 bytes.
ks_status_t bldr_cr_map_name_to_obj(bldr_cr_audit_table_t *table, bldr_cr_audit_obj_t *obj,
                                    const tbs_oid_t *parent, const std::string &leaf);

// Makes an other-view accessor (name may be null) with empty lists; returns it.
bldr_cr_other_view_accessor_t *bldr_cr_new_named_other_view_accessor_t(
    bldr_cr_audit_table_t *table, const char *name, const tbs_uuid_t *uuid);

// Marks obj's VOB as needed and the parent directories up to the VOB root as holding a needed
// object. 0; KS_ST_ERR after row 44 when a parent never appeared in the audit.
ks_status_t bldr_cr_mark_needed_recs(bldr_cr_audit_table_t *table, bldr_cr_audit_obj_t *obj,
                                     const char *name);

// Sets the history-mode flag on obj when its meta-type is 2 or 5, or when a record of its parent
// of meta-type 2, 5 or 11 has it. 0; KS_ST_ERR after row 44 for a parent without records.
ks_status_t bldr_cr_mark_if_history_mode(bldr_cr_audit_table_t *table, bldr_cr_audit_obj_t *obj,
                                         const char *name);

// True when an object of objs that was accessed in section 1 has dep's leaf name and the
// directory of dep, resolved through the view, has that object's parent OID: an explicit
// dependency that the build removed.
bool bldr_cr_is_deleted_explicit_dep(const std::vector<bldr_cr_audit_obj_t *> &objs,
                                     const char *dep);

// True when script_line begins with the Java class-cycle member's script end string while Java
// audits are in use.
bool bldr_cr_is_java_script_marker(const char *script_line);

// The key of the inode table for {VOB OID, serial number}.
std::string bldr_cr_inode_key(const tbs_oid_t &vob_oid, const uint32_t objsn[2]);
// The key of an OID in the table's OID-keyed indexes.
std::string bldr_cr_oid_key(const tbs_oid_t &oid);
