// Record-marking XDR streams.
#include "ks/ks_xdrrec.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kLastFragment = 0x80000000u;
constexpr u_int kHeaderSize = 4;
constexpr u_int kDefaultSize = 8192;
// Buffers smaller than this could not hold a header and some data.
constexpr u_int kMinimumSize = 64;

struct rec_stream_t {
  void *handle;
  ks_xdrrec_io_t readit;
  ks_xdrrec_io_t writeit;
  bool failed;  // a callback failed: the connection is unusable

  // Output: out_base holds whole records and, at frag_header, the header slot of the fragment
  // being filled, whose data runs from frag_header + 4 to out_finger.
  char *out_base;
  char *out_boundary;
  char *out_finger;
  char *frag_header;
  bool frag_sent;     // part of the current record has been written already
  size_t out_record;  // data bytes of the current record so far

  // Input: in_finger..in_boundary is received and not yet taken.
  char *in_base;
  u_int in_size;
  char *in_boundary;
  char *in_finger;
  uint32_t fbtbc;    // bytes of the current fragment still to be taken
  bool last_frag;    // the current fragment ends its record
  size_t in_record;  // data bytes of the current record so far
};

rec_stream_t *stream_of(XDR *xdrs) { return static_cast<rec_stream_t *>(xdrs->x_private); }

// ---- output ----

// Writes everything buffered; the open fragment is closed with the last-fragment bit when eor.
bool flush_out(rec_stream_t *rs, bool eor) {
  if (rs->failed) return false;
  const uint32_t length = uint32_t(rs->out_finger - rs->frag_header) - kHeaderSize;
  const uint32_t wire = htonl(length | (eor ? kLastFragment : 0));
  memcpy(rs->frag_header, &wire, sizeof wire);
  const int total = int(rs->out_finger - rs->out_base);
  if (rs->writeit(rs->handle, rs->out_base, total) != total) {
    rs->failed = true;
    return false;
  }
  rs->frag_header = rs->out_base;
  rs->out_finger = rs->out_base + kHeaderSize;
  return true;
}

bool put_bytes(rec_stream_t *rs, const char *data, u_int len) {
  if (rs->failed) return false;
  while (len > 0) {
    if (rs->out_finger == rs->out_boundary) {
      // The fragment is full: send it and open the next fragment of the same record.
      if (!flush_out(rs, false)) return false;
      rs->frag_sent = true;
    }
    u_int take = u_int(rs->out_boundary - rs->out_finger);
    if (take > len) take = len;
    if (rs->out_record + take > KS_XDRREC_MAX_RECORD) return false;
    memcpy(rs->out_finger, data, take);
    rs->out_finger += take;
    rs->out_record += take;
    data += take;
    len -= take;
  }
  return true;
}

// ---- input ----

// Takes the next buffer of input from the connection.
bool fill_input(rec_stream_t *rs) {
  if (rs->failed) return false;
  const int got = rs->readit(rs->handle, rs->in_base, int(rs->in_size));
  if (got <= 0 || u_int(got) > rs->in_size) {
    rs->failed = true;
    return false;
  }
  rs->in_finger = rs->in_base;
  rs->in_boundary = rs->in_base + got;
  return true;
}

// Raw bytes of the connection, headers and data alike.
bool get_input_bytes(rec_stream_t *rs, char *out, size_t len) {
  while (len > 0) {
    if (rs->in_finger == rs->in_boundary && !fill_input(rs)) return false;
    size_t take = size_t(rs->in_boundary - rs->in_finger);
    if (take > len) take = len;
    memcpy(out, rs->in_finger, take);
    rs->in_finger += take;
    out += take;
    len -= take;
  }
  return true;
}

bool skip_input_bytes(rec_stream_t *rs, size_t len) {
  while (len > 0) {
    if (rs->in_finger == rs->in_boundary && !fill_input(rs)) return false;
    size_t take = size_t(rs->in_boundary - rs->in_finger);
    if (take > len) take = len;
    rs->in_finger += take;
    len -= take;
  }
  return true;
}

// Reads the header of the next fragment of the current record. An empty fragment that does not
// end its record, or a record growing beyond the limit, is refused; the framing of what follows is
// then unknown, so the stream fails for good.
bool set_input_fragment(rec_stream_t *rs) {
  uint32_t wire;
  if (!get_input_bytes(rs, reinterpret_cast<char *>(&wire), sizeof wire)) return false;
  const uint32_t header = ntohl(wire);
  const uint32_t length = header & ~kLastFragment;
  if (header == 0 || rs->in_record + length > KS_XDRREC_MAX_RECORD) {
    rs->failed = true;
    return false;
  }
  rs->in_record += length;
  rs->last_frag = (header & kLastFragment) != 0;
  rs->fbtbc = length;
  return true;
}

// Data bytes of the current record; false at its end.
bool get_bytes(rec_stream_t *rs, char *out, u_int len) {
  while (len > 0) {
    if (rs->fbtbc == 0) {
      if (rs->last_frag || !set_input_fragment(rs)) return false;
      continue;
    }
    u_int take = rs->fbtbc < len ? rs->fbtbc : len;
    if (!get_input_bytes(rs, out, take)) return false;
    rs->fbtbc -= take;
    out += take;
    len -= take;
  }
  return true;
}

// Passes over the rest of the current record.
bool skip_rest_of_record(rec_stream_t *rs) {
  while (rs->fbtbc > 0 || !rs->last_frag) {
    if (!skip_input_bytes(rs, rs->fbtbc)) return false;
    rs->fbtbc = 0;
    if (!rs->last_frag && !set_input_fragment(rs)) return false;
  }
  return true;
}

// ---- the stream operations ----

bool_t rec_getlong(XDR *xdrs, long *lp) {
  uint32_t wire;
  if (!get_bytes(stream_of(xdrs), reinterpret_cast<char *>(&wire), sizeof wire)) return FALSE;
  *lp = long(ntohl(wire));
  return TRUE;
}

bool_t rec_putlong(XDR *xdrs, const long *lp) {
  const uint32_t wire = htonl(uint32_t(*lp));
  return put_bytes(stream_of(xdrs), reinterpret_cast<const char *>(&wire), sizeof wire);
}

bool_t rec_getbytes(XDR *xdrs, char *addr, u_int len) {
  return get_bytes(stream_of(xdrs), addr, len);
}

bool_t rec_putbytes(XDR *xdrs, const char *addr, u_int len) {
  return put_bytes(stream_of(xdrs), addr, len);
}

// The position within the current record.
u_int rec_getpos(XDR *xdrs) {
  rec_stream_t *rs = stream_of(xdrs);
  if (xdrs->x_op == XDR_ENCODE) return u_int(rs->out_record);
  return u_int(rs->in_record - rs->fbtbc);
}

bool_t rec_setpos(XDR *, u_int) { return FALSE; }

int32_t *rec_inline(XDR *, u_int) { return nullptr; }

void rec_destroy(XDR *xdrs) {
  rec_stream_t *rs = stream_of(xdrs);
  if (rs == nullptr) return;
  free(rs->out_base);
  free(rs->in_base);
  free(rs);
  xdrs->x_private = nullptr;
}

bool_t rec_control(XDR *, int, void *) { return FALSE; }

const XDR::xdr_ops rec_ops = {
    rec_getlong, rec_putlong, rec_getbytes, rec_putbytes, rec_getpos,
    rec_setpos,  rec_inline,  rec_destroy,  rec_control,
};

u_int buffer_size(u_int asked) {
  if (asked == 0) return kDefaultSize;
  if (asked < kMinimumSize) return kMinimumSize;
  return (asked + 3) & ~3u;
}

}  // namespace

void ks_xdrrec_create(XDR *xdrs, u_int sendsize, u_int recvsize, void *handle,
                      ks_xdrrec_io_t readit, ks_xdrrec_io_t writeit) {
  sendsize = buffer_size(sendsize);
  recvsize = buffer_size(recvsize);
  auto *rs = static_cast<rec_stream_t *>(calloc(1, sizeof(rec_stream_t)));
  char *out = static_cast<char *>(malloc(sendsize));
  char *in = static_cast<char *>(malloc(recvsize));
  if (rs == nullptr || out == nullptr || in == nullptr) {
    free(rs);
    free(out);
    free(in);
    return;
  }
  rs->handle = handle;
  rs->readit = readit;
  rs->writeit = writeit;
  rs->out_base = out;
  rs->out_boundary = out + sendsize;
  rs->frag_header = out;
  rs->out_finger = out + kHeaderSize;
  rs->in_base = in;
  rs->in_size = recvsize;
  rs->in_finger = rs->in_boundary = in;
  rs->last_frag = true;
  xdrs->x_ops = &rec_ops;
  xdrs->x_private = rs;
  xdrs->x_public = nullptr;
  xdrs->x_base = nullptr;
  xdrs->x_handy = 0;
}

bool_t ks_xdrrec_endofrecord(XDR *xdrs, bool_t sendnow) {
  rec_stream_t *rs = stream_of(xdrs);
  if (rs->failed) return FALSE;
  rs->out_record = 0;
  if (sendnow || rs->frag_sent || rs->out_finger + kHeaderSize >= rs->out_boundary) {
    rs->frag_sent = false;
    return flush_out(rs, true);
  }
  // Close the fragment in place and open the header slot of the next record behind it.
  const uint32_t length = uint32_t(rs->out_finger - rs->frag_header) - kHeaderSize;
  const uint32_t wire = htonl(length | kLastFragment);
  memcpy(rs->frag_header, &wire, sizeof wire);
  rs->frag_header = rs->out_finger;
  rs->out_finger += kHeaderSize;
  return TRUE;
}

bool_t ks_xdrrec_skiprecord(XDR *xdrs) {
  rec_stream_t *rs = stream_of(xdrs);
  if (rs->failed || !skip_rest_of_record(rs)) return FALSE;
  rs->last_frag = false;
  rs->in_record = 0;
  return TRUE;
}

bool_t ks_xdrrec_eof(XDR *xdrs) {
  rec_stream_t *rs = stream_of(xdrs);
  if (rs->failed || !skip_rest_of_record(rs)) return TRUE;
  return rs->in_finger == rs->in_boundary;
}
