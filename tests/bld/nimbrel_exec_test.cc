// The script runner: lines run directly or through the shell, the default "-e" and its absence
// for ignored lines, echo and listing mode, malformed scripts, shells given with flags, and the
// command files it leaves behind (none), and what the child of a line inherits.
#include "bld/nimbrel_exec.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// The value of a "Name:\t<hex>" line of a /proc status text, or ~0 when missing.
unsigned long long status_mask(const std::string &text, const std::string &name) {
  size_t at = text.find(name + ":\t");
  if (at == std::string::npos) return ~0ULL;
  return std::strtoull(text.c_str() + at + name.size() + 2, nullptr, 16);
}

TEST_F(ScriptRunner, ChildInheritsEnvironmentDescriptorsSignalsAndGroup) {
  // A program that writes what it inherited: run directly, and as a child of the shell.
  const std::string probe = f("probe");
  {
    std::ofstream s(probe);
    s << "#!/bin/sh\n{ echo \"env=$PROBE_VAR\"; cat /proc/$$/status; echo \"pgrp=$(cut -d' ' "
         "-f5 /proc/$$/stat)\"; echo \"fds=$(ls /proc/$$/fd | tr '\\n' ' ')\"; } > \"$1\"\n";
  }
  chmod(probe.c_str(), 0755);
  setenv("PROBE_VAR", "seen", 1);
  const int open_fd = 57, closed_fd = 58;
  int null_fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(null_fd, 0);
  ASSERT_EQ(dup2(null_fd, open_fd), open_fd);
  ASSERT_EQ(dup3(null_fd, closed_fd, O_CLOEXEC), closed_fd);
  close(null_fd);
  sigset_t usr1, old_mask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigprocmask(SIG_BLOCK, &usr1, &old_mask);
  void (*old_usr2)(int) = signal(SIGUSR2, SIG_IGN);
  Capture c;
  EXPECT_EQ(run(probe + " " + f("direct") + "\n"), KS_ST_OK);
  EXPECT_EQ(run(probe + " " + f("shell") + " < /dev/null\n"), KS_ST_OK);
  // The shell unblocks every signal when it starts: the mask is seen by a program run directly.
  EXPECT_EQ(run("cp /proc/self/status " + f("mask") + "\n"), KS_ST_OK);
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  signal(SIGUSR2, old_usr2);
  close(open_fd);
  close(closed_fd);
  unsetenv("PROBE_VAR");
  for (const char *how : {"direct", "shell"}) {
    std::ifstream in(f(how));
    std::stringstream text;
    text << in.rdbuf();
    const std::string t = text.str();
    EXPECT_NE(t.find("env=seen\n"), std::string::npos) << how << ": " << t;
    EXPECT_NE(t.find("pgrp=" + std::to_string(getpgrp()) + "\n"), std::string::npos) << how;
    EXPECT_NE(t.find(" 57 "), std::string::npos) << how << ": an inheritable descriptor";
    EXPECT_EQ(t.find(" 58 "), std::string::npos) << how << ": a descriptor closed on exec";
    EXPECT_TRUE(status_mask(t, "SigIgn") & (1ULL << (SIGUSR2 - 1))) << how << ": ignored signal";
  }
  std::ifstream in(f("mask"));
  std::stringstream mask;
  mask << in.rdbuf();
  EXPECT_TRUE(status_mask(mask.str(), "SigBlk") & (1ULL << (SIGUSR1 - 1))) << mask.str();
}

TEST_F(ScriptRunner, AProgramTheSystemCannotStartRunsThroughTheShell) {
  // An executable text without an interpreter line: the shell runs it as a script.
  const std::string plain = f("plain");
  {
    std::ofstream s(plain);
    s << "touch " << f("ran") << "\n";
  }
  chmod(plain.c_str(), 0755);
  Capture c;
  EXPECT_EQ(run(plain + "\n"), KS_ST_OK);
  EXPECT_EQ(status_, 0);
  EXPECT_EQ(access(f("ran").c_str(), F_OK), 0) << c.text();
  std::vector<std::string> left = leftovers();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"plain", "ran"})) << "no command file left";
}

}  // namespace
