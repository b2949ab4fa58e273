// Object identifiers and UUIDs: 16-byte values, their text forms, equality and hashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ks/ks_status.h"

// A 16-byte object identifier (element, version, view-private object, derived object, VOB).
struct tbs_oid_t {
  uint8_t bytes[16];
};

// A 16-byte universally unique identifier (views, replicas).
struct tbs_uuid_t {
  uint8_t bytes[16];
};

typedef tbs_uuid_t tbs_replica_uuid_t;

extern const tbs_oid_t TBS_OID_NULL;
extern const tbs_uuid_t TBS_UUID_NULL;

// Length of the text form "xxxxxxxx.xxxxxxxx.xxxxxxxx.xxxxxxxx" (lower-case hexadecimal) and the
// buffer size that holds it with its NUL.
#define TBS_OID_STR_LEN 35
#define TBS_OID_STR_SIZE 36

bool tbs_oid_eq(const tbs_oid_t *a, const tbs_oid_t *b);
bool tbs_uuid_eq(const tbs_uuid_t *a, const tbs_uuid_t *b);
// Bytewise order: negative, 0 or positive.
int tbs_uuid_cmp(const tbs_uuid_t *a, const tbs_uuid_t *b);
bool tbs_oid_is_null(const tbs_oid_t *oid);
bool tbs_uuid_is_null(const tbs_uuid_t *uuid);

// The text form of an identifier in a per-thread buffer that stays valid for the next seven
// calls of these two functions (so that several can appear in one message). A null pointer
// gives the text of the null identifier.
const char *tbs_oid_to_str(const tbs_oid_t *oid);
const char *tbs_uuid_to_str(const tbs_uuid_t *uuid);

// The text form written into buf (at least TBS_OID_STR_SIZE bytes); returns buf. The text is a
// stable key, suitable for hash tables.
char *tbs_oid_to_dstr(const tbs_oid_t *oid, char *buf);

// Parses a text form (the dotted form above, or 32 hexadecimal digits with or without '-'
// separators); KS_ST_OK, or KS_ST_ERR for text that is no identifier (out is left alone).
ks_status_t tbs_oid_from_str(const char *text, tbs_oid_t *out);
ks_status_t tbs_uuid_from_str(const char *text, tbs_uuid_t *out);

// A 32-bit hash of the identifier (the dependency hash of records).
uint32_t tbs_oid_to_hash32(const tbs_oid_t *oid);

// A hash of the identifier for tables in memory (never stored): its two halves mixed, which
// spreads identifiers well since they are digests or random.
inline uint32_t tbs_oid_table_hash(const tbs_oid_t &oid) {
  uint64_t a, b;
  std::memcpy(&a, oid.bytes, 8);
  std::memcpy(&b, oid.bytes + 8, 8);
  return uint32_t(((a ^ (b * 0x9e3779b97f4a7c15u)) * 0xff51afd7ed558ccdu) >> 32);
}

// An open table of places by OID: 32-bit slots, 0 when empty, else a place + 1; its size a power
// of two, at least twice the places it is to hold. tbs_oid_table_new makes one for n places.
inline std::vector<uint32_t> tbs_oid_table_new(size_t n) {
  size_t slots = 8;
  while (slots < 2 * n) slots *= 2;
  return std::vector<uint32_t>(slots, 0);
}

// The slot of oid in table t, whose places' OIDs oid_at gives: the slot holding it, or the empty
// slot where it goes.
template <class OidAt>
size_t tbs_oid_table_slot(const std::vector<uint32_t> &t, const tbs_oid_t &oid, OidAt oid_at) {
  const size_t mask = t.size() - 1;
  for (size_t s = tbs_oid_table_hash(oid) & mask;; s = (s + 1) & mask)
    if (t[s] == 0 || tbs_oid_eq(&oid_at(t[s] - 1), &oid)) return s;
}

// A new random (version 4) UUID; KS_ST_ERR when the system has no randomness to give.
ks_status_t tbs_uuid_create(tbs_uuid_t *out);

// An identifier from the same 16 bytes of another kind.
tbs_oid_t tbs_uuid_to_oid(const tbs_uuid_t *uuid);
tbs_uuid_t tbs_oid_to_uuid(const tbs_oid_t *oid);
