#include "mf/mf_tgt_suff.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ks/fileutl.h"
#include "mf/mf.h"
#include "mf/mf_tgt_lookup.h"
#include "mf/mf_tgt_patt.h"
#include "mf/mf_tgt_validate.h"

namespace {

constexpr size_t kNameSize = 1024;
constexpr size_t kRuleSize = 256;

const imsg_msg_table_t *msgs() { return &_mf_tgt_karsel_msg_table; }

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The part of name that suffixes are matched against: the name, or in sgipmake its last
// component.
const char *candidate_of(mf_tgt_table_t *table, const char *name) {
  if (table->compat_variant != MF_COMPAT_SGIPMAKE) return name;
  const char *slash = std::strrchr(name, '/');
  return slash != nullptr ? slash + 1 : name;
}

// The names of the table by their last component, in insertion order, so that the sun dialect
// finds the entries that end in "/" + a name without walking the whole table each time. Grown
// from where it stopped as the table grows (entries are never removed).
struct LeafIndex {
  const mf_tgt_table_t *table = nullptr;
  hash_ht_t comp_table = HASH_HT_NULL;
  hash_cursor_t last = nullptr;
  std::unordered_map<std::string_view, std::vector<const char *>> by_leaf;
};
LeafIndex leaf_index;

std::string_view leaf_of(std::string_view name) {
  const size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

const std::vector<const char *> *entries_with_leaf(mf_tgt_table_t *table, std::string_view leaf) {
  if (leaf_index.table != table || leaf_index.comp_table != table->comp_table) {
    leaf_index = LeafIndex{};
    leaf_index.table = table;
    leaf_index.comp_table = table->comp_table;
  }
  mf_tgt_take_new_names(table, &leaf_index.last,
                        [](const char *key) { leaf_index.by_leaf[leaf_of(key)].push_back(key); });
  auto it = leaf_index.by_leaf.find(leaf);
  return it == leaf_index.by_leaf.end() ? nullptr : &it->second;
}

// The sun dialect's last chance for a dependency d that was not found: an entry of the table
// named d or ending in "/" + d that is a defined target or exists. 0 with *imp_dep, else
// KS_ST_NOT_FOUND. Kept out of the other dialects' lookup.
[[gnu::noinline]] ks_status_t sun_entry_walk(mf_tgt_table_t *table, std::string_view d,
                                             const char **imp_dep) {
  const std::vector<const char *> *keys = entries_with_leaf(table, leaf_of(d));
  if (keys == nullptr) return KS_ST_NOT_FOUND;
  const std::string tail = "/" + std::string(d);
  for (const char *key : *keys) {
    const std::string_view k(key);
    if (k != d && !ends_with(k, tail)) continue;
    mf_tgt_trace(4, "mf_tgt_va_file:entry:%s\n", key);
    mf_tgt_entry_t *e = mf_tgt_lookup(table, key);
    if (e != nullptr && e->defined_as_target) {
      *imp_dep = key;
      return KS_ST_OK;
    }
    const ks_status_t st = mf_tgt_obj_exists(key);
    const int status = st == KS_ST_OK ? 1 : st == KS_ST_NOT_FOUND ? 0 : -1;
    if (status < 0) imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_CANT_CHECK, key);
    mf_tgt_trace(4, "mf_tgt_validate_file exit: tgt:%s, rstatus:%d, located_path:%s\n", key,
                 status, status > 0 ? key : "");
    if (status > 0) {
      *imp_dep = key;
      return KS_ST_OK;
    }
  }
  return KS_ST_NOT_FOUND;
}

// A base name and a suffix joined, in place when the name is short (most are): a suffix search
// tries many such names.
class JoinedName {
 public:
  JoinedName(const char *base, const char *suffix) {
    const size_t lb = std::strlen(base);
    const size_t ls = std::strlen(suffix);
    if (lb + ls < sizeof small_) {
      std::memcpy(small_, base, lb);
      std::memcpy(small_ + lb, suffix, ls + 1);
      view_ = std::string_view(small_, lb + ls);
    } else {
      large_.assign(base, lb).append(suffix, ls);
      view_ = large_;
    }
  }
  JoinedName(const JoinedName &) = delete;
  JoinedName &operator=(const JoinedName &) = delete;
  const char *c_str() const { return view_.data(); }
  std::string_view view() const { return view_; }

 private:
  char small_[256];
  std::string large_;
  std::string_view view_;
};

// The suffix rules of one table by target suffix: for each target suffix asked for, the entries
// S + target suffix that the table holds, S in the order of the suffix list. Rules and the suffix
// list change only while makefiles are read, which drops the index (mf_tgt_suff_forget_table);
// whether an entry is a rule is read from its flags at each use.
struct RuleIndex {
  const mf_tgt_table_t *table = nullptr;
  struct Rule {
    const char *source;
    const char *name;
    mf_tgt_entry_t *entry;
  };
  std::unordered_map<std::string, std::vector<Rule>> by_target;
  // The non-empty suffixes of the suffix list by their last character, each in list order. The
  // list and its length are compared as well, so a list replaced behind the back of the index is
  // never read through it.
  bool suffixes_known = false;
  list_handle_t suffix_list = LIST_HANDLE_NULL;
  size_t suffix_count = 0;
  std::vector<const char *> by_last[256];
};
RuleIndex rule_index;

// The suffixes of the table's suffix list that may end name (those ending in its last
// character), in list order.
const std::vector<const char *> &suffixes_ending(mf_tgt_table_t *table, std::string_view name) {
  static const std::vector<const char *> none;
  if (rule_index.table != table) {
    rule_index = RuleIndex{};
    rule_index.table = table;
  }
  RuleIndex &ix = rule_index;
  const list_handle_t list = table->suffix_list;
  const size_t count = list != LIST_HANDLE_NULL ? list_length(list) : 0;
  if (!ix.suffixes_known || ix.suffix_list != list || ix.suffix_count != count) {
    for (std::vector<const char *> &v : ix.by_last) v.clear();
    for (const char *s : mf_tgt_list_strings(list)) {
      const size_t n = std::strlen(s);
      if (n > 0) ix.by_last[static_cast<unsigned char>(s[n - 1])].push_back(s);
    }
    ix.suffixes_known = true;
    ix.suffix_list = list;
    ix.suffix_count = count;
  }
  return name.empty() ? none : ix.by_last[static_cast<unsigned char>(name.back())];
}

// The instance of the suffix rule entry e (named name): the last instance of a defined entry that
// was not inferred; null when there is none.
mf_tgt_inst_desc_t *rule_instance(mf_tgt_entry_t *e, const char *name) {
  if (!e->defined_as_target || e->implicit_target) return nullptr;
  if (e->instances == LIST_HANDLE_NULL || list_is_empty(e->instances)) {
    imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_EMPTY_INSTANCES, name);
    return nullptr;
  }
  void *last = nullptr;
  void *d = nullptr;
  for (list_cursor_t c = list_next(e->instances, nullptr, &d); c != nullptr;
       c = list_next(e->instances, c, &d))
    last = d;
  return static_cast<mf_tgt_inst_desc_t *>(last);
}

// Whether the rule source + tsuffix can be built from the suffix list's point of view: a
// source suffix that is empty, equal to the target suffix or a version suffix ("~") never is.
bool usable_source(const char *source, const char *tsuffix) {
  const size_t n = std::strlen(source);
  return n > 0 && std::strcmp(source, tsuffix) != 0 && source[n - 1] != '~';
}

// The rules of the table whose target suffix is tsuffix, in the order of their source suffixes
// in the suffix list (version suffixes, empty suffixes and tsuffix itself left out).
const std::vector<RuleIndex::Rule> &rules_to(mf_tgt_table_t *table, const char *tsuffix) {
  if (rule_index.table != table) {
    rule_index = RuleIndex{};
    rule_index.table = table;
  }
  auto [it, fresh] = rule_index.by_target.try_emplace(tsuffix);
  if (!fresh) return it->second;
  for (const char *s : mf_tgt_list_strings(table->suffix_list)) {
    if (!usable_source(s, tsuffix)) continue;
    const std::string rule = std::string(s) + tsuffix;
    if (rule.size() >= kRuleSize) continue;
    const char *key = nullptr;
    void *data = nullptr;
    if (hash_str_lookup(table->comp_table, rule.c_str(), &key, &data))
      it->second.push_back({s, key, static_cast<mf_tgt_entry_t *>(data)});
  }
  return it->second;
}

// The suffix rules applied further up the current chain. A rule is not applied again below
// itself: with a suffix that ends another (".c" and "c" with the rule ".cc") every application
// would ask for a longer name (x.c, x..c, x...c, ...) and the chain would never end.
std::vector<const mf_tgt_entry_t *> rules_in_use;

// The rule r applied to base: 0 with the inference dependency and instance, KS_ST_NOT_FOUND when
// the entry is no rule, is in use further up, or its dependency cannot be had; another status on
// error.
ks_status_t try_rule(mf_tgt_table_t *table, const char *base, const RuleIndex::Rule &r, int depth,
                     const char **imp_dep, mf_tgt_inst_desc_t **inst) {
  mf_tgt_inst_desc_t *i = rule_instance(r.entry, r.name);
  if (i == nullptr) return KS_ST_NOT_FOUND;
  if (std::find(rules_in_use.begin(), rules_in_use.end(), r.entry) != rules_in_use.end()) {
    imsg_print_cold(IMSG_WARNING, msgs(), MF_TGT_MSG_RULE_CYCLE, r.name);
    return KS_ST_NOT_FOUND;
  }
  rules_in_use.push_back(r.entry);
  const ks_status_t st = mf_tgt_find_suff_dep(table, base, depth, r.source, imp_dep);
  rules_in_use.pop_back();
  if (st != KS_ST_OK) return st;
  mf_tgt_trace_row(2, MF_TGT_MSG_APPLYING_SUFFIX, r.name, base);
  *inst = i;
  return KS_ST_OK;
}

// A rule for the target suffix: by the explicit dependencies first (when asked), then by the
// list. 0 with the inference dependency and instance; KS_ST_NOT_FOUND; another status on error.
ks_status_t rule_for_suffix(mf_tgt_table_t *table, const char *base, const char *tsuffix,
                            bool by_deps, list_handle_t explicit_deps, int depth,
                            const char **imp_dep, mf_tgt_inst_desc_t **inst) {
  if (by_deps) {
    const ks_status_t st = mf_tgt_find_suff_rule_dep_list(table, base, tsuffix, explicit_deps,
                                                          depth, imp_dep, inst);
    if (st != KS_ST_NOT_FOUND) return st;
  }
  return mf_tgt_find_suff_rule(table, base, tsuffix, depth, imp_dep, inst);
}

}  // namespace

mf_tgt_inst_desc_t *mf_tgt_suffix_inst(hash_ht_t comp_table, const char *name) {
  void *data = nullptr;
  if (!hash_str_lookup(comp_table, name, nullptr, &data)) return nullptr;
  return rule_instance(static_cast<mf_tgt_entry_t *>(data), name);
}

ks_status_t mf_tgt_find_suff_dep(mf_tgt_table_t *table, const char *base, int depth,
                                 const char *ssuffix, const char **imp_dep) {
  *imp_dep = nullptr;
  const uint32_t v = table->compat_variant;
  const JoinedName d(base, ssuffix);
  int in_table = 0;
  const ks_status_t st =
      mf_tgt_find_dep_in(table, d.c_str(), mf_tgt_variant_is_gnu(v), imp_dep, &in_table);
  if (st != KS_ST_NOT_FOUND) return st;
  if (v == MF_COMPAT_SUN && sun_entry_walk(table, d.view(), imp_dep) == KS_ST_OK)
    return KS_ST_OK;
  bool chain;
  if (v == 6 || v > MF_COMPAT_KELTO)
    chain = false;
  else if (depth >= 1 || mf_tgt_variant_is_bsd(v) || mf_tgt_variant_is_gnu(v) ||
           v == MF_COMPAT_KELTO)
    chain = true;
  else
    chain = in_table != 0;
  if (!chain) return st;
  const char *imp = nullptr;
  list_handle_t script = LIST_HANDLE_NULL;
  int patt = 0;
  list_handle_t deps = LIST_HANDLE_NULL;
  const char *stem = nullptr;
  if (mf_tgt_implicit_instance(table, d.c_str(), nullptr, depth - 1, 0, LIST_HANDLE_NULL, 0, &imp,
                               &script, &patt, &deps, &stem) != 0)
    return st;
  if (deps != LIST_HANDLE_NULL) list_destroy(deps);
  *imp_dep = mf_tgt_area_copy(table, d.c_str());
  return KS_ST_OK;
}

ks_status_t mf_tgt_find_suff_rule(mf_tgt_table_t *table, const char *base, const char *tsuffix,
                                  int depth, const char **imp_dep, mf_tgt_inst_desc_t **inst) {
  *imp_dep = nullptr;
  *inst = nullptr;
  for (const RuleIndex::Rule &r : rules_to(table, tsuffix)) {
    const ks_status_t st = try_rule(table, base, r, depth, imp_dep, inst);
    if (st != KS_ST_NOT_FOUND) return st;
  }
  return KS_ST_NOT_FOUND;
}

ks_status_t mf_tgt_find_suff_rule_dep_list(mf_tgt_table_t *table, const char *base,
                                           const char *tsuffix, list_handle_t explicit_deps,
                                           int depth, const char **imp_dep,
                                           mf_tgt_inst_desc_t **inst) {
  *imp_dep = nullptr;
  *inst = nullptr;
  const std::vector<RuleIndex::Rule> &rules = rules_to(table, tsuffix);
  for (const char *dep : mf_tgt_list_strings(explicit_deps)) {
    for (const RuleIndex::Rule &r : rules) {
      if (!ends_with(dep, r.source)) continue;
      const ks_status_t st = try_rule(table, base, r, depth, imp_dep, inst);
      if (st != KS_ST_NOT_FOUND) return st;
    }
  }
  return KS_ST_NOT_FOUND;
}

int mf_tgt_find_suffix_instance(mf_tgt_table_t *table, const char *name, const char *member,
                                int depth, int explicit_tgt, list_handle_t explicit_deps,
                                const char **imp_dep, list_handle_t *script, const char **stem) {
  *imp_dep = nullptr;
  *script = LIST_HANDLE_NULL;
  *stem = nullptr;
  if (table->suffix_list == LIST_HANDLE_NULL || list_is_empty(table->suffix_list)) {
    mf_tgt_trace_row(3, MF_TGT_MSG_SUFFIX_LIST_EMPTY);
    return 1;
  }
  const uint32_t v = table->compat_variant;
  const bool bsd = mf_tgt_variant_is_bsd(v);
  const char *dep = nullptr;
  mf_tgt_inst_desc_t *inst = nullptr;
  auto found = [&](const char *base) {
    *imp_dep = dep;
    *script = inst->script;
    *stem = mf_tgt_area_copy(table, base);
    return 0;
  };
  auto failed = [](ks_status_t st) { return st == KS_ST_NOT_FOUND ? 1 : int(st); };

  if (member != nullptr) {
    char base[kNameSize];
    char suffix[kRuleSize];
    if (fileutl_strip_suffix(member, sizeof base, base, sizeof suffix, suffix) != KS_ST_OK) {
      imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_STRIP_SUFFIX, member);
      return KS_ST_ERR;
    }
    if (!mf_tgt_list_holds(table->suffix_list, ".a")) {
      mf_tgt_trace_row(3, MF_TGT_MSG_NOT_IN_SUFFIX_LIST, name, ".a");
      return 1;
    }
    const ks_status_t st = mf_tgt_find_suff_rule(table, base, ".a", depth, &dep, &inst);
    return st == KS_ST_OK ? found(base) : failed(st);
  }

  const char *cand = candidate_of(table, name);
  const std::string_view c(cand);
  bool any = false;
  // A copy: a lookup below may expand a macro that defines rules, which drops the index. The
  // few suffixes that end a name are copied onto the stack.
  const std::vector<const char *> &indexed = suffixes_ending(table, c);
  const char *few[16];
  std::vector<const char *> many;
  const char *const *suffixes = few;
  const size_t count = indexed.size();
  if (count <= std::size(few)) {
    std::copy(indexed.begin(), indexed.end(), few);
  } else {
    many = indexed;
    suffixes = many.data();
  }
  for (size_t i = 0; i < count; i++) {
    const char *s = suffixes[i];
    if (!ends_with(c, s)) continue;
    any = true;
    const std::string base(c.substr(0, c.size() - std::strlen(s)));
    const ks_status_t st = rule_for_suffix(table, base.c_str(), s, bsd && explicit_tgt,
                                           explicit_deps, depth, &dep, &inst);
    if (st == KS_ST_OK) return found(base.c_str());
    if (st != KS_ST_NOT_FOUND) return int(st);
  }
  if (any) return 1;

  // No suffix of the list ends the name: single-suffix (and .NULL) rules.
  ks_status_t st = KS_ST_NOT_FOUND;
  if (v == MF_COMPAT_STD || v == MF_COMPAT_SUN) {
    if (explicit_tgt && mf_tgt_has_lines(explicit_deps)) return 1;
    st = mf_tgt_find_suff_rule(table, cand, "", depth, &dep, &inst);
  } else if (bsd) {
    if (table->null_suffix != nullptr)
      st = rule_for_suffix(table, cand, table->null_suffix, explicit_tgt, explicit_deps, depth,
                           &dep, &inst);
    if (st == KS_ST_NOT_FOUND)
      st = rule_for_suffix(table, cand, "", explicit_tgt, explicit_deps, depth, &dep, &inst);
  } else if (v == MF_COMPAT_PGNU) {
    st = rule_for_suffix(table, cand, "", explicit_tgt, explicit_deps, depth, &dep, &inst);
  } else if (v == 6 || v == MF_COMPAT_KELTO) {
    st = mf_tgt_find_suff_rule(table, cand, "", depth, &dep, &inst);
  }
  return st == KS_ST_OK ? found(cand) : failed(st);
}

int mf_tgt_find_suff(mf_tgt_table_t *table, const char *name, const char **base,
                     const char **suffix) {
  *suffix = nullptr;
  const char *cand = candidate_of(table, name);
  const std::string_view c(cand);
  if (table->suffix_list == LIST_HANDLE_NULL || list_is_empty(table->suffix_list)) {
    mf_tgt_trace_row(3, MF_TGT_MSG_SUFFIX_LIST_EMPTY);
  } else {
    for (const char *s : suffixes_ending(table, c)) {
      if (!ends_with(c, s)) continue;
      *base = mf_tgt_area_copy(table, std::string(c.substr(0, c.size() - std::strlen(s))).c_str());
      *suffix = mf_tgt_area_copy(table, s);
      return 0;
    }
  }
  *base = mf_tgt_area_copy(table, mf_tgt_variant_is_gnu(table->compat_variant) ? "" : cand);
  return 1;
}

int mf_tgt_get_inference_dep(mf_tgt_table_t *table, const char *name, const char **imp_dep) {
  list_handle_t script = LIST_HANDLE_NULL;
  int patt = 0;
  list_handle_t deps = LIST_HANDLE_NULL;
  const char *stem = nullptr;
  const int rc = mf_tgt_implicit_instance(table, name, nullptr, 0, 0, LIST_HANDLE_NULL, 0, imp_dep,
                                          &script, &patt, &deps, &stem);
  if (deps != LIST_HANDLE_NULL) list_destroy(deps);
  return rc;
}

void mf_tgt_suff_forget_table(mf_tgt_table_t *table) {
  if (leaf_index.table == table) leaf_index = LeafIndex{};
  if (rule_index.table == table) rule_index = RuleIndex{};
}
