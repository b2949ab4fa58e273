// The index file of a git worktree, read without the version-control library: for each staged
// path, the status git saw and the blob it staged, so that an unchanged tracked file can be told
// from its status alone by a process that never loads the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

// What the index holds of one staged path (stage 0). Git keeps the low 32 bits of the inode and
// size.
struct vob_gitindex_entry_t {
  uint32_t mtime_sec;
  uint32_t mtime_nsec;
  uint32_t ino;
  uint32_t size;
  uint8_t id[20];  // the staged blob
};

typedef std::unordered_map<std::string, vob_gitindex_entry_t> vob_gitindex_t;

// Reads the bytes of an index file (versions 2 to 4, SHA-1 object ids) into *entries, by path.
// False (and *entries unspecified) when they are not a whole index of that kind, or when the
// index keeps its entries elsewhere (a split or sparse index): then only the library can tell.
bool vob_gitindex_decode(const void *data, size_t len, vob_gitindex_t *entries);

// Reads the index file at path into *entries; false when it is missing, unreadable or not an
// index vob_gitindex_decode accepts.
bool vob_gitindex_read(const std::string &path, vob_gitindex_t *entries);

// Whether the object at path holds exactly the blob: the blob id of its data (a file's bytes, a
// symbolic link's text) is blob. False also when it cannot be read; the data is taken as it
// is, without the conversions a repository may configure, so only a true answer is final.
bool vob_gitindex_holds(const char *path, const uint8_t blob[20]);
