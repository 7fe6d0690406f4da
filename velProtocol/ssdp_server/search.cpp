// Search response: the acceptance checks of an M-SEARCH, the matching of
// its target against the device tree, and one unicast answer per match. The
// random waits before the answers end at once when the listener is stopped,
// and a stopped listener answers no more.
#include <cstring>
#include <initializer_list>

#include "velProtocol/ssdp_server/ssdp_internal.h"

using vbd_ssdp::device_identity;
using vbd_ssdp::identity;

namespace {

constexpr int kMxStepMs = 250;         // the MX wait is at most MX quarter seconds
constexpr int kResponseSpreadMs = 20;  // random pause before each answer
constexpr int kLocationSize = 512;
constexpr int kDateSize = 128;
constexpr const char* kSearchHost = "239.255.255.250:1900";
constexpr const char* kDiscoverMan = "\"ssdp:discover\"";

bool contains(const char* text, const char* part) {
  return text && std::strstr(text, part) != nullptr;
}

// MX made only of decimal digits, read without overflow and limited.
bool read_mx(const char* text, int* mx) {
  if (!text || !text[0]) return false;
  int value = 0;
  for (const char* c = text; *c; c++) {
    if (*c < '0' || *c > '9') return false;
    if (value <= CG_UPNP_SSDP_MAX_MX) value = value * 10 + (*c - '0');
  }
  *mx = value > CG_UPNP_SSDP_MAX_MX ? CG_UPNP_SSDP_MAX_MX : value;
  return true;
}

void respond(cg_upnp_device* dev, cg_upnp_ssdp_packet* packet, const identity& id) {
  cg_upnp_device_post_search_response(dev, packet, id.nt, id.usn);
}

}  // namespace

int cg_upnp_ssdp_packet_is_search_request(cg_upnp_ssdp_packet* packet, int* mx) {
  if (!packet) return 0;
  const char* data = cg_datagram_packet_get_data(packet->datagram);
  if (!contains(data, "M-SEARCH") || !contains(data, "*") || !contains(data, "HTTP/1.1")) {
    return 0;
  }
  const char* host = cg_upnp_ssdp_packet_get_header_value(packet, "HOST");
  if (!host || std::strcmp(host, kSearchHost) != 0) return 0;
  const char* man = cg_upnp_ssdp_packet_get_header_value(packet, "MAN");
  if (!man || std::strncmp(man, kDiscoverMan, std::strlen(kDiscoverMan)) != 0) return 0;
  int value = 0;
  if (!read_mx(cg_upnp_ssdp_packet_get_header_value(packet, "MX"), &value)) return 0;
  const char* st = cg_upnp_ssdp_packet_get_header_value(packet, "ST");
  if (!st || !st[0]) return 0;
  if (mx) *mx = value;
  return 1;
}

void cg_upnp_device_ssdplistener(cg_upnp_ssdp_packet* packet) {
  auto* dev = static_cast<cg_upnp_device*>(cg_upnp_ssdp_packet_get_user_data(packet));
  if (dev) cg_upnp_device_search_received(dev, packet, 1);
}

void cg_upnp_device_search_received(cg_upnp_device* dev, cg_upnp_ssdp_packet* packet, int check) {
  if (!dev || !packet) return;
  if (check) {
    int mx = 0;
    if (!cg_upnp_ssdp_packet_is_search_request(packet, &mx)) return;
    // Answers go only to searchers on the host's own subnets: a forged
    // source address elsewhere must not turn the device into a reflector.
    if (!vbd_ssdp::peer_is_local(cg_datagram_packet_get_remote_address(packet->datagram))) {
      return;
    }
    if (!vbd_ssdp::transport_is_seamed() && !vbd_ssdp::pause_random_ms(mx * kMxStepMs)) return;
  }
  const char* st = cg_upnp_ssdp_packet_get_header_value(packet, "ST");
  if (!st || !st[0]) return;

  identity id;
  if (contains(st, CG_UPNP_ST_ALL_DEVICE)) {
    for (device_identity which :
         {device_identity::root, device_identity::type, device_identity::udn}) {
      if (vbd_ssdp::make_device_identity(dev, which, &id)) respond(dev, packet, id);
    }
  } else if (contains(st, CG_UPNP_ST_ROOT_DEVICE)) {
    if (vbd_ssdp::make_device_identity(dev, device_identity::root, &id)) respond(dev, packet, id);
  } else if (contains(st, "uuid")) {
    if (vbd_ssdp::make_device_identity(dev, device_identity::udn, &id) &&
        std::strcmp(st, id.nt) == 0) {
      respond(dev, packet, id);
    }
  } else if (contains(st, "urn")) {
    if (vbd_ssdp::make_device_identity(dev, device_identity::type, &id) &&
        std::strcmp(st, id.nt) == 0) {
      respond(dev, packet, id);
    }
  }

  for (cg_upnp_service* s = cg_upnp_service_list_first(dev->service_list); s;
       s = cg_upnp_service_next(s)) {
    cg_upnp_service_search_received(s, packet);
  }
  for (cg_upnp_device* child = cg_upnp_device_list_first(dev->device_list); child;
       child = cg_upnp_device_next(child)) {
    cg_upnp_device_search_received(child, packet, 0);
  }
}

void cg_upnp_service_search_received(cg_upnp_service* service, cg_upnp_ssdp_packet* packet) {
  if (!service || !packet) return;
  const char* st = cg_upnp_ssdp_packet_get_header_value(packet, "ST");
  identity id;
  if (!st || !vbd_ssdp::make_service_identity(service, &id)) return;
  if (contains(st, CG_UPNP_ST_ALL_DEVICE) || (contains(st, "urn") && std::strcmp(st, id.nt) == 0)) {
    respond(service->parent_device, packet, id);
  }
}

int cg_upnp_device_post_search_response(cg_upnp_device* dev, cg_upnp_ssdp_packet* packet,
                                        const char* st, const char* usn) {
  if (!dev || !packet || !st || !usn) return 1;
  cg_upnp_device* root = cg_upnp_device_get_root_device(dev);
  const char* local_address = cg_datagram_packet_get_local_address(packet->datagram);
  char location[kLocationSize];
  if (!cg_upnp_device_get_location_url(root, local_address, location, sizeof(location))) {
    return 1;
  }
  char date[kDateSize];
  char server[CG_UPNP_SERVER_NAME_SIZE];
  cg_upnp_ssdp_response* response = cg_upnp_ssdp_response_new();
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_DGRAM);
  if (response && sock) {
    cg_http_packet* headers = cg_http_response_get_packet(response);
    cg_upnp_ssdp_response_set_max_age(response, dev->lease_time);
    cg_http_packet_set_header(headers, "Date", cg_http_date(cg_current_time(), date));
    cg_http_packet_set_header(headers, "ST", st);
    cg_http_packet_set_header(headers, "EXT", "");
    cg_http_packet_set_header(headers, "SERVER", cg_upnp_get_server_name(server, sizeof(server)));
    cg_http_packet_set_header(headers, "USN", usn);
    cg_http_packet_set_header(headers, "Location", location);
    if (!vbd_ssdp::transport_is_seamed()) vbd_ssdp::pause_random_ms(kResponseSpreadMs);
    // A listener that is being stopped sends nothing more.
    if (vbd_ssdp::calling_thread_may_go_on()) {
      cg_upnp_ssdp_post_response(sock, response,
                                 cg_datagram_packet_get_remote_address(packet->datagram),
                                 cg_datagram_packet_get_remote_port(packet->datagram));
    }
  }
  cg_socket_delete(sock);
  cg_upnp_ssdp_response_delete(response);
  return 1;
}
