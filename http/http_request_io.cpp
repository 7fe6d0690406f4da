// Reading a request from its connection and writing responses to it.
#include <cstdio>

#include "http/http_internal.h"

namespace {

// The most a connection keeps of its response buffer between responses.
constexpr size_t kKeptOutputCapacity = 256 * 1024;

// The request's connection state for reading from sock; none when memory
// runs out (the request is then read byte by byte).
cg_http_connection* connection_for(cg_http_request* request, cg_socket* sock) {
  if (!request->connection) request->connection = vbd_http::connection_new();
  if (request->connection) vbd_http::connection_bind(request->connection, sock);
  return request->connection;
}

// The HTTP date of now; a connection formats it once per second, a request
// without one into the caller's buffer.
const char* current_date(cg_http_request* request, char (&buffer)[CG_HTTP_DATE_SIZE]) {
  time_t now = cg_current_time();
  cg_http_connection* conn = request->connection;
  if (!conn) return cg_http_date(now, buffer);
  if (!conn->date_known || conn->date_time != now) {
    cg_http_date(now, conn->date);
    conn->date_time = now;
    conn->date_known = 1;
  }
  return conn->date;
}

}  // namespace

int cg_http_request_read(cg_http_request* request, cg_socket* sock) {
  if (!request || !sock) return 0;
  cg_http_request_clear(request);
  request->socket = sock;
  vbd_http::http_input in{sock, connection_for(request, sock)};
  char line[CG_HTTP_LINE_SIZE];

  // The request line; empty lines before it are skipped.
  int n;
  do {
    n = in.read_line(line, sizeof(line));
    if (n < 0) return 0;
  } while (n <= 2);
  std::string_view parts[3];
  if (vbd_http::split_request_line(std::string_view(line, static_cast<size_t>(n)), parts) < 3) {
    return 0;
  }
  vbd_http::assign(request->method, parts[0]);
  vbd_http::assign(request->version, parts[2]);
  // An absolute URI is reduced to its path and query.
  vbd_http::url_parts url = vbd_http::url_split(parts[1]);
  if (url.has_scheme) {
    vbd_http::assign(request->uri, url.path);
    if (!url.query.empty()) {
      cg_string_append_n(request->uri, "?", 1);
      cg_string_append_n(request->uri, url.query.data(), static_cast<int>(url.query.size()));
    }
  } else {
    vbd_http::assign(request->uri, parts[1]);
  }

  // A request that would make the server hold more than its limits is not
  // read further: its connection ends as for a malformed request line.
  if (!vbd_http::read_header_block(&request->packet, in, line, sizeof(line))) return 0;
  if (cg_http_packet_has_header(&request->packet, CG_HTTP_CONTENT_LENGTH) ||
      cg_http_packet_has_header(&request->packet, CG_HTTP_TRANSFER_ENCODING)) {
    if (!vbd_http::read_body(&request->packet, in, line, sizeof(line))) return 0;
  }
  return 1;
}

int cg_http_request_post_response(cg_http_request* request, cg_http_response* response) {
  if (!request || !response) return 0;
  char date[CG_HTTP_DATE_SIZE];
  cg_http_packet_set_header(&response->packet, CG_HTTP_DATE, current_date(request, date));
  const char* version = cg_string_value(response->version);
  const char* reason = cg_string_value(response->reason_phrase);
  if (!version || !reason) return 0;

  // The connection's buffer is reused for every response; a request that
  // was never read assembles its response in a buffer of its own.
  vbd_http::byte_buffer own{};
  vbd_http::byte_buffer* out = request->connection ? &request->connection->out : &own;
  out->length = 0;
  char code[16];
  int code_length = std::snprintf(code, sizeof(code), " %d ", response->status_code);
  if (vbd_http::buffer_append(out, version) &&
      vbd_http::buffer_append(out, code, static_cast<size_t>(code_length)) &&
      vbd_http::buffer_append(out, reason) && vbd_http::buffer_append(out, "\r\n")) {
    vbd_http::post_packet(request->socket, &response->packet, out);
  }
  // A large message must not keep its copy alive for the rest of the connection.
  if (out == &own || out->capacity > kKeptOutputCapacity) {
    vbd_http::buffer_release(out);
  }
  return 1;
}

int cg_http_request_post_status(cg_http_request* request, int status_code) {
  if (!request) return 0;
  cg_http_response* response = cg_http_response_new();
  if (!response) return 0;
  cg_http_response_set_status_code(response, status_code);
  cg_http_packet_set_header_llong(&response->packet, CG_HTTP_CONTENT_LENGTH, 0);
  int rc = cg_http_request_post_response(request, response);
  cg_http_response_delete(response);
  return rc;
}
