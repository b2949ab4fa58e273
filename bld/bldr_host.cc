#include "bld/bldr_host.h"

#include <unistd.h>

#include "ks/imsg.h"
#include "ks/sysutl.h"

ks_status_t bldr_host_init() { return KS_ST_OK; }

void bldr_host_term() {}

int bldr_host_is_available(const char *, list_handle_t) { return 0; }

void bldr_host_print_statistics(const char *, list_handle_t, int, int, int32_t *usable) {
  imsg_print(IMSG_INFO, "Build host status:\n\t%s: available\n", -1, sysutl_myhostname());
  if (usable) *usable = 1;
}

void bldr_host_term_idle_hosts() {}

void bldsvc_dump_connected_nimbrels(const char *reason) {
  imsg_print(IMSG_TRACE, "No executors are connected (%s)\n", -1, reason ? reason : "");
}
