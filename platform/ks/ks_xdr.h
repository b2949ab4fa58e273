// XDR routines of the platform's own integer types.
#pragma once

#include <rpc/xdr.h>

#include <cstdint>

typedef int64_t ks_int64_t;

// Encodes, decodes or frees a signed 64-bit integer (8 bytes, big-endian), by the stream's
// direction; arg is passed through by the callers and not used. False when the stream fails.
bool_t xdr_ks_int64_t(XDR *xdrs, ks_int64_t *value, void *arg);
