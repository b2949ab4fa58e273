// Reading an audit file into the audit table.
#include "bld/bldr_cr_audit_table.h"

#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bld/bldr_cr.h"
#include "bld/bldr_cr_audit.h"
#include "ks/fileutl.h"
#include "ks/imsg.h"
#include "ks/pfm.h"
#include "mf/mf_utl.h"
#include "view/view_xstat.h"

tbs_uuid_t bldr_cr_view_uuid{};
int32_t bldr_cr_java_audits = 0;
const char *bldr_cr_java_member_script_end = nullptr;

namespace {

const char *const kMarkerNames[] = {
    "Initial Directory",       "Predefined Dependencies",         "Build Script", "Makefiles",
    ".JAVAC Script Marker",    "Child Audit Full Build-Avoidance", "Child Audit Salute",
};

constexpr size_t kReadBuffer = 8096;

uint16_t u16(const uint8_t *p) {
  uint16_t v;
  memcpy(&v, p, 2);
  return v;
}
uint32_t u32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
uint64_t u64(const uint8_t *p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}
tbs_oid_t oid_at(const uint8_t *p) {
  tbs_oid_t o;
  memcpy(o.bytes, p, 16);
  return o;
}
tbs_uuid_t uuid_at(const uint8_t *p) {
  tbs_uuid_t u;
  memcpy(u.bytes, p, 16);
  return u;
}

bool trace(int level) { return mf_utl_should_trace("bldr_cr", level); }

// An internal error: the row at error severity and where it was found; the audit file is kept.
template <class... Args>
ks_status_t int_error(int line, int row, Args... args) {
  imsg_print(IMSG_ERROR, "Internal error detected in \"%s\", line %d\n", -1, "bldr_cr_audit_table",
             line);
  imsg_print(IMSG_ERROR_CONT, &_bldr_cr_karsel_msg_table, row, args...);
  bldr_cr_save_audit_files = 1;
  return KS_ST_ERR;
}

ks_status_t corrupt() {
  imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_TRUNCATED);
  return KS_ST_ERR;
}

// One object-access or VOB entry, parsed.
struct entry_t {
  uint32_t type = 0;
  uint16_t ftype = 0;
  int64_t mtime = 0;
  uint64_t mtime_ns = 0;
  tbs_uuid_t view{};
  tbs_oid_t vob_oid{};
  tbs_oid_t oid{};
  uint32_t objsn[2] = {0, 0};
  tbs_oid_t elem_oid{};
  uint32_t mtype = 0;
  tbs_oid_t parent{};
  bool has_name = false;
  std::string name;
};

bool layout_b(uint32_t type) {
  return type == BLDR_AUDIT_READ || type == BLDR_AUDIT_WRITE || type == BLDR_AUDIT_TRUNCATE;
}

// Parses layout A or B; false when the record is shorter than its layout.
bool parse_entry(const uint8_t *r, size_t len, uint32_t type, entry_t *e) {
  e->type = type;
  bool b = layout_b(type);
  if (len < (b ? BLDR_AUDIT_B_SIZE : size_t(BLDR_AUDIT_A_NAME))) return false;
  e->ftype = b ? u16(r + 8) : u16(r + 10);
  e->mtime = int64_t(u64(r + 16));
  e->mtime_ns = u64(r + 24);
  e->view = uuid_at(r + 32);
  e->vob_oid = oid_at(r + 48);
  e->oid = oid_at(r + 64);
  e->objsn[0] = u32(r + 80);
  e->objsn[1] = u32(r + 84);
  e->elem_oid = oid_at(r + 88);
  e->mtype = u32(r + 104);
  if (!b) {
    e->parent = oid_at(r + 108);
    size_t n = u16(r + 8);
    if (BLDR_AUDIT_A_NAME + n > len) return false;
    e->name.assign(reinterpret_cast<const char *>(r + BLDR_AUDIT_A_NAME), n);
    e->has_name = true;
  }
  return true;
}

uint32_t section_flags(uint32_t section) {
  switch (section) {
    case 0: return BLDR_OBJ_INITIAL_DIR;
    case 1: return BLDR_OBJ_PREDEF;
    default: return BLDR_OBJ_LOOKED_UP;
  }
}

bool same_name(const std::string &a, const std::string &b) { return strcoll(a.c_str(), b.c_str()) == 0; }

std::string name_key(const tbs_oid_t &parent, const std::string &leaf) {
  char buf[TBS_OID_STR_SIZE];
  return std::string(tbs_oid_to_dstr(&parent, buf)) + "/" + leaf;
}

bldr_cr_other_view_accessor_t *find_accessor(bldr_cr_audit_table_t *t, const tbs_uuid_t &uuid) {
  for (auto &a : t->other_views)
    if (tbs_uuid_eq(&a->uuid, &uuid)) return a.get();
  return nullptr;
}

bool ends_with(const std::string &s, const char *suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// A Java access record for a .class or .java pathname.
void note_java_access(bldr_cr_audit_table_t *t, const std::string &path, uint32_t type) {
  bool is_class = ends_with(path, ".class");
  if (!is_class && !ends_with(path, ".java")) return;
  uint32_t modified = type == BLDR_AUDIT_WRITE || type == BLDR_AUDIT_CREATE ||
                      type == BLDR_AUDIT_TRUNCATE;
  char abs[1024];
  std::string pn = path;
  if (fileutl_abspn(path.c_str(), abs, sizeof abs) == KS_ST_OK) pn = abs;
  if (!t->java_accesses.empty()) {
    const auto &last = t->java_accesses.back();
    if (last.pathname == pn && last.modified == modified) return;
  }
  bldr_cr_java_access_t a;
  a.pathname = pn;
  a.modified = modified;
  a.is_class = is_class;
  size_t slash = pn.rfind('/');
  a.is_inner = is_class && pn.find('$', slash == std::string::npos ? 0 : slash) != std::string::npos;
  t->java_accesses.push_back(std::move(a));
}

// Enters {VOB OID, serial} -> OID in the inode table.
void note_inode(bldr_cr_audit_table_t *t, const entry_t &e) {
  std::string key = bldr_cr_inode_key(e.vob_oid, e.objsn);
  auto it = t->inodes.find(key);
  if (it == t->inodes.end()) {
    t->inodes[key] = {e.oid, 0};
    return;
  }
  if (bldr_cr_ignore_previous_inode) {
    it->second.oid = e.oid;
    bldr_cr_ignore_previous_inode = 0;
    return;
  }
  if (!tbs_oid_eq(&it->second.oid, &e.oid)) {
    if (trace(3))
      imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_UNSEEN_CHOID, int(e.type),
                 tbs_oid_to_str(&it->second.oid), tbs_oid_to_str(&e.oid), e.objsn[0], e.objsn[1]);
    it->second.oid = e.oid;
    it->second.multi_versions = 1;
  }
}

bldr_cr_audit_obj_t *new_record(bldr_cr_audit_table_t *t, const entry_t &e, uint16_t vob_index) {
  bldr_cr_audit_obj_t &r = t->store.emplace_back();
  r.oid = e.oid;
  r.mtime = e.mtime;
  r.mtime_ns = e.mtime_ns;
  r.vob_index = vob_index;
  r.ftype = uint8_t(e.ftype);
  r.mtype = uint8_t(e.mtype);
  r.elem_oid = e.elem_oid;
  r.vob_oid = e.vob_oid;
  r.objsn[0] = e.objsn[0];
  r.objsn[1] = e.objsn[1];
  return &r;
}

void append_record(bldr_cr_audit_table_t *t, bldr_cr_audit_obj_t *r) {
  t->obj_index[bldr_cr_oid_key(r->oid)].push_back(r);
  t->live.push_back(r);
}

std::string short_time(int64_t t) {
  char buf[64];
  time_t tt = time_t(t);
  struct tm tm;
  if (!localtime_r(&tt, &tm) || !strftime(buf, sizeof buf, "%d-%b-%y.%H:%M:%S", &tm))
    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(t));
  return buf;
}

ks_status_t vob_entry(const uint8_t *r, size_t len, bldr_cr_audit_table_t *t, uint32_t section) {
  entry_t e;
  if (!parse_entry(r, len, BLDR_AUDIT_VOB, &e) || tbs_oid_is_null(&e.oid)) return corrupt();
  if (!tbs_uuid_eq(&e.view, &bldr_cr_view_uuid)) {
    bldr_cr_other_view_accessor_t *a = find_accessor(t, e.view);
    if (!a) a = bldr_cr_new_named_other_view_accessor_t(t, nullptr, &e.view);
    if (!a) return KS_ST_ERR;
    for (const auto &v : a->vobs)
      if (tbs_oid_eq(&v, &e.vob_oid)) return KS_ST_OK;
    if (trace(3))
      imsg_print(IMSG_TRACE, "Noting other-view access(es) in VOB \"%s\"...\n", -1,
                 e.name.c_str());
    a->vobs.push_back(e.vob_oid);
    return KS_ST_OK;
  }
  ks_status_t st = bldr_cr_require_audit_obj_abs_pn(t, 1, &e.oid, e.name.c_str(), &e.parent);
  if (st != KS_ST_OK) return st;
  note_inode(t, e);
  std::string vkey = bldr_cr_oid_key(e.vob_oid);
  if (!t->vob_index.count(vkey)) {
    bldr_cr_audit_vob_ix_t ix;
    ix.index = uint16_t(t->vobs.size());
    t->vobs.push_back({e.name, e.vob_oid, e.oid});
    t->vob_index[vkey] = ix;
    bldr_cr_audit_obj_t *root = new_record(t, e, ix.index);
    root->parent_oid = TBS_OID_NULL;
    root->flags = section_flags(section);
    append_record(t, root);
  }
  if (section == 1)
    for (auto *rec : t->obj_index[bldr_cr_oid_key(e.oid)]) rec->flags |= BLDR_OBJ_PREDEF;
  return KS_ST_OK;
}

ks_status_t view_entry(const uint8_t *r, size_t len, bldr_cr_audit_table_t *t, uint32_t section) {
  if (len < BLDR_AUDIT_VIEW_NAME) return corrupt();
  size_t n = u16(r + 8);
  if (BLDR_AUDIT_VIEW_NAME + n > len) return corrupt();
  tbs_uuid_t uuid = uuid_at(r + 12);
  std::string tag(reinterpret_cast<const char *>(r + BLDR_AUDIT_VIEW_NAME), n);
  if (tbs_uuid_eq(&uuid, &bldr_cr_view_uuid)) return KS_ST_OK;
  bldr_cr_other_view_accessor_t *a = find_accessor(t, uuid);
  if (a) {
    if (!a->name) {
      if (trace(3)) imsg_print(IMSG_TRACE, "Recording other-view name of \"%s\"...\n", -1, tag.c_str());
      a->name = tag;
    }
    return KS_ST_OK;
  }
  a = bldr_cr_new_named_other_view_accessor_t(t, tag.c_str(), &uuid);
  if (!a) return KS_ST_ERR;
  if (section == 0) {
    imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_VIEW_INITIAL_DIR, tag.c_str());
    return KS_ST_ERR;
  }
  if (section == 1) {
    imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_VIEW_MAKEFILE_DEPS, tag.c_str());
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

void other_view_access(bldr_cr_audit_table_t *t, const entry_t &e) {
  bldr_cr_other_view_accessor_t *a = find_accessor(t, e.view);
  if (!a) a = bldr_cr_new_named_other_view_accessor_t(t, nullptr, &e.view);
  if (!a) return;
  int32_t is_dir = e.ftype == 2 || e.type == BLDR_AUDIT_LOOKUP;
  for (auto &o : a->objs)
    if (tbs_oid_eq(&o.oid, &e.oid)) {
      if (!is_dir) o.is_dir = 0;  // a non-directory access takes the mark away
      return;
    }
  if (trace(3)) imsg_print(IMSG_TRACE, "Noting other-view access of \"%s\"...\n", -1, e.name.c_str());
  bldr_cr_other_view_obj_t o;
  o.name = e.name;
  o.is_dir = is_dir;
  o.mtype = e.mtype;
  o.oid = e.oid;
  o.parent_oid = e.parent;
  o.vob_oid = e.vob_oid;
  a->objs.push_back(std::move(o));
}

ks_status_t object_access(bldr_cr_audit_table_t *t, const entry_t &e, uint32_t section) {
  uint32_t type = e.type;
  if (type == BLDR_AUDIT_READ || type == BLDR_AUDIT_WRITE || type == BLDR_AUDIT_CREATE ||
      type == BLDR_AUDIT_TRUNCATE) {
    if (t->track_pathnames) {
      auto it = t->pathnames.find(bldr_cr_oid_key(e.oid));
      if (it != t->pathnames.end()) note_java_access(t, it->second, type);
    }
  }
  auto vit = t->vob_index.find(bldr_cr_oid_key(e.vob_oid));
  if (vit == t->vob_index.end()) return KS_ST_OK;  // a VOB the audit never entered
  // A type-5 entry's name is the link text, not a name of the object.
  bool named = e.has_name && type != BLDR_AUDIT_READLINK;
  auto &recs = t->obj_index[bldr_cr_oid_key(e.oid)];
  bldr_cr_audit_obj_t *rec = nullptr;
  if (recs.empty()) {
    rec = new_record(t, e, vit->second.index);
    if (named) {
      ks_status_t st = bldr_cr_map_name_to_obj(t, rec, &e.parent, e.name);
      if (st != KS_ST_OK) return st;
    }
    append_record(t, rec);
  } else {
    bool dots = named && (e.name == "." || e.name == "..");
    for (auto *r : recs) {
      if (r->further & BLDR_OBJ_X_UNLINKED) continue;
      if (!named || dots || (same_name(r->leaf, e.name) && tbs_oid_eq(&r->parent_oid, &e.parent))) {
        rec = r;
        break;
      }
    }
    if (rec) {
      rec->objsn[0] = e.objsn[0];
      rec->objsn[1] = e.objsn[1];
    } else {
      if (trace(3)) {
        imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_NEW_OBJ_RECORD,
                   tbs_oid_to_str(&e.oid));
        imsg_print(IMSG_TRACE_CONT, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_OLD_LEAF,
                   recs.front()->leaf.c_str());
        imsg_print(IMSG_TRACE_CONT, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_NEW_LEAF, e.name.c_str());
      }
      rec = new_record(t, e, vit->second.index);
      if (named) {
        ks_status_t st = bldr_cr_map_name_to_obj(t, rec, &e.parent, e.name);
        if (st != KS_ST_OK) return st;
      }
      append_record(t, rec);
    }
  }
  if (type == BLDR_AUDIT_REMOVE) rec->further |= BLDR_OBJ_X_UNLINKED;
  for (auto *r : t->obj_index[bldr_cr_oid_key(e.oid)]) {
    // The environment is asked last: a scan of it for every entry costs more than the rest.
    if (type != BLDR_AUDIT_REMOVE && type != BLDR_AUDIT_WRITE && type != BLDR_AUDIT_CHOID &&
        (r->flags & BLDR_OBJ_WRITTEN) && r->mtime != e.mtime &&
        !(r->ftype == 2 && (r->flags & BLDR_OBJ_PREDEF) && (r->flags & BLDR_OBJ_WRITTEN)) &&
        getenv("ZELVANE_DTM_CHECK") != nullptr) {
      imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_MULTIPLE_DTMS, r->leaf.c_str());
      imsg_print(IMSG_TRACE_CONT, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_PREVIOUS_DTM,
                 short_time(r->mtime).c_str(), static_cast<unsigned long>(r->mtime_ns));
      imsg_print(IMSG_TRACE_CONT, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_NEW_DTM,
                 short_time(e.mtime).c_str(), static_cast<unsigned long>(e.mtime_ns));
      r->mtime = e.mtime;
      r->mtime_ns = e.mtime_ns;
      r->further |= BLDR_OBJ_X_MULTI_DTM;
    }
    if (type == BLDR_AUDIT_READLINK) {
      r->further |= BLDR_OBJ_X_LINK_TEXT;
      if (r->mtype != 7) r->link_text = e.name;
    }
    switch (section) {
      case 0: r->flags |= BLDR_OBJ_INITIAL_DIR; break;
      case 1: r->flags |= BLDR_OBJ_PREDEF; break;
      case 2:
      case 4:
        r->flags |= BLDR_OBJ_LOOKED_UP;
        if (type == BLDR_AUDIT_READ) r->flags |= BLDR_OBJ_READ;
        if (type == BLDR_AUDIT_WRITE) r->flags |= BLDR_OBJ_WRITTEN;
        if (type == BLDR_AUDIT_CREATE || type == BLDR_AUDIT_CREATE2) r->flags |= BLDR_OBJ_CREATED;
        if (type == BLDR_AUDIT_TRUNCATE) r->further |= BLDR_OBJ_X_TRUNCATED;
        break;
      case 3:
        r->flags |= BLDR_OBJ_LOOKED_UP;
        r->further |= BLDR_OBJ_X_MAKEFILES;
        break;
      case 5: break;
      case 6: bldr_cr_ignore_previous_inode = 1; break;
      default: return int_error(__LINE__, BLDR_CR_MSG_INVALID_TYPE, int(section));
    }
  }
  return KS_ST_OK;
}

ks_status_t rename_entry(const uint8_t *r, size_t len, bldr_cr_audit_table_t *t) {
  if (len < BLDR_AUDIT_RENAME_NAMES) return corrupt();
  size_t old_len = u16(r + 8), new_len = u16(r + 10);
  if (BLDR_AUDIT_RENAME_NAMES + old_len + 1 + new_len > len) return corrupt();
  tbs_uuid_t view = uuid_at(r + 12);
  if (!tbs_uuid_eq(&view, &bldr_cr_view_uuid)) return KS_ST_OK;  // another view's names
  tbs_oid_t old_parent = oid_at(r + 28), new_parent = oid_at(r + 44);
  std::string old_name(reinterpret_cast<const char *>(r + BLDR_AUDIT_RENAME_NAMES), old_len);
  std::string new_name(reinterpret_cast<const char *>(r + BLDR_AUDIT_RENAME_NAMES + old_len + 1),
                       new_len);
  if (tbs_oid_is_null(&old_parent) || tbs_oid_is_null(&new_parent) || old_name.empty() ||
      new_name.empty())
    return corrupt();
  std::string old_key = name_key(old_parent, old_name), new_key = name_key(new_parent, new_name);
  if (old_key.size() > 1024 || new_key.size() > 1024) return KS_ST_NAME_TOO_LONG;
  if (trace(4))
    imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_RENAME, old_key.c_str(),
               new_key.c_str());
  auto oit = t->name_index.find(old_key), nit = t->name_index.find(new_key);
  if (oit != t->name_index.end() && nit != t->name_index.end() &&
      tbs_oid_eq(&oit->second, &nit->second) && old_key == new_key)
    return KS_ST_OK;
  if (t->track_pathnames && oit != t->name_index.end()) {
    std::string np = bldr_cr_get_oid_abs_pn(t, &new_parent) + "/" + new_name;
    t->pathnames[bldr_cr_oid_key(oit->second)] = np;
  }
  // A rename over an existing name: the object that had it is unlinked.
  bldr_cr_audit_obj_t *replaced = nullptr;
  if (nit != t->name_index.end()) {
    auto rit = t->obj_index.find(bldr_cr_oid_key(nit->second));
    if (rit == t->obj_index.end() || rit->second.empty())
      return int_error(__LINE__, BLDR_CR_MSG_RENAME_NO_PREV, tbs_oid_to_str(&nit->second),
                       new_key.c_str());
    for (auto *rec : rit->second) {
      if (rec->further & BLDR_OBJ_X_UNLINKED) continue;
      if (rec->leaf == new_name && tbs_oid_eq(&rec->parent_oid, &new_parent)) {
        rec->further |= BLDR_OBJ_X_UNLINKED;
        replaced = rec;
        break;
      }
    }
  }
  if (oit == t->name_index.end()) {
    if (trace(4))
      imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_RENAME_OLD_UNKNOWN,
                 old_key.c_str());
    return KS_ST_OK;
  }
  tbs_oid_t oid = oit->second;
  auto rit = t->obj_index.find(bldr_cr_oid_key(oid));
  if (rit == t->obj_index.end() || rit->second.empty())
    return int_error(__LINE__, BLDR_CR_MSG_RENAME_OID_UNKNOWN, tbs_oid_to_str(&oid), old_key.c_str());
  bldr_cr_audit_obj_t *orig = nullptr;
  for (auto *rec : rit->second)
    if (!(rec->further & BLDR_OBJ_X_UNLINKED) && rec->leaf == old_name &&
        tbs_oid_eq(&rec->parent_oid, &old_parent)) {
      orig = rec;
      break;
    }
  if (!orig)
    return int_error(__LINE__, BLDR_CR_MSG_RENAME_NO_RECORD, tbs_oid_to_str(&oid), old_key.c_str());
  orig->replaced_rec = replaced;
  bldr_cr_audit_obj_t &copy = t->store.emplace_back(*orig);
  ks_status_t st = bldr_cr_map_name_to_obj(t, &copy, &new_parent, new_name);
  if (st != KS_ST_OK) return st;
  append_record(t, &copy);
  orig->further |= BLDR_OBJ_X_UNLINKED;
  if (!tbs_oid_eq(&old_parent, &new_parent) && orig->ftype == 2) orig->parent_oid = new_parent;
  return KS_ST_OK;
}

ks_status_t choid_entry(const uint8_t *r, size_t len, bldr_cr_audit_table_t *t) {
  if (len < BLDR_AUDIT_CHOID_SIZE) return corrupt();
  tbs_uuid_t view = uuid_at(r + 8);
  if (!tbs_uuid_eq(&view, &bldr_cr_view_uuid)) return KS_ST_OK;
  tbs_oid_t old_oid = oid_at(r + 24), new_oid = oid_at(r + 40);
  uint32_t mtype = u32(r + 64);
  if (tbs_oid_is_null(&old_oid) || tbs_oid_is_null(&new_oid)) return corrupt();
  if (t->track_pathnames) {
    std::string p = bldr_cr_get_oid_abs_pn(t, &old_oid);
    t->pathnames[bldr_cr_oid_key(new_oid)] = p;
  }
  auto oit = t->obj_index.find(bldr_cr_oid_key(old_oid));
  if (oit == t->obj_index.end() || oit->second.empty()) {
    if (trace(3)) {
      imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_CHOID_UNKNOWN);
      imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_CHOID_OLD, tbs_oid_to_str(&old_oid));
      imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_CHOID_NEW, tbs_oid_to_str(&new_oid));
    }
    return KS_ST_OK;
  }
  if (tbs_oid_eq(&old_oid, &new_oid))
    return int_error(__LINE__, BLDR_CR_MSG_CHOID_SAME, tbs_oid_to_str(&new_oid));
  auto nit = t->obj_index.find(bldr_cr_oid_key(new_oid));
  if (nit != t->obj_index.end() && !nit->second.empty()) {
    if (trace(3))
      imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_CHOID_NEW_SEEN,
                 tbs_oid_to_str(&new_oid));
    return KS_ST_OK;
  }
  std::vector<bldr_cr_audit_obj_t *> olds = oit->second;  // the list grows below
  for (auto *old : olds) {
    if ((old->further & BLDR_OBJ_X_UNLINKED) || old->leaf.empty()) continue;
    if (trace(4))
      imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_CHOID_PROCESS,
                 old->leaf.c_str(), tbs_oid_to_str(&old_oid), tbs_oid_to_str(&new_oid));
    bldr_cr_audit_obj_t &n = t->store.emplace_back();
    n.oid = new_oid;
    n.mtime = old->mtime;
    n.mtime_ns = old->mtime_ns;
    n.flags = old->flags | BLDR_OBJ_CREATED;
    n.further = old->further;
    n.vob_index = old->vob_index;
    n.ftype = old->ftype;
    n.elem_oid = old->elem_oid;
    n.vob_oid = old->vob_oid;
    n.objsn[0] = old->objsn[0];
    n.objsn[1] = old->objsn[1];
    n.leaf = old->leaf;
    n.parent_oid = old->parent_oid;
    n.mtype = uint8_t(mtype);
    n.earlier_oid_rec = old;
    t->name_index[name_key(n.parent_oid, n.leaf)] = new_oid;
    auto iit = t->inodes.find(bldr_cr_inode_key(n.vob_oid, n.objsn));
    if (iit != t->inodes.end()) iit->second.oid = new_oid;
    append_record(t, &n);
    old->further |= BLDR_OBJ_X_UNLINKED;
  }
  return KS_ST_OK;
}

}  // namespace

std::string bldr_cr_oid_key(const tbs_oid_t &oid) {
  return std::string(reinterpret_cast<const char *>(oid.bytes), 16);
}

std::string bldr_cr_inode_key(const tbs_oid_t &vob_oid, const uint32_t objsn[2]) {
  std::string k(reinterpret_cast<const char *>(vob_oid.bytes), 16);
  k.append(reinterpret_cast<const char *>(objsn), 8);
  return k;
}

ks_status_t bldr_cr_process_audit_file(int fd, bldr_cr_audit_table_t *table) {
  std::vector<uint8_t> buf(kReadBuffer);
  size_t held = 0;
  bool first_checked = false;
  uint32_t section = 0;
  for (;;) {
    ssize_t n = read(fd, buf.data() + held, buf.size() - held);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      imsg_print(IMSG_ERROR, "Unable to read audit file: %s\n", -1, imsg_strerror(errno));
      return KS_ST_ERR;
    }
    // A record cut off at the end of the file is a truncated file, not a complete one.
    if (n == 0) return held == 0 ? KS_ST_OK : corrupt();
    held += size_t(n);
    if (held < BLDR_AUDIT_HEADER_SIZE) return corrupt();
    if (!first_checked) {
      uint16_t fmt = u16(buf.data());
      if (fmt != BLDR_AUDIT_FORMAT) {
        imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_EXPECTED_FMT,
                   unsigned(BLDR_AUDIT_FORMAT), unsigned(fmt));
        return KS_ST_ERR;
      }
      first_checked = true;
    }
    size_t pos = 0;
    while (held - pos >= BLDR_AUDIT_HEADER_SIZE) {
      const uint8_t *r = buf.data() + pos;
      size_t len = u16(r + 4);
      uint32_t type = u16(r + 6);
      if (len < BLDR_AUDIT_HEADER_SIZE) return corrupt();
      if (len > held - pos) {
        // A record longer than the buffer: make room for all of it.
        if (len > buf.size()) buf.resize(len);
        break;
      }
      ks_status_t st = KS_ST_OK;
      if (type == BLDR_AUDIT_MARKER) {
        if (len < BLDR_AUDIT_MARKER_SIZE) return corrupt();
        uint32_t m = u32(r + 8);
        if (m > 6) return int_error(__LINE__, BLDR_CR_MSG_INVALID_TYPE, int(m));
        if (trace(4))
          imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_READING_AUDIT,
                     kMarkerNames[m]);
        if (m == BLDR_CR_MARKER_JAVAC_SCRIPT) {
          if (!table->java_accesses.empty()) table->java_accesses.back().segment_ended = 1;
          section = 2;
        } else {
          section = m;
          if (m == BLDR_CR_MARKER_CHILD_AVOIDANCE) bldr_cr_child_build_avoidance = 1;
        }
      } else if (type == BLDR_AUDIT_VOB) {
        st = vob_entry(r, len, table, section);
      } else {
        st = bldr_cr_audit_obj(r, len, type, table, section);
      }
      if (st != KS_ST_OK) return st;
      pos += len;
    }
    memmove(buf.data(), buf.data() + pos, held - pos);
    held -= pos;
  }
}

ks_status_t bldr_cr_audit_obj(const uint8_t *record, size_t len, uint32_t type,
                              bldr_cr_audit_table_t *table, uint32_t section) {
  if (type == 0 || type > 13) return int_error(__LINE__, BLDR_CR_MSG_INVALID_ENTRY, type);
  switch (type) {
    case BLDR_AUDIT_VOB: return vob_entry(record, len, table, section);
    case BLDR_AUDIT_VIEW: return view_entry(record, len, table, section);
    case BLDR_AUDIT_RENAME: return rename_entry(record, len, table);
    case BLDR_AUDIT_CHOID: return choid_entry(record, len, table);
    default: break;
  }
  entry_t e;
  // Every object entry names its object: an entry without one is damage, not an object.
  if (!parse_entry(record, len, type, &e) || tbs_oid_is_null(&e.oid)) return corrupt();
  if (!tbs_uuid_eq(&e.view, &bldr_cr_view_uuid)) {
    other_view_access(table, e);
    return KS_ST_OK;
  }
  if (type == BLDR_AUDIT_READ && e.ftype == 2) return KS_ST_OK;
  if (e.has_name && type != BLDR_AUDIT_READLINK) {
    ks_status_t st = bldr_cr_require_audit_obj_abs_pn(table, 0, &e.oid, e.name.c_str(), &e.parent);
    if (st != KS_ST_OK) return st;
  }
  note_inode(table, e);
  return object_access(table, e, section);
}

ks_status_t bldr_cr_require_audit_obj_abs_pn(bldr_cr_audit_table_t *table, int root,
                                             const tbs_oid_t *oid, const char *name,
                                             const tbs_oid_t *parent) {
  PFM_ASSERT(table != nullptr);
  PFM_ASSERT(oid != nullptr && !tbs_oid_is_null(oid));
  PFM_ASSERT(name != nullptr);
  if (!table->track_pathnames || !*name) return KS_ST_OK;
  std::string key = bldr_cr_oid_key(*oid);
  if (table->pathnames.count(key)) return KS_ST_OK;
  if (root) {
    table->pathnames[key] = name;
    return KS_ST_OK;
  }
  std::string base = ".";
  if (parent) {
    auto it = table->pathnames.find(bldr_cr_oid_key(*parent));
    if (it != table->pathnames.end()) base = it->second;
  }
  table->pathnames[key] = base + "/" + name;
  return KS_ST_OK;
}

const std::string &bldr_cr_get_oid_abs_pn(bldr_cr_audit_table_t *table, const tbs_oid_t *oid) {
  std::string key = bldr_cr_oid_key(*oid);
  auto it = table->pathnames.find(key);
  if (it != table->pathnames.end()) return it->second;
  static const std::string unknown = "/unknown/path";
  if (trace(3)) {
    imsg_print(IMSG_WARNING, "OID (%s) encountered before any names for the file object.\n", -1,
               tbs_oid_to_str(oid));
    imsg_print(IMSG_WARNING_CONT, "Assigning imaginary name \"%s\" to the OID.\n", -1,
               unknown.c_str());
  }
  return table->pathnames.emplace(key, unknown).first->second;
}

ks_status_t bldr_cr_map_name_to_obj(bldr_cr_audit_table_t *table, bldr_cr_audit_obj_t *obj,
                                    const tbs_oid_t *parent, const std::string &leaf) {
  std::string key = name_key(*parent, leaf);
  if (key.size() > 1024) return KS_ST_NAME_TOO_LONG;
  table->name_index[key] = obj->oid;
  obj->leaf = leaf;
  obj->parent_oid = *parent;
  return KS_ST_OK;
}

bldr_cr_other_view_accessor_t *bldr_cr_new_named_other_view_accessor_t(
    bldr_cr_audit_table_t *table, const char *name, const tbs_uuid_t *uuid) {
  auto a = std::make_unique<bldr_cr_other_view_accessor_t>();
  if (name) a->name = name;
  a->uuid = *uuid;
  if (trace(3)) {
    if (name)
      imsg_print(IMSG_TRACE, "Noting audited access through other-view named \"%s\"...\n", -1, name);
    else
      imsg_print(IMSG_TRACE, "Noting audited access through anonymous other-view with UUID \"%s\"...\n",
                 -1, tbs_uuid_to_str(uuid));
  }
  table->other_views.push_back(std::move(a));
  return table->other_views.back().get();
}

ks_status_t bldr_cr_mark_needed_recs(bldr_cr_audit_table_t *table, bldr_cr_audit_obj_t *obj,
                                     const char *name) {
  auto vit = table->vob_index.find(bldr_cr_oid_key(obj->vob_oid));
  if (vit != table->vob_index.end()) vit->second.needed = 1;
  tbs_oid_t parent = obj->parent_oid;
  while (!tbs_oid_is_null(&parent)) {
    auto it = table->obj_index.find(bldr_cr_oid_key(parent));
    if (it == table->obj_index.end() || it->second.empty()) {
      imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_PARENT_NOT_AUDITED,
                 name ? name : "");
      imsg_print(IMSG_ERROR_CONT, "%s\n", -1, obj->leaf.c_str());
      return KS_ST_ERR;
    }
    bldr_cr_audit_obj_t *next = nullptr;
    for (auto *r : it->second)
      if (!(r->further & BLDR_OBJ_X_SUB_NEEDED)) {
        next = r;
        break;
      }
    if (!next) break;  // every record of this parent is needed already
    next->further |= BLDR_OBJ_X_SUB_NEEDED;
    if (trace(4))
      imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_MARK_NEEDED, next->leaf.c_str());
    parent = next->parent_oid;
  }
  return KS_ST_OK;
}

ks_status_t bldr_cr_mark_if_history_mode(bldr_cr_audit_table_t *table, bldr_cr_audit_obj_t *obj,
                                         const char *name) {
  if (obj->mtype == 2 || obj->mtype == 5) {
    obj->flags |= BLDR_OBJ_HISTORY;
    return KS_ST_OK;
  }
  if (tbs_oid_is_null(&obj->parent_oid)) return KS_ST_OK;
  auto it = table->obj_index.find(bldr_cr_oid_key(obj->parent_oid));
  if (it == table->obj_index.end() || it->second.empty()) {
    imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_PARENT_NOT_AUDITED,
               name ? name : "");
    imsg_print(IMSG_ERROR_CONT, "%s\n", -1, obj->leaf.c_str());
    return KS_ST_ERR;
  }
  for (auto *p : it->second)
    if ((p->mtype == 2 || p->mtype == 5 || p->mtype == 11) && (p->flags & BLDR_OBJ_HISTORY)) {
      obj->flags |= BLDR_OBJ_HISTORY;
      break;
    }
  return KS_ST_OK;
}

bool bldr_cr_is_java_script_marker(const char *script_line) {
  if (!bldr_cr_java_audits || !script_line || !bldr_cr_java_member_script_end) return false;
  size_t n = strlen(bldr_cr_java_member_script_end);
  return n && strncmp(script_line, bldr_cr_java_member_script_end, n) == 0;
}

bool bldr_cr_is_deleted_explicit_dep(const std::vector<bldr_cr_audit_obj_t *> &objs,
                                     const char *dep) {
  if (!dep || !*dep) return false;
  std::string path = dep;
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  view_oids_t d;
  if (view_get_oids(dir.c_str(), 1, 0, 0, &d) != KS_ST_OK || d.mtype == VOB_MTYPE_NULL) return false;
  for (const auto *o : objs)
    if ((o->flags & BLDR_OBJ_PREDEF) && o->leaf == leaf && tbs_oid_eq(&o->parent_oid, &d.obj_oid))
      return true;
  return false;
}
