// The file-system audit of the calling process and its children.
//
// An audit records every access that the process and its children make inside views into an
// audit file, in the record format that the audit reader expects. The state lives in the audit
// engine of libvosselvessary (loaded here on first use when the process was not started with it),
// so these calls and the audit device act on one state per process. Children receive the engine
// and the audit state through their environment.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>

#include "ks/ks_status.h"

// A view build handle: the build session (0 = none) and the target within it.
struct view_bhandle_t {
  uint32_t build_session;
  uint32_t target_id;
};

// Flag reported by view_audit_get_state while the process audits into a file.
#define VIEW_AUDIT_FLAG_RECORDING 0x10000ULL

// Starts auditing this process and its children into the audit file at pathname (made when
// missing; appended to when it exists, so a suspended audit resumes into the same file), with
// the flags word flags. 0; KS_ST_ERR when the file cannot be written, the engine cannot be
// loaded, or the process already audits into another file.
ks_status_t view_audit_start(const char *pathname, uint64_t flags);

// Ends this process's audit; on return every event recorded so far is in the audit file.
// 0; KS_ST_ERR when no audit runs or the conversion fails.
ks_status_t view_audit_stop();

// As view_audit_stop, for an audit file that this process takes again for its next audit: when
// the audit ends, its raw event file is emptied for that audit to renew instead of removed
// (making a file costs more than the rest of an audit's end and start).
ks_status_t view_audit_stop_kept();

// Writes marker n (0..6) into the audit at this point of the event stream. 0; KS_ST_ERR when no
// audit runs.
ks_status_t view_audit_marker(uint32_t n);

// Brings the audit file up to date with every event recorded so far, the audit going on.
// 0; KS_ST_ERR when no audit runs or the conversion fails.
ks_status_t view_audit_sync();

// Reports the process's audit: the build handle, the audit file pathname (empty when none; the
// buffer holds at most buf_size - 1 characters) and the flags word (VIEW_AUDIT_FLAG_RECORDING
// while recording). Each output may be null. 0; KS_ST_TRUNCATED when the pathname does not fit;
// KS_ST_ERR when the engine cannot be loaded.
ks_status_t view_audit_get_state(view_bhandle_t *bhandle, char *path_buf, size_t buf_size,
                                 uint64_t *flags);

// Associates this process's audits (and its children's) with a build handle and a reference
// time (null: none). 0; KS_ST_ERR when the engine cannot be loaded.
ks_status_t view_audit_set_bhandle(view_bhandle_t bhandle, const struct timeval *ref_time);

// Records an examination that the process makes itself (a stat through the platform's file
// functions), while an audit runs; nothing otherwise. follow: a final symbolic link is followed.
void view_audit_note_stat(const char *pathname, int follow);

// How far an audit has come when its raw events are converted.
enum view_audit_cvt_t {
  VIEW_AUDIT_CVT_SYNC,  // it goes on
  VIEW_AUDIT_CVT_STOP,  // this process's part of it ended
  VIEW_AUDIT_CVT_END,   // it ended: the process that began it stopped
  VIEW_AUDIT_CVT_END_KEEP,  // it ended, and its raw event file is kept emptied for the next audit
};

// Converts the raw events of the audit file at audit_path that are not converted yet into audit
// records appended to that file. Once the audit has ended (or its part ended and no process
// records into it any more) its raw events and the converter's state are removed (the raw event
// file is emptied instead with VIEW_AUDIT_CVT_END_KEEP), unless VESSARY_AUDIT_KEEP_RAW is set. A conversion interrupted at any point and run again gives the
// same audit file. 0, or KS_ST_ERR after printing why.
ks_status_t view_audit_convert(const char *audit_path, view_audit_cvt_t mode);
