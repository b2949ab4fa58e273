// Helpers of the end-to-end tests: run a built program and capture what it prints.
#pragma once

#include <string>
#include <vector>

namespace e2e {

struct Result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// The directory of the built programs (VOSSEL_BUILD_BIN, set by the test driver).
std::string bin_dir();

// Runs argv[0] from the build's program directory (or as given when it holds a "/"), with the
// extra NAME=VALUE settings added to the environment, in directory cwd when not empty.
Result run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
           const std::string &cwd = "");

// Splits text into lines without their newlines.
std::vector<std::string> lines(const std::string &text);

}  // namespace e2e
