// $(eval) under the makefile grammar: what it evaluates is parsed as the lines that follow.
#include <gtest/gtest.h>

#include "ks/pfm.h"

#include <string>
#include <vector>

#include "capture_util.h"
#include "macro_fixture_util.h"
#include "mf/bldr_macro_efunc.h"
#include "mf/mf_io.h"
#include "mf/mf_tgt.h"
#include "scan_util.h"

using mftest::ScanInput;

namespace {

std::vector<std::string> deps(ScanInput &s, const char *target) {
  mf_tgt_entry_t *e = mf_tgt_lookup(s.table(), target);
  if (e == nullptr) return {"<no rule>"};
  return mftest::strings(
      mf_tgt_get_dep_list(s.table(), e, mf_tgt_next_instance(s.table(), e, nullptr)));
}

std::vector<std::string> script(ScanInput &s, const char *target) {
  mf_tgt_entry_t *e = mf_tgt_lookup(s.table(), target);
  if (e == nullptr) return {"<no rule>"};
  return mftest::strings(
      mf_tgt_get_bld_script(s.table(), e, mf_tgt_next_instance(s.table(), e, nullptr)));
}

// The std dialect calls functions while Java audits are on.
class EvalInParse : public ::testing::Test {
 protected:
  void SetUp() override {
    mftest::use_expansion_functions();
    bldr_macro_hooks.java_audits = [] { return int32_t(1); };
  }
  mftest::HooksReset hooks_;
};

TEST_F(EvalInParse, DefinitionsAndRulesAreSeenByLaterLines) {
  mftest::Captured cap;
  ScanInput s(
      "RULE = c: d\n"
      "$(eval X = 1)\n"
      "Y = $(X)2\n"
      "$(eval a: b $(Y))\n"
      "$(eval $(RULE))\n"
      "all: $(Y) $(words p q)\n");
  ASSERT_EQ(s.parse(), 0) << cap.err();
  EXPECT_EQ(mf_parser_failed, 0) << cap.err();
  EXPECT_EQ(cap.err(), "");
  const char *x = bldr_macro_lookup_in_table(s.macros(), "X", nullptr);
  ASSERT_NE(x, nullptr);
  EXPECT_STREQ(x, "1");
  EXPECT_EQ(deps(s, "a"), (std::vector<std::string>{"b", "12"}));
  EXPECT_EQ(deps(s, "c"), (std::vector<std::string>{"d"}));
  EXPECT_EQ(deps(s, "all"), (std::vector<std::string>{"12", "2"}));
}

// A rule with its script, evaluated late in the file and on its very first line (where the
// evaluated text has more lines than the file has read so far); a later error still names the
// line it is on.
TEST_F(EvalInParse, ARuleWithItsScript) {
  for (const char *text : {"first: x\nsecond: y\n$(eval $(R))\nlast: out\n",
                           "$(eval $(R))\nlast: out\n"}) {
    mftest::Captured cap;
    ScanInput s(std::string(text) + "$(error at end)\n");
    bldr_macro_define(s.macros(), "R", "out: in\n\tcp in out\n\techo two\n\techo three", 0);
    ks_status_t raised = pfm_catch([&] { s.parse(); });
    EXPECT_EQ(raised, 2) << text;
    EXPECT_EQ(deps(s, "out"), (std::vector<std::string>{"in"})) << text;
    EXPECT_EQ(script(s, "out"), (std::vector<std::string>{"cp in out", "echo two", "echo three"}))
        << text;
    int last_line = std::string(text).find("first") == 0 ? 5 : 3;
    EXPECT_NE(cap.err().find(":" + std::to_string(last_line) + ":at end"), std::string::npos)
        << text << "\n" << cap.err();
  }
}

}  // namespace
