# Builtin rules of the gnu dialects, read after gnubuiltinvars.mk unless builtin rules are
# switched off: pattern rules for C, C++, assembler, yacc and lex, and suffix rules that
# put compiled members into archives.

.SUFFIXES: .out .a .o .c .cc .cpp .C .s .S .y .l .h .sh

%.o: %.c
	$(COMPILE.c) $(OUTPUT_OPTION) $<
%: %.c
	$(LINK.c) $^ $(LDLIBS) -o $@
%.o: %.cc
	$(COMPILE.cc) $(OUTPUT_OPTION) $<
%: %.cc
	$(LINK.cc) $^ $(LDLIBS) -o $@
%.o: %.cpp
	$(COMPILE.cpp) $(OUTPUT_OPTION) $<
%: %.cpp
	$(LINK.cpp) $^ $(LDLIBS) -o $@
%.o: %.C
	$(COMPILE.cc) $(OUTPUT_OPTION) $<
%: %.C
	$(LINK.cc) $^ $(LDLIBS) -o $@
%.o: %.s
	$(COMPILE.s) -o $@ $<
%.o: %.S
	$(COMPILE.S) -o $@ $<
%: %.o
	$(LINK.o) $^ $(LDLIBS) -o $@
%.c: %.y
	$(YACC.y) $<
	mv -f y.tab.c $@
%.c: %.l
	@$(RM) $@
	$(LEX.l) $< > $@
%: %.sh
	cat $< > $@
	chmod a+x $@
.c.a:
	$(COMPILE.c) -o $*.o $<
	$(AR) $(ARFLAGS) $@ $*.o
	$(RM) $*.o
.cc.a:
	$(COMPILE.cc) -o $*.o $<
	$(AR) $(ARFLAGS) $@ $*.o
	$(RM) $*.o
.s.a:
	$(COMPILE.s) -o $*.o $<
	$(AR) $(ARFLAGS) $@ $*.o
	$(RM) $*.o
