// The make command line and MAKEFLAGS: the make-arguments record from the argument vector merged
// with the flags a parent make passed down, the flags of the run written back for child makes,
// and the small operations on MAKEFLAGS-style strings.
//
// A MAKEFLAGS-style string is a list of words separated by blanks or tabs; a word may be wrapped
// in single or double quotes, which group blanks into it. A word holding '=' is a macro
// definition, a word beginning with "--" a long option, any other word a group of option letters
// with or without a leading '-'; when a group's last letter is C, I, B or A, the next word is that
// option's argument.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/stg.h"

// Messages of the make command line (module "tolvick"). The make program prints the directory
// lines and the failed change of directory from it, with these rows.
extern const imsg_msg_table_t _mf_parse_cmd_line_karsel_msg_table;
#define MF_PARSE_MSG_ENTERING_DIRECTORY 7  // prefix, program name, directory
#define MF_PARSE_MSG_LEAVING_DIRECTORY 8   // prefix, program name, directory
#define MF_PARSE_MSG_CHDIR_FAILED 19       // directory

// Size of the flag-letter strings of the record (letters and the NUL).
#define KARSEL_FLAGS_SIZE 64

// The make-arguments record. String arrays are null-terminated, or null when empty; every string
// and array lives in the storage area given to the parser.
struct karsel_args {
  char *program_name;        // first word of the argument vector
  char **makefiles;          // -f, --file=, --makefile=, in order
  char **bos_files;          // ORVA_OPTS_SPECS parts, then each -A
  uint32_t no_default_bos;   // -N
  char **include_dirs;       // -I, --include-dir=
  char **goals;              // operands without '='
  char **macro_defs;         // command-line definitions, then ORVA_CMD_LINE_BLDHOST_FILE=
  uint32_t conc_given;       // a valid -J was given
  uint32_t conc_count;       // concurrent builds
  char *bldhost_file;        // -B, or null
  uint32_t print_graph;      // -p, --print-data-base
  char parse_flags[KARSEL_FLAGS_SIZE];  // letters the makefile parser consults
  char build_flags[KARSEL_FLAGS_SIZE];  // letters handed to the build
  uint32_t compat_variant;   // makefile dialect
  uint32_t compat_from_cmd_line;  // -C named the dialect
  int32_t verbosity;         // 0, 1 (-v), 2 (-d, --debug)
  uint32_t opt_P_given;      // -P
  uint32_t print_directory;  // print the entering/leaving directory lines
  uint32_t no_print_directory;  // --no-print-directory
  uint32_t build_session;    // --build-session
  char *directory;           // directory to change to (GNU dialects), or null
};

// Size of the buffer in which the new ORVA_MAKEFLAGS value is built; an inherited value that
// could not fit it is refused.
#define MF_MAKEFLAGS_BUF_SIZE 258237

// Fills args from argc/argv and the flags inherited through ORVA_MAKEFLAGS or MAKEFLAGS, with
// every string in area; sets ORVA_MAKEFLAGS and MAKEFLAGS for child makes (and ORVA_CONC when
// asked). 0, or KS_ST_ERR after the messages and the usage text.
ks_status_t mf_parse_cmd_line_and_evs(int argc, char **argv, stg_area_t area,
                                      karsel_args *args);

// 1 when the MAKEFLAGS-style value already holds the option, else 0. With a non-zero letter, a
// letter group holding it counts; for C, I, B and A with a non-null argument the group must end
// with the letter and the next word must equal the argument. Otherwise long_name (with its
// leading "--") counts when a long-option word equals it or is a prefix of it.
int mf_parse_opt_included(const char *value, int letter, const char *long_name,
                          const char *argument);

// Appends one option (letter, or long_name without its "--" when letter is 0) with its argument
// (or null) to value, a NUL-terminated text in a buffer of size bytes; separate 1 keeps a letter
// from being glued to a value of bare letters. 0, or KS_ST_ERR with a message when the result
// would not fit (value unchanged).
ks_status_t mf_parse_add_flag_to_makeflags(char *value, int letter, const char *long_name,
                                           const char *argument, size_t size, int separate);

// A new heap string (free with stg_free) holding the standard MAKEFLAGS for value: definitions,
// and the letters other than "AJBxNbvCUMVOTFRcuP" (I with its argument); letter-equivalent long
// options give their letters, other long options are left out. Null with a message when storage
// runs out.
char *mf_parse_remove_nonstandard_flags(const char *value);

// A new heap string (free with stg_free) holding the letters of every letter group of value run
// together without dashes; definitions and long options are left out, and so are C, I, B and A
// with their arguments. Null with a message when storage runs out.
char *mf_parse_get_noopt_makeflags(const char *value);

// The next word of a MAKEFLAGS-style text, strtok-like: text is a writable string on the first
// call and null afterwards, *save keeps the position. A word wrapped in quotes loses them.
// Null at the end, or with an error message and a null *save when an opening quote has no
// closing one.
char *mf_cl_tokenize_makeflags(char *text, char **save);

// 1 once --warn-undefined-variables was given.
uint32_t mf_parse_warn_undef_set();

// Process-wide flag behind mf_parse_warn_undef_set.
extern uint32_t mf_parse_warn_undef;
