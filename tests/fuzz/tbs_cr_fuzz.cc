// Decodes arbitrary bytes as a configuration record. A record that decodes must hold together:
// it encodes back to the same bytes, its objects' pathnames can be asked for and it can be
// printed; anything else must be refused without crashing or allocating without bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cm/cr_utl_nt.h"
#include "tbs/tbs_cr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  tbs_cr_t cr;
  if (tbs_cr_decode(data, size, &cr) != 0) return 0;
  size_t len = 0;
  char *again = tbs_cr_encode(&cr, &len);
  if (!again || len != size || std::memcmp(again, data, size) != 0) std::abort();
  std::free(again);
  cr_utl_nt_hdl_t nt = cr_utl_create_nametable(1, CR_UTL_ST_HDL_NULL, &cr, 0);
  char buf[1024];
  for (uint32_t i = 0; i < cr.obj_count; i++) cr_utl_get_pn(nt, &cr, i, sizeof buf, buf);
  cr_utl_destroy_nametable(nt);
  (void)cr_utl_format_cr(&cr, CR_UTL_ST_HDL_NULL).size();
  tbs_cr_free_cr_stg(&cr);
  return 0;
}
