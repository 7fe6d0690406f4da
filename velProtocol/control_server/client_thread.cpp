// The client thread: one per connection. Reads the non-blocking socket,
// frames requests, answers "CON"/"BIN"/"ERR" itself, hands every complete
// request to the request callback, and removes the client when it ends.
#include <cstdlib>

#include "velProtocol/control_server/server_internal.h"

namespace {

using vel_server::load;

// Bytes taken from the socket per read; each is framed on its own, exactly
// as if read one at a time.
constexpr int kReadChunk = 64;

bool active(const vel_protocol_server_connection* conn) { return load(&conn->active) != 0; }

void call_request_callback(vel_protocol_server* server, cg_socket* sock,
                           vel_protocol_server_receive_record* record) {
  cg_mutex_lock(server->mutex);
  vel_protocol_server_request_func callback = load(&server->request_callback);
  if (callback) {
    vel_protocol_server_request request{server, sock, record};
    callback(&request);
  }
  cg_mutex_unlock(server->mutex);
}

// A complete request. false when the connection must end.
bool handle_request(vel_protocol_server* server, cg_socket* sock,
                    vel_protocol_server_framer* framer) {
  switch (vel_protocol_server_handshake(server, framer->record.text)) {
    case VEL_HANDSHAKE_REFUSE:
      vel_protocol_server_single_response(sock, "ERR", server);
      cg_sleep_ms(VEL_PROTOCOL_SERVER_REFUSE_PAUSE_MS);
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
  call_request_callback(server, sock, &framer->record);
  return true;
}

// Reports the end, then removes the client from both lists (closing its
// socket) in one step under the mutex, so that a walker of the thread list
// never meets a freed connection record.
void end_connection(cg_thread* thread, vel_protocol_server_connection* conn) {
  vel_protocol_server* server = conn->server;
  cg_socket* sock = vel_socket_get_socket(conn->entry);
  cg_mutex_lock(server->mutex);
  vel_protocol_server_connection_func callback = load(&server->connection_callback);
  if (callback) {
    vel_protocol_server_connection_event event{
        cg_thread_list_size(server->client_threads) - 1, 0, sock};
    callback(&event);
  }
  cg_thread_set_user_data(thread, nullptr);
  cg_mutex_lock(server->client_lock);
  vel_socket_list_remove(conn->entry);
  cg_mutex_unlock(server->client_lock);
  cg_list_remove(&thread->node);
  cg_mutex_unlock(server->mutex);
  std::free(conn);
  // Clears the runnable flag that waiters poll; the record itself lives on
  // while a waiter holds it.
  cg_thread_delete(thread);
}

}  // namespace

void vel_protocol_server_clientthread(cg_thread* thread) {
  auto* conn = static_cast<vel_protocol_server_connection*>(cg_thread_get_user_data(thread));
  if (!conn) return;
  vel_protocol_server* server = conn->server;
  cg_socket* sock = vel_socket_get_socket(conn->entry);
  vel_protocol_server_framer framer;
  vel_protocol_server_framer_init(&framer);
  cg_socket_set_nonblocking(sock, 1);

  bool open = true;
  while (open && active(conn) && cg_thread_is_runnable(thread)) {
    char chunk[kReadChunk];
    int n = cg_socket_read(sock, chunk, kReadChunk);
    if (n == 0) break;  // the peer has closed
    if (n < 0) {
      // Nothing waiting, or an error: both are retried after a pause. A
      // request in progress is still dropped when its time is up.
      if (vel_protocol_server_framer_check(&framer, vel_server::now_ms()) == VEL_FRAME_OVERFLOW) {
        VEL_SERVER_LOG(348, "vel_protocol_server_clientthread", "Rx Buff overflow : %s\n",
                       cg_socket_get_address(sock));
      }
      cg_sleep_ms(VEL_PROTOCOL_SERVER_IDLE_WAIT_MS);
      continue;
    }
    for (int i = 0; i < n && open && active(conn); i++) {
      uint32_t now = vel_server::now_ms();
      if (vel_protocol_server_framer_check(&framer, now) == VEL_FRAME_OVERFLOW) {
        VEL_SERVER_LOG(348, "vel_protocol_server_clientthread", "Rx Buff overflow : %s\n",
                       cg_socket_get_address(sock));
      }
      switch (vel_protocol_server_framer_push_byte(&framer, server, chunk[i], now)) {
        case VEL_FRAME_REQUEST:
          open = handle_request(server, sock, &framer);
          break;
        case VEL_FRAME_ERROR:
          vel_protocol_server_single_response(sock, "ERR", server);
          break;
        default:
          break;
      }
    }
  }
  end_connection(thread, conn);
}
