// Builder utilities of build-script lines and of the run: prefixes and the need for a shell, shell
// flags, the script's environment, umasks, the audit temporary directory, pathname joins,
// counted streams and the file-handle cache.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bld/bldr_utl.h"
#include "ks/evutl.h"
#include "capture_util.h"
#include "ks/imsg.h"

namespace {

using bldtest::Capture;

TEST(BldrUtlLine, PrefixesAndTheNeedForAShell) {
  struct Case {
    const char *line;
    int plus_mode;
    const char *command;
    int ignore, silent, plus, shell;
  } cases[] = {
      {"@-cc -c a.c", 0, "cc -c a.c", 1, 1, 0, 0},
      {" \t-@echo x", 0, "echo x", 1, 1, 0, 0},
      {"+make all", 0, "+make all", 0, 0, 0, 0},
      {"+make all", 1, "make all", 0, 0, 1, 0},
      {"cc a.c > log", 0, "cc a.c > log", 0, 0, 0, 1},
      {": nothing", 0, ": nothing", 0, 0, 0, 1},
      {"scp host:/path .", 0, "scp host:/path .", 0, 0, 0, 0},
      {"echo ~", 0, "echo ~", 0, 0, 0, 1},
  };
  for (const Case &c : cases) {
    int ignore = -1, silent = -1, plus = -1, shell = -1;
    const char *cmd = bldr_utl_line_to_exec(c.line, c.plus_mode, &ignore, &silent, &plus, &shell);
    EXPECT_STREQ(cmd, c.command) << c.line;
    EXPECT_EQ(ignore, c.ignore) << c.line;
    EXPECT_EQ(silent, c.silent) << c.line;
    EXPECT_EQ(plus, c.plus) << c.line;
    EXPECT_EQ(shell, c.shell) << c.line;
    // Asked without the need for a shell, as a script's computation asks: the same prefixes.
    ignore = silent = plus = -1;
    cmd = bldr_utl_line_to_exec(c.line, c.plus_mode, &ignore, &silent, &plus, nullptr);
    EXPECT_STREQ(cmd, c.command) << c.line;
    EXPECT_EQ(ignore, c.ignore) << c.line;
    EXPECT_EQ(silent, c.silent) << c.line;
    EXPECT_EQ(plus, c.plus) << c.line;
  }
  int untouched = 7;
  EXPECT_STREQ(bldr_utl_line_to_exec("", 0, &untouched, nullptr, nullptr, nullptr), "");
  EXPECT_EQ(untouched, 7);
  EXPECT_TRUE(bldr_utl_tgt_is_gnu_order_only_specifier("|"));
  EXPECT_FALSE(bldr_utl_tgt_is_gnu_order_only_specifier("|x"));
}

TEST(BldrUtlLine, ShellFlagsSplitAtTheFirstBlankDash) {
  char pn[64] = "untouched", flags[64] = "untouched";
  EXPECT_TRUE(bldr_utl_remove_shell_flags("/bin/sh -x -v", pn, sizeof pn, flags, sizeof flags));
  EXPECT_STREQ(pn, "/bin/sh");
  EXPECT_STREQ(flags, "-x -v");
  std::strcpy(pn, "untouched");
  std::strcpy(flags, "untouched");
  EXPECT_FALSE(bldr_utl_remove_shell_flags("/bin/sh", pn, sizeof pn, flags, sizeof flags));
  EXPECT_STREQ(pn, "untouched");
  EXPECT_STREQ(flags, "untouched");
}

TEST(BldrUtlEnv, ImposedEntriesReplaceAndAddedOnesOnlyFillIn) {
  setenv("VOSSEL_TEST_KEPT", "parent", 1);
  setenv("VOSSEL_TEST_REPLACED", "parent", 1);
  char imposed[] = "VOSSEL_TEST_REPLACED=run";
  char added1[] = "VOSSEL_TEST_KEPT=run";
  char added2[] = "VOSSEL_TEST_NEW=run";
  char *imp[] = {imposed};
  char *add[] = {added1, added2};
  evutl_env_t *env = nullptr;
  ASSERT_EQ(bldr_utl_construct_env(1, imp, 2, add, EVUTL_DEFAULT_ENV, &env), KS_ST_OK);
  EXPECT_STREQ(evutl_getenv(env, "VOSSEL_TEST_REPLACED"), "run");
  EXPECT_STREQ(evutl_getenv(env, "VOSSEL_TEST_KEPT"), "parent");
  EXPECT_STREQ(evutl_getenv(env, "VOSSEL_TEST_NEW"), "run");
  evutl_free(env);
  char bad[] = "NO_EQUALS_SIGN";
  char *badv[] = {bad};
  Capture c;
  EXPECT_EQ(bldr_utl_construct_env(0, nullptr, 1, badv, EVUTL_DEFAULT_ENV, &env), KS_ST_ERR);
  EXPECT_NE(c.text().find("Malformed environment variable definition \"NO_EQUALS_SIGN\""),
            std::string::npos);
  unsetenv("VOSSEL_TEST_KEPT");
  unsetenv("VOSSEL_TEST_REPLACED");
}

class Umask : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = umask(022);
    for (const char *n : kNames) unsetenv(n);
  }
  void TearDown() override {
    for (const char *n : kNames) unsetenv(n);
    bldr_utl_initialize_and_set_do_umask(nullptr);
    umask(saved_);
  }
  static mode_t current() {
    mode_t m = umask(0);
    umask(m);
    return m;
  }
  static constexpr const char *kNames[] = {"ORVA_TEMPFILE_UMASK", "ZELVANE_TEMPFILE_UMASK",
                                           "ORVA_BLD_UMASK", "ZELVANE_BLD_UMASK"};
  mode_t saved_ = 022;
};

TEST_F(Umask, TemporaryFileUmaskAloneKeepsTheUsersForDerivedObjects) {
  setenv("ORVA_TEMPFILE_UMASK", "027", 1);
  bldr_utl_initialize_and_set_do_umask(nullptr);
  EXPECT_EQ(current(), mode_t(022));
  EXPECT_EQ(bldr_utl_set_tempfile_umask(), 1);
  EXPECT_EQ(current(), mode_t(027));
  EXPECT_EQ(bldr_utl_set_do_umask(), 1);
  EXPECT_EQ(current(), mode_t(022));
}

TEST_F(Umask, BuildUmaskIsAppliedEvenWhenZeroAndBadValuesAreIgnored) {
  setenv("ORVA_BLD_UMASK", "0", 1);
  bldr_utl_initialize_and_set_do_umask(nullptr);
  EXPECT_EQ(current(), mode_t(0));
  EXPECT_EQ(bldr_utl_set_old_user_umask(), 1);
  EXPECT_EQ(current(), mode_t(022));
  // Text that is no octal umask would have become 0 (world-writable objects): it is refused.
  for (const char *bad : {"abc", "9", "07777777", ""}) {
    umask(022);
    setenv("ORVA_BLD_UMASK", bad, 1);
    Capture c;
    bldr_utl_initialize_and_set_do_umask(nullptr);
    EXPECT_EQ(current(), mode_t(022)) << bad;
    EXPECT_EQ(bldr_utl_set_do_umask(), 0) << bad;
    EXPECT_NE(c.text().find("ORVA_BLD_UMASK"), std::string::npos) << bad;
  }
  unsetenv("ORVA_BLD_UMASK");
  bldr_utl_initialize_and_set_do_umask(nullptr);
  EXPECT_EQ(bldr_utl_set_old_user_umask(), 0);  // nothing set: none
}

TEST(BldrUtlTmpdir, FirstNonEmptyVariableWithoutItsTrailingSlash) {
  unsetenv("ZELVANE_BLD_AUDIT_TMPDIR");
  setenv("ORVA_AUDIT_TMPDIR", "", 1);
  setenv("TMPDIR", "/var/tmp/", 1);
  bldr_utl_reset_audit_tmpdir();
  EXPECT_STREQ(bldr_utl_get_audit_tmpdir(0, 0, nullptr), "/var/tmp");
  // A directory that fails its check is not kept: the next call looks again.
  setenv("ORVA_AUDIT_TMPDIR", "/no/such/dir/", 1);
  bldr_utl_reset_audit_tmpdir();
  {
    Capture c;
    EXPECT_EQ(bldr_utl_get_audit_tmpdir(1, 0, nullptr), nullptr);
    EXPECT_NE(c.text().find("\"/no/such/dir\" does not exist"), std::string::npos);
  }
  unsetenv("ORVA_AUDIT_TMPDIR");
  EXPECT_STREQ(bldr_utl_get_audit_tmpdir(1, 0, nullptr), "/var/tmp");
  unsetenv("TMPDIR");
  bldr_utl_reset_audit_tmpdir();
}

TEST(BldrUtlPaths, JoinsAndCountedStreams) {
  stg_area_t area = stg_create_area(1024);
  char *out = nullptr;
  ASSERT_EQ(bldr_utl_concat_2paths(&out, area, "", "name"), KS_ST_OK);
  EXPECT_STREQ(out, "name");
  ASSERT_EQ(bldr_utl_concat_3paths(&out, area, "a", "b", "c"), KS_ST_OK);
  EXPECT_STREQ(out, "a/b/c");
  ASSERT_EQ(bldr_utl_concat_3paths(&out, area, nullptr, "b", "c"), KS_ST_OK);
  EXPECT_STREQ(out, "b/c");

  const char data[] = "2\0first\0last";  // the last text ends with the stream
  FILE *s = fmemopen(const_cast<char *>(data), sizeof data - 1, "r");
  size_t count = 0;
  char **array = nullptr;
  ASSERT_EQ(bldr_utl_read_str_array(s, area, 8, &count, &array), KS_ST_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_STREQ(array[0], "first");
  EXPECT_STREQ(array[1], "last");
  fclose(s);
  const char zero[] = "0";
  s = fmemopen(const_cast<char *>(zero), 1, "r");
  ASSERT_EQ(bldr_utl_read_str_array(s, area, 8, &count, &array), KS_ST_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(array, nullptr);
  fclose(s);
  stg_delete_area(&area);
}

TEST(BldrUtlFhandle, LinkAndWhatItPointsToAreCachedApart) {
  char templ[] = "/tmp/vossel-fh-XXXXXX";
  std::string dir = mkdtemp(templ);
  std::string target = dir + "/target", link = dir + "/link";
  FILE *f = fopen(target.c_str(), "w");
  fclose(f);
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  bldr_utl_fhandle_t followed, own;
  ASSERT_EQ(bldr_utl_get_fhandle(link.c_str(), 1, 1, &followed), KS_ST_OK);
  ASSERT_EQ(bldr_utl_get_fhandle(link.c_str(), 1, 0, &own), KS_ST_OK);
  EXPECT_NE(followed.words[1], own.words[1]);  // two inodes
  bldr_utl_flush_fh_cache();
  unlink(link.c_str());
  unlink(target.c_str());
  rmdir(dir.c_str());
}

}  // namespace
