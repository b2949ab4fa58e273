#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <unordered_set>

#include "mf/scan/mf_scan.h"

namespace {

// The longest-match memory's key set against a standard set: inserts that repeat keys, keys that
// crowd one probe run, growth through several sizes, emptying small and large sets and filling
// them again.
TEST(ScanKeySet, AgreesWithAStandardSetThroughGrowthAndClearing) {
  mf_scan_key_set_t set;
  std::unordered_set<uint64_t> model;
  std::mt19937_64 random(7);
  // Keys of the scanner's form: a position shifted above a state, and their neighbours.
  auto key = [&](uint64_t n) { return ((n % 5000) << 24) ^ (n % 700); };
  const size_t rounds[] = {3, 40, 1000, 20000, 5, 9000};
  for (size_t round : rounds) {
    for (size_t i = 0; i < round; i++) {
      const uint64_t k = key(random());
      set.insert(k);
      model.insert(k);
      if (i % 7 == 0) set.insert(k);  // a key put in again changes nothing
    }
    ASSERT_EQ(set.size(), model.size()) << round;
    for (uint64_t k : model) ASSERT_TRUE(set.contains(k)) << k;
    size_t strays = 0;
    for (int i = 0; i < 2000; i++) {
      const uint64_t k = key(random()) + 1;
      if (set.contains(k) != (model.count(k) != 0)) strays++;
    }
    EXPECT_EQ(strays, 0u) << round;
    set.clear();
    model.clear();
    EXPECT_TRUE(set.empty());
    for (int i = 0; i < 100; i++) EXPECT_FALSE(set.contains(key(random())));
  }
  // Zero is a key like any other.
  set.insert(0);
  EXPECT_TRUE(set.contains(0));
  EXPECT_FALSE(set.contains(1));
}

}  // namespace
