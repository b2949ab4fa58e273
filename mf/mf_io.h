// The makefile input stack: one character source over a list of description files and the
// include files they open, with push-back, wide characters, source positions and, for the
// dialects whose conditionals are handled before scanning, whole-line reading that delivers only
// the lines of taken branches.
//
// One parse at a time: mf_io_init starts the layer, mf_io_term ends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>

#include "ks/imsg.h"
#include "ks/list.h"

// Source position of the character last read (or of the character about to be read again after
// a push-back). mf_io_source_file stays valid until mf_io_term.
extern const char *mf_io_source_file;
extern int32_t mf_io_source_line;
extern int32_t mf_io_source_col;
extern int32_t mf_io_source_prev_col;

// 1 when the locale's multibyte characters can be longer than one byte.
extern int32_t mf_io_mb_is_allowed;
// 1 when, in the locale the layer was started in, every byte 1-127 is the character of that
// code in both directions, so that such bytes are read and pushed back without conversion; 0
// while the layer is inactive.
extern int32_t mf_io_ascii_is_plain;

// Failure mark of the current parse: set to 1 on a reported failure that does not stop the
// parse. The parse driver clears it before a parse and fails a parse that ends with it set.
extern int32_t mf_parser_failed;

// Messages of the input layer, module "mf/mf_io".
extern const imsg_msg_table_t _mf_io_karsel_msg_table;

// Rows of _mf_io_karsel_msg_table used by the input layer and the conditionals.
enum mf_io_msg_row {
  MF_IO_MSG_NO_FILES = 0,
  MF_IO_MSG_POSITION = 1,
  MF_IO_MSG_NEW_BUFFER = 2,
  MF_IO_MSG_PROCESSING = 3,
  MF_IO_MSG_LINE_TOO_LONG = 4,
  MF_IO_MSG_LINE_TEXT = 5,
  MF_IO_MSG_ELSE_WITHOUT_IF = 6,
  MF_IO_MSG_ENDIF_WITHOUT_IF = 7,
  MF_IO_MSG_NESTED_TOO_DEEPLY = 8,
  MF_IO_MSG_ILLEGAL_INCLUDE = 9,
  MF_IO_MSG_INCLUDES_TOO_DEEP = 10,
  MF_IO_MSG_CANNOT_INCLUDE = 11,
  MF_IO_MSG_UNTERMINATED_COND = 12,
  MF_IO_MSG_INVALID_MB = 13,
  MF_IO_MSG_INVALID_WC = 14,
  MF_IO_MSG_NUL_BYTE = 15,
};

// Deepest nesting of conditionals; opening one more fails the parse.
constexpr int MF_IO_MAX_COND_NEST = 64;
// Deepest nesting of include files; including one more fails the parse (a file that includes
// itself without end is stopped here).
constexpr int MF_IO_MAX_INCLUDE_DEPTH = 200;

// Prints the position line "File "<file>", line <n>" of the current position at severity, which
// opens a warning or an error (cold: the paths to it are kept apart from the reading loop).
[[gnu::cold]] void mf_io_print_position(int severity);

// Starts the layer on files (a list of names, read in order), with the -I directories for
// include searches (may be null, not copied: it must outlive the parse), the goal names that
// make-goal conditionals test (may be null), the conditional flavour (0 none, 1 "#" directives,
// 2 "." directives, 3 bare GNU words), and whether each file opened defines MAKEFILE and is
// recorded in the makefiles list. Opens the first file. Returns 0, or 1001 after a message (no
// files, first file cannot be opened); the layer is then inactive again.
int mf_io_init(list_handle_t files, list_handle_t inc_dirs, list_handle_t goals, int32_t flavor,
               int32_t define_makefile, int32_t record);

// Closes every open file and frees the layer's storage. Always 0; nothing when inactive.
int mf_io_term();

// The next input byte (1-255), or 0 at the end of all input (and on every later call). Every
// file ends with a newline even when its last line lacks one.
int mf_io_input();

// Pushes byte c back so that it is read next; the position moves back over it. Returns 0.
int mf_io_unput(int c);

// Pushes the first len bytes of text back so that they are read next in their own order.
// Returns 0, or 1001 when text is null.
int mf_io_push_counted_str(const char *text, size_t len);
// mf_io_push_counted_str with the whole NUL-terminated text.
int mf_io_push_str(const char *text);

// The next wide character, or 0 at the end of all input or after a reported invalid multibyte
// sequence (the parse is then marked failed).
wchar_t mf_io_get_wc();

// Pushes wc back as its multibyte bytes. 0, or 1001 after a message when it cannot be encoded.
int mf_io_unput_wc(wchar_t wc);

// The most wide characters one scanner refill stores.
constexpr int MF_IO_WSTRING_LINE_MAX = 8;

// Scanner refill: stores at most min(count, MF_IO_WSTRING_LINE_MAX) wide characters into buf,
// ending after a newline or at the end of input (a 0 is then stored but not counted), or before
// an invalid multibyte sequence that follows what it stored. Returns the number counted.
int mf_io_get_wstring_line(wchar_t *buf, int count);

// The rest of a refill whose first stored characters, in buf[0, stored), were read already: it
// goes on as that refill would have, storing from buf[stored] on. Returns the number counted,
// those stored before included.
int mf_io_get_wstring_line_rest(wchar_t *buf, int count, int stored);

// Line and column of the current position.
int32_t mf_io_spos_line();
int32_t mf_io_spos_column();
// Sets the current column (negative values become 0).
void mf_io_set_spos_column(int32_t column);
// Moves the position forward over text as if it had been read.
void mf_io_set_spos_for_string_get(const char *text);

// Gives a newly opened include file a leading line break: the first character read is a newline
// after which the position is line 1, column 0. Nothing happens when the last include opened no
// file (or its file was read from already). Returns 0.
int mf_io_push_artificial_newline_in_new_include_file();

// Non-zero while the layer is active.
int mf_io_parser_existent();

// The push-back stack as seen by readers that keep knowledge about text they pushed back. A depth
// counts bytes from the bottom of the stack; the byte read next is at depth
// mf_io_pushback_depth() - 1. A file opened by an include gets a stack of its own.

// Bytes pushed back and not yet read again.
size_t mf_io_pushback_depth();
// The bytes below this value, NUL aside, are characters of their own, read without conversion.
unsigned mf_io_plain_byte_bound();
// Puts the next physical line of the current file below everything on the push-back stack, when
// the stack ends with a complete line (depths all grow by its length). 1 when a line was put
// there; 0 when none can be: not the plain flavour, or the file has nothing more before its end.
int mf_io_load_line_below();
// Reads the next n bytes (at most the depth) from the push-back stack, as mf_io_input would.
void mf_io_consume(size_t n);
// Reads from the push-back stack, as mf_io_get_wc would one by one, at most max bytes that are
// characters of their own, stopping before a newline, before a byte that needs conversion and
// before a byte whose entry in the 256-entry table stop is non-zero. Copies them into dest and
// returns how many (0 when the stack is empty or its next byte stops the run).
size_t mf_io_take_run(char *dest, size_t max, const uint8_t *stop);
// The bytes of the stack from its bottom (the byte read next is the last), valid until the next
// push-back.
const char *mf_io_pushback_data();
// Copies the n bytes read next (n at most the depth) into dest, in reading order.
void mf_io_peek_pushback(char *dest, size_t n);
// The byte at depth (below mf_io_pushback_depth()).
char mf_io_pushback_byte_at(size_t depth);
// Marks the stack from depth from to its top. Reading marked bytes shrinks the mark, and a push
// ends it at the depth the push writes to, so the mark only ever covers bytes that have stayed
// in place since; a switch of file drops it.
void mf_io_mark_pushback(size_t from);
// The part of the mark still in place: true with [*from, *to), false when none is left.
bool mf_io_marked_pushback(size_t *from, size_t *to);

// Bytes read from the files so far, a count that never goes back: equal counts mean nothing new
// was read from a file in between.
uint64_t mf_io_stream_bytes();

// 1 when the whole input has been read and nothing is pushed back: every read gives 0.
int mf_io_input_ended();

// A count that grows with every byte read or pushed back and every switch of file: equal counts
// mean the input has not moved in between.
uint64_t mf_io_change_count();

// Finds the named include files by the search kind (0 as written; 1 "<name>" or "\"name\""
// forms; 2 as written, then "/usr/include/make/"; 3 as written, the -I directories, then
// "/usr/local/include", "/usr/gnu/include", "/usr/include") and makes the layer read them, in
// order, before the rest of the current file. A missing file is an error unless ignore_missing.
// Returns 0, or 1001 after a message (bad name form, required file missing, nesting too deep);
// the parse is marked failed on every error.
int mf_io_include_files(list_handle_t names, int32_t ignore_missing, int32_t search_kind);
// mf_io_include_files for one name.
int mf_io_push_file(const char *name, int32_t ignore_missing, int32_t search_kind);

// Branch state of the conditionals, kept by the layer across the files of one parse.
extern int32_t mf_io_nest_level;
extern int32_t mf_io_dont_scan;
extern int32_t mf_io_restart_scan;
