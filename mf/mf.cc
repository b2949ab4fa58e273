#include "mf/mf.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ks/pfm.h"
#include "ks/stg.h"
#include "mf/mf_parse_cmd_line.h"
#include "mf/mf_utl.h"

namespace {

const char *const mf_formats[] = {
    "# --- Active make-related environment variables ---\n",
    "#\t%s=%s\n",
    "Null makefile symbol table handle\n",
    "Null target handle\n",
    "Malformed macro definition \"%s\"\n",
};
const uint16_t mf_catalog[] = {1, 2, 3, 4, 5};

}  // namespace

const imsg_msg_table_t _mf_karsel_msg_table = {
    "karsel_bin", "mf", 300, sizeof mf_formats / sizeof mf_formats[0], mf_formats, mf_catalog,
};

hash_ht_t mf_evs = HASH_HT_NULL;

ks_status_t mf_initialize_getenv() {
  mf_finalize_getenv();
  hash_ht_t table = hash_str_create(10, sizeof(char *), 1);
  if (table == HASH_HT_NULL) {
    imsg_print_shared(IMSG_ERROR, "mf", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  hash_set_order(table);
  mf_evs = table;
  return KS_ST_OK;
}

const char *mf_getenv(const char *ev_name) {
  PFM_ASSERT(ev_name != NULL);
  const char *value = std::getenv(ev_name);
  if (value == nullptr || mf_evs == HASH_HT_NULL) return value;
  char *copy = stg_strdup(value);
  if (copy == nullptr) return value;  // the read succeeds; only the record misses it
  void *slot = nullptr;
  if (hash_str_enter(mf_evs, ev_name, nullptr, &slot) < 0) {
    stg_free(copy);
    return value;
  }
  char **stored = static_cast<char **>(slot);
  stg_free(*stored);
  *stored = copy;
  return value;
}

void mf_printenv() {
  if (mf_evs == HASH_HT_NULL || hash_count(mf_evs) == 0) return;
  imsg_print_shared(IMSG_TRACE_CONT, "mf", &imsg_common_table, IMSG_COMMON_EMPTY_LINE);
  imsg_print(IMSG_TRACE_CONT, &_mf_karsel_msg_table, MF_MSG_PRINTENV_HEADER);
  const char *name = nullptr;
  void *slot = nullptr;
  for (hash_cursor_t c = hash_str_next_in_order(mf_evs, nullptr, &name, &slot); c != nullptr;
       c = hash_str_next_in_order(mf_evs, c, &name, &slot)) {
    imsg_print(IMSG_TRACE_CONT, &_mf_karsel_msg_table, MF_MSG_PRINTENV_ENTRY, name,
               *static_cast<char **>(slot));
  }
}

void mf_finalize_getenv() {
  if (mf_evs == HASH_HT_NULL) return;
  void *slot = nullptr;
  for (hash_cursor_t c = hash_str_next_in_order(mf_evs, nullptr, nullptr, &slot); c != nullptr;
       c = hash_str_next_in_order(mf_evs, c, nullptr, &slot)) {
    stg_free(*static_cast<char **>(slot));
  }
  hash_delete_ht(&mf_evs);
  mf_evs = HASH_HT_NULL;
}

// ---------------------------------------------------------------------------------------------
// Parse facade.

namespace {

uint32_t mf_can_perform_pblds = 0;

bool null_cmf(mf_cmf_handle_t cmf) {
  if (cmf != nullptr) return false;
  imsg_print(IMSG_ERROR, &_mf_karsel_msg_table, MF_MSG_NULL_CMF);
  return true;
}

bool null_tgt(mf_tgt_entry_t *tgt) {
  if (tgt != nullptr) return false;
  imsg_print(IMSG_ERROR, &_mf_karsel_msg_table, MF_MSG_NULL_TGT);
  return true;
}

// A heap list of the array's strings (not copied); null for a null or empty array or when the
// list cannot be made.
list_handle_t array_to_list(char **array) {
  if (array == nullptr || array[0] == nullptr) return LIST_HANDLE_NULL;
  list_handle_t l = list_create(STG_AREA_HEAP, 0);
  if (l == LIST_HANDLE_NULL) return LIST_HANDLE_NULL;
  for (char **p = array; *p != nullptr; ++p) {
    if (list_append(l, *p) != KS_ST_OK) {
      list_destroy(l);
      return LIST_HANDLE_NULL;
    }
  }
  return l;
}

void destroy(list_handle_t l) {
  if (l != LIST_HANDLE_NULL) list_destroy(l);
}

bool is_gnu(uint32_t v) { return v == MF_COMPAT_PGNU || v == MF_COMPAT_GNU; }

// The decimal number text, or false when it is none.
bool decimal(const char *text, long *value) {
  if (text == nullptr || *text == '\0') return false;
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < 0 || v > INT32_MAX - 1) return false;
  *value = v;
  return true;
}

}  // namespace

ks_status_t mf_parse_bos(char **makefiles, char **bos_files, char **defs, uint32_t no_default_bos,
                         uint32_t compat_variant, mf_cmf_handle_t *out_cmf) {
  mf_initialize();
  list_handle_t mfs = array_to_list(makefiles);
  list_handle_t bos = array_to_list(bos_files);
  list_handle_t dl = array_to_list(defs);
  mf_cmf_handle_t local = nullptr;
  ks_status_t rc = KS_ST_ERR;
  pfm_frame([&] { rc = mfc_parse_bos(mfs, bos, dl, no_default_bos, compat_variant, &local); },
            [&](ks_status_t) {
              mf_require_free_mf_st(&local);
              destroy(mfs);
              destroy(bos);
              destroy(dl);
            });
  destroy(mfs);
  destroy(bos);
  destroy(dl);
  *out_cmf = local;
  return rc;
}

ks_status_t mf_parse_ext(char **makefiles, char **defs, const char *prog_name, int32_t make_level,
                         char **inc_dirs, char **goals, const char *parse_flags,
                         uint32_t compat_variant, mf_cmf_handle_t *io_cmf) {
  mf_initialize();
  list_handle_t mfs = array_to_list(makefiles);
  list_handle_t dl = array_to_list(defs);
  list_handle_t inc = array_to_list(inc_dirs);
  list_handle_t gl = array_to_list(goals);
  std::string level_def;
  auto release = [&] {
    destroy(mfs);
    destroy(dl);
    destroy(inc);
    destroy(gl);
  };
  if (is_gnu(compat_variant)) {
    if (dl == LIST_HANDLE_NULL) dl = list_create(STG_AREA_HEAP, 0);
    long level = 0;
    if (dl != LIST_HANDLE_NULL && decimal(std::getenv("MAKELEVEL"), &level)) {
      level_def = "MAKELEVEL=" + std::to_string(level);
      // The inherited level takes the place of an earlier definition of MAKELEVEL.
      bool replaced = false;
      void *d = nullptr;
      for (list_cursor_t c = list_next(dl, nullptr, &d); c != nullptr; c = list_next(dl, c, &d)) {
        std::string_view def(static_cast<const char *>(d));
        const size_t eq = def.find('=');
        PFM_ASSERT(eq != std::string_view::npos);
        std::string_view name = def.substr(0, eq);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
          name.remove_prefix(1);
        if (name == "MAKELEVEL") {
          list_set_data(dl, c, level_def.data());
          replaced = true;
          break;
        }
      }
      if (!replaced) list_append(dl, level_def.data());
    }
  }
  ks_status_t rc = KS_ST_ERR;
  pfm_frame(
      [&] {
        rc = mfc_parse_mf(mfs, dl, prog_name, make_level, inc, gl, parse_flags, compat_variant,
                          io_cmf);
      },
      [&](ks_status_t) {
        if (io_cmf != nullptr) mf_require_free_mf_st(io_cmf);
        release();
      });
  release();
  return rc;
}

ks_status_t mf_parse(char **makefiles, char **defs, const char *prog_name, int32_t make_level,
                     const char *parse_flags, uint32_t compat_variant, mf_cmf_handle_t *io_cmf) {
  return mf_parse_ext(makefiles, defs, prog_name, make_level, nullptr, nullptr, parse_flags,
                      compat_variant, io_cmf);
}

void mf_require_free_mf_st(mf_cmf_handle_t *cmf_p) {
  PFM_ASSERT(cmf_p != NULL);
  pfm_inhibit();
  if (*cmf_p != nullptr) mfc_free_cmf(*cmf_p);
  *cmf_p = nullptr;
  pfm_enable();
}

void mf_set_compat_variant_post_bos(uint32_t compat_variant, karsel_args *args,
                                    mf_cmf_handle_t cmf) {
  if (args != nullptr) args->compat_variant = compat_variant;
  if (cmf != nullptr) mfc_set_compat_variant_post_bos(compat_variant, cmf);
}

void mf_set_can_perform_parallel_builds(uint32_t flag) { mf_can_perform_pblds = flag; }
int mf_can_perform_parallel_builds() { return static_cast<int>(mf_can_perform_pblds); }

int32_t mf_set_make_level(uint32_t compat_variant, char **goals) {
  if (!is_gnu(compat_variant)) return 0;
  long level = 0;
  if (decimal(std::getenv("MAKELEVEL"), &level)) ++level;
  setenv("MAKELEVEL", std::to_string(level).c_str(), 1);
  std::string joined;
  for (char **g = goals; g != nullptr && *g != nullptr; ++g) {
    if (!joined.empty()) joined += ' ';
    joined += *g;
  }
  setenv("MAKECMDGOALS", joined.c_str(), 1);
  return static_cast<int32_t>(level);
}

ks_status_t mf_macro_validate_def(const char *text) {
  if (text != nullptr && text[0] != '\0' && std::strchr(text + 1, '=') != nullptr) return KS_ST_OK;
  imsg_print(IMSG_ERROR, &_mf_karsel_msg_table, MF_MSG_MALFORMED_DEF, text != nullptr ? text : "");
  return KS_ST_ERR;
}

ks_status_t mf_next_root_tgt(mf_cmf_handle_t cmf, list_cursor_t *pos, size_t size, char *buf) {
  if (null_cmf(cmf)) return KS_ST_ERR;
  return mfc_cmf_next_root_tgt(cmf, pos, size, buf);
}

ks_status_t mf_next_default_goal_tgt(mf_cmf_handle_t cmf, list_cursor_t *pos, size_t size,
                                     char *buf) {
  if (null_cmf(cmf)) return KS_ST_ERR;
  return mfc_cmf_next_default_goal_tgt(cmf, pos, size, buf);
}

ks_status_t mf_get_tgt_handle(mf_cmf_handle_t cmf, const char *name, mf_tgt_entry_t **out) {
  if (null_cmf(cmf)) return KS_ST_ERR;
  return mfc_cmf_get_tgt_h(cmf, name, out);
}

ks_status_t mf_get_known_tgt_handle(mf_cmf_handle_t cmf, const char *key, mf_tgt_entry_t *entry,
                                    mf_tgt_entry_t **out) {
  if (null_cmf(cmf)) return KS_ST_ERR;
  return mfc_cmf_get_known_tgt_h(cmf, key, entry, out);
}

ks_status_t mf_next_tgt_rule(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, list_cursor_t *inst) {
  if (null_cmf(cmf) || null_tgt(tgt)) return KS_ST_ERR;
  return mfc_cmf_next_tgt_rule(cmf, tgt, inst);
}

ks_status_t mf_tgt_rule_script(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, list_cursor_t inst,
                               size_t size, char *buf) {
  if (null_cmf(cmf) || null_tgt(tgt)) return KS_ST_ERR;
  return mfc_cmf_tgt_rule_script(cmf, tgt, inst, size, buf);
}

ks_status_t mf_tgt_rule_next_dep(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, list_cursor_t inst,
                                 list_cursor_t *pos, size_t size, char *buf) {
  if (null_cmf(cmf) || null_tgt(tgt)) return KS_ST_ERR;
  return mfc_cmf_tgt_rule_next_dep(cmf, tgt, inst, pos, size, buf);
}

ks_status_t mf_macro_expand_str(mf_cmf_handle_t cmf, const char *text, size_t *out_size,
                                char **out) {
  if (null_cmf(cmf)) return KS_ST_ERR;
  return mfc_cmf_macro_expand_str(cmf, text, out_size, out);
}

ks_status_t mf_tgt_inference_dep(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt, size_t size, char *buf) {
  if (null_cmf(cmf) || null_tgt(tgt)) return KS_ST_ERR;
  return mfc_cmf_tgt_inference_dep(cmf, tgt, size, buf);
}

ks_status_t mf_get_special_handle(mf_cmf_handle_t cmf, const char *name, list_handle_t *out) {
  if (null_cmf(cmf)) return KS_ST_ERR;
  return mfc_cmf_get_special_h(cmf, name, out);
}

ks_status_t mf_next_implicit_tgt(mf_cmf_handle_t cmf, hash_cursor_t *pos, char *buf, size_t size,
                                 mf_tgt_entry_t **out) {
  if (null_cmf(cmf)) return KS_ST_ERR;
  return mfc_cmf_next_implicit_tgt(cmf, pos, buf, size, out);
}

ks_status_t mf_macro_table(mf_cmf_handle_t cmf, list_handle_t *out) {
  if (null_cmf(cmf)) return KS_ST_ERR;
  return mfc_cmf_macro_table(cmf, out);
}

int mf_double_colon_tgt(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt) {
  if (null_cmf(cmf) || null_tgt(tgt)) return 0;
  int flag = 0;
  mfc_cmf_multiple_inst_tgt(cmf, tgt, &flag);
  return flag;
}

int mf_tgt_declared_precious(mf_cmf_handle_t cmf, mf_tgt_entry_t *tgt) {
  if (null_cmf(cmf) || null_tgt(tgt)) return 0;
  int flag = 0;
  mfc_cmf_tgt_declared_precious(cmf, tgt, &flag);
  return flag;
}

ks_status_t mf_get_next_mf_tgt_scoped_def(mf_cmf_handle_t cmf, void **cursor, size_t size,
                                          char *tgt_buf, char **name, char **value, uint32_t *op) {
  if (null_cmf(cmf)) return KS_ST_ERR;
  return mfc_cmf_get_next_mf_tgt_scoped_def(cmf, 0, cursor, size, tgt_buf, name, value, op);
}

ks_status_t mf_get_next_bos_tgt_scoped_def(mf_cmf_handle_t cmf, void **cursor, size_t size,
                                           char *tgt_buf, char **name, char **value, uint32_t *op) {
  if (null_cmf(cmf)) return KS_ST_ERR;
  return mfc_cmf_get_next_bos_tgt_scoped_def(cmf, 0, cursor, size, tgt_buf, name, value, op);
}

ks_status_t mf_get_next_special_value(list_handle_t list, list_cursor_t *pos, size_t size,
                                      char *buf) {
  return mfc_cmf_next_special_value(list, pos, size, buf);
}

const char *mf_get_next_macro(bldr_macro_table_t *table, hash_cursor_t *pos, size_t size,
                              char *name_buf) {
  return mfc_cmf_get_next_macro(table, pos, size, name_buf);
}
