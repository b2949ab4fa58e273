// Configuration-record tables: shared tables, name tables and the printed form of a record.
#include "cm/cr_utl_nt.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>
#include <vector>

#include "ks/date.h"
#include "ks/imsg.h"
#include "tbs/tbs_oid.h"
#include "view/view_info.h"
#include "vob/vob_mtype.h"

struct cr_utl_shared_tables_s {
  std::string cwd;
};

struct cr_utl_nametable_s {
  const tbs_cr_t *cr;
  // Open-addressed tables by OID (0: an empty slot): objects holds 1 + the object a parent OID
  // names (the first directory of that OID, else its first object), roots 1 + the VOB whose
  // root has that OID.
  std::vector<uint32_t> objects, roots;
  std::string pool;  // the pathnames computed, one after another
  std::vector<std::pair<size_t, size_t>> paths;  // object -> offset and length in pool (0: not yet)
  std::vector<uint32_t> chain;  // the objects whose pathnames are being computed
};

namespace {

size_t object_slot(const cr_utl_nametable_s *nt, const tbs_oid_t &oid) {
  return tbs_oid_table_slot(nt->objects, oid, [nt](uint32_t i) -> const tbs_oid_t & { return nt->cr->objs[i]->oid; });
}

size_t root_slot(const cr_utl_nametable_s *nt, const tbs_oid_t &oid) {
  return tbs_oid_table_slot(nt->roots, oid, [nt](uint32_t i) -> const tbs_oid_t & { return nt->cr->vobs[i].root_oid; });
}

// Appends to the pool the pathname at base (its offset and length in the pool), "/" and name;
// the offset and length of what was appended.
std::pair<size_t, size_t> append(cr_utl_nametable_s *nt, std::pair<size_t, size_t> base,
                                 const char *name) {
  const size_t at = nt->pool.size(), n = std::strlen(name);
  nt->pool.reserve(at + base.second + 1 + n);  // the base stays where it is while it is copied
  nt->pool.append(nt->pool.data() + base.first, base.second);
  nt->pool += '/';
  nt->pool.append(name, n);
  return {at, base.second + 1 + n};
}

// The pool's copy of a VOB's pathname.
std::pair<size_t, size_t> vob_path(cr_utl_nametable_s *nt, uint32_t vob) {
  const size_t at = nt->pool.size();
  nt->pool += cr_utl_vob_pname(nt->cr->vobs[vob].name);
  return {at, nt->pool.size() - at};
}

// The pathname of object i, or false when it has none.
bool path_of(cr_utl_nametable_s *nt, uint32_t i, std::string_view *out) {
  const tbs_cr_t *cr = nt->cr;
  if (nt->paths[i].second == 0) {
    // Up the parents to an object whose pathname is known, or to a VOB's root.
    std::vector<uint32_t> &chain = nt->chain;
    chain.clear();
    std::pair<size_t, size_t> base;
    uint32_t at = i;
    for (;;) {
      if (nt->paths[at].second != 0) {
        base = nt->paths[at];
        break;
      }
      if (chain.size() > cr->obj_count) return false;  // a cycle of parents
      const tbs_cr_obj_t *o = cr->objs[at];
      if (tbs_oid_is_null(&o->parent_oid)) {
        const uint32_t r = nt->roots[root_slot(nt, o->oid)];
        if (r == 0 || o->name[0] != '\0') return false;
        base = nt->paths[at] = vob_path(nt, r - 1);
        break;
      }
      chain.push_back(at);
      if (const uint32_t p = nt->objects[object_slot(nt, o->parent_oid)]; p != 0) {
        at = p - 1;
        continue;
      }
      const uint32_t r = nt->roots[root_slot(nt, o->parent_oid)];
      if (r == 0) return false;
      base = vob_path(nt, r - 1);
      break;
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
      base = nt->paths[*it] = append(nt, base, cr->objs[*it]->name);
  }
  *out = std::string_view(nt->pool).substr(nt->paths[i].first, nt->paths[i].second);
  return true;
}

void line(std::string *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void line(std::string *out, const char *fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (size_t(n) < sizeof buf) {
    out->append(buf, size_t(n));
    return;
  }
  std::vector<char> big(size_t(n) + 1);
  va_start(ap, fmt);
  vsnprintf(big.data(), big.size(), fmt, ap);
  va_end(ap);
  out->append(big.data(), size_t(n));
}

const char *text(const char *s) { return s ? s : ""; }

std::string time_text(int64_t t) {
  char buf[64];
  time_t tt = time_t(t);
  struct tm tm;
  if (!localtime_r(&tt, &tm) || !strftime(buf, sizeof buf, "%d-%b-%Y.%H:%M:%S", &tm))
    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(t));
  return buf;
}

}  // namespace

std::string cr_utl_vob_pname(const char *vob_name) {
  const char *name = vob_name ? vob_name : "";
  const char *colon = std::strchr(name, ':');
  if (colon) name = colon + 1;
  return name[0] == '/' ? std::string(name) : "/" + std::string(name);
}

cr_utl_st_hdl_t cr_utl_create_shared_tables(int, const char *cwd) {
  auto *st = new (std::nothrow) cr_utl_shared_tables_s;
  if (st && cwd) st->cwd = cwd;
  return st;
}

void cr_utl_destroy_shared_tables(cr_utl_st_hdl_t st) { delete st; }

cr_utl_nt_hdl_t cr_utl_create_nametable(int, cr_utl_st_hdl_t, const tbs_cr_t *cr, int) {
  if (cr == nullptr) return CR_UTL_NT_HDL_NULL;
  auto *nt = new (std::nothrow) cr_utl_nametable_s;
  if (nt == nullptr) return CR_UTL_NT_HDL_NULL;
  try {
    nt->cr = cr;
    nt->paths.assign(cr->obj_count, {0, 0});
    nt->roots = tbs_oid_table_new(cr->vob_count);
    for (uint32_t i = 0; i < cr->vob_count; i++) {
      uint32_t &slot = nt->roots[root_slot(nt, cr->vobs[i].root_oid)];
      if (slot == 0) slot = i + 1;
    }
    nt->objects = tbs_oid_table_new(cr->obj_count);
    for (uint32_t i = 0; i < cr->obj_count; i++) {
      uint32_t &slot = nt->objects[object_slot(nt, cr->objs[i]->oid)];
      if (slot == 0 || (cr->objs[i]->ftype == TBS_CR_FTYPE_DIR && cr->objs[slot - 1]->ftype != TBS_CR_FTYPE_DIR))
        slot = i + 1;
    }
  } catch (const std::bad_alloc &) {
    delete nt;
    return CR_UTL_NT_HDL_NULL;
  }
  return nt;
}

void cr_utl_destroy_nametable(cr_utl_nt_hdl_t nt) { delete nt; }

char *cr_utl_get_pn(cr_utl_nt_hdl_t nt, const tbs_cr_t *cr, uint32_t index, size_t size,
                    char *buf) {
  if (nt == CR_UTL_NT_HDL_NULL || cr != nt->cr || index >= cr->obj_count || size == 0) return nullptr;
  std::string_view path;
  if (!path_of(nt, index, &path) || path.size() + 1 > size) return nullptr;
  std::memcpy(buf, path.data(), path.size());
  buf[path.size()] = '\0';
  return buf;
}

tbs_cr_obj_t *cr_utl_find_objdesc(const tbs_cr_t *cr, const tbs_oid_t *oid) {
  for (uint32_t i = 0; cr && i < cr->obj_count; i++)
    if (tbs_oid_eq(&cr->objs[i]->oid, oid)) return cr->objs[i];
  return nullptr;
}

ks_status_t cr_utl_abspname_to_viewrel(const char *abs, char *buf, int, size_t size) {
  return view_abspn_to_viewrel(abs, buf, size);
}

std::string cr_utl_obj_flags_text(uint32_t flags) {
  static const struct {
    uint32_t bit;
    const char *name;
  } names[] = {
      {TBS_CR_OBJ_PREDEF, "declared"},       {TBS_CR_OBJ_DETECTED, "detected"},
      {TBS_CR_OBJ_READ, "read"},             {TBS_CR_OBJ_WRITTEN, "written"},
      {TBS_CR_OBJ_INITIAL_DIR, "initial-dir"}, {TBS_CR_OBJ_NEW_DO, "new-DO"},
      {TBS_CR_OBJ_SUB_DO, "sub-DO"},         {TBS_CR_OBJ_CREATED, "created"},
      {TBS_CR_OBJ_NON_CRITICAL, "non-critical"}, {TBS_CR_OBJ_INCR_REPO, "incremental-repository"},
      {TBS_CR_OBJ_HISTORY, "history"},       {TBS_CR_OBJ_TARGET, "target"},
      {TBS_CR_OBJ_PRIMARY, "primary"},       {TBS_CR_OBJ_MERGE_TAKEN, "merged"},
      {TBS_CR_OBJ_TARGET_RENAMED, "renamed-target"}, {TBS_CR_OBJ_MERGE_MATCHED, "matched"},
  };
  std::string out;
  for (const auto &n : names)
    if (flags & n.bit) {
      if (!out.empty()) out += " ";
      out += n.name;
    }
  return out;
}

std::string cr_utl_format_cr(const tbs_cr_t *cr, cr_utl_st_hdl_t st) {
  std::string out;
  line(&out, "Target %s built by %s.%s\n", text(cr->target_name), text(cr->login_name),
       text(cr->group_name));
  line(&out, "Record format %d; built %s on host \"%s\" (%s)\n", int(cr->format),
       time_text(cr->build_start).c_str(), text(cr->host_name), text(cr->platform));
  line(&out, "View %s (%s)\n", text(cr->view_host_path), tbs_uuid_to_str(&cr->view_uuid));
  line(&out, "Initial working directory %s (version %s)\n", text(cr->initial_dir),
       tbs_oid_to_str(&cr->initial_dir_ver_oid));
  line(&out, "Reference time %s\n", time_text(cr->ref_time[0]).c_str());
  out += "----------------------------\n";
  out += "Build script:\n";
  for (uint32_t i = 0; i < cr->script_count; i++) {
    const char *s = text(cr->scripts[i]);
    while (*s) {
      const char *nl = std::strchr(s, '\n');
      size_t n = nl ? size_t(nl - s) : std::strlen(s);
      line(&out, "  %.*s\n", int(n), s);
      s += n + (nl ? 1 : 0);
    }
  }
  if (cr->script_count == 0) out += "  (none)\n";
  if (cr->explicit_dep_count) {
    out += "----------------------------\n";
    out += "Declared dependencies:\n";
    for (uint32_t i = 0; i < cr->explicit_dep_count; i++) {
      const tbs_cr_explicit_dep_t *d = cr->explicit_deps[i];
      line(&out, "  %s  %s\n", text(d->name), text(d->vpath_name));
    }
  }
  if (cr->fs_dep_count) {
    out += "----------------------------\n";
    out += "Non-VOB dependencies:\n";
    for (uint32_t i = 0; i < cr->fs_dep_count; i++) {
      const tbs_cr_fs_predef_t *d = cr->fs_deps[i];
      line(&out, "  %s  %s  size %llu  crc 0x%x  %s\n", text(d->name), text(d->pname),
           static_cast<unsigned long long>(d->size), unsigned(d->crc), time_text(d->mtime).c_str());
    }
  }
  if (cr->var_def_count) {
    out += "----------------------------\n";
    out += "Variables:\n";
    for (uint32_t i = 0; i < cr->var_def_count; i++) line(&out, "  %s\n", text(cr->var_defs[i]));
  }
  out += "----------------------------\n";
  out += "Objects:\n";
  cr_utl_nt_hdl_t nt = cr_utl_create_nametable(1, st, cr, 0);
  for (uint32_t i = 0; i < cr->obj_count; i++) {
    const tbs_cr_obj_t *o = cr->objs[i];
    char buf[1024];
    const char *pn = nt ? cr_utl_get_pn(nt, cr, i, sizeof buf, buf) : nullptr;
    const char *kind = o->ftype == TBS_CR_FTYPE_DIR     ? "directory"
                       : o->ftype == TBS_CR_FTYPE_SLINK ? "symbolic link"
                                                        : "file";
    line(&out, "  %s\n", pn ? pn : text(o->name));
    line(&out, "      %s %s %s <%s> [%s]\n", kind, vob_mtype_short_name(o->mtype) ? vob_mtype_short_name(o->mtype) : "?",
         tbs_oid_to_str(&o->oid), time_text(o->mtime).c_str(), cr_utl_obj_flags_text(o->flags).c_str());
  }
  cr_utl_destroy_nametable(nt);
  for (uint32_t i = 0; i < cr->linktext_count; i++)
    line(&out, "  link text of object %u: %s\n", unsigned(cr->linktexts[i].obj_index),
         text(cr->linktexts[i].text));
  for (uint32_t i = 0; i < cr->vob_count; i++)
    line(&out, "  VOB %s (%s)\n", text(cr->vobs[i].name), tbs_oid_to_str(&cr->vobs[i].vob_oid));
  return out;
}

void cr_utl_dump_cr(const tbs_cr_t *cr, cr_utl_st_hdl_t st) {
  std::string t = cr_utl_format_cr(cr, st);
  imsg_print(IMSG_TRACE, "%s", -1, t.c_str());
}
