// The make program building: date-stamp decisions, goals, script prefixes and error codes, the
// make options, cycles and rule errors, implicit rules, the dialects' special targets, the
// environment of scripts, command files, state dumps on signals and interrupted builds.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "e2e_util.h"
#include "site_util.h"

using testing::ContainsRegex;
using testing::HasSubstr;
using testing::Not;

namespace {

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Sets the modification time of path to seconds since the epoch.
void set_mtime(const std::string &path, time_t seconds) {
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// Lines of text in order, each found after the one before (other lines may come between).
void expect_in_order(const std::string &text, const std::vector<std::string> &parts) {
  size_t at = 0;
  for (const std::string &p : parts) {
    size_t found = text.find(p, at);
    ASSERT_NE(found, std::string::npos) << "\"" << p << "\" missing in order in:\n" << text;
    at = found + p.size();
  }
}

// A scratch directory outside every view with a makefile in it.
class Build : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = site_.dir() + "/work";
    tmp_ = site_.dir() + "/tmp";
    site::write_file(tmp_ + "/.keep", "");
  }
  void makefile(const std::string &text, const std::string &name = "Makefile") {
    site::write_file(dir_ + "/" + name, text);
  }
  void file(const std::string &name, const std::string &text = "x\n") {
    site::write_file(dir_ + "/" + name, text);
  }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  e2e::Result make(const std::vector<std::string> &args, std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {"tolvick"};
    argv.insert(argv.end(), args.begin(), args.end());
    env.insert(env.begin(), "ORVA_AUDIT_TMPDIR=" + tmp_);
    env.push_back("ORVA_TVICK_SIMPLE_NAME=1");
    // $(MAKE) is "tolvick", found along the search path.
    const char *path = std::getenv("PATH");
    env.push_back("PATH=" + e2e::bin_dir() + ":" + (path ? path : "/usr/bin:/bin"));
    return site_.run(argv, env, dir_);
  }
  site::Site site_;
  std::string dir_, tmp_;
};

TEST_F(Build, DateStampsDecideWhatIsRebuilt) {
  makefile("out: in\n\tcp in out\n");
  file("in", "one\n");
  e2e::Result r = make({});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("\tcp in out\n"));
  EXPECT_EQ(site::read_file(path("out")), "one\n");

  r = make({});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("`out' is up to date."));
  EXPECT_THAT(r.out, Not(HasSubstr("cp in")));

  // A newer dependency rebuilds; the same modification time does not.
  file("in", "two\n");
  set_mtime(path("out"), 1000000000);
  set_mtime(path("in"), 1000000010);
  r = make({});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(site::read_file(path("out")), "two\n");
  set_mtime(path("in"), 1000000020);
  set_mtime(path("out"), 1000000020);
  r = make({});
  EXPECT_THAT(r.out, HasSubstr("`out' is up to date."));

  // -u rebuilds what is up to date.
  r = make({"-u"});
  EXPECT_THAT(r.out, HasSubstr("\tcp in out\n"));
}

TEST_F(Build, NoProgramLoadsALibraryFromTheDirectoryItRunsIn) {
  makefile("all:\n\t@echo made\n");
  for (const char *lib : {"libc.so.6", "libm.so.6", "libsqlite3.so.0"}) file(lib, "not a library\n");
  e2e::Result r = make({});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("made"));
  r = site_.run({"gammick", "lsvob"}, {}, dir_);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, Not(HasSubstr("loading shared libraries")));
}

TEST_F(Build, GoalsThatNameNoTarget) {
  makefile("all:\n\t@echo all\n");
  file("README");
  e2e::Result r = make({"-r", "README"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("\"README\" is up to date."));
  r = make({"-r", "nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr(" Don't know how to make \"nope\". Stop."));
  makefile("X = 1\n");
  r = make({});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("No target to build"));
}

TEST_F(Build, FirstTargetIsTheDefaultGoalUnlessMainNamesOne) {
  makefile(".c.o:\n\t@echo suffix\n%.x: %.y\n\t@echo pattern\nfirst:\n\t@echo first\nsecond:\n\t@echo second\n");
  e2e::Result r = make({"-r"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::lines(r.out)[0], "first");
  EXPECT_THAT(r.out, Not(HasSubstr("second")));
  makefile("first:\n\t@echo first\nsecond:\n\t@echo second\n.MAIN: second\n");
  r = make({"-r"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("second"));
  EXPECT_THAT(r.out, Not(HasSubstr("first")));
}

TEST_F(Build, ScriptPrefixesOptionsAndErrorCodes) {
  makefile("t:\n\t@echo quiet\n\techo loud\n\t-false\n\tfalse\n\techo never\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> in_order;
    std::vector<std::string> absent;
  } cases[] = {
      {{"t"}, 1,
       {"quiet\n", "\techo loud\n", "loud\n", "\tfalse\n", "*** Error code 1 (ignored)\n",
        "\tfalse\n", "*** Error code 1\n"},
       {"never"}},
      {{"-i", "t"}, 0,
       {"*** Error code 1 (ignored)\n", "*** Error code 1 (ignored)\n", "\techo never\n", "never\n"},
       {}},
      {{"-s", "t"}, 1, {"quiet\n", "loud\n"}, {"\techo", "\tfalse", "never"}},
  };
  for (const Case &c : cases) {
    e2e::Result r = make(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    expect_in_order(r.out, c.in_order);
    for (const std::string &a : c.absent) EXPECT_THAT(r.out, Not(HasSubstr(a))) << c.args[0];
    if (c.status) {
      EXPECT_THAT(r.err, HasSubstr("Build script failed for \"t\""));
    }
  }
}

TEST_F(Build, ShellStopsAtAFailureUnlessTheLineIgnoresErrors) {
  makefile("t:\n\tfalse; echo after\nu:\n\t-false; echo after\n");
  e2e::Result r = make({"t"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, Not(HasSubstr("after\n\n")));
  EXPECT_THAT(r.out, HasSubstr("*** Error code 1\n"));
  r = make({"u"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("after\n"));
}

TEST_F(Build, KeepGoingBuildsWhatItCan) {
  makefile("all: bad good\nbad:\n\tfalse\ngood:\n\ttouch good\n");
  e2e::Result r = make({});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(exists(path("good")));
  r = make({"-k"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(exists(path("good")));
  EXPECT_THAT(r.out, HasSubstr("\"all\" not remade because of sub-target rebuild errors."));
}

TEST_F(Build, NoExecuteShowsScriptsAndRunsOnlyRecursiveMakes) {
  makefile("all:\n\ttouch x\n\t$(MAKE) -f sub.mk\n");
  makefile("all:\n\ttouch y\n", "sub.mk");
  e2e::Result r = make({"-n"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("\ttouch x\n"));
  EXPECT_THAT(r.out, HasSubstr("\ttouch y\n"));  // the sub-make ran and showed its script
  EXPECT_FALSE(exists(path("x")));
  EXPECT_FALSE(exists(path("y")));
  makefile("all:\n\ttouch x\n");
  r = make({"-n"});
  EXPECT_THAT(r.out, HasSubstr("\ttouch x\n"));
  EXPECT_FALSE(exists(path("x")));
}

TEST_F(Build, QuestionModeAnswersThroughTheExitStatus) {
  makefile("out: in\n\tcp in out\n.DONE:\n\ttouch done\n");
  file("in");
  e2e::Result r = make({"-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(exists(path("out")));
  ASSERT_EQ(make({}).status, 0);
  r = make({"-q"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_FALSE(exists(path("done")));
  // A goal that cannot be examined is no "nothing to do".
  EXPECT_EQ(make({"-q", "nosuchgoal"}).status, 1);
}

TEST_F(Build, CyclesAreWarnedAboutAndBroken) {
  makefile("top: mid\n\t@echo top\nmid: top\n\t@echo mid\n");
  e2e::Result r = make({"top"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("Cycle in dependency graph?"));
  EXPECT_THAT(r.err, HasSubstr("\"top\" was already seen."));
  expect_in_order(r.out, {"mid\n", "top\n"});
  // The BSD-style dialects stop instead.
  r = make({"-C", "sgismake", "top"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("Cycle in dependency graph?"));
  EXPECT_THAT(r.out, Not(HasSubstr("top")));
}

TEST_F(Build, RuleErrorsOfTheMakefile) {
  makefile("x: a\n\t@echo one\nx:: b\n\t@echo two\n");
  e2e::Result r = make({"x"});
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("Double colon rule after earlier single colon rule, target \"x\"."));
  makefile("x:\n\t@echo first\nx:\n\t@echo second\n");
  r = make({"x"});
  EXPECT_THAT(r.err, HasSubstr("Too many command lines for \"x\""));
  EXPECT_THAT(r.out, HasSubstr("first"));
  r = make({"-C", "gnu", "x"});
  EXPECT_THAT(r.err, HasSubstr("Too many command lines for \"x\""));
  EXPECT_THAT(r.out, HasSubstr("second"));
}

TEST_F(Build, ImplicitRulesDefaultAndSearchDirectories) {
  makefile(".SUFFIXES:\n.SUFFIXES: .o .c .y\n.c.o:\n\t@echo c $< $*\n.y.o:\n\t@echo y $< $*\n");
  file("x.c");
  file("x.y");
  e2e::Result r = make({"-r", "x.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("c x.c x"));

  makefile(".SUFFIXES: .o .c .y\n.c.o:\n\t@echo c $<\n.y.o:\n\t@echo y $<\nx.o: x.y\n");
  r = make({"-r", "-C", "sgismake", "x.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("y x.y"));

  makefile("%.o: %.c\n\t@echo \"$@ from $<\"\n%.c: %.y\n\t@echo \"$@ from $<\"; touch $@\n");
  for (const char *dialect : {"std", "gnu"}) {
    std::remove(path("x.c").c_str());
    r = make({"-r", "-C", dialect, "x.o"});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_in_order(r.out, {"x.c from x.y", "x.o from x.c"});
  }

  makefile(".DEFAULT:\n\t@echo \"default $@ <$<>\"\nall: missing.txt\n\t@echo all\n");
  r = make({});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_in_order(r.out, {"default missing.txt <missing.txt>", "all"});

  makefile("VPATH = src\n.SUFFIXES: .o .c\n.c.o:\n\t@echo compile $<\n");
  file("src/z.c");
  r = make({"-r", "z.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("compile src/z.c"));
}

TEST_F(Build, TargetGroupBuildsOnce) {
  makefile("a + b: x\n\t@echo once; touch a b\n");
  file("x");
  e2e::Result r = make({"a", "b"});
  ASSERT_EQ(r.status, 0) << r.err;
  size_t first = r.out.find("once");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(r.out.find("once", first + 1), std::string::npos) << r.out;
  EXPECT_THAT(r.err, Not(HasSubstr("parallel")));
}

TEST_F(Build, SunInitDoneAndFailed) {
  const std::string specials = ".INIT:\n\t@echo init\n.DONE:\n\t@echo done\n.FAILED:\n\t@echo failed\n";
  makefile(specials + "all:\n\t@echo all\n");
  e2e::Result r = make({"-C", "sun"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_in_order(r.out, {"init\n", "all\n", "done\n"});
  EXPECT_THAT(r.out, Not(HasSubstr("failed")));
  makefile(specials + "all:\n\tfalse\n");
  r = make({"-C", "sun"});
  EXPECT_EQ(r.status, 1);
  expect_in_order(r.out, {"init\n", "failed\n"});
  EXPECT_THAT(r.out, Not(HasSubstr("done\n")));
  // A goal that cannot be made fails the run as a failed script does.
  r = make({"-C", "sun", "nosuchgoal"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("failed\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("done\n")));
}

TEST_F(Build, BsdBeginEndAndTheEpilogOfDeferredLines) {
  const std::string specials = ".BEGIN:\n\t@echo begin\n.END:\n\t@echo end\n";
  makefile(specials + "all:\n\t@echo all\n");
  e2e::Result r = make({"-C", "sgismake"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_in_order(r.out, {"begin\n", "all\n", "end\n"});
  makefile(specials + "all:\n\tfalse\n");
  r = make({"-C", "sgismake"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, Not(HasSubstr("end\n")));

  makefile("all: a b\na:\n\t@echo a1\n\t...\n\t@echo a-late\nb:\n\t@echo b1\n");
  r = make({"-C", "sgismake"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_in_order(r.out, {"a1\n", "b1\n", "a-late\n"});
  makefile("all: a\na:\n\t@echo a1\n\t...\n\t@echo a-late\n.END:\n\t@echo end\n");
  r = make({"-C", "sgismake"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("Name conflict between epilog target \".END\""));
}

TEST_F(Build, ScriptsSeeMakeargsAndMakeflags) {
  makefile("all:\n\t@echo '[$(MAKEARGS)] [$(ORVA_MAKE_COMPAT)]'\n\t@echo \"[$$MAKEFLAGS]\"\n");
  e2e::Result r = make({"-k", "X=1"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> out = e2e::lines(r.out);
  ASSERT_GE(out.size(), 2u) << r.out;
  EXPECT_EQ(out[0], "[ \"X=1\"] [std]");
  EXPECT_THAT(out[1], ContainsRegex("^\\[.*k.*\\]$"));
  // A MAKEFLAGS inherited from a parent does not stand in for the run's own.
  r = make({"-s"}, {"MAKEFLAGS=-k"});
  EXPECT_THAT(r.out, ContainsRegex("\\[[^]]*s[^]]*\\]"));
}

TEST_F(Build, MakeRelatedMacrosOfEachDialect) {
  makefile("all:\n\t@echo \"MF=[$(MAKEFLAGS)] C=[$(ORVA_CONC)] MFL=[$(MFLAGS)] PM=[$(PMAKE)] "
           "ENV=[$$ORVA_MAKEFLAGS]\"\n");
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string line;
  } cases[] = {
      {{"-k"}, {}, "MF=[k] C=[00000] MFL=[] PM=[] ENV=[k]"},
      {{"-J", "3", "-i"}, {}, "MF=[i] C=[00003] MFL=[] PM=[] ENV=[i]"},
      {{"-C", "sgismake", "-k"}, {}, "MF=[k] C=[00000] MFL=[-C sgismake -k] PM=[-C sgismake -k]"},
      {{"-C", "sun", "-k"}, {"MFLAGS=from-environment"}, "MF=[k] C=[00000] MFL=[-C sun -k] PM=[]"},
  };
  for (const Case &c : cases) {
    e2e::Result r = make(c.args, c.env);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr(c.line)) << c.args[0];
  }
  // In the sun dialect the makefile's own MFLAGS stays.
  makefile("MFLAGS = mine\nall:\n\t@echo \"MFL=[$(MFLAGS)]\"\n");
  EXPECT_THAT(make({"-C", "sun", "-k"}).out, HasSubstr("MFL=[mine]"));
}

TEST_F(Build, GnuMakeoverridesPassDefinitionsToSubMakes) {
  makefile("all:\n\t@echo \"A=$(A) B C=$(B C) MO=[$$MAKEOVERRIDES] CV=[$$ORVA_CMDL_VARS]\"\n");
  e2e::Result r = make({"-C", "gnu", "A=5", "X=a b;c"}, {"MAKEOVERRIDES=A=1 B\\ C=2 junk"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("A=5 "));
  // The inherited definitions first, those of the command line after them (replacing A=1).
  EXPECT_THAT(r.out, HasSubstr("MO=[B\\ C=2 A=5 X=a\\ b\\;c]"));
  EXPECT_THAT(r.out, HasSubstr("CV=[B\\ C=2 A=5 X=a\\ b\\;c]"));
}

TEST_F(Build, ConcurrentBuildsRunInTurnWithoutExecutors) {
  makefile("all: a b c\na:\n\t@echo a; touch a\nb:\n\t@echo b; touch b\nc: a\n\t@echo c; touch c\n"
           ".NOTPARALLEL: a b\n");
  e2e::Result r = make({"-J", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_in_order(r.out, {"a\n", "c\n"});
  EXPECT_TRUE(exists(path("a")) && exists(path("b")) && exists(path("c")));
  r = make({"-J", "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, Not(HasSubstr("touch")));
  makefile("all: bad good\nbad:\n\tfalse\ngood:\n\ttouch good\n");
  r = make({"-J", "2"});
  EXPECT_EQ(r.status, 1);
}

TEST_F(Build, GnuSubMakesSeeTheNextMakeLevel) {
  makefile("all:\n\t@echo level=$(MAKELEVEL)\n\t@$(MAKE) -f sub.mk\n");
  makefile("all:\n\t@echo level=$(MAKELEVEL)\n", "sub.mk");
  e2e::Result r = make({"-C", "gnu"}, {"MAKELEVEL="});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_in_order(r.out, {"level=0\n", "Entering directory", "level=1\n", "Leaving directory"});
}

TEST_F(Build, ShellFlagsInTheShellNameAreRemoved) {
  makefile("SHELL = /bin/sh -x\nall:\n\t@echo hi >/dev/null\n");
  e2e::Result r = make({});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("Shell flag(s) \"-x\" has been removed from shell \"/bin/sh -x\". "
                               "Use \"ORVA_SHELL_FLAGS\" to define the shell flag(s)."));
}

TEST_F(Build, CommandFilesAreRemovedAndTheTemporaryDirectoryMustExist) {
  makefile("all:\n\t@echo a | cat > /dev/null\n\t@echo b && true\n");
  e2e::Result r = make({});
  ASSERT_EQ(r.status, 0) << r.err;
  e2e::Result ls = e2e::run({"/bin/ls", "-A", tmp_});
  EXPECT_EQ(ls.out, ".keep\n");
  r = make({}, {"ORVA_AUDIT_TMPDIR=" + site_.dir() + "/nonexistent"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("The specified temporary directory \"" + site_.dir() +
                               "/nonexistent\" does not exist"));
}

// A make started in the background, its output in files, for signals sent while a script runs.
class Running {
 public:
  Running(const std::string &dir, const std::vector<std::string> &args,
          const std::vector<std::string> &env) {
    out_ = dir + "/../bg.out";
    err_ = dir + "/../bg.err";
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);  // a group of its own, as a terminal's foreground job has
      int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(o, 1);
      dup2(e, 2);
      if (chdir(dir.c_str()) != 0) _exit(126);
      for (const std::string &v : env) putenv(strdup(v.c_str()));
      std::string prog = e2e::bin_dir() + "/tolvick";
      std::vector<char *> argv = {const_cast<char *>(prog.c_str())};
      for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(prog.c_str(), argv.data());
      _exit(127);
    }
  }
  // Waits until path exists (at most 20 s).
  static bool wait_for(const std::string &path) {
    for (int i = 0; i < 2000 && !exists(path); i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return exists(path);
  }
  // SIGINT as a terminal sends it, to the whole group; other signals to the make alone.
  void signal(int sig) { kill(sig == SIGINT ? -pid_ : pid_, sig); }
  // The exit status (128 + signal when killed).
  int wait() {
    int ws = 0;
    waitpid(pid_, &ws, 0);
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  }
  std::string out() const { return site::read_file(out_); }
  std::string err() const { return site::read_file(err_); }

 private:
  pid_t pid_ = -1;
  std::string out_, err_;
};

TEST_F(Build, StateDumpsOnSigusr1AndSigusr2) {
  makefile("t:\n\ttouch started; while [ ! -f stop ]; do sleep 0.05; done\n");
  Running run(dir_, {"t"}, {"ORVA_AUDIT_TMPDIR=" + tmp_});
  ASSERT_TRUE(Running::wait_for(path("started")));
  // Two requests that arrive together give one dump: the make is stopped while both are sent, so
  // a loaded machine cannot run the first dump before the second request comes.
  run.signal(SIGSTOP);
  run.signal(SIGUSR1);
  run.signal(SIGUSR1);
  run.signal(SIGCONT);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  run.signal(SIGUSR2);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  file("stop");
  EXPECT_EQ(run.wait(), 0);
  std::string err = run.err();
  size_t one = err.find("Received SIGUSR1, dumping BCH");
  ASSERT_NE(one, std::string::npos) << err;
  EXPECT_EQ(err.find("Received SIGUSR1", one + 1), std::string::npos) << "two dumps:\n" << err;
  expect_in_order(err, {"Received SIGUSR1, dumping BCH", "\tbch to_resolve:", "Ending SIGUSR1 processing",
                        "Received SIGUSR2, dumping BCH", "\tbch to_resolve:",
                        "Ending SIGUSR2 processing"});
  // The verbosity the second dump turned on shows in later traces.
  EXPECT_THAT(err.substr(err.find("Ending SIGUSR2")), HasSubstr("Exit bldr_ctl"));
}

TEST_F(Build, InterruptRemovesTheHalfWrittenTargetUnlessPrecious) {
  const std::string script = "\techo partial > $@; touch started; sleep 30; echo done >> $@\n";
  for (int sig : {SIGINT, SIGTERM}) {
    for (bool precious : {false, true}) {
      std::remove(path("started").c_str());
      std::remove(path("out").c_str());
      makefile("out:\n" + script + (precious ? ".PRECIOUS: out\n" : ""));
      Running run(dir_, {"out"}, {"ORVA_AUDIT_TMPDIR=" + tmp_});
      ASSERT_TRUE(Running::wait_for(path("started")));
      run.signal(sig);
      EXPECT_EQ(run.wait(), 1) << sig;
      EXPECT_EQ(exists(path("out")), precious) << sig << " precious " << precious;
      EXPECT_THAT(run.out(), HasSubstr(precious ? "*** \"out\" preserved." : "***  \"out\" removed."));
    }
  }
  e2e::Result ls = e2e::run({"/bin/ls", "-A", tmp_});
  EXPECT_EQ(ls.out, ".keep\n");
}

// The same make in a view of a VOB: its targets are built there too.
TEST(BuildInView, BuildsInAViewByDateStamps) {
  site::Site site;
  site.make_vob("proj", {{"src/Makefile", "hello: hello.c\n\tcp hello.c hello\n"},
                         {"src/hello.c", "int main;\n"}});
  site.make_view("v");
  const std::string src = site.path("v", "proj", "src");
  e2e::Result r = site.run({"tolvick"}, {}, src);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("\tcp hello.c hello\n"));
  EXPECT_EQ(site::read_file(src + "/hello"), "int main;\n");
  r = site.run({"tolvick"}, {}, src);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("`hello' is up to date."));
  // Command files may not lie in a view; the message names the variable that chose the place.
  site::write_file(src + "/Makefile", "x:\n\t@echo a > x\n");
  r = site.run({"tolvick"}, {"ORVA_AUDIT_TMPDIR=", "ZELVANE_BLD_AUDIT_TMPDIR=", "TMPDIR=" + src}, src);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("Invalid audit file directory \"" + src +
                               "\", specified by environment variable \"TMPDIR\""));
}

}  // namespace
