// The expression evaluator of the BSD-style conditional directives: E := F { || F },
// F := T { && T }, T := ( E ) | ! T | term, evaluated left to right with short-circuits.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "mf/bldr_macro.h"
#include "mf/bsdmake.h"
#include "mf/mf_cond.h"
#include "mf/mf_io.h"
#include "mf/mf_lex_utl.h"
#include "mf/mf_parse_utl.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"

namespace {

enum cond_token_t {
  COND_AND = 0,
  COND_OR = 1,
  COND_NOT = 2,
  COND_TRUE = 3,
  COND_FALSE = 4,
  COND_LPAREN = 5,
  COND_RPAREN = 6,
  COND_EOF = 7,
  COND_NONE = 8,
  COND_ERR = 9,
};

using arg_fn = bool (*)(const std::string &arg);

// The state of the evaluation in progress (one at a time): the text, the read position, the
// token given back (with where it began), the bare-word inversion and the bare-word test.
struct cond_state_t {
  std::string_view expr;
  size_t pos = 0;
  cond_token_t push_back = COND_NONE;
  size_t push_back_start = 0;
  size_t token_start = 0;
  bool invert = false;
  arg_fn def_proc = nullptr;
};
cond_state_t cond;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char at(size_t i) { return i < cond.expr.size() ? cond.expr[i] : '\0'; }

void skip_blanks() {
  while (is_blank(at(cond.pos))) cond.pos++;
}

// Undefined variables are errors while evaluating, except in sgismake.
uint32_t undef_mode(bool do_eval) {
  return do_eval && mf_parse_compat_variant() != MF_COMPAT_SGISMAKE ? BSDMAKE_UNDEF_ERROR
                                                                    : BSDMAKE_UNDEF_SILENT;
}

// Evaluates the reference at offset from of the expression.
ks_status_t reference(size_t from, uint32_t mode, std::string *value, size_t *length) {
  return bsdmake_var_eval_in(mfc_mf_macro_table_list, cond.expr.substr(from), mode, value, length,
                             1);
}

bool do_defined(const std::string &arg) {
  return mfc_mf_macro_table_list != LIST_HANDLE_NULL &&
         bldr_macro_lookup(mfc_mf_macro_table_list, arg.c_str(), nullptr) != nullptr;
}

bool do_make(const std::string &arg) {
  size_t b = 0, e = arg.size();
  while (b < e && is_space(arg[b])) b++;
  while (e > b && is_space(arg[e - 1])) e--;
  return mf_cond_is_goal_tgt(arg.substr(b, e - b).c_str()) != 0;
}

bool do_exists(const std::string &) {
  imsg_print(IMSG_WARNING, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_UNIMPLEMENTED, "exists");
  imsg_print(IMSG_WARNING, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_AS_IF_FALSE);
  return false;
}

bool do_target(const std::string &) { return false; }

// Reads an argument at the read position into *arg: with parens, the text between the next "("
// and its ")" (white space around it dropped); without, a word up to a blank, TAB, ")", "&", "|"
// or the end. References are replaced by their values. Returns its length; 0 when there is none
// (with parens the read position is then where it was).
size_t get_arg(std::string *arg, const char *func_name, bool parens) {
  arg->clear();
  const size_t start = cond.pos;
  if (parens) {
    while (cond.pos < cond.expr.size() && cond.expr[cond.pos] != '(') cond.pos++;
    if (cond.pos < cond.expr.size()) cond.pos++;
  }
  if (cond.pos >= cond.expr.size()) {
    cond.pos = start;
    return 0;
  }
  skip_blanks();
  for (;;) {
    const char c = at(cond.pos);
    if (c == '\0' || is_blank(c) || c == ')' || c == '&' || c == '|') break;
    if (c != '$') {
      *arg += c;
      cond.pos++;
      continue;
    }
    std::string v;
    size_t len = 0;
    const ks_status_t st = reference(cond.pos, undef_mode(true), &v, &len);
    if (st == KS_ST_OK) *arg += v;
    // A failing reference loses its "$"; the rest is read as text.
    cond.pos += st == KS_ST_ERR || len == 0 ? 1 : len;
  }
  skip_blanks();
  if (!parens) return arg->size();
  if (at(cond.pos) != ')') {
    imsg_print(IMSG_WARNING, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_NO_CLOSING_PAREN, func_name);
    bsdmake_print_position(IMSG_WARNING);
    cond.pos = start;
    return 0;
  }
  cond.pos++;
  return arg->size();
}

// Converts text to the number it stands for: a leading "-" negates and "+" is skipped; "0x" or
// a bare "x" start a hexadecimal number in 32 bits; anything else is read as a decimal or
// floating number; text that starts with no number gives 0. *whole tells whether nothing but
// white space followed the number.
double cvt_arg(const std::string &text, bool *whole) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    i++;
  } else if (i < text.size() && text[i] == '+') {
    i++;
  }
  double value = 0;
  size_t end = i;
  if (text.compare(i, 2, "0x") == 0 || (i < text.size() && text[i] == 'x')) {
    end = i + (text[i] == 'x' ? 1 : 2);
    uint32_t acc = 0;
    while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end]))) {
      const char c = text[end++];
      const uint32_t digit = std::isdigit(static_cast<unsigned char>(c))
                                 ? uint32_t(c - '0')
                                 : uint32_t(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
      acc = acc * 16 + digit;
    }
    value = static_cast<double>(static_cast<int32_t>(acc));
  } else {
    const char *begin = text.c_str() + i;
    char *stop = nullptr;
    value = std::strtod(begin, &stop);
    end = i + static_cast<size_t>(stop - begin);
    if (stop == begin) end = i;
  }
  if (whole != nullptr) {
    size_t k = end;
    while (k < text.size() && is_space(text[k])) k++;
    *whole = k == text.size() && (end > i || text.empty());
  }
  return negative ? -value : value;
}

void trace_comparison(const std::string &lhs, const std::string &rhs, const std::string &op) {
  if (!mf_utl_should_trace("bsdmake_cond", 4)) return;
  imsg_print(IMSG_INFO, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_COMPARISON, lhs.c_str(),
             rhs.c_str(), op.c_str());
}

std::string number_text(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// A comparison at the read position ("$").
cond_token_t comparison(bool do_eval) {
  const uint32_t mode = undef_mode(do_eval);
  std::string lhs;
  size_t len = 0;
  ks_status_t st = reference(cond.pos, mode, &lhs, &len);
  if (st == KS_ST_ERR) return COND_ERR;
  if (st == KS_ST_NOT_FOUND) lhs.clear();
  cond.pos += len;
  while (is_space(at(cond.pos))) cond.pos++;

  std::string op = "!=";
  std::string rhs_text = "0";
  bool rhs_in_line = false;
  char op_next = '\0';
  const char c = at(cond.pos);
  if (c == '!' || c == '<' || c == '=' || c == '>') {
    op.assign(1, c);
    op_next = at(cond.pos + 1);
    cond.pos++;
    if (at(cond.pos) == '=') {
      op += '=';
      cond.pos++;
    }
    while (is_space(at(cond.pos))) cond.pos++;
    if (cond.pos >= cond.expr.size()) {
      imsg_print(IMSG_WARNING, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_NO_RHS);
      bsdmake_print_position(IMSG_WARNING);
      return COND_ERR;
    }
    rhs_in_line = true;
  }

  if (rhs_in_line && at(cond.pos) == '"') {
    if (op != "==" && op != "!=") {
      mf_io_print_position(IMSG_WARNING);
      imsg_print(IMSG_WARNING_CONT, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_STRING_OP);
      return COND_ERR;
    }
    std::string str;
    size_t i = cond.pos + 1;
    while (i < cond.expr.size() && cond.expr[i] != '"') {
      const char ch = cond.expr[i];
      if (ch == '\\' && i + 1 < cond.expr.size()) {
        str += cond.expr[i + 1];
        i += 2;
      } else if (ch == '$') {
        std::string v;
        size_t vlen = 0;
        const ks_status_t vst = reference(i, mode, &v, &vlen);
        if (vst == KS_ST_OK) str += v;
        i += vst == KS_ST_ERR || vlen == 0 ? 1 : vlen;
      } else {
        str += ch;
        i++;
      }
    }
    cond.pos = i < cond.expr.size() ? i + 1 : i;
    trace_comparison(lhs, str, op);
    const bool equal = lhs == str;
    return (op == "==") == equal ? COND_TRUE : COND_FALSE;
  }

  bool lhs_whole = false;
  const double left = cvt_arg(lhs, &lhs_whole);
  double right = 0;
  bool rhs_whole = true;
  if (rhs_in_line && at(cond.pos) == '$') {
    std::string v;
    size_t vlen = 0;
    const ks_status_t vst = reference(cond.pos, mode, &v, &vlen);
    if (vst == KS_ST_OK) {
      rhs_text = v;
      right = cvt_arg(v, &rhs_whole);
    } else {
      rhs_text.clear();
    }
    // The reference is read whatever it gave, so that the rest of the line follows it.
    cond.pos += vlen > 0 ? vlen : 1;
  } else {
    if (rhs_in_line) {
      const size_t start = cond.pos;
      while (cond.pos < cond.expr.size() && !is_space(cond.expr[cond.pos])) cond.pos++;
      rhs_text = std::string(cond.expr.substr(start, cond.pos - start));
    }
    right = cvt_arg(rhs_text, &rhs_whole);
  }

  if (op == "=" || op == "!") {
    imsg_print(IMSG_WARNING, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_UNKNOWN_OP, op[0], op_next);
    bsdmake_print_position(IMSG_WARNING);
    return COND_ERR;
  }
  // Equality of texts that are not both numbers compares the texts: a value that is no number
  // would otherwise equal every other one (both read as 0). An empty text still counts as 0.
  if (rhs_in_line && (op == "==" || op == "!=") &&
      ((!lhs.empty() && !lhs_whole) || (!rhs_text.empty() && !rhs_whole))) {
    trace_comparison(lhs, rhs_text, op);
    const bool equal = lhs == rhs_text;
    return (op == "==") == equal ? COND_TRUE : COND_FALSE;
  }
  trace_comparison(number_text(left), number_text(right), op);
  bool result = false;
  if (op == "<") result = left < right;
  else if (op == "<=") result = left <= right;
  else if (op == ">") result = left > right;
  else if (op == ">=") result = left >= right;
  else if (op == "==") result = left == right;
  else result = left != right;
  return result ? COND_TRUE : COND_FALSE;
}

cond_token_t term_value(bool do_eval, arg_fn fn, const std::string &arg, bool invert) {
  const bool answer = !do_eval || fn(arg);
  return answer != invert ? COND_TRUE : COND_FALSE;
}

cond_token_t bare_word(bool do_eval) {
  std::string arg;
  get_arg(&arg, nullptr, false);
  return term_value(do_eval, cond.def_proc, arg, cond.invert);
}

// A function call or a bare word at the read position.
cond_token_t function_or_word(bool do_eval) {
  const std::string_view rest = cond.expr.substr(cond.pos);
  const size_t name_start = cond.pos;
  static const struct {
    const char *name;
    arg_fn fn;
  } functions[] = {
      {"defined", do_defined}, {"make", do_make}, {"exists", do_exists}, {"empty", nullptr},
      {"target", do_target},
  };
  for (const auto &f : functions) {
    const size_t n = std::strlen(f.name);
    if (rest.substr(0, n) != f.name) continue;
    cond.pos += n;
    if (f.fn == nullptr) {
      // empty(V...) is the reference $(V...), modifiers included.
      size_t paren = cond.pos;
      while (paren < cond.expr.size() && cond.expr[paren] != '(') paren++;
      if (paren >= cond.expr.size()) {
        cond.pos = name_start;
        return bare_word(do_eval);
      }
      const std::string ref = "$" + std::string(cond.expr.substr(paren));
      std::string v;
      size_t len = 0;
      const ks_status_t st = bsdmake_var_eval_in(mfc_mf_macro_table_list, ref,
                                                 undef_mode(do_eval), &v, &len, 1);
      if (st == KS_ST_ERR) return COND_ERR;
      cond.pos = paren + len - 1;
      return st == KS_ST_NOT_FOUND || v.empty() ? COND_TRUE : COND_FALSE;
    }
    std::string arg;
    if (get_arg(&arg, f.name, true) == 0) {
      cond.pos = name_start;
      return bare_word(do_eval);
    }
    return term_value(do_eval, f.fn, arg, false);
  }
  return bare_word(do_eval);
}

cond_token_t next_token(bool do_eval) {
  if (cond.push_back != COND_NONE) {
    const cond_token_t t = cond.push_back;
    cond.push_back = COND_NONE;
    cond.token_start = cond.push_back_start;
    return t;
  }
  skip_blanks();
  cond.token_start = cond.pos;
  const char c = at(cond.pos);
  switch (c) {
    case '(': cond.pos++; return COND_LPAREN;
    case ')': cond.pos++; return COND_RPAREN;
    case '!': cond.pos++; return COND_NOT;
    case '|':
      cond.pos += at(cond.pos + 1) == '|' ? 2 : 1;
      return COND_OR;
    case '&':
      cond.pos += at(cond.pos + 1) == '&' ? 2 : 1;
      return COND_AND;
    case '\0':
    case '\n': return COND_EOF;
    case '$': return comparison(do_eval);
    default: return function_or_word(do_eval);
  }
}

void push_back(cond_token_t t) {
  cond.push_back = t;
  cond.push_back_start = cond.token_start;
}

cond_token_t cond_e(bool do_eval);

cond_token_t cond_t(bool do_eval) {
  cond_token_t t = next_token(do_eval);
  if (t == COND_EOF) return COND_ERR;
  if (t == COND_LPAREN) {
    t = cond_e(do_eval);
    if (t != COND_ERR && next_token(do_eval) != COND_RPAREN) t = COND_ERR;
    return t;
  }
  if (t == COND_NOT) {
    t = cond_t(do_eval);
    if (t == COND_TRUE) return COND_FALSE;
    if (t == COND_FALSE) return COND_TRUE;
  }
  return t;
}

cond_token_t cond_f(bool do_eval) {
  cond_token_t l = cond_t(do_eval);
  if (l == COND_ERR) return l;
  const cond_token_t o = next_token(do_eval);
  if (o != COND_AND) {
    push_back(o);
    return l;
  }
  if (l == COND_TRUE) return cond_f(do_eval);
  cond_f(false);
  return l;
}

cond_token_t cond_e(bool do_eval) {
  cond_token_t l = cond_f(do_eval);
  if (l == COND_ERR) return l;
  const cond_token_t o = next_token(do_eval);
  if (o != COND_OR) {
    push_back(o);
    return l;
  }
  if (l == COND_FALSE) return cond_e(do_eval);
  cond_e(false);
  return l;
}

}  // namespace

int bsdmake_cond_eval_expr(char *condition, int kind, int invert) {
  cond = cond_state_t{};
  cond.expr = condition != nullptr ? std::string_view(condition) : std::string_view();
  cond.def_proc = kind == 1 ? do_make : do_defined;
  cond.invert = invert != 0;
  const cond_token_t v = cond_e(true);
  if (v == COND_TRUE || v == COND_FALSE) {
    // What follows a complete expression does not change its value; it is shown, not dropped
    // in silence.
    if (next_token(true) != COND_EOF) {
      const std::string rest(cond.expr.substr(cond.token_start));
      imsg_print(IMSG_WARNING, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_TRAILING_TEXT,
                 rest.c_str());
      bsdmake_print_position(IMSG_WARNING);
    }
    return v == COND_TRUE ? 0 : 1;
  }
  const char *shown = condition != nullptr ? condition : "";
  while (is_blank(*shown)) shown++;
  imsg_print(IMSG_ERROR, &_bsdmake_karsel_msg_table, BSDMAKE_MSG_MALFORMED, shown);
  bsdmake_print_position(IMSG_ERROR);
  mf_parser_failed = 1;
  return 2;
}
