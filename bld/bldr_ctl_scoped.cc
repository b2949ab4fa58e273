#include "bld/bldr_ctl.h"

#include <cstring>
#include <string>

#include "ks/imsg.h"
#include "ks/pfm.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"

namespace {

const char *const kModule = "bld/bldr_ctl";
constexpr size_t kTgtBufSize = 1024;
constexpr int32_t kFinalStatuses[] = {0, 2, 4, 7, 8};  // reused, rebuilt, winked in, up to date,
                                                        // outdated

bool gnu_dialect(uint32_t dialect) { return dialect == 2 || dialect == 7; }

// Whether pattern (with or without "%") names tgt.
bool pattern_matches(const char *pattern, const char *tgt) {
  const char *prefix, *suffix;
  size_t prefix_len, suffix_len;
  uint32_t no_percent = 0;
  bldr_macro_chpat_parse_patstr(pattern, std::strlen(pattern), &prefix, &prefix_len, &suffix,
                                &suffix_len, &no_percent);
  if (no_percent) return std::strcmp(pattern, tgt) == 0;
  const char *stem;
  size_t stem_len;
  return bldr_macro_chpat_match_pattern(tgt, 0, std::strlen(tgt), prefix, prefix_len, suffix,
                                        suffix_len, &stem, &stem_len) != 0;
}

bool in_names(list_handle_t names, const char *name) {
  if (names == LIST_HANDLE_NULL) return false;
  void *d;
  for (list_cursor_t c = list_next(names, nullptr, &d); c; c = list_next(names, c, &d))
    if (std::strcmp(static_cast<const char *>(d), name) == 0) return true;
  return false;
}

bool in_list(list_handle_t list, void *datum) {
  void *d;
  for (list_cursor_t c = list_next(list, nullptr, &d); c; c = list_next(list, c, &d))
    if (d == datum) return true;
  return false;
}

}  // namespace

ks_status_t bldr_ctl_make_tgt_scoped_mactab(BLDR_OPTS_HANDLE opts, uint32_t source,
                                            const char *tgt, uint32_t dialect, list_handle_t scope,
                                            stg_area_t area, bldr_macro_table_t **table,
                                            list_handle_t overrides) {
  *table = nullptr;
  const bool gnu = gnu_dialect(dialect);
  const bldr_macro_flavor_t flavor =
      source == BLDR_OPTS_SIDE_MF ? bldr_macro_compat_to_macro_flavor(dialect)
                                  : BLDR_MACRO_FLAVOR_PLAIN;
  // The names defined for the target by name, which its pattern definitions do not redefine
  // (gnu dialects only).
  list_handle_t names = gnu ? list_create(STG_AREA_HEAP, 0) : LIST_HANDLE_NULL;
  list_handle_t scope_list = LIST_HANDLE_NULL;
  std::string first_pattern;
  ks_status_t st = KS_ST_OK;
  void *cursor = nullptr;
  char pattern[kTgtBufSize];
  do {
    char *name = nullptr, *value = nullptr;
    uint32_t op = 0;
    st = bldr_opts_get_next_tgt_scoped_macdef(opts, &cursor, source, sizeof pattern, pattern,
                                              &name, &value, &op, tgt);
    if (st != KS_ST_OK || cursor == nullptr) break;
    if (!pattern_matches(pattern, tgt)) continue;
    bool is_pattern = std::strchr(pattern, '%') != nullptr;
    if (gnu) {
      if (is_pattern) {
        if (first_pattern.empty()) first_pattern = pattern;
        if (first_pattern != pattern) continue;
        if (in_names(names, name)) continue;
      } else if (names != LIST_HANDLE_NULL) {
        list_append(names, name);
      }
    }
    if (*table == nullptr) {
      *table = bldr_macro_init_table(16, BLDR_MACRO_ORIGIN_FILE, area);
      scope_list = list_create(STG_AREA_HEAP, 0);
      if (!*table || !scope_list || list_append(scope_list, *table) != KS_ST_OK ||
          (scope != LIST_HANDLE_NULL && list_concat(scope_list, scope) != KS_ST_OK)) {
        tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                          pfm_file_stem(__FILE__), __LINE__, 0);
        st = KS_ST_ERR;
        break;
      }
    }
    bldr_macro_def_t def = {name, value, op};
    char *result = nullptr;
    uint32_t flags = 0;
    st = bldr_macro_perform_macro_def(&def, scope_list, flavor, &result, &flags);
    if (st != KS_ST_OK) break;
    if (result) {
      st = bldr_macro_define(*table, name, result, flags);
      stg_free(result);
      if (st != KS_ST_OK) break;
    }
    if (op == BLDR_MACRO_OP_OVERRIDE_SCOPED && overrides != LIST_HANDLE_NULL) {
      auto *copy = static_cast<bldr_macro_def_t *>(stg_alloc(area, sizeof(bldr_macro_def_t)));
      if (copy) {
        copy->name = stg_area_strdup(area, name);
        copy->value = stg_area_strdup(area, value);
        copy->op = op;
      }
      if (!copy || !copy->name || !copy->value || list_append(overrides, copy) != KS_ST_OK) {
        imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
        st = KS_ST_ERR;
        break;
      }
    }
  } while (true);
  stg_free(cursor);  // left over when the walk stopped early
  list_destroy(names);
  list_destroy(scope_list);
  return st;
}

list_handle_t bldr_ctl_push_tgt_scoped_bindings(BLDR_OPTS_HANDLE opts, const char *tgt,
                                                uint32_t dialect, stg_area_t area) {
  list_handle_t prev = mfc_mf_macro_table_list;
  list_handle_t overrides = list_create(area, 0);
  if (overrides == LIST_HANDLE_NULL) return LIST_HANDLE_NULL;
  bldr_macro_table_t *mf_table = nullptr, *bos_table = nullptr;
  // On failure the tables made so far are released.
  auto fail = [&] {
    if (mf_table) bldr_macro_term_table(mf_table);
    if (bos_table) bldr_macro_term_table(bos_table);
    return LIST_HANDLE_NULL;
  };
  if (bldr_ctl_make_tgt_scoped_mactab(opts, BLDR_OPTS_SIDE_MF, tgt, dialect, prev, area,
                                      &mf_table, overrides) != KS_ST_OK)
    return fail();
  list_handle_t bos_scope = prev;
  list_handle_t joined = LIST_HANDLE_NULL;
  if (mf_table) {
    joined = list_create(STG_AREA_HEAP, 0);
    if (joined && list_append(joined, mf_table) == KS_ST_OK &&
        (prev == LIST_HANDLE_NULL || list_concat(joined, prev) == KS_ST_OK))
      bos_scope = joined;
  }
  ks_status_t st = bldr_ctl_make_tgt_scoped_mactab(opts, BLDR_OPTS_SIDE_BOS, tgt, dialect,
                                                   bos_scope, area, &bos_table, overrides);
  list_destroy(joined);
  if (st != KS_ST_OK) return fail();
  if (!mf_table && !bos_table) return prev;

  list_handle_t pushed = list_create(area, 0);
  if (pushed == LIST_HANDLE_NULL ||
      (prev != LIST_HANDLE_NULL && list_concat(pushed, prev) != KS_ST_OK)) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return fail();
  }
  for (bldr_macro_table_t *t : {mf_table, bos_table}) {
    if (!t) continue;
    if (gnu_dialect(dialect)) {
      if (bldr_macro_insert_gnu_scoped_macro_list(pushed, t, area, overrides) != KS_ST_OK)
        return fail();
    } else if (list_insert(pushed, nullptr, t) != KS_ST_OK) {
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
      return fail();
    }
  }
  mfc_mf_macro_table_list = pushed;
  return prev;
}

void bldr_ctl_pop_tgt_scoped_bindings(list_handle_t prev, int32_t status) {
  list_handle_t pushed = mfc_mf_macro_table_list;
  if (prev == pushed) return;
  bool final_status = false;
  for (int32_t s : kFinalStatuses) final_status = final_status || s == status;
  if (final_status && pushed != LIST_HANDLE_NULL) {
    // The pushed list holds the previous tables and the ones made for the target.
    void *d;
    for (list_cursor_t c = list_next(pushed, nullptr, &d); c; c = list_next(pushed, c, &d))
      if (prev == LIST_HANDLE_NULL || !in_list(prev, d))
        bldr_macro_term_table(static_cast<bldr_macro_table_t *>(d));
    list_destroy(pushed);
  }
  mfc_mf_macro_table_list = prev;
}
