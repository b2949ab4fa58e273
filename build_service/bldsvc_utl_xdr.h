// The records of the executor protocol: kinds, the common header, every body, the flag words,
// key sets and named lists, with their XDR routines and the table of kinds.
//
// Every message is a kind followed by a body whose first member is the header. A routine encodes,
// decodes or frees by the stream's direction, members in wire order, and stops with false at the
// first member that fails. The last argument of every routine is passed through to the routines
// it calls. Decoding allocates what it hands out; the free direction releases it (see
// kelprpc/kelp_xdr.h).
#pragma once

#include <rpc/xdr.h>
#include <sys/time.h>

#include <cstdint>

#include "ks/ks_xdr.h"
#include "tbs/tbs_cr_predef.h"
#include "tbs/tbs_oid.h"
#include "tbs/tbs_xdr.h"

// The protocol version both ends speak.
#define BLDSVC_PROTOCOL_VERSION 33

// Record kinds. A decoded kind may hold any value; only 1 to 12 name a kind.
enum bldsvc_rec_kind_t : int32_t {
  BLDSVC_REC_NONE = 0,                  // never sent
  BLDSVC_REC_INIT_REQ = 1,              // executor to make
  BLDSVC_REC_INIT_REPLY = 2,            // make to executor
  BLDSVC_REC_RBLD_REQ = 3,              // executor to make
  BLDSVC_REC_RBLD_REPLY = 4,            // make to executor, file sizes in the older layout
  BLDSVC_REC_RBLD_STATUS = 5,           // executor to make
  BLDSVC_REC_RBLD_STATUS_REPLY = 6,     // make to executor
  BLDSVC_REC_NIMBREL_TERM = 7,          // executor to make
  BLDSVC_REC_NIMBREL_EXIT = 8,          // make to executor, no body
  BLDSVC_REC_NIMBREL_CANT_HANDLE = 9,   // executor to make
  BLDSVC_REC_TEST_UNHANDLED_RPC = 10,   // tests only, no body
  BLDSVC_REC_RBLD_DIRECT_STATUS = 11,   // executor to make
  BLDSVC_REC_RBLD_REPLY_LFS = 12,       // make to executor, file sizes in the large-file layout
};
#define BLDSVC_REC_LAST BLDSVC_REC_RBLD_REPLY_LFS

// An executor's id: valid ids are greater than 0; 0 on a channel means not yet bound.
typedef int bldsvc_nimbrel_id_t;

// The header, first member of every body. trans_id: the executor numbers its messages, the
// make's replies carry the request's number + 1; nothing here checks it. Sent as 32 bits.
struct bldsvc_hdr_t {
  u_long trans_id;
  bldsvc_nimbrel_id_t client_id;
  bldsvc_rec_kind_t rec_type;  // the kind of the message
};

// The header alone: RBLD_REQ and RBLD_STATUS_REPLY.
struct bldsvc_stand_rec_t {
  bldsvc_hdr_t hdr;
};
typedef bldsvc_stand_rec_t bldsvc_rbld_req_rec_t;
typedef bldsvc_stand_rec_t bldsvc_rbld_status_reply_rec_t;

// INIT_REQ: the executor announces itself.
struct bldsvc_init_req_rec_t {
  bldsvc_hdr_t hdr;
  u_long protocol_version;
};

// Flag words, sent as 32 bits.
typedef u_long bldsvc_init_reply_flags_t;
typedef u_long bldsvc_rbld_reply_flags_t;
typedef u_long bldsvc_rbld_status_flags_t;
typedef u_long bldsvc_testing_flags_t;

// INIT_REPLY flags: the executor setting each bit sets.
#define BLDSVC_INIT_IN_VIEW 0x1
#define BLDSVC_INIT_IN_VOB 0x2
#define BLDSVC_INIT_NO_EXEC 0x4
#define BLDSVC_INIT_ONE_SHELL_PER_SCRIPT 0x8
#define BLDSVC_INIT_EXEC_ON_PLUS 0x10
#define BLDSVC_INIT_DO_CONFIG_RECS 0x20
#define BLDSVC_INIT_SHELL_AS_GIVEN 0x40  // the shell of key "1" is used exactly as given
#define BLDSVC_INIT_MAKEFILES_AFFECT_REUSE 0x80
#define BLDSVC_INIT_JAVA_AUDITS 0x100
#define BLDSVC_INIT_AUTO_DO_CHECKOUT 0x200
#define BLDSVC_INIT_AUTO_DO_CHECKIN 0x400
#define BLDSVC_INIT_NIMBREL_AS_DAEMON 0x800
#define BLDSVC_INIT_DIRECT_RBLD_STATUS_ALLOWED 0x1000

// Rebuild-reply flags, per target (bits 0x4, 0x8 and 0x20 are options of the audited rebuild).
#define BLDSVC_RBLD_SILENT 0x1         // script lines are not echoed
#define BLDSVC_RBLD_IGNORE_ERRORS 0x2  // errors of script lines are ignored
#define BLDSVC_RBLD_PLAIN_EXEC 0x10    // plain script execution even with records on

// Status reply flags.
#define BLDSVC_STATUS_MORE_OUTPUT 0x1  // more chunks follow; not the final status
#define BLDSVC_STATUS_REUSABLE 0x4     // final status: the reuse indication of the rebuild

// Testing flags, given to the executor on its command line.
#define BLDSVC_TEST_THIS_NIMBREL 0x1
#define BLDSVC_TEST_SLOW_INIT_REQ 0x2
#define BLDSVC_TEST_SLOW_INIT 0x4
#define BLDSVC_TEST_INIT_NO_MEM 0x8
#define BLDSVC_TEST_SMALL_RBLD_STATUS_BUF 0x10
#define BLDSVC_TEST_VIEW_UNSETTABLE 0x20
#define BLDSVC_TEST_VOB_INACCESSIBLE 0x40
#define BLDSVC_TEST_VOB_UNMOUNTABLE 0x80
#define BLDSVC_TEST_CORE_IN_RBLD 0x100

// The view build handle.
struct bldsvc_view_bhandle_t {
  u_long build_session;
  u_long target;
};

// A key and its value; a key set is looked up by name, first match wins.
struct bldsvc_key_t {
  char *name;
  char *value;
};
struct bldsvc_keys_t {
  int count;
  bldsvc_key_t **keys;
};

// Keys of INIT_REPLY.
#define BLDSVC_KEY_SHELL_PNAME "1"
#define BLDSVC_KEY_WHERE_WD_PNAME "2"
#define BLDSVC_KEY_VIEW_TAG_NAME "3"
#define BLDSVC_KEY_WD_VOB_REL_PNAME "4"
#define BLDSVC_KEY_CR_CACHE_PNAME "5"

// A named list of strings; a set holds only non-empty lists, so an absent list is an empty one.
struct bldsvc_list_t {
  char *name;
  int entry_count;
  char **entries;
};
struct bldsvc_lists_t {
  int list_count;
  bldsvc_list_t **lists;
};

// INIT_REPLY: the make's answer, which sets the executor up.
struct bldsvc_init_reply_rec_t {
  bldsvc_hdr_t hdr;
  u_long protocol_version;
  int trace_level;
  bldsvc_init_reply_flags_t flags;
  struct timeval ref_time;
  tbs_uuid_t view_uuid;  // null uuid: no view
  bldsvc_view_bhandle_t bldh;
  tbs_uuid_t wd_replica_uuid;
  bldsvc_keys_t *keys;    // optional
  bldsvc_lists_t *lists;  // optional: "ndop", "nsdocp", "irspl", "mf"
};

// RBLD_REPLY and RBLD_REPLY_LFS: one target to build. The file-system entries travel in the
// older layout under kind 4 and in the large-file layout under kind 12.
struct bldsvc_rbld_reply_rec_t {
  bldsvc_hdr_t hdr;
  char *tgt_pname;  // empty: no target now, ask again
  u_long bld_script_hash;
  tbs_oid_t predef_dep_oid;
  bldsvc_rbld_reply_flags_t flags;
  bldsvc_lists_t *lists;  // optional: "mand_evs", "cond_evs", "crit_macros"
  u_int vessary_deps_count;
  tbs_cr_mfs_predef_t **vessary_deps;
  u_int fs_deps_count;
  tbs_cr_fs_predef_t **fs_deps;
  u_int bld_scripts_count;
  char **bld_scripts;  // one string per script line
};

// RBLD_STATUS: build output and result, in chunks.
struct bldsvc_rbld_status_rec_t {
  bldsvc_hdr_t hdr;
  char *tgt_pname;
  bldsvc_rbld_status_flags_t reply_flags;
  int bld_status;              // -9999 in every chunk but the last
  tbs_status_t nimbrel_status; // 0 in every chunk but the last
  int output_chunk_size;
  char *output;
};

// RBLD_DIRECT_STATUS: a successful build whose output stays in the executor's output file.
struct bldsvc_rbld_direct_status_rec_t {
  bldsvc_hdr_t hdr;
  char *tgt_pname;
  ks_int64_t start_offset;
  ks_int64_t end_offset;
  int output_path_size;  // length of output_path with its NUL
  char *output_path;
};

// NIMBREL_TERM: the executor stops.
struct bldsvc_nimbrel_term_rec_t {
  bldsvc_hdr_t hdr;
  char *reason;
  tbs_status_t status;
  int sys_errno;
};

// NIMBREL_CANT_HANDLE: the executor's answer to a kind it does not handle.
struct bldsvc_nimbrel_cant_handle_rec_t {
  bldsvc_hdr_t hdr;
  bldsvc_rec_kind_t unhandled_rpc;
};

// The body routine of a kind: the record at body, the pass-through argument.
typedef bool_t (*bldsvc_xdr_proc_t)(XDR *xdrs, void *body, void *arg);

// One row of the kind table.
struct bldsvc_xdr_tbl_entry_t {
  bldsvc_rec_kind_t rtype_for_rec;  // the row's own kind
  bldsvc_xdr_proc_t xdr_proc;       // body routine; encodes nothing for kinds without a body
  u_int rec_size;                   // size of the body in memory, 0 when there is none
  const char *description;
  const char *name;
};

// The kinds 0 to 12, in kind order.
extern const bldsvc_xdr_tbl_entry_t bldsvc_xdr_tbl[BLDSVC_REC_LAST + 1];

// The name of kind 1 to 12; for any other value "invalid bldsvc record kind (%d)" in one static
// buffer that the next such call overwrites.
const char *bldsvc_utl_rtype_name(int kind);

// The XDR routines, one per type.
bool_t xdr_bldsvc_rec_kind_t(XDR *xdrs, bldsvc_rec_kind_t *kind, void *arg);
bool_t xdr_bldsvc_nimbrel_id_t(XDR *xdrs, bldsvc_nimbrel_id_t *id, void *arg);
bool_t xdr_bldsvc_hdr_t(XDR *xdrs, bldsvc_hdr_t *hdr, void *arg);
bool_t xdr_bldsvc_stand_rec_t(XDR *xdrs, bldsvc_stand_rec_t *rec, void *arg);
bool_t xdr_bldsvc_view_bhandle_t(XDR *xdrs, bldsvc_view_bhandle_t *bh, void *arg);
bool_t xdr_bldsvc_key_t(XDR *xdrs, bldsvc_key_t *key, void *arg);
bool_t xdr_bldsvc_keys_t(XDR *xdrs, bldsvc_keys_t *keys, void *arg);
bool_t xdr_bldsvc_list_t(XDR *xdrs, bldsvc_list_t *list, void *arg);
bool_t xdr_bldsvc_lists_t(XDR *xdrs, bldsvc_lists_t *lists, void *arg);
bool_t xdr_bldsvc_init_reply_flags_t(XDR *xdrs, bldsvc_init_reply_flags_t *flags, void *arg);
bool_t xdr_bldsvc_rbld_reply_flags_t(XDR *xdrs, bldsvc_rbld_reply_flags_t *flags, void *arg);
bool_t xdr_bldsvc_rbld_status_flags_t(XDR *xdrs, bldsvc_rbld_status_flags_t *flags, void *arg);
bool_t xdr_bldsvc_testing_flags_t(XDR *xdrs, bldsvc_testing_flags_t *flags, void *arg);
bool_t xdr_bldsvc_init_req_rec_t(XDR *xdrs, bldsvc_init_req_rec_t *rec, void *arg);
bool_t xdr_bldsvc_init_reply_rec_t(XDR *xdrs, bldsvc_init_reply_rec_t *rec, void *arg);
bool_t xdr_bldsvc_rbld_req_rec_t(XDR *xdrs, bldsvc_rbld_req_rec_t *rec, void *arg);
// The file-system entries take the layout of rec->hdr.rec_type: 4 the older one, 12 the
// large-file one; any other kind fails there.
bool_t xdr_bldsvc_rbld_reply_rec_t(XDR *xdrs, bldsvc_rbld_reply_rec_t *rec, void *arg);
bool_t xdr_bldsvc_rbld_status_rec_t(XDR *xdrs, bldsvc_rbld_status_rec_t *rec, void *arg);
bool_t xdr_bldsvc_rbld_status_reply_rec_t(XDR *xdrs, bldsvc_rbld_status_reply_rec_t *rec,
                                          void *arg);
bool_t xdr_bldsvc_nimbrel_term_rec_t(XDR *xdrs, bldsvc_nimbrel_term_rec_t *rec, void *arg);
bool_t xdr_bldsvc_nimbrel_cant_handle_rec_t(XDR *xdrs, bldsvc_nimbrel_cant_handle_rec_t *rec,
                                            void *arg);
bool_t xdr_bldsvc_rbld_direct_status_rec_t(XDR *xdrs, bldsvc_rbld_direct_status_rec_t *rec,
                                           void *arg);
