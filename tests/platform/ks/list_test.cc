#include "ks/list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
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


// Removing cells at the head, in the middle and at the tail, during a walk and outside one,
// leaves a list whose order, length and tail (seen by the next append) are right.
TEST_P(ListTest, RemovalsKeepOrderAndTail) {
  struct Case {
    std::vector<intptr_t> remove;  // values removed while walking
    std::vector<intptr_t> left;
  };
  const Case cases[] = {
      {{1}, {2, 3, 4, 9}},
      {{4}, {1, 2, 3, 9}},
      {{2, 3}, {1, 4, 9}},
      {{1, 2, 3, 4}, {9}},
      {{1, 3}, {2, 4, 9}},
  };
  for (const Case &tc : cases) {
    list_handle_t l = list_create(GetParam() ? area_ : STG_AREA_HEAP, 0);
    for (intptr_t v = 1; v <= 4; v++) list_append(l, w(v));
    void *d;
    for (list_cursor_t c = list_next(l, nullptr, &d); c;) {
      bool drop = std::find(tc.remove.begin(), tc.remove.end(), intptr_t(d)) != tc.remove.end();
      c = drop ? list_remove(l, c) : list_next(l, c, nullptr);
      if (c) d = list_get_data(l, c);
    }
    list_append(l, w(9));
    EXPECT_EQ(contents(l), tc.left);
    EXPECT_EQ(list_length(l), tc.left.size());
    list_destroy(l);
  }
}

// Inserting in front of a cell or removing it works when the last walk stood elsewhere.
TEST_P(ListTest, CursorUseAwayFromTheLastWalk) {
  for (intptr_t v = 1; v <= 5; v++) list_append(list_, w(v));
  list_cursor_t c2 = list_next(list_, list_next(list_, nullptr, nullptr), nullptr);
  list_cursor_t c4 = list_next(list_, list_next(list_, c2, nullptr), nullptr);
  list_next(list_, nullptr, nullptr);  // the walk now stands at the head
  list_cursor_t after = list_remove(list_, c4);
  EXPECT_EQ(list_get_data(list_, after), w(5));
  list_insert(list_, c2, w(7));
  list_next(list_, c2, nullptr);
  list_cursor_t tail = list_next(list_, list_next(list_, c2, nullptr), nullptr);
  EXPECT_EQ(list_remove(list_, tail), nullptr);
  list_append(list_, w(8));
  EXPECT_EQ(contents(list_), (std::vector<intptr_t>{1, 7, 2, 3, 8}));
  while (!LIST_IS_EMPTY(list_)) list_remove(list_, list_next(list_, nullptr, nullptr));
  EXPECT_EQ(list_next(list_, nullptr, nullptr), nullptr);
  list_insert_after(list_, nullptr, w(6));
  EXPECT_EQ(contents(list_), (std::vector<intptr_t>{6}));
}

TEST_P(ListTest, NoAttributeBlockUnlessAskedFor) {
  EXPECT_EQ(list_get_attrs(list_), nullptr);
  int v = 1;
  list_set_attrs(list_, &v);  // nothing to copy into
  list_handle_t l = list_create(GetParam() ? area_ : STG_AREA_HEAP, 40);
  auto *attrs = static_cast<unsigned char *>(list_get_attrs(l));
  ASSERT_NE(attrs, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(attrs) % alignof(void *), 0u);
  EXPECT_TRUE(std::all_of(attrs, attrs + 40, [](unsigned char b) { return b == 0; }));
  list_append(l, w(1));  // cells do not overlap the block
  EXPECT_TRUE(std::all_of(attrs, attrs + 40, [](unsigned char b) { return b == 0; }));
  list_destroy(l);
}

// The attribute block of every size keeps its bytes while the list grows and shrinks.
TEST_P(ListTest, AttributeBlocksKeepTheirBytes) {
  for (size_t size : {size_t(1), size_t(7), size_t(8), size_t(24), size_t(100)}) {
    list_handle_t l = list_create(GetParam() ? area_ : STG_AREA_HEAP, size);
    auto *attrs = static_cast<unsigned char *>(list_get_attrs(l));
    ASSERT_NE(attrs, nullptr) << size;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(attrs) % alignof(void *), 0u) << size;
    std::vector<unsigned char> given(size);
    for (size_t i = 0; i < size; i++) given[i] = static_cast<unsigned char>(0xa0 + i);
    list_set_attrs(l, given.data());
    for (intptr_t v = 1; v <= 50; v++) list_append(l, w(v));
    for (list_cursor_t c = list_next(l, nullptr, nullptr); c != nullptr;)
      c = reinterpret_cast<intptr_t>(list_get_data(l, c)) % 3 == 0 ? list_remove(l, c)
                                                                    : list_next(l, c, nullptr);
    EXPECT_EQ(list_length(l), 34u) << size;
    EXPECT_TRUE(std::equal(given.begin(), given.end(), attrs)) << size;
    list_destroy(l);
  }
}

INSTANTIATE_TEST_SUITE_P(HeapAndArea, ListTest, ::testing::Bool());

// A list keeps its area while other areas come and go: one made in an area that took the number
// of a deleted one takes its cells from its own area (AddressSanitizer reports a cell of the
// wrong area once that area is deleted).
TEST(ListArea, ListsKeepTheirAreaWhileOthersComeAndGo) {
  stg_area_t kept = stg_create_area(256);
  stg_area_t gone = stg_create_area(256);
  list_handle_t in_kept = list_create(kept, 0);
  stg_delete_area(&gone);
  stg_area_t later = stg_create_area(256);
  list_handle_t in_later = list_create(later, 0);
  for (intptr_t v = 1; v <= 40; v++) {
    list_append(in_kept, w(v));
    list_append(in_later, w(-v));
  }
  stg_delete_area(&later);
  std::vector<intptr_t> want;
  for (intptr_t v = 1; v <= 40; v++) want.push_back(v);
  EXPECT_EQ(contents(in_kept), want);
  list_handle_t heap = list_create(STG_AREA_HEAP, 0);
  list_append(heap, w(1));
  EXPECT_EQ(contents(heap), (std::vector<intptr_t>{1}));
  list_destroy(heap);
  stg_delete_area(&kept);
}

// The cells a list of an area gives up serve the next cells of any list of that area: names moved
// from list to list over and over take no more memory than the lists hold at once.
TEST(ListArea, RemovedCellsServeTheAreasNextLists) {
  stg_area_t area = stg_create_area(512);
  list_handle_t lists[2] = {list_create(area, 0), list_create(area, 0)};
  std::set<list_cursor_t> cells;
  for (intptr_t v = 1; v <= 100; v++) list_append(lists[0], w(v));
  for (int round = 0; round < 20; round++) {
    list_handle_t from = lists[round % 2], to = lists[1 - round % 2];
    for (list_cursor_t c = list_next(from, nullptr, nullptr); c != nullptr;
         c = list_remove(from, c))
      list_append(to, list_get_data(from, c));
    for (list_cursor_t c = list_next(to, nullptr, nullptr); c != nullptr;
         c = list_next(to, c, nullptr))
      cells.insert(c);
    ASSERT_EQ(contents(to).size(), 100u);
    ASSERT_TRUE(LIST_IS_EMPTY(from));
  }
  // The 100 cells in use, and the one the first move took before a cell was given back.
  EXPECT_LE(cells.size(), 101u);
  stg_delete_area(&area);
}

// Cells removed through cursors kept from an earlier walk, in any order and wherever they stand,
// leave a list whose walks, length, appends and insertions see only the cells left.
TEST_P(ListTest, RemovalsThroughKeptCursors) {
  struct Case {
    std::vector<size_t> remove;  // positions among 1..6, in the order removed
    std::vector<intptr_t> left;
  };
  const Case cases[] = {
      {{5}, {1, 2, 3, 4, 6}},
      {{5, 6}, {1, 2, 3, 4}},
      {{6, 5}, {1, 2, 3, 4}},
      {{2, 3, 4}, {1, 5, 6}},
      {{4, 3, 2, 1}, {5, 6}},
      {{2, 1}, {3, 4, 5, 6}},
      {{6, 1, 3}, {2, 4, 5}},
      {{2, 3, 4, 5, 6, 1}, {}},
  };
  for (const Case &tc : cases) {
    list_handle_t l = list_create(GetParam() ? area_ : STG_AREA_HEAP, 0);
    std::vector<list_cursor_t> at;
    for (intptr_t v = 1; v <= 6; v++) list_append(l, w(v));
    for (list_cursor_t c = list_next(l, nullptr, nullptr); c; c = list_next(l, c, nullptr))
      at.push_back(c);
    for (size_t p : tc.remove) list_remove(l, at[p - 1]);
    EXPECT_EQ(list_length(l), tc.left.size());
    EXPECT_EQ(contents(l), tc.left);
    std::vector<intptr_t> want = tc.left;
    list_append(l, w(9));
    want.push_back(9);
    list_insert(l, nullptr, w(0));
    want.insert(want.begin(), 0);
    // In front of and behind the last cell left of the first six.
    list_cursor_t last = nullptr;
    void *d;
    for (list_cursor_t c = list_next(l, nullptr, &d); c; c = list_next(l, c, &d))
      if (d != w(0) && d != w(9)) last = c;
    if (last != nullptr) {
      list_insert(l, last, w(7));
      list_insert_after(l, last, w(8));
      want.insert(want.end() - 2, 7);
      want.insert(want.end() - 1, 8);
    }
    EXPECT_EQ(contents(l), want);
    list_concat(l, l);
    std::vector<intptr_t> twice = want;
    twice.insert(twice.end(), want.begin(), want.end());
    EXPECT_EQ(contents(l), twice);
    EXPECT_EQ(list_length(l), twice.size());
    list_destroy(l);
  }
}

// Cells removed away from the head go back to the area once a walk has passed them: lists that
// lose and regain cells that way take no more cells than they hold at once.
TEST(ListArea, CellsRemovedBehindTheHeadServeTheNextCells) {
  stg_area_t area = stg_create_area(512);
  list_handle_t l = list_create(area, 0);
  std::set<list_cursor_t> cells;
  for (intptr_t v = 0; v < 100; v++) list_append(l, w(v));
  for (int round = 0; round < 20; round++) {
    std::vector<list_cursor_t> odd;
    void *d;
    for (list_cursor_t c = list_next(l, nullptr, &d); c; c = list_next(l, c, &d)) {
      cells.insert(c);
      if (reinterpret_cast<intptr_t>(d) % 2 != 0) odd.push_back(c);
    }
    for (list_cursor_t c : odd) list_remove(l, c);
    ASSERT_EQ(list_length(l), 50u);
    for (list_cursor_t c = list_next(l, nullptr, nullptr); c; c = list_next(l, c, nullptr)) {
    }
    for (intptr_t v = 0; v < 50; v++) list_append(l, w(2 * v + 1));
  }
  EXPECT_LE(cells.size(), 100u);
  stg_delete_area(&area);
}

// Lists of every kind (a heap list, a list in an area, packed lists with room for fewer, as many
// and more data than they get) go through the same long run of appends, insertions, removals and
// changes of data at cursors kept from walks, checked against a model after each step: a walk
// gives the model's data in order, each kept cursor gives its datum and is the very cursor a walk
// returns for it.
TEST(ListKinds, EveryChangeAtKeptCursorsMatchesAModel) {
  struct Kind {
    const char *name;
    bool heap;
    size_t room;  // 0: an ordinary list
  };
  const Kind kinds[] = {{"heap", true, 0},   {"area", false, 0},      {"packed 1", false, 1},
                        {"packed 3", false, 3}, {"packed 8", false, 8}, {"packed 40", false, 40}};
  for (const Kind &k : kinds) {
    for (unsigned seed = 1; seed <= 6; seed++) {
      stg_area_t area = stg_create_area(512);
      stg_area_t where = k.heap ? STG_AREA_HEAP : area;
      list_handle_t l = list_create_packed(where, k.room);
      ASSERT_NE(l, LIST_HANDLE_NULL);
      struct Item {
        intptr_t value;
        list_cursor_t cursor;  // null until a walk has handed it out
      };
      std::vector<Item> model;
      intptr_t next_value = 1;
      uint32_t state = seed * 2654435761u;
      auto draw = [&](uint32_t n) {
        state = state * 1664525u + 1013904223u;
        return n == 0 ? 0u : (state >> 8) % n;
      };
      auto walk = [&]() {
        std::vector<Item> seen;
        void *d;
        for (list_cursor_t c = list_next(l, nullptr, &d); c; c = list_next(l, c, &d))
          seen.push_back({reinterpret_cast<intptr_t>(d), c});
        return seen;
      };
      // Positions whose cursor a walk has handed out.
      auto kept = [&]() {
        std::vector<size_t> at;
        for (size_t i = 0; i < model.size(); i++)
          if (model[i].cursor != nullptr) at.push_back(i);
        return at;
      };
      for (int step = 0; step < 300; step++) {
        const std::vector<size_t> at = kept();
        const uint32_t op = draw(at.empty() ? 3 : 8);
        const intptr_t v = next_value++;
        if (op == 0 || (op == 1 && !model.empty())) {
          ASSERT_EQ(list_append(l, w(v)), 0);
          model.push_back({v, nullptr});
        } else if (op == 1) {
          ASSERT_EQ(list_insert(l, nullptr, w(v)), 0);
          model.insert(model.begin(), {v, nullptr});
        } else if (op == 2) {
          ASSERT_EQ(list_insert_after(l, nullptr, w(v)), 0);
          model.insert(model.begin(), {v, nullptr});
        } else {
          const size_t i = at[draw(uint32_t(at.size()))];
          list_cursor_t c = model[i].cursor;
          if (op == 3) {
            ASSERT_EQ(list_insert(l, c, w(v)), 0);
            model.insert(model.begin() + long(i), {v, nullptr});
          } else if (op == 4) {
            ASSERT_EQ(list_insert_after(l, c, w(v)), 0);
            model.insert(model.begin() + long(i) + 1, {v, nullptr});
          } else if (op == 5) {
            list_set_data(l, c, w(v));
            model[i].value = v;
          } else {
            list_cursor_t after = list_remove(l, c);
            model.erase(model.begin() + long(i));
            if (i < model.size()) {
              ASSERT_NE(after, nullptr);
              EXPECT_EQ(list_get_data(l, after), w(model[i].value));
              model[i].cursor = after;
            } else {
              EXPECT_EQ(after, nullptr);
            }
          }
        }
        const std::vector<Item> seen = walk();
        ASSERT_EQ(seen.size(), model.size()) << k.name << " seed " << seed << " step " << step;
        ASSERT_EQ(list_length(l), model.size());
        for (size_t i = 0; i < model.size(); i++) {
          ASSERT_EQ(seen[i].value, model[i].value) << k.name << " step " << step << " at " << i;
          if (model[i].cursor != nullptr) {
            ASSERT_EQ(seen[i].cursor, model[i].cursor) << k.name << " step " << step;
            ASSERT_EQ(list_get_data(l, model[i].cursor), w(model[i].value));
          }
          // Every few steps the walk hands out more cursors to keep.
          if (draw(4) == 0) model[i].cursor = seen[i].cursor;
        }
      }
      std::vector<intptr_t> want;
      for (const Item &it : model) want.push_back(it.value);
      list_concat(l, l);
      std::vector<intptr_t> twice = want;
      twice.insert(twice.end(), want.begin(), want.end());
      EXPECT_EQ(contents(l), twice) << k.name;
      list_destroy(l);
      stg_delete_area(&area);
    }
  }
}

// A packed list that only grows by appends keeps its data in its own block: the data of a
// rule's dependency list take a word each, not a cell each, in the area.
TEST(ListKinds, APackedListThatOnlyGrowsTakesNoCells) {
  for (size_t room : {size_t(1), size_t(5), size_t(64)}) {
    stg_area_t area = stg_create_area(64 * 1024);
    list_handle_t packed = list_create_packed(area, room);
    // The area's next allocation shows how much the list took.
    auto *before = static_cast<char *>(stg_alloc(area, 8));
    for (size_t i = 0; i < room; i++) list_append(packed, w(intptr_t(i) + 1));
    auto *after = static_cast<char *>(stg_alloc(area, 8));
    EXPECT_EQ(after - before, 8) << room;
    EXPECT_EQ(list_length(packed), room);
    list_append(packed, w(-1));  // beyond its room: the data get cells
    std::vector<intptr_t> want;
    for (size_t i = 0; i < room; i++) want.push_back(intptr_t(i) + 1);
    want.push_back(-1);
    EXPECT_EQ(contents(packed), want);
    stg_delete_area(&area);
  }
}
