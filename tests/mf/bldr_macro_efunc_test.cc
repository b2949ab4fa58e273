#include "mf/bldr_macro_efunc.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture_util.h"
#include "ks/pfm.h"
#include "macro_fixture_util.h"
#include "mf/mf_flex.h"
#include "mf/mf_io.h"
#include "mf/mf_utl.h"

using mftest::Captured;
using mftest::expand;
using mftest::HooksReset;
using mftest::TableList;

namespace {

constexpr bldr_macro_flavor_t P = BLDR_MACRO_FLAVOR_PLAIN;
constexpr bldr_macro_flavor_t S = BLDR_MACRO_FLAVOR_SUN;
constexpr bldr_macro_flavor_t G = BLDR_MACRO_FLAVOR_GNU;

// Tables of every origin kind, each with one macro of its own, and the makefile macros the cases
// use.
class Functions : public ::testing::Test {
 protected:
  void SetUp() override {
    mftest::use_expansion_functions();
    static const bldr_macro_origin_t kinds[] = {
        BLDR_MACRO_ORIGIN_OVERRIDE,     BLDR_MACRO_ORIGIN_CMD_LINE, BLDR_MACRO_ORIGIN_FILE,
        BLDR_MACRO_ORIGIN_ENV_OVERRIDE, BLDR_MACRO_ORIGIN_ENV,      BLDR_MACRO_ORIGIN_DEFAULT,
        BLDR_MACRO_ORIGIN_AUTOMATIC,    BLDR_MACRO_ORIGIN_GNU_SCOPE};
    for (bldr_macro_origin_t k : kinds) {
      bldr_macro_table_t *t = tables_.add(k);
      if (k == BLDR_MACRO_ORIGIN_FILE) file_ = t;
      bldr_macro_define(t, ("KIND" + std::to_string(k)).c_str(), "v", 0);
    }
    def("X", "xv");
    def("EMPTY", "");
    def("SPACE", " ");
    def("COMMA", ",");
    def("TWO", "2");
    def("SRCS", "a.c b.h c.o");
    def("PATS", "%.c b%");
    def("F", "$(1)-$(2)");
    def("G", "$(call F,$(1))");
    def("ZERO", "$(0)");
    def("ORIG", "$(origin 1)|$(origin 0)");
    def("V", "outer");
    def("REC", "$(X)!");
    def("words a b", "plain macro");
  }
  void def(const char *name, const char *value) { bldr_macro_define(file_, name, value, 0); }
  list_handle_t list() { return tables_.list(); }

  HooksReset hooks_;
  TableList tables_;
  bldr_macro_table_t *file_ = nullptr;
};

struct Case {
  const char *text;
  ks_status_t status;
  const char *want;  // checked on success
  const char *err;   // everything printed on the error stream
};

void run_cases(list_handle_t tables, bldr_macro_flavor_t flavor, const std::vector<Case> &cases) {
  for (const Case &c : cases) {
    Captured cap;
    mftest::Expanded e = expand(tables, flavor, c.text);
    EXPECT_EQ(e.status, c.status) << c.text;
    if (c.status == KS_ST_OK) {
      EXPECT_EQ(e.text, c.want) << c.text;
    }
    EXPECT_EQ(cap.err(), c.err) << c.text;
  }
}

TEST_F(Functions, WordAndTextFunctions) {
  run_cases(
      list(), G,
      {
          // filter and filter-out: "%" patterns, exact words, duplicates kept, one text argument
          {"$(filter %.c b%,a.c b.h c.o)", 0, "a.c b.h", ""},
          {"$(filter $(PATS),$(SRCS))", 0, "a.c b.h", ""},
          {"$(filter-out %.c,a.c b.h)", 0, "b.h", ""},
          {"$(filter ab%ba,aba)", 0, "", ""},
          {"$(filter %,x  y)", 0, "x y", ""},
          {"$(filter a,a b a)", 0, "a a", ""},
          {"$(filter a)", 0, "", ""},
          {"$(filter %c,b,c)", 0, "b,c", ""},
          {"$(filter-out a%,ab b)", 0, "b", ""},
          // word counts and picks
          {"$(words )", 0, "0", ""},
          {"$(words a  b)", 0, "2", ""},
          {"$(words a,b c)", 0, "2", ""},
          {"$(firstword  x y)", 0, "x", ""},
          {"$(firstword )", 0, "", ""},
          {"$(strip  a  b\tc )", 0, "a b c", ""},
          {"$(strip a, b)", 0, "a, b", ""},
          {"$(word 2,a b c)", 0, "b", ""},
          {"$(word $(TWO),a b c)", 0, "b", ""},
          {"$(word 0,a b c)", 0, "", ""},
          {"$(word 4,a b c)", 0, "", ""},
          {"$(word -1,a b c)", 0, "", ""},
          {"$(word 2)", 0, "", ""},
          {"$(word x,a b)", KS_ST_ERR, "",
           "tool: Error: Non-numeric first argument to \"word\" function: x.\n"},
          {"$(word x)", KS_ST_ERR, "",
           "tool: Error: Non-numeric first argument to \"word\" function: x.\n"},
          {"$(wordlist 2,3,a b c d)", 0, "b c", ""},
          {"$(wordlist 3,2,a b c d)", 0, "b c", ""},
          {"$(wordlist 0,2,a b)", 0, "", ""},
          {"$(wordlist -1,2,a b c)", 0, "a b", ""},
          {"$(wordlist 2,9,a b c)", 0, "b c", ""},
          {"$(wordlist 1,2,a,b c)", 0, "a,b c", ""},
          {"$(wordlist 1,2)", KS_ST_ERR, "",
           "tool: Error: Insufficient arguments to function \"wordlist\".\n"},
          {"$(wordlist 1,y,a)", KS_ST_ERR, "",
           "tool: Error: Non-numeric second argument to \"wordlist\" function: y.\n"},
          // sort, join, prefixes
          {"$(sort b a b c a)", 0, "a b c", ""},
          {"$(sort a _ B)", 0, "B _ a", ""},
          {"$(sort )", 0, "", ""},
          {"$(join a b c,1 2)", 0, "a1 b2 c", ""},
          {"$(join a,1 2 3)", 0, "a1 2 3", ""},
          {"$(join  a   b )", 0, "a b", ""},
          {"$(addprefix p ,a b)", 0, "p a p b", ""},
          {"$(addprefix p,  a  b )", 0, "pa pb", ""},
          {"$(addsuffix .o,a b)", 0, "a.o b.o", ""},
          {"$(addprefix p)", 0, "", ""},
          // searching and replacing
          {"$(findstring b c,a b c d)", 0, "b c", ""},
          {"$(findstring x,abc)", 0, "", ""},
          {"$(subst ,X,abc)", 0, "abcX", ""},
          {"$(subst a,aa,aXa)", 0, "aaXaa", ""},
          {"$(subst ee,E,eeeee)", 0, "EEe", ""},
          {"$(subst a,,banana)", 0, "bnn", ""},
          {"$(subst a, b ,xay)", 0, "x b y", ""},
          {"$(subst $(COMMA),;,a$(COMMA)b)", 0, "a;b", ""},
          {"$(subst a,b)", 0, "", ""},
          {"$(patsubst %.c,%.o,x.c y.h)", 0, "x.o y.h", ""},
          {"$(patsubst %.c,%.o,$(SRCS))", 0, "a.o b.h c.o", ""},
          {"$(patsubst ,x,a b)", 0, "a b", ""},
          // file names
          {"$(dir a/b c)", 0, "a/ ./", ""},
          {"$(dir /x a/ /)", 0, "/ a/ /", ""},
          {"$(notdir a/ b/c)", 0, "c", ""},
          {"$(notdir x /y)", 0, "x y", ""},
          {"$(basename a.c b/d.e/f x.y.z)", 0, "a b/d.e/f x.y", ""},
          {"$(suffix a.c b d.h)", 0, ".c  .h", ""},
          // names that are no function
          {"[$(filte a)][$(filters a)][$(Words a)]", 0, "[][][]", ""},
      });
}

TEST_F(Functions, ControlAndMacroFunctions) {
  run_cases(
      list(), G,
      {
          {"$(if ,a,b)", 0, "b", ""},
          {"$(if x,a)", 0, "a", ""},
          {"$(if ,a)", 0, "", ""},
          {"$(if x, a, b)", 0, " a", ""},
          {"$(if $(SPACE),a,b)", 0, "a", ""},
          {"$(if $(EMPTY) ,a,b)", 0, "b", ""},
          {"$(if $(COMMA),a,b)", 0, "a", ""},
          {"$(if a,(b,c),d)", 0, "(b", ""},
          {"$(if $(EMPTY),$(error not taken),else)", 0, "else", ""},
          {"$(if x)", KS_ST_ERR, "", "tool: Error: Insufficient arguments to function \"if\".\n"},
          {"$(if )", KS_ST_ERR, "", "tool: Error: Insufficient arguments to function \"if\".\n"},
          {"$(and a,b,c)", 0, "c", ""},
          {"$(and a,,c)", 0, "", ""},
          {"$(and a,b,)", 0, "", ""},
          {"$(and ,$(error not reached))", 0, "", ""},
          {"$(and )", 0, "", ""},
          {"$(and a, $(X) )", 0, "xv", ""},
          {"$(or ,,c)", 0, "c", ""},
          {"$(or , ,)", 0, "", ""},
          {"$(or a,$(error not reached))", 0, "a", ""},
          {"$(or $(EMPTY),$(X))", 0, "xv", ""},
          {"$(foreach v,a b,[$(v)])", 0, "[a] [b]", ""},
          {"$(foreach V,a b,$(V))-$(V)", 0, "a b-outer", ""},
          {"$(foreach x ,a b,<$(x)>)", 0, "<> <>", ""},
          {"$(foreach v,,[$(v)])", 0, "", ""},
          {"$(foreach v,a b)", 0, "", ""},
          {"$(foreach v,a,$(origin v))", 0, "automatic", ""},
          {"$(call F,x,y)", 0, "x-y", ""},
          {"$(call F,x)", 0, "x-", ""},
          {"$(call F,a$(COMMA)b,c)", 0, "a,b-c", ""},
          {"$(call F,$$(X),y)", 0, "$(X)-y", ""},
          {"$(call words,a b c)", 0, "3", ""},
          {"$(call G,p,q)", 0, "p-", ""},
          {"$(call ZERO,x)", 0, "ZERO", ""},
          {"$(call ORIG,x)", 0, "|", ""},
          {"$(call NOPE,x)", 0, "", ""},
          {"$(value F)", 0, "$(1)-$(2)", ""},
          {"$(value NOPE)", 0, "", ""},
          {"$(value )", 0, "", ""},
          {"$(origin MAKEFLAGS)", 0, "file", ""},
          {"$(origin )", 0, "undefined", ""},
          {"$(origin NOPE)", 0, "undefined", ""},
          {"$(origin X)", 0, "file", ""},
          {"$(eval )", 0, "", ""},
      });
}

TEST_F(Functions, OriginNamesEveryKind) {
  const std::pair<bldr_macro_origin_t, const char *> cases[] = {
      {BLDR_MACRO_ORIGIN_DEFAULT, "default"},
      {BLDR_MACRO_ORIGIN_ENV, "environment"},
      {BLDR_MACRO_ORIGIN_ENV_OVERRIDE, "environment override"},
      {BLDR_MACRO_ORIGIN_FILE, "file"},
      {BLDR_MACRO_ORIGIN_CMD_LINE, "command line"},
      {BLDR_MACRO_ORIGIN_OVERRIDE, "override"},
      {BLDR_MACRO_ORIGIN_AUTOMATIC, "automatic"},
      {BLDR_MACRO_ORIGIN_GNU_SCOPE, ""},
  };
  for (const auto &[kind, word] : cases) {
    std::string text = "$(origin KIND" + std::to_string(kind) + ")";
    mftest::Expanded e = expand(list(), G, text);
    EXPECT_EQ(e.status, KS_ST_OK) << text;
    EXPECT_EQ(e.text, word) << text;
  }
}

TEST_F(Functions, OtherFlavoursReadAFunctionNameAsAMacroName) {
  const Case macro_cases[] = {
      {"[$(words a b)]", 0, "[plain macro]", ""},
      {"[$(words c)][$(strip  x )]", 0, "[][]", ""},
  };
  for (bldr_macro_flavor_t flavor : {P, S}) {
    run_cases(list(), flavor, {macro_cases[0], macro_cases[1]});
  }
  run_cases(list(), G, {{"[$(words a b)]", 0, "[2]", ""}});
  // No function acts in those flavours: each call is an undefined macro, nothing is printed,
  // run or raised.
  for (const bldr_macro_efunc_row_t *row = bldr_macro_efunc_table; row->name != nullptr; row++) {
    std::string text = std::string("[$(") + row->name + " x,y)]";
    for (bldr_macro_flavor_t flavor : {P, S}) {
      Captured cap;
      ks_status_t raised = pfm_catch([&] {
        mftest::Expanded e = expand(list(), flavor, text);
        EXPECT_EQ(e.status, KS_ST_OK) << text;
        EXPECT_EQ(e.text, "[]") << text;
      });
      EXPECT_EQ(raised, KS_ST_OK) << text;
      EXPECT_EQ(cap.out() + cap.err(), "") << text;
    }
  }
  // While Java audits are on, every flavour calls the functions.
  bldr_macro_hooks.java_audits = [] { return int32_t(1); };
  for (bldr_macro_flavor_t flavor : {P, S}) {
    run_cases(list(), flavor, {{"[$(words a b)][$(strip  x )]", 0, "[2][x]", ""}});
  }
}

TEST_F(Functions, ShellRunsTheCommandAndIgnoresItsStatus) {
  run_cases(list(), G,
            {
                {"$(shell echo a; echo b)", 0, "a b", ""},
                {"[$(shell echo x; exit 3)]", 0, "[x]", ""},
                {"[$(shell )]", 0, "[]", ""},
                {"$(shell echo $(X))", 0, "xv", ""},
            });
}

TEST_F(Functions, ShellHandsTheWholeTextToTheChosenShell) {
  // A "shell" that shows the arguments it was given, one per line.
  char dir[] = "/tmp/efunc_shell_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string script = std::string(dir) + "/args";
  FILE *f = std::fopen(script.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("#!/bin/sh\nfor a; do printf '[%s]\\n' \"$a\"; done\n", f);
  std::fclose(f);
  chmod(script.c_str(), 0755);
  def("SHELL", script.c_str());
  def("CONT1", "x\\\n\tyz");
  def("CONT2", "x\\\n\t z");
  run_cases(list(), G,
            {
                {"$(shell echo \"x y\")", 0, "[-c] [echo \"x y\"]", ""},
                {"$(shell a;b|c&d<e>f(g){h}*?[i]^`'#)", 0, "[-c] [a;b|c&d<e>f(g){h}*?[i]^`'#]", ""},
                {"$(shell echo '$$HOME' \\x)", 0, "[-c] [echo '$HOME' \\x]", ""},
                {"$(shell $(CONT1))", 0, "[-c] [x yz]", ""},
                {"$(shell $(CONT2))", 0, "[-c] [x z]", ""},
            });
  std::remove(script.c_str());
  rmdir(dir);
}

TEST_F(Functions, MessageFunctions) {
  {
    Captured cap;
    mftest::Expanded e = expand(list(), G, "<$(info hello $(X))><$(warning careful)>");
    EXPECT_EQ(e.status, KS_ST_OK);
    EXPECT_EQ(e.text, "<><>");
    // Outside makefile reading there is no file name; the line is the input layer's idle one.
    EXPECT_EQ(cap.out(), "hello xv\n:" + std::to_string(mf_io_spos_line()) + ":careful\n");
    EXPECT_EQ(cap.err(), "");
  }
  {
    Captured cap;
    EXPECT_EQ(expand(list(), G, "$(info )$(warning )").text, "");
    EXPECT_EQ(cap.out(), "");
  }
}

TEST_F(Functions, ErrorRaisesTwoThroughEveryFrame) {
  const struct {
    const char *text;
    const char *message;
  } cases[] = {
      {"a $(error boom $(X)) b", "boom xv"},
      {"$(error )", ""},
      // Raised from inside nested calls, each holding tables and work strings of its own.
      {"$(foreach v,a b,$(call F,$(if x,$(error stop $(v)))))", "stop a"},
  };
  for (const auto &c : cases) {
    Captured cap;
    ks_status_t raised = pfm_catch([&] { expand(list(), G, c.text); });
    EXPECT_EQ(raised, 2) << c.text;
    EXPECT_EQ(cap.err(),
              "tool: Error: :" + std::to_string(mf_io_spos_line()) + ":" + c.message + "\n")
        << c.text;
  }
}

// A raised $(error) leaves the nesting depth as it found it: a later circular definition is
// still reported under the macro it starts from.
TEST_F(Functions, ErrorLeavesTheNestingDepthBehind) {
  def("SELF", "$(SELF)");
  {
    Captured cap;
    EXPECT_EQ(pfm_catch([&] { expand(list(), G, "$(X) $(foreach v,a,$(error stop))"); }), 2);
  }
  Captured cap;
  EXPECT_EQ(expand(list(), G, "$(SELF)").status, KS_ST_ERR);
  EXPECT_NE(cap.err().find("Circular definition for macro \"SELF\""), std::string::npos)
      << cap.err();
}

TEST_F(Functions, EvalOutsideMakefileReadingFails) {
  Captured cap;
  mftest::Expanded e = expand(list(), G, "$(eval Y = $(X))");
  EXPECT_EQ(e.status, KS_ST_ERR);
  EXPECT_EQ(cap.err(),
            "tool: Error: $(eval) can be used only while makefiles are read: \"Y = xv\"\n");
  EXPECT_EQ(bldr_macro_lookup(list(), "Y", nullptr), nullptr);
}

TEST_F(Functions, ArgumentFailuresFailTheCall) {
  run_cases(list(), G,
            {
                {"$(strip $(X)", KS_ST_ERR, "",
                 "tool: Error: Macro expansion with no ending delimiter: \"$(strip $(X)\"\n"},
                {"$(words $(word x,a))", KS_ST_ERR, "",
                 "tool: Error: Non-numeric first argument to \"word\" function: x.\n"},
                {"$(foreach v,a,$(word y,a))", KS_ST_ERR, "",
                 "tool: Error: Non-numeric first argument to \"word\" function: y.\n"},
                {"$(call F,$(if q))", KS_ST_ERR, "",
                 "tool: Error: Insufficient arguments to function \"if\".\n"},
            });
}

TEST(FunctionTable, LookupIsExact) {
  uint32_t flag = 7;
  const bldr_macro_efunc_row_t *row = bldr_macro_efunc_lookup("words", 5, &flag);
  ASSERT_NE(row, nullptr);
  EXPECT_STREQ(row->name, "words");
  EXPECT_EQ(flag, 1u);
  // The name is given by length: "wordsX" cut at 4 is "word".
  row = bldr_macro_efunc_lookup("wordsX", 4, nullptr);
  ASSERT_NE(row, nullptr);
  EXPECT_STREQ(row->name, "word");
  for (const char *name : {"filte", "filters", "Filter", "", "else"}) {
    EXPECT_EQ(bldr_macro_efunc_lookup(name, std::strlen(name), nullptr), nullptr) << name;
  }
  for (const char *name : {"shell", "javaclasses", "eval"}) {
    flag = 7;
    ASSERT_NE(bldr_macro_efunc_lookup(name, std::strlen(name), &flag), nullptr) << name;
    EXPECT_EQ(flag, 0u) << name;
  }
  size_t rows = 0;
  for (const bldr_macro_efunc_row_t *r = bldr_macro_efunc_table; r->name != nullptr; r++) {
    EXPECT_EQ(std::strlen(r->name), r->name_len) << r->name;
    EXPECT_EQ(bldr_macro_efunc_lookup(r->name, r->name_len, nullptr), r) << r->name;
    rows++;
  }
  EXPECT_EQ(rows, 32u);
}

TEST(FunctionTable, ArgumentSplitting) {
  const struct {
    const char *text;
    uint32_t max;
    std::vector<std::string> want;
  } cases[] = {
      {"", 3, {}},
      {"a,", 3, {"a", ""}},
      {"a, b", 3, {"a", " b"}},
      {"a,b,c", 2, {"a", "b,c"}},
      {"a,b c", 1, {"a,b c"}},
      {"1,2,a,b c", 3, {"1", "2", "a,b c"}},
      {"$(x,y),${p,q},z", 3, {"$(x,y)", "${p,q}", "z"}},
      {"a,(b,c),d", 3, {"a", "(b", "c),d"}},
      {"$,x,y", 3, {"$,x", "y"}},
      {",,", 3, {"", "", ""}},
  };
  for (const auto &c : cases) {
    stg_area_t area = stg_create_area(256);
    char *argv[4] = {};
    int32_t argc = -1;
    EXPECT_EQ(bldr_macro_efunc_parse_arglist(c.text, c.max, area, &argc, argv), KS_ST_OK);
    std::vector<std::string> got(argv, argv + argc);
    EXPECT_EQ(got, c.want) << c.text;
    stg_delete_area(&area);
  }
}

TEST(FunctionTable, WordsToList) {
  stg_area_t area = stg_create_area(256);
  mf_flex_buffer_t buf;
  char *s = mf_flex_start(&buf);
  ASSERT_TRUE(mf_flex_append_str(&s, " a\tb  c\nd "));
  list_handle_t words = bldr_macro_efunc_parse_words_to_list(s, area);
  ASSERT_NE(words, LIST_HANDLE_NULL);
  std::vector<std::string> got;
  void *d = nullptr;
  for (list_cursor_t c = list_next(words, nullptr, &d); c != nullptr; c = list_next(words, c, &d)) {
    got.push_back(static_cast<const char *>(d));
  }
  EXPECT_EQ(got, (std::vector<std::string>{"a", "b", "c\nd"}));
  stg_delete_area(&area);
}

}  // namespace

namespace {

TEST_F(Functions, TracesFollowTheCalls) {
  const struct {
    const char *text;
    std::vector<const char *> lines;  // each found in the trace output, in this order
  } cases[] = {
      {"$(if ,a,b)",
       {"Function $(if) entered - condition: \"\", then : \"a\", else : \"b\"\n",
        "condition \"\" evaluated to false\n", "Function $(if ) done - result: \"b\"\n"}},
      {"$(if x)", {"then : \"<null>\", else : \"<null>\"\n", "Function $(if x) returning error\n"}},
      {"$(or ,c)",
       {"Function $(or) entered - args : \",c\"\n", "Function $(or) done - result : \"c\"\n"}},
      {"$(call F,x)",
       {"Function $(call F) entered - args: \"x\"\n", "Function name resolved to \"F\"\n",
        "No builtin function found by name \"F\". Created the macro \"$(F)\" for expansion\n",
        "Function $(call F) done - result: \"x-\"\n"}},
      {"$(call words,a b)",
       {"Found a builtin function by name \"words\". Created the macro \"$(words a b)\" for "
        "expansion\n"}},
      {"$(value F)",
       {"GNU $(value()):Argument is F.\n", "GNU $(value()):lookup:returned $(1)-$(2)\n",
        "GNU $(value()):Done.\n"}},
  };
  for (const auto &c : cases) {
    Captured cap;
    int32_t saved = mf_verbosity;
    mf_verbosity = 4;
    expand(list(), G, c.text);
    mf_verbosity = saved;
    std::string err = cap.err();
    size_t at = 0;
    for (const char *line : c.lines) {
      size_t found = err.find(line, at);
      EXPECT_NE(found, std::string::npos) << c.text << ": " << line << "\nin:\n" << err;
      if (found != std::string::npos) at = found;
    }
  }
}

}  // namespace
