#include "dbrpc/dbrpc_vobdb.h"

#include "dbrpc/dbrpc_sqlite.h"

#include <cstring>
#include <map>

#include "dbrpc/dbrpc_db.h"
#include "ks/imsg.h"

namespace {

const char kModule[] = "dbrpc/dbrpc_vobdb";

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS objects(dbid INTEGER PRIMARY KEY AUTOINCREMENT,"
    " oid BLOB NOT NULL UNIQUE, mtype INTEGER NOT NULL, elem_dbid INTEGER NOT NULL,"
    " vob_rel TEXT NOT NULL);"
    // Configuration records: the encoded record and the CRC of its bytes.
    "CREATE TABLE IF NOT EXISTS crs(cr_id INTEGER PRIMARY KEY AUTOINCREMENT, data BLOB NOT NULL,"
    " crc INTEGER NOT NULL);"
    // Derived objects: where and how each was built, its record, and its shopping keys.
    "CREATE TABLE IF NOT EXISTS dos(do_oid BLOB PRIMARY KEY, cr_id INTEGER NOT NULL,"
    " dir_oid BLOB NOT NULL, dir_dbid INTEGER NOT NULL, name TEXT NOT NULL,"
    " view_uuid BLOB NOT NULL, vob_rel TEXT NOT NULL, mtype INTEGER NOT NULL,"
    " non_shareable INTEGER NOT NULL, shared INTEGER NOT NULL, primary_hash INTEGER NOT NULL,"
    " script_hash INTEGER NOT NULL, size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL,"
    " dev INTEGER NOT NULL, ino INTEGER NOT NULL, created INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS dos_by_name ON dos(dir_dbid, name, primary_hash);"
    // The derived objects of a record (a record goes with its last one).
    "CREATE INDEX IF NOT EXISTS dos_by_cr ON dos(cr_id);"
    "CREATE TABLE IF NOT EXISTS do_dep_hashes(do_oid BLOB NOT NULL, h0 INTEGER NOT NULL,"
    " h1 INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS do_dep_hashes_by_do ON do_dep_hashes(do_oid);"
    // Derived objects that a record's build read (subordinate derived objects).
    "CREATE TABLE IF NOT EXISTS do_subs(cr_id INTEGER NOT NULL, do_oid BLOB NOT NULL);"
    // The data of promoted derived objects in the pool, as promotion left it.
    "CREATE TABLE IF NOT EXISTS do_pool(do_oid BLOB PRIMARY KEY, size INTEGER NOT NULL,"
    " mtime_ns INTEGER NOT NULL, dev INTEGER NOT NULL, ino INTEGER NOT NULL);";

dbrpc_db_pool pool;

// The statements of the derived-object store, prepared once per connection and kept (by their
// text) until the connections close; guarded by pool.lock.
struct KeptStatements : std::map<sqlite3 *, std::map<const char *, sqlite3_stmt *>> {
  // Finalized before the pool (made earlier) closes the connections.
  ~KeptStatements() { finalize(); }
  void finalize() {
    for (auto &[db, stmts] : *this)
      for (auto &k : stmts) sqlite3_finalize(k.second);
    clear();
  }
} kept_statements;

void finalize_kept() { kept_statements.finalize(); }


void report(const char *what, const std::string &path, const char *why) {
  imsg_print(IMSG_ERROR, "%s: %s \"%s\": %s\n", -1, kModule, what, path.c_str(), why);
}

sqlite3 *open_locked(const std::string &git_dir) {
  return pool.get(git_dir, [&] {
    sqlite3 *db = dbrpc_db_open(kModule, "cannot open the VOB database", git_dir + "/vessary/vob.db",
                                true, kSchema);
    // A power loss may forget the newest derived objects: their views then find no record for
    // them, and they are built again.
    if (db) dbrpc_db_relax_sync(db);
    return db;
  });
}

// Runs a query for one object row; KS_ST_NOT_FOUND when there is none.
// A kept statement in use: reset, with its bindings cleared, when it goes.
struct Stmt {
  sqlite3_stmt *s = nullptr;
  Stmt(sqlite3 *db, const char *sql) {
    sqlite3_stmt *&slot = kept_statements[db][sql];
    if (!slot && sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &slot, nullptr) != SQLITE_OK)
      slot = nullptr;
    s = slot;
  }
  ~Stmt() {
    if (!s) return;
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
  }
  explicit operator bool() const { return s != nullptr; }
};

// What a connection's transaction of this process's own (a read scope's snapshot, a batch's write)
// answered for derived objects' rows and pool entries, by their OIDs' bytes (guarded by
// pool.lock): no other process changes what that transaction sees, so each is asked once. A write
// of this process forgets what it changes; the answers go with the transaction.
struct Answers {
  template <class T>
  using Table = std::map<std::string, std::pair<ks_status_t, T>>;
  struct Of {
    Table<dbrpc_vobdb_do_t> dos;
    Table<dbrpc_vobdb_pool_t> pools;
  };
  std::map<sqlite3 *, Of> of;

  void forget(sqlite3 *db) { of.erase(db); }
  void forget(sqlite3 *db, const tbs_oid_t &oid) {
    auto it = of.find(db);
    if (it == of.end()) return;
    const std::string key(reinterpret_cast<const char *>(oid.bytes), 16);
    it->second.dos.erase(key);
    it->second.pools.erase(key);
  }
  // The derived object oid was marked shared, its pool data data, in the transaction.
  void shared(sqlite3 *db, const tbs_oid_t &oid, const dbrpc_vobdb_pool_t &data) {
    auto it = of.find(db);
    if (it == of.end()) return;
    const std::string key(reinterpret_cast<const char *>(oid.bytes), 16);
    auto d = it->second.dos.find(key);
    if (d != it->second.dos.end() && d->second.first == KS_ST_OK) d->second.second.shared = 1;
    it->second.pools[key] = {KS_ST_OK, data};
  }
} answers;

// The read transaction that reads share while a read scope is open (guarded by pool.lock):
// outside a transaction, every query takes and drops the database's read lock and checks the
// file; within one, later queries of the scope read the same snapshot without either. A write on
// the connection ends it first, so that the write starts from the newest state.
struct Snapshot {
  int depth = 0;
  std::map<sqlite3 *, std::string> open;  // connection -> git dir

  // Joins db's shared read transaction, opening it when a scope is open and db is in none.
  void join(sqlite3 *db, const std::string &git_dir) {
    if (depth == 0 || !sqlite3_get_autocommit(db)) return;
    Stmt begin(db, "BEGIN");
    // Without one, the reads go on each in its own transaction.
    if (begin && sqlite3_step(begin.s) == SQLITE_DONE) open[db] = git_dir;
  }

  // Ends db's read transaction, when it has one.
  void end(sqlite3 *db) {
    if (!open.erase(db)) return;
    answers.forget(db);
    Stmt commit(db, "COMMIT");
    if (!commit || sqlite3_step(commit.s) != SQLITE_DONE)
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  }

  void end_all() {
    while (!open.empty()) end(open.begin()->first);
  }
} snapshot;

// The connection for a query of git_dir's database, in the scope's read transaction when a read
// scope is open; null after printing the error.
sqlite3 *open_for_read(const std::string &git_dir) {
  sqlite3 *db = open_locked(git_dir);
  if (db) snapshot.join(db, git_dir);
  return db;
}

const char kDoColumns[] =
    "do_oid, cr_id, dir_oid, dir_dbid, name, view_uuid, vob_rel, mtype, non_shareable, shared,"
    " primary_hash, script_hash, size, mtime_ns, dev, ino, created";

void read_do(sqlite3_stmt *s, dbrpc_vobdb_do_t *d) {
  auto blob = [&](int col, uint8_t *out) {
    if (sqlite3_column_bytes(s, col) == 16) std::memcpy(out, sqlite3_column_blob(s, col), 16);
    else std::memset(out, 0, 16);
  };
  blob(0, d->do_oid.bytes);
  d->cr_id = sqlite3_column_int64(s, 1);
  blob(2, d->dir_oid.bytes);
  d->dir_dbid = uint32_t(sqlite3_column_int64(s, 3));
  const unsigned char *name = sqlite3_column_text(s, 4);
  d->name = name ? reinterpret_cast<const char *>(name) : "";
  blob(5, d->view_uuid.bytes);
  const unsigned char *rel = sqlite3_column_text(s, 6);
  d->vob_rel = rel ? reinterpret_cast<const char *>(rel) : "";
  d->mtype = uint32_t(sqlite3_column_int64(s, 7));
  d->non_shareable = int32_t(sqlite3_column_int64(s, 8));
  d->shared = int32_t(sqlite3_column_int64(s, 9));
  d->primary_hash = uint32_t(sqlite3_column_int64(s, 10));
  d->script_hash = uint64_t(sqlite3_column_int64(s, 11));
  d->size = uint64_t(sqlite3_column_int64(s, 12));
  d->mtime_ns = sqlite3_column_int64(s, 13);
  d->dev = uint64_t(sqlite3_column_int64(s, 14));
  d->ino = uint64_t(sqlite3_column_int64(s, 15));
  d->created = sqlite3_column_int64(s, 16);
}

ks_status_t find(sqlite3 *db, const char *sql, void (*bind)(sqlite3_stmt *, const void *),
                 const void *key, dbrpc_vobdb_obj_t *out) {
  Stmt s(db, sql);
  if (!s) return KS_ST_ERR;
  bind(s.s, key);
  ks_status_t status = KS_ST_NOT_FOUND;
  int rc = sqlite3_step(s.s);
  if (rc == SQLITE_ROW && sqlite3_column_bytes(s.s, 1) == 16) {
    out->dbid = uint32_t(sqlite3_column_int64(s.s, 0));
    std::memcpy(out->oid.bytes, sqlite3_column_blob(s.s, 1), 16);
    out->mtype = uint32_t(sqlite3_column_int64(s.s, 2));
    out->elem_dbid = uint32_t(sqlite3_column_int64(s.s, 3));
    const unsigned char *rel = sqlite3_column_text(s.s, 4);
    out->vob_rel = rel ? reinterpret_cast<const char *>(rel) : "";
    status = KS_ST_OK;
  } else if (rc != SQLITE_DONE) {
    status = KS_ST_ERR;
  }
  return status;
}

const char kByOid[] = "SELECT dbid, oid, mtype, elem_dbid, vob_rel FROM objects WHERE oid = ?1";
const char kByDbid[] = "SELECT dbid, oid, mtype, elem_dbid, vob_rel FROM objects WHERE dbid = ?1";

void bind_oid(sqlite3_stmt *s, const void *key) { sqlite3_bind_blob(s, 1, key, 16, SQLITE_TRANSIENT); }
void bind_dbid(sqlite3_stmt *s, const void *key) {
  sqlite3_bind_int64(s, 1, *static_cast<const uint32_t *>(key));
}

}  // namespace

sqlite3 *dbrpc_vobdb_handle(const std::string &git_dir) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_locked(git_dir);
  if (db) {
    snapshot.end(db);  // the caller's statements start from the newest state
    answers.forget(db);  // and may change what a batch's transaction answered
  }
  return db;
}

namespace {

// Runs the transaction statement sql on db; false after printing the error.
bool exec(sqlite3 *db, const std::string &git_dir, const char *sql);

// The open batch (guarded by pool.lock): its nesting and the connections whose write
// transaction it holds.
struct Batch {
  int depth = 0;
  std::map<sqlite3 *, std::string> open;  // connection -> git dir
  bool failed = false;

  // Commits the batch's transaction on every connection, or on db alone.
  void commit(sqlite3 *only = nullptr) {
    for (auto it = open.begin(); it != open.end();) {
      if (only && it->first != only) {
        ++it;
        continue;
      }
      if (!exec(it->first, it->second, "COMMIT")) {
        sqlite3_exec(it->first, "ROLLBACK", nullptr, nullptr, nullptr);
        failed = true;
      }
      answers.forget(it->first);
      it = open.erase(it);
    }
  }
} batch;

// Starts a write on db: within a batch it joins the batch's transaction (*joined set), otherwise
// it opens one of its own. False after printing the error.
bool write_begin(sqlite3 *db, const std::string &git_dir, bool *joined) {
  snapshot.end(db);
  *joined = batch.depth > 0;
  if (!*joined) return exec(db, git_dir, "BEGIN IMMEDIATE");
  if (batch.open.count(db)) return true;
  if (!exec(db, git_dir, "BEGIN IMMEDIATE")) return false;
  batch.open[db] = git_dir;
  return true;
}

// Ends a write that went ok or not: its own transaction is committed or rolled back; a failed
// write in a batch rolls the batch back on db. False when the write is not kept.
bool write_end(sqlite3 *db, const std::string &git_dir, bool joined, bool ok) {
  if (joined) {
    if (!ok) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      answers.forget(db);
      batch.open.erase(db);
      batch.failed = true;
    }
    return ok;
  }
  if (ok && exec(db, git_dir, "COMMIT")) return true;
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

}  // namespace

void dbrpc_vobdb_close_all() {
  std::lock_guard<std::mutex> hold(pool.lock);
  batch.commit();
  snapshot.end_all();
  answers.of.clear();
  finalize_kept();
  pool.close_all();
}

void dbrpc_vobdb_batch_begin() {
  std::lock_guard<std::mutex> hold(pool.lock);
  batch.depth++;
}

void dbrpc_vobdb_read_begin() {
  std::lock_guard<std::mutex> hold(pool.lock);
  snapshot.depth++;
}

void dbrpc_vobdb_read_end() {
  std::lock_guard<std::mutex> hold(pool.lock);
  if (snapshot.depth > 0 && --snapshot.depth == 0) snapshot.end_all();
}

ks_status_t dbrpc_vobdb_batch_end() {
  std::lock_guard<std::mutex> hold(pool.lock);
  if (batch.depth == 0) return KS_ST_ERR;
  if (--batch.depth > 0) return KS_ST_OK;
  batch.commit();
  bool failed = batch.failed;
  batch.failed = false;
  return failed ? KS_ST_ERR : KS_ST_OK;
}

ks_status_t dbrpc_vobdb_enter(const std::string &git_dir, const tbs_oid_t &oid, uint32_t mtype,
                              uint32_t elem_dbid, const std::string &vob_rel, uint32_t *dbid) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_locked(git_dir);
  if (!db) return KS_ST_ERR;
  dbrpc_vobdb_obj_t found;
  ks_status_t status = find(db, kByOid, bind_oid, oid.bytes, &found);
  if (status == KS_ST_OK) {
    *dbid = found.dbid;
    return KS_ST_OK;
  }
  snapshot.end(db);  // the insertion and the row read back see the newest state
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
  if (!ok || find(db, kByOid, bind_oid, oid.bytes, &found) != KS_ST_OK) {
    report("cannot enter an object in the VOB database", git_dir, sqlite3_errmsg(db));
    return KS_ST_ERR;
  }
  *dbid = found.dbid;
  return KS_ST_OK;
}

ks_status_t dbrpc_vobdb_find_oid(const std::string &git_dir, const tbs_oid_t &oid, dbrpc_vobdb_obj_t *out) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_for_read(git_dir);
  return db ? find(db, kByOid, bind_oid, oid.bytes, out) : KS_ST_ERR;
}

ks_status_t dbrpc_vobdb_find_dbid(const std::string &git_dir, uint32_t dbid, dbrpc_vobdb_obj_t *out) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_for_read(git_dir);
  return db ? find(db, kByDbid, bind_dbid, &dbid, out) : KS_ST_ERR;
}

namespace {

// Runs the transaction statement sql ("BEGIN IMMEDIATE", "COMMIT") on db, kept prepared like the
// others; false after printing the error.
bool exec(sqlite3 *db, const std::string &git_dir, const char *sql) {
  {
    Stmt s(db, sql);
    if (s && sqlite3_step(s.s) == SQLITE_DONE) return true;
  }
  report("cannot write the VOB database", git_dir, sqlite3_errmsg(db));
  return false;
}

}  // namespace

ks_status_t dbrpc_vobdb_store_dos(const std::string &git_dir, const void *cr_bytes, size_t cr_len,
                                  uint32_t cr_crc, const std::vector<dbrpc_vobdb_do_t> &dos,
                                  const std::vector<std::pair<uint32_t, uint32_t>> &dep_hashes,
                                  const std::vector<tbs_oid_t> &subordinates) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_locked(git_dir);
  if (!db) return KS_ST_ERR;
  batch.commit(db);  // the record is stored in a transaction of its own
  snapshot.end(db);
  if (!exec(db, git_dir, "BEGIN IMMEDIATE")) return KS_ST_ERR;
  bool ok = true;
  sqlite3_int64 cr_id = 0;
  {
    Stmt cr(db, "INSERT INTO crs(data, crc) VALUES(?1, ?2)");
    ok = bool(cr);
    if (ok) {
      sqlite3_bind_blob64(cr.s, 1, cr_bytes, cr_len, SQLITE_STATIC);
      sqlite3_bind_int64(cr.s, 2, cr_crc);
      ok = sqlite3_step(cr.s) == SQLITE_DONE;
      cr_id = sqlite3_last_insert_rowid(db);
    }
  }
  for (const auto &d : dos) {
    if (!ok) break;
    // A derived object that was recorded before (a record written again) takes the new record.
    Stmt del(db, "DELETE FROM do_dep_hashes WHERE do_oid = ?1");
    ok = bool(del);
    if (ok) {
      sqlite3_bind_blob(del.s, 1, d.do_oid.bytes, 16, SQLITE_STATIC);
      ok = sqlite3_step(del.s) == SQLITE_DONE;
    }
    Stmt ins(db,
             "INSERT OR REPLACE INTO dos(do_oid, cr_id, dir_oid, dir_dbid, name, view_uuid, vob_rel,"
             " mtype, non_shareable, shared, primary_hash, script_hash, size, mtime_ns, dev, ino,"
             " created) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15,"
             " ?16, ?17)");
    ok = ok && bool(ins);
    if (ok) {
      sqlite3_bind_blob(ins.s, 1, d.do_oid.bytes, 16, SQLITE_STATIC);
      sqlite3_bind_int64(ins.s, 2, cr_id);
      sqlite3_bind_blob(ins.s, 3, d.dir_oid.bytes, 16, SQLITE_STATIC);
      sqlite3_bind_int64(ins.s, 4, d.dir_dbid);
      sqlite3_bind_text(ins.s, 5, d.name.c_str(), int(d.name.size()), SQLITE_STATIC);
      sqlite3_bind_blob(ins.s, 6, d.view_uuid.bytes, 16, SQLITE_STATIC);
      sqlite3_bind_text(ins.s, 7, d.vob_rel.c_str(), int(d.vob_rel.size()), SQLITE_STATIC);
      sqlite3_bind_int64(ins.s, 8, d.mtype);
      sqlite3_bind_int64(ins.s, 9, d.non_shareable);
      sqlite3_bind_int64(ins.s, 10, d.shared);
      sqlite3_bind_int64(ins.s, 11, d.primary_hash);
      sqlite3_bind_int64(ins.s, 12, int64_t(d.script_hash));
      sqlite3_bind_int64(ins.s, 13, int64_t(d.size));
      sqlite3_bind_int64(ins.s, 14, d.mtime_ns);
      sqlite3_bind_int64(ins.s, 15, int64_t(d.dev));
      sqlite3_bind_int64(ins.s, 16, int64_t(d.ino));
      sqlite3_bind_int64(ins.s, 17, d.created);
      ok = sqlite3_step(ins.s) == SQLITE_DONE;
    }
    Stmt h(db, "INSERT INTO do_dep_hashes(do_oid, h0, h1) VALUES(?1, ?2, ?3)");
    ok = ok && bool(h);
    for (size_t i = 0; ok && i < dep_hashes.size(); i++) {
      sqlite3_reset(h.s);
      sqlite3_bind_blob(h.s, 1, d.do_oid.bytes, 16, SQLITE_STATIC);
      sqlite3_bind_int64(h.s, 2, dep_hashes[i].first);
      sqlite3_bind_int64(h.s, 3, dep_hashes[i].second);
      ok = sqlite3_step(h.s) == SQLITE_DONE;
    }
  }
  {
    Stmt sub(db, "INSERT INTO do_subs(cr_id, do_oid) VALUES(?1, ?2)");
    ok = ok && bool(sub);
    for (size_t i = 0; ok && i < subordinates.size(); i++) {
      sqlite3_reset(sub.s);
      sqlite3_bind_int64(sub.s, 1, cr_id);
      sqlite3_bind_blob(sub.s, 2, subordinates[i].bytes, 16, SQLITE_STATIC);
      ok = sqlite3_step(sub.s) == SQLITE_DONE;
    }
  }
  if (!ok) {
    report("cannot store derived objects in the VOB database", git_dir, sqlite3_errmsg(db));
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return KS_ST_ERR;
  }
  if (!exec(db, git_dir, "COMMIT")) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

namespace {

// Runs the query sql on db, whose one parameter is a derived object's OID, and hands its first
// row to read. KS_ST_NOT_FOUND when there is no row; KS_ST_ERR when the database fails.
template <class Read>
ks_status_t query_do_row(sqlite3 *db, const char *sql, const tbs_oid_t &do_oid, Read read) {
  Stmt s(db, sql);
  if (!s) return KS_ST_ERR;
  sqlite3_bind_blob(s.s, 1, do_oid.bytes, 16, SQLITE_STATIC);
  int rc = sqlite3_step(s.s);
  if (rc == SQLITE_ROW) {
    read(s.s);
    return KS_ST_OK;
  }
  return rc == SQLITE_DONE ? KS_ST_NOT_FOUND : KS_ST_ERR;
}

// query_do_row on git_dir's database.
template <class Read>
ks_status_t select_do_row(const std::string &git_dir, const char *sql, const tbs_oid_t &do_oid,
                          Read read) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_for_read(git_dir);
  return db ? query_do_row(db, sql, do_oid, read) : KS_ST_ERR;
}

// select_do_row for a query whose row read fills one T: within a transaction of this process's
// own, the answer is kept in the table of the connection's answers and given again without a
// query.
template <class T, class Read>
ks_status_t select_do_row_once(const std::string &git_dir, const char *sql, const tbs_oid_t &do_oid,
                               Answers::Table<T> Answers::Of::*table, T *out, Read read) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_for_read(git_dir);
  if (!db) return KS_ST_ERR;
  Answers::Table<T> *known = nullptr;
  const std::string key(reinterpret_cast<const char *>(do_oid.bytes), 16);
  if (!sqlite3_get_autocommit(db) && (snapshot.open.count(db) || batch.open.count(db))) {
    known = &(answers.of[db].*table);
    auto it = known->find(key);
    if (it != known->end()) {
      if (it->second.first == KS_ST_OK) *out = it->second.second;
      return it->second.first;
    }
  }
  const ks_status_t status = query_do_row(db, sql, do_oid, [&](sqlite3_stmt *row) { read(row, out); });
  if (known && status != KS_ST_ERR) known->emplace(key, std::make_pair(status, status == KS_ST_OK ? *out : T{}));
  return status;
}

}  // namespace

ks_status_t dbrpc_vobdb_find_do(const std::string &git_dir, const tbs_oid_t &do_oid,
                                dbrpc_vobdb_do_t *out) {
  static const std::string sql = std::string("SELECT ") + kDoColumns + " FROM dos WHERE do_oid = ?1";
  return select_do_row_once(git_dir, sql.c_str(), do_oid, &Answers::Of::dos, out, read_do);
}

ks_status_t dbrpc_vobdb_get_cr(const std::string &git_dir, const tbs_oid_t &do_oid,
                               std::string *bytes, uint32_t *crc) {
  return select_do_row(git_dir,
                       "SELECT crs.data, crs.crc FROM dos JOIN crs ON crs.cr_id = dos.cr_id"
                       " WHERE dos.do_oid = ?1",
                       do_oid, [bytes, crc](sqlite3_stmt *row) {
                         const void *data = sqlite3_column_blob(row, 0);
                         int n = sqlite3_column_bytes(row, 0);
                         bytes->assign(static_cast<const char *>(data ? data : ""), size_t(n));
                         *crc = uint32_t(sqlite3_column_int64(row, 1));
                       });
}

ks_status_t dbrpc_vobdb_dep_hashes(const std::string &git_dir, const tbs_oid_t &do_oid,
                                   std::vector<std::pair<uint32_t, uint32_t>> *out) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_for_read(git_dir);
  if (!db) return KS_ST_ERR;
  Stmt s(db, "SELECT h0, h1 FROM do_dep_hashes WHERE do_oid = ?1 ORDER BY rowid");
  if (!s) return KS_ST_ERR;
  sqlite3_bind_blob(s.s, 1, do_oid.bytes, 16, SQLITE_STATIC);
  out->clear();
  int rc;
  while ((rc = sqlite3_step(s.s)) == SQLITE_ROW)
    out->emplace_back(uint32_t(sqlite3_column_int64(s.s, 0)), uint32_t(sqlite3_column_int64(s.s, 1)));
  return rc == SQLITE_DONE ? KS_ST_OK : KS_ST_ERR;
}

ks_status_t dbrpc_vobdb_list_dos(const std::string &git_dir, const tbs_uuid_t *view_uuid,
                                 std::vector<dbrpc_vobdb_do_t> *out) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_for_read(git_dir);
  if (!db) return KS_ST_ERR;
  static const std::string by_view = std::string("SELECT ") + kDoColumns +
                                     " FROM dos WHERE view_uuid = ?1 ORDER BY vob_rel, created";
  static const std::string all = std::string("SELECT ") + kDoColumns + " FROM dos ORDER BY vob_rel, created";
  Stmt s(db, (view_uuid ? by_view : all).c_str());
  if (!s) return KS_ST_ERR;
  if (view_uuid) sqlite3_bind_blob(s.s, 1, view_uuid->bytes, 16, SQLITE_STATIC);
  out->clear();
  int rc;
  while ((rc = sqlite3_step(s.s)) == SQLITE_ROW) {
    dbrpc_vobdb_do_t d;
    read_do(s.s, &d);
    out->push_back(std::move(d));
  }
  return rc == SQLITE_DONE ? KS_ST_OK : KS_ST_ERR;
}

ks_status_t dbrpc_vobdb_shop(const std::string &git_dir, uint32_t dir_dbid, const std::string &name,
                             uint32_t primary_hash, uint64_t script_hash,
                             std::vector<tbs_oid_t> *out) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_for_read(git_dir);
  if (!db) return KS_ST_ERR;
  // Kept statements are known by their text's address: each text is a constant.
  static const char kAnyScript[] =
      "SELECT do_oid FROM dos WHERE dir_dbid = ?1 AND name = ?2 AND primary_hash = ?3"
      " ORDER BY created DESC, rowid DESC";
  static const char kThisScript[] =
      "SELECT do_oid FROM dos WHERE dir_dbid = ?1 AND name = ?2 AND primary_hash = ?3"
      " AND script_hash = ?4 ORDER BY created DESC, rowid DESC";
  Stmt s(db, script_hash != 0 ? kThisScript : kAnyScript);
  if (!s) return KS_ST_ERR;
  sqlite3_bind_int64(s.s, 1, dir_dbid);
  sqlite3_bind_text(s.s, 2, name.c_str(), int(name.size()), SQLITE_STATIC);
  sqlite3_bind_int64(s.s, 3, primary_hash);
  if (script_hash != 0) sqlite3_bind_int64(s.s, 4, int64_t(script_hash));
  out->clear();
  int rc;
  while ((rc = sqlite3_step(s.s)) == SQLITE_ROW) {
    if (sqlite3_column_bytes(s.s, 0) != 16) continue;
    tbs_oid_t oid;
    std::memcpy(oid.bytes, sqlite3_column_blob(s.s, 0), 16);
    out->push_back(oid);
  }
  return rc == SQLITE_DONE ? KS_ST_OK : KS_ST_ERR;
}

ks_status_t dbrpc_vobdb_set_shared(const std::string &git_dir, const tbs_oid_t &do_oid,
                                   const dbrpc_vobdb_pool_t &data) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_locked(git_dir);
  bool joined = false;
  if (!db || !write_begin(db, git_dir, &joined)) return KS_ST_ERR;
  bool ok;
  {
    Stmt p(db, "INSERT OR REPLACE INTO do_pool(do_oid, size, mtime_ns, dev, ino) VALUES(?1, ?2, ?3, ?4, ?5)");
    Stmt u(db, "UPDATE dos SET shared = 1 WHERE do_oid = ?1");
    ok = p && u;
    if (ok) {
      sqlite3_bind_blob(p.s, 1, do_oid.bytes, 16, SQLITE_STATIC);
      sqlite3_bind_int64(p.s, 2, int64_t(data.size));
      sqlite3_bind_int64(p.s, 3, data.mtime_ns);
      sqlite3_bind_int64(p.s, 4, int64_t(data.dev));
      sqlite3_bind_int64(p.s, 5, int64_t(data.ino));
      sqlite3_bind_blob(u.s, 1, do_oid.bytes, 16, SQLITE_STATIC);
      ok = sqlite3_step(p.s) == SQLITE_DONE && sqlite3_step(u.s) == SQLITE_DONE;
    }
  }
  // Within a batch the transaction goes on: what it answers now is known.
  if (ok && joined) answers.shared(db, do_oid, data);
  else answers.forget(db, do_oid);
  if (!ok) report("cannot mark a derived object shared in the VOB database", git_dir, sqlite3_errmsg(db));
  return write_end(db, git_dir, joined, ok) ? KS_ST_OK : KS_ST_ERR;
}

ks_status_t dbrpc_vobdb_find_pool(const std::string &git_dir, const tbs_oid_t &do_oid,
                                  dbrpc_vobdb_pool_t *out) {
  return select_do_row_once(git_dir, "SELECT size, mtime_ns, dev, ino FROM do_pool WHERE do_oid = ?1",
                            do_oid, &Answers::Of::pools, out, [](sqlite3_stmt *row, dbrpc_vobdb_pool_t *p) {
                              p->size = uint64_t(sqlite3_column_int64(row, 0));
                              p->mtime_ns = sqlite3_column_int64(row, 1);
                              p->dev = uint64_t(sqlite3_column_int64(row, 2));
                              p->ino = uint64_t(sqlite3_column_int64(row, 3));
                            });
}

ks_status_t dbrpc_vobdb_delete_do(const std::string &git_dir, const tbs_oid_t &do_oid) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_locked(git_dir);
  bool joined = false;
  if (!db || !write_begin(db, git_dir, &joined)) return KS_ST_ERR;
  bool ok = true;
  // The record goes with its last derived object.
  static const char *const steps[] = {
      "DELETE FROM crs WHERE cr_id = (SELECT cr_id FROM dos WHERE do_oid = ?1) AND"
      " (SELECT COUNT(*) FROM dos d WHERE d.cr_id = crs.cr_id) = 1",
      "DELETE FROM do_dep_hashes WHERE do_oid = ?1",
      "DELETE FROM do_pool WHERE do_oid = ?1",
      "DELETE FROM dos WHERE do_oid = ?1",
  };
  for (const char *sql : steps) {
    Stmt s(db, sql);
    ok = ok && s;
    if (!ok) break;
    sqlite3_bind_blob(s.s, 1, do_oid.bytes, 16, SQLITE_STATIC);
    ok = sqlite3_step(s.s) == SQLITE_DONE;
  }
  answers.forget(db, do_oid);
  if (!ok) report("cannot delete a derived object from the VOB database", git_dir, sqlite3_errmsg(db));
  return write_end(db, git_dir, joined, ok) ? KS_ST_OK : KS_ST_ERR;
}

ks_status_t dbrpc_vobdb_do_row(const std::string &git_dir, const tbs_oid_t &do_oid, int64_t *row) {
  return select_do_row(git_dir, "SELECT rowid FROM dos WHERE do_oid = ?1", do_oid,
                       [row](sqlite3_stmt *found) { *row = sqlite3_column_int64(found, 0); });
}

ks_status_t dbrpc_vobdb_find_do_by_row(const std::string &git_dir, int64_t row, dbrpc_vobdb_do_t *out) {
  std::lock_guard<std::mutex> hold(pool.lock);
  sqlite3 *db = open_for_read(git_dir);
  if (!db) return KS_ST_ERR;
  static const std::string sql = std::string("SELECT ") + kDoColumns + " FROM dos WHERE rowid = ?1";
  Stmt s(db, sql.c_str());
  if (!s) return KS_ST_ERR;
  sqlite3_bind_int64(s.s, 1, row);
  int rc = sqlite3_step(s.s);
  if (rc == SQLITE_ROW) {
    read_do(s.s, out);
    return KS_ST_OK;
  }
  return rc == SQLITE_DONE ? KS_ST_NOT_FOUND : KS_ST_ERR;
}
