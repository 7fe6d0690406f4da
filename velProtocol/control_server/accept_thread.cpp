// The accept thread: waits on the listening socket and its wake, takes each
// new connection, applies the single-peer address rule (ending the
// connections it replaces by wake and join), gives the connection its
// keepalive, announces it and starts its client thread.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velProtocol/control_server/server_internal.h"

namespace {

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

void notify(vel_protocol_server* server, cg_socket* sock, int connected, int client_count) {
  vel_protocol_server_connection_func callback = server->connection_callback.load();
  if (!callback) return;
  vel_protocol_server_connection_event event{client_count, connected, sock};
  callback(&event);
}

// A peer that vanishes without a word (its network gone: no FIN, no RST)
// would otherwise stay connected for good, and with it the single-peer rule
// against every other address. The kernel probes a silent connection and
// reports the lost peer as a socket error, which ends the client thread like
// any hard error. Bytes sent to a vanished peer stop the probes; the user
// time-out bounds how long they may stay unacknowledged, by the same total.
// A live peer answers the probes: there is no idle time-out. An option that
// cannot be set leaves the connection working without it.
void keep_alive(vel_protocol_server* server, cg_socket* sock) {
  if (server->keepalive_idle_s <= 0) return;
  int fd = cg_socket_get_fd(sock);
  int on = 1;
  int idle = server->keepalive_idle_s;
  int interval = server->keepalive_interval_s > 0 ? server->keepalive_interval_s : 1;
  int probes = server->keepalive_probes > 0 ? server->keepalive_probes : 1;
  unsigned user_timeout_ms = static_cast<unsigned>(idle + interval * probes) * 1000u;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
}

// Publishes the new socket and starts its client thread. When the thread
// cannot be created the connection is closed and accepting goes on.
void serve(vel_protocol_server* server, cg_socket* sock) {
  vel_socket* entry = vel_socket_new(sock);
  auto* conn = new (std::nothrow) vel_protocol_server_connection{};
  cg_thread* thread = cg_thread_new();
  if (!entry || !conn || !thread) {
    // Out of memory: the connection is closed before anyone heard of it.
    if (entry) {
      vel_socket_delete(entry);
    } else {
      cg_socket_delete(sock);
    }
    delete conn;
    cg_thread_delete(thread);
    return;
  }
  cg_list_node_init(&conn->node);
  conn->entry = entry;
  conn->server = server;
  conn->active = 1;
  conn->thread = thread;
  cg_thread_set_action(thread, vel_protocol_server_clientthread);
  cg_thread_set_user_data(thread, conn);

  char peer[CG_NET_ADDRESS_TEXT_SIZE];
  std::snprintf(peer, sizeof(peer), "%s", cg_socket_get_address(sock));
  int peer_port = cg_socket_get_port(sock);

  {
    vel_server::mutex_hold hold(server);
    notify(server, sock, 1, cg_list_size(&server->connections) + 1);
  }

  // A client that never reads must not hold a sender: the socket is
  // non-blocking before any other thread can write to it.
  cg_socket_set_timeout_usec(sock, 0, server->socket_timeout);
  cg_socket_set_nonblocking(sock, 1);
  keep_alive(server, sock);

  bool started = false;
  {
    vel_server::mutex_hold hold(server);
    cg_mutex_lock(server->client_lock);
    vel_socket_list_add(server->client_sockets, entry);
    cg_list_append(&server->connections, &conn->node);
    cg_mutex_unlock(server->client_lock);
    cg_thread_list_add(server->client_threads, thread);
    started = cg_thread_start(thread) == 1;
    if (!started) {
      // The connection was announced: its end is announced too.
      notify(server, sock, 0, cg_list_size(&server->connections) - 1);
      cg_mutex_lock(server->client_lock);
      cg_list_remove(&conn->node);
      vel_socket_list_remove(entry);
      cg_mutex_unlock(server->client_lock);
      cg_list_remove(&thread->node);
    }
  }
  if (started) return;

  delete conn;
  cg_thread_delete(thread);
  VEL_SERVER_LOG(631, "vel_protocol_server_thread", "Can't creat client thread : %s:%d\n", peer,
                 peer_port);
}

// A failed accept that says nothing about the listener: the connection went
// away before it was taken, or a signal came. Tried again at once; any other
// failure (no descriptor or memory left in a flood of connections) waits
// VEL_PROTOCOL_SERVER_ACCEPT_RETRY_MS first.
bool passing_failure(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED;
}

}  // namespace

void vel_protocol_server_thread(cg_thread* thread) {
  auto* server = static_cast<vel_protocol_server*>(cg_thread_get_user_data(thread));
  cg_socket* listening = server->listen_socket;
  while (listening && cg_thread_is_runnable(thread)) {
    // Woken: a stop (the loop condition) or a spent wake; either way look again.
    if (cg_thread_wait_fd(thread, cg_socket_get_fd(listening), POLLIN, CG_WAIT_FOREVER, nullptr) !=
        CG_WAIT_READY) {
      continue;
    }
    cg_socket* sock = cg_socket_new(CG_NET_SOCKET_STREAM);
    if (!sock) {
      cg_thread_pause_ms(VEL_PROTOCOL_SERVER_ACCEPT_RETRY_MS);
      continue;
    }
    if (!cg_socket_accept(listening, sock)) {
      int error = errno;
      cg_socket_delete(sock);
      if (!passing_failure(error)) cg_thread_pause_ms(VEL_PROTOCOL_SERVER_ACCEPT_RETRY_MS);
      continue;
    }
    admission verdict = judge_address(server, cg_socket_get_address(sock));
    if (verdict == admission::refuse) {
      cg_socket_delete(sock);
      continue;
    }
    if (verdict == admission::replace) {
      vel_server::end_connections(server, cg_socket_get_address(sock));
    }
    if (!cg_thread_is_runnable(thread)) {
      cg_socket_delete(sock);
      break;
    }
    serve(server, sock);
  }
  vel_server::mutex_hold hold(server);
  server->accept_running.store(0);
}
