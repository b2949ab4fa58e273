// XDR routines of the platform's identifiers and status codes.
#pragma once

#include <rpc/xdr.h>

#include "ks/ks_status.h"
#include "tbs/tbs_oid.h"

// A status code as it travels between processes.
typedef ks_status_t tbs_status_t;

// Each encodes, decodes or frees its item by the stream's direction; arg is passed through by
// the callers and not used. False when the stream fails.
// A UUID or an object identifier: its 16 bytes as they are.
bool_t xdr_tbs_uuid_t(XDR *xdrs, tbs_uuid_t *uuid, void *arg);
bool_t xdr_tbs_oid_t(XDR *xdrs, tbs_oid_t *oid, void *arg);
// A status code: a signed 32-bit value.
bool_t xdr_tbs_status_t(XDR *xdrs, tbs_status_t *status, void *arg);
