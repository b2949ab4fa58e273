#include "ks/strutl.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include <strings.h>

#include "ks/imsg.h"

namespace {

// The wide character at p, with its byte length; a NUL, invalid or incomplete byte decodes as
// itself with length 1.
wchar_t decode(const char *p, int *len) {
  std::mbstate_t state{};
  wchar_t wc = 0;
  size_t n = std::mbrtowc(&wc, p, MB_CUR_MAX, &state);
  if (n == 0 || n == size_t(-1) || n == size_t(-2)) {
    *len = 1;
    return wchar_t(static_cast<unsigned char>(*p));
  }
  *len = int(n);
  return wc;
}

bool is_space_at(const char *p, int *len) { return std::iswspace(wint_t(decode(p, len))) != 0; }

}  // namespace

int strutl_mblen(const char *p, size_t max) {
  // A byte below 0x80 at a character boundary is a character of its own in the locales the
  // system runs in (UTF-8 and the other stateless multibyte encodings).
  if (p == nullptr || static_cast<unsigned char>(*p) < 0x80 || max <= 1) return 1;
  std::mbstate_t state{};
  size_t n = std::mbrlen(p, max, &state);
  if (n == 0 || n == size_t(-1) || n == size_t(-2)) return 1;
  return int(n);
}

int strutl_test_char(const char *p, unsigned class_bits) {
  if (p == nullptr || *p == '\0') return 0;
  int len = 0;
  wint_t wc = wint_t(decode(p, &len));
  if ((class_bits & STRUTL_CLASS_ALPHA) && std::iswalpha(wc)) return 1;
  if ((class_bits & STRUTL_CLASS_DIGIT) && std::iswdigit(wc)) return 1;
  if ((class_bits & STRUTL_CLASS_UPPER) && std::iswupper(wc)) return 1;
  if ((class_bits & STRUTL_CLASS_LOWER) && std::iswlower(wc)) return 1;
  if ((class_bits & STRUTL_CLASS_PUNCT) && std::iswpunct(wc)) return 1;
  if ((class_bits & STRUTL_CLASS_CNTRL) && std::iswcntrl(wc)) return 1;
  if ((class_bits & STRUTL_CLASS_SPACE) && std::iswspace(wc)) return 1;
  return 0;
}

const char *strutl_find_end_delim(const char *text, char open, char close) {
  if (text == nullptr || *text != open) return nullptr;
  int depth = 0;
  for (const char *p = text; *p;) {
    if (*p == open) {
      depth++;
    } else if (*p == close) {
      if (--depth == 0) return p;
    }
    p += strutl_char_len(p);
  }
  return nullptr;
}

char *strutl_find_end_delim(char *text, char open, char close) {
  return const_cast<char *>(strutl_find_end_delim(static_cast<const char *>(text), open, close));
}

size_t strutl_strip_whitespace(char *text, int lead, int trail) {
  if (text == nullptr) return 0;
  size_t removed = 0;
  if (lead) {
    char *p = text;
    int len = 0;
    while (*p && is_space_at(p, &len)) p += len;
    removed = size_t(p - text);
    if (removed) std::memmove(text, p, std::strlen(p) + 1);
  }
  if (trail) {
    // Walk forwards so that multibyte characters are never split; remember where the last run of
    // white space began.
    char *run = nullptr;
    char *p = text;
    int len = 0;
    while (*p) {
      if (is_space_at(p, &len)) {
        if (run == nullptr) run = p;
      } else {
        run = nullptr;
      }
      p += len;
    }
    if (run != nullptr) {
      removed += size_t(p - run);
      *run = '\0';
    }
  }
  return removed;
}

char *strutl_tokenize(char *text, const char *separators, char **state) {
  char *p = text ? text : *state;
  if (p == nullptr) return nullptr;
  p += std::strspn(p, separators);
  if (*p == '\0') {
    *state = p;
    return nullptr;
  }
  char *end = p + std::strcspn(p, separators);
  if (*end) {
    *end = '\0';
    *state = end + 1;
  } else {
    *state = end;
  }
  return p;
}

const char *strutl_find_str(const char *haystack, const char *needle) {
  if (haystack == nullptr || needle == nullptr) return nullptr;
  return std::strstr(haystack, needle);
}

ks_status_t strutl_cpy_buf(char *dst, size_t size, const char *src) {
  if (size == 0) return KS_ST_NAME_TOO_LONG;
  size_t n = src ? std::strlen(src) : 0;
  if (n >= size) {
    dst[0] = '\0';
    return KS_ST_NAME_TOO_LONG;
  }
  if (n) std::memcpy(dst, src, n);
  dst[n] = '\0';
  return KS_ST_OK;
}

ks_status_t strutl_concat(char *buf, size_t size, std::initializer_list<const char *> parts) {
  if (size == 0) return KS_ST_NAME_TOO_LONG;
  size_t total = 0;
  for (const char *part : parts) total += part ? std::strlen(part) : 0;
  if (total >= size) {
    buf[0] = '\0';
    return KS_ST_NAME_TOO_LONG;
  }
  char *p = buf;
  for (const char *part : parts) {
    size_t n = part ? std::strlen(part) : 0;
    if (n) std::memcpy(p, part, n);
    p += n;
  }
  *p = '\0';
  return KS_ST_OK;
}

char *strutl_concat_area(stg_area_t area, std::initializer_list<const char *> parts) {
  size_t total = 0;
  for (const char *part : parts) total += part ? std::strlen(part) : 0;
  char *text = static_cast<char *>(stg_alloc(area, total + 1));
  if (text == nullptr) return nullptr;
  strutl_concat(text, total + 1, parts);
  return text;
}

ks_status_t strutl_replace_substr(char *buf, size_t size, size_t offset, size_t len,
                                  const char *repl) {
  size_t length = std::strlen(buf);
  if (offset > length || len > length - offset) return KS_ST_ERR;
  size_t r = std::strlen(repl);
  if (length - len + r >= size) return KS_ST_NAME_TOO_LONG;
  std::memmove(buf + offset + r, buf + offset + len, length - offset - len + 1);
  std::memcpy(buf + offset, repl, r);
  return KS_ST_OK;
}

ks_status_t strutl_find_replace_substr(char *buf, size_t size, const char *find,
                                       const char *repl) {
  const char *at = std::strstr(buf, find);
  if (at == nullptr || *find == '\0') return KS_ST_NOT_FOUND;
  return strutl_replace_substr(buf, size, size_t(at - buf), std::strlen(find), repl);
}

ks_status_t strutl_strtol(const char *text, int base, long *out) {
  if (text == nullptr) return KS_ST_ERR;
  char *end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, base);
  if (end == text || errno == ERANGE) return KS_ST_ERR;
  int len = 0;
  while (*end && is_space_at(end, &len)) end += len;
  if (*end != '\0') return KS_ST_ERR;
  *out = value;
  return KS_ST_OK;
}

int strutl_stricoll(const char *a, const char *b) { return strcasecmp(a, b); }

char *strutl_concat_heap(std::initializer_list<const char *> parts) {
  size_t size = 1;
  for (const char *part : parts) size += part ? std::strlen(part) : 0;
  char *text = static_cast<char *>(stg_malloc(size));
  if (!text) return nullptr;
  char *end = text;
  for (const char *part : parts) {
    if (!part) continue;
    size_t n = std::strlen(part);
    std::memcpy(end, part, n);
    end += n;
  }
  *end = '\0';
  return text;
}

void strutl_list_print(list_handle_t list) {
  if (list == LIST_HANDLE_NULL) return;
  void *item = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &item); c; c = list_next(list, c, &item))
    imsg_print(IMSG_INFO, "\t%s\n", -1, item ? static_cast<const char *>(item) : "");
}

void strutl_list_trace_print(list_handle_t list) {
  if (list == LIST_HANDLE_NULL) return;
  void *item = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &item); c; c = list_next(list, c, &item))
    imsg_print(IMSG_TRACE_CONT, "\t%s\n", -1, item ? static_cast<const char *>(item) : "");
}

int strutl_str_in_list(const char *text, list_handle_t list) {
  if (list == LIST_HANDLE_NULL || text == nullptr) return 0;
  void *item = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &item); c; c = list_next(list, c, &item))
    if (item && std::strcmp(static_cast<const char *>(item), text) == 0) return 1;
  return 0;
}

ks_status_t strutl_strtoul(const char *text, uint32_t *out) {
  if (text == nullptr) return KS_ST_ERR;
  const char *p = text;
  while (*p == ' ' || *p == '\t') p++;
  if (*p < '0' || *p > '9') return KS_ST_ERR;
  long value = 0;
  if (strutl_strtol(p, 10, &value) != KS_ST_OK || value < 0 || value > long(UINT32_MAX))
    return KS_ST_ERR;
  *out = uint32_t(value);
  return KS_ST_OK;
}
