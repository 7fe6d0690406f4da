// Device start and stop: the HTTP servers, the SSDP listeners, the
// announcement and the advertiser thread, brought up and taken down in order.
// A stop ends every thread's wait at once and joins it: no fixed pause.
#include "velProtocol/ssdp_server/ssdp_internal.h"

namespace {

void delete_http_servers(cg_http_server_list* list) {
  for (cg_http_server* server = cg_http_server_list_first(list); server;
       server = cg_http_server_list_first(list)) {
    cg_http_server_delete(server);
  }
}

}  // namespace

int cg_upnp_device_start(cg_upnp_device* dev) {
  if (!dev) return 0;
  // Every start begins with a full byebye, the very first one too.
  cg_upnp_device_stop(dev);

  if (!dev->interface_cache) dev->interface_cache = cg_net_interface_list_new();
  if (dev->interface_cache) cg_net_get_host_interfaces(dev->interface_cache);

  if (!cg_http_server_list_open(dev->http_server_list, dev->http_port)) return 0;
  cg_http_server_list_set_user_data(dev->http_server_list, dev);
  cg_http_server_list_set_listener(dev->http_server_list, dev->http_listener
                                                              ? dev->http_listener
                                                              : cg_upnp_device_httprequestrecieved);
  cg_http_server_list_start(dev->http_server_list);

  cg_upnp_ssdp_server_list_open(dev->ssdp_server_list);
  cg_upnp_ssdp_server_list_set_user_data(dev->ssdp_server_list, dev);
  cg_upnp_ssdp_server_list_set_listener(dev->ssdp_server_list, cg_upnp_device_ssdplistener);
  cg_upnp_ssdp_server_list_start(dev->ssdp_server_list);

  cg_upnp_device_announce(dev);

  cg_thread_set_action(dev->advertiser, cg_upnp_device_advertiser);
  cg_thread_set_user_data(dev->advertiser, dev);
  cg_thread_start(dev->advertiser);
  return 1;
}

int cg_upnp_device_stop(cg_upnp_device* dev) {
  if (!dev) return 1;
  // The advertiser ends first (no announcement after this point), then the
  // byebye goes out while the servers still answer, then they close. Each
  // stop wakes its thread and waits only until the thread has returned.
  cg_thread_stop_and_join(dev->advertiser);

  cg_upnp_device_byebye(dev);

  cg_http_server_list_stop(dev->http_server_list);
  cg_http_server_list_close(dev->http_server_list);
  delete_http_servers(dev->http_server_list);

  cg_upnp_ssdp_server_list_stop(dev->ssdp_server_list);
  cg_upnp_ssdp_server_list_close(dev->ssdp_server_list);
  cg_upnp_ssdp_server_list_clear(dev->ssdp_server_list);
  return 1;
}
