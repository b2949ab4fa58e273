// Configuration match: whether one candidate derived object's record stands for a target in the
// build that would run now, with the reason printed when it does not; an accepted candidate is
// promoted, winked in and its record cached.
#include <cstring>
#include <ctime>
#include <string_view>
#include <unordered_map>

#include "bld/bldr_cm_int.h"
#include "bld/bldr_cr_cache.h"
#include "bld/bldr_obj.h"
#include "bld/bldr_script.h"
#include "bld/bldr_tgt.h"
#include "client_meters/client_meters.h"
#include "cm/cr_utl_nt.h"
#include "ks/date.h"
#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "tbs/tbs_status.h"
#include "mf/bldr_opts.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"

namespace {

const imsg_msg_table_t *const kTable = &_bldr_cm_karsel_msg_table;

client_meters_region_t matching_region = nullptr;
client_meters_region_t winkin_region = nullptr;

// The build status of a derived-object match result.
int status_of(int match) {
  static const int kStatus[] = {BLDR_CM_TGT_ST_REUSED, BLDR_CM_TGT_ST_CANT_REUSE,
                                BLDR_CM_TGT_ST_DEP_MISMATCH, BLDR_CM_TGT_ST_DEP_CHECKEDOUT};
  return match >= 0 && match <= 3 ? kStatus[match] : BLDR_CM_TGT_ST_ERROR;
}

size_t list_len(list_handle_t l) { return l ? list_length(l) : 0; }

// The entries of a record's array by name: the first of each name, as a search from the start
// finds it. A short array is searched as it stands; a long one is indexed on first use, so that
// a target with many dependencies costs time in proportion to them.
template <class T>
class ByName {
 public:
  ByName(T *const *items, uint32_t count, const char *(*name_of)(const T *))
      : items_(items), count_(count), name_of_(name_of) {}
  const T *find(const char *name) {
    if (count_ <= kLinear) {
      for (uint32_t i = 0; i < count_; i++)
        if (std::strcmp(name_of_(items_[i]), name) == 0) return items_[i];
      return nullptr;
    }
    if (index_.empty())
      for (uint32_t i = count_; i-- > 0;) index_[name_of_(items_[i])] = items_[i];
    auto it = index_.find(name);
    return it == index_.end() ? nullptr : it->second;
  }

 private:
  static constexpr uint32_t kLinear = 8;
  T *const *items_;
  uint32_t count_;
  const char *(*name_of_)(const T *);
  std::unordered_map<std::string_view, const T *> index_;
};

}  // namespace

int bldr_cm_config_match(bldr_cm_handle_t h, const char *name, const char *cand_pn,
                         int auto_checkout, list_handle_t cotargets, const tbs_oid_t *obj_oid,
                         tbs_cr_t *cr, int is_previous, int add_to_cache, int cmp_script,
                         bldr_cm_tgt_rec_t *rec) {
  const bool loud = (is_previous && rec->has_script && bldr_cm_traced(1)) || bldr_cm_traced(3);
  const bool located = (is_previous && bldr_cm_traced(2)) || bldr_cm_traced(3);
  const bool timing = bldr_cm_traced(4);
  const time_t began = time(nullptr);
  auto elapsed = [&]() { return static_cast<unsigned long>(time(nullptr) - began); };
  if (matching_region == nullptr) matching_region = client_meters_create_region("config_rec_matching");
  client_meters_enter_region(matching_region);
  cr_utl_nt_hdl_t nt = CR_UTL_NT_HDL_NULL;
  hash_ht_t mismatch_ht = HASH_HT_NULL, nv_mismatch_ht = HASH_HT_NULL;
  auto done = [&](int status) {
    if (nt) cr_utl_destroy_nametable(nt);
    if (mismatch_ht) hash_delete_ht(&mismatch_ht);
    if (nv_mismatch_ht) hash_delete_ht(&nv_mismatch_ht);
    client_meters_require_exit_region(matching_region);
    client_meters_require_exit_region(winkin_region);
    return status;
  };
  auto cannot_reuse = [&]() {
    if (loud) imsg_print(IMSG_INFO, kTable, BLDR_CM_MSG_CANNOT_REUSE, name);
  };

  if (!tbs_cr_is_supported_fmt(cr)) {
    if (loud) {
      cannot_reuse();
      imsg_print(IMSG_INFO_CONT, kTable, BLDR_CM_MSG_UNSUPPORTED_FMT, cr->format, TBS_CR_FORMAT);
    }
    return done(BLDR_CM_TGT_ST_CANT_REUSE);
  }
  if (cmp_script && bldr_script_compare(rec->actual_script, cr->scripts, cr->script_count) != 0) {
    if (loud && !fileutl_patt_list_match(h->no_print_cmp_script, rec->pathname)) {
      imsg_print(IMSG_INFO, kTable, BLDR_CM_MSG_SCRIPT_MISMATCH, name);
      imsg_print(IMSG_INFO, kTable, BLDR_CM_MSG_SCRIPT_DIFF_HDR, name);
      imsg_print(IMSG_INFO, kTable, BLDR_CM_MSG_STARS);
      bldr_script_diff(rec->actual_script, cr->scripts, cr->script_count);
      imsg_print(IMSG_INFO, kTable, BLDR_CM_MSG_STARS);
    }
    return done(BLDR_CM_TGT_ST_CANT_REUSE);
  }
  nt = cr_utl_create_nametable(1, h->shared_tables, cr, 0);
  if (nt == CR_UTL_NT_HDL_NULL) {
    imsg_print(IMSG_ERROR, kTable, BLDR_CM_MSG_NO_NAMETABLE, name);
    return done(BLDR_CM_TGT_ST_ERROR);
  }
  if (timing) imsg_print(IMSG_TRACE, kTable, BLDR_CM_MSG_NAMETABLE_TIME, elapsed());
  const bool skip_deps = (h->flags & BLDR_CM_FLAG_OPT_M) ||
                         fileutl_patt_list_match(h->no_cmp_non_mf_deps, rec->pathname);
  // Names collected as non-critical are not compared in any candidate of this lookup; the
  // records themselves are left as they are (they may be cached or stored).
  if (rec->non_critical != HASH_HT_NULL && bldr_cm_traced(3)) {
    const char *key = nullptr;
    for (hash_cursor_t c = hash_str_next(rec->non_critical, nullptr, &key, nullptr); c;
         c = hash_str_next(rec->non_critical, c, &key, nullptr))
      imsg_print(IMSG_TRACE, kTable, BLDR_CM_MSG_NON_CRITICAL, key, name);
  }

  // The declared dependencies inside the VOBs.
  ByName<tbs_cr_explicit_dep_t> explicit_deps(
      cr->explicit_deps, cr->explicit_dep_count,
      [](const tbs_cr_explicit_dep_t *e) -> const char * { return e->name ? e->name : ""; });
  void *d = nullptr;
  for (list_cursor_t c = rec->ver_deps ? list_next(rec->ver_deps, nullptr, &d) : nullptr; c;
       c = list_next(rec->ver_deps, c, &d)) {
    auto *dep = static_cast<bldr_cm_ver_dep_t *>(d);
    if (!skip_deps) {
      if (bldr_utl_tgt_is_gnu_order_only_specifier(dep->name)) break;
      const tbs_cr_explicit_dep_t *found = explicit_deps.find(dep->name);
      if (found) {
        list_cursor_t cell = fileutl_patt_list_matched_cell(h->dependency_ignored, dep->pathname);
        const char *patt = cell ? static_cast<const char *>(list_get_data(h->dependency_ignored, cell)) : nullptr;
        if (patt && *patt && mf_utl_should_trace("bldr_cm", 1))
          imsg_print(IMSG_WARNING, kTable, BLDR_CM_MSG_NOT_IGNORED, dep->pathname, name);
        if (std::strcmp(found->vpath_name, dep->pathname) == 0) continue;
        if (located) {
          imsg_print(IMSG_INFO, kTable, BLDR_CM_MSG_OTHER_LOCATION, dep->name, name);
          imsg_print(IMSG_INFO_CONT, kTable, BLDR_CM_MSG_LOCATIONS, found->vpath_name, dep->pathname);
        }
      } else if (located) {
        imsg_print(IMSG_INFO_CONT, kTable, BLDR_CM_MSG_NOT_MF_DEP, dep->name, name);
      }
    }
    if (dep->pathname == nullptr || !*dep->pathname) return done(BLDR_CM_TGT_ST_CANT_REUSE);
    int f = bldr_obj_fwd_match_mfs_dep(name, h->area, dep->pathname, h->vertab, is_previous, cr,
                                       h->view_info);
    if (f < 0) return done(BLDR_CM_TGT_ST_ERROR);
    if (f != 0) return done(BLDR_CM_TGT_ST_CANT_REUSE);
  }

  // The declared dependencies outside the VOBs.
  ByName<tbs_cr_fs_predef_t> fs_deps(
      cr->fs_deps, cr->fs_dep_count,
      [](const tbs_cr_fs_predef_t *f) -> const char * { return f->name ? f->name : ""; });
  for (list_cursor_t c = rec->nonver_deps ? list_next(rec->nonver_deps, nullptr, &d) : nullptr; c;
       c = list_next(rec->nonver_deps, c, &d)) {
    auto *dep = static_cast<bldr_cm_nonver_dep_t *>(d);
    const tbs_cr_fs_predef_t *found = fs_deps.find(dep->fs.name);
    if (found == nullptr) {
      if (loud) {
        cannot_reuse();
        imsg_print(IMSG_INFO_CONT, kTable, BLDR_CM_MSG_NOT_MF_DEP, dep->fs.name, name);
      }
      return done(BLDR_CM_TGT_ST_CANT_REUSE);
    }
    if (std::strcmp(found->pname ? found->pname : "", dep->fs.pathname) != 0) {
      if (loud) {
        cannot_reuse();
        imsg_print(IMSG_INFO_CONT, kTable, BLDR_CM_MSG_OTHER_LOCATION, dep->fs.name, name);
      }
      return done(BLDR_CM_TGT_ST_CANT_REUSE);
    }
  }

  // The identity of the view's object.
  if (is_previous) {
    if (cr_utl_find_objdesc(cr, obj_oid) == nullptr &&
        !fileutl_patt_list_match(bldr_opts_get_patt_list(mfc_curr_opts_handle,
                                                         BLDR_OPTS_DO_OID_IGNORED_FOR_REUSE),
                                 name)) {
      if (loud) imsg_print(IMSG_INFO, kTable, BLDR_CM_MSG_COPY, rec->pathname);
      return done(BLDR_CM_TGT_ST_CANT_REUSE);
    }
  }

  if (timing) imsg_print(IMSG_TRACE, kTable, BLDR_CM_MSG_MATCH_START);
  bool sibs = (h->flags & BLDR_CM_FLAG_SIBS_AFFECT_REUSE) != 0;
  if (!sibs) {
    bldr_cm_tgt_rec_t *self = bldr_cm_find_tgt(h, name, true);
    sibs = self && (self->attrs & BLDR_CM_TGT_SIBS_AFFECT_REUSE);
  }
  const bool incremental = (rec->attrs & BLDR_CM_TGT_INCREMENTAL) != 0;
  // The dependencies found out of date are collected only for an incremental target's previous
  // object; for any other candidate none is (the tables stay null).
  const bool collect = is_previous && incremental;
  if (collect) {
    mismatch_ht = hash_str_create(unsigned(2 * list_len(rec->ver_deps) + 1), 0, 1);
    if (mismatch_ht == HASH_HT_NULL) return done(BLDR_CM_TGT_ST_ERROR);
  }
  bldr_obj_lists_t lists = {h->sibling_ignored, h->dependency_ignored, h->directory_ignored,
                            h->directory_affects, h->no_do_for_sibling,
                            h->no_sibling_do_contained_in, h->incremental_repository_sibling};
  bldr_obj_match_args_t args{};
  args.tgt = name;
  args.cand_pn = cand_pn;
  args.vi = h->view_info;
  args.area = h->area;
  args.vertab = h->vertab;
  args.tgt_hashes = rec->dep_hashes;
  args.sess_hashes = h->dep_hashes;
  args.is_previous = is_previous;
  args.shopping_allowed = !(h->flags & BLDR_CM_FLAG_VIEW_ONLY);
  args.skip_dependencies = skip_deps;
  args.sibs_affect_reuse = sibs;
  args.lists = &lists;
  args.obj_oid = obj_oid;
  args.nt = nt;
  args.incremental = incremental;
  args.mismatch_ht = mismatch_ht;
  args.non_critical = rec->non_critical;
  int status = status_of(bldr_obj_match(&args, cr));
  if (timing)
    imsg_print(IMSG_TRACE, kTable, status == 0 ? BLDR_CM_MSG_MATCH_OK : BLDR_CM_MSG_MATCH_FAILED, elapsed());
  if (status != BLDR_CM_TGT_ST_REUSED && status != BLDR_CM_TGT_ST_DEP_MISMATCH) return done(status);

  if (collect) {
    nv_mismatch_ht = hash_str_create(unsigned(2 * list_len(rec->nonver_deps) + 1), 0, 1);
    if (nv_mismatch_ht == HASH_HT_NULL) return done(BLDR_CM_TGT_ST_ERROR);
  }
  if (timing) imsg_print(IMSG_TRACE, kTable, BLDR_CM_MSG_NV_START);
  int nv = bldr_obj_non_mfs_match(name, h->area, cr->fs_dep_count, cr->fs_deps, cr->build_start,
                                  h->vertab, is_previous, h->view_info, collect, nv_mismatch_ht);
  if (nv != 0) status = nv > 0 && nv <= 3 ? status_of(nv) : BLDR_CM_TGT_ST_ERROR;

  // An incremental target's previous object: the dependencies found out of date, per group.
  if (is_previous && status == BLDR_CM_TGT_ST_DEP_MISMATCH) {
    for (list_cursor_t c = rec->instances ? list_next(rec->instances, nullptr, &d) : nullptr; c;
         c = list_next(rec->instances, c, &d)) {
      auto *inst = static_cast<bldr_tgt_inst_t *>(d);
      if (inst == nullptr || inst->deps == LIST_HANDLE_NULL) continue;
      list_handle_t ood = list_create(h->area, 0);
      if (ood == LIST_HANDLE_NULL) {
        tbs_log_int_error("bld/bldr_cm", &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                          pfm_file_stem(__FILE__), __LINE__, 0);
        return done(BLDR_CM_TGT_ST_ERROR);
      }
      void *n = nullptr;
      for (list_cursor_t l = list_next(inst->deps, nullptr, &n); l; l = list_next(inst->deps, l, &n)) {
        const char *dep = static_cast<const char *>(n);
        bldr_obj_vt_info_t *e = nullptr;
        if (bldr_utl_tgt_is_gnu_order_only_specifier(dep)) continue;
        if (bldr_obj_vertab_get_info(h->vertab, dep, 0, h->area, h->view_info, &e) != KS_ST_OK)
          return done(BLDR_CM_TGT_ST_ERROR);
        char text[TBS_OID_STR_SIZE];
        bool out_of_date =
            collect && ((e->state & BLDR_OBJ_VT_NON_VESSARY)
                            ? hash_str_lookup(nv_mismatch_ht, dep, nullptr, nullptr) != 0
                            : hash_str_lookup(mismatch_ht, tbs_oid_to_dstr(&e->ver_oid, text), nullptr, nullptr) != 0);
        if (out_of_date) list_append(ood, const_cast<char *>(dep));
      }
      inst->ood_deps = ood;
    }
  }
  if (timing)
    imsg_print(IMSG_TRACE, kTable, status == 0 ? BLDR_CM_MSG_NV_OK : BLDR_CM_MSG_NV_FAILED, elapsed());
  if (status != BLDR_CM_TGT_ST_REUSED) return done(status);

  // Reuse: the candidate becomes the view's object.
  client_meters_exit_region(matching_region);
  if (winkin_region == nullptr) winkin_region = client_meters_create_region("derived_object_winkin");
  client_meters_enter_region(winkin_region);
  const bool show_times = mf_verbosity >= 2 || mf_utl_should_trace("bldr_show_times", 2);
  struct timeval start{};
  if (show_times) date_get_timeval(&start);
  const bool no_execute = (h->flags & BLDR_CM_FLAG_NO_EXECUTE) != 0;
  bldr_obj_winkin_args_t w{cr, name, auto_checkout, cotargets, h->view_info, h->vertab, is_previous,
                           sibs, h->sibling_ignored, no_execute, obj_oid, nt, h->area};
  if (!no_execute && (!is_previous || !rec->prev_non_shareable) && bldr_obj_promote_dos(&w) != 0)
    return done(BLDR_CM_TGT_ST_CANT_REUSE);
  if (bldr_obj_winkin_dos(&w) != 0) return done(BLDR_CM_TGT_ST_CANT_REUSE);
  if (add_to_cache && !no_execute) bldr_cr_cache_add(nullptr, cr);
  if (show_times) {
    struct timeval now;
    date_get_timeval(&now);
    float secs = float(now.tv_sec - start.tv_sec) + float(now.tv_usec - start.tv_usec) * 0.000001f;
    h->winkin_time += double(secs);
    if (bldr_cm_traced(3))
      imsg_print(IMSG_TRACE, "time spent winking-in for %s was %f\n", -1, name, double(secs));
  }
  return done(BLDR_CM_TGT_ST_REUSED);
}
