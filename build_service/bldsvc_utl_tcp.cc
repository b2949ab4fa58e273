// The socket callbacks of the executor protocol's record streams.
//
// Transient conditions (no data or no room yet, the system short of buffers, a signal) are
// retried; the wait for a stalled connection is bounded by five waits of one second each that
// pass without the socket becoming ready. Sockets are read and written without blocking, so the
// bound holds for blocking sockets too, and writes never raise SIGPIPE.
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>

#include "build_service/bldsvc_utl.h"
#include "build_service/bldsvc_utl_int.h"
#include "ks/imsg.h"

namespace {

constexpr int kAttempts = 5;
int wait_ms = 1000;

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// One wait of the retry loop. For ENOBUFS it sleeps (the socket may be ready, the system is not);
// otherwise it waits for events on fd. True when the socket became ready within the wait.
bool wait_once(int fd, short events, int error) {
  const long long deadline = now_ms() + wait_ms;
  for (;;) {
    const long long left = deadline - now_ms();
    if (left <= 0) return false;
    struct pollfd p = {fd, events, 0};
    const int n = error == ENOBUFS ? poll(nullptr, 0, int(left)) : poll(&p, 1, int(left));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

bool transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS; }

}  // namespace

void bldsvc_tcp_set_retry_wait_ms(int ms) { wait_ms = ms < 1 ? 1 : ms; }

int bldsvc_tcp_read(void *handle, char *buf, int len) {
  const int sock = static_cast<bldsvc_nimbrel_channel_t *>(handle)->socket;
  bldsvc_utl_trace(BLDSVC_UTL_TCP_TRACE, 4, IMSG_TRACE, "bldsvc_tcp_read ");
  int idle_waits = 0;
  for (;;) {
    errno = 0;
    const ssize_t got = recv(sock, buf, size_t(len), MSG_DONTWAIT);
    const int error = errno;
    bldsvc_utl_trace(BLDSVC_UTL_TCP_TRACE, 4, IMSG_TRACE_CONT, "socket %d, %d bytes\n", sock,
                     int(got));
    if (got > 0) return int(got);
    if (got == 0) {
      if (len == 0) return 0;
      bldsvc_utl_trace(BLDSVC_UTL_TCP_TRACE, 4, IMSG_TRACE,
                       "failed socket %d, attempted %d bytes, %s\n", sock, len,
                       "Other side of socket has been closed.");
      return -1;
    }
    if (error == EINTR) continue;
    if (!transient(error)) {
      imsg_print(IMSG_ERROR, &_bldsvc_karsel_msg_table, BLDSVC_MSG_READ_FAILED, sock, len, error,
                 imsg_strerror(error));
      return -1;
    }
    if (idle_waits == kAttempts) {
      imsg_print(IMSG_ERROR, &_bldsvc_karsel_msg_table, BLDSVC_MSG_READ_RETRIES, sock, kAttempts);
      return -1;
    }
    if (!wait_once(sock, POLLIN, error)) ++idle_waits;
  }
}

int bldsvc_tcp_write(void *handle, char *buf, int len) {
  const int sock = static_cast<bldsvc_nimbrel_channel_t *>(handle)->socket;
  bldsvc_utl_trace(BLDSVC_UTL_TCP_TRACE, 4, IMSG_TRACE,
                   "bldsvc_tcp_write socket %d, writing %d bytes\n", sock, len);
  int written = 0, idle_waits = 0;
  while (written < len) {
    errno = 0;
    const ssize_t n = send(sock, buf + written, size_t(len - written), MSG_NOSIGNAL | MSG_DONTWAIT);
    const int error = errno;
    if (n > 0) {
      written += int(n);
      continue;
    }
    if (n < 0 && error == EINTR) continue;
    if (n < 0 && !transient(error)) {
      imsg_print(IMSG_ERROR, &_bldsvc_karsel_msg_table, BLDSVC_MSG_WRITE_FAILED, sock,
                 len - written, written, error, imsg_strerror(error));
      return -1;
    }
    if (idle_waits == kAttempts) {
      imsg_print(IMSG_ERROR, &_bldsvc_karsel_msg_table, BLDSVC_MSG_WRITE_RETRIES, sock, kAttempts);
      return written;
    }
    if (!wait_once(sock, POLLOUT, n < 0 ? error : EAGAIN)) ++idle_waits;
  }
  return written;
}
