// The message channel to the player's main program: the System V queue, its
// send / receive / count operations and the drains of the reply channels.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/player_link.h"
#include "runtime/runtime.h"

namespace {

// One queue message as the kernel sees it: the type, then the body.
struct staging_msg {
  long type;
  char body[CONTROLAPP_MSG_STAGING_SIZE];
};

bool body_length_ok(int length) { return length >= 0 && length <= CONTROLAPP_MSG_STAGING_SIZE; }

// A send never blocks in the kernel: a full queue (a main program that has
// stopped reading) would otherwise hold the sender forever, and with it the
// control server's mutex or the receive thread. The send is retried while
// the queue stays full, then fails like any other failed send.
int send_bounded(int qid, const void* msg, size_t length) {
  int64_t deadline = cg_monotonic_ms() + CONTROLAPP_SEND_WAIT_MS;
  for (;;) {
    if (msgsnd(qid, msg, length, IPC_NOWAIT) == 0) return 0;
    if (errno != EAGAIN && errno != EINTR) return -1;
    if (cg_monotonic_ms() >= deadline) {
      errno = EAGAIN;
      return -1;
    }
    cg_sleep_ms(CONTROLAPP_SEND_RETRY_MS);
  }
}

// msgget with the link's flags; a failure is told with its reason when
// report is set.
int open_queue(int key, bool report) {
  int qid = msgget(static_cast<key_t>(key), CONTROLAPP_MSGQ_FLAGS);
  if (qid == -1 && report) {
    int error = errno;
    perror("msgget");
    printf("[CONTROLAPP_CLI]%s,%d  msgget(...)failed\n", "cli_create_msgQ", 35);
    printf("[CONTROLAPP_CLI]%s,%d  queue key %d (mode 0%o): %s\n", "cli_create_msgQ", 35, key,
           static_cast<unsigned>(CONTROLAPP_MSGQ_FLAGS & 0777), strerror(error));
    errno = error;
  }
  return qid;
}

}  // namespace

int cli_create_msgQ(int key) {
  int qid = open_queue(key, true);
  if (qid == -1) return -1;
  printf("[CONTROLAPP_CLI]%s,%d  qid handle 0x%x\n", "cli_create_msgQ", 39, static_cast<unsigned>(qid));
  return qid;
}

int cli_reopen_msgQ(int key, int report) { return open_queue(key, report != 0); }

int cli_send_msgQ(int qid, long type, const void* body, int length) {
  // The staging buffer holds 256 body bytes; a longer body is refused
  // rather than written past it.
  if (!body_length_ok(length) || (body == nullptr && length > 0)) return -1;
  staging_msg msg{};
  msg.type = type;
  if (length > 0) memcpy(msg.body, body, static_cast<size_t>(length));
  if (qid == -1) {
    printf("[CONTROLAPP_CLI]%s,%d  handle is wrong.\n", "cli_send_msgQ", 54);
    return -1;
  }
  if (send_bounded(qid, &msg, static_cast<size_t>(length)) == -1) {
    int error = errno;
    perror("msgsnd");
    printf("[CONTROLAPP_CLI]%s,%d  msgsnd(...)failed\n", "cli_send_msgQ", 62);
    // A bounded send that gave up says so rather than EAGAIN's text.
    char full[96];
    snprintf(full, sizeof full, "the queue stayed full for %d ms (is the player's main program reading it?)",
             CONTROLAPP_SEND_WAIT_MS);
    printf("[CONTROLAPP_CLI]%s,%d  queue 0x%x, type %ld, %d bytes: %s\n", "cli_send_msgQ", 62,
           static_cast<unsigned>(qid), type, length, error == EAGAIN ? full : strerror(error));
    return -1;
  }
  return 0;
}

int cli_recv_msgQ(int qid, long type, void* body, int length) {
  if (qid == -1) {
    printf("[CONTROLAPP_CLI]%s,%d  handle is wrong.\n", "cli_recv_msgQ", 75);
    return -1;
  }
  if (!body_length_ok(length)) return -1;
  staging_msg msg{};
  ssize_t got = msgrcv(qid, &msg, static_cast<size_t>(length), type, IPC_NOWAIT | MSG_NOERROR);
  if (got <= 0) return -1;
  // The staging body was zeroed, so a shorter message arrives zero-padded.
  if (body != nullptr) memcpy(body, msg.body, static_cast<size_t>(length));
  return static_cast<int>(got);
}

int cli_recv_msgQ_wait(int qid, long type, void* body, int length) {
  if (qid == -1 || !body_length_ok(length)) {
    errno = EINVAL;
    return -1;
  }
  staging_msg msg{};
  ssize_t got = msgrcv(qid, &msg, static_cast<size_t>(length), type, MSG_NOERROR);
  if (got < 0) return -1;
  if (body != nullptr) memcpy(body, msg.body, static_cast<size_t>(length));
  return static_cast<int>(got);
}

int cli_post_msgQ(int qid, long type, const void* body, int length) {
  if (qid == -1 || !body_length_ok(length) || (body == nullptr && length > 0)) return -1;
  staging_msg msg{};
  msg.type = type;
  if (length > 0) memcpy(msg.body, body, static_cast<size_t>(length));
  return msgsnd(qid, &msg, static_cast<size_t>(length), IPC_NOWAIT) == 0 ? 0 : -1;
}

int cli_msgQ_count(int qid) {
  msqid_ds info{};
  if (msgctl(qid, IPC_STAT, &info) == -1) return -1;
  return static_cast<int>(info.msg_qnum);
}

// The receive thread stores a reopened queue's identifier while client
// threads send on the old one.
static_assert(std::atomic_ref<int>::is_always_lock_free);
static_assert(std::atomic_ref<int>::required_alignment == alignof(int));

int link_qid() { return std::atomic_ref<int>(msg_qid).load(); }

void set_link_qid(int qid) { std::atomic_ref<int>(msg_qid).store(qid); }

int cli_send_cmd(const controlapp_msg* body) {
  if (cli_send_msgQ(link_qid(), MSGTYPE_TO_MAIN, body, CONTROLAPP_MSG_SIZE) != 0) {
    printf("[%s] failed\n", "cli_send_cmd");
    return -1;
  }
  return 0;
}

int cli_recv_cmd(controlapp_msg* body) {
  return cli_recv_msgQ(link_qid(), MSGTYPE_FROM_MAIN, body, CONTROLAPP_MSG_SIZE);
}

int Tmp_send_cmd(const controlapp_msg* body) {
  if (cli_send_msgQ(link_qid(), MSGTYPE_TMP, body, CONTROLAPP_MSG_SIZE) != 0) {
    printf("[%s] failed\n", "Tmp_send_cmd");
    return -1;
  }
  return 0;
}

int Tmp_recv_cmd(controlapp_msg* body) {
  return cli_recv_msgQ(link_qid(), MSGTYPE_TMP, body, CONTROLAPP_MSG_SIZE);
}

int clear_cli_msgQ() {
  // A failed count (-1) is treated as a queue that may hold something.
  if (cli_msgQ_count(link_qid()) == 0) return 0;
  controlapp_msg msg{};
  while (cli_recv_cmd(&msg) != -1) {
    printf("[%s]cmd_smd(cmd_type:%d cmd:%d) [The cmd msgs of the useless]\n", "clear_cli_msgQ",
           msg.cmd_type, msg.cmd);
  }
  return 0;
}

int clear_Tmp_msgQ() { return clear_Tmp_msgQ_seeing(-1); }

int clear_Tmp_msgQ_seeing(int cmd_id) {
  if (cli_msgQ_count(link_qid()) == 0) return 0;
  int seen = 0;
  controlapp_msg msg{};
  while (Tmp_recv_cmd(&msg) != -1) {
    printf("[%s]cmd_smd(cmd_type:%d cmd:%d) [The Tmp msgs of the useless]\n", "clear_Tmp_msgQ",
           msg.cmd_type, msg.cmd);
    if (cmd_id >= 0 && msg.ret.cmd_id == cmd_id) seen = 1;
  }
  return seen;
}
