// The version-control library, loaded on first use instead of at program start, so programs
// that never touch a VOB or view store do not pay for loading it and what it pulls in.
//
// Include this header instead of <git2.h>: it keeps the library's types and declarations and
// turns each call of a library function named below into a call through a pointer resolved once
// per call site. A missing library ends the program with an error.
#pragma once

#include <git2.h>

#include "ks/ks_dl.h"

extern ks_dl_library_t vob_git_library;

#define VOB_GIT_CALL(name) KS_DL_CALL(vob_git_library, name)

#define git_branch_lookup VOB_GIT_CALL(git_branch_lookup)
#define git_commit_create VOB_GIT_CALL(git_commit_create)
#define git_error_last VOB_GIT_CALL(git_error_last)
#define git_index_free VOB_GIT_CALL(git_index_free)
#define git_index_get_bypath VOB_GIT_CALL(git_index_get_bypath)
#define git_index_write_tree VOB_GIT_CALL(git_index_write_tree)
#define git_libgit2_init VOB_GIT_CALL(git_libgit2_init)
#define git_object_free VOB_GIT_CALL(git_object_free)
#define git_object_id VOB_GIT_CALL(git_object_id)
#define git_object_peel VOB_GIT_CALL(git_object_peel)
#define git_odb_hash VOB_GIT_CALL(git_odb_hash)
#define git_oid_equal VOB_GIT_CALL(git_oid_equal)
#define git_oid_tostr VOB_GIT_CALL(git_oid_tostr)
#define git_reference_delete VOB_GIT_CALL(git_reference_delete)
#define git_reference_free VOB_GIT_CALL(git_reference_free)
#define git_repository_commondir VOB_GIT_CALL(git_repository_commondir)
#define git_repository_free VOB_GIT_CALL(git_repository_free)
#define git_repository_hashfile VOB_GIT_CALL(git_repository_hashfile)
#define git_repository_index VOB_GIT_CALL(git_repository_index)
#define git_repository_init VOB_GIT_CALL(git_repository_init)
#define git_repository_open_bare VOB_GIT_CALL(git_repository_open_bare)
#define git_repository_open_ext VOB_GIT_CALL(git_repository_open_ext)
#define git_repository_open_from_worktree VOB_GIT_CALL(git_repository_open_from_worktree)
#define git_repository_path VOB_GIT_CALL(git_repository_path)
#define git_repository_set_head_detached VOB_GIT_CALL(git_repository_set_head_detached)
#define git_revparse_single VOB_GIT_CALL(git_revparse_single)
#define git_signature_default VOB_GIT_CALL(git_signature_default)
#define git_signature_free VOB_GIT_CALL(git_signature_free)
#define git_signature_now VOB_GIT_CALL(git_signature_now)
#define git_tree_entry_byindex VOB_GIT_CALL(git_tree_entry_byindex)
#define git_tree_entry_byname VOB_GIT_CALL(git_tree_entry_byname)
#define git_tree_entry_bypath VOB_GIT_CALL(git_tree_entry_bypath)
#define git_tree_entry_filemode VOB_GIT_CALL(git_tree_entry_filemode)
#define git_tree_entry_free VOB_GIT_CALL(git_tree_entry_free)
#define git_tree_entry_id VOB_GIT_CALL(git_tree_entry_id)
#define git_tree_entry_name VOB_GIT_CALL(git_tree_entry_name)
#define git_tree_entrycount VOB_GIT_CALL(git_tree_entrycount)
#define git_tree_free VOB_GIT_CALL(git_tree_free)
#define git_tree_id VOB_GIT_CALL(git_tree_id)
#define git_tree_lookup VOB_GIT_CALL(git_tree_lookup)
#define git_tree_walk VOB_GIT_CALL(git_tree_walk)
#define git_worktree_add VOB_GIT_CALL(git_worktree_add)
#define git_worktree_free VOB_GIT_CALL(git_worktree_free)
#define git_worktree_lookup VOB_GIT_CALL(git_worktree_lookup)
#define git_worktree_prune VOB_GIT_CALL(git_worktree_prune)
