// Builder utilities: pathnames, the audit temporary directory, the umasks of temporary files and
// derived objects, the checksum of a file outside the VOBs, and the wait for locked VOBs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ks/imsg.h"
#include "ks/ks_status.h"

// Message table of the module "bld/bldr_utl".
extern const imsg_msg_table_t _bldr_utl_karsel_msg_table;

// A file outside the VOBs on which a target depends.
struct bldr_cr_fs_dep_t {
  const char *name;      // the name as the makefile gives it
  const char *pathname;  // the file examined; null or empty: no file
  uint32_t flags;        // 0x100: non-critical
  uint8_t kind;          // 2: no checksum kept; the low 32 bits of mtime stand for it
  uint64_t length;       // recorded length in bytes
  uint32_t crc;          // recorded checksum (a computed 0 is kept as 0xFFFFFFFF)
  int64_t mtime;         // recorded modification time, seconds
  int64_t audit_mtime;   // modification time seen at audit time (0 without pathname)
};

// The audit temporary directory: ORVA_AUDIT_TMPDIR, else ZELVANE_BLD_AUDIT_TMPDIR, else TMPDIR,
// else "/tmp" (each only when non-empty), one trailing "/" removed; computed once. With
// check_exists, a missing directory prints an error and gives null; with check_not_in_view, a
// directory inside a view prints an error and gives null. view_arg is unused.
const char *bldr_utl_get_audit_tmpdir(int check_exists, int check_not_in_view, void *view_arg);

// Reads the temporary-file umask (ORVA_TEMPFILE_UMASK, else ZELVANE_TEMPFILE_UMASK, octal) and the
// build umask (ORVA_BLD_UMASK, else ZELVANE_BLD_UMASK, octal; applied when set, the user's umask
// kept either way).
void bldr_utl_initialize_quilmar_umask();
// Restores the kept user umask (nothing when none was kept).
void bldr_utl_set_old_user_umask();
// 1 after setting the process umask to the derived-object (build) umask; 0 when it is unset.
int bldr_utl_set_do_umask();
// 1 after setting the process umask to the temporary-file umask; 0 when it is unset.
int bldr_utl_set_tempfile_umask();

// The checksum of a non-VOB dependency into *crc: for kind 2 the low 32 bits of its recorded
// modification time, else the CRC-32 of the named file (0 given as 0xFFFFFFFF). 0, or KS_ST_ERR
// after printing why the file cannot be read.
ks_status_t bldr_utl_get_crc(const bldr_cr_fs_dep_t *dep, uint32_t *crc);

// Waits while a VOB that the directory needs is locked.
void bldr_utl_wait4_unlocked_vobs(const char *dir);

// Forgets the computed audit temporary directory (tests change the environment between calls).
void bldr_utl_reset_audit_tmpdir();

// The absolute form of pathname in buf (size bytes): a pathname beginning with "/" is copied,
// any other is made absolute against the current directory. 0; KS_ST_NAME_TOO_LONG when it does
// not fit; KS_ST_ERR when the current directory is unknown. pathname and buf must not be null and
// size must be above 1 (assertions).
ks_status_t bldr_utl_cwd_accessible_abs_pn(const char *pathname, size_t size, char *buf);

// Settles the process's view from the working directory (cr_utl_require_set_view_if_cdview): a
// working directory in a view sets that view; elsewhere the process keeps its set view or runs
// without one. 0, or the failure status after its message.
ks_status_t bldr_utl_check_view();

// Reads the working directory and caches it with its view-relative name (empty outside every
// view). 0, or KS_ST_ERR after a message.
ks_status_t bldr_utl_load_cwd_cache();

// The cached working directory: *path and *vob_dir (the view-relative name) point into the
// cache; *vob_handle is always null and *dir_id 0 (no VOB handles are kept). Each out may be
// null. 0, or KS_ST_NOT_FOUND when the cache is empty.
ks_status_t bldr_utl_get_cwd_cache(const char **path, const char **vob_dir, void **vob_handle,
                                   uint32_t *dir_id);

// Empties the working-directory cache.
void bldr_utl_inval_cwd_cache();

// Changes the working directory to dir. 0, or KS_ST_ERR when chdir fails (errno kept); after a
// change to another directory than the cached one the cache is emptied.
ks_status_t bldr_utl_chdir(const char *dir);

// Whether name is the GNU order-only marker, "|" (a name that only begins with '|' is an ordinary
// name).
bool bldr_utl_tgt_is_gnu_order_only_specifier(const char *name);
