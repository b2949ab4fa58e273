// Reads arbitrary bytes as executor protocol input. The first byte chooses how:
//   even: the bytes arrive on a channel's socket, and the messages are read as the make process
//         or an executor reads them (kind, body, dump, free) until the input is used up;
//   odd:  the second byte names a kind and the rest is decoded as its body; a body that decodes
//         must encode back to exactly the bytes it was decoded from.
// Bad input must be refused with a message, never crash, leak or allocate without bound.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "../build_service/bldsvc_fixture_util.h"
#include "build_service/bldsvc_utl.h"
#include "ks/imsg.h"
#include "mf/mf_utl.h"

namespace {

void release(XDR *xdrs, bldsvc_rec_kind_t kind, void *body) {
  xdrs->x_op = XDR_FREE;
  bldsvc_xdr_tbl[kind].xdr_proc(xdrs, body, nullptr);
}

void read_channel(const uint8_t *data, size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
  if (size > 0 && write(fds[1], data, size) != ssize_t(size)) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  close(fds[1]);
  bldsvc_nimbrel_channel_t channel;
  memset(&channel, 0, sizeof channel);
  channel.socket = fds[0];
  if (bldsvc_utl_xdr_create_stream(&channel)) {
    for (int i = 0; i < 64; ++i) {
      const bldsvc_rec_kind_t kind = bldsvc_utl_get_next_rtype(&channel);
      if (kind == BLDSVC_REC_NONE) break;
      if (kind > 0 && kind <= BLDSVC_REC_LAST && bldsvc_xdr_tbl[kind].rec_size > 0 && (i & 1) == 0) {
        bldsvc_any_body_t body;
        channel.xdrs.x_op = XDR_DECODE;
        ks_status_t st;
        if (kind == BLDSVC_REC_RBLD_STATUS || kind == BLDSVC_REC_RBLD_DIRECT_STATUS) {
          st = bldsvc_utl_get_rbld_status_record(&channel, &body, kind);
        } else if (kind == BLDSVC_REC_RBLD_REPLY || kind == BLDSVC_REC_RBLD_REPLY_LFS) {
          st = bldsvc_utl_get_rbld_reply_record(&channel, &body.rbld_reply, kind);
        } else {
          st = KS_ST_OK;
          if (kind == BLDSVC_REC_INIT_REQ) st = bldsvc_utl_get_init_req(&channel, &body.init_req);
          if (kind == BLDSVC_REC_INIT_REPLY) st = bldsvc_utl_get_init_reply(&channel, &body.init_reply);
          if (kind == BLDSVC_REC_RBLD_REQ) st = bldsvc_utl_get_rbld_req(&channel, &body.stand);
          if (kind == BLDSVC_REC_RBLD_STATUS_REPLY) {
            st = bldsvc_utl_get_rbld_status_reply(&channel, &body.stand);
          }
          if (kind == BLDSVC_REC_NIMBREL_TERM) st = bldsvc_utl_get_nimbrel_term(&channel, &body.term);
          if (kind == BLDSVC_REC_NIMBREL_CANT_HANDLE) {
            st = bldsvc_utl_get_nimbrel_cant_handle(&channel, &body.cant_handle);
          }
        }
        if (st == KS_ST_OK) {
          bldsvc_utl_dump(kind, &body);
          release(&channel.xdrs, kind, &body);
        }
      }
      if (!bldsvc_utl_xdr_has_more(&channel)) break;
    }
    XDR_DESTROY(&channel.xdrs);
  }
  close(fds[0]);
}

void decode_body(const uint8_t *data, size_t size) {
  if (size < 1) return;
  const auto kind = bldsvc_rec_kind_t(data[0] % (BLDSVC_REC_LAST + 1));
  std::vector<char> input(data + 1, data + size);
  XDR xdrs;
  xdrmem_create(&xdrs, input.data(), u_int(input.size()), XDR_DECODE);
  bldsvc_any_body_t body;
  memset(&body, 0, sizeof body);
  const bool decoded = bldsvc_xdr_tbl[kind].xdr_proc(&xdrs, &body, nullptr);
  if (decoded) {
    const u_int used = xdr_getpos(&xdrs);
    std::vector<char> output(used + 16);
    XDR out;
    xdrmem_create(&out, output.data(), u_int(output.size()), XDR_ENCODE);
    const void *item = bldsvc_xdr_tbl[kind].rec_size > 0 ? &body : nullptr;
    if (!bldsvc_xdr_tbl[kind].xdr_proc(&out, const_cast<void *>(item), nullptr) ||
        xdr_getpos(&out) != used || (used > 0 && memcmp(output.data(), input.data(), used) != 0)) {
      __builtin_trap();  // a body that decodes must encode back to the same bytes
    }
  }
  release(&xdrs, kind, &body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static FILE *sink = [] {
    FILE *f = fopen("/dev/null", "w");
    imsg_set_streams(f, f);
    mf_verbosity = 5;  // every trace and dump runs
    bldsvc_tcp_set_retry_wait_ms(1);
    return f;
  }();
  (void)sink;
  if (size < 1) return 0;
  if ((data[0] & 1) == 0) {
    read_channel(data + 1, size - 1);
  } else {
    decode_body(data + 1, size - 1);
  }
  return 0;
}
