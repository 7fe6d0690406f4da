// Reading lines and bytes of HTTP messages from a stream socket, either byte
// by byte or through a connection's read-ahead buffer, so that a request
// costs a receive call or two instead of one per byte.
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

#include "http/http_internal.h"

namespace vbd_http {

namespace {

// Refills an empty read-ahead buffer with one receive call.
int refill(cg_http_connection* conn, cg_socket* sock) {
  int n = cg_socket_read(sock, conn->data, CG_HTTP_READ_AHEAD_SIZE);
  conn->start = 0;
  conn->end = n > 0 ? n : 0;
  return n;
}

}  // namespace

cg_http_connection* connection_new() {
  auto* conn = static_cast<cg_http_connection*>(std::malloc(sizeof(cg_http_connection)));
  if (!conn) return nullptr;
  conn->socket = nullptr;
  conn->start = conn->end = 0;
  conn->local_address_known = 0;
  conn->local_address[0] = '\0';
  conn->out = byte_buffer{};
  conn->date_known = 0;
  return conn;
}

void connection_delete(cg_http_connection* conn) {
  if (!conn) return;
  buffer_release(&conn->out);
  std::free(conn);
}

void connection_bind(cg_http_connection* conn, const cg_socket* sock) {
  if (conn->socket != sock) connection_reset(conn, sock);
}

void connection_reset(cg_http_connection* conn, const cg_socket* sock) {
  conn->socket = sock;
  conn->start = conn->end = 0;
  conn->local_address_known = 0;
  conn->local_address[0] = '\0';
}

int http_input::read_line(char* buffer, int size) {
  if (!conn) return cg_socket_read_line(sock, buffer, size);
  if (!buffer || size < 2) {
    if (buffer && size == 1) buffer[0] = '\0';
    return -1;
  }
  int stored = 0;
  bool line_end = false;
  // Copy up to the line feed or until the buffer is full.
  while (!line_end && stored < size - 1) {
    if (conn->start == conn->end && refill(conn, sock) <= 0) {
      buffer[stored] = '\0';
      return -1;
    }
    size_t avail = static_cast<size_t>(conn->end - conn->start);
    size_t room = static_cast<size_t>(size - 1 - stored);
    size_t take = avail < room ? avail : room;
    const char* from = conn->data + conn->start;
    if (const void* lf = std::memchr(from, '\n', take)) {
      take = static_cast<size_t>(static_cast<const char*>(lf) - from) + 1;
      line_end = true;
    }
    std::memcpy(buffer + stored, from, take);
    stored += static_cast<int>(take);
    conn->start += static_cast<int>(take);
  }
  buffer[stored] = '\0';
  // A line longer than the buffer: the rest of it is read and discarded.
  while (!line_end) {
    if (conn->start == conn->end && refill(conn, sock) <= 0) break;
    const char* from = conn->data + conn->start;
    size_t avail = static_cast<size_t>(conn->end - conn->start);
    if (const void* lf = std::memchr(from, '\n', avail)) {
      conn->start += static_cast<int>(static_cast<const char*>(lf) - from) + 1;
      line_end = true;
    } else {
      conn->start = conn->end;
    }
  }
  return stored;
}

int http_input::read(char* buffer, int size) {
  if (size <= 0) return 0;
  if (!conn || conn->start == conn->end) return cg_socket_read(sock, buffer, size);
  int avail = conn->end - conn->start;
  int take = avail < size ? avail : size;
  std::memcpy(buffer, conn->data + conn->start, static_cast<size_t>(take));
  conn->start += take;
  return take;
}

}  // namespace vbd_http
