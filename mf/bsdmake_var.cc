// The BSD-style variable engine: references, modifiers, line expansion and reference search.
#include <cstring>
#include <string>
#include <string_view>

#include "mf/bldr_macro.h"
#include "mf/bsdmake.h"
#include "mf/mf_io.h"
#include "mf/mf_utl.h"

namespace {

constexpr int32_t kMaxDepth = 1024;

// Evaluations nested one inside another, and the outermost name for the circularity message.
int32_t recurse_depth = 0;
std::string save_mac_name;

// Substitution pattern flags.
enum : uint32_t {
  PAT_GLOBAL = 0x1,
  PAT_ANCHOR_START = 0x2,
  PAT_ANCHOR_END = 0x4,
  PAT_DONE = 0x8,
};

// One S or old=new modifier while it is applied to the words of a value.
struct pattern_t {
  std::string lhs;
  std::string rhs;
  uint32_t flags = 0;
};

// The settings of one expansion.
struct engine_t {
  list_handle_t scopes;
  uint32_t undef_mode;
  int32_t expand_values;
};

// Where the NAME=value texts of a line's references go; null list: nowhere.
struct defs_t {
  list_handle_t list;
  stg_area_t area;
};

// A reference as written: its name, its modifier text and its closing bracket.
struct reference_t {
  std::string_view name;
  std::string_view mods;
  bool has_mods = false;
  char close = '\0';  // ')' or '}'; none for $x
  size_t length = 0;
};

bool tracing() { return mf_utl_should_trace("bldr_macro/bsdmake_var", 3); }

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

ks_status_t no_memory() {
  imsg_print_shared(IMSG_ERROR, "mf/bsdmake", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
  return KS_ST_ERR;
}

// "Unclosed substitution" for what, with the position; the parse fails.
void report_unclosed(std::string_view what, char missing) {
  std::string text(what);
  imsg_print(IMSG_ERROR, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_UNCLOSED, text.c_str(), missing);
  bsdmake_print_position(IMSG_ERROR);
  mf_parser_failed = 1;
}

// Reads the reference at text[0] ("$"). KS_ST_ERR after reporting one without its closing
// bracket. A "$" that ends the text is a reference to the empty name.
ks_status_t read_reference(std::string_view text, reference_t *ref) {
  *ref = reference_t{};
  if (text.size() < 2) {
    ref->length = text.size();
    return KS_ST_OK;
  }
  const char open = text[1];
  if (open != '(' && open != '{') {
    ref->name = text.substr(1, 1);
    ref->length = 2;
    return KS_ST_OK;
  }
  const char close = open == '(' ? ')' : '}';
  size_t i = 2;
  while (i < text.size() && text[i] != close && text[i] != ':') i++;
  if (i < text.size() && text[i] == ':') {
    ref->name = text.substr(2, i - 2);
    size_t j = i + 1;
    while (j < text.size() && text[j] != close) j++;
    ref->mods = text.substr(i + 1, j - i - 1);
    ref->has_mods = true;
    i = j;
  } else {
    ref->name = text.substr(2, i - 2);
  }
  if (i >= text.size()) {
    report_unclosed(text.substr(2), close);
    return KS_ST_ERR;
  }
  ref->close = close;
  ref->length = i + 1;
  return KS_ST_OK;
}

// Calls fn(word) for each word of value (split at white space) and joins what the calls
// produce with single blanks; a call that produces an empty text adds nothing.
template <class Fn>
std::string map_words(std::string_view value, Fn fn) {
  std::string out;
  size_t i = 0;
  while (i < value.size()) {
    while (i < value.size() && is_space(value[i])) i++;
    if (i == value.size()) break;
    size_t end = i;
    while (end < value.size() && !is_space(value[end])) end++;
    std::string produced = fn(value.substr(i, end - i));
    if (!produced.empty()) {
      if (!out.empty()) out += ' ';
      out += produced;
    }
    i = end;
  }
  return out;
}

std::string var_suffix(std::string_view w) {
  size_t dot = w.rfind('.');
  return dot == std::string_view::npos ? std::string() : std::string(w.substr(dot + 1));
}

std::string var_root(std::string_view w) {
  size_t dot = w.rfind('.');
  return std::string(dot == std::string_view::npos ? w : w.substr(0, dot));
}

std::string var_head(std::string_view w) {
  size_t slash = w.rfind('/');
  return slash == std::string_view::npos ? std::string(".") : std::string(w.substr(0, slash));
}

std::string var_tail(std::string_view w) {
  size_t slash = w.rfind('/');
  return std::string(slash == std::string_view::npos ? w : w.substr(slash + 1));
}

// The first occurrence of sub in text at or after from; npos when there is none (an empty sub
// or an empty text never matches).
size_t find_substring(std::string_view text, std::string_view sub, size_t from) {
  if (sub.empty() || text.empty()) return std::string_view::npos;
  return text.find(sub, from);
}

std::string var_substitute(std::string_view w, pattern_t *p) {
  if (p->flags & PAT_DONE) return std::string(w);
  const bool global = (p->flags & PAT_GLOBAL) != 0;
  bool replaced = false;
  std::string out;
  if (p->flags & PAT_ANCHOR_START) {
    if (w.substr(0, p->lhs.size()) != p->lhs) return std::string(w);
    if (p->flags & PAT_ANCHOR_END) {
      if (w.size() != p->lhs.size()) return std::string(w);
      out = p->rhs;
    } else {
      out = p->rhs + std::string(w.substr(p->lhs.size()));
    }
    replaced = true;
  } else if (p->flags & PAT_ANCHOR_END) {
    if (w.size() < p->lhs.size() || w.substr(w.size() - p->lhs.size()) != p->lhs)
      return std::string(w);
    out = std::string(w.substr(0, w.size() - p->lhs.size())) + p->rhs;
    replaced = true;
  } else {
    size_t from = 0;
    for (;;) {
      size_t at = find_substring(w, p->lhs, from);
      if (at == std::string_view::npos) break;
      out.append(w.substr(from, at - from));
      out += p->rhs;
      from = at + p->lhs.size();
      replaced = true;
      if (!global || from >= w.size()) break;
    }
    out.append(w.substr(from));
  }
  if (replaced && !global) p->flags |= PAT_DONE;
  return out;
}

ks_status_t eval(const engine_t &e, std::string_view text, std::string *value, size_t *length,
                 const defs_t *defs);
ks_status_t expand(const engine_t &e, const char *line, std::string *out, const defs_t *defs);

// Appends to out the value of the reference at text[0] ("$") inside a modifier: its value, or
// nothing for an undefined variable; a failing reference has its "$" dropped, so that the rest
// is read as text. Returns the characters consumed.
size_t modifier_reference(const engine_t &e, std::string_view text, std::string *out) {
  std::string v;
  size_t len = 0;
  const ks_status_t st = eval(e, text, &v, &len, nullptr);
  if (st == KS_ST_OK) *out += v;
  return st == KS_ST_ERR || len == 0 ? 1 : len;
}

// Reads the S modifier at mods[i] ("S") into p; the offset after it, or npos when the text
// ends before its second or third delimiter.
size_t read_substitution(const engine_t &e, std::string_view mods, size_t i, pattern_t *p) {
  const char delim = mods[i + 1];
  size_t j = i + 2;
  if (j < mods.size() && mods[j] == '^') {
    p->flags |= PAT_ANCHOR_START;
    j++;
  }
  for (;;) {
    if (j >= mods.size()) return std::string_view::npos;
    const char c = mods[j];
    const char next = j + 1 < mods.size() ? mods[j + 1] : '\0';
    if (c == delim) {
      j++;
      break;
    }
    if (c == '\\' && j + 1 < mods.size() && (next == delim || next == '$' || next == '\\')) {
      p->lhs += next;
      j += 2;
    } else if (c == '$' && j + 1 < mods.size() && next == delim) {
      p->flags |= PAT_ANCHOR_END;
      j++;
    } else if (c == '$') {
      j += modifier_reference(e, mods.substr(j), &p->lhs);
    } else {
      p->lhs += c;
      j++;
    }
  }
  for (;;) {
    if (j >= mods.size()) return std::string_view::npos;
    const char c = mods[j];
    const char next = j + 1 < mods.size() ? mods[j + 1] : '\0';
    if (c == delim) {
      j++;
      break;
    }
    if (c == '\\' && j + 1 < mods.size() &&
        (next == delim || next == '\\' || next == '$' || next == '&')) {
      p->rhs += next;
      j += 2;
    } else if (c == '$' && j + 1 < mods.size() && next == delim) {
      p->rhs += '$';
      j++;
    } else if (c == '$') {
      j += modifier_reference(e, mods.substr(j), &p->rhs);
    } else if (c == '&') {
      p->rhs += p->lhs;
      j++;
    } else {
      p->rhs += c;
      j++;
    }
  }
  if (j < mods.size() && mods[j] == 'g') {
    p->flags |= PAT_GLOBAL;
    j++;
  }
  return j;
}

// Applies the modifier text of a reference to *value, left to right.
ks_status_t apply_modifiers(const engine_t &e, const std::string &name, std::string_view mods,
                            char close, std::string *value) {
  size_t i = 0;
  while (i < mods.size()) {
    const char letter = mods[i];
    if (tracing())
      imsg_print(IMSG_INFO, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_APPLYING, letter,
                 value->c_str());
    const bool word_op = i + 1 >= mods.size() || mods[i + 1] == ':';
    if (word_op && (letter == 'E' || letter == 'H' || letter == 'R' || letter == 'T')) {
      std::string (*fn)(std::string_view) = letter == 'E'   ? var_suffix
                                            : letter == 'H' ? var_head
                                            : letter == 'R' ? var_root
                                                            : var_tail;
      *value = map_words(*value, fn);
      i++;
    } else if (letter == 'M' || letter == 'N') {
      std::string pat;
      size_t j = i + 1;
      while (j < mods.size() && mods[j] != ':') {
        if (mods[j] == '\\' && j + 1 < mods.size() && mods[j + 1] == ':') {
          pat += ':';
          j += 2;
        } else {
          pat += mods[j++];
        }
      }
      const bool keep = letter == 'M';
      *value = map_words(*value, [&](std::string_view w) {
        const bool match = !pat.empty() && bsdmake_str_match(w, pat) == 1;
        return match == keep ? std::string(w) : std::string();
      });
      i = j;
    } else if (letter == 'S' && i + 1 < mods.size()) {
      pattern_t p;
      const size_t next = read_substitution(e, mods, i, &p);
      if (next == std::string_view::npos) {
        report_unclosed(name, mods[i + 1]);
        return KS_ST_OK;
      }
      *value = map_words(*value, [&](std::string_view w) { return var_substitute(w, &p); });
      i = next;
    } else if (mods.find('=', i) != std::string_view::npos) {
      const size_t eq = mods.find('=', i);
      pattern_t p;
      p.lhs = std::string(mods.substr(i, eq - i));
      p.rhs = std::string(mods.substr(eq + 1));
      p.flags = PAT_GLOBAL | PAT_ANCHOR_END;
      *value = map_words(*value, [&](std::string_view w) { return var_substitute(w, &p); });
      i = mods.size();
    } else {
      imsg_print(IMSG_ERROR, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_UNKNOWN_MODIFIER, letter);
      bsdmake_print_position(IMSG_ERROR);
      mf_parser_failed = 1;
      return KS_ST_ERR;
    }
    if (tracing())
      imsg_print(IMSG_INFO, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_RESULT, value->c_str());
    if (i < mods.size()) {
      if (mods[i] != ':') {
        report_unclosed(mods, close);
        return KS_ST_ERR;
      }
      i++;
    }
  }
  return KS_ST_OK;
}

// Keeps recurse_depth for one evaluation.
struct depth_guard {
  depth_guard() { recurse_depth++; }
  ~depth_guard() { recurse_depth--; }
  depth_guard(const depth_guard &) = delete;
  depth_guard &operator=(const depth_guard &) = delete;
};

ks_status_t eval(const engine_t &e, std::string_view text, std::string *value, size_t *length,
                 const defs_t *defs) {
  *length = 0;
  reference_t ref;
  if (read_reference(text, &ref) != KS_ST_OK) return KS_ST_ERR;
  *length = ref.length;
  const std::string name(ref.name);
  if (recurse_depth == 0) save_mac_name = name;
  if (recurse_depth >= kMaxDepth) {
    imsg_print(IMSG_ERROR, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_CIRCULAR,
               save_mac_name.c_str());
    return KS_ST_ERR;
  }
  depth_guard guard;
  const char *stored = e.scopes != LIST_HANDLE_NULL
                           ? bldr_macro_lookup(e.scopes, name.c_str(), nullptr)
                           : nullptr;
  if (defs != nullptr && defs->list != LIST_HANDLE_NULL) {
    char *def = mf_utl_area_putenv_def(name.c_str(), stored != nullptr ? stored : "", defs->area);
    if (def == nullptr || list_append(defs->list, def) != 0) return no_memory();
  }
  if (stored == nullptr) {
    if (e.undef_mode != BSDMAKE_UNDEF_ERROR) return KS_ST_NOT_FOUND;
    imsg_print(IMSG_ERROR, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_UNDEFINED,
               static_cast<int>(ref.length), text.data());
    bsdmake_print_position(IMSG_ERROR);
    mf_parser_failed = 1;
    return KS_ST_ERR;
  }
  std::string v;
  if (e.expand_values) {
    const ks_status_t st = expand(e, stored, &v, nullptr);
    if (st != KS_ST_OK) return st;
  } else {
    v = stored;
  }
  if (ref.has_mods) {
    const ks_status_t st = apply_modifiers(e, name, ref.mods, ref.close, &v);
    if (st != KS_ST_OK) return st;
  }
  *value = std::move(v);
  return KS_ST_OK;
}

ks_status_t expand(const engine_t &e, const char *line, std::string *out, const defs_t *defs) {
  const std::string_view text(line);
  if (bldr_macro_hooks.unique_mfs_name != nullptr && bldr_macro_hooks.unique_mfs_name(line)) {
    *out = text;
    return KS_ST_OK;
  }
  size_t i = 0;
  while (i < text.size()) {
    const size_t dollar = text.find('$', i);
    if (dollar == std::string_view::npos) {
      out->append(text.substr(i));
      break;
    }
    out->append(text.substr(i, dollar - i));
    i = dollar;
    if (i + 1 == text.size()) {
      // A "$" that ends the line stands for itself.
      *out += '$';
      break;
    }
    if (text[i + 1] == '$') {
      *out += bldr_macro_preserve_double_dollar ? "$$" : "$";
      i += 2;
      continue;
    }
    std::string v;
    size_t len = 0;
    const ks_status_t st = eval(e, text.substr(i), &v, &len, defs);
    if (st == KS_ST_ERR) return KS_ST_ERR;
    if (st == KS_ST_NOT_FOUND) {
      if (e.undef_mode == BSDMAKE_UNDEF_KEEP) {
        *out += '$';
        i++;
      } else {
        i += len;
      }
      continue;
    }
    *out += v;
    i += len;
  }
  return KS_ST_OK;
}

// Whether the pattern element at p[pi] (not "*") matches c; *advance is its length. A set
// without "]" or an empty set matches nothing, nor does a backslash that ends the pattern.
bool match_one(char c, std::string_view p, size_t pi, size_t *advance) {
  *advance = 1;
  if (p[pi] == '?') return true;
  if (p[pi] == '\\') {
    if (pi + 1 == p.size()) return false;
    *advance = 2;
    return p[pi + 1] == c;
  }
  if (p[pi] != '[') return p[pi] == c;
  const unsigned char ch = static_cast<unsigned char>(c);
  bool found = false;
  size_t k = pi + 1;
  while (k < p.size() && p[k] != ']') {
    if (k + 2 < p.size() && p[k + 1] == '-' && p[k + 2] != ']') {
      const unsigned char lo = static_cast<unsigned char>(p[k]);
      const unsigned char hi = static_cast<unsigned char>(p[k + 2]);
      if ((lo <= ch && ch <= hi) || (hi <= ch && ch <= lo)) found = true;
      k += 3;
    } else {
      if (static_cast<unsigned char>(p[k]) == ch) found = true;
      k++;
    }
  }
  if (k == p.size() || k == pi + 1) return false;
  *advance = k + 1 - pi;
  return found;
}

}  // namespace

int bsdmake_str_match(std::string_view word, std::string_view pattern) {
  // On a mismatch the last "*" takes one more character; runs of "*" act as one.
  size_t wi = 0, pi = 0;
  size_t star_p = std::string_view::npos, star_w = 0;
  while (wi < word.size()) {
    if (pi < pattern.size() && pattern[pi] == '*') {
      star_p = pi++;
      star_w = wi;
      continue;
    }
    size_t advance = 1;
    if (pi < pattern.size() && match_one(word[wi], pattern, pi, &advance)) {
      wi++;
      pi += advance;
    } else if (star_p != std::string_view::npos) {
      pi = star_p + 1;
      wi = ++star_w;
    } else {
      return 0;
    }
  }
  while (pi < pattern.size() && pattern[pi] == '*') pi++;
  return pi == pattern.size() ? 1 : 0;
}

ks_status_t bsdmake_var_eval_in(list_handle_t scopes, std::string_view text, uint32_t undef_mode,
                                std::string *value, size_t *length, int32_t expand_values) {
  const engine_t e{scopes, undef_mode, expand_values};
  return eval(e, text, value, length, nullptr);
}

ks_status_t bsdmake_var_eval(list_handle_t scopes, const char *text, uint32_t undef_mode,
                             stg_area_t area, char **value, int32_t *length, list_handle_t defs,
                             stg_area_t def_area, int32_t expand_values) {
  *value = nullptr;
  const engine_t e{scopes, undef_mode, expand_values};
  const defs_t d{defs, def_area};
  std::string v;
  size_t len = 0;
  const ks_status_t st = eval(e, text, &v, &len, &d);
  *length = static_cast<int32_t>(len);
  if (st != KS_ST_OK) return st;
  *value = stg_area_strdup(area, v.c_str());
  return *value != nullptr ? KS_ST_OK : no_memory();
}

ks_status_t bsdmake_var_expand_line(list_handle_t scopes, const char *line, uint32_t undef_mode,
                                    stg_area_t area, char **result, list_handle_t defs,
                                    stg_area_t def_area, int32_t expand_values) {
  *result = nullptr;
  const engine_t e{scopes, undef_mode, expand_values};
  const defs_t d{defs, def_area};
  std::string out;
  if (expand(e, line, &out, &d) != KS_ST_OK) return KS_ST_ERR;
  *result = stg_area_strdup(area, out.c_str());
  return *result != nullptr ? KS_ST_OK : no_memory();
}

ks_status_t bsdmake_var_find_in_str(const char *text, const char *name) {
  const std::string_view t(text);
  size_t i = 0;
  while ((i = t.find('$', i)) != std::string_view::npos) {
    if (i + 1 < t.size() && t[i + 1] == '$') {
      i += 2;
      continue;
    }
    reference_t ref;
    if (read_reference(t.substr(i), &ref) != KS_ST_OK) return KS_ST_ERR;
    if (ref.length == 0) break;
    if (ref.name == name) return KS_ST_OK;
    i += ref.length;
  }
  return KS_ST_NOT_FOUND;
}
