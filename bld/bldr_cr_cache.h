// The configuration-record cache file (".tvick.state", or an executor's private file): a local
// map from the OID of a derived object to the configuration record that made it, so that a
// lookup need not ask the VOB.
//
// File layout, every integer in XDR form (big-endian, 4-byte units; offsets take 8 bytes):
//   header (offset 0, 20 bytes): version (7), directory offset (-1 while none), directory
//     length, directory CRC;
//   records: configuration records in the platform's XDR form, appended at the end;
//   directory (at its offset): dir_count, then dir_max entries, each {derived-object OID, record
//     offset, record length, record CRC, name hash}; a name hash of 0 marks a dead entry, a null
//     OID a slot never used.
// One record has one entry per derived object its build created; those entries are consecutive
// and share offset, length, CRC and name hash. The directory and each record are checked against
// their CRC when read: a file that does not check out is emptied, never trusted.
#pragma once

#include <cstdint>

#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "tbs/tbs_cr.h"

// Message table of the module "bld/bldr_cr_cache".
extern const imsg_msg_table_t _bldr_cr_cache_karsel_msg_table;

// The version of the file layout.
#define BLDR_CR_CACHE_VERSION 7

// The header as in the file.
struct bldr_cr_cache_hdr_t {
  int32_t version;
  int64_t dir_offset;  // -1 while the file has no directory
  uint32_t dir_length;
  uint32_t dir_crc;
};

// One directory entry.
struct bldr_cr_cache_index_t {
  tbs_oid_t do_oid;  // null: a slot never used
  int64_t offset;
  uint32_t length;
  uint32_t crc;
  uint32_t name_hash;  // 0: dead
};

// The directory: slots 0 to dir_count-1 are in use; dir_count never exceeds dir_max.
struct bldr_cr_cache_dir_t {
  uint32_t dir_count;
  uint32_t dir_max;
  bldr_cr_cache_index_t *entries;
  // The lookup of entries by derived object, kept by the cache itself: an open-addressed table
  // of entry positions plus one (0: empty) holding the first entry of each object among entries
  // [0, indexed); slot_count is 0 or a power of two.
  uint32_t *slots;
  uint32_t slot_count;
  uint32_t indexed;
  // The live entries among [0, indexed) by name hash, kept and dropped with the lookup table:
  // name_slots holds slot_count pairs {name hash, first entry position plus one (0: empty)}, and
  // name_links per entry {next, previous} position plus one (0: none) of its name hash's list.
  uint32_t *name_slots;
  uint32_t *name_links;
  // The entries among [0, dir_count) whose name hash is not 0.
  uint32_t live_count;
  // The name hashes changed since the directory was last written: change_count of change_max
  // pairs {entry position, the name hash it had before}. With stale set, the file's directory
  // differs from this one in ways not listed, and is written whole at the next addition.
  uint32_t *changes;
  uint32_t change_count;
  uint32_t change_max;
  bool stale;
};

// What a context counted since its statistics were last printed.
struct bldr_cr_cache_stats_t {
  int32_t hits, misses, adds, dups, kills, revs, movs, rewrites, resets;
};

// One open cache file; closed when path and file are null.
struct bldr_cr_cache_t {
  char *path;
  FILE *file;
  bldr_cr_cache_hdr_t hdr;
  bldr_cr_cache_dir_t dir;
  int64_t decoded_offset;  // file offset of the record in decoded, -1 when none
  int64_t size_seen;       // a size the open file was seen to have (0 when not yet looked at)
  tbs_cr_t decoded;         // lives in block
  char *block;              // the block records are read and decoded in, kept from one to the next
  size_t block_size;
  bldr_cr_cache_stats_t stats;
  // Bytes of the file read ahead with a record: window_len bytes from window_offset (none when
  // window_len is 0), so that records read in file order cost one read per window. A record is
  // taken from it only when its CRC still checks out; it is emptied whenever the directory is
  // read again or this process writes the file. window_used: it gave a record besides the one
  // it was read for.
  char *window;
  int64_t window_offset;
  size_t window_len;
  bool window_used;
};

// The name hash of a target name: h = ((h << 7) ^ c) + h over its bytes, modulo 2^32.
uint32_t bldr_cr_cache_name_hash(const char *name);

// Reads the cache file at pathname, creating it when missing and emptying it when its header or
// directory does not check out. With ctx_out null the file becomes the process's own cache (the
// call does nothing when that cache already has pathname open); otherwise a new context is
// returned through ctx_out. 0 or KS_ST_ERR (the context is then closed).
ks_status_t bldr_cr_cache_read(const char *pathname, bldr_cr_cache_t **ctx_out);

// Closes the context (null: the process's cache), printing its statistics when traced, and frees
// a context made by bldr_cr_cache_read. 0; KS_ST_ERR when the file cannot be closed (the context
// is then not freed).
ks_status_t bldr_cr_cache_close(bldr_cr_cache_t *ctx);

// Looks the derived object up: 1 with *cr filled (the record stays valid until the context
// decodes another record or is closed; the caller must not free or change it), else 0. A record
// that does not check out empties the file and answers 0.
int bldr_cr_cache_fetch(bldr_cr_cache_t *ctx, const tbs_oid_t *do_oid, tbs_cr_t *cr);

// Adds a record under each derived object that its build created, killing the entries of records
// with the same name hash; compacts the file when too few entries are live. 0; KS_ST_ERR when the
// context has no file or the file cannot be written; the status of a failed step otherwise.
ks_status_t bldr_cr_cache_add(bldr_cr_cache_t *ctx, const tbs_cr_t *cr);

// Adds every record of source to target (null: the process's cache; both null: KS_ST_TRUNCATED),
// in source directory order, dead ones too. 0, KS_ST_ERR when a record cannot be decoded, or the
// status of a failed addition.
ks_status_t bldr_cr_cache_merge(bldr_cr_cache_t *source, bldr_cr_cache_t *target);

// Calls fn for each used slot with the entry and 1 when it is live.
void bldr_cr_cache_foreach(bldr_cr_cache_t *ctx, void (*fn)(const bldr_cr_cache_index_t *entry, int live));

// Compacts the file into a new one that holds only the live records, renamed over the old. 0;
// KS_ST_ERR; or the status of a failed seek in the old file. A failure before the rename leaves
// the context as it was; a failed rename disables the cache.
ks_status_t bldr_cr_cache_rewrite(bldr_cr_cache_t *ctx);

// The process's own cache context.
bldr_cr_cache_t *bldr_cr_cache_process();
