// The record tables and the store of derived objects: pathnames of record objects, dependency
// hashes, and derived objects written through a view and read back from the VOB.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../../e2e/site_util.h"
#include "cm/bldr_vob.h"
#include "cm/cm_cr.h"
#include "cm/cm_do.h"
#include "cm/cr_utl_hash.h"
#include "cm/cr_utl_nt.h"
#include "dbrpc/dbrpc_sqlite.h"
#include "dbrpc/dbrpc_viewdb.h"
#include "dbrpc/dbrpc_vobdb.h"
#include "view/view_do.h"
#include "view/view_info.h"
#include "view/view_winkin.h"
#include "view/view_xstat.h"
#include "vob/vob_mtype.h"

namespace {

tbs_oid_t oid(uint8_t n) {
  tbs_oid_t o;
  std::memset(o.bytes, n, 16);
  return o;
}

// Objects of a record kept by the test; the record points into them.
struct Rec {
  tbs_cr_t cr{};
  std::vector<tbs_cr_obj_t> objs;
  std::vector<tbs_cr_obj_t *> ptrs;
  std::vector<std::string> names;
  tbs_cr_vob_t vob{};
  std::string vob_name = "host:vob";

  void add(tbs_oid_t id, tbs_oid_t parent, const std::string &name, uint32_t flags,
           uint8_t ftype = TBS_CR_FTYPE_FILE, tbs_oid_t elem = {}) {
    tbs_cr_obj_t o{};
    o.oid = id;
    o.parent_oid = parent;
    o.flags = flags;
    o.ftype = ftype;
    o.elem_oid = elem;
    objs.push_back(o);
    names.push_back(name);
  }
  tbs_cr_t *finish(const char *target = "t") {
    ptrs.clear();
    for (size_t i = 0; i < objs.size(); i++) {
      objs[i].name = names[i].data();
      ptrs.push_back(&objs[i]);
    }
    vob.name = vob_name.data();
    cr.format = TBS_CR_FORMAT;
    cr.target_name = const_cast<char *>(target);
    cr.vob_count = 1;
    cr.vobs = &vob;
    cr.obj_count = uint32_t(ptrs.size());
    cr.objs = ptrs.data();
    return &cr;
  }
};

TEST(CrUtlNametable, PathnamesFollowParentsUpToTheVobRoot) {
  Rec r;
  r.vob.root_oid = oid(0xEF);
  r.add(oid(0xEF), {}, "", 0x2, TBS_CR_FTYPE_DIR);          // 0 the root
  r.add(oid(1), oid(0xEF), "src", 0x2, TBS_CR_FTYPE_DIR);   // 1
  r.add(oid(2), oid(1), "junk/a.o", 0x20);                  // 2 below a view-private directory
  r.add(oid(3), oid(0x99), "lost", 0x4);                    // 3 parent nowhere
  r.add(oid(4), oid(5), "c1", 0x2, TBS_CR_FTYPE_DIR);       // 4, 5 a cycle
  r.add(oid(5), oid(4), "c2", 0x2, TBS_CR_FTYPE_DIR);
  r.add(oid(8), oid(0xEF), "f", 0x4);                       // 6 a file and
  r.add(oid(8), oid(0xEF), "d", 0x2, TBS_CR_FTYPE_DIR);     // 7 a directory of one OID
  r.add(oid(9), oid(8), "x", 0x4);                          // 8 below that OID: the directory
  tbs_cr_t *cr = r.finish();
  cr_utl_nt_hdl_t nt = cr_utl_create_nametable(1, CR_UTL_ST_HDL_NULL, cr, 0);
  ASSERT_NE(nt, CR_UTL_NT_HDL_NULL);
  char buf[1024];
  struct {
    uint32_t index;
    const char *want;
  } cases[] = {{2, "/vob/src/junk/a.o"}, {0, "/vob"}, {1, "/vob/src"}, {3, nullptr}, {4, nullptr},
               {8, "/vob/d/x"}, {6, "/vob/f"}, {7, "/vob/d"}, {9, nullptr}};
  for (const auto &c : cases) {
    char *got = cr_utl_get_pn(nt, cr, c.index, sizeof buf, buf);
    if (c.want) {
      ASSERT_NE(got, nullptr) << c.index;
      EXPECT_STREQ(got, c.want);
    } else {
      EXPECT_EQ(got, nullptr) << c.index;
    }
  }
  char small[8];
  EXPECT_EQ(cr_utl_get_pn(nt, cr, 2, sizeof small, small), nullptr);
  cr_utl_destroy_nametable(nt);

  // Without the root object in the record the VOB's root OID still ends the walk.
  Rec rootless;
  rootless.vob.root_oid = oid(0xEF);
  rootless.add(oid(7), oid(0xEF), "b.o", 0x20);
  cr = rootless.finish();
  nt = cr_utl_create_nametable(1, CR_UTL_ST_HDL_NULL, cr, 0);
  EXPECT_STREQ(cr_utl_get_pn(nt, cr, 0, sizeof buf, buf), "/vob/b.o");
  cr_utl_destroy_nametable(nt);
  EXPECT_EQ(cr_utl_find_objdesc(cr, &rootless.objs[0].oid), &rootless.objs[0]);
}

TEST(CmCrDepHashes, OneForEachDependencyTheBuildDidNotMake) {
  Rec r;
  r.add(oid(1), {}, "src/a.c", TBS_CR_OBJ_PREDEF | TBS_CR_OBJ_READ, TBS_CR_FTYPE_FILE, oid(0x61));
  r.add(oid(2), {}, "a.h", TBS_CR_OBJ_DETECTED | TBS_CR_OBJ_READ, TBS_CR_FTYPE_FILE, oid(0x62));
  r.add(oid(3), {}, "lib.o", TBS_CR_OBJ_DETECTED | TBS_CR_OBJ_SUB_DO);      // a derived object
  r.add(oid(4), {}, "a.o", TBS_CR_OBJ_DETECTED | TBS_CR_OBJ_NEW_DO);        // made: no hash
  r.add(oid(5), {}, "src", TBS_CR_OBJ_DETECTED, TBS_CR_FTYPE_DIR, oid(0x65));  // a directory
  r.add(oid(6), {}, "tmp", TBS_CR_OBJ_READ, TBS_CR_FTYPE_FILE, oid(0x66));  // no dependency
  r.add(oid(7), {}, "priv.h", TBS_CR_OBJ_DETECTED);                         // view-private
  tbs_cr_t *cr = r.finish();
  uint32_t count = 0;
  const cr_utl_dep_hash_t *hashes = nullptr;
  cr_utl_hash_deps_h_t arr = CR_UTL_HASH_DEPS_H_NULL;
  ASSERT_EQ(cm_cr_get_dep_hashes(cr, STG_AREA_NULL, &count, &hashes, &arr), KS_ST_OK);
  ASSERT_EQ(count, 3u);
  tbs_oid_t e1 = oid(0x61), e2 = oid(0x62), o1 = oid(1), o2 = oid(2), o3 = oid(3);
  cr_utl_dep_hash_t want[] = {cr_utl_dep_hash("a.c", &e1, &o1), cr_utl_dep_hash("a.h", &e2, &o2),
                              cr_utl_do_dep_hash("lib.o", &o3)};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(hashes[i].words[0], want[i].words[0]) << i;
    EXPECT_EQ(hashes[i].words[1], want[i].words[1]) << i;
  }
  // A lookup that adds the same dependency finds it there already.
  ASSERT_EQ(cr_utl_add_dep_hash(arr, VOB_HANDLE_NULL, "a.c", &e1, &o1), KS_ST_OK);
  ASSERT_EQ(cr_utl_get_dep_hash_array(arr, &count, &hashes), KS_ST_OK);
  EXPECT_EQ(count, 3u);
  cr_utl_destroy_dep_hash_array(&arr);
  EXPECT_EQ(arr, CR_UTL_HASH_DEPS_H_NULL);
}

TEST(CmCrDepHashes, AManyHashArrayKeepsEachHashOnceInTheOrderAdded) {
  cr_utl_hash_deps_h_t arr = cr_utl_new_dep_hash_array(0, 1);
  ASSERT_NE(arr, CR_UTL_HASH_DEPS_H_NULL);
  auto hash = [](uint32_t i) { return cr_utl_dep_hash_t{{i % 7, i}}; };  // first words collide
  for (uint32_t i = 0; i < 1000; i++) {
    ASSERT_EQ(cr_utl_add_hash_value(arr, hash(i)), KS_ST_OK);
    ASSERT_EQ(cr_utl_add_hash_value(arr, hash(i / 2)), KS_ST_OK);  // there already
  }
  cr_utl_hash_deps_h_t copy = cr_utl_clone_dep_hash_array(arr);
  ASSERT_EQ(cr_utl_add_hash_value(copy, hash(999)), KS_ST_OK);
  ASSERT_EQ(cr_utl_add_hash_value(copy, hash(1000)), KS_ST_OK);
  for (auto [a, want] : {std::pair{arr, 1000u}, std::pair{copy, 1001u}}) {
    uint32_t count = 0;
    const cr_utl_dep_hash_t *hashes = nullptr;
    ASSERT_EQ(cr_utl_get_dep_hash_array(a, &count, &hashes), KS_ST_OK);
    ASSERT_EQ(count, want);
    for (uint32_t i = 0; i < count; i++) {
      EXPECT_EQ(hashes[i].words[0], hash(i).words[0]) << i;
      EXPECT_EQ(hashes[i].words[1], hash(i).words[1]) << i;
    }
  }
  cr_utl_destroy_dep_hash_array(&copy);
  cr_utl_destroy_dep_hash_array(&arr);
}

// A site with a VOB and a view, and files written in the view as a build would.
class CmStore : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.make_vob("vob", {{"src/hello.c", "int main(){return 0;}\n"}});
    site_.make_view("v1");
    ASSERT_EQ(view_get_handle_by_tag("v1", &view_), KS_ST_OK);
  }
  void TearDown() override {
    view_free_handle(view_);
    view_xstat_flush_cache();
    dbrpc_viewdb_close_all();
    dbrpc_vobdb_close_all();
  }
  std::string path(const std::string &rel) { return site_.path("v1", "vob", rel); }
  view_oids_t oids(const std::string &rel) {
    view_oids_t o;
    EXPECT_EQ(view_get_oids(path(rel).c_str(), 0, 0, 0, &o), KS_ST_OK) << rel;
    return o;
  }
  // A record of target hello.o that made the files rels in src/, as the view identifies them.
  Rec record_of(const std::vector<std::string> &rels) {
    Rec r;
    view_oids_t src = oids("src"), hc = oids("src/hello.c");
    r.vob.vob_oid = src.vob_oid;
    r.vob.root_oid = oids("").obj_oid;
    r.vob_name = "host:vob";
    r.add(src.obj_oid, r.vob.root_oid, "src", TBS_CR_OBJ_DETECTED, TBS_CR_FTYPE_DIR, src.elem_oid);
    r.add(hc.obj_oid, src.obj_oid, "hello.c", TBS_CR_OBJ_PREDEF | TBS_CR_OBJ_READ,
          TBS_CR_FTYPE_FILE, hc.elem_oid);
    for (const auto &rel : rels) {
      view_oids_t o = oids("src/" + rel);
      r.add(o.obj_oid, src.obj_oid, rel, TBS_CR_OBJ_NEW_DO | TBS_CR_OBJ_CREATED | TBS_CR_OBJ_WRITTEN);
    }
    return r;
  }
  ks_status_t write(tbs_cr_t *cr, const std::vector<std::string> &rels) {
    stg_area_t area = stg_create_area(4096);
    std::vector<bldr_vob_do_desc_t *> descs;
    for (uint32_t i = 0; i < cr->obj_count; i++)
      if (cr->objs[i]->flags & TBS_CR_OBJ_NEW_DO)
        descs.push_back(bldr_vob_new_do_desc(area, &cr->objs[i]->oid,
                                             ("/vob/src/" + rels[descs.size()]).c_str(), 1));
    tbs_oid_t primary = cr->objs[1]->oid;
    ks_status_t st = bldr_vob_write_crs_dos(cr, CR_UTL_NT_HDL_NULL, 0, descs.data(),
                                            uint32_t(descs.size()), nullptr, 0, &primary, 77,
                                            nullptr, 0, "v1", view_, nullptr);
    stg_delete_area(&area);
    return st;
  }

  site::Site site_;
  view_handle_t view_ = VIEW_HANDLE_NULL;
};

TEST_F(CmStore, AWrittenFileBecomesADerivedObjectWithItsRecord) {
  site::write_file(path("src/hello.o"), "object code");
  site::write_file(path("src/hello.map"), "map");
  Rec r = record_of({"hello.o", "hello.map"});
  tbs_cr_t *cr = r.finish("hello.o");
  tbs_oid_t do_oid = cr->objs[2]->oid;
  EXPECT_EQ(oids("src/hello.o").mtype, VOB_MTYPE_VIEW_PRIVATE_FILE);
  ASSERT_EQ(write(cr, {"hello.o", "hello.map"}), KS_ST_OK);
  view_oids_t now = oids("src/hello.o");
  EXPECT_EQ(now.mtype, VOB_MTYPE_DERIVED_OBJ);
  EXPECT_TRUE(tbs_oid_eq(&now.obj_oid, &do_oid));

  vob_handle_t vobh;
  ASSERT_EQ(vob_ob_vob_oid_to_vobh(&now.vob_oid, &vobh), KS_ST_OK);
  size_t len = 0;
  char *want = tbs_cr_encode(cr, &len);
  for (uint8_t i : {2, 3}) {  // each derived object has the record
    tbs_cr_t got;
    ASSERT_EQ(cm_cr_get_cr(vobh, &cr->objs[i]->oid, 1, 1, nullptr, &got), KS_ST_OK);
    size_t glen = 0;
    char *gb = tbs_cr_encode(&got, &glen);
    EXPECT_EQ(std::string(gb, glen), std::string(want, len));
    free(gb);
    cm_cr_free_cr(vobh, &got);
  }
  free(want);
  cm_do_info_t info;
  ASSERT_EQ(cm_do_get_info(vobh, &do_oid, &info), KS_ST_OK);
  EXPECT_EQ(info.has_data, 1);
  EXPECT_EQ(info.shared, 0);
  EXPECT_EQ(info.mtype, uint32_t(VOB_MTYPE_DERIVED_OBJ));
  dbrpc_vobdb_do_t row;
  ASSERT_EQ(dbrpc_vobdb_find_do(vob_ob_get_git_dir(vobh), do_oid, &row), KS_ST_OK);
  EXPECT_EQ(row.name, "hello.o");
  EXPECT_EQ(row.vob_rel, "src/hello.o");
  EXPECT_EQ(row.script_hash, 77u);
  EXPECT_TRUE(tbs_oid_eq(&row.dir_oid, &cr->objs[0]->oid));

  std::vector<view_do_entry_t> dos;
  ASSERT_EQ(view_do_list(path("src").c_str(), &dos), KS_ST_OK);
  ASSERT_EQ(dos.size(), 2u);
  EXPECT_EQ(dos[0].path, path("src/hello.map"));
  EXPECT_EQ(dos[1].path, path("src/hello.o"));

  // Written again outside a build, the file is no longer that derived object, and the VOB knows
  // its data is gone; a record of another OID is not found.
  site::write_file(path("src/hello.o"), "other code, longer");
  view_xstat_flush_cache();
  EXPECT_EQ(oids("src/hello.o").mtype, VOB_MTYPE_VIEW_PRIVATE_FILE);
  ASSERT_EQ(cm_do_get_info(vobh, &do_oid, &info), KS_ST_OK);
  EXPECT_EQ(info.has_data, 0);
  ASSERT_EQ(view_do_list(path("").c_str(), &dos), KS_ST_OK);
  EXPECT_EQ(dos.size(), 1u);
  tbs_cr_t none;
  tbs_oid_t other = oid(0x31);
  EXPECT_EQ(cm_cr_get_cr(vobh, &other, 1, 1, nullptr, &none), KS_ST_NOT_FOUND);
}

TEST_F(CmStore, AFileChangedSinceItsAuditIsNotRecorded) {
  site::write_file(path("src/hello.o"), "object code");
  site::write_file(path("src/side.o"), "side");
  Rec r = record_of({"hello.o", "side.o"});
  site::write_file(path("src/side.o"), "changed after the audit");
  tbs_cr_t *cr = r.finish("hello.o");
  ASSERT_EQ(write(cr, {"hello.o", "side.o"}), KS_ST_OK);
  EXPECT_EQ(cr->objs[3]->flags & TBS_CR_OBJ_NEW_DO, 0u);  // not kept as made by the build
  EXPECT_EQ(oids("src/side.o").mtype, VOB_MTYPE_VIEW_PRIVATE_FILE);
  EXPECT_EQ(oids("src/hello.o").mtype, VOB_MTYPE_DERIVED_OBJ);
  vob_handle_t vobh;
  view_oids_t o = oids("src/hello.o");
  ASSERT_EQ(vob_ob_vob_oid_to_vobh(&o.vob_oid, &vobh), KS_ST_OK);
  tbs_cr_t got;
  ASSERT_EQ(cm_cr_get_cr(vobh, &o.obj_oid, 1, 1, nullptr, &got), KS_ST_OK);
  EXPECT_EQ(got.objs[3]->flags & TBS_CR_OBJ_NEW_DO, 0u);
  cm_cr_free_cr(vobh, &got);
}

TEST_F(CmStore, AStoredRecordWhoseBytesDoNotMatchTheirCrcIsNotServed) {
  site::write_file(path("src/hello.o"), "object code");
  Rec r = record_of({"hello.o"});
  tbs_cr_t *cr = r.finish("hello.o");
  ASSERT_EQ(write(cr, {"hello.o"}), KS_ST_OK);
  view_oids_t o = oids("src/hello.o");
  vob_handle_t vobh;
  ASSERT_EQ(vob_ob_vob_oid_to_vobh(&o.vob_oid, &vobh), KS_ST_OK);
  sqlite3 *db = dbrpc_vobdb_handle(vob_ob_get_git_dir(vobh));
  ASSERT_NE(db, nullptr);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE crs SET crc = crc + 1", nullptr, nullptr, nullptr), SQLITE_OK);
  tbs_cr_t got;
  EXPECT_EQ(cm_cr_get_cr(vobh, &o.obj_oid, 1, 1, nullptr, &got), KS_ST_TRUNCATED);
  EXPECT_EQ(got.objs, nullptr);
}

// The derived object hello.o of a record written in v1, with the record's dependency hashes.
struct Built {
  tbs_oid_t do_oid{};
  tbs_oid_t primary{};
  vob_handle_t vobh = VOB_HANDLE_NULL;
  uint32_t dir = 0;
};

class CmShopping : public CmStore {
 protected:
  Built build(uint64_t script_hash) {
    Built b;
    site::write_file(path("src/hello.o"), "object code " + std::to_string(script_hash));
    view_xstat_flush_cache();
    Rec r = record_of({"hello.o"});
    tbs_cr_t *cr = r.finish("hello.o");
    b.do_oid = cr->objs[2]->oid;
    b.primary = cr->objs[1]->oid;
    uint32_t n = 0;
    const cr_utl_dep_hash_t *hashes = nullptr;
    cr_utl_hash_deps_h_t arr = CR_UTL_HASH_DEPS_H_NULL;
    EXPECT_EQ(cm_cr_get_dep_hashes(cr, STG_AREA_NULL, &n, &hashes, &arr), KS_ST_OK);
    stg_area_t area = stg_create_area(4096);
    bldr_vob_do_desc_t *desc = bldr_vob_new_do_desc(area, &b.do_oid, "/vob/src/hello.o", 1);
    EXPECT_EQ(bldr_vob_write_crs_dos(cr, CR_UTL_NT_HDL_NULL, 0, &desc, 1, nullptr, 0, &b.primary,
                                     script_hash, hashes, n, "v1", view_, nullptr),
              KS_ST_OK);
    stg_delete_area(&area);
    cr_utl_destroy_dep_hash_array(&arr);
    char leaf[256];
    EXPECT_EQ(vob_resolve_do_split_pn(path("src/hello.o").c_str(), nullptr, nullptr, 1, &b.vobh,
                                      &b.dir, sizeof leaf, leaf),
              KS_ST_OK);
    EXPECT_STREQ(leaf, "hello.o");
    return b;
  }
  // The candidates a shopping walk gives, in order.
  std::vector<tbs_oid_t> shop(const Built &b, uint32_t dep_hash, uint64_t script_hash,
                              std::vector<cr_utl_dep_hash_t> trouble = {}) {
    std::vector<tbs_oid_t> out;
    vob_ob_cursor_t cursor = VOB_OB_CURSOR_NULL;
    tbs_oid_t next;
    while (cm_do_next_named_hash_do(b.vobh, b.dir, "hello.o", dep_hash, script_hash, trouble.data(),
                                    uint32_t(trouble.size()), &cursor, &next) == KS_ST_OK)
      out.push_back(next);
    EXPECT_EQ(cursor, VOB_OB_CURSOR_NULL);
    return out;
  }
};

TEST_F(CmShopping, CandidatesAreFoundByDirectoryNameAndHashesNewestFirst) {
  Built first = build(77);
  Built second = build(78);
  const uint32_t dep = cm_do_primary_hash(&first.primary);
  auto eq = [](const std::vector<tbs_oid_t> &got, const std::vector<tbs_oid_t> &want) {
    if (got.size() != want.size()) return false;
    for (size_t i = 0; i < got.size(); i++)
      if (!tbs_oid_eq(&got[i], &want[i])) return false;
    return true;
  };
  EXPECT_TRUE(eq(shop(first, dep, 0), {second.do_oid, first.do_oid}));
  EXPECT_TRUE(eq(shop(first, dep, 77), {first.do_oid}));
  EXPECT_TRUE(eq(shop(first, dep, 79), {}));
  EXPECT_TRUE(eq(shop(first, dep + 1, 0), {}));
  // Another directory's identifier names another directory.
  uint32_t root = 0;
  ASSERT_EQ(vob_dir_elem_dbid(first.vobh, "", &root), KS_ST_OK);
  EXPECT_NE(root, first.dir);
  // A candidate that used a version known not to be selected is passed over.
  view_oids_t hc = oids("src/hello.c");
  std::vector<cr_utl_dep_hash_t> trouble = {cr_utl_dep_hash("hello.c", &hc.elem_oid, &hc.obj_oid)};
  EXPECT_TRUE(eq(shop(first, dep, 0, trouble), {}));
  tbs_oid_t other = oid(0x44);
  EXPECT_TRUE(eq(shop(first, dep, 0, {cr_utl_dep_hash("hello.c", &hc.elem_oid, &other)}),
                 {second.do_oid, first.do_oid}));
}

TEST_F(CmShopping, PromotionCopiesTheDataThatWinkinLinksIntoAnotherView) {
  Built b = build(77);
  uint32_t dbid = 0;
  ASSERT_EQ(vob_obj_oid_to_dbid(b.vobh, &b.do_oid, &dbid), KS_ST_OK);
  tbs_oid_t back;
  ASSERT_EQ(vob_obj_dbid_to_oid(b.vobh, dbid, &back), KS_ST_OK);
  EXPECT_TRUE(tbs_oid_eq(&back, &b.do_oid));
  site_.make_view("v2");
  view_handle_t v2 = VIEW_HANDLE_NULL;
  ASSERT_EQ(view_get_handle_by_tag("v2", &v2), KS_ST_OK);
  const std::string dir2 = site_.path("v2", "vob", "src");
  // Unshared: nothing to wink in from.
  EXPECT_EQ(view_wink_in(v2, dir2.c_str(), "hello.o", &b.do_oid), KS_ST_NOT_FOUND);
  ASSERT_EQ(vob_do_promote(b.vobh, dbid), KS_ST_OK);
  cm_do_info_t info;
  ASSERT_EQ(cm_do_get_info(b.vobh, &b.do_oid, &info), KS_ST_OK);
  EXPECT_EQ(info.shared, 1);
  EXPECT_EQ(info.has_data, 1);
  ASSERT_EQ(view_wink_in(v2, dir2.c_str(), "hello.o", &b.do_oid), KS_ST_OK);
  EXPECT_EQ(site::read_file(dir2 + "/hello.o"), "object code 77");
  view_oids_t in2;
  ASSERT_EQ(view_get_oids((dir2 + "/hello.o").c_str(), 0, 0, 0, &in2), KS_ST_OK);
  EXPECT_TRUE(tbs_oid_eq(&in2.obj_oid, &b.do_oid));
  EXPECT_EQ(in2.mtype, VOB_MTYPE_SHARED_DO);
  struct stat st;
  ASSERT_EQ(lstat((dir2 + "/hello.o").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only";
  // A file of its own, still that derived object; the shared data stays as it was.
  ASSERT_EQ(view_do_unshare((dir2 + "/hello.o").c_str()), KS_ST_OK);
  ASSERT_EQ(lstat((dir2 + "/hello.o").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 1u);
  ASSERT_EQ(view_get_oids((dir2 + "/hello.o").c_str(), 0, 0, 0, &in2), KS_ST_OK);
  EXPECT_TRUE(tbs_oid_eq(&in2.obj_oid, &b.do_oid));
  // Pool data changed behind the VOB's back is no data any more: it is winked in nowhere.
  const std::string pool = cm_do_pool_pname(b.vobh, &b.do_oid);
  chmod(pool.c_str(), 0644);
  site::write_file(pool, "tampered");
  ASSERT_EQ(cm_do_get_info(b.vobh, &b.do_oid, &info), KS_ST_OK);
  EXPECT_EQ(info.has_data, 0);
  site_.make_view("v3");
  view_handle_t v3 = VIEW_HANDLE_NULL;
  ASSERT_EQ(view_get_handle_by_tag("v3", &v3), KS_ST_OK);
  EXPECT_EQ(view_wink_in(v3, site_.path("v3", "vob", "src").c_str(), "hello.o", &b.do_oid), KS_ST_NOT_FOUND);
  // Deleted, the derived object and its pool data are gone.
  ASSERT_EQ(vob_do_delete(b.vobh, &b.do_oid), KS_ST_OK);
  EXPECT_EQ(cm_do_get_info(b.vobh, &b.do_oid, &info), KS_ST_NOT_FOUND);
  EXPECT_NE(lstat(pool.c_str(), &st), 0);
  view_free_handle(v2);
  view_free_handle(v3);
}

// Promotion copies the object's data only while the view's file is that data, into a pool file
// of its own that no later write in the view reaches; a refused promotion leaves the object
// unshared and nothing in the pool.
TEST_F(CmShopping, PromotionTakesOnlyTheObjectsDataIntoAPoolFileOfItsOwn) {
  namespace fs = std::filesystem;
  const std::string source = path("src/hello.o");
  struct Case {
    const char *what;
    void (*before)(const std::string &source, const std::string &pool);
    ks_status_t want;
  } cases[] = {
      {"unchanged", [](const std::string &, const std::string &) {}, KS_ST_OK},
      {"rewritten in place", [](const std::string &s, const std::string &) { site::write_file(s, "rebuilt"); },
       KS_ST_NOT_FOUND},
      {"replaced by a copy",
       [](const std::string &s, const std::string &) {
         const std::string data = site::read_file(s);
         site::write_file(s + ".new", data);
         ASSERT_EQ(rename((s + ".new").c_str(), s.c_str()), 0);
       },
       KS_ST_NOT_FOUND},
      {"removed", [](const std::string &s, const std::string &) { ASSERT_EQ(unlink(s.c_str()), 0); },
       KS_ST_NOT_FOUND},
      {"no pool yet", [](const std::string &, const std::string &p) { fs::remove_all(fs::path(p).parent_path()); },
       KS_ST_OK},
      {"a copy left by a process of this number",
       [](const std::string &, const std::string &p) {
         site::write_file(p + ".promote." + std::to_string(getpid()), "half");
       },
       KS_ST_OK},
      {"a copy no row names under the pool's name",
       [](const std::string &, const std::string &p) { site::write_file(p, "half"); }, KS_ST_OK},
  };
  uint64_t script = 100;
  for (const Case &c : cases) {
    Built b = build(++script);
    const std::string data = "object code " + std::to_string(script);
    const std::string pool = cm_do_pool_pname(b.vobh, &b.do_oid);
    auto left = [&] {  // names of copies under way in the pool
      std::vector<std::string> names;
      for (const auto &e : fs::directory_iterator(fs::path(pool).parent_path()))
        if (e.path().string().find(".promote.") != std::string::npos) names.push_back(e.path());
      std::sort(names.begin(), names.end());
      return names;
    };
    c.before(source, pool);
    const std::vector<std::string> before =
        fs::exists(fs::path(pool).parent_path()) ? left() : std::vector<std::string>();
    EXPECT_EQ(vob_do_promote_oid(b.vobh, &b.do_oid), c.want) << c.what;
    cm_do_info_t info;
    ASSERT_EQ(cm_do_get_info(b.vobh, &b.do_oid, &info), KS_ST_OK) << c.what;
    EXPECT_EQ(info.shared, c.want == KS_ST_OK ? 1 : 0) << c.what;
    EXPECT_EQ(info.has_data, c.want == KS_ST_OK ? 1 : 0) << c.what;
    EXPECT_EQ(left(), before) << c.what << ": a copy of its own left behind";
    struct stat in_pool, in_view;
    if (c.want != KS_ST_OK) {
      EXPECT_NE(lstat(pool.c_str(), &in_pool), 0) << c.what;
      continue;
    }
    ASSERT_EQ(lstat(pool.c_str(), &in_pool), 0) << c.what;
    ASSERT_EQ(lstat(source.c_str(), &in_view), 0) << c.what;
    EXPECT_NE(in_pool.st_ino, in_view.st_ino) << c.what;
    EXPECT_EQ(in_pool.st_mode & 0222, 0u) << c.what << ": read-only";
    EXPECT_EQ(in_pool.st_mtim.tv_sec, in_view.st_mtim.tv_sec) << c.what;
    EXPECT_EQ(in_pool.st_mtim.tv_nsec, in_view.st_mtim.tv_nsec) << c.what;
    EXPECT_EQ(site::read_file(pool), data) << c.what;
    // A rebuild in the view that built it writes its own file only.
    site::write_file(source, "rebuilt in the view");
    EXPECT_EQ(site::read_file(pool), data) << c.what;
    ASSERT_EQ(cm_do_get_info(b.vobh, &b.do_oid, &info), KS_ST_OK) << c.what;
    EXPECT_EQ(info.has_data, 1) << c.what;
  }
}

TEST_F(CmShopping, AnOpenCursorReadsTheVobAsOneSnapshotThatThisProcesssWritesRenew) {
  Built b = build(77);
  const std::string git_dir = vob_ob_get_git_dir(b.vobh);
  uint32_t dbid = 0;
  ASSERT_EQ(vob_obj_oid_to_dbid(b.vobh, &b.do_oid, &dbid), KS_ST_OK);
  sqlite3 *other = nullptr;  // another process's connection
  ASSERT_EQ(sqlite3_open_v2((git_dir + "/vessary/vob.db").c_str(), &other, SQLITE_OPEN_READWRITE, nullptr),
            SQLITE_OK);
  sqlite3_busy_timeout(other, 10000);
  auto others_rename = [&](const char *name) {
    const std::string sql = std::string("UPDATE dos SET name = '") + name + "'";
    ASSERT_EQ(sqlite3_exec(other, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  };
  auto name_now = [&]() {
    dbrpc_vobdb_do_t d;
    EXPECT_EQ(dbrpc_vobdb_find_do(git_dir, b.do_oid, &d), KS_ST_OK);
    return d.name;
  };
  vob_ob_cursor_t cursor = VOB_OB_CURSOR_NULL;
  tbs_oid_t next;
  ASSERT_EQ(cm_do_next_named_hash_do(b.vobh, b.dir, "hello.o", cm_do_primary_hash(&b.primary), 0,
                                     nullptr, 0, &cursor, &next),
            KS_ST_OK);
  cm_do_info_t info;
  ASSERT_EQ(cm_do_get_info(b.vobh, &b.do_oid, &info), KS_ST_OK);
  EXPECT_EQ(info.shared, 0);
  others_rename("renamed.o");
  EXPECT_EQ(name_now(), "hello.o");
  // A write of this process starts from the newest state, and what it wrote is read back.
  ASSERT_EQ(vob_do_promote(b.vobh, dbid), KS_ST_OK);
  EXPECT_EQ(name_now(), "renamed.o");
  ASSERT_EQ(cm_do_get_info(b.vobh, &b.do_oid, &info), KS_ST_OK);
  EXPECT_EQ(info.shared, 1);
  EXPECT_EQ(info.has_data, 1);
  others_rename("again.o");
  EXPECT_EQ(name_now(), "renamed.o");
  // Closing the cursor ends the snapshot.
  vob_ob_cursor_close(&cursor);
  EXPECT_EQ(name_now(), "again.o");
  // Within a batch, its own promotion and deletion are read back at once, and kept when the batch
  // ends.
  Built c = build(78);
  uint32_t c_dbid = 0;
  ASSERT_EQ(vob_obj_oid_to_dbid(c.vobh, &c.do_oid, &c_dbid), KS_ST_OK);
  dbrpc_vobdb_batch_begin();
  dbrpc_vobdb_read_begin();
  EXPECT_EQ(name_now(), "again.o");
  ASSERT_EQ(cm_do_get_info(c.vobh, &c.do_oid, &info), KS_ST_OK);
  EXPECT_EQ(info.shared, 0);
  ASSERT_EQ(vob_do_promote(c.vobh, c_dbid), KS_ST_OK);
  ASSERT_EQ(cm_do_get_info(c.vobh, &c.do_oid, &info), KS_ST_OK);
  EXPECT_EQ(info.shared, 1);
  EXPECT_EQ(info.has_data, 1);
  ASSERT_EQ(vob_do_delete(b.vobh, &b.do_oid), KS_ST_OK);
  EXPECT_EQ(cm_do_get_info(b.vobh, &b.do_oid, &info), KS_ST_NOT_FOUND);
  dbrpc_vobdb_pool_t pool;
  EXPECT_EQ(dbrpc_vobdb_find_pool(git_dir, b.do_oid, &pool), KS_ST_NOT_FOUND);
  dbrpc_vobdb_read_end();
  EXPECT_EQ(dbrpc_vobdb_batch_end(), KS_ST_OK);
  sqlite3_stmt *count = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(other, "SELECT COUNT(*), SUM(shared) FROM dos", -1, &count, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(count, 0), 1);
  EXPECT_EQ(sqlite3_column_int(count, 1), 1);
  sqlite3_finalize(count);
  sqlite3_close(other);
}

TEST_F(CmShopping, WinkinPutsTheObjectInPlaceWhateverTheNameHeldAndLeavesNothingElse) {
  Built b = build(77);
  uint32_t dbid = 0;
  ASSERT_EQ(vob_obj_oid_to_dbid(b.vobh, &b.do_oid, &dbid), KS_ST_OK);
  ASSERT_EQ(vob_do_promote(b.vobh, dbid), KS_ST_OK);
  site_.make_view("v2");
  view_handle_t v2 = VIEW_HANDLE_NULL;
  ASSERT_EQ(view_get_handle_by_tag("v2", &v2), KS_ST_OK);
  const std::string dir2 = site_.path("v2", "vob", "src");
  struct Case {
    const char *what;
    const char *before;  // what the name holds first; null: nothing
  } cases[] = {{"a free name", nullptr}, {"a file of the view's own", "stale data"}, {"the object itself", ""}};
  for (const Case &c : cases) {
    if (!c.before || *c.before) unlink((dir2 + "/hello.o").c_str());
    if (c.before && *c.before) site::write_file(dir2 + "/hello.o", c.before);
    ASSERT_EQ(view_wink_in(v2, dir2.c_str(), "hello.o", &b.do_oid), KS_ST_OK) << c.what;
    EXPECT_EQ(site::read_file(dir2 + "/hello.o"), "object code 77") << c.what;
    struct stat st, data;
    ASSERT_EQ(lstat((dir2 + "/hello.o").c_str(), &st), 0);
    ASSERT_EQ(lstat(cm_do_pool_pname(b.vobh, &b.do_oid).c_str(), &data), 0);
    EXPECT_EQ(st.st_ino, data.st_ino) << c.what << ": a link to the pool's data";
    view_oids_t in2;
    ASSERT_EQ(view_get_oids((dir2 + "/hello.o").c_str(), 0, 0, 0, &in2), KS_ST_OK);
    EXPECT_TRUE(tbs_oid_eq(&in2.obj_oid, &b.do_oid)) << c.what;
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir2)) names.push_back(e.path().filename());
    EXPECT_EQ(std::count(names.begin(), names.end(), "hello.o"), 1) << c.what;
    for (const auto &n : names) EXPECT_EQ(n.find(".winkin."), std::string::npos) << c.what << ": " << n;
  }
  view_free_handle(v2);
}

}  // namespace
