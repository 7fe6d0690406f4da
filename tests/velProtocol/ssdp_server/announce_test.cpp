// Announcement: the alive and byebye messages of a device tree, their order
// and headers, the passes per interface, and the device's start, advertiser
// and stop (which waits out no fixed pause). Datagrams are captured through
// the transport seam; tests that need interfaces or servers run in a private
// network namespace.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/http/http_test_util.h"
#include "tests/velProtocol/ssdp_server/netns_util.h"
#include "tests/velProtocol/ssdp_server/ssdp_test_util.h"
#include "velProtocol/ssdp_server/ssdp_server.h"

using namespace ssdp_test;

namespace {

const std::vector<std::string> kAliveNames = {"Server", "Cache-Control", "Location", "NTS",
                                              "NT",     "USN",           "HOST"};
const std::vector<std::string> kByebyeNames = {"NTS", "NT", "USN", "HOST"};

constexpr const char* kTwoInterfaces =
    "set -e\n"
    "ip link set lo up\n"
    "ip link add a0 type veth peer name a1\n"
    "ip link add b0 type veth peer name b1\n"
    "ip addr add 10.77.140.1/24 dev a0\n"
    "ip addr add 10.77.141.1/24 dev b0\n"
    "for l in a0 a1 b0 b1; do ip link set $l up; done\n";

std::vector<std::string> nts_of(const std::vector<sent_datagram>& sent) {
  std::vector<std::string> out;
  for (const auto& d : sent) out.push_back(parse_message(d.text).value("NTS"));
  return out;
}

}  // namespace

TEST(AnnounceTest, AliveMessagesGoDepthFirstWithTheirHeaders) {
  capture cap;
  cg_upnp_device* dev = device_from(sample_description());
  ASSERT_NE(dev, nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(cg_upnp_device_announce_from(dev, "10.77.1.1"), 1);
  auto elapsed = std::chrono::steady_clock::now() - start;
  auto sent = cap.take();
  EXPECT_EQ(identities(sent, "NT"), sample_pass());
  // A 20 ms pause follows every alive message.
  EXPECT_GE(elapsed, std::chrono::milliseconds(20 * kSamplePassSize));

  ASSERT_EQ(sent.size(), static_cast<size_t>(kSamplePassSize));
  EXPECT_EQ(sent[0].text,
            "NOTIFY * HTTP/1.1\r\n"
            "Server: Platform 1.0 UPnP/1.0 vBdServer/1.0\r\n"
            "Cache-Control: max-age=1800\r\n"
            "Location: http://10.77.1.1:38400/description.xml\r\n"
            "NTS: ssdp:alive\r\n"
            "NT: upnp:rootdevice\r\n"
            "USN: uuid:5f2b7c1e-8a43-4d0e-9b6a-3c1d0e7f4a21::upnp:rootdevice\r\n"
            "HOST: 239.255.255.250:1900\r\n"
            "\r\n");
  for (const auto& d : sent) {
    EXPECT_EQ(d.host, "239.255.255.250");
    EXPECT_EQ(d.port, 1900);
    message m = parse_message(d.text);
    EXPECT_TRUE(m.well_formed);
    EXPECT_EQ(m.start_line, "NOTIFY * HTTP/1.1");
    EXPECT_EQ(m.names(), kAliveNames);
    // Services of embedded devices name the root's description too.
    EXPECT_EQ(m.value("Location"), "http://10.77.1.1:38400/description.xml");
    EXPECT_EQ(m.value("NTS"), "ssdp:alive");
  }
  cg_upnp_device_delete(dev);
}

TEST(AnnounceTest, ByebyeMessagesCarryFourHeaders) {
  capture cap;
  cg_upnp_device* dev = device_from(sample_description());
  ASSERT_NE(dev, nullptr);
  // The lease of each message's own device goes into Cache-Control; byebye has none.
  cg_upnp_device_set_lease_time(dev, 60);
  EXPECT_EQ(cg_upnp_device_byebye_from(dev, "10.77.1.1"), 1);
  auto sent = cap.take();
  EXPECT_EQ(identities(sent, "NT"), sample_pass());
  for (const auto& d : sent) {
    message m = parse_message(d.text);
    EXPECT_EQ(m.names(), kByebyeNames);
    EXPECT_EQ(m.value("NTS"), "ssdp:byebye");
    EXPECT_EQ(m.value("HOST"), "239.255.255.250:1900");
  }
  EXPECT_EQ(cg_upnp_device_announce_from(dev, "10.77.1.1"), 1);
  sent = cap.take();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(parse_message(sent[0].text).value("Cache-Control"), "max-age=60");
  // The embedded device kept the lease it was given at parse time.
  EXPECT_EQ(parse_message(sent[5].text).value("Cache-Control"), "max-age=1800");
  cg_upnp_device_delete(dev);
}

TEST(AnnounceTest, DevicesWithoutTypesAnnounceWhatTheyHave) {
  capture cap;
  cg_upnp_device* dev = device_from(
      "<root><device><UDN>uuid:r</UDN><serviceList><service><serviceId>x</serviceId></service>"
      "</serviceList><deviceList><device><deviceType>urn:t:1</deviceType></device>"
      "</deviceList></device></root>");
  ASSERT_NE(dev, nullptr);
  cg_upnp_device_announce_from(dev, "10.77.1.1");
  using ids = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(identities(cap.take(), "NT"),
            (ids{{"upnp:rootdevice", "uuid:r::upnp:rootdevice"}, {"uuid:r", "uuid:r"}}));
  cg_upnp_device_delete(dev);
}

TEST(AnnounceTest, ThreePassesPerInterfaceInInterfaceOrder) {
  EXPECT_FRESH_NETNS_PASSES(kTwoInterfaces, [] {
    capture cap;
    cg_upnp_device* dev = device_from(sample_description());
    CHILD_CHECK(dev != nullptr);
    cg_net_interface_list* list = cg_net_interface_list_new();
    CHILD_CHECK(cg_net_get_host_interfaces(list) == 2);
    std::string first = cg_net_interface_get_address(cg_net_interface_list_first(list));
    std::string second = first == "10.77.140.1" ? "10.77.141.1" : "10.77.140.1";
    cg_net_interface_list_delete(list);

    cg_upnp_device_announce(dev);
    auto sent = cap.take();
    CHILD_CHECK(sent.size() == 2u * 3u * kSamplePassSize);
    for (size_t i = 0; i < sent.size(); i++) {
      const std::string& address = i < sent.size() / 2 ? first : second;
      message m = parse_message(sent[i].text);
      CHILD_CHECK(m.value("Location") == "http://" + address + ":38400/description.xml");
      CHILD_CHECK(m.value("NT") == sample_pass()[i % kSamplePassSize].first);
    }
    cg_upnp_device_byebye(dev);
    sent = cap.take();
    CHILD_CHECK(sent.size() == 2u * 3u * kSamplePassSize);
    for (const auto& d : sent) CHILD_CHECK(parse_message(d.text).value("NTS") == "ssdp:byebye");
    cg_upnp_device_delete(dev);
    return 0;
  });
}

TEST(AnnounceTest, StartByebyeThenAliveAdvertiserAndStop) {
  EXPECT_FRESH_NETNS_PASSES(kTwoInterfaces, [] {
    capture cap;
    cg_upnp_device* dev = device_from(sample_description());
    CHILD_CHECK(dev != nullptr);
    // A lease of 4 s re-announces after 1 to 2 s.
    cg_upnp_device_set_lease_time(dev, 4);
    CHILD_CHECK(cg_upnp_device_start(dev) == 1);
    CHILD_CHECK(cg_http_server_list_size(dev->http_server_list) == 2);
    CHILD_CHECK(cg_upnp_ssdp_server_list_size(dev->ssdp_server_list) == 2);
    const size_t pass_set = 2u * 3u * kSamplePassSize;
    auto sent = cap.take();
    CHILD_CHECK(sent.size() == 2 * pass_set);
    std::vector<std::string> nts = nts_of(sent);
    for (size_t i = 0; i < nts.size(); i++) {
      CHILD_CHECK(nts[i] == (i < pass_set ? "ssdp:byebye" : "ssdp:alive"));
    }

    // Nothing before the base interval of lease / 4 = 1 s, then a full set.
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    sent = cap.take();
    CHILD_CHECK(sent.empty());
    for (int i = 0; i < 50 && sent.size() < pass_set; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      auto more = cap.take();
      sent.insert(sent.end(), more.begin(), more.end());
    }
    CHILD_CHECK(sent.size() >= pass_set);
    sent.resize(pass_set);
    for (const auto& n : nts_of(sent)) CHILD_CHECK(n == "ssdp:alive");

    // A start on a running device stops it first.
    CHILD_CHECK(cg_upnp_device_start(dev) == 1);
    CHILD_CHECK(cg_http_server_list_size(dev->http_server_list) == 2);
    nts = nts_of(cap.take());
    // The advertiser may have been inside a pass: once stopped it sends no
    // further message, so at most the one in flight gets out.
    size_t lead = 0;
    while (lead < nts.size() && nts[lead] == "ssdp:alive") lead++;
    CHILD_CHECK(lead <= 1u);
    CHILD_CHECK(nts.size() == lead + 2 * pass_set);
    for (size_t i = lead; i < nts.size(); i++) {
      CHILD_CHECK(nts[i] == (i < lead + pass_set ? "ssdp:byebye" : "ssdp:alive"));
    }

    CHILD_CHECK(cg_upnp_device_stop(dev) == 1);
    nts = nts_of(cap.take());
    CHILD_CHECK(nts.size() == pass_set);
    for (const auto& n : nts) CHILD_CHECK(n == "ssdp:byebye");
    CHILD_CHECK(cg_http_server_list_size(dev->http_server_list) == 0);
    CHILD_CHECK(cg_upnp_ssdp_server_list_size(dev->ssdp_server_list) == 0);
    cg_upnp_device_delete(dev);
    return 0;
  });
}

TEST(AnnounceTest, StoppingWhileTheAdvertiserSleepsAnnouncesNothingMore) {
  EXPECT_FRESH_NETNS_PASSES(kTwoInterfaces, [] {
    capture cap;
    cg_upnp_device* dev = device_from(sample_description());
    CHILD_CHECK(dev != nullptr);
    CHILD_CHECK(cg_upnp_device_start(dev) == 1);
    cap.take();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto start = std::chrono::steady_clock::now();
    cg_upnp_device_stop(dev);
    // The advertiser's 450 s sleep does not hold the stop up.
    CHILD_CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(5));
    for (const auto& n : nts_of(cap.take())) CHILD_CHECK(n == "ssdp:byebye");
    cg_upnp_device_delete(dev);
    return 0;
  });
}

TEST(AnnounceTest, StopEndsEveryThreadWithoutFixedPauses) {
  EXPECT_FRESH_NETNS_PASSES(kTwoInterfaces, [] {
    using std::chrono::steady_clock;
    capture cap;
    cg_upnp_device* dev = device_from(sample_description());
    CHILD_CHECK(dev != nullptr);
    CHILD_CHECK(cg_upnp_device_start(dev) == 1);
    // A connection in the middle of a request on each HTTP server: its
    // thread is blocked in a read when the stop comes.
    int first = connect_to("10.77.140.1", CG_UPNP_DEVICE_HTTP_DEFAULT_PORT);
    int second = connect_to("10.77.141.1", CG_UPNP_DEVICE_HTTP_DEFAULT_PORT);
    CHILD_CHECK(first >= 0 && second >= 0);
    const std::string partial = "GET /description.xml HTTP/1.1\r\nHo";
    for (int fd : {first, second}) {
      CHILD_CHECK(write(fd, partial.data(), partial.size()) == static_cast<ssize_t>(partial.size()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cap.take();

    auto begin = steady_clock::now();
    CHILD_CHECK(cg_upnp_device_stop(dev) == 1);
    auto end = steady_clock::now();
    auto sent = cap.take();
    CHILD_CHECK(sent.size() == 2u * 3u * kSamplePassSize);
    for (const auto& n : nts_of(sent)) CHILD_CHECK(n == "ssdp:byebye");
    // The byebye's random spread (at most 0.5 s, on this thread) is the only
    // wait of a stop: the advertiser, two listeners, two HTTP servers and
    // their connections each end at once, where a fixed pause per thread
    // would add a second each.
    CHILD_CHECK(end - begin < std::chrono::milliseconds(1500));
    CHILD_CHECK(end - sent.back().at < std::chrono::milliseconds(700));
    for (int fd : {first, second}) {
      char byte;
      CHILD_CHECK(read(fd, &byte, 1) == 0);  // closed by the server, unanswered
      close(fd);
    }
    cg_upnp_device_delete(dev);
    return 0;
  });
}

TEST(AnnounceTest, NoInterfaceNoStart) {
  EXPECT_FRESH_NETNS_PASSES("ip link set lo up", [] {
    capture cap;
    cg_upnp_device* dev = device_from(sample_description());
    CHILD_CHECK(dev != nullptr);
    CHILD_CHECK(cg_upnp_device_start(dev) == 0);
    CHILD_CHECK(cap.take().empty());
    cg_upnp_device_delete(dev);
    return 0;
  });
}
