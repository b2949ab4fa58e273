// The event loop: a poll over the watched descriptors and a self-pipe that signal handlers write
// to (child exits and rt_sched_int), with the timers' deadlines as its timeout.
#include "ks/rt.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <vector>

namespace {

struct Timer {
  uint64_t id;
  int64_t deadline_ns;
  rt_callback_t callback;
  void *arg;
};

struct Watch {
  uint64_t id;
  int fd;
  rt_fd_callback_t callback;
  void *arg;
};

struct Child {
  pid_t pid;
  rt_proc_callback_t callback;
  void *arg;
};

constexpr int kIntSlots = 64;

std::vector<Timer> timers;
std::vector<Watch> watches;
std::vector<Child> children;
std::vector<char> run_stops;  // one stop flag per rt_run in progress, innermost last
uint64_t next_id = 1;
std::atomic<rt_int_event_t *> int_slots[kIntSlots];
std::atomic<int> int_pending{0};
int wake_pipe[2] = {-1, -1};
bool sigchld_installed = false;

int64_t now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The self-pipe, made on first need; safe from a signal handler (pipe2 is a plain system call).
bool ensure_pipe() {
  if (wake_pipe[0] >= 0) return true;
  return pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) == 0;
}

void wake() {
  if (wake_pipe[1] < 0) return;
  int saved = errno;
  char c = 1;
  ssize_t n = write(wake_pipe[1], &c, 1);
  (void)n;  // a full pipe already wakes the loop
  errno = saved;
}

void drain_pipe() {
  char buf[256];
  while (read(wake_pipe[0], buf, sizeof buf) > 0) {
  }
}

void on_sigchld(int) { wake(); }

void install_sigchld() {
  if (sigchld_installed) return;
  struct sigaction sa = {};
  sa.sa_handler = on_sigchld;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  sigaction(SIGCHLD, &sa, nullptr);
  sigchld_installed = true;
}

void run_int_events() {
  if (int_pending.load() == 0) return;
  for (auto &slot : int_slots) {
    rt_int_event_t *ev = slot.exchange(nullptr);
    if (ev == nullptr) continue;
    int_pending.fetch_sub(1);
    ev->pending = 0;
    ev->callback(ev->arg);
  }
}

void reap_children() {
  // A snapshot: callbacks may fork or disown children.
  std::vector<pid_t> pids;
  pids.reserve(children.size());
  for (const Child &c : children) pids.push_back(c.pid);
  for (pid_t pid : pids) {
    size_t i = 0;
    while (i < children.size() && children[i].pid != pid) i++;
    if (i == children.size()) continue;  // disowned meanwhile
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR)) continue;
    // Reaped elsewhere (ECHILD): the exit cannot be known, so it counts as a failure.
    if (r < 0) status = 254 << 8;
    Child c = children[i];
    children.erase(children.begin() + long(i));
    c.callback(pid, status, c.arg);
  }
}

void run_watches(const std::vector<struct pollfd> &fds, const std::vector<uint64_t> &ids) {
  for (size_t k = 1; k < fds.size(); k++) {
    if (fds[k].revents == 0) continue;
    for (const Watch &w : watches) {
      if (w.id != ids[k]) continue;
      Watch copy = w;
      copy.callback(copy.fd, copy.arg);
      break;
    }
  }
}

void run_timers() {
  const int64_t now = now_ns();
  std::vector<uint64_t> due;
  for (const Timer &t : timers)
    if (t.deadline_ns <= now) due.push_back(t.id);
  for (uint64_t id : due) {
    for (size_t i = 0; i < timers.size(); i++) {
      if (timers[i].id != id) continue;
      Timer t = timers[i];
      timers.erase(timers.begin() + long(i));
      t.callback(t.arg);
      break;
    }
  }
}

bool nothing_to_wait_for() {
  return timers.empty() && watches.empty() && children.empty() && int_pending.load() == 0;
}

// One pass: waits (when wait is set) until a descriptor, the self-pipe or the next deadline is
// due, then runs every callback that is ready.
void pass(bool wait) {
  ensure_pipe();
  std::vector<struct pollfd> fds;
  std::vector<uint64_t> ids;
  fds.push_back({wake_pipe[0], POLLIN, 0});
  ids.push_back(0);
  for (const Watch &w : watches) {
    fds.push_back({w.fd, POLLIN, 0});
    ids.push_back(w.id);
  }
  int timeout = 0;
  if (wait && int_pending.load() == 0) {
    timeout = -1;
    if (!timers.empty()) {
      int64_t first = timers[0].deadline_ns;
      for (const Timer &t : timers) first = t.deadline_ns < first ? t.deadline_ns : first;
      int64_t ms = (first - now_ns() + 999999) / 1000000;
      timeout = ms <= 0 ? 0 : (ms > INT_MAX ? INT_MAX : int(ms));
    }
    // Children exit through SIGCHLD; a short cap covers a signal that came before the handler.
    if (!children.empty() && (timeout < 0 || timeout > 1000)) timeout = 1000;
  }
  int n = poll(fds.data(), nfds_t(fds.size()), timeout);
  if (n < 0 && errno != EINTR) return;
  if (n > 0 && fds[0].revents) drain_pipe();
  run_int_events();
  reap_children();
  if (n > 0) run_watches(fds, ids);
  run_timers();
}

}  // namespace

rt_event_t rt_sched(rt_callback_t callback, void *arg, double seconds) {
  if (seconds < 0) seconds = 0;
  Timer t{next_id++, now_ns() + int64_t(seconds * 1e9), callback, arg};
  try {
    timers.push_back(t);
  } catch (...) {
    return RT_EVENT_NULL;
  }
  return reinterpret_cast<rt_event_t>(uintptr_t(t.id));
}

int rt_sched_int(rt_callback_t callback, void *arg, int delay, rt_int_event_t *event,
                 size_t size) {
  if (event == nullptr || size < sizeof(rt_int_event_t) || delay != 0) return -1;
  if (event->pending) return 0;
  if (!ensure_pipe()) return -1;
  event->callback = callback;
  event->arg = arg;
  event->pending = 1;
  for (auto &slot : int_slots) {
    rt_int_event_t *expected = nullptr;
    if (slot.compare_exchange_strong(expected, event)) {
      int_pending.fetch_add(1);
      wake();
      return 0;
    }
  }
  event->pending = 0;
  return -1;
}

void rt_unsched(rt_event_t event) {
  const uint64_t id = uint64_t(reinterpret_cast<uintptr_t>(event));
  for (size_t i = 0; i < timers.size(); i++) {
    if (timers[i].id == id) {
      timers.erase(timers.begin() + long(i));
      return;
    }
  }
}

void rt_run() {
  run_stops.push_back(0);
  const size_t level = run_stops.size() - 1;
  while (!run_stops[level] && !nothing_to_wait_for()) pass(true);
  run_stops.pop_back();
}

void rt_poll() { pass(false); }

void rt_shutdown() {
  if (!run_stops.empty()) run_stops.back() = 1;
}

int rt_run_depth() { return int(run_stops.size()); }

pid_t rt_proc_fork(rt_proc_callback_t callback, void *arg, int) {
  ensure_pipe();
  install_sigchld();
  children.reserve(children.size() + 1);  // no allocation between the fork and the entry
  pid_t pid = fork();
  if (pid == 0) {
    // The child runs no callback of its parent.
    timers.clear();
    watches.clear();
    children.clear();
    run_stops.clear();
    for (auto &slot : int_slots) slot.store(nullptr);
    int_pending.store(0);
    return 0;
  }
  if (pid > 0) children.push_back({pid, callback, arg});
  return pid;
}

pid_t rt_proc_spawn(rt_proc_callback_t callback, void *arg, const char *path,
                    const posix_spawn_file_actions_t *actions, char *const argv[],
                    char *const envp[]) {
  // The handler and the pipe first: a child that ends at once must still wake the loop.
  ensure_pipe();
  install_sigchld();
  try {
    children.reserve(children.size() + 1);
  } catch (...) {
    errno = ENOMEM;
    return -1;
  }
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, path, actions, nullptr, argv, envp);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  children.push_back({pid, callback, arg});
  return pid;
}

void rt_proc_disown(pid_t pid) {
  for (size_t i = 0; i < children.size(); i++) {
    if (children[i].pid == pid) {
      children.erase(children.begin() + long(i));
      return;
    }
  }
}

int rt_handle_fd(int fd, rt_fd_callback_t callback, void *arg) {
  if (fd < 0 || fcntl(fd, F_GETFD) < 0) return -1;
  rt_unhandle_fd(fd);
  try {
    watches.push_back({next_id++, fd, callback, arg});
  } catch (...) {
    return -1;
  }
  return 0;
}

void rt_unhandle_fd(int fd) {
  for (size_t i = 0; i < watches.size(); i++) {
    if (watches[i].fd == fd) {
      watches.erase(watches.begin() + long(i));
      return;
    }
  }
}
