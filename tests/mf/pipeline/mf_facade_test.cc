// The parse facade: handle checks, the make level of the GNU dialects, definitions validated.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "capture_util.h"
#include "mf/bldr_opts.h"
#include "mf/mf.h"
#include "mf/mf_parse_cmd_line.h"
#include "mf_io_util.h"
#include "pipeline/pipeline_util.h"

using mftest::Captured;
using mftest::ScopedEnv;
using mftest::ScratchDir;
using testing::HasSubstr;

namespace {

TEST(ParseFacade, NullHandlesAreRefused) {
  char buf[16];
  list_cursor_t pos = nullptr;
  hash_cursor_t hpos = nullptr;
  mf_tgt_entry_t *tgt = nullptr;
  list_handle_t list = LIST_HANDLE_NULL;
  char *text = nullptr;
  size_t size = 0;
  void *cursor = nullptr;
  char *name = nullptr, *value = nullptr;
  uint32_t op = 0;
  const std::vector<std::function<ks_status_t()>> cmf_calls = {
      [&] { return mf_next_root_tgt(nullptr, &pos, sizeof buf, buf); },
      [&] { return mf_next_default_goal_tgt(nullptr, &pos, sizeof buf, buf); },
      [&] { return mf_get_tgt_handle(nullptr, "x", &tgt); },
      [&] { return mf_next_tgt_rule(nullptr, tgt, &pos); },
      [&] { return mf_tgt_rule_script(nullptr, tgt, pos, sizeof buf, buf); },
      [&] { return mf_tgt_rule_next_dep(nullptr, tgt, pos, &pos, sizeof buf, buf); },
      [&] { return mf_macro_expand_str(nullptr, "x", &size, &text); },
      [&] { return mf_tgt_inference_dep(nullptr, tgt, sizeof buf, buf); },
      [&] { return mf_get_special_handle(nullptr, ".SUFFIXES", &list); },
      [&] { return mf_next_implicit_tgt(nullptr, &hpos, buf, sizeof buf, &tgt); },
      [&] { return mf_macro_table(nullptr, &list); },
      [&] {
        return mf_get_next_mf_tgt_scoped_def(nullptr, &cursor, sizeof buf, buf, &name, &value, &op);
      },
      [&] {
        return mf_get_next_bos_tgt_scoped_def(nullptr, &cursor, sizeof buf, buf, &name, &value,
                                              &op);
      },
  };
  for (size_t i = 0; i < cmf_calls.size(); ++i) {
    Captured cap;
    EXPECT_EQ(cmf_calls[i](), KS_ST_ERR) << i;
    EXPECT_THAT(cap.err(), HasSubstr("Null makefile symbol table handle\n")) << i;
  }
  Captured cap;
  EXPECT_EQ(mf_double_colon_tgt(nullptr, tgt), 0);
  EXPECT_EQ(mf_tgt_declared_precious(nullptr, tgt), 0);
  EXPECT_THAT(cap.err(), HasSubstr("Null makefile symbol table handle\n"));
}

TEST(ParseFacade, ParsedMakefileWalkedAndFreed) {
  ScopedEnv f1("ORVA_MAKEFLAGS", nullptr);
  ScopedEnv f2("MAKEFLAGS", nullptr);
  ScratchDir dir;
  dir.write("Makefile", "all: a\n\techo $(X)\n");
  Captured cap;
  char mf[] = "Makefile";
  char def[] = "X=1";
  char *mfs[] = {mf, nullptr};
  char *defs[] = {def, nullptr};
  mf_cmf_handle_t cmf = nullptr;
  ASSERT_EQ(mf_parse_bos(mfs, nullptr, defs, 1, 0, &cmf), KS_ST_OK);
  karsel_args args{};
  mf_set_compat_variant_post_bos(MF_COMPAT_STD, &args, cmf);
  EXPECT_EQ(args.compat_variant, 0u);
  ASSERT_EQ(mf_parse_ext(mfs, defs, "tolvick", 0, nullptr, nullptr, "", 0, &cmf), KS_ST_OK)
      << cap.err();

  mf_tgt_entry_t *all = nullptr;
  ASSERT_EQ(mf_get_tgt_handle(cmf, "all", &all), KS_ST_OK);
  list_cursor_t inst = nullptr;
  ASSERT_EQ(mf_next_tgt_rule(cmf, all, &inst), KS_ST_OK);
  char buf[64];
  ASSERT_EQ(mf_tgt_rule_script(cmf, all, inst, sizeof buf, buf), KS_ST_OK);
  EXPECT_STREQ(buf, "echo $(X)\n");
  EXPECT_EQ(mf_double_colon_tgt(cmf, all), 0);

  {
    Captured quiet;
    list_handle_t list = LIST_HANDLE_NULL;
    EXPECT_EQ(mf_get_special_handle(cmf, ".PHONY", &list), KS_ST_ERR);
    EXPECT_EQ(quiet.err(), "");
    EXPECT_EQ(mf_next_tgt_rule(cmf, nullptr, &inst), KS_ST_ERR);
    EXPECT_THAT(quiet.err(), HasSubstr("Null target handle\n"));
  }

  mf_require_free_mf_st(&cmf);
  EXPECT_EQ(cmf, nullptr);
  mf_require_free_mf_st(&cmf);  // a second call does nothing
  EXPECT_EQ(cmf, nullptr);
}

TEST(ParseFacade, InheritedMakeLevelReplacesTheDefinition) {
  struct {
    uint32_t variant;
    const char *env_level;
    std::vector<std::string> defs;
    const char *makelevel;
    const char *makeargs;
  } cases[] = {
      {7, "2", {"A=1", "MAKELEVEL=9", "B=2"}, "2", " \"A=1\" \"MAKELEVEL=2\" \"B=2\""},
      {7, "2", {"A=1"}, "2", " \"A=1\" \"MAKELEVEL=2\""},
      {7, "x", {"MAKELEVEL=9"}, "9", " \"MAKELEVEL=9\""},
      {0, "2", {"MAKELEVEL=9"}, "9", " \"MAKELEVEL=9\""},
  };
  for (const auto &c : cases) {
    ScopedEnv f1("ORVA_MAKEFLAGS", nullptr);
    ScopedEnv f2("MAKEFLAGS", nullptr);
    ScopedEnv level("MAKELEVEL", c.env_level);
    ScratchDir dir;
    dir.write("Makefile", "all:\n");
    Captured cap;
    pltest::Strings defs_store(c.defs);
    std::vector<char *> defs;
    for (const auto &s : pltest::strings(defs_store.get())) defs.push_back(strdup(s.c_str()));
    defs.push_back(nullptr);
    char mf[] = "Makefile";
    char *mfs[] = {mf, nullptr};
    mf_cmf_handle_t cmf = nullptr;
    ASSERT_EQ(mf_parse_ext(mfs, defs.data(), "tolvick", 3, nullptr, nullptr, "", c.variant, &cmf),
              KS_ST_OK)
        << cap.err();
    EXPECT_EQ(pltest::lookup(cmf->macro_table_list, "MAKELEVEL"), c.makelevel) << c.variant;
    EXPECT_EQ(pltest::lookup(cmf->macro_table_list, "MAKEARGS"), c.makeargs) << c.variant;
    mf_require_free_mf_st(&cmf);
    for (char *d : defs) free(d);
  }
}

TEST(ParseFacade, MakeLevelOfTheGnuDialects) {
  struct {
    uint32_t variant;
    const char *inherited;
    int32_t level;
    const char *exported;  // MAKELEVEL afterwards
  } cases[] = {
      {7, nullptr, 0, "0"}, {7, "4", 5, "5"}, {2, "0", 1, "1"}, {7, "x", 0, "0"}, {0, "4", 0, "4"},
  };
  for (const auto &c : cases) {
    ScopedEnv level("MAKELEVEL", c.inherited);
    ScopedEnv goals("MAKECMDGOALS", nullptr);
    char a[] = "all", b[] = "install";
    char *g[] = {a, b, nullptr};
    EXPECT_EQ(mf_set_make_level(c.variant, g), c.level);
    const char *now = getenv("MAKELEVEL");
    EXPECT_STREQ(now != nullptr ? now : "", c.exported);
    const char *mcg = getenv("MAKECMDGOALS");
    EXPECT_STREQ(mcg != nullptr ? mcg : "", c.variant == 0 ? "" : "all install");
  }
}

TEST(ParseFacade, MacroDefinitionsValidated) {
  struct {
    const char *text;
    ks_status_t rc;
  } cases[] = {
      {"A=1", KS_ST_OK}, {"A=", KS_ST_OK}, {"=1", KS_ST_ERR}, {"A", KS_ST_ERR}, {"", KS_ST_ERR}};
  for (const auto &c : cases) {
    Captured cap;
    EXPECT_EQ(mf_macro_validate_def(c.text), c.rc) << c.text;
    if (c.rc != KS_ST_OK) {
      EXPECT_THAT(cap.err(),
                  HasSubstr(std::string("Malformed macro definition \"") + c.text + "\""));
    }
  }
}

TEST(ParseFacade, ParallelBuildPermission) {
  for (uint32_t flag : {1u, 0u}) {
    mf_set_can_perform_parallel_builds(flag);
    EXPECT_EQ(mf_can_perform_parallel_builds(), static_cast<int>(flag));
  }
}

}  // namespace
