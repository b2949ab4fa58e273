#include "bld/bldr_utl.h"

#include "ks/fileutl.h"
#include "ks/pfm.h"
#include "ks/strutl.h"

ks_status_t bldr_utl_cwd_accessible_abs_pn(const char *pathname, size_t size, char *buf) {
  PFM_ASSERT(pathname != NULL);
  PFM_ASSERT(buf != NULL);
  PFM_ASSERT(size > 1);
  if (pathname[0] == '/') return strutl_cpy_buf(buf, size, pathname);
  ks_status_t st = fileutl_abspn(pathname, buf, size);
  return st == KS_ST_NAME_TOO_LONG ? st : (st == KS_ST_OK ? KS_ST_OK : KS_ST_ERR);
}
