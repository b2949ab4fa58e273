// Reuse and winkin end to end: a make in a view reuses its own derived objects while their records
// match, winks in those of other views, and rebuilds, saying why at -v, when anything the build
// used differs; never a stale reuse.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e_util.h"
#include "site_util.h"

using testing::HasSubstr;
using testing::Not;

namespace {

// Sets the file's modification time a while ahead.
void touch_later(const std::string &path) {
  struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 30, 0}};
  utimensat(AT_FDCWD, path.c_str(), later, 0);
}

// A VOB with a C source reaching a header through an include path, views of it, and programs run
// in a view's src directory. Every run of a build script appends its target to a log outside the
// views, so a test can tell a rebuild from a reuse.
class Reuse : public ::testing::Test {
 public:
  void SetUp() override { make({}); }

  // The VOB with files added to (or replacing) the default ones, and view v1.
  void make(const std::vector<site::File> &extra, const std::string &rule = "") {
    scratch_ = site_.dir() + "/scratch";
    site::write_file(scratch_ + "/.keep", "");
    std::vector<site::File> files = {
        {"src/hello.c", "#include \"greet.h\"\nint main(void) { return GREETING; }\n"},
        {"src/inc/greet.h", "#define GREETING 0\n"},
        {"src/Makefile", makefile(rule)},
    };
    for (const auto &f : extra) {
      bool replaced = false;
      for (auto &g : files)
        if (g.path == f.path) g.content = f.content, replaced = true;
      if (!replaced) files.push_back(f);
    }
    site_.make_vob("vob", files);
    site_.make_view("v1");
  }
  std::string makefile(const std::string &rule) const {
    return "LOG = " + scratch_ + "/log\n" +
           (rule.empty() ? "hello.o: hello.c\n\tcc -Iinc -c hello.c && echo hello.o >> $(LOG)\n" : rule);
  }
  std::string src(const std::string &view = "v1") const { return site_.path(view, "vob", "src"); }
  e2e::Result run(const std::string &view, const std::vector<std::string> &argv,
                  std::vector<std::string> env = {}) {
    env.push_back("ORVA_AUDIT_TMPDIR=" + scratch_);
    env.push_back("TMPDIR=" + scratch_);
    const char *path = std::getenv("PATH");
    env.push_back("PATH=" + e2e::bin_dir() + ":" + (path ? path : "/usr/bin:/bin"));
    return site_.run(argv, env, src(view));
  }
  // The number of build scripts run so far.
  int runs() const { return int(e2e::lines(site::read_file(scratch_ + "/log")).size()); }
  std::string describe(const std::string &view, const std::string &name, const std::string &field) {
    e2e::Result r = run(view, {"gammick", "describe", name});
    size_t at = r.out.find(field + ": ");
    return at == std::string::npos ? "" : r.out.substr(at + field.size() + 2, r.out.find('\n', at) - at - field.size() - 2);
  }
  void commit(const std::string &view, const std::string &message) {
    site_.git({"commit", "-q", "-a", "-m", message}, src(view));
  }

  site::Site site_;
  std::string scratch_;
};

TEST_F(Reuse, TheViewsOwnDerivedObjectIsReusedWhileItsRecordMatches) {
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  EXPECT_EQ(runs(), 1);
  e2e::Result r = run("v1", {"tolvick", "-v", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs(), 1);
  EXPECT_THAT(r.err + r.out, Not(HasSubstr("Cannot reuse")));
  EXPECT_EQ(describe("v1", "hello.o", "meta-type"), "DERIVED_OBJ");
}

TEST_F(Reuse, AChangedScriptIsShownWithItsDifferenceAndRebuilt) {
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  site::write_file(src() + "/Makefile", makefile("hello.o: hello.c\n\tcc -Iinc -O1 -c hello.c && echo hello.o >> $(LOG)\n"));
  e2e::Result r = run("v1", {"tolvick", "-v", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs(), 2);
  const std::string all = r.out + r.err;
  EXPECT_THAT(all, HasSubstr("Cannot reuse \"hello.o\" - build script mismatch"));
  EXPECT_THAT(all, HasSubstr("<<< current build script\n>>> \"hello.o\" build script"));
  size_t first = all.find("***************");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(all.find("***************", first + 1), std::string::npos);
  EXPECT_THAT(all, HasSubstr("-O1"));
}

TEST_F(Reuse, ANewVersionOfTheSourceIsAVersionMismatch) {
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  std::string old_do = describe("v1", "hello.o", "version");
  site::write_file(src() + "/hello.c", "#include \"greet.h\"\nint main(void) { return GREETING + 1; }\n");
  commit("v1", "A new version");
  e2e::Result r = run("v1", {"tolvick", "-v", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out + r.err, HasSubstr("Cannot reuse \"hello.o\" - version mismatch for \"hello.c\""));
  EXPECT_EQ(runs(), 2);
  EXPECT_NE(describe("v1", "hello.o", "version"), old_do);
}

TEST_F(Reuse, AnotherViewWinksTheDerivedObjectInAndPromotesIt) {
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  site_.make_view("v2");
  // The view selects what v1 selected: what that is, and that its files hold it, is learnt
  // without loading the version-control library (the loader lists what it loads).
  e2e::Result r = run("v2", {"tolvick", "hello.o"}, {"LD_DEBUG=files", "LD_DEBUG_OUTPUT=" + scratch_ + "/ld"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out + r.err, HasSubstr("Wink in derived object \"hello.o\""));
  EXPECT_EQ(runs(), 1);
  std::string loaded;
  for (const auto &f : std::filesystem::directory_iterator(scratch_))
    if (f.path().filename().string().starts_with("ld.")) loaded += site::read_file(f.path().string());
#ifdef VOSSEL_OWN_SQLITE
  // The database library is the product's own build, which binds its calls inside itself.
  EXPECT_THAT(loaded, HasSubstr("/" VOSSEL_OWN_SQLITE));
  EXPECT_THAT(loaded, Not(HasSubstr("/libsqlite3.so")));
#else
  EXPECT_THAT(loaded, HasSubstr("libsqlite3"));
#endif
  EXPECT_THAT(loaded, Not(HasSubstr("libgit2")));
  EXPECT_EQ(describe("v2", "hello.o", "version"), describe("v1", "hello.o", "version"));
  EXPECT_EQ(site::read_file(src("v2") + "/hello.o"), site::read_file(src("v1") + "/hello.o"));
  e2e::Result ls = run("v1", {"gammick", "lsdo"});
  EXPECT_THAT(ls.out, HasSubstr(src("v1") + "/hello.o  DERIVED_OBJ"));
  EXPECT_THAT(ls.out, HasSubstr("  shared\n"));
  // The winked-in object is reused in its new view as well.
  r = run("v2", {"tolvick", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out + r.err, Not(HasSubstr("Wink in")));
  EXPECT_EQ(runs(), 1);
}

TEST_F(Reuse, NoExecuteAnnouncesWinkinsWithoutDoingThem) {
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  site_.make_view("v3");
  e2e::Result r = run("v3", {"tolvick", "-n", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out + r.err, HasSubstr("Would wink in derived object \"hello.o\""));
  struct stat st;
  EXPECT_NE(lstat((src("v3") + "/hello.o").c_str(), &st), 0);
  EXPECT_TRUE(site::read_file(src("v3") + "/.tvick.state").size() <= 20) << "no record cached";
  e2e::Result ls = run("v1", {"gammick", "lsdo"});
  EXPECT_THAT(ls.out, Not(HasSubstr("shared"))) << "nothing was promoted";
}

// Winkin from the views a makefile allows, not from those it refuses.
struct ViewListCase {
  const char *name;
  const char *macro;
  bool winks_in;
};

void PrintTo(const ViewListCase &c, std::ostream *os) { *os << c.name; }

class ReuseViewLists : public Reuse, public ::testing::WithParamInterface<ViewListCase> {};

TEST_P(ReuseViewLists, DecideWhetherACandidateOfAViewCanBeWinkedIn) {
  const ViewListCase &c = GetParam();
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  site_.make_view("v2");
  site::write_file(src("v2") + "/Makefile", std::string(c.macro) + "\n" + makefile(""));
  e2e::Result r = run("v2", {"tolvick", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs(), c.winks_in ? 1 : 2) << r.out << r.err;
  EXPECT_EQ(describe("v2", "hello.o", "version") == describe("v1", "hello.o", "version"), c.winks_in);
}

INSTANTIATE_TEST_SUITE_P(
    Reuse, ReuseViewLists,
    ::testing::Values(ViewListCase{"Refused", "ORVA_NO_WINKIN_VIEWS = v1", false},
                      ViewListCase{"RefusedOther", "ORVA_NO_WINKIN_VIEWS = v9", true},
                      ViewListCase{"Allowed", "ORVA_WINKIN_VIEWS = v1", true},
                      ViewListCase{"AllowedOtherOnly", "ORVA_WINKIN_VIEWS = v2", false},
                      ViewListCase{"UnknownLetsThrough", "ORVA_WINKIN_VIEWS = nosuchview", true},
                      ViewListCase{"BlankAllowListReadsTheRefusals",
                                   "ORVA_WINKIN_VIEWS = \nORVA_NO_WINKIN_VIEWS = v1", false},
                      ViewListCase{"AllowListFirst", "ORVA_WINKIN_VIEWS = v1\nORVA_NO_WINKIN_VIEWS = v1", true}),
    [](const testing::TestParamInfo<ViewListCase> &i) { return std::string(i.param.name); });

TEST_F(Reuse, AFileOutsideTheVobsIsComparedBySizeAndChecksum) {
  const std::string ext = scratch_ + "/ext.h";
  site::write_file(ext, "#define EXT 1\n");
  site::write_file(src() + "/Makefile",
                   makefile("hello.o: hello.c " + ext + "\n\tcc -Iinc -c hello.c && echo hello.o >> $(LOG)\n"));
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  // Touched: a new time, the same data.
  struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 20, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, ext.c_str(), later, 0), 0);
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  EXPECT_EQ(runs(), 1);
  site::write_file(ext, "#define EXT 1\n ");
  e2e::Result r = run("v1", {"tolvick", "-d", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs(), 2);
  EXPECT_THAT(r.out + r.err, HasSubstr("Old file size: 14, new file size: 15"));
}

TEST_F(Reuse, VerbosityTwoPrintsTheStatisticsAndTimes) {
  e2e::Result r = run("v1", {"tolvick", "-d", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string all = r.out + r.err;
  EXPECT_THAT(all, HasSubstr("*** Config Lookup Statistics ***"));
  EXPECT_THAT(all, HasSubstr("Targets looked up:\t\t1\n"));
  for (const char *line : {"Time building (no nimbrels) (s)", "Time spent shopping (s)", "Time spent winking-in (s)",
                           "Time evaluating targets (s)", "Time stalled waiting for hosts (s)",
                           "Time stalled waiting for nimbrels (s)", "Time with parallel interference(s)",
                           "Time elapsed for build (s)"})
    EXPECT_THAT(all, HasSubstr(line));
  r = run("v1", {"tolvick", "-v", "hello.o"});
  EXPECT_THAT(r.out + r.err, Not(HasSubstr("Config Lookup Statistics")));
}

// The build handle a script found in its environment: the session number and the reference
// time in seconds ({0, 0} when it found none).
std::pair<long, long> session_of(const std::string &path) {
  const std::string text = site::read_file(path);
  long session = 0, sec = 0;
  if (std::sscanf(text.c_str(), "%ld.%*d:%ld", &session, &sec) != 2) return {0, 0};
  return {session, sec};
}

TEST_F(Reuse, ARunThatReusesEverythingWritesNothingToTheViewAndScriptsRunInASession) {
  site::write_file(src() + "/Makefile",
                   makefile("hello.o: hello.c\n\tcc -Iinc -c hello.c && echo hello.o >> $(LOG)"
                            " && echo \"$$VESSARY_AUDIT_BHANDLE\" > " + scratch_ + "/outer"
                            " && tolvick -f inner.mk\n"));
  site::write_file(src() + "/inner.mk", "inner.txt:\n\techo \"$$VESSARY_AUDIT_BHANDLE\" > " + scratch_ + "/inner\n");
  const long start = long(time(nullptr));
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  const long end = long(time(nullptr));
  ASSERT_EQ(runs(), 1);
  const auto first = session_of(scratch_ + "/outer");
  EXPECT_GT(first.first, 0) << "the script runs in a build session";
  EXPECT_GE(first.second, start) << "whose reference time is the start of the run";
  EXPECT_LE(first.second, end);
  EXPECT_EQ(session_of(scratch_ + "/inner"), first) << "a make the script runs joins it";

  // Nothing to do: the view's database is left exactly as it was.
  const std::string db = site_.home() + "/storage/v1.vws/view.db";
  const std::string before = site::read_file(db) + "|" + site::read_file(db + "-wal");
  e2e::Result r = run("v1", {"tolvick", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs(), 1);
  EXPECT_TRUE(before == site::read_file(db) + "|" + site::read_file(db + "-wal"));

  // A run that rebuilds has a session of its own again.
  site::write_file(src() + "/hello.c", "#include \"greet.h\"\nint main(void) { return GREETING + 1; }\n");
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  EXPECT_EQ(runs(), 2);
  const auto second = session_of(scratch_ + "/outer");
  EXPECT_GT(second.first, first.first);
  EXPECT_EQ(session_of(scratch_ + "/inner"), second);
}

TEST_F(Reuse, ATargetOfManyDependenciesIsReusedUntilOneOfThemChanges) {
  std::string objs, rules;
  for (int i = 0; i < 13; i++) {
    const std::string n = "c" + std::to_string(i);
    site::write_file(src() + "/" + n + ".c", "int " + n + "(void) { return " + std::to_string(i) + "; }\n");
    if (i < 12) objs += " " + n + ".o";
    rules += n + ".o: " + n + ".c\n\tcc -c " + n + ".c && echo " + n + ".o >> $(LOG)\n";
  }
  auto write_makefile = [&](const std::string &extra) {
    site::write_file(src() + "/Makefile",
                     makefile("lib.a:" + objs + extra + "\n\tar rc lib.a" + objs + extra +
                              " && echo lib.a >> $(LOG)\n" + rules));
  };
  write_makefile("");
  ASSERT_EQ(run("v1", {"tolvick"}).status, 0);
  ASSERT_EQ(runs(), 13);
  ASSERT_EQ(run("v1", {"tolvick"}).status, 0);
  EXPECT_EQ(runs(), 13);
  site::write_file(src() + "/c7.c", "int c7(void) { return 70; }\n");
  ASSERT_EQ(run("v1", {"tolvick"}).status, 0);
  EXPECT_EQ(runs(), 15) << "c7.o and lib.a";
  // A dependency the record does not have.
  ASSERT_EQ(run("v1", {"tolvick", "c12.o"}).status, 0);
  ASSERT_EQ(runs(), 16);
  write_makefile(" c12.o");
  e2e::Result r = run("v1", {"tolvick", "-v"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs(), 17);
  EXPECT_THAT(r.out + r.err, HasSubstr("Cannot reuse \"lib.a\""));
}

TEST_F(Reuse, ATargetWhoseScriptIsNotComparedIsReusedWithAnotherScript) {
  site::write_file(src() + "/opts.bos", ".NO_CMP_SCRIPT: hello.o\n");
  ASSERT_EQ(run("v1", {"tolvick", "-A", "opts.bos", "hello.o"}).status, 0);
  ASSERT_EQ(runs(), 1);
  site::write_file(src() + "/Makefile", makefile("hello.o: hello.c\n\tcc -Iinc -O1 -c hello.c && echo hello.o >> $(LOG)\n"));
  ASSERT_EQ(run("v1", {"tolvick", "-A", "opts.bos", "hello.o"}).status, 0);
  EXPECT_EQ(runs(), 1);
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  EXPECT_EQ(runs(), 2) << "compared without the option";
}

TEST_F(Reuse, VersionZeroOfANewBranchWinksInWhatItsPredecessorBuilt) {
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  site_.make_view("v2");
  site_.git({"checkout", "-q", "-b", "topic"}, src("v2"));
  e2e::Result r = run("v2", {"tolvick", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs(), 1) << "an element untouched on the new branch is the version it grows from";
  site::write_file(src("v2") + "/hello.c", "#include \"greet.h\"\nint main(void) { return 2; }\n");
  commit("v2", "Version 1 on the branch");
  r = run("v2", {"tolvick", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs(), 2);
}

TEST_F(Reuse, ADirectoryAffectsReuseOnlyWhenTheMakefileSaysSo) {
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  // A new tracked name in the build's directory: a new version of the directory.
  site::write_file(src() + "/other.c", "int other;\n");
  site_.git({"add", "other.c"}, src());
  commit("v1", "Another file");
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  EXPECT_EQ(runs(), 1);
  site::write_file(scratch_ + "/affects.mk", ".DIRECTORY_AFFECTS_REUSE: /vob/src\n");
  e2e::Result r = run("v1", {"tolvick", "-f", "Makefile", "-f", scratch_ + "/affects.mk", "-v", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs(), 2);
  EXPECT_THAT(r.out + r.err, HasSubstr("version mismatch for \".\""));
}

TEST_F(Reuse, RegistrationOfUnusualTargets) {
  // A target name of 1022 bytes is taken; one of 1023 is refused.
  std::string dir;
  for (char c = 'a'; c < 'a' + 9; c++) dir += (dir.empty() ? "" : "/") + std::string(99, c);
  site::write_file(src() + "/" + dir + "/.keep", "");
  std::string ok = dir + "/" + std::string(1022 - dir.size() - 1, 'x');
  std::string bad = ok + "y";
  site::write_file(src() + "/Makefile", makefile(ok + ":\n\techo > $@\n" + bad + ":\n\techo > $@\n"));
  e2e::Result r = run("v1", {"tolvick", ok});
  EXPECT_THAT(r.err, Not(HasSubstr("exceeds implementation limit")));
  r = run("v1", {"tolvick", bad});
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("Target pathname \"" + bad + "\" exceeds implementation limit"));
  // A directory, and a symbolic link the makefile names in .NO_CONFIG_MATCH_SLINKS, are made by
  // date stamps: once.
  site::write_file(src() + "/Makefile",
                   makefile(".NO_CONFIG_MATCH_SLINKS: lnk\nall: sub lnk\nsub:\n\tmkdir sub && echo sub >> $(LOG)\n"
                            "lnk:\n\tln -s hello.c lnk && echo lnk >> $(LOG)\n"));
  for (int i = 0; i < 2; i++) {
    r = run("v1", {"tolvick", "all"});
    EXPECT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(runs(), 2);
}

TEST_F(Reuse, WinkinBringsSiblingsAndMakesTheDirectoriesItNeeds) {
  site::write_file(src() + "/Makefile",
                   makefile("obj/hello.o: hello.c\n\tmkdir -p obj && cc -Iinc -c hello.c -o obj/hello.o && "
                            "cp obj/hello.o obj/hello.bak && echo hello.o >> $(LOG)\n"));
  ASSERT_EQ(run("v1", {"tolvick", "obj/hello.o"}).status, 0);
  site_.make_view("v2");
  site::write_file(src("v2") + "/Makefile", site::read_file(src() + "/Makefile"));
  e2e::Result r = run("v2", {"tolvick", "obj/hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs(), 1) << r.out << r.err;
  EXPECT_THAT(r.out + r.err, HasSubstr("Wink in derived object \"obj/hello.bak\""));
  EXPECT_EQ(describe("v2", "obj/hello.bak", "version"), describe("v1", "obj/hello.bak", "version"));
  EXPECT_EQ(describe("v2", "obj/hello.o", "meta-type"), "SHARED_DO");
}

TEST_F(Reuse, ARebuildWritesAFileOfItsOwnOverAWinkedInObject) {
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  const std::string built = site::read_file(src() + "/hello.o");
  site_.make_view("v2");
  ASSERT_EQ(run("v2", {"tolvick", "hello.o"}).status, 0);
  // The view's own build, by a script that writes into the object it finds there.
  site::write_file(src("v2") + "/Makefile",
                   makefile("hello.o: hello.c\n\tcc -Iinc -c hello.c -o t.o && cat t.o > hello.o && "
                            "echo x >> hello.o && echo hello.o >> $(LOG)\n"));
  e2e::Result r = run("v2", {"tolvick", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs(), 2);
  EXPECT_EQ(site::read_file(src() + "/hello.o"), built) << "the first view's object is untouched";
  site_.make_view("v3");
  r = run("v3", {"tolvick", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(site::read_file(src("v3") + "/hello.o"), built) << "the shared data is untouched";
}

TEST_F(Reuse, ANoExecuteRunLeavesCandidatesWithoutDataInTheVob) {
  ASSERT_EQ(run("v1", {"tolvick", "hello.o"}).status, 0);
  ASSERT_EQ(unlink((src() + "/hello.o").c_str()), 0);  // its only data
  site_.make_view("v2");
  for (int i = 0; i < 2; i++) {
    e2e::Result r = run("v2", {"tolvick", "-n", "-d", "hello.o"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out + r.err, HasSubstr("Candidates with no data:\t1\n")) << i;
  }
  e2e::Result r = run("v2", {"tolvick", "-d", "hello.o"});
  EXPECT_THAT(r.out + r.err, HasSubstr("Candidates with no data:\t1\n"));
  r = run("v2", {"tolvick", "-n", "-d", "hello.o"});
  EXPECT_THAT(r.out + r.err, HasSubstr("Candidates with no data:\t0\n")) << "the real run removed it";
}

TEST_F(Reuse, ANonCriticalDependencyIsNotComparedAndNeverMarkedInStoredRecords) {
  site::write_file(src() + "/stamp", "one\n");
  const std::string script = "\tcc -Iinc -c hello.c && cat stamp > /dev/null && echo hello.o >> $(LOG)\n";
  // The order-only separator of the GNU dialect.
  site::write_file(src() + "/Makefile", makefile("hello.o: hello.c | stamp\n" + script));
  ASSERT_EQ(run("v1", {"tolvick", "-C", "gnu", "hello.o"}).status, 0);
  site::write_file(src() + "/stamp", "two\n");
  // The record then comes from the VOB and goes into the record cache after the match.
  unlink((src() + "/.tvick.state").c_str());
  ASSERT_EQ(run("v1", {"tolvick", "-C", "gnu", "hello.o"}).status, 0);
  EXPECT_EQ(runs(), 1) << "behind the order-only separator: not compared";
  // The same record, now with the file as an ordinary dependency: it used "one".
  site::write_file(src() + "/Makefile", makefile("hello.o: hello.c stamp\n" + script));
  e2e::Result r = run("v1", {"tolvick", "-C", "gnu", "-v", "hello.o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs(), 2) << r.out << r.err;
}

TEST_F(Reuse, CoTargetsAreBuiltOnceAndReused) {
  site::write_file(src() + "/Makefile",
                   makefile("all: x.h x.c\nx.h + x.c: hello.c\n\techo h > x.h && echo c > x.c && echo x >> $(LOG)\n"));
  for (int i = 0; i < 2; i++) {
    e2e::Result r = run("v1", {"tolvick", "-d", "all"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(runs(), 1);
  EXPECT_EQ(describe("v1", "x.h", "meta-type"), "DERIVED_OBJ");
  EXPECT_EQ(describe("v1", "x.c", "meta-type"), "DERIVED_OBJ");
}

TEST_F(Reuse, WithLookupsOffTargetsAreDecidedByDateStampsAndStillRecorded) {
  site::write_file(src() + "/Makefile",
                   makefile("lib.a: hello.o\n\tar rc lib.a hello.o && echo lib.a >> $(LOG)\n"
                            "hello.o: hello.c\n\tcc -Iinc -c hello.c && echo hello.o >> $(LOG)\n"));
  ASSERT_EQ(run("v1", {"tolvick", "-T"}).status, 0);
  EXPECT_EQ(runs(), 2);
  EXPECT_EQ(describe("v1", "lib.a", "meta-type"), "DERIVED_OBJ");
  e2e::Result cr = run("v1", {"gammick", "catcr", "lib.a"});
  EXPECT_THAT(cr.out, HasSubstr("Declared dependencies:\n  hello.o  hello.o\n"));
  // A touched source is newer: by date stamps both are made again; by records, neither.
  touch_later(src() + "/hello.c");
  ASSERT_EQ(run("v1", {"tolvick"}).status, 0);
  EXPECT_EQ(runs(), 2);
  ASSERT_EQ(run("v1", {"tolvick", "-T"}).status, 0);
  EXPECT_EQ(runs(), 4);
}

// --- Never a stale reuse: each edit makes the next run rebuild; each no-edit reuses.

struct StaleCase {
  const char *name;
  std::vector<site::File> files;  // added to the VOB
  std::string rule;               // the makefile's rule ($(LOG) and $(EXT) are known)
  std::function<void(Reuse *)> edit;
  bool rebuilds;
  std::vector<std::string> args = {};  // of the second run
  std::function<void(Reuse *)> during = nullptr;  // runs beside the first build
  bool first_fails = false;
  bool settles = true;  // a third run reuses everything
};

void PrintTo(const StaleCase &c, std::ostream *os) { *os << c.name; }

class StaleReuse : public Reuse, public ::testing::WithParamInterface<StaleCase> {
 public:
  void SetUp() override {}
  std::string ext() const { return scratch_ + "/ext.h"; }
  void write(const std::string &rel, const std::string &content) { site::write_file(src() + "/" + rel, content); }
};

const char kCompile[] = "hello.o: hello.c $(EXT)\n\tcc -Iinc -Iinc2 -c hello.c -DMSG='\"$(MSG)\"' && echo hello.o >> $(LOG)\n";

TEST_P(StaleReuse, NeverReusesWhatTheBuildWouldMakeOtherwise) {
  const StaleCase &c = GetParam();
  scratch_ = site_.dir() + "/scratch";
  site::write_file(scratch_ + "/ext.h", "#define EXT 1\n");
  make(c.files, "EXT = " + ext() + "\nMSG = one\n" + (c.rule.empty() ? kCompile : c.rule));
  e2e::Result r;
  if (c.during) {
    std::thread build([&] { r = run("v1", {"tolvick", "-k"}); });
    c.during(this);
    build.join();
  } else {
    r = run("v1", {"tolvick", "-k"});
  }
  ASSERT_EQ(r.status, c.first_fails ? 1 : 0) << r.err;
  const int first = runs();
  ASSERT_GT(first + c.first_fails, 0);
  c.edit(this);
  std::vector<std::string> argv = {"tolvick", "-v"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  r = run("v1", argv);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs() > first, c.rebuilds) << r.out << r.err;
  // Whatever the second run decided, a third run finds it all reusable.
  if (!c.settles) return;
  const int second = runs();
  r = run("v1", argv);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(runs(), second) << r.out << r.err;
}

void touch(const std::string &path) {
  struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 30, 0}};
  utimensat(AT_FDCWD, path.c_str(), later, 0);
}

// Waits until the build has read its input, changes the input from outside the build, then lets
// the build end.
void edit_while_building(Reuse *t) {
  const std::string log = t->scratch_ + "/log";
  for (int i = 0; i < 1000 && access((log + ".started").c_str(), F_OK) != 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  site::write_file(t->src() + "/in.txt", "after\n");
  site::write_file(log + ".go", "");
}

// A header that script "a" rewrites between the builds of c.o and b.o, which both read it.
const std::vector<site::File> kRewrittenHeaderFiles = {
    {"src/gen.h", "#define X 1\n"},
    {"src/c.c", "#include \"gen.h\"\nint c(void) { return X; }\n"},
    {"src/b.c", "#include \"gen.h\"\nint b(void) { return X; }\n"},
};
const char kRewrittenHeaderRules[] =
    "first: c.o b.o\nall: c.o a b.o\nc.o: c.c\n\tcc -c c.c && echo c >> $(LOG)\n"
    "b.o: b.c\n\tcc -c b.c && echo b >> $(LOG)\n"
    "a:\n\techo '#define X 2' > gen.h && touch a\n";

const std::vector<site::File> kTwoIncludeDirs = {
    {"src/hello.c", "#include \"greet.h\"\n#include \"link.h\"\nint main(void) { return GREETING + LINKED; }\n"},
    {"src/inc2/greet.h", "#define GREETING 2\n"},
    {"src/inc/real.h", "#define LINKED 1\n"},
    {"src/inc/other.h", "#define LINKED 3\n"},
    {"src/inc/link.h", "-> real.h"},
};

INSTANTIATE_TEST_SUITE_P(
    Reuse, StaleReuse,
    ::testing::Values(
        StaleCase{"SourceChanged", kTwoIncludeDirs, "",
                  [](Reuse *t) { site::write_file(t->src() + "/hello.c", "#include \"greet.h\"\n#include \"link.h\"\nint main(void) { return 9; }\n"); },
                  true},
        StaleCase{"HeaderOnTheIncludePathChanged", kTwoIncludeDirs, "",
                  [](Reuse *t) { site::write_file(t->src() + "/inc/greet.h", "#define GREETING 5\n"); }, true},
        StaleCase{"HeaderBehindASymbolicLinkChanged", kTwoIncludeDirs, "",
                  [](Reuse *t) { site::write_file(t->src() + "/inc/real.h", "#define LINKED 7\n"); }, true},
        StaleCase{"SymbolicLinkPointedElsewhere", kTwoIncludeDirs, "",
                  [](Reuse *t) {
                    unlink((t->src() + "/inc/link.h").c_str());
                    ASSERT_EQ(symlink("other.h", (t->src() + "/inc/link.h").c_str()), 0);
                  },
                  true},
        StaleCase{"FileRenamedOverAnother", kTwoIncludeDirs, "",
                  [](Reuse *t) {
                    site::write_file(t->src() + "/inc/new.h", "#define GREETING 6\n");
                    ASSERT_EQ(rename((t->src() + "/inc/new.h").c_str(), (t->src() + "/inc/greet.h").c_str()), 0);
                  },
                  true},
        StaleCase{"InputDeletedSoAnotherIsFound", kTwoIncludeDirs, "",
                  [](Reuse *t) { ASSERT_EQ(unlink((t->src() + "/inc/greet.h").c_str()), 0); }, true},
        StaleCase{"ScriptChangedThroughAMacro", {}, "", [](Reuse *) {}, true, {"MSG=two"}},
        StaleCase{"FileOutsideTheVobsChangedInItsSecond", {}, "",
                  [](Reuse *t) { site::write_file(t->scratch_ + "/ext.h", "#define EXT 2\n"); }, true},
        // A declared input changed before the build ended fails the build: nothing is kept.
        StaleCase{"DeclaredInputEditedWhileTheBuildRan", {{"src/in.txt", "before\n"}},
                  "all: out.txt\nout.txt: in.txt\n\tcat in.txt > out.tmp && mv out.tmp out.txt && touch $(LOG).started && "
                  "while [ ! -e $(LOG).go ]; do sleep 0.02; done && echo out >> $(LOG)\n",
                  [](Reuse *) {}, true, {}, edit_while_building, true},
        // An input the makefile does not name, changed before the build ended: the record
        // describes what the build read, which is no longer there.
        StaleCase{"InputEditedWhileTheBuildRan", {{"src/in.txt", "before\n"}},
                  "all: out.txt\nout.txt:\n\tcat in.txt > out.tmp && mv out.tmp out.txt && touch $(LOG).started && "
                  "while [ ! -e $(LOG).go ]; do sleep 0.02; done && echo out >> $(LOG)\n",
                  [](Reuse *) {}, true, {}, edit_while_building},
        // Another script of the same run rewrites a checked-in file that a target reads: the
        // target read the old data when it was built, and another target already reused a record
        // of the old data earlier in the run.
        StaleCase{"TrackedFileRewrittenByAnotherScript",
                  kRewrittenHeaderFiles, kRewrittenHeaderRules,
                  [](Reuse *) {}, true, {"all"}, nullptr, false, false},
        // The same in a run of concurrent builds: a rebuild is started for the scheduler, and its
        // end is what makes the run forget the file it knew.
        StaleCase{"TrackedFileRewrittenByAnotherScriptOfAConcurrentRun",
                  kRewrittenHeaderFiles, kRewrittenHeaderRules,
                  [](Reuse *) {}, true, {"-J", "2", "all"}, nullptr, false, false},
        StaleCase{"NothingChanged", kTwoIncludeDirs, "", [](Reuse *) {}, false},
        StaleCase{"SourceTouched", kTwoIncludeDirs, "", [](Reuse *t) { touch(t->src() + "/hello.c"); }, false},
        StaleCase{"FileOutsideTheVobsTouched", {}, "", [](Reuse *t) { touch(t->scratch_ + "/ext.h"); }, false},
        StaleCase{"HeaderWrittenAgainAlike", kTwoIncludeDirs, "",
                  [](Reuse *t) {
                    unlink((t->src() + "/inc/greet.h").c_str());
                    site::write_file(t->src() + "/inc/greet.h", "#define GREETING 0\n");
                  },
                  false},
        StaleCase{"UnrelatedFileAdded", {}, "", [](Reuse *t) { site::write_file(t->src() + "/notes.txt", "x\n"); }, false},
        StaleCase{"SameMacroOnTheCommandLine", {}, "", [](Reuse *) {}, false, {"MSG=one"}}),
    [](const testing::TestParamInfo<StaleCase> &i) { return std::string(i.param.name); });

}  // namespace
