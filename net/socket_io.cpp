// Stream input and output on a cg_socket: raw reads, whole writes with a
// bounded retry, and line reads.
#include <sys/socket.h>

#include "net/net.h"

int cg_socket_read(cg_socket* sock, char* buffer, int size) {
  if (!sock || !buffer || size < 0) return -1;
  return static_cast<int>(recv(sock->fd, buffer, static_cast<size_t>(size), 0));
}

int cg_socket_write(cg_socket* sock, const char* data, int length) {
  if (length <= 0) return 0;
  if (!sock || !data) return -1;
  int sent = 0;
  int failures = 0;
  while (sent < length) {
    // MSG_NOSIGNAL: a peer that went away is an error here, never a signal,
    // whatever the process's SIGPIPE disposition is at the moment.
    ssize_t n = send(sock->fd, data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<int>(n);
      failures = 0;
      continue;
    }
    if (++failures > CG_SOCKET_SEND_RETRIES) return -1;
    cg_sleep_ms(CG_SOCKET_SEND_RETRY_WAIT_MS);
  }
  return sent;
}

int cg_socket_read_line(cg_socket* sock, char* buffer, int size) {
  if (!sock || !buffer || size < 2) {
    if (buffer && size == 1) buffer[0] = '\0';
    return -1;
  }
  int stored = 0;
  bool line_end = false;
  while (stored < size - 1) {
    char c;
    if (cg_socket_read(sock, &c, 1) <= 0) {
      buffer[stored] = '\0';
      return -1;
    }
    buffer[stored++] = c;
    if (c == '\n') {
      line_end = true;
      break;
    }
  }
  buffer[stored] = '\0';
  // The line was longer than the buffer: consume the rest of it so that the
  // next read starts at the next line.
  while (!line_end) {
    char c;
    if (cg_socket_read(sock, &c, 1) <= 0) break;
    line_end = c == '\n';
  }
  return stored;
}
