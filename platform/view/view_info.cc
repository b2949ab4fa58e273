#include "view/view_info.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "dbrpc/dbrpc_reg.h"
#include "ks/imsg.h"
#include "tbs/tbs_product.h"
#include "vob/vob_pname.h"

struct view_handle_s {
  std::string tag;
  std::string storage;
  std::string host;
  std::string dir;
  tbs_uuid_t uuid;
};

namespace {

ks_status_t put(const std::string &text, char *buf, size_t size) {
  if (!buf) return KS_ST_OK;
  if (text.size() + 1 > size) return KS_ST_NAME_TOO_LONG;
  std::memcpy(buf, text.c_str(), text.size() + 1);
  return KS_ST_OK;
}

ks_status_t fill(const dbrpc_view_rec_t &v, char *tag, size_t tag_size, char *storage,
                 size_t storage_size, char *host, size_t host_size, char *host_path,
                 size_t host_path_size, tbs_uuid_t *uuid) {
  ks_status_t s = put(v.tag, tag, tag_size);
  if (s == KS_ST_OK) s = put(v.storage, storage, storage_size);
  if (s == KS_ST_OK) s = put(v.host, host, host_size);
  if (s == KS_ST_OK) s = put(v.storage, host_path, host_path_size);
  if (s == KS_ST_OK && uuid) *uuid = v.uuid;
  return s;
}

view_handle_t make_handle(const dbrpc_view_rec_t &v) {
  auto *h = new view_handle_s;
  h->tag = v.tag;
  h->storage = v.storage;
  h->host = v.host;
  h->dir = std::string(tbs_view_root()) + "/" + v.tag;
  h->uuid = v.uuid;
  return h;
}

}  // namespace

ks_status_t view_current_view_info(char *tag, size_t tag_size, char *storage, size_t storage_size,
                                   char *host, size_t host_size, char *host_path,
                                   size_t host_path_size, tbs_uuid_t *uuid) {
  const char *set = std::getenv(VIEW_SET_VIEW_ENV);
  if (!set || !*set) return KS_ST_NOT_FOUND;
  ks_status_t status;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  if (!reg) return status;
  const dbrpc_view_rec_t *v = reg->find_view(set);
  if (!v) {
    imsg_print(IMSG_ERROR, "The set view \"%s\" is not a registered view\n", -1, set);
    return KS_ST_ERR;
  }
  return fill(*v, tag, tag_size, storage, storage_size, host, host_size, host_path,
              host_path_size, uuid);
}

ks_status_t view_cdview_view_info(char *tag, size_t tag_size, char *storage, size_t storage_size,
                                  char *host, size_t host_size, char *host_path,
                                  size_t host_path_size, tbs_uuid_t *uuid) {
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) return KS_ST_NOT_FOUND;
  vob_pname_t where;
  ks_status_t status = vob_pname_resolve(cwd, true, &where);
  if (status != KS_ST_OK) return status;
  if (!where.view) return KS_ST_NOT_FOUND;
  return fill(*where.view, tag, tag_size, storage, storage_size, host, host_size, host_path,
              host_path_size, uuid);
}

ks_status_t view_set_current_view(const char *tag) {
  if (!tag || !*tag) {
    unsetenv(VIEW_SET_VIEW_ENV);
    return KS_ST_OK;
  }
  ks_status_t status = view_register_view_tag(tag, 0);
  if (status != KS_ST_OK) return status;
  return setenv(VIEW_SET_VIEW_ENV, tag, 1) == 0 ? KS_ST_OK : KS_ST_NO_MEMORY;
}

ks_status_t view_register_view_tag(const char *tag, int) {
  if (!tag) return KS_ST_NOT_FOUND;
  ks_status_t status;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  if (!reg) return status;
  return reg->find_view(tag) ? KS_ST_OK : KS_ST_NOT_FOUND;
}

ks_status_t view_get_handle_config(const char *tag, const char *storage, const char *host,
                                   const char *host_path, view_handle_t *out) {
  if (!tag) return KS_ST_NOT_FOUND;
  ks_status_t status;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  if (!reg) return status;
  const dbrpc_view_rec_t *v = reg->find_view(tag);
  if (!v || (storage && *storage && v->storage != storage) || (host && *host && v->host != host) ||
      (host_path && *host_path && v->storage != host_path))
    return KS_ST_NOT_FOUND;
  *out = make_handle(*v);
  return KS_ST_OK;
}

ks_status_t view_get_handle(const char *storage, int, view_handle_t *out) {
  if (!storage) return KS_ST_NOT_FOUND;
  ks_status_t status;
  dbrpc_reg_snapshot_h reg = dbrpc_reg_snapshot(&status);
  if (!reg) return status;
  for (const dbrpc_view_rec_t &v : reg->views)
    if (v.storage == storage) {
      *out = make_handle(v);
      return KS_ST_OK;
    }
  return KS_ST_NOT_FOUND;
}

ks_status_t view_get_handle_by_tag(const char *tag, view_handle_t *out) {
  return view_get_handle_config(tag, nullptr, nullptr, nullptr, out);
}

void view_free_handle(view_handle_t view) { delete view; }

ks_status_t view_ws_is_ws_view(view_handle_t view, bool *is_ws) {
  if (!view) return KS_ST_ERR;
  *is_ws = false;
  return KS_ST_OK;
}

const char *view_get_tag(view_handle_t view) { return view ? view->tag.c_str() : nullptr; }
const char *view_get_path(view_handle_t view) { return view ? view->storage.c_str() : nullptr; }
const char *view_get_host(view_handle_t view) { return view ? view->host.c_str() : nullptr; }
const char *view_get_host_path(view_handle_t view) { return view ? view->storage.c_str() : nullptr; }
const char *view_get_dir(view_handle_t view) { return view ? view->dir.c_str() : nullptr; }
const tbs_uuid_t *view_get_uuid(view_handle_t view) { return view ? &view->uuid : nullptr; }

ks_status_t view_get_view_info(const char *dir, int, view_info_t *info) {
  std::memset(info, 0, sizeof *info);
  vob_pname_t where;
  ks_status_t status = vob_pname_resolve(dir, true, &where);
  if (status != KS_ST_OK) return status;
  struct stat st;
  if (stat(where.abs.c_str(), &st) != 0) return KS_ST_NOT_IN_VIEW;
  if (!where.view) return KS_ST_OK;
  status = put(where.view->tag, info->tag, sizeof info->tag);
  info->uuid = where.view->uuid;
  return status;
}

ks_status_t view_abspn_to_viewrel(const char *path, char *buf, size_t size) {
  vob_pname_t where;
  ks_status_t status = vob_pname_resolve(path, false, &where);
  if (status != KS_ST_OK) return status;
  if (!where.view) return KS_ST_NOT_IN_VIEW;
  return put(vob_pname_view_relative(where), buf, size);
}

ks_status_t view_viewrel_to_view_ext(const char *tag, const char *vrel, char *buf, size_t size) {
  if (!tag || !vrel) return KS_ST_NOT_FOUND;
  std::string path = std::string(tbs_view_root()) + "/" + tag;
  if (std::strcmp(vrel, "/") != 0) path += (vrel[0] == '/' ? "" : "/") + std::string(vrel);
  return put(path, buf, size);
}
