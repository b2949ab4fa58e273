// The std dialect scanner: the rules of mf_std_lex.l over the wide-character runtime.
#pragma once

#include <cwchar>

#include "mf/scan/mf_scan.h"

// The std scanner's tables, generated from mf_std_lex.l.
const mf_scan_tables_t &mf_std_scan_tables();

// The next token of the std dialect (258 to 304), or 0 at the end of the input.
int mf_std_yylex(void);

// Length in characters of the current match.
extern int mf_std_yyleng;

// Starts the scanner afresh on new input (empty buffer at a line start).
void mf_std_yyrestart();

// End-of-input hook: no further input follows (included files are stacked by the input layer).
int mf_std_yywrap(void);

// Fills shr_text with the multibyte form of wtext.
void mf_std_yy_flex_wcs_to_shr_text(const wchar_t *wtext);
