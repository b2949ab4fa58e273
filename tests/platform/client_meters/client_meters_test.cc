// Metering regions: one region per name, entered and left in pairs.
#include <gtest/gtest.h>

#include "client_meters/client_meters.h"

namespace {

TEST(ClientMeters, OneRegionPerNameEnteredAndLeftInPairs) {
  EXPECT_EQ(client_meters_start_program("test", 0, nullptr, 0), 0);
  client_meters_region_t a = client_meters_create_region("parsing");
  EXPECT_EQ(client_meters_create_region("parsing"), a);
  EXPECT_NE(client_meters_create_region("main"), a);
  EXPECT_EQ(client_meters_create_region(nullptr), nullptr);

  client_meters_enter_region(a);
  client_meters_enter_region(a);
  client_meters_exit_region(a);
  EXPECT_EQ(client_meters_region_entered(a), 1);
  client_meters_exit_region(a);
  EXPECT_EQ(client_meters_region_entered(a), 0);
  client_meters_exit_region(a);  // leaving more often than entering does not go below zero
  client_meters_enter_region(a);
  EXPECT_EQ(client_meters_region_entered(a), 1);

  client_meters_enter_region(a);
  client_meters_require_exit_region(a);
  EXPECT_EQ(client_meters_region_entered(a), 0);
  client_meters_require_exit_region(nullptr);
  client_meters_finish_program();
}

}  // namespace
