// What a target's name denotes in the view, and absolute view-relative names.
#include "bld/bldr_cmutl.h"

#include <cstring>
#include <string>

#include "bld/bldr_cm_int.h"
#include "bld/bldr_utl.h"
#include "ks/fileutl.h"
#include "ks/strutl.h"
#include "mf/mf.h"
#include "mf/mf_stat.h"
#include "mf/mfc.h"
#include "tbs/tbs_product.h"
#include "tbs/tbs_status.h"
#include "vob/vob_mtype.h"

namespace {

const char kModule[] = "bld/bldr_cmutl";

const char *const cmutl_formats[] = {
    /* 0 */ "Unable to get VOB information for target candidate \"%s\" - %s\n",
    /* 1 */ "Target pathname \"%s\" exceeds implementation limit\n",
    /* 2 */ "Concatenation of search directory \"%s\" and target pathname \"%s\" exceeds implementation limit\n",
};
constexpr uint16_t kRows = sizeof cmutl_formats / sizeof cmutl_formats[0];
const uint16_t cmutl_catalog[kRows] = {};

enum { MSG_NO_VOB_INFO = 0, MSG_TOO_LONG = 1, MSG_JOIN_TOO_LONG = 2 };

// Sets the record's derived-object flags from the view's kind of the object.
void set_do_flags(bldr_cm_tgt_rec_t *rec, uint32_t kind) {
  rec->prev_is_do = kind == VOB_MTYPE_DO_VERSION || kind == VOB_MTYPE_DERIVED_OBJ ||
                    kind == VOB_MTYPE_SHARED_DO || kind == VOB_MTYPE_NON_SHAREABLE_DO;
  rec->prev_non_shareable = kind == VOB_MTYPE_NON_SHAREABLE_DO;
}

// Looks the name up through the stat cache, along the search directories while nothing is found.
// 0, 1002 (not found in any place tried) or 1001.
ks_status_t obj_cache_search_stat(const char *name, int follow, stg_area_t area,
                                  list_handle_t search, bldr_cm_handle_t h, bldr_cm_tgt_rec_t *rec) {
  view_xstat_t xs{};
  tbs_oid_t vob_oid = TBS_OID_NULL;
  const char *tried = name;
  char joined[1024];
  ks_status_t st = mf_stat_view_info(static_cast<mf_stat_handle_t>(mfc_mf_stat_handle), name,
                                     follow, &xs, &vob_oid, nullptr, nullptr);
  if (st == KS_ST_NOT_FOUND && search == LIST_HANDLE_NULL) return st;
  void *d = nullptr;
  for (list_cursor_t c = search ? list_next(search, nullptr, &d) : nullptr;
       st == KS_ST_NOT_FOUND; c = list_next(search, c, &d)) {
    if (c == nullptr) return KS_ST_NOT_FOUND;
    const char *dir = static_cast<const char *>(d);
    if (strutl_concat(joined, sizeof joined, {dir, "/", name}) != KS_ST_OK) {
      imsg_print(IMSG_ERROR, &_bldr_cmutl_karsel_msg_table, MSG_JOIN_TOO_LONG, dir, name);
      return KS_ST_ERR;
    }
    tried = joined;
    st = mf_stat_view_info(static_cast<mf_stat_handle_t>(mfc_mf_stat_handle), joined, follow, &xs,
                           &vob_oid, nullptr, nullptr);
  }
  if (st == KS_ST_OK && bldr_utl_path_in_automatic_view(tried)) st = KS_ST_NOT_IN_VOB;
  rec->ftype = xs.fstat.type;
  rec->do_oid_at_lookup = xs.obj_oid;
  if (st == KS_ST_NOT_IN_VOB) {
    rec->prev_is_do = rec->prev_non_shareable = 0;
    rec->obj_kind = 2;
    st = KS_ST_OK;
  } else if (st != KS_ST_OK) {
    imsg_print(IMSG_ERROR, &_bldr_cmutl_karsel_msg_table, MSG_NO_VOB_INFO, tried, tbs_strerror(st));
    return KS_ST_ERR;
  } else {
    st = vob_ob_vob_oid_to_vobh(&vob_oid, &rec->vobh);
    if (st != KS_ST_OK) {
      imsg_print(IMSG_ERROR, &_bldr_cmutl_karsel_msg_table, MSG_NO_VOB_INFO, tried, tbs_strerror(st));
      return KS_ST_ERR;
    }
    set_do_flags(rec, xs.mtype);
    rec->obj_kind = 1;
  }
  if (tried == joined) {
    rec->pathname = stg_area_strdup(area, joined);
    if (h->flags & BLDR_CM_FLAG_SUN) return bldr_cm_add_vpath_subst(h, name, joined);
  }
  return KS_ST_OK;
}

// Removes the ".." components of an absolute pathname with the component before each, in place.
void resolve_dot_dot(char *path) {
  std::string out;
  for (const char *s = path; *s;) {
    while (*s == '/') s++;
    const char *e = s;
    while (*e && *e != '/') e++;
    std::string part(s, size_t(e - s));
    if (part == "..") {
      size_t slash = out.rfind('/');
      out.resize(slash == std::string::npos ? 0 : slash);
    } else if (!part.empty() && part != ".") {
      out += "/" + part;
    }
    s = e;
  }
  if (out.empty()) out = "/";
  std::memcpy(path, out.c_str(), out.size() + 1);  // never longer than the original
}

}  // namespace

const imsg_msg_table_t _bldr_cmutl_karsel_msg_table = {
    "karsel_bin", kModule, 431, kRows, cmutl_formats, cmutl_catalog,
};

ks_status_t bldr_cmutl_prev_tgt_info(const char *name, bldr_cm_tgt_rec_t *rec, stg_area_t area,
                                     list_handle_t search, bldr_cm_handle_t h) {
  rec->vobh = VOB_HANDLE_NULL;
  rec->pathname = name;
  if (name[0] == '/') search = LIST_HANDLE_NULL;
  if (std::strlen(name) >= 1023) {
    imsg_print(IMSG_ERROR, &_bldr_cmutl_karsel_msg_table, MSG_TOO_LONG, name);
    return KS_ST_ERR;
  }
  const int follow = bldr_utl_lookup_should_chase_tgt_if_slink(name, h->no_config_match_slinks);
  if (bldr_utl_tgt_is_gnu_order_only_specifier(name)) return KS_ST_OK;
  ks_status_t st = obj_cache_search_stat(name, follow, area, search, h, rec);
  if (st != KS_ST_NOT_FOUND) return st;
  // Nothing there: a dangling symbolic link still counts as one; the rest tells where a derived
  // object of the target would be made.
  bldr_cm_tgt_rec_t probe{};
  probe.pathname = name;
  st = follow ? obj_cache_search_stat(name, 0, area, search, h, &probe) : KS_ST_NOT_FOUND;
  rec->ftype = st == KS_ST_OK && probe.ftype == VIEW_FTYPE_LNK ? VIEW_FTYPE_LNK : 0;
  rec->prev_is_do = rec->prev_non_shareable = 0;
  stg_free(rec->do_name);
  stg_free(rec->abs_pname);
  rec->do_name = rec->abs_pname = nullptr;
  rec->do_oid_at_lookup = TBS_OID_NULL;
  char leaf[1024];
  st = vob_resolve_do_split_pn(name, nullptr, nullptr, 1, &rec->vobh, &rec->dir_dbid, sizeof leaf, leaf);
  if (st == KS_ST_OK) rec->obj_kind = 1;
  else if (st == KS_ST_NOT_IN_VOB) rec->obj_kind = 2;
  else if (st != KS_ST_NOT_FOUND) return st;
  if (st == KS_ST_OK) rec->do_name = stg_strdup(leaf);
  return KS_ST_NOT_FOUND;
}

ks_status_t bldr_cmutl_abs_pn(const char *pathname, char **out, stg_area_t area) {
  if (mf_getenv("ORVA_DONT_MODIFY_SPL_PATTERNS") != nullptr) return KS_ST_OK;
  char dir[1024], leaf[1024], abs[1024];
  if (fileutl_strip_leaf(pathname, sizeof dir, dir, sizeof leaf, leaf) != KS_ST_OK) return KS_ST_ERR;
  if (fileutl_abspn(*dir ? dir : ".", abs, sizeof abs) != KS_ST_OK) return KS_ST_ERR;
  resolve_dot_dot(abs);
  const bool dot_leaf = std::strcmp(leaf, ".") == 0 || std::strcmp(leaf, "..") == 0;
  if (!dot_leaf && (!*dir || std::strstr(abs, dir) != nullptr)) return KS_ST_OK;
  std::string base = abs;
  std::string rest = leaf;
  if (rest == "..") {
    size_t slash = base.rfind('/');
    base = slash == 0 || slash == std::string::npos ? "/" : base.substr(0, slash);
    rest.clear();
  } else if (rest == ".") {
    rest.clear();
  }
  std::string result = base;
  if (!rest.empty() && (result.empty() || result.back() != '/')) result += '/';
  result += rest;
  std::string root = tbs_view_root();
  if (!root.empty() && result.compare(0, root.size(), root) == 0 &&
      (result.size() == root.size() || result[root.size()] == '/')) {
    result.erase(0, root.size());
    size_t next = result.find('/', 1);
    result = next == std::string::npos ? "" : result.substr(next);
  }
  if (result.empty()) result = "/";
  *out = stg_area_strdup(area, result.c_str());
  return *out ? KS_ST_OK : KS_ST_ERR;
}

ks_status_t bldr_cmutl_fix_spl_tgt_patt_list(list_handle_t patterns, stg_area_t area) {
  if (patterns == LIST_HANDLE_NULL || mf_getenv("ORVA_DONT_MODIFY_SPL_PATTERNS") != nullptr)
    return KS_ST_OK;
  void *d = nullptr;
  for (list_cursor_t c = list_next(patterns, nullptr, &d); c; c = list_next(patterns, c, &d)) {
    char *fixed = nullptr;
    if (bldr_cmutl_abs_pn(static_cast<const char *>(d), &fixed, area) != KS_ST_OK) return KS_ST_ERR;
    if (fixed) list_set_data(patterns, c, fixed);
  }
  return KS_ST_OK;
}
