// Record-marking streams: fragments, records sent together, reading past a record's end, the
// record-length limit, and failing connections.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ks/ks_xdrrec.h"

namespace {

// A connection held in memory: what is written is appended to wire; reads take at most chunk
// bytes at a time from it and fail at its end.
struct Wire {
  std::string bytes;
  size_t pos = 0;
  size_t chunk = 1 << 20;
  int writes = 0;
  static int read(void *h, char *buf, int len) {
    Wire *w = static_cast<Wire *>(h);
    size_t n = std::min({size_t(len), w->chunk, w->bytes.size() - w->pos});
    if (n == 0) return -1;
    memcpy(buf, w->bytes.data() + w->pos, n);
    w->pos += n;
    return int(n);
  }
  static int write(void *h, char *buf, int len) {
    Wire *w = static_cast<Wire *>(h);
    w->bytes.append(buf, size_t(len));
    ++w->writes;
    return len;
  }
};

struct Stream {
  XDR xdrs;
  Stream(Wire *wire, u_int size) {
    xdrs.x_ops = nullptr;
    ks_xdrrec_create(&xdrs, size, size, wire, Wire::read, Wire::write);
  }
  ~Stream() { XDR_DESTROY(&xdrs); }
};

// The fragment headers of wire: (length, last) pairs.
std::vector<std::pair<uint32_t, bool>> fragments(const std::string &wire) {
  std::vector<std::pair<uint32_t, bool>> out;
  for (size_t at = 0; at + 4 <= wire.size();) {
    uint32_t h;
    memcpy(&h, wire.data() + at, 4);
    h = ntohl(h);
    out.emplace_back(h & 0x7fffffff, (h & 0x80000000) != 0);
    at += 4 + (h & 0x7fffffff);
  }
  return out;
}

TEST(KsXdrrec, RecordsSpanFragmentsAndTravelTogether) {
  Wire wire;
  Stream out(&wire, 64);
  out.xdrs.x_op = XDR_ENCODE;
  std::string data(1000, 0);
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7);
  u_int n = 7;
  ASSERT_TRUE(xdr_u_int(&out.xdrs, &n));
  ASSERT_TRUE(ks_xdrrec_endofrecord(&out.xdrs, FALSE));
  EXPECT_EQ(wire.writes, 0);  // a short record waits for the next one
  ASSERT_TRUE(XDR_PUTBYTES(&out.xdrs, data.data(), u_int(data.size())));
  ASSERT_TRUE(ks_xdrrec_endofrecord(&out.xdrs, TRUE));
  const auto frags = fragments(wire.bytes);
  ASSERT_GE(frags.size(), 3u);
  EXPECT_EQ(frags[0], std::make_pair(4u, true));
  uint32_t total = 0;
  for (size_t i = 1; i < frags.size(); ++i) {
    total += frags[i].first;
    EXPECT_EQ(frags[i].second, i + 1 == frags.size());
  }
  EXPECT_EQ(total, 1000u);

  wire.chunk = 13;  // reads come in odd pieces
  Stream in(&wire, 64);
  in.xdrs.x_op = XDR_DECODE;
  ASSERT_TRUE(ks_xdrrec_skiprecord(&in.xdrs));
  ASSERT_TRUE(xdr_u_int(&in.xdrs, &n));
  EXPECT_EQ(n, 7u);
  EXPECT_FALSE(xdr_u_int(&in.xdrs, &n));  // the record has ended
  ASSERT_TRUE(ks_xdrrec_skiprecord(&in.xdrs));
  std::string back(1000, 0);
  ASSERT_TRUE(XDR_GETBYTES(&in.xdrs, back.data(), 1000));
  EXPECT_EQ(back, data);
  EXPECT_TRUE(ks_xdrrec_eof(&in.xdrs));
}

// eof passes over the unread rest of the current record and tells whether more has arrived.
TEST(KsXdrrec, EofLooksAtWhatHasArrived) {
  Wire wire;
  Stream out(&wire, 0);
  out.xdrs.x_op = XDR_ENCODE;
  for (u_int v : {1u, 2u, 3u}) {
    ASSERT_TRUE(xdr_u_int(&out.xdrs, &v));
    ASSERT_TRUE(xdr_u_int(&out.xdrs, &v));
    ASSERT_TRUE(ks_xdrrec_endofrecord(&out.xdrs, TRUE));
  }
  Stream in(&wire, 0);
  in.xdrs.x_op = XDR_DECODE;
  u_int v;
  ASSERT_TRUE(ks_xdrrec_skiprecord(&in.xdrs));
  ASSERT_TRUE(xdr_u_int(&in.xdrs, &v));
  EXPECT_FALSE(ks_xdrrec_eof(&in.xdrs));
  ASSERT_TRUE(ks_xdrrec_skiprecord(&in.xdrs));
  ASSERT_TRUE(xdr_u_int(&in.xdrs, &v));
  EXPECT_EQ(v, 2u);  // the rest of record 1 was passed over
  ASSERT_TRUE(ks_xdrrec_skiprecord(&in.xdrs));
  ASSERT_TRUE(xdr_u_int(&in.xdrs, &v));
  EXPECT_EQ(v, 3u);
  EXPECT_TRUE(ks_xdrrec_eof(&in.xdrs));
}

TEST(KsXdrrec, RecordLengthLimit) {
  Wire wire;
  {
    Stream out(&wire, 0);
    out.xdrs.x_op = XDR_ENCODE;
    std::string big(KS_XDRREC_MAX_RECORD, 'x');
    ASSERT_TRUE(XDR_PUTBYTES(&out.xdrs, big.data(), u_int(big.size())));
    ASSERT_TRUE(ks_xdrrec_endofrecord(&out.xdrs, TRUE));
    ASSERT_TRUE(XDR_PUTBYTES(&out.xdrs, big.data(), u_int(big.size())));
    char one = 'y';
    EXPECT_FALSE(XDR_PUTBYTES(&out.xdrs, &one, 1));
  }
  // A record of exactly the limit is taken; a header announcing more is refused, and the stream
  // stays failed: what follows it cannot be framed.
  size_t end = 0;  // the end of the first record
  for (bool last = false; !last;) {
    uint32_t h;
    memcpy(&h, wire.bytes.data() + end, 4);
    last = (ntohl(h) & 0x80000000u) != 0;
    end += 4 + (ntohl(h) & 0x7fffffffu);
  }
  wire.bytes.resize(end);
  const uint32_t over = htonl(0x80000000u | (KS_XDRREC_MAX_RECORD + 1));
  wire.bytes.append(reinterpret_cast<const char *>(&over), 4);
  wire.bytes.append("abcd", 4);
  Stream in(&wire, 0);
  in.xdrs.x_op = XDR_DECODE;
  ASSERT_TRUE(ks_xdrrec_skiprecord(&in.xdrs));
  ASSERT_TRUE(ks_xdrrec_skiprecord(&in.xdrs));
  char c;
  EXPECT_FALSE(XDR_GETBYTES(&in.xdrs, &c, 1));
  EXPECT_FALSE(ks_xdrrec_skiprecord(&in.xdrs));
  EXPECT_TRUE(ks_xdrrec_eof(&in.xdrs));
}

// Headers that cannot be right, and a connection that fails.
TEST(KsXdrrec, BadInput) {
  const struct {
    const char *what;
    std::string bytes;
  } cases[] = {
      {"empty fragment that is not the last", std::string("\0\0\0\0\x80\0\0\x04" "abcd", 12)},
      {"connection ends in a header", std::string("\x80\0", 2)},
      {"connection ends in the data", std::string("\x80\0\0\x08" "abcd", 8)},
  };
  for (const auto &c : cases) {
    Wire wire;
    wire.bytes = c.bytes;
    Stream in(&wire, 0);
    in.xdrs.x_op = XDR_DECODE;
    ASSERT_TRUE(ks_xdrrec_skiprecord(&in.xdrs));
    u_int v;
    EXPECT_FALSE(xdr_u_int(&in.xdrs, &v) && xdr_u_int(&in.xdrs, &v)) << c.what;
    EXPECT_TRUE(ks_xdrrec_eof(&in.xdrs)) << c.what;
  }
}

TEST(KsXdrrec, FailedWriteFailsTheStream) {
  Wire wire;
  XDR xdrs;
  ks_xdrrec_create(&xdrs, 0, 0, &wire, Wire::read,
                   [](void *, char *, int len) { return len - 1; });
  xdrs.x_op = XDR_ENCODE;
  u_int v = 1;
  ASSERT_TRUE(xdr_u_int(&xdrs, &v));
  EXPECT_FALSE(ks_xdrrec_endofrecord(&xdrs, TRUE));
  EXPECT_FALSE(xdr_u_int(&xdrs, &v) && ks_xdrrec_endofrecord(&xdrs, TRUE));
  XDR_DESTROY(&xdrs);
}

}  // namespace
