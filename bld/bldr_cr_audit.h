// The life of a build audit on the toolset's side: free audit-file names, starting, markers,
// stopping, checking the files outside VOBs on which a rebuild depends, and removing (or keeping)
// the audit files afterwards.
//
// Audit files are named "<audit tmpdir>/bldr.audit.<host>.<pid %05d>.<seq %03d>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "bld/bldr_utl.h"
#include "ks/ks_status.h"
#include "ks/list.h"

// Audit markers: the sections of an audit.
enum {
  BLDR_CR_MARKER_INITIAL_DIR = 0,      // "Initial Directory"
  BLDR_CR_MARKER_PREDEFINED_DEPS = 1,  // "Predefined Dependencies"
  BLDR_CR_MARKER_BUILD_SCRIPT = 2,     // "Build Script"
  BLDR_CR_MARKER_MAKEFILES = 3,        // "Makefiles"
  BLDR_CR_MARKER_JAVAC_SCRIPT = 4,     // ".JAVAC Script Marker"
  BLDR_CR_MARKER_CHILD_AVOIDANCE = 5,  // "Child Audit Full Build-Avoidance"
  BLDR_CR_MARKER_CHILD_SALUTE = 6,     // "Child Audit Salute"
};

// A predefined dependency of a rebuild: its second word is the dependency's pathname.
struct bldr_cr_predef_dep_t {
  const char *name;
  const char *pathname;
};

// The rebuild descriptor: what a rebuild is, for the audit and the record writer.
struct ip_rbld_desc {
  time_t build_start;
  const char *initial_dir;
  const char *initial_dir_canonical;
  int64_t ref_time[2];
  const char *target_name;
  uint32_t script_count;
  char **scripts;
  uint32_t predef_dep_count;
  bldr_cr_predef_dep_t **predef_deps;
  uint32_t fs_dep_count;
  bldr_cr_fs_dep_t **fs_deps;
  list_handle_t makefile_patterns;  // targets whose makefiles count as dependencies
  list_handle_t makefiles;          // texts: the makefiles of the make run
  uint32_t makefiles_affect_reuse;
  uint32_t var_def_count;
  char **var_defs;
};

// Fills path_buf with a free audit-file pathname and returns its parts: *dir (the audit
// temporary directory), *seq (0..999), *host and the process number in pid_buf. 0; KS_ST_ERR
// after a message when the directory is unusable, the name does not fit, or all 1000 names are
// taken. Null results or buffers of size <= 1 are fatal assertions.
ks_status_t bldr_cr_get_unique_audit_pn(const char **dir, uint32_t *seq, const char **host,
                                        size_t pid_size, char *pid_buf, size_t path_size,
                                        char *path_buf);

// Creates the audit file (never through an existing name or symbolic link) and starts the audit
// into it. 0 or KS_ST_ERR after a message.
ks_status_t bldr_cr_start_audit(const char *pathname);

// Chooses the pathname, starts the audit, places marker 0 and examines the initial directory.
// The first failing step's status (KS_ST_ERR for a failing examination, after a message).
ks_status_t bldr_cr_init_audit(char *path_buf, size_t path_size, const char *initial_dir,
                               uint32_t *seq, const char **dir, const char **host, char *pid_buf,
                               size_t pid_size);

// As bldr_cr_init_audit, for the audits of a process's build scripts one after another: the
// audit file of this process's last such audit is emptied and taken again when it is still the
// file the process made (else a new one is made and kept); it is removed when the process exits.
// End the audit's files with bldr_cr_end_kept_audit_files.
ks_status_t bldr_cr_init_kept_audit(char *path_buf, size_t path_size, const char *initial_dir,
                                    uint32_t *seq, const char **dir, const char **host,
                                    char *pid_buf, size_t pid_size);

// Ends the files of an audit begun with bldr_cr_init_kept_audit: the kept audit file is emptied
// for the next audit, unless audit files are left for a person to read (then, and for any other
// file, as bldr_cr_cleanup_audit_files). 0. A null pathname is a fatal assertion.
ks_status_t bldr_cr_end_kept_audit_files(const char *pathname, uint32_t seq, const char *dir,
                                         const char *host, const char *pid);

// Places marker (0..6) in the running audit; the platform's status (printed when not 0).
ks_status_t bldr_cr_mark_audit(uint32_t marker);
// Places marker 4 / marker 5; the status of bldr_cr_mark_audit.
ks_status_t bldr_cr_insert_java_audit_marker();
ks_status_t bldr_cr_emit_child_build_avoidance_marker_for_parent();

// Stops the running audit; the platform's status (printed when not 0).
ks_status_t bldr_cr_stop_audit();
// As bldr_cr_stop_audit, for an audit begun with bldr_cr_init_kept_audit into pathname: when
// pathname is the kept audit file, its raw event file is left emptied for the next such audit.
ks_status_t bldr_cr_stop_kept_audit(const char *pathname);

// Starts the audit of the rebuild desc in this process: initial directory, non-VOB dependencies
// (trusted), predefined dependencies, makefiles when they count, then the build-script section.
// *path_out receives a 1024-byte heap buffer with the audit-file pathname (free it with
// bldr_cr_cleanup_audit); it is null on failure, and a failure after the audit started stops the
// audit and removes its file. 0 or the failing status.
ks_status_t bldr_cr_start_script_audit(const ip_rbld_desc *desc, char **path_out);

// Checks the non-VOB dependencies and sets each one's audit-time modification time; with trust
// non-zero the recorded times are taken unexamined. 0, or KS_ST_ERR after a message (or the
// checksum's status) when a dependency differs from what was recorded.
ks_status_t bldr_cr_check_fs_deps(uint32_t count, bldr_cr_fs_dep_t *const *deps, int trust);

// Removes the audit file at pathname and the earlier audit files (lower sequence numbers) of the
// same directory, host and process that no running audit of this process uses, or keeps them
// all (make verbosity 3, the "bldr_save_audit_files" trace, or the save-audit-files flag). 0.
// Null arguments are fatal assertions.
ks_status_t bldr_cr_cleanup_audit_files(const char *pathname, uint32_t seq, const char *dir,
                                        const char *host, const char *pid);

// Removes (or keeps) the one audit file of a buffer from bldr_cr_start_script_audit and frees
// the buffer; a null buffer is ignored.
void bldr_cr_cleanup_audit(char *pathname);
