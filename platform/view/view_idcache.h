// The identity cache of one VOB worktree of a view: what its HEAD commit selects and what was
// found of its tracked files' data, kept in the view's storage so that a later process can tell
// the identities of unchanged files without opening the repository.
//
// A cache holds for exactly one commit: the whole tree the commit selects (every path with its
// mode and object id, a directory with the digest of its entries) and the verdicts on tracked
// files (whether a file with a given status held a given blob, and the element and version OIDs
// of that path and blob). It is used only while the
// worktree's HEAD names that commit; a verdict only while the file's status is the one it was
// made with. The file is written whole under a new name and renamed into place, and carries a
// CRC: a damaged file, or one made for another view, VOB or worktree, is not used.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "tbs/tbs_oid.h"

// The status of a file that a verdict was made with: the data is taken as unchanged while all
// of it is.
struct view_idcache_sig_t {
  uint64_t dev;
  uint64_t ino;
  int64_t size;
  int64_t mtime_sec, mtime_nsec, ctime_sec, ctime_nsec;
  bool operator==(const view_idcache_sig_t &) const = default;
};

// An entry of the selected tree: its git file mode, its object id, and for a directory (mode
// 040000) the digest of its entries.
struct view_idcache_entry_t {
  uint32_t mode;
  uint8_t id[20];
  tbs_oid_t digest;
};

// Whether the tracked file at a path, with status sig, holds the blob blob; with the identities
// that the path and blob give in the cache's VOB (the element OID of the path, the version OID of
// blob), kept so that a later process need not derive them again.
struct view_idcache_verdict_t {
  view_idcache_sig_t sig;
  uint8_t blob[20];
  bool same;
  tbs_oid_t elem;
  tbs_oid_t ver;
};

// One cache: whom it is for, the commit, the tree ("" is the VOB root) and the verdicts, by
// path below the VOB root.
struct view_idcache_t {
  tbs_uuid_t view_uuid;
  tbs_oid_t vob_oid;
  std::string root;    // the worktree's directory
  std::string commit;  // 40 hexadecimal digits
  std::unordered_map<std::string, view_idcache_entry_t> tree;
  std::unordered_map<std::string, view_idcache_verdict_t> verdicts;
};

// The bytes of the cache file of c.
std::string view_idcache_encode(const view_idcache_t &c);

// Reads the bytes of a cache file into *c. False (and *c unspecified) when they are not a whole,
// intact cache file of this format.
bool view_idcache_decode(const void *data, size_t len, view_idcache_t *c);

// Reads the cache file at path into *c. False when it is missing, unreadable or not intact.
bool view_idcache_read(const std::string &path, view_idcache_t *c);

// Writes c to path: whole, under a temporary name, then renamed into place. False when it
// cannot be written (nothing is left behind then).
bool view_idcache_write(const std::string &path, const view_idcache_t &c);
