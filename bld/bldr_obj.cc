// Derived-object matching: the version table and the comparisons of a candidate's configuration
// record with what the view designates now.
#include "bld/bldr_obj.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "bld/bldr_cr_obj.h"
#include "bld/bldr_obj_int.h"
#include "bld/bldr_utl.h"
#include "cm/cm_do.h"
#include "cm/cr_utl_nt.h"
#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "mf/mf.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"
#include "view/view_winkin.h"
#include "view/view_xstat.h"
#include "vob/vob_mtype.h"
#include "vob/vob_ob.h"

namespace {

using namespace bldr_obj_int;

const char kModule[] = "bld/bldr_obj";

const char *const obj_formats[] = {
    /* 0 */ "Cannot reuse \"%s\" - version mismatch for \"%s\"\n",
    /* 1 */ "Candidate used %s but currently requesting %s\n",
    /* 2 */ "Cannot reuse \"%s\" - used \"%s\" but no such object in current View\n",
    /* 3 */ "Unable to create symbolic link \"%s\" for winkin - %s\n",
    /* 4 */ "Cannot reuse \"%s\" - Vessary dependency \"%s\" no longer corresponds to an Vessary object\n",
    /* 5 */ "Version cache MISS for \"%s\"\n",
    /* 6 */ "Error computing pathname of dependency from config record\n",
    /* 7 */ "Leaf name was \"%s\"\n",
    /* 8 */ "Unable to obtain file handle for directory \"%s\" - %s\n",
    /* 9 */ "Unable to obtain link text for \"%s\" - %s\n",
    /* 10 */ "Cannot reuse \"%s\"\n",
    /* 11 */ "Config record associated with derived object from earlier revision of Zelvane was missing symbolic link text record for referenced object \"%s\"\n",
    /* 12 */ "Cannot wink in \"%s\" - sibling derived object \"%s\" is marked as an incremental repository\n",
    /* 13 */ "Target \"%s\" matches \"sibling ignored\" list\n",
    /* 14 */ "Will not ignore non-sibling \"%s\"\n",
    /* 15 */ "Target \"%s\" matches \"incremental repository sibling\" list\n",
    /* 16 */ "Non-sibling \"%s\" will not disable winkins\n",
    /* 17 */ "Derived object for target \"%s\" does not match resolved target path \"%s\"\n",
    /* 18 */ "Cannot reuse \"%s\" - mismatch between config record flag and makefile directive for \"%s\"\n",
    /* 19 */ "Unable to contact VOB for derived object \"%s\" - %s\n",
    /* 20 */ "Unable to get information about derived object \"%s\" - %s\n",
    /* 21 */ "Cannot reuse \"%s\" - no file system data exists for sibling derived object \"%s\"\n",
    /* 22 */ "Unable to determine access rights for derived object \"%s\" - %s\n",
    /* 23 */ "Insufficient access rights to derived object \"%s\"\n",
    /* 24 */ "Version 0 of \"%s\" now selected by view; considering predecessor versions\n",
    /* 25 */ "Found matching predecessor \"%s%s%lu\"\n",
    /* 26 */ "Cannot reuse \"%s\" - sibling derived object \"%s\" is not valid in view.\n",
    /* 27 */ "Cannot reuse \"%s\" - non-Vessary dependency \"%s\" now corresponds to an Vessary object\n",
    /* 28 */ "Old file size: %llu, new file size: %llu\n",
    /* 29 */ "Old CRC: %lu, new CRC: %lu\n",
    /* 30 */ "Found correct version of makefile dependency \"%s\" in detected dependency list for target candidate \"%s\"\n",
    /* 31 */ "Candidate did not use current version of Makefile dependency \"%s\"\n",
    /* 32 */ "Using promoted derived object in VOB for \"%s\"\n",
    /* 33 */ "Unable to promote derived object \"%s\"\n",
    /* 34 */ "Wink in derived object \"%s\"\n",
    /* 35 */ "Unable to wink in derived object \"%s\"\n",
    /* 36 */ "View wink in operation failed - %s\n",
    /* 37 */ "Unable to invalidate cache entry for name \"%s\" in directory \"%s\" - %s\n",
    /* 38 */ "Create symbolic link \"%s\"\n",
    /* 39 */ "Would wink in derived object \"%s\"\n",
    /* 40 */ "Would create symbolic link \"%s\"\n",
    /* 41 */ "Wink in succeeded.\n",
    /* 42 */ "Unable to determine object ID for DO-containing directory \"%s\" - %s\n",
    /* 43 */ "Unable to determine object ID for directory \"%s\" containing link \"%s\" - %s\n",
    /* 44 */ "Unable to determine object ID for parent directory \"%s\" - %s\n",
    /* 45 */ "Unable to get information about derived object \"%s\" - %s: %s\n",
};
constexpr uint16_t kRows = sizeof obj_formats / sizeof obj_formats[0];
const uint16_t obj_catalog[kRows] = {};

}  // namespace

const imsg_msg_table_t _bldr_obj_karsel_msg_table = {
    "karsel_bin", kModule, 432, kRows, obj_formats, obj_catalog,
};

namespace {

using namespace bldr_obj_int;

// Fills e for pathname (following a final symbolic link or not). 0, or KS_ST_ERR.
ks_status_t fill(const char *pathname, int follow, stg_area_t area, bldr_obj_vt_info_t *e) {
  bldr_obj_vt_info_t *link = e->link;
  const char *last = e->last_hashing_tgt;
  std::memset(e, 0, sizeof *e);
  e->link = link;
  e->last_hashing_tgt = last;
  view_xstat_t xs{};
  ks_status_t st = bldr_utl_obj_cache_info(pathname, mfc_mf_stat_handle, follow, &xs, nullptr,
                                           nullptr, nullptr, nullptr, nullptr);
  if (st == KS_ST_NOT_FOUND) {
    e->state = BLDR_OBJ_VT_FILLED | BLDR_OBJ_VT_NO_OBJECT;
    return KS_ST_OK;
  }
  if (st == KS_ST_NOT_IN_VOB) {
    e->state = BLDR_OBJ_VT_FILLED | BLDR_OBJ_VT_NON_VESSARY;
    e->ftype = uint8_t(xs.fstat.type);
    e->size = xs.fstat.size;
    e->mtime = xs.fstat.mtime.sec;
    return KS_ST_OK;
  }
  if (st != KS_ST_OK) return KS_ST_ERR;
  e->state = BLDR_OBJ_VT_FILLED;
  e->type = xs.fstat.type;
  e->klass = xs.mtype;
  e->ver_oid = xs.obj_oid;
  e->elem_oid = xs.elem_oid;
  if (e->type == VIEW_FTYPE_LNK && private_class(e->klass)) {
    char text[1024];
    size_t len = 0;
    if (view_readlink(VIEW_HANDLE_NULL, pathname, sizeof text, &len, text) != KS_ST_OK) {
      imsg_print(IMSG_ERROR, &_bldr_obj_karsel_msg_table, MSG_NO_LINK_TEXT, pathname,
                 imsg_strerror(errno));
      return KS_ST_ERR;
    }
    e->link_text = static_cast<char *>(stg_alloc(area, len + 1));
    if (e->link_text == nullptr) {
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
      return KS_ST_ERR;
    }
    std::memcpy(e->link_text, text, len + 1);
  }
  return KS_ST_OK;
}

bool is_link(const bldr_obj_vt_info_t *e) {
  return (e->state == BLDR_OBJ_VT_FILLED && e->type == VIEW_FTYPE_LNK) ||
         (e->state == (BLDR_OBJ_VT_FILLED | BLDR_OBJ_VT_NON_VESSARY) && e->ftype == VIEW_FTYPE_LNK);
}

}  // namespace

hash_ht_t bldr_obj_vertab_create() {
  return hash_str_create(512, sizeof(bldr_obj_vt_info_t), 1);
}

void bldr_obj_vertab_flush(hash_ht_t vertab) {
  void *data = nullptr;
  pfm_inhibit();
  for (hash_cursor_t c = hash_str_next(vertab, nullptr, nullptr, &data); c;
       c = hash_str_next(vertab, c, nullptr, &data))
    std::memset(data, 0, sizeof(bldr_obj_vt_info_t));
  pfm_enable();
}

ks_status_t bldr_obj_vertab_get_info(hash_ht_t vertab, const char *pathname, int follow,
                                     stg_area_t area, const bldr_cm_view_info_t *,
                                     bldr_obj_vt_info_t **out) {
  void *data = nullptr;
  if (hash_str_enter(vertab, pathname, nullptr, &data) < 0) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  auto *e = static_cast<bldr_obj_vt_info_t *>(data);
  if (!(e->state & BLDR_OBJ_VT_FILLED)) {
    if (level(4)) imsg_print(IMSG_TRACE, &_bldr_obj_karsel_msg_table, MSG_VT_MISS, pathname);
    ks_status_t st = fill(pathname, 0, area, e);
    if (st != KS_ST_OK) {
      e->state = 0;
      return st;
    }
    if (e->link) e->link->state = 0;
  }
  if (is_link(e) && (e->link == nullptr || !(e->link->state & BLDR_OBJ_VT_FILLED))) {
    if (e->link == nullptr) {
      e->link = static_cast<bldr_obj_vt_info_t *>(stg_calloc(area, sizeof(bldr_obj_vt_info_t)));
      if (e->link == nullptr) {
        imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
        e->state = 0;
        return KS_ST_ERR;
      }
    }
    ks_status_t st = fill(pathname, 1, area, e->link);
    if (st != KS_ST_OK) {
      e->state = 0;
      return st;
    }
  }
  *out = follow && is_link(e) ? e->link : e;
  return KS_ST_OK;
}

void bldr_obj_trace_dep_hash(const char *tgt, const char *prev_tgt, const char *leaf,
                             const char *kind, const char *hashes_name,
                             cr_utl_hash_deps_h_t hashes) {
  PFM_ASSERT(tgt != NULL);
  PFM_ASSERT(leaf != NULL);
  PFM_ASSERT(kind != NULL);
  PFM_ASSERT(hashes_name != NULL);
  PFM_ASSERT(hashes != CR_UTL_HASH_DEPS_H_NULL);
  if (!level(4)) return;
  imsg_print(IMSG_TRACE, "Hashed %s from tgt %s\n", -1, kind, tgt);
  if (prev_tgt) imsg_print(IMSG_TRACE, "(Previous tgt in cache was %s)\n", -1, prev_tgt);
  imsg_print(IMSG_TRACE, "Adding %s named %s to %s hashes, which now are:\n", -1, kind, leaf,
             hashes_name);
  cr_utl_dump_dep_hash_array(hashes);
}

namespace {

bool dir_ignored_reuse();

// One derived-object match over a record.
struct Matcher {
  const bldr_obj_match_args_t *a;
  const tbs_cr_t *cr;
  bool loud;
  int result = BLDR_OBJ_MATCH;
  bool cand_found = false;
  uint32_t link_at = 0;  // the link-text record after the last one found
  char pn[1024] = {};
  char rel[1024] = {};

  void say(int row, const char *x, const char *y = nullptr) const {
    if (loud) imsg_print(IMSG_INFO, &_bldr_obj_karsel_msg_table, row, x, y);
  }
  void cannot_reuse(int severity) const {
    if (loud) imsg_print(severity, &_bldr_cm_karsel_msg_table, BLDR_CM_MSG_CANNOT_REUSE, a->tgt);
  }
  // The handle of o's VOB, looked up once per VOB of the record.
  uint32_t vob_index = UINT32_MAX;
  ks_status_t vob_status = KS_ST_NOT_FOUND;
  vob_handle_t vob = VOB_HANDLE_NULL;
  ks_status_t vob_of(const tbs_cr_obj_t *o, vob_handle_t *vobh) {
    if (o->vob_index >= cr->vob_count) return KS_ST_NOT_FOUND;
    if (o->vob_index != vob_index) {
      vob = VOB_HANDLE_NULL;
      vob_status = vob_ob_vob_oid_to_vobh(&cr->vobs[o->vob_index].vob_oid, &vob);
      vob_index = o->vob_index;
    }
    *vobh = vob;
    return vob_status;
  }
  bool is_candidate(const tbs_cr_obj_t *o) const {
    return a->obj_oid && tbs_oid_eq(&o->oid, a->obj_oid);
  }

  // Feeds the dependency hashes with the object o (index i), which matched or not.
  void feed(const tbs_cr_obj_t *o, bldr_obj_vt_info_t *e, const char *leaf, bool matched,
            vob_handle_t vobh) {
    const bool sub_do = (o->flags & TBS_CR_OBJ_SUB_DO) && o->mtype != VOB_MTYPE_DO_VERSION;
    const bool has_elem = !tbs_oid_is_null(&e->elem_oid);
    auto once = [&](const char *kind, bool do_hash, cr_utl_hash_deps_h_t arr, const char *name) {
      if (e->last_hashing_tgt == a->tgt) return;
      if (do_hash) cr_utl_add_do_dep_hash(arr, vobh, leaf, &o->oid);
      else cr_utl_add_dep_hash(arr, vobh, leaf, &e->elem_oid, &o->oid);
      bldr_obj_trace_dep_hash(a->tgt, e->last_hashing_tgt, leaf, kind, name, arr);
      e->last_hashing_tgt = a->tgt;
    };
    if (a->tgt_hashes == CR_UTL_HASH_DEPS_H_NULL) return;
    if (matched) {
      if (sub_do) once("match DO", true, a->tgt_hashes, "dep");
      else if (has_elem) once("match version", false, a->tgt_hashes, "dep");
      return;
    }
    if (sub_do) {
      once("mismatch DO", true, a->tgt_hashes, "dep");
    } else if (!has_elem) {
      once("mismatch version", false, a->tgt_hashes, "dep");
      if (a->sess_hashes != CR_UTL_HASH_DEPS_H_NULL) {
        cr_utl_add_dep_hash(a->sess_hashes, vobh, leaf, &e->elem_oid, &o->oid);
        bldr_obj_trace_dep_hash(a->tgt, nullptr, leaf, "mismatch version", "tmaker", a->sess_hashes);
      }
    }
  }

  // Whether a predecessor of the version selected now (version 0 of its branch) is the recorded
  // one.
  bool branch0_matches(const tbs_cr_obj_t *o, const bldr_obj_vt_info_t *e) {
    if (tbs_oid_is_null(&e->elem_oid) || std::getenv("ORVA_BRANCH0_REUSE") != nullptr ||
        mf_getenv("ORVA_BRANCH0_REUSE") != nullptr)
      return false;
    vob_handle_t vobh = VOB_HANDLE_NULL;
    if (vob_of(o, &vobh) != KS_ST_OK) return false;
    uint32_t ver = 0;
    uint64_t num = 1;
    if (vob_obj_oid_to_dbid(vobh, &e->ver_oid, &ver) != KS_ST_OK ||
        vob_ver_get_ver_num(vobh, ver, &num) != KS_ST_OK || num != 0)
      return false;
    if (level(2)) imsg_print(IMSG_INFO, &_bldr_obj_karsel_msg_table, MSG_VERSION0, rel);
    for (int guard = 0; guard < 1000; guard++) {
      uint32_t branch = 0, pred = 0;
      tbs_oid_t pred_oid;
      if (vob_ver_get_branch(vobh, ver, &branch) != KS_ST_OK ||
          vob_branch_get_pred_ver(vobh, branch, &pred) != KS_ST_OK || pred == 0 ||
          vob_obj_get_oid(vobh, pred, &pred_oid) != KS_ST_OK ||
          vob_ver_get_ver_num(vobh, pred, &num) != KS_ST_OK)
        return false;
      if (tbs_oid_eq(&pred_oid, &o->oid)) {
        char bname[1024];
        if (vob_branch_get_pname(vobh, branch, sizeof bname, bname) != KS_ST_OK)
          std::strcpy(bname, "<unknown branch>");
        if (level(2))
          imsg_print(IMSG_INFO, &_bldr_obj_karsel_msg_table, MSG_PREDECESSOR, bname, "/",
                     static_cast<unsigned long>(num));
        return true;
      }
      if (num != 0) return false;
      ver = pred;
    }
    return false;
  }

  // A sibling's data must still exist (with read access for a shared candidate). True when it
  // does; false after the reason.
  bool sibling_has_data(const tbs_cr_obj_t *o, bool check_access) {
    vob_handle_t vobh = VOB_HANDLE_NULL;
    ks_status_t st = vob_of(o, &vobh);
    if (st != KS_ST_OK) {
      if (loud) {
        imsg_print(IMSG_WARNING, &_bldr_obj_karsel_msg_table, MSG_NO_VOB, rel, tbs_strerror(st));
        imsg_print(IMSG_WARNING_CONT, &_bldr_cm_karsel_msg_table, BLDR_CM_MSG_CANNOT_REUSE, a->tgt);
      }
      return false;
    }
    int has_data = 0;
    view_fstat_t fs{};
    st = vob_do_oid_get_fstat_if_data(vobh, &o->oid, &has_data, &fs);
    if (st != KS_ST_OK) {
      if (loud) {
        if (st == KS_ST_NOT_FOUND)
          imsg_print(IMSG_INFO, &_bldr_obj_karsel_msg_table, MSG_DO_INFO, a->tgt, tbs_strerror(st));
        else
          imsg_print(IMSG_INFO, &_bldr_obj_karsel_msg_table, MSG_DO_INFO_CALL, rel,
                     "vob_do_oid_get_fstat_if_data", tbs_strerror(st));
        cannot_reuse(IMSG_INFO_CONT);
      }
      return false;
    }
    if (!has_data) {
      say(MSG_NO_SIB_DATA, a->tgt, rel);
      return false;
    }
    if (!check_access) return true;
    int access = 0, error = 0;
    if (tbs_access_fstat(&fs, 4, &access, &error) != KS_ST_OK) {
      if (loud) {
        imsg_print(IMSG_WARNING, &_bldr_obj_karsel_msg_table, MSG_NO_ACCESS_INFO, rel,
                   imsg_strerror(error));
        imsg_print(IMSG_WARNING_CONT, &_bldr_cm_karsel_msg_table, BLDR_CM_MSG_CANNOT_REUSE, a->tgt);
      }
      return false;
    }
    if (!access) {
      say(MSG_NO_ACCESS, rel);
      cannot_reuse(IMSG_WARNING_CONT);
      return false;
    }
    return true;
  }

  // The sibling rules for o (flag 0x020). 0: go on with the next object; 1: the candidate cannot
  // be used.
  int sibling(const tbs_cr_obj_t *o) {
    const lists_t &l = *a->lists;
    const bool self = is_candidate(o);
    int exact = 0;
    const bool repo_listed = fileutl_patt_list_match(l.incremental_repository_sibling, pn, &exact) != 0;
    if (bool(o->flags & TBS_CR_OBJ_INCR_REPO) != repo_listed && !self) {
      say(MSG_FLAG_DIRECTIVE, a->tgt, rel);
      return 1;
    }
    if (self && bool(o->flags & TBS_CR_OBJ_TARGET) != (a->incremental != 0)) {
      say(MSG_FLAG_DIRECTIVE, a->tgt, rel);
      return 1;
    }
    if (!a->is_previous) {
      if (o->flags & TBS_CR_OBJ_INCR_REPO) {
        say(MSG_INCR_REPO, a->tgt, rel);
        return 1;
      }
      if (repo_listed) {
        if (!self) {
          say(MSG_INCR_REPO, a->tgt, rel);
          return 1;
        }
        if (exact && level(1)) {
          imsg_print(IMSG_WARNING, &_bldr_obj_karsel_msg_table, MSG_REPO_LIST, rel);
          imsg_print(IMSG_WARNING_CONT, &_bldr_obj_karsel_msg_table, MSG_REPO_NON_SIB, rel);
        }
      }
      return sibling_has_data(o, true) ? 0 : 1;
    }
    if (self) return 0;
    if (!a->sibs_affect_reuse && !(o->flags & TBS_CR_OBJ_PREDEF)) return 0;
    if (fileutl_patt_list_match(l.sibling_ignored, pn)) return 0;
    view_xstat_t xs{};
    ks_status_t st = bldr_utl_obj_cache_info(rel, mfc_mf_stat_handle, 0, &xs, nullptr, nullptr,
                                             nullptr, nullptr, nullptr);
    if (st == KS_ST_OK && tbs_oid_eq(&xs.obj_oid, &o->oid)) return 0;
    if (st == KS_ST_OK && !a->shopping_allowed) {
      say(MSG_SIB_NOT_VALID, a->tgt, rel);
      return 1;
    }
    return sibling_has_data(o, false) ? 0 : 1;
  }

  int run() {
    for (uint32_t i = 0; i < cr->obj_count; i++) {
      const tbs_cr_obj_t *o = cr->objs[i];
      if (cr_utl_get_pn(a->nt, cr, i, sizeof pn, pn) == nullptr) {
        imsg_print(IMSG_ERROR, &_bldr_obj_karsel_msg_table, MSG_PN_ERROR);
        imsg_print(IMSG_ERROR_CONT, &_bldr_obj_karsel_msg_table, MSG_LEAF_WAS, o->name);
        return -1;
      }
      if (!cand_found && a->cand_pn && (o->flags & TBS_CR_OBJ_NEW_DO) && std::strcmp(pn, a->cand_pn) == 0)
        cand_found = true;
      if (!selected(o)) continue;
      if (fileutl_make_rel_pn(rel, sizeof rel, pn, a->vi->viewrel_wd ? a->vi->viewrel_wd : "/") != KS_ST_OK)
        std::strcpy(rel, pn);
      if (level(3))
        imsg_print(IMSG_TRACE, "File abs path \"%s\" translated to relative path \"%s\"\n", -1, pn, rel);
      if (o->flags & (TBS_CR_OBJ_NEW_DO | TBS_CR_OBJ_CREATED)) {
        int exact = 0, contained = 0;
        const bool no_do = bldr_cr_requested_no_do(pn, a->lists->no_do_for_sibling,
                                                   a->lists->no_sibling_do_contained_in, &exact,
                                                   &contained) != 0;
        if (no_do != bool(o->flags & TBS_CR_OBJ_NON_CRITICAL) && !is_candidate(o)) {
          say(MSG_FLAG_DIRECTIVE, a->tgt, rel);
          return BLDR_OBJ_CANT_REUSE;
        }
      }
      if (o->flags & TBS_CR_OBJ_NON_CRITICAL) continue;
      if (a->non_critical != HASH_HT_NULL && hash_str_lookup(a->non_critical, rel, nullptr, nullptr))
        continue;
      if (o->flags & TBS_CR_OBJ_NEW_DO) {
        if (sibling(o) != 0) return BLDR_OBJ_CANT_REUSE;
        continue;
      }
      if (a->skip_dependencies) continue;
      if (a->is_previous && !(o->flags & TBS_CR_OBJ_PREDEF) &&
          fileutl_patt_list_match(a->lists->dependency_ignored, pn))
        continue;
      int r = compare(i, o);
      if (r != BLDR_OBJ_MATCH && r != BLDR_OBJ_MISMATCH) return r;
      if (r == BLDR_OBJ_MISMATCH) {
        if (a->mismatch_ht == HASH_HT_NULL) return result_of_mismatch;
        result = BLDR_OBJ_MISMATCH;
      }
    }
    if (a->cand_pn && !cand_found) {
      if (loud) {
        imsg_print(IMSG_INFO, &_bldr_obj_karsel_msg_table, MSG_TARGET_PATH,
                   cr->target_name ? cr->target_name : "", a->cand_pn);
        imsg_print(IMSG_INFO_CONT, &_bldr_cm_karsel_msg_table, BLDR_CM_MSG_CANNOT_REUSE, a->tgt);
      }
      return BLDR_OBJ_CANT_REUSE;
    }
    return result;
  }

  int result_of_mismatch = BLDR_OBJ_MISMATCH;

  // Whether o's kind is compared at all.
  bool selected(const tbs_cr_obj_t *o) {
    if (o->ftype == TBS_CR_FTYPE_DIR) {
      if (fileutl_patt_list_match(a->lists->directory_affects, pn)) return true;
      if (dir_ignored_reuse()) return false;
      if ((o->flags & (TBS_CR_OBJ_PREDEF | TBS_CR_OBJ_WRITTEN)) != (TBS_CR_OBJ_PREDEF | TBS_CR_OBJ_WRITTEN))
        return false;
      if (fileutl_patt_list_match(a->lists->directory_ignored, pn)) return false;
      if (a->cand_pn && *a->cand_pn && std::strncmp(a->cand_pn, pn, std::strlen(pn)) == 0) return false;
      return true;
    }
    if (o->ftype == TBS_CR_FTYPE_SLINK)
      return !(cr->linktext_count > 0 && private_class(o->mtype) && (o->flags & TBS_CR_OBJ_CREATED));
    return o->ftype == TBS_CR_FTYPE_FILE;
  }

  // The link text of object index i in the record, searching on from the last one found; null
  // when the record has none for it.
  const char *recorded_link_text(uint32_t i) {
    for (uint32_t n = 0; n < cr->linktext_count; n++) {
      uint32_t at = (link_at + n) % cr->linktext_count;
      if (cr->linktexts[at].obj_index == i) {
        link_at = at + 1;
        return cr->linktexts[at].text;
      }
    }
    return nullptr;
  }

  // Compares the versioned object o (index i) with the view now: BLDR_OBJ_MATCH, BLDR_OBJ_MISMATCH
  // (result_of_mismatch tells 2 or 3), BLDR_OBJ_CANT_REUSE or -1.
  int compare(uint32_t i, const tbs_cr_obj_t *o) {
    bldr_obj_vt_info_t *e = nullptr;
    if (bldr_obj_vertab_get_info(a->vertab, rel, 0, a->area, a->vi, &e) != KS_ST_OK) return -1;
    if (e->state & BLDR_OBJ_VT_NO_OBJECT) {
      say(MSG_NO_SUCH_OBJECT, a->tgt, rel);
      return BLDR_OBJ_CANT_REUSE;
    }
    if (e->state & BLDR_OBJ_VT_NON_VESSARY) {
      say(MSG_NO_LONGER_VESSARY, a->tgt, rel);
      return BLDR_OBJ_CANT_REUSE;
    }
    vob_handle_t vobh = VOB_HANDLE_NULL;
    ks_status_t st = vob_of(o, &vobh);
    if (st != KS_ST_OK)
      imsg_print(IMSG_WARNING, &_bldr_obj_karsel_msg_table, MSG_NO_VOB, pn, tbs_strerror(st));
    const char *slash = std::strrchr(o->name, '/');
    const char *leaf = slash ? slash + 1 : o->name;
    bool matched = tbs_oid_eq(&o->oid, &e->ver_oid);
    if (!matched && o->ftype == TBS_CR_FTYPE_SLINK && cr->linktext_count > 0 &&
        private_class(o->mtype) && e->link_text != nullptr) {
      const char *text = recorded_link_text(i);
      if (text == nullptr) {
        if (loud) {
          imsg_print(IMSG_INFO, &_bldr_obj_karsel_msg_table, MSG_CANNOT_REUSE, a->tgt);
          imsg_print(IMSG_INFO_CONT, &_bldr_obj_karsel_msg_table, MSG_NO_LINK_RECORD, rel);
        }
        return -1;
      }
      matched = std::strcmp(text, e->link_text) == 0;
    }
    if (!matched && a->is_previous) matched = branch0_matches(o, e);
    if (matched) {
      if ((o->ftype == TBS_CR_FTYPE_FILE || o->ftype == TBS_CR_FTYPE_SLINK) &&
          (o->flags & (TBS_CR_OBJ_PREDEF | TBS_CR_OBJ_DETECTED)) && !(o->flags & TBS_CR_OBJ_NEW_DO))
        feed(o, e, leaf, true, vobh);
      return BLDR_OBJ_MATCH;
    }
    if (result != BLDR_OBJ_MISMATCH) {
      say(MSG_VERSION_MISMATCH, a->tgt, rel);
      if (level(4)) {
        char was[TBS_OID_STR_SIZE], now[TBS_OID_STR_SIZE];
        imsg_print(IMSG_TRACE_CONT, &_bldr_obj_karsel_msg_table, MSG_USED_BUT, tbs_oid_to_dstr(&o->oid, was),
                   tbs_oid_to_dstr(&e->ver_oid, now));
      }
    }
    if (a->mismatch_ht != HASH_HT_NULL) {
      char now[TBS_OID_STR_SIZE];
      hash_str_enter(a->mismatch_ht, tbs_oid_to_dstr(&e->ver_oid, now), nullptr, nullptr);
    }
    feed(o, e, leaf, false, vobh);
    int flag = 0;
    bldr_utl_is_private_to_view(e->klass, e->type, &flag);
    result_of_mismatch = a->mismatch_ht == HASH_HT_NULL && flag ? BLDR_OBJ_CHECKEDOUT : BLDR_OBJ_MISMATCH;
    return BLDR_OBJ_MISMATCH;
  }

  using lists_t = bldr_obj_lists_t;
};

// Whether ORVA_DIR_IGNORED_REUSE is set (read once, at the first directory met).
bool dir_ignored_reuse() {
  static int value = -1;
  if (value < 0) value = mf_getenv("ORVA_DIR_IGNORED_REUSE") != nullptr;
  return value != 0;
}

}  // namespace

int bldr_obj_match(const bldr_obj_match_args_t *a, const tbs_cr_t *cr) {
  PFM_ASSERT(!(a->is_previous && a->incremental) || a->mismatch_ht != HASH_HT_NULL);
  Matcher m{a, cr, loud_gate(a->is_previous)};
  return m.run();
}

int bldr_obj_non_mfs_match(const char *tgt, stg_area_t area, uint32_t count,
                           tbs_cr_fs_predef_t *const *deps, int64_t build_start, hash_ht_t vertab,
                           int is_previous, const bldr_cm_view_info_t *vi, int compute_mismatch,
                           hash_ht_t mismatch_ht) {
  PFM_ASSERT(!compute_mismatch || mismatch_ht != HASH_HT_NULL);
  const bool loud = loud_gate(is_previous);
  int result = BLDR_OBJ_MATCH;
  for (uint32_t i = 0; i < count; i++) {
    const tbs_cr_fs_predef_t *d = deps[i];
    if (d->flags & 0x100) continue;
    const char *path = d->pname && *d->pname ? d->pname : d->name;
    bldr_obj_vt_info_t *e = nullptr;
    if (bldr_obj_vertab_get_info(vertab, path, 1, area, vi, &e) != KS_ST_OK) return -1;
    if (e->state & BLDR_OBJ_VT_NO_OBJECT) {
      if (loud) imsg_print(IMSG_INFO, &_bldr_obj_karsel_msg_table, MSG_NO_SUCH_OBJECT, tgt, d->name);
      return BLDR_OBJ_CANT_REUSE;
    }
    if (!(e->state & BLDR_OBJ_VT_NON_VESSARY)) {
      if (loud) imsg_print(IMSG_INFO, &_bldr_obj_karsel_msg_table, MSG_NOW_VESSARY, tgt, d->name);
      return BLDR_OBJ_CANT_REUSE;
    }
    auto mismatch = [&](int row, unsigned long long was, unsigned long long now) {
      if (result != BLDR_OBJ_MISMATCH && loud) {
        imsg_print(IMSG_INFO, &_bldr_obj_karsel_msg_table, MSG_VERSION_MISMATCH, tgt, d->name);
        if (level(2)) {
          if (row == MSG_OLD_SIZE)
            imsg_print(IMSG_INFO, &_bldr_obj_karsel_msg_table, row, was, now);
          else
            imsg_print(IMSG_INFO_CONT, &_bldr_obj_karsel_msg_table, row, static_cast<unsigned long>(was),
                       static_cast<unsigned long>(now));
        }
      }
      result = BLDR_OBJ_MISMATCH;
      if (compute_mismatch) hash_str_enter(mismatch_ht, d->name, nullptr, nullptr);
    };
    if (e->size != d->size) {
      mismatch(MSG_OLD_SIZE, d->size, e->size);
      if (compute_mismatch) continue;
      return result;
    }
    // A time recorded before the build started tells that the file is as it was; one of the
    // second the build started in or later may hide a change made within that second.
    if (e->mtime == d->mtime && d->mtime < build_start) continue;
    if (e->crc == 0) {
      bldr_cr_fs_dep_t probe{};
      probe.name = d->name;
      probe.pathname = path;
      uint32_t crc = 0;
      if (bldr_utl_get_crc(&probe, &crc) != KS_ST_OK) return -1;
      e->crc = crc == 0 ? 0xffffffffu : crc;
    }
    if (e->crc == d->crc) continue;
    mismatch(MSG_OLD_CRC, d->crc, e->crc);
    if (!compute_mismatch) return result;
  }
  return result;
}

int bldr_obj_fwd_match_mfs_dep(const char *tgt, stg_area_t area, const char *pathname,
                               hash_ht_t vertab, int is_previous, const tbs_cr_t *cr,
                               const bldr_cm_view_info_t *vi) {
  bldr_obj_vt_info_t *e = nullptr;
  if (bldr_obj_vertab_get_info(vertab, pathname, 1, area, vi, &e) != KS_ST_OK) return -1;
  if (e->state & BLDR_OBJ_VT_NO_OBJECT) {
    imsg_print(IMSG_ERROR, &_bldr_cm_karsel_msg_table, BLDR_CM_MSG_DONT_KNOW, pathname);
    return -1;
  }
  if (cr_utl_find_objdesc(cr, &e->ver_oid) != nullptr) {
    if (level(is_previous ? 2 : 3))
      imsg_print(IMSG_INFO, &_bldr_obj_karsel_msg_table, MSG_FWD_FOUND, pathname, tgt);
    return 0;
  }
  if (loud_gate(is_previous)) {
    imsg_print(IMSG_INFO, &_bldr_cm_karsel_msg_table, BLDR_CM_MSG_CANNOT_REUSE, tgt);
    imsg_print(IMSG_INFO_CONT, &_bldr_obj_karsel_msg_table, MSG_FWD_NOT_CURRENT, pathname);
  }
  return 1;
}
