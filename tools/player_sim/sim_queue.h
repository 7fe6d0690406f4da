// The simulator's side of the message queue: the channels, kinds and the
// 200-byte message body as the player's main program sees them (from the
// public integrator header), non-blocking send and receive on the queue, and
// a reader that blocks on the queue so the simulator never polls it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

#include "include/vbd/player_link.h"

namespace sim {

inline constexpr int QUEUE_KEY = VBD_QUEUE_KEY;
inline constexpr long TYPE_FROM_SERVER = VBD_MSGTYPE_TO_MAIN;  // commands and hello from the daemon
inline constexpr long TYPE_TO_SERVER = VBD_MSGTYPE_FROM_MAIN;  // replies and unsolicited messages
inline constexpr int BODY_SIZE = VBD_MSG_SIZE;

inline constexpr int KIND_NORMAL = VBD_MSG_NORMAL;
inline constexpr int KIND_AUTO_FEEDBACK = VBD_MSG_AUTO_FEEDBACK;
inline constexpr int KIND_HELLO = VBD_MSG_HELLO;
inline constexpr int KIND_SHUTDOWN = VBD_MSG_SHUTDOWN;
inline constexpr int KIND_STANDBY = VBD_MSG_STANDBY;

// The response record: reply code, command index, 36 bytes of status data.
using response = vbd_player_ret;
// The message body, the same layout in both directions.
using body = vbd_player_msg;

// Longest auto-feedback text: from its offset to the end of the body.
inline constexpr int TEXT_MAX = VBD_FEEDBACK_MAX;

// Opens (creating when needed) the queue with the key; -1 on failure.
int queue_open(int key);
// Sends one body with the type without blocking; false on failure (errno
// EAGAIN when the queue is full).
bool queue_send(int qid, long type, const body& msg);
// Sends raw bytes (at most 200) with the type; false on failure.
bool queue_send_raw(int qid, long type, const void* bytes, int length);
// Takes the oldest message of the type without blocking; false when none.
bool queue_receive(int qid, long type, body* out);

// A thread that blocks on one channel of the queue and runs the handler for
// every message on its own thread (the message is answered without waking
// anyone else), then sets fd(). It runs until the process ends (a removed
// queue ends it at once).
class queue_reader {
 public:
  using handler = std::function<void(const body&)>;
  queue_reader() = default;
  queue_reader(const queue_reader&) = delete;
  queue_reader& operator=(const queue_reader&) = delete;
  ~queue_reader();
  // Starts reading; false when the thread or its descriptor cannot be made.
  bool start(int qid, long type, handler on_message);
  // Readable after a message was handled (an eventfd); -1 before start.
  int fd() const { return fd_; }
  // Clears fd().
  void clear();

 private:
  void run(int qid, long type);

  handler on_message_;
  int fd_ = -1;
  std::thread thread_;
};

}  // namespace sim
