// SQLite connections of the platform's databases: opening with the common settings, and the
// connections a process keeps open per database.
#pragma once

#include "dbrpc/dbrpc_sqlite.h"

#include <map>
#include <mutex>
#include <string>

// Opens the database at path (creating it when create), with a busy timeout so that several
// processes can write in turn. When schema is not null the journal is switched to WAL and the
// schema is run, unless the database's user version holds the mark of this schema, which they
// leave there. Null after an error message naming module, what and path.
sqlite3 *dbrpc_db_open(const char *module, const char *what, const std::string &path, bool create,
                       const char *schema);

// The integer the pragma query (e.g. "PRAGMA data_version") answers on db; -1 when it cannot be
// read.
int64_t dbrpc_db_pragma_int(sqlite3 *db, const char *pragma);

// Keeps NORMAL durability on a connection in WAL mode: a commit is atomic and survives the end of
// any process at once, without waiting for the disk; only a power loss may forget the newest
// commits (those since the last checkpoint, which comes every 8192 pages of log and at the last
// close).
void dbrpc_db_relax_sync(sqlite3 *db);

// Keeps the write-ahead log and its index of a connection in WAL mode when the last connection
// closes (the log emptied), so that the next process neither makes nor removes files to open the
// database. Connections not in WAL mode are left as they are.
void dbrpc_db_keep_wal(sqlite3 *db);

// The connections a process keeps, by key, closed when the process ends. Callers hold `lock`
// around get and every use of a connection.
struct dbrpc_db_pool {
  std::mutex lock;
  std::map<std::string, sqlite3 *> connections;

  ~dbrpc_db_pool() { close_all(); }
  // The kept connection of key, or the one open() makes (kept when not null).
  template <class Open>
  sqlite3 *get(const std::string &key, Open &&open) {
    auto it = connections.find(key);
    if (it != connections.end()) return it->second;
    sqlite3 *db = open();
    if (db != nullptr) connections[key] = db;
    return db;
  }
  void close_all() {
    for (auto &c : connections) sqlite3_close(c.second);
    connections.clear();
  }
};
