// Service start and stop: the control server, which the program cannot do
// without, is bound and listening before discovery (optional) starts, so a
// start that cannot have its port announces nothing; the stop ends
// discovery first. The control server is opened again on another address
// when the first interface's address changes.
#include <cstdio>
#include <string>

#include "app/controlapp.h"
#include "app/lifecycle.h"
#include "net/net.h"
#include "velProtocol/ssdp_server/ssdp_server.h"

namespace {

// The control server's port and the address it listens on ("": every
// address, when there was no interface address at the start). Only the
// main thread uses them.
int server_port = 0;
std::string server_address;

// Creates, opens and starts a control server and makes it the glue's; none
// when any of it fails.
vel_protocol_server* open_control_server(int port, const char* address) {
  vel_protocol_server* server = vel_protocol_server_new();
  if (!server) return nullptr;
  if (!vel_protocol_server_open(server, port, address)) {
    vel_protocol_server_delete(server);
    return nullptr;
  }
  vel_protocol_server_set_connection_callback(server, controlapp_connection_callback);
  vel_protocol_server_set_request_callback(server, controlapp_request_callback);
  controlapp_set_server(server);
  if (!vel_protocol_server_start(server)) {
    controlapp_set_server(nullptr);
    vel_protocol_server_delete(server);
    return nullptr;
  }
  printf("listening on %s:%d\n", (address && *address) ? address : "0.0.0.0", port);
  return server;
}

// Unhooks the glue's server and deletes it: a push in progress ends before
// the server is deleted, and later pushes drop their texts.
void close_control_server() {
  vel_protocol_server* server = controlapp_server;
  if (!server) return;
  controlapp_set_server(nullptr);
  vel_protocol_server_delete(server);
}

}  // namespace

int vel_server_start(int port) {
  // The first usable interface; only without one the server listens on
  // every address, until an address comes.
  const char* address = cg_net_first_interface_address();
  if (!open_control_server(port, address)) return 0;
  server_port = port;
  server_address = address ? address : "";

  // Clients are served while the first announcement goes out (a large
  // description takes long); its failure only prints a line.
  controlapp_discovery_start();
  return 1;
}

const char* vel_server_address() { return server_address.c_str(); }

int vel_server_reopen(const char* address) {
  if (!address || !*address || server_port == 0) return 0;
  // The old address is gone, and its client with it; the new socket cannot
  // be bound while a wildcard one listens on the same port, so the old one
  // closes first.
  close_control_server();
  if (!open_control_server(server_port, address)) return 0;
  server_address = address;
  return 1;
}

void vel_server_stop() {
  controlapp_discovery_stop();
  close_control_server();
}
