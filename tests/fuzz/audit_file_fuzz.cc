// Reads arbitrary bytes as an audit file into an audit table: a corrupt file must be refused with
// a message, never crash the reader or make it allocate without bound.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "bld/bldr_cr_audit_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const int fd = memfd_create("audit", 0);
  if (fd < 0) return 0;
  if (size == 0 || write(fd, data, size) == static_cast<ssize_t>(size)) {
    lseek(fd, 0, SEEK_SET);
    bldr_cr_audit_table_t table;
    bldr_cr_process_audit_file(fd, &table);
  }
  close(fd);
  return 0;
}
