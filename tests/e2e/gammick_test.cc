// The platform tool from the command line: VOBs, views, describe, set views.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "e2e_util.h"
#include "site_util.h"

namespace {

const std::vector<site::File> kFiles = {
    {"src/a.c", "int a;\n"},
    {"src/b.c", "int b;\n"},
    {"same1.txt", "equal\n"},
    {"same2.txt", "equal\n"},
    {"doc/", ""},
    {"link", "-> src/a.c"},
};

// The lines of "gammick describe" as a map of field to value.
std::map<std::string, std::string> describe(const site::Site &s, const std::string &path) {
  e2e::Result r = s.run({"gammick", "describe", path});
  EXPECT_EQ(r.status, 0) << path << ": " << r.err;
  std::map<std::string, std::string> fields;
  for (const std::string &line : e2e::lines(r.out)) {
    size_t colon = line.find(": ");
    if (colon != std::string::npos) fields[line.substr(0, colon)] = line.substr(colon + 2);
  }
  EXPECT_EQ(fields.size(), 5u) << r.out;
  return fields;
}

class GammickTest : public ::testing::Test {
 protected:
  void SetUp() override {
    repo_ = site_.make_vob("proj", kFiles);
    site_.make_view("alpha");
    site_.make_view("beta");
    site::write_file(site_.path("alpha", "proj", "private.o"), "object\n");
    site::write_file(site_.path("alpha", "proj", "src/b.c"), "int b = 2;\n");  // now checked out
  }
  site::Site site_;
  std::string repo_;
};

TEST_F(GammickTest, DescribeGivesEachPathItsMetaType) {
  struct Case {
    const char *view;
    const char *rel;
    const char *meta_type;
    bool has_element;
  } cases[] = {
      {"alpha", "", "DIR_VERSION", true},
      {"alpha", "src", "DIR_VERSION", true},
      {"alpha", "doc", "DIR_VERSION", true},
      {"alpha", "src/a.c", "VERSION", true},
      {"alpha", "link", "SLINK", true},
      {"alpha", "private.o", "VIEW_PRIVATE", false},
      {"alpha", "src/b.c", "CHECKEDOUT", true},
      {"beta", "src/b.c", "VERSION", true},
      {"alpha", ".git", "NULL", false},
  };
  for (const Case &c : cases) {
    auto d = describe(site_, site_.path(c.view, "proj", c.rel));
    EXPECT_EQ(d["meta-type"], c.meta_type) << c.view << " " << c.rel;
    EXPECT_EQ(d["view"], c.view) << c.rel;
    EXPECT_EQ(d["vob"], std::string(c.meta_type) == "NULL" ? "-" : "proj") << c.rel;
    EXPECT_EQ(d["element"] != "-", c.has_element) << c.view << " " << c.rel;
  }
}

TEST_F(GammickTest, BothViewsSeeTheSameIdentitiesOfASelectedVersion) {
  for (const char *rel : {"", "src", "src/a.c", "link", "doc"}) {
    auto a = describe(site_, site_.path("alpha", "proj", rel));
    auto b = describe(site_, site_.path("beta", "proj", rel));
    EXPECT_EQ(a["element"], b["element"]) << rel;
    EXPECT_EQ(a["version"], b["version"]) << rel;
    EXPECT_NE(a["version"], "-") << rel;
  }
  // Equal contents in two elements are still two versions; a checked-out file has its element
  // but not the selected version.
  auto same1 = describe(site_, site_.path("alpha", "proj", "same1.txt"));
  auto same2 = describe(site_, site_.path("alpha", "proj", "same2.txt"));
  EXPECT_NE(same1["version"], same2["version"]);
  EXPECT_NE(same1["element"], same2["element"]);
  auto co = describe(site_, site_.path("alpha", "proj", "src/b.c"));
  auto sel = describe(site_, site_.path("beta", "proj", "src/b.c"));
  EXPECT_EQ(co["element"], sel["element"]);
  EXPECT_NE(co["version"], sel["version"]);
}

TEST_F(GammickTest, ViewPrivateIdentityLastsWhileTheDataStays) {
  std::string path = site_.path("alpha", "proj", "private.o");
  std::string first = describe(site_, path)["version"];
  EXPECT_NE(first, "-");
  EXPECT_EQ(describe(site_, path)["version"], first);  // another process, same object
  site::write_file(path, "object rebuilt with more data\n");
  std::string second = describe(site_, path)["version"];
  EXPECT_NE(second, first);
  EXPECT_EQ(describe(site_, path)["version"], second);
}

TEST_F(GammickTest, PathsOutsideEveryViewHaveNoIdentity) {
  for (const std::string &path : {repo_ + "/src/a.c", site_.dir(), site_.view_root() + "/alpha"}) {
    auto d = describe(site_, path);
    EXPECT_EQ(d["meta-type"], "NULL") << path;
    EXPECT_EQ(d["vob"], "-") << path;
    EXPECT_EQ(d["element"], "-") << path;
    EXPECT_EQ(d["version"], "-") << path;
  }
  EXPECT_EQ(describe(site_, repo_)["view"], "-");
  EXPECT_EQ(describe(site_, site_.view_root() + "/alpha")["view"], "alpha");
  e2e::Result r = site_.run({"gammick", "describe", site_.path("alpha", "proj", "missing")});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(e2e::lines(r.err).size(), 1u) << r.err;
}

TEST_F(GammickTest, ListsShowWhatWasMadeAndRmviewRemovesAView) {
  e2e::Result vobs = site_.run({"gammick", "lsvob"});
  EXPECT_EQ(vobs.status, 0);
  EXPECT_EQ(vobs.out, "proj " + repo_ + "\n");
  e2e::Result views = site_.run({"gammick", "lsview"});
  ASSERT_EQ(e2e::lines(views.out).size(), 2u);
  EXPECT_TRUE(e2e::lines(views.out)[0].starts_with("alpha ")) << views.out;
  EXPECT_TRUE(e2e::lines(views.out)[1].starts_with("beta ")) << views.out;

  e2e::Result rm = site_.run({"gammick", "rmview", "-tag", "alpha"});
  EXPECT_EQ(rm.status, 0) << rm.err;
  struct stat st;
  EXPECT_NE(stat((site_.view_root() + "/alpha").c_str(), &st), 0);
  EXPECT_NE(stat((site_.home() + "/storage/alpha.vws").c_str(), &st), 0);
  views = site_.run({"gammick", "lsview"});
  ASSERT_EQ(e2e::lines(views.out).size(), 1u);
  EXPECT_TRUE(views.out.starts_with("beta ")) << views.out;
  // The repository no longer knows the view's worktree; the other view still works.
  e2e::Result wt = site_.run({"/usr/bin/env", "git", "worktree", "list"}, {}, repo_);
  EXPECT_EQ(e2e::lines(wt.out).size(), 2u) << wt.out;
  EXPECT_EQ(describe(site_, site_.path("beta", "proj", "src/a.c"))["meta-type"], "VERSION");
  // The tag can be made again.
  site_.make_view("alpha");
  EXPECT_EQ(describe(site_, site_.path("alpha", "proj", "src/b.c"))["meta-type"], "VERSION");
}

TEST_F(GammickTest, BadInputFailsWithOneLineAndChangesNothing) {
  std::string not_repo = site_.dir() + "/plain";
  site::write_file(not_repo + "/file", "x\n");
  struct Case {
    std::vector<std::string> argv;
  } cases[] = {
      {{"gammick", "mkvob", "-tag", "proj", site_.dir() + "/fresh"}},  // tag exists
      {{"gammick", "mkvob", "-tag", "other", repo_}},                   // repository registered
      {{"gammick", "mkvob", "-tag", "other", not_repo}},                // not a repository
      {{"gammick", "mkvob", "-tag", "other", not_repo + "/file"}},      // a file
      {{"gammick", "mkvob", "-tag", "bad/tag", site_.dir() + "/fresh"}},
      {{"gammick", "mkvob", "-tag", "other"}},
      {{"gammick", "mkview", "-tag", "alpha"}},                         // tag exists
      {{"gammick", "mkview", "-tag", "gamma", "-vob", "nosuch"}},
      {{"gammick", "mkview", "-tag", ".hidden"}},
      {{"gammick", "rmview", "-tag", "nosuch"}},
      {{"gammick", "setview", "-exec", "true", "nosuch"}},
      {{"gammick", "describe"}},
      {{"gammick", "mkview", "-tag"}},
      {{"gammick", "frobnicate"}},
      {{"gammick"}},
  };
  std::string vobs_before = site_.run({"gammick", "lsvob"}).out;
  std::string views_before = site_.run({"gammick", "lsview"}).out;
  for (const Case &c : cases) {
    e2e::Result r = site_.run(c.argv);
    std::string cmd;
    for (const std::string &a : c.argv) cmd += a + " ";
    EXPECT_NE(r.status, 0) << cmd;
    EXPECT_EQ(e2e::lines(r.err).size(), 1u) << cmd << "\n" << r.err;
    EXPECT_EQ(r.out, "") << cmd;
  }
  EXPECT_EQ(site_.run({"gammick", "lsvob"}).out, vobs_before);
  EXPECT_EQ(site_.run({"gammick", "lsview"}).out, views_before);
  struct stat st;
  EXPECT_NE(stat((site_.dir() + "/fresh").c_str(), &st), 0);
  EXPECT_NE(stat((site_.view_root() + "/gamma").c_str(), &st), 0);
}

TEST_F(GammickTest, AMissingViewRootIsAnErrorAndChangesNothing) {
  std::string moved = site_.dir() + "/moved-view-root";
  ASSERT_EQ(rename(site_.view_root().c_str(), moved.c_str()), 0);
  std::string views_before = site_.run({"gammick", "lsview"}).out;
  e2e::Result r = site_.run({"gammick", "mkview", "-tag", "gamma"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("view root"), std::string::npos) << r.err;
  EXPECT_EQ(site_.run({"gammick", "lsview"}).out, views_before);
  e2e::Result wt = site_.run({"/usr/bin/env", "git", "worktree", "list"}, {}, repo_);
  EXPECT_EQ(e2e::lines(wt.out).size(), 3u) << wt.out;
}

TEST_F(GammickTest, AFailedViewLeavesNoWorktreeBehind) {
  // A second VOB without a commit to select makes the view fail after the first worktree.
  std::string empty = site_.dir() + "/repos/empty";
  site_.git({"init", "-q", empty}, site_.dir());
  ASSERT_EQ(site_.run({"gammick", "mkvob", "-tag", "empty", empty}).status, 0);
  e2e::Result r = site_.run({"gammick", "mkview", "-tag", "gamma"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(e2e::lines(r.err).size(), 1u) << r.err;
  e2e::Result wt = site_.run({"/usr/bin/env", "git", "worktree", "list"}, {}, repo_);
  EXPECT_EQ(e2e::lines(wt.out).size(), 3u) << wt.out;
  e2e::Result branches = site_.run({"/usr/bin/env", "git", "branch", "--list"}, {}, repo_);
  EXPECT_EQ(e2e::lines(branches.out).size(), 1u) << branches.out;
  struct stat st;
  EXPECT_NE(stat((site_.view_root() + "/gamma").c_str(), &st), 0);
  EXPECT_EQ(site_.run({"gammick", "lsview"}).out.find("gamma"), std::string::npos);
}

TEST_F(GammickTest, MkvobMakesARepositoryForAMissingPath) {
  std::string fresh = site_.dir() + "/fresh/repo";
  e2e::Result r = site_.run({"gammick", "mkvob", "-tag", "fresh", fresh});
  ASSERT_EQ(r.status, 0) << r.err;
  site_.make_view("gamma", {"fresh"});
  auto d = describe(site_, site_.path("gamma", "fresh"));
  EXPECT_EQ(d["meta-type"], "DIR_VERSION");
  EXPECT_EQ(d["vob"], "fresh");
}

TEST_F(GammickTest, SetViewAndWorkingDirectoryViewAreReportedApart) {
  struct Case {
    std::vector<std::string> argv;
    std::string cwd;
    std::string expect;
  } cases[] = {
      {{"gammick", "pwv"}, site_.dir(), "set view: -\nworking directory view: -\n"},
      {{"gammick", "pwv"}, site_.path("beta", "proj", "src"), "set view: -\nworking directory view: beta\n"},
      {{"gammick", "setview", "-exec", "gammick pwv", "alpha"}, site_.dir(),
       "set view: alpha\nworking directory view: -\n"},
      {{"gammick", "setview", "-exec", "gammick pwv", "alpha"}, site_.path("beta", "proj"),
       "set view: alpha\nworking directory view: beta\n"},
      // Inherited by grandchildren.
      {{"gammick", "setview", "-exec", "sh -c 'cd / && gammick pwv'", "beta"}, site_.dir(),
       "set view: beta\nworking directory view: -\n"},
  };
  for (const Case &c : cases) {
    e2e::Result r = site_.run(c.argv, {"PATH=" + e2e::bin_dir() + ":/usr/bin:/bin"}, c.cwd);
    EXPECT_EQ(r.status, 0) << c.argv.back() << r.err;
    EXPECT_EQ(r.out, c.expect) << c.cwd;
  }
  e2e::Result r = site_.run({"gammick", "setview", "-exec", "exit 3", "alpha"});
  EXPECT_EQ(r.status, 3);
}

}  // namespace
