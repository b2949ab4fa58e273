// Small services around configuration records: the most recent record of this process, fetching
// a derived object's record (from this process's cache, else from its VOB), whether a view's
// derived objects are shareable, and the usable pathname of a record's object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cm/cr_utl_nt.h"
#include "ks/ks_status.h"
#include "tbs/tbs_cr.h"
#include "view/view_info.h"
#include "vob/vob_ob.h"

// The record of the last audited build of this process that created a derived object, while it
// is valid (a deep copy owned here).
extern tbs_cr_t bldr_cr_cached_cr;
extern int bldr_cr_cached_cr_is_valid;

// The most recent record when it is valid, else null.
const tbs_cr_t *bldr_cr_cached_cr_handle();

// Frees and clears the most recent record.
void bldr_cr_cached_cr_reset();

// Keeps a deep copy of cr as the most recent record (the earlier one must have been reset). 0, or
// the copy's failure status.
ks_status_t bldr_cr_cached_cr_keep(const tbs_cr_t *cr);

// Fills *cr_p with the record of the derived object do_oid at do_pn: from this process's record
// cache (*fetched_from_cache 1; the record stays the cache's) or from its VOB (heap storage: free
// it with cm_cr_free_cr). A null VOB OID, VOB handle or view UUID is filled in from the object.
// 0, or the failing status (the record is then unfilled). Null pointers are assertions.
ks_status_t bldr_cr_fetch_cr(const char *do_pn, const tbs_oid_t *do_oid, tbs_oid_t *do_vob_oid_p,
                             vob_handle_t *do_vobh_p, tbs_uuid_t *do_view_uuid_p, tbs_cr_t *cr_p,
                             int *fetched_from_cache);

// *answer: 1 when derived objects built in the view are shareable, 0 when not, 2 when the view
// could not say (asked once per view and process). The target name is not used. 0.
ks_status_t bldr_cr_tgt_builds_shareable_dos(const char *target_name, view_handle_t view,
                                             int *answer);

// The pathname of object index of the record, usable from the current directory, into caa_pn.
// 0; KS_ST_ERR after a message; or the conversion's status.
ks_status_t bldr_cr_get_cr_cwd_accessible_abs_pn(const tbs_cr_t *cr_p, cr_utl_nt_hdl_t nt_h,
                                                 uint32_t index, size_t sizeof_caa_pn,
                                                 char *caa_pn);
