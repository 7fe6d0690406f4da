// cg_http_request: the request record, its accessors, and the connection
// record it carries (read-ahead bytes, response buffer, local address, the
// body's share of the body budget).
#include <cstdlib>

#include "http/http_internal.h"

namespace {

cg_http_connection* connection_new() {
  auto* conn = static_cast<cg_http_connection*>(std::calloc(1, sizeof(cg_http_connection)));
  if (conn) conn->window = vbd_http::read_ahead{conn->data, CG_HTTP_READ_AHEAD_SIZE, 0, 0};
  return conn;
}

void connection_delete(cg_http_connection* conn) {
  if (!conn) return;
  vbd_http::body_budget_give(conn->body_charge);
  cg_buffer_release(&conn->out);
  std::free(conn);
}

// Forgets all read-ahead bytes and the local address: a new stream begins.
void connection_reset(cg_http_connection* conn, const cg_socket* sock) {
  conn->socket = sock;
  conn->window.start = conn->window.end = 0;
  conn->local_address_known = 0;
  conn->local_address[0] = '\0';
}

}  // namespace

cg_http_connection* vbd_http::request_connection(cg_http_request* request, cg_socket* sock) {
  if (!request->connection) request->connection = connection_new();
  cg_http_connection* conn = request->connection;
  if (conn && conn->socket != sock) connection_reset(conn, sock);
  return conn;
}

void vbd_http::release_body(cg_http_request* request) {
  cg_string_clear(request->packet.content);
  if (cg_http_connection* conn = request->connection) {
    body_budget_give(conn->body_charge);
    conn->body_charge = 0;
  }
}

cg_http_request* cg_http_request_new() {
  auto* request = static_cast<cg_http_request*>(std::calloc(1, sizeof(cg_http_request)));
  if (!request) return nullptr;
  request->method = cg_string_new();
  request->uri = cg_string_new();
  request->version = cg_string_new();
  if (!vbd_http::packet_init(&request->packet) || !request->method || !request->uri ||
      !request->version) {
    cg_http_request_delete(request);
    return nullptr;
  }
  cg_string_set(request->version, CG_HTTP_VER11);
  return request;
}

void cg_http_request_delete(cg_http_request* request) {
  if (!request) return;
  vbd_http::packet_release(&request->packet);  // the body's charge goes with the connection record
  cg_string_delete(request->method);
  cg_string_delete(request->uri);
  cg_string_delete(request->version);
  connection_delete(request->connection);
  std::free(request);
}

void cg_http_request_clear(cg_http_request* request) {
  if (!request) return;
  cg_http_packet_clear(&request->packet);
  vbd_http::release_body(request);
  cg_string_clear(request->method);
  cg_string_clear(request->uri);
  cg_string_clear(request->version);
  request->user_data = nullptr;
}

void cg_http_request_set_time_limits(cg_http_request* request, int head_ms, int whole_ms) {
  if (!request) return;
  request->head_time_limit_ms = head_ms > 0 ? head_ms : 0;
  request->time_limit_ms = whole_ms > 0 ? whole_ms : 0;
}

cg_http_packet* cg_http_request_get_packet(cg_http_request* request) {
  return request ? &request->packet : nullptr;
}

void cg_http_request_set_method(cg_http_request* request, const char* method) {
  if (request) cg_string_set(request->method, method);
}

const char* cg_http_request_get_method(const cg_http_request* request) {
  return request ? cg_string_value(request->method) : nullptr;
}

void cg_http_request_set_uri(cg_http_request* request, const char* uri) {
  if (request) cg_string_set(request->uri, uri);
}

const char* cg_http_request_get_uri(const cg_http_request* request) {
  return request ? cg_string_value(request->uri) : nullptr;
}

void cg_http_request_set_version(cg_http_request* request, const char* version) {
  if (request) cg_string_set(request->version, version);
}

const char* cg_http_request_get_version(const cg_http_request* request) {
  return request ? cg_string_value(request->version) : nullptr;
}

void cg_http_request_set_socket(cg_http_request* request, cg_socket* sock) {
  if (!request) return;
  request->socket = sock;
  if (request->connection) connection_reset(request->connection, sock);
}

cg_socket* cg_http_request_get_socket(const cg_http_request* request) {
  return request ? request->socket : nullptr;
}

void cg_http_request_set_user_data(cg_http_request* request, void* user_data) {
  if (request) request->user_data = user_data;
}

void* cg_http_request_get_user_data(const cg_http_request* request) {
  return request ? request->user_data : nullptr;
}

const char* cg_http_request_get_local_address(cg_http_request* request) {
  if (!request || !cg_socket_is_open(request->socket)) return "";
  cg_http_connection* conn = vbd_http::request_connection(request, request->socket);
  if (!conn) return "";
  if (!conn->local_address_known) {
    // "" when the socket has no numeric local address; asked once all the same.
    cg_socket_get_local_address(request->socket, conn->local_address,
                                static_cast<int>(sizeof(conn->local_address)));
    conn->local_address_known = 1;
  }
  return conn->local_address;
}
