// Reads arbitrary bytes as a makefile of the std, sun, kelto, gnu or pgnu dialect through the
// parse pipeline and prints the build graph as "tolvick -p" does: bad input must be reported,
// never crash, hang or make the reader allocate without bound. The first byte chooses the
// dialect; the makefile's commands are not run.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mf_fuzz_util.h"

namespace {

const uint32_t kVariants[] = {MF_COMPAT_STD, MF_COMPAT_SUN, MF_COMPAT_KELTO, MF_COMPAT_GNU,
                              MF_COMPAT_PGNU};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  mffuzz::init("makefile_print_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t choice = 0;
  std::string_view text;
  if (!mffuzz::split_input(data, size, &choice, &text)) return 0;
  const uint32_t variant = kVariants[choice % (sizeof kVariants / sizeof kVariants[0])];
  mffuzz::write_file("Makefile", text);
  char mf_name[] = "Makefile";
  char *makefiles[] = {mf_name, nullptr};
  mffuzz::parse_and_print(makefiles, nullptr, variant, choice & 0x80 ? 1 : 0);
  return 0;
}
