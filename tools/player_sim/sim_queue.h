// The simulator's side of the message queue: its own copy of the 200-byte
// message body as the player's main program sees it, and non-blocking send
// and receive on the queue.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

inline constexpr int QUEUE_KEY = 116;
inline constexpr long TYPE_FROM_SERVER = 4321;  // commands and hello from the daemon
inline constexpr long TYPE_TO_SERVER = 1234;    // replies and unsolicited messages
inline constexpr int BODY_SIZE = 200;

inline constexpr int KIND_NORMAL = 0;
inline constexpr int KIND_AUTO_FEEDBACK = 1;
inline constexpr int KIND_HELLO = 2;
inline constexpr int KIND_SHUTDOWN = 3;
inline constexpr int KIND_STANDBY = 4;

// The response record: reply code, command index, 36 bytes of status data.
struct response {
  int32_t ret_id;
  int32_t cmd_id;
  uint8_t data[36];
};
static_assert(sizeof(response) == 44);

struct body {
  int32_t kind;
  int32_t cmd;
  int32_t param;
  response ret;
  int32_t pid_or_standby;
  int32_t user_value;
  char text[128];  // auto feedback text; may run on to the end of the body
  int32_t reserved;
  int32_t result;
};
static_assert(sizeof(body) == BODY_SIZE);
static_assert(offsetof(body, ret) == 12);
static_assert(offsetof(body, pid_or_standby) == 56);
static_assert(offsetof(body, user_value) == 60);
static_assert(offsetof(body, text) == 64);
static_assert(offsetof(body, reserved) == 192);
static_assert(offsetof(body, result) == 196);

// Longest auto-feedback text: from its offset to the end of the body.
inline constexpr int TEXT_MAX = BODY_SIZE - 64;

// Opens (creating when needed) the queue with the key; -1 on failure.
int queue_open(int key);
// Sends one body with the type without blocking; false on failure (errno
// EAGAIN when the queue is full).
bool queue_send(int qid, long type, const body& msg);
// Sends raw bytes (at most 200) with the type; false on failure.
bool queue_send_raw(int qid, long type, const void* bytes, int length);
// Takes the oldest message of the type without blocking; false when none.
bool queue_receive(int qid, long type, body* out);

}  // namespace sim
