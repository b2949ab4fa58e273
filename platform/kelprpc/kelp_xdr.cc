// XDR routines of the platform's RPC library.
#include "kelprpc/kelp_xdr.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Strings and arrays grow by at most this much per step while they are decoded, so that memory
// follows the input that has arrived rather than the length it announced.
constexpr size_t kDecodeStep = 64 * 1024;

void *load_pointer(const void *address) {
  void *p;
  memcpy(&p, address, sizeof p);
  return p;
}

void store_pointer(void *address, void *p) { memcpy(address, &p, sizeof p); }

// Runs proc over item in the free direction, whatever the stream's direction is.
void free_item(XDR *xdrs, kelp_xdrproc_t proc, void *item, void *arg) {
  const xdr_op op = xdrs->x_op;
  xdrs->x_op = XDR_FREE;
  proc(xdrs, item, arg);
  xdrs->x_op = op;
}

// Releases a heap item and what it holds.
void free_object(XDR *xdrs, kelp_xdrproc_t proc, void *obj, void *arg) {
  if (obj == nullptr) return;
  free_item(xdrs, proc, obj, arg);
  free(obj);
}

bool_t decode_string(XDR *xdrs, char **sp, u_int maxsize) {
  u_int size;
  if (!xdr_u_int(xdrs, &size)) return FALSE;
  if (size == 0) return TRUE;
  if (size - 1 > maxsize) return FALSE;
  char *text = nullptr;
  size_t capacity = 0, got = 0;
  while (got < size) {
    size_t step = size - got < kDecodeStep ? size - got : kDecodeStep;
    if (got + step > capacity) {
      size_t grown = capacity * 2 > got + step ? capacity * 2 : got + step;
      if (grown > size) grown = size;
      char *bigger = static_cast<char *>(realloc(text, grown));
      if (bigger == nullptr) {
        free(text);
        return FALSE;
      }
      text = bigger;
      capacity = grown;
    }
    if (!XDR_GETBYTES(xdrs, text + got, u_int(step))) {
      free(text);
      return FALSE;
    }
    got += step;
  }
  // The padding must be zero bytes, as the byte form writes it: then every string that decodes
  // has exactly one encoding.
  char pad[4] = {0, 0, 0, 0};
  const u_int pad_size = (4 - size % 4) % 4;
  if ((pad_size > 0 && !XDR_GETBYTES(xdrs, pad, pad_size)) || (pad[0] | pad[1] | pad[2]) != 0 ||
      text[size - 1] != 0 || memchr(text, 0, size - 1) != nullptr) {
    free(text);
    return FALSE;
  }
  *sp = text;
  return TRUE;
}

// The slot of element i of an array of elements of size bytes.
char *slot(char *base, size_t i, u_int size) { return base + i * size; }

// An element of an array of pointers: an optional item of size bytes handled by proc.
struct pointer_element_t {
  u_int size;
  kelp_xdrproc_t proc;
  void *arg;
};

bool_t xdr_pointer_element(XDR *xdrs, void *item, void *element) {
  const auto *e = static_cast<const pointer_element_t *>(element);
  return xdr_kelp_pointer(xdrs, item, e->size, e->proc, e->arg);
}

}  // namespace

bool_t xdr_kelp_string8(XDR *xdrs, char **sp, u_int maxsize, void *) {
  switch (xdrs->x_op) {
    case XDR_ENCODE: {
      u_int size = 0;
      if (*sp != nullptr) {
        const size_t length = strlen(*sp);
        if (length > maxsize || length >= UINT32_MAX) return FALSE;
        size = u_int(length + 1);
      }
      if (!xdr_u_int(xdrs, &size)) return FALSE;
      return size == 0 || xdr_opaque(xdrs, *sp, size);
    }
    case XDR_DECODE:
      *sp = nullptr;
      return decode_string(xdrs, sp, maxsize);
    case XDR_FREE:
      free(*sp);
      *sp = nullptr;
      return TRUE;
  }
  return FALSE;
}

bool_t xdr_kelp_string8_item(XDR *xdrs, void *item, void *arg) {
  return xdr_kelp_string8(xdrs, static_cast<char **>(item), KELP_STRING8_MAX, arg);
}

bool_t xdr_kelp_pointer(XDR *xdrs, void *objpp, u_int obj_size, kelp_xdrproc_t proc, void *arg) {
  void *obj = load_pointer(objpp);
  switch (xdrs->x_op) {
    case XDR_ENCODE: {
      u_int present = obj != nullptr;
      if (!xdr_u_int(xdrs, &present)) return FALSE;
      return obj == nullptr || proc(xdrs, obj, arg);
    }
    case XDR_DECODE: {
      store_pointer(objpp, nullptr);
      u_int present;
      if (!xdr_u_int(xdrs, &present) || present > 1) return FALSE;
      if (present == 0) return TRUE;
      obj = calloc(1, obj_size == 0 ? 1 : obj_size);
      if (obj == nullptr) return FALSE;
      if (!proc(xdrs, obj, arg)) {
        free_object(xdrs, proc, obj, arg);
        return FALSE;
      }
      store_pointer(objpp, obj);
      return TRUE;
    }
    case XDR_FREE:
      free_object(xdrs, proc, obj, arg);
      store_pointer(objpp, nullptr);
      return TRUE;
  }
  return FALSE;
}

bool_t xdr_kelp_array(XDR *xdrs, void *arrp, u_int count, u_int elem_size, kelp_xdrproc_t proc,
                      void *arg) {
  char *array = static_cast<char *>(load_pointer(arrp));
  switch (xdrs->x_op) {
    case XDR_ENCODE:
      if (count > 0 && array == nullptr) return FALSE;
      for (u_int i = 0; i < count; ++i) {
        if (!proc(xdrs, slot(array, i, elem_size), arg)) return FALSE;
      }
      return TRUE;
    case XDR_DECODE: {
      store_pointer(arrp, nullptr);
      if (count == 0) return TRUE;
      array = nullptr;
      size_t capacity = 0;
      for (size_t i = 0; i < count; ++i) {
        if (i == capacity) {
          size_t grown = capacity == 0 ? 16 : capacity * 2;
          if (grown > count) grown = count;
          char *bigger = static_cast<char *>(realloc(array, grown * elem_size));
          if (bigger == nullptr) break;
          array = bigger;
          memset(slot(array, capacity, elem_size), 0, (grown - capacity) * elem_size);
          capacity = grown;
        }
        if (!proc(xdrs, slot(array, i, elem_size), arg)) {
          free_item(xdrs, proc, slot(array, i, elem_size), arg);
          capacity = i;  // elements before i are whole
          break;
        }
      }
      if (capacity < count) {
        for (size_t i = 0; i < capacity; ++i) free_item(xdrs, proc, slot(array, i, elem_size), arg);
        free(array);
        return FALSE;
      }
      store_pointer(arrp, array);
      return TRUE;
    }
    case XDR_FREE:
      if (array == nullptr) return TRUE;
      for (u_int i = 0; i < count; ++i) proc(xdrs, slot(array, i, elem_size), arg);
      free(array);
      store_pointer(arrp, nullptr);
      return TRUE;
  }
  return FALSE;
}

bool_t xdr_kelp_parray(XDR *xdrs, void *arrp, u_int count, u_int elem_size, kelp_xdrproc_t proc,
                       void *arg) {
  pointer_element_t element = {elem_size, proc, arg};
  return xdr_kelp_array(xdrs, arrp, count, sizeof(void *), xdr_pointer_element, &element);
}

bool_t xdr_timeval(XDR *xdrs, struct timeval *tv, void *) {
  int64_t seconds = tv->tv_sec;
  int32_t microseconds = int32_t(tv->tv_usec);
  if (xdrs->x_op == XDR_ENCODE && tv->tv_usec != microseconds) return FALSE;
  if (!xdr_int64_t(xdrs, &seconds) || !xdr_int32_t(xdrs, &microseconds)) return FALSE;
  if (xdrs->x_op == XDR_DECODE) {
    tv->tv_sec = time_t(seconds);
    tv->tv_usec = microseconds;
  }
  return TRUE;
}

namespace {

// A stream that only counts what is encoded into it: x_handy holds nothing, x_private the count.
u_long &count_of(XDR *xdrs) { return *static_cast<u_long *>(xdrs->x_private); }
bool_t count_getlong(XDR *, long *) { return FALSE; }
bool_t count_putlong(XDR *xdrs, const long *) {
  count_of(xdrs) += 4;
  return TRUE;
}
bool_t count_getbytes(XDR *, char *, u_int) { return FALSE; }
bool_t count_putbytes(XDR *xdrs, const char *, u_int len) {
  count_of(xdrs) += len;
  return TRUE;
}
u_int count_getpos(XDR *xdrs) { return u_int(count_of(xdrs)); }
bool_t count_setpos(XDR *, u_int) { return FALSE; }
int32_t *count_inline(XDR *, u_int) { return nullptr; }
void count_destroy(XDR *) {}
bool_t count_control(XDR *, int, void *) { return FALSE; }

const XDR::xdr_ops count_ops = {
    count_getlong, count_putlong, count_getbytes, count_putbytes, count_getpos,
    count_setpos,  count_inline,  count_destroy,  count_control,
};

}  // namespace

bool_t kelp_xdr_sizeof(kelp_xdrproc_t proc, void *item, void *arg, u_long *size) {
  u_long count = 0;
  XDR xdrs;
  memset(&xdrs, 0, sizeof xdrs);
  xdrs.x_op = XDR_ENCODE;
  xdrs.x_ops = &count_ops;
  xdrs.x_private = &count;
  const bool_t ok = proc(&xdrs, item, arg);
  *size = ok ? count : 0;
  return ok;
}
