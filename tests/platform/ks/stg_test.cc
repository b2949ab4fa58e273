#include "ks/stg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

// Areas hand out aligned, independent memory of any size and free it whole: run under
// AddressSanitizer, a leak or an overlap between allocations fails the test.
TEST(StgArea, AllocationsAreDistinctAlignedAndFreedWhole) {
  stg_area_t area = stg_create_area(256);
  ASSERT_NE(area, STG_AREA_NULL);
  char *small[200];
  for (int i = 0; i < 200; i++) {
    small[i] = static_cast<char *>(stg_alloc(area, 1 + i % 37));
    ASSERT_NE(small[i], nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(small[i]) % alignof(void *), 0u);
    std::memset(small[i], i, 1 + i % 37);
  }
  // A request larger than a block, then more small ones after it.
  char *big = static_cast<char *>(stg_alloc(area, 10000));
  ASSERT_NE(big, nullptr);
  std::memset(big, 0x5a, 10000);
  char *after = stg_area_strdup(area, "still here");
  for (int i = 0; i < 200; i++)
    for (int j = 0; j < 1 + i % 37; j++) ASSERT_EQ(small[i][j], char(i)) << i;
  EXPECT_STREQ(after, "still here");
  stg_delete_area(&area);
  EXPECT_EQ(area, STG_AREA_NULL);
}

TEST(StgArea, HeapAreaAndCopies) {
  char *copy = stg_area_strdup(STG_AREA_HEAP, "heap text");
  EXPECT_STREQ(copy, "heap text");
  stg_free(copy);
  char *part = stg_area_strndup(STG_AREA_HEAP, "abcdef", 3);
  EXPECT_STREQ(part, "abc");
  stg_free(part);
  stg_area_t heap = STG_AREA_HEAP;
  stg_delete_area(&heap);  // the heap is never an area to delete
  EXPECT_EQ(heap, STG_AREA_HEAP);
  EXPECT_EQ(stg_alloc(STG_AREA_NULL, 8), nullptr);
}

// A record given back serves the next request of its size, whatever asked for it; on the heap it
// is freed (AddressSanitizer would report it lost otherwise).
TEST(StgArea, GivenBackRecordsServeTheirSizeOnly) {
  stg_area_t area = stg_create_area(256);
  void *a = stg_alloc(area, 16);
  void *b = stg_alloc(area, 40);
  stg_give_back(area, a, 16);
  stg_give_back(area, b, 37);  // sizes count as allocated, in steps of the alignment
  auto count_of = [&](size_t size, void *record) {
    int seen = 0;
    for (int i = 0; i < 40; i++) {
      auto *p = static_cast<unsigned char *>(stg_calloc(area, size));
      for (size_t j = 0; j < size; j++) EXPECT_EQ(p[j], 0) << size;
      if (p == record) seen++;
    }
    return seen;
  };
  EXPECT_EQ(count_of(24, a) + count_of(24, b), 0);  // other sizes never take them
  EXPECT_EQ(count_of(13, a), 1);
  EXPECT_EQ(count_of(40, b), 1);
  stg_give_back(area, stg_alloc(area, 1000), 1000);  // too large to keep: stays in its block
  stg_give_back(STG_AREA_HEAP, stg_malloc(16), 16);
  stg_delete_area(&area);
}

TEST(StgArea, AnEmptiedAreaStartsAgainInOneBlockOfItsSize) {
  stg_area_t area = stg_create_area(256);
  stg_empty_area(area);  // never used: nothing to keep
  EXPECT_NE(stg_alloc(area, 8), nullptr);
  stg_empty_area(area);
  stg_alloc(area, 16);
  void *given = stg_alloc(area, 32);
  stg_give_back(area, given, 32);
  for (int i = 0; i < 20; i++) std::memset(stg_alloc(area, 100), 'x', 100);  // more blocks
  std::memset(stg_alloc(area, 1000), 'y', 1000);  // a block of its own
  stg_empty_area(area);
  // What was given back went with the rest; the kept block serves from its start again.
  auto *one = static_cast<char *>(stg_alloc(area, 32));
  EXPECT_NE(one, given);
  EXPECT_EQ(stg_alloc(area, 32), one + 32);
  auto *fresh = static_cast<unsigned char *>(stg_calloc(area, 200));
  for (int i = 0; i < 200; i++) EXPECT_EQ(fresh[i], 0);
  stg_empty_area(STG_AREA_HEAP);
  stg_empty_area(STG_AREA_NULL);
  stg_delete_area(&area);
}

// An area's number names it while it lives; the heap is 0; a deleted area's number goes to a
// later area, which it then names.
TEST(StgArea, NumbersNameLiveAreas) {
  EXPECT_EQ(stg_area_number(STG_AREA_HEAP), 0u);
  EXPECT_EQ(stg_area_of_number(0), STG_AREA_HEAP);
  std::vector<stg_area_t> areas;
  std::set<uint32_t> numbers;
  for (int i = 0; i < 100; i++) {
    areas.push_back(stg_create_area(256));
    ASSERT_NE(areas.back(), STG_AREA_NULL);
    numbers.insert(stg_area_number(areas.back()));
  }
  EXPECT_EQ(numbers.size(), areas.size());
  EXPECT_EQ(numbers.count(0), 0u);
  for (stg_area_t a : areas) EXPECT_EQ(stg_area_of_number(stg_area_number(a)), a);
  // Every other area goes; as many new ones take the numbers given up, and all still map.
  std::set<uint32_t> freed;
  for (size_t i = 0; i < areas.size(); i += 2) {
    freed.insert(stg_area_number(areas[i]));
    stg_delete_area(&areas[i]);
  }
  for (size_t i = 0; i < areas.size(); i += 2) {
    areas[i] = stg_create_area(256);
    EXPECT_EQ(freed.count(stg_area_number(areas[i])), 1u);
  }
  for (stg_area_t a : areas) EXPECT_EQ(stg_area_of_number(stg_area_number(a)), a);
  for (stg_area_t &a : areas) stg_delete_area(&a);
}
