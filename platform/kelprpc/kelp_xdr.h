// XDR routines of the platform's RPC library: strings, optional items, counted arrays and times.
//
// Every routine encodes, decodes or frees by the stream's direction (x_op) and passes its last
// argument through to the element routines it calls. Decoding allocates with malloc what it
// hands out; the free direction releases it and nulls the pointers. A decode that fails releases
// whatever it had allocated for the item and leaves its pointer null, so that a record that failed
// to decode half-way can still be freed as a whole. Decoding never allocates more than a small
// multiple of the input it has actually read, whatever lengths or counts that input claims.
//
// Byte forms (4-byte big-endian units, padded with zero bytes to a multiple of 4):
//   string8: a u_int n, 0 for a null pointer, else the length with its terminating NUL; then the
//            n bytes of the string, NUL included (a string holding a NUL before its end, not
//            ending in one, or padded with other than zero bytes, does not decode);
//   optional item: a u_int 0 (absent) or 1 (present, followed by the item);
//   counted array of pointers: per element an optional item (the count travels elsewhere);
//   counted array: the elements one after another (the count travels elsewhere);
//   timeval: the seconds as a signed 64-bit value, then the microseconds as a signed 32-bit value.
#pragma once

#include <rpc/xdr.h>
#include <sys/time.h>

// An element routine: encodes, decodes or frees the item at item, with the pass-through argument.
typedef bool_t (*kelp_xdrproc_t)(XDR *xdrs, void *item, void *arg);

// The element routine of type T made from its typed routine Proc, for the array and optional-item
// routines below.
template <class T, bool_t (*Proc)(XDR *, T *, void *)>
bool_t kelp_xdr_item(XDR *xdrs, void *item, void *arg) {
  return Proc(xdrs, static_cast<T *>(item), arg);
}

// The largest length a string8 may be given: no limit beyond the byte form's own.
#define KELP_STRING8_MAX 4294967295u

// A string of at most maxsize characters, *sp (null allowed). False when the stream fails, when
// an encoded string is longer than maxsize, or when a decoded one is longer or malformed.
bool_t xdr_kelp_string8(XDR *xdrs, char **sp, u_int maxsize, void *arg);

// xdr_kelp_string8 with maximum KELP_STRING8_MAX as an element routine (item is a char **).
bool_t xdr_kelp_string8_item(XDR *xdrs, void *item, void *arg);

// An optional item: objpp is the address of a pointer to an item of obj_size bytes, which proc
// handles; null is absent. False when the stream or proc fails or a presence word is not 0 or 1.
bool_t xdr_kelp_pointer(XDR *xdrs, void *objpp, u_int obj_size, kelp_xdrproc_t proc, void *arg);

// count pointers to items of elem_size bytes: arrp is the address of the array pointer (null
// when count is 0); each element may be null. Every element takes at least 4 bytes of input.
// False when the stream or proc fails, or when an array of count > 0 to encode is missing.
bool_t xdr_kelp_parray(XDR *xdrs, void *arrp, u_int count, u_int elem_size, kelp_xdrproc_t proc,
                       void *arg);

// count items of elem_size bytes side by side: arrp is the address of the array pointer (null
// when count is 0). proc must take at least 4 bytes of input per element. False as for
// xdr_kelp_parray.
bool_t xdr_kelp_array(XDR *xdrs, void *arrp, u_int count, u_int elem_size, kelp_xdrproc_t proc,
                      void *arg);

// A time of day. False when the stream fails or the microseconds do not fit 32 bits.
bool_t xdr_timeval(XDR *xdrs, struct timeval *tv, void *arg);

// The number of bytes proc encodes for item, in *size, without writing them anywhere. False
// (with *size 0) when proc fails to encode the item.
bool_t kelp_xdr_sizeof(kelp_xdrproc_t proc, void *item, void *arg, u_long *size);
