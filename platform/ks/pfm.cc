#include "ks/pfm.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ks/imsg.h"

namespace {

// Interruption is held off without a system call: the handlers installed through pfm_signal
// run through a trampoline that, while held off, only notes the signal; pfm_enable delivers what
// was noted. (Blocking the signals would take two system calls per pfm_inhibit/pfm_enable pair,
// which the stat and directory caches make around every entry.)
volatile sig_atomic_t inhibit_depth = 0;
volatile sig_atomic_t any_pending = 0;
volatile sig_atomic_t pending[NSIG];
pfm_sig_handler_t handlers[NSIG];

void trampoline(int sig) {
  if (inhibit_depth > 0) {
    pending[sig] = 1;
    any_pending = 1;
    return;
  }
  pfm_sig_handler_t h = handlers[sig];
  if (h != SIG_DFL && h != SIG_IGN && h != nullptr) h(sig);
}

}  // namespace

void pfm_init() {}

void pfm_raise(ks_status_t status) { throw pfm_raised{status}; }

void pfm_inhibit() { inhibit_depth = inhibit_depth + 1; }

void pfm_enable() {
  if (inhibit_depth <= 0) return;
  inhibit_depth = inhibit_depth - 1;
  if (inhibit_depth == 0 && any_pending) {
    any_pending = 0;
    for (int sig = 1; sig < NSIG; sig++) {
      if (!pending[sig]) continue;
      pending[sig] = 0;
      trampoline(sig);
    }
  }
}

pfm_sig_handler_t pfm_signal(int sig, pfm_sig_handler_t handler) {
  if (sig <= 0 || sig >= NSIG) return SIG_ERR;
  struct sigaction sa = {}, old = {};
  const bool direct = handler == SIG_DFL || handler == SIG_IGN;
  sa.sa_handler = direct ? handler : trampoline;
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, sig);
  sa.sa_flags = SA_RESTART;
  const pfm_sig_handler_t previous = handlers[sig];
  if (!direct) handlers[sig] = handler;
  if (sigaction(sig, &sa, &old) != 0) {
    handlers[sig] = previous;
    return SIG_ERR;
  }
  if (direct) handlers[sig] = nullptr;
  return old.sa_handler == trampoline ? previous : old.sa_handler;
}

void pfm_assert_fail(const char *expression, const char *file_stem, int line) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: Assertion failed: %s (%s, line %d)\n", imsg_get_app_name(), expression,
               file_stem, line);
  std::fflush(stderr);
  std::abort();
}

void pfm_panic(const char *file_stem, int line) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: Fatal error (%s, line %d)\n", imsg_get_app_name(), file_stem, line);
  std::fflush(stderr);
  std::abort();
}

void pfm_exit(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(code);
}

const char *pfm_file_stem(const char *path) {
  static thread_local char stem[256];
  const char *leaf = std::strrchr(path, '/');
  leaf = leaf ? leaf + 1 : path;
  std::snprintf(stem, sizeof stem, "%s", leaf);
  if (char *dot = std::strrchr(stem, '.')) *dot = '\0';
  return stem;
}
