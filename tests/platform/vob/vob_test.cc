#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "vob/vob_mtype.h"
#include "vob/vob_ob.h"
#include "vob/vob_pname.h"

namespace {

TEST(VobMtype, NamesCoverTheWholeRange) {
  struct Case {
    vob_mtype_t mtype;
    const char *name;
    const char *short_name;
  } cases[] = {
      {VOB_MTYPE_NULL, "VOB_MTYPE_NULL", "NULL"},
      {1, "VOB_MTYPE_NSDIR_ELEM", "NSDIR_ELEM"},
      {VOB_MTYPE_SLINK, "VOB_MTYPE_SLINK", "SLINK"},
      {VOB_MTYPE_VERSION, "VOB_MTYPE_VERSION", "VERSION"},
      {VOB_MTYPE_VIEW_PRIVATE, "VOB_MTYPE_VIEW_PRIVATE", "VIEW_PRIVATE"},
      {VOB_MTYPE_DOMAIN, "VOB_MTYPE_DOMAIN", "TIMELINE"},
      {VOB_MTYPE_COUNT, "unknown", nullptr},
  };
  for (const Case &c : cases) {
    EXPECT_STREQ(vob_mtype_name(c.mtype), c.name);
    if (c.short_name) {
      EXPECT_STREQ(vob_mtype_short_name(c.mtype), c.short_name);
      EXPECT_EQ(vob_mtype_from_name(c.name), c.mtype);
      EXPECT_EQ(vob_mtype_from_name(c.short_name), c.mtype);
    } else {
      EXPECT_EQ(vob_mtype_short_name(c.mtype), nullptr);
    }
  }
  EXPECT_EQ(VOB_MTYPE_DOMAIN, 34u);
  for (vob_mtype_t m = 0; m < VOB_MTYPE_COUNT; m++)
    EXPECT_EQ(VOB_MTYPE_IS_DO(m), m == 6 || m == 9 || m == 22 || m == 26) << m;
}

TEST(VobIdentity, DerivationsAreStableAndTellInputsApart) {
  tbs_oid_t vob1 = TBS_OID_NULL, vob2 = TBS_OID_NULL;
  vob1.bytes[0] = 1;
  vob2.bytes[0] = 2;
  tbs_oid_t e = vob_ob_elem_oid(vob1, "src/a.c");
  EXPECT_TRUE(tbs_oid_eq(&e, &(const tbs_oid_t &)vob_ob_elem_oid(vob1, "src/a.c")));
  tbs_oid_t others[] = {vob_ob_elem_oid(vob2, "src/a.c"), vob_ob_elem_oid(vob1, "src/a.cc"),
                        vob_ob_elem_oid(vob1, "src"), vob_ob_elem_oid(vob1, "")};
  for (const tbs_oid_t &o : others) EXPECT_FALSE(tbs_oid_eq(&e, &o)) << tbs_oid_to_str(&o);
  uint8_t blob1[20] = {1}, blob2[20] = {2};
  tbs_oid_t v1 = vob_ob_ver_oid(e, blob1, 20), v2 = vob_ob_ver_oid(e, blob2, 20);
  tbs_oid_t v1_other_elem = vob_ob_ver_oid(others[1], blob1, 20);
  EXPECT_FALSE(tbs_oid_eq(&v1, &v2));
  EXPECT_FALSE(tbs_oid_eq(&v1, &v1_other_elem));
  EXPECT_FALSE(tbs_oid_eq(&v1, &e));
  // Every version of an element has the element's serial number.
  vob_objsn_t sn = vob_ob_elem_objsn(e);
  EXPECT_TRUE(sn.hi != 0 || sn.lo != 0);
  vob_objsn_t p1 = vob_ob_private_objsn(v1), p2 = vob_ob_private_objsn(v2);
  EXPECT_TRUE(p1.hi != p2.hi || p1.lo != p2.lo);
}

// A temporary directory with a symbolic link to a subdirectory.
class PnameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/vob-pname-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    ASSERT_EQ(mkdir((dir_ + "/real").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((dir_ + "/real/sub").c_str(), 0777), 0);
    std::ofstream(dir_ + "/real/file") << "x";
    ASSERT_EQ(symlink("real", (dir_ + "/alias").c_str()), 0);
    ASSERT_EQ(symlink("real/file", (dir_ + "/filelink").c_str()), 0);
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(cwd_), 0);
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string dir_;
  char cwd_[4096];
};

TEST_F(PnameTest, CanonicalNamesResolveDirectoriesAndKeepMissingLeaves) {
  struct Case {
    std::string in;
    bool follow;
    std::string out;
  } cases[] = {
      {"real/file", false, dir_ + "/real/file"},
      {"./alias//file", false, dir_ + "/real/file"},
      {"alias/sub/../file", false, dir_ + "/real/file"},
      {"alias/missing", false, dir_ + "/real/missing"},
      {"alias/", false, dir_ + "/real"},
      {"alias", false, dir_ + "/alias"},
      {"alias", true, dir_ + "/real"},
      {"filelink", false, dir_ + "/filelink"},
      {"filelink", true, dir_ + "/real/file"},
      {"alias/sub/..", false, dir_ + "/real"},
      {"nodir/x/../y", false, dir_ + "/nodir/y"},
      {"nodir/./x/..//y/.", false, dir_ + "/nodir/y"},
      {"nodir/.x/..y/z.", false, dir_ + "/nodir/.x/..y/z."},
      {"/../..//.", false, "/"},
      {"/", false, "/"},
  };
  for (const Case &c : cases) {
    std::string out;
    ASSERT_EQ(vob_pname_canonical(c.in.c_str(), c.follow, &out), KS_ST_OK) << c.in;
    EXPECT_EQ(out, c.out) << c.in << (c.follow ? " (follow)" : "");
  }
  std::string out;
  EXPECT_EQ(vob_pname_canonical("", false, &out), KS_ST_NOT_FOUND);
}

TEST_F(PnameTest, ADirectoryReplacedOrRelinkedBetweenCallsIsResolvedAgain) {
  // Each step changes the file system, then every name is resolved again in the same process.
  ASSERT_EQ(mkdir((dir_ + "/other").c_str(), 0777), 0);
  ASSERT_EQ(mkdir((dir_ + "/other/sub").c_str(), 0777), 0);
  ASSERT_EQ(mkdir((dir_ + "/plain").c_str(), 0777), 0);
  struct Step {
    const char *what;
    std::function<void()> change;
    std::vector<std::pair<std::string, std::string>> names;  // name -> canonical form
  } steps[] = {
      {"as made", [] {},
       {{"alias/sub/x", dir_ + "/real/sub/x"}, {"plain/x", dir_ + "/plain/x"},
        {"real/sub/x", dir_ + "/real/sub/x"}}},
      {"link pointed elsewhere", [&] {
         ASSERT_EQ(unlink((dir_ + "/alias").c_str()), 0);
         ASSERT_EQ(symlink("other", (dir_ + "/alias").c_str()), 0);
       },
       {{"alias/sub/x", dir_ + "/other/sub/x"}, {"alias/x", dir_ + "/other/x"}}},
      {"directory renamed and its name made a link to it", [&] {
         ASSERT_EQ(rename((dir_ + "/plain").c_str(), (dir_ + "/moved").c_str()), 0);
         ASSERT_EQ(symlink("moved", (dir_ + "/plain").c_str()), 0);
       },
       {{"plain/x", dir_ + "/moved/x"}, {"real/sub/x", dir_ + "/real/sub/x"}}},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    for (const auto &[name, canonical] : step.names) {
      std::string out;
      ASSERT_EQ(vob_pname_canonical(name.c_str(), false, &out), KS_ST_OK) << name;
      EXPECT_EQ(out, canonical) << name;
    }
  }
}

TEST_F(PnameTest, ResolveConditionsOnExistenceLinksAndSpace) {
  char buf[4096];
  EXPECT_EQ(vob_resolve_abspn_cond("alias/new", buf, sizeof buf, 0), 0);
  EXPECT_EQ(std::string(buf), dir_ + "/real/new");
  errno = 0;
  EXPECT_EQ(vob_resolve_abspn_cond("alias/new", buf, sizeof buf, VOB_RESOLVE_MUST_EXIST), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(vob_resolve_abspn_cond("filelink", buf, sizeof buf, VOB_RESOLVE_FOLLOW), 0);
  EXPECT_EQ(std::string(buf), dir_ + "/real/file");
  char small[8];
  errno = 0;
  EXPECT_EQ(vob_resolve_abspn_cond("real/file", small, sizeof small, 0), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  std::string exact = dir_ + "/real/file";
  EXPECT_EQ(vob_resolve_abspn_cond("real/file", buf, exact.size() + 1, 0), 0);
}

TEST_F(PnameTest, NothingOutsideTheViewRootIsInAView) {
  setenv("VESSARY_HOME", (dir_ + "/site").c_str(), 1);
  vob_pname_t where;
  ASSERT_EQ(vob_pname_resolve("real/file", false, &where), KS_ST_OK);
  EXPECT_EQ(where.view, nullptr);
  EXPECT_EQ(where.vob, nullptr);
  EXPECT_EQ(vob_pname_view_relative(where), "");
  vob_handle_t vobh = VOB_HANDLE_NULL;
  EXPECT_EQ(vob_ob_mount_pname_to_vobh("real/file", &vobh), KS_ST_NOT_IN_VOB);
  EXPECT_EQ(vob_ob_l_mount_pname_to_vobh("real/missing", &vobh), KS_ST_NOT_IN_VIEW);
  EXPECT_EQ(vobh, VOB_HANDLE_NULL);
  unsetenv("VESSARY_HOME");
}

}  // namespace
