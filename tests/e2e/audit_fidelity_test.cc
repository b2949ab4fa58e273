// Audits that must identify every object as it was when the script touched it: links, inodes
// used again, inputs changed during the build, audits that leave things behind, conversions
// interrupted, sites in system places, and the accesses the interposer must not miss.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "audit_util.h"
#include "bld/bldr_cr_audit_table.h"
#include "e2e_util.h"
#include "site_util.h"
#include "vessary/vessary_raw.h"
#include "view/view_audit.h"
#include "view/view_xstat.h"

namespace {

std::string interposer() { return e2e::bin_dir() + "/../lib/libvosselvessary.so"; }

bool same(const tbs_oid_t &a, const tbs_oid_t &b) { return tbs_oid_eq(&a, &b); }

// A raw event as the interposer writes it, with the status st (null: none).
std::string raw_event(char op, uint64_t arg, const struct stat *st, const std::string &p1,
                      const std::string &p2 = "") {
  char head[256];
  std::string ident = "-";
  if (st)
    ident = std::to_string(st->st_dev) + ":" + std::to_string(st->st_ino) + ":" +
            std::to_string(st->st_mode) + ":" + std::to_string(st->st_size) + ":" +
            std::to_string(st->st_mtim.tv_sec) + ":" + std::to_string(st->st_mtim.tv_nsec);
  snprintf(head, sizeof head, "%c 9 %llx %s %zu %zu\n", op, static_cast<unsigned long long>(arg),
           ident.c_str(), p1.size(), p2.size());
  return head + p1 + p2;
}

struct stat lstat_of(const std::string &path) {
  struct stat st = {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

class AuditFidelityTest : public ::testing::Test {
 protected:
  explicit AuditFidelityTest(const std::string &parent = "/tmp") : site_(parent) {}

  void SetUp() override {
    site_.make_vob("v1", {{"src/a.c", "int a;\n"},
                          {"src/main.c", "int main(void) { return 0; }\n"},
                          {"src/blink.h", "-> ../inc/b.h"},
                          {"src/incl", "-> ../inc"},
                          {"inc/b.h", "#define B 3\n"}});
    site_.make_view("t1");
    src_ = site_.path("t1", "v1", "src");
    audit_ = site_.dir() + "/audit";
    e2e::set_build_view("t1");
  }
  void TearDown() override { view_xstat_flush_cache(); }

  // Runs the audit device driver with the interposer loaded, in the source directory.
  e2e::Result audited(const std::vector<std::string> &steps, const std::vector<std::string> &env = {}) {
    std::vector<std::string> argv = {"vessary_devtool"};
    argv.insert(argv.end(), steps.begin(), steps.end());
    std::vector<std::string> all = {"LD_PRELOAD=" + interposer(), "PATH=/usr/bin:/bin"};
    all.insert(all.end(), env.begin(), env.end());
    return site_.run(argv, all, src_);
  }
  // Records raw events only: the test converts them itself.
  e2e::Result recorded(const std::vector<std::string> &steps) {
    return audited(steps, {"VESSARY_AUDIT_KEEP_RAW=1", "VESSARY_AUDIT_CVT=/bin/true"});
  }

  ks_status_t read(bldr_cr_audit_table_t *t, const std::string &path = "") {
    return e2e::read_audit_file(path.empty() ? audit_ : path, t);
  }
  static std::vector<bldr_cr_audit_obj_t *> named(bldr_cr_audit_table_t &t, const std::string &leaf) {
    return e2e::audit_records_named(t, leaf);
  }
  // The one live record named leaf; fails the test when there is not exactly one.
  static bldr_cr_audit_obj_t *only(bldr_cr_audit_table_t &t, const std::string &leaf) {
    bldr_cr_audit_obj_t *found = nullptr;
    int n = 0;
    for (auto *r : named(t, leaf))
      if (!(r->further & BLDR_OBJ_X_UNLINKED)) found = r, n++;
    EXPECT_EQ(n, 1) << leaf;
    return n == 1 ? found : nullptr;
  }
  view_oids_t oids(const std::string &path, int follow = 0) {
    view_xstat_flush_cache();
    view_oids_t o;
    EXPECT_EQ(view_get_oids(path.c_str(), follow, 0, 0, &o), KS_ST_OK) << path;
    return o;
  }
  std::string s(const std::string &leaf) const { return src_ + "/" + leaf; }
  void append_raw(const std::string &text) {
    std::ofstream(audit_ + ".raw", std::ios::app | std::ios::binary) << text;
  }

  site::Site site_;
  std::string src_, audit_;
};

TEST_F(AuditFidelityTest, ReadsThroughSymbolicLinksRecordTheLinkAndTheTarget) {
  e2e::Result r = audited({"start", audit_, "marker", "2", "sh",
                           "cat blink.h incl/b.h >/dev/null && test -f blink.h", "stop"});
  ASSERT_EQ(r.status, 0) << r.err;
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(&t), KS_ST_OK);
  view_oids_t b = oids(site_.path("t1", "v1", "inc/b.h"));
  auto *target = only(t, "b.h");
  ASSERT_NE(target, nullptr);
  EXPECT_TRUE(same(target->oid, b.obj_oid)) << "the target's own version";
  EXPECT_EQ(target->mtype, VOB_MTYPE_VERSION);
  EXPECT_TRUE(target->flags & BLDR_OBJ_READ);
  EXPECT_TRUE(same(target->parent_oid, only(t, "inc")->oid)) << "looked up in its own directory";
  for (const char *leaf : {"blink.h", "incl"}) {
    auto *link = only(t, leaf);
    ASSERT_NE(link, nullptr) << leaf;
    EXPECT_TRUE(same(link->oid, oids(s(leaf)).obj_oid)) << leaf << ": the link itself";
    EXPECT_EQ(link->mtype, VOB_MTYPE_SLINK) << leaf;
    EXPECT_TRUE(link->further & BLDR_OBJ_X_LINK_TEXT) << leaf << ": its text was read";
    EXPECT_FALSE(link->flags & BLDR_OBJ_READ) << leaf << ": only the target is read";
  }
}

TEST_F(AuditFidelityTest, AHardLinkDoesNotMakeTheCheckedInFileTheBuildsOwn) {
  view_oids_t a = oids(s("a.c"));
  e2e::Result r = audited({"start", audit_, "marker", "2", "sh", "cat a.c >/dev/null && ln a.c hl.c", "stop"});
  ASSERT_EQ(r.status, 0) << r.err;
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(&t), KS_ST_OK);
  auto *ac = only(t, "a.c");
  ASSERT_NE(ac, nullptr);
  EXPECT_TRUE(same(ac->oid, a.obj_oid));
  EXPECT_TRUE(same(ac->oid, oids(s("a.c")).obj_oid)) << "what view_get_oids gives after the link too";
  EXPECT_EQ(ac->mtype, VOB_MTYPE_VERSION);
  EXPECT_FALSE(ac->flags & BLDR_OBJ_CREATED);
  auto *hl = only(t, "hl.c");
  ASSERT_NE(hl, nullptr);
  EXPECT_TRUE(hl->flags & BLDR_OBJ_CREATED);
  EXPECT_FALSE(same(hl->oid, ac->oid)) << "the new name is a view-private object of its own";
}

TEST_F(AuditFidelityTest, AnInodeUsedAgainIsAnotherObject) {
  // What "echo a>t1; rm t1; echo b>t2" and "sed -i ... a.c; cc -c a.c -o a.o" leave when the
  // file system gives the freed inode to the next file: the events carry the same inode.
  site::write_file(s("t2"), "b\n");
  struct stat t2 = lstat_of(s("t2"));
  struct stat a_before = lstat_of(s("a.c"));
  view_oids_t a = oids(s("a.c"));
  site::write_file(s("a.c.tmp"), "int h;\n");
  struct stat tmp = lstat_of(s("a.c.tmp"));
  ASSERT_EQ(rename(s("a.c.tmp").c_str(), s("a.c").c_str()), 0);
  site::write_file(s("a.o"), "object\n");
  struct stat ao = lstat_of(s("a.o"));
  ao.st_dev = a_before.st_dev;
  ao.st_ino = a_before.st_ino;  // a.c's freed inode

  const uint64_t create = O_WRONLY | O_CREAT | O_TRUNC | VESSARY_OPEN_CREATED;
  append_raw(raw_event('V', 1, nullptr, "") + raw_event('m', 2, nullptr, "") +
             raw_event('O', create, &t2, s("t1")) + raw_event('U', 0, &t2, s("t1")) +
             raw_event('O', create, &t2, s("t2")) + raw_event('O', O_RDONLY, &a_before, s("a.c")) +
             raw_event('O', create, &tmp, s("a.c.tmp")) + raw_event('R', 0, &tmp, s("a.c.tmp"), s("a.c")) +
             raw_event('O', O_RDONLY, &tmp, s("a.c")) + raw_event('O', create, &ao, s("a.o")));
  ASSERT_EQ(view_audit_convert(audit_.c_str(), VIEW_AUDIT_CVT_END), KS_ST_OK);
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(&t), KS_ST_OK);
  auto t1 = named(t, "t1");
  ASSERT_FALSE(t1.empty());
  auto *t2r = only(t, "t2");
  ASSERT_NE(t2r, nullptr);
  EXPECT_FALSE(same(t1[0]->oid, t2r->oid)) << "t1 and t2";
  auto ac = named(t, "a.c");
  ASSERT_GE(ac.size(), 1u);
  EXPECT_TRUE(same(ac[0]->oid, a.obj_oid)) << "the original a.c is the version it was";
  auto *o = only(t, "a.o");
  ASSERT_NE(o, nullptr);
  for (auto *rec : ac) EXPECT_FALSE(same(rec->oid, o->oid)) << "a.c and a.o";
}

TEST_F(AuditFidelityTest, AnInputEditedAfterItsReadDoesNotCarryTheEditedIdentity) {
  site::write_file(s("p.txt"), "private\n");
  site::write_file(s("q.txt"), "never asked about\n");
  view_oids_t a_before = oids(s("a.c")), p_before = oids(s("p.txt"));
  e2e::Result r = recorded({"start", audit_, "marker", "2", "read", s("a.c"), "read", s("p.txt"),
                            "read", s("q.txt"), "stop"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Edited by someone else while the build runs, before its audit is converted.
  for (const char *leaf : {"a.c", "p.txt", "q.txt"}) {
    std::ofstream(s(leaf), std::ios::app) << "// edited\n";
  }
  ASSERT_EQ(view_audit_convert(audit_.c_str(), VIEW_AUDIT_CVT_END), KS_ST_OK);
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(&t), KS_ST_OK);
  struct Case {
    const char *leaf;
    const view_oids_t *before;  // the identity at the read, when known
  } cases[] = {{"a.c", &a_before}, {"p.txt", &p_before}, {"q.txt", nullptr}};
  for (const auto &c : cases) {
    auto *rec = only(t, c.leaf);
    ASSERT_NE(rec, nullptr) << c.leaf;
    EXPECT_TRUE(rec->flags & BLDR_OBJ_READ) << c.leaf;
    EXPECT_FALSE(same(rec->oid, oids(s(c.leaf)).obj_oid)) << c.leaf << ": not the edited data";
    if (c.before) {
      EXPECT_TRUE(same(rec->oid, c.before->obj_oid)) << c.leaf << ": the data it read";
    }
  }
}

TEST_F(AuditFidelityTest, ALeftoverOfAnEarlierAuditOfTheSameNameContributesNothing) {
  // A process of the first audit outlives it and writes when the test lets it.
  std::string go = site_.dir() + "/go";
  std::string late = "(while [ ! -e " + go + " ]; do sleep 0.02; done; echo late > late.txt; : > " +
                     site_.dir() + "/done) >/dev/null 2>&1 &";
  e2e::Result r = audited({"start", audit_, "marker", "2", "read", s("a.c"), "sh", late, "stop"});
  ASSERT_EQ(r.status, 0) << r.err;
  site::write_file(go, "");
  struct stat st;
  for (int i = 0; i < 500 && stat((site_.dir() + "/done").c_str(), &st) != 0; ++i) usleep(10000);
  ASSERT_EQ(stat((site_.dir() + "/done").c_str(), &st), 0) << "the late writer did not finish";
  // A new audit of the same name, as a build makes it: an empty file.
  site::write_file(audit_, "");
  r = audited({"start", audit_, "marker", "2", "read", s("main.c"), "stop"});
  ASSERT_EQ(r.status, 0) << r.err;
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(&t), KS_ST_OK);
  EXPECT_EQ(named(t, "main.c").size(), 1u);
  EXPECT_TRUE(named(t, "late.txt").empty()) << "the earlier audit's late write";
  EXPECT_TRUE(named(t, "a.c").empty()) << "the earlier audit's read";
}

TEST_F(AuditFidelityTest, ALeftoverRawFileIsRenewedInPlaceOnlyWhenItIsAPlainFileOfItsOwn) {
  // A raw event file no process holds is taken again for a new audit of the same name: emptied
  // in place when it is a plain file with one name, else replaced, leaving what it led to alone.
  const std::string raw = audit_ + ".raw", victim = site_.dir() + "/victim";
  const std::string leftover = raw_event('V', 2, nullptr, "0123456789abcdef0123456789abcdef", "0") +
                               raw_event('O', O_RDONLY, nullptr, s("a.c"));
  struct Case {
    const char *what;
    std::function<void()> leave;
    bool renewed;  // the same file, emptied and begun again
  } cases[] = {
      {"plain", [&] { site::write_file(raw, leftover); }, true},
      {"a link", [&] { ASSERT_EQ(symlink(victim.c_str(), raw.c_str()), 0); }, false},
      {"a second name", [&] { ASSERT_EQ(link(victim.c_str(), raw.c_str()), 0); }, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    site::write_file(victim, leftover);
    unlink(raw.c_str());
    c.leave();
    const int held = open(raw.c_str(), O_RDONLY | O_NOFOLLOW);  // fails on the link
    site::write_file(audit_, "");
    e2e::Result r = recorded({"start", audit_, "marker", "2", "read", s("main.c"), "stop"});
    ASSERT_EQ(r.status, 0) << r.err;
    const struct stat after = lstat_of(raw);
    EXPECT_TRUE(S_ISREG(after.st_mode) && after.st_nlink == 1);
    if (c.renewed) {
      struct stat was;
      ASSERT_EQ(fstat(held, &was), 0);
      EXPECT_EQ(was.st_nlink, 1u) << "still the file under its name";
    }
    if (held >= 0) close(held);
    EXPECT_EQ(site::read_file(victim), leftover) << "left alone";
    ASSERT_EQ(view_audit_convert(audit_.c_str(), VIEW_AUDIT_CVT_END), KS_ST_OK);
    bldr_cr_audit_table_t t;
    ASSERT_EQ(read(&t), KS_ST_OK);
    EXPECT_EQ(named(t, "main.c").size(), 1u);
    EXPECT_TRUE(named(t, "a.c").empty()) << "the leftover's read";
  }
}

TEST_F(AuditFidelityTest, AConversionInterruptedAndRunAgainGivesTheSameAuditFile) {
  e2e::Result r = recorded({"start", audit_, "marker", "0", "marker", "2", "read", s("a.c"), "sh",
                            "cat main.c > out && mv out out2 && mkdir d && mv out2 d/out3", "stop"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string raw = site::read_file(audit_ + ".raw"), cvt = audit_ + ".cvt";
  ASSERT_GT(raw.size(), 200u);
  auto convert = [&] { ASSERT_EQ(view_audit_convert(audit_.c_str(), VIEW_AUDIT_CVT_SYNC), KS_ST_OK); };
  auto check = [&](const char *what, const std::string &expected) {
    std::string now = site::read_file(audit_);
    EXPECT_TRUE(now == expected) << what << ": " << now.size() << " bytes, " << expected.size()
                                 << " expected";
    bldr_cr_audit_table_t t;
    EXPECT_EQ(read(&t), KS_ST_OK) << what;
    EXPECT_EQ(named(t, "out3").size(), 1u) << what;
  };
  // Killed after writing its records, before its state was saved: the first conversion...
  convert();
  std::string once = site::read_file(audit_);
  ASSERT_FALSE(once.empty());
  unlink(cvt.c_str());
  convert();
  check("the first conversion", once);
  // ... and a later one, after a conversion of the first half of the events.
  unlink(cvt.c_str());
  site::write_file(audit_, "");
  site::write_file(audit_ + ".raw", raw.substr(0, raw.size() / 2));
  convert();
  std::string first_state = site::read_file(cvt);
  site::write_file(audit_ + ".raw", raw);
  convert();
  std::string twice = site::read_file(audit_);
  site::write_file(cvt, first_state);
  convert();
  check("the second conversion", twice);
}

TEST_F(AuditFidelityTest, AccessesTheInterposerMustNotMiss) {
  struct Case {
    const char *what;
    std::vector<std::string> steps;
    std::function<void(bldr_cr_audit_table_t &)> check;
  };
  site::write_file(s("e1"), "one\n");
  site::write_file(s("e2"), "two\n");
  site::write_file(s("tr.txt"), "to be cut\n");
  Case cases[] = {
      {"exchange", {"exchange", s("e1"), s("e2")},
       [&](bldr_cr_audit_table_t &t) {
         auto *e1 = only(t, "e1"), *e2 = only(t, "e2");
         ASSERT_TRUE(e1 && e2) << "both names still hold an object";
         EXPECT_TRUE(same(e1->oid, oids(s("e1")).obj_oid));
         EXPECT_TRUE(same(e2->oid, oids(s("e2")).obj_oid));
         EXPECT_FALSE(same(e1->oid, e2->oid));
       }},
      {"ftruncate", {"ftruncate", s("tr.txt")},
       [&](bldr_cr_audit_table_t &t) {
         auto *rec = only(t, "tr.txt");
         ASSERT_TRUE(rec);
         EXPECT_TRUE(rec->further & BLDR_OBJ_X_TRUNCATED);
         EXPECT_TRUE(rec->flags & BLDR_OBJ_WRITTEN);
       }},
      {"mkfifo", {"sh", "mkfifo ff"},
       [&](bldr_cr_audit_table_t &t) {
         auto *rec = only(t, "ff");
         ASSERT_TRUE(rec);
         EXPECT_TRUE(rec->flags & BLDR_OBJ_CREATED);
         EXPECT_EQ(rec->ftype, VIEW_FTYPE_FIFO);
       }},
      {"openat2", {"openat2", s("main.c")},
       [&](bldr_cr_audit_table_t &t) {
         auto *rec = only(t, "main.c");
         ASSERT_TRUE(rec);
         EXPECT_TRUE(rec->flags & BLDR_OBJ_READ);
       }},
      {"spawn file action", {"spawnout", s("sp.out")},
       [&](bldr_cr_audit_table_t &t) {
         auto *rec = only(t, "sp.out");
         ASSERT_TRUE(rec);
         EXPECT_EQ(rec->flags & (BLDR_OBJ_CREATED | BLDR_OBJ_WRITTEN),
                   uint32_t(BLDR_OBJ_CREATED | BLDR_OBJ_WRITTEN));
       }},
      {"trailing slash", {"sh", "test -d ../inc/"},
       [&](bldr_cr_audit_table_t &t) {
         auto *inc = only(t, "inc");
         ASSERT_TRUE(inc);
         EXPECT_TRUE(same(inc->parent_oid, t.vobs[0].root_oid));
         EXPECT_TRUE(named(t, "").size() == 1u) << "the VOB root alone has no name";
       }},
      {"mv with trailing slashes", {"sh", "mkdir olddir && : > olddir/f && mv olddir newdir/ && mv newdir/ x"},
       [&](bldr_cr_audit_table_t &t) {
         auto *x = only(t, "x");
         ASSERT_TRUE(x);
         auto old = named(t, "olddir");
         ASSERT_FALSE(old.empty());
         EXPECT_TRUE(same(x->oid, old[0]->oid)) << "one directory under its three names";
         EXPECT_TRUE(named(t, "newdir").size() >= 1u);
       }},
  };
  for (const auto &c : cases) {
    std::vector<std::string> steps = {"start", audit_, "marker", "2"};
    steps.insert(steps.end(), c.steps.begin(), c.steps.end());
    steps.push_back("stop");
    e2e::Result r = audited(steps);
    EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
    bldr_cr_audit_table_t t;
    ASSERT_EQ(read(&t), KS_ST_OK) << c.what;
    SCOPED_TRACE(c.what);
    c.check(t);
    unlink(audit_.c_str());
  }
  // A marker the audit file cannot hold is refused by the device.
  e2e::Result r = audited({"start", audit_, "marker", "7", "marker", "2", "stop"});
  EXPECT_EQ(r.out, "start 0\nmarker 1001\nmarker 0\nstop 0\n");
  bldr_cr_audit_table_t t;
  EXPECT_EQ(read(&t), KS_ST_OK);
}

TEST_F(AuditFidelityTest, OddEventsConvertToAFileTheReaderTakes) {
  // Event sequences the conversion once mishandled (found by fuzzing it).
  site::write_file(s("x"), "x\n");
  struct stat x = lstat_of(s("x"));
  ASSERT_EQ(mkdir(s("d").c_str(), 0777), 0);
  site::write_file(s("d/q"), "q\n");
  struct stat q = lstat_of(s("d/q")), fake_dir = lstat_of(s("d"));
  fake_dir.st_ino += 1000000;  // an object the name no longer holds
  struct Case {
    const char *what;
    std::string events;
  } cases[] = {
      {"an exchange of a name with itself",
       raw_event('S', 1, &x, s("x")) + raw_event('R', 2, &x, s("x"), s("x"))},
      {"a rename from a name the reader knows for an object since removed",
       raw_event('S', 1, &q, s("d/q")) + raw_event('U', 0, &fake_dir, s("d")) +
           raw_event('R', 0, nullptr, s("d"), s("e"))},
  };
  for (const auto &c : cases) {
    unlink(audit_.c_str());
    unlink((audit_ + ".cvt").c_str());
    site::write_file(audit_ + ".raw", raw_event('m', 2, nullptr, "") + c.events);
    EXPECT_EQ(view_audit_convert(audit_.c_str(), VIEW_AUDIT_CVT_END), KS_ST_OK) << c.what;
    bldr_cr_audit_table_t t;
    EXPECT_EQ(read(&t), KS_ST_OK) << c.what;
  }
}

// A site whose view root lies in a system place: names under the view root are never system
// places. /dev/shm stands for /opt and /run, which a test may not be allowed to write to.
std::string system_place_for_site() {
  for (const char *dir : {"/dev/shm", "/run", "/opt"})
    if (access(dir, W_OK) == 0) return dir;
  return "/tmp";
}

class AuditInSystemPlaceTest : public AuditFidelityTest {
 protected:
  AuditInSystemPlaceTest() : AuditFidelityTest(system_place_for_site()) {}
};

TEST_F(AuditInSystemPlaceTest, RecordsTheAccesses) {
  if (src_.starts_with("/tmp/")) GTEST_SKIP() << "no system place to write to";
  e2e::Result r = audited({"start", audit_, "marker", "2", "sh", "cat a.c > a.o", "stop"});
  ASSERT_EQ(r.status, 0) << r.err;
  bldr_cr_audit_table_t t;
  ASSERT_EQ(read(&t), KS_ST_OK);
  auto *a = only(t, "a.c");
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->flags & BLDR_OBJ_READ);
  auto *o = only(t, "a.o");
  ASSERT_NE(o, nullptr);
  EXPECT_TRUE(o->flags & BLDR_OBJ_CREATED);
}

}  // namespace
