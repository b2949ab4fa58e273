// Scanner runtime over wide-character input: the longest-match loop over a scanner generator's
// compressed tables, the character buffer fed line by line from the makefile input, and the steps
// that follow every match (multibyte copy of the text, the lookahead given back to the input, the
// source position, the rule trace). Over the makefile input a match is made in place where it
// can: the automaton reads the characters waiting on the input's push-back stack without taking
// them, and only the match is read, so the lookahead never has to go back. The front of a match
// that an action has taken apart can stay with the scanner as the start of the next match, with
// the automaton's state after it, instead of going back to the input to be read again. Every
// dialect scanner is one mf_scanner_t over its own tables.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

// Around the #include of a generated scanner, whose tables are all a scanner module takes from
// it: the warnings of the generated matching code, which stays unused, are silenced. Its names
// lie in a namespace of the module's own (name), within the module's unnamed one: the tables of
// each dialect then have names of their own, by which the program's symbol order brings forward
// those of the dialects a run reads.
#define MF_SCAN_GENERATED_BEGIN(name)                                \
  _Pragma("GCC diagnostic push")                                     \
  _Pragma("GCC diagnostic ignored \"-Wunused-function\"")            \
  _Pragma("GCC diagnostic ignored \"-Wunused-parameter\"")           \
  _Pragma("GCC diagnostic ignored \"-Wsign-compare\"")               \
  _Pragma("GCC diagnostic ignored \"-Wunused-variable\"")            \
  _Pragma("GCC diagnostic ignored \"-Wunused-but-set-variable\"")    \
  _Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"") \
  _Pragma("GCC diagnostic ignored \"-Wunused-macros\"")            \
  namespace {                                                        \
  namespace name {
#define MF_SCAN_GENERATED_END(name) \
  }                                 \
  using namespace name;             \
  }                                 \
  _Pragma("GCC diagnostic pop")

// A set of 64-bit keys for the longest-match memory: open addressing, linear probing. Every
// slot carries the generation it was filled in, so emptying the set is one increment however
// many keys it held; a set that grew large gives its storage back when emptied.
class mf_scan_key_set_t {
 public:
  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }

  // Whether key is in the set.
  bool contains(uint64_t key) const {
    if (count_ == 0) return false;
    for (size_t i = slot_of(key);; i = (i + 1) & mask_) {
      if (stamps_[i] != generation_) return false;
      if (keys_[i] == key) return true;
    }
  }

  // Puts key in the set (nothing when it is there). A failed allocation throws std::bad_alloc.
  void insert(uint64_t key) {
    if ((count_ + 1) * 2 > stamps_.size()) grow();
    size_t i = slot_of(key);
    for (; stamps_[i] == generation_; i = (i + 1) & mask_)
      if (keys_[i] == key) return;
    keys_[i] = key;
    stamps_[i] = generation_;
    count_++;
  }

  // Empties the set.
  void clear() {
    if (count_ == 0) return;
    count_ = 0;
    if (stamps_.size() > kKeptSlots) {
      std::vector<uint64_t>().swap(keys_);
      std::vector<uint32_t>().swap(stamps_);
      mask_ = 0;
      generation_ = 1;
    } else if (++generation_ == 0) {
      std::fill(stamps_.begin(), stamps_.end(), 0u);
      generation_ = 1;
    }
  }

 private:
  static constexpr size_t kFirstSlots = 64;
  static constexpr size_t kKeptSlots = 8192;

  size_t slot_of(uint64_t key) const {
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask_;
  }

  void grow() {
    const size_t slots = stamps_.empty() ? kFirstSlots : stamps_.size() * 2;
    std::vector<uint64_t> keys(slots);
    std::vector<uint32_t> stamps(slots, 0u);
    const size_t mask = slots - 1;
    for (size_t j = 0; j < stamps_.size(); j++) {
      if (stamps_[j] != generation_) continue;
      size_t i = static_cast<size_t>((keys_[j] * 0x9E3779B97F4A7C15ull) >> 32) & mask;
      while (stamps[i] == 1u) i = (i + 1) & mask;
      keys[i] = keys_[j];
      stamps[i] = 1u;
    }
    keys_.swap(keys);
    stamps_.swap(stamps);
    mask_ = mask;
    generation_ = 1;
  }

  std::vector<uint64_t> keys_;
  std::vector<uint32_t> stamps_;  // generation_ where the slot holds a key of the set
  size_t mask_ = 0;
  size_t count_ = 0;
  uint32_t generation_ = 1;
};

// A read-only array of the scanner generator's, referred to where it lies.
template <class T>
struct mf_scan_array_t {
  const T *data = nullptr;
  size_t count = 0;
  T operator[](size_t i) const { return data[i]; }
  size_t size() const { return count; }
};

// The automaton of one scanner, as the scanner generator compresses it: equivalence classes,
// meta-classes, default chains. Rule numbers are 1-based in the order of the rule file. The
// arrays are the generator's own, read in place rather than copied.
struct mf_scan_tables_t {
  mf_scan_array_t<uint8_t> ec;  // class of each code 0..255 (0: end of buffer)
  mf_scan_array_t<uint8_t> meta;
  mf_scan_array_t<int16_t> accept;  // rule accepted in each state, 0 for none
  mf_scan_array_t<int16_t> base;
  mf_scan_array_t<int16_t> def;
  mf_scan_array_t<int16_t> nxt;
  mf_scan_array_t<int16_t> chk;
  int32_t nul_class;            // class of a NUL character inside the data
  int32_t num_rules;            // rules of the rule file (the generator's default rule included)
};

// Tables over the generator's arrays, which must live as long as the tables.
template <size_t NEc, size_t NMeta, size_t NAcc, size_t NBase, size_t NDef, size_t NNxt,
          size_t NChk>
mf_scan_tables_t mf_scan_make_tables(const uint8_t (&ec)[NEc], const uint8_t (&meta)[NMeta],
                                     const int16_t (&accept)[NAcc], const int16_t (&base)[NBase],
                                     const int16_t (&def)[NDef], const int16_t (&nxt)[NNxt],
                                     const int16_t (&chk)[NChk], int32_t nul_class,
                                     int32_t num_rules) {
  return {{ec, NEc},          {meta, NMeta}, {accept, NAcc}, {base, NBase}, {def, NDef},
          {nxt, NNxt},        {chk, NChk},   nul_class,      num_rules};
}

// Sources of a scanner's input and destinations of its position; the makefile input layer by
// default, replaceable for a scanner that reads elsewhere.
struct mf_scan_io_t {
  // Copies up to max wide characters into dest, stopping after a newline; 0 at the end.
  int (*get_line)(wchar_t *dest, int max) = nullptr;
  // Pushes one character back so that it is read next.
  int (*unput)(wchar_t c) = nullptr;
  // A count that changes whenever the input moves (a read or a push-back); null: unknown, and
  // the scanner then keeps no knowledge of the input from one match to the next (the makefile
  // input layer's count when get_line is left to the default).
  uint64_t (*change_count)() = nullptr;
};

// Characters at the front of a match that the scanner kept from the match before (mf_scan_hold),
// with what the automaton knew after reading them.
struct mf_scan_held_t {
  int32_t chars = 0;       // how many, at the front of the buffer; 0: none
  int32_t state = 0;       // the automaton's state after them
  int32_t last_state = 0;  // the last accepting state met among them
  int32_t last_pos = -1;   // and its position, -1 for none
  size_t bytes = 0;        // length of their multibyte form, at the front of shr_text
  bool plain = true;       // all of them are plain bytes of the input (a match in place reads them)
  // How many of them the last refill of an ordinary match would read, were they given back:
  // that reading goes in refills of up to MF_IO_WSTRING_LINE_MAX characters from the match's
  // start, each ending after a newline.
  int32_t refill_part = 0;
  uint64_t epoch = 0;      // mf_scan_epoch when they were kept
};

// One scanner: its tables, the rules that need special treatment, and its buffer state.
struct mf_scanner_t {
  const char *dialect;                // the word of the rule trace ("std")
  const char *prefix = "mf_std_";     // name prefix of the scanner in its fatal messages
  const mf_scan_tables_t *tables;
  const char *const *rule_names;      // trace name per rule (index = rule number), null: none
  const uint8_t *trailing;            // trailing-context length per rule, or null
  const uint8_t *no_position;         // rules after which no position is recorded, or null
  int32_t bom_rule;                   // rule that a U+FEFF at a line start counts as, or 0
  mf_scan_io_t io;

  // Buffer state.
  // Data and two NUL end marks. Left uninitialised: input moves to the front at every refill,
  // so only the front of a large buffer is ever written, and only that part takes memory.
  std::unique_ptr<wchar_t[]> buf;
  int32_t buf_size = 0;               // characters the array holds: capacity + 2
  int32_t n_chars = 0;                // characters held
  int32_t pos = 0;                    // where the next match starts
  bool at_bol = true;
  bool eof_pending = false;
  bool started = false;
  int32_t leng = 0;                   // length of the current match
  // The automaton's moves as the matches meet them: a row of classes for each state met, the next
  // state, 0 while not yet known. The compressed tables cost a walk down a default chain per
  // character; a known move is two loads. The rows lie in the order their states were first met
  // (a run meets a small part of the states, whose rows then share a few pages), behind a row of
  // zeros that stands for the states not met yet.
  std::unique_ptr<uint16_t[], void (*)(void *)> moves{nullptr, std::free};
  // Per state where its row starts in moves; 0 (the row of zeros) while it has none.
  std::unique_ptr<uint32_t[], void (*)(void *)> row_of{nullptr, std::free};
  int32_t n_classes = 0;              // classes per row of moves
  int32_t n_rows = 0;                 // rows in use, the row of zeros included
  int32_t row_capacity = 0;           // rows moves holds
  bool moves_tried = false;           // the table of moves was made, or could not be
  uint64_t restarted_at = 0;          // mf_scan_restarts when last restarted

  // Longest-match memory. A match may read far beyond its end before the automaton gives up
  // and falls back to the last accepting state; the text it read in vain is given back and read
  // again by the next matches. The (state, position) pairs met in vain are remembered: reaching
  // one of them again, a later match stops at once, as nothing it could accept lies beyond. So
  // every pair is walked at most once and the scan stays linear. Positions count characters
  // from where the memory began; it holds while nothing but the scanner moves the input.
  mf_scan_key_set_t failed;
  int64_t origin = 0;                 // position of the next match's first character
  int64_t failed_max = -1;            // highest position remembered
  uint64_t count_after = 0;           // the input's change count when the last match ended

  // A name part kept for the next match (mf_scan_hold), and the one the current match began
  // with. A name read from references side by side grows with each of them; kept, it is not
  // read again for each.
  mf_scan_held_t held;
  mf_scan_held_t match_held;
  int32_t match_start = 0;            // the current match's first character in buf
  int32_t match_start_state = 0;      // and the state it began in
  size_t match_kept_bytes = 0;        // bytes of shr_text carried over from the held part
  size_t match_bytes = 0;             // bytes of shr_text in all
  uint64_t match_epoch = 0;           // mf_scan_epoch when the match ended
  // The token loop's copy of each match for its action, whose front stays from one match to the
  // next while a name part is kept; and how deep actions of this scanner are running.
  std::vector<char> action_text;      // NUL-terminated; grows only
  int acting = 0;
};

// Multibyte copy of the current match, shared by every scanner (heap, owned by the runtime).
extern char *shr_text;
extern size_t shr_text_buf_size;
// Start of the current match in its scanner's buffer, NUL-terminated while the action runs.
extern wchar_t *shr_wtext;

// Matches the next rule: its number, or 0 at the end of the input (the buffer is then made ready
// for a later parse and the multibyte copy released). The steps after a match have run: shr_text
// holds the text, the lookahead is back in the input, the position is recorded, the rule traced.
int mf_scan_next(mf_scanner_t *scanner);

// Resets the scanner for new input: empty buffer at a line start.
void mf_scan_restart(mf_scanner_t *scanner);

// Restarts of every makefile scanner asked for (mf_scan_restart_all). A scanner that has not
// been restarted since the last of them is restarted before its next match.
extern uint64_t mf_scan_restarts;

// Asks every makefile scanner to restart before it next matches: a scanner that a run never
// uses is then never made, nor its tables built.
void mf_scan_restart_all();

// Fills shr_text with the multibyte form of wtext (growing it as needed; a failed allocation is
// fatal).
void mf_scan_wcs_to_shr_text(const wchar_t *wtext);

// A count that changes whenever shr_text is written or a scanner restarts.
uint64_t mf_scan_epoch();

// Characters the scanners' automata have read, as the input and again (a lookahead read in vain
// is read again by the next matches): how much reading a text costs, for the tests.
uint64_t mf_scan_chars_read();

// Keeps the first bytes of the current match (a prefix of shr_text; a name part the action has
// taken apart) as the start of the next match, instead of their going back to the input: the
// next match begins with them as read. The action has given back to the input what follows them.
// For the scanner of the makefile input, between a match and the next one, with no other match
// in between. Returns 1 when kept; 0 when not (the caller gives them back to the input itself).
int mf_scan_hold(mf_scanner_t *scanner, size_t bytes);

// Records the reader's current line and file as the position of the rule being read (the colon
// rules call it before their support routine).
void mf_scan_set_rule_position();

// Prints "  returning <TOKEN>" when the scanners' trace is on; returns token.
int mf_scan_trace_return(int token);

// Whether the scanners' rule and token traces are on.
bool mf_scan_tracing();

// Ends the process after a fatal scanner error (message and newline on standard error, exit 2).
[[noreturn]] void mf_scan_fatal(const char *message);
