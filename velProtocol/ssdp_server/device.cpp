// The device record: creation, deletion, device lists, accessors, the UDN
// and the location URL.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velProtocol/ssdp_server/ssdp_internal.h"

using vbd_ssdp::list_first;
using vbd_ssdp::list_next;

cg_upnp_device* cg_upnp_device_new() {
  auto* dev = vbd_ssdp::record_new<cg_upnp_device>(false);
  if (!dev) return nullptr;
  dev->device_list = cg_upnp_device_list_new();
  dev->service_list = cg_upnp_service_list_new();
  dev->icon_list = cg_upnp_icon_list_new();
  dev->mutex = cg_mutex_new();
  dev->http_server_list = cg_http_server_list_new();
  dev->ssdp_server_list = cg_upnp_ssdp_server_list_new();
  dev->advertiser = cg_thread_new();
  dev->description_uri = cg_string_new();
  dev->search_guard = vbd_ssdp::search_guard_new();
  if (!dev->device_list || !dev->service_list || !dev->icon_list || !dev->mutex ||
      !dev->http_server_list || !dev->ssdp_server_list || !dev->advertiser ||
      !dev->description_uri || !dev->search_guard) {
    cg_upnp_device_delete(dev);
    return nullptr;
  }
  cg_string_set(dev->description_uri, CG_UPNP_DEVICE_DEFAULT_DESCRIPTION_URI);
  dev->lease_time = CG_UPNP_DEVICE_DEFAULT_LEASE_TIME;
  dev->http_port = CG_UPNP_DEVICE_HTTP_DEFAULT_PORT;
  return dev;
}

void cg_upnp_device_delete(cg_upnp_device* dev) {
  if (!dev) return;
  // The threads end before anything they read is freed: the advertiser,
  // then the servers (a device still running is torn down without byebye).
  cg_thread_stop_and_join(dev->advertiser);
  if (dev->http_server_list) cg_http_server_list_delete(dev->http_server_list);
  cg_upnp_ssdp_server_list_delete(dev->ssdp_server_list);
  cg_list_remove(&dev->node);
  cg_net_interface_list_delete(dev->interface_cache);
  dev->interface_cache = nullptr;
  cg_upnp_device_clear_description(dev);
  vbd_ssdp::description_cache_delete(dev->description_cache);
  cg_upnp_device_list_delete(dev->device_list);
  cg_upnp_service_list_delete(dev->service_list);
  cg_upnp_icon_list_delete(dev->icon_list);
  if (dev->mutex) cg_mutex_delete(dev->mutex);
  if (dev->advertiser) cg_thread_delete(dev->advertiser);
  cg_string_delete(dev->description_uri);
  vbd_ssdp::search_guard_delete(dev->search_guard);
  std::free(dev);
}

cg_upnp_device_list* cg_upnp_device_list_new() {
  return vbd_ssdp::record_new<cg_upnp_device>(true);
}

void cg_upnp_device_list_clear(cg_upnp_device_list* list) {
  if (!list) return;
  for (cg_upnp_device* dev = list_first(list); dev; dev = list_first(list)) {
    cg_upnp_device_delete(dev);
  }
}

void cg_upnp_device_list_delete(cg_upnp_device_list* list) {
  if (!list) return;
  cg_upnp_device_list_clear(list);
  std::free(list);
}

void cg_upnp_device_list_add(cg_upnp_device_list* list, cg_upnp_device* dev) {
  if (!list || !dev) return;
  cg_list_remove(&dev->node);
  cg_list_append(&list->node, &dev->node);
}

int cg_upnp_device_list_size(const cg_upnp_device_list* list) { return vbd_ssdp::list_size(list); }
cg_upnp_device* cg_upnp_device_list_first(cg_upnp_device_list* list) { return list_first(list); }
cg_upnp_device* cg_upnp_device_next(cg_upnp_device* dev) { return list_next(dev); }

cg_xml_node* cg_upnp_device_get_device_node(const cg_upnp_device* dev) {
  return dev ? dev->device_node : nullptr;
}

cg_xml_node* cg_upnp_device_get_root_node(const cg_upnp_device* dev) {
  if (!dev || !dev->root_node_list) return nullptr;
  return cg_xml_node_list_first(dev->root_node_list);
}

int cg_upnp_device_is_root(const cg_upnp_device* dev) { return dev && dev->root_node_list ? 1 : 0; }

cg_upnp_device* cg_upnp_device_get_parent(const cg_upnp_device* dev) {
  return dev ? dev->parent : nullptr;
}

cg_upnp_device* cg_upnp_device_get_root_device(cg_upnp_device* dev) {
  if (!dev) return nullptr;
  while (dev->parent) dev = dev->parent;
  return dev;
}

cg_upnp_device_list* cg_upnp_device_get_device_list(cg_upnp_device* dev) {
  return dev ? dev->device_list : nullptr;
}

cg_upnp_service_list* cg_upnp_device_get_service_list(cg_upnp_device* dev) {
  return dev ? dev->service_list : nullptr;
}

cg_upnp_icon_list* cg_upnp_device_get_icon_list(cg_upnp_device* dev) {
  return dev ? dev->icon_list : nullptr;
}

char* cg_upnp_device_get_udn(cg_upnp_device* dev) {
  if (!dev) return nullptr;
  char* udn = cg_xml_node_get_child_value(dev->device_node, "UDN");
  if (!udn) return nullptr;
  // The loader lower-cases every UDN once, so readers on other threads find
  // nothing to change and never write into the shared document.
  for (const char* c = udn; *c; c++) {
    if (*c >= 'A' && *c <= 'Z') {
      cg_str_to_lower(udn);
      break;
    }
  }
  return udn;
}

char* cg_upnp_device_get_device_type(cg_upnp_device* dev) {
  return dev ? cg_xml_node_get_child_value(dev->device_node, "deviceType") : nullptr;
}

char* cg_upnp_device_get_location_url(cg_upnp_device* dev, const char* local_address, char* buffer,
                                      int size) {
  if (!dev || !local_address || !buffer || size <= 0) return nullptr;
  const char* uri = cg_upnp_device_get_description_uri(dev);
  // "http://" "[" address "]" ":" port uri and the NUL.
  size_t needed = 7 + 2 + std::strlen(local_address) + 1 + 11 + std::strlen(uri) + 1;
  if (needed > static_cast<size_t>(size)) {
    buffer[0] = '\0';
    return nullptr;
  }
  return cg_url_build(local_address, dev->http_port, uri, buffer, size);
}

void cg_upnp_device_set_lease_time(cg_upnp_device* dev, int seconds) {
  if (dev) dev->lease_time = seconds;
}

int cg_upnp_device_get_lease_time(const cg_upnp_device* dev) { return dev ? dev->lease_time : 0; }

void cg_upnp_device_set_http_port(cg_upnp_device* dev, int port) {
  if (dev) dev->http_port = port;
}

int cg_upnp_device_get_http_port(const cg_upnp_device* dev) { return dev ? dev->http_port : 0; }

void cg_upnp_device_set_description_uri(cg_upnp_device* dev, const char* uri) {
  if (dev && uri) cg_string_set(dev->description_uri, uri);
}

const char* cg_upnp_device_get_description_uri(const cg_upnp_device* dev) {
  const char* uri = dev ? cg_string_value(dev->description_uri) : nullptr;
  return uri ? uri : "";
}

void cg_upnp_device_set_http_listener(cg_upnp_device* dev, cg_http_listener listener) {
  if (dev) dev->http_listener = listener;
}

cg_http_listener cg_upnp_device_get_http_listener(const cg_upnp_device* dev) {
  return dev ? dev->http_listener : nullptr;
}
