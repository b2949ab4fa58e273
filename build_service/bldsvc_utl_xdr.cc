// The records of the executor protocol and their XDR routines.
#include "build_service/bldsvc_utl_xdr.h"

#include <cstdio>

#include "kelprpc/kelp_xdr.h"
#include "ks/pfm.h"

namespace {

// A u_long member: 32 bits on the wire, so a value above 4294967295 does not encode.
bool_t xdr_ulong32(XDR *xdrs, u_long *value) {
  if (xdrs->x_op == XDR_ENCODE && *value > 0xFFFFFFFFul) return FALSE;
  return xdr_u_long(xdrs, value);
}

// An int count of the elements that follow; a negative count does not encode or decode.
bool_t xdr_count(XDR *xdrs, int *count) {
  if (!xdr_int(xdrs, count)) return FALSE;
  return xdrs->x_op == XDR_FREE || *count >= 0;
}

u_int count_of(int count) { return count < 0 ? 0 : u_int(count); }

bool_t xdr_text(XDR *xdrs, char **sp, void *arg) {
  return xdr_kelp_string8(xdrs, sp, KELP_STRING8_MAX, arg);
}

bool_t xdr_no_body(XDR *, void *, void *) { return TRUE; }

template <class T, bool_t (*Proc)(XDR *, T *, void *)>
constexpr kelp_xdrproc_t item = kelp_xdr_item<T, Proc>;

}  // namespace

bool_t xdr_bldsvc_rec_kind_t(XDR *xdrs, bldsvc_rec_kind_t *kind, void *) {
  enum_t value = *kind;
  if (!xdr_enum(xdrs, &value)) return FALSE;
  *kind = bldsvc_rec_kind_t(value);
  return TRUE;
}

bool_t xdr_bldsvc_nimbrel_id_t(XDR *xdrs, bldsvc_nimbrel_id_t *id, void *) {
  return xdr_int(xdrs, id);
}

bool_t xdr_bldsvc_hdr_t(XDR *xdrs, bldsvc_hdr_t *hdr, void *arg) {
  return xdr_ulong32(xdrs, &hdr->trans_id) && xdr_bldsvc_nimbrel_id_t(xdrs, &hdr->client_id, arg) &&
         xdr_bldsvc_rec_kind_t(xdrs, &hdr->rec_type, arg);
}

bool_t xdr_bldsvc_stand_rec_t(XDR *xdrs, bldsvc_stand_rec_t *rec, void *arg) {
  return xdr_bldsvc_hdr_t(xdrs, &rec->hdr, arg);
}

bool_t xdr_bldsvc_view_bhandle_t(XDR *xdrs, bldsvc_view_bhandle_t *bh, void *) {
  return xdr_ulong32(xdrs, &bh->build_session) && xdr_ulong32(xdrs, &bh->target);
}

bool_t xdr_bldsvc_key_t(XDR *xdrs, bldsvc_key_t *key, void *arg) {
  return xdr_text(xdrs, &key->name, arg) && xdr_text(xdrs, &key->value, arg);
}

bool_t xdr_bldsvc_keys_t(XDR *xdrs, bldsvc_keys_t *keys, void *arg) {
  return xdr_count(xdrs, &keys->count) &&
         xdr_kelp_parray(xdrs, &keys->keys, count_of(keys->count), sizeof(bldsvc_key_t),
                         item<bldsvc_key_t, xdr_bldsvc_key_t>, arg);
}

bool_t xdr_bldsvc_list_t(XDR *xdrs, bldsvc_list_t *list, void *arg) {
  return xdr_text(xdrs, &list->name, arg) && xdr_count(xdrs, &list->entry_count) &&
         xdr_kelp_array(xdrs, &list->entries, count_of(list->entry_count), sizeof(char *),
                        xdr_kelp_string8_item, arg);
}

bool_t xdr_bldsvc_lists_t(XDR *xdrs, bldsvc_lists_t *lists, void *arg) {
  return xdr_count(xdrs, &lists->list_count) &&
         xdr_kelp_parray(xdrs, &lists->lists, count_of(lists->list_count), sizeof(bldsvc_list_t),
                         item<bldsvc_list_t, xdr_bldsvc_list_t>, arg);
}

bool_t xdr_bldsvc_init_reply_flags_t(XDR *xdrs, bldsvc_init_reply_flags_t *flags, void *) {
  return xdr_ulong32(xdrs, flags);
}

bool_t xdr_bldsvc_rbld_reply_flags_t(XDR *xdrs, bldsvc_rbld_reply_flags_t *flags, void *) {
  return xdr_ulong32(xdrs, flags);
}

bool_t xdr_bldsvc_rbld_status_flags_t(XDR *xdrs, bldsvc_rbld_status_flags_t *flags, void *) {
  return xdr_ulong32(xdrs, flags);
}

bool_t xdr_bldsvc_testing_flags_t(XDR *xdrs, bldsvc_testing_flags_t *flags, void *) {
  return xdr_ulong32(xdrs, flags);
}

bool_t xdr_bldsvc_init_req_rec_t(XDR *xdrs, bldsvc_init_req_rec_t *rec, void *arg) {
  return xdr_bldsvc_hdr_t(xdrs, &rec->hdr, arg) && xdr_ulong32(xdrs, &rec->protocol_version);
}

bool_t xdr_bldsvc_init_reply_rec_t(XDR *xdrs, bldsvc_init_reply_rec_t *rec, void *arg) {
  return xdr_bldsvc_hdr_t(xdrs, &rec->hdr, arg) && xdr_ulong32(xdrs, &rec->protocol_version) &&
         xdr_int(xdrs, &rec->trace_level) &&
         xdr_bldsvc_init_reply_flags_t(xdrs, &rec->flags, arg) &&
         xdr_timeval(xdrs, &rec->ref_time, arg) && xdr_tbs_uuid_t(xdrs, &rec->view_uuid, arg) &&
         xdr_bldsvc_view_bhandle_t(xdrs, &rec->bldh, arg) &&
         xdr_tbs_uuid_t(xdrs, &rec->wd_replica_uuid, arg) &&
         xdr_kelp_pointer(xdrs, &rec->keys, sizeof(bldsvc_keys_t),
                          item<bldsvc_keys_t, xdr_bldsvc_keys_t>, arg) &&
         xdr_kelp_pointer(xdrs, &rec->lists, sizeof(bldsvc_lists_t),
                          item<bldsvc_lists_t, xdr_bldsvc_lists_t>, arg);
}

bool_t xdr_bldsvc_rbld_req_rec_t(XDR *xdrs, bldsvc_rbld_req_rec_t *rec, void *arg) {
  return xdr_bldsvc_stand_rec_t(xdrs, rec, arg);
}

bool_t xdr_bldsvc_rbld_reply_rec_t(XDR *xdrs, bldsvc_rbld_reply_rec_t *rec, void *arg) {
  if (!xdr_bldsvc_hdr_t(xdrs, &rec->hdr, arg) || !xdr_text(xdrs, &rec->tgt_pname, arg) ||
      !xdr_ulong32(xdrs, &rec->bld_script_hash) ||
      !xdr_tbs_oid_t(xdrs, &rec->predef_dep_oid, arg) ||
      !xdr_bldsvc_rbld_reply_flags_t(xdrs, &rec->flags, arg) ||
      !xdr_kelp_pointer(xdrs, &rec->lists, sizeof(bldsvc_lists_t),
                        item<bldsvc_lists_t, xdr_bldsvc_lists_t>, arg) ||
      !xdr_u_int(xdrs, &rec->vessary_deps_count) ||
      !xdr_kelp_parray(xdrs, &rec->vessary_deps, rec->vessary_deps_count,
                       sizeof(tbs_cr_mfs_predef_t),
                       item<tbs_cr_mfs_predef_t, xdr_tbs_cr_mfs_predef_t>, arg) ||
      !xdr_u_int(xdrs, &rec->fs_deps_count)) {
    return FALSE;
  }
  kelp_xdrproc_t fs_proc;
  switch (rec->hdr.rec_type) {
    case BLDSVC_REC_RBLD_REPLY:
      fs_proc = item<tbs_cr_fs_predef_t, xdr_tbs_cr_fs_predef_v6_t>;
      break;
    case BLDSVC_REC_RBLD_REPLY_LFS:
      fs_proc = item<tbs_cr_fs_predef_t, xdr_tbs_cr_fs_predef_t>;
      break;
    default:
      return FALSE;
  }
  return xdr_kelp_parray(xdrs, &rec->fs_deps, rec->fs_deps_count, sizeof(tbs_cr_fs_predef_t),
                         fs_proc, arg) &&
         xdr_u_int(xdrs, &rec->bld_scripts_count) &&
         xdr_kelp_array(xdrs, &rec->bld_scripts, rec->bld_scripts_count, sizeof(char *),
                        xdr_kelp_string8_item, arg);
}

bool_t xdr_bldsvc_rbld_status_rec_t(XDR *xdrs, bldsvc_rbld_status_rec_t *rec, void *arg) {
  return xdr_bldsvc_hdr_t(xdrs, &rec->hdr, arg) && xdr_text(xdrs, &rec->tgt_pname, arg) &&
         xdr_bldsvc_rbld_status_flags_t(xdrs, &rec->reply_flags, arg) &&
         xdr_int(xdrs, &rec->bld_status) && xdr_tbs_status_t(xdrs, &rec->nimbrel_status, arg) &&
         xdr_int(xdrs, &rec->output_chunk_size) && xdr_text(xdrs, &rec->output, arg);
}

bool_t xdr_bldsvc_rbld_status_reply_rec_t(XDR *xdrs, bldsvc_rbld_status_reply_rec_t *rec,
                                          void *arg) {
  return xdr_bldsvc_stand_rec_t(xdrs, rec, arg);
}

bool_t xdr_bldsvc_nimbrel_term_rec_t(XDR *xdrs, bldsvc_nimbrel_term_rec_t *rec, void *arg) {
  return xdr_bldsvc_hdr_t(xdrs, &rec->hdr, arg) && xdr_text(xdrs, &rec->reason, arg) &&
         xdr_tbs_status_t(xdrs, &rec->status, arg) && xdr_int(xdrs, &rec->sys_errno);
}

bool_t xdr_bldsvc_nimbrel_cant_handle_rec_t(XDR *xdrs, bldsvc_nimbrel_cant_handle_rec_t *rec,
                                            void *arg) {
  return xdr_bldsvc_hdr_t(xdrs, &rec->hdr, arg) &&
         xdr_bldsvc_rec_kind_t(xdrs, &rec->unhandled_rpc, arg);
}

bool_t xdr_bldsvc_rbld_direct_status_rec_t(XDR *xdrs, bldsvc_rbld_direct_status_rec_t *rec,
                                           void *arg) {
  return xdr_bldsvc_hdr_t(xdrs, &rec->hdr, arg) && xdr_text(xdrs, &rec->tgt_pname, arg) &&
         xdr_ks_int64_t(xdrs, &rec->start_offset, arg) &&
         xdr_ks_int64_t(xdrs, &rec->end_offset, arg) && xdr_int(xdrs, &rec->output_path_size) &&
         xdr_text(xdrs, &rec->output_path, arg);
}

const bldsvc_xdr_tbl_entry_t bldsvc_xdr_tbl[BLDSVC_REC_LAST + 1] = {
    {BLDSVC_REC_NONE, xdr_no_body, 0, "Unspecified record type", "NONE"},
    {BLDSVC_REC_INIT_REQ, item<bldsvc_init_req_rec_t, xdr_bldsvc_init_req_rec_t>,
     sizeof(bldsvc_init_req_rec_t), "Initialization request record", "INIT_REQ"},
    {BLDSVC_REC_INIT_REPLY, item<bldsvc_init_reply_rec_t, xdr_bldsvc_init_reply_rec_t>,
     sizeof(bldsvc_init_reply_rec_t), "Initialization request reply record", "INIT_REPLY"},
    {BLDSVC_REC_RBLD_REQ, item<bldsvc_rbld_req_rec_t, xdr_bldsvc_rbld_req_rec_t>,
     sizeof(bldsvc_rbld_req_rec_t), "Rebuild request record", "RBLD_REQ"},
    {BLDSVC_REC_RBLD_REPLY, item<bldsvc_rbld_reply_rec_t, xdr_bldsvc_rbld_reply_rec_t>,
     sizeof(bldsvc_rbld_reply_rec_t), "Rebuild request reply record", "RBLD_REPLY"},
    {BLDSVC_REC_RBLD_STATUS, item<bldsvc_rbld_status_rec_t, xdr_bldsvc_rbld_status_rec_t>,
     sizeof(bldsvc_rbld_status_rec_t), "Rebuild status record", "RBLD_STATUS"},
    {BLDSVC_REC_RBLD_STATUS_REPLY,
     item<bldsvc_rbld_status_reply_rec_t, xdr_bldsvc_rbld_status_reply_rec_t>,
     sizeof(bldsvc_rbld_status_reply_rec_t), "Rebuild status reply record", "RBLD_STATUS_REPLY"},
    {BLDSVC_REC_NIMBREL_TERM, item<bldsvc_nimbrel_term_rec_t, xdr_bldsvc_nimbrel_term_rec_t>,
     sizeof(bldsvc_nimbrel_term_rec_t), "Termination notification record", "NIMBREL_TERM"},
    {BLDSVC_REC_NIMBREL_EXIT, xdr_no_body, 0, "Termination request record type", "NIMBREL_EXIT"},
    {BLDSVC_REC_NIMBREL_CANT_HANDLE,
     item<bldsvc_nimbrel_cant_handle_rec_t, xdr_bldsvc_nimbrel_cant_handle_rec_t>,
     sizeof(bldsvc_nimbrel_cant_handle_rec_t), "Unknown RPC response record type",
     "NIMBREL_CANT_HANDLE"},
    {BLDSVC_REC_TEST_UNHANDLED_RPC, xdr_no_body, 0, "Simulates an unhandled RPC",
     "TEST_UNHANDLED_RPC"},
    {BLDSVC_REC_RBLD_DIRECT_STATUS,
     item<bldsvc_rbld_direct_status_rec_t, xdr_bldsvc_rbld_direct_status_rec_t>,
     sizeof(bldsvc_rbld_direct_status_rec_t), "Rebuild direct status record",
     "RBLD_DIRECT_STATUS"},
    {BLDSVC_REC_RBLD_REPLY_LFS, item<bldsvc_rbld_reply_rec_t, xdr_bldsvc_rbld_reply_rec_t>,
     sizeof(bldsvc_rbld_reply_rec_t), "Rebuild request LFS reply record", "RBLD_REPLY_LFS"},
};

const char *bldsvc_utl_rtype_name(int rtype) {
  static char invalid[64];
  if (rtype < 1 || rtype > BLDSVC_REC_LAST) {
    snprintf(invalid, sizeof invalid, "invalid bldsvc record kind (%d)", rtype);
    return invalid;
  }
  PFM_ASSERT(bldsvc_xdr_tbl[rtype].rtype_for_rec == rtype);
  return bldsvc_xdr_tbl[rtype].name;
}
