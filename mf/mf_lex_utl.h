// The lexer actions shared by every makefile scanner and the BOS scanner: their common state,
// fetching the rest of a logical line from the makefile input (continuations, define bodies,
// carriage returns, canonical form), the full line buffer for look-ahead, comment stripping,
// macro-definition recognition and the printable copy of a text for traces.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ks/imsg.h"
#include "ks/list.h"

struct bldr_macro_def_t;

// Messages of the lexer actions, module "mf/mf_lex_utl".
extern const imsg_msg_table_t _mf_lex_utl_karsel_msg_table;

// Lexer state, reset by mf_lex_init at the start of every parse.
extern int32_t mf_lexer_verbosity;             // trace level of the lexer
extern int32_t mf_lex_is_build_script;         // a build-script line is being fetched
extern int32_t mf_lex_lexing_multiline_macro_def;  // a define body is being fetched
extern int32_t gnu_eval_next_line_can_be_script;   // in a define body, a TAB may start a script
extern int32_t mf_lex_full_linebuf_origin;     // source column where the full line buffer begins
extern int32_t must_return_eol;                // the next line end is returned as END_OF_LINE
extern int32_t building_list_of_file_names;    // a file-name list is being built
extern int32_t mf_script_line_expected;        // a build-script line may follow
extern int32_t mf_scoped_macro_def_accepted;   // a target-scoped definition is accepted here
extern int32_t mf_lexer_is_mb_allowed;         // the locale has multibyte characters
extern int32_t mf_lexer_mb_cur_max;            // MB_CUR_MAX when multibyte is allowed
extern int32_t mf_lex_single_null_build_script_allowed;  // one empty script line may follow
extern int32_t mf_in_filename_context;         // the scanner is inside a file-name context
extern int32_t mf_expanded_simply_expanded_macro;  // expansion met a simply-expanded macro

// The definition scanned last by mf_lex_macro_def (name and value are heap texts); valid until
// the next definition is scanned.
extern bldr_macro_def_t mf_macro_definition;

// The logical line of the last mf_lex_fetch_line (a flex string; valid until the next fetch)
// and the full line buffer (matched text plus the rest of the line).
extern char *mf_lex_linebuf;
extern char *mf_lex_full_linebuf;

// Resets the lexer state and both line buffers for a new parse and computes the trace level.
void mf_lex_init();

// Reads the rest of the logical line from the makefile input into mf_lex_linebuf and returns
// it. join: a backslash-newline continues the line (otherwise the line ends there, the
// backslash kept); swallow_blank: an empty line right after a continuation is joined too;
// strip_before_backslash: in build scripts of the gnu and pgnu dialects, blanks before a
// continuation backslash go (outside scripts they always go: blanks, backslash, newline and
// indentation become one blank); raw: the line is not canonicalised (only with join). The
// character that ended the line is given back to the input. Inside a define body the whole body
// up to a line "endef" is read. Returns null when the input ends inside a define body (reported,
// parse marked failed). The fixed form that reads sun include lines and kelto comments (no
// continuation lines, canonical form) is mf_lex_fetch_line(0, 0, 0, 0).
char *mf_lex_fetch_line(int32_t join, int32_t swallow_blank, int32_t strip_before_backslash,
                        int32_t raw);

// The full line buffer becomes text followed by the rest of the logical line. Returns 0.
int mf_lex_fill_linebuf(const char *text);

// As mf_lex_fill_linebuf, but where the rest of the line is known to come out of the fetch
// unchanged (it went through a fill before), only its first want bytes or more are read, since
// reading the remainder would change nothing. Returns 1 when the buffer holds the whole rest of
// the logical line, 0 when mf_lex_extend_linebuf can read more.
int mf_lex_fill_linebuf_part(const char *text, size_t want);

// After mf_lex_fill_linebuf_part: reads at least want more bytes of the rest of the line (all
// that remain when fewer do). Returns 1 when the buffer then holds the whole rest of the line.
int mf_lex_extend_linebuf(size_t want);

// Gives back to the input everything of the full line buffer after its first keep bytes (keep
// is capped at the buffer's length) and sets the source column accordingly. Returns 0.
int mf_lex_unfill_linebuf(int32_t keep);

// Cuts a comment off the heap text *text in place (*text is replaced by a new heap text): the
// first '#' not preceded by a backslash ends the text. An escaped '#' loses its backslash with
// unescape, keeps it with keep_escape; with both off every '#' cuts.
void mf_lex_strip_comment(char **text, int32_t unescape, int32_t keep_escape);

// Removes every newline followed by a TAB, a newline, a blank or the end of text; 1 when one
// was removed, else 0.
int mf_lex_compress_nl(char *text);

// 1 when the scanner's current and previous columns are 0 and text, stripped of white space at
// both ends, holds nothing but newlines, vertical tabs and form feeds.
int mf_lex_is_blank_line(const char *text);

// 1 when the scanner's current column equals column.
int mf_lex_column_one(int32_t column);

// A printable copy of text for traces (newline as "\n", TAB as "\t", other unprintable bytes as
// "\ooo"), in a static buffer overwritten by the next call; cut at an invalid multibyte sequence
// or at the buffer's size. text must not be null.
const char *mf_lex_utl_printified_string(const char *text);

// Whether a target-scoped macro definition is accepted here, and the scanners' claim of it.
int32_t mf_lex_scoped_macro_def_accepted_here();
void mf_lex_claim_scoped_macro_def_accepted_here(int32_t flag);

// Action for the token that opens a target-scoped definition: ends the file-name list.
void mf_lex_tgt_scoped_token();

// Action for a UTF-8 byte-order mark at the start of text: with ORVA_TVICK_OTHER_ENCODING set,
// text without the mark is pushed back onto the input behind a newline; otherwise nothing.
void mf_lex_utl_BOM_handler(const char *text);

// 1 when the rest of the current line starts with a macro name, optional blanks and TABs and one
// of "=", "+=", ":=", "?=", "!="; the input is left unchanged.
int mf_lex_looks_like_macro_def();

// Action for a matched macro definition start (text) with the definition operator op: leaves
// name, value and operator in mf_macro_definition. 1 when it holds a new definition, 0 when
// there is none (a define without a name, or a failure that marked the parse failed).
int mf_lex_macro_def(const char *text, int32_t op);
