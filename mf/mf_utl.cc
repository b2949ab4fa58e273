#include "mf/mf_utl.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ks/pfm.h"
#include "mf/mf.h"
#include "mf/mf_stat.h"
#include "tbs/tbs_status.h"

KS_DEFINE_VERID(libvosselbuild)

namespace {

const char *const mf_utl_formats[] = {
    "%s",
    "Unable to check existence of \"%s\" - %s\n",
    "Shell Command is : %s\n",
    "Cmd exit status = %d, errno = %d\n",
    "Unable to putenv \"%s\"\n",
    "Null macro name - unable to putenv\n",
};
const uint16_t mf_utl_catalog[] = {0, 1, 2, 3, 4, 5};

constexpr size_t kChunk = 8192;

}  // namespace

const imsg_msg_table_t _mf_utl_karsel_msg_table = {
    "karsel_bin", "mf/mf_utl", 310, sizeof mf_utl_formats / sizeof mf_utl_formats[0],
    mf_utl_formats, mf_utl_catalog,
};

int32_t mf_verbosity = 0;
int32_t mf_initialized = 0;

int mf_initialize() {
  if (mf_initialized) return 1;
  mf_initialized = 1;
  const char *v = mf_getenv("ORVA_VERBOSITY");
  if (v == nullptr) v = mf_getenv("ZELVANE_BLD_VERBOSITY");
  if (v != nullptr) mf_verbosity = int32_t(std::strtol(v, nullptr, 10));
  return 1;
}

bool mf_utl_should_trace(const char *name, int level) {
  if (mf_verbosity >= level) return true;
  return imsg_get_desired_verbosity() >= level && imsg_should_trace(name, level);
}

ks_status_t mf_utl_fetch_shcmd_output(const char *command, int32_t *out_status, char **out_text) {
  *out_status = -1;
  *out_text = nullptr;
  if (mf_utl_should_trace("mf_utl", 3)) {
    imsg_print(IMSG_TRACE, &_mf_utl_karsel_msg_table, MF_UTL_MSG_SHELL_CMD, command);
  }
  sigset_t block, saved;
  sigemptyset(&block);
  sigaddset(&block, SIGCHLD);
  sigprocmask(SIG_BLOCK, &block, &saved);
  std::fflush(nullptr);  // the child must not repeat buffered output
  FILE *pipe = popen(command, "r");
  if (pipe == nullptr) {
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    return KS_ST_OK;
  }

  size_t capacity = kChunk;
  size_t length = 0;
  char *text = static_cast<char *>(stg_malloc(capacity));
  bool line_open = false;  // the last chunk did not end its line
  char chunk[kChunk];
  ks_status_t status = KS_ST_OK;
  if (text == nullptr) status = KS_ST_ERR;
  while (status == KS_ST_OK && std::fgets(chunk, sizeof chunk, pipe) != nullptr) {
    size_t n = std::strlen(chunk);
    bool ends_line = n > 0 && chunk[n - 1] == '\n';
    while (n > 0 && chunk[n - 1] == '\n') n--;
    bool blank = !line_open && length > 0;
    if (length + n + 2 > capacity) {
      size_t grown = capacity;
      while (length + n + 2 > grown) grown *= 2;
      char *bigger = static_cast<char *>(stg_malloc(grown));
      if (bigger == nullptr) {
        status = KS_ST_ERR;
        break;
      }
      std::memcpy(bigger, text, length);
      stg_free(text);
      text = bigger;
      capacity = grown;
    }
    if (blank) text[length++] = ' ';
    std::memcpy(text + length, chunk, n);
    length += n;
    line_open = !ends_line;
  }
  if (status != KS_ST_OK) {
    stg_free(text);
    pclose(pipe);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    imsg_print_shared(IMSG_ERROR, "mf/mf_utl", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  text[length] = '\0';
  int wait_status = pclose(pipe);
  int saved_errno = errno;
  pfm_inhibit();
  *out_text = text;
  *out_status = wait_status;
  pfm_enable();
  if (mf_utl_should_trace("mf_utl", 3)) {
    imsg_print(IMSG_TRACE, &_mf_utl_karsel_msg_table, MF_UTL_MSG_CMD_STATUS, wait_status,
               saved_errno);
  }
  sigprocmask(SIG_SETMASK, &saved, nullptr);
  return KS_ST_OK;
}

int32_t mf_utl_decode_cmd_status(int32_t wait_status) {
  if (wait_status == -1) return -1;
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return wait_status;
}

char *mf_utl_area_putenv_def(const char *name, const char *value, stg_area_t area) {
  size_t n = std::strlen(name);
  size_t v = value ? std::strlen(value) : 0;
  char *text = static_cast<char *>(stg_alloc(area, n + v + 2));
  if (text == nullptr) return nullptr;
  std::memcpy(text, name, n);
  text[n] = '=';
  if (v) std::memcpy(text + n + 1, value, v);
  text[n + 1 + v] = '\0';
  return text;
}

char *mf_utl_make_putenv_def(const char *name, const char *value) {
  return mf_utl_area_putenv_def(name, value, STG_AREA_HEAP);
}

namespace {

// The view's answer for pathname, with the statuses of the existence queries.
ks_status_t utl_xstat(const char *pathname, bool follow, view_xstat_t *vstat) {
  if (pathname == nullptr || *pathname == '\0') return KS_ST_NOT_FOUND;
  ks_status_t st = follow ? mf_stat_view_get_xstat(pathname, vstat, nullptr, nullptr, 0, nullptr)
                          : mf_stat_view_lget_xstat(pathname, vstat, nullptr, nullptr, 0, nullptr);
  if (st == KS_ST_OK) return KS_ST_OK;
  if (st == KS_ST_NOT_IN_VIEW || st == KS_ST_NOT_FOUND) return KS_ST_NOT_FOUND;
  imsg_print(IMSG_ERROR, &_mf_utl_karsel_msg_table, MF_UTL_MSG_EXISTENCE, pathname,
             tbs_strerror(st));
  return KS_ST_ERR;
}

}  // namespace

ks_status_t mf_utl_obj_exists(const char *pathname) {
  view_xstat_t vstat;
  return utl_xstat(pathname, false, &vstat);
}

ks_status_t mf_utl_get_dtm(const char *pathname, int follow_links, time_t *out_time) {
  view_xstat_t vstat;
  ks_status_t st = utl_xstat(pathname, follow_links != 0, &vstat);
  if (st == KS_ST_OK) *out_time = time_t(vstat.fstat.mtime.sec);
  return st;
}
