// Discovery end to end: the device, started with the application's
// discovery start in a device namespace, seen from a control-point namespace
// over a veth link: the announcements on the wire, answers to searches, the
// description over HTTP, and real control points (upnpc, curl, xmllint).
#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/velProtocol/ssdp_server/netns_util.h"
#include "tests/velProtocol/ssdp_server/ssdp_test_util.h"
#include "velProtocol/ssdp_server/ssdp_server.h"

using namespace ssdp_test;

namespace {

constexpr int kStartTimeoutMs = 20000;

// Device side: a working directory with the description (when given) and
// the icons, then the application's discovery start. Reports "R" when the
// device runs, "F" when discovery failed, then runs until the test closes
// its end of the pipe, and stops discovery.
int run_device(int in, int out, const std::string& description) {
  char dir[] = "/tmp/vbd-ssdp-deviceXXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::error_code ec;
  std::filesystem::create_directory(std::string(dir) + "/description", ec);
  for (const char* icon : {"icon48.png", "icon120.png"}) {
    vbd_test::write_file(std::string(dir) + "/description/" + icon,
               read_file(source_path(std::string("packaging/description/") + icon)));
  }
  if (!description.empty()) vbd_test::write_file(std::string(dir) + "/description.xml", description);
  if (chdir(dir) != 0) return 1;

  testing::internal::CaptureStdout();
  controlapp_discovery_start();
  std::string printed = testing::internal::GetCapturedStdout();
  send_record(out, controlapp_device ? "R" : "F");
  send_record(out, printed);
  char c;
  while (read(in, &c, 1) > 0) {
  }
  controlapp_discovery_stop();
  std::filesystem::remove_all(dir, ec);
  return 0;
}

ns_child start_device(const veth_link& net, const std::string& description, std::string* state,
                      std::string* printed) {
  ns_child device = spawn_in_netns(net.device_ns(),
                                   [description](int in, int out) { return run_device(in, out, description); });
  if (!readable_within(device.from_child, kStartTimeoutMs) ||
      !receive_record(device.from_child, state) || !receive_record(device.from_child, printed)) {
    *state = "(no answer)";
  }
  return device;
}

struct heard {
  std::string interface;  // where the datagram arrived
  std::string source;     // its source address
  std::string text;
};

// Control-point side: listens on port 1900 for the group on every given
// local address until the test closes its end; then hands over what it heard.
ns_child start_observer(const veth_link& net, std::vector<std::string> local_addresses) {
  return spawn_in_netns(net.client_ns(), [local_addresses](int in, int out) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one));
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(1900);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0) return 1;
    for (const auto& local : local_addresses) {
      ip_mreq mreq{};
      inet_pton(AF_INET, "239.255.255.250", &mreq.imr_multiaddr);
      inet_pton(AF_INET, local.c_str(), &mreq.imr_interface);
      if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0) return 1;
    }
    send_record(out, "R");
    std::vector<std::string> records;
    for (;;) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {in, POLLIN, 0}};
      if (poll(fds, 2, 1000) < 0) break;
      if (fds[0].revents & POLLIN) {
        char data[2048];
        char control[256];
        sockaddr_in from{};
        iovec iov{data, sizeof(data)};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof(from);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        ssize_t n = recvmsg(fd, &msg, 0);
        if (n < 0) continue;
        char ifname[IF_NAMESIZE] = "?";
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
          if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof(info));
            if_indextoname(static_cast<unsigned>(info.ipi_ifindex), ifname);
          }
        }
        char source[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &from.sin_addr, source, sizeof(source));
        records.push_back(std::string(ifname) + " " + source + "\n" +
                          std::string(data, static_cast<size_t>(n)));
      } else if (fds[1].revents) {
        break;  // the test closed its end
      }
    }
    for (const auto& r : records) send_record(out, r);
    return 0;
  });
}

// Whether the observer has joined the group and says so in time.
bool ready(ns_child& observer) {
  std::string said;
  return readable_within(observer.from_child, kStartTimeoutMs) && receive_record(observer.from_child, &said);
}

std::vector<heard> observed(ns_child& observer) {
  close(observer.to_child);
  observer.to_child = -1;
  std::vector<heard> out;
  for (const auto& r : receive_all(observer.from_child)) {
    size_t space = r.find(' ');
    size_t line = r.find('\n');
    if (space == std::string::npos || line == std::string::npos) continue;
    out.push_back({r.substr(0, space), r.substr(space + 1, line - space - 1), r.substr(line + 1)});
  }
  observer.finish();
  return out;
}

struct probe {
  probe(std::string text_, std::string destination_ = "239.255.255.250",
        std::string bind_address_ = "")
      : text(std::move(text_)),
        destination(std::move(destination_)),
        bind_address(std::move(bind_address_)) {}
  std::string text;
  std::string destination;
  std::string bind_address;  // empty: any
  std::string multicast_if;  // empty: the route's
};

// Sends every search at once, each from its own socket, and collects the
// answers to each during the window.
std::vector<std::vector<std::string>> search(const veth_link& net,
                                             const std::vector<probe>& probes, int window_ms) {
  ns_child searcher = spawn_in_netns(net.client_ns(), [probes, window_ms](int, int out) {
    std::vector<int> fds;
    for (const auto& p : probes) {
      int fd = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in local{};
      local.sin_family = AF_INET;
      if (!p.bind_address.empty()) inet_pton(AF_INET, p.bind_address.c_str(), &local.sin_addr);
      if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) return 1;
      if (!p.multicast_if.empty()) {
        in_addr ifaddr{};
        inet_pton(AF_INET, p.multicast_if.c_str(), &ifaddr);
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof(ifaddr));
      }
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(1900);
      inet_pton(AF_INET, p.destination.c_str(), &to.sin_addr);
      if (sendto(fd, p.text.data(), p.text.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof(to)) < 0) {
        return 1;
      }
      fds.push_back(fd);
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(window_ms);
    std::vector<std::string> records;
    while (std::chrono::steady_clock::now() < end) {
      std::vector<pollfd> polls;
      for (int fd : fds) polls.push_back({fd, POLLIN, 0});
      if (poll(polls.data(), polls.size(), 50) <= 0) continue;
      for (size_t i = 0; i < polls.size(); i++) {
        if (!(polls[i].revents & POLLIN)) continue;
        char data[2048];
        ssize_t n = recv(fds[i], data, sizeof(data), 0);
        if (n > 0)
          records.push_back(std::to_string(i) + "\n" + std::string(data, static_cast<size_t>(n)));
      }
    }
    for (const auto& r : records) send_record(out, r);
    return 0;
  });
  std::vector<std::vector<std::string>> answers(probes.size());
  for (const auto& r : receive_all(searcher.from_child)) {
    size_t line = r.find('\n');
    size_t index = std::stoul(r.substr(0, line));
    if (index < answers.size()) answers[index].push_back(r.substr(line + 1));
  }
  EXPECT_EQ(searcher.finish(), 0);
  return answers;
}

std::vector<std::pair<std::string, std::string>> answered_ids(
    const std::vector<std::string>& texts) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& t : texts) {
    message m = parse_message(t);
    out.emplace_back(m.value("ST"), m.value("USN"));
  }
  return out;
}

std::string usn(const char* udn, const char* type) { return std::string(udn) + "::" + type; }

#define REQUIRE_NETNS(net) \
  if (!(net).ok()) GTEST_SKIP() << "no network namespaces: " << (net).error()

}  // namespace

TEST(DiscoveryNetnsTest, AnnouncementsOnTheWire) {
  veth_link net;
  REQUIRE_NETNS(net);
  ns_child observer = start_observer(net, {net.client_address()});
  ASSERT_TRUE(ready(observer));

  // Upper-case UDNs in the file: every message carries them in lower case.
  std::string description =
      replace_all(sample_description(), "uuid:5f2b7c1e-8a43-4d0e-9b6a-3c1d0e7f4a2",
                  "uuid:5F2B7C1E-8A43-4D0E-9B6A-3C1D0E7F4A2");
  std::string state;
  std::string printed;
  ns_child device = start_device(net, description, &state, &printed);
  ASSERT_EQ(state, "R") << printed;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(device.finish(), 0);  // discovery stop: byebye
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<heard> heard_list = observed(observer);

  // Start: a byebye set, then an alive set; stop: a byebye set. Each set is
  // three passes of 3 + s + 2e + t messages for the one interface.
  const size_t set = 3u * kSamplePassSize;
  ASSERT_EQ(heard_list.size(), 3 * set);
  const std::string location = "http://" + net.device_address() + ":38400/description.xml";
  for (size_t i = 0; i < heard_list.size(); i++) {
    const heard& h = heard_list[i];
    bool alive = i >= set && i < 2 * set;
    EXPECT_EQ(h.source, net.device_address());
    EXPECT_EQ(h.text.find("5F2B7C1E"), std::string::npos);
    message m = parse_message(h.text);
    EXPECT_TRUE(m.well_formed);
    EXPECT_EQ(m.start_line, "NOTIFY * HTTP/1.1");
    EXPECT_EQ(m.value("NT"), sample_pass()[i % kSamplePassSize].first) << i;
    EXPECT_EQ(m.value("USN"), sample_pass()[i % kSamplePassSize].second) << i;
    EXPECT_EQ(m.value("HOST"), "239.255.255.250:1900");
    if (alive) {
      EXPECT_EQ(m.names(), (std::vector<std::string>{"Server", "Cache-Control", "Location", "NTS",
                                                     "NT", "USN", "HOST"}));
      EXPECT_EQ(m.value("Server"), kServerName);
      EXPECT_EQ(m.value("Cache-Control"), "max-age=1800");
      EXPECT_EQ(m.value("Location"), location);
      EXPECT_EQ(m.value("NTS"), "ssdp:alive");
    } else {
      EXPECT_EQ(m.names(), (std::vector<std::string>{"NTS", "NT", "USN", "HOST"}));
      EXPECT_EQ(m.value("NTS"), "ssdp:byebye");
    }
  }
}

TEST(DiscoveryNetnsTest, SearchesAreAnsweredWithExactlyTheMatches) {
  // An address outside the device's subnet on the control point's link,
  // with a route back from the device, so only the device's own rule stands
  // between a unicast search from it and an answer. The answers to one
  // address are capped per second: ssdp:all asks from a second address.
  vbd_test::link_options options;
  options.foreign = true;
  options.second_client = true;
  veth_link net(options);
  REQUIRE_NETNS(net);
  const std::string outside = net.foreign_address();
  std::string state;
  std::string printed;
  ns_child device = start_device(net, sample_description(), &state, &printed);
  ASSERT_EQ(state, "R") << printed;

  std::string upper_udn = replace_all(kRootUdn, "5f2b7c1e-8a43-4d0e-9b6a-3c1d0e7f4a21",
                                      "5F2B7C1E-8A43-4D0E-9B6A-3C1D0E7F4A21");
  std::vector<probe> probes = {
      {msearch("ssdp:all"), "239.255.255.250", net.second_client_address()},     // 0
      {msearch("upnp:rootdevice")},                                                // 1
      {msearch(kRootUdn)},                                                         // 2
      {msearch(kTrayUdn)},                                                         // 3
      {msearch(kPlayerType)},                                                      // 4
      {msearch(kControlType)},                                                     // 5
      {msearch(kTrayControlType)},                                                 // 6
      {msearch(upper_udn)},                                                        // 7
      {msearch("upnp:rootdevice", "(none)")},                                      // 8
      {msearch("upnp:rootdevice", "2s")},                                          // 9
      {msearch("upnp:rootdevice", "1", "239.255.255.250:1900", "ssdp:discover")},  // 10
      {msearch("upnp:rootdevice", "1", "239.255.255.250")},                        // 11
      {msearch("upnp:rootdevice", "100000000000000")},                             // 12: MX as 5
      {msearch("upnp:rootdevice"), net.device_address(), outside},  // 13: unicast, outside
      {msearch("upnp:rootdevice"), net.device_address()},           // 14: unicast, inside
      // An empty datagram does not end the listener: 17 comes after it.
      {"", net.device_address()},  // 15
      // Only the first 512 bytes of a datagram count.
      {replace_all(msearch("upnp:rootdevice"),
                   "ST:", "X-Pad: " + std::string(600, 'p') + "\r\nST:")},  // 16
      {replace_all(msearch("upnp:rootdevice"), "\r\n\r\n",
                   "\r\nX-Pad: " + std::string(600, 'p') + "\r\n\r\n")},  // 17
  };
  auto answers = search(net, probes, 8000);
  device.finish();

  using ids = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(answered_ids(answers[0]), sample_pass());
  const ids root_device = {{"upnp:rootdevice", usn(kRootUdn, "upnp:rootdevice")}};
  EXPECT_EQ(answered_ids(answers[1]), root_device);
  EXPECT_EQ(answered_ids(answers[2]), (ids{{kRootUdn, kRootUdn}}));
  EXPECT_EQ(answered_ids(answers[3]), (ids{{kTrayUdn, kTrayUdn}}));
  EXPECT_EQ(answered_ids(answers[4]), (ids{{kPlayerType, usn(kRootUdn, kPlayerType)}}));
  EXPECT_EQ(answered_ids(answers[5]), (ids{{kControlType, usn(kRootUdn, kControlType)}}));
  EXPECT_EQ(answered_ids(answers[6]), (ids{{kTrayControlType, usn(kTrayUdn, kTrayControlType)}}));
  for (int i : {7, 8, 9, 10, 11, 13, 15, 16}) EXPECT_TRUE(answers[i].empty()) << "search " << i;
  EXPECT_EQ(answered_ids(answers[12]), root_device);
  EXPECT_EQ(answered_ids(answers[14]), root_device);
  EXPECT_EQ(answered_ids(answers[17]), root_device);

  const std::string location = "http://" + net.device_address() + ":38400/description.xml";
  for (const auto& per_search : answers) {
    for (const auto& text : per_search) {
      message m = parse_message(text);
      EXPECT_EQ(m.start_line, "HTTP/1.1 200 OK");
      EXPECT_EQ(m.names(), (std::vector<std::string>{"Cache-Control", "Date", "ST", "EXT", "SERVER",
                                                     "USN", "Location"}));
      EXPECT_EQ(m.value("Location"), location);
      EXPECT_EQ(m.value("SERVER"), kServerName);
    }
  }
}

TEST(DiscoveryNetnsTest, DescriptionOverHttp) {
  veth_link net;
  REQUIRE_NETNS(net);
  std::string state;
  std::string printed;
  ns_child device = start_device(net, sample_description(), &state, &printed);
  ASSERT_EQ(state, "R") << printed;
  const std::string base = "http://" + net.device_address() + ":38400";
  std::string out;

  ASSERT_EQ(veth_link::exec(net.client_ns(), "curl -s -i " + base + "/description.xml", &out), 0) << out;
  EXPECT_EQ(out.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << out;
  EXPECT_NE(out.find("Content-Type: text/xml; charset=\"utf-8\"\r\n"), std::string::npos);
  size_t body_at = out.find("\r\n\r\n");
  ASSERT_NE(body_at, std::string::npos);
  std::string body = out.substr(body_at + 4);
  EXPECT_NE(out.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
  EXPECT_EQ(body.rfind("<?xml version=\"1.0\"?>\n", 0), 0u);
  EXPECT_NE(body.find(" <URLBase>" + base + "</URLBase>\n</root>\n"), std::string::npos) << body;

  // A real XML reader accepts the served document.
  EXPECT_EQ(veth_link::exec(net.client_ns(),
                     "sh -c 'curl -sf " + base + "/description.xml | xmllint --noout -'", &out),
            0)
      << out;

  ASSERT_EQ(veth_link::exec(net.client_ns(), "curl -s -I " + base + "/description.xml", &out), 0);
  EXPECT_NE(out.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos)
      << out;
  ASSERT_EQ(veth_link::exec(net.client_ns(),
                     "curl -s -o /dev/null -w '%{http_code}' " + base + "/description%2Exml", &out),
            0);
  EXPECT_EQ(out, "200");
  ASSERT_EQ(
      veth_link::exec(net.client_ns(),
               "curl -s -o /dev/null -w '%{http_code}' -X POST " + base + "/description.xml", &out),
      0);
  EXPECT_EQ(out, "400");
  ASSERT_EQ(veth_link::exec(net.client_ns(), "curl -s -o /dev/null -w '%{http_code}' " + base + "/missing.xml",
                     &out),
            0);
  EXPECT_EQ(out, "404");
  ASSERT_EQ(veth_link::exec(net.client_ns(),
                     "curl -s -o /dev/null -w '%{http_code} %{content_type} %{size_download}' " +
                         base + "/icon120.png",
                     &out),
            0);
  EXPECT_EQ(out,
            "200 image/png " +
                std::to_string(read_file(source_path("packaging/description/icon120.png")).size()));
  EXPECT_EQ(device.finish(), 0);
}

TEST(DiscoveryNetnsTest, UpnpcFindsTheDevice) {
  if (run_quiet("command -v upnpc") != 0) GTEST_SKIP() << "upnpc (miniupnpc) is not installed";
  veth_link net;
  REQUIRE_NETNS(net);
  std::string state;
  std::string printed;
  ns_child device = start_device(net, sample_description(), &state, &printed);
  ASSERT_EQ(state, "R") << printed;
  std::string out;
  // The player is no gateway, so upnpc ends with an error after listing it.
  veth_link::exec(net.client_ns(), "timeout 60 upnpc -m vc0 -s", &out);
  EXPECT_NE(out.find("desc: http://" + net.device_address() + ":38400/description.xml"),
            std::string::npos)
      << out;
  EXPECT_EQ(device.finish(), 0);
}

TEST(DiscoveryNetnsTest, EachInterfaceNamesItsOwnAddress) {
  veth_link net;
  REQUIRE_NETNS(net);
  // A second link between the namespaces, in a second subnet.
  const std::string second = net.other_subnet();
  for (const std::string& c :
       {"ip -n " + net.device_ns() + " link add vd1 type veth peer name vc1 netns " + net.client_ns(),
        "ip -n " + net.device_ns() + " addr add " + second + ".1/24 dev vd1",
        "ip -n " + net.client_ns() + " addr add " + second + ".2/24 dev vc1",
        "ip -n " + net.device_ns() + " link set vd1 up",
        "ip -n " + net.client_ns() + " link set vc1 up"}) {
    ASSERT_EQ(run_quiet(c), 0) << c;
  }
  ns_child observer = start_observer(net, {net.client_address(), second + ".2"});
  ASSERT_TRUE(ready(observer));
  std::string state;
  std::string printed;
  ns_child device = start_device(net, sample_description(), &state, &printed);
  ASSERT_EQ(state, "R") << printed;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  // Searches over the second link are answered with the second address, and
  // so is the description fetched over it.
  probe over_second{msearch("upnp:rootdevice")};
  over_second.multicast_if = second + ".2";
  auto answers = search(net, {over_second}, 2500);
  // Both listeners see the group datagram; only the second link's answers.
  ASSERT_EQ(answers[0].size(), 1u);
  for (const auto& text : answers[0]) {
    EXPECT_EQ(parse_message(text).value("Location"),
              "http://" + second + ".1:38400/description.xml");
  }
  std::string out;
  ASSERT_EQ(veth_link::exec(net.client_ns(), "curl -s http://" + second + ".1:38400/description.xml", &out),
            0);
  EXPECT_NE(out.find("<URLBase>http://" + second + ".1:38400</URLBase>"), std::string::npos) << out;
  ASSERT_EQ(veth_link::exec(net.client_ns(),
                     "curl -s http://" + net.device_address() + ":38400/description.xml", &out),
            0);
  EXPECT_NE(out.find("<URLBase>http://" + net.device_address() + ":38400</URLBase>"),
            std::string::npos);

  ASSERT_EQ(device.finish(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Every announcement leaves through the interface whose address it names.
  int per_link[2] = {0, 0};
  for (const heard& h : observed(observer)) {
    std::string location = parse_message(h.text).value("Location");
    if (location == "(absent)") continue;  // byebye
    bool first_link = location.find("//" + net.device_address() + ":") != std::string::npos;
    EXPECT_EQ(h.interface, first_link ? "vc0" : "vc1") << location;
    per_link[first_link ? 0 : 1]++;
  }
  EXPECT_EQ(per_link[0], 3 * kSamplePassSize);
  EXPECT_EQ(per_link[1], 3 * kSamplePassSize);
}

TEST(DiscoveryNetnsTest, DiscoveryFailuresLeaveNoDevice) {
  veth_link net;
  REQUIRE_NETNS(net);
  ns_child observer = start_observer(net, {net.client_address()});
  ASSERT_TRUE(ready(observer));

  std::string state;
  std::string printed;
  ns_child device = start_device(net, "", &state, &printed);
  EXPECT_EQ(state, "F");
  EXPECT_EQ(printed, "loaddescriptionfile() error\n");
  EXPECT_EQ(device.finish(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(observed(observer).empty());

  // The description port is taken by a running device: the failure line,
  // then where and why.
  ns_child running = start_device(net, sample_description(), &state, &printed);
  ASSERT_EQ(state, "R") << printed;
  ns_child second = start_device(net, sample_description(), &state, &printed);
  EXPECT_EQ(state, "F");
  EXPECT_TRUE(printed.ends_with(" cg_upnp_device_start() error\nno description server on port 38400 (first interface " +
                                net.device_address() + "): Address already in use\n"))
      << printed;
  EXPECT_EQ(second.finish(), 0);
  EXPECT_EQ(running.finish(), 0);

  // Without an interface no description server can open.
  ASSERT_EQ(run_quiet("ip -n " + net.device_ns() + " link set vd0 down"), 0);
  ns_child without_interface = start_device(net, sample_description(), &state, &printed);
  EXPECT_EQ(state, "F");
  // The loader's banner ends in a space; the failure lines follow it.
  EXPECT_TRUE(printed.ends_with(
      " cg_upnp_device_start() error\nno description server on port 38400 (first interface none): Network is down\n"))
      << printed;
  EXPECT_EQ(without_interface.finish(), 0);
}
