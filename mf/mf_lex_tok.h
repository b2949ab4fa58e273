// Token actions of the makefile scanners: line ends, colons, comments, names, macro references in
// names, back-quoted commands, archive members, special targets; script lines and include lines.
// Each action gets the scanner's matched text, may read further on the line, leaves the token's
// text in the value globals below and says by its result whether a token is ready.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ks/list.h"
#include "mf/bldr_macro.h"
#include "mf/mf_lex_utl.h"

// Value globals of the grammar's tokens (texts in the parse's storage area).
extern char *mf_file_name;          // FILE_NAME, ARCHIVE, SUFF_PATH_TGT, order-only separator
extern char *mf_special_tgt_name;   // the other special-target tokens
extern char *mf_script_line;        // SCRIPT_LINE
extern char *mf_vpath_pattern;      // VPATH_SPEC
extern list_handle_t mf_vpath_dir_list;

// The statement of a MACRO_DEF (left by macro-definition recognition).
extern bldr_macro_def_t mf_macro_definition;

// --- Line structure.
// 1 when the line end is significant (the scanner returns END_OF_LINE), else 0.
int mf_lex_eol(const char *text);
// The next line end is significant and no file-name list is being built.
void mf_lex_audible_newline();
void mf_lex_single_colon();
void mf_lex_double_colon();
// Called by the grammar when a file-name list begins.
void mf_lex_start_str_list();
void mf_lex_white_space();
void mf_lex_continuation_line();
// Consumes the rest of a comment line.
void mf_lex_comment();
void mf_lex_plus();
// Reports a character that no rule matches and marks the parse failed.
void mf_lex_output(const char *text);

// --- Names.
void mf_lex_file_name(const char *text);
void mf_lex_file_name_with_esc_char(const char *text);
// from: the match length in characters; converted to a byte offset of text.
int mf_lex_macro_file_name(const char *text, int from);
int mf_lex_double_dollar_file_name(const char *text);
int mf_lex_shell_cmd(const char *text, int from);
int mf_lex_archive(const char *text, int from);
// A scanner that can keep the name part in front of a reference in a name (the text before its
// "$") for its next match, instead of the part's going back to the input.
struct mf_lex_name_keeper_t {
  // Bytes at the front of the text that the scanner kept at the call before: the name part that
  // call left with it.
  size_t kept;
  // Keeps the first bytes of the text for the next match: 1 when kept.
  int (*keep)(size_t bytes);
};
// Expands the macro reference at the start of text (behind the name part in front of it) and
// pushes the expansion back (no token). With a keeper, the name part stays with the scanner
// where it can, and only the reference's expansion goes back.
void mf_lex_exp_mac_str(const char *text, const mf_lex_name_keeper_t *keeper = nullptr);
void mf_lex_enter_filename_context();
void mf_lex_exit_filename_context();
void mf_lex_set_mf_expanded_simply_expanded_macro(int flag);
int mf_lex_expanded_simply_expanded_macro();

// --- Special targets.
void mf_lex_special_tgt(const char *text);
// 1 when the name is a special target here, 0 when it stands as an ordinary name.
int mf_lex_attr_special_tgt(const char *text);
void mf_lex_all_path_tgt(const char *name);
void mf_lex_suff_path_tgt(const char *name, const char *suffix);
void mf_lex_vpath_dir(const char *text);

// --- Script lines and include lines.
// 1 when mf_script_line holds the script line, 0 when it is empty and no empty line is allowed.
int mf_lex_script_line(const char *text);
int mf_lex_script_line_expected_here();
void mf_lex_claim_script_line_expected_here(int flag);
// Between mf_lex_keep_script_lines(1) and mf_lex_keep_script_lines(0) (around one run of the
// grammar), script lines are held by the lexer instead of the parse's area, so that the lines
// of a rule can be released once the target table has copied them: mf_lex_release_script_lines
// frees every line but the latest (which may be the token the grammar looks ahead at). Ending
// frees them all and clears mf_script_line when it was one of them.
void mf_lex_keep_script_lines(int on);
void mf_lex_release_script_lines();
// A file name the grammar is done with (the target table has copied what it keeps): its storage
// in the parse's area holds a later name of at most its length. Only names the lexer made
// (mf_file_name) may be given back, each once.
void mf_lex_recycle_file_name(char *name);
// Forgets the names given back; called whenever the parse's area may go away.
void mf_lex_forget_recycled_file_names();
// Reads the rest of an include line and includes its file names; failures set mf_parser_failed.
void mf_lex_include(int required, int kind);
