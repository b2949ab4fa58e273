// Result codes shared by the platform and the toolset. Nearly every function returns one.
#pragma once

#include <cstdint>

typedef int32_t ks_status_t;

#define KS_ST_OK 0                  // success
#define KS_ST_ERR 1001              // general failure, already reported
#define KS_ST_NOT_FOUND 1002        // not found: a normal outcome
#define KS_ST_NOT_IN_VOB 1003       // the object exists outside every VOB
#define KS_ST_TIMEDOUT 1004         // timed out
#define KS_ST_VERSION_MISMATCH 1007 // peers of different versions
#define KS_ST_NOT_IN_VIEW 1052      // the name is not in the view
#define KS_ST_XDR_FAILED 1055       // XDR encoding or decoding failed
#define KS_ST_NO_MEMORY 1062        // storage exhausted
#define KS_ST_TRUNCATED 1072        // truncated data or checksum mismatch
#define KS_ST_NAME_TOO_LONG 1084    // a pathname or text does not fit its buffer
