#include "mf/mf_tgt_gnu.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "ks/fileutl.h"
#include "mf/mf.h"
#include "mf/mf_tgt_group.h"
#include "mf/mf_tgt_lookup.h"

namespace {

constexpr size_t kNameSize = 1024;

const imsg_msg_table_t *msgs() { return &_mf_tgt_karsel_msg_table; }

bool excluded(const mf_tgt_excl_list_t &excl, const char *pattern) {
  return std::find(excl.begin(), excl.end(), pattern) != excl.end();
}

bool terminal(const mf_tgt_gnu_match_t &m) {
  return (m.rule->inst->flags & MF_TGT_INST_GNU_DCOLON_PATTERN) != 0;
}

// The dependency d of the matched rule, for the name matched: the directory of the name (when it
// counts) and d with its first '%' replaced by the stem; d itself when it holds no '%'.
std::string dep_name(const mf_tgt_gnu_match_t &m, const char *d) {
  const char *pct = std::strchr(d, '%');
  if (pct == nullptr) return d;
  std::string out;
  if (std::strchr(m.pattern, '/') == nullptr && m.directory[0] != '\0' && m.stem[0] != '/') {
    out = m.directory;
    if (out.back() != '/') out += '/';
  }
  out.append(d, size_t(pct - d));
  out += m.stem;
  out += pct + 1;
  return out;
}

// The outputs of a match taken with the dependency names found.
void take(mf_tgt_table_t *table, const mf_tgt_gnu_match_t &m, const std::vector<std::string> &names,
          const char **imp_dep, list_handle_t *deps, list_handle_t *script, const char **stem,
          const char **pattern) {
  if (!names.empty()) {
    *deps = mf_tgt_heap_list();
    for (const std::string &n : names) mf_tgt_list_append(*deps, mf_tgt_area_copy(table, n.c_str()));
    *imp_dep = static_cast<const char *>(list_get_data(*deps, list_next(*deps, nullptr, nullptr)));
  }
  *script = m.rule->inst->script;
  *stem = mf_tgt_area_copy(table, m.full_stem);
  *pattern = mf_tgt_area_copy(table, m.pattern);
}

void clear_outputs(const char **imp_dep, list_handle_t *deps, list_handle_t *script,
                   const char **stem, const char **pattern) {
  *imp_dep = nullptr;
  *deps = LIST_HANDLE_NULL;
  *script = LIST_HANDLE_NULL;
  *stem = nullptr;
  *pattern = nullptr;
}

// Whether the dependency name can be made by the pattern rules not on excl, as a target is
// searched: 0 yes (the group of a directly matched rule is carried over to it), KS_ST_NOT_FOUND,
// KS_ST_ERR.
ks_status_t can_make(mf_tgt_table_t *table, mf_tgt_excl_list_t &excl, const std::string &name) {
  mf_tgt_gnu_match_list_t matches;
  int all = 1;
  if (mf_tgt_gnu_get_patt_match_list(table, excl, name.c_str(), nullptr, &all, matches) !=
      KS_ST_OK)
    return KS_ST_ERR;
  mf_tgt_gnu_remove_rules(all, matches);
  if (matches.empty()) return KS_ST_NOT_FOUND;
  mf_tgt_inst_desc_t *inst = nullptr;
  const char *imp = nullptr;
  list_handle_t deps = LIST_HANDLE_NULL;
  list_handle_t script = LIST_HANDLE_NULL;
  const char *stem = nullptr;
  const char *pattern = nullptr;
  ks_status_t rc =
      mf_tgt_gnu_chk_patt_match(table, matches, &inst, &imp, &deps, &script, &stem, &pattern);
  if (rc == KS_ST_OK) {
    mf_tgt_copy_target_groupness(table, name.c_str(), inst, stem, pattern, imp);
  } else if (rc == KS_ST_NOT_FOUND) {
    rc = mf_tgt_gnu_chain_patt_match(table, excl, matches, &imp, &deps, &script, &stem, &pattern);
  }
  if (deps != LIST_HANDLE_NULL) list_destroy(deps);
  return rc;
}

}  // namespace

ks_status_t mf_tgt_gnu_get_patt_match_list(mf_tgt_table_t *table, const mf_tgt_excl_list_t &excl,
                                           const char *name, const char *member,
                                           int *all_match_anything,
                                           mf_tgt_gnu_match_list_t &matches) {
  *all_match_anything = 1;
  char dir[kNameSize];
  char file[kNameSize];
  if (fileutl_strip_leaf(name, sizeof dir, dir, sizeof file, file) != KS_ST_OK) {
    imsg_print(IMSG_ERROR, msgs(), MF_TGT_MSG_NAME_TOO_LONG, name);
    return KS_ST_ERR;
  }
  void *d = nullptr;
  for (list_cursor_t c = table->pattern_rule_list != LIST_HANDLE_NULL
                             ? list_next(table->pattern_rule_list, nullptr, &d)
                             : nullptr;
       c != nullptr; c = list_next(table->pattern_rule_list, c, &d)) {
    auto *rec = static_cast<mf_tgt_pattern_rule_t *>(d);
    if (excluded(excl, rec->pattern)) continue;
    const bool whole = std::strchr(rec->pattern, '/') != nullptr;
    mf_tgt_gnu_match_t m{};
    const int r = mf_tgt_match_patt(rec->pattern, whole ? name : file, member, m.stem,
                                    sizeof m.stem, table->compat_variant);
    if (r < 0) return KS_ST_ERR;
    if (r != 0) continue;
    const bool with_dir = !whole && dir[0] != '\0';
    if (with_dir && std::strlen(dir) + std::strlen(m.stem) > kNameSize - 2) {
      imsg_print(IMSG_ERROR, msgs(), MF_TGT_MSG_DEPS_TOO_LONG, m.stem);
      return KS_ST_ERR;
    }
    mf_tgt_entry_t *e = mf_tgt_lookup(table, rec->pattern);
    if (e == nullptr || !e->defined_as_target) {
      imsg_print(IMSG_ERROR, msgs(), MF_TGT_MSG_NO_PATTERN_ENTRY, rec->pattern);
      return KS_ST_ERR;
    }
    if (e->instances == LIST_HANDLE_NULL || list_is_empty(e->instances)) {
      imsg_print(IMSG_ERROR, msgs(), MF_TGT_MSG_EMPTY_INSTANCES, rec->pattern);
      return KS_ST_ERR;
    }
    m.rule = rec;
    m.pattern = rec->pattern;
    if (with_dir) std::strcpy(m.directory, dir);
    if (with_dir && m.stem[0] != '/') {
      std::string full(dir);
      if (full.back() != '/') full += '/';
      full += m.stem;
      std::strcpy(m.full_stem, full.c_str());
    } else {
      std::strcpy(m.full_stem, m.stem);
    }
    matches.push_back(m);
    if (std::strcmp(rec->pattern, "%") != 0) *all_match_anything = 0;
  }
  return KS_ST_OK;
}

void mf_tgt_gnu_remove_rules(int all_match_anything, mf_tgt_gnu_match_list_t &matches) {
  if (!all_match_anything)
    std::erase_if(matches, [](const mf_tgt_gnu_match_t &m) {
      return std::strcmp(m.pattern, "%") == 0 && !terminal(m);
    });
  std::erase_if(matches,
                [](const mf_tgt_gnu_match_t &m) { return !mf_tgt_has_lines(m.rule->inst->script); });
}

ks_status_t mf_tgt_gnu_chk_patt_match(mf_tgt_table_t *table, mf_tgt_gnu_match_list_t &matches,
                                      mf_tgt_inst_desc_t **inst, const char **imp_dep,
                                      list_handle_t *deps, list_handle_t *script,
                                      const char **stem, const char **pattern) {
  *inst = nullptr;
  clear_outputs(imp_dep, deps, script, stem, pattern);
  for (const mf_tgt_gnu_match_t &m : matches) {
    std::vector<std::string> names;
    bool all = true;
    for (const char *d : mf_tgt_list_strings(m.rule->inst->deps)) {
      const char *found = nullptr;
      const ks_status_t st =
          mf_tgt_gnu_dep_ought_to_exist(table, dep_name(m, d).c_str(), &found);
      if (st == KS_ST_NOT_FOUND) {
        all = false;
        break;
      }
      if (st != KS_ST_OK) return KS_ST_ERR;
      names.emplace_back(found);
    }
    if (!all) continue;
    *inst = m.rule->inst;
    take(table, m, names, imp_dep, deps, script, stem, pattern);
    return KS_ST_OK;
  }
  return KS_ST_NOT_FOUND;
}

ks_status_t mf_tgt_gnu_chain_patt_match(mf_tgt_table_t *table, mf_tgt_excl_list_t &excl,
                                        mf_tgt_gnu_match_list_t &matches, const char **imp_dep,
                                        list_handle_t *deps, list_handle_t *script,
                                        const char **stem, const char **pattern) {
  clear_outputs(imp_dep, deps, script, stem, pattern);
  for (mf_tgt_gnu_match_t &m : matches) {
    if (terminal(m) || excluded(excl, m.pattern)) continue;
    std::vector<std::string> names;
    bool all = true;
    bool intermediate = false;
    for (const char *d : mf_tgt_list_strings(m.rule->inst->deps)) {
      const std::string name = dep_name(m, d);
      const char *found = nullptr;
      ks_status_t st = mf_tgt_gnu_dep_ought_to_exist(table, name.c_str(), &found);
      if (st == KS_ST_OK) {
        names.emplace_back(found);
        continue;
      }
      if (st != KS_ST_NOT_FOUND) return KS_ST_ERR;
      // The rule is not used again to make its own dependency, however deep the chain goes.
      excl.insert(excl.begin(), m.pattern);
      st = can_make(table, excl, name);
      excl.erase(excl.begin());
      if (st == KS_ST_OK) {
        names.push_back(name);
        intermediate = true;
        continue;
      }
      if (st != KS_ST_NOT_FOUND) return KS_ST_ERR;
      all = false;
      break;
    }
    if (!all || !intermediate) continue;
    m.chained = 1;
    take(table, m, names, imp_dep, deps, script, stem, pattern);
    return KS_ST_OK;
  }
  return KS_ST_NOT_FOUND;
}

int mf_tgt_gnu_find_patt_inst(mf_tgt_table_t *table, const char *name, const char *member,
                              const char **imp_dep, list_handle_t *deps, list_handle_t *script,
                              const char **stem) {
  const char *pattern = nullptr;
  clear_outputs(imp_dep, deps, script, stem, &pattern);
  mf_tgt_excl_list_t excl;
  mf_tgt_gnu_match_list_t matches;
  int all = 1;
  if (mf_tgt_gnu_get_patt_match_list(table, excl, name, member, &all, matches) != KS_ST_OK)
    return 1;
  mf_tgt_gnu_remove_rules(all, matches);
  if (matches.empty()) return 1;
  mf_tgt_inst_desc_t *inst = nullptr;
  const ks_status_t rc =
      mf_tgt_gnu_chk_patt_match(table, matches, &inst, imp_dep, deps, script, stem, &pattern);
  if (rc == KS_ST_OK) {
    mf_tgt_copy_target_groupness(table, name, inst, *stem, pattern, *imp_dep);
    return 0;
  }
  if (rc != KS_ST_NOT_FOUND) return 1;
  return mf_tgt_gnu_chain_patt_match(table, excl, matches, imp_dep, deps, script, stem,
                                     &pattern) == KS_ST_OK
             ? 0
             : 1;
}
