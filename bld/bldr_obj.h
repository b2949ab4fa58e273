// Derived-object matching, promotion and winkin: the version table of a session (what each
// pathname designates in the view now), the comparison of a candidate's configuration record with
// the view (versioned objects, siblings, files outside the VOBs, declared dependencies), and the
// steps that make an accepted candidate the view's object (promotion to a shared derived object,
// winkin of it, its siblings, links and directories).
#pragma once

#include <cstdint>

#include "bld/bldr_cm.h"
#include "cm/cr_utl_hash.h"
#include "cm/cr_utl_nt.h"
#include "ks/hash.h"
#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"
#include "tbs/tbs_cr.h"

// Message table of the module "bld/bldr_obj" (trace name "bldr_obj").
extern const imsg_msg_table_t _bldr_obj_karsel_msg_table;

// State bits of a version-table entry.
#define BLDR_OBJ_VT_FILLED 0x1u
#define BLDR_OBJ_VT_NO_OBJECT 0x2u
#define BLDR_OBJ_VT_NON_VESSARY 0x4u

// What a pathname designates now (an entry of the version table). A fresh entry is all zero.
struct bldr_obj_vt_info_t {
  uint64_t state;                 // BLDR_OBJ_VT_*: 1 versioned, 3 no object, 5 non-Vessary
  bldr_obj_vt_info_t *link;       // a symbolic link's target, filled when first asked for
  const char *last_hashing_tgt;   // the last target whose hashes this entry fed
  // An object of the versioned file system.
  uint32_t type;                  // VIEW_FTYPE_* (2 directory, 5 symbolic link)
  tbs_oid_t ver_oid;              // the version or object selected now
  tbs_oid_t elem_oid;             // null for a view-private object
  char *link_text;                // a symbolic link's text when read (session area)
  uint32_t klass;                 // the meta-type (19 view-private)
  // An object outside the versioned file system.
  uint8_t ftype;                  // VIEW_FTYPE_*
  uint64_t size;
  uint32_t crc;                   // 0: not yet computed (a computed 0 is kept as 0xFFFFFFFF)
  int64_t mtime;                  // seconds
};

// The version table of a session: a string hash keyed by pathname with bldr_obj_vt_info_t
// entries. Null when it cannot be made.
hash_ht_t bldr_obj_vertab_create();

// Forgets every entry (after a rebuild: what the view designates may have changed).
void bldr_obj_vertab_flush(hash_ht_t vertab);

// The entry of pathname, filled on first use (following a symbolic link with follow: then the
// link's target's entry), into *out. 0, or the failure status of the fill (the entry is then
// filled again at the next call).
ks_status_t bldr_obj_vertab_get_info(hash_ht_t vertab, const char *pathname, int follow,
                                     stg_area_t area, const bldr_cm_view_info_t *vi,
                                     bldr_obj_vt_info_t **out);

// The pattern lists that change the rules of reuse (each may be null: it matches nothing).
struct bldr_obj_lists_t {
  list_handle_t sibling_ignored;
  list_handle_t dependency_ignored;
  list_handle_t directory_ignored;
  list_handle_t directory_affects;
  list_handle_t no_do_for_sibling;
  list_handle_t no_sibling_do_contained_in;
  list_handle_t incremental_repository_sibling;
};

// Results of the matches: BLDR_OBJ_MATCH (0), BLDR_OBJ_CANT_REUSE (1), BLDR_OBJ_MISMATCH (2),
// BLDR_OBJ_CHECKEDOUT (3, a dependency is private to this view), -1 error.
enum { BLDR_OBJ_MATCH = 0, BLDR_OBJ_CANT_REUSE = 1, BLDR_OBJ_MISMATCH = 2, BLDR_OBJ_CHECKEDOUT = 3 };

// What the derived-object match compares a record with.
struct bldr_obj_match_args_t {
  const char *tgt;                    // the target name (for messages and the hash feeds)
  const char *cand_pn;                // view-relative target path of a shared candidate; null for
                                      // the view's previous object
  const bldr_cm_view_info_t *vi;
  stg_area_t area;                    // the session's area
  hash_ht_t vertab;
  cr_utl_hash_deps_h_t tgt_hashes;    // the target's dependency hashes ("dep")
  cr_utl_hash_deps_h_t sess_hashes;   // the session's trouble-maker hashes ("tmaker")
  int is_previous;
  int shopping_allowed;
  int skip_dependencies;
  int sibs_affect_reuse;
  const bldr_obj_lists_t *lists;
  const tbs_oid_t *obj_oid;           // the candidate derived object
  cr_utl_nt_hdl_t nt;
  int incremental;
  hash_ht_t mismatch_ht;              // collects mismatching versions (previous incremental)
  hash_ht_t non_critical;             // names (relative to the working directory) not compared
};

// Compares every object the record lists with what its pathname designates in the view now.
// Returns BLDR_OBJ_MATCH, BLDR_OBJ_CANT_REUSE, BLDR_OBJ_MISMATCH, BLDR_OBJ_CHECKEDOUT or -1, after
// printing the reason at the report level of the candidate.
int bldr_obj_match(const bldr_obj_match_args_t *a, const tbs_cr_t *cr);

// Compares the record's files outside the VOBs (count records) by size, modification time and
// checksum: a file of the recorded size whose time is the recorded one matches, unless that time
// is not earlier than build_start (the record's build start, seconds), when only the checksums
// can tell. BLDR_OBJ_MATCH, BLDR_OBJ_CANT_REUSE, BLDR_OBJ_MISMATCH or -1. With compute_mismatch
// every mismatching name is entered in mismatch_ht (which must then not be null, assertion).
int bldr_obj_non_mfs_match(const char *tgt, stg_area_t area, uint32_t count,
                           tbs_cr_fs_predef_t *const *deps, int64_t build_start, hash_ht_t vertab,
                           int is_previous, const bldr_cm_view_info_t *vi, int compute_mismatch,
                           hash_ht_t mismatch_ht);

// Whether the version that the view selects now at the declared dependency pathname is among the
// record's objects: 0 yes, 1 no (reported), -1 error.
int bldr_obj_fwd_match_mfs_dep(const char *tgt, stg_area_t area, const char *pathname,
                               hash_ht_t vertab, int is_previous, const tbs_cr_t *cr,
                               const bldr_cm_view_info_t *vi);

// Traces a dependency-hash feed at level 4.
void bldr_obj_trace_dep_hash(const char *tgt, const char *prev_tgt, const char *leaf,
                             const char *kind, const char *hashes_name,
                             cr_utl_hash_deps_h_t hashes);

// What promotion and winkin act on.
struct bldr_obj_winkin_args_t {
  const tbs_cr_t *cr;
  const char *tgt;
  int auto_checkout;
  list_handle_t cotargets;
  const bldr_cm_view_info_t *vi;
  hash_ht_t vertab;
  int is_previous;
  int sibs_affect_reuse;
  list_handle_t sibling_ignored;
  int no_execute;
  const tbs_oid_t *obj_oid;
  cr_utl_nt_hdl_t nt;
  stg_area_t area;
};

// Makes every derived object that the record's build wrote shared in its VOB (not the view's
// previous object itself). 0; 1001 when a pathname cannot be computed; 1002 when a derived object
// cannot be promoted (reported).
ks_status_t bldr_obj_promote_dos(const bldr_obj_winkin_args_t *a);

// Puts the record's derived objects, links and directories into the view (announcing them only,
// with no_execute), removing what stands in the way and keeping the caches right. 0, or 1001
// after "Unable to wink in derived object" (what was winked in before stays).
ks_status_t bldr_obj_winkin_dos(const bldr_obj_winkin_args_t *a);

// Called back for each directory that winkin creates: the caches forget it and its parent's
// entry for it.
void bldr_obj_junkdir_create_hook(const char *dir_pname, const char *view_tag,
                                  const tbs_oid_t *vob_oid, int flag);

// Removes each file of the list (a null list does nothing).
void bldr_obj_require_delete_files(list_handle_t names);
