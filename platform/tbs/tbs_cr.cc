// Configuration records and their XDR form.
//
// Byte form (XDR units): format, build start (64-bit), uid, gid, login, group, host and platform
// texts, initial directory, its version OID, view UUID, view host path, reference time (two
// 64-bit words), target name; then each list as its count followed by its entries: kept texts,
// scripts, explicit dependencies (optional items), file-system dependencies (optional items),
// variable definitions, VOBs, objects (optional items), link texts.
#include "tbs/tbs_cr.h"

#include <cstdlib>
#include <cstring>

#include "kelprpc/kelp_xdr.h"
#include "ks/ks_xdr.h"
#include "tbs/tbs_xdr.h"

static_assert(sizeof(tbs_cr_obj_t) == 80, "an object entry is 80 bytes");
static_assert(sizeof(tbs_cr_vob_t) == 40, "a VOB entry is 40 bytes");

namespace {

bool_t str(XDR *xdrs, char **sp) { return xdr_kelp_string8(xdrs, sp, KELP_STRING8_MAX, nullptr); }

bool_t xdr_obj(XDR *xdrs, tbs_cr_obj_t *o, void *) {
  u_int vob_index = o->vob_index, ftype = o->ftype, mtype = o->mtype;
  if (!xdr_tbs_oid_t(xdrs, &o->oid, nullptr) || !xdr_int64_t(xdrs, &o->mtime) ||
      !xdr_tbs_oid_t(xdrs, &o->parent_oid, nullptr) || !xdr_u_int(xdrs, &vob_index) ||
      !xdr_uint32_t(xdrs, &o->flags) || !xdr_u_int(xdrs, &ftype) || !xdr_u_int(xdrs, &mtype) ||
      !xdr_tbs_oid_t(xdrs, &o->elem_oid, nullptr) || !str(xdrs, &o->name))
    return FALSE;
  if (vob_index > UINT16_MAX || ftype > UINT8_MAX || mtype > UINT8_MAX) return FALSE;
  o->vob_index = uint16_t(vob_index);
  o->ftype = uint8_t(ftype);
  o->mtype = uint8_t(mtype);
  o->zero = 0;
  return TRUE;
}

bool_t xdr_vob(XDR *xdrs, tbs_cr_vob_t *v, void *) {
  return str(xdrs, &v->name) && xdr_tbs_oid_t(xdrs, &v->vob_oid, nullptr) &&
         xdr_tbs_oid_t(xdrs, &v->root_oid, nullptr);
}

bool_t xdr_linktext(XDR *xdrs, tbs_cr_linktext_t *l, void *) {
  return str(xdrs, &l->text) && xdr_uint32_t(xdrs, &l->obj_index);
}

bool_t xdr_explicit_dep(XDR *xdrs, tbs_cr_explicit_dep_t *d, void *) {
  return str(xdrs, &d->name) && str(xdrs, &d->vpath_name) && xdr_int32_t(xdrs, &d->obj_index);
}

bool_t str_array(XDR *xdrs, uint32_t *count, char ***array) {
  return xdr_uint32_t(xdrs, count) &&
         xdr_kelp_array(xdrs, array, *count, sizeof(char *), xdr_kelp_string8_item, nullptr);
}

template <class T, bool_t (*Proc)(XDR *, T *, void *)>
bool_t parray(XDR *xdrs, uint32_t *count, T ***array) {
  return xdr_uint32_t(xdrs, count) &&
         xdr_kelp_parray(xdrs, array, *count, sizeof(T), kelp_xdr_item<T, Proc>, nullptr);
}

template <class T, bool_t (*Proc)(XDR *, T *, void *)>
bool_t array(XDR *xdrs, uint32_t *count, T **arr) {
  return xdr_uint32_t(xdrs, count) &&
         xdr_kelp_array(xdrs, arr, *count, sizeof(T), kelp_xdr_item<T, Proc>, nullptr);
}

// Every field in byte-form order.
bool_t fields(XDR *xdrs, tbs_cr_t *cr) {
  return xdr_int32_t(xdrs, &cr->format) && xdr_int64_t(xdrs, &cr->build_start) &&
         xdr_uint32_t(xdrs, &cr->uid) && xdr_uint32_t(xdrs, &cr->gid) &&
         str(xdrs, &cr->login_name) && str(xdrs, &cr->group_name) && str(xdrs, &cr->host_name) &&
         str(xdrs, &cr->platform) && str(xdrs, &cr->initial_dir) &&
         xdr_tbs_oid_t(xdrs, &cr->initial_dir_ver_oid, nullptr) &&
         xdr_tbs_uuid_t(xdrs, &cr->view_uuid, nullptr) && str(xdrs, &cr->view_host_path) &&
         xdr_int64_t(xdrs, &cr->ref_time[0]) && xdr_int64_t(xdrs, &cr->ref_time[1]) &&
         str(xdrs, &cr->target_name) && str_array(xdrs, &cr->str_count, &cr->strs) &&
         str_array(xdrs, &cr->script_count, &cr->scripts) &&
         parray<tbs_cr_explicit_dep_t, xdr_explicit_dep>(xdrs, &cr->explicit_dep_count, &cr->explicit_deps) &&
         parray<tbs_cr_fs_predef_t, xdr_tbs_cr_fs_predef_t>(xdrs, &cr->fs_dep_count, &cr->fs_deps) &&
         str_array(xdrs, &cr->var_def_count, &cr->var_defs) &&
         array<tbs_cr_vob_t, xdr_vob>(xdrs, &cr->vob_count, &cr->vobs) &&
         parray<tbs_cr_obj_t, xdr_obj>(xdrs, &cr->obj_count, &cr->objs) &&
         array<tbs_cr_linktext_t, xdr_linktext>(xdrs, &cr->linktext_count, &cr->linktexts);
}

// Whether a decoded record holds together, so that its users may follow its indexes.
bool whole(const tbs_cr_t *cr) {
  if (!tbs_cr_is_supported_fmt(cr) || cr->target_name == nullptr) return false;
  for (uint32_t i = 0; i < cr->str_count; i++)
    if (cr->strs[i] == nullptr) return false;
  for (uint32_t i = 0; i < cr->script_count; i++)
    if (cr->scripts[i] == nullptr) return false;
  for (uint32_t i = 0; i < cr->var_def_count; i++)
    if (cr->var_defs[i] == nullptr) return false;
  for (uint32_t i = 0; i < cr->explicit_dep_count; i++) {
    const tbs_cr_explicit_dep_t *d = cr->explicit_deps[i];
    if (d == nullptr || d->name == nullptr || d->obj_index < -1 ||
        (d->obj_index >= 0 && uint32_t(d->obj_index) >= cr->obj_count))
      return false;
  }
  for (uint32_t i = 0; i < cr->fs_dep_count; i++)
    if (cr->fs_deps[i] == nullptr) return false;
  for (uint32_t i = 0; i < cr->vob_count; i++)
    if (cr->vobs[i].name == nullptr) return false;
  for (uint32_t i = 0; i < cr->obj_count; i++) {
    const tbs_cr_obj_t *o = cr->objs[i];
    if (o == nullptr || o->name == nullptr || o->vob_index >= cr->vob_count) return false;
  }
  for (uint32_t i = 0; i < cr->linktext_count; i++)
    if (cr->linktexts[i].text == nullptr || cr->linktexts[i].obj_index >= cr->obj_count)
      return false;
  return true;
}

// Counts of lists whose arrays are missing (a decode that stopped half-way) become 0, so that
// freeing never walks an array that is not there.
void settle_counts(tbs_cr_t *cr) {
  if (!cr->strs) cr->str_count = 0;
  if (!cr->scripts) cr->script_count = 0;
  if (!cr->explicit_deps) cr->explicit_dep_count = 0;
  if (!cr->fs_deps) cr->fs_dep_count = 0;
  if (!cr->var_defs) cr->var_def_count = 0;
  if (!cr->vobs) cr->vob_count = 0;
  if (!cr->objs) cr->obj_count = 0;
  if (!cr->linktexts) cr->linktext_count = 0;
}

}  // namespace

bool_t xdr_tbs_cr_t(XDR *xdrs, tbs_cr_t *cr, void *) {
  switch (xdrs->x_op) {
    case XDR_ENCODE:
      return fields(xdrs, cr);
    case XDR_DECODE: {
      std::memset(cr, 0, sizeof *cr);
      bool ok = fields(xdrs, cr) && whole(cr);
      if (!ok) tbs_cr_free_cr_stg(cr);
      return ok;
    }
    case XDR_FREE:
      settle_counts(cr);
      return fields(xdrs, cr);
  }
  return FALSE;
}

bool tbs_cr_is_supported_fmt(const tbs_cr_t *cr) { return cr && cr->format == TBS_CR_FORMAT; }

void tbs_cr_free_cr_stg(tbs_cr_t *cr) {
  if (cr == nullptr) return;
  settle_counts(cr);
  XDR x;
  x.x_op = XDR_FREE;
  x.x_ops = nullptr;
  fields(&x, cr);
  std::memset(cr, 0, sizeof *cr);
}

char *tbs_cr_encode(const tbs_cr_t *cr, size_t *len) {
  XDR x;
  if (!xdrstg_create(&x, XDR_ENCODE, 4096)) return nullptr;
  char *out = nullptr;
  if (xdr_tbs_cr_t(&x, const_cast<tbs_cr_t *>(cr), nullptr)) {
    size_t n = XDR_GETPOS(&x);
    out = static_cast<char *>(std::malloc(n ? n : 1));
    if (out) {
      std::memcpy(out, xdrstg_buffer(&x), n);
      *len = n;
    }
  }
  xdr_destroy(&x);
  return out;
}

ks_status_t tbs_cr_decode(const void *data, size_t len, tbs_cr_t *cr) {
  std::memset(cr, 0, sizeof *cr);
  XDR x;
  if (!xdrstg_create(&x, XDR_DECODE, len)) return KS_ST_NO_MEMORY;
  if (len) std::memcpy(xdrstg_buffer(&x), data, len);
  bool ok = xdr_tbs_cr_t(&x, cr, nullptr) && XDR_GETPOS(&x) == len;
  xdr_destroy(&x);
  if (!ok) {
    tbs_cr_free_cr_stg(cr);
    return KS_ST_XDR_FAILED;
  }
  return KS_ST_OK;
}

ks_status_t tbs_cr_copy_cr(const tbs_cr_t *cr, int, tbs_cr_t *dest) {
  std::memset(dest, 0, sizeof *dest);
  size_t len = 0;
  char *bytes = tbs_cr_encode(cr, &len);
  if (bytes == nullptr) return KS_ST_XDR_FAILED;
  ks_status_t st = tbs_cr_decode(bytes, len, dest);
  std::free(bytes);
  return st;
}
