// Each connection's bounded output queue: takes whole texts, writes them as
// far as the non-blocking socket allows, keeps the rest (one record per
// text, so the queue knows where lines end) for the connection's thread,
// and breaks the connection on overflow or a hard socket error. Also the
// server's list of connections. Everything here runs under client_lock and
// never waits.
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

char* bytes_of(vel_protocol_server_output* text) { return reinterpret_cast<char*>(text + 1); }

// Frees the queued texts from `text` on.
void free_from(vel_protocol_server_output* text) {
  while (text) {
    vel_protocol_server_output* next = text->next;
    std::free(text);
    text = next;
  }
}

// Nothing more is queued; the thread notices at its next wait and ends.
void mark_broken(vel_protocol_server_connection* conn) {
  conn->broken = 1;
  cg_thread_wake(conn->thread);
}

// A hard error: nothing of the queue can go out any more.
void drop_all(vel_protocol_server_connection* conn) {
  free_from(conn->output_first);
  conn->output_first = conn->output_last = nullptr;
  conn->output_length = 0;
  mark_broken(conn);
}

// An overflow: the client is cut off. A text of which some bytes are on
// the wire already stays, so that the thread can still complete that line;
// the others are dropped.
void cut_off(vel_protocol_server_connection* conn) {
  vel_protocol_server_output* begun = conn->output_first;
  if (begun && begun->sent == 0) begun = nullptr;
  free_from(begun ? begun->next : conn->output_first);
  if (begun) begun->next = nullptr;
  conn->output_first = conn->output_last = begun;
  conn->output_length = begun ? begun->length - begun->sent : 0;
  mark_broken(conn);
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
    // A client that does not read. Cut off before any byte of this text
    // goes out, its stream never has a cut line followed by another.
    cg_socket* sock = socket_of(conn);
    VEL_SERVER_LOG(kOverflowLogLine, kOverflowLogFunction, "Output queue overflow : %s:%d\n",
                   cg_socket_get_address(sock), cg_socket_get_port(sock));
    cut_off(conn);
    return queued::overflow;
  }
  bool was_empty = conn->output_first == nullptr;
  int sent = 0;
  if (was_empty) {
    sent = cg_socket_try_write(socket_of(conn), bytes, length);
    if (sent < 0) {
      drop_all(conn);
      return queued::failed;
    }
    if (sent == length) return queued::ok;
  }
  auto* text = static_cast<vel_protocol_server_output*>(
      std::malloc(sizeof(vel_protocol_server_output) + static_cast<size_t>(length)));
  if (!text) {
    // Out of memory. A text begun on the wire cannot be completed: the
    // connection ends rather than carry another line after a cut one.
    if (sent > 0) drop_all(conn);
    return queued::failed;
  }
  std::memcpy(bytes_of(text), bytes, static_cast<size_t>(length));
  text->next = nullptr;
  text->length = length;
  text->sent = sent;
  if (conn->output_last) {
    conn->output_last->next = text;
  } else {
    conn->output_first = text;
  }
  conn->output_last = text;
  conn->output_length += length - sent;
  // The thread waits for room to write only while its queue holds texts:
  // it must hear that it holds one now. Behind others, the text may find
  // room at once.
  if (was_empty) {
    cg_thread_wake(conn->thread);
  } else if (!flush(conn)) {
    return queued::failed;
  }
  return queued::ok;
}

bool flush(vel_protocol_server_connection* conn) {
  while (vel_protocol_server_output* text = conn->output_first) {
    int n = cg_socket_try_write(socket_of(conn), bytes_of(text) + text->sent,
                                text->length - text->sent);
    if (n < 0) {
      drop_all(conn);
      return false;
    }
    if (n == 0) break;
    text->sent += n;
    conn->output_length -= n;
    if (text->sent < text->length) break;
    conn->output_first = text->next;
    if (!conn->output_first) conn->output_last = nullptr;
    std::free(text);
  }
  return true;
}

void release_output(vel_protocol_server_connection* conn) {
  free_from(conn->output_first);
  conn->output_first = conn->output_last = nullptr;
  conn->output_length = 0;
}

}  // namespace vel_server
