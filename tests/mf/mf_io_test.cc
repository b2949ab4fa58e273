#include "mf/mf_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "capture_util.h"
#include "mf_io_util.h"

namespace {

using mftest::Captured;
using mftest::input_fixture;
using mftest::NameList;

class MfIo : public ::testing::Test {
 protected:
  void SetUp() override { mf_parser_failed = 0; }
  void TearDown() override {
    mf_io_term();
    mf_parser_failed = 0;
  }
};

struct DriveCase {
  const char *label;
  std::vector<std::string> files;
  const char *expected;
  const char *error;  // expected in the messages, or empty for none
};

TEST_F(MfIo, DriverReportsEveryByteWithItsPosition) {
  const DriveCase cases[] = {
      {"last line without newline", {"no_final_newline.mk"},
       "[no_final_newline.mk] a@1:1/0 b@1:2/0 \\n@2:0/3 ", ""},
      {"several files in a row", {"one_line.mk", "no_final_newline.mk"},
       "[one_line.mk] x@1:1/0 \\n@2:0/2 \\n@3:0/1 "
       "[no_final_newline.mk] a@1:1/0 b@1:2/0 \\n@2:0/3 ",
       ""},
      {"NUL byte skipped with an error", {"nul_byte.mk"},
       "[nul_byte.mk] a@1:1/0 b@1:2/0 \\n@2:0/3 \\n@3:0/1 ",
       "line 1\nNUL character in makefile ignored\n"},
  };
  for (const DriveCase &c : cases) {
    SCOPED_TRACE(c.label);
    mf_parser_failed = 0;
    std::vector<std::string> paths;
    for (const std::string &f : c.files) paths.push_back(input_fixture(f));
    NameList files(paths);
    Captured cap;
    ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
    EXPECT_EQ(mftest::drive_positions(), c.expected);
    mftest::expect_error_and_mark(cap.err(), c.error);
    mf_io_term();
  }
}

TEST_F(MfIo, IncludeInTheMiddleResumesTheIncluderWhereItStopped) {
  NameList files{input_fixture("includer.mk")};
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  std::string before;
  for (int i = 0; i < 3; i++) before += char(mf_io_input());
  ASSERT_EQ(before, "L1\n");
  ASSERT_EQ(mf_io_push_file(input_fixture("included.mk").c_str(), 0, 0), 0);
  mf_io_push_artificial_newline_in_new_include_file();
  EXPECT_EQ(mftest::drive_positions(),
            "[included.mk] \\n@1:0/1 i@1:1/1 1@1:2/1 \\n@2:0/3 i@2:1/3 2@2:2/3 \\n@3:0/3 "
            "[includer.mk] L@2:1/3 2@2:2/3 \\n@3:0/3 \\n@4:0/1 ");
}

// Reads n bytes, pushes the last k of them back and reads them again: the second reading must
// report the same positions as the first.
TEST_F(MfIo, PushBackRestoresPositionsAcrossLineBreaks) {
  struct Case {
    const char *content;
    int read;
    int push;
  } cases[] = {
      {"ab\ncd\n", 4, 3},                // "b\nc": a two-line text
      {"1\n2\n3\n4\n5\n6\n7\n", 14, 12},  // six line breaks
      {"x\n\n\n\n\n\n\nyz\n", 9, 8},     // empty lines
  };
  mftest::ScratchDir dir;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.content);
    dir.write("p.mk", c.content);
    NameList files{"p.mk"};
    ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
    std::vector<std::string> first;
    std::string read;
    auto render = [] {
      return std::to_string(mf_io_source_line) + ":" + std::to_string(mf_io_source_col) + "/" +
             std::to_string(mf_io_source_prev_col);
    };
    std::string start = render();
    for (int i = 0; i < c.read; i++) {
      read += char(mf_io_input());
      first.push_back(render());
    }
    std::string back = read.substr(size_t(c.read - c.push));
    ASSERT_EQ(mf_io_push_str(back.c_str()), 0);
    EXPECT_EQ(render(), c.read - c.push == 0 ? start : first[size_t(c.read - c.push - 1)]);
    for (int i = c.read - c.push; i < c.read; i++) {
      EXPECT_EQ(char(mf_io_input()), read[size_t(i)]);
      EXPECT_EQ(render(), first[size_t(i)]) << "byte " << i;
    }
    mf_io_term();
  }
}

TEST_F(MfIo, PushBackOfTheTwoLineTextGivesExactPositions) {
  mftest::ScratchDir dir;
  dir.write("p.mk", "ab\ncd\n");
  NameList files{"p.mk"};
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  for (int i = 0; i < 4; i++) mf_io_input();
  mf_io_push_str("b\nc");
  EXPECT_EQ(mf_io_source_line, 1);
  EXPECT_EQ(mf_io_source_col, 1);
  EXPECT_EQ(mf_io_source_prev_col, 0);
  EXPECT_EQ(mftest::drive_positions(),
            "[p.mk] b@1:2/0 \\n@2:0/3 c@2:1/3 d@2:2/3 \\n@3:0/3 \\n@4:0/1 ");
}

TEST_F(MfIo, MultibyteInputInAUtf8Locale) {
  if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP() << "no UTF-8 locale";
  struct Case {
    const char *file;
    std::vector<wchar_t> chars;  // before the first 0
    const char *error;
  } cases[] = {
      {"utf8.mk", {L'c', L'a', L'f', L'\u00e9', L'\n', L'\n'}, ""},
      {"invalid_utf8.mk", {L'a'}, "line 1\nInvalid multibyte character: \\377\n"},
      {"truncated_utf8.mk", {L'a'}, "Invalid multibyte character: \\303\\012\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    mf_parser_failed = 0;
    NameList files{input_fixture(c.file)};
    Captured cap;
    ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
    EXPECT_EQ(mf_io_mb_is_allowed, 1);
    std::vector<wchar_t> got;
    for (wchar_t wc; (wc = mf_io_get_wc()) != 0 && got.size() < 100;) got.push_back(wc);
    EXPECT_EQ(got, c.chars);
    mftest::expect_error_and_mark(cap.err(), c.error);
    mf_io_term();
  }
  std::setlocale(LC_ALL, "C");
}

TEST_F(MfIo, MultibyteCharacterIsPushedBackWhole) {
  if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP() << "no UTF-8 locale";
  NameList files{input_fixture("utf8.mk")};
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  for (int i = 0; i < 3; i++) mf_io_get_wc();
  wchar_t e = mf_io_get_wc();
  EXPECT_EQ(mf_io_source_col, 5);
  EXPECT_EQ(mf_io_unput_wc(e), 0);
  EXPECT_EQ(mf_io_source_col, 3);
  EXPECT_EQ(mf_io_get_wc(), L'\u00e9');
  mf_io_term();
  std::setlocale(LC_ALL, "C");
}

TEST_F(MfIo, AsciiAndMultibyteCharactersPushedBackAreReadAgainInOrder) {
  if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP() << "no UTF-8 locale";
  mftest::ScratchDir dir;
  // ASCII bytes take the short way, the others are decoded: both must come back whole.
  dir.write("m.mk", "a\xC3\xA9" "b\xE2\x82\xAC" "c\n");
  NameList files{"m.mk"};
  Captured cap;
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  EXPECT_EQ(mf_io_ascii_is_plain, 1);
  const std::vector<wchar_t> expected = {L'a', L'\u00e9', L'b', L'\u20ac', L'c', L'\n'};
  std::vector<wchar_t> first;
  for (size_t i = 0; i < expected.size(); i++) first.push_back(mf_io_get_wc());
  EXPECT_EQ(first, expected);
  EXPECT_EQ(mf_io_source_line, 2);
  for (auto it = first.rbegin(); it != first.rend(); ++it) EXPECT_EQ(mf_io_unput_wc(*it), 0);
  EXPECT_EQ(mf_io_source_line, 1);
  EXPECT_EQ(mf_io_source_col, 0);
  std::vector<wchar_t> again;
  for (size_t i = 0; i < expected.size(); i++) again.push_back(mf_io_get_wc());
  EXPECT_EQ(again, expected);
  EXPECT_EQ(cap.err(), "");
  EXPECT_EQ(mf_parser_failed, 0);
  mf_io_term();
  std::setlocale(LC_ALL, "C");
}

TEST_F(MfIo, BytesAboveAsciiInTheCLocale) {
  std::setlocale(LC_ALL, "C");
  mftest::ScratchDir dir;
  dir.write("c.mk", "caf\xe9\n");
  NameList files{"c.mk"};
  Captured cap;
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  EXPECT_EQ(mf_io_mb_is_allowed, 0);
  for (int i = 0; i < 3; i++) mf_io_get_wc();
  wchar_t e = mf_io_get_wc();
  EXPECT_EQ(e, wchar_t(0xe9));
  EXPECT_EQ(mf_io_unput_wc(e), 0);
  EXPECT_EQ(mf_io_get_wc(), wchar_t(0xe9));
  EXPECT_EQ(cap.err(), "");
  EXPECT_EQ(mf_parser_failed, 0);
}

TEST_F(MfIo, StartFailures) {
  {
    NameList files{input_fixture("dir.mk")};
    Captured cap;
    EXPECT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 1001);
    std::string err = cap.err();
    EXPECT_NE(err.find("dir.mk"), std::string::npos) << err;
    EXPECT_NE(err.find(std::strerror(EISDIR)), std::string::npos) << err;
    EXPECT_EQ(mf_io_parser_existent(), 0);
  }
  {
    NameList files{};
    Captured cap;
    EXPECT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 1001);
    EXPECT_NE(cap.err().find("No description files specified\n"), std::string::npos);
    EXPECT_EQ(mf_io_parser_existent(), 0);
  }
  {
    NameList files{input_fixture("no_such_file.mk")};
    Captured cap;
    EXPECT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 1001);
    EXPECT_NE(cap.err().find(std::strerror(ENOENT)), std::string::npos);
  }
}

TEST_F(MfIo, LaterFileThatCannotBeOpenedEndsTheInput) {
  NameList files{input_fixture("one_line.mk"), input_fixture("dir.mk")};
  Captured cap;
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  EXPECT_EQ(mftest::drain_text(), "x\n\n");
  EXPECT_EQ(mf_parser_failed, 1);
  EXPECT_NE(cap.err().find(std::strerror(EISDIR)), std::string::npos);
}

TEST_F(MfIo, RefillDeliversAtMostEightCharactersAndOneLine) {
  mftest::ScratchDir dir;
  dir.write("w.mk", "abcdefghijk\nxy\n");
  NameList files{"w.mk"};
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  struct Step {
    int count;
    int result;
    const wchar_t *text;
  } steps[] = {
      {0, 0, L""},         {100, 8, L"abcdefgh"}, {8, 4, L"ijk\n"}, {2, 2, L"xy"},
      {5, 1, L"\n"},       {5, 1, L"\n"},         {5, 0, L""},
  };
  for (const Step &s : steps) {
    wchar_t buf[16];
    wmemset(buf, L'#', 16);
    int n = mf_io_get_wstring_line(buf, s.count);
    EXPECT_EQ(n, s.result);
    EXPECT_EQ(std::wstring(buf, size_t(n)), s.text);
    if (s.count > 0 && n < std::min(s.count, 8) && (n == 0 || buf[n - 1] != L'\n')) {
      EXPECT_EQ(buf[n], 0);
    }
  }
}

// An invalid multibyte sequence is reported and ends a refill behind what came before it; where
// it would begin a refill, the reading goes on behind it: it never looks like the end of the
// input, wherever the refills happen to begin.
TEST_F(MfIo, RefillPassesOverAnInvalidSequenceAtItsStart) {
  if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP() << "no UTF-8 locale";
  mftest::ScratchDir dir;
  dir.write("v.mk", "abcdefgh\xFFij\xFF\xFFk\n");
  NameList files{"v.mk"};
  mf_parser_failed = 0;
  Captured cap;
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  std::vector<std::wstring> refills;
  for (int guard = 0; guard < 10; guard++) {
    wchar_t buf[16];
    const int n = mf_io_get_wstring_line(buf, 16);
    if (n == 0) break;
    refills.emplace_back(buf, size_t(n));
  }
  // The input ends with an empty line of its own.
  EXPECT_EQ(refills, (std::vector<std::wstring>{L"abcdefgh", L"ij", L"k\n", L"\n"}));
  EXPECT_EQ(mf_parser_failed, 1);
  const std::string err = cap.err();
  size_t reported = 0;
  for (size_t at = err.find("Invalid multibyte character: \\377"); at != std::string::npos;
       at = err.find("Invalid multibyte character: \\377", at + 1))
    reported++;
  EXPECT_EQ(reported, 3u);
  mf_io_term();
  std::setlocale(LC_ALL, "C");
}

// A refill read in two parts, its first characters by one call and the rest by
// mf_io_get_wstring_line_rest, stores what the refill stores in one call, and the refills after it
// begin where they would; an invalid sequence behind the first part ends the refill there.
TEST_F(MfIo, RefillReadInTwoPartsEndsWhereItWould) {
  if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP() << "no UTF-8 locale";
  const char *const text = "a\xc3\xa9" "c\xFF" "defghijklmnopq\xFF\n";
  const auto refills = [&](int first) {
    mftest::ScratchDir dir;
    dir.write("v.mk", text);
    NameList files{"v.mk"};
    Captured cap;
    std::vector<std::wstring> out;
    EXPECT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
    for (int guard = 0; guard < 10; guard++) {
      wchar_t buf[16];
      int n = mf_io_get_wstring_line(buf, first > 0 ? first : 16);
      if (first > 0 && n == first) n = mf_io_get_wstring_line_rest(buf, 16, n);
      first = 0;
      if (n == 0) break;
      out.emplace_back(buf, size_t(n));
    }
    mf_io_term();
    return std::make_pair(out, cap.err());
  };
  const auto whole = refills(0);
  EXPECT_EQ(whole.first,
            (std::vector<std::wstring>{L"a\u00e9c", L"defghijk", L"lmnopq", L"\n", L"\n"}));
  for (int first = 1; first <= 3; first++) {
    EXPECT_EQ(refills(first), whole) << first;
  }
  std::setlocale(LC_ALL, "C");
}

TEST_F(MfIo, ColumnSetterAndStringGet) {
  mftest::ScratchDir dir;
  dir.write("c.mk", "x\n");
  NameList files{"c.mk"};
  ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
  mf_io_set_spos_column(-3);
  EXPECT_EQ(mf_io_source_col, 0);
  EXPECT_EQ(mf_io_spos_column(), 0);
  mf_io_set_spos_for_string_get("ab\ncde");
  EXPECT_EQ(mf_io_spos_line(), 2);
  EXPECT_EQ(mf_io_spos_column(), 3);
  EXPECT_EQ(mf_io_source_prev_col, 3);
  mf_io_set_spos_for_string_get("");
  EXPECT_EQ(mf_io_spos_column(), 3);
}

}  // namespace
