// Reads arbitrary bytes as the registry's snapshot file: a file that is not whole and intact
// must be refused, and one that is read must be written back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dbrpc/dbrpc_reg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  dbrpc_reg_snapshot_t snap;
  dbrpc_reg_file_state_t db, wal;
  if (!dbrpc_reg_snapshot_decode(data, size, &snap, &db, &wal)) return 0;
  if (dbrpc_reg_snapshot_encode(snap, db, wal) != std::string(reinterpret_cast<const char *>(data), size))
    std::abort();
  return 0;
}
