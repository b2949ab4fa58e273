// Configuration lookup: a target's primary dependency and dependency hash, then the view's
// previous derived object and the VOB directory's candidates, each handed to the configuration
// match; the views from which winkin is allowed.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bld/bldr_cm_int.h"
#include "bld/bldr_cr_cache.h"
#include "bld/bldr_make.h"
#include "bld/bldr_obj.h"
#include "bld/bldr_script.h"
#include "bld/bldr_tgt.h"
#include "client_meters/client_meters.h"
#include "cm/cm_cr.h"
#include "cm/cm_do.h"
#include "cm/cr_utl.h"
#include "ks/fileutl.h"
#include "ks/date.h"
#include "ks/strutl.h"
#include "mf/mf.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"
#include "view/view_winkin.h"
#include "vob/vob_mtype.h"

client_meters_region_t bldr_exec_do_shopping_region_handle = nullptr;

namespace {

bool traced(const char *name, int level) { return mf_utl_should_trace(name, level); }

// A winkin view list kept for the process with the text it was made from.
struct ViewList {
  std::string text;  // white space removed
  list_handle_t list = LIST_HANDLE_NULL;
};
ViewList allow_views, deny_views;

std::string squeezed(const char *text) {
  std::string out;
  for (const char *s = text; *s; s++)
    if (!std::isspace(static_cast<unsigned char>(*s))) out += *s;
  return out;
}

// The view list of text: cached when the text is the one it was made from. Null when no word of
// the text names a registered view.
list_handle_t view_list(ViewList *v, const char *text) {
  std::string key = squeezed(text);
  if (key == v->text && !key.empty()) return v->list;
  v->text = key;
  bldr_cm_require_destroy_views_list(&v->list);
  list_handle_t list = list_create(STG_AREA_HEAP, 0);
  if (list == LIST_HANDLE_NULL) {
    imsg_print(IMSG_INFO, "Unable to allocate winkin views list.\n", -1);
    return LIST_HANDLE_NULL;
  }
  char *copy = stg_strdup(text);
  char *state = nullptr;
  rgy_view_entry_t batch[50];
  for (char *word = copy ? strutl_tokenize(copy, " \t\n", &state) : nullptr; word;
       word = strutl_tokenize(nullptr, " \t\n", &state)) {
    bool found = false;
    ks_status_t st = KS_ST_OK;
    size_t count = 0;
    for (size_t start = 0; !found; start += count) {
      st = rgy_get_entry(start, 50, batch, &count);
      if (st != KS_ST_OK || count == 0) break;
      for (size_t i = 0; i < count && !found; i++) {
        if (std::strcmp(batch[i].tag, word) != 0) continue;
        found = true;
        if (!batch[i].has_uuid) {
          imsg_print(IMSG_ERROR, "View tag entry \"%s\" does not contain a required key.\n", -1, word);
          found = false;
          count = 0;
          break;
        }
        auto *e = static_cast<bldr_cm_winkin_view_t *>(stg_malloc(sizeof(bldr_cm_winkin_view_t)));
        if (e == nullptr) break;
        e->tag = stg_strdup(word);
        e->uuid = batch[i].uuid;
        list_append(list, e);
      }
      if (count == 0) break;
    }
    if (!found)
      imsg_print(IMSG_WARNING, "Unable to lookup view \"%s\" for winkin views list, ignoring it.\n", -1, word);
  }
  stg_free(copy);
  if (list_is_empty(list)) {
    list_destroy(list);
    return LIST_HANDLE_NULL;
  }
  v->list = list;
  return list;
}

bool in_list(list_handle_t list, const tbs_uuid_t &uuid) {
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c; c = list_next(list, c, &d))
    if (tbs_uuid_eq(&static_cast<bldr_cm_winkin_view_t *>(d)->uuid, &uuid)) return true;
  return false;
}

// Whether the view that built a candidate may be winked in from.
bool view_allowed(const tbs_uuid_t &view) {
  char *allow = bldr_cm_get_orva_winkin_views(LIST_HANDLE_NULL, 1);
  bool pass = true;
  if (allow && !squeezed(allow).empty()) {
    list_handle_t list = view_list(&allow_views, allow);
    pass = list == LIST_HANDLE_NULL || in_list(list, view);
  } else {
    char *deny = bldr_cm_get_orva_winkin_views(LIST_HANDLE_NULL, 0);
    if (deny && !squeezed(deny).empty()) {
      list_handle_t list = view_list(&deny_views, deny);
      pass = list == LIST_HANDLE_NULL || !in_list(list, view);
    }
    stg_free(deny);
  }
  stg_free(allow);
  return pass;
}

double since(const struct timeval &start) {
  struct timeval now;
  date_get_timeval(&now);
  return double(now.tv_sec - start.tv_sec) + double(now.tv_usec - start.tv_usec) * 1e-6;
}

}  // namespace

ks_status_t bldr_cm_calc_dep_hash(const char *, bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec) {
  if (rec->dep_hash_done) return KS_ST_OK;
  rec->primary_kind = rec->primary_ftype = 0;
  rec->primary_oid = TBS_OID_NULL;
  // Leading dependencies first, then every dependency, in group order.
  std::vector<const char *> names;
  void *d = nullptr;
  for (list_cursor_t c = rec->instances ? list_next(rec->instances, nullptr, &d) : nullptr; c;
       c = list_next(rec->instances, c, &d))
    if (d && static_cast<bldr_tgt_inst_t *>(d)->imp_dep) names.push_back(static_cast<bldr_tgt_inst_t *>(d)->imp_dep);
  for (list_cursor_t c = rec->instances ? list_next(rec->instances, nullptr, &d) : nullptr; c;
       c = list_next(rec->instances, c, &d)) {
    auto *inst = static_cast<bldr_tgt_inst_t *>(d);
    void *dd = nullptr;
    for (list_cursor_t l = inst && inst->deps ? list_next(inst->deps, nullptr, &dd) : nullptr; l;
         l = list_next(inst->deps, l, &dd))
      names.push_back(static_cast<const char *>(dd));
  }
  for (const char *name : names) {
    if (bldr_utl_tgt_is_gnu_order_only_specifier(name)) continue;
    bldr_cm_tgt_rec_t *sub = bldr_cm_find_tgt(h, name, false);
    const char *path = sub && sub->pathname ? sub->pathname : name;
    view_xstat_t xs{};
    ks_status_t st = bldr_utl_obj_cache_info(path, mfc_mf_stat_handle, 1, &xs, nullptr, nullptr,
                                             nullptr, nullptr, nullptr);
    const bool private_dir = st == KS_ST_OK && xs.mtype == VOB_MTYPE_VIEW_PRIVATE &&
                             xs.fstat.type == VIEW_FTYPE_DIR;
    tbs_oid_t oid = xs.obj_oid;
    if (sub && !tbs_oid_is_null(&sub->do_oid_now)) {
      if (private_dir) continue;
      if (bldr_cm_traced(3))
        imsg_print(IMSG_TRACE, "Found version OID for subtarget \"%s\" in config map\n", -1, name);
      oid = sub->do_oid_now;
    } else if (st == KS_ST_NOT_FOUND || st == KS_ST_NOT_IN_VOB || (st == KS_ST_OK && private_dir)) {
      continue;
    } else if (st != KS_ST_OK) {
      return KS_ST_ERR;
    }
    rec->primary_oid = oid;
    rec->primary_kind = xs.mtype;
    rec->primary_ftype = xs.fstat.type;
    if (bldr_cm_traced(3))
      imsg_print(IMSG_TRACE, "Using version oid %s for predefined dependency hash (value is %lu)\n",
                 -1, tbs_oid_to_str(&oid), static_cast<unsigned long>(cm_do_primary_hash(&oid)));
    break;
  }
  rec->dep_hash_done = 1;
  return KS_ST_OK;
}

bldr_cm_tgt_status_t bldr_cm_config_lookup(bldr_cm_handle_t h, const char *name,
                                           list_handle_t cotargets, bldr_cm_tgt_rec_t *rec,
                                           const tbs_oid_t *prev_oid, int cmp_script) {
  const bool show_times = traced("bldr_show_times", 2);
  struct timeval start{};
  if (show_times) date_get_timeval(&start);
  h->stats[BLDR_CM_STAT_LOOKED_UP]++;
  cr_utl_destroy_dep_hash_array(&rec->dep_hashes);
  rec->dep_hashes = cr_utl_clone_dep_hash_array(h->dep_hashes);
  if (rec->dep_hashes == CR_UTL_HASH_DEPS_H_NULL) return BLDR_CM_TGT_ST_ERROR;
  if (bldr_cm_traced(4)) {
    imsg_print(IMSG_TRACE, "\"Trouble makers\" hashes for the build session:\n", -1);
    cr_utl_dump_dep_hash_array(rec->dep_hashes);
  }
  bldr_cm_tgt_status_t result = BLDR_CM_TGT_ST_CANT_REUSE;
  bldr_cm_tgt_status_t fallback = BLDR_CM_TGT_ST_CANT_REUSE;
  vob_ob_cursor_t cursor = VOB_OB_CURSOR_NULL;
  std::string dir_pn;  // the shopping directory's pathname, made when a message needs it
  auto finish = [&](bldr_cm_tgt_status_t status) {
    vob_ob_cursor_close(&cursor);
    cr_utl_destroy_dep_hash_array(&rec->dep_hashes);
    stg_free(rec->do_name);
    stg_free(rec->abs_pname);
    rec->do_name = rec->abs_pname = nullptr;
    if (show_times) {
      double secs = since(start);
      h->shopping_time += secs;
      if (bldr_cm_traced(3)) imsg_print(IMSG_TRACE, "time spent shopping for %s was %f\n", -1, name, secs);
    }
    client_meters_require_exit_region(bldr_exec_do_shopping_region_handle);
    return status == BLDR_CM_TGT_ST_CANT_REUSE ? fallback : status;
  };

  // The view's previous derived object.
  if (prev_oid != nullptr) {
    h->stats[BLDR_CM_STAT_PREV_EVALUATED]++;
    if (bldr_cm_traced(2)) {
      if (std::strcmp(name, rec->pathname) == 0)
        imsg_print(IMSG_TRACE, "Evaluating previous derived object in view for \"%s\"\n", -1, name);
      else
        imsg_print(IMSG_TRACE, "Evaluating previous derived object \"%s\" for target \"%s\"\n", -1,
                   rec->pathname, name);
    }
    tbs_cr_t cached{};
    tbs_cr_t fetched{};
    tbs_cr_t *cr = nullptr;
    int from_cache = bldr_cr_cache_fetch(nullptr, prev_oid, &cached);
    ks_status_t st = KS_ST_OK;
    if (from_cache) {
      cr = &cached;
    } else {
      st = cm_cr_get_cr(rec->vobh, prev_oid, 1, 1, nullptr, &fetched);
      if (st == KS_ST_OK) cr = &fetched;
    }
    if (cr == nullptr) {
      if (st != KS_ST_NOT_FOUND && st != KS_ST_XDR_FAILED && st != KS_ST_TRUNCATED)
        return finish(BLDR_CM_TGT_ST_ERROR);
      imsg_print(IMSG_WARNING, "Unable to get config record for current view candidate \"%s\" - %s\n",
                 -1, rec->pathname, tbs_strerror(st));
    } else {
      int m = bldr_cm_config_match(h, name, nullptr, (h->flags & BLDR_CM_FLAG_AUTO_CHECKOUT) != 0,
                                   cotargets, prev_oid, cr, 1, !from_cache, cmp_script, rec);
      if (!from_cache) cm_cr_free_cr(rec->vobh, &fetched);
      if (m == BLDR_CM_TGT_ST_REUSED) {
        h->stats[BLDR_CM_STAT_PREV_MATCHED]++;
        rec->do_oid_now = *prev_oid;
        return finish(BLDR_CM_TGT_ST_REUSED);
      }
      if (m == BLDR_CM_TGT_ST_ERROR) return finish(BLDR_CM_TGT_ST_ERROR);
      if (m == BLDR_CM_TGT_ST_DEP_CHECKEDOUT) return finish(BLDR_CM_TGT_ST_DEP_CHECKEDOUT);
      fallback = m;
    }
  }

  // The VOB directory's candidates.
  if (bldr_exec_do_shopping_region_handle == nullptr)
    bldr_exec_do_shopping_region_handle = client_meters_create_region("derived_object_shopping");
  client_meters_enter_region(bldr_exec_do_shopping_region_handle);
  if ((h->flags & BLDR_CM_FLAG_VIEW_ONLY) || fileutl_patt_list_match(h->no_wink_in, rec->pathname) ||
      (cmp_script && !rec->has_script))
    return finish(fallback);
  if (bldr_cm_calc_dep_hash(name, h, rec) != KS_ST_OK) return finish(BLDR_CM_TGT_ST_ERROR);
  int private_flag = 0;
  if (rec->primary_kind == VOB_MTYPE_NON_SHAREABLE_DO) {
    if (bldr_cm_traced(2))
      imsg_print(IMSG_TRACE, "Primary dep of \"%s\" is a non-shareable DO; no point in shopping\n", -1, rec->pathname);
    return finish(fallback);
  }
  bldr_utl_is_private_to_view(rec->primary_kind, rec->primary_ftype, &private_flag);
  if (private_flag) {
    if (bldr_cm_traced(2))
      imsg_print(IMSG_TRACE, "Primary dep of \"%s\" is private to this view; no point in shopping\n", -1, rec->pathname);
    return finish(fallback);
  }
  if (!rec->script_hash_done) {
    if (bldr_script_hash(rec->script, &rec->script_hash) != KS_ST_OK) return finish(BLDR_CM_TGT_ST_ERROR);
    rec->script_hash_done = 1;
  }
  if (rec->vobh == VOB_HANDLE_NULL || rec->do_name == nullptr) {
    char leaf[1024];
    if (vob_resolve_do_split_pn(rec->pathname, nullptr, nullptr, 1, &rec->vobh, &rec->dir_dbid,
                                sizeof leaf, leaf) != KS_ST_OK)
      return finish(BLDR_CM_TGT_ST_ERROR);
    stg_free(rec->do_name);
    rec->do_name = stg_strdup(leaf);
    if (rec->do_name == nullptr) return finish(BLDR_CM_TGT_ST_ERROR);
  }
  auto shopping_dir = [&]() -> const char * {
    if (dir_pn.empty()) {
      char buf[1024];
      if (vob_obj_to_pname(rec->vobh, rec->dir_dbid, nullptr, 0, 0, 0, sizeof buf, buf) != KS_ST_OK) {
        imsg_print(IMSG_ERROR, "Unable to obtain name of shopping directory for target \"%s\" (DO name: \"%s\")\n",
                   -1, name, rec->do_name);
        return nullptr;
      }
      dir_pn = buf;
    }
    return dir_pn.c_str();
  };
  if (bldr_cm_traced(2)) {
    if (shopping_dir() == nullptr) return finish(BLDR_CM_TGT_ST_ERROR);
    imsg_print(IMSG_TRACE, "Shopping for DO named \"%s\" in VOB directory \"%s\"\n", -1, rec->do_name,
               dir_pn.c_str());
  }
  if (rec->abs_pname == nullptr) {
    char abs[1024];
    if (vob_resolve_abspn_cond(rec->pathname, abs, sizeof abs, 0) != 0) {
      imsg_print(IMSG_ERROR, "Unable to resolve target pathname \"%s\" - %s\n", -1, rec->pathname,
                 imsg_strerror(errno));
      return finish(BLDR_CM_TGT_ST_ERROR);
    }
    rec->abs_pname = stg_strdup(abs);
  }
  char cand_pn[1024];
  if (rec->abs_pname == nullptr ||
      cr_utl_abspname_to_viewrel(rec->abs_pname, cand_pn, 0, sizeof cand_pn) != KS_ST_OK) {
    imsg_print(IMSG_ERROR, "Unable to resolve target pathname \"%s\" - %s\n", -1,
               rec->abs_pname ? rec->abs_pname : rec->pathname, imsg_strerror(ENAMETOOLONG));
    return finish(BLDR_CM_TGT_ST_ERROR);
  }
  const uint32_t dep_hash = cm_do_primary_hash(&rec->primary_oid);
  int mismatches = 0;
  for (;;) {
    uint32_t count = 0;
    const cr_utl_dep_hash_t *hashes = nullptr;
    cr_utl_get_dep_hash_array(rec->dep_hashes, &count, &hashes);
    if (bldr_cm_traced(3))
      imsg_print(IMSG_TRACE, "Scanning for candidate DO with %d dependency hash values\n", -1, int(count));
    tbs_oid_t oid;
    ks_status_t st = cm_do_next_named_hash_do(rec->vobh, rec->dir_dbid, rec->do_name, dep_hash,
                                              cmp_script ? rec->script_hash : 0, hashes, count,
                                              &cursor, &oid);
    if (st == KS_ST_NOT_FOUND) return finish(fallback);
    if (st != KS_ST_OK) {
      imsg_print(IMSG_ERROR, "Unable to shop for derived object named \"%s\" in VOB directory \"%s\" - %s\n",
                 -1, rec->do_name, shopping_dir() ? dir_pn.c_str() : "", tbs_strerror(st));
      imsg_print(IMSG_WARNING, "Aborting search for derived objects to share\n", -1);
      return finish(fallback);
    }
    auto ext_name = [&](const tbs_oid_t &o) {
      char buf[1024];
      uint32_t dbid = 0;
      if (vob_obj_oid_to_dbid(rec->vobh, &o, &dbid) == KS_ST_OK &&
          vob_obj_get_name_ext(rec->vobh, dbid, sizeof buf, buf) == KS_ST_OK)
        return std::string(buf);
      return std::string(tbs_oid_to_str(&o));
    };
    auto cannot_evaluate = [&](ks_status_t why) {
      if (why == KS_ST_ERR)
        imsg_print(IMSG_WARNING, "Unable to evaluate derived object \"%s\" in VOB directory \"%s\"\n", -1,
                   ext_name(oid).c_str(), shopping_dir() ? dir_pn.c_str() : "");
      else
        imsg_print(IMSG_WARNING, "Unable to evaluate derived object \"%s\" in VOB directory \"%s\" - %s\n",
                   -1, ext_name(oid).c_str(), shopping_dir() ? dir_pn.c_str() : "", tbs_strerror(why));
    };
    cm_do_info_t info;
    st = cm_do_get_info(rec->vobh, &oid, &info);
    if (st != KS_ST_OK) {
      cannot_evaluate(st);
      continue;
    }
    if (!info.has_data) {
      h->stats[BLDR_CM_STAT_NO_DATA]++;
      // A no-execute run leaves the VOB as it is.
      if (std::getenv("TVICK_PURE_SHOPPING") == nullptr && !(h->flags & BLDR_CM_FLAG_NO_EXECUTE) &&
          vob_do_delete(rec->vobh, &oid) == KS_ST_OK && bldr_cm_traced(2))
        imsg_print(IMSG_TRACE, "Removed 0-ref, no-data heap derived object \"%s\"\n", -1, tbs_oid_to_str(&oid));
      continue;
    }
    if (prev_oid && tbs_oid_eq(&oid, prev_oid)) {
      h->stats[BLDR_CM_STAT_PREV_CANDIDATES]++;
      continue;
    }
    h->stats[info.shared ? BLDR_CM_STAT_SHARED_EVALUATED : BLDR_CM_STAT_UNSHARED_EVALUATED]++;
    if (bldr_cm_traced(2))
      imsg_print(IMSG_TRACE, "Evaluating heap derived object \"%s\"\n", -1, ext_name(oid).c_str());
    tbs_cr_t cr{};
    st = cm_cr_get_cr(rec->vobh, &oid, 1, bldr_cm_traced(2), nullptr, &cr);
    if (st != KS_ST_OK) {
      if (st == KS_ST_ERR ? bldr_cm_traced(1) : true) cannot_evaluate(st);
      continue;
    }
    if (!view_allowed(cr.view_uuid)) {
      if (bldr_cm_traced(2)) {
        char tag[256];
        if (rgy_findbyuuid_entry(&cr.view_uuid, sizeof tag, tag) != KS_ST_OK)
          std::strncpy(tag, tbs_uuid_to_str(&cr.view_uuid), sizeof tag - 1), tag[sizeof tag - 1] = 0;
        imsg_print(IMSG_WARNING, "Winkins from view \"%s\" disallowed,\n\tskipping DO \"%s\" in VOB directory \"%s\"\n",
                   -1, tag, ext_name(oid).c_str(), shopping_dir() ? dir_pn.c_str() : "");
      }
      cm_cr_free_cr(rec->vobh, &cr);
      continue;
    }
    int m = bldr_cm_config_match(h, name, cand_pn, (h->flags & BLDR_CM_FLAG_AUTO_CHECKOUT) != 0,
                                 cotargets, &oid, &cr, 0, 1, cmp_script, rec);
    cm_cr_free_cr(rec->vobh, &cr);
    if (m == BLDR_CM_TGT_ST_ERROR) {
      cannot_evaluate(KS_ST_ERR);
      continue;
    }
    if (m == BLDR_CM_TGT_ST_REUSED) {
      h->stats[info.shared ? BLDR_CM_STAT_SHARED_MATCHED : BLDR_CM_STAT_UNSHARED_MATCHED]++;
      rec->do_oid_now = oid;
      result = BLDR_CM_TGT_ST_WINKED_IN;
      return finish(result);
    }
    if (++mismatches == 4 && (traced("bldr_shopping_stats", 2) || bldr_cm_traced(3))) {
      imsg_print(IMSG_WARNING, "%d config-mismatches for target \"%s\" is a surprisingly large amount.\n",
                 -1, 4, name);
      imsg_print(IMSG_WARNING_CONT, "This may represent a defect in derived object shopping.\n", -1);
    }
  }
}
