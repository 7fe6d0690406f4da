// Test support: the player's queue as seen by the other side. A test that
// plays the player's main program (or the daemon) puts and takes message
// bodies directly, and builds the bodies the player sends.
#pragma once

#include "app/player_link.h"

namespace vbd_test {

// A raw body of up to CONTROLAPP_MSG_STAGING_SIZE bytes, without waiting;
// false when it could not be queued.
bool queue_post(int qid, long type, const void* body, int length);
inline bool queue_post(int qid, long type, const controlapp_msg& body) {
  return queue_post(qid, type, &body, sizeof body);
}
// Takes a message of the type, polling until timeout_ms; false when none came.
bool queue_take(int qid, long type, controlapp_msg* out, int timeout_ms = 0);
// Messages in the queue, all types; -1 on error.
int queue_count(int qid);

class queue_peer {
 public:
  // Opens (creating) the queue with the key.
  explicit queue_peer(int key = CONTROLAPP_MSGQ_KEY);
  bool ok() const { return qid_ != -1; }
  int qid() const { return qid_; }
  bool send(long type, const controlapp_msg& msg) { return queue_post(qid_, type, msg); }
  bool send_raw(long type, const void* bytes, int length) { return queue_post(qid_, type, bytes, length); }
  bool receive(long type, controlapp_msg* out, int timeout_ms) { return queue_take(qid_, type, out, timeout_ms); }
  int count() const { return queue_count(qid_); }

 private:
  int qid_ = -1;
};

// Message bodies as the player sends them: a reply to a command, and a
// message of a kind.
controlapp_msg make_reply(int cmd, int ret_id, int cmd_id, int result = 0);
controlapp_msg make_message(int kind, int cmd = 0);

}  // namespace vbd_test
