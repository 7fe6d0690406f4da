// Service start and stop: the control server, which the program cannot do
// without, is bound and listening before discovery (optional) starts, so a
// start that cannot have its port announces nothing; the stop ends
// discovery first.
#include <cstdio>

#include "app/controlapp.h"
#include "app/lifecycle.h"
#include "net/net.h"
#include "velProtocol/ssdp_server/ssdp_server.h"

int vel_server_start(int port) {
  vel_protocol_server* server = vel_protocol_server_new();
  if (!server) return 0;
  // The first usable interface; none binds the wildcard address.
  const char* address = cg_net_first_interface_address();
  if (!vel_protocol_server_open(server, port, address)) {
    vel_protocol_server_delete(server);
    return 0;
  }
  vel_protocol_server_set_connection_callback(server, controlapp_connection_callback);
  vel_protocol_server_set_request_callback(server, controlapp_request_callback);
  controlapp_set_server(server);
  if (!vel_protocol_server_start(server)) {
    controlapp_set_server(nullptr);
    vel_protocol_server_delete(server);
    return 0;
  }
  printf("listening on %s:%d\n", (address && *address) ? address : "0.0.0.0", port);

  // Clients are served while the first announcement goes out (a large
  // description takes long); its failure only prints a line.
  controlapp_discovery_start();
  return 1;
}

void vel_server_stop() {
  controlapp_discovery_stop();
  vel_protocol_server* server = controlapp_server;
  if (!server) return;
  // Unhook the server first: a push in progress ends before it is deleted,
  // and later pushes drop their texts.
  controlapp_set_server(nullptr);
  vel_protocol_server_delete(server);
}
