/* Control interface of the audit engine in libvosselvessary.
 *
 * The engine keeps one audit state per process: the audit file it records into, the flags word,
 * and the build handle with its reference time; the current view is the platform's set view. Two front doors act on it: the
 * audit device (ioctl on the device paths, answered by the interposer) and the platform's
 * view_audit_* calls, which reach vessary_ctl through dlsym. Both pass the device's command
 * numbers and payloads.
 *
 * While an audit runs, every access of the process goes as one raw event into "<audit file>.raw"
 * (see vessary_raw.h); stopping or syncing the audit converts the new raw events into records of
 * the audit file.
 */
#ifndef VESSARY_VESSARY_H
#define VESSARY_VESSARY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The device's request number and command block (88 bytes, native byte order). */
#define VESSARY_DEV_REQUEST 0xC0584D65UL
#define VESSARY_DEV_PATH1 "/var/adm/tessivane/zelvane/cache/zelvane_specdev"
#define VESSARY_DEV_PATH2 "/var/adm/vossel/cache/zelvane_specdev"

struct vessary_dev_block {
  uint64_t command;
  uint64_t word;
  uint64_t header[6];
  uint64_t data_len;
  uint64_t data_addr;
  uint32_t status;
  uint32_t pad;
};

/* A pathname inside a payload: text address, length without the NUL, buffer size. */
struct vessary_pn_desc {
  uint64_t addr;
  uint64_t len;
  uint64_t size;
};

/* Device commands. */
#define VESSARY_CMD_GET_NAME 13
#define VESSARY_CMD_START 14
#define VESSARY_CMD_GET_FLAGS 15
#define VESSARY_CMD_SET_FLAGS 17
#define VESSARY_CMD_STOP 18
#define VESSARY_CMD_SYNC 19
#define VESSARY_CMD_GET_BHANDLE 29
#define VESSARY_CMD_SET_BHANDLE 30
#define VESSARY_CMD_SET_VIEW 32
#define VESSARY_CMD_MARKER 48
/* The highest marker number (markers 0..6). */
#define VESSARY_MARKER_MAX 6
/* Engine commands for the platform front door: stop or sync without running the converter
 * program (the caller converts in process: SYNC_NOCVT only checks that an audit runs; STOP_NOCVT
 * stores into an optional 8-byte payload 1 when the audit itself ended, that is, when this
 * process began it, else 0), and record an access made by the caller itself (payload struct
 * vessary_note). */
#define VESSARY_CMD_STOP_NOCVT 4096
#define VESSARY_CMD_NOTE 4097
#define VESSARY_CMD_SYNC_NOCVT 4098

/* Flag bit reported while the process audits into a file. */
#define VESSARY_FLAG_AUDITING 0x10000ULL

/* An access that a process linking the platform reports for itself. */
struct vessary_note {
  uint32_t op;   /* a raw event operation letter, such as 'S' or 'O' */
  uint32_t arg;  /* its argument (open flags, follow flag) */
  const char *path;
};

/* Carries out one command on this process's audit state; data and len are the payload.
 * Returns 0 on success, otherwise a status (1001 for a refused command, 1072 when a result
 * buffer is too small). */
uint32_t vessary_ctl(uint64_t command, void *data, uint64_t len);

/* Environment through which the audit state reaches children. */
#define VESSARY_ENV_FILE "VESSARY_AUDIT_FILE"
#define VESSARY_ENV_FLAGS "VESSARY_AUDIT_FLAGS"
#define VESSARY_ENV_BHANDLE "VESSARY_AUDIT_BHANDLE"
/* The identifier of the audit's raw event file: a process joins only the audit it names. */
#define VESSARY_ENV_ID "VESSARY_AUDIT_ID"
/* The platform's set view (command 32 sets it). */
#define VESSARY_ENV_VIEW "VESSARY_SET_VIEW"
/* When set (non-empty), the raw event file is kept after the last conversion. */
#define VESSARY_ENV_KEEP_RAW "VESSARY_AUDIT_KEEP_RAW"
/* The converter program; default: vessary_audit_cvt in ../bin beside the library. */
#define VESSARY_ENV_CVT "VESSARY_AUDIT_CVT"

#ifdef __cplusplus
}
#endif

#endif
