#include "mf/mf_flex.h"

#include <cstring>
#include <new>

#include "ks/pfm.h"
#include "ks/stg.h"

namespace {

bool heap_owned(const char *fsp) { return mf_flex_capacity(fsp) > MF_FLEX_USER_CAPACITY; }

}  // namespace

char *mf_utl_grow_flex_string(char *fsp, int32_t nch) {
  PFM_ASSERT(fsp != NULL);
  PFM_ASSERT(nch >= 0);
  if (nch == 0) return fsp;
  const int64_t length = int64_t(mf_flex_length(fsp));
  const int64_t capacity = int64_t(mf_flex_capacity(fsp));
  if (capacity - length > nch) return fsp;

  int64_t new_capacity = capacity;
  do {
    int64_t doubled = new_capacity * 2;
    if (doubled <= new_capacity || doubled > INT32_MAX) return nullptr;
    new_capacity = doubled;
  } while (new_capacity < capacity + nch);

  void *block = stg_malloc(sizeof(mf_flex_string_t) + size_t(new_capacity) + MF_FLEX_SPARE);
  if (block == nullptr) return nullptr;
  auto *hdr = new (block) mf_flex_string_t;
  char *text = static_cast<char *>(block) + sizeof(mf_flex_string_t);
  std::memcpy(text, fsp, size_t(length));
  text[length] = '\0';
  hdr->cur = text + length;
  hdr->end = text + new_capacity;
  if (capacity > MF_FLEX_USER_CAPACITY) stg_free(mf_flex_hdr(fsp));
  return text;
}

char *mf_utl_grow_flex_string_and_append(char *fsp, const char *bytes, int32_t n) {
  const size_t length = mf_flex_length(fsp);
  char *grown = mf_utl_grow_flex_string(fsp, n);
  if (grown == nullptr) return nullptr;
  if (n > 0) std::memcpy(grown + length, bytes, size_t(n));
  grown[length + size_t(n)] = '\0';
  mf_flex_hdr(grown)->cur = grown + length + size_t(n);
  return grown;
}

void mf_utl_modify_flex_string(char *fsp, int32_t offset, int32_t old_len, const char *new_text,
                               int32_t new_len) {
  mf_flex_string_t *hdr = mf_flex_hdr(fsp);
  char *tail = fsp + offset + old_len;
  const size_t tail_len = size_t(hdr->cur - tail);
  if (new_len != old_len) {
    // The tail moves to its new place together with its NUL.
    std::memmove(fsp + offset + new_len, tail, tail_len + 1);
    hdr->cur = fsp + offset + new_len + tail_len;
  }
  if (new_len > 0) std::memcpy(fsp + offset, new_text, size_t(new_len));
}

bool mf_flex_append(char **fsp, const char *bytes, size_t n) {
  char *text = *fsp;
  mf_flex_string_t *hdr = mf_flex_hdr(text);
  size_t room = size_t(hdr->end - hdr->cur) - 1;
  size_t now = n < room ? n : room;
  std::memcpy(hdr->cur, bytes, now);
  hdr->cur += now;
  *hdr->cur = '\0';
  if (now == n) return true;
  if (n - now > size_t(INT32_MAX)) return false;
  char *grown = mf_utl_grow_flex_string_and_append(text, bytes + now, int32_t(n - now));
  if (grown == nullptr) return false;
  *fsp = grown;
  return true;
}

bool mf_flex_append_str(char **fsp, const char *text) {
  return mf_flex_append(fsp, text, std::strlen(text));
}

bool mf_flex_append_char(char **fsp, char c) { return mf_flex_append(fsp, &c, 1); }

bool mf_flex_assign(char **fsp, const char *bytes, size_t n) {
  mf_flex_reset(*fsp);
  return mf_flex_append(fsp, bytes, n);
}

bool mf_flex_replace(char **fsp, size_t offset, size_t old_len, const char *new_text,
                     size_t new_len) {
  if (new_len > size_t(INT32_MAX) || offset + old_len > size_t(INT32_MAX)) return false;
  if (new_len > old_len) {
    size_t d = new_len - old_len;
    if (mf_flex_hdr(*fsp)->end <= mf_flex_hdr(*fsp)->cur + d) {
      char *grown = mf_utl_grow_flex_string(*fsp, int32_t(d));
      if (grown == nullptr) return false;
      *fsp = grown;
    }
  }
  mf_utl_modify_flex_string(*fsp, int32_t(offset), int32_t(old_len), new_text, int32_t(new_len));
  return true;
}

void mf_flex_release(char *fsp) {
  if (fsp != nullptr && heap_owned(fsp)) stg_free(mf_flex_hdr(fsp));
}
