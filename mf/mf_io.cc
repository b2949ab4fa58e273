#include "mf/mf_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "cm/cr_utl.h"
#include "ks/ks_status.h"
#include "ks/pfm.h"
#include "ks/stg.h"
#include "mf/bldr_macro.h"
#include "mf/mf_cond.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"

namespace {

// Defines MAKEFILE to the name of a file just opened, in the parser's macro table.
void mf_io_define_makefile_macro(const char *name) {
  if (mfc_parser_macro_table != nullptr &&
      bldr_macro_define(mfc_parser_macro_table, "MAKEFILE", name, 0) != KS_ST_OK)
    mf_parser_failed = 1;
}

const char *const mf_io_formats[] = {
    /* 0 */ "No description files specified\n",
    /* 1 */ "File \"%s\", line %d\n",
    /* 2 */ "New I/O buffer - %lu not large enough\n",
    /* 3 */ "Processing description file \"%s\"\n",
    /* 4 */ "Length of line exceeds internal limit\n",
    /* 5 */ "Text of line was: %s",
    /* 6 */ "'else' directive without prior 'if'\n",
    /* 7 */ "'endif' directive without prior 'if'\n",
    /* 8 */ "Conditionals nested too deeply. Maximum is %d\n",
    /* 9 */ "Illegal include file syntax \"%s\"\n",
    /* 10 */ "Include files nested too deeply. Maximum is %d: \"%s\"\n",
    /* 11 */ "Unable to open include file \"%s\": %s\n",
    /* 12 */ "Conditional not terminated before the end of the file\n",
    /* 13 */ "Invalid multibyte character: %s\n",
    /* 14 */ "Invalid wide char: %c\n",
    /* 15 */ "NUL character in makefile ignored\n",
};
constexpr uint16_t kFormatCount = sizeof mf_io_formats / sizeof mf_io_formats[0];
const uint16_t mf_io_catalog[kFormatCount] = {};

const char kModule[] = "mf/mf_io";
constexpr size_t kPushbackStart = 1024;
constexpr size_t kAreaBlock = 32000;
// Lines whose end column is remembered for push-back across line breaks; beyond this only the
// line number is restored exactly.
constexpr size_t kPositionHistory = 4096;

// The current position and the end columns of the lines before it, so that pushing text back
// across line breaks restores line, column and previous column exactly.
struct spos_state {
  int32_t line = 1;
  int32_t col = 0;
  std::vector<int32_t> prev_cols;  // end column of each line left, most recent last
};

// A pushed-back byte stack on the heap; the byte read next is buf[top - 1]. The marked part is
// [mark_lo, mark_hi): a push lowers mark_hi to the depth it writes at, so the part of the mark
// still unread is [mark_lo, min(mark_hi, top)).
struct pushback {
  char *buf = nullptr;
  size_t top = 0;
  size_t cap = 0;
  size_t mark_lo = 0;
  size_t mark_hi = 0;
};

// The state of a file in the file list, kept while it is suspended or not yet opened.
struct file_info {
  FILE *stream = nullptr;  // suspended open file of an includer
  pushback saved_pb;
  int64_t bytes_read = 0;
  spos_state spos;
  int32_t has_saved_pushback = 0;
  int32_t is_open = 0;
  int32_t define_makefile = 0;
  int32_t record = 0;
};

struct file_entry {
  const char *name;  // copy in the layer's area
  file_info info;
};

// Module state of the one active layer.
struct io_state {
  stg_area_t area = STG_AREA_NULL;
  pushback pb;
  FILE *stream = nullptr;
  bool stream_at_end = false;
  int64_t bytes_read = 0;
  int32_t open_file_count = 0;
  int32_t returned_eof_newline = 0;
  int32_t returned_eof = 0;
  spos_state spos;
  std::deque<file_entry> files;  // front: the file being read
  list_handle_t inc_dirs = LIST_HANDLE_NULL;
  list_handle_t goals = LIST_HANDLE_NULL;
  int32_t flavor = 0;
  int32_t prev_line_continued = 0;
  bool include_just_opened = false;  // an include file is open and nothing of it was read yet
  int32_t define_depth = 0;  // flavour 3: inside a define body, whose lines are text
  std::vector<const char *> cond_source_files;  // file in which each open conditional began
  bool cond_level_exhausted[MF_IO_MAX_COND_NEST + 1] = {};
};

io_state io;
// Bytes read or pushed back so far (see mf_io_change_count).
uint64_t change_count = 0;
// Bytes read from files so far (see mf_io_stream_bytes).
uint64_t stream_bytes = 0;
// Whether the last mf_io_get_wc met an invalid multibyte sequence.
bool invalid_mb_read = false;
// MB_CUR_MAX of the locale the layer was started in.
size_t mb_max = 1;

// Whether every byte 1-127 is a character of its own, of the same code, both ways: true in
// UTF-8 and the other common multibyte locales, where those bytes can then skip conversion.
bool ascii_is_plain() {
  for (int b = 1; b < 0x80; b++) {
    char in = char(b);
    wchar_t wc = 0;
    std::mbstate_t st{};
    if (std::mbrtowc(&wc, &in, 1, &st) != 1 || wc != wchar_t(b)) return false;
    char out[MB_LEN_MAX];
    st = std::mbstate_t{};
    if (std::wcrtomb(out, wchar_t(b), &st) != 1 || out[0] != in) return false;
  }
  return true;
}

bool trace_on(int level) { return mf_utl_should_trace(kModule, level); }

void publish_position() {
  // Text pushed in front of the input that was never read from a file ($(eval) of several lines
  // early in a file) moves the line back past the file's start while it is read again; messages
  // about it then name the file's first line rather than a line that does not exist.
  mf_io_source_line = io.spos.line >= 0 ? io.spos.line : 1;
  mf_io_source_col = io.spos.col;
  mf_io_source_prev_col = io.spos.prev_cols.empty() ? 0 : io.spos.prev_cols.back();
}

void reset_position(spos_state &s) {
  s.line = 1;
  s.col = 0;
  s.prev_cols.clear();
}

void advance(int c) {
  if (c != '\n') {
    io.spos.col++;
    mf_io_source_col = io.spos.col;
    return;
  }
  io.spos.col++;
  if (io.spos.prev_cols.size() >= kPositionHistory)
    io.spos.prev_cols.erase(io.spos.prev_cols.begin(),
                            io.spos.prev_cols.begin() + kPositionHistory / 4);
  io.spos.prev_cols.push_back(io.spos.col);
  io.spos.line++;
  io.spos.col = 0;
  publish_position();
}

void retreat(int c) {
  if (c != '\n') {
    if (io.spos.col > 0) io.spos.col--;
    mf_io_source_col = io.spos.col;
    return;
  }
  io.spos.line--;
  if (io.spos.prev_cols.empty()) {
    io.spos.col = 0;
  } else {
    io.spos.col = io.spos.prev_cols.back() > 0 ? io.spos.prev_cols.back() - 1 : 0;
    io.spos.prev_cols.pop_back();
  }
  publish_position();
}

char *new_pushback_buffer(size_t cap) {
  auto *buf = static_cast<char *>(stg_malloc(cap));
  if (buf == nullptr) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    PFM_PANIC();
  }
  return buf;
}

// Makes room on the push-back stack for need more bytes: the stack doubles as it grows, so a long
// push-back stays linear. Its bytes move to offset at in the new storage (0, or the room left
// below them for bytes put underneath).
void grow_pushback(size_t need, size_t at) {
  if (io.pb.top + need <= io.pb.cap && at == 0) return;
  size_t cap = io.pb.cap < kPushbackStart ? kPushbackStart : io.pb.cap;
  while (cap < io.pb.top + need) cap *= 2;
  if (cap == io.pb.cap) {
    if (at > 0 && io.pb.top > 0) std::memmove(io.pb.buf + at, io.pb.buf, io.pb.top);
    return;
  }
  if (trace_on(4))
    imsg_print_cold(IMSG_TRACE, &_mf_io_karsel_msg_table, MF_IO_MSG_NEW_BUFFER,
                    static_cast<unsigned long>(io.pb.cap));
  char *bigger = new_pushback_buffer(cap);
  if (io.pb.top > 0) std::memcpy(bigger + at, io.pb.buf, io.pb.top);
  stg_free(io.pb.buf);
  io.pb.buf = bigger;
  io.pb.cap = cap;
}

void close_stream(FILE *f, const char *name, int severity) {
  if (f == nullptr) return;
  if (std::fclose(f) != 0) {
    int e = errno;
    imsg_print_shared(severity, kModule, &imsg_common_table, IMSG_COMMON_CLOSE_FAILED,
                      name ? name : "", imsg_strerror(e));
  }
  io.open_file_count--;
}

// Opens name for reading; a directory fails with EISDIR. Null with errno set on failure.
FILE *open_for_reading(const char *name) {
  int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return nullptr;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return nullptr;
  }
  FILE *f = ::fdopen(fd, "r");
  if (f == nullptr) {
    int e = errno;
    ::close(fd);
    errno = e;
  }
  return f;
}

// What is done for a file just opened: MAKEFILE and the makefiles list, as its record asks.
void note_opened(const char *name, const file_info &info, bool announce) {
  io.open_file_count++;
  if (info.define_makefile) mf_io_define_makefile_macro(name);
  if (info.record || info.define_makefile) mfc_require_file_in_makefiles_list(name);
  if (announce && trace_on(2))
    imsg_print_cold(IMSG_TRACE, &_mf_io_karsel_msg_table, MF_IO_MSG_PROCESSING, name);
}

// One byte of the current stream, or EOF. A NUL byte is reported and skipped: it would otherwise
// read as the end of all input and silently drop the rest of the makefiles.
int read_stream_byte() {
  if (io.stream == nullptr || io.stream_at_end) return EOF;
  for (;;) {
    int c = getc_unlocked(io.stream);
    if (c == EOF) {
      io.stream_at_end = true;
      return EOF;
    }
    io.bytes_read++;
    stream_bytes++;
    if (c != 0) return c;
    mf_io_print_position(IMSG_ERROR);
    imsg_print_cold(IMSG_ERROR_CONT, &_mf_io_karsel_msg_table, MF_IO_MSG_NUL_BYTE);
    mf_parser_failed = 1;
  }
}

// Appends one physical line (up to and including its newline) of the current stream to text.
// False when the stream had nothing more.
bool read_physical_line(std::string &text) {
  size_t start = text.size();
  for (;;) {
    int c = read_stream_byte();
    if (c == EOF) break;
    text.push_back(char(c));
    if (c == '\n') break;
  }
  return text.size() > start;
}

// Appends to text the bytes that f holds in its buffer, up to and including a newline and
// stopping in front of a NUL, and takes them from the stream: the number taken, 0 when the
// buffer is empty or starts with a NUL (or where the buffer cannot be seen).
size_t take_buffered_run(FILE *f, std::string &text) {
#ifdef __GLIBC__
  const char *have = f->_IO_read_ptr;
  if (have == nullptr || f->_IO_read_end <= have) return 0;
  const size_t avail = static_cast<size_t>(f->_IO_read_end - have);
  const void *newline = std::memchr(have, '\n', avail);
  size_t run = newline != nullptr ? static_cast<size_t>(static_cast<const char *>(newline) - have) + 1
                                  : avail;
  if (const void *nul = std::memchr(have, 0, run); nul != nullptr)
    run = static_cast<size_t>(static_cast<const char *>(nul) - have);
  text.append(have, run);
  f->_IO_read_ptr += run;
  return run;
#else
  (void)f;
  (void)text;
  return 0;
#endif
}

// As read_physical_line, but stops in front of a NUL byte, which stays in the stream to be met
// (and reported) when the reading gets there.
bool read_line_up_to_nul(std::string &text) {
  if (io.stream == nullptr || io.stream_at_end) return false;
  size_t start = text.size();
  for (;;) {
    // The bytes the stream holds already are taken a run at a time, up to a newline or a NUL;
    // the stream refills, and a NUL is met, byte by byte below.
    if (const size_t run = take_buffered_run(io.stream, text); run > 0) {
      io.bytes_read += run;
      stream_bytes += run;
      if (text.back() == '\n') break;
    }
    int c = getc_unlocked(io.stream);
    if (c == EOF) {
      io.stream_at_end = true;
      break;
    }
    if (c == 0) {
      if (text.size() == start) {
        // The NUL is first: read it (and what follows) the ordinary way.
        ungetc(c, io.stream);
        c = read_stream_byte();
        if (c == EOF) break;
        text.push_back(char(c));
        if (c == '\n') break;
        continue;
      }
      ungetc(c, io.stream);
      break;
    }
    io.bytes_read++;
    stream_bytes++;
    text.push_back(char(c));
    if (c == '\n') break;
  }
  return text.size() > start;
}

// Puts the next physical line of the current stream (up to and including its newline) onto the
// empty push-back stack, to be read next; the position moves as its bytes are read. False when
// the stream had nothing more.
bool load_physical_line() {
  PFM_ASSERT(io.pb.top == 0);
  thread_local std::string line;
  line.clear();
  if (!read_line_up_to_nul(line)) return false;
  grow_pushback(line.size(), 0);
  const size_t n = line.size();
  for (size_t i = 0; i < n; i++) io.pb.buf[i] = line[n - 1 - i];
  io.pb.top = n;
  io.pb.mark_hi = 0;
  change_count++;
  return true;
}

// Whether a physical line ending in a newline continues on the next line: its first non-blank
// is not '#', and it ends in an unescaped backslash followed only by blanks, TABs and newlines.
bool line_continues(const std::string &text) {
  if (text.empty() || text.back() != '\n') return false;
  size_t i = text.find_first_not_of(" \t");
  if (i != std::string::npos && text[i] == '#') return false;
  bool mark = false;
  std::mbstate_t st{};
  for (size_t p = 0; p < text.size();) {
    size_t len = 1;
    const bool plain = mf_io_ascii_is_plain && static_cast<unsigned char>(text[p]) < 0x80;
    if (mf_io_mb_is_allowed && !plain) {
      wchar_t wc;
      size_t r = std::mbrtowc(&wc, text.data() + p, text.size() - p, &st);
      if (r == size_t(-1) || r == size_t(-2)) {
        st = std::mbstate_t{};
      } else if (r > 1) {
        len = r;
      }
    }
    char c = len == 1 ? text[p] : 'x';
    if (!mark) {
      if (c == '\\') mark = true;
    } else if (c != ' ' && c != '\t' && c != '\n') {
      mark = false;
    }
    p += len;
  }
  return mark;
}

// Whether the text ends in a backslash directly before its final newline, that backslash not
// itself escaped.
bool ends_in_continuation(const std::string &text) {
  size_t n = text.size();
  if (n < 2 || text[n - 1] != '\n' || text[n - 2] != '\\') return false;
  return n < 3 || text[n - 3] != '\\';
}

bool piece_is_blank(const std::string &text, size_t from) {
  for (size_t i = from; i < text.size(); i++)
    if (text[i] != ' ' && text[i] != '\t' && text[i] != '\n' && text[i] != '\r') return false;
  return true;
}

// Whether text, after blanks and TABs, starts with word followed by a blank, TAB, '#', newline
// or the end; *after receives the offset behind the word.
bool starts_with_word(const std::string &text, size_t from, const char *word, size_t *after) {
  size_t i = text.find_first_not_of(" \t", from);
  if (i == std::string::npos) return false;
  size_t n = std::strlen(word);
  if (text.compare(i, n, word) != 0) return false;
  char next = i + n < text.size() ? text[i + n] : '\0';
  if (next != '\0' && next != ' ' && next != '\t' && next != '\n' && next != '#' && next != '\r')
    return false;
  *after = i + n;
  return true;
}

// A GNU line that opens a define body: "define", possibly after "override", "export" or
// "private".
bool opens_define_body(const std::string &text) {
  size_t at = 0, after = 0;
  for (;;) {
    if (starts_with_word(text, at, "define", &after)) return true;
    if (starts_with_word(text, at, "override", &after) ||
        starts_with_word(text, at, "export", &after) ||
        starts_with_word(text, at, "private", &after)) {
      at = after;
      continue;
    }
    return false;
  }
}

bool closes_define_body(const std::string &text) {
  size_t after = 0;
  return starts_with_word(text, 0, "endef", &after);
}

int count_in_file_list(const char *name) {
  int n = 0;
  for (const auto &e : io.files)
    if (std::strcmp(e.name, name) == 0) n++;
  return n;
}

// Applies a conditional line's result code to the branch state. Returns what becomes of the
// line: 0 skip, 1 deliver, 2 drop the rest of the file.
enum { LINE_SKIP, LINE_DELIVER, LINE_DROP_FILE };

int apply_cond_result(int code, const std::string &text) {
  int32_t &n = mf_io_nest_level;
  int32_t &s = mf_io_dont_scan;
  int32_t &r = mf_io_restart_scan;
  auto stray = [&](int row) {
    mf_io_print_position(IMSG_WARNING);
    imsg_print_cold(IMSG_WARNING_CONT, &_mf_io_karsel_msg_table, row);
    imsg_print_cold(IMSG_WARNING_CONT, &_mf_io_karsel_msg_table, MF_IO_MSG_LINE_TEXT, text.c_str());
  };
  switch (code) {
    case MF_COND_NOT_COND:
      return s ? LINE_SKIP : LINE_DELIVER;
    case MF_COND_MALFORMED:
      return LINE_DROP_FILE;
    case MF_COND_OPEN_TRUE:
    case MF_COND_OPEN_FALSE: {
      if (n >= MF_IO_MAX_COND_NEST) {
        mf_io_print_position(IMSG_ERROR);
        imsg_print_cold(IMSG_ERROR_CONT, &_mf_io_karsel_msg_table, MF_IO_MSG_NESTED_TOO_DEEPLY,
                        MF_IO_MAX_COND_NEST);
        mf_parser_failed = 1;
        return LINE_DROP_FILE;
      }
      const char *copy = stg_area_strdup(io.area, mf_io_source_file ? mf_io_source_file : "");
      if (copy == nullptr) {
        imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
        mf_parser_failed = 1;
        return LINE_DROP_FILE;
      }
      io.cond_source_files.push_back(copy);
      n++;
      io.cond_level_exhausted[n] = false;
      if (code == MF_COND_OPEN_TRUE) {
        if (!s) r = n;
      } else {
        s = 1;
      }
      return LINE_SKIP;
    }
    case MF_COND_ELSE_TRUE:
      // A stray else changes nothing: applying it would skip the rest of the input.
      if (n == 0) {
        stray(MF_IO_MSG_ELSE_WITHOUT_IF);
        return LINE_SKIP;
      }
      if (!s) {
        r = n - 1;
        s = 1;
        io.cond_level_exhausted[n] = true;
      } else if (!io.cond_level_exhausted[n] && r == n - 1) {
        r = n;
        s = 0;
      }
      return LINE_SKIP;
    case MF_COND_ELSE_FALSE:
      if (n == 0) {
        stray(MF_IO_MSG_ELSE_WITHOUT_IF);
        return LINE_SKIP;
      }
      if (!s) {
        s = 1;
        r = n - 1;
        io.cond_level_exhausted[n] = true;
      }
      return LINE_SKIP;
    case MF_COND_ENDIF:
      if (n == 0) {
        stray(MF_IO_MSG_ENDIF_WITHOUT_IF);
        return LINE_SKIP;
      }
      if (!io.cond_source_files.empty()) io.cond_source_files.pop_back();
      n--;
      if (!s) {
        r--;
      } else if (r == n) {
        s = 0;
      }
      return LINE_SKIP;
    default:
      return LINE_DROP_FILE;
  }
}

// Moves the position over the physical lines of a skipped or consumed text.
void pass_over_lines(int physical_lines) {
  for (int i = 0; i < physical_lines; i++) advance('\n');
}

enum line_mode_result { LM_DELIVERED, LM_END_OF_FILE, LM_STOP };

// At the end of a stream in line mode: a conditional still open that began in this file (and
// not in an outer inclusion of the same file) fails the parse and ends the input.
line_mode_result line_mode_stream_end() {
  if (mf_io_nest_level > 0 && !io.cond_source_files.empty() && mf_io_source_file != nullptr &&
      std::strcmp(io.cond_source_files.back(), mf_io_source_file) == 0 &&
      count_in_file_list(mf_io_source_file) <= 1) {
    mf_parser_failed = 1;
    mf_io_print_position(IMSG_ERROR);
    imsg_print_cold(IMSG_ERROR_CONT, &_mf_io_karsel_msg_table, MF_IO_MSG_UNTERMINATED_COND);
    io.returned_eof = 1;
    return LM_STOP;
  }
  return LM_END_OF_FILE;
}

// Reads lines of the current stream until one is to be delivered (it is then on the push-back
// stack), the stream ends, or the input is to stop. Kept out of mf_io_input: the dialects
// without conditionals read whole physical lines and never map its code.
[[gnu::noinline]] line_mode_result line_mode_read() {
  for (;;) {
    if (io.stream == nullptr || io.stream_at_end) return line_mode_stream_end();
    std::string text;
    if (!read_physical_line(text)) return line_mode_stream_end();
    int physical_lines = 1;
    if (io.flavor == 1 || io.flavor == 3) {
      while (line_continues(text) && !io.stream_at_end) {
        size_t start = text.size();
        if (!read_physical_line(text)) break;
        physical_lines++;
        io.prev_line_continued = 1;
        if (io.flavor == 3 && piece_is_blank(text, start)) break;
      }
    }

    int what;
    // The lines of a define body are text, even where they look like conditionals.
    if (io.flavor == 3 && io.define_depth > 0) {
      if (closes_define_body(text))
        io.define_depth--;
      else if (opens_define_body(text))
        io.define_depth++;
      what = mf_io_dont_scan ? LINE_SKIP : LINE_DELIVER;
    } else if (io.prev_line_continued &&
        mf_cond_line_is_cond(text.c_str(), io.flavor, nullptr) == MF_COND_KW_NONE) {
      what = mf_io_dont_scan ? LINE_SKIP : LINE_DELIVER;
      if (io.flavor == 3 && opens_define_body(text)) io.define_depth = 1;
    } else {
      if (io.prev_line_continued) {
        int changed = 0;
        char *canon = nullptr;
        cr_utl_canonicalize_line(text.c_str(), 1, 1, &changed, &canon);
        if (changed && canon != nullptr) text = canon;
        stg_free(canon);
        io.prev_line_continued = 0;
      }
      int evaluate = io.flavor == 3 ? !mf_io_dont_scan : 1;
      int at_resume = mf_io_nest_level - 1 == mf_io_restart_scan;
      int code = MF_COND_NOT_COND;
      mf_cond_eval_line(text.c_str(), io.flavor, io.goals, &code, evaluate, at_resume);
      what = apply_cond_result(code, text);
      if (io.flavor == 3 && code == MF_COND_NOT_COND && opens_define_body(text))
        io.define_depth = 1;
    }

    bool at_end = io.stream_at_end;
    if (what == LINE_DROP_FILE) {
      io.stream_at_end = true;
      io.prev_line_continued = 0;
      return LM_END_OF_FILE;
    }
    io.prev_line_continued =
        ends_in_continuation(text) && !(io.flavor == 3 && at_end) ? 1 : 0;
    if (what == LINE_SKIP) {
      pass_over_lines(physical_lines);
      continue;
    }
    mf_io_set_spos_for_string_get(text.c_str());
    mf_io_push_counted_str(text.data(), text.size());
    if (mf_io_nest_level > 0 && mf_parser_failed) {
      mf_io_print_position(IMSG_ERROR);
      return LM_STOP;
    }
    return LM_DELIVERED;
  }
}

// Makes the new head of the file list the file being read. 0, or 1001 when it cannot be
// opened (reported, parse marked failed).
int resume_head() {
  file_entry &head = io.files.front();
  file_info &info = head.info;
  io.bytes_read = info.bytes_read;
  io.spos = std::move(info.spos);
  mf_io_source_file = head.name;
  publish_position();
  io.stream_at_end = false;
  if (info.is_open && info.stream != nullptr) {
    io.stream = info.stream;
    info.stream = nullptr;
    info.is_open = 0;
  } else {
    io.stream = open_for_reading(head.name);
    if (io.stream == nullptr) {
      int e = errno;
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_OPEN_FAILED,
                        head.name, imsg_strerror(e));
      mf_parser_failed = 1;
      return KS_ST_ERR;
    }
    note_opened(head.name, info, !info.has_saved_pushback);
  }
  if (info.has_saved_pushback) {
    stg_free(io.pb.buf);
    io.pb = info.saved_pb;
    io.pb.mark_lo = io.pb.mark_hi = 0;
    info.saved_pb = pushback{};
    change_count++;
    info.has_saved_pushback = 0;
  }
  io.prev_line_continued = 0;
  io.define_depth = 0;
  return KS_ST_OK;
}

// Whether byte b is read as the character of its own code, with no conversion.
bool byte_is_char(unsigned char b) { return b != 0 && b < mf_io_plain_byte_bound(); }

// Takes the top byte of the push-back stack, or -1 when it is empty.
int pop_pushback() {
  if (io.pb.top == 0) return -1;
  int c = static_cast<unsigned char>(io.pb.buf[--io.pb.top]);
  advance(c);
  return c;
}

// Reports the n collected bytes as an invalid multibyte sequence and marks the parse failed; 0,
// the character mf_io_get_wc then delivers.
[[gnu::cold]] wchar_t invalid_mb(const char *bytes, size_t n) {
  std::string shown;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f) {
      shown.push_back(char(c));
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\%03o", c);
      shown += esc;
    }
  }
  mf_io_print_position(IMSG_ERROR);
  imsg_print_cold(IMSG_ERROR_CONT, &_mf_io_karsel_msg_table, MF_IO_MSG_INVALID_MB, shown.c_str());
  mf_parser_failed = 1;
  invalid_mb_read = true;
  return 0;
}

bool exists_as_file(const std::string &path, int &err) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    err = errno;
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    err = EISDIR;
    return false;
  }
  return true;
}

// Number of include levels open above the description file being read.
int include_depth() {
  int depth = 0;
  for (const auto &e : io.files)
    if (e.info.is_open) depth++;
  return depth;
}

// Adds the candidate paths of the relative name for search kind 1, 2 or 3 to out, in the order
// they are tried. Out of line: the dialects' plain includes search nothing.
[[gnu::noinline]] void add_searched_candidates(const std::string &name, int kind,
                                               std::vector<std::string> *candidates) {
  std::vector<std::string> &out = *candidates;
  auto each_inc_dir = [&]() {
    void *d = nullptr;
    for (list_cursor_t c = list_next(io.inc_dirs, nullptr, &d); c != nullptr;
         c = list_next(io.inc_dirs, c, &d))
      out.push_back(std::string(static_cast<const char *>(d)) + "/" + name);
  };
  switch (kind) {
    case 1: {
      const char *cur = mf_io_source_file;
      const char *slash = cur ? std::strrchr(cur, '/') : nullptr;
      if (slash != nullptr) out.push_back(std::string(cur, size_t(slash - cur)) + "/" + name);
      out.push_back(name);
      if (io.inc_dirs != LIST_HANDLE_NULL) each_inc_dir();
      out.push_back("/usr/include/make/" + name);
      break;
    }
    case 2:
      out.push_back(name);
      out.push_back("/usr/include/make/" + name);
      break;
    case 3:
      out.push_back(name);
      if (io.inc_dirs != LIST_HANDLE_NULL) each_inc_dir();
      out.push_back("/usr/local/include/" + name);
      out.push_back("/usr/gnu/include/" + name);
      out.push_back("/usr/include/" + name);
      break;
  }
}

// The candidate paths of name for a search kind, in the order they are tried.
std::vector<std::string> include_candidates(const std::string &name, int kind) {
  std::vector<std::string> out;
  if ((!name.empty() && name[0] == '/') || kind < 1 || kind > 3)
    out.push_back(name);
  else
    add_searched_candidates(name, kind, &out);
  return out;
}

// Reports an include of name beyond the deepest nesting and ends the parse: a makefile that
// includes itself without end, where reading on would only repeat what the levels above read.
[[noreturn, gnu::cold]] void includes_too_deep(const char *name) {
  mf_io_print_position(IMSG_ERROR);
  imsg_print_cold(IMSG_ERROR_CONT, &_mf_io_karsel_msg_table, MF_IO_MSG_INCLUDES_TOO_DEEP,
                  MF_IO_MAX_INCLUDE_DEPTH, name);
  mf_parser_failed = 1;
  pfm_raise(KS_ST_ERR);
}

// Reports that the include of name cannot be opened (error: errno of the attempt) and marks the
// parse failed.
[[gnu::cold]] void report_cannot_include(const char *name, int error) {
  mf_io_print_position(IMSG_ERROR);
  imsg_print_cold(IMSG_ERROR_CONT, &_mf_io_karsel_msg_table, MF_IO_MSG_CANNOT_INCLUDE, name,
                  imsg_strerror(error));
  mf_parser_failed = 1;
}

// The name of an include of search kind 1 without its quotes ("name") or angle brackets
// (<name>, under /usr/include/make); false after the message for a name with neither. Out of
// line: only that kind asks for it.
[[gnu::noinline]] bool unquote_include_name(std::string *name) {
  const size_t n = name->size();
  if (n >= 2 && (*name)[0] == '<' && (*name)[n - 1] == '>') {
    *name = "/usr/include/make/" + name->substr(1, n - 2);
  } else if (n >= 2 && (*name)[0] == '"' && (*name)[n - 1] == '"') {
    *name = name->substr(1, n - 2);
  } else {
    mf_io_print_position(IMSG_ERROR);
    imsg_print_cold(IMSG_ERROR_CONT, &_mf_io_karsel_msg_table, MF_IO_MSG_ILLEGAL_INCLUDE,
                    name->c_str());
    mf_parser_failed = 1;
    return false;
  }
  return true;
}

}  // namespace

const imsg_msg_table_t _mf_io_karsel_msg_table = {
    "karsel_bin", kModule, 0, kFormatCount, mf_io_formats, mf_io_catalog,
};

const char *mf_io_source_file = nullptr;
int32_t mf_io_source_line = 1;
int32_t mf_io_source_col = 0;
int32_t mf_io_source_prev_col = 0;
int32_t mf_io_mb_is_allowed = 0;
int32_t mf_io_ascii_is_plain = 0;
int32_t mf_io_nest_level = 0;
int32_t mf_io_dont_scan = 0;
int32_t mf_io_restart_scan = 0;

void mf_io_print_position(int severity) {
  imsg_print(severity, &_mf_io_karsel_msg_table, MF_IO_MSG_POSITION,
             mf_io_source_file ? mf_io_source_file : "", int(mf_io_source_line));
}

int mf_io_init(list_handle_t files, list_handle_t inc_dirs, list_handle_t goals, int32_t flavor,
               int32_t define_makefile, int32_t record) {
  mf_io_term();
  reset_position(io.spos);
  mf_io_source_file = nullptr;
  publish_position();
  io.returned_eof_newline = io.returned_eof = io.prev_line_continued = 0;
  io.stream = nullptr;
  io.stream_at_end = false;

  io.area = stg_create_area(kAreaBlock);
  if (io.area == STG_AREA_NULL) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_AREA_CREATE);
    return KS_ST_ERR;
  }
  io.inc_dirs = inc_dirs;
  mf_io_mb_is_allowed = MB_CUR_MAX > 1 ? 1 : 0;
  mb_max = size_t(MB_CUR_MAX);
  mf_io_ascii_is_plain = ascii_is_plain() ? 1 : 0;

  void *d = nullptr;
  for (list_cursor_t c = list_next(files, nullptr, &d); files != LIST_HANDLE_NULL && c != nullptr;
       c = list_next(files, c, &d)) {
    const char *copy = stg_area_strdup(io.area, static_cast<const char *>(d));
    if (copy == nullptr) {
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
      mf_io_term();
      return KS_ST_ERR;
    }
    file_entry e{copy, {}};
    e.info.define_makefile = define_makefile;
    e.info.record = record;
    io.files.push_back(std::move(e));
  }

  io.pb.buf = new_pushback_buffer(kPushbackStart);
  io.pb.cap = kPushbackStart;
  io.pb.top = 0;

  if (io.files.empty()) {
    imsg_print_cold(IMSG_ERROR, &_mf_io_karsel_msg_table, MF_IO_MSG_NO_FILES);
    mf_io_term();
    return KS_ST_ERR;
  }

  file_entry &first = io.files.front();
  io.stream = open_for_reading(first.name);
  if (io.stream == nullptr) {
    int e = errno;
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_OPEN_FAILED,
                      first.name, imsg_strerror(e));
    mf_io_term();
    return KS_ST_ERR;
  }
  mf_io_source_file = first.name;
  note_opened(first.name, first.info, true);
  io.bytes_read = 0;
  io.flavor = flavor;
  io.goals = goals;
  mf_io_nest_level = 0;
  mf_io_dont_scan = 0;
  mf_io_restart_scan = 0;
  io.cond_level_exhausted[0] = false;
  io.cond_source_files.clear();
  return KS_ST_OK;
}

int mf_io_term() {
  if (io.area == STG_AREA_NULL && io.pb.buf == nullptr) return KS_ST_OK;
  for (auto &e : io.files) {
    if (e.info.is_open && e.info.stream != nullptr)
      close_stream(e.info.stream, e.name, IMSG_WARNING);
    e.info.stream = nullptr;
    stg_free(e.info.saved_pb.buf);
  }
  close_stream(io.stream, mf_io_source_file, IMSG_WARNING);
  io.stream = nullptr;
  io.files.clear();
  stg_free(io.pb.buf);
  io.pb = pushback{};
  io.cond_source_files.clear();
  mf_io_source_file = nullptr;
  stg_delete_area(&io.area);
  io.returned_eof_newline = io.returned_eof = io.prev_line_continued = 0;
  io.include_just_opened = false;
  io.define_depth = 0;
  io.open_file_count = 0;
  io.inc_dirs = io.goals = LIST_HANDLE_NULL;
  mf_io_ascii_is_plain = 0;
  return KS_ST_OK;
}

int mf_io_input() {
  io.include_just_opened = false;
  change_count++;
  for (;;) {
    int c = pop_pushback();
    if (c >= 0) return c;
    if (io.returned_eof) return 0;
    if (io.area == STG_AREA_NULL) return 0;

    if (io.flavor == 0) {
      // The next physical line goes onto the push-back stack whole: readers can then look at the
      // rest of the line, and most bytes are taken from there without a call per byte.
      if (load_physical_line()) continue;
    } else {
      line_mode_result r = line_mode_read();
      if (r == LM_DELIVERED) continue;
      if (r == LM_STOP) return 0;
    }

    // End of the current file.
    if (!io.returned_eof_newline) {
      io.returned_eof_newline = 1;
      advance('\n');
      return '\n';
    }
    io.returned_eof_newline = 0;
    if (io.stream == nullptr) {
      tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_CLOSE_FAILED,
                        pfm_file_stem(__FILE__), __LINE__, 0);
      io.returned_eof = 1;
      return 0;
    }
    if (std::fclose(io.stream) != 0) {
      int e = errno;
      tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_CLOSE_FAILED,
                        pfm_file_stem(__FILE__), __LINE__, 0);
      imsg_print_cold(IMSG_ERROR_CONT, "%s: %s\n", -1, mf_io_source_file, imsg_strerror(e));
    }
    io.open_file_count--;
    io.stream = nullptr;
    io.files.pop_front();
    if (io.files.empty()) {
      io.returned_eof = 1;
      return 0;
    }
    if (resume_head() != KS_ST_OK) {
      io.returned_eof = 1;
      return 0;
    }
  }
}

int mf_io_unput(int c) {
  if (io.pb.top >= io.pb.cap) grow_pushback(1, 0);
  if (io.pb.top < io.pb.mark_hi) io.pb.mark_hi = io.pb.top;
  change_count++;
  io.pb.buf[io.pb.top++] = char(c);
  retreat(c & 0xff);
  return KS_ST_OK;
}

int mf_io_push_counted_str(const char *text, size_t len) {
  if (text == nullptr) return KS_ST_ERR;
  // A text without a line break goes back in one copy: each byte would only move the column
  // back by one, down to 0.
  if (len > 1 && std::memchr(text, '\n', len) == nullptr && !trace_on(4)) {
    grow_pushback(len, 0);
    if (io.pb.top < io.pb.mark_hi) io.pb.mark_hi = io.pb.top;
    change_count += len;
    char *dest = io.pb.buf + io.pb.top;
    for (size_t i = 0; i < len; i++) dest[i] = text[len - 1 - i];
    io.pb.top += len;
    io.spos.col = io.spos.col > int32_t(len) ? io.spos.col - int32_t(len) : 0;
    mf_io_source_col = io.spos.col;
    return KS_ST_OK;
  }
  for (size_t i = len; i > 0; i--) mf_io_unput(static_cast<unsigned char>(text[i - 1]));
  return KS_ST_OK;
}

int mf_io_push_str(const char *text) {
  if (text == nullptr) return KS_ST_ERR;
  return mf_io_push_counted_str(text, std::strlen(text));
}

wchar_t mf_io_get_wc() {
  invalid_mb_read = false;
  int c = mf_io_input();
  if (c == 0) return 0;
  if (!mf_io_mb_is_allowed || (c < 0x80 && mf_io_ascii_is_plain)) return wchar_t(c);
  // Bytes are collected until they decode; a sequence that the locale rejects, or that does not
  // decode within the locale's longest character, is reported rather than read on.
  char bytes[17];
  size_t n = 0;
  size_t longest = mb_max < 16 ? mb_max : 16;
  bytes[n++] = char(c);
  for (;;) {
    std::mbstate_t st{};
    wchar_t wc = 0;
    size_t r = std::mbrtowc(&wc, bytes, n, &st);
    if (r != size_t(-1) && r != size_t(-2)) return wc;
    if (r == size_t(-1) || n >= longest) break;
    c = mf_io_input();
    if (c == 0) break;
    bytes[n++] = char(c);
  }
  return invalid_mb(bytes, n);
}

int mf_io_unput_wc(wchar_t wc) {
  // Without multibyte characters every byte stands for itself, as mf_io_get_wc delivered it.
  if (!mf_io_mb_is_allowed && wc > 0 && wc <= 0xff) return mf_io_unput(int(wc));
  if (wc > 0 && wc < 0x80 && mf_io_ascii_is_plain) return mf_io_unput(int(wc));
  char bytes[MB_LEN_MAX + 1];
  int n = std::wctomb(bytes, wc);
  if (n < 0) {
    mf_io_print_position(IMSG_ERROR);
    imsg_print_cold(IMSG_ERROR_CONT, &_mf_io_karsel_msg_table, MF_IO_MSG_INVALID_WC, int(wc));
    mf_parser_failed = 1;
    return KS_ST_ERR;
  }
  if (n == 1) return mf_io_unput(static_cast<unsigned char>(bytes[0]));
  if (n > 1 && mf_io_push_counted_str(bytes, size_t(n)) != KS_ST_OK) {
    mf_io_print_position(IMSG_ERROR);
    mf_parser_failed = 1;
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

int mf_io_get_wstring_line(wchar_t *buf, int count) {
  return mf_io_get_wstring_line_rest(buf, count, 0);
}

int mf_io_get_wstring_line_rest(wchar_t *buf, int count, int stored) {
  if (count > MF_IO_WSTRING_LINE_MAX) count = MF_IO_WSTRING_LINE_MAX;
  while (stored < count) {
    // A byte that is a character of its own comes straight from the push-back stack.
    if (io.pb.top > 0) {
      const unsigned char b = static_cast<unsigned char>(io.pb.buf[io.pb.top - 1]);
      if (byte_is_char(b)) {
        io.pb.top--;
        io.include_just_opened = false;
        change_count++;
        advance(b);
        buf[stored++] = wchar_t(b);
        if (b == '\n') break;
        continue;
      }
    }
    wchar_t wc = mf_io_get_wc();
    buf[stored] = wc;
    // An invalid sequence, reported, ends what this call returns; where nothing came before it,
    // the reading goes on behind it, so that it is never taken for the end of the input.
    if (wc == 0 && invalid_mb_read && stored == 0) continue;
    if (wc == 0) break;
    stored++;
    if (wc == L'\n') break;
  }
  return stored;
}

int32_t mf_io_spos_line() { return io.spos.line >= 0 ? io.spos.line : 1; }

int32_t mf_io_spos_column() { return io.spos.col; }

void mf_io_set_spos_column(int32_t column) {
  io.spos.col = column < 0 ? 0 : column;
  publish_position();
}

void mf_io_set_spos_for_string_get(const char *text) {
  PFM_ASSERT(text != nullptr);
  for (const char *p = text; *p; p++) advance(static_cast<unsigned char>(*p));
}

int mf_io_push_artificial_newline_in_new_include_file() {
  // After an include that opened nothing the includer's position must stay as it is.
  if (!io.include_just_opened) return KS_ST_OK;
  io.include_just_opened = false;
  io.spos.line = 0;
  publish_position();
  advance('\n');
  mf_io_unput('\n');
  return KS_ST_OK;
}

int mf_io_parser_existent() { return io.pb.buf != nullptr ? 1 : 0; }

size_t mf_io_pushback_depth() { return io.pb.top; }

const char *mf_io_pushback_data() { return io.pb.buf; }

unsigned mf_io_plain_byte_bound() {
  // Every byte in a single-byte locale; below 0x80 where the locale takes plain ASCII in.
  if (!mf_io_mb_is_allowed) return 0x100u;
  return mf_io_ascii_is_plain ? 0x80u : 0u;
}

int mf_io_load_line_below() {
  // Only below a complete line, and only lines of the current file in the plain flavour: the end
  // of a file is found by the ordinary reading, which switches files.
  if (io.flavor != 0 || io.area == STG_AREA_NULL || io.returned_eof || io.pb.top == 0 ||
      io.pb.buf[0] != '\n')
    return 0;
  thread_local std::string line;
  line.clear();
  if (!read_line_up_to_nul(line)) return 0;
  const size_t n = line.size();
  grow_pushback(n, n);
  for (size_t i = 0; i < n; i++) io.pb.buf[i] = line[n - 1 - i];
  io.pb.top += n;
  io.pb.mark_lo += n;
  io.pb.mark_hi += n;
  change_count++;
  return 1;
}

void mf_io_consume(size_t n) {
  PFM_ASSERT(n <= io.pb.top);
  if (n == 0) return;
  io.include_just_opened = false;
  change_count += n;
  // A run of bytes within a line only moves the column: it is counted and published once.
  const char *const buf = io.pb.buf;
  size_t top = io.pb.top;
  int32_t run = 0;
  for (size_t i = 0; i < n; i++) {
    if (buf[--top] != '\n') {
      run++;
      continue;
    }
    io.pb.top = top;
    io.spos.col += run;
    run = 0;
    advance('\n');
  }
  io.pb.top = top;
  if (run > 0) {
    io.spos.col += run;
    mf_io_source_col = io.spos.col;
  }
}

size_t mf_io_take_run(char *dest, size_t max, const uint8_t *stop) {
  // The bound and the stack top are held in locals: dest is never the stack itself.
  const unsigned bound = mf_io_plain_byte_bound();
  const char *const buf = io.pb.buf;
  size_t top = io.pb.top;
  size_t n = 0;
  while (n < max && top > 0) {
    const unsigned char b = static_cast<unsigned char>(buf[top - 1]);
    if (stop[b] || b == '\n' || b == 0 || b >= bound) break;
    dest[n++] = char(b);
    top--;
  }
  io.pb.top = top;
  if (n > 0) {
    io.include_just_opened = false;
    change_count += n;
    io.spos.col += int32_t(n);
    mf_io_source_col = io.spos.col;
  }
  return n;
}

void mf_io_peek_pushback(char *dest, size_t n) {
  PFM_ASSERT(n <= io.pb.top);
  for (size_t i = 0; i < n; i++) dest[i] = io.pb.buf[io.pb.top - 1 - i];
}

void mf_io_mark_pushback(size_t from) {
  io.pb.mark_lo = from < io.pb.top ? from : io.pb.top;
  io.pb.mark_hi = io.pb.top;
}

bool mf_io_marked_pushback(size_t *from, size_t *to) {
  const size_t hi = io.pb.mark_hi < io.pb.top ? io.pb.mark_hi : io.pb.top;
  if (hi <= io.pb.mark_lo) return false;
  *from = io.pb.mark_lo;
  *to = hi;
  return true;
}

char mf_io_pushback_byte_at(size_t depth) {
  PFM_ASSERT(depth < io.pb.top);
  return io.pb.buf[depth];
}

uint64_t mf_io_change_count() { return change_count; }

uint64_t mf_io_stream_bytes() { return stream_bytes; }

int mf_io_input_ended() { return io.returned_eof && io.pb.top == 0 ? 1 : 0; }

int mf_io_include_files(list_handle_t names, int32_t ignore_missing, int32_t search_kind) {
  if (names == LIST_HANDLE_NULL) return KS_ST_OK;
  std::vector<std::string> found;
  void *d = nullptr;
  for (list_cursor_t c = list_next(names, nullptr, &d); c != nullptr; c = list_next(names, c, &d)) {
    const char *given = static_cast<const char *>(d);
    std::string name = given ? given : "";
    if (search_kind == 1 && !unquote_include_name(&name)) return KS_ST_ERR;
    int err = ENOENT;
    std::string hit;
    for (const std::string &cand : include_candidates(name, search_kind)) {
      if (exists_as_file(cand, err)) {
        hit = cand;
        break;
      }
    }
    if (hit.empty()) {
      if (!ignore_missing) {
        report_cannot_include(name.c_str(), err);
        return KS_ST_ERR;
      }
      if (trace_on(2)) {
        mf_io_print_position(IMSG_WARNING);
        imsg_print_cold(IMSG_TRACE_CONT, &_mf_io_karsel_msg_table, MF_IO_MSG_CANNOT_INCLUDE,
                        name.c_str(), imsg_strerror(err));
      }
      continue;
    }
    found.push_back(std::move(hit));
  }
  if (found.empty()) return KS_ST_OK;

  if (include_depth() >= MF_IO_MAX_INCLUDE_DEPTH) includes_too_deep(found.front().c_str());

  // The first file is opened before anything is changed, so that a file that cannot be opened
  // leaves the including file being read as it was.
  FILE *f = open_for_reading(found.front().c_str());
  if (f == nullptr) {
    // The including file is read on.
    report_cannot_include(found.front().c_str(), errno);
    return KS_ST_OK;
  }
  std::vector<const char *> copies;
  for (const std::string &p : found) {
    const char *copy = stg_area_strdup(io.area, p.c_str());
    if (copy == nullptr) {
      std::fclose(f);
      tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                        pfm_file_stem(__FILE__), __LINE__, 0);
      PFM_PANIC();
    }
    copies.push_back(copy);
  }

  // Suspend the includer.
  file_info &inc = io.files.front().info;
  inc.stream = io.stream;
  inc.saved_pb = io.pb;
  inc.bytes_read = io.bytes_read;
  inc.spos = std::move(io.spos);
  inc.has_saved_pushback = 1;
  inc.is_open = 1;
  // The stream's end is found again on resumption.
  if (io.stream_at_end) std::clearerr(io.stream);

  // Later files of the statement, in their order, in front of the includer.
  for (size_t i = copies.size(); i > 1; i--) {
    file_entry e{copies[i - 1], {}};
    e.info.define_makefile = 1;
    io.files.push_front(std::move(e));
  }
  io.files.push_front(file_entry{copies[0], {}});

  io.stream = f;
  io.stream_at_end = false;
  io.open_file_count++;
  if (trace_on(2))
    imsg_print_cold(IMSG_INFO, &_mf_io_karsel_msg_table, MF_IO_MSG_PROCESSING, copies[0]);
  mf_io_source_file = copies[0];
  reset_position(io.spos);
  publish_position();
  io.bytes_read = 0;
  io.pb = pushback{};
  io.pb.buf = new_pushback_buffer(kPushbackStart);
  io.pb.cap = kPushbackStart;
  change_count++;
  io.returned_eof_newline = io.returned_eof = io.prev_line_continued = 0;
  io.include_just_opened = true;
  io.define_depth = 0;
  mfc_require_file_in_makefiles_list(copies[0]);
  return KS_ST_OK;
}

int mf_io_push_file(const char *name, int32_t ignore_missing, int32_t search_kind) {
  list_handle_t one = list_create(STG_AREA_HEAP, 0);
  if (one == LIST_HANDLE_NULL || list_append(one, const_cast<char *>(name)) != KS_ST_OK) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    PFM_PANIC();
  }
  int st = KS_ST_OK;
  pfm_frame([&] { st = mf_io_include_files(one, ignore_missing, search_kind); },
            [&](ks_status_t) { list_destroy(one); });
  list_destroy(one);
  return st;
}
