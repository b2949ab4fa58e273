// Implicit rules: the choice between pattern and suffix rules by dialect, the "%" matching of a
// name against a pattern, the pattern-rule search of the std and sun dialects, and the
// dependency-existence test that the suffix-rule lookup shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ks/ks_status.h"
#include "ks/list.h"
#include "mf/mf_tgt.h"

// Patterns being tried further up one search; a pattern on it is not used again.
typedef std::vector<std::string> mf_tgt_excl_list_t;

// The implicit instance of name: the rule borrowed from a pattern or suffix rule. member is the
// archive member of a lib(member) name (else null); depth the chaining allowance of the suffix
// lookup; explicit_tgt, explicit_deps and has_script describe the name's explicit rule. 0 with
// *imp_dep (the inference dependency, or null), *script (the rule's command list, shared), *patt
// (1 when a pattern rule supplied it), *deps (a new heap list of names, or null; the caller
// destroys the list) and *stem (the strings live in the table); 1 when no rule applies; another
// status (reported) on error. A name already being inferred further up the same lookup is
// refused with a warning: rules that lead back to one another end there.
int mf_tgt_implicit_instance(mf_tgt_table_t *table, const char *name, const char *member,
                             int depth, int explicit_tgt, list_handle_t explicit_deps,
                             int has_script, const char **imp_dep, list_handle_t *script,
                             int *patt, list_handle_t *deps, const char **stem);

// Whether name is being inferred further up the current lookup (mf_tgt_implicit_instance refuses
// it with a warning).
bool mf_tgt_being_inferred(const char *name);

// Matches name (with the archive member, when given, against a pattern lib(%...)) against
// pattern: 0 with the stem in stem_buf, 1 no match, -1 error (reported).
int mf_tgt_match_patt(const char *pattern, const char *name, const char *member, char *stem_buf,
                      size_t stem_size, uint32_t variant);

// The pattern-rule search of the std and sun dialects: 0 found (outputs as for
// mf_tgt_implicit_instance), 1 none, -1 error (reported).
int mf_tgt_find_patt_match_inst(mf_tgt_table_t *table, mf_tgt_excl_list_t &excl, const char *name,
                                const char *member, const char **imp_dep, list_handle_t *deps,
                                list_handle_t *script, const char **stem);

// Whether the dependency name exists or is a defined target, directly or in a search directory:
// 0 with *found (the table's name, or a copy in the table's area); KS_ST_NOT_FOUND; another
// status (reported) when the test failed.
ks_status_t mf_tgt_find_dep(mf_tgt_table_t *table, const char *name, const char **found);

// mf_tgt_find_dep, or with gnu_ought mf_tgt_gnu_dep_ought_to_exist, telling in *in_table (when
// not null) whether the table holds the name at all, as a target or a dependency.
ks_status_t mf_tgt_find_dep_in(mf_tgt_table_t *table, const char *name, int gnu_ought,
                               const char **found, int *in_table);

// mf_tgt_find_dep as the GNU dialects ask it: a name the table knows as a target or as a
// dependency of any rule ought to exist, and a '$' in the name gets no special treatment.
ks_status_t mf_tgt_gnu_dep_ought_to_exist(mf_tgt_table_t *table, const char *name,
                                          const char **found);
