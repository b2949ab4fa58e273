#include "capture_util.h"

#include <cstdlib>

#include "ks/imsg.h"

namespace bldtest {

Capture::Capture() : f_(open_memstream(&buf_, &len_)) { imsg_set_streams(f_, f_); }

Capture::~Capture() {
  imsg_set_streams(nullptr, nullptr);
  std::fclose(f_);
  std::free(buf_);
}

std::string Capture::text() {
  std::fflush(f_);
  return std::string(buf_, len_);
}

}  // namespace bldtest
