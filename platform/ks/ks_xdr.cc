// XDR routines of the platform's own integer types.
#include "ks/ks_xdr.h"

bool_t xdr_ks_int64_t(XDR *xdrs, ks_int64_t *value, void *) { return xdr_int64_t(xdrs, value); }
