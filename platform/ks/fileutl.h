// File and pathname utilities: examination, pathname splitting, absolute pathnames, directory
// listing and target-name pattern lists.
#pragma once

#include <sys/stat.h>

#include <cstdio>

#include <cstddef>
#include <cstdint>
#include <string>

#include "ks/ks_status.h"
#include "ks/list.h"

// stat (follow non-zero) or lstat of path into *st: 0, or -1 with errno set.
int fileutl_stat(const char *path, int follow, struct stat *st);

// 1 when an object exists at path (following a final symbolic link when follow is non-zero),
// else 0.
int fileutl_exists(const char *path, int follow);

// Splits path at its last "/" into the directory part and the leaf. A name without "/" has an
// empty directory part; a name directly under the root has the directory "/". Redundant slashes
// between the two parts are dropped. 0, or KS_ST_NAME_TOO_LONG when a part does not fit its
// buffer (the buffers then hold empty strings).
ks_status_t fileutl_strip_leaf(const char *path, size_t dir_size, char *dir, size_t leaf_size,
                               char *leaf);

// Splits path at the last "." of its last component into the part before it and the suffix
// (".c"); a name without such a "." has an empty suffix. 0, or KS_ST_NAME_TOO_LONG when a part
// does not fit its buffer (the buffers then hold empty strings).
ks_status_t fileutl_strip_suffix(const char *path, size_t base_size, char *base,
                                 size_t suffix_size, char *suffix);

// The absolute form of path in buf: a path beginning with "/" is copied, any other is joined to
// the current directory, without "." components, repeated slashes or a trailing slash. 0,
// KS_ST_NAME_TOO_LONG when it does not fit, KS_ST_ERR when the current directory is unknown.
ks_status_t fileutl_abspn(const char *path, char *buf, size_t size);

// The names of every entry of directory dir except "." and "..", in the order the system gives
// them, as a heap array of *count heap strings (free it with fileutl_free_dir_names). 0, or the
// status of the failure (KS_ST_NOT_FOUND for a missing directory) with errno set.
ks_status_t fileutl_read_whole_dir(const char *dir, char ***names, size_t *count);

// Frees what fileutl_read_whole_dir returned.
void fileutl_free_dir_names(char **names, size_t count);

// Calls fn(name, ctx) for every entry of directory dir except "." and "..", in the order the
// system gives them, without copying the names; a false return from fn stops the walk. 0 when
// every entry was passed (or fn stopped it), else the status of the failure (KS_ST_NOT_FOUND for
// a missing directory) with errno set.
ks_status_t fileutl_walk_dir(const char *dir, bool (*fn)(const char *name, void *ctx), void *ctx);

// Target-name patterns. A pattern holding "%" matches every pathname that begins with the text
// before its first "%", ends with the text after it, and has a non-empty stem in between ("%"
// matches every target, "%.o" matches "sub/x.o"); a pattern without "%" matches only the equal
// pathname. A pattern list is a list of pattern strings.

// Non-zero when a pattern of the list matches pathname; *exact (when not null) is set non-zero
// when the list holds the pathname itself. A null list matches nothing.
int fileutl_patt_list_match(list_handle_t patterns, const char *pathname, int *exact = nullptr);

// The cell of the first pattern of the list that matches pathname, or null.
list_cursor_t fileutl_patt_list_matched_cell(list_handle_t patterns, const char *pathname);

// The working directory into buf (size bytes). 0; KS_ST_NAME_TOO_LONG when it does not fit;
// KS_ST_ERR when it cannot be read (errno set).
ks_status_t fileutl_getcwd(char *buf, size_t size);

// Changes the working directory to dir, keeping a held working directory current. 0, or
// KS_ST_ERR with errno set.
ks_status_t fileutl_chdir(const char *dir);

// Opens a hold on the working directory: until the matching fileutl_cwd_hold_end, it is read
// from the system once and answered from memory by fileutl_getcwd and fileutl_abspn (and so by
// every pathname resolution built on them). For a process whose own changes of directory all go
// through fileutl_chdir while the hold is open. Holds nest.
void fileutl_cwd_hold_begin();
void fileutl_cwd_hold_end();

// True when a file of size bytes does not fit the older file layout, whose sizes are signed
// 32-bit values (2 GB and over). flags: none are defined; pass 0.
bool fileutl_chk_large_file_overflow(uint64_t size, int flags);

// --- Files as whole objects.

// The CRC-32 of len bytes at data (the same value on every host).
uint32_t fileutl_crc_buffer(const void *data, size_t len);

// Writes the len bytes at buf to the open descriptor fd at offset, whole (a write cut short by
// a signal or cut into parts goes on). True, or false with errno set.
bool fileutl_write_at(int fd, const void *buf, size_t len, off_t offset);

// Reads the whole regular file at path (never through a final symbolic link) into *data, and its
// status into *st when st is given. False when it is missing, not a regular file or cannot be
// read.
bool fileutl_read_whole_file(const char *path, std::string *data, struct stat *st = nullptr);

// Writes data as the whole file at path, with the permissions mode (less the process's mask):
// under a temporary name beside it, made anew, then renamed into place, so that a reader sees the
// old file or the new one, never a part. False when it cannot be written (nothing is left behind
// then).
bool fileutl_write_whole_file(const char *path, const std::string &data, mode_t mode = 0644);

// Whether a file's status st is older than the clock tick that stamps file times (a few
// milliseconds; a second where the file system keeps no fractions): only then does any later
// change of the file show in its status, since a change in the same tick may leave it as it was.
bool fileutl_status_settled(const struct stat &st);

// Copies what remains of the open file in (from its offset to its end, or its next max bytes)
// to the open file out at its offset. 0, or KS_ST_ERR with errno set.
ks_status_t fileutl_copy_fd(int in, int out, uint64_t max = UINT64_MAX);

// Copies the file at from to a new file at to (which must not exist; it is never reached through
// a symbolic link), with from's permission bits. 0, or KS_ST_ERR with errno set (a partly
// written copy is removed).
ks_status_t fileutl_cp(const char *from, const char *to);

// Removes the file (or symbolic link) at path. 0, or KS_ST_ERR with errno set.
ks_status_t fileutl_rm(const char *path);

// Renames from to to, replacing what to names. 0, or KS_ST_ERR with errno set.
ks_status_t fileutl_rename(const char *from, const char *to);

// Creates a new empty file with a name of its own in directory dir, open for reading and writing
// in binary mode, readable and writable by the user only, not inherited by child processes. Its
// pathname goes into name_buf (name_size bytes). The stream, or null with errno set.
FILE *fileutl_tmpfile_ext_binary(const char *dir, size_t name_size, char *name_buf);

// The canonical ("where") form of the absolute directory path: every symbolic link, "." and ".."
// resolved. 0; KS_ST_NAME_TOO_LONG when it does not fit size bytes; KS_ST_ERR with errno set.
ks_status_t fileutl_where(const char *path, char *buf, size_t size);

// The position of the first "/" at or after from in path, or -1 when there is none.
long fileutl_find_pname_sep_left(const char *path, size_t from);

// Whether two pathnames are the same: equal after repeated slashes are taken as one and a
// trailing slash is dropped.
bool fileutl_pname_equal(const char *a, const char *b);

// The name of the absolute pathname path relative to the absolute directory dir, into buf (size
// bytes): the rest of path below dir, "." for dir itself, or as many ".." as needed to reach a
// directory that holds both ("../a.c"). 0, or KS_ST_NAME_TOO_LONG when it does not fit.
ks_status_t fileutl_make_rel_pn(char *buf, size_t size, const char *path, const char *dir);
