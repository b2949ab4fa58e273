# Builtin variables of the sun dialect: read before the user's makefiles, even when builtin rules
# are switched off. The rules of sunbuiltin.mk are written with the compile and link commands
# below, so that a makefile can change one flag or one command for every rule.

AR = ar
ARFLAGS = rv
AS = as
ASFLAGS =
CC = cc
CFLAGS = -O
CPPFLAGS =
CCC = c++
CXX = $(CCC)
CXXFLAGS = -O
CCFLAGS = $(CXXFLAGS)
LD = ld
LDFLAGS =
LDLIBS =
LEX = lex
LFLAGS =
YACC = yacc
YFLAGS =
RM = rm -f
OUTPUT_OPTION = -o $@

COMPILE.c = $(CC) $(CFLAGS) $(CPPFLAGS) -c
LINK.c = $(CC) $(CFLAGS) $(CPPFLAGS) $(LDFLAGS)
COMPILE.cc = $(CCC) $(CCFLAGS) $(CPPFLAGS) -c
LINK.cc = $(CCC) $(CCFLAGS) $(CPPFLAGS) $(LDFLAGS)
COMPILE.s = $(AS) $(ASFLAGS)
COMPILE.S = $(CC) $(ASFLAGS) $(CPPFLAGS) -c
YACC.y = $(YACC) $(YFLAGS)
LEX.l = $(LEX) $(LFLAGS) -t
