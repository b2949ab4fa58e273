#include "mf/mf_flex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A user buffer of any capacity up to MF_FLEX_USER_CAPACITY, holding text.
char *start_with(mf_flex_buffer_t *buf, size_t capacity, const std::string &text) {
  char *s = mf_flex_start(buf);
  buf->hdr.end = s + capacity;
  std::memcpy(s, text.data(), text.size());
  s[text.size()] = '\0';
  buf->hdr.cur = s + text.size();
  return s;
}

}  // namespace

TEST(FlexString, AppendingPastTheUserBufferDoublesOntoTheHeap) {
  mf_flex_buffer_t buf;
  char *s = start_with(&buf, 100, std::string(99, 'a'));
  ASSERT_TRUE(mf_flex_append_char(&s, 'b'));
  EXPECT_NE(s, buf.text);
  EXPECT_EQ(mf_flex_capacity(s), 200u);
  EXPECT_EQ(std::string(s), std::string(99, 'a') + "b");
  EXPECT_EQ(*mf_flex_hdr(s)->cur, '\0');
  // The user's buffer is untouched and still its own.
  EXPECT_EQ(buf.hdr.end, buf.text + 100);
  mf_flex_release(s);
}

TEST(FlexString, ShortAppendsStayInTheUserBuffer) {
  mf_flex_local s;
  for (int i = 0; i < 99; i++) ASSERT_TRUE(mf_flex_append_char(&s.ptr(), char('a' + i % 26)));
  EXPECT_EQ(mf_flex_capacity(s.c_str()), 100u);
  EXPECT_EQ(s.size(), 99u);
  // A long text appended in one call lands whole, partly in place and partly after growth.
  std::string tail(1000, 'z');
  ASSERT_TRUE(mf_flex_append_str(&s.ptr(), tail.c_str()));
  EXPECT_EQ(s.size(), 1099u);
  EXPECT_EQ(std::string(s.c_str() + 99), tail);
  EXPECT_EQ(mf_flex_capacity(s.c_str()), 1600u);
}

TEST(FlexString, GrowthNeedsRoomForTheTerminatingNul) {
  struct Case {
    size_t capacity;
    size_t length;
    int32_t n;
    size_t want_capacity;  // 0: unchanged, same place
  };
  const Case cases[] = {
      {100, 90, 9, 0},       // 10 free bytes hold 9 more and the NUL
      {100, 90, 10, 200},    // exactly n free: still grows
      {100, 0, 0, 0},        // growing by nothing changes nothing
      {75, 0, 200, 300},     // doubled until not below capacity + n
      {100, 50, 500, 800},
  };
  for (const Case &c : cases) {
    mf_flex_buffer_t buf;
    char *s = start_with(&buf, c.capacity, std::string(c.length, 'x'));
    char *g = mf_utl_grow_flex_string(s, c.n);
    ASSERT_NE(g, nullptr);
    if (c.want_capacity == 0) {
      EXPECT_EQ(g, s) << c.capacity << " " << c.n;
    } else {
      EXPECT_EQ(mf_flex_capacity(g), c.want_capacity) << c.capacity << " " << c.n;
      EXPECT_EQ(std::string(g), std::string(c.length, 'x'));
    }
    mf_flex_release(g);
  }
}

TEST(FlexString, GrowingAHeapStringFreesTheOldBlock) {
  mf_flex_buffer_t buf;
  char *s = start_with(&buf, 75, "abc");
  s = mf_utl_grow_flex_string(s, 200);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(mf_flex_capacity(s), 300u);
  // 300 -> 600 -> 1200 -> 2400, the first value not below 1300; the 300 block is freed (ASan
  // reports a leak otherwise).
  char *g = mf_utl_grow_flex_string(s, 1000);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(mf_flex_capacity(g), 2400u);
  EXPECT_STREQ(g, "abc");
  mf_flex_release(g);
}

TEST(FlexString, GrowthFailuresLeaveTheStringAsItWas) {
  // A capacity of 0 cannot double.
  mf_flex_buffer_t zero;
  char *z = mf_flex_start(&zero);
  zero.hdr.end = z;
  EXPECT_EQ(mf_utl_grow_flex_string(z, 1), nullptr);
  EXPECT_EQ(mf_utl_grow_flex_string_and_append(z, "q", 1), nullptr);
  EXPECT_EQ(zero.hdr.end, z);

  // Doubling past the signed 32-bit range fails before anything is allocated.
  mf_flex_buffer_t big;
  char *b = start_with(&big, 10, "keep");
  volatile size_t huge = 0x40000001;  // only compared, never dereferenced
  big.hdr.end = b + huge;
  EXPECT_EQ(mf_utl_grow_flex_string(b, 0x40000000), nullptr);
  EXPECT_EQ(big.hdr.cur, b + 4);
  EXPECT_STREQ(b, "keep");
}

TEST(FlexString, ModifyReplacesARangeAndShiftsTheTail) {
  struct Case {
    const char *text;
    int32_t offset, old_len;
    const char *repl;
    const char *want;
  };
  const Case cases[] = {
      {"abcdef", 2, 2, "XY", "abXYef"},    // N = L: length unchanged
      {"abcdef", 2, 2, "", "abef"},        // N = 0 deletes the range
      {"abcdef", 1, 1, "WXYZ", "aWXYZcdef"},
      {"abcdef", 0, 6, "q", "q"},
      {"abcdef", 6, 0, "gh", "abcdefgh"},  // at the end
  };
  for (const Case &c : cases) {
    mf_flex_local s;
    ASSERT_TRUE(mf_flex_append_str(&s.ptr(), c.text));
    ASSERT_TRUE(mf_flex_replace(&s.ptr(), c.offset, c.old_len, c.repl, std::strlen(c.repl)));
    EXPECT_STREQ(s.c_str(), c.want);
    EXPECT_EQ(s.size(), std::strlen(c.want));
    EXPECT_EQ(*mf_flex_hdr(s.ptr())->cur, '\0');
  }
}

TEST(FlexString, ReplaceGrowsWhenTheNewTextIsLonger) {
  mf_flex_local s;
  ASSERT_TRUE(mf_flex_append_str(&s.ptr(), "a$(X)b"));
  std::string value(150, 'v');
  ASSERT_TRUE(mf_flex_replace(&s.ptr(), 1, 4, value.data(), value.size()));
  EXPECT_EQ(std::string(s.c_str()), "a" + value + "b");
}
