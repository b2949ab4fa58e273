// Reads arbitrary bytes as a build-options file given with -A, for a small makefile of the std,
// sun or gnu dialect, and prints the build graph with the definitions and special targets the file
// gave: bad input must be reported, never crash, hang or make the reader allocate without bound.
// The first byte chooses the dialect; commands of the file are not run.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mf_fuzz_util.h"

namespace {

const uint32_t kVariants[] = {MF_COMPAT_STD, MF_COMPAT_SUN, MF_COMPAT_GNU};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  mffuzz::init("bos_file_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t choice = 0;
  std::string_view text;
  if (!mffuzz::split_input(data, size, &choice, &text)) return 0;
  const uint32_t variant = kVariants[choice % (sizeof kVariants / sizeof kVariants[0])];
  mffuzz::write_file("Makefile", "all: a.o\n\techo $(X)\na.o:\n\ttouch a.o\n");
  mffuzz::write_file("opts.bos", text);
  char mf_name[] = "Makefile";
  char bos_name[] = "opts.bos";
  char *makefiles[] = {mf_name, nullptr};
  char *bos_files[] = {bos_name, nullptr};
  mffuzz::parse_and_print(makefiles, bos_files, variant, 0);
  return 0;
}
