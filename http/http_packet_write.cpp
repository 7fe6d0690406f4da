// Writing an HTTP message: header lines, the empty line and the body, sent
// in as few send calls as possible (one for a message of ordinary size).
#include "http/http_internal.h"

namespace vbd_http {

namespace {

// Bodies up to this size are copied behind the header block and go out in
// the same send; larger ones are sent from the content directly.
constexpr int kInlineBody = 64 * 1024;

bool send_all(cg_socket* sock, const char* data, size_t length) {
  if (length == 0) return true;
  return cg_socket_write(sock, data, static_cast<int>(length)) == static_cast<int>(length);
}

}  // namespace

bool post_packet(cg_socket* sock, cg_http_packet* packet, byte_buffer* out) {
  bool assembled = true;
  for (cg_http_header* h = cg_http_header_list_first(packet->headers); h;
       h = cg_http_header_next(h)) {
    if (!cg_string_value(h->name)) continue;
    assembled = assembled && buffer_append(out, view_of(h->name)) && buffer_append(out, ": ") &&
                buffer_append(out, view_of(h->value)) && buffer_append(out, "\r\n");
  }
  assembled = assembled && buffer_append(out, "\r\n");
  if (!assembled) return false;

  // As many body bytes as "Content-Length" says, but never more than the
  // content holds (a HEAD answer keeps the length of a body it does not send).
  int body = 0;
  if (cg_string_value(packet->content)) {
    long long declared = cg_http_packet_get_header_llong(packet, CG_HTTP_CONTENT_LENGTH);
    int held = cg_string_length(packet->content);
    if (declared > 0) body = declared < held ? static_cast<int>(declared) : held;
  }
  const char* content = cg_string_value(packet->content);
  if (body <= kInlineBody) {
    if (!buffer_append(out, content, static_cast<size_t>(body))) return false;
    return send_all(sock, out->data, out->length);
  }
  return send_all(sock, out->data, out->length) &&
         send_all(sock, content, static_cast<size_t>(body));
}

}  // namespace vbd_http

int cg_http_packet_post(cg_http_packet* packet, cg_socket* sock) {
  if (!packet || !sock) return 0;
  vbd_http::byte_buffer out{};
  bool sent = vbd_http::post_packet(sock, packet, &out);
  vbd_http::buffer_release(&out);
  return sent ? 1 : 0;
}
