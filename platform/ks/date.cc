#include "ks/date.h"

ks_status_t date_get_timeval(struct timeval *out) {
  return gettimeofday(out, nullptr) == 0 ? KS_ST_OK : KS_ST_ERR;
}

double date_timeval_diff(const struct timeval &start, const struct timeval &end) {
  return double(end.tv_sec - start.tv_sec) + double(end.tv_usec - start.tv_usec) * 0.000001;
}

namespace {

const char *format(time_t when, const char *fmt, char *buf, size_t size) {
  if (size == 0) return buf;
  struct tm tm;
  if (localtime_r(&when, &tm) == nullptr || strftime(buf, size, fmt, &tm) == 0) buf[0] = '\0';
  return buf;
}

}  // namespace

const char *date_fmt_short_time(time_t when, char *buf, size_t size) {
  return format(when, "%H:%M:%S", buf, size);
}

const char *date_fmt_short_date(time_t when, char *buf, size_t size) {
  return format(when, "%d-%b-%y.%H:%M:%S", buf, size);
}
