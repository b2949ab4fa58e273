#include "ks/hash.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Entries and their data slots are aligned as area memory is (see stg_alloc).
constexpr size_t kAlign = alignof(void *);

// An entry is this header, then the data slot, then the NUL-terminated key; the key's place
// follows from the table's data size, so no pointer to it is kept.
struct hash_entry {
  hash_entry *chain;  // next entry of the same bucket
  uint32_t hash;
  // Of an entry of an ordered table: its size in kAlign units above kStateBits, and its state
  // (kLive, kRemoved or kBlockEnd) in them.
  uint32_t state;
};

// The states of an ordered table's entries (see hash_ht_s).
constexpr uint32_t kStateBits = 2;
constexpr uint32_t kLive = 0;
constexpr uint32_t kRemoved = 1;
constexpr uint32_t kBlockEnd = 2;  // not an entry: the mark behind a block's last entry

constexpr size_t kDataOffset = (sizeof(hash_entry) + kAlign - 1) & ~(kAlign - 1);
// Where the key starts in an entry of an unordered table without data: over the unused state
// field, so its entries take a word less whenever the key's last word is half-filled or less.
constexpr size_t kBareKeyOffset = offsetof(hash_entry, state);


uint32_t hash_key(const char *key) {
  size_t h = std::hash<std::string_view>{}(key);
  return static_cast<uint32_t>(h ^ (h >> 32));
}

}  // namespace

// A bucket is the address of the first entry of its chain, with a summary of the hashes on the
// chain in the top bits, which user-space addresses leave unused: two bits per entry, taken from
// the hash bits above those that choose the bucket. A key whose bits are not all set is not on
// the chain, so a lookup that misses mostly reads the bucket alone instead of every entry of the
// chain. A table that meets an entry whose address needs those bits keeps no summaries.
typedef uintptr_t hash_bucket;

// Beside the buckets, a byte per bucket marks two bits per entry of its chain, taken from the top
// bits of their hashes: a key whose two bits are not both marked is not on the chain. The marks
// take an eighth of the buckets' room and stay in the cache where the buckets do not, so a
// lookup that misses mostly reads its mark alone.

// Entries come from blocks the table owns, carved in steps of kAlign bytes: no allocator header
// per entry. An ordered table's entries lie in its blocks in insertion order, whatever their size,
// and a walk in order follows them there: each block but the newest ends in a kBlockEnd mark that
// leads to the next block's first entry. A removed entry of an ordered table stays where it is,
// marked removed, except the newest, whose room goes back to its block. In a table made
// unordered, a removed entry goes on a free list of its size and is reused by the next entry of
// that size, entries larger than kPooledMax are single heap blocks, and walks follow the buckets.
struct hash_ht_s {
  hash_bucket *buckets;
  bool summaries;     // the buckets hold summaries
  uint32_t bucket_count;  // a power of two
  uint8_t *marks;         // one per bucket
  // The entry the last lookup found: callers often ask for the same name several times in a
  // row, and it is then found without reading the bucket array.
  hash_entry *last_found;
  uint32_t factor;
  size_t count;
  size_t data_size;
  size_t key_offset;   // of the key in an entry: behind the data slot, or kBareKeyOffset
  bool unordered;      // walks follow the buckets
  char *block_next;   // free space of the newest block
  size_t block_left;
  size_t block_size;  // of the next block; doubles up to kBlockMax
  char *blocks;       // the oldest block; each is chained to the next newer by its first word
  char *newest_block;
  void **free_by_units;  // removed entries of an unordered table by size in kAlign units, or null
};

namespace {

constexpr unsigned kStartBuckets = 8;
constexpr size_t kPooledMax = 1024;
constexpr size_t kBlockMax = 64 * 1024;
constexpr size_t kBlockHeader = kAlign;  // the chain word, padded to keep entries aligned

size_t entry_size(hash_ht_t t, size_t klen) {
  return (t->key_offset + klen + 1 + kAlign - 1) & ~(kAlign - 1);
}

// The room an ordered table keeps behind the entries of a block for its kBlockEnd mark.
constexpr size_t kEndMark = sizeof(hash_entry);

hash_entry *new_entry(hash_ht_t t, size_t size) {
  if (t->unordered) {
    if (size > kPooledMax) return static_cast<hash_entry *>(std::calloc(1, size));
    size_t units = size / kAlign;
    if (t->free_by_units != nullptr && t->free_by_units[units] != nullptr) {
      void *p = t->free_by_units[units];
      t->free_by_units[units] = *static_cast<void **>(p);
      std::memset(p, 0, size);
      return static_cast<hash_entry *>(p);
    }
  }
  const size_t need = t->unordered ? size : size + kEndMark;
  if (t->block_left < need) {
    // A block too small for the entry is left with less room unused than the entry takes.
    const size_t room = need > t->block_size ? need : t->block_size;
    auto *b = static_cast<char *>(std::malloc(kBlockHeader + room));
    if (b == nullptr) return nullptr;
    *reinterpret_cast<char **>(b) = nullptr;
    if (t->newest_block == nullptr) {
      t->blocks = b;
    } else {
      *reinterpret_cast<char **>(t->newest_block) = b;
      if (!t->unordered) {
        auto *mark = reinterpret_cast<hash_entry *>(t->block_next);
        std::memset(mark, 0, sizeof *mark);
        mark->state = kBlockEnd;
        mark->chain = reinterpret_cast<hash_entry *>(b + kBlockHeader);
      }
    }
    t->newest_block = b;
    t->block_next = b + kBlockHeader;
    t->block_left = room;
    if (t->block_size < kBlockMax) t->block_size *= 2;
  }
  void *p = t->block_next;
  t->block_next += size;
  t->block_left -= size;
  std::memset(p, 0, size);
  return static_cast<hash_entry *>(p);
}

// Gives entry e of size bytes of an unordered table back. When the free lists cannot be made the
// entry stays unused in its block until the table goes.
void free_entry(hash_ht_t t, hash_entry *e, size_t size) {
  if (size > kPooledMax) {
    std::free(e);
    return;
  }
  if (t->free_by_units == nullptr) {
    t->free_by_units = static_cast<void **>(std::calloc(kPooledMax / kAlign + 1, sizeof(void *)));
    if (t->free_by_units == nullptr) return;
  }
  size_t units = size / kAlign;
  *reinterpret_cast<void **>(e) = t->free_by_units[units];
  t->free_by_units[units] = e;
}

}  // namespace

namespace {

constexpr int kSummaryShift = 48;
constexpr uintptr_t kAddressMask = sizeof(uintptr_t) >= 8 ? (uintptr_t(1) << kSummaryShift) - 1 : ~uintptr_t(0);

uintptr_t summary_bits(uint32_t h) {
  if (sizeof(uintptr_t) < 8) return 0;
  return ((uintptr_t(1) << ((h >> 24) & 15)) | (uintptr_t(1) << (h >> 28))) << kSummaryShift;
}

}  // namespace

static char *entry_key(hash_ht_t t, hash_entry *e) {
  return reinterpret_cast<char *>(e) + t->key_offset;
}

// The data slot ends where the key starts.
static void *entry_data(hash_ht_t t, hash_entry *e) { return entry_key(t, e) - t->data_size; }

hash_ht_t hash_str_create(unsigned, size_t data_size, int) {
  auto *t = static_cast<hash_ht_s *>(std::calloc(1, sizeof(hash_ht_s)));
  if (t == nullptr) return HASH_HT_NULL;
  // Tables grow with their entries, so every table starts small whatever count was asked for:
  // most tables of a run keep a few names, and the buckets of one that grows large are made
  // again only a few times (each growth doubles them).
  t->bucket_count = kStartBuckets;
  t->buckets = static_cast<hash_bucket *>(std::calloc(t->bucket_count, sizeof(hash_bucket)));
  t->marks = static_cast<uint8_t *>(std::calloc(t->bucket_count, 1));
  t->summaries = sizeof(uintptr_t) >= 8;
  if (t->buckets == nullptr || t->marks == nullptr) {
    std::free(t->buckets);
    std::free(t->marks);
    std::free(t);
    return HASH_HT_NULL;
  }
  t->data_size = data_size;
  t->key_offset = kDataOffset + data_size;
  t->factor = 2;
  t->block_size = 1024;
  return t;
}

// Tables keep insertion order unless made unordered, and always grow: the two settings are
// accepted for the callers.
void hash_set_order(hash_ht_t) {}

void hash_set_unordered(hash_ht_t table) {
  if (table->count != 0) return;
  table->unordered = true;
  if (table->data_size == 0) table->key_offset = kBareKeyOffset;
}

void hash_set_dynamic(hash_ht_t table, unsigned factor) { table->factor = factor ? factor : 1; }

// The first entry of the chain of bucket b of t.
static hash_entry *head(hash_ht_t t, hash_bucket b) {
  return reinterpret_cast<hash_entry *>(t->summaries ? b & kAddressMask : b);
}

// Bucket b of t made to start its chain at e, its summary kept.
static hash_bucket with_head(hash_ht_t t, hash_bucket b, hash_entry *e) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(e);
  return t->summaries ? (b & ~kAddressMask) | address : address;
}

// The bucket of hash h among count buckets (a power of two).
static uint32_t bucket_of(uint32_t h, uint32_t count) { return h & (count - 1); }

// The bits an entry of hash h marks in the mark of its bucket.
static uint8_t mark_bits(uint32_t h) {
  return static_cast<uint8_t>((1u << ((h >> 26) & 7)) | (1u << (h >> 29)));
}

static hash_entry *find(hash_ht_t t, const char *key, uint32_t h) {
  hash_entry *last = t->last_found;
  if (last != nullptr && last->hash == h && std::strcmp(entry_key(t, last), key) == 0) return last;
  const uint32_t i = bucket_of(h, t->bucket_count);
  const uint8_t mark = mark_bits(h);
  if ((t->marks[i] & mark) != mark) return nullptr;
  const hash_bucket b = t->buckets[i];
  if (t->summaries) {
    const uintptr_t bits = summary_bits(h);
    if ((b & bits) != bits) return nullptr;
  }
  for (hash_entry *e = head(t, b); e != nullptr; e = e->chain)
    if (e->hash == h && std::strcmp(entry_key(t, e), key) == 0) return t->last_found = e;
  return nullptr;
}

// Gives up the summaries of t: its buckets become plain addresses.
static void drop_summaries(hash_ht_t t) {
  for (uint32_t i = 0; i < t->bucket_count; i++) t->buckets[i] &= kAddressMask;
  t->summaries = false;
}

// Puts e at the head of its chain in buckets (count of them, with their marks) of t.
static void link_entry(hash_ht_t t, hash_bucket *buckets, uint8_t *marks, uint32_t count,
                       hash_entry *e) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(e);
  if (t->summaries && (address & ~kAddressMask) != 0) {
    drop_summaries(t);
    if (buckets != t->buckets)
      for (uint32_t i = 0; i < count; i++) buckets[i] &= kAddressMask;
  }
  const uint32_t i = bucket_of(e->hash, count);
  marks[i] |= mark_bits(e->hash);
  hash_bucket &b = buckets[i];
  e->chain = head(t, b);
  b = with_head(t, b, e);
  if (t->summaries) b |= summary_bits(e->hash);
}

// The size of an ordered table's entry e in kAlign units.
static size_t units_of(const hash_entry *e) { return e->state >> kStateBits; }

// The first entry of an ordered table at p or behind it in insertion order, past removed entries
// and block ends; null at the end.
static hash_entry *live_from(hash_ht_t t, char *p) {
  for (;;) {
    if (p == t->block_next) return nullptr;
    auto *e = reinterpret_cast<hash_entry *>(p);
    const uint32_t state = e->state & ((1u << kStateBits) - 1);
    if (state == kLive) return e;
    p = state == kBlockEnd ? reinterpret_cast<char *>(e->chain) : p + units_of(e) * kAlign;
  }
}

// The entries of an ordered table in insertion order: the first, and the one behind e.
static hash_entry *first_in_order(hash_ht_t t) {
  return t->blocks != nullptr ? live_from(t, t->blocks + kBlockHeader) : nullptr;
}
static hash_entry *next_in_order(hash_ht_t t, hash_entry *e) {
  return live_from(t, reinterpret_cast<char *>(e) + units_of(e) * kAlign);
}

// Calls fn(e) for every entry of t: in insertion order, or bucket by bucket in a table kept
// unordered. fn may relink or free e: the walk has read what follows it first.
template <typename Fn>
static void for_each_entry(hash_ht_t t, Fn fn) {
  if (t->unordered) {
    for (uint32_t i = 0; i < t->bucket_count; i++) {
      for (hash_entry *e = head(t, t->buckets[i]); e != nullptr;) {
        hash_entry *next = e->chain;
        fn(e);
        e = next;
      }
    }
    return;
  }
  for (hash_entry *e = first_in_order(t); e != nullptr;) {
    hash_entry *next = next_in_order(t, e);
    fn(e);
    e = next;
  }
}

static void grow_buckets(hash_ht_t t) {
  if (t->bucket_count > UINT32_MAX / 2) return;
  uint32_t n = t->bucket_count * 2;
  auto *b = static_cast<hash_bucket *>(std::calloc(n, sizeof(hash_bucket)));
  auto *marks = static_cast<uint8_t *>(std::calloc(n, 1));
  if (b == nullptr || marks == nullptr) {
    // Keep the old arrays: lookups stay correct, only slower.
    std::free(b);
    std::free(marks);
    return;
  }
  for_each_entry(t, [&](hash_entry *e) { link_entry(t, b, marks, n, e); });
  std::free(t->buckets);
  std::free(t->marks);
  t->buckets = b;
  t->marks = marks;
  t->bucket_count = n;
}

int hash_str_enter(hash_ht_t t, const char *key, const char **out_key, void **out_data) {
  uint32_t h = hash_key(key);
  if (hash_entry *e = find(t, key, h)) {
    if (out_key) *out_key = entry_key(t, e);
    if (out_data) *out_data = entry_data(t, e);
    return 1;
  }
  size_t klen = std::strlen(key);
  auto *e = new_entry(t, entry_size(t, klen));
  if (e == nullptr) return -1;
  std::memcpy(entry_key(t, e), key, klen + 1);
  e->hash = h;
  if (!t->unordered) e->state = static_cast<uint32_t>(entry_size(t, klen) / kAlign) << kStateBits;
  link_entry(t, t->buckets, t->marks, t->bucket_count, e);
  t->count++;
  if (t->count > size_t(t->bucket_count) * t->factor) grow_buckets(t);
  if (out_key) *out_key = entry_key(t, e);
  if (out_data) *out_data = entry_data(t, e);
  return 0;
}

int hash_str_lookup(hash_ht_t t, const char *key, const char **out_key, void **out_data) {
  hash_entry *e = find(t, key, hash_key(key));
  if (e == nullptr) return 0;
  if (out_key) *out_key = entry_key(t, e);
  if (out_data) *out_data = entry_data(t, e);
  return 1;
}

const char *hash_str_key_of(hash_ht_t t, const void *data) {
  return static_cast<const char *>(data) + t->data_size;
}

int hash_str_remove(hash_ht_t t, const char *key) {
  uint32_t h = hash_key(key);
  const uint32_t at = bucket_of(h, t->bucket_count);
  hash_bucket &b = t->buckets[at];
  hash_entry *prev = nullptr;
  for (hash_entry *e = head(t, b); e != nullptr; prev = e, e = e->chain) {
    if (e->hash != h || std::strcmp(entry_key(t, e), key) != 0) continue;
    if (prev != nullptr) {
      prev->chain = e->chain;
    } else {
      b = with_head(t, b, e->chain);
    }
    uintptr_t summary = 0;
    uint8_t mark = 0;
    for (hash_entry *o = head(t, b); o != nullptr; o = o->chain) {
      summary |= summary_bits(o->hash);
      mark |= mark_bits(o->hash);
    }
    if (t->summaries) b = (b & kAddressMask) | summary;
    t->marks[at] = mark;
    if (t->last_found == e) t->last_found = nullptr;
    t->count--;
    const size_t size = entry_size(t, std::strlen(key));
    if (t->unordered) {
      free_entry(t, e, size);
    } else if (reinterpret_cast<char *>(e) + size == t->block_next) {
      t->block_next -= size;
      t->block_left += size;
    } else {
      e->state |= kRemoved;
    }
    return 1;
  }
  return 0;
}

// The entry after cursor (the first for a null cursor) of an unordered table, bucket by bucket.
static hash_entry *next_in_buckets(hash_ht_t t, hash_entry *cursor) {
  if (cursor != nullptr && cursor->chain != nullptr) return cursor->chain;
  uint32_t i = cursor != nullptr ? bucket_of(cursor->hash, t->bucket_count) + 1 : 0;
  for (; i < t->bucket_count; i++)
    if (hash_entry *e = head(t, t->buckets[i])) return e;
  return nullptr;
}

hash_cursor_t hash_str_next_in_order(hash_ht_t t, hash_cursor_t cursor, const char **out_key,
                                     void **out_data) {
  if (t->unordered) {
    hash_entry *e = next_in_buckets(t, static_cast<hash_entry *>(cursor));
    if (e != nullptr && out_key) *out_key = entry_key(t, e);
    if (e != nullptr && out_data) *out_data = entry_data(t, e);
    return e;
  }
  hash_entry *e = cursor ? next_in_order(t, static_cast<hash_entry *>(cursor)) : first_in_order(t);
  if (e == nullptr) return nullptr;
  if (out_key) *out_key = entry_key(t, e);
  if (out_data) *out_data = entry_data(t, e);
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
  if (t->unordered) {
    for_each_entry(t, [t](hash_entry *e) {
      if (entry_size(t, std::strlen(entry_key(t, e))) > kPooledMax) std::free(e);
    });
  }
  while (t->blocks != nullptr) {
    char *next = *reinterpret_cast<char **>(t->blocks);
    std::free(t->blocks);
    t->blocks = next;
  }
  std::free(t->free_by_units);
  std::free(t->buckets);
  std::free(t->marks);
  std::free(t);
  *table_p = HASH_HT_NULL;
}
