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
