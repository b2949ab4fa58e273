#include "ks/imsg.h"

#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char *const common_formats[] = {
    /* 0 */ "%s",
    /* 1 */ "\n",
    /* 2 */ "%s\n",
    /* 3 */ "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    /* 18 */ "Unable to open file \"%s\": %s\n",
    /* 19 */ "Unable to close file \"%s\": %s\n",
    /* 20 */ "", "",
    /* 22 */ "Unable to remove \"%s\": %s\n",
    /* 23 */ "", "",
    /* 25 */ "Operation on \"%s\" failed: %s\n",
    /* 26 */ "", "", "", "", "", "", "", "", "", "", "", "", "",
    /* 39 */ "Unable to allocate memory\n",
    /* 40 */ "Unable to create storage area\n",
    /* 41 */ "Unable to create list\n",
    /* 42 */ "Unable to create hash table\n",
    /* 43 */ "Unable to destroy hash table\n",
    /* 44 */ "Unable to delete storage area\n",
    /* 45 */ "Text does not fit its buffer\n",
    /* 46 */ "Option requires an argument -- '%c'\n",
};
constexpr uint16_t kCommonCount = sizeof common_formats / sizeof common_formats[0];
const uint16_t common_catalog[kCommonCount] = {};

FILE *out_stream = nullptr;
FILE *err_stream = nullptr;
std::string app_name;
bool trace_loaded = false;
int desired_verbosity = 0;
std::string trace_names;  // " name1 name2 ", blank-framed for whole-word search
bool output_enabled = true;
struct timespec last_clock;

FILE *out() { return out_stream ? out_stream : stdout; }
FILE *err() { return err_stream ? err_stream : stderr; }

void load_trace_settings() {
  if (trace_loaded) return;
  trace_loaded = true;
  const char *v = std::getenv("TRACE_VERBOSITY");
  desired_verbosity = v ? std::atoi(v) : 0;
  trace_names = " ";
  if (const char *s = std::getenv("TRACE_SUBSYS")) {
    for (const char *p = s; *p; p++) trace_names += (*p == ',' || *p == '\t') ? ' ' : *p;
  }
  trace_names += ' ';
}

// Writes the n bytes of text to f, turning the emphasis markers (\1\1 "1B" opens, \1\1 "0B"
// closes) into bold on a terminal and dropping them elsewhere.
void put_text(FILE *f, const char *text, size_t n) {
  const char *p = text;
  const char *end = text + n;
  int tty = -1;  // asked of the stream only once a marker turns up
  while (p < end) {
    const char *q = static_cast<const char *>(std::memchr(p, '\1', size_t(end - p)));
    if (q == nullptr) q = end;
    std::fwrite(p, 1, size_t(q - p), f);
    p = q;
    if (p == end) break;
    if (end - p >= 4 && p[1] == '\1' && (p[2] == '1' || p[2] == '0') && p[3] == 'B') {
      if (tty < 0) tty = isatty(fileno(f));
      if (tty) std::fputs(p[2] == '1' ? "\033[1m" : "\033[0m", f);
      p += 4;
    } else {
      std::fputc('\1', f);  // a lone \1 that is no marker
      p++;
    }
  }
}

// The text of one message: either an argument passed through unformatted or the formatted text
// in a buffer that is kept, at the size of the largest message so far, for the next message.
class Text {
 public:
  Text(const char *format, va_list ap) {
    if (std::strcmp(format, "%s") == 0) {
      const char *arg = va_arg(ap, const char *);
      set(arg ? arg : "(null)");
      return;
    }
    print(format, ap);
  }
  ~Text() {
    if (held_) release();
  }
  Text(const Text &) = delete;
  Text &operator=(const Text &) = delete;
  const char *data() const { return data_; }
  size_t size() const { return size_; }

 private:
  static constexpr size_t kStart = 1024;
  static constexpr size_t kKeep = size_t(1) << 20;  // a larger buffer is not kept
  void set(const char *s) {
    data_ = s;
    size_ = std::strlen(s);
  }
  // Formats into a buffer. Out of line, as release: the text that passes through unformatted
  // (the printout of a makefile) does not map their code.
  [[gnu::noinline]] void print(const char *format, va_list ap) {
    std::string &buf = busy_ ? own_ : shared_;
    if (!busy_) held_ = busy_ = true;
    if (buf.size() < kStart) buf.resize(kStart);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(buf.data(), buf.size(), format, copy);
    va_end(copy);
    if (n < 0) {
      set("");
      return;
    }
    if (size_t(n) >= buf.size()) {
      buf.resize(size_t(n) + 1);
      std::vsnprintf(buf.data(), buf.size(), format, ap);
    }
    data_ = buf.data();
    size_ = std::strlen(data_);  // the text ends at its first NUL, as a C string does
  }
  [[gnu::noinline]] void release() {
    busy_ = false;
    if (shared_.size() > kKeep) std::string().swap(shared_);
  }
  static inline std::string shared_;
  static inline bool busy_ = false;  // the shared buffer holds a message being printed
  std::string own_;
  bool held_ = false;
  const char *data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace

extern "C" const char *__progname;

const imsg_msg_table_t imsg_common_table = {
    "karsel_bin", "ks", 0, kCommonCount, common_formats, common_catalog,
};

void imsg_vprint(int severity, const char *module_name, const char *format, va_list ap) {
  if (!output_enabled) return;
  Text text(format, ap);
  if (severity <= IMSG_INFO_CONT) {
    put_text(out(), text.data(), text.size());
    std::fflush(out());
    return;
  }
  std::fflush(out());
  FILE *f = err();
  if (severity % 2 == 0) {
    const char *app = imsg_get_app_name();
    switch (severity) {
      case IMSG_WARNING: std::fprintf(f, "%s: Warning: ", app); break;
      case IMSG_ERROR: std::fprintf(f, "%s: Error: ", app); break;
      default: std::fprintf(f, "%s: %s: ", app, module_name ? module_name : "?"); break;
    }
  }
  put_text(f, text.data(), text.size());
  std::fflush(f);
}

namespace {

// The format of row of table ("%s" for a row it does not have).
const char *row_format(const imsg_msg_table_t *table, int row) {
  return (row >= 0 && row < table->count) ? table->formats[row] : "%s";
}

}  // namespace

void imsg_print(int severity, const imsg_msg_table_t *table, int row, ...) {
  va_list ap;
  va_start(ap, row);
  imsg_vprint(severity, table->module_name, row_format(table, row), ap);
  va_end(ap);
}

void imsg_print(int severity, const char *format, int row, ...) {
  va_list ap;
  va_start(ap, row);
  imsg_vprint(severity, nullptr, format, ap);
  va_end(ap);
}

void imsg_print_cold(int severity, const imsg_msg_table_t *table, int row, ...) {
  va_list ap;
  va_start(ap, row);
  imsg_vprint(severity, table->module_name, row_format(table, row), ap);
  va_end(ap);
}

void imsg_print_cold(int severity, const char *format, int row, ...) {
  va_list ap;
  va_start(ap, row);
  imsg_vprint(severity, nullptr, format, ap);
  va_end(ap);
}

void imsg_print_shared(int severity, const char *module_name, const imsg_msg_table_t *table,
                       int row, ...) {
  va_list ap;
  va_start(ap, row);
  imsg_vprint(severity, module_name, row_format(table, row), ap);
  va_end(ap);
}

int imsg_sprintf(char *buf, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(buf, 1024, format, ap);
  va_end(ap);
  return n;
}

void imsg_set_app_name(const char *name) { app_name = name ? name : ""; }

const char *imsg_get_app_name() { return app_name.empty() ? __progname : app_name.c_str(); }

int imsg_get_desired_verbosity() {
  load_trace_settings();
  return desired_verbosity;
}

void imsg_set_desired_verbosity(int level) {
  load_trace_settings();
  desired_verbosity = level;
}

int imsg_should_trace(const char *name, int level) {
  load_trace_settings();
  if (level > desired_verbosity || name == nullptr) return 0;
  if (trace_names.find(" all ") != std::string::npos) return 1;
  return trace_names.find(" " + std::string(name) + " ") != std::string::npos;
}

const char *imsg_strerror(int error_number) { return std::strerror(error_number); }

void imsg_reset_trace_settings() { trace_loaded = false; }

void imsg_set_streams(FILE *o, FILE *e) {
  out_stream = o;
  err_stream = e;
}

void imsg_clock() { clock_gettime(CLOCK_MONOTONIC, &last_clock); }

int imsg_in_gui() {
  const char *v = std::getenv("IMSG_IN_GUI");
  return v != nullptr && *v != '\0';
}

int imsg_set_output_enabled(int enabled) {
  const int was = output_enabled ? 1 : 0;
  output_enabled = enabled != 0;
  return was;
}
