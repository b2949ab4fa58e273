// The derived-object and configuration-record store of VOBs: records of derived objects, their
// dependency hashes, and what the VOB knows of a derived object.
//
// A VOB keeps, in its vob.db, each record (its encoded bytes and their CRC) and each derived
// object with the record that made it, the directory and name it is shopped by, the view that
// built it and the status its data had then. The data of a shared derived object lies in the
// VOB's pool ("<git dir>/vessary/pool/<DO OID text>").
#pragma once

#include <cstdint>
#include <string>

#include "cm/cr_utl_hash.h"
#include "ks/ks_status.h"
#include "ks/stg.h"
#include "tbs/tbs_cr.h"
#include "vob/vob_ob.h"

struct stat;

// The record of the derived object do_oid of the VOB into *cr (heap storage: free it with
// cm_cr_free_cr). flag, trace and view_uuid are not used. 0; KS_ST_NOT_FOUND when the derived
// object has no record; KS_ST_TRUNCATED when the stored bytes do not match their CRC;
// KS_ST_XDR_FAILED when they do not decode; KS_ST_ERR when the VOB cannot be read (printed).
// *cr is zeroed on every failure.
ks_status_t cm_cr_get_cr(vob_handle_t vobh, const tbs_oid_t *do_oid, int flag, int trace,
                         const tbs_uuid_t *view_uuid, tbs_cr_t *cr);

// Frees a record that cm_cr_get_cr filled. 0.
ks_status_t cm_cr_free_cr(vob_handle_t vobh, tbs_cr_t *cr);

// The dependency hashes of a record: one for each file or symbolic link that the build used as a
// dependency (declared or detected) and did not make: a versioned object by its leaf name,
// element and version, a derived object by its leaf name and OID. *array receives a new array
// (free it with cr_utl_destroy_dep_hash_array), *count and *hashes its content. area is not used.
// 0, or KS_ST_ERR when memory runs out.
ks_status_t cm_cr_get_dep_hashes(const tbs_cr_t *cr, stg_area_t area, uint32_t *count,
                                 const cr_utl_dep_hash_t **hashes, cr_utl_hash_deps_h_t *array);

// What the VOB knows of a derived object.
struct cm_do_info_t {
  tbs_oid_t ver_oid;      // the derived object's OID
  int32_t has_data;       // its data can still be had: from the pool, or unchanged in its view
  int32_t shared;         // promoted: its data lies in the pool
  int32_t has_container;  // its data can be had for promotion or winkin (as has_data)
  uint32_t mtype;         // its meta-type in the VOB
  int32_t non_shareable;
  tbs_uuid_t view_uuid;   // the view that built it
};

// What the VOB knows of the derived object do_oid; with data given, the status of the data's file
// as it was checked goes there when it has data. 0; KS_ST_NOT_FOUND when the VOB has no such
// derived object; KS_ST_ERR when the VOB cannot be read (printed).
ks_status_t cm_do_get_info(vob_handle_t vobh, const tbs_oid_t *do_oid, cm_do_info_t *info,
                           struct stat *data = nullptr);

struct dbrpc_vobdb_do_t;

// The pathname of an unshared derived object's data: its file in the view that built it, while
// that file is unchanged since the build (with seen given, its status as checked goes there).
// KS_ST_OK, or KS_ST_NOT_FOUND.
ks_status_t cm_do_view_data_pname(vob_handle_t vobh, const dbrpc_vobdb_do_t &d, std::string *path,
                                  struct stat *seen = nullptr);

// The pathname of a derived object's data in the VOB's pool.
std::string cm_do_pool_pname(vob_handle_t vobh, const tbs_oid_t *do_oid);
