// Pathname functions of the configuration-manager session: what a target's name denotes in the
// view (its previous object, or where a derived object of it would be made), and absolute,
// view-relative forms of names and of the patterns of special targets.
#pragma once

#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"

// Message table of the module "bld/bldr_cmutl".
extern const imsg_msg_table_t _bldr_cmutl_karsel_msg_table;

// The absolute form of pathname relative to the view root (the view's own directory and tag
// removed) in area, into *out, when it differs from pathname; *out is left as the caller set it
// when the name stays as written: a plain name, a name whose directory part is already absolute
// or a plain subdirectory, or any name when ORVA_DONT_MODIFY_SPL_PATTERNS is set. 0, or KS_ST_ERR.
ks_status_t bldr_cmutl_abs_pn(const char *pathname, char **out, stg_area_t area);

// Replaces each pattern of the list that bldr_cmutl_abs_pn rewrites by its rewritten text (made
// in area). 0, or KS_ST_ERR (patterns replaced before the failure stay replaced).
ks_status_t bldr_cmutl_fix_spl_tgt_patt_list(list_handle_t patterns, stg_area_t area);
