// Fuzz harness: requests read from a socketpair fed with arbitrary bytes,
// one after the other as a server connection reads them, each answered with
// a response that carries the request's headers and body; then the
// byte-wise packet reader over the same bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "http/http.h"

namespace {

// Largest input: it is written into the socketpair before reading starts,
// and the responses (at most about twice its size) must fit the other way.
constexpr size_t kMaxInput = 32 * 1024;
// Responses written per input: the peer never reads them, so they must fit
// into its receive buffer.
constexpr int kMaxResponses = 32;

// A cg_socket over one end of a socketpair whose other end sent the bytes
// and closed its writing side; none on failure.
cg_socket* feed(const uint8_t* data, size_t size, int* peer) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return nullptr;
  if (size > 0 && write(fds[1], data, size) != static_cast<ssize_t>(size)) {
    close(fds[0]);
    close(fds[1]);
    return nullptr;
  }
  shutdown(fds[1], SHUT_WR);
  *peer = fds[1];
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_STREAM);
  cg_socket_set_fd(sock, fds[0]);
  cg_socket_set_timeout(sock, 1);  // a full peer buffer must not hang the run
  return sock;
}

void answer(cg_http_request* request) {
  cg_http_response* response = cg_http_response_new();
  cg_http_response_set_status_code(response, 200);
  cg_http_packet* in = cg_http_request_get_packet(request);
  cg_http_packet* out = cg_http_response_get_packet(response);
  for (cg_http_header* h = cg_http_header_list_first(cg_http_packet_get_headers(in)); h;
       h = cg_http_header_next(h)) {
    cg_http_packet_set_header(out, cg_http_header_get_name(h), cg_http_header_get_value(h));
  }
  cg_http_packet_set_content(out, cg_http_packet_get_content(in),
                             cg_http_packet_get_content_length(in));
  cg_http_request_post_response(request, response);
  cg_http_response_delete(response);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;

  int peer = -1;
  if (cg_socket* sock = feed(data, size, &peer)) {
    cg_http_request* request = cg_http_request_new();
    cg_http_request_set_socket(request, sock);
    for (int n = 0; cg_http_request_read(request, sock); n++) {
      cg_http_packet* packet = cg_http_request_get_packet(request);
      cg_http_packet_get_header_llong(packet, CG_HTTP_CONTENT_LENGTH);
      cg_http_packet_has_header(packet, CG_HTTP_HOST);
      if (n < kMaxResponses) answer(request);
    }
    cg_http_request_delete(request);
    cg_socket_delete(sock);
    close(peer);
  }

  if (cg_socket* sock = feed(data, size, &peer)) {
    cg_http_packet* packet = cg_http_packet_new();
    char line[CG_HTTP_LINE_SIZE];
    cg_http_packet_read(packet, sock, size % 2, line, sizeof(line));
    cg_http_packet_delete(packet);
    cg_socket_delete(sock);
    close(peer);
  }
  return 0;
}
