// The control server object: new, delete, open, close, start, stop and the
// callback setters, plus the recursive locks and the clock it runs on.
#include <pthread.h>

#include <csignal>
#include <cstdlib>
#include <ctime>

#include "velProtocol/control_server/server_internal.h"

namespace vel_server {

cg_mutex* recursive_mutex_new() {
  auto* m = static_cast<cg_mutex*>(std::malloc(sizeof(cg_mutex)));
  if (!m) return nullptr;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  int rc = pthread_mutex_init(&m->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    std::free(m);
    return nullptr;
  }
  return m;
}

void recursive_mutex_delete(cg_mutex* mutex) {
  if (!mutex) return;
  pthread_mutex_destroy(&mutex->mutex);
  std::free(mutex);
}

uint32_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(ts.tv_sec) * 1000u + static_cast<uint32_t>(ts.tv_nsec / 1000000);
}

}  // namespace vel_server

namespace {

using vel_server::load;
using vel_server::store;

void free_parts(vel_protocol_server* server) {
  vel_server::recursive_mutex_delete(server->mutex);
  vel_server::recursive_mutex_delete(server->client_lock);
  vel_socket_list_delete(server->client_sockets);
  vel_protocolo_server_clientlist_delete(server->registered_clients);
  std::free(server);
}

// Ends every connection of the server, one after another: clears its
// `active` flag under the mutex and waits until its thread has finished.
// The thread deletes its own cg_thread when it ends; the reference held
// here keeps the record readable until the wait is over.
void end_all_connections(vel_protocol_server* server) {
  for (;;) {
    cg_thread* target = nullptr;
    cg_mutex_lock(server->mutex);
    for (cg_thread* t = cg_thread_list_first(server->client_threads); t; t = cg_thread_next(t)) {
      if (!cg_thread_is_runnable(t)) continue;
      target = t;
      auto* conn = static_cast<vel_protocol_server_connection*>(cg_thread_get_user_data(t));
      if (conn) store(&conn->active, 0);
      cg_thread_hold(target);
      break;
    }
    cg_mutex_unlock(server->mutex);
    if (!target) return;
    while (cg_thread_is_runnable(target)) cg_sleep_ms(VEL_PROTOCOL_SERVER_STOP_POLL_MS);
    cg_thread_release(target);
  }
}

// Stops the accept thread and waits until it no longer touches the server.
// The stop signal can arrive just before the thread enters accept(), where
// it would be lost; it is therefore repeated until the thread has left.
void end_accept_thread(vel_protocol_server* server) {
  cg_thread* thread = server->accept_thread;
  cg_thread_stop(thread);
  for (;;) {
    cg_mutex_lock(server->mutex);
    // The thread clears the flag under this mutex as its last step with the
    // server, so while it is set the thread exists and may be signalled.
    bool running = load(&server->accept_running) != 0;
    if (running) pthread_kill(thread->thread_id, SIGQUIT);
    cg_mutex_unlock(server->mutex);
    if (!running) break;
    cg_sleep_ms(VEL_PROTOCOL_SERVER_IDLE_WAIT_MS);
  }
  cg_thread_delete(thread);
  server->accept_thread = nullptr;
}

}  // namespace

vel_protocol_server* vel_protocol_server_new() {
  auto* server = static_cast<vel_protocol_server*>(std::calloc(1, sizeof(vel_protocol_server)));
  if (!server) {
    VEL_SERVER_LOG(48, "vel_protocol_server_new", "Can't malloc.\n");
    return nullptr;
  }
  cg_list_node_init(&server->node);
  server->socket_timeout = VEL_PROTOCOL_SERVER_SOCKET_TIMEOUT_USEC;
  server->single_address = 1;
  server->mutex = vel_server::recursive_mutex_new();
  server->client_lock = vel_server::recursive_mutex_new();
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
    VEL_SERVER_LOG(172, "vel_protocol_server_open", "Can't bind socket.\n");
    cg_socket_delete(sock);
    return 0;
  }
  if (!cg_socket_listen(sock)) {
    VEL_SERVER_LOG(178, "vel_protocol_server_open", "Can't listen socket.\n");
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
    cg_mutex_lock(server->mutex);
    server->client_threads = list;
    store(&server->accept_running, 1);
    cg_mutex_unlock(server->mutex);
    server->accept_thread = thread;
    if (cg_thread_start(thread)) return 1;
    cg_mutex_lock(server->mutex);
    server->client_threads = nullptr;
    store(&server->accept_running, 0);
    cg_mutex_unlock(server->mutex);
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
    cg_mutex_lock(server->mutex);
    store(&server->connection_callback, static_cast<vel_protocol_server_connection_func>(nullptr));
    store(&server->request_callback, static_cast<vel_protocol_server_request_func>(nullptr));
    cg_mutex_unlock(server->mutex);
  }
  // The accept thread goes first, so that no connection can arrive while
  // the others are being ended.
  if (server->accept_thread) end_accept_thread(server);
  if (server->client_threads) {
    end_all_connections(server);
    cg_mutex_lock(server->mutex);
    cg_thread_list* list = server->client_threads;
    server->client_threads = nullptr;
    cg_mutex_unlock(server->mutex);
    cg_thread_list_delete(list);
  }
  return 1;
}

void vel_protocol_server_set_request_callback(vel_protocol_server* server,
                                              vel_protocol_server_request_func func) {
  if (!server) return;
  cg_mutex_lock(server->mutex);
  store(&server->request_callback, func);
  cg_mutex_unlock(server->mutex);
}

void vel_protocol_server_set_connection_callback(vel_protocol_server* server,
                                                 vel_protocol_server_connection_func func) {
  if (!server) return;
  cg_mutex_lock(server->mutex);
  store(&server->connection_callback, func);
  cg_mutex_unlock(server->mutex);
}

void vel_protocol_server_set_sent_callback(vel_protocol_server* server,
                                           vel_protocol_server_sent_func func) {
  if (!server) return;
  cg_mutex_lock(server->mutex);
  store(&server->sent_callback, func);
  cg_mutex_unlock(server->mutex);
}

void vel_protocol_server_set_reply_encoder(vel_protocol_server* server,
                                           vel_protocol_server_reply_encoder_func func) {
  if (!server) return;
  cg_mutex_lock(server->mutex);
  store(&server->reply_encoder, func);
  cg_mutex_unlock(server->mutex);
}

void vel_protocol_server_set_binary_byte_handler(vel_protocol_server* server,
                                                 vel_protocol_server_binary_byte_func func) {
  if (!server) return;
  cg_mutex_lock(server->mutex);
  store(&server->binary_byte_handler, func);
  cg_mutex_unlock(server->mutex);
}
