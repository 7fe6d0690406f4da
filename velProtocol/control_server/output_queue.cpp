// Each connection's bounded output queue: takes whole texts, writes them as
// far as the non-blocking socket allows, keeps the rest for the connection's
// thread, and breaks the connection on overflow or a hard socket error.
// Also the server's list of connections. Everything here runs under
// client_lock and never waits.
#include <cstdlib>
#include <cstring>

#include "velProtocol/control_server/server_internal.h"

namespace vel_server {

namespace {

// Where the overflow line says it comes from.
constexpr int kOverflowLogLine = 716;
constexpr const char* kOverflowLogFunction = "vel_protocol_server_enqueue";

cg_socket* socket_of(const vel_protocol_server_connection* conn) {
  return vel_socket_get_socket(conn->entry);
}

// Nothing more goes out; the thread notices at its next wait and ends.
void mark_broken(vel_protocol_server_connection* conn) {
  conn->broken = 1;
  conn->output_start = 0;
  conn->output_length = 0;
  cg_thread_wake(conn->thread);
}

// Room for `extra` more bytes after the queued ones, within the bound.
bool reserve(vel_protocol_server_connection* conn, int extra) {
  int needed = conn->output_length + extra;
  if (conn->output_start + needed <= conn->output_capacity) return true;
  if (needed <= conn->output_capacity) {
    std::memmove(conn->output, conn->output + conn->output_start,
                 static_cast<size_t>(conn->output_length));
    conn->output_start = 0;
    return true;
  }
  int capacity = conn->output_capacity > 0 ? conn->output_capacity : 256;
  while (capacity < needed) capacity *= 2;
  if (capacity > VEL_PROTOCOL_SERVER_OUTPUT_QUEUE_SIZE) capacity = VEL_PROTOCOL_SERVER_OUTPUT_QUEUE_SIZE;
  auto* grown = static_cast<char*>(std::malloc(static_cast<size_t>(capacity)));
  if (!grown) return false;
  if (conn->output_length > 0) {
    std::memcpy(grown, conn->output + conn->output_start, static_cast<size_t>(conn->output_length));
  }
  std::free(conn->output);
  conn->output = grown;
  conn->output_start = 0;
  conn->output_capacity = capacity;
  return true;
}

}  // namespace

vel_protocol_server_connection* first_connection(vel_protocol_server* server) {
  return reinterpret_cast<vel_protocol_server_connection*>(cg_list_next(&server->connections));
}

vel_protocol_server_connection* next_connection(vel_protocol_server_connection* conn) {
  return reinterpret_cast<vel_protocol_server_connection*>(cg_list_next(&conn->node));
}

vel_protocol_server_connection* connection_of(vel_protocol_server* server, const cg_socket* sock) {
  for (auto* c = first_connection(server); c; c = next_connection(c)) {
    if (socket_of(c) == sock) return c;
  }
  return nullptr;
}

queued enqueue(vel_protocol_server_connection* conn, const char* bytes, int length) {
  if (conn->broken || length > VEL_PROTOCOL_SERVER_OUTPUT_QUEUE_SIZE) return queued::failed;
  if (length <= 0) return queued::ok;
  if (conn->output_length + length > VEL_PROTOCOL_SERVER_OUTPUT_QUEUE_SIZE) {
    // A client that does not read. Cutting it off here, before any byte of
    // this text goes out, keeps its stream free of a cut line followed by
    // another.
    cg_socket* sock = socket_of(conn);
    VEL_SERVER_LOG(kOverflowLogLine, kOverflowLogFunction, "Output queue overflow : %s:%d\n",
                   cg_socket_get_address(sock), cg_socket_get_port(sock));
    mark_broken(conn);
    return queued::overflow;
  }
  // The room is made before anything is written: a text is either taken
  // whole or not at all.
  if (!reserve(conn, length)) return queued::failed;
  bool was_empty = conn->output_length == 0;
  if (was_empty) {
    int n = cg_socket_try_write(socket_of(conn), bytes, length);
    if (n < 0) {
      mark_broken(conn);
      return queued::failed;
    }
    bytes += n;
    length -= n;
    if (length == 0) return queued::ok;
  }
  std::memcpy(conn->output + conn->output_start + conn->output_length, bytes,
              static_cast<size_t>(length));
  conn->output_length += length;
  if (!was_empty && !flush(conn)) return queued::failed;
  // The thread waits for room to write only while its queue holds bytes:
  // it must hear that the queue has some now.
  if (was_empty) cg_thread_wake(conn->thread);
  return queued::ok;
}

bool flush(vel_protocol_server_connection* conn) {
  if (conn->broken) return false;
  while (conn->output_length > 0) {
    int n = cg_socket_try_write(socket_of(conn), conn->output + conn->output_start,
                                conn->output_length);
    if (n < 0) {
      mark_broken(conn);
      return false;
    }
    if (n == 0) break;
    conn->output_start += n;
    conn->output_length -= n;
  }
  if (conn->output_length == 0) conn->output_start = 0;
  return true;
}

void release_output(vel_protocol_server_connection* conn) {
  std::free(conn->output);
  conn->output = nullptr;
  conn->output_start = 0;
  conn->output_length = 0;
  conn->output_capacity = 0;
}

}  // namespace vel_server
