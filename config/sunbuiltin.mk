# Builtin rules of the sun dialect, read after sunvars.mk unless builtin rules are switched off:
# suffix rules for C, C++, assembler, yacc, lex and archive members.

.SUFFIXES: .o .c .cc .cpp .C .s .S .y .l .a .h .sh

.c.o:
	$(COMPILE.c) $(OUTPUT_OPTION) $<
.c:
	$(LINK.c) -o $@ $< $(LDLIBS)
.cc.o:
	$(COMPILE.cc) $(OUTPUT_OPTION) $<
.cc:
	$(LINK.cc) -o $@ $< $(LDLIBS)
.cpp.o:
	$(COMPILE.cc) $(OUTPUT_OPTION) $<
.cpp:
	$(LINK.cc) -o $@ $< $(LDLIBS)
.C.o:
	$(COMPILE.cc) $(OUTPUT_OPTION) $<
.C:
	$(LINK.cc) -o $@ $< $(LDLIBS)
.s.o:
	$(COMPILE.s) -o $@ $<
.S.o:
	$(COMPILE.S) -o $@ $<
.y.c:
	$(YACC.y) $<
	mv y.tab.c $@
.y.o:
	$(YACC.y) $<
	$(COMPILE.c) -o $@ y.tab.c
	$(RM) y.tab.c
.l.c:
	$(RM) $@
	$(LEX.l) $< > $@
.l.o:
	$(RM) $*.c
	$(LEX.l) $< > $*.c
	$(COMPILE.c) -o $@ $*.c
	$(RM) $*.c
.c.a:
	$(COMPILE.c) -o $% $<
	$(AR) $(ARFLAGS) $@ $%
	$(RM) $%
.cc.a:
	$(COMPILE.cc) -o $% $<
	$(AR) $(ARFLAGS) $@ $%
	$(RM) $%
.s.a:
	$(COMPILE.s) -o $% $<
	$(AR) $(ARFLAGS) $@ $%
	$(RM) $%
.sh:
	$(RM) $@
	cat $< > $@
	chmod +x $@
