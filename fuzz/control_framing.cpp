// Fuzz harness: a client's bytes through the control server's request
// framing and connection-level answers, without a socket. Bytes in,
// requests and replies out. Every request text must lie inside the receive
// buffer; every reply must end in a line end; every request short enough to
// fit a frame must survive the binary frame encoder and the parser unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "velProtocol/control_server/control_server.h"

namespace {

void require(bool ok) {
  if (!ok) __builtin_trap();
}

// One server for all runs: registration checked, one allowed client. Its
// learned-client list grows only up to its bound.
vel_protocol_server* registration_server() {
  static vel_protocol_server* server = [] {
    vel_protocol_server* s = vel_protocol_server_new();
    s->check_registration = 1;
    vel_protocolo_server_client* c =
        vel_protocolo_server_clientlist_add(s->registered_clients, "00:11:22:33:44:55", "tv");
    c->allowed = c;
    return s;
  }();
  return server;
}

void check_reply(const char* text) {
  int length = -1;
  char* out = vel_protocol_server_line_encode(&length, text, static_cast<int>(std::strlen(text)));
  require(out && length >= 2);
  char a = out[length - 2];
  char b = out[length - 1];
  require((a == '\r' && b == '\n') || (a == '\n' && b == '\r'));
  require(out[length] == '\0');
  std::free(out);
}

// The frame encoder's output read back by a fresh framer gives the text.
void check_round_trip(const std::string& text) {
  if (text.size() > 250) return;
  int length = -1;
  char* frame =
      vel_protocol_server_binary_encode(&length, text.data(), static_cast<int>(text.size()));
  require(frame && length == static_cast<int>(text.size()) + 6);
  vel_protocol_server_framer f;
  vel_protocol_server_framer_init(&f);
  for (int i = 0; i < length; i++) {
    require(vel_protocol_server_framer_check(&f, 0) == VEL_FRAME_NONE);
    int event = vel_protocol_server_framer_push_byte(&f, nullptr, frame[i], 0);
    require(event == (i == length - 1 ? VEL_FRAME_REQUEST : VEL_FRAME_NONE));
  }
  require(text == f.record.text);
  std::free(frame);
}

void on_request(vel_protocol_server* server, vel_protocol_server_framer* f) {
  const char* text = f->record.text;
  require(text >= f->buffer && text < f->buffer + VEL_PROTOCOL_SERVER_BUFFER_SIZE);
  size_t length = strnlen(text, static_cast<size_t>(f->buffer + VEL_PROTOCOL_SERVER_BUFFER_SIZE - text));
  require(text + length < f->buffer + VEL_PROTOCOL_SERVER_BUFFER_SIZE);
  require(length <= static_cast<size_t>(VEL_PROTOCOL_SERVER_REQUEST_SIZE));
  std::string copy(text, length);

  switch (vel_protocol_server_handshake(server, text)) {
    case VEL_HANDSHAKE_CON:
      check_reply("CON");
      break;
    case VEL_HANDSHAKE_BINFIN:
      check_reply("BINFIN");
      break;
    case VEL_HANDSHAKE_REFUSE:
      check_reply("ERR");
      break;
    default:
      break;
  }
  // The handshake reads the text and must leave it alone.
  require(copy == text);
  check_reply(text);
  check_round_trip(copy);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  vel_protocol_server* server = registration_server();
  // The first byte sets how far the clock moves per byte, so that some
  // inputs run into the 2000 ms limit.
  uint32_t step = (data[0] & 0x0F) * 150u;
  uint32_t now = 0xFFFFF000u;  // the clock wraps during long inputs
  vel_protocol_server_framer f;
  vel_protocol_server_framer_init(&f);
  for (size_t i = 1; i < size; i++) {
    now += step;
    int check = vel_protocol_server_framer_check(&f, now);
    require(check == VEL_FRAME_NONE || check == VEL_FRAME_TIMEOUT || check == VEL_FRAME_OVERFLOW);
    require(f.count < VEL_PROTOCOL_SERVER_REQUEST_SIZE);
    switch (vel_protocol_server_framer_push_byte(&f, nullptr, static_cast<char>(data[i]), now)) {
      case VEL_FRAME_REQUEST:
        on_request(server, &f);
        break;
      case VEL_FRAME_ERROR:
        check_reply("ERR");
        break;
      default:
        break;
    }
    require(f.count >= 0 && f.count <= VEL_PROTOCOL_SERVER_REQUEST_SIZE);
  }
  return 0;
}
