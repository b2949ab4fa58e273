// The registry and the view database.
#include <dlfcn.h>
#include <fcntl.h>
#include <gnu/lib-names.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

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

TEST(DbrpcReg, EveryEntryIsFoundByTagAndIdentityWithItsVobsInOrder) {
  site::Site s;
  ASSERT_EQ(dbrpc_reg_create_site(), KS_ST_OK);
  for (uint8_t i = 1; i <= 3; i++) {
    const std::string tag(1, char('a' + i - 1));
    ASSERT_EQ(dbrpc_reg_add_vob(vob(tag, i, "/g/" + tag)), KS_ST_OK);
  }
  // The views' VOB lists are entered interleaved, and a removed view leaves a gap.
  ASSERT_EQ(dbrpc_reg_add_view(view("v1", 1, {"c", "a"})), KS_ST_OK);
  ASSERT_EQ(dbrpc_reg_add_view(view("v2", 2, {"b"})), KS_ST_OK);
  ASSERT_EQ(dbrpc_reg_add_view(view("v3", 3, {"b", "c", "a"})), KS_ST_OK);
  ASSERT_EQ(dbrpc_reg_remove_view("v2"), KS_ST_OK);
  ASSERT_EQ(dbrpc_reg_add_view(view("v4", 4, {"a"})), KS_ST_OK);
  ks_status_t status;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  ASSERT_NE(reg, nullptr);
  const std::vector<std::pair<std::string, std::vector<std::string>>> views = {
      {"v1", {"c", "a"}}, {"v3", {"b", "c", "a"}}, {"v4", {"a"}}};
  for (const auto &[tag, vobs] : views) {
    const dbrpc_view_rec_t *v = reg->find_view(tag);
    ASSERT_NE(v, nullptr) << tag;
    EXPECT_EQ(v->tag, tag);
    EXPECT_EQ(v->vob_tags, vobs) << tag;
    EXPECT_EQ(reg->find_view_by_uuid(v->uuid), v) << tag;
  }
  for (const char *tag : {"a", "b", "c"}) {
    const dbrpc_vob_rec_t *v = reg->find_vob(tag);
    ASSERT_NE(v, nullptr) << tag;
    EXPECT_EQ(v->git_dir, std::string("/g/") + tag);
    EXPECT_EQ(reg->find_vob_by_oid(v->oid), v) << tag;
  }
  for (const char *missing : {"v2", "v", "v10", "", "zz"}) {
    EXPECT_EQ(reg->find_view(missing), nullptr) << missing;
    EXPECT_EQ(reg->find_vob(missing), nullptr) << missing;
  }
  tbs_uuid_t gone = TBS_UUID_NULL;
  gone.bytes[0] = 2;
  EXPECT_EQ(reg->find_view_by_uuid(gone), nullptr);
  EXPECT_EQ(reg->find_vob_by_oid(TBS_OID_NULL), nullptr);
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

// The registry as listing() gives it in a new process.
std::string listing_in_new_process() {
  int fd[2];
  if (pipe(fd) != 0) return "no pipe";
  pid_t pid = fork();
  if (pid == 0) {
    close(fd[0]);
    const std::string out = listing();
    _exit(write(fd[1], out.data(), out.size()) == ssize_t(out.size()) ? 0 : 1);
  }
  close(fd[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(fd[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  close(fd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "failed";
}

dbrpc_reg_file_state_t file_state(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {};
  return {uint64_t(st.st_dev), uint64_t(st.st_ino), int64_t(st.st_size), int64_t(st.st_mtim.tv_sec),
          int64_t(st.st_mtim.tv_nsec)};
}

// Gives path the modification time seconds_ago; in whole seconds with whole, as a file system
// that keeps no fractions stamps it.
void written_ago(const std::string &path, int seconds_ago, bool whole = false) {
  struct timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= seconds_ago;
  if (whole) times[0].tv_nsec = 0;
  times[1] = times[0];
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A process that read the registry leaves it in the snapshot file for the next processes, which
// take it from there while the registry's file and log are as the file records, and from the
// database once either was written.
TEST(DbrpcReg, ANewProcessTakesTheRegistryFromTheSnapshotFileWhileItsFilesAreAsRecorded) {
  site::Site s;
  ASSERT_EQ(dbrpc_reg_create_site(), KS_ST_OK);
  ASSERT_EQ(dbrpc_reg_add_vob(vob("a", 1, "/g/a")), KS_ST_OK);
  const std::string reg = tbs_registry_pname(), wal = reg + "-wal", file = dbrpc_reg_snapshot_pname(reg);
  const std::string real = "vob a /g/a 01000000.00000000.00000000.00000000\n";
  // Written just now, or a second ago where times have no fractions: a write in the same tick
  // could leave the states as they are.
  EXPECT_EQ(listing_in_new_process(), real);
  struct stat st;
  EXPECT_NE(stat(file.c_str(), &st), 0);
  written_ago(reg, 1, true);
  written_ago(wal, 1, true);
  EXPECT_EQ(listing_in_new_process(), real);
  EXPECT_NE(stat(file.c_str(), &st), 0);
  written_ago(reg, 10);
  written_ago(wal, 10);
  EXPECT_EQ(listing_in_new_process(), real);
  dbrpc_reg_snapshot_t snap;
  dbrpc_reg_file_state_t db_state, wal_state;
  const std::string left = site::read_file(file);
  ASSERT_TRUE(dbrpc_reg_snapshot_decode(left.data(), left.size(), &snap, &db_state, &wal_state));
  EXPECT_EQ(db_state, file_state(reg));
  EXPECT_EQ(wal_state, file_state(wal));
  // A file planted with the states of the moment and another git directory shows when it is used.
  snap.vobs.at(0).git_dir = "/planted";
  struct Case {
    const char *what;
    std::function<void(const std::string &planted)> change;
    bool used;
  } cases[] = {
      {"nothing changed", [](const std::string &) {}, true},
      {"the registry's file written", [&](const std::string &) { written_ago(reg, 20); }, false},
      {"its log written", [&](const std::string &) { written_ago(wal, 20); }, false},
      {"a commit", [&](const std::string &) { ASSERT_EQ(dbrpc_reg_add_vob(vob("b", 2, "/g/b")), KS_ST_OK); }, false},
      {"damaged", [&](const std::string &planted) {
         std::string bad = planted;
         bad[bad.size() / 2] ^= 1;
         site::write_file(file, bad);
       }, false},
      {"cut short", [&](const std::string &planted) { site::write_file(file, planted.substr(0, planted.size() - 1)); },
       false},
      {"writable by those who cannot write the registry", [&](const std::string &) {
         ASSERT_EQ(chmod(reg.c_str(), 0644), 0);
         ASSERT_EQ(chmod(file.c_str(), 0664), 0);
       }, false},
  };
  for (const Case &c : cases) {
    written_ago(reg, 10);
    written_ago(wal, 10);
    const std::string planted = dbrpc_reg_snapshot_encode(snap, file_state(reg), file_state(wal));
    site::write_file(file, planted);
    c.change(planted);
    const std::string seen = listing_in_new_process();
    EXPECT_EQ(seen.find("/planted") != std::string::npos, c.used) << c.what << ":\n" << seen;
    EXPECT_NE(seen.find("vob a "), std::string::npos) << c.what << ":\n" << seen;
    const bool commit = std::string(c.what) == "a commit";
    EXPECT_EQ(seen.find("vob b ") != std::string::npos, commit) << c.what;
    if (commit) {
      ASSERT_EQ(dbrpc_reg_remove_vob("b"), KS_ST_OK);
    }
  }
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

// A status for a made-up object: name i of the tests below, in its version v.
struct stat fake_status(int i, int v) {
  struct stat st = {};
  st.st_mode = S_IFREG | 0644;
  st.st_dev = 7;
  st.st_ino = ino_t(1000 + i);
  st.st_size = off_t(10 + v);
  st.st_mtim.tv_sec = 1700000000 + v;
  return st;
}

TEST(DbrpcViewdb, ABatchRecordsItsOidsWhenItEnds) {
  site::Site s;
  std::string storage = s.dir() + "/store";
  ASSERT_EQ(dbrpc_viewdb_create(storage), KS_ST_OK);
  EXPECT_EQ(dbrpc_viewdb_batch_end(), KS_ST_ERR) << "no batch is open";
  tbs_oid_t a, again, edited, inner, h;
  dbrpc_viewdb_batch_begin();
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/a", fake_status(0, 0), &a), KS_ST_OK);
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/a", fake_status(0, 0), &again), KS_ST_OK);
  EXPECT_TRUE(tbs_oid_eq(&a, &again));
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/a", fake_status(0, 1), &edited), KS_ST_OK);
  EXPECT_FALSE(tbs_oid_eq(&a, &edited)) << "an edit within the batch is a new object";
  dbrpc_viewdb_batch_begin();
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/inner", fake_status(1, 0), &inner), KS_ST_OK);
  EXPECT_EQ(dbrpc_viewdb_batch_end(), KS_ST_OK);
  // Another connection sees nothing of the batch yet.
  sqlite3 *other = nullptr;
  ASSERT_EQ(sqlite3_open_v2((storage + "/view.db").c_str(), &other, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  auto rows = [&] {
    sqlite3_stmt *q = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(other, "SELECT count(*) FROM private_objects", -1, &q, nullptr),
              SQLITE_OK);
    int n = sqlite3_step(q) == SQLITE_ROW ? sqlite3_column_int(q, 0) : -1;
    sqlite3_finalize(q);
    return n;
  };
  EXPECT_EQ(rows(), 0);
  // Handing out the connection ends the batch's transaction; the batch goes on.
  sqlite3 *db = dbrpc_viewdb_handle(storage);
  ASSERT_NE(db, nullptr);
  EXPECT_NE(sqlite3_get_autocommit(db), 0);
  EXPECT_EQ(rows(), 2);
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/h", fake_status(2, 0), &h), KS_ST_OK);
  EXPECT_EQ(dbrpc_viewdb_batch_end(), KS_ST_OK);
  EXPECT_EQ(rows(), 3);
  // A batch open for long lets the others in at its next assignment.
  tbs_oid_t late;
  dbrpc_viewdb_batch_begin();
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/l1", fake_status(3, 0), &late), KS_ST_OK);
  usleep(250000);
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/l2", fake_status(4, 0), &late), KS_ST_OK);
  EXPECT_EQ(rows(), 4);
  EXPECT_EQ(dbrpc_viewdb_batch_end(), KS_ST_OK);
  EXPECT_EQ(rows(), 5);
  sqlite3_close(other);
  // What the batch recorded is what a new process finds.
  dbrpc_viewdb_close_all();
  struct {
    const char *vrel;
    struct stat st;
    tbs_oid_t oid;
  } kept[] = {{"/v/a", fake_status(0, 1), edited}, {"/v/inner", fake_status(1, 0), inner},
              {"/v/h", fake_status(2, 0), h}};
  for (const auto &k : kept) {
    tbs_oid_t found;
    ASSERT_EQ(dbrpc_viewdb_private_oid(storage, k.vrel, k.st, &found), KS_ST_OK);
    EXPECT_TRUE(tbs_oid_eq(&found, &k.oid)) << k.vrel;
  }
  dbrpc_viewdb_close_all();
}

TEST(DbrpcViewdb, RecordsReadAheadNeverHideNewerOnes) {
  site::Site s;
  std::string storage = s.dir() + "/store";
  ASSERT_EQ(dbrpc_viewdb_create(storage), KS_ST_OK);
  tbs_oid_t first[3], oid;
  for (int i = 0; i < 3; i++)
    ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/d/o" + std::to_string(i), fake_status(i, 0), &first[i]),
              KS_ST_OK);
  dbrpc_viewdb_close_all();
  // A new process: its lookups in the directory read the records ahead.
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/d/o" + std::to_string(i), fake_status(i, 0), &oid), KS_ST_OK);
    EXPECT_TRUE(tbs_oid_eq(&oid, &first[i])) << i;
  }
  // Another process records o1 as edited: that record is the one found for the edited status.
  sqlite3 *other = nullptr;
  ASSERT_EQ(sqlite3_open_v2((storage + "/view.db").c_str(), &other, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  sqlite3_busy_timeout(other, 10000);
  const struct stat edited = fake_status(1, 1);
  const uint8_t theirs[16] = {0xab, 0xcd};
  sqlite3_stmt *q = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(other,
                               "INSERT OR REPLACE INTO private_objects(vrel, oid, dev, ino, size, mtime_ns)"
                               " VALUES('/v/d/o1', ?1, ?2, ?3, ?4, ?5)",
                               -1, &q, nullptr),
            SQLITE_OK);
  sqlite3_bind_blob(q, 1, theirs, 16, SQLITE_STATIC);
  sqlite3_bind_int64(q, 2, int64_t(edited.st_dev));
  sqlite3_bind_int64(q, 3, int64_t(edited.st_ino));
  sqlite3_bind_int64(q, 4, int64_t(edited.st_size));
  sqlite3_bind_int64(q, 5, int64_t(edited.st_mtim.tv_sec) * 1000000000);
  ASSERT_EQ(sqlite3_step(q), SQLITE_DONE);
  sqlite3_finalize(q);
  sqlite3_close(other);
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/d/o1", edited, &oid), KS_ST_OK);
  EXPECT_EQ(std::memcmp(oid.bytes, theirs, 16), 0);
  // This process edits o2 and then sees its old status again: a new object, not the one read
  // ahead.
  tbs_oid_t changed;
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/d/o2", fake_status(2, 1), &changed), KS_ST_OK);
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/d/o2", fake_status(2, 0), &oid), KS_ST_OK);
  EXPECT_FALSE(tbs_oid_eq(&oid, &first[2]));
  EXPECT_FALSE(tbs_oid_eq(&oid, &changed));
  dbrpc_viewdb_close_all();
}

TEST(DbrpcViewdb, DerivedObjectsReadAheadShowThisProcesssRecordsForgettingAndNewNames) {
  site::Site s;
  std::string storage = s.dir() + "/store";
  ASSERT_EQ(dbrpc_viewdb_create(storage), KS_ST_OK);
  auto oid_of = [](uint8_t n) {
    tbs_oid_t o = {};
    o.bytes[0] = n;
    return o;
  };
  for (int i = 0; i < 3; i++)
    ASSERT_EQ(dbrpc_viewdb_note_do(storage, "/v/d/o" + std::to_string(i), oid_of(uint8_t(i + 1)), 25,
                                   fake_status(i, 0)),
              KS_ST_OK);
  dbrpc_viewdb_close_all();
  tbs_oid_t found;
  uint32_t mtype = 0;
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(dbrpc_viewdb_identify_do(storage, "/v/d/o" + std::to_string(i), &found, &mtype), KS_ST_OK);
    EXPECT_EQ(found.bytes[0], i + 1);
    EXPECT_EQ(mtype, 25u);
  }
  // This process records o2 anew: that record is what it finds.
  ASSERT_EQ(dbrpc_viewdb_note_do(storage, "/v/d/o2", oid_of(9), 26, fake_status(2, 1)), KS_ST_OK);
  ASSERT_EQ(dbrpc_viewdb_identify_do(storage, "/v/d/o2", &found, &mtype), KS_ST_OK);
  EXPECT_EQ(found.bytes[0], 9);
  EXPECT_EQ(mtype, 26u);
  // Another process records a name that had none: it is found.
  sqlite3 *other = nullptr;
  ASSERT_EQ(sqlite3_open_v2((storage + "/view.db").c_str(), &other, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  sqlite3_busy_timeout(other, 10000);
  ASSERT_EQ(sqlite3_exec(other,
                         "INSERT INTO derived_objects(vrel, do_oid, mtype, dev, ino)"
                         " VALUES('/v/d/o3', x'07000000000000000000000000000000', 25, 7, 1003)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(other);
  ASSERT_EQ(dbrpc_viewdb_identify_do(storage, "/v/d/o3", &found, &mtype), KS_ST_OK);
  EXPECT_EQ(found.bytes[0], 7);
  EXPECT_EQ(dbrpc_viewdb_identify_do(storage, "/v/d/none", &found, &mtype), KS_ST_NOT_FOUND);
  // This process forgets o1, read ahead before: it is no longer a derived object.
  ASSERT_EQ(dbrpc_viewdb_forget_do(storage, "/v/d/o1"), KS_ST_OK);
  EXPECT_EQ(dbrpc_viewdb_identify_do(storage, "/v/d/o1", &found, &mtype), KS_ST_NOT_FOUND);
  dbrpc_viewdb_close_all();
}

// Views made by earlier releases keep their tables as they were made (tables with row ids); a
// view made now has its own. Both read what they hold and take new records alike.
TEST(DbrpcViewdb, ViewsOfEarlierAndCurrentTablesAreReadAndWrittenAlike) {
  const char *const kEarlierTables =
      "CREATE TABLE private_objects(vrel TEXT PRIMARY KEY, oid BLOB NOT NULL,"
      " dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
      " mtime_ns INTEGER NOT NULL);"
      "CREATE TABLE derived_objects(vrel TEXT PRIMARY KEY, do_oid BLOB NOT NULL,"
      " mtype INTEGER NOT NULL, dev INTEGER NOT NULL, ino INTEGER NOT NULL);"
      "INSERT INTO private_objects VALUES('/v/old', x'05000000000000000000000000000000', 7, 1000,"
      " 10, 1700000000000000000);"
      "INSERT INTO derived_objects VALUES('/v/d/old', x'06000000000000000000000000000000', 25, 7,"
      " 1001);";
  for (bool earlier : {true, false}) {
    SCOPED_TRACE(earlier ? "earlier tables" : "current tables");
    site::Site s;
    std::string storage = s.dir() + "/store";
    if (earlier) {
      ASSERT_EQ(mkdir(storage.c_str(), 0777), 0);
      sqlite3 *db = nullptr;
      ASSERT_EQ(sqlite3_open((storage + "/view.db").c_str(), &db), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(db, kEarlierTables, nullptr, nullptr, nullptr), SQLITE_OK);
      sqlite3_close(db);
    }
    ASSERT_EQ(dbrpc_viewdb_create(storage), KS_ST_OK);
    tbs_oid_t oid, again, found;
    uint32_t mtype = 0;
    if (earlier) {
      ASSERT_EQ(dbrpc_viewdb_find_private_oid(storage, "/v/old", fake_status(0, 0), &oid), KS_ST_OK);
      EXPECT_EQ(oid.bytes[0], 5);
      ASSERT_EQ(dbrpc_viewdb_find_do(storage, "/v/d/old", &found, &mtype), KS_ST_OK);
      EXPECT_EQ(found.bytes[0], 6);
    }
    // New records, replaced ones and forgotten ones, seen again by the next process.
    ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/new", fake_status(1, 0), &oid), KS_ST_OK);
    ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/new", fake_status(1, 1), &again), KS_ST_OK);
    EXPECT_FALSE(tbs_oid_eq(&oid, &again));
    tbs_oid_t a = {}, b = {};
    a.bytes[0] = 8;
    b.bytes[0] = 9;
    ASSERT_EQ(dbrpc_viewdb_note_do(storage, "/v/d/b", a, 25, fake_status(2, 0)), KS_ST_OK);
    ASSERT_EQ(dbrpc_viewdb_note_do(storage, "/v/d/a", a, 25, fake_status(3, 0)), KS_ST_OK);
    ASSERT_EQ(dbrpc_viewdb_note_do(storage, "/v/d/a", b, 26, fake_status(3, 1)), KS_ST_OK);
    ASSERT_EQ(dbrpc_viewdb_forget_do(storage, "/v/d/b"), KS_ST_OK);
    dbrpc_viewdb_close_all();
    ASSERT_EQ(dbrpc_viewdb_find_private_oid(storage, "/v/new", fake_status(1, 1), &found), KS_ST_OK);
    EXPECT_TRUE(tbs_oid_eq(&found, &again));
    EXPECT_EQ(dbrpc_viewdb_find_private_oid(storage, "/v/new", fake_status(1, 0), &found),
              KS_ST_NOT_FOUND);
    std::vector<dbrpc_viewdb_do_t> dos;
    ASSERT_EQ(dbrpc_viewdb_list_dos(storage, &dos), KS_ST_OK);
    std::vector<std::string> names;
    for (const auto &d : dos) names.push_back(d.vrel);
    const std::vector<std::string> expected =
        earlier ? std::vector<std::string>{"/v/d/a", "/v/d/old"} : std::vector<std::string>{"/v/d/a"};
    EXPECT_EQ(names, expected);
    ASSERT_EQ(dbrpc_viewdb_find_do(storage, "/v/d/a", &found, &mtype), KS_ST_OK);
    EXPECT_EQ(found.bytes[0], 9);
    EXPECT_EQ(mtype, 26u);
    EXPECT_EQ(dbrpc_viewdb_find_do(storage, "/v/d/b", &found, &mtype), KS_ST_NOT_FOUND);
    dbrpc_viewdb_close_all();
  }
}

TEST(DbrpcViewdb, ProcessesAssigningAtOnceAgreeOnEveryOid) {
  site::Site s;
  std::string storage = s.dir() + "/store";
  ASSERT_EQ(dbrpc_viewdb_create(storage), KS_ST_OK);
  dbrpc_viewdb_close_all();  // a connection must not cross a fork
  constexpr int kObjects = 60, kProcs = 4;
  std::vector<int> fds;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcs; ++p) {
    int fd[2];
    ASSERT_EQ(pipe(fd), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fd[0]);
      // Half the processes batch their assignments; each starts at another object.
      bool batch = p % 2 == 0;
      if (batch) dbrpc_viewdb_batch_begin();
      std::vector<tbs_oid_t> oids(kObjects);
      bool ok = true;
      for (int n = 0; n < kObjects; ++n) {
        int i = (n + p * kObjects / kProcs) % kObjects;
        ok &= dbrpc_viewdb_private_oid(storage, "/v/o" + std::to_string(i), fake_status(i, 0),
                                       &oids[size_t(i)]) == KS_ST_OK;
      }
      if (batch) ok &= dbrpc_viewdb_batch_end() == KS_ST_OK;
      dbrpc_viewdb_close_all();
      size_t bytes = oids.size() * sizeof(tbs_oid_t);
      ok &= write(fd[1], oids.data(), bytes) == ssize_t(bytes);
      _exit(ok ? 0 : 1);
    }
    close(fd[1]);
    fds.push_back(fd[0]);
    pids.push_back(pid);
  }
  std::vector<std::vector<tbs_oid_t>> got(kProcs, std::vector<tbs_oid_t>(kObjects));
  for (int p = 0; p < kProcs; ++p) {
    size_t bytes = kObjects * sizeof(tbs_oid_t), done = 0;
    auto *to = reinterpret_cast<char *>(got[size_t(p)].data());
    while (done < bytes) {
      ssize_t n = read(fds[size_t(p)], to + done, bytes - done);
      if (n <= 0) break;
      done += size_t(n);
    }
    close(fds[size_t(p)]);
    int status = 0;
    ASSERT_EQ(waitpid(pids[size_t(p)], &status, 0), pids[size_t(p)]);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << p;
    ASSERT_EQ(done, bytes);
  }
  for (int i = 0; i < kObjects; ++i) {
    tbs_oid_t now;
    ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/o" + std::to_string(i), fake_status(i, 0), &now),
              KS_ST_OK);
    for (int p = 0; p < kProcs; ++p)
      EXPECT_TRUE(tbs_oid_eq(&got[size_t(p)][size_t(i)], &now)) << "object " << i << ", process " << p;
  }
  dbrpc_viewdb_close_all();
}

// The write-ahead log is copied into the database and emptied when the process closes it, unless
// the process changed nothing but passing rows (a build session's own), no other process
// committed meanwhile, and the log is short: then it is left for the next process. What lasts is
// never left behind in the log by the last to close.
TEST(DbrpcViewdb, OnlyPassingChangesLeaveAShortLogForTheNextProcess) {
  struct Case {
    const char *what;
    int passing_rows;    // rows inserted and deleted again, noted as passing
    size_t row_bytes;    // the size of each such row
    bool lasting;        // an identity is recorded too
    bool other_commit;   // another connection commits a row meanwhile and closes first
    bool log_left;
  } cases[] = {
      {"nothing changed", 0, 0, false, false, true},
      {"a session's rows", 2, 16, false, false, true},
      {"a session's rows and an identity", 2, 16, true, false, false},
      {"a session's rows while another commits", 2, 16, false, true, false},
      {"passing rows past the log's limit", 40, 16 * 1024, false, false, false},
  };
  for (const Case &c : cases) {
    site::Site s;
    const std::string storage = s.dir() + "/store", wal = storage + "/view.db-wal";
    ASSERT_EQ(dbrpc_viewdb_create(storage), KS_ST_OK);
    sqlite3 *db = dbrpc_viewdb_handle(storage);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE IF NOT EXISTS passing(x BLOB)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    dbrpc_viewdb_close_all();  // the table made and copied in: a process starting afresh
    db = dbrpc_viewdb_handle(storage);
    ASSERT_NE(db, nullptr);
    for (int i = 0; i < c.passing_rows; i++) {
      const std::string sql = "INSERT INTO passing VALUES(zeroblob(" + std::to_string(c.row_bytes) + "))";
      ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(db, "DELETE FROM passing", nullptr, nullptr, nullptr), SQLITE_OK);
      dbrpc_viewdb_note_passing_changes(storage, 2);
    }
    tbs_oid_t oid{};
    if (c.lasting) {
      ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/kept", fake_status(0, 0), &oid), KS_ST_OK);
    }
    if (c.other_commit) {
      sqlite3 *other = nullptr;
      ASSERT_EQ(sqlite3_open_v2((storage + "/view.db").c_str(), &other, SQLITE_OPEN_READWRITE, nullptr),
                SQLITE_OK);
      EXPECT_EQ(sqlite3_exec(other, "INSERT INTO passing VALUES(1); DELETE FROM passing", nullptr, nullptr,
                             nullptr),
                SQLITE_OK);
      sqlite3_close(other);
    }
    dbrpc_viewdb_close_all();
    struct stat st;
    const bool left = stat(wal.c_str(), &st) == 0 && st.st_size > 0;
    EXPECT_EQ(left, c.log_left) << c.what;
    // The next process sees every committed change, in the log or in the database.
    if (c.lasting) {
      tbs_oid_t found{};
      ASSERT_EQ(dbrpc_viewdb_find_private_oid(storage, "/v/kept", fake_status(0, 0), &found), KS_ST_OK)
          << c.what;
      EXPECT_TRUE(tbs_oid_eq(&found, &oid)) << c.what;
    }
    db = dbrpc_viewdb_handle(storage);
    ASSERT_NE(db, nullptr);
    sqlite3_stmt *q = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM passing", -1, &q, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(q, 0), 0) << c.what;
    sqlite3_finalize(q);
    dbrpc_viewdb_close_all();
  }
}

// The user version of the database file; -1 when it cannot be read.
int user_version(const std::string &file) {
  sqlite3 *db = nullptr;
  int version = -1;
  sqlite3_stmt *q = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &q, nullptr) == SQLITE_OK && sqlite3_step(q) == SQLITE_ROW)
    version = sqlite3_column_int(q, 0);
  sqlite3_finalize(q);
  sqlite3_close(db);
  return version;
}

// An open runs the schema when the database lacks its mark (made by older programs, or by
// programs of another schema), so that every table is there, and marks it.
TEST(DbrpcViewdb, AnOpenMakesWhatTheSchemaLacksUntilTheDatabaseCarriesItsMark) {
  struct Case {
    const char *what;
    int stored_mark;
  } cases[] = {
      {"a database of older programs", 0},
      {"a database of another schema", 12345},
  };
  for (const Case &c : cases) {
    site::Site s;
    const std::string storage = s.dir() + "/store", file = storage + "/view.db";
    ASSERT_EQ(dbrpc_viewdb_create(storage), KS_ST_OK);
    dbrpc_viewdb_close_all();
    const int mark = user_version(file);
    EXPECT_GT(mark, 0);
    sqlite3 *old = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file.c_str(), &old, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    const std::string sql = "DROP TABLE derived_objects; PRAGMA user_version=" + std::to_string(c.stored_mark);
    ASSERT_EQ(sqlite3_exec(old, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(old);
    tbs_oid_t found{};
    uint32_t mtype = 0;
    EXPECT_EQ(dbrpc_viewdb_find_do(storage, "/v/none", &found, &mtype), KS_ST_NOT_FOUND) << c.what;
    dbrpc_viewdb_close_all();
    EXPECT_EQ(user_version(file), mark) << c.what;
    sqlite3 *db = dbrpc_viewdb_handle(storage);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(sqlite3_exec(db, "SELECT count(*) FROM derived_objects", nullptr, nullptr, nullptr), SQLITE_OK)
        << c.what;
    dbrpc_viewdb_close_all();
  }
}

// This test program links the system's database library, as a client may: the database code
// then uses that copy and loads no other, for two copies in one process would each take and drop
// the process's locks on the same files without the other knowing.
TEST(DbrpcViewdb, AProcessThatHasTheDatabaseLibraryLoadsNoOtherCopy) {
  site::Site s;
  ASSERT_EQ(dbrpc_viewdb_create(s.dir() + "/store"), KS_ST_OK);
  int copies = 0;
  dl_iterate_phdr(
      [](struct dl_phdr_info *info, size_t, void *data) {
        if (info->dlpi_name && std::strstr(info->dlpi_name, "sqlite")) ++*static_cast<int *>(data);
        return 0;
      },
      &copies);
  EXPECT_EQ(copies, 1);
  dbrpc_viewdb_close_all();
}

// A process that recorded something lasting copies it into the database file itself when it
// closes, even while another process keeps the database open (and may close last, leaving the log).
TEST(DbrpcViewdb, WhatLastsIsCopiedInByItsOwnProcessEvenWhenAnotherClosesLast) {
  site::Site s;
  const std::string storage = s.dir() + "/store", file = storage + "/view.db";
  ASSERT_EQ(dbrpc_viewdb_create(storage), KS_ST_OK);
  dbrpc_viewdb_close_all();
  tbs_oid_t oid{};
  ASSERT_EQ(dbrpc_viewdb_private_oid(storage, "/v/kept", fake_status(0, 0), &oid), KS_ST_OK);
  // Another process reads the database meanwhile, and so keeps it open past this one's close.
  sqlite3 *other = nullptr;
  ASSERT_EQ(sqlite3_open_v2(file.c_str(), &other, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN; SELECT count(*) FROM private_objects", nullptr, nullptr, nullptr),
            SQLITE_OK);
  dbrpc_viewdb_close_all();
  // The database file alone, without the log, holds the identity.
  sqlite3 *alone = nullptr;
  const std::string uri = "file:" + file + "?immutable=1";
  ASSERT_EQ(sqlite3_open_v2(uri.c_str(), &alone, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr), SQLITE_OK);
  sqlite3_stmt *q = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(alone, "SELECT count(*) FROM private_objects WHERE vrel = '/v/kept'", -1, &q,
                               nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(q, 0), 1) << "the identity is only in the log";
  sqlite3_finalize(q);
  sqlite3_close(alone);
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
}

#ifdef DBRPC_OWN_SQLITE_FILE
// The product's own build of the database library defines the maths functions its SQL functions
// call and loads the maths library only when one is called: each gives what the maths library's
// function of that name gives. The library is loaded here on its own and unloaded after, beside
// the system's copy this program links.
TEST(DbrpcOwnSqlite, MathsFunctionsGiveTheMathsLibrarysResults) {
  void *lib = dlopen(DBRPC_OWN_SQLITE_FILE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  void *maths = dlopen(LIBM_SO, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(maths, nullptr) << dlerror();
  auto open = reinterpret_cast<decltype(&sqlite3_open)>(dlsym(lib, "sqlite3_open"));
  auto prepare = reinterpret_cast<decltype(&sqlite3_prepare_v2)>(dlsym(lib, "sqlite3_prepare_v2"));
  auto step = reinterpret_cast<decltype(&sqlite3_step)>(dlsym(lib, "sqlite3_step"));
  auto bind = reinterpret_cast<decltype(&sqlite3_bind_double)>(dlsym(lib, "sqlite3_bind_double"));
  auto column = reinterpret_cast<decltype(&sqlite3_column_double)>(dlsym(lib, "sqlite3_column_double"));
  auto type = reinterpret_cast<decltype(&sqlite3_column_type)>(dlsym(lib, "sqlite3_column_type"));
  auto finalize = reinterpret_cast<decltype(&sqlite3_finalize)>(dlsym(lib, "sqlite3_finalize"));
  auto close = reinterpret_cast<decltype(&sqlite3_close)>(dlsym(lib, "sqlite3_close"));
  ASSERT_TRUE(open && prepare && step && bind && column && type && finalize && close);
  sqlite3 *db = nullptr;
  ASSERT_EQ(open(":memory:", &db), SQLITE_OK);
  struct Case {
    const char *sql;    // the SQL function
    const char *maths;  // the maths library's function it calls
    double x, y;        // its arguments (y for two only)
    int args;
  } cases[] = {
      {"acos", "acos", 0.3, 0, 1},   {"acosh", "acosh", 2.5, 0, 1}, {"asin", "asin", 0.3, 0, 1},
      {"asinh", "asinh", 2.5, 0, 1}, {"atan", "atan", 2.5, 0, 1},   {"atan2", "atan2", 2.5, -1.5, 2},
      {"atanh", "atanh", 0.3, 0, 1}, {"cos", "cos", 2.5, 0, 1},     {"cosh", "cosh", 2.5, 0, 1},
      {"exp", "exp", 2.5, 0, 1},     {"mod", "fmod", 7.5, 2.25, 2}, {"ln", "log", 2.5, 0, 1},
      {"pow", "pow", 2.5, 1.5, 2},   {"sin", "sin", 2.5, 0, 1},     {"sinh", "sinh", 2.5, 0, 1},
      {"sqrt", "sqrt", 2.5, 0, 1},   {"tan", "tan", 2.5, 0, 1},     {"tanh", "tanh", 2.5, 0, 1},
      {"trunc", "trunc", -2.5, 0, 1},
  };
  for (const Case &c : cases) {
    void *f = dlsym(maths, c.maths);
    ASSERT_NE(f, nullptr) << c.maths;
    const double want = c.args == 1 ? reinterpret_cast<double (*)(double)>(f)(c.x)
                                    : reinterpret_cast<double (*)(double, double)>(f)(c.x, c.y);
    const std::string sql = std::string("SELECT ") + c.sql + (c.args == 1 ? "(?1)" : "(?1, ?2)");
    sqlite3_stmt *q = nullptr;
    ASSERT_EQ(prepare(db, sql.c_str(), -1, &q, nullptr), SQLITE_OK) << sql;
    bind(q, 1, c.x);
    if (c.args == 2) bind(q, 2, c.y);
    ASSERT_EQ(step(q), SQLITE_ROW) << sql;
    EXPECT_EQ(type(q, 0), SQLITE_FLOAT) << sql;
    EXPECT_EQ(column(q, 0), want) << sql;
    finalize(q);
  }
  close(db);
  dlclose(maths);
  dlclose(lib);
}
#endif

}  // namespace
