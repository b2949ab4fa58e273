#include "dbrpc/dbrpc_reg.h"

#include "dbrpc/dbrpc_sqlite.h"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "dbrpc/dbrpc_db.h"
#include "ks/fileutl.h"
#include "ks/imsg.h"
#include "ks/ks_bytes.h"
#include "tbs/tbs_status.h"
#include "tbs/tbs_product.h"

namespace {

const char kModule[] = "dbrpc/dbrpc_reg";

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS vobs(tag TEXT PRIMARY KEY, oid BLOB NOT NULL UNIQUE,"
    " path TEXT NOT NULL, git_dir TEXT NOT NULL UNIQUE, host TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS views(tag TEXT PRIMARY KEY, uuid BLOB NOT NULL UNIQUE,"
    " storage TEXT NOT NULL, host TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS view_vobs(view_tag TEXT NOT NULL REFERENCES views(tag)"
    " ON DELETE CASCADE, vob_tag TEXT NOT NULL REFERENCES vobs(tag),"
    " PRIMARY KEY(view_tag, vob_tag));";

void report(const char *what, const std::string &path, const char *why) {
  imsg_print(IMSG_ERROR, "%s: %s \"%s\": %s\n", -1, kModule, what, path.c_str(), why);
}

// One statement, finalized when it goes out of scope.
struct Stmt {
  sqlite3_stmt *s = nullptr;
  Stmt(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
  ~Stmt() { sqlite3_finalize(s); }
  explicit operator bool() const { return s != nullptr; }
  void text(int i, const std::string &v) { sqlite3_bind_text(s, i, v.c_str(), int(v.size()), SQLITE_TRANSIENT); }
  void blob(int i, const void *v, int n) { sqlite3_bind_blob(s, i, v, n, SQLITE_TRANSIENT); }
  std::string col_text(int i) {
    const unsigned char *t = sqlite3_column_text(s, i);
    return t ? reinterpret_cast<const char *>(t) : "";
  }
  void col_16(int i, uint8_t *out) {
    std::memset(out, 0, 16);
    if (sqlite3_column_bytes(s, i) == 16) std::memcpy(out, sqlite3_column_blob(s, i), 16);
  }
};

sqlite3 *open_db(const std::string &path, bool create) {
  sqlite3 *db = dbrpc_db_open(kModule, "cannot open the registry", path, create, nullptr);
  if (db) {
    sqlite3_exec(db, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr);
    dbrpc_db_keep_wal(db);
  }
  return db;
}

// The process's reading connection and the snapshot it last made.
struct Reader {
  std::mutex lock;
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  sqlite3 *db = nullptr;
  long long data_version = -1;
  struct stat wal = {};  // the write-ahead log as it was when the snapshot was checked
  bool wal_settled = false;  // it was older than a clock tick then, so a change shows
  dbrpc_reg_snapshot_h snapshot;
  // Without a connection: the snapshot came from the snapshot file, and holds while the
  // registry's file and log keep these states.
  bool from_file = false;
  dbrpc_reg_file_state_t db_state{}, wal_state{};
  unsigned hold_depth = 0;     // nesting of open holds
  dbrpc_reg_snapshot_h held;  // the snapshot given in the open hold

  ~Reader() { close(); }
  void close() {
    if (db) sqlite3_close(db);  // a process that never read the registry never loads the library
    db = nullptr;
    data_version = -1;
    snapshot.reset();
    from_file = false;
  }
};

Reader reader;

long long data_version(sqlite3 *db) {
  Stmt st(db, "PRAGMA data_version");
  if (!st || sqlite3_step(st.s) != SQLITE_ROW) return -2;
  return sqlite3_column_int64(st.s, 0);
}

// Reads the tables into snap, within the caller's transaction.
bool read_all(sqlite3 *db, dbrpc_reg_snapshot_t *snap) {
  bool ok = true;
  {
    Stmt st(db, "SELECT tag, oid, path, git_dir, host FROM vobs ORDER BY rowid");
    ok = bool(st);
    while (ok && sqlite3_step(st.s) == SQLITE_ROW) {
      dbrpc_vob_rec_t v;
      v.tag = st.col_text(0);
      st.col_16(1, v.oid.bytes);
      v.path = st.col_text(2);
      v.git_dir = st.col_text(3);
      v.host = st.col_text(4);
      snap->vobs.push_back(std::move(v));
    }
  }
  if (ok) {
    Stmt st(db, "SELECT tag, uuid, storage, host FROM views ORDER BY rowid");
    ok = bool(st);
    while (ok && sqlite3_step(st.s) == SQLITE_ROW) {
      dbrpc_view_rec_t v;
      v.tag = st.col_text(0);
      st.col_16(1, v.uuid.bytes);
      v.storage = st.col_text(2);
      v.host = st.col_text(3);
      snap->views.push_back(std::move(v));
    }
  }
  snap->index();
  if (ok) {
    Stmt st(db, "SELECT view_tag, vob_tag FROM view_vobs ORDER BY rowid");
    ok = bool(st);
    while (ok && sqlite3_step(st.s) == SQLITE_ROW) {
      if (const dbrpc_view_rec_t *v = snap->find_view(st.col_text(0)))
        snap->views[size_t(v - snap->views.data())].vob_tags.push_back(st.col_text(1));
    }
  }
  return ok;
}

bool make_dir(const std::string &path) {
  if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
  report("cannot create the directory", path, strerror(errno));
  return false;
}

// A writing connection with an immediate transaction; committed by commit(), else rolled back.
struct Writer {
  sqlite3 *db = nullptr;
  bool done = false;
  Writer() {
    std::string path = tbs_registry_pname();
    if (path.empty()) {
      imsg_print(IMSG_ERROR, "%s: no site directory: set VESSARY_HOME or HOME\n", -1, kModule);
      return;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      imsg_print(IMSG_ERROR, "%s: no registry at \"%s\"\n", -1, kModule, path.c_str());
      return;
    }
    db = open_db(path, false);
    if (db && sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
      report("cannot lock the registry", path, sqlite3_errmsg(db));
      sqlite3_close(db);
      db = nullptr;
    }
  }
  ~Writer() {
    if (db && !done) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (db) sqlite3_close(db);
  }
  ks_status_t commit() {
    done = true;
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
      // The log's time moves once the commit can be read: a snapshot file recorded with the
      // log's state by a reader that did not see the commit (the log written, the commit not yet
      // visible) no longer matches.
      utimensat(AT_FDCWD, (tbs_registry_pname() + "-wal").c_str(), nullptr, 0);
      return KS_ST_OK;
    }
    report("cannot write the registry", tbs_registry_pname(), sqlite3_errmsg(db));
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return KS_ST_ERR;
  }
  ks_status_t failed(const char *what) {
    report(what, tbs_registry_pname(), sqlite3_errmsg(db));
    return KS_ST_ERR;
  }
  bool exists(const char *sql, const std::string &key) {
    Stmt st(db, sql);
    st.text(1, key);
    return st && sqlite3_step(st.s) == SQLITE_ROW;
  }
  bool exists_blob(const char *sql, const uint8_t *bytes) {
    Stmt st(db, sql);
    st.blob(1, bytes, 16);
    return st && sqlite3_step(st.s) == SQLITE_ROW;
  }
};

}  // namespace

namespace {

template <class Rec>
const Rec *find_in(const std::vector<Rec> &recs, const auto &table, std::string_view key) {
  auto it = table.find(key);
  return it == table.end() ? nullptr : &recs[it->second];
}

std::string_view bytes_of(const uint8_t (&bytes)[16]) {
  return std::string_view(reinterpret_cast<const char *>(bytes), 16);
}

}  // namespace

void dbrpc_reg_snapshot_t::index() {
  vob_by_tag.clear();
  vob_by_oid.clear();
  view_by_tag.clear();
  view_by_uuid.clear();
  // The first of equal keys wins, as a scan in order would find it.
  for (size_t i = 0; i < vobs.size(); i++) {
    vob_by_tag.emplace(vobs[i].tag, i);
    vob_by_oid.emplace(bytes_of(vobs[i].oid.bytes), i);
  }
  for (size_t i = 0; i < views.size(); i++) {
    view_by_tag.emplace(views[i].tag, i);
    view_by_uuid.emplace(bytes_of(views[i].uuid.bytes), i);
  }
}

const dbrpc_vob_rec_t *dbrpc_reg_snapshot_t::find_vob(std::string_view tag) const {
  return find_in(vobs, vob_by_tag, tag);
}

const dbrpc_vob_rec_t *dbrpc_reg_snapshot_t::find_vob_by_oid(const tbs_oid_t &oid) const {
  return find_in(vobs, vob_by_oid, bytes_of(oid.bytes));
}

const dbrpc_view_rec_t *dbrpc_reg_snapshot_t::find_view(std::string_view tag) const {
  return find_in(views, view_by_tag, tag);
}

const dbrpc_view_rec_t *dbrpc_reg_snapshot_t::find_view_by_uuid(const tbs_uuid_t &uuid) const {
  return find_in(views, view_by_uuid, bytes_of(uuid.bytes));
}

namespace {

dbrpc_reg_file_state_t state_of(const struct stat &st) {
  return dbrpc_reg_file_state_t{uint64_t(st.st_dev), uint64_t(st.st_ino), int64_t(st.st_size),
                                int64_t(st.st_mtim.tv_sec), int64_t(st.st_mtim.tv_nsec)};
}

// Whether the file's data was last written before the tick that stamps file times, so that a
// later write shows in its modification time. (Its change time moves without a write: see
// dbrpc_reg_file_state_t.)
bool written_settled(const struct stat &st) {
  struct stat data = st;
  data.st_ctim = st.st_mtim;
  return fileutl_status_settled(data);
}

// The snapshot the snapshot file of the registry at path holds, when the registry's file and
// log, whose statuses are db and wal, are as it records; else null. The file stands for the
// registry, so only one of the registry's owner or of this process's user, writable by no one
// who cannot write the registry, is believed.
dbrpc_reg_snapshot_h snapshot_from_file(const std::string &path, const std::string &site,
                                        const struct stat &db, const struct stat &wal) {
  std::string data;
  struct stat own;
  if (!fileutl_read_whole_file(dbrpc_reg_snapshot_pname(path).c_str(), &data, &own) ||
      (own.st_uid != db.st_uid && own.st_uid != geteuid()) ||
      (own.st_mode & ~db.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return nullptr;
  auto snap = std::make_shared<dbrpc_reg_snapshot_t>();
  dbrpc_reg_file_state_t db_was, wal_was;
  if (!dbrpc_reg_snapshot_decode(data.data(), data.size(), snap.get(), &db_was, &wal_was) ||
      !(db_was == state_of(db)) || !(wal_was == state_of(wal)))
    return nullptr;
  snap->site = site;
  return snap;
}

// The snapshot as the registry is now; reader.lock held.
dbrpc_reg_snapshot_h snapshot_locked(ks_status_t *status) {
  std::string site = tbs_site_dir();
  std::string path = tbs_registry_pname();
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) {
    reader.close();
    reader.path.clear();
    auto empty = std::make_shared<dbrpc_reg_snapshot_t>();
    empty->site = site;
    return empty;
  }
  // Judged at the moment of the status, not after a wait for the database.
  const bool db_settled = written_settled(st);
  // Another site, or the registry replaced: start over.
  if (reader.path != path || reader.dev != st.st_dev || reader.ino != st.st_ino) {
    reader.close();
    reader.path = path;
    reader.dev = st.st_dev;
    reader.ino = st.st_ino;
  }
  if (!reader.db) {
    // Without a connection, the registry is what the snapshot file holds while neither its file
    // nor its log changed; the database is opened only when one did.
    struct stat wal;
    if (stat((path + "-wal").c_str(), &wal) == 0) {
      if (reader.from_file && reader.db_state == state_of(st) && reader.wal_state == state_of(wal))
        return reader.snapshot;
      if (dbrpc_reg_snapshot_h snap = snapshot_from_file(path, site, st, wal)) {
        reader.snapshot = snap;
        reader.from_file = true;
        reader.db_state = state_of(st);
        reader.wal_state = state_of(wal);
        return snap;
      }
    }
    reader.snapshot.reset();
    reader.from_file = false;
    reader.db = open_db(path, false);
    if (!reader.db) {
      *status = KS_ST_ERR;
      return nullptr;
    }
  }
  // Every commit writes the write-ahead log, which stays while this connection is open: an
  // unchanged log means an unchanged registry, without asking the database.
  struct stat wal;
  bool have_wal = stat((path + "-wal").c_str(), &wal) == 0;
  const bool wal_settled = have_wal && written_settled(wal);
  if (reader.snapshot && have_wal && reader.wal_settled && wal.st_ino == reader.wal.st_ino &&
      wal.st_size == reader.wal.st_size && wal.st_mtim.tv_sec == reader.wal.st_mtim.tv_sec &&
      wal.st_mtim.tv_nsec == reader.wal.st_mtim.tv_nsec)
    return reader.snapshot;
  // The version and the tables are read in one transaction, so that a snapshot holds the
  // registry as of the version it is kept with (and the database is locked and looked at once).
  if (sqlite3_exec(reader.db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
    report("cannot read the registry", path, sqlite3_errmsg(reader.db));
    reader.close();
    *status = KS_ST_ERR;
    return nullptr;
  }
  long long version = data_version(reader.db);
  reader.wal = have_wal ? wal : (struct stat){};
  reader.wal_settled = wal_settled;
  // The states before the read, which what is read is at least as new as, are left with it only
  // when a change after the read cannot keep them.
  const bool lasting = wal_settled && db_settled;
  if (reader.snapshot && version == reader.data_version) {
    sqlite3_exec(reader.db, "COMMIT", nullptr, nullptr, nullptr);
    return reader.snapshot;
  }
  auto snap = std::make_shared<dbrpc_reg_snapshot_t>();
  snap->site = site;
  const bool read = read_all(reader.db, snap.get());
  const std::string why = read ? std::string() : sqlite3_errmsg(reader.db);
  sqlite3_exec(reader.db, "COMMIT", nullptr, nullptr, nullptr);
  if (!read) {
    report("cannot read the registry", path, why.c_str());
    reader.close();
    *status = KS_ST_ERR;
    return nullptr;
  }
  reader.snapshot = snap;
  reader.data_version = version;
  // For the processes after this one (a site whose directory this process cannot write keeps none).
  if (lasting)
    fileutl_write_whole_file(dbrpc_reg_snapshot_pname(path).c_str(),
                             dbrpc_reg_snapshot_encode(*snap, state_of(st), state_of(wal)),
                             st.st_mode & 0666);
  return snap;
}

}  // namespace

namespace {

const char kSnapshotMagic[8] = {'V', 'R', 'S', 'N', 'A', 'P', '0', '1'};

void put_state(std::string *out, const dbrpc_reg_file_state_t &f) {
  ks_put_u64(out, f.dev);
  ks_put_u64(out, f.ino);
  for (int64_t v : {f.size, f.mtime_sec, f.mtime_nsec}) ks_put_u64(out, uint64_t(v));
}

bool take_state(ks_byte_reader *r, dbrpc_reg_file_state_t *f) {
  return r->u64(&f->dev) && r->u64(&f->ino) && r->i64(&f->size) && r->i64(&f->mtime_sec) &&
         r->i64(&f->mtime_nsec);
}

}  // namespace

std::string dbrpc_reg_snapshot_pname(const std::string &registry) { return registry + ".snap"; }

std::string dbrpc_reg_snapshot_encode(const dbrpc_reg_snapshot_t &snap, const dbrpc_reg_file_state_t &db,
                                      const dbrpc_reg_file_state_t &wal) {
  std::string out;
  ks_put_start(&out, kSnapshotMagic);
  put_state(&out, db);
  put_state(&out, wal);
  ks_put_u32(&out, uint32_t(snap.vobs.size()));
  for (const dbrpc_vob_rec_t &v : snap.vobs) {
    ks_put_str(&out, v.tag);
    ks_put_bytes(&out, v.oid.bytes, 16);
    ks_put_str(&out, v.path);
    ks_put_str(&out, v.git_dir);
    ks_put_str(&out, v.host);
  }
  ks_put_u32(&out, uint32_t(snap.views.size()));
  for (const dbrpc_view_rec_t &v : snap.views) {
    ks_put_str(&out, v.tag);
    ks_put_bytes(&out, v.uuid.bytes, 16);
    ks_put_str(&out, v.storage);
    ks_put_str(&out, v.host);
    ks_put_u32(&out, uint32_t(v.vob_tags.size()));
    for (const std::string &t : v.vob_tags) ks_put_str(&out, t);
  }
  ks_put_end(&out);
  return out;
}

bool dbrpc_reg_snapshot_decode(const void *data, size_t len, dbrpc_reg_snapshot_t *snap,
                               dbrpc_reg_file_state_t *db, dbrpc_reg_file_state_t *wal) {
  ks_byte_reader r;
  if (!ks_byte_reader_of(data, len, kSnapshotMagic, &r) || !take_state(&r, db) || !take_state(&r, wal))
    return false;
  snap->vobs.clear();
  snap->views.clear();
  uint32_t n;
  if (!r.u32(&n)) return false;
  // Every record takes some of the bytes: a count beyond them fails when they run out.
  for (uint32_t i = 0; i < n; i++) {
    dbrpc_vob_rec_t v;
    if (!r.str(&v.tag) || !r.bytes(v.oid.bytes, 16) || !r.str(&v.path) || !r.str(&v.git_dir) ||
        !r.str(&v.host))
      return false;
    snap->vobs.push_back(std::move(v));
  }
  if (!r.u32(&n)) return false;
  for (uint32_t i = 0; i < n; i++) {
    dbrpc_view_rec_t v;
    uint32_t tags;
    if (!r.str(&v.tag) || !r.bytes(v.uuid.bytes, 16) || !r.str(&v.storage) || !r.str(&v.host) ||
        !r.u32(&tags))
      return false;
    for (uint32_t t = 0; t < tags; t++) {
      std::string tag;
      if (!r.str(&tag)) return false;
      v.vob_tags.push_back(std::move(tag));
    }
    snap->views.push_back(std::move(v));
  }
  if (r.left != 0) return false;
  snap->index();
  return true;
}

void dbrpc_reg_hold_begin() {
  std::lock_guard<std::mutex> hold(reader.lock);
  reader.hold_depth++;
}

void dbrpc_reg_hold_end() {
  std::lock_guard<std::mutex> hold(reader.lock);
  if (reader.hold_depth > 0 && --reader.hold_depth == 0) reader.held.reset();
}

namespace {

// The site directory as the environment names it now (tbs_site_dir); reader.lock held. An
// absolute VESSARY_HOME names it alone, so the answer is kept while that stays the same.
const std::string &site_now() {
  static std::string home_seen, site;
  static bool by_home = false;
  const char *home = std::getenv("VESSARY_HOME");
  if (by_home && home && home_seen == home) return site;
  site = tbs_site_dir();
  by_home = home && home[0] == '/';
  if (by_home) home_seen = home;
  return site;
}

}  // namespace

dbrpc_reg_snapshot_h dbrpc_reg_snapshot(ks_status_t *status) {
  *status = KS_ST_OK;
  std::lock_guard<std::mutex> hold(reader.lock);
  if (reader.hold_depth > 0 && reader.held && reader.held->site == site_now()) return reader.held;
  dbrpc_reg_snapshot_h snap = snapshot_locked(status);
  if (reader.hold_depth > 0) reader.held = snap;
  return snap;
}


bool dbrpc_reg_tag_is_valid(const std::string &tag) {
  if (tag.empty() || tag.size() > 255 || tag[0] == '.' || tag[0] == '-') return false;
  for (char c : tag) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

ks_status_t dbrpc_reg_create_site() {
  std::string site = tbs_site_dir();
  if (site.empty()) {
    imsg_print(IMSG_ERROR, "%s: no site directory: set VESSARY_HOME or HOME\n", -1, kModule);
    return KS_ST_ERR;
  }
  std::string path = tbs_registry_pname();
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return KS_ST_OK;
  // Make the site's own directory and its parents.
  for (size_t slash = site.find('/', 1); slash != std::string::npos; slash = site.find('/', slash + 1))
    if (mkdir(site.substr(0, slash).c_str(), 0777) != 0 && errno != EEXIST) break;
  if (!make_dir(site) || !make_dir(tbs_view_root()) || !make_dir(site + "/storage"))
    return KS_ST_ERR;
  // Build the registry under a temporary name, so that a half-made one is never seen.
  std::string temp = path + ".new." + std::to_string(getpid());
  sqlite3 *db = open_db(temp, true);
  if (!db) return KS_ST_ERR;
  bool ok = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) report("cannot create the registry", temp, sqlite3_errmsg(db));
  sqlite3_close(db);
  if (ok && link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    report("cannot create the registry", path, strerror(errno));
    ok = false;
  }
  unlink(temp.c_str());
  if (!ok) return KS_ST_ERR;
  // WAL lets readers go on while a writer works.
  if (sqlite3 *w = open_db(path, false)) {
    sqlite3_exec(w, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_close(w);
  }
  return KS_ST_OK;
}

ks_status_t dbrpc_reg_add_vob(const dbrpc_vob_rec_t &vob) {
  Writer w;
  if (!w.db) return KS_ST_ERR;
  if (w.exists("SELECT 1 FROM vobs WHERE tag = ?1", vob.tag) ||
      w.exists("SELECT 1 FROM vobs WHERE git_dir = ?1", vob.git_dir) ||
      w.exists_blob("SELECT 1 FROM vobs WHERE oid = ?1", vob.oid.bytes))
    return TBS_ST_EXISTS;
  Stmt st(w.db, "INSERT INTO vobs(tag, oid, path, git_dir, host) VALUES(?1, ?2, ?3, ?4, ?5)");
  if (!st) return w.failed("cannot write the registry");
  st.text(1, vob.tag);
  st.blob(2, vob.oid.bytes, 16);
  st.text(3, vob.path);
  st.text(4, vob.git_dir);
  st.text(5, vob.host);
  if (sqlite3_step(st.s) != SQLITE_DONE) return w.failed("cannot write the registry");
  return w.commit();
}

ks_status_t dbrpc_reg_add_view(const dbrpc_view_rec_t &view) {
  Writer w;
  if (!w.db) return KS_ST_ERR;
  if (w.exists("SELECT 1 FROM views WHERE tag = ?1", view.tag) ||
      w.exists_blob("SELECT 1 FROM views WHERE uuid = ?1", view.uuid.bytes))
    return TBS_ST_EXISTS;
  for (const std::string &vob : view.vob_tags)
    if (!w.exists("SELECT 1 FROM vobs WHERE tag = ?1", vob)) return KS_ST_NOT_FOUND;
  {
    Stmt st(w.db, "INSERT INTO views(tag, uuid, storage, host) VALUES(?1, ?2, ?3, ?4)");
    if (!st) return w.failed("cannot write the registry");
    st.text(1, view.tag);
    st.blob(2, view.uuid.bytes, 16);
    st.text(3, view.storage);
    st.text(4, view.host);
    if (sqlite3_step(st.s) != SQLITE_DONE) return w.failed("cannot write the registry");
  }
  for (const std::string &vob : view.vob_tags) {
    Stmt st(w.db, "INSERT INTO view_vobs(view_tag, vob_tag) VALUES(?1, ?2)");
    if (!st) return w.failed("cannot write the registry");
    st.text(1, view.tag);
    st.text(2, vob);
    if (sqlite3_step(st.s) != SQLITE_DONE) return w.failed("cannot write the registry");
  }
  return w.commit();
}

ks_status_t dbrpc_reg_remove_view(const std::string &tag) {
  Writer w;
  if (!w.db) return KS_ST_ERR;
  if (!w.exists("SELECT 1 FROM views WHERE tag = ?1", tag)) return KS_ST_NOT_FOUND;
  Stmt st(w.db, "DELETE FROM views WHERE tag = ?1");
  if (!st) return w.failed("cannot write the registry");
  st.text(1, tag);
  if (sqlite3_step(st.s) != SQLITE_DONE) return w.failed("cannot write the registry");
  return w.commit();
}

ks_status_t dbrpc_reg_remove_vob(const std::string &tag) {
  Writer w;
  if (!w.db) return KS_ST_ERR;
  if (!w.exists("SELECT 1 FROM vobs WHERE tag = ?1", tag)) return KS_ST_NOT_FOUND;
  if (w.exists("SELECT 1 FROM view_vobs WHERE vob_tag = ?1", tag)) return TBS_ST_EXISTS;
  Stmt st(w.db, "DELETE FROM vobs WHERE tag = ?1");
  if (!st) return w.failed("cannot write the registry");
  st.text(1, tag);
  if (sqlite3_step(st.s) != SQLITE_DONE) return w.failed("cannot write the registry");
  return w.commit();
}
