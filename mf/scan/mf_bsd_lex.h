// The scanners of the BSD-style dialects: sgismake and sgipmake (mf_smake_, mf_smake_lex.l) and
// bsdnetr2 (mf_bsdmake_, mf_bsdmake_lex.l). Both have the same rules and actions; they differ in
// the include directive ("#include" against ".include") and in the form that the plain include
// rule hands to the reader. Conditional lines never reach them: the input layer evaluates them.
#pragma once

#include <cwchar>

#include "mf/scan/mf_scan.h"

// The tables generated from mf_smake_lex.l and mf_bsdmake_lex.l.
const mf_scan_tables_t &mf_smake_scan_tables();
const mf_scan_tables_t &mf_bsdmake_scan_tables();

// The next token of a sgismake or sgipmake makefile (258 to 304), or 0 at the end of the input.
int mf_smake_yylex(void);
// The next token of a bsdnetr2 makefile, or 0 at the end of the input.
int mf_bsdmake_yylex(void);

// Length in characters of each scanner's current match.
extern int mf_smake_yyleng;
extern int mf_bsdmake_yyleng;

// Start each scanner afresh on new input (empty buffer at a line start).
void mf_smake_yyrestart();
void mf_bsdmake_yyrestart();

// End-of-input hooks: no further input follows (included files are stacked by the input layer).
int mf_smake_yywrap(void);
int mf_bsdmake_yywrap(void);

// Fill shr_text with the multibyte form of wtext.
void mf_smake_yy_flex_wcs_to_shr_text(const wchar_t *wtext);
void mf_bsdmake_yy_flex_wcs_to_shr_text(const wchar_t *wtext);
