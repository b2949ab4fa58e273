// Module "mf/mfc": the parse pipeline. Turns the make command line into the parsed makefile in two
// calls (mfc_parse_bos reads the build-options files, mfc_parse_mf the makefiles into a target
// table) and lets the build engine walk the result through the mfc_cmf_* accessors. Also holds
// the records and globals that the makefile input, the lexer actions, the grammars and the
// conditionals read during a parse.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ks/hash.h"
#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"

struct bldr_macro_table_t;
struct bldr_opts_s;
struct mf_tgt_table_t;
struct mf_tgt_entry_t;

// Compatibility variants (dialects) of a parse.
enum mf_compat_variant {
  MF_COMPAT_STD = 0,
  MF_COMPAT_SGISMAKE = 1,
  MF_COMPAT_PGNU = 2,
  MF_COMPAT_SUN = 3,
  MF_COMPAT_SGIPMAKE = 4,
  MF_COMPAT_BSDNETR2 = 5,
  MF_COMPAT_GNU = 7,
  MF_COMPAT_KELTO = 8,
};

// Options of the current parse.
struct mf_parse_op_rec_t {
  int32_t verbosity;
  uint32_t compat_variant;
  uint32_t environment_overrides;  // -e in the MAKEFLAGS text
  uint32_t no_builtin_rules;       // -r in the MAKEFLAGS text, and always in pgnu
  uint32_t silent;
  uint32_t ignore;
  uint32_t not_parallel;
  uint32_t posix;
  uint32_t siblings_affect_reuse;
  uint32_t makefiles_affect_reuse;
  uint32_t javac;
  char *makeflags;
  // Opaque fields: zeroed at creation and copied (strings duplicated) with the record.
  uint32_t spare_u32[4];
  char *spare_str[2];
  // Position of the scanner's last match.
  int32_t source_line;
  int32_t source_col;
  int32_t source_prev_col;
  const char *source_file;
  // Position of the current statement (its rule-line colon).
  int32_t statement_line;
  const char *statement_file;
};

// The parsed makefile: everything a make run reads after the parse. Heap record; its tables,
// strings and lists live in its storage area.
struct mf_cmf_rec_t {
  list_handle_t macro_table_list;  // scope list, first table wins
  void *stat_handle;               // the stat cache of the run; null after BOS parsing
  stg_area_t area;                 // the parse's storage area
  mf_tgt_table_t *tgt_table;       // null after BOS parsing only
  bldr_opts_s *opts;               // the build-options record
  uint32_t compat_variant;
  uint32_t silent;
  uint32_t ignore;
  uint32_t not_parallel;
  uint32_t posix;
  uint32_t siblings_affect_reuse;
  list_handle_t makefiles_list;  // every makefile and include file read; null after BOS
  uint32_t makefiles_affect_reuse;
  uint32_t javac;
  char *makeflags;  // the MAKEFLAGS text of the parse (in the area)
};
typedef mf_cmf_rec_t *mf_cmf_handle_t;

// The parse request that the target-table back end reads.
struct mfc_mf_tgt_rec_t {
  list_handle_t builtin_mfs;           // builtin makefiles, read first
  list_handle_t mfs;                   // the makefiles
  bldr_macro_table_t *defaults_table;  // receives the builtin makefiles' definitions
  bldr_macro_table_t *mf_table;        // receives the makefiles' definitions
  bldr_macro_table_t *override_table;  // receives "override" definitions (GNU dialects)
  list_handle_t inc_dirs;              // -I directories
  list_handle_t goals;                 // the names that make-goal conditionals test
};

// Message table of the module "mf/mfc".
extern const imsg_msg_table_t _mfc_karsel_msg_table;
enum {
  MFC_MSG_MALFORMED_DEF = 1,
  MFC_MSG_EV_TOO_LONG = 3,
  MFC_MSG_TABLE_INIT = 4,
  MFC_MSG_OPTS_SPECS = 5,
  MFC_MSG_NO_DESCRIPTION = 7,
  MFC_MSG_DONE = 8,
  MFC_MSG_DESCRIPTIONS = 9,
  MFC_MSG_NULL_TABLE = 13,
  MFC_MSG_NO_USER = 14,
  MFC_MSG_NO_HOME = 15,
  MFC_MSG_BOS_EXISTENCE = 16,
  MFC_MSG_NEW_MAKEFLAGS = 17,
  MFC_MSG_NEW_MAKEARGS = 18,
  MFC_MSG_NEW_SPECS = 19,
  MFC_MSG_SPECS_TOO_LONG = 20,
  MFC_MSG_SPECS_TEXT = 21,
  MFC_MSG_BOS_UNRESOLVED = 22,
  MFC_MSG_BOS_NOT_FOUND = 23,
};

// --- Globals of the current parse.

// The options of the current parse; null outside a parse.
extern mf_parse_op_rec_t *mfc_parse_op_rec_p;
// The options that the BOS files set, kept for the makefile parse (heap copy), or null.
extern mf_parse_op_rec_t *bos_file_parse_op_rec_p;
// The storage area of the current parse.
extern stg_area_t mfc_mf_stg_area;
// The work area of one parse call; the heap outside a parse call (defined with the builtin
// makefiles, which are listed in it).
extern stg_area_t mf_parse_stg_area;
// The macro-table list in force during the parse (and, while a target is built, that target's).
extern list_handle_t mfc_mf_macro_table_list;
// The table that makefile definitions (and MAKEFILE) are stored in.
extern bldr_macro_table_t *mfc_parser_macro_table;
// The command-line table and the table of BOS-file definitions.
extern bldr_macro_table_t *mfc_cmd_line_macro_table;
extern bldr_macro_table_t *mfc_opts_specs_macro_table;
// The stat cache of the current parse, or null.
extern void *mfc_mf_stat_handle;
// The parse request of the current makefile parse, or null.
extern mfc_mf_tgt_rec_t *mfc_mf_tgt_rec_p;
// Failure mark of the current parse (also declared by the input layer).
extern int32_t mf_parser_failed;
// 1 while a ".JAVA_TGTS" line is scanned.
extern int32_t mf_building_java_tgts;

// --- Makefiles list.

// The process-wide list of makefiles read (heap copies of their names), created on first use;
// null when it cannot be created.
list_handle_t mfc_get_makefiles_list();
// Adds a heap copy of pathname to the process-wide list of makefiles read, unless an equal name
// is already in it.
void mfc_require_file_in_makefiles_list(const char *pathname);

// --- Parsing.

// Reads the BOS files into a new parsed makefile (macro tables and build-options record, no
// target table): the personal ".tolvick.options" and each makefile's ".options" file unless
// no_default_bos, then bos_files (made absolute). Lists may be null and are only read. 0 with
// *out_cmf, or KS_ST_ERR after a message.
ks_status_t mfc_parse_bos(list_handle_t makefiles, list_handle_t bos_files, list_handle_t defs,
                          uint32_t no_default_bos, uint32_t compat_variant,
                          mf_cmf_handle_t *out_cmf);

// Parses the builtin makefiles and the makefiles (the dialect's default makefile when the list is
// empty) into the parsed makefile *io_cmf, completing the one made by mfc_parse_bos or making a
// new one. make_value is the value of MAKE in the GNU dialects; make_level the level computed by
// the make program (0 outside the GNU dialects); unused is not read. Lists may be null and are
// only read. 0, or KS_ST_ERR after a message ("No target description file" when nothing can be
// read).
ks_status_t mfc_parse_mf(list_handle_t makefiles, list_handle_t defs, const char *make_value,
                         int32_t make_level, list_handle_t inc_dirs, list_handle_t goals,
                         const char *unused, uint32_t compat_variant, mf_cmf_handle_t *io_cmf);

// Stores the dialect in the parsed makefile and its build-options record.
void mfc_set_compat_variant_post_bos(uint32_t compat_variant, mf_cmf_handle_t cmf);

// Frees the parsed makefile with its macro tables, target table, build-options record and
// storage area. Null is ignored.
void mfc_free_cmf(mf_cmf_handle_t cmf);

// The back end of one makefile parse: a new target table filled from the request's builtin
// makefiles and makefiles (GNU suffix rules translated to pattern rules in the gnu dialect).
// Null after a message when the parse failed.
mf_tgt_table_t *mf_tgt_parse_mf(mfc_mf_tgt_rec_t *request);

// In the table, enters a pattern rule for each suffix rule (gnu dialect). Targets become Java
// targets only under .JAVAC, as in every dialect. 0, or KS_ST_ERR when a rule cannot be entered.
ks_status_t mf_tgt_translate_suffix_rules(mf_tgt_table_t *table);

// --- Walking the parsed makefile. Names are copied into caller buffers of size bytes; a name
// that does not fit prints the buffer message and gives KS_ST_ERR. Iterators start with a null
// cursor and end with a null cursor and an empty buffer.

// The next name of the default goals (.MAIN targets, else the first target).
ks_status_t mfc_cmf_next_default_goal_tgt(mf_cmf_handle_t cmf, list_cursor_t *cursor, size_t size,
                                          char *buf);
// The next real target that is no other target's dependency.
ks_status_t mfc_cmf_next_root_tgt(mf_cmf_handle_t cmf, list_cursor_t *cursor, size_t size,
                                  char *buf);
// 0 with the target's entry; KS_ST_NOT_FOUND when no rule makes it; the entry is null unless 0.
ks_status_t mfc_cmf_get_tgt_h(mf_cmf_handle_t cmf, const char *name, mf_tgt_entry_t **out);
// mfc_cmf_get_tgt_h of a name the target table holds, given as the table's key with its entry.
ks_status_t mfc_cmf_get_known_tgt_h(mf_cmf_handle_t cmf, const char *key, mf_tgt_entry_t *entry,
                                    mf_tgt_entry_t **out);
// Steps *inst to the target's next rule instance (the first for null), null after the last. 0.
ks_status_t mfc_cmf_next_tgt_rule(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, list_cursor_t *inst);
// The instance's script lines, each followed by a newline; empty when it has none. KS_ST_ERR
// after the buffer message when they do not fit or size is 0.
ks_status_t mfc_cmf_tgt_rule_script(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, list_cursor_t inst,
                                    size_t size, char *buf);
// The next dependency name of the rule instance.
ks_status_t mfc_cmf_tgt_rule_next_dep(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, list_cursor_t inst,
                                      list_cursor_t *cursor, size_t size, char *buf);
// Expands text over the parsed makefile's macro tables: *out a heap string (stg_free) of
// *out_size bytes. The expansion's status.
ks_status_t mfc_cmf_macro_expand_str(mf_cmf_handle_t cmf, const char *text, size_t *out_size,
                                     char **out);
// The dependency an implicit rule was inferred from, or an empty buffer.
ks_status_t mfc_cmf_tgt_inference_dep(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, size_t size,
                                      char *buf);
// Only ".SUFFIXES": 0 with its list; KS_ST_ERR without a message for any other name.
ks_status_t mfc_cmf_get_special_h(mf_cmf_handle_t cmf, const char *name, list_handle_t *out);
// The next value of a list given by mfc_cmf_get_special_h.
ks_status_t mfc_cmf_next_special_value(list_handle_t list, list_cursor_t *cursor, size_t size,
                                       char *buf);
// The next suffix or pattern rule target in definition order (the target table's iterator);
// *out is written only on 0.
ks_status_t mfc_cmf_next_implicit_tgt(mf_cmf_handle_t cmf, hash_cursor_t *cursor, char *buf,
                                      size_t size, mf_tgt_entry_t **out);
// The parsed makefile's macro-table list. 0.
ks_status_t mfc_cmf_macro_table(mf_cmf_handle_t cmf, list_handle_t *out);
// The macro-table iterator (bldr_macro_lookup_next_macro): the next value or null.
const char *mfc_cmf_get_next_macro(bldr_macro_table_t *table, hash_cursor_t *cursor, size_t size,
                                   char *name_buf);
// *out 1 when the target may have several rule instances (double colon). 0.
ks_status_t mfc_cmf_multiple_inst_tgt(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, int *out);
// *out 1 when the target was declared .PRECIOUS. 0.
ks_status_t mfc_cmf_tgt_declared_precious(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, int *out);
// The next target-scoped definition read from the makefiles / the BOS files, over every target
// (bldr_opts_get_next_tgt_scoped_macdef); unused is not read.
ks_status_t mfc_cmf_get_next_mf_tgt_scoped_def(mf_cmf_handle_t cmf, int unused, void **cursor,
                                               size_t size, char *tgt_buf, char **name,
                                               char **value, uint32_t *op);
ks_status_t mfc_cmf_get_next_bos_tgt_scoped_def(mf_cmf_handle_t cmf, int unused, void **cursor,
                                                size_t size, char *tgt_buf, char **name,
                                                char **value, uint32_t *op);
