#include "mf/mf_lex_tok.h"

#include <glob.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ks/imsg.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "bld/bldr_tgt.h"
#include "mf/bldr_opts.h"
#include "mf/mf.h"
#include "mf/mf_flex.h"
#include "mf/mf_io.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parse_utl.h"
#include "mf/mf_tgt.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"

char *mf_file_name = nullptr;
char *mf_special_tgt_name = nullptr;
char *mf_script_line = nullptr;
char *mf_vpath_pattern = nullptr;
list_handle_t mf_vpath_dir_list = LIST_HANDLE_NULL;

namespace {

constexpr const char *kModule = "mf/mf_lex_tok";

uint32_t variant() { return mf_parse_compat_variant(); }
bool is_gnu_like() { return variant() == MF_COMPAT_GNU || variant() == MF_COMPAT_PGNU; }

bool tracing() { return mf_lexer_verbosity > 3; }

void trace(const char *format) {
  if (tracing()) imsg_print_cold(IMSG_TRACE, format, -1);
}

void trace_text(const char *what, const char *text) {
  if (!tracing()) return;
  imsg_print_cold(IMSG_TRACE, "%s", -1, what);
  imsg_print_cold(IMSG_TRACE_CONT, "%s\n", -1, mf_lex_utl_printified_string(text));
}

stg_area_t area() { return mfc_mf_stg_area != STG_AREA_NULL ? mfc_mf_stg_area : STG_AREA_HEAP; }

// Script lines handed to the grammar while the lexer holds them, the latest last.
bool holding_script_lines = false;
std::vector<char *> held_script_lines;

// File names given back by the grammar, for the names that follow: a name's storage is reused
// for one of at most its length (its storage may be larger). Each size has a chain linked
// through the first bytes of the names; a name too short to hold the link is not kept.
struct RecycledNames {
  static constexpr size_t kMaxSize = 128;   // bytes with the NUL; longer names are not kept
  static constexpr size_t kSlack = 16;      // how much larger a reused name may be
  stg_area_t area = STG_AREA_NULL;          // the area they belong to
  char *by_size[kMaxSize + 1] = {};

  void forget() {
    area = STG_AREA_NULL;
    std::fill(std::begin(by_size), std::end(by_size), nullptr);
  }
  void give(char *name, stg_area_t in) {
    const size_t size = std::strlen(name) + 1;
    if (in == STG_AREA_HEAP || size < sizeof(char *) || size > kMaxSize) return;
    if (in != area) {
      forget();
      area = in;
    }
    std::memcpy(name, &by_size[size], sizeof(char *));
    by_size[size] = name;
  }
  char *take(size_t size, stg_area_t in) {
    if (in != area) return nullptr;
    for (size_t s = size < sizeof(char *) ? sizeof(char *) : size;
         s <= kMaxSize && s <= size + kSlack; ++s) {
      if (char *name = by_size[s]) {
        std::memcpy(&by_size[s], name, sizeof(char *));
        return name;
      }
    }
    return nullptr;
  }
};
RecycledNames recycled_names;

char *copy(std::string_view text) {
  if (char *c = recycled_names.take(text.size() + 1, area())) {
    std::memcpy(c, text.data(), text.size());
    c[text.size()] = '\0';
    return c;
  }
  char *c = stg_area_strndup(area(), text.data(), text.size());
  if (c == nullptr) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    PFM_PANIC();
  }
  return c;
}

std::string_view strip(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' ||
                        s.front() == '\v' || s.front() == '\f' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' ||
                        s.back() == '\v' || s.back() == '\f' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// Reports a failure of the current line: the position line and the message, and marks the
// parse failed.
[[gnu::cold]] void fail(const std::string &message) {
  mf_parser_failed = 1;
  mf_parse_print_position();
  if (!message.empty()) imsg_print_cold(IMSG_ERROR_CONT, "%s", -1, message.c_str());
}

// Reports the reference front + rest as a circular definition and the line as failed.
[[gnu::cold]] void circular_definition(std::string_view front, std::string_view rest) {
  const std::string shown = std::string(front) + std::string(rest);
  imsg_print_cold(IMSG_INFO, "Circular definition for macro \"%s\"\n", -1, shown.c_str());
  fail("");
}

// Doubles every "$" of text. Out of line: only the gnu dialect asks for it, and rarely.
[[gnu::noinline]] void double_dollars(std::string *text) {
  std::string doubled;
  for (char c : *text) {
    doubled.push_back(c);
    if (c == '$') doubled.push_back('$');
  }
  text->swap(doubled);
}

[[noreturn]] void push_failed() {
  imsg_print_cold(IMSG_ERROR, "Unable to push text into input buffer.\n", -1);
  PFM_PANIC();
}

void push(const char *text) {
  if (mf_io_push_str(text) != 0) push_failed();
}

// The references of the recursion guard, found by the hash of their text and its length, so
// that checking a text against the guard costs the length of the text, not the length of the
// guard. A reference is kept as the name part in front of its "$" (which holds no "$") and the
// reference proper; a long name part is kept by its hash only, so that a name that grows with
// every reference it holds does not make the guard grow with the square of its length.
//
// The entries lie in one array in the order noted, their texts in one buffer, and an open-
// addressed index of small slots finds them by key: a token of many references makes no
// allocation per reference, and a check reads one slot run and the entries it names instead of
// a bucket and a chain of nodes spread over the heap.
struct GuardIndex {
  struct Entry {
    uint64_t key;
    uint64_t name_hash;
    size_t name_len;
    size_t text_at;   // in texts: the name part when it is kept, then the reference proper
    size_t ref_len;
    // The bytes of the name part kept in texts: all of it when short, else none.
    size_t kept_len() const { return name_len <= kNameKept ? name_len : 0; }
  };
  // A slot of the index: the high half of an entry's key and its place in entries plus one; 0
  // is an empty slot.
  struct Slot {
    uint32_t tag;
    uint32_t place;
  };
  static constexpr size_t kNameKept = 256;
  std::vector<Entry> entries;  // in the order noted
  std::string texts;
  std::vector<Slot> slots;     // a power of two of them, at most half used
  // A reference was noted since the guard was last cleared (a token boundary).
  bool open = false;

  static constexpr uint64_t kStart = 14695981039346656037ull;
  static uint64_t step(uint64_t h, char c) {
    return (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  static uint64_t hash(const char *text, size_t n) {
    uint64_t h = kStart;
    for (size_t i = 0; i < n; ++i) h = step(h, text[i]);
    return h;
  }
  static uint64_t key(uint64_t h, size_t n) { return h ^ (uint64_t(n) * 0x9E3779B97F4A7C15ull); }

  static uint64_t hash_on(uint64_t h, const char *text, size_t n) {
    for (size_t i = 0; i < n; ++i) h = step(h, text[i]);
    return h;
  }
  static uint32_t tag_of(uint64_t k) { return static_cast<uint32_t>(k >> 32); }

  void link(size_t place) {
    const size_t mask = slots.size() - 1;
    const uint64_t k = entries[place].key;
    size_t s = static_cast<size_t>(k) & mask;
    while (slots[s].place != 0) s = (s + 1) & mask;
    slots[s] = Slot{tag_of(k), static_cast<uint32_t>(place + 1)};
  }
  // Notes a reference: its name part (name_len bytes at name, hashed as name_hash) and the
  // reference proper.
  void note(const char *name, size_t name_len, uint64_t name_hash, const std::string &proper) {
    if (entries.size() >= UINT32_MAX - 1) return;  // beyond what a slot can name
    const uint64_t k =
        key(hash_on(name_hash, proper.data(), proper.size()), name_len + proper.size());
    entries.push_back(Entry{k, name_hash, name_len, texts.size(), proper.size()});
    texts.append(name, entries.back().kept_len());
    texts.append(proper);
    if (2 * entries.size() > slots.size()) {
      std::vector<Slot>(std::max<size_t>(16, 2 * slots.size())).swap(slots);
      for (size_t i = 0; i < entries.size(); ++i) link(i);
    } else {
      link(entries.size() - 1);
    }
  }
  // The length of the first reference, in the guard's order, that text starts with, followed in
  // text by its end, a blank or a TAB; 0 when there is none. The first from bytes of text, which
  // hold no blank or TAB, hash as from_hash.
  // Out of line: most references are not met again before a token boundary.
  [[gnu::noinline]] size_t match(const char *text, size_t from = 0,
                                 uint64_t from_hash = kStart) const {
    if (entries.empty()) return 0;
    const size_t mask = slots.size() - 1;
    size_t found = 0;
    size_t found_place = SIZE_MAX;
    uint64_t h = from_hash;
    for (size_t n = from;; ++n) {
      const char c = text[n];
      if (c == '\0' || c == ' ' || c == '\t') {
        const uint64_t k = key(h, n);
        for (size_t s = static_cast<size_t>(k) & mask; slots[s].place != 0; s = (s + 1) & mask) {
          const size_t place = slots[s].place - 1;
          if (slots[s].tag != tag_of(k) || place >= found_place) continue;
          const Entry &e = entries[place];
          if (e.key != k || e.name_len > n) continue;
          const size_t ref_len = n - e.name_len;
          const char *kept = texts.data() + e.text_at;
          if (e.ref_len != ref_len ||
              std::memcmp(kept + e.kept_len(), text + e.name_len, ref_len) != 0)
            continue;
          const bool same_name = e.name_len <= kNameKept
                                     ? std::memcmp(kept, text, e.name_len) == 0
                                     : e.name_hash == hash(text, e.name_len);
          if (!same_name) continue;
          found = n;
          found_place = place;
        }
      }
      if (c == '\0') return found;
      h = step(h, c);
    }
  }
  // Forgets every reference; a large index gives its memory back, a small one is kept for the
  // next token.
  void clear() {
    if (slots.size() > 128) {
      std::vector<Entry>().swap(entries);
      std::string().swap(texts);
      std::vector<Slot>().swap(slots);
    } else {
      entries.clear();
      texts.clear();
      std::fill(slots.begin(), slots.end(), Slot{0, 0});
    }
    open = false;
  }
};
GuardIndex guard_index;

// The name part that the last reference in a name left with its scanner: its length, and the
// hash the recursion guard takes of it.
struct KeptName {
  size_t len = 0;
  uint64_t hash = GuardIndex::kStart;
};
KeptName kept_name;

// Whether a trace shows a reference with the name part in front of it, as read or expanded, or
// shows how far the input's push-back stack grows.
bool whole_text_traced() {
  return mf_lexer_verbosity != 0 || mf_utl_should_trace("bldr_macro", 3) ||
         mf_utl_should_trace("mf/mf_io", 4);
}

// Whether a name part in front of a reference expands to itself, so that the reference can be
// expanded alone: the BSD engine leaves a whole name as it is when the options record pairs it
// with another file-system spelling, which only Java targets do.
bool name_part_stands(uint32_t dialect) {
  if (dialect != MF_COMPAT_SGISMAKE && dialect != MF_COMPAT_SGIPMAKE &&
      dialect != MF_COMPAT_BSDNETR2)
    return true;
  const BLDR_OPTS_HANDLE h = mfc_curr_opts_handle;
  return mf_building_java_tgts == 0 &&
         (h == BLDR_OPTS_HANDLE_NULL || h->patt_lists[BLDR_OPTS_JAVA_TGTS] == LIST_HANDLE_NULL);
}

// The expansions whose text the reading is still inside, outermost first: each pushed its text
// onto the push-back stack from depth base up, and every byte read since at that depth or above
// came out of it (or was read from it and given back, or came out of an expansion of a
// reference in it). A reference read from the text of its own expansion comes out of it again
// and again without end, whether or not a token ends in between, and however the text around
// it grows.
struct OpenExpansion {
  size_t base;
  uint64_t stream_bytes;  // bytes read from the files when it was pushed
  std::string ref;        // the reference proper
};
std::vector<OpenExpansion> open_expansions;

// Forgets the expansions the reading has left, the byte last read lying at depth: those below
// whose base that byte lay, and all of them once a new line was read from a file (the stack was
// empty then).
void forget_left_expansions(size_t depth) {
  const uint64_t read = mf_io_stream_bytes();
  while (!open_expansions.empty() && (open_expansions.back().stream_bytes != read ||
                                      open_expansions.back().base > depth))
    open_expansions.pop_back();
}

// Whether ref, whose last byte was read at depth, lies in the text of an expansion of itself.
bool expanded_from_itself(const std::string &ref, size_t depth) {
  forget_left_expansions(depth);
  for (const OpenExpansion &e : open_expansions)
    if (e.ref == ref) return true;
  return false;
}

// Whether the byte read at depth came out of the text of an expansion still open; false for a
// byte of the makefile's own text.
bool read_from_expansion(size_t depth) {
  forget_left_expansions(depth);
  return !open_expansions.empty();
}

void clear_guard() {
  if (guard_index.open) guard_index.clear();
}

// Expands text over the parse's table list: true with the result.
bool expand(const char *text, std::string *out) {
  return bldr_macutl_expand_to_string(variant(), mfc_mf_macro_table_list, text, out) == KS_ST_OK;
}

// The byte offset of the first chars characters of a multibyte text (the scanners count their
// matches in characters).
size_t byte_offset(const char *text, int chars) {
  const size_t len = std::strlen(text);
  size_t off = 0;
  for (int i = 0; i < chars && off < len; ++i) off += static_cast<size_t>(strutl_mblen(text + off, len - off));
  return off;
}

// The full line buffer and its length.
std::string_view full_line() {
  return std::string_view(mf_lex_full_linebuf, mf_flex_length(mf_lex_full_linebuf));
}

// Fills the full line buffer with text and reads the rest of the line until have(buffer) says
// enough is there, or to the end of the line; the buffer grows by doubling steps, so a search
// over it stays linear. Returns 1 when the buffer holds the whole rest of the line.
template <class Have>
int fill_until(const char *text, Have have) {
  int complete = mf_lex_fill_linebuf_part(text, 0);
  for (size_t want = 64; !complete && !have(full_line()); want *= 2)
    complete = mf_lex_extend_linebuf(want);
  return complete;
}

// Whether the macro reference at the first '$' of text lies whole in text: the reference, and
// every reference nested in it that its parse steps over, is closed in text, so that parsing it
// gives what it would give with the rest of the line behind it.
bool reference_is_whole(std::string_view text) {
  const size_t dollar = text.find('$');
  if (dollar == std::string_view::npos || dollar + 1 >= text.size()) return false;
  const char open = text[dollar + 1];
  if (open != '(' && open != '{') return true;
  const char *begin = text.data();
  const char *close = strutl_find_end_delim(begin + dollar + 1, open, open == '(' ? ')' : '}');
  if (close == nullptr) return false;
  for (const char *p = begin + dollar + 2; p < close;) {
    if (*p != '$') {
      p += strutl_char_len(p);
      continue;
    }
    const char n = p[1];
    if (n != '(' && n != '{') {
      p += n == '\0' ? 1 : 2;
      continue;
    }
    const char *end = strutl_find_end_delim(p + 1, n, n == '(' ? ')' : '}');
    if (end == nullptr) return false;
    p = end + 1;
  }
  return true;
}

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> w;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) w.emplace_back(text.substr(start, i - start));
  }
  return w;
}

}  // namespace

// --- Line structure.

int mf_lex_eol(const char *text) {
  if (!must_return_eol && !building_list_of_file_names) {
    mf_scoped_macro_def_accepted = 0;
    if (variant() == MF_COMPAT_GNU && strip(text) == ";") mf_lex_single_null_build_script_allowed = 1;
    trace("Found SILENT end_of_line\n");
    clear_guard();
    return 0;
  }
  mf_scoped_macro_def_accepted = 0;
  must_return_eol = 0;
  building_list_of_file_names = 0;
  // The same line end is read again and then passes silently.
  push(text);
  trace("Found AUDIBLE end_of_line\n");
  clear_guard();
  return 1;
}

void mf_lex_audible_newline() {
  must_return_eol = 1;
  building_list_of_file_names = 0;
}

void mf_lex_single_colon() {
  trace("Found single colon\n");
  mf_lex_audible_newline();
}

void mf_lex_double_colon() {
  trace("Found double colon\n");
  mf_lex_audible_newline();
}

void mf_lex_start_str_list() {
  if (!must_return_eol) building_list_of_file_names = 1;
}

void mf_lex_white_space() { trace("Ignoring whitespace\n"); }

void mf_lex_continuation_line() { trace("Found continuation character\n"); }

void mf_lex_comment() {
  switch (variant()) {
    case MF_COMPAT_STD: mf_lex_fetch_line(1, 1, 0, 1); break;
    case MF_COMPAT_KELTO: mf_lex_fetch_line(0, 0, 0, 0); break;
    default: mf_lex_fetch_line(1, 0, 0, 1); break;
  }
  trace("Found comment\n");
}

void mf_lex_plus() {
  if (mf_lexer_verbosity > 2) imsg_print_cold(IMSG_TRACE, "Ignoring plus sign\n", -1);
}

void mf_lex_output(const char *text) {
  fail(std::string("Unrecognized character \"") + text + "\"\n");
}

// --- Names.

void mf_lex_file_name(const char *text) {
  mf_file_name = copy(strip(text));
  clear_guard();
  trace_text("Found filename: ", mf_file_name);
}

void mf_lex_file_name_with_esc_char(const char *text) {
  std::string name(strip(text));
  if (!is_gnu_like()) {
    for (size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\'))
      name.erase(at, 1);
  }
  mf_file_name = copy(name);
  clear_guard();
  trace_text("Found filename: ", mf_file_name);
}

int mf_lex_macro_file_name(const char *text, int from) {
  const size_t start = byte_offset(text, from);
  fill_until(text, [start](std::string_view l) {
    return l.find_first_of(" \t", start) != std::string_view::npos;
  });
  std::string line(full_line());
  size_t blank = line.find_first_of(" \t", start);
  if (blank != std::string::npos) {
    mf_lex_unfill_linebuf(static_cast<int32_t>(blank));
    line.resize(blank);
  }
  // Step over every reference; the name ends at the first ':', ';', '=' or '#' behind them.
  const bldr_macro_flavor_t flavor = bldr_macro_compat_to_macro_flavor(variant());
  size_t after_refs = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '$') continue;
    if (i + 1 < line.size() && line[i + 1] == '$') {
      ++i;
      after_refs = i + 1;
      continue;
    }
    size_t index = 0;
    if (bldr_macro_preparse_macro_reference(flavor, line.c_str() + i, &index) != KS_ST_OK) {
      fail("");
      return 0;
    }
    i += index;
    after_refs = i + 1;
  }
  size_t end = line.find_first_of(":;=#", after_refs);
  if (end != std::string::npos) {
    mf_lex_unfill_linebuf(static_cast<int32_t>(end));
    line.resize(end);
  }
  trace_text("Expanding macro string: \n", line.c_str());
  std::string name;
  if (!expand(line.c_str(), &name)) {
    fail("Unable to expand macro.\n");
    return 0;
  }
  mf_file_name = copy(name);
  trace_text("Found filename: ", mf_file_name);
  return 1;
}

void mf_lex_exp_mac_str(const char *text, const mf_lex_name_keeper_t *keeper) {
  // The name part in front of the reference may stay with the scanner, and the reference be
  // expanded alone, where the name part expands to itself and nothing traces the whole text. A
  // name part kept at the call before is known already: it is not read again.
  const KeptName kept = kept_name;
  kept_name = KeptName{};
  bool keeping = false;
  size_t from = 0;  // where the reference's "$" is in text, when keeping
  uint64_t name_hash = GuardIndex::kStart;
  if (keeper != nullptr && text[0] != '$') {
    size_t held = 0;
    if (keeper->kept > 0 && keeper->kept == kept.len) {
      held = kept.len;
      name_hash = kept.hash;
    }
    from = held + std::strcspn(text + held, "$ \t");
    keeping = text[from] == '$' && !whole_text_traced() && name_part_stands(variant());
    if (keeping) {
      name_hash = GuardIndex::hash_on(name_hash, text + held, from - held);
    } else {
      from = 0;
      name_hash = GuardIndex::kStart;
    }
  }
  const size_t text_len = from + std::strlen(text + from);
  // Every byte of the match came off the push-back stack, the first one read from its top.
  const size_t match_top = mf_io_pushback_depth() + text_len;
  fill_until(text + from, reference_is_whole);
  size_t index = 0;
  if (bldr_macro_preparse_macro_reference(bldr_macro_compat_to_macro_flavor(variant()),
                                          mf_lex_full_linebuf, &index) != KS_ST_OK) {
    fail("");
    return;
  }
  mf_lex_unfill_linebuf(static_cast<int32_t>(index + 1));
  index += from;
  // The reference from the name part on, or from its "$" on when keeping.
  const std::string ref(full_line());
  trace_text("Expanding macro string: \n", ref.c_str());

  // A reference met again before a token boundary is a macro that expands to itself, unless it
  // was read whole from the makefile's own text: that text ends, so it cannot come back forever
  // ("b$(E)$(E)" with E empty).
  if (!guard_index.open) {
    guard_index.open = true;
  } else if (const size_t n = guard_index.match(text, from, name_hash);
             n != 0 && (index >= text_len || read_from_expansion(match_top - 1 - index))) {
    circular_definition(std::string_view(text, n), "");
    return;
  }
  // The guard keeps the name part in front of the reference and the reference proper.
  const size_t name_len = keeping ? from : ref.find('$') != std::string::npos ? ref.find('$') : 0;
  const char *const name = keeping ? text : ref.c_str();
  const std::string proper_ref = ref.substr(name_len - from);
  // The reference lies whole in an expansion's text when its last byte does (it was read
  // last); a reference that ends beyond the match is not judged.
  if (index < text_len && expanded_from_itself(proper_ref, match_top - 1 - index)) {
    circular_definition(std::string_view(text, from), ref);
    return;
  }
  if (!keeping) name_hash = GuardIndex::hash_on(GuardIndex::kStart, name, name_len);
  guard_index.note(name, name_len, name_hash, proper_ref);

  // Expanded, the name part stands as it is: only the rest is expanded when keeping.
  std::string expansion;
  if (!expand(ref.c_str(), &expansion)) {
    fail("Unable to expand macro.\n");
    return;
  }
  const bool nothing = from == 0 && expansion.empty();
  if (nothing) clear_guard();
  if (variant() == MF_COMPAT_GNU && mf_in_filename_context && mf_expanded_simply_expanded_macro &&
      mf_getenv("ORVA_PRESERVE_DOUBLE_DOLLAR_SIMPLY_EXPANDED") != nullptr &&
      expansion.find('$') != std::string::npos)
    double_dollars(&expansion);
  mf_expanded_simply_expanded_macro = 0;
  mf_io_set_spos_column(mf_io_source_col + static_cast<int32_t>(expansion.size()) -
                        static_cast<int32_t>(ref.size()));
  if (!nothing)
    open_expansions.push_back({mf_io_pushback_depth(), mf_io_stream_bytes(), proper_ref});
  push(expansion.c_str());
  if (!keeping) return;
  // The name part goes in front of the expansion: kept by the scanner, or given back. Kept, it
  // would not move the reading column back and forth as it does given back and read again, so it
  // is kept only where that column stays clear of the line's start.
  if (mf_io_source_col >= static_cast<int32_t>(from) && keeper->keep(from) != 0) {
    kept_name = KeptName{from, name_hash};
    return;
  }
  if (mf_io_push_counted_str(text, from) != 0) push_failed();
}

void mf_lex_enter_filename_context() {
  mf_in_filename_context = 1;
  mf_expanded_simply_expanded_macro = 0;
}

void mf_lex_exit_filename_context() {
  mf_in_filename_context = 0;
  mf_expanded_simply_expanded_macro = 0;
}

void mf_lex_set_mf_expanded_simply_expanded_macro(int flag) {
  mf_expanded_simply_expanded_macro = flag;
}

int mf_lex_expanded_simply_expanded_macro() { return mf_expanded_simply_expanded_macro; }

int mf_lex_shell_cmd(const char *text, int from) {
  const size_t start = byte_offset(text, from);
  fill_until(text, [start](std::string_view l) { return l.find('`', start) != std::string_view::npos; });
  std::string line(full_line());
  const size_t close = line.find('`', start);
  if (close == std::string::npos) {
    // The rest of the logical line is dropped, so the same back quote is not read again.
    mf_lex_unfill_linebuf(static_cast<int32_t>(line.size()));
    fail("Unmatched '`'\n");
    return 0;
  }
  mf_lex_unfill_linebuf(static_cast<int32_t>(close + 1));
  line.resize(close + 1);
  std::string value;
  if (!expand(line.c_str(), &value)) {
    fail("Unable to expand macro.\n");
    return 0;
  }
  mf_file_name = copy(value);
  trace_text("Found shell command expression\n", mf_file_name);
  return 1;
}

int mf_lex_archive(const char *text, int from) {
  clear_guard();
  // The match ends with the opening parenthesis.
  const size_t open = byte_offset(text, from) - 1;
  fill_until(text, [open](std::string_view l) {
    return strutl_find_end_delim(l.data() + open, '(', ')') != nullptr;
  });
  std::string line(full_line());
  const char *close = strutl_find_end_delim(line.c_str() + open, '(', ')');
  if (close == nullptr) {
    mf_lex_unfill_linebuf(static_cast<int32_t>(line.size()));
    fail("Unmatched '('\n");
    return 0;
  }
  const size_t end = static_cast<size_t>(close - line.c_str()) + 1;
  mf_lex_unfill_linebuf(static_cast<int32_t>(end));
  std::string name = line.substr(0, end);
  if (name.find('$', open) != std::string::npos) {
    std::string expanded;
    if (!expand(name.c_str(), &expanded)) {
      fail("Unable to expand macro.\n");
      return 0;
    }
    name = expanded;
  }
  if (mf_tgt_must_split_archive_list(name.c_str(), variant())) {
    std::vector<char> lib(name.size() + 4);
    std::vector<char> members(name.size() + 4);
    if (mf_tgt_split_lib_member(name.c_str(), lib.data(), lib.size(), members.data(),
                                members.size(), variant()) != KS_ST_OK) {
      fail("Malformed archive construct \"" + name + "\"\n");
      return 0;
    }
    std::string prefix(lib.data());
    prefix.pop_back();  // "lib()" -> "lib("
    std::string joined;
    for (const std::string &m : words(members.data())) joined += prefix + m + ") ";
    if (!joined.empty()) joined.pop_back();
    name = joined;
  }
  mf_file_name = copy(name);
  if (mf_lexer_verbosity > 2) trace_text("Found archive construct: ", mf_file_name);
  return 1;
}

int mf_lex_double_dollar_file_name(const char *text) {
  bldr_macro_have_double_dollar_tgts = 1;
  const uint32_t saved = bldr_macro_preserve_double_dollar;
  bldr_macro_preserve_double_dollar = 1;
  std::string name;
  const bool ok = expand(text, &name);
  bldr_macro_preserve_double_dollar = saved;
  if (!ok) {
    fail("Unable to expand macro.\n");
    return 0;
  }
  name = std::string(strip(name));
  clear_guard();
  if (is_gnu_like() || bldr_tgt_is_java_tgt(name.c_str()) || mf_building_java_tgts) {
    // The name keeps its "$$"; the options record pairs it with its file-system spelling.
    bldr_opts_mf_pname_ht_action(name.c_str(), mfc_curr_opts_handle, 0, 0);
    char *fs_name = bldr_opts_mf_pname_ht_action(name.c_str(), mfc_curr_opts_handle, 0, 1);
    mf_file_name = copy(mf_building_java_tgts || fs_name == nullptr ? name : std::string(fs_name));
    stg_free(fs_name);
    trace_text("Found filename: ", mf_file_name);
    return 1;
  }
  // "$$" stands for "$": the name is scanned again in that form.
  char *collapsed = bldr_opts_collapse_double_dollar(name.c_str());
  if (collapsed == nullptr) {
    mf_parser_failed = 1;
    return 0;
  }
  if (name == collapsed) {
    // Nothing collapsed ("$$*" keeps its "$$"): scanned again it would come back here for ever.
    stg_free(collapsed);
    mf_file_name = copy(name);
    trace_text("Found filename: ", mf_file_name);
    return 1;
  }
  push(collapsed);
  stg_free(collapsed);
  return 0;
}

// --- Special targets.

void mf_lex_special_tgt(const char *text) {
  mf_special_tgt_name = copy(text);
  if (std::strcmp(text, ".JAVA_TGTS") == 0) mf_building_java_tgts = 1;
  trace_text("Found special target name: ", mf_special_tgt_name);
}

int mf_lex_attr_special_tgt(const char *text) {
  if (!must_return_eol) {
    mf_special_tgt_name = copy(text);
    trace_text("Found special target name: ", mf_special_tgt_name);
    return 1;
  }
  mf_file_name = copy(text);
  trace_text("Found ATTRIBUTE: ", mf_file_name);
  return 0;
}

void mf_lex_all_path_tgt(const char *name) {
  mf_special_tgt_name = copy(name);
  trace_text("Found special target name: ", mf_special_tgt_name);
}

void mf_lex_suff_path_tgt(const char *name, const char *suffix) {
  mf_file_name = copy(suffix);
  mf_special_tgt_name = copy(name);
  if (tracing()) {
    imsg_print_cold(IMSG_TRACE, "Found special target name: ", -1);
    imsg_print_cold(IMSG_TRACE_CONT, "%s %s\n", -1, mf_special_tgt_name, mf_file_name);
  }
}

void mf_lex_vpath_dir(const char *text) {
  trace_text("Found special target name: ", text);
  mf_vpath_pattern = nullptr;
  mf_vpath_dir_list = LIST_HANDLE_NULL;
  const char *fetched = mf_lex_fetch_line(1, 0, 0, 0);
  std::string rest(fetched != nullptr ? strip(fetched) : std::string_view());
  if (rest.empty()) return;
  std::string line;
  if (!expand(rest.c_str(), &line)) {
    fail("Unable to expand macro.\n");
    return;
  }
  std::string_view v = strip(line);
  const size_t blank = v.find_first_of(" \t");
  mf_vpath_pattern = copy(v.substr(0, blank));
  if (blank == std::string_view::npos) return;
  std::string_view dirs = strip(v.substr(blank));
  if (dirs.empty()) return;
  mf_vpath_dir_list = list_create(area(), 0);
  size_t i = 0;
  while (i < dirs.size()) {
    while (i < dirs.size() && (dirs[i] == ':' || dirs[i] == ' ')) ++i;
    size_t start = i;
    while (i < dirs.size() && dirs[i] != ':' && dirs[i] != ' ') ++i;
    if (i > start) list_append(mf_vpath_dir_list, copy(dirs.substr(start, i - start)));
  }
}

void mf_lex_recycle_file_name(char *name) {
  if (name != nullptr) recycled_names.give(name, area());
}

void mf_lex_forget_recycled_file_names() { recycled_names.forget(); }

// --- Script lines and include lines.

int mf_lex_script_line(const char *text) {
  const int32_t allowed = mf_lex_single_null_build_script_allowed;
  mf_lex_single_null_build_script_allowed = 0;
  mf_lex_is_build_script = 1;
  push(text);
  const uint32_t v = variant();
  const int32_t swallow = (v == MF_COMPAT_GNU || v == MF_COMPAT_PGNU || v == MF_COMPAT_KELTO) ? 0 : 1;
  const char *line = mf_lex_fetch_line(1, swallow, 1, 0);
  std::string_view s = line != nullptr ? std::string_view(line) : std::string_view();
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  trace_text("Found build script template line:\n", std::string(s).c_str());
  mf_lex_is_build_script = 0;
  if (holding_script_lines) {
    // Room for the line's pointer first, so that no allocation failure can lose the line.
    if (held_script_lines.size() == held_script_lines.capacity())
      held_script_lines.reserve(held_script_lines.capacity() < 8 ? 8 : held_script_lines.capacity() * 2);
    auto *line = static_cast<char *>(stg_malloc(s.size() + 1));
    if (line == nullptr) {
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
      PFM_PANIC();
    }
    std::memcpy(line, s.data(), s.size());
    line[s.size()] = '\0';
    held_script_lines.push_back(line);
    mf_script_line = line;
  } else {
    mf_script_line = copy(s);
  }
  return !s.empty() ? 1 : allowed;
}

void mf_lex_keep_script_lines(int on) {
  for (char *line : held_script_lines) {
    if (line == mf_script_line) mf_script_line = nullptr;
    stg_free(line);
  }
  held_script_lines.clear();
  holding_script_lines = on != 0;
}

void mf_lex_release_script_lines() {
  if (held_script_lines.size() <= 1) return;
  char *latest = held_script_lines.back();
  held_script_lines.pop_back();
  for (char *line : held_script_lines) stg_free(line);
  held_script_lines.assign(1, latest);
}

int mf_lex_script_line_expected_here() { return mf_script_line_expected; }

void mf_lex_claim_script_line_expected_here(int flag) { mf_script_line_expected = flag; }

namespace {

// Replaces each word of names by the files it matches as a wildcard (a word that matches
// nothing stays); names stay as they were when a pattern cannot be read. Out of line: only the
// gnu dialect's includes ask for it.
[[gnu::noinline]] void glob_include_names(std::string *names) {
  std::string globbed;
  for (const std::string &w : words(*names)) {
    glob_t g{};
    int rc = glob(w.c_str(), GLOB_NOCHECK, nullptr, &g);
    if (rc != 0) {
      globfree(&g);
      return;
    }
    for (size_t i = 0; i < g.gl_pathc; ++i) globbed += std::string(g.gl_pathv[i]) + " ";
    globfree(&g);
  }
  *names = std::string(strip(globbed));
}

// Puts the name of an include of kind 1 ("#include" or ".include"), 2 or 3 on list as it is to
// be searched for, with *search its search kind; false when the line is no include. Out of line:
// those kinds are the dialects' other include forms.
[[gnu::noinline]] bool searched_include(int kind, uint32_t v, const std::string &name,
                                        list_handle_t list, int32_t *search) {
  const bool quoted = !name.empty() && (name.front() == '"' || name.front() == '<' ||
                                        name.back() == '"' || name.back() == '>');
  switch (kind) {
    case 1:
      // "#include" with a bare word may be a comment in the dialects whose comments start with
      // "#"; ".include" has no such reading, so its bare name is reported by the search below.
      if (!quoted && v != MF_COMPAT_BSDNETR2) return false;
      list_append(list, copy(name));
      *search = 1;
      return true;
    case 2:
      if (quoted) {
        list_append(list, copy(name));
      } else {
        list_append(list, copy("\"" + name + "\""));
        *search = 1;
      }
      return true;
    default:
      list_append(list, copy(name));
      *search = 2;
      return true;
  }
}

}  // namespace

void mf_lex_include(int required, int kind) {
  const uint32_t v = variant();
  const char *fetched = nullptr;
  switch (v) {
    case MF_COMPAT_SGISMAKE:
    case MF_COMPAT_PGNU:
    case MF_COMPAT_SGIPMAKE:
    case MF_COMPAT_BSDNETR2:
    case MF_COMPAT_GNU:
    case MF_COMPAT_KELTO: fetched = mf_lex_fetch_line(1, 0, 0, 0); break;
    case MF_COMPAT_SUN: fetched = mf_lex_fetch_line(0, 0, 0, 0); break;
    default: fetched = mf_lex_fetch_line(1, 1, 0, 0); break;
  }
  if (kind > 4 || kind < 0) {
    fail("");
    return;
  }
  std::string line(fetched != nullptr ? strip(fetched) : std::string_view());
  std::string expanded;
  if (!expand(line.c_str(), &expanded)) {
    fail("Unable to expand macro.\n");
    return;
  }
  if ((v == MF_COMPAT_GNU || v == MF_COMPAT_PGNU) && expanded.empty()) {
    imsg_print_cold(IMSG_WARNING, "No file name for 'include'\n", -1);
    return;
  }
  if (v != MF_COMPAT_PGNU) {
    char *heap = stg_strdup(expanded.c_str());
    if (heap == nullptr) {
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
      PFM_PANIC();
    }
    mf_lex_strip_comment(&heap, v == MF_COMPAT_SUN ? 0 : 1, v == MF_COMPAT_SUN ? 1 : 0);
    expanded = std::string(strip(heap));
    stg_free(heap);
  }
  if (kind == 4 && !expanded.empty()) glob_include_names(&expanded);
  trace_text("Found include of: ", expanded.c_str());
  std::vector<std::string> names = words(expanded);
  if (names.empty()) {
    fail("Include directive with no filename\n");
    return;
  }
  list_handle_t list = list_create(area(), 0);
  int32_t search = 0;
  switch (kind) {
    case 0: list_append(list, copy(names[0])); break;
    case 1:
    case 2:
    case 3:
      if (!searched_include(kind, v, names[0], list, &search)) return;
      break;
    default:
      for (const std::string &n : names) list_append(list, copy(n));
      search = 3;
      break;
  }
  mf_io_include_files(list, required ? 0 : 1, search);
  mf_io_push_artificial_newline_in_new_include_file();
}
