// Reading an HTTP header block and body: by "Content-Length", chunked, or
// until the peer closes. The peer never chooses an allocation: buffers grow
// with the bytes that actually arrive, and no request holds more than
// CG_HTTP_MAX_HEADERS header lines and CG_HTTP_MAX_CONTENT body bytes.
#include <climits>

#include "http/http_internal.h"

namespace vbd_http {

namespace {

// First receive size of a body whose declared length is larger; later
// receives may take as much as has arrived so far (the buffer doubles).
constexpr size_t kBodyStep = 64 * 1024;
// Receive size while reading until the peer closes.
constexpr int kCloseDelimitedStep = 1024;
// Longest body kept.
constexpr long long kMaxBody = CG_HTTP_MAX_CONTENT;
static_assert(kMaxBody < INT_MAX, "a cg_string's length is an int");

// Receives up to want more bytes into body in at most
// CG_HTTP_BODY_RECEIVE_CALLS receive calls. Returns the bytes added; stops
// early when a receive fails (the peer closed, the time-out passed or the
// thread is being stopped: none of these brings more bytes).
long long receive_into(byte_buffer* body, http_input& in, long long want, bool* failed) {
  long long got = 0;
  for (int calls = 0; got < want && calls < CG_HTTP_BODY_RECEIVE_CALLS; calls++) {
    size_t remaining = static_cast<size_t>(want - got);
    size_t step = body->length > kBodyStep ? body->length : kBodyStep;
    if (step > remaining) step = remaining;
    if (!buffer_reserve(body, step)) {
      *failed = true;
      break;
    }
    size_t room = body->capacity - body->length - 1;
    if (room > remaining) room = remaining;
    if (room > static_cast<size_t>(INT_MAX)) room = INT_MAX;
    int n = in.read(body->data + body->length, static_cast<int>(room));
    if (n <= 0) {
      *failed = true;
      break;
    }
    body->length += static_cast<size_t>(n);
    got += n;
  }
  return got;
}

// False when the body goes on past kMaxBody: its first kMaxBody bytes
// arrived and more were announced.
bool read_sized_body(cg_http_packet* packet, http_input& in, long long length) {
  byte_buffer body{};
  bool failed = false;
  receive_into(&body, in, length < kMaxBody ? length : kMaxBody, &failed);
  bool too_long = length > kMaxBody && static_cast<long long>(body.length) >= kMaxBody;
  if (body.length > 0) {
    buffer_move_to_string(&body, packet->content);
  } else {
    buffer_release(&body);
  }
  return !too_long;
}

bool read_chunked_body(byte_buffer* body, http_input& in, char* line, int line_size) {
  for (;;) {
    if (in.read_line(line, line_size) < 0) return true;
    long long size = parse_hex(line);
    if (size < 1) return true;
    long long room = kMaxBody - static_cast<long long>(body->length);
    long long want = size < room ? size : room;
    bool failed = false;
    long long got = receive_into(body, in, want, &failed);
    // The body is full and its chunk goes on.
    if (size > room && got == room) return false;
    // A chunk that did not arrive whole leaves nothing to stay in step with.
    if (failed || got < size) return true;
    in.read_line(line, line_size);  // the line end after the chunk data
  }
}

bool read_until_close(byte_buffer* body, http_input& in) {
  for (;;) {
    if (static_cast<long long>(body->length) >= kMaxBody) {
      // Full: whole only when the peer closes now.
      char extra;
      return in.read(&extra, 1) <= 0;
    }
    size_t step = kCloseDelimitedStep;
    if (static_cast<long long>(body->length + step) > kMaxBody) {
      step = static_cast<size_t>(kMaxBody - static_cast<long long>(body->length));
    }
    if (!buffer_reserve(body, step)) return true;
    int n = in.read(body->data + body->length, static_cast<int>(step));
    if (n <= 0) return true;
    body->length += static_cast<size_t>(n);
  }
}

}  // namespace

bool read_header_block(cg_http_packet* packet, http_input& in, char* line, int line_size) {
  cg_http_header_list_clear(packet->headers);
  for (int lines = 0;; lines++) {
    int n = in.read_line(line, line_size);
    if (n <= 2) return true;  // the empty line, or a failed read
    if (lines == CG_HTTP_MAX_HEADERS) return false;
    std::string_view name, value;
    if (!split_header_line(std::string_view(line, static_cast<size_t>(n)), &name, &value)) {
      continue;
    }
    cg_http_header* header = cg_http_header_new();
    if (!header) continue;
    assign(header->name, name);
    assign(header->value, value);
    cg_http_header_list_add(packet->headers, header);
  }
}

bool read_body(cg_http_packet* packet, http_input& in, char* line, int line_size) {
  if (cg_http_header* length = cg_http_header_list_get(packet->headers, CG_HTTP_CONTENT_LENGTH)) {
    const char* value = cg_http_header_get_value(length);
    long long n = value ? parse_decimal(value) : 0;
    return n > 0 ? read_sized_body(packet, in, n) : true;
  }
  byte_buffer body{};
  const char* encoding = cg_http_header_list_get_value(packet->headers, CG_HTTP_TRANSFER_ENCODING);
  bool whole = encoding && iequals(encoding, CG_HTTP_CHUNKED) ? read_chunked_body(&body, in, line, line_size)
                                                              : read_until_close(&body, in);
  long long total = static_cast<long long>(body.length);
  buffer_move_to_string(&body, packet->content);
  cg_http_packet_set_header_llong(packet, CG_HTTP_CONTENT_LENGTH, total);
  return whole;
}

}  // namespace vbd_http

int cg_http_packet_read(cg_http_packet* packet, cg_socket* sock, int headers_only,
                        char* line_buffer, int line_size) {
  if (!packet || !sock || !line_buffer || line_size < 2) return 0;
  vbd_http::http_input in{sock, nullptr};
  if (!vbd_http::read_header_block(packet, in, line_buffer, line_size)) return 0;
  if (!headers_only && !vbd_http::read_body(packet, in, line_buffer, line_size)) return 0;
  return 1;
}
