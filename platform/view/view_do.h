// Derived objects present in a view: a name of the view holds a derived object while the file
// there keeps the OID the derived object was made with (its data unchanged since the build).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ks/ks_status.h"
#include "tbs/tbs_oid.h"
#include "view/view_info.h"

// Whether the regular file at path is still the view-private object oid as its view identified it
// (its data unchanged since). KS_ST_OK; KS_ST_NOT_FOUND when not; KS_ST_NOT_IN_VIEW when path names
// nothing in a VOB of a view; KS_ST_ERR after printing the error.
ks_status_t view_do_is_current(const char *path, const tbs_oid_t *oid);

// Makes the file at path the derived object do_oid, of meta-type mtype, in its view. KS_ST_OK;
// KS_ST_NOT_FOUND when the file there no longer is the object with that OID (it changed since it
// was identified); KS_ST_NOT_IN_VIEW when path names nothing in a VOB of a view; KS_ST_ERR after
// printing the error.
ks_status_t view_do_register(const char *path, const tbs_oid_t *do_oid, uint32_t mtype);

struct vob_pname_t;

// Whether a write to the inode dev/ino at where, in an audit, replaces a derived object: the name
// held that derived object's file (*do_oid, of meta-type *mtype). A derived object is never
// changed in place: what a build writes over it is a new object, created by that build.
bool view_do_replaced_by_write(const vob_pname_t &where, uint64_t dev, uint64_t ino,
                               tbs_oid_t *do_oid, uint32_t *mtype);

// A derived object present in a view.
struct view_do_entry_t {
  std::string path;  // view-extended pathname
  tbs_oid_t do_oid{};
  uint32_t mtype = 0;
};

// The derived objects present in the view whose directory holds dir, at or below dir (every one
// of the view when dir is the view's own directory), by pathname. Names whose file changed since
// are left out. KS_ST_OK; KS_ST_NOT_IN_VIEW when dir lies in no view; KS_ST_ERR after printing.
ks_status_t view_do_list(const char *dir, std::vector<view_do_entry_t> *out);

// The view's property prop into *value. Property 4 tells whether derived objects built in the
// view are not to be shared (0: they are shared; views here always share them). 0;
// KS_ST_NOT_FOUND for a null view or another property.
ks_status_t view_getprop(view_handle_t view, int prop, uint32_t *value);

// Marks the object at pathname as audited in the versioned file system. The stand-in keeps no such
// mark: 0 when the object exists, KS_ST_NOT_IN_VIEW when it does not. flag is not used.
ks_status_t view_mfs_set_audited_obj(const char *pathname, int flag);
