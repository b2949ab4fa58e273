// Command-line option parser.
//
// Options are read from an argument vector one at a time. Single-letter options come from an
// option string in the getopt form ("f:" takes an argument, attached or in the next word; letters
// may be grouped, "-ks"). A word beginning with "--" is a long option: it comes back as its text
// without the dashes ("keep-going", "file=x"), and the caller matches it. Options and operands
// may be interleaved: cl_getopt_long stops at an operand, cl_getarg_noopt takes the operands up
// to the next option, and the caller alternates the two until neither consumes anything. A lone
// "--" ends the options: every word after it is an operand. A lone "-" is an operand.
#pragma once

typedef struct cl_handle_s *cl_handle_t;

#define CL_HANDLE_NULL ((cl_handle_t)0)

// Values of cl_getopt_long besides option letters.
#define CL_END (-1)      // no option here: the next word is an operand, or the vector is used up
#define CL_LONG_OPT 1    // a long option; its text (without "--") is in *long_text
#define CL_ERROR '?'     // an unknown option letter; cl_error_text and cl_bad_option say which
#define CL_MISSING ':'   // an option letter whose argument is missing; cl_bad_option names it

// A parser over argv[0..argc-1]; argv[0] is the program name and is skipped. The vector and the
// option string must outlive the handle. Null when memory runs out or an argument is null.
cl_handle_t cl_parse_argv(int argc, char *const *argv, const char *optstring);

// The next option: its letter, CL_LONG_OPT, CL_ERROR, CL_MISSING or CL_END. long_text may be
// null when the caller takes no long options (they then come back as CL_ERROR).
int cl_getopt_long(cl_handle_t handle, const char **long_text);

// The argument of the option letter last returned, or null when it takes none.
const char *cl_getarg(cl_handle_t handle);

// The next operand when the current word is one (it is consumed), else null.
const char *cl_getarg_noopt(cl_handle_t handle);

// The text of the last error ("unknown option", "option requires an argument"), or null.
const char *cl_error_text(cl_handle_t handle);

// The option of the last error as written ("-z"), or null.
const char *cl_bad_option(cl_handle_t handle);

// The letter of the last CL_ERROR or CL_MISSING, or 0.
int cl_bad_letter(cl_handle_t handle);

// Destroys the parser; a null handle is ignored.
void cl_destroy(cl_handle_t handle);
