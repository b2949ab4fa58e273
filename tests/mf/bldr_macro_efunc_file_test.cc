// $(wildcard), $(javaclasses) and the class-to-source mapping over a scratch tree.
#include <gtest/gtest.h>

#include <string>

#include "bld/bldr_utl_java.h"
#include "capture_util.h"
#include "macro_fixture_util.h"
#include "mf/bldr_macro_efunc.h"
#include "mf_io_util.h"

using mftest::Captured;
using mftest::HooksReset;
using mftest::ScratchDir;
using mftest::TableList;

namespace {

constexpr bldr_macro_flavor_t G = BLDR_MACRO_FLAVOR_GNU;

class FileFunctions : public ::testing::Test {
 protected:
  void SetUp() override {
    mftest::use_expansion_functions();
    file_ = tables_.add(BLDR_MACRO_ORIGIN_FILE);
    for (const char *f : {"b.c", "a.c", "x.h", "sub/d.c", "A.java", "B.java", "notes.txt",
                          "src/X.java", "src/p/Y.java", "a1/Q.java", "my.classic/Z.java"}) {
      dir_.write(f, "x");
    }
    cwd_ = dir_.path();
  }
  mftest::Expanded expand(const std::string &text) {
    return mftest::expand(tables_.list(), G, text);
  }
  std::string abs(const std::string &rel) { return cwd_ + "/" + rel; }

  HooksReset hooks_;
  TableList tables_;
  bldr_macro_table_t *file_ = nullptr;
  ScratchDir dir_;
  std::string cwd_;
};

TEST_F(FileFunctions, WildcardGivesExistingNamesOnly) {
  bldr_macro_define(file_, "PAT", "*.h", 0);
  const struct {
    const char *text;
    const char *want;
  } cases[] = {
      {"$(wildcard *.c)", "a.c b.c"}, {"$(wildcard nothere.c a.c)", "a.c"},
      {"$(wildcard *.z)", ""},        {"$(wildcard sub/*.c  $(PAT))", "sub/d.c x.h"},
      {"$(wildcard sub)", "sub"},     {"[$(wildcard )]", "[]"},
  };
  for (const auto &c : cases) {
    mftest::Expanded e = expand(c.text);
    EXPECT_EQ(e.status, KS_ST_OK) << c.text;
    EXPECT_EQ(e.text, c.want) << c.text;
  }
}

TEST_F(FileFunctions, JavaclassesListsClassesAndRecordsTheRoots) {
  // A fresh process, so that no earlier call has made the root table.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (bldr_macro_efunc_have_javaclasses_mappings() != 0) std::exit(1);
        Captured cap;
        mftest::Expanded e = expand("$(javaclasses classes)");
        if (e.status != KS_ST_OK) std::exit(2);
        if (e.text != abs("classes/A.class") + " " + abs("classes/B.class")) std::exit(3);
        if (cap.err() != "tool: Warning: $(javaclasses) destination root \"" + abs("classes") +
                             "\" cannot be accessed.\n") {
          std::exit(4);
        }
        if (bldr_macro_efunc_have_javaclasses_mappings() != 1) std::exit(5);
        const char *java =
            bldr_macro_efunc_apply_javaclasses_to_class_path(abs("classes/A.class").c_str());
        std::exit(java != nullptr && java == abs("A.java") ? 0 : 6);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(FileFunctions, JavaclassesWithNoSourcesStillMakesTheTable) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        mftest::Expanded e = expand("[$(javaclasses classes, sub)]");
        std::exit(e.status == KS_ST_OK && e.text == "[]" &&
                          bldr_macro_efunc_have_javaclasses_mappings() == 1
                      ? 0
                      : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(FileFunctions, LaterMappingOfARootReplacesTheEarlierOne) {
  dir_.mkdir("classes");
  {
    Captured cap;
    EXPECT_EQ(expand("[$(javaclasses classes, sub)]").text, "[]");
    mftest::Expanded e = expand("$(javaclasses  classes/ , src )");
    EXPECT_EQ(e.status, KS_ST_OK);
    EXPECT_EQ(e.text, abs("classes/X.class"));  // only the root itself is searched
    EXPECT_EQ(cap.err(), "tool: Warning: $(javaclasses) was previously used to map " +
                             abs("classes") + "\nto " + abs("sub") + ", and now to " + abs("src") +
                             "\nThe first mapping will be ignored.\n");
  }
  const struct {
    std::string class_pn;
    std::string want;
  } cases[] = {
      {abs("classes/X.class"), abs("src/X.java")},
      {abs("classes/p/q/Y.class"), abs("src/p/q/Y.java")},
      {"classes/p/Y.class", abs("src/p/Y.java")},  // relative names are taken from the cwd
  };
  for (const auto &c : cases) {
    const char *java = bldr_macro_efunc_apply_javaclasses_to_class_path(c.class_pn.c_str());
    ASSERT_NE(java, nullptr) << c.class_pn;
    EXPECT_EQ(java, c.want) << c.class_pn;
  }
}

TEST_F(FileFunctions, MappingRewritesOnlyTheClassSuffix) {
  Captured cap;
  EXPECT_EQ(expand("$(javaclasses k.classes, my.classic)").text, abs("k.classes/Z.class"));
  const char *java =
      bldr_macro_efunc_apply_javaclasses_to_class_path(abs("k.classes/r/Z.class").c_str());
  ASSERT_NE(java, nullptr);
  EXPECT_EQ(java, abs("my.classic/r/Z.java"));
}

TEST_F(FileFunctions, UncoveredClassNameListsEveryMapping) {
  Captured cap;
  expand("$(javaclasses out1, src)$(javaclasses out2, sub)");
  std::string before = cap.err();
  EXPECT_EQ(bldr_macro_efunc_apply_javaclasses_to_class_path(abs("lib/W.class").c_str()), nullptr);
  // One line per recorded pair, in the order recorded (pairs of earlier tests of this process
  // may come first).
  std::string err = cap.err().substr(before.size());
  std::string head =
      "tool: Error: $(javaclasses) defined source to destination mappings that did not\n"
      "cover " +
      abs("lib/W.class") + " :\n";
  std::string tail = "\t$(javaclasses " + abs("out1") + ", " + abs("src") +
                     ")\n"
                     "\t$(javaclasses " +
                     abs("out2") + ", " + abs("sub") + ")\n";
  EXPECT_EQ(err.substr(0, head.size()), head);
  ASSERT_GE(err.size(), tail.size());
  EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
  // The walk stops at the root without a match.
  EXPECT_EQ(bldr_macro_efunc_apply_javaclasses_to_class_path("/W.class"), nullptr);
}

TEST_F(FileFunctions, SourceRootThatIsAPatternFailsTheCall) {
  dir_.mkdir("out");
  Captured cap;
  mftest::Expanded e = expand("$(javaclasses out, a[1])");
  EXPECT_EQ(e.status, KS_ST_ERR);
  EXPECT_EQ(cap.err(), "tool: Warning: $(javaclasses) source root \"" + abs("a[1]") +
                           "\" cannot be accessed.\n"
                           "tool: Error: $(javaclasses) returned paths not prefixed by " +
                           abs("a[1]") + "\nIs it possible you meant " + abs("out") +
                           " to be the source root?\n");
  EXPECT_EQ(bldr_macro_efunc_apply_javaclasses_to_class_path(abs("out/Q.class").c_str()), nullptr);
}

TEST_F(FileFunctions, OverlongRootFailsWithAMessage) {
  Captured cap;
  std::string text = "$(javaclasses " + std::string(1100, 'd') + ")";
  EXPECT_EQ(expand(text).status, KS_ST_ERR);
  EXPECT_EQ(cap.err(), "tool: Error: Text does not fit its buffer\n");
}

TEST(ClassFileNames, Recognised) {
  const std::pair<const char *, int> cases[] = {
      {"A.class", 1}, {"p/q/A.class", 1}, {"/abs/A.class", 1}, {".class", 0},
      {"A.java", 0},  {"A.classes", 0},   {"A.class/", 0},     {"", 0},
  };
  for (const auto &[name, want] : cases) {
    EXPECT_EQ(bldr_utl_is_dot_class_pn(name) != 0, want != 0) << name;
  }
}

TEST(ClassFileNames, MappingAssertsItsArgument) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(bldr_macro_efunc_apply_javaclasses_to_class_path(""),
               "Assertion failed: ! STRUTL_IS_NULL \\(class_pn\\) \\(bldr_macro_efunc");
  EXPECT_DEATH(bldr_macro_efunc_apply_javaclasses_to_class_path("A.java"),
               "Assertion failed: bldr_utl_is_dot_class_pn \\(class_pn\\)");
}

}  // namespace
