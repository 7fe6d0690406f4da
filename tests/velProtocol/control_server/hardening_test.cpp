// The accept thread survives running out of descriptors in a flood of
// connections. Runs in a forked (leak-checked) child with a small
// descriptor limit.
#include <fcntl.h>
#include <sys/resource.h>

#include "tests/support/child.h"
#include "tests/velProtocol/control_server/server_fixture.h"

namespace ctl_test {
namespace {

// In the child: 0 when a connection that arrived while no descriptor was
// left is served once descriptors are free again.
int serve_after_descriptor_exhaustion() {
  // Room for a few dozen descriptors beyond those already open.
  int highest = 2;
  for (int fd = 0; fd < 4096; fd++) {
    if (fcntl(fd, F_GETFD) != -1) highest = fd;
  }
  rlim_t cap = static_cast<rlim_t>(highest) + 32;
  rlimit limit{cap, cap};
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 10;
  vel_protocol_server* server = vel_protocol_server_new();
  int port = 0;
  for (int attempt = 0; attempt < 20 && port == 0; attempt++) {
    int candidate = free_port();
    if (vel_protocol_server_open(server, candidate, "127.0.0.1")) port = candidate;
  }
  if (port == 0 || !vel_protocol_server_start(server)) return 11;
  // One round trip first, and its connection gone: the accept thread is then
  // in its wait with its wake descriptor made, so it cannot take the one
  // descriptor kept for the client below.
  {
    client warm;
    if (!warm.connect_to(port) || !warm.send("CON\r") || warm.read_bytes(5, 5000) != "CON\r\n") {
      return 14;
    }
  }
  if (!vbd_test::wait_until([server] { return vel_protocol_server_client_count(server) == 0; })) {
    return 15;
  }

  client c;
  int probe = socket(AF_INET, SOCK_STREAM, 0);  // keeps one descriptor for the client
  std::vector<int> filler;
  for (int fd = dup(0); fd >= 0; fd = dup(0)) filler.push_back(fd);
  close(probe);
  if (!c.connect_to(port)) return 12;
  // accept() now fails for want of a descriptor; the server must go on.
  vbd_test::sleep_ms(300);
  for (int i = 0; i < 8 && !filler.empty(); i++) {
    close(filler.back());
    filler.pop_back();
  }
  c.send("CON\r");
  int rc = c.read_bytes(5, 5000) == "CON\r\n" ? 0 : 13;
  for (int fd : filler) close(fd);
  vel_protocol_server_delete(server);
  return rc;
}

TEST(accept_hardening, RunningOutOfDescriptorsDoesNotEndAccepting) {
  EXPECT_EQ(vbd_test::run_child(serve_after_descriptor_exhaustion), 0);
}

}  // namespace
}  // namespace ctl_test
