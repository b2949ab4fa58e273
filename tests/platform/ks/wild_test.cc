#include "ks/wild.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ks/stg.h"

namespace {

namespace fs = std::filesystem;

// A scratch tree that is the current directory while the object lives.
class GlobTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/wild_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    old_ = fs::current_path();
    for (const char *f : {"b.c", "a.c", "x.h", "sub/d.c", "sub/e.c", "sp ace.c"}) {
      fs::create_directories((root_ / f).parent_path());
      std::ofstream(root_ / f) << "x";
    }
    fs::current_path(root_);
  }
  void TearDown() override {
    fs::current_path(old_);
    fs::remove_all(root_);
  }

  fs::path root_;
  fs::path old_;
};

struct Globbed {
  ks_status_t status;
  std::string text;
};

Globbed glob_text(const char *pattern, const char *dir) {
  char *text = nullptr;
  ks_status_t st = wild_glob(pattern, dir, &text);
  Globbed g{st, text ? text : "<null>"};
  stg_free(text);
  return g;
}

TEST_F(GlobTree, MatchesAreSortedAndRelativeToTheDirectory) {
  const struct {
    const char *pattern;
    const char *dir;
    std::string want;
  } cases[] = {
      {"*.c", ".", "a.c b.c sp ace.c"},
      {"?.[ch]", nullptr, "a.c b.c x.h"},
      {"sub/*.c", "", "sub/d.c sub/e.c"},
      {"*.c", "sub", "d.c e.c"},
      {"*.c", "sub/", "d.c e.c"},
      {"*.z", ".", "*.z"},              // no match: the pattern itself
      {"missing.c", ".", "missing.c"},  // no wildcard: as written, existing or not
      {"a.c", "sub", "a.c"},
  };
  for (const auto &c : cases) {
    Globbed g = glob_text(c.pattern, c.dir);
    EXPECT_EQ(g.status, KS_ST_OK) << c.pattern;
    EXPECT_EQ(g.text, c.want) << c.pattern << " in " << (c.dir ? c.dir : "<null>");
  }
  std::string abs = (root_ / "sub" / "*.c").string();
  Globbed g = glob_text(abs.c_str(), "elsewhere");
  EXPECT_EQ(g.text, (root_ / "sub/d.c").string() + " " + (root_ / "sub/e.c").string());
}

TEST(Glob, NullArgumentsFail) {
  char *text = reinterpret_cast<char *>(1);
  EXPECT_EQ(wild_glob(nullptr, ".", &text), KS_ST_ERR);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(wild_glob("*", ".", nullptr), KS_ST_ERR);
}

}  // namespace
