// The registry and the view database.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "../../e2e/site_util.h"
#include "dbrpc/dbrpc_reg.h"
#include "dbrpc/dbrpc_viewdb.h"
#include "tbs/tbs_product.h"
#include "tbs/tbs_status.h"

namespace {

TEST(DbrpcReg, TagsAreSingleSafeNames) {
  struct Case {
    std::string tag;
    bool ok;
  } cases[] = {
      {"proj", true}, {"my-vob_2.0", true}, {std::string(255, 'a'), true},
      {"", false}, {".hidden", false}, {"-opt", false}, {"a/b", false},
      {"a b", false}, {"..", false}, {std::string(256, 'a'), false}, {"tag\n", false},
  };
  for (const Case &c : cases) EXPECT_EQ(dbrpc_reg_tag_is_valid(c.tag), c.ok) << c.tag;
}

dbrpc_vob_rec_t vob(const std::string &tag, uint8_t id, const std::string &git_dir) {
  dbrpc_vob_rec_t v;
  v.tag = tag;
  v.oid = TBS_OID_NULL;
  v.oid.bytes[0] = id;
  v.path = "/repos/" + tag;
  v.git_dir = git_dir;
  v.host = "host";
  return v;
}

dbrpc_view_rec_t view(const std::string &tag, uint8_t id, std::vector<std::string> vobs) {
  dbrpc_view_rec_t v;
  v.tag = tag;
  v.uuid = TBS_UUID_NULL;
  v.uuid.bytes[0] = id;
  v.storage = "/storage/" + tag;
  v.host = "host";
  v.vob_tags = std::move(vobs);
  return v;
}

// What the registry lists, as text, to compare before and after.
std::string listing() {
  ks_status_t status;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  EXPECT_NE(reg, nullptr);
  std::string out;
  for (const auto &v : reg->vobs) out += "vob " + v.tag + " " + v.git_dir + " " + tbs_oid_to_str(&v.oid) + "\n";
  for (const auto &v : reg->views) {
    out += "view " + v.tag + " " + tbs_uuid_to_str(&v.uuid);
    for (const auto &t : v.vob_tags) out += " " + t;
    out += "\n";
  }
  return out;
}

TEST(DbrpcReg, WithoutASiteTheRegistryIsEmptyAndCannotBeWritten) {
  site::Site s;
  ks_status_t status;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  ASSERT_NE(reg, nullptr);
  EXPECT_TRUE(reg->vobs.empty());
  EXPECT_NE(dbrpc_reg_add_vob(vob("a", 1, "/g/a")), KS_ST_OK);
  struct stat st;
  EXPECT_NE(stat(tbs_registry_pname().c_str(), &st), 0);
}

TEST(DbrpcReg, ConflictingEntriesAreRefusedAndChangeNothing) {
  site::Site s;
  ASSERT_EQ(dbrpc_reg_create_site(), KS_ST_OK);
  ASSERT_EQ(dbrpc_reg_add_vob(vob("a", 1, "/g/a")), KS_ST_OK);
  ASSERT_EQ(dbrpc_reg_add_vob(vob("b", 2, "/g/b")), KS_ST_OK);
  ASSERT_EQ(dbrpc_reg_add_view(view("v", 1, {"b", "a"})), KS_ST_OK);
  std::string before = listing();
  EXPECT_NE(before.find("view v 01000000.00000000.00000000.00000000 b a\n"), std::string::npos) << before;
  struct Case {
    const char *what;
    ks_status_t status;
    ks_status_t (*change)();
  } cases[] = {
      {"same VOB tag", TBS_ST_EXISTS, [] { return dbrpc_reg_add_vob(vob("a", 9, "/g/other")); }},
      {"same git directory", TBS_ST_EXISTS, [] { return dbrpc_reg_add_vob(vob("c", 9, "/g/a")); }},
      {"same VOB OID", TBS_ST_EXISTS, [] { return dbrpc_reg_add_vob(vob("c", 1, "/g/c")); }},
      {"same view tag", TBS_ST_EXISTS, [] { return dbrpc_reg_add_view(view("v", 9, {})); }},
      {"same view UUID", TBS_ST_EXISTS, [] { return dbrpc_reg_add_view(view("w", 1, {})); }},
      {"unknown VOB in view", KS_ST_NOT_FOUND, [] { return dbrpc_reg_add_view(view("w", 9, {"a", "zz"})); }},
      {"VOB loaded by a view", TBS_ST_EXISTS, [] { return dbrpc_reg_remove_vob("a"); }},
      {"unknown VOB", KS_ST_NOT_FOUND, [] { return dbrpc_reg_remove_vob("zz"); }},
      {"unknown view", KS_ST_NOT_FOUND, [] { return dbrpc_reg_remove_view("zz"); }},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.change(), c.status) << c.what;
    EXPECT_EQ(listing(), before) << c.what;
  }
  ASSERT_EQ(dbrpc_reg_remove_view("v"), KS_ST_OK);
  ASSERT_EQ(dbrpc_reg_remove_vob("a"), KS_ST_OK);
  EXPECT_EQ(listing(), "vob b /g/b 02000000.00000000.00000000.00000000\n");
}

TEST(DbrpcReg, SnapshotsFollowTheSiteAndItsChanges) {
  site::Site first;
  ASSERT_EQ(dbrpc_reg_create_site(), KS_ST_OK);
  ASSERT_EQ(dbrpc_reg_add_vob(vob("a", 1, "/g/a")), KS_ST_OK);
  ks_status_t status;
  dbrpc_reg_snapshot_h one = dbrpc_reg_snapshot(&status);
  ASSERT_EQ(dbrpc_reg_snapshot(&status), one);  // unchanged: the same snapshot
  ASSERT_EQ(dbrpc_reg_add_vob(vob("b", 2, "/g/b")), KS_ST_OK);
  dbrpc_reg_snapshot_h two = dbrpc_reg_snapshot(&status);
  EXPECT_EQ(two->vobs.size(), 2u);
  EXPECT_EQ(one->vobs.size(), 1u);  // a snapshot taken earlier stays as it was
  {
    site::Site second;
    EXPECT_TRUE(dbrpc_reg_snapshot(&status)->vobs.empty());
  }
  EXPECT_EQ(dbrpc_reg_snapshot(&status)->vobs.size(), 2u);
}

TEST(DbrpcViewdb, PrivateOidsFollowTheObjectAndItsData) {
  site::Site s;
  std::string storage = s.dir() + "/store";
  ASSERT_EQ(dbrpc_viewdb_create(storage), KS_ST_OK);
  std::string file = s.dir() + "/f";
  site::write_file(file, "one\n");
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  tbs_oid_t a, b, c;
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/f", st, &a), KS_ST_OK);
  dbrpc_viewdb_close_all();
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/f", st, &b), KS_ST_OK);
  EXPECT_TRUE(tbs_oid_eq(&a, &b));
  struct Case {
    const char *what;
    void (*change)(struct stat *);
  } cases[] = {
      {"size", [](struct stat *x) { x->st_size++; }},
      {"modification time", [](struct stat *x) { x->st_mtim.tv_nsec ^= 1; }},
      {"inode", [](struct stat *x) { x->st_ino++; }},
  };
  for (const Case &k : cases) {
    struct stat changed = st;
    k.change(&changed);
    ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/f", changed, &c), KS_ST_OK);
    EXPECT_FALSE(tbs_oid_eq(&a, &c)) << k.what;
    ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/f", st, &a), KS_ST_OK);  // back again: new
    EXPECT_FALSE(tbs_oid_eq(&a, &c)) << k.what;
  }
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/g", st, &c), KS_ST_OK);
  EXPECT_FALSE(tbs_oid_eq(&a, &c));  // another name, another object
  // A directory keeps its OID while its entries change.
  struct stat dir;
  ASSERT_EQ(stat(s.dir().c_str(), &dir), 0);
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/d", dir, &a), KS_ST_OK);
  dir.st_mtim.tv_sec++;
  dir.st_size += 4096;
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/d", dir, &b), KS_ST_OK);
  EXPECT_TRUE(tbs_oid_eq(&a, &b));
  dbrpc_viewdb_close_all();
  EXPECT_NE(dbrpc_viewdb_private_oid(s.dir() + "/nostore", "/v/f", st, &a), KS_ST_OK);
}

}  // namespace
