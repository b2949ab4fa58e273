// The configuration-manager session's small services: the names of build statuses, and the
// absolute, view-relative form of names and special-target patterns.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "bld/bldr_cm.h"
#include "bld/bldr_cmutl.h"
#include "ks/stg.h"

namespace {

TEST(BldrCm, EveryStatusHasItsPrintableName) {
  const char *names[] = {"UNDEFINED", "LOOKUP_PENDING", "REBUILD_FAILED", "ERROR",
                         "REUSED", "CANT_REUSE", "REBUILT", "NOT_DEFINED",
                         "WINKED_IN", "BUILD_PENDING", "DEP_MISMATCH", "UPTODATE (-q)",
                         "OUTDATED (-q)", "DEP_CHECKEDOUT"};
  for (int s = -4; s <= 9; s++) EXPECT_STREQ(bldr_cm_printable_status_spelling(s), names[s + 4]) << s;
  for (int s : {-5, 10, 1000}) EXPECT_STREQ(bldr_cm_printable_status_spelling(s), "??NONESUCH??") << s;
}

// A view tree under a temporary site, the working directory in it.
class BldrCmutl : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bldr-cmutl-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = std::filesystem::canonical(tmpl).string();
    std::filesystem::create_directories(home_ + "/view/tag/vob/sub/lib");
    setenv("VESSARY_HOME", home_.c_str(), 1);
    unsetenv("ORVA_DONT_MODIFY_SPL_PATTERNS");
    old_ = std::filesystem::current_path().string();
    area_ = stg_create_area(4096);
  }
  void TearDown() override {
    stg_delete_area(&area_);
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(home_);
  }
  // The rewritten text, or "=" when the name stays as written.
  std::string abs(const char *name) {
    char *out = nullptr;
    EXPECT_EQ(bldr_cmutl_abs_pn(name, &out, area_), KS_ST_OK) << name;
    return out ? out : "=";
  }
  std::string home_, old_;
  stg_area_t area_ = STG_AREA_NULL;
};

TEST_F(BldrCmutl, NamesAreMadeAbsoluteAndRelativeToTheViewRoot) {
  std::filesystem::current_path(home_ + "/view/tag/vob/sub");
  struct Case {
    const char *name, *want;
  } cases[] = {
      {"%.o", "="},                     // a plain name stays
      {"lib/%.o", "="},                 // so does a plain subdirectory
      {"/x/y.o", "="},                  // and an absolute name
      {"../lib/%.a", "/vob/lib/%.a"},
      {".", "/vob/sub"},
      {"..", "/vob"},
      {"../sub/x.o", "/vob/sub/x.o"},
  };
  for (const auto &c : cases) EXPECT_EQ(abs(c.name), c.want) << c.name;
  std::filesystem::current_path(home_ + "/view/tag");
  EXPECT_EQ(abs("."), "/");
  setenv("ORVA_DONT_MODIFY_SPL_PATTERNS", "1", 1);
  EXPECT_EQ(abs("../lib/%.a"), "=");
}

TEST_F(BldrCmutl, APatternListIsRewrittenInPlace) {
  std::filesystem::current_path(home_ + "/view/tag/vob/sub");
  list_handle_t l = list_create(area_, 0);
  for (const char *p : {"%.o", "../x.o", "."}) list_append(l, const_cast<char *>(p));
  ASSERT_EQ(bldr_cmutl_fix_spl_tgt_patt_list(l, area_), KS_ST_OK);
  std::string got;
  void *d = nullptr;
  for (list_cursor_t c = list_next(l, nullptr, &d); c; c = list_next(l, c, &d))
    got += std::string(static_cast<const char *>(d)) + " ";
  EXPECT_EQ(got, "%.o /vob/x.o /vob/sub ");
}

}  // namespace
