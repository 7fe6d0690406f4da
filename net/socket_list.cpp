// vel_socket and vel_socket_list: the control server's list of connected
// client sockets. Each entry owns its socket; the list owns its entries.
#include <cstdlib>

#include "net/net.h"

namespace {

bool is_linked(const cg_list* node) { return node->next && node->next != node; }

}  // namespace

vel_socket* vel_socket_new(cg_socket* sock) {
  auto* entry = vbd_runtime::record_new<vel_socket>(false);
  if (!entry) return nullptr;
  entry->socket = sock;
  return entry;
}

void vel_socket_delete(vel_socket* entry) {
  if (!entry) return;
  if (is_linked(&entry->node)) cg_list_remove(&entry->node);
  cg_socket_delete(entry->socket);
  std::free(entry);
}

cg_socket* vel_socket_get_socket(const vel_socket* entry) { return entry ? entry->socket : nullptr; }

vel_socket_list* vel_socket_list_new() {
  return vbd_runtime::record_new<vel_socket_list>(true);
}

void vel_socket_list_delete(vel_socket_list* list) {
  if (!list) return;
  while (vel_socket* entry = vel_socket_list_first(list)) vel_socket_list_remove(entry);
  std::free(list);
}

void vel_socket_list_add(vel_socket_list* list, vel_socket* entry) {
  if (!list || !entry) return;
  cg_list_append(&list->node, &entry->node);
}

int vel_socket_list_size(const vel_socket_list* list) { return vbd_runtime::list_size(list); }

void vel_socket_list_remove(vel_socket* entry) {
  if (!entry) return;
  cg_list_remove(&entry->node);
  vel_socket_delete(entry);
}

vel_socket* vel_socket_list_first(vel_socket_list* list) { return vbd_runtime::list_first(list); }

vel_socket* vel_socket_next(vel_socket* entry) { return vbd_runtime::list_next(entry); }
