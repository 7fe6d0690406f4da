// The connection thread of the HTTP server: reads requests one after the
// other on one accepted socket, within the server's time limits, and hands
// each to the server's listener.
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "http/http_internal.h"

namespace {

// One accepted connection, the user data of its thread.
struct connection_record {
  cg_socket* sock;  // owned
  cg_http_server* server;
};

// Whether the request asks to end the connection after its answer: always
// for HTTP/1.0, else on "Connection: close".
bool closes_connection(cg_http_request* request) {
  if (cg_str_equal(cg_http_request_get_version(request), CG_HTTP_VER10)) return true;
  const char* connection = cg_http_packet_get_header_value(&request->packet, CG_HTTP_CONNECTION);
  return connection && vbd_http::iequals(connection, CG_HTTP_CLOSE);
}

// After a response with a large body: what the listener made for it (its
// copies, or what it left over producing a body it shares) is freed by now,
// and the allocator's arenas would keep their pages for later use. They go
// back to the system, so that resident memory returns to its level once
// large responses are done.
void give_back_freed_memory(cg_http_request* request) {
  cg_http_connection* conn = request->connection;
  if (!conn || !conn->posted_large_body) return;
  conn->posted_large_body = 0;
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// One request handled; false when the connection ends after it.
bool handle(cg_http_server* server, cg_http_request* request) {
  // HTTP/1.1 requires a Host header; the connection stays open after the 400.
  if (cg_str_equal(cg_http_request_get_version(request), CG_HTTP_VER11) &&
      !cg_http_packet_has_header(&request->packet, CG_HTTP_HOST)) {
    cg_http_request_post_status(request, CG_HTTP_STATUS_BAD_REQUEST);
    return true;
  }
  // Decided before the listener runs, which may change the request.
  bool last = closes_connection(request);
  cg_http_listener listener = server->listener.load();
  if (listener) {
    cg_http_request_set_user_data(request, server->user_data.load());
    listener(request);
  }
  return !last;
}

void serve(cg_http_server* server, cg_thread* thread, cg_http_request* request) {
  cg_socket* sock = cg_http_request_get_socket(request);
  cg_http_request_set_time_limits(request, server->head_time_limit_ms,
                                  server->request_time_limit_ms);
  while (cg_http_request_read(request, sock)) {
    if (!cg_thread_is_runnable(thread) || server->stopping.load()) return;
    bool more = handle(server, request);
    // A body is not kept while the connection waits for its next request.
    vbd_http::release_body(request);
    give_back_freed_memory(request);
    if (!more) return;
  }
}

void connection_action(cg_thread* thread) {
  auto* record = static_cast<connection_record*>(cg_thread_get_user_data(thread));
  cg_http_server* server = record->server;
  if (cg_http_request* request = cg_http_request_new()) {
    cg_http_request_set_socket(request, record->sock);
    serve(server, thread, request);
    cg_http_request_delete(request);
  }

  // Leave the server's list first: a stopping server waits for it to empty,
  // and the socket is closed only once the stopper can no longer reach it.
  cg_mutex_lock(server->mutex);
  cg_list_remove(&thread->node);
  if (!cg_thread_list_first(server->client_threads)) cg_cond_signal(server->ended);
  cg_mutex_unlock(server->mutex);
  // The server may be gone from here on.

  cg_socket_delete(record->sock);
  std::free(record);
  cg_thread_set_user_data(thread, nullptr);
  // Drop the owner's reference; the running thread's own one keeps the
  // record until this function has returned. (cg_thread_delete would first
  // stop the thread: signal itself and sleep through the stop pause for
  // nothing, since it is past its last blocking call.)
  cg_thread_release(thread);
}

}  // namespace

namespace vbd_http {

bool connection_start(cg_http_server* server, cg_socket* sock) {
  auto* record = static_cast<connection_record*>(std::malloc(sizeof(connection_record)));
  cg_thread* thread = cg_thread_new();
  if (record && thread) {
    record->sock = sock;
    record->server = server;
    cg_thread_set_action(thread, connection_action);
    cg_thread_set_user_data(thread, record);
    cg_mutex_lock(server->mutex);
    cg_thread_list_add(server->client_threads, thread);
    cg_mutex_unlock(server->mutex);
    if (cg_thread_start(thread)) return true;
    cg_mutex_lock(server->mutex);
    cg_list_remove(&thread->node);
    cg_mutex_unlock(server->mutex);
  }
  // No thread for this connection (a flood, or memory ran out): close it
  // and go on serving the others.
  cg_thread_delete(thread);
  std::free(record);
  cg_socket_delete(sock);
  return false;
}

int connections_from(cg_http_server* server, const char* address) {
  int count = 0;
  for (cg_thread* t = cg_thread_list_first(server->client_threads); t; t = cg_thread_next(t)) {
    auto* record = static_cast<connection_record*>(cg_thread_get_user_data(t));
    if (record && std::strcmp(cg_socket_get_address(record->sock), address) == 0) count++;
  }
  return count;
}

void connection_interrupt(cg_thread* thread) {
  auto* record = static_cast<connection_record*>(cg_thread_get_user_data(thread));
  if (record && cg_socket_is_open(record->sock)) {
    shutdown(cg_socket_get_fd(record->sock), SHUT_RDWR);
  }
}

}  // namespace vbd_http
