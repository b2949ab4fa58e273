#include "vob/vob_admin.h"

#include <dirent.h>
#include <ftw.h>
#include "vob/vob_git.h"
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "dbrpc/dbrpc_reg.h"
#include "ks/imsg.h"
#include "ks/sysutl.h"
#include "tbs/tbs_status.h"

namespace {

void fail(const char *format, const std::string &a, const std::string &b = "") {
  imsg_print(IMSG_ERROR, format, -1, a.c_str(), b.c_str());
}

const char *last_git_error() {
  const ::git_error *e = git_error_last();
  return e && e->message ? e->message : "unknown error";
}

bool is_empty_dir(const std::string &path) {
  DIR *d = opendir(path.c_str());
  if (!d) return false;
  bool empty = true;
  while (struct dirent *e = readdir(d))
    if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) empty = false;
  closedir(d);
  return empty;
}

bool make_dirs(const std::string &path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    if (mkdir(path.substr(0, slash).c_str(), 0777) != 0 && errno != EEXIST) return false;
  return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

// A new repository at path with an empty first commit.
bool init_repository(const std::string &path) {
  git_repository *repo = nullptr;
  if (git_repository_init(&repo, path.c_str(), 0) != 0) {
    fail("Unable to create a git repository at \"%s\": %s\n", path, last_git_error());
    return false;
  }
  git_signature *sig = nullptr;
  if (git_signature_default(&sig, repo) != 0) git_signature_now(&sig, "vessary", "vessary@localhost");
  git_index *index = nullptr;
  git_oid tree_id, commit_id;
  git_tree *tree = nullptr;
  bool ok = sig && git_repository_index(&index, repo) == 0 &&
            git_index_write_tree(&tree_id, index) == 0 &&
            git_tree_lookup(&tree, repo, &tree_id) == 0 &&
            git_commit_create(&commit_id, repo, "HEAD", sig, sig, nullptr, "New VOB\n", tree, 0,
                              nullptr) == 0;
  if (!ok) fail("Unable to make the first commit in \"%s\": %s\n", path, last_git_error());
  git_tree_free(tree);
  git_index_free(index);
  git_signature_free(sig);
  git_repository_free(repo);
  return ok;
}

int remove_one(const char *path, const struct stat *, int, struct FTW *) {
  if (remove(path) != 0 && errno != ENOENT) return -1;
  return 0;
}

}  // namespace

ks_status_t vob_admin_remove_tree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return KS_ST_OK;
  if (nftw(path.c_str(), remove_one, 32, FTW_DEPTH | FTW_PHYS) != 0) {
    fail("Unable to remove \"%s\": %s\n", path, strerror(errno));
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

ks_status_t vob_admin_register(const std::string &tag, const std::string &given_path) {
  git_libgit2_init();
  if (!dbrpc_reg_tag_is_valid(tag)) {
    fail("Invalid VOB tag \"%s\": use letters, digits, '.', '_' and '-'%s\n", tag);
    return KS_ST_ERR;
  }
  if (given_path.empty()) {
    fail("No pathname given for VOB \"%s\"%s\n", tag);
    return KS_ST_ERR;
  }
  std::string path = given_path;
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return KS_ST_ERR;
    path = std::string(cwd) + "/" + path;
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  ks_status_t status;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  if (!reg) return status;
  if (reg->find_vob(tag)) {
    fail("VOB tag \"%s\" already exists%s\n", tag);
    return TBS_ST_EXISTS;
  }

  // Decide, before changing anything, whether the path is a repository or can become one.
  struct stat st;
  bool exists = stat(path.c_str(), &st) == 0;
  bool create = !exists || (S_ISDIR(st.st_mode) && is_empty_dir(path));
  git_repository *repo = nullptr;
  if (!create && git_repository_open_ext(&repo, path.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) != 0) {
    fail("\"%s\" is not a git repository%s\n", path);
    return KS_ST_ERR;
  }
  git_repository_free(repo);
  repo = nullptr;
  if (dbrpc_reg_create_site() != KS_ST_OK) return KS_ST_ERR;
  if (create && (!make_dirs(path) || !init_repository(path))) {
    if (!exists) vob_admin_remove_tree(path);
    return KS_ST_ERR;
  }
  auto undo = [&] {
    if (create) {
      if (exists) {  // an empty directory we filled: empty it again
        std::string git = path + "/.git";
        vob_admin_remove_tree(git);
      } else {
        vob_admin_remove_tree(path);
      }
    }
  };
  char real[PATH_MAX];
  if (!realpath(path.c_str(), real) ||
      git_repository_open_ext(&repo, real, GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) != 0) {
    fail("Unable to open the git repository at \"%s\": %s\n", path, last_git_error());
    undo();
    return KS_ST_ERR;
  }
  std::string git_dir = git_repository_commondir(repo);
  git_repository_free(repo);
  while (git_dir.size() > 1 && git_dir.back() == '/') git_dir.pop_back();
  if (realpath(git_dir.c_str(), real)) git_dir = real;
  std::string storage = git_dir + "/vessary";
  if (!make_dirs(storage + "/pool")) {
    fail("Unable to create the VOB storage \"%s\": %s\n", storage, strerror(errno));
    undo();
    return KS_ST_ERR;
  }
  dbrpc_vob_rec_t vob;
  vob.tag = tag;
  tbs_uuid_t uuid;
  if (tbs_uuid_create(&uuid) != KS_ST_OK) {
    fail("Unable to make a VOB identifier: %s%s\n", strerror(errno));
    undo();
    return KS_ST_ERR;
  }
  vob.oid = tbs_uuid_to_oid(&uuid);
  vob.path = realpath(path.c_str(), real) ? real : path;
  vob.git_dir = git_dir;
  vob.host = sysutl_myhostname();
  status = dbrpc_reg_add_vob(vob);
  if (status == TBS_ST_EXISTS) fail("VOB \"%s\" or its repository is already registered%s\n", tag);
  if (status != KS_ST_OK) undo();
  return status;
}
