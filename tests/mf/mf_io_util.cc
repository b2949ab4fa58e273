#include "mf_io_util.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "ks/stg.h"
#include "mf/mf_io.h"

namespace mftest {

ScratchDir::ScratchDir() {
  char tmpl[] = "/tmp/mf_input_XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  old_cwd_ = std::filesystem::current_path().string();
  std::filesystem::current_path(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::current_path(old_cwd_, ec);
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

void ScratchDir::write(const std::string &rel, const std::string &content) const {
  std::filesystem::path p = std::filesystem::path(path_) / rel;
  std::filesystem::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f << content;
}

void ScratchDir::mkdir(const std::string &rel) const {
  std::filesystem::create_directories(std::filesystem::path(path_) / rel);
}

NameList::NameList(std::initializer_list<std::string> names)
    : NameList(std::vector<std::string>(names)) {}

NameList::NameList(const std::vector<std::string> &names) : names_(names) {
  list_ = list_create(STG_AREA_HEAP, 0);
  for (std::string &n : names_) list_append(list_, n.data());
}

NameList::~NameList() { list_destroy(list_); }

std::string input_fixture(const std::string &name) {
  // The fixtures lie next to this source file.
  return (std::filesystem::path(__FILE__).parent_path() / "fixtures" / "input" / name).string();
}

std::string drive_positions() {
  std::string out;
  std::string file;
  for (int guard = 0; guard < 1000000; guard++) {
    int c = mf_io_input();
    if (c == 0) break;
    std::string now = mf_io_source_file ? mf_io_source_file : "";
    if (now != file) {
      file = now;
      out += "[" + std::filesystem::path(file).filename().string() + "] ";
    }
    out += c == '\n' ? std::string("\\n") : std::string(1, char(c));
    out += "@" + std::to_string(mf_io_source_line) + ":" + std::to_string(mf_io_source_col) +
           "/" + std::to_string(mf_io_source_prev_col) + " ";
  }
  for (int i = 0; i < 3; i++)
    if (mf_io_input() != 0) out += "<input after end>";
  return out;
}

std::string drain_text() {
  std::string out;
  for (int guard = 0; guard < 10000000; guard++) {
    int c = mf_io_input();
    if (c == 0) break;
    out += char(c);
  }
  return out;
}

int open_fd_count() {
  int n = 0;
  DIR *d = ::opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (::readdir(d) != nullptr) n++;
  ::closedir(d);
  return n;
}

void expect_error(const std::string &err, const char *expected) {
  if (*expected == '\0')
    EXPECT_EQ(err, "");
  else
    EXPECT_NE(err.find(expected), std::string::npos) << err;
}

void expect_error_and_mark(const std::string &err, const char *expected) {
  expect_error(err, expected);
  EXPECT_EQ(mf_parser_failed, *expected == '\0' ? 0 : 1);
}

}  // namespace mftest
