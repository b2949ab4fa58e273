#include "dbrpc/dbrpc_db.h"

#include "ks/imsg.h"

sqlite3 *dbrpc_db_open(const char *module, const char *what, const std::string &path, bool create,
                       const char *schema) {
  sqlite3 *db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  const char *why = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    why = db ? sqlite3_errmsg(db) : "out of memory";
  } else {
    sqlite3_busy_timeout(db, 10000);
    if (schema != nullptr &&
        (sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK ||
         sqlite3_exec(db, schema, nullptr, nullptr, nullptr) != SQLITE_OK))
      why = sqlite3_errmsg(db);
  }
  if (why == nullptr) return db;
  imsg_print(IMSG_ERROR, "%s: %s \"%s\": %s\n", -1, module, what, path.c_str(), why);
  sqlite3_close(db);
  return nullptr;
}
