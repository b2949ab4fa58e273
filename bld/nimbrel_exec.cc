// The script runner: each line of a build script in a child process, waited for on the event
// loop, with its echo, its prefixes and its exit code.
#include "bld/nimbrel_exec.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bld/bldr_utl.h"
#include "bld/bsdmake_job.h"
#include "client_meters/client_meters.h"
#include "ks/pfm.h"
#include "ks/rt.h"
#include "ks/strutl.h"
#include "mf/mf.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"

namespace {

const char kModule[] = "bld/nimbrel_exec";

const char *const exec_formats[] = {
    /* 0 */ "Commands terminated by signal %d\n",
    /* 1 */ "Unexpected error (%x) waiting for completion of shell script\n",
    /* 2 */ "",
    /* 3 */ "Unable to unlink command file \"%s\" - %s\n",
    /* 4 */ "Unable to vfork - %s\n",
    /* 5 */ "Unable to duplicate command file descriptor as stdin of shell process - %s\n",
    /* 6 */ "Unable to execute shell \"%s\" - %s\n",
    /* 7 */ "", "",
    /* 9 */ "Commands stopped by signal %d\n",
    /* 10 */ "",
    /* 11 */ "Malformed build script\n",
    /* 12 */ "",
    /* 13 */ "Unable to create command file for shell standard input \"%s\" - %s\n",
    /* 14 */ "rt_run returned with child still running\n",
    /* 15 */ "*** Error code %d (ignored)\n",
    /* 16 */ "*** Error code %d\n",
    /* 17 */ "", "", "", "", "", "", "", "", "", "", "",
    /* 28 */ ("Shell flag(s) \"%s\" has been removed from shell \"%s\". Use \"ORVA_SHELL_FLAGS\" to "
              "define the shell flag(s).\n"),
    /* 29 */ "Cannot locate shell \"%s\"\n",
    /* 30 */ "Interrupted by signal %d\n",
};
constexpr uint16_t kRows = sizeof exec_formats / sizeof exec_formats[0];
const uint16_t exec_catalog[kRows] = {};

enum {
  MSG_SIGNALLED = 0,
  MSG_UNEXPECTED = 1,
  MSG_UNLINK = 3,
  MSG_FORK = 4,
  MSG_DUP = 5,
  MSG_EXEC = 6,
  MSG_STOPPED = 9,
  MSG_MALFORMED = 11,
  MSG_CMD_FILE = 13,
  MSG_STILL_RUNNING = 14,
  MSG_IGNORED = 15,
  MSG_ERROR_CODE = 16,
  MSG_FLAGS_REMOVED = 28,
  MSG_NO_SHELL = 29,
  MSG_INTERRUPTED = 30,
};

constexpr size_t kDirectMax = 8192;

// The child being waited for (one at a time per process).
struct ChildState {
  pid_t pid = 0;
  int exited = 0;
  int status = 0;
  rt_event_t timer = RT_EVENT_NULL;
} child;

int shell_required = -1;  // read once per process
client_meters_region_t awaiting_region = nullptr;

// The interrupt that reached the make while a child ran: passed on to the child, then raised.
volatile sig_atomic_t interrupt_sig = 0;
volatile sig_atomic_t interrupt_child = 0;
int last_interrupt = 0;

bool trace(int level) {
  return mf_utl_should_trace("nimbrel_exec", level) || mf_utl_should_trace("bldsvc", level);
}
bool child_trace() {
  return mf_utl_should_trace("nimbrel_exec", 4) ||
         (imsg_get_desired_verbosity() >= 2 && imsg_should_trace("nimbrel_child", 2));
}

void on_interrupt(int sig) {
  interrupt_sig = sig;
  if (interrupt_child > 0) kill(pid_t(interrupt_child), sig);
}

// The interrupt handlers while one child runs; the previous ones are put back afterwards.
class InterruptGuard {
 public:
  InterruptGuard() {
    for (size_t i = 0; i < kCount; i++) old_[i] = pfm_signal(kSigs[i], on_interrupt);
  }
  ~InterruptGuard() {
    interrupt_child = 0;
    for (size_t i = 0; i < kCount; i++)
      if (old_[i] != SIG_ERR) pfm_signal(kSigs[i], old_[i]);
  }

 private:
  static constexpr int kSigs[] = {SIGINT, SIGTERM, SIGHUP};
  static constexpr size_t kCount = sizeof kSigs / sizeof kSigs[0];
  pfm_sig_handler_t old_[kCount];
};

void exit_callback(pid_t pid, int status, void *arg);

void child_wait_timer_event(void *arg) {
  auto *c = static_cast<ChildState *>(arg);
  c->timer = RT_EVENT_NULL;
  if (c->exited) return;
  if (child_trace()) imsg_print(IMSG_TRACE, "Child PID %d listed as still running\n", -1, c->pid);
  int status = 0;
  pid_t r = waitpid(c->pid, &status, WNOHANG);
  if (r != 0) {
    imsg_print(IMSG_WARNING, "Process termination for PID %d not caught by signal handler thread\n",
               -1, c->pid);
    rt_proc_disown(c->pid);
    // The child was reaped elsewhere when waitpid fails: its end counts as a failure.
    exit_callback(c->pid, r > 0 ? status : (NIMBREL_EXEC_CHILD_FAILED << 8), c);
    return;
  }
  char text[64] = "";
  long seconds = 60;
  if (const char *v = std::getenv("ORVA_MAKE_CHILD_TIMEOUT")) {
    std::snprintf(text, sizeof text, "%s", v);
    long n = 0;
    // A period below one second would poll without pause.
    if (strutl_strtol(text, 10, &n) == KS_ST_OK && n >= 1) seconds = n;
  }
  if (child_trace())
    imsg_print(IMSG_TRACE, "Child process %d still executing, rescheduling for %ld seconds\n", -1,
               c->pid, seconds);
  c->timer = rt_sched(child_wait_timer_event, c, double(seconds));
}

void exit_callback(pid_t pid, int status, void *arg) {
  auto *c = static_cast<ChildState *>(arg);
  c->exited = 1;
  c->status = status;
  if (child_trace()) imsg_print(IMSG_TRACE, "nimbrel_exec_build_exit_callback: pid=%d\n", -1, pid);
  rt_unsched(c->timer);
  c->timer = RT_EVENT_NULL;
  rt_poll();
  rt_shutdown();
}

// Whether path names an executable file.
bool executable(const char *path) {
  struct stat st;
  return access(path, X_OK) == 0 && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// name looked up along the search path; empty when not found there.
std::string search_path(const char *name, const char *path) {
  if (path == nullptr || name == nullptr || *name == '\0' || std::strchr(name, '/')) return "";
  std::string dirs(path);
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    std::string cand = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (cand.size() <= 1023 && executable(cand.c_str())) return cand;
    start = end + 1;
  }
  return "";
}

// Creates the command file in the audit temporary directory, exclusively and for the owner
// only (the directory is often shared): "<dir>/nimbrel.script.<pid>" and then the same name with
// ".000" to ".999". The descriptor, or -1 after the message.
int make_command_file(std::string *name) {
  const char *dir = bldr_utl_get_audit_tmpdir(1, 1, nullptr);
  if (dir == nullptr) return -1;
  char base[1100];
  std::snprintf(base, sizeof base, "%s%s%05d", dir, "/nimbrel.script.", int(getpid()));
  const int changed = bldr_utl_set_tempfile_umask();
  int fd = -1, err = 0;
  for (int i = -1; i < 1000 && fd < 0; i++) {
    char cand[1200];
    if (i < 0) std::snprintf(cand, sizeof cand, "%s", base);
    else std::snprintf(cand, sizeof cand, "%s.%03d", base, i);
    fd = open(cand, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    err = errno;
    *name = cand;
  }
  if (changed) bldr_utl_set_do_umask();
  if (fd < 0)
    imsg_print(IMSG_ERROR, &_nimbrel_exec_karsel_msg_table, MSG_CMD_FILE, name->c_str(),
               imsg_strerror(err));
  return fd;
}

bool write_all(int fd, const char *text, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, text, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    text += w;
    n -= size_t(w);
  }
  return true;
}

// Prints text on standard output as the runner's lines are printed.
void print_out(const char *text) { imsg_print(IMSG_INFO, "%s", -1, text); }

}  // namespace

const imsg_msg_table_t _nimbrel_exec_karsel_msg_table = {
    "karsel_bin", kModule, 420, kRows, exec_formats, exec_catalog,
};

int nimbrel_exec_interrupted() { return last_interrupt; }

int nimbrel_exec_script(const char *shell, int argc, char **argv, char **envp, const char *script,
                        int use_cmd_file, int direct_exec_allowed, const char *path) {
  if (shell_required < 0) shell_required = mf_getenv("ORVA_SHELL_REQUIRED") != nullptr;
  if (trace(4))
    imsg_print(IMSG_TRACE,
               "nimbrel_exec_script(%s, %d, %s, XXenvXX, use_cmd_file=%d, direct_exec=%d, "
               "disable_direct_exec=%d\nscript=%s\n",
               -1, shell, argc, argc >= 1 ? argv[0] : "no argv", use_cmd_file,
               direct_exec_allowed, shell_required, script ? script : "");
  std::fflush(stdout);
  std::fflush(stderr);

  // Direct execution: the words of the script, the first one the program.
  std::vector<char> words_buf;
  std::vector<char *> words;
  std::string program;
  const size_t len = script ? std::strlen(script) : 0;
  if (direct_exec_allowed && !shell_required && len > 0 && std::strcmp(script, "\n") != 0 &&
      len < kDirectMax - 1) {
    words_buf.assign(script, script + len + 1);
    char *state = nullptr;
    for (char *w = strutl_tokenize(words_buf.data(), " \t\n", &state); w;
         w = strutl_tokenize(nullptr, " \t\n", &state))
      words.push_back(w);
    if (!words.empty()) {
      if (executable(words[0])) program = words[0];
      else program = search_path(words[0], path);
      if (program.empty()) {
        if (trace(3))
          imsg_print(IMSG_TRACE,
                     "nimbrel_exec_script:direct-exec: Cannot locate \"%s\" for script=%s in "
                     "path=\"%s\"\n",
                     -1, words[0], script, path ? path : "");
        words.clear();
      } else {
        if (trace(4)) imsg_print(IMSG_TRACE, "wellknown search: consider \"%s\"\n", -1, program.c_str());
        words.push_back(nullptr);
      }
    }
  }

  // The child is started without copying this process (posix_spawn); it inherits what a forked
  // child would: descriptors, signal mask, ignored signals, process group, working directory.
  child = ChildState();
  interrupt_sig = 0;
  last_interrupt = 0;
  int code = NIMBREL_EXEC_CHILD_FAILED;
  std::string cmd_name;
  int cmd_fd = -1;
  {
    InterruptGuard guard;
    pid_t pid = -1;
    if (!words.empty()) {
      pid = rt_proc_spawn(exit_callback, &child, program.c_str(), nullptr, words.data(), envp);
      if (pid < 0 && trace(3))
        imsg_print(IMSG_TRACE, "nimbrel_exec_script:direct-exec failure, fall thru:\"%s\":%d\n",
                   -1, words[0], errno);
    }
    if (pid < 0) {
      // The shell, reading the script from the command file when there is one (made only now:
      // a program started directly does not need it).
      posix_spawn_file_actions_t actions;
      bool have_actions = false;
      if (use_cmd_file && script) {
        cmd_fd = make_command_file(&cmd_name);
        if (cmd_fd < 0) return NIMBREL_EXEC_CHILD_FAILED;
        if (!write_all(cmd_fd, script, std::strlen(script)) || lseek(cmd_fd, 0, SEEK_SET) != 0) {
          imsg_print(IMSG_ERROR, &_nimbrel_exec_karsel_msg_table, MSG_CMD_FILE, cmd_name.c_str(),
                     imsg_strerror(errno));
          close(cmd_fd);
          unlink(cmd_name.c_str());
          return NIMBREL_EXEC_CHILD_FAILED;
        }
        if (posix_spawn_file_actions_init(&actions) != 0 ||
            posix_spawn_file_actions_adddup2(&actions, cmd_fd, 0) != 0) {
          imsg_print(IMSG_ERROR, &_nimbrel_exec_karsel_msg_table, MSG_DUP, imsg_strerror(ENOMEM));
          close(cmd_fd);
          unlink(cmd_name.c_str());
          return NIMBREL_EXEC_CHILD_FAILED;
        }
        have_actions = true;
      }
      if (trace(3))
        imsg_print(IMSG_TRACE,
                   "nimbrel_exec_script:indirect-exec:shell=\"%s\", argv[1]=%s, script=\"%20s\"\n",
                   -1, shell, argc > 1 ? argv[1] : "no argv", script ? script : "");
      pid = rt_proc_spawn(exit_callback, &child, shell, have_actions ? &actions : nullptr, argv,
                          envp);
      const int err = errno;
      if (have_actions) posix_spawn_file_actions_destroy(&actions);
      if (pid < 0) {
        // No process (EAGAIN), or a shell that cannot be executed.
        if (err == EAGAIN)
          imsg_print(IMSG_ERROR, &_nimbrel_exec_karsel_msg_table, MSG_FORK, imsg_strerror(err));
        else
          imsg_print(IMSG_ERROR, &_nimbrel_exec_karsel_msg_table, MSG_EXEC, argv[0],
                     imsg_strerror(err));
        if (cmd_fd >= 0) {
          close(cmd_fd);
          unlink(cmd_name.c_str());
        }
        return NIMBREL_EXEC_CHILD_FAILED;
      }
    }
    child.pid = pid;
    interrupt_child = pid;
    if (interrupt_sig) kill(pid, interrupt_sig);  // came between the fork and now

    if (awaiting_region == nullptr) awaiting_region = client_meters_create_region("awaiting_builds");
    while (!child.exited) {
      child.timer = rt_sched(child_wait_timer_event, &child, 60.0);
      client_meters_enter_region(awaiting_region);
      rt_run();
      client_meters_exit_region(awaiting_region);
      if (child.timer != RT_EVENT_NULL) {
        if (child_trace()) imsg_print(IMSG_TRACE, "rt_run() done but child not finished\n", -1);
        rt_unsched(child.timer);
        child.timer = RT_EVENT_NULL;
      }
      if (!child.exited && trace(3))
        imsg_print(IMSG_WARNING, &_nimbrel_exec_karsel_msg_table, MSG_STILL_RUNNING);
    }
  }

  const int st = child.status;
  if (WIFSTOPPED(st)) {
    imsg_print(IMSG_ERROR, &_nimbrel_exec_karsel_msg_table, MSG_STOPPED, WSTOPSIG(st));
  } else if (WIFSIGNALED(st)) {
    if (!interrupt_sig)
      imsg_print(IMSG_ERROR, &_nimbrel_exec_karsel_msg_table, MSG_SIGNALLED, WTERMSIG(st));
  } else if (WIFEXITED(st)) {
    code = WEXITSTATUS(st);
  } else {
    imsg_print(IMSG_ERROR, &_nimbrel_exec_karsel_msg_table, MSG_UNEXPECTED, st);
  }
  if (cmd_fd >= 0) {
    close(cmd_fd);
    if (unlink(cmd_name.c_str()) != 0)
      imsg_print(IMSG_WARNING, &_nimbrel_exec_karsel_msg_table, MSG_UNLINK, cmd_name.c_str(),
                 imsg_strerror(errno));
  }
  if (interrupt_sig) {
    last_interrupt = int(interrupt_sig);
    imsg_print(IMSG_ERROR, &_nimbrel_exec_karsel_msg_table, MSG_INTERRUPTED, last_interrupt);
    pfm_raise(KS_ST_ERR);
  }
  return code;
}

ks_status_t nimbrel_exec_one_shell(const char *shell, int argc, char **argv, char **envp,
                                   const char *script, int silent, int ignore, int listing,
                                   int32_t *status, const char *path) {
  char *text = nullptr, *flags = nullptr;
  ks_status_t st = bsdmake_job_one_shell_script(shell, script ? script : "", silent, ignore,
                                                listing, &text);
  if (st != KS_ST_OK) return st;
  // The script text belongs to the job module until its next call: a copy runs.
  std::string body(text ? text : "");
  st = bsdmake_job_shell_flags(shell, silent, ignore, &flags);
  if (st != KS_ST_OK) return st;
  std::vector<char *> vec = {argv[0], flags};
  for (int i = 1; i < argc; i++) vec.push_back(argv[i]);
  vec.push_back(nullptr);
  int code = NIMBREL_EXEC_CHILD_FAILED;
  pfm_frame([&] { code = nimbrel_exec_script(shell, argc + 1, vec.data(), envp, body.c_str(), 1, 0,
                                             path); },
            [&](ks_status_t) { stg_free(flags); });
  stg_free(flags);
  *status = code;
  return code == NIMBREL_EXEC_CHILD_FAILED ? KS_ST_ERR : KS_ST_OK;
}

ks_status_t nimbrel_exec_make_script(const char *shell, const char *shell_flags, int argc,
                                     char **argv, char **envp, const char *script, int silent,
                                     int ignore, int listing, int one_shell, int plus_prefix,
                                     nimbrel_exec_marker_test_t marker_test,
                                     nimbrel_exec_marker_action_t marker_action, int32_t *status) {
  // The search path: the last PATH= (or Path=) entry of the environment.
  const char *path = nullptr;
  for (char **e = envp; e && *e; e++)
    if (std::strncmp(*e, "PATH=", 5) == 0 || std::strncmp(*e, "Path=", 5) == 0) path = *e + 5;

  // The shell: as given, along the search path, or without flags written into its name.
  std::string shell_pn = shell ? shell : "";
  std::vector<char *> base_argv(argv, argv + argc);
  base_argv.push_back(nullptr);
  std::string stripped_argv0;
  if (!executable(shell_pn.c_str())) {
    std::string found;
    if (!shell_pn.empty() && shell_pn[0] != '/' && path) found = search_path(shell_pn.c_str(), path);
    if (!found.empty() && found.size() <= 1023) {
      shell_pn = found;
    } else {
      char pn[1024], flags[1024];
      if (shell_pn.empty() ||
          !bldr_utl_remove_shell_flags(shell_pn.c_str(), pn, sizeof pn, flags, sizeof flags)) {
        imsg_print(IMSG_ERROR, &_nimbrel_exec_karsel_msg_table, MSG_NO_SHELL, shell_pn.c_str());
        return KS_ST_ERR;
      }
      imsg_print(IMSG_WARNING, &_nimbrel_exec_karsel_msg_table, MSG_FLAGS_REMOVED, flags,
                 shell_pn.c_str());
      if (!executable(pn)) {
        imsg_print(IMSG_ERROR, &_nimbrel_exec_karsel_msg_table, MSG_NO_SHELL, pn);
        return KS_ST_ERR;
      }
      shell_pn = pn;
      if (argc >= 1 && !executable(argv[0])) {
        stripped_argv0 = pn;
        base_argv[0] = stripped_argv0.data();
      }
    }
  }

  if (one_shell)
    return nimbrel_exec_one_shell(shell_pn.c_str(), argc, base_argv.data(), envp, script, silent,
                                  ignore, listing, status, path);

  if (script == nullptr) {
    int code = nimbrel_exec_script(shell_pn.c_str(), argc, base_argv.data(), envp, nullptr, 0, 0,
                                   path);
    *status = code;
    return code == NIMBREL_EXEC_CHILD_FAILED ? KS_ST_ERR : KS_ST_OK;
  }

  // The vector with the flags: [argv[0], flags, argv[1..]].
  const bool flags_empty = shell_flags != nullptr && *shell_flags == '\0';
  const bool flags_given = shell_flags != nullptr && *shell_flags != '\0';
  std::string flag_text = shell_flags ? shell_flags : "-e";
  std::vector<char *> flag_argv;
  if (!flags_empty) {
    flag_argv.push_back(base_argv[0]);
    flag_argv.push_back(flag_text.data());
    for (int i = 1; i < argc; i++) flag_argv.push_back(base_argv[size_t(i)]);
    flag_argv.push_back(nullptr);
  }

  *status = 0;
  const size_t script_len = std::strlen(script);
  size_t pos = 0;
  std::string line;
  while (pos < script_len) {
    const char *nl = std::strchr(script + pos, '\n');
    if (nl == nullptr) {
      imsg_print_shared(IMSG_ERROR, kModule, &_nimbrel_exec_karsel_msg_table, MSG_MALFORMED);
      return KS_ST_ERR;
    }
    line.assign(script + pos, size_t(nl - script - pos) + 1);
    pos = size_t(nl - script) + 1;
    if (line[0] == '"' && mf_getenv("ORVA_PRESERVE_QUOTED_BUILD_SCRIPTS") != nullptr) {
      line.insert(0, 1, '"');
      line.insert(line.size() - 1, 1, '"');
    }
    if (marker_test != nullptr) {
      int value = marker_test(line.c_str());
      if (value != 0) {
        PFM_ASSERT(marker_action != NULL);
        ks_status_t r = marker_action(value);
        if (r != KS_ST_OK) return r;
        continue;
      }
    }
    const char *text = line.c_str();
    bool runs = true;
    if (listing) {
      runs = text[0] == '\\';
      text++;
    }
    int line_ignore = 0, line_silent = 0, needs_shell = 0;
    const char *cmd =
        bldr_utl_line_to_exec(text, plus_prefix, &line_ignore, &line_silent, nullptr, &needs_shell);
    if (ignore) line_ignore = 1;
    if (!silent && (!line_silent || listing)) print_out(("\t" + std::string(cmd)).c_str());
    if (!runs) {
      *status = 0;
      continue;
    }
    char **use_argv = (flags_empty || (!flags_given && line_ignore)) ? base_argv.data()
                                                                      : flag_argv.data();
    const int use_argc = use_argv == base_argv.data() ? argc : argc + 1;
    // A line that needs no shell may run directly; with the flags emptied only while standard
    // input may be left to the program.
    const bool direct = !needs_shell && (shell_flags == nullptr ||
                                         (flags_empty && !mf_getenv("ORVA_STDIN_NOTALLOWED")));
    int code = nimbrel_exec_script(shell_pn.c_str(), use_argc, use_argv, envp, cmd, 1,
                                   direct ? 1 : 0, path);
    *status = code;
    if (code == NIMBREL_EXEC_CHILD_FAILED) return KS_ST_ERR;
    if (code != 0) {
      char msg[512];
      if (line_ignore) {
        std::snprintf(msg, sizeof msg, exec_formats[MSG_IGNORED], code);
        print_out(msg);
        *status = 0;
        continue;
      }
      std::snprintf(msg, sizeof msg, exec_formats[MSG_ERROR_CODE], code);
      print_out(msg);
      return KS_ST_OK;
    }
  }
  return KS_ST_OK;
}
