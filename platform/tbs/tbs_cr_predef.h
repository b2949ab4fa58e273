// Predefined dependencies of a build: the objects a target depends on before its script runs,
// inside the versioned file system and outside it, as configuration records and the executor
// protocol carry them.
#pragma once

#include <rpc/xdr.h>

#include <cstdint>

// A dependency inside the versioned file system.
struct tbs_cr_mfs_predef_t {
  char *name;   // the dependency as the makefile names it
  char *pname;  // its pathname; empty while the object does not exist yet
};

// Bits of tbs_cr_fs_predef_t::flags.
#define TBS_CR_FS_PREDEF_DECLARED 0x1        // declared in the makefile
#define TBS_CR_FS_PREDEF_NON_CRITICAL 0x100  // does not affect reuse
// tbs_cr_fs_predef_t::kind of an entry that keeps no CRC: its check compares the low 32 bits of
// the modification time instead.
#define TBS_CR_FS_PREDEF_KIND_NO_CRC 2

// A dependency on a file outside the versioned file system.
struct tbs_cr_fs_predef_t {
  char *name;            // the dependency as the makefile names it
  char *pname;           // its pathname; null or empty: no such file
  uint32_t flags;        // TBS_CR_FS_PREDEF_* bits
  uint8_t kind;
  uint64_t size;         // length in bytes
  uint32_t crc;          // CRC of the data (a computed 0 is kept as 0xFFFFFFFF)
  uint32_t crc_valid;    // 1 when crc has been computed
  int64_t mtime;         // modification time recorded, seconds
  int64_t audit_mtime;   // modification time seen when the build's audit ran, seconds
};

// Each encodes, decodes or frees one entry by the stream's direction (arg is passed through and
// not used); false when the stream fails or a decoded value is out of range.
// The names, then the fixed fields; tbs_cr_fs_predef_t carries the size as 64 bits, the older
// layout _v6 as a signed 32-bit value, so that it cannot encode a file of 2 GB or more.
bool_t xdr_tbs_cr_mfs_predef_t(XDR *xdrs, tbs_cr_mfs_predef_t *entry, void *arg);
bool_t xdr_tbs_cr_fs_predef_t(XDR *xdrs, tbs_cr_fs_predef_t *entry, void *arg);
bool_t xdr_tbs_cr_fs_predef_v6_t(XDR *xdrs, tbs_cr_fs_predef_t *entry, void *arg);
