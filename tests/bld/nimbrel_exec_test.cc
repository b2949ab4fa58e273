// The script runner: lines run directly or through the shell, the default "-e" and its absence
// for ignored lines, echo and listing mode, malformed scripts, shells given with flags, and the
// command files it leaves behind (none).
#include "bld/nimbrel_exec.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bld/bldr_utl.h"
#include "capture_util.h"
#include "ks/imsg.h"
#include "mf/mf_utl.h"

extern char **environ;

namespace {

using bldtest::Capture;

class ScriptRunner : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/vossel-runner-XXXXXX";
    dir_ = mkdtemp(templ);
    setenv("ORVA_AUDIT_TMPDIR", dir_.c_str(), 1);
    bldr_utl_reset_audit_tmpdir();
    mf_verbosity = 0;
  }
  void TearDown() override {
    unsetenv("ORVA_AUDIT_TMPDIR");
    unsetenv("ORVA_SHELL_REQUIRED");
    bldr_utl_reset_audit_tmpdir();
    std::string cmd = "rm -rf " + dir_;
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
  }
  // Runs script with /bin/sh; returns the runner's result and sets status_.
  ks_status_t run(const std::string &script, const char *flags = nullptr, int silent = 0,
                  int ignore = 0, int listing = 0, const char *shell = "/bin/sh") {
    char *argv[] = {const_cast<char *>(shell), nullptr};
    return nimbrel_exec_make_script(shell, flags, 1, argv, environ, script.c_str(), silent, ignore,
                                    listing, 0, 0, nullptr, nullptr, &status_);
  }
  // Names left in the temporary directory.
  std::vector<std::string> leftovers() {
    std::vector<std::string> names;
    DIR *d = opendir(dir_.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr)
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    if (d) closedir(d);
    return names;
  }
  std::string f(const char *leaf) const { return dir_ + "/" + leaf; }
  std::string dir_;
  int32_t status_ = -1;
};

TEST_F(ScriptRunner, FailingLineStopsTheScriptUnlessIgnored) {
  Capture c;
  const std::string script = "touch " + f("one") + "\nfalse\ntouch " + f("two") + "\n";
  EXPECT_EQ(run(script), KS_ST_OK);
  EXPECT_EQ(status_, 1);
  EXPECT_EQ(access(f("one").c_str(), F_OK), 0);
  EXPECT_NE(access(f("two").c_str(), F_OK), 0);
  EXPECT_NE(c.text().find("*** Error code 1\n"), std::string::npos) << c.text();

  EXPECT_EQ(run(script, nullptr, 0, 1), KS_ST_OK);
  EXPECT_EQ(status_, 0);
  EXPECT_EQ(access(f("two").c_str(), F_OK), 0);
  EXPECT_NE(c.text().find("*** Error code 1 (ignored)\n"), std::string::npos) << c.text();
  EXPECT_TRUE(leftovers() == (std::vector<std::string>{"one", "two"}) ||
              leftovers() == (std::vector<std::string>{"two", "one"}));
}

TEST_F(ScriptRunner, DefaultFlagsStopAtTheFirstFailureOfAShellLine) {
  // With "-e" the shell stops after "false"; an ignored line runs without it.
  const std::string tail = "false; echo after > " + f("after") + "\n";
  struct Case {
    std::string line;
    const char *flags;
    bool after;
  } cases[] = {
      {tail, nullptr, false},
      {"-" + tail, nullptr, true},
      {tail, "", true},
      {tail, "-e", false},
  };
  for (const Case &c : cases) {
    unlink(f("after").c_str());
    Capture quiet;
    EXPECT_EQ(run(c.line, c.flags), KS_ST_OK);
    EXPECT_EQ(access(f("after").c_str(), F_OK) == 0, c.after)
        << c.line << " flags " << (c.flags ? c.flags : "null");
  }
}

TEST_F(ScriptRunner, EchoSilenceAndListing) {
  Capture c;
  run("@echo quiet > /dev/null\necho loud > /dev/null\n");
  EXPECT_EQ(c.text(), "\techo loud > /dev/null\n");
  Capture s;
  run("echo loud > /dev/null\n", nullptr, 1);
  EXPECT_EQ(s.text(), "");
  // Listing: every line shown, only '\' lines run.
  Capture l;
  run("#@touch " + f("shown") + "\n\\touch " + f("ran") + "\n", nullptr, 0, 0, 1);
  EXPECT_EQ(l.text(), "\ttouch " + f("shown") + "\n\ttouch " + f("ran") + "\n");
  EXPECT_NE(access(f("shown").c_str(), F_OK), 0);
  EXPECT_EQ(access(f("ran").c_str(), F_OK), 0);
}

TEST_F(ScriptRunner, MalformedScriptStopsAfterTheLinesBeforeIt) {
  Capture c;
  EXPECT_EQ(run("touch " + f("first") + "\ntouch " + f("second")), KS_ST_ERR);
  EXPECT_EQ(access(f("first").c_str(), F_OK), 0);
  EXPECT_NE(access(f("second").c_str(), F_OK), 0);
  EXPECT_NE(c.text().find("Malformed build script"), std::string::npos);
}

TEST_F(ScriptRunner, PlainLinesRunWithoutAShellUnlessOneIsRequired) {
  // A shell that records that it ran: direct execution leaves no trace of it.
  const std::string shell = f("sh");
  {
    std::ofstream s(shell);
    s << "#!/bin/sh\ntouch " << f("shell-ran") << "\nexec /bin/sh \"$@\"\n";
  }
  chmod(shell.c_str(), 0755);
  Capture c;
  EXPECT_EQ(run("touch " + f("x") + "\n", nullptr, 0, 0, 0, shell.c_str()), KS_ST_OK);
  EXPECT_EQ(access(f("x").c_str(), F_OK), 0);
  EXPECT_NE(access(f("shell-ran").c_str(), F_OK), 0);
  EXPECT_EQ(run("touch " + f("y") + " > /dev/null\n", nullptr, 0, 0, 0, shell.c_str()), KS_ST_OK);
  EXPECT_EQ(access(f("shell-ran").c_str(), F_OK), 0);
}

TEST_F(ScriptRunner, ShellWrittenWithFlagsRunsWithoutThem) {
  Capture c;
  EXPECT_EQ(run("touch " + f("z") + "\n", nullptr, 0, 0, 0, "/bin/sh -x"), KS_ST_OK);
  EXPECT_EQ(access(f("z").c_str(), F_OK), 0);
  EXPECT_NE(c.text().find("Shell flag(s) \"-x\" has been removed from shell \"/bin/sh -x\""),
            std::string::npos)
      << c.text();
  Capture none;
  EXPECT_EQ(run("true\n", nullptr, 0, 0, 0, "/no/such/shell"), KS_ST_ERR);
  EXPECT_NE(none.text().find("Cannot locate shell \"/no/such/shell\""), std::string::npos);
}

TEST_F(ScriptRunner, OneShellRunsTheWholeScriptInOneProcess) {
  // A variable set by one line is seen by the next: one shell ran them all.
  const std::string script = "@X=kept\n-false\necho $X > " + f("x") + "\n";
  char *argv[] = {const_cast<char *>("/bin/sh"), nullptr};
  Capture c;
  EXPECT_EQ(nimbrel_exec_make_script("/bin/sh", nullptr, 1, argv, environ, script.c_str(), 1, 0, 0,
                                     1, 0, nullptr, nullptr, &status_),
            KS_ST_OK);
  EXPECT_EQ(status_, 0);
  std::FILE *in = std::fopen(f("x").c_str(), "r");
  char buf[32] = "";
  ASSERT_NE(in, nullptr);
  EXPECT_NE(std::fgets(buf, sizeof buf, in), nullptr);
  std::fclose(in);
  EXPECT_STREQ(buf, "kept\n");
  EXPECT_EQ(nimbrel_exec_make_script("/bin/bash", nullptr, 1, argv, environ, script.c_str(), 1, 0,
                                     0, 1, 0, nullptr, nullptr, &status_),
            KS_ST_ERR);
}

TEST_F(ScriptRunner, CommandFileIsPrivateAndASquattedNameIsPassedOver) {
  // A name already taken in the shared directory (here a link a stranger left) is not used.
  char name[64];
  std::snprintf(name, sizeof name, "nimbrel.script.%05d", int(getpid()));
  ASSERT_EQ(symlink("/etc/passwd", f(name).c_str()), 0);
  Capture c;
  EXPECT_EQ(run("echo $$ > /dev/null\n"), KS_ST_OK);
  EXPECT_EQ(status_, 0);
  EXPECT_EQ(leftovers(), std::vector<std::string>{name});
  unlink(f(name).c_str());
}

}  // namespace
