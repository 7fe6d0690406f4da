// The control server object: new, delete, open, close, start, stop and the
// callback setters, plus the server mutex's holder note, the clock it runs
// on, and the ending of connections by wake and join.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "velProtocol/control_server/server_internal.h"

namespace vel_server {

namespace {

// The server whose mutex the calling thread holds through a mutex_hold.
thread_local const vel_protocol_server* t_held = nullptr;

}  // namespace

mutex_hold::mutex_hold(vel_protocol_server* server) : server_(server), previous_(t_held) {
  cg_mutex_lock(server_->mutex);
  t_held = server_;
}

mutex_hold::~mutex_hold() {
  t_held = previous_;
  cg_mutex_unlock(server_->mutex);
}

bool holds_mutex(const vel_protocol_server* server) { return server && t_held == server; }

// Wraps modulo 2^32; the framer compares with unsigned differences.
uint32_t now_ms() { return static_cast<uint32_t>(cg_monotonic_ms()); }

void end_connections(vel_protocol_server* server, const char* peer) {
  // First the connections in the client lists, found under client_lock
  // alone: a client thread takes the server mutex again for every request
  // line (and holds it through the exchange with the player), so a waiter
  // for the mutex could be kept out for several lines. A connection in the
  // lists has not begun to end, so its thread record is still the owner's.
  for (;;) {
    cg_thread* target = nullptr;
    cg_mutex_lock(server->client_lock);
    for (auto* conn = vel_server::first_connection(server); conn;
         conn = vel_server::next_connection(conn)) {
      if (conn->active.load() == 0) continue;
      if (peer && std::strcmp(cg_socket_get_address(vel_socket_get_socket(conn->entry)), peer) != 0) {
        continue;
      }
      conn->active.store(0);
      target = conn->thread;
      // The thread deletes its own record as it ends; this reference keeps
      // it valid for the wake and the join.
      cg_thread_hold(target);
      break;
    }
    cg_mutex_unlock(server->client_lock);
    if (!target) break;
    cg_thread_wake(target);
    cg_thread_join(target);
    cg_thread_release(target);
  }
  // Then, under the mutex, any thread still running (one cut off for not
  // reading has left the lists and is finishing its last line).
  for (;;) {
    cg_thread* target = nullptr;
    {
      mutex_hold hold(server);
      for (cg_thread* t = cg_thread_list_first(server->client_threads); t; t = cg_thread_next(t)) {
        auto* conn = static_cast<vel_protocol_server_connection*>(cg_thread_get_user_data(t));
        if (!conn) continue;
        if (peer && std::strcmp(cg_socket_get_address(vel_socket_get_socket(conn->entry)), peer) != 0) {
          continue;
        }
        conn->active.store(0);
        target = t;
        cg_thread_hold(target);
        break;
      }
    }
    if (!target) return;
    cg_thread_wake(target);
    cg_thread_join(target);
    cg_thread_release(target);
  }
}

}  // namespace vel_server

namespace {


void free_parts(vel_protocol_server* server) {
  cg_mutex_delete(server->mutex);
  cg_mutex_delete(server->client_lock);
  vel_socket_list_delete(server->client_sockets);
  vel_protocolo_server_clientlist_delete(server->registered_clients);
  delete server;
}

// The line under "Can't bind socket." / "Can't listen socket.": which
// address and port, and the system's reason.
void log_open_failure(int line, const char* step, const char* address, int port, int error) {
  const char* shown = (address && *address) ? address : "0.0.0.0";
  VEL_SERVER_LOG(line, "vel_protocol_server_open", "%s on %s:%d failed: %s\n", step, shown, port,
                 std::strerror(error));
}

}  // namespace

vel_protocol_server* vel_protocol_server_new() {
  auto* server = new (std::nothrow) vel_protocol_server{};
  if (!server) {
    VEL_SERVER_LOG(48, "vel_protocol_server_new", "Can't malloc.\n");
    return nullptr;
  }
  cg_list_node_init(&server->node);
  server->socket_timeout = VEL_PROTOCOL_SERVER_SOCKET_TIMEOUT_USEC;
  server->keepalive_idle_s = VEL_PROTOCOL_SERVER_KEEPALIVE_IDLE_S;
  server->keepalive_interval_s = VEL_PROTOCOL_SERVER_KEEPALIVE_INTERVAL_S;
  server->keepalive_probes = VEL_PROTOCOL_SERVER_KEEPALIVE_PROBES;
  server->single_address = 1;
  cg_list_header_init(&server->connections);
  server->mutex = cg_mutex_new();
  server->client_lock = cg_mutex_new();
  server->client_sockets = vel_socket_list_new();
  server->registered_clients = vel_protocolo_server_clientlist_new();
  if (!server->mutex || !server->client_lock || !server->client_sockets ||
      !server->registered_clients) {
    free_parts(server);
    VEL_SERVER_LOG(48, "vel_protocol_server_new", "Can't malloc.\n");
    return nullptr;
  }
  return server;
}

void vel_protocol_server_delete(vel_protocol_server* server) {
  if (!server) return;
  vel_protocol_server_close(server);
  cg_list_remove(&server->node);
  free_parts(server);
}

int vel_protocol_server_open(vel_protocol_server* server, int port, const char* address) {
  if (!server) return 0;
  if (server->listen_socket) {
    VEL_SERVER_LOG(164, "vel_protocol_server_open", "Already server opend.\n");
    return 0;
  }
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_STREAM);
  if (!sock || !cg_socket_bind(sock, port, address, 1, 1)) {
    int error = sock ? errno : ENOMEM;
    VEL_SERVER_LOG(172, "vel_protocol_server_open", "Can't bind socket.\n");
    log_open_failure(172, "bind", address, port, error);
    cg_socket_delete(sock);
    return 0;
  }
  // Non-blocking: the accept thread waits for a connection with its wake,
  // and one that went away before accept must not block it.
  if (!cg_socket_listen(sock) || !cg_socket_set_nonblocking(sock, 1)) {
    int error = errno;
    VEL_SERVER_LOG(178, "vel_protocol_server_open", "Can't listen socket.\n");
    log_open_failure(178, "listen", address, port, error);
    cg_socket_delete(sock);
    return 0;
  }
  cg_mutex_lock(server->client_lock);
  server->listen_socket = sock;
  cg_mutex_unlock(server->client_lock);
  return 1;
}

int vel_protocol_server_close(vel_protocol_server* server) {
  if (!server) return 1;
  vel_protocol_server_stop(server);
  cg_mutex_lock(server->client_lock);
  cg_socket* sock = server->listen_socket;
  server->listen_socket = nullptr;
  cg_mutex_unlock(server->client_lock);
  if (sock) {
    cg_socket_close(sock);
    cg_socket_delete(sock);
  }
  return 1;
}

int vel_protocol_server_start(vel_protocol_server* server) {
  if (!server || server->accept_thread) return 0;
  cg_thread* thread = cg_thread_new();
  cg_thread_list* list = cg_thread_list_new();
  if (thread && list) {
    cg_thread_set_action(thread, vel_protocol_server_thread);
    cg_thread_set_user_data(thread, server);
    {
      vel_server::mutex_hold hold(server);
      server->client_threads = list;
      server->accept_running.store(1);
    }
    server->accept_thread = thread;
    if (cg_thread_start(thread)) return 1;
    {
      vel_server::mutex_hold hold(server);
      server->client_threads = nullptr;
      server->accept_running.store(0);
    }
    server->accept_thread = nullptr;
  }
  cg_thread_delete(thread);
  cg_thread_list_delete(list);
  VEL_SERVER_LOG(651, "vel_protocol_server_start", "Can't creat server thread.\n");
  return 0;
}

int vel_protocol_server_stop(vel_protocol_server* server) {
  if (!server) return 1;
  if (server->client_threads) {
    // A stopped server has no callbacks until they are set again.
    vel_server::mutex_hold hold(server);
    server->connection_callback.store(nullptr);
    server->request_callback.store(nullptr);
  }
  // The accept thread goes first, so that no connection can arrive while
  // the others are being ended. Its wait ends with the wake.
  if (server->accept_thread) {
    cg_thread_stop_and_join(server->accept_thread);
    cg_thread_delete(server->accept_thread);
    server->accept_thread = nullptr;
  }
  if (server->client_threads) {
    vel_server::end_connections(server, nullptr);
    cg_thread_list* list = nullptr;
    {
      vel_server::mutex_hold hold(server);
      list = server->client_threads;
      server->client_threads = nullptr;
    }
    cg_thread_list_delete(list);
  }
  return 1;
}

void vel_protocol_server_set_request_callback(vel_protocol_server* server,
                                              vel_protocol_server_request_func func) {
  if (!server) return;
  vel_server::mutex_hold hold(server);
  server->request_callback.store(func);
}

void vel_protocol_server_set_connection_callback(vel_protocol_server* server,
                                                 vel_protocol_server_connection_func func) {
  if (!server) return;
  vel_server::mutex_hold hold(server);
  server->connection_callback.store(func);
}

void vel_protocol_server_set_sent_callback(vel_protocol_server* server,
                                           vel_protocol_server_sent_func func) {
  if (!server) return;
  vel_server::mutex_hold hold(server);
  server->sent_callback.store(func);
}

void vel_protocol_server_set_reply_encoder(vel_protocol_server* server,
                                           vel_protocol_server_reply_encoder_func func) {
  if (!server) return;
  vel_server::mutex_hold hold(server);
  server->reply_encoder.store(func);
}

void vel_protocol_server_set_binary_byte_handler(vel_protocol_server* server,
                                                 vel_protocol_server_binary_byte_func func) {
  if (!server) return;
  vel_server::mutex_hold hold(server);
  server->binary_byte_handler.store(func);
}
