// Dependency hashes of records and of the lookups of targets.
#include "cm/cr_utl_hash.h"

#include <cstring>
#include <new>
#include <vector>

#include "ks/imsg.h"

struct cr_utl_hash_deps_s {
  std::vector<cr_utl_dep_hash_t> values;
};

namespace {

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
  for (const auto &v : arr->values)
    if (v.words[0] == hash.words[0] && v.words[1] == hash.words[1]) return KS_ST_OK;
  try {
    arr->values.push_back(hash);
  } catch (const std::bad_alloc &) {
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
