#include "mf/mf_tgt_lookup.h"

#include <cstring>
#include <string_view>

#include "ks/pfm.h"
#include "mf/bldr_macro.h"
#include "mf/mf.h"
#include "mf/mf_tgt_gnu.h"
#include "mf/mf_tgt_suff.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"

namespace {

constexpr const char *kModule = "mf/mf_tgt";

// The suffixes of the names of one table, as bits of a small set by their hash. The names are
// taken in as the table grows, from where the last query stopped: entries are never removed.
struct SuffixSet {
  const mf_tgt_table_t *table = nullptr;
  hash_ht_t comp_table = HASH_HT_NULL;
  hash_cursor_t last = nullptr;
  uint64_t bits[16] = {};
};
SuffixSet suffix_set;

// The bit of the suffix of name in the set. Names with '%' (pattern rules) and names that are a
// suffix alone (single-suffix rules) count apart: their suffixes are those that rules derive
// names with.
size_t suffix_bit(const char *name) {
  const size_t n = std::strlen(name);
  const char *const p = name + n;
  const bool pattern = std::memchr(name, '%', n) != nullptr;
  // The last component, and its last dot, read from the end.
  const char *leaf = p;
  const char *dot = nullptr;
  for (; leaf > name && leaf[-1] != '/'; --leaf)
    if (dot == nullptr && leaf[-1] == '.') dot = leaf - 1;
  // FNV-1a over the suffix: suffixes are a few bytes, and the set is a filter only.
  uint32_t h = 2166136261u;
  if (dot != nullptr)
    for (const char *q = dot; q < p; ++q) h = (h ^ static_cast<unsigned char>(*q)) * 16777619u;
  if (pattern) h = ~h;
  if (dot == leaf) h += 0x9e3779b9;
  return h % (sizeof suffix_set.bits * 8);
}

}  // namespace

void mf_tgt_out_of_memory() {
  imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
  PFM_PANIC();
}

list_handle_t mf_tgt_new_list(stg_area_t area) {
  list_handle_t l = list_create(area, 0);
  if (l == LIST_HANDLE_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_LIST_CREATE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    PFM_PANIC();
  }
  return l;
}

mf_tgt_entry_t *mf_tgt_enter_name(mf_tgt_table_t *table, const char *name, const char **key,
                                  bool *existed) {
  void *data = nullptr;
  const int there = hash_str_enter(table->comp_table, name, key, &data);
  if (there < 0) mf_tgt_out_of_memory();
  if (existed != nullptr) *existed = there != 0;
  return static_cast<mf_tgt_entry_t *>(data);
}

void mf_tgt_forget_rule_indexes(mf_tgt_table_t *table) {
  mf_tgt_suff_forget_table(table);
  mf_tgt_gnu_forget_table(table);
}

void mf_tgt_forget_table(mf_tgt_table_t *table) {
  mf_tgt_forget_rule_indexes(table);
  if (suffix_set.table == table) suffix_set = SuffixSet{};
}

bool mf_tgt_may_hold(mf_tgt_table_t *table, const char *name) {
  SuffixSet &set = suffix_set;
  if (set.table != table || set.comp_table != table->comp_table) {
    set = SuffixSet{};
    set.table = table;
    set.comp_table = table->comp_table;
  }
  mf_tgt_take_new_names(table, &set.last, [&set](const char *key) {
    const size_t b = suffix_bit(key);
    set.bits[b / 64] |= uint64_t(1) << (b % 64);
  });
  const size_t b = suffix_bit(name);
  return (set.bits[b / 64] >> (b % 64)) & 1;
}

bool mf_tgt_expand_text(uint32_t variant, list_handle_t tables, const char *text,
                        std::string *out) {
  return bldr_macutl_expand_to_string(variant, tables, text, out) == KS_ST_OK;
}

bool mf_tgt_variant_is_gnu(uint32_t v) { return v == MF_COMPAT_PGNU || v == MF_COMPAT_GNU; }

bool mf_tgt_variant_is_bsd(uint32_t v) {
  return v == MF_COMPAT_SGISMAKE || v == MF_COMPAT_SGIPMAKE || v == MF_COMPAT_BSDNETR2;
}

bool mf_tgt_tracing(int level) { return mf_utl_should_trace("mf_tgt", level); }

char *mf_tgt_area_copy(mf_tgt_table_t *table, const char *text) {
  char *c = stg_area_strdup(table->area, text);
  if (c == nullptr) mf_tgt_out_of_memory();
  return c;
}

list_handle_t mf_tgt_area_list(mf_tgt_table_t *table) { return mf_tgt_new_list(table->area); }

list_handle_t mf_tgt_heap_list() { return mf_tgt_new_list(STG_AREA_HEAP); }

void mf_tgt_list_append(list_handle_t list, const void *datum) {
  if (list_append(list, const_cast<void *>(datum)) != 0) mf_tgt_out_of_memory();
}

std::vector<const char *> mf_tgt_list_strings(list_handle_t list) {
  std::vector<const char *> v;
  if (list == LIST_HANDLE_NULL) return v;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    v.push_back(static_cast<const char *>(d));
  return v;
}

bool mf_tgt_list_holds(list_handle_t list, const char *name) {
  if (list == LIST_HANDLE_NULL) return false;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    if (std::strcmp(static_cast<const char *>(d), name) == 0) return true;
  return false;
}

bool mf_tgt_has_lines(list_handle_t script) {
  return script != LIST_HANDLE_NULL && !list_is_empty(script);
}

mf_tgt_inst_desc_t *mf_tgt_inst_of(mf_tgt_entry_t *entry, list_cursor_t pos) {
  if (entry == nullptr || entry->instances == LIST_HANDLE_NULL || pos == nullptr) return nullptr;
  return static_cast<mf_tgt_inst_desc_t *>(list_get_data(entry->instances, pos));
}
