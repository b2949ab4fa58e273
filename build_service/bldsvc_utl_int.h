// What the parts of the executor protocol module share: its traces.
#pragma once

// Trace names of the protocol and of its socket traffic.
#define BLDSVC_UTL_TRACE "bldsvc_utl"
#define BLDSVC_UTL_TCP_TRACE "bldsvc_utl/tcp"

// Whether traces of name print at level (the make verbosity or the trace settings).
bool bldsvc_utl_tracing(const char *name, int level);

// Prints a trace at severity (IMSG_TRACE, or IMSG_TRACE_CONT to continue a line) under name when
// traces of name print at level.
void bldsvc_utl_trace(const char *name, int level, int severity, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// text, or "(null)" for a null pointer, for traces.
const char *bldsvc_utl_str(const char *text);
