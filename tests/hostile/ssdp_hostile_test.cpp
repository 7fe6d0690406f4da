// Hostile input on SSDP: garbage, truncated and oversized datagrams, an
// M-SEARCH flood with the largest MX, searches from outside the interface's
// subnet, which must get no answer, a flood that must not keep others'
// searches from their answers, repeated searches, the caps on answers, and
// a daemon with two interfaces, which must answer a search once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/hostile/hostile_env.h"
#include "tests/support/netns.h"

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
  // MX counts as 5 at most whatever it says (an answer waits at most
  // 1.25 s). One port and one ST: the searches repeat the first one.
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
  // The flood's own answers are few: repeats get none, and the answers to
  // one address are capped per second.
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

// ---------------------------------------------------------------------------
// Floods, repeats and caps
// ---------------------------------------------------------------------------

constexpr int kPerSource = 10;  // answers per source address and second
constexpr int kInAll = 100;     // answers in all per second

// The first three parts of an address: "10.77.31.1" gives "10.77.31".
std::string subnet_of(const std::string& address) { return address.substr(0, address.rfind('.')); }

// Answers waiting on each socket within timeout_ms, counted per socket.
std::vector<int> count_answers(const std::vector<int>& fds, int timeout_ms) {
  std::vector<int> counts(fds.size(), 0);
  long long deadline = now_ms() + timeout_ms;
  for (long long left = timeout_ms; left > 0; left = deadline - now_ms()) {
    std::vector<pollfd> polls;
    for (int fd : fds) polls.push_back({fd, POLLIN, 0});
    if (poll(polls.data(), polls.size(), static_cast<int>(left)) <= 0) continue;
    for (size_t i = 0; i < fds.size(); i++) {
      char buffer[2048];
      while (recv(fds[i], buffer, sizeof buffer, MSG_DONTWAIT) > 0) counts[i]++;
    }
  }
  return counts;
}

// Processor time the process has used so far (user and system), in ms.
long long cpu_ms(pid_t pid) {
  std::string stat = vbd_test::read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t end = stat.rfind(')');
  if (end == std::string::npos) return -1;
  std::istringstream fields(stat.substr(end + 2));
  std::string field;
  long long user = 0;
  long long system = 0;
  for (int i = 3; i <= 15 && fields >> field; i++) {
    if (i == 14) user = std::atoll(field.c_str());
    if (i == 15) system = std::atoll(field.c_str());
  }
  return (user + system) * 1000 / sysconf(_SC_CLK_TCK);
}

int sum(const std::vector<int>& counts) {
  int total = 0;
  for (int c : counts) total += c;
  return total;
}

TEST_F(SsdpHostileTest, SearchFloodFromOneAddressSilencesNoOtherSearcher) {
  // 2000 searches a second for 10 s from one address (16 ports, two STs,
  // MX 5, to the group and to the device), while the legitimate client
  // searches about once a second and must be answered within MX + 1 s.
  constexpr int kFloodMs = 10000;
  constexpr int kSearchesPerSecond = 2000;
  constexpr int kPorts = 16;
  constexpr int kMx = 1;
  std::vector<int> flood_fds;
  for (int i = 0; i < kPorts; i++) {
    int fd = udp_socket(env_.other_address());
    ASSERT_GE(fd, 0);
    flood_fds.push_back(fd);
  }
  const std::string texts[] = {msearch("ssdp:all", "5"), msearch("upnp:rootdevice", "5")};
  std::atomic<long> flood_sent{0};
  std::atomic<long> flood_answers{0};
  const long long cpu_before = cpu_ms(env_.pid());
  const long long start = now_ms();
  std::thread flood([&] {
    long sent = 0;
    auto drain = [&] {
      char buffer[2048];
      for (int fd : flood_fds) {
        while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) flood_answers++;
      }
    };
    for (long long elapsed = 0; elapsed < kFloodMs; elapsed = now_ms() - start) {
      for (long due = static_cast<long>(elapsed * kSearchesPerSecond / 1000); sent < due; sent++) {
        udp_send(flood_fds[static_cast<size_t>(sent % kPorts)], sent % 2 ? env_.device_address() : kGroup,
                 kSsdpPort, texts[(sent / kPorts) % 2]);
      }
      drain();
      sleep_ms(1);
    }
    flood_sent = sent;
    // The answers still waiting when the flood ends.
    for (long long until = now_ms() + 3000; now_ms() < until; sleep_ms(10)) drain();
  });

  int asked = 0;
  int answered = 0;
  long long slowest = 0;
  auto search_once = [&] {
    int fd = udp_socket(env_.client_address());
    if (fd < 0) return;
    asked++;
    long long sent_at = now_ms();
    udp_send(fd, kGroup, kSsdpPort, msearch("upnp:rootdevice", std::to_string(kMx)));
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kMx * 1000 + 1000) > 0) {
      answered++;
      slowest = std::max(slowest, now_ms() - sent_at);
    }
    close(fd);
  };
  for (long long next = start + 500; next < start + kFloodMs; next += 1000) {
    sleep_ms(static_cast<int>(std::max(0LL, next - now_ms())));
    search_once();
  }
  flood.join();
  const long long cpu_used = cpu_ms(env_.pid()) - cpu_before;
  search_once();  // after the flood, at once
  for (int fd : flood_fds) close(fd);

  RecordProperty("flood_searches_sent", std::to_string(flood_sent.load()));
  RecordProperty("flood_answers", std::to_string(flood_answers.load()));
  RecordProperty("slowest_answer_ms", std::to_string(slowest));
  RecordProperty("daemon_cpu_ms", std::to_string(cpu_used));
  EXPECT_GE(flood_sent.load(), kSearchesPerSecond * (kFloodMs / 1000) * 9 / 10);
  EXPECT_GE(asked, 10);
  EXPECT_EQ(answered, asked) << "slowest answer " << slowest << " ms";
  // The flooder's answers: its cap for every second the flood (and the
  // last answers' waits) lasted.
  EXPECT_LE(flood_answers.load(), kPerSource * (kFloodMs / 1000 + 3));
  EXPECT_GT(flood_answers.load(), 0);
  finish();
}

TEST_F(SsdpHostileTest, IdenticalSearchesWithinTheirMxWaitAreAnsweredOnce) {
  int fd = udp_socket(env_.client_address());
  ASSERT_GE(fd, 0);
  // MX 3: the answer is due within 0.75 s; four more of the same search
  // within that time, to the group and to the device, are repeats.
  for (int i = 0; i < 5; i++) {
    udp_send(fd, i % 2 ? env_.device_address() : kGroup, kSsdpPort, msearch("upnp:rootdevice", "3"));
  }
  EXPECT_EQ(udp_collect(fd, 2000).size(), 1u);
  // Another ST from the same port is another search, and so is the same
  // search from another port.
  int other = udp_socket(env_.client_address());
  ASSERT_GE(other, 0);
  udp_send(fd, env_.device_address(), kSsdpPort, msearch("ssdp:all", "1"));
  udp_send(other, kGroup, kSsdpPort, msearch("upnp:rootdevice", "3"));
  EXPECT_EQ(udp_collect(fd, 1500).size(), 8u);
  EXPECT_EQ(udp_collect(other, 100).size(), 1u);
  close(other);
  // Once its wait is over, the same search is answered again.
  udp_send(fd, kGroup, kSsdpPort, msearch("upnp:rootdevice", "3"));
  EXPECT_EQ(udp_collect(fd, 1500).size(), 1u);
  close(fd);
  finish();
}

TEST_F(SsdpHostileTest, AnswersAreCappedPerSourceAndInAll) {
  // One address, three searches for everything from three ports: 24
  // answers asked for within a second, the cap sent.
  std::vector<int> fds;
  for (int i = 0; i < 3; i++) {
    int fd = udp_socket(env_.client_address());
    ASSERT_GE(fd, 0);
    udp_send(fd, env_.device_address(), kSsdpPort, msearch("ssdp:all", "1"));
    fds.push_back(fd);
  }
  std::vector<int> counts = count_answers(fds, 1500);
  EXPECT_EQ(sum(counts), kPerSource);
  for (int fd : fds) close(fd);

  // Fourteen addresses at once, one search for everything each: 112
  // answers asked for within a second, the cap in all sent.
  const std::string subnet = subnet_of(env_.device_address());
  fds.clear();
  for (int i = 0; i < 14; i++) {
    std::string address = subnet + "." + std::to_string(10 + i);
    ASSERT_EQ(vbd_test::run_quiet("ip addr add " + address + "/24 dev vc0"), 0) << address;
    int fd = udp_socket(address);
    ASSERT_GE(fd, 0) << address;
    fds.push_back(fd);
  }
  for (int fd : fds) udp_send(fd, kGroup, kSsdpPort, msearch("ssdp:all", "1"));
  counts = count_answers(fds, 1500);
  EXPECT_EQ(sum(counts), kInAll);
  for (int c : counts) EXPECT_LE(c, 8);
  for (int fd : fds) close(fd);

  // A second later everyone is answered again.
  EXPECT_TRUE(answered_normally(env_));
  finish();
}

// ---------------------------------------------------------------------------
// Two interfaces
// ---------------------------------------------------------------------------

// The daemon with a second interface: a second veth pair, vd1 (daemon,
// 10.79.x.1/24) and vc1 (test side, 10.79.x.2/24), made before it starts.
class SsdpTwoInterfaceTest : public hostile_test {
 protected:
  void SetUp() override {
    ASSERT_EQ(env_.enter(), "");
    second_subnet_ = "10.79." + subnet_of(env_.device_address()).substr(6);
    const std::string ns = env_.netns();
    for (const std::string& command :
         {"ip link add vc1 type veth peer name vd1 netns " + ns,
          "ip -n " + ns + " addr add " + second_device() + "/24 dev vd1",
          "ip addr add " + second_client() + "/24 dev vc1", "ip -n " + ns + " link set vd1 up",
          std::string("ip link set vc1 up")}) {
      ASSERT_EQ(vbd_test::run_quiet(command), 0) << command;
    }
    ASSERT_TRUE(vbd_test::wait_until(
        [&] {
          return vbd_test::run_quiet("ip -n " + ns + " link show vd1 | grep -q 'state UP'") == 0 &&
                 vbd_test::run_quiet("ip link show vc1 | grep -q 'state UP'") == 0;
        },
        5000, 20));
    ASSERT_TRUE(env_.start_daemon()) << env_.out() << env_.err();
    ASSERT_EQ(env_.check_alive(), "") << env_.err();
    ASSERT_EQ(env_.check_alive(), "") << env_.err();
    sleep_ms(200);
    baseline_ = usage_of(env_.pid());
  }
  std::string second_device() const { return second_subnet_ + ".1"; }
  std::string second_client() const { return second_subnet_ + ".2"; }

  std::string second_subnet_;
};

// Answers to one search within timeout_ms, each with the address it came from.
std::vector<std::pair<std::string, std::string>> answers_with_sources(int fd, int timeout_ms) {
  std::vector<std::pair<std::string, std::string>> got;
  long long deadline = now_ms() + timeout_ms;
  for (long long left = timeout_ms; left > 0; left = deadline - now_ms()) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[2048];
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t n = recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n <= 0) continue;
    char source[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from.sin_addr, source, sizeof source);
    got.emplace_back(source, std::string(buffer, static_cast<size_t>(n)));
  }
  return got;
}

TEST_F(SsdpTwoInterfaceTest, ASearchIsAnsweredOnceOnTheInterfaceItArrivedOn) {
  // Both listeners are bound to port 1900 of every address, so both see
  // every group datagram; only the one of the arrival interface answers.
  // A unicast search reaches one of them, which answers it.
  const std::pair<std::string, std::string> links[] = {{env_.client_address(), env_.device_address()},
                                                       {second_client(), second_device()}};
  for (const auto& [from, device] : links) {
    for (const std::string& to : {std::string(kGroup), device}) {
      int fd = udp_socket(from);
      ASSERT_GE(fd, 0);
      udp_send(fd, to, kSsdpPort, msearch("upnp:rootdevice", "1"));
      auto got = answers_with_sources(fd, 1500);
      close(fd);
      EXPECT_EQ(got.size(), 1u) << "from " << from << " to " << to;
      for (const auto& [source, text] : got) {
        EXPECT_EQ(source, device) << "from " << from << " to " << to;
        EXPECT_NE(text.find("\r\nLocation: http://" + device + ":38400/description.xml\r\n"), std::string::npos)
            << text;
      }
    }
  }
  finish();
}

}  // namespace
}  // namespace vbd_hostile
