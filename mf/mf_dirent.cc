#include "mf/mf_dirent.h"

#include <limits.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ks/fileutl.h"
#include "ks/hash.h"
#include "ks/pfm.h"
#include "mf/mf_stat.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_oid.h"
#include "tbs/tbs_status.h"
#include "view/view_xstat.h"
#include "vob/vob_mtype.h"

namespace {

constexpr const char *kModule = "mf/mf_dirent";
constexpr const char *kTrace = "mf_dirent";
constexpr int kTraceLevel = 4;
// The bound of pathnames and of their directory parts.
constexpr size_t kPathSize = PATH_MAX;
// File times advance in clock ticks of the kernel (a few milliseconds): a directory read within
// this margin of its modification time may change again without its time changing.
constexpr int64_t kTickMarginNs = 50 * 1000 * 1000;

const char *const mf_dirent_formats[] = {
    "Unknown dir-ent update request (%d)\n",
};
const uint16_t mf_dirent_catalog[] = {0};

// What the cache knows of one directory (the data slot of the directory table).
struct dir_t {
  const char *pathname;  // the table's key: the resolved absolute pathname
  uint32_t generation;   // generation of the last check; 0 when new
  uint32_t loaded;       // 1 when names describe the directory
  view_time_t mtime;     // modification time at the last read
  uint32_t racy;         // 1 when the last read came within a clock tick of mtime
  hash_ht_t names;       // entry name -> name_t; null if none
};

// What the cache knows of one name of a directory (the data slot of its name table).
struct name_t {
  uint32_t deleted;  // 0 exists, 1 claimed deleted
  uint32_t read;     // number of the read of the directory that last found it
};

hash_ht_t dir_table = HASH_HT_NULL;
// The record entered last: tests come in runs in one directory, so it is compared before the
// table is asked. Records stay where they are until the table goes.
dir_t *last_dir = nullptr;
stg_area_t dir_area = STG_AREA_HEAP;
uint32_t generation = 1;

bool tracing() { return mf_utl_should_trace(kTrace, kTraceLevel); }

const char *status_name(ks_status_t st) {
  switch (st) {
    case KS_ST_OK:
      return "KS_ST_OK";
    case KS_ST_NOT_FOUND:
      return "KS_ST_NOT_FOUND";
    default:
      return "KS_ST_ERR";
  }
}

// A new table of a directory's names. Unordered: no walk needs their order, and names that come
// and go give their room to later names.
hash_ht_t new_names(unsigned buckets) {
  hash_ht_t names = hash_str_create(buckets, sizeof(name_t), 1);
  if (names != HASH_HT_NULL) hash_set_unordered(names);
  return names;
}

void drop_names(dir_t *dir) {
  if (dir->names != HASH_HT_NULL) hash_delete_ht(&dir->names);
}

ks_status_t ensure_table() {
  if (dir_table != HASH_HT_NULL) return KS_ST_OK;
  return mf_dirent_init(STG_AREA_HEAP);
}

// Splits pathname into its directory part ("." when it has none) and its leaf, and resolves the
// directory part to its absolute form. false when a part does not fit or it cannot be resolved.
bool split_resolved(const char *pathname, char *resolved, char *leaf) {
  if (pathname == nullptr || std::strlen(pathname) >= kPathSize) return false;
  char dir[kPathSize];
  if (fileutl_strip_leaf(pathname, sizeof dir, dir, kPathSize, leaf) != KS_ST_OK) return false;
  if (dir[0] == '\0') std::strcpy(dir, ".");
  return mf_stat_cached_resolve_abspn(dir, resolved, kPathSize, 0) == KS_ST_OK;
}

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t ns_of(const view_time_t &t) { return t.sec * 1000000000 + t.nsec; }

// Marks the record checked and without names: the directory is missing or no directory.
void mark_absent(dir_t *dir) {
  dir->generation = generation;
  dir->loaded = 0;
  drop_names(dir);
}

// Makes the name table of dir hold exactly the names directory path has now, each as existing:
// names still there keep their entry, new names are entered, the others go. The table is kept
// across reads so that a directory that grows by a name per build script is not copied whole
// again each time. *count gets the number of names. KS_ST_OK, or KS_ST_ERR when the directory
// cannot be read or memory runs out (the record is then left without names). Kept out of
// ensure_fresh, whose checks find most directories as they were.
[[gnu::noinline]] ks_status_t read_names(dir_t *dir, const char *path, size_t *count) {
  static uint32_t reads = 0;
  struct Walk {
    hash_ht_t names;
    uint32_t read;
    size_t count;
    bool failed;
  } w{dir->names, ++reads == 0 ? ++reads : reads, 0, false};
  pfm_inhibit();
  if (w.names == HASH_HT_NULL) {
    w.names = dir->names = new_names(64);
    if (w.names != HASH_HT_NULL) hash_set_dynamic(w.names, 4);
  }
  ks_status_t st = KS_ST_ERR;
  if (w.names != HASH_HT_NULL) {
    st = fileutl_walk_dir(
        path,
        [](const char *name, void *ctx) {
          auto *w = static_cast<Walk *>(ctx);
          void *data = nullptr;
          if (hash_str_enter(w->names, name, nullptr, &data) < 0) {
            w->failed = true;
            return false;
          }
          *static_cast<name_t *>(data) = {0, w->read};
          w->count++;
          return true;
        },
        &w);
    if (st == KS_ST_OK && w.failed) {
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE);
      st = KS_ST_ERR;
    }
  } else {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE);
  }
  if (st == KS_ST_OK && hash_count(w.names) != w.count) {
    // Names from an earlier read or claims that the directory no longer holds.
    std::vector<std::string> gone;
    void *data = nullptr;
    const char *key = nullptr;
    for (hash_cursor_t c = hash_str_next(w.names, nullptr, &key, &data); c != nullptr;
         c = hash_str_next(w.names, c, &key, &data))
      if (static_cast<name_t *>(data)->read != w.read) gone.emplace_back(key);
    for (const std::string &k : gone) hash_str_remove(w.names, k.c_str());
  }
  if (st != KS_ST_OK) {
    if (tracing())
      imsg_print_cold(IMSG_TRACE, "mf_dirent_ensure_fresh() read_whole_dir failed: %s\n", -1, path);
    dir->loaded = 0;
    drop_names(dir);
  }
  pfm_enable();
  *count = w.count;
  return st;
}

// Brings the record of directory path up to date with the file system. KS_ST_OK, or KS_ST_ERR
// when the directory cannot be read.
ks_status_t ensure_fresh(dir_t *dir, const char *path) {
  view_xstat_t vstat{};
  tbs_oid_t vob_oid{};
  tbs_uuid_t view_uuid{};
  tbs_uuid_t replica_uuid{};
  ks_status_t st = mf_stat_view_lget_xstat(path, &vstat, &vob_oid, &view_uuid, 0, &replica_uuid);
  if (st != KS_ST_OK) {
    if (tracing())
      imsg_print_cold(IMSG_TRACE, "mf_dirent_ensure_fresh() didn't find %s\n", -1, path);
    mark_absent(dir);
    return KS_ST_OK;
  }
  if (vstat.fstat.type == VIEW_FTYPE_LNK) {
    if (tracing()) imsg_print_cold(IMSG_TRACE, "  Is a link: %s\n", -1, path);
    // The names and the time that matter are those of the directory the link leads to.
    view_xstat_t target{};
    if (mf_stat_view_get_xstat(path, &target, &vob_oid, &view_uuid, 0, &replica_uuid) !=
        KS_ST_OK) {
      mark_absent(dir);
      return KS_ST_OK;
    }
    if (tracing()) imsg_print_cold(IMSG_TRACE, "  Link exists: %s\n", -1, path);
    if (target.fstat.type != VIEW_FTYPE_DIR) {
      if (tracing()) imsg_print_cold(IMSG_TRACE, "  Link to non-dir: %s\n", -1, path);
      mark_absent(dir);
      return KS_ST_OK;
    }
    vstat = target;
  } else if (vstat.fstat.type != VIEW_FTYPE_DIR) {
    if (tracing())
      imsg_print_cold(IMSG_TRACE, "mf_dirent_ensure_fresh() didn't find dir %s\n", -1, path);
    mark_absent(dir);
    return KS_ST_OK;
  }

  if (dir->loaded && std::memcmp(&dir->mtime, &vstat.fstat.mtime, sizeof dir->mtime) == 0) {
    bool outside = vstat.mtype == VOB_MTYPE_NULL && tbs_oid_is_null(&vstat.elem_oid) &&
                   tbs_oid_is_null(&vstat.obj_oid) && tbs_oid_is_null(&vob_oid) &&
                   tbs_uuid_is_null(&view_uuid) && tbs_uuid_is_null(&replica_uuid);
    if (!outside && !dir->racy) {
      if (tracing())
        imsg_print_cold(IMSG_TRACE, "mf_dirent_ensure_fresh() timestamp unchanged: %s\n", -1, path);
      dir->generation = generation;
      return KS_ST_OK;
    }
    if (tracing()) {
      imsg_print_cold(IMSG_TRACE,
                      outside ? "mf_dirent_ensure_fresh() non-Vessary dir timestamp untrusted: %s\n"
                         : "mf_dirent_ensure_fresh() timestamp too recent to trust: %s\n",
                      -1, path);
    }
  }

  int64_t read_at = now_ns();
  size_t count = 0;
  if (read_names(dir, path, &count) != KS_ST_OK) return KS_ST_ERR;

  uint32_t old_generation = dir->generation;
  int64_t old_mtime = dir->mtime.sec;
  pfm_inhibit();
  // An empty directory keeps no name table.
  if (count == 0) drop_names(dir);
  dir->loaded = 1;
  dir->mtime = vstat.fstat.mtime;
  dir->racy = read_at - ns_of(vstat.fstat.mtime) < kTickMarginNs ? 1 : 0;
  // An empty directory keeps its old generation, so that its next test checks it again.
  if (count > 0) dir->generation = generation;
  pfm_enable();
  if (tracing()) {
    imsg_print_cold(IMSG_TRACE,
                    "mf_dirent_ensure_fresh() updated %s (case_sens_vessary:%s), gen: %u->%u, "
                    "mtime: %ld->%ld, name_count: %d\n",
                    -1, path, "yes", old_generation, dir->generation, long(old_mtime),
                    long(dir->mtime.sec), int(count));
  }
  return KS_ST_OK;
}

// The record of the resolved directory path; null when memory runs out. *created tells whether
// it is new.
dir_t *enter_dir(const char *path, bool *created) {
  *created = false;
  if (last_dir != nullptr && std::strcmp(last_dir->pathname, path) == 0) return last_dir;
  const char *key = nullptr;
  void *data = nullptr;
  int entered = hash_str_enter(dir_table, path, &key, &data);
  if (entered < 0) return nullptr;
  auto *dir = static_cast<dir_t *>(data);
  *created = entered == 0;
  if (*created) dir->pathname = key;
  last_dir = dir;
  return dir;
}

dir_t *find_dir(const char *path) {
  void *data = nullptr;
  if (dir_table == HASH_HT_NULL || !hash_str_lookup(dir_table, path, nullptr, &data))
    return nullptr;
  return static_cast<dir_t *>(data);
}

// Enters leaf in the names of dir as existing (0) or deleted (1), giving an unloaded record an
// empty name table first.
ks_status_t claim_name(dir_t *dir, const char *leaf, uint32_t deleted) {
  if (!dir->loaded || dir->names == HASH_HT_NULL) {
    if (dir->names == HASH_HT_NULL) {
      dir->names = new_names(1);
      if (dir->names == HASH_HT_NULL) {
        imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE);
        return KS_ST_ERR;
      }
    }
    dir->loaded = 1;
  }
  void *data = nullptr;
  if (hash_str_enter(dir->names, leaf, nullptr, &data) < 0) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  static_cast<name_t *>(data)->deleted = deleted;
  return KS_ST_OK;
}

// Enters the claim for pathname in its directory's record, if the cache knows the directory.
ks_status_t claim_in_parent(const char *pathname, uint32_t deleted) {
  char resolved[kPathSize];
  char leaf[kPathSize];
  if (!split_resolved(pathname, resolved, leaf)) return KS_ST_ERR;
  dir_t *dir = find_dir(resolved);
  if (dir == nullptr) return KS_ST_OK;
  pfm_inhibit();
  ks_status_t st = claim_name(dir, leaf, deleted);
  pfm_enable();
  return st;
}

}  // namespace

const imsg_msg_table_t _mf_dirent_karsel_msg_table = {
    "karsel_bin", kModule, 153, sizeof mf_dirent_formats / sizeof mf_dirent_formats[0],
    mf_dirent_formats, mf_dirent_catalog,
};

ks_status_t mf_dirent_init(stg_area_t area) {
  if (tracing()) imsg_print_cold(IMSG_TRACE, "mf_dirent_init() called\n", -1);
  if (dir_table != HASH_HT_NULL) mf_dirent_term();
  last_dir = nullptr;
  generation = 1;
  dir_area = area;
  dir_table = hash_str_create(31, sizeof(dir_t), 1);
  if (dir_table == HASH_HT_NULL) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE);
    return KS_ST_ERR;
  }
  hash_set_dynamic(dir_table, 4);
  return KS_ST_OK;
}

void mf_dirent_term() {
  if (tracing()) imsg_print_cold(IMSG_TRACE, "mf_dirent_term() called\n", -1);
  if (dir_table != HASH_HT_NULL) {
    // The tables live on the heap whatever the area: they are freed here in every case.
    void *data = nullptr;
    for (hash_cursor_t c = hash_str_next(dir_table, nullptr, nullptr, &data); c != nullptr;
         c = hash_str_next(dir_table, c, nullptr, &data))
      drop_names(static_cast<dir_t *>(data));
    hash_delete_ht(&dir_table);
    last_dir = nullptr;
  }
  dir_area = STG_AREA_HEAP;
  generation = 1;
}

ks_status_t mf_dirent_exists(const char *pathname) {
  // A name too long for the system to reach names no file.
  if (pathname != nullptr && std::strlen(pathname) >= kPathSize) return KS_ST_NOT_FOUND;
  char resolved[kPathSize];
  char leaf[kPathSize];
  if (ensure_table() == KS_ST_OK && split_resolved(pathname, resolved, leaf))
    return mf_dirent_exists_in(resolved, leaf, pathname);
  if (tracing())
    imsg_print_cold(IMSG_TRACE, "mf_dirent_exists(%s) => %s\n", -1, pathname ? pathname : "(null)",
                    status_name(KS_ST_ERR));
  return KS_ST_ERR;
}

ks_status_t mf_dirent_exists_in(const char *resolved, const char *leaf, const char *pathname) {
  ks_status_t result = KS_ST_ERR;
  if (ensure_table() == KS_ST_OK) {
    bool created = false;
    dir_t *dir = enter_dir(resolved, &created);
    if (dir == nullptr) {
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    } else {
      if (created && tracing())
        imsg_print_cold(IMSG_TRACE, "mf_dirent_exists(%s): new dir_t for %s\n", -1, pathname,
                        resolved);
      result = KS_ST_OK;
      if (dir->generation != generation) result = ensure_fresh(dir, resolved);
      if (result == KS_ST_OK) {
        void *data = nullptr;
        bool found = dir->loaded && dir->names != HASH_HT_NULL &&
                     hash_str_lookup(dir->names, leaf, nullptr, &data) &&
                     static_cast<name_t *>(data)->deleted == 0;
        result = found ? KS_ST_OK : KS_ST_NOT_FOUND;
      }
    }
  }
  if (tracing())
    imsg_print_cold(IMSG_TRACE, "mf_dirent_exists(%s) => %s\n", -1, pathname ? pathname : "(null)",
                    status_name(result));
  return result;
}

ks_status_t mf_dirent_update(int kind, const char *pathname) {
  switch (kind) {
    case MF_DIRENT_INVALIDATE:
      mf_dirent_bump_generation();
      return KS_ST_OK;
    case MF_DIRENT_FILE_CREATED:
      return mf_dirent_claim_file_create_or_delete(pathname, 1);
    case MF_DIRENT_FILE_DELETED:
      return mf_dirent_claim_file_create_or_delete(pathname, 0);
    case MF_DIRENT_DIR_DELETED:
      return mf_dirent_claim_dir_delete(pathname);
    default:
      imsg_print_cold(IMSG_ERROR, &_mf_dirent_karsel_msg_table, MF_DIRENT_MSG_UNKNOWN_UPDATE, kind);
      return KS_ST_ERR;
  }
}

void mf_dirent_bump_generation() {
  if (tracing()) imsg_print_cold(IMSG_TRACE, "mf_dirent_bump_generation() called\n", -1);
  generation = generation == UINT32_MAX ? 1 : generation + 1;
}

uint32_t mf_dirent_generation() { return generation; }

ks_status_t mf_dirent_claim_file_create_or_delete(const char *pathname, int created) {
  ks_status_t st = dir_table == HASH_HT_NULL ? KS_ST_OK : claim_in_parent(pathname, created ? 0 : 1);
  if (tracing())
    imsg_print_cold(IMSG_TRACE, "%s(%s) => %s\n", -1,
                    created ? "mf_dirent_claim_file_create" : "mf_dirent_claim_file_delete",
                    pathname ? pathname : "(null)", status_name(st));
  return st;
}

ks_status_t mf_dirent_claim_dir_delete(const char *pathname) {
  ks_status_t st = KS_ST_OK;
  if (dir_table != HASH_HT_NULL) {
    st = claim_in_parent(pathname, 1);
    char resolved[kPathSize];
    if (st == KS_ST_OK) {
      if (mf_stat_cached_resolve_abspn(pathname, resolved, sizeof resolved, 0) != KS_ST_OK) {
        st = KS_ST_ERR;
      } else if (dir_t *dir = find_dir(resolved)) {
        pfm_inhibit();
        dir->loaded = 0;
        drop_names(dir);
        pfm_enable();
      }
    }
  }
  if (tracing())
    imsg_print_cold(IMSG_TRACE, "%s(%s) => %s\n", -1, "mf_dirent_claim_dir_delete",
                    pathname ? pathname : "(null)", status_name(st));
  return st;
}
