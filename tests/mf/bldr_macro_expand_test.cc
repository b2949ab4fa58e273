#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "capture_util.h"
#include "macro_fixture_util.h"
#include "mf/mf_flex.h"
#include "mf/mf_utl.h"

using mftest::Captured;
using mftest::expand;
using mftest::HooksReset;
using mftest::TableList;

namespace {

constexpr bldr_macro_flavor_t P = BLDR_MACRO_FLAVOR_PLAIN;
constexpr bldr_macro_flavor_t S = BLDR_MACRO_FLAVOR_SUN;
constexpr bldr_macro_flavor_t G = BLDR_MACRO_FLAVOR_GNU;

class Expansion : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = tables_.add(BLDR_MACRO_ORIGIN_FILE);
    env_ = tables_.add(BLDR_MACRO_ORIGIN_ENV);
    def("X", "xv");
    def(" X ", "blank");
    def("X:q", "colon-name");
    def("X:sh", "gnu-colon");
    def("SRC", "a.c b.h  x.c");
    def("CMD", "echo hi; echo there");
    def("DOTC", ".c");
    def("DOTO", ".o");
    def("R", "$(X)-r");
  }
  void def(const char *name, const char *value, uint32_t flags = 0) {
    bldr_macro_define(file_, name, value, flags);
  }
  list_handle_t list() { return tables_.list(); }

  HooksReset hooks_;
  TableList tables_;
  bldr_macro_table_t *file_ = nullptr;
  bldr_macro_table_t *env_ = nullptr;
};

TEST_F(Expansion, ReferenceFormsInEachFlavour) {
  struct Case {
    std::vector<bldr_macro_flavor_t> flavors;
    const char *text;
    ks_status_t status;
    const char *want;  // the text after the call (partly expanded on failure)
    const char *err;   // what is printed
  };
  const Case cases[] = {
      {{P, S, G}, "<$(X)|${X}|$Xy>", KS_ST_OK, "<xv|xv|xvy>", ""},
      {{P, S, G}, "a$$b $$(X)", KS_ST_OK, "a$b $(X)", ""},
      {{P, S, G}, "cost: 5$", KS_ST_OK, "cost: 5", ""},
      {{P}, "[$( X )]", KS_ST_OK, "[xv]", ""},
      {{S, G}, "[$( X )]", KS_ST_OK, "[blank]", ""},
      {{P, S}, "$(CMD:sh)|$(CMD:s)", KS_ST_OK, "hi there|hi there", ""},
      {{G}, "[$(X:sh)]", KS_ST_OK, "[gnu-colon]", ""},
      {{P, S, G}, "$(SRC:.c=.o)", KS_ST_OK, "a.o b.h  x.o", ""},
      {{P, S, G}, "$(SRC:$(DOTC)=$(DOTO))", KS_ST_OK, "a.o b.h  x.o", ""},
      {{P, S}, "$(SRC:%.c=%.o %.d)", KS_ST_OK, "a.o a.d b.h  x.o x.d", ""},
      {{G}, "$(SRC:%.c=%.o %.d)", KS_ST_OK, "a.o %.d b.h  x.o %.d", ""},
      {{P, S, G}, "$(SRC:%.c=\\%%.o)", KS_ST_OK, "%a.o b.h  %x.o", ""},
      {{P, G}, "$(X:q)", KS_ST_OK, "colon-name", ""},
      {{S}, "$(X) $(X:q) $(X)", KS_ST_ERR, "xv $(X:q) $(X)",
       "tool: Error: Malformed macro expansion: \"$(X:q)\"\n"},
      {{P, S, G}, "$(X) $(X", KS_ST_ERR, "xv $(X",
       "tool: Error: Macro expansion with no ending delimiter: \"$(X\"\n"},
      {{P, S, G}, "${X", KS_ST_ERR, "${X",
       "tool: Error: Macro expansion with no ending delimiter: \"${X\"\n"},
      {{P, S, G}, "$(R) $(UNDEF) $() end", KS_ST_OK, "xv-r   end", ""},
      {{P, S, G}, "$(X${DOTC)", KS_ST_ERR, "$(X${DOTC)",
       "tool: Error: Macro expansion with no ending delimiter: \"${DOTC)\"\n"
       "tool: Error: Macro expansion with no ending delimiter: \"${DOTC\"\n"},
  };
  for (const Case &c : cases) {
    for (bldr_macro_flavor_t f : c.flavors) {
      SCOPED_TRACE(std::string(c.text) + " flavour " + std::to_string(f));
      Captured cap;
      mftest::Expanded got = expand(list(), f, c.text);
      EXPECT_EQ(got.status, c.status);
      EXPECT_EQ(got.text, c.want);
      EXPECT_EQ(cap.err(), c.err);
    }
  }
}

TEST_F(Expansion, DoubleDollarIsKeptOnRequest) {
  bldr_macro_preserve_double_dollar = 1;
  EXPECT_EQ(expand(list(), P, "a$$b$(X)").text, "a$$bxv");
  bldr_macro_preserve_double_dollar = 0;

  // A text that as a whole is a makefile name standing for another file name keeps its "$$"
  // while its other references are still expanded.
  bldr_macro_hooks.unique_mfs_name = [](const char *text) {
    return std::strstr(text, "Outer$$Inner") != nullptr ? 1 : 0;
  };
  bldr_macro_have_double_dollar_tgts = 1;
  EXPECT_EQ(expand(list(), P, "$(X) Outer$$Inner.class").text, "xv Outer$$Inner.class");
  EXPECT_EQ(expand(list(), P, "$(X) a$$b").text, "xv a$b");
  bldr_macro_have_double_dollar_tgts = 0;
  EXPECT_EQ(expand(list(), P, "Outer$$Inner.class").text, "Outer$Inner.class");
}

TEST_F(Expansion, RecursiveZeroInsertsValuesAsDefined) {
  EXPECT_EQ(expand(list(), P, "$(R)", 0).text, "$(X)-r");
  EXPECT_EQ(expand(list(), P, "$(R)", 1).text, "xv-r");
  // A simply-expanded value is never expanded again.
  def("SIMPLE", "$(X)", 1);
  EXPECT_EQ(expand(list(), P, "$(SIMPLE)", 1).text, "$(X)");
  // A substitution expands a recursive value even with recursive 0.
  def("RS", "$(DOTC)");
  EXPECT_EQ(expand(list(), P, "$(RS:.c=.o)", 0).text, ".o");
}

TEST_F(Expansion, CircularDefinitionFailsAtTheDepthLimitAndLeavesTheCounterBalanced) {
  def("SELF", "x$(SELF)");
  def("A", "$(B)");
  def("B", "$(A)");
  {
    Captured cap;
    int32_t saved = mf_verbosity;
    mf_verbosity = 4;
    mftest::Expanded got = expand(list(), P, "$(SELF)");
    mf_verbosity = saved;
    EXPECT_EQ(got.status, KS_ST_ERR);
    std::string err = cap.err();
    EXPECT_NE(err.find("tool: Error: Circular definition for macro \"SELF\".\n"), std::string::npos);
    EXPECT_NE(err.find("Macro recurse depth is 1024\n"), std::string::npos);
    EXPECT_EQ(err.find("Macro recurse depth is 1025\n"), std::string::npos);
  }
  {
    Captured cap;
    EXPECT_EQ(expand(list(), P, "$(A)").status, KS_ST_ERR);
    EXPECT_EQ(cap.err(), "tool: Error: Circular definition for macro \"A\".\n");
  }
  // The depth is back at 0: a sound expansion succeeds, and a new outermost name is saved.
  EXPECT_EQ(expand(list(), P, "$(R)").text, "xv-r");
  Captured cap;
  EXPECT_EQ(expand(list(), P, "$(B)").status, KS_ST_ERR);
  EXPECT_EQ(cap.err(), "tool: Error: Circular definition for macro \"B\".\n");
}

// A chain of distinct macros deeper than the depth limit is no circular definition: it is
// reported as nested too deeply, under the macro it starts from.
TEST_F(Expansion, ChainDeeperThanTheLimitIsReportedAsTooDeep) {
  for (int i = 0; i < 1100; i++)
    def(("M" + std::to_string(i)).c_str(), ("$(M" + std::to_string(i + 1) + ")").c_str());
  def("M1100", "end");
  {
    Captured cap;
    EXPECT_EQ(expand(list(), P, "$(M0)").status, KS_ST_ERR);
    EXPECT_EQ(cap.err(), "tool: Error: Macros nested more than 1024 levels deep under macro \"M0\".\n");
  }
  EXPECT_EQ(expand(list(), P, "$(M100)").text, "end");
}

TEST_F(Expansion, VariablesListsEveryNameOfTheListInOrder) {
  bldr_macro_define(env_, "X", "env", 0);
  bldr_macro_define(env_, "HOME", "/h", 0);
  bldr_macro_table_t *scope = tables_.add(BLDR_MACRO_ORIGIN_GNU_SCOPE);
  bldr_macro_define(scope, "HIDDEN", "1", 0);
  EXPECT_EQ(expand(list(), G, "$(.VARIABLES)").text,
            "X  X  X:q X:sh SRC CMD DOTC DOTO R X HOME");
}

TEST_F(Expansion, GnuMakeflagsCarriesTheCommandLineVariables) {
  struct Case {
    const char *makeflags;
    bldr_macro_flavor_t flavor;
    const char *obsolete;
    const char *want;
  };
  const Case cases[] = {
      {"k", G, nullptr, "k -- A=1"},
      {"", G, nullptr, "A=1"},
      {"k", P, nullptr, "k"},
      {"k", G, "1", "k"},
  };
  bldr_macro_define(env_, "ORVA_CMDL_VARS", "A=1", 0);
  for (const Case &c : cases) {
    mftest::ScopedEnv obsolete("ORVA_MAKEFLAGS_V6_OBSOLETE", c.obsolete);
    def("MAKEFLAGS", c.makeflags);
    EXPECT_EQ(expand(list(), c.flavor, "$(MAKEFLAGS)").text, c.want) << c.makeflags;
  }
}

TEST_F(Expansion, BindingsRecordTheReferencesOfTheTextItself) {
  stg_area_t area = stg_create_area(512);
  list_handle_t bindings = list_create(area, 0);
  mftest::Expanded got =
      expand(list(), P, "$(R) $(UNDEF) $$ $(SRC:.c=.o) $() $(.VARIABLES:%=)", 1, bindings, area);
  EXPECT_EQ(got.status, KS_ST_OK);
  std::vector<std::string> seen;
  void *d = nullptr;
  for (list_cursor_t c = list_next(bindings, nullptr, &d); c; c = list_next(bindings, c, &d)) {
    seen.push_back(static_cast<char *>(d));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"R=xv-r", "UNDEF=", "SRC=a.c b.h  x.c"}));
  stg_delete_area(&area);
}

TEST_F(Expansion, WarningsForUndefinedAndEmptySpecialMacros) {
  Captured cap;
  EXPECT_EQ(expand(list(), P, "$(NOPE)").text, "");  // switch off: silent
  bldr_macro_hooks.warn_undef_set = [] { return uint32_t(1); };
  EXPECT_EQ(expand(list(), G, "$(NOPE)$(SHELL)").text, "");  // SHELL only behind the gate
  int32_t saved = mf_verbosity;
  mf_verbosity = 1;
  expand(list(), G, "$(SHELL)$(VPATH)$(@)$(@D)");
  expand(list(), G, "$(VPATH)");  // VPATH was seen empty: no second warning
  mf_verbosity = saved;
  EXPECT_EQ(cap.err(),
            "tool: Warning: undefined variable `NOPE'.\n"
            "tool: Warning: undefined variable `SHELL'.\n"
            "tool: Warning: undefined variable `VPATH'.\n"
            "tool: Warning: undefined variable `@'.\n"
            "tool: Warning: Null definition for special macro \"@\".\n"
            "tool: Warning: undefined variable `@D'.\n");
}

TEST_F(Expansion, FunctionCallsGoThroughTheHook) {
  bldr_macro_hooks.efunc_lookup = [](const char *name, size_t len,
                                     uint32_t *flag) -> const bldr_macro_efunc_row_t * {
    if (flag) *flag = 1;
    if (std::string(name, len) == "upper" || std::string(name, len) == "fail") {
      return reinterpret_cast<const bldr_macro_efunc_row_t *>(name);
    }
    return nullptr;
  };
  bldr_macro_hooks.efunc_apply = [](const bldr_macro_efunc_row_t *row, const char *args,
                                    list_handle_t, bldr_macro_flavor_t, char **result) {
    if (std::strncmp(reinterpret_cast<const char *>(row), "fail", 4) == 0) return KS_ST_ERR;
    std::string up(args);
    std::transform(up.begin(), up.end(), up.begin(), [](unsigned char c) { return std::toupper(c); });
    mf_flex_append_str(result, up.c_str());
    return KS_ST_OK;
  };
  def("upper a", "macro");
  EXPECT_EQ(expand(list(), G, "[$(upper   a $(X),b)]").text, "[A $(X),B]");
  EXPECT_EQ(expand(list(), G, "[$(uppers a)]").text, "[]");
  EXPECT_EQ(expand(list(), P, "[$(upper a)]").text, "[macro]");
  bldr_macro_hooks.java_audits = [] { return int32_t(1); };
  EXPECT_EQ(expand(list(), P, "[$(upper a)]").text, "[A]");
  EXPECT_EQ(expand(list(), G, "$(X) $(fail x) $(X)").status, KS_ST_ERR);
}

TEST(MacroDialects, BsdDialectsGoToTheBsdEngine) {
  HooksReset hooks;
  TableList t;
  bldr_macro_define(t.add(BLDR_MACRO_ORIGIN_FILE), "V", "v", 0);
  stg_area_t area = stg_create_area(256);
  // Null hooks stand for the library's own engine.
  for (uint32_t dialect : {1u, 4u, 5u}) {
    char *out = nullptr;
    EXPECT_EQ(bldr_macutl_expand_line_list(dialect, t.list(), 0, "${V:S/v/w/}", 1, area, &out,
                                           LIST_HANDLE_NULL, STG_AREA_NULL),
              KS_ST_OK);
    EXPECT_STREQ(out, "w") << dialect;
    EXPECT_EQ(bldr_macutl_find_in_str(dialect, t.list(), "a ${V:R} b", "V"), 0);
  }
  // With an engine installed its heap result is copied into the caller's area.
  bldr_macro_hooks.bsd_expand_line = [](list_handle_t, const char *line, uint32_t mode, uint32_t,
                                        char **result, list_handle_t, stg_area_t, uint32_t) {
    *result = stg_strdup((std::string(line) + " mode " + std::to_string(mode)).c_str());
    return KS_ST_OK;
  };
  struct Case {
    uint32_t dialect, flag;
    const char *want;
  };
  for (Case c : {Case{1, 0, "${V} mode 0"}, Case{5, 1, "${V} mode 0"}, Case{4, 0, "${V} mode 1"},
                 Case{4, 1, "${V} mode 2"}, Case{0, 0, "v"}, Case{3, 0, "v"}, Case{7, 0, "v"}}) {
    char *out = nullptr;
    ASSERT_EQ(bldr_macutl_expand_line_list(c.dialect, t.list(), c.flag, "${V}", 1, area, &out,
                                           LIST_HANDLE_NULL, STG_AREA_NULL),
              KS_ST_OK);
    EXPECT_STREQ(out, c.want) << c.dialect;
  }
  stg_delete_area(&area);
}

TEST(MacroReferences, FindAndPreparse) {
  HooksReset hooks;
  struct Find {
    bldr_macro_flavor_t flavor;
    const char *text, *name;
    int want;
  };
  const Find finds[] = {
      {P, "a $(B) $(NAME) c", "NAME", 0},
      {P, "a $( NAME ) c", "NAME", 0},
      {S, "a $( NAME ) c", "NAME", 1},
      {P, "$(NAME:.c=.o)", "NAME", 0},
      {P, "$(NAME:x)", "NAME:x", 0},
      {P, "$N", "N", 0},
      {P, "$$(NAME)", "NAME", 1},
      {P, "$(OTHER) plain NAME", "NAME", 1},
      {P, "$(NAME", "NAME", 2},
      {S, "$(NAME:x)", "NAME", 2},
  };
  for (const Find &f : finds) {
    Captured cap;
    EXPECT_EQ(bldr_macro_find_in_str(f.flavor, f.text, f.name), f.want) << f.text;
  }
  struct Pre {
    bldr_macro_flavor_t flavor;
    const char *text;
    ks_status_t status;
    size_t index;
  };
  const Pre pres[] = {
      {P, "ab$(C)d", KS_ST_OK, 5}, {P, "ab${C}", KS_ST_OK, 5}, {P, "a$Cd", KS_ST_OK, 2},
      {P, "abc$", KS_ST_OK, 3},    {P, "abc", KS_ST_ERR, 0},   {P, "", KS_ST_ERR, 0},
      {P, "a$(C", KS_ST_ERR, 0},   {S, "$(C:x)", KS_ST_ERR, 0},
  };
  for (const Pre &p : pres) {
    Captured cap;
    size_t index = 0;
    EXPECT_EQ(bldr_macro_preparse_macro_reference(p.flavor, p.text, &index), p.status) << p.text;
    if (p.status == KS_ST_OK) {
      EXPECT_EQ(index, p.index) << p.text;
    }
  }
  size_t off = 0;
  EXPECT_EQ(bldr_macro_find_tag("a$(b,c),d", 0, 9, "$,", &off), 1);
  EXPECT_EQ(off, 7u);
  EXPECT_EQ(bldr_macro_find_tag("a$,b", 0, 4, "$,", &off), 0);
}

TEST(MacroExpansionMemory, LongExpansionsMoveToTheHeapAndBack) {
  HooksReset hooks;
  TableList t;
  bldr_macro_table_t *tab = t.add(BLDR_MACRO_ORIGIN_FILE);
  bldr_macro_define(tab, "W", std::string(300, 'w').c_str(), 0);
  stg_area_t area = stg_create_area(64);
  char *out = nullptr;
  ASSERT_EQ(bldr_macro_expand_line_list(t.list(), P, "$(W)$(W)$(W)", 1, area, &out,
                                        LIST_HANDLE_NULL, STG_AREA_NULL),
            KS_ST_OK);
  EXPECT_EQ(std::string(out), std::string(900, 'w'));
  stg_delete_area(&area);
}

}  // namespace
