// Channels of the executor protocol over loopback TCP for the tests, and sending, receiving and
// freeing a message of any kind through the per-kind operations.
#pragma once

#include <utility>

#include "build_service/bldsvc_utl.h"

// A connected loopback TCP pair made with the platform's socket helpers: the accepted end first,
// the connecting end second. Both -1 on failure.
std::pair<int, int> bldsvc_tcp_pair();

// A channel with its record stream over fd; the destructor destroys the stream and closes fd.
class BldsvcChannel {
 public:
  explicit BldsvcChannel(int fd);
  ~BldsvcChannel();
  BldsvcChannel(const BldsvcChannel &) = delete;
  BldsvcChannel &operator=(const BldsvcChannel &) = delete;
  bldsvc_nimbrel_channel_t *get() { return &channel_; }

 private:
  bldsvc_nimbrel_channel_t channel_;
};

// The send, receive and free operations of kind (record is null for the kinds without a body;
// receiving or freeing those does nothing and gives 0).
ks_status_t bldsvc_send_kind(bldsvc_nimbrel_channel_t *ac, bldsvc_rec_kind_t kind, void *record);
ks_status_t bldsvc_get_kind(bldsvc_nimbrel_channel_t *ac, bldsvc_rec_kind_t kind, void *storage);
ks_status_t bldsvc_free_kind(bldsvc_nimbrel_channel_t *ac, bldsvc_rec_kind_t kind, void *storage);
