// The parse pipeline's records and globals that the makefile input, the lexer actions and the
// conditionals read during a parse.
#pragma once

#include <cstdint>

#include "ks/list.h"
#include "ks/stg.h"

struct bldr_macro_table_t;

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
  uint32_t environment_overrides;
  uint32_t no_builtin_rules;
  uint32_t silent;
  uint32_t ignore;
  uint32_t not_parallel;
  uint32_t posix;
  uint32_t siblings_affect_reuse;
  uint32_t makefiles_affect_reuse;
  uint32_t javac;
  char *makeflags;
  // Position of the scanner's last match.
  int32_t source_line;
  int32_t source_col;
  int32_t source_prev_col;
  const char *source_file;
  // Position of the current statement (its rule-line colon).
  int32_t statement_line;
  const char *statement_file;
};

// The options of the current parse; null outside a makefile parse.
extern mf_parse_op_rec_t *mfc_parse_op_rec_p;

// The storage area of the current parse.
extern stg_area_t mfc_mf_stg_area;

// The macro-table list in force during the parse, and the table that makefile definitions (and
// the MAKEFILE name of each makefile opened) are stored in.
extern list_handle_t mfc_mf_macro_table_list;
extern bldr_macro_table_t *mfc_parser_macro_table;

// The process-wide list of makefiles read (heap copies of their names), created on first use.
list_handle_t mfc_get_makefiles_list();

// Adds a heap copy of pathname to the process-wide list of makefiles read, unless an equal name
// is already in it.
void mfc_require_file_in_makefiles_list(const char *pathname);
