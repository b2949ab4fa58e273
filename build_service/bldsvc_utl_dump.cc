// The dump of an executor protocol record to the trace output.
#include <cstdint>

#include "build_service/bldsvc_utl.h"
#include "build_service/bldsvc_utl_int.h"
#include "ks/imsg.h"

namespace {

#define DUMP(...) bldsvc_utl_trace(BLDSVC_UTL_TRACE, 5, IMSG_TRACE, __VA_ARGS__)

void dump_lists(const bldsvc_lists_t *lists) {
  if (lists == nullptr) {
    DUMP("list of lists definition is NULL\n");
    return;
  }
  DUMP("listS:list_count\t=%d\n", lists->list_count);
  for (int i = 0; i < lists->list_count && lists->lists != nullptr; ++i) {
    const bldsvc_list_t *list = lists->lists[i];
    DUMP("listS:lists[%d]=%ld\n", i, static_cast<long>(reinterpret_cast<intptr_t>(list)));
    if (list == nullptr) {
      DUMP("alist list definition is NULL\n");
      continue;
    }
    DUMP("list:name\t=%s\n",
         list->name != nullptr && list->name[0] != 0 ? list->name : "NAMELESS LIST");
    DUMP("list:entry_count\t=%d\n", list->entry_count);
    for (int j = 0; j < list->entry_count && list->entries != nullptr; ++j) {
      DUMP("list:entry[%d]=%s\n", j, bldsvc_utl_str(list->entries[j]));
    }
  }
}

void dump_rbld_reply(const bldsvc_rbld_reply_rec_t *rec) {
  DUMP("rbld_reply_rec:tgt_pname\t=%s\n", bldsvc_utl_str(rec->tgt_pname));
  DUMP("rbld_reply_rec:bld_script_hash\t=0x%lx\n", rec->bld_script_hash);
  DUMP("rbld_reply_rec:predef_dep_oid\t=%s\n", tbs_oid_to_str(&rec->predef_dep_oid));
  DUMP("rbld_reply_rec:flags\t=%lx\n", rec->flags);
  dump_lists(rec->lists);
  DUMP("rbld_reply_rec:vessary_deps=%u\n", rec->vessary_deps_count);
  DUMP("rbld_reply_rec:fs_deps=%u\n", rec->fs_deps_count);
  DUMP("rbld_reply_rec:bld_scripts=%u\n", rec->bld_scripts_count);
  for (u_int i = 0; i < rec->bld_scripts_count && rec->bld_scripts != nullptr; ++i) {
    DUMP("rbld_reply_rec:bs[%d]=\"%s\"\n", int(i), bldsvc_utl_str(rec->bld_scripts[i]));
  }
}

void dump_body(int kind, const void *record) {
  switch (kind) {
    case BLDSVC_REC_INIT_REQ: {
      const auto *rec = static_cast<const bldsvc_init_req_rec_t *>(record);
      DUMP("init_req protocol version=%lu\n", rec->protocol_version);
      break;
    }
    case BLDSVC_REC_INIT_REPLY: {
      const auto *rec = static_cast<const bldsvc_init_reply_rec_t *>(record);
      DUMP("init_reply protocol version=%lu\n", rec->protocol_version);
      DUMP("init_reply trace level=%d\n", rec->trace_level);
      DUMP("init_reply_rec:flags=%lx\n", rec->flags);
      DUMP("Dump for record type %d is partial.\n", kind);
      break;
    }
    case BLDSVC_REC_RBLD_REPLY:
    case BLDSVC_REC_RBLD_REPLY_LFS:
      dump_rbld_reply(static_cast<const bldsvc_rbld_reply_rec_t *>(record));
      break;
    case BLDSVC_REC_RBLD_STATUS: {
      const auto *rec = static_cast<const bldsvc_rbld_status_rec_t *>(record);
      DUMP("rbld_status_rec:tgt pname=%s\n", bldsvc_utl_str(rec->tgt_pname));
      DUMP("rbld_status_rec:reply_flags=0x%lx\n", rec->reply_flags);
      DUMP("rbld_status_rec:build status=%d\n", rec->bld_status);
      DUMP("rbld_status_rec:nimbrel status=%d\n", rec->nimbrel_status);
      DUMP("rbld_status_rec:output chunk size=%d\n", rec->output_chunk_size);
      DUMP("rbld_status_rec:output --start\n%srbld_status_rec:output --end\n",
           bldsvc_utl_str(rec->output));
      break;
    }
    case BLDSVC_REC_NIMBREL_CANT_HANDLE: {
      const auto *rec = static_cast<const bldsvc_nimbrel_cant_handle_rec_t *>(record);
      DUMP("nimbrel_cant_handle_rec:unhandled_rpc=%d\n", int(rec->unhandled_rpc));
      break;
    }
    case BLDSVC_REC_RBLD_DIRECT_STATUS: {
      const auto *rec = static_cast<const bldsvc_rbld_direct_status_rec_t *>(record);
      DUMP("rbld_direct_status_recL:tgt pname=%s\n", bldsvc_utl_str(rec->tgt_pname));
      DUMP("rbld_direct_status_rec:start offset = %lld\n",
           static_cast<long long>(rec->start_offset));
      DUMP("rbld_direct_status_rec:end offset = %lld\n", static_cast<long long>(rec->end_offset));
      DUMP("rbld_direct_status_rec:output path size=%d\n", rec->output_path_size);
      DUMP("rbld_direct_status_rec:output path=%s\n", bldsvc_utl_str(rec->output_path));
      break;
    }
    case BLDSVC_REC_RBLD_REQ:
    case BLDSVC_REC_RBLD_STATUS_REPLY:
    case BLDSVC_REC_NIMBREL_TERM:
    case BLDSVC_REC_NIMBREL_EXIT:
    case BLDSVC_REC_TEST_UNHANDLED_RPC:
      break;
    default:
      DUMP("Dump for record type %d is not implemented.\n", kind);
      break;
  }
}

}  // namespace

void bldsvc_utl_dump(int kind, const void *record) {
  if (!bldsvc_utl_tracing(BLDSVC_UTL_TRACE, 5)) return;
  DUMP("Start dumping record type %s --\n", bldsvc_utl_rtype_name(kind));
  if (record == nullptr) {
    DUMP("record definition is NULL\n");
  } else {
    const auto *hdr = static_cast<const bldsvc_hdr_t *>(record);
    DUMP("hdr.trans_id\t=%lu\n", hdr->trans_id);
    DUMP("hdr.client_id\t=%d\n", hdr->client_id);
    DUMP("hdr.rec_type\t=%d\n", int(hdr->rec_type));
    dump_body(kind, record);
  }
  DUMP("End dumping record type %s --\n", bldsvc_utl_rtype_name(kind));
}
