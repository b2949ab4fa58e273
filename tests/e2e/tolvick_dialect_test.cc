// The make program in the gnu, sun and kelto dialects: run from a recipe of GNU make, the
// product configuration files its exports name, and the scanners' rule traces.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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

// Makefiles of the dialects are built: the kelto scanner's trace at verbosity 3 goes with the
// build, and a gnu makefile with its own constructs builds its goal.
TEST_F(TolvickDialect, Builds) {
  site::write_file(src_ + "/Makefile", ".POSIX:\nall: out\nout:\n\t@echo built $@\n");
  e2e::Result r = site_.run({"tolvick", "-C", "kelto"}, {"ORVA_VERBOSITY=3"}, src_);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("kelto rule: .POSIX  [\".POSIX\"]\n  returning POSIX_TGT\n"));
  EXPECT_THAT(r.out, HasSubstr("built out\n"));

  site::write_file(src_ + "/Makefile",
                   "WHO ?= world\nifeq ($(WHO),world)\nGREETING := hello\nendif\n"
                   "all: greet | dir\ngreet: WHO += again\ngreet:\n\t@echo $(GREETING) $(WHO)\n"
                   "dir: ; @echo made dir\n.PHONY: all greet dir\n");
  r = site_.run({"tolvick", "-C", "gnu", "-s"}, {}, src_);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("made dir\n"));
  EXPECT_THAT(r.out, HasSubstr("hello world again\n"));
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

namespace {

// The pgnu front end with a preprocessor the test writes: its command line, its environment, the
// elaborated makefile it writes into, and what becomes of that file.
class PgnuFrontEnd : public TolvickDialect {
 protected:
  void SetUp() override {
    TolvickDialect::SetUp();
    tmp_ = site_.dir() + "/tmp";
    site::write_file(tmp_ + "/keep", "");
    stub_ = site_.dir() + "/stub.sh";
    site::write_file(stub_,
                     "#!/bin/sh\n"
                     "out=$(readlink /proc/$$/fd/1)\n"
                     "{ echo \"ARGS:$*\"; echo \"OUT:$out\";\n"
                     "  echo \"MAKE:$MAKE\"; echo \"MAKELEVEL:$MAKELEVEL\";\n"
                     "  echo \"BOS:$ORVA_BOS_ENV\"; } >> \"" +
                         site_.dir() + "/log\"\n"
                         "printf 'all:;@echo ok\\n'\n");
    chmod(stub_.c_str(), 0755);
    site::write_file(src_ + "/a.mk", "never: read\n");
    site::write_file(src_ + "/x.bos", "X = a b\n");
  }
  std::vector<std::string> env() const {
    return {"ORVA_MAKE_COMPAT=pgnu", "ORVA_GMAKE_PROG=" + stub_, "TMPDIR=" + tmp_};
  }
  std::vector<std::string> elaborated() const {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(tmp_)) {
      const std::string f = e.path().filename().string();
      if (f.rfind("EMakefile.", 0) == 0) names.push_back(f);
    }
    return names;
  }
  std::string tmp_, stub_;
};

TEST_F(PgnuFrontEnd, PreprocessesThenParses) {
  e2e::Result r = site_.run({"tolvick", "-k", "-s", "-A", "x.bos", "-f", "a.mk", "CC=gcc", "all"},
                            env(), src_);
  const std::string log = site::read_file(site_.dir() + "/log");
  EXPECT_THAT(log, HasSubstr("ARGS:-Eks -f a.mk CC=gcc all\n"));
  EXPECT_THAT(log, testing::ContainsRegex("OUT:" + tmp_ + "/EMakefile\\.[0-9]{5}\\.00\n"));
  EXPECT_THAT(log, HasSubstr("MAKELEVEL:0\n"));
  EXPECT_THAT(log, HasSubstr("BOS:X=a\\ b\n"));
  EXPECT_THAT(log, testing::ContainsRegex("MAKE:[^\n]*tolvick\n"));
  // The elaborated makefile is parsed and built, then removed.
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n");
  EXPECT_EQ(elaborated(), std::vector<std::string>{});
}

TEST_F(PgnuFrontEnd, VerbosityKeepsTheElaboratedMakefile) {
  e2e::Result r = site_.run({"tolvick", "-f", "a.mk"},
                            [&] {
                              auto e = env();
                              e.push_back("ORVA_VERBOSITY=2");
                              return e;
                            }(),
                            src_);
  ASSERT_EQ(elaborated().size(), 1u) << r.err;
  EXPECT_THAT(r.out + r.err, HasSubstr("Saving preprocessed makefile \"" + tmp_ + "/" +
                                       elaborated()[0] + "\""));
}

TEST_F(PgnuFrontEnd, PrintOnlyRunsThePreprocessor) {
  e2e::Result r = site_.run({"tolvick", "-p", "-f", "a.mk"}, env(), src_);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "all:;@echo ok\n");
  EXPECT_THAT(site::read_file(site_.dir() + "/log"), HasSubstr("ARGS:-E -f a.mk\n"));
  EXPECT_EQ(elaborated(), std::vector<std::string>{});
}

TEST_F(PgnuFrontEnd, FailingPreprocessorFailsTheRun) {
  site::write_file(stub_, "#!/bin/sh\nexit 3\n");
  e2e::Result r = site_.run({"tolvick", "-f", "a.mk", "it's"}, env(), src_);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("Makefile preprocessor failed\n"));
  // A quote in a goal stays inside its word.
  EXPECT_THAT(r.err, HasSubstr("Command was \"" + stub_ + " -E -f a.mk 'it'\\''s' >"));
  EXPECT_EQ(elaborated(), std::vector<std::string>{});
}

}  // namespace
