// Support for the player link tests, on the support library: each test
// body runs in a forked, leak-checked child with a fresh copy of the link's
// globals, its own IPC namespace (so queue 116 is private to it) and its
// output captured for checking.
#pragma once

#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

#include "app/player_link.h"
#include "tests/support/child.h"
#include "tests/support/clock.h"
#include "tests/support/netns.h"
#include "tests/support/process.h"
#include "tests/support/queue_peer.h"

namespace link_test {

using capture = vbd_test::output_capture;
using vbd_test::now_ms;
using vbd_test::queue_count;
using vbd_test::queue_post;
using vbd_test::queue_take;
using vbd_test::sleep_ms;

// Runs body in a forked child in a fresh IPC namespace with standard output
// and error captured, and expects it to pass.
inline void run_isolated(const std::function<void(capture&)>& body, int timeout_ms = 30000) {
  vbd_test::expect_child_passes(
      [&] {
        ASSERT_EQ(vbd_test::enter_private_namespaces(false), "") << "(the link tests need root)";
        capture out;
        body(out);
      },
      timeout_ms);
}

// A response record as the parser hands it to the exchange: "E04" (3) for
// the command at index.
inline v232cmd_ret prepared(int index) {
  v232cmd_ret ret{};
  ret.ret_id = 3;
  ret.cmd_id = index;
  return ret;
}

// Opens queue 116 as the link does (printing its line).
inline int open_link_queue() {
  msg_qid = cli_create_msgQ(CONTROLAPP_MSGQ_KEY);
  return msg_qid;
}

}  // namespace link_test
