// The TCP socket helpers: a listening socket on a port of the system's choice, connections to
// it, and the failures callers must be told about.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dovrel/dovrel_sockutl.h"

namespace {

struct sockaddr_in loopback(in_port_t port) {
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = port;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

bool closes_on_exec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

TEST(DovrelSockutl, ListenConnectAccept) {
  dovrel_sockutl_entry_t *entries = nullptr;
  int count = 0, error = -1;
  ASSERT_EQ(dovrel_sockutl_listen(&entries, &count, &error), 0);
  ASSERT_GE(count, 1);
  EXPECT_EQ(error, 0);
  const dovrel_sockutl_entry_t &entry = entries[0];
  ASSERT_TRUE(entry.addr.ss_family == AF_INET || entry.addr.ss_family == AF_INET6);
  ASSERT_EQ(entry.addr.ss_family, AF_INET) << "this machine has IPv4";
  const in_port_t port = reinterpret_cast<const struct sockaddr_in *>(&entry.addr)->sin_port;
  EXPECT_NE(ntohs(port), 0);
  EXPECT_TRUE(closes_on_exec(entry.fd));

  struct sockaddr_in to = loopback(port);
  const int client = dovrel_sockutl_connect(reinterpret_cast<struct sockaddr *>(&to));
  ASSERT_GE(client, 0);
  struct sockaddr_storage peer;
  const int server = dovrel_sockutl_accept(entry.fd, &peer, &error);
  ASSERT_GE(server, 0);
  EXPECT_EQ(peer.ss_family, AF_INET);
  EXPECT_EQ(reinterpret_cast<struct sockaddr_in *>(&peer)->sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  for (int fd : {client, server}) {
    EXPECT_TRUE(closes_on_exec(fd));
    int nodelay = 0;
    socklen_t length = sizeof nodelay;
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length), 0);
    EXPECT_NE(nodelay, 0);
  }
  ASSERT_EQ(write(client, "ping", 4), 4);
  char buf[4];
  ASSERT_EQ(read(server, buf, 4), 4);
  EXPECT_EQ(memcmp(buf, "ping", 4), 0);
  EXPECT_EQ(dovrel_sockutl_close(client), 0);
  EXPECT_EQ(dovrel_sockutl_close(server), 0);
  EXPECT_EQ(dovrel_sockutl_close(entry.fd), 0);
}

TEST(DovrelSockutl, Failures) {
  // Nobody listens on a port that was just given up.
  dovrel_sockutl_entry_t *entries = nullptr;
  int count = 0, error = 0;
  ASSERT_EQ(dovrel_sockutl_listen(&entries, &count, &error), 0);
  const in_port_t port = reinterpret_cast<const struct sockaddr_in *>(&entries[0].addr)->sin_port;
  dovrel_sockutl_close(entries[0].fd);
  struct sockaddr_in to = loopback(port);
  errno = 0;
  EXPECT_EQ(dovrel_sockutl_connect(reinterpret_cast<struct sockaddr *>(&to)), -1);
  EXPECT_EQ(errno, ECONNREFUSED);

  struct sockaddr unix_addr = {};
  unix_addr.sa_family = AF_UNIX;
  EXPECT_EQ(dovrel_sockutl_connect(&unix_addr), -1);
  EXPECT_EQ(errno, EAFNOSUPPORT);

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  EXPECT_EQ(dovrel_sockutl_accept(pipe_fds[0], nullptr, &error), -1);
  EXPECT_EQ(error, ENOTSOCK);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  EXPECT_EQ(dovrel_sockutl_close(-1), -1);
}

}  // namespace
