// The kelto dialect scanner: the rules of mf_keltomake_lex.l over the wide-character runtime.
#pragma once

#include "mf/scan/mf_scan.h"

// The kelto scanner's tables, generated from mf_keltomake_lex.l.
const mf_scan_tables_t &mf_keltomake_scan_tables();

// The next token of the kelto dialect (258 to 304), or 0 at the end of the input.
int mf_keltomake_yylex(void);

// Length in characters of the current match.
extern int mf_keltomake_yyleng;

// Starts the scanner afresh on new input (empty buffer at a line start).
void mf_keltomake_yyrestart();

// End-of-input hook: no further input follows (included files are stacked by the input layer).
int mf_keltomake_yywrap(void);
