#include "bld/bldr_ctl.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bld/bldr_utl.h"
#include "ks/imsg.h"

namespace {

// A record with target-scoped definitions, a global table list in force, and the area the
// pushed tables are made in.
class ScopeTest : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    area_ = stg_create_area(4096);
    mfc_mf_stg_area = area_;
    opts_ = bldr_opts_init(GetParam(), &env_);
    ASSERT_NE(opts_, BLDR_OPTS_HANDLE_NULL);
    cmd_ = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_CMD_LINE, STG_AREA_HEAP);
    mk_ = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_FILE, STG_AREA_HEAP);
    bldr_macro_define(cmd_, "C", "cmd", 0);
    bldr_macro_define(mk_, "X", "global", 0);
    bldr_macro_define(mk_, "L", "a", 0);
    globals_ = list_create(STG_AREA_HEAP, 0);
    list_append(globals_, cmd_);
    list_append(globals_, mk_);
    saved_ = mfc_mf_macro_table_list;
    mfc_mf_macro_table_list = globals_;
  }
  void TearDown() override {
    mfc_mf_macro_table_list = saved_;
    list_destroy(globals_);
    bldr_macro_term_table(cmd_);
    bldr_macro_term_table(mk_);
    bldr_opts_term(opts_);
    bldr_macro_term_table(env_);
    mfc_mf_stg_area = STG_AREA_NULL;
    stg_delete_area(&area_);
  }
  void define(uint32_t side, const char *tgt, const char *name, const char *value,
              bldr_macro_op_t op) {
    list_handle_t tgts = list_create(area_, 0);
    list_append(tgts, stg_area_strdup(area_, tgt));
    bldr_macro_def_t def = {const_cast<char *>(name), const_cast<char *>(value), op};
    uint32_t expanded = 0;
    ASSERT_EQ(bldr_opts_tgt_scoped_macro_def(opts_, side, tgts, &def, &expanded), KS_ST_OK);
  }
  std::string lookup(const char *name) {
    const char *v = bldr_macro_lookup(mfc_mf_macro_table_list, name, nullptr);
    return v ? v : "<undefined>";
  }
  std::vector<bldr_macro_origin_t> kinds() {
    std::vector<bldr_macro_origin_t> out;
    void *d;
    for (list_cursor_t c = list_next(mfc_mf_macro_table_list, nullptr, &d); c;
         c = list_next(mfc_mf_macro_table_list, c, &d))
      out.push_back(static_cast<bldr_macro_table_t *>(d)->kind);
    return out;
  }

  stg_area_t area_ = STG_AREA_NULL;
  BLDR_OPTS_HANDLE opts_ = BLDR_OPTS_HANDLE_NULL;
  bldr_macro_table_t *env_ = nullptr, *cmd_ = nullptr, *mk_ = nullptr;
  list_handle_t globals_ = LIST_HANDLE_NULL, saved_ = LIST_HANDLE_NULL;
};

TEST_P(ScopeTest, PushAndPop) {
  const uint32_t dialect = GetParam();
  const bool gnu = dialect == 7;
  define(BLDR_OPTS_SIDE_MF, "t", "X", "mf", BLDR_MACRO_OP_EQ);
  define(BLDR_OPTS_SIDE_MF, "t", "L", "b", BLDR_MACRO_OP_APPEND);
  define(BLDR_OPTS_SIDE_BOS, "t", "X", "bos", BLDR_MACRO_OP_EQ);
  define(BLDR_OPTS_SIDE_MF, "%.o", "P", "pat", BLDR_MACRO_OP_EQ);
  define(BLDR_OPTS_SIDE_MF, "t", "C", "scoped", BLDR_MACRO_OP_EQ);

  // No definition applies: nothing is pushed and popping changes nothing.
  list_handle_t prev = bldr_ctl_push_tgt_scoped_bindings(opts_, "u", dialect, area_);
  EXPECT_EQ(prev, globals_);
  EXPECT_EQ(mfc_mf_macro_table_list, globals_);
  bldr_ctl_pop_tgt_scoped_bindings(prev, BLDR_CTL_ST_REBUILT);
  EXPECT_EQ(mfc_mf_macro_table_list, globals_);

  prev = bldr_ctl_push_tgt_scoped_bindings(opts_, "t", dialect, area_);
  ASSERT_EQ(prev, globals_);
  EXPECT_NE(mfc_mf_macro_table_list, globals_);
  EXPECT_EQ(lookup("X"), "bos");   // the BOS value beats the makefile's
  EXPECT_EQ(lookup("L"), "a b");   // "+=" extends the global value
  EXPECT_EQ(lookup("P"), "<undefined>");
  // The command line beats a scoped value only in the GNU dialects.
  EXPECT_EQ(lookup("C"), gnu ? "cmd" : "scoped");
  EXPECT_EQ(kinds(), gnu ? (std::vector<bldr_macro_origin_t>{5, 8, 8, 4})
                         : (std::vector<bldr_macro_origin_t>{4, 4, 5, 4}));
  bldr_ctl_pop_tgt_scoped_bindings(prev, BLDR_CTL_ST_REBUILT);
  EXPECT_EQ(mfc_mf_macro_table_list, globals_);
  EXPECT_EQ(lookup("X"), "global");

  prev = bldr_ctl_push_tgt_scoped_bindings(opts_, "x.o", dialect, area_);
  EXPECT_EQ(lookup("P"), "pat");
  EXPECT_EQ(lookup("X"), "global");
  bldr_ctl_pop_tgt_scoped_bindings(prev, BLDR_CTL_ST_REBUILT);
}

// A target whose build is still pending keeps its tables until its area goes.
TEST_P(ScopeTest, PendingStatusKeepsTables) {
  define(BLDR_OPTS_SIDE_MF, "t", "X", "mf", BLDR_MACRO_OP_EQ);
  list_handle_t prev = bldr_ctl_push_tgt_scoped_bindings(opts_, "t", GetParam(), area_);
  list_handle_t pushed = mfc_mf_macro_table_list;
  bldr_ctl_pop_tgt_scoped_bindings(prev, 5);  // build pending
  EXPECT_EQ(mfc_mf_macro_table_list, globals_);
  EXPECT_STREQ(bldr_macro_lookup(pushed, "X", nullptr), "mf");
  // Finished later: reinstall and release.
  mfc_mf_macro_table_list = pushed;
  bldr_ctl_pop_tgt_scoped_bindings(prev, BLDR_CTL_ST_REBUILT);
  EXPECT_EQ(mfc_mf_macro_table_list, globals_);
}

// A definition that cannot be evaluated fails the push and leaves the list in force alone.
TEST_P(ScopeTest, FailedDefinitionPushesNothing) {
  define(BLDR_OPTS_SIDE_MF, "t", "X", "mf", BLDR_MACRO_OP_EQ);
  define(BLDR_OPTS_SIDE_BOS, "t", "Y", "$(X", BLDR_MACRO_OP_EXPAND);
  FILE *err = std::tmpfile();
  imsg_set_streams(nullptr, err);
  EXPECT_EQ(bldr_ctl_push_tgt_scoped_bindings(opts_, "t", GetParam(), area_), LIST_HANDLE_NULL);
  imsg_set_streams(nullptr, nullptr);
  EXPECT_EQ(mfc_mf_macro_table_list, globals_);
  std::rewind(err);
  std::string text;
  for (int c; (c = std::fgetc(err)) != EOF;) text += char(c);
  std::fclose(err);
  EXPECT_NE(text.find("$(X"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Dialects, ScopeTest, ::testing::Values(0u, 7u));

TEST(BldrUtl, CwdAccessibleAbsolutePathname) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  char buf[4096];
  EXPECT_EQ(bldr_utl_cwd_accessible_abs_pn("/a/b", sizeof buf, buf), KS_ST_OK);
  EXPECT_STREQ(buf, "/a/b");
  EXPECT_EQ(bldr_utl_cwd_accessible_abs_pn("rel/x", sizeof buf, buf), KS_ST_OK);
  EXPECT_EQ(std::string(buf), std::string(cwd) + "/rel/x");
  char small[4];
  EXPECT_EQ(bldr_utl_cwd_accessible_abs_pn("/abcd", sizeof small, small), KS_ST_NAME_TOO_LONG);
  EXPECT_EQ(bldr_utl_cwd_accessible_abs_pn("rel", sizeof small, small), KS_ST_NAME_TOO_LONG);
}

}  // namespace
