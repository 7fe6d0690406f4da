// Test support: forked children, each ending with the leak check.
#include "tests/support/child.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "tests/support/clock.h"

#if defined(__SANITIZE_ADDRESS__)
#define VBD_TEST_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VBD_TEST_LSAN 1
#endif
#endif
#if defined(VBD_TEST_LSAN)
#include <sanitizer/lsan_interface.h>
#endif

namespace vbd_test {

void end_child(int rc) {
#if defined(VBD_TEST_LSAN)
  if (__lsan_do_recoverable_leak_check() != 0 && rc == 0) rc = 1;
#endif
  std::fflush(nullptr);
  _exit(rc);
}

pid_t fork_child(const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  end_child(body());
}

int wait_child(pid_t pid, int timeout_ms) {
  if (pid <= 0) return -1;
  int status = 0;
  bool ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms, 10);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return kChildTimedOut;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int run_child(const std::function<int()>& body, int timeout_ms) { return wait_child(fork_child(body), timeout_ms); }

namespace {

void report(int rc, int timeout_ms) {
  if (rc == kChildSkipped) GTEST_SKIP() << "skipped in the child";
  if (rc == kChildTimedOut) {
    ADD_FAILURE() << "test child timed out after " << timeout_ms << " ms";
    return;
  }
  EXPECT_EQ(rc, 0) << "test child failed; see its output above";
}

}  // namespace

pid_t expect_child_passes(const std::function<void()>& body, int timeout_ms) {
  pid_t pid = fork_child([&] {
    body();
    if (::testing::Test::HasFailure()) return 1;
    return ::testing::Test::IsSkipped() ? kChildSkipped : 0;
  });
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return pid;
  }
  report(wait_child(pid, timeout_ms), timeout_ms);
  return pid;
}

}  // namespace vbd_test
