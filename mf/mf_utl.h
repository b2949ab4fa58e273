// Makefile utilities: the make verbosity and the trace gate of the makefile layer, the output of a
// shell command, environment definition texts, and the version line of libvosselbuild.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/ks_verid.h"
#include "ks/list.h"
#include "ks/stg.h"

KS_DECLARE_VERID(libvosselbuild)

// Message table of the module "mf/mf_utl".
extern const imsg_msg_table_t _mf_utl_karsel_msg_table;
enum {
  MF_UTL_MSG_EXISTENCE = 1,   // "Unable to check existence of \"%s\" - %s\n"
  MF_UTL_MSG_SHELL_CMD = 2,   // "Shell Command is : %s\n"
  MF_UTL_MSG_CMD_STATUS = 3,  // "Cmd exit status = %d, errno = %d\n"
  MF_UTL_MSG_PUTENV = 4,      // "Unable to putenv \"%s\"\n"
  MF_UTL_MSG_NULL_NAME = 5,   // "Null macro name - unable to putenv\n"
};

// The make verbosity; every trace of the makefile layer compares it first.
extern int32_t mf_verbosity;
// 1 once mf_initialize has run.
extern int32_t mf_initialized;

// Reads the make verbosity once per process (ORVA_VERBOSITY, else ZELVANE_BLD_VERBOSITY, decimal,
// through the recorded environment); later calls do nothing. Always 1.
int mf_initialize();

// The trace gate of the makefile layer: true when a trace of level may print, that is when
// mf_verbosity is at least level, or the desired verbosity is at least level and traces of name
// are wanted at that level.
bool mf_utl_should_trace(const char *name, int level);

// Runs command through the shell (SIGCHLD blocked meanwhile) and reads its whole output; the lines
// lose their trailing newlines and are joined with one blank. 0 with *out_text a new heap string
// (freed with stg_free) and *out_status the status as pclose reports it (a wait status); 0 with
// *out_text null and *out_status -1 when the command cannot be started; KS_ST_ERR after the
// allocation message when memory runs out.
ks_status_t mf_utl_fetch_shcmd_output(const char *command, int32_t *out_status, char **out_text);

// Whether mf_utl_fetch_shcmd_output runs commands (on at start). A program that reads makefiles
// it must not act on (a fuzzing harness) turns it off: a command then fails as one that cannot be
// started.
void mf_utl_set_shell_commands(int enabled);

// The exit code a wait status stands for: the exit status of a process that exited, 128 plus the
// signal number of one a signal ended, and -1 for a command that could not be started.
int32_t mf_utl_decode_cmd_status(int32_t wait_status);

// name "=" value made in area (the heap for STG_AREA_HEAP); null when memory runs out.
char *mf_utl_area_putenv_def(const char *name, const char *value, stg_area_t area);

// name "=" value as a new heap string owned by the caller; null when memory runs out.
char *mf_utl_make_putenv_def(const char *name, const char *value);

// Replaces each name of the list that is a file-name wildcard pattern by the names it matches in
// the current directory, in place, each new name copied into area; a name that matches nothing,
// or only itself, stays as written.
void mf_utl_glob_list(list_handle_t list, stg_area_t area);

// Puts name "=" value (a heap string the environment keeps) into the process environment. 0, or
// -1 after an internal error when the text cannot be made or putenv fails.
int mf_utl_setenv(const char *name, const char *value);

// Puts name "=" value into the process environment; a null or empty value is written as "name="
// only with force and otherwise nothing is done. 0; 1001 after a message for a null or empty
// name or when memory runs out.
ks_status_t mf_utl_putenv_var(const char *name, const char *value, int force);

// Whether the object exists, asked through the view without following a final link: 0 exists,
// 1002 absent, 1001 after a message on any other failure.
ks_status_t mf_utl_obj_exists(const char *pathname);

// The modification time of the object through the view (following a final link or not): 0 with
// *out_time, 1002 absent, 1001 after a message on any other failure.
ks_status_t mf_utl_get_dtm(const char *pathname, int follow_links, time_t *out_time);

// A null-terminated array of the list's strings, made in area; null for a null or empty list
// or when memory runs out.
char **mf_utl_list_to_parray(list_handle_t list, stg_area_t area);

// A new list (in list_area) of the first count pointers of array; null for a null array, a zero
// count, or after the allocation message.
list_handle_t mf_utl_cntd_parray_to_list(void **array, size_t count, stg_area_t list_area,
                                         size_t element_size);

// Prints a text of any length at severity, in pieces of at most 16383 bytes; the _nl forms add
// a newline message, the shared forms print under module_name.
void mf_utl_imsg_print_bigstr(int severity, const char *text);
void mf_utl_imsg_print_bigstr_nl(int severity, const char *text);
void mf_utl_imsg_print_shared_bigstr(int severity, const char *module_name, const char *text);
void mf_utl_imsg_print_shared_bigstr_nl(int severity, const char *module_name, const char *text);

// Puts a heap copy of binding ("NAME=value") at the end of the definition list (a list of heap
// copies), removing and freeing the first earlier binding of the same name: 1 when one was removed, 0 when none was. A binding
// with blanks before its "=" never replaces. A binding without "=" ends the program (assertion).
int mf_utl_replace_or_append_macro_value(list_handle_t definitions, const char *binding);

// Sets the make verbosity and exports it as ZELVANE_BLD_VERBOSITY and ORVA_VERBOSITY.
void mf_set_verbosity(uint32_t level);

// text with a backslash in front of every character that makes and shells treat specially
// (^ ; ' " * ? [ ] $ < > ( ) { } | & ~, the backquote, the backslash and the blanks: space, TAB,
// CR, LF, FF, VT), as the definitions handed to child makes are written.
std::string mf_utl_escaped(std::string_view text);

// The words of a text written that way: separated by unescaped blanks and TABs (a run counts
// once), each backslash taking the next character as it is.
std::vector<std::string> mf_utl_escaped_words(std::string_view text);
