// The date-stamp decision of the target manager: a target is out of date when it is missing or
// a dependency is newer, as a classic make decides; targets and dependencies are also looked for
// in the search directories.
#include <cstring>
#include <ctime>
#include <string>

#include "bld/bldr_make.h"
#include "bld/bldr_tgt.h"
#include "bld/bldr_utl.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/bldr_opts.h"
#include "mf/mf_stat.h"
#include "mf/mf_tgt_validate.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"

void bldr_tgt_add_inst(bldr_tgt_rec_t *rec, mf_tgt_table_t *table, mf_tgt_entry_t *entry,
                       mf_tgt_inst_handle_t pos, list_handle_t ood);

namespace {

enum {
  MSG_TGT_TOO_LONG = 8,
  MSG_CONCAT_TOO_LONG = 9,
  MSG_TGT_TIME = 10,
  MSG_CANDIDATE = 11,
  MSG_NO_CANDIDATE = 12,
  MSG_NO_DEPS = 13,
  MSG_OUT_OF_DATE = 14,
  MSG_DEP_TIME_FAILED = 15,
  MSG_DEP_TIME = 16,
};

constexpr size_t kPathMax = 1024;
const imsg_msg_table_t *const kTable = &_bldr_tgt_karsel_msg_table;

bool t(int level) { return mf_utl_should_trace("bldr_tgt", level); }

// The time as ctime prints it, without its newline.
std::string time_text(time_t when) {
  char buf[64];
  if (ctime_r(&when, buf) == nullptr) return "?";
  std::string s(buf);
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

ks_status_t get_dtm(const char *pathname, time_t *out) {
  const int follow = bldr_utl_lookup_should_chase_tgt_if_slink(
      pathname, bldr_opts_get_patt_list(mfc_curr_opts_handle, BLDR_OPTS_NO_CONFIG_MATCH_SLINKS));
  return mf_stat_get_dtm(static_cast<mf_stat_handle_t>(mfc_mf_stat_handle), pathname, follow, out);
}

// The search list of a name (destroyed with the object).
struct SearchList {
  list_handle_t list = LIST_HANDLE_NULL;
  ~SearchList() {
    if (list != LIST_HANDLE_NULL) {
      pfm_inhibit();
      list_destroy(list);
      pfm_enable();
    }
  }
};

}  // namespace

int bldr_tgt_dtm_lookup_tgt(bldr_tgt_table_t *h, bldr_tgt_rec_t *rec, mf_tgt_table_t *table,
                            const char *name) {
  const int32_t dialect = bldr_command_handle->dialect;
  SearchList search;
  if (rec->pathname == nullptr || rec->pathname[0] != '/')
    search.list = mf_tgt_search_list(table, rec->pathname ? rec->pathname : name);
  const char *pn = rec->pathname ? rec->pathname : name;
  if (std::strlen(pn) >= kPathMax) {
    imsg_print(IMSG_ERROR, kTable, MSG_TGT_TOO_LONG, pn);
    rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
    return -1;
  }

  // The target's time, as named or in a search directory.
  time_t tgt_time = 0;
  bool missing = false;
  ks_status_t st = get_dtm(pn, &tgt_time);
  if (st == KS_ST_OK) {
    if (t(2)) imsg_print(IMSG_TRACE, kTable, MSG_TGT_TIME, pn, time_text(tgt_time).c_str());
  } else if (st != KS_ST_NOT_FOUND) {
    rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
    return -1;
  } else {
    bool found = false;
    void *d = nullptr;
    if (search.list != LIST_HANDLE_NULL)
      for (list_cursor_t c = list_next(search.list, nullptr, &d); c && !found;
           c = list_next(search.list, c, &d)) {
        char cand[kPathMax];
        const char *dir = static_cast<const char *>(d);
        if (strutl_concat(cand, sizeof cand, {dir, "/", pn}) != KS_ST_OK) {
          imsg_print(IMSG_ERROR, kTable, MSG_CONCAT_TOO_LONG, dir, pn);
          rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
          return -1;
        }
        st = get_dtm(cand, &tgt_time);
        if (st == KS_ST_NOT_FOUND) continue;
        if (st != KS_ST_OK) {
          rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
          return -1;
        }
        found = true;
        if (t(2))
          imsg_print(IMSG_TRACE, kTable, MSG_CANDIDATE, cand, pn, time_text(tgt_time).c_str());
        if (dialect == MF_COMPAT_SUN) {
          if (bldr_tgt_add_vpath_subst(h, name, cand) != KS_ST_OK) {
            rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
            return -1;
          }
        } else if (dialect == MF_COMPAT_PGNU || dialect == MF_COMPAT_GNU) {
          rec->pathname = stg_area_strdup(h->area, cand);
        }
      }
    if (!found) {
      missing = true;
      if (t(rec->has_script ? 1 : 3)) imsg_print(IMSG_INFO, kTable, MSG_NO_CANDIDATE, name);
    }
  }

  mf_tgt_entry_t *entry = mf_tgt_lookup(table, name);
  if (entry == nullptr) {
    imsg_print(IMSG_ERROR, kTable, 0, name);
    PFM_PANIC();
  }
  const bool multiple = mf_tgt_mult_instances_valid(table, entry) != 0;
  if (mf_tgt_next_instance(table, entry, nullptr) == nullptr) {
    imsg_print(IMSG_ERROR, kTable, 1, name);
    PFM_PANIC();
  }
  list_handle_t ignored_dirs =
      bldr_opts_get_patt_list(mfc_curr_opts_handle, BLDR_OPTS_DIRECTORY_IGNORED_FOR_REUSE);
  bool added = false, partial = false;
  for (mf_tgt_inst_handle_t pos = mf_tgt_next_instance(table, entry, nullptr); pos;
       pos = mf_tgt_next_instance(table, entry, pos)) {
    list_handle_t deps = mf_tgt_get_dep_list(table, entry, pos);
    list_handle_t script_deps = mf_tgt_get_script_dep_list(table, entry, pos);
    if (deps == LIST_HANDLE_NULL || list_is_empty(deps)) {
      if (!multiple) {
        if (missing) {
          bldr_tgt_add_inst(rec, table, entry, pos, LIST_HANDLE_NULL);
          added = true;
        }
      } else {
        if (!missing && t(rec->has_script ? 1 : 3)) imsg_print(IMSG_INFO, kTable, MSG_NO_DEPS, name);
        bldr_tgt_add_inst(rec, table, entry, pos, LIST_HANDLE_NULL);
        added = true;
      }
      continue;
    }
    list_handle_t ood = LIST_HANDLE_NULL;
    bool newer = false, whole = false;
    void *d = nullptr;
    for (list_cursor_t c = list_next(deps, nullptr, &d); c; c = list_next(deps, c, &d)) {
      const char *dep = static_cast<const char *>(d);
      if (bldr_utl_lookup_should_ignore_tgt_if_dir(dep, ignored_dirs)) continue;
      if (bldr_utl_tgt_is_gnu_order_only_specifier(dep)) break;
      int dep_is_archive = 0;
      const int m = bldr_tgt_dtm_match(h, table, int64_t(tgt_time), dep, missing, &dep_is_archive);
      if (m < 0) {
        rec->status = BLDR_CM_TGT_ST_LOOKUP_PENDING;
        return -1;
      }
      if (m == 0) continue;
      newer = true;
      if (!missing && t(rec->has_script ? 1 : 3))
        imsg_print(IMSG_INFO, kTable, MSG_OUT_OF_DATE, name, dep);
      if (dep_is_archive) {
        whole = true;
        break;
      }
      if (ood == LIST_HANDLE_NULL) ood = list_create(h->area, 0);
      list_append(ood, const_cast<char *>(dep));
    }
    if (whole) {
      bldr_tgt_add_inst(rec, table, entry, pos, script_deps);
      added = true;
      continue;
    }
    if (missing || newer) {
      bldr_tgt_add_inst(rec, table, entry, pos, ood);
      added = true;
      // An instance rebuilt for only some of its dependencies makes the target a mismatch; the
      // decision weighs every instance that runs, not only the last one examined.
      const size_t n_ood = ood ? list_length(ood) : 0;
      const size_t n_script = script_deps ? list_length(script_deps) : 0;
      if (n_ood != n_script) partial = true;
    }
  }
  if (!added) {
    rec->status = BLDR_CM_TGT_ST_REUSED;
    return 0;
  }
  rec->status = partial ? BLDR_CM_TGT_ST_DEP_MISMATCH : BLDR_CM_TGT_ST_CANT_REUSE;
  return rec->status;
}

int bldr_tgt_dtm_match(bldr_tgt_table_t *h, mf_tgt_table_t *table, int64_t tgt_time,
                       const char *dep, int tgt_missing, int *dep_is_archive) {
  const int32_t dialect = bldr_command_handle->dialect;
  bldr_tgt_rec_t *drec = bldr_tgt_get_tgt_handle(h, dep);
  *dep_is_archive = 0;
  const char *pn = dep;
  if (drec != nullptr) {
    *dep_is_archive = drec->is_archive;
    if (drec->status != BLDR_CM_TGT_ST_REUSED && drec->status != BLDR_CM_TGT_ST_WINKED_IN)
      return 1;
    if (drec->pathname) pn = drec->pathname;
  }
  time_t dep_time = 0;
  std::string shown = pn;
  ks_status_t st = get_dtm(pn, &dep_time);
  if (st != KS_ST_OK && st != KS_ST_NOT_FOUND) {
    imsg_print(IMSG_ERROR, kTable, MSG_DEP_TIME_FAILED, pn);
    return -1;
  }
  if (st == KS_ST_NOT_FOUND) {
    bool found = false;
    SearchList search;
    if (pn[0] != '/') search.list = mf_tgt_search_list(table, pn);
    void *d = nullptr;
    if (search.list != LIST_HANDLE_NULL)
      for (list_cursor_t c = list_next(search.list, nullptr, &d); c && !found;
           c = list_next(search.list, c, &d)) {
        char cand[kPathMax];
        // A candidate longer than a pathname may be cannot exist: it is passed over.
        if (strutl_concat(cand, sizeof cand, {static_cast<const char *>(d), "/", pn}) != KS_ST_OK)
          continue;
        st = get_dtm(cand, &dep_time);
        if (st == KS_ST_NOT_FOUND) continue;
        if (st != KS_ST_OK) {
          imsg_print(IMSG_ERROR, kTable, MSG_DEP_TIME_FAILED, cand);
          return -1;
        }
        found = true;
        shown = cand;
        if (dialect == MF_COMPAT_SUN && bldr_tgt_add_vpath_subst(h, dep, cand) != KS_ST_OK) return -1;
      }
    if (!found) {
      if (drec != nullptr && (drec->status == BLDR_CM_TGT_ST_WINKED_IN ||
                              (drec->status == BLDR_CM_TGT_ST_REUSED &&
                               !bldr_tgt_has_non_empty_script(drec))))
        return 1;
      imsg_print(IMSG_ERROR, kTable, BLDR_TGT_MSG_DONT_KNOW, dep);
      return -1;
    }
  }
  if (tgt_missing) return 1;
  if (t(2)) imsg_print(IMSG_TRACE, kTable, MSG_DEP_TIME, shown.c_str(), time_text(dep_time).c_str());
  return int64_t(dep_time) > tgt_time ? 1 : 0;
}
