// Target table: every target and dependency name of a parsed makefile, the rule instances of each
// defined target, the suffix and search lists, and the default goals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ks/hash.h"
#include "ks/imsg.h"
#include "ks/list.h"
#include "ks/stg.h"

// The actual pathname (when not the entry's key) and the explicit stem of an entry that has
// either.
struct mf_tgt_entry_more_t {
  const char *act_pn;
  const char *explicit_stem;
};

struct mf_tgt_inst_more_t;

// One parsed makefile's targets. The record is the first allocation of its own storage area,
// which holds every string, list and record of the table.
struct mf_tgt_table_t {
  stg_area_t area;
  uint32_t compat_variant;
  list_handle_t macro_table_list;   // the macro-table list in force when the table was made
  hash_ht_t comp_table;             // name -> mf_tgt_entry_t, insertion order
  hash_ht_t cmd_table;              // interned build-script lines
  hash_ht_t dir_table;              // interned search directories
  hash_ht_t suff_path_table;        // suffix -> mf_tgt_suff_path_t, or null
  list_handle_t vpath_list;         // mf_tgt_vpath_t records in definition order
  list_handle_t pattern_rule_list;  // mf_tgt_pattern_rule_t records in definition order
  list_handle_t suffix_list;        // .SUFFIXES in order
  list_handle_t all_path_list;      // .PATH directories
  list_handle_t recurs_list;        // .MAKE targets
  list_handle_t default_goal_list;  // .MAIN targets, or the first target once asked
  list_handle_t root_tgt_list;      // heap list made on first use
  char *null_suffix;                // .NULL suffix
  const char *first_tgt;            // the first real target of the makefiles
  mf_tgt_entry_more_t *entry_more;  // heap array by number; number 0 is not used
  uint32_t entry_more_count;        // numbers given, 0 included
  uint32_t entry_more_room;
  mf_tgt_inst_more_t **inst_more;   // heap array by number of the instances' records; 0 unused
  uint32_t inst_more_count;         // numbers given, 0 included
  uint32_t inst_more_room;
};

#define MF_TGT_TABLE_NULL ((mf_tgt_table_t *)0)

// One name of the table: the data slot of its comp_table entry (the key is the interned name).
// A large makefile has an entry for every name it mentions, so the flags are single bits, what
// few entries have (an actual pathname other than the key, an explicit stem) is kept apart, and
// the entry is 16 bytes.
struct mf_tgt_entry_t {
  list_handle_t instances;  // mf_tgt_inst_desc_t * in rule order; null for a dependency only
  // 0, or the number of the entry's record in the table's entry_more (see mf_tgt_act_pn and
  // mf_tgt_explicit_stem).
  uint32_t more;
  int8_t validation;        // 0 not validated, 1 validated, -1 superseded or failed
  uint8_t defined_as_target : 1;
  uint8_t is_a_dependency : 1;
  uint8_t multiple_valid : 1;  // every instance counts (double colon, archive library)
  uint8_t multiple_defined : 1;
  uint8_t implicit_target : 1;
  uint8_t lookup_done : 1;
  uint8_t archive_tgt : 1;
  uint8_t has_script : 1;
  uint8_t declared_phony : 1;
  uint8_t declared_precious : 1;
  uint8_t sibs_affect_reuse : 1;
  uint8_t walk_mark : 1;    // set while a walk of the dependency graph has reached the name
  uint8_t has_act_pn : 1;   // the entry has an actual pathname: its key unless more has another
};

// Instance flag bits.
#define MF_TGT_INST_FROM_PATTERN 0x1ull
#define MF_TGT_INST_FROM_DEFAULT 0x2ull
#define MF_TGT_INST_GNU_DCOLON_PATTERN 0x4ull
#define MF_TGT_INST_IMPLICIT_APPLIED 0x8ull
// Kept by the table, never handed out: tgt_base_pname is the target's name, and $* is that name
// without its suffix, made the first time it is asked for (a printout of the rules never asks).
#define MF_TGT_INST_STEM_OF_NAME 0x10ull

// The fields of a rule instance that most instances never set, apart from the instance so that
// a large makefile's many plain instances stay small.
struct mf_tgt_inst_more_t {
  list_handle_t bogus_deps;
  list_handle_t script_deps;     // made on first use
  char *member_name;             // archive member
  list_handle_t cotargets;       // the other targets of the same rule (target group)
};

// One rule instance of a target.
struct mf_tgt_inst_desc_t {
  list_handle_t script;          // interned command lines
  list_handle_t deps;            // interned dependency names
  char *implicit_dep;            // $<
  char *tgt_base_pname;          // $* (see MF_TGT_INST_STEM_OF_NAME)
  uint32_t flags;
  // 0 while none of the fields of a more record is set, else the number of the instance's
  // record in the table's inst_more.
  uint32_t more;
};

// The more record of inst, null while it has none.
inline mf_tgt_inst_more_t *mf_tgt_inst_more_of(const mf_tgt_table_t *table,
                                               const mf_tgt_inst_desc_t *inst) {
  return inst->more != 0 ? table->inst_more[inst->more] : nullptr;
}

// The fields of inst's more record, null while it has none.
template <class T>
T mf_tgt_inst_more_field(const mf_tgt_table_t *table, const mf_tgt_inst_desc_t *inst,
                         T mf_tgt_inst_more_t::*field) {
  const mf_tgt_inst_more_t *more = mf_tgt_inst_more_of(table, inst);
  return more != nullptr ? more->*field : T{};
}
inline list_handle_t mf_tgt_inst_bogus_deps(const mf_tgt_table_t *t, const mf_tgt_inst_desc_t *i) {
  return mf_tgt_inst_more_field(t, i, &mf_tgt_inst_more_t::bogus_deps);
}
inline list_handle_t mf_tgt_inst_script_deps(const mf_tgt_table_t *t, const mf_tgt_inst_desc_t *i) {
  return mf_tgt_inst_more_field(t, i, &mf_tgt_inst_more_t::script_deps);
}
inline char *mf_tgt_inst_member_name(const mf_tgt_table_t *t, const mf_tgt_inst_desc_t *i) {
  return mf_tgt_inst_more_field(t, i, &mf_tgt_inst_more_t::member_name);
}
inline list_handle_t mf_tgt_inst_cotargets(const mf_tgt_table_t *t, const mf_tgt_inst_desc_t *i) {
  return mf_tgt_inst_more_field(t, i, &mf_tgt_inst_more_t::cotargets);
}

// A pattern rule: its target pattern and the instance that carries it.
struct mf_tgt_pattern_rule_t {
  char *pattern;
  mf_tgt_inst_desc_t *inst;
};

// A GNU vpath directive: pattern and interned directories.
struct mf_tgt_vpath_t {
  char *pattern;
  list_handle_t dirs;
};

// The search directories of one .PATH<suffix>.
struct mf_tgt_suff_path_t {
  list_handle_t dirs;
  int32_t all_path_appended;
};

// An instance handle is the position of the instance in its entry's instance list.
typedef list_cursor_t mf_tgt_inst_handle_t;

// Message table of the module "mf/mf_tgt".
extern const imsg_msg_table_t _mf_tgt_karsel_msg_table;
// Rows of the table that the rule lookup prints.
enum {
  MF_TGT_MSG_TOO_MANY_SCRIPTS = 5,    // "Too many build scripts for target \"%s\"\n"
  MF_TGT_MSG_FIRST_SCRIPT_USED = 6,   // "Only the first build script will be used\n"
  MF_TGT_MSG_SUFFIX_LIST_EMPTY = 7,   // "Suffix list is empty\n"
  MF_TGT_MSG_DEP_NOT_FOUND = 8,       // "Didn't find suffix rule dependency \"%s\" - %s\n"
  MF_TGT_MSG_NOT_IN_SUFFIX_LIST = 9,  // "Target \"%s\" - \"%s\" not present in suffix list.\n"
  MF_TGT_MSG_CANT_INFER = 12,         // "Can't infer target definition for \"%s\"\n"
  MF_TGT_MSG_INFERRED = 13,           // "Inferred target definition via suffix rules for ..."
  MF_TGT_MSG_INFERRED_SCRIPT = 14,    // "Inferred build script template for \"%s\"\n"
  MF_TGT_MSG_EMPTY_INSTANCES = 15,    // "\"%s\" entered in target table but instance list ..."
  MF_TGT_MSG_APPLYING_SUFFIX = 16,    // "Applying suffix rule \"%s\" to \"%s\"\n"
  MF_TGT_MSG_STRIP_LEAF = 18,         // "Unable to strip leaf from target pathname \"%s\".\n"
  MF_TGT_MSG_STRIP_SUFFIX = 19,       // "Unable to strip suffix from target leaf name \"%s\".\n"
  MF_TGT_MSG_CANT_EXPAND = 21,        // "Unable to expand \"%s\"\n"
  MF_TGT_MSG_APPLYING_DEFAULT = 22,   // "Applying .DEFAULT definition to \"%s\".\n"
  MF_TGT_MSG_CANT_CHECK = 24,         // "Unable to check existence of \"%s\" to apply ..."
  MF_TGT_MSG_CANT_CONCAT = 25,        // "Unable to concatenate search directory \"%s\" and ..."
  MF_TGT_MSG_NO_ENTRY = 26,           // "Unable to locate target symbol table entry for \"%s\"\n"
  MF_TGT_MSG_MULTI_DEP_PATTERNS = 27, // "Multiple dependency patterns in pattern matching rule ..."
  MF_TGT_MSG_NO_WILDCARD = 28,        // "Unable to find pattern matching wildcard character ..."
  MF_TGT_MSG_NO_PATTERN_ENTRY = 32,   // "Unable to locate target symbol table entry for pattern ..."
  MF_TGT_MSG_NAME_TOO_LONG = 35,      // "Makefile name \"%s\" is too long for internal buffer\n"
  MF_TGT_MSG_MALFORMED_DEF = 36,      // "Malformed macro definition \"%s\"\n"
  MF_TGT_MSG_DEPS_TOO_LONG = 38,      // "Length of dependency list is too large for internal ..."
  MF_TGT_MSG_SEARCH_TOO_LONG = 39,    // "Ignoring search list pathname \"%s\" (from \"%s\") - ..."
  MF_TGT_MSG_EXTRA_COLON = 40,        // "Extra colon in search list \"%s\" (from \"%s\")\n"
  MF_TGT_MSG_PATTERN_LOST = 44,       // "Macro expansion removed pattern char. ..."
  MF_TGT_MSG_VPATH_BOTH_SCRIPTS = 45, // "Build scripts were specified for both \"%s\" and \"%s\".\n"
  MF_TGT_MSG_VPATH_EQUIVALENT = 46,   // "These targets are considered equivalent due to ..."
  MF_TGT_MSG_VPATH_SCRIPT_USED = 47,  // "The script for \"%s\" will be used.\n"
  MF_TGT_MSG_GROUP_EXCLUSIVE = 49,    // "\"%s\" appears both in a target group and \"%s\". ..."
  MF_TGT_MSG_GROUP_IMPLICIT = 50,     // "\"%s\" appears both in a target group and \"%s\". ..."
  MF_TGT_MSG_RULE_CYCLE = 51,         // "Implicit rules lead back to \"%s\"; ..."
};

// --- Current table.
void mf_tgt_set_tgt_table_handle(mf_tgt_table_t *table);
mf_tgt_table_t *mf_tgt_fetch_tgt_table_handle();
// The entry of name in the current table; an entry that is absent or not validated is an
// internal error that ends the program.
mf_tgt_entry_t *mf_tgt_fetch_tgt_handle(const char *name);

// --- Creation and end.
// A new empty table for the dialect with its own storage area; null after an internal error.
mf_tgt_table_t *mf_tgt_create_table(uint32_t compat_variant, list_handle_t macro_table_list);
// Frees the table with everything in it; null is accepted.
void mf_tgt_free_table(mf_tgt_table_t *table);

// --- Constructors.
// Initialises entry as a declared target (see the field comments); null name or entry assert.
// name is the entry's key in the table; an entry without an actual pathname gets the key as its
// own.
void mf_tgt_utl_declare_target(const char *name, mf_tgt_entry_t *entry, mf_tgt_table_t *table,
                               int defined, int multiple_valid, const char *stem);
// Enters name as a dependency; returns the interned name (null when memory runs out).
const char *mf_tgt_enter_dep_in_table(mf_tgt_table_t *table, const char *name);
// A new list of the command lines, each interned; null for a null or empty list.
list_handle_t mf_tgt_copy_cmd_list(mf_tgt_table_t *table, list_handle_t list);
// A new list of the dependency names, each entered as a dependency; with unique a later
// duplicate is dropped. Null for a null or empty list.
list_handle_t mf_tgt_utl_copy_dep_list(mf_tgt_table_t *table, list_handle_t list, int unique);
list_handle_t mf_tgt_copy_dep_list(mf_tgt_table_t *table, list_handle_t list, int unique);
// A new instance with those fields; not appended.
mf_tgt_inst_desc_t *mf_tgt_create_inst_desc(mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                                            list_handle_t deps, list_handle_t script,
                                            const char *implicit_dep);
// The more record of inst, made zero-filled in the table's area when it has none; running out of
// memory is fatal.
mf_tgt_inst_more_t *mf_tgt_inst_more(mf_tgt_table_t *table, mf_tgt_inst_desc_t *inst);
// Merges a further rule for target_name into an existing instance.
void mf_tgt_augment_inst(mf_tgt_table_t *table, const char *target_name,
                         mf_tgt_inst_desc_t *inst, list_handle_t script, list_handle_t deps);

// --- Archive targets.
// Splits "lib(member)" into "lib()" and the member: 0, 1002 when not of that form (or the member
// is empty where that is not allowed), 1001 when a part does not fit its buffer.
int mf_tgt_split_lib_member(const char *name, char *lib, size_t lib_size, char *member,
                            size_t member_size, uint32_t variant);
// 1 when an archive reference holds several members that must be split, else 0.
int mf_tgt_must_split_archive_list(const char *text, uint32_t variant);
// Whether name may be an archive reference (or a list of them): every one holds a '('. A name
// for which this is false is no archive form.
inline bool mf_tgt_may_be_archive_ref(const char *name) { return std::strchr(name, '(') != nullptr; }
// 1 when name was defined as archive target(s), 0 when it is no archive form.
int mf_tgt_chk_archive_tgt(mf_tgt_table_t *table, const char *name, list_handle_t deps,
                           list_handle_t script, const char **out_lib_key);
// Defines one archive member; 0 or 1001.
int mf_tgt_archive_def(mf_tgt_table_t *table, const char *lib, const char *member,
                       list_handle_t deps, list_handle_t script, const char **out_lib_key);

// --- Names.
// 1 for an ordinary target name, 0 for a special target, suffix rule or pattern.
int mf_tgt_is_real_tgt(const char *name, uint32_t variant);
// Removes leading "./" (and the slashes behind it) from each name in place (std, pgnu, sun, gnu).
void mf_tgt_strip_redundant_prefix(list_handle_t list, uint32_t variant);
// Removes leading "./" runs from one name in place.
void mf_tgt_strip_dot_slash(char *name);
// Appends to dst each string of src that is neither in dst nor earlier in src; 0 or 1001.
int mf_tgt_uniqified_strings_list(list_handle_t src, list_handle_t dst);

// --- Accessors of an entry.
int mf_tgt_mult_instances_valid(mf_tgt_table_t *table, mf_tgt_entry_t *entry);
int mf_tgt_is_archive(mf_tgt_table_t *table, mf_tgt_entry_t *entry);
int mf_tgt_is_phony(mf_tgt_entry_t *entry);
int mf_tgt_is_precious(mf_tgt_entry_t *entry);
int mf_tgt_precious_tgt(mf_tgt_table_t *table, mf_tgt_entry_t *entry);
int mf_tgt_has_script(mf_tgt_table_t *table, mf_tgt_entry_t *entry);
int mf_tgt_is_implicit_target(mf_tgt_table_t *table, mf_tgt_entry_t *entry);
// The actual pathname, or null while the entry has none (a name only depended on, not yet
// validated). mf_tgt_entry_act_pn is the same without the trace.
const char *mf_tgt_act_pn(mf_tgt_table_t *table, mf_tgt_entry_t *entry);
const char *mf_tgt_entry_act_pn(mf_tgt_table_t *table, const mf_tgt_entry_t *entry);
// Sets the actual pathname: pn (kept, not copied), or none for null. A pn equal to the key costs
// no memory.
void mf_tgt_set_act_pn(mf_tgt_table_t *table, mf_tgt_entry_t *entry, const char *pn);
// The explicit stem (of a GNU static pattern rule), or null; set to stem (kept, not copied).
const char *mf_tgt_explicit_stem(mf_tgt_table_t *table, const mf_tgt_entry_t *entry);
void mf_tgt_set_explicit_stem(mf_tgt_table_t *table, mf_tgt_entry_t *entry, const char *stem);
// Next instance position (the first for a null position); after the first only when every
// instance counts; null at the end.
mf_tgt_inst_handle_t mf_tgt_next_instance(mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                                          mf_tgt_inst_handle_t pos);

// --- Accessors of an instance.
list_handle_t mf_tgt_get_bld_script(mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                                    mf_tgt_inst_handle_t pos);
list_handle_t mf_tgt_get_dep_list(mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                                  mf_tgt_inst_handle_t pos);
void mf_tgt_set_dep_list(mf_tgt_table_t *table, mf_tgt_entry_t *entry, mf_tgt_inst_handle_t pos,
                         list_handle_t list);
list_handle_t mf_tgt_get_bogus_dep_list(mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                                        mf_tgt_inst_handle_t pos);
const char *mf_tgt_get_imp_dep(mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                               mf_tgt_inst_handle_t pos);
const char *mf_tgt_get_tgt_base_pname(mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                                      mf_tgt_inst_handle_t pos);
uint64_t mf_tgt_get_inst_flags(mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                               mf_tgt_inst_handle_t pos);
const char *mf_tgt_get_member_name(mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                                   mf_tgt_inst_handle_t pos);
// The script dependency list: each dependency, or for an archive dependency the members of all
// its instances; made on first use.
list_handle_t mf_tgt_get_script_dep_list(mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                                         mf_tgt_inst_handle_t pos);

// --- Queries by name.
// The entry of name, or null when the name is not in the table.
mf_tgt_entry_t *mf_tgt_lookup(mf_tgt_table_t *table, const char *name);
// 1 with the co-target list of the first instance that has one, else 0.
int mf_tgt_has_cotargets(mf_tgt_table_t *table, const char *name, list_handle_t *cotargets);
// In the current table: 1 when name is declared phony but not defined as a target.
int mf_tgt_is_undefined_phony_dependency(const char *name);
// Whether name is in the .MAKE list.
int mf_tgt_is_recurs_make(mf_tgt_table_t *table, const char *name);
list_handle_t mf_tgt_suffix_list(mf_tgt_table_t *table);
// Java audits in use (the .JAVAC special target).
void mf_tgt_set_java_audits();
int mf_tgt_java_audits();

// --- Iteration.
// The default-goal list: .MAIN targets, else a list holding the first target, else null.
list_handle_t mf_tgt_default_goal_list(mf_tgt_table_t *table);
// Real targets that are no dependency of any other, or null when there is none.
list_handle_t mf_tgt_root_tgt_list(mf_tgt_table_t *table);
// Steps cursor to the next defined name that is not a real target (special targets, suffix and
// pattern rules), copying it into buf: 0 with the entry (null at the end), 1001 when the name
// does not fit.
int mf_tgt_next_implicit_tgt(mf_tgt_table_t *table, hash_cursor_t *cursor, char *buf,
                             size_t size, mf_tgt_entry_t **out_entry);

// --- Debug dump to standard output.
void mf_tgt_dump_tgt_ent(mf_tgt_table_t *table, mf_tgt_entry_t *entry);
void mf_tgt_dump_list_ent(list_handle_t list);
