// The client thread: one per connection. Waits on its non-blocking socket
// and its wake (for input, for room to write while its output queue holds
// bytes, and for the end of a partial request's time), frames requests,
// answers "CON"/"BIN"/"ERR" itself, hands every complete request to the
// request callback, writes what its queue holds, and removes the client
// when it ends.
#include <poll.h>

#include <cerrno>
#include <cstdlib>

#include "velProtocol/control_server/server_internal.h"

namespace {


// Bytes taken from the socket per read; each is framed on its own, exactly
// as if read one at a time.
constexpr int kReadChunk = 64;

bool active(const vel_protocol_server_connection* conn) { return conn->active.load() != 0; }

bool running(cg_thread* thread, const vel_protocol_server_connection* conn) {
  return active(conn) && cg_thread_is_runnable(thread);
}

// The state of the output queue: broken (end the connection), or whether
// bytes wait for room to write.
struct output_state {
  bool broken;
  bool waiting;
};

output_state look_at_output(vel_protocol_server_connection* conn) {
  cg_mutex_lock(conn->server->client_lock);
  output_state state{conn->broken != 0, conn->output_length > 0};
  cg_mutex_unlock(conn->server->client_lock);
  return state;
}

// Writes what the queue holds as far as the socket takes it. false when the
// socket failed hard.
bool write_output(vel_protocol_server_connection* conn) {
  cg_mutex_lock(conn->server->client_lock);
  bool ok = vel_server::flush(conn);
  cg_mutex_unlock(conn->server->client_lock);
  return ok;
}

// How long the thread may wait for input: until a partial request's time is
// up (the framer's check then drops it), else without end.
int time_left(const vel_protocol_server_framer& framer) {
  if (framer.count == 0) return CG_WAIT_FOREVER;
  uint32_t elapsed = vel_server::now_ms() - framer.start_ms;
  if (elapsed > VEL_PROTOCOL_SERVER_REQUEST_TIMEOUT_MS) return 0;
  return static_cast<int>(VEL_PROTOCOL_SERVER_REQUEST_TIMEOUT_MS - elapsed) + 1;
}

void check_framer(vel_protocol_server_framer* framer, cg_socket* sock, uint32_t now) {
  if (vel_protocol_server_framer_check(framer, now) == VEL_FRAME_OVERFLOW) {
    VEL_SERVER_LOG(348, "vel_protocol_server_clientthread", "Rx Buff overflow : %s\n",
                   cg_socket_get_address(sock));
  }
}

// The pause between "ERR" to a refused "CON" and the close, spent writing
// whatever is still queued. Ends early when the connection is ended or the
// thread stopped.
void linger(cg_thread* thread, vel_protocol_server_connection* conn, cg_socket* sock) {
  int64_t deadline = cg_monotonic_ms() + VEL_PROTOCOL_SERVER_REFUSE_PAUSE_MS;
  for (;;) {
    int64_t left = deadline - cg_monotonic_ms();
    if (left <= 0 || !running(thread, conn)) return;
    output_state state = look_at_output(conn);
    if (state.broken) return;
    if (!state.waiting) {
      cg_thread_wait(thread, static_cast<int>(left));
      continue;
    }
    if (cg_thread_wait_fd(thread, cg_socket_get_fd(sock), POLLOUT, static_cast<int>(left),
                          nullptr) == CG_WAIT_READY) {
      write_output(conn);
    }
  }
}

void call_request_callback(vel_protocol_server_connection* conn, cg_socket* sock,
                           vel_protocol_server_receive_record* record) {
  vel_protocol_server* server = conn->server;
  vel_server::mutex_hold hold(server);
  vel_protocol_server_request_func callback = server->request_callback.load();
  if (callback) {
    vel_protocol_server_request request{server, sock, record, conn};
    callback(&request);
  }
}

// A complete request. false when the connection must end.
bool handle_request(cg_thread* thread, vel_protocol_server_connection* conn, cg_socket* sock,
                    vel_protocol_server_framer* framer) {
  vel_protocol_server* server = conn->server;
  switch (vel_protocol_server_handshake(server, framer->record.text)) {
    case VEL_HANDSHAKE_REFUSE:
      vel_protocol_server_single_response(sock, "ERR", server);
      linger(thread, conn, sock);
      return false;
    case VEL_HANDSHAKE_CON:
      vel_protocol_server_single_response(sock, "CON", server);
      break;
    case VEL_HANDSHAKE_BINFIN:
      vel_protocol_server_single_response(sock, "BINFIN", server);
      break;
    default:
      break;
  }
  call_request_callback(conn, sock, &framer->record);
  return true;
}

// Reads what has arrived and frames it. false when the connection must end
// (the peer closed it, the socket failed, or a request ended it).
bool take_input(cg_thread* thread, vel_protocol_server_connection* conn, cg_socket* sock,
                vel_protocol_server_framer* framer) {
  char chunk[kReadChunk];
  int n = cg_socket_read(sock, chunk, kReadChunk);
  if (n == 0) return false;  // the peer has closed
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  for (int i = 0; i < n && active(conn); i++) {
    uint32_t now = vel_server::now_ms();
    check_framer(framer, sock, now);
    switch (vel_protocol_server_framer_push_byte(framer, conn->server, chunk[i], now)) {
      case VEL_FRAME_REQUEST:
        if (!handle_request(thread, conn, sock, framer)) return false;
        break;
      case VEL_FRAME_ERROR:
        vel_protocol_server_single_response(sock, "ERR", conn->server);
        break;
      default:
        break;
    }
  }
  return true;
}

// The connection leaves the client lists: the end is reported and, in one
// step under both locks, it is taken out of client_sockets and connections,
// so that no sender writes to it any more and it no longer counts for the
// routing or the address rule. What the socket takes now still goes out.
void leave(vel_protocol_server_connection* conn) {
  vel_protocol_server* server = conn->server;
  vel_server::mutex_hold hold(server);
  vel_protocol_server_connection_func callback = server->connection_callback.load();
  if (callback) {
    vel_protocol_server_connection_event event{cg_list_size(&server->connections) - 1, 0,
                                               vel_socket_get_socket(conn->entry)};
    callback(&event);
  }
  cg_mutex_lock(server->client_lock);
  vel_server::flush(conn);
  cg_list_remove(&conn->node);
  cg_list_remove(&conn->entry->node);
  cg_mutex_unlock(server->client_lock);
}

// After an overflow: the rest of the line the client was cut off in, while
// the client takes it within VEL_PROTOCOL_SERVER_CUT_LINE_WAIT_MS. The
// connection has left the lists, so no other thread touches its queue; the
// lock is taken all the same, as everywhere else.
void complete_cut_line(cg_thread* thread, vel_protocol_server_connection* conn, cg_socket* sock) {
  int64_t deadline = cg_monotonic_ms() + VEL_PROTOCOL_SERVER_CUT_LINE_WAIT_MS;
  while (running(thread, conn) && look_at_output(conn).waiting) {
    int64_t left = deadline - cg_monotonic_ms();
    if (left <= 0) return;
    if (cg_thread_wait_fd(thread, cg_socket_get_fd(sock), POLLOUT, static_cast<int>(left),
                          nullptr) == CG_WAIT_READY &&
        !write_output(conn)) {
      return;
    }
  }
}

// The thread's last step with the server: out of the thread list (so that
// nobody waits for it any more), then the socket is closed and everything
// freed.
void finish(cg_thread* thread, vel_protocol_server_connection* conn) {
  vel_protocol_server* server = conn->server;
  {
    vel_server::mutex_hold hold(server);
    cg_thread_set_user_data(thread, nullptr);
    cg_list_remove(&thread->node);
  }
  vel_server::release_output(conn);
  vel_socket_delete(conn->entry);
  delete conn;
  // Marked stopped first (a join of itself returns at once), so that the
  // delete has nothing to stop. The record lives on while a joiner holds it.
  cg_thread_stop_and_join(thread);
  cg_thread_delete(thread);
}

}  // namespace

void vel_protocol_server_clientthread(cg_thread* thread) {
  auto* conn = static_cast<vel_protocol_server_connection*>(cg_thread_get_user_data(thread));
  if (!conn) return;
  cg_socket* sock = vel_socket_get_socket(conn->entry);
  int fd = cg_socket_get_fd(sock);
  vel_protocol_server_framer framer;
  vel_protocol_server_framer_init(&framer);
  cg_socket_set_nonblocking(sock, 1);

  bool cut_off = false;
  while (running(thread, conn)) {
    // A request in progress is dropped when its time is up, and a full one
    // is reported as soon as it has filled the buffer.
    check_framer(&framer, sock, vel_server::now_ms());
    output_state output = look_at_output(conn);
    if (output.broken) {
      cut_off = output.waiting;
      break;
    }
    short events = static_cast<short>(POLLIN | (output.waiting ? POLLOUT : 0));
    short revents = 0;
    // Woken: output was queued, or the connection or thread is being ended;
    // timed out: the check above drops the request. Either way look again.
    if (cg_thread_wait_fd(thread, fd, events, time_left(framer), &revents) != CG_WAIT_READY) {
      continue;
    }
    if ((revents & POLLOUT) && !write_output(conn)) break;
    if ((revents & (POLLIN | POLLHUP | POLLERR)) && !take_input(thread, conn, sock, &framer)) break;
  }
  leave(conn);
  if (cut_off) complete_cut_line(thread, conn, sock);
  finish(thread, conn);
}
