// Audit files of the build: names, clean-up, non-VOB dependencies, and the script audit's start.
#include "bld/bldr_cr_audit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bld/bldr_cr.h"
#include "bld/bldr_utl.h"
#include "ks/imsg.h"
#include "ks/list.h"
#include "ks/sysutl.h"
#include "mf/mf_utl.h"
#include "view/view_audit.h"

namespace {

bool exists(const std::string &p) {
  struct stat s;
  return lstat(p.c_str(), &s) == 0;
}

void touch(const std::string &p, const std::string &content = "") {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f << content;
}

// Captures the messages printed while it lives.
struct Capture {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f;
  Capture() : f(open_memstream(&buf, &len)) { imsg_set_streams(f, f); }
  std::string text() {
    fflush(f);
    return std::string(buf, len);
  }
  ~Capture() {
    imsg_set_streams(nullptr, nullptr);
    fclose(f);
    free(buf);
  }
};

class AuditFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/vossel-audit-XXXXXX";
    dir_ = mkdtemp(templ);
    setenv("ORVA_AUDIT_TMPDIR", dir_.c_str(), 1);
    bldr_utl_reset_audit_tmpdir();
    mf_verbosity = 0;
    bldr_cr_save_audit_files = 0;
  }
  void TearDown() override {
    unsetenv("ORVA_AUDIT_TMPDIR");
    bldr_utl_reset_audit_tmpdir();
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  // The name of sequence n of this process in the directory.
  std::string name(uint32_t n) {
    const char *host = sysutl_myhostname();
    char tail[64];
    snprintf(tail, sizeof tail, ".%05d.%03u", int(getpid()), n);
    return dir_ + "/bldr.audit." + host + tail;
  }
  std::string dir_;
  const char *d_ = nullptr;
  const char *host_ = nullptr;
  uint32_t seq_ = 99;
  char pid_[16] = "";
  char path_[1024] = "";
};

TEST_F(AuditFilesTest, UniqueNames) {
  ASSERT_EQ(bldr_cr_get_unique_audit_pn(&d_, &seq_, &host_, sizeof pid_, pid_, sizeof path_, path_),
            KS_ST_OK);
  EXPECT_EQ(std::string(path_), name(0));
  EXPECT_EQ(seq_, 0u);
  EXPECT_EQ(std::string(d_), dir_);
  for (uint32_t n = 0; n <= 4; ++n) touch(name(n));
  ASSERT_EQ(symlink("/nonexistent/target", name(5).c_str()), 0);  // a dangling link is taken too
  ASSERT_EQ(bldr_cr_get_unique_audit_pn(&d_, &seq_, &host_, sizeof pid_, pid_, sizeof path_, path_),
            KS_ST_OK);
  EXPECT_EQ(seq_, 6u);
  EXPECT_EQ(std::string(path_), name(6));

  Capture small;
  char tiny[16];
  EXPECT_EQ(bldr_cr_get_unique_audit_pn(&d_, &seq_, &host_, sizeof pid_, pid_, sizeof tiny, tiny),
            KS_ST_ERR);
  EXPECT_NE(small.text().find("Unable to generate name of audit file in directory"), std::string::npos);
}

TEST_F(AuditFilesTest, AllNamesTaken) {
  for (uint32_t n = 0; n <= 999; ++n) touch(name(n));
  Capture c;
  EXPECT_EQ(bldr_cr_get_unique_audit_pn(&d_, &seq_, &host_, sizeof pid_, pid_, sizeof path_, path_),
            KS_ST_ERR);
  EXPECT_NE(c.text().find("Too many 'bldr' files in \"" + dir_ + "\""), std::string::npos);
}

TEST_F(AuditFilesTest, MissingTemporaryDirectory) {
  setenv("ORVA_AUDIT_TMPDIR", (dir_ + "/missing/").c_str(), 1);
  bldr_utl_reset_audit_tmpdir();
  Capture c;
  EXPECT_EQ(bldr_cr_get_unique_audit_pn(&d_, &seq_, &host_, sizeof pid_, pid_, sizeof path_, path_),
            KS_ST_ERR);
  EXPECT_NE(c.text().find("The specified temporary directory \"" + dir_ + "/missing\" does not exist"),
            std::string::npos)
      << c.text();
}

TEST_F(AuditFilesTest, StartRefusesAnExistingName) {
  std::string victim = dir_ + "/victim";
  touch(victim, "keep me");
  ASSERT_EQ(symlink(victim.c_str(), name(0).c_str()), 0);
  Capture c;
  EXPECT_EQ(bldr_cr_start_audit(name(0).c_str()), KS_ST_ERR);
  std::ifstream f(victim);
  std::string content((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "keep me") << "the audit file is never created through a link";
}

TEST_F(AuditFilesTest, CleanUp) {
  struct Case {
    const char *what;
    int verbosity;
    int save_flag;
    bool removed;
  } cases[] = {
      {"plain", 0, 0, true},
      {"verbosity 3 keeps", 3, 0, false},
      {"save flag keeps", 0, 1, false},
  };
  for (const auto &c : cases) {
    for (uint32_t n = 0; n <= 4; ++n) touch(name(n), "x");
    std::string other = dir_ + "/bldr.audit.otherhost.00001.001";
    touch(other);
    mf_verbosity = c.verbosity;
    bldr_cr_save_audit_files = c.save_flag;
    const char *host = sysutl_myhostname();
    char pid[16];
    snprintf(pid, sizeof pid, "%05d", int(getpid()));
    Capture cap;
    EXPECT_EQ(bldr_cr_cleanup_audit_files(name(3).c_str(), 3, dir_.c_str(), host, pid), KS_ST_OK);
    for (uint32_t n = 0; n <= 3; ++n) EXPECT_EQ(exists(name(n)), !c.removed) << c.what << " " << n;
    EXPECT_TRUE(exists(name(4))) << c.what << ": a later sequence stays";
    EXPECT_TRUE(exists(other)) << c.what;
    if (!c.removed) {
      EXPECT_NE(cap.text().find("Leaving audit files in \"" + dir_ + "\""), std::string::npos) << c.what;
      EXPECT_NE(cap.text().find("Build script audit file is \"" + name(3) + "\""), std::string::npos);
    }
  }
  mf_verbosity = 0;
  bldr_cr_save_audit_files = 0;
}

TEST_F(AuditFilesTest, NestedAuditKeepsTheEnclosingFile) {
  char outer[1024], inner[1024], pid[16], pid2[16];
  uint32_t seq, seq2;
  const char *d, *h;
  ASSERT_EQ(bldr_cr_init_audit(outer, sizeof outer, dir_.c_str(), &seq, &d, &h, pid, sizeof pid), KS_ST_OK);
  // The nested audit of the same process gets the next sequence number.
  ASSERT_EQ(view_audit_stop(), KS_ST_OK);
  ASSERT_EQ(bldr_cr_init_audit(inner, sizeof inner, dir_.c_str(), &seq2, &d, &h, pid2, sizeof pid2),
            KS_ST_OK);
  EXPECT_EQ(seq2, seq + 1);
  ASSERT_EQ(bldr_cr_stop_audit(), KS_ST_OK);
  EXPECT_EQ(bldr_cr_cleanup_audit_files(inner, seq2, d, h, pid2), KS_ST_OK);
  EXPECT_FALSE(exists(inner));
  EXPECT_TRUE(exists(outer)) << "the enclosing audit's file is still in use";
  EXPECT_EQ(bldr_cr_cleanup_audit_files(outer, seq, d, h, pid), KS_ST_OK);
  EXPECT_FALSE(exists(outer));
}

// Starts and ends one audit of a build script through the kept audit file; its pathname.
std::string kept_audit(const std::string &dir) {
  char path[1024], pid[16];
  uint32_t seq = 0;
  const char *d = nullptr, *h = nullptr;
  EXPECT_EQ(bldr_cr_init_kept_audit(path, sizeof path, dir.c_str(), &seq, &d, &h, pid, sizeof pid),
            KS_ST_OK);
  EXPECT_EQ(bldr_cr_stop_audit(), KS_ST_OK);
  EXPECT_EQ(bldr_cr_end_kept_audit_files(path, seq, d, h, pid), KS_ST_OK);
  return path;
}

off_t size_of(const std::string &p) {
  struct stat s;
  return lstat(p.c_str(), &s) == 0 ? s.st_size : -1;
}

TEST_F(AuditFilesTest, ScriptAuditsOfAProcessShareOneFileEmptiedBetweenThem) {
  const std::string first = kept_audit(dir_);
  EXPECT_EQ(size_of(first), 0) << "kept, emptied, for the next audit";
  EXPECT_EQ(kept_audit(dir_), first);
  // A file that is no longer the one the process made is left alone, and the audit goes to a new
  // file: replaced by another file, by a link, or given a second name.
  struct Case {
    const char *what;
    void (*change)(const std::string &file, const std::string &dir);
  } cases[] = {
      {"replaced", [](const std::string &f, const std::string &) {
         unlink(f.c_str());
         touch(f, "someone else's");
       }},
      {"a link", [](const std::string &f, const std::string &d) {
         touch(d + "/victim", "someone else's");
         unlink(f.c_str());
         ASSERT_EQ(symlink((d + "/victim").c_str(), f.c_str()), 0);
       }},
      {"a second name", [](const std::string &f, const std::string &d) {
         ASSERT_EQ(link(f.c_str(), (d + "/second").c_str()), 0);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string before = kept_audit(dir_);
    c.change(before, dir_);
    struct stat was;
    ASSERT_EQ(lstat(before.c_str(), &was), 0);
    const std::string after = kept_audit(dir_);
    EXPECT_NE(after, before);
    struct stat now;
    ASSERT_EQ(lstat(before.c_str(), &now), 0);
    EXPECT_EQ(now.st_size, was.st_size) << "left as it was";
    unlink(before.c_str());
    unlink((dir_ + "/victim").c_str());
    unlink((dir_ + "/second").c_str());
  }
  // Audit files left for a person to read keep their records; the next audit takes a new file.
  char path[1024], pid[16];
  uint32_t seq = 0;
  const char *d = nullptr, *h = nullptr;
  ASSERT_EQ(bldr_cr_init_kept_audit(path, sizeof path, dir_.c_str(), &seq, &d, &h, pid, sizeof pid),
            KS_ST_OK);
  ASSERT_EQ(bldr_cr_stop_audit(), KS_ST_OK);
  const off_t recorded = size_of(path);
  EXPECT_GT(recorded, 0);
  bldr_cr_save_audit_files = 1;
  {
    Capture quiet;
    EXPECT_EQ(bldr_cr_end_kept_audit_files(path, seq, d, h, pid), KS_ST_OK);
  }
  bldr_cr_save_audit_files = 0;
  EXPECT_EQ(size_of(path), recorded);
  EXPECT_NE(kept_audit(dir_), path);
  EXPECT_EQ(size_of(path), recorded);
}

TEST_F(AuditFilesTest, TheKeptFileGoesWhenItsProcessExits) {
  // In a child process: the kept file is removed at its exit, but not at the exit of a process
  // forked from it.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string path = kept_audit(dir_);
    pid_t grandchild = fork();
    if (grandchild == 0) std::exit(0);
    int status = 0;
    waitpid(grandchild, &status, 0);
    bool there = exists(path);
    ssize_t n = write(fds[1], path.c_str(), path.size());
    std::exit(there && n == ssize_t(path.size()) ? 0 : 3);
  }
  close(fds[1]);
  char buf[1024];
  ssize_t n = read(fds[0], buf, sizeof buf);
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "kept while its process runs, past the exit of a fork";
  ASSERT_GT(n, 0);
  EXPECT_FALSE(exists(std::string(buf, size_t(n))));
}

TEST_F(AuditFilesTest, NonVobDependencies) {
  std::string f = dir_ + "/dep.txt";
  touch(f, "hello");
  struct stat s;
  ASSERT_EQ(stat(f.c_str(), &s), 0);
  bldr_cr_fs_dep_t crc_of{"dep", f.c_str(), 0, 0, 5, 0, s.st_mtime, 0};
  uint32_t crc = 0;
  ASSERT_EQ(bldr_utl_get_crc(&crc_of, &crc), KS_ST_OK);
  struct Case {
    const char *what;
    bldr_cr_fs_dep_t dep;
    int trust;
    ks_status_t status;
    int64_t audit_mtime;
  } cases[] = {
      {"unchanged", {"dep", f.c_str(), 0, 0, 5, crc, s.st_mtime, 0}, 0, KS_ST_OK, s.st_mtime},
      {"size differs, same time", {"dep", f.c_str(), 0, 0, 6, crc, s.st_mtime, 0}, 0, KS_ST_ERR, 0},
      {"time differs, same data", {"dep", f.c_str(), 0, 0, 5, crc, s.st_mtime - 100, 0}, 0, KS_ST_OK,
       s.st_mtime},
      {"time and data differ", {"dep", f.c_str(), 0, 0, 5, crc ^ 1, s.st_mtime - 100, 0}, 0, KS_ST_ERR,
       0},
      {"kind 2 compares the time", {"dep", f.c_str(), 0, 2, 5, uint32_t(s.st_mtime - 100), s.st_mtime - 100, 0},
       0, KS_ST_ERR, 0},
      {"no pathname", {"dep", "", 0, 0, 5, 0, 77, 9}, 0, KS_ST_OK, 0},
      {"trusted, missing file", {"dep", "/nonexistent/dep", 0, 0, 5, 0, 77, 0}, 1, KS_ST_OK, 77},
      {"missing file", {"dep", "/nonexistent/dep", 0, 0, 5, 0, 77, 0}, 0, KS_ST_ERR, 0},
  };
  for (auto &c : cases) {
    bldr_cr_fs_dep_t *p = &c.dep;
    Capture cap;
    EXPECT_EQ(bldr_cr_check_fs_deps(1, &p, c.trust), c.status) << c.what << ": " << cap.text();
    if (c.status == KS_ST_OK) {
      EXPECT_EQ(c.dep.audit_mtime, c.audit_mtime) << c.what;
    }
  }
}

TEST_F(AuditFilesTest, ScriptAuditFailureStopsTheAudit) {
  bldr_cr_predef_dep_t missing{"gone.h", "/nonexistent/gone.h"};
  bldr_cr_predef_dep_t *deps[] = {&missing};
  ip_rbld_desc desc{};
  desc.initial_dir = dir_.c_str();
  desc.target_name = "t";
  desc.predef_dep_count = 1;
  desc.predef_deps = deps;
  char *path = reinterpret_cast<char *>(1);
  Capture cap;
  EXPECT_EQ(bldr_cr_start_script_audit(&desc, &path), KS_ST_ERR);
  EXPECT_EQ(path, nullptr);
  EXPECT_NE(cap.text().find("Unable to access predefined dependency \"/nonexistent/gone.h\""),
            std::string::npos);
  uint64_t flags = 0;
  char name[1024];
  ASSERT_EQ(view_audit_get_state(nullptr, name, sizeof name, &flags), KS_ST_OK);
  EXPECT_FALSE(flags & VIEW_AUDIT_FLAG_RECORDING) << "no audit runs on after the failure";
  EXPECT_FALSE(exists(this->name(0))) << "the audit file is removed";

  // Without the failing dependency the audit runs into the build-script section.
  desc.predef_dep_count = 0;
  ASSERT_EQ(bldr_cr_start_script_audit(&desc, &path), KS_ST_OK);
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(std::string(path), this->name(0));
  ASSERT_EQ(view_audit_get_state(nullptr, name, sizeof name, &flags), KS_ST_OK);
  EXPECT_TRUE(flags & VIEW_AUDIT_FLAG_RECORDING);
  EXPECT_EQ(std::string(name), path);
  EXPECT_EQ(bldr_cr_stop_audit(), KS_ST_OK);
  bldr_cr_cleanup_audit(path);
  EXPECT_FALSE(exists(this->name(0)));
}

TEST_F(AuditFilesTest, MarkerAndStopWithoutAudit) {
  Capture cap;
  EXPECT_NE(bldr_cr_mark_audit(2), KS_ST_OK);
  EXPECT_NE(bldr_cr_stop_audit(), KS_ST_OK);
  EXPECT_NE(cap.text().find("Unable to place marker in Vessary audit"), std::string::npos);
  EXPECT_NE(cap.text().find("Unable to stop Vessary audit"), std::string::npos);
}

}  // namespace
