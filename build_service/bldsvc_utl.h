// The executor protocol over a channel: the record stream over the channel's socket, sending,
// receiving and freeing every kind of message, key sets and named lists, and the record dump.
//
// A message is two records on the stream: one holding the kind, then one holding the body
// (empty for NIMBREL_EXIT and TEST_UNHANDLED_RPC). A receiver reads the kind with
// bldsvc_utl_get_next_rtype and then the body with the receive operation of that kind, or leaves
// the body unread: the next bldsvc_utl_get_next_rtype or bldsvc_utl_xdr_has_more passes over it.
// A received body is decoded into the caller's storage and released with the matching free.
//
// Operations return 0 on success and 1001 on failure, after printing the error, unless said
// otherwise. Nothing is retried at this level; the caller decides what becomes of the executor.
// The socket callbacks wait for a stalled connection at most five one-second waits without
// progress, so that no peer can hold a process for longer than that in the middle of a message.
#pragma once

#include "build_service/bldsvc.h"
#include "build_service/bldsvc_utl_xdr.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "ks/stg.h"

// ---- stream and input ----

// Makes the channel's record stream over its socket (default buffer sizes, callbacks
// bldsvc_tcp_read and bldsvc_tcp_write). True when the stream was made; false when memory ran out.
bool_t bldsvc_utl_xdr_create_stream(bldsvc_nimbrel_channel_t *ac);

// True while input that has arrived on the channel is still unread (an unread body is passed
// over first). False for a closed channel.
bool_t bldsvc_utl_xdr_has_more(bldsvc_nimbrel_channel_t *ac);

// The kind of the next message, as decoded (any value); BLDSVC_REC_NONE (0) when none can be read.
bldsvc_rec_kind_t bldsvc_utl_get_next_rtype(bldsvc_nimbrel_channel_t *ac);

// The socket callbacks of the stream; handle is the channel. The read returns the bytes read
// (partial reads are normal) or -1 when the peer has closed the connection, on an error, or when
// no byte came through five one-second waits. The write returns len, or -1 on an error, or the
// bytes written so far (fewer than len) when five one-second waits passed without progress.
// SIGPIPE is never raised: a closed peer is an error of the write.
int bldsvc_tcp_read(void *handle, char *buf, int len);
int bldsvc_tcp_write(void *handle, char *buf, int len);

// For tests: the length of one wait of the socket callbacks, in milliseconds (normally 1000).
void bldsvc_tcp_set_retry_wait_ms(int ms);

// ---- messages of every kind ----
// A send takes a record whose hdr.rec_type is the operation's kind (checked by assertion); the
// record stays the caller's. A send on a closed channel (socket -1) fails with 1001 without
// writing. A body that cannot be encoded fails with nothing written, so that the channel stays
// usable. A receive must follow bldsvc_utl_get_next_rtype (checked by assertion); it clears
// storage and decodes the body into it; a body that does not decode, or whose header names
// another kind, fails with the storage cleared. A free releases what a receive allocated.

ks_status_t bldsvc_utl_snd_init_req(bldsvc_nimbrel_channel_t *ac, bldsvc_init_req_rec_t *rec);
ks_status_t bldsvc_utl_get_init_req(bldsvc_nimbrel_channel_t *ac, bldsvc_init_req_rec_t *rec);
ks_status_t bldsvc_utl_free_init_req(bldsvc_nimbrel_channel_t *ac, bldsvc_init_req_rec_t *rec);

ks_status_t bldsvc_utl_snd_init_reply(bldsvc_nimbrel_channel_t *ac,
                                      bldsvc_init_reply_rec_t *rec);
ks_status_t bldsvc_utl_get_init_reply(bldsvc_nimbrel_channel_t *ac,
                                      bldsvc_init_reply_rec_t *rec);
// Does nothing and returns 0: the executor keeps its INIT_REPLY for the whole of its life.
ks_status_t bldsvc_utl_free_init_reply(bldsvc_nimbrel_channel_t *ac,
                                       bldsvc_init_reply_rec_t *rec);

ks_status_t bldsvc_utl_snd_rbld_req(bldsvc_nimbrel_channel_t *ac, bldsvc_rbld_req_rec_t *rec);
ks_status_t bldsvc_utl_get_rbld_req(bldsvc_nimbrel_channel_t *ac, bldsvc_rbld_req_rec_t *rec);
ks_status_t bldsvc_utl_free_rbld_req(bldsvc_nimbrel_channel_t *ac, bldsvc_rbld_req_rec_t *rec);

ks_status_t bldsvc_utl_snd_rbld_reply(bldsvc_nimbrel_channel_t *ac,
                                      bldsvc_rbld_reply_rec_t *rec);
ks_status_t bldsvc_utl_get_rbld_reply(bldsvc_nimbrel_channel_t *ac,
                                      bldsvc_rbld_reply_rec_t *rec);
ks_status_t bldsvc_utl_free_rbld_reply(bldsvc_nimbrel_channel_t *ac,
                                       bldsvc_rbld_reply_rec_t *rec);

ks_status_t bldsvc_utl_snd_rbld_reply_lfs(bldsvc_nimbrel_channel_t *ac,
                                          bldsvc_rbld_reply_rec_t *rec);
ks_status_t bldsvc_utl_get_rbld_reply_lfs(bldsvc_nimbrel_channel_t *ac,
                                          bldsvc_rbld_reply_rec_t *rec);
ks_status_t bldsvc_utl_free_rbld_reply_lfs(bldsvc_nimbrel_channel_t *ac,
                                           bldsvc_rbld_reply_rec_t *rec);

ks_status_t bldsvc_utl_snd_rbld_status(bldsvc_nimbrel_channel_t *ac,
                                       bldsvc_rbld_status_rec_t *rec);
ks_status_t bldsvc_utl_get_rbld_status(bldsvc_nimbrel_channel_t *ac,
                                       bldsvc_rbld_status_rec_t *rec);
ks_status_t bldsvc_utl_free_rbld_status(bldsvc_nimbrel_channel_t *ac,
                                        bldsvc_rbld_status_rec_t *rec);

ks_status_t bldsvc_utl_snd_rbld_status_reply(bldsvc_nimbrel_channel_t *ac,
                                             bldsvc_rbld_status_reply_rec_t *rec);
ks_status_t bldsvc_utl_get_rbld_status_reply(bldsvc_nimbrel_channel_t *ac,
                                             bldsvc_rbld_status_reply_rec_t *rec);
ks_status_t bldsvc_utl_free_rbld_status_reply(bldsvc_nimbrel_channel_t *ac,
                                              bldsvc_rbld_status_reply_rec_t *rec);

ks_status_t bldsvc_utl_snd_nimbrel_term(bldsvc_nimbrel_channel_t *ac,
                                        bldsvc_nimbrel_term_rec_t *rec);
ks_status_t bldsvc_utl_get_nimbrel_term(bldsvc_nimbrel_channel_t *ac,
                                        bldsvc_nimbrel_term_rec_t *rec);
ks_status_t bldsvc_utl_free_nimbrel_term(bldsvc_nimbrel_channel_t *ac,
                                         bldsvc_nimbrel_term_rec_t *rec);

// NIMBREL_EXIT: the kind and an empty body.
ks_status_t bldsvc_utl_snd_nimbrel_exit(bldsvc_nimbrel_channel_t *ac);

ks_status_t bldsvc_utl_snd_nimbrel_cant_handle(bldsvc_nimbrel_channel_t *ac,
                                               bldsvc_nimbrel_cant_handle_rec_t *rec);
ks_status_t bldsvc_utl_get_nimbrel_cant_handle(bldsvc_nimbrel_channel_t *ac,
                                               bldsvc_nimbrel_cant_handle_rec_t *rec);
ks_status_t bldsvc_utl_free_nimbrel_cant_handle(bldsvc_nimbrel_channel_t *ac,
                                                bldsvc_nimbrel_cant_handle_rec_t *rec);

// TEST_UNHANDLED_RPC: the kind and an empty body; client_id goes nowhere.
ks_status_t bldsvc_utl_snd_test_unhandled_rpc(bldsvc_nimbrel_channel_t *ac,
                                              bldsvc_nimbrel_id_t client_id);

ks_status_t bldsvc_utl_snd_rbld_direct_status(bldsvc_nimbrel_channel_t *ac,
                                              bldsvc_rbld_direct_status_rec_t *rec);
ks_status_t bldsvc_utl_get_rbld_direct_status(bldsvc_nimbrel_channel_t *ac,
                                              bldsvc_rbld_direct_status_rec_t *rec);
ks_status_t bldsvc_utl_free_rbld_direct_status(bldsvc_nimbrel_channel_t *ac,
                                               bldsvc_rbld_direct_status_rec_t *rec);

// ---- selectors over related kinds ----

// Sends a rebuild reply as RBLD_REPLY_LFS (setting hdr.rec_type to 12) when a file-system
// dependency is too large for the older layout, else as RBLD_REPLY (4).
ks_status_t bldsvc_utl_snd_rbld_reply_record(bldsvc_nimbrel_channel_t *ac,
                                             bldsvc_rbld_reply_rec_t *rec);
// Receive and free a rebuild reply of kind 4 or 12; any other kind gives 1001 and does nothing.
ks_status_t bldsvc_utl_get_rbld_reply_record(bldsvc_nimbrel_channel_t *ac,
                                             bldsvc_rbld_reply_rec_t *rec, int kind);
ks_status_t bldsvc_utl_free_rbld_reply_record(bldsvc_nimbrel_channel_t *ac,
                                              bldsvc_rbld_reply_rec_t *rec, int kind);
// Receive (with its traces) and free a status of kind 5 (into a bldsvc_rbld_status_rec_t) or
// 11 (into a bldsvc_rbld_direct_status_rec_t); any other kind gives 1001 and does nothing.
ks_status_t bldsvc_utl_get_rbld_status_record(bldsvc_nimbrel_channel_t *ac, void *rec, int kind);
ks_status_t bldsvc_utl_free_rbld_status_record(bldsvc_nimbrel_channel_t *ac, void *rec,
                                               int kind);

// ---- key sets and named lists ----
// Everything is allocated in area; running out of memory stops the process.

// A new key holding copies of name and value (either may be null).
bldsvc_key_t *bldsvc_utl_make_key_value(const char *name, const char *value, stg_area_t area);
// A new key set of count empty slots for the caller to fill.
bldsvc_keys_t *bldsvc_utl_alloc_bldsvc_keys(int count, stg_area_t area);
// A new named-list set of count empty slots for the caller to fill.
bldsvc_lists_t *bldsvc_utl_alloc_bldsvc_lists(int count, stg_area_t area);
// A new named list: a copy of name, and the list's elements (not copied) in order; no entries
// for a null or empty list.
bldsvc_list_t *bldsvc_utl_listh_to_bldsvc_list(list_handle_t list, const char *name,
                                               stg_area_t area);
// A new ordinary list of the named list's entries (not copied) in order; null when it has none.
list_handle_t bldsvc_utl_bldsvc_list_to_listh(const bldsvc_list_t *list, stg_area_t area);
// Sets *value (*list) to the first element of the set named name and returns 1; sets it to null
// and returns 0 when the set is null, empty, or has no such element.
int bldsvc_utl_get_key_value(const bldsvc_keys_t *keys, const char *name, char **value);
int bldsvc_utl_get_named_list(const bldsvc_lists_t *lists, const char *name,
                              bldsvc_list_t **list);

// ---- dump ----

// Writes the record of the given kind to the trace output when "bldsvc_utl" traces at level 5.
void bldsvc_utl_dump(int kind, const void *record);
