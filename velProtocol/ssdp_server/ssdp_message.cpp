// SSDP messages: the NOTIFY request and the search response records, their
// writers (header lines in first-set order), and sending them to the group
// or to a searcher, with the test seam that captures sends instead; the stop
// test and stoppable pauses of the sending thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "velProtocol/ssdp_server/ssdp_internal.h"

namespace {

cg_upnp_ssdp_transport g_transport{};
std::atomic<bool> g_seamed{false};

char g_ipv6_group[CG_NET_ADDRESS_TEXT_SIZE] = "FF02::C";
pthread_mutex_t g_ipv6_group_lock = PTHREAD_MUTEX_INITIALIZER;

// Header lines in list order: name ": " value CR LF; an empty value leaves
// nothing between ": " and CR LF. Then the empty line.
char* append_headers(cg_http_header_list* headers, cg_string* text) {
  for (cg_http_header* header = cg_http_header_list_first(headers); header;
       header = cg_http_header_next(header)) {
    const char* name = cg_http_header_get_name(header);
    const char* value = cg_http_header_get_value(header);
    if (!name) continue;
    cg_string_append(text, name);
    cg_string_append(text, ": ");
    if (value) cg_string_append(text, value);
    cg_string_append(text, "\r\n");
  }
  return cg_string_append(text, "\r\n");
}

void set_max_age(cg_http_packet* packet, int seconds) {
  char value[32];
  std::snprintf(value, sizeof(value), "%s=%d", "max-age", seconds);
  cg_http_packet_set_header(packet, "Cache-Control", value);
}

}  // namespace

namespace vbd_ssdp {

void open_for_interface(cg_socket* sock, const char* out_interface) {
  in_addr address{};
  if (!sock || cg_socket_is_open(sock) || !out_interface ||
      inet_pton(AF_INET, out_interface, &address) != 1) {
    return;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return;
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof(address)) != 0) {
    close(fd);
    return;
  }
  cg_socket_set_fd(sock, fd);
}

}  // namespace vbd_ssdp

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

int cg_upnp_ssdp_announce_count() { return CG_UPNP_SSDP_ANNOUNCE_COUNT; }

const char* cg_upnp_ssdp_get_ipv6_address() { return g_ipv6_group; }

void cg_upnp_ssdp_set_ipv6_address(const char* address) {
  if (!address) return;
  pthread_mutex_lock(&g_ipv6_group_lock);
  std::snprintf(g_ipv6_group, sizeof(g_ipv6_group), "%s", address);
  pthread_mutex_unlock(&g_ipv6_group_lock);
}

const char* cg_upnp_ssdp_group_address(const char* local_address) {
  return cg_net_is_ipv6_address(local_address) ? cg_upnp_ssdp_get_ipv6_address()
                                               : CG_UPNP_SSDP_ADDRESS;
}

void cg_upnp_ssdp_set_transport(const cg_upnp_ssdp_transport* transport) {
  if (transport) {
    g_transport = *transport;
    g_seamed.store(true, std::memory_order_release);
  } else {
    g_seamed.store(false, std::memory_order_release);
    g_transport = cg_upnp_ssdp_transport{};
  }
}

// ---------------------------------------------------------------------------
// Requests (NOTIFY)
// ---------------------------------------------------------------------------

cg_upnp_ssdp_request* cg_upnp_ssdp_request_new() {
  cg_upnp_ssdp_request* request = cg_http_request_new();
  if (!request) return nullptr;
  cg_http_request_set_uri(request, "*");
  cg_http_request_set_version(request, "HTTP/1.1");
  return request;
}

void cg_upnp_ssdp_request_delete(cg_upnp_ssdp_request* request) {
  if (request) cg_http_request_delete(request);
}

void cg_upnp_ssdp_request_set_max_age(cg_upnp_ssdp_request* request, int seconds) {
  if (request) set_max_age(cg_http_request_get_packet(request), seconds);
}

char* cg_upnp_ssdp_request_to_string(cg_upnp_ssdp_request* request, cg_string* text) {
  if (!request || !text) return nullptr;
  const char* method = cg_http_request_get_method(request);
  const char* uri = cg_http_request_get_uri(request);
  const char* version = cg_http_request_get_version(request);
  cg_string_append(text, method ? method : "");
  cg_string_append(text, " ");
  cg_string_append(text, uri ? uri : "");
  cg_string_append(text, " ");
  cg_string_append(text, version ? version : "");
  cg_string_append(text, "\r\n");
  return append_headers(cg_http_packet_get_headers(cg_http_request_get_packet(request)), text);
}

int cg_upnp_ssdp_notify_from(cg_socket* sock, cg_upnp_ssdp_request* request,
                             const char* local_address) {
  if (!request) return 0;
  const char* group = cg_upnp_ssdp_group_address(local_address);
  cg_http_packet_set_host(cg_http_request_get_packet(request), group, CG_UPNP_SSDP_PORT);
  cg_http_request_set_method(request, "NOTIFY");
  cg_string* text = cg_string_new();
  if (!text) return 0;
  int sent = 0;
  if (cg_upnp_ssdp_request_to_string(request, text)) {
    sent = vbd_ssdp::send_datagram(sock, group, CG_UPNP_SSDP_PORT, cg_string_value(text),
                                   cg_string_length(text), local_address);
  }
  cg_string_delete(text);
  return sent > 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Responses (search answers)
// ---------------------------------------------------------------------------

cg_upnp_ssdp_response* cg_upnp_ssdp_response_new() {
  cg_upnp_ssdp_response* response = cg_http_response_new();
  if (!response) return nullptr;
  cg_http_response_set_version(response, "HTTP/1.1");
  cg_http_response_set_status_code(response, 200);
  return response;
}

void cg_upnp_ssdp_response_delete(cg_upnp_ssdp_response* response) {
  if (response) cg_http_response_delete(response);
}

void cg_upnp_ssdp_response_set_max_age(cg_upnp_ssdp_response* response, int seconds) {
  if (response) set_max_age(cg_http_response_get_packet(response), seconds);
}

char* cg_upnp_ssdp_response_to_string(cg_upnp_ssdp_response* response, cg_string* text) {
  if (!response || !text) return nullptr;
  const char* version = cg_http_response_get_version(response);
  const char* reason = cg_http_response_get_reason_phrase(response);
  char code[16];
  std::snprintf(code, sizeof(code), "%d", cg_http_response_get_status_code(response));
  cg_string_append(text, version ? version : "");
  cg_string_append(text, " ");
  cg_string_append(text, code);
  cg_string_append(text, " ");
  cg_string_append(text, reason ? reason : "");
  cg_string_append(text, "\r\n");
  return append_headers(cg_http_packet_get_headers(cg_http_response_get_packet(response)), text);
}

int cg_upnp_ssdp_post_response(cg_socket* sock, cg_upnp_ssdp_response* response, const char* host,
                               int port) {
  if (!response) return 0;
  cg_string* text = cg_string_new();
  if (!text) return 0;
  int sent = 0;
  if (cg_upnp_ssdp_response_to_string(response, text)) {
    sent = vbd_ssdp::send_datagram(sock, host, port, cg_string_value(text), cg_string_length(text),
                                   nullptr);
  }
  cg_string_delete(text);
  return sent;
}

// ---------------------------------------------------------------------------
// Send path
// ---------------------------------------------------------------------------

namespace vbd_ssdp {

bool transport_is_seamed() { return g_seamed.load(std::memory_order_acquire); }

int send_datagram(cg_socket* sock, const char* host, int port, const char* text, int length,
                  const char* out_interface) {
  if (!host || !text || length <= 0) return 0;
  if (transport_is_seamed()) {
    return g_transport.send ? g_transport.send(g_transport.user, host, port, text, length) : 0;
  }
  if (!sock) return 0;
  bool opened_here = !cg_socket_is_open(sock);
  if (opened_here) open_for_interface(sock, out_interface);
  int sent = cg_socket_send_to(sock, host, port, text, length);
  if (opened_here) cg_socket_close(sock);
  return sent;
}

bool peer_is_local(const char* remote_address) {
  if (transport_is_seamed() && g_transport.peer_is_local) {
    return g_transport.peer_is_local(g_transport.user, remote_address) != 0;
  }
  cg_net_interface_list* list = cg_net_interface_list_new();
  if (!list) return false;
  cg_net_get_host_interfaces(list);
  bool local = cg_net_interface_list_find_for_peer(list, remote_address) != nullptr;
  cg_net_interface_list_delete(list);
  return local;
}

bool calling_thread_may_go_on() {
  cg_thread* self = cg_thread_self();
  return !self || cg_thread_is_runnable(self);
}

bool pause_random_ms(int milliseconds) {
  cg_thread_pause_ms(cg_random_ms(milliseconds));
  return calling_thread_may_go_on();
}

}  // namespace vbd_ssdp
