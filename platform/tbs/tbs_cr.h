// Configuration records: what one audited build read and wrote, the script that ran and the
// build's circumstances, with their XDR form (the form in which VOBs and record caches keep them).
//
// A record's lists refer to one another by index: an object entry names its VOB by its position in
// the VOB list; a link text, and an explicit dependency, name their object by its position in the
// object list. An object's parent is named by the parent's OID; a VOB's root object has the null
// parent OID and an empty name.
#pragma once

#include <rpc/xdr.h>

#include <cstdint>

#include "ks/ks_status.h"
#include "tbs/tbs_cr_predef.h"
#include "tbs/tbs_oid.h"

// The record format that builds write, and the one this platform reads.
#define TBS_CR_FORMAT 6

// Bits of tbs_cr_obj_t::flags.
#define TBS_CR_OBJ_PREDEF 0x1           // a makefile-declared dependency
#define TBS_CR_OBJ_DETECTED 0x2         // looked up by the build script
#define TBS_CR_OBJ_READ 0x4
#define TBS_CR_OBJ_WRITTEN 0x8
#define TBS_CR_OBJ_INITIAL_DIR 0x10     // accessed while entering the initial directory
#define TBS_CR_OBJ_NEW_DO 0x20          // a derived object that this record's build created
#define TBS_CR_OBJ_SUB_DO 0x40          // a derived object that the build read
#define TBS_CR_OBJ_CREATED 0x80         // created during the build
#define TBS_CR_OBJ_NON_CRITICAL 0x100   // not compared when the record is matched
#define TBS_CR_OBJ_INCR_REPO 0x200      // an incremental repository object
#define TBS_CR_OBJ_HISTORY 0x400
#define TBS_CR_OBJ_TARGET 0x800         // the target of an incremental build
#define TBS_CR_OBJ_PRIMARY 0x1000       // the primary dependency
#define TBS_CR_OBJ_MERGE_TAKEN 0x2000   // taken over from the previous record
#define TBS_CR_OBJ_TARGET_RENAMED 0x4000
#define TBS_CR_OBJ_MERGE_MATCHED 0x8000

// File types of tbs_cr_obj_t::ftype.
#define TBS_CR_FTYPE_FILE 1
#define TBS_CR_FTYPE_DIR 2
#define TBS_CR_FTYPE_SLINK 5

// One object the build touched (80 bytes).
struct tbs_cr_obj_t {
  tbs_oid_t oid;
  int64_t mtime;         // seconds
  tbs_oid_t parent_oid;  // null for a VOB's root
  uint16_t vob_index;    // into tbs_cr_t::vobs
  uint32_t flags;        // TBS_CR_OBJ_*
  uint8_t ftype;         // TBS_CR_FTYPE_* or another object type
  uint8_t mtype;         // the object's meta-type
  uint16_t zero;
  tbs_oid_t elem_oid;    // null when the object is its own element
  char *name;            // the leaf, or a name relative to the parent; empty for a VOB's root
};

// A VOB of the record (40 bytes).
struct tbs_cr_vob_t {
  char *name;  // "<host>:<VOB tag>"
  tbs_oid_t vob_oid;
  tbs_oid_t root_oid;
};

// The text of a symbolic link of the record.
struct tbs_cr_linktext_t {
  char *text;
  uint32_t obj_index;
};

// A makefile-declared dependency inside the versioned file system.
struct tbs_cr_explicit_dep_t {
  char *name;        // as the makefile names it
  char *vpath_name;  // the pathname where it was found; empty when it did not exist
  int32_t obj_index; // the object of the record it resolved to; -1 none
};

// A configuration record. The texts and arrays are owned by whoever made the record: a decoded or
// copied record lives in one heap block (stg), which tbs_cr_free_cr_stg releases; so does a record
// whose texts and arrays were each allocated with malloc (stg null).
struct tbs_cr_t {
  int32_t format;  // TBS_CR_FORMAT
  int64_t build_start;  // seconds
  uint32_t uid;
  uint32_t gid;
  char *login_name;
  char *group_name;
  char *host_name;
  char *platform;
  char *initial_dir;  // canonical pathname of the directory the build ran in
  tbs_oid_t initial_dir_ver_oid;
  tbs_uuid_t view_uuid;
  char *view_host_path;  // "<view host>:<view storage path>"
  int64_t ref_time[2];   // seconds, microseconds
  char *target_name;
  uint32_t str_count;  // texts kept with the target (carried over by incremental builds)
  char **strs;
  uint32_t script_count;
  char **scripts;
  uint32_t explicit_dep_count;
  tbs_cr_explicit_dep_t **explicit_deps;
  uint32_t fs_dep_count;
  tbs_cr_fs_predef_t **fs_deps;
  uint32_t var_def_count;
  char **var_defs;
  uint32_t vob_count;
  tbs_cr_vob_t *vobs;
  uint32_t obj_count;
  tbs_cr_obj_t **objs;
  uint32_t linktext_count;
  tbs_cr_linktext_t *linktexts;
  void *stg;  // the one block a decoded record lives in; null in a record made field by field
};

// Encodes or frees a record by the stream's direction (arg is passed through and not used).
// Records are decoded from their bytes by tbs_cr_decode: the decode direction fails.
bool_t xdr_tbs_cr_t(XDR *xdrs, tbs_cr_t *cr, void *arg);

// Whether the record's format is one this platform reads.
bool tbs_cr_is_supported_fmt(const tbs_cr_t *cr);

// A deep copy of cr into *dest (heap storage; free it with tbs_cr_free_cr_stg). flag is not used.
// 0; KS_ST_NO_MEMORY when memory runs out (*dest is then zeroed); KS_ST_XDR_FAILED when cr cannot
// be encoded.
ks_status_t tbs_cr_copy_cr(const tbs_cr_t *cr, int flag, tbs_cr_t *dest);

// Releases the heap storage of a decoded or copied record and zeroes it.
void tbs_cr_free_cr_stg(tbs_cr_t *cr);

// The record's encoded form as one heap buffer (free it with free); null when it cannot be
// encoded or memory runs out.
char *tbs_cr_encode(const tbs_cr_t *cr, size_t *len);

// Decodes a record from len bytes into *cr, in one heap block of at most a few times len (free
// it with tbs_cr_free_cr_stg), checking that it holds together: a supported format, every index
// in range, no null text or entry where one is needed. 0; KS_ST_XDR_FAILED when the bytes are
// not one whole record (*cr is then zeroed); KS_ST_NO_MEMORY when memory runs out.
ks_status_t tbs_cr_decode(const void *data, size_t len, tbs_cr_t *cr);

// The bytes of a block that decodes a record of len bytes in place.
size_t tbs_cr_decode_block_size(size_t len);

// Decodes, as tbs_cr_decode does, the len bytes at the start of block (of at least
// tbs_cr_decode_block_size(len) bytes) into *cr, within the block: the record lives in block and
// its texts point into those bytes. The caller keeps the block, and frees it instead of the
// record (cr->stg is the block), so that one block can serve record after record.
ks_status_t tbs_cr_decode_in_place(char *block, size_t len, tbs_cr_t *cr);
