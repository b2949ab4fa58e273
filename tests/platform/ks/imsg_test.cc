#include "ks/imsg.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "ks/pfm.h"
#include "tbs/tbs_status.h"

namespace {

// Captures what the message layer writes to its two streams.
class Captured {
 public:
  Captured() : out_(std::tmpfile()), err_(std::tmpfile()) { imsg_set_streams(out_, err_); }
  ~Captured() {
    imsg_set_streams(nullptr, nullptr);
    std::fclose(out_);
    std::fclose(err_);
  }
  std::string out() { return read(out_); }
  std::string err() { return read(err_); }

 private:
  static std::string read(FILE *f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;) s += char(c);
    return s;
  }
  FILE *out_;
  FILE *err_;
};

const char *const kFormats[] = {"first %d\n", "continued %s\n"};
const uint16_t kCatalog[] = {1, 2};
const imsg_msg_table_t kTable = {"karsel_bin", "mf/test_module", 7, 2, kFormats, kCatalog};

}  // namespace

TEST(Imsg, EvenSeverityOpensOddContinuesWithoutPrefix) {
  imsg_set_app_name("tool");
  Captured cap;
  imsg_print(IMSG_ERROR, &kTable, 0, 5);
  imsg_print(IMSG_ERROR_CONT, &kTable, 1, "here");
  imsg_print(IMSG_WARNING, "direct %s\n", -1, "format");
  imsg_print(IMSG_INFO, &kTable, 1, "info");
  imsg_print(IMSG_INFO_CONT, "tail\n", -1);
  EXPECT_EQ(cap.err(), "tool: Error: first 5\ncontinued here\ntool: Warning: direct format\n");
  EXPECT_EQ(cap.out(), "continued info\ntail\n");
  imsg_set_app_name(nullptr);
}

TEST(Imsg, SharedRowsAndEmphasisMarkersOffTerminal) {
  imsg_set_app_name("tool");
  Captured cap;
  imsg_print_shared(IMSG_ERROR, "mf/mf_io", &imsg_common_table, IMSG_COMMON_OPEN_FAILED, "a.mk",
                    "No such file or directory");
  imsg_print(IMSG_INFO, "\x01\x01" "1Bbold\x01\x01" "0B plain\n", -1);
  EXPECT_EQ(cap.err(), "tool: Error: Unable to open file \"a.mk\": No such file or directory\n");
  EXPECT_EQ(cap.out(), "bold plain\n");
  imsg_set_app_name(nullptr);
}

TEST(Imsg, TraceGateByVerbosityAndName) {
  struct Case {
    const char *subsys;
    const char *verbosity;
    const char *name;
    int level;
    bool wanted;
  } cases[] = {
      {"mf_parser", "3", "mf_parser", 3, true},
      {"mf_parser", "3", "mf_parser", 4, false},    // level above the desired verbosity
      {"mf_parser", "3", "mf_lexer", 1, false},     // name not listed
      {"mf_lexer,mf_parser", "5", "mf_parser", 5, true},
      {"mf_parser_x", "5", "mf_parser", 1, false},  // whole names only
      {"all", "2", "bldr_macro", 2, true},
      {"", "5", "bldr_macro", 1, false},
  };
  for (const Case &c : cases) {
    setenv("TRACE_SUBSYS", c.subsys, 1);
    setenv("TRACE_VERBOSITY", c.verbosity, 1);
    imsg_reset_trace_settings();
    EXPECT_EQ(imsg_should_trace(c.name, c.level) != 0, c.wanted)
        << c.subsys << " " << c.verbosity << " " << c.name << " " << c.level;
  }
  unsetenv("TRACE_SUBSYS");
  unsetenv("TRACE_VERBOSITY");
  imsg_reset_trace_settings();
  EXPECT_EQ(imsg_get_desired_verbosity(), 0);
}

TEST(Imsg, InternalErrorReportNamesModuleAndPlace) {
  imsg_set_app_name("tool");
  Captured cap;
  tbs_log_int_error("mf/bldr_macro", &imsg_common_table, IMSG_COMMON_HASH_DELETE, "bldr_macro", 99,
                    0);
  EXPECT_EQ(cap.err(),
            "tool: Error: Internal error in mf/bldr_macro (bldr_macro, line 99): Unable to destroy "
            "hash table\n");
  EXPECT_STREQ(tbs_strerror(KS_ST_NOT_FOUND), "Not found");
  imsg_set_app_name(nullptr);
}

// Messages far larger than the first formatting buffer, printed one after another with shorter
// ones, come out whole; a lone text argument is passed through as it is.
TEST(Imsg, LongAndShortMessagesComeOutWhole) {
  Captured cap;
  const std::string big(70000, 'x');
  const std::string bigger(150000, 'y');
  std::string expected;
  imsg_print(IMSG_INFO, "<%s>\n", -1, big.c_str());
  expected += "<" + big + ">\n";
  imsg_print(IMSG_INFO, "%d\n", -1, 7);
  expected += "7\n";
  imsg_print(IMSG_INFO, "[%s|%s]\n", -1, bigger.c_str(), big.c_str());
  expected += "[" + bigger + "|" + big + "]\n";
  imsg_print(IMSG_INFO, "%s", -1, ("\x01\x01" "1B" + big + "\x01\x01" "0B\x01!").c_str());
  expected += big + "\x01!";
  imsg_print(IMSG_INFO, "%s", -1, static_cast<const char *>(nullptr));
  expected += "(null)";
  imsg_print(IMSG_INFO, "a\x01\x01" "1", -1);  // a marker cut short is plain text
  expected += "a\x01\x01" "1";
  EXPECT_EQ(cap.out(), expected);
}
