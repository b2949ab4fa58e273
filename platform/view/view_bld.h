// Build sessions of a view: the number a make run builds under, the build handle in force and
// the reference time of the session, kept in the view's database.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "ks/ks_status.h"
#include "view/view_audit.h"
#include "view/view_info.h"

// Starts a build session in the view: *session receives its number (never 0), which is recorded
// with the time asked for (ask_time, or now when null) as the session's reference time. flags is
// not used. 0, or KS_ST_ERR after printing why the view database cannot be written.
ks_status_t view_bld_session_flags(view_handle_t view, const struct timeval *ask_time, int flags,
                                   uint32_t *session);

// Ends the session that this process started in the view, if any. 0, or KS_ST_ERR when the view
// database cannot be written.
ks_status_t view_bld_session_free(view_handle_t view);

// Makes bhandle the view's build handle in force for this process.
void view_set_bhandle(view_handle_t view, view_bhandle_t bhandle);

// The reference time of the build handle in force in the view: the start time of its session
// (the present time when the session is unknown or none is in force). 0, or KS_ST_ERR for a null
// view.
ks_status_t view_bld_get_ref_time(view_handle_t view, struct timeval *ref_time);

// Opens the root of the views once per process (for views reached by pathname); the handle (a
// descriptor), or -1 when there is no root. Not inherited by child processes.
int vessary_view_root_open_no_inherit();
