#include "ks/pfm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ks/stg.h"

namespace {

// An owner of an area in the way frame owners are: on a raised status it releases its area and
// raises again.
void owner(std::vector<std::string> &log, int depth) {
  stg_area_t area = stg_create_area(1024);
  stg_alloc(area, 100);
  pfm_frame(
      [&] {
        if (depth == 0) pfm_raise(1001);
        owner(log, depth - 1);
      },
      [&](ks_status_t status) {
        stg_delete_area(&area);
        log.push_back("released " + std::to_string(depth) + " on " + std::to_string(status));
      });
  stg_delete_area(&area);
}

}  // namespace

TEST(Pfm, RaisedStatusUnwindsThroughEveryFrameToTheCatcher) {
  std::vector<std::string> log;
  ks_status_t status = pfm_catch([&] { owner(log, 2); });
  EXPECT_EQ(status, 1001);
  EXPECT_EQ(log, (std::vector<std::string>{"released 0 on 1001", "released 1 on 1001",
                                           "released 2 on 1001"}));
  EXPECT_EQ(pfm_catch([] {}), KS_ST_OK);
}

TEST(Pfm, FileStem) {
  EXPECT_STREQ(pfm_file_stem("/src/mf/mf_io.cc"), "mf_io");
  EXPECT_STREQ(pfm_file_stem("plain"), "plain");
}

TEST(PfmDeathTest, AssertionPrintsExpressionAndPlace) {
  EXPECT_DEATH(PFM_ASSERT(1 + 1 == 3), "Assertion failed: 1 \\+ 1 == 3 \\(pfm_test, line");
}
