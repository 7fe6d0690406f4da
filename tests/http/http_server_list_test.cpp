// The server list in private network namespaces: one server per interface
// address on one port, each telling the listener its own local address, and
// no server at all without an interface.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "http/http.h"
#include "tests/http/http_test_util.h"
#include "tests/net/netns.h"

namespace {

constexpr int kPort = 38400;  // private namespace: nothing else listens there

std::mutex g_lock;
std::set<std::string> g_local_addresses;

void answer_with_local_address(cg_http_request* request) {
  const char* local = cg_http_request_get_local_address(request);
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_local_addresses.insert(local);
  }
  cg_http_response* response = cg_http_response_new();
  cg_http_response_set_status_code(response, 200);
  cg_http_packet* packet = cg_http_response_get_packet(response);
  cg_http_packet_set_content(packet, local, -1);
  cg_http_packet_set_header_llong(packet, "Content-Length",
                                  cg_http_packet_get_content_length(packet));
  cg_http_request_post_response(request, response);
  cg_http_response_delete(response);
}

// The body the server at address answers to one GET, or "".
std::string get_body(const char* address) {
  int fd = connect_to(address, kPort);
  if (fd < 0) return "";
  response_reader in{fd, {}};
  send_text(fd, "GET /description.xml HTTP/1.1\r\nHost: x\r\n\r\n");
  std::string response = in.next();
  close(fd);
  size_t body = response.find("\r\n\r\n");
  return body == std::string::npos ? "" : response.substr(body + 4);
}

TEST(HttpServerListTest, OneServerPerInterfaceOnOnePort) {
  EXPECT_NETNS_BODY_PASSES(
      "set -e\n"
      "ip link set lo up\n"
      "ip link add h0 type veth peer name h1\n"
      "ip addr add 10.77.6.1/24 dev h0\n"
      "ip addr add 10.77.7.1/24 dev h1\n"
      "ip link set h0 up\n"
      "ip link set h1 up\n",
      [] {
        cg_http_server_list* list = cg_http_server_list_new();
        NS_CHECK(cg_http_server_list_open(list, kPort) == 1);
        NS_CHECK(cg_http_server_list_size(list) == 2);
        std::set<std::string> bound;
        for (cg_http_server* s = cg_http_server_list_first(list); s; s = cg_http_server_next(s)) {
          bound.insert(cg_http_server_get_address(s));
          NS_CHECK(cg_http_server_get_port(s) == kPort);
        }
        NS_CHECK(bound == (std::set<std::string>{"10.77.6.1", "10.77.7.1"}));

        cg_http_server_list_set_user_data(list, nullptr);
        cg_http_server_list_set_listener(list, answer_with_local_address);
        NS_CHECK(cg_http_server_list_start(list) == 1);
        // Each server answers on its own address with that address, and
        // only on it (bound to the address, not to the wildcard).
        NS_CHECK(get_body("10.77.6.1") == "10.77.6.1");
        NS_CHECK(get_body("10.77.7.1") == "10.77.7.1");
        NS_CHECK(connect_to("127.0.0.1", kPort) < 0);

        cg_http_server_list_stop(list);
        cg_http_server_list_close(list);
        NS_CHECK(get_body("10.77.6.1").empty());
        cg_http_server_list_delete(list);
        NS_CHECK(g_local_addresses == (std::set<std::string>{"10.77.6.1", "10.77.7.1"}));
        return 0;
      });
}

TEST(HttpServerListTest, NoInterfaceNoServer) {
  EXPECT_NETNS_BODY_PASSES("ip link set lo up", [] {
    cg_http_server_list* list = cg_http_server_list_new();
    NS_CHECK(cg_http_server_list_open(list, kPort) == 0);
    NS_CHECK(cg_http_server_list_size(list) == 0);
    cg_http_server_list_delete(list);
    return 0;
  });
}

TEST(HttpServerListTest, PortTakenOnEveryInterfaceFails) {
  EXPECT_NETNS_BODY_PASSES(
      "set -e\n"
      "ip link add h0 type veth peer name h1\n"
      "ip addr add 10.77.6.1/24 dev h0\n"
      "ip link set h0 up\n"
      "ip link set h1 up\n",
      [] {
        cg_http_server_list* taken = cg_http_server_list_new();
        NS_CHECK(cg_http_server_list_open(taken, kPort) == 1);
        cg_http_server_list* list = cg_http_server_list_new();
        NS_CHECK(cg_http_server_list_open(list, kPort) == 0);
        NS_CHECK(cg_http_server_list_size(list) == 0);
        cg_http_server_list_delete(list);
        cg_http_server_list_delete(taken);
        return 0;
      });
}

}  // namespace
