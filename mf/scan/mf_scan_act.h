// Rule actions of the dialect scanners. A scanner is a table of rows, one per rule of its rule
// file: the action that runs after the match and its argument (a token, a definition operator or
// an include form). The actions that several dialects share live here; a dialect writes its own
// only where its rules differ. Every action returns the token to hand to the grammar, or 0 to go
// on scanning.
#pragma once

#include "mf/scan/mf_scan.h"

// One rule: action(text, length, arg). text is the match (multibyte), length its length in
// characters.
struct mf_scan_rule_t {
  int (*action)(const char *text, int length, int arg);
  int arg;
};

// The token loop of a scanner: matches the next rule and runs its row until an action yields a
// token, which is traced and returned; 0 at the end of the input. *leng receives each match's
// length. rules has a row for every rule of the scanner's tables.
int mf_scan_lex(mf_scanner_t *scanner, const mf_scan_rule_t *rules, int *leng);

// Whether the action of a reference in a name may leave the name part in front of it with its
// scanner (on by default): reading gives the same either way, which tests compare.
void mf_scan_keep_name_parts(int on);

// Include forms of mf_scan_act_include: arg = form, plus this flag when the files must exist.
#define MF_SCAN_INCLUDE_REQUIRED 0x100

// Rows shared by the dialects (arg: what each one reads from it).
int mf_scan_act_none(const char *text, int length, int arg);          // nothing
int mf_scan_act_bom(const char *text, int length, int arg);           // byte-order mark
int mf_scan_act_comment(const char *text, int length, int arg);       // rest of a comment line
int mf_scan_act_white_space(const char *text, int length, int arg);   // blanks
int mf_scan_act_continuation(const char *text, int length, int arg);  // backslash-newline
int mf_scan_act_unrecognized(const char *text, int length, int arg);  // reports the character
int mf_scan_act_file_name(const char *text, int length, int arg);     // FILE_NAME
int mf_scan_act_escaped_name(const char *text, int length, int arg);  // FILE_NAME with escape
int mf_scan_act_special(const char *text, int length, int arg);       // arg: its token
// arg: its token when the name stands before the colon of its line, else FILE_NAME.
int mf_scan_act_attr_special(const char *text, int length, int arg);
int mf_scan_act_definition(const char *text, int length, int arg);  // arg: operator; MACRO_DEF
int mf_scan_act_macro_ref(const char *text, int length, int arg);   // expanded, scanned again
int mf_scan_act_dollar_name(const char *text, int length, int arg);  // "$$@", "$$(", ...
int mf_scan_act_double_dollar(const char *text, int length, int arg);
int mf_scan_act_archive(const char *text, int length, int arg);    // ARCHIVE
int mf_scan_act_scoped(const char *text, int length, int arg);     // TGT_SCOPED
// Colons; arg 1: the rest of the line takes target-scoped definitions.
int mf_scan_act_colon(const char *text, int length, int arg);
int mf_scan_act_double_colon(const char *text, int length, int arg);
int mf_scan_act_semicolon(const char *text, int length, int arg);
int mf_scan_act_eol(const char *text, int length, int arg);
int mf_scan_act_back_quote(const char *text, int length, int arg);
// A TAB run: white space inside a line, before a definition where no script may follow, else
// the start of a script line.
int mf_scan_act_tab_run(const char *text, int length, int arg);
// vpath, export and unexport at the start of a line (arg: VPATH_SPEC, EXPORT_SPEC or
// UNEXPORT_SPEC), a script line when a TAB begins it where one may follow, else a name.
int mf_scan_act_line_start_directive(const char *text, int length, int arg);
// include directive at the line start (arg: form | MF_SCAN_INCLUDE_REQUIRED), else a file name.
int mf_scan_act_include(const char *text, int length, int arg);
