// Test helpers for the HTTP layer: socket pairs and loopback clients from
// the support library, and a small reader of the responses a server writes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "http/http.h"
#include "tests/support/socket_pair.h"
#include "tests/support/tcp.h"

using vbd_test::socket_pair;

// A connected IPv4 client socket with a 5-second receive time-out, or -1.
// The connect gives up after connect_ms (a full backlog drops the attempt).
inline int connect_to(const char* address, int port, int connect_ms = 5000) {
  int fd = vbd_test::tcp_connect("", address, port, connect_ms);
  timeval tv{5, 0};
  if (fd != -1) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  return fd;
}

inline bool send_text(int fd, const std::string& bytes) { return vbd_test::send_all(fd, bytes); }

// Opens the server on 127.0.0.1 at a port that was free a moment ago; the
// port, or -1.
inline int open_on_loopback(cg_http_server* server) {
  for (int attempt = 0; attempt < 10; attempt++) {
    int candidate = vbd_test::free_loopback_port(SOCK_STREAM);
    if (cg_http_server_open(server, candidate, "127.0.0.1")) return candidate;
  }
  return -1;
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
