// The SSDP listeners: one multicast socket on port 1900 per interface
// address, each read by a thread that waits on its socket, its wake and the
// due time of its next queued search answer, hands every datagram that
// arrived on its interface to the device, and sends answers when they are
// due. The thread never sleeps while datagrams wait.
#include <net/if.h>
#include <poll.h>

#include <cstdlib>
#include <cstring>

#include "velProtocol/ssdp_server/ssdp_internal.h"

using vbd_ssdp::list_first;
using vbd_ssdp::list_next;

namespace {

// Pause after a failed or empty receive, so a broken socket cannot spin. A
// stop ends it at once.
constexpr int kFailedReceivePauseMs = 10;
// Datagrams read in a row before the due answers are looked at again.
constexpr int kReceiveBatch = 32;

// Index of the interface that has this IPv4 address, 0 when none has.
int interface_index_of(const char* address) {
  cg_net_interface_list* interfaces = cg_net_interface_list_new();
  if (!interfaces) return 0;
  cg_net_get_host_interfaces(interfaces);
  int index = 0;
  for (cg_net_interface* netif = cg_net_interface_list_first(interfaces); netif && !index;
       netif = cg_net_interface_next(netif)) {
    if (std::strcmp(cg_net_interface_get_address(netif), address) == 0) {
      index = static_cast<int>(if_nametoindex(cg_net_interface_get_name(netif)));
    }
  }
  cg_net_interface_list_delete(interfaces);
  return index;
}

// Whether a datagram is this listener's to hand over: a group datagram
// reaches the listener of every interface, and belongs to the one of the
// interface it arrived on. Without the arrival details, it is handed over.
bool arrived_here(const cg_upnp_ssdp_server* server, const cg_upnp_ssdp_packet* packet) {
  const cg_datagram_packet* datagram = packet->datagram;
  int arrival = cg_datagram_packet_get_interface_index(datagram);
  return !cg_datagram_packet_is_multicast(datagram) || server->interface_index == 0 ||
         arrival == 0 || arrival == server->interface_index;
}

// Sends every queued answer that is due; none once the thread is stopped.
void send_due_answers(cg_thread* thread, cg_upnp_answer_queue* queue) {
  vbd_ssdp::search_answer answer;
  while (cg_thread_is_runnable(thread) &&
         vbd_ssdp::answer_queue_take_due(queue, cg_monotonic_ms(), &answer)) {
    vbd_ssdp::send_search_answer(answer);
  }
}

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
  // The arrival interface of each datagram, to tell this interface's group
  // datagrams from the others'. Without it every datagram is handed over.
  cg_socket_set_packet_info(sock, 1);
  server->interface_index = interface_index_of(local_address);
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
  cg_upnp_answer_queue* queue = vbd_ssdp::answer_queue_new();
  if (!packet || !queue) {
    cg_upnp_ssdp_packet_delete(packet);
    vbd_ssdp::answer_queue_delete(queue);
    return;
  }
  cg_upnp_ssdp_packet_set_user_data(packet, server->user_data);
  packet->server = server;
  server->answers = queue;
  int fd = cg_socket_get_fd(server->socket);
  // An empty datagram or a failed receive does not end the listener: only
  // a stop does.
  while (cg_thread_is_runnable(thread)) {
    int wait_ms = vbd_ssdp::answer_queue_wait_ms(queue, cg_monotonic_ms());
    int woken = cg_thread_wait_fd(thread, fd, POLLIN, wait_ms < 0 ? CG_WAIT_FOREVER : wait_ms,
                                  nullptr);
    bool failed = false;
    for (int i = 0; woken == CG_WAIT_READY && i < kReceiveBatch; i++) {
      if (!cg_thread_is_runnable(thread)) break;
      int received = cg_upnp_ssdp_packet_receive(server->socket, packet);
      if (received <= 0) {
        failed = i == 0;
        break;
      }
      if (server->listener && arrived_here(server, packet)) server->listener(packet);
      cg_upnp_ssdp_packet_clear(packet);
    }
    send_due_answers(thread, queue);
    if (failed) cg_thread_wait(thread, kFailedReceivePauseMs);
  }
  // What is still waiting is dropped: a stopped listener sends nothing more.
  server->answers = nullptr;
  vbd_ssdp::answer_queue_delete(queue);
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
