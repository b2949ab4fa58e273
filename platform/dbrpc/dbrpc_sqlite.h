// The database library, loaded on first use instead of at program start, so programs that never
// open a registry, view or VOB database do not pay for loading it and what it pulls in.
//
// Include this header instead of <sqlite3.h>: it keeps the library's types and declarations and
// turns each call of a library function named below into a call through a pointer resolved once
// per call site. A missing library ends the program with an error.
#pragma once

#include <sqlite3.h>

#include "ks/ks_dl.h"

extern ks_dl_library_t dbrpc_sqlite_library;

#define DBRPC_SQLITE_CALL(name) KS_DL_CALL(dbrpc_sqlite_library, name)

#define sqlite3_bind_blob DBRPC_SQLITE_CALL(sqlite3_bind_blob)
#define sqlite3_bind_blob64 DBRPC_SQLITE_CALL(sqlite3_bind_blob64)
#define sqlite3_bind_int64 DBRPC_SQLITE_CALL(sqlite3_bind_int64)
#define sqlite3_changes64 DBRPC_SQLITE_CALL(sqlite3_changes64)
#define sqlite3_bind_text DBRPC_SQLITE_CALL(sqlite3_bind_text)
#define sqlite3_busy_timeout DBRPC_SQLITE_CALL(sqlite3_busy_timeout)
#define sqlite3_clear_bindings DBRPC_SQLITE_CALL(sqlite3_clear_bindings)
#define sqlite3_close DBRPC_SQLITE_CALL(sqlite3_close)
#define sqlite3_column_blob DBRPC_SQLITE_CALL(sqlite3_column_blob)
#define sqlite3_column_bytes DBRPC_SQLITE_CALL(sqlite3_column_bytes)
#define sqlite3_column_int DBRPC_SQLITE_CALL(sqlite3_column_int)
#define sqlite3_column_int64 DBRPC_SQLITE_CALL(sqlite3_column_int64)
#define sqlite3_column_text DBRPC_SQLITE_CALL(sqlite3_column_text)
#define sqlite3_config DBRPC_SQLITE_CALL(sqlite3_config)
#define sqlite3_db_config DBRPC_SQLITE_CALL(sqlite3_db_config)
#define sqlite3_errmsg DBRPC_SQLITE_CALL(sqlite3_errmsg)
#define sqlite3_exec DBRPC_SQLITE_CALL(sqlite3_exec)
#define sqlite3_file_control DBRPC_SQLITE_CALL(sqlite3_file_control)
#define sqlite3_finalize DBRPC_SQLITE_CALL(sqlite3_finalize)
#define sqlite3_get_autocommit DBRPC_SQLITE_CALL(sqlite3_get_autocommit)
#define sqlite3_last_insert_rowid DBRPC_SQLITE_CALL(sqlite3_last_insert_rowid)
#define sqlite3_open_v2 DBRPC_SQLITE_CALL(sqlite3_open_v2)
#define sqlite3_prepare_v2 DBRPC_SQLITE_CALL(sqlite3_prepare_v2)
#define sqlite3_prepare_v3 DBRPC_SQLITE_CALL(sqlite3_prepare_v3)
#define sqlite3_reset DBRPC_SQLITE_CALL(sqlite3_reset)
#define sqlite3_step DBRPC_SQLITE_CALL(sqlite3_step)
#define sqlite3_total_changes64 DBRPC_SQLITE_CALL(sqlite3_total_changes64)
#define sqlite3_wal_checkpoint_v2 DBRPC_SQLITE_CALL(sqlite3_wal_checkpoint_v2)
