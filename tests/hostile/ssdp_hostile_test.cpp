// Hostile input on SSDP: garbage, truncated and oversized datagrams, an
// M-SEARCH flood with the largest MX, and searches from outside the
// interface's subnet, which must get no answer.
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "tests/hostile/hostile_env.h"

namespace vbd_hostile {
namespace {

constexpr const char* kGroup = "239.255.255.250";
using namespace std::string_literals;
using SsdpHostileTest = hostile_test;

// Responses a fresh searcher at from gets for one unicast search.
std::vector<std::string> search_from(const std::string& from, const std::string& to, int wait_ms = 1500) {
  int fd = udp_socket(from);
  if (fd < 0) return {};
  udp_send(fd, to, kSsdpPort, msearch("upnp:rootdevice", "1"));
  std::vector<std::string> got = udp_collect(fd, wait_ms);
  close(fd);
  return got;
}

bool answered_normally(daemon_env& env) {
  std::vector<std::string> got = search_from(env.client_address(), env.device_address());
  return got.size() == 1 && got[0].rfind("HTTP/1.1 200 OK\r\n", 0) == 0 &&
         got[0].find("ST: upnp:rootdevice\r\n") != std::string::npos;
}

TEST_F(SsdpHostileTest, GarbageTruncatedAndOversizedDatagrams) {
  ASSERT_TRUE(answered_normally(env_));
  int fd = udp_socket(env_.other_address());
  ASSERT_GE(fd, 0);
  std::mt19937 rng(1900);
  for (int i = 0; i < 400; i++) {
    std::string bytes = random_bytes(rng, rng() % 1400);
    udp_send(fd, i % 2 ? env_.device_address() : kGroup, kSsdpPort, bytes);
  }
  // Every prefix of a search (MX 0: the accepted ones cost no wait).
  std::string search = msearch("ssdp:all", "0");
  for (size_t n = 0; n <= search.size(); n++) udp_send(fd, env_.device_address(), kSsdpPort, search.substr(0, n));
  // Lines without ends, NULs, lone colons, absurd MX values.
  for (const std::string& odd :
       {std::string(1400, '\n'), std::string(1400, ':'), std::string(600, '\0'),
        "M-SEARCH * HTTP/1.1\r\nHOST:\r\nMAN:\r\nMX:\r\nST:\r\n\r\n"s,
        "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: -1\r\nST: ssdp:all\r\n\r\n"s,
        "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 1e9\r\nST: ssdp:all\r\n\r\n"s,
        "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\nNTS: ssdp:alive\r\n\r\n"s}) {
    udp_send(fd, env_.device_address(), kSsdpPort, odd);
  }
  close(fd);

  // Over 512 bytes: only the first 512 count. A search whose lines all lie
  // in them is answered; one whose ST line lies beyond them is not.
  std::string padded = msearch("upnp:rootdevice", "1");
  padded.insert(padded.size() - 2, "X-Pad: " + std::string(1200, 'p') + "\r\n");
  std::string late_st = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 1\r\n"
                        "X-Pad: " + std::string(600, 'p') + "\r\nST: upnp:rootdevice\r\n\r\n";
  int searcher = udp_socket(env_.client_address());
  ASSERT_GE(searcher, 0);
  udp_send(searcher, env_.device_address(), kSsdpPort, late_st);
  EXPECT_TRUE(udp_collect(searcher, 1500).empty());
  udp_send(searcher, env_.device_address(), kSsdpPort, padded);
  EXPECT_EQ(udp_collect(searcher, 1500).size(), 1u);
  // A datagram of 60 000 bytes (fragmented on the link) is cut the same way.
  std::string huge = msearch("upnp:rootdevice", "1");
  huge.insert(huge.size() - 2, "X-Pad: " + std::string(60000, 'q') + "\r\n");
  udp_send(searcher, env_.device_address(), kSsdpPort, huge);
  EXPECT_EQ(udp_collect(searcher, 1500).size(), 1u);
  close(searcher);

  EXPECT_TRUE(answered_normally(env_));
  finish();
}

TEST_F(SsdpHostileTest, MSearchFloodWithTheLargestMx) {
  int fd = udp_socket(env_.other_address());
  ASSERT_GE(fd, 0);
  // The MX wait is capped at 5 s whatever MX says; the listener answers one
  // search at a time and the socket's receive buffer bounds the backlog.
  const char* mx[] = {"5", "120", "4294967296", "99999999999999999999999999"};
  long long start = now_ms();
  for (int i = 0; i < 3000; i++) {
    udp_send(fd, i % 2 ? env_.device_address() : kGroup, kSsdpPort, msearch("ssdp:all", mx[i % 4]));
  }
  RecordProperty("flood_send_ms", std::to_string(now_ms() - start));
  // During the backlog: one listener thread, nothing more, and the other
  // services answer at once.
  usage during = usage_of(env_.pid());
  EXPECT_LE(during.threads, baseline_.threads + kThreadSlack);
  long long asked = now_ms();
  EXPECT_EQ(env_.check_alive(), "");
  EXPECT_LT(now_ms() - asked, 2000);
  // The flood's own answers arrive slowly: at most five per search, one
  // search per MX wait.
  std::vector<std::string> answers = udp_collect(fd, 3000);
  RecordProperty("answers_in_3s", std::to_string(answers.size()));
  EXPECT_LE(answers.size(), 5u * 40);
  close(fd);
  // Stopping does not wait for the backlog (finish() stops in bounded time).
  finish();
}

TEST_F(SsdpHostileTest, SearchesFromOutsideTheSubnetGetNothing) {
  // The same search from inside the subnet is answered (so the path and the
  // daemon's route back to the outside address both work)...
  ASSERT_TRUE(answered_normally(env_));
  // ...but from an address outside the interface's subnet, unicast or to
  // the group, nothing comes back.
  for (int round = 0; round < 3; round++) {
    int fd = udp_socket(env_.foreign_address());
    ASSERT_GE(fd, 0);
    long long before = udp_datagrams_received(env_.pid());
    udp_send(fd, env_.device_address(), kSsdpPort, msearch("ssdp:all", "1"));
    udp_send(fd, kGroup, kSsdpPort, msearch("ssdp:all", "1"));
    udp_send(fd, env_.device_address(), kSsdpPort, msearch("upnp:rootdevice", "0"));
    EXPECT_TRUE(udp_collect(fd, 1500).empty()) << "round " << round;
    // They did reach the daemon.
    EXPECT_GE(udp_datagrams_received(env_.pid()) - before, 3) << "round " << round;
    close(fd);
  }
  EXPECT_TRUE(answered_normally(env_));
  finish();
}

}  // namespace
}  // namespace vbd_hostile
