// String-keyed hash tables holding a fixed-size data slot per entry.
#pragma once

#include <cstddef>

typedef struct hash_ht_s *hash_ht_t;
typedef void *hash_cursor_t;

#define HASH_HT_NULL ((hash_ht_t)0)

// A new table keeping data_size zero-filled bytes per entry (aligned as area memory is, see
// stg_alloc). The bucket count is a hint only: a table starts with a few buckets and grows with
// its entries. The flag is 1 in every caller (keys are copied). Null on failure.
hash_ht_t hash_str_create(unsigned buckets, size_t data_size, int flag);

// Iteration follows insertion order (re-entering an existing key keeps its place).
void hash_set_order(hash_ht_t table);
// A table that no walk needs in insertion order keeps none: its walks follow the buckets, and no
// key may be entered during one; the room of a removed entry is reused by a later entry (an
// ordered table keeps it until the table goes, unless the entry was its newest), and an entry
// without data takes half a word less. Only an empty table takes the setting.
void hash_set_unordered(hash_ht_t table);

// The bucket array grows with the table (factor: entries per bucket before it grows).
void hash_set_dynamic(hash_ht_t table, unsigned factor);

// Enters key. Returns 0 when the key was new and is now entered, non-zero when it was already
// there; in both cases *out_data addresses the entry's data slot and *out_key (when not null) the
// table's copy of the key. Returns -1 and sets nothing when memory runs out.
int hash_str_enter(hash_ht_t table, const char *key, const char **out_key, void **out_data);

// Non-zero when key is in the table, with *out_key and *out_data set (each when not null).
int hash_str_lookup(hash_ht_t table, const char *key, const char **out_key, void **out_data);

// The table's key of the entry whose data slot is data (a slot this table gave).
const char *hash_str_key_of(hash_ht_t table, const void *data);

// Removes key and its data slot; non-zero when it was there. A walk in progress must not stand
// on the removed entry.
int hash_str_remove(hash_ht_t table, const char *key);

// Walk every entry: start from a null cursor, pass the returned cursor back, until null comes
// back. hash_str_next_in_order walks in insertion order; hash_str_next in any order.
hash_cursor_t hash_str_next(hash_ht_t table, hash_cursor_t cursor, const char **out_key,
                            void **out_data);
hash_cursor_t hash_str_next_in_order(hash_ht_t table, hash_cursor_t cursor,
                                     const char **out_key, void **out_data);

// Ends a walk that stops before the end.
void hash_term_scan(hash_ht_t table);

// Number of entries.
size_t hash_count(hash_ht_t table);

// Destroys the table with its keys and data slots and nulls the variable.
void hash_delete_ht(hash_ht_t *table_p);
