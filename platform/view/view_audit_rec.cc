// Audit records from raw audit events: the conversion proper (see view/view_audit_rec.h).
//
// Accesses outside every view, and outside the VOBs of a view, are dropped. Names are resolved on
// the disk: a symbolic link on the way (a directory or the final name followed) is looked up as a
// link with its text, and the object is the one it leads to. An object is identified as it was
// when the script touched it: what its name held then, when that was a version of the view's
// selection (or the index vouches for it); otherwise its own view-private identity, one per
// object. An object lasts from its creation (or first sight) until its removal, a rename over
// its name or a new creation on its inode, so inodes used again are new objects. A view-private
// object is identified by the name it ends the batch with: as it is now when it is still there
// and was written by the build or is unchanged since it was read; from its last recorded status
// when the build wrote it and it is gone; and an object only read whose data changed meanwhile
// gets the OID the view recorded for that status, or else an OID made for this record alone,
// which no later look-up can give.
//
// Records written per access, after the VOB entry of its VOB and the look-ups of the directories
// from the VOB root down (each once per section): a look-up of the object under its name, then
// read (3), write (4), create (7, 13 for directories), remove (9), truncate (10), link text (5),
// rename (8) or marker (14) records; a view entry (12) names each view before its first access.
#include "view/view_audit_rec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "dbrpc/dbrpc_viewdb.h"
#include "tbs/tbs_oid.h"
#include "tbs/tbs_product.h"
#include "vessary/vessary.h"
#include "vessary/vessary_raw.h"
#include "view/view_do.h"
#include "view/view_xstat.h"
#include "vob/vob_ob.h"
#include "vob/vob_pname.h"

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace {


// Record types and layout sizes of the audit file format (the reader's side fixes them).
enum : uint16_t {
  T_VOB = 1, T_LOOKUP = 2, T_READ = 3, T_WRITE = 4, T_READLINK = 5, T_CREATE = 7, T_RENAME = 8,
  T_REMOVE = 9, T_TRUNCATE = 10, T_CHOID = 11, T_VIEW = 12, T_CREATE_DIR = 13, T_MARKER = 14,
};
constexpr uint16_t kFormat = 11;
constexpr size_t kNameA = 124;  // where the name of a layout A record begins

using RawIdent = view_audit_raw_ident_t;
using RawEvent = view_audit_raw_event_t;

// The identity of an object as the audit records it.
struct Ident {
  tbs_uuid_t view{};
  tbs_oid_t vob_oid{}, oid{}, elem{};
  vob_objsn_t sn{0, 0};
  uint32_t mtype = 0;
  uint16_t ftype = 0;
  int64_t mtime = 0, mtime_ns = 0;
};

// Whether an object of meta-type m is one of the view's selection, identified by its name.
bool selected(uint32_t m) {
  return m == VOB_MTYPE_VERSION || m == VOB_MTYPE_SLINK || m == VOB_MTYPE_DIR_VERSION;
}

std::string_view dirname_of(std::string_view p) {
  size_t s = p.rfind('/');
  if (s == std::string_view::npos) return ".";
  if (s == 0) return "/";
  return p.substr(0, s);
}

std::string_view leaf_of(std::string_view p) {
  size_t s = p.rfind('/');
  return s == std::string_view::npos ? p : p.substr(s + 1);
}

// Joins a directory and a name below it.
std::string join(std::string_view dir, std::string_view leaf) {
  std::string out;
  out.reserve(dir.size() + 1 + leaf.size());
  out.append(dir);
  if (out != "/") out += '/';
  out.append(leaf);
  return out;
}

bool under(std::string_view p, std::string_view dir) {
  return !dir.empty() && p.size() > dir.size() && p.compare(0, dir.size(), dir) == 0 &&
         p[dir.size()] == '/';
}

// Hashing that finds strings by views too.
struct ViewHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// A stat record holding what an event recorded of an object.
struct stat stat_of(const RawIdent &r) {
  struct stat st = {};
  st.st_dev = dev_t(r.dev);
  st.st_ino = ino_t(r.ino);
  st.st_mode = mode_t(r.mode);
  st.st_size = off_t(r.size);
  st.st_mtim.tv_sec = r.msec;
  st.st_mtim.tv_nsec = r.mnsec;
  return st;
}

// Whether st shows the data that r recorded (for a directory: the same directory).
bool same_data(const struct stat &st, const RawIdent &r) {
  if (uint64_t(st.st_dev) != r.dev || uint64_t(st.st_ino) != r.ino) return false;
  return S_ISDIR(st.st_mode) || (uint64_t(st.st_size) == r.size && st.st_mtim.tv_sec == r.msec &&
                                 st.st_mtim.tv_nsec == r.mnsec);
}

// Whether the final name of an event's first pathname is followed when it is a symbolic link.
bool follows(const RawEvent &ev) {
  switch (ev.op) {
    case VESSARY_EV_OPEN:
      return !(ev.arg & O_NOFOLLOW) && (ev.arg & (O_CREAT | O_EXCL)) != (O_CREAT | O_EXCL);
    case VESSARY_EV_STAT: return ev.arg == 0;
    case VESSARY_EV_ACCESS:
    case VESSARY_EV_OPENDIR:
    case VESSARY_EV_EXEC:
    case VESSARY_EV_TRUNCATE:
    case VESSARY_EV_CHDIR: return true;
    default: return false;
  }
}

// Whether an event names objects (its first name; renames and links a second).
bool names_objects(char op) {
  return op != VESSARY_EV_VERSION && op != VESSARY_EV_MARKER && op != VESSARY_EV_UNSEEN;
}

// A pathname resolved on the disk: the canonical name of what it names, and the symbolic links
// passed on the way there (canonical names), in order.
struct Resolved {
  bool ok = false;
  std::string abs;
  std::vector<std::string> links;
};

// An object: an inode from its creation (or first sight) until its end.
using Inode = std::pair<uint64_t, uint64_t>;  // device, inode
struct ObjKey {
  uint64_t dev = 0, ino = 0;
  uint32_t gen = 0;
  auto operator<=>(const ObjKey &) const = default;
};

// What the first pass learns of an event.
struct EventPlan {
  Resolved n1, n2;
  bool replaces_do = false;  // an open for writing of a derived object's file
  tbs_oid_t replaced_do{};   // that derived object and its meta-type
  uint32_t replaced_mtype = 0;
  bool has_obj = false;
  ObjKey obj;
  bool has_other = false;  // an exchange: the object the second name held
  ObjKey other;
  RawIdent other_id;
};

// What the first pass learns of an object of the batch.
struct ObjPlan {
  std::string final_name;  // the last name it had
  RawIdent last;           // its last recorded status
  bool written = false;    // created, written or truncated by the build
  bool made = false;       // created by the build
};

// The names the audit reader will know after the records written so far, per view: which object
// each name leads to (its name index), and the names each object has a record under, live or
// unlinked. With it the conversion writes no rename the reader cannot follow.
class ReaderNames {
 public:
  // An object access record (layout A with a name, or B without; a link text is no name).
  void access(const tbs_uuid_t &view, uint16_t type, const tbs_oid_t &oid, const tbs_oid_t &parent,
              std::string_view name) {
    bool named = !name.empty() && type != T_READLINK;
    std::vector<Rec> &recs = objects_[key(view, oid)];
    std::string k = named ? name_key(view, parent, name) : std::string();
    Rec *rec = nullptr;
    for (Rec &r : recs)
      if (r.live && (!named || r.name == k)) {
        rec = &r;
        break;
      }
    if (!rec) {
      recs.push_back({k, true});
      rec = &recs.back();
      if (named) index_[k] = key(view, oid);
    }
    if (type == T_REMOVE) rec->live = false;
  }

  // A change-OID record: every live named record of old becomes a record of new.
  void choid(const tbs_uuid_t &view, const tbs_oid_t &old, const tbs_oid_t &now) {
    std::string ok = key(view, old), nk = key(view, now);
    auto it = objects_.find(ok);
    if (it == objects_.end() || objects_.count(nk)) return;
    std::vector<Rec> moved;
    for (Rec &r : it->second)
      if (r.live && !r.name.empty()) {
        moved.push_back({r.name, true});
        index_[r.name] = nk;
        r.live = false;
      }
    objects_[nk] = std::move(moved);
  }

  // Whether the reader takes a rename of (old parent, old name) to (new parent, new name) as the
  // move of object oid; records it when so.
  bool rename(const tbs_uuid_t &view, const tbs_oid_t &oid, const tbs_oid_t &op,
              std::string_view on, const tbs_oid_t &np, std::string_view nn) {
    std::string ok = name_key(view, op, on), nk = name_key(view, np, nn), me = key(view, oid);
    auto oit = index_.find(ok);
    if (oit == index_.end() || oit->second != me || ok == nk) return false;
    Rec *orig = find(me, ok);
    if (!orig) return false;
    auto nit = index_.find(nk);
    if (nit != index_.end()) {
      auto r = objects_.find(nit->second);
      if (r == objects_.end() || r->second.empty()) return false;
      if (Rec *replaced = find(nit->second, nk)) replaced->live = false;
      orig = find(me, ok);  // the replaced record may have been the object's own
      if (!orig) return false;
    }
    orig->live = false;
    objects_[me].push_back({nk, true});
    index_[nk] = me;
    return true;
  }

 private:
  struct Rec {
    std::string name;  // name key; empty for a record without a name
    bool live;
  };
  std::unordered_map<std::string, std::string> index_;         // name key -> object key
  std::unordered_map<std::string, std::vector<Rec>> objects_;  // object key -> its records

  static std::string key(const tbs_uuid_t &view, const tbs_oid_t &oid) {
    return std::string(reinterpret_cast<const char *>(view.bytes), 16) +
           std::string(reinterpret_cast<const char *>(oid.bytes), 16);
  }
  static std::string name_key(const tbs_uuid_t &view, const tbs_oid_t &parent, std::string_view name) {
    std::string k = key(view, parent);
    k += '/';
    k.append(name);
    return k;
  }
  Rec *find(const std::string &obj, const std::string &name) {
    auto it = objects_.find(obj);
    if (it == objects_.end()) return nullptr;
    for (Rec &r : it->second)
      if (r.live && r.name == name) return &r;
    return nullptr;
  }
};

class Converter {
 public:
  std::string out;  // records to append

  Converter() {
    roots_[0] = vob_pname_view_root();
    roots_[1] = tbs_view_root();
  }

  void convert(const std::vector<RawEvent> &events) {
    plan(events);
    for (size_t i = 0; i < events.size(); ++i) event(events[i], plans_[i]);
  }

  // The identities given so far in this audit, as lines of the converter's state, so that an
  // object keeps its identity across conversions of one audit.
  std::string save() const {
    std::string text;
    static const char hex[] = "0123456789abcdef";
    for (const auto &[in, g] : gen_)
      text += "g " + std::to_string(in.first) + " " + std::to_string(in.second) + " " +
              std::to_string(g) + "\n";
    for (const auto &[k, id] : objects_) {
      text += "o " + std::to_string(k.dev) + " " + std::to_string(k.ino) + " " +
              std::to_string(k.gen) + " ";
      const auto *b = reinterpret_cast<const unsigned char *>(&id);
      for (size_t i = 0; i < sizeof id; ++i) {
        text += hex[b[i] >> 4];
        text += hex[b[i] & 15];
      }
      text += "\n";
    }
    return text;
  }

  // Takes the "g" and "o" lines of a state that save made.
  void load(std::string_view state) {
    size_t pos = 0;
    while (pos < state.size()) {
      size_t end = state.find('\n', pos);
      if (end == std::string_view::npos) end = state.size();
      std::string_view line = state.substr(pos, end - pos);
      pos = end + 1;
      if (line.size() < 2 || line[1] != ' ' || (line[0] != 'g' && line[0] != 'o')) continue;
      char kind = line[0];
      line.remove_prefix(2);
      uint64_t dev = 0, ino = 0;
      uint32_t gen = 0;
      if (!number(&line, &dev) || !number(&line, &ino) || !number(&line, &gen)) continue;
      if (kind == 'g') {
        gen_[{dev, ino}] = gen;
        continue;
      }
      if (line.size() != 1 + 2 * sizeof(Ident) || line[0] != ' ') continue;
      Ident id;
      auto *b = reinterpret_cast<unsigned char *>(&id);
      bool ok = true;
      auto nib = [&](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        ok = false;
        return 0;
      };
      for (size_t i = 0; i < sizeof id; ++i)
        b[i] = static_cast<unsigned char>(nib(line[1 + 2 * i]) << 4 | nib(line[2 + 2 * i]));
      if (ok) objects_[{dev, ino, gen}] = id;
    }
  }

 private:
  uint32_t section_ = 0;
  std::string roots_[2];  // the view root: canonical, and as the site names it
  std::vector<EventPlan> plans_;
  std::map<Inode, uint32_t> gen_;   // the current object of each inode
  std::map<ObjKey, ObjPlan> objs_;  // the objects of the batch
  std::map<ObjKey, Ident> objects_;  // the identities given
  // The object each name holds as the first pass goes, and the last one each name held.
  std::unordered_map<std::string, ObjKey> holders_, last_at_;
  // Resolved directories: as written -> resolved
  std::unordered_map<std::string, Resolved, ViewHash, std::equal_to<>> resolved_dirs_;
  // Names resolved: whether each lies where wanted, and where.
  using Places = std::unordered_map<std::string, std::pair<bool, vob_pname_t>, ViewHash, std::equal_to<>>;
  Places dirs_;       // directories of names
  Places vob_roots_;  // names in a view's own directory (VOB roots)
  std::unordered_map<std::string, std::pair<bool, Ident>> dir_ids_;  // canonical dir -> id
  std::set<std::pair<uint32_t, std::string>> vobs_done_, lookups_done_;
  std::set<std::tuple<uint32_t, uint16_t, std::string>> accesses_done_;
  std::set<std::string> views_done_;
  ReaderNames reader_;
  std::unordered_map<std::string, std::pair<bool, struct stat>> stats_;

  template <class T>
  static bool number(std::string_view *s, T *v) {
    while (!s->empty() && s->front() == ' ') s->remove_prefix(1);
    auto [end, ec] = std::from_chars(s->data(), s->data() + s->size(), *v);
    if (ec != std::errc() || end == s->data()) return false;
    s->remove_prefix(size_t(end - s->data()));
    return true;
  }

  // ---- names ----

  // lstat of path as the conversion sees the disk: taken once (the conversion identifies objects
  // as of one moment). False when there is nothing there.
  bool look(const std::string &path, struct stat *st) {
    auto it = stats_.find(path);
    if (it == stats_.end()) {
      std::pair<bool, struct stat> r;
      r.first = lstat(path.c_str(), &r.second) == 0;
      it = stats_.emplace(path, r).first;
    }
    *st = it->second.second;
    return it->second.first;
  }

  // Whether p lies in a system place outside the view root.
  bool system_place(std::string_view p) const {
    static constexpr std::string_view prefixes[] = {"/usr/", "/lib/", "/lib64/", "/lib32/",
                                                    "/bin/", "/sbin/", "/etc/", "/proc/",
                                                    "/sys/", "/dev/", "/opt/", "/run/"};
    // Most names are told apart by their first letter.
    if (p.size() < 2 || std::string_view("ulbsepdor").find(p[1]) == std::string_view::npos)
      return false;
    for (std::string_view x : prefixes)
      if (p.starts_with(x)) return !under(p, roots_[0]) && !under(p, roots_[1]);
    return false;
  }

  // Walks the components of todo (a stack: the next one last) from the canonical directory
  // *cur, following symbolic links (the final component only when follow_last) and noting them.
  void walk(std::vector<std::string> todo, bool follow_last, std::string *cur,
            std::vector<std::string> *links) {
    int hops = 0;
    while (!todo.empty()) {
      std::string c = std::move(todo.back());
      todo.pop_back();
      if (c.empty() || c == ".") continue;
      if (c == "..") {
        *cur = std::string(dirname_of(*cur));
        continue;
      }
      std::string next = join(*cur, c);
      bool last = true;
      for (const std::string &t : todo) last = last && (t.empty() || t == ".");
      struct stat st;
      char text[4096];
      ssize_t n;
      if ((!last || follow_last) && hops < 40 && look(next, &st) &&
          S_ISLNK(st.st_mode) && (n = readlink(next.c_str(), text, sizeof text)) > 0 &&
          size_t(n) < sizeof text) {
        hops++;
        links->push_back(next);
        std::string_view t(text, size_t(n));
        if (t.front() == '/') *cur = "/";
        std::vector<std::string> parts;
        size_t i = 0;
        while (i <= t.size()) {
          size_t j = std::min(t.find('/', i), t.size());
          parts.emplace_back(t.substr(i, j - i));
          i = j + 1;
        }
        for (auto it = parts.rbegin(); it != parts.rend(); ++it) todo.push_back(std::move(*it));
        continue;
      }
      *cur = std::move(next);
    }
  }

  // Resolves an absolute pathname as the disk shows it now; a trailing slash follows the final
  // name (it names the directory that name leads to).
  Resolved resolve(std::string_view path, bool follow) {
    Resolved r;
    if (path.empty() || path[0] != '/' || system_place(path)) return r;
    while (path.size() > 1 && path.back() == '/') {
      path.remove_suffix(1);
      follow = true;
    }
    std::string_view dir = dirname_of(path), leaf = leaf_of(path);
    auto it = resolved_dirs_.find(dir);
    if (it == resolved_dirs_.end()) {
      Resolved d;
      d.abs = "/";
      std::vector<std::string> todo;
      for (size_t j = dir.size(), i; j > 0; j = i) {
        i = dir.rfind('/', j - 1);
        if (i == std::string_view::npos) break;
        todo.emplace_back(dir.substr(i + 1, j - i - 1));
      }
      walk(std::move(todo), true, &d.abs, &d.links);
      d.ok = true;
      it = resolved_dirs_.emplace(std::string(dir), std::move(d)).first;
    }
    r = it->second;
    if (path != "/") walk({std::string(leaf)}, follow, &r.abs, &r.links);
    return r;
  }

  // Whether an open with these flags writes the file.
  static bool writes(uint64_t arg) {
    int acc = int(arg) & O_ACCMODE;
    return acc == O_WRONLY || acc == O_RDWR || (arg & O_TRUNC);
  }

  // Whether the object id at the canonical path abs is a derived object of its view (*do_oid).
  bool replaces_do(const std::string &abs, const RawIdent &id, tbs_oid_t *do_oid, uint32_t *mtype) {
    vob_pname_t w;
    return locate(abs, &w) && view_do_replaced_by_write(w, id.dev, id.ino, do_oid, mtype);
  }

  // Where name lies, resolved once into places (the conversion sees names as of one moment);
  // null when it lies in no view, or in no VOB when in_vob.
  const vob_pname_t *resolved(Places *places, std::string_view name, bool follow, bool in_vob) {
    auto it = places->find(name);
    if (it == places->end()) {
      std::string key(name);
      vob_pname_t w;
      bool ok = vob_pname_resolve(key.c_str(), follow, &w) == KS_ST_OK &&
                (in_vob ? w.vob != nullptr : w.view != nullptr);
      it = places->emplace(std::move(key), std::make_pair(ok, std::move(w))).first;
    }
    return it->second.first ? &it->second.second : nullptr;
  }

  // Where the canonical path lies: false outside every VOB of every view.
  bool locate(std::string_view path, vob_pname_t *where) {
    if (path.size() < 2 || path[0] != '/' || system_place(path)) return false;
    // Canonical, a name outside the canonical view root lies in no view.
    if (!roots_[0].empty() && !under(path, roots_[0])) return false;
    std::string_view leaf = leaf_of(path);
    const vob_pname_t *d = resolved(&dirs_, dirname_of(path), true, false);
    if (!d) return false;
    if (!d->vob) {
      // The view's own directory: the name may be a VOB's root.
      const vob_pname_t *root = resolved(&vob_roots_, path, false, true);
      if (!root) return false;
      *where = *root;
      return true;
    }
    *where = *d;
    where->abs = join(d->abs, leaf);
    where->vob_rel = d->vob_rel.empty() ? std::string(leaf) : join(d->vob_rel, leaf);
    return true;
  }

  // ---- the first pass ----

  // Ends the object that holds inode in now: a later event on the inode is another object.
  void end_object(const ObjKey &k) {
    auto g = gen_.find({k.dev, k.ino});
    if (g != gen_.end() && g->second == k.gen) g->second++;
  }

  // Resolves the names of every event and follows the objects of the batch from name to name:
  // which object each event names, the name each object ends with, its last status and whether
  // the build wrote it.
  void plan(const std::vector<RawEvent> &events) {
    plans_.assign(events.size(), EventPlan());
    for (size_t i = 0; i < events.size(); ++i) {
      const RawEvent &ev = events[i];
      EventPlan &p = plans_[i];
      if (!names_objects(ev.op)) continue;
      p.n1 = resolve(ev.p1, follows(ev));
      if (ev.op == VESSARY_EV_RENAME || ev.op == VESSARY_EV_LINK) p.n2 = resolve(ev.p2, false);
      if (!ev.id.known || !p.n1.ok) continue;
      Inode in{ev.id.dev, ev.id.ino};
      bool creates = (ev.op == VESSARY_EV_OPEN && (ev.arg & VESSARY_OPEN_CREATED)) ||
                     ev.op == VESSARY_EV_MKDIR || ev.op == VESSARY_EV_SYMLINK ||
                     ev.op == VESSARY_EV_MKNOD;
      // Writing a derived object makes a new object: a derived object never changes.
      if (!creates && ev.op == VESSARY_EV_OPEN && writes(ev.arg) &&
          replaces_do(p.n1.abs, ev.id, &p.replaced_do, &p.replaced_mtype)) {
        creates = true;
        p.replaces_do = true;
      }
      uint32_t &g = gen_[in];
      if (creates) ++g;
      p.has_obj = true;
      p.obj = ObjKey{in.first, in.second, g};
      ObjPlan &o = objs_[p.obj];
      o.last = ev.id;
      int acc = int(ev.arg) & O_ACCMODE;
      if (creates) o.made = true;
      if (creates || ev.op == VESSARY_EV_TRUNCATE ||
          (ev.op == VESSARY_EV_OPEN && (acc == O_WRONLY || acc == O_RDWR)))
        o.written = true;
      std::string name = p.n1.abs;
      if (ev.op == VESSARY_EV_RENAME && p.n2.ok) {
        auto held = holders_.find(p.n2.abs);
        if (ev.arg & RENAME_EXCHANGE) {
          p.has_other = held != holders_.end();
          if (p.has_other) p.other = held->second;
          holders_.erase(p.n1.abs);
          if (p.has_other) {
            ObjPlan &other = objs_[p.other];
            p.other_id = other.last;
            other.final_name = p.n1.abs;
            holders_[p.n1.abs] = last_at_[p.n1.abs] = p.other;
          }
        } else {
          if (held != holders_.end() && held->second != p.obj) end_object(held->second);
          holders_.erase(p.n1.abs);
        }
        name = p.n2.abs;
      } else if (ev.op == VESSARY_EV_LINK && p.n2.ok) {
        name = p.n2.abs;
      } else if (ev.op == VESSARY_EV_UNLINK) {
        holders_.erase(name);
        last_at_[name] = p.obj;
        if (o.final_name.empty()) o.final_name = name;
        end_object(p.obj);
        continue;
      }
      o.final_name = name;
      holders_[name] = last_at_[name] = p.obj;
    }
  }

  // ---- identities ----

  // The identity of the platform's answer o for an object whose status is st.
  static bool ident_of(const view_oids_t &o, const struct stat &st, Ident *id) {
    id->view = o.view_uuid;
    id->vob_oid = o.vob_oid;
    id->oid = o.obj_oid;
    id->elem = o.elem_oid;
    id->sn = o.objsn;
    id->mtype = o.mtype;
    id->ftype = uint16_t(view_ftype_of(st.st_mode));
    id->mtime = st.st_mtim.tv_sec;
    id->mtime_ns = st.st_mtim.tv_nsec;
    return !tbs_oid_is_null(&id->oid);
  }

  // The identity the platform gives for the existing object at w, whose lstat is st.
  bool ident_now(const vob_pname_t &w, const struct stat &st, Ident *id) {
    view_oids_t o;
    if (view_get_oids_resolved(w, st, &o) != KS_ST_OK || o.mtype == VOB_MTYPE_NULL) return false;
    return ident_of(o, st, id);
  }

  // A view-private identity for the object at w whose last recorded status is r, with oid.
  void ident_private(const vob_pname_t &w, const RawIdent &r, const tbs_oid_t &oid, Ident *id) {
    id->oid = oid;
    id->view = w.view->uuid;
    id->vob_oid = w.vob->oid;
    id->elem = TBS_OID_NULL;
    id->sn = vob_ob_private_objsn(oid);
    id->mtype = S_ISREG(mode_t(r.mode)) ? VOB_MTYPE_VIEW_PRIVATE_FILE : VOB_MTYPE_VIEW_PRIVATE;
    id->ftype = uint16_t(view_ftype_of(mode_t(r.mode)));
    id->mtime = r.msec;
    id->mtime_ns = r.mnsec;
  }

  static bool git_dir(const vob_pname_t &w) {
    return w.vob_rel == ".git" || w.vob_rel.starts_with(".git/");
  }

  // The identity of a view-private object of the build that is gone, from its last status.
  bool ident_gone(const vob_pname_t &w, const RawIdent &r, Ident *id) {
    if (git_dir(w)) return false;
    tbs_oid_t oid;
    if (dbrpc_viewdb_private_oid(w.view->storage, vob_pname_view_relative(w), stat_of(r), &oid) !=
        KS_ST_OK)
      return false;
    ident_private(w, r, oid, id);
    return true;
  }

  // The identity of an object that the build only read and that is no longer as it was then:
  // the OID the view recorded for that status, else an OID made for it alone, recorded nowhere,
  // so that nothing can match it against other data.
  bool ident_unsure(const vob_pname_t &w, const RawIdent &r, Ident *id) {
    if (git_dir(w)) return false;
    tbs_oid_t oid;
    ks_status_t st =
        dbrpc_viewdb_find_private_oid(w.view->storage, vob_pname_view_relative(w), stat_of(r), &oid);
    if (st == KS_ST_ERR) return false;
    if (st != KS_ST_OK) {
      tbs_uuid_t u;
      if (tbs_uuid_create(&u) != KS_ST_OK) return false;
      oid = tbs_uuid_to_oid(&u);
    }
    ident_private(w, r, oid, id);
    return true;
  }

  // What the name w held when the event recorded r there, when it was an object of the view's
  // selection. An object the build made and changed since is none: the view's selection is asked
  // about a past status only for objects that were there before the build.
  bool ident_selected(const vob_pname_t &w, const RawIdent &r, const ObjKey *k, Ident *id) {
    struct stat now;
    if (look(w.abs, &now) && same_data(now, r))
      return ident_now(w, now, id) && selected(id->mtype);
    if (k) {
      auto po = objs_.find(*k);
      if (po != objs_.end() && po->second.made) return false;
    }
    struct stat was = stat_of(r);
    view_oids_t o;
    return view_get_oids_was(w, was, &o) == KS_ST_OK && ident_of(o, was, id);
  }

  // The view-private identity of object k, whose name at the event is w: one per object.
  bool ident_object(const ObjKey &k, const vob_pname_t &w, Ident *id) {
    auto have = objects_.find(k);
    if (have != objects_.end()) {
      *id = have->second;
      return true;
    }
    auto po = objs_.find(k);
    if (po == objs_.end()) return false;
    const ObjPlan &o = po->second;
    vob_pname_t fw;
    bool moved = !o.final_name.empty() && o.final_name != w.abs && locate(o.final_name, &fw);
    const vob_pname_t &at = moved ? fw : w;
    struct stat now;
    bool here = look(at.abs, &now) && uint64_t(now.st_dev) == k.dev &&
                uint64_t(now.st_ino) == k.ino;
    bool ok;
    if (here && (o.written || S_ISDIR(now.st_mode) || same_data(now, o.last)))
      ok = ident_now(at, now, id);
    else if (o.written)
      ok = ident_gone(at, o.last, id);
    else
      ok = ident_unsure(at, o.last, id);
    if (ok) objects_[k] = *id;
    return ok;
  }

  // The identity of the object that an event recorded as r at w (k: the object of the batch).
  bool identify(const RawIdent &r, const ObjKey *k, const vob_pname_t &w, Ident *id) {
    if (!r.known || !k) return ident_seen(w, id);
    if (ident_selected(w, r, k, id)) return true;
    return ident_object(*k, w, id);
  }

  // The identity of the object at w as it is now (its event recorded no status).
  bool ident_seen(const vob_pname_t &w, Ident *id) {
    struct stat now;
    if (!look(w.abs, &now)) return false;
    auto g = gen_.find({uint64_t(now.st_dev), uint64_t(now.st_ino)});
    if (g != gen_.end()) {
      auto o = objects_.find({g->first.first, g->first.second, g->second});
      if (o != objects_.end()) {
        *id = o->second;
        return true;
      }
    }
    return ident_now(w, now, id);
  }

  // The identity of a directory on the way to an object.
  bool dir_ident(const vob_pname_t &w, Ident *id) {
    auto it = dir_ids_.find(w.abs);
    if (it != dir_ids_.end()) {
      *id = it->second.second;
      return it->second.first;
    }
    bool ok;
    struct stat st;
    if (look(w.abs, &st)) {
      ok = ident_seen(w, id);
    } else {
      auto was = last_at_.find(w.abs);
      auto o = was == last_at_.end() ? objects_.end() : objects_.find(was->second);
      if (o != objects_.end()) {
        *id = o->second;
        ok = true;
      } else {
        RawIdent r{true, 0, 0, uint64_t(S_IFDIR | 0755), 0, 0, 0};
        ok = ident_gone(w, r, id);
      }
    }
    dir_ids_[w.abs] = {ok, *id};
    return ok;
  }

  // The identity of the directory at abs (vob_rel rel) in the VOB of w; its place is made only
  // for a directory not identified yet.
  bool dir_ident_at(const vob_pname_t &w, const std::string &abs, std::string_view rel, Ident *id) {
    auto it = dir_ids_.find(abs);
    if (it != dir_ids_.end()) {
      *id = it->second.second;
      return it->second.first;
    }
    vob_pname_t d = w;
    d.abs = abs;
    d.vob_rel = rel;
    return dir_ident(d, id);
  }

  // ---- records ----

  void put(const void *p, size_t n) { out.append(static_cast<const char *>(p), n); }
  template <class T>
  void put_val(T v) {
    put(&v, sizeof v);
  }
  void header(uint16_t len, uint16_t type) {
    put_val<uint16_t>(kFormat);
    put_val<uint16_t>(0);
    put_val<uint16_t>(len);
    put_val<uint16_t>(type);
  }

  void put_ident_common(const Ident &id) {
    put_val<uint32_t>(0);
    put_val<uint64_t>(uint64_t(id.mtime));
    put_val<uint64_t>(uint64_t(id.mtime_ns));
    put(id.view.bytes, 16);
    put(id.vob_oid.bytes, 16);
    put(id.oid.bytes, 16);
    put_val<uint32_t>(id.sn.hi);
    put_val<uint32_t>(id.sn.lo);
    tbs_oid_t elem = tbs_oid_eq(&id.elem, &id.oid) ? TBS_OID_NULL : id.elem;
    put(elem.bytes, 16);
    put_val<uint32_t>(id.mtype);
  }

  // Layout A: VOB entry and object-access entries with a name. Every such record names its
  // object and carries a name; nothing is written otherwise.
  void rec_a(uint16_t type, const Ident &id, const tbs_oid_t &parent, std::string_view name) {
    if (tbs_oid_is_null(&id.oid) || name.empty()) return;
    size_t n = std::min<size_t>(name.size(), 65535 - kNameA);
    if (type != T_VOB) reader_.access(id.view, type, id.oid, parent, name.substr(0, n));
    header(uint16_t(kNameA + n), type);
    put_val<uint16_t>(uint16_t(n));
    put_val<uint16_t>(id.ftype);
    put_ident_common(id);
    put(parent.bytes, 16);
    put(name.data(), n);
  }

  // Layout B: read, write and truncate.
  void rec_b(uint16_t type, const Ident &id) {
    if (tbs_oid_is_null(&id.oid)) return;
    if (!(type == T_READ && id.ftype == VIEW_FTYPE_DIR))
      reader_.access(id.view, type, id.oid, TBS_OID_NULL, {});
    header(108, type);
    put_val<uint16_t>(id.ftype);
    put_val<uint16_t>(0);
    put_ident_common(id);
  }

  // A change of OID: the object old takes the OID of id (the reader makes it a created object).
  void rec_choid(const Ident &old, const Ident &id) {
    reader_.choid(id.view, old.oid, id.oid);
    header(70, T_CHOID);
    put(id.view.bytes, 16);
    put(old.oid.bytes, 16);
    put(id.oid.bytes, 16);
    put_val<uint32_t>(id.sn.hi);
    put_val<uint32_t>(id.sn.lo);
    put_val<uint32_t>(id.mtype);
    put_val<uint16_t>(id.ftype);
  }

  // The open for writing of a derived object's file: the derived object, as the name held it,
  // changes its OID to the new object id the build writes.
  void replace_do(const vob_pname_t &w, const Ident &id, const tbs_oid_t &parent, const EventPlan &p,
                  uint32_t arg) {
    Ident old = id;
    old.oid = p.replaced_do;
    old.mtype = p.replaced_mtype;
    old.sn = vob_ob_private_objsn(old.oid);
    lookup(w, old, parent);
    name_gone(w, old);
    rec_choid(old, id);
    lookup(w, id, parent);
    if (arg & O_TRUNC) rec_b(T_TRUNCATE, id);
    rec_b(T_WRITE, id);
  }

  void rec_marker(uint32_t m) {
    header(12, T_MARKER);
    put_val<uint32_t>(m);
  }

  // The rename of object id; false when the reader would not take it as that (nothing written).
  bool rec_rename(const Ident &id, const tbs_oid_t &op, const tbs_oid_t &np, std::string_view on,
                  std::string_view nn) {
    size_t len = 60 + on.size() + 1 + nn.size();
    if (len > 65535 || on.empty() || nn.empty() || tbs_oid_is_null(&op) || tbs_oid_is_null(&np) ||
        !reader_.rename(id.view, id.oid, op, on, np, nn))
      return false;
    const tbs_uuid_t &view = id.view;
    header(uint16_t(len), T_RENAME);
    put_val<uint16_t>(uint16_t(on.size()));
    put_val<uint16_t>(uint16_t(nn.size()));
    put(view.bytes, 16);
    put(op.bytes, 16);
    put(np.bytes, 16);
    put(on.data(), on.size());
    put_val<uint8_t>(0);
    put(nn.data(), nn.size());
    return true;
  }

  void rec_view(const vob_pname_t &w) {
    std::string key(reinterpret_cast<const char *>(w.view->uuid.bytes), 16);
    if (!views_done_.insert(key).second) return;
    const std::string &tag = w.view->tag;
    header(uint16_t(28 + tag.size()), T_VIEW);
    put_val<uint16_t>(uint16_t(tag.size()));
    put_val<uint16_t>(0);
    put(w.view->uuid.bytes, 16);
    put(tag.data(), tag.size());
  }

  // The VOB entry and the look-ups of every directory from the VOB root down to the parent of
  // the object at w; the parent's OID in *parent. False when a directory cannot be identified.
  bool path_to(const vob_pname_t &w, tbs_oid_t *parent) {
    rec_view(w);
    Ident root;
    if (!dir_ident_at(w, w.vob_root, {}, &root)) return false;
    if (vobs_done_.insert({section_, w.vob_root}).second) rec_a(T_VOB, root, TBS_OID_NULL, w.vob->tag);
    tbs_oid_t at = root.oid;
    if (w.vob_rel.empty()) {
      *parent = TBS_OID_NULL;
      return true;
    }
    size_t pos = 0;
    const std::string &rel = w.vob_rel;
    for (;;) {
      size_t slash = rel.find('/', pos);
      if (slash == std::string::npos) break;
      std::string abs;
      abs.reserve(w.vob_root.size() + 1 + slash);
      abs.append(w.vob_root).append("/").append(rel, 0, slash);
      Ident d;
      if (!dir_ident_at(w, abs, std::string_view(rel).substr(0, slash), &d)) return false;
      if (lookups_done_.insert({section_, std::move(abs)}).second)
        rec_a(T_LOOKUP, d, at, rel.substr(pos, slash - pos));
      at = d.oid;
      pos = slash + 1;
    }
    *parent = at;
    return true;
  }

  static std::string access_key(const Ident &id, std::string_view abs) {
    std::string key(reinterpret_cast<const char *>(id.oid.bytes), 16);
    key.append(abs);
    return key;
  }

  // The look-up of the object itself under its name, once per section while it has the name.
  void lookup(const vob_pname_t &w, const Ident &id, const tbs_oid_t &parent) {
    if (w.vob_rel.empty()) return;  // the VOB entry stands for the root
    if (accesses_done_.insert({section_, T_LOOKUP, access_key(id, w.abs)}).second)
      rec_a(T_LOOKUP, id, parent, leaf_of(w.vob_rel));
  }

  // The object no longer has the name: a later access under it is looked up again.
  void name_gone(const vob_pname_t &w, const Ident &id) {
    std::string key = access_key(id, w.abs);
    for (uint32_t s = 0; s <= VESSARY_MARKER_MAX; ++s) accesses_done_.erase({s, T_LOOKUP, key});
  }

  // The symbolic links passed on the way to an object: each looked up as a link, with its text,
  // once per section.
  void links_passed(const Resolved &n) {
    for (const std::string &link : n.links) {
      vob_pname_t w;
      Ident id;
      tbs_oid_t parent;
      if (!locate(link, &w) || !ident_seen(w, &id) || !path_to(w, &parent)) continue;
      lookup(w, id, parent);
      if (!accesses_done_.insert({section_, T_READLINK, access_key(id, w.abs)}).second) continue;
      char text[4096];
      ssize_t n = readlink(w.abs.c_str(), text, sizeof text);
      if (n > 0) rec_a(T_READLINK, id, parent, std::string_view(text, size_t(n)));
    }
  }

  // Locates a resolved name of an event and identifies its object; writes the records leading
  // to it.
  bool reach(const Resolved &n, const RawIdent &r, const ObjKey *k, vob_pname_t *w, Ident *id,
             tbs_oid_t *parent) {
    links_passed(n);
    if (!n.ok || !locate(n.abs, w)) return false;
    if (!identify(r, k, *w, id)) return false;
    return path_to(*w, parent);
  }

  // An object that came to a name from outside its VOB, or by an exchange: made and written.
  void arrived(const vob_pname_t &w, const Ident &id) {
    tbs_oid_t parent;
    if (!path_to(w, &parent)) return;
    rec_a(T_CREATE, id, parent, leaf_of(w.vob_rel));
    rec_b(T_WRITE, id);
  }

  // An object that left a name for outside its VOB, or by an exchange: removed there.
  void left(const vob_pname_t &w, const Ident &id) {
    tbs_oid_t parent;
    if (!path_to(w, &parent)) return;
    lookup(w, id, parent);
    rec_a(T_REMOVE, id, parent, leaf_of(w.vob_rel));
    name_gone(w, id);
  }

  void rename(const RawEvent &ev, const EventPlan &p) {
    links_passed(p.n1);
    links_passed(p.n2);
    vob_pname_t w1, w2;
    bool in1 = p.n1.ok && locate(p.n1.abs, &w1), in2 = p.n2.ok && locate(p.n2.abs, &w2);
    const ObjKey *k = p.has_obj ? &p.obj : nullptr;
    Ident a, b;
    bool have_a = in1 ? identify(ev.id, k, w1, &a) : in2 && identify(ev.id, k, w2, &a);
    bool exchange = ev.arg & RENAME_EXCHANGE;
    bool have_b = exchange && p.has_other && (in2 ? identify(p.other_id, &p.other, w2, &b)
                                                  : in1 && identify(p.other_id, &p.other, w1, &b));
    tbs_oid_t parent1, parent2;
    if (in1 && in2 && w1.vob_root == w2.vob_root && have_a && !w1.vob_rel.empty() &&
        !w2.vob_rel.empty() && path_to(w1, &parent1)) {
      lookup(w1, a, parent1);
      if (!path_to(w2, &parent2)) return;
      // An exchange has no record of its own: the object that the second name held leaves it
      // here, and arrives at the first name (made and written there) after the rename.
      if (have_b) left(w2, b);
      if (rec_rename(a, parent1, parent2, leaf_of(w1.vob_rel), leaf_of(w2.vob_rel))) {
        name_gone(w1, a);
      } else if (!(leaf_of(w1.vob_rel) == leaf_of(w2.vob_rel) && tbs_oid_eq(&parent1, &parent2))) {
        // A rename the reader could not follow (the name leads elsewhere in what it knows):
        // the object leaves the old name and arrives at the new one.
        left(w1, a);
        arrived(w2, a);
      }
      if (have_b) arrived(w1, b);
      return;
    }
    if (in1 && have_a) left(w1, a);
    if (in2 && have_b) left(w2, b);
    if (in2 && have_a) arrived(w2, a);
    if (in1 && have_b) arrived(w1, b);
  }

  void event(const RawEvent &ev, const EventPlan &p) {
    vob_pname_t w;
    Ident id;
    tbs_oid_t parent;
    const ObjKey *k = p.has_obj ? &p.obj : nullptr;
    switch (ev.op) {
      case VESSARY_EV_MARKER:
        if (ev.arg > VESSARY_MARKER_MAX) return;  // the device refuses them
        rec_marker(uint32_t(ev.arg));
        section_ = ev.arg == 4 ? 2 : uint32_t(ev.arg);
        return;
      case VESSARY_EV_OPEN: {
        if (!reach(p.n1, ev.id, k, &w, &id, &parent)) return;
        if (p.replaces_do) {
          replace_do(w, id, parent, p, uint32_t(ev.arg));
          return;
        }
        lookup(w, id, parent);
        if (id.ftype == VIEW_FTYPE_DIR) return;
        uint32_t flags = uint32_t(ev.arg) & ~VESSARY_OPEN_CREATED;
        bool created = ev.arg & VESSARY_OPEN_CREATED;
        int acc = int(flags) & O_ACCMODE;
        if (acc == O_RDONLY || (acc == O_RDWR && !created)) {
          std::string key(reinterpret_cast<const char *>(id.oid.bytes), 16);
          if (accesses_done_.insert({section_, T_READ, key}).second) rec_b(T_READ, id);
          if (acc == O_RDONLY && !created) return;
        }
        if (created)
          rec_a(T_CREATE, id, parent, leaf_of(w.vob_rel));
        else if (flags & O_TRUNC)
          rec_b(T_TRUNCATE, id);
        if (acc != O_RDONLY || (flags & O_TRUNC)) rec_b(T_WRITE, id);
        return;
      }
      case VESSARY_EV_STAT:
      case VESSARY_EV_ACCESS:
      case VESSARY_EV_OPENDIR:
      case VESSARY_EV_CHDIR:
        if (reach(p.n1, ev.id, k, &w, &id, &parent)) lookup(w, id, parent);
        return;
      case VESSARY_EV_EXEC:
        if (!reach(p.n1, ev.id, k, &w, &id, &parent)) return;
        lookup(w, id, parent);
        rec_b(T_READ, id);
        return;
      case VESSARY_EV_READLINK: {
        if (!reach(p.n1, ev.id, k, &w, &id, &parent)) return;
        lookup(w, id, parent);
        char text[4096];
        ssize_t n = readlink(w.abs.c_str(), text, sizeof text);
        if (n > 0) rec_a(T_READLINK, id, parent, std::string_view(text, size_t(n)));
        return;
      }
      case VESSARY_EV_UNLINK:
        if (!reach(p.n1, ev.id, k, &w, &id, &parent)) return;
        lookup(w, id, parent);
        rec_a(T_REMOVE, id, parent, leaf_of(w.vob_rel));
        name_gone(w, id);
        return;
      case VESSARY_EV_MKDIR:
        if (!reach(p.n1, ev.id, k, &w, &id, &parent)) return;
        rec_a(T_CREATE_DIR, id, parent, leaf_of(w.vob_rel));
        return;
      case VESSARY_EV_MKNOD:
        if (!reach(p.n1, ev.id, k, &w, &id, &parent)) return;
        rec_a(T_CREATE, id, parent, leaf_of(w.vob_rel));
        return;
      case VESSARY_EV_TRUNCATE:
        if (!reach(p.n1, ev.id, k, &w, &id, &parent)) return;
        lookup(w, id, parent);
        if (ev.arg == 0) rec_b(T_TRUNCATE, id);
        rec_b(T_WRITE, id);
        return;
      case VESSARY_EV_LINK: {
        if (reach(p.n1, ev.id, k, &w, &id, &parent)) lookup(w, id, parent);
        vob_pname_t w2;
        Ident id2;
        tbs_oid_t parent2;
        if (reach(p.n2, ev.id, k, &w2, &id2, &parent2))
          rec_a(T_CREATE, id2, parent2, leaf_of(w2.vob_rel));
        return;
      }
      case VESSARY_EV_SYMLINK:
        if (!reach(p.n1, ev.id, k, &w, &id, &parent)) return;
        rec_a(T_CREATE, id, parent, leaf_of(w.vob_rel));
        rec_a(T_READLINK, id, parent, ev.p2);
        return;
      case VESSARY_EV_RENAME:
        rename(ev, p);
        return;
      default:
        return;  // version lines and unseen-image reports
    }
  }
};

}  // namespace

void view_audit_rec_convert(const std::vector<view_audit_raw_event_t> &events,
                            std::string_view saved, std::string *records, std::string *saved_out) {
  Converter c;
  c.load(saved);
  c.convert(events);
  records->append(c.out);
  *saved_out = c.save();
}
