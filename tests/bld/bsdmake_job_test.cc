// One shell per build script: the generated script of each kind of line for /bin/sh and
// /bin/csh, the option word, the refused shells and scripts, and commands that hold quotes and
// substitutions, run through /bin/sh once.
#include "bld/bsdmake_job.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ks/stg.h"

namespace {

// Runs f while standard error goes to a file; returns what was written there.
template <class F>
std::string stderr_of(F f) {
  std::fflush(stderr);
  char path[] = "/tmp/bsdmake_job_errXXXXXX";
  const int fd = mkstemp(path);
  const int saved = dup(2);
  dup2(fd, 2);
  f();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(fd);
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  std::remove(path);
  return ss.str();
}

struct ScriptCase {
  const char *what;
  const char *shell;
  const char *script;
  int silent, ignore, skip_first;
  const char *want;
};

TEST(BsdmakeJob, ScriptsOfEachKindOfLine) {
  const ScriptCase cases[] = {
      {"plain, silent and ignored lines", "/bin/sh", "cc -c a.c\n@echo done\n-rm x\n", 0, 0, 0,
       "cc -c a.c\nset -\necho done\nset -v\nset -\necho \"rm x\"\nsh -c 'rm x || exit 0'\n"
       "set -v\n"},
      {"prefixes in any order and number", "/bin/sh", "@-a\n-@b\n@@c\n--d\n", 0, 0, 0,
       "set -\nsh -c 'a || exit 0'\nset -v\n"
       "set -\nsh -c 'b || exit 0'\nset -v\n"
       "set -\nc\nset -v\n"
       "set -\necho \"d\"\nsh -c 'd || exit 0'\nset -v\n"},
      {"the first character passed over", "/bin/sh", "\t@x\n\ty\n", 0, 0, 1,
       "set -\nx\nset -v\ny\n"},
      {"a silent target", "/bin/sh", "@x\n-y\n", 1, 0, 0, "x\nsh -c 'y || exit 0'\n"},
      {"a target that ignores errors", "/bin/sh", "-x\n@y\n", 0, 1, 0, "x\nset -\ny\nset -v\n"},
      {"both", "/bin/sh", "@-x\n", 1, 1, 0, "x\n"},
      {"empty lines and scripts", "/bin/sh", "a\n\nb\n", 0, 0, 0, "a\n\nb\n"},
      {"nothing", "/bin/sh", "", 0, 0, 0, ""},
      {"csh", "/bin/csh", "cc -c a.c\n@echo done\n-rm x\n", 0, 0, 0,
       "cc -c a.c\nunset verbose\necho done\nset verbose\nunset verbose\necho \"rm x\"\n"
       "csh -c \"rm x || exit 0\"\nset verbose\n"},
      // Commands are quoted for each template, so that showing one runs nothing of it.
      {"sh quoting", "/bin/sh", "-echo $(date) `id` \"q\" it's \\n\n", 0, 0, 0,
       "set -\necho \"echo \\$(date) \\`id\\` \\\"q\\\" it's \\\\n\"\n"
       "sh -c 'echo $(date) `id` \"q\" it'\\''s \\n || exit 0'\nset -v\n"},
      {"csh quoting", "/bin/csh", "-echo $HOME \"q\" it's\n", 0, 0, 0,
       "unset verbose\necho \"echo \"'$'\"HOME \"'\"'\"q\"'\"'\" it's\"\n"
       "csh -c \"echo \"'$'\"HOME \"'\"'\"q\"'\"'\" it's || exit 0\"\nset verbose\n"},
  };
  for (const ScriptCase &c : cases) {
    SCOPED_TRACE(c.what);
    char *out = nullptr;
    ASSERT_EQ(bsdmake_job_one_shell_script(c.shell, c.script, c.silent, c.ignore, c.skip_first,
                                           &out),
              KS_ST_OK);
    EXPECT_STREQ(out, c.want);
  }
}

TEST(BsdmakeJob, OptionWords) {
  struct Row {
    int silent, ignore;
    const char *want;
  } rows[] = {{0, 0, "-ev"}, {0, 1, "-v"}, {1, 0, "-e"}, {1, 1, "-"}};
  for (const char *shell : {"/bin/sh", "/bin/csh"})
    for (const Row &r : rows) {
      char *flags = nullptr;
      ASSERT_EQ(bsdmake_job_shell_flags(shell, r.silent, r.ignore, &flags), KS_ST_OK);
      EXPECT_STREQ(flags, r.want) << shell << r.silent << r.ignore;
      stg_free(flags);
    }
}

TEST(BsdmakeJob, RefusedShellsAndScripts) {
  for (const char *shell : {"/bin/bash", "sh", "/bin/sh ", ""}) {
    char *out = reinterpret_cast<char *>(1);
    char *flags = reinterpret_cast<char *>(1);
    const std::string err = stderr_of([&] {
      EXPECT_EQ(bsdmake_job_one_shell_script(shell, "x\n", 0, 0, 0, &out), KS_ST_ERR);
      EXPECT_EQ(bsdmake_job_shell_flags(shell, 0, 0, &flags), KS_ST_ERR);
    });
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(flags, nullptr);
    const std::string msg = std::string("Shell \"") + shell +
                            "\" not supported for one shell per build script execution mode\n";
    EXPECT_NE(err.find(msg), std::string::npos) << err;
    EXPECT_NE(err.find(msg, err.find(msg) + 1), std::string::npos) << "both calls report";
  }
  char *out = reinterpret_cast<char *>(1);
  const std::string err = stderr_of([&] {
    EXPECT_EQ(bsdmake_job_one_shell_script("/bin/sh", "a\nb", 0, 0, 0, &out), KS_ST_ERR);
  });
  EXPECT_EQ(out, nullptr);
  EXPECT_NE(err.find("Error: Malformed build script\n"), std::string::npos) << err;
}

// A line is never cut, however long.
TEST(BsdmakeJob, LongLinesStayWhole) {
  const std::string command = "echo " + std::string(10000, 'x');
  char *out = nullptr;
  ASSERT_EQ(bsdmake_job_one_shell_script("/bin/sh", ("-" + command + "\n").c_str(), 0, 0, 0,
                                         &out),
            KS_ST_OK);
  EXPECT_EQ(std::string(out), "set -\necho \"" + command + "\"\nsh -c '" + command +
                                  " || exit 0'\nset -v\n");
}

// The generated script under /bin/sh with its option word: the command that is shown is not
// run by the showing, the ignored failure does not stop the script, and the failing plain line
// does.
TEST(BsdmakeJob, RunsUnderTheShellOnce) {
  if (access("/bin/sh", X_OK) != 0) GTEST_SKIP() << "no /bin/sh";
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("bsdmake_job_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string log = (dir / "log").string();
  const std::string script = "-echo \"$(echo side >> " + log + ")\" \"it's\"; false\n"
                             "@echo after >> " + log + "\n"
                             "false\n"
                             "echo never >> " + log + "\n";
  char *text = nullptr;
  ASSERT_EQ(bsdmake_job_one_shell_script("/bin/sh", script.c_str(), 0, 0, 0, &text), KS_ST_OK);
  char *flags = nullptr;
  ASSERT_EQ(bsdmake_job_shell_flags("/bin/sh", 0, 0, &flags), KS_ST_OK);
  const std::filesystem::path file = dir / "script";
  std::ofstream(file) << text;
  const std::string command =
      std::string("/bin/sh ") + flags + " < " + file.string() + " > /dev/null 2>&1";
  stg_free(flags);
  const int status = std::system(command.c_str());
  EXPECT_NE(status, 0);
  std::ifstream in(log);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(ss.str(), "side\nafter\n");
  std::filesystem::remove_all(dir);
}

}  // namespace
