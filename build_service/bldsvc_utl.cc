// The executor protocol over a channel.
#include "build_service/bldsvc_utl.h"

#include <cstdarg>
#include <cstring>

#include "build_service/bldsvc_utl_int.h"
#include "kelprpc/kelp_xdr.h"
#include "ks/fileutl.h"
#include "ks/imsg.h"
#include "ks/ks_xdrrec.h"
#include "ks/pfm.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"

namespace {

const imsg_msg_table_t *const msgs = &_bldsvc_karsel_msg_table;

// Allocation failed in a key or list operation: the process cannot go on.
[[noreturn]] void no_memory(int line) {
  tbs_log_int_error(BLDSVC_UTL_TRACE, &imsg_common_table, IMSG_COMMON_NO_MEMORY,
                    pfm_file_stem(__FILE__), line, 0);
  pfm_panic(pfm_file_stem(__FILE__), line);
}

void *area_alloc(stg_area_t area, size_t size, int line) {
  void *p = stg_calloc(area, size == 0 ? 1 : size);
  if (p == nullptr) no_memory(line);
  return p;
}

char *area_copy(stg_area_t area, const char *text, int line) {
  if (text == nullptr) return nullptr;
  char *copy = stg_area_strdup(area, text);
  if (copy == nullptr) no_memory(line);
  return copy;
}

// Sends the kind and the body rec (null for the kinds without one). The body is sized first, so
// that one that cannot be encoded, or is too long for a record, leaves nothing on the stream.
ks_status_t send_rec(bldsvc_nimbrel_channel_t *ac, bldsvc_rec_kind_t rtype, void *rec) {
  const bldsvc_xdr_tbl_entry_t &row = bldsvc_xdr_tbl[rtype];
  if (row.rec_size > 0) {
    const auto *any_rec_p = static_cast<const bldsvc_stand_rec_t *>(rec);
    PFM_ASSERT(any_rec_p != NULL);
    PFM_ASSERT(any_rec_p->hdr.rec_type == rtype);
  }
  const char *name = bldsvc_utl_rtype_name(rtype);
  if (ac->socket == -1) {
    bldsvc_utl_trace(BLDSVC_UTL_TRACE, 3, IMSG_TRACE,
                     "bldsvc_utl_snd_rec: send requested on closed socket.\n");
    return KS_ST_ERR;
  }
  u_long size;
  if (!kelp_xdr_sizeof(row.xdr_proc, rec, nullptr, &size) || size > KS_XDRREC_MAX_RECORD) {
    imsg_print(IMSG_ERROR, msgs, BLDSVC_MSG_ENCODE_REC, name);
    return KS_ST_ERR;
  }
  XDR *xdrs = &ac->xdrs;
  xdrs->x_op = XDR_ENCODE;
  bldsvc_rec_kind_t kind = rtype;
  if (!xdr_bldsvc_rec_kind_t(xdrs, &kind, nullptr)) {
    imsg_print(IMSG_ERROR, msgs, BLDSVC_MSG_ENCODE_RTYPE, name);
    return KS_ST_ERR;
  }
  if (!ks_xdrrec_endofrecord(xdrs, FALSE)) {
    imsg_print(IMSG_ERROR, msgs, BLDSVC_MSG_QUEUE_EOR, name);
    return KS_ST_ERR;
  }
  if (!row.xdr_proc(xdrs, rec, nullptr)) {
    imsg_print(IMSG_ERROR, msgs, BLDSVC_MSG_ENCODE_REC, name);
    return KS_ST_ERR;
  }
  if (!ks_xdrrec_endofrecord(xdrs, TRUE)) {
    imsg_print(IMSG_ERROR, msgs, BLDSVC_MSG_SEND_EOR, name);
    return KS_ST_ERR;
  }
  bldsvc_utl_trace(BLDSVC_UTL_TRACE, 3, IMSG_TRACE, "Sent record %s on %s\n", name,
                   bldsvc_printable_nimbrel_channel_name(ac));
  return KS_ST_OK;
}

// Runs the kind's routine over rec in the free direction.
bool free_body(XDR *xdrs, bldsvc_rec_kind_t rtype, void *rec) {
  const xdr_op op = xdrs->x_op;
  xdrs->x_op = XDR_FREE;
  const bool ok = bldsvc_xdr_tbl[rtype].xdr_proc(xdrs, rec, nullptr);
  xdrs->x_op = op;
  return ok;
}

// Receives the body of the message whose kind was just read into storage.
ks_status_t get_rec(bldsvc_nimbrel_channel_t *ac, bldsvc_rec_kind_t rtype, void *storage) {
  XDR *xdrs = &ac->xdrs;
  PFM_ASSERT(xdrs->x_op == XDR_DECODE);
  const bldsvc_xdr_tbl_entry_t &row = bldsvc_xdr_tbl[rtype];
  memset(storage, 0, row.rec_size);
  if (ac->socket == -1) {
    bldsvc_utl_trace(BLDSVC_UTL_TRACE, 3, IMSG_TRACE,
                     "bldsvc_utl_get_rec: receive requested on closed socket.\n");
    return KS_ST_ERR;
  }
  if (!ks_xdrrec_skiprecord(xdrs)) {
    imsg_print(IMSG_ERROR, msgs, BLDSVC_MSG_SKIP_EOR);
    return KS_ST_ERR;
  }
  ac->body_pending = false;
  if (!row.xdr_proc(xdrs, storage, nullptr) ||
      static_cast<bldsvc_hdr_t *>(storage)->rec_type != rtype) {
    free_body(xdrs, rtype, storage);
    memset(storage, 0, row.rec_size);
    imsg_print(IMSG_ERROR, msgs, BLDSVC_MSG_DECODE_REC, bldsvc_utl_rtype_name(rtype));
    return KS_ST_ERR;
  }
  bldsvc_utl_trace(BLDSVC_UTL_TRACE, 3, IMSG_TRACE, "Received record %s on %s\n",
                   bldsvc_utl_rtype_name(rtype), bldsvc_printable_nimbrel_channel_name(ac));
  return KS_ST_OK;
}

ks_status_t free_rec(bldsvc_nimbrel_channel_t *ac, bldsvc_rec_kind_t rtype, void *rec) {
  if (!free_body(&ac->xdrs, rtype, rec)) {
    imsg_print(IMSG_ERROR, msgs, BLDSVC_MSG_ENCODE_REC, bldsvc_utl_rtype_name(rtype));
    return KS_ST_ERR;
  }
  return KS_ST_OK;
}

}  // namespace

bool bldsvc_utl_tracing(const char *name, int level) { return mf_utl_should_trace(name, level); }

void bldsvc_utl_trace(const char *name, int level, int severity, const char *format, ...) {
  if (!bldsvc_utl_tracing(name, level)) return;
  va_list ap;
  va_start(ap, format);
  imsg_vprint(severity, name, format, ap);
  va_end(ap);
}

const char *bldsvc_utl_str(const char *text) { return text != nullptr ? text : "(null)"; }

// ---- stream and input ----

bool_t bldsvc_utl_xdr_create_stream(bldsvc_nimbrel_channel_t *ac) {
  ac->xdrs.x_ops = nullptr;
  ks_xdrrec_create(&ac->xdrs, 0, 0, ac, bldsvc_tcp_read, bldsvc_tcp_write);
  ac->body_pending = false;
  return ac->xdrs.x_ops != nullptr;
}

bool_t bldsvc_utl_xdr_has_more(bldsvc_nimbrel_channel_t *ac) {
  if (ac->socket == -1) return FALSE;
  XDR *xdrs = &ac->xdrs;
  xdrs->x_op = XDR_DECODE;
  // An unread body is the record after the kind's: step onto it, and ks_xdrrec_eof passes it.
  if (ac->body_pending) {
    ac->body_pending = false;
    if (!ks_xdrrec_skiprecord(xdrs)) return FALSE;
  }
  return !ks_xdrrec_eof(xdrs);
}

bldsvc_rec_kind_t bldsvc_utl_get_next_rtype(bldsvc_nimbrel_channel_t *ac) {
  if (ac->socket == -1) {
    bldsvc_utl_trace(BLDSVC_UTL_TRACE, 3, IMSG_TRACE,
                     "bldsvc_utl_get_rec: receive requested on closed socket.\n");
    return BLDSVC_REC_NONE;
  }
  XDR *xdrs = &ac->xdrs;
  xdrs->x_op = XDR_DECODE;
  // The rest of the previous message: the rest of its body, or its whole body when unread.
  const int skips = ac->body_pending ? 2 : 1;
  ac->body_pending = false;
  for (int i = 0; i < skips; ++i) {
    if (!ks_xdrrec_skiprecord(xdrs)) {
      imsg_print(IMSG_ERROR, msgs, BLDSVC_MSG_SKIP_EOR);
      bldsvc_utl_trace(BLDSVC_UTL_TRACE, 3, IMSG_TRACE, "_get_next_rtype() skiprec failed!\n");
      return BLDSVC_REC_NONE;
    }
  }
  bldsvc_rec_kind_t kind = BLDSVC_REC_NONE;
  if (!xdr_bldsvc_rec_kind_t(xdrs, &kind, nullptr)) {
    imsg_print(IMSG_ERROR, msgs, BLDSVC_MSG_DECODE_RTYPE);
    return BLDSVC_REC_NONE;
  }
  ac->body_pending = true;
  bldsvc_utl_trace(BLDSVC_UTL_TRACE, 3, IMSG_TRACE, "See type %s on %s\n",
                   bldsvc_utl_rtype_name(kind), bldsvc_printable_nimbrel_channel_name(ac));
  return kind;
}

// ---- messages of every kind ----

#define BLDSVC_UTL_KIND_OPS(kind, rec_t, snd, get, fre)                            \
  ks_status_t snd(bldsvc_nimbrel_channel_t *ac, rec_t *rec) {                      \
    return send_rec(ac, kind, rec);                                                \
  }                                                                                \
  ks_status_t get(bldsvc_nimbrel_channel_t *ac, rec_t *rec) {                      \
    return get_rec(ac, kind, rec);                                                 \
  }                                                                                \
  ks_status_t fre(bldsvc_nimbrel_channel_t *ac, rec_t *rec) { return free_rec(ac, kind, rec); }

BLDSVC_UTL_KIND_OPS(BLDSVC_REC_INIT_REQ, bldsvc_init_req_rec_t, bldsvc_utl_snd_init_req,
                    bldsvc_utl_get_init_req, bldsvc_utl_free_init_req)
BLDSVC_UTL_KIND_OPS(BLDSVC_REC_RBLD_REQ, bldsvc_rbld_req_rec_t, bldsvc_utl_snd_rbld_req,
                    bldsvc_utl_get_rbld_req, bldsvc_utl_free_rbld_req)
BLDSVC_UTL_KIND_OPS(BLDSVC_REC_RBLD_REPLY, bldsvc_rbld_reply_rec_t, bldsvc_utl_snd_rbld_reply,
                    bldsvc_utl_get_rbld_reply, bldsvc_utl_free_rbld_reply)
BLDSVC_UTL_KIND_OPS(BLDSVC_REC_RBLD_REPLY_LFS, bldsvc_rbld_reply_rec_t,
                    bldsvc_utl_snd_rbld_reply_lfs, bldsvc_utl_get_rbld_reply_lfs,
                    bldsvc_utl_free_rbld_reply_lfs)
BLDSVC_UTL_KIND_OPS(BLDSVC_REC_RBLD_STATUS, bldsvc_rbld_status_rec_t, bldsvc_utl_snd_rbld_status,
                    bldsvc_utl_get_rbld_status, bldsvc_utl_free_rbld_status)
BLDSVC_UTL_KIND_OPS(BLDSVC_REC_RBLD_STATUS_REPLY, bldsvc_rbld_status_reply_rec_t,
                    bldsvc_utl_snd_rbld_status_reply, bldsvc_utl_get_rbld_status_reply,
                    bldsvc_utl_free_rbld_status_reply)
BLDSVC_UTL_KIND_OPS(BLDSVC_REC_NIMBREL_TERM, bldsvc_nimbrel_term_rec_t,
                    bldsvc_utl_snd_nimbrel_term, bldsvc_utl_get_nimbrel_term,
                    bldsvc_utl_free_nimbrel_term)
BLDSVC_UTL_KIND_OPS(BLDSVC_REC_NIMBREL_CANT_HANDLE, bldsvc_nimbrel_cant_handle_rec_t,
                    bldsvc_utl_snd_nimbrel_cant_handle, bldsvc_utl_get_nimbrel_cant_handle,
                    bldsvc_utl_free_nimbrel_cant_handle)
BLDSVC_UTL_KIND_OPS(BLDSVC_REC_RBLD_DIRECT_STATUS, bldsvc_rbld_direct_status_rec_t,
                    bldsvc_utl_snd_rbld_direct_status, bldsvc_utl_get_rbld_direct_status,
                    bldsvc_utl_free_rbld_direct_status)

ks_status_t bldsvc_utl_snd_init_reply(bldsvc_nimbrel_channel_t *ac,
                                      bldsvc_init_reply_rec_t *rec) {
  return send_rec(ac, BLDSVC_REC_INIT_REPLY, rec);
}

ks_status_t bldsvc_utl_get_init_reply(bldsvc_nimbrel_channel_t *ac,
                                      bldsvc_init_reply_rec_t *rec) {
  return get_rec(ac, BLDSVC_REC_INIT_REPLY, rec);
}

ks_status_t bldsvc_utl_free_init_reply(bldsvc_nimbrel_channel_t *, bldsvc_init_reply_rec_t *) {
  return KS_ST_OK;
}

ks_status_t bldsvc_utl_snd_nimbrel_exit(bldsvc_nimbrel_channel_t *ac) {
  return send_rec(ac, BLDSVC_REC_NIMBREL_EXIT, nullptr);
}

ks_status_t bldsvc_utl_snd_test_unhandled_rpc(bldsvc_nimbrel_channel_t *ac, bldsvc_nimbrel_id_t) {
  return send_rec(ac, BLDSVC_REC_TEST_UNHANDLED_RPC, nullptr);
}

// ---- selectors over related kinds ----

ks_status_t bldsvc_utl_snd_rbld_reply_record(bldsvc_nimbrel_channel_t *ac,
                                             bldsvc_rbld_reply_rec_t *rec) {
  PFM_ASSERT(rec != NULL);
  for (u_int i = 0; i < rec->fs_deps_count && rec->fs_deps != nullptr; ++i) {
    const tbs_cr_fs_predef_t *dep = rec->fs_deps[i];
    if (dep != nullptr && fileutl_chk_large_file_overflow(dep->size, 0)) {
      rec->hdr.rec_type = BLDSVC_REC_RBLD_REPLY_LFS;
      return bldsvc_utl_snd_rbld_reply_lfs(ac, rec);
    }
  }
  rec->hdr.rec_type = BLDSVC_REC_RBLD_REPLY;
  return bldsvc_utl_snd_rbld_reply(ac, rec);
}

ks_status_t bldsvc_utl_get_rbld_reply_record(bldsvc_nimbrel_channel_t *ac,
                                             bldsvc_rbld_reply_rec_t *rec, int kind) {
  switch (kind) {
    case BLDSVC_REC_RBLD_REPLY:
      return bldsvc_utl_get_rbld_reply(ac, rec);
    case BLDSVC_REC_RBLD_REPLY_LFS:
      return bldsvc_utl_get_rbld_reply_lfs(ac, rec);
    default:
      return KS_ST_ERR;
  }
}

ks_status_t bldsvc_utl_free_rbld_reply_record(bldsvc_nimbrel_channel_t *ac,
                                              bldsvc_rbld_reply_rec_t *rec, int kind) {
  switch (kind) {
    case BLDSVC_REC_RBLD_REPLY:
      return bldsvc_utl_free_rbld_reply(ac, rec);
    case BLDSVC_REC_RBLD_REPLY_LFS:
      return bldsvc_utl_free_rbld_reply_lfs(ac, rec);
    default:
      return KS_ST_ERR;
  }
}

ks_status_t bldsvc_utl_get_rbld_status_record(bldsvc_nimbrel_channel_t *ac, void *rec, int kind) {
  switch (kind) {
    case BLDSVC_REC_RBLD_STATUS: {
      auto *status = static_cast<bldsvc_rbld_status_rec_t *>(rec);
      const ks_status_t st = bldsvc_utl_get_rbld_status(ac, status);
      if (st != KS_ST_OK) return st;
      bldsvc_utl_trace(BLDSVC_UTL_TRACE, 4, IMSG_TRACE,
                       "bldsvc_rbld_status_processor: Target:%s, reply_flags:0x%lx "
                       "nimbrel_status:%d bld_status:%d output_size:%d\n",
                       bldsvc_utl_str(status->tgt_pname), status->reply_flags,
                       status->nimbrel_status, status->bld_status, status->output_chunk_size);
      bldsvc_utl_trace(BLDSVC_UTL_TRACE, 5, IMSG_TRACE,
                       "Rbld Output start:--\n%s\nRbld Output end:--\n",
                       bldsvc_utl_str(status->output));
      return st;
    }
    case BLDSVC_REC_RBLD_DIRECT_STATUS: {
      auto *direct = static_cast<bldsvc_rbld_direct_status_rec_t *>(rec);
      const ks_status_t st = bldsvc_utl_get_rbld_direct_status(ac, direct);
      if (st != KS_ST_OK) return st;
      bldsvc_utl_trace(BLDSVC_UTL_TRACE, 4, IMSG_TRACE,
                       "bldsvc_rbld_direct_status_processor: Target:%s, output is in "
                       "%s[%lld,%lld]\n",
                       bldsvc_utl_str(direct->tgt_pname), bldsvc_utl_str(direct->output_path),
                       static_cast<long long>(direct->start_offset),
                       static_cast<long long>(direct->end_offset));
      return st;
    }
    default:
      return KS_ST_ERR;
  }
}

ks_status_t bldsvc_utl_free_rbld_status_record(bldsvc_nimbrel_channel_t *ac, void *rec,
                                               int kind) {
  switch (kind) {
    case BLDSVC_REC_RBLD_STATUS:
      return bldsvc_utl_free_rbld_status(ac, static_cast<bldsvc_rbld_status_rec_t *>(rec));
    case BLDSVC_REC_RBLD_DIRECT_STATUS:
      return bldsvc_utl_free_rbld_direct_status(
          ac, static_cast<bldsvc_rbld_direct_status_rec_t *>(rec));
    default:
      return KS_ST_ERR;
  }
}

// ---- key sets and named lists ----

bldsvc_key_t *bldsvc_utl_make_key_value(const char *name, const char *value, stg_area_t area) {
  auto *key = static_cast<bldsvc_key_t *>(area_alloc(area, sizeof(bldsvc_key_t), __LINE__));
  key->name = area_copy(area, name, __LINE__);
  key->value = area_copy(area, value, __LINE__);
  return key;
}

bldsvc_keys_t *bldsvc_utl_alloc_bldsvc_keys(int count, stg_area_t area) {
  auto *keys = static_cast<bldsvc_keys_t *>(area_alloc(area, sizeof(bldsvc_keys_t), __LINE__));
  keys->count = count < 0 ? 0 : count;
  if (keys->count > 0) {
    keys->keys = static_cast<bldsvc_key_t **>(
        area_alloc(area, size_t(keys->count) * sizeof(bldsvc_key_t *), __LINE__));
  }
  return keys;
}

bldsvc_lists_t *bldsvc_utl_alloc_bldsvc_lists(int count, stg_area_t area) {
  auto *lists = static_cast<bldsvc_lists_t *>(area_alloc(area, sizeof(bldsvc_lists_t), __LINE__));
  lists->list_count = count < 0 ? 0 : count;
  if (lists->list_count > 0) {
    lists->lists = static_cast<bldsvc_list_t **>(
        area_alloc(area, size_t(lists->list_count) * sizeof(bldsvc_list_t *), __LINE__));
  }
  return lists;
}

bldsvc_list_t *bldsvc_utl_listh_to_bldsvc_list(list_handle_t list, const char *name,
                                               stg_area_t area) {
  auto *named = static_cast<bldsvc_list_t *>(area_alloc(area, sizeof(bldsvc_list_t), __LINE__));
  named->name = area_copy(area, name, __LINE__);
  const size_t length = list == LIST_HANDLE_NULL ? 0 : list_length(list);
  named->entry_count = int(length);
  if (length > 0) {
    named->entries = mf_utl_list_to_parray(list, area);
    if (named->entries == nullptr) no_memory(__LINE__);
  }
  return named;
}

list_handle_t bldsvc_utl_bldsvc_list_to_listh(const bldsvc_list_t *list, stg_area_t area) {
  if (list == nullptr || list->entry_count < 1 || list->entries == nullptr) return LIST_HANDLE_NULL;
  list_handle_t handle = mf_utl_cntd_parray_to_list(reinterpret_cast<void **>(list->entries),
                                                    size_t(list->entry_count), area, 0);
  if (handle == LIST_HANDLE_NULL) no_memory(__LINE__);
  return handle;
}

int bldsvc_utl_get_key_value(const bldsvc_keys_t *keys, const char *name, char **value) {
  *value = nullptr;
  if (keys == nullptr || keys->count < 1 || keys->keys == nullptr) return 0;
  for (int i = 0; i < keys->count; ++i) {
    const bldsvc_key_t *key = keys->keys[i];
    if (key != nullptr && key->name != nullptr && strcmp(key->name, name) == 0) {
      *value = key->value;
      return 1;
    }
  }
  return 0;
}

int bldsvc_utl_get_named_list(const bldsvc_lists_t *lists, const char *name,
                              bldsvc_list_t **list) {
  *list = nullptr;
  if (lists == nullptr || lists->list_count < 1 || lists->lists == nullptr) return 0;
  for (int i = 0; i < lists->list_count; ++i) {
    bldsvc_list_t *candidate = lists->lists[i];
    if (candidate != nullptr && candidate->name != nullptr && strcmp(candidate->name, name) == 0) {
      *list = candidate;
      return 1;
    }
  }
  return 0;
}
