// Channels of the executor protocol over loopback TCP for the tests.
#include "bldsvc_channel_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "dovrel/dovrel_sockutl.h"

std::pair<int, int> bldsvc_tcp_pair() {
  dovrel_sockutl_entry_t *entries;
  int count, error;
  if (dovrel_sockutl_listen(&entries, &count, &error) != 0) return {-1, -1};
  const int listen_fd = entries[0].fd;
  struct sockaddr_in loopback;
  memset(&loopback, 0, sizeof loopback);
  loopback.sin_family = AF_INET;
  loopback.sin_port = reinterpret_cast<struct sockaddr_in *>(&entries[0].addr)->sin_port;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int connected = dovrel_sockutl_connect(reinterpret_cast<struct sockaddr *>(&loopback));
  const int accepted = connected < 0 ? -1 : dovrel_sockutl_accept(listen_fd, nullptr, &error);
  dovrel_sockutl_close(listen_fd);
  return {accepted, connected};
}

BldsvcChannel::BldsvcChannel(int fd) {
  memset(&channel_, 0, sizeof channel_);
  channel_.socket = fd;
  bldsvc_utl_xdr_create_stream(&channel_);
}

BldsvcChannel::~BldsvcChannel() {
  if (channel_.xdrs.x_ops != nullptr) XDR_DESTROY(&channel_.xdrs);
  if (channel_.socket >= 0) dovrel_sockutl_close(channel_.socket);
}

ks_status_t bldsvc_send_kind(bldsvc_nimbrel_channel_t *ac, bldsvc_rec_kind_t kind, void *r) {
  switch (kind) {
    case BLDSVC_REC_INIT_REQ:
      return bldsvc_utl_snd_init_req(ac, static_cast<bldsvc_init_req_rec_t *>(r));
    case BLDSVC_REC_INIT_REPLY:
      return bldsvc_utl_snd_init_reply(ac, static_cast<bldsvc_init_reply_rec_t *>(r));
    case BLDSVC_REC_RBLD_REQ:
      return bldsvc_utl_snd_rbld_req(ac, static_cast<bldsvc_rbld_req_rec_t *>(r));
    case BLDSVC_REC_RBLD_REPLY:
      return bldsvc_utl_snd_rbld_reply(ac, static_cast<bldsvc_rbld_reply_rec_t *>(r));
    case BLDSVC_REC_RBLD_STATUS:
      return bldsvc_utl_snd_rbld_status(ac, static_cast<bldsvc_rbld_status_rec_t *>(r));
    case BLDSVC_REC_RBLD_STATUS_REPLY:
      return bldsvc_utl_snd_rbld_status_reply(ac, static_cast<bldsvc_rbld_status_reply_rec_t *>(r));
    case BLDSVC_REC_NIMBREL_TERM:
      return bldsvc_utl_snd_nimbrel_term(ac, static_cast<bldsvc_nimbrel_term_rec_t *>(r));
    case BLDSVC_REC_NIMBREL_EXIT:
      return bldsvc_utl_snd_nimbrel_exit(ac);
    case BLDSVC_REC_NIMBREL_CANT_HANDLE:
      return bldsvc_utl_snd_nimbrel_cant_handle(
          ac, static_cast<bldsvc_nimbrel_cant_handle_rec_t *>(r));
    case BLDSVC_REC_TEST_UNHANDLED_RPC:
      return bldsvc_utl_snd_test_unhandled_rpc(ac, 3);
    case BLDSVC_REC_RBLD_DIRECT_STATUS:
      return bldsvc_utl_snd_rbld_direct_status(
          ac, static_cast<bldsvc_rbld_direct_status_rec_t *>(r));
    case BLDSVC_REC_RBLD_REPLY_LFS:
      return bldsvc_utl_snd_rbld_reply_lfs(ac, static_cast<bldsvc_rbld_reply_rec_t *>(r));
    default:
      return KS_ST_ERR;
  }
}

ks_status_t bldsvc_get_kind(bldsvc_nimbrel_channel_t *ac, bldsvc_rec_kind_t kind, void *r) {
  switch (kind) {
    case BLDSVC_REC_INIT_REQ:
      return bldsvc_utl_get_init_req(ac, static_cast<bldsvc_init_req_rec_t *>(r));
    case BLDSVC_REC_INIT_REPLY:
      return bldsvc_utl_get_init_reply(ac, static_cast<bldsvc_init_reply_rec_t *>(r));
    case BLDSVC_REC_RBLD_REQ:
      return bldsvc_utl_get_rbld_req(ac, static_cast<bldsvc_rbld_req_rec_t *>(r));
    case BLDSVC_REC_RBLD_REPLY:
    case BLDSVC_REC_RBLD_REPLY_LFS:
      return bldsvc_utl_get_rbld_reply_record(ac, static_cast<bldsvc_rbld_reply_rec_t *>(r), kind);
    case BLDSVC_REC_RBLD_STATUS:
    case BLDSVC_REC_RBLD_DIRECT_STATUS:
      return bldsvc_utl_get_rbld_status_record(ac, r, kind);
    case BLDSVC_REC_RBLD_STATUS_REPLY:
      return bldsvc_utl_get_rbld_status_reply(ac, static_cast<bldsvc_rbld_status_reply_rec_t *>(r));
    case BLDSVC_REC_NIMBREL_TERM:
      return bldsvc_utl_get_nimbrel_term(ac, static_cast<bldsvc_nimbrel_term_rec_t *>(r));
    case BLDSVC_REC_NIMBREL_CANT_HANDLE:
      return bldsvc_utl_get_nimbrel_cant_handle(
          ac, static_cast<bldsvc_nimbrel_cant_handle_rec_t *>(r));
    default:
      return KS_ST_OK;
  }
}

ks_status_t bldsvc_free_kind(bldsvc_nimbrel_channel_t *ac, bldsvc_rec_kind_t kind, void *r) {
  switch (kind) {
    case BLDSVC_REC_INIT_REQ:
      return bldsvc_utl_free_init_req(ac, static_cast<bldsvc_init_req_rec_t *>(r));
    case BLDSVC_REC_INIT_REPLY: {
      // The protocol's free keeps an INIT_REPLY for the executor's life; a test releases it.
      XDR xdrs;
      xdrs.x_op = XDR_FREE;
      xdr_bldsvc_init_reply_rec_t(&xdrs, static_cast<bldsvc_init_reply_rec_t *>(r), nullptr);
      return bldsvc_utl_free_init_reply(ac, static_cast<bldsvc_init_reply_rec_t *>(r));
    }
    case BLDSVC_REC_RBLD_REQ:
      return bldsvc_utl_free_rbld_req(ac, static_cast<bldsvc_rbld_req_rec_t *>(r));
    case BLDSVC_REC_RBLD_REPLY:
    case BLDSVC_REC_RBLD_REPLY_LFS:
      return bldsvc_utl_free_rbld_reply_record(ac, static_cast<bldsvc_rbld_reply_rec_t *>(r),
                                               kind);
    case BLDSVC_REC_RBLD_STATUS:
    case BLDSVC_REC_RBLD_DIRECT_STATUS:
      return bldsvc_utl_free_rbld_status_record(ac, r, kind);
    case BLDSVC_REC_RBLD_STATUS_REPLY:
      return bldsvc_utl_free_rbld_status_reply(ac,
                                               static_cast<bldsvc_rbld_status_reply_rec_t *>(r));
    case BLDSVC_REC_NIMBREL_TERM:
      return bldsvc_utl_free_nimbrel_term(ac, static_cast<bldsvc_nimbrel_term_rec_t *>(r));
    case BLDSVC_REC_NIMBREL_CANT_HANDLE:
      return bldsvc_utl_free_nimbrel_cant_handle(
          ac, static_cast<bldsvc_nimbrel_cant_handle_rec_t *>(r));
    default:
      return KS_ST_OK;
  }
}
