#include "ks/sysutl_user.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The password entry of name or uid (name null), copied out.
bool lookup(const char *name, uid_t uid, std::string *login, std::string *home,
            std::string *shell = nullptr) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
  struct passwd pw;
  struct passwd *result = nullptr;
  const int rc = name != nullptr ? getpwnam_r(name, &pw, buf.data(), buf.size(), &result)
                                 : getpwuid_r(uid, &pw, buf.data(), buf.size(), &result);
  if (rc != 0 || result == nullptr) return false;
  if (login != nullptr) *login = pw.pw_name != nullptr ? pw.pw_name : "";
  if (home != nullptr) *home = pw.pw_dir != nullptr ? pw.pw_dir : "";
  if (shell != nullptr) *shell = pw.pw_shell != nullptr ? pw.pw_shell : "";
  return true;
}

}  // namespace

const char *sysutl_myloginname() {
  static std::string name;
  if (lookup(nullptr, getuid(), &name, nullptr) && !name.empty()) return name.c_str();
  for (const char *var : {"LOGNAME", "USER"}) {
    const char *v = std::getenv(var);
    if (v != nullptr && *v != '\0') {
      name = v;
      return name.c_str();
    }
  }
  return nullptr;
}

ks_status_t sysutl_get_homedir(const char *user, char *buf, size_t size) {
  std::string home;
  if (user == nullptr || !lookup(user, 0, nullptr, &home)) return KS_ST_NOT_FOUND;
  if (home.size() + 1 > size) return KS_ST_NAME_TOO_LONG;
  std::memcpy(buf, home.c_str(), home.size() + 1);
  return KS_ST_OK;
}

const char *sysutl_get_shell_info() {
  static std::string shell;
  if (shell.empty() && (!lookup(nullptr, getuid(), nullptr, nullptr, &shell) || shell.empty()))
    shell = "/bin/sh";
  return shell.c_str();
}

const char *sysutl_mygroupname() {
  static std::string name;
  std::vector<char> buf(16384);
  struct group gr, *found = nullptr;
  if (getgrgid_r(getgid(), &gr, buf.data(), buf.size(), &found) != 0 || found == nullptr ||
      found->gr_name == nullptr)
    return nullptr;
  name = found->gr_name;
  return name.c_str();
}
