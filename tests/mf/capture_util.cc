#include "capture_util.h"

#include <cstdlib>

#include "ks/imsg.h"

namespace mftest {

namespace {

std::string read_all(FILE *f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  for (int c; (c = std::fgetc(f)) != EOF;) s += char(c);
  return s;
}

}  // namespace

Captured::Captured() : out_(std::tmpfile()), err_(std::tmpfile()) {
  imsg_set_app_name("tool");
  imsg_set_streams(out_, err_);
}

Captured::~Captured() {
  imsg_set_streams(nullptr, nullptr);
  imsg_set_app_name(nullptr);
  std::fclose(out_);
  std::fclose(err_);
}

std::string Captured::out() { return read_all(out_); }
std::string Captured::err() { return read_all(err_); }

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
  const char *old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (had_) {
    setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

}  // namespace mftest
