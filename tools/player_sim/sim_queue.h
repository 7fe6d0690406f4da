// The simulator's side of the message queue: the 200-byte message body as
// the player's main program sees it (from the public integrator header),
// non-blocking send and receive on the queue, and a reader that blocks on
// the queue so the simulator never polls it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

#include "include/vbd/player_link.h"

namespace sim {

// The queue, its channels and message kinds are the public header's
// (VBD_QUEUE_KEY; the simulator reads VBD_MSGTYPE_TO_MAIN and answers on
// VBD_MSGTYPE_FROM_MAIN; VBD_MSG_* kinds).

// The response record: reply code, command index, 36 bytes of status data.
using response = vbd_player_ret;
// The message body, the same layout in both directions.
using body = vbd_player_msg;

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
