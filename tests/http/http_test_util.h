// Test helpers for the HTTP layer: socket pairs, loopback clients and a
// small reader of the responses a server writes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "http/http.h"

// A cg_socket around one end of a stream socketpair; the other end is raw.
struct socket_pair {
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_STREAM);
  int peer = -1;
  socket_pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      cg_socket_set_fd(sock, fds[0]);
      peer = fds[1];
    }
    // A broken test fails instead of hanging.
    cg_socket_set_timeout(sock, 5);
    timeval tv{5, 0};
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
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

// A connected IPv4 client socket with a 5-second receive time-out, or -1.
// The connect gives up after connect_ms (a full backlog drops the attempt).
inline int connect_to(const char* address, int port, int connect_ms = 5000) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &sin.sin_addr);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  timeval connect_tv{connect_ms / 1000, (connect_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &connect_tv, sizeof(connect_tv));
  if (connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline bool send_text(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Reads responses from a client socket, keeping bytes of the next one.
struct response_reader {
  int fd;
  std::string pending;

  // One whole response (head and Content-Length body); "" when the
  // connection ends or times out first.
  std::string next() {
    for (;;) {
      size_t head_end = pending.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        size_t body = 0;
        size_t cl = pending.find("Content-Length: ");
        if (cl != std::string::npos && cl < head_end)
          body = std::strtoul(pending.c_str() + cl + 16, nullptr, 10);
        size_t total = head_end + 4 + body;
        if (pending.size() >= total) {
          std::string response = pending.substr(0, total);
          pending.erase(0, total);
          return response;
        }
      }
      char buf[4096];
      ssize_t n = recv(fd, buf, sizeof(buf), 0);
      if (n <= 0) return "";
      pending.append(buf, static_cast<size_t>(n));
    }
  }
  // True when the peer closes the connection (after any pending bytes).
  bool closed() {
    char buf[256];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    return n == 0;
  }
};
