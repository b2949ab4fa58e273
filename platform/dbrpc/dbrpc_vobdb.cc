#include "dbrpc/dbrpc_vobdb.h"

#include "dbrpc/dbrpc_sqlite.h"

#include <cstring>

#include "dbrpc/dbrpc_db.h"
#include "ks/imsg.h"

namespace {

const char kModule[] = "dbrpc/dbrpc_vobdb";

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS objects(dbid INTEGER PRIMARY KEY AUTOINCREMENT,"
    " oid BLOB NOT NULL UNIQUE, mtype INTEGER NOT NULL, elem_dbid INTEGER NOT NULL,"
    " vob_rel TEXT NOT NULL);";

dbrpc_db_pool pool;

void report(const char *what, const std::string &path, const char *why) {
  imsg_print(IMSG_ERROR, "%s: %s \"%s\": %s\n", -1, kModule, what, path.c_str(), why);
}

sqlite3 *open_locked(const std::string &git_dir) {
  return pool.get(git_dir, [&] {
    return dbrpc_db_open(kModule, "cannot open the VOB database", git_dir + "/vessary/vob.db", true,
                         kSchema);
  });
}

// Runs a query for one object row; KS_ST_NOT_FOUND when there is none.
ks_status_t find(sqlite3 *db, const char *where, void (*bind)(sqlite3_stmt *, const void *),
                 const void *key, dbrpc_vobdb_obj_t *out) {
  std::string sql = std::string("SELECT dbid, oid, mtype, elem_dbid, vob_rel FROM objects WHERE ") + where;
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) return KS_ST_ERR;
  bind(s, key);
  ks_status_t status = KS_ST_NOT_FOUND;
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW && sqlite3_column_bytes(s, 1) == 16) {
    out->dbid = uint32_t(sqlite3_column_int64(s, 0));
    std::memcpy(out->oid.bytes, sqlite3_column_blob(s, 1), 16);
    out->mtype = uint32_t(sqlite3_column_int64(s, 2));
    out->elem_dbid = uint32_t(sqlite3_column_int64(s, 3));
    const unsigned char *rel = sqlite3_column_text(s, 4);
    out->vob_rel = rel ? reinterpret_cast<const char *>(rel) : "";
    status = KS_ST_OK;
  } else if (rc != SQLITE_DONE) {
    status = KS_ST_ERR;
  }
  sqlite3_finalize(s);
  return status;
}

void bind_oid(sqlite3_stmt *s, const void *key) { sqlite3_bind_blob(s, 1, key, 16, SQLITE_TRANSIENT); }
void bind_dbid(sqlite3_stmt *s, const void *key) {
  sqlite3_bind_int64(s, 1, *static_cast<const uint32_t *>(key));
}

}  // namespace

sqlite3 *dbrpc_vobdb_handle(const std::string &git_dir) {
  std::lock_guard<std::mutex> hold(pool.lock);
  return open_locked(git_dir);
}

void dbrpc_vobdb_close_all() {
  std::lock_guard<std::mutex> hold(pool.lock);
  pool.close_all();
}

ks_status_t dbrpc_vobdb_enter(const std::string &git_dir, const tbs_oid_t &oid, uint32_t mtype,
                              uint32_t elem_dbid, const std::string &vob_rel, uint32_t *dbid) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_locked(git_dir);
  if (!db) return KS_ST_ERR;
  dbrpc_vobdb_obj_t found;
  ks_status_t status = find(db, "oid = ?1", bind_oid, oid.bytes, &found);
  if (status == KS_ST_OK) {
    *dbid = found.dbid;
    return KS_ST_OK;
  }
  sqlite3_stmt *s = nullptr;
  bool ok = sqlite3_prepare_v2(db,
                               "INSERT OR IGNORE INTO objects(oid, mtype, elem_dbid, vob_rel)"
                               " VALUES(?1, ?2, ?3, ?4)",
                               -1, &s, nullptr) == SQLITE_OK;
  if (ok) {
    sqlite3_bind_blob(s, 1, oid.bytes, 16, SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, 2, mtype);
    sqlite3_bind_int64(s, 3, elem_dbid);
    sqlite3_bind_text(s, 4, vob_rel.c_str(), int(vob_rel.size()), SQLITE_TRANSIENT);
    ok = sqlite3_step(s) == SQLITE_DONE;
  }
  sqlite3_finalize(s);
  // Another process may have entered it first: the row that is there now is the answer.
  if (!ok || find(db, "oid = ?1", bind_oid, oid.bytes, &found) != KS_ST_OK) {
    report("cannot enter an object in the VOB database", git_dir, sqlite3_errmsg(db));
    return KS_ST_ERR;
  }
  *dbid = found.dbid;
  return KS_ST_OK;
}

ks_status_t dbrpc_vobdb_find_oid(const std::string &git_dir, const tbs_oid_t &oid, dbrpc_vobdb_obj_t *out) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_locked(git_dir);
  return db ? find(db, "oid = ?1", bind_oid, oid.bytes, out) : KS_ST_ERR;
}

ks_status_t dbrpc_vobdb_find_dbid(const std::string &git_dir, uint32_t dbid, dbrpc_vobdb_obj_t *out) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_locked(git_dir);
  return db ? find(db, "dbid = ?1", bind_dbid, &dbid, out) : KS_ST_ERR;
}
