// Builder utilities.
#include "bld/bldr_utl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cm/cr_utl_view.h"
#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "ks/stg.h"
#include "ks/strutl.h"
#include "tbs/tbs_product.h"
#include "tbs/tbs_status.h"
#include "view/view_info.h"

namespace {

const char *const utl_formats[] = {
    "%s",
    "Unable to compute CRC for \"%s\" -  %s\n",
    "The specified temporary directory \"%s\" does not exist\n",
    "Invalid audit file directory \"%s\", specified by environment variable \"%s\"\n",
    "Audit files cannot be placed under Vessary mount point\n",
    "Unable to get the current working directory: %s\n",
};
const uint16_t utl_catalog[] = {0, 1, 2, 3, 4, 5};

enum {
  MSG_CRC = 1,
  MSG_NO_TMPDIR = 2,
  MSG_TMPDIR_IN_VIEW = 3,
  MSG_NOT_UNDER_MOUNT = 4,
  MSG_NO_CWD = 5,
};

bool have_tmpdir = false;
char tmpdir[1024];
const char *tmpdir_var = "";

bool have_tempfile_umask = false, have_do_umask = false, have_user_umask = false;
mode_t tempfile_umask = 0, do_umask = 0, user_umask = 0;

bool read_octal(const char *name, const char *alt, mode_t *out) {
  const char *v = std::getenv(name);
  if (!v || !*v) v = std::getenv(alt);
  if (!v || !*v) return false;
  char *end = nullptr;
  long m = std::strtol(v, &end, 8);
  if (*end || m < 0 || m > 0777) return false;
  *out = mode_t(m);
  return true;
}

// Whether dir lies inside the view root (a view's tree).
bool in_view(const char *dir) {
  const char *root = tbs_view_root();
  if (!root || !*root) return false;
  char rdir[4096], rroot[4096];
  if (!realpath(dir, rdir) || !realpath(root, rroot)) return false;
  size_t n = strlen(rroot);
  return strncmp(rdir, rroot, n) == 0 && (rdir[n] == '/' || rdir[n] == 0);
}

}  // namespace

const imsg_msg_table_t _bldr_utl_karsel_msg_table = {
    "karsel_bin", "bld/bldr_utl", 403, sizeof utl_formats / sizeof utl_formats[0], utl_formats,
    utl_catalog,
};

const char *bldr_utl_get_audit_tmpdir(int check_exists, int check_not_in_view, void *) {
  if (!have_tmpdir) {
    const char *names[] = {"ORVA_AUDIT_TMPDIR", "ZELVANE_BLD_AUDIT_TMPDIR", "TMPDIR"};
    const char *v = nullptr;
    for (const char *n : names) {
      const char *x = std::getenv(n);
      if (x && *x) {
        v = x;
        tmpdir_var = n;
        break;
      }
    }
    if (!v) v = "/tmp", tmpdir_var = "TMPDIR";
    size_t len = strlen(v);
    if (len >= sizeof tmpdir) len = sizeof tmpdir - 1;
    memcpy(tmpdir, v, len);
    tmpdir[len] = 0;
    if (len > 1 && tmpdir[len - 1] == '/') tmpdir[len - 1] = 0;
    have_tmpdir = true;
  }
  if (check_exists) {
    struct stat s;
    if (stat(tmpdir, &s) != 0 || !S_ISDIR(s.st_mode)) {
      imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_NO_TMPDIR, tmpdir);
      return nullptr;
    }
  }
  if (check_not_in_view && in_view(tmpdir)) {
    imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_TMPDIR_IN_VIEW, tmpdir, tmpdir_var);
    imsg_print(IMSG_ERROR_CONT, &_bldr_utl_karsel_msg_table, MSG_NOT_UNDER_MOUNT);
    return nullptr;
  }
  return tmpdir;
}

void bldr_utl_reset_audit_tmpdir() { have_tmpdir = false; }

void bldr_utl_initialize_quilmar_umask() {
  have_tempfile_umask = read_octal("ORVA_TEMPFILE_UMASK", "ZELVANE_TEMPFILE_UMASK", &tempfile_umask);
  have_do_umask = read_octal("ORVA_BLD_UMASK", "ZELVANE_BLD_UMASK", &do_umask);
  if (have_do_umask) {
    user_umask = umask(do_umask);
  } else {
    user_umask = umask(0);
    umask(user_umask);
  }
  have_user_umask = true;
}

void bldr_utl_set_old_user_umask() {
  if (have_user_umask) umask(user_umask);
}

int bldr_utl_set_do_umask() {
  if (!have_do_umask) return 0;
  umask(do_umask);
  return 1;
}

int bldr_utl_set_tempfile_umask() {
  if (!have_tempfile_umask) return 0;
  umask(tempfile_umask);
  return 1;
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
  // VOB locks are not kept yet: no VOB is ever locked.
}

ks_status_t bldr_utl_cwd_accessible_abs_pn(const char *pathname, size_t size, char *buf) {
  PFM_ASSERT(pathname != NULL);
  PFM_ASSERT(buf != NULL);
  PFM_ASSERT(size > 1);
  if (pathname[0] == '/') return strutl_cpy_buf(buf, size, pathname);
  ks_status_t st = fileutl_abspn(pathname, buf, size);
  return st == KS_ST_NAME_TOO_LONG ? st : (st == KS_ST_OK ? KS_ST_OK : KS_ST_ERR);
}

// --- The view and the working-directory cache.

namespace {

bool have_cwd_cache = false;
std::string cwd_cache;
std::string cwd_vob_dir;

}  // namespace

ks_status_t bldr_utl_check_view() {
  char cwd[1024];
  if (fileutl_getcwd(cwd, sizeof cwd) != KS_ST_OK) {
    imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_NO_CWD, imsg_strerror(errno));
    return KS_ST_ERR;
  }
  return cr_utl_require_set_view_if_cdview(cwd);
}

ks_status_t bldr_utl_load_cwd_cache() {
  char *cwd = static_cast<char *>(stg_malloc(1024));
  if (!cwd) {
    imsg_print_shared(IMSG_ERROR, "bld/bldr_utl", &imsg_common_table, IMSG_COMMON_NO_MEMORY);
    return KS_ST_ERR;
  }
  if (fileutl_getcwd(cwd, 1024) != KS_ST_OK) {
    imsg_print(IMSG_ERROR, &_bldr_utl_karsel_msg_table, MSG_NO_CWD, imsg_strerror(errno));
    stg_free(cwd);
    return KS_ST_ERR;
  }
  char vrel[1024];
  ks_status_t status = view_abspn_to_viewrel(cwd, vrel, sizeof vrel);
  if (status != KS_ST_OK && status != KS_ST_NOT_IN_VIEW) {
    imsg_print_shared(IMSG_ERROR, "bld/bldr_utl", &imsg_common_table, IMSG_COMMON_OBJ_OP_FAILED,
                      cwd, tbs_strerror(status));
    stg_free(cwd);
    return KS_ST_ERR;
  }
  cwd_cache = cwd;
  cwd_vob_dir = status == KS_ST_OK ? vrel : "";
  have_cwd_cache = true;
  stg_free(cwd);
  return KS_ST_OK;
}

ks_status_t bldr_utl_get_cwd_cache(const char **path, const char **vob_dir, void **vob_handle,
                                   uint32_t *dir_id) {
  if (!have_cwd_cache) return KS_ST_NOT_FOUND;
  if (path) *path = cwd_cache.c_str();
  if (vob_dir) *vob_dir = cwd_vob_dir.c_str();
  if (vob_handle) *vob_handle = nullptr;
  if (dir_id) *dir_id = 0;
  return KS_ST_OK;
}

void bldr_utl_inval_cwd_cache() {
  have_cwd_cache = false;
  cwd_cache.clear();
  cwd_vob_dir.clear();
}

ks_status_t bldr_utl_chdir(const char *dir) {
  if (chdir(dir) != 0) return KS_ST_ERR;
  if (have_cwd_cache) {
    char now[1024];
    if (fileutl_getcwd(now, sizeof now) != KS_ST_OK || cwd_cache != now) bldr_utl_inval_cwd_cache();
  }
  return KS_ST_OK;
}

bool bldr_utl_tgt_is_gnu_order_only_specifier(const char *name) {
  return name != nullptr && name[0] == '|' && name[1] == '\0';
}
