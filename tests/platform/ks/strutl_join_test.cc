// Joined heap strings, case-blind comparison, and the working directory into a buffer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "ks/fileutl.h"
#include "ks/stg.h"
#include "ks/strutl.h"

namespace {

TEST(StrutlJoin, ConcatHeapJoinsPartsAndSkipsNullOnes) {
  const struct {
    std::initializer_list<const char *> parts;
    const char *joined;
  } cases[] = {
      {{"A=", "b", "/c.mk"}, "A=b/c.mk"},
      {{"", nullptr, "x"}, "x"},
      {{}, ""},
  };
  for (const auto &c : cases) {
    char *text = strutl_concat_heap(c.parts);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, c.joined);
    stg_free(text);
  }
}

TEST(StrutlJoin, StricollIgnoresCase) {
  EXPECT_EQ(strutl_stricoll("-VerAll", "-verall"), 0);
  EXPECT_LT(strutl_stricoll("abc", "ABD"), 0);
  EXPECT_GT(strutl_stricoll("b", "A"), 0);
}

TEST(StrutlJoin, GetcwdFitsOrSaysSo) {
  char expected[PATH_MAX];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  char buf[PATH_MAX];
  EXPECT_EQ(fileutl_getcwd(buf, sizeof buf), KS_ST_OK);
  EXPECT_STREQ(buf, expected);
  char tiny[2];
  EXPECT_EQ(fileutl_getcwd(tiny, sizeof tiny), KS_ST_NAME_TOO_LONG);
  EXPECT_EQ(fileutl_getcwd(buf, 0), KS_ST_NAME_TOO_LONG);
}

}  // namespace
