#include "mf/bldr_macro.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/mf.h"
#include "mf/mf_flex.h"
#include "mf/mf_utl.h"
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
    /* 6 */ "The BSD-style variable engine is not available in this release: \"%s\"\n",
    /* 7 */ "Unable to run command \"%s\"\n",
    /* 8 */ "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
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

unsigned long table_id(const bldr_macro_table_t *table) {
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(table));
}

// Stores a copy of value in the entry of name, entering the name when new. With only_new, an
// existing entry is left alone.
ks_status_t define_entry(bldr_macro_table_t *table, const char *name, const char *value,
                         uint32_t flags, bool only_new) {
  PFM_ASSERT(table != NULL);
  void *slot = nullptr;
  int existed = hash_str_enter(table->hash, name, nullptr, &slot);
  if (existed < 0) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  auto *entry = static_cast<bldr_macro_entry_t *>(slot);
  if (existed && only_new) return KS_ST_OK;
  char *copy = stg_area_strdup(table->area, value ? value : "");
  if (copy == nullptr) {
    if (!existed) hash_str_remove(table->hash, name);
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  if (existed && table->area == STG_AREA_HEAP) stg_free(entry->value);
  entry->value = copy;
  entry->flags = flags;
  if (tracing(3)) {
    imsg_print(IMSG_TRACE, "Defined macro \"%s\" with value \"%s\" in table %lu\n", -1, name,
               entry->value, table_id(table));
  }
  return KS_ST_OK;
}

}  // namespace

const imsg_msg_table_t _bldr_macro_karsel_msg_table = {
    "karsel_bin", kModule, 101, kRows, bldr_macro_formats, kCatalog.numbers,
};

bldr_macro_hooks_t bldr_macro_hooks = {};

// ---------------------------------------------------------------------------------------------
// Tables and lookup

bldr_macro_table_t *bldr_macro_init_table(uint32_t buckets, bldr_macro_origin_t kind,
                                          stg_area_t area) {
  PFM_ASSERT(area != STG_AREA_NULL);
  auto *table =
      static_cast<bldr_macro_table_t *>(stg_calloc(STG_AREA_HEAP, sizeof(bldr_macro_table_t)));
  if (table == nullptr) return nullptr;
  table->hash = hash_str_create(buckets, sizeof(bldr_macro_entry_t), 1);
  if (table->hash == HASH_HT_NULL) {
    stg_free(table);
    return nullptr;
  }
  hash_set_order(table->hash);
  table->kind = kind;
  table->area = area;
  return table;
}

ks_status_t bldr_macro_term_table(bldr_macro_table_t *table) {
  if (table == nullptr) return KS_ST_OK;
  if (table->area == STG_AREA_HEAP) {
    void *slot = nullptr;
    for (hash_cursor_t c = hash_str_next_in_order(table->hash, nullptr, nullptr, &slot);
         c != nullptr; c = hash_str_next_in_order(table->hash, c, nullptr, &slot)) {
      stg_free(static_cast<bldr_macro_entry_t *>(slot)->value);
    }
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

const char *bldr_macro_lookup_in_table(bldr_macro_table_t *table, const char *name,
                                       uint32_t *flags) {
  void *slot = nullptr;
  if (!hash_str_lookup(table->hash, name, nullptr, &slot)) {
    if (tracing(4)) {
      imsg_print(IMSG_TRACE, "Did not find macro \"%s\" in table %lu\n", -1, name,
                 table_id(table));
    }
    return nullptr;
  }
  auto *entry = static_cast<bldr_macro_entry_t *>(slot);
  if (flags) *flags = entry->flags;
  if (tracing(4)) {
    imsg_print(IMSG_TRACE, "Found macro \"%s\" with value \"%s\" in table %lu\n", -1, name,
               entry->value, table_id(table));
  }
  return entry->value;
}

const char *bldr_macro_lookup(list_handle_t tables, const char *name, uint32_t *flags) {
  void *datum = nullptr;
  for (list_cursor_t c = list_next(tables, nullptr, &datum); c != nullptr;
       c = list_next(tables, c, &datum)) {
    const char *value = bldr_macro_lookup_in_table(static_cast<bldr_macro_table_t *>(datum),
                                                   name, flags);
    if (value != nullptr) return value;
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
    if (hash_str_lookup(table->hash, name, nullptr, nullptr)) return table->kind;
  }
  return BLDR_MACRO_ORIGIN_UNDEFINED;
}

const char *bldr_macro_lookup_next_macro(bldr_macro_table_t *table, hash_cursor_t *iterator,
                                         size_t buf_size, char *name_buf) {
  const char *name = nullptr;
  void *slot = nullptr;
  hash_cursor_t next = hash_str_next_in_order(table->hash, *iterator, &name, &slot);
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
    if (hash_str_lookup(table->hash, macro_name, nullptr, nullptr)) return table;
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
