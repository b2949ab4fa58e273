#include "view/view_bld.h"

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <string>

#include "dbrpc/dbrpc_sqlite.h"
#include "dbrpc/dbrpc_viewdb.h"
#include "ks/imsg.h"
#include "tbs/tbs_product.h"

namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS build_sessions(number INTEGER PRIMARY KEY AUTOINCREMENT,"
    " ref_sec INTEGER NOT NULL, ref_usec INTEGER NOT NULL, pid INTEGER NOT NULL)";

// What this process holds per view (by storage path): the session it started and the handle in
// force.
struct ViewState {
  uint32_t own_session = 0;
  view_bhandle_t bhandle = {0, 0};
};
std::map<std::string, ViewState> states;

sqlite3 *open_db(view_handle_t view) {
  const char *storage = view_get_path(view);
  if (storage == nullptr) return nullptr;
  sqlite3 *db = dbrpc_viewdb_handle(storage);
  if (db && sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    imsg_print(IMSG_ERROR, "Unable to record build sessions of view \"%s\": %s\n", -1,
               view_get_tag(view), sqlite3_errmsg(db));
    return nullptr;
  }
  return db;
}

}  // namespace

ks_status_t view_bld_session_flags(view_handle_t view, const struct timeval *ask_time, int,
                                   uint32_t *session) {
  sqlite3 *db = view ? open_db(view) : nullptr;
  if (db == nullptr) return KS_ST_ERR;
  struct timeval now;
  if (ask_time != nullptr && (ask_time->tv_sec != 0 || ask_time->tv_usec != 0)) now = *ask_time;
  else gettimeofday(&now, nullptr);
  sqlite3_stmt *s = nullptr;
  bool ok = sqlite3_prepare_v2(db,
                               "INSERT INTO build_sessions(ref_sec, ref_usec, pid) VALUES(?1, ?2, ?3)",
                               -1, &s, nullptr) == SQLITE_OK;
  if (ok) {
    sqlite3_bind_int64(s, 1, int64_t(now.tv_sec));
    sqlite3_bind_int64(s, 2, int64_t(now.tv_usec));
    sqlite3_bind_int64(s, 3, int64_t(getpid()));
    ok = sqlite3_step(s) == SQLITE_DONE;
  }
  sqlite3_finalize(s);
  if (!ok) {
    imsg_print(IMSG_ERROR, "Unable to record build sessions of view \"%s\": %s\n", -1,
               view_get_tag(view), sqlite3_errmsg(db));
    return KS_ST_ERR;
  }
  // The row lasts as long as the session: view_bld_session_free removes it.
  dbrpc_viewdb_note_passing_changes(view_get_path(view), 1);
  // Session numbers wrap within 32 bits, skipping 0 (no session).
  int64_t number = 0;
  if (sqlite3_prepare_v2(db, "SELECT last_insert_rowid()", -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW)
    number = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  uint32_t n = uint32_t(number % 0xFFFFFFFFll);
  *session = n == 0 ? 1 : n;
  states[view_get_path(view)].own_session = *session;
  return KS_ST_OK;
}

ks_status_t view_bld_session_free(view_handle_t view) {
  if (view == nullptr) return KS_ST_ERR;
  ViewState &st = states[view_get_path(view)];
  if (st.own_session == 0) return KS_ST_OK;
  sqlite3 *db = open_db(view);
  if (db == nullptr) return KS_ST_ERR;
  sqlite3_stmt *s = nullptr;
  bool ok = sqlite3_prepare_v2(db, "DELETE FROM build_sessions WHERE number = ?1", -1, &s,
                               nullptr) == SQLITE_OK;
  if (ok) {
    sqlite3_bind_int64(s, 1, int64_t(st.own_session));
    ok = sqlite3_step(s) == SQLITE_DONE;
    if (ok) dbrpc_viewdb_note_passing_changes(view_get_path(view), sqlite3_changes64(db));
  }
  sqlite3_finalize(s);
  st.own_session = 0;
  return ok ? KS_ST_OK : KS_ST_ERR;
}

void view_set_bhandle(view_handle_t view, view_bhandle_t bhandle) {
  if (view != nullptr) states[view_get_path(view)].bhandle = bhandle;
}

ks_status_t view_bld_get_ref_time(view_handle_t view, struct timeval *ref_time) {
  if (view == nullptr) return KS_ST_ERR;
  gettimeofday(ref_time, nullptr);
  const uint32_t session = states[view_get_path(view)].bhandle.build_session;
  if (session == 0) return KS_ST_OK;
  sqlite3 *db = open_db(view);
  if (db == nullptr) return KS_ST_OK;
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT ref_sec, ref_usec FROM build_sessions WHERE number = ?1", -1,
                         &s, nullptr) == SQLITE_OK) {
    sqlite3_bind_int64(s, 1, int64_t(session));
    if (sqlite3_step(s) == SQLITE_ROW) {
      ref_time->tv_sec = time_t(sqlite3_column_int64(s, 0));
      ref_time->tv_usec = suseconds_t(sqlite3_column_int64(s, 1));
    }
  }
  sqlite3_finalize(s);
  return KS_ST_OK;
}

int vessary_view_root_open_no_inherit() {
  static int fd = -2;
  if (fd == -2) {
    const char *root = tbs_view_root();
    fd = root && *root ? open(root, O_PATH | O_DIRECTORY | O_CLOEXEC) : -1;
  }
  return fd;
}
