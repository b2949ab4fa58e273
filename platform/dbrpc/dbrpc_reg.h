// The site's registry of VOB and view tags ("<site>/registry.db", SQLite).
//
// Readers take a snapshot, which is cached per process and refreshed only when another process
// (or this one) has changed the registry, so identity lookups do not pay for a query each.
// Writers change the registry in one transaction each: a failed change leaves it as it was.
#pragma once

#include <memory>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ks/ks_status.h"
#include "tbs/tbs_oid.h"

// A registered VOB: a git repository under a tag.
struct dbrpc_vob_rec_t {
  std::string tag;
  tbs_oid_t oid;        // the VOB OID, made at registration
  std::string path;     // the repository's directory as registered (absolute)
  std::string git_dir;  // its common git directory (absolute)
  std::string host;     // the host that registered it
};

// A registered view: a tag, its UUID, its storage directory and the VOBs it loads.
struct dbrpc_view_rec_t {
  std::string tag;
  tbs_uuid_t uuid;
  std::string storage;  // holds view.db; outside the view's tree
  std::string host;
  std::vector<std::string> vob_tags;  // in registration order
};

// What the registry held at one moment.
struct dbrpc_reg_snapshot_t {
  std::string site;  // the site directory it was read from
  std::vector<dbrpc_vob_rec_t> vobs;
  std::vector<dbrpc_view_rec_t> views;

  // Lookups by tag or identity, in constant time once index() has run; null when absent.
  const dbrpc_vob_rec_t *find_vob(std::string_view tag) const;
  const dbrpc_vob_rec_t *find_vob_by_oid(const tbs_oid_t &oid) const;
  const dbrpc_view_rec_t *find_view(std::string_view tag) const;
  const dbrpc_view_rec_t *find_view_by_uuid(const tbs_uuid_t &uuid) const;

  // Makes the lookups' tables of vobs and views (again, after they changed).
  void index();

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  typedef std::unordered_map<std::string, size_t, Hash, std::equal_to<>> Table;
  Table vob_by_tag, view_by_tag, vob_by_oid, view_by_uuid;  // -> position in vobs or views
};

typedef std::shared_ptr<const dbrpc_reg_snapshot_t> dbrpc_reg_snapshot_h;

// The registry of the current site as it is now. A site without a registry gives an empty
// snapshot. Null (with the error printed and *status set) when the registry cannot be read.
dbrpc_reg_snapshot_h dbrpc_reg_snapshot(ks_status_t *status);

// The state of a file's data as the registry's snapshot file records it (of the registry's file
// and of its write-ahead log): which file, its size and its modification time. (Not the change
// time: the database library gives its log to the database's owner at every open by root.)
struct dbrpc_reg_file_state_t {
  uint64_t dev, ino;
  int64_t size, mtime_sec, mtime_nsec;
  bool operator==(const dbrpc_reg_file_state_t &) const = default;
};

// The snapshot file: a process that read the registry leaves what it read beside it, with the
// states its file and its log had before the read; a later process takes the registry from it
// without opening the database while both files keep those states. Every commit writes the log
// and every checkpoint the file, and states are recorded only once their modification times are
// older than the tick that stamps file times, so that any later write shows in them. Written whole under another
// name and renamed into place; carries a CRC, and a file that is not whole and intact is not used.
std::string dbrpc_reg_snapshot_pname(const std::string &registry);
std::string dbrpc_reg_snapshot_encode(const dbrpc_reg_snapshot_t &snap, const dbrpc_reg_file_state_t &db,
                                      const dbrpc_reg_file_state_t &wal);
// Reads the bytes of a snapshot file into *snap (indexed; its site left as it was) and the states
// recorded. False (the outputs unspecified) when they are not a whole, intact file of this format.
bool dbrpc_reg_snapshot_decode(const void *data, size_t len, dbrpc_reg_snapshot_t *snap,
                               dbrpc_reg_file_state_t *db, dbrpc_reg_file_state_t *wal);

// Opens a hold on the registry: until the matching dbrpc_reg_hold_end, dbrpc_reg_snapshot gives
// the snapshot it first gave in the hold without looking at the registry again (a change made
// meanwhile is seen after the hold). For a caller resolving many names as of one moment. Holds
// nest.
void dbrpc_reg_hold_begin();
void dbrpc_reg_hold_end();

// Whether a tag is acceptable: 1 to 255 characters of letters, digits, '.', '_' and '-', not
// starting with '.' or '-' (a tag is a directory name in the view root).
bool dbrpc_reg_tag_is_valid(const std::string &tag);

// Creates the site (its directory, the registry and the view root) when missing; KS_ST_OK or
// KS_ST_ERR after printing why.
ks_status_t dbrpc_reg_create_site();

// Enters a VOB. TBS_ST_EXISTS when the tag, the OID or the git directory is already registered
// (nothing changed); KS_ST_ERR on other failures (printed).
ks_status_t dbrpc_reg_add_vob(const dbrpc_vob_rec_t &vob);

// Enters a view with its VOB list. TBS_ST_EXISTS when the tag or UUID is taken; KS_ST_NOT_FOUND
// when a listed VOB is not registered; KS_ST_ERR on other failures. Nothing changes on failure.
ks_status_t dbrpc_reg_add_view(const dbrpc_view_rec_t &view);

// Removes a view tag; KS_ST_NOT_FOUND when there is none, KS_ST_ERR on failure.
ks_status_t dbrpc_reg_remove_view(const std::string &tag);

// Removes a VOB tag; KS_ST_NOT_FOUND when there is none, TBS_ST_EXISTS while a view loads it,
// KS_ST_ERR on failure.
ks_status_t dbrpc_reg_remove_vob(const std::string &tag);
