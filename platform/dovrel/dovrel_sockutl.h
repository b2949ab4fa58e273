// TCP sockets between the make process and its executors: the listening socket, accepting,
// connecting and closing.
//
// Every socket made here is closed on exec and sends without delay (TCP_NODELAY): the protocol
// over it is a conversation of small messages, each written whole.
#pragma once

#include <sys/socket.h>

// A listening socket and the address it is bound to.
struct dovrel_sockutl_entry_t {
  int fd;
  struct sockaddr_storage addr;
};

// Makes the process's listening socket: TCP on every address of the host (IPv4, or IPv6 where the
// host has no IPv4), on a port the system chooses, which addr tells. 0 with *entries pointing to
// *count (at least 1) entries that stay valid until the next call; -1 with *error set to the
// system error number when no socket could be made.
int dovrel_sockutl_listen(dovrel_sockutl_entry_t **entries, int *count, int *error);

// Accepts the next connection on listen_fd. The new socket, with the peer's address in *peer
// (when not null); -1 with *error set when none can be accepted.
int dovrel_sockutl_accept(int listen_fd, struct sockaddr_storage *peer, int *error);

// Connects to addr (an IPv4 or IPv6 address with its port). The connected socket, or -1 with
// errno set.
int dovrel_sockutl_connect(const struct sockaddr *addr);

// Closes a socket made by these functions. 0, or -1 with errno set.
int dovrel_sockutl_close(int fd);
