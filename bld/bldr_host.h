// The build-host manager as a make run sees it. Parallel and distributed builds on executors are
// not part of this release: the manager knows only this host, which is always available, and
// every build runs in the make process.
#pragma once

#include <cstdint>

#include "ks/ks_status.h"
#include "ks/list.h"

// Starts the manager from the make options record. 0.
ks_status_t bldr_host_init();
// Ends the manager; safe when it was not started.
void bldr_host_term();
// Whether an executor could be had for the target now: 0 yes.
int bldr_host_is_available(const char *tgt, list_handle_t macro_table);
// Prints the "Build host status:" report for the target; *usable is non-zero while a usable host
// remains (always).
void bldr_host_print_statistics(const char *tgt, list_handle_t macro_table, int flag1, int flag2,
                                int32_t *usable);
// Ends the executors of idle host slots (there are none).
void bldr_host_term_idle_hosts();
// Dumps the state of the executor connections (there are none) with the reason.
void bldsvc_dump_connected_nimbrels(const char *reason);
