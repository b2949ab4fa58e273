// The variable engine and the conditional evaluator of the BSD-style dialects (sgismake, sgipmake,
// bsdnetr2): references $(V), ${V} and $x with the modifiers E, H, M, N, R, S, T and old=new, the
// search for a reference to a name, and the expressions of the .if / #if style directives.
//
// Results follow the engine's convention: 0 a value was delivered, KS_ST_NOT_FOUND (1002) the
// variable is undefined (no error in the silent and keep modes), KS_ST_ERR (1001) an error that
// was reported. Results go into a caller's storage area; STG_AREA_HEAP (1) stands for the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ks/imsg.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"

// Messages of both engines, module "mf/bsdmake".
extern const imsg_msg_table_t _bsdmake_karsel_msg_table;
enum {
  BSDMAKE_MSG_NO_CLOSING_PAREN = 0,   // "Missing closing parenthesis for %s().\n"
  BSDMAKE_MSG_NO_RHS = 1,             // "Missing right-hand-side of operator.\n"
  BSDMAKE_MSG_STRING_OP = 2,          // "String comparison operator should be either == or !=.\n"
  BSDMAKE_MSG_UNKNOWN_OP = 3,         // "Unknown operator \"%c%c\".\n"
  BSDMAKE_MSG_UNIMPLEMENTED = 4,      // "Unimplemented conditional directive: \"%s\"\n"
  BSDMAKE_MSG_AS_IF_FALSE = 5,        // "Proceeding as if conditional evaluated FALSE\n"
  BSDMAKE_MSG_UNCLOSED = 6,           // "Unclosed substitution for \"%s\" (missing '%c').\n"
  BSDMAKE_MSG_UNKNOWN_MODIFIER = 7,   // "Unknown modifier '%c'.\n"
  BSDMAKE_MSG_RESULT = 8,             // "Result is \"%s\".\n"
  BSDMAKE_MSG_MALFORMED = 9,          // "Malformed conditional \"%s\".\n"
  BSDMAKE_MSG_UNDEFINED = 10,         // "Undefined variable \"%.*s\".\n"
  BSDMAKE_MSG_CIRCULAR = 11,          // "Circular definition for macro \"%s\".\n"
  BSDMAKE_MSG_APPLYING = 12,          // "Applying :%c to \"%s\"\n"
  BSDMAKE_MSG_COMPARISON = 13,        // "lhs = \"%s\", rhs = \"%s\", op = %.2s\n."
  BSDMAKE_MSG_TRAILING_TEXT = 14,     // "Text after the conditional expression is ignored: ..."
};

// What a reference to an undefined variable gives.
enum : uint32_t {
  BSDMAKE_UNDEF_SILENT = 0,  // KS_ST_NOT_FOUND, no message; the line expander drops the reference
  BSDMAKE_UNDEF_ERROR = 1,   // an error naming the reference and the makefile position
  BSDMAKE_UNDEF_KEEP = 2,    // KS_ST_NOT_FOUND; the line expander keeps the reference's text
};

// Evaluates the reference whose "$" text points at, over the macro tables of scopes (the first
// table that holds the name wins). On 0, *value is the value with the modifiers applied, made in
// area; otherwise it is null. *length receives the characters of the reference from its "$"
// through its closing bracket (2 for $x). With a definition list, NAME=value (the stored value,
// empty when undefined) is made in def_area and appended to it. expand_values: the variable's
// value is expanded as a line before the modifiers apply.
ks_status_t bsdmake_var_eval(list_handle_t scopes, const char *text, uint32_t undef_mode,
                             stg_area_t area, char **value, int32_t *length, list_handle_t defs,
                             stg_area_t def_area, int32_t expand_values);

// Expands every reference of line into *result (made in area). "$$" gives "$" (kept as "$$" while
// bldr_macro_preserve_double_dollar is set); an undefined reference vanishes in the silent mode
// and stays as written in the keep mode. With a definition list, each reference of the line adds
// its NAME=value there. 0, or KS_ST_ERR after the message (then *result is null).
ks_status_t bsdmake_var_expand_line(list_handle_t scopes, const char *line, uint32_t undef_mode,
                                    stg_area_t area, char **result, list_handle_t defs,
                                    stg_area_t def_area, int32_t expand_values);

// 0 when text refers to the variable name ($(name...), ${name...} or $n for a one-letter name,
// with or without modifiers); KS_ST_NOT_FOUND when it does not; KS_ST_ERR after an "Unclosed
// substitution" error.
ks_status_t bsdmake_var_find_in_str(const char *text, const char *name);

// The same evaluation as bsdmake_var_eval over a text that ends with the view (the reference may
// not run past it), with the value in a string; no definition text. For the conditional evaluator.
ks_status_t bsdmake_var_eval_in(list_handle_t scopes, std::string_view text, uint32_t undef_mode,
                                std::string *value, size_t *length, int32_t expand_values);

// 1 when the whole word matches the glob pattern (*, ?, [set] with ranges, backslash escapes).
int bsdmake_str_match(std::string_view word, std::string_view pattern);

// Evaluates the expression of a BSD-style conditional line (the text after the directive word,
// without its newline): 0 true, 1 false, 2 malformed (reported, mf_parser_failed set). kind 0
// tests bare words with defined(), kind 1 with make(); invert inverts the bare-word terms only.
int bsdmake_cond_eval_expr(char *condition, int kind, int invert);

// Prints the makefile position after a message of these engines, at the continuation of severity.
void bsdmake_print_position(int severity);
