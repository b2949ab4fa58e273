// Builtin makefiles and the default makefile: which makefiles a parse reads before the user's,
// by dialect, and which description file it reads when none is named.
#pragma once

#include <cstdint>

#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"

// Message table of the module "mf/mf_init".
extern const imsg_msg_table_t _mf_init_karsel_msg_table;
enum {
  MF_INIT_MSG_NO_BUILTIN = 0,   // "Unable to access builtin makefile \"%s\" - %s\n"
  MF_INIT_MSG_TOO_LONG = 1,     // "Builtin makefile pathname \"%s%s\" is too long\n"
};

// The storage area of the parse being set up, in which builtin paths and the builtin list are
// made (STG_AREA_HEAP until the parse driver sets its own).
extern stg_area_t mf_parse_stg_area;

// The pathname of the builtin makefile file_name: "$ORVA_MK_BUILTINS/<file_name>" when that
// variable is set and the file is there, else the one in the product's configuration directory
// (tbs_product_etc_dir), copied into mf_parse_stg_area. 0 with *out_path; KS_ST_NOT_FOUND after
// the "Unable to access builtin makefile" message when neither exists; another status of the
// existence test (already reported); KS_ST_ERR after a message when the path does not fit or
// cannot be copied.
ks_status_t mf_find_builtin_pn(const char *file_name, char **out_path);

// The builtin makefiles of compat_variant, in reading order, as a list of pathnames made in
// mf_parse_stg_area; *out_list is null when nothing is to be read. no_builtins leaves out all
// but the variables files of the sun and GNU dialects. cmd_line_defs (a list of "NAME=value"
// texts, or null) is where the kelto dialect finds MAKERULES. 0, or the status of the first
// builtin that cannot be found (after its message); the list then holds the builtins found
// before it.
ks_status_t mf_init_builtins(int no_builtins, uint32_t compat_variant, list_handle_t *out_list,
                             list_handle_t cmd_line_defs);

// The name of the default makefile of compat_variant that exists in the current directory, or
// null when none does.
const char *mf_init_default_mf(uint32_t compat_variant);
