// The merge of an incremental target's new record with its previous record, and the object of a
// record at its target name.
#include <strings.h>

#include <cstring>
#include <string>
#include <vector>

#include "bld/bldr_cr.h"
#include "bld/bldr_cr_cache.h"
#include "bld/bldr_cr_create.h"
#include "bld/bldr_utl.h"
#include "cm/cm_cr.h"
#include "ks/imsg.h"
#include "tbs/tbs_status.h"
#include "view/view_xstat.h"
#include "vob/vob_mtype.h"

namespace {

bool trace(int level) { return bldr_cr_traced(level); }

void int_error(int line, const char *fmt, const char *arg) {
  bldr_cr_report_int_error("bldr_cr_merge", line);
  imsg_print(IMSG_ERROR_CONT, fmt, -1, arg);
}

const char *leaf_of(const char *name) {
  const char *slash = std::strrchr(name, '/');
  return slash ? slash + 1 : name;
}

// An object of the previous record as the merge works on it (the record itself is not changed:
// it may be this process's cached copy).
struct Prev {
  tbs_oid_t oid;
  tbs_oid_t parent;
  uint32_t flags;  // TBS_CR_OBJ_MERGE_TAKEN, TBS_CR_OBJ_MERGE_MATCHED
};

bool same_vob(const tbs_cr_t *a, uint16_t ai, const tbs_cr_t *b, uint16_t bi) {
  return ai < a->vob_count && bi < b->vob_count && tbs_oid_eq(&a->vobs[ai].vob_oid, &b->vobs[bi].vob_oid);
}

// The audited object of the record's object at index.
bldr_cr_audit_obj_t *audited(bldr_cr_audit_table_t *t, long index) {
  for (auto *o : t->live)
    if (o->running_index == index) return o;
  return nullptr;
}

}  // namespace

long bldr_cr_find_mfs_obj_at_target_name(const tbs_cr_t *cr) {
  char abs[1024];
  if (!cr->target_name || bldr_utl_cwd_accessible_abs_pn(cr->target_name, sizeof abs, abs) != KS_ST_OK)
    return -1;
  std::string dir = abs, rest;
  size_t slash = dir.rfind('/');
  if (slash == std::string::npos) return -1;
  rest = dir.substr(slash + 1);
  std::string leaf = rest;
  dir.resize(slash);
  tbs_oid_t dir_oid = TBS_OID_NULL;
  for (;;) {
    view_oids_t o;
    if (!dir.empty() && view_get_oids(dir.c_str(), 1, 0, 0, &o) == KS_ST_OK &&
        o.mtype == VOB_MTYPE_DIR_VERSION) {
      dir_oid = o.obj_oid;
      break;
    }
    slash = dir.rfind('/');
    if (slash == std::string::npos || dir.empty()) return -1;
    rest = dir.substr(slash + 1) + "/" + rest;
    dir.resize(slash);
  }
  std::vector<std::string> comps;
  for (size_t p = 0; p <= rest.size();) {
    size_t q = rest.find('/', p);
    if (q == std::string::npos) q = rest.size();
    comps.push_back(rest.substr(p, q - p));
    p = q + 1;
  }
  for (uint32_t i = 0; i < cr->obj_count; i++) {
    const tbs_cr_obj_t *o = cr->objs[i];
    if (tbs_oid_eq(&o->parent_oid, &dir_oid) &&
        (rest == o->name || strcasecmp(leaf_of(o->name), leaf.c_str()) == 0))
      return long(i);
  }
  // Deeper down: a leaf match whose parents, named by the rest of the path, lead to the directory.
  for (uint32_t i = 0; i < cr->obj_count; i++) {
    const tbs_cr_obj_t *o = cr->objs[i];
    if (strcasecmp(o->name, leaf.c_str()) != 0) continue;
    tbs_oid_t parent = o->parent_oid;
    bool ok = true;
    for (size_t c = comps.size() - 1; c-- > 0 && ok;) {
      ok = false;
      for (uint32_t j = 0; j < i; j++) {
        const tbs_cr_obj_t *p = cr->objs[j];
        if (tbs_oid_eq(&p->oid, &parent) && comps[c] == p->name) {
          parent = p->parent_oid;
          ok = true;
          break;
        }
      }
    }
    if (ok && tbs_oid_eq(&parent, &dir_oid)) return long(i);
  }
  return -1;
}

ks_status_t bldr_cr_merge_previous_cr(bldr_cr_audit_table_t *table, tbs_cr_t *cr,
                                      cr_utl_nt_hdl_t *nt, const bldr_cr_create_args_t *args) {
  bldr_cr_rec_storage_t *s = table->rec_storage.get();
  const uint32_t start_objs = cr->obj_count, start_vobs = cr->vob_count;
  if (trace(4)) bldr_cr_trace("Target declared incremental, checking...\n");
  long at = bldr_cr_find_mfs_obj_at_target_name(cr);
  bldr_cr_audit_obj_t *target = at >= 0 ? audited(table, at) : nullptr;
  if (!target) {
    if (trace(3)) bldr_cr_trace("Found no actual file at the specified name, punting...\n");
    return KS_ST_OK;
  }
  if (trace(3)) bldr_cr_trace("Final target OID: %s (%s)\n", tbs_oid_to_str(&target->oid), target->leaf.c_str());
  bldr_cr_audit_obj_t *occupant = target;
  for (size_t guard = 0; occupant->replaced_rec && guard <= table->store.size(); guard++)
    occupant = occupant->replaced_rec;
  if (trace(3))
    bldr_cr_trace("Target name's original occupant OID: %s (%s)\n", tbs_oid_to_str(&occupant->oid),
               occupant->leaf.c_str());
  const tbs_oid_t target_oid = target->oid;
  const uint32_t target_mark = TBS_CR_OBJ_TARGET | (occupant != target ? TBS_CR_OBJ_TARGET_RENAMED : 0);

  tbs_cr_t prev{};
  bool prev_from_vob = false;
  vob_handle_t vobh = VOB_HANDLE_NULL;
  ks_status_t status = KS_ST_OK;
  bool have_prev = false;
  if (!args->merge_permitted) {
    if (trace(3)) bldr_cr_trace("Caller does not grant permission for CR merge...\n");
  } else {
    if (trace(3)) {
      bldr_cr_trace("Caller grants permission for CR merge...\n");
      bool read = false;
      for (auto *list : {&table->live, &table->removed})
        for (auto *o : *list)
          if ((o->flags & BLDR_OBJ_READ) && tbs_oid_eq(&o->oid, &occupant->oid)) read = true;
      if (read) {
        bldr_cr_trace(occupant == target ? "Read/Overwrite of target (%s-%s) OBJSN:%x.%x\n"
                                         : "Read/Overwrite via rename of (%s-%s) OBJSN:%x.%x\n",
                      tbs_oid_to_str(&target->parent_oid), target->leaf.c_str(), target->objsn[0],
                      target->objsn[1]);
        bldr_cr_trace("Target was read during the audit...\n");
      } else {
        bldr_cr_trace("Target was not read during the audit...\n");
      }
      bldr_cr_trace("Attempting to merge CRs...\n");
    }
    const bldr_cr_audit_obj_t *first = occupant;
    for (size_t guard = 0; first->earlier_oid_rec && guard <= table->store.size(); guard++)
      first = first->earlier_oid_rec;
    if (bldr_cr_cache_fetch(nullptr, &first->oid, &prev)) {
      have_prev = true;
    } else {
      if (trace(3)) bldr_cr_trace("Failed to find previous CR in cache...\n");
      status = vob_ob_vob_oid_to_vobh(&first->vob_oid, &vobh);
      if (status == KS_ST_OK) status = cm_cr_get_cr(vobh, &first->oid, 1, 1, nullptr, &prev);
      if (status == KS_ST_OK) {
        have_prev = prev_from_vob = true;
      } else if (status == KS_ST_NOT_FOUND) {
        if (trace(3)) bldr_cr_trace("No CR for previous DO in VOB or view - %s\n", tbs_oid_to_str(&first->oid));
        status = KS_ST_OK;
      } else {
        status = KS_ST_ERR;
      }
    }
  }

  if (have_prev) {
    for (uint32_t i = 0; i < prev.str_count; i++) s->strs.push_back(s->text(prev.strs[i]));
    std::vector<Prev> p(prev.obj_count);
    for (uint32_t i = 0; i < prev.obj_count; i++)
      p[i] = {prev.objs[i]->oid, prev.objs[i]->parent_oid, 0};
    for (uint32_t i = 0; i < prev.obj_count && status == KS_ST_OK; i++) {
      const tbs_cr_obj_t *po = prev.objs[i];
      const tbs_cr_obj_t *n = nullptr;
      for (uint32_t j = 0; j < start_objs && !n; j++) {
        const tbs_cr_obj_t *c = cr->objs[j];
        if (tbs_oid_eq(&c->parent_oid, &p[i].parent) && std::strcmp(c->name, po->name) == 0 &&
            same_vob(&prev, po->vob_index, cr, c->vob_index))
          n = c;
      }
      if (n) {
        if (!tbs_oid_eq(&n->oid, &p[i].oid) && po->ftype == TBS_CR_FTYPE_DIR && n->ftype == TBS_CR_FTYPE_DIR &&
            tbs_oid_eq(&po->elem_oid, &n->elem_oid)) {
          if (trace(3)) bldr_cr_trace("CR merge - Different version of dir \n\t\t(%s-%s) \n", tbs_oid_to_str(&n->oid), n->name);
          for (uint32_t k = i + 1; k < prev.obj_count; k++)
            if (tbs_oid_eq(&p[k].parent, &p[i].oid)) p[k].parent = n->oid;
          p[i].oid = n->oid;
        } else if (!tbs_oid_eq(&n->oid, &p[i].oid) && trace(3)) {
          bldr_cr_trace("CR merge - Different object in new build\n\t\t(%s-%s) \n", tbs_oid_to_str(&n->oid), n->name);
        }
        p[i].flags |= TBS_CR_OBJ_MERGE_MATCHED;
        continue;
      }
      if (trace(3)) bldr_cr_trace("CR merge - missing in new build\n\t\t(%s-%s) \n", tbs_oid_to_str(&p[i].oid), po->name);
      if ((po->flags & (TBS_CR_OBJ_WRITTEN | TBS_CR_OBJ_CREATED)) || po->ftype == TBS_CR_FTYPE_DIR) continue;
      p[i].flags |= TBS_CR_OBJ_MERGE_TAKEN;
      // Its directories up to one the new record has, or to the VOB's root.
      tbs_oid_t cur = p[i].parent;
      for (long j = long(i) - 1;; j--) {
        if (tbs_oid_is_null(&cur)) break;
        bool root = false;
        for (uint32_t v = 0; v < prev.vob_count; v++) root = root || tbs_oid_eq(&prev.vobs[v].root_oid, &cur);
        if (j < 0) {
          if (root) break;
          int_error(__LINE__, "Unable to find ancestor directory of audited object \"%s\"\n", tbs_oid_to_str(&cur));
          status = KS_ST_ERR;
          break;
        }
        if (!tbs_oid_eq(&p[size_t(j)].oid, &cur)) continue;
        if (p[size_t(j)].flags & (TBS_CR_OBJ_MERGE_TAKEN | TBS_CR_OBJ_MERGE_MATCHED)) break;
        p[size_t(j)].flags |= TBS_CR_OBJ_MERGE_TAKEN;
        cur = p[size_t(j)].parent;
      }
    }
    // The objects taken over, in the previous record's order.
    uint32_t taken = 0;
    std::vector<long> new_of(prev.obj_count, -1);
    for (uint32_t i = 0; i < prev.obj_count && status == KS_ST_OK; i++) {
      if (!(p[i].flags & TBS_CR_OBJ_MERGE_TAKEN)) continue;
      const tbs_cr_obj_t *po = prev.objs[i];
      tbs_cr_obj_t e = *po;
      e.oid = p[i].oid;
      e.parent_oid = p[i].parent;
      e.flags = (po->flags & ~uint32_t(TBS_CR_OBJ_MERGE_MATCHED)) | TBS_CR_OBJ_MERGE_TAKEN;
      e.name = s->text(po->name);
      if (!tbs_oid_is_null(&e.parent_oid)) {
        long v = -1;
        for (uint32_t k = 0; k < s->vobs.size() && v < 0; k++)
          if (po->vob_index < prev.vob_count && tbs_oid_eq(&s->vobs[k].vob_oid, &prev.vobs[po->vob_index].vob_oid))
            v = long(k);
        if (v < 0) {
          int_error(__LINE__, "Unable to find vob desc table info for vob (oid %s)\n",
                    tbs_oid_to_str(po->vob_index < prev.vob_count ? &prev.vobs[po->vob_index].vob_oid : &TBS_OID_NULL));
          status = KS_ST_ERR;
          break;
        }
        e.vob_index = uint16_t(v);
      } else {
        const tbs_cr_vob_t &pv = prev.vobs[po->vob_index];
        s->vobs.push_back({s->text(pv.name), pv.vob_oid, pv.root_oid});
        e.vob_index = uint16_t(s->vobs.size() - 1);
      }
      uint32_t index = uint32_t(s->objs.size());
      if (po->ftype == TBS_CR_FTYPE_SLINK && po->mtype != VOB_MTYPE_SLINK) {
        const tbs_cr_linktext_t *lt = nullptr;
        for (uint32_t k = 0; k < prev.linktext_count && !lt; k++)
          if (prev.linktexts[k].obj_index == i) lt = &prev.linktexts[k];
        if (!lt) {
          int_error(__LINE__, "Unable to find slinktext info for object (oid %s)\n", tbs_oid_to_str(&po->oid));
          status = KS_ST_ERR;
          break;
        }
        s->linktexts.push_back({s->text(lt->text), index});
      }
      s->objs.push_back(e);
      new_of[i] = long(index);
      taken++;
    }
    if (status == KS_ST_OK) {
      s->install(cr);
      if (trace(3)) bldr_cr_trace("CR merge: %d new objects added from previous CR\n", int(taken));
      // Every dependency of the previous record that the new build did not declare again.
      for (uint32_t d = 0; d < prev.explicit_dep_count && status == KS_ST_OK; d++) {
        const tbs_cr_explicit_dep_t *pd = prev.explicit_deps[d];
        if (pd->obj_index < 0 || uint32_t(pd->obj_index) >= prev.obj_count) continue;
        if (!(p[size_t(pd->obj_index)].flags & TBS_CR_OBJ_MERGE_TAKEN)) continue;
        const tbs_cr_obj_t *po = prev.objs[pd->obj_index];
        bool declared = false;
        for (uint32_t k = 0; k < cr->explicit_dep_count && !declared; k++) {
          int32_t ni = cr->explicit_deps[k]->obj_index;
          if (ni < 0 || uint32_t(ni) >= cr->obj_count) continue;
          const tbs_cr_obj_t *no = cr->objs[ni];
          declared = tbs_oid_eq(&no->parent_oid, &po->parent_oid) && std::strcmp(no->name, po->name) == 0 &&
                     same_vob(cr, no->vob_index, &prev, po->vob_index);
        }
        if (declared) continue;
        long ni = new_of[size_t(pd->obj_index)];
        if (ni < 0) {
          int_error(__LINE__, "Unable to find merged mfs_obj (oid %s)\n", tbs_oid_to_str(&po->oid));
          continue;
        }
        s->deps.push_back({s->text(pd->name), s->text(pd->vpath_name), int32_t(ni)});
      }
      for (uint32_t d = 0; d < prev.fs_dep_count; d++) {
        const tbs_cr_fs_predef_t *pf = prev.fs_deps[d];
        bool have = false;
        for (const auto &f : s->fs_deps) have = have || std::strcmp(f.pname ? f.pname : "", pf->pname ? pf->pname : "") == 0;
        if (have) continue;
        tbs_cr_fs_predef_t f = *pf;
        f.name = s->text(pf->name);
        f.pname = s->text(pf->pname);
        s->fs_deps.push_back(f);
      }
      s->install(cr);
    }
  }

  for (uint32_t i = 0; i < cr->obj_count; i++)
    if (tbs_oid_eq(&cr->objs[i]->oid, &target_oid)) cr->objs[i]->flags |= target_mark;
  if (prev_from_vob) cm_cr_free_cr(vobh, &prev);
  if (status != KS_ST_OK) return KS_ST_ERR;
  if (cr->obj_count > start_objs || cr->vob_count > start_vobs) {
    cr_utl_destroy_nametable(*nt);
    *nt = cr_utl_create_nametable(1, args->shared_tables, cr, 0);
    if (*nt == CR_UTL_NT_HDL_NULL) {
      imsg_print(IMSG_ERROR, &_bldr_cr_karsel_msg_table, BLDR_CR_MSG_NO_CR_TABLES);
      return KS_ST_ERR;
    }
  }
  return KS_ST_OK;
}
