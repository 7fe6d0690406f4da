// cg_net_interface and cg_net_interface_list: records of usable interfaces.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdlib>

#include "net/net.h"

namespace {

const char* text_or_empty(const cg_string* str) {
  const char* value = cg_string_value(str);
  return value ? value : "";
}

bool is_linked(const cg_list* node) { return node->next && node->next != node; }

cg_net_interface* as_interface(cg_list* node) { return reinterpret_cast<cg_net_interface*>(node); }

}  // namespace

cg_net_interface* cg_net_interface_new() {
  auto* netif = vbd_runtime::record_new<cg_net_interface>(false);
  if (!netif) return nullptr;
  netif->name = cg_string_new();
  netif->address = cg_string_new();
  netif->netmask = cg_string_new();
  if (!netif->name || !netif->address || !netif->netmask) {
    cg_net_interface_delete(netif);
    return nullptr;
  }
  cg_string_set(netif->name, "");
  cg_string_set(netif->address, "");
  cg_string_set(netif->netmask, "");
  return netif;
}

void cg_net_interface_delete(cg_net_interface* netif) {
  if (!netif) return;
  if (is_linked(&netif->node)) cg_list_remove(&netif->node);
  cg_string_delete(netif->name);
  cg_string_delete(netif->address);
  cg_string_delete(netif->netmask);
  std::free(netif);
}

void cg_net_interface_set_name(cg_net_interface* netif, const char* name) {
  if (netif) cg_string_set(netif->name, name ? name : "");
}

const char* cg_net_interface_get_name(const cg_net_interface* netif) {
  return netif ? text_or_empty(netif->name) : "";
}

void cg_net_interface_set_address(cg_net_interface* netif, const char* address) {
  if (netif) cg_string_set(netif->address, address ? address : "");
}

const char* cg_net_interface_get_address(const cg_net_interface* netif) {
  return netif ? text_or_empty(netif->address) : "";
}

void cg_net_interface_set_netmask(cg_net_interface* netif, const char* netmask) {
  if (netif) cg_string_set(netif->netmask, netmask ? netmask : "");
}

const char* cg_net_interface_get_netmask(const cg_net_interface* netif) {
  return netif ? text_or_empty(netif->netmask) : "";
}

cg_net_interface* cg_net_interface_next(cg_net_interface* netif) {
  return vbd_runtime::list_next(netif);
}

cg_net_interface_list* cg_net_interface_list_new() {
  return vbd_runtime::record_new<cg_net_interface_list>(true);
}

void cg_net_interface_list_clear(cg_net_interface_list* list) {
  if (!list) return;
  while (cg_net_interface* netif = cg_net_interface_list_first(list)) cg_net_interface_delete(netif);
}

void cg_net_interface_list_delete(cg_net_interface_list* list) {
  if (!list) return;
  cg_net_interface_list_clear(list);
  std::free(list);
}

void cg_net_interface_list_add(cg_net_interface_list* list, cg_net_interface* netif) {
  if (list && netif) cg_list_append(&list->node, &netif->node);
}

int cg_net_interface_list_size(const cg_net_interface_list* list) {
  return vbd_runtime::list_size(list);
}

cg_net_interface* cg_net_interface_list_first(cg_net_interface_list* list) {
  return vbd_runtime::list_first(list);
}

cg_net_interface* cg_net_interface_list_get(cg_net_interface_list* list, int index) {
  if (!list || index < 0) return nullptr;
  return as_interface(cg_list_get(&list->node, index));
}

cg_net_interface* cg_net_interface_list_find_for_peer(cg_net_interface_list* list,
                                                      const char* peer_address) {
  in_addr peer{};
  if (!list || !peer_address || inet_pton(AF_INET, peer_address, &peer) != 1) return nullptr;
  for (cg_net_interface* netif = cg_net_interface_list_first(list); netif;
       netif = cg_net_interface_next(netif)) {
    in_addr addr{};
    in_addr mask{};
    if (inet_pton(AF_INET, cg_net_interface_get_address(netif), &addr) != 1 ||
        inet_pton(AF_INET, cg_net_interface_get_netmask(netif), &mask) != 1) {
      continue;
    }
    if ((addr.s_addr & mask.s_addr) == (peer.s_addr & mask.s_addr)) return netif;
  }
  return nullptr;
}
