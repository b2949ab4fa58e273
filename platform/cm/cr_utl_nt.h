// Configuration-record tables: the shared tables of a client, name tables that give the pathname
// of each object of a record, and the printed form of a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ks/ks_status.h"
#include "tbs/tbs_cr.h"

// What the name tables of one client share: the client's working directory.
struct cr_utl_shared_tables_s;
typedef cr_utl_shared_tables_s *cr_utl_st_hdl_t;
#define CR_UTL_ST_HDL_NULL ((cr_utl_st_hdl_t)0)

// A name table over one record.
struct cr_utl_nametable_s;
typedef cr_utl_nametable_s *cr_utl_nt_hdl_t;
#define CR_UTL_NT_HDL_NULL ((cr_utl_nt_hdl_t)0)

// Shared tables for a client whose working directory is cwd (may be null). flag is not used.
// Null when memory runs out.
cr_utl_st_hdl_t cr_utl_create_shared_tables(int flag, const char *cwd);
void cr_utl_destroy_shared_tables(cr_utl_st_hdl_t st);

// A name table over cr (which must outlive it). flag and unused are not used. CR_UTL_NT_HDL_NULL
// when memory runs out.
cr_utl_nt_hdl_t cr_utl_create_nametable(int flag, cr_utl_st_hdl_t st, const tbs_cr_t *cr,
                                        int unused);
void cr_utl_destroy_nametable(cr_utl_nt_hdl_t nt);

// The view-relative pathname of object index of cr ("/<VOB tag>/dir/file"): the names of its
// parents up to its VOB's root, whose pathname is "/" and the VOB's tag (the VOB name of the
// record without its "<host>:"). Written into buf (size bytes); returns buf, or null when the
// index is out of range, a parent is not in the record, the names form a cycle, or the pathname
// does not fit.
char *cr_utl_get_pn(cr_utl_nt_hdl_t nt, const tbs_cr_t *cr, uint32_t index, size_t size,
                    char *buf);

// The first object of cr with that OID, or null.
tbs_cr_obj_t *cr_utl_find_objdesc(const tbs_cr_t *cr, const tbs_oid_t *oid);

// The view-relative form of the absolute pathname abs into buf (size bytes); flag is not used.
// 0; KS_ST_NOT_IN_VIEW when abs lies in no view; KS_ST_NAME_TOO_LONG when it does not fit.
ks_status_t cr_utl_abspname_to_viewrel(const char *abs, char *buf, int flag, size_t size);

// The view-relative pathname of a VOB of a record, from its name ("<host>:<tag>" or "<tag>").
std::string cr_utl_vob_pname(const char *vob_name);

// The record as a person reads it: the header (target, format, build time, user, host, view,
// initial directory, reference time), the build script, the declared, file-system and variable
// dependencies, and the objects read and written with their versions and flags.
std::string cr_utl_format_cr(const tbs_cr_t *cr, cr_utl_st_hdl_t st);

// Prints the record as cr_utl_format_cr gives it, as a trace.
void cr_utl_dump_cr(const tbs_cr_t *cr, cr_utl_st_hdl_t st);

// The names of the flags of an object ("declared read written ..."), for printed records.
std::string cr_utl_obj_flags_text(uint32_t flags);
