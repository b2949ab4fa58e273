#include "dbrpc/dbrpc_viewdb.h"

#include "dbrpc/dbrpc_sqlite.h"
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <unordered_map>
#include <vector>

#include "dbrpc/dbrpc_db.h"
#include "ks/imsg.h"

namespace {

const char kModule[] = "dbrpc/dbrpc_viewdb";

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS private_objects(vrel TEXT PRIMARY KEY, oid BLOB NOT NULL,"
    " dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
    " mtime_ns INTEGER NOT NULL) WITHOUT ROWID;"
    // Derived objects present in the view: the OID each name holds as a derived object.
    "CREATE TABLE IF NOT EXISTS derived_objects(vrel TEXT PRIMARY KEY, do_oid BLOB NOT NULL,"
    " mtype INTEGER NOT NULL, dev INTEGER NOT NULL, ino INTEGER NOT NULL) WITHOUT ROWID;";

// A batch's transaction commits when it is next used after this long, so that other processes
// waiting to record identities in the view wait briefly, however large the batch.
constexpr auto kBatchHold = std::chrono::milliseconds(200);

void report(const char *what, const std::string &path, const char *why) {
  imsg_print(IMSG_ERROR, "%s: %s \"%s\": %s\n", -1, kModule, what, path.c_str(), why);
}

// A name's private object as recorded: its OID and the status it was recorded with.
struct Recorded {
  tbs_oid_t oid;
  int64_t dev, ino, size, mtime_ns;
};

// The names looked up in one directory, and whether its records were read ahead.
struct DirReads {
  unsigned lookups = 0;
  bool read = false;
};

// What the process keeps with each connection.
struct Conn {
  std::string storage;
  sqlite3_stmt *select = nullptr;
  sqlite3_stmt *select_dir = nullptr;
  sqlite3_stmt *insert = nullptr;
  // Records of private objects read ahead, a directory at a time, by name. Only committed
  // records are read ahead, and a record names one OID for as long as its status is what it
  // shows: a record found here that matches the status is the answer the database would give.
  std::unordered_map<std::string, Recorded> ahead;
  std::unordered_map<std::string, DirReads> dirs;  // by directory name
  // Derived objects recorded, read ahead in the same way for identification alone: a record
  // another process replaced since names a derived object that is no longer the file there.
  sqlite3_stmt *select_dos_dir = nullptr;
  std::unordered_map<std::string, dbrpc_viewdb_do_t> ahead_dos;
  std::unordered_map<std::string, DirReads> dos_dirs;
  std::map<const char *, sqlite3_stmt *> kept;  // the other statements, by their text
  bool in_batch = false;  // the write transaction of a batch is open
  pid_t owner = 0;        // the process that opened it
  pid_t opener = 0;       // the process that opened the connection
  int64_t opened_version = -1;  // the database's data version when it was opened
  int64_t passing = 0;    // rows changed as passing bookkeeping (dbrpc_viewdb_note_passing_changes)
  std::chrono::steady_clock::time_point began;
};

bool control(sqlite3 *db, Conn &c, const char *sql);

// The size up to which the write-ahead log of a process that changed nothing lasting is left for
// the next one: a few hundred passing transactions, read again quickly by the next opener.
constexpr off_t kPassingLogLimit = 256 * 1024;

// The data version of the database as db sees it: it changes whenever another connection commits.
// -1 when it cannot be read.
int64_t data_version(sqlite3 *db) { return dbrpc_db_pragma_int(db, "PRAGMA data_version"); }

// Whether the write-ahead log of the view.db of storage is short enough to be left as it is.
bool short_log(const std::string &storage) {
  struct stat st;
  return stat((storage + "/view.db-wal").c_str(), &st) != 0 || st.st_size <= kPassingLogLimit;
}

// Whether the connection of this process may leave the write-ahead log as it is when it closes:
// it changed nothing but passing rows, no other connection committed while it was open (so
// whatever lasting an earlier process left in the log was copied in by the last to close then),
// and the log is short.
bool may_leave_log(sqlite3 *db, const Conn &c) {
  return c.opener == getpid() && sqlite3_total_changes64(db) <= c.passing && c.opened_version >= 0 &&
         data_version(db) == c.opened_version && short_log(c.storage);
}

// Commits the connection's batch transaction, if open; false (and *failed set) when it failed.
bool commit(sqlite3 *db, Conn &c, bool *failed) {
  if (!c.in_batch) return true;
  c.in_batch = false;
  if (c.owner != getpid()) return true;  // a forked child's copy: the transaction is its parent's
  if (control(db, c, "COMMIT")) return true;
  report("cannot write the view database", c.storage, sqlite3_errmsg(db));
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  *failed = true;
  return false;
}

// What the connections had read ahead when the process exited: kept, not taken apart, since
// that would be work for nothing (reachable from here, so not taken for a leak).
std::map<sqlite3 *, Conn> *conns_at_exit = nullptr;

// The connections, their statements and the batch state; guarded by pool.lock.
struct State {
  dbrpc_db_pool pool;
  std::map<sqlite3 *, Conn> conns;
  int depth = 0;        // nesting of open batches
  bool failed = false;  // an assignment of the open batch may not be recorded

  // Commits open batches and finalizes the statements, so that the connections can close.
  // at_exit: the process is ending; what the connections read ahead is left as it is.
  void release(bool at_exit = false) {
    for (auto &[db, c] : conns) {
      commit(db, c, &failed);
      if (may_leave_log(db, c)) sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
      sqlite3_finalize(c.select);
      sqlite3_finalize(c.select_dir);
      sqlite3_finalize(c.select_dos_dir);
      sqlite3_finalize(c.insert);
      for (auto &k : c.kept) sqlite3_finalize(k.second);
      // What lasts is copied into the database now, as far as readers allow (the log synced
      // first), and not only by the last connection to close: that one may leave the log.
      if (c.opener == getpid() && sqlite3_total_changes64(db) > c.passing)
        sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
    if (at_exit && !conns_at_exit) conns_at_exit = new std::map<sqlite3 *, Conn>(std::move(conns));
    conns.clear();
  }
  ~State() { release(true); }
};

State state;

sqlite3 *open_locked(const std::string &storage, bool create) {
  return state.pool.get(storage, [&] {
    // The schema is run when the database does not carry its mark, so that a view made before a
    // table existed gets it. Like passing changes, what it writes may stay in the log: the next
    // process that writes something lasting appends to the log instead of starting it anew, which
    // would sync its header.
    sqlite3 *db = dbrpc_db_open(kModule, "cannot open the view database", storage + "/view.db",
                                create, kSchema);
    if (db) {
      // A power loss may forget the newest identities, which only makes their objects new again.
      dbrpc_db_relax_sync(db);
      state.conns[db].storage = storage;
      state.conns[db].opener = getpid();
      state.conns[db].opened_version = data_version(db);
    }
    return db;
  });
}

// The statement sql of the connection, prepared once and kept; null after printing the error.
sqlite3_stmt *statement(sqlite3 *db, Conn &c, sqlite3_stmt **slot, const char *sql) {
  if (!*slot &&
      sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, slot, nullptr) != SQLITE_OK) {
    report("cannot read the view database", c.storage, sqlite3_errmsg(db));
    *slot = nullptr;
  }
  return *slot;
}

// Runs a transaction statement of the connection ("BEGIN IMMEDIATE", "COMMIT"), kept prepared
// like the others. False when it failed (sqlite3_errmsg tells why).
bool control(sqlite3 *db, Conn &c, const char *sql) {
  sqlite3_stmt *s = statement(db, c, &c.kept[sql], sql);
  if (!s) return false;
  const bool ok = sqlite3_step(s) == SQLITE_DONE;
  sqlite3_reset(s);
  return ok;
}

// The modification time in nanoseconds, as stored. Times past the year 2262 do not fit: the
// value then wraps around (in unsigned arithmetic, so the sum is defined), which keeps every
// time that fits as it was and still tells a changed time from the one recorded.
int64_t mtime_ns(const struct stat &st) {
  return int64_t(uint64_t(st.st_mtim.tv_sec) * 1000000000u + uint64_t(st.st_mtim.tv_nsec));
}

// The record of the statement's row (columns oid, dev, ino, size, mtime_ns from first on); false
// when the row holds no OID.
bool recorded_of(sqlite3_stmt *s, int first, Recorded *r) {
  if (sqlite3_column_bytes(s, first) != 16) return false;
  std::memcpy(r->oid.bytes, sqlite3_column_blob(s, first), 16);
  r->dev = sqlite3_column_int64(s, first + 1);
  r->ino = sqlite3_column_int64(s, first + 2);
  r->size = sqlite3_column_int64(s, first + 3);
  r->mtime_ns = sqlite3_column_int64(s, first + 4);
  return true;
}

// Whether a record is of the object whose status is st (a directory by its identity alone).
bool same_object(const Recorded &r, const struct stat &st) {
  return r.dev == int64_t(st.st_dev) && r.ino == int64_t(st.st_ino) &&
         (S_ISDIR(st.st_mode) || (r.size == int64_t(st.st_size) && r.mtime_ns == mtime_ns(st)));
}

// At most this many records of a directory are read ahead; none once this many are held.
constexpr int kReadAheadDir = 4096;
constexpr size_t kReadAheadAll = 200000;

// Whether vrel's directory is to be read ahead now: on the second name looked up in it, outside
// any transaction of this connection (so that only committed records are read), while fewer
// than kReadAheadAll records are held. *dir: the directory, with its slash.
bool read_ahead_now(sqlite3 *db, std::unordered_map<std::string, DirReads> &dirs, size_t held,
                    const std::string &vrel, std::string *dir) {
  size_t slash = vrel.rfind('/');
  if (slash == std::string::npos) return false;
  *dir = vrel.substr(0, slash + 1);
  DirReads &d = dirs[*dir];
  if (d.read || ++d.lookups < 2 || !sqlite3_get_autocommit(db) || held >= kReadAheadAll) return false;
  d.read = true;
  return true;
}

// Runs sql over the names below dir (the name its first column; ?1 and ?2 the range of names,
// ?3 the most rows) and gives take the rows of the names directly in dir.
void read_dir_rows(sqlite3 *db, Conn &c, sqlite3_stmt **slot, const char *sql, const std::string &dir,
                   const std::function<void(const char *name, sqlite3_stmt *s)> &take) {
  sqlite3_stmt *s = statement(db, c, slot, sql);
  if (!s) return;
  std::string end = dir;
  end.back() = '/' + 1;  // just after every name that starts with dir
  sqlite3_bind_text(s, 1, dir.c_str(), int(dir.size()), SQLITE_STATIC);
  sqlite3_bind_text(s, 2, end.c_str(), int(end.size()), SQLITE_STATIC);
  sqlite3_bind_int64(s, 3, kReadAheadDir);
  while (sqlite3_step(s) == SQLITE_ROW) {
    const char *name = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
    if (name && std::strchr(name + dir.size(), '/') == nullptr) take(name, s);
  }
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
}

// The recorded OID when the record matches what st shows now.
bool lookup(sqlite3 *db, Conn &c, const std::string &vrel, const struct stat &st, tbs_oid_t *oid) {
  std::string dir;
  if (read_ahead_now(db, c.dirs, c.ahead.size(), vrel, &dir))
    read_dir_rows(db, c, &c.select_dir,
                  "SELECT vrel, oid, dev, ino, size, mtime_ns FROM private_objects"
                  " WHERE vrel > ?1 AND vrel < ?2 ORDER BY vrel LIMIT ?3",
                  dir, [&](const char *name, sqlite3_stmt *s) {
                    Recorded r;
                    if (recorded_of(s, 1, &r)) c.ahead[name] = r;
                  });
  auto it = c.ahead.find(vrel);
  if (it != c.ahead.end() && same_object(it->second, st)) {
    *oid = it->second.oid;
    return true;
  }
  sqlite3_stmt *s = statement(db, c, &c.select,
                              "SELECT oid, dev, ino, size, mtime_ns FROM private_objects WHERE vrel = ?1");
  if (!s) return false;
  sqlite3_bind_text(s, 1, vrel.c_str(), int(vrel.size()), SQLITE_STATIC);
  bool found = false;
  Recorded r;
  if (sqlite3_step(s) == SQLITE_ROW && recorded_of(s, 0, &r) && same_object(r, st)) {
    *oid = r.oid;
    found = true;
  }
  sqlite3_reset(s);  // ends the statement's read
  sqlite3_clear_bindings(s);
  return found;
}

// Records a new OID for vrel in the open transaction.
bool insert(sqlite3 *db, Conn &c, const std::string &vrel, const struct stat &st,
            const tbs_uuid_t &fresh) {
  sqlite3_stmt *s = statement(db, c, &c.insert,
                              "INSERT OR REPLACE INTO private_objects(vrel, oid, dev, ino, size, mtime_ns)"
                              " VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
  if (!s) return false;
  sqlite3_bind_text(s, 1, vrel.c_str(), int(vrel.size()), SQLITE_STATIC);
  sqlite3_bind_blob(s, 2, fresh.bytes, 16, SQLITE_STATIC);
  sqlite3_bind_int64(s, 3, int64_t(st.st_dev));
  sqlite3_bind_int64(s, 4, int64_t(st.st_ino));
  sqlite3_bind_int64(s, 5, int64_t(st.st_size));
  sqlite3_bind_int64(s, 6, mtime_ns(st));
  bool ok = sqlite3_step(s) == SQLITE_DONE;
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return ok;
}

}  // namespace

ks_status_t dbrpc_viewdb_create(const std::string &storage) {
  if (mkdir(storage.c_str(), 0777) != 0 && errno != EEXIST) {
    report("cannot create the view storage", storage, strerror(errno));
    return KS_ST_ERR;
  }
  std::lock_guard<std::mutex> hold(state.pool.lock);
  return open_locked(storage, true) ? KS_ST_OK : KS_ST_ERR;
}

sqlite3 *dbrpc_viewdb_handle(const std::string &storage) {
  std::lock_guard<std::mutex> hold(state.pool.lock);
  sqlite3 *db = open_locked(storage, false);
  if (db) commit(db, state.conns[db], &state.failed);
  return db;
}

void dbrpc_viewdb_close_all() {
  std::lock_guard<std::mutex> hold(state.pool.lock);
  state.release();
  state.pool.close_all();
}

void dbrpc_viewdb_note_passing_changes(const std::string &storage, int64_t n) {
  std::lock_guard<std::mutex> hold(state.pool.lock);
  auto it = state.pool.connections.find(storage);
  if (it == state.pool.connections.end()) return;
  auto c = state.conns.find(it->second);
  if (c != state.conns.end()) c->second.passing += n;
}

void dbrpc_viewdb_batch_begin() {
  std::lock_guard<std::mutex> hold(state.pool.lock);
  state.depth++;
}

ks_status_t dbrpc_viewdb_batch_end() {
  std::lock_guard<std::mutex> hold(state.pool.lock);
  if (state.depth == 0) return KS_ST_ERR;
  if (--state.depth > 0) return KS_ST_OK;
  for (auto &[db, c] : state.conns) commit(db, c, &state.failed);
  bool failed = state.failed;
  state.failed = false;
  return failed ? KS_ST_ERR : KS_ST_OK;
}

ks_status_t dbrpc_viewdb_find_private_oid(const std::string &storage, const std::string &vrel,
                                          const struct stat &st, tbs_oid_t *oid) {
  std::lock_guard<std::mutex> hold(state.pool.lock);
  sqlite3 *db = open_locked(storage, false);
  if (!db) return KS_ST_ERR;
  return lookup(db, state.conns[db], vrel, st, oid) ? KS_ST_OK : KS_ST_NOT_FOUND;
}

ks_status_t dbrpc_viewdb_private_oid(const std::string &storage, const std::string &vrel,
                                     const struct stat &st, tbs_oid_t *oid) {
  std::lock_guard<std::mutex> hold(state.pool.lock);
  sqlite3 *db = open_locked(storage, false);
  if (!db) return KS_ST_ERR;
  Conn &c = state.conns[db];
  if (c.in_batch && std::chrono::steady_clock::now() - c.began >= kBatchHold)
    commit(db, c, &state.failed);  // let the processes waiting for the view's database in
  if (lookup(db, c, vrel, st, oid)) return KS_ST_OK;
  // Not known as it is now: decide under the write lock, since another process may be doing
  // the same for the same object.
  if (!c.in_batch) {
    if (!control(db, c, "BEGIN IMMEDIATE")) {
      report("cannot lock the view database", storage, sqlite3_errmsg(db));
      return KS_ST_ERR;
    }
    if (lookup(db, c, vrel, st, oid)) {
      control(db, c, "COMMIT");
      return KS_ST_OK;
    }
    if (state.depth > 0) {
      c.in_batch = true;
      c.owner = getpid();
      c.began = std::chrono::steady_clock::now();
    }
  }
  tbs_uuid_t fresh;
  bool made = tbs_uuid_create(&fresh) == KS_ST_OK;
  if (!made) report("cannot make an object identifier for", vrel, strerror(errno));
  bool ok = made && insert(db, c, vrel, st, fresh);
  c.ahead.erase(vrel);  // what was read ahead of the name no longer holds
  if (made && !ok) report("cannot write the view database", storage, sqlite3_errmsg(db));
  if (c.in_batch) {
    // A failed statement may have ended the batch's transaction, and the OIDs it recorded.
    if (sqlite3_get_autocommit(db)) {
      c.in_batch = false;
      state.failed = true;
    }
  } else if (!ok || !control(db, c, "COMMIT")) {
    if (ok) report("cannot write the view database", storage, sqlite3_errmsg(db));
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return KS_ST_ERR;
  }
  if (!ok) return KS_ST_ERR;
  *oid = tbs_uuid_to_oid(&fresh);
  return KS_ST_OK;
}

namespace {

// Runs a statement on the view's database outside any batch; false after printing the error.
bool run(const std::string &storage, const char *sql,
         const std::function<void(sqlite3_stmt *)> &bind,
         const std::function<void(sqlite3_stmt *)> &row = nullptr) {
  std::lock_guard<std::mutex> hold(state.pool.lock);
  sqlite3 *db = open_locked(storage, false);
  if (!db) return false;
  Conn &c = state.conns[db];
  // A read may join an open batch; a write is its own transaction.
  if (!row) commit(db, c, &state.failed);
  sqlite3_stmt *s = statement(db, c, &c.kept[sql], sql);
  if (!s) return false;
  bind(s);
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW)
    if (row) row(s);
  if (rc != SQLITE_DONE) report("cannot use the view database", storage, sqlite3_errmsg(db));
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return rc == SQLITE_DONE;
}

}  // namespace

namespace {

// Drops what was read ahead of vrel as a derived object: this process is changing its record.
void forget_read_ahead_do(const std::string &storage, const std::string &vrel) {
  std::lock_guard<std::mutex> hold(state.pool.lock);
  if (sqlite3 *db = open_locked(storage, false)) state.conns[db].ahead_dos.erase(vrel);
}

}  // namespace

ks_status_t dbrpc_viewdb_note_do(const std::string &storage, const std::string &vrel,
                                 const tbs_oid_t &do_oid, uint32_t mtype, const struct stat &st) {
  forget_read_ahead_do(storage, vrel);
  bool ok = run(storage,
                "INSERT OR REPLACE INTO derived_objects(vrel, do_oid, mtype, dev, ino)"
                " VALUES(?1, ?2, ?3, ?4, ?5)",
                [&](sqlite3_stmt *s) {
                  sqlite3_bind_text(s, 1, vrel.c_str(), int(vrel.size()), SQLITE_STATIC);
                  sqlite3_bind_blob(s, 2, do_oid.bytes, 16, SQLITE_STATIC);
                  sqlite3_bind_int64(s, 3, mtype);
                  sqlite3_bind_int64(s, 4, int64_t(st.st_dev));
                  sqlite3_bind_int64(s, 5, int64_t(st.st_ino));
                });
  return ok ? KS_ST_OK : KS_ST_ERR;
}

ks_status_t dbrpc_viewdb_find_do(const std::string &storage, const std::string &vrel,
                                 tbs_oid_t *do_oid, uint32_t *mtype, uint64_t *dev, uint64_t *ino) {
  bool found = false;
  bool ok = run(
      storage, "SELECT do_oid, mtype, dev, ino FROM derived_objects WHERE vrel = ?1",
      [&](sqlite3_stmt *s) { sqlite3_bind_text(s, 1, vrel.c_str(), int(vrel.size()), SQLITE_STATIC); },
      [&](sqlite3_stmt *s) {
        if (sqlite3_column_bytes(s, 0) != 16) return;
        std::memcpy(do_oid->bytes, sqlite3_column_blob(s, 0), 16);
        *mtype = uint32_t(sqlite3_column_int64(s, 1));
        if (dev) *dev = uint64_t(sqlite3_column_int64(s, 2));
        if (ino) *ino = uint64_t(sqlite3_column_int64(s, 3));
        found = true;
      });
  if (!ok) return KS_ST_ERR;
  return found ? KS_ST_OK : KS_ST_NOT_FOUND;
}

ks_status_t dbrpc_viewdb_identify_do(const std::string &storage, const std::string &vrel,
                                     tbs_oid_t *do_oid, uint32_t *mtype) {
  {
    std::lock_guard<std::mutex> hold(state.pool.lock);
    sqlite3 *db = open_locked(storage, false);
    if (!db) return KS_ST_ERR;
    Conn &c = state.conns[db];
    std::string dir;
    if (read_ahead_now(db, c.dos_dirs, c.ahead_dos.size(), vrel, &dir))
      read_dir_rows(db, c, &c.select_dos_dir,
                    "SELECT vrel, do_oid, mtype FROM derived_objects"
                    " WHERE vrel > ?1 AND vrel < ?2 ORDER BY vrel LIMIT ?3",
                    dir, [&](const char *name, sqlite3_stmt *s) {
                      if (sqlite3_column_bytes(s, 1) != 16) return;
                      dbrpc_viewdb_do_t &d = c.ahead_dos[name];
                      std::memcpy(d.do_oid.bytes, sqlite3_column_blob(s, 1), 16);
                      d.mtype = uint32_t(sqlite3_column_int64(s, 2));
                    });
    auto it = c.ahead_dos.find(vrel);
    if (it != c.ahead_dos.end()) {
      *do_oid = it->second.do_oid;
      *mtype = it->second.mtype;
      return KS_ST_OK;
    }
  }
  return dbrpc_viewdb_find_do(storage, vrel, do_oid, mtype);
}

ks_status_t dbrpc_viewdb_list_dos(const std::string &storage,
                                  std::vector<dbrpc_viewdb_do_t> *out) {
  out->clear();
  bool ok = run(
      storage, "SELECT vrel, do_oid, mtype FROM derived_objects ORDER BY vrel",
      [](sqlite3_stmt *) {},
      [&](sqlite3_stmt *s) {
        if (sqlite3_column_bytes(s, 1) != 16) return;
        dbrpc_viewdb_do_t d;
        const unsigned char *v = sqlite3_column_text(s, 0);
        d.vrel = v ? reinterpret_cast<const char *>(v) : "";
        std::memcpy(d.do_oid.bytes, sqlite3_column_blob(s, 1), 16);
        d.mtype = uint32_t(sqlite3_column_int64(s, 2));
        out->push_back(std::move(d));
      });
  return ok ? KS_ST_OK : KS_ST_ERR;
}

ks_status_t dbrpc_viewdb_forget_do(const std::string &storage, const std::string &vrel) {
  forget_read_ahead_do(storage, vrel);
  bool ok = run(storage, "DELETE FROM derived_objects WHERE vrel = ?1", [&](sqlite3_stmt *s) {
    sqlite3_bind_text(s, 1, vrel.c_str(), int(vrel.size()), SQLITE_STATIC);
  });
  return ok ? KS_ST_OK : KS_ST_ERR;
}

ks_status_t dbrpc_viewdb_last_private_oid(const std::string &storage, const std::string &vrel,
                                          tbs_oid_t *oid) {
  bool found = false;
  bool ok = run(
      storage, "SELECT oid FROM private_objects WHERE vrel = ?1",
      [&](sqlite3_stmt *s) { sqlite3_bind_text(s, 1, vrel.c_str(), int(vrel.size()), SQLITE_STATIC); },
      [&](sqlite3_stmt *s) {
        if (sqlite3_column_bytes(s, 0) != 16) return;
        std::memcpy(oid->bytes, sqlite3_column_blob(s, 0), 16);
        found = true;
      });
  if (!ok) return KS_ST_ERR;
  return found ? KS_ST_OK : KS_ST_NOT_FOUND;
}

ks_status_t dbrpc_viewdb_note_winkin(const std::string &storage, const std::string &vrel,
                                     const tbs_oid_t &do_oid, uint32_t mtype, const struct stat &st) {
  std::lock_guard<std::mutex> hold(state.pool.lock);
  sqlite3 *db = open_locked(storage, false);
  if (!db) return KS_ST_ERR;
  Conn &c = state.conns[db];
  if (c.in_batch && std::chrono::steady_clock::now() - c.began >= kBatchHold)
    commit(db, c, &state.failed);
  // Within a batch both rows join its transaction; otherwise they make one of their own.
  const bool own = !c.in_batch;
  if (own) {
    if (!control(db, c, "BEGIN IMMEDIATE")) {
      report("cannot lock the view database", storage, sqlite3_errmsg(db));
      return KS_ST_ERR;
    }
    if (state.depth > 0) {
      c.in_batch = true;
      c.owner = getpid();
      c.began = std::chrono::steady_clock::now();
    }
  }
  tbs_uuid_t as_uuid;
  std::memcpy(as_uuid.bytes, do_oid.bytes, 16);
  bool ok = insert(db, c, vrel, st, as_uuid);
  c.ahead.erase(vrel);  // what was read ahead of the name no longer holds
  c.ahead_dos.erase(vrel);
  static const char kNote[] =
      "INSERT OR REPLACE INTO derived_objects(vrel, do_oid, mtype, dev, ino) VALUES(?1, ?2, ?3, ?4, ?5)";
  sqlite3_stmt *s = ok ? statement(db, c, &c.kept[kNote], kNote) : nullptr;
  if (s) {
    sqlite3_bind_text(s, 1, vrel.c_str(), int(vrel.size()), SQLITE_STATIC);
    sqlite3_bind_blob(s, 2, do_oid.bytes, 16, SQLITE_STATIC);
    sqlite3_bind_int64(s, 3, mtype);
    sqlite3_bind_int64(s, 4, int64_t(st.st_dev));
    sqlite3_bind_int64(s, 5, int64_t(st.st_ino));
    ok = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
  } else {
    ok = false;
  }
  if (!ok) report("cannot write the view database", storage, sqlite3_errmsg(db));
  if (c.in_batch) {
    // A failed statement may have ended the batch's transaction, and what it recorded.
    if (sqlite3_get_autocommit(db)) {
      c.in_batch = false;
      state.failed = true;
    }
    return ok ? KS_ST_OK : KS_ST_ERR;
  }
  if (!ok || !control(db, c, "COMMIT")) {
    if (ok) report("cannot write the view database", storage, sqlite3_errmsg(db));
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}
