// cg_datagram_packet: a received datagram with its local and remote ends and
// the interface it arrived on.
#include <cstdlib>

#include "net/net.h"

namespace {

const char* text_or_empty(const cg_string* str) {
  const char* value = cg_string_value(str);
  return value ? value : "";
}

}  // namespace

cg_datagram_packet* cg_datagram_packet_new() {
  auto* packet = static_cast<cg_datagram_packet*>(std::malloc(sizeof(cg_datagram_packet)));
  if (!packet) return nullptr;
  packet->data = cg_string_new();
  packet->local_address = cg_string_new();
  packet->remote_address = cg_string_new();
  packet->local_port = 0;
  packet->remote_port = 0;
  packet->interface_index = 0;
  packet->multicast = 0;
  if (!packet->data || !packet->local_address || !packet->remote_address) {
    cg_datagram_packet_delete(packet);
    return nullptr;
  }
  return packet;
}

void cg_datagram_packet_delete(cg_datagram_packet* packet) {
  if (!packet) return;
  cg_string_delete(packet->data);
  cg_string_delete(packet->local_address);
  cg_string_delete(packet->remote_address);
  std::free(packet);
}

void cg_datagram_packet_clear(cg_datagram_packet* packet) {
  if (!packet) return;
  cg_string_set(packet->data, "");
  cg_string_set(packet->local_address, "");
  cg_string_set(packet->remote_address, "");
  packet->local_port = 0;
  packet->remote_port = 0;
  packet->interface_index = 0;
  packet->multicast = 0;
}

void cg_datagram_packet_set_data(cg_datagram_packet* packet, const char* bytes, int length) {
  if (packet) cg_string_set_n(packet->data, bytes, length);
}

const char* cg_datagram_packet_get_data(const cg_datagram_packet* packet) {
  return packet ? text_or_empty(packet->data) : "";
}

int cg_datagram_packet_get_length(const cg_datagram_packet* packet) {
  return packet ? cg_string_length(packet->data) : 0;
}

void cg_datagram_packet_set_local_address(cg_datagram_packet* packet, const char* address) {
  if (packet) cg_string_set(packet->local_address, address ? address : "");
}

const char* cg_datagram_packet_get_local_address(const cg_datagram_packet* packet) {
  return packet ? text_or_empty(packet->local_address) : "";
}

void cg_datagram_packet_set_local_port(cg_datagram_packet* packet, int port) {
  if (packet) packet->local_port = port;
}

int cg_datagram_packet_get_local_port(const cg_datagram_packet* packet) {
  return packet ? packet->local_port : 0;
}

void cg_datagram_packet_set_remote_address(cg_datagram_packet* packet, const char* address) {
  if (packet) cg_string_set(packet->remote_address, address ? address : "");
}

const char* cg_datagram_packet_get_remote_address(const cg_datagram_packet* packet) {
  return packet ? text_or_empty(packet->remote_address) : "";
}

void cg_datagram_packet_set_remote_port(cg_datagram_packet* packet, int port) {
  if (packet) packet->remote_port = port;
}

int cg_datagram_packet_get_remote_port(const cg_datagram_packet* packet) {
  return packet ? packet->remote_port : 0;
}

void cg_datagram_packet_copy(cg_datagram_packet* dest, const cg_datagram_packet* src) {
  if (!dest || !src || dest == src) return;
  cg_string_set_n(dest->data, cg_datagram_packet_get_data(src), cg_datagram_packet_get_length(src));
  cg_datagram_packet_set_local_address(dest, cg_datagram_packet_get_local_address(src));
  dest->local_port = src->local_port;
  cg_datagram_packet_set_remote_address(dest, cg_datagram_packet_get_remote_address(src));
  dest->remote_port = src->remote_port;
  dest->interface_index = src->interface_index;
  dest->multicast = src->multicast;
}

void cg_datagram_packet_set_interface_index(cg_datagram_packet* packet, int index) {
  if (packet) packet->interface_index = index;
}

int cg_datagram_packet_get_interface_index(const cg_datagram_packet* packet) {
  return packet ? packet->interface_index : 0;
}

void cg_datagram_packet_set_multicast(cg_datagram_packet* packet, int multicast) {
  if (packet) packet->multicast = multicast ? 1 : 0;
}

int cg_datagram_packet_is_multicast(const cg_datagram_packet* packet) {
  return packet ? packet->multicast : 0;
}
