#include "mf/mf_utl.h"

#include <gtest/gtest.h>

#include <string>

#include "capture_util.h"

using mftest::Captured;
using mftest::ScopedEnv;

namespace {

struct Output {
  ks_status_t status;
  int32_t wait_status;
  std::string text;
};

Output run(const char *command) {
  Output o{};
  char *text = nullptr;
  o.status = mf_utl_fetch_shcmd_output(command, &o.wait_status, &text);
  o.text = text ? text : "<none>";
  stg_free(text);
  return o;
}

}  // namespace

TEST(ShellCommandOutput, LinesAreJoinedWithOneBlank) {
  struct Case {
    const char *command;
    const char *text;
    int32_t exit_code;
  };
  const Case cases[] = {
      {"printf 'a\\nb\\n'", "a b", 0},
      {"printf 'a\\n\\nb'", "a  b", 0},
      {"printf '\\nb\\n'", "b", 0},
      {"true", "", 0},
      {"echo partial; exit 4", "partial", 4},
  };
  for (const Case &c : cases) {
    Output o = run(c.command);
    EXPECT_EQ(o.status, KS_ST_OK) << c.command;
    EXPECT_EQ(o.text, c.text) << c.command;
    EXPECT_EQ(mf_utl_decode_cmd_status(o.wait_status), c.exit_code) << c.command;
  }
}

TEST(ShellCommandOutput, LongLinesAreNotSplit) {
  // Lines longer than one read chunk continue without a blank; the text grows past its first size.
  Output o = run("head -c 20000 /dev/zero | tr '\\0' x; echo; echo tail");
  EXPECT_EQ(o.status, KS_ST_OK);
  EXPECT_EQ(o.text, std::string(20000, 'x') + " tail");
}

TEST(MakeVerbosity, ReadOnceFromTheFirstSetName) {
  ScopedEnv orva("ORVA_VERBOSITY", nullptr);
  ScopedEnv zel("ZELVANE_BLD_VERBOSITY", "3");
  int32_t saved = mf_verbosity;
  int32_t saved_init = mf_initialized;
  mf_initialized = 0;
  EXPECT_EQ(mf_initialize(), 1);
  EXPECT_EQ(mf_verbosity, 3);
  setenv("ORVA_VERBOSITY", "5", 1);
  EXPECT_EQ(mf_initialize(), 1);  // later calls do nothing
  EXPECT_EQ(mf_verbosity, 3);
  mf_initialized = 0;
  mf_initialize();
  EXPECT_EQ(mf_verbosity, 5);  // ORVA_ is read first
  EXPECT_TRUE(mf_utl_should_trace("anything", 5));
  EXPECT_FALSE(mf_utl_should_trace("anything", 6));
  mf_verbosity = saved;
  mf_initialized = saved_init;
}

TEST(MakeVerbosity, TraceNamesOpenTheGateBelowTheMakeVerbosity) {
  ScopedEnv names("TRACE_SUBSYS", "bldr_macro");
  ScopedEnv level("TRACE_VERBOSITY", "3");
  imsg_reset_trace_settings();
  int32_t saved = mf_verbosity;
  mf_verbosity = 0;
  EXPECT_TRUE(mf_utl_should_trace("bldr_macro", 3));
  EXPECT_FALSE(mf_utl_should_trace("bldr_macro", 4));
  EXPECT_FALSE(mf_utl_should_trace("mf_parser", 1));
  mf_verbosity = saved;
  unsetenv("TRACE_SUBSYS");
  unsetenv("TRACE_VERBOSITY");
  imsg_reset_trace_settings();
}

TEST(PutenvDefinitions, NameEqualsValue) {
  stg_area_t area = stg_create_area(64);
  EXPECT_STREQ(mf_utl_area_putenv_def("A", "1 2", area), "A=1 2");
  EXPECT_STREQ(mf_utl_area_putenv_def("E", "", area), "E=");
  char *heap = mf_utl_make_putenv_def("H", "v");
  EXPECT_STREQ(heap, "H=v");
  stg_free(heap);
  stg_delete_area(&area);
}
