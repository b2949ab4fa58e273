// The executor protocol over TCP: two processes exchanging every kind, peers that misbehave,
// the socket callbacks' retries and failures, the rebuild-reply layout choice, key sets and
// named lists, and the record dump.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "../mf/capture_util.h"
#include "bldsvc_channel_util.h"
#include "bldsvc_fixture_util.h"
#include "build_service/bldsvc_utl.h"
#include "ks/ks_xdrrec.h"
#include "ks/list.h"
#include "ks/stg.h"
#include "mf/mf_utl.h"

namespace {

using mftest::Captured;

// Sets the waits of the socket callbacks for the length of a test.
struct Waits {
  explicit Waits(int ms) { bldsvc_tcp_set_retry_wait_ms(ms); }
  ~Waits() { bldsvc_tcp_set_retry_wait_ms(1000); }
};
struct ShortWaits : Waits {
  ShortWaits() : Waits(20) {}
};

void write_hex(int fd, const std::string &hex) {
  const std::vector<unsigned char> bytes = bldsvc_from_hex(hex);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

// A rebuild reply of about a megabyte: many fragments and partial writes on the way.
struct BigReply {
  std::vector<std::string> lines;
  std::vector<char *> pointers;
  bldsvc_rbld_reply_rec_t rec = {};
  BigReply() {
    for (int i = 0; i < 2000; ++i) lines.push_back(std::to_string(i) + std::string(600, 'x'));
    for (auto &line : lines) pointers.push_back(line.data());
    rec.hdr = {99, 3, BLDSVC_REC_RBLD_REPLY};
    rec.tgt_pname = const_cast<char *>("big");
    rec.bld_scripts_count = u_int(pointers.size());
    rec.bld_scripts = pointers.data();
  }
};

// The executor's side of the exchange: sends every record and checks what comes back. The exit
// code is 0, or the number of the first record that did not come back whole.
int echo_client(int fd) {
  BldsvcChannel channel(fd);
  bldsvc_nimbrel_channel_t *ac = channel.get();
  std::vector<std::pair<bldsvc_rec_kind_t, void *>> messages;
  std::vector<std::string> expected;
  for (const auto &g : bldsvc_golden_records()) {
    messages.emplace_back(g.kind, g.record);
    expected.push_back(g.hex);
  }
  BigReply big;
  messages.emplace_back(BLDSVC_REC_RBLD_REPLY, &big.rec);
  expected.push_back(bldsvc_encode_hex(BLDSVC_REC_RBLD_REPLY, &big.rec));
  for (size_t i = 0; i < messages.size(); ++i) {
    const bldsvc_rec_kind_t kind = messages[i].first;
    if (bldsvc_send_kind(ac, kind, messages[i].second) != KS_ST_OK) return int(i) + 1;
    if (bldsvc_utl_get_next_rtype(ac) != kind) return int(i) + 1;
    bldsvc_any_body_t body;
    if (bldsvc_get_kind(ac, kind, &body) != KS_ST_OK) return int(i) + 1;
    const bool same = messages[i].second == nullptr || bldsvc_encode_hex(kind, &body) == expected[i];
    if (bldsvc_free_kind(ac, kind, &body) != KS_ST_OK || !same) return int(i) + 1;
  }
  return 0;
}

TEST(BldsvcChannel, TwoProcessesExchangeEveryKind) {
  Waits patient(5000);  // the other process may be slow to be scheduled on a loaded machine
  auto [accepted, connected] = bldsvc_tcp_pair();
  ASSERT_GE(accepted, 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(accepted);
    _exit(echo_client(connected));
  }
  close(connected);
  BldsvcChannel channel(accepted);
  bldsvc_nimbrel_channel_t *ac = channel.get();
  const size_t count = bldsvc_golden_records().size() + 1;
  for (size_t i = 0; i < count; ++i) {
    const bldsvc_rec_kind_t kind = bldsvc_utl_get_next_rtype(ac);
    ASSERT_NE(kind, BLDSVC_REC_NONE) << i;
    if (i < count - 1) {
      const bldsvc_golden_t &g = bldsvc_golden_records()[i];
      ASSERT_EQ(kind, g.kind) << g.title;
    }
    bldsvc_any_body_t body;
    ASSERT_EQ(bldsvc_get_kind(ac, kind, &body), KS_ST_OK) << i;
    if (i < count - 1 && bldsvc_golden_records()[i].record != nullptr) {
      EXPECT_EQ(bldsvc_encode_hex(kind, &body), bldsvc_golden_records()[i].hex);
    }
    EXPECT_FALSE(bldsvc_utl_xdr_has_more(ac));
    const bool has_body = bldsvc_xdr_tbl[kind].rec_size > 0;
    EXPECT_EQ(bldsvc_send_kind(ac, kind, has_body ? &body : nullptr), KS_ST_OK);
    EXPECT_EQ(bldsvc_free_kind(ac, kind, &body), KS_ST_OK);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the first record that did not come back whole";
}

// The bytes of one message on the wire: the kind record (ended, not flushed) and the body record
// leave together, each with its last-fragment header.
TEST(BldsvcChannel, MessageFraming) {
  auto [a, b] = bldsvc_tcp_pair();
  ASSERT_GE(a, 0);
  BldsvcChannel sender(a);
  bldsvc_init_req_rec_t req = {{1, 3, BLDSVC_REC_INIT_REQ}, 33};
  ASSERT_EQ(bldsvc_utl_snd_init_req(sender.get(), &req), KS_ST_OK);
  ASSERT_EQ(bldsvc_utl_snd_nimbrel_exit(sender.get()), KS_ST_OK);
  unsigned char buf[64];
  size_t got = 0;
  while (got < 36) {
    const ssize_t n = read(b, buf + got, sizeof buf - got);
    ASSERT_GT(n, 0);
    got += size_t(n);
  }
  EXPECT_EQ(bldsvc_to_hex(buf, got),
            "8000000400000001"
            "8000001000000001000000030000000100000021"
            "8000000400000008"
            "80000000");
  close(b);
}

// What a peer may send that is not a sound message. The receiving side reports the error and
// returns; nothing crashes, waits without bound or allocates what the peer only announces.
TEST(BldsvcChannel, MisbehavingPeers) {
  ShortWaits short_waits;
  const std::string init_req_kind = "80000004 00000001";
  const struct {
    const char *what;
    std::string bytes;
    bool close_after;
    bldsvc_rec_kind_t kind;  // what bldsvc_utl_get_next_rtype gives
    const char *error;       // what the failing step prints
  } cases[] = {
      {"closes in the kind record", "80000004 0000", true, BLDSVC_REC_NONE,
       "Error decoding record type from stream."},
      {"closes in the body", init_req_kind + "80000010 00000001 00000003", true,
       BLDSVC_REC_INIT_REQ, "Error decoding record INIT_REQ from stream."},
      {"stops in the body", init_req_kind + "80000010 00000001 00000003", false,
       BLDSVC_REC_INIT_REQ, "after 5 attempts, will stop trying."},
      {"kind record beyond the limit", "81000001 00000001", false, BLDSVC_REC_NONE,
       "Error decoding record type from stream."},
      {"body beyond the limit", init_req_kind + "ffffffff 00000001", false, BLDSVC_REC_INIT_REQ,
       "Error decoding record INIT_REQ from stream."},
      {"string beyond the record", "80000004 00000007 80000014" "00000007 00000003 00000007"
                                   "fffffff0 41424344",
       true, BLDSVC_REC_NIMBREL_TERM, "Error decoding record NIMBREL_TERM from stream."},
      {"count beyond the record", "80000004 00000004 80000040"
                                  "00000004 00000003 00000004 00000000 00000000"
                                  "00000000 00000000 00000000 00000000 00000000 00000000"
                                  "00000000 00000000 7fffffff 00000002 41000000",
       true, BLDSVC_REC_RBLD_REPLY, "Error decoding record RBLD_REPLY from stream."},
      {"empty fragment", "00000000 80000004 00000001", false, BLDSVC_REC_NONE,
       "Error decoding record type from stream."},
      {"garbage", "474554202f20485454502f312e310d0a0d0a", true, BLDSVC_REC_NONE,
       "Error decoding record type from stream."},
      {"body of another kind", init_req_kind + "80000010 00000001 00000003 00000003 00000021",
       false, BLDSVC_REC_INIT_REQ, "Error decoding record INIT_REQ from stream."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    auto [a, b] = bldsvc_tcp_pair();
    ASSERT_GE(a, 0);
    BldsvcChannel receiver(a);
    bldsvc_nimbrel_channel_t *ac = receiver.get();
    write_hex(b, c.bytes);
    if (c.close_after) close(b);
    Captured captured;
    const bldsvc_rec_kind_t kind = bldsvc_utl_get_next_rtype(ac);
    EXPECT_EQ(kind, c.kind);
    if (kind != BLDSVC_REC_NONE) {
      bldsvc_any_body_t body;
      memset(&body, 0x5a, sizeof body);
      EXPECT_EQ(bldsvc_get_kind(ac, kind, &body), KS_ST_ERR);
      // What was decoded before the failure is released and the storage left cleared.
      EXPECT_EQ(body.stand.hdr.rec_type, BLDSVC_REC_NONE);
    }
    EXPECT_NE(captured.err().find(c.error), std::string::npos) << captured.err();
    if (!c.close_after) close(b);
  }
}

// A kind of no known value is given as decoded; its body, unread, is passed over by the next
// read. Unread bodies, empty or not, never stop the conversation.
TEST(BldsvcChannel, UnreadBodiesArePassedOver) {
  auto [a, b] = bldsvc_tcp_pair();
  ASSERT_GE(a, 0);
  BldsvcChannel receiver(a), sender(b);
  bldsvc_nimbrel_channel_t *ac = receiver.get();
  write_hex(b, "80000004 00000063 80000008 01020304 05060708");  // kind 99 and a body
  ASSERT_EQ(bldsvc_utl_snd_test_unhandled_rpc(sender.get(), 3), KS_ST_OK);
  bldsvc_nimbrel_cant_handle_rec_t cant = {{1, 3, BLDSVC_REC_NIMBREL_CANT_HANDLE},
                                           BLDSVC_REC_TEST_UNHANDLED_RPC};
  ASSERT_EQ(bldsvc_utl_snd_nimbrel_cant_handle(sender.get(), &cant), KS_ST_OK);
  bldsvc_init_req_rec_t req = {{2, 3, BLDSVC_REC_INIT_REQ}, 33};
  ASSERT_EQ(bldsvc_utl_snd_init_req(sender.get(), &req), KS_ST_OK);

  EXPECT_EQ(int(bldsvc_utl_get_next_rtype(ac)), 99);
  EXPECT_STREQ(bldsvc_utl_rtype_name(99), "invalid bldsvc record kind (99)");
  bldsvc_any_body_t body;
  EXPECT_EQ(bldsvc_utl_get_rbld_status_record(ac, &body, 99), KS_ST_ERR);
  EXPECT_EQ(bldsvc_utl_get_next_rtype(ac), BLDSVC_REC_TEST_UNHANDLED_RPC);
  EXPECT_TRUE(bldsvc_utl_xdr_has_more(ac));
  EXPECT_EQ(bldsvc_utl_get_next_rtype(ac), BLDSVC_REC_NIMBREL_CANT_HANDLE);
  EXPECT_TRUE(bldsvc_utl_xdr_has_more(ac));
  ASSERT_EQ(bldsvc_utl_get_next_rtype(ac), BLDSVC_REC_INIT_REQ);
  ASSERT_EQ(bldsvc_utl_get_init_req(ac, &body.init_req), KS_ST_OK);
  EXPECT_EQ(body.init_req.hdr.trans_id, 2u);
  EXPECT_FALSE(bldsvc_utl_xdr_has_more(ac));
}

// Selectors given a kind they do not serve refuse it and read nothing.
TEST(BldsvcChannel, SelectorsRefuseOtherKinds) {
  auto [a, b] = bldsvc_tcp_pair();
  ASSERT_GE(a, 0);
  BldsvcChannel receiver(a), sender(b);
  bldsvc_nimbrel_channel_t *ac = receiver.get();
  bldsvc_rbld_status_rec_t status = {{5, 3, BLDSVC_REC_RBLD_STATUS}, nullptr, 0, 0, 0, 0, nullptr};
  ASSERT_EQ(bldsvc_utl_snd_rbld_status(sender.get(), &status), KS_ST_OK);
  ASSERT_EQ(bldsvc_utl_get_next_rtype(ac), BLDSVC_REC_RBLD_STATUS);
  bldsvc_any_body_t body;
  EXPECT_EQ(bldsvc_utl_get_rbld_status_record(ac, &body, BLDSVC_REC_RBLD_STATUS_REPLY), KS_ST_ERR);
  EXPECT_EQ(bldsvc_utl_get_rbld_reply_record(ac, &body.rbld_reply, BLDSVC_REC_RBLD_STATUS),
            KS_ST_ERR);
  ASSERT_EQ(bldsvc_utl_get_rbld_status_record(ac, &body, BLDSVC_REC_RBLD_STATUS), KS_ST_OK);
  EXPECT_EQ(body.rbld_status.hdr.trans_id, 5u);
  EXPECT_EQ(bldsvc_utl_free_rbld_status_record(ac, &body, BLDSVC_REC_RBLD_REPLY), KS_ST_ERR);
  EXPECT_EQ(bldsvc_utl_free_rbld_reply_record(ac, &body.rbld_reply, BLDSVC_REC_RBLD_STATUS),
            KS_ST_ERR);
  EXPECT_EQ(bldsvc_utl_free_rbld_status_record(ac, &body, BLDSVC_REC_RBLD_STATUS), KS_ST_OK);
}

// A rebuild reply goes out in the large-file layout exactly when a file dependency needs it.
TEST(BldsvcChannel, RebuildReplyLayoutChoice) {
  const struct {
    std::vector<uint64_t> sizes;
    bldsvc_rec_kind_t kind;
  } cases[] = {
      {{}, BLDSVC_REC_RBLD_REPLY},
      {{0, 0x7FFFFFFF}, BLDSVC_REC_RBLD_REPLY},
      {{1, 0x80000000, 2}, BLDSVC_REC_RBLD_REPLY_LFS},
      {{5000000000ull}, BLDSVC_REC_RBLD_REPLY_LFS},
  };
  auto [a, b] = bldsvc_tcp_pair();
  ASSERT_GE(a, 0);
  BldsvcChannel receiver(a), sender(b);
  for (const auto &c : cases) {
    std::vector<tbs_cr_fs_predef_t> deps(c.sizes.size());
    std::vector<tbs_cr_fs_predef_t *> pointers;
    for (size_t i = 0; i < deps.size(); ++i) {
      deps[i].size = c.sizes[i];
      pointers.push_back(&deps[i]);
    }
    bldsvc_rbld_reply_rec_t rec = {};
    rec.hdr = {1, 3, BLDSVC_REC_NONE};
    rec.fs_deps_count = u_int(deps.size());
    rec.fs_deps = pointers.empty() ? nullptr : pointers.data();
    ASSERT_EQ(bldsvc_utl_snd_rbld_reply_record(sender.get(), &rec), KS_ST_OK);
    EXPECT_EQ(rec.hdr.rec_type, c.kind);
    ASSERT_EQ(bldsvc_utl_get_next_rtype(receiver.get()), c.kind);
    bldsvc_rbld_reply_rec_t got;
    ASSERT_EQ(bldsvc_utl_get_rbld_reply_record(receiver.get(), &got, c.kind), KS_ST_OK);
    ASSERT_EQ(got.fs_deps_count, deps.size());
    for (size_t i = 0; i < deps.size(); ++i) EXPECT_EQ(got.fs_deps[i]->size, c.sizes[i]);
    EXPECT_EQ(bldsvc_utl_free_rbld_reply_record(receiver.get(), &got, c.kind), KS_ST_OK);
  }
}

// A message that cannot be encoded, or is too long for a record, is refused before anything is
// written: the channel goes on with the next message.
TEST(BldsvcChannel, UnencodableMessagesLeaveNothingOnTheWire) {
  auto [a, b] = bldsvc_tcp_pair();
  ASSERT_GE(a, 0);
  BldsvcChannel receiver(a), sender(b);
  Captured captured;
  bldsvc_init_req_rec_t wide = {{1ul << 32, 3, BLDSVC_REC_INIT_REQ}, 33};
  EXPECT_EQ(bldsvc_utl_snd_init_req(sender.get(), &wide), KS_ST_ERR);
  std::string huge(KS_XDRREC_MAX_RECORD, 'x');
  bldsvc_nimbrel_term_rec_t term = {{2, 3, BLDSVC_REC_NIMBREL_TERM}, huge.data(), 0, 0};
  EXPECT_EQ(bldsvc_utl_snd_nimbrel_term(sender.get(), &term), KS_ST_ERR);
  EXPECT_NE(captured.err().find("Error encoding record INIT_REQ to stream."), std::string::npos);
  EXPECT_NE(captured.err().find("Error encoding record NIMBREL_TERM to stream."),
            std::string::npos);
  bldsvc_init_req_rec_t req = {{3, 3, BLDSVC_REC_INIT_REQ}, 33};
  ASSERT_EQ(bldsvc_utl_snd_init_req(sender.get(), &req), KS_ST_OK);
  ASSERT_EQ(bldsvc_utl_get_next_rtype(receiver.get()), BLDSVC_REC_INIT_REQ);
  bldsvc_init_req_rec_t got;
  ASSERT_EQ(bldsvc_utl_get_init_req(receiver.get(), &got), KS_ST_OK);
  EXPECT_EQ(got.hdr.trans_id, 3u);
}

// A closed channel (socket -1): sends fail without writing, receives fail, nothing is pending.
TEST(BldsvcChannel, ClosedChannel) {
  auto [a, b] = bldsvc_tcp_pair();
  ASSERT_GE(a, 0);
  BldsvcChannel channel(a);
  close(b);
  bldsvc_nimbrel_channel_t *ac = channel.get();
  const int fd = ac->socket;
  ac->socket = -1;
  bldsvc_init_req_rec_t req = {{1, 3, BLDSVC_REC_INIT_REQ}, 33};
  EXPECT_EQ(bldsvc_utl_snd_init_req(ac, &req), KS_ST_ERR);
  EXPECT_EQ(bldsvc_utl_snd_nimbrel_exit(ac), KS_ST_ERR);
  EXPECT_EQ(bldsvc_utl_get_next_rtype(ac), BLDSVC_REC_NONE);
  ac->xdrs.x_op = XDR_DECODE;
  EXPECT_EQ(bldsvc_utl_get_init_req(ac, &req), KS_ST_ERR);
  EXPECT_FALSE(bldsvc_utl_xdr_has_more(ac));
  ac->socket = fd;
}

// Writing to a peer that has gone is an error of the send, never a SIGPIPE.
TEST(BldsvcChannel, PeerGoneWhileSending) {
  auto [a, b] = bldsvc_tcp_pair();
  ASSERT_GE(a, 0);
  BldsvcChannel sender(a);
  close(b);
  Captured captured;
  bldsvc_init_req_rec_t req = {{1, 3, BLDSVC_REC_INIT_REQ}, 33};
  ks_status_t st = KS_ST_OK;
  for (int i = 0; i < 50 && st == KS_ST_OK; ++i) {
    st = bldsvc_utl_snd_init_req(sender.get(), &req);
    usleep(1000);  // lets the peer's reset arrive
  }
  EXPECT_EQ(st, KS_ST_ERR);
  EXPECT_NE(captured.err().find("Error writing to socket"), std::string::npos) << captured.err();
}

// A peer that stops reading: the write gives up after its waits and reports what it wrote.
TEST(BldsvcChannel, PeerNotReading) {
  ShortWaits short_waits;
  auto [a, b] = bldsvc_tcp_pair();
  ASSERT_GE(a, 0);
  const int small = 4096;
  setsockopt(a, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(b, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  BldsvcChannel sender(a);
  BigReply big;
  Captured captured;
  EXPECT_EQ(bldsvc_utl_snd_rbld_reply(sender.get(), &big.rec), KS_ST_ERR);
  EXPECT_NE(captured.err().find("after 5 attempts, will stop trying."), std::string::npos)
      << captured.err();
  close(b);
}

// A peer that closes makes the read fail at once, without the waits.
TEST(BldsvcChannel, PeerClosedReadFailsAtOnce) {
  auto [a, b] = bldsvc_tcp_pair();
  ASSERT_GE(a, 0);
  BldsvcChannel receiver(a);
  close(b);
  mf_verbosity = 4;
  Captured captured;
  EXPECT_EQ(bldsvc_utl_get_next_rtype(receiver.get()), BLDSVC_REC_NONE);
  mf_verbosity = 0;
  EXPECT_NE(captured.err().find("Other side of socket has been closed."), std::string::npos);
  EXPECT_EQ(captured.err().find("attempts"), std::string::npos);
}

TEST(BldsvcKeysAndLists, Lookups) {
  stg_area_t area = stg_create_area(1024);
  bldsvc_keys_t *keys = bldsvc_utl_alloc_bldsvc_keys(3, area);
  ASSERT_EQ(keys->count, 3);
  keys->keys[0] = bldsvc_utl_make_key_value("2", "/wd", area);
  keys->keys[1] = bldsvc_utl_make_key_value("5", "first", area);
  keys->keys[2] = bldsvc_utl_make_key_value("5", "second", area);
  char *value = reinterpret_cast<char *>(1);
  EXPECT_EQ(bldsvc_utl_get_key_value(keys, "5", &value), 1);
  EXPECT_STREQ(value, "first");
  // A set without key "1" leaves the executor's shell at its default.
  EXPECT_EQ(bldsvc_utl_get_key_value(keys, "1", &value), 0);
  EXPECT_EQ(value, nullptr);
  value = reinterpret_cast<char *>(1);
  EXPECT_EQ(bldsvc_utl_get_key_value(nullptr, "2", &value), 0);
  EXPECT_EQ(value, nullptr);
  bldsvc_keys_t *empty = bldsvc_utl_alloc_bldsvc_keys(0, area);
  EXPECT_EQ(bldsvc_utl_get_key_value(empty, "2", &value), 0);

  list_handle_t list = list_create(area, 0);
  char a[] = "a.mk", b[] = "b.mk";
  list_append(list, a);
  list_append(list, b);
  bldsvc_lists_t *lists = bldsvc_utl_alloc_bldsvc_lists(2, area);
  lists->lists[0] = bldsvc_utl_listh_to_bldsvc_list(list, "mf", area);
  lists->lists[1] = bldsvc_utl_listh_to_bldsvc_list(LIST_HANDLE_NULL, "ndop", area);
  bldsvc_list_t *named = nullptr;
  ASSERT_EQ(bldsvc_utl_get_named_list(lists, "mf", &named), 1);
  ASSERT_EQ(named->entry_count, 2);
  EXPECT_EQ(named->entries[0], a);  // the list's own elements
  list_handle_t back = bldsvc_utl_bldsvc_list_to_listh(named, area);
  ASSERT_EQ(list_length(back), 2u);
  void *first = nullptr;
  list_next(back, nullptr, &first);
  EXPECT_EQ(first, a);
  ASSERT_EQ(bldsvc_utl_get_named_list(lists, "ndop", &named), 1);
  EXPECT_EQ(named->entry_count, 0);
  EXPECT_EQ(bldsvc_utl_bldsvc_list_to_listh(named, area), LIST_HANDLE_NULL);
  EXPECT_EQ(bldsvc_utl_get_named_list(lists, "irspl", &named), 0);
  EXPECT_EQ(named, nullptr);
  stg_delete_area(&area);
}

TEST(BldsvcDump, RebuildReply) {
  char *entries[] = {const_cast<char *>("X=1")};
  bldsvc_list_t nameless = {nullptr, 1, entries};
  bldsvc_list_t *list_array[] = {&nameless, nullptr};
  bldsvc_lists_t lists = {2, list_array};
  char *script[] = {const_cast<char *>("cc -c a.c")};
  bldsvc_rbld_reply_rec_t rec = {};
  rec.hdr = {7, 2, BLDSVC_REC_RBLD_REPLY};
  rec.tgt_pname = const_cast<char *>("a.o");
  rec.bld_script_hash = 0xbeef;
  rec.flags = 0x11;
  rec.lists = &lists;
  rec.bld_scripts_count = 1;
  rec.bld_scripts = script;
  mf_verbosity = 5;
  Captured captured;
  bldsvc_utl_dump(BLDSVC_REC_RBLD_REPLY, &rec);
  bldsvc_utl_dump(BLDSVC_REC_NIMBREL_EXIT, nullptr);
  bldsvc_utl_dump(0, &rec);
  mf_verbosity = 0;
  std::string err = captured.err();
  // The list's address is printed as a number; it differs from run to run.
  const size_t at = err.find("listS:lists[0]=");
  ASSERT_NE(at, std::string::npos);
  err.erase(at + 15, err.find('\n', at) - at - 15);
  const std::string p = "tool: bldsvc_utl: ";
  EXPECT_EQ(err, p + "Start dumping record type RBLD_REPLY --\n" +
                     p + "hdr.trans_id\t=7\n" + p + "hdr.client_id\t=2\n" + p +
                     "hdr.rec_type\t=4\n" + p + "rbld_reply_rec:tgt_pname\t=a.o\n" + p +
                     "rbld_reply_rec:bld_script_hash\t=0xbeef\n" + p +
                     "rbld_reply_rec:predef_dep_oid\t=00000000.00000000.00000000.00000000\n" +
                     p + "rbld_reply_rec:flags\t=11\n" + p + "listS:list_count\t=2\n" + p +
                     "listS:lists[0]=\n" + p + "list:name\t=NAMELESS LIST\n" + p +
                     "list:entry_count\t=1\n" + p + "list:entry[0]=X=1\n" + p +
                     "listS:lists[1]=0\n" + p + "alist list definition is NULL\n" + p +
                     "rbld_reply_rec:vessary_deps=0\n" + p + "rbld_reply_rec:fs_deps=0\n" + p +
                     "rbld_reply_rec:bld_scripts=1\n" + p + "rbld_reply_rec:bs[0]=\"cc -c a.c\"\n" +
                     p + "End dumping record type RBLD_REPLY --\n" +
                     p + "Start dumping record type NIMBREL_EXIT --\n" + p +
                     "record definition is NULL\n" + p + "End dumping record type NIMBREL_EXIT --\n" +
                     p + "Start dumping record type invalid bldsvc record kind (0) --\n" + p +
                     "hdr.trans_id\t=7\n" + p + "hdr.client_id\t=2\n" + p + "hdr.rec_type\t=4\n" +
                     p + "Dump for record type 0 is not implemented.\n" + p +
                     "End dumping record type invalid bldsvc record kind (0) --\n");
}

}  // namespace
