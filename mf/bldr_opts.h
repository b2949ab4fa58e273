// The build-options record of one parse: the process environment as a macro table, the export
// state of every variable, the pattern lists of the reuse- and audit-related special targets, the
// parallel interference sets, the target-scoped macro definitions, the target attributes, and the
// pairs of makefile names written with "$$" and their file-system names.
//
// The record and everything in it live in the parse's storage area (mfc_mf_stg_area); its hash
// tables live on the heap and are freed by bldr_opts_term.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ks/hash.h"
#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"
#include "mf/bldr_macro.h"

// Message table of the module "mf/bldr_opts" (trace name "bldr_opts").
extern const imsg_msg_table_t _bldr_opts_karsel_msg_table;

// Export state of a variable.
typedef uint32_t bldr_opts_export_state_t;
enum : bldr_opts_export_state_t {
  BLDR_OPTS_EXPORTED = 0,
  BLDR_OPTS_UNEXPORTED = 1,
  BLDR_OPTS_RECORDED = 2,  // defined in a makefile
};

// Kinds of pattern lists, each filled by the special target of the same name.
typedef uint32_t bldr_opts_patt_kind_t;
enum : bldr_opts_patt_kind_t {
  BLDR_OPTS_DEPENDENCY_IGNORED_FOR_REUSE = 0,
  BLDR_OPTS_SIBLING_IGNORED_FOR_REUSE = 1,
  BLDR_OPTS_NO_DO_FOR_SIBLING = 2,
  BLDR_OPTS_INCREMENTAL_REPOSITORY_SIBLING = 3,
  BLDR_OPTS_INCREMENTAL_TARGET = 4,
  BLDR_OPTS_NO_WINK_IN = 5,
  BLDR_OPTS_NO_CMP_SCRIPT = 6,
  BLDR_OPTS_NO_CONFIG_REC = 7,
  BLDR_OPTS_NO_CMP_NON_MF_DEPS = 8,
  BLDR_OPTS_MAKEFILES_IN_CONFIG_REC = 9,
  BLDR_OPTS_JAVA_TGTS = 10,
  BLDR_OPTS_DIRECTORY_IGNORED_FOR_REUSE = 11,
  BLDR_OPTS_DIRECTORY_AFFECTS_REUSE = 12,
  BLDR_OPTS_NO_CONFIG_MATCH_SLINKS = 13,
  BLDR_OPTS_NO_SIBLING_DO_CONTAINED_IN = 14,
  BLDR_OPTS_DO_OID_IGNORED_FOR_REUSE = 15,
  BLDR_OPTS_NO_PRINT_CMP_SCRIPT = 16,
  BLDR_OPTS_PATT_KIND_COUNT = 17,
};

// Attribute bit of targets named by .PHONY.
#define BLDR_OPTS_ATTR_PHONY 0x10u

// Sides of target-scoped definitions.
#define BLDR_OPTS_SIDE_MF 0u
#define BLDR_OPTS_SIDE_BOS 1u

// One target-scoped macro definition.
struct bldr_opts_tgt_scoped_macdef_t {
  char *tgt;    // target name, or a "%" pattern
  char *name;   // macro name
  char *value;  // value
  uint32_t op;  // definition operator (bldr_macro_op_t)
};

// One set of targets that may not build at the same time.
struct bldr_opts_interference_set_t {
  uint64_t origin;              // 1: listed by .NOTPARALLEL; 0: a group made by the target layer
  list_handle_t patterns;       // target-name patterns (strings)
};

// The record.
struct bldr_opts_s {
  stg_area_t area;                   // the parse's storage area
  bldr_macro_table_t *env_table;     // kind "environment", filled at creation
  hash_ht_t export_states;           // name -> bldr_opts_export_state_t
  list_handle_t mf_scoped_patterns;  // bldr_opts_tgt_scoped_macdef_t * with "%" targets
  list_handle_t bos_scoped_patterns;
  hash_ht_t mf_scoped_tgts;          // target name -> list of bldr_opts_tgt_scoped_macdef_t *
  hash_ht_t bos_scoped_tgts;
  hash_ht_t tgt_attrs;               // target name -> uint64_t bits
  list_handle_t mand_evs;            // cached environment lists of build scripts
  list_handle_t cond_evs;
  uint32_t export_default;           // 1 after a bare "export", 0 after a bare "unexport"
  list_handle_t patt_lists[BLDR_OPTS_PATT_KIND_COUNT];
  list_handle_t interference_sets;   // bldr_opts_interference_set_t *
  uint32_t dialect;
  hash_ht_t name_pairs;              // file-system name -> makefile name (char *)
};
typedef bldr_opts_s *BLDR_OPTS_HANDLE;
#define BLDR_OPTS_HANDLE_NULL ((BLDR_OPTS_HANDLE)0)

// Globals of the parse pipeline that the record uses: the record of the current parse (the
// grammars fill it and the expander consults it), the parse's storage area, the macro-table list
// in force, and the flag set while a ".JAVA_TGTS" line is read.
extern BLDR_OPTS_HANDLE mfc_curr_opts_handle;
extern stg_area_t mfc_mf_stg_area;
extern list_handle_t mfc_mf_macro_table_list;
extern int32_t mf_building_java_tgts;

// Removes, for dialects 0, 2, 3 and 7, every leading "./" (with the slashes after it) from each
// name of the list (strings, changed in place); other dialects and a null list are left alone.
void mf_tgt_strip_redundant_prefix(list_handle_t names, uint32_t dialect);

// Creates the record for the dialect in mfc_mf_stg_area, with its environment table filled from
// the process environment (also returned through env_table). Null after an internal error when
// a step fails.
BLDR_OPTS_HANDLE bldr_opts_init(uint32_t dialect, bldr_macro_table_t **env_table);

// Frees the record's hash tables; the area, and the environment table handed out by
// bldr_opts_init, stay with their owners. A null record is ignored.
void bldr_opts_term(BLDR_OPTS_HANDLE handle);

// Replaces the dialect once the BOS files are read.
void bldr_opts_set_compat_variant_post_bos(uint32_t dialect, BLDR_OPTS_HANDLE handle);

// Export states: export and unexport always set the state; record sets "recorded" only for a
// name without a state. 0, or KS_ST_ERR after the allocation message.
ks_status_t bldr_opts_record_variable(BLDR_OPTS_HANDLE handle, const char *name);
ks_status_t bldr_opts_export_variable(BLDR_OPTS_HANDLE handle, const char *name);
ks_status_t bldr_opts_unexport_variable(BLDR_OPTS_HANDLE handle, const char *name);
// The state of name; false when it has none.
bool bldr_opts_get_export_state(BLDR_OPTS_HANDLE handle, const char *name,
                                bldr_opts_export_state_t *state);
// The export default (1 after a bare "export", 0 after a bare "unexport").
void bldr_opts_set_export_default(BLDR_OPTS_HANDLE handle, uint32_t value);

// 1 while the value of a "default" macro is expanded for a script's environment.
uint32_t bldr_opts_exporting_macro_defs();

// Appends the names of list (strings) to the pattern list of kind; the list's cells move into
// the record, the list itself stays the caller's. A null list is an internal error that stops the
// program.
void bldr_opts_add_patt_list(BLDR_OPTS_HANDLE handle, bldr_opts_patt_kind_t kind,
                             list_handle_t list);
// The pattern list of kind, or null when none was given or the record is null.
list_handle_t bldr_opts_get_patt_list(BLDR_OPTS_HANDLE handle, bldr_opts_patt_kind_t kind);

// The special target that fills kind (".NO_WINK_IN"), or null for no kind.
const char *bldr_opts_patt_kind_name(bldr_opts_patt_kind_t kind);
// The kind that the special target name fills; false when it fills none.
bool bldr_opts_patt_kind_of(const char *name, bldr_opts_patt_kind_t *kind);
// What a special-target line of kind adds, with the rule for a line without names: a null or
// empty list adds the one pattern "%" for the kinds that mean "every target" and nothing for the
// others (.NO_SIBLING_DO_CONTAINED_IN warns, naming the target as written).
void bldr_opts_add_special_tgt_list(BLDR_OPTS_HANDLE handle, bldr_opts_patt_kind_t kind,
                                    list_handle_t list, const char *written_name);

// Adds a set of patterns (a non-empty list of strings, kept by the record) after stripping
// redundant "./" prefixes for the dialect.
void bldr_opts_add_parallel_interference_set(BLDR_OPTS_HANDLE handle, list_handle_t patterns,
                                             uint64_t origin);
// The list of sets, or null when there is none.
list_handle_t bldr_opts_get_parallel_interference_sets(BLDR_OPTS_HANDLE handle);
// 1 with *sets a new list (in the record's area) of every set one of whose patterns matches
// tgt_pn; 0 with *sets untouched when none does.
int bldr_opts_member_of_parallel_interference_set(BLDR_OPTS_HANDLE handle, const char *tgt_pn,
                                                  list_handle_t *sets);
// 1 when the two targets, with the sets each belongs to, may not build at the same time: a set
// listed by .NOTPARALLEL that both belong to, or a target-layer group in which they match
// different patterns.
int bldr_opts_parallel_interference_sets_alias(BLDR_OPTS_HANDLE handle, const char *tgt_pn1,
                                               list_handle_t sets1, const char *tgt_pn2,
                                               list_handle_t sets2);

// Stores a target-scoped definition for every target of tgts (strings) on side
// (BLDR_OPTS_SIDE_MF or BLDR_OPTS_SIDE_BOS). A value of operator 8 is expanded at once in the
// scope of the first target (def->value then points to the expanded copy) and *expanded is set.
// An override (operator 7) gives its value to the earlier definitions of the same name for the
// same target; a plain definition after an override of its name is dropped. 0, or the status of
// a failed expansion or KS_ST_ERR after a message.
ks_status_t bldr_opts_tgt_scoped_macro_def(BLDR_OPTS_HANDLE handle, uint32_t side,
                                           list_handle_t tgts, bldr_macro_def_t *def,
                                           uint32_t *expanded);

// Iterates the target-scoped definitions of side: first every "%" pattern definition, then those
// of tgt_name, or, with a null tgt_name, every definition of every target. *cursor is null to
// start; each call yields one definition (target copied into tgt_buf, name, value, operator) and
// sets *cursor to null after the last one without yielding. 0; KS_ST_ERR after the buffer message
// when the target does not fit (the cursor has moved past it).
ks_status_t bldr_opts_get_next_tgt_scoped_macdef(BLDR_OPTS_HANDLE handle, void **cursor,
                                                 uint32_t side, size_t buf_size, char *tgt_buf,
                                                 char **name, char **value, uint32_t *op,
                                                 const char *tgt_name);

// The length of the longest target name of side's target-scoped definitions (0 when none), so
// that a caller of bldr_opts_get_next_tgt_scoped_macdef can make its buffer large enough.
size_t bldr_opts_longest_scoped_tgt(BLDR_OPTS_HANDLE handle, uint32_t side);

// ORs bits into the attribute word of every target of tgts (strings).
void bldr_opts_add_tgt_attrs(BLDR_OPTS_HANDLE handle, uint64_t bits, list_handle_t tgts);
// The attribute bits of tgt_name, 0 when it has none.
uint64_t bldr_opts_get_tgt_attrs(BLDR_OPTS_HANDLE handle, const char *tgt_name);

// A new heap string (stg_free) in which every "$$" not followed by one of "{(@%^+<?*" is "$".
// Null after the allocation message.
char *bldr_opts_collapse_double_dollar(const char *text);

// Name pairs of a blank-separated list of names. direction 0 starts from makefile names, 1 from
// file-system names. Without want_result each name's pair is entered (the first pair of a
// file-system name stays) and null is returned; with want_result a new heap string (stg_free) holds
// the names mapped through the pairs, separators unchanged.
char *bldr_opts_mf_pname_ht_action(const char *names, BLDR_OPTS_HANDLE handle,
                                   uint32_t direction, uint32_t want_result);
// 1 when Java targets are in play and name maps to a file-system name and back to a different
// text; else 0.
int bldr_opts_unique_mfs_name(const char *name, BLDR_OPTS_HANDLE handle);

// For every listed name (strings) that table holds, defines it again with its value and flags.
// 0, or KS_ST_ERR after the allocation message.
ks_status_t bldr_opts_insert_override(bldr_macro_table_t *table, list_handle_t names);

// ---------------------------------------------------------------------------------------------
// Environment of build scripts. The names each list holds are chosen once per record; the values
// are taken afresh at every request from mfc_mf_macro_table_list, so that each target's scoped
// values reach its own scripts only.

// One "NAME=value" entry with the value of name in tables (empty when undefined), expanded first
// in the dialects 2, 3 and 7 when it holds a "$". A new heap string, or null after the message
// "Could not expand macro ..." or the allocation message.
char *bldr_opts_make_putenv_def(uint32_t dialect, const char *name, list_handle_t tables);

// The mandatory environment: every exported name, the recorded names under the export default or
// of environment variables, and the special variables that are defined. *list is a new heap list
// of heap "NAME=value" strings (free it with bldr_opts_free_evs). 0, or KS_ST_ERR with a null list
// when an entry cannot be made.
ks_status_t bldr_opts_get_mand_evs(BLDR_OPTS_HANDLE handle, int ignored, list_handle_t *list);

// The conditional environment: each environment variable without an export state or merely
// recorded, in environment order. As bldr_opts_get_mand_evs.
ks_status_t bldr_opts_get_cond_evs(BLDR_OPTS_HANDLE handle, int ignored, list_handle_t *list);

// The critical environment: always 0 with a null list.
ks_status_t bldr_opts_get_crit_evs(BLDR_OPTS_HANDLE handle, int ignored, list_handle_t *list);

// Frees a list made by the requests above with its strings; null is ignored.
void bldr_opts_free_evs(list_handle_t list);
