#include "dbrpc/dbrpc_db.h"

#include "ks/imsg.h"

#include <cstring>

namespace {

// The mark of a schema's text (FNV-1a, positive, never 0), stored as the database's user version
// once the switch to WAL and the schema have been run on it.
int32_t schema_mark(const char *schema) {
  uint32_t h = 2166136261u;
  for (const char *p = schema; *p; p++) h = (h ^ uint8_t(*p)) * 16777619u;
  return int32_t(h & 0x7fffffff) | 1;
}

// Switches db to WAL and runs schema unless its stored mark says both were done: both last in
// the file, and running them costs more than the rest of the open. Any other mark (an older
// database's 0, another program's schema) runs them again; the schema creates only what is
// missing, so a database opened by programs of different schemas keeps every table. The mark is
// written in the schema's transaction, so an open cut short runs them again next time. The error
// text when it failed, else empty.
std::string run_schema(sqlite3 *db, const char *schema) {
  const int32_t mark = schema_mark(schema);
  if (dbrpc_db_pragma_int(db, "PRAGMA user_version") == mark) return std::string();
  const std::string sql = std::string("BEGIN IMMEDIATE;") + schema +
                          ";PRAGMA user_version=" + std::to_string(mark) + ";COMMIT";
  if (sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK)
    return sqlite3_errmsg(db);
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    std::string why = sqlite3_errmsg(db);
    if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return why;
  }
  return std::string();
}

}  // namespace

int64_t dbrpc_db_pragma_int(sqlite3 *db, const char *pragma) {
  sqlite3_stmt *s = nullptr;
  int64_t value = -1;
  if (sqlite3_prepare_v2(db, pragma, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
    value = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  return value;
}

sqlite3 *dbrpc_db_open(const char *module, const char *what, const std::string &path, bool create,
                       const char *schema) {
  sqlite3 *db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  const char *why = nullptr;
  std::string schema_failure;
  // The page cache takes its pages one by one as they are read: by default it sets out room for
  // 20 pages per connection at its first read, touching memory most runs never use. (Refused,
  // harmlessly, when the library was started before.)
  static const int pages_on_demand = sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
  (void)pages_on_demand;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    why = db ? sqlite3_errmsg(db) : "out of memory";
  } else {
    sqlite3_busy_timeout(db, 10000);
    if (schema != nullptr) {
      schema_failure = run_schema(db, schema);
      if (!schema_failure.empty()) why = schema_failure.c_str();
    }
  }
  if (why == nullptr) return db;
  imsg_print(IMSG_ERROR, "%s: %s \"%s\": %s\n", -1, module, what, path.c_str(), why);
  sqlite3_close(db);
  return nullptr;
}

void dbrpc_db_relax_sync(sqlite3 *db) {
  sqlite3_stmt *s = nullptr;
  bool wal = false;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW) {
    const unsigned char *mode = sqlite3_column_text(s, 0);
    wal = mode && strcmp(reinterpret_cast<const char *>(mode), "wal") == 0;
  }
  sqlite3_finalize(s);
  if (!wal) return;
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  // A checkpoint syncs the log and the database and copies every page the log holds, however
  // often the same pages were written since the last one; a build writes the same few pages at
  // each commit. Copied at most every 8192 pages (32 MB) while a process writes, and at its last
  // close, they cost a few syncs per run instead of one pair every few dozen records. The log
  // keeps its checksums: a power loss still loses only the newest commits.
  sqlite3_exec(db, "PRAGMA wal_autocheckpoint=8192", nullptr, nullptr, nullptr);
  dbrpc_db_keep_wal(db);
}

void dbrpc_db_keep_wal(sqlite3 *db) {
  // The write-ahead log and its index stay when the last connection closes, so that the next
  // process need not make them again; the log is emptied then (once copied into the database),
  // or the next process would read all of it again to rebuild the index. Any limit empties it at
  // that close; a limit above what a run writes between checkpoints keeps the log's space while
  // the process runs, instead of cutting the file and growing it again after every checkpoint.
  int keep = 1;
  sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
  sqlite3_exec(db, "PRAGMA journal_size_limit=67108864", nullptr, nullptr, nullptr);
}
