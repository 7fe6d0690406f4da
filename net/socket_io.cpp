// Stream input and output on a cg_socket: raw reads, whole writes that wait
// a bounded time for room, single non-blocking writes, and line reads.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

#include "net/net.h"

namespace {

// A failed send worth trying again: the socket has no room now, or a
// signal came first. Anything else (a reset or closed peer, a bad
// descriptor) will not get better.
bool send_may_succeed_later(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

int cg_socket_read(cg_socket* sock, char* buffer, int size) {
  if (!sock || !buffer || size < 0) return -1;
  return static_cast<int>(recv(sock->fd, buffer, static_cast<size_t>(size), 0));
}

int cg_socket_write(cg_socket* sock, const char* data, int length) {
  if (length <= 0) return 0;
  if (!sock || !data) return -1;
  constexpr int kBudgetMs = CG_SOCKET_SEND_RETRIES * CG_SOCKET_SEND_RETRY_WAIT_MS;
  int sent = 0;
  int64_t give_up_at = -1;  // set when a stall begins, cleared by progress
  while (sent < length) {
    // MSG_NOSIGNAL: a peer that went away is an error here, never a signal,
    // whatever the process's SIGPIPE disposition is.
    ssize_t n = send(sock->fd, data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<int>(n);
      give_up_at = -1;
      continue;
    }
    if (n < 0 && !send_may_succeed_later(errno)) return -1;
    if (n < 0 && errno == EINTR) continue;
    int64_t now = cg_monotonic_ms();
    if (give_up_at < 0) give_up_at = now + kBudgetMs;
    if (now >= give_up_at) return -1;
    // Room to write, an error, or the end of the budget: the next send tells.
    pollfd p{sock->fd, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(give_up_at - now));
  }
  return sent;
}

int cg_socket_try_write(cg_socket* sock, const char* data, int length) {
  if (length <= 0) return 0;
  if (!sock || !data) return -1;
  ssize_t n = send(sock->fd, data, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  return send_may_succeed_later(errno) ? 0 : -1;
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
