// Records of every kind of the executor protocol with their exact XDR bytes, and helpers to
// encode and compare them.
#pragma once

#include <rpc/xdr.h>

#include <string>
#include <vector>

#include "build_service/bldsvc_utl_xdr.h"

// One record and the bytes of its body.
struct bldsvc_golden_t {
  const char *title;
  bldsvc_rec_kind_t kind;
  void *record;     // null for the kinds without a body
  std::string hex;  // the body's bytes, lower-case hexadecimal
};

// A record of every kind 1 to 12 (RBLD_REPLY also with a dependency that only the large-file
// layout can carry).
const std::vector<bldsvc_golden_t> &bldsvc_golden_records();

// The body bytes of record of kind as hexadecimal; "FAIL" when it does not encode.
std::string bldsvc_encode_hex(bldsvc_rec_kind_t kind, void *record);

// Decodes hex as a body of kind into storage (at least its size); false when it does not decode
// or leaves bytes over. Either way storage is to be freed with bldsvc_free_body.
bool bldsvc_decode_hex(bldsvc_rec_kind_t kind, const std::string &hex, void *storage);

// Releases what decoding put into storage.
void bldsvc_free_body(bldsvc_rec_kind_t kind, void *storage);

// Bytes as lower-case hexadecimal, and back (white space in hex is skipped).
std::string bldsvc_to_hex(const void *data, size_t size);
std::vector<unsigned char> bldsvc_from_hex(const std::string &hex);

// Storage large enough for any body.
union bldsvc_any_body_t {
  bldsvc_init_req_rec_t init_req;
  bldsvc_init_reply_rec_t init_reply;
  bldsvc_stand_rec_t stand;
  bldsvc_rbld_reply_rec_t rbld_reply;
  bldsvc_rbld_status_rec_t rbld_status;
  bldsvc_nimbrel_term_rec_t term;
  bldsvc_nimbrel_cant_handle_rec_t cant_handle;
  bldsvc_rbld_direct_status_rec_t direct_status;
};
