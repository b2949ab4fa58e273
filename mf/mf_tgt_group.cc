#include "mf/mf_tgt_group.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/bldr_macro.h"
#include "mf/bldr_opts.h"
#include "mf/mf.h"
#include "mf/mf_tgt_lookup.h"
#include "tbs/tbs_status.h"

namespace {

constexpr size_t kNameSize = 1024;

const imsg_msg_table_t *msgs() { return &_mf_tgt_karsel_msg_table; }

// pattern with its first '%' replaced by stem (a pattern without '%' as it is); false after an
// internal error when the result does not fit a name buffer.
bool substitute(const char *pattern, const char *stem, std::string *out) {
  const char *pct = std::strchr(pattern, '%');
  if (pct == nullptr) {
    *out = pattern;
    return true;
  }
  *out = std::string(pattern, size_t(pct - pattern)) + stem + (pct + 1);
  if (out->size() < kNameSize) return true;
  imsg_print(IMSG_ERROR, "Failed to substitute \"%s\" into \"%s\"\n", -1, stem, pattern);
  return false;
}

list_handle_t opts_patterns(bldr_opts_patt_kind_t kind) {
  return mfc_curr_opts_handle != BLDR_OPTS_HANDLE_NULL
             ? bldr_opts_get_patt_list(mfc_curr_opts_handle, kind)
             : LIST_HANDLE_NULL;
}

// The directory and last component of value as the automatic macros give them: false after an
// internal error when value cannot be split.
// Splits value into its directory d and last component l; false after the message.
bool split_parts(const char *value, char (&d)[kNameSize], char (&l)[256]) {
  if (fileutl_strip_leaf(value, sizeof d, d, sizeof l, l) == KS_ST_OK) return true;
  imsg_print(IMSG_ERROR, msgs(), MF_TGT_MSG_STRIP_LEAF, value);
  return false;
}

bool split_value(const char *value, std::string *dir, std::string *leaf) {
  char d[kNameSize];
  char l[256];
  if (!split_parts(value, d, l)) return false;
  *dir = d;
  *leaf = l;
  return true;
}

bool define(bldr_macro_table_t *table, const std::string &name, const std::string &value) {
  return bldr_macro_define(table, name.c_str(), value.c_str(), 0) == KS_ST_OK;
}

}  // namespace

list_handle_t mf_tgt_expand_patt_cotargets(list_handle_t patterns, const char *tgt_pn,
                                           const char *stem, stg_area_t area) {
  list_handle_t members = mf_tgt_new_list(area);
  auto add = [&](const char *name) {
    char *copy = stg_area_strdup(area, name);
    if (copy == nullptr) mf_tgt_out_of_memory();
    mf_tgt_list_append(members, copy);
  };
  add(tgt_pn);
  for (const char *p : mf_tgt_list_strings(patterns)) {
    std::string member;
    if (substitute(p, stem, &member)) add(member.c_str());
  }
  return members;
}

mf_tgt_inst_desc_t *mf_tgt_require_expanded_tgt_instance(const char *tgt_pn, const char *stem,
                                                         const char *imp_dep,
                                                         list_handle_t patt_script,
                                                         list_handle_t patt_deps,
                                                         mf_tgt_table_t *table_p) {
  PFM_ASSERT(MF_GNUMAKE_VARIANT(table_p->compat_variant));
  const char *key = nullptr;
  bool existed = false;
  mf_tgt_entry_t *e = mf_tgt_enter_name(table_p, tgt_pn, &key, &existed);
  if (existed == 0 || (!e->defined_as_target && e->is_a_dependency)) {
    mf_tgt_utl_declare_target(key, e, table_p, 1, 0, nullptr);
    e->implicit_target = 1;
    e->lookup_done = 1;
    e->validation = 1;
  }
  list_handle_t deps = LIST_HANDLE_NULL;
  for (const char *d : mf_tgt_list_strings(patt_deps)) {
    std::string name;
    if (!substitute(d, stem, &name)) continue;
    if (deps == LIST_HANDLE_NULL) deps = mf_tgt_heap_list();
    mf_tgt_list_append(deps, mf_tgt_area_copy(table_p, name.c_str()));
  }
  mf_tgt_inst_desc_t *inst = mf_tgt_create_inst_desc(
      table_p, e, mf_tgt_utl_copy_dep_list(table_p, deps, 0), patt_script, imp_dep);
  if (deps != LIST_HANDLE_NULL) list_destroy(deps);
  inst->tgt_base_pname = stem != nullptr ? mf_tgt_area_copy(table_p, stem) : nullptr;
  inst->flags |= MF_TGT_INST_FROM_PATTERN;
  if (e->instances == LIST_HANDLE_NULL) e->instances = mf_tgt_area_list(table_p);
  mf_tgt_list_append(e->instances, inst);
  return inst;
}

void mf_tgt_copy_target_groupness(mf_tgt_table_t *table_p, const char *current_tgt_pn,
                                  mf_tgt_inst_desc_t *patt_inst_desc_p, const char *tgt_stem,
                                  const char *patt_pn, const char *imp_dep) {
  PFM_ASSERT(table_p != NULL);
  PFM_ASSERT(current_tgt_pn != NULL);
  PFM_ASSERT(patt_inst_desc_p != NULL);
  PFM_ASSERT(tgt_stem != NULL);
  PFM_ASSERT(patt_pn != NULL);
  if (mf_tgt_lookup(table_p, patt_pn) == nullptr) {
    imsg_print(IMSG_ERROR, "No tgt tab entry found for pattern \"%s\"\n", -1, patt_pn);
    return;
  }
  const list_handle_t patt_cotargets = mf_tgt_inst_cotargets(table_p, patt_inst_desc_p);
  if (!mf_tgt_has_lines(patt_cotargets)) return;
  list_handle_t existing = LIST_HANDLE_NULL;
  if (mf_tgt_has_cotargets(table_p, current_tgt_pn, &existing)) return;
  list_handle_t members =
      mf_tgt_expand_patt_cotargets(patt_cotargets, current_tgt_pn, tgt_stem, table_p->area);
  const std::vector<const char *> names = mf_tgt_list_strings(members);
  if (names.size() < 2) return;
  if (mfc_curr_opts_handle != BLDR_OPTS_HANDLE_NULL) {
    // The options record strips "./" from the names of a set in place: it gets copies of its own.
    list_handle_t set = mf_tgt_area_list(table_p);
    for (const char *n : names) mf_tgt_list_append(set, mf_tgt_area_copy(table_p, n));
    bldr_opts_add_parallel_interference_set(mfc_curr_opts_handle, set, 0);
  }
  for (size_t i = 0; i < names.size(); ++i) {
    mf_tgt_inst_desc_t *inst =
        mf_tgt_require_expanded_tgt_instance(names[i], tgt_stem, imp_dep, patt_inst_desc_p->script,
                                             patt_inst_desc_p->deps, table_p);
    mf_tgt_inst_more_t *more = mf_tgt_inst_more(table_p, inst);
    if (more->cotargets == LIST_HANDLE_NULL) more->cotargets = mf_tgt_area_list(table_p);
    for (size_t j = 0; j < names.size(); ++j)
      if (j != i) mf_tgt_list_append(more->cotargets, mf_tgt_area_copy(table_p, names[j]));
    mf_tgt_claim_sibs_affect_reuse(table_p, names[i]);
  }
}

void mf_tgt_claim_sibs_affect_reuse(mf_tgt_table_t *table_p, const char *tgt_pn) {
  PFM_ASSERT(table_p != NULL);
  PFM_ASSERT(tgt_pn != NULL);
  const char *key = nullptr;
  bool existed = false;
  mf_tgt_entry_t *e = mf_tgt_enter_name(table_p, tgt_pn, &key, &existed);
  if (existed == 0) mf_tgt_utl_declare_target(key, e, table_p, 0, 0, nullptr);
  e->sibs_affect_reuse = 1;
}

int mf_tgt_sibs_affect_reuse(mf_tgt_table_t *table_p, const char *tgt_pn) {
  PFM_ASSERT(table_p != NULL);
  PFM_ASSERT(tgt_pn != NULL);
  mf_tgt_entry_t *e = mf_tgt_lookup(table_p, tgt_pn);
  return e != nullptr ? e->sibs_affect_reuse : 0;
}

void mf_tgt_dissolve_tgt_group(mf_tgt_table_t *table, mf_tgt_entry_t *entry) {
  if (entry == nullptr || entry->instances == LIST_HANDLE_NULL) return;
  void *d = nullptr;
  for (list_cursor_t c = list_next(entry->instances, nullptr, &d); c != nullptr;
       c = list_next(entry->instances, c, &d)) {
    auto *inst = static_cast<mf_tgt_inst_desc_t *>(d);
    mf_tgt_inst_more_t *more = mf_tgt_inst_more_of(table, inst);
    if (more == nullptr || more->cotargets == LIST_HANDLE_NULL) continue;
    list_handle_t members = more->cotargets;
    // Detached first, so that the recursion ends at members already dissolved.
    more->cotargets = LIST_HANDLE_NULL;
    for (const char *name : mf_tgt_list_strings(members)) {
      mf_tgt_entry_t *m = mf_tgt_lookup(table, name);
      if (m == nullptr) {
        imsg_print(IMSG_ERROR, "Target \"%s\" not declared before target group dissolution\n",
                   -1, name);
        break;
      }
      mf_tgt_dissolve_tgt_group(table, m);
    }
    list_destroy(members);
  }
}

int mf_tgt_require_one_tgt_for_tgt_group_consistency(mf_tgt_table_t *table, const char *tgt_pn) {
  mf_tgt_entry_t *e = mf_tgt_lookup(table, tgt_pn);
  if (e == nullptr) {
    imsg_print(IMSG_ERROR, "Target \"%s\" not declared before consistency check\n", -1, tgt_pn);
    return 1;
  }
  if (fileutl_patt_list_match(opts_patterns(BLDR_OPTS_SIBLING_IGNORED_FOR_REUSE), tgt_pn) &&
      mf_tgt_tracing(2))
    imsg_print(IMSG_WARNING, msgs(), MF_TGT_MSG_GROUP_IMPLICIT, tgt_pn,
               ".SIBLING_IGNORED_FOR_REUSE");
  const char *special = nullptr;
  if (fileutl_patt_list_match(opts_patterns(BLDR_OPTS_NO_DO_FOR_SIBLING), tgt_pn))
    special = ".NO_DO_FOR_SIBLING";
  else if (fileutl_patt_list_match(opts_patterns(BLDR_OPTS_NO_WINK_IN), tgt_pn))
    special = ".NO_WINK_IN";
  if (special == nullptr) return 1;
  if (mf_tgt_tracing(1)) imsg_print(IMSG_WARNING, msgs(), MF_TGT_MSG_GROUP_EXCLUSIVE, tgt_pn, special);
  mf_tgt_dissolve_tgt_group(table, e);
  return 0;
}

void mf_tgt_require_tgt_group_consistency(mf_tgt_table_t *table, const char *tgt_pn) {
  if (mf_tgt_lookup(table, tgt_pn) == nullptr) {
    imsg_print(IMSG_ERROR, "Target \"%s\" not declared before consistency check\n", -1, tgt_pn);
    return;
  }
  list_handle_t cotargets = LIST_HANDLE_NULL;
  if (!mf_tgt_has_cotargets(table, tgt_pn, &cotargets)) {
    imsg_print(IMSG_ERROR, "Target \"%s\" is not a member of a target group\n", -1, tgt_pn);
    return;
  }
  // Copied: a dissolution detaches the list.
  const std::vector<const char *> members = mf_tgt_list_strings(cotargets);
  if (!mf_tgt_require_one_tgt_for_tgt_group_consistency(table, tgt_pn)) return;
  for (const char *m : members)
    if (!mf_tgt_require_one_tgt_for_tgt_group_consistency(table, m)) return;
}

int mf_tgt_utl_targets_belong_to_same_mf_group(mf_tgt_table_t *table_h, const char *tgt_name1,
                                               const char *tgt_name2) {
  PFM_ASSERT(table_h != MF_TGT_TABLE_NULL);
  PFM_ASSERT(!STRUTL_IS_NULL(tgt_name1));
  PFM_ASSERT(!STRUTL_IS_NULL(tgt_name2));
  mf_tgt_entry_t *e1 = mf_tgt_lookup(table_h, tgt_name1);
  mf_tgt_entry_t *e2 = mf_tgt_lookup(table_h, tgt_name2);
  if (e1 == nullptr || e2 == nullptr || e2->instances == LIST_HANDLE_NULL ||
      e1->instances == LIST_HANDLE_NULL)
    return 0;
  void *d = nullptr;
  for (list_cursor_t c = list_next(e1->instances, nullptr, &d); c != nullptr;
       c = list_next(e1->instances, c, &d))
    if (mf_tgt_list_holds(mf_tgt_inst_cotargets(table_h, static_cast<mf_tgt_inst_desc_t *>(d)),
                           tgt_name2))
      return 1;
  return 0;
}

bool mf_tgt_special_macdef_splits(const char *value) {
  char d[kNameSize];
  char l[256];
  // Each part of a value shorter than both buffers fits in its buffer.
  static_assert(sizeof l <= sizeof d);
  if (std::strlen(value) < sizeof l) return true;
  return split_parts(value, d, l);
}

int mf_tgt_set_special_macdef(uint32_t variant, bldr_macro_table_t *macro_table, const char *name,
                              const char *value) {
  std::string dir;
  std::string leaf;
  if (!split_value(value, &dir, &leaf)) return 1;
  const size_t n = std::strlen(value);
  const bool slash_rule = variant == MF_COMPAT_SGISMAKE || variant == MF_COMPAT_SUN ||
                          variant == MF_COMPAT_SGIPMAKE || variant == MF_COMPAT_KELTO;
  if (slash_rule && n > 0 && value[n - 1] == '/') {
    dir.assign(value, n - 1);
    leaf.clear();
  }
  if (dir.empty() && n > 0) dir = ".";
  const std::string base(name);
  if (!define(macro_table, base, value) || !define(macro_table, base + "D", dir) ||
      !define(macro_table, base + "F", leaf))
    return 1;
  return 0;
}

int mf_tgt_set_special_macdef_list(bldr_macro_table_t *macro_table, list_handle_t values,
                                   const char *name, std::string *value_str) {
  std::string all;
  std::string dirs;
  std::string leaves;
  bool first = true;
  for (const char *v : mf_tgt_list_strings(values)) {
    std::string dir;
    std::string leaf;
    if (!split_value(v, &dir, &leaf)) return 1;
    if (!first) {
      all += ' ';
      dirs += ' ';
      leaves += ' ';
    }
    first = false;
    all += v;
    dirs += dir.empty() ? "." : dir;
    leaves += leaf;
  }
  const std::string base(name);
  if (!define(macro_table, base, all) || !define(macro_table, base + "D", dirs) ||
      !define(macro_table, base + "F", leaves))
    return 1;
  if (value_str != nullptr) *value_str = all;
  return 0;
}

int mf_tgt_special_macdef(const char *definition, uint32_t variant) {
  const char *eq = std::strchr(definition, '=');
  if (eq == nullptr || eq == definition) {
    imsg_print(IMSG_ERROR, msgs(), MF_TGT_MSG_MALFORMED_DEF, definition);
    return 0;
  }
  const std::string_view name(definition, size_t(eq - definition));
  static constexpr std::string_view kNames[] = {"@", "@D", "@F", "*", "?", ">", "<", "%", "!"};
  for (std::string_view n : kNames)
    if (name == n) return 1;
  if (mf_tgt_variant_is_bsd(variant)) {
    static constexpr std::string_view kLong[] = {".TARGET", ".PREFIX", ".OODATE", ".ALLSRC",
                                                 ".IMPSRC", ".MEMBER", ".ARCHIVE"};
    for (std::string_view n : kLong)
      if (name == n) return 1;
  }
  return 0;
}
