// Helpers shared by the rule-lookup modules of the target table (validation, pattern, suffix and
// GNU rules, groups, automatic macros, dependency expansion).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ks/list.h"
#include "mf/mf_tgt.h"

// Dialect groups.
bool mf_tgt_variant_is_gnu(uint32_t variant);       // pgnu, gnu
bool mf_tgt_variant_is_bsd(uint32_t variant);       // sgismake, sgipmake, bsdnetr2
#define MF_GNUMAKE_VARIANT(v) mf_tgt_variant_is_gnu(v)
// The trace gate of the module "mf_tgt" at level.
bool mf_tgt_tracing(int level);

// Prints the message of exhausted storage and ends the program (a table could not stay
// consistent).
[[noreturn]] void mf_tgt_out_of_memory();
// A new list in area (STG_AREA_HEAP: the heap); running out of memory ends the program.
list_handle_t mf_tgt_new_list(stg_area_t area);
// Enters name in the table: its entry (a new one all zero), with *key (when not null) the table's
// copy of the name and *existed (when not null) whether it was there before; running out of
// memory ends the program.
mf_tgt_entry_t *mf_tgt_enter_name(mf_tgt_table_t *table, const char *name, const char **key,
                                  bool *existed);
// Drops what the rule lookup keeps of the table's rules and suffixes, when they change.
void mf_tgt_forget_rule_indexes(mf_tgt_table_t *table);
// Drops all the rule lookup keeps of the table, when the table goes.
void mf_tgt_forget_table(mf_tgt_table_t *table);
// False when the table holds no name that ends in the suffix of name (the text of its last
// component from its last '.'), holds a '%' or none as name does, and is that suffix alone or
// not as name is: then name is not in the table. True when it may be. Spares the table's hash
// most of the names that implicit rules derive and ask about.
bool mf_tgt_may_hold(mf_tgt_table_t *table, const char *name);
// Calls take(key) for each name entered in the table after the name at *last (from the first
// when *last is null), leaving *last at the newest: an index of the names grows with the table
// (names are never removed).
template <class Take>
void mf_tgt_take_new_names(mf_tgt_table_t *table, hash_cursor_t *last, Take take) {
  const char *key = nullptr;
  for (hash_cursor_t c = hash_str_next_in_order(table->comp_table, *last, &key, nullptr);
       c != nullptr; c = hash_str_next_in_order(table->comp_table, c, &key, nullptr)) {
    take(key);
    *last = c;
  }
}
// Expands the macro references of text in the macro tables by the dialect: true with the result,
// false after the expander's message.
bool mf_tgt_expand_text(uint32_t variant, list_handle_t tables, const char *text,
                        std::string *out);

// A copy of text in the table's area; running out of memory ends the program (the table could
// not stay consistent).
char *mf_tgt_area_copy(mf_tgt_table_t *table, const char *text);
// A new list in the table's area, or on the heap; running out of memory ends the program.
list_handle_t mf_tgt_area_list(mf_tgt_table_t *table);
list_handle_t mf_tgt_heap_list();
// Appends datum; running out of memory ends the program.
void mf_tgt_list_append(list_handle_t list, const void *datum);
// The strings of a list in order (empty for a null list).
std::vector<const char *> mf_tgt_list_strings(list_handle_t list);
// Whether the list holds a string equal to name.
bool mf_tgt_list_holds(list_handle_t list, const char *name);
// Whether the list holds a script: at least one command line.
bool mf_tgt_has_lines(list_handle_t script);
// The instance at position pos of the entry's instance list (any position, whatever
// multiple_valid says), or null.
mf_tgt_inst_desc_t *mf_tgt_inst_of(mf_tgt_entry_t *entry, list_cursor_t pos);


// Traces of the module "mf_tgt" at level: a format printed as it is, or a row of the table.
template <class... A>
void mf_tgt_trace(int level, const char *format, A... args) {
  if (mf_tgt_tracing(level)) imsg_print_cold(IMSG_TRACE, format, -1, args...);
}
template <class... A>
void mf_tgt_trace_row(int level, int row, A... args) {
  if (mf_tgt_tracing(level))
    imsg_print_cold(IMSG_TRACE, &_mf_tgt_karsel_msg_table, row, args...);
}
