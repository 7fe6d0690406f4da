// Request framing: cuts a client's byte stream into text requests ended by
// a carriage return and binary frames opened by 0x02, with the 256-byte and
// 2000 ms limits. Works on bytes and times only, so it runs without a socket.
//
// Binary frame: 0x02, header H, length L (2 bytes, MSB first), L payload
// bytes. When H bit 7 is set a trailer T and an XOR checksum follow; T's low
// nibble N counts the bytes from the checksum to the frame's end. H bits 0-6
// give the size S of the length field, so the trailer is expected at
// offset K + 2 with K = S + L (4 + L in every frame this system builds).
#include <cstring>

#include "velProtocol/control_server/server_internal.h"

namespace {

constexpr char kCarriageReturn = '\r';

// Results of the frame parser for one byte.
constexpr int kComplete = 0;
constexpr int kFrameError = 2;
constexpr int kFrameErrorAlt = 3;
constexpr int kContinue = 1;

void reset_record(vel_protocol_server_framer* f) {
  f->record = vel_protocol_server_receive_record{};
  f->record.text = f->buffer;
}

// The built-in parser for the byte at index i of a binary request.
int parse_binary_byte(vel_protocol_server_framer* f, int i) {
  auto& rec = f->record;
  auto b = static_cast<unsigned char>(f->buffer[i]);
  switch (i) {
    case 0:
      return kContinue;
    case 1:
      rec.header = b;
      return kContinue;
    case 2:
      rec.payload_length = static_cast<uint16_t>(b << 8);
      return kContinue;
    case 3:
      rec.payload_length = static_cast<uint16_t>(rec.payload_length + b);
      return kContinue;
    default:
      break;
  }
  const bool checked = (rec.header & 0x80) != 0;
  const int k = (rec.header & 0x7F) + rec.payload_length;
  if (i == k + 2) {
    if (!checked) {
      f->buffer[i] = '\0';
      return kComplete;
    }
    rec.trailer = b & 0x0F;
    return kContinue;
  }
  if (checked && i == k + 3) {
    rec.checksum = b;
    unsigned char sum = 0;
    for (int j = 0; j <= k + 2; j++) sum ^= static_cast<unsigned char>(f->buffer[j]);
    // 4 + L stays inside the buffer: index k + 3 is below 256, so L < 253.
    f->buffer[4 + rec.payload_length] = '\0';
    rec.text = f->buffer + 4;
    int verdict = sum == b ? kComplete : kFrameError;
    if (rec.trailer == 1) return verdict;
    f->verdict = verdict;
    return kContinue;
  }
  if (checked && rec.trailer > 1 && i == rec.trailer + k + 2) {
    // The frame's last byte: N bytes from the checksum on, checksum included.
    // Extra trailer bytes may have been stored over the payload's end.
    f->buffer[4 + rec.payload_length] = '\0';
    return f->verdict;
  }
  return kContinue;
}

int judge_binary_byte(vel_protocol_server_framer* f, vel_protocol_server* server) {
  int i = f->count;
  vel_protocol_server_binary_byte_func handler =
      server ? server->binary_byte_handler.load() : nullptr;
  if (!handler) return parse_binary_byte(f, i);
  cg_mutex_lock(server->mutex);
  handler = server->binary_byte_handler.load();
  int result = handler ? handler(&f->record, f->buffer + i, i) : parse_binary_byte(f, i);
  cg_mutex_unlock(server->mutex);
  return result;
}

void drop(vel_protocol_server_framer* f) { f->count = 0; }

}  // namespace

void vel_protocol_server_framer_init(vel_protocol_server_framer* framer) {
  if (!framer) return;
  std::memset(framer, 0, sizeof(*framer));
  reset_record(framer);
}

int vel_protocol_server_framer_check(vel_protocol_server_framer* framer, uint32_t now_ms) {
  if (!framer || framer->count == 0) return VEL_FRAME_NONE;
  if (now_ms - framer->start_ms > VEL_PROTOCOL_SERVER_REQUEST_TIMEOUT_MS) {
    drop(framer);
    return VEL_FRAME_TIMEOUT;
  }
  if (framer->count >= VEL_PROTOCOL_SERVER_REQUEST_SIZE) {
    drop(framer);
    return VEL_FRAME_OVERFLOW;
  }
  return VEL_FRAME_NONE;
}

int vel_protocol_server_framer_push_byte(vel_protocol_server_framer* framer,
                                         vel_protocol_server* server, char byte,
                                         uint32_t now_ms) {
  if (!framer) return VEL_FRAME_NONE;
  // A full request must have been dropped by the check before this read.
  if (framer->count >= VEL_PROTOCOL_SERVER_REQUEST_SIZE) drop(framer);
  framer->buffer[framer->count] = byte;

  // The mode of the previous request decides how its successor's first
  // byte is read: after a text request a carriage return completes an
  // empty request, after a binary frame every byte opens a new one.
  int result = kContinue;
  if (!framer->binary) {
    if (byte == kCarriageReturn) {
      framer->buffer[framer->count] = '\0';
      result = kComplete;
    }
  } else {
    result = judge_binary_byte(framer, server);
  }

  if (result == kComplete) {
    drop(framer);
    return VEL_FRAME_REQUEST;
  }
  if (result == kFrameError || result == kFrameErrorAlt) {
    drop(framer);
    return VEL_FRAME_ERROR;
  }
  if (framer->count == 0) {
    reset_record(framer);
    framer->start_ms = now_ms;
    framer->binary = static_cast<unsigned char>(byte) == VEL_PROTOCOL_SERVER_FRAME_START;
    // A frame that never reaches its checksum has nothing verified.
    framer->verdict = kFrameError;
  }
  framer->count++;
  return VEL_FRAME_NONE;
}
