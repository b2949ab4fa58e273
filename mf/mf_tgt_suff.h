// Suffix rules: for a target name, the suffix that ends it, the suffix rule that applies (.c.o,
// the single-suffix .c, the .NULL suffix, archive members by ".a") and the dependency the rule
// implies, chaining through other implicit rules.
#pragma once

#include "ks/hash.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "mf/mf_tgt.h"

// The suffix-rule instance of name: 0 with *imp_dep, *script (the rule's, shared) and *stem (in
// the table's area), 1 when no rule applies, another status (reported) on error. The arguments
// are those of mf_tgt_implicit_instance.
int mf_tgt_find_suffix_instance(mf_tgt_table_t *table, const char *name, const char *member,
                                int depth, int explicit_tgt, list_handle_t explicit_deps,
                                const char **imp_dep, list_handle_t *script, const char **stem);

// Tries the rules S + tsuffix for every suffix S of the suffix list in order: 0 with the
// inference dependency and the rule instance, KS_ST_NOT_FOUND when none applies, another status
// (reported) when an existence test failed.
ks_status_t mf_tgt_find_suff_rule(mf_tgt_table_t *table, const char *base, const char *tsuffix,
                                  int depth, const char **imp_dep, mf_tgt_inst_desc_t **inst);

// As mf_tgt_find_suff_rule, with S taken from the suffixes that end the explicit dependencies,
// in their order.
ks_status_t mf_tgt_find_suff_rule_dep_list(mf_tgt_table_t *table, const char *base,
                                           const char *tsuffix, list_handle_t explicit_deps,
                                           int depth, const char **imp_dep,
                                           mf_tgt_inst_desc_t **inst);

// Whether the dependency base + ssuffix exists, is a target, or (by the dialect and depth) can be
// made by another implicit rule: 0 with *imp_dep, else the existence status.
ks_status_t mf_tgt_find_suff_dep(mf_tgt_table_t *table, const char *base, int depth,
                                 const char *ssuffix, const char **imp_dep);

// The first suffix of the list that ends name: 0 with *base and *suffix (in the table's area);
// 1 with *suffix null and *base "" (GNU dialects) or the whole name.
int mf_tgt_find_suff(mf_tgt_table_t *table, const char *name, const char **base,
                     const char **suffix);

// The inference dependency of name by the implicit rules (no member, depth 0, not explicit):
// the result of mf_tgt_implicit_instance, with *imp_dep.
int mf_tgt_get_inference_dep(mf_tgt_table_t *table, const char *name, const char **imp_dep);

// The instance of the suffix rule name (such as ".c.o"): the last instance of a defined, not
// inferred entry; null when there is none.
mf_tgt_inst_desc_t *mf_tgt_suffix_inst(hash_ht_t comp_table, const char *name);

// Forgets what the suffix lookup keeps about table: called when its rules or its suffix list
// change, and when it is freed.
void mf_tgt_suff_forget_table(mf_tgt_table_t *table);
