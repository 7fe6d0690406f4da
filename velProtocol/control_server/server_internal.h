// Control server internals shared by its source files: the log place, the
// server mutex with its note of the holding thread, the connection list and
// the output queue operations.
#pragma once

#include "velProtocol/control_server/control_server.h"

// One queued text: `length` bytes right after the record, `sent` of them
// written already.
struct vel_protocol_server_output {
  vel_protocol_server_output* next;
  int length;
  int sent;
};

namespace vel_server {

inline constexpr const char* kLogSource = "./velProtocol/control_server/velProtocolServer";

// One error line through the process log, at the given line of the server.
#define VEL_SERVER_LOG(line, function, ...) \
  cg_log_print(CG_LOG_ERROR, vel_server::kLogSource, (line), (function), __VA_ARGS__)

// Milliseconds of the monotonic clock, wrapping in 32 bits.
uint32_t now_ms();

// Holds the server mutex for a scope and notes, for this thread, that it
// does: a reply sent from inside a callback must not lock it again.
class mutex_hold {
 public:
  explicit mutex_hold(vel_protocol_server* server);
  ~mutex_hold();
  mutex_hold(const mutex_hold&) = delete;
  mutex_hold& operator=(const mutex_hold&) = delete;

 private:
  vel_protocol_server* server_;
  const vel_protocol_server* previous_;
};

// True when the calling thread holds the server's mutex through a mutex_hold.
bool holds_mutex(const vel_protocol_server* server);

// Ends the connections whose peer has the given address (every connection
// when none), one after another: clears `active` under the mutex, wakes the
// thread and joins it. Not from a callback, nor with a lock held.
void end_connections(vel_protocol_server* server, const char* peer);

// The connections in client_sockets' order (read under either lock).
vel_protocol_server_connection* first_connection(vel_protocol_server* server);
vel_protocol_server_connection* next_connection(vel_protocol_server_connection* conn);
// The connection whose socket this is, or none (under client_lock).
vel_protocol_server_connection* connection_of(vel_protocol_server* server, const cg_socket* sock);

// The output queue; every call under client_lock.
enum class queued {
  ok,        // taken whole: written, or the rest waits in the queue
  failed,    // not taken: the connection is broken, the text is longer than a
             // queue, memory ran out, or the socket failed hard now
  overflow,  // not taken: the queue would overflow; the connection is now
             // broken (keeping only the rest of a line already begun on
             // the wire) and the overflow has been logged
};
queued enqueue(vel_protocol_server_connection* conn, const char* bytes, int length);
// Writes queued bytes as far as the socket takes them, also for a broken
// connection (the rest of its cut-off line). false when the socket failed
// hard (the queue is then dropped and the connection broken).
bool flush(vel_protocol_server_connection* conn);
// Frees every queued text (the connection is leaving).
void release_output(vel_protocol_server_connection* conn);

}  // namespace vel_server
