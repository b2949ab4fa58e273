#include "mf/mf_tgt_patt.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "mf/bldr_macro.h"
#include "mf/mf.h"
#include "mf/mf_tgt_gnu.h"
#include "mf/mf_tgt_lookup.h"
#include "mf/mf_tgt_suff.h"
#include "mf/mf_tgt_validate.h"
#include "tbs/tbs_status.h"

namespace {

constexpr size_t kNameSize = 1024;

const imsg_msg_table_t *msgs() { return &_mf_tgt_karsel_msg_table; }

// The names being inferred on the path of the current lookup, outermost first.
std::vector<std::string> inferring;

// Keeps name on the path of the current lookup while it lives; active() is false when the name
// already was on it (rules that lead back to one another).
class InferenceGuard {
 public:
  explicit InferenceGuard(const char *name)
      : active_(std::find(inferring.begin(), inferring.end(), name) == inferring.end()) {
    if (active_) inferring.emplace_back(name);
  }
  ~InferenceGuard() {
    if (active_) inferring.pop_back();
  }
  InferenceGuard(const InferenceGuard &) = delete;
  InferenceGuard &operator=(const InferenceGuard &) = delete;
  bool active() const { return active_; }

 private:
  bool active_;
};

// What the std/sun pattern search found for one name.
struct PatternMatch {
  std::string imp;
  bool has_imp = false;
  std::vector<std::string> deps;
  list_handle_t script = LIST_HANDLE_NULL;
  std::string stem;
};

// Expands text in the makefile's macro tables: true with the result.
bool expand(mf_tgt_table_t *table, const char *text, std::string *out) {
  return mf_tgt_expand_text(table->compat_variant, mfc_mf_macro_table_list, text, out);
}

int patt_search(mf_tgt_table_t *table, mf_tgt_excl_list_t &excl, const char *name,
                const char *member, PatternMatch *out);

// Whether the dependency dn (not found) can be made by a pattern rule (not on excl) or a suffix
// rule: 0 yes, 1 no, -1 error.
int buildable(mf_tgt_table_t *table, mf_tgt_excl_list_t &excl, const std::string &dn) {
  PatternMatch ignored;
  const int r = patt_search(table, excl, dn.c_str(), nullptr, &ignored);
  if (r == 0) return 0;
  if (r < 0) return -1;
  const char *imp = nullptr;
  list_handle_t script = LIST_HANDLE_NULL;
  const char *stem = nullptr;
  const int s = mf_tgt_find_suffix_instance(table, dn.c_str(), nullptr, 0, 0, LIST_HANDLE_NULL,
                                            &imp, &script, &stem);
  if (s == 0) return 0;
  return s == 1 ? 1 : -1;
}

// Tries one pattern rule whose target pattern (expanded: patt) matched with stem: 0 taken, 1 given
// up, -1 error.
int try_rule(mf_tgt_table_t *table, mf_tgt_excl_list_t &excl, const char *name,
             mf_tgt_inst_desc_t *inst, const std::string &stem, PatternMatch *out) {
  bool pattern_dep_seen = false;
  std::string first_plain;
  bool have_first_plain = false;
  for (const char *d : mf_tgt_list_strings(inst->deps)) {
    const bool is_pattern = std::strchr(d, '%') != nullptr;
    std::string dn;
    if (is_pattern) {
      if (pattern_dep_seen) {
        imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_MULTI_DEP_PATTERNS, name);
        return -1;
      }
      pattern_dep_seen = true;
      std::string dp(d);
      if (dp.find('$') != std::string::npos) {
        if (!expand(table, d, &dp)) return -1;
        if (dp.find('%') == std::string::npos) {
          imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_PATTERN_LOST, d, dp.c_str());
          return -1;
        }
      }
      const size_t pct = dp.find('%');
      dn = dp.substr(0, pct) + stem + dp.substr(pct + 1);
    } else {
      dn = d;
      if (!have_first_plain) {
        first_plain = d;
        have_first_plain = true;
      }
    }
    const char *found = nullptr;
    if (mf_tgt_find_dep(table, dn.c_str(), &found) == KS_ST_OK) {
      // The name under which the dependency was found is listed (a dependency found in a
      // search directory under that path alone, so that nothing names a file that is not there).
      out->deps.emplace_back(found);
      if (is_pattern) {
        out->imp = found;
        out->has_imp = true;
      }
      continue;
    }
    const int b = buildable(table, excl, dn);
    if (b != 0) return b;
    if (is_pattern) {
      out->imp = dn;
      out->has_imp = true;
    } else {
      out->deps.push_back(dn);
    }
  }
  if (!out->has_imp && have_first_plain) {
    out->imp = first_plain;
    out->has_imp = true;
  }
  out->script = inst->script;
  out->stem = stem;
  return 0;
}

int patt_search(mf_tgt_table_t *table, mf_tgt_excl_list_t &excl, const char *name,
                const char *member, PatternMatch *out) {
  if (table->pattern_rule_list == LIST_HANDLE_NULL) return 1;
  void *d = nullptr;
  for (list_cursor_t c = list_next(table->pattern_rule_list, nullptr, &d); c != nullptr;
       c = list_next(table->pattern_rule_list, c, &d)) {
    auto *rec = static_cast<mf_tgt_pattern_rule_t *>(d);
    std::string patt(rec->pattern);
    if (patt.find('$') != std::string::npos && !expand(table, rec->pattern, &patt)) return -1;
    if (std::find(excl.begin(), excl.end(), patt) != excl.end()) continue;
    char stem[kNameSize];
    const int m = mf_tgt_match_patt(patt.c_str(), name, member, stem, sizeof stem,
                                    table->compat_variant);
    if (m < 0) return -1;
    if (m != 0) continue;
    mf_tgt_entry_t *e = mf_tgt_lookup(table, rec->pattern);
    if (e == nullptr || !e->defined_as_target) {
      imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_NO_PATTERN_ENTRY, rec->pattern);
      return -1;
    }
    if (e->instances == LIST_HANDLE_NULL || list_is_empty(e->instances)) {
      imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_EMPTY_INSTANCES, rec->pattern);
      return -1;
    }
    excl.push_back(patt);
    PatternMatch found;
    const int r = try_rule(table, excl, name, rec->inst, stem, &found);
    excl.pop_back();
    if (r < 0) return -1;
    if (r == 0) {
      *out = std::move(found);
      return 0;
    }
  }
  return 1;
}

ks_status_t find_dep(mf_tgt_table_t *table, const char *name, bool gnu_ought,
                     const char **found, int *in_table) {
  *found = nullptr;
  auto known = [&](const char *n, const char **key, int *present) {
    void *data = nullptr;
    const int there =
        mf_tgt_may_hold(table, n) && hash_str_lookup(table->comp_table, n, key, &data);
    if (present != nullptr) *present = there != 0;
    if (!there) return false;
    auto *e = static_cast<mf_tgt_entry_t *>(data);
    return e->defined_as_target || (gnu_ought && e->is_a_dependency);
  };
  const char *key = nullptr;
  if (known(name, &key, in_table)) {
    *found = key;
    return KS_ST_OK;
  }
  ks_status_t st = mf_tgt_obj_exists(name);
  if (st == KS_ST_OK) {
    *found = mf_tgt_area_copy(table, name);
    return KS_ST_OK;
  }
  if (st != KS_ST_NOT_FOUND) {
    imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_CANT_CHECK, name);
    return st;
  }
  if (mf_tgt_tracing(3))
    mf_tgt_trace_row(3, MF_TGT_MSG_DEP_NOT_FOUND, name, tbs_strerror(KS_ST_NOT_FOUND));
  const char *search = name;
  if (mf_tgt_java_audits()) {
    // Java sources are found by their last component in the search directories.
    const char *slash = std::strrchr(name, '/');
    if (slash != nullptr) search = slash + 1;
  } else if (name[0] == '/') {
    return KS_ST_NOT_FOUND;
  }
  list_handle_t dirs = mf_tgt_apply_search_list(table, search, 0);
  if (dirs == LIST_HANDLE_NULL) {
    if (!gnu_ought && std::strchr(name, '$') != nullptr) {
      // Left for a later expansion.
      *found = mf_tgt_area_copy(table, name);
      return KS_ST_OK;
    }
    return KS_ST_NOT_FOUND;
  }
  ks_status_t rc = KS_ST_NOT_FOUND;
  for (const char *dir : mf_tgt_list_strings(dirs)) {
    const std::string path = std::string(dir) + "/" + search;
    if (path.size() >= kNameSize) {
      mf_tgt_trace_row(2, MF_TGT_MSG_CANT_CONCAT, dir, search);
      continue;
    }
    if (known(path.c_str(), &key, nullptr)) {
      *found = key;
      rc = KS_ST_OK;
      break;
    }
    st = mf_tgt_obj_exists(path.c_str());
    if (st == KS_ST_OK) {
      *found = mf_tgt_area_copy(table, path.c_str());
      rc = KS_ST_OK;
      break;
    }
    if (st != KS_ST_NOT_FOUND) {
      imsg_print_cold(IMSG_ERROR, msgs(), MF_TGT_MSG_CANT_CHECK, name);
      rc = st;
      break;
    }
    mf_tgt_trace_row(3, MF_TGT_MSG_DEP_NOT_FOUND, path.c_str(), tbs_strerror(KS_ST_NOT_FOUND));
  }
  pfm_inhibit();
  list_destroy(dirs);
  pfm_enable();
  if (rc == KS_ST_NOT_FOUND && !gnu_ought && std::strchr(name, '$') != nullptr) {
    // Left for a later expansion.
    *found = mf_tgt_area_copy(table, name);
    rc = KS_ST_OK;
  }
  return rc;
}

}  // namespace

bool mf_tgt_being_inferred(const char *name) {
  return std::find(inferring.begin(), inferring.end(), name) != inferring.end();
}

int mf_tgt_match_patt(const char *pattern, const char *name, const char *member, char *stem_buf,
                      size_t stem_size, uint32_t variant) {
  const char *pat = pattern;
  const char *subject = name;
  char plib[kNameSize];
  char pmem[kNameSize];
  if (member != nullptr) {
    const ks_status_t st = mf_tgt_split_lib_member(pattern, plib, sizeof plib, pmem, sizeof pmem,
                                                   variant);
    if (st == KS_ST_NOT_FOUND) return 1;
    if (st != KS_ST_OK) return -1;
    // The name's library, in the same split form as the pattern's.
    char nlib[kNameSize];
    char nmem[kNameSize];
    const char *lib_of_name = name;
    if (name != nullptr && std::strchr(name, '(') != nullptr &&
        mf_tgt_split_lib_member(name, nlib, sizeof nlib, nmem, sizeof nmem, variant) == KS_ST_OK)
      lib_of_name = nlib;
    if (std::strcmp(plib, "()") != 0 &&
        (lib_of_name == nullptr || std::strcmp(plib, lib_of_name) != 0))
      return 1;
    pat = pmem;
    subject = member;
  } else if (name == nullptr) {
    return 1;
  }
  const char *pct = std::strchr(pat, '%');
  if (pct == nullptr) {
    imsg_print_cold(IMSG_ERROR, &_mf_tgt_karsel_msg_table, MF_TGT_MSG_NO_WILDCARD, pat);
    return -1;
  }
  const std::string_view s(subject);
  if (s.empty()) return 1;
  const std::string_view prefix(pat, size_t(pct - pat));
  const std::string_view suffix(pct + 1);
  if (s.size() < prefix.size() + suffix.size() || s.substr(0, prefix.size()) != prefix ||
      s.substr(s.size() - suffix.size()) != suffix)
    return 1;
  const size_t stem_len = s.size() - prefix.size() - suffix.size();
  if (stem_len >= kNameSize || stem_len >= stem_size) {
    imsg_print_cold(IMSG_ERROR, &_mf_tgt_karsel_msg_table, MF_TGT_MSG_NAME_TOO_LONG, subject);
    return -1;
  }
  std::memcpy(stem_buf, subject + prefix.size(), stem_len);
  stem_buf[stem_len] = '\0';
  return 0;
}

ks_status_t mf_tgt_find_dep(mf_tgt_table_t *table, const char *name, const char **found) {
  return find_dep(table, name, false, found, nullptr);
}

ks_status_t mf_tgt_gnu_dep_ought_to_exist(mf_tgt_table_t *table, const char *name,
                                          const char **found) {
  return find_dep(table, name, true, found, nullptr);
}

ks_status_t mf_tgt_find_dep_in(mf_tgt_table_t *table, const char *name, int gnu_ought,
                               const char **found, int *in_table) {
  return find_dep(table, name, gnu_ought != 0, found, in_table);
}

int mf_tgt_find_patt_match_inst(mf_tgt_table_t *table, mf_tgt_excl_list_t &excl, const char *name,
                                const char *member, const char **imp_dep, list_handle_t *deps,
                                list_handle_t *script, const char **stem) {
  *imp_dep = nullptr;
  *deps = LIST_HANDLE_NULL;
  *script = LIST_HANDLE_NULL;
  *stem = nullptr;
  PatternMatch m;
  const int rc = patt_search(table, excl, name, member, &m);
  if (rc != 0) return rc;
  if (m.has_imp) *imp_dep = mf_tgt_area_copy(table, m.imp.c_str());
  if (!m.deps.empty()) {
    *deps = mf_tgt_heap_list();
    for (const std::string &d : m.deps) mf_tgt_list_append(*deps, mf_tgt_area_copy(table, d.c_str()));
  }
  *script = m.script;
  *stem = mf_tgt_area_copy(table, m.stem.c_str());
  return 0;
}

int mf_tgt_implicit_instance(mf_tgt_table_t *table, const char *name, const char *member,
                             int depth, int explicit_tgt, list_handle_t explicit_deps,
                             int has_script, const char **imp_dep, list_handle_t *script,
                             int *patt, list_handle_t *deps, const char **stem) {
  *imp_dep = nullptr;
  *script = LIST_HANDLE_NULL;
  *patt = 0;
  *deps = LIST_HANDLE_NULL;
  *stem = nullptr;
  InferenceGuard guard(name);
  if (!guard.active()) {
    imsg_print_cold(IMSG_WARNING, msgs(), MF_TGT_MSG_RULE_CYCLE, name);
    return 1;
  }
  const uint32_t v = table->compat_variant;
  const bool pattern_rules =
      table->pattern_rule_list != LIST_HANDLE_NULL && !list_is_empty(table->pattern_rule_list);
  if (v == MF_COMPAT_STD || v == MF_COMPAT_SUN) {
    if (pattern_rules && !(explicit_tgt && has_script)) {
      mf_tgt_excl_list_t excl;
      if (mf_tgt_find_patt_match_inst(table, excl, name, member, imp_dep, deps, script, stem) ==
          0) {
        *patt = 1;
        return 0;
      }
    }
    return mf_tgt_find_suffix_instance(table, name, member, depth, explicit_tgt, explicit_deps,
                                       imp_dep, script, stem);
  }
  if (mf_tgt_variant_is_gnu(v)) {
    if ((explicit_tgt && has_script) || !pattern_rules) return 1;
    if (mf_tgt_gnu_find_patt_inst(table, name, member, imp_dep, deps, script, stem) != 0)
      return 1;
    *patt = 1;
    return 0;
  }
  return mf_tgt_find_suffix_instance(table, name, member, depth, explicit_tgt, explicit_deps,
                                     imp_dep, script, stem);
}
