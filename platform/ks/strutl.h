// String utilities: multibyte stepping and character classes, matching delimiters, white-space
// stripping, tokenising, bounded copies and joins, checked number conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"

// True for a null or empty string.
#define STRUTL_IS_NULL(s) ((s) == NULL || *(s) == '\0')

// Character classes of strutl_test_char (bits, combinable).
#define STRUTL_CLASS_ALPHA 0x01
#define STRUTL_CLASS_DIGIT 0x02
#define STRUTL_CLASS_UPPER 0x04
#define STRUTL_CLASS_LOWER 0x08
#define STRUTL_CLASS_PUNCT 0x10
#define STRUTL_CLASS_CNTRL 0x20
#define STRUTL_CLASS_SPACE 0x40

// Byte length of the multibyte character at p under the process locale, looking at no more than
// max bytes: at least 1 for stepping (a NUL, an invalid or an incomplete sequence count as one
// byte).
int strutl_mblen(const char *p, size_t max);

// The length of the character at p, a character boundary: 1 for a byte below 0x80 without a
// call into the locale, else strutl_mblen with the locale's longest character.
inline int strutl_char_len(const char *p) {
  return static_cast<unsigned char>(*p) < 0x80 ? 1 : strutl_mblen(p, MB_CUR_MAX);
}

// Non-zero when the (multibyte) character at p belongs to one of the classes in class_bits.
int strutl_test_char(const char *p, unsigned class_bits);

// The delimiter close that matches the open delimiter at text[0], skipping nested pairs of the
// same two delimiters; null when text does not start with open or the match is missing.
const char *strutl_find_end_delim(const char *text, char open, char close);
char *strutl_find_end_delim(char *text, char open, char close);

// Removes white space (multibyte aware) in place from the start (lead) and/or the end (trail)
// of text; returns the number of bytes removed.
size_t strutl_strip_whitespace(char *text, int lead, int trail);

// strtok_r-like splitting of a writable text at any byte of separators: the first call passes the
// text, later ones null with the same state. Runs of separators give no empty tokens. Returns the
// next token, or null at the end.
char *strutl_tokenize(char *text, const char *separators, char **state);

// The first occurrence of needle in haystack, or null. An empty needle is found at the start.
const char *strutl_find_str(const char *haystack, const char *needle);

// Copies src into dst of size bytes. 0, or KS_ST_NAME_TOO_LONG (dst left empty) when it does not
// fit with its NUL.
ks_status_t strutl_cpy_buf(char *dst, size_t size, const char *src);

// Joins the parts into buf of size bytes. 0, or KS_ST_NAME_TOO_LONG (buf left empty) when the
// result does not fit with its NUL. Null parts count as empty.
ks_status_t strutl_concat(char *buf, size_t size, std::initializer_list<const char *> parts);

// The parts joined into a new string made in area; null when memory runs out.
char *strutl_concat_area(stg_area_t area, std::initializer_list<const char *> parts);

// Replaces the first occurrence of find in buf (of size bytes) by repl. 0; KS_ST_NOT_FOUND when
// find does not occur; KS_ST_NAME_TOO_LONG (buf unchanged) when the result would not fit.
ks_status_t strutl_find_replace_substr(char *buf, size_t size, const char *find, const char *repl);

// Replaces the len bytes at offset of buf (of size bytes) by repl. 0, or KS_ST_NAME_TOO_LONG (buf
// unchanged) when the result would not fit; KS_ST_ERR when the range lies outside the text.
ks_status_t strutl_replace_substr(char *buf, size_t size, size_t offset, size_t len,
                                  const char *repl);

// Converts text in the given base to *out. Leading and trailing white space and a sign are
// accepted; anything else (an empty text, other characters, overflow) gives KS_ST_ERR and leaves
// *out unchanged. 0 on success.
ks_status_t strutl_strtol(const char *text, int base, long *out);

// Compares a and b ignoring case: negative, 0 or positive like strcmp.
int strutl_stricoll(const char *a, const char *b);

// A new heap string (free with stg_free) joining the parts (null parts count as empty), or null
// when storage runs out.
char *strutl_concat_heap(std::initializer_list<const char *> parts);

// Prints each string of the list on a line of its own, indented by a TAB, at information
// severity. A null list prints nothing.
void strutl_list_print(list_handle_t list);

// The same at trace severity.
void strutl_list_trace_print(list_handle_t list);

// Non-zero when the list of strings holds a string equal to text (a null list holds none).
int strutl_str_in_list(const char *text, list_handle_t list);

// Converts text (decimal) to an unsigned 32-bit number in *out: white space around it is
// accepted, a sign or anything else (an empty text, other characters, overflow) gives KS_ST_ERR
// and leaves *out unchanged. 0 on success.
ks_status_t strutl_strtoul(const char *text, uint32_t *out);
