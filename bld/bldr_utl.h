// Builder utilities: the process's view and its working directory, target pathnames, the umasks
// of derived objects and temporary files, the audit temporary directory, pathname joins, object
// information with per-run caches, the checksum of a file outside the VOBs, the wait for locked
// VOBs, the lookup policy for symbolic links and directories, the removal of a failed target,
// and (bldr_utl2) the environment, prefixes and shell of build-script lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "ks/evutl.h"
#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"
#include "tbs/tbs_oid.h"
#include "view/view_info.h"
#include "view/view_xstat.h"
#include "vob/vob_ob.h"

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

// --- The view.

// Settles the process's view from the working directory (cr_utl_require_set_view_if_cdview): a
// working directory in a view sets that view; elsewhere the process keeps its set view or runs
// without one. 0, or the failure status after its message.
ks_status_t bldr_utl_check_view();

// Never true: automatic views are not recognised. path must not be null (assertion).
bool bldr_utl_path_in_automatic_view(const char *path);

// Finds the process's view: its tag into tag (tag_size bytes) and a handle on it into *view.
// 0; KS_ST_NOT_FOUND when the process has no usable view (none set, none holding the working
// directory); KS_ST_ERR after a message when the set view and the working directory's view
// differ or the view cannot be reached.
ks_status_t bldr_utl_view_init(size_t tag_size, char *tag, view_handle_t *view);

// 1 with *vob the VOB holding path; 0 when path lies in no VOB (*failed 0) or the question failed
// (*failed 1, *status the failure).
int bldr_utl_path_is_in_vessary(const char *path, vob_handle_t *vob, int *failed,
                                ks_status_t *status);

// --- The working directory.

// The cache of the working directory's place in the versioned file system.
void bldr_utl_inval_cwd_cache();
// Caches path with its VOB (null outside every VOB). 0, or the status of a failed question.
ks_status_t bldr_utl_set_cwd_cache(const char *path, vob_handle_t vob);
// The cached directory, the part of it below the nearest directory its VOB resolves (null when
// the whole path resolves or it lies outside every VOB), its VOB and the directory's element
// database id; each out may be null. 0, or KS_ST_NOT_FOUND when the cache is empty.
ks_status_t bldr_utl_get_cwd_cache(const char **path, const char **remainder, vob_handle_t *vob,
                                   uint32_t *elem_dbid);
// Reads the working directory into the cache. 0, or KS_ST_ERR after a message.
ks_status_t bldr_utl_load_cwd_cache();
// Changes the working directory to dir. 0, or KS_ST_ERR (no message) when chdir fails; after a
// change to another directory than the cached one the cache is emptied.
ks_status_t bldr_utl_chdir(const char *dir);

// Fills the working-directory globals (1024-byte buffers allocated in area when missing): the
// absolute directory, its canonical form, its view-relative form, the replica UUID of its VOB
// (null outside every VOB) and its pathname below the VOB root ("." at the root, empty outside
// every VOB). 0, or KS_ST_ERR after a message.
ks_status_t bldr_utl_cwd_init(stg_area_t area, char **curr_wd, char **where_wd, char **viewrel_wd,
                              tbs_uuid_t **replica_uuid, char **vob_rel_pname);

// The absolute form of pathname in buf (size bytes): a pathname beginning with "/" is copied,
// any other is made absolute against the current directory. 0; KS_ST_NAME_TOO_LONG when it does
// not fit; KS_ST_ERR when the current directory is unknown. pathname and buf must not be null and
// size must be above 1 (assertions).
ks_status_t bldr_utl_cwd_accessible_abs_pn(const char *pathname, size_t size, char *buf);

// --- Umasks. Each is "none" until set.

// Reads the temporary-file umask (ORVA_TEMPFILE_UMASK, else ZELVANE_TEMPFILE_UMASK) and the build
// umask (ORVA_BLD_UMASK, else ZELVANE_BLD_UMASK) from env (the process environment for null),
// each 1 to 4 octal digits (anything else is warned about and ignored). A build umask is applied
// at once and the umask it replaces kept as the user's; with only a temporary-file umask the
// user's umask is kept and also serves for derived objects.
void bldr_utl_initialize_and_set_do_umask(const evutl_env_t *env);
// The same from the process environment through the recorded environment (quilmar).
void bldr_utl_initialize_quilmar_umask();
// Apply the kept umask: 1, or 0 (nothing changed) when it is none.
int bldr_utl_set_old_user_umask();
int bldr_utl_set_do_umask();
int bldr_utl_set_tempfile_umask();

// --- The audit temporary directory.

// ORVA_AUDIT_TMPDIR, else ZELVANE_BLD_AUDIT_TMPDIR, else TMPDIR (each only when not empty), else
// "/tmp", one trailing "/" removed; settled for the process once it passed the checks asked for.
// With check_exists, a missing directory prints an error and gives null; with check_not_in_view,
// a directory inside a view prints an error naming the variable that gave it and gives null.
// view_arg is not used.
const char *bldr_utl_get_audit_tmpdir(int check_exists, int check_not_in_view, void *view_arg);
// Forgets the settled directory (tests change the environment between calls).
void bldr_utl_reset_audit_tmpdir();

// True exactly when name is "|", the GNU order-only marker. name must not be null (assertion).
bool bldr_utl_tgt_is_gnu_order_only_specifier(const char *name);

// --- Pathnames and streams.

// *out = first "/" second in area (second alone when first is null or empty). 0, or KS_ST_ERR
// when memory runs out. out and second must not be null (assertions).
ks_status_t bldr_utl_concat_2paths(char **out, stg_area_t area, const char *first,
                                   const char *second);
// *out = [first "/"] second "/" third. As above.
ks_status_t bldr_utl_concat_3paths(char **out, stg_area_t area, const char *first,
                                   const char *second, const char *third);

// The next text of stream, ended by a NUL byte or the end of the stream, copied into area (the
// heap for STG_AREA_HEAP); null when storage runs out.
char *bldr_utl_read_text(FILE *stream, size_t initial_size, stg_area_t area);
// A count text and that many texts: *count and *array (in area; null for a count of 0). 0, or
// KS_ST_ERR after a message when the count is unreadable or a text is missing.
ks_status_t bldr_utl_read_str_array(FILE *stream, stg_area_t area, size_t initial_size,
                                    size_t *count, char ***array);
// A count text and that many rows of columns texts each. As above.
ks_status_t bldr_utl_read_str_arr_array(FILE *stream, stg_area_t area, size_t initial_size,
                                        size_t columns, size_t *rows, char ****array);

// --- Object information.

// What the caller keeps of an object for its checksum.
struct bldr_utl_obj_desc_t {
  uint8_t kind;       // the object's meta-type (low byte); 2: the checksum is known
  uint8_t reserved;
  uint64_t size;
  uint64_t mtime;     // with kind 2, its low 32 bits are the checksum
  uint32_t spare;
};

// The view's information of pathname (cached in the stat cache when stat is not null): the
// extended stat, the object and version identifiers, the object kind, whether it lies in a VOB
// and the description. Each out may be null. 0; KS_ST_NOT_FOUND when the object does not exist;
// KS_ST_NOT_IN_VOB when it has no view information (the outs are still filled); or the view's
// status.
ks_status_t bldr_utl_obj_cache_info(const char *pathname, void *stat, int follow,
                                    view_xstat_t *xstat, tbs_oid_t *obj_oid, tbs_oid_t *ver_oid,
                                    uint32_t *kind, int *in_vob, bldr_utl_obj_desc_t *desc);
// The same, always asking the view.
ks_status_t bldr_utl_obj_view_info(const char *pathname, int follow, view_xstat_t *xstat,
                                   tbs_oid_t *obj_oid, tbs_oid_t *ver_oid, uint32_t *kind,
                                   int *in_vob);

// The 36-byte file handle of an object as the view gives it.
struct bldr_utl_fhandle_t {
  uint64_t words[4];
  uint32_t last;
};
// The file handle of pathname (following links or not), remembered per pathname and link mode
// until bldr_utl_flush_fh_cache. 0, or the view's status (warned about unless quiet).
ks_status_t bldr_utl_get_fhandle(const char *pathname, int quiet, int follow,
                                 bldr_utl_fhandle_t *out);
void bldr_utl_flush_fh_cache();

// The checksum of a non-VOB dependency into *crc: for kind 2 the low 32 bits of its recorded
// modification time, else the CRC-32 of the named file (0 given as 0xFFFFFFFF). 0, or KS_ST_ERR
// after printing why the file cannot be read.
ks_status_t bldr_utl_get_crc(const bldr_cr_fs_dep_t *dep, uint32_t *crc);

// Waits while a VOB that pathname (or ORVA_BLD_VOBS) names is locked; nothing when ORVA_BLD_NOWAIT
// is set. No VOB is ever locked here.
void bldr_utl_wait4_unlocked_vobs(const char *pathname);

// The per-run caches in front of VOB queries: VOB object to pathname, version OID to element
// database id. Init: 0, or KS_ST_ERR after a message. Finalize: always 0.
ks_status_t bldr_utl_init_cached_vob_obj_to_pname(stg_area_t area);
ks_status_t bldr_utl_cached_vob_obj_to_pname(vob_handle_t vob, uint32_t dbid, const char *vob_tag,
                                             int a1, int a2, int a3, size_t size, char *buf);
ks_status_t bldr_utl_finalize_cached_vob_obj_to_pname();
ks_status_t bldr_utl_init_cached_ver_oid_to_elem_dbid(stg_area_t area);
ks_status_t bldr_utl_cached_ver_oid_to_elem_dbid(vob_handle_t vob, const tbs_oid_t *ver_oid,
                                                 uint32_t *elem_dbid);
ks_status_t bldr_utl_finalize_cached_ver_oid_to_elem_dbid();

// --- Lookup policy and clean-up.

// 1 to follow symbolic links when asking for pathname's modification time: 0 only when pathname
// matches the list (.NO_CONFIG_MATCH_SLINKS) and is a symbolic link.
int bldr_utl_lookup_should_chase_tgt_if_slink(const char *pathname, list_handle_t patterns);
// 1 when pathname matches the list (.DIRECTORY_IGNORED_FOR_REUSE) and is a directory.
int bldr_utl_lookup_should_ignore_tgt_if_dir(const char *pathname, list_handle_t patterns);
// Always 0; *flag is 1 for a view-private object (kind 19) whose second kind is not 2.
int bldr_utl_is_private_to_view(uint32_t kind, uint32_t second_kind, int *flag);
// Removes the target pathname after a failed or interrupted build unless it is precious or
// phony (a precious one is reported as preserved). A name without a table entry is left alone.
// 0, or the failing unlink's result after a warning.
int bldr_utl_cleanup_if_nonprecious(const char *pathname);

// --- Environment, prefixes and shell of build-script lines (bldr_utl2).

// The environment block of a build script: a copy of the default environment (selector), each
// imposed "NAME=value" entry set over it, and each added entry set only when the block has no
// variable of its name. *out the block (the caller frees it with evutl_free). 0, or KS_ST_ERR
// after a message (an added entry without "=").
ks_status_t bldr_utl_construct_env(size_t n_imposed, char *const *imposed, size_t n_added,
                                   char *const *added, int selector, evutl_env_t **out);

// Reads the command prefixes of a script line: '-' (ignore errors), '@' (silent), '+' (in
// plus-prefix mode; else it stays part of the command), blanks and TABs. Sets each out flag that
// is not null; *needs_shell tells whether the command holds a shell metacharacter or begins with
// ':'. Returns the command after the prefixes (the line itself, no flag touched, for a null or
// empty line).
const char *bldr_utl_line_to_exec(const char *line, int plus_mode, int *ignore, int *silent,
                                  int *plus, int *needs_shell);

// The build shell: MAKESHELL in the kelto dialect, else the expansion of "$(SHELL)", else the
// user's login shell (then *is_default, when not null, is 1). Needs a make run (assertion).
const char *bldr_utl_shell_pname(int *is_default);
// Forgets the computed build shell (each make run computes its own).
void bldr_utl_forget_shell_pname();

// Splits shell at its first " -" into the pathname and the flags (from the "-" on), each cut to
// its buffer: true. Without " -" the buffers are untouched: false.
bool bldr_utl_remove_shell_flags(const char *shell, char *pathname, size_t pathname_size,
                                 char *flags, size_t flags_size);

// --- Checked-out elements.

// Whether the audited object at pathname stands for a checked-out element: *elem_oid receives
// the element's OID when it does, and is left alone otherwise. view is not used. 0, or the view's
// status when the object cannot be examined (other than being absent).
ks_status_t bldr_utl_check_for_checkout(const char *pathname, view_handle_t view, tbs_oid_t *elem_oid);
