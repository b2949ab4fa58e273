// A view's own database ("<view storage>/view.db", SQLite): the identities of its view-private
// objects, and the tables that other platform services keep per view.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "ks/ks_status.h"
#include "tbs/tbs_oid.h"

struct sqlite3;

// Creates the storage directory and an empty view.db in it; KS_ST_OK or KS_ST_ERR (printed).
ks_status_t dbrpc_viewdb_create(const std::string &storage);

// The process's connection to the view.db of storage, opened on first use and kept; null after
// printing the error when it cannot be opened. For the platform's per-view tables. The
// identities of an open batch are committed first, so the connection has no transaction open.
sqlite3 *dbrpc_viewdb_handle(const std::string &storage);

// Closes every kept connection (for tests that remove sites, and at exit); the identities of an
// open batch are committed first.
void dbrpc_viewdb_close_all();

// Notes that n more of the rows this process changed through the view.db of storage are passing
// bookkeeping, undone before the process ends (a build session's own row). A process whose only
// changes were such rows leaves a short write-ahead log as it is when it closes the database,
// for the next process to carry on, instead of copying it into the database and syncing both.
void dbrpc_viewdb_note_passing_changes(const std::string &storage, int64_t n);

// The OID of the view-private object at the view-relative pathname vrel, whose status is st.
//
// An object keeps its OID while it stays the same object with the same data: the OID is tied to
// the device, inode, size and modification time last seen (for a directory: device and inode
// only, since its entries are objects of their own). Anything else gets a new OID, recorded for
// the processes that ask later. KS_ST_OK, or KS_ST_ERR after printing the error.
ks_status_t dbrpc_viewdb_private_oid(const std::string &storage, const std::string &vrel,
                                     const struct stat &st, tbs_oid_t *oid);

// The OID that view.db records for the view-private object at vrel with status st, without
// assigning one: KS_ST_OK; KS_ST_NOT_FOUND when none is recorded for that status; KS_ST_ERR after
// printing the error.
ks_status_t dbrpc_viewdb_find_private_oid(const std::string &storage, const std::string &vrel,
                                          const struct stat &st, tbs_oid_t *oid);

// Opens a batch of identity assignments in this process: until the matching
// dbrpc_viewdb_batch_end, the new OIDs that dbrpc_viewdb_private_oid records in a view join one
// write transaction of that view's database, taken at the first new OID, instead of one
// transaction each. The transaction commits at the outermost end, or earlier when it is used
// after being open for 200 ms, so that other processes asking for a new OID in that view
// meanwhile wait briefly, then find the OIDs it recorded. Batches nest.
void dbrpc_viewdb_batch_begin();

// Ends a batch. The outermost end commits the assignments of every view. KS_ST_OK, or KS_ST_ERR
// after printing the error when any assignment of the batch may not have been recorded (the OIDs
// it handed out must then be forgotten by the caller).
ks_status_t dbrpc_viewdb_batch_end();

// --- Derived objects present in the view.

// A name of the view that holds a derived object.
struct dbrpc_viewdb_do_t {
  std::string vrel;
  tbs_oid_t do_oid{};
  uint32_t mtype = 0;
};

// Records that the name vrel holds the derived object do_oid, of meta-type mtype, whose file has
// the status st. The name is that derived object only while the view's OID of the object there is
// do_oid. KS_ST_OK, or KS_ST_ERR after printing the error.
ks_status_t dbrpc_viewdb_note_do(const std::string &storage, const std::string &vrel,
                                 const tbs_oid_t &do_oid, uint32_t mtype, const struct stat &st);

// The derived object recorded for vrel, and the device and inode of its file (each out may be
// null); KS_ST_NOT_FOUND when none, KS_ST_ERR after printing the error.
ks_status_t dbrpc_viewdb_find_do(const std::string &storage, const std::string &vrel,
                                 tbs_oid_t *do_oid, uint32_t *mtype, uint64_t *dev = nullptr,
                                 uint64_t *ino = nullptr);

// dbrpc_viewdb_find_do for telling what the object at vrel is: the answer may come from the
// records of vrel's directory read ahead earlier in this process (this process's own records
// are always seen), so what another process recorded there since may be missed: a new derived
// object there then looks like the view's own object, as its OID is not the one read ahead.
// Not for deciding whether a file's data is shared.
ks_status_t dbrpc_viewdb_identify_do(const std::string &storage, const std::string &vrel,
                                     tbs_oid_t *do_oid, uint32_t *mtype);

// Every name with a derived object recorded, by name. KS_ST_OK, or KS_ST_ERR after printing.
ks_status_t dbrpc_viewdb_list_dos(const std::string &storage, std::vector<dbrpc_viewdb_do_t> *out);

// The OID view.db recorded last for the view-private object at vrel, whatever its status was;
// KS_ST_NOT_FOUND when none, KS_ST_ERR after printing the error.
ks_status_t dbrpc_viewdb_last_private_oid(const std::string &storage, const std::string &vrel,
                                          tbs_oid_t *oid);

// Forgets the derived object recorded for vrel. KS_ST_OK, or KS_ST_ERR after printing the error.
ks_status_t dbrpc_viewdb_forget_do(const std::string &storage, const std::string &vrel);

// Records that the name vrel, whose file has the status st, holds the derived object do_oid of
// meta-type mtype put there by winkin: the object there has do_oid as its OID, as everywhere the
// derived object appears. One transaction, or a part of the open batch's (see
// dbrpc_viewdb_batch_begin). KS_ST_OK, or KS_ST_ERR after printing the error.
ks_status_t dbrpc_viewdb_note_winkin(const std::string &storage, const std::string &vrel,
                                     const tbs_oid_t &do_oid, uint32_t mtype, const struct stat &st);
