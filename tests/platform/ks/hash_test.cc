#include "ks/hash.h"

#include <gtest/gtest.h>

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

  EXPECT_TRUE(hash_str_remove(t, expected[0].c_str()));
  EXPECT_FALSE(hash_str_remove(t, expected[0].c_str()));
  expected.erase(expected.begin());
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
