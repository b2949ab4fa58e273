// The audit file reader: framing, sections and flags, other views, renames and changes of OID.
#include "bld/bldr_cr_audit_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bld/bldr_cr.h"
#include "ks/imsg.h"

namespace {

tbs_oid_t oid(uint8_t n) {
  tbs_oid_t o{};
  o.bytes[0] = n;
  o.bytes[15] = 0xa5;
  return o;
}
tbs_uuid_t uuid(uint8_t n) {
  tbs_uuid_t u{};
  u.bytes[0] = n;
  u.bytes[15] = 0x5a;
  return u;
}

const tbs_uuid_t kView = uuid(1), kOther = uuid(2);
const tbs_oid_t kVob = oid(100), kRoot = oid(101);

// Builds audit records as the platform writes them.
struct Audit {
  std::string bytes;

  template <class T>
  void put(T v) {
    bytes.append(reinterpret_cast<const char *>(&v), sizeof v);
  }
  void raw(const void *p, size_t n) { bytes.append(static_cast<const char *>(p), n); }
  void header(uint16_t len, uint16_t type, uint16_t fmt = 11) {
    put<uint16_t>(fmt);
    put<uint16_t>(0);
    put<uint16_t>(len);
    put<uint16_t>(type);
  }
  // Layout A (types 1, 2, 5, 6, 7, 9, 13).
  Audit &a(uint16_t type, const tbs_oid_t &obj, const tbs_oid_t &parent, const std::string &name,
           uint16_t ftype = 1, const tbs_uuid_t &view = kView, int64_t mtime = 1000,
           uint32_t sn = 0) {
    header(uint16_t(124 + name.size()), type);
    put<uint16_t>(uint16_t(name.size()));
    common_rest(ftype, view, obj, 23, mtime, sn ? sn : obj.bytes[0]);
    raw(parent.bytes, 16);
    raw(name.data(), name.size());
    return *this;
  }
  void common_rest(uint16_t ftype, const tbs_uuid_t &view, const tbs_oid_t &obj, uint32_t mtype,
                   int64_t mtime, uint32_t sn) {
    put<uint16_t>(ftype);
    put<uint32_t>(0);
    put<uint64_t>(uint64_t(mtime));
    put<uint64_t>(0);
    raw(view.bytes, 16);
    raw(kVob.bytes, 16);
    raw(obj.bytes, 16);
    put<uint32_t>(sn);
    put<uint32_t>(0);
    raw(TBS_OID_NULL.bytes, 16);
    put<uint32_t>(mtype);
  }
  // Layout B (types 3, 4, 10).
  Audit &b(uint16_t type, const tbs_oid_t &obj, uint16_t ftype = 1, const tbs_uuid_t &view = kView,
           int64_t mtime = 1000) {
    header(108, type);
    put<uint16_t>(ftype);
    put<uint16_t>(0);
    put<uint32_t>(0);
    put<uint64_t>(uint64_t(mtime));
    put<uint64_t>(0);
    raw(view.bytes, 16);
    raw(kVob.bytes, 16);
    raw(obj.bytes, 16);
    put<uint32_t>(obj.bytes[0]);
    put<uint32_t>(0);
    raw(TBS_OID_NULL.bytes, 16);
    put<uint32_t>(23);
    return *this;
  }
  Audit &vob(const tbs_uuid_t &view = kView) {
    return a(1, kRoot, TBS_OID_NULL, "vob1", 2, view);
  }
  Audit &marker(uint32_t m) {
    header(12, 14);
    put<uint32_t>(m);
    return *this;
  }
  Audit &view_entry(const tbs_uuid_t &view, const std::string &tag) {
    header(uint16_t(28 + tag.size()), 12);
    put<uint16_t>(uint16_t(tag.size()));
    put<uint16_t>(0);
    raw(view.bytes, 16);
    raw(tag.data(), tag.size());
    return *this;
  }
  Audit &rename(const tbs_oid_t &op, const std::string &on, const tbs_oid_t &np,
                const std::string &nn) {
    header(uint16_t(60 + on.size() + 1 + nn.size()), 8);
    put<uint16_t>(uint16_t(on.size()));
    put<uint16_t>(uint16_t(nn.size()));
    raw(kView.bytes, 16);
    raw(op.bytes, 16);
    raw(np.bytes, 16);
    raw(on.data(), on.size());
    put<uint8_t>(0);
    raw(nn.data(), nn.size());
    return *this;
  }
  Audit &choid(const tbs_oid_t &o, const tbs_oid_t &n) {
    header(70, 11);
    raw(kView.bytes, 16);
    raw(o.bytes, 16);
    raw(n.bytes, 16);
    put<uint32_t>(7);
    put<uint32_t>(0);
    put<uint32_t>(9);
    put<uint16_t>(1);
    return *this;
  }
};

// Reads bytes as an audit file; returns the status and the messages printed.
struct Read {
  ks_status_t status;
  std::string messages;
};

Read read_audit(const std::string &bytes, bldr_cr_audit_table_t *table) {
  FILE *tmp = tmpfile();
  fwrite(bytes.data(), 1, bytes.size(), tmp);
  fflush(tmp);
  rewind(tmp);
  char *buf = nullptr;
  size_t len = 0;
  FILE *err = open_memstream(&buf, &len);
  imsg_set_streams(err, err);
  ks_status_t st = bldr_cr_process_audit_file(fileno(tmp), table);
  imsg_set_streams(nullptr, nullptr);
  fclose(err);
  std::string msgs(buf, len);
  free(buf);
  fclose(tmp);
  return {st, msgs};
}

std::vector<bldr_cr_audit_obj_t *> records(bldr_cr_audit_table_t &t, const tbs_oid_t &o) {
  auto it = t.obj_index.find(bldr_cr_oid_key(o));
  return it == t.obj_index.end() ? std::vector<bldr_cr_audit_obj_t *>{} : it->second;
}

class AuditTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bldr_cr_view_uuid = kView;
    bldr_cr_save_audit_files = 0;
    bldr_cr_child_build_avoidance = 0;
    bldr_cr_ignore_previous_inode = 0;
  }
  bldr_cr_audit_table_t table;
};

TEST_F(AuditTableTest, FramingFaults) {
  struct Case {
    const char *what;
    std::string bytes;
    ks_status_t status;
    const char *message;
  };
  Audit good;
  good.vob().marker(2).a(2, oid(1), kRoot, "a.c");
  Audit fmt10;
  fmt10.header(12, 14, 10);
  fmt10.put<uint32_t>(0);
  Audit zero_len;
  zero_len.vob();
  zero_len.header(0, 2);
  Audit cut = good;
  cut.bytes.resize(cut.bytes.size() - 3);
  Case cases[] = {
      {"empty file", "", KS_ST_OK, nullptr},
      {"five bytes", std::string(5, '\x0b'), KS_ST_ERR, "Audit file corrupted - truncated?"},
      {"format 10", fmt10.bytes, KS_ST_ERR, "Expected audit file format 11, found 10"},
      {"length below the header", zero_len.bytes, KS_ST_ERR, "Audit file corrupted - truncated?"},
      {"last record cut off", cut.bytes, KS_ST_ERR, "Audit file corrupted - truncated?"},
      {"whole records", good.bytes, KS_ST_OK, nullptr},
  };
  for (const auto &c : cases) {
    bldr_cr_audit_table_t t;
    Read r = read_audit(c.bytes, &t);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.messages;
    if (c.message) {
      EXPECT_NE(r.messages.find(c.message), std::string::npos) << c.what << ": " << r.messages;
    }
  }
}

TEST_F(AuditTableTest, DamagedEntriesAreRefusedAsCorrupt) {
  // Bytes from outside: an entry without the identities it must carry fails the reading with
  // the corrupt-file message, never the process.
  struct Case {
    const char *what;
    Audit audit;
  };
  Audit null_root;
  null_root.a(1, TBS_OID_NULL, TBS_OID_NULL, "vob1", 2);
  Audit null_lookup, null_read, null_create, null_remove;
  null_lookup.vob().marker(2).a(2, TBS_OID_NULL, kRoot, "a.c");
  null_read.vob().marker(2).b(3, TBS_OID_NULL);
  null_create.vob().marker(2).a(7, TBS_OID_NULL, kRoot, "a.o");
  null_remove.vob().marker(2).a(9, TBS_OID_NULL, kRoot, "a.o");
  Audit other_view_null;
  other_view_null.vob().marker(2).a(2, TBS_OID_NULL, kRoot, "a.c", 1, kOther);
  Audit rename_null_parent, rename_empty_old, rename_empty_new;
  rename_null_parent.vob().marker(2).a(7, oid(1), kRoot, "d").rename(TBS_OID_NULL, "d", kRoot, "e");
  rename_empty_old.vob().marker(2).a(7, oid(1), kRoot, "d").rename(kRoot, "", kRoot, "e");
  rename_empty_new.vob().marker(2).a(7, oid(1), kRoot, "d").rename(kRoot, "d", kRoot, "");
  Audit choid_null_old, choid_null_new;
  choid_null_old.vob().marker(2).a(7, oid(1), kRoot, "f").choid(TBS_OID_NULL, oid(2));
  choid_null_new.vob().marker(2).a(7, oid(1), kRoot, "f").choid(oid(1), TBS_OID_NULL);
  Case cases[] = {
      {"VOB entry without a root", null_root},
      {"look-up without an object", null_lookup},
      {"read without an object", null_read},
      {"creation without an object", null_create},
      {"removal without an object", null_remove},
      {"other view's entry without an object", other_view_null},
      {"rename from a null parent", rename_null_parent},
      {"rename of an empty name", rename_empty_old},
      {"rename to an empty name", rename_empty_new},
      {"change of OID from null", choid_null_old},
      {"change of OID to null", choid_null_new},
  };
  for (auto &c : cases) {
    for (int tracked : {0, 1}) {
      bldr_cr_audit_table_t t;
      t.track_pathnames = uint32_t(tracked);
      Read r = read_audit(c.audit.bytes, &t);
      EXPECT_EQ(r.status, KS_ST_ERR) << c.what;
      EXPECT_NE(r.messages.find("Audit file corrupted"), std::string::npos) << c.what << ": " << r.messages;
    }
  }
}

TEST_F(AuditTableTest, RecordsAcrossAndBeyondTheReadBuffer) {
  // Enough records that several straddle the 8096-byte boundary, and one longer than the buffer.
  Audit au;
  au.vob().marker(2);
  for (int i = 0; i < 120; ++i) au.a(2, oid(uint8_t(i + 1)), kRoot, "file" + std::to_string(i));
  std::string long_text(9000, 'x');  // a link text longer than the read buffer
  au.a(2, oid(200), kRoot, "link", 5).a(5, oid(200), kRoot, long_text, 5);
  Read r = read_audit(au.bytes, &table);
  ASSERT_EQ(r.status, KS_ST_OK) << r.messages;
  EXPECT_EQ(table.live.size(), 1u + 120 + 1);
  auto recs = records(table, oid(200));
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0]->leaf, "link");
  EXPECT_EQ(recs[0]->link_text, long_text);
  EXPECT_TRUE(recs[0]->further & BLDR_OBJ_X_LINK_TEXT);
}

TEST_F(AuditTableTest, SectionFlagsAndNames) {
  Audit au;
  au.vob().marker(0).a(2, oid(1), kRoot, "src", 2);
  au.marker(1).a(2, oid(2), oid(1), "dep.h").vob();
  au.marker(3).a(2, oid(3), oid(1), "Makefile");
  au.marker(2).a(2, oid(4), oid(1), "a.c").b(3, oid(4));
  au.a(7, oid(5), oid(1), "a.o").b(4, oid(5)).b(10, oid(5));
  // the same object under a second name, then a read through the first
  au.a(2, oid(4), oid(1), "alias.c").b(3, oid(4));
  au.a(2, oid(4), oid(1), "a.c");
  Read r = read_audit(au.bytes, &table);
  ASSERT_EQ(r.status, KS_ST_OK) << r.messages;
  ASSERT_EQ(table.vobs.size(), 1u);
  EXPECT_EQ(table.vobs[0].name, "vob1");
  struct Case {
    tbs_oid_t oid;
    const char *leaf;
    uint32_t flags;
    uint64_t further;
  } cases[] = {
      {kRoot, "", BLDR_OBJ_INITIAL_DIR | BLDR_OBJ_PREDEF, 0},  // VOB entry again in section 1
      {oid(1), "src", BLDR_OBJ_INITIAL_DIR, 0},
      {oid(2), "dep.h", BLDR_OBJ_PREDEF, 0},
      {oid(3), "Makefile", BLDR_OBJ_LOOKED_UP, BLDR_OBJ_X_MAKEFILES},
      {oid(5), "a.o", BLDR_OBJ_LOOKED_UP | BLDR_OBJ_CREATED | BLDR_OBJ_WRITTEN, BLDR_OBJ_X_TRUNCATED},
  };
  for (const auto &c : cases) {
    auto recs = records(table, c.oid);
    ASSERT_EQ(recs.size(), 1u) << c.leaf;
    EXPECT_EQ(recs[0]->leaf, c.leaf);
    EXPECT_EQ(recs[0]->flags, c.flags) << c.leaf;
    EXPECT_EQ(recs[0]->further, c.further) << c.leaf;
  }
  auto names = records(table, oid(4));
  ASSERT_EQ(names.size(), 2u);
  for (auto *rec : names) EXPECT_EQ(rec->flags, uint32_t(BLDR_OBJ_LOOKED_UP | BLDR_OBJ_READ)) << rec->leaf;
  EXPECT_EQ(names[0]->leaf, "a.c");
  EXPECT_EQ(names[1]->leaf, "alias.c");
  EXPECT_EQ(names[0]->parent_oid.bytes[0], 1);
}

TEST_F(AuditTableTest, OtherViews) {
  struct Case {
    const char *what;
    Audit au;
    ks_status_t status;
    const char *message;
  };
  std::vector<Case> cases;
  {
    Audit au;
    au.vob().marker(0).view_entry(kOther, "other");
    cases.push_back({"first seen in section 0", au, KS_ST_ERR,
                     "View \"other\" encountered while setting initial working directory"});
  }
  {
    Audit au;
    au.vob().marker(1).view_entry(kOther, "other");
    cases.push_back({"first seen in section 1", au, KS_ST_ERR,
                     "View \"other\" encountered while checking makefile dependencies"});
  }
  {
    Audit au;
    au.vob().marker(2).a(2, oid(9), kRoot, "x.c", 1, kOther).marker(0).view_entry(kOther, "other");
    cases.push_back({"named after an access", au, KS_ST_OK, nullptr});
  }
  {
    Audit au;
    au.vob().marker(2).view_entry(kOther, "other").view_entry(kView, "mine");
    cases.push_back({"build script section", au, KS_ST_OK, nullptr});
  }
  for (auto &c : cases) {
    bldr_cr_audit_table_t t;
    Read r = read_audit(c.au.bytes, &t);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.messages;
    if (c.message) {
      EXPECT_NE(r.messages.find(c.message), std::string::npos) << c.what;
    }
  }
  // Accesses through another view never become object records.
  Audit au;
  au.vob().vob(kOther).marker(2).a(2, oid(9), kRoot, "x.c", 2, kOther).b(3, oid(9), 1, kOther);
  au.view_entry(kOther, "other");
  Read r = read_audit(au.bytes, &table);
  ASSERT_EQ(r.status, KS_ST_OK) << r.messages;
  EXPECT_TRUE(records(table, oid(9)).empty());
  ASSERT_EQ(table.other_views.size(), 1u);
  const auto &acc = *table.other_views[0];
  EXPECT_EQ(acc.name.value_or(""), "other");
  ASSERT_EQ(acc.objs.size(), 1u);
  EXPECT_EQ(acc.objs[0].is_dir, 0) << "a read of a file takes the directory mark away";
  EXPECT_EQ(acc.vobs.size(), 1u);
}

TEST_F(AuditTableTest, RenamesAndRemoves) {
  Audit au;
  au.vob().marker(2);
  au.a(7, oid(1), kRoot, "tmp").b(4, oid(1));      // a file written under a temporary name
  au.a(7, oid(2), kRoot, "out").b(4, oid(2));      // an older output
  au.rename(kRoot, "tmp", kRoot, "out");           // renamed over it
  au.a(2, oid(3), kRoot, "gone").a(9, oid(3), kRoot, "gone");
  au.a(7, oid(3), kRoot, "gone");                  // the name made again after the removal
  au.rename(kRoot, "never-seen", kRoot, "other");  // unknown old name: ignored
  Read r = read_audit(au.bytes, &table);
  ASSERT_EQ(r.status, KS_ST_OK) << r.messages;
  auto moved = records(table, oid(1));
  ASSERT_EQ(moved.size(), 2u);
  EXPECT_EQ(moved[0]->leaf, "tmp");
  EXPECT_TRUE(moved[0]->further & BLDR_OBJ_X_UNLINKED);
  EXPECT_EQ(moved[1]->leaf, "out");
  EXPECT_FALSE(moved[1]->further & BLDR_OBJ_X_UNLINKED);
  EXPECT_EQ(moved[1]->flags & BLDR_OBJ_WRITTEN, uint32_t(BLDR_OBJ_WRITTEN));
  auto replaced = records(table, oid(2));
  ASSERT_EQ(replaced.size(), 1u);
  EXPECT_TRUE(replaced[0]->further & BLDR_OBJ_X_UNLINKED);
  EXPECT_EQ(moved[0]->replaced_rec, replaced[0]);
  auto gone = records(table, oid(3));
  ASSERT_EQ(gone.size(), 2u) << "a removed name is never matched again";
  EXPECT_TRUE(gone[0]->further & BLDR_OBJ_X_UNLINKED);
  EXPECT_FALSE(gone[1]->further & BLDR_OBJ_X_UNLINKED);
  EXPECT_EQ(gone[1]->flags & BLDR_OBJ_CREATED, uint32_t(BLDR_OBJ_CREATED));
}

TEST_F(AuditTableTest, ChangeOid) {
  struct Case {
    const char *what;
    Audit au;
    ks_status_t status;
    size_t new_records;
  };
  std::vector<Case> cases;
  Audit base;
  base.vob().marker(2).a(2, oid(1), kRoot, "f").b(3, oid(1));
  {
    Audit au = base;
    au.choid(oid(1), oid(2));
    cases.push_back({"known old OID", au, KS_ST_OK, 1});
  }
  {
    Audit au = base;
    au.choid(oid(7), oid(2));
    cases.push_back({"unknown old OID is ignored", au, KS_ST_OK, 0});
  }
  {
    Audit au = base;
    au.choid(oid(1), oid(1));
    cases.push_back({"same OID is an internal error", au, KS_ST_ERR, 0});
  }
  {
    Audit au = base;
    au.a(2, oid(2), kRoot, "g").choid(oid(1), oid(2));
    cases.push_back({"new OID already seen is ignored", au, KS_ST_OK, 1});
  }
  for (auto &c : cases) {
    bldr_cr_audit_table_t t;
    bldr_cr_save_audit_files = 0;
    Read r = read_audit(c.au.bytes, &t);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.messages;
    EXPECT_EQ(records(t, oid(2)).size(), c.new_records) << c.what;
    if (c.status != KS_ST_OK) {
      EXPECT_EQ(bldr_cr_save_audit_files, 1) << c.what;
    }
  }
  Audit au = base;
  au.choid(oid(1), oid(2));
  Read r = read_audit(au.bytes, &table);
  ASSERT_EQ(r.status, KS_ST_OK);
  auto n = records(table, oid(2));
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(n[0]->leaf, "f");
  EXPECT_EQ(n[0]->mtype, 9);
  EXPECT_EQ(n[0]->flags, uint32_t(BLDR_OBJ_LOOKED_UP | BLDR_OBJ_READ | BLDR_OBJ_CREATED));
  EXPECT_EQ(n[0]->objsn[0], 1u) << "the serial number of the object, not of the entry";
  uint32_t sn[2] = {1, 0};
  EXPECT_TRUE(tbs_oid_eq(&table.inodes[bldr_cr_inode_key(kVob, sn)].oid, &n[0]->oid));
  ASSERT_NE(n[0]->earlier_oid_rec, nullptr);
  EXPECT_TRUE(n[0]->earlier_oid_rec->further & BLDR_OBJ_X_UNLINKED);
  char key[TBS_OID_STR_SIZE];
  EXPECT_TRUE(tbs_oid_eq(&table.name_index[std::string(tbs_oid_to_dstr(&kRoot, key)) + "/f"], &n[0]->oid));
}

TEST_F(AuditTableTest, MarkersAndInvalidTypes) {
  Audit child;
  child.vob().marker(2).marker(5);
  Read r = read_audit(child.bytes, &table);
  EXPECT_EQ(r.status, KS_ST_OK);
  EXPECT_EQ(bldr_cr_child_build_avoidance, 1);

  struct Case {
    const char *what;
    std::string bytes;
    const char *message;
  };
  Audit bad_marker;
  bad_marker.vob().marker(7);
  Audit bad_type;
  bad_type.vob();
  bad_type.header(8, 0);
  Case cases[] = {
      {"marker 7", bad_marker.bytes, "Invalid audit type 7"},
      {"type 0", bad_type.bytes, "Invalid audit entry type 0"},
  };
  for (const auto &c : cases) {
    bldr_cr_audit_table_t t;
    bldr_cr_save_audit_files = 0;
    Read rr = read_audit(c.bytes, &t);
    EXPECT_EQ(rr.status, KS_ST_ERR) << c.what;
    EXPECT_NE(rr.messages.find(c.message), std::string::npos) << c.what << ": " << rr.messages;
    EXPECT_EQ(bldr_cr_save_audit_files, 1) << c.what << ": the file is kept for inspection";
  }
}

TEST_F(AuditTableTest, JavaAccessesAndSegments) {
  table.track_pathnames = 1;
  Audit au;
  au.vob().marker(2).a(2, oid(1), kRoot, "A.java").b(3, oid(1));
  au.a(7, oid(2), kRoot, "A.class").b(4, oid(2)).b(4, oid(2));
  au.marker(4).a(7, oid(3), kRoot, "A$In.class").b(4, oid(3));
  Read r = read_audit(au.bytes, &table);
  ASSERT_EQ(r.status, KS_ST_OK) << r.messages;
  ASSERT_EQ(table.java_accesses.size(), 3u) << "a repeated access of the same kind is kept once";
  EXPECT_TRUE(table.java_accesses[0].pathname.ends_with("vob1/A.java"));
  EXPECT_EQ(table.java_accesses[0].modified, 0u);
  EXPECT_EQ(table.java_accesses[1].is_class, 1u);
  EXPECT_EQ(table.java_accesses[1].segment_ended, 1u);
  EXPECT_EQ(table.java_accesses[2].is_inner, 1u);
  auto inner = records(table, oid(3));
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_TRUE(inner[0]->flags & BLDR_OBJ_CREATED) << "marker 4 keeps the build-script section";
}

TEST_F(AuditTableTest, NeededParentsAndHistoryMode) {
  Audit au;
  au.vob().marker(2).a(2, oid(1), kRoot, "src", 2).a(7, oid(2), oid(1), "a.o");
  au.a(7, oid(3), oid(50), "orphan");  // its parent never appeared
  Read r = read_audit(au.bytes, &table);
  ASSERT_EQ(r.status, KS_ST_OK) << r.messages;
  auto obj = records(table, oid(2))[0];
  EXPECT_EQ(bldr_cr_mark_needed_recs(&table, obj, "a.o"), KS_ST_OK);
  EXPECT_TRUE(records(table, oid(1))[0]->further & BLDR_OBJ_X_SUB_NEEDED);
  EXPECT_TRUE(records(table, kRoot)[0]->further & BLDR_OBJ_X_SUB_NEEDED);
  EXPECT_EQ(table.vob_index[bldr_cr_oid_key(kVob)].needed, 1);
  imsg_set_streams(tmpfile(), tmpfile());
  EXPECT_EQ(bldr_cr_mark_needed_recs(&table, records(table, oid(3))[0], "orphan"), KS_ST_ERR);
  imsg_set_streams(nullptr, nullptr);

  records(table, oid(1))[0]->mtype = 2;
  EXPECT_EQ(bldr_cr_mark_if_history_mode(&table, records(table, oid(1))[0], "src"), KS_ST_OK);
  EXPECT_EQ(bldr_cr_mark_if_history_mode(&table, obj, "a.o"), KS_ST_OK);
  EXPECT_TRUE(obj->flags & BLDR_OBJ_HISTORY) << "inherited from a history-mode parent";
}

}  // namespace
