#include <stdio.h>

#include "greet.h"

void greet(const char *who) { printf("hello, %s\n", who); }
