// Macros: tables of one origin each, lookups through ordered table lists, definition statements
// of every operator, and the expansion of texts with macro references, substitution references,
// the shell modifier and "$$", in the plain, sun and GNU flavours, with the BSD-style dialects
// handed to their own engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ks/hash.h"
#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"

// ---------------------------------------------------------------------------------------------
// Messages

// Message table of the module "mf/bldr_macro"; rows 53 and 54 serve the message functions.
extern const imsg_msg_table_t _bldr_macro_karsel_msg_table;
enum {
  BLDR_MACRO_MSG_NO_END_DELIM = 0,   // "Macro expansion with no ending delimiter: \"%s\"\n"
  BLDR_MACRO_MSG_MALFORMED = 1,      // "Malformed macro expansion: \"%s\"\n"
  BLDR_MACRO_MSG_CIRCULAR = 2,       // "Circular definition for macro \"%s\".\n"
  BLDR_MACRO_MSG_CMD_STATUS = 3,     // "Command \"%s\" returned status %d\n"
  BLDR_MACRO_MSG_NULL_SPECIAL = 4,   // "Null definition for special macro \"%s\".\n"
  BLDR_MACRO_MSG_UNDEFINED = 5,      // "undefined variable `%s'.\n"
  BLDR_MACRO_MSG_CMD_NOT_RUN = 7,    // "Unable to run command \"%s\"\n"
  BLDR_MACRO_MSG_NESTED = 8,         // "Macro references nested more than %d levels deep: ..."
  BLDR_MACRO_MSG_TOO_DEEP = 9,       // "Macros nested more than %d levels deep under macro ..."
  BLDR_MACRO_MSG_FILE_LINE_TEXT = 53,  // "%s:%d:%s\n"
  BLDR_MACRO_MSG_TEXT = 54,            // "%s\n"
};

// ---------------------------------------------------------------------------------------------
// Tables and lookup

// Origin kind of every macro in a table; the word is what $(origin) prints.
typedef uint32_t bldr_macro_origin_t;
enum : bldr_macro_origin_t {
  BLDR_MACRO_ORIGIN_UNDEFINED = 0,  // "undefined": no table holds the name
  BLDR_MACRO_ORIGIN_DEFAULT = 1,    // "default"
  BLDR_MACRO_ORIGIN_ENV = 2,        // "environment"
  BLDR_MACRO_ORIGIN_ENV_OVERRIDE = 3,  // "environment override"
  BLDR_MACRO_ORIGIN_FILE = 4,       // "file": makefile, BOS file, non-GNU target scopes
  BLDR_MACRO_ORIGIN_CMD_LINE = 5,   // "command line"
  BLDR_MACRO_ORIGIN_OVERRIDE = 6,   // "override"
  BLDR_MACRO_ORIGIN_AUTOMATIC = 7,  // "automatic"
  BLDR_MACRO_ORIGIN_GNU_SCOPE = 8,  // empty: GNU target scopes
  BLDR_MACRO_ORIGIN_CALL_ARGS = 9,  // empty: arguments of $(call)
};

// What makes a table's entries when they are first needed (bldr_macro_defer).
struct bldr_macro_deferred_t {
  virtual ~bldr_macro_deferred_t() = default;
  // Whether fill may define name.
  virtual bool may_define(const char *name) const = 0;
  // Defines the table's entries: 0, or KS_ST_ERR after a message.
  virtual ks_status_t fill(struct bldr_macro_table_t *table) = 0;
};

// One table: name -> bldr_macro_entry_t, in definition order.
struct bldr_macro_table_t {
  hash_ht_t hash;  // HASH_HT_NULL until the first entry: a table never defined into allocates none
  uint32_t buckets;  // the hash's starting size
  bldr_macro_origin_t kind;
  stg_area_t area;  // where values are copied; STG_AREA_HEAP: each value is its own heap block
  // A bit for every name ever entered, by its first byte and length: a name whose bit is clear
  // is not in the table, and a lookup passes over it without hashing the name. While the
  // entries are deferred: every bit.
  uint64_t name_bits;
  bldr_macro_deferred_t *deferred;  // owned; null once the entries are made
  bool fill_failed;                 // the deferred fill failed (its message printed)
};

// A table's datum per name.
struct bldr_macro_entry_t {
  char *value;     // as defined (expanded only when the definition expanded it)
  uint32_t flags;  // 1: simply expanded (never expanded again); 0: recursive
  // 0: value is the table's copy; otherwise value has grown by appends and is a heap block of
  // this many bytes that the entry owns, holding length bytes and a NUL.
  size_t room;
  size_t length;
};

struct bldr_macro_def_t;

// A new empty table of the kind whose values are copied into area. Null when the record cannot be
// allocated. A null area stops the program (assertion).
bldr_macro_table_t *bldr_macro_init_table(uint32_t buckets, bldr_macro_origin_t kind,
                                          stg_area_t area);

// Makes table (empty) take its entries from deferred only when they are first needed: a lookup
// of a name that deferred may define, a walk of the table or a definition into it; a lookup of
// any other name finds nothing without making them. The table owns deferred. With macro tracing
// on, the entries are made at once, so that the trace shows them where it shows those of an
// eager table. 0, or KS_ST_ERR when that immediate fill failed.
ks_status_t bldr_macro_defer(bldr_macro_table_t *table, bldr_macro_deferred_t *deferred);

// Frees the table (and, in a heap table, every value). 0; an internal error is reported when the
// hash cannot be destroyed, and the record is freed all the same.
ks_status_t bldr_macro_term_table(bldr_macro_table_t *table);

// The entry of table after cursor (the first for a null cursor) in the order of definition, its
// name and value slot through name and slot when not null; null at the end, and for a table that
// holds no name yet. A table filled on demand is walked as it stands.
hash_cursor_t bldr_macro_next_entry(const bldr_macro_table_t *table, hash_cursor_t cursor,
                                    const char **name, void **slot);

// Defines name with a copy of value made in the table's area, and the flags. A redefinition keeps
// the name's place in definition order; in a heap table the replaced value is freed (a pointer
// from an earlier lookup is then stale). 0, or KS_ST_ERR after the allocation message.
ks_status_t bldr_macro_define(bldr_macro_table_t *table, const char *name, const char *value,
                              uint32_t flags);

// Defines name with a copy of value and flags 0 only when the name is new in the table; an existing
// entry is left untouched. 0, or KS_ST_ERR after the allocation message.
ks_status_t bldr_macro_define_unique(bldr_macro_table_t *table, const char *name,
                                     const char *value);

// Performs the "+=" definition def into table in place, when that gives what
// bldr_macro_perform_macro_def and bldr_macro_define would: the first table of the list that
// holds the name is table, and the added text needs no expansion. The value then grows inside
// a block with room to spare, so that a long run of appends takes linear time and memory (a
// pointer from an earlier lookup of the name is then stale). 1 when done, with *value the new
// value; 0 when the definition must go the general way; -1 after the allocation message.
int bldr_macro_append_in_place(const bldr_macro_def_t *def, list_handle_t tables,
                               bldr_macro_table_t *table, const char **value);

// The value of name in table, or null; *flags (when not null) is written only when found.
const char *bldr_macro_lookup_in_table(bldr_macro_table_t *table, const char *name,
                                       uint32_t *flags);

// The value of the first table of the list (list order) that holds name, or null.
const char *bldr_macro_lookup(list_handle_t tables, const char *name, uint32_t *flags);

// Per table, name1 then name2; the first table holding either wins. Null when none does.
const char *bldr_macro_lookup_with_2_spellings(list_handle_t tables, const char *name1,
                                               const char *name2, uint32_t *flags);

// The kind of the first table that holds name; BLDR_MACRO_ORIGIN_UNDEFINED when none does.
bldr_macro_origin_t bldr_macro_origin(list_handle_t tables, const char *name);

// Iterates a table in definition order: *iterator is null to start and null again after the last
// macro. Returns the next macro's value with its name copied into name_buf (buf_size bytes), or
// null. A name that does not fit (its length at least buf_size) prints the buffer message and gives
// null while *iterator stays non-null and has moved past that macro, so that a caller can tell it
// from the end and go on.
const char *bldr_macro_lookup_next_macro(bldr_macro_table_t *table, hash_cursor_t *iterator,
                                         size_t buf_size, char *name_buf);

// The first table of the list that defines name, or else the first table of the list. A null
// list, a null or empty name and an empty list stop the program (assertions).
bldr_macro_table_t *bldr_macro_nearest_table_for_macro(list_handle_t tables, const char *name);

struct bldr_macro_def_t;

// Puts a GNU target scope into the list: behind the first command-line table (its kind becomes
// BLDR_MACRO_ORIGIN_GNU_SCOPE), with the override definitions (a list of bldr_macro_def_t *, may
// be null or empty) in a new kind-8 table made in area at the head; at the head, unchanged, when
// the list has no command-line table. 0, or KS_ST_ERR after an internal error.
ks_status_t bldr_macro_insert_gnu_scoped_macro_list(list_handle_t tables,
                                                    bldr_macro_table_t *scope, stg_area_t area,
                                                    list_handle_t overrides);

// ---------------------------------------------------------------------------------------------
// Definitions

// Operator of a definition statement.
typedef uint32_t bldr_macro_op_t;
enum : bldr_macro_op_t {
  BLDR_MACRO_OP_EQ = 0,              // "="
  BLDR_MACRO_OP_EXPAND = 1,          // ":=" of the BSD-style dialects
  BLDR_MACRO_OP_GNU_SIMPLE = 2,      // ":=" of the gnu dialect: simply expanded
  BLDR_MACRO_OP_SHELL = 3,           // "!=" and ":sh="
  BLDR_MACRO_OP_APPEND = 4,          // "+="
  BLDR_MACRO_OP_COND = 5,            // "?="
  BLDR_MACRO_OP_DEFINE = 6,          // define ... endef
  BLDR_MACRO_OP_OVERRIDE_SCOPED = 7, // GNU override target-scoped definition
  BLDR_MACRO_OP_SCOPED_SIMPLE = 8,   // gnu ":=" where a target-scoped definition is accepted
};

// One definition statement.
struct bldr_macro_def_t {
  char *name;
  char *value;  // as written, after the lexer's cleaning
  bldr_macro_op_t op;
};

// Flavour of the expander.
typedef uint32_t bldr_macro_flavor_t;
enum : bldr_macro_flavor_t {
  BLDR_MACRO_FLAVOR_PLAIN = 0,
  BLDR_MACRO_FLAVOR_SUN = 1,
  BLDR_MACRO_FLAVOR_GNU = 2,
  // Definitions of the BSD-style dialects: bldr_macro_perform_macro_def expands their texts with
  // the BSD variable engine, undefined references vanishing (sgismake, bsdnetr2) or failing
  // (sgipmake). No other operation takes these two.
  BLDR_MACRO_FLAVOR_BSD = 3,
  BLDR_MACRO_FLAVOR_BSD_STRICT = 4,
};

// The flavour of a dialect: 3 (sun) -> 1; 2 and 7 (pgnu, gnu) -> 2; any other -> 0.
bldr_macro_flavor_t bldr_macro_compat_to_macro_flavor(uint32_t dialect);

// Computes the value a definition stores over the table list. *value is a new heap string
// (stg_free) or null when nothing is to be defined; *flags 1 for a simply-expanded value. 0;
// the status of a failed expansion; KS_ST_ERR after a message.
ks_status_t bldr_macro_perform_macro_def(const bldr_macro_def_t *def, list_handle_t tables,
                                         bldr_macro_flavor_t flavor, char **value,
                                         uint32_t *flags);

// Runs the string's text as a shell command and replaces the text by its output. 1 on success,
// 0 on failure: the command cannot be run or memory runs out, or (flavours 1 and 2) it exits
// non-zero, which prints "Command ... returned status" unless quiet.
int bldr_macro_exec_cmd(bldr_macro_flavor_t flavor, uint32_t quiet, char **value);

// ---------------------------------------------------------------------------------------------
// Substitution references

// Rewrites every blank-separated word of the value (a flex string, updated when it moves) by the
// pattern and replacement; with a stem collector (a flex string or null) the stem of the last "%"
// match is left in it. 1; 0 when memory runs out (the value is then unchanged).
int bldr_macro_chpat(bldr_macro_flavor_t flavor, char **value, const char *pattern,
                     const char *replacement, char **stem);

// Splits pattern (len bytes) at its first "%": prefix and suffix (null and 0 when absent),
// *no_percent 1 when it has none (the whole pattern is then the suffix). Returns the first "%", or
// null.
const char *bldr_macro_chpat_parse_patstr(const char *pattern, size_t len, const char **prefix,
                                          size_t *prefix_len, const char **suffix,
                                          size_t *suffix_len, uint32_t *no_percent);

// Whether the word buf[start, end) is prefix + stem + suffix (prefix and suffix may be null); on a
// match *stem and *stem_len give the stem. 1 on a match, else 0. A word shorter than prefix and
// suffix together never matches.
int bldr_macro_chpat_match_pattern(const char *buf, size_t start, size_t end, const char *prefix,
                                   size_t prefix_len, const char *suffix, size_t suffix_len,
                                   const char **stem, size_t *stem_len);

// ---------------------------------------------------------------------------------------------
// Expansion

// When set (by the lexer), "$$" stays "$$".
extern uint32_t bldr_macro_preserve_double_dollar;
// When set (by the lexer), the "$$" file-name check runs (see bldr_macro_hooks.unique_mfs_name).
extern uint32_t bldr_macro_have_double_dollar_tgts;

// Expands the macro references of the flex string *text in place over the table list (the string
// may move; *text is updated). recursive 0 inserts a recursive macro's value as defined; 1
// expands values completely. With a binding list, one "NAME=value" text made in binding_area is
// appended per reference of the text itself. 0, or KS_ST_ERR after a message; references before
// a failing one stay replaced.
ks_status_t bldr_macro_expand_flex_string(list_handle_t tables, bldr_macro_flavor_t flavor,
                                          char **text, uint32_t recursive, list_handle_t bindings,
                                          stg_area_t binding_area);

// Expands line; on success *result is a copy made in result_area, on failure null.
ks_status_t bldr_macro_expand_line_list(list_handle_t tables, bldr_macro_flavor_t flavor,
                                        const char *line, uint32_t recursive,
                                        stg_area_t result_area, char **result,
                                        list_handle_t bindings, stg_area_t binding_area);

// 0 when text holds a reference whose name (unexpanded) is name; 1 when none does; 2 when a
// reference is malformed (message printed).
int bldr_macro_find_in_str(bldr_macro_flavor_t flavor, const char *text, const char *name);

// 0 with *index the offset of the last character of the first reference of text; KS_ST_ERR when
// text holds no "$" or the reference is malformed (message printed).
ks_status_t bldr_macro_preparse_macro_reference(bldr_macro_flavor_t flavor, const char *text,
                                                size_t *index);

// 1 with *offset the first top-level character of tag_set in text[start, end), references opened
// by a "$" of the tag set being stepped over; 0 when there is none or a reference is unclosed
// (message printed).
int bldr_macro_find_tag(const char *text, size_t start, size_t end, const char *tag_set,
                        size_t *offset);

// Expands line by the dialect: the BSD-style dialects (1, 4, 5) through the BSD variable engine
// (dialect 4 in mode 2 when bsd_flag is set, else 1; dialects 1 and 5 in mode 0), the others with
// the flavour of the dialect. As bldr_macro_expand_line_list.
ks_status_t bldr_macutl_expand_line_list(uint32_t dialect, list_handle_t tables, uint32_t bsd_flag,
                                         const char *line, uint32_t recursive,
                                         stg_area_t result_area, char **result,
                                         list_handle_t bindings, stg_area_t binding_area);

// Expands line fully by the dialect, as bldr_macutl_expand_line_list with no bindings, into *out.
// KS_ST_OK, or the expander's failure status after its message (*out then as it was).
ks_status_t bldr_macutl_expand_to_string(uint32_t dialect, list_handle_t tables, const char *line,
                                         std::string *out);

// Expands line with the BSD variable engine (bsd_mode: the engine's undefined-variable mode); the
// result is copied into result_area. KS_ST_ERR after the engine's message.
ks_status_t bldr_macro_bsd_expand_line(list_handle_t tables, uint32_t bsd_mode, const char *line,
                                       stg_area_t result_area, char **result,
                                       list_handle_t bindings, stg_area_t binding_area,
                                       uint32_t recursive);

// 0 when text references name in the dialect's syntax; otherwise non-zero (1 or 1002 not found,
// 2 or KS_ST_ERR malformed, after a message).
int bldr_macutl_find_in_str(uint32_t dialect, list_handle_t tables, const char *text,
                            const char *name);

// bldr_macro_preparse_macro_reference with the flavour of the dialect.
ks_status_t bldr_macutl_preparse_macro_ref(uint32_t dialect, const char *text, size_t *index);

// ---------------------------------------------------------------------------------------------
// Services of neighbouring modules

struct bldr_macro_efunc_row_t;

// What the expander consults in other modules, reached through this table so that tests can put
// stand-ins in their place. bldr_macro_hooks starts as bldr_macro_default_hooks(), the modules of
// this library; a null entry behaves as its comment says.
struct bldr_macro_hooks_t {
  // Java audits are in use (function calls are then recognised in every flavour). Null: off.
  int32_t (*java_audits)();
  // --warn-undefined-variables was given. Null: off.
  uint32_t (*warn_undef_set)();
  // The build-options flag exporting_macro_defs. Null: 0.
  uint32_t (*exporting_macro_defs)();
  // A makefile parse is in progress (the parse-options record is set). Null: none.
  int (*parse_in_progress)();
  // The whole text is a makefile name that stands for another file-system name (checked against
  // the current build-options record). Null: never.
  int (*unique_mfs_name)(const char *text);
  // Tells the lexer whether the macro just looked up is simply expanded. Null: nothing.
  void (*set_expanded_simply)(uint32_t flag);
  // The expansion-function row named by name[0, len), with its double-dollar flag; null when the
  // name is no function. Null entry: no name is a function.
  const bldr_macro_efunc_row_t *(*efunc_lookup)(const char *name, size_t len, uint32_t *flag);
  // Evaluates a function call into the (empty) flex string *result; 0 on success.
  ks_status_t (*efunc_apply)(const bldr_macro_efunc_row_t *row, const char *args,
                             list_handle_t tables, bldr_macro_flavor_t flavor, char **result);
  // The BSD variable engine: *result a heap string (stg_free). Null: this library's engine.
  ks_status_t (*bsd_expand_line)(list_handle_t tables, const char *line, uint32_t bsd_mode,
                                 uint32_t one, char **result, list_handle_t bindings,
                                 stg_area_t binding_area, uint32_t recursive);
  // BSD reference search: 0 found, KS_ST_NOT_FOUND, KS_ST_ERR malformed. Null: this library's.
  ks_status_t (*bsd_find_in_str)(const char *text, const char *name);
};
extern bldr_macro_hooks_t bldr_macro_hooks;

// The table of this library's own providers.
bldr_macro_hooks_t bldr_macro_default_hooks();
