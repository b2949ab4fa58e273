// Reads arbitrary bytes as a view's identity cache file: a file that is not whole and intact
// must be refused, and one that is read must be written back to the same bytes' meaning.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "view/view_idcache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  view_idcache_t c;
  if (!view_idcache_decode(data, size, &c)) return 0;
  const std::string again = view_idcache_encode(c);
  view_idcache_t d;
  if (!view_idcache_decode(again.data(), again.size(), &d) || d.root != c.root || d.commit != c.commit ||
      d.tree.size() != c.tree.size() || d.verdicts.size() != c.verdicts.size())
    std::abort();
  return 0;
}
