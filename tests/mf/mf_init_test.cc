// Builtin makefiles of each dialect, where they are found, and the default makefile.
#include "mf/mf_init.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "../e2e/site_util.h"
#include "capture_util.h"
#include "mf/mfc.h"
#include "tbs/tbs_status.h"

namespace {

using Names = std::vector<std::string>;

// Every builtin makefile that the dialects read from the configuration directories.
const char *const kAllBuiltins[] = {"builtin.mk",       "sunvars.mk", "sunbuiltin.mk",
                                    "gnubuiltinvars.mk", "gnubuiltin.mk", "system.mk",
                                    "default.mk",        "kelto.mk"};

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

Names names_of(list_handle_t list) {
  Names names;
  if (list == LIST_HANDLE_NULL) return names;
  void *datum = nullptr;
  for (list_cursor_t c = list_next(list, nullptr, &datum); c != nullptr;
       c = list_next(list, c, &datum))
    names.push_back(static_cast<const char *>(datum));
  return names;
}

class MfInitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/mf-init-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    area_ = stg_create_area(4096);
    ASSERT_NE(area_, nullptr);
    mf_parse_stg_area = area_;
  }
  void TearDown() override {
    mf_parse_stg_area = STG_AREA_HEAP;
    stg_delete_area(&area_);
    ASSERT_EQ(chdir(cwd_), 0);
    std::string rm = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(rm.c_str()), 0);
  }

  // Writes the named builtin makefiles into directory d (under the test's directory).
  std::string fill(const std::string &d, const std::vector<const char *> &files) {
    std::string path = dir_ + "/" + d;
    mkdir(path.c_str(), 0777);
    for (const char *f : files) site::write_file(path + "/" + f, "# " + std::string(f) + "\n");
    return path;
  }

  // The builtin list of a dialect, with the call's status.
  Names builtins(uint32_t variant, int no_builtins, ks_status_t *status,
                 list_handle_t defs = LIST_HANDLE_NULL) {
    list_handle_t list = LIST_HANDLE_NULL;
    *status = mf_init_builtins(no_builtins, variant, &list, defs);
    return names_of(list);
  }

  std::string dir_;
  char cwd_[PATH_MAX];
  stg_area_t area_ = STG_AREA_NULL;
  // None of the settings of the product's place come from the environment of the test run.
  mftest::ScopedEnv zelvane_{"ZELVANEHOME", nullptr};
  mftest::ScopedEnv vossel_{"VOSSELHOME", nullptr};
  mftest::ScopedEnv product_{"VESSARY_PRODUCT_HOME", nullptr};
  mftest::ScopedEnv override_{"ORVA_MK_BUILTINS", nullptr};
  mftest::ScopedEnv toolroot_{"TOOLROOT", nullptr};
};

TEST_F(MfInitTest, BuiltinsOfEachDialect) {
  std::string d = fill("builtins", {std::begin(kAllBuiltins), std::end(kAllBuiltins)});
  mftest::ScopedEnv env("ORVA_MK_BUILTINS", d.c_str());
  // The system's own makefile where it has one, else the product's copy.
  auto sys = [&](const char *system_path, const char *leaf) {
    return exists(system_path) ? std::string(system_path) : d + "/" + leaf;
  };
  struct Case {
    uint32_t variant;
    int no_builtins;
    Names expected;
  };
  const Case cases[] = {
      {MF_COMPAT_STD, 0, {d + "/builtin.mk"}},
      {MF_COMPAT_STD, 1, {}},
      {MF_COMPAT_SGISMAKE, 0, {sys("/usr/include/make/system.mk", "system.mk")}},
      {MF_COMPAT_SGIPMAKE, 0, {sys("/usr/include/make/system.mk", "system.mk")}},
      {MF_COMPAT_BSDNETR2, 0, {sys("/usr/include/make/system.mk", "system.mk")}},
      {MF_COMPAT_BSDNETR2, 1, {}},
      {MF_COMPAT_SUN, 0,
       {d + "/sunvars.mk", d + "/sunbuiltin.mk", sys("/usr/include/make/default.mk", "default.mk")}},
      {MF_COMPAT_SUN, 1, {d + "/sunvars.mk"}},
      {MF_COMPAT_GNU, 0, {d + "/gnubuiltinvars.mk", d + "/gnubuiltin.mk"}},
      {MF_COMPAT_GNU, 1, {d + "/gnubuiltinvars.mk"}},
      {MF_COMPAT_KELTO, 0, {sys("/usr/ccs/lib/kelto.mk", "kelto.mk")}},
      {MF_COMPAT_KELTO, 1, {}},
      {MF_COMPAT_PGNU, 0, {}},
      {6, 0, {}},
      {42, 0, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("variant " + std::to_string(c.variant) + (c.no_builtins ? " no builtins" : ""));
    ks_status_t st;
    EXPECT_EQ(builtins(c.variant, c.no_builtins, &st), c.expected);
    EXPECT_EQ(st, KS_ST_OK);
  }
}

TEST_F(MfInitTest, WhereBuiltinsAreFound) {
  // The source tree of this file ("<source>/tests/mf/mf_init_test.cc").
  std::string source = __FILE__;
  for (int up = 0; up < 3; up++) source = source.substr(0, source.find_last_of('/'));
  const std::string build_tree = source + "/config";
  std::string zel = fill("zel", {}), vos = fill("vos", {});
  fill("zel/etc", {"builtin.mk"});
  fill("vos/etc", {"builtin.mk"});
  std::string over = fill("override", {"builtin.mk"});
  std::string empty = fill("empty", {});
  struct Case {
    const char *what;
    const char *zelvane;
    const char *vossel;
    const char *override_dir;
    std::string expected;
  };
  const Case cases[] = {
      {"build tree", nullptr, nullptr, nullptr, build_tree + "/builtin.mk"},
      {"ZELVANEHOME", zel.c_str(), nullptr, nullptr, zel + "/etc/builtin.mk"},
      {"VOSSELHOME", nullptr, vos.c_str(), nullptr, vos + "/etc/builtin.mk"},
      {"ZELVANEHOME before VOSSELHOME", zel.c_str(), vos.c_str(), nullptr, zel + "/etc/builtin.mk"},
      {"ORVA_MK_BUILTINS", zel.c_str(), nullptr, over.c_str(), over + "/builtin.mk"},
      {"ORVA_MK_BUILTINS without the file", nullptr, nullptr, empty.c_str(),
       build_tree + "/builtin.mk"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    mftest::ScopedEnv z("ZELVANEHOME", c.zelvane), v("VOSSELHOME", c.vossel),
        o("ORVA_MK_BUILTINS", c.override_dir);
    char *path = nullptr;
    ASSERT_EQ(mf_find_builtin_pn("builtin.mk", &path), KS_ST_OK);
    EXPECT_EQ(std::string(path), c.expected);
  }
  // The build tree holds every builtin makefile of every dialect.
  for (const char *name : kAllBuiltins) {
    char *path = nullptr;
    EXPECT_EQ(mf_find_builtin_pn(name, &path), KS_ST_OK) << name;
    if (path) {
      EXPECT_EQ(std::string(path), build_tree + "/" + name);
    }
  }
  for (uint32_t variant : {0u, 1u, 3u, 4u, 5u, 7u, 8u}) {
    ks_status_t st;
    Names found = builtins(variant, 0, &st);
    EXPECT_EQ(st, KS_ST_OK) << variant;
    EXPECT_FALSE(found.empty()) << variant;
    for (const std::string &f : found) EXPECT_TRUE(exists(f)) << f;
  }
}

TEST_F(MfInitTest, MissingBuiltinIsReported) {
  std::string zel = fill("zel", {});
  fill("zel/etc", {"gnubuiltinvars.mk"});
  mftest::ScopedEnv z("ZELVANEHOME", zel.c_str());
  const std::string missing = std::string(" - ") + tbs_strerror(KS_ST_NOT_FOUND) + "\n";
  struct Case {
    uint32_t variant;
    Names listed;
    std::string message;
  };
  std::vector<Case> cases = {
      {MF_COMPAT_STD, {},
       "tool: Error: Unable to access builtin makefile \"" + zel + "/etc/builtin.mk\"" + missing},
      {MF_COMPAT_SUN, {},
       "tool: Error: Unable to access builtin makefile \"" + zel + "/etc/sunvars.mk\"" + missing},
      {MF_COMPAT_GNU, {zel + "/etc/gnubuiltinvars.mk"},
       "tool: Error: Unable to access builtin makefile \"" + zel + "/etc/gnubuiltin.mk\"" +
           missing},
  };
  if (!exists("/usr/include/make/system.mk")) {
    cases.push_back({MF_COMPAT_SGISMAKE, {},
                     "tool: Error: Unable to access builtin makefile "
                     "\"/usr/include/make/system.mk\"" + missing});
  }
  if (!exists("/usr/ccs/lib/kelto.mk")) {
    cases.push_back({MF_COMPAT_KELTO, {},
                     "tool: Error: Unable to access builtin makefile \"/usr/ccs/lib/kelto.mk\"" +
                         missing});
  }
  for (const Case &c : cases) {
    SCOPED_TRACE("variant " + std::to_string(c.variant));
    mftest::Captured captured;
    ks_status_t st;
    EXPECT_EQ(builtins(c.variant, 0, &st), c.listed);
    EXPECT_EQ(st, KS_ST_NOT_FOUND);
    EXPECT_EQ(captured.err(), c.message);
  }
}

TEST_F(MfInitTest, ToolrootSystemMakefile) {
  std::string root = fill("root", {});
  site::write_file(root + "/usr/include/make/system.mk", "# system\n");
  {
    mftest::ScopedEnv t("TOOLROOT", root.c_str());
    ks_status_t st;
    EXPECT_EQ(builtins(MF_COMPAT_SGIPMAKE, 0, &st), Names{root + "/usr/include/make/system.mk"});
    EXPECT_EQ(st, KS_ST_OK);
  }
  {
    // A value that would not fit the pathname bound is refused.
    std::string long_root(1024, 'r');
    mftest::ScopedEnv t("TOOLROOT", long_root.c_str());
    mftest::Captured captured;
    ks_status_t st;
    EXPECT_EQ(builtins(MF_COMPAT_SGISMAKE, 0, &st), Names{});
    EXPECT_EQ(st, KS_ST_ERR);
    EXPECT_NE(captured.err().find("is too long"), std::string::npos) << captured.err();
  }
}

TEST_F(MfInitTest, SunReadsTheDefaultMakefileOfTheCurrentDirectory) {
  std::string d = fill("builtins", {"sunvars.mk", "sunbuiltin.mk"});
  mftest::ScopedEnv env("ORVA_MK_BUILTINS", d.c_str());
  site::write_file(dir_ + "/work/default.mk", "# mine\n");
  ASSERT_EQ(chdir((dir_ + "/work").c_str()), 0);
  ks_status_t st;
  EXPECT_EQ(builtins(MF_COMPAT_SUN, 0, &st),
            (Names{d + "/sunvars.mk", d + "/sunbuiltin.mk", "default.mk"}));
  EXPECT_EQ(st, KS_ST_OK);
}

TEST_F(MfInitTest, KeltoRulesFromTheCommandLine) {
  std::string rules = dir_ + "/my.rules";
  site::write_file(rules, "# rules\n");
  std::string kelto_default =
      exists("/usr/ccs/lib/kelto.mk") ? "/usr/ccs/lib/kelto.mk" : std::string();
  struct Case {
    const char *what;
    std::vector<std::string> defs;
    ks_status_t status;
    Names expected;  // empty with KS_ST_OK: the default rules of the product
  };
  const Case cases[] = {
      {"MAKERULES names a file", {"CC=gcc", "MAKERULES=" + rules}, KS_ST_OK, {rules}},
      {"MAKERULES with blanks", {"MAKERULES = " + rules}, KS_ST_OK, {rules}},
      {"first definition wins", {"MAKERULES=" + rules, "MAKERULES=/none"}, KS_ST_OK, {rules}},
      {"missing file", {"MAKERULES=" + dir_ + "/none"}, KS_ST_NOT_FOUND, {}},
      {"another name", {"MAKERULESX=" + rules}, KS_ST_OK, {}},
      {"no definitions", {}, KS_ST_OK, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    list_handle_t defs = list_create(STG_AREA_HEAP, 0);
    for (const std::string &def : c.defs) list_append(defs, const_cast<char *>(def.c_str()));
    mftest::Captured captured;
    ks_status_t st;
    Names found = builtins(MF_COMPAT_KELTO, 0, &st, defs);
    list_destroy(defs);
    EXPECT_EQ(st, c.status);
    if (c.status != KS_ST_OK) {
      EXPECT_TRUE(found.empty());
      EXPECT_NE(captured.err().find("Unable to access builtin makefile"), std::string::npos);
    } else if (!c.expected.empty()) {
      EXPECT_EQ(found, c.expected);
    } else {
      ASSERT_EQ(found.size(), 1u);
      EXPECT_TRUE(kelto_default.empty() ? found[0].ends_with("/kelto.mk")
                                        : found[0] == kelto_default)
          << found[0];
    }
  }
}

TEST_F(MfInitTest, DefaultMakefile) {
  struct Case {
    uint32_t variant;
    std::vector<const char *> present;
    const char *expected;  // null: none
  };
  const Case cases[] = {
      {MF_COMPAT_STD, {"makefile", "Makefile"}, "makefile"},
      {MF_COMPAT_STD, {"Makefile"}, "Makefile"},
      {MF_COMPAT_STD, {"GNUmakefile"}, nullptr},
      {MF_COMPAT_SUN, {"Makefile", "makefile"}, "makefile"},
      {MF_COMPAT_SGIPMAKE, {"makefile", "Makefile"}, "Makefile"},
      {MF_COMPAT_SGIPMAKE, {"makefile"}, "makefile"},
      {MF_COMPAT_GNU, {"GNUmakefile", "makefile", "Makefile"}, "GNUmakefile"},
      {MF_COMPAT_GNU, {"makefile", "Makefile"}, "makefile"},
      {MF_COMPAT_PGNU, {"Makefile"}, "Makefile"},
      {MF_COMPAT_KELTO, {}, nullptr},
  };
  int n = 0;
  for (const Case &c : cases) {
    std::string work = dir_ + "/work" + std::to_string(n++);
    mkdir(work.c_str(), 0777);
    for (const char *f : c.present) site::write_file(work + "/" + f, "all:\n");
    ASSERT_EQ(chdir(work.c_str()), 0);
    const char *found = mf_init_default_mf(c.variant);
    EXPECT_STREQ(found, c.expected) << "variant " << c.variant;
  }
}

}  // namespace
