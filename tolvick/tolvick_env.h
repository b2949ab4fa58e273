// What the make program exports for recursive makes in the GNU dialects: the include
// directories with their MAKEFLAGS, the command-line definitions a parent passed down in
// MAKEOVERRIDES, and MAKEOVERRIDES and ORVA_CMDL_VARS for the sub-makes of this run.
#pragma once

#include <string>

#include "ks/ks_status.h"
#include "mf/mf_parse_cmd_line.h"
#include "mf/mfc.h"

// The include directories of ORVA_MF_INC_DIRS (when set and not empty) come first in the record's
// list, each added to MAKEFLAGS/ORVA_MAKEFLAGS as -I; the list is exported again. False after a
// message when an export or the copy of MAKEFLAGS fails (the run then ends at once).
bool tolvick_env_include_dirs(karsel_args *args, stg_area_t area);

// The definitions of MAKEOVERRIDES (when set and not empty) with the command-line definitions
// applied over them become the record's definitions. KS_ST_ERR after a message when storage runs
// out.
ks_status_t tolvick_env_makeoverrides_in(karsel_args *args, stg_area_t area);

// Exports MAKEOVERRIDES and ORVA_CMDL_VARS for sub-makes (gnu dialect, after parsing). False after
// a message when an export fails (the run then ends at once).
bool tolvick_env_makeoverrides_out(const karsel_args *args, mf_cmf_handle_t cmf);
