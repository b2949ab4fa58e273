// Reads arbitrary bytes as a worktree's index file: whatever they hold, the reader stays within
// them, and every entry it gives has a name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "vob/vob_gitindex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  vob_gitindex_t entries;
  if (!vob_gitindex_decode(data, size, &entries)) return 0;
  for (const auto &e : entries)
    if (e.first.empty()) std::abort();
  return 0;
}
