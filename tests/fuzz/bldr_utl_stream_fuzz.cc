// Reads arbitrary bytes as the counted streams of texts that the builder utilities read (a
// count, then that many texts, each ended by a NUL byte): a bad count or a short stream must be
// refused, never crash the reader or make it allocate for texts that are not there.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "bld/bldr_utl.h"
#include "ks/imsg.h"
#include "ks/stg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static FILE *null_out = [] {
    FILE *f = std::fopen("/dev/null", "w");
    imsg_set_streams(f, f);
    return f;
  }();
  (void)null_out;
  if (size == 0) return 0;
  // The first byte chooses the reader: a list of texts or rows of two or three columns.
  const uint8_t mode = data[0] % 3;
  FILE *stream = fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "r");
  if (stream == nullptr) return 0;
  stg_area_t area = stg_create_area(4096);
  size_t count = 0;
  if (mode == 0) {
    char **array = nullptr;
    bldr_utl_read_str_array(stream, area, 16, &count, &array);
  } else {
    char ***rows = nullptr;
    bldr_utl_read_str_arr_array(stream, area, 16, mode + 1, &count, &rows);
  }
  std::fclose(stream);
  stg_delete_area(&area);
  return 0;
}
