// The received SSDP message: the datagram with its addresses, and the header
// lines parsed from its text.
#include <cstdlib>
#include <string_view>

#include "velProtocol/ssdp_server/ssdp_internal.h"

namespace {

constexpr std::string_view kLineBreaks = "\r\n";
constexpr std::string_view kNameEnds = "\r\n :";

void add_header(cg_http_header_list* headers, std::string_view name, std::string_view value) {
  // The record setters take NUL-terminated texts.
  cg_string* name_text = cg_string_new();
  cg_string* value_text = cg_string_new();
  cg_http_header* header = cg_http_header_new();
  if (name_text && value_text && header) {
    cg_string_set_n(name_text, name.data(), static_cast<int>(name.size()));
    cg_string_set_n(value_text, value.data(), static_cast<int>(value.size()));
    const char* value_chars = cg_string_value(value_text);
    cg_http_header_set_name(header, cg_string_value(name_text));
    cg_http_header_set_value(header, value_chars ? value_chars : "");
    cg_http_header_list_add(headers, header);
    header = nullptr;
  }
  if (header) cg_http_header_delete(header);
  cg_string_delete(name_text);
  cg_string_delete(value_text);
}

// One header line: the name runs to the first CR, LF, space or colon; the
// value is the rest after the delimiters that follow the name, without
// trailing delimiters. A line of delimiters only carries no header.
void parse_line(std::string_view line, cg_http_header_list* headers) {
  size_t start = line.find_first_not_of(kNameEnds);
  if (start == std::string_view::npos) return;
  line.remove_prefix(start);
  size_t name_end = line.find_first_of(kNameEnds);
  std::string_view name = line.substr(0, name_end);
  std::string_view value;
  if (name_end != std::string_view::npos) {
    size_t value_start = line.find_first_not_of(kNameEnds, name_end);
    if (value_start != std::string_view::npos) {
      value = line.substr(value_start);
      value = value.substr(0, value.find_last_not_of(kNameEnds) + 1);
    }
  }
  add_header(headers, name, value);
}

}  // namespace

cg_upnp_ssdp_packet* cg_upnp_ssdp_packet_new() {
  auto* packet = static_cast<cg_upnp_ssdp_packet*>(std::calloc(1, sizeof(cg_upnp_ssdp_packet)));
  if (!packet) return nullptr;
  packet->datagram = cg_datagram_packet_new();
  packet->header_list = cg_http_header_list_new();
  if (!packet->datagram || !packet->header_list) {
    cg_upnp_ssdp_packet_delete(packet);
    return nullptr;
  }
  packet->timestamp = cg_current_time();
  return packet;
}

void cg_upnp_ssdp_packet_delete(cg_upnp_ssdp_packet* packet) {
  if (!packet) return;
  cg_datagram_packet_delete(packet->datagram);
  if (packet->header_list) cg_http_header_list_delete(packet->header_list);
  std::free(packet);
}

void cg_upnp_ssdp_packet_clear(cg_upnp_ssdp_packet* packet) {
  if (!packet) return;
  cg_datagram_packet_set_data(packet->datagram, "", 0);
  cg_http_header_list_clear(packet->header_list);
}

void cg_upnp_ssdp_packet_set_user_data(cg_upnp_ssdp_packet* packet, void* data) {
  if (packet) packet->user_data = data;
}

void* cg_upnp_ssdp_packet_get_user_data(const cg_upnp_ssdp_packet* packet) {
  return packet ? packet->user_data : nullptr;
}

cg_datagram_packet* cg_upnp_ssdp_packet_get_datagram(cg_upnp_ssdp_packet* packet) {
  return packet ? packet->datagram : nullptr;
}

const char* cg_upnp_ssdp_packet_get_header_value(cg_upnp_ssdp_packet* packet, const char* name) {
  if (!packet || !name) return nullptr;
  return cg_http_header_list_get_value(packet->header_list, name);
}

void cg_upnp_ssdp_packet_parse_headers(cg_upnp_ssdp_packet* packet) {
  if (!packet) return;
  const char* data = cg_datagram_packet_get_data(packet->datagram);
  // The datagram is text: a NUL byte ends it, as it ends every reader's view.
  std::string_view text = data ? std::string_view(data) : std::string_view();
  bool request_line = true;
  while (!text.empty()) {
    size_t start = text.find_first_not_of(kLineBreaks);
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    size_t end = text.find_first_of(kLineBreaks);
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
    if (request_line) {
      request_line = false;
      continue;
    }
    parse_line(line, packet->header_list);
  }
}

int cg_upnp_ssdp_packet_receive(cg_socket* sock, cg_upnp_ssdp_packet* packet) {
  if (!sock || !packet) return 0;
  int n = cg_socket_recv_datagram(sock, packet->datagram);
  if (n <= 0) return 0;
  cg_http_header_list_clear(packet->header_list);
  cg_upnp_ssdp_packet_parse_headers(packet);
  return n;
}
