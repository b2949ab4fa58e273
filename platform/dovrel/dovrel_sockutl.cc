// TCP sockets between the make process and its executors.
#include "dovrel/dovrel_sockutl.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

dovrel_sockutl_entry_t listen_entry;

socklen_t address_length(int family) {
  switch (family) {
    case AF_INET:
      return sizeof(struct sockaddr_in);
    case AF_INET6:
      return sizeof(struct sockaddr_in6);
    default:
      return 0;
  }
}

void set_no_delay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A socket of family listening on the any-address with a port of the system's choice; -1 with
// errno set on failure.
int listen_on(int family, struct sockaddr_storage *bound) {
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_storage any;
  memset(&any, 0, sizeof any);
  any.ss_family = sa_family_t(family);
  if (family == AF_INET) {
    reinterpret_cast<struct sockaddr_in *>(&any)->sin_addr.s_addr = htonl(INADDR_ANY);
  } else {
    reinterpret_cast<struct sockaddr_in6 *>(&any)->sin6_addr = in6addr_any;
  }
  socklen_t length = sizeof *bound;
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&any), address_length(family)) != 0 ||
      listen(fd, SOMAXCONN) != 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr *>(bound), &length) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// Waits for a connect that a signal interrupted to finish; 0, or -1 with errno set.
int finish_connect(int fd) {
  struct pollfd p = {fd, POLLOUT, 0};
  while (poll(&p, 1, -1) < 0) {
    if (errno != EINTR) return -1;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return -1;
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

}  // namespace

int dovrel_sockutl_listen(dovrel_sockutl_entry_t **entries, int *count, int *error) {
  memset(&listen_entry, 0, sizeof listen_entry);
  int fd = listen_on(AF_INET, &listen_entry.addr);
  if (fd < 0 && errno == EAFNOSUPPORT) fd = listen_on(AF_INET6, &listen_entry.addr);
  if (fd < 0) {
    *error = errno;
    *entries = nullptr;
    *count = 0;
    return -1;
  }
  listen_entry.fd = fd;
  *entries = &listen_entry;
  *count = 1;
  *error = 0;
  return 0;
}

int dovrel_sockutl_accept(int listen_fd, struct sockaddr_storage *peer, int *error) {
  struct sockaddr_storage address;
  for (;;) {
    socklen_t length = sizeof address;
    const int fd = accept4(listen_fd, reinterpret_cast<struct sockaddr *>(&address), &length,
                           SOCK_CLOEXEC);
    if (fd >= 0) {
      set_no_delay(fd);
      if (peer != nullptr) *peer = address;
      *error = 0;
      return fd;
    }
    if (errno != EINTR) break;
  }
  *error = errno;
  return -1;
}

int dovrel_sockutl_connect(const struct sockaddr *addr) {
  const socklen_t length = address_length(addr->sa_family);
  if (length == 0) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  const int fd = socket(addr->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, addr, length) != 0 && (errno != EINTR || finish_connect(fd) != 0)) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  set_no_delay(fd);
  return fd;
}

int dovrel_sockutl_close(int fd) {
  if (close(fd) == 0 || errno == EINTR) return 0;
  return -1;
}
