// The gnu dialect scanner (gnu and pgnu makefiles): the rules of mf_gmake_lex.l over the
// wide-character runtime.
#pragma once

#include "mf/scan/mf_scan.h"

// The gnu scanner's tables, generated from mf_gmake_lex.l.
const mf_scan_tables_t &mf_gmake_scan_tables();

// The next token of the gnu dialects (258 to 304), or 0 at the end of the input.
int mf_gmake_yylex(void);

// Length in characters of the current match.
extern int mf_gmake_yyleng;

// Starts the scanner afresh on new input (empty buffer at a line start).
void mf_gmake_yyrestart();

// End-of-input hook: no further input follows (included files are stacked by the input layer).
int mf_gmake_yywrap(void);
