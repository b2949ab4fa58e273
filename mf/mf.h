// Module "mf": the recorded environment. Every tuning variable of the system is read through
// mf_getenv, which notes each variable that is set, with the last value read, in the order of its
// first read, so that a run can print which settings it consulted.
#pragma once

#include "ks/hash.h"
#include "ks/imsg.h"
#include "ks/ks_status.h"

// Message table of the module "mf".
extern const imsg_msg_table_t _mf_karsel_msg_table;
enum {
  MF_MSG_PRINTENV_HEADER = 0,  // "# --- Active make-related environment variables ---\n"
  MF_MSG_PRINTENV_ENTRY = 1,   // "#\t%s=%s\n"
};

// The recorded environment: name -> heap copy of the last value read (8-byte data), in
// first-read order. Null while no record exists.
extern hash_ht_t mf_evs;

// Starts an empty record, finalizing an existing one first. 0, or KS_ST_ERR after the allocation
// message when the table cannot be made (mf_getenv then records nothing).
ks_status_t mf_initialize_getenv();

// The value of the environment variable ev_name as getenv gives it, or null when it is unset.
// While a record exists, a set variable is recorded (a later read replaces the value and keeps the
// variable's place). A null name stops the program (assertion).
const char *mf_getenv(const char *ev_name);

// Prints the record at trace severity without a module prefix: an empty line, the header and one
// "#\tNAME=VALUE" line per variable in first-read order. Prints nothing when no variable is
// recorded. The caller decides whether it is wanted.
void mf_printenv();

// Frees the record; nothing happens when there is none.
void mf_finalize_getenv();
