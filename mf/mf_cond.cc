#include "mf/mf_cond.h"

#include <cstring>
#include <string>
#include <string_view>

#include "ks/ks_status.h"
#include "ks/pfm.h"
#include "mf/bldr_macro.h"
#include "mf/bsdmake.h"
#include "mf/mf_flex.h"
#include "mf/mf_io.h"
#include "mf/mf_lex_utl.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"

int (*mf_cond_bsd_eval_hook)(char *condition, int kind, int invert) = bsdmake_cond_eval_expr;

namespace {

const char *const mf_cond_formats[] = {
    /* 0 */ "Illegal conditional evaluation operation\n",
    /* 1 */ "Invalid syntax in conditional line\n",
};
constexpr uint16_t kFormatCount = sizeof mf_cond_formats / sizeof mf_cond_formats[0];
const uint16_t mf_cond_catalog[kFormatCount] = {};
const char kModule[] = "mf/mf_cond";

enum { MSG_ILLEGAL_OPERATION = 0, MSG_INVALID_SYNTAX = 1 };

// Keyword of each directive for flavours 0 to 3; an empty text: no such directive.
struct keyword_row {
  const char *kw[4];
};
const keyword_row kKeywords[MF_COND_KW_NONE] = {
    {{"", "ifndef", "ifndef", "ifndef"}},
    {{"", "ifdef", "ifdef", "ifdef"}},
    {{"", "", "", "ifeq"}},
    {{"", "", "", "ifneq"}},
    {{"", "ifnmake", "ifnmake", ""}},
    {{"", "ifmake", "ifmake", ""}},
    {{"", "if", "if", ""}},
    {{"", "else", "else", "else"}},
    {{"", "elifndef", "elifndef", ""}},
    {{"", "elifdef", "elifdef", ""}},
    {{"", "elifnmake", "elifnmake", ""}},
    {{"", "elifmake", "elifmake", ""}},
    {{"", "elif", "elif", ""}},
    {{"", "endif", "endif", "endif"}},
};

list_handle_t goal_list = LIST_HANDLE_NULL;
char eval_buf[MF_COND_EVAL_BUF_SIZE];

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// A character that continues a word, so that a GNU keyword followed by it is part of a name.
bool is_word_char(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
         c == '_' || c == '.' || c == '-' || c == '/' || c == '%' || c == '@' || u >= 0x80;
}

// A character that continues a BSD-style directive keyword.
bool is_keyword_char(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || c == '_';
}

void syntax_error() {
  mf_io_print_position(IMSG_ERROR);
  imsg_print(IMSG_ERROR_CONT, &_mf_cond_karsel_msg_table, MSG_INVALID_SYNTAX);
  mf_parser_failed = 1;
}

[[noreturn]] void illegal_operation() {
  imsg_print(IMSG_ERROR, &_mf_cond_karsel_msg_table, MSG_ILLEGAL_OPERATION);
  tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_TEXT, pfm_file_stem(__FILE__),
                    __LINE__, 0);
  PFM_PANIC();
}

// Tries the keywords codes [first, last] of the flavour at text; the matched code with
// *kw_len, or MF_COND_KW_NONE.
int match_keyword(const char *text, int32_t flavor, int first, int last, size_t *kw_len) {
  for (int code = first; code <= last; code++) {
    const char *kw = kKeywords[code].kw[flavor];
    size_t n = std::strlen(kw);
    if (n == 0 || std::strncmp(text, kw, n) != 0) continue;
    if (flavor == 3 && is_word_char(text[n])) continue;
    // "#ifeq" or ".ifdefx" is no if or ifdef directive: a keyword ends where its word ends.
    if ((flavor == 1 || flavor == 2) && is_keyword_char(text[n])) continue;
    *kw_len = n;
    return code;
  }
  return MF_COND_KW_NONE;
}

// Copies a BSD-style condition into the evaluation buffer without its trailing newline. False
// after reporting a condition too long for the buffer.
bool copy_bsd_condition(const char *condition) {
  size_t n = std::strlen(condition);
  if (n + 1 > sizeof eval_buf) {
    mf_io_print_position(IMSG_ERROR);
    imsg_print(IMSG_ERROR_CONT, &_mf_io_karsel_msg_table, MF_IO_MSG_LINE_TOO_LONG);
    imsg_print(IMSG_ERROR_CONT, &_mf_io_karsel_msg_table, MF_IO_MSG_LINE_TEXT, condition);
    mf_parser_failed = 1;
    return false;
  }
  std::memcpy(eval_buf, condition, n + 1);
  if (n > 0 && eval_buf[n - 1] == '\n') eval_buf[n - 1] = '\0';
  return true;
}

int eval_bsd(const char *condition, int kind, int invert) {
  if (!copy_bsd_condition(condition)) return MF_COND_BAD;
  int r = (mf_cond_bsd_eval_hook ? mf_cond_bsd_eval_hook : bsdmake_cond_eval_expr)(eval_buf, kind,
                                                                                   invert);
  if (r == MF_COND_BAD) mf_parser_failed = 1;
  return r;
}

// Removes one trailing newline.
std::string_view without_newline(const char *text) {
  std::string_view s(text);
  if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
  return s;
}

// Reads the two arguments of a GNU ifeq condition. False on a syntax error (not reported).
bool split_gnu_ifeq_args(std::string_view s, std::string &a, std::string &b) {
  size_t i = 0;
  while (i < s.size() && is_blank(s[i])) i++;
  if (i == s.size()) return false;
  if (s[i] == '(') {
    i++;
    int depth = 0;
    size_t start = i;
    for (;; i++) {
      if (i == s.size()) return false;
      char c = s[i];
      if (c == ',' && depth <= 0) break;
      if (c == '(') depth++;
      if (c == ')') depth--;
    }
    a.assign(s.substr(start, i - start));
    i++;
    while (i < s.size() && is_blank(s[i])) i++;
    if (i == s.size()) return false;
    depth = 0;
    start = i;
    for (;; i++) {
      if (i == s.size()) return false;
      char c = s[i];
      if (c == ')' && depth == 0) break;
      if (c == '(') depth++;
      if (c == ')') depth--;
    }
    b.assign(s.substr(start, i - start));
    return true;
  }
  if (s[i] == '\'' || s[i] == '"') {
    char q = s[i++];
    size_t end = s.find(q, i);
    if (end == std::string_view::npos) return false;
    a.assign(s.substr(i, end - i));
    i = end + 1;
    while (i < s.size() && is_blank(s[i])) i++;
    if (i == s.size() || (s[i] != '\'' && s[i] != '"')) return false;
    q = s[i++];
    end = s.find(q, i);
    if (end == std::string_view::npos) return false;
    b.assign(s.substr(i, end - i));
    return true;
  }
  return false;
}

// Whether name has a non-empty value in the makefile's macro tables (looked up unexpanded).
bool mf_cond_macro_is_defined(const char *name) {
  if (mfc_mf_macro_table_list == LIST_HANDLE_NULL) return false;
  const char *value = bldr_macro_lookup(mfc_mf_macro_table_list, name, nullptr);
  return value != nullptr && *value != '\0';
}

// Expands the macro references of a flex string in place over the makefile's macro tables.
int mf_cond_expand(char **fsp) {
  if (std::strchr(*fsp, '$') == nullptr) return KS_ST_OK;
  return bldr_macro_expand_flex_string(mfc_mf_macro_table_list, BLDR_MACRO_FLAVOR_GNU, fsp, 1,
                                       LIST_HANDLE_NULL, STG_AREA_NULL);
}

}  // namespace

const imsg_msg_table_t _mf_cond_karsel_msg_table = {
    "karsel_bin", kModule, 0, kFormatCount, mf_cond_formats, mf_cond_catalog,
};

int32_t mf_cond_flavor_of_variant(uint32_t variant, bool *ok) {
  *ok = true;
  switch (variant) {
    case MF_COMPAT_STD:
    case MF_COMPAT_SUN:
    case MF_COMPAT_KELTO: return 0;
    case MF_COMPAT_SGISMAKE:
    case MF_COMPAT_SGIPMAKE: return 1;
    case MF_COMPAT_BSDNETR2: return 2;
    case MF_COMPAT_PGNU:
    case MF_COMPAT_GNU: return 3;
    default: *ok = false; return 0;
  }
}

int mf_cond_line_is_cond(const char *line, int32_t flavor, int *after_kw) {
  if (after_kw != nullptr) *after_kw = 0;
  if (line == nullptr || flavor < 1 || flavor > 3) return MF_COND_KW_NONE;
  const char *p = line;
  if (flavor == 3) {
    if (line[0] == '\t' && mf_script_line_expected) return MF_COND_KW_NONE;
  } else {
    char prefix = flavor == 1 ? '#' : '.';
    if (*p != prefix) return MF_COND_KW_NONE;
    p++;
  }
  while (is_blank(*p)) p++;
  if (*p == '\0') return MF_COND_KW_NONE;
  size_t n = 0;
  int code = match_keyword(p, flavor, MF_COND_KW_IFNDEF, MF_COND_KW_ENDIF, &n);
  if (code != MF_COND_KW_NONE && after_kw != nullptr) *after_kw = int((p + n) - line);
  return code;
}

int mf_cond_line_is_else_cond(const char *text, int32_t flavor, int *after_kw) {
  if (after_kw != nullptr) *after_kw = 0;
  if (text == nullptr || flavor < 1 || flavor > 3) return MF_COND_KW_NONE;
  size_t n = 0;
  int code = match_keyword(text, flavor, MF_COND_KW_IFNDEF, MF_COND_KW_IFNEQ, &n);
  if (code != MF_COND_KW_NONE && after_kw != nullptr) *after_kw = int(n);
  return code;
}

int mf_cond_eval_line(const char *line, int32_t flavor, list_handle_t goals, int *result,
                      int evaluate, int at_resume_level) {
  *result = MF_COND_NOT_COND;
  int after = 0;
  int code = mf_cond_line_is_cond(line, flavor, &after);
  if (code == MF_COND_KW_NONE) return 0;
  const char *cond = line + after;
  goal_list = goals;
  auto open = [&](int r) {
    return r == MF_COND_TRUE ? MF_COND_OPEN_TRUE
                             : r == MF_COND_FALSE ? MF_COND_OPEN_FALSE : MF_COND_MALFORMED;
  };
  auto elif = [&](int r) {
    return r == MF_COND_TRUE ? MF_COND_ELSE_TRUE
                             : r == MF_COND_FALSE ? MF_COND_ELSE_FALSE : MF_COND_MALFORMED;
  };
  switch (code) {
    case MF_COND_KW_IFNDEF:
    case MF_COND_KW_IFDEF:
    case MF_COND_KW_IF:
      *result = evaluate ? open(mf_cond_eval_if(cond, flavor, code == MF_COND_KW_IFNDEF))
                         : MF_COND_OPEN_FALSE;
      break;
    case MF_COND_KW_IFEQ:
    case MF_COND_KW_IFNEQ:
      *result = evaluate ? open(mf_cond_eval_ifeq(cond, flavor, code == MF_COND_KW_IFNEQ))
                         : MF_COND_OPEN_FALSE;
      break;
    case MF_COND_KW_IFNMAKE:
    case MF_COND_KW_IFMAKE:
      *result = evaluate ? open(mf_cond_eval_ifmake(cond, flavor, code == MF_COND_KW_IFNMAKE))
                         : MF_COND_OPEN_FALSE;
      break;
    case MF_COND_KW_ELSE: {
      *result = MF_COND_ELSE_TRUE;
      if (flavor != 3 || evaluate || !at_resume_level) break;
      const char *rest = cond;
      while (is_blank(*rest)) rest++;
      int kw_len = 0;
      int inner = mf_cond_line_is_else_cond(rest, flavor, &kw_len);
      const char *inner_cond = rest + kw_len;
      if (inner == MF_COND_KW_IFNDEF || inner == MF_COND_KW_IFDEF)
        *result = elif(mf_cond_eval_if(inner_cond, flavor, inner == MF_COND_KW_IFNDEF));
      else if (inner == MF_COND_KW_IFEQ || inner == MF_COND_KW_IFNEQ)
        *result = elif(mf_cond_eval_ifeq(inner_cond, flavor, inner == MF_COND_KW_IFNEQ));
      break;
    }
    case MF_COND_KW_ELIFNDEF:
    case MF_COND_KW_ELIFDEF:
    case MF_COND_KW_ELIF:
      *result = evaluate ? elif(mf_cond_eval_if(cond, flavor, code == MF_COND_KW_ELIFNDEF))
                         : MF_COND_ELSE_FALSE;
      break;
    case MF_COND_KW_ELIFNMAKE:
    case MF_COND_KW_ELIFMAKE:
      *result = evaluate
                    ? elif(mf_cond_eval_ifmake(cond, flavor, code == MF_COND_KW_ELIFNMAKE))
                    : MF_COND_ELSE_FALSE;
      break;
    case MF_COND_KW_ENDIF:
      *result = MF_COND_ENDIF;
      break;
  }
  goal_list = LIST_HANDLE_NULL;
  return 0;
}

int mf_cond_eval_if(const char *condition, int32_t flavor, int invert) {
  if (flavor == 1 || flavor == 2) return eval_bsd(condition, 0, invert);
  if (flavor != 3) illegal_operation();
  std::string_view s = without_newline(condition);
  size_t i = 0;
  while (i < s.size() && is_blank(s[i])) i++;
  size_t start = i;
  while (i < s.size() && !is_blank(s[i])) i++;
  if (i == start) {
    syntax_error();
    return MF_COND_BAD;
  }
  std::string name(s.substr(start, i - start));
  bool defined = mf_cond_macro_is_defined(name.c_str());
  return (defined != bool(invert)) ? MF_COND_TRUE : MF_COND_FALSE;
}

int mf_cond_eval_ifmake(const char *condition, int32_t flavor, int invert) {
  if (flavor != 1 && flavor != 2) illegal_operation();
  return eval_bsd(condition, 1, invert);
}

int mf_cond_eval_ifeq(const char *condition, int32_t flavor, int invert) {
  if (flavor != 3) illegal_operation();
  std::string text(without_newline(condition));
  return mf_cond_eval_gnu_ifeq(text.c_str(), invert);
}

int mf_cond_eval_gnu_ifeq(const char *condition, int invert) {
  std::string a, b;
  if (!split_gnu_ifeq_args(condition, a, b)) {
    syntax_error();
    return MF_COND_BAD;
  }
  mf_flex_local ea, eb;
  if (!mf_flex_assign(&ea.ptr(), a.data(), a.size()) ||
      !mf_flex_assign(&eb.ptr(), b.data(), b.size()) ||
      mf_cond_expand(&ea.ptr()) != KS_ST_OK || mf_cond_expand(&eb.ptr()) != KS_ST_OK) {
    syntax_error();
    return MF_COND_BAD;
  }
  bool equal = ea.size() == eb.size() && std::memcmp(ea.c_str(), eb.c_str(), ea.size()) == 0;
  return (equal != bool(invert)) ? MF_COND_TRUE : MF_COND_FALSE;
}

int mf_cond_is_goal_tgt(const char *name) {
  if (goal_list == LIST_HANDLE_NULL || name == nullptr) return 0;
  void *d = nullptr;
  for (list_cursor_t c = list_next(goal_list, nullptr, &d); c != nullptr;
       c = list_next(goal_list, c, &d))
    if (d != nullptr && std::strcmp(static_cast<const char *>(d), name) == 0) return 1;
  return 0;
}
