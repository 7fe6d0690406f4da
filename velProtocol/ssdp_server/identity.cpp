// The identities a device puts on the wire: the generated UDN, the SERVER
// text and the NT/USN pairs of devices and services.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velProtocol/ssdp_server/ssdp_internal.h"

char* cg_upnp_create_uuid(char* buffer) {
  if (!buffer) return nullptr;
  // Both readings are 32-bit signed, like the clock values they come from;
  // the top bit decides the marker groups (a000 and e000 while positive).
  auto t1 = static_cast<int32_t>(cg_current_time());
  double scale = static_cast<double>(rand()) / 2147483647.0;
  auto t2 = static_cast<int32_t>(static_cast<double>(cg_current_time()) * scale);
  auto u1 = static_cast<uint32_t>(t1);
  auto u2 = static_cast<uint32_t>(t2);
  unsigned g1 = u1 & 0xFFFFu;
  unsigned g2 = ((t1 < 0 ? 0xFFFFFFFFu : 0u) | 0xA000u) & 0xFFFFu;
  unsigned g3 = u2 & 0xFFFFu;
  unsigned g4 = ((t2 < 0 ? 0xFFFFFFFFu : 0u) | 0xE000u) & 0xFFFFu;
  std::snprintf(buffer, CG_UPNP_UUID_SIZE, "%s:%04x-%04x-%04x-%04x", "uuid", g1, g2, g3, g4);
  return buffer;
}

char* cg_upnp_get_server_name(char* buffer, int size) {
  if (!buffer || size <= 0) return nullptr;
  static_assert(CG_UPNP_SERVER_NAME_SIZE >= CG_HTTP_SERVER_PLATFORM_NAME_SIZE);
  char platform[CG_UPNP_SERVER_NAME_SIZE];
  cg_http_server_platform_name(platform);
  std::snprintf(buffer, static_cast<size_t>(size), "%s", platform);
  size_t used = std::strlen(buffer);
  if (used + 1 < static_cast<size_t>(size)) {
    std::snprintf(buffer + used, static_cast<size_t>(size) - used, " UPnP/%s %s/%s",
                  CG_UPNP_UPNP_VER, CG_UPNP_NAME, CG_UPNP_VER);
  }
  return buffer;
}

namespace vbd_ssdp {

namespace {

// Formats into a 128-byte identifier; false when the text would not fit.
bool fill(char (&out)[CG_UPNP_IDENTIFIER_SIZE], const char* first, const char* second) {
  int n = second ? std::snprintf(out, sizeof(out), "%s::%s", first, second)
                 : std::snprintf(out, sizeof(out), "%s", first);
  return n >= 0 && n < static_cast<int>(sizeof(out));
}

}  // namespace

char* child_text(cg_xml_node* node, const char* name) {
  char* value = cg_xml_node_get_child_value(node, name);
  return value && value[0] ? value : nullptr;
}

bool make_device_identity(cg_upnp_device* dev, device_identity which, identity* out) {
  if (!dev || !out) return false;
  const char* udn = cg_upnp_device_get_udn(dev);
  if (!udn || !udn[0]) return false;
  switch (which) {
    case device_identity::root:
      return cg_upnp_device_is_root(dev) && fill(out->nt, CG_UPNP_ST_ROOT_DEVICE, nullptr) &&
             fill(out->usn, udn, CG_UPNP_ST_ROOT_DEVICE);
    case device_identity::type: {
      const char* type = child_text(dev->device_node, "deviceType");
      return type && fill(out->nt, type, nullptr) && fill(out->usn, udn, type);
    }
    case device_identity::udn:
      return fill(out->nt, udn, nullptr) && fill(out->usn, udn, nullptr);
  }
  return false;
}

bool make_service_identity(cg_upnp_service* service, identity* out) {
  if (!service || !out) return false;
  const char* type = child_text(service->service_node, "serviceType");
  const char* udn = cg_upnp_device_get_udn(service->parent_device);
  if (!type || !udn || !udn[0]) return false;
  return fill(out->nt, type, nullptr) && fill(out->usn, udn, type);
}

}  // namespace vbd_ssdp
