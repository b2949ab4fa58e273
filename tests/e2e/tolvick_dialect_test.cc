// The make program in the gnu, sun and kelto dialects: run from a recipe of GNU make, the
// product configuration files its exports name, and the scanners' rule traces.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e_util.h"
#include "site_util.h"

using testing::HasSubstr;
using testing::Not;

namespace {

class TolvickDialect : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.make_vob("proj", {{"src/keep", ""}});
    site_.make_view("alpha");
    src_ = site_.path("alpha", "proj", "src");
  }
  site::Site site_;
  std::string src_;
};

// GNU make passes its flags down in MAKEFLAGS ("s -j2 --jobserver-auth=3,4 -- FOO=bar"): a
// tolvick its recipe runs takes the definitions and leaves out what only GNU make knows.
TEST_F(TolvickDialect, RunFromARecipeOfGnuMake) {
  if (access("/usr/bin/make", X_OK) != 0) GTEST_SKIP() << "GNU make is not installed";
  site::write_file(src_ + "/outer.mk", "all:\n\t@\"$(TOLVICK)\" -C gnu -p -f inner.mk\n");
  site::write_file(src_ + "/inner.mk", "all: ; @echo $(FOO)\n");
  const std::string tolvick = e2e::bin_dir() + "/tolvick";
  for (const char *jobs : {"-j1", "-j2"}) {
    e2e::Result r = site_.run({"/usr/bin/make", jobs, "-s", "-f", "outer.mk",
                               "FOO=bar baz", "TOLVICK=" + tolvick},
                              {}, src_);
    EXPECT_EQ(r.status, 0) << jobs << r.err;
    EXPECT_THAT(r.out, HasSubstr("\nFOO = bar baz\n")) << jobs;
    EXPECT_THAT(r.err, Not(HasSubstr("Bad option"))) << jobs;
    EXPECT_THAT(r.err, Not(HasSubstr("unknown option"))) << jobs;
  }
}

// The product configuration exports name include lines of files that are shipped.
TEST_F(TolvickDialect, ProductConfigurationIncludesExist) {
  site::write_file(src_ + "/Makefile",
                   "$(ORVA_CXX_COMP)\n$(ORVA_CXX_SAFE_LNK)\n$(ORVA_CXX_INC_LNK)\n"
                   "$(ZELVANE_CXX_COMP_INST)\n$(ZELVANE_CMSAFE_CXX_LINK_INST)\n"
                   "$(ZELVANE_INCREMENTAL_CXX_LINK_INST)\nall: ; echo ok\n");
  for (const char *dialect : {"std", "gnu", "sun", "kelto"}) {
    e2e::Result r = site_.run({"tolvick", "-C", dialect, "-p"}, {}, src_);
    EXPECT_EQ(r.status, 0) << dialect << r.err;
    EXPECT_EQ(r.err, "") << dialect;
  }
}

// At make verbosity 3 each scanner prints its rules under its own label.
TEST_F(TolvickDialect, RuleTracesAtVerbosityThree) {
  site::write_file(src_ + "/Makefile", ".POSIX:\nall:\n\techo hi\n");
  e2e::Result r = site_.run({"tolvick", "-C", "kelto", "-p"}, {"ORVA_VERBOSITY=3"}, src_);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("kelto rule: .POSIX  [\".POSIX\"]\n  returning POSIX_TGT\n"
                               "kelto rule: :  [\":\"]\n  returning SINGLE_COLON\n"));
  site::write_file(src_ + "/Makefile", "all: | dir\n");
  r = site_.run({"tolvick", "-C", "gnu", "-p"}, {"ORVA_VERBOSITY=3"}, src_);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("gnu rule: | (GNU order-only specifier)  [\"|\"]\n"
                               "  returning GNU_ORDER_ONLY_SPECIFIER\n"));
  site::write_file(src_ + "/Makefile", "all: x\n.NO_PARALLEL: all\n");
  r = site_.run({"tolvick", "-C", "sun", "-p"}, {"ORVA_VERBOSITY=3"}, src_);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("sun rule: .NO_PARALLEL  [\".NO_PARALLEL\"]\n"
                               "  returning NOT_PARALLEL_TGT\n"));
}

}  // namespace
