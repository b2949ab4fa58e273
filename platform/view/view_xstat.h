// Extended stat and object identity of pathnames seen through views.
//
// What a pathname is (the meta-types of vob/vob_mtype.h):
// - outside every view, the view's own directory, a VOB's ".git" entry: VOB_MTYPE_NULL with
//   null identifiers (the view UUID is still given inside a view);
// - a tracked directory (the VOB root included): VOB_MTYPE_DIR_VERSION;
// - a tracked symbolic link, not followed: VOB_MTYPE_SLINK;
// - a tracked file whose data is the version the view selects: VOB_MTYPE_VERSION;
// - a tracked file whose data differs: VOB_MTYPE_CHECKEDOUT, with its element OID and an OID of
//   its own that changes with its data;
// - anything untracked (or tracked as another kind of object): VOB_MTYPE_VIEW_PRIVATE, with a
//   null element OID and an OID of its own kept in the view's view.db.
// The selected version of a path is the blob or tree at the view's HEAD in that VOB. While HEAD
// names a commit directly, what it selects and what was found of the tracked files' data are
// kept in the view's identity cache (view/view_idcache.h), written when the process exits.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "ks/ks_status.h"
#include "tbs/tbs_oid.h"
#include "vob/vob_mtype.h"
#include "vob/vob_ob.h"

// File types of view_fstat_t.type.
#define VIEW_FTYPE_NONE 0
#define VIEW_FTYPE_REG 1
#define VIEW_FTYPE_DIR 2
#define VIEW_FTYPE_BLK 3
#define VIEW_FTYPE_CHR 4
#define VIEW_FTYPE_LNK 5
#define VIEW_FTYPE_FIFO 6
#define VIEW_FTYPE_SOCK 7

// Mode bits of view_fstat_t.mode beyond the permission and set-id bits of stat.
#define VIEW_FMODE_AUDITED 0x10000  // the object is marked as audited

// The VIEW_FTYPE_* of a stat mode.
uint32_t view_ftype_of(mode_t mode);

struct view_fstat_t;
// The file status part of the extended stat of an object whose lstat or stat is st.
void view_fstat_of(const struct stat &st, view_fstat_t *fstat);

// A time as two 64-bit words, so that times compare bytewise.
struct view_time_t {
  int64_t sec;
  int64_t nsec;
};

// The file status part of the extended stat.
struct view_fstat_t {
  uint32_t type;   // VIEW_FTYPE_*
  uint32_t mode;   // permission and set-id bits (07777), VIEW_FMODE_AUDITED
  uint32_t nlink;
  uint32_t uid;
  uint64_t size;
  uint64_t nodeid;  // inode number
  view_time_t xtime;  // time the object came to be as it is (the modification time here)
  view_time_t atime;
  view_time_t mtime;
  view_time_t ctime;
};

// The extended stat record.
struct view_xstat_t {
  view_fstat_t fstat;
  vob_mtype_t mtype;   // VOB_MTYPE_NULL outside every VOB
  uint32_t reserved;
  tbs_oid_t elem_oid;  // the element; null when the object is its own element
  tbs_oid_t obj_oid;   // the version, or the view-private object
  vob_objsn_t objsn;   // object serial number; zero outside every VOB
};

// Extended stat of path through the view, following a final symbolic link (view_get_xstat) or
// not (view_lget_xstat). flag and unused are accepted for the callers' shape. Each out value is
// filled when its pointer is not null: the record, the VOB OID, the view UUID and the VOB's
// replica UUID (null identifiers outside every view or VOB). KS_ST_OK when the object exists,
// in a VOB or not; KS_ST_NOT_IN_VIEW when it does not; KS_ST_ERR (or the registry's status) on
// another failure.
ks_status_t view_get_xstat(const char *path, int flag, view_xstat_t *vstat, tbs_oid_t *vob_oid,
                           tbs_uuid_t *view_uuid, int unused, tbs_uuid_t *replica_uuid);
ks_status_t view_lget_xstat(const char *path, int flag, view_xstat_t *vstat, tbs_oid_t *vob_oid,
                            tbs_uuid_t *view_uuid, int unused, tbs_uuid_t *replica_uuid);

// The file status part alone of the extended stat of path (following a final symbolic link when
// follow is not 0), without the object's identity: for callers that need only times, sizes or
// types. Statuses as view_get_xstat.
ks_status_t view_get_fstat(const char *path, int follow, view_fstat_t *fstat);

// The object identity of a pathname; its first field is the object's current meta-type.
struct view_oids_t {
  vob_mtype_t mtype;  // as view_xstat_t, except that a view-private or checked-out regular file,
                      // which may become a derived object, is VOB_MTYPE_VIEW_PRIVATE_FILE
  uint32_t ftype;     // VIEW_FTYPE_*
  tbs_oid_t obj_oid;
  tbs_oid_t elem_oid;
  tbs_oid_t vob_oid;
  tbs_uuid_t view_uuid;
  vob_objsn_t objsn;
};

// Object identity of path; a final symbolic link is followed when follow is not 0. unused1 and
// unused2 are accepted for the callers' shape. Statuses as view_get_xstat.
ks_status_t view_get_oids(const char *path, int follow, int unused1, int unused2,
                          view_oids_t *info);

struct vob_pname_t;

// Object identity of the object at where, already resolved with its final symbolic link not
// followed, whose lstat is st: view_get_oids without resolving and examining the name again,
// for callers that have just done both. Statuses as view_get_oids.
ks_status_t view_get_oids_resolved(const vob_pname_t &where, const struct stat &st,
                                   view_oids_t *info);

// Object identity that the object at where had when its lstat was st, for a caller that saw it
// then (an audit's conversion): the object may no longer be there as it was, so its data is
// never read. KS_ST_OK with the identity of a version, a directory version or a symbolic link of
// the view's selection (a tracked file counts as its selected version only when the worktree's
// index shows that status for it); KS_ST_NOT_FOUND when that cannot be shown (a view-private or
// checked-out object, or a file the index does not vouch for); KS_ST_ERR on another failure.
ks_status_t view_get_oids_was(const vob_pname_t &where, const struct stat &st, view_oids_t *info);

// Opens a hold on the worktrees and the registry: until the matching view_xstat_hold_end, the
// version that a VOB worktree selects is read once, and changes to its HEAD or index, or to the
// registry, made meanwhile are seen after the hold. For a caller identifying many objects as of
// one moment (an audit's conversion, the making of a record, the lookups of a make between
// rebuilds). Holds nest.
void view_xstat_hold_begin();
void view_xstat_hold_end();

// A hold on the worktrees and on the names (vob_pname_hold_begin) for the life of the object:
// for a stretch that identifies objects as of one moment while nothing replaces directories.
class view_xstat_moment_t {
 public:
  view_xstat_moment_t();
  ~view_xstat_moment_t();
  view_xstat_moment_t(const view_xstat_moment_t &) = delete;
  view_xstat_moment_t &operator=(const view_xstat_moment_t &) = delete;
};

// Forgets the identities this process has cached, the VOB layer's noted objects included (for
// tests that stand for a new process, and after a view is removed).
void view_xstat_flush_cache();

// Forgets what this process judged of the object at the canonical pathname abs (its class
// changed: it became a derived object).
void view_xstat_forget(const char *abs);
