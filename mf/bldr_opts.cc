#include "mf/bldr_opts.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "bld/bldr_ctl.h"
#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "mf/mf_flex.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"

extern char **environ;

namespace {

const char *const formats[] = {
    /* 0 */ "Empty target list for %s\n",
    /* 1 */ "Null target list illegal\n",
    /* 2 */ "Hashed mf filename %s against mfs filename %s\n",
    /* 3 */ "Mf filename %s already hashed against mfs filename %s\n",
    /* 4 */ "Found hashed mf name %s for mfs name %s\n",
    /* 5 */ "Malformed EV def \"%s\"\n",
    /* 6 */ "Environment variable \"%s...\":  name too long.  Ignoring.\n",
    /* 7 */ "Could not expand macro %s value %s\n",
};
const uint16_t catalog[sizeof formats / sizeof formats[0]] = {};

enum Row {
  kEmptyList = 0,
  kNullList = 1,
  kHashed = 2,
  kAlreadyHashed = 3,
  kFoundHashed = 4,
  kMalformedEv = 5,
  kEvNameTooLong = 6,
};

const char *const kModule = "mf/bldr_opts";
const char *const kTrace = "bldr_opts";
constexpr unsigned kBuckets = 256;
constexpr size_t kMaxEvName = 1024;

uint32_t exporting_macro_defs = 0;

// What the expander asks of the record of the current parse.
struct KindRow {
  const char *name;
  bool empty_means_all;  // a line without names adds the one pattern "%"
};

const KindRow kKinds[BLDR_OPTS_PATT_KIND_COUNT] = {
    {".DEPENDENCY_IGNORED_FOR_REUSE", false},  {".SIBLING_IGNORED_FOR_REUSE", false},
    {".NO_DO_FOR_SIBLING", false},             {".INCREMENTAL_REPOSITORY_SIBLING", false},
    {".INCREMENTAL_TARGET", false},            {".NO_WINK_IN", false},
    {".NO_CMP_SCRIPT", false},                 {".NO_CONFIG_REC", false},
    {".NO_CMP_NON_MF_DEPS", false},            {".MAKEFILES_IN_CONFIG_REC", true},
    {".JAVA_TGTS", true},                      {".DIRECTORY_IGNORED_FOR_REUSE", false},
    {".DIRECTORY_AFFECTS_REUSE", false},       {".NO_CONFIG_MATCH_SLINKS", true},
    {".NO_SIBLING_DO_CONTAINED_IN", false},    {".DO_OID_IGNORED_FOR_REUSE", false},
    {".NO_PRINT_CMP_SCRIPT", true},
};

void no_memory() {
  imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
}

// A list in the record's area; a failure inside the adding operations is fatal.
list_handle_t must_list(BLDR_OPTS_HANDLE h) {
  list_handle_t l = list_create(h->area, 0);
  if (l == LIST_HANDLE_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_LIST_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    PFM_PANIC();
  }
  return l;
}

hash_ht_t must_hash(size_t data_size) {
  hash_ht_t t = hash_str_create(kBuckets, data_size, 1);
  if (t == HASH_HT_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    PFM_PANIC();
  }
  hash_set_order(t);
  return t;
}

void must_append(list_handle_t l, void *datum) {
  if (list_append(l, datum) != KS_ST_OK) {
    no_memory();
    PFM_PANIC();
  }
}

char *area_copy(BLDR_OPTS_HANDLE h, std::string_view s) {
  return stg_area_strndup(h->area, s.data(), s.size());
}

ks_status_t set_export_state(BLDR_OPTS_HANDLE h, const char *name, bldr_opts_export_state_t st,
                             bool only_new) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  void *data;
  int existed = hash_str_enter(h->export_states, name, nullptr, &data);
  if (existed < 0) {
    no_memory();
    return KS_ST_ERR;
  }
  if (!existed || !only_new) *static_cast<bldr_opts_export_state_t *>(data) = st;
  return KS_ST_OK;
}

// Fills the environment table from the process environment.
ks_status_t fill_env_table(bldr_macro_table_t *table) {
  for (char **e = environ; e && *e; e++) {
    std::string_view entry(*e);
    size_t eq = entry.find('=');
    if (eq == std::string_view::npos || eq == 0) {
      imsg_print(IMSG_WARNING, &_bldr_opts_karsel_msg_table, kMalformedEv, *e);
      continue;
    }
    if (eq >= kMaxEvName) {
      if (mf_verbosity > 0 || mf_utl_should_trace(kTrace, 1)) {
        std::string head(entry.substr(0, kMaxEvName - 1));
        imsg_print(IMSG_WARNING, &_bldr_opts_karsel_msg_table, kEvNameTooLong, head.c_str());
      }
      continue;
    }
    std::string name(entry.substr(0, eq));
    if (name == "SHELL" || name == "MAKECMDGOALS") continue;
    if (bldr_macro_define(table, name.c_str(), *e + eq + 1, 0) != KS_ST_OK) return KS_ST_ERR;
  }
  return KS_ST_OK;
}

bool is_pattern(const char *tgt) { return std::strchr(tgt, '%') != nullptr; }

// Enters one definition into a list of definitions by the override rule: an override gives its
// value to the earlier definitions of the same target and name; a plain definition after an
// override of its name is dropped.
void enter_scoped(list_handle_t defs, bldr_opts_tgt_scoped_macdef_t *def) {
  void *d;
  for (list_cursor_t c = list_next(defs, nullptr, &d); c; c = list_next(defs, c, &d)) {
    auto *old = static_cast<bldr_opts_tgt_scoped_macdef_t *>(d);
    if (std::strcmp(old->tgt, def->tgt) != 0 || std::strcmp(old->name, def->name) != 0) continue;
    if (def->op == BLDR_MACRO_OP_OVERRIDE_SCOPED)
      old->value = def->value;  // strings in the area live as long as the record
    else if (old->op == BLDR_MACRO_OP_OVERRIDE_SCOPED)
      return;
  }
  must_append(defs, def);
}

// The iteration state of bldr_opts_get_next_tgt_scoped_macdef.
struct MacdefCursor {
  int phase;                    // 0: pattern definitions; 1: target definitions
  list_cursor_t in_patterns;    // last pattern definition yielded
  hash_cursor_t in_hash;        // current hash entry (walk without a target name)
  list_handle_t tgt_list;       // definitions of the current target
  list_cursor_t in_tgt_list;    // last of them yielded
  bool tgt_list_started;
};

std::string double_dollars(std::string_view s) {
  std::string out;
  for (char c : s) {
    out += c;
    if (c == '$') out += '$';
  }
  return out;
}

char *heap_copy(const std::string &s) {
  char *p = static_cast<char *>(stg_malloc(s.size() + 1));
  if (!p) {
    no_memory();
    return nullptr;
  }
  std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

std::string collapse(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '$' && i + 1 < s.size() && s[i + 1] == '$') {
      char next = i + 2 < s.size() ? s[i + 2] : '\0';
      if (next && std::strchr("{(@%^+<?*", next)) {
        out += "$$";
      } else {
        out += '$';
      }
      i++;
      continue;
    }
    out += s[i];
  }
  return out;
}

// Maps or enters one name (no separators in it).
std::string pname_one(std::string_view name, BLDR_OPTS_HANDLE h, uint32_t direction,
                      uint32_t want_result) {
  if (name.ends_with('/')) return std::string(name);
  std::string given(name);
  char dir[1024], leaf[1024];
  if (fileutl_strip_leaf(given.c_str(), sizeof dir, dir, sizeof leaf, leaf) != KS_ST_OK)
    return given;
  std::string d = *dir ? dir : ".";
  std::string l = leaf;
  const imsg_msg_table_t *table = &_bldr_opts_karsel_msg_table;
  if (!want_result) {
    std::string mf_name = direction == 0 ? l : double_dollars(l);
    std::string fs_name = direction == 0 ? collapse(l) : l;
    if (h->name_pairs == HASH_HT_NULL) h->name_pairs = must_hash(sizeof(char *));
    void *data;
    const char *key;
    int existed = hash_str_enter(h->name_pairs, fs_name.c_str(), &key, &data);
    if (existed < 0) {
      no_memory();
      return given;
    }
    char **slot = static_cast<char **>(data);
    if (existed) {
      if (mf_utl_should_trace(kTrace, 4))
        imsg_print(IMSG_TRACE, table, kAlreadyHashed, *slot, key);
    } else {
      *slot = area_copy(h, mf_name);
      if (!*slot) {
        no_memory();
        hash_str_remove(h->name_pairs, fs_name.c_str());
        return given;
      }
      if (mf_utl_should_trace(kTrace, 4)) imsg_print(IMSG_TRACE, table, kHashed, *slot, key);
    }
    return given;
  }
  std::string mapped = l;
  if (h->name_pairs != HASH_HT_NULL) {
    std::string probe = direction == 0 ? collapse(l) : l;
    void *data;
    const char *key;
    if (hash_str_lookup(h->name_pairs, probe.c_str(), &key, &data)) {
      mapped = direction == 0 ? std::string(key) : std::string(*static_cast<char **>(data));
      if (mf_utl_should_trace(kTrace, 4))
        imsg_print(IMSG_TRACE, table, kFoundHashed, *static_cast<char **>(data), key);
    }
  }
  if (d == "/") return "/" + mapped;
  if (d == ".") return mapped;
  if (mapped == l) return given;
  return d + "/" + mapped;
}

}  // namespace

const imsg_msg_table_t _bldr_opts_karsel_msg_table = {
    "karsel_bin", kModule, 120, sizeof formats / sizeof formats[0], formats, catalog,
};

BLDR_OPTS_HANDLE bldr_opts_init(uint32_t dialect, bldr_macro_table_t **env_table) {
  if (env_table) *env_table = nullptr;
  pfm_inhibit();
  auto *h = static_cast<BLDR_OPTS_HANDLE>(stg_calloc(mfc_mf_stg_area, sizeof(bldr_opts_s)));
  pfm_enable();
  if (!h) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    return BLDR_OPTS_HANDLE_NULL;
  }
  h->area = mfc_mf_stg_area;
  h->dialect = dialect;
  h->env_table = bldr_macro_init_table(kBuckets, BLDR_MACRO_ORIGIN_ENV, h->area);
  if (!h->env_table) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    return BLDR_OPTS_HANDLE_NULL;
  }
  h->export_states = hash_str_create(kBuckets, sizeof(bldr_opts_export_state_t), 1);
  h->mf_scoped_tgts = hash_str_create(kBuckets, sizeof(list_handle_t), 1);
  h->bos_scoped_tgts = hash_str_create(kBuckets, sizeof(list_handle_t), 1);
  if (!h->export_states || !h->mf_scoped_tgts || !h->bos_scoped_tgts) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    bldr_macro_term_table(h->env_table);
    bldr_opts_term(h);
    return BLDR_OPTS_HANDLE_NULL;
  }
  hash_set_order(h->export_states);
  hash_set_order(h->mf_scoped_tgts);
  hash_set_order(h->bos_scoped_tgts);
  if (fill_env_table(h->env_table) != KS_ST_OK) {
    bldr_macro_term_table(h->env_table);
    bldr_opts_term(h);
    return BLDR_OPTS_HANDLE_NULL;
  }
  if (env_table) *env_table = h->env_table;
  return h;
}

void bldr_opts_term(BLDR_OPTS_HANDLE h) {
  if (h == BLDR_OPTS_HANDLE_NULL) return;
  hash_delete_ht(&h->export_states);
  hash_delete_ht(&h->mf_scoped_tgts);
  hash_delete_ht(&h->bos_scoped_tgts);
  hash_delete_ht(&h->tgt_attrs);
  hash_delete_ht(&h->name_pairs);
}

void bldr_opts_set_compat_variant_post_bos(uint32_t dialect, BLDR_OPTS_HANDLE h) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  h->dialect = dialect;
}

ks_status_t bldr_opts_record_variable(BLDR_OPTS_HANDLE h, const char *name) {
  return set_export_state(h, name, BLDR_OPTS_RECORDED, true);
}

ks_status_t bldr_opts_export_variable(BLDR_OPTS_HANDLE h, const char *name) {
  return set_export_state(h, name, BLDR_OPTS_EXPORTED, false);
}

ks_status_t bldr_opts_unexport_variable(BLDR_OPTS_HANDLE h, const char *name) {
  return set_export_state(h, name, BLDR_OPTS_UNEXPORTED, false);
}

bool bldr_opts_get_export_state(BLDR_OPTS_HANDLE h, const char *name,
                                bldr_opts_export_state_t *state) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  void *data;
  if (!hash_str_lookup(h->export_states, name, nullptr, &data)) return false;
  *state = *static_cast<bldr_opts_export_state_t *>(data);
  return true;
}

void bldr_opts_set_export_default(BLDR_OPTS_HANDLE h, uint32_t value) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  h->export_default = value;
}

uint32_t bldr_opts_exporting_macro_defs() { return exporting_macro_defs; }

void bldr_opts_add_patt_list(BLDR_OPTS_HANDLE h, bldr_opts_patt_kind_t kind,
                             list_handle_t list) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  PFM_ASSERT(kind < BLDR_OPTS_PATT_KIND_COUNT);
  if (list == LIST_HANDLE_NULL) {
    tbs_log_int_error(kModule, &_bldr_opts_karsel_msg_table, kNullList, pfm_file_stem(__FILE__),
                      __LINE__, 0);
    PFM_PANIC();
  }
  if (h->patt_lists[kind] == LIST_HANDLE_NULL) h->patt_lists[kind] = must_list(h);
  void *d;
  for (list_cursor_t c = list_next(list, nullptr, &d); c; c = list_next(list, c, &d))
    must_append(h->patt_lists[kind], d);
}

list_handle_t bldr_opts_get_patt_list(BLDR_OPTS_HANDLE h, bldr_opts_patt_kind_t kind) {
  if (h == BLDR_OPTS_HANDLE_NULL || kind >= BLDR_OPTS_PATT_KIND_COUNT) return LIST_HANDLE_NULL;
  return h->patt_lists[kind];
}

const char *bldr_opts_patt_kind_name(bldr_opts_patt_kind_t kind) {
  return kind < BLDR_OPTS_PATT_KIND_COUNT ? kKinds[kind].name : nullptr;
}

bool bldr_opts_patt_kind_of(const char *name, bldr_opts_patt_kind_t *kind) {
  for (bldr_opts_patt_kind_t k = 0; k < BLDR_OPTS_PATT_KIND_COUNT; k++) {
    if (std::strcmp(kKinds[k].name, name) == 0) {
      *kind = k;
      return true;
    }
  }
  return false;
}

void bldr_opts_add_special_tgt_list(BLDR_OPTS_HANDLE h, bldr_opts_patt_kind_t kind,
                                    list_handle_t list, const char *written_name) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  PFM_ASSERT(kind < BLDR_OPTS_PATT_KIND_COUNT);
  if (list != LIST_HANDLE_NULL && !list_is_empty(list)) {
    bldr_opts_add_patt_list(h, kind, list);
    return;
  }
  if (kind == BLDR_OPTS_NO_SIBLING_DO_CONTAINED_IN) {
    imsg_print(IMSG_WARNING, &_bldr_opts_karsel_msg_table, kEmptyList,
               written_name ? written_name : kKinds[kind].name);
    return;
  }
  if (!kKinds[kind].empty_means_all) return;
  list_handle_t all = must_list(h);
  char *pct = area_copy(h, "%");
  if (!pct) {
    no_memory();
    PFM_PANIC();
  }
  must_append(all, pct);
  bldr_opts_add_patt_list(h, kind, all);
}

void bldr_opts_add_parallel_interference_set(BLDR_OPTS_HANDLE h, list_handle_t patterns,
                                             uint64_t origin) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  PFM_ASSERT(patterns != LIST_HANDLE_NULL && !LIST_IS_EMPTY(patterns));
  mf_tgt_strip_redundant_prefix(patterns, h->dialect);
  auto *set = static_cast<bldr_opts_interference_set_t *>(
      stg_calloc(h->area, sizeof(bldr_opts_interference_set_t)));
  if (!set) {
    no_memory();
    PFM_PANIC();
  }
  set->origin = origin;
  set->patterns = patterns;
  if (h->interference_sets == LIST_HANDLE_NULL) h->interference_sets = must_list(h);
  must_append(h->interference_sets, set);
}

list_handle_t bldr_opts_get_parallel_interference_sets(BLDR_OPTS_HANDLE h) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  return h->interference_sets;
}

int bldr_opts_member_of_parallel_interference_set(BLDR_OPTS_HANDLE h, const char *tgt_pn,
                                                  list_handle_t *sets) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  PFM_ASSERT(tgt_pn != NULL);
  PFM_ASSERT(sets != NULL);
  list_handle_t found = LIST_HANDLE_NULL;
  if (h->interference_sets == LIST_HANDLE_NULL) return 0;
  void *d;
  for (list_cursor_t c = list_next(h->interference_sets, nullptr, &d); c;
       c = list_next(h->interference_sets, c, &d)) {
    auto *set = static_cast<bldr_opts_interference_set_t *>(d);
    if (!fileutl_patt_list_match(set->patterns, tgt_pn)) continue;
    if (found == LIST_HANDLE_NULL) found = must_list(h);
    must_append(found, set);
  }
  if (found == LIST_HANDLE_NULL) return 0;
  *sets = found;
  return 1;
}

namespace {

// Whether two pattern lists hold the same patterns in the same order.
bool same_patterns(list_handle_t a, list_handle_t b) {
  void *da, *db;
  list_cursor_t ca = list_next(a, nullptr, &da), cb = list_next(b, nullptr, &db);
  for (; ca && cb; ca = list_next(a, ca, &da), cb = list_next(b, cb, &db))
    if (std::strcmp(static_cast<char *>(da), static_cast<char *>(db)) != 0) return false;
  return !ca && !cb;
}

}  // namespace

int bldr_opts_parallel_interference_sets_alias(BLDR_OPTS_HANDLE h, const char *tgt_pn1,
                                               list_handle_t set_list1, const char *tgt_pn2,
                                               list_handle_t set_list2) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  PFM_ASSERT(tgt_pn1 != NULL);
  PFM_ASSERT(set_list1 != LIST_HANDLE_NULL);
  PFM_ASSERT(tgt_pn2 != NULL);
  PFM_ASSERT(set_list2 != LIST_HANDLE_NULL);
  void *d1, *d2;
  for (list_cursor_t c1 = list_next(set_list1, nullptr, &d1); c1;
       c1 = list_next(set_list1, c1, &d1)) {
    auto *a = static_cast<bldr_opts_interference_set_t *>(d1);
    for (list_cursor_t c2 = list_next(set_list2, nullptr, &d2); c2;
         c2 = list_next(set_list2, c2, &d2)) {
      auto *b = static_cast<bldr_opts_interference_set_t *>(d2);
      if (!same_patterns(a->patterns, b->patterns)) continue;
      if (a->origin != 0 || b->origin != 0) return 1;
      list_cursor_t m1 = fileutl_patt_list_matched_cell(a->patterns, tgt_pn1);
      list_cursor_t m2 = fileutl_patt_list_matched_cell(b->patterns, tgt_pn2);
      if (!m1 || !m2) continue;
      const char *p1 = static_cast<const char *>(list_get_data(a->patterns, m1));
      const char *p2 = static_cast<const char *>(list_get_data(b->patterns, m2));
      if (std::strcmp(p1, p2) != 0) return 1;
    }
  }
  return 0;
}

ks_status_t bldr_opts_tgt_scoped_macro_def(BLDR_OPTS_HANDLE h, uint32_t side, list_handle_t tgts,
                                           bldr_macro_def_t *def, uint32_t *expanded) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  PFM_ASSERT(def != NULL);
  void *first = nullptr;
  if (tgts == LIST_HANDLE_NULL || !list_next(tgts, nullptr, &first)) return KS_ST_OK;
  if (def->op == BLDR_MACRO_OP_SCOPED_SIMPLE) {
    if (expanded) *expanded = 1;
    list_handle_t prev = bldr_ctl_push_tgt_scoped_bindings(h, static_cast<char *>(first),
                                                           h->dialect, h->area);
    mf_flex_local text;
    ks_status_t st = KS_ST_OK;
    const char *v = def->value ? def->value : "";
    if (!mf_flex_assign(&text.ptr(), v, std::strlen(v))) {
      no_memory();
      st = KS_ST_ERR;
    } else {
      st = bldr_macro_expand_flex_string(mfc_mf_macro_table_list, BLDR_MACRO_FLAVOR_GNU,
                                         &text.ptr(), 1, LIST_HANDLE_NULL, STG_AREA_NULL);
      if (st == KS_ST_OK) {
        char *copy = area_copy(h, text.c_str());
        if (copy)
          def->value = copy;
        else
          no_memory();
        if (!copy) st = KS_ST_ERR;
      }
    }
    if (prev != LIST_HANDLE_NULL) bldr_ctl_pop_tgt_scoped_bindings(prev, BLDR_CTL_ST_REBUILT);
    if (st != KS_ST_OK) return st;
  }
  void *d;
  for (list_cursor_t c = list_next(tgts, nullptr, &d); c; c = list_next(tgts, c, &d)) {
    const char *tgt = static_cast<const char *>(d);
    auto *m = static_cast<bldr_opts_tgt_scoped_macdef_t *>(
        stg_calloc(h->area, sizeof(bldr_opts_tgt_scoped_macdef_t)));
    if (m) {
      m->tgt = area_copy(h, tgt);
      m->name = area_copy(h, def->name ? def->name : "");
      m->value = area_copy(h, def->value ? def->value : "");
      m->op = def->op;
    }
    if (!m || !m->tgt || !m->name || !m->value) {
      no_memory();
      return KS_ST_ERR;
    }
    if (is_pattern(tgt)) {
      list_handle_t &patterns =
          side == BLDR_OPTS_SIDE_MF ? h->mf_scoped_patterns : h->bos_scoped_patterns;
      if (patterns == LIST_HANDLE_NULL) patterns = must_list(h);
      enter_scoped(patterns, m);
      continue;
    }
    hash_ht_t table = side == BLDR_OPTS_SIDE_MF ? h->mf_scoped_tgts : h->bos_scoped_tgts;
    void *data;
    int existed = hash_str_enter(table, tgt, nullptr, &data);
    if (existed < 0) {
      no_memory();
      return KS_ST_ERR;
    }
    auto *list = static_cast<list_handle_t *>(data);
    if (*list == LIST_HANDLE_NULL) *list = must_list(h);
    enter_scoped(*list, m);
  }
  return KS_ST_OK;
}

ks_status_t bldr_opts_get_next_tgt_scoped_macdef(BLDR_OPTS_HANDLE h, void **cursor,
                                                 uint32_t side, size_t buf_size, char *tgt_buf,
                                                 char **name, char **value, uint32_t *op,
                                                 const char *tgt_name) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  PFM_ASSERT(cursor != NULL);
  auto *cur = static_cast<MacdefCursor *>(*cursor);
  if (!cur) {
    cur = static_cast<MacdefCursor *>(stg_malloc(sizeof(MacdefCursor)));
    if (!cur) {
      no_memory();
      return KS_ST_ERR;
    }
    *cur = MacdefCursor{};
    *cursor = cur;
  }
  list_handle_t patterns =
      side == BLDR_OPTS_SIDE_MF ? h->mf_scoped_patterns : h->bos_scoped_patterns;
  hash_ht_t table = side == BLDR_OPTS_SIDE_MF ? h->mf_scoped_tgts : h->bos_scoped_tgts;
  bldr_opts_tgt_scoped_macdef_t *found = nullptr;
  void *d = nullptr;
  if (cur->phase == 0) {
    list_cursor_t next =
        patterns != LIST_HANDLE_NULL ? list_next(patterns, cur->in_patterns, &d) : nullptr;
    if (next) {
      cur->in_patterns = next;
      found = static_cast<bldr_opts_tgt_scoped_macdef_t *>(d);
    } else {
      cur->phase = 1;
    }
  }
  if (!found && cur->phase == 1) {
    if (tgt_name && !cur->tgt_list_started) {
      cur->tgt_list_started = true;
      void *data;
      if (hash_str_lookup(table, tgt_name, nullptr, &data))
        cur->tgt_list = *static_cast<list_handle_t *>(data);
    }
    while (!found) {
      if (cur->tgt_list != LIST_HANDLE_NULL) {
        list_cursor_t next = list_next(cur->tgt_list, cur->in_tgt_list, &d);
        if (next) {
          cur->in_tgt_list = next;
          found = static_cast<bldr_opts_tgt_scoped_macdef_t *>(d);
          break;
        }
      }
      if (tgt_name) break;  // one target's list only
      // Next entry of the hash: every definition of every target, each once.
      void *data;
      hash_cursor_t next = hash_str_next_in_order(table, cur->in_hash, nullptr, &data);
      if (!next) break;
      cur->in_hash = next;
      cur->tgt_list = *static_cast<list_handle_t *>(data);
      cur->in_tgt_list = nullptr;
    }
  }
  if (!found) {
    stg_free(cur);
    *cursor = nullptr;
    return KS_ST_OK;
  }
  size_t len = std::strlen(found->tgt);
  if (!tgt_buf || len >= buf_size) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_BUF_TOO_SMALL);
    return KS_ST_ERR;
  }
  std::memcpy(tgt_buf, found->tgt, len + 1);
  if (name) *name = found->name;
  if (value) *value = found->value;
  if (op) *op = found->op;
  return KS_ST_OK;
}

size_t bldr_opts_longest_scoped_tgt(BLDR_OPTS_HANDLE h, uint32_t side) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  list_handle_t patterns =
      side == BLDR_OPTS_SIDE_MF ? h->mf_scoped_patterns : h->bos_scoped_patterns;
  hash_ht_t table = side == BLDR_OPTS_SIDE_MF ? h->mf_scoped_tgts : h->bos_scoped_tgts;
  size_t longest = 0;
  void *d = nullptr;
  for (list_cursor_t c = patterns != LIST_HANDLE_NULL ? list_next(patterns, nullptr, &d) : nullptr;
       c != nullptr; c = list_next(patterns, c, &d))
    longest = std::max(longest, std::strlen(static_cast<bldr_opts_tgt_scoped_macdef_t *>(d)->tgt));
  void *data = nullptr;
  for (hash_cursor_t c = table != HASH_HT_NULL ? hash_str_next_in_order(table, nullptr, nullptr, &data)
                                               : nullptr;
       c != nullptr; c = hash_str_next_in_order(table, c, nullptr, &data)) {
    list_handle_t defs = *static_cast<list_handle_t *>(data);
    for (list_cursor_t l = defs != LIST_HANDLE_NULL ? list_next(defs, nullptr, &d) : nullptr;
         l != nullptr; l = list_next(defs, l, &d))
      longest = std::max(longest, std::strlen(static_cast<bldr_opts_tgt_scoped_macdef_t *>(d)->tgt));
  }
  return longest;
}

void bldr_opts_add_tgt_attrs(BLDR_OPTS_HANDLE h, uint64_t bits, list_handle_t tgts) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  if (tgts == LIST_HANDLE_NULL) return;
  if (h->tgt_attrs == HASH_HT_NULL) h->tgt_attrs = must_hash(sizeof(uint64_t));
  void *d;
  for (list_cursor_t c = list_next(tgts, nullptr, &d); c; c = list_next(tgts, c, &d)) {
    void *data;
    if (hash_str_enter(h->tgt_attrs, static_cast<char *>(d), nullptr, &data) < 0) {
      no_memory();
      PFM_PANIC();
    }
    *static_cast<uint64_t *>(data) |= bits;
  }
}

uint64_t bldr_opts_get_tgt_attrs(BLDR_OPTS_HANDLE h, const char *tgt_name) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  void *data;
  if (h->tgt_attrs == HASH_HT_NULL || !hash_str_lookup(h->tgt_attrs, tgt_name, nullptr, &data))
    return 0;
  return *static_cast<uint64_t *>(data);
}

char *bldr_opts_collapse_double_dollar(const char *text) {
  return heap_copy(collapse(text ? text : ""));
}

char *bldr_opts_mf_pname_ht_action(const char *names, BLDR_OPTS_HANDLE h, uint32_t direction,
                                   uint32_t want_result) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  std::string_view s(names ? names : "");
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    size_t j = i;
    while (j < s.size() && s[j] != ' ' && s[j] != '\t') j++;
    if (j > i) out += pname_one(s.substr(i, j - i), h, direction, want_result);
    size_t k = j;
    while (k < s.size() && (s[k] == ' ' || s[k] == '\t')) k++;
    out.append(s.substr(j, k - j));
    i = k;
  }
  return want_result ? heap_copy(out) : nullptr;
}

int bldr_opts_unique_mfs_name(const char *name, BLDR_OPTS_HANDLE h) {
  if (h == BLDR_OPTS_HANDLE_NULL || !name) return 0;
  if (h->patt_lists[BLDR_OPTS_JAVA_TGTS] == LIST_HANDLE_NULL && !mf_building_java_tgts) return 0;
  char *fs = bldr_opts_mf_pname_ht_action(name, h, 0, 1);
  if (!fs) return 0;
  char *back = bldr_opts_mf_pname_ht_action(fs, h, 1, 1);
  int differs = back && std::strcmp(back, name) != 0;
  stg_free(fs);
  stg_free(back);
  return differs;
}

ks_status_t bldr_opts_insert_override(bldr_macro_table_t *table, list_handle_t names) {
  if (table == nullptr || names == LIST_HANDLE_NULL) return KS_ST_OK;
  void *d;
  for (list_cursor_t c = list_next(names, nullptr, &d); c; c = list_next(names, c, &d)) {
    const char *name = static_cast<const char *>(d);
    uint32_t flags = 0;
    const char *value = bldr_macro_lookup_in_table(table, name, &flags);
    if (!value) continue;
    // The table may free the old value when it stores the new copy.
    std::string keep(value);
    if (bldr_macro_define(table, name, keep.c_str(), flags) != KS_ST_OK) return KS_ST_ERR;
  }
  return KS_ST_OK;
}
