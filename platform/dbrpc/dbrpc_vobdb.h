// A VOB's own database ("<git dir>/vessary/vob.db", SQLite): database identifiers of its objects,
// and the tables that other platform services keep per VOB.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

// --- Derived objects and their configuration records.

// A derived object as the VOB keeps it.
struct dbrpc_vobdb_do_t {
  tbs_oid_t do_oid{};
  int64_t cr_id = 0;       // its record
  tbs_oid_t dir_oid{};     // the directory it is named in (a versioned directory or the root)
  uint32_t dir_dbid = 0;   // that directory's database identifier
  std::string name;        // its name in that directory
  tbs_uuid_t view_uuid{};  // the view that built it
  std::string vob_rel;     // its pathname below the VOB root where it was built
  uint32_t mtype = 0;      // its meta-type
  int32_t non_shareable = 0;
  int32_t shared = 0;      // its data lies in the VOB's pool
  uint32_t primary_hash = 0;
  uint64_t script_hash = 0;
  uint64_t size = 0;       // the status of its data when it was built
  int64_t mtime_ns = 0;
  uint64_t dev = 0;
  uint64_t ino = 0;
  int64_t created = 0;     // seconds
};

// Stores a record (its encoded bytes and their CRC) with the derived objects it made, each with
// the record's dependency hashes, and the derived objects the build read, in one transaction:
// either all of it is stored or none. A derived object stored before takes the new record.
// KS_ST_OK, or KS_ST_ERR after printing the error.
ks_status_t dbrpc_vobdb_store_dos(const std::string &git_dir, const void *cr_bytes, size_t cr_len,
                                  uint32_t cr_crc, const std::vector<dbrpc_vobdb_do_t> &dos,
                                  const std::vector<std::pair<uint32_t, uint32_t>> &dep_hashes,
                                  const std::vector<tbs_oid_t> &subordinates);

// The derived object with that OID; KS_ST_NOT_FOUND when the VOB has none, KS_ST_ERR on failure.
ks_status_t dbrpc_vobdb_find_do(const std::string &git_dir, const tbs_oid_t &do_oid,
                                dbrpc_vobdb_do_t *out);

// The encoded record of a derived object and the CRC stored with it; KS_ST_NOT_FOUND when the
// VOB has no such derived object, KS_ST_ERR on failure.
ks_status_t dbrpc_vobdb_get_cr(const std::string &git_dir, const tbs_oid_t &do_oid,
                               std::string *bytes, uint32_t *crc);

// The dependency hashes stored with a derived object, in their order; KS_ST_ERR on failure.
ks_status_t dbrpc_vobdb_dep_hashes(const std::string &git_dir, const tbs_oid_t &do_oid,
                                   std::vector<std::pair<uint32_t, uint32_t>> *out);

// The derived objects of the VOB (those built in view_uuid only, when not null), by pathname.
// KS_ST_OK, or KS_ST_ERR on failure.
ks_status_t dbrpc_vobdb_list_dos(const std::string &git_dir, const tbs_uuid_t *view_uuid,
                                 std::vector<dbrpc_vobdb_do_t> *out);

// --- Shopping and sharing.

// The derived objects named name in the directory whose element database identifier is dir_dbid,
// built from a primary dependency whose hash is primary_hash and (unless script_hash is 0) by a
// script whose hash is script_hash, the most recently built first. KS_ST_OK, or KS_ST_ERR.
ks_status_t dbrpc_vobdb_shop(const std::string &git_dir, uint32_t dir_dbid, const std::string &name,
                             uint32_t primary_hash, uint64_t script_hash,
                             std::vector<tbs_oid_t> *out);

// The status of a promoted derived object's data in the VOB's pool when it was promoted.
struct dbrpc_vobdb_pool_t {
  uint64_t size = 0;
  int64_t mtime_ns = 0;
  uint64_t dev = 0;
  uint64_t ino = 0;
};

// Marks the derived object shared, its data in the pool with that status, in one transaction.
// KS_ST_OK, or KS_ST_ERR after printing the error.
ks_status_t dbrpc_vobdb_set_shared(const std::string &git_dir, const tbs_oid_t &do_oid,
                                   const dbrpc_vobdb_pool_t &data);

// The pool status recorded for a shared derived object; KS_ST_NOT_FOUND when none.
ks_status_t dbrpc_vobdb_find_pool(const std::string &git_dir, const tbs_oid_t &do_oid,
                                  dbrpc_vobdb_pool_t *out);

// Removes the derived object, its hashes and pool status, and its record when no other derived
// object has it, in one transaction. KS_ST_OK, or KS_ST_ERR after printing the error.
ks_status_t dbrpc_vobdb_delete_do(const std::string &git_dir, const tbs_oid_t &do_oid);

// The row of the derived object in the store (a positive number that stays while the derived
// object is stored); KS_ST_NOT_FOUND when the VOB has none, KS_ST_ERR on failure.
ks_status_t dbrpc_vobdb_do_row(const std::string &git_dir, const tbs_oid_t &do_oid, int64_t *row);

// The derived object at that row; KS_ST_NOT_FOUND when none, KS_ST_ERR on failure.
ks_status_t dbrpc_vobdb_find_do_by_row(const std::string &git_dir, int64_t row, dbrpc_vobdb_do_t *out);

// Opens a batch of small writes in this process: until the matching dbrpc_vobdb_batch_end, the
// marks of promotion and the deletions of derived objects join one write transaction per VOB,
// taken at the first of them, instead of one each; this process reads what they wrote, others
// after the end. A record stored meanwhile commits the batch's transaction of its VOB first.
// Batches nest.
void dbrpc_vobdb_batch_begin();

// Opens a read scope in this process: until the matching dbrpc_vobdb_read_end, the queries of a
// VOB's database read one snapshot of it, taken at the first of them, instead of taking its read
// lock each; they see this process's own writes, and a write ends the snapshot (the next query
// takes a new one). Scopes nest; keep them short, since others' later writes stay unseen.
void dbrpc_vobdb_read_begin();

// Ends a read scope; the outermost end ends the snapshots.
void dbrpc_vobdb_read_end();

// Ends a batch; the outermost end commits. KS_ST_OK, or KS_ST_ERR after printing the error when
// a write of the batch may not have been kept.
ks_status_t dbrpc_vobdb_batch_end();
