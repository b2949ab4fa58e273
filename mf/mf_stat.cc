#include "mf/mf_stat.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "mf/mf.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"
#include "vob/vob_mtype.h"
#include "view/view_audit.h"
#include "vob/vob_ob.h"

namespace {

constexpr const char *kModule = "mf/mf_stat";
constexpr const char *kTrace = "mf_stat";
constexpr int kTraceLevel = 3;

const char *const mf_stat_formats[] = {
    "Target pathname exceeded length of supplied buffer (%d bytes)\n\t\"%s\"\n",
    "Unable to resolve target pathname \"%s\" - %s\n",
};
const uint16_t mf_stat_catalog[] = {0, 1};

bool tracing() { return mf_utl_should_trace(kTrace, kTraceLevel); }

// The answer of TOLVICK_NO_STAT_CACHE, read once per operation.
enum class Switch { kUnread, kEnabled, kDisabled };
Switch view_info_switch = Switch::kUnread;
Switch obj_exists_switch = Switch::kUnread;
Switch get_dtm_switch = Switch::kUnread;
Switch inval_obj_switch = Switch::kUnread;
Switch invalidate_switch = Switch::kUnread;

bool cache_enabled(Switch &state) {
  if (state == Switch::kUnread)
    state = mf_getenv("TOLVICK_NO_STAT_CACHE") != nullptr ? Switch::kDisabled : Switch::kEnabled;
  return state == Switch::kEnabled;
}

// The status of a view query as the cache reports it.
ks_status_t status_of(const mf_stat_half_t &half) {
  if (half.flags & MF_STAT_NOT_EXISTS) return KS_ST_NOT_FOUND;
  return (half.flags & MF_STAT_IN_VOB) ? KS_ST_OK : KS_ST_NOT_IN_VOB;
}

// Fills an unqueried half with the view's extended stat (follow or not). 0 when the half now
// holds an answer (the object may not exist), else the view's status after its message.
// With identity clear only the file status is asked for (a half so filled is marked
// MF_STAT_TIMES_ONLY and filled again when the identity is wanted later): times and existence
// need no object identity, which is by far the dearer part of the view's answer.
ks_status_t fill_half(mf_stat_half_t *half, const char *pathname, bool follow, bool identity) {
  if (half->flags != 0 && (!identity || !(half->flags & MF_STAT_TIMES_ONLY))) return KS_ST_OK;
  if (tracing()) {
    imsg_print_cold(IMSG_TRACE,
                    follow ? "MF_STAT_VIEW_GET_XSTAT on \"%s\"\n"
                           : "MF_STAT_VIEW_LGET_XSTAT on \"%s\"\n",
                    -1, pathname);
  }
  mf_stat_half_t fresh{};
  ks_status_t st;
  if (identity) {
    st = follow ? mf_stat_view_get_xstat(pathname, &fresh.vstat, &fresh.vob_oid,
                                         &fresh.view_uuid, 0, &fresh.replica_uuid)
                : mf_stat_view_lget_xstat(pathname, &fresh.vstat, &fresh.vob_oid,
                                          &fresh.view_uuid, 0, &fresh.replica_uuid);
  } else {
    view_audit_note_stat(pathname, follow ? 1 : 0);
    st = view_get_fstat(pathname, follow ? 1 : 0, &fresh.vstat.fstat);
  }
  if (st == KS_ST_NOT_IN_VIEW || st == KS_ST_NOT_FOUND) {
    fresh = mf_stat_half_t{};
    fresh.flags = MF_STAT_NOT_EXISTS;
  } else if (st != KS_ST_OK) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_OBJ_OP_FAILED,
                      pathname, tbs_strerror(st));
    return st;
  } else {
    fresh.flags = MF_STAT_EXISTS;
    if (!identity) fresh.flags |= MF_STAT_TIMES_ONLY;
    if (fresh.vstat.mtype != VOB_MTYPE_NULL) fresh.flags |= MF_STAT_IN_VOB;
  }
  pfm_inhibit();
  *half = fresh;
  pfm_enable();
  return KS_ST_OK;
}

// Forgets what the entry knew, so that the next query asks again.
void forget(mf_stat_obj_t *obj) {
  obj->self.flags = 0;
  if (obj->followed != nullptr) obj->followed->flags = 0;
}

// The half of the entry of pathname that answers the query, filled as needed; null with *status
// set when the object does not exist (KS_ST_NOT_FOUND) or the view failed.
const mf_stat_half_t *cached_query(mf_stat_handle_t handle, const char *pathname,
                                   bool follow, ks_status_t *status, bool identity) {
  *status = KS_ST_NOT_FOUND;
  if (pathname == nullptr || *pathname == '\0') return nullptr;
  void *data = nullptr;
  pfm_inhibit();
  int entered = hash_str_enter(handle, pathname, nullptr, &data);
  pfm_enable();
  if (entered < 0) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    *status = KS_ST_ERR;
    return nullptr;
  }
  auto *obj = static_cast<mf_stat_obj_t *>(data);
  const mf_stat_half_t *answer = nullptr;
  ks_status_t st = fill_half(&obj->self, pathname, false, identity);
  if (st == KS_ST_OK && !(obj->self.flags & MF_STAT_NOT_EXISTS)) {
    if (!follow || obj->self.vstat.fstat.type != VIEW_FTYPE_LNK) {
      answer = &obj->self;
    } else {
      if (obj->followed == nullptr &&
          (obj->followed = static_cast<mf_stat_half_t *>(std::calloc(1, sizeof(mf_stat_half_t)))) == nullptr) {
        imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
        *status = KS_ST_ERR;
        return nullptr;
      }
      st = fill_half(obj->followed, pathname, true, identity);
      if (st == KS_ST_OK) answer = obj->followed;
    }
  }
  if (tracing()) {
    imsg_print_cold(IMSG_TRACE, "Queried:\n", -1);
    mf_stat_dump_stat_cache_obj(obj, pathname);
  }
  if (st != KS_ST_OK) {
    *status = st;
    return nullptr;
  }
  if (answer == nullptr || (answer->flags & MF_STAT_NOT_EXISTS)) return nullptr;
  *status = status_of(*answer);
  return answer;
}

// Uncached view_info: the view's answer mapped as the cache maps it.
ks_status_t uncached_view_info(const char *pathname, int follow_links, view_xstat_t *vstat,
                               tbs_oid_t *vob_oid, tbs_replica_uuid_t *replica_uuid,
                               tbs_uuid_t *view_uuid) {
  if (pathname == nullptr || *pathname == '\0') return KS_ST_NOT_FOUND;
  mf_stat_half_t half{};
  ks_status_t st = follow_links ? mf_stat_view_get_xstat(pathname, &half.vstat, &half.vob_oid,
                                                         &half.view_uuid, 0, &half.replica_uuid)
                                : mf_stat_view_lget_xstat(pathname, &half.vstat, &half.vob_oid,
                                                          &half.view_uuid, 0,
                                                          &half.replica_uuid);
  if (st == KS_ST_NOT_IN_VIEW || st == KS_ST_NOT_FOUND) return KS_ST_NOT_FOUND;
  if (st != KS_ST_OK) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_OBJ_OP_FAILED,
                      pathname, tbs_strerror(st));
    return st;
  }
  if (vstat) *vstat = half.vstat;
  if (vob_oid) *vob_oid = half.vob_oid;
  if (replica_uuid) *replica_uuid = half.replica_uuid;
  if (view_uuid) *view_uuid = half.view_uuid;
  return half.vstat.mtype != VOB_MTYPE_NULL ? KS_ST_OK : KS_ST_NOT_IN_VOB;
}

// The resolved-pathname cache: key (flag and pathname) -> resolved name in resolve_area.
hash_ht_t resolve_table = HASH_HT_NULL;
stg_area_t resolve_area = STG_AREA_HEAP;
// Moves on each time the table is finalized.
uint32_t resolve_generation = 1;

// resolve_key of a pathname with a flag or a relative pathname. Out of line: the common key is
// the absolute pathname alone.
[[gnu::noinline]] std::string qualified_resolve_key(const char *pathname, int flag) {
  std::string key;
  if (flag != 0) key = "\x01" + std::to_string(flag) + ":";
  if (pathname[0] != '/') {
    char cwd[PATH_MAX];
    if (fileutl_getcwd(cwd, sizeof cwd) != KS_ST_OK) return std::string();
    key.append("\x02").append(cwd).append("\n");
  }
  return key.append(pathname);
}

// The key of a resolution: the flag when not 0, and for a relative pathname the working
// directory it was resolved against, so that a change of directory never gives a stale answer.
std::string resolve_key(const char *pathname, int flag) {
  if (flag == 0 && pathname[0] == '/') return pathname;
  return qualified_resolve_key(pathname, flag);
}

}  // namespace

const imsg_msg_table_t _mf_stat_karsel_msg_table = {
    "karsel_bin", kModule, 152, sizeof mf_stat_formats / sizeof mf_stat_formats[0],
    mf_stat_formats, mf_stat_catalog,
};

mf_stat_handle_t mf_stat_init() {
  hash_ht_t table = hash_str_create(4096, sizeof(mf_stat_obj_t), 1);
  if (table == HASH_HT_NULL) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE);
    return HASH_HT_NULL;
  }
  return table;
}

void mf_stat_term(mf_stat_handle_t handle) {
  if (handle == HASH_HT_NULL) return;
  void *data = nullptr;
  for (hash_cursor_t c = hash_str_next(handle, nullptr, nullptr, &data); c != nullptr;
       c = hash_str_next(handle, c, nullptr, &data))
    std::free(static_cast<mf_stat_obj_t *>(data)->followed);
  hash_delete_ht(&handle);
  if (handle != HASH_HT_NULL) {
    tbs_log_int_error(kModule, &imsg_common_table, IMSG_COMMON_HASH_DELETE,
                      pfm_file_stem(__FILE__), __LINE__, 0);
  }
}

ks_status_t mf_stat_fileutl_stat(const char *pathname, struct stat *st) {
  view_audit_note_stat(pathname, 1);
  if (fileutl_stat(pathname, 1, st) != 0) return tbs_errno2status(errno);
  return KS_ST_OK;
}

ks_status_t mf_stat_view_get_xstat(const char *pathname, view_xstat_t *vstat,
                                   tbs_oid_t *vob_oid, tbs_uuid_t *view_uuid, int unused,
                                   tbs_uuid_t *replica_uuid) {
  view_audit_note_stat(pathname, 1);
  return view_get_xstat(pathname, 1, vstat, vob_oid, view_uuid, unused, replica_uuid);
}

ks_status_t mf_stat_view_lget_xstat(const char *pathname, view_xstat_t *vstat,
                                    tbs_oid_t *vob_oid, tbs_uuid_t *view_uuid, int unused,
                                    tbs_uuid_t *replica_uuid) {
  view_audit_note_stat(pathname, 0);
  return view_lget_xstat(pathname, 1, vstat, vob_oid, view_uuid, unused, replica_uuid);
}

ks_status_t mf_stat_view_info(mf_stat_handle_t handle, const char *pathname, int follow_links,
                              view_xstat_t *vstat, tbs_oid_t *vob_oid,
                              tbs_replica_uuid_t *replica_uuid, tbs_uuid_t *view_uuid) {
  if (!cache_enabled(view_info_switch) || handle == HASH_HT_NULL)
    return uncached_view_info(pathname, follow_links, vstat, vob_oid, replica_uuid, view_uuid);
  ks_status_t st;
  const mf_stat_half_t *answer = cached_query(handle, pathname, follow_links != 0, &st, true);
  if (answer == nullptr) return st;
  if (vstat) *vstat = answer->vstat;
  if (vob_oid) *vob_oid = answer->vob_oid;
  if (replica_uuid) *replica_uuid = answer->replica_uuid;
  if (view_uuid) *view_uuid = answer->view_uuid;
  return st;
}

ks_status_t mf_stat_obj_exists(mf_stat_handle_t handle, const char *pathname) {
  if (!cache_enabled(obj_exists_switch) || handle == HASH_HT_NULL) return mf_utl_obj_exists(pathname);
  ks_status_t st;
  const mf_stat_half_t *answer = cached_query(handle, pathname, false, &st, false);
  return answer != nullptr ? KS_ST_OK : st;
}

ks_status_t mf_stat_get_dtm(mf_stat_handle_t handle, const char *pathname, int follow_links,
                            time_t *out_time) {
  if (!cache_enabled(get_dtm_switch) || handle == HASH_HT_NULL) return mf_utl_get_dtm(pathname, follow_links, out_time);
  ks_status_t st;
  const mf_stat_half_t *answer = cached_query(handle, pathname, follow_links != 0, &st, false);
  if (answer == nullptr) return st;
  *out_time = time_t(answer->vstat.fstat.mtime.sec);
  return KS_ST_OK;
}

void mf_stat_inval_obj(mf_stat_handle_t handle, const char *pathname) {
  if (handle == HASH_HT_NULL) {
    if (tracing())
      imsg_print_cold(IMSG_TRACE, "mf_stat_inval_obj called with NULL stat handle, ignoring.\n",
                      -1);
    return;
  }
  if (!cache_enabled(inval_obj_switch)) {
    if (tracing())
      imsg_print_cold(IMSG_TRACE, "mf_stat_inval_obj called with disabled cache, ignoring.\n", -1);
    return;
  }
  if (pathname == nullptr) {
    if (tracing())
      imsg_print_cold(IMSG_TRACE, "mf_stat_inval_obj errored canonicalizing %s, ignoring.\n", -1,
                      "(null)");
    return;
  }
  void *data = nullptr;
  if (!hash_str_lookup(handle, pathname, nullptr, &data)) {
    if (tracing())
      imsg_print_cold(IMSG_TRACE, "mf_stat_inval_obj found no entry for %s, ignoring.\n", -1,
                      pathname);
    return;
  }
  auto *obj = static_cast<mf_stat_obj_t *>(data);
  if (tracing()) {
    imsg_print_cold(IMSG_TRACE, "Selectively invalidated:\n", -1);
    mf_stat_dump_stat_cache_obj(obj, pathname);
  }
  pfm_inhibit();
  forget(obj);
  pfm_enable();
}

void mf_stat_invalidate(mf_stat_handle_t handle) {
  if (handle == HASH_HT_NULL || !cache_enabled(invalidate_switch)) return;
  const char *key = nullptr;
  void *data = nullptr;
  for (hash_cursor_t c = hash_str_next(handle, nullptr, &key, &data); c != nullptr;
       c = hash_str_next(handle, c, &key, &data)) {
    auto *obj = static_cast<mf_stat_obj_t *>(data);
    vob_mtype_t mtype = obj->self.vstat.mtype;
    bool queried = obj->self.flags != 0 && !(obj->self.flags & MF_STAT_NOT_EXISTS);
    bool keep = queried && (mtype == VOB_MTYPE_VERSION ||
                            (mtype == VOB_MTYPE_SLINK && obj->followed != nullptr &&
                             obj->followed->flags != 0 &&
                             !(obj->followed->flags & MF_STAT_NOT_EXISTS) &&
                             obj->followed->vstat.mtype == VOB_MTYPE_VERSION));
    if (keep) {
      if (tracing())
        imsg_print_cold(IMSG_TRACE, "mf_stat_invalidate: %s:%s kept\n", -1, key,
                        vob_mtype_name(mtype));
      continue;
    }
    if (tracing()) {
      imsg_print_cold(IMSG_TRACE, "Mass-invalidated:\n", -1);
      mf_stat_dump_stat_cache_obj(obj, key);
    }
    pfm_inhibit();
    forget(obj);
    pfm_enable();
    if (tracing())
      imsg_print_cold(IMSG_TRACE, "mf_stat_invalidate: %s:%s flushed\n", -1, key,
                      vob_mtype_name(mtype));
  }
}

void mf_stat_flush(mf_stat_handle_t handle) {
  if (handle == HASH_HT_NULL) return;
  void *data = nullptr;
  pfm_inhibit();
  for (hash_cursor_t c = hash_str_next(handle, nullptr, nullptr, &data); c != nullptr;
       c = hash_str_next(handle, c, nullptr, &data)) {
    auto *obj = static_cast<mf_stat_obj_t *>(data);
    forget(obj);
  }
  pfm_enable();
}

void mf_stat_reread_switch() {
  view_info_switch = obj_exists_switch = get_dtm_switch = Switch::kUnread;
  inval_obj_switch = invalidate_switch = Switch::kUnread;
}

ks_status_t mf_stat_init_cached_resolve_abspn(stg_area_t area) {
  resolve_area = area;
  if (resolve_table != HASH_HT_NULL) return KS_ST_OK;
  resolve_table = hash_str_create(4096, sizeof(char *), 1);
  if (resolve_table == HASH_HT_NULL) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_HASH_CREATE);
    return KS_ST_ERR;
  }
  hash_set_dynamic(resolve_table, 4);
  return KS_ST_OK;
}

ks_status_t mf_stat_cached_resolve_abspn(const char *pathname, char *buf, size_t buf_size,
                                         int flag) {
  if (resolve_table == HASH_HT_NULL &&
      mf_stat_init_cached_resolve_abspn(resolve_area) != KS_ST_OK)
    return KS_ST_ERR;
  if (pathname == nullptr || *pathname == '\0') {
    imsg_print_cold(IMSG_ERROR, &_mf_stat_karsel_msg_table, MF_STAT_MSG_UNRESOLVABLE, "",
                    imsg_strerror(ENOENT));
    return KS_ST_ERR;
  }
  std::string key = resolve_key(pathname, flag);
  void *data = nullptr;
  if (!key.empty() && hash_str_lookup(resolve_table, key.c_str(), nullptr, &data)) {
    const char *resolved = *static_cast<char **>(data);
    if (std::strlen(resolved) >= buf_size) {
      imsg_print_cold(IMSG_ERROR, &_mf_stat_karsel_msg_table, MF_STAT_MSG_BUF_TOO_SMALL,
                      int(buf_size), resolved);
      return KS_ST_NAME_TOO_LONG;
    }
    std::memcpy(buf, resolved, std::strlen(resolved) + 1);
    return KS_ST_OK;
  }
  if (vob_resolve_abspn_cond(pathname, buf, buf_size, flag) != 0) {
    imsg_print_cold(IMSG_ERROR, &_mf_stat_karsel_msg_table, MF_STAT_MSG_UNRESOLVABLE, pathname,
                    imsg_strerror(errno));
    return KS_ST_ERR;
  }
  if (key.empty()) return KS_ST_OK;
  char *copy = stg_area_strdup(resolve_area, buf);
  if (copy == nullptr) return KS_ST_OK;  // the answer stands; it is only not remembered
  if (hash_str_enter(resolve_table, key.c_str(), nullptr, &data) < 0) {
    if (resolve_area == STG_AREA_HEAP) stg_free(copy);
    return KS_ST_OK;
  }
  *static_cast<char **>(data) = copy;
  return KS_ST_OK;
}

ks_status_t mf_stat_finalize_cached_resolve_abspn() {
  if (resolve_table == HASH_HT_NULL) return KS_ST_OK;
  if (resolve_area == STG_AREA_HEAP) {
    void *data = nullptr;
    for (hash_cursor_t c = hash_str_next(resolve_table, nullptr, nullptr, &data); c != nullptr;
         c = hash_str_next(resolve_table, c, nullptr, &data))
      stg_free(*static_cast<char **>(data));
  }
  hash_delete_ht(&resolve_table);
  resolve_area = STG_AREA_HEAP;
  ++resolve_generation;
  return KS_ST_OK;
}

uint32_t mf_stat_cached_resolve_generation() { return resolve_generation; }

namespace {

const char *ftype_name(uint32_t type, char *buf, size_t size) {
  static const char *const kNames[] = {"NULL", "REG", "DIR", "BLK", "CHR", "LNK", "FIFO"};
  if (type < sizeof kNames / sizeof kNames[0]) return kNames[type];
  std::snprintf(buf, size, "?ftype = %d?", int(type));
  return buf;
}

std::string mode_names(uint32_t mode) {
  struct Bit {
    uint32_t mask;
    const char *name;
  };
  static const Bit kBits[] = {
      {VIEW_FMODE_AUDITED, "AUDITED"}, {S_ISUID, "ISUID"}, {S_ISGID, "ISGID"},
      {S_ISVTX, "ISVTX"},              {S_IRWXU, "IRWXU"}, {S_IRUSR, "IRUSR"},
      {S_IWUSR, "IWUSR"},              {S_IXUSR, "IXUSR"}, {S_IRWXG, "IRWXG"},
      {S_IRGRP, "IRGRP"},              {S_IWGRP, "IWGRP"}, {S_IXGRP, "IXGRP"},
      {S_IRWXO, "IRWXO"},              {S_IROTH, "IROTH"}, {S_IWOTH, "IWOTH"},
      {S_IXOTH, "IXOTH"},
  };
  std::string text;
  for (const Bit &bit : kBits) {
    if ((mode & bit.mask) != bit.mask) continue;
    if (!text.empty()) text += ", ";
    text += bit.name;
  }
  return text;
}

void print_time(const char *label, const view_time_t &t) {
  char text[64];
  time_t sec = time_t(t.sec);
  if (ctime_r(&sec, text) == nullptr) std::snprintf(text, sizeof text, "%lld\n", (long long)t.sec);
  imsg_print_cold(IMSG_TRACE_CONT, "  vstat.fstat.%s : %s", -1, label, text);
}

}  // namespace

void mf_stat_dump_stat_cache_obj(const mf_stat_obj_t *obj_p, const char *pname) {
  PFM_ASSERT(obj_p != NULL);
  PFM_ASSERT(pname != NULL);
  const mf_stat_half_t &self = obj_p->self;
  imsg_print_cold(IMSG_TRACE, "stat cache object %0lx:\n", -1, (unsigned long)(uintptr_t)obj_p);
  imsg_print_cold(IMSG_TRACE_CONT, "----- Object at \"%s\" -----\n", -1, pname);
  std::string flags;
  if (self.flags == 0) {
    flags = "LINK";
  } else {
    flags = "!LINK";
    if (self.flags & MF_STAT_EXISTS) flags += ", EXISTS";
    if (self.flags & MF_STAT_NOT_EXISTS) flags += ", !EXISTS";
  }
  flags += (self.flags & MF_STAT_IN_VOB) ? ", IN_VOB" : ", !IN_VOB";
  imsg_print_cold(IMSG_TRACE_CONT, "  flags: %s\n", -1, flags.c_str());
  const view_fstat_t &f = self.vstat.fstat;
  char buf[32];
  imsg_print_cold(IMSG_TRACE_CONT, "  vstat.fstat.type : %s\n", -1,
                  ftype_name(f.type, buf, sizeof buf));
  imsg_print_cold(IMSG_TRACE_CONT, "  vstat.fstat.mode : %s\n", -1, mode_names(f.mode).c_str());
  imsg_print_cold(IMSG_TRACE_CONT, "  vstat.fstat.nlink : %u\n", -1, unsigned(f.nlink));
  imsg_print_cold(IMSG_TRACE_CONT, "  vstat.fstat.size : %u\n", -1, unsigned(f.size));
  imsg_print_cold(IMSG_TRACE_CONT, "  vstat.fstat.nodeid : %u\n", -1, unsigned(f.nodeid));
  print_time("xtime", f.xtime);
  print_time("atime", f.atime);
  print_time("mtime", f.mtime);
  print_time("ctime", f.ctime);
  const char *mtype = vob_mtype_short_name(self.vstat.mtype);
  if (mtype == nullptr) {
    std::snprintf(buf, sizeof buf, "?mtype = %d?", int(self.vstat.mtype));
    mtype = buf;
  }
  imsg_print_cold(IMSG_TRACE_CONT, "  vstat.mtype : %s\n", -1, mtype);
  imsg_print_cold(IMSG_TRACE_CONT, "%s: %s\n", -1, "  vstat.elem_oid",
                  tbs_oid_to_str(&self.vstat.elem_oid));
  imsg_print_cold(IMSG_TRACE_CONT, "%s: %s\n", -1, "  vstat.obj_oid",
                  tbs_oid_to_str(&self.vstat.obj_oid));
  imsg_print_cold(IMSG_TRACE_CONT, "%s: %s\n", -1, "  vob_oid", tbs_oid_to_str(&self.vob_oid));
  imsg_print_cold(IMSG_TRACE_CONT, "%s: %s\n", -1, "  replica_uuid",
                  tbs_uuid_to_str(&self.replica_uuid));
  imsg_print_cold(IMSG_TRACE_CONT, "%s: %s\n", -1, "  view_uuid",
                  tbs_uuid_to_str(&self.view_uuid));
}
