// Date utilities: the time of day and its short texts for banners and traces.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <ctime>

#include "ks/ks_status.h"

// The time of day (seconds and microseconds) into *out. 0, or KS_ST_ERR when it cannot be read.
ks_status_t date_get_timeval(struct timeval *out);

// Seconds elapsed from start to end, with microseconds.
double date_timeval_diff(const struct timeval &start, const struct timeval &end);

// The local time of when as "HH:MM:SS" in buf; returns buf ("" when size is too small).
const char *date_fmt_short_time(time_t when, char *buf, size_t size);

// The local date and time of when as "DD-Mon-YY.HH:MM:SS" in buf; returns buf.
const char *date_fmt_short_date(time_t when, char *buf, size_t size);
