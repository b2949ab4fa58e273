#include "mf/mf_tgt_gnu.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>

#include "mf/mf.h"
#include "mf/mf_tgt_group.h"
#include "mf/mf_tgt_lookup.h"

namespace {

constexpr size_t kNameSize = 1024;

const imsg_msg_table_t *msgs() { return &_mf_tgt_karsel_msg_table; }

// One pattern rule as the search reads it: its pattern split at the first '%', whether it is
// matched against the whole name, and an id that equal patterns share (rules are excluded by
// their pattern's text).
struct Rule {
  mf_tgt_pattern_rule_t *rec;
  std::string_view prefix;
  std::string_view suffix;
  bool has_wildcard;
  bool whole;     // the pattern holds '/'
  bool anything;  // the pattern is "%"
  uint32_t id;
  mf_tgt_entry_t *entry;  // the pattern's entry, looked up at its first match
  bool entry_known;
};

// The pattern rules of one table in definition order. Rules change only while makefiles are
// read, which drops the index (mf_tgt_gnu_forget_table); the list and its length are compared
// as well, so a list replaced behind the back of the index is never read through it.
struct RuleIndex {
  const mf_tgt_table_t *table = nullptr;
  list_handle_t list = LIST_HANDLE_NULL;
  size_t length = 0;
  std::vector<Rule> rules;
  std::vector<std::string_view> ids;  // the pattern of each id
  // For each last character of a name, in order, the rules that may match a name ending in it:
  // those whose pattern ends in it or in '%' (and those without '%', which are errors).
  std::vector<uint32_t> by_last[256];
  std::vector<uint32_t> all;
};
RuleIndex rule_index;

uint64_t group_carries = 0;


RuleIndex &index_of(mf_tgt_table_t *table) {
  RuleIndex &ix = rule_index;
  const list_handle_t list = table->pattern_rule_list;
  if (ix.table == table && ix.list == list && ix.length == list_length(list)) return ix;
  ix = RuleIndex{};
  ix.table = table;
  ix.list = list;
  ix.length = list_length(list);
  void *d = nullptr;
  for (list_cursor_t c = list != LIST_HANDLE_NULL ? list_next(list, nullptr, &d) : nullptr;
       c != nullptr; c = list_next(list, c, &d)) {
    auto *rec = static_cast<mf_tgt_pattern_rule_t *>(d);
    const std::string_view p(rec->pattern);
    Rule r{};
    r.rec = rec;
    const size_t pct = p.find('%');
    r.has_wildcard = pct != std::string_view::npos;
    if (r.has_wildcard) {
      r.prefix = p.substr(0, pct);
      r.suffix = p.substr(pct + 1);
    }
    r.whole = p.find('/') != std::string_view::npos;
    r.anything = p == "%";
    const auto known = std::find(ix.ids.begin(), ix.ids.end(), p);
    r.id = uint32_t(known - ix.ids.begin());
    if (known == ix.ids.end()) ix.ids.push_back(p);
    ix.rules.push_back(r);
  }
  for (uint32_t i = 0; i < ix.rules.size(); ++i) {
    const Rule &r = ix.rules[i];
    ix.all.push_back(i);
    for (unsigned c = 0; c < 256; ++c)
      if (!r.has_wildcard || r.suffix.empty() || static_cast<unsigned char>(r.suffix.back()) == c)
        ix.by_last[c].push_back(i);
  }
  return ix;
}

// The patterns being tried further up one search, as counts per pattern id.
struct Excl {
  std::vector<uint32_t> count;
  bool holds(const Rule &r) const { return count[r.id] != 0; }
};

Excl excl_of(RuleIndex &ix, const mf_tgt_excl_list_t &texts) {
  Excl e;
  e.count.assign(ix.ids.size(), 0);
  for (const std::string &t : texts)
    for (size_t id = 0; id < ix.ids.size(); ++id)
      if (ix.ids[id] == t) e.count[id]++;
  return e;
}

const Rule &rule_of(const RuleIndex &ix, const mf_tgt_gnu_match_t &m) { return ix.rules[m.index]; }

bool terminal(const mf_tgt_gnu_match_t &m) {
  return (m.rule->inst->flags & MF_TGT_INST_GNU_DCOLON_PATTERN) != 0;
}

bool stem_is_absolute(const mf_tgt_gnu_match_t &m) { return !m.stem.empty() && m.stem[0] == '/'; }

// The directory part that the names derived from a match begin with: the directory and a '/'
// (unless it ends in one) when the directory counts, else nothing.
std::string_view directory_part(const mf_tgt_gnu_match_t &m, bool *slash) {
  *slash = false;
  if (m.directory.empty() || stem_is_absolute(m)) return {};
  *slash = m.directory.back() != '/';
  return m.directory;
}

// The dependency d of the matched rule, for the name matched: the directory of the name (when it
// counts) and d with its first '%' replaced by the stem; d itself when it holds no '%'.
void dep_name(const mf_tgt_gnu_match_t &m, const char *d, std::string *out) {
  const char *pct = std::strchr(d, '%');
  if (pct == nullptr) {
    out->assign(d);
    return;
  }
  bool slash = false;
  const std::string_view dir = directory_part(m, &slash);
  const size_t before = size_t(pct - d);
  const size_t after = std::strlen(pct + 1);
  out->resize(dir.size() + (slash ? 1 : 0) + before + m.stem.size() + after);
  char *p = out->data();
  auto put = [&p](const char *text, size_t n) {
    if (n > 0) std::memcpy(p, text, n);
    p += n;
  };
  put(dir.data(), dir.size());
  if (slash) *p++ = '/';
  put(d, before);
  put(m.stem.data(), m.stem.size());
  put(pct + 1, after);
}

std::string full_stem(const mf_tgt_gnu_match_t &m) {
  bool slash = false;
  std::string out(directory_part(m, &slash));
  if (slash) out += '/';
  out.append(m.stem);
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
  *stem = mf_tgt_area_copy(table, full_stem(m).c_str());
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

// The target group of the directly matched rule carried over to name.
void carry_group(mf_tgt_table_t *table, const char *name, mf_tgt_inst_desc_t *inst,
                 const char *stem, const char *pattern, const char *imp) {
  if (mf_tgt_has_lines(mf_tgt_inst_cotargets(table, inst))) group_carries++;
  mf_tgt_copy_target_groupness(table, name, inst, stem, pattern, imp);
}

// Matches subject against the rule's pattern (no member): 1 with the stem (a view into subject),
// 0 no match, -1 error (reported).
int match_rule(const Rule &r, std::string_view subject, std::string_view *stem) {
  if (!r.has_wildcard) {
    imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_NO_WILDCARD, r.rec->pattern);
    return -1;
  }
  // The texts around '%' are short: compared in place, the suffix from its end.
  const size_t n = subject.size();
  if (n == 0 || n < r.prefix.size() + r.suffix.size()) return 0;
  for (size_t i = 1; i <= r.suffix.size(); ++i)
    if (subject[n - i] != r.suffix[r.suffix.size() - i]) return 0;
  for (size_t i = 0; i < r.prefix.size(); ++i)
    if (subject[i] != r.prefix[i]) return 0;
  const size_t stem_len = subject.size() - r.prefix.size() - r.suffix.size();
  if (stem_len >= kNameSize) {
    imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_NAME_TOO_LONG, std::string(subject).c_str());
    return -1;
  }
  *stem = subject.substr(r.prefix.size(), stem_len);
  return 1;
}

// Whether a match of rule r is one that mf_tgt_gnu_remove_rules drops when some other matching
// rule is not "%": a non-terminal "%" rule.
bool droppable_anything(const Rule &r) {
  return r.anything && (r.rec->inst->flags & MF_TGT_INST_GNU_DCOLON_PATTERN) == 0;
}

// The match list of name for the rules not on excl (see mf_tgt_gnu_get_patt_match_list). With
// pruned, the list is left as mf_tgt_gnu_remove_rules would leave it, without the matches it
// would drop ever being added (matches must then start empty).
ks_status_t match_list(mf_tgt_table_t *table, RuleIndex &ix, const Excl &excl,
                       const char *name, const char *member, int *all_match_anything,
                       mf_tgt_gnu_match_list_t &matches, bool pruned = false) {
  *all_match_anything = 1;
  // The directory part and the leaf as the leaf is stripped from a path: the directory without
  // its trailing slashes ("/" for a name in the root), empty when the name has no slash.
  const std::string_view whole_name(name);
  std::string_view dir;
  std::string_view file = whole_name;
  if (const size_t slash = whole_name.rfind('/'); slash != std::string_view::npos) {
    size_t end = slash;
    while (end > 0 && whole_name[end - 1] == '/') --end;
    dir = whole_name.substr(0, end > 0 ? end : 1);
    file = whole_name.substr(slash + 1);
  }
  if (dir.size() >= kNameSize || file.size() >= kNameSize) {
    imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_NAME_TOO_LONG, name);
    return KS_ST_ERR;
  }
  const std::vector<uint32_t> &candidates =
      member != nullptr || whole_name.empty()
          ? ix.all
          : ix.by_last[static_cast<unsigned char>(whole_name.back())];
  for (const uint32_t i : candidates) {
    Rule &r = ix.rules[i];
    if (excl.holds(r)) continue;
    std::string_view stem;
    if (member != nullptr) {
      char buf[kNameSize];
      const int m = mf_tgt_match_patt(r.rec->pattern, r.whole ? name : std::string(file).c_str(),
                                      member, buf, sizeof buf, table->compat_variant);
      if (m < 0) return KS_ST_ERR;
      if (m != 0) continue;
      // The stem is a part of the member: a view of equal text.
      const std::string_view mem(member);
      stem = mem.substr(mem.find(buf), std::strlen(buf));
    } else {
      const int m = match_rule(r, r.whole ? whole_name : file, &stem);
      if (m < 0) return KS_ST_ERR;
      if (m == 0) continue;
    }
    const bool with_dir = !r.whole && !dir.empty();
    if (with_dir && dir.size() + stem.size() > kNameSize - 2) {
      imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_DEPS_TOO_LONG, std::string(stem).c_str());
      return KS_ST_ERR;
    }
    if (!r.entry_known) {
      r.entry = mf_tgt_lookup(table, r.rec->pattern);
      r.entry_known = true;
    }
    if (r.entry == nullptr || !r.entry->defined_as_target) {
      imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_NO_PATTERN_ENTRY, r.rec->pattern);
      return KS_ST_ERR;
    }
    if (r.entry->instances == LIST_HANDLE_NULL || list_is_empty(r.entry->instances)) {
      imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_EMPTY_INSTANCES, r.rec->pattern);
      return KS_ST_ERR;
    }
    if (!r.anything && *all_match_anything) {
      *all_match_anything = 0;
      if (pruned)
        std::erase_if(matches, [&ix](const mf_tgt_gnu_match_t &m) {
          return droppable_anything(rule_of(ix, m));
        });
    }
    if (pruned && ((!*all_match_anything && droppable_anything(r)) ||
                   !mf_tgt_has_lines(r.rec->inst->script)))
      continue;
    // Built in place: the list is reused, so this writes into memory already at hand.
    mf_tgt_gnu_match_t &m = matches.emplace_back();
    m.rule = r.rec;
    m.pattern = r.rec->pattern;
    if (with_dir) m.directory = dir;
    m.stem = stem;
    m.index = i;
    m.missing = -1;
  }
  return KS_ST_OK;
}

// The names of the dependencies of m's rule that ought to exist, in order: 0 when all of them
// do, KS_ST_NOT_FOUND at the first that does not, KS_ST_ERR.
ks_status_t all_ought_to_exist(mf_tgt_table_t *table, mf_tgt_gnu_match_t &m,
                               std::vector<std::string> *names, std::string *scratch) {
  names->clear();
  list_handle_t deps = m.rule->inst->deps;
  void *d = nullptr;
  int32_t i = 0;
  for (list_cursor_t c = deps != LIST_HANDLE_NULL ? list_next(deps, nullptr, &d) : nullptr;
       c != nullptr; c = list_next(deps, c, &d), ++i) {
    dep_name(m, static_cast<const char *>(d), scratch);
    const char *found = nullptr;
    const ks_status_t st = mf_tgt_gnu_dep_ought_to_exist(table, scratch->c_str(), &found);
    if (st == KS_ST_NOT_FOUND) {
      m.missing = i;
      return st;
    }
    if (st != KS_ST_OK) return KS_ST_ERR;
    names->emplace_back(found);
  }
  return KS_ST_OK;
}

ks_status_t direct_match(mf_tgt_table_t *table, mf_tgt_gnu_match_list_t &matches,
                         mf_tgt_inst_desc_t **inst, const char **imp_dep, list_handle_t *deps,
                         list_handle_t *script, const char **stem, const char **pattern) {
  *inst = nullptr;
  clear_outputs(imp_dep, deps, script, stem, pattern);
  std::vector<std::string> names;
  std::string scratch;
  for (mf_tgt_gnu_match_t &m : matches) {
    const ks_status_t st = all_ought_to_exist(table, m, &names, &scratch);
    if (st == KS_ST_NOT_FOUND) continue;
    if (st != KS_ST_OK) return st;
    *inst = m.rule->inst;
    take(table, m, names, imp_dep, deps, script, stem, pattern);
    return KS_ST_OK;
  }
  return KS_ST_NOT_FOUND;
}

ks_status_t chain_match(mf_tgt_table_t *table, RuleIndex &ix, Excl &excl,
                        mf_tgt_gnu_match_list_t &matches, const char **imp_dep,
                        list_handle_t *deps, list_handle_t *script, const char **stem,
                        const char **pattern);

// Whether the dependency name can be made by the pattern rules not on excl, as a target is
// searched: 0 yes (the group of a directly matched rule is carried over to it), KS_ST_NOT_FOUND,
// KS_ST_ERR.
// Match lists of the searches under way, kept for the next search at the same depth.
std::deque<mf_tgt_gnu_match_list_t> list_pool;  // a deque: growing it moves no list
size_t lists_in_use = 0;

// A cleared match list for one level of the search, handed back when the level ends.
class PooledList {
 public:
  PooledList() {
    if (list_pool.size() <= lists_in_use) list_pool.resize(lists_in_use + 1);
    index_ = lists_in_use++;
    list_pool[index_].clear();
  }
  ~PooledList() { lists_in_use--; }
  PooledList(const PooledList &) = delete;
  PooledList &operator=(const PooledList &) = delete;
  mf_tgt_gnu_match_list_t &get() { return list_pool[index_]; }

 private:
  size_t index_;
};

ks_status_t can_make(mf_tgt_table_t *table, RuleIndex &ix, Excl &excl,
                     const std::string &name) {
  PooledList pooled;
  mf_tgt_gnu_match_list_t &matches = pooled.get();
  int all = 1;
  if (match_list(table, ix, excl, name.c_str(), nullptr, &all, matches, true) != KS_ST_OK)
    return KS_ST_ERR;
  if (matches.empty()) return KS_ST_NOT_FOUND;
  mf_tgt_inst_desc_t *inst = nullptr;
  const char *imp = nullptr;
  list_handle_t deps = LIST_HANDLE_NULL;
  list_handle_t script = LIST_HANDLE_NULL;
  const char *stem = nullptr;
  const char *pattern = nullptr;
  ks_status_t rc = direct_match(table, matches, &inst, &imp, &deps, &script, &stem, &pattern);
  if (rc == KS_ST_OK) {
    carry_group(table, name.c_str(), inst, stem, pattern, imp);
  } else if (rc == KS_ST_NOT_FOUND) {
    rc = chain_match(table, ix, excl, matches, &imp, &deps, &script, &stem, &pattern);
  }
  if (deps != LIST_HANDLE_NULL) list_destroy(deps);
  return rc;
}

ks_status_t chain_match(mf_tgt_table_t *table, RuleIndex &ix, Excl &excl,
                        mf_tgt_gnu_match_list_t &matches, const char **imp_dep,
                        list_handle_t *deps, list_handle_t *script, const char **stem,
                        const char **pattern) {
  clear_outputs(imp_dep, deps, script, stem, pattern);
  // What the direct match found missing stays missing until a group is carried over.
  const uint64_t carries = group_carries;
  std::vector<std::string> names;
  for (mf_tgt_gnu_match_t &m : matches) {
    const Rule &r = rule_of(ix, m);
    if (terminal(m) || excl.holds(r)) continue;
    names.clear();
    bool all = true;
    bool intermediate = false;
    list_handle_t rule_deps = m.rule->inst->deps;
    void *d = nullptr;
    int32_t i = 0;
    for (list_cursor_t c =
             rule_deps != LIST_HANDLE_NULL ? list_next(rule_deps, nullptr, &d) : nullptr;
         c != nullptr; c = list_next(rule_deps, c, &d), ++i) {
      std::string name;
      dep_name(m, static_cast<const char *>(d), &name);
      const char *found = nullptr;
      ks_status_t st = i == m.missing && carries == group_carries
                           ? KS_ST_NOT_FOUND
                           : mf_tgt_gnu_dep_ought_to_exist(table, name.c_str(), &found);
      if (st == KS_ST_OK) {
        names.emplace_back(found);
        continue;
      }
      if (st != KS_ST_NOT_FOUND) return KS_ST_ERR;
      // The rule is not used again to make its own dependency, however deep the chain goes.
      excl.count[r.id]++;
      st = can_make(table, ix, excl, name);
      excl.count[r.id]--;
      if (st == KS_ST_OK) {
        names.push_back(std::move(name));
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

}  // namespace

ks_status_t mf_tgt_gnu_get_patt_match_list(mf_tgt_table_t *table, const mf_tgt_excl_list_t &excl,
                                           const char *name, const char *member,
                                           int *all_match_anything,
                                           mf_tgt_gnu_match_list_t &matches) {
  RuleIndex &ix = index_of(table);
  return match_list(table, ix, excl_of(ix, excl), name, member, all_match_anything, matches);
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
  return direct_match(table, matches, inst, imp_dep, deps, script, stem, pattern);
}

ks_status_t mf_tgt_gnu_chain_patt_match(mf_tgt_table_t *table, mf_tgt_excl_list_t &excl,
                                        mf_tgt_gnu_match_list_t &matches, const char **imp_dep,
                                        list_handle_t *deps, list_handle_t *script,
                                        const char **stem, const char **pattern) {
  RuleIndex &ix = index_of(table);
  Excl e = excl_of(ix, excl);
  // The list may come from anywhere: what a direct match found is asked again.
  for (mf_tgt_gnu_match_t &m : matches) m.missing = -1;
  return chain_match(table, ix, e, matches, imp_dep, deps, script, stem, pattern);
}

int mf_tgt_gnu_find_patt_inst(mf_tgt_table_t *table, const char *name, const char *member,
                              const char **imp_dep, list_handle_t *deps, list_handle_t *script,
                              const char **stem) {
  const char *pattern = nullptr;
  clear_outputs(imp_dep, deps, script, stem, &pattern);
  RuleIndex &ix = index_of(table);
  Excl excl;
  excl.count.assign(ix.ids.size(), 0);
  PooledList pooled;
  mf_tgt_gnu_match_list_t &matches = pooled.get();
  int all = 1;
  if (match_list(table, ix, excl, name, member, &all, matches, true) != KS_ST_OK) return 1;
  if (matches.empty()) return 1;
  mf_tgt_inst_desc_t *inst = nullptr;
  const ks_status_t rc =
      direct_match(table, matches, &inst, imp_dep, deps, script, stem, &pattern);
  if (rc == KS_ST_OK) {
    carry_group(table, name, inst, *stem, pattern, *imp_dep);
    return 0;
  }
  if (rc != KS_ST_NOT_FOUND) return 1;
  return chain_match(table, ix, excl, matches, imp_dep, deps, script, stem, &pattern) == KS_ST_OK
             ? 0
             : 1;
}

uint64_t mf_tgt_gnu_group_carries() { return group_carries; }

void mf_tgt_gnu_forget_table(mf_tgt_table_t *table) {
  if (rule_index.table == table) rule_index = RuleIndex{};
}
