// Loading the description file and building the device tree from it:
// embedded devices, services and icons, and the UDN when the file has none.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "velProtocol/ssdp_server/ssdp_internal.h"

namespace {

// Line numbers quoted by the load diagnostics.
constexpr int kCantLoadLine = 365;
constexpr int kParseErrorLine = 379;

// Embedded devices nested deeper than this are left out of the tree, so a
// pathological description cannot exhaust the stack of the recursive walks.
constexpr int kMaxDeviceDepth = 32;

bool name_is(cg_xml_node* node, const char* name) {
  const char* node_name = cg_xml_node_get_name(node);
  return node_name && std::strcmp(node_name, name) == 0;
}

int device_depth(const cg_upnp_device* dev) {
  int depth = 0;
  for (; dev && dev->parent; dev = dev->parent) depth++;
  return depth;
}

void build_embedded_devices(cg_upnp_device* dev) {
  cg_upnp_device_list_clear(dev->device_list);
  cg_xml_node* list = cg_xml_node_find_child(dev->device_node, "deviceList");
  if (!list || device_depth(dev) >= kMaxDeviceDepth) return;
  for (cg_xml_node* child = cg_xml_node_list_first(cg_xml_node_get_children(list)); child;
       child = cg_xml_node_next(child)) {
    if (!name_is(child, "device")) continue;
    cg_upnp_device* embedded = cg_upnp_device_new();
    if (!embedded) continue;
    embedded->lease_time = dev->lease_time;
    cg_upnp_device_set_description_uri(embedded, cg_upnp_device_get_description_uri(dev));
    embedded->http_port = dev->http_port;
    embedded->parent = dev;
    cg_upnp_device_list_add(dev->device_list, embedded);
    cg_upnp_device_set_device_node(embedded, child);
  }
}

void build_services(cg_upnp_device* dev) {
  cg_upnp_service_list_clear(dev->service_list);
  cg_xml_node* list = cg_xml_node_find_child(dev->device_node, "serviceList");
  if (!list) return;
  for (cg_xml_node* child = cg_xml_node_list_first(cg_xml_node_get_children(list)); child;
       child = cg_xml_node_next(child)) {
    if (!name_is(child, "service")) continue;
    cg_upnp_service* service = cg_upnp_service_new(child);
    if (!service) continue;
    cg_upnp_service_list_add(dev->service_list, service);
    service->parent_device = dev;
  }
}

void build_icons(cg_upnp_device* dev) {
  cg_upnp_icon_list_clear(dev->icon_list);
  cg_xml_node* list = cg_xml_node_find_child(dev->device_node, "iconList");
  if (!list) return;
  for (cg_xml_node* child = cg_xml_node_list_first(cg_xml_node_get_children(list)); child;
       child = cg_xml_node_next(child)) {
    if (!name_is(child, "icon")) continue;
    cg_upnp_icon* icon = cg_upnp_icon_new(child);
    if (icon) cg_upnp_icon_list_add(dev->icon_list, icon);
  }
}

}  // namespace

void cg_upnp_device_set_device_node(cg_upnp_device* dev, cg_xml_node* node) {
  if (!dev) return;
  cg_upnp_device_description_changed(dev);
  dev->device_node = node;
  // Reading the UDN lower-cases it in the document, once, before any server
  // thread can read the tree.
  cg_upnp_device_get_udn(dev);
  build_embedded_devices(dev);
  build_services(dev);
  build_icons(dev);
}

void cg_upnp_device_clear_description(cg_upnp_device* dev) {
  if (!dev) return;
  cg_upnp_device_description_changed(dev);
  if (dev->root_node_list) {
    cg_xml_node_list_delete(dev->root_node_list);
    dev->root_node_list = nullptr;
  }
  dev->device_node = nullptr;
  cg_upnp_device_list_clear(dev->device_list);
  cg_upnp_service_list_clear(dev->service_list);
  cg_upnp_icon_list_clear(dev->icon_list);
}

int upnp_device_parsedescription(cg_upnp_device* dev, const char* text, int length) {
  if (!dev) return 0;
  cg_upnp_device_clear_description(dev);
  dev->root_node_list = cg_xml_node_list_new();
  cg_xml_parser* parser = cg_xml_parser_new();
  if (!dev->root_node_list || !parser) {
    cg_xml_parser_delete(parser);
    cg_upnp_device_clear_description(dev);
    return 0;
  }
  int parsed = cg_xml_parse(parser, dev->root_node_list, text, length);
  cg_xml_parser_delete(parser);
  cg_xml_node* root = parsed ? cg_xml_node_list_first(dev->root_node_list) : nullptr;
  cg_xml_node* device_node = root ? cg_xml_node_find_child(root, "device") : nullptr;
  if (!device_node) {
    // A failed parse leaves no half document behind either.
    cg_upnp_device_clear_description(dev);
    return 0;
  }

  dev->device_node = device_node;
  const char* udn = cg_upnp_device_get_udn(dev);
  if (!udn || !udn[0]) {
    char uuid[CG_UPNP_UUID_SIZE];
    cg_xml_node_set_child_value(device_node, "UDN", cg_upnp_create_uuid(uuid));
  }
  cg_upnp_device_set_device_node(dev, device_node);
  return 1;
}

int loaddescriptionfile(cg_upnp_device* dev, const char* path) {
  cg_file* file = cg_file_new();
  if (!file) return 0;
  cg_file_set_name(file, path);
  if (!cg_file_load(file)) {
    int error = errno;
    std::fprintf(stderr, "(%s:L%d::)Can't load %s!!\n", vbd_ssdp::kDeviceSource, kCantLoadLine,
                 path ? path : "");
    std::fprintf(stderr, "(%s:L%d::)%s: %s\n", vbd_ssdp::kDeviceSource, kCantLoadLine, path ? path : "",
                 std::strerror(error));
    cg_file_delete(file);
    return 0;
  }
  const char* content = cg_file_get_content(file);
  int length = content ? static_cast<int>(std::strlen(content)) + 1 : 0;
  if (!upnp_device_parsedescription(dev, content, length)) {
    std::fprintf(stderr, "(%s:L%d::)upnp_device_parsedescription() error !!\n",
                 vbd_ssdp::kDeviceSource, kParseErrorLine);
    cg_file_delete(file);
    return 0;
  }
  cg_file_delete(file);
  return 1;
}
