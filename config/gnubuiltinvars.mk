# Builtin variables of the gnu dialects: read before the user's makefiles, even when builtin
# rules are switched off. The rules of gnubuiltin.mk are written with the compile and link
# commands below, so that a makefile can change one flag or one command for every rule.

AR = ar
ARFLAGS = rv
AS = as
ASFLAGS =
CC = cc
CFLAGS =
CPPFLAGS =
CXX = g++
CXXFLAGS =
LD = ld
LDFLAGS =
LDLIBS =
LEX = lex
LFLAGS =
YACC = yacc
YFLAGS =
RM = rm -f
OUTPUT_OPTION = -o $@
TARGET_ARCH =

COMPILE.c = $(CC) $(CFLAGS) $(CPPFLAGS) $(TARGET_ARCH) -c
LINK.c = $(CC) $(CFLAGS) $(CPPFLAGS) $(LDFLAGS) $(TARGET_ARCH)
COMPILE.cc = $(CXX) $(CXXFLAGS) $(CPPFLAGS) $(TARGET_ARCH) -c
LINK.cc = $(CXX) $(CXXFLAGS) $(CPPFLAGS) $(LDFLAGS) $(TARGET_ARCH)
COMPILE.cpp = $(COMPILE.cc)
LINK.cpp = $(LINK.cc)
COMPILE.s = $(AS) $(ASFLAGS) $(TARGET_ARCH)
COMPILE.S = $(CC) $(ASFLAGS) $(CPPFLAGS) $(TARGET_ARCH) -c
LINK.o = $(CC) $(LDFLAGS) $(TARGET_ARCH)
YACC.y = $(YACC) $(YFLAGS)
LEX.l = $(LEX) $(LFLAGS) -t
