// The parse pipeline: BOS phase, makefile phase, the macro-table list and the walk of the parsed
// makefile.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "capture_util.h"
#include "ks/pfm.h"
#include "mf/bldr_opts.h"
#include "mf/mf_parser.h"
#include "mf/scan/mf_std_lex.h"
#include "mf/mf_tgt.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "mf_io_util.h"
#include "pipeline/pipeline_util.h"

// The gnu dialect's scanner is not in the library yet: the std scanner stands in for it, so that
// a gnu parse runs the pipeline's own steps.
int mf_gmake_yylex(void) { return mf_std_yylex(); }

using mftest::Captured;
using mftest::ScopedEnv;
using mftest::ScratchDir;
using pltest::Cmf;
using pltest::Strings;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

constexpr uint32_t kCmd = BLDR_MACRO_ORIGIN_CMD_LINE;
constexpr uint32_t kFile = BLDR_MACRO_ORIGIN_FILE;
constexpr uint32_t kEnv = BLDR_MACRO_ORIGIN_ENV;
constexpr uint32_t kDefault = BLDR_MACRO_ORIGIN_DEFAULT;
constexpr uint32_t kOverride = BLDR_MACRO_ORIGIN_OVERRIDE;

// The flags inherited from a parent make, cleared for the length of a test.
struct NoInheritedFlags {
  ScopedEnv a{"ORVA_MAKEFLAGS", nullptr};
  ScopedEnv b{"MAKEFLAGS", nullptr};
  ScopedEnv c{"ORVA_IGNORE_ORVA_MAKEFLAGS", nullptr};
  ScopedEnv d{"MAKELEVEL", nullptr};
  ScopedEnv e{"MAKECMDGOALS", nullptr};
};

ks_status_t parse_mf(const std::vector<std::string> &mfs, const std::vector<std::string> &defs,
                     uint32_t variant, Cmf *cmf, int32_t level = 0, const char *make = "tolvick") {
  Strings m(mfs), d(defs);
  return mfc_parse_mf(m.get(), d.get(), make, level, LIST_HANDLE_NULL, LIST_HANDLE_NULL, nullptr,
                      variant, &cmf->h);
}

TEST(ParsePipeline, MacroTableOrder) {
  struct {
    const char *makeflags;
    bool bos_phase;
    std::vector<uint32_t> kinds;
    const char *var;  // VAR is "env" in the environment and "mf" in the makefile
  } cases[] = {
      {"", false, {kCmd, kFile, kFile, kEnv, kDefault}, "mf"},
      {"e", false, {kCmd, kFile, kEnv, kFile, kDefault}, "env"},
      {"", true, {kCmd, kFile, kFile, kEnv, kDefault}, "mf"},
      {"-k --environment-overrides", true, {kCmd, kFile, kEnv, kFile, kDefault}, "env"},
      // Without builtin makefiles there is no defaults table.
      {"r", false, {kCmd, kFile, kFile, kEnv}, "mf"},
  };
  for (const auto &c : cases) {
    NoInheritedFlags clean;
    ScopedEnv flags("MAKEFLAGS", c.makeflags);
    ScopedEnv var("VAR", "env");
    ScratchDir dir;
    dir.write("Makefile", "VAR = mf\nall:\n");
    Captured cap;
    Cmf cmf;
    if (c.bos_phase) {
      Strings mfs({"Makefile"});
      ASSERT_EQ(mfc_parse_bos(mfs.get(), LIST_HANDLE_NULL, LIST_HANDLE_NULL, 1, 0, &cmf.h),
                KS_ST_OK);
      EXPECT_THAT(pltest::kinds(cmf.h->macro_table_list), ElementsAre(kCmd, kFile, kEnv));
    }
    ASSERT_EQ(parse_mf({"Makefile"}, {}, 0, &cmf), KS_ST_OK) << cap.err();
    EXPECT_EQ(pltest::kinds(cmf.h->macro_table_list), c.kinds) << c.makeflags;
    EXPECT_EQ(pltest::lookup(cmf.h->macro_table_list, "VAR"), c.var) << c.makeflags;
    EXPECT_EQ(mfc_mf_macro_table_list, LIST_HANDLE_NULL);
    EXPECT_EQ(mfc_parse_op_rec_p, nullptr);
  }
}

TEST(ParsePipeline, GnuTablesAndMacros) {
  NoInheritedFlags clean;
  ScopedEnv goals("MAKECMDGOALS", "all");
  ScratchDir dir;
  dir.write("Makefile", "all:\n");
  Captured cap;
  Cmf cmf;
  ASSERT_EQ(parse_mf({"Makefile"}, {"X=a", "X+=b"}, MF_COMPAT_GNU, &cmf, 0, "/bin/gmk"), KS_ST_OK)
      << cap.err();
  list_handle_t l = cmf.h->macro_table_list;
  EXPECT_THAT(pltest::kinds(l), ElementsAre(kOverride, kCmd, kFile, kFile, kEnv, kDefault));
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  struct {
    const char *name;
    std::string value;
    uint32_t origin;
  } expect[] = {
      {"MAKE", "/bin/gmk", kDefault},
      {"MAKELEVEL", "0", kEnv},
      {"MAKECMDGOALS", "all", kEnv},
      {".LIBPATTERNS", "lib%.so lib%.a", kEnv},
      {"CURDIR", cwd, kFile},
      {"X", "a b", kCmd},
      {"MAKEARGS", " \"X=a\" \"X+=b\"", kCmd},
      {"ORVA_MAKE_COMPAT", "gnu", kCmd},
      {"ZELVANE_MAKE_COMPAT", "gnu", kCmd},
  };
  for (const auto &e : expect) {
    EXPECT_EQ(pltest::lookup(l, e.name), e.value) << e.name;
    EXPECT_EQ(bldr_macro_origin(l, e.name), e.origin) << e.name;
  }
}

TEST(ParsePipeline, InheritedMakeLevelIsNotRedefined) {
  NoInheritedFlags clean;
  ScratchDir dir;
  dir.write("Makefile", "all:\n");
  Captured cap;
  Cmf cmf;
  ASSERT_EQ(parse_mf({"Makefile"}, {"MAKELEVEL=3"}, MF_COMPAT_GNU, &cmf, 3), KS_ST_OK) << cap.err();
  EXPECT_EQ(pltest::lookup(cmf.h->macro_table_list, "MAKELEVEL"), "3");
  EXPECT_EQ(bldr_macro_origin(cmf.h->macro_table_list, "MAKELEVEL"), kCmd);
}

TEST(ParsePipeline, StdMacros) {
  struct {
    std::vector<std::string> defs;
    const char *makeargs;
    const char *x;
  } cases[] = {
      {{}, "", "<undefined>"},
      {{"X=1", "Y=a b"}, " \"X=1\" \"Y=a b\"", "1"},
      // In std an earlier command-line definition wins over a later one.
      {{"X=1", "X=2"}, " \"X=1\" \"X=2\"", "2"},
  };
  for (const auto &c : cases) {
    NoInheritedFlags clean;
    ScratchDir dir;
    dir.write("Makefile", "X = mf\nall:\n");
    Captured cap;
    Cmf cmf;
    ASSERT_EQ(parse_mf({"Makefile"}, c.defs, MF_COMPAT_STD, &cmf), KS_ST_OK) << cap.err();
    list_handle_t l = cmf.h->macro_table_list;
    EXPECT_EQ(pltest::lookup(l, "MAKEARGS"), c.makeargs);
    EXPECT_EQ(pltest::lookup(l, "MAKE"), "tolvick");
    EXPECT_EQ(bldr_macro_origin(l, "MAKE"), kFile);
    EXPECT_EQ(pltest::lookup(l, "ZELVANE_MAKE_COMPAT"), "std");
    EXPECT_EQ(pltest::lookup(l, "ORVA_MAKE_COMPAT"), "std");
    EXPECT_EQ(pltest::lookup(l, "CURDIR"), "<undefined>");
    EXPECT_EQ(pltest::lookup(l, "MAKELEVEL"), "<undefined>");
    if (!c.defs.empty()) {
      EXPECT_EQ(pltest::lookup(l, "X"), c.x);
    }
    bldr_opts_export_state_t st = 9;
    EXPECT_TRUE(bldr_opts_get_export_state(cmf.h->opts, "MAKEARGS", &st));
    EXPECT_EQ(st, BLDR_OPTS_EXPORTED);
  }
}

TEST(ParsePipeline, NoTargetDescriptionFile) {
  NoInheritedFlags clean;
  ScopedEnv no_builtins("MAKEFLAGS", "r");
  ScratchDir dir;
  Captured cap;
  Cmf cmf;
  EXPECT_EQ(parse_mf({}, {}, MF_COMPAT_STD, &cmf), KS_ST_ERR);
  EXPECT_EQ(cmf.h, nullptr);
  EXPECT_THAT(cap.err(), HasSubstr("No target description file\n"));
  // After a BOS phase the parsed makefile stays the caller's, whole.
  Strings none({});
  ASSERT_EQ(mfc_parse_bos(none.get(), LIST_HANDLE_NULL, LIST_HANDLE_NULL, 1, 0, &cmf.h), KS_ST_OK);
  mf_cmf_handle_t bos = cmf.h;
  EXPECT_EQ(parse_mf({}, {}, MF_COMPAT_STD, &cmf), KS_ST_ERR);
  EXPECT_EQ(cmf.h, bos);
  EXPECT_EQ(mfc_mf_macro_table_list, LIST_HANDLE_NULL);
}

TEST(ParsePipeline, DefaultMakefileWhenNoneIsNamed) {
  NoInheritedFlags clean;
  ScopedEnv no_builtins("MAKEFLAGS", "r");
  ScratchDir dir;
  dir.write("Makefile", "DEFAULT_READ = yes\nall:\n");
  Captured cap;
  Cmf cmf;
  ASSERT_EQ(parse_mf({}, {}, MF_COMPAT_STD, &cmf), KS_ST_OK) << cap.err();
  EXPECT_EQ(pltest::lookup(cmf.h->macro_table_list, "DEFAULT_READ"), "yes");
}

TEST(ParsePipeline, UnreadableOrMalformedMakefileFails) {
  struct {
    const char *text;  // null: the makefile does not exist
    const char *message;
  } cases[] = {
      {nullptr, "Makefile"},
      {"all: a\n: b\n", "Empty target list"},
      {"all: a\n\tx\n = y\n", "syntax error"},
  };
  for (const auto &c : cases) {
    NoInheritedFlags clean;
    ScratchDir dir;
    if (c.text != nullptr) dir.write("Makefile", c.text);
    Captured cap;
    Cmf cmf;
    EXPECT_EQ(parse_mf({"Makefile"}, {}, MF_COMPAT_STD, &cmf), KS_ST_ERR);
    EXPECT_EQ(cmf.h, nullptr);
    EXPECT_THAT(cap.err(), HasSubstr(c.message));
    EXPECT_EQ(mfc_parse_op_rec_p, nullptr);
    EXPECT_EQ(mfc_mf_stg_area, STG_AREA_NULL);
  }
}

// A makefile that includes itself: the nesting error ends the parse, and the rules read again at
// every level (the same script each time) draw no warnings.
TEST(ParsePipeline, SelfIncludeEndsAtTheNestingError) {
  for (uint32_t variant : {MF_COMPAT_STD, MF_COMPAT_GNU}) {
    NoInheritedFlags clean;
    ScratchDir dir;
    dir.write("Makefile", "all:\n\techo hi\ninclude Makefile\nafter: ; echo after\n");
    Captured cap;
    Cmf cmf;
    ks_status_t status = KS_ST_OK;
    const ks_status_t raised =
        pfm_catch([&] { status = parse_mf({"Makefile"}, {}, variant, &cmf); });
    EXPECT_EQ(raised, KS_ST_ERR);  // the parse ends at once, like $(error)
    EXPECT_EQ(cmf.h, nullptr);
    EXPECT_EQ(cap.err(),
              "tool: Error: File \"Makefile\", line 3\n"
              "Include files nested too deeply. Maximum is 200: \"Makefile\"\n")
        << variant;
    EXPECT_EQ(mfc_parse_op_rec_p, nullptr);
    EXPECT_EQ(mfc_mf_stg_area, STG_AREA_NULL);
  }
}

TEST(ParsePipeline, BosSpecsMacrosAndDefaultBosFiles) {
  NoInheritedFlags clean;
  ScratchDir dir;
  dir.write("one.bos", "ONE = 1\n");
  dir.write("two.bos", "TWO = 2\n");
  dir.write("x.mk", "all:\n");
  dir.write("x.mk.options", "MINE = yes\n");
  Captured cap;
  {
    Cmf cmf;
    Strings mfs({"x.mk"});
    Strings bos({"one.bos", "two.bos"});
    ASSERT_EQ(mfc_parse_bos(mfs.get(), bos.get(), LIST_HANDLE_NULL, 1, 0, &cmf.h), KS_ST_OK)
        << cap.err();
    const std::string specs = dir.path() + "/one.bos:" + dir.path() + "/two.bos:";
    bldr_macro_table_t *cmd = pltest::table_at(cmf.h->macro_table_list, 0);
    EXPECT_EQ(pltest::lookup_in(cmd, "ORVA_OPTS_SPECS"), specs);
    EXPECT_EQ(pltest::lookup_in(cmd, "ZELVANE_BLD_OPTIONS_SPECS"), specs);
    bldr_macro_table_t *bos_table = pltest::table_at(cmf.h->macro_table_list, 1);
    EXPECT_EQ(pltest::lookup_in(bos_table, "TWO"), "2");
    EXPECT_EQ(pltest::lookup_in(bos_table, "MINE"), "<undefined>");  // -N
    ASSERT_EQ(parse_mf({"x.mk"}, {}, 0, &cmf), KS_ST_OK) << cap.err();
    // The BOS-phase command-line table is replaced; the BOS definitions stay.
    EXPECT_EQ(pltest::lookup(cmf.h->macro_table_list, "ORVA_OPTS_SPECS"), "<undefined>");
    EXPECT_EQ(pltest::lookup(cmf.h->macro_table_list, "ONE"), "1");
  }
  {
    Cmf cmf;
    Strings mfs({"x.mk"});
    ASSERT_EQ(mfc_parse_bos(mfs.get(), LIST_HANDLE_NULL, LIST_HANDLE_NULL, 0, 0, &cmf.h), KS_ST_OK)
        << cap.err();
    EXPECT_EQ(pltest::lookup_in(pltest::table_at(cmf.h->macro_table_list, 1), "MINE"), "yes");
  }
}

TEST(ParsePipeline, LongBosListKeptWhole) {
  NoInheritedFlags clean;
  ScratchDir dir;
  std::vector<std::string> names;
  std::string expected;
  for (int i = 0; i < 40; ++i) {
    std::string name = std::string(200, 'b') + std::to_string(i) + ".bos";
    dir.write(name, "");
    names.push_back(name);
    expected += dir.path() + "/" + name + ":";
  }
  ASSERT_GT(expected.size(), 8192u);
  Captured cap;
  Cmf cmf;
  Strings bos(names);
  ASSERT_EQ(mfc_parse_bos(LIST_HANDLE_NULL, bos.get(), LIST_HANDLE_NULL, 1, 0, &cmf.h), KS_ST_OK)
      << cap.err();
  EXPECT_EQ(pltest::lookup_in(pltest::table_at(cmf.h->macro_table_list, 0), "ORVA_OPTS_SPECS"),
            expected);
}

TEST(ParsePipeline, BosFlagsReachTheParsedMakefile) {
  NoInheritedFlags clean;
  ScratchDir dir;
  dir.write("f.bos", ".NOTPARALLEL:\n.SIBLINGS_AFFECT_REUSE:\n");
  dir.write("Makefile", "all:\n");
  Captured cap;
  Cmf cmf;
  Strings bos({"f.bos"});
  ASSERT_EQ(mfc_parse_bos(LIST_HANDLE_NULL, bos.get(), LIST_HANDLE_NULL, 1, 0, &cmf.h), KS_ST_OK);
  ASSERT_EQ(parse_mf({"Makefile"}, {}, 0, &cmf), KS_ST_OK) << cap.err();
  EXPECT_EQ(cmf.h->not_parallel, 1u);
  EXPECT_EQ(cmf.h->siblings_affect_reuse, 1u);
  EXPECT_EQ(cmf.h->makefiles_affect_reuse, 0u);
  EXPECT_EQ(bos_file_parse_op_rec_p, nullptr);
}

// Walks every name of an iterator into a vector.
template <class Next>
std::vector<std::string> walk(Next next) {
  std::vector<std::string> names;
  list_cursor_t cursor = nullptr;
  do {
    char buf[64];
    EXPECT_EQ(next(&cursor, sizeof buf, buf), KS_ST_OK);
    if (cursor == nullptr) {
      EXPECT_STREQ(buf, "");
    } else {
      names.emplace_back(buf);
    }
  } while (cursor != nullptr && names.size() < 100);
  return names;
}

TEST(ParsePipeline, StdMakefileEndToEnd) {
  NoInheritedFlags clean;
  ScopedEnv no_builtins("MAKEFLAGS", "r");
  Captured cap;
  Cmf cmf;
  Strings mfs({pltest::fixture("prog.mk")});
  ASSERT_EQ(mfc_parse_bos(mfs.get(), LIST_HANDLE_NULL, LIST_HANDLE_NULL, 1, 0, &cmf.h), KS_ST_OK);
  EXPECT_EQ(cmf.h->tgt_table, nullptr);
  mfc_set_compat_variant_post_bos(MF_COMPAT_STD, cmf.h);
  ASSERT_EQ(parse_mf({pltest::fixture("prog.mk")}, {"CC=gcc"}, 0, &cmf), KS_ST_OK) << cap.err();
  mf_cmf_handle_t h = cmf.h;
  ASSERT_NE(h->tgt_table, nullptr);
  EXPECT_THAT(pltest::strings(h->makefiles_list), testing::Contains(pltest::fixture("prog.mk")));

  EXPECT_THAT(walk([&](list_cursor_t *c, size_t n, char *b) {
                return mfc_cmf_next_default_goal_tgt(h, c, n, b);
              }),
              ElementsAre("all"));
  EXPECT_THAT(
      walk([&](list_cursor_t *c, size_t n, char *b) { return mfc_cmf_next_root_tgt(h, c, n, b); }),
      ElementsAre("all", "clean"));

  mf_tgt_entry_t *prog = nullptr;
  ASSERT_EQ(mfc_cmf_get_tgt_h(h, "prog", &prog), KS_ST_OK);
  list_cursor_t inst = nullptr;
  ASSERT_EQ(mfc_cmf_next_tgt_rule(h, prog, &inst), KS_ST_OK);
  ASSERT_NE(inst, nullptr);
  EXPECT_THAT(walk([&](list_cursor_t *c, size_t n, char *b) {
                return mfc_cmf_tgt_rule_next_dep(h, prog, inst, c, n, b);
              }),
              ElementsAre("main.o", "util.o"));
  char script[128];
  ASSERT_EQ(mfc_cmf_tgt_rule_script(h, prog, inst, sizeof script, script), KS_ST_OK);
  EXPECT_STREQ(script, "$(CC) -o prog $(OBJS)\n@echo built prog\n");
  // Exactly too small: the final NUL does not fit.
  const size_t exact = std::string(script).size();
  EXPECT_EQ(mfc_cmf_tgt_rule_script(h, prog, inst, exact, script), KS_ST_ERR);
  EXPECT_EQ(mfc_cmf_tgt_rule_script(h, prog, inst, 0, script), KS_ST_ERR);
  EXPECT_THAT(cap.err(), HasSubstr("buffer"));
  ASSERT_EQ(mfc_cmf_next_tgt_rule(h, prog, &inst), KS_ST_OK);
  EXPECT_EQ(inst, nullptr);

  mf_tgt_entry_t *clean_tgt = nullptr;
  ASSERT_EQ(mfc_cmf_get_tgt_h(h, "clean", &clean_tgt), KS_ST_OK);
  int multiple = 0;
  EXPECT_EQ(mfc_cmf_multiple_inst_tgt(h, clean_tgt, &multiple), KS_ST_OK);
  EXPECT_EQ(multiple, 1);
  std::vector<std::string> scripts;
  for (list_cursor_t i = nullptr;
       mfc_cmf_next_tgt_rule(h, clean_tgt, &i) == KS_ST_OK && i != nullptr;) {
    char buf[64];
    ASSERT_EQ(mfc_cmf_tgt_rule_script(h, clean_tgt, i, sizeof buf, buf), KS_ST_OK);
    scripts.emplace_back(buf);
  }
  EXPECT_THAT(scripts, ElementsAre("rm -f prog\n", "rm -f $(OBJS)\n"));

  mf_tgt_entry_t *none = reinterpret_cast<mf_tgt_entry_t *>(1);
  EXPECT_EQ(mfc_cmf_get_tgt_h(h, "main.c", &none), KS_ST_NOT_FOUND);
  EXPECT_EQ(none, nullptr);

  list_handle_t suffixes = LIST_HANDLE_NULL;
  ASSERT_EQ(mfc_cmf_get_special_h(h, ".SUFFIXES", &suffixes), KS_ST_OK);
  EXPECT_THAT(walk([&](list_cursor_t *c, size_t n, char *b) {
                return mfc_cmf_next_special_value(suffixes, c, n, b);
              }),
              ElementsAre(".c", ".o"));
  EXPECT_EQ(mfc_cmf_get_special_h(h, ".PRECIOUS", &suffixes), KS_ST_ERR);

  std::vector<std::string> implicit;
  hash_cursor_t hc = nullptr;
  for (;;) {
    char buf[64];
    mf_tgt_entry_t *e = nullptr;
    ASSERT_EQ(mfc_cmf_next_implicit_tgt(h, &hc, buf, sizeof buf, &e), 0);
    if (e == nullptr) break;
    implicit.emplace_back(buf);
  }
  EXPECT_THAT(implicit, testing::Contains(".c.o"));

  char *expanded = nullptr;
  size_t size = 0;
  ASSERT_EQ(mfc_cmf_macro_expand_str(h, "$(CC) $(OBJS)", &size, &expanded), KS_ST_OK);
  EXPECT_STREQ(expanded, "gcc main.o util.o");
  EXPECT_EQ(size, std::string("gcc main.o util.o").size() + 1);
  stg_free(expanded);
  EXPECT_EQ(mfc_mf_macro_table_list, LIST_HANDLE_NULL);
  EXPECT_EQ(mfc_curr_opts_handle, BLDR_OPTS_HANDLE_NULL);

  list_handle_t tables = LIST_HANDLE_NULL;
  ASSERT_EQ(mfc_cmf_macro_table(h, &tables), KS_ST_OK);
  std::vector<std::string> mf_names;
  hash_cursor_t mc = nullptr;
  do {
    char name[64];
    if (mfc_cmf_get_next_macro(pltest::table_at(tables, 2), &mc, sizeof name, name) != nullptr)
      mf_names.emplace_back(name);
  } while (mc != nullptr);
  EXPECT_THAT(mf_names, testing::IsSupersetOf({"CC", "OBJS", "MAKEFILE", "MAKE"}));
}

TEST(ParsePipeline, NamesOfEarlierRulesDoNotShowInLaterOnes) {
  // The storage of a rule's names is used again for the names of the rules after it: names of
  // many lengths in turn, a name twice in one rule, rules that add to an earlier target, and a
  // target that an earlier rule named as a dependency.
  NoInheritedFlags clean;
  ScopedEnv no_builtins("MAKEFLAGS", "r");
  ScratchDir dir;
  auto name = [](const char *kind, int i) {
    return std::string(kind) + std::to_string(i) + std::string(size_t(i * 7 % 40), char('a' + i % 26));
  };
  std::string text;
  std::map<std::string, std::vector<std::string>> expected;
  for (int i = 0; i < 300; i++) {
    const std::string target = name("target_", i), dep = name("dep_", i);
    std::vector<std::string> deps = {dep};
    if (i > 0) deps.push_back(name("target_", i - 1));
    if (i % 3 == 0) deps.push_back(name("dep_", i + 1));
    // The name twice in the rule: the std dialect keeps it once.
    text += target + ": " + dep;
    for (const std::string &d : deps) text += " " + d;
    text += "\n\tbuild " + target + "\n";
    if (i % 5 == 0) text += target + ": extra_" + name("x", i) + "\n";
    if (i % 5 == 0) deps.push_back("extra_" + name("x", i));
    expected[target] = deps;
  }
  dir.write("Makefile", text);
  Captured cap;
  Cmf cmf;
  ASSERT_EQ(parse_mf({"Makefile"}, {}, 0, &cmf), KS_ST_OK) << cap.err();
  for (const auto &[target, deps] : expected) {
    mf_tgt_entry_t *e = nullptr;
    ASSERT_EQ(mfc_cmf_get_tgt_h(cmf.h, target.c_str(), &e), KS_ST_OK) << target;
    list_cursor_t inst = nullptr;
    ASSERT_EQ(mfc_cmf_next_tgt_rule(cmf.h, e, &inst), KS_ST_OK);
    ASSERT_NE(inst, nullptr);
    EXPECT_EQ(walk([&](list_cursor_t *c, size_t n, char *b) {
                return mfc_cmf_tgt_rule_next_dep(cmf.h, e, inst, c, n, b);
              }),
              deps)
        << target;
    char script[128];
    ASSERT_EQ(mfc_cmf_tgt_rule_script(cmf.h, e, inst, sizeof script, script), KS_ST_OK);
    EXPECT_EQ(std::string(script), "build " + target + "\n");
  }
}

TEST(ParsePipeline, GnuSuffixRulesTranslated) {
  struct {
    const char *text;
    std::vector<std::string> patterns;  // target : dependency of each pattern rule, in order
  } cases[] = {
      {".SUFFIXES: .c .o\n.c.o:\n\tcc -c $<\n", {"%.c:", "%.o:", "%.o:%.c"}},
      {".SUFFIXES: .c\n.c:\n\tcc -o $@ $<\n", {"%.c:", "%:%.c"}},
      {".SUFFIXES: .c\n.c.q:\n\tx\n", {"%.c:"}},
      {"%.x: %.y\n\tmine\n.SUFFIXES: .c .o\n.c.o:\n\tfirst\n.c.o:\n\tlast\n",
       {"%.x:%.y", "%.c:", "%.o:", "%.o:%.c"}},
      {"all:\n", {}},
  };
  for (const auto &c : cases) {
    NoInheritedFlags clean;
    ScopedEnv no_builtins("MAKEFLAGS", "b");
    ScratchDir dir;
    dir.write("Makefile", c.text);
    Captured cap;
    Cmf cmf;
    ASSERT_EQ(parse_mf({"Makefile"}, {}, MF_COMPAT_GNU, &cmf), KS_ST_OK) << cap.err();
    std::vector<std::string> got;
    std::string last_script;
    void *d = nullptr;
    list_handle_t rules = cmf.h->tgt_table->pattern_rule_list;
    for (list_cursor_t r = rules != LIST_HANDLE_NULL ? list_next(rules, nullptr, &d) : nullptr;
         r != nullptr; r = list_next(rules, r, &d)) {
      auto *rule = static_cast<mf_tgt_pattern_rule_t *>(d);
      std::string deps;
      for (const auto &dep : pltest::strings(rule->inst->deps)) deps += dep;
      got.push_back(std::string(rule->pattern) + ":" + deps);
      last_script.clear();
      for (const auto &line : pltest::strings(rule->inst->script)) last_script += line;
    }
    EXPECT_EQ(got, c.patterns) << c.text;
    if (std::string(c.text).find("last") != std::string::npos) {
      EXPECT_EQ(last_script, "last");
    }
    // Without .JAVAC no target is a Java target.
    EXPECT_THAT(pltest::strings(bldr_opts_get_patt_list(cmf.h->opts, BLDR_OPTS_JAVA_TGTS)),
                ElementsAre());
  }
}

TEST(ParsePipeline, GnuTargetsAreJavaTargetsOnlyUnderJavac) {
  for (const char *text : {"all: x\n", ".JAVAC: \nall: x\n"}) {
    NoInheritedFlags clean;
    ScratchDir dir;
    dir.write("Makefile", text);
    Captured cap;
    Cmf cmf;
    ASSERT_EQ(parse_mf({"Makefile"}, {}, MF_COMPAT_GNU, &cmf), KS_ST_OK) << cap.err();
    const bool javac = std::string(text).find(".JAVAC") != std::string::npos;
    EXPECT_EQ(pltest::strings(bldr_opts_get_patt_list(cmf.h->opts, BLDR_OPTS_JAVA_TGTS)),
              javac ? std::vector<std::string>{"%"} : std::vector<std::string>{})
        << text;
  }
}

TEST(ParsePipeline, InvalidVariantFails) {
  for (uint32_t variant : {6u, 9u}) {
    NoInheritedFlags clean;
    ScratchDir dir;
    dir.write("Makefile", "all:\n");
    Captured cap;
    Cmf cmf;
    EXPECT_EQ(parse_mf({"Makefile"}, {}, variant, &cmf), KS_ST_ERR);
    EXPECT_THAT(cap.err(), HasSubstr("Invalid makefile compatibility variant (" +
                                     std::to_string(variant) + ")"));
  }
}

}  // namespace

namespace {

TEST(ParsePipeline, VerboseParseTracesItsSteps) {
  NoInheritedFlags clean;
  ScopedEnv flags("MAKEFLAGS", "r");
  ScratchDir dir;
  dir.write("a.bos", "A = 1\n");
  dir.write("Makefile", "all:\n");
  Captured cap;
  Cmf cmf;
  const int32_t saved = mf_verbosity;
  mf_verbosity = 3;
  Strings mfs({"Makefile"}), bos({"a.bos"});
  const ks_status_t bos_rc = mfc_parse_bos(mfs.get(), bos.get(), LIST_HANDLE_NULL, 1, 0, &cmf.h);
  const ks_status_t mf_rc = parse_mf({"Makefile"}, {"X=1"}, 0, &cmf);
  mf_verbosity = saved;
  ASSERT_EQ(bos_rc, KS_ST_OK) << cap.err();
  ASSERT_EQ(mf_rc, KS_ST_OK) << cap.err();
  const std::string all = cap.out() + cap.err();
  for (const char *text : {"mfc_init_parse: New ZELVANE_BLD_OPTIONS_SPECS: \"",
                           "init_parse_params: called with MAKEFLAGS = \"r\"",
                           "mfc_init_parse_params: New MAKEARGS: \" \"X=1\"\"",
                           "The following options specs will be parsed:",
                           "The following description files will be parsed:", "\tMakefile\n",
                           "Done parsing target descriptions"})
    EXPECT_THAT(all, HasSubstr(text));
}

}  // namespace
