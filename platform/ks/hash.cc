#include "ks/hash.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr size_t kAlign = alignof(std::max_align_t);

struct hash_entry {
  hash_entry *chain;       // next entry of the same bucket
  hash_entry *prev_order;  // insertion order
  hash_entry *next_order;
  size_t hash;
  char *key;
  // data slot follows at kDataOffset
};

constexpr size_t kDataOffset = (sizeof(hash_entry) + kAlign - 1) & ~(kAlign - 1);

void *entry_data(hash_entry *e) { return reinterpret_cast<char *>(e) + kDataOffset; }

size_t hash_key(const char *key) { return std::hash<std::string_view>{}(key); }

}  // namespace

struct hash_ht_s {
  hash_entry **buckets;
  size_t bucket_count;
  size_t count;
  size_t data_size;
  unsigned factor;
  hash_entry *first;
  hash_entry *last;
};

hash_ht_t hash_str_create(unsigned buckets, size_t data_size, int) {
  auto *t = static_cast<hash_ht_s *>(std::calloc(1, sizeof(hash_ht_s)));
  if (t == nullptr) return HASH_HT_NULL;
  t->bucket_count = buckets < 8 ? 8 : buckets;
  t->buckets = static_cast<hash_entry **>(std::calloc(t->bucket_count, sizeof(hash_entry *)));
  if (t->buckets == nullptr) {
    std::free(t);
    return HASH_HT_NULL;
  }
  t->data_size = data_size;
  t->factor = 2;
  return t;
}

// Tables always keep insertion order and grow; the two settings are accepted for the callers.
void hash_set_order(hash_ht_t) {}

void hash_set_dynamic(hash_ht_t table, unsigned factor) { table->factor = factor ? factor : 1; }

static hash_entry *find(hash_ht_t t, const char *key, size_t h) {
  for (hash_entry *e = t->buckets[h % t->bucket_count]; e != nullptr; e = e->chain)
    if (e->hash == h && std::strcmp(e->key, key) == 0) return e;
  return nullptr;
}

static void grow(hash_ht_t t) {
  size_t n = t->bucket_count * 2;
  auto **b = static_cast<hash_entry **>(std::calloc(n, sizeof(hash_entry *)));
  if (b == nullptr) return;  // keep the old array: lookups stay correct, only slower
  for (hash_entry *e = t->first; e != nullptr; e = e->next_order) {
    e->chain = b[e->hash % n];
    b[e->hash % n] = e;
  }
  std::free(t->buckets);
  t->buckets = b;
  t->bucket_count = n;
}

int hash_str_enter(hash_ht_t t, const char *key, const char **out_key, void **out_data) {
  size_t h = hash_key(key);
  if (hash_entry *e = find(t, key, h)) {
    if (out_key) *out_key = e->key;
    if (out_data) *out_data = entry_data(e);
    return 1;
  }
  size_t klen = std::strlen(key);
  auto *e = static_cast<hash_entry *>(std::calloc(1, kDataOffset + t->data_size + klen + 1));
  if (e == nullptr) return -1;
  e->key = static_cast<char *>(entry_data(e)) + t->data_size;
  std::memcpy(e->key, key, klen + 1);
  e->hash = h;
  e->chain = t->buckets[h % t->bucket_count];
  t->buckets[h % t->bucket_count] = e;
  e->prev_order = t->last;
  if (t->last) t->last->next_order = e;
  else t->first = e;
  t->last = e;
  t->count++;
  if (t->count > t->bucket_count * t->factor) grow(t);
  if (out_key) *out_key = e->key;
  if (out_data) *out_data = entry_data(e);
  return 0;
}

int hash_str_lookup(hash_ht_t t, const char *key, const char **out_key, void **out_data) {
  hash_entry *e = find(t, key, hash_key(key));
  if (e == nullptr) return 0;
  if (out_key) *out_key = e->key;
  if (out_data) *out_data = entry_data(e);
  return 1;
}

int hash_str_remove(hash_ht_t t, const char *key) {
  size_t h = hash_key(key);
  hash_entry **pp = &t->buckets[h % t->bucket_count];
  for (; *pp != nullptr; pp = &(*pp)->chain) {
    hash_entry *e = *pp;
    if (e->hash != h || std::strcmp(e->key, key) != 0) continue;
    *pp = e->chain;
    if (e->prev_order) e->prev_order->next_order = e->next_order;
    else t->first = e->next_order;
    if (e->next_order) e->next_order->prev_order = e->prev_order;
    else t->last = e->prev_order;
    t->count--;
    std::free(e);
    return 1;
  }
  return 0;
}

hash_cursor_t hash_str_next_in_order(hash_ht_t t, hash_cursor_t cursor, const char **out_key,
                                     void **out_data) {
  auto *e = cursor ? static_cast<hash_entry *>(cursor)->next_order : t->first;
  if (e == nullptr) return nullptr;
  if (out_key) *out_key = e->key;
  if (out_data) *out_data = entry_data(e);
  return e;
}

hash_cursor_t hash_str_next(hash_ht_t t, hash_cursor_t cursor, const char **out_key,
                            void **out_data) {
  return hash_str_next_in_order(t, cursor, out_key, out_data);
}

void hash_term_scan(hash_ht_t) {}

size_t hash_count(hash_ht_t t) { return t->count; }

void hash_delete_ht(hash_ht_t *table_p) {
  if (table_p == nullptr || *table_p == HASH_HT_NULL) return;
  hash_ht_t t = *table_p;
  hash_entry *e = t->first;
  while (e != nullptr) {
    hash_entry *next = e->next_order;
    std::free(e);
    e = next;
  }
  std::free(t->buckets);
  std::free(t);
  *table_p = HASH_HT_NULL;
}
