// Expansion functions: the table of the 32 built-in functions written $(name arguments), the
// splitting of a call's argument text, the handlers, and the root mappings that $(javaclasses)
// records for turning class-file names back into Java source names.
//
// Every handler gets the table list and flavour of the expansion, the split (unexpanded)
// arguments, a scratch area that lives for the call, and the empty result flex string, which it
// fills. It expands only the arguments it needs. 0 is success; a failure status makes the
// expander fail the whole expansion. $(error) does not return: it raises 2 (pfm_raise).
#pragma once

#include <cstddef>
#include <cstdint>

#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"
#include "mf/bldr_macro.h"

// A function's handler: (table list, flavour, argument count, arguments, scratch area, result
// flex string) -> 0 or a failure status.
typedef ks_status_t (*bldr_macro_efunc_handler_t)(list_handle_t tables, bldr_macro_flavor_t flavor,
                                                  int32_t argc, char **argv, stg_area_t area,
                                                  char **result);

// One row of the function table.
struct bldr_macro_efunc_row_t {
  const char *name;
  uint64_t name_len;
  bldr_macro_efunc_handler_t handler;
  uint32_t max_args;  // the last argument takes the rest of the text, commas included
  uint32_t flag;      // 0: a call is never held back by the expander's "$$" file-name check
};

// The 32 functions in their fixed order, followed by a row with a null name.
extern const bldr_macro_efunc_row_t bldr_macro_efunc_table[33];

// The row whose name is exactly name[0, len) (case sensitive), with its flag stored through flag
// when not null; null when no function has that name.
const bldr_macro_efunc_row_t *bldr_macro_efunc_lookup(const char *name, size_t len, uint32_t *flag);

// Splits args by the row's maximum count in a scratch area and calls the handler into the empty
// flex string *result. The handler's status; KS_ST_ERR after the allocation message when the
// scratch area or the argument array cannot be had.
ks_status_t bldr_macro_efunc_apply(const bldr_macro_efunc_row_t *row, const char *args,
                                   list_handle_t tables, bldr_macro_flavor_t flavor, char **result);

// Cuts text at its top-level commas (those outside "$(...)", "${...}" and "$x") into at most max
// arguments, copied into area; the last takes the rest of the text. An empty text gives none; a
// text ending in "," ends with an empty argument. Nothing is stripped or expanded. argv needs max
// slots. 0; KS_ST_ERR after the allocation message when a copy cannot be made (the arguments made
// so far stand).
ks_status_t bldr_macro_efunc_parse_arglist(const char *text, uint32_t max, stg_area_t area,
                                           int32_t *argc, char **argv);

// The words of the flex string (cut at blanks and TABs only) as a list of copies made in area;
// LIST_HANDLE_NULL when memory runs out.
list_handle_t bldr_macro_efunc_parse_words_to_list(const char *fsp, stg_area_t area);

// qsort comparison of two pointers to word pointers: strcmp of the words.
int bldr_macro_efunc_qsort_comparer(const void *a, const void *b);



// ---------------------------------------------------------------------------------------------
// Handlers (signature of bldr_macro_efunc_handler_t)

#define BLDR_MACRO_EFUNC_HANDLER(name)                                                          \
  ks_status_t name(list_handle_t tables, bldr_macro_flavor_t flavor, int32_t argc, char **argv, \
                   stg_area_t area, char **result)

// Words, texts and file names.
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_filter);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_filter_out);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_dir);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_notdir);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_basename);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_suffix);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_word);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_words);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_firstword);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_wordlist);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_strip);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_addprefix);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_addsuffix);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_join);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_findstring);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_subst);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_wildcard);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_patsubst);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_sort);

// filter (keep 1) and filter-out (keep 0).
ks_status_t bldr_macro_efunc_semantics_filter_aux(uint32_t keep, list_handle_t tables,
                                                  bldr_macro_flavor_t flavor, int32_t argc,
                                                  char **argv, stg_area_t area, char **result);
// addprefix (prefix 1) and addsuffix (prefix 0).
ks_status_t bldr_macro_efunc_semantics_addprefix_aux(uint32_t prefix, list_handle_t tables,
                                                     bldr_macro_flavor_t flavor, int32_t argc,
                                                     char **argv, stg_area_t area, char **result);

// Control and macro functions.
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_if);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_and);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_or);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_foreach);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_call);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_eval);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_value);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_origin);

// and (mode 1) and or (mode 0).
ks_status_t bldr_macro_efunc_semantics_and_or(uint32_t mode, list_handle_t tables,
                                              bldr_macro_flavor_t flavor, int32_t argc, char **argv,
                                              stg_area_t area, char **result);

// Shell and messages.
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_shell);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_warning);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_error);
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_info);

// Java classes under a destination root for the Java sources of a source root.
BLDR_MACRO_EFUNC_HANDLER(bldr_macro_efunc_semantics_javaclasses);

// ---------------------------------------------------------------------------------------------
// Root mappings of $(javaclasses)

// 1 once a $(javaclasses) call has made the root table (even one that recorded nothing), else 0.
int bldr_macro_efunc_have_javaclasses_mappings();

// The Java source pathname that the class pathname is built from, by the recorded root whose
// directory holds it: a pointer to a process-wide buffer overwritten by the next call, or null
// (without a message when no mapping exists or the name cannot be made absolute; with an error
// when no recorded root covers it or the result does not fit). The pathname must be a non-empty
// class-file name (assertions).
const char *bldr_macro_efunc_apply_javaclasses_to_class_path(const char *class_pn);
