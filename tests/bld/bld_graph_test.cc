// The build-graph printer's own rules: operator texts and the refusal of a missing makefile.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "bld/bld_graph.h"
#include "ks/imsg.h"

namespace {

TEST(BldGraph, OperatorTextsOfTargetScopedDefinitions) {
  const struct {
    uint32_t op;
    const char *text;
  } cases[] = {{0, "="},   {1, ":="}, {2, ":="}, {3, ":sh="}, {4, "+="},
               {5, "?="},  {6, "="},  {7, "="},  {8, ":="},   {9, "="}};
  for (const auto &c : cases) EXPECT_STREQ(bld_graph_op_text(c.op), c.text) << c.op;
}

TEST(BldGraph, MissingParsedMakefileIsReportedAndNothingPrinted) {
  FILE *out = std::tmpfile();
  FILE *err = std::tmpfile();
  imsg_set_streams(out, err);
  ks_status_t status = bld_graph_print(nullptr, 0);
  imsg_set_streams(nullptr, nullptr);
  EXPECT_EQ(status, KS_ST_ERR);
  EXPECT_EQ(std::ftell(out), 0L);
  EXPECT_GT(std::ftell(err), 0L);
  std::fclose(out);
  std::fclose(err);
}

}  // namespace
