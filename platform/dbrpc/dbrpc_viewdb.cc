#include "dbrpc/dbrpc_viewdb.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "dbrpc/dbrpc_db.h"
#include "ks/imsg.h"

namespace {

const char kModule[] = "dbrpc/dbrpc_viewdb";

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS private_objects(vrel TEXT PRIMARY KEY, oid BLOB NOT NULL,"
    " dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
    " mtime_ns INTEGER NOT NULL);";

dbrpc_db_pool pool;

void report(const char *what, const std::string &path, const char *why) {
  imsg_print(IMSG_ERROR, "%s: %s \"%s\": %s\n", -1, kModule, what, path.c_str(), why);
}

sqlite3 *open_locked(const std::string &storage, bool create) {
  return pool.get(storage, [&] {
    return dbrpc_db_open(kModule, "cannot open the view database", storage + "/view.db", create,
                         create ? kSchema : nullptr);
  });
}

int64_t mtime_ns(const struct stat &st) {
  return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// The recorded OID when the record matches what st shows now.
bool lookup(sqlite3 *db, const std::string &vrel, const struct stat &st, tbs_oid_t *oid) {
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT oid, dev, ino, size, mtime_ns FROM private_objects WHERE vrel = ?1",
                         -1, &s, nullptr) != SQLITE_OK)
    return false;
  sqlite3_bind_text(s, 1, vrel.c_str(), int(vrel.size()), SQLITE_TRANSIENT);
  bool found = false;
  if (sqlite3_step(s) == SQLITE_ROW && sqlite3_column_bytes(s, 0) == 16) {
    bool dir = S_ISDIR(st.st_mode);
    bool same = sqlite3_column_int64(s, 1) == int64_t(st.st_dev) &&
                sqlite3_column_int64(s, 2) == int64_t(st.st_ino) &&
                (dir || (sqlite3_column_int64(s, 3) == int64_t(st.st_size) &&
                         sqlite3_column_int64(s, 4) == mtime_ns(st)));
    if (same) {
      std::memcpy(oid->bytes, sqlite3_column_blob(s, 0), 16);
      found = true;
    }
  }
  sqlite3_finalize(s);
  return found;
}

}  // namespace

ks_status_t dbrpc_viewdb_create(const std::string &storage) {
  if (mkdir(storage.c_str(), 0777) != 0 && errno != EEXIST) {
    report("cannot create the view storage", storage, strerror(errno));
    return KS_ST_ERR;
  }
  std::lock_guard<std::mutex> hold(pool.lock);
  return open_locked(storage, true) ? KS_ST_OK : KS_ST_ERR;
}

sqlite3 *dbrpc_viewdb_handle(const std::string &storage) {
  std::lock_guard<std::mutex> hold(pool.lock);
  return open_locked(storage, false);
}

void dbrpc_viewdb_close_all() {
  std::lock_guard<std::mutex> hold(pool.lock);
  pool.close_all();
}

ks_status_t dbrpc_viewdb_private_oid(const std::string &storage, const std::string &vrel,
                                     const struct stat &st, tbs_oid_t *oid) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_locked(storage, false);
  if (!db) return KS_ST_ERR;
  if (lookup(db, vrel, st, oid)) return KS_ST_OK;
  // Not known as it is now: decide under the write lock, since another process may be doing
  // the same for the same object.
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    report("cannot lock the view database", storage, sqlite3_errmsg(db));
    return KS_ST_ERR;
  }
  if (lookup(db, vrel, st, oid)) {
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    return KS_ST_OK;
  }
  tbs_uuid_t fresh;
  if (tbs_uuid_create(&fresh) != KS_ST_OK) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    report("cannot make an object identifier for", vrel, strerror(errno));
    return KS_ST_ERR;
  }
  sqlite3_stmt *s = nullptr;
  bool ok = sqlite3_prepare_v2(db,
                               "INSERT OR REPLACE INTO private_objects(vrel, oid, dev, ino, size, mtime_ns)"
                               " VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
                               -1, &s, nullptr) == SQLITE_OK;
  if (ok) {
    sqlite3_bind_text(s, 1, vrel.c_str(), int(vrel.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(s, 2, fresh.bytes, 16, SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, 3, int64_t(st.st_dev));
    sqlite3_bind_int64(s, 4, int64_t(st.st_ino));
    sqlite3_bind_int64(s, 5, int64_t(st.st_size));
    sqlite3_bind_int64(s, 6, mtime_ns(st));
    ok = sqlite3_step(s) == SQLITE_DONE;
  }
  sqlite3_finalize(s);
  if (!ok || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    report("cannot write the view database", storage, sqlite3_errmsg(db));
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return KS_ST_ERR;
  }
  *oid = tbs_uuid_to_oid(&fresh);
  return KS_ST_OK;
}
