// What the modules of the configuration-manager session share: the session, the target record,
// the dependency records and the session's messages.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "bld/bldr_cm.h"
#include "bld/bldr_utl.h"
#include "cm/cr_utl_hash.h"
#include "cm/cr_utl_nt.h"
#include "ks/hash.h"
#include "ks/list.h"
#include "ks/stg.h"
#include "tbs/tbs_cr.h"
#include "tbs/tbs_oid.h"
#include "vob/vob_ob.h"

// Rows of _bldr_cm_karsel_msg_table.
enum {
  BLDR_CM_MSG_NOT_REGISTERED = 0,
  BLDR_CM_MSG_NOT_DEFINED = 1,
  BLDR_CM_MSG_LOOKUP_DISABLED = 2,
  BLDR_CM_MSG_NULL_SCRIPT = 3,
  BLDR_CM_MSG_REBUILT = 4,
  BLDR_CM_MSG_NO_SCRIPT = 5,
  BLDR_CM_MSG_NO_SUBST = 6,
  BLDR_CM_MSG_BUILD_TIME = 7,
  // 8 BLDR_CM_MSG_CANNOT_REUSE, 9 BLDR_CM_MSG_DONT_KNOW (bldr_cm.h)
  BLDR_CM_MSG_NOT_VESSARY = 10,
  BLDR_CM_MSG_IS_DIR = 11,
  BLDR_CM_MSG_IS_SLINK = 12,
  BLDR_CM_MSG_SUBTARGET_FAILED = 13,
  BLDR_CM_MSG_COTARGET = 14,
  BLDR_CM_MSG_NO_CR_TABLES = 15,
  BLDR_CM_MSG_STATS = 16,  // 16 to 26: the statistics block
  BLDR_CM_MSG_SCRIPT_MISMATCH = 27,
  BLDR_CM_MSG_SCRIPT_DIFF_HDR = 28,
  BLDR_CM_MSG_STARS = 29,
  BLDR_CM_MSG_NO_NAMETABLE = 30,
  BLDR_CM_MSG_NAMETABLE_TIME = 31,
  BLDR_CM_MSG_NON_CRITICAL = 32,
  BLDR_CM_MSG_NOT_IGNORED = 33,
  BLDR_CM_MSG_OTHER_LOCATION = 34,
  BLDR_CM_MSG_LOCATIONS = 35,
  BLDR_CM_MSG_NOT_MF_DEP = 36,
  BLDR_CM_MSG_COPY = 37,
  BLDR_CM_MSG_MATCH_START = 38,
  BLDR_CM_MSG_MATCH_OK = 39,
  BLDR_CM_MSG_MATCH_FAILED = 40,
  BLDR_CM_MSG_NV_START = 41,
  BLDR_CM_MSG_NV_OK = 42,
  BLDR_CM_MSG_NV_FAILED = 43,
  BLDR_CM_MSG_UNSUPPORTED_FMT = 44,
};

// A dependency outside the versioned file system, as the target's build uses it now.
struct bldr_cm_nonver_dep_t {
  bldr_cr_fs_dep_t fs;  // name and pathname are heap copies; flags 0x1 declared, 0x100 non-critical
  uint32_t crc_valid;
};

// A dependency in the versioned file system: the name the makefile gives and the pathname where
// it was found (empty: a target of this run whose object does not exist yet). Heap copies.
struct bldr_cm_ver_dep_t {
  char *name;
  char *pathname;
};

// One target of the session (stored by value in the target-record hash).
struct bldr_cm_tgt_rec_t {
  bldr_cm_tgt_status_t status;
  uint64_t attrs;
  uint32_t obj_kind;  // 1 the target lies in a VOB, 2 it does not, 0 unknown
  uint32_t has_script;
  const char *pathname;
  list_handle_t instances;  // the dependency groups (bldr_tgt_inst_t *)
  list_handle_t script;
  list_handle_t actual_script;
  list_handle_t script_macros;
  uint32_t script_hash_done;
  uint64_t script_hash;
  uint32_t dep_hash_done;
  tbs_oid_t primary_oid;
  uint32_t primary_kind;
  uint32_t primary_ftype;
  cr_utl_hash_deps_h_t dep_hashes;  // the lookup's copy of the session's array
  list_handle_t ver_deps;     // bldr_cm_ver_dep_t *
  list_handle_t nonver_deps;  // bldr_cm_nonver_dep_t *
  hash_ht_t non_critical;     // names collected as non-critical (not compared by the match)
  uint32_t registered;
  uint32_t deferred;          // registered with lookups off: the view not asked yet
  uint32_t ftype;             // VIEW_FTYPE_* at the target pathname (2 directory, 5 link)
  vob_handle_t vobh;          // the shopping location: VOB, directory, name, absolute pathname
  uint32_t dir_dbid;
  char *do_name;
  char *abs_pname;
  int32_t prev_found;
  int32_t prev_is_do;
  int32_t prev_non_shareable;
  uint32_t deps_collected;
  tbs_oid_t do_oid_at_lookup;
  tbs_oid_t do_oid_now;
};

struct bldr_cm_handle_s {
  stg_area_t area;
  bldr_cm_view_info_t *view_info;
  hash_ht_t vpath_substs;  // name -> char *
  hash_ht_t targets;       // name -> bldr_cm_tgt_rec_t
  hash_ht_t vertab;        // pathname -> bldr_obj_vt_info_t
  uint64_t flags;
  cr_utl_hash_deps_h_t dep_hashes;  // the trouble makers
  cr_utl_st_hdl_t shared_tables;
  uint32_t stats[10];
  bldr_cm_search_fn_t dep_search;
  void *dep_search_arg;
  bldr_cm_search_fn_t tgt_search;
  void *tgt_search_arg;
  list_handle_t interference_sets;
  list_handle_t no_config_rec;
  list_handle_t no_cmp_non_mf_deps;
  list_handle_t no_cmp_script;
  list_handle_t no_print_cmp_script;
  list_handle_t no_wink_in;
  list_handle_t dependency_ignored;
  list_handle_t directory_ignored;
  list_handle_t directory_affects;
  list_handle_t sibling_ignored;
  list_handle_t no_do_for_sibling;
  list_handle_t no_sibling_do_contained_in;
  list_handle_t makefiles_in_config_rec;
  list_handle_t makefiles;
  uint32_t makefiles_affect_reuse;
  int32_t java_audits;
  list_handle_t incremental_repository_sibling;
  list_handle_t no_config_match_slinks;
  double shopping_time;
  double eval_time;
  double host_stall_time;
  double executor_stall_time;
  double interference_time;
  double winkin_time;
  double build_time;
  struct timeval start;
  bool records;  // in a view with records on: lookups by record, rebuilds under audit
  bool view_held;   // the lookups' hold is open (bldr_cm_hold_view)
  bool names_held;  // it holds directory resolutions too (no started script runs)
  unsigned running; // started rebuilds whose scripts have not been seen to end
};

// The statistics counters, in the order they are printed.
enum {
  BLDR_CM_STAT_LOOKED_UP = 0,
  BLDR_CM_STAT_PREV_EVALUATED,
  BLDR_CM_STAT_SAME_AS_PREV,
  BLDR_CM_STAT_PREV_MATCHED,
  BLDR_CM_STAT_SHARED_EVALUATED,
  BLDR_CM_STAT_UNSHARED_EVALUATED,
  BLDR_CM_STAT_NO_DATA,
  BLDR_CM_STAT_PREV_CANDIDATES,
  BLDR_CM_STAT_SHARED_MATCHED,
  BLDR_CM_STAT_UNSHARED_MATCHED,
};

// The record of a target, or null (after the internal error when report is set).
bldr_cm_tgt_rec_t *bldr_cm_find_tgt(bldr_cm_handle_t h, const char *name, bool report);

// Whether a trace of the session may print at level.
bool bldr_cm_traced(int level);

// Between rebuilds (hold set) the session's lookups see the view's selection as of one moment and
// the winkins and promotions it records join one transaction of each database; while a build
// script runs (hold clear) neither holds. While no started script of the run is running either,
// a directory resolved once is taken as resolved. Nothing without records.
void bldr_cm_hold_view(bldr_cm_handle_t h, bool hold);

// Notes that a started rebuild's script began (started) or was seen to end: directory
// resolutions are held again once none runs.
void bldr_cm_note_running(bldr_cm_handle_t h, bool started);

// Asks the view what a target registered with lookups off denotes, once it matters (its
// dependents' records, its rebuild). 0, or KS_ST_ERR (the record is then ERROR).
ks_status_t bldr_cm_settle_tgt(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec);

// Collects the target's dependencies by kind, once. 0, 1001 or 1002.
ks_status_t bldr_cm_add_all_dependencies(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec,
                                         const char *name);

// Completes the dependencies of targets that did not exist when they were collected, and the
// checksums of those outside the VOBs. 0, or the first failing status.
ks_status_t bldr_cm_finish_predefs(bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec);

// Frees both dependency lists of the record (and its non-critical names).
void bldr_cm_release_tgt_dep_lists(bldr_cm_tgt_rec_t *rec);

// The primary dependency of the target, computed once. 0, or 1001.
ks_status_t bldr_cm_calc_dep_hash(const char *name, bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec);

// The configuration lookup of a target whose dependencies are collected: the view's previous
// derived object (prev_oid, or null), then its VOB directory's candidates. A build status.
bldr_cm_tgt_status_t bldr_cm_config_lookup(bldr_cm_handle_t h, const char *name,
                                           list_handle_t cotargets, bldr_cm_tgt_rec_t *rec,
                                           const tbs_oid_t *prev_oid, int cmp_script);

// Whether one candidate's record stands for the target now; on a match the candidate is made the
// view's object. cand_pn is null for the view's previous object. A build status: REUSED (0) on a
// match, -1, CANT_REUSE, DEP_MISMATCH or DEP_CHECKEDOUT.
int bldr_cm_config_match(bldr_cm_handle_t h, const char *name, const char *cand_pn,
                         int auto_checkout, list_handle_t cotargets, const tbs_oid_t *obj_oid,
                         tbs_cr_t *cr, int is_previous, int add_to_cache, int cmp_script,
                         bldr_cm_tgt_rec_t *rec);

// What registration finds at the target's name (bldr_cmutl.cc).
ks_status_t bldr_cmutl_prev_tgt_info(const char *name, bldr_cm_tgt_rec_t *rec, stg_area_t area,
                                     list_handle_t search, bldr_cm_handle_t h);
