// The response writer: status line, header lines, the empty line and the
// body, assembled in one buffer and sent in as few send calls as possible
// (one for a message of ordinary size); a large body goes out from where
// it lies, a shared one without any copy.
#include <cstdio>

#include "http/http_internal.h"

namespace {

// Bodies up to this size are copied behind the header block and go out in
// the same send; larger ones are sent from the content directly.
constexpr int kInlineBody = 64 * 1024;
// The most a connection keeps of its response buffer between responses.
constexpr size_t kKeptOutputCapacity = 256 * 1024;

bool send_all(cg_socket* sock, const char* data, size_t length) {
  if (length == 0) return true;
  return cg_socket_write(sock, data, static_cast<int>(length)) == static_cast<int>(length);
}

// Appends the header lines, the empty line and the body to out (which may
// already hold a status line) and sends them. True when all was sent.
// conn: the connection whose response this is, none for a packet of its own.
bool post_packet(cg_socket* sock, cg_http_packet* packet, cg_buffer* out,
                 cg_http_connection* conn = nullptr) {
  using vbd_http::view_of;
  for (cg_http_header* h = cg_http_header_list_first(packet->headers); h;
       h = cg_http_header_next(h)) {
    if (!cg_string_value(h->name)) continue;
    cg_buffer_append(out, view_of(h->name));
    cg_buffer_append(out, ": ");
    cg_buffer_append(out, view_of(h->value));
    cg_buffer_append(out, "\r\n");
  }
  cg_buffer_append(out, "\r\n");

  // As many body bytes as "Content-Length" says, but never more than the
  // content holds (a HEAD answer keeps the length of a body it does not send).
  // A shared body is sent from the giver's text itself, which the packet
  // keeps alive meanwhile.
  std::string_view content = vbd_http::packet_body(packet);
  size_t body = 0;
  long long declared = cg_http_packet_get_header_llong(packet, CG_HTTP_CONTENT_LENGTH);
  if (declared > 0) {
    long long held = static_cast<long long>(content.size());
    body = static_cast<size_t>(declared < held ? declared : held);
  }
  if (body >= vbd_http::kLargeBody && conn) conn->posted_large_body = 1;
  if (body <= kInlineBody) {
    cg_buffer_append(out, content.data(), body);
    return !out->failed && send_all(sock, out->data, out->length);
  }
  return !out->failed && send_all(sock, out->data, out->length) &&
         send_all(sock, content.data(), body);
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

int cg_http_packet_post(cg_http_packet* packet, cg_socket* sock) {
  if (!packet || !sock) return 0;
  cg_buffer out{};
  bool sent = post_packet(sock, packet, &out);
  cg_buffer_release(&out);
  return sent ? 1 : 0;
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
  cg_buffer own{};
  cg_buffer* out = request->connection ? &request->connection->out : &own;
  cg_buffer_reset(out);
  char code[16];
  int code_length = std::snprintf(code, sizeof(code), " %d ", response->status_code);
  cg_buffer_append(out, version);
  cg_buffer_append(out, code, static_cast<size_t>(code_length));
  cg_buffer_append(out, reason);
  cg_buffer_append(out, "\r\n");
  if (!out->failed) post_packet(request->socket, &response->packet, out, request->connection);
  // A large message must not keep its copy alive for the rest of the connection.
  if (out == &own || out->capacity > kKeptOutputCapacity) cg_buffer_release(out);
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
