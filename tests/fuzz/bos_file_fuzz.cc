// Reads arbitrary bytes as a build-options file given with -A, for a small makefile of the std,
// sun or gnu dialect, and prints the build graph with the definitions and special targets the file
// gave: bad input must be reported, never crash, hang or make the reader allocate without bound.
// The first byte chooses the dialect; commands of the file are not run.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bld/bld_graph.h"
#include "ks/pfm.h"
#include "mf/mf.h"
#include "mf/mf_io.h"
#include "mf_fuzz_util.h"

namespace {

const uint32_t kVariants[] = {MF_COMPAT_STD, MF_COMPAT_SUN, MF_COMPAT_GNU};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  pfm_init();
  mffuzz::init("bos_file_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
  if (mffuzz::out_of_bounds(text)) return 0;
  const uint32_t variant = kVariants[data[0] % (sizeof kVariants / sizeof kVariants[0])];
  mffuzz::write_file("Makefile", "all: a.o\n\techo $(X)\na.o:\n\ttouch a.o\n");
  mffuzz::write_file("opts.bos", text);
  char mf_name[] = "Makefile";
  char bos_name[] = "opts.bos";
  char *makefiles[] = {mf_name, nullptr};
  char *bos_files[] = {bos_name, nullptr};
  mf_cmf_handle_t cmf = nullptr;
  pfm_catch([&] {
    if (mf_parse_bos(makefiles, bos_files, nullptr, 1, variant, &cmf) == KS_ST_OK &&
        mf_parse_ext(makefiles, nullptr, "tolvick", 0, nullptr, nullptr, "", variant, &cmf) ==
            KS_ST_OK)
      bld_graph_print(cmf, 0);
  });
  mf_require_free_mf_st(&cmf);
  mf_parser_failed = 0;
  return 0;
}
