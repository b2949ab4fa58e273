// XDR routines of the platform's identifiers and status codes.
#include "tbs/tbs_xdr.h"

bool_t xdr_tbs_uuid_t(XDR *xdrs, tbs_uuid_t *uuid, void *) {
  return xdr_opaque(xdrs, reinterpret_cast<char *>(uuid->bytes), sizeof uuid->bytes);
}

bool_t xdr_tbs_oid_t(XDR *xdrs, tbs_oid_t *oid, void *) {
  return xdr_opaque(xdrs, reinterpret_cast<char *>(oid->bytes), sizeof oid->bytes);
}

bool_t xdr_tbs_status_t(XDR *xdrs, tbs_status_t *status, void *) {
  return xdr_int32_t(xdrs, status);
}
