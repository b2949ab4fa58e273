#include "site_util.h"

#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace site {

namespace {

int remove_one(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

void make_parents(const std::string &path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    mkdir(path.substr(0, slash).c_str(), 0777);
}

}  // namespace

void write_file(const std::string &path, const std::string &content) {
  make_parents(path);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
  ASSERT_TRUE(f.good()) << "cannot write " << path;
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

Site::Site(const std::string &parent) : prefix_(parent + "/vossel-site-") {
  std::string templ = prefix_ + "XXXXXX";
  const char *made = mkdtemp(templ.data());
  EXPECT_NE(made, nullptr) << templ;
  dir_ = made ? made : parent;
  if (const char *h = std::getenv("VESSARY_HOME")) {
    had_home_ = true;
    saved_home_ = h;
  }
  setenv("VESSARY_HOME", home().c_str(), 1);
}

Site::~Site() {
  if (had_home_) setenv("VESSARY_HOME", saved_home_.c_str(), 1);
  else unsetenv("VESSARY_HOME");
  if (dir_.starts_with(prefix_)) nftw(dir_.c_str(), remove_one, 32, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> Site::env() const {
  return {"VESSARY_HOME=" + home(),
          "HOME=" + dir_,
          "GIT_AUTHOR_NAME=Site Fixture",
          "GIT_AUTHOR_EMAIL=fixture@example.invalid",
          "GIT_COMMITTER_NAME=Site Fixture",
          "GIT_COMMITTER_EMAIL=fixture@example.invalid",
          "GIT_CONFIG_NOSYSTEM=1",
          "GIT_CONFIG_GLOBAL=/dev/null",
          "VESSARY_SET_VIEW=",
          "ORVA_AUDIT_TMPDIR=" + dir_};
}

e2e::Result Site::run(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env,
                      const std::string &cwd) const {
  std::vector<std::string> all = env();
  all.insert(all.end(), extra_env.begin(), extra_env.end());
  return e2e::run(argv, all, cwd);
}

void Site::git(const std::vector<std::string> &args, const std::string &cwd) const {
  std::vector<std::string> argv = {"/usr/bin/env", "git"};
  argv.insert(argv.end(), args.begin(), args.end());
  e2e::Result r = run(argv, {}, cwd);
  ASSERT_EQ(r.status, 0) << "git failed in " << cwd << ":\n" << r.out << r.err;
}

std::string Site::make_repo(const std::string &name, const std::vector<File> &files) const {
  std::string repo = dir_ + "/repos/" + name;
  make_parents(repo + "/");
  git({"init", "-q", repo}, dir_);
  for (const File &f : files) {
    std::string p = repo + "/" + f.path;
    if (f.path.ends_with("/")) {
      // git keeps no empty directories: a hidden file keeps it.
      write_file(p + ".keep", "");
    } else if (f.content.starts_with("-> ")) {
      make_parents(p);
      EXPECT_EQ(symlink(f.content.substr(3).c_str(), p.c_str()), 0) << p;
    } else {
      write_file(p, f.content);
    }
  }
  git({"add", "-A"}, repo);
  git({"commit", "-q", "--allow-empty", "-m", "fixture"}, repo);
  return repo;
}

std::string Site::make_vob(const std::string &tag, const std::vector<File> &files) const {
  std::string repo = make_repo(tag, files);
  e2e::Result r = run({"gammick", "mkvob", "-tag", tag, repo});
  EXPECT_EQ(r.status, 0) << r.err;
  return repo;
}

void Site::make_view(const std::string &tag, const std::vector<std::string> &vobs) const {
  std::vector<std::string> argv = {"gammick", "mkview", "-tag", tag};
  for (const std::string &v : vobs) {
    argv.push_back("-vob");
    argv.push_back(v);
  }
  e2e::Result r = run(argv);
  EXPECT_EQ(r.status, 0) << r.err;
}

std::string Site::path(const std::string &view, const std::string &vob, const std::string &rel) const {
  std::string p = view_root() + "/" + view + "/" + vob;
  return rel.empty() ? p : p + "/" + rel;
}

e2e::Result Site::run_in_view(const std::string &view, const std::vector<std::string> &argv,
                              const std::string &cwd) const {
  return run(argv, {"VESSARY_SET_VIEW=" + view}, cwd);
}

}  // namespace site
