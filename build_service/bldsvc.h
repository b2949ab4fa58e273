// The build service of the make process: its message table (shared with the executor protocol),
// the channel record of one executor connection, and the channel's printable name.
#pragma once

#include <rpc/xdr.h>

#include "build_service/bldsvc_utl_xdr.h"
#include "ks/imsg.h"

// Message table of the build service and the executor protocol, module "build_service/bldsvc".
extern const imsg_msg_table_t _bldsvc_karsel_msg_table;
enum {
  BLDSVC_MSG_ENCODE_RTYPE = 10,   // "Error encoding record type to stream. (%s)\n"
  BLDSVC_MSG_QUEUE_EOR = 11,      // "Error queuing end-of-record to stream. (%s)\n"
  BLDSVC_MSG_ENCODE_REC = 12,     // "Error encoding record %s to stream.\n"
  BLDSVC_MSG_SEND_EOR = 13,       // "Error sending end-of-record to stream. (%s)\n"
  BLDSVC_MSG_SKIP_EOR = 14,       // "Error skipping to end-of-record on stream.\n"
  BLDSVC_MSG_DECODE_RTYPE = 15,   // "Error decoding record type from stream.\n"
  BLDSVC_MSG_DECODE_REC = 16,     // "Error decoding record %s from stream.\n"
  BLDSVC_MSG_READ_RETRIES = 17,   // "Error reading from socket %d after %d attempts, ..."
  BLDSVC_MSG_READ_FAILED = 18,    // "Error reading from socket %d attempting to read %d bytes. ..."
  BLDSVC_MSG_WRITE_RETRIES = 19,  // "Error writing to socket %d after %d attempts, ..."
  BLDSVC_MSG_WRITE_FAILED = 20,   // "Error writing to socket %d attempting to write %d bytes, ..."
};

// Connection states of a channel.
#define BLDSVC_CONN_CONNECTING 0  // accepted, no INIT_REQ yet (latent)
#define BLDSVC_CONN_CONNECTED 1   // bound to an executor

// One TCP connection to an executor (on the executor's side, to the make process). The protocol
// operations use the socket, the stream and body_pending.
struct bldsvc_nimbrel_channel_t {
  int socket;               // connected socket; -1: closed
  XDR xdrs;                 // the record stream over the socket
  int conn_state;           // BLDSVC_CONN_*
  bldsvc_nimbrel_id_t aid;  // the executor it is bound to; 0 while latent
  char *last_tgt;           // pathname of the last target sent on it; null: none
  bool body_pending;        // a message's kind has been read and its body not yet entered
};

// "socket %d" with the channel's socket, in a static buffer that the next call overwrites.
const char *bldsvc_printable_nimbrel_channel_name(const bldsvc_nimbrel_channel_t *ac);
