// The accept thread: takes each new connection, applies the single-peer
// address rule, announces the connection and starts its client thread.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velProtocol/control_server/server_internal.h"

namespace {

using vel_server::load;
using vel_server::store;

enum class admission { accept, replace, refuse };

// The address rule: a newcomer from the address of a connected client
// replaces that client's connections; with single_address set, a newcomer
// from any other address is refused.
admission judge_address(vel_protocol_server* server, const char* peer) {
  if (server->accept_all_addresses) return admission::accept;
  admission verdict = admission::accept;
  cg_mutex_lock(server->client_lock);
  for (vel_socket* e = vel_socket_list_first(server->client_sockets); e; e = vel_socket_next(e)) {
    if (std::strcmp(cg_socket_get_address(vel_socket_get_socket(e)), peer) == 0) {
      verdict = admission::replace;
      break;
    }
    if (server->single_address) {
      verdict = admission::refuse;
      break;
    }
  }
  cg_mutex_unlock(server->client_lock);
  return verdict;
}

// Ends the running connections whose peer has the given address, each
// awaited before the next. The waiter holds a reference on the thread
// record, which the ending thread deletes itself.
void end_connections_of(vel_protocol_server* server, const char* peer) {
  for (;;) {
    cg_thread* target = nullptr;
    cg_mutex_lock(server->mutex);
    for (cg_thread* t = cg_thread_list_first(server->client_threads); t; t = cg_thread_next(t)) {
      auto* conn = static_cast<vel_protocol_server_connection*>(cg_thread_get_user_data(t));
      if (!conn || !cg_thread_is_runnable(t)) continue;
      if (std::strcmp(cg_socket_get_address(vel_socket_get_socket(conn->entry)), peer) != 0) {
        continue;
      }
      store(&conn->active, 0);
      target = t;
      cg_thread_hold(target);
      break;
    }
    cg_mutex_unlock(server->mutex);
    if (!target) return;
    while (cg_thread_is_runnable(target)) cg_sleep_ms(VEL_PROTOCOL_SERVER_STOP_POLL_MS);
    cg_thread_release(target);
  }
}

void notify(vel_protocol_server* server, cg_socket* sock, int connected, int client_count) {
  vel_protocol_server_connection_func callback = load(&server->connection_callback);
  if (!callback) return;
  vel_protocol_server_connection_event event{client_count, connected, sock};
  callback(&event);
}

// Publishes the new socket and starts its client thread. When the thread
// cannot be created the connection is closed and accepting goes on.
void serve(vel_protocol_server* server, cg_socket* sock) {
  vel_socket* entry = vel_socket_new(sock);
  auto* conn = static_cast<vel_protocol_server_connection*>(
      std::malloc(sizeof(vel_protocol_server_connection)));
  cg_thread* thread = cg_thread_new();
  if (!entry || !conn || !thread) {
    // Out of memory: the connection is closed before anyone heard of it.
    if (entry) {
      vel_socket_delete(entry);
    } else {
      cg_socket_delete(sock);
    }
    std::free(conn);
    cg_thread_delete(thread);
    return;
  }
  conn->entry = entry;
  conn->server = server;
  conn->active = 1;
  cg_thread_set_action(thread, vel_protocol_server_clientthread);
  cg_thread_set_user_data(thread, conn);

  char peer[CG_NET_ADDRESS_TEXT_SIZE];
  std::snprintf(peer, sizeof(peer), "%s", cg_socket_get_address(sock));
  int peer_port = cg_socket_get_port(sock);

  cg_mutex_lock(server->mutex);
  notify(server, sock, 1, cg_thread_list_size(server->client_threads) + 1);
  cg_mutex_unlock(server->mutex);

  // A client that never reads must not hold a sender: the socket is
  // non-blocking before any other thread can write to it.
  cg_socket_set_timeout_usec(sock, 0, server->socket_timeout);
  cg_socket_set_nonblocking(sock, 1);

  cg_mutex_lock(server->mutex);
  cg_mutex_lock(server->client_lock);
  vel_socket_list_add(server->client_sockets, entry);
  cg_mutex_unlock(server->client_lock);
  cg_thread_list_add(server->client_threads, thread);
  bool started = cg_thread_start(thread) == 1;
  if (!started) {
    // The connection was announced: its end is announced too.
    notify(server, sock, 0, cg_thread_list_size(server->client_threads) - 1);
    cg_mutex_lock(server->client_lock);
    vel_socket_list_remove(entry);
    cg_mutex_unlock(server->client_lock);
    cg_list_remove(&thread->node);
  }
  cg_mutex_unlock(server->mutex);
  if (started) return;

  std::free(conn);
  cg_thread_delete(thread);
  VEL_SERVER_LOG(631, "vel_protocol_server_thread", "Can't creat client thread : %s:%d\n", peer,
                 peer_port);
}

}  // namespace

void vel_protocol_server_thread(cg_thread* thread) {
  auto* server = static_cast<vel_protocol_server*>(cg_thread_get_user_data(thread));
  cg_socket* listening = server->listen_socket;
  while (listening && cg_thread_is_runnable(thread)) {
    cg_socket* sock = cg_socket_new(CG_NET_SOCKET_STREAM);
    if (!sock) {
      cg_sleep_ms(VEL_PROTOCOL_SERVER_STOP_POLL_MS);
      continue;
    }
    if (!cg_socket_accept(listening, sock)) {
      cg_socket_delete(sock);
      // A stop interrupts accept. Any other failure (no descriptor left in
      // a flood of connections, an aborted handshake) is passed over.
      if (cg_thread_is_runnable(thread)) cg_sleep_ms(VEL_PROTOCOL_SERVER_STOP_POLL_MS);
      continue;
    }
    admission verdict = judge_address(server, cg_socket_get_address(sock));
    if (verdict == admission::refuse) {
      cg_socket_delete(sock);
      continue;
    }
    if (verdict == admission::replace) end_connections_of(server, cg_socket_get_address(sock));
    if (!cg_thread_is_runnable(thread)) {
      cg_socket_delete(sock);
      break;
    }
    serve(server, sock);
  }
  cg_mutex_lock(server->mutex);
  store(&server->accept_running, 0);
  cg_mutex_unlock(server->mutex);
}
