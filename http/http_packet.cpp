// cg_http_packet: the header list and body that requests and responses
// begin with (a body of its own or one shared with its giver), and the
// header accessors over it.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "http/http_internal.h"

namespace {

void drop_shared(cg_http_packet* packet) {
  delete packet->shared;
  packet->shared = nullptr;
}

}  // namespace

namespace vbd_http {

bool packet_init(cg_http_packet* packet) {
  packet->headers = cg_http_header_list_new();
  packet->content = cg_string_new();
  packet->shared = nullptr;
  if (packet->headers && packet->content) return true;
  packet_release(packet);
  return false;
}

void packet_release(cg_http_packet* packet) {
  cg_http_header_list_delete(packet->headers);
  cg_string_delete(packet->content);
  drop_shared(packet);
  packet->headers = nullptr;
  packet->content = nullptr;
}

std::string_view packet_body(const cg_http_packet* packet) {
  if (packet->shared) return *packet->shared->text;
  return view_of(packet->content);
}

}  // namespace vbd_http

cg_http_packet* cg_http_packet_new() {
  auto* packet = static_cast<cg_http_packet*>(std::malloc(sizeof(cg_http_packet)));
  if (!packet) return nullptr;
  if (!vbd_http::packet_init(packet)) {
    std::free(packet);
    return nullptr;
  }
  return packet;
}

void cg_http_packet_delete(cg_http_packet* packet) {
  if (!packet) return;
  vbd_http::packet_release(packet);
  std::free(packet);
}

void cg_http_packet_clear(cg_http_packet* packet) {
  if (!packet) return;
  cg_http_header_list_clear(packet->headers);
  cg_string_clear(packet->content);
  drop_shared(packet);
}

cg_http_header_list* cg_http_packet_get_headers(cg_http_packet* packet) {
  return packet ? packet->headers : nullptr;
}

void cg_http_packet_set_header(cg_http_packet* packet, const char* name, const char* value) {
  if (packet) cg_http_header_list_set(packet->headers, name, value);
}

const char* cg_http_packet_get_header_value(cg_http_packet* packet, const char* name) {
  return packet ? cg_http_header_list_get_value(packet->headers, name) : nullptr;
}

int cg_http_packet_has_header(cg_http_packet* packet, const char* name) {
  return packet && cg_http_header_list_get(packet->headers, name) ? 1 : 0;
}

void cg_http_packet_set_header_llong(cg_http_packet* packet, const char* name, long long value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%lld", value);
  cg_http_packet_set_header(packet, name, text);
}

long long cg_http_packet_get_header_llong(cg_http_packet* packet, const char* name) {
  const char* value = cg_http_packet_get_header_value(packet, name);
  return value ? vbd_http::parse_decimal(value) : 0;
}

void cg_http_packet_set_host(cg_http_packet* packet, const char* host, int port) {
  if (!packet || !host) return;
  bool ipv6 = cg_net_is_ipv6_address(host) == 1;
  // Enough for any numeric address text, its brackets and a port.
  char value[CG_NET_ADDRESS_TEXT_SIZE + 16];
  const char* open = ipv6 ? "[" : "";
  const char* close = ipv6 ? "]" : "";
  if (port > 0 && port != 80) {
    std::snprintf(value, sizeof(value), "%s%s%s:%d", open, host, close, port);
  } else {
    std::snprintf(value, sizeof(value), "%s%s%s", open, host, close);
  }
  cg_http_packet_set_header(packet, CG_HTTP_HOST, value);
}

void cg_http_packet_set_content(cg_http_packet* packet, const char* bytes, int length) {
  if (!packet) return;
  drop_shared(packet);
  if (!bytes) {
    cg_string_clear(packet->content);
    return;
  }
  if (length < 0) length = static_cast<int>(std::strlen(bytes));
  cg_string_set_n(packet->content, bytes, length);
}

int cg_http_packet_set_shared_content(cg_http_packet* packet,
                                      std::shared_ptr<const std::string> text) {
  if (!packet) return 0;
  cg_http_packet_set_content(packet, nullptr, 0);
  if (!text || text->size() > static_cast<size_t>(INT_MAX)) return 0;
  packet->shared = new (std::nothrow) cg_http_shared_content{std::move(text)};
  return packet->shared ? 1 : 0;
}

const char* cg_http_packet_get_content(const cg_http_packet* packet) {
  if (!packet) return nullptr;
  if (packet->shared) return packet->shared->text->c_str();
  return cg_string_value(packet->content);
}

int cg_http_packet_get_content_length(const cg_http_packet* packet) {
  if (!packet) return 0;
  if (packet->shared) return static_cast<int>(packet->shared->text->size());
  return cg_string_length(packet->content);
}
