// Messages through message tables, traces gated by verbosity and trace names.
//
// Severities come in pairs: the even value opens a message, the odd value continues it without a
// new prefix. Information goes to standard output without a prefix; warnings, errors and traces
// go to standard error and open with "<application>: Warning: ", "<application>: Error: " or
// "<application>: <module>: " respectively.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#define IMSG_INFO 0
#define IMSG_INFO_CONT 1
#define IMSG_WARNING 4
#define IMSG_WARNING_CONT 5
#define IMSG_ERROR 6
#define IMSG_ERROR_CONT 7
#define IMSG_TRACE 8
#define IMSG_TRACE_CONT 9

// One message table per source module.
struct imsg_msg_table_t {
  const char *catalog;            // "karsel_bin"
  const char *module_name;        // printed in messages, such as "mf/bldr_macro"
  uint16_t module_number;
  uint16_t count;                 // rows of formats and catalog_numbers
  const char *const *formats;     // printf formats, one per row
  const uint16_t *catalog_numbers;
};

// The platform's common table, printed under a caller's module name with imsg_print_shared.
// Rows: 1 empty line, 2 "%s\n", 18 cannot open file (name, error text), 19 cannot close file
// (name, error text), 25 operation on object failed (name, status text), 39 allocation failed,
// 40 cannot create storage area, 41 cannot create list, 42 cannot create hash table, 43 cannot
// destroy hash table, 44 cannot delete storage area, 45 text does not fit its buffer,
// 46 missing option argument (option letter).
extern const imsg_msg_table_t imsg_common_table;
#define IMSG_COMMON_EMPTY_LINE 1
#define IMSG_COMMON_TEXT 2
#define IMSG_COMMON_OPEN_FAILED 18
#define IMSG_COMMON_CLOSE_FAILED 19
#define IMSG_COMMON_REMOVE_FAILED 22
#define IMSG_COMMON_OBJ_OP_FAILED 25
#define IMSG_COMMON_NO_MEMORY 39
#define IMSG_COMMON_AREA_CREATE 40
#define IMSG_COMMON_LIST_CREATE 41
#define IMSG_COMMON_HASH_CREATE 42
#define IMSG_COMMON_HASH_DELETE 43
#define IMSG_COMMON_AREA_DELETE 44
#define IMSG_COMMON_BUF_TOO_SMALL 45
#define IMSG_COMMON_MISSING_ARG 46

// Prints row (0-based) of table with printf arguments at severity.
void imsg_print(int severity, const imsg_msg_table_t *table, int row, ...);
// Prints format itself (row is -1: the format stands in place of the table).
void imsg_print(int severity, const char *format, int row, ...);
void imsg_vprint(int severity, const char *module_name, const char *format, va_list ap);

// imsg_print for the messages a run seldom prints (errors, warnings, traces): the same output,
// but marked cold, so that the compiler keeps the paths to them apart from the code around them
// and a run that prints none of them does not map that code.
[[gnu::cold]] void imsg_print_cold(int severity, const imsg_msg_table_t *table, int row, ...);
[[gnu::cold]] void imsg_print_cold(int severity, const char *format, int row, ...);

// Prints a row of a common table under module_name. Cold: the common rows are nearly all errors.
[[gnu::cold]] void imsg_print_shared(int severity, const char *module_name,
                                   const imsg_msg_table_t *table, int row, ...);

// Formats into buf (at least 1024 bytes) like imsg_print would print; returns the length.
int imsg_sprintf(char *buf, const char *format, ...);

// The application name that opens warnings, errors and traces (default: the program's name).
void imsg_set_app_name(const char *name);
const char *imsg_get_app_name();

// Process-wide verbosity: TRACE_VERBOSITY from the environment, 0 when unset.
int imsg_get_desired_verbosity();
void imsg_set_desired_verbosity(int level);

// Whether traces of name are wanted at level: name is listed in TRACE_SUBSYS (blank- or
// comma-separated; "all" lists every name) and level is at most the desired verbosity.
int imsg_should_trace(const char *name, int level);

// Text of a system error number.
const char *imsg_strerror(int error_number);

// Re-reads TRACE_SUBSYS and TRACE_VERBOSITY (for tests that change them).
void imsg_reset_trace_settings();

// Where messages go; tests redirect both to capture them. Null restores the standard streams.
void imsg_set_streams(FILE *out, FILE *err);

// Notes the time of the latest decision (for the message layer's own timing); no visible effect.
void imsg_clock();

// Whether the messages go to a graphical front end (IMSG_IN_GUI set in the environment), in
// which case build output is read through pipes and printed as messages.
int imsg_in_gui();

// Turns the output of messages off (enabled 0) and on again; while off, messages are dropped.
// Returns the previous setting.
int imsg_set_output_enabled(int enabled);
