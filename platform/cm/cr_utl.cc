#include "cm/cr_utl.h"

#include <cstring>
#include <string>

#include "ks/ks_status.h"
#include "ks/stg.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Whether the backslash at pos is escaped by an odd run of backslashes before it.
bool escaped(const std::string &s, size_t pos) {
  size_t n = 0;
  while (pos > n && s[pos - n - 1] == '\\') n++;
  return n % 2 == 1;
}

std::string join_continuations(const std::string &in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); i++) {
    if (in[i] == '\\' && i + 1 < in.size() && in[i + 1] == '\n' && !escaped(in, i)) {
      while (!out.empty() && is_blank(out.back())) out.pop_back();
      i += 2;
      while (i < in.size() && is_blank(in[i])) i++;
      out.push_back(' ');
      i--;
      continue;
    }
    out.push_back(in[i]);
  }
  return out;
}

std::string trim_line_ends(const std::string &in) {
  std::string out;
  out.reserve(in.size());
  for (char c : in) {
    if (c == '\n')
      while (!out.empty() && is_blank(out.back())) out.pop_back();
    out.push_back(c);
  }
  while (!out.empty() && is_blank(out.back())) out.pop_back();
  return out;
}

}  // namespace

int cr_utl_canonicalize_line(const char *line, int join, int trim, int *changed,
                             char **new_text) {
  *changed = 0;
  *new_text = nullptr;
  if (line == nullptr) return KS_ST_OK;
  std::string text(line);
  if (join) text = join_continuations(text);
  if (trim) text = trim_line_ends(text);
  if (text == line) return KS_ST_OK;
  *new_text = stg_strdup(text.c_str());
  if (*new_text == nullptr) return KS_ST_ERR;
  *changed = 1;
  return KS_ST_OK;
}
