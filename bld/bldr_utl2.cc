// Builder utilities of build-script lines: the script's environment, the command prefixes of a
// line with the test whether it needs a shell, the build shell and its flags.
#include <cstring>

#include "bld/bldr_make.h"
#include "bld/bldr_utl.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "ks/sysutl_user.h"
#include "mf/bldr_macro.h"
#include "mf/mf.h"
#include "mf/mf_utl.h"
#include "mf/mfc.h"

namespace {

const char kTraceName[] = "bld/bldr_utl";

enum {
  MSG_SET_EV = 8,
  MSG_MALFORMED_EV = 9,
  MSG_EV_ALREADY_SET = 10,
  MSG_EV_NAME_TOO_LONG = 85,
};

// Characters that make a command need a shell.
const char kShellMeta[] = "#|=^();&<>{}*?[]$'`\"\\~";

// The build shell, computed once (recomputed while it is empty), and whether it is the user's
// login shell.
const char *shell_pname = nullptr;
int shell_is_default = 0;

}  // namespace

ks_status_t bldr_utl_construct_env(size_t n_imposed, char *const *imposed, size_t n_added,
                                   char *const *added, int selector, evutl_env_t **out) {
  *out = nullptr;
  evutl_env_t *env = nullptr;
  if (evutl_copy_default_environ(selector, &env) != KS_ST_OK) return KS_ST_ERR;
  for (size_t i = 0; i < n_imposed; i++) {
    if (evutl_setenv(env, imposed[i], nullptr) != KS_ST_OK) {
      imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_MALFORMED_EV, imposed[i]);
      evutl_free(env);
      return KS_ST_ERR;
    }
    if (mf_utl_should_trace(kTraceName, 2))
      imsg_print(IMSG_TRACE, &_bldr_utl_karsel_msg_table, MSG_SET_EV, imposed[i]);
  }
  for (size_t i = 0; i < n_added; i++) {
    const char *eq = std::strchr(added[i], '=');
    if (eq == nullptr) {
      imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_MALFORMED_EV, added[i]);
      evutl_free(env);
      return KS_ST_ERR;
    }
    const size_t name_len = size_t(eq - added[i]);
    if (name_len >= 1024) {
      if (mf_verbosity > 0 || imsg_get_desired_verbosity() >= 1) {
        char shown[1024];
        std::memcpy(shown, added[i], 1023);
        shown[1023] = '\0';
        imsg_print(IMSG_WARNING, &_bldr_utl_karsel_msg_table, MSG_EV_NAME_TOO_LONG, shown);
      }
      continue;
    }
    char name[1024];
    std::memcpy(name, added[i], name_len);
    name[name_len] = '\0';
    if (evutl_getenv(env, name) != nullptr) {
      if (mf_utl_should_trace(kTraceName, 3))
        imsg_print(IMSG_TRACE, &_bldr_utl_karsel_msg_table, MSG_EV_ALREADY_SET, name);
      continue;
    }
    if (evutl_setenv(env, added[i], nullptr) != KS_ST_OK) {
      evutl_free(env);
      return KS_ST_ERR;
    }
    if (mf_utl_should_trace(kTraceName, 2))
      imsg_print(IMSG_TRACE, &_bldr_utl_karsel_msg_table, MSG_SET_EV, added[i]);
  }
  *out = env;
  return KS_ST_OK;
}

const char *bldr_utl_line_to_exec(const char *line, int plus_mode, int *ignore, int *silent,
                                  int *plus, int *needs_shell) {
  if (line == nullptr || *line == '\0') return line;
  int ign = 0, sil = 0, pl = 0;
  const char *p = line;
  for (;; p++) {
    if (*p == ' ' || *p == '\t') continue;
    if (*p == '-') ign = 1;
    else if (*p == '@') sil = 1;
    else if (*p == '+' && plus_mode) pl = 1;
    else break;
  }
  if (ignore) *ignore = ign;
  if (silent) *silent = sil;
  if (plus) *plus = pl;
  // The whole line is searched only for a caller that asks.
  if (needs_shell) {
    int shell = std::strpbrk(p, kShellMeta) != nullptr;
    if (!shell && std::strchr(p, ':') != nullptr) {
      const char *q = p;
      while (*q == ' ' || *q == '\t') q++;
      shell = *q == ':';
    }
    *needs_shell = shell;
  }
  return p;
}

const char *bldr_utl_shell_pname(int *is_default) {
  PFM_ASSERT(bldr_command_handle != NULL);
  if (STRUTL_IS_NULL(shell_pname)) {
    stg_free(const_cast<char *>(shell_pname));
    shell_pname = nullptr;
    shell_is_default = 0;
    if (bldr_command_handle->dialect == MF_COMPAT_KELTO) {
      const char *v = mf_getenv("MAKESHELL");
      if (!STRUTL_IS_NULL(v)) shell_pname = stg_strdup(v);
    }
    if (shell_pname == nullptr) {
      char *value = nullptr;
      if (bldr_macro_expand_line_list(mfc_mf_macro_table_list,
                                      bldr_macro_compat_to_macro_flavor(bldr_command_handle->dialect),
                                      "$(SHELL)", 1, STG_AREA_HEAP, &value, LIST_HANDLE_NULL,
                                      STG_AREA_HEAP) == KS_ST_OK &&
          !STRUTL_IS_NULL(value))
        shell_pname = value;
      else
        stg_free(value);
    }
    if (shell_pname == nullptr) {
      shell_pname = stg_strdup(sysutl_get_shell_info());
      shell_is_default = 1;
    }
  }
  if (is_default) *is_default = shell_is_default;
  return shell_pname ? shell_pname : "/bin/sh";
}

void bldr_utl_forget_shell_pname() {
  stg_free(const_cast<char *>(shell_pname));
  shell_pname = nullptr;
  shell_is_default = 0;
}

bool bldr_utl_remove_shell_flags(const char *shell, char *pathname, size_t pathname_size,
                                 char *flags, size_t flags_size) {
  PFM_ASSERT(!STRUTL_IS_NULL (shell));
  PFM_ASSERT(pathname_size > 0);
  PFM_ASSERT(flags_size > 0);
  const char *split = std::strstr(shell, " -");
  if (split == nullptr) return false;
  size_t n = size_t(split - shell);
  if (n >= pathname_size) n = pathname_size - 1;
  std::memcpy(pathname, shell, n);
  pathname[n] = '\0';
  const char *f = split + 1;
  size_t m = std::strlen(f);
  if (m >= flags_size) m = flags_size - 1;
  std::memcpy(flags, f, m);
  flags[m] = '\0';
  return true;
}
