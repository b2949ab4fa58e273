#include "ks/hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<std::string> keys_in_order(hash_ht_t t) {
  std::vector<std::string> keys;
  const char *key;
  for (hash_cursor_t c = hash_str_next_in_order(t, nullptr, &key, nullptr); c;
       c = hash_str_next_in_order(t, c, &key, nullptr))
    keys.push_back(key);
  return keys;
}

}  // namespace

TEST(HashStr, EnterLookupAndInsertionOrderAcrossGrowth) {
  hash_ht_t t = hash_str_create(1, sizeof(int), 1);
  hash_set_order(t);
  std::vector<std::string> expected;
  for (int i = 0; i < 1000; i++) {
    std::string key = "k" + std::to_string((i * 7919) % 1000);
    void *data;
    ASSERT_EQ(hash_str_enter(t, key.c_str(), nullptr, &data), 0);
    EXPECT_EQ(*static_cast<int *>(data), 0);  // new slots are zero-filled
    *static_cast<int *>(data) = i;
    expected.push_back(key);
  }
  EXPECT_EQ(keys_in_order(t), expected);
  EXPECT_EQ(hash_count(t), 1000u);

  // Re-entering a key keeps its place and its slot.
  void *data;
  const char *stored_key;
  EXPECT_NE(hash_str_enter(t, expected[10].c_str(), &stored_key, &data), 0);
  EXPECT_EQ(*static_cast<int *>(data), 10);
  EXPECT_STREQ(stored_key, expected[10].c_str());
  EXPECT_EQ(keys_in_order(t), expected);

  EXPECT_TRUE(hash_str_lookup(t, "k999", nullptr, &data));
  EXPECT_FALSE(hash_str_lookup(t, "k1000", nullptr, &data));

  // A key just found and then removed is gone, and entered again it is a new entry.
  ASSERT_TRUE(hash_str_lookup(t, expected[0].c_str(), nullptr, &data));
  EXPECT_TRUE(hash_str_remove(t, expected[0].c_str()));
  EXPECT_FALSE(hash_str_lookup(t, expected[0].c_str(), nullptr, &data));
  EXPECT_FALSE(hash_str_remove(t, expected[0].c_str()));
  const std::string first = expected[0];
  expected.erase(expected.begin());
  EXPECT_EQ(keys_in_order(t), expected);
  ASSERT_EQ(hash_str_enter(t, first.c_str(), nullptr, &data), 0);
  EXPECT_EQ(*static_cast<int *>(data), 0);
  expected.push_back(first);
  EXPECT_EQ(keys_in_order(t), expected);

  hash_delete_ht(&t);
  EXPECT_EQ(t, HASH_HT_NULL);
}

TEST(HashStr, EmptyKeyAndEmptyTableWalk) {
  hash_ht_t t = hash_str_create(16, 8, 1);
  EXPECT_EQ(hash_str_next(t, nullptr, nullptr, nullptr), nullptr);
  void *data;
  EXPECT_EQ(hash_str_enter(t, "", nullptr, &data), 0);
  EXPECT_TRUE(hash_str_lookup(t, "", nullptr, nullptr));
  hash_delete_ht(&t);
}

// Entries removed and entered while a walk goes on: the walk sees every entry that stays, in
// insertion order, however often the order is compacted under it.
TEST(HashStr, WalkSurvivesChurnAroundIt) {
  hash_ht_t t = hash_str_create(8, 0, 1);
  for (int i = 0; i < 200; i++) hash_str_enter(t, ("a" + std::to_string(i)).c_str(), nullptr, nullptr);
  std::vector<std::string> seen;
  const char *key;
  int added = 0;
  for (hash_cursor_t c = hash_str_next_in_order(t, nullptr, &key, nullptr); c;
       c = hash_str_next_in_order(t, c, &key, nullptr)) {
    seen.push_back(key);
    // Drop the next three originals and add two new entries at the end.
    int i = std::stoi(std::string(key).substr(1));
    if (key[0] == 'a' && i % 4 == 0) {
      for (int j = 1; j <= 3; j++) hash_str_remove(t, ("a" + std::to_string(i + j)).c_str());
      for (int j = 0; j < 2; j++)
        hash_str_enter(t, ("b" + std::to_string(added++)).c_str(), nullptr, nullptr);
    }
  }
  std::vector<std::string> expected;
  for (int i = 0; i < 200; i += 4) expected.push_back("a" + std::to_string(i));
  for (int i = 0; i < added; i++) expected.push_back("b" + std::to_string(i));
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(keys_in_order(t), expected);
  EXPECT_EQ(hash_count(t), expected.size());
  hash_delete_ht(&t);
}

// Removing everything and entering again, many times over, keeps lookups and order right.
TEST(HashStr, RepeatedEmptyingAndRefilling) {
  hash_ht_t t = hash_str_create(8, sizeof(double), 1);
  for (int round = 0; round < 5; round++) {
    std::vector<std::string> keys;
    for (int i = 0; i < 300; i++) {
      keys.push_back("r" + std::to_string(round) + "-" + std::to_string(i));
      void *data;
      ASSERT_EQ(hash_str_enter(t, keys.back().c_str(), nullptr, &data), 0);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % alignof(void *), 0u);
      *static_cast<double *>(data) = i;
    }
    EXPECT_EQ(keys_in_order(t), keys);
    void *data;
    ASSERT_TRUE(hash_str_lookup(t, keys[123].c_str(), nullptr, &data));
    EXPECT_EQ(*static_cast<double *>(data), 123);
    for (size_t i = 0; i < keys.size(); i += 2) EXPECT_TRUE(hash_str_remove(t, keys[i].c_str()));
    // The keys that share a bucket with a removed one are still found; the removed are not.
    for (size_t i = 0; i < keys.size(); i++)
      EXPECT_EQ(hash_str_lookup(t, keys[i].c_str(), nullptr, nullptr) != 0, i % 2 == 1) << keys[i];
    for (size_t i = 1; i < keys.size(); i += 2) EXPECT_TRUE(hash_str_remove(t, keys[i].c_str()));
    EXPECT_EQ(hash_count(t), 0u);
    EXPECT_EQ(hash_str_next_in_order(t, nullptr, nullptr, nullptr), nullptr);
  }
  hash_delete_ht(&t);
}

// Keys of very different lengths, long ones included, survive removal and re-entry with their
// slots zero-filled again; the table frees them all when deleted.
TEST(HashStr, KeysOfEveryLength) {
  hash_ht_t t = hash_str_create(8, 24, 1);
  std::vector<std::string> keys;
  for (size_t n : {0, 1, 15, 16, 17, 1000, 1100, 5000}) keys.push_back(std::string(n, 'k'));
  for (int round = 0; round < 3; round++) {
    for (const std::string &k : keys) {
      void *data;
      ASSERT_EQ(hash_str_enter(t, k.c_str(), nullptr, &data), 0);
      auto *bytes = static_cast<unsigned char *>(data);
      EXPECT_TRUE(std::all_of(bytes, bytes + 24, [](unsigned char b) { return b == 0; }));
      std::fill(bytes, bytes + 24, 0xff);
    }
    for (const std::string &k : keys) {
      const char *stored;
      ASSERT_TRUE(hash_str_lookup(t, k.c_str(), &stored, nullptr));
      EXPECT_EQ(stored, k);
    }
    for (const std::string &k : keys) EXPECT_TRUE(hash_str_remove(t, k.c_str()));
  }
  for (const std::string &k : keys) hash_str_enter(t, k.c_str(), nullptr, nullptr);
  EXPECT_EQ(keys_in_order(t), keys);
  hash_delete_ht(&t);
}

// A table with or without an order, with or without data, finds every key across growth and
// removals (keys of every short length, so that entries of each size are given back and taken
// again), walks each key left exactly once, gives the key of a data slot, and frees long keys
// when deleted (a leak or a double free fails under AddressSanitizer).
TEST(HashStr, OrderedAndUnorderedTablesHoldTheSameKeys) {
  struct Case {
    bool unordered;
    size_t data_size;
  };
  for (const Case &tc : {Case{false, sizeof(int)}, Case{true, sizeof(int)}, Case{false, 0},
                        Case{true, 0}}) {
    SCOPED_TRACE(std::string(tc.unordered ? "unordered" : "ordered") + ", data " +
                 std::to_string(tc.data_size));
    hash_ht_t t = hash_str_create(8, tc.data_size, 1);
    if (tc.unordered) hash_set_unordered(t);
    std::vector<std::string> left;
    for (int i = 0; i < 3000; i++) {
      std::string key = (i % 500 == 0 ? std::string(1500, 'x') : std::string(i % 19, 'k')) +
                        std::to_string(i);
      void *data;
      ASSERT_EQ(hash_str_enter(t, key.c_str(), nullptr, &data), 0);
      if (tc.data_size > 0) *static_cast<int *>(data) = i;
      EXPECT_STREQ(hash_str_key_of(t, data), key.c_str());
      if (i % 3 == 0) {
        EXPECT_TRUE(hash_str_remove(t, key.c_str()));
      } else {
        left.push_back(key);
      }
    }
    for (const std::string &k : left) {
      void *data;
      ASSERT_TRUE(hash_str_lookup(t, k.c_str(), nullptr, &data)) << k;
      EXPECT_EQ(hash_str_enter(t, k.c_str(), nullptr, nullptr), 1);
    }
    std::vector<std::string> walked;
    const char *key;
    for (hash_cursor_t c = hash_str_next(t, nullptr, &key, nullptr); c;
         c = hash_str_next(t, c, &key, nullptr))
      walked.push_back(key);
    if (!tc.unordered) {
      EXPECT_EQ(walked, left);
    }
    std::sort(walked.begin(), walked.end());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(walked, left);
    EXPECT_EQ(hash_count(t), left.size());
    hash_delete_ht(&t);
  }
}

// An ordered table's newest entry, removed, gives its room back to the next entry (as a key
// entered and dropped at once after a failure is, over and over); after an older one is removed
// the walks keep the order of insertion.
TEST(HashStr, OrderedTablesGiveBackOnlyTheNewestEntrysRoom) {
  struct Case {
    size_t data_size;
    size_t key_length;  // long keys take blocks of their own
  };
  for (const Case &tc : {Case{sizeof(int), 3}, Case{0, 3}, Case{16, 2000}}) {
    SCOPED_TRACE("data " + std::to_string(tc.data_size) + ", key " +
                 std::to_string(tc.key_length));
    hash_ht_t t = hash_str_create(8, tc.data_size, 1);
    auto key = [&](char c) { return std::string(tc.key_length, c); };
    auto enter = [&](char c) {
      const char *stored = nullptr;
      EXPECT_EQ(hash_str_enter(t, key(c).c_str(), &stored, nullptr), 0);
      return stored;
    };
    enter('a');
    enter('b');
    for (int i = 0; i < 100; i++) {
      const char *c = enter('c');
      EXPECT_TRUE(hash_str_remove(t, key('c').c_str()));
      EXPECT_EQ(enter('d'), c);  // the room of c, given back
      EXPECT_TRUE(hash_str_remove(t, key('d').c_str()));
    }
    enter('c');
    EXPECT_TRUE(hash_str_remove(t, key('b').c_str()));
    enter('e');
    EXPECT_EQ(keys_in_order(t), (std::vector<std::string>{key('a'), key('c'), key('e')}));
    enter('b');
    EXPECT_EQ(keys_in_order(t), (std::vector<std::string>{key('a'), key('c'), key('e'), key('b')}));
    hash_delete_ht(&t);
  }
}
