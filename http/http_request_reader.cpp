// The request reader: the request line, header block and body of HTTP
// messages read from a stream socket through a read-ahead window. The peer
// never chooses an allocation: buffers grow with the bytes that actually
// arrive, and no request holds more than CG_HTTP_MAX_HEADERS header lines
// and CG_HTTP_MAX_CONTENT body bytes, nor takes more than the body budget
// leaves, nor more time than its limits, counted from its first byte.
#include <poll.h>

#include <cerrno>
#include <climits>
#include <cstring>

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

// Lines and bytes from the socket, taken from the window first, within the
// request's time limits; body buffers grow within the body budget.
class input {
 public:
  // head_ms, whole_ms: the request's time limits (0: none). charge: the
  // request's share of the body budget, none for a read outside it.
  input(cg_socket* sock, read_ahead& window, int head_ms = 0, int whole_ms = 0,
        size_t* charge = nullptr)
      : sock_(sock), window_(window), head_ms_(head_ms), whole_ms_(whole_ms), charge_(charge) {
    // Bytes read ahead are the request's first: its clock runs from now.
    if (window_.start != window_.end) start_clock();
  }

  // As cg_socket_read_line: one line with its line feed into buffer (size
  // >= 2), cut at size - 1 bytes with the rest of the line discarded; the
  // number of bytes stored, or -1 when a read fails or the stream ends first.
  int read_line(char* buffer, int size);
  // Up to size bytes: bytes already read ahead, else one receive call. The
  // byte count, 0 at end of stream, -1 on error.
  int read(char* buffer, int size);
  // Room for extra more bytes in a body buffer (cg_buffer_reserve), the
  // growth taken from the body budget first. False when memory or the
  // budget runs out (the latter also makes cut() true).
  bool reserve(cg_buffer* body, size_t extra);
  // The request line and headers are in: from now on only the limit of the
  // whole request applies.
  void head_done() { deadline_ = whole_deadline_; }
  // The request passed a time limit or the body budget: it is not read
  // further, whatever the reads returned.
  bool cut() const { return cut_; }

 private:
  // One receive call, after waiting for bytes until the deadline.
  int receive(char* buffer, int size);
  // Refills an empty window with one receive call.
  int refill() {
    int n = receive(window_.data, window_.size);
    window_.start = 0;
    window_.end = n > 0 ? n : 0;
    return n;
  }
  void start_clock() {
    int64_t now = cg_monotonic_ms();
    clock_started_ = true;
    whole_deadline_ = whole_ms_ > 0 ? now + whole_ms_ : -1;
    deadline_ = head_ms_ > 0 ? now + head_ms_ : -1;
    if (deadline_ < 0 || (whole_deadline_ >= 0 && whole_deadline_ < deadline_)) {
      deadline_ = whole_deadline_;
    }
  }
  std::string_view unread() const {
    return {window_.data + window_.start, static_cast<size_t>(window_.end - window_.start)};
  }

  cg_socket* sock_;
  read_ahead& window_;
  int head_ms_;
  int whole_ms_;
  size_t* charge_;
  bool clock_started_ = false;
  int64_t deadline_ = -1;  // monotonic ms; -1: none
  int64_t whole_deadline_ = -1;
  bool cut_ = false;
};

int input::receive(char* buffer, int size) {
  // Before the first byte only the socket's own receive time-out applies.
  while (deadline_ >= 0) {
    int64_t left = deadline_ - cg_monotonic_ms();
    if (left <= 0) {
      cut_ = true;
      return -1;
    }
    // A stop shuts the socket down, which ends this wait at once too.
    pollfd p{cg_socket_get_fd(sock_), POLLIN, 0};
    int ready = poll(&p, 1, left < INT_MAX ? static_cast<int>(left) : INT_MAX);
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) break;  // the receive reports the trouble
  }
  int n = cg_socket_read(sock_, buffer, size);
  if (n > 0 && !clock_started_) start_clock();
  return n;
}

bool input::reserve(cg_buffer* body, size_t extra) {
  if (!charge_) return cg_buffer_reserve(body, extra);
  // The growth the reserve is about to make is taken from the budget
  // before it is allocated.
  size_t target = cg_buffer_capacity_for(body, extra);
  if (target <= body->capacity) return cg_buffer_reserve(body, extra);
  size_t growth = target - body->capacity;
  if (!body_budget_take(growth)) {
    cut_ = true;
    return false;
  }
  if (!cg_buffer_reserve(body, extra)) {
    body_budget_give(growth);
    return false;
  }
  *charge_ += growth;
  return true;
}

int input::read_line(char* buffer, int size) {
  if (!buffer || size < 2) {
    if (buffer && size == 1) buffer[0] = '\0';
    return -1;
  }
  int stored = 0;
  bool line_end = false;
  // Copy up to the line feed or until the buffer is full.
  while (!line_end && stored < size - 1) {
    if (window_.start == window_.end && refill() <= 0) {
      buffer[stored] = '\0';
      return -1;
    }
    std::string_view from = unread().substr(0, static_cast<size_t>(size - 1 - stored));
    size_t lf = from.find('\n');
    line_end = lf != std::string_view::npos;
    if (line_end) from = from.substr(0, lf + 1);
    std::memcpy(buffer + stored, from.data(), from.size());
    stored += static_cast<int>(from.size());
    window_.start += static_cast<int>(from.size());
  }
  buffer[stored] = '\0';
  // A line longer than the buffer: the rest of it is read and discarded.
  while (!line_end) {
    if (window_.start == window_.end && refill() <= 0) break;
    size_t lf = unread().find('\n');
    line_end = lf != std::string_view::npos;
    window_.start = line_end ? window_.start + static_cast<int>(lf) + 1 : window_.end;
  }
  return stored;
}

int input::read(char* buffer, int size) {
  if (size <= 0) return 0;
  if (window_.start == window_.end) return receive(buffer, size);
  int avail = window_.end - window_.start;
  int take = avail < size ? avail : size;
  std::memcpy(buffer, window_.data + window_.start, static_cast<size_t>(take));
  window_.start += take;
  return take;
}

// Receives up to want more bytes into body in at most
// CG_HTTP_BODY_RECEIVE_CALLS receive calls. Returns the bytes added; stops
// early when a receive fails (the peer closed, the time-out passed or the
// thread is being stopped: none of these brings more bytes).
long long receive_into(cg_buffer* body, input& in, long long want, bool* failed) {
  long long got = 0;
  for (int calls = 0; got < want && calls < CG_HTTP_BODY_RECEIVE_CALLS; calls++) {
    size_t remaining = static_cast<size_t>(want - got);
    size_t step = body->length > kBodyStep ? body->length : kBodyStep;
    if (step > remaining) step = remaining;
    if (!in.reserve(body, step)) {
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
bool read_sized_body(cg_http_packet* packet, input& in, long long length) {
  vbd_runtime::byte_buffer body(static_cast<size_t>(kMaxBody));
  bool failed = false;
  receive_into(body.get(), in, length < kMaxBody ? length : kMaxBody, &failed);
  bool too_long = length > kMaxBody && static_cast<long long>(body.size()) >= kMaxBody;
  if (body.size() > 0) cg_buffer_move_to_string(body.get(), packet->content);
  return !too_long;
}

bool read_chunked_body(cg_buffer* body, input& in, char* line, int line_size) {
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

bool read_until_close(cg_buffer* body, input& in) {
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
    if (!in.reserve(body, step)) return true;
    int n = in.read(body->data + body->length, static_cast<int>(step));
    if (n <= 0) return true;
    body->length += static_cast<size_t>(n);
  }
}

// Reads header lines until the empty line (a line of 2 bytes or fewer) or a
// failed read, appending each header. False when the block has more than
// CG_HTTP_MAX_HEADERS lines (reading stops there).
bool read_header_block(cg_http_packet* packet, input& in, char* line, int line_size) {
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

// Reads the body by "Content-Length", chunked, or until the peer closes.
// False when it goes on past CG_HTTP_MAX_CONTENT bytes (reading stops there).
bool read_body(cg_http_packet* packet, input& in, char* line, int line_size) {
  if (cg_http_header* length = cg_http_header_list_get(packet->headers, CG_HTTP_CONTENT_LENGTH)) {
    const char* value = cg_http_header_get_value(length);
    long long n = value ? parse_decimal(value) : 0;
    return n > 0 ? read_sized_body(packet, in, n) : true;
  }
  vbd_runtime::byte_buffer body(static_cast<size_t>(kMaxBody));
  const char* encoding = cg_http_header_list_get_value(packet->headers, CG_HTTP_TRANSFER_ENCODING);
  bool whole = encoding && iequals(encoding, CG_HTTP_CHUNKED)
                   ? read_chunked_body(body.get(), in, line, line_size)
                   : read_until_close(body.get(), in);
  long long total = static_cast<long long>(body.size());
  cg_buffer_move_to_string(body.get(), packet->content);
  cg_http_packet_set_header_llong(packet, CG_HTTP_CONTENT_LENGTH, total);
  return whole;
}

// The request line: method, target and version. An absolute URI is reduced
// to its path and query. False when the line read fails or the line has
// fewer than three parts.
bool read_request_line(cg_http_request* request, input& in, char* line, int line_size) {
  // Empty lines before it are skipped.
  int n;
  do {
    n = in.read_line(line, line_size);
    if (n < 0) return false;
  } while (n <= 2);
  std::string_view parts[3];
  if (split_request_line(std::string_view(line, static_cast<size_t>(n)), parts) < 3) return false;
  assign(request->method, parts[0]);
  assign(request->version, parts[2]);
  url_parts url = url_split(parts[1]);
  if (url.has_scheme) {
    assign(request->uri, url.path);
    if (!url.query.empty()) {
      cg_string_append_n(request->uri, "?", 1);
      cg_string_append_n(request->uri, url.query.data(), static_cast<int>(url.query.size()));
    }
  } else {
    assign(request->uri, parts[1]);
  }
  return true;
}

}  // namespace

}  // namespace vbd_http

int cg_http_request_read(cg_http_request* request, cg_socket* sock) {
  if (!request || !sock) return 0;
  cg_http_request_clear(request);
  request->socket = sock;
  // Without its read-ahead buffer the request cannot be read: memory ran
  // out, and the connection ends as for a failed read.
  cg_http_connection* conn = vbd_http::request_connection(request, sock);
  if (!conn) return 0;
  vbd_http::input in(sock, conn->window, request->head_time_limit_ms, request->time_limit_ms,
                     &conn->body_charge);
  char line[CG_HTTP_LINE_SIZE];

  // A request that would make the server hold more than its limits, or
  // that takes longer than its time limits, is not read further: its
  // connection ends as for a malformed request line.
  if (!vbd_http::read_request_line(request, in, line, sizeof(line)) ||
      !vbd_http::read_header_block(&request->packet, in, line, sizeof(line)) || in.cut()) {
    return 0;
  }
  in.head_done();
  if (cg_http_packet_has_header(&request->packet, CG_HTTP_CONTENT_LENGTH) ||
      cg_http_packet_has_header(&request->packet, CG_HTTP_TRANSFER_ENCODING)) {
    if (!vbd_http::read_body(&request->packet, in, line, sizeof(line)) || in.cut()) return 0;
  }
  return 1;
}

int cg_http_packet_read(cg_http_packet* packet, cg_socket* sock, int headers_only,
                        char* line_buffer, int line_size) {
  if (!packet || !sock || !line_buffer || line_size < 2) return 0;
  // A one-byte window: what follows the packet stays on the socket.
  char byte;
  vbd_http::read_ahead window{&byte, 1, 0, 0};
  vbd_http::input in(sock, window);
  if (!vbd_http::read_header_block(packet, in, line_buffer, line_size)) return 0;
  if (!headers_only && !vbd_http::read_body(packet, in, line_buffer, line_size)) return 0;
  return 1;
}
