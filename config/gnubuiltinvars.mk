# Builtin variables of the gnu dialects: read before the user's makefiles, even when builtin
# rules are switched off. The rules of gnubuiltin.mk are written with the compile and link
# commands below, so that a makefile can change one flag or one command for every rule. The
# flag variables (CFLAGS, CPPFLAGS, LDFLAGS, ...) are left undefined, as GNU make leaves them,
# so that a makefile's "?=" gives them its own default.

AR = ar
ARFLAGS = rv
AS = as
CC = cc
CPP = $(CC) -E
CXX = g++
LD = ld
LEX = lex
YACC = yacc
RM = rm -f
OUTPUT_OPTION = -o $@

COMPILE.c = $(CC) $(CFLAGS) $(CPPFLAGS) $(TARGET_ARCH) -c
LINK.c = $(CC) $(CFLAGS) $(CPPFLAGS) $(LDFLAGS) $(TARGET_ARCH)
COMPILE.cc = $(CXX) $(CXXFLAGS) $(CPPFLAGS) $(TARGET_ARCH) -c
LINK.cc = $(CXX) $(CXXFLAGS) $(CPPFLAGS) $(LDFLAGS) $(TARGET_ARCH)
COMPILE.C = $(COMPILE.cc)
LINK.C = $(LINK.cc)
COMPILE.cpp = $(COMPILE.cc)
LINK.cpp = $(LINK.cc)
COMPILE.s = $(AS) $(ASFLAGS) $(TARGET_MACH)
LINK.s = $(CC) $(ASFLAGS) $(LDFLAGS) $(TARGET_MACH)
COMPILE.S = $(CC) $(ASFLAGS) $(CPPFLAGS) $(TARGET_MACH) -c
LINK.S = $(CC) $(ASFLAGS) $(CPPFLAGS) $(LDFLAGS) $(TARGET_MACH)
PREPROCESS.S = $(CC) -E $(CPPFLAGS)
LINK.o = $(CC) $(LDFLAGS) $(TARGET_ARCH)
YACC.y = $(YACC) $(YFLAGS)
LEX.l = $(LEX) $(LFLAGS) -t
