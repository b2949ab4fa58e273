// XDR routines of the platform's own integer types, and XDR streams over storage buffers.
#pragma once

#include <rpc/xdr.h>

#include <cstddef>
#include <cstdint>

typedef int64_t ks_int64_t;
typedef int64_t ks_off64_t;

// Encodes, decodes or frees a signed 64-bit integer (8 bytes, big-endian), by the stream's
// direction; arg is passed through by the callers and not used. False when the stream fails.
bool_t xdr_ks_int64_t(XDR *xdrs, ks_int64_t *value, void *arg);
// The same for a 64-bit file offset.
bool_t xdr_ks_off64_t(XDR *xdrs, ks_off64_t *value, void *arg);

// Makes *xdrs a stream in direction op over a storage buffer of size bytes that the stream owns.
// Encoding grows the buffer as needed; decoding reads at most size bytes (fill them through
// xdrstg_buffer first). XDR_GETPOS gives the bytes encoded or decoded so far; xdr_destroy frees
// the buffer. False when memory runs out (nothing to destroy then).
bool xdrstg_create(XDR *xdrs, enum xdr_op op, size_t size);

// The stream's buffer: the bytes encoded so far, or the bytes to decode.
char *xdrstg_buffer(XDR *xdrs);
