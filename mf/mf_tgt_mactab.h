// Automatic macros of a target: $@, $<, $*, $?, $^, $+, $|, $% and the dialect's relatives with
// their directory ("D") and file ("F") forms, built into a macro table of their own that the
// caller puts in front of its macro-table list for one expansion.
#pragma once

#include <cstdint>

#include "ks/list.h"
#include "ks/stg.h"

struct bldr_macro_table_t;

// A new macro table of origin "automatic" (values in area; STG_AREA_HEAP: the heap) with the
// automatic macros of target for the dialect: implicit_dep is the inference dependency,
// out_of_date the dependencies that caused the rebuild, deps all dependencies of the rule
// instance (the GNU order-only marker "|" and its names included), extra_out_of_date further
// names the non-GNU dialects add to $?, member the archive member of a lib(member) target,
// inst_flags the rule instance's flags, stem the target's base name; every input but variant,
// target and area may be null. The caller frees the table with bldr_macro_term_table. Null after
// a message on failure.
bldr_macro_table_t *mf_tgt_create_special_mactab(uint32_t variant, const char *target,
                                                 const char *implicit_dep,
                                                 list_handle_t out_of_date, list_handle_t deps,
                                                 list_handle_t extra_out_of_date,
                                                 const char *member, uint64_t inst_flags,
                                                 stg_area_t area, const char *stem);

// The table mf_tgt_create_special_mactab makes, with its entries made only when a lookup first
// may need them (bldr_macro_defer): a caller that may never refer to an automatic macro pays
// for none. target, implicit_dep, member, stem and the lists must stay as they are while the
// table lives. What stops mf_tgt_create_special_mactab (a value that does not split into a
// directory and a last component) stops this one at once. Null after a message on failure.
bldr_macro_table_t *mf_tgt_defer_special_mactab(uint32_t variant, const char *target,
                                                const char *implicit_dep,
                                                list_handle_t out_of_date, list_handle_t deps,
                                                list_handle_t extra_out_of_date,
                                                const char *member, uint64_t inst_flags,
                                                stg_area_t area, const char *stem);
