// Shopping for derived objects in a VOB directory, their promotion into the VOB's pool, their
// deletion, and the services that winkin needs around them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cm/cr_utl_hash.h"
#include "ks/ks_status.h"
#include "tbs/tbs_cr.h"
#include "tbs/tbs_oid.h"
#include "view/view_xstat.h"
#include "vob/vob_ob.h"

// A walk over shopping candidates; VOB_OB_CURSOR_NULL before the first call and after the last.
struct vob_ob_cursor_s;
typedef vob_ob_cursor_s *vob_ob_cursor_t;
#define VOB_OB_CURSOR_NULL ((vob_ob_cursor_t)0)

// The next candidate: a derived object named do_name in the directory dir_dbid (vob_ob.h) whose
// record was made from a primary dependency with the hash dep_hash and, unless script_hash is 0,
// by a script with that hash; candidates whose dependency hashes hold one of the count
// trouble-maker hashes (re-read at each call: they grow as candidates mismatch) are passed over.
// The most recently built come first. KS_ST_OK with *do_oid; KS_ST_NOT_FOUND when none is left
// (the cursor is then closed); KS_ST_ERR when the VOB cannot be read (printed). While a cursor
// is open, the process's queries of VOBs read one snapshot (dbrpc_vobdb_read_begin): evaluate its
// candidates, then close it.
ks_status_t cm_do_next_named_hash_do(vob_handle_t vobh, uint32_t dir_dbid, const char *do_name,
                                     uint32_t dep_hash, uint64_t script_hash,
                                     const cr_utl_dep_hash_t *hashes, uint32_t count,
                                     vob_ob_cursor_t *cursor, tbs_oid_t *do_oid);

// Closes a cursor (a null cursor is fine) and nulls it.
void vob_ob_cursor_close(vob_ob_cursor_t *cursor);

// The hash by which a primary dependency's derived objects are shopped for (the null OID when
// the target has no primary dependency).
uint32_t cm_do_primary_hash(const tbs_oid_t *primary_dep_oid);

// Promotes the derived object dbid of the VOB: its data, unchanged since its build in the view
// that built it, is copied into the VOB's pool (read-only, with its modification time) and the
// derived object becomes shared. 0, also when it was shared already; KS_ST_NOT_FOUND when it is
// no derived object or its data is gone or changed; KS_ST_ERR (printed, or errno set).
ks_status_t vob_do_promote(vob_handle_t vobh, uint32_t dbid);

// The same for the derived object of OID do_oid.
ks_status_t vob_do_promote_oid(vob_handle_t vobh, const tbs_oid_t *do_oid);

// Deletes a derived object of the VOB (its record with it when no other derived object has it,
// and its pool data). 0, or the store's status.
ks_status_t vob_do_delete(vob_handle_t vobh, const tbs_oid_t *do_oid);

// Whether the derived object still has its data (in the pool, or unchanged in the view that built
// it), and then that data's file status. 0; KS_ST_NOT_FOUND when the VOB has no such derived
// object; KS_ST_ERR.
ks_status_t vob_do_oid_get_fstat_if_data(vob_handle_t vobh, const tbs_oid_t *do_oid, int *has_data,
                                         view_fstat_t *fstat);

// Whether the user may access a file of that status in the ways of mode (4 read, 2 write, 1
// execute): *access 1 or 0. 0; KS_ST_ERR with *error the errno when it cannot be told.
ks_status_t tbs_access_fstat(const view_fstat_t *fstat, int mode, int *access, int *error);

// The hook called for each directory that cm_do_create_junk_dirs_with_hook creates.
typedef void (*cm_do_junk_dir_hook_t)(const char *dir_pname, const char *view_tag,
                                      const tbs_oid_t *vob_oid, int flag);

// Creates dir and every missing directory above it, calling hook (when not null) for each one
// made, outermost first, with view_tag, vob_oid and flag. 0, or KS_ST_ERR with errno set.
ks_status_t cm_do_create_junk_dirs_with_hook(const char *dir, cm_do_junk_dir_hook_t hook,
                                             const char *view_tag, const tbs_oid_t *vob_oid,
                                             int flag);

// The VOBs of a record as handles (a heap array of cr->vob_count; free it with
// cr_utl_free_cr_voblist); null when one of them is not registered here.
vob_handle_t *cr_utl_require_cr_voblist(const tbs_cr_t *cr);
void cr_utl_free_cr_voblist(vob_handle_t *list);
// Whether one of the count VOBs is locked: VOBs are never locked here, so 0.
int cr_utl_any_locked_voblist(const vob_handle_t *list, uint32_t count);
// Waits until none of the VOBs is locked: at once here. 0.
ks_status_t vob_utl_wait4_unlock_voblist(const vob_handle_t *list, uint32_t count, int flag,
                                         int wait_for_users, int flag2);
