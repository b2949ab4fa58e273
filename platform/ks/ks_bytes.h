// Little-endian bytes of small files that this system writes and reads back (caches beside the
// databases): numbers and length-prefixed strings appended to a string, and a reader over
// bytes whose every take fails once the bytes run out. Such a file starts with an 8-byte mark of
// its format and ends with the CRC-32 of what comes before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "ks/fileutl.h"

inline void ks_put_u32(std::string *out, uint32_t v) {
  for (int i = 0; i < 4; i++) out->push_back(char(v >> (8 * i)));
}

inline void ks_put_u64(std::string *out, uint64_t v) {
  for (int i = 0; i < 8; i++) out->push_back(char(v >> (8 * i)));
}

inline void ks_put_bytes(std::string *out, const void *p, size_t n) {
  out->append(static_cast<const char *>(p), n);
}

inline void ks_put_str(std::string *out, const std::string &s) {
  ks_put_u32(out, uint32_t(s.size()));
  out->append(s);
}

struct ks_byte_reader {
  const uint8_t *at;
  size_t left;

  bool bytes(void *p, size_t n) {
    if (n > left) return false;
    std::memcpy(p, at, n);
    at += n;
    left -= n;
    return true;
  }
  bool u32(uint32_t *v) {
    uint8_t b[4];
    if (!bytes(b, 4)) return false;
    *v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return true;
  }
  bool u64(uint64_t *v) {
    uint8_t b[8];
    if (!bytes(b, 8)) return false;
    *v = 0;
    for (int i = 7; i >= 0; i--) *v = *v << 8 | b[i];
    return true;
  }
  bool i64(int64_t *v) {
    uint64_t u;
    if (!u64(&u)) return false;
    *v = int64_t(u);
    return true;
  }
  bool str(std::string *s) {
    uint32_t n;
    if (!u32(&n) || n > left) return false;
    s->assign(reinterpret_cast<const char *>(at), n);
    at += n;
    left -= n;
    return true;
  }
};

// Starts a file of the format mark.
inline void ks_put_start(std::string *out, const char (&mark)[8]) { ks_put_bytes(out, mark, 8); }

// Ends a file: appends the CRC of what it holds.
inline void ks_put_end(std::string *out) { ks_put_u32(out, fileutl_crc_buffer(out->data(), out->size())); }

// A reader over what lies between the mark and the CRC of the len bytes at data; false when they
// are not a whole, intact file of the format mark.
inline bool ks_byte_reader_of(const void *data, size_t len, const char (&mark)[8], ks_byte_reader *r) {
  if (len < 8 + 4) return false;
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  ks_byte_reader crc_at{bytes + len - 4, 4};
  uint32_t crc;
  if (!crc_at.u32(&crc) || crc != fileutl_crc_buffer(bytes, len - 4) || std::memcmp(bytes, mark, 8) != 0)
    return false;
  *r = ks_byte_reader{bytes + 8, len - 8 - 4};
  return true;
}
