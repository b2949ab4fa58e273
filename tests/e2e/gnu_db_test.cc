// The build graph that tolvick prints in the gnu dialect against the database that GNU make
// prints for the same makefiles: tests/e2e/gnu_db/compare_db.py brings both to one normal form
// (variables the makefiles define, rules, recipes, target- and pattern-specific variables). The
// same for the makefile that the pgnu preprocessor elaborates from them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "e2e_util.h"

namespace {

std::string source_dir() {
  const char *src = std::getenv("VOSSEL_SOURCE_DIR");
  return src != nullptr ? src : ".";
}

class GnuDatabase : public testing::TestWithParam<const char *> {};

TEST_P(GnuDatabase, SameAsGnuMake) {
  if (access("/usr/bin/make", X_OK) != 0) GTEST_SKIP() << "GNU make is not installed";
  const std::string dir = source_dir() + "/tests/e2e/gnu_db/";
  e2e::Result r = e2e::run({"/usr/bin/python3", dir + "compare_db.py", "/usr/bin/make",
                            e2e::bin_dir() + "/tolvick", dir + GetParam()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// The pgnu dialect reads the one makefile the preprocessor elaborates: the same database.
TEST_P(GnuDatabase, ElaboratedByThePreprocessor) {
  if (access("/usr/bin/make", X_OK) != 0) GTEST_SKIP() << "GNU make is not installed";
  const std::string dir = source_dir() + "/tests/e2e/gnu_db/";
  e2e::Result r = e2e::run({"/usr/bin/python3", dir + "compare_db.py", "--elaborate",
                            e2e::bin_dir() + "/Gmake", "/usr/bin/make",
                            e2e::bin_dir() + "/tolvick", dir + GetParam()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// One directory of makefiles per theme, and a project written in the common style.
INSTANTIATE_TEST_SUITE_P(Makefiles, GnuDatabase,
                         testing::Values("conditionals", "definitions", "rules", "includes",
                                         "project"));

}  // namespace
