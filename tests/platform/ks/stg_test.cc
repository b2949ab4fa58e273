#include "ks/stg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

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
