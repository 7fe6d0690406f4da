// Search handling: which datagrams count as searches, what each search
// target matches in the device tree, and the answers' headers. Answers are
// captured through the transport seam, so nothing is sent.

#include <string>

#include <gtest/gtest.h>

#include "tests/velProtocol/ssdp_server/ssdp_test_util.h"
#include "velProtocol/ssdp_server/ssdp_server.h"

using namespace ssdp_test;

namespace {

class SearchTest : public testing::Test {
 protected:
  void SetUp() override {
    dev_ = device_from(sample_description());
    ASSERT_NE(dev_, nullptr);
  }
  void TearDown() override { cg_upnp_device_delete(dev_); }

  // Hands the datagram to the device's listener; returns what it sent.
  std::vector<sent_datagram> search(const std::string& text, cg_upnp_device* dev = nullptr) {
    cg_upnp_ssdp_packet* packet = search_packet(text, dev ? dev : dev_);
    cg_upnp_device_ssdplistener(packet);
    cg_upnp_ssdp_packet_delete(packet);
    return cap_.take();
  }

  std::vector<std::pair<std::string, std::string>> answered(const std::string& st) {
    return identities(search(msearch(st)), "ST");
  }

  capture cap_;
  cg_upnp_device* dev_ = nullptr;
};

std::string usn(const char* udn, const char* type) { return std::string(udn) + "::" + type; }

}  // namespace

TEST_F(SearchTest, SsdpAllAnswersEveryIdentityWithTheResponseHeaders) {
  auto sent = search(msearch("ssdp:all"));
  EXPECT_EQ(identities(sent, "ST"), sample_pass());
  ASSERT_FALSE(sent.empty());
  const std::string date = "%A%a%a, %d%d %A%a%a %d%d%d%d %d%d:%d%d:%d%d GMT";
  for (const auto& d : sent) {
    // Unicast back to the searcher's own address and port.
    EXPECT_EQ(d.host, "10.77.1.2");
    EXPECT_EQ(d.port, 40000);
    message m = parse_message(d.text);
    EXPECT_TRUE(m.well_formed) << d.text;
    EXPECT_EQ(m.start_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(m.names(), (std::vector<std::string>{"Cache-Control", "Date", "ST", "EXT", "SERVER",
                                                   "USN", "Location"}));
    EXPECT_EQ(m.value("Cache-Control"), "max-age=1800");
    EXPECT_TRUE(matches(m.value("Date"), date)) << m.value("Date");
    EXPECT_EQ(m.value("EXT"), "");
    EXPECT_EQ(m.value("SERVER"), kServerName);
    // The address the datagram arrived on, the root's port and path.
    EXPECT_EQ(m.value("Location"), "http://10.77.1.1:38400/description.xml");
  }
}

TEST_F(SearchTest, EachTargetMatchesItsIdentitiesOnly) {
  using ids = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(answered("upnp:rootdevice"),
            (ids{{"upnp:rootdevice", usn(kRootUdn, "upnp:rootdevice")}}));
  EXPECT_EQ(answered(kRootUdn), (ids{{kRootUdn, kRootUdn}}));
  EXPECT_EQ(answered(kTrayUdn), (ids{{kTrayUdn, kTrayUdn}}));
  EXPECT_EQ(answered(kPlayerType), (ids{{kPlayerType, usn(kRootUdn, kPlayerType)}}));
  EXPECT_EQ(answered(kTrayType), (ids{{kTrayType, usn(kTrayUdn, kTrayType)}}));
  EXPECT_EQ(answered(kStatusType), (ids{{kStatusType, usn(kRootUdn, kStatusType)}}));
  EXPECT_EQ(answered(kTrayControlType), (ids{{kTrayControlType, usn(kTrayUdn, kTrayControlType)}}));

  // Exact, case-sensitive comparisons: the UDN in upper case, other types.
  std::string upper = kRootUdn;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(answered("UUID" + upper.substr(4)).empty());
  EXPECT_TRUE(answered("uuid:00000000-0000-0000-0000-000000000000").empty());
  EXPECT_TRUE(answered("urn:schemas-upnp-org:device:MediaRenderer:1").empty());
  EXPECT_TRUE(answered(std::string(kPlayerType) + "x").empty());
  EXPECT_TRUE(answered("something:else").empty());
}

TEST_F(SearchTest, OnlyWellFormedSearchesAreAnswered) {
  struct variant {
    std::string text;
    bool answered;
  } variants[] = {
      {msearch(kRootUdn), true},
      {msearch(kRootUdn, "(none)"), false},
      {msearch(kRootUdn, ""), false},
      {msearch(kRootUdn, "2s"), false},
      {msearch(kRootUdn, "-1"), false},
      {msearch(kRootUdn, "1", "239.255.255.250"), false},
      {msearch(kRootUdn, "1", "239.255.255.250:1901"), false},
      {msearch(kRootUdn, "1", "[FF02::C]:1900"), false},
      // The reader strips trailing spaces from values.
      {msearch(kRootUdn, "1", "239.255.255.250:1900   "), true},
      {msearch(kRootUdn, "1", "239.255.255.250:1900", "ssdp:discover"), false},
      {msearch(kRootUdn, "1", "239.255.255.250:1900", "\"ssdp:discover\"; extra"), true},
      {msearch(""), false},
      {replace_all(msearch(kRootUdn), "M-SEARCH", "NOTIFY"), false},
      {replace_all(msearch(kRootUdn), "HTTP/1.1", "HTTP/1.0"), false},
      {"M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nMX: 1\r\nST: ssdp:all\r\n\r\n", false},
  };
  for (const auto& v : variants) {
    cg_upnp_ssdp_packet* packet = search_packet(v.text, dev_);
    int mx = -1;
    EXPECT_EQ(cg_upnp_ssdp_packet_is_search_request(packet, &mx), v.answered ? 1 : 0) << v.text;
    cg_upnp_ssdp_packet_delete(packet);
    EXPECT_EQ(search(v.text).size(), v.answered ? 1u : 0u) << v.text;
  }
}

TEST_F(SearchTest, MxIsLimitedToFiveSeconds) {
  for (const auto& [text, expected] :
       std::vector<std::pair<std::string, int>>{{"0", 0},
                                                {"3", 3},
                                                {"5", 5},
                                                {"6", 5},
                                                {"120", 5},
                                                {"007", 5},
                                                {"2147483648", 5},
                                                {"99999999999999999999999999", 5}}) {
    cg_upnp_ssdp_packet* packet = search_packet(msearch("ssdp:all", text), dev_);
    int mx = -1;
    EXPECT_EQ(cg_upnp_ssdp_packet_is_search_request(packet, &mx), 1) << text;
    EXPECT_EQ(mx, expected) << text;
    cg_upnp_ssdp_packet_delete(packet);
  }
}

TEST_F(SearchTest, SearchersOutsideTheLocalSubnetsGetNothing) {
  cap_.set_peers_local(false);
  EXPECT_TRUE(search(msearch("ssdp:all")).empty());
  auto asked = cap_.peers_asked();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], "10.77.1.2");
  // Foreign or malformed datagrams are dropped before the subnet is looked at.
  EXPECT_TRUE(search(msearch("ssdp:all", "x")).empty());
  EXPECT_EQ(cap_.peers_asked().size(), 1u);
}

TEST_F(SearchTest, IdentitiesWithoutTypesOrTooLongAreLeftOut) {
  std::string long_type = "urn:schemas-vbdserver-org:service:" + std::string(100, 'L') + ":1";
  std::string text =
      "<root><device><UDN>uuid:r</UDN>"
      "<serviceList>"
      "<service><serviceId>no type</serviceId></service>"
      "<service><serviceType></serviceType></service>"
      "<service><serviceType>" +
      long_type +
      "</serviceType></service>"
      "<service><serviceType>urn:ok:1</serviceType></service>"
      "</serviceList>"
      "<deviceList><device><deviceType>urn:no-udn:1</deviceType></device></deviceList>"
      "</device></root>";
  cg_upnp_device* dev = device_from(text);
  ASSERT_NE(dev, nullptr);
  using ids = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(identities(search(msearch("ssdp:all"), dev), "ST"),
            (ids{{"upnp:rootdevice", "uuid:r::upnp:rootdevice"},
                 {"uuid:r", "uuid:r"},
                 {"urn:ok:1", "uuid:r::urn:ok:1"}}));
  EXPECT_TRUE(search(msearch(long_type), dev).empty());
  EXPECT_TRUE(search(msearch("urn:no-udn:1"), dev).empty());
  cg_upnp_device_delete(dev);
}

TEST_F(SearchTest, EmbeddedCallsSkipTheChecks) {
  // The recursive form answers without acceptance checks, as for an
  // embedded device; it never answers for the root identity.
  cg_upnp_device* tray = cg_upnp_device_list_first(cg_upnp_device_get_device_list(dev_));
  cg_upnp_ssdp_packet* packet = search_packet(msearch("ssdp:all", "bad"), tray);
  cg_upnp_device_search_received(tray, packet, 0);
  cg_upnp_ssdp_packet_delete(packet);
  using ids = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(identities(cap_.take(), "ST"),
            (ids{{kTrayType, usn(kTrayUdn, kTrayType)},
                 {kTrayUdn, kTrayUdn},
                 {kTrayControlType, usn(kTrayUdn, kTrayControlType)}}));
}
