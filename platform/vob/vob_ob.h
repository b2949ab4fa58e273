// VOBs: handles, identities, mount points, and the derivation of element and version OIDs.
//
// Identity mapping (every view that selects a version sees the same OIDs):
// - VOB OID: a random UUID made when the repository is registered (the registry keeps it). The
//   VOB's replica UUID is the same 16 bytes: each VOB has exactly one replica.
// - Element OID: derived from the VOB OID and the element's pathname below the VOB root ("" for
//   the root directory), so a renamed path is another element.
// - Version OID of a file or link: derived from the element OID and the git blob id, so two
//   elements with equal contents still have different versions.
// - Version OID of a directory: derived from the element OID and a digest of the names and
//   kinds of its tracked entries, not of their contents.
// - Object serial number: the first eight bytes of the element OID, the same for every version
//   of an element; for a view-private object, its own OID's first eight bytes: each object is its
//   own element, so an object that replaces another under the same name (a rebuilt file) is not
//   taken for a second version of it.
// Derivations are SHA-1 digests (name-based UUID layout) of a kind label and the inputs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ks/ks_status.h"
#include "tbs/tbs_oid.h"

// A handle on a registered VOB within this process; VOB_HANDLE_NULL is none.
typedef uint64_t vob_handle_t;
#define VOB_HANDLE_NULL ((vob_handle_t)0)

// An object serial number: stable for an object of a VOB across its versions.
struct vob_objsn_t {
  uint32_t hi;
  uint32_t lo;
};

// Element, version and serial derivations (see above).
tbs_oid_t vob_ob_elem_oid(const tbs_oid_t &vob_oid, std::string_view vob_rel);
tbs_oid_t vob_ob_ver_oid(const tbs_oid_t &elem_oid, const uint8_t *digest, size_t digest_len);
vob_objsn_t vob_ob_elem_objsn(const tbs_oid_t &elem_oid);
vob_objsn_t vob_ob_private_objsn(const tbs_oid_t &oid);

// The VOB that holds path (its own VOB root included), following a final symbolic link; the
// "l" form does not follow it. KS_ST_OK with *vobh set, KS_ST_NOT_IN_VOB when the path lies in no
// VOB (in a view or not), KS_ST_NOT_IN_VIEW when it does not exist, another status on failure.
ks_status_t vob_ob_mount_pname_to_vobh(const char *path, vob_handle_t *vobh);
ks_status_t vob_ob_l_mount_pname_to_vobh(const char *path, vob_handle_t *vobh);

// The handle of the VOB with that OID; KS_ST_NOT_FOUND when no VOB has it.
ks_status_t vob_ob_vob_oid_to_vobh(const tbs_oid_t *vob_oid, vob_handle_t *vobh);
// The same for a VOB that must be reachable here (every registered VOB is).
ks_status_t vob_ob_mounted_vob_oid_to_vobh(const tbs_oid_t *vob_oid, vob_handle_t *vobh);

// The handle of the VOB holding the replica; KS_ST_NOT_FOUND when no VOB has it. The further
// arguments are accepted for the callers' shape and not used.
ks_status_t vob_ob_register_replica(const tbs_uuid_t *replica_uuid, const tbs_oid_t *unused_oid,
                                    int unused1, int unused2, vob_handle_t *vobh);

// Identity of a handle's VOB; KS_ST_NOT_FOUND for an unknown handle.
ks_status_t vob_ob_get_oid(vob_handle_t vobh, tbs_oid_t *vob_oid);
ks_status_t vob_ob_get_replica_uuid(vob_handle_t vobh, tbs_uuid_t *replica_uuid);
// The VOB's tag; null for an unknown handle. Valid while the process lives.
const char *vob_ob_get_tag(vob_handle_t vobh);
// The VOB's git directory and registered repository directory; empty for an unknown handle.
std::string vob_ob_get_git_dir(vob_handle_t vobh);
std::string vob_ob_get_storage_path(vob_handle_t vobh);

// The VOB's mount directory: its view-relative root "/<VOB tag>", which becomes an accessible
// pathname when prefixed with a view's directory. KS_ST_NAME_TOO_LONG when it does not fit
// size bytes; KS_ST_NOT_FOUND for an unknown handle. flag1 and flag2 are not used.
ks_status_t vob_ob_get_mount_dir_pname(vob_handle_t vobh, int flag1, int flag2, size_t size,
                                       char *buf);

// Whether dir is a VOB's mount directory ("/<VOB tag>") or a VOB root in a view.
bool vob_utl_is_mounted_vob_pname(const char *dir);

// The object caches of the VOB layer; actions are accepted and succeed (nothing is cached
// across calls that could go stale).
ks_status_t vob_ob_all_cache_action(vob_handle_t vobh, int action, int flag);

// Database identifiers: a 32-bit number per object of a VOB (versions, elements), kept in the
// VOB's vob.db. An object gets one the first time one is asked for; this process can give one
// to every object whose identity it has handed out (see vob_ob_note_object), and any process to
// an object that already has one.

// Tells the VOB layer of an object whose identity was handed out: a version (VOB_MTYPE_VERSION,
// VOB_MTYPE_SLINK, VOB_MTYPE_DIR_VERSION) with its element, at vob_rel below the VOB's root.
void vob_ob_note_object(const tbs_oid_t &vob_oid, const tbs_oid_t &obj_oid, uint32_t mtype,
                        const tbs_oid_t &elem_oid, std::string_view vob_rel);

// Forgets the objects noted by this process (for tests that stand for a new process).
void vob_ob_flush_cache();

// Database identifiers with this bit are those of derived objects: the rest is the derived
// object's row in the VOB's store of derived objects.
#define VOB_DBID_DO 0x80000000u

// The database identifier of the version, element or derived object with that OID;
// KS_ST_NOT_FOUND when the OID is not known as an object of this VOB, KS_ST_ERR on failure
// (printed).
ks_status_t vob_obj_oid_to_dbid(vob_handle_t vobh, const tbs_oid_t *oid, uint32_t *dbid);

// The OID of the object with that database identifier; KS_ST_NOT_FOUND when none.
ks_status_t vob_obj_dbid_to_oid(vob_handle_t vobh, uint32_t dbid, tbs_oid_t *oid);

// The database identifier of a version's element; KS_ST_NOT_FOUND when ver_dbid is no version.
ks_status_t vob_ver_get_elem(vob_handle_t vobh, uint32_t ver_dbid, uint32_t *elem_dbid);

// The pathname of an object: "/<VOB tag>/<path below the root>" ("/<VOB tag>" for the root),
// the view-relative name of the element. vob_tag, when not null or empty, stands for the
// handle's tag; the three further arguments are not used. KS_ST_NOT_FOUND for an unknown
// identifier, KS_ST_NAME_TOO_LONG when it does not fit size bytes.
ks_status_t vob_obj_to_pname(vob_handle_t vobh, uint32_t dbid, const char *vob_tag, int unused1,
                             int unused2, int unused3, size_t size, char *buf);

// Flags of vob_resolve_abspn_cond.
#define VOB_RESOLVE_MUST_EXIST 0x1  // the final component must exist
#define VOB_RESOLVE_FOLLOW 0x2      // resolve a final symbolic link too

// The canonical absolute pathname of path into buf: every directory's symbolic links, "." and
// ".." resolved, the final component as flag says; a final component that does not exist is
// kept. 0 on success; -1 with errno set on failure (ENOENT when it must exist and does not,
// ENAMETOOLONG when it does not fit size bytes).
int vob_resolve_abspn_cond(const char *path, char *buf, size_t size, int flag);

// --- Derived objects: where they are shopped for, and their names.
//
// A derived object is shopped for by the directory that holds it and its leaf name. The directory
// is known by the database identifier of its element, whose OID derives from its pathname below
// the VOB root (vob_ob_elem_oid): every view gives one directory the same identifier, whether it
// is tracked, view-private or not made yet.

// The database identifier of the directory element at dir_rel below the VOB root ("" for the
// root), entered when new. KS_ST_OK; KS_ST_NOT_FOUND for an unknown handle; KS_ST_ERR (printed).
ks_status_t vob_dir_elem_dbid(vob_handle_t vobh, const std::string &dir_rel, uint32_t *dbid);

// Splits pathname (a final symbolic link is not followed; the object need not exist) into the VOB
// that holds it, its directory's identifier as above, and its leaf (into leaf, leaf_size bytes).
// The two null arguments are accepted for the callers' shape; flag is not used. KS_ST_OK;
// KS_ST_NOT_IN_VOB when the pathname lies in no VOB or is a VOB root; KS_ST_NAME_TOO_LONG when the
// leaf does not fit; another status of the resolution.
ks_status_t vob_resolve_do_split_pn(const char *pathname, void *unused1, void *unused2, int flag,
                                    vob_handle_t *vobh, uint32_t *dir_dbid, size_t leaf_size,
                                    char *leaf);

// The version-extended name of the object dbid for messages: "/<VOB tag>/<path>@@<OID>" into buf
// (size bytes). KS_ST_OK; KS_ST_NOT_FOUND for an unknown identifier; KS_ST_NAME_TOO_LONG.
ks_status_t vob_obj_get_name_ext(vob_handle_t vobh, uint32_t dbid, size_t size, char *buf);

// The OID of the object dbid (as vob_obj_dbid_to_oid).
ks_status_t vob_obj_get_oid(vob_handle_t vobh, uint32_t dbid, tbs_oid_t *oid);

// --- Branches and version numbers.
//
// Every element has one branch, "/main", on which lie the versions the VOB knows, numbered from
// 1. A branch's version 0 holds the data of the version it grows from, and a version is known by
// its element and its data here, so version 0 of a branch is that very version: no version is
// version 0 of a branch, and a branch grows from no version.

// The branch of the version ver_dbid into *branch_dbid. KS_ST_OK; KS_ST_NOT_FOUND when ver_dbid
// is no version; KS_ST_ERR (printed).
ks_status_t vob_ver_get_branch(vob_handle_t vobh, uint32_t ver_dbid, uint32_t *branch_dbid);
// The version the branch grows from: KS_ST_NOT_FOUND (no branch grows from a version here).
ks_status_t vob_branch_get_pred_ver(vob_handle_t vobh, uint32_t branch_dbid, uint32_t *ver_dbid);
// The number of the version ver_dbid on its branch. KS_ST_OK; KS_ST_NOT_FOUND when no version.
ks_status_t vob_ver_get_ver_num(vob_handle_t vobh, uint32_t ver_dbid, uint64_t *num);
// The branch's pathname ("/main") into buf. KS_ST_OK; KS_ST_NAME_TOO_LONG.
ks_status_t vob_branch_get_pname(vob_handle_t vobh, uint32_t branch_dbid, size_t size, char *buf);
