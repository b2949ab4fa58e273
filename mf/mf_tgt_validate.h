// Target validation: the build-time rule lookup of the target table. Finds the explicit rule of a
// target and completes it with what an implicit rule adds, relocates targets and dependencies
// through the search lists (.PATH, .PATH<suffix>, vpath, $(VPATH)), infers a rule from pattern
// or suffix rules, falls back on .DEFAULT, and keeps the Java class-to-source records.
#pragma once

#include "ks/ks_status.h"
#include "ks/list.h"
#include "mf/mf_tgt.h"

// Results of the validation operations.
enum {
  MF_TGT_VALID = 0,     // the target has a rule
  MF_TGT_NO_RULE = 1,   // no rule applies (the name may still be an existing file)
  MF_TGT_INVALID = 2,   // error, already reported
};

// Results of mf_tgt_validate_file.
enum {
  MF_TGT_FILE_ERROR = -1,     // the existence test failed (reported)
  MF_TGT_FILE_NOT_FOUND = 0,
  MF_TGT_FILE_EXISTS = 1,     // the name itself exists
  MF_TGT_FILE_IN_TABLE = 2,   // a search directory joined with the name is a defined target
  MF_TGT_FILE_IN_SEARCH = 3,  // a search directory joined with the name exists
};

// While one lives, validations one after another read the working directory and the environment
// only once, resolve the directory of each name they test only once, and expand $(VPATH) once
// for a table and macro-table list: for a caller that validates many targets and changes none of
// these in between (a printout of the build graph). Without one each validation reads them
// afresh.
class mf_tgt_validate_context_t {
 public:
  mf_tgt_validate_context_t();
  ~mf_tgt_validate_context_t();
  mf_tgt_validate_context_t(const mf_tgt_validate_context_t &) = delete;
  mf_tgt_validate_context_t &operator=(const mf_tgt_validate_context_t &) = delete;
};

// The full lookup of name in table: explicit rule (completed by implicit rules), search-list
// relocation, .LIBPATTERNS candidates (GNU dialects), implicit rule, .DEFAULT, plain file. Uses the
// macro-table list and options record in force (mfc_mf_macro_table_list, mfc_curr_opts_handle).
// MF_TGT_VALID with *out_entry the validated entry; MF_TGT_NO_RULE with the entry of an existing
// plain file, or null; MF_TGT_INVALID (reported) with null.
int mf_tgt_validate_tgt(mf_tgt_table_t *table, const char *name, mf_tgt_entry_t **out_entry);
// mf_tgt_validate_tgt of a name the table holds, given as the table's key with its entry (from a
// lookup the caller made), so that the validation does not look it up again.
int mf_tgt_validate_known_tgt(mf_tgt_table_t *table, const char *key, mf_tgt_entry_t *entry,
                              mf_tgt_entry_t **out_entry);

// The explicit rule of name alone, each instance completed by implicit rules. MF_TGT_VALID with
// the entry; MF_TGT_NO_RULE (null) when the name is no defined target or was superseded;
// MF_TGT_INVALID (null, the entry marked -1) when the implicit lookup failed.
int mf_tgt_validate_explicit_tgt(mf_tgt_table_t *table, const char *name,
                                 mf_tgt_entry_t **out_entry);

// Whether name exists as a file, directly or (with search) through its search list; with
// check_table a search-directory path that is a defined target counts. One of MF_TGT_FILE_*;
// *out_located is the name for MF_TGT_FILE_EXISTS and, for the search results, a buffer that stays
// valid until the next call; null otherwise.
int mf_tgt_validate_file(mf_tgt_table_t *table, const char *name, int search, int check_table,
                         const char **out_located);

// The search directories that apply to name, as a new heap list of directory strings that live in
// the table (the caller destroys the list only), or null when none applies. restrict_sun: in the
// sun dialect a name holding "/" gets none.
list_handle_t mf_tgt_apply_search_list(mf_tgt_table_t *table, const char *name, int restrict_sun);
// mf_tgt_apply_search_list with restrict_sun set.
list_handle_t mf_tgt_search_list(mf_tgt_table_t *table, const char *name);

// Marks the entry of name validated without a lookup; the name must be in the table (assertion).
void mf_tgt_claim_tgt_was_validated(mf_tgt_table_t *table, const char *name);

// The $* value of an explicit target by the dialect (in the table's area), or null (the sun
// dialect for an archive member; a suffix that cannot be removed, after an internal error).
char *mf_tgt_dollar_star_for_explicit_tgt(mf_tgt_table_t *table, const char *name,
                                          const char *explicit_stem, const char *member);

// Records that the .class target class_tgt_pn is made from the source java_abs_pn (a new
// instance unless one already lists it). Empty names are assertion failures.
void mf_tgt_require_class_java_dependency(mf_tgt_table_t *table, const char *class_tgt_pn,
                                          const char *java_abs_pn);
// 1 with *out_java_pn the absolute .java source of a class target, else 0 (*out_java_pn null).
int mf_tgt_lookup_class_java_dependency(mf_tgt_table_t *table, const char *class_tgt_pn,
                                        const char **out_java_pn);

// The existence test of rule lookup: through the directory cache, or through the stat cache in
// force when ORVA_NO_DIRENT_CACHE is set. KS_ST_OK exists, KS_ST_NOT_FOUND absent, another status
// when the test failed (not reported here).
ks_status_t mf_tgt_obj_exists(const char *name);
