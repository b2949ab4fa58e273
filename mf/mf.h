// Module "mf": the parse facade and the recorded environment. The facade is the interface through
// which programs get a parsed makefile and walk it: each function checks its handles and forwards
// to the parse pipeline (mf/mfc.h).
//
// The recorded environment: Every tuning variable of the system is read through
// mf_getenv, which notes each variable that is set, with the last value read, in the order of its
// first read, so that a run can print which settings it consulted.
#pragma once

#include "ks/hash.h"
#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "mf/mfc.h"

struct karsel_args;

// Message table of the module "mf".
extern const imsg_msg_table_t _mf_karsel_msg_table;
enum {
  MF_MSG_PRINTENV_HEADER = 0,  // "# --- Active make-related environment variables ---\n"
  MF_MSG_PRINTENV_ENTRY = 1,   // "#\t%s=%s\n"
  MF_MSG_NULL_CMF = 2,         // "Null makefile symbol table handle\n"
  MF_MSG_NULL_TGT = 3,         // "Null target handle\n"
  MF_MSG_MALFORMED_DEF = 4,    // "Malformed macro definition \"%s\"\n"
};

// The recorded environment: name -> heap copy of the last value read (8-byte data), in
// first-read order. Null while no record exists.
extern hash_ht_t mf_evs;

// Starts an empty record, finalizing an existing one first. 0, or KS_ST_ERR after the allocation
// message when the table cannot be made (mf_getenv then records nothing).
ks_status_t mf_initialize_getenv();

// The value of the environment variable ev_name as getenv gives it, or null when it is unset.
// While a record exists, a set variable is recorded (a later read replaces the value and keeps the
// variable's place). A null name stops the program (assertion).
const char *mf_getenv(const char *ev_name);

// Prints the record at trace severity without a module prefix: an empty line, the header and one
// "#\tNAME=VALUE" line per variable in first-read order. Prints nothing when no variable is
// recorded. The caller decides whether it is wanted.
void mf_printenv();

// Frees the record; nothing happens when there is none.
void mf_finalize_getenv();

// ---------------------------------------------------------------------------------------------
// Parse facade. String arrays are null-terminated, or null when empty.

// Reads the BOS files into a new parsed makefile (*out_cmf; no target table yet). The status of
// mfc_parse_bos. A status raised below frees the parsed makefile and is raised again.
ks_status_t mf_parse_bos(char **makefiles, char **bos_files, char **defs, uint32_t no_default_bos,
                         uint32_t compat_variant, mf_cmf_handle_t *out_cmf);

// Parses the makefiles into *io_cmf (completing the one from mf_parse_bos, or a new one). In the
// GNU dialects the inherited MAKELEVEL (a decimal number in the environment) replaces a MAKELEVEL
// definition of defs, or is appended. The status of mfc_parse_mf; a status raised below frees
// *io_cmf and is raised again.
ks_status_t mf_parse_ext(char **makefiles, char **defs, const char *prog_name, int32_t make_level,
                         char **inc_dirs, char **goals, const char *parse_flags,
                         uint32_t compat_variant, mf_cmf_handle_t *io_cmf);

// mf_parse_ext without include directories and goals.
ks_status_t mf_parse(char **makefiles, char **defs, const char *prog_name, int32_t make_level,
                     const char *parse_flags, uint32_t compat_variant, mf_cmf_handle_t *io_cmf);

// Frees the parsed makefile *cmf_p (with signals deferred) and clears the handle; a null handle
// does nothing. A null pointer stops the program (assertion).
void mf_require_free_mf_st(mf_cmf_handle_t *cmf_p);

// Stores the dialect in the make-arguments record and in the parsed makefile.
void mf_set_compat_variant_post_bos(uint32_t compat_variant, karsel_args *args,
                                    mf_cmf_handle_t cmf);

// Whether parallel builds are possible in this run.
void mf_set_can_perform_parallel_builds(uint32_t flag);
int mf_can_perform_parallel_builds();

// In the GNU dialects (2 and 7) the make program's level: the inherited MAKELEVEL (a decimal
// number) plus one, else 0; MAKELEVEL and MAKECMDGOALS (the goals joined by blanks) are put into
// the process environment. Other dialects: 0 and the environment untouched.
int32_t mf_set_make_level(uint32_t compat_variant, char **goals);

// 0 when text holds '=' after its first character; otherwise the error "Malformed macro
// definition" and KS_ST_ERR.
ks_status_t mf_macro_validate_def(const char *text);

// Accessors: a null parsed makefile prints "Null makefile symbol table handle" and gives KS_ST_ERR
// (0 for the yes/no questions); where a target is required, a null one prints "Null target
// handle" and gives KS_ST_ERR. Otherwise the result of the mfc_cmf_* function of the same role.
ks_status_t mf_next_root_tgt(mf_cmf_handle_t cmf, list_cursor_t *pos, size_t size, char *buf);
ks_status_t mf_next_default_goal_tgt(mf_cmf_handle_t cmf, list_cursor_t *pos, size_t size,
                                     char *buf);
ks_status_t mf_get_tgt_handle(mf_cmf_handle_t cmf, const char *name, mf_tgt_entry_t **out);
ks_status_t mf_get_known_tgt_handle(mf_cmf_handle_t cmf, const char *key, mf_tgt_entry_t *entry,
                                    mf_tgt_entry_t **out);
ks_status_t mf_next_tgt_rule(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, list_cursor_t *inst);
ks_status_t mf_tgt_rule_script(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, list_cursor_t inst,
                               size_t size, char *buf);
ks_status_t mf_tgt_rule_next_dep(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, list_cursor_t inst,
                                 list_cursor_t *pos, size_t size, char *buf);
ks_status_t mf_macro_expand_str(mf_cmf_handle_t cmf, const char *text, size_t *out_size,
                                char **out);
ks_status_t mf_tgt_inference_dep(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, size_t size, char *buf);
ks_status_t mf_get_special_handle(mf_cmf_handle_t cmf, const char *name, list_handle_t *out);
ks_status_t mf_next_implicit_tgt(mf_cmf_handle_t cmf, hash_cursor_t *pos, char *buf, size_t size,
                                 mf_tgt_entry_t **out);
ks_status_t mf_macro_table(mf_cmf_handle_t cmf, list_handle_t *out);
// 1 when the target may have several rule instances.
int mf_double_colon_tgt(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt);
// 1 when the target was declared .PRECIOUS.
int mf_tgt_declared_precious(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt);
ks_status_t mf_get_next_mf_tgt_scoped_def(mf_cmf_handle_t cmf, void **cursor, size_t size,
                                          char *tgt_buf, char **name, char **value, uint32_t *op);
ks_status_t mf_get_next_bos_tgt_scoped_def(mf_cmf_handle_t cmf, void **cursor, size_t size,
                                           char *tgt_buf, char **name, char **value, uint32_t *op);
// Unchecked forwarders.
ks_status_t mf_get_next_special_value(list_handle_t list, list_cursor_t *pos, size_t size,
                                      char *buf);
const char *mf_get_next_macro(bldr_macro_table_t *table, hash_cursor_t *pos, size_t size,
                              char *name_buf);
