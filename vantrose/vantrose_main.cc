// vantrose: answers the version options; the rest of the program is not built yet.
#include "client_meters/client_meters_verid.h"
#include "cm/cm_verid.h"
#include "credmap/credmap_verid.h"
#include "dbrpc/dbrpc_verid.h"
#include "ks/imsg.h"
#include "ks/ks_verid.h"
#include "ks/pfm.h"
#include "mf/mf_utl.h"
#include "tbs/tbs_status.h"
#include "view/view_verid.h"
#include "vob/vob_verid.h"

KS_DEFINE_VERID(vantrose)

int main(int argc, char **argv) {
  if (ks_answer_verid_options(argc, argv, vantrose_print_verid,
                              {libvosselbuild_print_verid, libvosselcm_print_verid,
                               libvosselks_print_verid, libvosseltbs_print_verid,
                               libvosselview_print_verid, libvosselvob_print_verid}))
    pfm_exit(0);
  imsg_print(IMSG_ERROR,
             "only the version options -Ver, -Version and -VerAll are available in this release\n",
             -1);
  pfm_exit(1);
}
