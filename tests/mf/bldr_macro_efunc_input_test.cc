// $(eval) and the message functions while a makefile is read through the input layer.
#include <gtest/gtest.h>

#include <string>

#include "capture_util.h"
#include "ks/pfm.h"
#include "macro_fixture_util.h"
#include "mf/bldr_macro_efunc.h"
#include "mf/mf_io.h"
#include "mf_io_util.h"

using mftest::Captured;
using mftest::HooksReset;
using mftest::NameList;
using mftest::ScratchDir;
using mftest::TableList;

namespace {

class EvalWhileReading : public ::testing::Test {
 protected:
  void SetUp() override {
    mftest::use_expansion_functions();
    file_ = tables_.add(BLDR_MACRO_ORIGIN_FILE);
    mf_parser_failed = 0;
  }
  void TearDown() override { mf_io_term(); }

  // A reader of the least makefile syntax: a line "NAME = value" defines NAME, a line that starts
  // with "$" is expanded in the GNU flavour (so that the functions on it act); others are
  // skipped. As in the lexer, a line is handled while its newline is still to be read, so that
  // text pushed by $(eval) comes before it.
  void read(const std::string &makefile) {
    NameList files({makefile});
    ASSERT_EQ(mf_io_init(files.get(), nullptr, nullptr, 0, 0, 0), 0);
    std::string line;
    for (int c; (c = mf_io_input()) != 0;) {
      if (c != '\n') {
        line += char(c);
        continue;
      }
      mf_io_unput(c);
      size_t eq = line.find(" = ");
      if (!line.empty() && line[0] == '$') {
        mftest::Expanded e = mftest::expand(tables_.list(), BLDR_MACRO_FLAVOR_GNU, line);
        EXPECT_EQ(e.status, KS_ST_OK) << line;
        EXPECT_EQ(e.text, "") << line;
      } else if (eq != std::string::npos) {
        bldr_macro_define(file_, line.substr(0, eq).c_str(), line.substr(eq + 3).c_str(), 0);
      }
      line.clear();
      int next = mf_io_input();
      if (next != '\n' && next != 0) mf_io_unput(next);
    }
  }
  std::string value(const char *name) {
    const char *v = bldr_macro_lookup(tables_.list(), name, nullptr);
    return v ? mftest::expand(tables_.list(), BLDR_MACRO_FLAVOR_GNU, v).text : "<undefined>";
  }

  HooksReset hooks_;
  TableList tables_;
  bldr_macro_table_t *file_ = nullptr;
  ScratchDir dir_;
};

TEST_F(EvalWhileReading, DefinitionsOfEvalAreSeenByLaterLines) {
  bldr_macro_define(file_, "DEFS", "D = 4\nE = $$(D)5", 0);
  dir_.write("mk",
             "A = 1\n"
             "$(eval B = $(A)2)\n"
             "C = $(B)3\n"
             "$(eval $(DEFS))\n"
             "$(info E is $(E))\n"
             "$(eval $$(info $$$$ kept))\n");
  Captured cap;
  read("mk");
  EXPECT_EQ(value("B"), "12");
  EXPECT_EQ(value("C"), "123");
  EXPECT_EQ(value("E"), "45");
  EXPECT_EQ(cap.out(), "E is 45\n$ kept\n");
  EXPECT_EQ(cap.err(), "");
  EXPECT_EQ(mf_parser_failed, 0);
}

TEST_F(EvalWhileReading, WarningAndErrorNameTheFileAndLine) {
  dir_.write("mk",
             "A = 1\n"
             "\n"
             "# a comment line\n"
             "$(eval B = 2)\n"
             "\n"
             "\n"
             "$(warning hi $(A)$(B))\n");
  Captured cap;
  read("mk");
  EXPECT_EQ(cap.out(), "mk:7:hi 12\n");

  dir_.write("stop.mk", "A = 1\n$(error boom $(A))\nC = 3\n");
  mf_io_term();
  ks_status_t raised = pfm_catch([&] { read("stop.mk"); });
  EXPECT_EQ(raised, 2);
  EXPECT_EQ(cap.err(), "tool: Error: stop.mk:2:boom 1\n");
  EXPECT_EQ(bldr_macro_lookup(tables_.list(), "C", nullptr), nullptr);
}

}  // namespace
