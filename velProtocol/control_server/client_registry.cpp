// Registered clients, known by MAC address, and the MAC address parser.
#include <cstdlib>
#include <string_view>

#include "velProtocol/control_server/server_internal.h"

namespace {

constexpr int kMacTextLength = 17;

}  // namespace

int vel_mac_address_parse(const char* text, unsigned char out[6]) {
  if (!text || !out) return 0;
  std::string_view mac(text);
  if (mac.size() != kMacTextLength) return 0;
  unsigned char bytes[6];
  for (int field = 0; field < 6; field++) {
    int at = field * 3;
    int high = cg_hex_digit_value(mac[at]);
    int low = cg_hex_digit_value(mac[at + 1]);
    if (high < 0 || low < 0) return 0;
    if (field < 5 && mac[at + 2] != ':') return 0;
    bytes[field] = static_cast<unsigned char>(high * 16 + low);
  }
  for (int i = 0; i < 6; i++) out[i] = bytes[i];
  return 1;
}

vel_protocolo_server_client* vel_protocolo_server_client_new(const char* mac, const char* name) {
  auto* client = vbd_runtime::record_new<vel_protocolo_server_client>(false);
  cg_string* mac_text = cg_string_new();
  cg_string* name_text = cg_string_new();
  if (!client || !mac_text || !name_text) {
    std::free(client);
    cg_string_delete(mac_text);
    cg_string_delete(name_text);
    return nullptr;
  }
  cg_string_set(mac_text, mac ? mac : "");
  cg_string_set(name_text, name ? name : "");
  client->mac = mac_text;
  client->name = name_text;
  client->allowed = nullptr;
  return client;
}

void vel_protocolo_server_client_delete(vel_protocolo_server_client* client) {
  if (!client) return;
  cg_string_delete(client->mac);
  cg_string_delete(client->name);
  cg_list_remove(&client->node);
  std::free(client);
}

vel_protocolo_server_client_list* vel_protocolo_server_clientlist_new() {
  return vbd_runtime::record_new<vel_protocolo_server_client_list>(true);
}

vel_protocolo_server_client* vel_protocolo_server_clientlist_add(
    vel_protocolo_server_client_list* list, const char* mac, const char* name) {
  if (!list) return nullptr;
  vel_protocolo_server_client* client = vel_protocolo_server_client_new(mac, name);
  if (client) cg_list_append(&list->node, &client->node);
  return client;
}

int vel_protocolo_server_clientlist_size(const vel_protocolo_server_client_list* list) {
  return vbd_runtime::list_size(list);
}

vel_protocolo_server_client* vel_protocolo_server_clientlist_first(
    vel_protocolo_server_client_list* list) {
  return vbd_runtime::list_first(list);
}

vel_protocolo_server_client* vel_protocolo_server_client_next(vel_protocolo_server_client* client) {
  return vbd_runtime::list_next(client);
}

int vel_protocolo_server_clientlist_check(vel_protocolo_server_client_list* list,
                                          const char* mac, const char* name) {
  if (!list || !mac) return 0;
  unsigned char wanted[6];
  // A text that is no MAC address can never match an entry: nothing to learn.
  if (!vel_mac_address_parse(mac, wanted)) return 0;
  for (auto* c = vel_protocolo_server_clientlist_first(list); c;
       c = vel_protocolo_server_client_next(c)) {
    unsigned char known[6];
    if (!vel_mac_address_parse(cg_string_value(c->mac), known)) continue;
    if (std::string_view(reinterpret_cast<char*>(known), 6) !=
        std::string_view(reinterpret_cast<char*>(wanted), 6)) {
      continue;
    }
    return c->allowed ? 1 : 0;
  }
  // A first request is recorded, not admitted; the list cannot be grown
  // without bound by clients inventing addresses.
  if (vel_protocolo_server_clientlist_size(list) < VEL_PROTOCOL_SERVER_MAX_LEARNED_CLIENTS) {
    vel_protocolo_server_clientlist_add(list, mac, name);
  }
  return 0;
}

void vel_protocolo_server_clientlist_delete(vel_protocolo_server_client_list* list) {
  if (!list) return;
  while (auto* c = vel_protocolo_server_clientlist_first(list)) vel_protocolo_server_client_delete(c);
  std::free(list);
}
