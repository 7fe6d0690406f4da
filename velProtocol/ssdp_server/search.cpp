// Search response: the acceptance checks of an M-SEARCH, the matching of
// its target against the device tree, and one unicast answer per match:
// queued on the listener that received the search, each due at a random
// time within the MX wait, or sent at once for a search handed over
// otherwise. Nothing here waits.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "velProtocol/ssdp_server/ssdp_internal.h"

using vbd_ssdp::device_identity;
using vbd_ssdp::identity;
using vbd_ssdp::search_answer;

namespace {

constexpr int kMxStepMs = 250;  // the MX wait is at most MX quarter seconds
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

// What a search target matches in a device subtree, in the order answers
// go: the device's own identities, its services, then its embedded devices.
// Each match is handed to found with the device whose lease it carries.
template <typename Found>
void match_service(cg_upnp_service* service, const char* st, Found& found) {
  identity id;
  if (!st || !vbd_ssdp::make_service_identity(service, &id)) return;
  if (contains(st, CG_UPNP_ST_ALL_DEVICE) || (contains(st, "urn") && std::strcmp(st, id.nt) == 0)) {
    found(service->parent_device, id);
  }
}

template <typename Found>
void match_device(cg_upnp_device* dev, const char* st, Found& found) {
  identity id;
  if (contains(st, CG_UPNP_ST_ALL_DEVICE)) {
    for (device_identity which :
         {device_identity::root, device_identity::type, device_identity::udn}) {
      if (vbd_ssdp::make_device_identity(dev, which, &id)) found(dev, id);
    }
  } else if (contains(st, CG_UPNP_ST_ROOT_DEVICE)) {
    if (vbd_ssdp::make_device_identity(dev, device_identity::root, &id)) found(dev, id);
  } else if (contains(st, "uuid")) {
    if (vbd_ssdp::make_device_identity(dev, device_identity::udn, &id) &&
        std::strcmp(st, id.nt) == 0) {
      found(dev, id);
    }
  } else if (contains(st, "urn")) {
    if (vbd_ssdp::make_device_identity(dev, device_identity::type, &id) &&
        std::strcmp(st, id.nt) == 0) {
      found(dev, id);
    }
  }
  for (cg_upnp_service* s = cg_upnp_service_list_first(dev->service_list); s;
       s = cg_upnp_service_next(s)) {
    match_service(s, st, found);
  }
  for (cg_upnp_device* child = cg_upnp_device_list_first(dev->device_list); child;
       child = cg_upnp_device_next(child)) {
    match_device(child, st, found);
  }
}

// Fills an answer to the packet's sender for one identity; false when the
// location does not fit or a text is too long.
bool make_answer(cg_upnp_device* dev, cg_upnp_ssdp_packet* packet, const char* st,
                 const char* usn, search_answer* out) {
  cg_upnp_device* root = cg_upnp_device_get_root_device(dev);
  const char* local_address = cg_datagram_packet_get_local_address(packet->datagram);
  if (!cg_upnp_device_get_location_url(root, local_address, out->location,
                                       sizeof(out->location))) {
    return false;
  }
  const char* host = cg_datagram_packet_get_remote_address(packet->datagram);
  int n = std::snprintf(out->host, sizeof(out->host), "%s", host);
  int m = std::snprintf(out->st, sizeof(out->st), "%s", st);
  int k = std::snprintf(out->usn, sizeof(out->usn), "%s", usn);
  if (n < 0 || m < 0 || k < 0 || n >= static_cast<int>(sizeof(out->host)) ||
      m >= static_cast<int>(sizeof(out->st)) || k >= static_cast<int>(sizeof(out->usn))) {
    return false;
  }
  out->port = cg_datagram_packet_get_remote_port(packet->datagram);
  out->lease = dev->lease_time;
  out->due_ms = 0;
  return true;
}

// Answers each match at once.
struct post_now {
  cg_upnp_ssdp_packet* packet;
  void operator()(cg_upnp_device* owner, const identity& id) const {
    cg_upnp_device_post_search_response(owner, packet, id.nt, id.usn);
  }
};

// Queues the answers on the listener that received the search, within what
// the root device's guard lets through. No search gets more answers than
// one source may have in a second, so only that many are kept; the rest
// count as over the cap.
void answer_later(cg_upnp_device* dev, cg_upnp_ssdp_packet* packet, const char* st, int mx) {
  cg_upnp_answer_queue* queue = packet->server->answers;
  cg_upnp_device* root = cg_upnp_device_get_root_device(dev);
  search_answer answers[CG_UPNP_SSDP_ANSWERS_PER_SOURCE];
  int wanted = 0;
  auto found = [&](cg_upnp_device* owner, const identity& id) {
    search_answer spare;
    search_answer* into = wanted < CG_UPNP_SSDP_ANSWERS_PER_SOURCE ? &answers[wanted] : &spare;
    if (make_answer(owner, packet, id.nt, id.usn, into)) wanted++;
  };
  match_device(dev, st, found);
  if (wanted == 0) return;

  const int window_ms = mx * kMxStepMs;
  const int64_t now = cg_monotonic_ms();
  int admitted = vbd_ssdp::search_guard_admit(
      root->search_guard, now, cg_datagram_packet_get_remote_address(packet->datagram),
      cg_datagram_packet_get_remote_port(packet->datagram), st, window_ms, wanted);
  if (admitted > CG_UPNP_SSDP_ANSWERS_PER_SOURCE) admitted = CG_UPNP_SSDP_ANSWERS_PER_SOURCE;
  // Each answer is due at a random time within the window; the times are
  // sorted so that the answers keep the order of the device tree.
  int offsets[CG_UPNP_SSDP_ANSWERS_PER_SOURCE];
  for (int i = 0; i < admitted; i++) {
    int offset = vbd_ssdp::transport_is_seamed() ? 0 : cg_random_ms(window_ms);
    int at = i;
    for (; at > 0 && offsets[at - 1] > offset; at--) offsets[at] = offsets[at - 1];
    offsets[at] = offset;
  }
  for (int i = 0; i < admitted; i++) {
    answers[i].due_ms = now + offsets[i];
    // A full queue (never, within the caps) drops the rest.
    if (!vbd_ssdp::answer_queue_add(queue, answers[i])) break;
  }
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
  int mx = 0;
  if (check) {
    if (!cg_upnp_ssdp_packet_is_search_request(packet, &mx)) return;
    // Answers go only to searchers on the host's own subnets: a forged
    // source address elsewhere must not turn the device into a reflector.
    if (!vbd_ssdp::peer_is_local(cg_datagram_packet_get_remote_address(packet->datagram))) {
      return;
    }
  }
  const char* st = cg_upnp_ssdp_packet_get_header_value(packet, "ST");
  if (!st || !st[0]) return;
  if (check && packet->server && packet->server->answers) {
    answer_later(dev, packet, st, mx);
  } else {
    post_now found{packet};
    match_device(dev, st, found);
  }
}

void cg_upnp_service_search_received(cg_upnp_service* service, cg_upnp_ssdp_packet* packet) {
  if (!service || !packet) return;
  const char* st = cg_upnp_ssdp_packet_get_header_value(packet, "ST");
  post_now found{packet};
  match_service(service, st, found);
}

int cg_upnp_device_post_search_response(cg_upnp_device* dev, cg_upnp_ssdp_packet* packet,
                                        const char* st, const char* usn) {
  if (!dev || !packet || !st || !usn) return 1;
  search_answer answer;
  if (!make_answer(dev, packet, st, usn, &answer)) return 1;
  // A thread being stopped sends nothing more.
  if (vbd_ssdp::calling_thread_may_go_on()) vbd_ssdp::send_search_answer(answer);
  return 1;
}

int vbd_ssdp::send_search_answer(const search_answer& answer) {
  char date[kDateSize];
  char server[CG_UPNP_SERVER_NAME_SIZE];
  cg_upnp_ssdp_response* response = cg_upnp_ssdp_response_new();
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_DGRAM);
  int sent = 0;
  if (response && sock) {
    cg_http_packet* headers = cg_http_response_get_packet(response);
    cg_upnp_ssdp_response_set_max_age(response, answer.lease);
    cg_http_packet_set_header(headers, "Date", cg_http_date(cg_current_time(), date));
    cg_http_packet_set_header(headers, "ST", answer.st);
    cg_http_packet_set_header(headers, "EXT", "");
    cg_http_packet_set_header(headers, "SERVER", cg_upnp_get_server_name(server, sizeof(server)));
    cg_http_packet_set_header(headers, "USN", answer.usn);
    cg_http_packet_set_header(headers, "Location", answer.location);
    sent = cg_upnp_ssdp_post_response(sock, response, answer.host, answer.port);
  }
  cg_socket_delete(sock);
  cg_upnp_ssdp_response_delete(response);
  return sent;
}
