#include "mf/mf_tgt.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ks/ks_status.h"
#include "ks/pfm.h"
#include "mf/mf.h"
#include "mf/mf_parse_utl.h"
#include "mf/mf_tgt_lookup.h"
#include "mf/mf_tgt_validate.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"

namespace {

const char *const kFormats[] = {
    /* 0 */ "",
    /* 1 */ "",
    /* 2 */ "",
    /* 3 */ "",
    /* 4 */ "Too many command lines for \"%s\"\n",
    /* 5 */ "Too many build scripts for target \"%s\"\n",
    /* 6 */ "Only the first build script will be used\n",
    /* 7 */ "Suffix list is empty\n",
    /* 8 */ "Didn't find suffix rule dependency \"%s\" - %s\n",
    /* 9 */ "Target \"%s\" - \"%s\" not present in suffix list.\n",
    /* 10 */ "",
    /* 11 */ "Attempt to build invalid target: \"%s\".\n",
    /* 12 */ "Can't infer target definition for \"%s\"\n",
    /* 13 */ "Inferred target definition via suffix rules for \"%s\".\n",
    /* 14 */ "Inferred build script template for \"%s\"\n",
    /* 15 */ "\"%s\" entered in target table but instance list is empty.\n",
    /* 16 */ "Applying suffix rule \"%s\" to \"%s\"\n",
    /* 17 */ "",
    /* 18 */ "Unable to strip leaf from target pathname \"%s\".\n",
    /* 19 */ "Unable to strip suffix from target leaf name \"%s\".\n",
    /* 20 */ "",
    /* 21 */ "Unable to expand \"%s\"\n",
    /* 22 */ "Applying .DEFAULT definition to \"%s\".\n",
    /* 23 */ "",
    /* 24 */ "Unable to check existence of \"%s\" to apply suffix rule\n",
    /* 25 */ "Unable to concatenate search directory \"%s\" and dependency \"%s\" - result too "
             "large for buffer\n",
    /* 26 */ "Unable to locate target symbol table entry for \"%s\"\n",
    /* 27 */ "Multiple dependency patterns in pattern matching rule rule - processing target "
             "\"%s\"\n",
    /* 28 */ "Unable to find pattern matching wildcard character in \"%s\"\n",
    /* 29 */ "",
    /* 30 */ "",
    /* 31 */ "",
    /* 32 */ "Unable to locate target symbol table entry for pattern matching rule \"%s\"\n",
    /* 33 */ "Found archive target. Lib: \"%s\", member: \"%s\"\n",
    /* 34 */ "",
    /* 35 */ "Makefile name \"%s\" is too long for internal buffer\n",
    /* 36 */ "Malformed macro definition \"%s\"\n",
    /* 37 */ "",
    /* 38 */ "Length of dependency list is too large for internal buffer \"%s\"\n",
    /* 39 */ "Ignoring search list pathname \"%s\" (from \"%s\") - too large for internal "
             "buffer\n",
    /* 40 */ "Extra colon in search list \"%s\" (from \"%s\")\n",
    /* 41 */ "",
    /* 42 */ "",
    /* 43 */ "Found null archive member name \"%s\"\n",
    /* 44 */ "Macro expansion removed pattern char. Original dep: %s . New dep : %s\n",
    /* 45 */ "Build scripts were specified for both \"%s\" and \"%s\".\n",
    /* 46 */ "These targets are considered equivalent due to the use of vpath.\n",
    /* 47 */ "The script for \"%s\" will be used.\n",
    /* 48 */ "",
    /* 49 */ "\"%s\" appears both in a target group and \"%s\".\nThese are mutually exclusive; the "
             "target group will be treated as unrelated targets.\n",
    /* 50 */ "\"%s\" appears both in a target group and \"%s\".\nThe latter typically is used only "
             "with implicit co-targets.\n",
    /* 51 */ "Implicit rules lead back to \"%s\"; that chain of rules is not followed.\n",
};
constexpr uint16_t kCount = sizeof(kFormats) / sizeof(kFormats[0]);

constexpr uint16_t make_numbers_base = 1;
struct catalog_numbers {
  uint16_t v[kCount];
  constexpr catalog_numbers() : v() {
    for (uint16_t i = 0; i < kCount; ++i) v[i] = static_cast<uint16_t>(make_numbers_base + i);
  }
};
constexpr catalog_numbers kNumbers;

constexpr const char *kModule = "mf/mf_tgt";
constexpr int kMsgTooManyCmds = 4;
constexpr int kMsgInvalidTarget = 11;
constexpr int kMsgNoEntry = 26;
constexpr int kMsgArchiveFound = 33;
constexpr int kMsgNameTooLong = 35;
constexpr int kMsgNullMember = 43;

mf_tgt_table_t *current_table = nullptr;
int32_t have_java_audits = 0;

bool is_gnu(uint32_t v) { return v == MF_COMPAT_PGNU || v == MF_COMPAT_GNU; }
bool is_bsd_family(uint32_t v) {
  return v == MF_COMPAT_SGISMAKE || v == MF_COMPAT_SGIPMAKE ||
         v == MF_COMPAT_BSDNETR2;
}

void no_memory() {
  imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
}

// A list in the table's area (packed for about room data when room is not 0, see
// list_create_packed); an allocation failure is fatal: the table cannot stay consistent.
list_handle_t area_list(mf_tgt_table_t *table, size_t room = 0) {
  list_handle_t l = list_create_packed(table->area, room);
  if (l == LIST_HANDLE_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_LIST_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    PFM_PANIC();
  }
  return l;
}

char *area_strdup(mf_tgt_table_t *table, const char *text) {
  char *c = stg_area_strdup(table->area, text);
  if (c == nullptr) {
    no_memory();
    PFM_PANIC();
  }
  return c;
}

void append(list_handle_t list, const void *datum) {
  if (list_append(list, const_cast<void *>(datum)) != 0) {
    no_memory();
    PFM_PANIC();
  }
}

const char *intern(hash_ht_t table, const char *text) {
  const char *key = nullptr;
  if (hash_str_enter(table, text, &key, nullptr) < 0) {
    no_memory();
    PFM_PANIC();
  }
  return key;
}

bool list_holds(list_handle_t list, const char *name) {
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    if (std::strcmp(static_cast<const char *>(d), name) == 0) return true;
  return false;
}

void print_list(list_handle_t list) {
  if (list == LIST_HANDLE_NULL) return;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    std::printf("%s\n", static_cast<const char *>(d));
}

// A set of names by their text: open addressing with linear probing over one flat array whose
// slots hold a name's hash beside its address, so that a lookup mostly reads one place of the
// array, and a set of many names is a few large blocks rather than a node per name. The names
// are not copied: they must outlive the set.
class NameSet {
 public:
  static size_t hash(std::string_view name) { return std::hash<std::string_view>{}(name); }

  bool contains(const char *name, size_t h) const {
    if (count_ == 0) return false;
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      const Slot &s = slots_[i];
      if (s.name == nullptr) return false;
      if (s.hash == h && std::strcmp(s.name, name) == 0) return true;
    }
  }

  // Adds a name that is not in the set.
  void add(const char *name, size_t h) {
    if ((count_ + 1) * 4 > slots_.size() * 3) grow();
    place(slots_, mask_, {name, h});
    count_++;
  }

  void clear() {
    slots_.clear();
    mask_ = 0;
    count_ = 0;
  }

 private:
  struct Slot {
    const char *name;
    size_t hash;
  };

  static void place(std::vector<Slot> &slots, size_t mask, const Slot &slot) {
    size_t i = slot.hash & mask;
    while (slots[i].name != nullptr) i = (i + 1) & mask;
    slots[i] = slot;
  }

  void grow() {
    std::vector<Slot> bigger(slots_.empty() ? 64 : slots_.size() * 2, Slot{nullptr, 0});
    const size_t mask = bigger.size() - 1;
    for (const Slot &s : slots_)
      if (s.name != nullptr) place(bigger, mask, s);
    slots_.swap(bigger);
    mask_ = mask;
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t count_ = 0;
};

// The names of dependency lists that later rule lines of the same target extend, so that a
// name is checked against a long list in constant time. Kept per table while it lives, for lists
// long enough for a search to matter; an index whose list changed behind it is made again.
struct DepIndex {
  list_handle_t list = LIST_HANDLE_NULL;
  size_t count = 0;
  NameSet names;
};
constexpr size_t kIndexFrom = 16;
std::unordered_map<const mf_tgt_table_t *,
                   std::unordered_map<const mf_tgt_inst_desc_t *, DepIndex>>
    dep_indexes;

// The index of inst's dependency list, in step with the list.
DepIndex &dep_index(const mf_tgt_table_t *table, const mf_tgt_inst_desc_t *inst) {
  DepIndex &index = dep_indexes[table][inst];
  if (index.list != inst->deps || index.count != list_length(inst->deps)) {
    index.list = inst->deps;
    index.count = list_length(inst->deps);
    index.names.clear();
    void *d = nullptr;
    for (list_cursor_t c = list_next(inst->deps, nullptr, &d); c != nullptr;
         c = list_next(inst->deps, c, &d)) {
      const auto *name = static_cast<const char *>(d);
      const size_t h = NameSet::hash(name);
      if (!index.names.contains(name, h)) index.names.add(name, h);
    }
  }
  return index;
}

mf_tgt_inst_desc_t *inst_at(mf_tgt_entry_t *entry, mf_tgt_inst_handle_t pos) {
  if (entry == nullptr || entry->instances == LIST_HANDLE_NULL || pos == nullptr) return nullptr;
  return static_cast<mf_tgt_inst_desc_t *>(list_get_data(entry->instances, pos));
}

// The next number of a heap array by number (number 0 unused), grown as needed: the slot of the
// returned number is the caller's to fill. Running out of memory is fatal.
template <class T>
uint32_t next_number(T *&array, uint32_t &count, uint32_t &room) {
  if (count == room) {
    const uint32_t grown_room = room < 8 ? 8 : room * 2;
    if (grown_room <= room) mf_tgt_out_of_memory();
    auto *grown = static_cast<T *>(std::realloc(array, size_t(grown_room) * sizeof(T)));
    if (grown == nullptr) mf_tgt_out_of_memory();
    array = grown;
    room = grown_room;
    if (count == 0) count = 1;
  }
  return count++;
}

}  // namespace

const imsg_msg_table_t _mf_tgt_karsel_msg_table = {"karsel_bin", kModule, 212, kCount, kFormats,
                                                   kNumbers.v};

// --- Current table.

void mf_tgt_set_tgt_table_handle(mf_tgt_table_t *table) { current_table = table; }

mf_tgt_table_t *mf_tgt_fetch_tgt_table_handle() { return current_table; }

mf_tgt_entry_t *mf_tgt_fetch_tgt_handle(const char *tgt_pn) {
  PFM_ASSERT(tgt_pn != NULL);
  mf_tgt_table_t *table_p = current_table;
  PFM_ASSERT(table_p != NULL);
  mf_tgt_entry_t *entry = mf_tgt_lookup(table_p, tgt_pn);
  if (entry == nullptr || entry->validation <= 0) {
    imsg_print_cold(IMSG_ERROR, &_mf_tgt_karsel_msg_table, kMsgInvalidTarget, tgt_pn);
    PFM_PANIC();
  }
  return entry;
}

// --- Creation and end.

mf_tgt_table_t *mf_tgt_create_table(uint32_t compat_variant, list_handle_t macro_table_list) {
  pfm_inhibit();
  stg_area_t area = stg_create_area(32000);
  if (area == STG_AREA_NULL) {
    pfm_enable();
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_AREA_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    return nullptr;
  }
  auto *t = static_cast<mf_tgt_table_t *>(stg_calloc(area, sizeof(mf_tgt_table_t)));
  if (t == nullptr) {
    stg_delete_area(&area);
    pfm_enable();
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    return nullptr;
  }
  t->area = area;
  t->compat_variant = compat_variant;
  t->macro_table_list = macro_table_list;
  t->comp_table = hash_str_create(512, sizeof(mf_tgt_entry_t), 1);
  t->cmd_table = hash_str_create(512, 0, 1);
  t->dir_table = hash_str_create(512, 0, 1);
  if (t->comp_table == HASH_HT_NULL || t->cmd_table == HASH_HT_NULL ||
      t->dir_table == HASH_HT_NULL) {
    pfm_enable();
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    mf_tgt_free_table(t);
    return nullptr;
  }
  hash_set_order(t->comp_table);
  // Script lines and directories are only interned, never walked.
  hash_set_unordered(t->cmd_table);
  hash_set_unordered(t->dir_table);
  hash_set_dynamic(t->comp_table, 4);
  hash_set_dynamic(t->cmd_table, 4);
  pfm_enable();
  return t;
}

void mf_tgt_free_table(mf_tgt_table_t *table) {
  if (table == nullptr) return;
  if (table == current_table) current_table = nullptr;
  dep_indexes.erase(table);
  mf_tgt_forget_table(table);
  hash_delete_ht(&table->comp_table);
  std::free(table->entry_more);
  std::free(table->inst_more);
  hash_delete_ht(&table->cmd_table);
  hash_delete_ht(&table->dir_table);
  if (table->suff_path_table != HASH_HT_NULL) hash_delete_ht(&table->suff_path_table);
  // Lists of the table live in its area; only the root-target list is on the heap.
  if (table->root_tgt_list != LIST_HANDLE_NULL) list_destroy(table->root_tgt_list);
  table->root_tgt_list = LIST_HANDLE_NULL;
  stg_area_t area = table->area;
  stg_delete_area(&area);
  if (area != STG_AREA_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_AREA_DELETE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    PFM_PANIC();
  }
}

// --- Constructors.

void mf_tgt_utl_declare_target(const char *tgt_pname, mf_tgt_entry_t *tgt_entry_p,
                               mf_tgt_table_t *table, int defined, int multiple_valid,
                               const char *stem) {
  stg_area_t area = table->area;
  PFM_ASSERT(tgt_pname != NULL);
  PFM_ASSERT(tgt_entry_p != NULL);
  tgt_entry_p->defined_as_target = (defined == 1);
  if (defined == 1) {
    // Most targets have one rule instance.
    tgt_entry_p->instances = list_create_packed(area, 1);
    if (tgt_entry_p->instances == LIST_HANDLE_NULL) {
      tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_LIST_CREATE,
                        pfm_file_stem(__FILE__), __LINE__, 0);
      PFM_PANIC();
    }
  } else {
    tgt_entry_p->instances = LIST_HANDLE_NULL;
  }
  tgt_entry_p->multiple_defined = 0;
  tgt_entry_p->has_script = 0;
  tgt_entry_p->implicit_target = 0;
  tgt_entry_p->lookup_done = 0;
  tgt_entry_p->validation = 0;
  tgt_entry_p->multiple_valid = (multiple_valid == 1);
  if (!tgt_entry_p->has_act_pn) mf_tgt_set_act_pn(table, tgt_entry_p, tgt_pname);
  mf_tgt_set_explicit_stem(table, tgt_entry_p,
                           stem != nullptr ? stg_area_strdup(area, stem) : nullptr);
}

const char *mf_tgt_enter_dep_in_table(mf_tgt_table_t *table, const char *name) {
  const char *key = nullptr;
  void *data = nullptr;
  if (hash_str_enter(table->comp_table, name, &key, &data) < 0) {
    no_memory();
    return nullptr;
  }
  // A new slot starts all zero: no instances, not defined, lookup not done.
  static_cast<mf_tgt_entry_t *>(data)->is_a_dependency = 1;
  return key;
}

list_handle_t mf_tgt_copy_cmd_list(mf_tgt_table_t *table, list_handle_t list) {
  if (list == LIST_HANDLE_NULL || list_is_empty(list)) return LIST_HANDLE_NULL;
  // A rule's script is seldom changed once copied: its lines are packed.
  list_handle_t copy = area_list(table, list_length(list));
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    append(copy, intern(table->cmd_table, static_cast<const char *>(d)));
  return copy;
}

list_handle_t mf_tgt_utl_copy_dep_list(mf_tgt_table_t *table, list_handle_t list, int unique) {
  if (list == LIST_HANDLE_NULL || list_is_empty(list)) return LIST_HANDLE_NULL;
  // Names are interned in the table, so a repeated name yields the same key: duplicates are
  // found by comparing keys, by a scan while the list is short and by a set once it is long.
  constexpr size_t kScanLimit = 32;
  const char *kept[kScanLimit];
  size_t kept_count = 0;
  std::unordered_set<const char *> kept_set;
  // Most dependency lists are only walked once copied, a few grow by later rules: packed.
  list_handle_t copy = area_list(table, list_length(list));
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d)) {
    const char *key = mf_tgt_enter_dep_in_table(table, static_cast<const char *>(d));
    if (key == nullptr) PFM_PANIC();
    if (unique) {
      if (kept_count < kScanLimit) {
        if (std::find(kept, kept + kept_count, key) != kept + kept_count) continue;
        kept[kept_count++] = key;
        if (kept_count == kScanLimit) kept_set.insert(kept, kept + kept_count);
      } else if (!kept_set.insert(key).second) {
        continue;
      }
    }
    append(copy, key);
  }
  return copy;
}

list_handle_t mf_tgt_copy_dep_list(mf_tgt_table_t *table, list_handle_t list, int unique) {
  return mf_tgt_utl_copy_dep_list(table, list, unique);
}

mf_tgt_inst_desc_t *mf_tgt_create_inst_desc(mf_tgt_table_t *table, mf_tgt_entry_t *target_p,
                                            list_handle_t deps, list_handle_t script,
                                            const char *implicit_dep) {
  PFM_ASSERT(target_p != NULL);
  auto *inst = static_cast<mf_tgt_inst_desc_t *>(stg_calloc(table->area, sizeof(mf_tgt_inst_desc_t)));
  if (inst == nullptr) {
    no_memory();
    PFM_PANIC();
  }
  inst->deps = deps;
  inst->script = script;
  inst->implicit_dep = implicit_dep != nullptr ? area_strdup(table, implicit_dep) : nullptr;
  return inst;
}

mf_tgt_inst_more_t *mf_tgt_inst_more(mf_tgt_table_t *table, mf_tgt_inst_desc_t *inst) {
  if (mf_tgt_inst_more_t *more = mf_tgt_inst_more_of(table, inst)) return more;
  auto *more =
      static_cast<mf_tgt_inst_more_t *>(stg_calloc(table->area, sizeof(mf_tgt_inst_more_t)));
  if (more == nullptr) {
    no_memory();
    PFM_PANIC();
  }
  inst->more = next_number(table->inst_more, table->inst_more_count, table->inst_more_room);
  table->inst_more[inst->more] = more;
  return more;
}

namespace {

// Whether two scripts hold the same lines in the same order.
bool same_lines(list_handle_t a, list_handle_t b) {
  void *da = nullptr;
  void *db = nullptr;
  list_cursor_t ca = list_next(a, nullptr, &da);
  list_cursor_t cb = list_next(b, nullptr, &db);
  while (ca != nullptr && cb != nullptr) {
    if (std::strcmp(static_cast<const char *>(da), static_cast<const char *>(db)) != 0) return false;
    ca = list_next(a, ca, &da);
    cb = list_next(b, cb, &db);
  }
  return ca == nullptr && cb == nullptr;
}

}  // namespace

void mf_tgt_augment_inst(mf_tgt_table_t *table, const char *target_name,
                         mf_tgt_inst_desc_t *inst, list_handle_t script, list_handle_t deps) {
  const bool gnu = is_gnu(table->compat_variant);
  const bool is_default = std::strcmp(target_name, ".DEFAULT") == 0;
  const bool has_new_script = script != LIST_HANDLE_NULL && !list_is_empty(script);
  bool scripts_rule = false;
  if (!has_new_script) {
    if (is_default) {
      inst->script = LIST_HANDLE_NULL;
      scripts_rule = true;
    }
  } else if (inst->script == LIST_HANDLE_NULL || is_default) {
    inst->script = mf_tgt_copy_cmd_list(table, script);
    scripts_rule = true;
  } else if (!same_lines(inst->script, script)) {
    // The same script again (a makefile read twice) changes nothing and is not reported.
    imsg_print_cold(IMSG_WARNING, &_mf_tgt_karsel_msg_table, kMsgTooManyCmds, target_name);
    if (gnu) inst->script = mf_tgt_copy_cmd_list(table, script);
  }

  if (deps == LIST_HANDLE_NULL || list_is_empty(deps)) return;
  if (inst->deps == LIST_HANDLE_NULL) inst->deps = area_list(table);
  // New names go to the end of the list, or in the gnu dialect behind a rule's script to the
  // front: the insertion point then moves behind each inserted name so they keep their order.
  const bool at_front = gnu && scripts_rule;
  list_cursor_t at = nullptr;
  DepIndex *index = !gnu && list_length(inst->deps) + list_length(deps) >= kIndexFrom
                        ? &dep_index(table, inst)
                        : nullptr;
  void *d = nullptr;
  for (list_cursor_t c = list_next(deps, nullptr, &d); c != nullptr; c = list_next(deps, c, &d)) {
    const char *name = static_cast<const char *>(d);
    const size_t h = index != nullptr ? NameSet::hash(name) : 0;
    if (!gnu && (index != nullptr ? index->names.contains(name, h) : list_holds(inst->deps, name)))
      continue;
    const char *key = mf_tgt_enter_dep_in_table(table, name);
    if (key == nullptr) PFM_PANIC();
    const int rc = at_front ? list_insert_after(inst->deps, at, const_cast<char *>(key))
                            : list_append(inst->deps, const_cast<char *>(key));
    if (rc != 0) {
      no_memory();
      PFM_PANIC();
    }
    if (at_front) {
      at = (at == nullptr) ? list_next(inst->deps, nullptr, nullptr)
                           : list_next(inst->deps, at, nullptr);
    }
    if (index != nullptr) {
      index->names.add(key, h);
      index->count++;
    }
  }
}

// --- Archive targets.

int mf_tgt_split_lib_member(const char *name, char *lib, size_t lib_size, char *member,
                            size_t member_size, uint32_t variant) {
  const size_t len = std::strlen(name);
  size_t open = len;
  size_t dollar = len;
  for (size_t i = 0; i < len; ++i) {
    if (name[i] == '$') {
      if (dollar == len) dollar = i;
      ++i;
      continue;
    }
    if (name[i] == '(') {
      open = i;
      break;
    }
  }
  if (dollar < len && open < len) {
    // A macro reference was seen: take the first '(' behind the end of that reference.
    int depth = 0;
    size_t i = dollar + 1;
    for (; i < len; ++i) {
      if (name[i] == '(') ++depth;
      else if (name[i] == ')' && --depth <= 0) break;
    }
    const char *next = i < len ? std::strchr(name + i + 1, '(') : nullptr;
    if (next == nullptr) return KS_ST_NOT_FOUND;
    open = static_cast<size_t>(next - name);
  }
  if (open >= len) return KS_ST_NOT_FOUND;
  // The member is the text between '(' and the last character (the closing parenthesis).
  std::string_view inner(name + open + 1, len >= open + 2 ? len - open - 2 : 0);
  while (!inner.empty() && (inner.front() == ' ' || inner.front() == '\t')) inner.remove_prefix(1);
  while (!inner.empty() && (inner.back() == ' ' || inner.back() == '\t')) inner.remove_suffix(1);
  if (inner.empty() && !is_bsd_family(variant)) {
    imsg_print_cold(IMSG_ERROR, &_mf_tgt_karsel_msg_table, kMsgNullMember, name);
    return KS_ST_NOT_FOUND;
  }
  if (open + 3 > lib_size || inner.size() + 1 > member_size) {
    imsg_print_cold(IMSG_ERROR, &_mf_tgt_karsel_msg_table, kMsgNameTooLong, name);
    return KS_ST_ERR;
  }
  std::memcpy(lib, name, open + 1);
  lib[open + 1] = ')';
  lib[open + 2] = '\0';
  std::memcpy(member, inner.data(), inner.size());
  member[inner.size()] = '\0';
  return KS_ST_OK;
}

int mf_tgt_must_split_archive_list(const char *text, uint32_t variant) {
  if (is_bsd_family(variant)) return 0;
  return std::strpbrk(text, " \t") != nullptr ? 1 : 0;
}

int mf_tgt_archive_def(mf_tgt_table_t *table, const char *lib, const char *member,
                       list_handle_t deps, list_handle_t script, const char **out_lib_key) {
  char buf[1024];
  if (std::strlen(lib) + 1 > sizeof buf) {
    imsg_print_cold(IMSG_ERROR, &_mf_tgt_karsel_msg_table, kMsgNameTooLong, lib);
    return KS_ST_ERR;
  }
  std::strcpy(buf, lib);
  const char *key = nullptr;
  void *data = nullptr;
  if (hash_str_enter(table->comp_table, buf, &key, &data) < 0) {
    no_memory();
    return KS_ST_ERR;
  }
  auto *entry = static_cast<mf_tgt_entry_t *>(data);
  if (out_lib_key != nullptr) *out_lib_key = key;
  if (entry->defined_as_target) {
    void *d = nullptr;
    for (list_cursor_t c = list_next(entry->instances, nullptr, &d); c != nullptr;
         c = list_next(entry->instances, c, &d)) {
      auto *inst = static_cast<mf_tgt_inst_desc_t *>(d);
      const char *inst_member = mf_tgt_inst_member_name(table, inst);
      if (inst_member != nullptr && std::strcmp(inst_member, member) == 0) {
        mf_tgt_augment_inst(table, key, inst, script, deps);
        return KS_ST_OK;
      }
    }
    entry->multiple_defined = 1;
  } else {
    // The actual pathname is the library name without its "()".
    std::string act(key);
    if (act.size() >= 2 && act.compare(act.size() - 2, 2, "()") == 0) act.resize(act.size() - 2);
    mf_tgt_set_act_pn(table, entry, area_strdup(table, act.c_str()));
    mf_tgt_utl_declare_target(key, entry, table, 1, 1, nullptr);
    entry->archive_tgt = 1;
  }
  mf_tgt_inst_desc_t *inst = mf_tgt_create_inst_desc(
      table, entry, mf_tgt_utl_copy_dep_list(table, deps, 0), mf_tgt_copy_cmd_list(table, script),
      nullptr);
  mf_tgt_inst_more(table, inst)->member_name = area_strdup(table, member);
  append(entry->instances, inst);
  return KS_ST_OK;
}

int mf_tgt_chk_archive_tgt(mf_tgt_table_t *table, const char *name, list_handle_t deps,
                           list_handle_t script, const char **out_lib_key) {
  if (!mf_tgt_may_be_archive_ref(name)) return 0;
  char lib[1024];
  char member[1024];
  auto define_one = [&](const char *ref) -> bool {
    if (mf_tgt_split_lib_member(ref, lib, sizeof lib, member, sizeof member,
                                table->compat_variant) != KS_ST_OK)
      return false;
    if (mf_utl_should_trace("mf_tgt", 3))
      imsg_print_cold(IMSG_TRACE, &_mf_tgt_karsel_msg_table, kMsgArchiveFound, lib, member);
    return mf_tgt_archive_def(table, lib, member, deps, script, out_lib_key) == KS_ST_OK;
  };
  if (mf_tgt_must_split_archive_list(name, table->compat_variant)) {
    std::string text(name);
    size_t pos = 0;
    bool any = false;
    while (pos < text.size()) {
      size_t start = text.find_first_not_of(" \t", pos);
      if (start == std::string::npos) break;
      size_t end = text.find_first_of(" \t", start);
      if (end == std::string::npos) end = text.size();
      std::string token = text.substr(start, end - start);
      if (!define_one(token.c_str())) return 0;
      any = true;
      pos = end;
    }
    return any ? 1 : 0;
  }
  return define_one(name) ? 1 : 0;
}

// --- Names.

int mf_tgt_is_real_tgt(const char *name, uint32_t variant) {
  if (name[0] == '.' && std::strchr(name, '/') == nullptr) return 0;
  const bool has_patterns = variant == MF_COMPAT_STD || variant == MF_COMPAT_PGNU ||
                            variant == MF_COMPAT_SUN || variant == MF_COMPAT_GNU;
  if (has_patterns && std::strchr(name, '%') != nullptr) return 0;
  return 1;
}

void mf_tgt_strip_dot_slash(char *name) {
  size_t skip = 0;
  while (name[skip] == '.' && name[skip + 1] == '/') {
    skip += 2;
    while (name[skip] == '/') ++skip;
  }
  if (skip > 0) std::memmove(name, name + skip, std::strlen(name + skip) + 1);
}

void mf_tgt_strip_redundant_prefix(list_handle_t list, uint32_t variant) {
  if (list == LIST_HANDLE_NULL) return;
  if (variant != MF_COMPAT_STD && variant != MF_COMPAT_PGNU &&
      variant != MF_COMPAT_SUN && variant != MF_COMPAT_GNU)
    return;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    mf_tgt_strip_dot_slash(static_cast<char *>(d));
}

int mf_tgt_uniqified_strings_list(list_handle_t src, list_handle_t dst) {
  if (src == LIST_HANDLE_NULL) return KS_ST_OK;
  hash_ht_t seen = hash_str_create(100, 0, 1);
  if (seen == HASH_HT_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    return KS_ST_ERR;
  }
  void *d = nullptr;
  for (list_cursor_t c = list_next(dst, nullptr, &d); c != nullptr; c = list_next(dst, c, &d))
    hash_str_enter(seen, static_cast<const char *>(d), nullptr, nullptr);
  int rc = KS_ST_OK;
  for (list_cursor_t c = list_next(src, nullptr, &d); c != nullptr; c = list_next(src, c, &d)) {
    if (hash_str_enter(seen, static_cast<const char *>(d), nullptr, nullptr) != 0) continue;
    if (list_append(dst, d) != 0) {
      rc = KS_ST_ERR;
      break;
    }
  }
  hash_delete_ht(&seen);
  return rc;
}

// --- Accessors of an entry.

int mf_tgt_mult_instances_valid(mf_tgt_table_t *, mf_tgt_entry_t *e) { return e->multiple_valid; }
int mf_tgt_is_archive(mf_tgt_table_t *, mf_tgt_entry_t *e) { return e->archive_tgt; }
int mf_tgt_is_phony(mf_tgt_entry_t *e) { return e->declared_phony; }
int mf_tgt_is_precious(mf_tgt_entry_t *e) { return e->declared_precious; }
int mf_tgt_precious_tgt(mf_tgt_table_t *, mf_tgt_entry_t *e) { return e->declared_precious; }
int mf_tgt_has_script(mf_tgt_table_t *, mf_tgt_entry_t *e) { return e->has_script; }
int mf_tgt_is_implicit_target(mf_tgt_table_t *, mf_tgt_entry_t *e) { return e->implicit_target; }

namespace {

// The more record of e, or null when it has none.
mf_tgt_entry_more_t *more_of(mf_tgt_table_t *table, const mf_tgt_entry_t *e) {
  return e->more != 0 ? &table->entry_more[e->more] : nullptr;
}

// The more record of e, made empty when it has none; running out of memory is fatal.
mf_tgt_entry_more_t *made_more(mf_tgt_table_t *table, mf_tgt_entry_t *e) {
  if (e->more != 0) return &table->entry_more[e->more];
  e->more = next_number(table->entry_more, table->entry_more_count, table->entry_more_room);
  table->entry_more[e->more] = {nullptr, nullptr};
  return &table->entry_more[e->more];
}

}  // namespace

const char *mf_tgt_entry_act_pn(mf_tgt_table_t *table, const mf_tgt_entry_t *e) {
  if (!e->has_act_pn) return nullptr;
  const mf_tgt_entry_more_t *more = more_of(table, e);
  return more != nullptr && more->act_pn != nullptr ? more->act_pn
                                                    : hash_str_key_of(table->comp_table, e);
}

void mf_tgt_set_act_pn(mf_tgt_table_t *table, mf_tgt_entry_t *e, const char *pn) {
  e->has_act_pn = pn != nullptr;
  const bool own = pn == nullptr || std::strcmp(pn, hash_str_key_of(table->comp_table, e)) == 0;
  if (own) {
    if (mf_tgt_entry_more_t *more = more_of(table, e)) more->act_pn = nullptr;
  } else {
    made_more(table, e)->act_pn = pn;
  }
}

const char *mf_tgt_explicit_stem(mf_tgt_table_t *table, const mf_tgt_entry_t *e) {
  const mf_tgt_entry_more_t *more = more_of(table, e);
  return more != nullptr ? more->explicit_stem : nullptr;
}

void mf_tgt_set_explicit_stem(mf_tgt_table_t *table, mf_tgt_entry_t *e, const char *stem) {
  if (stem != nullptr) {
    made_more(table, e)->explicit_stem = stem;
  } else if (mf_tgt_entry_more_t *more = more_of(table, e)) {
    more->explicit_stem = nullptr;
  }
}

const char *mf_tgt_act_pn(mf_tgt_table_t *table, mf_tgt_entry_t *e) {
  const char *pn = mf_tgt_entry_act_pn(table, e);
  if (mf_utl_should_trace("mf_tgt", 3))
    imsg_print_cold(IMSG_TRACE, "mf_tgt_act_pn: tgt_act_pn:%s\n", -1, pn);
  return pn;
}

mf_tgt_inst_handle_t mf_tgt_next_instance(mf_tgt_table_t *, mf_tgt_entry_t *e,
                                          mf_tgt_inst_handle_t pos) {
  if (e->instances == LIST_HANDLE_NULL) return nullptr;
  if (pos != nullptr && !e->multiple_valid) return nullptr;
  return list_next(e->instances, pos, nullptr);
}

// --- Accessors of an instance.

list_handle_t mf_tgt_get_bld_script(mf_tgt_table_t *, mf_tgt_entry_t *e, mf_tgt_inst_handle_t p) {
  mf_tgt_inst_desc_t *i = inst_at(e, p);
  return i != nullptr ? i->script : LIST_HANDLE_NULL;
}
list_handle_t mf_tgt_get_dep_list(mf_tgt_table_t *, mf_tgt_entry_t *e, mf_tgt_inst_handle_t p) {
  mf_tgt_inst_desc_t *i = inst_at(e, p);
  return i != nullptr ? i->deps : LIST_HANDLE_NULL;
}
void mf_tgt_set_dep_list(mf_tgt_table_t *, mf_tgt_entry_t *e, mf_tgt_inst_handle_t p,
                         list_handle_t list) {
  if (mf_tgt_inst_desc_t *i = inst_at(e, p)) i->deps = list;
}
list_handle_t mf_tgt_get_bogus_dep_list(mf_tgt_table_t *table, mf_tgt_entry_t *e,
                                        mf_tgt_inst_handle_t p) {
  mf_tgt_inst_desc_t *i = inst_at(e, p);
  return i != nullptr ? mf_tgt_inst_bogus_deps(table, i) : LIST_HANDLE_NULL;
}
const char *mf_tgt_get_imp_dep(mf_tgt_table_t *, mf_tgt_entry_t *e, mf_tgt_inst_handle_t p) {
  mf_tgt_inst_desc_t *i = inst_at(e, p);
  return i != nullptr ? i->implicit_dep : nullptr;
}
const char *mf_tgt_get_tgt_base_pname(mf_tgt_table_t *table, mf_tgt_entry_t *e,
                                      mf_tgt_inst_handle_t p) {
  mf_tgt_inst_desc_t *i = inst_at(e, p);
  if (i == nullptr) return nullptr;
  if ((i->flags & MF_TGT_INST_STEM_OF_NAME) != 0) {
    i->tgt_base_pname =
        mf_tgt_dollar_star_for_explicit_tgt(table, i->tgt_base_pname, nullptr, nullptr);
    i->flags &= ~MF_TGT_INST_STEM_OF_NAME;
  }
  return i->tgt_base_pname;
}
uint64_t mf_tgt_get_inst_flags(mf_tgt_table_t *, mf_tgt_entry_t *e, mf_tgt_inst_handle_t p) {
  mf_tgt_inst_desc_t *i = inst_at(e, p);
  return i != nullptr ? i->flags & ~MF_TGT_INST_STEM_OF_NAME : 0;
}
const char *mf_tgt_get_member_name(mf_tgt_table_t *table, mf_tgt_entry_t *e,
                                   mf_tgt_inst_handle_t p) {
  mf_tgt_inst_desc_t *i = inst_at(e, p);
  return i != nullptr ? mf_tgt_inst_member_name(table, i) : nullptr;
}

list_handle_t mf_tgt_get_script_dep_list(mf_tgt_table_t *table, mf_tgt_entry_t *e,
                                         mf_tgt_inst_handle_t p) {
  mf_tgt_inst_desc_t *inst = inst_at(e, p);
  if (inst == nullptr) return LIST_HANDLE_NULL;
  if (list_handle_t made = mf_tgt_inst_script_deps(table, inst); made != LIST_HANDLE_NULL)
    return made;
  if (inst->deps == LIST_HANDLE_NULL) return LIST_HANDLE_NULL;
  list_handle_t out = area_list(table);
  void *d = nullptr;
  for (list_cursor_t c = list_next(inst->deps, nullptr, &d); c != nullptr;
       c = list_next(inst->deps, c, &d)) {
    const char *name = static_cast<const char *>(d);
    mf_tgt_entry_t *dep = mf_tgt_lookup(table, name);
    if (dep == nullptr) {
      imsg_print_cold(IMSG_ERROR, &_mf_tgt_karsel_msg_table, kMsgNoEntry, name);
      PFM_PANIC();
    }
    if (dep->archive_tgt && dep->instances != LIST_HANDLE_NULL) {
      void *m = nullptr;
      for (list_cursor_t mc = list_next(dep->instances, nullptr, &m); mc != nullptr;
           mc = list_next(dep->instances, mc, &m)) {
        auto *mi = static_cast<mf_tgt_inst_desc_t *>(m);
        if (char *member = mf_tgt_inst_member_name(table, mi); member != nullptr)
          append(out, member);
      }
    } else {
      append(out, name);
    }
  }
  mf_tgt_inst_more(table, inst)->script_deps = out;
  return out;
}

// --- Queries by name.

mf_tgt_entry_t *mf_tgt_lookup(mf_tgt_table_t *table, const char *name) {
  void *data = nullptr;
  if (table == nullptr || !hash_str_lookup(table->comp_table, name, nullptr, &data)) return nullptr;
  return static_cast<mf_tgt_entry_t *>(data);
}

int mf_tgt_has_cotargets(mf_tgt_table_t *table, const char *name, list_handle_t *cotargets) {
  PFM_ASSERT(cotargets != NULL);
  mf_tgt_entry_t *e = mf_tgt_lookup(table, name);
  if (e == nullptr || e->instances == LIST_HANDLE_NULL) return 0;
  void *d = nullptr;
  for (list_cursor_t c = list_next(e->instances, nullptr, &d); c != nullptr;
       c = list_next(e->instances, c, &d)) {
    auto *inst = static_cast<mf_tgt_inst_desc_t *>(d);
    if (list_handle_t members = mf_tgt_inst_cotargets(table, inst); members != LIST_HANDLE_NULL) {
      *cotargets = members;
      return 1;
    }
  }
  return 0;
}

int mf_tgt_is_undefined_phony_dependency(const char *name) {
  mf_tgt_entry_t *e = mf_tgt_lookup(current_table, name);
  return (e != nullptr && e->declared_phony && !e->defined_as_target) ? 1 : 0;
}

int mf_tgt_is_recurs_make(mf_tgt_table_t *table, const char *name) {
  return table->recurs_list != LIST_HANDLE_NULL && list_holds(table->recurs_list, name) ? 1 : 0;
}

list_handle_t mf_tgt_suffix_list(mf_tgt_table_t *table) { return table->suffix_list; }

void mf_tgt_set_java_audits() { have_java_audits = 1; }
int mf_tgt_java_audits() { return have_java_audits; }

// --- Iteration.

list_handle_t mf_tgt_default_goal_list(mf_tgt_table_t *table) {
  if (table->default_goal_list != LIST_HANDLE_NULL) return table->default_goal_list;
  if (table->first_tgt == nullptr) return LIST_HANDLE_NULL;
  table->default_goal_list = area_list(table);
  append(table->default_goal_list, table->first_tgt);
  return table->default_goal_list;
}

namespace {

// Whether e is the entry of an archive library that only indexes members named as dependencies
// (lib.a() for "lib.a: lib.a(x.o)"): no rule gave a member a script or dependencies, so the
// entry is no target of its own.
bool member_index_only(const mf_tgt_entry_t *e) {
  if (!e->archive_tgt) return false;
  void *d = nullptr;
  for (list_cursor_t c = list_next(e->instances, nullptr, &d); c != nullptr;
       c = list_next(e->instances, c, &d)) {
    const auto *inst = static_cast<const mf_tgt_inst_desc_t *>(d);
    if (inst->script != LIST_HANDLE_NULL && !list_is_empty(inst->script)) return false;
    if (inst->deps != LIST_HANDLE_NULL && !list_is_empty(inst->deps)) return false;
  }
  return true;
}

}  // namespace

list_handle_t mf_tgt_root_tgt_list(mf_tgt_table_t *table) {
  if (table->root_tgt_list != LIST_HANDLE_NULL) return table->root_tgt_list;
  list_handle_t roots = list_create(STG_AREA_HEAP, 0);
  if (roots == LIST_HANDLE_NULL) return LIST_HANDLE_NULL;
  const char *key = nullptr;
  void *data = nullptr;
  for (hash_cursor_t c = hash_str_next(table->comp_table, nullptr, &key, &data); c != nullptr;
       c = hash_str_next(table->comp_table, c, &key, &data)) {
    auto *e = static_cast<mf_tgt_entry_t *>(data);
    if (!e->is_a_dependency && mf_tgt_is_real_tgt(key, table->compat_variant) &&
        !member_index_only(e))
      append(roots, key);
  }
  if (list_is_empty(roots)) {
    list_destroy(roots);
    return LIST_HANDLE_NULL;
  }
  table->root_tgt_list = roots;
  return roots;
}

int mf_tgt_next_implicit_tgt(mf_tgt_table_t *table, hash_cursor_t *cursor, char *buf,
                             size_t size, mf_tgt_entry_t **out_entry) {
  const char *key = nullptr;
  void *data = nullptr;
  *out_entry = nullptr;
  for (;;) {
    *cursor = hash_str_next_in_order(table->comp_table, *cursor, &key, &data);
    if (*cursor == nullptr) return KS_ST_OK;
    auto *e = static_cast<mf_tgt_entry_t *>(data);
    if (mf_tgt_is_real_tgt(key, table->compat_variant) || !e->defined_as_target) continue;
    if (std::strlen(key) + 1 > size) {
      hash_term_scan(table->comp_table);
      *cursor = nullptr;
      imsg_print_shared(IMSG_ERROR, "mf/mfc", &imsg_common_table, IMSG_COMMON_BUF_TOO_SMALL);
      return KS_ST_ERR;
    }
    std::memcpy(buf, key, std::strlen(key) + 1);
    *out_entry = e;
    return KS_ST_OK;
  }
}

// --- Debug dump.

void mf_tgt_dump_tgt_ent(mf_tgt_table_t *table, mf_tgt_entry_t *e) {
  if (e == nullptr) {
    std::printf("dump_tgt:NULL tgt handle passed\n");
    return;
  }
  std::printf("------\n");
  std::printf("defined_as_target:%d\n", e->defined_as_target);
  std::printf("  is_a_dependency:%d\n", e->is_a_dependency);
  std::printf("   multiple_valid:%d\n", e->multiple_valid);
  std::printf(" multiple_defined:%d\n", e->multiple_defined);
  std::printf("  implicit_target:%d\n", e->implicit_target);
  std::printf("      archive_tgt:%d\n", e->archive_tgt);
  std::printf("       has_script:%d\n", e->has_script);
  std::printf("   declared_phony:%d\n", e->declared_phony);
  std::printf("declared_precious:%d\n", e->declared_precious);
  std::printf("       validation:%d\n", e->validation);
  const char *act_pn = mf_tgt_entry_act_pn(table, e);
  std::printf("       tgt_act_pn:%s\n", act_pn != nullptr ? act_pn : "(null)");
  if (e->instances == LIST_HANDLE_NULL) return;
  void *d = nullptr;
  for (list_cursor_t c = list_next(e->instances, nullptr, &d); c != nullptr;
       c = list_next(e->instances, c, &d)) {
    auto *inst = static_cast<mf_tgt_inst_desc_t *>(d);
    if (inst->script != LIST_HANDLE_NULL) {
      std::printf("  --script tmpl--\n");
      print_list(inst->script);
    }
    if (inst->deps != LIST_HANDLE_NULL) {
      std::printf("  --dep_list--\n");
      print_list(inst->deps);
    }
    const list_handle_t script_deps = mf_tgt_inst_script_deps(table, inst);
    if (script_deps != LIST_HANDLE_NULL) {
      std::printf("  --script dep_list--\n");
      print_list(script_deps);
    }
  }
}

void mf_tgt_dump_list_ent(list_handle_t list) {
  if (list == LIST_HANDLE_NULL) return;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    std::printf("%s ", static_cast<const char *>(d));
  std::printf("\n");
}
