// Target groups (targets made by one run of one build script): groups given to targets inferred
// from GNU pattern rules with several target patterns, their check against the reuse special
// targets and their dissolution; and the definition of an automatic macro with its directory
// ("D") and file ("F") forms.
#pragma once

#include <cstdint>
#include <string>

#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"
#include "mf/mf_tgt.h"

struct bldr_macro_table_t;

// Gives the target inferred from the GNU pattern rule patt_inst (target pattern patt_pn) the
// rule's group: each member (the target, then each co-target pattern with the stem) gets an
// instance of the rule and lists the others, is marked as one whose siblings affect reuse, and
// the members form one parallel interference set. Nothing for a rule without co-targets or a
// target that already has a group.
void mf_tgt_copy_target_groupness(mf_tgt_table_t *table, const char *current_tgt_pn,
                                  mf_tgt_inst_desc_t *patt_inst, const char *tgt_stem,
                                  const char *patt_pn, const char *imp_dep);

// A new list (in area) of the target followed by each co-target pattern instantiated with the
// stem; a pattern whose substitution fails is left out (internal error).
list_handle_t mf_tgt_expand_patt_cotargets(list_handle_t patterns, const char *tgt_pn,
                                           const char *stem, stg_area_t area);

// Defines name (GNU dialects only) as a target inferred from a pattern rule when it is new or only
// a dependency, and appends an instance with the rule's script, its dependencies instantiated
// with the stem, the inference dependency and the stem. Returns the instance.
mf_tgt_inst_desc_t *mf_tgt_require_expanded_tgt_instance(const char *tgt_pn, const char *stem,
                                                         const char *imp_dep,
                                                         list_handle_t patt_script,
                                                         list_handle_t patt_deps,
                                                         mf_tgt_table_t *table);

// Marks name as a target whose siblings affect reuse (entering it when new).
void mf_tgt_claim_sibs_affect_reuse(mf_tgt_table_t *table, const char *tgt_pn);
// The mark; 0 when name is not in the table.
int mf_tgt_sibs_affect_reuse(mf_tgt_table_t *table, const char *tgt_pn);

// Checks the group of name against .SIBLING_IGNORED_FOR_REUSE, .NO_DO_FOR_SIBLING and
// .NO_WINK_IN, dissolving it on a conflict.
void mf_tgt_require_tgt_group_consistency(mf_tgt_table_t *table, const char *tgt_pn);
// Checks one member: 1 the group is kept, 0 it was dissolved.
int mf_tgt_require_one_tgt_for_tgt_group_consistency(mf_tgt_table_t *table, const char *tgt_pn);
// Removes the group of entry and, recursively, of every member.
void mf_tgt_dissolve_tgt_group(mf_tgt_table_t *table, mf_tgt_entry_t *entry);
// 1 when tgt_name2 is a co-target of one of tgt_name1's instances, else 0.
int mf_tgt_utl_targets_belong_to_same_mf_group(mf_tgt_table_t *table, const char *tgt_name1,
                                               const char *tgt_name2);

// Whether value splits into the directory and last component those definitions take (false
// after the message a definition of it prints).
bool mf_tgt_special_macdef_splits(const char *value);
// Defines name = value with name"D" (the directory of value, "." when none) and name"F" (its last
// component) in macro_table. 0, or 1 after an internal error.
int mf_tgt_set_special_macdef(uint32_t variant, bldr_macro_table_t *macro_table, const char *name,
                              const char *value);
// Defines name as the values joined by single blanks (also left in *value_str), with the
// directories and last components of the values as name"D" and name"F". 0, or 1 after an
// internal error.
int mf_tgt_set_special_macdef_list(bldr_macro_table_t *macro_table, list_handle_t values,
                                   const char *name, std::string *value_str);
// 1 when the name of the definition NAME=value is an automatic macro of the dialect, else 0
// (an internal error for a definition without a name).
int mf_tgt_special_macdef(const char *definition, uint32_t variant);
