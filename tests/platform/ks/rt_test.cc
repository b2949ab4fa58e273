#include "ks/rt.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

extern char **environ;

namespace {

std::vector<std::string> log_;

void note(void *arg) { log_.push_back(static_cast<const char *>(arg)); }

void note_and_stop(void *arg) {
  note(arg);
  rt_shutdown();
}

TEST(Rt, TimersRunInDeadlineOrderAndCancelledOnesDoNot) {
  log_.clear();
  rt_sched(note, const_cast<char *>("late"), 0.03);
  rt_event_t cancelled = rt_sched(note, const_cast<char *>("cancelled"), 0.01);
  rt_sched(note, const_cast<char *>("early"), 0.0);
  rt_sched(note_and_stop, const_cast<char *>("stop"), 0.05);
  rt_unsched(cancelled);
  rt_run();
  EXPECT_EQ(log_, (std::vector<std::string>{"early", "late", "stop"}));
  rt_unsched(cancelled);  // no longer pending: harmless
  EXPECT_EQ(rt_run_depth(), 0);
}

TEST(Rt, RunWithNothingToWaitForReturnsAndShutdownOutsideARunIsForgotten) {
  log_.clear();
  rt_shutdown();
  rt_run();
  rt_sched(note_and_stop, const_cast<char *>("ran"), 0.0);
  rt_run();  // not ended early by the shutdown before it
  EXPECT_EQ(log_, std::vector<std::string>{"ran"});
}

// The script runner's shape: an outer run whose timer callback forks a child and waits for it in
// a nested run that the child's exit ends.
struct Wait {
  pid_t pid = 0;
  int status = -1;
  int depth_at_exit = 0;
};

void child_exited(pid_t pid, int status, void *arg) {
  auto *w = static_cast<Wait *>(arg);
  w->pid = pid;
  w->status = status;
  w->depth_at_exit = rt_run_depth();
  rt_poll();
  rt_shutdown();
}

void fork_and_wait(void *arg) {
  auto *w = static_cast<Wait *>(arg);
  pid_t pid = rt_proc_fork(child_exited, w, 1);
  if (pid == 0) _exit(7);
  ASSERT_GT(pid, 0);
  rt_run();
  log_.push_back("inner done");
}

TEST(Rt, NestedRunEndsOnlyTheInnermostRun) {
  log_.clear();
  Wait w;
  rt_sched(fork_and_wait, &w, 0.0);
  rt_sched(note_and_stop, const_cast<char *>("outer done"), 0.2);
  rt_run();
  EXPECT_EQ(log_, (std::vector<std::string>{"inner done", "outer done"}));
  EXPECT_GT(w.pid, 0);
  ASSERT_TRUE(WIFEXITED(w.status));
  EXPECT_EQ(WEXITSTATUS(w.status), 7);
  EXPECT_EQ(w.depth_at_exit, 2);
}

TEST(Rt, DisownedChildRunsNoCallback) {
  Wait w;
  pid_t pid = rt_proc_fork(child_exited, &w, 1);
  if (pid == 0) _exit(0);
  rt_proc_disown(pid);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  rt_run();  // nothing left to wait for
  EXPECT_EQ(w.pid, 0);
}

TEST(Rt, SpawnedChildRunsItsCallbackAndOneThatCannotStartLeavesNone) {
  Wait w;
  char *argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>("exit 5"),
                  nullptr};
  pid_t pid = rt_proc_spawn(child_exited, &w, "/bin/sh", nullptr, argv, environ);
  ASSERT_GT(pid, 0);
  rt_run();
  EXPECT_EQ(w.pid, pid);
  ASSERT_TRUE(WIFEXITED(w.status));
  EXPECT_EQ(WEXITSTATUS(w.status), 5);

  Wait none;
  errno = 0;
  EXPECT_EQ(rt_proc_spawn(child_exited, &none, "/no/such/program", nullptr, argv, environ), -1);
  EXPECT_EQ(errno, ENOENT);
  rt_run();  // nothing to wait for
  EXPECT_EQ(none.pid, 0);
}

rt_int_event_t usr_event;
int usr_calls = 0;

void usr_callback(void *) {
  usr_calls++;
  rt_shutdown();
}

void usr_handler(int) { rt_sched_int(usr_callback, nullptr, 0, &usr_event, sizeof usr_event); }

TEST(Rt, SignalSchedulingRunsOnceForSignalsBeforeTheLoop) {
  struct sigaction sa = {}, old = {};
  sa.sa_handler = usr_handler;
  sigaction(SIGUSR1, &sa, &old);
  raise(SIGUSR1);
  raise(SIGUSR1);
  rt_run();
  EXPECT_EQ(usr_calls, 1);
  raise(SIGUSR1);  // pending again once the first has run
  rt_poll();
  EXPECT_EQ(usr_calls, 2);
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(rt_sched_int(usr_callback, nullptr, 0, &usr_event, 1), -1);
}

void read_and_stop(int fd, void *arg) {
  char buf[16];
  ssize_t n = read(fd, buf, sizeof buf);
  static_cast<std::string *>(arg)->assign(buf, n > 0 ? size_t(n) : 0);
  rt_unhandle_fd(fd);
  rt_shutdown();
}

TEST(Rt, DescriptorCallbackRunsWhenReadable) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::string got;
  ASSERT_EQ(rt_handle_fd(p[0], read_and_stop, &got), 0);
  ASSERT_EQ(write(p[1], "hi", 2), 2);
  rt_run();
  EXPECT_EQ(got, "hi");
  close(p[0]);
  close(p[1]);
  EXPECT_EQ(rt_handle_fd(-1, read_and_stop, &got), -1);
}

}  // namespace
