// SSDP messages: the header-line reader of received datagrams and the
// NOTIFY and search-response writers with their header order.

#include <string>

#include <gtest/gtest.h>

#include "tests/velProtocol/ssdp_server/ssdp_test_util.h"
#include "velProtocol/ssdp_server/ssdp_server.h"

using namespace ssdp_test;

namespace {

std::vector<std::pair<std::string, std::string>> parsed_headers(const std::string& text) {
  cg_upnp_ssdp_packet* packet = search_packet(text, nullptr);
  std::vector<std::pair<std::string, std::string>> out;
  for (cg_http_header* h = cg_http_header_list_first(packet->header_list); h;
       h = cg_http_header_next(h)) {
    const char* value = cg_http_header_get_value(h);
    out.emplace_back(cg_http_header_get_name(h), value ? value : "(none)");
  }
  cg_upnp_ssdp_packet_delete(packet);
  return out;
}

using headers = std::vector<std::pair<std::string, std::string>>;

}  // namespace

TEST(SsdpPacketTest, HeaderLinesAreSplitAtTheFirstDelimiters) {
  EXPECT_EQ(parsed_headers("M-SEARCH * HTTP/1.1\r\n"
                           "HOST: 239.255.255.250:1900\r\n"
                           "ST:ssdp:all\r\n"
                           "EXT:\r\n"
                           "MAN: \"ssdp:discover\"\r\n"
                           "X-Trail: a: b :  \r\n"
                           "\r\n"),
            (headers{{"HOST", "239.255.255.250:1900"},
                     {"ST", "ssdp:all"},
                     {"EXT", ""},
                     {"MAN", "\"ssdp:discover\""},
                     {"X-Trail", "a: b"}}));
}

TEST(SsdpPacketTest, LineBreaksBlankLinesAndOddLines) {
  // Bare LF ends lines too, runs of line breaks are one break, a line of
  // delimiters carries nothing, leading delimiters are skipped, duplicates stay.
  EXPECT_EQ(parsed_headers("NOTIFY * HTTP/1.1\nA: 1\n\n\r\n : \r\n  B : 2 \nA: 3\nLONE"),
            (headers{{"A", "1"}, {"B", "2"}, {"A", "3"}, {"LONE", ""}}));
  cg_upnp_ssdp_packet* packet = search_packet("X\r\nst: one\r\nST: two\r\n", nullptr);
  EXPECT_STREQ(cg_upnp_ssdp_packet_get_header_value(packet, "ST"), "one");
  cg_upnp_ssdp_packet_delete(packet);
  // Only the request line, or nothing at all: no headers.
  EXPECT_TRUE(parsed_headers("M-SEARCH * HTTP/1.1\r\n").empty());
  EXPECT_TRUE(parsed_headers("").empty());
}

TEST(SsdpPacketTest, ANulByteEndsTheText) {
  static constexpr char kText[] = "M-SEARCH * HTTP/1.1\r\nA: 1\r\n\0B: 2\r\n";
  std::string text(kText, sizeof(kText) - 1);
  EXPECT_EQ(parsed_headers(text), (headers{{"A", "1"}}));
}

TEST(SsdpPacketTest, ClearDropsTextAndHeaders) {
  cg_upnp_ssdp_packet* packet = search_packet(msearch("ssdp:all"), nullptr);
  EXPECT_GT(cg_http_header_list_size(packet->header_list), 0);
  EXPECT_GT(packet->timestamp, 0);
  cg_upnp_ssdp_packet_clear(packet);
  EXPECT_EQ(cg_http_header_list_size(packet->header_list), 0);
  EXPECT_EQ(cg_datagram_packet_get_length(cg_upnp_ssdp_packet_get_datagram(packet)), 0);
  cg_upnp_ssdp_packet_delete(packet);
}

TEST(SsdpMessageTest, NotifyKeepsFirstSetOrderWithHostLast) {
  capture cap;
  cg_upnp_ssdp_request* request = cg_upnp_ssdp_request_new();
  ASSERT_NE(request, nullptr);
  cg_http_packet* packet = cg_http_request_get_packet(request);
  cg_http_packet_set_header(packet, "Server", kServerName);
  cg_upnp_ssdp_request_set_max_age(request, 1800);
  cg_http_packet_set_header(packet, "NT", "a");
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_DGRAM);
  EXPECT_EQ(cg_upnp_ssdp_notify_from(sock, request, "10.77.1.1"), 1);
  // A value set again keeps its place; HOST keeps the place of its first send.
  cg_http_packet_set_header(packet, "NT", "b");
  cg_http_packet_set_header(packet, "USN", "u");
  EXPECT_EQ(cg_upnp_ssdp_notify_from(sock, request, "10.77.1.1"), 1);

  auto sent = cap.take();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].host, "239.255.255.250");
  EXPECT_EQ(sent[0].port, 1900);
  EXPECT_EQ(sent[0].text,
            "NOTIFY * HTTP/1.1\r\n"
            "Server: Platform 1.0 UPnP/1.0 vBdServer/1.0\r\n"
            "Cache-Control: max-age=1800\r\n"
            "NT: a\r\n"
            "HOST: 239.255.255.250:1900\r\n"
            "\r\n");
  EXPECT_EQ(sent[1].text,
            "NOTIFY * HTTP/1.1\r\n"
            "Server: Platform 1.0 UPnP/1.0 vBdServer/1.0\r\n"
            "Cache-Control: max-age=1800\r\n"
            "NT: b\r\n"
            "HOST: 239.255.255.250:1900\r\n"
            "USN: u\r\n"
            "\r\n");
  cg_socket_delete(sock);
  cg_upnp_ssdp_request_delete(request);
}

TEST(SsdpMessageTest, Ipv6LocalAddressUsesTheIpv6Group) {
  EXPECT_STREQ(cg_upnp_ssdp_group_address("fe80::1%2"), "FF02::C");
  EXPECT_STREQ(cg_upnp_ssdp_group_address("10.77.1.1"), "239.255.255.250");
  EXPECT_STREQ(cg_upnp_ssdp_group_address("::1"), "239.255.255.250");  // colon first: not IPv6
  capture cap;
  cg_upnp_ssdp_request* request = cg_upnp_ssdp_request_new();
  cg_http_packet_set_header(cg_http_request_get_packet(request), "NTS", "ssdp:byebye");
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_DGRAM);
  EXPECT_EQ(cg_upnp_ssdp_notify_from(sock, request, "fe80::1%2"), 1);
  auto sent = cap.take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].host, "FF02::C");
  EXPECT_EQ(sent[0].port, 1900);
  EXPECT_EQ(parse_message(sent[0].text).value("HOST"), "[FF02::C]:1900");
  cg_socket_delete(sock);
  cg_upnp_ssdp_request_delete(request);
}

TEST(SsdpMessageTest, ResponseWritesStatusLineAndEmptyValues) {
  capture cap;
  cg_upnp_ssdp_response* response = cg_upnp_ssdp_response_new();
  ASSERT_NE(response, nullptr);
  cg_upnp_ssdp_response_set_max_age(response, 60);
  cg_http_packet_set_header(cg_http_response_get_packet(response), "EXT", "");
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_DGRAM);
  int length = cg_upnp_ssdp_post_response(sock, response, "10.77.1.2", 40000);
  auto sent = cap.take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].text, "HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\nEXT: \r\n\r\n");
  EXPECT_EQ(length, static_cast<int>(sent[0].text.size()));
  EXPECT_EQ(sent[0].host, "10.77.1.2");
  EXPECT_EQ(sent[0].port, 40000);
  cg_socket_delete(sock);
  cg_upnp_ssdp_response_delete(response);
}
