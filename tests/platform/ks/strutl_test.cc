#include "ks/strutl.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <vector>

TEST(Strutl, FindEndDelimSkipsNestedPairsOfTheSameKind) {
  struct Case {
    const char *text;
    char open, close;
    long want;  // offset of the match, -1 for none
  };
  const Case cases[] = {
      {"(a)", '(', ')', 2},
      {"(a(b)c)d)", '(', ')', 6},
      {"{a(b}c)", '{', '}', 4},
      {"(a{b)c})", '(', ')', 4},
      {"(abc", '(', ')', -1},
      {"abc)", '(', ')', -1},
      {"", '(', ')', -1},
  };
  for (const Case &c : cases) {
    const char *got = strutl_find_end_delim(c.text, c.open, c.close);
    EXPECT_EQ(got ? got - c.text : -1, c.want) << c.text;
  }
}

TEST(Strutl, StripWhitespaceReportsTheBytesRemoved) {
  struct Case {
    const char *text;
    int lead, trail;
    const char *want;
    size_t removed;
  };
  const Case cases[] = {
      {"  a b \t\n", 1, 1, "a b", 5},
      {"  a b  ", 1, 0, "a b  ", 2},
      {"  a b  ", 0, 1, "  a b", 2},
      {" \t ", 1, 1, "", 3},
      {"ab", 1, 1, "ab", 0},
  };
  for (const Case &c : cases) {
    std::string buf = c.text;
    EXPECT_EQ(strutl_strip_whitespace(buf.data(), c.lead, c.trail), c.removed) << c.text;
    EXPECT_STREQ(buf.c_str(), c.want) << c.text;
  }
}

TEST(Strutl, TokenizeGivesNoEmptyTokens) {
  std::string text = "  a\tbb  c\n d ";
  std::vector<std::string> got;
  char *state = nullptr;
  for (char *t = strutl_tokenize(text.data(), " \t", &state); t;
       t = strutl_tokenize(nullptr, " \t", &state)) {
    got.push_back(t);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"a", "bb", "c\n", "d"}));
}

TEST(Strutl, StrtolAcceptsOnlyWholeNumbers) {
  struct Case {
    const char *text;
    ks_status_t status;
    long value;
  };
  const Case cases[] = {
      {"42", KS_ST_OK, 42},   {" -7 ", KS_ST_OK, -7}, {"+3", KS_ST_OK, 3},
      {"4x", KS_ST_ERR, 0},   {"", KS_ST_ERR, 0},     {"  ", KS_ST_ERR, 0},
      {"99999999999999999999", KS_ST_ERR, 0},
  };
  for (const Case &c : cases) {
    long v = 0;
    EXPECT_EQ(strutl_strtol(c.text, 10, &v), c.status) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
}

TEST(Strutl, BoundedCopiesJoinsAndReplacements) {
  char buf[8];
  EXPECT_EQ(strutl_cpy_buf(buf, sizeof buf, "1234567"), KS_ST_OK);
  EXPECT_STREQ(buf, "1234567");
  EXPECT_EQ(strutl_cpy_buf(buf, sizeof buf, "12345678"), KS_ST_NAME_TOO_LONG);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(strutl_concat(buf, sizeof buf, {"ab", nullptr, "cd"}), KS_ST_OK);
  EXPECT_STREQ(buf, "abcd");
  EXPECT_EQ(strutl_concat(buf, sizeof buf, {"abcd", "efgh"}), KS_ST_NAME_TOO_LONG);

  char path[32] = "dir/A.class";
  EXPECT_EQ(strutl_find_replace_substr(path, sizeof path, ".class", ".java"), KS_ST_OK);
  EXPECT_STREQ(path, "dir/A.java");
  EXPECT_EQ(strutl_find_replace_substr(path, sizeof path, ".class", ".java"), KS_ST_NOT_FOUND);
  EXPECT_EQ(strutl_replace_substr(path, sizeof path, 0, 3, "source/root"), KS_ST_OK);
  EXPECT_STREQ(path, "source/root/A.java");
  char small[12] = "dir/A.java";
  EXPECT_EQ(strutl_replace_substr(small, sizeof small, 0, 3, "longer"), KS_ST_NAME_TOO_LONG);
  EXPECT_STREQ(small, "dir/A.java");
  const char *hay = "abcabc";
  EXPECT_EQ(strutl_find_str(hay, "ca"), hay + 2);
  EXPECT_EQ(strutl_find_str(hay, "x"), nullptr);
}

TEST(Strutl, MultibyteCharactersStepAndClassifyWhole) {
  const char *old = std::setlocale(LC_CTYPE, nullptr);
  std::string saved = old ? old : "C";
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no UTF-8 locale";
  const char *e_acute = "\xc3\xa9x";
  EXPECT_EQ(strutl_mblen(e_acute, MB_CUR_MAX), 2);
  EXPECT_EQ(strutl_mblen("x", MB_CUR_MAX), 1);
  EXPECT_EQ(strutl_mblen("\xc3", MB_CUR_MAX), 1);  // incomplete: one byte
  const char *nbsp_like = "\xe3\x80\x80";          // ideographic space
  EXPECT_NE(strutl_test_char(nbsp_like, STRUTL_CLASS_SPACE), 0);
  EXPECT_EQ(strutl_test_char(e_acute, STRUTL_CLASS_SPACE), 0);
  EXPECT_NE(strutl_test_char(e_acute, STRUTL_CLASS_ALPHA), 0);
  std::string text = "\xe3\x80\x80" "a\xe3\x80\x80";
  EXPECT_EQ(strutl_strip_whitespace(text.data(), 1, 1), 6u);
  EXPECT_STREQ(text.c_str(), "a");
  std::setlocale(LC_CTYPE, saved.c_str());
}
