#include "vob/vob_mtype.h"

#include <cstring>

namespace {

struct Names {
  const char *name;
  const char *short_name;
};

const Names kNames[VOB_MTYPE_COUNT] = {
    {"VOB_MTYPE_NULL", "NULL"},
    {"VOB_MTYPE_NSDIR_ELEM", "NSDIR_ELEM"},
    {"VOB_MTYPE_FILE_ELEM", "FILE_ELEM"},
    {"VOB_MTYPE_DIR_VERSION", "DIR_VERSION"},
    {"VOB_MTYPE_HISTORY", "HISTORY"},
    {"VOB_MTYPE_DIR_ELEM", "DIR_ELEM"},
    {"VOB_MTYPE_DO_VERSION", "DO_VERSION"},
    {"VOB_MTYPE_SLINK", "SLINK"},
    {"VOB_MTYPE_VERSION", "VERSION"},
    {"VOB_MTYPE_DERIVED_OBJ", "DERIVED_OBJ"},
    {"VOB_MTYPE_BRANCH", "BRANCH"},
    {"VOB_MTYPE_VOB_ROOT", "VOB_ROOT"},
    {"VOB_MTYPE_ELEM_TYPE", "ELEM_TYPE"},
    {"VOB_MTYPE_BRANCH_TYPE", "BRANCH_TYPE"},
    {"VOB_MTYPE_LABEL_TYPE", "LABEL_TYPE"},
    {"VOB_MTYPE_ATTR_TYPE", "ATTR_TYPE"},
    {"VOB_MTYPE_LINK_TYPE", "LINK_TYPE"},
    {"VOB_MTYPE_TRIGGER_TYPE", "TRIGGER_TYPE"},
    {"VOB_MTYPE_REPLICA", "REPLICA"},
    {"VOB_MTYPE_VIEW_PRIVATE", "VIEW_PRIVATE"},
    {"VOB_MTYPE_POOL", "POOL"},
    {"VOB_MTYPE_CHECKEDOUT", "CHECKEDOUT"},
    {"VOB_MTYPE_SHARED_DO", "SHARED_DO"},
    {"VOB_MTYPE_VIEW_PRIVATE_FILE", "VIEW_PRIVATE_FILE"},
    {"VOB_MTYPE_LINK", "LINK"},
    {"VOB_MTYPE_LOCK", "LOCK"},
    {"VOB_MTYPE_NON_SHAREABLE_DO", "NON_SHAREABLE_DO"},
    {"VOB_MTYPE_SYMBOL", "SYMBOL"},
    {"VOB_MTYPE_ATTRIBUTE", "ATTRIBUTE"},
    {"VOB_MTYPE_LABEL", "LABEL"},
    {"VOB_MTYPE_EVENT", "EVENT"},
    {"VOB_MTYPE_POLICY", "POLICY"},
    {"VOB_MTYPE_ROLE", "ROLE"},
    {"VOB_MTYPE_STORAGE", "STORAGE"},
    {"VOB_MTYPE_DOMAIN", "TIMELINE"},
};

}  // namespace

const char *vob_mtype_name(vob_mtype_t mtype) {
  return mtype < VOB_MTYPE_COUNT ? kNames[mtype].name : "unknown";
}

const char *vob_mtype_short_name(vob_mtype_t mtype) {
  return mtype < VOB_MTYPE_COUNT ? kNames[mtype].short_name : nullptr;
}

vob_mtype_t vob_mtype_from_name(const char *name) {
  if (!name) return VOB_MTYPE_COUNT;
  for (vob_mtype_t m = 0; m < VOB_MTYPE_COUNT; m++)
    if (std::strcmp(name, kNames[m].name) == 0 || std::strcmp(name, kNames[m].short_name) == 0)
      return m;
  return VOB_MTYPE_COUNT;
}
