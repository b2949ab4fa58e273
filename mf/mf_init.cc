#include "mf/mf_init.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ks/pfm.h"
#include "mf/mf.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"
#include "tbs/tbs_product.h"
#include "tbs/tbs_status.h"

namespace {

constexpr const char *kModule = "mf/mf_init";
// Bound of every builtin pathname, its NUL included.
constexpr size_t kPathSize = 1024;

constexpr const char *kSystemMk = "/usr/include/make/system.mk";
constexpr const char *kDefaultMk = "/usr/include/make/default.mk";
constexpr const char *kKeltoMk = "/usr/ccs/lib/kelto.mk";

const char *const mf_init_formats[] = {
    "Unable to access builtin makefile \"%s\" - %s\n",
    "Builtin makefile pathname \"%s%s\" is too long\n",
};
const uint16_t mf_init_catalog[] = {0, 1};

void report_missing(const char *path, ks_status_t st) {
  imsg_print(IMSG_ERROR, &_mf_init_karsel_msg_table, MF_INIT_MSG_NO_BUILTIN, path,
             tbs_strerror(st));
}

// dir "/" name, or empty after the too-long message when it does not fit the path bound.
std::string join(std::string_view dir, std::string_view name) {
  std::string path;
  path.reserve(dir.size() + 1 + name.size());
  path.append(dir).append("/").append(name);
  if (path.size() >= kPathSize) {
    std::string head(dir);
    imsg_print(IMSG_ERROR, &_mf_init_karsel_msg_table, MF_INIT_MSG_TOO_LONG, head.c_str(),
               ("/" + std::string(name)).c_str());
    return std::string();
  }
  return path;
}

// A copy of path in the parse area; KS_ST_ERR after an internal error when memory runs out.
ks_status_t copy_path(const std::string &path, char **out_path) {
  char *copy = stg_area_strdup(mf_parse_stg_area, path.c_str());
  if (copy == nullptr) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                      pfm_file_stem(__FILE__), __LINE__, 0);
    return KS_ST_ERR;
  }
  *out_path = copy;
  return KS_ST_OK;
}

// The search of mf_find_builtin_pn; report says whether a missing file is reported.
ks_status_t find_builtin(const char *file_name, char **out_path, bool report) {
  *out_path = nullptr;
  const char *override_dir = mf_getenv("ORVA_MK_BUILTINS");
  if (override_dir != nullptr) {
    std::string candidate = join(override_dir, file_name);
    if (candidate.empty()) return KS_ST_ERR;
    ks_status_t st = mf_utl_obj_exists(candidate.c_str());
    if (st == KS_ST_OK) return copy_path(candidate, out_path);
    if (st != KS_ST_NOT_FOUND) return st;
  }
  std::string candidate = join(tbs_product_etc_dir(), file_name);
  if (candidate.empty()) return KS_ST_ERR;
  ks_status_t st = mf_utl_obj_exists(candidate.c_str());
  if (st == KS_ST_NOT_FOUND && report) report_missing(candidate.c_str(), st);
  if (st != KS_ST_OK) return st;
  return copy_path(candidate, out_path);
}

// The builtins being collected: the out list is made at the first file.
class Builtins {
 public:
  explicit Builtins(list_handle_t *out) : out_(out) { *out_ = LIST_HANDLE_NULL; }

  ks_status_t add(char *path) {
    if (*out_ == LIST_HANDLE_NULL) {
      *out_ = list_create(mf_parse_stg_area, 0);
      if (*out_ == LIST_HANDLE_NULL) {
        imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_LIST_CREATE);
        return KS_ST_ERR;
      }
    }
    if (list_append(*out_, path) != 0) {
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
      return KS_ST_ERR;
    }
    return KS_ST_OK;
  }

  // Adds path as it is when it exists.
  ks_status_t add_copy(const std::string &path) {
    char *copy = nullptr;
    ks_status_t st = copy_path(path, &copy);
    return st == KS_ST_OK ? add(copy) : st;
  }

  // Adds the builtin file_name of the configuration directories.
  ks_status_t add_builtin(const char *file_name) {
    char *path = nullptr;
    ks_status_t st = find_builtin(file_name, &path, true);
    return st == KS_ST_OK ? add(path) : st;
  }

  // Adds the system makefile at system_path; a system without it (this one) gets the copy of
  // the product's configuration directories named leaf. Missing both: the message names the
  // system path, KS_ST_NOT_FOUND.
  ks_status_t add_system(const char *system_path, const char *leaf) {
    ks_status_t st = mf_utl_obj_exists(system_path);
    if (st == KS_ST_OK) return add_copy(system_path);
    if (st != KS_ST_NOT_FOUND) return st;
    char *path = nullptr;
    st = find_builtin(leaf, &path, false);
    if (st == KS_ST_OK) return add(path);
    if (st == KS_ST_NOT_FOUND) report_missing(system_path, st);
    return st;
  }

 private:
  list_handle_t *out_;
};

// The value of the command-line definition of MAKERULES, or null.
const char *makerules_value(list_handle_t defs) {
  if (defs == LIST_HANDLE_NULL) return nullptr;
  void *datum = nullptr;
  for (list_cursor_t c = list_next(defs, nullptr, &datum); c != nullptr;
       c = list_next(defs, c, &datum)) {
    const char *def = static_cast<const char *>(datum);
    if (def == nullptr) continue;
    const char *eq = std::strchr(def, '=');
    if (eq == nullptr || eq == def) continue;
    std::string_view name(def, size_t(eq - def));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    if (name != "MAKERULES") continue;
    const char *value = eq + 1;
    while (*value == ' ' || *value == '\t') value++;
    return value;
  }
  return nullptr;
}

}  // namespace

const imsg_msg_table_t _mf_init_karsel_msg_table = {
    "karsel_bin", kModule, 113, sizeof mf_init_formats / sizeof mf_init_formats[0],
    mf_init_formats, mf_init_catalog,
};

stg_area_t mf_parse_stg_area = STG_AREA_HEAP;

ks_status_t mf_find_builtin_pn(const char *file_name, char **out_path) {
  return find_builtin(file_name, out_path, true);
}

namespace {

// The builtin makefiles of the dialects other than std, added by builtins. Out of line: a run
// reads one dialect, most often std.
[[gnu::noinline]] ks_status_t add_dialect_builtins(Builtins &builtins, int no_builtins,
                                                   uint32_t compat_variant,
                                                   list_handle_t cmd_line_defs) {
  ks_status_t st = KS_ST_OK;
  switch (compat_variant) {
    case MF_COMPAT_SGISMAKE:
    case MF_COMPAT_SGIPMAKE:
    case MF_COMPAT_BSDNETR2: {
      if (no_builtins) break;
      const char *toolroot = std::getenv("TOOLROOT");
      if (toolroot != nullptr && *toolroot != '\0') {
        if (std::strlen(toolroot) + std::strlen(kSystemMk) >= kPathSize) {
          imsg_print(IMSG_ERROR, &_mf_init_karsel_msg_table, MF_INIT_MSG_TOO_LONG, toolroot,
                     kSystemMk);
          st = KS_ST_ERR;
          break;
        }
        std::string path = std::string(toolroot) + kSystemMk;
        ks_status_t exists = mf_utl_obj_exists(path.c_str());
        if (exists == KS_ST_OK) {
          st = builtins.add_copy(path);
          break;
        }
        if (exists != KS_ST_NOT_FOUND) {
          st = exists;
          break;
        }
      }
      st = builtins.add_system(kSystemMk, "system.mk");
      break;
    }

    case MF_COMPAT_SUN:
      st = builtins.add_builtin("sunvars.mk");
      if (st != KS_ST_OK || no_builtins) break;
      st = builtins.add_builtin("sunbuiltin.mk");
      if (st != KS_ST_OK) break;
      st = mf_utl_obj_exists("default.mk");
      if (st == KS_ST_OK) st = builtins.add_copy("default.mk");
      else if (st == KS_ST_NOT_FOUND) st = builtins.add_system(kDefaultMk, "default.mk");
      break;

    case MF_COMPAT_GNU:
      for (const char *file_name : {"gnubuiltinvars.mk", "gnubuiltin.mk"}) {
        char *path = nullptr;
        st = find_builtin(file_name, &path, true);
        if (st == KS_ST_OK) st = builtins.add(path);
        else if (st != KS_ST_NOT_FOUND) report_missing(file_name, st);
        if (st != KS_ST_OK || no_builtins) break;
      }
      break;

    case MF_COMPAT_KELTO: {
      if (no_builtins) break;
      const char *rules = makerules_value(cmd_line_defs);
      if (rules != nullptr) {
        ks_status_t exists = mf_utl_obj_exists(rules);
        if (exists == KS_ST_OK) {
          st = builtins.add_copy(rules);
          break;
        }
        if (exists == KS_ST_NOT_FOUND) {
          report_missing(rules, exists);
          st = exists;
          break;
        }
      }
      st = builtins.add_system(kKeltoMk, "kelto.mk");
      break;
    }

    default:
      break;
  }
  return st;
}

}  // namespace

ks_status_t mf_init_builtins(int no_builtins, uint32_t compat_variant, list_handle_t *out_list,
                             list_handle_t cmd_line_defs) {
  Builtins builtins(out_list);
  if (compat_variant != MF_COMPAT_STD)
    return add_dialect_builtins(builtins, no_builtins, compat_variant, cmd_line_defs);
  return no_builtins ? KS_ST_OK : builtins.add_builtin("builtin.mk");
}

const char *mf_init_default_mf(uint32_t compat_variant) {
  static const char *const kSgipmake[] = {"Makefile", "makefile", nullptr};
  static const char *const kGnu[] = {"GNUmakefile", "makefile", "Makefile", nullptr};
  static const char *const kOthers[] = {"makefile", "Makefile", nullptr};
  const char *const *names = kOthers;
  if (compat_variant == MF_COMPAT_SGIPMAKE) names = kSgipmake;
  else if (compat_variant == MF_COMPAT_PGNU || compat_variant == MF_COMPAT_GNU) names = kGnu;
  for (; *names != nullptr; names++)
    if (mf_utl_obj_exists(*names) == KS_ST_OK) return *names;
  return nullptr;
}
