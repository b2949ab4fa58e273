// Builder utilities: the view, the working directory, umasks, the audit temporary directory,
// pathnames, object information and caches, the lookup policy and the removal of failed targets.
#include "bld/bldr_utl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>
#include <algorithm>

#include "cm/cr_utl_view.h"
#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "ks/strutl.h"
#include "mf/mf.h"
#include "mf/mf_dirent.h"
#include "mf/mf_stat.h"
#include "mf/mf_tgt.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"
#include "view/view_ws.h"
#include "vob/vob_pname.h"

namespace {

const char kModule[] = "bld/bldr_utl";

// Rows of the module's table; the rows between them are not used.
const char *const utl_formats[] = {
    /* 0 */ "%s",
    /* 1 */ "Unable to get file handle for \"%s\" - %s\n",
    /* 2 */ "", "",
    /* 4 */ "Unable to read count string from input file\n",
    /* 5 */ "Unable to connect to view server for \"%s\"\n",
    /* 6 */ "Working directory view \"%s\" does not match set view \"%s\"\n",
    /* 7 */ "",
    /* 8 */ "Set environment variable \"%s\"\n",
    /* 9 */ "Malformed environment variable definition \"%s\"\n",
    /* 10 */ "Not setting \"%s\" - already set\n",
    /* 11 */ "Read error on fd %d\n",
    /* 12 */ ">>> bldr_utl_read_text <<<\n%s\n>>> - - - - - - - - <<<\n",
    /* 13 */ "Unable to compute CRC for \"%s\" -  %s\n",
    /* 14 */ "", "", "",
    /* 17 */ "Unable to determine current working directory - %s\n",
    /* 18 */ "Unable to determine canonical path for current working directory - %s\n",
    /* 19 */ "Unable to determine if current working directory is in Vessary - %s\n",
    /* 20 */ "", "", "", "", "", "",
    /* 26 */ "Invalid audit file directory \"%s\", specified by environment variable \"%s\"\n",
    /* 27 */ "Audit files cannot be placed under Vessary mount point\n",
    /* 28 */ "The specified temporary directory \"%s\" does not exist\n",
    /* 29 */ "Target pathname \"%s\" exceeds implementation limit\n",
    /* 30 */ "Target pathname exceeded length of supplied buffer (%d bytes)\n\t\"%s\"\n",
    /* 31 */ "",
    /* 32 */ "Tag name exceeded length of supplied buffer (%d bytes)\n\t\"%s\"\n",
    /* 33 */ "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    /* 51 */ "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    /* 71 */ "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    /* 85 */ "Environment variable \"%s...\":  name too long.  Ignoring.\n",
    /* 86 */ "Ignoring %s=\"%s\": a umask is written as 1 to 4 octal digits\n",
};
constexpr uint16_t kRows = sizeof utl_formats / sizeof utl_formats[0];
const uint16_t utl_catalog[kRows] = {};

enum {
  MSG_FHANDLE = 1,
  MSG_COUNT = 4,
  MSG_NO_VIEW_SERVER = 5,
  MSG_VIEW_MISMATCH = 6,
  MSG_READ_ERROR = 11,
  MSG_READ_TEXT = 12,
  MSG_CRC = 13,
  MSG_NO_CWD = 17,
  MSG_NO_WHERE = 18,
  MSG_CWD_IN_VOB = 19,
  MSG_TMPDIR_IN_VIEW = 26,
  MSG_NOT_UNDER_MOUNT = 27,
  MSG_NO_TMPDIR = 28,
  MSG_PN_TOO_LONG = 29,
  MSG_PN_BUFFER = 30,
  MSG_TAG_BUFFER = 32,
  MSG_BAD_UMASK = 86,
};

bool trace(int level) { return mf_utl_should_trace(kModule, level); }

}  // namespace

const imsg_msg_table_t _bldr_utl_karsel_msg_table = {
    "karsel_bin", kModule, 403, kRows, utl_formats, utl_catalog,
};

// --- The view.

ks_status_t bldr_utl_check_view() {
  char cwd[1024];
  if (fileutl_getcwd(cwd, sizeof cwd) != KS_ST_OK) {
    imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_NO_CWD, imsg_strerror(errno));
    return KS_ST_ERR;
  }
  return cr_utl_require_set_view_if_cdview(cwd);
}

bool bldr_utl_path_in_automatic_view(const char *path) {
  PFM_ASSERT(path != NULL);
  return false;
}

ks_status_t bldr_utl_view_init(size_t tag_size, char *tag, view_handle_t *view) {
  *view = VIEW_HANDLE_NULL;
  char set_tag[256], set_host[1024], set_path[1024];
  char cd_tag[256], cd_host[1024], cd_path[1024];
  tbs_uuid_t set_uuid, cd_uuid;
  const bool have_set = view_current_view_info(set_tag, sizeof set_tag, set_path, sizeof set_path,
                                                set_host, sizeof set_host, nullptr, 0,
                                                &set_uuid) == KS_ST_OK;
  const bool have_cd = view_cdview_view_info(cd_tag, sizeof cd_tag, cd_path, sizeof cd_path,
                                             cd_host, sizeof cd_host, nullptr, 0,
                                             &cd_uuid) == KS_ST_OK;
  if (have_set && have_cd && !tbs_uuid_eq(&set_uuid, &cd_uuid)) {
    imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_VIEW_MISMATCH, cd_tag, set_tag);
    return KS_ST_ERR;
  }
  if (!have_set && !have_cd) return KS_ST_NOT_FOUND;
  const char *use_tag = have_set ? set_tag : cd_tag;
  if (strutl_cpy_buf(tag, tag_size, use_tag) != KS_ST_OK) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_BUF_TOO_SMALL);
    return KS_ST_ERR;
  }
  view_handle_t handle = VIEW_HANDLE_NULL;
  if (view_get_handle_config(use_tag, have_set ? set_path : cd_path, nullptr, nullptr, &handle) !=
          KS_ST_OK ||
      handle == VIEW_HANDLE_NULL) {
    imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_NO_VIEW_SERVER, use_tag);
    return KS_ST_ERR;
  }
  bool is_ws = false;
  ks_status_t st = view_ws_is_ws_view(handle, &is_ws);
  if (st != KS_ST_OK) {
    imsg_print(IMSG_ERROR, "Operation \"%s\" failed: %s\n", -1, "view_ws_is_ws_view",
               tbs_strerror(st));
    view_free_handle(handle);
    return KS_ST_ERR;
  }
  if (is_ws) {
    view_free_handle(handle);
    return KS_ST_NOT_FOUND;
  }
  *view = handle;
  return KS_ST_OK;
}

int bldr_utl_path_is_in_vessary(const char *path, vob_handle_t *vob, int *failed,
                                ks_status_t *status) {
  *status = vob_ob_l_mount_pname_to_vobh(path, vob);
  *failed = 0;
  if (*status == KS_ST_NOT_IN_VOB || *status == KS_ST_NOT_IN_VIEW) {
    *vob = 0;
    *status = KS_ST_OK;
    return 0;
  }
  if (*status == KS_ST_OK) return 1;
  *vob = 0;
  *failed = 1;
  return 0;
}

// --- The working-directory cache.

namespace {

struct CwdCache {
  char *path = nullptr;       // heap copy; null: empty
  char *remainder = nullptr;  // heap copy or null
  vob_handle_t vob = 0;
  uint32_t elem_dbid = 0;
} cwd_cache;

}  // namespace

void bldr_utl_inval_cwd_cache() {
  stg_free(cwd_cache.path);
  stg_free(cwd_cache.remainder);
  cwd_cache = CwdCache();
}

ks_status_t bldr_utl_set_cwd_cache(const char *path, vob_handle_t vob) {
  char *copy = stg_strdup(path);
  if (copy == nullptr) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  if (vob != 0) {
    // Every directory of a VOB worktree resolves here, so no remainder is left; the element
    // database id of a directory is not kept.
    vob_handle_t found = 0;
    ks_status_t st = vob_ob_mount_pname_to_vobh(path, &found);
    if (st != KS_ST_OK) {
      stg_free(copy);
      return st;
    }
    if (found != vob) {
      stg_free(copy);
      return KS_ST_OK;
    }
  }
  bldr_utl_inval_cwd_cache();
  cwd_cache.path = copy;
  cwd_cache.vob = vob;
  return KS_ST_OK;
}

ks_status_t bldr_utl_get_cwd_cache(const char **path, const char **remainder, vob_handle_t *vob,
                                   uint32_t *elem_dbid) {
  if (cwd_cache.path == nullptr) return KS_ST_NOT_FOUND;
  if (path) *path = cwd_cache.path;
  if (remainder) *remainder = cwd_cache.remainder;
  if (vob) *vob = cwd_cache.vob;
  if (elem_dbid) *elem_dbid = cwd_cache.elem_dbid;
  return KS_ST_OK;
}

ks_status_t bldr_utl_load_cwd_cache() {
  char *cwd = static_cast<char *>(stg_malloc(1024));
  if (cwd == nullptr) {
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  if (fileutl_getcwd(cwd, 1024) != KS_ST_OK) {
    imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_NO_CWD, imsg_strerror(errno));
    stg_free(cwd);
    return KS_ST_ERR;
  }
  vob_handle_t vob = 0;
  int failed = 0;
  ks_status_t st = KS_ST_OK;
  bldr_utl_path_is_in_vessary(cwd, &vob, &failed, &st);
  if (failed) {
    imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_CWD_IN_VOB, tbs_strerror(st));
    stg_free(cwd);
    return KS_ST_ERR;
  }
  st = bldr_utl_set_cwd_cache(cwd, vob);
  stg_free(cwd);
  return st;
}

ks_status_t bldr_utl_chdir(const char *dir) {
  if (fileutl_chdir(dir) != KS_ST_OK) return KS_ST_ERR;
  if (cwd_cache.path != nullptr && cwd_cache.path != dir && std::strcmp(cwd_cache.path, dir) != 0)
    bldr_utl_inval_cwd_cache();
  return KS_ST_OK;
}

ks_status_t bldr_utl_cwd_init(stg_area_t area, char **curr_wd, char **where_wd, char **viewrel_wd,
                              tbs_uuid_t **replica_uuid, char **vob_rel_pname) {
  if (bldr_utl_init_cached_ver_oid_to_elem_dbid(area) != KS_ST_OK) return KS_ST_ERR;
  if (cwd_cache.path == nullptr && bldr_utl_load_cwd_cache() != KS_ST_OK) return KS_ST_ERR;
  const char *path = cwd_cache.path;
  if (trace(4)) imsg_print(IMSG_TRACE, "bldr_utl_cwd_init: CWD:%s\n", -1, path);
  for (char **buf : {curr_wd, where_wd, viewrel_wd, vob_rel_pname}) {
    if (*buf == nullptr) *buf = static_cast<char *>(stg_calloc(area, 1024));
    if (*buf == nullptr) {
      imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
      return KS_ST_ERR;
    }
  }
  if (strutl_cpy_buf(*curr_wd, 1024, path) != KS_ST_OK) return KS_ST_ERR;
  ks_status_t status = KS_ST_OK;
  if (cwd_cache.vob == 0) {
    *replica_uuid = nullptr;
    if (strutl_cpy_buf(*viewrel_wd, 1024, path) != KS_ST_OK) return KS_ST_ERR;
    char canon[4096];
    if (realpath(path, canon) == nullptr || strutl_cpy_buf(*where_wd, 1024, canon) != KS_ST_OK) {
      imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_NO_WHERE, imsg_strerror(errno));
      return KS_ST_ERR;
    }
    (*vob_rel_pname)[0] = '\0';
    if (trace(4)) imsg_print(IMSG_TRACE, "bldr_utl_cwd_init:CWD not in VOB\n", -1);
  } else {
    if (view_abspn_to_viewrel(path, *viewrel_wd, 1024) != KS_ST_OK ||
        strutl_cpy_buf(*where_wd, 1024, path) != KS_ST_OK)
      return KS_ST_ERR;
    if (*replica_uuid == nullptr)
      *replica_uuid = static_cast<tbs_uuid_t *>(stg_calloc(area, sizeof(tbs_uuid_t)));
    if (*replica_uuid == nullptr || vob_ob_get_replica_uuid(cwd_cache.vob, *replica_uuid) != KS_ST_OK)
      return KS_ST_ERR;
    vob_pname_t where;
    if (vob_pname_resolve(path, true, &where) != KS_ST_OK) return KS_ST_ERR;
    const char *rel = where.vob_rel.empty() ? "." : where.vob_rel.c_str();
    if (strutl_cpy_buf(*vob_rel_pname, 1024, rel) != KS_ST_OK) return KS_ST_ERR;
  }
  if (trace(4)) {
    imsg_print(IMSG_TRACE, "bldr_utl_cwd_init return:status:%d\n", -1, status);
    imsg_print(IMSG_TRACE, "bldr_utl_cwd_init cwd:%s\n", -1, *curr_wd);
    imsg_print(IMSG_TRACE, "bldr_utl_cwd_init where_cwd:%s\n", -1, *where_wd);
    imsg_print(IMSG_TRACE, "bldr_utl_cwd_init viewrel_cwd:%s\n", -1, *viewrel_wd);
    if (**vob_rel_pname) imsg_print(IMSG_TRACE, "bldr_utl_cwd_init vob_rel_pn:%s\n", -1, *vob_rel_pname);
  }
  return status;
}

ks_status_t bldr_utl_cwd_accessible_abs_pn(const char *pathname, size_t size, char *buf) {
  PFM_ASSERT(pathname != NULL);
  PFM_ASSERT(buf != NULL);
  PFM_ASSERT(size > 1);
  if (pathname[0] == '/') return strutl_cpy_buf(buf, size, pathname);
  ks_status_t st = fileutl_abspn(pathname, buf, size);
  return st == KS_ST_NAME_TOO_LONG ? st : (st == KS_ST_OK ? KS_ST_OK : KS_ST_ERR);
}

// --- Umasks.

namespace {

constexpr uint32_t kNoUmask = 0xFFFFFFFFu;
uint32_t old_user_umask = kNoUmask, do_umask = kNoUmask, tempfile_umask = kNoUmask;

// The value of name, else of alt, through get; kNoUmask when neither is set or the text is no
// umask (1 to 4 octal digits), which is warned about.
template <class Get>
uint32_t read_umask(const char *name, const char *alt, Get get) {
  const char *used = name;
  const char *v = get(name);
  if (v == nullptr) v = get(used = alt);
  if (v == nullptr) return kNoUmask;
  size_t n = std::strlen(v);
  bool ok = n >= 1 && n <= 4;
  for (size_t i = 0; ok && i < n; i++) ok = v[i] >= '0' && v[i] <= '7';
  if (!ok) {
    imsg_print(IMSG_WARNING, &_bldr_utl_karsel_msg_table, MSG_BAD_UMASK, used, v);
    return kNoUmask;
  }
  return uint32_t(std::strtol(v, nullptr, 8)) & 07777u;
}

template <class Get>
void settle_umasks(Get get) {
  tempfile_umask = read_umask("ORVA_TEMPFILE_UMASK", "ZELVANE_TEMPFILE_UMASK", get);
  do_umask = read_umask("ORVA_BLD_UMASK", "ZELVANE_BLD_UMASK", get);
  if (do_umask != kNoUmask) {
    old_user_umask = uint32_t(umask(mode_t(do_umask)));
  } else if (tempfile_umask != kNoUmask) {
    mode_t current = umask(0);
    umask(current);
    old_user_umask = do_umask = uint32_t(current);
  } else {
    old_user_umask = kNoUmask;
  }
}

int apply(uint32_t mask) {
  if (mask == kNoUmask) return 0;
  umask(mode_t(mask));
  return 1;
}

}  // namespace

void bldr_utl_initialize_and_set_do_umask(const evutl_env_t *env) {
  settle_umasks([env](const char *name) -> const char * {
    return env ? evutl_getenv(env, name) : std::getenv(name);
  });
}

void bldr_utl_initialize_quilmar_umask() {
  settle_umasks([](const char *name) -> const char * { return mf_getenv(name); });
}

int bldr_utl_set_old_user_umask() { return apply(old_user_umask); }
int bldr_utl_set_do_umask() { return apply(do_umask); }
int bldr_utl_set_tempfile_umask() { return apply(tempfile_umask); }

// --- The audit temporary directory.

namespace {

bool have_tmpdir = false;
char tmpdir[1024];

}  // namespace

const char *bldr_utl_get_audit_tmpdir(int check_exists, int check_not_in_view, void *) {
  if (have_tmpdir) return tmpdir;
  const char *names[] = {"ORVA_AUDIT_TMPDIR", "ZELVANE_BLD_AUDIT_TMPDIR", "TMPDIR"};
  const char *value = "/tmp", *from = "TMPDIR";
  for (const char *n : names) {
    const char *v = mf_getenv(n);
    if (v && *v) {
      value = v;
      from = n;
      break;
    }
  }
  char dir[1024];
  if (strutl_cpy_buf(dir, sizeof dir, value) != KS_ST_OK) {
    imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_PN_TOO_LONG, value);
    return nullptr;
  }
  size_t len = std::strlen(dir);
  if (len > 1 && dir[len - 1] == '/') dir[len - 1] = '\0';
  if (check_exists && mf_utl_obj_exists(dir) != KS_ST_OK) {
    imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_NO_TMPDIR, dir);
    return nullptr;
  }
  if (check_not_in_view) {
    view_info_t info;
    if (view_get_view_info(dir, 0, &info) == KS_ST_OK && !tbs_uuid_is_null(&info.uuid)) {
      imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_TMPDIR_IN_VIEW, dir, from);
      imsg_print(IMSG_ERROR_CONT, &_bldr_utl_karsel_msg_table, MSG_NOT_UNDER_MOUNT);
      return nullptr;
    }
  }
  std::memcpy(tmpdir, dir, std::strlen(dir) + 1);
  have_tmpdir = true;
  return tmpdir;
}

void bldr_utl_reset_audit_tmpdir() { have_tmpdir = false; }

bool bldr_utl_tgt_is_gnu_order_only_specifier(const char *name) {
  PFM_ASSERT(name != NULL);
  const bool yes = name[0] == '|' && name[1] == '\0';
  // Asked for every dependency of every target: the trace level is asked once.
  if (trace(4)) {
    imsg_print(IMSG_TRACE, "Enter %s: %s\n", -1, "bldr_utl_tgt_is_gnu_order_only_specifier", name);
    imsg_print(IMSG_TRACE, "Exit %s: %d\n", -1, "bldr_utl_tgt_is_gnu_order_only_specifier", int(yes));
  }
  return yes;
}

// --- Pathnames and streams.

ks_status_t bldr_utl_concat_2paths(char **out, stg_area_t area, const char *first,
                                   const char *second) {
  PFM_ASSERT(out != NULL);
  PFM_ASSERT(second != NULL);
  *out = STRUTL_IS_NULL(first) ? stg_area_strdup(area, second)
                               : strutl_concat_area(area, {first, "/", second});
  return *out ? KS_ST_OK : KS_ST_ERR;
}

ks_status_t bldr_utl_concat_3paths(char **out, stg_area_t area, const char *first,
                                   const char *second, const char *third) {
  PFM_ASSERT(out != NULL);
  PFM_ASSERT(second != NULL);
  PFM_ASSERT(third != NULL);
  *out = STRUTL_IS_NULL(first) ? strutl_concat_area(area, {second, "/", third})
                               : strutl_concat_area(area, {first, "/", second, "/", third});
  return *out ? KS_ST_OK : KS_ST_ERR;
}

char *bldr_utl_read_text(FILE *stream, size_t initial_size, stg_area_t area) {
  std::string text;
  text.reserve(initial_size > 2048 ? initial_size : 2048);
  for (;;) {
    int c = std::getc(stream);
    if (c == EOF) {
      if (std::ferror(stream) && errno == EINTR) {
        std::clearerr(stream);
        continue;
      }
      if (std::ferror(stream))
        imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_READ_ERROR, fileno(stream));
      break;
    }
    if (c == '\0') break;
    text.push_back(char(c));
  }
  if (trace(3)) imsg_print(IMSG_TRACE, &_bldr_utl_karsel_msg_table, MSG_READ_TEXT, text.c_str());
  char *copy = stg_area_strdup(area, text.c_str());
  if (copy == nullptr)
    imsg_print_shared(IMSG_ERROR, kModule, &imsg_common_table, IMSG_COMMON_NO_MEMORY);
  return copy;
}

namespace {

// The count text of a counted stream: false after the message when it cannot be read.
bool read_count(FILE *stream, size_t *count) {
  char *text = bldr_utl_read_text(stream, 4, STG_AREA_HEAP);
  long n = 0;
  bool ok = text && *text && strutl_strtol(text, 10, &n) == KS_ST_OK && n >= 0;
  stg_free(text);
  if (!ok) {
    imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_COUNT);
    return false;
  }
  *count = size_t(n);
  return true;
}

}  // namespace

namespace {

// The next count texts of stream (each in area) into out: false at the end of the stream, before
// count texts were read. The texts are read first and the array made for what was there, so a
// count that the stream cannot hold never makes the reader allocate for it.
bool read_texts(FILE *stream, stg_area_t area, size_t initial_size, size_t count,
                std::vector<char *> *out) {
  out->clear();
  for (size_t i = 0; i < count; i++) {
    if (std::feof(stream)) return false;
    int c = std::getc(stream);
    if (c == EOF) return false;
    std::ungetc(c, stream);
    char *text = bldr_utl_read_text(stream, initial_size, area);
    if (text == nullptr) return false;
    out->push_back(text);
  }
  return true;
}

}  // namespace

ks_status_t bldr_utl_read_str_array(FILE *stream, stg_area_t area, size_t initial_size,
                                    size_t *count, char ***array) {
  *array = nullptr;
  if (!read_count(stream, count)) return KS_ST_ERR;
  if (*count == 0) return KS_ST_OK;
  std::vector<char *> texts;
  if (!read_texts(stream, area, initial_size, *count, &texts)) return KS_ST_ERR;
  auto **out = static_cast<char **>(stg_calloc(area, texts.size() * sizeof(char *)));
  if (out == nullptr) return KS_ST_ERR;
  std::copy(texts.begin(), texts.end(), out);
  *array = out;
  return KS_ST_OK;
}

ks_status_t bldr_utl_read_str_arr_array(FILE *stream, stg_area_t area, size_t initial_size,
                                        size_t columns, size_t *rows, char ****array) {
  *array = nullptr;
  if (!read_count(stream, rows)) return KS_ST_ERR;
  if (*rows == 0) return KS_ST_OK;
  if (columns == 0) return KS_ST_ERR;  // rows of nothing cannot be told from a bad count
  std::vector<char **> read_rows;
  std::vector<char *> texts;
  for (size_t r = 0; r < *rows; r++) {
    if (!read_texts(stream, area, initial_size, columns, &texts)) return KS_ST_ERR;
    auto **row = static_cast<char **>(stg_calloc(area, columns * sizeof(char *)));
    if (row == nullptr) return KS_ST_ERR;
    std::copy(texts.begin(), texts.end(), row);
    read_rows.push_back(row);
  }
  auto ***out = static_cast<char ***>(stg_calloc(area, read_rows.size() * sizeof(char **)));
  if (out == nullptr) return KS_ST_ERR;
  std::copy(read_rows.begin(), read_rows.end(), out);
  *array = out;
  return KS_ST_OK;
}

// --- Object information.

namespace {

void fill_outs(const view_xstat_t &xs, tbs_oid_t *obj_oid, tbs_oid_t *ver_oid, uint32_t *kind,
               int *in_vob, bldr_utl_obj_desc_t *desc) {
  const bool elem = !tbs_oid_is_null(&xs.elem_oid);
  if (obj_oid) *obj_oid = elem ? xs.elem_oid : xs.obj_oid;
  if (ver_oid) *ver_oid = xs.obj_oid;
  if (kind) *kind = uint32_t(xs.mtype);
  if (in_vob) *in_vob = xs.mtype != VOB_MTYPE_NULL;
  if (desc) {
    desc->kind = uint8_t(xs.mtype);
    desc->reserved = 0;
    desc->size = xs.fstat.size;
    desc->mtime = uint64_t(xs.fstat.mtime.sec);
    desc->spare = 0;
  }
}

}  // namespace

ks_status_t bldr_utl_obj_cache_info(const char *pathname, void *stat, int follow,
                                    view_xstat_t *xstat, tbs_oid_t *obj_oid, tbs_oid_t *ver_oid,
                                    uint32_t *kind, int *in_vob, bldr_utl_obj_desc_t *desc) {
  view_xstat_t xs{};
  ks_status_t st;
  if (stat != nullptr) {
    st = mf_stat_view_info(static_cast<mf_stat_handle_t>(stat), pathname, follow, &xs, nullptr,
                           nullptr, nullptr);
    if (st == KS_ST_NOT_FOUND) return st;
  } else {
    st = follow ? mf_stat_view_get_xstat(pathname, &xs, nullptr, nullptr, 0, nullptr)
                : mf_stat_view_lget_xstat(pathname, &xs, nullptr, nullptr, 0, nullptr);
    if (st == KS_ST_NOT_IN_VIEW) return KS_ST_NOT_FOUND;
    if (st == KS_ST_OK && xs.mtype == VOB_MTYPE_NULL) st = KS_ST_NOT_IN_VOB;
  }
  if (st != KS_ST_OK && st != KS_ST_NOT_IN_VOB) return st;
  if (xstat) *xstat = xs;
  fill_outs(xs, obj_oid, ver_oid, kind, in_vob, desc);
  return st;
}

ks_status_t bldr_utl_obj_view_info(const char *pathname, int follow, view_xstat_t *xstat,
                                   tbs_oid_t *obj_oid, tbs_oid_t *ver_oid, uint32_t *kind,
                                   int *in_vob) {
  return bldr_utl_obj_cache_info(pathname, nullptr, follow, xstat, obj_oid, ver_oid, kind, in_vob,
                                 nullptr);
}

namespace {

// The file-handle cache: (link mode, pathname) -> handle. The link mode is part of the key, so
// that a link and what it points to never share an answer.
std::unordered_map<std::string, bldr_utl_fhandle_t> *fh_cache = nullptr;

}  // namespace

ks_status_t bldr_utl_get_fhandle(const char *pathname, int quiet, int follow,
                                 bldr_utl_fhandle_t *out) {
  if (fh_cache == nullptr) fh_cache = new std::unordered_map<std::string, bldr_utl_fhandle_t>();
  std::string key = std::string(follow ? "F" : "L") + pathname;
  auto it = fh_cache->find(key);
  if (it != fh_cache->end()) {
    *out = it->second;
    return KS_ST_OK;
  }
  struct stat st;
  if (fileutl_stat(pathname, follow, &st) != 0) {
    ks_status_t status = tbs_errno2status(errno);
    if (!quiet)
      imsg_print(IMSG_WARNING, &_bldr_utl_karsel_msg_table, MSG_FHANDLE, pathname,
                 tbs_strerror(status));
    return status;
  }
  bldr_utl_fhandle_t fh{};
  fh.words[0] = uint64_t(st.st_dev);
  fh.words[1] = uint64_t(st.st_ino);
  fh.words[2] = uint64_t(st.st_ctim.tv_sec);
  fh.words[3] = uint64_t(st.st_ctim.tv_nsec);
  fh.last = uint32_t(st.st_mode);
  (*fh_cache)[key] = fh;
  *out = fh;
  return KS_ST_OK;
}

void bldr_utl_flush_fh_cache() {
  pfm_inhibit();
  delete fh_cache;
  fh_cache = nullptr;
  pfm_enable();
}

ks_status_t bldr_utl_get_crc(const bldr_cr_fs_dep_t *dep, uint32_t *crc) {
  if (dep->kind == 2) {
    *crc = uint32_t(uint64_t(dep->mtime) & 0xffffffffu);
    return KS_ST_OK;
  }
  const char *path = dep->pathname ? dep->pathname : "";
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    imsg_print(IMSG_INFO, &_bldr_utl_karsel_msg_table, MSG_CRC, path, imsg_strerror(errno));
    return KS_ST_ERR;
  }
  uLong c = crc32(0L, Z_NULL, 0);
  unsigned char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      close(fd);
      imsg_print(IMSG_INFO, &_bldr_utl_karsel_msg_table, MSG_CRC, path, imsg_strerror(e));
      return KS_ST_ERR;
    }
    if (n == 0) break;
    c = crc32(c, buf, uInt(n));
  }
  close(fd);
  *crc = c == 0 ? 0xFFFFFFFFu : uint32_t(c);
  return KS_ST_OK;
}

void bldr_utl_wait4_unlocked_vobs(const char *) {
  if (mf_getenv("ORVA_BLD_NOWAIT") != nullptr) return;
  // VOB locks are not kept by the platform here: no VOB is ever locked.
}

// --- Caches in front of VOB queries.

namespace {

std::unordered_map<std::string, std::string> *obj_pname_cache = nullptr;
std::unordered_map<std::string, uint32_t> *ver_elem_cache = nullptr;

std::string bytes_key(const void *a, size_t na, const void *b, size_t nb, const char *tag) {
  std::string key(static_cast<const char *>(a), na);
  key.append(static_cast<const char *>(b), nb);
  if (tag) key.append(tag);
  return key;
}

}  // namespace

ks_status_t bldr_utl_init_cached_vob_obj_to_pname(stg_area_t) {
  if (obj_pname_cache == nullptr) obj_pname_cache = new std::unordered_map<std::string, std::string>();
  return KS_ST_OK;
}

ks_status_t bldr_utl_cached_vob_obj_to_pname(vob_handle_t vob, uint32_t dbid, const char *vob_tag,
                                             int a1, int a2, int a3, size_t size, char *buf) {
  if (vob_tag && std::strlen(vob_tag) > 255) {
    imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_TAG_BUFFER, 256, vob_tag);
    return KS_ST_NAME_TOO_LONG;
  }
  std::string key = bytes_key(&vob, sizeof vob, &dbid, sizeof dbid, vob_tag);
  if (obj_pname_cache) {
    auto it = obj_pname_cache->find(key);
    if (it != obj_pname_cache->end()) {
      if (strutl_cpy_buf(buf, size, it->second.c_str()) != KS_ST_OK) {
        imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_PN_BUFFER, int(size),
                   it->second.c_str());
        return KS_ST_NAME_TOO_LONG;
      }
      return KS_ST_OK;
    }
  }
  ks_status_t st = vob_obj_to_pname(vob, dbid, vob_tag, a1, a2, a3, size, buf);
  if (st == KS_ST_OK && obj_pname_cache) (*obj_pname_cache)[key] = buf;
  return st;
}

ks_status_t bldr_utl_finalize_cached_vob_obj_to_pname() {
  delete obj_pname_cache;
  obj_pname_cache = nullptr;
  return KS_ST_OK;
}

ks_status_t bldr_utl_init_cached_ver_oid_to_elem_dbid(stg_area_t) {
  if (ver_elem_cache == nullptr) ver_elem_cache = new std::unordered_map<std::string, uint32_t>();
  return KS_ST_OK;
}

ks_status_t bldr_utl_cached_ver_oid_to_elem_dbid(vob_handle_t vob, const tbs_oid_t *ver_oid,
                                                 uint32_t *elem_dbid) {
  std::string key = bytes_key(&vob, sizeof vob, ver_oid, sizeof *ver_oid, nullptr);
  if (ver_elem_cache) {
    auto it = ver_elem_cache->find(key);
    if (it != ver_elem_cache->end()) {
      *elem_dbid = it->second;
      return KS_ST_OK;
    }
  }
  uint32_t ver_dbid = 0;
  ks_status_t st = vob_obj_oid_to_dbid(vob, ver_oid, &ver_dbid);
  if (st == KS_ST_OK) st = vob_ver_get_elem(vob, ver_dbid, elem_dbid);
  if (st == KS_ST_OK && ver_elem_cache) (*ver_elem_cache)[key] = *elem_dbid;
  return st;
}

ks_status_t bldr_utl_finalize_cached_ver_oid_to_elem_dbid() {
  delete ver_elem_cache;
  ver_elem_cache = nullptr;
  return KS_ST_OK;
}

// --- Lookup policy and clean-up.

namespace {

// The file type (VIEW_FTYPE_*) of pathname when it matches the pattern list, following links or
// not; VIEW_FTYPE_NONE when it does not match or cannot be examined.
uint32_t matched_type(const char *pathname, list_handle_t patterns, int follow) {
  if (patterns == LIST_HANDLE_NULL || !fileutl_patt_list_match(patterns, pathname))
    return VIEW_FTYPE_NONE;
  view_xstat_t xs;
  ks_status_t st = bldr_utl_obj_cache_info(pathname, mfc_mf_stat_handle, follow, &xs, nullptr,
                                           nullptr, nullptr, nullptr, nullptr);
  return st == KS_ST_OK || st == KS_ST_NOT_IN_VOB ? xs.fstat.type : VIEW_FTYPE_NONE;
}

}  // namespace

int bldr_utl_lookup_should_chase_tgt_if_slink(const char *pathname, list_handle_t patterns) {
  return matched_type(pathname, patterns, 0) == VIEW_FTYPE_LNK ? 0 : 1;
}

int bldr_utl_lookup_should_ignore_tgt_if_dir(const char *pathname, list_handle_t patterns) {
  return matched_type(pathname, patterns, 1) == VIEW_FTYPE_DIR ? 1 : 0;
}

int bldr_utl_is_private_to_view(uint32_t kind, uint32_t second_kind, int *flag) {
  *flag = kind == VOB_MTYPE_VIEW_PRIVATE && second_kind != 2;
  return 0;
}

int bldr_utl_cleanup_if_nonprecious(const char *pathname) {
  PFM_ASSERT(pathname != NULL);
  mf_tgt_table_t *table = mf_tgt_fetch_tgt_table_handle();
  mf_tgt_entry_t *entry = table ? mf_tgt_lookup(table, pathname) : nullptr;
  // A target without an entry (the epilog, a name the search lists moved) is not removed.
  if (entry == nullptr) return 0;
  if (mf_tgt_is_phony(entry)) return 0;
  if (mf_tgt_is_precious(entry)) {
    imsg_print(IMSG_INFO, "*** \"%s\" preserved.\n", -1, pathname);
    return 0;
  }
  char abs[1024];
  const char *use = pathname;
  if (bldr_utl_cwd_accessible_abs_pn(pathname, sizeof abs, abs) == KS_ST_OK) use = abs;
  else imsg_print(IMSG_TRACE, "Failed to form view-extended path\n", -1);
  struct stat st;
  // Only files are removed: a directory target is left alone.
  if (lstat(use, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  errno = 0;
  int rc = unlink(use);
  if (rc == 0) {
    imsg_print(IMSG_INFO, "***  \"%s\" removed.\n", -1, pathname);
    mf_dirent_update(MF_DIRENT_FILE_DELETED, use);
  } else if (errno != ENOENT) {
    imsg_print(IMSG_WARNING, "Unable to remove \"%s\": %s\n", -1, pathname, imsg_strerror(errno));
    return rc;
  }
  return 0;
}
