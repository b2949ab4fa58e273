#include "cm/cr_utl_view.h"

#include <cstring>

#include "ks/imsg.h"
#include "view/view_info.h"

ks_status_t cr_utl_require_set_view_if_cdview(const char *cwd) {
  view_info_t info;
  ks_status_t status = view_get_view_info(cwd, 0, &info);
  if (status != KS_ST_OK) {
    imsg_print(IMSG_ERROR, "Unable to determine the view of \"%s\"\n", -1, cwd);
    return status;
  }
  char set_tag[256];
  status = view_current_view_info(set_tag, sizeof set_tag, nullptr, 0, nullptr, 0, nullptr, 0,
                                  nullptr);
  if (status != KS_ST_OK && status != KS_ST_NOT_FOUND) {
    if (status != KS_ST_ERR)
      imsg_print(IMSG_ERROR, "Unable to determine the process's set view\n", -1);
    return KS_ST_ERR;
  }
  bool has_set = status == KS_ST_OK;
  if (tbs_uuid_is_null(&info.uuid)) return KS_ST_OK;
  if (has_set) {
    if (std::strcmp(set_tag, info.tag) == 0) return KS_ST_OK;
    imsg_print(IMSG_ERROR,
               "The working directory \"%s\" is in view \"%s\", but the process is set to view "
               "\"%s\"\n",
               -1, cwd, info.tag, set_tag);
    return KS_ST_ERR;
  }
  status = view_set_current_view(info.tag);
  if (status != KS_ST_OK)
    imsg_print(IMSG_ERROR, "Unable to set view \"%s\"\n", -1, info.tag);
  return status == KS_ST_OK ? KS_ST_OK : KS_ST_ERR;
}
