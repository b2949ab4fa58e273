// Views and identities in process, over a site made by the fixture.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../../e2e/site_util.h"
#include "dbrpc/dbrpc_viewdb.h"
#include "dbrpc/dbrpc_vobdb.h"
#include "view/view_idcache.h"
#include "view/view_info.h"
#include "view/view_xstat.h"
#include "vob/vob_gitindex.h"
#include "vob/vob_ob.h"
#include "vob/vob_pname.h"

namespace {

const std::vector<site::File> kFiles = {
    {"src/a.c", "int a;\n"},
    {"src/b.c", "int b;\n"},
    {"link", "-> src/a.c"},
    {"dangling", "-> nowhere"},
};

bool same(const tbs_oid_t &a, const tbs_oid_t &b) { return tbs_oid_eq(&a, &b); }

class ViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    repo_ = site_.make_vob("proj", kFiles);
    site_.make_view("alpha");
    site_.make_view("beta");
    unsetenv(VIEW_SET_VIEW_ENV);
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(cwd_), 0);
    unsetenv(VIEW_SET_VIEW_ENV);
    // Another process would start with nothing cached.
    view_xstat_flush_cache();
    dbrpc_viewdb_close_all();
    dbrpc_vobdb_close_all();
  }
  std::string p(const std::string &view, const std::string &rel = "") const {
    return site_.path(view, "proj", rel);
  }
  view_xstat_t lstat_of(const std::string &path) {
    view_xstat_t v;
    EXPECT_EQ(view_lget_xstat(path.c_str(), 1, &v, nullptr, nullptr, 0, nullptr), KS_ST_OK) << path;
    return v;
  }
  view_oids_t oids_of(const std::string &path, int follow = 0) {
    view_oids_t o;
    EXPECT_EQ(view_get_oids(path.c_str(), follow, 0, 0, &o), KS_ST_OK) << path;
    return o;
  }
  // Forgets what this process cached, as a new process would.
  void new_process() {
    view_xstat_flush_cache();
    dbrpc_viewdb_close_all();
    dbrpc_vobdb_close_all();
  }

  site::Site site_;
  std::string repo_;
  char cwd_[4096];
};

TEST_F(ViewTest, ExtendedStatStatusesAndIdentifiers) {
  site::write_file(p("alpha", "private.o"), "o\n");
  struct Case {
    std::string path;
    ks_status_t status;
    vob_mtype_t mtype;
    bool vob_oid, view_uuid;
  } cases[] = {
      {p("alpha", "src/a.c"), KS_ST_OK, VOB_MTYPE_VERSION, true, true},
      {p("alpha", "private.o"), KS_ST_OK, VOB_MTYPE_VIEW_PRIVATE, true, true},
      {p("alpha", "link"), KS_ST_OK, VOB_MTYPE_SLINK, true, true},
      {p("alpha", "dangling"), KS_ST_OK, VOB_MTYPE_SLINK, true, true},
      {p("alpha", "missing"), KS_ST_NOT_IN_VIEW, 0, false, false},
      {p("alpha", "src/a.c/below"), KS_ST_NOT_IN_VIEW, 0, false, false},
      {site_.view_root() + "/alpha", KS_ST_OK, VOB_MTYPE_NULL, false, true},
      {site_.view_root() + "/nosuchview", KS_ST_NOT_IN_VIEW, 0, false, false},
      {repo_ + "/src/a.c", KS_ST_OK, VOB_MTYPE_NULL, false, false},
      {site_.dir(), KS_ST_OK, VOB_MTYPE_NULL, false, false},
  };
  for (const Case &c : cases) {
    view_xstat_t v;
    tbs_oid_t vob_oid;
    tbs_uuid_t view_uuid, replica;
    std::memset(&vob_oid, 0xff, sizeof vob_oid);
    ks_status_t s = view_lget_xstat(c.path.c_str(), 1, &v, &vob_oid, &view_uuid, 0, &replica);
    EXPECT_EQ(s, c.status) << c.path;
    if (s != KS_ST_OK) continue;
    EXPECT_EQ(v.mtype, c.mtype) << c.path;
    EXPECT_EQ(!tbs_oid_is_null(&vob_oid), c.vob_oid) << c.path;
    EXPECT_EQ(!tbs_uuid_is_null(&replica), c.vob_oid) << c.path;
    EXPECT_EQ(!tbs_uuid_is_null(&view_uuid), c.view_uuid) << c.path;
    EXPECT_EQ(!tbs_oid_is_null(&v.obj_oid), c.mtype != VOB_MTYPE_NULL) << c.path;
    struct stat st;
    ASSERT_EQ(lstat(c.path.c_str(), &st), 0);
    EXPECT_EQ(v.fstat.size, uint64_t(st.st_size)) << c.path;
    EXPECT_EQ(v.fstat.mtime.sec, int64_t(st.st_mtim.tv_sec)) << c.path;
    EXPECT_EQ(v.fstat.nodeid, uint64_t(st.st_ino)) << c.path;
  }
}

// A name below the view root carries the root's canonical form from when its directory was
// resolved, only while that directory is still the one found: a root relinked to another copy of
// the tree is followed at once.
TEST_F(ViewTest, ARelinkedViewRootIsFollowed) {
  const std::string root = site_.view_root(), a = root + "-a", b = root + "-b";
  ASSERT_EQ(rename(root.c_str(), a.c_str()), 0);
  std::filesystem::copy(a, b, std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::copy_symlinks);
  for (const std::string &target : {a, b, a, b}) {
    unlink(root.c_str());
    ASSERT_EQ(symlink(target.c_str(), root.c_str()), 0);
    for (const std::string rel : {"src/a.c", "src/missing.c"}) {
      vob_pname_t where;
      ASSERT_EQ(vob_pname_resolve(p("alpha", rel).c_str(), false, &where), KS_ST_OK) << target;
      EXPECT_EQ(where.abs, target + "/alpha/proj/" + rel);
      ASSERT_NE(where.view, nullptr) << target << " " << rel;
      EXPECT_EQ(where.view_dir, target + "/alpha");
      EXPECT_EQ(where.vob_rel, rel);
    }
  }
}

TEST_F(ViewTest, FollowingALinkGivesItsTargetsIdentity) {
  view_xstat_t link, target, followed;
  ASSERT_EQ(view_lget_xstat(p("alpha", "link").c_str(), 1, &link, nullptr, nullptr, 0, nullptr), KS_ST_OK);
  ASSERT_EQ(view_get_xstat(p("alpha", "link").c_str(), 1, &followed, nullptr, nullptr, 0, nullptr), KS_ST_OK);
  ASSERT_EQ(view_lget_xstat(p("alpha", "src/a.c").c_str(), 1, &target, nullptr, nullptr, 0, nullptr), KS_ST_OK);
  EXPECT_EQ(link.fstat.type, uint32_t(VIEW_FTYPE_LNK));
  EXPECT_EQ(followed.fstat.type, uint32_t(VIEW_FTYPE_REG));
  EXPECT_EQ(followed.mtype, VOB_MTYPE_VERSION);
  EXPECT_TRUE(tbs_oid_eq(&followed.obj_oid, &target.obj_oid));
  EXPECT_FALSE(tbs_oid_eq(&link.elem_oid, &target.elem_oid));
  EXPECT_EQ(view_get_xstat(p("alpha", "dangling").c_str(), 1, &followed, nullptr, nullptr, 0, nullptr),
            KS_ST_NOT_IN_VIEW);
}

TEST_F(ViewTest, OidsTellWhatMayBecomeADerivedObject) {
  site::write_file(p("alpha", "out/x.o"), "o\n");
  site::write_file(p("alpha", "src/b.c"), "edited\n");
  struct Case {
    std::string rel;
    vob_mtype_t mtype;
    bool elem;
  } cases[] = {
      {"out/x.o", VOB_MTYPE_VIEW_PRIVATE_FILE, false},
      {"out", VOB_MTYPE_VIEW_PRIVATE, false},
      {"src/b.c", VOB_MTYPE_VIEW_PRIVATE_FILE, true},
      {"src/a.c", VOB_MTYPE_VERSION, true},
      {"src", VOB_MTYPE_DIR_VERSION, true},
  };
  for (const Case &c : cases) {
    view_oids_t o = oids_of(p("alpha", c.rel));
    EXPECT_EQ(o.mtype, c.mtype) << c.rel;
    EXPECT_EQ(!tbs_oid_is_null(&o.elem_oid), c.elem) << c.rel;
    EXPECT_FALSE(tbs_oid_is_null(&o.vob_oid)) << c.rel;
    EXPECT_TRUE(o.objsn.hi || o.objsn.lo) << c.rel;
  }
  // Serial numbers stay with the element when its data changes; OIDs do not.
  view_oids_t edited = oids_of(p("alpha", "src/b.c")), selected = oids_of(p("beta", "src/b.c"));
  EXPECT_EQ(edited.objsn.hi, selected.objsn.hi);
  EXPECT_EQ(edited.objsn.lo, selected.objsn.lo);
  EXPECT_FALSE(tbs_oid_eq(&edited.obj_oid, &selected.obj_oid));
  EXPECT_FALSE(tbs_uuid_eq(&edited.view_uuid, &selected.view_uuid));
}

TEST_F(ViewTest, EditedFileIsCheckedOutUntilItsDataIsTheSelectedVersionAgain) {
  std::string file = p("alpha", "src/a.c");
  view_xstat_t before = lstat_of(file);
  EXPECT_EQ(before.mtype, VOB_MTYPE_VERSION);
  site::write_file(file, "int a = 1;\n");
  view_xstat_t edited = lstat_of(file);
  EXPECT_EQ(edited.mtype, VOB_MTYPE_CHECKEDOUT);
  EXPECT_TRUE(tbs_oid_eq(&edited.elem_oid, &before.elem_oid));
  site::write_file(file, "int a;\n");  // same data, new status
  view_xstat_t restored = lstat_of(file);
  EXPECT_EQ(restored.mtype, VOB_MTYPE_VERSION);
  EXPECT_TRUE(tbs_oid_eq(&restored.obj_oid, &before.obj_oid));
  // A same-sized edit is seen as well.
  site::write_file(file, "int b;\n");
  EXPECT_EQ(lstat_of(file).mtype, VOB_MTYPE_CHECKEDOUT);
}

TEST_F(ViewTest, ViewPrivateOidLastsAcrossProcessesUntilTheDataChanges) {
  std::string file = p("alpha", "gen/x.o");
  site::write_file(file, "first\n");
  tbs_oid_t first = lstat_of(file).obj_oid;
  EXPECT_TRUE(same(first, lstat_of(file).obj_oid));
  new_process();
  tbs_oid_t again = lstat_of(file).obj_oid;
  EXPECT_TRUE(tbs_oid_eq(&first, &again));
  site::write_file(file, "second, longer\n");
  tbs_oid_t second = lstat_of(file).obj_oid;
  EXPECT_FALSE(tbs_oid_eq(&first, &second));
  new_process();
  tbs_oid_t second_again = lstat_of(file).obj_oid;
  EXPECT_TRUE(tbs_oid_eq(&second, &second_again));
  // The directory stays one object as entries come and go.
  tbs_oid_t dir = lstat_of(p("alpha", "gen")).obj_oid;
  site::write_file(p("alpha", "gen/y.o"), "y\n");
  new_process();
  tbs_oid_t dir_again = lstat_of(p("alpha", "gen")).obj_oid;
  EXPECT_TRUE(tbs_oid_eq(&dir, &dir_again));
  EXPECT_TRUE(same(lstat_of(file).elem_oid, TBS_OID_NULL));
}

TEST_F(ViewTest, FarFutureModificationTimesStillTellDataApart) {
  // Times past the year 2262 do not fit in 64-bit nanoseconds.
  std::string file = p("alpha", "far.o");
  site::write_file(file, "far\n");
  auto set_year = [&](int64_t years_after_1970) {
    struct timespec t[2] = {{0, UTIME_OMIT}, {time_t(years_after_1970 * 31556952), 5}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
  };
  set_year(2300 - 1970);
  tbs_oid_t first = lstat_of(file).obj_oid;
  new_process();
  EXPECT_TRUE(same(first, lstat_of(file).obj_oid)) << "kept while the data is as it was";
  set_year(2301 - 1970);
  new_process();
  EXPECT_FALSE(same(first, lstat_of(file).obj_oid)) << "another time, other data";
}

TEST_F(ViewTest, ANewCommitInAViewSelectsNewVersionsThereOnly) {
  view_xstat_t old_alpha = lstat_of(p("alpha", "src/a.c"));
  view_xstat_t old_dir = lstat_of(p("alpha", "src"));
  site::write_file(p("alpha", "src/a.c"), "int a = 3;\n");
  site::write_file(p("alpha", "src/c.c"), "int c;\n");
  site_.git({"add", "-A"}, p("alpha"));
  site_.git({"commit", "-q", "-m", "next"}, p("alpha"));
  view_xstat_t new_alpha = lstat_of(p("alpha", "src/a.c"));
  EXPECT_EQ(new_alpha.mtype, VOB_MTYPE_VERSION);
  EXPECT_TRUE(tbs_oid_eq(&new_alpha.elem_oid, &old_alpha.elem_oid));
  EXPECT_FALSE(tbs_oid_eq(&new_alpha.obj_oid, &old_alpha.obj_oid));
  EXPECT_EQ(lstat_of(p("alpha", "src/c.c")).mtype, VOB_MTYPE_VERSION);
  // The directory gained a name: a new version.
  EXPECT_FALSE(same(lstat_of(p("alpha", "src")).obj_oid, old_dir.obj_oid));
  view_xstat_t beta = lstat_of(p("beta", "src/a.c"));
  EXPECT_TRUE(tbs_oid_eq(&beta.obj_oid, &old_alpha.obj_oid));
  EXPECT_TRUE(same(lstat_of(p("beta", "src")).obj_oid, old_dir.obj_oid));
}

TEST_F(ViewTest, DirectoryVersionDependsOnNamesNotContents) {
  view_xstat_t dir = lstat_of(p("alpha", "src"));
  site::write_file(p("alpha", "src/a.c"), "changed\n");
  site_.git({"commit", "-q", "-am", "contents only"}, p("alpha"));
  EXPECT_TRUE(same(lstat_of(p("alpha", "src")).obj_oid, dir.obj_oid));
}

TEST_F(ViewTest, ResolvedNamesGiveTheIdentitiesOfTheirPathnames) {
  site::write_file(p("alpha", "out/x.o"), "o\n");
  site::write_file(p("alpha", "src/b.c"), "edited\n");
  for (const char *rel : {"src/a.c", "src/b.c", "src", "link", "out/x.o", "out", ""}) {
    std::string path = p("alpha", rel);
    vob_pname_t where;
    struct stat st;
    ASSERT_EQ(vob_pname_resolve(path.c_str(), false, &where), KS_ST_OK) << rel;
    ASSERT_EQ(lstat(where.abs.c_str(), &st), 0) << rel;
    view_oids_t resolved, named = oids_of(path);
    ASSERT_EQ(view_get_oids_resolved(where, st, &resolved), KS_ST_OK) << rel;
    EXPECT_EQ(resolved.mtype, named.mtype) << rel;
    EXPECT_EQ(resolved.ftype, named.ftype) << rel;
    EXPECT_TRUE(same(resolved.obj_oid, named.obj_oid)) << rel;
    EXPECT_TRUE(same(resolved.elem_oid, named.elem_oid)) << rel;
    EXPECT_TRUE(same(resolved.vob_oid, named.vob_oid)) << rel;
    EXPECT_TRUE(tbs_uuid_eq(&resolved.view_uuid, &named.view_uuid)) << rel;
    EXPECT_EQ(resolved.objsn.lo, named.objsn.lo) << rel;
  }
}

TEST_F(ViewTest, RelativeNamesGiveWhatTheirCanonicalNamesGive) {
  ASSERT_EQ(chdir(p("alpha").c_str()), 0);
  ASSERT_EQ(mkdir("obj", 0777), 0);
  std::ofstream("obj/out.o") << "o";
  ASSERT_EQ(symlink("src", "srclink"), 0);
  const char *names[] = {"src/a.c",       "srclink/a.c", "link",     "dangling", "obj/out.o",
                         "src/../src/b.c", "nodir/../src/a.c", "src/a.c/", "./src/a.c", "src//a.c",
                         "missing",        "src/missing", "srclink",  "obj",      "src/a.c/.."};
  for (const char *name : names) {
    for (int follow : {0, 1}) {
      SCOPED_TRACE(std::string(name) + (follow ? " followed" : ""));
      std::string canonical;
      ASSERT_EQ(vob_pname_canonical(name, follow != 0, &canonical), KS_ST_OK);
      auto query = [&](const char *path, view_xstat_t *v) {
        std::memset(v, 0, sizeof *v);
        return follow ? view_get_xstat(path, 1, v, nullptr, nullptr, 0, nullptr)
                      : view_lget_xstat(path, 1, v, nullptr, nullptr, 0, nullptr);
      };
      view_xstat_t by_name, by_canonical;
      const ks_status_t st = query(name, &by_name);
      ASSERT_EQ(st, query(canonical.c_str(), &by_canonical));
      if (st != KS_ST_OK) continue;
      EXPECT_EQ(by_name.fstat.nodeid, by_canonical.fstat.nodeid);
      EXPECT_EQ(by_name.fstat.type, by_canonical.fstat.type);
      EXPECT_EQ(by_name.mtype, by_canonical.mtype);
      EXPECT_TRUE(same(by_name.obj_oid, by_canonical.obj_oid));
    }
  }
}

TEST_F(ViewTest, AHoldSeesTheSelectedVersionsOfItsStart) {
  std::string file = p("alpha", "src/a.c");
  view_xstat_t before = lstat_of(file);
  view_xstat_hold_begin();
  EXPECT_TRUE(same(lstat_of(file).obj_oid, before.obj_oid));
  site::write_file(file, "int a = 4;\n");
  site_.git({"commit", "-q", "-am", "during"}, p("alpha"));
  EXPECT_EQ(lstat_of(file).mtype, VOB_MTYPE_CHECKEDOUT) << "compared with the version of the start";
  view_xstat_hold_begin();  // nested: still the same moment
  view_xstat_hold_end();
  EXPECT_EQ(lstat_of(file).mtype, VOB_MTYPE_CHECKEDOUT);
  view_xstat_hold_end();
  view_xstat_t after = lstat_of(file);
  EXPECT_EQ(after.mtype, VOB_MTYPE_VERSION) << "the commit is seen once the hold ends";
  EXPECT_FALSE(same(after.obj_oid, before.obj_oid));
}

TEST_F(ViewTest, AHoldKeepsTheResolvedDirectoriesAndTheRegistryOfItsStart) {
  ASSERT_EQ(mkdir(p("alpha", "gen").c_str(), 0777), 0);
  const std::string name = p("alpha", "gen/f");
  auto resolve = [](const std::string &path) {
    vob_pname_t where;
    EXPECT_EQ(vob_pname_resolve(path.c_str(), false, &where), KS_ST_OK) << path;
    return where;
  };
  const std::string in_new_view = site_.path("gamma", "proj", "src/a.c");
  view_xstat_hold_begin();
  vob_pname_hold_begin();
  EXPECT_EQ(resolve(name).vob_rel, "gen/f");
  // The directory becomes a link to another, and a view is made.
  ASSERT_EQ(rename(p("alpha", "gen").c_str(), p("alpha", "gen.old").c_str()), 0);
  ASSERT_EQ(symlink("src", p("alpha", "gen").c_str()), 0);
  site_.make_view("gamma");
  EXPECT_EQ(resolve(name).vob_rel, "gen/f") << "resolved as at the start of the hold";
  EXPECT_EQ(resolve(in_new_view).view, nullptr) << "the registry of the start of the hold";
  vob_pname_hold_end();
  view_xstat_hold_end();
  EXPECT_EQ(resolve(name).vob_rel, "src/f");
  ASSERT_NE(resolve(in_new_view).view, nullptr);
  EXPECT_EQ(resolve(in_new_view).view->tag, "gamma");
}

TEST_F(ViewTest, VobHandlesFromPathsAndIdentities) {
  struct Case {
    std::string path;
    ks_status_t status;
  } cases[] = {
      {p("alpha", "src/a.c"), KS_ST_OK},
      {p("alpha"), KS_ST_OK},
      {p("alpha", ".git"), KS_ST_NOT_IN_VOB},
      {site_.view_root() + "/alpha", KS_ST_NOT_IN_VOB},
      {repo_, KS_ST_NOT_IN_VOB},
      {p("alpha", "missing"), KS_ST_NOT_IN_VIEW},
  };
  for (const Case &c : cases) {
    vob_handle_t vobh = VOB_HANDLE_NULL;
    EXPECT_EQ(vob_ob_l_mount_pname_to_vobh(c.path.c_str(), &vobh), c.status) << c.path;
    EXPECT_EQ(vob_ob_mount_pname_to_vobh(c.path.c_str(), &vobh), c.status) << c.path;
  }
  vob_handle_t a = VOB_HANDLE_NULL, b = VOB_HANDLE_NULL, r = VOB_HANDLE_NULL;
  ASSERT_EQ(vob_ob_mount_pname_to_vobh(p("alpha", "src").c_str(), &a), KS_ST_OK);
  ASSERT_EQ(vob_ob_mount_pname_to_vobh(p("beta", "src").c_str(), &b), KS_ST_OK);
  EXPECT_EQ(a, b);
  EXPECT_STREQ(vob_ob_get_tag(a), "proj");
  char mount[1024];
  ASSERT_EQ(vob_ob_get_mount_dir_pname(a, 0, 1, sizeof mount, mount), KS_ST_OK);
  EXPECT_STREQ(mount, "/proj");
  EXPECT_EQ(vob_ob_get_mount_dir_pname(a, 0, 1, 5, mount), KS_ST_NAME_TOO_LONG);
  EXPECT_TRUE(vob_utl_is_mounted_vob_pname("/proj"));
  EXPECT_TRUE(vob_utl_is_mounted_vob_pname(p("alpha").c_str()));
  EXPECT_FALSE(vob_utl_is_mounted_vob_pname("/nosuch"));
  tbs_uuid_t replica;
  ASSERT_EQ(vob_ob_get_replica_uuid(a, &replica), KS_ST_OK);
  ASSERT_EQ(vob_ob_register_replica(&replica, &TBS_OID_NULL, 0, 0, &r), KS_ST_OK);
  EXPECT_EQ(r, a);
  tbs_oid_t vob_oid, stat_vob_oid;
  ASSERT_EQ(vob_ob_get_oid(a, &vob_oid), KS_ST_OK);
  ASSERT_EQ(view_lget_xstat(p("alpha", "src").c_str(), 1, nullptr, &stat_vob_oid, nullptr, 0, nullptr), KS_ST_OK);
  EXPECT_TRUE(tbs_oid_eq(&vob_oid, &stat_vob_oid));
  ASSERT_EQ(vob_ob_vob_oid_to_vobh(&vob_oid, &r), KS_ST_OK);
  EXPECT_EQ(r, a);
  tbs_oid_t unknown = TBS_OID_NULL;
  unknown.bytes[3] = 9;
  EXPECT_EQ(vob_ob_vob_oid_to_vobh(&unknown, &r), KS_ST_NOT_FOUND);
  EXPECT_EQ(vob_ob_get_tag(VOB_HANDLE_NULL), nullptr);
  EXPECT_EQ(vob_ob_get_oid(a + 1000, &vob_oid), KS_ST_NOT_FOUND);
}

TEST_F(ViewTest, DatabaseIdentifiersNameVersionsElementsAndPaths) {
  vob_handle_t vobh = VOB_HANDLE_NULL;
  ASSERT_EQ(vob_ob_mount_pname_to_vobh(p("alpha").c_str(), &vobh), KS_ST_OK);
  struct Case {
    std::string rel;
    const char *pname;
  } cases[] = {{"src/a.c", "/proj/src/a.c"}, {"src", "/proj/src"}, {"", "/proj"}, {"link", "/proj/link"}};
  for (const Case &c : cases) {
    view_xstat_t v = lstat_of(p("beta", c.rel));
    uint32_t ver = 0, elem = 0, elem_direct = 0;
    ASSERT_EQ(vob_obj_oid_to_dbid(vobh, &v.obj_oid, &ver), KS_ST_OK) << c.rel;
    ASSERT_EQ(vob_ver_get_elem(vobh, ver, &elem), KS_ST_OK) << c.rel;
    ASSERT_EQ(vob_obj_oid_to_dbid(vobh, &v.elem_oid, &elem_direct), KS_ST_OK) << c.rel;
    EXPECT_EQ(elem, elem_direct) << c.rel;
    EXPECT_NE(ver, elem) << c.rel;
    EXPECT_EQ(vob_ver_get_elem(vobh, elem, &elem_direct), KS_ST_NOT_FOUND) << c.rel;
    char name[1024];
    ASSERT_EQ(vob_obj_to_pname(vobh, ver, nullptr, 0, 0, 0, sizeof name, name), KS_ST_OK);
    EXPECT_STREQ(name, c.pname);
    EXPECT_EQ(vob_obj_to_pname(vobh, ver, nullptr, 0, 0, 0, 3, name), KS_ST_NAME_TOO_LONG);
    tbs_oid_t back;
    ASSERT_EQ(vob_obj_dbid_to_oid(vobh, ver, &back), KS_ST_OK);
    EXPECT_TRUE(same(back, v.obj_oid));
    // Another process, which has not seen the object, finds the same identifier.
    new_process();
    uint32_t again = 0;
    ASSERT_EQ(vob_obj_oid_to_dbid(vobh, &v.obj_oid, &again), KS_ST_OK);
    EXPECT_EQ(again, ver);
  }
  new_process();
  uint32_t dbid = 0;
  site::write_file(p("alpha", "private.o"), "o\n");
  view_xstat_t priv = lstat_of(p("alpha", "private.o"));
  EXPECT_EQ(vob_obj_oid_to_dbid(vobh, &priv.obj_oid, &dbid), KS_ST_NOT_FOUND);
  view_xstat_t b = lstat_of(p("alpha", "src/b.c"));
  new_process();
  EXPECT_EQ(vob_obj_oid_to_dbid(vobh, &b.obj_oid, &dbid), KS_ST_NOT_FOUND);  // never asked for
  EXPECT_EQ(vob_ver_get_elem(vobh, 99999, &dbid), KS_ST_NOT_FOUND);
}

// Every version this process noted, and the element of each, gets an identifier, however many
// were noted before the first is asked for; a version noted again is what it was noted as last,
// and an element noted with two versions is one element.
TEST_F(ViewTest, EveryNotedVersionAndElementGetsAnIdentifier) {
  vob_handle_t vobh = VOB_HANDLE_NULL;
  ASSERT_EQ(vob_ob_mount_pname_to_vobh(p("alpha").c_str(), &vobh), KS_ST_OK);
  tbs_oid_t vob_oid;
  ASSERT_EQ(vob_ob_get_oid(vobh, &vob_oid), KS_ST_OK);
  auto oid_of = [](uint8_t kind, int i) {
    tbs_oid_t o = TBS_OID_NULL;
    o.bytes[0] = kind;
    o.bytes[7] = uint8_t(i);
    o.bytes[15] = uint8_t(i * 7);
    return o;
  };
  struct Noted {
    tbs_oid_t ver, elem;
    std::string rel;
  };
  std::vector<Noted> noted;
  for (int i = 0; i < 100; i++) {
    noted.push_back({oid_of(1, i), oid_of(2, i), "gen/f" + std::to_string(i) + ".c"});
    vob_ob_note_object(vob_oid, noted.back().ver, VOB_MTYPE_VERSION, noted.back().elem, noted.back().rel);
  }
  // Noted again under another name: the last one counts.
  noted[5].rel = "gen/renamed.c";
  vob_ob_note_object(vob_oid, noted[5].ver, VOB_MTYPE_VERSION, noted[5].elem, noted[5].rel);
  // Another version of element 7.
  noted.push_back({oid_of(3, 7), noted[7].elem, noted[7].rel});
  vob_ob_note_object(vob_oid, noted.back().ver, VOB_MTYPE_VERSION, noted.back().elem, noted.back().rel);
  for (const Noted &n : noted) {
    uint32_t ver = 0, elem = 0, elem_direct = 0;
    ASSERT_EQ(vob_obj_oid_to_dbid(vobh, &n.ver, &ver), KS_ST_OK) << n.rel;
    ASSERT_EQ(vob_ver_get_elem(vobh, ver, &elem), KS_ST_OK) << n.rel;
    ASSERT_EQ(vob_obj_oid_to_dbid(vobh, &n.elem, &elem_direct), KS_ST_OK) << n.rel;
    EXPECT_EQ(elem, elem_direct) << n.rel;
    char name[1024];
    ASSERT_EQ(vob_obj_to_pname(vobh, ver, nullptr, 0, 0, 0, sizeof name, name), KS_ST_OK);
    EXPECT_EQ(name, "/proj/" + n.rel);
    tbs_oid_t back;
    ASSERT_EQ(vob_obj_dbid_to_oid(vobh, ver, &back), KS_ST_OK);
    EXPECT_TRUE(same(back, n.ver)) << n.rel;
  }
  tbs_oid_t never = oid_of(4, 1);
  uint32_t dbid = 0;
  EXPECT_EQ(vob_obj_oid_to_dbid(vobh, &never, &dbid), KS_ST_NOT_FOUND);
  // Nor does what was noted outlive the cache.
  new_process();
  tbs_oid_t unasked = oid_of(1, 99);
  unasked.bytes[3] = 1;
  vob_ob_note_object(vob_oid, unasked, VOB_MTYPE_VERSION, oid_of(2, 200), "gen/late.c");
  new_process();
  EXPECT_EQ(vob_obj_oid_to_dbid(vobh, &unasked, &dbid), KS_ST_NOT_FOUND);
}

TEST_F(ViewTest, SetViewAndWorkingDirectoryViewAreSeparate) {
  char tag[256];
  tbs_uuid_t uuid;
  EXPECT_EQ(view_current_view_info(tag, sizeof tag, nullptr, 0, nullptr, 0, nullptr, 0, &uuid), KS_ST_NOT_FOUND);
  EXPECT_EQ(view_cdview_view_info(tag, sizeof tag, nullptr, 0, nullptr, 0, nullptr, 0, &uuid), KS_ST_NOT_FOUND);

  ASSERT_EQ(view_set_current_view("alpha"), KS_ST_OK);
  char storage[1024], host[256], host_path[1024];
  ASSERT_EQ(view_current_view_info(tag, sizeof tag, storage, sizeof storage, host, sizeof host,
                                   host_path, sizeof host_path, &uuid),
            KS_ST_OK);
  EXPECT_STREQ(tag, "alpha");
  EXPECT_EQ(std::string(storage), site_.home() + "/storage/alpha.vws");
  EXPECT_STREQ(host_path, storage);
  EXPECT_EQ(view_current_view_info(tag, 3, nullptr, 0, nullptr, 0, nullptr, 0, nullptr), KS_ST_NAME_TOO_LONG);

  ASSERT_EQ(chdir(p("beta", "src").c_str()), 0);
  tbs_uuid_t cd_uuid;
  ASSERT_EQ(view_cdview_view_info(tag, sizeof tag, nullptr, 0, nullptr, 0, nullptr, 0, &cd_uuid), KS_ST_OK);
  EXPECT_STREQ(tag, "beta");
  EXPECT_FALSE(tbs_uuid_eq(&uuid, &cd_uuid));

  // An unknown tag changes nothing; a set view that went away is an error, not "no view".
  EXPECT_EQ(view_set_current_view("nosuch"), KS_ST_NOT_FOUND);
  EXPECT_STREQ(getenv(VIEW_SET_VIEW_ENV), "alpha");
  setenv(VIEW_SET_VIEW_ENV, "gone", 1);
  EXPECT_EQ(view_current_view_info(tag, sizeof tag, nullptr, 0, nullptr, 0, nullptr, 0, nullptr), KS_ST_ERR);
  EXPECT_EQ(view_set_current_view(nullptr), KS_ST_OK);
  EXPECT_EQ(getenv(VIEW_SET_VIEW_ENV), nullptr);
}

TEST_F(ViewTest, HandlesCarryTheRegisteredProperties) {
  view_handle_t h = VIEW_HANDLE_NULL;
  ASSERT_EQ(view_get_handle_config("alpha", nullptr, nullptr, nullptr, &h), KS_ST_OK);
  EXPECT_STREQ(view_get_tag(h), "alpha");
  EXPECT_EQ(std::string(view_get_dir(h)), site_.view_root() + "/alpha");
  bool ws = true;
  EXPECT_EQ(view_ws_is_ws_view(h, &ws), KS_ST_OK);
  EXPECT_FALSE(ws);
  view_handle_t by_storage = VIEW_HANDLE_NULL;
  ASSERT_EQ(view_get_handle(view_get_path(h), 1, &by_storage), KS_ST_OK);
  EXPECT_TRUE(tbs_uuid_eq(view_get_uuid(h), view_get_uuid(by_storage)));
  view_xstat_t v;
  tbs_uuid_t seen;
  ASSERT_EQ(view_lget_xstat(p("alpha", "src").c_str(), 1, &v, nullptr, &seen, 0, nullptr), KS_ST_OK);
  EXPECT_TRUE(tbs_uuid_eq(view_get_uuid(h), &seen));
  view_handle_t wrong = VIEW_HANDLE_NULL;
  EXPECT_EQ(view_get_handle_config("alpha", "/elsewhere", nullptr, nullptr, &wrong), KS_ST_NOT_FOUND);
  EXPECT_EQ(view_get_handle_config("nosuch", nullptr, nullptr, nullptr, &wrong), KS_ST_NOT_FOUND);
  EXPECT_EQ(wrong, VIEW_HANDLE_NULL);
  EXPECT_EQ(view_register_view_tag("beta", 1), KS_ST_OK);
  EXPECT_EQ(view_register_view_tag("nosuch", 1), KS_ST_NOT_FOUND);
  view_free_handle(by_storage);
  view_free_handle(h);
  view_free_handle(VIEW_HANDLE_NULL);
}

// The identity cache a view keeps of what its HEAD selects: a later process answers from it
// exactly as from the repository, and never after the selection or the data changed.
class IdentityCacheTest : public ViewTest {
 public:
  using ViewTest::new_process;
  using ViewTest::p;
  using ViewTest::site_;
  // The paths judged, and the view's cache file of the VOB.
  const std::vector<std::string> rels_ = {"", "src", "src/a.c", "src/b.c", "link", "dangling", "out", "out/x.o"};
  std::string cache_file(const std::string &view) {
    ks_status_t status;
    dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
    const dbrpc_view_rec_t *v = reg ? reg->find_view(view) : nullptr;
    const dbrpc_vob_rec_t *vob = reg ? reg->find_vob("proj") : nullptr;
    if (!v || !vob) return "";
    char hex[33];
    for (int i = 0; i < 16; i++) std::snprintf(hex + 2 * i, 3, "%02x", vob->oid.bytes[i]);
    return v->storage + "/identities-" + hex;
  }
  // The tree of the last commit a view filled from the repository, kept in the VOB's storage.
  std::string kept_tree() {
    ks_status_t status;
    dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
    const dbrpc_vob_rec_t *vob = reg ? reg->find_vob("proj") : nullptr;
    return vob ? vob->git_dir + "/vessary/selected-tree" : "";
  }
  // Lets the statuses of the files just written age past the clock tick, so that what is
  // judged of them is kept.
  static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(60)); }
  struct Seen {
    uint32_t mtype;
    tbs_oid_t elem, obj;
  };
  std::vector<Seen> seen(const std::string &view) {
    std::vector<Seen> out;
    for (const std::string &rel : rels_) {
      view_xstat_t v = {};
      std::string path = p(view, rel);
      if (view_lget_xstat(path.c_str(), 1, &v, nullptr, nullptr, 0, nullptr) != KS_ST_OK) v.mtype = ~0u;
      out.push_back(Seen{v.mtype, v.elem_oid, v.obj_oid});
    }
    return out;
  }
  void expect_same(const std::vector<Seen> &a, const std::vector<Seen> &b, const char *what) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); i++) {
      EXPECT_EQ(a[i].mtype, b[i].mtype) << what << ": " << rels_[i];
      EXPECT_TRUE(same(a[i].elem, b[i].elem)) << what << ": " << rels_[i];
      EXPECT_TRUE(same(a[i].obj, b[i].obj)) << what << ": " << rels_[i];
    }
  }
  // Identities as the repository gives them, with no cache file.
  std::vector<Seen> uncached(const std::string &view) {
    new_process();
    std::filesystem::remove(cache_file(view));
    std::filesystem::remove(kept_tree());
    std::vector<Seen> out = seen(view);
    new_process();
    return out;
  }
};

TEST_F(IdentityCacheTest, ALaterProcessGetsWhatTheRepositoryGives) {
  site::write_file(p("alpha", "out/x.o"), "o\n");
  site::write_file(p("alpha", "src/b.c"), "edited\n");  // checked out
  settle();
  std::vector<Seen> first = seen("alpha");
  new_process();
  ASSERT_TRUE(std::filesystem::exists(cache_file("alpha")));
  expect_same(seen("alpha"), first, "from the cache");
  expect_same(uncached("alpha"), first, "from the repository");
  // Another view of the same commit learns the tree from what the first kept, and the files'
  // data from its own index.
  seen("alpha");
  new_process();
  ASSERT_TRUE(std::filesystem::exists(kept_tree()));
  site::write_file(p("beta", "out/x.o"), "o\n");
  site::write_file(p("beta", "src/b.c"), "edited\n");
  settle();
  std::vector<Seen> beta = seen("beta");
  expect_same(beta, uncached("beta"), "another view from the kept tree");
  EXPECT_EQ(beta[2].mtype, VOB_MTYPE_VERSION);
  EXPECT_EQ(beta[3].mtype, VOB_MTYPE_CHECKEDOUT);
  EXPECT_EQ(first[2].mtype, VOB_MTYPE_VERSION);
  EXPECT_EQ(first[3].mtype, VOB_MTYPE_CHECKEDOUT);
  EXPECT_EQ(first[4].mtype, VOB_MTYPE_SLINK);
  EXPECT_EQ(first[7].mtype, VOB_MTYPE_VIEW_PRIVATE);
}

TEST_F(IdentityCacheTest, ChangesAfterTheCacheWasWrittenAreSeen) {
  // Each change is made between two processes, the first of which left its cache behind.
  struct Case {
    const char *what;
    std::function<void(IdentityCacheTest *)> change;
  } cases[] = {
      {"a file edited", [](IdentityCacheTest *t) { site::write_file(t->p("alpha", "src/a.c"), "int q;\n"); }},
      {"a file edited back", [](IdentityCacheTest *t) { site::write_file(t->p("alpha", "src/a.c"), "int a;\n"); }},
      {"a file added", [](IdentityCacheTest *t) { site::write_file(t->p("alpha", "out/x.o"), "x\n"); }},
      {"a file deleted", [](IdentityCacheTest *t) { std::filesystem::remove(t->p("alpha", "out/x.o")); }},
      {"a commit", [](IdentityCacheTest *t) {
         site::write_file(t->p("alpha", "src/a.c"), "int a = 2;\n");
         site::write_file(t->p("alpha", "out/x.o"), "now tracked\n");
         t->site_.git({"add", "-A"}, t->p("alpha"));
         t->site_.git({"commit", "-q", "-m", "next"}, t->p("alpha"));
       }},
      {"a checkout of the first commit", [](IdentityCacheTest *t) {
         t->site_.git({"checkout", "-q", "--detach", "HEAD~1"}, t->p("alpha"));
       }},
      {"the kept tree of another view's commit", [](IdentityCacheTest *t) {
         site::write_file(t->p("beta", "src/b.c"), "int kept;\n");
         t->site_.git({"commit", "-q", "-am", "beta again"}, t->p("beta"));
         std::filesystem::remove(t->cache_file("beta"));
         t->seen("beta");
         t->new_process();
         std::filesystem::remove(t->cache_file("alpha"));
       }},
      {"a branch checked out", [](IdentityCacheTest *t) {
         t->site_.git({"checkout", "-q", "-B", "work"}, t->p("alpha"));
         site::write_file(t->p("alpha", "src/b.c"), "int b = 5;\n");
         t->site_.git({"commit", "-q", "-am", "on a branch"}, t->p("alpha"));
       }},
      {"the cache file damaged", [](IdentityCacheTest *t) {
         std::fstream f(t->cache_file("alpha"), std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(40);
         f.put('\x7f');
       }},
      {"the cache file of another view", [](IdentityCacheTest *t) {
         site::write_file(t->p("beta", "src/a.c"), "int beta;\n");
         t->site_.git({"commit", "-q", "-am", "beta"}, t->p("beta"));
         t->settle();
         t->seen("beta");
         t->new_process();
         std::filesystem::copy_file(t->cache_file("beta"), t->cache_file("alpha"),
                                    std::filesystem::copy_options::overwrite_existing);
       }},
  };
  for (const Case &c : cases) {
    settle();
    seen("alpha");
    new_process();
    c.change(this);
    settle();
    std::vector<Seen> now = seen("alpha");
    new_process();
    expect_same(now, uncached("alpha"), c.what);
  }
}

TEST(ObjectIdentifiers, DerivedIdentifiersAreThoseStoresAlreadyHold) {
  // The values git gives the derivation's bytes as a blob ("git hash-object"), laid out as
  // name-based identifiers: records and stores written earlier name objects by them.
  auto hex = [](const tbs_oid_t &o) {
    char text[33];
    for (int i = 0; i < 16; i++) std::snprintf(text + 2 * i, 3, "%02x", o.bytes[i]);
    return std::string(text);
  };
  tbs_oid_t vob;
  uint8_t digest[20];
  for (int i = 0; i < 16; i++) vob.bytes[i] = uint8_t(i);
  for (int i = 0; i < 20; i++) digest[i] = uint8_t(100 + i);
  EXPECT_EQ(hex(vob_ob_elem_oid(vob, "src/a.c")), "d68c46d5549c5d499c1cde34dc18f9d3");
  EXPECT_EQ(hex(vob_ob_ver_oid(vob, digest, 20)), "bc905ab44a4b5bfe9184322471e54c1c");
}

// A decoder of a checked format refuses the bytes cut at every length and with any one byte
// changed (by xor with mask).
void expect_every_cut_and_flip_refused(const std::string &bytes, char mask,
                                       const std::function<bool(const char *, size_t)> &decode) {
  for (size_t len = 0; len < bytes.size(); len++)
    EXPECT_FALSE(decode(bytes.data(), len)) << "cut at " << len;
  for (size_t at = 0; at < bytes.size(); at++) {
    std::string flipped = bytes;
    flipped[at] = char(flipped[at] ^ mask);
    EXPECT_FALSE(decode(flipped.data(), flipped.size())) << "byte " << at;
  }
}

TEST(IdentityCacheFile, OnlyAWholeIntactFileIsRead) {
  view_idcache_t c;
  c.view_uuid = tbs_uuid_t{{1, 2, 3}};
  c.vob_oid = tbs_oid_t{{4, 5, 6}};
  c.root = "/views/v/proj";
  c.commit = std::string(40, 'a');
  c.tree[""] = view_idcache_entry_t{040000, {9}, tbs_oid_t{{7}}};
  c.tree["src/a.c"] = view_idcache_entry_t{0100644, {8}, {}};
  c.verdicts["src/a.c"] = view_idcache_verdict_t{{1, 2, 3, 4, 5, 6, 7}, {8}, true, tbs_oid_t{{10}}, tbs_oid_t{{11}}};
  const std::string bytes = view_idcache_encode(c);
  view_idcache_t back;
  ASSERT_TRUE(view_idcache_decode(bytes.data(), bytes.size(), &back));
  EXPECT_EQ(back.root, c.root);
  EXPECT_EQ(back.commit, c.commit);
  EXPECT_EQ(back.tree.size(), 2u);
  EXPECT_EQ(back.tree["src/a.c"].mode, 0100644u);
  EXPECT_TRUE(same(back.tree[""].digest, c.tree[""].digest));
  ASSERT_EQ(back.verdicts.size(), 1u);
  EXPECT_TRUE(back.verdicts["src/a.c"].sig == c.verdicts["src/a.c"].sig);
  EXPECT_TRUE(back.verdicts["src/a.c"].same);
  EXPECT_TRUE(same(back.verdicts["src/a.c"].elem, c.verdicts["src/a.c"].elem));
  EXPECT_TRUE(same(back.verdicts["src/a.c"].ver, c.verdicts["src/a.c"].ver));
  expect_every_cut_and_flip_refused(bytes, 0x10, [&](const char *data, size_t len) {
    return view_idcache_decode(data, len, &back);
  });
}

// A worktree's index read without the version-control library: in each index version, every
// staged path with the blob and the status git recorded; an index that keeps its entries
// elsewhere, or a damaged one, is refused.
TEST(WorktreeIndex, EachVersionGivesWhatGitStaged) {
  site::Site site;
  const std::string repo = site.make_repo("r", {{"a.c", "int a;\n"}, {"dir/b.c", "int b;\n"}, {"dir/sub/c.h", "c\n"}});
  const std::string index = repo + "/.git/index";
  auto hex = [](const uint8_t *id) {
    char text[41];
    for (int i = 0; i < 20; i++) std::snprintf(text + 2 * i, 3, "%02x", id[i]);
    return std::string(text);
  };
  struct Case {
    const char *what;
    std::vector<std::vector<std::string>> git;
    bool readable;
  } cases[] = {
      {"version 2", {{"update-index", "--index-version", "2"}}, true},
      {"version 3, an entry with extended flags", {{"add", "-N", "new.c"}}, true},
      {"version 4, names built on the previous one", {{"update-index", "--index-version", "4"}}, true},
      {"a split index", {{"update-index", "--split-index"}}, false},
  };
  site::write_file(repo + "/new.c", "int n;\n");
  for (const Case &c : cases) {
    for (const auto &args : c.git) site.git(args, repo);
    vob_gitindex_t entries;
    ASSERT_EQ(vob_gitindex_read(index, &entries), c.readable) << c.what;
    if (!c.readable) continue;
    e2e::Result staged = site.run({"/usr/bin/env", "git", "ls-files", "-s"}, {}, repo);
    std::vector<std::string> lines = e2e::lines(staged.out);
    ASSERT_EQ(entries.size(), lines.size()) << c.what;
    for (const std::string &line : lines) {  // "<mode> <blob> <stage>\t<path>"
      const std::string rel = line.substr(line.find('\t') + 1), blob = line.substr(7, 40);
      auto it = entries.find(rel);
      ASSERT_NE(it, entries.end()) << c.what << ": " << rel;
      EXPECT_EQ(hex(it->second.id), blob) << c.what << ": " << rel;
      if (rel == "new.c") continue;  // only intended: no status, no data staged
      struct stat st;
      ASSERT_EQ(lstat((repo + "/" + rel).c_str(), &st), 0);
      EXPECT_EQ(it->second.size, uint32_t(st.st_size)) << c.what << ": " << rel;
      EXPECT_EQ(it->second.ino, uint32_t(st.st_ino)) << c.what << ": " << rel;
      EXPECT_EQ(int64_t(it->second.mtime_sec), int64_t(st.st_mtim.tv_sec)) << c.what << ": " << rel;
      EXPECT_TRUE(vob_gitindex_holds((repo + "/" + rel).c_str(), it->second.id)) << rel;
    }
    if (std::string(c.what) == "version 2") {
      // Every cut and every changed byte is seen (the trailer is the digest of the rest).
      const std::string bytes = site::read_file(index);
      expect_every_cut_and_flip_refused(bytes, 0x01, [&](const char *data, size_t len) {
        return vob_gitindex_decode(data, len, &entries);
      });
    }
  }
  // A file's data is compared as it is now.
  vob_gitindex_t entries;
  site.git({"update-index", "--no-split-index"}, repo);
  ASSERT_TRUE(vob_gitindex_read(index, &entries));
  site::write_file(repo + "/a.c", "int A;\n");
  EXPECT_FALSE(vob_gitindex_holds((repo + "/a.c").c_str(), entries["a.c"].id));
  EXPECT_FALSE(vob_gitindex_holds((repo + "/missing.c").c_str(), entries["a.c"].id));
  // A pipe in a file's place is neither waited on nor read.
  std::filesystem::remove(repo + "/a.c");
  ASSERT_EQ(mkfifo((repo + "/a.c").c_str(), 0644), 0);
  EXPECT_FALSE(vob_gitindex_holds((repo + "/a.c").c_str(), entries["a.c"].id));
  EXPECT_FALSE(vob_gitindex_read(repo + "/a.c", &entries));
}

TEST_F(ViewTest, ViewRelativeAndViewExtendedNamesRoundTrip) {
  char vrel[1024], ext[1024];
  struct Case {
    std::string path;
    const char *vrel;
  } cases[] = {
      {p("alpha", "src/a.c"), "/proj/src/a.c"},
      {p("alpha", "src/new.o"), "/proj/src/new.o"},
      {p("alpha"), "/proj"},
      {site_.view_root() + "/alpha", "/"},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(view_abspn_to_viewrel(c.path.c_str(), vrel, sizeof vrel), KS_ST_OK) << c.path;
    EXPECT_STREQ(vrel, c.vrel);
    ASSERT_EQ(view_viewrel_to_view_ext("alpha", vrel, ext, sizeof ext), KS_ST_OK);
    EXPECT_EQ(std::string(ext), c.path);
  }
  EXPECT_EQ(view_abspn_to_viewrel(repo_.c_str(), vrel, sizeof vrel), KS_ST_NOT_IN_VIEW);
  EXPECT_EQ(view_abspn_to_viewrel(p("alpha", "src/a.c").c_str(), vrel, 5), KS_ST_NAME_TOO_LONG);
  view_info_t info;
  ASSERT_EQ(view_get_view_info(p("beta", "src").c_str(), 1, &info), KS_ST_OK);
  EXPECT_STREQ(info.tag, "beta");
  ASSERT_EQ(view_get_view_info(site_.dir().c_str(), 1, &info), KS_ST_OK);
  EXPECT_TRUE(tbs_uuid_is_null(&info.uuid));
}

}  // namespace
