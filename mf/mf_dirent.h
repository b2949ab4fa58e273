// The directory cache of the process: the entry names of each directory that rule search asks
// about, read once and trusted until the directory changes or the build engine says that the
// file system may have changed; the build engine also claims the files it creates or deletes,
// so the names stay right without reading the directory again.
#pragma once

#include <cstdint>

#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/stg.h"

// Message table of the module "mf/mf_dirent".
extern const imsg_msg_table_t _mf_dirent_karsel_msg_table;
enum {
  MF_DIRENT_MSG_UNKNOWN_UPDATE = 0,  // "Unknown dir-ent update request (%d)\n"
};

// Kinds of mf_dirent_update.
enum {
  MF_DIRENT_INVALIDATE = 0,   // the file system may have changed anywhere
  MF_DIRENT_FILE_CREATED = 1,
  MF_DIRENT_FILE_DELETED = 2,
  MF_DIRENT_DIR_DELETED = 3,
};

// Starts the cache (generation 1, no directories); area is where its records live
// (STG_AREA_HEAP: the heap). A running cache is ended first. 0, or KS_ST_ERR after the
// hash-creation message.
ks_status_t mf_dirent_init(stg_area_t area);

// Ends the cache, freeing what it holds; the generation goes back to 1.
void mf_dirent_term();

// Whether pathname exists, from the cached names of its directory (a relative name against the
// working directory; the directory is read when it is new, changed, or lies outside the
// versioned file system after the generation moved). KS_ST_OK, KS_ST_NOT_FOUND, or KS_ST_ERR
// (traced only) when the name does not fit or its directory cannot be resolved or read.
// Without a running cache every test reads the directory.
ks_status_t mf_dirent_exists(const char *pathname);

// mf_dirent_exists for a pathname already split: leaf in the directory whose resolved absolute
// pathname is resolved_dir (pathname, which the traces name, is the whole one). Same results.
ks_status_t mf_dirent_exists_in(const char *resolved_dir, const char *leaf, const char *pathname);

// Tells the cache of a change: kind MF_DIRENT_INVALIDATE (pathname unused) makes every
// directory checked again at its next use; MF_DIRENT_FILE_CREATED and MF_DIRENT_FILE_DELETED
// claim that the file pathname was created or deleted; MF_DIRENT_DIR_DELETED that the directory
// pathname was deleted. Claims about directories the cache never read change nothing. 0;
// KS_ST_ERR when the claim fails, and after an internal error for an unknown kind.
ks_status_t mf_dirent_update(int kind, const char *pathname);

// Moves the generation forward (from the largest value to 1, never 0).
void mf_dirent_bump_generation();

// The current generation (for tests and traces).
uint32_t mf_dirent_generation();

// Claims that the file pathname was created (created non-zero) or deleted. KS_ST_OK, or
// KS_ST_ERR when the claim cannot be recorded.
ks_status_t mf_dirent_claim_file_create_or_delete(const char *pathname, int created);

// Claims that the directory pathname was deleted: its name is deleted in its parent and its own
// names are forgotten. KS_ST_OK or KS_ST_ERR.
ks_status_t mf_dirent_claim_dir_delete(const char *pathname);
