// Scanner dispatch: the grammar's token function hands each request to the scanner of the
// current dialect.
#pragma once

#include <cstdio>

// The scanners' output stream, set to standard output before every token request.
extern FILE *yyout;

// The next token of the current dialect's scanner (258 to 304, 0 at the end of the input). An
// invalid compatibility variant is reported and ends the program.
int mf_yylex(void);

// Starts every dialect scanner afresh (empty buffer at a line start), each when it next matches;
// called before each parse.
void mf_yyrestart_all();

// Writes one character to yyout.
void yyoutput(int c);

// The scanners of the dialects.
int mf_std_yylex(void);
int mf_smake_yylex(void);
int mf_gmake_yylex(void);
int mf_sunmake_yylex(void);
int mf_bsdmake_yylex(void);
int mf_keltomake_yylex(void);
void mf_std_yyrestart();
void mf_smake_yyrestart();
void mf_gmake_yyrestart();
void mf_sunmake_yyrestart();
void mf_bsdmake_yyrestart();
void mf_keltomake_yyrestart();
