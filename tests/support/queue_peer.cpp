// Test support: the queue peer and the player's message bodies.
#include "tests/support/queue_peer.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstring>

#include "tests/support/clock.h"

namespace vbd_test {

namespace {

struct raw_message {
  long type;
  char body[CONTROLAPP_MSG_STAGING_SIZE];
};

}  // namespace

bool queue_post(int qid, long type, const void* body, int length) {
  if (length < 0 || length > CONTROLAPP_MSG_STAGING_SIZE) return false;
  raw_message msg{};
  msg.type = type;
  std::memcpy(msg.body, body, static_cast<size_t>(length));
  return msgsnd(qid, &msg, static_cast<size_t>(length), IPC_NOWAIT) == 0;
}

bool queue_take(int qid, long type, controlapp_msg* out, int timeout_ms) {
  raw_message msg{};
  bool got = wait_until(
      [&] { return msgrcv(qid, &msg, sizeof *out, type, IPC_NOWAIT | MSG_NOERROR) >= 0; }, timeout_ms);
  if (got) std::memcpy(out, msg.body, sizeof *out);
  return got;
}

int queue_count(int qid) {
  msqid_ds info{};
  return msgctl(qid, IPC_STAT, &info) == 0 ? static_cast<int>(info.msg_qnum) : -1;
}

queue_peer::queue_peer(int key) : qid_(msgget(static_cast<key_t>(key), IPC_CREAT | 0666)) {}

controlapp_msg make_reply(int cmd, int ret_id, int cmd_id, int result) {
  controlapp_msg msg = make_message(CONTROLAPP_MSG_NORMAL, cmd);
  msg.ret.ret_id = ret_id;
  msg.ret.cmd_id = cmd_id;
  msg.result = result;
  return msg;
}

controlapp_msg make_message(int kind, int cmd) {
  controlapp_msg msg{};
  msg.cmd_type = kind;
  msg.cmd = cmd;
  return msg;
}

}  // namespace vbd_test
