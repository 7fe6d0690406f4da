// cg_http_server_list: one HTTP server per interface address, all on one
// port, and the platform token of the server identification.
#include <cerrno>
#include <cstring>

#include "http/http_internal.h"

namespace {

void delete_servers(cg_http_server_list* list) {
  while (cg_http_server* server = cg_http_server_list_first(list)) cg_http_server_delete(server);
}

}  // namespace

cg_http_server_list* cg_http_server_list_new() { return vbd_http::server_alloc(true); }

void cg_http_server_list_delete(cg_http_server_list* list) {
  if (!list) return;
  delete_servers(list);
  vbd_http::server_free(list);
}

void cg_http_server_list_add(cg_http_server_list* list, cg_http_server* server) {
  if (list && server) cg_list_append(&list->node, &server->node);
}

int cg_http_server_list_size(const cg_http_server_list* list) {
  return vbd_runtime::list_size(list);
}

cg_http_server* cg_http_server_list_first(cg_http_server_list* list) {
  return vbd_runtime::list_first(list);
}

int cg_http_server_list_open(cg_http_server_list* list, int port) {
  if (!list) return 0;
  cg_net_interface_list* interfaces = cg_net_interface_list_new();
  if (!interfaces) return 0;
  cg_net_get_host_interfaces(interfaces);
  int opened = 0;
  int error = ENETDOWN;  // no interface with an address
  for (cg_net_interface* netif = cg_net_interface_list_first(interfaces); netif;
       netif = cg_net_interface_next(netif)) {
    const char* address = cg_net_interface_get_address(netif);
    if (!address || !address[0]) continue;
    cg_http_server* server = cg_http_server_new();
    if (server && cg_http_server_open(server, port, address)) {
      cg_http_server_list_add(list, server);
      opened++;
    } else {
      error = server ? errno : ENOMEM;
      cg_http_server_delete(server);
    }
  }
  cg_net_interface_list_delete(interfaces);
  if (opened > 0) return 1;
  delete_servers(list);
  errno = error;
  return 0;
}

void cg_http_server_list_close(cg_http_server_list* list) {
  for (cg_http_server* s = cg_http_server_list_first(list); s; s = cg_http_server_next(s)) {
    cg_http_server_close(s);
  }
}

int cg_http_server_list_start(cg_http_server_list* list) {
  int all = 1;
  for (cg_http_server* s = cg_http_server_list_first(list); s; s = cg_http_server_next(s)) {
    if (!cg_http_server_start(s)) all = 0;
  }
  return all;
}

void cg_http_server_list_stop(cg_http_server_list* list) {
  for (cg_http_server* s = cg_http_server_list_first(list); s; s = cg_http_server_next(s)) {
    cg_http_server_stop(s);
  }
}

void cg_http_server_list_set_listener(cg_http_server_list* list, cg_http_listener listener) {
  for (cg_http_server* s = cg_http_server_list_first(list); s; s = cg_http_server_next(s)) {
    cg_http_server_set_listener(s, listener);
  }
}

void cg_http_server_list_set_user_data(cg_http_server_list* list, void* user_data) {
  for (cg_http_server* s = cg_http_server_list_first(list); s; s = cg_http_server_next(s)) {
    cg_http_server_set_user_data(s, user_data);
  }
}

char* cg_http_server_platform_name(char* buffer) {
  if (!buffer) return nullptr;
  std::memcpy(buffer, CG_HTTP_SERVER_PLATFORM_NAME, std::strlen(CG_HTTP_SERVER_PLATFORM_NAME) + 1);
  return buffer;
}
