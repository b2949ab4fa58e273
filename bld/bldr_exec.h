// Build execution: between the target manager and the places where a build script runs. A
// serial build runs the script in this process through the script runner; a parallel one would
// be handed to an executor of the build service, which is not part of this release, so it runs
// in this process too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bld/bldr_cm.h"
#include "bld/bldr_cr_audit.h"
#include "bld/bldr_cr_create.h"
#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"

// Message table of the module "bld/bldr_exec" (trace name "bldr_exec").
extern const imsg_msg_table_t _bldr_exec_karsel_msg_table;

// What an audited run needs besides the script: with records null the run is a plain one;
// otherwise the script runs under audit and its derived objects and record are made
// (bldr_cr_rbld_tgt), with the rest handed on unchanged.
struct bldr_exec_cr_info_t {
  void *records;  // the configuration-manager session
  view_handle_t view;
  const char *view_tag;
  const char *initial_dir;
  const char *initial_dir_canonical;
  int64_t ref_time[2];
  uint32_t predef_dep_count;
  bldr_cr_predef_dep_t **predef_deps;
  uint32_t fs_dep_count;
  bldr_cr_fs_dep_t **fs_deps;
  uint32_t var_def_count;
  char **var_defs;
  uint32_t makefiles_count;  // the makefiles count as dependencies
  list_handle_t makefiles;
  const bldr_cr_create_args_t *args;
};

// Runs the script (list of instance scripts) of tgt in this process.
//  listing: the make runs with no-execute; only recursive-make lines run, the others are shown.
//  plain: run without audit. silent, ignore, one_shell, plus_prefix: as the script runner takes
//  them. shell, shell_flags: the build shell. mand_evs, cond_evs: the script's environment lists
//  ("NAME=value"; the mandatory ones replace inherited values, the conditional ones only fill
//  in). dirent_update: told that directories may have changed (may be null).
// *status the exit code of the script. 0 success, 1 the script failed, -1 it could not be run.
// An error raised while the script runs (an interrupt) removes tgt unless it is precious, phony
// or the run is a listing, and is raised again.
int bldr_exec_script_in_proc(list_handle_t script, const char *tgt, const bldr_exec_cr_info_t *cr,
                             int listing, int plain, int silent, int ignore, int one_shell,
                             const char *shell, const char *shell_flags, int plus_prefix,
                             list_handle_t mand_evs, list_handle_t cond_evs,
                             bldr_cm_dirent_fn_t dirent_update, int32_t *status);

// The same: the serial build.
int bldr_exec_script(list_handle_t script, const char *tgt, const bldr_exec_cr_info_t *cr,
                     int listing, int plain, int silent, int ignore, int one_shell,
                     const char *shell, const char *shell_flags, int plus_prefix,
                     list_handle_t mand_evs, list_handle_t cond_evs,
                     bldr_cm_dirent_fn_t dirent_update, int32_t *status);

// Starts the script: serial (or without a build service) it runs at once, 1 when it succeeded
// and -1 when it failed; on an executor 0 when it was started and -1 when not.
int bldr_exec_start_script(int serial, list_handle_t script, const char *tgt,
                           const bldr_exec_cr_info_t *cr, int listing, int silent, int ignore,
                           int one_shell, const char *shell, const char *shell_flags,
                           int plus_prefix, list_handle_t mand_evs, list_handle_t cond_evs,
                           bldr_cm_dirent_fn_t dirent_update, int32_t *status);

// The next target an executor finished: > 0 with its name (*tgt) and script status (0 success,
// > 0 failed, < 0 not run); 0 when none (always, without a build service). can_be_reused must
// not be null (assertion).
int bldr_exec_chk_for_completion(const char **tgt, int32_t *status, int32_t *can_be_reused);

// The build shell into shell (size bytes) and the target's mandatory and conditional environment
// lists (heap lists of heap strings; free them with bldr_opts_free_evs). 0, or KS_ST_ERR.
ks_status_t bldr_exec_tgt_info(const char *tgt, char *shell, size_t size, list_handle_t *mand_evs,
                               list_handle_t *cond_evs);

// A script as *count texts, one per instance (cr_utl_get_bs_array_from_bs_list); the outputs are
// left untouched on failure. 0 or KS_ST_ERR.
ks_status_t bldr_exec_cvt_scripts(list_handle_t script, size_t *count, char ***array);
void bldr_exec_free_scripts(size_t count, char **array);
