// Reads arbitrary bytes as a makefile of the std, sun, kelto, gnu or pgnu dialect through the
// parse pipeline and prints the build graph as "tolvick -p" does: bad input must be reported,
// never crash, hang or make the reader allocate without bound. The first byte chooses the
// dialect; the makefile's commands are not run.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bld/bld_graph.h"
#include "ks/pfm.h"
#include "mf/mf.h"
#include "mf/mf_io.h"
#include "mf_fuzz_util.h"

namespace {

const uint32_t kVariants[] = {MF_COMPAT_STD, MF_COMPAT_SUN, MF_COMPAT_KELTO, MF_COMPAT_GNU,
                              MF_COMPAT_PGNU};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  pfm_init();
  mffuzz::init("makefile_print_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
  if (mffuzz::out_of_bounds(text)) return 0;
  const uint32_t variant = kVariants[data[0] % (sizeof kVariants / sizeof kVariants[0])];
  mffuzz::write_file("Makefile", text);
  char name[] = "Makefile";
  char *makefiles[] = {name, nullptr};
  mf_cmf_handle_t cmf = nullptr;
  pfm_catch([&] {
    if (mf_parse_bos(makefiles, nullptr, nullptr, 1, variant, &cmf) == KS_ST_OK &&
        mf_parse_ext(makefiles, nullptr, "tolvick", 0, nullptr, nullptr, "", variant, &cmf) ==
            KS_ST_OK)
      bld_graph_print(cmf, data[0] & 0x80 ? 1 : 0);
  });
  mf_require_free_mf_st(&cmf);
  mf_parser_failed = 0;
  return 0;
}
