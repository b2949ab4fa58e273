#include "vob/vob_pname.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "ks/fileutl.h"
#include "tbs/tbs_product.h"

namespace {

// Resolved directories, checked against the directory's identity (and whether its name is a
// link) on every use so that a directory replaced by another (or by a link) is resolved again.
// A directory named below the view root also keeps the root's canonical form as it stood when
// the directory was resolved: a root moved or relinked elsewhere changes the identity of every
// directory found through it, so a directory still found the same vouches for the root too.
struct ResolvedDir {
  std::string real;
  dev_t dev;
  ino_t ino;
  bool link;               // the name was a symbolic link
  unsigned hold;           // the hold in which it was last checked (0: none)
  std::string root;        // the view root as named when resolved ("" when not below it)
  std::string root_real;   // its canonical form then
};

// Looked up by a part of a longer name without copying it.
struct DirHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

std::mutex cache_lock;
std::unordered_map<std::string, ResolvedDir, DirHash, std::equal_to<>> dir_cache;
unsigned hold_depth = 0;   // nesting of open holds
unsigned hold_serial = 0;  // the current hold, while hold_depth is not 0

// Whether abs is an absolute name without repeated or trailing slashes and without "." or ".."
// components: what lexical_clean makes of it is the name itself.
bool lexically_clean(const std::string &abs) {
  const size_t n = abs.size();
  if (n == 0 || abs[0] != '/') return false;
  if (n == 1) return true;
  if (abs[n - 1] == '/') return false;
  for (size_t i = abs.find('/'); i != std::string::npos; i = abs.find('/', i + 1)) {
    const size_t j = i + 1;  // the component after the slash
    if (abs[j] == '/') return false;
    if (abs[j] == '.' && (j + 1 == n || abs[j + 1] == '/' ||
                          (abs[j + 1] == '.' && (j + 2 == n || abs[j + 2] == '/'))))
      return false;
  }
  return true;
}

// "." and ".." and repeated slashes removed without looking at the file system.
std::string lexical_clean(const std::string &abs) {
  if (lexically_clean(abs)) return abs;
  std::string out;
  out.reserve(abs.size());
  size_t i = 0;
  while (i < abs.size()) {
    size_t j = abs.find('/', i);
    if (j == std::string::npos) j = abs.size();
    const size_t n = j - i;
    if (n == 2 && abs[i] == '.' && abs[i + 1] == '.') {
      size_t last = out.rfind('/');
      out.resize(last == std::string::npos ? 0 : last);
    } else if (n > 0 && !(n == 1 && abs[i] == '.')) {
      out += '/';
      out.append(abs, i, n);
    }
    i = j + 1;
  }
  if (out.empty()) out = "/";
  return out;
}

// *root: the view root's canonical form as vouched for by the entry of a directory resolved
// below it; empty when the entry does not vouch for the root named.
void vouch_root(const ResolvedDir &d, std::string_view named, std::string *root) {
  if (!d.root.empty() && d.root == named) *root = d.root_real;
  else root->clear();
}

// Whether dir is the view root (as named now, in *root until the next call) or lies below it.
bool below_root(std::string_view dir, std::string_view *root) {
  const char *named = tbs_view_root();
  *root = named ? named : "";
  if (root->empty() || !std::string_view(dir).starts_with(*root)) return false;
  return dir.size() == root->size() || dir[root->size()] == '/';
}

// realpath(3) of name into *real; false when it fails.
bool real_path(const std::string &name, std::string *real) {
  char buf[PATH_MAX];
  if (!realpath(name.c_str(), buf)) return false;
  *real = buf;
  return true;
}

// The canonical form of the directory dir in *real, from the cache when dir is still the
// directory resolved before. With root set, *root is set too: the view root's canonical form
// when the resolution vouches for it (see ResolvedDir), else empty. False when dir cannot be
// resolved.
bool resolve_dir(std::string_view dir, std::string *real, std::string *root = nullptr) {
  if (root) root->clear();
  std::string_view named;
  const bool below = below_root(dir, &named);
  unsigned serial = 0;
  {
    std::lock_guard<std::mutex> hold(cache_lock);
    serial = hold_depth ? hold_serial : 0;
    auto it = dir_cache.find(dir);
    if (serial && it != dir_cache.end() && it->second.hold == serial) {
      *real = it->second.real;
      if (root) vouch_root(it->second, named, root);
      return true;
    }
  }
  const std::string root_named(named);
  const std::string dir_name(dir);
  // A directory that is not a link has the same identity whether followed or not, and its
  // canonical form is its parent's with its own name appended: only links are read.
  struct stat st;
  if (lstat(dir_name.c_str(), &st) != 0) return false;
  const bool link = S_ISLNK(st.st_mode);
  if (link && stat(dir_name.c_str(), &st) != 0) return false;
  {
    std::lock_guard<std::mutex> hold(cache_lock);
    auto it = dir_cache.find(dir);
    if (it != dir_cache.end() && it->second.dev == st.st_dev && it->second.ino == st.st_ino &&
        it->second.link == link) {
      it->second.hold = serial;
      *real = it->second.real;
      if (root) vouch_root(it->second, root_named, root);
      return true;
    }
  }
  const size_t slash = dir_name.rfind('/');
  if (link || !S_ISDIR(st.st_mode) || dir_name.size() == 1 || !lexically_clean(dir_name) ||
      !resolve_dir(slash == 0 ? std::string_view("/") : dir.substr(0, slash), real)) {
    if (!real_path(dir_name, real)) return false;
  } else {
    if (real->size() > 1) *real += '/';
    real->append(dir_name, slash + 1);
  }
  ResolvedDir entry{*real, st.st_dev, st.st_ino, link, serial, std::string(), std::string()};
  if (below) {
    std::string root_real;
    if (dir.size() == root_named.size()) {
      root_real = *real;
    } else if (!resolve_dir(root_named, &root_real)) {
      root_real.clear();
    }
    if (!root_real.empty()) {
      entry.root = root_named;
      entry.root_real = root_real;
      if (root) *root = root_real;
    }
  }
  std::lock_guard<std::mutex> hold(cache_lock);
  if (dir_cache.size() > 100000) dir_cache.clear();
  dir_cache.insert_or_assign(dir_name, std::move(entry));
  return true;
}

std::string join(std::string dir, std::string_view leaf) {
  if (dir != "/") dir += '/';
  return dir.append(leaf);
}

}  // namespace

namespace {

// vob_pname_canonical, and in *root the view root's canonical form when the resolution vouches
// for it (else empty).
ks_status_t canonical(const char *path, bool follow, std::string *out, std::string *root) {
  root->clear();
  if (!path || !*path) return KS_ST_NOT_FOUND;
  std::string abs;
  if (path[0] == '/') {
    abs = path;
  } else {
    char cwd[PATH_MAX];
    if (fileutl_getcwd(cwd, sizeof cwd) != KS_ST_OK) return KS_ST_ERR;
    const size_t cwd_len = std::strlen(cwd), path_len = std::strlen(path);
    abs.reserve(cwd_len + 1 + path_len);
    abs.append(cwd, cwd_len).append(1, '/').append(path, path_len);
  }
  // The lexical form is only a fallback: ".." after a link must be resolved on the disk. A name
  // that is clean already (and so has no trailing slash, which would change abs below) is its
  // own lexical form.
  std::string cleaned;
  if (!lexically_clean(abs)) cleaned = lexical_clean(abs);
  const std::string &clean = cleaned.empty() ? abs : cleaned;
  std::string result;
  if (clean == "/") {
    result = "/";
  } else {
    // Resolve the longest existing directory prefix of the name as written, then append the
    // rest; ".." components in the rest are cleaned lexically.
    size_t last = abs.find_last_of('/');
    while (last != std::string::npos && last + 1 == abs.size()) {  // trailing slashes
      follow = true;  // "name/" is the directory that name leads to
      abs.pop_back();
      last = abs.find_last_of('/');
    }
    const std::string_view dir = last == 0 ? std::string_view("/")
                                           : std::string_view(abs).substr(0, last);
    const std::string_view leaf = std::string_view(abs).substr(last + 1);
    std::string real;
    if (leaf == "." || leaf == "..") {
      if (resolve_dir(abs, &real)) result = real;
      else result = clean;
    } else if (resolve_dir(dir, &real, root)) {
      result = join(std::move(real), leaf);
      if (follow) {
        struct stat st;
        char buf[PATH_MAX];
        if (lstat(result.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && realpath(result.c_str(), buf))
          result = buf;
      }
    } else {
      result = clean;
    }
  }
  if (result.size() >= PATH_MAX) return KS_ST_NAME_TOO_LONG;
  *out = std::move(result);
  return KS_ST_OK;
}

}  // namespace

ks_status_t vob_pname_canonical(const char *path, bool follow, std::string *out) {
  std::string root;
  return canonical(path, follow, out, &root);
}

std::string vob_pname_view_root() {
  std::string root = tbs_view_root();
  if (root.empty()) return root;
  std::string real;
  if (resolve_dir(root, &real)) return real;
  return lexical_clean(root);
}

ks_status_t vob_pname_resolve(const char *path, bool follow, vob_pname_t *out) {
  *out = vob_pname_t();
  std::string root;
  ks_status_t status = canonical(path, follow, &out->abs, &root);
  if (status != KS_ST_OK) return status;
  if (root.empty()) root = vob_pname_view_root();
  const std::string &abs = out->abs;
  if (root.empty() || abs.size() <= root.size() + 1 || abs.compare(0, root.size(), root) != 0 ||
      abs[root.size()] != '/')
    return KS_ST_OK;
  out->reg = dbrpc_reg_snapshot(&status);
  if (!out->reg) return status;
  // "<view tag>[/<VOB tag>[/<rest>]]" below the root, looked up in place.
  std::string_view rest = std::string_view(abs).substr(root.size() + 1);
  size_t slash = rest.find('/');
  const std::string_view view_tag = rest.substr(0, slash);
  out->view = out->reg->find_view(view_tag);
  if (!out->view) return KS_ST_OK;
  out->view_dir.assign(abs, 0, root.size() + 1 + view_tag.size());
  if (slash == std::string_view::npos) return KS_ST_OK;
  rest = rest.substr(slash + 1);
  slash = rest.find('/');
  const std::string_view vob_tag = rest.substr(0, slash);
  bool loaded = false;
  for (const std::string &t : out->view->vob_tags) loaded = loaded || t == vob_tag;
  if (!loaded) return KS_ST_OK;
  out->vob = out->reg->find_vob(vob_tag);
  if (!out->vob) return KS_ST_OK;
  out->vob_root.assign(abs, 0, out->view_dir.size() + 1 + vob_tag.size());
  if (slash != std::string_view::npos) out->vob_rel.assign(rest.substr(slash + 1));
  return KS_ST_OK;
}

std::string vob_pname_view_relative(const vob_pname_t &where) {
  if (!where.view) return std::string();
  if (where.abs.size() == where.view_dir.size()) return "/";
  return where.abs.substr(where.view_dir.size());
}

void vob_pname_hold_begin() {
  std::lock_guard<std::mutex> hold(cache_lock);
  if (hold_depth++ == 0 && ++hold_serial == 0) hold_serial = 1;
}

void vob_pname_hold_end() {
  std::lock_guard<std::mutex> hold(cache_lock);
  if (hold_depth > 0) hold_depth--;
}
