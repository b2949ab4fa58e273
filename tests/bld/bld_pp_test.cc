// The pgnu front end's elaborated makefile: the first free sequence number of this process's
// name is created (never a name someone else placed), and a directory where every name is taken
// is refused before the preprocessor runs.
#include "bld/bld_pp.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ks/imsg.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path &p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class ElaboratedMakefile : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bld_pp_testXXXXXX";
    dir_ = mkdtemp(tmpl);
    // The preprocessor notes where its output goes, then fails: nothing is parsed.
    stub_ = dir_ / "stub.sh";
    std::ofstream(stub_) << "#!/bin/sh\no=$(readlink /proc/$$/fd/1)\necho \"$o\" > '"
                         << (dir_ / "out").string() << "'\nexit 1\n";
    chmod(stub_.c_str(), 0755);
    setenv("ORVA_GMAKE_PROG", stub_.c_str(), 1);
    setenv("TMPDIR", dir_.c_str(), 1);
    imsg_set_app_name("tool");
  }
  void TearDown() override {
    unsetenv("ORVA_GMAKE_PROG");
    unsetenv("TMPDIR");
    fs::remove_all(dir_);
  }
  std::string name(int seq) const {
    char text[64];
    std::snprintf(text, sizeof text, "EMakefile.%05d.%02d", int(getpid()), seq);
    return (dir_ / text).string();
  }
  ks_status_t make() {
    char *makefiles[] = {const_cast<char *>("a.mk"), nullptr};
    testing::internal::CaptureStderr();
    ks_status_t st = bld_pp_parse_and_make("tolvick", 0, makefiles, nullptr, nullptr, nullptr, 2,
                                           0, nullptr, "", "", nullptr);
    err_ = testing::internal::GetCapturedStderr();
    return st;
  }
  fs::path dir_, stub_;
  std::string err_;
};

TEST_F(ElaboratedMakefile, TakenNamesAndPlantedLinksAreSkipped) {
  std::ofstream(name(0)) << "someone else's\n";
  fs::create_symlink(dir_ / "target", name(1));
  EXPECT_EQ(make(), KS_ST_ERR);
  EXPECT_EQ(slurp(dir_ / "out"), name(2) + "\n");
  EXPECT_EQ(slurp(name(0)), "someone else's\n");
  EXPECT_FALSE(fs::exists(dir_ / "target"));
  EXPECT_FALSE(fs::exists(name(2)));  // removed after the failed preprocessor
  EXPECT_NE(err_.find("Makefile preprocessor failed"), std::string::npos) << err_;
}

TEST_F(ElaboratedMakefile, EveryNameTakenIsRefused) {
  for (int seq = 0; seq < 100; ++seq) std::ofstream(name(seq)) << "";
  EXPECT_EQ(make(), KS_ST_ERR);
  EXPECT_FALSE(fs::exists(dir_ / "out"));
  char pid[16];
  std::snprintf(pid, sizeof pid, "%05d", int(getpid()));
  EXPECT_NE(err_.find("Unable to compute unique pathname \"" + dir_.string() + "EMakefile." + pid +
                      ".nn\" for elaborated makefile"),
            std::string::npos)
      << err_;
}

}  // namespace
