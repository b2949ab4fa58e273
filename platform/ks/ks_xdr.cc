// XDR routines of the platform's own integer types, and XDR streams over storage buffers.
#include "ks/ks_xdr.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

bool_t xdr_ks_int64_t(XDR *xdrs, ks_int64_t *value, void *) { return xdr_int64_t(xdrs, value); }

bool_t xdr_ks_off64_t(XDR *xdrs, ks_off64_t *value, void *) { return xdr_int64_t(xdrs, value); }

namespace {

// A storage buffer and the position in it.
struct stg_stream_t {
  char *base;
  size_t size;  // bytes allocated (encoding) or bytes to decode
  size_t pos;
};

stg_stream_t *stream_of(XDR *xdrs) { return static_cast<stg_stream_t *>(xdrs->x_private); }

// Room for len more bytes at the position: grows the buffer when encoding; false when the bytes
// are not there to decode or memory runs out.
bool room(XDR *xdrs, size_t len) {
  stg_stream_t *s = stream_of(xdrs);
  if (len <= s->size - s->pos) return true;
  if (xdrs->x_op != XDR_ENCODE) return false;
  size_t want = s->pos + len, grown = s->size ? s->size : 4096;
  while (grown < want) {
    if (grown > SIZE_MAX / 2) return false;
    grown *= 2;
  }
  char *bigger = static_cast<char *>(realloc(s->base, grown));
  if (bigger == nullptr) return false;
  s->base = bigger;
  s->size = grown;
  return true;
}

bool_t stg_getbytes(XDR *xdrs, char *addr, u_int len) {
  if (!room(xdrs, len)) return FALSE;
  stg_stream_t *s = stream_of(xdrs);
  if (len) memcpy(addr, s->base + s->pos, len);
  s->pos += len;
  return TRUE;
}

bool_t stg_putbytes(XDR *xdrs, const char *addr, u_int len) {
  if (!room(xdrs, len)) return FALSE;
  stg_stream_t *s = stream_of(xdrs);
  if (len) memcpy(s->base + s->pos, addr, len);
  s->pos += len;
  return TRUE;
}

bool_t stg_getlong(XDR *xdrs, long *lp) {
  uint32_t wire;
  if (!stg_getbytes(xdrs, reinterpret_cast<char *>(&wire), sizeof wire)) return FALSE;
  *lp = long(int32_t(ntohl(wire)));
  return TRUE;
}

bool_t stg_putlong(XDR *xdrs, const long *lp) {
  const uint32_t wire = htonl(uint32_t(*lp));
  return stg_putbytes(xdrs, reinterpret_cast<const char *>(&wire), sizeof wire);
}

u_int stg_getpos(XDR *xdrs) { return u_int(stream_of(xdrs)->pos); }

bool_t stg_setpos(XDR *xdrs, u_int pos) {
  stg_stream_t *s = stream_of(xdrs);
  if (pos > s->size) return FALSE;
  s->pos = pos;
  return TRUE;
}

int32_t *stg_inline(XDR *, u_int) { return nullptr; }

void stg_destroy(XDR *xdrs) {
  stg_stream_t *s = stream_of(xdrs);
  if (s == nullptr) return;
  free(s->base);
  free(s);
  xdrs->x_private = nullptr;
}

bool_t stg_control(XDR *, int, void *) { return FALSE; }

const XDR::xdr_ops stg_ops = {
    stg_getlong, stg_putlong, stg_getbytes, stg_putbytes, stg_getpos,
    stg_setpos,  stg_inline,  stg_destroy,  stg_control,
};

}  // namespace

bool xdrstg_create(XDR *xdrs, enum xdr_op op, size_t size) {
  auto *s = static_cast<stg_stream_t *>(calloc(1, sizeof(stg_stream_t)));
  char *base = static_cast<char *>(malloc(size ? size : 1));
  if (s == nullptr || base == nullptr) {
    free(s);
    free(base);
    return false;
  }
  memset(base, 0, size ? size : 1);
  s->base = base;
  s->size = size;
  xdrs->x_op = op;
  xdrs->x_ops = &stg_ops;
  xdrs->x_private = s;
  xdrs->x_public = nullptr;
  xdrs->x_base = nullptr;
  xdrs->x_handy = 0;
  return true;
}

char *xdrstg_buffer(XDR *xdrs) { return stream_of(xdrs)->base; }
