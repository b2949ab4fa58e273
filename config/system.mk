# System makefile of the sgismake, sgipmake and bsdnetr2 dialects, read before the user's
# makefiles when the system has none of its own: the macros and suffix rules for C, C++,
# assembler, yacc, lex and archive members.

# Build scripts run under the Bourne shell, whatever the user's login shell; sgipmake runs each
# whole script in one, which it can do for /bin/sh and /bin/csh.
SHELL = /bin/sh
AR = ar
ARFLAGS = rv
AS = as
ASFLAGS =
CC = cc
CFLAGS = -O
CPPFLAGS =
CXX = c++
CXXFLAGS = -O
LD = ld
LDFLAGS =
LDLIBS =
LEX = lex
LFLAGS =
YACC = yacc
YFLAGS =
RM = rm -f

.SUFFIXES: .o .c .cc .cpp .cxx .C .s .S .y .l .a .h .sh

.c.o:
	$(CC) $(CFLAGS) $(CPPFLAGS) -c -o $@ $<
.c:
	$(CC) $(CFLAGS) $(CPPFLAGS) $(LDFLAGS) -o $@ $< $(LDLIBS)
.cc.o:
	$(CXX) $(CXXFLAGS) $(CPPFLAGS) -c -o $@ $<
.cc:
	$(CXX) $(CXXFLAGS) $(CPPFLAGS) $(LDFLAGS) -o $@ $< $(LDLIBS)
.cpp.o:
	$(CXX) $(CXXFLAGS) $(CPPFLAGS) -c -o $@ $<
.cpp:
	$(CXX) $(CXXFLAGS) $(CPPFLAGS) $(LDFLAGS) -o $@ $< $(LDLIBS)
.cxx.o:
	$(CXX) $(CXXFLAGS) $(CPPFLAGS) -c -o $@ $<
.cxx:
	$(CXX) $(CXXFLAGS) $(CPPFLAGS) $(LDFLAGS) -o $@ $< $(LDLIBS)
.C.o:
	$(CXX) $(CXXFLAGS) $(CPPFLAGS) -c -o $@ $<
.C:
	$(CXX) $(CXXFLAGS) $(CPPFLAGS) $(LDFLAGS) -o $@ $< $(LDLIBS)
.s.o:
	$(AS) $(ASFLAGS) -o $@ $<
.S.o:
	$(CC) $(ASFLAGS) $(CPPFLAGS) -c -o $@ $<
.y.c:
	$(YACC) $(YFLAGS) $<
	mv y.tab.c $@
.y.o:
	$(YACC) $(YFLAGS) $<
	$(CC) $(CFLAGS) $(CPPFLAGS) -c -o $@ y.tab.c
	rm -f y.tab.c
.l.c:
	$(LEX) $(LFLAGS) $<
	mv lex.yy.c $@
.l.o:
	$(LEX) $(LFLAGS) $<
	$(CC) $(CFLAGS) $(CPPFLAGS) -c -o $@ lex.yy.c
	rm -f lex.yy.c
.c.a:
	$(CC) $(CFLAGS) $(CPPFLAGS) -c -o $*.o $<
	$(AR) $(ARFLAGS) $@ $*.o
	rm -f $*.o
.cc.a:
	$(CXX) $(CXXFLAGS) $(CPPFLAGS) -c -o $*.o $<
	$(AR) $(ARFLAGS) $@ $*.o
	rm -f $*.o
.s.a:
	$(AS) $(ASFLAGS) -o $*.o $<
	$(AR) $(ARFLAGS) $@ $*.o
	rm -f $*.o
.sh:
	cp $< $@
	chmod a+x $@
