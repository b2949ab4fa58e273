#include "ks/wild.h"

#include <glob.h>

#include <cstring>
#include <string>

#include "ks/stg.h"

namespace {

// Frees the glob result on every way out.
struct GlobResult {
  glob_t g{};
  ~GlobResult() { globfree(&g); }
};

}  // namespace

ks_status_t wild_glob(const char *pattern, const char *dir, char **text) {
  if (text == nullptr) return KS_ST_ERR;
  *text = nullptr;
  if (pattern == nullptr) return KS_ST_ERR;

  // A relative pattern under another directory is globbed with that directory in front; the
  // prefix is taken off the names again.
  std::string prefix;
  if (pattern[0] != '/' && dir != nullptr && dir[0] != '\0' && std::strcmp(dir, ".") != 0) {
    prefix = dir;
    if (prefix.back() != '/') prefix += '/';
  }
  std::string full = prefix + pattern;

  GlobResult r;
  int rc = glob(full.c_str(), GLOB_NOCHECK, nullptr, &r.g);
  if (rc == GLOB_NOSPACE) return KS_ST_NO_MEMORY;
  if (rc != 0) return KS_ST_ERR;

  std::string joined;
  for (size_t i = 0; i < r.g.gl_pathc; i++) {
    const char *name = r.g.gl_pathv[i];
    if (!prefix.empty() && std::strncmp(name, prefix.c_str(), prefix.size()) == 0) {
      name += prefix.size();
    }
    if (!joined.empty()) joined += ' ';
    joined += name;
  }
  *text = stg_strdup(joined.c_str());
  return *text != nullptr ? KS_ST_OK : KS_ST_NO_MEMORY;
}
