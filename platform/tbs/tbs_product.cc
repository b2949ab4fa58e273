#include "tbs/tbs_product.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::string parent_dir(const std::string &path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_name(const std::string &path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string loaded_home();

// A per-thread copy that stays valid until the same function is called again.
const char *keep(int slot, std::string text) {
  static thread_local std::string kept[4];
  kept[slot] = std::move(text);
  return kept[slot].c_str();
}

}  // namespace

std::string tbs_site_dir() {
  const char *home = std::getenv("VESSARY_HOME");
  if (home && *home) {
    // Names stored in the registry must not depend on the directory a program started in.
    if (home[0] == '/') return home;
    char cwd[4096];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + home : std::string(home);
  }
  const char *user_home = std::getenv("HOME");
  if (user_home && *user_home) return std::string(user_home) + "/.vessary";
  return std::string();
}

std::string tbs_registry_pname() {
  std::string site = tbs_site_dir();
  return site.empty() ? site : site + "/registry.db";
}

const char *tbs_view_root() {
  // Under an absolute site directory the root is kept while the site stays the same: name
  // resolution asks for it at every name.
  const char *home = std::getenv("VESSARY_HOME");
  if (home && home[0] == '/') {
    static thread_local std::string home_seen, root;
    if (root.empty() || home_seen != home) {
      home_seen = home;
      root = home_seen + "/view";
    }
    return root.c_str();
  }
  std::string site = tbs_site_dir();
  return keep(0, site.empty() ? site : site + "/view");
}

std::string tbs_product_home() {
  for (const char *name : {"ZELVANEHOME", "VOSSELHOME", "VESSARY_PRODUCT_HOME"}) {
    const char *home = std::getenv(name);
    if (home && *home) return home;
  }
  return tbs_product_loaded_home();
}

std::string tbs_product_loaded_home() {
  // Found once per process: the file the code was loaded from does not change.
  static const std::string home = loaded_home();
  return home;
}

namespace {

// The home of the file this code was loaded from: the shared library, or the program that links
// it in. The loader names a program as it was started, perhaps without a directory, so a program
// is found through /proc instead.
std::string loaded_home() {
  Dl_info info;
  struct link_map *map = nullptr;
  if (dladdr1(reinterpret_cast<void *>(&tbs_product_home), &info, reinterpret_cast<void **>(&map),
              RTLD_DL_LINKMAP) &&
      info.dli_fname) {
    const bool in_program = map != nullptr && map->l_name[0] == '\0';
    char real[4096];
    if (realpath(in_program ? "/proc/self/exe" : info.dli_fname, real)) {
      // "<prefix>/lib/libx.so", "<prefix>/lib/<multiarch triplet>/libx.so" or "<prefix>/bin/x".
      std::string lib_dir = parent_dir(real);
      std::string above = parent_dir(lib_dir);
      if (base_name(above) == "lib" && base_name(lib_dir).find('-') != std::string::npos)
        return parent_dir(above);
      return above;
    }
  }
  return ".";
}

bool is_dir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The configuration directory of a product home. A CMake build tree has no "etc" of its own:
// its configuration is the "config" folder of the source tree it was configured from.
std::string find_etc_dir(const std::string &home) {
  std::string etc = home + "/etc";
  if (is_dir(etc)) return etc;
  // Read with stdio: a C++ stream would set up the whole locale machinery at every start.
  FILE *cache = std::fopen((home + "/CMakeCache.txt").c_str(), "r");
  if (!cache) return etc;
  static const char kKey[] = "CMAKE_HOME_DIRECTORY:INTERNAL=";
  char *line = nullptr;
  size_t cap = 0;
  ssize_t len;
  while ((len = getline(&line, &cap, cache)) >= 0) {
    if (std::strncmp(line, kKey, sizeof kKey - 1) != 0) continue;
    if (len > 0 && line[len - 1] == '\n') line[--len] = '\0';
    std::string source_config = std::string(line + sizeof kKey - 1) + "/config";
    if (is_dir(source_config)) etc = source_config;
    break;
  }
  std::free(line);
  std::fclose(cache);
  return etc;
}

// find_etc_dir of home, looked for once per home in a process.
std::string etc_dir_of(const std::string &home) {
  static std::mutex lock;
  static std::string home_seen, etc_seen;
  std::lock_guard<std::mutex> hold(lock);
  if (etc_seen.empty() || home != home_seen) {
    etc_seen = find_etc_dir(home);
    home_seen = home;
  }
  return etc_seen;
}

}  // namespace

const char *tbs_product_etc_dir() { return keep(1, etc_dir_of(tbs_product_home())); }

const char *tbs_product_config_dir(const char *name) {
  return keep(2, etc_dir_of(tbs_product_home()) + "/" + (name ? name : ""));
}

const char *tbs_product_server_dir() { return keep(3, tbs_product_home() + "/bin"); }

char *tbs_product_tool_dir(char *buf, const char *name) {
  if (!buf || !name || !*name || std::strchr(name, '/')) return nullptr;
  std::string path = tbs_product_home() + "/bin/" + name;
  if (path.size() >= 1024 || access(path.c_str(), X_OK) != 0) return nullptr;
  std::memcpy(buf, path.c_str(), path.size() + 1);
  return buf;
}
