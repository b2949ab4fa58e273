// Environment of build scripts: the mandatory, conditional and critical lists of a record.
#include <cstring>
#include <string>

#include "ks/pfm.h"
#include "mf/bldr_opts.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"

namespace {

constexpr const char *kModule = "mf/bldr_opts";
constexpr size_t kMaxName = 1024;

// Names exported whenever they are defined.
const char *const kSpecialVariables[] = {
    "TRACE_VERBOSITY",   "TRACE_SUBSYS",         "ZELVANE_BLD_VERBOSITY",  "ORVA_VERBOSITY",
    "ZELVANE_BLD_UMASK", "ORVA_BLD_UMASK",       "ZELVANE_TEMPFILE_UMASK", "ORVA_TEMPFILE_UMASK",
    "ORVA_WINKIN_VIEWS", "ORVA_NO_WINKIN_VIEWS",
};

uint32_t exporting_on() { return 1; }

bool expands_in(uint32_t dialect) { return dialect == 2 || dialect == 3 || dialect == 7; }

list_handle_t new_list(stg_area_t area) {
  list_handle_t l = list_create(area, 0);
  if (l == LIST_HANDLE_NULL)
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_LIST_CREATE, pfm_file_stem(__FILE__),
                      __LINE__, 0);
  return l;
}

bool add_name(list_handle_t names, stg_area_t area, const char *name) {
  char *c = stg_area_strdup(area, name);
  if (c == nullptr || list_append(names, c) != KS_ST_OK) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return false;
  }
  return true;
}

// The names of the mandatory list, chosen once.
list_handle_t mand_names(BLDR_OPTS_HANDLE h) {
  if (h->mand_evs != LIST_HANDLE_NULL) return h->mand_evs;
  for (const char *name : kSpecialVariables)
    if (bldr_macro_lookup(mfc_mf_macro_table_list, name, nullptr) != nullptr)
      bldr_opts_export_variable(h, name);
  list_handle_t names = new_list(h->area);
  if (names == LIST_HANDLE_NULL) return LIST_HANDLE_NULL;
  const char *name = nullptr;
  void *slot = nullptr;
  for (hash_cursor_t c = hash_str_next_in_order(h->export_states, nullptr, &name, &slot);
       c != nullptr; c = hash_str_next_in_order(h->export_states, c, &name, &slot)) {
    const bldr_opts_export_state_t state = *static_cast<bldr_opts_export_state_t *>(slot);
    if (state == BLDR_OPTS_UNEXPORTED) continue;
    if (state == BLDR_OPTS_RECORDED && h->export_default == 0 &&
        bldr_macro_lookup_in_table(h->env_table, name, nullptr) == nullptr)
      continue;
    if (!add_name(names, h->area, name)) {
      hash_term_scan(h->export_states);
      return LIST_HANDLE_NULL;
    }
  }
  h->mand_evs = names;
  return names;
}

// The names of the conditional list, chosen once.
list_handle_t cond_names(BLDR_OPTS_HANDLE h) {
  if (h->cond_evs != LIST_HANDLE_NULL) return h->cond_evs;
  list_handle_t names = new_list(h->area);
  if (names == LIST_HANDLE_NULL) return LIST_HANDLE_NULL;
  hash_cursor_t it = nullptr;
  char name[kMaxName + 1];
  for (;;) {
    const char *value = bldr_macro_lookup_next_macro(h->env_table, &it, sizeof name, name);
    if (it == nullptr) break;
    if (value == nullptr) continue;  // a name too long for the buffer
    bldr_opts_export_state_t state = 0;
    if (bldr_opts_get_export_state(h, name, &state) && state != BLDR_OPTS_RECORDED) continue;
    if (!add_name(names, h->area, name)) return LIST_HANDLE_NULL;
  }
  h->cond_evs = names;
  return names;
}

// The entries of names with their current values.
ks_status_t entries(BLDR_OPTS_HANDLE h, list_handle_t names, list_handle_t *out) {
  *out = LIST_HANDLE_NULL;
  if (names == LIST_HANDLE_NULL) return KS_ST_ERR;
  list_handle_t list = new_list(STG_AREA_HEAP);
  if (list == LIST_HANDLE_NULL) return KS_ST_ERR;
  void *d = nullptr;
  for (list_cursor_t c = list_next(names, nullptr, &d); c != nullptr; c = list_next(names, c, &d)) {
    char *entry = bldr_opts_make_putenv_def(h->dialect, static_cast<const char *>(d),
                                            mfc_mf_macro_table_list);
    if (entry == nullptr || list_append(list, entry) != KS_ST_OK) {
      if (entry != nullptr)
        imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
      stg_free(entry);
      bldr_opts_free_evs(list);
      return KS_ST_ERR;
    }
  }
  *out = list;
  return KS_ST_OK;
}

}  // namespace

char *bldr_opts_make_putenv_def(uint32_t dialect, const char *name, list_handle_t tables) {
  const char *value =
      tables != LIST_HANDLE_NULL ? bldr_macro_lookup(tables, name, nullptr) : nullptr;
  if (value == nullptr) value = "";
  std::string text(value);
  if (!text.empty() && text.find('$') != std::string::npos && expands_in(dialect)) {
    const bool from_default = bldr_macro_origin(tables, name) == BLDR_MACRO_ORIGIN_DEFAULT;
    // The expander asks whether a default macro is being exported for a script.
    auto saved = bldr_macro_hooks.exporting_macro_defs;
    if (from_default) bldr_macro_hooks.exporting_macro_defs = exporting_on;
    char *result = nullptr;
    const ks_status_t rc =
        bldr_macutl_expand_line_list(dialect, tables, 0, text.c_str(), 1, STG_AREA_HEAP, &result,
                                     LIST_HANDLE_NULL, STG_AREA_NULL);
    bldr_macro_hooks.exporting_macro_defs = saved;
    if (rc != KS_ST_OK || result == nullptr) {
      imsg_print(IMSG_ERROR, "Could not expand macro %s value %s\n", -1, name,
                 result != nullptr ? result : "<null>");
      stg_free(result);
      return nullptr;
    }
    text = result;
    stg_free(result);
  }
  char *entry = mf_utl_make_putenv_def(name, text.c_str());
  if (entry == nullptr)
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
  return entry;
}

ks_status_t bldr_opts_get_mand_evs(BLDR_OPTS_HANDLE h, int, list_handle_t *list) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  return entries(h, mand_names(h), list);
}

ks_status_t bldr_opts_get_cond_evs(BLDR_OPTS_HANDLE h, int, list_handle_t *list) {
  PFM_ASSERT(h != BLDR_OPTS_HANDLE_NULL);
  return entries(h, cond_names(h), list);
}

ks_status_t bldr_opts_get_crit_evs(BLDR_OPTS_HANDLE, int, list_handle_t *list) {
  *list = LIST_HANDLE_NULL;
  return KS_ST_OK;
}

void bldr_opts_free_evs(list_handle_t list) {
  if (list == LIST_HANDLE_NULL) return;
  void *d = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &d); c != nullptr; c = list_next(list, c, &d))
    stg_free(d);
  list_destroy(list);
}
