// The platform's encodings of strings, optional items, counted arrays and times: null elements,
// presence words, arrays that are announced but missing, and the sizing of an encoding.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kelprpc/kelp_xdr.h"

namespace {

struct Buffer {
  std::vector<char> bytes = std::vector<char>(256);
  XDR xdrs;
  explicit Buffer(xdr_op op) { xdrmem_create(&xdrs, bytes.data(), u_int(bytes.size()), op); }
};

// An array of pointers to strings, some of them absent.
TEST(KelpXdr, PointerArrayWithAbsentElements) {
  char a[] = "a", c[] = "";
  char *pa = a, *pc = c;
  char **strings[] = {&pa, nullptr, &pc};
  char ***array = strings;
  Buffer out(XDR_ENCODE);
  ASSERT_TRUE(xdr_kelp_parray(&out.xdrs, &array, 3, sizeof(char *), xdr_kelp_string8_item, nullptr));
  u_long size = 0;
  ASSERT_TRUE(kelp_xdr_sizeof(
      [](XDR *x, void *item, void *arg) -> bool_t {
        return xdr_kelp_parray(x, item, 3, sizeof(char *), xdr_kelp_string8_item, arg);
      },
      &array, nullptr, &size));
  EXPECT_EQ(size, xdr_getpos(&out.xdrs));
  // present "a"; absent; present ""
  EXPECT_EQ(size, 4u + 8 + 4 + 4 + 8);

  Buffer in(XDR_DECODE);
  in.bytes = out.bytes;
  char ***back = nullptr;
  ASSERT_TRUE(xdr_kelp_parray(&in.xdrs, &back, 3, sizeof(char *), xdr_kelp_string8_item, nullptr));
  EXPECT_STREQ(*back[0], "a");
  EXPECT_EQ(back[1], nullptr);
  EXPECT_STREQ(*back[2], "");
  in.xdrs.x_op = XDR_FREE;
  ASSERT_TRUE(xdr_kelp_parray(&in.xdrs, &back, 3, sizeof(char *), xdr_kelp_string8_item, nullptr));
  EXPECT_EQ(back, nullptr);
}

TEST(KelpXdr, Refusals) {
  // A presence word is 0 or 1.
  Buffer in(XDR_DECODE);
  const unsigned char two[] = {0, 0, 0, 2};
  memcpy(in.bytes.data(), two, 4);
  char *p = nullptr;
  EXPECT_FALSE(xdr_kelp_pointer(&in.xdrs, &p, 8, xdr_kelp_string8_item, nullptr));
  EXPECT_EQ(p, nullptr);
  // An array announced but missing does not encode; nor does a string longer than its maximum.
  Buffer out(XDR_ENCODE);
  char **missing = nullptr;
  EXPECT_FALSE(xdr_kelp_array(&out.xdrs, &missing, 2, sizeof(char *), xdr_kelp_string8_item,
                              nullptr));
  char text[] = "four";
  char *t = text;
  EXPECT_FALSE(xdr_kelp_string8(&out.xdrs, &t, 3, nullptr));
  // Microseconds travel in 32 bits.
  struct timeval tv = {1, 1l << 40};
  EXPECT_FALSE(xdr_timeval(&out.xdrs, &tv, nullptr));
}

}  // namespace
