// Announcement: the ssdp:alive and ssdp:byebye passes of a device tree on
// every interface, and the advertiser thread that repeats the alive passes.
// On a cg_thread every pause is a stoppable wait, and a thread being
// stopped sends no further message; elsewhere the pauses are plain sleeps.
#include <climits>
#include <cstdint>

#include "velProtocol/ssdp_server/ssdp_internal.h"

using vbd_ssdp::device_identity;
using vbd_ssdp::identity;

namespace {

constexpr int kAnnounceSpreadMs = 500;  // random delay before a full pass set
constexpr int kLocationSize = 512;
constexpr int64_t kMinAdvertiseIntervalMs = 1000;

constexpr device_identity kDeviceMessages[] = {device_identity::root, device_identity::type,
                                               device_identity::udn};

// Sets Server, Cache-Control, Location and NTS ssdp:alive. False when the
// location does not fit (nothing can be announced for the device then).
bool set_alive_headers(cg_upnp_ssdp_request* request, int lease, cg_upnp_device* location_of,
                       const char* local_address) {
  char server[CG_UPNP_SERVER_NAME_SIZE];
  char location[kLocationSize];
  if (!cg_upnp_device_get_location_url(location_of, local_address, location, sizeof(location))) {
    return false;
  }
  cg_http_packet* packet = cg_http_request_get_packet(request);
  cg_http_packet_set_header(packet, "Server", cg_upnp_get_server_name(server, sizeof(server)));
  cg_upnp_ssdp_request_set_max_age(request, lease);
  cg_http_packet_set_header(packet, "Location", location);
  cg_http_packet_set_header(packet, "NTS", CG_UPNP_NTS_ALIVE);
  return true;
}

// Sends nothing when the calling thread is being stopped.
int send_identity(cg_socket* sock, cg_upnp_ssdp_request* request, const identity& id,
                  const char* local_address) {
  if (!vbd_ssdp::calling_thread_may_go_on()) return 0;
  cg_http_packet* packet = cg_http_request_get_packet(request);
  cg_http_packet_set_header(packet, "NT", id.nt);
  cg_http_packet_set_header(packet, "USN", id.usn);
  return cg_upnp_ssdp_notify_from(sock, request, local_address);
}

// The device's own messages (rootdevice for the root, deviceType, UDN).
int device_messages(cg_upnp_device* dev, const char* local_address, bool alive) {
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_DGRAM);
  cg_upnp_ssdp_request* request = cg_upnp_ssdp_request_new();
  int result = 0;
  bool ready = sock && request;
  if (ready && alive) {
    ready = set_alive_headers(request, dev->lease_time, dev, local_address);
  } else if (ready) {
    cg_http_packet_set_header(cg_http_request_get_packet(request), "NTS", CG_UPNP_NTS_BYEBYE);
  }
  for (device_identity which : kDeviceMessages) {
    identity id;
    if (!ready || !vbd_ssdp::make_device_identity(dev, which, &id)) continue;
    result = send_identity(sock, request, id, local_address);
    if (alive) cg_thread_pause_ms(CG_UPNP_SSDP_ALIVE_PAUSE_MS);
  }
  cg_upnp_ssdp_request_delete(request);
  cg_socket_delete(sock);
  return result;
}

int service_message(cg_upnp_service* service, const char* local_address, bool alive) {
  identity id;
  if (!vbd_ssdp::make_service_identity(service, &id)) return 0;
  cg_upnp_device* parent = service->parent_device;
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_DGRAM);
  cg_upnp_ssdp_request* request = cg_upnp_ssdp_request_new();
  int result = 0;
  bool ready = sock && request;
  if (ready && alive) {
    ready = set_alive_headers(request, parent->lease_time, cg_upnp_device_get_root_device(parent),
                              local_address);
  } else if (ready) {
    cg_http_packet_set_header(cg_http_request_get_packet(request), "NTS", CG_UPNP_NTS_BYEBYE);
  }
  if (ready) {
    result = send_identity(sock, request, id, local_address);
    if (alive) cg_thread_pause_ms(CG_UPNP_SSDP_ALIVE_PAUSE_MS);
  }
  cg_upnp_ssdp_request_delete(request);
  cg_socket_delete(sock);
  return result;
}

// Depth first: the device's messages, its services, its embedded devices.
int subtree_messages(cg_upnp_device* dev, const char* local_address, bool alive) {
  if (!dev || !local_address) return 0;
  int result = device_messages(dev, local_address, alive);
  for (cg_upnp_service* s = cg_upnp_service_list_first(dev->service_list); s;
       s = cg_upnp_service_next(s)) {
    service_message(s, local_address, alive);
  }
  for (cg_upnp_device* child = cg_upnp_device_list_first(dev->device_list); child;
       child = cg_upnp_device_next(child)) {
    subtree_messages(child, local_address, alive);
  }
  return result;
}

// The passes for every interface address, three each, back to back.
void all_interfaces(cg_upnp_device* dev, bool alive) {
  if (!vbd_ssdp::pause_random_ms(kAnnounceSpreadMs)) return;
  int count = cg_upnp_ssdp_announce_count();
  cg_net_interface_list* interfaces = cg_net_interface_list_new();
  if (!interfaces) return;
  cg_net_get_host_interfaces(interfaces);
  for (cg_net_interface* netif = cg_net_interface_list_first(interfaces); netif;
       netif = cg_net_interface_next(netif)) {
    const char* address = cg_net_interface_get_address(netif);
    if (!address || !address[0]) continue;
    for (int pass = 0; pass < count; pass++) {
      // The advertiser leaves a pass set early when its device stops.
      if (!vbd_ssdp::calling_thread_may_go_on()) break;
      subtree_messages(dev, address, alive);
    }
  }
  cg_net_interface_list_delete(interfaces);
}

}  // namespace

int cg_upnp_device_announce_from(cg_upnp_device* dev, const char* local_address) {
  return subtree_messages(dev, local_address, true);
}

int cg_upnp_device_byebye_from(cg_upnp_device* dev, const char* local_address) {
  return subtree_messages(dev, local_address, false);
}

int cg_upnp_service_announce_from(cg_upnp_service* service, const char* local_address) {
  return service && local_address ? service_message(service, local_address, true) : 0;
}

int cg_upnp_service_byebye_from(cg_upnp_service* service, const char* local_address) {
  return service && local_address ? service_message(service, local_address, false) : 0;
}

void cg_upnp_device_announce(cg_upnp_device* dev) {
  if (dev) all_interfaces(dev, true);
}

void cg_upnp_device_byebye(cg_upnp_device* dev) {
  if (dev) all_interfaces(dev, false);
}

void cg_upnp_device_advertiser(cg_thread* thread) {
  auto* dev = static_cast<cg_upnp_device*>(cg_thread_get_user_data(thread));
  if (!dev) return;
  const int lease = cg_upnp_device_get_lease_time(cg_upnp_device_get_root_device(dev));
  const int base = lease / 4;
  while (cg_thread_is_runnable(thread)) {
    float r = cg_random_unit();
    int extra = static_cast<int>(static_cast<float>(lease) * (r * 0.25f));
    int64_t wait_ms = (static_cast<int64_t>(base) + extra) * 1000;
    if (wait_ms < kMinAdvertiseIntervalMs) wait_ms = kMinAdvertiseIntervalMs;
    // One wait on the wake for the whole interval; only a stop ends it early.
    const int64_t deadline = cg_monotonic_ms() + wait_ms;
    for (int64_t left = wait_ms; left > 0 && cg_thread_is_runnable(thread);
         left = deadline - cg_monotonic_ms()) {
      cg_thread_wait(thread, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    }
    if (!cg_thread_is_runnable(thread)) break;
    cg_upnp_device_announce(dev);
  }
}
