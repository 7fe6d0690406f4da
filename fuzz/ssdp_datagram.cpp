// Fuzz harness: a received SSDP datagram through the header-line reader and
// the device's search handling. Answers are captured through the transport
// seam (nothing is sent) and must be well-formed search responses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "velProtocol/ssdp_server/ssdp_server.h"

namespace {

// A root device with services, icons and an embedded device with a service.
constexpr char kDescription[] =
    "<?xml version=\"1.0\"?>\n"
    "<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
    "<deviceType>urn:schemas-vbdserver-org:device:BlurayPlayer:1</deviceType>"
    "<UDN>uuid:5F2B7C1E-8A43-4D0E-9B6A-3C1D0E7F4A21</UDN>"
    "<iconList><icon><mimetype>image/png</mimetype><url>/icon48.png</url></icon></iconList>"
    "<serviceList>"
    "<service><serviceType>urn:schemas-vbdserver-org:service:PlayerControl:1</serviceType>"
    "<SCPDURL>/PlayerControl/scpd.xml</SCPDURL></service>"
    "<service><serviceId>no type</serviceId></service>"
    "</serviceList>"
    "<deviceList><device>"
    "<deviceType>urn:schemas-vbdserver-org:device:DiscTray:1</deviceType>"
    "<UDN>uuid:5f2b7c1e-8a43-4d0e-9b6a-3c1d0e7f4a22</UDN>"
    "<serviceList><service>"
    "<serviceType>urn:schemas-vbdserver-org:service:TrayControl:1</serviceType>"
    "</service></serviceList>"
    "</device><device><friendlyName>no type, no UDN</friendlyName></device></deviceList>"
    "</device></root>";

int g_answers = 0;

int capture(void*, const char* host, int port, const char* text, int length) {
  std::string_view answer(text, static_cast<size_t>(length));
  if (std::strcmp(host, "10.0.0.2") != 0 || port != 1900) std::abort();
  if (answer.substr(0, 17) != "HTTP/1.1 200 OK\r\n") std::abort();
  if (answer.size() < 4 || answer.substr(answer.size() - 4) != "\r\n\r\n") std::abort();
  if (answer.find("\r\nLocation: http://10.0.0.1:38400/description.xml\r\n") ==
      std::string_view::npos) {
    std::abort();
  }
  g_answers++;
  return length;
}

int always_local(void*, const char*) { return 1; }

cg_upnp_device* device() {
  static cg_upnp_device* dev = [] {
    cg_upnp_ssdp_transport transport{};
    transport.send = capture;
    transport.peer_is_local = always_local;
    cg_upnp_ssdp_set_transport(&transport);
    cg_upnp_device* d = cg_upnp_device_new();
    if (!d || !upnp_device_parsedescription(d, kDescription, sizeof(kDescription))) std::abort();
    return d;
  }();
  return dev;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cg_upnp_device* dev = device();
  // A listener reads at most this much of a datagram.
  if (size > CG_UPNP_SSDP_RECEIVE_SIZE) size = CG_UPNP_SSDP_RECEIVE_SIZE;

  cg_upnp_ssdp_packet* packet = cg_upnp_ssdp_packet_new();
  if (!packet) return 0;
  cg_datagram_packet* datagram = cg_upnp_ssdp_packet_get_datagram(packet);
  cg_datagram_packet_set_data(datagram, reinterpret_cast<const char*>(data),
                              static_cast<int>(size));
  cg_datagram_packet_set_local_address(datagram, "10.0.0.1");
  cg_datagram_packet_set_remote_address(datagram, "10.0.0.2");
  cg_datagram_packet_set_remote_port(datagram, 1900);
  cg_upnp_ssdp_packet_set_user_data(packet, dev);
  cg_upnp_ssdp_packet_parse_headers(packet);

  // Every header has a name and a value without trailing delimiters.
  for (cg_http_header* h = cg_http_header_list_first(packet->header_list); h;
       h = cg_http_header_next(h)) {
    const char* name = cg_http_header_get_name(h);
    const char* value = cg_http_header_get_value(h);
    if (!name || !name[0] || !value || std::strpbrk(name, "\r\n :")) std::abort();
    size_t n = std::strlen(value);
    if (n > 0 && std::strchr("\r\n :", value[n - 1])) std::abort();
  }

  int mx = -1;
  int is_search = cg_upnp_ssdp_packet_is_search_request(packet, &mx);
  if (is_search && (mx < 0 || mx > CG_UPNP_SSDP_MAX_MX)) std::abort();
  g_answers = 0;
  cg_upnp_device_ssdplistener(packet);
  if (!is_search && g_answers != 0) std::abort();
  cg_upnp_ssdp_packet_delete(packet);
  return 0;
}
