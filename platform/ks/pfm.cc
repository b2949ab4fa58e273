#include "ks/pfm.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ks/imsg.h"

namespace {
int inhibit_depth = 0;
sigset_t saved_mask;
}  // namespace

void pfm_init() {}

void pfm_raise(ks_status_t status) { throw pfm_raised{status}; }

void pfm_inhibit() {
  if (inhibit_depth++ == 0) {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &saved_mask);
  }
}

void pfm_enable() {
  if (inhibit_depth > 0 && --inhibit_depth == 0) sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
}

pfm_sig_handler_t pfm_signal(int sig, pfm_sig_handler_t handler) {
  struct sigaction sa = {}, old = {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, sig);
  sa.sa_flags = SA_RESTART;
  if (sigaction(sig, &sa, &old) != 0) return SIG_ERR;
  return old.sa_handler;
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
