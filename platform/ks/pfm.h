// Failure frames, assertions and process ends.
//
// A clean-up frame is a guarded region: pfm_raise(status) below it throws pfm_raised, the frame's
// owner catches it, releases what it holds (RAII does most of this) and, as a rule, raises again.
#pragma once

#include "ks/ks_status.h"

// The exception that carries a raised status up to the nearest frame.
struct pfm_raised {
  ks_status_t status;
};

// Prepares the failure mechanism of a program; harmless when called twice.
void pfm_init();

// Unwinds to the nearest frame with status.
[[noreturn]] void pfm_raise(ks_status_t status);

// Runs body in a frame; returns 0 when it completes, or the status raised inside it.
template <class Body>
ks_status_t pfm_catch(Body &&body) {
  try {
    body();
    return KS_ST_OK;
  } catch (const pfm_raised &r) {
    return r.status;
  }
}

// Runs body in a frame; when a status is raised inside, runs cleanup(status) and raises again.
template <class Body, class Cleanup>
void pfm_frame(Body &&body, Cleanup &&cleanup) {
  try {
    body();
  } catch (const pfm_raised &r) {
    cleanup(r.status);
    throw;
  }
}

// Asynchronous interruption is held off between pfm_inhibit and the matching pfm_enable; the
// calls nest. A signal whose handler was installed with pfm_signal that comes meanwhile runs its
// handler at the outermost pfm_enable.
void pfm_inhibit();
void pfm_enable();

// Installs handler for the signal (restarting interrupted system calls, the signal held off
// while the handler runs) and returns the handler it replaces (SIG_ERR on failure).
typedef void (*pfm_sig_handler_t)(int);
pfm_sig_handler_t pfm_signal(int sig, pfm_sig_handler_t handler);

// End the process at once after printing where.
[[noreturn]] void pfm_assert_fail(const char *expression, const char *file_stem, int line);
[[noreturn]] void pfm_panic(const char *file_stem, int line);
// Ends the process with code, flushing the message streams.
[[noreturn]] void pfm_exit(int code);

// The stem of a source path ("mf/mf_io.cc" gives "mf_io"), for assertion and panic reports.
const char *pfm_file_stem(const char *path);

#define PFM_ASSERT(expr) \
  ((expr) ? (void)0 : pfm_assert_fail(#expr, pfm_file_stem(__FILE__), __LINE__))
#define PFM_PANIC() pfm_panic(pfm_file_stem(__FILE__), __LINE__)
