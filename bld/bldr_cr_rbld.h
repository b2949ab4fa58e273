// Rebuilding one target in this process under the file-system audit, and turning a finished audit
// into derived objects and a configuration record.
#pragma once

#include <cstdint>

#include "bld/bldr_cr_audit.h"
#include "bld/bldr_cr_create.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "view/view_info.h"

// Rebuilds target_name under audit: a free audit-file name, the audit with its markers (initial
// directory, the non-VOB dependencies checked, the predefined dependencies and, when they count,
// the makefiles examined), the scripts run through the script runner (once without a script when
// script_count is 0: the shell runs with argv as it stands), the audit stopped and turned into
// derived objects and a record (bldr_cr_create_dos_ip), the audit files removed or kept.
//  view, view_tag: the build's view; initial_dir and its canonical form; ref_time: the build
//    session's reference time (seconds, microseconds).
//  shell, shell_flags, argc, argv, envp: the script runner's shell and the scripts' environment
//    (null: the default environment of children, with the audit's settings).
//  silent, ignore, one_shell, plus_prefix: as the script runner takes them.
//  local_rbld: the non-VOB dependencies are taken with their recorded times.
//  var_defs, predef_deps, fs_deps: recorded with the build; makefiles_count: examine the
//    makefiles as dependencies; args: what the record writer needs.
// *build_failed receives the script's exit status (non-zero when it failed), and 1 when the record
// writer failed. Returns 0, also when the script failed and when the record writer reported
// interference; another status when the audit could not run. rbld_can_be_reused must not be null
// (assertion).
ks_status_t bldr_cr_rbld_tgt(view_handle_t view, const char *view_tag, const char *initial_dir,
                             const char *initial_dir_canonical, const int64_t *ref_time,
                             const char *target_name, const char *shell, const char *shell_flags,
                             int argc, char **argv, char **envp, uint32_t script_count,
                             char **scripts, int32_t silent, int32_t ignore, int32_t one_shell,
                             int32_t local_rbld, uint32_t var_def_count, char **var_defs,
                             uint32_t predef_dep_count, bldr_cr_predef_dep_t **predef_deps,
                             uint32_t fs_dep_count, bldr_cr_fs_dep_t **fs_deps,
                             uint32_t makefiles_count, list_handle_t makefiles,
                             int32_t plus_prefix, const bldr_cr_create_args_t *args,
                             int32_t *rbld_can_be_reused, int32_t *build_failed);

// Makes the derived objects and the record of the finished audit at audit_pn for the rebuild
// desc in view: the record's header from the descriptor, the user, the host and the view, then
// bldr_cr_create_dos_crs. 0 or its status. rbld_can_be_reused must not be null (assertion).
ks_status_t bldr_cr_create_dos_ip(const char *audit_pn, const ip_rbld_desc *desc,
                                  view_handle_t view, const char *view_tag,
                                  const bldr_cr_create_args_t *args, int32_t *rbld_can_be_reused);

// The same for a script audit that the configuration-manager session ran itself: the
// keep-audit-files flag is cleared first and the can-be-reused answer discarded.
ks_status_t bldr_cr_create_dos_ip_sa(const char *audit_pn, const ip_rbld_desc *desc,
                                     view_handle_t view, const char *view_tag,
                                     const bldr_cr_create_args_t *args);
