#include "view/view_admin.h"

#include "vob/vob_git.h"
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "dbrpc/dbrpc_reg.h"
#include "dbrpc/dbrpc_viewdb.h"
#include "ks/imsg.h"
#include "ks/sysutl.h"
#include "tbs/tbs_product.h"
#include "tbs/tbs_status.h"
#include "view/view_xstat.h"
#include "vob/vob_admin.h"

namespace {

const char *last_git_error() {
  const ::git_error *e = git_error_last();
  return e && e->message ? e->message : "unknown error";
}

// The name of a view's worktree in a VOB's repository: unique per view, also across sites.
std::string worktree_name(const std::string &tag, const tbs_uuid_t &uuid) {
  return "view-" + tag + "-" + std::string(tbs_uuid_to_str(&uuid)).substr(0, 8);
}

// Removes the worktree of a view from the repository at git_dir, and its branch if one stayed.
void remove_worktree(const std::string &git_dir, const std::string &name) {
  git_repository *repo = nullptr;
  if (git_repository_open_bare(&repo, git_dir.c_str()) != 0) return;
  git_worktree *wt = nullptr;
  if (git_worktree_lookup(&wt, repo, name.c_str()) == 0) {
    git_worktree_prune_options opts = GIT_WORKTREE_PRUNE_OPTIONS_INIT;
    opts.flags = GIT_WORKTREE_PRUNE_VALID | GIT_WORKTREE_PRUNE_LOCKED | GIT_WORKTREE_PRUNE_WORKING_TREE;
    git_worktree_prune(wt, &opts);
    git_worktree_free(wt);
  }
  git_reference *branch = nullptr;
  if (git_branch_lookup(&branch, repo, name.c_str(), GIT_BRANCH_LOCAL) == 0) {
    git_reference_delete(branch);
    git_reference_free(branch);
  }
  git_repository_free(repo);
}

// Adds a worktree of the VOB at path, detached at the repository's HEAD commit.
bool add_worktree(const dbrpc_vob_rec_t &vob, const std::string &name, const std::string &path) {
  git_repository *repo = nullptr;
  if (git_repository_open_ext(&repo, vob.path.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) != 0) {
    imsg_print(IMSG_ERROR, "Unable to open VOB \"%s\" at \"%s\": %s\n", -1, vob.tag.c_str(),
               vob.path.c_str(), last_git_error());
    return false;
  }
  git_object *head = nullptr;
  if (git_revparse_single(&head, repo, "HEAD^{commit}") != 0) {
    imsg_print(IMSG_ERROR, "VOB \"%s\" has no commit to select\n", -1, vob.tag.c_str());
    git_repository_free(repo);
    return false;
  }
  git_worktree *wt = nullptr;
  git_repository *wt_repo = nullptr;
  git_worktree_add_options opts = GIT_WORKTREE_ADD_OPTIONS_INIT;
  opts.checkout_options.checkout_strategy = GIT_CHECKOUT_FORCE;
  bool ok = git_worktree_add(&wt, repo, name.c_str(), path.c_str(), &opts) == 0 &&
            git_repository_open_from_worktree(&wt_repo, wt) == 0 &&
            git_repository_set_head_detached(wt_repo, git_object_id(head)) == 0;
  if (!ok)
    imsg_print(IMSG_ERROR, "Unable to make the worktree of VOB \"%s\" at \"%s\": %s\n", -1,
               vob.tag.c_str(), path.c_str(), last_git_error());
  git_repository_free(wt_repo);
  git_worktree_free(wt);
  git_object_free(head);
  // The worktree is detached: the branch that making it required is not wanted.
  git_reference *branch = nullptr;
  if (git_branch_lookup(&branch, repo, name.c_str(), GIT_BRANCH_LOCAL) == 0) {
    if (ok) git_reference_delete(branch);
    git_reference_free(branch);
  }
  git_repository_free(repo);
  return ok;
}

}  // namespace

ks_status_t view_admin_make(const std::string &tag, const std::vector<std::string> &vob_tags) {
  git_libgit2_init();
  if (!dbrpc_reg_tag_is_valid(tag)) {
    imsg_print(IMSG_ERROR, "Invalid view tag \"%s\": use letters, digits, '.', '_' and '-'\n", -1,
               tag.c_str());
    return KS_ST_ERR;
  }
  std::string site = tbs_site_dir();
  struct stat st;
  if (stat(tbs_registry_pname().c_str(), &st) != 0 && dbrpc_reg_create_site() != KS_ST_OK)
    return KS_ST_ERR;
  std::string root = tbs_view_root();
  if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    imsg_print(IMSG_ERROR, "The view root \"%s\" does not exist\n", -1, root.c_str());
    return KS_ST_ERR;
  }
  ks_status_t status;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  if (!reg) return status;
  if (reg->find_view(tag)) {
    imsg_print(IMSG_ERROR, "View tag \"%s\" already exists\n", -1, tag.c_str());
    return TBS_ST_EXISTS;
  }
  dbrpc_view_rec_t view;
  view.tag = tag;
  view.host = sysutl_myhostname();
  view.storage = site + "/storage/" + tag + ".vws";
  std::vector<const dbrpc_vob_rec_t *> vobs;
  if (vob_tags.empty()) {
    for (const dbrpc_vob_rec_t &v : reg->vobs) vobs.push_back(&v);
  } else {
    for (const std::string &t : vob_tags) {
      const dbrpc_vob_rec_t *v = reg->find_vob(t);
      if (!v) {
        imsg_print(IMSG_ERROR, "No VOB with tag \"%s\"\n", -1, t.c_str());
        return KS_ST_NOT_FOUND;
      }
      bool twice = false;
      for (const dbrpc_vob_rec_t *seen : vobs) twice = twice || seen == v;
      if (!twice) vobs.push_back(v);
    }
  }
  std::string dir = root + "/" + tag;
  for (const std::string &p : {dir, view.storage})
    if (lstat(p.c_str(), &st) == 0) {
      imsg_print(IMSG_ERROR, "\"%s\" already exists\n", -1, p.c_str());
      return TBS_ST_EXISTS;
    }
  if (tbs_uuid_create(&view.uuid) != KS_ST_OK) {
    imsg_print(IMSG_ERROR, "Unable to make a view UUID: %s\n", -1, strerror(errno));
    return KS_ST_ERR;
  }
  std::string name = worktree_name(tag, view.uuid);
  std::vector<const dbrpc_vob_rec_t *> made;
  auto undo = [&] {
    for (const dbrpc_vob_rec_t *v : made) remove_worktree(v->git_dir, name);
    vob_admin_remove_tree(dir);
    dbrpc_viewdb_close_all();
    vob_admin_remove_tree(view.storage);
  };
  if (mkdir(dir.c_str(), 0777) != 0) {
    imsg_print(IMSG_ERROR, "Unable to create \"%s\": %s\n", -1, dir.c_str(), strerror(errno));
    return KS_ST_ERR;
  }
  if (dbrpc_viewdb_create(view.storage) != KS_ST_OK) {
    undo();
    return KS_ST_ERR;
  }
  for (const dbrpc_vob_rec_t *v : vobs) {
    if (!add_worktree(*v, name, dir + "/" + v->tag)) {
      made.push_back(v);  // a half-made worktree is removed too
      undo();
      return KS_ST_ERR;
    }
    made.push_back(v);
    view.vob_tags.push_back(v->tag);
  }
  status = dbrpc_reg_add_view(view);
  if (status != KS_ST_OK) {
    if (status == TBS_ST_EXISTS) imsg_print(IMSG_ERROR, "View tag \"%s\" already exists\n", -1, tag.c_str());
    else if (status == KS_ST_NOT_FOUND) imsg_print(IMSG_ERROR, "A VOB of view \"%s\" is no longer registered\n", -1, tag.c_str());
    undo();
  }
  return status;
}

ks_status_t view_admin_remove(const std::string &tag) {
  git_libgit2_init();
  ks_status_t status;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  if (!reg) return status;
  const dbrpc_view_rec_t *view = reg->find_view(tag);
  if (!view) {
    imsg_print(IMSG_ERROR, "No view with tag \"%s\"\n", -1, tag.c_str());
    return KS_ST_NOT_FOUND;
  }
  std::string name = worktree_name(tag, view->uuid);
  for (const std::string &t : view->vob_tags)
    if (const dbrpc_vob_rec_t *v = reg->find_vob(t)) remove_worktree(v->git_dir, name);
  std::string dir = std::string(tbs_view_root()) + "/" + tag;
  dbrpc_viewdb_close_all();
  view_xstat_flush_cache();
  if (vob_admin_remove_tree(dir) != KS_ST_OK || vob_admin_remove_tree(view->storage) != KS_ST_OK)
    return KS_ST_ERR;
  status = dbrpc_reg_remove_view(tag);
  if (status != KS_ST_OK) imsg_print(IMSG_ERROR, "Unable to unregister view \"%s\"\n", -1, tag.c_str());
  return status;
}
