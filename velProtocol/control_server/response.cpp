// Everything the server writes to its clients: the line and binary frame
// encoders, single and event responses, and the daemon's routing push.
#include <cstdlib>
#include <cstring>

#include "velProtocol/control_server/server_internal.h"

namespace vel_server {

send_guard::send_guard(vel_protocol_server* server) : server_(server) {
  if (!server_) return;
  if (load(&server_->reply_encoder) || load(&server_->sent_callback)) {
    cg_mutex_lock(server_->mutex);
    holds_mutex_ = true;
  }
  cg_mutex_lock(server_->client_lock);
}

send_guard::~send_guard() {
  if (!server_) return;
  cg_mutex_unlock(server_->client_lock);
  if (holds_mutex_) cg_mutex_unlock(server_->mutex);
}

}  // namespace vel_server

namespace {

using vel_server::load;
using vel_server::send_guard;

struct encoded_text {
  char* bytes = nullptr;
  int length = 0;
  int encoded = 0;
  ~encoded_text() { std::free(bytes); }
};

// The bytes that go out for a text. The slots are used only when the guard
// holds the server mutex they are called under: one set while a send was
// already under way waits for the next send.
bool encode(vel_protocol_server* server, const char* text, const send_guard& guard,
            encoded_text* out) {
  int length = static_cast<int>(std::strlen(text));
  vel_protocol_server_reply_encoder_func encoder =
      server && guard.holds_mutex() ? load(&server->reply_encoder) : nullptr;
  if (encoder) {
    out->bytes = encoder(&out->length, text, length);
    out->encoded = 1;
  } else {
    out->bytes = vel_protocol_server_line_encode(&out->length, text, length);
  }
  return out->bytes != nullptr;
}

void report_sent(vel_protocol_server* server, cg_socket* sock, const char* text,
                 const send_guard& guard, int encoded) {
  if (!server || !guard.holds_mutex()) return;
  vel_protocol_server_sent_func callback = load(&server->sent_callback);
  if (callback) callback(sock, text, encoded);
}

}  // namespace

char* vel_protocol_server_line_encode(int* out_length, const char* text, int length) {
  if (!text || length < 0) return nullptr;
  bool ends_in_line_end = false;
  if (length >= 2) {
    char a = text[length - 2];
    char b = text[length - 1];
    ends_in_line_end = (a == '\r' && b == '\n') || (a == '\n' && b == '\r');
  }
  int total = ends_in_line_end ? length : length + 2;
  auto* bytes = static_cast<char*>(std::calloc(static_cast<size_t>(total) + 1, 1));
  if (!bytes) return nullptr;
  std::memcpy(bytes, text, static_cast<size_t>(length));
  if (!ends_in_line_end) {
    bytes[length] = '\r';
    bytes[length + 1] = '\n';
  }
  if (out_length) *out_length = total;
  return bytes;
}

char* vel_protocol_server_binary_encode(int* out_length, const char* text, int length) {
  // The length field holds 16 bits.
  if (!text || length < 0 || length > 0xFFFF) return nullptr;
  int total = length + 6;
  auto* frame = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(total)));
  if (!frame) return nullptr;
  frame[0] = VEL_PROTOCOL_SERVER_FRAME_START;
  frame[1] = 0x82;
  frame[2] = static_cast<unsigned char>((static_cast<unsigned>(length) >> 8) & 0xFF);
  frame[3] = static_cast<unsigned char>(static_cast<unsigned>(length) & 0xFF);
  std::memcpy(frame + 4, text, static_cast<size_t>(length));
  frame[4 + length] = 0x01;
  unsigned char sum = 0;
  for (int i = 0; i < 5 + length; i++) sum ^= frame[i];
  frame[5 + length] = sum;
  if (out_length) *out_length = total;
  return reinterpret_cast<char*>(frame);
}

namespace vel_server {

int single_response_locked(cg_socket* sock, const char* text, vel_protocol_server* server,
                           const send_guard& guard) {
  if (!sock || !text) return 0;
  encoded_text out;
  if (!encode(server, text, guard, &out)) return 0;
  if (cg_socket_write(sock, out.bytes, out.length) == -1) {
    VEL_SERVER_LOG(764, "vel_protocol_server_single_response", "Failed single response : %s:%d\n",
                   cg_socket_get_address(sock), cg_socket_get_port(sock));
    return 0;
  }
  report_sent(server, sock, text, guard, out.encoded);
  return 1;
}

int event_response_locked(vel_protocol_server* server, const char* text, const send_guard& guard) {
  if (!server || !text || !server->listen_socket) return 0;
  encoded_text out;
  if (!encode(server, text, guard, &out)) return 0;
  int result = 1;
  for (vel_socket* e = vel_socket_list_first(server->client_sockets); e; e = vel_socket_next(e)) {
    cg_socket* sock = vel_socket_get_socket(e);
    if (cg_socket_write(sock, out.bytes, out.length) == -1) {
      VEL_SERVER_LOG(692, "vel_protocol_server_socketlist_event_response",
                     "Failed event response : %s:%d\n", cg_socket_get_address(sock),
                     cg_socket_get_port(sock));
      result = 0;
      continue;
    }
    report_sent(server, sock, text, guard, out.encoded);
  }
  return result;
}

}  // namespace vel_server

int vel_protocol_server_single_response(cg_socket* sock, const char* text,
                                        vel_protocol_server* server) {
  if (!sock) return 0;
  send_guard guard(server);
  return vel_server::single_response_locked(sock, text, server, guard);
}

int vel_protocol_server_socketlist_event_response(vel_protocol_server* server, const char* text) {
  if (!server) return 0;
  send_guard guard(server);
  return vel_server::event_response_locked(server, text, guard);
}

int vel_protocol_server_push(vel_protocol_server* server, const char* text) {
  if (!server || !text) return 0;
  send_guard guard(server);
  if (vel_socket_list_size(server->client_sockets) < 2) {
    return vel_server::event_response_locked(server, text, guard);
  }
  vel_socket* second = vel_socket_next(vel_socket_list_first(server->client_sockets));
  return vel_server::single_response_locked(vel_socket_get_socket(second), text, server, guard);
}

int vel_protocol_server_client_count(vel_protocol_server* server) {
  if (!server) return 0;
  cg_mutex_lock(server->client_lock);
  int count = vel_socket_list_size(server->client_sockets);
  cg_mutex_unlock(server->client_lock);
  return count;
}
