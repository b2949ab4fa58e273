// The stat cache and the uncached existence and time queries, over a site with a VOB and a view.
#include "mf/mf_stat.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "../e2e/site_util.h"
#include "capture_util.h"
#include "dbrpc/dbrpc_viewdb.h"
#include "dbrpc/dbrpc_vobdb.h"
#include "mf/mf_utl.h"
#include "mf_stat_util.h"
#include "tbs/tbs_status.h"
#include "view/view_xstat.h"

namespace {

const std::vector<site::File> kFiles = {
    {"src/a.c", "int a;\n"},
    {"link", "-> src/a.c"},
    {"dangling", "-> nowhere"},
};

// Raises the make verbosity for the traces of a test.
class Verbosity {
 public:
  explicit Verbosity(int level) : saved_(mf_verbosity) { mf_verbosity = level; }
  ~Verbosity() { mf_verbosity = saved_; }

 private:
  int32_t saved_;
};

class MfStatTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    site_ = new site::Site();
    site_->make_vob("proj", kFiles);
    site_->make_view("alpha");
    site::write_file(site_->path("alpha", "proj", "private.c"), "int p;\n");
    site::write_file(site_->dir() + "/outside/plain.c", "int o;\n");
  }
  static void TearDownTestSuite() {
    view_xstat_flush_cache();
    dbrpc_viewdb_close_all();
    dbrpc_vobdb_close_all();
    delete site_;
    site_ = nullptr;
  }
  void SetUp() override {
    mf_stat_reread_switch();
    handle_ = mf_stat_init();
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    mf_stat_term(handle_);
    mf_stat_reread_switch();
    view_xstat_flush_cache();
  }
  static std::string p(const std::string &rel) { return site_->path("alpha", "proj", rel); }

  static site::Site *site_;
  mf_stat_handle_t handle_ = nullptr;
};

site::Site *MfStatTest::site_ = nullptr;

TEST_F(MfStatTest, SecondQueryIsServedFromTheCacheUnlessSwitchedOff) {
  const std::string file = p("src/a.c");
  for (bool switched_off : {false, true}) {
    SCOPED_TRACE(switched_off ? "TOLVICK_NO_STAT_CACHE set" : "cache on");
    mftest::ScopedEnv env("TOLVICK_NO_STAT_CACHE", switched_off ? "1" : nullptr);
    mf_stat_reread_switch();
    mf_stat_term(handle_);
    handle_ = mf_stat_init();
    int before = mfstat::lget_calls();
    view_xstat_t vstat;
    time_t when = 0;
    ASSERT_EQ(mf_stat_view_info(handle_, file.c_str(), 0, &vstat, nullptr, nullptr, nullptr),
              KS_ST_OK);
    ASSERT_EQ(mf_stat_obj_exists(handle_, file.c_str()), KS_ST_OK);
    ASSERT_EQ(mf_stat_get_dtm(handle_, file.c_str(), 0, &when), KS_ST_OK);
    EXPECT_EQ(mfstat::lget_calls() - before, switched_off ? 3 : 1);
  }
}

TEST_F(MfStatTest, TimesAndExistenceDoNotAskForTheIdentity) {
  const std::string file = p("src/a.c");
  const int xstats = mfstat::lget_calls(), fstats = mfstat::fstat_calls();
  time_t when = 0;
  ASSERT_EQ(mf_stat_obj_exists(handle_, file.c_str()), KS_ST_OK);
  ASSERT_EQ(mf_stat_get_dtm(handle_, file.c_str(), 0, &when), KS_ST_OK);
  EXPECT_NE(when, 0);
  EXPECT_EQ(mfstat::fstat_calls() - fstats, 1);
  EXPECT_EQ(mfstat::lget_calls(), xstats);
  // The identity, asked for afterwards, is fetched then, once.
  view_xstat_t vstat;
  ASSERT_EQ(mf_stat_view_info(handle_, file.c_str(), 0, &vstat, nullptr, nullptr, nullptr),
            KS_ST_OK);
  EXPECT_EQ(vstat.mtype, VOB_MTYPE_VERSION);
  ASSERT_EQ(mf_stat_view_info(handle_, file.c_str(), 0, &vstat, nullptr, nullptr, nullptr),
            KS_ST_OK);
  EXPECT_EQ(mfstat::lget_calls() - xstats, 1);
}

// Every query answers the same with the cache on and off.
struct InfoCase {
  const char *name;
  std::string path;  // relative to the VOB in the view, or absolute when it starts with "/"
  int follow;
  ks_status_t status;
  uint32_t ftype;      // when the object exists
  vob_mtype_t mtype;   // when the object exists
};

TEST_F(MfStatTest, ViewInfoStatusesWithAndWithoutTheCache) {
  const std::string outside = site_->dir() + "/outside/plain.c";
  const InfoCase cases[] = {
      {"checked-in version", "src/a.c", 0, KS_ST_OK, VIEW_FTYPE_REG, VOB_MTYPE_VERSION},
      {"view-private file", "private.c", 0, KS_ST_OK, VIEW_FTYPE_REG, VOB_MTYPE_VIEW_PRIVATE},
      {"directory", "src", 1, KS_ST_OK, VIEW_FTYPE_DIR, VOB_MTYPE_DIR_VERSION},
      {"link itself", "link", 0, KS_ST_OK, VIEW_FTYPE_LNK, VOB_MTYPE_SLINK},
      {"link followed", "link", 1, KS_ST_OK, VIEW_FTYPE_REG, VOB_MTYPE_VERSION},
      {"dangling link itself", "dangling", 0, KS_ST_OK, VIEW_FTYPE_LNK, VOB_MTYPE_SLINK},
      {"dangling link followed", "dangling", 1, KS_ST_NOT_FOUND, 0, 0},
      {"missing", "nothing.c", 0, KS_ST_NOT_FOUND, 0, 0},
      {"below a file", "src/a.c/x", 1, KS_ST_NOT_FOUND, 0, 0},
      {"outside every VOB", outside, 0, KS_ST_NOT_IN_VOB, VIEW_FTYPE_REG, VOB_MTYPE_NULL},
  };
  for (bool switched_off : {false, true}) {
    mftest::ScopedEnv env("TOLVICK_NO_STAT_CACHE", switched_off ? "1" : nullptr);
    mf_stat_reread_switch();
    for (const InfoCase &c : cases) {
      SCOPED_TRACE(std::string(c.name) + (switched_off ? " (no cache)" : " (cache)"));
      std::string path = c.path[0] == '/' ? c.path : p(c.path);
      // Twice: the second answer comes from the entry the first one made.
      for (int round = 0; round < 2; round++) {
        view_xstat_t vstat;
        std::memset(&vstat, 0xa5, sizeof vstat);
        tbs_oid_t vob_oid;
        ASSERT_EQ(mf_stat_view_info(handle_, path.c_str(), c.follow, &vstat, &vob_oid, nullptr,
                                    nullptr),
                  c.status);
        if (c.status == KS_ST_NOT_FOUND) continue;
        EXPECT_EQ(vstat.fstat.type, c.ftype);
        EXPECT_EQ(vstat.mtype, c.mtype);
        EXPECT_EQ(tbs_oid_is_null(&vob_oid), c.mtype == VOB_MTYPE_NULL);
      }
    }
  }
  for (const char *empty : {"", static_cast<const char *>(nullptr)})
    EXPECT_EQ(mf_stat_view_info(handle_, empty, 1, nullptr, nullptr, nullptr, nullptr),
              KS_ST_NOT_FOUND);
}

TEST_F(MfStatTest, DanglingLinkExistsAsALink) {
  for (bool switched_off : {false, true}) {
    mftest::ScopedEnv env("TOLVICK_NO_STAT_CACHE", switched_off ? "1" : nullptr);
    mf_stat_reread_switch();
    EXPECT_EQ(mf_stat_obj_exists(handle_, p("dangling").c_str()), KS_ST_OK);
    EXPECT_EQ(mf_stat_obj_exists(handle_, p("nothing.c").c_str()), KS_ST_NOT_FOUND);
    EXPECT_EQ(mf_utl_obj_exists(p("dangling").c_str()), KS_ST_OK);
  }
}

TEST_F(MfStatTest, ModificationTimes) {
  const std::string file = p("private.c");
  struct stat st;
  ASSERT_EQ(lstat(file.c_str(), &st), 0);
  const time_t untouched = 12345;
  for (bool switched_off : {false, true}) {
    mftest::ScopedEnv env("TOLVICK_NO_STAT_CACHE", switched_off ? "1" : nullptr);
    mf_stat_reread_switch();
    time_t when = untouched;
    EXPECT_EQ(mf_stat_get_dtm(handle_, file.c_str(), 0, &when), KS_ST_OK);
    EXPECT_EQ(when, st.st_mtime);
    when = untouched;
    EXPECT_EQ(mf_stat_get_dtm(handle_, p("nothing.c").c_str(), 1, &when), KS_ST_NOT_FOUND);
    EXPECT_EQ(when, untouched);
    EXPECT_EQ(mf_stat_get_dtm(handle_, p("dangling").c_str(), 1, &when), KS_ST_NOT_FOUND);
    EXPECT_EQ(when, untouched);
    EXPECT_EQ(mf_utl_get_dtm(p("nothing.c").c_str(), 0, &when), KS_ST_NOT_FOUND);
    EXPECT_EQ(when, untouched);
  }
}

TEST_F(MfStatTest, SelectiveInvalidationSeesAChangedFile) {
  const std::string file = p("changing.c");
  site::write_file(file, "1\n");
  struct timespec times[2] = {{1000000, 0}, {1000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  time_t when = 0;
  ASSERT_EQ(mf_stat_get_dtm(handle_, file.c_str(), 0, &when), KS_ST_OK);
  EXPECT_EQ(when, 1000000);
  times[1].tv_sec = 2000000;
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  ASSERT_EQ(mf_stat_get_dtm(handle_, file.c_str(), 0, &when), KS_ST_OK);
  EXPECT_EQ(when, 1000000) << "the cache answers until told otherwise";
  mf_stat_inval_obj(handle_, file.c_str());
  ASSERT_EQ(mf_stat_get_dtm(handle_, file.c_str(), 0, &when), KS_ST_OK);
  EXPECT_EQ(when, 2000000);

  // A file that appears after it was found missing.
  const std::string later = p("later.c");
  EXPECT_EQ(mf_stat_obj_exists(handle_, later.c_str()), KS_ST_NOT_FOUND);
  site::write_file(later, "x\n");
  EXPECT_EQ(mf_stat_obj_exists(handle_, later.c_str()), KS_ST_NOT_FOUND);
  mf_stat_inval_obj(handle_, later.c_str());
  EXPECT_EQ(mf_stat_obj_exists(handle_, later.c_str()), KS_ST_OK);
  unlink(later.c_str());
  unlink(file.c_str());
}

TEST_F(MfStatTest, SelectiveInvalidationSeesALinkPointedElsewhere) {
  const std::string one = p("one.c"), two = p("two.c"), link = p("plink");
  site::write_file(one, "1\n");
  site::write_file(two, "22222\n");
  ASSERT_EQ(symlink("one.c", link.c_str()), 0);
  auto size_through_link = [&]() -> uint64_t {
    view_xstat_t vstat{};
    EXPECT_EQ(mf_stat_view_info(handle_, link.c_str(), 1, &vstat, nullptr, nullptr, nullptr), KS_ST_OK);
    return vstat.fstat.size;
  };
  EXPECT_EQ(size_through_link(), 2u);
  ASSERT_EQ(unlink(link.c_str()), 0);
  ASSERT_EQ(symlink("two.c", link.c_str()), 0);
  EXPECT_EQ(size_through_link(), 2u) << "the cache answers until told otherwise";
  mf_stat_inval_obj(handle_, link.c_str());
  view_xstat_flush_cache();
  EXPECT_EQ(size_through_link(), 6u);
  unlink(link.c_str());
  unlink(one.c_str());
  unlink(two.c_str());
}

TEST_F(MfStatTest, MassInvalidationKeepsOnlyCheckedInVersions) {
  struct Case {
    const char *rel;
    int follow;
    bool kept;
  };
  const Case cases[] = {
      {"src/a.c", 0, true},      // checked-in version
      {"link", 1, true},         // link to a checked-in version
      {"link", 0, false},        // the same link never followed
      {"private.c", 0, false},   // view-private file
      {"src", 0, false},         // directory
      {"nothing.c", 0, false},   // missing
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.rel) + (c.follow ? " followed" : ""));
    mf_stat_term(handle_);
    handle_ = mf_stat_init();
    std::string path = p(c.rel);
    mf_stat_view_info(handle_, path.c_str(), c.follow, nullptr, nullptr, nullptr, nullptr);
    mf_stat_invalidate(handle_);
    int before = mfstat::lget_calls();
    mf_stat_view_info(handle_, path.c_str(), c.follow, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(mfstat::lget_calls() - before, c.kept ? 0 : 1);
  }
}

TEST_F(MfStatTest, FlushForgetsCheckedInVersionsToo) {
  for (const char *rel : {"src/a.c", "link", "private.c"}) {
    SCOPED_TRACE(rel);
    std::string path = p(rel);
    mf_stat_view_info(handle_, path.c_str(), 1, nullptr, nullptr, nullptr, nullptr);
    mf_stat_flush(handle_);
    int before = mfstat::lget_calls();
    mf_stat_view_info(handle_, path.c_str(), 1, nullptr, nullptr, nullptr, nullptr);
    EXPECT_GT(mfstat::lget_calls() - before, 0);
  }
}

TEST_F(MfStatTest, ViewFailureIsReportedAndTriedAgain) {
  const std::string file = p("src/a.c");
  {
    mfstat::FailingPath failing(file, KS_ST_ERR);
    mftest::Captured captured;
    EXPECT_EQ(mf_stat_obj_exists(handle_, file.c_str()), KS_ST_ERR);
    EXPECT_NE(captured.err().find(file), std::string::npos) << captured.err();
    EXPECT_NE(captured.err().find(tbs_strerror(KS_ST_ERR)), std::string::npos);
  }
  int before = mfstat::fstat_calls();
  EXPECT_EQ(mf_stat_obj_exists(handle_, file.c_str()), KS_ST_OK);
  EXPECT_EQ(mfstat::fstat_calls() - before, 1);

  // The uncached existence test reports other failures as its own.
  mfstat::FailingPath failing(file, KS_ST_ERR);
  mftest::Captured captured;
  EXPECT_EQ(mf_utl_obj_exists(file.c_str()), KS_ST_ERR);
  EXPECT_EQ(captured.err(), "tool: Error: Unable to check existence of \"" + file + "\" - " +
                                tbs_strerror(KS_ST_ERR) + "\n");
}

TEST_F(MfStatTest, InvalidationTraces) {
  const std::string file = p("src/a.c");
  mf_stat_obj_exists(handle_, file.c_str());
  Verbosity verbose(3);
  struct Case {
    const char *name;
    bool null_handle;
    bool switched_off;
    const char *path;
    const char *expected;
  };
  const Case cases[] = {
      {"null handle", true, false, "x", "mf_stat_inval_obj called with NULL stat handle, ignoring.\n"},
      {"switched off", false, true, "x", "mf_stat_inval_obj called with disabled cache, ignoring.\n"},
      {"null pathname", false, false, nullptr,
       "mf_stat_inval_obj errored canonicalizing (null), ignoring.\n"},
      {"no entry", false, false, "/no/entry", "mf_stat_inval_obj found no entry for /no/entry, ignoring.\n"},
      {"entry", false, false, file.c_str(), "Selectively invalidated:\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    mftest::ScopedEnv env("TOLVICK_NO_STAT_CACHE", c.switched_off ? "1" : nullptr);
    mf_stat_reread_switch();
    mftest::Captured captured;
    mf_stat_inval_obj(c.null_handle ? nullptr : handle_, c.path);
    EXPECT_NE(captured.err().find(c.expected), std::string::npos) << captured.err();
  }
}

TEST_F(MfStatTest, DumpOfAnEntry) {
  Verbosity verbose(3);
  const std::string file = p("src/a.c");
  mftest::Captured captured;
  ASSERT_EQ(mf_stat_view_info(handle_, file.c_str(), 0, nullptr, nullptr, nullptr, nullptr),
            KS_ST_OK);
  std::string err = captured.err();
  for (const std::string &line :
       {"MF_STAT_VIEW_LGET_XSTAT on \"" + file + "\"\n", std::string("Queried:\n"),
        "----- Object at \"" + file + "\" -----\n", std::string("  flags: !LINK, EXISTS, IN_VOB\n"),
        std::string("  vstat.fstat.type : REG\n"), std::string("  vstat.mtype : VERSION\n"),
        std::string("  vstat.fstat.nlink : 1\n")})
    EXPECT_NE(err.find(line), std::string::npos) << line << "\nin:\n" << err;
  EXPECT_NE(err.find("  vstat.fstat.mode : IRUSR, IWUSR"), std::string::npos) << err;
}

TEST(MfStatResolve, ResolvedPathnames) {
  ASSERT_EQ(mf_stat_init_cached_resolve_abspn(STG_AREA_HEAP), KS_ST_OK);
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  char buf[PATH_MAX];
  for (int round = 0; round < 2; round++) {
    ASSERT_EQ(mf_stat_cached_resolve_abspn(".", buf, sizeof buf, 0), KS_ST_OK);
    EXPECT_STREQ(buf, cwd);
  }
  {
    // A remembered name that does not fit the caller's buffer.
    mftest::Captured captured;
    char small[4];
    EXPECT_EQ(mf_stat_cached_resolve_abspn(".", small, sizeof small, 0), KS_ST_NAME_TOO_LONG);
    EXPECT_EQ(captured.err(), std::string("tool: Error: Target pathname exceeded length of supplied "
                                          "buffer (4 bytes)\n\t\"") +
                                  cwd + "\"\n");
  }
  {
    // A relative name is resolved against the directory the process is in now.
    char templ[] = "/tmp/mf-stat-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    char real[PATH_MAX];
    ASSERT_NE(realpath(templ, real), nullptr);
    ASSERT_EQ(chdir(templ), 0);
    ASSERT_EQ(mf_stat_cached_resolve_abspn(".", buf, sizeof buf, 0), KS_ST_OK);
    EXPECT_STREQ(buf, real);
    ASSERT_EQ(chdir(cwd), 0);
    rmdir(templ);
  }
  {
    mftest::Captured captured;
    std::string too_long = "/" + std::string(PATH_MAX, 'x');
    EXPECT_EQ(mf_stat_cached_resolve_abspn(too_long.c_str(), buf, sizeof buf, 0), KS_ST_ERR);
    EXPECT_NE(captured.err().find("Unable to resolve target pathname"), std::string::npos);
  }
  EXPECT_EQ(mf_stat_finalize_cached_resolve_abspn(), KS_ST_OK);
}

}  // namespace
