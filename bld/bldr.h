// The message table of the build driver (module "bld/bldr"), which the programs print under their
// own names.
#pragma once

#include "ks/imsg.h"

extern const imsg_msg_table_t _bldr_karsel_msg_table;

// Rows of the table.
enum {
  BLDR_MSG_NO_WHERE_WD = 4,
  BLDR_MSG_NO_VIEW = 7,
  BLDR_MSG_NO_CWD = 14,
  BLDR_MSG_REESTABLISHING = 17,
  BLDR_MSG_AUDIT_FILE = 18,
  BLDR_MSG_NO_REESTABLISH = 19,
  BLDR_MSG_NO_AUDIT_STATE = 20,
  BLDR_MSG_NO_SUSPEND = 21,
  BLDR_MSG_SUSPENDING = 22,
  BLDR_MSG_NO_SYNC = 23,
  BLDR_MSG_NO_REF_TIME = 24,
  BLDR_MSG_BHANDLE = 26,
  BLDR_MSG_NO_SET_BHANDLE = 27,
  BLDR_MSG_NO_RELEASE_BHANDLE = 28,
  BLDR_MSG_REF_TIME = 29,
  BLDR_MSG_NO_SESSION = 33,
  BLDR_MSG_AUTOMATIC_VIEW = 42,
};
