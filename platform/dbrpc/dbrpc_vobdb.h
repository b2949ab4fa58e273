// A VOB's own database ("<git dir>/vessary/vob.db", SQLite): database identifiers of its objects,
// and the tables that other platform services keep per VOB.
#pragma once

#include <cstdint>
#include <string>

#include "ks/ks_status.h"
#include "tbs/tbs_oid.h"

struct sqlite3;

// The process's connection to the vob.db of the VOB whose git directory is git_dir, opened (and
// created with its tables) on first use and kept; null after printing the error.
sqlite3 *dbrpc_vobdb_handle(const std::string &git_dir);

// Closes every kept connection (for tests that remove sites).
void dbrpc_vobdb_close_all();

// What the database records of one object.
struct dbrpc_vobdb_obj_t {
  uint32_t dbid;
  tbs_oid_t oid;
  uint32_t mtype;
  uint32_t elem_dbid;   // the element of a version; 0 for an element or a directory root
  std::string vob_rel;  // pathname below the VOB root ("" for the root)
};

// The database identifier of an object, entering it when new (elem_dbid and vob_rel are stored
// with a new entry). KS_ST_OK or KS_ST_ERR (printed).
ks_status_t dbrpc_vobdb_enter(const std::string &git_dir, const tbs_oid_t &oid, uint32_t mtype,
                              uint32_t elem_dbid, const std::string &vob_rel, uint32_t *dbid);

// The recorded object with that OID or that database identifier; KS_ST_NOT_FOUND when none,
// KS_ST_ERR (printed) on failure.
ks_status_t dbrpc_vobdb_find_oid(const std::string &git_dir, const tbs_oid_t &oid, dbrpc_vobdb_obj_t *out);
ks_status_t dbrpc_vobdb_find_dbid(const std::string &git_dir, uint32_t dbid, dbrpc_vobdb_obj_t *out);
