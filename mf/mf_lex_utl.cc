#include "mf/mf_lex_utl.h"

#include <cctype>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>

#include "cm/cr_utl.h"
#include "ks/ks_status.h"
#include "ks/pfm.h"
#include "ks/stg.h"
#include "ks/strutl.h"
#include "mf/bldr_macro.h"
#include "mf/mf.h"
#include "mf/mf_flex.h"
#include "mf/mf_io.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"

namespace {

const char *const mf_lex_formats[] = {
    /* 0 */ "Possible continuation character (\\) followed by whitespace on or near line %d.\n",
    /* 1 */ "WARNING! <LC><CR> sequence on or near line %d is being\n\tinterpreted in a "
            "non-standard manner.  PLEASE EDIT YOUR MAKEFILE\n\tACCORDINGLY, and unset "
            "ORVA_RFE46184 in your environment.\n",
    /* 2 */ "Can't convert wide char to multibyte\n",
    /* 3 */ "Unable to push text into input buffer.\n",
    /* 4 */ "Unable to unput text into input buffer.\n",
    /* 5 */ "Fetched buffer string: \n",
    /* 6 */ "End of input inside the body of a 'define': missing 'endef'\n",
    /* 7 */ ".LIBPATTERNS element `%s' is not a good pattern\n",
    /* 8 */ "Found macro definition:\n\t",
    /* 9 */ "Name: \"%s\", Value: \"%s\"\n",
    /* 10 */ "Found target-scoped token\n",
    /* 11 */ "Function %s - Enter\n",
    /* 12 */ "Function %s - Exit\n",
    /* 13 */ "Function %s - Exit with ERROR\n",
};
constexpr uint16_t kFormatCount = sizeof mf_lex_formats / sizeof mf_lex_formats[0];
const uint16_t mf_lex_catalog[kFormatCount] = {};
const char kModule[] = "mf/mf_lex_utl";
const char kTraceName[] = "mf_lexer";

enum {
  MSG_WS_AFTER_BACKSLASH = 0,
  MSG_RFE46184 = 1,
  MSG_WC_TO_MB = 2,
  MSG_PUSH_FAILED = 3,
  MSG_UNPUT_FAILED = 4,
  MSG_FETCHED = 5,
  MSG_EOF_IN_DEFINE = 6,
  MSG_LIBPATTERNS = 7,
  MSG_FOUND_MACRO_DEF = 8,
  MSG_MACRO_NAME_VALUE = 9,
  MSG_FOUND_TGT_SCOPED = 10,
  MSG_ENTER = 11,
  MSG_EXIT = 12,
  MSG_EXIT_ERROR = 13,
};

// Entry and exit traces of the larger actions.
class action_trace {
 public:
  explicit action_trace(const char *name) : name_(name) {
    if (mf_lexer_verbosity > 3)
      imsg_print_cold(IMSG_TRACE, &_mf_lex_utl_karsel_msg_table, MSG_ENTER, name);
  }
  ~action_trace() {
    if (mf_lexer_verbosity > 3)
      imsg_print_cold(IMSG_TRACE, &_mf_lex_utl_karsel_msg_table,
                      mf_parser_failed ? MSG_EXIT_ERROR : MSG_EXIT, name_);
  }
  action_trace(const action_trace &) = delete;
  action_trace &operator=(const action_trace &) = delete;

 private:
  const char *name_;
};

mf_flex_buffer_t linebuf_block;
mf_flex_buffer_t full_linebuf_block;
// The last mf_lex_fetch_line ended at a newline, which it gave back to the input.
bool fetch_ended_at_newline = false;

// Byte tables for mf_io_take_run: the bytes line fetching treats one by one, and none.
struct byte_table {
  uint8_t stop[256] = {};
  constexpr explicit byte_table(const char *bytes) {
    for (const char *b = bytes; *b != '\0'; ++b) stop[static_cast<unsigned char>(*b)] = 1;
  }
};
constexpr byte_table kFetchStops("\\\r \t");
constexpr byte_table kNoStops("");

// The settings of the environment that line fetching follows, read at the first fetch of a parse
// (they stay as they are while it runs).
struct fetch_settings {
  bool read = false;
  bool rfe46184 = false;
  bool keep_cr = false;
  bool hash_is_text = false;
};
fetch_settings fetch_env;

const fetch_settings &current_fetch_settings() {
  if (!fetch_env.read) {
    fetch_env.rfe46184 = mf_getenv("ORVA_RFE46184") != nullptr;
    fetch_env.keep_cr = mf_getenv("ORVA_NOT_STRIP_CONTROL_M") != nullptr;
    fetch_env.hash_is_text = mf_getenv("ORVA_IGNORE_ESCAPED_HASH_IN_MULTILINE_MACRO") != nullptr;
    fetch_env.read = true;
  }
  return fetch_env;
}

// Reading the rest of a logical line only as far as an action needs it.
//
// Fetching the rest of a line (join on, raw off) changes some texts: continuations are joined,
// carriage returns dropped, trailing blanks cut, and a backslash before the line end warns or
// joins. A text that none of that touches is "plain": fetching it gives it back unchanged and
// ends at the newline behind it. Once the rest of a line has been fetched in full, what goes back
// to the input is plain (or is checked to be), and the input layer marks it on its push-back
// stack; a later fill of the same line then reads only the bytes it needs, since fetching the
// plain remainder would change nothing. So every reference of a line no longer costs the whole
// rest of the line.
struct line_reading {
  // The last fill: 0 none, 1 the whole rest was fetched, 2 only a part was read (lazy).
  int fill = 0;
  size_t text_len = 0;   // bytes of the full line buffer that are the matched text
  size_t base = 0;       // depth just above the newline that ends the line (fill 1 or 2)
  bool base_known = false;
  bool at_end = false;   // the line ends with the input, not with a newline
  size_t unread = 0;     // lazy: bytes of the line still in the input, in front of the newline
  // The mark this module made: its lowest depth, and how many of its lowest bytes (the end of
  // the line) are backslashes, blanks and TABs, whose effect on the line end depends on what
  // comes before them.
  size_t mark_lo = SIZE_MAX;
  size_t mark_tail = 0;
  bool mark_at_end = false;
  // mf_io_change_count() after the last fill or unfill: an unfill only marks what it pushes when
  // the input has not moved since.
  uint64_t count = 0;
};
line_reading reading;
char printable[4092];

uint32_t variant() { return mfc_parse_op_rec_p ? mfc_parse_op_rec_p->compat_variant : 0; }

bool gnu_like(uint32_t v) { return v == MF_COMPAT_GNU || v == MF_COMPAT_PGNU; }

int32_t scanner_line() {
  return mfc_parse_op_rec_p ? mfc_parse_op_rec_p->source_line : mf_io_source_line;
}

bool is_blank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The characters that end a name.
bool not_text_char(wchar_t c) {
  return c != 0 && std::wcschr(L" \n\t\f\v(){}<>;!=&|$#:\\\"'`", c) != nullptr;
}

[[noreturn]] void internal_error(int row) {
  imsg_print_cold(IMSG_ERROR, &_mf_lex_utl_karsel_msg_table, row);
  tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_TEXT, pfm_file_stem(__FILE__),
                    __LINE__, 0);
  PFM_PANIC();
}

// Appends the multibyte form of wc to the line buffer.
void append_wc(char **buf, wchar_t wc) {
  if (!mf_lexer_is_mb_allowed || (wc > 0 && wc < 0x80 && mf_io_ascii_is_plain)) {
    mf_flex_append_char(buf, char(wc));
    return;
  }
  char bytes[17];
  std::mbstate_t st{};
  size_t n = std::wcrtomb(bytes, wc, &st);
  if (n == size_t(-1)) internal_error(MSG_WC_TO_MB);
  mf_flex_append(buf, bytes, n);
}

void give_back(wchar_t wc) {
  if (wc == 0) return;
  if (mf_io_unput_wc(wc) != KS_ST_OK) internal_error(MSG_UNPUT_FAILED);
}

// Skips blanks and TABs at the start of a line; a TAB is given back instead when keep_tab.
// Returns true when a kept TAB stopped the skipping.
bool skip_indentation(bool keep_tab) {
  for (;;) {
    wchar_t wc = mf_io_get_wc();
    if (wc == L' ' || (wc == L'\t' && !keep_tab)) continue;
    give_back(wc);
    return wc == L'\t';
  }
}

void pop_trailing_blanks(char **buf) {
  char *text = *buf;
  mf_flex_string_t *h = mf_flex_hdr(text);
  while (h->cur > text && (h->cur[-1] == ' ' || h->cur[-1] == '\t')) *--h->cur = '\0';
}

bool ends_with(const char *text, const char *suffix) {
  size_t n = mf_flex_length(text), m = std::strlen(suffix);
  return n >= m && std::memcmp(text + n - m, suffix, m) == 0;
}

}  // namespace

const imsg_msg_table_t _mf_lex_utl_karsel_msg_table = {
    "karsel_bin", kModule, 0, kFormatCount, mf_lex_formats, mf_lex_catalog,
};

int32_t mf_lexer_verbosity = 0;
int32_t mf_lex_is_build_script = 0;
int32_t mf_lex_lexing_multiline_macro_def = 0;
int32_t gnu_eval_next_line_can_be_script = 0;
int32_t mf_lex_full_linebuf_origin = 0;
int32_t must_return_eol = 0;
int32_t building_list_of_file_names = 0;
int32_t mf_script_line_expected = 0;
int32_t mf_scoped_macro_def_accepted = 0;
int32_t mf_lexer_is_mb_allowed = 0;
int32_t mf_lexer_mb_cur_max = 1;
int32_t mf_lex_single_null_build_script_allowed = 0;
bldr_macro_def_t mf_macro_definition = {nullptr, nullptr, 0};
int32_t mf_in_filename_context = 0;
int32_t mf_expanded_simply_expanded_macro = 0;
char *mf_lex_linebuf = mf_flex_start(&linebuf_block);
char *mf_lex_full_linebuf = mf_flex_start(&full_linebuf_block);

void mf_lex_init() {
  must_return_eol = 0;
  building_list_of_file_names = 0;
  mf_scoped_macro_def_accepted = 0;
  mf_script_line_expected = 0;
  int level = 4;
  if (mf_verbosity <= 3) {
    while (level >= 1 && level > mf_verbosity) {
      if (imsg_get_desired_verbosity() >= level && imsg_should_trace(kTraceName, level)) break;
      level--;
    }
  }
  mf_lexer_verbosity = level < 0 ? 0 : level;
  mf_lexer_is_mb_allowed = MB_CUR_MAX > 1 ? 1 : 0;
  mf_lexer_mb_cur_max = mf_lexer_is_mb_allowed ? int32_t(MB_CUR_MAX) : 1;
  mf_flex_release(mf_lex_linebuf);
  mf_lex_linebuf = mf_flex_start(&linebuf_block);
  mf_flex_release(mf_lex_full_linebuf);
  mf_lex_full_linebuf = mf_flex_start(&full_linebuf_block);
  reading = line_reading{};
  fetch_env = fetch_settings{};
}

char *mf_lex_fetch_line(int32_t join, int32_t swallow_blank, int32_t strip_before_backslash,
                        int32_t raw) {
  const int32_t saved_build_script = mf_lex_is_build_script;
  const fetch_settings &settings = current_fetch_settings();
  const bool rfe46184 = settings.rfe46184;
  if (rfe46184) swallow_blank = 0;
  if (!join) raw = 0;
  const bool keep_cr = settings.keep_cr;
  const bool hash_is_text = settings.hash_is_text;
  const bool in_define = mf_lex_lexing_multiline_macro_def != 0;
  const uint32_t v = variant();
  char *&buf = mf_lex_linebuf;
  mf_flex_reset(buf);

  bool after_backslash = false;   // the previous character was an unescaped backslash
  bool blanks_after_bs = false;   // only blanks have followed that backslash
  bool joined = false;            // the line was just continued; nothing kept since
  bool swallow_pending = false;   // an empty line here continues the joined line too
  bool body_complete = false;
  wchar_t ended_by = 0;
  for (;;) {
    // Outside a define body a run of ordinary characters only goes into the line.
    if (!in_define) {
      char run[256];
      const size_t n = mf_io_take_run(run, sizeof run, kFetchStops.stop);
      if (n > 0) {
        mf_flex_append(&buf, run, n);
        after_backslash = blanks_after_bs = joined = swallow_pending = false;
        continue;
      }
    }
    wchar_t wc = mf_io_get_wc();
    if (wc == 0) break;
    if (wc == L'\r' && !keep_cr) continue;

    const bool pending = swallow_pending;
    swallow_pending = false;
    if (wc == L'\n') {
      if (after_backslash || pending) {
        if (!join) {
          ended_by = wc;
          break;
        }
        if (in_define) {
          append_wc(&buf, wc);
          after_backslash = false;
        } else {
          if (ends_with(buf, "\\")) *--mf_flex_hdr(buf)->cur = '\0';
          bool strip = !mf_lex_is_build_script || (strip_before_backslash && gnu_like(v));
          if (strip || joined) pop_trailing_blanks(&buf);
          skip_indentation(false);
          mf_flex_append_char(&buf, ' ');
          joined = true;
          swallow_pending = swallow_blank != 0;
          after_backslash = blanks_after_bs = false;
          continue;
        }
      } else if (blanks_after_bs && !in_define) {
        if (v != MF_COMPAT_PGNU)
          imsg_print_cold(IMSG_WARNING, &_mf_lex_utl_karsel_msg_table, MSG_WS_AFTER_BACKSLASH,
                          int(scanner_line()));
        ended_by = wc;
        break;
      } else if (in_define) {
        append_wc(&buf, wc);
        if (skip_indentation(gnu_eval_next_line_can_be_script != 0))
          mf_lex_is_build_script = 1;
      } else {
        if (joined && rfe46184)
          imsg_print_cold(IMSG_WARNING, &_mf_lex_utl_karsel_msg_table, MSG_RFE46184,
                          int(scanner_line()));
        ended_by = wc;
        break;
      }
      after_backslash = blanks_after_bs = false;
    } else if (in_define && wc == L':') {
      wchar_t next = mf_io_get_wc();
      if (next != L'=') gnu_eval_next_line_can_be_script = 1;
      give_back(next);
      append_wc(&buf, wc);
      after_backslash = blanks_after_bs = joined = false;
    } else if (in_define && wc == L'#' && !after_backslash && !hash_is_text) {
      wchar_t c;
      do c = mf_io_get_wc();
      while (c != 0 && c != L'\n');
      give_back(c);
      after_backslash = blanks_after_bs = false;
      continue;
    } else if (wc == L'\\') {
      append_wc(&buf, wc);
      if (after_backslash) {
        after_backslash = false;
      } else {
        after_backslash = true;
      }
      blanks_after_bs = false;
      joined = false;
    } else if (is_blank(wc)) {
      append_wc(&buf, wc);
      if (after_backslash || blanks_after_bs) blanks_after_bs = true;
      after_backslash = false;
      swallow_pending = pending;
    } else {
      append_wc(&buf, wc);
      after_backslash = blanks_after_bs = joined = false;
    }

    if (in_define && ends_with(buf, "\nendef")) {
      gnu_eval_next_line_can_be_script = 0;
      mf_flex_string_t *h = mf_flex_hdr(buf);
      h->cur -= 6;
      *h->cur = '\0';
      if (h->cur > buf) mf_flex_replace(&buf, 0, 1, "", 0);
      body_complete = true;
      break;
    }
  }

  if (in_define && !body_complete) {
    mf_io_print_position(IMSG_ERROR);
    imsg_print_cold(IMSG_ERROR_CONT, &_mf_lex_utl_karsel_msg_table, MSG_EOF_IN_DEFINE);
    mf_parser_failed = 1;
    mf_lex_is_build_script = saved_build_script;
    return nullptr;
  }
  if (!in_define) give_back(ended_by);
  fetch_ended_at_newline = !in_define && ended_by == L'\n';

  // Outside a define body the line holds no newline: canonical form can only cut blanks at its
  // end, where trimming applies.
  const bool gnu_text = v == MF_COMPAT_GNU && !mf_lex_is_build_script;
  const size_t blen = mf_flex_length(buf);
  const bool may_change = in_define || (!gnu_text && blen > 0 && is_blank(buf[blen - 1])) ||
                          (gnu_text && std::memchr(buf, '\n', blen) != nullptr);
  if ((in_define || !raw) && blen > 0 && may_change) {
    int changed = 0;
    char *canon = nullptr;
    bool gnu_text_line = v == MF_COMPAT_GNU && !mf_lex_is_build_script;
    cr_utl_canonicalize_line(buf, gnu_text_line ? 1 : 0, gnu_text_line ? 0 : 1, &changed, &canon);
    if (in_define && !mf_lex_is_build_script) {
      if (canon == nullptr) canon = stg_strdup(buf);
      if (canon != nullptr && mf_lex_compress_nl(canon)) changed = 1;
      gnu_eval_next_line_can_be_script = 0;
    }
    if (changed && canon != nullptr) mf_flex_assign(&buf, canon, std::strlen(canon));
    stg_free(canon);
  }
  mf_lex_is_build_script = saved_build_script;
  return buf;
}

namespace {


bool is_tail_byte(char c) { return c == '\\' || c == ' ' || c == '\t'; }

// Whether bytes read through mf_io_get_wc come out of append_wc unchanged and byte by byte, so
// that depths and buffer offsets correspond; and in which the tail bytes are never part of a
// longer character.
bool bytes_are_characters() { return !mf_io_mb_is_allowed || mf_io_ascii_is_plain; }

// Whether the n bytes are plain characters: no newline, no carriage return (unless they are
// kept), every multibyte character valid.
bool plain_bytes(const char *bytes, size_t n) {
  bool cr_checked = false;
  std::mbstate_t st{};
  for (size_t i = 0; i < n;) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\n' || c == '\0') return false;
    if (c == '\r') {
      if (!cr_checked && !current_fetch_settings().keep_cr) return false;
      cr_checked = true;
    }
    if (c < 0x80 || !mf_io_mb_is_allowed) {
      i++;
      continue;
    }
    wchar_t wc = 0;
    const size_t r = std::mbrtowc(&wc, bytes + i, n - i, &st);
    if (r == size_t(-1) || r == size_t(-2) || r == 0) return false;
    i += r;
  }
  return true;
}

// Whether a line whose last bytes (in reading order) are tail ends cleanly: the fetch neither
// joins it with the next line, nor warns, nor cuts blanks off it. tail holds the bytes after the
// last other character, which starts the fetch's state afresh. A line that ends with the input
// is neither joined nor warned about.
bool tail_ends_cleanly(const std::string &tail, bool at_end) {
  if (at_end) return tail.empty() || tail.back() == '\\';
  bool after_backslash = false;
  bool blanks_after_bs = false;
  for (char c : tail) {
    if (c == '\\') {
      after_backslash = !after_backslash;
      blanks_after_bs = false;
    } else {
      blanks_after_bs = after_backslash || blanks_after_bs;
      after_backslash = false;
    }
  }
  return !after_backslash && !blanks_after_bs && (tail.empty() || tail.back() == '\\');
}

// Marks the push-back stack from reading.base to its top, once everything in it is known to be
// plain, when the line ends cleanly; otherwise leaves no mark of this module's.
void mark_line_rest() {
  const size_t top = mf_io_pushback_depth();
  const size_t base = reading.base;
  if (top <= base) {
    reading.mark_lo = SIZE_MAX;
    return;
  }
  // The end of the line: the bytes from base up to the first other byte.
  size_t t = base;
  while (t < top && is_tail_byte(mf_io_pushback_byte_at(t))) t++;
  std::string tail;
  for (size_t d = t; d > base; d--) tail.push_back(mf_io_pushback_byte_at(d - 1));
  if (t == top || !tail_ends_cleanly(tail, reading.at_end)) {
    reading.mark_lo = SIZE_MAX;
    return;
  }
  mf_io_mark_pushback(base);
  reading.mark_lo = base;
  reading.mark_tail = t - base;
  reading.mark_at_end = reading.at_end;
}

// Whether the rest of the line can be read lazily: it is this module's mark, still holding a
// character that is not a tail byte, with only plain bytes pushed above it. *unread is the
// length of the rest.
// Marks the rest of the physical line waiting on the push-back stack, down to its newline, when
// it is plain and ends cleanly: the first fill of a line can then read only what it needs too.
// False when it cannot be marked.
bool mark_physical_line() {
  const size_t top = mf_io_pushback_depth();
  const char *bytes = mf_io_pushback_data();
  const void *nl = top > 0 ? memrchr(bytes, '\n', top) : nullptr;
  if (nl == nullptr) return false;
  const size_t base = size_t(static_cast<const char *>(nl) - bytes) + 1;
  const bool keep_cr = current_fetch_settings().keep_cr;
  for (size_t d = base; d < top; d++) {
    const unsigned char c = static_cast<unsigned char>(bytes[d]);
    if (c == '\0' || (c == '\r' && !keep_cr) || (c >= 0x80 && mf_io_mb_is_allowed)) return false;
  }
  reading.base = base;
  reading.at_end = false;
  mark_line_rest();
  return reading.mark_lo == base;
}

bool rest_is_plain(size_t *unread) {
  if (mf_lexer_verbosity > 2 || mf_lex_lexing_multiline_macro_def || !bytes_are_characters())
    return false;
  size_t lo = 0, hi = 0;
  if (!mf_io_marked_pushback(&lo, &hi) || lo != reading.mark_lo) {
    if (!mark_physical_line() || !mf_io_marked_pushback(&lo, &hi)) return false;
  }
  if (hi - lo <= reading.mark_tail) return false;
  const size_t top = mf_io_pushback_depth();
  if (top > hi) {
    std::string above(top - hi, '\0');
    mf_io_peek_pushback(above.data(), above.size());
    if (!plain_bytes(above.data(), above.size())) return false;
  }
  *unread = top - lo;
  return true;
}

}  // namespace

int mf_lex_fill_linebuf(const char *text) {
  char *&full = mf_lex_full_linebuf;
  size_t n = std::strlen(text);
  mf_flex_assign(&full, text, n);
  mf_lex_full_linebuf_origin = mf_io_spos_column() - int32_t(n);
  const char *rest = mf_lex_fetch_line(1, variant() == MF_COMPAT_GNU ? 0 : 1, 0, 0);
  reading.fill = 1;
  reading.text_len = n;
  reading.base = mf_io_pushback_depth();
  reading.at_end = !fetch_ended_at_newline && mf_io_input_ended();
  reading.base_known = fetch_ended_at_newline || reading.at_end;
  reading.count = mf_io_change_count();
  if (rest != nullptr) mf_flex_append_str(&full, rest);
  if (mf_lexer_verbosity > 2) {
    imsg_print_cold(IMSG_TRACE, &_mf_lex_utl_karsel_msg_table, MSG_FETCHED);
    imsg_print_cold(IMSG_TRACE_CONT, "%s\n", -1, full);
  }
  return 0;
}

int mf_lex_fill_linebuf_part(const char *text, size_t want) {
  size_t unread = 0;
  if (!rest_is_plain(&unread)) {
    mf_lex_fill_linebuf(text);
    return 1;
  }
  char *&full = mf_lex_full_linebuf;
  size_t n = std::strlen(text);
  mf_flex_assign(&full, text, n);
  mf_lex_full_linebuf_origin = mf_io_spos_column() - int32_t(n);
  reading.fill = 2;
  reading.text_len = n;
  reading.base = reading.mark_lo;
  reading.base_known = true;
  reading.at_end = reading.mark_at_end;
  reading.unread = unread;
  return mf_lex_extend_linebuf(want);
}

int mf_lex_extend_linebuf(size_t want) {
  if (reading.fill != 2) return 1;
  char *&full = mf_lex_full_linebuf;
  const size_t start = mf_flex_length(full);
  while (reading.unread > 0 && mf_flex_length(full) - start < want) {
    char run[256];
    const size_t n =
        mf_io_take_run(run, reading.unread < sizeof run ? reading.unread : sizeof run, kNoStops.stop);
    if (n > 0) {
      mf_flex_append(&full, run, n);
      reading.unread -= n;
      continue;
    }
    const size_t before = mf_flex_length(full);
    append_wc(&full, mf_io_get_wc());
    const size_t got = mf_flex_length(full) - before;
    reading.unread -= got < reading.unread ? got : reading.unread;
  }
  reading.count = mf_io_change_count();
  return reading.unread == 0 ? 1 : 0;
}

int mf_lex_unfill_linebuf(int32_t keep) {
  char *full = mf_lex_full_linebuf;
  size_t len = mf_flex_length(full);
  size_t k = keep < 0 ? 0 : size_t(keep) > len ? len : size_t(keep);
  // What goes back must be plain before the mark can cover it: after a lazy read only the part
  // of the matched text, after a full fetch all of it.
  bool markable = reading.fill != 0 && reading.base_known && mf_lexer_verbosity <= 2 &&
                  !mf_lex_lexing_multiline_macro_def && bytes_are_characters() &&
                  reading.count == mf_io_change_count();
  if (markable) {
    const size_t upto = reading.fill == 2 && reading.text_len < len ? reading.text_len : len;
    if (k < upto && !plain_bytes(full + k, upto - k)) markable = false;
  }
  if (mf_io_push_counted_str(full + k, len - k) != KS_ST_OK) internal_error(MSG_PUSH_FAILED);
  mf_io_set_spos_column(mf_lex_full_linebuf_origin + int32_t(k));
  mf_flex_hdr(full)->cur = full + k;
  full[k] = '\0';
  if (markable) {
    mark_line_rest();
  } else {
    reading.mark_lo = SIZE_MAX;
  }
  reading.count = mf_io_change_count();
  return 0;
}

void mf_lex_strip_comment(char **text, int32_t unescape, int32_t keep_escape) {
  if (text == nullptr || *text == nullptr) return;
  std::string out;
  const char *s = *text;
  size_t n = std::strlen(s);
  std::mbstate_t st{};
  bool prev_backslash = false;
  for (size_t i = 0; i < n;) {
    size_t len = 1;
    if (mf_lexer_is_mb_allowed &&
        !(mf_io_ascii_is_plain && static_cast<unsigned char>(s[i]) < 0x80)) {
      wchar_t wc;
      size_t r = std::mbrtowc(&wc, s + i, n - i, &st);
      if (r == size_t(-1) || r == size_t(-2)) st = std::mbstate_t{};
      else if (r > 1) len = r;
    }
    if (len == 1 && s[i] == '#') {
      if (prev_backslash && unescape) {
        out.back() = '#';
        prev_backslash = false;
        i++;
        continue;
      }
      if (!(prev_backslash && keep_escape)) break;
    }
    prev_backslash = len == 1 && s[i] == '\\';
    out.append(s + i, len);
    i += len;
  }
  if (out.size() == n) return;
  char *copy = stg_strdup(out.c_str());
  if (copy == nullptr) return;
  stg_free(*text);
  *text = copy;
}

int mf_lex_compress_nl(char *text) {
  if (text == nullptr) return 0;
  int removed = 0;
  char *w = text;
  for (const char *r = text; *r; r++) {
    if (*r == '\n' && (r[1] == '\t' || r[1] == '\n' || r[1] == ' ' || r[1] == '\0')) {
      removed = 1;
      continue;
    }
    *w++ = *r;
  }
  *w = '\0';
  return removed;
}

int mf_lex_is_blank_line(const char *text) {
  if (mfc_parse_op_rec_p == nullptr || text == nullptr) return 0;
  if (mfc_parse_op_rec_p->source_col != 0 || mfc_parse_op_rec_p->source_prev_col != 0) return 0;
  for (const char *p = text; *p; p++)
    if (*p != '\n' && *p != '\v' && *p != '\f' && *p != ' ' && *p != '\t' && *p != '\r')
      return 0;
  return 1;
}

int mf_lex_column_one(int32_t column) {
  return mfc_parse_op_rec_p != nullptr && mfc_parse_op_rec_p->source_col == column ? 1 : 0;
}

const char *mf_lex_utl_printified_string(const char *text) {
  PFM_ASSERT(text != nullptr);
  size_t out = 0;
  const size_t cap = sizeof printable - 1;
  size_t n = std::strlen(text);
  std::mbstate_t st{};
  for (size_t i = 0; i < n;) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    char piece[8];
    size_t plen = 0;
    size_t step = 1;
    if (c == '\n') {
      std::memcpy(piece, "\\n", plen = 2);
    } else if (c == '\t') {
      std::memcpy(piece, "\\t", plen = 2);
    } else if (c >= 0x80 && mf_lexer_is_mb_allowed) {
      wchar_t wc;
      size_t r = std::mbrtowc(&wc, text + i, n - i, &st);
      if (r == size_t(-1) || r == size_t(-2)) break;
      if (std::iswprint(wint_t(wc))) {
        step = r;
        if (r > sizeof piece) break;
        std::memcpy(piece, text + i, plen = r);
      } else {
        plen = size_t(std::snprintf(piece, sizeof piece, "\\%03o", c));
      }
    } else if (c >= 0x20 && c < 0x7f) {
      piece[0] = char(c);
      plen = 1;
    } else {
      plen = size_t(std::snprintf(piece, sizeof piece, "\\%03o", c));
    }
    if (out + plen > cap) break;
    std::memcpy(printable + out, piece, plen);
    out += plen;
    i += step;
  }
  printable[out] = '\0';
  return printable;
}


int mf_lex_looks_like_macro_def() {
  // Only the name, the blanks behind it and two more bytes are needed.
  int complete = mf_lex_fill_linebuf_part("", 0);
  const char *p = nullptr;
  for (size_t want = 64;; want *= 2) {
    const char *full = mf_lex_full_linebuf;
    p = full;
    while (*p && !not_text_char(static_cast<unsigned char>(*p))) p++;
    while (*p == ' ' || *p == '\t') p++;
    if (complete || size_t(p - full) + 2 <= mf_flex_length(full)) break;
    complete = mf_lex_extend_linebuf(want);
  }
  int found = p[0] == '=' ||
              ((p[0] == '+' || p[0] == ':' || p[0] == '?' || p[0] == '!') && p[1] == '=');
  mf_lex_unfill_linebuf(0);
  return found ? 1 : 0;
}

int32_t mf_lex_scoped_macro_def_accepted_here() { return mf_scoped_macro_def_accepted; }

void mf_lex_claim_scoped_macro_def_accepted_here(int32_t flag) {
  mf_scoped_macro_def_accepted = flag;
}

void mf_lex_tgt_scoped_token() {
  building_list_of_file_names = 0;
  if (mf_lexer_verbosity > 3)
    imsg_print_cold(IMSG_TRACE, &_mf_lex_utl_karsel_msg_table, MSG_FOUND_TGT_SCOPED);
}

void mf_lex_utl_BOM_handler(const char *text) {
  if (mf_getenv("ORVA_TVICK_OTHER_ENCODING") == nullptr) return;
  if (text == nullptr || std::strlen(text) < 3) return;
  if (mf_io_push_str(text + 3) != KS_ST_OK) mf_parser_failed = 1;
  mf_io_unput('\n');
}

namespace {

const char kBom[] = "\xEF\xBB\xBF";

bool is_name_separator(char c) {
  return c == ' ' || c == '\\' || c == '\n' || c == '\t' || c == '=' || c == ':' || c == '?' ||
         c == '!';
}

// Strips leading white space of name and cuts it at its first separator; with op "+=" a '+'
// right before a cutting '=' goes too.
void trim_macro_name(std::string &name, int32_t op) {
  size_t b = 0;
  while (b < name.size() && std::isspace(static_cast<unsigned char>(name[b]))) b++;
  name.erase(0, b);
  size_t i = 0;
  while (i < name.size() && !is_name_separator(name[i])) i++;
  if (i < name.size() && op == BLDR_MACRO_OP_APPEND && name[i] == '=' && i > 0 &&
      name[i - 1] == '+')
    i--;
  name.resize(i);
}

// The sun dialect's value starts at its first non-blank: blanks, TABs and backslash-newline
// pairs before it are dropped from the input.
void skip_sun_value_indentation() {
  for (;;) {
    wchar_t wc = mf_io_get_wc();
    if (wc == L' ' || wc == L'\t') continue;
    if (wc == L'\\') {
      wchar_t next = mf_io_get_wc();
      if (next == L'\n') continue;
      give_back(next);
    }
    give_back(wc);
    return;
  }
}

}  // namespace

int mf_lex_macro_def(const char *text, int32_t op) {
  action_trace trace("mf_lex_macro_def");
  const uint32_t v = variant();
  // A byte-order mark in front of the name belongs to the file, not to the name.
  if (std::strncmp(text, kBom, 3) == 0) text += 3;

  stg_free(mf_macro_definition.name);
  stg_free(mf_macro_definition.value);
  mf_macro_definition.name = mf_macro_definition.value = nullptr;

  std::string name;
  if (op != BLDR_MACRO_OP_DEFINE) {
    name = text;
  } else {
    mf_lex_fill_linebuf(text);
    const char *full = mf_lex_full_linebuf;
    size_t start = std::strlen(text);
    size_t len = mf_flex_length(full);
    if (start > len) start = len;
    size_t i = start;
    while (i < len && (full[i] == ' ' || full[i] == '\t' ||
                       !not_text_char(static_cast<unsigned char>(full[i]))))
      i++;
    if (i == start) {
      mf_lex_unfill_linebuf(int32_t(len));
      return 0;
    }
    name.assign(full + start, i - start);
    std::string rest = i < len ? std::string(full + i + 1, len - i - 1) : std::string();
    mf_lex_unfill_linebuf(int32_t(len));
    if (!rest.empty() && mf_io_push_str(rest.c_str()) != KS_ST_OK) internal_error(MSG_PUSH_FAILED);
    mf_lex_lexing_multiline_macro_def = 1;
  }
  trim_macro_name(name, op);
  if (name.empty() && op == BLDR_MACRO_OP_DEFINE) {
    mf_lex_lexing_multiline_macro_def = 0;
    return 0;
  }

  if (v == MF_COMPAT_SUN) skip_sun_value_indentation();

  const bool swallow = v == MF_COMPAT_STD || v == MF_COMPAT_SUN;
  const char *line = mf_lex_fetch_line(1, swallow ? 1 : 0, 0, 0);
  if (line == nullptr) {
    mf_lex_lexing_multiline_macro_def = 0;
    mf_parser_failed = 1;
    return 0;
  }
  char *value = stg_strdup(line);
  char *name_copy = stg_strdup(name.c_str());
  if (value == nullptr || name_copy == nullptr) {
    stg_free(value);
    stg_free(name_copy);
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    mf_lex_lexing_multiline_macro_def = 0;
    mf_parser_failed = 1;
    return 0;
  }
  if (v == MF_COMPAT_PGNU) {
    strutl_strip_whitespace(value, 1, 0);
  } else {
    bool keep_hash = op == BLDR_MACRO_OP_DEFINE &&
                     mf_getenv("ORVA_IGNORE_ESCAPED_HASH_IN_MULTILINE_MACRO") != nullptr;
    if (!keep_hash) {
      if (v == MF_COMPAT_SUN)
        mf_lex_strip_comment(&value, 0, 1);
      else
        mf_lex_strip_comment(&value, 1, 0);
    }
    strutl_strip_whitespace(value, 1, v == MF_COMPAT_SUN ? 1 : 0);
  }
  mf_macro_definition.name = name_copy;
  mf_macro_definition.value = value;
  mf_macro_definition.op = bldr_macro_op_t(op);

  if (std::strcmp(name_copy, ".LIBPATTERNS") == 0 && std::strchr(value, '%') == nullptr)
    imsg_print_cold(IMSG_WARNING, &_mf_lex_utl_karsel_msg_table, MSG_LIBPATTERNS, value);
  if (mf_lexer_verbosity > 3) {
    imsg_print_cold(IMSG_TRACE, &_mf_lex_utl_karsel_msg_table, MSG_FOUND_MACRO_DEF);
    imsg_print_cold(IMSG_TRACE_CONT, &_mf_lex_utl_karsel_msg_table, MSG_MACRO_NAME_VALUE, name_copy,
                    value);
  }
  mf_lex_lexing_multiline_macro_def = 0;
  return 1;
}
