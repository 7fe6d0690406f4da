// cg_http_server: one listening endpoint with its accept thread, which waits
// on the listening socket and its wake and admits connections up to the
// server's caps, and the stop that winds down the accept thread and every
// connection.
#include <poll.h>

#include <cerrno>
#include <new>

#include "http/http_internal.h"

namespace {

// Pause after an accept that failed for want of descriptors or memory. A
// stop ends it at once.
constexpr int kAcceptResourcePauseMs = 100;

// Accept errors that concern one connection or a passing shortage, not the
// listening socket: the server goes on accepting.
bool accept_error_is_transient(int err) {
  switch (err) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENETUNREACH:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case EOPNOTSUPP:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return true;
    default:
      return false;
  }
}

bool accept_error_is_shortage(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// One connection accepted and handed to a thread; false when the accept
// thread should end.
bool accept_one(cg_thread* thread, cg_http_server* server) {
  short revents = 0;
  int waited =
      cg_thread_wait_fd(thread, cg_socket_get_fd(server->sock), POLLIN, CG_WAIT_FOREVER, &revents);
  if (waited != CG_WAIT_READY) return true;  // woken: the loop tests for a stop
  if (revents & (POLLERR | POLLNVAL)) return false;
  if (revents == 0) {
    // The wait itself failed (poll ran out of memory): a passing shortage.
    cg_thread_wait(thread, kAcceptResourcePauseMs);
    return true;
  }

  cg_socket* client = cg_socket_new(CG_NET_SOCKET_STREAM);
  if (!client) {
    cg_thread_wait(thread, kAcceptResourcePauseMs);
    return true;
  }
  if (!cg_socket_accept(server->sock, client)) {
    int err = errno;
    cg_socket_delete(client);
    if (!accept_error_is_transient(err)) return false;
    if (accept_error_is_shortage(err)) cg_thread_wait(thread, kAcceptResourcePauseMs);
    return true;
  }
  // Beyond the connections served at once, in all or from its address, a
  // newcomer is closed at once.
  cg_mutex_lock(server->mutex);
  bool full = cg_thread_list_size(server->client_threads) >= CG_HTTP_SERVER_MAX_CONNECTIONS ||
              vbd_http::connections_from(server, cg_socket_get_address(client)) >=
                  server->max_connections_per_address;
  cg_mutex_unlock(server->mutex);
  if (full) {
    cg_socket_delete(client);
    return true;
  }
  cg_socket_set_timeout(client, server->timeout);
  vbd_http::connection_start(server, client);
  return true;
}

void accept_action(cg_thread* thread) {
  auto* server = static_cast<cg_http_server*>(cg_thread_get_user_data(thread));
  if (!server->sock) return;
  while (cg_thread_is_runnable(thread) && accept_one(thread, server)) {
  }
}

}  // namespace

namespace vbd_http {

cg_http_server* server_alloc(bool is_head) {
  auto* server = new (std::nothrow) cg_http_server{};
  if (server) (is_head ? cg_list_header_init : cg_list_node_init)(&server->node);
  return server;
}

void server_free(cg_http_server* server) { delete server; }

}  // namespace vbd_http

cg_http_server* cg_http_server_new() {
  cg_http_server* server = vbd_http::server_alloc(false);
  if (!server) return nullptr;
  server->timeout = CG_HTTP_SERVER_CONNECTION_TIMEOUT;
  server->head_time_limit_ms = CG_HTTP_REQUEST_HEAD_TIME_LIMIT_MS;
  server->request_time_limit_ms = CG_HTTP_REQUEST_TIME_LIMIT_MS;
  server->max_connections_per_address = CG_HTTP_SERVER_MAX_CONNECTIONS_PER_ADDRESS;
  server->mutex = cg_mutex_new();
  server->ended = cg_cond_new();
  if (!server->mutex || !server->ended) {
    cg_mutex_delete(server->mutex);
    cg_cond_delete(server->ended);
    vbd_http::server_free(server);
    return nullptr;
  }
  return server;
}

void cg_http_server_delete(cg_http_server* server) {
  if (!server) return;
  cg_http_server_stop(server);
  cg_http_server_close(server);
  cg_cond_delete(server->ended);
  cg_mutex_delete(server->mutex);
  cg_list_remove(&server->node);
  vbd_http::server_free(server);
}

int cg_http_server_open(cg_http_server* server, int port, const char* address) {
  if (!server || server->sock) return 0;
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_STREAM);
  if (!sock) return 0;
  if (!cg_socket_bind(sock, port, address, 1, 1) || !cg_socket_listen(sock)) {
    int error = errno;  // why, for the caller's report
    cg_socket_delete(sock);
    errno = error;
    return 0;
  }
  server->sock = sock;
  return 1;
}

void cg_http_server_close(cg_http_server* server) {
  if (!server) return;
  cg_http_server_stop(server);
  cg_socket_delete(server->sock);
  server->sock = nullptr;
}

int cg_http_server_is_open(const cg_http_server* server) {
  return server && cg_socket_is_open(server->sock) ? 1 : 0;
}

int cg_http_server_start(cg_http_server* server) {
  if (!server || server->accept_thread) return 0;
  cg_thread* thread = cg_thread_new();
  cg_thread_list* connections = server->client_threads ? nullptr : cg_thread_list_new();
  if (!thread || (!server->client_threads && !connections)) {
    cg_thread_delete(thread);
    cg_thread_list_delete(connections);
    return 0;
  }
  // The accept thread waits in poll, never in accept: a connection that
  // poll announced but that is gone by the accept cannot block it past a
  // stop. (Accepted sockets do not inherit the flag.)
  cg_socket_set_nonblocking(server->sock, 1);
  if (connections) server->client_threads = connections;
  cg_thread_set_action(thread, accept_action);
  cg_thread_set_user_data(thread, server);
  if (!cg_thread_start(thread)) {
    cg_thread_delete(thread);  // never ran: nothing to stop
    if (connections) {
      cg_thread_list_delete(connections);
      server->client_threads = nullptr;
    }
    return 0;
  }
  server->accept_thread = thread;
  return 1;
}

void cg_http_server_stop(cg_http_server* server) {
  if (!server) return;
  if (server->accept_thread) {
    // Wakes the accept thread's wait and returns once it has ended.
    cg_thread_stop_and_join(server->accept_thread);
    cg_thread_delete(server->accept_thread);
    server->accept_thread = nullptr;
  }
  if (!server->client_threads) return;
  // No new connection arrives now. Shut every connection's socket down so
  // that its thread leaves a read, write or time-out wait at once, then wait
  // until each thread has left the list: after that none touches the server.
  cg_mutex_lock(server->mutex);
  server->stopping.store(true);
  for (cg_thread* t = cg_thread_list_first(server->client_threads); t; t = cg_thread_next(t)) {
    vbd_http::connection_interrupt(t);
  }
  while (cg_thread_list_first(server->client_threads)) {
    cg_cond_wait(server->ended, server->mutex, 0);
  }
  cg_thread_list* connections = server->client_threads;
  server->client_threads = nullptr;
  server->stopping.store(false);
  cg_mutex_unlock(server->mutex);
  cg_thread_list_delete(connections);
}

void cg_http_server_set_listener(cg_http_server* server, cg_http_listener listener) {
  if (server) server->listener.store(listener);
}

void cg_http_server_set_user_data(cg_http_server* server, void* user_data) {
  if (server) server->user_data.store(user_data);
}

void* cg_http_server_get_user_data(const cg_http_server* server) {
  return server ? server->user_data.load() : nullptr;
}

const char* cg_http_server_get_address(const cg_http_server* server) {
  return server && server->sock ? cg_socket_get_address(server->sock) : "";
}

int cg_http_server_get_port(const cg_http_server* server) {
  return server && server->sock ? cg_socket_get_port(server->sock) : -1;
}

int cg_http_server_get_connection_count(cg_http_server* server) {
  if (!server) return 0;
  cg_mutex_lock(server->mutex);
  int count = cg_thread_list_size(server->client_threads);
  cg_mutex_unlock(server->mutex);
  return count;
}

cg_http_server* cg_http_server_next(cg_http_server* server) {
  return vbd_runtime::list_next(server);
}
