// Flex strings: growable NUL-terminated texts that start in a small buffer owned by their user and
// move to the heap only when they outgrow it.
//
// A flex string is held by its text pointer (char *). Two header pointers lie directly in front of
// the text: cur (the terminating NUL, i.e. the end of the text) and end (the end of the
// capacity). Invariants: *cur == 0 and cur < end, so a capacity of k holds k - 1 bytes of text.
// A string of capacity MF_FLEX_USER_CAPACITY or less lives in its user's storage and is never
// freed here; a larger one is a heap block (stg_malloc) freed when it grows again or is released.
// Every operation that may move the string returns its new place; on failure (null) the user keeps
// the old pointer and the old contents.
#pragma once

#include <cstddef>
#include <cstdint>

// The header in front of a flex string's text.
struct mf_flex_string_t {
  char *cur;  // the terminating NUL
  char *end;  // end of the capacity
};

// Capacity of a user's initial buffer; capacities up to this value are never freed here.
#define MF_FLEX_USER_CAPACITY 100
// Spare bytes behind the capacity of every block.
#define MF_FLEX_SPARE 4

// A user's initial buffer: the header directly followed by the text bytes.
struct mf_flex_buffer_t {
  mf_flex_string_t hdr;
  char text[MF_FLEX_USER_CAPACITY + MF_FLEX_SPARE];
};
static_assert(offsetof(mf_flex_buffer_t, text) == sizeof(mf_flex_string_t));

// The header of the flex string whose text is at text.
inline mf_flex_string_t *mf_flex_hdr(char *text) {
  return reinterpret_cast<mf_flex_string_t *>(text - sizeof(mf_flex_string_t));
}
inline const mf_flex_string_t *mf_flex_hdr(const char *text) {
  return reinterpret_cast<const mf_flex_string_t *>(text - sizeof(mf_flex_string_t));
}

// Starts an empty string of capacity MF_FLEX_USER_CAPACITY in buf; returns its text pointer.
inline char *mf_flex_start(mf_flex_buffer_t *buf) {
  buf->hdr.cur = buf->text;
  buf->hdr.end = buf->text + MF_FLEX_USER_CAPACITY;
  buf->text[0] = '\0';
  return buf->text;
}

inline size_t mf_flex_length(const char *text) { return size_t(mf_flex_hdr(text)->cur - text); }
inline size_t mf_flex_capacity(const char *text) { return size_t(mf_flex_hdr(text)->end - text); }

// Empties the string without giving up its storage.
inline void mf_flex_reset(char *text) {
  mf_flex_hdr(text)->cur = text;
  text[0] = '\0';
}

// Makes room for n more bytes of text plus the NUL. Returns the string, possibly moved (a moved
// heap block is freed, a user buffer is not), or null when the doubled capacity would not grow (a
// zero capacity, or past the signed 32-bit range) or memory runs out; the old string is then left
// as it was. A null string or a negative n stops the program (assertion).
char *mf_utl_grow_flex_string(char *fsp, int32_t nch);

// Grows by n and copies the n bytes behind the text. Returns the string, possibly moved, or null
// as for mf_utl_grow_flex_string (nothing appended).
char *mf_utl_grow_flex_string_and_append(char *fsp, const char *bytes, int32_t n);

// Replaces the bytes [offset, offset + old_len) by new_len bytes of new_text, shifting the tail in
// place. The caller guarantees the room (grow first when new_len > old_len).
void mf_utl_modify_flex_string(char *fsp, int32_t offset, int32_t old_len, const char *new_text,
                               int32_t new_len);

// Appends n bytes, in place while they fit and growing for the rest. Updates *fsp; false when the
// string could not grow (then nothing of the rest is appended and *fsp still holds the text).
bool mf_flex_append(char **fsp, const char *bytes, size_t n);
// Appends a NUL-terminated text; as mf_flex_append.
bool mf_flex_append_str(char **fsp, const char *text);
// Appends one character; as mf_flex_append.
bool mf_flex_append_char(char **fsp, char c);
// Replaces the whole text by n bytes; as mf_flex_append.
bool mf_flex_assign(char **fsp, const char *bytes, size_t n);
// Replaces the bytes [offset, offset + old_len) by new_len bytes, growing first when needed;
// false (nothing changed) when the string could not grow.
bool mf_flex_replace(char **fsp, size_t offset, size_t old_len, const char *new_text,
                     size_t new_len);

// Frees a heap string (capacity above MF_FLEX_USER_CAPACITY); a string in its user's buffer is
// left alone. The user drops its pointer afterwards.
void mf_flex_release(char *fsp);

// A flex string that starts in a buffer of its own and is released when it goes out of scope.
class mf_flex_local {
 public:
  mf_flex_local() : text_(mf_flex_start(&buf_)) {}
  ~mf_flex_local() { mf_flex_release(text_); }
  mf_flex_local(const mf_flex_local &) = delete;
  mf_flex_local &operator=(const mf_flex_local &) = delete;

  // The text pointer, for the operations above that update it.
  char *&ptr() { return text_; }
  const char *c_str() const { return text_; }
  size_t size() const { return mf_flex_length(text_); }
  bool empty() const { return size() == 0; }
  void reset() { mf_flex_reset(text_); }

 private:
  mf_flex_buffer_t buf_;
  char *text_;
};
