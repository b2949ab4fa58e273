// Reliability of records: builds killed (SIGKILL) at random points while they write derived
// objects, records and the record cache, then built again. No record is ever served for data it
// does not describe, and a damaged cache file is emptied, never trusted.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../e2e/site_util.h"
#include "bld/bldr_cr_cache.h"
#include "cm/cm_cr.h"
#include "dbrpc/dbrpc_viewdb.h"
#include "dbrpc/dbrpc_vobdb.h"
#include "view/view_do.h"
#include "view/view_xstat.h"

namespace {

constexpr int kTargets = 24;

// Whether record cr names oid as a derived object its build made.
bool made(const tbs_cr_t &cr, const tbs_oid_t &oid) {
  for (uint32_t i = 0; i < cr.obj_count; i++)
    if ((cr.objs[i]->flags & TBS_CR_OBJ_NEW_DO) && tbs_oid_eq(&cr.objs[i]->oid, &oid)) return true;
  return false;
}

class Reliability : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string makefile = "all:";
    for (int i = 0; i < kTargets; i++) makefile += " t" + std::to_string(i);
    makefile += "\n";
    // Each script makes a new file and renames it into place: a file that a killed build left
    // written in place is a view-private file that no later build may make a derived object.
    for (int i = 0; i < kTargets; i++) {
      const std::string t = "t" + std::to_string(i);
      makefile += t + ": in\n\tcat in > " + t + ".new && mv " + t + ".new " + t + "\n";
    }
    site_.make_vob("vob", {{"src/Makefile", makefile}, {"src/in", "data\n"}});
    site_.make_view("v1");
    src_ = site_.path("v1", "vob", "src");
    tmp_ = site_.dir() + "/tmp";
    site::write_file(tmp_ + "/.keep", "");
  }
  void TearDown() override { forget(); }

  // Forgets what this process cached, as another process would start.
  static void forget() {
    view_xstat_flush_cache();
    dbrpc_viewdb_close_all();
    dbrpc_vobdb_close_all();
  }

  // Starts tolvick in a process group of its own; its pid.
  pid_t start_make() {
    std::vector<std::string> env = site_.env();
    env.push_back("ORVA_AUDIT_TMPDIR=" + tmp_);
    env.push_back("ORVA_TVICK_SIMPLE_NAME=1");
    env.push_back("PATH=/usr/bin:/bin");
    std::string prog = e2e::bin_dir() + "/tolvick";
    pid_t pid = fork();
    if (pid == 0) {
      setpgid(0, 0);
      if (chdir(src_.c_str()) != 0) _exit(127);
      std::vector<char *> envp;
      for (auto &e : env) envp.push_back(e.data());
      envp.push_back(nullptr);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      char *argv[] = {prog.data(), const_cast<char *>("all"), nullptr};
      execve(prog.c_str(), argv, envp.data());
      _exit(127);
    }
    setpgid(pid, pid);
    return pid;
  }

  int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }

  // Every record the directory's cache or the VOB serves belongs to its derived object's data.
  void check_records() {
    forget();
    std::vector<view_do_entry_t> dos;
    ASSERT_EQ(view_do_list(src_.c_str(), &dos), KS_ST_OK);
    for (const auto &d : dos) {
      SCOPED_TRACE(d.path);
      view_oids_t o;
      ASSERT_EQ(view_get_oids(d.path.c_str(), 0, 0, 0, &o), KS_ST_OK);
      ASSERT_TRUE(tbs_oid_eq(&o.obj_oid, &d.do_oid));  // the file is the derived object's data
      vob_handle_t vobh;
      ASSERT_EQ(vob_ob_vob_oid_to_vobh(&o.vob_oid, &vobh), KS_ST_OK);
      tbs_cr_t cr;
      ASSERT_EQ(cm_cr_get_cr(vobh, &d.do_oid, 1, 1, nullptr, &cr), KS_ST_OK);
      EXPECT_TRUE(made(cr, d.do_oid));
      std::string leaf = d.path.substr(d.path.rfind('/') + 1);
      EXPECT_EQ(std::string(cr.target_name), leaf);
      cm_cr_free_cr(vobh, &cr);
    }
    bldr_cr_cache_t *c = nullptr;
    ASSERT_EQ(bldr_cr_cache_read((src_ + "/.tvick.state").c_str(), &c), KS_ST_OK);
    for (uint32_t i = 0; i < c->dir.dir_count; i++) {
      tbs_oid_t oid = c->dir.entries[i].do_oid;
      tbs_cr_t cr;
      if (!bldr_cr_cache_fetch(c, &oid, &cr)) continue;  // a damaged file was emptied
      EXPECT_TRUE(made(cr, oid)) << "a cached record under an OID it did not make";
    }
    EXPECT_EQ(bldr_cr_cache_close(c), KS_ST_OK);
  }

  site::Site site_;
  std::string src_, tmp_;
};

TEST_F(Reliability, BuildsKilledWhileWritingRecordsLeaveNothingUntrue) {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delay_ms(20, 900);
  for (int round = 0; round < 6; round++) {
    SCOPED_TRACE(round);
    // Every target out of date again.
    site::write_file(src_ + "/in", "data " + std::to_string(round) + "\n");
    struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 10 * (round + 1), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (src_ + "/in").c_str(), later, 0), 0);
    pid_t pid = start_make();
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
    kill(-pid, SIGKILL);
    wait_for(pid);
    check_records();
    // Built again to the end, every target is a derived object with its record, but for the one
    // whose script the kill cut short: its file, newer than its dependency, stays as it is.
    int status = wait_for(start_make());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    check_records();
    std::vector<view_do_entry_t> dos;
    ASSERT_EQ(view_do_list(src_.c_str(), &dos), KS_ST_OK);
    EXPECT_GE(dos.size(), size_t(kTargets - 1));
  }
}

}  // namespace
