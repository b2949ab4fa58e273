// Helpers of the makefile-input tests: a scratch directory to work in, lists of names, and
// drivers that read the whole input through the input layer.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "ks/list.h"

namespace mftest {

// A fresh temporary directory that is the current directory while the object lives.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const std::string &path() const { return path_; }
  // Writes content to the relative path, creating its directories.
  void write(const std::string &rel, const std::string &content) const;
  // Creates the relative directory and its parents.
  void mkdir(const std::string &rel) const;

 private:
  std::string path_;
  std::string old_cwd_;
};

// A heap list of names that lives as long as the object.
class NameList {
 public:
  NameList(std::initializer_list<std::string> names);
  explicit NameList(const std::vector<std::string> &names);
  ~NameList();
  NameList(const NameList &) = delete;
  NameList &operator=(const NameList &) = delete;
  list_handle_t get() const { return list_; }

 private:
  std::vector<std::string> names_;
  list_handle_t list_;
};

// Path of a file of tests/mf/fixtures/input.
std::string input_fixture(const std::string &name);

// Reads the rest of the input with mf_io_input, one entry per byte: the byte (newline as "\n")
// with "@line:column/previous column", blank-separated; "[file]" is written whenever the source
// file changes. Checks that the end of input stays the end.
std::string drive_positions();

// Reads the rest of the input with mf_io_input and returns it as text.
std::string drain_text();

// Checks what a case printed on the error stream: nothing when expected is empty, else a text
// holding expected.
void expect_error(const std::string &err, const char *expected);

// expect_error, and the parse-failed mark set exactly when an error was expected.
void expect_error_and_mark(const std::string &err, const char *expected);

// Number of open file descriptors of the process.
int open_fd_count();

}  // namespace mftest
