// A site for tests: a temporary VESSARY_HOME with VOBs made from lists of files and views of
// them, removed again at the end. Nothing of it touches the real home or git configuration.
#pragma once

#include <string>
#include <vector>

#include "e2e_util.h"

namespace site {

// One file of a fixture repository. Content starting with "-> " makes a symbolic link to the
// rest; a path ending in "/" makes an (empty, kept) directory.
struct File {
  std::string path;
  std::string content;
};

class Site {
 public:
  // Makes the temporary directory (in parent) and points VESSARY_HOME of this process at
  // "<dir>/home".
  explicit Site(const std::string &parent = "/tmp");
  // Restores VESSARY_HOME and removes the temporary directory.
  ~Site();
  Site(const Site &) = delete;
  Site &operator=(const Site &) = delete;

  const std::string &dir() const { return dir_; }
  std::string home() const { return dir_ + "/home"; }
  std::string view_root() const { return home() + "/view"; }

  // The environment of programs run for the site: VESSARY_HOME, HOME, the git identity, and the
  // site's directory for audit files (a build at a high verbosity leaves them there).
  std::vector<std::string> env() const;

  // Runs a program (see e2e::run) with the site's environment and the extra settings.
  e2e::Result run(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env = {},
                  const std::string &cwd = "") const;

  // Runs git with the site's environment in cwd; fails the test when git fails.
  void git(const std::vector<std::string> &args, const std::string &cwd) const;

  // A git repository at "<dir>/repos/<name>" with files committed; returns its path.
  std::string make_repo(const std::string &name, const std::vector<File> &files) const;

  // Registers a repository made from files as VOB tag (gammick mkvob); returns the repository.
  std::string make_vob(const std::string &tag, const std::vector<File> &files) const;

  // Makes view tag of the given VOBs, or of every VOB when none are given (gammick mkview).
  void make_view(const std::string &tag, const std::vector<std::string> &vobs = {}) const;

  // "<view root>/<view>/<vob>/<rel>" (rel may be empty).
  std::string path(const std::string &view, const std::string &vob, const std::string &rel = "") const;

  // Runs a program with view as its set view, in the directory cwd when not empty.
  e2e::Result run_in_view(const std::string &view, const std::vector<std::string> &argv,
                          const std::string &cwd = "") const;

 private:
  std::string dir_, prefix_;
  std::string saved_home_;
  bool had_home_ = false;
};

// Writes content to path, creating its directories; fails the test when it cannot.
void write_file(const std::string &path, const std::string &content);

// The whole content of a file ("" when it cannot be read).
std::string read_file(const std::string &path);

}  // namespace site
