// Test support: private namespaces. The calling thread's own fresh IPC and
// network namespaces; a body run in a child inside a fresh anonymous network
// namespace; and a veth link between a device namespace and a client side,
// with one name and subnet allocator, the wait for the link to come up, and
// the removal of what a crashed test process left behind.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/child.h"

namespace vbd_test {

// Moves the calling thread (and every process it starts afterwards) into a
// fresh IPC namespace and, when net is true, a fresh network namespace with
// only its loopback interface, brought up. May be called again for another
// fresh pair. "" on success, otherwise what failed. Needs root.
std::string enter_private_namespaces(bool net = true);

// Runs a shell command with its output discarded; its exit status (0: done).
int run_quiet(const std::string& command);

// Forks; the child enters a fresh network namespace, runs the setup shell
// commands and then body. The child's code: kChildSkipped without a
// namespace, kChildSetupFailed when setup failed, 0 when body returned 0.
int run_in_fresh_netns(const char* setup, const std::function<int()>& body);

#define EXPECT_FRESH_NETNS_PASSES(setup, body)                                                 \
  do {                                                                                         \
    int fresh_rc = vbd_test::run_in_fresh_netns((setup), (body));                              \
    if (fresh_rc == vbd_test::kChildSkipped) GTEST_SKIP() << "no private network namespace";   \
    EXPECT_NE(fresh_rc, vbd_test::kChildSetupFailed) << "namespace setup failed: " << (setup); \
    EXPECT_EQ(fresh_rc, 0) << "the body failed inside the namespace (see stderr)";             \
  } while (0)

// Runs fn on a thread that has entered the named network namespace, so any
// socket fn creates belongs to that namespace. fn's result, or -1 (errno
// set) when the namespace cannot be entered.
int run_in_netns(const std::string& ns, const std::function<int()>& fn);

// A child process in a named namespace with a pipe each way. Killed and
// reaped when destroyed while it still runs.
struct ns_child {
  pid_t pid = -1;
  int to_child = -1;    // the test writes, the child reads (its "in")
  int from_child = -1;  // the child writes, the test reads (its "out")

  // Closes the test's writing end (the child sees end of input), waits for
  // the exit and returns the child's code.
  int finish();
  ns_child() = default;
  ns_child(const ns_child&) = delete;
  ns_child& operator=(const ns_child&) = delete;
  ns_child(ns_child&& other) noexcept;
  ~ns_child();
};

// Forks a child that enters the named network namespace and runs
// body(in, out); the child's code is body's result (kChildSkipped when the
// namespace cannot be entered).
ns_child spawn_in_netns(const std::string& ns, const std::function<int(int in, int out)>& body);

// Length-prefixed records over a pipe, all records until the writer closes,
// and whether a descriptor becomes readable within ms.
bool send_record(int fd, const std::string& record);
bool receive_record(int fd, std::string* record);
std::vector<std::string> receive_all(int fd);
bool readable_within(int fd, int ms);

// A fresh directory /tmp/vbdt-<pid>-XXXXXX, removed as stale once this test
// process has ended if the test could not remove it; "" on failure.
std::string make_work_dir();

struct link_options {
  // The client end stays in the calling thread's namespace (which should be
  // a private one, see enter_private_namespaces) instead of a named one.
  bool client_in_caller = false;
  // A second client address, x.3, in the device's subnet.
  bool second_client = false;
  // A client address outside the device's subnet, (x+1).2, which the device
  // reaches through a route via the client, so anything it sent there
  // would arrive.
  bool foreign = false;
};

// A device namespace and a client side joined by the veth pair vd0 (device,
// 10.77.x.1/24) and vc0 (client, 10.77.x.2/24), both up, with multicast
// routed over the link on both sides. Names carry the test process id and a
// counter, so concurrent test binaries never share one; x comes from the
// same pair (each link lies inside namespaces of its own test, so equal
// subnets would not clash either; distinct ones keep logs readable).
// Namespaces and work directories of test processes that have ended are
// removed first; this link's namespaces go with it.
class veth_link {
 public:
  explicit veth_link(const link_options& options = {});
  ~veth_link();
  veth_link(const veth_link&) = delete;
  veth_link& operator=(const veth_link&) = delete;

  // "" when the link is ready, else what failed.
  const std::string& error() const { return error_; }
  bool ok() const { return error_.empty(); }
  const std::string& device_ns() const { return device_ns_; }
  // "" when the client end is in the caller's namespace.
  const std::string& client_ns() const { return client_ns_; }
  // The prefix of names this link's test may give its own things (a work
  // directory): removed as stale with the namespaces once the process ends.
  const std::string& tag() const { return tag_; }

  std::string subnet() const { return "10.77." + std::to_string(octet_); }
  std::string other_subnet() const { return "10.77." + std::to_string(octet_ + 1); }
  std::string device_address() const { return subnet() + ".1"; }
  std::string client_address() const { return subnet() + ".2"; }
  std::string second_client_address() const { return subnet() + ".3"; }
  std::string foreign_address() const { return other_subnet() + ".2"; }

  // An "ip" command prefix for the namespace ("ip -n NAME " or "ip ").
  static std::string ip(const std::string& ns);
  // Runs a shell command in the namespace ("" for the caller's); its exit
  // code, with standard output and error in output.
  static int exec(const std::string& ns, const std::string& command, std::string* output = nullptr);

  // Removes namespaces and work directories of this family whose test
  // process has ended (also done by every new link).
  static void remove_stale();

 private:
  std::string tag_;
  std::string device_ns_;
  std::string client_ns_;
  int octet_ = 20;
  std::string error_;
};

}  // namespace vbd_test
