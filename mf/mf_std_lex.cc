#include "mf/mf_yylex.h"

int mf_std_yylex(void) { return 0; }
