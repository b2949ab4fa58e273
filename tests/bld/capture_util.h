// Helper of the build-engine tests: what the message layer prints while an object lives.
#pragma once

#include <cstdio>
#include <string>

namespace bldtest {

// Redirects both message streams into memory while it lives.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture &) = delete;
  Capture &operator=(const Capture &) = delete;
  // Everything printed so far.
  std::string text();

 private:
  char *buf_ = nullptr;
  size_t len_ = 0;
  FILE *f_;
};

}  // namespace bldtest
