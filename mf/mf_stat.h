// The stat cache of a make run: what the view's extended stat says about each pathname that the
// parse and the build ask about, kept until the builder changes the file system; the uncached
// queries that fill it, which a running audit records as examinations of the process; and a
// cache of pathnames resolved to their absolute form.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "ks/hash.h"
#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/stg.h"
#include "tbs/tbs_oid.h"
#include "view/view_xstat.h"

// Message table of the module "mf/mf_stat".
extern const imsg_msg_table_t _mf_stat_karsel_msg_table;
enum {
  MF_STAT_MSG_BUF_TOO_SMALL = 0,  // "Target pathname exceeded length of supplied buffer ..."
  MF_STAT_MSG_UNRESOLVABLE = 1,   // "Unable to resolve target pathname \"%s\" - %s\n"
};

// Flags of one half of a cache entry; 0 means not yet queried.
#define MF_STAT_EXISTS 0x1ull      // the query succeeded
#define MF_STAT_NOT_EXISTS 0x2ull  // the object does not exist
#define MF_STAT_IN_VOB 0x4ull      // the object is in a VOB (its meta-type is not null)
#define MF_STAT_TIMES_ONLY 0x8ull  // only the file status was asked for, not the identity

// What one extended stat of a pathname said.
struct mf_stat_half_t {
  uint64_t flags;
  view_xstat_t vstat;
  tbs_oid_t vob_oid;
  tbs_uuid_t replica_uuid;
  tbs_uuid_t view_uuid;
};

// The cache entry of one pathname: the object itself (not following a symbolic link), then what
// a symbolic link points to (made only for links queried with follow_links; null until then).
struct mf_stat_obj_t {
  mf_stat_half_t self;
  mf_stat_half_t *followed;
};

// A stat cache: a table from pathname to mf_stat_obj_t.
typedef hash_ht_t mf_stat_handle_t;

// A new, empty stat cache; null after the hash-creation message when it cannot be made.
mf_stat_handle_t mf_stat_init();

// Deletes the cache (nothing for a null handle); an internal error is reported when the table
// cannot be deleted.
void mf_stat_term(mf_stat_handle_t handle);

// Uncached stat of pathname following links, recorded by a running audit: 0, or the status of
// the current errno.
ks_status_t mf_stat_fileutl_stat(const char *pathname, struct stat *st);

// Uncached extended stat through the view, following (get) or not (lget) a final symbolic link,
// recorded by a running audit.
// Each out value is filled when its pointer is not null; unused is accepted for the callers'
// shape. The view's status: 0, KS_ST_NOT_IN_VIEW when there is no such object, another on error.
ks_status_t mf_stat_view_get_xstat(const char *pathname, view_xstat_t *vstat,
                                   tbs_oid_t *vob_oid, tbs_uuid_t *view_uuid, int unused,
                                   tbs_uuid_t *replica_uuid);
ks_status_t mf_stat_view_lget_xstat(const char *pathname, view_xstat_t *vstat,
                                    tbs_oid_t *vob_oid, tbs_uuid_t *view_uuid, int unused,
                                    tbs_uuid_t *replica_uuid);

// The cached queries below ask the view directly (as mf_utl_obj_exists and mf_utl_get_dtm do)
// when TOLVICK_NO_STAT_CACHE is set or the handle is null.

// Cached extended stat of pathname; follow_links non-zero answers for what a final symbolic link
// points to. Copies the record and each identifier whose pointer is not null when the object
// exists. 0 when the object is in a VOB, KS_ST_NOT_IN_VOB when it exists outside every VOB,
// KS_ST_NOT_FOUND when it does not exist (a dangling link followed included), or the view's
// status after its message.
ks_status_t mf_stat_view_info(mf_stat_handle_t handle, const char *pathname, int follow_links,
                              view_xstat_t *vstat, tbs_oid_t *vob_oid,
                              tbs_replica_uuid_t *replica_uuid, tbs_uuid_t *view_uuid);

// Cached existence of the object itself (a dangling symbolic link exists): 0, KS_ST_NOT_FOUND,
// or the view's status after its message.
ks_status_t mf_stat_obj_exists(mf_stat_handle_t handle, const char *pathname);

// Cached modification time: 0 with *out_time set; KS_ST_NOT_FOUND, leaving *out_time alone,
// when the object does not exist; the view's status after its message.
ks_status_t mf_stat_get_dtm(mf_stat_handle_t handle, const char *pathname, int follow_links,
                            time_t *out_time);

// Forgets what is known of one canonical pathname (null when canonicalisation failed: ignored
// with a trace), so the next query asks the view again.
void mf_stat_inval_obj(mf_stat_handle_t handle, const char *pathname);

// Forgets everything except what cannot change during a build: checked-in versions and
// symbolic links to them.
void mf_stat_invalidate(mf_stat_handle_t handle);

// Forgets everything, checked-in versions included: for a caller that must see what a build
// script may have written anywhere, a file of a version among it.
void mf_stat_flush(mf_stat_handle_t handle);

// Makes the operations read TOLVICK_NO_STAT_CACHE again at their next call; each remembers the
// answer of its first call otherwise (for tests that stand for a new process).
void mf_stat_reread_switch();

// The resolved-pathname cache of the process. Init records the area in which resolved names are
// copied (STG_AREA_HEAP: the heap) and makes the table the first time: 0, or KS_ST_ERR after the
// hash-creation message.
ks_status_t mf_stat_init_cached_resolve_abspn(stg_area_t area);

// The absolute, canonical form of pathname (vob_resolve_abspn_cond with flag) in buf, remembered
// for later calls with the same pathname and flag (and, for a relative pathname, the same working
// directory). 0; KS_ST_NAME_TOO_LONG after a message when a
// remembered name does not fit; KS_ST_ERR after a message when the name cannot be resolved or
// the cache was never initialised.
ks_status_t mf_stat_cached_resolve_abspn(const char *pathname, char *buf, size_t buf_size,
                                         int flag);

// Frees the resolved names (when they are on the heap) and the table. Always 0.
ks_status_t mf_stat_finalize_cached_resolve_abspn();

// A number that changes each time the resolved-pathname cache forgets its names (finalize): a
// caller that keeps resolutions of its own drops them when it changes.
uint32_t mf_stat_cached_resolve_generation();

// Prints one cache entry as a trace; a null record or pathname stops the program (assertion).
void mf_stat_dump_stat_cache_obj(const mf_stat_obj_t *obj_p, const char *pname);
