// Configuration records and derived objects from the audit table of a finished build.
#include "bld/bldr_cr_create.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bld/bldr_cr.h"
#include "bld/bldr_cr_cache.h"
#include "bld/bldr_cr_fetch.h"
#include "bld/bldr_cr_obj.h"
#include "bld/bldr_utl.h"
#include "client_meters/client_meters.h"
#include "cm/bldr_vob.h"
#include "cm/cm_cr.h"
#include "ks/fileutl.h"
#include "ks/imsg.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "ks/sysutl.h"
#include "mf/mf.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"
#include "view/view_do.h"
#include "view/view_xstat.h"
#include "vob/vob_mtype.h"

static_assert(BLDR_OBJ_PREDEF == TBS_CR_OBJ_PREDEF && BLDR_OBJ_LOOKED_UP == TBS_CR_OBJ_DETECTED &&
                  BLDR_OBJ_READ == TBS_CR_OBJ_READ && BLDR_OBJ_WRITTEN == TBS_CR_OBJ_WRITTEN &&
                  BLDR_OBJ_CREATED == TBS_CR_OBJ_CREATED && BLDR_OBJ_HISTORY == TBS_CR_OBJ_HISTORY,
              "audit and record flags are one word");

char *bldr_cr_rec_storage_t::text(const char *t) { return texts.emplace_back(t ? t : "").data(); }

void bldr_cr_rec_storage_t::install(tbs_cr_t *cr) {
  obj_ptrs.clear();
  for (auto &o : objs) obj_ptrs.push_back(&o);
  dep_ptrs.clear();
  for (auto &d : deps) dep_ptrs.push_back(&d);
  fs_ptrs.clear();
  for (auto &f : fs_deps) fs_ptrs.push_back(&f);
  cr->obj_count = uint32_t(obj_ptrs.size());
  cr->objs = obj_ptrs.data();
  cr->vob_count = uint32_t(vobs.size());
  cr->vobs = vobs.data();
  cr->linktext_count = uint32_t(linktexts.size());
  cr->linktexts = linktexts.data();
  cr->explicit_dep_count = uint32_t(dep_ptrs.size());
  cr->explicit_deps = dep_ptrs.data();
  cr->fs_dep_count = uint32_t(fs_ptrs.size());
  cr->fs_deps = fs_ptrs.data();
  cr->str_count = uint32_t(strs.size());
  cr->strs = strs.data();
}

namespace {

bool trace(int level) { return bldr_cr_traced(level); }

bool is_dir(const bldr_cr_audit_obj_t *o) { return o->ftype == TBS_CR_FTYPE_DIR; }

const bldr_cr_audit_vob_t &vob_of(const bldr_cr_audit_table_t *t, const bldr_cr_audit_obj_t *o) {
  return t->vobs[o->vob_index];
}

bool is_root(const bldr_cr_audit_table_t *t, const bldr_cr_audit_obj_t *o) {
  return o->vob_index < t->vobs.size() && tbs_oid_is_null(&o->parent_oid) &&
         tbs_oid_eq(&o->oid, &vob_of(t, o).root_oid);
}

bool counts_as_written(const bldr_cr_audit_obj_t *o) {
  if (!(o->flags & (BLDR_OBJ_WRITTEN | BLDR_OBJ_CREATED))) return false;
  return !(is_dir(o) && (o->flags & BLDR_OBJ_PREDEF) && (o->flags & BLDR_OBJ_WRITTEN));
}

bool significant(const bldr_cr_audit_obj_t *o) {
  return counts_as_written(o) && !(o->further & BLDR_OBJ_X_UNLINKED);
}

void remove_obj(bldr_cr_audit_table_t *t, bldr_cr_audit_obj_t *o) {
  auto it = std::find(t->live.begin(), t->live.end(), o);
  if (it == t->live.end()) return;
  t->live.erase(it);
  t->removed.push_back(o);
}

void trace_removal(int level, const char *name, const char *why) {
  if (!trace(level)) return;
  bldr_cr_trace("Removing \"%s\" from CR", name);
  imsg_print(IMSG_TRACE_CONT, "%s", -1, why);
}

void int_error(int line, const char *fmt, const char *arg) {
  bldr_cr_report_int_error("bldr_cr_create", line);
  imsg_print(IMSG_ERROR_CONT, fmt, -1, arg);
}

ks_status_t interference() {
  imsg_print(IMSG_ERROR_CONT, "Interference from another process?\n", -1);
  return BLDR_CR_ST_INTERFERENCE;
}

// The record's lists from the table's live objects and VOBs (the objects' names copied).
void fill_from_table(bldr_cr_audit_table_t *t, bldr_cr_rec_storage_t *s, tbs_cr_t *cr) {
  s->objs.clear();
  for (const auto *o : t->live) {
    tbs_cr_obj_t e{};
    e.oid = o->oid;
    e.mtime = o->mtime;
    e.parent_oid = o->parent_oid;
    e.vob_index = o->vob_index;
    e.flags = o->flags;
    e.ftype = o->ftype;
    e.mtype = o->mtype;
    e.elem_oid = o->elem_oid;
    e.name = s->text(o->leaf.c_str());
    s->objs.push_back(e);
  }
  s->install(cr);
}

// Reports the objects reached through other views (they are not recorded).
void report_other_views(bldr_cr_audit_table_t *t) {
  for (auto &a : t->other_views) {
    if (!a->reported) {
      imsg_print(IMSG_WARNING, "Configuration record will not include objects accessed using view \"%s\"\n",
                 -1, a->name ? a->name->c_str() : tbs_uuid_to_str(&a->uuid));
      a->reported = 1;
    }
    if (a->objs.empty()) {
      for (const auto &v : a->vobs) imsg_print(IMSG_WARNING_CONT, "  Access of VOB %s\n", -1, tbs_oid_to_str(&v));
      continue;
    }
    // Pathnames: a VOB's name for its OID, a parent's pathname and the name for an object.
    std::map<std::string, std::string> paths;
    for (const auto &o : a->objs) {
      if (tbs_oid_is_null(&o.parent_oid)) paths[bldr_cr_oid_key(o.oid)] = o.name.empty() ? "???" : o.name;
    }
    for (size_t pass = 0; pass < a->objs.size(); pass++) {
      bool more = false;
      for (auto &o : a->objs) {
        std::string k = bldr_cr_oid_key(o.oid);
        if (!o.pathname.empty() || paths.count(k)) {
          if (o.pathname.empty()) o.pathname = paths[k];
          continue;
        }
        auto p = paths.find(bldr_cr_oid_key(o.parent_oid));
        if (p == paths.end()) continue;
        o.pathname = p->second + "/" + (o.name.empty() ? "???" : o.name);
        paths[k] = o.pathname;
        more = true;
      }
      if (!more) break;
    }
    for (const auto &o : a->objs) {
      bool is_parent = false;
      for (const auto &x : a->objs) is_parent = is_parent || tbs_oid_eq(&x.parent_oid, &o.oid);
      if (is_parent || o.skip) continue;
      if (!o.pathname.empty())
        imsg_print(IMSG_WARNING_CONT, "  Access of %s\n", -1, o.pathname.c_str());
      else if (!o.name.empty())
        imsg_print(IMSG_WARNING_CONT, "  Access of OID %s (%s)\n", -1, tbs_oid_to_str(&o.oid), o.name.c_str());
      else
        imsg_print(IMSG_WARNING_CONT, "  Access of OID %s\n", -1, tbs_oid_to_str(&o.oid));
    }
  }
}

// The absolute pathnames of the order-only dependencies of a record: its explicit dependencies
// after the order-only separator. Found once per record, not for each of its objects.
std::vector<std::string> order_only_deps(const tbs_cr_t *cr) {
  std::vector<std::string> deps;
  uint32_t n = cr->explicit_dep_count, sep = n;
  for (uint32_t i = 0; i < n && sep == n; i++)
    if (bldr_utl_tgt_is_gnu_order_only_specifier(cr->explicit_deps[i]->name)) sep = i;
  for (uint32_t i = sep + 1; i < n; i++) {
    const tbs_cr_explicit_dep_t *d = cr->explicit_deps[i];
    const char *vp = d->vpath_name && *d->vpath_name ? d->vpath_name : d->name;
    char abs[1024];
    if (vp && bldr_utl_cwd_accessible_abs_pn(vp, sizeof abs, abs) == KS_ST_OK) deps.emplace_back(abs);
  }
  return deps;
}

// Whether the predefined file dependency at pathname is one of the order-only dependencies.
bool order_only(const std::vector<std::string> &deps, const char *access_pn) {
  for (const std::string &abs : deps)
    if (fileutl_pname_equal(abs.c_str(), access_pn)) return true;
  return false;
}

void trace_object(const bldr_cr_audit_obj_t *o, const char *pn) {
  const char *fmt = o->ftype == TBS_CR_FTYPE_DIR     ? "Directory \"%s\":\n\t(mtype = %lu)\t"
                    : o->ftype == TBS_CR_FTYPE_SLINK ? "Softlink \"%s\":\n\t(mtype = %lu)\t"
                    : o->ftype == TBS_CR_FTYPE_FILE  ? "File \"%s\":\n\t(mtype = %lu)\t"
                                                     : "Object \"%s\":\n\t(mtype = %lu)\t";
  std::string line;
  if (o->flags & TBS_CR_OBJ_NEW_DO) line += "New Derived Object. ";
  else if (o->flags & TBS_CR_OBJ_NON_CRITICAL) line += "Non-critical Object. ";
  else if (o->flags & TBS_CR_OBJ_DETECTED) line += "Detected Dependency. ";
  if (o->flags & TBS_CR_OBJ_INCR_REPO) line += "Incremental Repository Object. ";
  if (o->flags & TBS_CR_OBJ_SUB_DO) line += "Subordinate Derived Object. ";
  if (o->flags & TBS_CR_OBJ_PREDEF) line += "Predefined dependency. ";
  if (o->flags & TBS_CR_OBJ_INITIAL_DIR) line += "Accessed while setting initial dir. ";
  if (tbs_oid_is_null(&o->parent_oid)) line += "\n\tParent Directory Unknown. ";
  bldr_cr_trace(fmt, pn, static_cast<unsigned long>(o->mtype));
  imsg_print(IMSG_TRACE_CONT, "%s\n", -1, line.c_str());
}

client_meters_region_t bldr_exec_do_creation_region_handle = nullptr;

// Everything that lives through one processing of a table.
struct Work {
  bldr_cr_audit_table_t *t = nullptr;
  tbs_cr_t *cr = nullptr;
  const bldr_cr_create_args_t *args = nullptr;
  bldr_cr_rec_storage_t *s = nullptr;
  cr_utl_nt_hdl_t nt = CR_UTL_NT_HDL_NULL;
  stg_area_t area = STG_AREA_NULL;
  std::vector<bldr_vob_do_desc_t *> new_dos;
  std::vector<tbs_oid_t> subs;
  ~Work() {
    cr_utl_destroy_nametable(nt);
    stg_delete_area(&area);
  }
};

// The object loop: each live object of the record as it stood when the name table was made.
ks_status_t judge_objects(Work &w) {
  bldr_cr_audit_table_t *t = w.t;
  const bldr_cr_create_args_t *a = w.args;
  std::vector<bldr_cr_audit_obj_t *> snapshot = t->live;
  const bool inode_check = mf_getenv("TOLVICK_NO_INODE_CHECK") == nullptr;
  const std::vector<std::string> order_only_names = order_only_deps(w.cr);
  for (size_t i = 0; i < snapshot.size(); i++) {
    bldr_cr_audit_obj_t *o = snapshot[i];
    char pn[1024];
    if (cr_utl_get_pn(w.nt, w.cr, uint32_t(i), sizeof pn, pn) == nullptr) {
      imsg_print(IMSG_ERROR, "Unable to compute object pathname from audit info\n", -1);
      return KS_ST_ERR;
    }
    char access[1024];
    if (bldr_cr_vrel_accessible_pn(pn, sizeof access, access) != KS_ST_OK) strutl_cpy_buf(access, sizeof access, pn);
    int exact = 0, contained = 0;
    int no_do = bldr_cr_requested_no_do(pn, a->no_do_list, a->no_sib_do_dirs, &exact, &contained);
    if (a->obj_callback) {
      if (o->further & BLDR_OBJ_X_UNLINKED) a->obj_callback(is_dir(o) ? 3 : 2, access);
      else if (o->flags & BLDR_OBJ_CREATED) a->obj_callback(1, access);
    }
    if (!is_dir(o)) {
      if ((o->further & BLDR_OBJ_X_MAKEFILES) && !(o->flags & BLDR_OBJ_PREDEF) && !a->makefiles_affect_reuse)
        o->flags |= TBS_CR_OBJ_NON_CRITICAL;
      if ((o->flags & BLDR_OBJ_PREDEF) && order_only(order_only_names, access)) {
        if (trace(4)) bldr_cr_trace("bldr_cr_is_order_only_dependency returned TRUE for \"%s\"", pn);
        o->flags |= TBS_CR_OBJ_NON_CRITICAL;
      }
    }
    if (o->further & BLDR_OBJ_X_UNLINKED) {
      trace_removal(3, pn, " - unlinked during audit\n");
      remove_obj(t, o);
      continue;
    }
    if (!is_dir(o) && o->flags == BLDR_OBJ_LOOKED_UP &&
        !(o->further & (BLDR_OBJ_X_LINK_TEXT | BLDR_OBJ_X_MAKEFILES))) {
      trace_removal(3, pn, " - only looked up\n");
      if (trace(3)) imsg_print(IMSG_TRACE_CONT, "Object flags: %lx\n", -1, static_cast<unsigned long>(o->further));
      remove_obj(t, o);
      continue;
    }
    const bool written = significant(o);
    int is_do = 0;
    ks_status_t st = bldr_cr_check_audited_obj(t, pn, o, &vob_of(t, o), a->no_do_list,
                                               a->no_sib_do_dirs, w.cr->target_name, &is_do);
    if (st == KS_ST_NOT_FOUND) {
      remove_obj(t, o);
      continue;
    }
    if (st != KS_ST_OK) return st;
    if (!written) {
      if (is_do) {
        o->flags |= TBS_CR_OBJ_SUB_DO;
        w.subs.push_back(o->oid);
      }
      if (!is_dir(o) && (o->further & BLDR_OBJ_X_MULTI_DTM) && mf_getenv("ZELVANE_DTM_CHECK")) {
        imsg_print(IMSG_WARNING, "Referenced object \"%s\" was modified during execution of the build script\n", -1, pn);
        return interference();
      }
    } else if (is_do) {
      o->flags |= TBS_CR_OBJ_NEW_DO;
      int iexact = 0;
      if (fileutl_patt_list_match(a->incr_repository_sibs, pn, &iexact)) {
        tbs_oid_t tgt;
        st = bldr_utl_obj_view_info(w.cr->target_name, 0, nullptr, nullptr, &tgt, nullptr, nullptr);
        if (st == KS_ST_OK || st == KS_ST_NOT_IN_VOB) {
          if (tbs_oid_eq(&tgt, &o->oid)) {
            if (iexact && trace(1)) {
              imsg_print(IMSG_WARNING, "Target \"%s\" matches \"incremental repository sibling\" list\n", -1, pn);
              imsg_print(IMSG_WARNING_CONT, "Target \"%s\" will not be marked as an incremental repository sibling\n", -1, pn);
            }
          } else {
            o->flags |= TBS_CR_OBJ_INCR_REPO;
          }
        } else if (st == KS_ST_NOT_FOUND) {
          o->flags |= TBS_CR_OBJ_INCR_REPO;
        } else {
          imsg_print(IMSG_ERROR, "Unable to get view information for %s object \"%s\" - %s\n", -1,
                     "audited", w.cr->target_name, tbs_strerror(st));
          return st;
        }
      }
      bldr_vob_do_desc_t *d = bldr_vob_new_do_desc(w.area, &o->oid, pn, 1);
      if (!d) {
        imsg_print_shared(IMSG_ERROR, "bld/bldr_cr", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
        return KS_ST_ERR;
      }
      w.new_dos.push_back(d);
    }
    if (!is_dir(o) || o->flags != BLDR_OBJ_LOOKED_UP) {
      st = bldr_cr_mark_needed_recs(t, o, pn);
      if (st != KS_ST_OK) return st;
    }
    if (inode_check) {
      auto it = t->inodes.find(bldr_cr_inode_key(o->vob_oid, o->objsn));
      if (it == t->inodes.end()) {
        int_error(__LINE__, "Unable to find VESSARY build audit inode information for \"%s\"\n", pn);
        return KS_ST_ERR;
      }
      if (it->second.multi_versions && !no_do) {
        imsg_print(IMSG_ERROR, "Multiple versions of \"%s\" were accessed during build script.\n", -1, pn);
        imsg_print(IMSG_ERROR_CONT, "Interference from another process?\n", -1);
        return KS_ST_ERR;
      }
    }
    if (tbs_oid_is_null(&o->elem_oid) && o->mtype != VOB_MTYPE_SLINK &&
        !(is_dir(o) && o->mtype == VOB_MTYPE_VIEW_PRIVATE)) {
      if (bldr_utl_check_for_checkout(access, bldr_cr_view_server_handle, &o->elem_oid) != KS_ST_OK)
        return KS_ST_ERR;
    }
    uint32_t m = o->mtype;
    if ((o->flags & BLDR_OBJ_PREDEF) && !(o->flags & BLDR_OBJ_READ) && !is_dir(o) &&
        (m == 0 || m == 4 || m == 19 || m == 21 || m == 23 || m > 44)) {
      st = view_mfs_set_audited_obj(access, 1);
      if (st != KS_ST_OK) {
        imsg_print(IMSG_ERROR, "Unable to mark VESSARY object \"%s\" as audited - %s\n", -1, pn, tbs_strerror(st));
        return st;
      }
    }
    if (!(o->flags & BLDR_OBJ_HISTORY)) {
      st = bldr_cr_mark_if_history_mode(t, o, pn);
      if (st != KS_ST_OK) return st;
    }
    if (trace(3)) trace_object(o, pn);
  }
  return KS_ST_OK;
}

// Drops the VOBs no kept object needs and gives the others their final names and indexes.
ks_status_t settle_vobs(Work &w, std::vector<int> *new_index) {
  bldr_cr_audit_table_t *t = w.t;
  if (trace(4)) bldr_cr_trace("Removing VOB descriptors that do not contain significant object accesses...\n");
  new_index->assign(t->vobs.size(), -1);
  std::vector<tbs_cr_vob_t> kept;
  for (size_t v = 0; v < t->vobs.size(); v++) {
    const bldr_cr_audit_vob_t &vob = t->vobs[v];
    auto it = t->vob_index.find(bldr_cr_oid_key(vob.vob_oid));
    if (it == t->vob_index.end()) {
      int_error(__LINE__, "Unable to find audit table info for vob (oid %s)\n", tbs_oid_to_str(&vob.vob_oid));
      return KS_ST_ERR;
    }
    if (!it->second.needed) {
      it->second.removed = 1;
      it->second.name = vob.name;
      if (trace(4))
        bldr_cr_trace("Removing VOB \"%s\" from CR - appeared in audit but no objects referenced\n", vob.name.c_str());
      continue;
    }
    std::string name = std::string(sysutl_myhostname()) + ":" + vob.name;
    if (name.size() >= 1024) {
      imsg_print(IMSG_ERROR, "Unable to get canonical (where) path for VOB \"%s\" - %s\n", -1,
                 vob.name.c_str(), tbs_strerror(KS_ST_NAME_TOO_LONG));
      return KS_ST_ERR;
    }
    (*new_index)[v] = int(kept.size());
    if (trace(4)) bldr_cr_trace("VOB \"%s\" index = %lu\n", name.c_str(), static_cast<unsigned long>(kept.size()));
    kept.push_back({w.s->text(name.c_str()), vob.vob_oid, vob.root_oid});
  }
  w.s->vobs = kept;
  return KS_ST_OK;
}

// Drops what is not significant, numbers the kept objects and collects their link texts.
ks_status_t settle_objects(Work &w, const std::vector<int> &new_index) {
  bldr_cr_audit_table_t *t = w.t;
  if (trace(4)) bldr_cr_trace("Removing object descriptors that are not significant accesses...\n");
  std::vector<bldr_cr_audit_obj_t *> live = t->live;
  w.s->linktexts.clear();
  int64_t index = 0;
  for (auto *o : live) {
    auto it = t->vob_index.find(bldr_cr_oid_key(o->vob_oid));
    if (it == t->vob_index.end()) {
      int_error(__LINE__, "Unable to find audit table info for vob (oid %s)\n", tbs_oid_to_str(&o->vob_oid));
      return KS_ST_ERR;
    }
    bool dir_looked_up = is_dir(o) && o->flags == BLDR_OBJ_LOOKED_UP && !(o->further & BLDR_OBJ_X_SUB_NEEDED);
    if (dir_looked_up || it->second.removed) {
      const std::string &name = !o->leaf.empty() ? o->leaf : it->second.name;
      trace_removal(4, name.c_str(), " - no subordinate objects were referenced\n");
      remove_obj(t, o);
      continue;
    }
    o->running_index = index;
    o->vob_index = uint16_t(new_index[o->vob_index]);
    if ((o->further & BLDR_OBJ_X_LINK_TEXT) || !o->link_text.empty()) {
      if (trace(4)) bldr_cr_trace("Adding CR linktext of object \"%s\" -> %s\n", o->leaf.c_str(), o->link_text.c_str());
      w.s->linktexts.push_back({w.s->text(o->link_text.c_str()), uint32_t(index)});
    }
    index++;
  }
  return KS_ST_OK;
}

// Resolves each makefile-declared dependency to its object of the record.
ks_status_t resolve_explicit_deps(Work &w) {
  bldr_cr_audit_table_t *t = w.t;
  tbs_cr_t *cr = w.cr;
  if (trace(4)) bldr_cr_trace("Checking makefile-declared VOB dependencies...\n");
  auto &deps = w.s->deps;
  for (size_t d = 0; d < deps.size();) {
    tbs_cr_explicit_dep_t &dep = deps[d];
    if (trace(4)) bldr_cr_trace("Checking dependency #%d...\n", int(d));
    dep.obj_index = -1;
    if (!dep.vpath_name || !*dep.vpath_name) {
      if (trace(4)) imsg_print(IMSG_TRACE_CONT, "Has empty vpath_name, skipping.\n", -1);
      d++;
      continue;
    }
    tbs_oid_t ver;
    ks_status_t st = bldr_utl_obj_view_info(dep.vpath_name, 1, nullptr, nullptr, &ver, nullptr, nullptr);
    if (st == KS_ST_OK || st == KS_ST_NOT_IN_VOB) {
      if (trace(1) && bldr_cr_is_deleted_explicit_dep(t->removed, dep.name))
        imsg_print(IMSG_INFO, "The build of \"%s\" overwrote explicit dependency \"%s\".\n", -1, cr->target_name, dep.name);
      PFM_ASSERT(!tbs_oid_eq(&ver, &TBS_OID_NULL));
      if (trace(4)) imsg_print(IMSG_TRACE_CONT, "Exists in the view, looking for it in object list...\n", -1);
      bool seen = false;
      for (const auto *o : t->live) {
        if (!tbs_oid_eq(&o->oid, &ver)) continue;
        seen = true;
        if (o->running_index >= 0) {
          dep.obj_index = int32_t(o->running_index);
          if (trace(4)) imsg_print(IMSG_TRACE_CONT, "Index #%d in object list.\n", -1, int(dep.obj_index));
          break;
        }
      }
      if (dep.obj_index >= 0) {
        d++;
        continue;
      }
      if (!seen) {
        for (const auto *o : t->removed) seen = seen || tbs_oid_eq(&o->oid, &ver);
      }
      if (!seen) {
        char vrel[1024], abs[1024];
        bool other = false;
        if (bldr_utl_cwd_accessible_abs_pn(dep.vpath_name, sizeof abs, abs) == KS_ST_OK &&
            cr_utl_abspname_to_viewrel(abs, vrel, 1, sizeof vrel) == KS_ST_OK) {
          for (const auto &a : t->other_views)
            for (const auto &o : a->objs) other = other || (!o.pathname.empty() && o.pathname == vrel);
        }
        if (other) {
          imsg_print(IMSG_WARNING, "Makefile dependency \"%s\" was accessed through another view therefore it was ignored.\n", -1, dep.name);
          d++;
          continue;
        }
      }
      imsg_print(IMSG_ERROR, "Makefile dependency \"%s\" was modified during rebuild\n", -1, dep.name);
      return interference();
    }
    if (trace(4)) imsg_print(IMSG_TRACE_CONT, "Is missing in view, investigating...\n", -1);
    if (st != KS_ST_NOT_FOUND) {
      imsg_print(IMSG_ERROR, "Unable to get view information for %s object \"%s\" - %s\n", -1, "audited", dep.name, tbs_strerror(st));
      return BLDR_CR_ST_INTERFERENCE;
    }
    if (bldr_cr_is_deleted_explicit_dep(t->removed, dep.name)) {
      if (trace(1))
        imsg_print(IMSG_INFO,
                   "The build of \"%s\" deleted an explicit dependency \"%s\".\nDerived objects created by the build script for \"%s\" will not be reusable.\n",
                   -1, cr->target_name, dep.name, cr->target_name);
      deps.erase(deps.begin() + long(d));
      continue;
    }
    imsg_print(IMSG_ERROR, "Unable to get view information for %s object \"%s\" - %s\n", -1, "audited", dep.name, tbs_strerror(st));
    return interference();
  }
  w.s->install(cr);
  return KS_ST_OK;
}

// The final object list, the declared dependencies' flags.
void settle_predefs(Work &w) {
  tbs_cr_t *cr = w.cr;
  if (trace(4)) bldr_cr_trace("Weeding out false PREDEF flags...\n");
  std::vector<bool> declared(cr->obj_count, false);
  for (uint32_t d = 0; d < cr->explicit_dep_count; d++) {
    int32_t i = cr->explicit_deps[d]->obj_index;
    if (i >= 0 && uint32_t(i) < cr->obj_count) declared[size_t(i)] = true;
  }
  for (uint32_t i = 0; i < cr->obj_count; i++) {
    if ((cr->objs[i]->flags & TBS_CR_OBJ_PREDEF) && !declared[i]) {
      if (trace(4)) imsg_print(IMSG_TRACE_CONT, "Object #%d (\"%s\") is not a true predef.\n", -1, int(i), cr->objs[i]->name);
      cr->objs[i]->flags &= ~uint32_t(TBS_CR_OBJ_PREDEF);
    }
  }
  if (trace(4)) bldr_cr_trace("Setting directory PREDEF flags...\n");
  for (uint32_t d = 0; d < cr->explicit_dep_count; d++) {
    int32_t i = cr->explicit_deps[d]->obj_index;
    if (i < 0 || uint32_t(i) >= cr->obj_count) continue;
    tbs_cr_obj_t *o = cr->objs[i];
    if (!(o->flags & TBS_CR_OBJ_PREDEF)) {
      bldr_cr_note_auto_save_audit_files();
      imsg_print(IMSG_WARNING, "Inconsistent config rec entry for explicit dependency \"%s\".\n", -1, cr->explicit_deps[d]->name);
    }
    if (o->ftype == TBS_CR_FTYPE_DIR) {
      o->flags |= TBS_CR_OBJ_PREDEF | TBS_CR_OBJ_WRITTEN;
      if (trace(4)) imsg_print(IMSG_TRACE_CONT, "Object #%d (\"%s\") is a directory predef.\n", -1, int(i), o->name);
    }
  }
}

void mark_primary(Work &w) {
  tbs_cr_t *cr = w.cr;
  if (trace(4)) bldr_cr_trace("Finding and marking primary dependency in CR...\n");
  const tbs_oid_t &p = w.args->primary_dep_oid;
  if (tbs_oid_is_null(&p)) return;
  for (uint32_t i = 0; i < cr->obj_count; i++) {
    tbs_cr_obj_t *o = cr->objs[i];
    if (o->ftype != TBS_CR_FTYPE_DIR && o->ftype != TBS_CR_FTYPE_SLINK && tbs_oid_eq(&o->oid, &p)) {
      o->flags |= TBS_CR_OBJ_PRIMARY;
      return;
    }
  }
  if (trace(2)) {
    bldr_cr_note_auto_save_audit_files();
    imsg_print(IMSG_WARNING,
               "The makefile for target \"%s\" declared\na primary dependency that was not actually referenced in the target's\nbuild script.  If non-shareable derived objects were built for this\ntarget and later advertised by explicit winkin, make may not actually\nfind and share those advertised DO's.\n",
               -1, cr->target_name);
  }
}

// Writes the derived objects and the record, and adds the record to this process's cache.
ks_status_t store(Work &w) {
  tbs_cr_t *cr = w.cr;
  uint32_t n_new = 0;
  for (uint32_t i = 0; i < cr->obj_count; i++)
    if (cr->objs[i]->flags & TBS_CR_OBJ_NEW_DO) n_new++;
  if (n_new == 0) {
    if (trace(2)) bldr_cr_trace("No derived objects to store\n");
    return KS_ST_OK;
  }
  if (trace(2)) bldr_cr_trace("Storing %u DO(s)\n", unsigned(w.new_dos.size()));
  struct timeval start = {};
  const bool timing = mf_utl_should_trace("bldr_show_times", 2);
  if (timing) gettimeofday(&start, nullptr);
  uint32_t n_hashes = 0;
  const cr_utl_dep_hash_t *hashes = nullptr;
  cr_utl_hash_deps_h_t arr = CR_UTL_HASH_DEPS_H_NULL;
  ks_status_t st = cm_cr_get_dep_hashes(cr, w.area, &n_hashes, &hashes, &arr);
  if (st != KS_ST_OK) return st;
  std::unique_ptr<cr_utl_hash_deps_h_t, void (*)(cr_utl_hash_deps_h_t *)> hold(&arr, cr_utl_destroy_dep_hash_array);
  if (trace(3)) {
    bldr_cr_trace("Checking for shopping hash collisions...\n");
    bool collision = false;
    for (uint32_t i = 0; i < n_hashes && !collision; i++)
      for (uint32_t j = i + 1; j < n_hashes && !collision; j++)
        collision = hashes[i].words[0] == hashes[j].words[0] && hashes[i].words[1] != hashes[j].words[1];
    if (collision)
      imsg_print(IMSG_WARNING, "Detected at least two identical shopping element hashes.\nThe VOB may sometimes skip this DO when the DO is shopped for.\n", -1);
    else
      bldr_cr_trace("No shopping hash collisions detected.\n");
  }
  if (trace(4)) {
    bldr_cr_trace("num_dep_hashes = %d\n", int(n_hashes));
    if (n_hashes)
      bldr_cr_trace("dep_hashes[0] = %lu, %lu\n", static_cast<unsigned long>(hashes[0].words[0]),
                 static_cast<unsigned long>(hashes[0].words[1]));
  }
  int shareable = 2;
  bldr_cr_tgt_builds_shareable_dos(cr->target_name, bldr_cr_view_server_handle, &shareable);
  st = bldr_vob_write_crs_dos(cr, w.nt, shareable == 0, w.new_dos.data(), uint32_t(w.new_dos.size()),
                              w.subs.data(), uint32_t(w.subs.size()), &w.args->primary_dep_oid,
                              w.args->script_hash, hashes, n_hashes, bldr_cr_view_tag_name,
                              bldr_cr_view_server_handle, bldr_utl_cached_ver_oid_to_elem_dbid);
  if (st != KS_ST_OK) return st;
  if (timing) {
    struct timeval end;
    gettimeofday(&end, nullptr);
    float secs = float(end.tv_sec - start.tv_sec) + float(end.tv_usec - start.tv_usec) * 0.000001f;
    bldr_cr_trace("Stored DO(s) in (s): %f\n", double(secs));
  } else if (trace(2)) {
    bldr_cr_trace("Derived object(s) written\n");
  }
  bldr_cr_cache_add(nullptr, cr);
  if (trace(2)) {
    tbs_oid_t tgt;
    ks_status_t ts = bldr_utl_obj_view_info(cr->target_name, 0, nullptr, nullptr, &tgt, nullptr, nullptr);
    if (ts == KS_ST_OK || ts == KS_ST_NOT_IN_VOB || ts == KS_ST_NOT_FOUND) {
      bool built = false, case_only = false;
      std::string target = cr->target_name;
      for (const auto *d : w.new_dos) {
        if (ts != KS_ST_NOT_FOUND && tbs_oid_eq(&d->oid, &tgt)) built = true;
        std::string p = d->pathname;
        if (p.size() >= target.size() &&
            strcasecmp(p.c_str() + p.size() - target.size(), target.c_str()) == 0)
          case_only = true;
      }
      if (!built) {
        imsg_print(IMSG_INFO, "The build script for target \"%s\" did not build a derived object\nof exactly that name.  This is possibly a makefile bug.\n", -1, cr->target_name);
        if (case_only) imsg_print(IMSG_INFO, "(The names appear to differ only in case.)\n", -1);
      }
    } else {
      imsg_print(IMSG_ERROR, "Unable to get view information for %s object \"%s\" - %s\n", -1, "audited",
                 cr->target_name, tbs_strerror(ts));
    }
  }
  return KS_ST_OK;
}

}  // namespace

ks_status_t bldr_cr_process_audit_table(bldr_cr_audit_table_t *table, tbs_cr_t *cr,
                                        const bldr_cr_create_args_t *args) {
  if (!bldr_exec_do_creation_region_handle)
    bldr_exec_do_creation_region_handle = client_meters_create_region("derived_object_creation");
  client_meters_enter_region(bldr_exec_do_creation_region_handle);
  struct Leave {
    ~Leave() { client_meters_require_exit_region(bldr_exec_do_creation_region_handle); }
  } leave;
  if (!table->rec_storage) table->rec_storage = std::make_shared<bldr_cr_rec_storage_t>();
  Work w;
  w.t = table;
  w.cr = cr;
  w.args = args;
  w.s = table->rec_storage.get();
  w.area = stg_create_area(4096);
  bldr_cr_rec_storage_t *s = w.s;
  // The caller's lists become the record's own, so that they can change.
  for (uint32_t i = 0; i < cr->explicit_dep_count; i++) {
    const tbs_cr_explicit_dep_t *d = cr->explicit_deps[i];
    s->deps.push_back({s->text(d->name), s->text(d->vpath_name), -1});
  }
  for (uint32_t i = 0; i < cr->fs_dep_count; i++) {
    tbs_cr_fs_predef_t f = *cr->fs_deps[i];
    f.name = s->text(f.name);
    f.pname = s->text(f.pname);
    s->fs_deps.push_back(f);
  }
  for (uint32_t i = 0; i < cr->str_count; i++) s->strs.push_back(s->text(cr->strs[i]));

  report_other_views(table);
  for (auto *o : std::vector<bldr_cr_audit_obj_t *>(table->live)) {
    if (o->leaf.empty() && !is_root(table, o)) {
      trace_removal(4, tbs_oid_to_str(&o->oid), " - no lookup info\n");
      remove_obj(table, o);
    }
  }
  if (std::none_of(table->live.begin(), table->live.end(), significant)) {
    if (trace(2)) bldr_cr_trace("No derived objects to store\n");
    s->install(cr);
    cr->obj_count = 0;
    return KS_ST_OK;
  }
  for (const auto &v : table->vobs) s->vobs.push_back({s->text(v.name.c_str()), v.vob_oid, v.root_oid});
  fill_from_table(table, s, cr);
  if (trace(3))
    bldr_cr_trace("Begin audit table processing - starting with %lu vessary obj descs\n",
               static_cast<unsigned long>(table->live.size()));
  w.nt = cr_utl_create_nametable(1, args->shared_tables, cr, 0);
  if (w.nt == CR_UTL_NT_HDL_NULL || w.area == STG_AREA_NULL) {
    imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_NO_CR_TABLES);
    return KS_ST_ERR;
  }
  ks_status_t st = judge_objects(w);
  if (st != KS_ST_OK) return st;
  std::vector<int> new_index;
  if ((st = settle_vobs(w, &new_index)) != KS_ST_OK) return st;
  if ((st = settle_objects(w, new_index)) != KS_ST_OK) return st;
  if ((st = resolve_explicit_deps(w)) != KS_ST_OK) return st;
  if (trace(4)) bldr_cr_trace("Computing CR object lists...\n");
  fill_from_table(table, s, cr);
  cr_utl_destroy_nametable(w.nt);
  w.nt = cr_utl_create_nametable(1, args->shared_tables, cr, 0);
  if (w.nt == CR_UTL_NT_HDL_NULL) {
    imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_NO_CR_TABLES);
    return KS_ST_ERR;
  }
  if (cr->obj_count == 0) {
    if (trace(2)) imsg_print(IMSG_INFO, "Final vessary object count is zero - no config rec will be created\n", -1);
    return KS_ST_OK;
  }
  settle_predefs(w);
  if (args->incremental) {
    st = bldr_cr_merge_previous_cr(table, cr, &w.nt, args);
    if (st != KS_ST_OK) return st;
  }
  mark_primary(w);
  if (trace(3)) {
    bldr_cr_trace("Finished audit table processing - ended with %lu vessary obj descs\n",
               static_cast<unsigned long>(cr->obj_count));
    cr_utl_dump_cr(cr, args->shared_tables);
  }
  return store(w);
}

ks_status_t bldr_cr_create_dos_crs(const char *audit_pn, tbs_cr_t *cr,
                                   const bldr_cr_create_args_t *args, int32_t *rbld_can_be_reused) {
  PFM_ASSERT(cr != NULL);
  PFM_ASSERT(rbld_can_be_reused != NULL);
  *rbld_can_be_reused = 0;
  // The record is made as of one moment: names, the registry and the selected versions are read
  // once for all its objects.
  view_xstat_moment_t moment;
  bldr_cr_audit_table_t table;
  table.track_pathnames = args->track_pathnames;
  if (trace(4)) imsg_print(IMSG_TRACE, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_READING_AUDIT, "Initial Directory");
  int fd = open(audit_pn, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    imsg_print_shared(IMSG_ERROR, "bld/bldr_cr", &imsg_common_table, IMSG_COMMON_OPEN_FAILED, audit_pn,
                      imsg_strerror(errno));
    return KS_ST_ERR;
  }
  bldr_cr_child_build_avoidance = 0;
  ks_status_t st = bldr_cr_process_audit_file(fd, &table);
  if (close(fd) != 0)
    imsg_print_shared(IMSG_WARNING, "bld/bldr_cr", &imsg_common_table, IMSG_COMMON_CLOSE_FAILED, audit_pn,
                      imsg_strerror(errno));
  if (st != KS_ST_OK) return st;
  st = bldr_cr_process_audit_table(&table, cr, args);
  if (st != KS_ST_OK) return st;
  bool made = false;
  for (uint32_t i = 0; i < cr->obj_count; i++) made = made || (cr->objs[i]->flags & TBS_CR_OBJ_NEW_DO);
  *rbld_can_be_reused = bldr_cr_child_build_avoidance && !made;
  if (made) bldr_cr_cached_cr_keep(cr);
  return KS_ST_OK;
}
