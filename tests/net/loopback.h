// Test helpers: free loopback ports and connected descriptor pairs.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A port on 127.0.0.1 that was free a moment ago (the kernel's ephemeral choice).
inline int free_loopback_port(int socktype) {
  int fd = socket(AF_INET, socktype, 0);
  if (fd < 0) return -1;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sin);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) == 0) {
    port = ntohs(sin.sin_port);
  }
  close(fd);
  return port;
}

// Local port of a descriptor.
inline int local_port_of(int fd) {
  sockaddr_in sin{};
  socklen_t len = sizeof(sin);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) return -1;
  return ntohs(sin.sin_port);
}
