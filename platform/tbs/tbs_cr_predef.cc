// Predefined dependencies of a build and their XDR routines.
#include "tbs/tbs_cr_predef.h"

#include "kelprpc/kelp_xdr.h"
#include "ks/fileutl.h"

namespace {

// Every field of a file-system entry but the size, in wire order around it.
bool_t xdr_fs_predef(XDR *xdrs, tbs_cr_fs_predef_t *entry, void *arg, bool large) {
  u_int kind = entry->kind;
  if (!xdr_kelp_string8(xdrs, &entry->name, KELP_STRING8_MAX, arg) ||
      !xdr_kelp_string8(xdrs, &entry->pname, KELP_STRING8_MAX, arg) ||
      !xdr_uint32_t(xdrs, &entry->flags) || !xdr_u_int(xdrs, &kind) || kind > UINT8_MAX) {
    return FALSE;
  }
  entry->kind = uint8_t(kind);
  if (large) {
    if (!xdr_uint64_t(xdrs, &entry->size)) return FALSE;
  } else {
    if (xdrs->x_op == XDR_ENCODE && fileutl_chk_large_file_overflow(entry->size, 0)) return FALSE;
    int32_t size = int32_t(entry->size);
    if (!xdr_int32_t(xdrs, &size) || size < 0) return FALSE;
    entry->size = uint64_t(size);
  }
  return xdr_uint32_t(xdrs, &entry->crc) && xdr_uint32_t(xdrs, &entry->crc_valid) &&
         xdr_int64_t(xdrs, &entry->mtime) && xdr_int64_t(xdrs, &entry->audit_mtime);
}

}  // namespace

bool_t xdr_tbs_cr_mfs_predef_t(XDR *xdrs, tbs_cr_mfs_predef_t *entry, void *arg) {
  return xdr_kelp_string8(xdrs, &entry->name, KELP_STRING8_MAX, arg) &&
         xdr_kelp_string8(xdrs, &entry->pname, KELP_STRING8_MAX, arg);
}

bool_t xdr_tbs_cr_fs_predef_t(XDR *xdrs, tbs_cr_fs_predef_t *entry, void *arg) {
  return xdr_fs_predef(xdrs, entry, arg, true);
}

bool_t xdr_tbs_cr_fs_predef_v6_t(XDR *xdrs, tbs_cr_fs_predef_t *entry, void *arg) {
  return xdr_fs_predef(xdrs, entry, arg, false);
}
