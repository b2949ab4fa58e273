// Dependency hashes of records and of the lookups of targets.
#include "cm/cr_utl_hash.h"

#include <cstring>
#include <new>
#include <vector>

#include "ks/imsg.h"

struct cr_utl_hash_deps_s {
  std::vector<cr_utl_dep_hash_t> values;  // in the order they were added, each once
  // Once values outgrow a scan: an open-addressed table of their positions plus one (0: empty),
  // at most half full.
  std::vector<uint32_t> slots;
};

namespace {

// Up to this many values an addition scans them; beyond, it asks the table.
constexpr size_t kScanMax = 16;

bool same(const cr_utl_dep_hash_t &a, const cr_utl_dep_hash_t &b) {
  return a.words[0] == b.words[0] && a.words[1] == b.words[1];
}

// The slot of h in the table: the one holding it, or the empty one where it goes.
size_t probe(const cr_utl_hash_deps_s *a, const cr_utl_dep_hash_t &h) {
  const size_t mask = a->slots.size() - 1;
  const uint64_t key = uint64_t(h.words[0]) << 32 | h.words[1];
  for (size_t s = size_t(key * 0x9e3779b97f4a7c15ull >> 32) & mask;; s = (s + 1) & mask) {
    const uint32_t at = a->slots[s];
    if (at == 0 || same(a->values[at - 1], h)) return s;
  }
}

// Makes the table anew over every value, with room for as many again.
void reindex(cr_utl_hash_deps_s *a) {
  size_t n = 64;
  while (n < 4 * a->values.size()) n *= 2;
  a->slots.assign(n, 0);
  for (size_t i = 0; i < a->values.size(); i++) a->slots[probe(a, a->values[i])] = uint32_t(i + 1);
}

// FNV-1a over bytes, continuing from h.
uint32_t fnv(uint32_t h, const void *data, size_t len) {
  const auto *p = static_cast<const uint8_t *>(data);
  for (size_t i = 0; i < len; i++) {
    h ^= p[i];
    h *= 16777619u;
  }
  return h;
}

constexpr uint32_t kBasis = 2166136261u;

uint32_t leaf_hash(const char *leaf) { return fnv(kBasis, leaf ? leaf : "", leaf ? std::strlen(leaf) : 0); }

}  // namespace

cr_utl_dep_hash_t cr_utl_dep_hash(const char *leaf, const tbs_oid_t *elem_oid, const tbs_oid_t *ver_oid) {
  cr_utl_dep_hash_t h;
  h.words[0] = fnv(leaf_hash(leaf), elem_oid->bytes, 16);
  h.words[1] = tbs_oid_to_hash32(ver_oid);
  return h;
}

cr_utl_dep_hash_t cr_utl_do_dep_hash(const char *leaf, const tbs_oid_t *do_oid) {
  cr_utl_dep_hash_t h;
  h.words[0] = leaf_hash(leaf);
  h.words[1] = tbs_oid_to_hash32(do_oid);
  return h;
}

cr_utl_hash_deps_h_t cr_utl_new_dep_hash_array(uint32_t extent, int) {
  auto *a = new (std::nothrow) cr_utl_hash_deps_s;
  if (a == nullptr) return CR_UTL_HASH_DEPS_H_NULL;
  try {
    a->values.reserve(extent);
  } catch (const std::bad_alloc &) {
  }
  return a;
}

cr_utl_hash_deps_h_t cr_utl_clone_dep_hash_array(cr_utl_hash_deps_h_t arr) {
  if (arr == CR_UTL_HASH_DEPS_H_NULL) return CR_UTL_HASH_DEPS_H_NULL;
  try {
    return new cr_utl_hash_deps_s(*arr);
  } catch (const std::bad_alloc &) {
    return CR_UTL_HASH_DEPS_H_NULL;
  }
}

ks_status_t cr_utl_get_dep_hash_array(cr_utl_hash_deps_h_t arr, uint32_t *count,
                                      const cr_utl_dep_hash_t **values) {
  if (arr == CR_UTL_HASH_DEPS_H_NULL) return KS_ST_ERR;
  *count = uint32_t(arr->values.size());
  *values = arr->values.data();
  return KS_ST_OK;
}

ks_status_t cr_utl_add_hash_value(cr_utl_hash_deps_h_t arr, cr_utl_dep_hash_t hash) {
  if (arr == CR_UTL_HASH_DEPS_H_NULL) return KS_ST_ERR;
  try {
    if (arr->values.size() < kScanMax) {
      for (const auto &v : arr->values)
        if (same(v, hash)) return KS_ST_OK;
      arr->values.push_back(hash);
      return KS_ST_OK;
    }
    if (arr->slots.size() < 2 * (arr->values.size() + 1)) reindex(arr);
    const size_t s = probe(arr, hash);
    if (arr->slots[s] != 0) return KS_ST_OK;
    arr->values.push_back(hash);
    arr->slots[s] = uint32_t(arr->values.size());
  } catch (const std::bad_alloc &) {
    arr->slots.clear();  // the table is made anew at the next addition
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

ks_status_t cr_utl_add_dep_hash(cr_utl_hash_deps_h_t arr, vob_handle_t, const char *leaf,
                                const tbs_oid_t *elem_oid, const tbs_oid_t *ver_oid) {
  return cr_utl_add_hash_value(arr, cr_utl_dep_hash(leaf, elem_oid, ver_oid));
}

ks_status_t cr_utl_add_do_dep_hash(cr_utl_hash_deps_h_t arr, vob_handle_t, const char *leaf,
                                   const tbs_oid_t *do_oid) {
  return cr_utl_add_hash_value(arr, cr_utl_do_dep_hash(leaf, do_oid));
}

void cr_utl_dump_dep_hash_array(cr_utl_hash_deps_h_t arr) {
  if (arr == CR_UTL_HASH_DEPS_H_NULL) return;
  for (const auto &v : arr->values)
    imsg_print(IMSG_TRACE_CONT, "\t%lu, %lu\n", -1, static_cast<unsigned long>(v.words[0]),
               static_cast<unsigned long>(v.words[1]));
}

void cr_utl_destroy_dep_hash_array(cr_utl_hash_deps_h_t *arr) {
  if (arr == nullptr) return;
  delete *arr;
  *arr = CR_UTL_HASH_DEPS_H_NULL;
}
