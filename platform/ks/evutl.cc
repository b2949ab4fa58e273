// Environment blocks and the default environment of children.
#include "ks/evutl.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern char **environ;

struct evutl_env_t {
  std::vector<std::string> entries;
  std::vector<char *> array;  // rebuilt by evutl_env2environ
};

namespace {

std::unique_ptr<evutl_env_t> default_override;

// What an audit puts into the process environment for its children (see the audit engine).
const char *const audit_names[] = {"LD_PRELOAD", "ASAN_OPTIONS", "VESSARY_AUDIT_FILE",
                                   "VESSARY_AUDIT_FLAGS", "VESSARY_AUDIT_BHANDLE",
                                   "VESSARY_AUDIT_ID"};

size_t name_len(const std::string &entry) {
  size_t eq = entry.find('=');
  return eq == std::string::npos ? entry.size() : eq;
}

// The entry of name: the entry "name=..." or an entry that is name alone. Only entries that
// begin with name are looked at further, so a search costs about one comparison per entry.
std::vector<std::string>::iterator find(evutl_env_t *env, std::string_view name) {
  const size_t n = name.size();
  for (auto it = env->entries.begin(); it != env->entries.end(); ++it) {
    if (it->size() < n || it->compare(0, n, name) != 0) continue;
    if (it->size() == n ? it->find('=') == std::string::npos : (*it)[n] == '=' && name_len(*it) == n)
      return it;
  }
  return env->entries.end();
}

void set(evutl_env_t *env, std::string_view name, std::string_view value) {
  std::string entry = std::string(name) + "=" + std::string(value);
  auto it = find(env, name);
  if (it != env->entries.end())
    *it = std::move(entry);
  else
    env->entries.push_back(std::move(entry));
}

}  // namespace

ks_status_t evutl_copy_default_environ(int selector, evutl_env_t **out) {
  (void)selector;
  if (!out) return KS_ST_ERR;
  auto env = std::make_unique<evutl_env_t>();
  if (default_override) {
    env->entries = default_override->entries;
    // The override may predate the audit: the audit state comes from the process environment.
    if (getenv("VESSARY_AUDIT_FILE")) {
      for (const char *name : audit_names) {
        const char *v = getenv(name);
        if (v)
          set(env.get(), name, v);
        else
          evutl_unsetenv(env.get(), name);
      }
    } else {
      // an audit that ended since the override was made must not reach the children
      evutl_unsetenv(env.get(), "VESSARY_AUDIT_FILE");
      evutl_unsetenv(env.get(), "VESSARY_AUDIT_FLAGS");
      evutl_unsetenv(env.get(), "VESSARY_AUDIT_ID");
    }
  } else {
    for (char **e = environ; e && *e; ++e) env->entries.emplace_back(*e);
  }
  *out = env.release();
  return KS_ST_OK;
}

ks_status_t evutl_setenv(evutl_env_t *env, const char *name, const char *value) {
  if (!env || !name) return KS_ST_ERR;
  if (!value) {
    const char *eq = strchr(name, '=');
    if (!eq) return KS_ST_ERR;
    set(env, std::string_view(name, eq - name), eq + 1);
    return KS_ST_OK;
  }
  set(env, name, value);
  return KS_ST_OK;
}

ks_status_t evutl_setenv2(evutl_env_t *env, const char *name, const char *value) {
  return evutl_setenv(env, name, value);
}

ks_status_t evutl_unsetenv(evutl_env_t *env, const char *name) {
  if (!env) return KS_ST_ERR;
  if (!name) return KS_ST_OK;
  auto it = find(env, name);
  if (it != env->entries.end()) env->entries.erase(it);
  return KS_ST_OK;
}

const char *evutl_getenv(const evutl_env_t *env, const char *name) {
  if (!env || !name) return nullptr;
  auto it = find(const_cast<evutl_env_t *>(env), name);
  if (it == env->entries.end()) return nullptr;
  return it->c_str() + name_len(*it) + 1;
}

char **evutl_env2environ(evutl_env_t *env) {
  if (!env) return nullptr;
  env->array.clear();
  for (auto &e : env->entries) env->array.push_back(e.data());
  env->array.push_back(nullptr);
  return env->array.data();
}

ks_status_t evutl_override_default_environ(const evutl_env_t *env) {
  if (!env) return KS_ST_ERR;
  auto copy = std::make_unique<evutl_env_t>();
  copy->entries = env->entries;
  default_override = std::move(copy);
  return KS_ST_OK;
}

ks_status_t evutl_restore_default_environ() {
  default_override.reset();
  return KS_ST_OK;
}

void evutl_free(evutl_env_t *env) { delete env; }
