// Audits of real programs in views, read back by the audit reader.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bld/bldr_cr.h"
#include "bld/bldr_cr_audit_table.h"
#include "audit_util.h"
#include "e2e_util.h"
#include "ks/imsg.h"
#include "site_util.h"
#include "view/view_audit.h"
#include "view/view_info.h"

namespace {

std::string interposer() { return e2e::bin_dir() + "/../lib/libvosselvessary.so"; }

class AuditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.make_vob("v1", {{"src/a.c", "int a;\n"},
                          {"src/main.c", "#include <stdio.h>\n#include \"a.h\"\nint main(void) { return A; }\n"},
                          {"src/util.c", "#include \"b.h\"\nint util(void) { return B; }\n"},
                          {"src/more.c", "#include \"a.h\"\nint more(void) { return A + 1; }\n"},
                          {"inc/a.h", "#include \"b.h\"\n#define A B\n"},
                          {"inc/b.h", "#define B 3\n"}});
    site_.make_view("t1");
    site_.make_view("t2");
    src_ = site_.path("t1", "v1", "src");
    audit_ = site_.dir() + "/audit";
  }

  // Runs the audit device driver with the interposer loaded, in dir.
  e2e::Result audited(const std::vector<std::string> &steps, const std::string &dir) {
    std::vector<std::string> argv = {"vessary_devtool"};
    argv.insert(argv.end(), steps.begin(), steps.end());
    return site_.run(argv, {"LD_PRELOAD=" + interposer(), "PATH=/usr/bin:/bin"}, dir);
  }

  // Reads an audit file made for a build in view tag.
  ks_status_t read(const std::string &path, const std::string &tag, bldr_cr_audit_table_t *t) {
    view_handle_t h = VIEW_HANDLE_NULL;
    EXPECT_EQ(view_get_handle_by_tag(tag.c_str(), &h), KS_ST_OK);
    bldr_cr_view_uuid = *view_get_uuid(h);
    view_free_handle(h);
    EXPECT_EQ(access(path.c_str(), R_OK), 0) << path;
    return e2e::read_audit_file(path, t);
  }

  // The records of leaf, in audit order.
  static std::vector<bldr_cr_audit_obj_t *> named(bldr_cr_audit_table_t &t, const std::string &leaf) {
    return e2e::audit_records_named(t, leaf);
  }

  site::Site site_;
  std::string src_, audit_;
};

TEST_F(AuditTest, ShellPipelineInAView) {
  e2e::Result r = audited({"start", audit_, "marker", "0", "marker", "2", "sh",
                           "cat a.c > out; mv out out2; rm out2", "stop"},
                          src_);
  ASSERT_EQ(r.out, "start 0\nmarker 0\nmarker 0\nstop 0\n") << r.err;
  struct stat s;
  EXPECT_NE(stat((audit_ + ".raw").c_str(), &s), 0) << "raw events removed after the last stop";
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(audit_, "t1", &t), KS_ST_OK);
  ASSERT_EQ(t.vobs.size(), 1u);
  EXPECT_EQ(t.vobs[0].name, "v1");
  auto root = t.obj_index[bldr_cr_oid_key(t.vobs[0].root_oid)];
  ASSERT_FALSE(root.empty());
  EXPECT_TRUE(tbs_oid_is_null(&root[0]->parent_oid));

  auto src = named(t, "src");
  ASSERT_EQ(src.size(), 1u);
  EXPECT_TRUE(tbs_oid_eq(&src[0]->parent_oid, &t.vobs[0].root_oid)) << "looked up from the VOB root";
  EXPECT_EQ(src[0]->ftype, 2);

  auto a = named(t, "a.c");
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0]->flags, uint32_t(BLDR_OBJ_LOOKED_UP | BLDR_OBJ_READ));
  EXPECT_TRUE(tbs_oid_eq(&a[0]->parent_oid, &src[0]->oid));
  EXPECT_FALSE(tbs_oid_is_null(&a[0]->elem_oid)) << "a version of an element";

  auto out = named(t, "out");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]->flags & (BLDR_OBJ_CREATED | BLDR_OBJ_WRITTEN), uint32_t(BLDR_OBJ_CREATED | BLDR_OBJ_WRITTEN));
  EXPECT_TRUE(out[0]->further & BLDR_OBJ_X_UNLINKED) << "renamed away";
  EXPECT_EQ(out[0]->mtype, 23);
  auto out2 = named(t, "out2");
  ASSERT_EQ(out2.size(), 1u);
  EXPECT_TRUE(tbs_oid_eq(&out2[0]->oid, &out[0]->oid)) << "the same object under its new name";
  EXPECT_TRUE(out2[0]->further & BLDR_OBJ_X_UNLINKED) << "removed";
  EXPECT_TRUE(named(t, "cat").empty()) << "programs outside views are not audited";
}

TEST_F(AuditTest, CompileInAView) {
  std::string cmd = "gcc -c -I../inc main.c util.c more.c && gcc -o prog main.o util.o more.o";
  e2e::Result r = audited({"start", audit_, "marker", "2", "sh", cmd, "stop"}, src_);
  ASSERT_EQ(r.out, "start 0\nmarker 0\nstop 0\n") << r.err;
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(audit_, "t1", &t), KS_ST_OK);
  struct Case {
    const char *leaf;
    uint32_t flags;
  } cases[] = {
      {"main.c", BLDR_OBJ_READ}, {"util.c", BLDR_OBJ_READ}, {"more.c", BLDR_OBJ_READ},
      {"a.h", BLDR_OBJ_READ},    {"b.h", BLDR_OBJ_READ},    {"main.o", BLDR_OBJ_WRITTEN | BLDR_OBJ_CREATED},
      {"util.o", BLDR_OBJ_WRITTEN}, {"more.o", BLDR_OBJ_WRITTEN}, {"prog", BLDR_OBJ_WRITTEN},
  };
  for (const auto &c : cases) {
    auto recs = named(t, c.leaf);
    ASSERT_FALSE(recs.empty()) << c.leaf;
    uint32_t all = 0;
    for (auto *rec : recs) all |= rec->flags;
    EXPECT_EQ(all & c.flags, c.flags) << c.leaf;
  }
  auto inc = named(t, "inc");
  ASSERT_EQ(inc.size(), 1u);
  EXPECT_TRUE(tbs_oid_eq(&named(t, "a.h")[0]->parent_oid, &inc[0]->oid));
  for (const char *outside : {"stdio.h", "crt1.o", "libc.so.6", "cc1", "ld"})
    EXPECT_TRUE(named(t, outside).empty()) << outside << " lies outside every view";
}

TEST_F(AuditTest, MarkersSectionsAndConcurrentWriters) {
  std::string loop = "for i in $(seq 1 40); do cat a.c main.c >/dev/null; : > o$1.$i; done";
  std::string script = "for j in 1 2 3; do sh -c '" + loop + "' sh $j & done; wait";
  e2e::Result r = audited({"start", audit_, "marker", "0", "read", src_ + "/a.c", "write",
                           src_ + "/early", "e", "marker", "2", "sh", script, "stop"},
                          src_);
  ASSERT_EQ(r.status, 0) << r.err;
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(audit_, "t1", &t), KS_ST_OK);
  auto a = named(t, "a.c");
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0]->flags, uint32_t(BLDR_OBJ_INITIAL_DIR | BLDR_OBJ_LOOKED_UP | BLDR_OBJ_READ));
  auto early = named(t, "early");
  ASSERT_EQ(early.size(), 1u);
  EXPECT_EQ(early[0]->flags, uint32_t(BLDR_OBJ_INITIAL_DIR)) << "written before the script section";
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 40; ++i) {
      std::string leaf = "o" + std::to_string(j) + "." + std::to_string(i);
      auto o = named(t, leaf);
      ASSERT_EQ(o.size(), 1u) << leaf << " lost";
      EXPECT_EQ(o[0]->flags & BLDR_OBJ_WRITTEN, uint32_t(BLDR_OBJ_WRITTEN)) << leaf;
    }
}

TEST_F(AuditTest, SuspendResumeAndNesting) {
  // A child pauses the enclosing audit, runs one of its own, then resumes the enclosing one.
  std::string dev = e2e::bin_dir() + "/vessary_devtool";
  std::string nested = site_.dir() + "/nested";
  std::string child = dev + " stop start " + nested + " read " + src_ + "/util.c stop start " +
                      audit_ + " read " + src_ + "/more.c stop >/dev/null";
  e2e::Result r = audited({"start", audit_, "marker", "2", "read", src_ + "/a.c", "sh", child,
                           "read", src_ + "/main.c", "stop"},
                          src_);
  ASSERT_EQ(r.status, 0) << r.err;
  bldr_cr_audit_table_t outer, inner;
  ASSERT_EQ(read(audit_, "t1", &outer), KS_ST_OK);
  ASSERT_EQ(read(nested, "t1", &inner), KS_ST_OK);
  for (const char *leaf : {"a.c", "more.c", "main.c"}) EXPECT_EQ(named(outer, leaf).size(), 1u) << leaf;
  EXPECT_TRUE(named(outer, "util.c").empty()) << "the nested audit's read stays in its own file";
  EXPECT_EQ(named(inner, "util.c").size(), 1u);
  EXPECT_TRUE(named(inner, "a.c").empty());
}

TEST_F(AuditTest, IdentityKeptAcrossSync) {
  // The audit file is brought up to date while the object has its first name.
  e2e::Result r = audited({"start", audit_, "marker", "2", "write", src_ + "/f1", "x", "sync", "sh",
                           "mv f1 f2", "stop"},
                          src_);
  ASSERT_EQ(r.status, 0) << r.err;
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(audit_, "t1", &t), KS_ST_OK);
  auto f1 = named(t, "f1"), f2 = named(t, "f2");
  ASSERT_EQ(f2.size(), 1u);
  ASSERT_FALSE(f1.empty());
  for (auto *rec : f1) {
    EXPECT_TRUE(tbs_oid_eq(&rec->oid, &f2[0]->oid)) << "one object, one OID";
    EXPECT_TRUE(rec->further & BLDR_OBJ_X_UNLINKED) << "the old name is gone";
  }
  EXPECT_TRUE(f2[0]->flags & BLDR_OBJ_CREATED);
}

TEST_F(AuditTest, DamagedEventsAreSkippedAndTornOnesWaitForTheirEnd) {
  std::string a = src_ + "/a.c", main_c = src_ + "/main.c", util = src_ + "/util.c";
  struct stat st;
  ASSERT_EQ(lstat(a.c_str(), &st), 0);
  std::string ident = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
                      std::to_string(st.st_mode) + ":" + std::to_string(st.st_size) + ":" +
                      std::to_string(st.st_mtim.tv_sec) + ":" + std::to_string(st.st_mtim.tv_nsec);
  auto event = [](const std::string &head, const std::string &path) {
    return head + " " + std::to_string(path.size()) + " 0\n" + path;
  };
  std::string torn = event("O 9 0 -", main_c);
  std::string first = event("V 9 1 -", "") + event("m 9 2 -", "") + event("O 9 0 " + ident, a) +
                      "O 9 zz - 1 0\n" +          // damaged: skipped
                      "O 9 0 - 999999999999999999999 0\n" +  // damaged: a length out of range
                      event("O 9 0 -", util) + torn.substr(0, torn.size() - 3);
  auto append = [&](const std::string &text) {
    std::ofstream(audit_ + ".raw", std::ios::app | std::ios::binary) << text;
  };
  append(first);
  ASSERT_EQ(view_audit_convert(audit_.c_str(), VIEW_AUDIT_CVT_SYNC), KS_ST_OK);
  {
    bldr_cr_audit_table_t t;
    ASSERT_EQ(read(audit_, "t1", &t), KS_ST_OK);
    EXPECT_EQ(named(t, "a.c").size(), 1u);
    EXPECT_EQ(named(t, "util.c").size(), 1u) << "the events after a damaged line are kept";
    EXPECT_TRUE(named(t, "main.c").empty()) << "not yet: its name is not all there";
  }
  append(torn.substr(torn.size() - 3));
  ASSERT_EQ(view_audit_convert(audit_.c_str(), VIEW_AUDIT_CVT_STOP), KS_ST_OK);
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(audit_, "t1", &t), KS_ST_OK);
  EXPECT_EQ(named(t, "main.c").size(), 1u) << "converted once complete";
  EXPECT_EQ(named(t, "a.c").size(), 1u) << "converted once only";
  EXPECT_NE(stat((audit_ + ".raw").c_str(), &st), 0) << "raw events removed after the last conversion";
}

TEST_F(AuditTest, DeletedExplicitDependency) {
  e2e::Result r = audited({"start", audit_, "marker", "1", "read", src_ + "/a.c", "marker", "2",
                           "read", src_ + "/util.c", "sh", "rm a.c util.c", "stop"},
                          src_);
  ASSERT_EQ(r.status, 0) << r.err;
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(audit_, "t1", &t), KS_ST_OK);
  EXPECT_TRUE(bldr_cr_is_deleted_explicit_dep(t.live, (src_ + "/a.c").c_str()));
  EXPECT_FALSE(bldr_cr_is_deleted_explicit_dep(t.live, (src_ + "/util.c").c_str()))
      << "not accessed among the predefined dependencies";
  EXPECT_FALSE(bldr_cr_is_deleted_explicit_dep(t.live, (site_.path("t1", "v1", "inc") + "/a.c").c_str()))
      << "another directory";
}

TEST_F(AuditTest, AccessThroughAnotherView) {
  std::string other = site_.path("t2", "v1", "src/a.c");
  e2e::Result r = audited({"start", audit_, "marker", "2", "read", other, "read", src_ + "/main.c",
                           "stop"},
                          src_);
  ASSERT_EQ(r.status, 0) << r.err;
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(audit_, "t1", &t), KS_ST_OK);
  EXPECT_TRUE(named(t, "a.c").empty()) << "never an object record of the build";
  EXPECT_EQ(named(t, "main.c").size(), 1u);
  ASSERT_EQ(t.other_views.size(), 1u);
  EXPECT_EQ(t.other_views[0]->name.value_or(""), "t2");
  bool seen = false;
  for (const auto &o : t.other_views[0]->objs) seen |= o.name == "a.c";
  EXPECT_TRUE(seen);
}

}  // namespace
