// The directory cache: existence from cached directory names, claims of the build, freshness.
#include "mf/mf_dirent.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "../e2e/site_util.h"
#include "capture_util.h"
#include "dbrpc/dbrpc_viewdb.h"
#include "dbrpc/dbrpc_vobdb.h"
#include "mf/mf_stat.h"
#include "mf_stat_util.h"
#include "view/view_xstat.h"

namespace {

// Sets the modification time of path to the given second.
void set_mtime(const std::string &path, time_t sec) {
  struct timespec times[2] = {{sec, 0}, {sec, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class MfDirentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    site_ = new site::Site();
    site_->make_vob("proj", {{"src/a.c", "int a;\n"}});
    site_->make_view("alpha");
  }
  static void TearDownTestSuite() {
    view_xstat_flush_cache();
    dbrpc_viewdb_close_all();
    dbrpc_vobdb_close_all();
    delete site_;
    site_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    dir_ = site_->dir() + "/plain";
    site::write_file(dir_ + "/a.c", "a\n");
    site::write_file(dir_ + "/sub/b.c", "b\n");
    mkdir((dir_ + "/emptydir").c_str(), 0777);
    symlink("sub", (dir_ + "/sublink").c_str());
    symlink("a.c", (dir_ + "/filelink").c_str());
    symlink("nowhere", (dir_ + "/dangling").c_str());
    ASSERT_EQ(mf_dirent_init(STG_AREA_HEAP), KS_ST_OK);
  }
  void TearDown() override {
    mf_dirent_term();
    mf_stat_finalize_cached_resolve_abspn();
    ASSERT_EQ(chdir(cwd_), 0);
    std::string rm = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(rm.c_str()), 0);
    view_xstat_flush_cache();
  }
  static std::string vob(const std::string &rel) { return site_->path("alpha", "proj", rel); }

  static site::Site *site_;
  char cwd_[PATH_MAX];
  std::string dir_;
};

site::Site *MfDirentTest::site_ = nullptr;

TEST_F(MfDirentTest, ExistenceFromDirectoryNames) {
  struct Case {
    std::string path;
    ks_status_t expected;
  };
  const Case cases[] = {
      {dir_ + "/a.c", KS_ST_OK},
      {dir_ + "/sub/b.c", KS_ST_OK},
      {dir_ + "/sub", KS_ST_OK},
      {dir_ + "/dangling", KS_ST_OK},
      {dir_ + "/missing.c", KS_ST_NOT_FOUND},
      {dir_ + "/nodir/a.c", KS_ST_NOT_FOUND},
      {dir_ + "/a.c/x", KS_ST_NOT_FOUND},            // below a file
      {dir_ + "/sublink/b.c", KS_ST_OK},             // a link to a directory reads like it
      {dir_ + "/filelink/a.c", KS_ST_NOT_FOUND},     // a link to a file holds nothing
      {dir_ + "/dangling/x", KS_ST_NOT_FOUND},
      {dir_ + "/emptydir/x", KS_ST_NOT_FOUND},
      {dir_ + "/./sub/../a.c", KS_ST_OK},
      {dir_ + "/" + std::string(PATH_MAX, 'x'), KS_ST_NOT_FOUND},  // too long to name a file
      {vob("src/a.c"), KS_ST_OK},
      {vob("src/b.c"), KS_ST_NOT_FOUND},
  };
  for (int round = 0; round < 2; round++) {
    for (const Case &c : cases)
      EXPECT_EQ(mf_dirent_exists(c.path.c_str()), c.expected) << c.path.substr(0, 200);
  }
  // Names in the current directory are looked up in the record of ".".
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  EXPECT_EQ(mf_dirent_exists("a.c"), KS_ST_OK);
  EXPECT_EQ(mf_dirent_exists("sub/b.c"), KS_ST_OK);
  EXPECT_EQ(mf_dirent_exists("b.c"), KS_ST_NOT_FOUND);
  ASSERT_EQ(chdir((dir_ + "/sub").c_str()), 0);
  EXPECT_EQ(mf_dirent_exists("b.c"), KS_ST_OK) << "the record of \".\" follows the directory";
}

TEST_F(MfDirentTest, DirectoryIsReadOnceUntilTheGenerationMoves) {
  const std::string file = dir_ + "/new.c";
  EXPECT_EQ(mf_dirent_exists(file.c_str()), KS_ST_NOT_FOUND);
  site::write_file(file, "n\n");
  int before = mfstat::lget_calls();
  EXPECT_EQ(mf_dirent_exists(file.c_str()), KS_ST_NOT_FOUND) << "served from the names read";
  EXPECT_EQ(mfstat::lget_calls(), before);
  EXPECT_EQ(mf_dirent_update(MF_DIRENT_INVALIDATE, nullptr), KS_ST_OK);
  EXPECT_EQ(mf_dirent_exists(file.c_str()), KS_ST_OK) << "a plain directory is read again";
}

TEST_F(MfDirentTest, EachReadLeavesExactlyTheNamesOnDisk) {
  // The names of a directory read again are brought up to date in place: rounds of files made
  // and removed, each checked against every name the directory held at some point.
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  struct Round {
    std::vector<std::string> made, removed;
  };
  const Round rounds[] = {
      {{"o1.o", "o2.o"}, {}},
      {{"o3.o"}, {"o1.o"}},
      {{}, {"a.c", "o2.o", "o3.o"}},
      {{"o1.o", "a.c"}, {}},
  };
  const std::vector<std::string> all = {"a.c", "o1.o", "o2.o", "o3.o", "sub", "emptydir"};
  for (size_t r = 0; r < std::size(rounds); r++) {
    SCOPED_TRACE("round " + std::to_string(r));
    for (const std::string &n : rounds[r].made) site::write_file(dir_ + "/" + n, "x\n");
    for (const std::string &n : rounds[r].removed) ASSERT_EQ(unlink((dir_ + "/" + n).c_str()), 0);
    mf_dirent_update(MF_DIRENT_INVALIDATE, nullptr);
    for (const std::string &n : all) {
      struct stat st;
      const ks_status_t on_disk = lstat(n.c_str(), &st) == 0 ? KS_ST_OK : KS_ST_NOT_FOUND;
      EXPECT_EQ(mf_dirent_exists(n.c_str()), on_disk) << n;
    }
  }
}

TEST_F(MfDirentTest, ClaimsOfTheBuild) {
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  struct Step {
    const char *what;
    int kind;
    const char *claimed;  // relative to dir_, claimed through mf_dirent_update
    const char *tested;   // relative to dir_
    ks_status_t expected;
  };
  const Step steps[] = {
      {"read", -1, nullptr, "made.c", KS_ST_NOT_FOUND},
      {"created, relative claim", MF_DIRENT_FILE_CREATED, "made.c", "made.c", KS_ST_OK},
      {"deleted, absolute test", MF_DIRENT_FILE_DELETED, "made.c", "/a.c", KS_ST_OK},
      {"deleted", MF_DIRENT_FILE_DELETED, "a.c", "a.c", KS_ST_NOT_FOUND},
      {"created in a subdirectory", MF_DIRENT_FILE_CREATED, "./sub/c.o", "sub/c.o", KS_ST_NOT_FOUND},
      {"read the subdirectory", -1, nullptr, "sub/b.c", KS_ST_OK},
      {"created in a read subdirectory", MF_DIRENT_FILE_CREATED, "./sub/c.o", "sub/c.o", KS_ST_OK},
      {"directory deleted", MF_DIRENT_DIR_DELETED, "sub", "sub/b.c", KS_ST_NOT_FOUND},
      {"directory deleted, in its parent", -1, nullptr, "sub", KS_ST_NOT_FOUND},
      {"file created in the deleted directory", MF_DIRENT_FILE_CREATED, "sub/d.o", "sub/d.o",
       KS_ST_OK},
  };
  for (const Step &s : steps) {
    SCOPED_TRACE(s.what);
    if (s.claimed) {
      EXPECT_EQ(mf_dirent_update(s.kind, s.claimed), KS_ST_OK);
    }
    std::string tested = s.tested[0] == '/' ? dir_ + s.tested : s.tested;
    EXPECT_EQ(mf_dirent_exists(tested.c_str()), s.expected);
  }
  // The file system is believed again once the generation moves.
  mf_dirent_update(MF_DIRENT_INVALIDATE, nullptr);
  EXPECT_EQ(mf_dirent_exists("a.c"), KS_ST_OK);
  EXPECT_EQ(mf_dirent_exists("made.c"), KS_ST_NOT_FOUND);
  EXPECT_EQ(mf_dirent_exists("sub/b.c"), KS_ST_OK);
}

TEST_F(MfDirentTest, ClaimForAnUnknownDirectoryChangesNothing) {
  EXPECT_EQ(mf_dirent_update(MF_DIRENT_FILE_DELETED, (dir_ + "/a.c").c_str()), KS_ST_OK);
  EXPECT_EQ(mf_dirent_update(MF_DIRENT_DIR_DELETED, (dir_ + "/sub").c_str()), KS_ST_OK);
  EXPECT_EQ(mf_dirent_exists((dir_ + "/a.c").c_str()), KS_ST_OK);
  EXPECT_EQ(mf_dirent_exists((dir_ + "/sub/b.c").c_str()), KS_ST_OK);
}

TEST_F(MfDirentTest, UnknownUpdateKindIsAnInternalError) {
  mftest::Captured captured;
  EXPECT_EQ(mf_dirent_update(9, "x"), KS_ST_ERR);
  EXPECT_EQ(captured.err(), "tool: Error: Unknown dir-ent update request (9)\n");
}

TEST_F(MfDirentTest, UnchangedTimestampIsTrustedOnlyInsideVobs) {
  // After the generation moves, a directory whose time did not change is read again only when
  // it lies outside the versioned file system.
  struct Case {
    const char *where;
    std::string dir;
    ks_status_t expected;
  };
  const Case cases[] = {
      {"in a VOB", vob("src"), KS_ST_NOT_FOUND},
      {"outside", dir_, KS_ST_OK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.where);
    set_mtime(c.dir, 1000000);
    const std::string file = c.dir + "/sneaked.c";
    EXPECT_EQ(mf_dirent_exists(file.c_str()), KS_ST_NOT_FOUND);
    site::write_file(file, "s\n");
    set_mtime(c.dir, 1000000);
    mf_dirent_bump_generation();
    EXPECT_EQ(mf_dirent_exists(file.c_str()), c.expected);
    unlink(file.c_str());
  }
}

TEST_F(MfDirentTest, DirectoryReadWithinAClockTickIsCheckedAgain) {
  // Two changes within one tick of the file system's clock leave the same time behind: a
  // directory read while its time is that recent is not trusted by its time alone.
  const std::string dir = vob("src");
  const std::string first = dir + "/first.c";
  const std::string second = dir + "/second.c";
  site::write_file(first, "1\n");
  // A time that is still "now" when the directory is read, however slow the machine is.
  struct timespec now;
  ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &now), 0);
  now.tv_sec += 60;
  struct timespec times[2] = {now, now};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.c_str(), times, 0), 0);
  EXPECT_EQ(mf_dirent_exists(first.c_str()), KS_ST_OK);
  site::write_file(second, "2\n");
  ASSERT_EQ(utimensat(AT_FDCWD, dir.c_str(), times, 0), 0);
  mf_dirent_bump_generation();
  EXPECT_EQ(mf_dirent_exists(second.c_str()), KS_ST_OK);
  unlink(first.c_str());
  unlink(second.c_str());
}

TEST_F(MfDirentTest, EmptyDirectoryIsCheckedAtEveryTest) {
  struct Case {
    std::string dir;
    int checks;  // extended stats of the directory for two tests
  };
  mkdir(vob("empty").c_str(), 0777);
  const Case cases[] = {
      {vob("empty"), 2},
      {vob("src"), 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.dir);
    int before = mfstat::lget_calls();
    EXPECT_EQ(mf_dirent_exists((c.dir + "/x").c_str()), KS_ST_NOT_FOUND);
    EXPECT_EQ(mf_dirent_exists((c.dir + "/x").c_str()), KS_ST_NOT_FOUND);
    EXPECT_EQ(mfstat::lget_calls() - before, c.checks);
  }
}

}  // namespace
