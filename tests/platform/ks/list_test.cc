#include "ks/list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

std::vector<intptr_t> contents(list_handle_t l) {
  std::vector<intptr_t> out;
  void *d;
  for (list_cursor_t c = list_next(l, nullptr, &d); c; c = list_next(l, c, &d))
    out.push_back(reinterpret_cast<intptr_t>(d));
  return out;
}

void *w(intptr_t v) { return reinterpret_cast<void *>(v); }

}  // namespace

// The same operations on a heap list and on a list in an area.
class ListTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) area_ = stg_create_area(512);
    list_ = list_create(GetParam() ? area_ : STG_AREA_HEAP, 0);
    ASSERT_NE(list_, LIST_HANDLE_NULL);
  }
  void TearDown() override {
    list_destroy(list_);
    stg_delete_area(&area_);
  }
  stg_area_t area_ = STG_AREA_NULL;
  list_handle_t list_ = LIST_HANDLE_NULL;
};

TEST_P(ListTest, InsertRemoveConcat) {
  EXPECT_TRUE(LIST_IS_EMPTY(list_));
  list_append(list_, w(2));
  list_append(list_, w(4));
  list_insert(list_, nullptr, w(1));  // head
  list_cursor_t c4 = nullptr;
  void *d;
  for (list_cursor_t c = list_next(list_, nullptr, &d); c; c = list_next(list_, c, &d))
    if (d == w(4)) c4 = c;
  list_insert(list_, c4, w(3));        // in front of 4
  list_insert_after(list_, c4, w(5));  // behind 4
  EXPECT_EQ(contents(list_), (std::vector<intptr_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(list_length(list_), 5u);

  list_cursor_t next = list_remove(list_, c4);
  EXPECT_EQ(list_get_data(list_, next), w(5));
  EXPECT_EQ(contents(list_), (std::vector<intptr_t>{1, 2, 3, 5}));

  list_concat(list_, list_);  // appending a list to itself doubles it once
  EXPECT_EQ(contents(list_), (std::vector<intptr_t>{1, 2, 3, 5, 1, 2, 3, 5}));
}

TEST_P(ListTest, AttributeBlock) {
  list_handle_t l = list_create(GetParam() ? area_ : STG_AREA_HEAP, sizeof(int));
  EXPECT_EQ(*static_cast<int *>(list_get_attrs(l)), 0);
  int v = 42;
  list_set_attrs(l, &v);
  EXPECT_EQ(*static_cast<int *>(list_get_attrs(l)), 42);
  list_destroy(l);
}

INSTANTIATE_TEST_SUITE_P(HeapAndArea, ListTest, ::testing::Bool());
