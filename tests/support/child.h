// Test support: forked children. Every child ends through end_child, which
// runs the sanitizer's leak check first (a child ends with _exit, which
// would skip it), so memory a child leaks fails its test like anywhere else.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <cstring>
#include <functional>

namespace vbd_test {

// Exit codes a child body may end with besides 0 and 1.
inline constexpr int kChildSkipped = 77;      // nothing to test here (no namespace, ...)
inline constexpr int kChildSetupFailed = 78;  // the environment could not be made
inline constexpr int kChildTimedOut = 124;    // what wait_child reports after killing it
inline constexpr int kChildTimeoutMs = 120000;

// In a child: the leak check (in a sanitizer build; a leak turns 0 into 1),
// flushed output, then _exit(rc).
[[noreturn]] void end_child(int rc);

// Forks a child that runs body and ends with end_child(its result). The
// child dies with the calling thread. -1 when fork fails.
pid_t fork_child(const std::function<int()>& body);
// Waits for the child: its exit code, 128 + the signal that ended it, or
// kChildTimedOut once timeout_ms has passed (the child is killed then).
int wait_child(pid_t pid, int timeout_ms = kChildTimeoutMs);
// fork_child and wait_child; -1 when fork fails.
int run_child(const std::function<int()>& body, int timeout_ms = kChildTimeoutMs);

// Runs body in a forked child of the calling thread (same namespaces, fresh
// copy of every global) and expects it to finish without a test failure
// within timeout_ms; a skip in the child skips the test. The child reports
// its own failures. Returns the child's pid.
pid_t expect_child_passes(const std::function<void()>& body, int timeout_ms = kChildTimeoutMs);

}  // namespace vbd_test

// In a child body returning int: report a failed condition and end the body
// with failure.
#define CHILD_CHECK(cond)                                                     \
  do {                                                                        \
    if (!(cond)) {                                                            \
      std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                               \
    }                                                                         \
  } while (0)

#define CHILD_CHECK_STREQ(a, b)                                                                        \
  do {                                                                                                 \
    const char* child_a = (a);                                                                         \
    const char* child_b = (b);                                                                         \
    if (!child_a || !child_b || std::strcmp(child_a, child_b) != 0) {                                  \
      std::fprintf(stderr, "%s:%d: failed: %s == %s (\"%s\" vs \"%s\")\n", __FILE__, __LINE__, #a, #b, \
                   child_a ? child_a : "(none)", child_b ? child_b : "(none)");                        \
      return 1;                                                                                        \
    }                                                                                                  \
  } while (0)
