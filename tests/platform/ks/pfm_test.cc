#include "ks/pfm.h"

#include <gtest/gtest.h>
#include <signal.h>

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

namespace {

int handled = 0;
void count_signal(int) { handled++; }

}  // namespace

TEST(Pfm, HandlersWaitWhileInterruptionIsHeldOff) {
  handled = 0;
  pfm_sig_handler_t before = pfm_signal(SIGUSR1, count_signal);
  raise(SIGUSR1);
  EXPECT_EQ(handled, 1);
  pfm_inhibit();
  pfm_inhibit();
  raise(SIGUSR1);
  raise(SIGUSR1);
  EXPECT_EQ(handled, 1);
  pfm_enable();
  EXPECT_EQ(handled, 1);
  pfm_enable();
  EXPECT_EQ(handled, 2);  // signals that came meanwhile are delivered once
  // The handler it replaces comes back, whether installed here or not.
  EXPECT_EQ(pfm_signal(SIGUSR1, before), count_signal);
}
