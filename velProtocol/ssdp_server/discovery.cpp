// The application's discovery start and stop: one root device from the
// description file in the working directory. Discovery is optional; a
// failure prints one line and the control service goes on without it.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "velProtocol/ssdp_server/ssdp_server.h"

cg_upnp_device* controlapp_device = nullptr;

void controlapp_discovery_start() {
  controlapp_device = cg_upnp_device_new();
  if (!controlapp_device) return;
  if (!loaddescriptionfile(controlapp_device, CG_UPNP_DESCRIPTION_FILE)) {
    std::printf("loaddescriptionfile() error\n");
    std::fflush(stdout);
    cg_upnp_device_delete(controlapp_device);
    controlapp_device = nullptr;
    return;
  }
  cg_upnp_device_set_lease_time(controlapp_device, CG_UPNP_DEVICE_DEFAULT_LEASE_TIME);
  if (!cg_upnp_device_start(controlapp_device)) {
    int error = errno;
    std::printf("cg_upnp_device_start() error\n");
    const char* address = cg_net_first_interface_address();
    std::printf("no description server on port %d (first interface %s): %s\n",
                cg_upnp_device_get_http_port(controlapp_device), (address && *address) ? address : "none",
                std::strerror(error));
    std::fflush(stdout);
    cg_upnp_device_delete(controlapp_device);
    controlapp_device = nullptr;
  }
}

void controlapp_discovery_stop() {
  if (!controlapp_device) return;
  cg_upnp_device_stop(controlapp_device);
  cg_upnp_device_delete(controlapp_device);
  controlapp_device = nullptr;
}
