// Pattern rules of the GNU dialects: every rule that matches a name forms a match list, match-
// anything rules are pruned, a rule whose dependencies all ought to exist is taken directly, and
// otherwise one whose missing dependencies can be made by other pattern rules (intermediates).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "ks/ks_status.h"
#include "ks/list.h"
#include "mf/mf_tgt.h"
#include "mf/mf_tgt_patt.h"

// One rule that matches the name being searched. The views point into the name (and member)
// that the match list was made for, which must outlive the list.
struct mf_tgt_gnu_match_t {
  mf_tgt_pattern_rule_t *rule;
  const char *pattern;         // the rule's target pattern
  std::string_view directory;  // directory part of the name when it counts, else empty
  std::string_view stem;       // the stem matched against the file part or the whole name
  uint32_t index;              // the rule's place in the table's pattern-rule list
  int32_t missing;             // the dependency the direct match found missing, or -1
  int chained;                 // taken through an intermediate
};
typedef std::vector<mf_tgt_gnu_match_t> mf_tgt_gnu_match_list_t;

// Appends a match for every pattern rule (not on excl) that matches name; *all_match_anything
// ends 1 when every matching rule's pattern is "%". 0, or KS_ST_ERR (reported). The full stem of
// a match is the directory, a "/" and the stem when the directory counts, else the stem.
ks_status_t mf_tgt_gnu_get_patt_match_list(mf_tgt_table_t *table, const mf_tgt_excl_list_t &excl,
                                           const char *name, const char *member,
                                           int *all_match_anything,
                                           mf_tgt_gnu_match_list_t &matches);

// Prunes the match list: non-terminal "%" rules when some matching rule is not "%", then rules
// without a build script.
void mf_tgt_gnu_remove_rules(int all_match_anything, mf_tgt_gnu_match_list_t &matches);

// The direct match: the first rule whose dependencies all ought to exist. 0 with the rule's
// instance, the inference dependency, a new heap list of the dependencies (or null), the script,
// the full stem and the pattern (strings in the table); KS_ST_NOT_FOUND; KS_ST_ERR (reported).
ks_status_t mf_tgt_gnu_chk_patt_match(mf_tgt_table_t *table, mf_tgt_gnu_match_list_t &matches,
                                      mf_tgt_inst_desc_t **inst, const char **imp_dep,
                                      list_handle_t *deps, list_handle_t *script,
                                      const char **stem, const char **pattern);

// The chained match: the first non-terminal rule whose missing dependencies can be made by other
// pattern rules, at least one of them. Outputs as for the direct match; KS_ST_NOT_FOUND;
// KS_ST_ERR (reported).
ks_status_t mf_tgt_gnu_chain_patt_match(mf_tgt_table_t *table, mf_tgt_excl_list_t &excl,
                                        mf_tgt_gnu_match_list_t &matches, const char **imp_dep,
                                        list_handle_t *deps, list_handle_t *script,
                                        const char **stem, const char **pattern);

// The whole GNU search for name: match list, pruning, direct match (whose rule's target group is
// carried over to the name), then the chained match. 0 with the outputs of the direct match
// (the instance aside), 1 when no rule applies.
int mf_tgt_gnu_find_patt_inst(mf_tgt_table_t *table, const char *name, const char *member,
                              const char **imp_dep, list_handle_t *deps, list_handle_t *script,
                              const char **stem);

// How often a search carried the target group of a rule over to a name (the only change a search
// that finds nothing can make to the table): a search repeated with this count unchanged finds
// what it found before.
uint64_t mf_tgt_gnu_group_carries();

// Drops what the searches keep of the table's pattern rules (when rules change, or the table
// goes).
void mf_tgt_gnu_forget_table(mf_tgt_table_t *table);
