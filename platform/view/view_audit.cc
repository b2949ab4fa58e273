// The platform's front door to the audit engine: the view_audit_* calls issue the engine's
// commands (the same commands and payloads as the audit device), so both act on one state.
#include "view/view_audit.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "ks/imsg.h"
#include "vessary/vessary.h"

namespace {

using ctl_fn = uint32_t (*)(uint64_t, void *, uint64_t);

// The engine: the one already in the process (preloaded), else the library beside this one
// (or, for a program that carries this code itself, in the "lib" folder beside its own).
ctl_fn engine() {
  static ctl_fn fn = [] {
    void *p = dlsym(RTLD_DEFAULT, "vessary_ctl");
    if (p) return reinterpret_cast<ctl_fn>(p);
    Dl_info info;
    std::string lib = "libvosselvessary.so";
    void *h = nullptr;
    if (dladdr(reinterpret_cast<void *>(&view_audit_start), &info) && info.dli_fname) {
      std::string self = info.dli_fname;
      if (self.find('/') == std::string::npos) {
        // The main program itself: dladdr names it as it was started.
        char exe[4096];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) self.assign(exe, size_t(n));
      }
      size_t slash = self.rfind('/');
      if (slash != std::string::npos) {
        std::string dir = self.substr(0, slash + 1);
        std::string beside_lib = dir + "../lib/" + lib;
        lib = dir + lib;
        h = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
          h = dlopen(beside_lib.c_str(), RTLD_NOW | RTLD_LOCAL);
          if (h) lib = beside_lib;
        }
      }
    }
    if (!h) h = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
      imsg_print(IMSG_ERROR, "Unable to load the audit engine \"%s\": %s\n", -1, lib.c_str(),
                 dlerror());
      return static_cast<ctl_fn>(nullptr);
    }
    return reinterpret_cast<ctl_fn>(dlsym(h, "vessary_ctl"));
  }();
  return fn;
}

bool engine_used = false;  // engine() was called in this process

// Whether the process may have an audit state: the engine is in use, or the environment hands
// one down (the engine takes its state from there when it starts). Without, the state is empty
// and the engine need not be loaded to say so.
bool may_have_state() {
  return engine_used || getenv(VESSARY_ENV_FILE) || getenv(VESSARY_ENV_BHANDLE) ||
         dlsym(RTLD_DEFAULT, "vessary_ctl");
}

ks_status_t ctl(uint64_t command, void *data, uint64_t len) {
  engine_used = true;
  ctl_fn fn = engine();
  if (!fn) return KS_ST_ERR;
  return static_cast<ks_status_t>(fn(command, data, len));
}

// The audit file the process records into, or empty.
std::string current_file() {
  char buf[4096];
  vessary_pn_desc d{reinterpret_cast<uintptr_t>(buf), 0, sizeof buf};
  if (ctl(VESSARY_CMD_GET_NAME, &d, sizeof d) != KS_ST_OK) return {};
  return buf;
}

}  // namespace

ks_status_t view_audit_start(const char *pathname, uint64_t flags) {
  if (!pathname || !*pathname) return KS_ST_ERR;
  vessary_pn_desc d[2];
  for (auto &x : d) x = {reinterpret_cast<uintptr_t>(pathname), strlen(pathname), strlen(pathname) + 1};
  ks_status_t st = ctl(VESSARY_CMD_START, d, sizeof d);
  if (st != KS_ST_OK) return st;
  return ctl(VESSARY_CMD_SET_FLAGS, &flags, sizeof flags);
}

namespace {

// Stops the audit and converts what it recorded; end_mode is the conversion's mode when the audit
// ends. 0, or the failing step's status.
ks_status_t stop(view_audit_cvt_t end_mode) {
  std::string file = current_file();
  uint64_t ended = 0;
  ks_status_t st = ctl(VESSARY_CMD_STOP_NOCVT, &ended, sizeof ended);
  if (st != KS_ST_OK) return st;
  return view_audit_convert(file.c_str(), ended ? end_mode : VIEW_AUDIT_CVT_STOP);
}

}  // namespace

ks_status_t view_audit_stop() { return stop(VIEW_AUDIT_CVT_END); }

ks_status_t view_audit_stop_kept() { return stop(VIEW_AUDIT_CVT_END_KEEP); }

ks_status_t view_audit_marker(uint32_t n) {
  uint64_t m = n;
  return ctl(VESSARY_CMD_MARKER, &m, sizeof m);
}

ks_status_t view_audit_sync() {
  ks_status_t st = ctl(VESSARY_CMD_SYNC_NOCVT, nullptr, 0);
  if (st != KS_ST_OK) return st;
  return view_audit_convert(current_file().c_str(), VIEW_AUDIT_CVT_SYNC);
}

ks_status_t view_audit_get_state(view_bhandle_t *bhandle, char *path_buf, size_t buf_size,
                                 uint64_t *flags) {
  if (!may_have_state()) {
    if (bhandle) *bhandle = {0, 0};
    if (path_buf && buf_size > 0) path_buf[0] = '\0';
    if (flags) *flags = 0;
    return KS_ST_OK;
  }
  ks_status_t st = KS_ST_OK;
  if (bhandle) {
    unsigned char b[32];
    st = ctl(VESSARY_CMD_GET_BHANDLE, b, sizeof b);
    if (st != KS_ST_OK) return st;
    memcpy(bhandle, b, sizeof *bhandle);
  }
  if (path_buf) {
    vessary_pn_desc d{reinterpret_cast<uintptr_t>(path_buf), 0, buf_size};
    st = ctl(VESSARY_CMD_GET_NAME, &d, sizeof d);
    if (st != KS_ST_OK) return st;
  }
  if (flags) st = ctl(VESSARY_CMD_GET_FLAGS, flags, sizeof *flags);
  return st;
}

ks_status_t view_audit_set_bhandle(view_bhandle_t bhandle, const struct timeval *ref_time) {
  unsigned char b[32] = {};
  memcpy(b, &bhandle, sizeof bhandle);
  if (ref_time) {
    int64_t t[2] = {ref_time->tv_sec, ref_time->tv_usec};
    uint64_t fl = 2;
    memcpy(b + 8, t, sizeof t);
    memcpy(b + 24, &fl, sizeof fl);
  }
  return ctl(VESSARY_CMD_SET_BHANDLE, b, sizeof b);
}

void view_audit_note_stat(const char *pathname, int follow) {
  if (!pathname) return;
  // Only a process with an audit has the engine's state to record into.
  static ctl_fn loaded = nullptr;
  if (!loaded) {
    if (!getenv(VESSARY_ENV_FILE)) return;
    loaded = engine();
    if (!loaded) return;
  }
  vessary_note n{'S', follow ? 0u : 1u, pathname};
  loaded(VESSARY_CMD_NOTE, &n, sizeof n);
}
