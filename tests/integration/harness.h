// Test harness of the integration tests: the daemon, the player simulator
// and code under test in children, on the support library (processes with
// captured output, private namespaces, the queue peer, the child runner).
//
// Typical use:
//   ASSERT_EQ(vbd_test::enter_private_namespaces(), "");   // first, in the test thread
//   auto sim = vbd_test::launch(vbd_test::sim_path(), {});
//   auto daemon = vbd_test::launch(vbd_test::server_path(), {});
//   ASSERT_TRUE(sim->wait_for("hello from server pid", 3000));
//
// Processes started from a thread share that thread's namespaces, so every
// test gets its own queue 116 and its own empty network, and tests can run
// in parallel.
#pragma once

#include <functional>

#include "tests/support/child.h"
#include "tests/support/clock.h"
#include "tests/support/netns.h"
#include "tests/support/process.h"
#include "tests/support/queue_peer.h"
#include "tests/support/text.h"

namespace vbd_test {

// Runs fn in a forked child (fresh copy of every global, leak-checked) and
// expects it to pass within timeout_ms; the child's pid.
inline pid_t run_in_child(const std::function<void()>& fn, int timeout_ms = 60000) {
  return expect_child_passes(fn, timeout_ms);
}

}  // namespace vbd_test
