// Dependency hashes: what derived objects are shopped by besides their name. Each hash is a pair
// of 32-bit words: the first stands for the dependency (its leaf name and element, or its leaf
// name for a derived object), the second for what the dependency was (its version, or the derived
// object). Records and the lookups of targets compute them alike, so that a candidate whose record
// used a version known not to match can be passed over.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ks/ks_status.h"
#include "tbs/tbs_oid.h"
#include "vob/vob_ob.h"

// One dependency hash.
struct cr_utl_dep_hash_t {
  uint32_t words[2];
};

// A growable array of dependency hashes.
struct cr_utl_hash_deps_s;
typedef cr_utl_hash_deps_s *cr_utl_hash_deps_h_t;
#define CR_UTL_HASH_DEPS_H_NULL ((cr_utl_hash_deps_h_t)0)

// The hash of a versioned dependency and of a derived object used as a dependency.
cr_utl_dep_hash_t cr_utl_dep_hash(const char *leaf, const tbs_oid_t *elem_oid, const tbs_oid_t *ver_oid);
cr_utl_dep_hash_t cr_utl_do_dep_hash(const char *leaf, const tbs_oid_t *do_oid);

// A new empty array with room for extent hashes (it grows); flag is not used. Null when memory
// runs out.
cr_utl_hash_deps_h_t cr_utl_new_dep_hash_array(uint32_t extent, int flag);
// A copy of arr; null when memory runs out.
cr_utl_hash_deps_h_t cr_utl_clone_dep_hash_array(cr_utl_hash_deps_h_t arr);
// The count and the values (valid until the array changes). 0, or KS_ST_ERR for a null array.
ks_status_t cr_utl_get_dep_hash_array(cr_utl_hash_deps_h_t arr, uint32_t *count,
                                      const cr_utl_dep_hash_t **values);
// Add the hash of a versioned dependency / of a derived object used as one, unless the array
// holds it already. vobh is not used. 0, or KS_ST_ERR when memory runs out.
ks_status_t cr_utl_add_dep_hash(cr_utl_hash_deps_h_t arr, vob_handle_t vobh, const char *leaf,
                                const tbs_oid_t *elem_oid, const tbs_oid_t *ver_oid);
ks_status_t cr_utl_add_do_dep_hash(cr_utl_hash_deps_h_t arr, vob_handle_t vobh, const char *leaf,
                                   const tbs_oid_t *do_oid);
// Adds one hash unless present. 0, or KS_ST_ERR when memory runs out.
ks_status_t cr_utl_add_hash_value(cr_utl_hash_deps_h_t arr, cr_utl_dep_hash_t hash);
// Prints the array as a trace, one hash a line.
void cr_utl_dump_dep_hash_array(cr_utl_hash_deps_h_t arr);
// Frees the array (null is fine) and nulls the handle.
void cr_utl_destroy_dep_hash_array(cr_utl_hash_deps_h_t *arr);
