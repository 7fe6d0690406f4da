// The application's discovery start, follow and stop: one root device from
// the description file in the working directory. Discovery is optional; a
// failure prints one line and the control service goes on without it. A
// device that could not start (no interface address yet, or its port taken)
// stays loaded, and starts when the interfaces' addresses change.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "velProtocol/ssdp_server/ssdp_server.h"

cg_upnp_device* controlapp_device = nullptr;

namespace {

// The device read from the description, running or not; controlapp_device
// is the same device while it runs. Only the main thread touches either.
cg_upnp_device* loaded_device = nullptr;

bool start_loaded() {
  if (cg_upnp_device_start(loaded_device)) {
    controlapp_device = loaded_device;
    return true;
  }
  int error = errno;
  controlapp_device = nullptr;
  std::printf("cg_upnp_device_start() error\n");
  const char* address = cg_net_first_interface_address();
  std::printf("no description server on port %d (first interface %s): %s\n",
              cg_upnp_device_get_http_port(loaded_device), (address && *address) ? address : "none",
              std::strerror(error));
  std::fflush(stdout);
  return false;
}

bool any_interface_address() {
  cg_net_interface_list* interfaces = cg_net_interface_list_new();
  if (!interfaces) return false;
  bool any = cg_net_get_host_interfaces(interfaces) > 0;
  cg_net_interface_list_delete(interfaces);
  return any;
}

}  // namespace

void controlapp_discovery_start() {
  if (loaded_device) return;
  loaded_device = cg_upnp_device_new();
  if (!loaded_device) return;
  if (!loaddescriptionfile(loaded_device, CG_UPNP_DESCRIPTION_FILE)) {
    std::printf("loaddescriptionfile() error\n");
    std::fflush(stdout);
    cg_upnp_device_delete(loaded_device);
    loaded_device = nullptr;
    return;
  }
  cg_upnp_device_set_lease_time(loaded_device, CG_UPNP_DEVICE_DEFAULT_LEASE_TIME);
  start_loaded();
}

void controlapp_discovery_follow() {
  if (!loaded_device) return;
  if (!any_interface_address()) {
    // Nothing can be sent or served; the listeners' addresses are gone.
    if (controlapp_device) {
      cg_upnp_device_stop(loaded_device);
      controlapp_device = nullptr;
      std::printf("discovery paused: no interface address\n");
      std::fflush(stdout);
    }
    return;
  }
  // A start begins with a byebye pass for what was announced before, then
  // opens the servers on the addresses of now and announces them.
  if (start_loaded()) {
    std::printf("discovery restarted on the interfaces' new addresses\n");
    std::fflush(stdout);
  }
}

void controlapp_discovery_stop() {
  if (!loaded_device) return;
  if (controlapp_device) cg_upnp_device_stop(loaded_device);
  cg_upnp_device_delete(loaded_device);
  loaded_device = nullptr;
  controlapp_device = nullptr;
}
