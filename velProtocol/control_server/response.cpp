// Everything the server writes to its clients: the line and binary frame
// encoders, single and event responses, the daemon's routing push and the
// request callback's reply. Texts for connections go through their output
// queues; nothing here waits for a client.
#include <cstdlib>
#include <cstring>

#include "velProtocol/control_server/server_internal.h"

namespace {

using vel_server::queued;

// Log places of the failed-send lines.
constexpr int kSingleLogLine = 764;
constexpr const char* kSingleLogFunction = "vel_protocol_server_single_response";
constexpr int kEventLogLine = 692;
constexpr const char* kEventLogFunction = "vel_protocol_server_socketlist_event_response";

// The locks a send needs. The server mutex is taken only while a reply
// encoder or sent callback is set (they are called under it), and not when
// the calling thread holds it already (a callback replying). client_lock is
// taken and dropped by the send itself.
class send_guard {
 public:
  explicit send_guard(vel_protocol_server* server) : server_(server) {
    if (!server_) return;
    holds_ = vel_server::holds_mutex(server_);
    if (!holds_ && (server_->reply_encoder.load() || server_->sent_callback.load())) {
      cg_mutex_lock(server_->mutex);
      took_ = holds_ = true;
    }
  }
  ~send_guard() {
    if (took_) cg_mutex_unlock(server_->mutex);
  }
  send_guard(const send_guard&) = delete;
  send_guard& operator=(const send_guard&) = delete;
  // The calling thread holds the server mutex: the encoder and sent callback
  // may be called, and the client lists cannot change while it does.
  bool holds_mutex() const { return holds_; }

 private:
  vel_protocol_server* server_;
  bool holds_ = false;
  bool took_ = false;
};

struct encoded_text {
  char* bytes = nullptr;
  int length = 0;
  int encoded = 0;
  ~encoded_text() { std::free(bytes); }
};

// The bytes that go out for a text. The encoder is used only when the guard
// holds the server mutex it is called under: one set while a send was
// already under way waits for the next send.
bool encode(vel_protocol_server* server, const char* text, const send_guard& guard,
            encoded_text* out) {
  int length = static_cast<int>(std::strlen(text));
  vel_protocol_server_reply_encoder_func encoder =
      server && guard.holds_mutex() ? server->reply_encoder.load() : nullptr;
  if (encoder) {
    out->bytes = encoder(&out->length, text, length);
    out->encoded = 1;
  } else {
    out->bytes = vel_protocol_server_line_encode(&out->length, text, length);
  }
  return out->bytes != nullptr;
}

// Where a text goes.
enum class route {
  single,  // one socket
  every,   // every connection
  push,    // every connection while fewer than two, else the second
};

// One text to its targets. Under the guard's locks; client_lock is held
// while the lists are walked and the queues are filled, and dropped around
// the sent callback, which the guard's mutex allows (the lists cannot
// change meanwhile, see control_server.h). 1 when every target took the
// text, else 0.
class sender {
 public:
  sender(vel_protocol_server* server, const char* text, const send_guard& guard,
         const encoded_text& out)
      : server_(server), text_(text), guard_(guard), out_(out) {}

  // Queues for one connection and logs a refusal at the given place (an
  // overflow has logged its own line).
  bool to_connection(vel_protocol_server_connection* conn, bool event) {
    cg_socket* sock = vel_socket_get_socket(conn->entry);
    queued result = vel_server::enqueue(conn, out_.bytes, out_.length);
    if (result == queued::failed && event) {
      VEL_SERVER_LOG(kEventLogLine, kEventLogFunction, "Failed event response : %s:%d\n",
                     cg_socket_get_address(sock), cg_socket_get_port(sock));
    } else if (result == queued::failed) {
      VEL_SERVER_LOG(kSingleLogLine, kSingleLogFunction, "Failed single response : %s:%d\n",
                     cg_socket_get_address(sock), cg_socket_get_port(sock));
    }
    if (result != queued::ok) return false;
    report_sent(sock);
    return true;
  }

  void report_sent(cg_socket* sock) {
    if (!guard_.holds_mutex()) return;
    vel_protocol_server_sent_func callback = server_->sent_callback.load();
    if (!callback) return;
    cg_mutex_unlock(server_->client_lock);
    callback(sock, text_, out_.encoded);
    cg_mutex_lock(server_->client_lock);
  }

  int to_every() {
    int result = 1;
    for (auto* c = vel_server::first_connection(server_); c; c = vel_server::next_connection(c)) {
      if (!to_connection(c, true)) result = 0;
    }
    return result;
  }

 private:
  vel_protocol_server* server_;
  const char* text_;
  const send_guard& guard_;
  const encoded_text& out_;
};

// Writes to a socket that is no connection of the server, as the caller
// asks: directly, with the bounded wait of cg_socket_write.
int write_directly(cg_socket* sock, const char* text, vel_protocol_server* server,
                   const send_guard& guard, const encoded_text& out) {
  if (cg_socket_write(sock, out.bytes, out.length) == -1) {
    VEL_SERVER_LOG(kSingleLogLine, kSingleLogFunction, "Failed single response : %s:%d\n",
                   cg_socket_get_address(sock), cg_socket_get_port(sock));
    return 0;
  }
  if (server && guard.holds_mutex()) {
    vel_protocol_server_sent_func callback = server->sent_callback.load();
    if (callback) callback(sock, text, out.encoded);
  }
  return 1;
}

int send_text(vel_protocol_server* server, route where, cg_socket* sock, const char* text) {
  send_guard guard(server);
  encoded_text out;
  if (!encode(server, text, guard, &out)) return 0;
  if (!server) return write_directly(sock, text, server, guard, out);

  sender send(server, text, guard, out);
  int result = 0;
  cg_mutex_lock(server->client_lock);
  if (where == route::single) {
    vel_protocol_server_connection* conn = vel_server::connection_of(server, sock);
    if (!conn) {
      cg_mutex_unlock(server->client_lock);
      return write_directly(sock, text, server, guard, out);
    }
    result = send.to_connection(conn, false) ? 1 : 0;
  } else if (where == route::push && vel_socket_list_size(server->client_sockets) >= 2) {
    vel_protocol_server_connection* second =
        vel_server::next_connection(vel_server::first_connection(server));
    result = send.to_connection(second, false) ? 1 : 0;
  } else if (server->listen_socket) {
    result = send.to_every();
  }
  cg_mutex_unlock(server->client_lock);
  return result;
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

int vel_protocol_server_single_response(cg_socket* sock, const char* text,
                                        vel_protocol_server* server) {
  if (!sock || !text) return 0;
  return send_text(server, route::single, sock, text);
}

int vel_protocol_server_socketlist_event_response(vel_protocol_server* server, const char* text) {
  if (!server || !text) return 0;
  return send_text(server, route::every, nullptr, text);
}

int vel_protocol_server_push(vel_protocol_server* server, const char* text) {
  if (!server || !text) return 0;
  return send_text(server, route::push, nullptr, text);
}

int vel_protocol_server_request_reply(vel_protocol_server_request* request, const char* text) {
  if (!request || !request->server || !request->connection || !text) return 0;
  // Inside the callback the mutex is noted as held by this thread, so the
  // guard does not take it again.
  return send_text(request->server, route::push, nullptr, text);
}

int vel_protocol_server_client_count(vel_protocol_server* server) {
  if (!server) return 0;
  cg_mutex_lock(server->client_lock);
  int count = vel_socket_list_size(server->client_sockets);
  cg_mutex_unlock(server->client_lock);
  return count;
}
