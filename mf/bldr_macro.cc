#include "mf/bldr_macro.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/bldr_macro_efunc.h"
#include "mf/bldr_opts.h"
#include "mf/bsdmake.h"
#include "mf/mf.h"
#include "mf/mf_flex.h"
#include "mf/mf_lex_tok.h"
#include "mf/mf_parse_cmd_line.h"
#include "mf/mf_tgt.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"

namespace {

const char kModule[] = "mf/bldr_macro";
const char kTrace[] = "bldr_macro";

const char *const bldr_macro_formats[] = {
    /* 0 */ "Macro expansion with no ending delimiter: \"%s\"\n",
    /* 1 */ "Malformed macro expansion: \"%s\"\n",
    /* 2 */ "Circular definition for macro \"%s\".\n",
    /* 3 */ "Command \"%s\" returned status %d\n",
    /* 4 */ "Null definition for special macro \"%s\".\n",
    /* 5 */ "undefined variable `%s'.\n",
    /* 6 */ "",
    /* 7 */ "Unable to run command \"%s\"\n",
    /* 8 */ "Macro references nested more than %d levels deep: \"%.40s\"\n",
    /* 9 */ "Macros nested more than %d levels deep under macro \"%s\".\n",
    /* 10 */ "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    /* 29 */ "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    /* 50 */ "", "", "",
    /* 53 */ "%s:%d:%s\n",
    /* 54 */ "%s\n",
};
constexpr uint16_t kRows = sizeof bldr_macro_formats / sizeof bldr_macro_formats[0];
static_assert(kRows == 55);

constexpr uint16_t make_catalog_entry(int i) { return uint16_t(i + 1); }
struct Catalog {
  uint16_t numbers[kRows];
  constexpr Catalog() : numbers() {
    for (int i = 0; i < kRows; i++) numbers[i] = make_catalog_entry(i);
  }
};
constexpr Catalog kCatalog;

bool tracing(int level) { return mf_utl_should_trace(kTrace, level); }

// The bit of a name of len bytes in a table's name_bits.
uint64_t name_bit(const char *name, size_t len) {
  return uint64_t(1) << ((static_cast<unsigned char>(name[0]) * 31u + len) % 64);
}

// Makes a deferred table's entries now.
void make_entries(bldr_macro_table_t *table) {
  bldr_macro_deferred_t *deferred = table->deferred;
  if (deferred == nullptr) return;
  table->deferred = nullptr;
  table->name_bits = 0;
  if (deferred->fill(table) != KS_ST_OK) table->fill_failed = true;
  delete deferred;
}

// Readies table for a lookup of name: false when the table cannot hold it; a deferred table
// that may hold it makes its entries.
bool ready_for(bldr_macro_table_t *table, const char *name) {
  if (table->deferred == nullptr) return true;
  if (!table->deferred->may_define(name)) return false;
  make_entries(table);
  return true;
}

unsigned long table_id(const bldr_macro_table_t *table) {
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(table));
}

// Whether table holds name; its entry in *slot when slot is not null.
bool find_entry(const bldr_macro_table_t *table, const char *name, void **slot) {
  return table->hash != HASH_HT_NULL && hash_str_lookup(table->hash, name, nullptr, slot);
}

// Stores a copy of value in the entry of name, entering the name when new. With only_new, an
// existing entry is left alone.
ks_status_t define_entry(bldr_macro_table_t *table, const char *name, const char *value,
                         uint32_t flags, bool only_new) {
  PFM_ASSERT(table != NULL);
  make_entries(table);
  if (table->hash == HASH_HT_NULL) {
    table->hash = hash_str_create(table->buckets, sizeof(bldr_macro_entry_t), 1);
    if (table->hash != HASH_HT_NULL) hash_set_order(table->hash);
  }
  void *slot = nullptr;
  int existed =
      table->hash != HASH_HT_NULL ? hash_str_enter(table->hash, name, nullptr, &slot) : -1;
  if (existed < 0) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  table->name_bits |= name_bit(name, std::strlen(name));
  auto *entry = static_cast<bldr_macro_entry_t *>(slot);
  if (existed && only_new) {
    if (tracing(3)) {
      imsg_print_cold(IMSG_TRACE, "Defined macro \"%s\" with value \"%s\" in table %lu\n", -1,
                      name, entry->value, table_id(table));
    }
    return KS_ST_OK;
  }
  char *copy = stg_area_strdup(table->area, value ? value : "");
  if (copy == nullptr) {
    if (!existed) hash_str_remove(table->hash, name);
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  if (existed && (table->area == STG_AREA_HEAP || entry->room != 0)) stg_free(entry->value);
  entry->value = copy;
  entry->flags = flags;
  entry->room = 0;
  if (tracing(3)) {
    imsg_print_cold(IMSG_TRACE, "Defined macro \"%s\" with value \"%s\" in table %lu\n", -1, name,
                    entry->value, table_id(table));
  }
  return KS_ST_OK;
}

}  // namespace

const imsg_msg_table_t _bldr_macro_karsel_msg_table = {
    "karsel_bin", kModule, 101, kRows, bldr_macro_formats, kCatalog.numbers,
};

namespace {

// The BSD variable engine as the hook calls it: results on the heap.
ks_status_t bsd_expand_line(list_handle_t tables, const char *line, uint32_t bsd_mode, uint32_t,
                            char **result, list_handle_t bindings, stg_area_t binding_area,
                            uint32_t recursive) {
  return bsdmake_var_expand_line(tables, line, bsd_mode, STG_AREA_HEAP, result, bindings,
                                 binding_area, int32_t(recursive));
}

}  // namespace

bldr_macro_hooks_t bldr_macro_default_hooks() {
  bldr_macro_hooks_t h = {};
  h.java_audits = [] { return int32_t(mf_tgt_java_audits()); };
  h.warn_undef_set = mf_parse_warn_undef_set;
  h.exporting_macro_defs = bldr_opts_exporting_macro_defs;
  h.parse_in_progress = [] { return mfc_parse_op_rec_p != nullptr ? 1 : 0; };
  h.unique_mfs_name = [](const char *text) {
    return bldr_opts_unique_mfs_name(text, mfc_curr_opts_handle);
  };
  h.set_expanded_simply = [](uint32_t flag) {
    mf_lex_set_mf_expanded_simply_expanded_macro(int(flag));
  };
  h.efunc_lookup = bldr_macro_efunc_lookup;
  h.efunc_apply = bldr_macro_efunc_apply;
  h.bsd_expand_line = bsd_expand_line;
  h.bsd_find_in_str = bsdmake_var_find_in_str;
  return h;
}

bldr_macro_hooks_t bldr_macro_hooks = bldr_macro_default_hooks();

// ---------------------------------------------------------------------------------------------
// Tables and lookup

bldr_macro_table_t *bldr_macro_init_table(uint32_t buckets, bldr_macro_origin_t kind,
                                          stg_area_t area) {
  PFM_ASSERT(area != STG_AREA_NULL);
  auto *table =
      static_cast<bldr_macro_table_t *>(stg_calloc(STG_AREA_HEAP, sizeof(bldr_macro_table_t)));
  if (table == nullptr) return nullptr;
  table->buckets = buckets;
  table->kind = kind;
  table->area = area;
  return table;
}

ks_status_t bldr_macro_defer(bldr_macro_table_t *table, bldr_macro_deferred_t *deferred) {
  delete table->deferred;
  table->deferred = deferred;
  table->name_bits = ~uint64_t(0);
  table->fill_failed = false;
  if (tracing(3)) make_entries(table);
  return table->fill_failed ? KS_ST_ERR : KS_ST_OK;
}

hash_cursor_t bldr_macro_next_entry(const bldr_macro_table_t *table, hash_cursor_t cursor,
                                    const char **name, void **slot) {
  return table->hash != HASH_HT_NULL ? hash_str_next_in_order(table->hash, cursor, name, slot)
                                     : nullptr;
}

ks_status_t bldr_macro_term_table(bldr_macro_table_t *table) {
  if (table == nullptr) return KS_ST_OK;
  delete table->deferred;
  void *slot = nullptr;
  for (hash_cursor_t c = bldr_macro_next_entry(table, nullptr, nullptr, &slot); c != nullptr;
       c = bldr_macro_next_entry(table, c, nullptr, &slot)) {
    auto *entry = static_cast<bldr_macro_entry_t *>(slot);
    if (table->area == STG_AREA_HEAP || entry->room != 0) stg_free(entry->value);
  }
  hash_delete_ht(&table->hash);
  if (table->hash != HASH_HT_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_HASH_DELETE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
  }
  stg_free(table);
  return KS_ST_OK;
}

ks_status_t bldr_macro_define(bldr_macro_table_t *table, const char *name, const char *value,
                              uint32_t flags) {
  return define_entry(table, name, value, flags, false);
}

ks_status_t bldr_macro_define_unique(bldr_macro_table_t *table, const char *name,
                                     const char *value) {
  return define_entry(table, name, value, 0, true);
}

int bldr_macro_append_in_place(const bldr_macro_def_t *def, list_handle_t tables,
                               bldr_macro_table_t *table, const char **value) {
  if (def->op != BLDR_MACRO_OP_APPEND || table == nullptr) return 0;
  void *datum = nullptr;
  void *slot = nullptr;
  for (list_cursor_t c = list_next(tables, nullptr, &datum); c != nullptr;
       c = list_next(tables, c, &datum)) {
    auto *t = static_cast<bldr_macro_table_t *>(datum);
    if (ready_for(t, def->name) && find_entry(t, def->name, &slot)) {
      if (t != table) return 0;
      break;
    }
    slot = nullptr;
  }
  if (slot == nullptr) return 0;
  auto *entry = static_cast<bldr_macro_entry_t *>(slot);
  const char *added = def->value ? def->value : "";
  // A simply-expanded value takes the expansion of the added text.
  if (entry->flags == 1 && std::strchr(added, '$') != nullptr) return 0;
  const size_t add = std::strlen(added);
  if (add > 0) {
    const size_t len = entry->room != 0 ? entry->length : std::strlen(entry->value);
    const size_t need = len + 1 + add + 1;
    if (need > entry->room) {
      size_t room = entry->room != 0 ? entry->room : 64;
      while (room < need) room *= 2;
      char *grown = static_cast<char *>(stg_malloc(room));
      if (grown == nullptr) {
        imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
        return -1;
      }
      std::memcpy(grown, entry->value, len + 1);
      if (entry->room != 0 || table->area == STG_AREA_HEAP) stg_free(entry->value);
      entry->value = grown;
      entry->room = room;
    }
    entry->value[len] = ' ';
    std::memcpy(entry->value + len + 1, added, add + 1);
    entry->length = len + 1 + add;
  }
  if (tracing(3)) {
    imsg_print_cold(IMSG_TRACE, "Defined macro \"%s\" with value \"%s\" in table %lu\n", -1,
                    def->name, entry->value, table_id(table));
  }
  *value = entry->value;
  return 1;
}

const char *bldr_macro_lookup_in_table(bldr_macro_table_t *table, const char *name,
                                       uint32_t *flags) {
  void *slot = nullptr;
  if (!ready_for(table, name) || !find_entry(table, name, &slot)) {
    if (tracing(4)) {
      imsg_print_cold(IMSG_TRACE, "Did not find macro \"%s\" in table %lu\n", -1, name,
                      table_id(table));
    }
    return nullptr;
  }
  auto *entry = static_cast<bldr_macro_entry_t *>(slot);
  if (flags) *flags = entry->flags;
  if (tracing(4)) {
    imsg_print_cold(IMSG_TRACE, "Found macro \"%s\" with value \"%s\" in table %lu\n", -1, name,
                    entry->value, table_id(table));
  }
  return entry->value;
}

const char *bldr_macro_lookup(list_handle_t tables, const char *name, uint32_t *flags) {
  void *datum = nullptr;
  // Traced, every table says what it holds; otherwise a table that cannot hold the name is
  // passed over unasked.
  const bool traced = tracing(4);
  const uint64_t bit = name_bit(name, std::strlen(name));
  for (list_cursor_t c = list_next(tables, nullptr, &datum); c != nullptr;
       c = list_next(tables, c, &datum)) {
    auto *table = static_cast<bldr_macro_table_t *>(datum);
    if (traced) {
      const char *value = bldr_macro_lookup_in_table(table, name, flags);
      if (value != nullptr) return value;
      continue;
    }
    void *slot = nullptr;
    if ((table->name_bits & bit) == 0 || !ready_for(table, name) ||
        !find_entry(table, name, &slot))
      continue;
    auto *entry = static_cast<bldr_macro_entry_t *>(slot);
    if (flags) *flags = entry->flags;
    return entry->value;
  }
  return nullptr;
}

const char *bldr_macro_lookup_with_2_spellings(list_handle_t tables, const char *name1,
                                               const char *name2, uint32_t *flags) {
  void *datum = nullptr;
  for (list_cursor_t c = list_next(tables, nullptr, &datum); c != nullptr;
       c = list_next(tables, c, &datum)) {
    auto *table = static_cast<bldr_macro_table_t *>(datum);
    const char *value = bldr_macro_lookup_in_table(table, name1, flags);
    if (value == nullptr) value = bldr_macro_lookup_in_table(table, name2, flags);
    if (value != nullptr) return value;
  }
  return nullptr;
}

bldr_macro_origin_t bldr_macro_origin(list_handle_t tables, const char *name) {
  void *datum = nullptr;
  for (list_cursor_t c = list_next(tables, nullptr, &datum); c != nullptr;
       c = list_next(tables, c, &datum)) {
    auto *table = static_cast<bldr_macro_table_t *>(datum);
    if (ready_for(table, name) && find_entry(table, name, nullptr))
      return table->kind;
  }
  return BLDR_MACRO_ORIGIN_UNDEFINED;
}

const char *bldr_macro_lookup_next_macro(bldr_macro_table_t *table, hash_cursor_t *iterator,
                                         size_t buf_size, char *name_buf) {
  const char *name = nullptr;
  void *slot = nullptr;
  make_entries(table);
  hash_cursor_t next = bldr_macro_next_entry(table, *iterator, &name, &slot);
  *iterator = next;
  if (next == nullptr) return nullptr;
  if (std::strlen(name) >= buf_size) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_BUF_TOO_SMALL);
    return nullptr;
  }
  std::memcpy(name_buf, name, std::strlen(name) + 1);
  return static_cast<bldr_macro_entry_t *>(slot)->value;
}

bldr_macro_table_t *bldr_macro_nearest_table_for_macro(list_handle_t macro_table_list,
                                                       const char *macro_name) {
  PFM_ASSERT(macro_table_list != LIST_HANDLE_NULL);
  PFM_ASSERT(! STRUTL_IS_NULL (macro_name));
  size_t table_count = list_length(macro_table_list);
  PFM_ASSERT(table_count > 0);
  void *datum = nullptr;
  void *first = nullptr;
  for (list_cursor_t c = list_next(macro_table_list, nullptr, &datum); c != nullptr;
       c = list_next(macro_table_list, c, &datum)) {
    auto *table = static_cast<bldr_macro_table_t *>(datum);
    if (first == nullptr) first = table;
    if (ready_for(table, macro_name) && find_entry(table, macro_name, nullptr))
      return table;
  }
  return static_cast<bldr_macro_table_t *>(first);
}

ks_status_t bldr_macro_insert_gnu_scoped_macro_list(list_handle_t tables,
                                                    bldr_macro_table_t *scope, stg_area_t area,
                                                    list_handle_t overrides) {
  void *datum = nullptr;
  list_cursor_t cmd_line = nullptr;
  for (list_cursor_t c = list_next(tables, nullptr, &datum); c != nullptr;
       c = list_next(tables, c, &datum)) {
    if (static_cast<bldr_macro_table_t *>(datum)->kind == BLDR_MACRO_ORIGIN_CMD_LINE) {
      cmd_line = c;
      break;
    }
  }
  if (cmd_line == nullptr) return list_insert(tables, nullptr, scope) == 0 ? KS_ST_OK : KS_ST_ERR;

  if (overrides != LIST_HANDLE_NULL && !list_is_empty(overrides)) {
    bldr_macro_table_t *table = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_GNU_SCOPE, area);
    if (table == nullptr) {
      tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                        pfm_file_stem(__FILE__), __LINE__, 0);
      return KS_ST_ERR;
    }
    for (list_cursor_t c = list_next(overrides, nullptr, &datum); c != nullptr;
         c = list_next(overrides, c, &datum)) {
      auto *def = static_cast<bldr_macro_def_t *>(datum);
      if (bldr_macro_define(table, def->name, def->value, 0) != KS_ST_OK) {
        bldr_macro_term_table(table);
        return KS_ST_ERR;
      }
    }
    if (list_insert(tables, nullptr, table) != 0) {
      bldr_macro_term_table(table);
      return KS_ST_ERR;
    }
  }
  scope->kind = BLDR_MACRO_ORIGIN_GNU_SCOPE;
  return list_insert_after(tables, cmd_line, scope) == 0 ? KS_ST_OK : KS_ST_ERR;
}

// ---------------------------------------------------------------------------------------------
// Substitution references

const char *bldr_macro_chpat_parse_patstr(const char *pattern, size_t len, const char **prefix,
                                          size_t *prefix_len, const char **suffix,
                                          size_t *suffix_len, uint32_t *no_percent) {
  *prefix = nullptr;
  *prefix_len = 0;
  *suffix = nullptr;
  *suffix_len = 0;
  *no_percent = 0;
  const char *percent = static_cast<const char *>(std::memchr(pattern, '%', len));
  if (percent == nullptr) {
    *no_percent = 1;
    if (len > 0) {
      *suffix = pattern;
      *suffix_len = len;
    }
    return nullptr;
  }
  if (percent > pattern) {
    *prefix = pattern;
    *prefix_len = size_t(percent - pattern);
  }
  const char *after = percent + 1;
  if (after < pattern + len) {
    *suffix = after;
    *suffix_len = size_t(pattern + len - after);
  }
  return percent;
}

int bldr_macro_chpat_match_pattern(const char *buf, size_t start, size_t end, const char *prefix,
                                   size_t prefix_len, const char *suffix, size_t suffix_len,
                                   const char **stem, size_t *stem_len) {
  // The word must hold the prefix and the suffix side by side; a shorter word would make the
  // suffix comparison reach into the text before the word.
  size_t word_len = end - start;
  if (word_len < prefix_len + suffix_len) return 0;
  if (prefix != nullptr && std::memcmp(buf + start, prefix, prefix_len) != 0) return 0;
  if (suffix != nullptr && std::memcmp(buf + end - suffix_len, suffix, suffix_len) != 0) return 0;
  *stem = buf + start + prefix_len;
  *stem_len = word_len - prefix_len - suffix_len;
  return 1;
}

namespace {

bool is_white(const char *p) { return strutl_test_char(p, STRUTL_CLASS_SPACE) != 0; }

// Appends the replacement of a "%" match: a backslash makes the next character literal, the first
// unescaped "%" becomes the stem, later ones the stem again except in the GNU flavour.
bool append_percent_replacement(char **out, bldr_macro_flavor_t flavor, const char *replacement,
                                const char *stem, size_t stem_len) {
  bool stem_used = false;
  for (const char *r = replacement; *r; r++) {
    if (*r == '\\' && r[1] != '\0') {
      r++;
      if (!mf_flex_append_char(out, *r)) return false;
    } else if (*r == '%' && (!stem_used || flavor != BLDR_MACRO_FLAVOR_GNU)) {
      stem_used = true;
      if (!mf_flex_append(out, stem, stem_len)) return false;
    } else if (!mf_flex_append_char(out, *r)) {
      return false;
    }
  }
  return true;
}

}  // namespace

int bldr_macro_chpat(bldr_macro_flavor_t flavor, char **value, const char *pattern,
                     const char *replacement, char **stem_out) {
  const char *prefix = nullptr;
  const char *suffix = nullptr;
  size_t prefix_len = 0;
  size_t suffix_len = 0;
  uint32_t no_percent = 1;
  size_t pattern_len = std::strlen(pattern);
  if (pattern_len > 0) {
    bldr_macro_chpat_parse_patstr(pattern, pattern_len, &prefix, &prefix_len, &suffix, &suffix_len,
                                  &no_percent);
  }
  const char *text = *value;
  const size_t text_len = mf_flex_length(text);
  mf_flex_local out;
  size_t p = 0;
  bool ok = true;
  while (ok && p < text_len) {
    if (is_white(text + p)) {
      int n = strutl_char_len(text + p);
      ok = mf_flex_append(&out.ptr(), text + p, size_t(n));
      p += size_t(n);
      continue;
    }
    size_t start = p;
    while (p < text_len && !is_white(text + p)) p += size_t(strutl_char_len(text + p));
    size_t end = p;
    if (pattern_len == 0) {
      ok = mf_flex_append(&out.ptr(), text + start, end - start) &&
           mf_flex_append_str(&out.ptr(), replacement);
      continue;
    }
    const char *stem = nullptr;
    size_t stem_len = 0;
    if (bldr_macro_chpat_match_pattern(text, start, end, prefix, prefix_len, suffix, suffix_len,
                                       &stem, &stem_len)) {
      if (no_percent) {
        ok = mf_flex_append(&out.ptr(), text + start, end - start - suffix_len) &&
             mf_flex_append_str(&out.ptr(), replacement);
      } else {
        ok = append_percent_replacement(&out.ptr(), flavor, replacement, stem, stem_len);
        if (ok && stem_out != nullptr) ok = mf_flex_assign(stem_out, stem, stem_len);
      }
      continue;
    }
    // A suffix pattern that starts with white space may reach back over the white space in front
    // of the word (and only over that, which the output holds as it was): those bytes are taken
    // back from the output and the word itself contributes nothing.
    size_t word_len = end - start;
    if (no_percent && suffix_len > word_len && suffix_len - word_len <= start &&
        std::memcmp(text + end - suffix_len, suffix, suffix_len) == 0) {
      size_t back = suffix_len - word_len;
      bool all_white = true;
      for (size_t i = start - back; i < start; i++) all_white = all_white && is_white(text + i);
      if (all_white && out.size() >= back) {
        mf_flex_hdr(out.ptr())->cur -= back;
        *mf_flex_hdr(out.ptr())->cur = '\0';
        ok = mf_flex_append_str(&out.ptr(), replacement);
        continue;
      }
    }
    ok = mf_flex_append(&out.ptr(), text + start, word_len);
  }
  if (!ok) return 0;
  if (!mf_flex_assign(value, out.c_str(), out.size())) return 0;
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Expansion

uint32_t bldr_macro_preserve_double_dollar = 0;
uint32_t bldr_macro_have_double_dollar_tgts = 0;

namespace {

// Process-wide state of the expander.
int32_t recurse_depth = 0;
char saved_macro_name[257];
uint32_t vpath_seen_empty = 0;
// The names of the macros being evaluated, outermost first, one per recurse_depth.
std::vector<std::string_view> active_names;
// Texts being expanded, one inside the other: references in names, values, function arguments.
int32_t nesting = 0;

constexpr int32_t kMaxDepth = 1023;
// Deepest nesting of expansions. Every level takes a few kilobytes of stack: the limit stops a
// text of thousands of nested references before the stack runs out, well above what the depth
// limit of macro values lets a chain of macros reach.
constexpr int32_t kMaxNesting = 2 * (kMaxDepth + 1);

// One reference, as offsets into the text that holds it.
struct Ref {
  size_t len = 0;         // bytes from the "$"
  bool delimited = false; // "(...)" or "{...}"
  size_t in_start = 0, in_end = 0;  // the inside, between the delimiters
  // The name: [name_start, name_end) of the text, or the one character of a short reference.
  size_t name_start = 0, name_end = 0;
  const bldr_macro_efunc_row_t *func = nullptr;
  uint32_t func_flag = 1;
  size_t args_start = 0, args_end = 0;
  bool shell = false;
  bool subst = false;
  size_t pat_start = 0, pat_end = 0, repl_start = 0, repl_end = 0;
};

bool function_calls_recognised(bldr_macro_flavor_t flavor) {
  if (bldr_macro_hooks.efunc_lookup == nullptr || bldr_macro_hooks.efunc_apply == nullptr) {
    return false;
  }
  if (flavor == BLDR_MACRO_FLAVOR_GNU) return true;
  return bldr_macro_hooks.java_audits != nullptr && bldr_macro_hooks.java_audits() != 0;
}

[[gnu::cold]] void print_from(int row, const char *text, size_t from, size_t len) {
  std::string shown(text + from, len);
  imsg_print_cold(IMSG_ERROR, &_bldr_macro_karsel_msg_table, row, shown.c_str());
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Parses the reference at text[p] == '$' (text is len bytes). 0, or KS_ST_ERR after a message.
ks_status_t parse_ref(bldr_macro_flavor_t flavor, const char *text, size_t len, size_t p,
                      Ref *r) {
  *r = Ref();
  char c = text[p + 1];
  if (c == '\0') {  // a lone "$" at the end
    r->len = 1;
    r->name_start = r->name_end = p + 1;
    return KS_ST_OK;
  }
  if (c != '(' && c != '{') {
    r->len = 2;
    r->name_start = p + 1;
    r->name_end = p + 2;
    return KS_ST_OK;
  }
  const char *close = strutl_find_end_delim(text + p + 1, c, c == '(' ? ')' : '}');
  if (close == nullptr) {
    print_from(BLDR_MACRO_MSG_NO_END_DELIM, text, p, len - p);
    return KS_ST_ERR;
  }
  r->delimited = true;
  r->in_start = p + 2;
  r->in_end = size_t(close - text);
  r->len = r->in_end + 1 - p;
  // A plain name, without a reference, a modifier or a blank, is the whole inside: neither a
  // function call nor a substitution. Its bytes are tested alone, as none of these four can be
  // part of a multibyte character.
  bool plain = true;
  for (size_t i = r->in_start; plain && i < r->in_end; i++) {
    const char b = text[i];
    plain = b != '$' && b != ':' && b != ' ' && b != '\t';
  }
  if (plain) {
    r->name_start = r->in_start;
    r->name_end = r->in_end;
    return KS_ST_OK;
  }

  if (function_calls_recognised(flavor)) {
    size_t blank = 0;
    if (bldr_macro_find_tag(text, r->in_start, r->in_end, "$ \t", &blank)) {
      uint32_t flag = 1;
      const bldr_macro_efunc_row_t *row =
          bldr_macro_hooks.efunc_lookup(text + r->in_start, blank - r->in_start, &flag);
      if (row != nullptr) {
        r->func = row;
        r->func_flag = flag;
        r->name_start = r->in_start;
        r->name_end = blank;
        size_t a = blank;
        while (a < r->in_end && is_blank(text[a])) a++;
        r->args_start = a;
        r->args_end = r->in_end;
        return KS_ST_OK;
      }
    }
  }

  size_t colon = 0;
  bool has_colon = bldr_macro_find_tag(text, r->in_start, r->in_end, "$:", &colon) != 0;
  r->name_start = r->in_start;
  r->name_end = has_colon ? colon : r->in_end;
  if (has_colon) {
    size_t rest = colon + 1;
    std::string_view mod(text + rest, r->in_end - rest);
    size_t eq = 0;
    if (flavor != BLDR_MACRO_FLAVOR_GNU && (mod == "s" || mod == "sh")) {
      r->shell = true;
    } else if (bldr_macro_find_tag(text, rest, r->in_end, "$=", &eq)) {
      r->subst = true;
      r->pat_start = rest;
      r->pat_end = eq;
      r->repl_start = eq + 1;
      r->repl_end = r->in_end;
    } else if (flavor == BLDR_MACRO_FLAVOR_SUN) {
      print_from(BLDR_MACRO_MSG_MALFORMED, text, p, r->len);
      return KS_ST_ERR;
    } else {
      r->name_end = r->in_end;  // the ":" and what follows belong to the name
    }
  }
  if (flavor == BLDR_MACRO_FLAVOR_PLAIN) {
    while (r->name_start < r->name_end && is_blank(text[r->name_start])) r->name_start++;
    while (r->name_end > r->name_start && is_blank(text[r->name_end - 1])) r->name_end--;
  }
  return KS_ST_OK;
}

// Whether name is one of the dynamic macros of the flavor. Out of line, as warn_undefined and
// list_variables: the references of most makefiles never reach them.
[[gnu::noinline]] bool is_special_name(bldr_macro_flavor_t flavor, const char *name) {
  static const char *const always[] = {"@", "%", "?", "*", "<"};
  static const char *const gnu[] = {"^",    "+",    "(@D)", "(@F)", "(*D)", "(*F)", "(%D)",
                                    "(%F)", "(<D)", "(<F)", "(?D)", "(?F)"};
  for (const char *s : always) {
    if (std::strcmp(s, name) == 0) return true;
  }
  if (flavor == BLDR_MACRO_FLAVOR_GNU) {
    for (const char *s : gnu) {
      if (std::strcmp(s, name) == 0) return true;
    }
  }
  return false;
}

uint32_t exporting_macro_defs() {
  return bldr_macro_hooks.exporting_macro_defs ? bldr_macro_hooks.exporting_macro_defs() : 0;
}

[[gnu::noinline]] void warn_undefined(const char *name) {
  if (exporting_macro_defs() != 0) return;
  if (bldr_macro_hooks.warn_undef_set == nullptr || bldr_macro_hooks.warn_undef_set() == 0) return;
  bool is_shell = std::strcmp(name, "SHELL") == 0;
  bool is_vpath = std::strcmp(name, "VPATH") == 0;
  if ((is_shell || is_vpath) && !tracing(1)) return;
  if (is_vpath && vpath_seen_empty) return;
  imsg_print_cold(IMSG_WARNING, &_bldr_macro_karsel_msg_table, BLDR_MACRO_MSG_UNDEFINED, name);
}

ks_status_t no_memory() {
  imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
  return KS_ST_ERR;
}

// Copies text[from, to) into the flex string and expands it fully when it holds a "$".
ks_status_t take_part(list_handle_t tables, bldr_macro_flavor_t flavor, const char *text,
                      size_t from, size_t to, char **part) {
  if (!mf_flex_assign(part, text + from, to - from)) return no_memory();
  if (std::memchr(*part, '$', mf_flex_length(*part)) == nullptr) return KS_ST_OK;
  return bldr_macro_expand_flex_string(tables, flavor, part, 1, LIST_HANDLE_NULL, STG_AREA_NULL);
}

// The names of every macro of the list but GNU target scopes, in list order and within a table in
// definition order, separated by single blanks.
[[gnu::noinline]] ks_status_t list_variables(list_handle_t tables, char **value) {
  void *datum = nullptr;
  for (list_cursor_t c = list_next(tables, nullptr, &datum); c != nullptr;
       c = list_next(tables, c, &datum)) {
    auto *table = static_cast<bldr_macro_table_t *>(datum);
    if (table->kind == BLDR_MACRO_ORIGIN_GNU_SCOPE) continue;
    hash_cursor_t it = nullptr;
    char name[1024];
    for (;;) {
      const char *v = bldr_macro_lookup_next_macro(table, &it, sizeof name, name);
      if (v == nullptr) {
        if (it == nullptr) break;
        continue;  // a name too long for the buffer (reported): skip it, keep the others
      }
      if (mf_flex_length(*value) > 0 && !mf_flex_append_char(value, ' ')) return no_memory();
      if (!mf_flex_append_str(value, name)) return no_memory();
    }
  }
  return KS_ST_OK;
}

// Evaluates the reference r of text into value (steps 6 to 10 of an expansion): 0, or KS_ST_ERR.
ks_status_t eval_ref(list_handle_t tables, bldr_macro_flavor_t flavor, const char *text,
                     const Ref &r, uint32_t recursive, list_handle_t bindings,
                     stg_area_t binding_area, char **value) {
  mf_flex_local name, pattern, replacement;
  if (r.subst) {
    if (take_part(tables, flavor, text, r.repl_start, r.repl_end, &replacement.ptr()) ||
        take_part(tables, flavor, text, r.pat_start, r.pat_end, &pattern.ptr())) {
      return KS_ST_ERR;
    }
  }
  if (r.func != nullptr) {
    if (!mf_flex_assign(&name.ptr(), text + r.name_start, r.name_end - r.name_start)) {
      return no_memory();
    }
  } else if (take_part(tables, flavor, text, r.name_start, r.name_end, &name.ptr())) {
    return KS_ST_ERR;
  }

  if (recurse_depth == 0) {
    const size_t kept = std::min(name.size(), sizeof saved_macro_name - 1);
    std::memcpy(saved_macro_name, name.c_str(), kept);
    saved_macro_name[kept] = '\0';
  } else if (recurse_depth > kMaxDepth) {
    // A macro met again on the way down is a circular definition; a long chain of distinct
    // macros is only too deep.
    const std::string_view here(name.c_str(), name.size());
    bool circular = false;
    for (std::string_view n : active_names) circular = circular || n == here;
    if (circular) {
      imsg_print_cold(IMSG_ERROR, &_bldr_macro_karsel_msg_table, BLDR_MACRO_MSG_CIRCULAR,
                      saved_macro_name);
    } else {
      imsg_print_cold(IMSG_ERROR, &_bldr_macro_karsel_msg_table, BLDR_MACRO_MSG_TOO_DEEP,
                      kMaxDepth + 1, saved_macro_name);
    }
    return KS_ST_ERR;
  }
  // The depth comes back down however this reference ends, a raised $(error) included.
  struct DepthGuard {
    explicit DepthGuard(std::string_view n) {
      recurse_depth++;
      active_names.push_back(n);
    }
    ~DepthGuard() {
      recurse_depth--;
      active_names.pop_back();
    }
  } depth_guard(std::string_view(name.c_str(), name.size()));
  if (tracing(4)) imsg_print_cold(IMSG_TRACE, "Macro recurse depth is %d\n", -1, recurse_depth);

  ks_status_t status = KS_ST_OK;
  bool bind = bindings != LIST_HANDLE_NULL;
  char *binding = nullptr;
  const char *nm = name.c_str();
  if (r.func == nullptr && std::strcmp(nm, ".VARIABLES") == 0) {
    status = list_variables(tables, value);
    bind = false;
  } else if (r.func != nullptr) {
    mf_flex_local args;
    if (!mf_flex_assign(&args.ptr(), text + r.args_start, r.args_end - r.args_start)) {
      status = no_memory();
    } else if (bldr_macro_hooks.efunc_apply(r.func, args.c_str(), tables, flavor, value) !=
               KS_ST_OK) {
      status = KS_ST_ERR;
    }
    bind = false;
  } else {
    uint32_t flags = 0;
    const char *found = bldr_macro_lookup(tables, nm, &flags);
    if (bldr_macro_hooks.set_expanded_simply) {
      bldr_macro_hooks.set_expanded_simply(found != nullptr ? flags : 0);
    }
    if (found == nullptr) {
      if (tracing(4)) {
        imsg_print_cold(IMSG_TRACE,
                        "Evaluated macro \"%s\" - undefined. Expanded to null string.\n", -1, nm);
      }
      if (bind && (binding = mf_utl_area_putenv_def(nm, "", binding_area)) == nullptr) {
        status = no_memory();
      }
      warn_undefined(nm);
    } else {
      if (!mf_flex_append_str(value, found)) status = no_memory();
      if (status == KS_ST_OK && flavor == BLDR_MACRO_FLAVOR_GNU &&
          std::strcmp(nm, "MAKEFLAGS") == 0 && mf_getenv("ORVA_MAKEFLAGS_V6_OBSOLETE") == nullptr) {
        uint32_t vars_flags = 0;
        if (const char *vars = bldr_macro_lookup(tables, "ORVA_CMDL_VARS", &vars_flags)) {
          if ((mf_flex_length(*value) > 0 && !mf_flex_append_str(value, " -- ")) ||
              !mf_flex_append_str(value, vars)) {
            status = no_memory();
          }
          flags = vars_flags;
        }
      }
      if (status == KS_ST_OK && tracing(4)) {
        imsg_print_cold(IMSG_TRACE, "Evaluated macro \"%s\", value: \"%s\"\n", -1, nm, *value);
      }
      if (status == KS_ST_OK && flags == 0 && (r.subst || r.shell || recursive == 1) &&
          std::memchr(*value, '$', mf_flex_length(*value)) != nullptr) {
        status = bldr_macro_expand_flex_string(tables, flavor, value, 1, LIST_HANDLE_NULL,
                                               STG_AREA_NULL);
      }
      if (status == KS_ST_OK && bind &&
          (binding = mf_utl_area_putenv_def(nm, *value, binding_area)) == nullptr) {
        status = no_memory();
      }
      if (status == KS_ST_OK && r.subst) {
        if (!bldr_macro_chpat(flavor, value, pattern.c_str(), replacement.c_str(), nullptr)) {
          status = no_memory();
        } else if (tracing(4)) {
          imsg_print_cold(IMSG_TRACE, "\"$(%s:%s=%s)\" = \"%s\"\n", -1, nm, pattern.c_str(),
                          replacement.c_str(), *value);
        }
      } else if (status == KS_ST_OK && r.shell) {
        if (tracing(4)) {
          imsg_print_cold(IMSG_TRACE, "Executing macro expansion shell command:\n\t\"%s\"\n", -1,
                          *value);
        }
        if (!bldr_macro_exec_cmd(flavor, 0, value)) {
          status = KS_ST_ERR;
        } else if (tracing(4)) {
          imsg_print_cold(IMSG_TRACE, "Result of shell command:\n\t\"%s\"\n", -1, *value);
        }
      }
    }
  }

  if (mf_flex_length(*value) == 0) {
    bool parsing = bldr_macro_hooks.parse_in_progress && bldr_macro_hooks.parse_in_progress();
    if (tracing(1) && exporting_macro_defs() == 0 && !parsing && is_special_name(flavor, nm)) {
      imsg_print_cold(IMSG_WARNING, &_bldr_macro_karsel_msg_table, BLDR_MACRO_MSG_NULL_SPECIAL,
                      nm);
    }
    if (std::strcmp(nm, "VPATH") == 0) vpath_seen_empty = 1;
  }
  if (status != KS_ST_OK) return KS_ST_ERR;
  if (bind && binding != nullptr && list_append(bindings, binding) != 0) return no_memory();
  return KS_ST_OK;
}

}  // namespace

int bldr_macro_find_tag(const char *text, size_t start, size_t end, const char *tag_set,
                        size_t *offset) {
  bool steps_refs = std::strchr(tag_set, '$') != nullptr;
  // A character that is neither a tag, a '$' nor the end is passed in one test.
  bool stops[256] = {};
  stops[0] = stops[static_cast<unsigned char>('$')] = true;
  for (const char *tag = tag_set; *tag != '\0'; ++tag) stops[static_cast<unsigned char>(*tag)] = true;
  size_t p = start;
  while (p < end) {
    char c = text[p];
    if (!stops[static_cast<unsigned char>(c)]) {
      p += size_t(strutl_char_len(text + p));
      continue;
    }
    if (c == '\0') return 0;
    if (c == '$' && steps_refs) {
      char n = text[p + 1];
      if (n == '(' || n == '{') {
        const char *close = strutl_find_end_delim(text + p + 1, n, n == '(' ? ')' : '}');
        if (close == nullptr) {
          imsg_print_cold(IMSG_ERROR, &_bldr_macro_karsel_msg_table, BLDR_MACRO_MSG_NO_END_DELIM,
                          text + p);
          return 0;
        }
        p = size_t(close - text) + 1;
      } else {
        p += n == '\0' ? 1 : 2;
      }
      continue;
    }
    if (c != '$') {
      *offset = p;
      return 1;
    }
    p += size_t(strutl_char_len(text + p));
  }
  return 0;
}

ks_status_t bldr_macro_expand_flex_string(list_handle_t tables, bldr_macro_flavor_t flavor,
                                          char **text, uint32_t recursive, list_handle_t bindings,
                                          stg_area_t binding_area) {
  if (nesting >= kMaxNesting) {
    imsg_print_cold(IMSG_ERROR, &_bldr_macro_karsel_msg_table, BLDR_MACRO_MSG_NESTED, kMaxNesting,
                    *text);
    return KS_ST_ERR;
  }
  struct NestingGuard {
    NestingGuard() { nesting++; }
    ~NestingGuard() { nesting--; }
  } nesting_guard;
  size_t p = 0;
  bool replaced = false;
  for (;;) {
    const char *t = *text;
    size_t len = mf_flex_length(t);
    while (p < len && t[p] != '$') p += size_t(strutl_char_len(t + p));
    if (p >= len) {
      if (replaced && tracing(3)) imsg_print_cold(IMSG_TRACE, "Result: \"%s\"\n", -1, t);
      return KS_ST_OK;
    }
    Ref r;
    if (parse_ref(flavor, t, len, p, &r) != KS_ST_OK) return KS_ST_ERR;

    bool is_dollar = !r.delimited && r.len == 2 && t[p + 1] == '$';
    if (is_dollar) {
      // "$$": kept when the lexer asks for it, or when the whole text is a makefile name whose
      // "$$" stands for a different file-system name; otherwise it becomes "$".
      bool keep = bldr_macro_preserve_double_dollar ||
                  (bldr_macro_have_double_dollar_tgts && bldr_macro_hooks.unique_mfs_name &&
                   bldr_macro_hooks.unique_mfs_name(t) == 1);
      if (keep) {
        p += 2;
        continue;
      }
      if (!mf_flex_replace(text, p, 2, "$", 1)) return no_memory();
      p += 1;
      replaced = true;
      continue;
    }
    mf_flex_local value;
    if (r.func != nullptr || r.name_end > r.name_start) {
      ks_status_t st = eval_ref(tables, flavor, t, r, recursive, bindings, binding_area,
                                &value.ptr());
      if (st != KS_ST_OK) return KS_ST_ERR;
    }
    if (!mf_flex_replace(text, p, r.len, value.c_str(), value.size())) return no_memory();
    p += value.size();
    replaced = true;
  }
}

ks_status_t bldr_macro_expand_line_list(list_handle_t tables, bldr_macro_flavor_t flavor,
                                        const char *line, uint32_t recursive,
                                        stg_area_t result_area, char **result,
                                        list_handle_t bindings, stg_area_t binding_area) {
  *result = nullptr;
  mf_flex_local s;
  if (!mf_flex_append_str(&s.ptr(), line)) return no_memory();
  ks_status_t st =
      bldr_macro_expand_flex_string(tables, flavor, &s.ptr(), recursive, bindings, binding_area);
  if (st != KS_ST_OK) return st;
  *result = stg_area_strdup(result_area, s.c_str());
  if (*result == nullptr) return no_memory();
  return KS_ST_OK;
}

int bldr_macro_find_in_str(bldr_macro_flavor_t flavor, const char *text, const char *name) {
  size_t len = std::strlen(text);
  size_t want = std::strlen(name);
  size_t p = 0;
  for (;;) {
    while (p < len && text[p] != '$') p += size_t(strutl_char_len(text + p));
    if (p >= len) return 1;
    Ref r;
    if (parse_ref(flavor, text, len, p, &r) != KS_ST_OK) return 2;
    if (r.func == nullptr && r.name_end - r.name_start == want &&
        std::memcmp(text + r.name_start, name, want) == 0) {
      return 0;
    }
    p += r.len;
  }
}

ks_status_t bldr_macro_preparse_macro_reference(bldr_macro_flavor_t flavor, const char *text,
                                                size_t *index) {
  const char *dollar = std::strchr(text, '$');
  if (dollar == nullptr) return KS_ST_ERR;
  Ref r;
  size_t p = size_t(dollar - text);
  if (parse_ref(flavor, text, std::strlen(text), p, &r) != KS_ST_OK) return KS_ST_ERR;
  *index = p + r.len - 1;
  return KS_ST_OK;
}

// ---------------------------------------------------------------------------------------------
// Definitions

bldr_macro_flavor_t bldr_macro_compat_to_macro_flavor(uint32_t dialect) {
  switch (dialect) {
    case 3: return BLDR_MACRO_FLAVOR_SUN;
    case 2:
    case 7: return BLDR_MACRO_FLAVOR_GNU;
    default: return BLDR_MACRO_FLAVOR_PLAIN;
  }
}

namespace {

// Frees a heap text at the end of a scope.
struct HeapText {
  char *p = nullptr;
  ~HeapText() { stg_free(p); }
};

void print_cmd_status(int severity, const char *command, int32_t wait_status) {
  imsg_print(severity, &_bldr_macro_karsel_msg_table, BLDR_MACRO_MSG_CMD_STATUS, command,
             mf_utl_decode_cmd_status(wait_status));
}

// text expanded fully into a new heap string.
ks_status_t expand_to_heap(list_handle_t tables, bldr_macro_flavor_t flavor, const char *text,
                           char **out) {
  if (flavor == BLDR_MACRO_FLAVOR_BSD || flavor == BLDR_MACRO_FLAVOR_BSD_STRICT) {
    const uint32_t mode = flavor == BLDR_MACRO_FLAVOR_BSD ? 0 : 1;
    return bldr_macro_bsd_expand_line(tables, mode, text, STG_AREA_HEAP, out, LIST_HANDLE_NULL,
                                      STG_AREA_NULL, 1);
  }
  mf_flex_local s;
  if (!mf_flex_append_str(&s.ptr(), text)) return no_memory();
  ks_status_t st =
      bldr_macro_expand_flex_string(tables, flavor, &s.ptr(), 1, LIST_HANDLE_NULL, STG_AREA_NULL);
  if (st != KS_ST_OK) return st;
  *out = stg_strdup(s.c_str());
  return *out ? KS_ST_OK : no_memory();
}

ks_status_t copy_to_heap(const char *text, char **out) {
  *out = stg_strdup(text ? text : "");
  return *out ? KS_ST_OK : no_memory();
}

}  // namespace

int bldr_macro_exec_cmd(bldr_macro_flavor_t flavor, uint32_t quiet, char **value) {
  std::string command(*value);
  int32_t wait_status = -1;
  HeapText output;
  if (mf_utl_fetch_shcmd_output(command.c_str(), &wait_status, &output.p) != KS_ST_OK) return 0;
  if (output.p == nullptr) {
    imsg_print_cold(IMSG_ERROR, &_bldr_macro_karsel_msg_table, BLDR_MACRO_MSG_CMD_NOT_RUN,
                    command.c_str());
    return 0;
  }
  if (!mf_flex_assign(value, output.p, std::strlen(output.p))) {
    no_memory();
    return 0;
  }
  if (wait_status == 0 || flavor == BLDR_MACRO_FLAVOR_PLAIN) return 1;
  if (!quiet) print_cmd_status(IMSG_ERROR, command.c_str(), wait_status);
  return 0;
}

ks_status_t bldr_macro_perform_macro_def(const bldr_macro_def_t *def, list_handle_t tables,
                                         bldr_macro_flavor_t flavor, char **value,
                                         uint32_t *flags) {
  *value = nullptr;
  *flags = 0;
  const char *written = def->value ? def->value : "";
  switch (def->op) {
    case BLDR_MACRO_OP_EQ:
    case BLDR_MACRO_OP_DEFINE:
    case BLDR_MACRO_OP_OVERRIDE_SCOPED:
      return copy_to_heap(written, value);
    case BLDR_MACRO_OP_GNU_SIMPLE:
    case BLDR_MACRO_OP_SCOPED_SIMPLE: {
      ks_status_t st = expand_to_heap(tables, flavor, written, value);
      if (st == KS_ST_OK) *flags = 1;
      return st;
    }
    case BLDR_MACRO_OP_EXPAND:
      return expand_to_heap(tables, flavor, written, value);
    case BLDR_MACRO_OP_SHELL: {
      HeapText command;
      if (flavor == BLDR_MACRO_FLAVOR_SUN) {
        if (copy_to_heap(written, &command.p) != KS_ST_OK) return KS_ST_ERR;
      } else {
        ks_status_t st = expand_to_heap(tables, flavor, written, &command.p);
        if (st != KS_ST_OK) return st;
      }
      int32_t wait_status = -1;
      HeapText output;
      ks_status_t st = mf_utl_fetch_shcmd_output(command.p, &wait_status, &output.p);
      if (st != KS_ST_OK) return st;
      if (output.p == nullptr) {
        imsg_print_cold(IMSG_ERROR, &_bldr_macro_karsel_msg_table, BLDR_MACRO_MSG_CMD_NOT_RUN,
                        command.p);
        return KS_ST_ERR;
      }
      if (wait_status != 0) {
        if (flavor == BLDR_MACRO_FLAVOR_SUN) {
          print_cmd_status(IMSG_ERROR, command.p, wait_status);
          return KS_ST_ERR;
        }
        print_cmd_status(IMSG_WARNING, command.p, wait_status);
      }
      *value = output.p;
      output.p = nullptr;
      return KS_ST_OK;
    }
    case BLDR_MACRO_OP_APPEND: {
      uint32_t old_flags = 0;
      const char *old = bldr_macro_lookup(tables, def->name, &old_flags);
      if (old == nullptr) return copy_to_heap(written, value);
      *flags = old_flags;
      std::string old_value(old);  // expanding the new text may redefine the macro
      if (*written == '\0') return copy_to_heap(old_value.c_str(), value);
      HeapText added;
      if (old_flags == 1) {
        ks_status_t st = expand_to_heap(tables, flavor, written, &added.p);
        if (st != KS_ST_OK) {
          *flags = 0;
          return st;
        }
        written = added.p;
      }
      // GNU make puts no blank in front of the first word appended to an empty value.
      const char *blank = flavor == BLDR_MACRO_FLAVOR_GNU && old_value.empty() ? "" : " ";
      *value = strutl_concat_area(STG_AREA_HEAP, {old_value.c_str(), blank, written});
      if (*value == nullptr) {
        *flags = 0;
        return no_memory();
      }
      return KS_ST_OK;
    }
    case BLDR_MACRO_OP_COND:
      if (bldr_macro_lookup(tables, def->name, nullptr) != nullptr) return KS_ST_OK;
      return copy_to_heap(written, value);
    default:
      return KS_ST_OK;
  }
}

// ---------------------------------------------------------------------------------------------
// Dialect dispatch

ks_status_t bldr_macro_bsd_expand_line(list_handle_t tables, uint32_t bsd_mode, const char *line,
                                       stg_area_t result_area, char **result,
                                       list_handle_t bindings, stg_area_t binding_area,
                                       uint32_t recursive) {
  *result = nullptr;
  auto expand = bldr_macro_hooks.bsd_expand_line ? bldr_macro_hooks.bsd_expand_line
                                                 : bsd_expand_line;
  HeapText heap;
  ks_status_t st = expand(tables, line, bsd_mode, 1, &heap.p, bindings, binding_area, recursive);
  if (st != KS_ST_OK) return st;
  *result = stg_area_strdup(result_area, heap.p ? heap.p : "");
  return *result ? KS_ST_OK : no_memory();
}

ks_status_t bldr_macutl_expand_line_list(uint32_t dialect, list_handle_t tables, uint32_t bsd_flag,
                                         const char *line, uint32_t recursive,
                                         stg_area_t result_area, char **result,
                                         list_handle_t bindings, stg_area_t binding_area) {
  switch (dialect) {
    case 1:
    case 5:
      return bldr_macro_bsd_expand_line(tables, 0, line, result_area, result, bindings,
                                        binding_area, recursive);
    case 4:
      return bldr_macro_bsd_expand_line(tables, bsd_flag ? 2 : 1, line, result_area, result,
                                        bindings, binding_area, recursive);
    default:
      return bldr_macro_expand_line_list(tables, bldr_macro_compat_to_macro_flavor(dialect), line,
                                         recursive, result_area, result, bindings, binding_area);
  }
}

ks_status_t bldr_macutl_expand_to_string(uint32_t dialect, list_handle_t tables, const char *line,
                                         std::string *out) {
  if (dialect == 1 || dialect == 4 || dialect == 5) {
    char *result = nullptr;
    const ks_status_t st = bldr_macutl_expand_line_list(dialect, tables, 0, line, 1, STG_AREA_HEAP,
                                                        &result, LIST_HANDLE_NULL, STG_AREA_NULL);
    if (st == KS_ST_OK && result != nullptr) out->assign(result);
    stg_free(result);
    return st == KS_ST_OK && result == nullptr ? KS_ST_ERR : st;
  }
  // Expanded in place and copied out once: no copy in an area between.
  mf_flex_local s;
  if (!mf_flex_append_str(&s.ptr(), line)) return no_memory();
  const ks_status_t st =
      bldr_macro_expand_flex_string(tables, bldr_macro_compat_to_macro_flavor(dialect), &s.ptr(), 1,
                                    LIST_HANDLE_NULL, STG_AREA_NULL);
  if (st != KS_ST_OK) return st;
  out->assign(s.c_str());
  return KS_ST_OK;
}

int bldr_macutl_find_in_str(uint32_t dialect, list_handle_t, const char *text, const char *name) {
  if (dialect == 1 || dialect == 4 || dialect == 5) {
    auto find = bldr_macro_hooks.bsd_find_in_str ? bldr_macro_hooks.bsd_find_in_str
                                                 : bsdmake_var_find_in_str;
    return find(text, name);
  }
  return bldr_macro_find_in_str(bldr_macro_compat_to_macro_flavor(dialect), text, name);
}

ks_status_t bldr_macutl_preparse_macro_ref(uint32_t dialect, const char *text, size_t *index) {
  return bldr_macro_preparse_macro_reference(bldr_macro_compat_to_macro_flavor(dialect), text,
                                             index);
}
