// Pathnames in the versioned file system: canonical absolute names and where they lie.
//
// A view's tree is "<view root>/<view tag>/" and holds one git worktree per VOB it loads, at
// "<view root>/<view tag>/<VOB tag>/". A pathname is in a view when it lies under the directory
// of a registered view tag, and in a VOB when it lies under one of that view's VOB worktrees.
#pragma once

#include <string>

#include "dbrpc/dbrpc_reg.h"
#include "ks/ks_status.h"

// Where a pathname lies.
struct vob_pname_t {
  std::string abs;                    // canonical absolute pathname
  dbrpc_reg_snapshot_h reg;           // the registry the answer came from
  const dbrpc_view_rec_t *view = nullptr;  // its view; null outside every view
  const dbrpc_vob_rec_t *vob = nullptr;    // its VOB; null outside every VOB
  std::string view_dir;               // "<view root>/<view tag>" when in a view
  std::string vob_root;               // "<view dir>/<VOB tag>" when in a VOB
  std::string vob_rel;                // the pathname below the VOB root ("" for the root)
};

// Canonical absolute form of path: relative to the working directory, "." and ".." and every
// symbolic link of the directories resolved; the final component is resolved too when follow
// is set. A final component (or more) that does not exist is kept as written, cleaned
// lexically. KS_ST_OK, KS_ST_NAME_TOO_LONG for an over-long result, KS_ST_ERR when the
// working directory cannot be read.
ks_status_t vob_pname_canonical(const char *path, bool follow, std::string *out);

// Canonicalizes path and tells where it lies. KS_ST_OK, or the status of the canonical form or
// of the registry (printed).
ks_status_t vob_pname_resolve(const char *path, bool follow, vob_pname_t *out);

// The view-relative name of a canonical pathname in a view ("/<VOB tag>/src/a.c"; "/" for the
// view's directory itself); empty outside every view.
std::string vob_pname_view_relative(const vob_pname_t &where);

// The view root in canonical form (symbolic links resolved when it exists).
std::string vob_pname_view_root();

// Opens a hold on the names: until the matching vob_pname_hold_end, a directory resolved once in
// the hold is taken as resolved without looking at it again. For a short stretch of work that
// resolves many names as of one moment (an audit's conversion, the making of a record), not
// for one that other processes' scripts may overlap at length. Holds nest.
void vob_pname_hold_begin();
void vob_pname_hold_end();
