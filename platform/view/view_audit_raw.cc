#include "view/view_audit_raw.h"

#include <algorithm>
#include <charconv>

#include "vessary/vessary_raw.h"

namespace {

// Reads the number at the front of *s (skipping spaces before it) in base; false when there is
// none or it does not fit.
template <class T>
bool take_number(std::string_view *s, T *v, int base = 10) {
  while (!s->empty() && s->front() == ' ') s->remove_prefix(1);
  auto [end, ec] = std::from_chars(s->data(), s->data() + s->size(), *v, base);
  if (ec != std::errc() || end == s->data()) return false;
  s->remove_prefix(size_t(end - s->data()));
  return true;
}

// The object status of an event: "<dev>:<ino>:<mode>:<size>:<mtime s>:<mtime ns>".
view_audit_raw_ident_t parse_ident(std::string_view s) {
  view_audit_raw_ident_t r;
  uint64_t *u[] = {&r.dev, &r.ino, &r.mode, &r.size};
  for (uint64_t *x : u) {
    if (!take_number(&s, x) || s.empty() || s.front() != ':') return {};
    s.remove_prefix(1);
  }
  if (!take_number(&s, &r.msec) || s.empty() || s.front() != ':') return {};
  s.remove_prefix(1);
  if (!take_number(&s, &r.mnsec) || !s.empty()) return {};
  r.known = true;
  return r;
}

}  // namespace

std::vector<view_audit_raw_event_t> view_audit_raw_parse(std::string_view data, size_t *used) {
  std::vector<view_audit_raw_event_t> out;
  out.reserve(data.size() / 64);
  size_t pos = 0;
  *used = 0;
  while (pos < data.size()) {
    size_t nl = data.find('\n', pos);
    if (nl == std::string_view::npos) break;
    std::string_view head = data.substr(pos, nl - pos);
    std::string_view rest = head.size() >= 2 ? head.substr(2) : std::string_view();
    uint64_t pid = 0, arg = 0, l1 = 0, l2 = 0;
    std::string_view ident;
    bool good = head.size() >= 2 && head[1] == ' ' && take_number(&rest, &pid) &&
                take_number(&rest, &arg, 16);
    if (good) {
      while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
      size_t end = std::min(rest.find(' '), rest.size());
      ident = rest.substr(0, end);
      rest.remove_prefix(end);
      good = !ident.empty() && take_number(&rest, &l1) && take_number(&rest, &l2);
    }
    if (!good) {
      // A damaged line: skip it, keep the rest.
      pos = nl + 1;
      *used = pos;
      continue;
    }
    if (l1 > data.size() || l2 > data.size() || nl + 1 + l1 + l2 > data.size())
      break;  // torn: its names are not all there yet
    view_audit_raw_event_t ev;
    ev.op = head[0];
    ev.arg = arg;
    if (ident != "-") ev.id = parse_ident(ident);
    ev.p1 = data.substr(nl + 1, l1);
    ev.p2 = data.substr(nl + 1 + l1, l2);
    pos = nl + 1 + l1 + l2;
    *used = pos;
    out.push_back(ev);
  }
  return out;
}

view_audit_raw_origin_t view_audit_raw_origin(std::string_view data) {
  view_audit_raw_origin_t o;
  size_t used = 0;
  std::vector<view_audit_raw_event_t> first = view_audit_raw_parse(data, &used);
  if (first.empty() || first[0].op != VESSARY_EV_VERSION || first[0].arg < 2) return o;
  o.id = std::string(first[0].p1);
  std::string_view b = first[0].p2;
  int64_t base = 0;
  if (!b.empty() && take_number(&b, &base) && b.empty() && base >= 0) o.base = base;
  return o;
}
