// Conversion of an audit's raw events into records of the audit file.
//
// The raw events of "<audit>.raw" are read from the offset kept in "<audit>.cvt" (the converter's
// state, locked while a conversion runs, so several converters of one audit take turns; it also
// keeps the identities given so far, one line "o <dev> <ino> <hex>" each), turned
// in order into audit records and appended to the audit file with one write. Accesses outside
// every view, and outside the VOBs of a view, are dropped. Each object is identified once per
// audit by its device and inode: its OID, serial number and meta-type are those of its last name
// when it is first converted and still there, else those its last recorded status gives, so that
// an object keeps one identity under every name it has during the audit.
//
// Records written per access, after the VOB entry of its VOB and the look-ups of the directories
// from the VOB root down (each once per section): a look-up of the object under its name, then
// read (3), write (4), create (7, 13 for directories), remove (9), truncate (10), link text (5),
// rename (8) or marker (14) records; a view entry (12) names each view before its first access.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "dbrpc/dbrpc_viewdb.h"
#include "ks/imsg.h"
#include "tbs/tbs_oid.h"
#include "vessary/vessary.h"
#include "vessary/vessary_raw.h"
#include "view/view_audit.h"
#include "view/view_xstat.h"
#include "vob/vob_ob.h"
#include "vob/vob_pname.h"

namespace {

// Record types and layout sizes of the audit file format (the reader's side fixes them).
enum : uint16_t {
  T_VOB = 1, T_LOOKUP = 2, T_READ = 3, T_WRITE = 4, T_READLINK = 5, T_CREATE = 7, T_RENAME = 8,
  T_REMOVE = 9, T_TRUNCATE = 10, T_VIEW = 12, T_CREATE_DIR = 13, T_MARKER = 14,
};
constexpr uint16_t kFormat = 11;

struct RawIdent {
  bool known = false;
  uint64_t dev = 0, ino = 0, mode = 0, size = 0;
  int64_t msec = 0, mnsec = 0;
};

struct RawEvent {
  char op = 0;
  uint64_t arg = 0;
  RawIdent id;
  std::string p1, p2;
};

// Parses the complete events of data; *used is the length of the bytes they take.
std::vector<RawEvent> parse_events(const std::string &data, size_t *used) {
  std::vector<RawEvent> out;
  size_t pos = 0;
  *used = 0;
  while (pos < data.size()) {
    size_t nl = data.find('\n', pos);
    if (nl == std::string::npos) break;
    std::string head = data.substr(pos, nl - pos);
    RawEvent ev;
    char ident[160] = "";
    unsigned long pid = 0;
    unsigned long long arg = 0, l1 = 0, l2 = 0;
    if (head.size() < 2 ||
        sscanf(head.c_str() + 2, "%lu %llx %159s %llu %llu", &pid, &arg, ident, &l1, &l2) != 5) {
      // A damaged line: skip it, keep the rest.
      pos = nl + 1;
      *used = pos;
      continue;
    }
    if (nl + 1 + l1 + l2 > data.size()) break;  // torn: its names are not all there yet
    ev.op = head[0];
    ev.arg = arg;
    if (strcmp(ident, "-") != 0) {
      unsigned long long d, i, m, s;
      long long ms, mn;
      if (sscanf(ident, "%llu:%llu:%llu:%llu:%lld:%lld", &d, &i, &m, &s, &ms, &mn) == 6) {
        ev.id = {true, d, i, m, s, ms, mn};
      }
    }
    ev.p1 = data.substr(nl + 1, l1);
    ev.p2 = data.substr(nl + 1 + l1, l2);
    pos = nl + 1 + l1 + l2;
    *used = pos;
    out.push_back(std::move(ev));
  }
  return out;
}

// The identity of an object as the audit records it.
struct Ident {
  tbs_uuid_t view{};
  tbs_oid_t vob_oid{}, oid{}, elem{};
  vob_objsn_t sn{0, 0};
  uint32_t mtype = 0;
  uint16_t ftype = 0;
  int64_t mtime = 0, mtime_ns = 0;
};

uint16_t ftype_of(mode_t mode) {
  if (S_ISREG(mode)) return VIEW_FTYPE_REG;
  if (S_ISDIR(mode)) return VIEW_FTYPE_DIR;
  if (S_ISLNK(mode)) return VIEW_FTYPE_LNK;
  if (S_ISFIFO(mode)) return VIEW_FTYPE_FIFO;
  if (S_ISSOCK(mode)) return VIEW_FTYPE_SOCK;
  if (S_ISCHR(mode)) return VIEW_FTYPE_CHR;
  if (S_ISBLK(mode)) return VIEW_FTYPE_BLK;
  return VIEW_FTYPE_NONE;
}

std::string dirname_of(const std::string &p) {
  size_t s = p.rfind('/');
  if (s == std::string::npos) return ".";
  if (s == 0) return "/";
  return p.substr(0, s);
}

std::string leaf_of(const std::string &p) {
  size_t s = p.rfind('/');
  return s == std::string::npos ? p : p.substr(s + 1);
}

// Places that never lie in a view: their events are dropped without resolving them.
bool system_path(const std::string &p) {
  static const char *const prefixes[] = {"/usr/", "/lib/", "/lib64/", "/lib32/", "/bin/", "/sbin/",
                                         "/etc/", "/proc/", "/sys/", "/dev/", "/opt/", "/run/"};
  for (const char *x : prefixes)
    if (p.compare(0, strlen(x), x) == 0) return true;
  return false;
}

class Converter {
 public:
  std::string out;  // records to append

  void convert(const std::vector<RawEvent> &events) {
    plan(events);
    for (const auto &ev : events) event(ev);
  }

  // The identities given so far in this audit, as lines of the converter's state, so that an
  // object keeps its identity across conversions of one audit.
  std::string save_objects() const {
    std::string text;
    static const char hex[] = "0123456789abcdef";
    for (const auto &[k, id] : objects_) {
      text += "o " + std::to_string(k.first) + " " + std::to_string(k.second) + " ";
      const auto *b = reinterpret_cast<const unsigned char *>(&id);
      for (size_t i = 0; i < sizeof id; ++i) {
        text += hex[b[i] >> 4];
        text += hex[b[i] & 15];
      }
      text += "\n";
    }
    return text;
  }

  void load_objects(const std::string &state) {
    size_t pos = 0;
    while ((pos = state.find("\no ", pos)) != std::string::npos) {
      pos += 3;
      size_t end = state.find('\n', pos);
      std::string line = state.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
      char *p = nullptr;
      unsigned long long dev = strtoull(line.c_str(), &p, 10);
      unsigned long long ino = strtoull(p, &p, 10);
      while (*p == ' ') ++p;
      if (strlen(p) != 2 * sizeof(Ident)) continue;
      Ident id;
      auto *b = reinterpret_cast<unsigned char *>(&id);
      bool ok = true;
      for (size_t i = 0; i < sizeof id && ok; ++i) {
        auto nib = [&](char c) {
          if (c >= '0' && c <= '9') return c - '0';
          if (c >= 'a' && c <= 'f') return c - 'a' + 10;
          ok = false;
          return 0;
        };
        b[i] = static_cast<unsigned char>(nib(p[2 * i]) << 4 | nib(p[2 * i + 1]));
      }
      if (ok) objects_[{dev, ino}] = id;
    }
  }

 private:
  using Key = std::pair<uint64_t, uint64_t>;  // device, inode

  uint32_t section_ = 0;
  std::map<Key, std::string> final_name_;  // an object's last name in the batch
  std::map<Key, RawIdent> final_id_;       // its last recorded status
  std::map<Key, Ident> objects_;
  std::unordered_map<std::string, std::pair<bool, vob_pname_t>> dirs_;  // dirname -> where
  std::unordered_map<std::string, std::pair<bool, Ident>> dir_ids_;     // canonical dir -> id
  std::set<std::pair<uint32_t, std::string>> vobs_done_, lookups_done_;
  std::set<std::tuple<uint32_t, uint16_t, std::string>> accesses_done_;
  std::set<std::string> views_done_;

  // First pass: the name each object ends the batch with, following renames.
  void plan(const std::vector<RawEvent> &events) {
    for (const auto &ev : events) {
      if (!ev.id.known) continue;
      Key k{ev.id.dev, ev.id.ino};
      final_id_[k] = ev.id;
      switch (ev.op) {
        case VESSARY_EV_RENAME: final_name_[k] = ev.p2; break;
        case VESSARY_EV_LINK: final_name_[k] = ev.p2; break;
        default: final_name_[k] = ev.p1; break;
      }
    }
  }

  // Where path lies: false outside every VOB of every view.
  bool locate(const std::string &path, vob_pname_t *where) {
    if (path.empty() || path[0] != '/' || system_path(path)) return false;
    std::string dir = dirname_of(path), leaf = leaf_of(path);
    auto it = dirs_.find(dir);
    if (it == dirs_.end()) {
      vob_pname_t w;
      bool ok = vob_pname_resolve(dir.c_str(), true, &w) == KS_ST_OK && w.view;
      it = dirs_.emplace(dir, std::make_pair(ok, w)).first;
    }
    if (!it->second.first) return false;
    const vob_pname_t &d = it->second.second;
    if (!d.vob || leaf == "." || leaf == "..") {
      // The view's own directory or a dotted name: resolve the whole name.
      return vob_pname_resolve(path.c_str(), false, where) == KS_ST_OK && where->vob;
    }
    *where = d;
    where->abs = d.abs == "/" ? "/" + leaf : d.abs + "/" + leaf;
    where->vob_rel = d.vob_rel.empty() ? leaf : d.vob_rel + "/" + leaf;
    return true;
  }

  // The identity the platform gives for an existing name (final symbolic link not followed).
  bool ident_now(const std::string &abs, const struct stat &st, Ident *id) {
    view_oids_t o;
    if (view_get_oids(abs.c_str(), 0, 0, 0, &o) != KS_ST_OK || o.mtype == VOB_MTYPE_NULL)
      return false;
    id->view = o.view_uuid;
    id->vob_oid = o.vob_oid;
    id->oid = o.obj_oid;
    id->elem = o.elem_oid;
    id->sn = o.objsn;
    id->mtype = o.mtype;
    id->ftype = ftype_of(st.st_mode);
    id->mtime = st.st_mtim.tv_sec;
    id->mtime_ns = st.st_mtim.tv_nsec;
    return true;
  }

  // The identity of a view-private object that is gone, from its last recorded status.
  bool ident_gone(const vob_pname_t &w, const RawIdent &r, Ident *id) {
    if (w.vob_rel == ".git" || w.vob_rel.starts_with(".git/")) return false;
    struct stat st = {};
    st.st_dev = dev_t(r.dev);
    st.st_ino = ino_t(r.ino);
    st.st_mode = mode_t(r.mode);
    st.st_size = off_t(r.size);
    st.st_mtim.tv_sec = r.msec;
    st.st_mtim.tv_nsec = r.mnsec;
    if (dbrpc_viewdb_private_oid(w.view->storage, vob_pname_view_relative(w), st, &id->oid) !=
        KS_ST_OK)
      return false;
    id->view = w.view->uuid;
    id->vob_oid = w.vob->oid;
    id->elem = TBS_OID_NULL;
    id->sn = vob_ob_private_objsn(w.view->uuid, w.vob->oid, w.vob_rel);
    id->mtype = S_ISREG(st.st_mode) ? VOB_MTYPE_VIEW_PRIVATE_FILE : VOB_MTYPE_VIEW_PRIVATE;
    id->ftype = ftype_of(st.st_mode);
    id->mtime = r.msec;
    id->mtime_ns = r.mnsec;
    return true;
  }

  // The identity of the object an event names at path.
  bool object_ident(const RawEvent &ev, const std::string &path, const vob_pname_t &w, Ident *id) {
    struct stat now;
    bool exists = lstat(w.abs.c_str(), &now) == 0;
    if (!ev.id.known) {
      if (!exists) return false;
      Key k{uint64_t(now.st_dev), uint64_t(now.st_ino)};
      auto it = objects_.find(k);
      if (it != objects_.end()) {
        *id = it->second;
        return true;
      }
      return ident_now(w.abs, now, id);
    }
    Key k{ev.id.dev, ev.id.ino};
    auto it = objects_.find(k);
    if (it != objects_.end()) {
      *id = it->second;
      return true;
    }
    // Identify the object by its last name in the batch.
    std::string last = final_name_.count(k) ? final_name_[k] : path;
    vob_pname_t lw;
    bool ok = false;
    struct stat lst;
    if (last != path) {
      if (locate(last, &lw) && lstat(lw.abs.c_str(), &lst) == 0 && uint64_t(lst.st_dev) == k.first &&
          uint64_t(lst.st_ino) == k.second)
        ok = ident_now(lw.abs, lst, id);
    } else if (exists && uint64_t(now.st_dev) == k.first && uint64_t(now.st_ino) == k.second) {
      ok = ident_now(w.abs, now, id);
    }
    if (!ok) {
      const RawIdent &r = final_id_.count(k) ? final_id_[k] : ev.id;
      if (last != path && locate(last, &lw))
        ok = ident_gone(lw, r, id);
      else
        ok = ident_gone(w, r, id);
    }
    if (ok) objects_[k] = *id;
    return ok;
  }

  // The identity of a directory on the way to an object.
  bool dir_ident(const vob_pname_t &w, Ident *id) {
    auto it = dir_ids_.find(w.abs);
    if (it != dir_ids_.end()) {
      *id = it->second.second;
      return it->second.first;
    }
    struct stat st;
    bool ok = false;
    if (lstat(w.abs.c_str(), &st) == 0) {
      Key k{uint64_t(st.st_dev), uint64_t(st.st_ino)};
      auto o = objects_.find(k);
      if (o != objects_.end()) {
        *id = o->second;
        ok = true;
      } else {
        ok = ident_now(w.abs, st, id);
      }
    } else {
      RawIdent r{true, 0, 0, uint64_t(S_IFDIR | 0755), 0, 0, 0};
      ok = ident_gone(w, r, id);
    }
    dir_ids_[w.abs] = {ok, *id};
    return ok;
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

  // Layout A: VOB entry and object-access entries with a name.
  void rec_a(uint16_t type, const Ident &id, const tbs_oid_t &parent, const std::string &name) {
    size_t n = std::min<size_t>(name.size(), 65535 - 124);
    header(uint16_t(124 + n), type);
    put_val<uint16_t>(uint16_t(n));
    put_val<uint16_t>(id.ftype);
    put_ident_common(id);
    put(parent.bytes, 16);
    put(name.data(), n);
  }

  // Layout B: read, write and truncate.
  void rec_b(uint16_t type, const Ident &id) {
    header(108, type);
    put_val<uint16_t>(id.ftype);
    put_val<uint16_t>(0);
    put_ident_common(id);
  }

  void rec_marker(uint32_t m) {
    header(12, T_MARKER);
    put_val<uint32_t>(m);
  }

  void rec_rename(const tbs_uuid_t &view, const tbs_oid_t &op, const tbs_oid_t &np,
                  const std::string &on, const std::string &nn) {
    size_t len = 60 + on.size() + 1 + nn.size();
    if (len > 65535) return;
    header(uint16_t(len), T_RENAME);
    put_val<uint16_t>(uint16_t(on.size()));
    put_val<uint16_t>(uint16_t(nn.size()));
    put(view.bytes, 16);
    put(op.bytes, 16);
    put(np.bytes, 16);
    put(on.data(), on.size());
    put_val<uint8_t>(0);
    put(nn.data(), nn.size());
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
    vob_pname_t rw = w;
    rw.abs = w.vob_root;
    rw.vob_rel.clear();
    Ident root;
    if (!dir_ident(rw, &root)) return false;
    if (vobs_done_.insert({section_, w.vob_root}).second) rec_a(T_VOB, root, TBS_OID_NULL, w.vob->tag);
    tbs_oid_t at = root.oid;
    if (w.vob_rel.empty()) {
      *parent = TBS_OID_NULL;
      return true;
    }
    size_t pos = 0;
    std::string rel = w.vob_rel;
    for (;;) {
      size_t slash = rel.find('/', pos);
      if (slash == std::string::npos) break;
      vob_pname_t dw = w;
      dw.vob_rel = rel.substr(0, slash);
      dw.abs = w.vob_root + "/" + dw.vob_rel;
      Ident d;
      if (!dir_ident(dw, &d)) return false;
      if (lookups_done_.insert({section_, dw.abs}).second)
        rec_a(T_LOOKUP, d, at, rel.substr(pos, slash - pos));
      at = d.oid;
      pos = slash + 1;
    }
    *parent = at;
    return true;
  }

  // The look-up of the object itself under its name, once per section.
  void lookup(const vob_pname_t &w, const Ident &id, const tbs_oid_t &parent) {
    if (w.vob_rel.empty()) return;  // the VOB entry stands for the root
    std::string key(reinterpret_cast<const char *>(id.oid.bytes), 16);
    if (accesses_done_.insert({section_, T_LOOKUP, key + w.abs}).second)
      rec_a(T_LOOKUP, id, parent, leaf_of(w.vob_rel));
  }

  // Locates path and identifies its object; writes the records leading to it.
  bool reach(const RawEvent &ev, const std::string &path, vob_pname_t *w, Ident *id,
             tbs_oid_t *parent) {
    if (!locate(path, w)) return false;
    if (!object_ident(ev, path, *w, id)) return false;
    return path_to(*w, parent);
  }

  void event(const RawEvent &ev) {
    vob_pname_t w;
    Ident id;
    tbs_oid_t parent;
    switch (ev.op) {
      case VESSARY_EV_MARKER:
        rec_marker(uint32_t(ev.arg));
        section_ = ev.arg == 4 ? 2 : uint32_t(ev.arg);
        return;
      case VESSARY_EV_OPEN: {
        if (!reach(ev, ev.p1, &w, &id, &parent)) return;
        lookup(w, id, parent);
        if (id.ftype == VIEW_FTYPE_DIR) return;
        uint32_t flags = uint32_t(ev.arg) & ~VESSARY_OPEN_CREATED;
        bool created = ev.arg & VESSARY_OPEN_CREATED;
        int acc = int(flags) & O_ACCMODE;
        std::string key(reinterpret_cast<const char *>(id.oid.bytes), 16);
        if (acc == O_RDONLY || (acc == O_RDWR && !created)) {
          if (accesses_done_.insert({section_, T_READ, key}).second) rec_b(T_READ, id);
          if (acc == O_RDONLY) return;
        }
        if (created)
          rec_a(T_CREATE, id, parent, leaf_of(w.vob_rel));
        else if (flags & O_TRUNC)
          rec_b(T_TRUNCATE, id);
        rec_b(T_WRITE, id);
        return;
      }
      case VESSARY_EV_STAT:
      case VESSARY_EV_ACCESS:
      case VESSARY_EV_OPENDIR:
      case VESSARY_EV_CHDIR:
        if (reach(ev, ev.p1, &w, &id, &parent)) lookup(w, id, parent);
        return;
      case VESSARY_EV_EXEC:
        if (!reach(ev, ev.p1, &w, &id, &parent)) return;
        lookup(w, id, parent);
        rec_b(T_READ, id);
        return;
      case VESSARY_EV_READLINK: {
        if (!reach(ev, ev.p1, &w, &id, &parent)) return;
        lookup(w, id, parent);
        char text[4096];
        ssize_t n = readlink(w.abs.c_str(), text, sizeof text);
        if (n > 0) rec_a(T_READLINK, id, parent, std::string(text, size_t(n)));
        return;
      }
      case VESSARY_EV_UNLINK:
        if (!reach(ev, ev.p1, &w, &id, &parent)) return;
        lookup(w, id, parent);
        rec_a(T_REMOVE, id, parent, leaf_of(w.vob_rel));
        return;
      case VESSARY_EV_MKDIR:
        if (!reach(ev, ev.p1, &w, &id, &parent)) return;
        rec_a(T_CREATE_DIR, id, parent, leaf_of(w.vob_rel));
        return;
      case VESSARY_EV_TRUNCATE:
        if (!reach(ev, ev.p1, &w, &id, &parent)) return;
        lookup(w, id, parent);
        if (ev.arg == 0) rec_b(T_TRUNCATE, id);
        rec_b(T_WRITE, id);
        return;
      case VESSARY_EV_LINK: {
        vob_pname_t w2;
        Ident id2;
        tbs_oid_t parent2;
        if (reach(ev, ev.p1, &w, &id, &parent)) lookup(w, id, parent);
        if (reach(ev, ev.p2, &w2, &id2, &parent2))
          rec_a(T_CREATE, id2, parent2, leaf_of(w2.vob_rel));
        return;
      }
      case VESSARY_EV_SYMLINK:
        if (!reach(ev, ev.p1, &w, &id, &parent)) return;
        rec_a(T_CREATE, id, parent, leaf_of(w.vob_rel));
        rec_a(T_READLINK, id, parent, ev.p2);
        return;
      case VESSARY_EV_RENAME: {
        vob_pname_t w2;
        bool in1 = locate(ev.p1, &w), in2 = locate(ev.p2, &w2);
        if (!in1 && !in2) return;
        if (in1 && in2 && w.vob == w2.vob) {
          Ident id2;
          tbs_oid_t parent2;
          if (!object_ident(ev, ev.p1, w, &id) || !path_to(w, &parent)) return;
          lookup(w, id, parent);
          if (!object_ident(ev, ev.p2, w2, &id2) || !path_to(w2, &parent2)) return;
          if (!w.vob_rel.empty() && !w2.vob_rel.empty() && !tbs_oid_is_null(&parent) &&
              !tbs_oid_is_null(&parent2))
            rec_rename(id.view, parent, parent2, leaf_of(w.vob_rel), leaf_of(w2.vob_rel));
          return;
        }
        if (in1 && object_ident(ev, ev.p1, w, &id) && path_to(w, &parent)) {
          // moved out of the VOB: the name is gone
          lookup(w, id, parent);
          rec_a(T_REMOVE, id, parent, leaf_of(w.vob_rel));
        }
        if (in2 && object_ident(ev, ev.p2, w2, &id) && path_to(w2, &parent)) {
          // moved in: the name is made and written
          rec_a(T_CREATE, id, parent, leaf_of(w2.vob_rel));
          rec_b(T_WRITE, id);
        }
        return;
      }
      default:
        return;  // version lines and unseen-image reports
    }
  }
};

// Reads a whole file from offset into data.
bool read_from(int fd, off_t offset, std::string *data) {
  char buf[65536];
  for (;;) {
    ssize_t n = pread(fd, buf, sizeof buf, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    data->append(buf, size_t(n));
    offset += n;
  }
}

bool write_all(int fd, const std::string &data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

}  // namespace

ks_status_t view_audit_convert(const char *audit_path, bool final) {
  if (!audit_path || !*audit_path) return KS_ST_ERR;
  std::string audit = audit_path, raw = audit + ".raw", state = audit + ".cvt";
  int sfd = open(state.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (sfd < 0) {
    imsg_print(IMSG_ERROR, "Unable to open audit state \"%s\": %s\n", -1, state.c_str(),
               imsg_strerror(errno));
    return KS_ST_ERR;
  }
  struct flock lk = {};
  lk.l_type = F_WRLCK;
  lk.l_whence = SEEK_SET;
  while (fcntl(sfd, F_SETLKW, &lk) != 0) {
    if (errno == EINTR) continue;
    imsg_print(IMSG_ERROR, "Unable to lock audit state \"%s\": %s\n", -1, state.c_str(),
               imsg_strerror(errno));
    close(sfd);
    return KS_ST_ERR;
  }
  std::string st_text;
  read_from(sfd, 0, &st_text);
  off_t offset = st_text.empty() ? 0 : off_t(strtoll(st_text.c_str(), nullptr, 10));
  ks_status_t status = KS_ST_OK;
  int rfd = open(raw.c_str(), O_RDONLY | O_CLOEXEC);
  if (rfd < 0) {
    // Nothing was recorded (or an earlier conversion finished the audit).
    close(sfd);
    return errno == ENOENT ? KS_ST_OK : KS_ST_ERR;
  }
  std::string data;
  if (!read_from(rfd, offset, &data)) {
    imsg_print(IMSG_ERROR, "Unable to read audit events \"%s\": %s\n", -1, raw.c_str(),
               imsg_strerror(errno));
    status = KS_ST_ERR;
  }
  size_t used = 0;
  std::string objects;
  if (status == KS_ST_OK) {
    std::vector<RawEvent> events = parse_events(data, &used);
    Converter c;
    c.load_objects(st_text);
    c.convert(events);
    objects = c.save_objects();
    int afd = open(audit.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (afd < 0 || !write_all(afd, c.out)) {
      imsg_print(IMSG_ERROR, "Unable to write audit file \"%s\": %s\n", -1, audit.c_str(),
                 imsg_strerror(errno));
      status = KS_ST_ERR;
    }
    if (afd >= 0) close(afd);
  }
  if (status == KS_ST_OK) {
    std::string text = std::to_string(offset + off_t(used)) + "\n" + objects;
    if (ftruncate(sfd, 0) != 0 || pwrite(sfd, text.data(), text.size(), 0) != ssize_t(text.size()))
      status = KS_ST_ERR;
  }
  // Once no process records into the raw events any more, they have served their purpose.
  bool keep = getenv(VESSARY_ENV_KEEP_RAW) && *getenv(VESSARY_ENV_KEEP_RAW);
  if (status == KS_ST_OK && final && !keep && flock(rfd, LOCK_EX | LOCK_NB) == 0) {
    unlink(raw.c_str());
    unlink(state.c_str());
  }
  close(rfd);
  close(sfd);
  return status;
}
