// Dependency lists at build time: macro references expanded in the scope of the target, kelto's
// back-quoted commands run, wildcards globbed here or along the search list, archive references
// recognised, the BSD-style .MAKE and .PRECIOUS pseudo-dependencies turned into marks, and every
// name entered into the target table.
#pragma once

#include "ks/list.h"
#include "ks/stg.h"
#include "mf/mf_tgt.h"

// The dependency list deps of the rule instance inst of entry (target tgt_pn) in its final form:
// a new list (in the table's area) of names entered in the table, duplicates dropped outside the
// GNU dialects. Expansion uses the macro-table list in force (mfc_mf_macro_table_list) behind the
// target's automatic macros; area holds the work of the expansion. Null when no name results, and
// after a message on failure.
list_handle_t mf_tgt_expand_dep_list(mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                                     mf_tgt_inst_handle_t inst, const char *tgt_pn,
                                     list_handle_t deps, stg_area_t area);
