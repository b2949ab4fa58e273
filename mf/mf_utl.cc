#include "mf/mf_utl.h"

#include <glob.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ks/list.h"
#include "ks/pfm.h"
#include "mf/mf.h"
#include "mf/mf_stat.h"
#include "tbs/tbs_status.h"
#include "view/view_xstat.h"

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

namespace {
bool shell_commands = true;
}  // namespace

void mf_utl_set_shell_commands(int enabled) { shell_commands = enabled != 0; }

ks_status_t mf_utl_fetch_shcmd_output(const char *command, int32_t *out_status, char **out_text) {
  *out_status = -1;
  *out_text = nullptr;
  if (mf_utl_should_trace("mf_utl", 3)) {
    imsg_print(IMSG_TRACE, &_mf_utl_karsel_msg_table, MF_UTL_MSG_SHELL_CMD, command);
  }
  if (!shell_commands) return KS_ST_OK;
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

void mf_utl_glob_list(list_handle_t list, stg_area_t area) {
  if (list == LIST_HANDLE_NULL) return;
  list_cursor_t c = list_next(list, nullptr, nullptr);
  while (c != nullptr) {
    const char *name = static_cast<const char *>(list_get_data(list, c));
    glob_t g{};
    const int rc = glob(name, 0, nullptr, &g);
    if (rc != 0 || (g.gl_pathc == 1 && std::strcmp(g.gl_pathv[0], name) == 0)) {
      globfree(&g);
      c = list_next(list, c, nullptr);
      continue;
    }
    list_cursor_t at = c;
    for (size_t i = 0; i < g.gl_pathc; ++i) {
      char *word = stg_area_strdup(area, g.gl_pathv[i]);
      if (word == nullptr || list_insert_after(list, at, word) != 0) {
        imsg_print_shared(IMSG_ERROR, "mf/mf_utl", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
        break;
      }
      at = list_next(list, at, nullptr);
    }
    globfree(&g);
    list_remove(list, c);
    c = list_next(list, at, nullptr);
  }
}

int mf_utl_setenv(const char *name, const char *value) {
  char *text = mf_utl_make_putenv_def(name, value);
  if (text == nullptr || putenv(text) != 0) {
    imsg_print(IMSG_ERROR, &_mf_utl_karsel_msg_table, MF_UTL_MSG_PUTENV,
               text != nullptr ? text : name);
    stg_free(text);
    return -1;
  }
  return 0;
}

ks_status_t mf_utl_putenv_var(const char *name, const char *value, int force) {
  if (name == nullptr || *name == '\0') {
    imsg_print(IMSG_ERROR, &_mf_utl_karsel_msg_table, MF_UTL_MSG_NULL_NAME);
    return KS_ST_ERR;
  }
  if ((value == nullptr || *value == '\0') && !force) return KS_ST_OK;
  char *text = mf_utl_make_putenv_def(name, value != nullptr ? value : "");
  if (text == nullptr || putenv(text) != 0) {
    stg_free(text);
    imsg_print_shared(IMSG_ERROR, "mf/mf_utl", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

namespace {

ks_status_t view_stat(const char *pathname, int follow, view_xstat_t *st) {
  if (pathname == nullptr || *pathname == '\0') return KS_ST_NOT_FOUND;
  // Uncached, but through the makefile layer's examinations so that a running audit sees them.
  ks_status_t rc = follow ? mf_stat_view_get_xstat(pathname, st, nullptr, nullptr, 0, nullptr)
                          : mf_stat_view_lget_xstat(pathname, st, nullptr, nullptr, 0, nullptr);
  if (rc == KS_ST_OK) return KS_ST_OK;
  if (rc == KS_ST_NOT_IN_VIEW || rc == KS_ST_NOT_FOUND) return KS_ST_NOT_FOUND;
  imsg_print(IMSG_ERROR, &_mf_utl_karsel_msg_table, MF_UTL_MSG_EXISTENCE, pathname,
             tbs_strerror(rc));
  return KS_ST_ERR;
}

void print_under(int severity, const char *module_name, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  imsg_vprint(severity, module_name, format, ap);
  va_end(ap);
}

void print_pieces(int severity, const char *module_name, const char *text) {
  constexpr size_t kPiece = 16383;
  const size_t len = std::strlen(text);
  for (size_t at = 0; at < len; at += kPiece) {
    const int n = static_cast<int>(len - at < kPiece ? len - at : kPiece);
    if (module_name != nullptr) {
      print_under(severity, module_name, "%.*s", n, text + at);
    } else {
      imsg_print(severity, "%.*s", -1, n, text + at);
    }
  }
}

}  // namespace

ks_status_t mf_utl_obj_exists(const char *pathname) {
  view_xstat_t st{};
  return view_stat(pathname, 0, &st);
}

ks_status_t mf_utl_get_dtm(const char *pathname, int follow_links, time_t *out_time) {
  view_xstat_t st{};
  ks_status_t rc = view_stat(pathname, follow_links, &st);
  if (rc == KS_ST_OK) *out_time = static_cast<time_t>(st.fstat.mtime.sec);
  return rc;
}

char **mf_utl_list_to_parray(list_handle_t list, stg_area_t area) {
  if (list == LIST_HANDLE_NULL || list_is_empty(list)) return nullptr;
  auto **array = static_cast<char **>(stg_calloc(area, sizeof(char *) * (list_length(list) + 1)));
  if (array == nullptr) return nullptr;
  size_t i = 0;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    array[i++] = static_cast<char *>(d);
  return array;
}

list_handle_t mf_utl_cntd_parray_to_list(void **array, size_t count, stg_area_t list_area,
                                         size_t) {
  if (array == nullptr || count == 0) return LIST_HANDLE_NULL;
  list_handle_t list = list_create(list_area, 0);
  if (list == LIST_HANDLE_NULL) {
    imsg_print_shared(IMSG_ERROR, "mf/mf_utl", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return LIST_HANDLE_NULL;
  }
  for (size_t i = 0; i < count; ++i) {
    if (list_append(list, array[i]) != 0) {
      imsg_print_shared(IMSG_ERROR, "mf/mf_utl", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
      return LIST_HANDLE_NULL;
    }
  }
  return list;
}

void mf_utl_imsg_print_bigstr(int severity, const char *text) { print_pieces(severity, nullptr, text); }

void mf_utl_imsg_print_bigstr_nl(int severity, const char *text) {
  print_pieces(severity, nullptr, text);
  imsg_print_shared(severity | 1, "mf/mf_utl", &imsg_common_table, IMSG_COMMON_EMPTY_LINE);
}

void mf_utl_imsg_print_shared_bigstr(int severity, const char *module_name, const char *text) {
  print_pieces(severity, module_name, text);
}

void mf_utl_imsg_print_shared_bigstr_nl(int severity, const char *module_name, const char *text) {
  print_pieces(severity, module_name, text);
  imsg_print_shared(severity | 1, module_name, &imsg_common_table, IMSG_COMMON_EMPTY_LINE);
}

int mf_utl_replace_or_append_macro_value(list_handle_t definitions, const char *binding) {
  const char *eq = std::strchr(binding, '=');
  PFM_ASSERT(eq != NULL);
  std::string name(binding, static_cast<size_t>(eq - binding));
  const bool blank_before_eq = !name.empty() && (name.back() == ' ' || name.back() == '\t');
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
  while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.erase(0, 1);
  int replaced = 0;
  if (!blank_before_eq) {
    const std::string prefix = name + "=";
    void *d = nullptr;
    for (list_cursor_t c = list_next(definitions, nullptr, &d); c != nullptr;
         c = list_next(definitions, c, &d)) {
      if (std::strncmp(static_cast<const char *>(d), prefix.c_str(), prefix.size()) == 0) {
        // The list holds heap copies: the replaced one goes with its element.
        list_remove(definitions, c);
        stg_free(d);
        replaced = 1;
        break;
      }
    }
  }
  char *copy = stg_strdup(binding);
  if (copy == nullptr || list_append(definitions, copy) != 0) {
    imsg_print_shared(IMSG_ERROR, "mf/mf_utl", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    stg_free(copy);
  }
  return replaced;
}

void mf_set_verbosity(uint32_t level) {
  mf_initialize();
  mf_verbosity = static_cast<int32_t>(level);
  const std::string text = std::to_string(level);
  mf_utl_setenv("ZELVANE_BLD_VERBOSITY", text.c_str());
  mf_utl_setenv("ORVA_VERBOSITY", text.c_str());
}

std::string mf_utl_escaped(std::string_view text) {
  static constexpr std::string_view kEscaped = "^;'\"*?[]$<>(){}|&~`\\ \t\r\n\f\v";
  std::string out;
  for (char c : text) {
    if (kEscaped.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

std::vector<std::string> mf_utl_escaped_words(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
      continue;
    }
    if (c == '\\' && i + 1 < text.size()) c = text[++i];
    word += c;
    in_word = true;
  }
  if (in_word) words.push_back(word);
  return words;
}
