// Winkin: a derived object whose data lies in its VOB's pool appears in a view at a name, as the
// same object (the same OID) it is everywhere; and the small view services around it.
#pragma once

#include <cstddef>

#include "ks/ks_status.h"
#include "tbs/tbs_oid.h"
#include "view/view_info.h"

// Makes the shared derived object do_oid appear as leaf in the directory dir of the view: a
// read-only hard link to its pool data, or a read-only copy where a link cannot be made; made at
// a free name directly, else beside it and put in place by a rename (what the name held is
// replaced); then known to the view as that derived object. dir must lie in a VOB of view. KS_ST_OK; KS_ST_NOT_FOUND when the VOB has no such
// derived object or its pool data is gone or changed since its promotion; KS_ST_NOT_IN_VIEW
// when dir lies in no VOB of the view; KS_ST_ERR with errno set when the file cannot be made.
ks_status_t view_wink_in(view_handle_t view, const char *dir, const char *leaf,
                         const tbs_oid_t *do_oid);

// Invalidates the view's name cache for leaf in a directory. The views here keep no name cache:
// 0.
ks_status_t view_inval_name_oid(const char *view_tag, const tbs_oid_t *vob_oid, uint32_t dir_dbid,
                                const char *leaf, int flag);

// The text of the symbolic link at pathname into buf (size bytes, NUL-terminated), its length
// into *len. 0, or KS_ST_ERR with errno set (ENAMETOOLONG when it does not fit).
ks_status_t view_readlink(view_handle_t view, const char *pathname, size_t size, size_t *len,
                          char *buf);

// One entry of the registry of view tags, as its keys give it.
struct rgy_view_entry_t {
  char tag[256];    // key 10
  tbs_uuid_t uuid;  // key 14
  int has_uuid;
};

// Up to max entries of the registry of view tags, from position start on, into out; *count the
// number given (0 past the end). 0, or the registry's status.
ks_status_t rgy_get_entry(size_t start, size_t max, rgy_view_entry_t *out, size_t *count);

// The tag (key 10) of the view with that UUID into tag (size bytes). 0; KS_ST_NOT_FOUND when no
// view has it; KS_ST_NAME_TOO_LONG; or the registry's status.
ks_status_t rgy_findbyuuid_entry(const tbs_uuid_t *uuid, size_t size, char *tag);

// Gives the view a writable file of its own for the winked-in derived object at path (a file whose
// data the VOB's pool or other views share), still known as that derived object, so that a build
// writing into it changes nothing else. KS_ST_OK, also when path holds no such file; KS_ST_ERR
// with errno set when the copy cannot be made (path is then as it was).
ks_status_t view_do_unshare(const char *path);
