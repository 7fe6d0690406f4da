// A network that changes under the daemon: its interface renumbered while
// it runs, an address that is gone for a moment and comes back, and a start
// before the interface has any address. Each time the control port must
// answer on the address of now, and searches must carry its Location,
// within 5 s of the change.
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/hostile/hostile_env.h"
#include "tests/support/netns.h"
#include "tests/support/text.h"

namespace vbd_hostile {
namespace {

constexpr int kFollowBoundMs = 5000;
// Searches go out this often while the test waits for an answer: well
// under the cap on answers to one address.
constexpr int kSearchEveryMs = 250;

std::string subnet_of(const std::string& address) { return address.substr(0, address.rfind('.')); }

std::string location_of(const std::string& address) {
  return "\r\nLocation: http://" + address + ":38400/description.xml\r\n";
}

bool run_all(const std::vector<std::string>& commands) {
  for (const std::string& command : commands) {
    if (vbd_test::run_quiet(command) != 0) {
      ADD_FAILURE() << command;
      return false;
    }
  }
  return true;
}

// The daemon's interface gets this address, with the multicast route that
// the kernel dropped with the last address (a DHCP client sets its routes
// again the same way).
bool give_address(const daemon_env& env, const std::string& address) {
  const std::string ip = "ip -n " + env.netns() + " ";
  return run_all({ip + "addr add " + address + "/24 dev vd0", ip + "route replace 224.0.0.0/4 dev vd0"});
}

bool take_address(const daemon_env& env, const std::string& address) {
  return run_all({"ip -n " + env.netns() + " addr del " + address + "/24 dev vd0"});
}

// Milliseconds from start until the control port at address answered "?E"
// and until a search to address was answered with its Location; -1 for
// what did not happen within the bound. The question goes over a new
// connection each time, or over client when one is given (a new
// connection from its address would replace it). Searches go out from
// fresh sockets every kSearchEveryMs and are all listened to.
struct follow_times {
  long long control_ms = -1;
  long long location_ms = -1;
};

follow_times time_follow(const daemon_env& env, const std::string& address, long long start, int client = -1) {
  follow_times times;
  std::vector<int> searchers;
  long long next_search = now_ms();
  const long long deadline = start + kFollowBoundMs + 2000;
  while (now_ms() < deadline && (times.control_ms < 0 || times.location_ms < 0)) {
    if (times.control_ms < 0 && client >= 0) {
      if (!control_ask(client, "?E", 1000).empty()) times.control_ms = now_ms() - start;
    } else if (times.control_ms < 0) {
      int fd = tcp_connect(env.client_address(), address, kControlPort, 200);
      if (fd >= 0) {
        if (!control_ask(fd, "?E", 1000).empty()) times.control_ms = now_ms() - start;
        close(fd);
      }
    }
    if (times.location_ms < 0 && now_ms() >= next_search) {
      int fd = udp_socket(env.client_address());
      if (fd >= 0) {
        udp_send(fd, address, kSsdpPort, msearch("upnp:rootdevice", "1"));
        searchers.push_back(fd);
      }
      next_search = now_ms() + kSearchEveryMs;
    }
    for (int fd : searchers) {
      for (const std::string& answer : udp_collect(fd, 1)) {
        if (times.location_ms < 0 && answer.find(location_of(address)) != std::string::npos) {
          times.location_ms = now_ms() - start;
        }
      }
    }
    sleep_ms(20);
  }
  for (int fd : searchers) close(fd);
  return times;
}

void expect_followed_in_time(const follow_times& times, const char* what) {
  EXPECT_GE(times.control_ms, 0) << what << ": the control port did not answer on the new address";
  EXPECT_GE(times.location_ms, 0) << what << ": no search carried the new Location";
  EXPECT_LE(times.control_ms, kFollowBoundMs) << what;
  EXPECT_LE(times.location_ms, kFollowBoundMs) << what;
}

using AddressChangeTest = hostile_test;

TEST_F(AddressChangeTest, RenumberedInterfaceMovesControlPortAndLocation) {
  const std::string old_address = env_.device_address();
  const std::string new_address = subnet_of(old_address) + ".4";
  int group = vbd_test::ssdp_group_socket(env_.client_address());
  ASSERT_GE(group, 0);
  int old_client = tcp_connect(env_.client_address(), old_address, kControlPort);
  ASSERT_GE(old_client, 0);
  ASSERT_FALSE(control_ask(old_client, "?E").empty());

  long long start = now_ms();
  ASSERT_TRUE(take_address(env_, old_address));
  ASSERT_TRUE(give_address(env_, new_address));
  env_.moved_to(new_address);
  follow_times times = time_follow(env_, new_address, start);
  expect_followed_in_time(times, "renumbered");
  RecordProperty("control_ms", std::to_string(times.control_ms));
  RecordProperty("location_ms", std::to_string(times.location_ms));

  // The old address is gone, so the client of the old connection hears
  // nothing of its end; finish() checks that the daemon let it go.
  close(old_client);
  // On the group (after what was left of the start's announcements): a
  // byebye pass, then announcements of the new Location only.
  std::vector<std::string> heard = udp_collect(group, 1500);
  close(group);
  size_t byebyes = 0;
  size_t new_alives = 0;
  for (const std::string& message : heard) {
    if (message.find("NTS: ssdp:byebye") != std::string::npos) byebyes++;
    if (byebyes == 0 || message.find("NTS: ssdp:alive") == std::string::npos) continue;
    EXPECT_NE(message.find(location_of(new_address)), std::string::npos) << message;
    new_alives++;
  }
  EXPECT_GT(byebyes, 0u) << "no byebye after the renumbering";
  EXPECT_GT(new_alives, 0u) << "no announcement of the new Location after the byebye";
  EXPECT_TRUE(env_.wait_out("address change: first interface " + old_address + " -> " + new_address, 1000))
      << env_.out();
  finish();
}

TEST_F(AddressChangeTest, AddressBackAfterAMomentKeepsTheClient) {
  // Wi-Fi that drops and comes back with its lease: the control server stays
  // on its address, and its client keeps its connection.
  const std::string address = env_.device_address();
  int client = tcp_connect(env_.client_address(), address, kControlPort);
  ASSERT_GE(client, 0);
  ASSERT_FALSE(control_ask(client, "?E").empty());
  ASSERT_TRUE(take_address(env_, address));
  EXPECT_TRUE(env_.wait_out("discovery paused: no interface address", 3000)) << env_.out();
  long long start = now_ms();
  ASSERT_TRUE(give_address(env_, address));
  follow_times times = time_follow(env_, address, start, client);
  expect_followed_in_time(times, "address back");
  RecordProperty("location_ms", std::to_string(times.location_ms));
  close(client);
  EXPECT_EQ(vbd_test::count_of(env_.out(), "address change: first interface"), 0u) << env_.out();
  finish();
}

TEST(AddressChangeStartTest, StartedWithoutAnAddressWaitsForOne) {
  daemon_env env;
  ASSERT_EQ(env.enter(), "");
  ASSERT_TRUE(run_all({"ip -n " + env.netns() + " addr flush dev vd0"}));
  ASSERT_TRUE(env.launch_daemon()) << env.err();
  ASSERT_TRUE(env.wait_out("no interface address yet: waiting for one", 10000)) << env.out() << env.err();
  ASSERT_TRUE(env.wait_out("listening on 0.0.0.0:8102", 10000)) << env.out();
  // Discovery cannot start without an address; it waits as well.
  ASSERT_TRUE(env.wait_out("cg_upnp_device_start() error", 10000)) << env.out();

  long long start = now_ms();
  ASSERT_TRUE(give_address(env, env.device_address()));
  follow_times times = time_follow(env, env.device_address(), start);
  expect_followed_in_time(times, "first address");
  RecordProperty("control_ms", std::to_string(times.control_ms));
  RecordProperty("location_ms", std::to_string(times.location_ms));
  EXPECT_TRUE(env.wait_out("listening on " + env.device_address() + ":8102", 1000)) << env.out();
  EXPECT_EQ(env.check_alive(), "");
  EXPECT_EQ(env.stop(kStopBoundMs), "");
}

}  // namespace
}  // namespace vbd_hostile
