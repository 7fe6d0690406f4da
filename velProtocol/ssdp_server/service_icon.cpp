// Service and icon records and their lists.
#include <cstdlib>

#include "velProtocol/ssdp_server/ssdp_internal.h"

using vbd_ssdp::list_first;
using vbd_ssdp::list_next;

// ---------------------------------------------------------------------------
// Services
// ---------------------------------------------------------------------------

cg_upnp_service* cg_upnp_service_new(cg_xml_node* service_node) {
  auto* service = vbd_ssdp::record_new<cg_upnp_service>(false);
  if (!service) return nullptr;
  service->mutex = cg_mutex_new();
  if (!service->mutex) {
    std::free(service);
    return nullptr;
  }
  service->service_node = service_node;
  return service;
}

void cg_upnp_service_delete(cg_upnp_service* service) {
  if (!service) return;
  cg_list_remove(&service->node);
  if (service->scpd_node_list) cg_xml_node_list_delete(service->scpd_node_list);
  if (service->mutex) cg_mutex_delete(service->mutex);
  std::free(service);
}

cg_upnp_service_list* cg_upnp_service_list_new() {
  return vbd_ssdp::record_new<cg_upnp_service>(true);
}

void cg_upnp_service_list_clear(cg_upnp_service_list* list) {
  if (!list) return;
  for (cg_upnp_service* s = list_first(list); s; s = list_first(list)) cg_upnp_service_delete(s);
}

void cg_upnp_service_list_delete(cg_upnp_service_list* list) {
  if (!list) return;
  cg_upnp_service_list_clear(list);
  std::free(list);
}

void cg_upnp_service_list_add(cg_upnp_service_list* list, cg_upnp_service* service) {
  if (!list || !service) return;
  cg_list_remove(&service->node);
  cg_list_append(&list->node, &service->node);
}

int cg_upnp_service_list_size(const cg_upnp_service_list* list) {
  return vbd_ssdp::list_size(list);
}

cg_upnp_service* cg_upnp_service_list_first(cg_upnp_service_list* list) { return list_first(list); }

cg_upnp_service* cg_upnp_service_next(cg_upnp_service* service) { return list_next(service); }

cg_xml_node* cg_upnp_service_get_service_node(const cg_upnp_service* service) {
  return service ? service->service_node : nullptr;
}

cg_upnp_device* cg_upnp_service_get_device(const cg_upnp_service* service) {
  return service ? service->parent_device : nullptr;
}

char* cg_upnp_service_get_service_type(cg_upnp_service* service) {
  return service ? cg_xml_node_get_child_value(service->service_node, "serviceType") : nullptr;
}

// ---------------------------------------------------------------------------
// Icons
// ---------------------------------------------------------------------------

cg_upnp_icon* cg_upnp_icon_new(cg_xml_node* icon_node) {
  auto* icon = vbd_ssdp::record_new<cg_upnp_icon>(false);
  if (icon) icon->icon_node = icon_node;
  return icon;
}

void cg_upnp_icon_delete(cg_upnp_icon* icon) {
  if (!icon) return;
  cg_list_remove(&icon->node);
  std::free(icon);
}

cg_upnp_icon_list* cg_upnp_icon_list_new() { return vbd_ssdp::record_new<cg_upnp_icon>(true); }

void cg_upnp_icon_list_clear(cg_upnp_icon_list* list) {
  if (!list) return;
  for (cg_upnp_icon* icon = list_first(list); icon; icon = list_first(list)) {
    cg_upnp_icon_delete(icon);
  }
}

void cg_upnp_icon_list_delete(cg_upnp_icon_list* list) {
  if (!list) return;
  cg_upnp_icon_list_clear(list);
  std::free(list);
}

void cg_upnp_icon_list_add(cg_upnp_icon_list* list, cg_upnp_icon* icon) {
  if (!list || !icon) return;
  cg_list_remove(&icon->node);
  cg_list_append(&list->node, &icon->node);
}

int cg_upnp_icon_list_size(const cg_upnp_icon_list* list) { return vbd_ssdp::list_size(list); }
cg_upnp_icon* cg_upnp_icon_list_first(cg_upnp_icon_list* list) { return list_first(list); }
cg_upnp_icon* cg_upnp_icon_next(cg_upnp_icon* icon) { return list_next(icon); }

cg_xml_node* cg_upnp_icon_get_icon_node(const cg_upnp_icon* icon) {
  return icon ? icon->icon_node : nullptr;
}
