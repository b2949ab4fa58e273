#include "tolvick/tolvick_env.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ks/imsg.h"
#include "ks/list.h"
#include "ks/stg.h"
#include "ks/strutl.h"
#include "mf/bldr_macro.h"
#include "mf/mf.h"
#include "mf/mf_utl.h"

namespace {

const char kModule[] = "tolvick";

void no_memory() { imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY); }

// A null-terminated copy of the strings in area.
char **to_array(const std::vector<std::string> &words, stg_area_t area) {
  auto **out = static_cast<char **>(stg_calloc(area, (words.size() + 1) * sizeof(char *)));
  if (out == nullptr) return nullptr;
  for (size_t i = 0; i < words.size(); i++)
    if ((out[i] = stg_area_strdup(area, words[i].c_str())) == nullptr) return nullptr;
  return out;
}

}  // namespace

bool tolvick_env_include_dirs(karsel_args *args, stg_area_t area) {
  const char *dirs = mf_getenv("ORVA_MF_INC_DIRS");
  if (dirs == nullptr || *dirs == '\0') return true;
  std::vector<std::string> list;
  std::vector<char> flags(MF_MAKEFLAGS_BUF_SIZE, '\0');
  const char *orva = std::getenv("ORVA_MAKEFLAGS");
  if (mf_getenv("ORVA_IGNORE_ORVA_MAKEFLAGS") != nullptr || orva == nullptr) {
    const char *mflags = std::getenv("MAKEFLAGS");
    if (mflags && strutl_cpy_buf(flags.data(), flags.size(), mflags) != KS_ST_OK) {
      imsg_print(IMSG_ERROR, &_mf_parse_cmd_line_karsel_msg_table, 13);
      return false;
    }
  }
  std::string copy(dirs);
  char *state = nullptr;
  for (char *w = strutl_tokenize(copy.data(), " \t", &state); w;
       w = strutl_tokenize(nullptr, " \t", &state)) {
    list.emplace_back(w);
    if (!mf_parse_opt_included(flags.data(), 'I', nullptr, w))
      mf_parse_add_flag_to_makeflags(flags.data(), 'I', nullptr, w, flags.size(), 1);
  }
  if (flags[0] != '\0') {
    if (mf_utl_putenv_var("ORVA_MAKEFLAGS", flags.data(), 0) != KS_ST_OK) return false;
    char *standard = mf_parse_remove_nonstandard_flags(flags.data());
    const bool ok = standard && mf_utl_putenv_var("MAKEFLAGS", standard, 0) == KS_ST_OK;
    stg_free(standard);
    if (!ok) return false;
  }
  for (char **d = args->include_dirs; d && *d; d++) {
    bool seen = false;
    for (const std::string &s : list) seen = seen || s == *d;
    if (!seen) list.emplace_back(*d);
  }
  char **array = to_array(list, area);
  if (array == nullptr) {
    no_memory();
    return false;
  }
  args->include_dirs = array;
  std::string joined;
  for (const std::string &s : list) joined += (joined.empty() ? "" : " ") + s;
  if (mf_utl_putenv_var("ORVA_MF_INC_DIRS", joined.c_str(), 0) != KS_ST_OK) {
    no_memory();
    return false;
  }
  return true;
}

ks_status_t tolvick_env_makeoverrides_in(karsel_args *args, stg_area_t area) {
  const char *value = mf_getenv("MAKEOVERRIDES");
  if (value == nullptr || *value == '\0') return KS_ST_OK;
  // Words at unescaped blanks; a backslash takes the next character as it is.
  const std::vector<std::string> words = mf_utl_escaped_words(value);
  list_handle_t defs = list_create(STG_AREA_HEAP, 0);
  if (defs == LIST_HANDLE_NULL) {
    no_memory();
    return KS_ST_ERR;
  }
  for (const std::string &w : words)
    if (w.find('=') != std::string::npos) list_append(defs, stg_strdup(w.c_str()));
  for (char **d = args->macro_defs; d && *d; d++) mf_utl_replace_or_append_macro_value(defs, *d);
  std::vector<std::string> result;
  void *x = nullptr;
  for (list_cursor_t c = list_next(defs, nullptr, &x); c; c = list_next(defs, c, &x)) {
    result.emplace_back(static_cast<const char *>(x));
    stg_free(x);
  }
  list_destroy(defs);
  char **array = to_array(result, area);
  if (array == nullptr) {
    no_memory();
    return KS_ST_ERR;
  }
  args->macro_defs = array;
  return KS_ST_OK;
}

bool tolvick_env_makeoverrides_out(const karsel_args *args, mf_cmf_handle_t cmf) {
  std::string text;
  for (char **d = args->macro_defs; d && *d; d++)
    text += (text.empty() ? "" : " ") + mf_utl_escaped(*d);
  list_handle_t tables = LIST_HANDLE_NULL;
  mf_macro_table(cmf, &tables);
  const char *own = bldr_macro_lookup(tables, "MAKEOVERRIDES", nullptr);
  if (own == nullptr || bldr_macro_origin(tables, "MAKEOVERRIDES") == BLDR_MACRO_ORIGIN_ENV) {
    if (text.empty()) return true;
    if (mf_utl_putenv_var("MAKEOVERRIDES", text.c_str(), 0) != KS_ST_OK) return false;
  } else if (mf_utl_putenv_var("MAKEOVERRIDES", own, 1) != KS_ST_OK) {
    return false;
  }
  if (!text.empty() && mf_utl_putenv_var("ORVA_CMDL_VARS", text.c_str(), 0) != KS_ST_OK)
    return false;
  return true;
}
