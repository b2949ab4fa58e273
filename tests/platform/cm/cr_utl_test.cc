#include "cm/cr_utl.h"

#include <gtest/gtest.h>

#include <string>

#include "ks/stg.h"

namespace {

TEST(CrUtlCanonicalizeLine, JoinAndTrim) {
  struct Row {
    const char *line;
    int join, trim;
    const char *expected;  // null: unchanged
  } rows[] = {
      {"ifeq (a,\\\n   b)\n", 1, 1, "ifeq (a, b)\n"},
      {"a  \\\n\t\tb", 1, 0, "a b"},
      {"a \\\n b \\\n c", 1, 0, "a b c"},
      {"a\\\\\nb", 1, 0, nullptr},         // an escaped backslash is no continuation
      {"a\\\\\\\nb", 1, 0, "a\\\\ b"},     // but the third one is
      {"a \\\n b", 0, 0, nullptr},
      {"a \\\n b", 0, 1, nullptr},
      {"x = 1  \ny\t\n", 0, 1, "x = 1\ny\n"},
      {"trailing  ", 0, 1, "trailing"},
      {"inner  blanks stay", 1, 1, nullptr},
      {"", 1, 1, nullptr},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.line);
    int changed = -1;
    char *out = reinterpret_cast<char *>(1);
    EXPECT_EQ(cr_utl_canonicalize_line(r.line, r.join, r.trim, &changed, &out), 0);
    if (r.expected == nullptr) {
      EXPECT_EQ(changed, 0);
      EXPECT_EQ(out, nullptr);
    } else {
      EXPECT_EQ(changed, 1);
      ASSERT_NE(out, nullptr);
      EXPECT_EQ(std::string(out), r.expected);
    }
    stg_free(out);
  }
}

}  // namespace
