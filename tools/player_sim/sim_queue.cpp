// Non-blocking send and receive of message bodies on the shared queue, and
// the reader thread that blocks on it.
#include "tools/player_sim/sim_queue.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

namespace {

struct queue_message {
  long type;
  char bytes[VBD_MSG_SIZE];
};

}  // namespace

int queue_open(int key) { return msgget(static_cast<key_t>(key), IPC_CREAT | 0666); }

bool queue_send_raw(int qid, long type, const void* bytes, int length) {
  if (length < 0 || length > VBD_MSG_SIZE) return false;
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

bool queue_send(int qid, long type, const body& msg) { return queue_send_raw(qid, type, &msg, VBD_MSG_SIZE); }

bool queue_receive(int qid, long type, body* out) {
  queue_message msg{};
  ssize_t got = msgrcv(qid, &msg, VBD_MSG_SIZE, type, IPC_NOWAIT | MSG_NOERROR);
  if (got < 0) return false;
  memcpy(out, msg.bytes, VBD_MSG_SIZE);
  return true;
}

queue_reader::~queue_reader() {
  // The thread blocks in the kernel until the process ends; it is never
  // joined (it touches nothing but this reader, which lives as long).
  if (thread_.joinable()) thread_.detach();
}

bool queue_reader::start(int qid, long type, handler on_message) {
  on_message_ = std::move(on_message);
  fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd_ < 0) return false;
  // The thread takes no signal: SIGINT and SIGTERM must interrupt the
  // loop's wait on the main thread. It inherits the mask it is made with.
  sigset_t all;
  sigset_t saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  bool started = true;
  try {
    thread_ = std::thread([this, qid, type] { run(qid, type); });
  } catch (...) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (!started) {
    close(fd_);
    fd_ = -1;
  }
  return started;
}

void queue_reader::run(int qid, long type) {
  for (;;) {
    queue_message msg{};
    ssize_t got = msgrcv(qid, &msg, VBD_MSG_SIZE, type, MSG_NOERROR);
    if (got < 0) {
      if (errno == EINTR) continue;
      return;  // the queue is gone
    }
    body received;
    memcpy(&received, msg.bytes, VBD_MSG_SIZE);
    on_message_(received);
    eventfd_write(fd_, 1);
  }
}

void queue_reader::clear() {
  eventfd_t count;
  if (fd_ >= 0) eventfd_read(fd_, &count);
}

}  // namespace sim
