// Test helper: runs a test body in a child process inside a fresh network
// namespace of its own, set up by "ip" commands. The namespace ends with the
// child, so nothing of it is left behind and the host's interfaces are never
// seen or touched.
#pragma once

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

// In the body: report a failed condition and end the body with failure.
#define NS_CHECK(cond)                                                   \
  do {                                                                   \
    if (!(cond)) {                                                       \
      std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                          \
    }                                                                    \
  } while (0)

#define NS_CHECK_STREQ(a, b)                                                          \
  do {                                                                                \
    const char* ns_a = (a);                                                           \
    const char* ns_b = (b);                                                           \
    if (!ns_a || !ns_b || std::strcmp(ns_a, ns_b) != 0) {                             \
      std::fprintf(stderr, "%s:%d: failed: %s == %s (\"%s\" vs \"%s\")\n", __FILE__, \
                   __LINE__, #a, #b, ns_a ? ns_a : "(none)", ns_b ? ns_b : "(none)");  \
      return 1;                                                                       \
    }                                                                                 \
  } while (0)

inline constexpr int kNetnsUnavailable = 77;
inline constexpr int kNetnsSetupFailed = 78;

// Forks; the child enters a new network namespace, runs the shell commands
// (one "ip" command per line) and then the body. Returns the child's exit code.
template <typename Body>
int run_in_fresh_netns(const char* setup, Body body) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return kNetnsUnavailable;
  if (pid == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(kNetnsUnavailable);
    if (setup && setup[0] && std::system(setup) != 0) _exit(kNetnsSetupFailed);
    int rc = body();
    std::fflush(nullptr);
    _exit(rc == 0 ? 0 : 1);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return kNetnsUnavailable;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#define EXPECT_NETNS_BODY_PASSES(setup, body)                                          \
  do {                                                                                 \
    int ns_rc = run_in_fresh_netns((setup), (body));                                   \
    if (ns_rc == kNetnsUnavailable) GTEST_SKIP() << "no private network namespace";    \
    EXPECT_NE(ns_rc, kNetnsSetupFailed) << "namespace setup failed: " << (setup);      \
    EXPECT_EQ(ns_rc, 0) << "the body failed inside the namespace (see stderr)";        \
  } while (0)
