// Non-blocking send and receive of message bodies on the shared queue.
#include "tools/player_sim/sim_queue.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstring>

namespace sim {

namespace {

struct queue_message {
  long type;
  char bytes[BODY_SIZE];
};

}  // namespace

int queue_open(int key) { return msgget(static_cast<key_t>(key), IPC_CREAT | 0666); }

bool queue_send_raw(int qid, long type, const void* bytes, int length) {
  if (length < 0 || length > BODY_SIZE) return false;
  queue_message msg{};
  msg.type = type;
  memcpy(msg.bytes, bytes, static_cast<size_t>(length));
  // Never block: with no daemon reading, the queue fills up and the
  // simulator must stay responsive to its script.
  while (msgsnd(qid, &msg, static_cast<size_t>(length), IPC_NOWAIT) == -1) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool queue_send(int qid, long type, const body& msg) { return queue_send_raw(qid, type, &msg, BODY_SIZE); }

bool queue_receive(int qid, long type, body* out) {
  queue_message msg{};
  ssize_t got = msgrcv(qid, &msg, BODY_SIZE, type, IPC_NOWAIT | MSG_NOERROR);
  if (got < 0) return false;
  memcpy(out, msg.bytes, BODY_SIZE);
  return true;
}

}  // namespace sim
