// Command logging: the start time of a program and the record of its command line at exit.
// Commands are not logged to a site log here; the calls keep their contracts.
#pragma once

#include <sys/time.h>

// The time the program started (the time of the first call in this process).
struct timeval clp_get_starttime();

// Records the command line and its run time from start at exit. Nothing is written here.
void clp_exit_log_args(int argc, char **argv, struct timeval start);
