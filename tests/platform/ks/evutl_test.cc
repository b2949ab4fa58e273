// Environment blocks handed to children.
#include "ks/evutl.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> entries(evutl_env_t *env) {
  std::vector<std::string> out;
  for (char **e = evutl_env2environ(env); e && *e; ++e) out.emplace_back(*e);
  return out;
}

TEST(EvutlTest, BlockOperations) {
  setenv("EVUTL_TEST_A", "1", 1);
  evutl_env_t *env = nullptr;
  ASSERT_EQ(evutl_copy_default_environ(EVUTL_DEFAULT_ENV, &env), KS_ST_OK);
  EXPECT_STREQ(evutl_getenv(env, "EVUTL_TEST_A"), "1");
  EXPECT_EQ(evutl_getenv(env, "EVUTL_TEST"), nullptr) << "a prefix of a name is not the name";
  struct Step {
    const char *name;
    const char *value;
    ks_status_t status;
  } steps[] = {
      {"EVUTL_TEST_A", "2", KS_ST_OK},          // replaces
      {"EVUTL_TEST_B=x=y", nullptr, KS_ST_OK},  // a whole entry
      {"EVUTL_TEST_C", "", KS_ST_OK},           // an empty value is a value
      {"NOEQUALS", nullptr, KS_ST_ERR},
  };
  for (const auto &s : steps) EXPECT_EQ(evutl_setenv(env, s.name, s.value), s.status) << s.name;
  EXPECT_STREQ(evutl_getenv(env, "EVUTL_TEST_A"), "2");
  EXPECT_STREQ(evutl_getenv(env, "EVUTL_TEST_B"), "x=y");
  EXPECT_STREQ(evutl_getenv(env, "EVUTL_TEST_C"), "");
  int count_a = 0;
  for (const auto &e : entries(env)) count_a += e.rfind("EVUTL_TEST_A=", 0) == 0;
  EXPECT_EQ(count_a, 1);
  EXPECT_EQ(evutl_unsetenv(env, "EVUTL_TEST_A"), KS_ST_OK);
  EXPECT_EQ(evutl_unsetenv(env, "EVUTL_TEST_A"), KS_ST_OK);
  EXPECT_EQ(evutl_getenv(env, "EVUTL_TEST_A"), nullptr);
  EXPECT_EQ(evutl_setenv(nullptr, "X", "1"), KS_ST_ERR);

  // An override is what the next copies start from, until restored.
  ASSERT_EQ(evutl_override_default_environ(env), KS_ST_OK);
  evutl_env_t *copy = nullptr;
  ASSERT_EQ(evutl_copy_default_environ(EVUTL_DEFAULT_ENV, &copy), KS_ST_OK);
  EXPECT_STREQ(evutl_getenv(copy, "EVUTL_TEST_B"), "x=y");
  EXPECT_EQ(evutl_getenv(copy, "EVUTL_TEST_A"), nullptr);
  evutl_free(copy);
  evutl_restore_default_environ();
  ASSERT_EQ(evutl_copy_default_environ(EVUTL_DEFAULT_ENV, &copy), KS_ST_OK);
  EXPECT_STREQ(evutl_getenv(copy, "EVUTL_TEST_A"), "1");
  evutl_free(copy);
  evutl_free(env);
  unsetenv("EVUTL_TEST_A");
}

}  // namespace
