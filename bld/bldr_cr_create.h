// Configuration records and derived objects from the audit table of a finished build: which
// audited objects the record keeps, which written files become derived objects, the declared
// dependencies resolved to objects, the merge with the previous record of an incremental target,
// the primary dependency, and the writing of derived objects and record through the platform.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "bld/bldr_cr_audit_table.h"
#include "cm/cr_utl_nt.h"
#include "ks/ks_status.h"
#include "ks/list.h"
#include "tbs/tbs_cr.h"

// The record writer's object callback: kind 1 a created object, 2 a removed file, 3 a removed
// directory, with its pathname.
typedef void (*bldr_cr_obj_callback_t)(int kind, const char *pathname);

// The lists of a record made from an audit table, owned by the table (its rec_storage).
struct bldr_cr_rec_storage_t {
  std::deque<std::string> texts;
  std::deque<tbs_cr_obj_t> objs;
  std::vector<tbs_cr_obj_t *> obj_ptrs;
  std::vector<tbs_cr_vob_t> vobs;
  std::vector<tbs_cr_linktext_t> linktexts;
  std::deque<tbs_cr_explicit_dep_t> deps;
  std::vector<tbs_cr_explicit_dep_t *> dep_ptrs;
  std::deque<tbs_cr_fs_predef_t> fs_deps;
  std::vector<tbs_cr_fs_predef_t *> fs_ptrs;
  std::vector<char *> strs;

  // A copy of text kept here.
  char *text(const char *t);
  // Points the record's lists at the lists here.
  void install(tbs_cr_t *cr);
};

// What the record writer is told besides the audit (arguments 3 to 15 of the Part, in order).
struct bldr_cr_create_args_t {
  uint64_t script_hash;
  tbs_oid_t primary_dep_oid;            // null: none
  list_handle_t no_do_list;             // .NO_DO_FOR_SIBLING
  list_handle_t no_sib_do_dirs;         // .NO_SIBLING_DO_CONTAINED_IN
  int32_t makefiles_affect_reuse;
  list_handle_t incr_repository_sibs;   // .INCREMENTAL_REPOSITORY_SIBLING
  int32_t incremental;                  // the target is declared incremental
  int32_t merge_permitted;              // the caller grants the merge with the previous record
  cr_utl_st_hdl_t shared_tables;
  bldr_cr_obj_callback_t obj_callback;  // may be null
  uint32_t track_pathnames;
  int32_t java_arg1;
  int32_t java_arg2;
};

// Reads the audit file into a new audit table and turns it into the record cr (whose header the
// caller filled: format, target name, scripts, explicit and file-system dependencies) and derived
// objects, written through the platform and added to this process's record cache. A record that
// made a derived object is kept as the process's most recent record. *rbld_can_be_reused is 1
// when the audit held the child-build-avoidance marker and the build made no derived object.
// cr's lists are valid only until the call returns. 0, or the failing status (BLDR_CR_ST_
// INTERFERENCE when another process changed what the build used).
ks_status_t bldr_cr_create_dos_crs(const char *audit_pn, tbs_cr_t *cr,
                                   const bldr_cr_create_args_t *args, int32_t *rbld_can_be_reused);

// The same from a table already read: the record's lists live in the table.
ks_status_t bldr_cr_process_audit_table(bldr_cr_audit_table_t *table, tbs_cr_t *cr,
                                        const bldr_cr_create_args_t *args);

// The index of the object of cr at its target name, or -1: the target's directory resolved through
// the view to its deepest versioned directory, and an object named by the rest of the path below
// it (or by the target's leaf, compared without case, with its parents named by that rest).
long bldr_cr_find_mfs_obj_at_target_name(const tbs_cr_t *cr);

// The merge of an incremental target's new record with the record of the derived object that
// held the target name before the build, and the marking of the target object. table is the audit
// table whose record cr is, nt its name table (rebuilt when the record grew). 0, or KS_ST_ERR
// after a message.
ks_status_t bldr_cr_merge_previous_cr(bldr_cr_audit_table_t *table, tbs_cr_t *cr,
                                      cr_utl_nt_hdl_t *nt, const bldr_cr_create_args_t *args);
