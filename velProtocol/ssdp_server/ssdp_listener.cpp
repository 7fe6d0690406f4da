// The SSDP listeners: one multicast socket on port 1900 per interface
// address, each read by a thread that waits on its socket and its wake and
// hands every datagram to the device.
#include <poll.h>

#include <cstdlib>

#include "velProtocol/ssdp_server/ssdp_internal.h"

using vbd_ssdp::list_first;
using vbd_ssdp::list_next;

namespace {

// Pause after a failed or empty receive, so a broken socket cannot spin. A
// stop ends it at once.
constexpr int kFailedReceivePauseMs = 10;

}  // namespace

cg_upnp_ssdp_server* cg_upnp_ssdp_server_new() {
  return vbd_ssdp::record_new<cg_upnp_ssdp_server>(false);
}

void cg_upnp_ssdp_server_delete(cg_upnp_ssdp_server* server) {
  if (!server) return;
  cg_upnp_ssdp_server_close(server);
  cg_list_remove(&server->node);
  std::free(server);
}

int cg_upnp_ssdp_server_open(cg_upnp_ssdp_server* server, const char* local_address) {
  if (!server || server->socket || !local_address) return 0;
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_DGRAM);
  if (!sock) return 0;
  if (!cg_socket_bind(sock, CG_UPNP_SSDP_PORT, local_address, 0, 1) ||
      !cg_socket_join_group(sock, cg_upnp_ssdp_group_address(local_address), local_address)) {
    cg_socket_delete(sock);
    return 0;
  }
  // The thread waits in poll, never in the receive: a datagram that poll
  // announced but the kernel then drops (a bad checksum) makes the receive
  // fail instead of blocking past a stop.
  cg_socket_set_nonblocking(sock, 1);
  server->socket = sock;
  return 1;
}

int cg_upnp_ssdp_server_close(cg_upnp_ssdp_server* server) {
  if (!server) return 0;
  cg_upnp_ssdp_server_stop(server);
  if (server->socket) {
    cg_socket_delete(server->socket);  // closes it
    server->socket = nullptr;
  }
  return 1;
}

void cg_upnp_ssdp_server_action(cg_thread* thread) {
  auto* server = static_cast<cg_upnp_ssdp_server*>(cg_thread_get_user_data(thread));
  if (!server || !server->socket) return;
  cg_upnp_ssdp_packet* packet = cg_upnp_ssdp_packet_new();
  if (!packet) return;
  cg_upnp_ssdp_packet_set_user_data(packet, server->user_data);
  int fd = cg_socket_get_fd(server->socket);
  // An empty datagram or a failed receive does not end the listener: only
  // a stop does.
  while (cg_thread_is_runnable(thread)) {
    if (cg_thread_wait_fd(thread, fd, POLLIN, CG_WAIT_FOREVER, nullptr) != CG_WAIT_READY) {
      continue;  // woken: the loop tests for a stop
    }
    int received = cg_upnp_ssdp_packet_receive(server->socket, packet);
    if (!cg_thread_is_runnable(thread)) break;
    if (received > 0) {
      if (server->listener) server->listener(packet);
    } else {
      cg_thread_wait(thread, kFailedReceivePauseMs);
    }
    cg_upnp_ssdp_packet_clear(packet);
  }
  cg_upnp_ssdp_packet_delete(packet);
}

int cg_upnp_ssdp_server_start(cg_upnp_ssdp_server* server) {
  if (!server || server->thread) return 0;
  cg_thread* thread = cg_thread_new();
  if (!thread) return 0;
  cg_thread_set_action(thread, cg_upnp_ssdp_server_action);
  cg_thread_set_user_data(thread, server);
  if (!cg_thread_start(thread)) {
    cg_thread_delete(thread);  // never ran: nothing to stop
    return 0;
  }
  server->thread = thread;
  return 1;
}

int cg_upnp_ssdp_server_stop(cg_upnp_ssdp_server* server) {
  if (!server || !server->thread) return 1;
  // Returns once the action has returned: the server may go from here on.
  cg_thread_stop_and_join(server->thread);
  cg_thread_delete(server->thread);
  server->thread = nullptr;
  return 1;
}

void cg_upnp_ssdp_server_set_listener(cg_upnp_ssdp_server* server,
                                      cg_upnp_ssdp_packet_listener listener) {
  if (server) server->listener = listener;
}

void cg_upnp_ssdp_server_set_user_data(cg_upnp_ssdp_server* server, void* data) {
  if (server) server->user_data = data;
}

// ---------------------------------------------------------------------------
// Lists
// ---------------------------------------------------------------------------

cg_upnp_ssdp_server_list* cg_upnp_ssdp_server_list_new() {
  return vbd_ssdp::record_new<cg_upnp_ssdp_server>(true);
}

void cg_upnp_ssdp_server_list_clear(cg_upnp_ssdp_server_list* list) {
  if (!list) return;
  for (cg_upnp_ssdp_server* s = list_first(list); s; s = list_first(list)) {
    cg_upnp_ssdp_server_delete(s);
  }
}

void cg_upnp_ssdp_server_list_delete(cg_upnp_ssdp_server_list* list) {
  if (!list) return;
  cg_upnp_ssdp_server_list_clear(list);
  std::free(list);
}

void cg_upnp_ssdp_server_list_add(cg_upnp_ssdp_server_list* list, cg_upnp_ssdp_server* server) {
  if (!list || !server) return;
  cg_list_remove(&server->node);
  cg_list_append(&list->node, &server->node);
}

int cg_upnp_ssdp_server_list_size(const cg_upnp_ssdp_server_list* list) {
  return vbd_ssdp::list_size(list);
}

cg_upnp_ssdp_server* cg_upnp_ssdp_server_list_first(cg_upnp_ssdp_server_list* list) {
  return list_first(list);
}

cg_upnp_ssdp_server* cg_upnp_ssdp_server_next(cg_upnp_ssdp_server* server) {
  return list_next(server);
}

int cg_upnp_ssdp_server_list_open(cg_upnp_ssdp_server_list* list) {
  if (!list) return 1;
  cg_net_interface_list* interfaces = cg_net_interface_list_new();
  if (!interfaces) return 1;
  cg_net_get_host_interfaces(interfaces);
  for (cg_net_interface* netif = cg_net_interface_list_first(interfaces); netif;
       netif = cg_net_interface_next(netif)) {
    const char* address = cg_net_interface_get_address(netif);
    if (!address || !address[0]) continue;
    cg_upnp_ssdp_server* server = cg_upnp_ssdp_server_new();
    if (!server) continue;
    if (cg_upnp_ssdp_server_open(server, address)) {
      cg_upnp_ssdp_server_list_add(list, server);
    } else {
      cg_upnp_ssdp_server_delete(server);
    }
  }
  cg_net_interface_list_delete(interfaces);
  return 1;
}

int cg_upnp_ssdp_server_list_close(cg_upnp_ssdp_server_list* list) {
  for (cg_upnp_ssdp_server* s = list_first(list); s; s = list_next(s)) {
    cg_upnp_ssdp_server_close(s);
  }
  return 1;
}

int cg_upnp_ssdp_server_list_start(cg_upnp_ssdp_server_list* list) {
  for (cg_upnp_ssdp_server* s = list_first(list); s; s = list_next(s)) {
    cg_upnp_ssdp_server_start(s);
  }
  return 1;
}

int cg_upnp_ssdp_server_list_stop(cg_upnp_ssdp_server_list* list) {
  for (cg_upnp_ssdp_server* s = list_first(list); s; s = list_next(s)) {
    cg_upnp_ssdp_server_stop(s);
  }
  return 1;
}

void cg_upnp_ssdp_server_list_set_listener(cg_upnp_ssdp_server_list* list,
                                           cg_upnp_ssdp_packet_listener listener) {
  for (cg_upnp_ssdp_server* s = list_first(list); s; s = list_next(s)) {
    cg_upnp_ssdp_server_set_listener(s, listener);
  }
}

void cg_upnp_ssdp_server_list_set_user_data(cg_upnp_ssdp_server_list* list, void* data) {
  for (cg_upnp_ssdp_server* s = list_first(list); s; s = list_next(s)) {
    cg_upnp_ssdp_server_set_user_data(s, data);
  }
}
