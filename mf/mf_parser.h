// The makefile grammar: mf_yyparse and its token numbers (258 to 304).
#pragma once

#include "mf/mf_parser_gram.h"

// Parses the current makefile input: 0 when it was accepted, 1 after a syntax error, 2 when the
// parser's stacks would exceed their limit. Semantic failures set mf_parser_failed instead.
int mf_yyparse(void);

// Prints a syntax error at the scanner's position with message as its continuation; returns 0.
int mf_yyerror(const char *message);

// The grammar's name of a token number ("FILE_NAME"), or "?" for a number outside 258..304;
// "end of input" for 0.
const char *mf_parser_token_name(int token);
