// Helpers of the makefile-layer tests: capture what the message layer prints, set environment
// variables for the length of a test.
#pragma once

#include <cstdio>
#include <string>

namespace mftest {

// Redirects both message streams to temporary files while it lives.
class Captured {
 public:
  Captured();
  ~Captured();
  Captured(const Captured &) = delete;
  Captured &operator=(const Captured &) = delete;
  std::string out();
  std::string err();

 private:
  FILE *out_;
  FILE *err_;
};

// Sets (or, with a null value, unsets) an environment variable and restores it at the end.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  std::string name_;
  bool had_;
  std::string old_;
};

}  // namespace mftest
