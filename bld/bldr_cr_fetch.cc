// The most recent record, record fetches and derived-object shareability.
#include "bld/bldr_cr_fetch.h"

#include <cstring>

#include "bld/bldr_cr.h"
#include "bld/bldr_cr_cache.h"
#include "bld/bldr_cr_obj.h"
#include "bld/bldr_utl.h"
#include "cm/cm_cr.h"
#include "ks/imsg.h"
#include "ks/pfm.h"
#include "mf/mf_stat.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"
#include "view/view_do.h"
#include "vob/vob_mtype.h"

tbs_cr_t bldr_cr_cached_cr = {};
int bldr_cr_cached_cr_is_valid = 0;

namespace {

int have_cached_info = 0;
tbs_uuid_t cached_view_uuid = {};
int cached_dos_shareable = 2;

}  // namespace

const tbs_cr_t *bldr_cr_cached_cr_handle() { return bldr_cr_cached_cr_is_valid ? &bldr_cr_cached_cr : nullptr; }

void bldr_cr_cached_cr_reset() {
  if (bldr_cr_cached_cr_is_valid) tbs_cr_free_cr_stg(&bldr_cr_cached_cr);
  std::memset(&bldr_cr_cached_cr, 0, sizeof bldr_cr_cached_cr);
  bldr_cr_cached_cr_is_valid = 0;
}

ks_status_t bldr_cr_cached_cr_keep(const tbs_cr_t *cr) {
  bldr_cr_cached_cr_reset();
  ks_status_t st = tbs_cr_copy_cr(cr, 1, &bldr_cr_cached_cr);
  bldr_cr_cached_cr_is_valid = st == KS_ST_OK;
  return st;
}

ks_status_t bldr_cr_fetch_cr(const char *do_pn, const tbs_oid_t *do_oid, tbs_oid_t *do_vob_oid_p,
                             vob_handle_t *do_vobh_p, tbs_uuid_t *do_view_uuid_p, tbs_cr_t *cr_p,
                             int *fetched_from_cache) {
  PFM_ASSERT(do_pn != NULL);
  PFM_ASSERT(do_oid != NULL);
  PFM_ASSERT(do_vob_oid_p != NULL);
  PFM_ASSERT(do_vobh_p != NULL);
  PFM_ASSERT(do_view_uuid_p != NULL);
  PFM_ASSERT(cr_p != NULL);
  PFM_ASSERT(fetched_from_cache != NULL);
  *fetched_from_cache = 0;
  if (bldr_cr_cache_fetch(nullptr, do_oid, cr_p)) {
    *fetched_from_cache = 1;
    return KS_ST_OK;
  }
  if (tbs_oid_is_null(do_vob_oid_p) || tbs_uuid_is_null(do_view_uuid_p)) {
    view_xstat_t xs;
    tbs_uuid_t view_uuid = TBS_UUID_NULL;
    ks_status_t st = mf_stat_view_info(static_cast<mf_stat_handle_t>(mfc_mf_stat_handle), do_pn, 0,
                                       &xs, do_vob_oid_p, nullptr, &view_uuid);
    if (st != KS_ST_OK) return st;
    PFM_ASSERT(VOB_MTYPE_IS_DO(xs.mtype));
    if (tbs_uuid_is_null(do_view_uuid_p)) *do_view_uuid_p = view_uuid;
  }
  if (*do_vobh_p == VOB_HANDLE_NULL) {
    ks_status_t st = vob_ob_vob_oid_to_vobh(do_vob_oid_p, do_vobh_p);
    if (st != KS_ST_OK) return st;
  }
  return cm_cr_get_cr(*do_vobh_p, do_oid, 1, 1, do_view_uuid_p, cr_p);
}

ks_status_t bldr_cr_tgt_builds_shareable_dos(const char *, view_handle_t view, int *answer) {
  const tbs_uuid_t *uuid = view_get_uuid(view);
  tbs_uuid_t u = uuid ? *uuid : TBS_UUID_NULL;
  if (have_cached_info && tbs_uuid_eq(&u, &cached_view_uuid)) {
    *answer = cached_dos_shareable;
    return KS_ST_OK;
  }
  cached_view_uuid = u;
  uint32_t value = 0;
  ks_status_t st = view_getprop(view, 4, &value);
  if (st == KS_ST_OK) {
    cached_dos_shareable = value == 0 ? 1 : 0;
  } else {
    cached_dos_shareable = 2;
    if (bldr_cr_traced(2)) {
      bldr_cr_note_auto_save_audit_files();
      imsg_print(IMSG_WARNING, "Failed view query for DO shareability: %s\n", -1, tbs_strerror(st));
    }
  }
  have_cached_info = 1;
  *answer = cached_dos_shareable;
  return KS_ST_OK;
}

ks_status_t bldr_cr_get_cr_cwd_accessible_abs_pn(const tbs_cr_t *cr_p, cr_utl_nt_hdl_t nt_h,
                                                 uint32_t index, size_t sizeof_caa_pn,
                                                 char *caa_pn) {
  PFM_ASSERT(cr_p != NULL);
  PFM_ASSERT(nt_h != CR_UTL_NT_HDL_NULL);
  PFM_ASSERT(sizeof_caa_pn > 1);
  PFM_ASSERT(caa_pn != NULL);
  char vrel[1024];
  if (cr_utl_get_pn(nt_h, cr_p, index, sizeof vrel, vrel) == nullptr) {
    imsg_print(IMSG_ERROR, "Unable to compute object pathname from audit info\n", -1);
    return KS_ST_ERR;
  }
  return bldr_cr_vrel_accessible_pn(vrel, sizeof_caa_pn, caa_pn);
}
