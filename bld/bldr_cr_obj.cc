// The judgement of each audited object of a rebuild.
#include "bld/bldr_cr_obj.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "bld/bldr_cr.h"
#include "bld/bldr_utl.h"
#include "ks/fileutl.h"
#include "ks/imsg.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_cr.h"
#include "tbs/tbs_status.h"
#include "view/view_info.h"
#include "view/view_xstat.h"
#include "vob/vob_mtype.h"

namespace {

bool trace(int level) { return bldr_cr_traced(level); }

bool is_dir(const bldr_cr_audit_obj_t *o) { return o->ftype == TBS_CR_FTYPE_DIR; }

// Written: written or created, and not a directory that is also a declared dependency.
bool counts_as_written(const bldr_cr_audit_obj_t *o) {
  if (!(o->flags & (BLDR_OBJ_WRITTEN | BLDR_OBJ_CREATED))) return false;
  return !(is_dir(o) && (o->flags & BLDR_OBJ_PREDEF) && (o->flags & BLDR_OBJ_WRITTEN));
}

bool do_mtype(uint32_t m) { return VOB_MTYPE_IS_DO(m) || m == VOB_MTYPE_VIEW_PRIVATE_FILE; }

// The nearest ancestor of obj that is its VOB's root or a versioned directory, and obj's name
// relative to it. False when the parent chain breaks off.
bool find_ancestor(bldr_cr_audit_table_t *table, const char *pathname, bldr_cr_audit_obj_t *obj,
                   const bldr_cr_audit_vob_t *vob, tbs_oid_t *ancestor, std::string *name) {
  std::string dir = pathname, leaf;
  auto split = [](std::string *d, std::string *l) {
    size_t slash = d->rfind('/');
    if (slash == std::string::npos) {
      *l = *d;
      *d = ".";
    } else {
      *l = d->substr(slash + 1);
      d->resize(slash);
    }
  };
  split(&dir, &leaf);
  *name = leaf;
  const bldr_cr_audit_obj_t *cur = obj;
  for (size_t guard = 0; guard <= table->store.size(); guard++) {
    const tbs_oid_t &parent = cur->parent_oid;
    if (tbs_oid_is_null(&parent)) return false;
    if (tbs_oid_eq(&parent, &vob->root_oid)) {
      *ancestor = parent;
      return true;
    }
    auto it = table->obj_index.find(bldr_cr_oid_key(parent));
    if (it == table->obj_index.end()) return false;
    std::string dir_leaf;
    split(&dir, &dir_leaf);
    const bldr_cr_audit_obj_t *found = nullptr;
    for (const auto *r : it->second)
      if (!(r->further & BLDR_OBJ_X_UNLINKED) && r->leaf == dir_leaf) {
        found = r;
        break;
      }
    if (!found) return false;
    if (found->mtype == VOB_MTYPE_DIR_VERSION) {
      *ancestor = parent;
      return true;
    }
    *name = dir_leaf + "/" + *name;
    cur = found;
  }
  return false;
}

void auto_save() { bldr_cr_note_auto_save_audit_files(); }

}  // namespace

ks_status_t bldr_cr_vrel_accessible_pn(const char *vrel, size_t size, char *buf) {
  if (bldr_cr_view_tag_name[0] == '\0') return bldr_utl_cwd_accessible_abs_pn(vrel, size, buf);
  return view_viewrel_to_view_ext(bldr_cr_view_tag_name, vrel, buf, size);
}

int bldr_cr_requested_no_sib_do_contained_in(const char *obj_abs_pn, const char *dir_patt,
                                             int obj_seps) {
  PFM_ASSERT(obj_abs_pn != NULL);
  PFM_ASSERT(dir_patt != NULL);
  PFM_ASSERT(obj_seps > 0);
  if (trace(4))
    bldr_cr_trace("Testing %s against .NO_SIBLING_DO_CONTAINED_IN: %s\n", obj_abs_pn,
               dir_patt);
  char patt[1024];
  if (strutl_cpy_buf(patt, sizeof patt, dir_patt) != KS_ST_OK) return 0;
  size_t n = std::strlen(patt);
  if (n > 0 && patt[n - 1] == '/') patt[--n] = '\0';
  const char *p = patt[0] == '/' ? patt + 1 : patt;
  int comps = 1;
  for (const char *q = p; *q; q++)
    if (*q == '/') comps++;
  int windows = obj_seps - comps;
  if (windows <= 0) return 0;
  const char *pct = std::strchr(p, '%');
  std::string prefix = pct ? std::string(p, size_t(pct - p)) : "";
  std::string suffix = pct ? std::string(pct + 1) : "";
  const char *start = std::strchr(obj_abs_pn, '/');
  if (!start) return 0;
  start++;
  for (int w = 0; w < windows && start; w++) {
    // The window: comps components from start.
    const char *end = start;
    for (int c = 0; c < comps && end; c++) {
      const char *slash = std::strchr(end, '/');
      end = slash ? (c + 1 < comps ? slash + 1 : slash) : nullptr;
    }
    if (!end) return 0;
    std::string window(start, size_t(end - start));
    bool match;
    if (!pct) {
      match = fileutl_pname_equal(window.c_str(), p);
    } else {
      // The text around the "%" must not overlap (a "%" stands for at least nothing between).
      match = window.size() >= prefix.size() + suffix.size() &&
              window.compare(0, prefix.size(), prefix) == 0 &&
              fileutl_pname_equal(window.c_str() + window.size() - suffix.size(), suffix.c_str());
    }
    if (match) return 1;
    const char *next = std::strchr(start, '/');
    start = next ? next + 1 : nullptr;
  }
  return 0;
}

int bldr_cr_requested_no_do(const char *obj_abs_pn, list_handle_t no_do_list,
                            list_handle_t no_sib_do_dirs, int *exact_match_p,
                            int *match_contained_in_p) {
  PFM_ASSERT(obj_abs_pn != NULL);
  PFM_ASSERT(exact_match_p != NULL);
  PFM_ASSERT(match_contained_in_p != NULL);
  *match_contained_in_p = 0;
  if (trace(4)) bldr_cr_trace("Testing %s against .NO_DO_FOR_SIBLING\n", obj_abs_pn);
  int exact = 0;
  if (fileutl_patt_list_match(no_do_list, obj_abs_pn, &exact)) {
    *exact_match_p = exact;
    return 1;
  }
  *exact_match_p = 0;
  if (no_sib_do_dirs == LIST_HANDLE_NULL) return 0;
  int seps = 0;
  for (const char *q = obj_abs_pn; *q; q++)
    if (*q == '/') seps++;
  if (seps < 1) seps = 1;
  void *d = nullptr;
  for (list_cursor_t c = list_next(no_sib_do_dirs, nullptr, &d); c; c = list_next(no_sib_do_dirs, c, &d)) {
    if (d && bldr_cr_requested_no_sib_do_contained_in(obj_abs_pn, static_cast<const char *>(d), seps)) {
      *match_contained_in_p = 1;
      return 1;
    }
  }
  return 0;
}

ks_status_t bldr_cr_check_audited_obj(bldr_cr_audit_table_t *table, const char *pathname,
                                      bldr_cr_audit_obj_t *obj, const bldr_cr_audit_vob_t *vob,
                                      list_handle_t no_do_list, list_handle_t no_sib_do_dirs,
                                      const char *target_name, int *is_do) {
  *is_do = 0;
  int no_do = 0, exact = 0, contained = 0;
  if (!is_dir(obj)) no_do = bldr_cr_requested_no_do(pathname, no_do_list, no_sib_do_dirs, &exact, &contained);
  const bool written = counts_as_written(obj);
  const char *how = written ? "written" : "referenced";
  char access[1024];
  const char *use = pathname;
  if (bldr_cr_vrel_accessible_pn(pathname, sizeof access, access) == KS_ST_OK) use = access;
  if (obj->leaf.compare(0, 8, ".vessary") == 0) {
    ks_status_t st = mf_utl_obj_exists(use);
    if (st != KS_ST_OK) return st;
  }

  // A derived object below view-private directories hangs from its nearest versioned ancestor.
  if (do_mtype(obj->mtype)) {
    tbs_oid_t ancestor;
    std::string name;
    if (!find_ancestor(table, pathname, obj, vob, &ancestor, &name)) {
      imsg_print(IMSG_ERROR, "Unable to find ancestor directory of audited object \"%s\"\n", -1, pathname);
      return KS_ST_ERR;
    }
    if (!tbs_oid_eq(&ancestor, &obj->parent_oid)) {
      if (name.size() >= 1024) {
        imsg_print_shared(IMSG_ERROR, "bld/bldr_cr", &imsg_common_table, IMSG_COMMON_BUF_TOO_SMALL);
        return KS_ST_ERR;
      }
      if (trace(3))
        bldr_cr_trace("Converting DO \"%s\" to DO %s in junk dir %s\n", pathname,
                   tbs_oid_to_str(&ancestor), name.c_str());
      if (!(obj->flags & BLDR_OBJ_HISTORY)) bldr_cr_mark_if_history_mode(table, obj, pathname);
      obj->parent_oid = ancestor;
      obj->leaf = name;
    }
  }

  if (!written) {
    if (VOB_MTYPE_IS_DO(obj->mtype)) {
      if (trace(4)) bldr_cr_trace("Referenced object \"%s\" is a sub-derived-object\n", pathname);
      *is_do = 1;
    } else if (trace(3) && (obj->mtype == VOB_MTYPE_CHECKEDOUT || obj->mtype == VOB_MTYPE_VIEW_PRIVATE_FILE)) {
      bldr_cr_trace("Referenced (ABO) object \"%s\" is not a VOB derived object\n", pathname);
    }
    return KS_ST_OK;
  }

  if (trace(4)) bldr_cr_trace("Examining written object \"%s\"...\n", pathname);
  if (obj->ftype != TBS_CR_FTYPE_FILE) {
    if (trace(4)) bldr_cr_trace("Skipping file of ftype %d...\n", int(obj->ftype));
    return KS_ST_OK;
  }
  if (obj->mtype != VOB_MTYPE_VIEW_PRIVATE_FILE) {
    if (trace(4)) {
      bldr_cr_trace("The audit-recorded meta-type of the object is %d\n", int(obj->mtype));
      bldr_cr_trace("Checking current meta-type according to the view...\n");
      bldr_cr_trace("Forming view-extended path to do so...\n");
      if (use == pathname) bldr_cr_trace("Failed to form view-extended path; using original...\n");
      bldr_cr_trace("Using view-extended path \"%s\"...\n", use);
    }
    view_oids_t o;
    ks_status_t st = view_get_oids(use, 0, 0, 0, &o);
    if (st != KS_ST_OK) {
      if (trace(4)) {
        bldr_cr_trace("Failed to discern meta-type in view.\n");
        bldr_cr_trace("The audit-records flags of the object are %d.\n", int(obj->flags));
      }
      imsg_print(IMSG_ERROR, "Unable to get view information for %s object \"%s\" - %s\n", -1,
                 "written", use, tbs_strerror(st));
      return KS_ST_ERR;
    }
    if (o.mtype != VOB_MTYPE_VIEW_PRIVATE_FILE) return obj->mtype == VOB_MTYPE_VIEW_PRIVATE ? KS_ST_ERR : KS_ST_OK;
    obj->mtype = VOB_MTYPE_VIEW_PRIVATE_FILE;
  }
  // The view's modification time of a view-private file is the file's own.
  struct stat sb;
  if (fileutl_stat(use, 0, &sb) != 0) {
    ks_status_t st = tbs_errno2status(errno);
    auto_save();
    imsg_print(IMSG_ERROR, "Unable to get modification time for %s object \"%s\" - %s\n", -1, how,
               pathname, tbs_strerror(st));
    imsg_print(IMSG_ERROR_CONT, "Interference from another process?\n", -1);
    return KS_ST_ERR;
  }
  obj->mtime = int64_t(sb.st_mtime);
  ks_status_t st = KS_ST_OK;

  if (no_do) {
    tbs_oid_t tgt_ver;
    st = bldr_utl_obj_view_info(target_name, 0, nullptr, nullptr, &tgt_ver, nullptr, nullptr);
    if (st != KS_ST_OK && st != KS_ST_NOT_FOUND && st != KS_ST_NOT_IN_VOB) {
      imsg_print(IMSG_ERROR, "Unable to get view information for %s object \"%s\" - %s\n", -1,
                 "audited", target_name, tbs_strerror(st));
      return st;
    }
    if (st == KS_ST_NOT_FOUND || !tbs_oid_eq(&tgt_ver, &obj->oid)) {
      obj->flags |= TBS_CR_OBJ_NON_CRITICAL;
      return KS_ST_OK;
    }
    // The target itself: its derived object is made whatever the lists say.
    if (trace(1)) {
      auto_save();
      if (exact)
        imsg_print(IMSG_WARNING, "Target \"%s\" matches \"no DO\" list\n", -1, target_name);
      else if (contained)
        imsg_print(IMSG_WARNING, "Target \"%s\" matches \".NO_SIBLING_DO_CONTAINED_IN\" list\n", -1, target_name);
      if (exact || contained)
        imsg_print(IMSG_WARNING_CONT, "DO creation will not be skipped for \"%s\"\n", -1, target_name);
    }
  }

  if (obj->flags & BLDR_OBJ_CREATED) {
    if (trace(1)) imsg_print(IMSG_INFO, "Will store derived object \"%s\"\n", -1, pathname);
    *is_do = 1;
    return KS_ST_OK;
  }
  auto_save();
  imsg_print(IMSG_WARNING, "Existing object \"%s\" rewritten during rebuild;\n", -1, pathname);
  if (!(obj->further & BLDR_OBJ_X_TRUNCATED)) imsg_print(IMSG_WARNING_CONT, "not truncated to zero;\n", -1);
  imsg_print(IMSG_WARNING_CONT, "cannot make new derived object for \"%s\"\n", -1, pathname);
  imsg_print(IMSG_WARNING_CONT, "\"%s\" should be deleted and rebuilt\n", -1, pathname);
  return KS_ST_OK;
}
