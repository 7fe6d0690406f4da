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

// One pass of messages from one interface address: one socket (opened once,
// its multicast output on that interface) and one request whose headers
// are set again for each device and identity. Every message of a pass sets
// the same headers in the same order, so each leaves with the header order
// of a fresh request.
class pass {
 public:
  pass(const char* local_address, bool alive)
      : local_address_(local_address),
        alive_(alive),
        sock_(cg_socket_new(CG_NET_SOCKET_DGRAM)),
        request_(cg_upnp_ssdp_request_new()) {
    vbd_ssdp::open_for_interface(sock_, local_address_);
  }
  ~pass() {
    cg_upnp_ssdp_request_delete(request_);
    cg_socket_delete(sock_);
  }
  pass(const pass&) = delete;
  pass& operator=(const pass&) = delete;

  bool alive() const { return alive_; }

  // Sets the headers shared by one device's (or service's) messages: for
  // ssdp:alive Server, Cache-Control, Location and NTS; for ssdp:byebye NTS.
  // False when nothing can be sent for it (no memory, or the location does
  // not fit).
  bool prepare(int lease, cg_upnp_device* location_of) {
    if (!sock_ || !request_) return false;
    cg_http_packet* packet = cg_http_request_get_packet(request_);
    if (!alive_) {
      cg_http_packet_set_header(packet, "NTS", CG_UPNP_NTS_BYEBYE);
      return true;
    }
    char server[CG_UPNP_SERVER_NAME_SIZE];
    char location[kLocationSize];
    if (!cg_upnp_device_get_location_url(location_of, local_address_, location,
                                         sizeof(location))) {
      return false;
    }
    cg_http_packet_set_header(packet, "Server", cg_upnp_get_server_name(server, sizeof(server)));
    cg_upnp_ssdp_request_set_max_age(request_, lease);
    cg_http_packet_set_header(packet, "Location", location);
    cg_http_packet_set_header(packet, "NTS", CG_UPNP_NTS_ALIVE);
    return true;
  }

  // One message; nothing when the calling thread is being stopped. An alive
  // message is followed by the pause between announcements.
  int send(const identity& id) {
    if (!vbd_ssdp::calling_thread_may_go_on()) return 0;
    cg_http_packet* packet = cg_http_request_get_packet(request_);
    cg_http_packet_set_header(packet, "NT", id.nt);
    cg_http_packet_set_header(packet, "USN", id.usn);
    int result = cg_upnp_ssdp_notify_from(sock_, request_, local_address_);
    if (alive_) cg_thread_pause_ms(CG_UPNP_SSDP_ALIVE_PAUSE_MS);
    return result;
  }

 private:
  const char* local_address_;
  bool alive_;
  cg_socket* sock_;
  cg_upnp_ssdp_request* request_;
};

// The device's own messages (rootdevice for the root, deviceType, UDN).
int device_messages(cg_upnp_device* dev, pass& messages) {
  if (!messages.prepare(dev->lease_time, dev)) return 0;
  int result = 0;
  for (device_identity which : kDeviceMessages) {
    identity id;
    if (vbd_ssdp::make_device_identity(dev, which, &id)) result = messages.send(id);
  }
  return result;
}

int service_message(cg_upnp_service* service, pass& messages) {
  identity id;
  if (!vbd_ssdp::make_service_identity(service, &id)) return 0;
  cg_upnp_device* parent = service->parent_device;
  if (!messages.prepare(parent->lease_time, cg_upnp_device_get_root_device(parent))) return 0;
  return messages.send(id);
}

// Depth first: the device's messages, its services, its embedded devices.
int subtree_messages(cg_upnp_device* dev, pass& messages) {
  int result = device_messages(dev, messages);
  for (cg_upnp_service* s = cg_upnp_service_list_first(dev->service_list); s;
       s = cg_upnp_service_next(s)) {
    service_message(s, messages);
  }
  for (cg_upnp_device* child = cg_upnp_device_list_first(dev->device_list); child;
       child = cg_upnp_device_next(child)) {
    subtree_messages(child, messages);
  }
  return result;
}

int subtree_pass(cg_upnp_device* dev, const char* local_address, bool alive) {
  if (!dev || !local_address) return 0;
  pass messages(local_address, alive);
  return subtree_messages(dev, messages);
}

int service_pass(cg_upnp_service* service, const char* local_address, bool alive) {
  if (!service || !local_address) return 0;
  pass messages(local_address, alive);
  return service_message(service, messages);
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
      subtree_pass(dev, address, alive);
    }
  }
  cg_net_interface_list_delete(interfaces);
}

}  // namespace

int cg_upnp_device_announce_from(cg_upnp_device* dev, const char* local_address) {
  return subtree_pass(dev, local_address, true);
}

int cg_upnp_device_byebye_from(cg_upnp_device* dev, const char* local_address) {
  return subtree_pass(dev, local_address, false);
}

int cg_upnp_service_announce_from(cg_upnp_service* service, const char* local_address) {
  return service_pass(service, local_address, true);
}

int cg_upnp_service_byebye_from(cg_upnp_service* service, const char* local_address) {
  return service_pass(service, local_address, false);
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
