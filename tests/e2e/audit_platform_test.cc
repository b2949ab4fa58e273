// Audits driven through the platform's calls in a process that links the platform: its own
// examinations, its children, the environment handed to them, and the shared state with the device.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bld/bldr_cr.h"
#include "bld/bldr_cr_audit.h"
#include "bld/bldr_cr_audit_table.h"
#include "bld/bldr_utl.h"
#include "audit_util.h"
#include "e2e_util.h"
#include "ks/evutl.h"
#include "site_util.h"
#include "view/view_audit.h"

namespace {

class PlatformAuditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.make_vob("v1", {{"src/a.c", "int a;\n"}, {"src/b.c", "int b;\n"}});
    site_.make_view("t1");
    src_ = site_.path("t1", "v1", "src");
    audit_ = site_.dir() + "/audit";
    e2e::set_build_view("t1");
  }
  void TearDown() override {
    uint64_t flags = 0;
    view_audit_get_state(nullptr, nullptr, 0, &flags);
    if (flags & VIEW_AUDIT_FLAG_RECORDING) view_audit_stop();
  }
  ks_status_t read(const std::string &path, bldr_cr_audit_table_t *t) {
    return e2e::read_audit_file(path, t);
  }
  static std::vector<bldr_cr_audit_obj_t *> named(bldr_cr_audit_table_t &t, const std::string &leaf) {
    return e2e::audit_records_named(t, leaf);
  }
  site::Site site_;
  std::string src_, audit_;
};

TEST_F(PlatformAuditTest, OwnExaminationsAndChildren) {
  setenv("ORVA_AUDIT_TMPDIR", site_.dir().c_str(), 1);
  bldr_utl_reset_audit_tmpdir();
  char path[1024], pid[16];
  uint32_t seq;
  const char *dir, *host;
  ASSERT_EQ(bldr_cr_init_audit(path, sizeof path, src_.c_str(), &seq, &dir, &host, pid, sizeof pid),
            KS_ST_OK);
  ASSERT_EQ(bldr_cr_mark_audit(BLDR_CR_MARKER_BUILD_SCRIPT), KS_ST_OK);
  e2e::Result r = e2e::run({"/bin/sh", "-c", "cat a.c > a.o"}, {}, src_);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(bldr_cr_stop_audit(), KS_ST_OK);
  unsetenv("ORVA_AUDIT_TMPDIR");
  bldr_utl_reset_audit_tmpdir();
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(path, &t), KS_ST_OK);
  auto src = named(t, "src");
  ASSERT_EQ(src.size(), 1u);
  EXPECT_TRUE(src[0]->flags & BLDR_OBJ_INITIAL_DIR) << "the initial directory examined after marker 0";
  auto a = named(t, "a.c");
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0]->flags, uint32_t(BLDR_OBJ_LOOKED_UP | BLDR_OBJ_READ));
  auto o = named(t, "a.o");
  ASSERT_EQ(o.size(), 1u);
  EXPECT_TRUE(o[0]->flags & BLDR_OBJ_WRITTEN);
  EXPECT_EQ(bldr_cr_cleanup_audit_files(path, seq, dir, host, pid), KS_ST_OK);
}

TEST_F(PlatformAuditTest, EnvironmentOfChildren) {
  struct Case {
    const char *what;
    bool audit;
    bool override_first;
  } cases[] = {
      {"no audit", false, false},
      {"audit", true, false},
      {"audit, default overridden before it started", true, true},
  };
  for (const auto &c : cases) {
    if (c.override_first) {
      evutl_env_t *snap = nullptr;
      ASSERT_EQ(evutl_copy_default_environ(EVUTL_DEFAULT_ENV, &snap), KS_ST_OK);
      ASSERT_EQ(evutl_override_default_environ(snap), KS_ST_OK);
      evutl_free(snap);
    }
    if (c.audit) {
      ASSERT_EQ(view_audit_start(audit_.c_str(), 1), KS_ST_OK) << c.what;
    }
    evutl_env_t *env = nullptr;
    ASSERT_EQ(evutl_copy_default_environ(EVUTL_DEFAULT_ENV, &env), KS_ST_OK);
    const char *file = evutl_getenv(env, "VESSARY_AUDIT_FILE");
    const char *pre = evutl_getenv(env, "LD_PRELOAD");
    if (c.audit) {
      EXPECT_EQ(std::string(file ? file : ""), audit_) << c.what;
      EXPECT_NE(std::string(pre ? pre : "").find("libvosselvessary.so"), std::string::npos) << c.what;
      EXPECT_NE(std::string(evutl_getenv(env, "ASAN_OPTIONS") ? evutl_getenv(env, "ASAN_OPTIONS") : "")
                    .find("verify_asan_link_order=0"),
                std::string::npos);
    } else {
      EXPECT_EQ(file, nullptr) << c.what;
    }
    evutl_free(env);
    if (c.audit) {
      ASSERT_EQ(view_audit_stop(), KS_ST_OK);
    }
    // After the stop the audit reaches no child, whatever the default environment.
    ASSERT_EQ(evutl_copy_default_environ(EVUTL_DEFAULT_ENV, &env), KS_ST_OK);
    EXPECT_EQ(evutl_getenv(env, "VESSARY_AUDIT_FILE"), nullptr) << c.what;
    evutl_free(env);
    evutl_restore_default_environ();
  }
  EXPECT_EQ(getenv("VESSARY_AUDIT_FILE"), nullptr);
}

TEST_F(PlatformAuditTest, OneStateForBothFrontDoors) {
  timeval ref{1700000000, 250};
  ASSERT_EQ(view_audit_set_bhandle({7, 5}, &ref), KS_ST_OK);
  ASSERT_EQ(view_audit_start(audit_.c_str(), 3), KS_ST_OK);
  // A child asks the device what its audit is: the state it inherited.
  e2e::Result r = e2e::run({"vessary_devtool", "state"});
  EXPECT_EQ(r.out, "state 7.5 " + audit_ + " 10003\n") << r.err;
  view_bhandle_t bh{};
  char name[1024];
  uint64_t flags = 0;
  ASSERT_EQ(view_audit_get_state(&bh, name, sizeof name, &flags), KS_ST_OK);
  EXPECT_EQ(bh.build_session, 7u);
  EXPECT_EQ(bh.target_id, 5u);
  EXPECT_EQ(std::string(name), audit_);
  EXPECT_EQ(flags, 0x10003u);
  char small[4];
  EXPECT_EQ(view_audit_get_state(nullptr, small, sizeof small, nullptr), KS_ST_TRUNCATED);
  EXPECT_NE(view_audit_start((audit_ + "2").c_str(), 1), KS_ST_OK) << "one audit at a time";
  EXPECT_EQ(view_audit_sync(), KS_ST_OK);
  ASSERT_EQ(view_audit_stop(), KS_ST_OK);
  ASSERT_EQ(view_audit_get_state(nullptr, name, sizeof name, &flags), KS_ST_OK);
  EXPECT_EQ(std::string(name), "");
  EXPECT_EQ(flags, 3u);
  EXPECT_NE(view_audit_stop(), KS_ST_OK);
  EXPECT_NE(view_audit_marker(0), KS_ST_OK);
  EXPECT_NE(view_audit_sync(), KS_ST_OK);
  ASSERT_EQ(view_audit_set_bhandle({0, 0}, nullptr), KS_ST_OK);
}

}  // namespace
