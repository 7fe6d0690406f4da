// Support for the player link tests: each test body runs in a forked child
// with a fresh copy of the link's globals, its own IPC namespace (so queue
// 116 is private to it) and its output captured for checking.
#pragma once

#include <sched.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

#include "app/player_link.h"

namespace link_test {

inline long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

inline void sleep_ms(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

// What the code under test printed on standard output and error.
class capture {
 public:
  explicit capture(int fd) : fd_(fd) {}
  std::string text() const {
    fflush(stdout);
    std::string out;
    char buffer[4096];
    off_t offset = 0;
    ssize_t n = 0;
    while ((n = pread(fd_, buffer, sizeof buffer, offset)) > 0) {
      out.append(buffer, static_cast<size_t>(n));
      offset += n;
    }
    return out.substr(mark_);
  }
  // Later text() calls only return what is printed after this.
  void mark() {
    mark_ = 0;
    mark_ = text().size();
  }
  bool wait_for(std::string_view needle, int timeout_ms) const {
    long long deadline = now_ms() + timeout_ms;
    while (text().find(needle) == std::string::npos) {
      if (now_ms() >= deadline) return false;
      sleep_ms(5);
    }
    return true;
  }

 private:
  int fd_;
  size_t mark_ = 0;
};

inline constexpr int SKIPPED = 77;

// Runs body in a forked child in a fresh IPC namespace with standard output
// and error going to a memory file, and expects it to pass.
inline void run_isolated(const std::function<void(capture&)>& body, int timeout_ms = 30000) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  ASSERT_NE(pid, -1) << strerror(errno);
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int real_out = dup(STDOUT_FILENO);
    if (unshare(CLONE_NEWIPC) != 0) {
      dprintf(real_out, "unshare(CLONE_NEWIPC): %s (the link tests need root)\n", strerror(errno));
      _exit(3);
    }
    int file = memfd_create("link-test-output", 0);
    dup2(file, STDOUT_FILENO);
    dup2(file, STDERR_FILENO);
    capture out(file);
    body(out);
    bool failed = ::testing::Test::HasFailure();
    if (failed) {
      std::string text = capture(file).text();
      dprintf(real_out, "---- output of the failed child ----\n%s---- end ----\n", text.c_str());
    }
    _exit(failed ? 1 : ::testing::Test::IsSkipped() ? SKIPPED : 0);
  }
  long long deadline = now_ms() + timeout_ms;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (now_ms() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "test child timed out";
    }
    sleep_ms(10);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == SKIPPED) GTEST_SKIP() << "skipped in the child";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child wait status " << status;
}

// The player's side of the queue, used directly by the tests.
struct raw_message {
  long type;
  char body[CONTROLAPP_MSG_STAGING_SIZE];
};

inline bool post(int qid, long type, const void* body, int length) {
  raw_message msg{};
  msg.type = type;
  memcpy(msg.body, body, static_cast<size_t>(length));
  return msgsnd(qid, &msg, static_cast<size_t>(length), IPC_NOWAIT) == 0;
}

inline bool post(int qid, long type, const controlapp_msg& body) { return post(qid, type, &body, sizeof body); }

// Takes a message of the type without waiting; false when none.
inline bool take(int qid, long type, controlapp_msg* out) {
  raw_message msg{};
  if (msgrcv(qid, &msg, sizeof *out, type, IPC_NOWAIT | MSG_NOERROR) < 0) return false;
  memcpy(out, msg.body, sizeof *out);
  return true;
}

inline int queue_count(int qid) {
  msqid_ds info{};
  return msgctl(qid, IPC_STAT, &info) == 0 ? static_cast<int>(info.msg_qnum) : -1;
}

inline controlapp_msg reply(int cmd, int ret_id, int cmd_id, int result = 0) {
  controlapp_msg msg{};
  msg.cmd = cmd;
  msg.ret.ret_id = ret_id;
  msg.ret.cmd_id = cmd_id;
  msg.result = result;
  return msg;
}

// A response record as the parser hands it to the exchange: "E04" (3) for
// the command at index.
inline v232cmd_ret prepared(int index) {
  v232cmd_ret ret{};
  ret.ret_id = 3;
  ret.cmd_id = index;
  return ret;
}

inline controlapp_msg message(int kind, int cmd = 0) {
  controlapp_msg msg{};
  msg.cmd_type = kind;
  msg.cmd = cmd;
  return msg;
}

// Opens queue 116 as the link does (printing its line).
inline int open_link_queue() {
  msg_qid = cli_create_msgQ(CONTROLAPP_MSGQ_KEY);
  return msg_qid;
}

}  // namespace link_test
