#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

#include "tbs/tbs_oid.h"
#include "tbs/tbs_product.h"
#include "tbs/tbs_status.h"

namespace {

tbs_oid_t sample_oid() {
  tbs_oid_t oid;
  for (int i = 0; i < 16; i++) oid.bytes[i] = uint8_t(i * 17 + 1);
  return oid;
}

TEST(TbsOid, TextFormRoundTripsAndParsesEverySpelling) {
  tbs_oid_t oid = sample_oid();
  std::string text = tbs_oid_to_str(&oid);
  EXPECT_EQ(text, "01122334.45566778.899aabbc.cddeef00");
  struct Case {
    const char *text;
    bool ok;
  } cases[] = {
      {"01122334.45566778.899aabbc.cddeef00", true},
      {"01122334-4556-6778-899a-abbccddeef00", true},
      {"0112233445566778899AABBCCDDEEF00", true},
      {"01122334.45566778.899aabbc.cddeef0", false},     // a digit short
      {"01122334.45566778.899aabbc.cddeef0000", false},  // a byte too many
      {"01122334.45566778.899aabbc.cdddeefg", false},    // not hexadecimal
      {".01122334.45566778.899aabbc.cddeef00", false},
      {"", false},
  };
  for (const Case &c : cases) {
    tbs_oid_t parsed = TBS_OID_NULL;
    EXPECT_EQ(tbs_oid_from_str(c.text, &parsed) == KS_ST_OK, c.ok) << c.text;
    if (c.ok) EXPECT_TRUE(tbs_oid_eq(&parsed, &oid)) << c.text;
    else EXPECT_TRUE(tbs_oid_is_null(&parsed)) << c.text;
  }
  EXPECT_EQ(tbs_oid_from_str(nullptr, &oid), KS_ST_ERR);
}

TEST(TbsOid, SeveralTextsCanBeUsedInOneMessage) {
  tbs_oid_t a = sample_oid(), b = TBS_OID_NULL;
  tbs_uuid_t u = tbs_oid_to_uuid(&a);
  char line[200];
  std::snprintf(line, sizeof line, "%s %s %s", tbs_oid_to_str(&a), tbs_oid_to_str(&b), tbs_uuid_to_str(&u));
  EXPECT_STREQ(line,
               "01122334.45566778.899aabbc.cddeef00 00000000.00000000.00000000.00000000 "
               "01122334.45566778.899aabbc.cddeef00");
  char key[TBS_OID_STR_SIZE];
  EXPECT_STREQ(tbs_oid_to_dstr(&a, key), "01122334.45566778.899aabbc.cddeef00");
}

TEST(TbsOid, NewUuidsAreRandomVersionFourAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; i++) {
    tbs_uuid_t u;
    ASSERT_EQ(tbs_uuid_create(&u), KS_ST_OK);
    EXPECT_EQ(u.bytes[6] >> 4, 4);
    EXPECT_EQ(u.bytes[8] & 0xc0, 0x80);
    EXPECT_FALSE(tbs_uuid_is_null(&u));
    seen.insert(tbs_uuid_to_str(&u));
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST(TbsOid, EqualityOrderAndHashFollowEveryByte) {
  tbs_oid_t a = sample_oid();
  for (int i = 0; i < 16; i++) {
    tbs_oid_t b = a;
    b.bytes[i] ^= 0x40;
    EXPECT_FALSE(tbs_oid_eq(&a, &b)) << i;
    EXPECT_NE(tbs_oid_to_hash32(&a), tbs_oid_to_hash32(&b)) << i;
    tbs_uuid_t ua = tbs_oid_to_uuid(&a), ub = tbs_oid_to_uuid(&b);
    EXPECT_NE(tbs_uuid_cmp(&ua, &ub), 0) << i;
  }
  tbs_oid_t c = a;
  EXPECT_EQ(tbs_oid_to_hash32(&a), tbs_oid_to_hash32(&c));
  EXPECT_TRUE(tbs_oid_is_null(&TBS_OID_NULL));
  EXPECT_TRUE(tbs_oid_is_null(nullptr));
}

// Sets or unsets an environment variable for the life of the object.
class EnvSetting {
 public:
  EnvSetting(const char *name, const char *value) : name_(name) {
    const char *old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~EnvSetting() {
    if (had_) setenv(name_, old_.c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char *name_;
  bool had_;
  std::string old_;
};

TEST(TbsProduct, SiteAndViewRootFollowTheEnvironment) {
  {
    EnvSetting home("VESSARY_HOME", "/srv/site");
    EXPECT_EQ(tbs_site_dir(), "/srv/site");
    EXPECT_STREQ(tbs_view_root(), "/srv/site/view");
    EXPECT_EQ(tbs_registry_pname(), "/srv/site/registry.db");
  }
  {
    EnvSetting home("VESSARY_HOME", "/srv/site2");  // another site: not the root kept before
    EXPECT_STREQ(tbs_view_root(), "/srv/site2/view");
  }
  {
    EnvSetting home("VESSARY_HOME", "relative/site");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(tbs_site_dir(), std::string(cwd) + "/relative/site");
  }
  EnvSetting home("VESSARY_HOME", nullptr);
  EnvSetting user("HOME", "/home/someone");
  EXPECT_STREQ(tbs_view_root(), "/home/someone/.vessary/view");
}

TEST(TbsProduct, ToolsAreFoundInTheProductsProgramDirectory) {
  // The tests run in the build tree, whose bin directory holds the platform tool.
  char buf[1024];
  ASSERT_NE(tbs_product_tool_dir(buf, "gammick"), nullptr);
  EXPECT_EQ(std::string(buf), tbs_product_home() + "/bin/gammick");
  for (const char *name : {"no-such-tool", "../bin/gammick", ""})
    EXPECT_EQ(tbs_product_tool_dir(buf, name), nullptr) << name;
  EnvSetting product("VESSARY_PRODUCT_HOME", "/opt/product");
  EXPECT_STREQ(tbs_product_etc_dir(), "/opt/product/etc");
  EXPECT_STREQ(tbs_product_config_dir("tolvick"), "/opt/product/etc/tolvick");
}

TEST(TbsStatus, ExistingObjectHasItsOwnText) {
  EXPECT_STREQ(tbs_strerror(TBS_ST_EXISTS), "Object already exists");
}

}  // namespace
