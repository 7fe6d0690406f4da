// Test support: a cg_socket around one end of a stream socketpair, the
// other end raw, for tests of code that reads and writes cg_sockets.
// Header only: a test using it links the network layer itself.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "net/net.h"

namespace vbd_test {

struct socket_pair {
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_STREAM);
  int peer = -1;
  // timeout_s > 0: both ends give up a read (and the cg_socket a write)
  // after that many seconds, so a broken test fails instead of hanging.
  explicit socket_pair(int timeout_s = 5) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      cg_socket_set_fd(sock, fds[0]);
      peer = fds[1];
    }
    if (timeout_s > 0) {
      cg_socket_set_timeout(sock, timeout_s);
      timeval tv{timeout_s, 0};
      setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
  }
  ~socket_pair() {
    cg_socket_delete(sock);
    if (peer >= 0) close(peer);
  }
  socket_pair(const socket_pair&) = delete;
  socket_pair& operator=(const socket_pair&) = delete;

  bool send_peer(const std::string& bytes) const {
    return write(peer, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  void close_peer_writes() const { shutdown(peer, SHUT_WR); }
  // Everything the peer can read until the cg_socket side is closed.
  std::string peer_read_all() const {
    std::string all;
    char buf[4096];
    for (;;) {
      ssize_t n = read(peer, buf, sizeof(buf));
      if (n <= 0) return all;
      all.append(buf, static_cast<size_t>(n));
    }
  }
};

}  // namespace vbd_test
