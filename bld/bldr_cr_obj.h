// The judgement of each object a rebuild's audit recorded: whether it becomes a new derived
// object (a file the build created), a subordinate one (a derived object the build read), or
// neither, and the makefile's requests that some files not become derived objects
// (.NO_DO_FOR_SIBLING, .NO_SIBLING_DO_CONTAINED_IN).
#pragma once

#include <cstddef>

#include "bld/bldr_cr_audit_table.h"
#include "ks/ks_status.h"
#include "ks/list.h"

// Judges the audited object obj at the view-relative pathname, whose VOB is vob (the record's
// VOB entry). Corrects obj first: a derived object below view-private directories is re-attached
// to its nearest versioned ancestor (its name becomes the path from there); a written file gets
// its current meta-type and modification time from the view; a file for which no derived object
// is requested, other than the target, becomes non-critical. *is_do tells whether the object is a
// derived object. 0; KS_ST_NOT_FOUND when a ".vessary" object no longer exists (the caller drops
// it); KS_ST_ERR after a message; or the status of the target's lookup in the view.
ks_status_t bldr_cr_check_audited_obj(bldr_cr_audit_table_t *table, const char *pathname,
                                      bldr_cr_audit_obj_t *obj, const bldr_cr_audit_vob_t *vob,
                                      list_handle_t no_do_list, list_handle_t no_sib_do_dirs,
                                      const char *target_name, int *is_do);

// 1 when no derived object is requested for the absolute pathname: it matches the
// .NO_DO_FOR_SIBLING pattern list (*exact_match_p tells whether the list names it exactly), or it
// lies inside a directory that a pattern of the .NO_SIBLING_DO_CONTAINED_IN list (may be null)
// matches (*match_contained_in_p set). Else 0. Null pointers are assertions.
int bldr_cr_requested_no_do(const char *obj_abs_pn, list_handle_t no_do_list,
                            list_handle_t no_sib_do_dirs, int *exact_match_p,
                            int *match_contained_in_p);

// 1 when one run of obj_seps - c directory components of obj_abs_pn (c the components of the
// pattern) matches the directory pattern dir_patt: without "%" by pathname equality, with one "%"
// by the text before it as a prefix and the text after it as a suffix, which must not overlap.
// The leaf is never compared. obj_seps is the number of "/" in obj_abs_pn (at least 1).
int bldr_cr_requested_no_sib_do_contained_in(const char *obj_abs_pn, const char *dir_patt,
                                             int obj_seps);

// The pathname usable from here of a view-relative pathname of the build's view (a view-extended
// pathname), into buf. 0; KS_ST_NAME_TOO_LONG when it does not fit.
ks_status_t bldr_cr_vrel_accessible_pn(const char *vrel, size_t size, char *buf);
