// The pgnu front end: the makefiles of the pgnu dialect are first run through the makefile
// preprocessor (the product tool "Gmake", or the program ORVA_GMAKE_PROG names), which writes
// one elaborated makefile; that file is parsed in the gnu dialect's rules and built.
#pragma once

#include <cstdint>

#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "mf/mfc.h"

// Messages of the front end (module "bld_pp").
extern const imsg_msg_table_t _bld_pp_karsel_msg_table;

// The pgnu make: with print set, only the preprocessor runs and writes to standard output;
// otherwise bld_pp_parse_and_make. Arrays are null-terminated (null for none); cmf is the parsed
// makefile the BOS files were read into. 0, or KS_ST_ERR after the messages.
ks_status_t bld_preproc_parse_and_make(const char *prog_name, int32_t make_level,
                                       char **makefiles, char **goals, char **defs,
                                       char **inc_dirs, uint32_t variant, uint32_t parallel,
                                       const char *hosts_file, uint32_t print,
                                       const char *parse_letters, const char *option_letters,
                                       mf_cmf_handle_t cmf);

// Builds the preprocessor's command line and runs it in an environment that carries the BOS
// definitions of cmf (null: none) in ORVA_BOS_ENV, MAKE and MAKELEVEL; its standard output goes
// to output (null: this program's). 0, or KS_ST_ERR after a message when the command cannot be
// run or fails.
ks_status_t bld_pp_preproc(const char *prog_name, int32_t make_level, const char *output,
                           char **makefiles, char **goals, char **defs, char **inc_dirs,
                           uint32_t variant, const char *parse_letters,
                           const char *option_letters, mf_cmf_handle_t cmf);

// The whole pgnu make: names and creates the elaborated makefile in the temporary directory,
// preprocesses into it, parses it into cmf and builds the goals; the elaborated makefile is
// removed afterwards unless the parse failed or the front end is traced. 0, or KS_ST_ERR.
ks_status_t bld_pp_parse_and_make(const char *prog_name, int32_t make_level, char **makefiles,
                                  char **goals, char **defs, char **inc_dirs, uint32_t variant,
                                  uint32_t parallel, const char *hosts_file,
                                  const char *parse_letters, const char *option_letters,
                                  mf_cmf_handle_t cmf);
