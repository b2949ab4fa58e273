// The records of the executor protocol: exact bytes of every kind, round trips, refusals of what
// does not encode or decode, and decoding that allocates only after the input it has read.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "bldsvc_fixture_util.h"
#include "build_service/bldsvc_utl_xdr.h"

// The address sanitizer's runtime calls hooks on every allocation (gcc ships no header for it).
#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t),
                                                        void (*)(const volatile void *));
#define BLDSVC_HAVE_MALLOC_HOOKS 1
#endif

namespace {

TEST(BldsvcRecords, GoldenBytesAndRoundTripOfEveryKind) {
  bool seen[BLDSVC_REC_LAST + 1] = {};
  for (const auto &g : bldsvc_golden_records()) {
    SCOPED_TRACE(g.title);
    seen[g.kind] = true;
    EXPECT_EQ(bldsvc_encode_hex(g.kind, g.record), g.hex);
    bldsvc_any_body_t body;
    ASSERT_TRUE(bldsvc_decode_hex(g.kind, g.hex, &body));
    EXPECT_EQ(bldsvc_encode_hex(g.kind, g.record ? &body : nullptr), g.hex);
    if (g.record != nullptr) bldsvc_free_body(g.kind, &body);
  }
  for (int kind = 1; kind <= BLDSVC_REC_LAST; ++kind) EXPECT_TRUE(seen[kind]) << kind;
}

// The decoded values that the symmetric routines could get wrong in one direction only: signs,
// 64-bit values, absent items.
TEST(BldsvcRecords, DecodedValues) {
  const auto &records = bldsvc_golden_records();
  auto find = [&](const char *title) -> const bldsvc_golden_t & {
    for (const auto &g : records) {
      if (strcmp(g.title, title) == 0) return g;
    }
    throw std::runtime_error(title);
  };
  bldsvc_any_body_t b;
  ASSERT_TRUE(bldsvc_decode_hex(BLDSVC_REC_RBLD_STATUS, find("RBLD_STATUS chunk").hex, &b));
  EXPECT_EQ(b.rbld_status.bld_status, -9999);
  EXPECT_STREQ(b.rbld_status.output, "cc\n");
  bldsvc_free_body(BLDSVC_REC_RBLD_STATUS, &b);
  EXPECT_EQ(b.rbld_status.output, nullptr);  // the free direction nulls what it releases

  ASSERT_TRUE(bldsvc_decode_hex(BLDSVC_REC_RBLD_DIRECT_STATUS, find("RBLD_DIRECT_STATUS").hex, &b));
  EXPECT_EQ(b.direct_status.end_offset, 5000000000);
  bldsvc_free_body(BLDSVC_REC_RBLD_DIRECT_STATUS, &b);

  ASSERT_TRUE(bldsvc_decode_hex(BLDSVC_REC_NIMBREL_TERM, find("NIMBREL_TERM without reason").hex, &b));
  EXPECT_EQ(b.term.reason, nullptr);
  bldsvc_free_body(BLDSVC_REC_NIMBREL_TERM, &b);

  ASSERT_TRUE(bldsvc_decode_hex(BLDSVC_REC_RBLD_REPLY_LFS, find("RBLD_REPLY_LFS").hex, &b));
  ASSERT_EQ(b.rbld_reply.fs_deps_count, 1u);
  EXPECT_EQ(b.rbld_reply.fs_deps[0]->size, 3000000000u);
  EXPECT_EQ(b.rbld_reply.vessary_deps, nullptr);
  bldsvc_free_body(BLDSVC_REC_RBLD_REPLY_LFS, &b);

  ASSERT_TRUE(bldsvc_decode_hex(BLDSVC_REC_INIT_REPLY, find("INIT_REPLY").hex, &b));
  EXPECT_EQ(b.init_reply.ref_time.tv_sec, 1700000000);
  EXPECT_EQ(b.init_reply.ref_time.tv_usec, 250000);
  ASSERT_NE(b.init_reply.lists, nullptr);
  EXPECT_STREQ(b.init_reply.lists->lists[0]->entries[1], "rules.mk");
  bldsvc_free_body(BLDSVC_REC_INIT_REPLY, &b);
}

// Every proper prefix of every record fails to decode and leaves nothing allocated (the leak
// checker watches): each member's failure path releases what the members before it took.
TEST(BldsvcRecords, EveryTruncationFailsCleanly) {
  for (const auto &g : bldsvc_golden_records()) {
    SCOPED_TRACE(g.title);
    for (size_t cut = 0; cut < g.hex.size(); cut += 8) {
      bldsvc_any_body_t body;
      EXPECT_FALSE(bldsvc_decode_hex(g.kind, g.hex.substr(0, cut), &body)) << cut;
      bldsvc_free_body(g.kind, &body);
    }
  }
}

// What must not encode: values that do not fit the wire, a rebuild reply under a kind that has
// no dependency layout, a large file in the older layout, a negative count.
TEST(BldsvcRecords, RefusedEncodings) {
  bldsvc_init_req_rec_t req = {{1ul << 32, 1, BLDSVC_REC_INIT_REQ}, 33};
  EXPECT_EQ(bldsvc_encode_hex(BLDSVC_REC_INIT_REQ, &req), "FAIL");
  req.hdr.trans_id = 0xFFFFFFFFul;
  EXPECT_NE(bldsvc_encode_hex(BLDSVC_REC_INIT_REQ, &req), "FAIL");
  req.protocol_version = 1ul << 40;
  EXPECT_EQ(bldsvc_encode_hex(BLDSVC_REC_INIT_REQ, &req), "FAIL");

  tbs_cr_fs_predef_t dep = {};
  tbs_cr_fs_predef_t *deps[] = {&dep};
  bldsvc_rbld_reply_rec_t reply = {};
  reply.hdr.rec_type = BLDSVC_REC_RBLD_REPLY;
  reply.fs_deps_count = 1;
  reply.fs_deps = deps;
  struct {
    bldsvc_rec_kind_t kind;
    uint64_t size;
    u_long hash;
    bool encodes;
  } cases[] = {
      {BLDSVC_REC_RBLD_REPLY, 0x7FFFFFFF, 0, true},
      {BLDSVC_REC_RBLD_REPLY, 0x80000000, 0, false},  // 2 GB needs the large-file layout
      {BLDSVC_REC_RBLD_REPLY_LFS, 0x80000000, 0, true},
      {BLDSVC_REC_RBLD_REPLY_LFS, ~0ull, 0, true},
      {BLDSVC_REC_RBLD_REPLY_LFS, 1, 0x100000000ul, false},  // script hash beyond 32 bits
      {BLDSVC_REC_RBLD_STATUS, 1, 0, false},  // no dependency layout for this kind
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.size);
    reply.hdr.rec_type = c.kind;
    dep.size = c.size;
    reply.bld_script_hash = c.hash;
    EXPECT_EQ(bldsvc_encode_hex(BLDSVC_REC_RBLD_REPLY, &reply) != "FAIL", c.encodes);
  }

  bldsvc_keys_t keys = {-1, nullptr};
  bldsvc_init_reply_rec_t init = {};
  init.hdr.rec_type = BLDSVC_REC_INIT_REPLY;
  init.keys = &keys;
  EXPECT_EQ(bldsvc_encode_hex(BLDSVC_REC_INIT_REPLY, &init), "FAIL");
  keys = {2, nullptr};  // slots announced, none there
  EXPECT_EQ(bldsvc_encode_hex(BLDSVC_REC_INIT_REPLY, &init), "FAIL");
}

// The same bytes decode under kind 4 or 12 only in their own layout; the header decides, and
// a rebuild reply whose header names another kind does not decode or free.
TEST(BldsvcRecords, RebuildReplyLayoutFollowsTheHeader) {
  std::string hex;
  for (const auto &g : bldsvc_golden_records()) {
    if (g.kind == BLDSVC_REC_RBLD_REPLY) hex = g.hex;
  }
  bldsvc_any_body_t body;
  ASSERT_TRUE(bldsvc_decode_hex(BLDSVC_REC_RBLD_REPLY, hex, &body));
  body.rbld_reply.hdr.rec_type = BLDSVC_REC_RBLD_STATUS;
  XDR xdrs;
  xdrs.x_op = XDR_FREE;
  EXPECT_FALSE(xdr_bldsvc_rbld_reply_rec_t(&xdrs, &body.rbld_reply, nullptr));
  body.rbld_reply.hdr.rec_type = BLDSVC_REC_RBLD_REPLY;
  bldsvc_free_body(BLDSVC_REC_RBLD_REPLY, &body);

  for (const char *kind : {"00000005", "0000000c"}) {
    std::string other = hex;
    other.replace(16, 8, kind);
    EXPECT_FALSE(bldsvc_decode_hex(BLDSVC_REC_RBLD_REPLY, other, &body)) << kind;
    bldsvc_free_body(BLDSVC_REC_RBLD_REPLY, &body);
  }
}

// Malformed input of the platform's encodings inside a record.
TEST(BldsvcRecords, MalformedItemsDoNotDecode) {
  const std::string hdr = "00000007 00000003 00000007";
  const struct {
    const char *what;
    std::string body;
  } cases[] = {
      {"no NUL at the end", hdr + "00000002 41420000 00000000 00000000"},
      {"NUL inside", hdr + "00000004 41004200 00000000 00000000"},
      {"padding not zero", hdr + "00000002 41000100 00000000 00000000"},
      {"string longer than the input", hdr + "ffffffff 41424344"},
  };
  for (const auto &c : cases) {
    bldsvc_any_body_t body;
    EXPECT_FALSE(bldsvc_decode_hex(BLDSVC_REC_NIMBREL_TERM, c.body, &body)) << c.what;
    bldsvc_free_body(BLDSVC_REC_NIMBREL_TERM, &body);
  }
  // An optional item is present (1) or absent (0), nothing else.
  std::string reply;
  for (const auto &g : bldsvc_golden_records()) {
    if (g.kind == BLDSVC_REC_INIT_REPLY) reply = g.hex;
  }
  const size_t keys_flag = reply.find("0000000100000002000000010000000231");
  ASSERT_NE(keys_flag, std::string::npos);
  reply.replace(keys_flag, 8, "00000002");
  bldsvc_any_body_t body;
  EXPECT_FALSE(bldsvc_decode_hex(BLDSVC_REC_INIT_REPLY, reply, &body));
  bldsvc_free_body(BLDSVC_REC_INIT_REPLY, &body);
  // A count below 0 in a key set.
  reply.replace(keys_flag, 16, "00000001ffffffff");
  EXPECT_FALSE(bldsvc_decode_hex(BLDSVC_REC_INIT_REPLY, reply, &body));
  bldsvc_free_body(BLDSVC_REC_INIT_REPLY, &body);
}

TEST(BldsvcRecords, KindNames) {
  EXPECT_STREQ(bldsvc_utl_rtype_name(1), "INIT_REQ");
  EXPECT_STREQ(bldsvc_utl_rtype_name(12), "RBLD_REPLY_LFS");
  EXPECT_STREQ(bldsvc_utl_rtype_name(0), "invalid bldsvc record kind (0)");
  EXPECT_STREQ(bldsvc_utl_rtype_name(13), "invalid bldsvc record kind (13)");
  EXPECT_STREQ(bldsvc_utl_rtype_name(-7), "invalid bldsvc record kind (-7)");
  for (int kind = 0; kind <= BLDSVC_REC_LAST; ++kind) {
    EXPECT_EQ(bldsvc_xdr_tbl[kind].rtype_for_rec, kind);
  }
}

#if BLDSVC_HAVE_MALLOC_HOOKS
size_t largest_malloc = 0;
void note_malloc(const volatile void *, size_t size) {
  if (size > largest_malloc) largest_malloc = size;
}
void note_free(const volatile void *) {}
#endif

// Lengths and counts that the input claims but does not bring are never allocated up front.
TEST(BldsvcRecords, ClaimedSizesAreNotAllocatedAhead) {
#if BLDSVC_HAVE_MALLOC_HOOKS
  static const bool hooked = __sanitizer_install_malloc_and_free_hooks(note_malloc, note_free);
  ASSERT_TRUE(hooked);
  // Header, version, trace level, flags, time, view uuid, build handle, replica uuid.
  const std::string hdr = "00000002 00000003 00000002 00000021 00000000 00000000"
                          "00000000 00000000 00000000"
                          "00000000 00000000 00000000 00000000 00000000 00000000"
                          "00000000 00000000 00000000 00000000";
  const struct {
    const char *what;
    std::string body;
  } cases[] = {
      {"string of 4 GB", hdr + "00000001 00000001 00000001 fffffff0 41424344"},
      {"2^31 keys", hdr + "00000001 7fffffff 00000001 00000002 41000000 00000000"},
      {"2^31 list entries", hdr + "00000000 00000001 00000001 00000001 00000002 41000000"
                                  "7fffffff 00000002 41000000"},
  };
  for (const auto &c : cases) {
    largest_malloc = 0;
    bldsvc_any_body_t body;
    EXPECT_FALSE(bldsvc_decode_hex(BLDSVC_REC_INIT_REPLY, c.body, &body)) << c.what;
    bldsvc_free_body(BLDSVC_REC_INIT_REPLY, &body);
    EXPECT_LE(largest_malloc, 256u * 1024) << c.what;
  }
#else
  GTEST_SKIP() << "needs the address sanitizer's allocation hooks";
#endif
}

}  // namespace
