#include "tbs/tbs_oid.h"

#include <sys/random.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

const tbs_oid_t TBS_OID_NULL = {};
const tbs_uuid_t TBS_UUID_NULL = {};

namespace {

bool is_null(const uint8_t *b) {
  for (int i = 0; i < 16; i++)
    if (b[i]) return false;
  return true;
}

char *to_text(const uint8_t *b, char *buf) {
  static const char digits[] = "0123456789abcdef";
  char *p = buf;
  for (int i = 0; i < 16; i++) {
    if (i && i % 4 == 0) *p++ = '.';
    *p++ = digits[b[i] >> 4];
    *p++ = digits[b[i] & 15];
  }
  *p = '\0';
  return buf;
}

char *next_buffer() {
  static thread_local char buffers[8][TBS_OID_STR_SIZE];
  static thread_local unsigned next = 0;
  return buffers[next++ % 8];
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Accepts 32 hexadecimal digits, optionally separated by '.', '-' or ':' between byte pairs.
ks_status_t from_text(const char *text, uint8_t *out) {
  if (!text) return KS_ST_ERR;
  uint8_t b[16];
  int n = 0;
  for (const char *p = text; *p;) {
    if (*p == '.' || *p == '-' || *p == ':') {
      if (p == text || p[1] == '\0') return KS_ST_ERR;
      p++;
      continue;
    }
    int hi = hex_value(p[0]);
    int lo = hi < 0 ? -1 : hex_value(p[1]);
    if (hi < 0 || lo < 0 || n == 16) return KS_ST_ERR;
    b[n++] = uint8_t(hi << 4 | lo);
    p += 2;
  }
  if (n != 16) return KS_ST_ERR;
  std::memcpy(out, b, 16);
  return KS_ST_OK;
}

}  // namespace

bool tbs_oid_eq(const tbs_oid_t *a, const tbs_oid_t *b) { return std::memcmp(a, b, 16) == 0; }
bool tbs_uuid_eq(const tbs_uuid_t *a, const tbs_uuid_t *b) { return std::memcmp(a, b, 16) == 0; }
int tbs_uuid_cmp(const tbs_uuid_t *a, const tbs_uuid_t *b) { return std::memcmp(a, b, 16); }
bool tbs_oid_is_null(const tbs_oid_t *oid) { return !oid || is_null(oid->bytes); }
bool tbs_uuid_is_null(const tbs_uuid_t *uuid) { return !uuid || is_null(uuid->bytes); }

const char *tbs_oid_to_str(const tbs_oid_t *oid) {
  return to_text(oid ? oid->bytes : TBS_OID_NULL.bytes, next_buffer());
}

const char *tbs_uuid_to_str(const tbs_uuid_t *uuid) {
  return to_text(uuid ? uuid->bytes : TBS_UUID_NULL.bytes, next_buffer());
}

char *tbs_oid_to_dstr(const tbs_oid_t *oid, char *buf) {
  return to_text(oid ? oid->bytes : TBS_OID_NULL.bytes, buf);
}

ks_status_t tbs_oid_from_str(const char *text, tbs_oid_t *out) { return from_text(text, out->bytes); }
ks_status_t tbs_uuid_from_str(const char *text, tbs_uuid_t *out) { return from_text(text, out->bytes); }

uint32_t tbs_oid_to_hash32(const tbs_oid_t *oid) {
  return uint32_t(crc32(0L, oid->bytes, 16));
}

ks_status_t tbs_uuid_create(tbs_uuid_t *out) {
  uint8_t b[16];
  size_t got = 0;
  while (got < sizeof b) {
    ssize_t n = getrandom(b + got, sizeof b - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return KS_ST_ERR;
    }
    got += size_t(n);
  }
  b[6] = uint8_t((b[6] & 0x0f) | 0x40);  // version 4: random
  b[8] = uint8_t((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  std::memcpy(out->bytes, b, 16);
  return KS_ST_OK;
}

tbs_oid_t tbs_uuid_to_oid(const tbs_uuid_t *uuid) {
  tbs_oid_t oid;
  std::memcpy(oid.bytes, uuid->bytes, 16);
  return oid;
}

tbs_uuid_t tbs_oid_to_uuid(const tbs_oid_t *oid) {
  tbs_uuid_t uuid;
  std::memcpy(uuid.bytes, oid->bytes, 16);
  return uuid;
}
