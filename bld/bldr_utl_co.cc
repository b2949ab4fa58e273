// Checked-out elements among the objects of an audit.
#include "bld/bldr_utl.h"

#include "view/view_xstat.h"
#include "vob/vob_mtype.h"

ks_status_t bldr_utl_check_for_checkout(const char *pathname, view_handle_t, tbs_oid_t *elem_oid) {
  view_oids_t o;
  ks_status_t st = view_get_oids(pathname, 0, 0, 0, &o);
  if (st == KS_ST_NOT_IN_VIEW) return KS_ST_OK;
  if (st != KS_ST_OK) return st;
  if (o.mtype == VOB_MTYPE_CHECKEDOUT && !tbs_oid_is_null(&o.elem_oid)) *elem_oid = o.elem_oid;
  return KS_ST_OK;
}
