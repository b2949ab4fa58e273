#include "cm/cr_utl_bs.h"

#include <cstring>
#include <string>

#include "cm/cr_utl.h"
#include "ks/stg.h"

namespace {

constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

uint64_t fnv(uint64_t h, const char *p, size_t n) {
  for (size_t i = 0; i < n; i++) {
    h ^= uint8_t(p[i]);
    h *= kFnvPrime;
  }
  return h;
}

}  // namespace

ks_status_t cr_utl_build_scripts_hash(list_handle_t script, uint64_t *hash) {
  uint64_t h = kFnvOffset;
  void *inst = nullptr;
  if (script != LIST_HANDLE_NULL) {
    for (list_cursor_t c = list_next(script, nullptr, &inst); c; c = list_next(script, c, &inst)) {
      h = fnv(h, "\x1e", 1);  // instance separator
      auto *lines = static_cast<list_handle_t>(inst);
      if (lines == LIST_HANDLE_NULL) continue;
      void *d = nullptr;
      for (list_cursor_t l = list_next(lines, nullptr, &d); l; l = list_next(lines, l, &d)) {
        const char *text = d ? static_cast<cr_utl_bs_line_t *>(d)->text : nullptr;
        if (text == nullptr) text = "";
        int changed = 0;
        char *canon = nullptr;
        if (cr_utl_canonicalize_line(text, 0, 1, &changed, &canon) != KS_ST_OK) return KS_ST_ERR;
        const char *use = changed ? canon : text;
        h = fnv(h, use, std::strlen(use));
        h = fnv(h, "\n", 1);
        stg_free(canon);
      }
    }
  }
  *hash = h;
  return KS_ST_OK;
}

ks_status_t cr_utl_get_bs_array_from_bs_list(list_handle_t script, size_t *count, char ***array) {
  if (script == LIST_HANDLE_NULL) {
    *count = 0;
    *array = nullptr;
    return KS_ST_OK;
  }
  const size_t n = list_length(script);
  auto **out = static_cast<char **>(stg_malloc((n + 1) * sizeof(char *)));
  if (out == nullptr) return KS_ST_ERR;
  size_t i = 0;
  void *inst = nullptr;
  for (list_cursor_t c = list_next(script, nullptr, &inst); c; c = list_next(script, c, &inst)) {
    std::string text;
    auto *lines = static_cast<list_handle_t>(inst);
    void *d = nullptr;
    if (lines != LIST_HANDLE_NULL) {
      for (list_cursor_t l = list_next(lines, nullptr, &d); l; l = list_next(lines, l, &d)) {
        const char *line = d ? static_cast<cr_utl_bs_line_t *>(d)->text : nullptr;
        text.append(line ? line : "").push_back('\n');
      }
    }
    out[i] = stg_strdup(text.c_str());
    if (out[i] == nullptr) {
      cr_utl_free_bs_array(i, out);
      return KS_ST_ERR;
    }
    i++;
  }
  out[i] = nullptr;
  *count = n;
  *array = out;
  return KS_ST_OK;
}

void cr_utl_free_bs_array(size_t count, char **array) {
  if (array == nullptr) return;
  for (size_t i = 0; i < count; i++) stg_free(array[i]);
  stg_free(array);
}
