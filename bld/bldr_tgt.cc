#include "bld/bldr_tgt.h"

#include "ks/fileutl.h"
#include "mf/bldr_opts.h"

int bldr_tgt_is_java_tgt(const char *name) {
  return fileutl_patt_list_match(bldr_opts_get_patt_list(mfc_curr_opts_handle, BLDR_OPTS_JAVA_TGTS),
                                 name);
}
