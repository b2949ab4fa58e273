// A view's own database ("<view storage>/view.db", SQLite): the identities of its view-private
// objects, and the tables that other platform services keep per view.
#pragma once

#include <sys/stat.h>

#include <string>

#include "ks/ks_status.h"
#include "tbs/tbs_oid.h"

struct sqlite3;

// Creates the storage directory and an empty view.db in it; KS_ST_OK or KS_ST_ERR (printed).
ks_status_t dbrpc_viewdb_create(const std::string &storage);

// The process's connection to the view.db of storage, opened on first use and kept; null after
// printing the error when it cannot be opened. For the platform's per-view tables.
sqlite3 *dbrpc_viewdb_handle(const std::string &storage);

// Closes every kept connection (for tests that remove sites, and at exit).
void dbrpc_viewdb_close_all();

// The OID of the view-private object at the view-relative pathname vrel, whose status is st.
//
// An object keeps its OID while it stays the same object with the same data: the OID is tied to
// the device, inode, size and modification time last seen (for a directory: device and inode
// only, since its entries are objects of their own). Anything else gets a new OID, recorded for
// the processes that ask later. KS_ST_OK, or KS_ST_ERR after printing the error.
ks_status_t dbrpc_viewdb_private_oid(const std::string &storage, const std::string &vrel,
                                     const struct stat &st, tbs_oid_t *oid);
