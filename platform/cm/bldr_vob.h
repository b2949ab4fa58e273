// Writing derived objects and their configuration record: the end of every audited build.
#pragma once

#include <cstdint>

#include "cm/cr_utl_hash.h"
#include "cm/cr_utl_nt.h"
#include "ks/ks_status.h"
#include "ks/stg.h"
#include "tbs/tbs_cr.h"
#include "view/view_info.h"
#include "vob/vob_ob.h"

// A file written by a build that is to become a derived object.
struct bldr_vob_do_desc_t {
  tbs_oid_t oid;   // the object's OID in the record (flag TBS_CR_OBJ_NEW_DO)
  char *pathname;  // its view-relative pathname
};

// Finds a version's element database identifier (bldr_utl_cached_ver_oid_to_elem_dbid).
typedef ks_status_t (*bldr_vob_ver_to_elem_fn_t)(vob_handle_t vobh, const tbs_oid_t *ver_oid,
                                                 uint32_t *elem_dbid);

// A descriptor for the written object oid at the view-relative pathname, allocated in area (the
// heap for STG_AREA_HEAP). flag is not used. Null when memory runs out.
bldr_vob_do_desc_t *bldr_vob_new_do_desc(stg_area_t area, const tbs_oid_t *oid,
                                         const char *pathname, int flag);

// Makes each of the n_new files a derived object with the record cr, in the view: the record is
// stored in the VOB of each derived object together with the derived objects it made there (their
// directory and name, the primary dependency's hash, the script hash and the record's dependency
// hashes), the n_sub subordinate derived objects the build read (their OIDs) are noted with it,
// and the view then reports each file as a derived object (shareable unless non_shareable).
//
// A file whose data changed since the audit identified it is not made a derived object: its
// object loses TBS_CR_OBJ_NEW_DO in cr before cr is stored, so that no record is ever kept for
// data it does not describe. nt, view_tag and ver_to_elem are not used.
// 0; KS_ST_ERR after printing the error (what was stored in a VOB before the failure stays).
ks_status_t bldr_vob_write_crs_dos(tbs_cr_t *cr, cr_utl_nt_hdl_t nt, int non_shareable,
                                   bldr_vob_do_desc_t *const *new_dos, uint32_t n_new,
                                   const tbs_oid_t *subordinates, uint32_t n_sub,
                                   const tbs_oid_t *primary_dep_oid, uint64_t script_hash,
                                   const cr_utl_dep_hash_t *dep_hashes, uint32_t n_hashes,
                                   const char *view_tag, view_handle_t view,
                                   bldr_vob_ver_to_elem_fn_t ver_to_elem);
