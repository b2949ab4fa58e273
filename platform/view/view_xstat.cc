#include "view/view_xstat.h"

#include "vob/vob_git.h"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "dbrpc/dbrpc_viewdb.h"
#include "ks/fileutl.h"
#include "view/view_idcache.h"
#include "vob/vob_gitindex.h"
#include "vob/vob_pname.h"

namespace {

// The identity of one object as this module classifies it.
struct Identity {
  vob_mtype_t mtype = VOB_MTYPE_NULL;
  tbs_oid_t elem = TBS_OID_NULL;
  tbs_oid_t obj = TBS_OID_NULL;
  vob_objsn_t objsn = {0, 0};
};

// What a file's status looked like when it was last judged.
using StatSig = view_idcache_sig_t;

StatSig sig_of(const struct stat &st) {
  return StatSig{uint64_t(st.st_dev), uint64_t(st.st_ino), int64_t(st.st_size), st.st_mtim.tv_sec,
                 st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// A worktree's index file as this process read it: what git staged, with the status it saw of
// each file. Read without the version-control library.
struct StagedIndex {
  std::string file;
  struct stat st = {};  // the file's status when it was read; all zero when it was missing
  bool readable = false;  // entries are the file's (not a split or sparse index, not damaged)
  unsigned checked_in = 0;  // the hold in which the file's status was last checked
  vob_gitindex_t entries;

  void load(const std::string &path) {
    file = path;
    if (stat(file.c_str(), &st) != 0) st = {};
    readable = vob_gitindex_read(file, &entries);
    if (!readable) entries.clear();
  }
  // Reads the file again when its status changed since it was read (checked once per hold).
  void refresh(unsigned hold) {
    if (hold != 0 && checked_in == hold) return;
    checked_in = hold;
    struct stat now;
    if (stat(file.c_str(), &now) != 0) now = {};
    if (!same_file(now, st)) load(file);
  }
  // Whether the index tells that the file at the VOB-relative path rel, with status now, holds
  // blob: its entry stages that blob with exactly that status, and was not written in the same
  // instant as the file (then only the data can tell).
  bool says_unmodified(const std::string &rel, const struct stat &now, const uint8_t blob[20]) const {
    auto it = entries.find(rel);
    if (it == entries.end()) return false;
    const vob_gitindex_entry_t &e = it->second;
    const bool racy = int64_t(e.mtime_sec) > int64_t(st.st_mtim.tv_sec) ||
                      (int64_t(e.mtime_sec) == int64_t(st.st_mtim.tv_sec) &&
                       int64_t(e.mtime_nsec) >= int64_t(st.st_mtim.tv_nsec));
    return !racy && std::memcmp(e.id, blob, 20) == 0 && e.size == uint32_t(now.st_size) &&
           int64_t(e.mtime_sec) == int64_t(now.st_mtim.tv_sec) &&
           (e.mtime_nsec == 0 || int64_t(e.mtime_nsec) == int64_t(now.st_mtim.tv_nsec)) &&
           e.ino == uint32_t(now.st_ino);
  }
};

// One VOB worktree of one view: its repository, the tree its HEAD selects, its index, and what
// has been judged of its files. Reloaded when the worktree's HEAD or index file changes.
struct Worktree {
  std::string root;
  git_repository *repo = nullptr;
  git_tree *head_tree = nullptr;
  StagedIndex index;
  std::string commit;  // the commit HEAD names, in hexadecimal
  std::string head_file;
  struct stat head_st = {};
  unsigned generation = 0;  // counts reloads, so that identities judged earlier can be told
  unsigned checked_in = 0;  // the hold in which HEAD and the index were last checked
  struct Clean {
    StatSig sig;
    git_oid blob;
    bool same;
  };
  std::map<std::string, Clean> clean;  // path -> status seen, blob compared, whether it held it
  std::unordered_map<std::string, tbs_oid_t> dir_versions;  // tree id text -> version digest key
  // The trees of the selected directories read so far, by VOB-relative directory ("" the root);
  // a null tree: no such directory is selected.
  std::unordered_map<std::string, git_tree *> trees;

  ~Worktree() { release(); }
  void release() {
    for (auto &t : trees)
      if (t.second != head_tree) git_tree_free(t.second);
    trees.clear();
    git_tree_free(head_tree);
    git_repository_free(repo);
    head_tree = nullptr;
    repo = nullptr;
  }

  bool load() {
    release();
    clean.clear();
    generation++;
    if (git_repository_open_ext(&repo, root.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) != 0)
      return false;
    std::string git_path = git_repository_path(repo);
    head_file = git_path + "HEAD";
    stat(head_file.c_str(), &head_st);
    index.load(git_path + "index");
    git_object *head = nullptr, *tree = nullptr;
    commit.clear();
    if (git_revparse_single(&head, repo, "HEAD") == 0 && git_object_peel(&tree, head, GIT_OBJECT_TREE) == 0) {
      char hex[GIT_OID_HEXSZ + 1];
      git_oid_tostr(hex, sizeof hex, git_object_id(head));
      commit = hex;
      head_tree = reinterpret_cast<git_tree *>(tree);
    }
    git_object_free(head);
    if (head_tree) trees.emplace("", head_tree);
    return head_tree != nullptr;
  }

  // The selected tree of the VOB-relative directory dir, read once per load; null when the
  // selected tree has no directory there.
  git_tree *tree_of(const std::string &dir) {
    auto it = trees.find(dir);
    if (it != trees.end()) return it->second;
    git_tree *found = nullptr;
    size_t slash = dir.rfind('/');
    git_tree *parent = tree_of(slash == std::string::npos ? std::string() : dir.substr(0, slash));
    const git_tree_entry *e =
        parent ? git_tree_entry_byname(parent, slash == std::string::npos ? dir.c_str() : dir.c_str() + slash + 1)
               : nullptr;
    if (e && git_tree_entry_filemode(e) == GIT_FILEMODE_TREE &&
        git_tree_lookup(&found, repo, git_tree_entry_id(e)) != 0)
      found = nullptr;
    trees.emplace(dir, found);
    return found;
  }

  // The entry at the VOB-relative path rel of the selected tree (owned by the cached tree), or
  // null.
  const git_tree_entry *entry_at(const std::string &rel) {
    size_t slash = rel.rfind('/');
    git_tree *dir = tree_of(slash == std::string::npos ? std::string() : rel.substr(0, slash));
    return dir ? git_tree_entry_byname(dir, slash == std::string::npos ? rel.c_str() : rel.c_str() + slash + 1)
               : nullptr;
  }

  // Reloads when HEAD or the index changed since they were read (once per hold).
  bool fresh(unsigned hold) {
    if (hold != 0 && checked_in == hold && repo) return head_tree != nullptr;
    checked_in = hold;
    struct stat h, i;
    bool head_ok = stat(head_file.c_str(), &h) == 0;
    bool index_ok = stat(index.file.c_str(), &i) == 0;
    if (!index_ok) i = {};
    if (repo && head_ok && same_file(h, head_st) && same_file(i, index.st)) return head_tree != nullptr;
    return load();
  }
};

// What this process learns is kept for its whole life and never destroyed: taking it apart at
// exit would be work for nothing.
std::mutex lock;
auto &worktrees = *new std::unordered_map<std::string, std::unique_ptr<Worktree>>;  // by worktree root
unsigned hold_depth = 0;  // nesting of open holds
unsigned hold_serial = 0;  // the current hold, while hold_depth is not 0

// Identities judged by this process: valid while the object's status and its worktree's
// generation are those it was judged with.
struct Judged {
  StatSig sig;
  const void *owner;  // the worktree or selection it was judged against
  unsigned generation;
  Identity id;
};
auto &judged = *new std::unordered_map<std::string, Judged>;

Worktree *worktree_for(const std::string &root) {
  auto &slot = worktrees[root];
  if (!slot) {
    slot = std::make_unique<Worktree>();
    slot->root = root;
  }
  return slot->fresh(hold_depth ? hold_serial : 0) ? slot.get() : nullptr;
}

// A digest of a directory's entries: names and kinds, in the tree's order.
tbs_oid_t dir_digest(git_tree *tree) {
  std::string listing;
  size_t n = git_tree_entrycount(tree);
  for (size_t i = 0; i < n; i++) {
    const git_tree_entry *e = git_tree_entry_byindex(tree, i);
    listing += git_tree_entry_name(e);
    listing.push_back('\0');
    switch (git_tree_entry_filemode(e)) {
      case GIT_FILEMODE_TREE: listing.push_back('d'); break;
      case GIT_FILEMODE_LINK: listing.push_back('l'); break;
      case GIT_FILEMODE_COMMIT: listing.push_back('s'); break;
      default: listing.push_back('f'); break;
    }
    listing.push_back('\0');
  }
  git_oid sha;
  git_odb_hash(&sha, listing.data(), listing.size(), GIT_OBJECT_TREE);
  tbs_oid_t d;
  std::memcpy(d.bytes, sha.id, 16);
  return d;
}

// The digest of a tree's entries, computed once per tree.
tbs_oid_t tree_digest(Worktree *wt, git_tree *tree) {
  char key[GIT_OID_HEXSZ + 1];
  git_oid_tostr(key, sizeof key, git_tree_id(tree));
  auto it = wt->dir_versions.find(key);
  if (it != wt->dir_versions.end()) return it->second;
  tbs_oid_t digest = dir_digest(tree);
  wt->dir_versions.emplace(key, digest);
  return digest;
}

tbs_oid_t dir_version(Worktree *wt, const tbs_oid_t &elem, git_tree *tree) {
  tbs_oid_t digest = tree_digest(wt, tree);
  return vob_ob_ver_oid(elem, digest.bytes, 16);
}

// Whether the tracked file or link at rel, whose status is st, holds the blob the view selects. past:
// st is a status the file had (it may no longer be there as it was): only the index can tell,
// the data is not read.
bool unmodified(Worktree *wt, const vob_pname_t &where, const struct stat &st, const git_oid *blob,
                bool past) {
  StatSig sig = sig_of(st);
  auto it = wt->clean.find(where.vob_rel);
  if (!past && it != wt->clean.end() && it->second.sig == sig && git_oid_equal(&it->second.blob, blob))
    return it->second.same;
  bool result = false;
  if (wt->index.says_unmodified(where.vob_rel, st, blob->id)) {
    result = true;
  } else if (past) {
    return false;
  } else if (S_ISLNK(st.st_mode)) {
    // A link's blob is its text.
    char text[4096];
    ssize_t n = readlink(where.abs.c_str(), text, sizeof text);
    git_oid data;
    if (n >= 0 && size_t(n) < sizeof text && git_odb_hash(&data, text, size_t(n), GIT_OBJECT_BLOB) == 0)
      result = git_oid_equal(&data, blob);
  } else {
    git_oid data;
    if (git_repository_hashfile(&data, wt->repo, where.abs.c_str(), GIT_OBJECT_BLOB,
                                where.vob_rel.c_str()) == 0)
      result = git_oid_equal(&data, blob);
  }
  if (fileutl_status_settled(st)) wt->clean[where.vob_rel] = {sig, *blob, result};
  return result;
}

// The OID of the view's own object at where: the view database's, which keeps what it read
// ahead of the directories looked up (an identity judged once is kept whole, in judged).
ks_status_t private_oid(const vob_pname_t &where, const struct stat &st, tbs_oid_t *oid) {
  return dbrpc_viewdb_private_oid(where.view->storage, vob_pname_view_relative(where), st, oid);
}

ks_status_t view_private(const vob_pname_t &where, const struct stat &st, Identity *id) {
  id->mtype = VOB_MTYPE_VIEW_PRIVATE;
  ks_status_t status = private_oid(where, st, &id->obj);
  id->objsn = vob_ob_private_objsn(id->obj);
  // A file that a build made a derived object stays one while it holds the same data (keeps
  // its OID).
  if (status == KS_ST_OK && S_ISREG(st.st_mode)) {
    tbs_oid_t do_oid;
    uint32_t mtype;
    if (dbrpc_viewdb_identify_do(where.view->storage, vob_pname_view_relative(where), &do_oid,
                                 &mtype) == KS_ST_OK &&
        tbs_oid_eq(&do_oid, &id->obj))
      id->mtype = mtype;
  }
  return status;
}

ks_status_t judge(Worktree *wt, const vob_pname_t &where, const struct stat &st, Identity *id,
                  bool past = false);

// Starts the version-control library once. (The trees it reads are kept by the worktrees.)
void git_ready() {
  static bool ready = false;
  if (ready) return;
  git_libgit2_init();
  ready = true;
}

struct Selection;
Selection *selection_for(const vob_pname_t &where);
unsigned selection_generation(const Selection *sel);
ks_status_t judge_selected(Selection *sel, const vob_pname_t &where, const struct stat &st, Identity *id);

ks_status_t identify_in_vob(const vob_pname_t &where, const struct stat &st, Identity *id);

ks_status_t identify(const vob_pname_t &where, const struct stat &st, Identity *id) {
  *id = Identity();
  if (!where.vob || where.vob_rel == ".git" || where.vob_rel.starts_with(".git/")) return KS_ST_OK;
  return identify_in_vob(where, st, id);
}

// identify of an object inside a VOB. Kept out of identify: a run outside every view asks only
// about objects outside the VOBs and does not map this code.
[[gnu::noinline]] ks_status_t identify_in_vob(const vob_pname_t &where, const struct stat &st,
                                              Identity *id) {
  std::lock_guard<std::mutex> hold(lock);
  // What HEAD selects comes from the view's identity cache when HEAD names a commit; the
  // repository is opened only for what the cache cannot tell.
  Selection *sel = selection_for(where);
  Worktree *wt = nullptr;
  if (!sel) {
    git_ready();
    wt = worktree_for(where.vob_root);
  }
  const void *owner = sel ? static_cast<const void *>(sel) : wt;
  const unsigned generation = sel ? selection_generation(sel) : wt ? wt->generation : 0;
  StatSig sig = sig_of(st);
  auto it = judged.find(where.abs);
  if (owner && it != judged.end() && it->second.sig == sig && it->second.owner == owner &&
      it->second.generation == generation) {
    *id = it->second.id;
    return KS_ST_OK;
  }
  ks_status_t status = sel ? judge_selected(sel, where, st, id) : judge(wt, where, st, id);
  const bool selected = id->mtype == VOB_MTYPE_VERSION || id->mtype == VOB_MTYPE_SLINK ||
                        id->mtype == VOB_MTYPE_DIR_VERSION;
  if (status == KS_ST_OK && owner && selected)
    vob_ob_note_object(where.vob->oid, id->obj, id->mtype, id->elem, where.vob_rel);
  // What the identity cache tells is found there again as cheaply, and so is the view's own
  // object, whose record the view database keeps as read ahead: only the rest is kept.
  const bool again = sel && id->mtype != VOB_MTYPE_CHECKEDOUT;
  if (status == KS_ST_OK && owner && !again && fileutl_status_settled(st)) {
    if (judged.size() > 1000000) judged.clear();
    judged[where.abs] = Judged{sig, owner, generation, *id};
  }
  return status;
}

// Classifies the object at where against the worktree's selected tree. past: st is a status the
// object had; then a view-private or checked-out object is only classified, without an OID.
ks_status_t judge(Worktree *wt, const vob_pname_t &where, const struct stat &st, Identity *id,
                  bool past) {
  auto view_private = [&](const vob_pname_t &w, const struct stat &s, Identity *i) {
    if (!past) return ::view_private(w, s, i);
    i->mtype = VOB_MTYPE_VIEW_PRIVATE;
    return KS_ST_OK;
  };
  if (!wt) return view_private(where, st, id);
  tbs_oid_t elem = vob_ob_elem_oid(where.vob->oid, where.vob_rel);
  if (where.vob_rel.empty()) {
    if (!S_ISDIR(st.st_mode)) return view_private(where, st, id);
    id->mtype = VOB_MTYPE_DIR_VERSION;
    id->elem = elem;
    id->obj = dir_version(wt, elem, wt->head_tree);
    id->objsn = vob_ob_elem_objsn(elem);
    return KS_ST_OK;
  }
  const git_tree_entry *entry = wt->entry_at(where.vob_rel);
  if (entry == nullptr) return view_private(where, st, id);
  git_filemode_t mode = git_tree_entry_filemode(entry);
  const git_oid *id_in_tree = git_tree_entry_id(entry);
  id->elem = elem;
  id->objsn = vob_ob_elem_objsn(elem);
  if (mode == GIT_FILEMODE_TREE && S_ISDIR(st.st_mode)) {
    git_tree *tree = wt->tree_of(where.vob_rel);
    if (tree == nullptr) return KS_ST_ERR;
    id->mtype = VOB_MTYPE_DIR_VERSION;
    id->obj = dir_version(wt, elem, tree);
    return KS_ST_OK;
  }
  if (mode == GIT_FILEMODE_COMMIT && S_ISDIR(st.st_mode)) {
    id->mtype = VOB_MTYPE_DIR_VERSION;
    id->obj = vob_ob_ver_oid(elem, id_in_tree->id, GIT_OID_RAWSZ);
    return KS_ST_OK;
  }
  // A tracked link is the version selected only while its text is that version's; a link
  // pointed elsewhere is the view's own object.
  if (mode == GIT_FILEMODE_LINK && S_ISLNK(st.st_mode) && unmodified(wt, where, st, id_in_tree, past)) {
    id->mtype = VOB_MTYPE_SLINK;
    id->obj = vob_ob_ver_oid(elem, id_in_tree->id, GIT_OID_RAWSZ);
    return KS_ST_OK;
  }
  if ((mode == GIT_FILEMODE_BLOB || mode == GIT_FILEMODE_BLOB_EXECUTABLE) && S_ISREG(st.st_mode)) {
    if (unmodified(wt, where, st, id_in_tree, past)) {
      id->mtype = VOB_MTYPE_VERSION;
      id->obj = vob_ob_ver_oid(elem, id_in_tree->id, GIT_OID_RAWSZ);
      return KS_ST_OK;
    }
    id->mtype = VOB_MTYPE_CHECKEDOUT;
    return past ? KS_ST_OK : private_oid(where, st, &id->obj);
  }
  // Tracked as another kind of object than what is there now: the view's own object.
  id->elem = TBS_OID_NULL;
  return view_private(where, st, id);
}


// --- The selection of a worktree through the view's identity cache (view/view_idcache.h).

// What one VOB worktree's HEAD selects, as kept in the view's identity cache. ready: the cache's
// tree is that of the commit HEAD names now (checked once per hold).
struct Selection {
  std::string root;       // the worktree's directory
  std::string file;       // the cache file in the view's storage
  std::string head_file;  // the worktree's HEAD; empty when not found
  StatSig head_sig = {};
  bool head_seen = false;
  unsigned checked_in = 0;  // the hold in which HEAD was last checked
  unsigned generation = 0;  // counts changes of the tree, as Worktree::generation does
  bool ready = false;
  bool read_file = false;  // the cache file was read (once per process)
  bool dirty = false;      // holds what the file does not
  view_idcache_t cache;
  StagedIndex index;  // the worktree's index, beside its HEAD
};

auto &selections = *new std::unordered_map<std::string, std::unique_ptr<Selection>>;  // by worktree root
pid_t selections_pid = 0;  // the process whose selections these are (not a forked child)

// The whole of a small file, or "" when it cannot be read.
std::string small_file(const std::string &path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buf[512];
  ssize_t n;
  while (text.size() < 4096 && (n = read(fd, buf, sizeof buf)) > 0) text.append(buf, size_t(n));
  close(fd);
  return text;
}

// The HEAD file of the worktree at root: "<root>/.git/HEAD", or the HEAD of the git directory
// that a ".git" file names. "" when there is none.
std::string head_file_of(const std::string &root) {
  const std::string dot_git = root + "/.git";
  struct stat st;
  if (lstat(dot_git.c_str(), &st) != 0) return "";
  if (S_ISDIR(st.st_mode)) return dot_git + "/HEAD";
  std::string text = small_file(dot_git);
  if (!text.starts_with("gitdir: ")) return "";
  std::string dir = text.substr(8);
  while (!dir.empty() && (dir.back() == '\n' || dir.back() == '\r')) dir.pop_back();
  if (dir.empty()) return "";
  return (dir[0] == '/' ? dir : root + "/" + dir) + "/HEAD";
}

// The commit a HEAD file names directly (40 lowercase hexadecimal digits), or "" when it names
// a branch or cannot be read.
std::string head_commit(const std::string &head_file) {
  std::string text = small_file(head_file);
  if (text.size() == GIT_OID_HEXSZ + 1 && text.back() == '\n') text.pop_back();
  if (text.size() != GIT_OID_HEXSZ) return "";
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return "";
  return text;
}

// Writes the cache files of the selections that hold what their files do not (in the process
// that made them; a forked child leaves them to its parent). Failures are ignored: a missing
// or old file only makes the next process ask the repository.
void save_selections() {
  if (selections_pid != getpid()) return;  // a forked child leaves them to its parent
  for (auto &[root, sel] : selections)
    if (sel->dirty && !sel->cache.commit.empty()) {
      view_idcache_write(sel->file, sel->cache);
      sel->dirty = false;
    }
}

// At exit, unless another thread is amid an identification (then nothing is saved: the next
// process asks the repository again).
void save_selections_at_exit() {
  std::unique_lock<std::mutex> hold(lock, std::try_to_lock);
  if (hold.owns_lock()) save_selections();
}

// Fills the cache's tree with what the worktree's HEAD selects, when the repository's HEAD is
// the commit named. False when it cannot (the tree is left empty).
bool fill_tree(Selection *sel, const std::string &commit) {
  sel->cache.tree.clear();
  git_ready();
  Worktree *wt = worktree_for(sel->root);
  if (!wt || wt->commit != commit) return false;
  struct Walk {
    Worktree *wt;
    view_idcache_t *cache;
    bool ok = true;
  } walk{wt, &sel->cache};
  view_idcache_entry_t top = {};
  top.mode = GIT_FILEMODE_TREE;
  std::memcpy(top.id, git_tree_id(wt->head_tree)->id, 20);
  top.digest = tree_digest(wt, wt->head_tree);
  sel->cache.tree[""] = top;
  auto each = [](const char *dir, const git_tree_entry *entry, void *payload) -> int {
    Walk *w = static_cast<Walk *>(payload);
    view_idcache_entry_t e = {};
    e.mode = uint32_t(git_tree_entry_filemode(entry));
    std::memcpy(e.id, git_tree_entry_id(entry)->id, 20);
    if (e.mode == GIT_FILEMODE_TREE) {
      git_tree *tree = nullptr;
      if (git_tree_lookup(&tree, w->wt->repo, git_tree_entry_id(entry)) != 0) {
        w->ok = false;
        return -1;
      }
      e.digest = tree_digest(w->wt, tree);
      git_tree_free(tree);
    }
    w->cache->tree[std::string(dir) + git_tree_entry_name(entry)] = e;
    return 0;
  };
  if (git_tree_walk(wt->head_tree, GIT_TREEWALK_PRE, each, &walk) != 0 || !walk.ok) {
    sel->cache.tree.clear();
    return false;
  }
  return true;
}

// What a commit selects is the same in every view: the last tree filled from the repository is
// kept in the VOB's storage (as a cache file of no view, without verdicts), so that a view that
// selects the same commit need not open the repository to learn it.

// Fills the cache's tree from the VOB's kept tree at path when that is the commit's; false when
// it is not (the tree is left as it was).
bool shared_tree(Selection *sel, const std::string &path, const std::string &commit) {
  view_idcache_t c;
  if (!view_idcache_read(path, &c) || !tbs_uuid_is_null(&c.view_uuid) ||
      !tbs_oid_eq(&c.vob_oid, &sel->cache.vob_oid) || c.commit != commit || !c.root.empty() ||
      c.tree.find("") == c.tree.end())
    return false;
  sel->cache.tree = std::move(c.tree);
  return true;
}

// Keeps the cache's tree of commit as the VOB's at path. Failures are ignored: the next view
// fills its tree from the repository.
void share_tree(const Selection *sel, const std::string &path, const std::string &commit) {
  view_idcache_t c;
  c.view_uuid = TBS_UUID_NULL;
  c.vob_oid = sel->cache.vob_oid;
  c.commit = commit;
  c.tree = sel->cache.tree;
  view_idcache_write(path, c);
}

// The selection of where's worktree, ready for use; null when HEAD names no commit directly or
// the selection cannot be had (then the repository answers).
Selection *selection_for(const vob_pname_t &where) {
  if (!where.view) return nullptr;
  auto &slot = selections[where.vob_root];
  if (!slot) {
    if (selections_pid != getpid()) {
      if (selections_pid == 0) std::atexit(save_selections_at_exit);
      selections_pid = getpid();
    }
    slot = std::make_unique<Selection>();
    slot->root = where.vob_root;
    char hex[33];
    for (int i = 0; i < 16; i++) std::snprintf(hex + 2 * i, 3, "%02x", where.vob->oid.bytes[i]);
    slot->file = where.view->storage + "/identities-" + hex;
    slot->head_file = head_file_of(where.vob_root);
    if (!slot->head_file.empty())
      slot->index.file = slot->head_file.substr(0, slot->head_file.size() - 4) + "index";
  }
  Selection *sel = slot.get();
  const unsigned hold = hold_depth ? hold_serial : 0;
  if (hold != 0 && sel->checked_in == hold) return sel->ready ? sel : nullptr;
  sel->checked_in = hold;
  struct stat h;
  if (sel->head_file.empty() || stat(sel->head_file.c_str(), &h) != 0) {
    sel->ready = false;
    return nullptr;
  }
  if (sel->ready && sel->head_seen && sig_of(h) == sel->head_sig) return sel;
  sel->head_sig = sig_of(h);
  sel->head_seen = true;
  const std::string commit = head_commit(sel->head_file);
  if (sel->ready && commit == sel->cache.commit) return sel;
  sel->ready = false;
  sel->generation++;
  if (commit.empty()) return nullptr;
  if (!sel->read_file) {
    // The file's verdicts hold whatever its commit; its tree only for that commit.
    sel->read_file = true;
    view_idcache_t c;
    if (view_idcache_read(sel->file, &c) && tbs_uuid_eq(&c.view_uuid, &where.view->uuid) &&
        tbs_oid_eq(&c.vob_oid, &where.vob->oid) && c.root == sel->root) {
      sel->cache = std::move(c);
      if (sel->cache.commit == commit) return sel->ready = true, sel;
    }
  }
  sel->cache.view_uuid = where.view->uuid;
  sel->cache.vob_oid = where.vob->oid;
  sel->cache.root = sel->root;
  sel->cache.commit.clear();
  const std::string shared = where.vob->git_dir + "/vessary/selected-tree";
  if (!shared_tree(sel, shared, commit)) {
    if (!fill_tree(sel, commit)) return nullptr;
    share_tree(sel, shared, commit);
  }
  sel->cache.commit = commit;
  sel->dirty = true;
  sel->ready = true;
  return sel;
}

unsigned selection_generation(const Selection *sel) { return sel->generation; }

// The verdict on the tracked file or link at where, with status st, against the blob: from the
// cache when it holds one on that status and blob, else from the repository (and kept once the
// status is settled). The verdict's element and version OIDs are those of where's path and the
// blob, derived once and kept with it.
view_idcache_verdict_t selected_verdict(Selection *sel, const vob_pname_t &where, const struct stat &st,
                                        const uint8_t blob[20]) {
  const StatSig sig = sig_of(st);
  auto it = sel->cache.verdicts.find(where.vob_rel);
  if (it != sel->cache.verdicts.end() && it->second.sig == sig && std::memcmp(it->second.blob, blob, 20) == 0)
    return it->second;
  view_idcache_verdict_t v;
  v.sig = sig;
  std::memcpy(v.blob, blob, 20);
  v.elem = vob_ob_elem_oid(where.vob->oid, where.vob_rel);
  v.ver = vob_ob_ver_oid(v.elem, blob, GIT_OID_RAWSZ);
  // The index tells of most files, their data of most others; the repository is opened only
  // for what differs, to compare it as the repository converts it.
  sel->index.refresh(hold_depth ? hold_serial : 0);
  v.same = sel->index.says_unmodified(where.vob_rel, st, blob) || vob_gitindex_holds(where.abs.c_str(), blob);
  if (!v.same) {
    git_ready();
    Worktree *wt = worktree_for(sel->root);
    if (!wt) return v;  // cannot be compared: the view's own data
    git_oid id;
    std::memcpy(id.id, blob, 20);
    v.same = unmodified(wt, where, st, &id, false);
  }
  if (fileutl_status_settled(st)) {
    sel->cache.verdicts[where.vob_rel] = v;
    sel->dirty = true;
  }
  return v;
}

// judge() over the selection instead of the repository.
ks_status_t judge_selected(Selection *sel, const vob_pname_t &where, const struct stat &st,
                           Identity *id) {
  auto it = sel->cache.tree.find(where.vob_rel);
  if (it == sel->cache.tree.end()) return view_private(where, st, id);
  const view_idcache_entry_t &e = it->second;
  if ((e.mode == GIT_FILEMODE_TREE || e.mode == GIT_FILEMODE_COMMIT) && S_ISDIR(st.st_mode)) {
    const tbs_oid_t elem = vob_ob_elem_oid(where.vob->oid, where.vob_rel);
    id->elem = elem;
    id->objsn = vob_ob_elem_objsn(elem);
    id->mtype = VOB_MTYPE_DIR_VERSION;
    id->obj = e.mode == GIT_FILEMODE_TREE ? vob_ob_ver_oid(elem, e.digest.bytes, 16)
                                          : vob_ob_ver_oid(elem, e.id, GIT_OID_RAWSZ);
    return KS_ST_OK;
  }
  const bool link = e.mode == GIT_FILEMODE_LINK && S_ISLNK(st.st_mode);
  const bool file = (e.mode == GIT_FILEMODE_BLOB || e.mode == GIT_FILEMODE_BLOB_EXECUTABLE) && S_ISREG(st.st_mode);
  if (!link && !file) return view_private(where, st, id);  // tracked as another kind of object
  const view_idcache_verdict_t v = selected_verdict(sel, where, st, e.id);
  id->elem = v.elem;
  id->objsn = vob_ob_elem_objsn(v.elem);
  if (v.same) {
    id->mtype = link ? VOB_MTYPE_SLINK : VOB_MTYPE_VERSION;
    id->obj = v.ver;
    return KS_ST_OK;
  }
  if (link) {
    // A tracked link pointed elsewhere is the view's own object.
    id->elem = TBS_OID_NULL;
    return view_private(where, st, id);
  }
  id->mtype = VOB_MTYPE_CHECKEDOUT;
  return private_oid(where, st, &id->obj);
}

view_time_t time_of(const struct timespec &t) { return view_time_t{int64_t(t.tv_sec), int64_t(t.tv_nsec)}; }

// The file status part of the extended stat from st.
void fill_fstat(const struct stat &st, view_fstat_t *f) {
  f->type = view_ftype_of(st.st_mode);
  f->mode = uint32_t(st.st_mode & 07777);
  f->nlink = uint32_t(st.st_nlink);
  f->uid = uint32_t(st.st_uid);
  f->size = uint64_t(st.st_size);
  f->nodeid = uint64_t(st.st_ino);
  f->xtime = time_of(st.st_mtim);
  f->atime = time_of(st.st_atim);
  f->mtime = time_of(st.st_mtim);
  f->ctime = time_of(st.st_ctim);
}

// Whether path is relative and names each component plainly: no empty, "." or ".." component
// and no trailing slash. Looked up from the working directory, such a name reaches the object
// its canonical form names (made from that directory with the links of its directories
// resolved), through fewer components.
bool plain_relative(const char *path) {
  if (*path == '/') return false;
  for (const char *c = path;;) {
    const char *end = std::strchr(c, '/');
    const size_t n = end ? size_t(end - c) : std::strlen(c);
    if (n == 0 || (c[0] == '.' && (n == 1 || (n == 2 && c[1] == '.')))) return false;
    if (!end) return true;
    c = end + 1;
  }
}

// Resolves, stats and identifies path: the common part of the calls below.
ks_status_t examine(const char *path, bool follow, vob_pname_t *where, struct stat *st, Identity *id) {
  if (!path || !*path) return KS_ST_NOT_IN_VIEW;
  ks_status_t status = vob_pname_resolve(path, follow, where);
  if (status == KS_ST_NOT_FOUND) return KS_ST_NOT_IN_VIEW;
  if (status != KS_ST_OK) return status;
  const char *name = plain_relative(path) ? path : where->abs.c_str();
  if ((follow ? stat(name, st) : lstat(name, st)) != 0)
    return (errno == ENOENT || errno == ENOTDIR) ? KS_ST_NOT_IN_VIEW : KS_ST_ERR;
  return identify(*where, *st, id);
}

ks_status_t xstat(const char *path, bool follow, view_xstat_t *vstat, tbs_oid_t *vob_oid,
                  tbs_uuid_t *view_uuid, tbs_uuid_t *replica_uuid) {
  vob_pname_t where;
  struct stat st;
  Identity id;
  ks_status_t status = examine(path, follow, &where, &st, &id);
  if (status != KS_ST_OK) return status;
  if (vstat) {
    std::memset(vstat, 0, sizeof *vstat);
    fill_fstat(st, &vstat->fstat);
    vstat->mtype = id.mtype;
    vstat->elem_oid = id.elem;
    vstat->obj_oid = id.obj;
    vstat->objsn = id.objsn;
  }
  bool in_vob = id.mtype != VOB_MTYPE_NULL;
  if (vob_oid) *vob_oid = in_vob ? where.vob->oid : TBS_OID_NULL;
  if (replica_uuid) *replica_uuid = in_vob ? tbs_oid_to_uuid(&where.vob->oid) : TBS_UUID_NULL;
  if (view_uuid) *view_uuid = where.view ? where.view->uuid : TBS_UUID_NULL;
  return KS_ST_OK;
}

}  // namespace

ks_status_t view_get_fstat(const char *path, int follow, view_fstat_t *fstat) {
  if (!path || !*path) return KS_ST_NOT_IN_VIEW;
  struct stat st;
  if ((follow ? stat(path, &st) : lstat(path, &st)) != 0)
    return (errno == ENOENT || errno == ENOTDIR) ? KS_ST_NOT_IN_VIEW : KS_ST_ERR;
  std::memset(fstat, 0, sizeof *fstat);
  fill_fstat(st, fstat);
  return KS_ST_OK;
}

ks_status_t view_get_xstat(const char *path, int, view_xstat_t *vstat, tbs_oid_t *vob_oid,
                           tbs_uuid_t *view_uuid, int, tbs_uuid_t *replica_uuid) {
  return xstat(path, true, vstat, vob_oid, view_uuid, replica_uuid);
}

ks_status_t view_lget_xstat(const char *path, int, view_xstat_t *vstat, tbs_oid_t *vob_oid,
                            tbs_uuid_t *view_uuid, int, tbs_uuid_t *replica_uuid) {
  return xstat(path, false, vstat, vob_oid, view_uuid, replica_uuid);
}

namespace {

void fill_oids(const vob_pname_t &where, const struct stat &st, const Identity &id,
               view_oids_t *info) {
  info->mtype = id.mtype;
  if (S_ISREG(st.st_mode) && (id.mtype == VOB_MTYPE_VIEW_PRIVATE || id.mtype == VOB_MTYPE_CHECKEDOUT))
    info->mtype = VOB_MTYPE_VIEW_PRIVATE_FILE;
  info->ftype = view_ftype_of(st.st_mode);
  info->obj_oid = id.obj;
  info->elem_oid = id.elem;
  info->objsn = id.objsn;
  if (id.mtype != VOB_MTYPE_NULL) info->vob_oid = where.vob->oid;
  if (where.view) info->view_uuid = where.view->uuid;
}

}  // namespace

ks_status_t view_get_oids(const char *path, int follow, int, int, view_oids_t *info) {
  vob_pname_t where;
  struct stat st;
  Identity id;
  std::memset(info, 0, sizeof *info);
  ks_status_t status = examine(path, follow != 0, &where, &st, &id);
  if (status != KS_ST_OK) return status;
  fill_oids(where, st, id, info);
  return KS_ST_OK;
}

ks_status_t view_get_oids_resolved(const vob_pname_t &where, const struct stat &st,
                                   view_oids_t *info) {
  Identity id;
  std::memset(info, 0, sizeof *info);
  ks_status_t status = identify(where, st, &id);
  if (status != KS_ST_OK) return status;
  fill_oids(where, st, id, info);
  return KS_ST_OK;
}

ks_status_t view_get_oids_was(const vob_pname_t &where, const struct stat &st, view_oids_t *info) {
  Identity id;
  std::memset(info, 0, sizeof *info);
  if (!where.vob || where.vob_rel == ".git" || where.vob_rel.starts_with(".git/"))
    return KS_ST_NOT_FOUND;
  ks_status_t status;
  {
    std::lock_guard<std::mutex> hold(lock);
    git_ready();
    Worktree *wt = worktree_for(where.vob_root);
    if (!wt) return KS_ST_NOT_FOUND;
    status = judge(wt, where, st, &id, true);
  }
  if (status != KS_ST_OK) return status;
  if (id.mtype != VOB_MTYPE_VERSION && id.mtype != VOB_MTYPE_SLINK &&
      id.mtype != VOB_MTYPE_DIR_VERSION)
    return KS_ST_NOT_FOUND;
  fill_oids(where, st, id, info);
  return KS_ST_OK;
}

void view_xstat_hold_begin() {
  dbrpc_reg_hold_begin();
  std::lock_guard<std::mutex> hold(lock);
  if (hold_depth++ == 0 && ++hold_serial == 0) hold_serial = 1;
}

void view_xstat_hold_end() {
  {
    std::lock_guard<std::mutex> hold(lock);
    if (hold_depth > 0) hold_depth--;
  }
  dbrpc_reg_hold_end();
}

view_xstat_moment_t::view_xstat_moment_t() {
  view_xstat_hold_begin();
  vob_pname_hold_begin();
}

view_xstat_moment_t::~view_xstat_moment_t() {
  vob_pname_hold_end();
  view_xstat_hold_end();
}

void view_xstat_flush_cache() {
  std::lock_guard<std::mutex> hold(lock);
  save_selections();
  selections.clear();
  judged.clear();
  worktrees.clear();
  vob_ob_flush_cache();
}

void view_fstat_of(const struct stat &st, view_fstat_t *fstat) { fill_fstat(st, fstat); }

void view_xstat_forget(const char *abs) {
  std::lock_guard<std::mutex> hold(lock);
  judged.erase(abs);
}

uint32_t view_ftype_of(mode_t mode) {
  if (S_ISREG(mode)) return VIEW_FTYPE_REG;
  if (S_ISDIR(mode)) return VIEW_FTYPE_DIR;
  if (S_ISBLK(mode)) return VIEW_FTYPE_BLK;
  if (S_ISCHR(mode)) return VIEW_FTYPE_CHR;
  if (S_ISLNK(mode)) return VIEW_FTYPE_LNK;
  if (S_ISFIFO(mode)) return VIEW_FTYPE_FIFO;
  if (S_ISSOCK(mode)) return VIEW_FTYPE_SOCK;
  return VIEW_FTYPE_NONE;
}
