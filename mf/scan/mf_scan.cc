#include "mf/scan/mf_scan.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "ks/pfm.h"
#include "mf/mf_io.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parser.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"

char *shr_text = nullptr;
size_t shr_text_buf_size = 0;
wchar_t *shr_wtext = nullptr;

namespace {

constexpr int32_t kInitialCapacity = 64000;
constexpr int32_t kMaxRead = 8192;
constexpr wchar_t kByteOrderMark = 0xFEFF;

uint64_t epoch = 0;       // see mf_scan_epoch
uint64_t chars_read = 0;  // see mf_scan_chars_read

int32_t capacity(const mf_scanner_t *s) { return s->buf_size - 2; }

void ensure_buffer(mf_scanner_t *s) {
  if (s->buf) return;
  const mf_scan_tables_t &t = *s->tables;
  s->n_classes = std::max(static_cast<int32_t>(t.meta.size()), t.nul_class + 1);
  try {
    s->buf.reset(new wchar_t[static_cast<size_t>(kInitialCapacity) + 2]);
  } catch (const std::bad_alloc &) {
    const std::string message =
        std::string("out of dynamic memory in ") + s->prefix + "yy_create_buffer()";
    mf_scan_fatal(message.c_str());
  }
  s->buf_size = kInitialCapacity + 2;
  s->buf[0] = s->buf[1] = L'\0';
  s->n_chars = 0;
  s->pos = 0;
  s->at_bol = true;
  s->eof_pending = false;
}

int32_t char_class(const mf_scan_tables_t &t, wchar_t c) {
  if (c == L'\0') return t.nul_class;
  if (static_cast<uint32_t>(c) > 255) return t.ec[1];
  return t.ec[static_cast<size_t>(c)];
}

// Moves the current match read so far to the start of the buffer and reads more input behind
// it: the number of characters read, 0 at the end of the input. text, cp and last_pos are
// positions in the buffer and move with the data. *kept_part, when not 0, is how many characters
// at the end of the buffer a refill of the input's own reading holds already: the first read goes
// on as that refill would have (and the next begins afresh).
int32_t refill(mf_scanner_t *s, int32_t *text, int32_t *cp, int32_t *last_pos,
               int32_t *kept_part) {
  const int32_t move = s->n_chars - *text;
  if (*text > 0 && move > 0)
    std::memmove(s->buf.get(), s->buf.get() + *text, sizeof(wchar_t) * static_cast<size_t>(move));
  *cp -= *text;
  if (*last_pos >= 0) *last_pos -= *text;
  *text = 0;
  s->n_chars = move;
  int32_t room = capacity(s) - s->n_chars - 1;
  while (room <= 0) {
    int32_t grown = capacity(s) * 2;
    if (grown <= 0) grown = capacity(s) + capacity(s) / 8;
    try {
      std::unique_ptr<wchar_t[]> bigger(new wchar_t[static_cast<size_t>(grown) + 2]);
      std::memcpy(bigger.get(), s->buf.get(), sizeof(wchar_t) * static_cast<size_t>(s->n_chars));
      bigger[static_cast<size_t>(s->n_chars)] = bigger[static_cast<size_t>(s->n_chars) + 1] = L'\0';
      s->buf = std::move(bigger);
      s->buf_size = grown + 2;
    } catch (const std::bad_alloc &) {
      mf_scan_fatal("fatal error - scanner input buffer overflow");
    }
    room = capacity(s) - s->n_chars - 1;
  }
  int32_t n = 0;
  if (*kept_part > 0) {
    const int32_t stored = *kept_part;
    *kept_part = 0;
    n = mf_io_get_wstring_line_rest(s->buf.get() + s->n_chars - stored,
                                    std::min(room + stored, kMaxRead), stored) -
        stored;
  }
  if (n <= 0) n = s->io.get_line(s->buf.get() + s->n_chars, room < kMaxRead ? room : kMaxRead);
  if (n <= 0) return 0;
  s->n_chars += n;
  s->buf[static_cast<size_t>(s->n_chars)] = L'\0';
  s->buf[static_cast<size_t>(s->n_chars) + 1] = L'\0';
  return n;
}

void record_position() {
  mf_parse_op_rec_t *op = mfc_parse_op_rec_p;
  if (op == nullptr) return;
  op->source_line = mf_io_source_line;
  op->source_prev_col = mf_io_source_prev_col;
  op->source_col = mf_io_source_col;
  op->source_file = mf_io_source_file;
}

// The key of a (state, position) pair of the longest-match memory.
uint64_t failed_key(int64_t position, int32_t state) {
  return (static_cast<uint64_t>(position) << 24) ^ static_cast<uint64_t>(state);
}

// The characters below which the input delivers a character as its own byte, and shr_text holds
// it as that byte: every byte in a single-byte locale, ASCII in a multibyte one.
uint32_t plain_bound() { return MB_CUR_MAX == 1 ? 0x100 : 0x80; }

// The length of the multibyte form of c in shr_text: '?' stands for a character the locale cannot
// express.
size_t mb_length(wchar_t c, uint32_t plain_below) {
  if (static_cast<uint32_t>(c) < plain_below) return 1;
  char mb[MB_LEN_MAX];
  std::mbstate_t st{};
  const size_t n = std::wcrtomb(mb, c, &st);
  return n == static_cast<size_t>(-1) ? 1 : n;
}

// Fills shr_text with the multibyte form of wtext, whose first from_chars characters are there
// already as its first from_bytes bytes; length is its length in characters when the caller
// knows it holds no L'\0' before it, kUnknownLength otherwise. Returns its length in bytes.
constexpr size_t kUnknownLength = SIZE_MAX;
size_t convert_to_shr_text(const wchar_t *wtext, size_t from_chars, size_t from_bytes,
                           size_t length = kUnknownLength) {
  epoch++;
  // Characters the locale cannot express become '?', so the copy never stops short. The buffer
  // is made large enough for the longest form of every character before anything is written.
  const size_t mb_max = MB_CUR_MAX;
  const size_t wlen =
      length != kUnknownLength ? length : from_chars + std::wcslen(wtext + from_chars);
  const size_t want = wlen * mb_max + 81;
  if (shr_text == nullptr || shr_text_buf_size < want) {
    char *grown = static_cast<char *>(std::realloc(shr_text, want));
    if (grown == nullptr) mf_scan_fatal("fatal error - can't allocate shr_text for multibyte conversion");
    shr_text = grown;
    shr_text_buf_size = want;
  }
  const uint32_t plain_below = mb_max == 1 ? 0x100 : 0x80;
  char *out = shr_text + from_bytes;
  for (size_t i = from_chars; i < wlen; ++i) {
    const wchar_t c = wtext[i];
    if (static_cast<uint32_t>(c) < plain_below) {
      *out++ = static_cast<char>(c);
      continue;
    }
    char mb[MB_LEN_MAX];
    std::mbstate_t st{};
    size_t n = std::wcrtomb(mb, c, &st);
    if (n == static_cast<size_t>(-1)) {
      *out++ = '?';
    } else {
      std::memcpy(out, mb, n);
      out += n;
    }
  }
  *out = '\0';
  return static_cast<size_t>(out - shr_text);
}

void forget_failed(mf_scanner_t *s) {
  s->failed.clear();
  s->origin = 0;
  s->failed_max = -1;
}

}  // namespace

void mf_scan_set_rule_position() {
  mf_parse_op_rec_t *op = mfc_parse_op_rec_p;
  if (op == nullptr) return;
  op->statement_line = mf_io_source_line;
  op->statement_file = mf_io_source_file;
}

void mf_scan_fatal(const char *message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", message);
  pfm_exit(2);
}

bool mf_scan_tracing() { return mf_utl_should_trace("mf_lexer", 3); }

int mf_scan_trace_return(int token) {
  if (mf_scan_tracing()) {
    std::printf("  returning %s\n", mf_parser_token_name(token));
    std::fflush(stdout);
  }
  return token;
}

void mf_scan_wcs_to_shr_text(const wchar_t *wtext) { convert_to_shr_text(wtext, 0, 0); }

uint64_t mf_scan_epoch() { return epoch; }

uint64_t mf_scan_chars_read() { return chars_read; }

uint64_t mf_scan_restarts = 0;

void mf_scan_restart_all() { mf_scan_restarts++; }

void mf_scan_restart(mf_scanner_t *s) {
  s->restarted_at = mf_scan_restarts;
  ensure_buffer(s);
  forget_failed(s);
  epoch++;
  s->held = s->match_held = mf_scan_held_t{};
  s->match_kept_bytes = 0;
  s->n_chars = 0;
  s->pos = 0;
  s->buf[0] = s->buf[1] = L'\0';
  s->at_bol = true;
  s->eof_pending = false;
  s->leng = 0;
}

namespace {

// Makes room in the buffer for at least want more characters behind n_chars (text, cp and
// last_pos keep their places).
void make_room(mf_scanner_t *s, int32_t want) {
  while (capacity(s) - s->n_chars - 1 < want) {
    int32_t grown = capacity(s) * 2;
    if (grown <= 0) grown = capacity(s) + capacity(s) / 8;
    try {
      std::unique_ptr<wchar_t[]> bigger(new wchar_t[static_cast<size_t>(grown) + 2]);
      std::memcpy(bigger.get(), s->buf.get(), sizeof(wchar_t) * static_cast<size_t>(s->n_chars));
      s->buf = std::move(bigger);
      s->buf_size = grown + 2;
    } catch (const std::bad_alloc &) {
      mf_scan_fatal("fatal error - scanner input buffer overflow");
    }
  }
}

// The state the automaton goes to from state on a character of class cls.
[[gnu::always_inline]] inline int32_t step(const mf_scan_tables_t &t, int32_t state, int32_t cls) {
  const int32_t states = static_cast<int32_t>(t.accept.size());
  while (t.chk[static_cast<size_t>(t.base[static_cast<size_t>(state)] + cls)] != state) {
    state = t.def[static_cast<size_t>(state)];
    if (state >= states) cls = t.meta[static_cast<size_t>(cls)];
  }
  return t.nxt[static_cast<size_t>(t.base[static_cast<size_t>(state)] + cls)];
}

// Gives moves room for one row more (rows of zeros); false when memory runs out.
bool reserve_row(mf_scanner_t *s) {
  if (s->n_rows < s->row_capacity) return true;
  const size_t width = static_cast<size_t>(s->n_classes);
  const int32_t capacity = s->row_capacity > 0 ? s->row_capacity * 2 : 16;
  auto *grown = static_cast<uint16_t *>(
      std::realloc(s->moves.get(), static_cast<size_t>(capacity) * width * sizeof(uint16_t)));
  if (grown == nullptr) return false;
  (void)s->moves.release();
  s->moves.reset(grown);
  std::memset(grown + static_cast<size_t>(s->row_capacity) * width, 0,
              static_cast<size_t>(capacity - s->row_capacity) * width * sizeof(uint16_t));
  s->row_capacity = capacity;
  return true;
}

// Makes the table of moves at the scanner's first move, so that a scanner that never matches (the
// dialects a run does not read) takes no memory for it. Tried once: left without the table when a
// state number or row position does not fit it or memory runs out, and every move is walked.
// True when the table is there.
[[gnu::noinline]] bool make_moves(mf_scanner_t *s, const mf_scan_tables_t &t) {
  if (s->moves_tried) return false;
  s->moves_tried = true;
  const size_t states = t.accept.size();
  if (states >= UINT16_MAX || (states + 1) * static_cast<size_t>(s->n_classes) >= UINT32_MAX)
    return false;
  s->row_of.reset(static_cast<uint32_t *>(std::calloc(states, sizeof(uint32_t))));
  if (s->row_of == nullptr || !reserve_row(s)) {
    s->row_of.reset();
    return false;
  }
  s->n_rows = 1;  // the row of zeros
  return true;
}

// The move from state on class cls, not known yet: walked, and kept in the state's row (given
// to it now when it has none).
[[gnu::noinline]] int32_t learn_move(mf_scanner_t *s, const mf_scan_tables_t &t, int32_t state,
                                     int32_t cls) {
  const int32_t next = step(t, state, cls);
  uint32_t &row = s->row_of[static_cast<size_t>(state)];
  if (row == 0) {
    if (!reserve_row(s)) return next;
    row = static_cast<uint32_t>(s->n_rows++) * static_cast<uint32_t>(s->n_classes);
  }
  s->moves[row + static_cast<uint32_t>(cls)] = static_cast<uint16_t>(next);
  return next;
}

// The state the automaton goes to from state on a character of class cls, known from an earlier
// move where it can be.
[[gnu::always_inline]] inline int32_t move(mf_scanner_t *s, const mf_scan_tables_t &t,
                                           int32_t state, int32_t cls) {
  if (!s->row_of && !make_moves(s, t)) return step(t, state, cls);
  const uint16_t known =
      s->moves[s->row_of[static_cast<size_t>(state)] + static_cast<uint32_t>(cls)];
  return known != 0 ? known : learn_move(s, t, state, cls);
}

// The characters of the input's push-back stack as a match in place reads them, from the top
// down, without taking them: behind a complete line at the bottom, the next line of the file
// goes below.
class StackReader {
 public:
  StackReader() { refresh(); }
  // The character at offset at below the top, or -1 where it is not there as a plain character
  // (it needs conversion, or lies beyond the stack and its line cannot go below).
  int32_t at(size_t offset) {
    if (offset >= depth_) {
      if (offset > depth_ || !mf_io_load_line_below()) return -1;
      refresh();
      if (offset >= depth_) return -1;
    }
    const unsigned b = top_[-static_cast<ptrdiff_t>(offset)];
    return b == 0 || b >= plain_below_ ? -1 : static_cast<int32_t>(b);
  }
  // Copies the first n characters, all read by at() already as plain characters, to dest.
  void copy(wchar_t *dest, size_t n) const {
    for (size_t i = 0; i < n; i++) dest[i] = static_cast<wchar_t>(top_[-static_cast<ptrdiff_t>(i)]);
  }

 private:
  void refresh() {
    depth_ = mf_io_pushback_depth();
    top_ = reinterpret_cast<const unsigned char *>(mf_io_pushback_data()) + depth_ - 1;
    plain_below_ = mf_io_plain_byte_bound();
  }
  const unsigned char *top_ = nullptr;
  size_t depth_ = 0;
  unsigned plain_below_ = 0;
};

// Remembers the (state, position) pairs that the automaton met in vain beyond the accepting
// state it fell back to: it walks that stretch again from last_state, the character at offset i
// from the start of the match being char_at(i).
template <class CharAt>
void remember_failed(mf_scanner_t *s, int32_t last_state, int32_t last_pos, int32_t scanned_to,
                     CharAt char_at) {
  const mf_scan_tables_t &t = *s->tables;
  const int32_t jam = static_cast<int32_t>(t.accept.size()) - 1;
  int32_t walk = last_state;
  for (int32_t at = last_pos; at + 1 < scanned_to; at++) {
    walk = move(s, t, walk, char_class(t, char_at(at)));
    if (walk == jam) break;
    const int64_t position = s->origin + (at + 1);
    s->failed.insert(failed_key(position, walk));
    if (position > s->failed_max) s->failed_max = position;
  }
}

// The steps after a match of rule act over buf[text, cp): the multibyte copy, the line-start
// flag, the position, the trace. no_nul: the match holds no L'\0'. Returns act.
int finish_match(mf_scanner_t *s, int32_t text, int32_t cp, int act, bool no_nul = false) {
  s->buf[static_cast<size_t>(cp)] = L'\0';
  s->leng = cp - text;
  shr_wtext = s->buf.get() + text;
  // A kept part that the match holds whole is in shr_text already, unless shr_text was written
  // since it was kept.
  const mf_scan_held_t &held = s->match_held;
  const size_t length = no_nul ? static_cast<size_t>(s->leng) : kUnknownLength;
  if (held.chars > 0 && s->leng >= held.chars && held.epoch == epoch) {
    s->match_kept_bytes = held.bytes;
    s->match_bytes =
        convert_to_shr_text(shr_wtext, static_cast<size_t>(held.chars), held.bytes, length);
  } else {
    s->match_kept_bytes = 0;
    s->match_bytes = convert_to_shr_text(shr_wtext, 0, 0, length);
  }
  s->match_start = text;
  s->match_epoch = epoch;
  if (s->leng > 0) s->at_bol = s->buf[static_cast<size_t>(cp) - 1] == L'\n';
  s->n_chars = cp;
  s->buf[static_cast<size_t>(cp) + 1] = L'\0';
  s->pos = cp;
  s->origin += s->leng;
  if (s->io.change_count != nullptr) s->count_after = s->io.change_count();
  if (s->no_position == nullptr || s->no_position[act] == 0) record_position();
  if (s->rule_names != nullptr && s->rule_names[act] != nullptr && mf_scan_tracing()) {
    std::printf("%s rule: %s  [\"%s\"]\n", s->dialect, s->rule_names[act],
                mf_lex_utl_printified_string(shr_text));
    std::fflush(stdout);
  }
  return act;
}

// One match in place: the automaton reads the characters waiting in the input's push-back stack
// without taking them, and only the match is read at the end, so the lookahead never has to go
// back. -1 when the match needs a character the stack does not hold as a plain character:
// nothing was read, and the match is to be made the ordinary way.
int match_in_place(mf_scanner_t *s) {
  const mf_scan_tables_t &t = *s->tables;
  const int32_t jam = static_cast<int32_t>(t.accept.size()) - 1;
  // No pair lies beyond the highest position remembered: past it the memory is not asked.
  const int64_t recall_to = s->failed.empty() ? -1 : s->failed_max;
  StackReader input;
  // A kept part is read already: the stack holds what follows it, read from offset at.
  const mf_scan_held_t &held = s->match_held;
  const int32_t start = held.chars;
  int32_t state = start > 0 ? held.state : s->match_start_state;
  int32_t last_state = start > 0 ? held.last_state : 0;
  int32_t last_pos = start > 0 ? held.last_pos : -1;
  const int64_t origin = s->origin + start;
  int32_t at = 0;
  int act = 0;
  for (;;) {
    const int32_t c = input.at(static_cast<size_t>(at));
    if (c < 0) return -1;
    // A byte-order mark at a line start is taken alone: in place only its three bytes in a
    // single-byte locale (elsewhere they are no plain characters).
    if (at == 0 && start == 0 && s->at_bol && s->bom_rule != 0 && c == 0xEF) {
      const int32_t second = input.at(1), third = input.at(2);
      if (second < 0 || third < 0) return -1;
      if (second == 0xBB && third == 0xBF) {
        act = s->bom_rule;
        at = 3;
        break;
      }
    }
    const int32_t cls = char_class(t, static_cast<wchar_t>(c));
    if (t.accept[static_cast<size_t>(state)] != 0) {
      last_state = state;
      last_pos = start + at;
    }
    // A pair met in vain before: nothing beyond it is accepted, as if the automaton jammed here.
    if (origin + at <= recall_to && s->failed.contains(failed_key(origin + at, state))) break;
    state = move(s, t, state, cls);
    ++at;
    if (state == jam) break;
  }
  int32_t cp = start + at;
  chars_read += static_cast<uint64_t>(at);
  if (act == 0) {
    if (cp == start) return -1;
    const int32_t scanned_to = cp;
    act = t.accept[static_cast<size_t>(state)];
    if (act == 0) {
      if (last_pos < 0) return -1;
      cp = last_pos;
      act = t.accept[static_cast<size_t>(last_state)];
      if (act > 0 && act <= t.num_rules && s->io.change_count != nullptr)
        remember_failed(s, last_state, last_pos, scanned_to, [&input, s, start](int32_t i) {
          return i < start ? s->buf[static_cast<size_t>(i)]
                           : static_cast<wchar_t>(input.at(static_cast<size_t>(i - start)));
        });
    }
    if (act <= 0 || act > t.num_rules) return -1;
    if (s->trailing != nullptr && s->trailing[act] != 0) cp -= s->trailing[act];
  }
  // Only the match is read; what the automaton looked at behind it stays in the input. A match
  // that ends inside the kept part gives the rest of it back.
  s->pos = 0;
  if (cp < start) {
    for (int32_t i = start - 1; i >= cp; --i) s->io.unput(s->buf[static_cast<size_t>(i)]);
    return finish_match(s, 0, cp, act, true);
  }
  s->n_chars = start;
  make_room(s, cp - start + 2);
  wchar_t *const dest = s->buf.get() + start;
  input.copy(dest, static_cast<size_t>(cp - start));
  mf_io_consume(static_cast<size_t>(cp - start));
  return finish_match(s, 0, cp, act, true);
}

// One ordinary match over the scanner's buffer, refilled from the input; the lookahead goes back
// to the input afterwards.
int match(mf_scanner_t *s) {
  const mf_scan_tables_t &t = *s->tables;
  const int32_t states = static_cast<int32_t>(t.accept.size());
  const int32_t jam = states - 1;
  const int64_t recall_to = s->failed.empty() ? -1 : s->failed_max;

  int32_t text = s->pos;
  int32_t cp = text;
  int32_t state = s->match_start_state;
  int32_t last_state = 0;
  int32_t last_pos = -1;
  // The ordinary match reads the input in refills from the match's start, and where they end
  // decides when an invalid character behind them is met and reported. A kept part is read
  // already: the match goes on behind it, with the refill that would read its end; where room
  // for a whole refill behind it is lacking, it goes back to the input to be read again.
  int32_t kept_part = 0;
  const mf_scan_held_t &held = s->match_held;
  if (held.chars > 0) {
    if (s->pos == 0 && s->n_chars == held.chars &&
        capacity(s) - held.chars >= MF_IO_WSTRING_LINE_MAX) {
      cp = held.chars;
      state = held.state;
      last_state = held.last_state;
      last_pos = held.last_pos;
      kept_part = held.refill_part;
    } else {
      for (int32_t i = held.chars - 1; i >= 0; --i) s->io.unput(s->buf[static_cast<size_t>(i)]);
      s->n_chars = s->pos = 0;
      s->match_held.chars = 0;
      text = cp = 0;
    }
  }
  const int32_t read_from = cp;
  int act = 0;
  bool bom = false;
  bool fell_back = false;
  for (;;) {
    if (cp == s->n_chars) {
      if (!s->eof_pending && refill(s, &text, &cp, &last_pos, &kept_part) > 0) continue;
      s->eof_pending = true;
      break;
    }
    const wchar_t c = s->buf[static_cast<size_t>(cp)];
    if (cp == text && s->at_bol && s->bom_rule != 0) {
      // A byte-order mark at a line start is taken alone, however long a name would be: one
      // wide character in a multibyte locale, its three bytes in a single-byte one.
      int32_t mark = 0;
      if (c == kByteOrderMark) {
        mark = 1;
      } else if (c == 0xEF) {
        const wchar_t *p = s->buf.get() + cp;
        if (s->n_chars - cp >= 3 && p[1] == 0xBB && p[2] == 0xBF) mark = 3;
      }
      if (mark > 0) {
        act = s->bom_rule;
        cp = text + mark;
        bom = true;
        break;
      }
    }
    int32_t cls = char_class(t, c);
    if (t.accept[static_cast<size_t>(state)] != 0) {
      last_state = state;
      last_pos = cp;
    }
    // A pair met in vain before: nothing beyond it is accepted, as if the automaton jammed here.
    const int64_t position = s->origin + (cp - text);
    if (position <= recall_to && s->failed.contains(failed_key(position, state))) break;
    state = move(s, t, state, cls);
    ++cp;
    if (state == jam) break;
  }
  const int32_t scanned_to = cp;  // where the automaton stopped
  chars_read += static_cast<uint64_t>(cp - read_from);

  if (!bom) {
    if (cp == text) {
      // The end of the input: ready for a later parse.
      mf_scan_restart(s);
      std::free(shr_text);
      shr_text = nullptr;
      shr_text_buf_size = 0;
      shr_wtext = nullptr;
      return 0;
    }
    act = t.accept[static_cast<size_t>(state)];
    if (act == 0) {
      if (last_pos < 0) mf_scan_fatal("fatal flex scanner internal error--no action found");
      cp = last_pos;
      act = t.accept[static_cast<size_t>(last_state)];
      fell_back = true;
    }
    if (act <= 0 || act > t.num_rules) mf_scan_fatal("fatal flex scanner internal error--no action found");
    if (s->trailing != nullptr && s->trailing[act] != 0) cp -= s->trailing[act];
  }

  // The pairs read beyond the last accepting state, which the match fell back to, were met in
  // vain.
  if (fell_back && s->io.change_count != nullptr)
    remember_failed(s, last_state, last_pos - text, scanned_to - text,
                    [s, text](int32_t at) { return s->buf[static_cast<size_t>(text + at)]; });

  // The lookahead goes back to the input, last character first, before its first character is
  // overwritten by the end mark of the match.
  const bool had_lookahead = cp < s->n_chars;
  for (int32_t i = s->n_chars - 1; i >= cp; --i) s->io.unput(s->buf[static_cast<size_t>(i)]);
  if (had_lookahead) s->eof_pending = false;
  return finish_match(s, text, cp, act);
}

}  // namespace

int mf_scan_next(mf_scanner_t *s) {
  if (!s->started) {
    s->started = true;
    if (s->io.get_line == nullptr) s->io.get_line = mf_io_get_wstring_line;
    if (s->io.unput == nullptr) s->io.unput = mf_io_unput_wc;
    if (s->io.change_count == nullptr && s->io.get_line == mf_io_get_wstring_line)
      s->io.change_count = mf_io_change_count;
  }
  ensure_buffer(s);

  // A kept part begins the match.
  s->match_held.chars = 0;
  if (s->held.chars > 0) {
    s->match_held = s->held;
    s->held.chars = 0;
  }
  s->match_start_state = 1 + (s->at_bol ? 1 : 0);

  // The memory of pairs met in vain holds only while the input is as the last match left it
  // (a kept part went back to the input, as far as the memory knows).
  if (s->io.change_count == nullptr || s->io.change_count() != s->count_after ||
      s->origin > s->failed_max || s->match_held.chars > 0)
    forget_failed(s);

  // Over the makefile input, with nothing of it held in the buffer but a kept part, a match is
  // first tried in place.
  if (s->io.get_line == mf_io_get_wstring_line && s->io.unput == mf_io_unput_wc &&
      s->n_chars - s->pos == s->match_held.chars &&
      (s->match_held.chars == 0 || s->match_held.plain) && !s->eof_pending) {
    const int rule = match_in_place(s);
    if (rule >= 0) return rule;
  }
  return match(s);
}

int mf_scan_hold(mf_scanner_t *s, size_t bytes) {
  // Only over the makefile input, right after the match, inside a line: the next match then
  // starts in the state a match inside a line starts in.
  if (bytes == 0 || s->held.chars > 0 || !s->buf || s->eof_pending || s->at_bol ||
      s->io.get_line != mf_io_get_wstring_line || s->io.unput != mf_io_unput_wc ||
      s->io.change_count == nullptr || epoch != s->match_epoch)
    return 0;
  const mf_scan_tables_t &t = *s->tables;
  const int32_t jam = static_cast<int32_t>(t.accept.size()) - 1;
  const int32_t inside_line = 1;
  // The automaton walks the part as the next match would; from where the match's own kept part
  // left it, when the match began where the next one will.
  mf_scan_held_t part;
  part.state = inside_line;
  const mf_scan_held_t &before = s->match_held;
  if (before.chars > 0 && before.chars <= s->leng && before.bytes <= bytes &&
      s->match_start_state == inside_line) {
    part = before;
  }
  const wchar_t *w = s->buf.get() + s->match_start;
  const uint32_t plain_below = plain_bound();
  const uint32_t stack_plain_below = mf_io_plain_byte_bound();
  while (part.bytes < bytes && part.chars < s->leng) {
    const wchar_t c = w[part.chars];
    if (c == L'\0') return 0;
    if (static_cast<uint32_t>(c) >= stack_plain_below) part.plain = false;
    if (t.accept[static_cast<size_t>(part.state)] != 0) {
      part.last_state = part.state;
      part.last_pos = part.chars;
    }
    part.state = move(s, t, part.state, char_class(t, c));
    if (part.state == jam) return 0;
    part.bytes += mb_length(c, plain_below);
    part.chars++;
    part.refill_part =
        c == L'\n' || part.refill_part + 1 == MF_IO_WSTRING_LINE_MAX ? 0 : part.refill_part + 1;
    chars_read++;
  }
  if (part.bytes != bytes) return 0;
  if (s->match_start > 0)
    std::memmove(s->buf.get(), w, sizeof(wchar_t) * static_cast<size_t>(part.chars));
  s->n_chars = part.chars;
  s->pos = 0;
  s->buf[static_cast<size_t>(part.chars)] = s->buf[static_cast<size_t>(part.chars) + 1] = L'\0';
  part.epoch = epoch;
  s->held = part;
  return 1;
}
