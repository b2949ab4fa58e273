// Record-marking XDR streams over a connection.
//
// The byte form is the record marking of the RPC library's TCP streams: a record is one or more
// fragments, each a 4-byte big-endian header (the top bit marks the last fragment of the record,
// the other 31 bits give the fragment's length) followed by that many bytes. The stream reads and
// writes through the caller's callbacks, buffering both ways. A record of more than
// KS_XDRREC_MAX_RECORD bytes of data is refused in both directions, so that no peer can make a
// reader take an unbounded amount of input as one record; an empty fragment that does not end its
// record is refused as well.
//
// Reading starts with ks_xdrrec_skiprecord, which positions the stream at the start of the next
// record; decoding past the end of a record fails. After a callback has failed (a closed or broken
// connection) every further operation of the stream fails at once and ks_xdrrec_eof reports that
// nothing is left.
#pragma once

#include <rpc/xdr.h>

#include <cstddef>

// A transfer callback: moves at most len bytes (len > 0) between buf and the connection for the
// stream made with handle. Returns the number of bytes moved (a read may return fewer than asked;
// a write that returns fewer than asked has failed), or -1 on failure.
typedef int (*ks_xdrrec_io_t)(void *handle, char *buf, int len);

// The most data bytes (fragment headers not counted) of a record that a stream sends or accepts.
#define KS_XDRREC_MAX_RECORD (16u * 1024u * 1024u)

// Makes *xdrs a record stream over the connection that handle stands for, with a send buffer of
// sendsize and a receive buffer of recvsize bytes (0 selects the default size). The direction
// (xdrs->x_op) is the caller's to set before each use. When memory runs out, xdrs->x_ops is left
// as it was: a caller that cleared it first sees the failure there.
void ks_xdrrec_create(XDR *xdrs, u_int sendsize, u_int recvsize, void *handle,
                      ks_xdrrec_io_t readit, ks_xdrrec_io_t writeit);

// Ends the record being encoded. With sendnow false the record may stay buffered behind the next
// one (it is sent when the buffer fills or a later record is ended with sendnow true); with
// sendnow true everything buffered is written. False when a write fails.
bool_t ks_xdrrec_endofrecord(XDR *xdrs, bool_t sendnow);

// Passes over what is left unread of the current record and positions the stream at the start of
// the next one. False when the input cannot be read or a fragment header is invalid.
bool_t ks_xdrrec_skiprecord(XDR *xdrs);

// Passes over what is left unread of the current record, then tells whether the receive buffer
// is empty: true when no further input has arrived (or the stream has failed), false when more
// input is waiting.
bool_t ks_xdrrec_eof(XDR *xdrs);
