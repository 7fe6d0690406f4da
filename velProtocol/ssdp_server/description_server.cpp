// Description serving: the device's HTTP listener with the description
// document (URLBase set to the address the request arrived on, rendered once
// per URL base and shared by the responses that send it), the SCPD
// documents and the icon files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "velProtocol/ssdp_server/ssdp_internal.h"

namespace {

constexpr int kIconLoadLine = 1800;  // line number quoted by the icon diagnostic
constexpr const char* kXmlDeclaration = "<?xml version=\"1.0\"?>";
constexpr const char* kXmlContentType = "text/xml; charset=\"utf-8\"";
constexpr int kUrlBaseSize = 128;
// URL bases kept rendered: one per interface address in practice; the
// oldest goes first when a device has more.
constexpr size_t kMaxRenderedBases = 8;

std::mutex g_directory_lock;
char* g_directory = nullptr;  // owned; none until first read or set; under the lock

// The address of the interface the request arrived on; else the first
// interface's address; else none.
const char* serving_address(cg_http_request* request) {
  const char* local = cg_http_request_get_local_address(request);
  if (local && local[0]) return local;
  return cg_net_first_interface_address();
}

cg_upnp_service* find_service_by_scpd_url(cg_upnp_device* dev, const char* path) {
  for (cg_upnp_service* s = cg_upnp_service_list_first(dev->service_list); s;
       s = cg_upnp_service_next(s)) {
    const char* scpd_url = cg_xml_node_get_child_value(s->service_node, "SCPDURL");
    if (scpd_url && cg_url_path_equals(scpd_url, path)) return s;
  }
  for (cg_upnp_device* child = cg_upnp_device_list_first(dev->device_list); child;
       child = cg_upnp_device_next(child)) {
    if (cg_upnp_service* s = find_service_by_scpd_url(child, path)) return s;
  }
  return nullptr;
}

using rendered_text = std::shared_ptr<const std::string>;

// Answers 200 with the shared text as the body when there is one (the
// response holds a reference to it, not a copy, so that the rendering may
// be dropped while it is sent), else with a copy of body's bytes.
void post_body(cg_http_request* request, const char* content_type, cg_string* body, bool head,
               const rendered_text& shared = nullptr) {
  cg_http_response* response = cg_http_response_new();
  if (!response) return;
  cg_http_packet* packet = cg_http_response_get_packet(response);
  cg_http_response_set_status_code(response, 200);
  if (content_type) cg_http_packet_set_header(packet, "Content-Type", content_type);
  const char* bytes = shared ? shared->data() : cg_string_value(body);
  int length = shared ? static_cast<int>(shared->size()) : cg_string_length(body);
  cg_http_packet_set_header_llong(packet, "Content-Length", length);
  // HEAD keeps the length of the body it does not carry.
  if (!head && length > 0 && !(shared && cg_http_packet_set_shared_content(packet, shared))) {
    cg_http_packet_set_content(packet, bytes, length);
  }
  cg_http_request_post_response(request, response);
  cg_http_response_delete(response);
}

// Sets URLBase in the tree without dropping the rendered documents (the
// caller renders the tree for that base next, under the device mutex).
void set_url_base(cg_upnp_device* dev, const char* url) {
  cg_xml_node* root = cg_upnp_device_get_root_node(dev);
  if (root && url) cg_xml_node_set_child_value(root, "URLBase", url);
}

// Appends the declaration line and the tree as it stands. Under the mutex.
void render(cg_upnp_device* dev, cg_string* body) {
  if (cg_xml_node* root = cg_upnp_device_get_root_node(dev)) {
    cg_string_append(body, kXmlDeclaration);
    cg_string_append(body, "\n");
    cg_xml_node_to_string(root, 1, body);
  }
}

}  // namespace

struct cg_upnp_description_cache {
  struct entry {
    std::string url_base;
    rendered_text text;
  };
  std::vector<entry> entries;  // oldest first
};

namespace {

// The document for one URL base, rendered on the first request and shared
// by every later one: connections hold the mutex only to look it up. None
// when memory runs out (the caller renders into its body instead).
rendered_text rendered_for(cg_upnp_device* dev, const char* url_base) {
  try {
    if (!dev->description_cache) dev->description_cache = new cg_upnp_description_cache;
    auto& entries = dev->description_cache->entries;
    for (const auto& e : entries) {
      if (e.url_base == url_base) return e.text;
    }
    set_url_base(dev, url_base);
    cg_string* body = cg_string_new();
    if (!body) return nullptr;
    render(dev, body);
    auto text = std::make_shared<const std::string>(
        cg_string_value(body) ? cg_string_value(body) : "",
        static_cast<size_t>(cg_string_length(body)));
    cg_string_delete(body);
    if (entries.size() >= kMaxRenderedBases) entries.erase(entries.begin());
    entries.push_back({url_base, text});
    return text;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// Under the device mutex. A response still sending a dropped rendering
// holds it until it is done.
void drop_renderings(cg_upnp_device* dev) {
  if (dev->description_cache) dev->description_cache->entries.clear();
}

// The description with URLBase for the address: its shared rendering; or,
// without an address or when memory for a rendering runs out, none, with
// the document rendered into body instead.
rendered_text describe(cg_upnp_device* dev, const char* local_address, cg_string* body) {
  char url_base[kUrlBaseSize];
  const char* base = nullptr;
  if (local_address && local_address[0] && std::strlen(local_address) + 24 < sizeof(url_base)) {
    base = cg_url_build(local_address, dev->http_port, "", url_base, sizeof(url_base));
  }
  rendered_text text;
  cg_mutex_lock(dev->mutex);
  if (base) text = rendered_for(dev, base);
  // Without any address the URLBase the document already holds is kept; it
  // is rendered as it stands, as it is when memory for a rendering ran out.
  if (!text) {
    if (base) set_url_base(dev, base);
    render(dev, body);
  }
  cg_mutex_unlock(dev->mutex);
  return text;
}

}  // namespace

namespace vbd_ssdp {

void description_cache_delete(cg_upnp_description_cache* cache) { delete cache; }

}  // namespace vbd_ssdp

void cg_upnp_device_description_changed(cg_upnp_device* dev) {
  if (!dev || !dev->mutex) return;
  cg_mutex_lock(dev->mutex);
  drop_renderings(dev);
  cg_mutex_unlock(dev->mutex);
}

const char* cg_upnp_description_directory() {
  std::lock_guard<std::mutex> lock(g_directory_lock);
  if (!g_directory) g_directory = cg_str_dup(CG_UPNP_DEFAULT_DESCRIPTION_DIRECTORY);
  return g_directory ? g_directory : CG_UPNP_DEFAULT_DESCRIPTION_DIRECTORY;
}

void cg_upnp_set_description_directory(const char* directory) {
  if (!directory) return;
  char* copy = cg_str_dup(directory);
  std::lock_guard<std::mutex> lock(g_directory_lock);
  std::free(g_directory);
  g_directory = copy;
}

void cg_upnp_device_update_url_base(cg_upnp_device* dev, const char* url) {
  if (!dev || !url) return;
  cg_mutex_lock(dev->mutex);
  drop_renderings(dev);
  set_url_base(dev, url);
  cg_mutex_unlock(dev->mutex);
}

char* cg_upnp_device_get_description(cg_upnp_device* dev, const char* local_address,
                                     cg_string* body) {
  if (!dev || !body) return nullptr;
  if (rendered_text text = describe(dev, local_address, body)) {
    cg_string_append_n(body, text->data(), static_cast<int>(text->size()));
  }
  return cg_string_value(body);
}

char* cg_upnp_service_get_description(cg_upnp_service* service, cg_string* body) {
  if (!service || !body) return nullptr;
  cg_mutex_lock(service->mutex);
  cg_xml_node* scpd =
      service->scpd_node_list ? cg_xml_node_list_first(service->scpd_node_list) : nullptr;
  if (scpd) {
    cg_string_append(body, kXmlDeclaration);
    cg_string_append(body, "\n");
    cg_xml_node_to_string(scpd, 1, body);
  }
  cg_mutex_unlock(service->mutex);
  return cg_string_value(body);
}

cg_upnp_service* cg_upnp_device_get_service_by_scpd_url(cg_upnp_device* dev, const char* path) {
  if (!dev || !path || !path[0]) return nullptr;
  return find_service_by_scpd_url(dev, path);
}

cg_upnp_icon* cg_upnp_device_get_icon_by_url(cg_upnp_device* dev, const char* path) {
  if (!dev || !path || !path[0]) return nullptr;
  for (cg_upnp_icon* icon = cg_upnp_icon_list_first(dev->icon_list); icon;
       icon = cg_upnp_icon_next(icon)) {
    const char* url = cg_xml_node_get_child_value(icon->icon_node, "url");
    if (url && cg_str_case_equal(url, path)) return icon;
  }
  return nullptr;
}

int cg_upnp_read_icon_file(const char* path, cg_string* body) {
  if (!path || !body) return 0;
  cg_string* name = cg_string_new();
  cg_file* file = cg_file_new();
  int ok = 0;
  if (name && file) {
    {
      std::lock_guard<std::mutex> lock(g_directory_lock);
      cg_string_set(name, g_directory ? g_directory : CG_UPNP_DEFAULT_DESCRIPTION_DIRECTORY);
    }
    cg_string_append(name, path);
    cg_file_set_name(file, cg_string_value(name));
    long length = 0;
    if (cg_file_load_with_length(file, &length) && cg_file_get_content(file)) {
      cg_string_set_n(body, cg_file_get_content(file), static_cast<int>(length));
      ok = 1;
    } else {
      std::fprintf(stderr, "(%s:L%d::)Can't load %s!!\n", vbd_ssdp::kDeviceSource, kIconLoadLine,
                   cg_string_value(name) ? cg_string_value(name) : path);
    }
  }
  cg_file_delete(file);
  cg_string_delete(name);
  return ok;
}

void cg_upnp_device_httprequestrecieved(cg_http_request* request) {
  auto* dev = static_cast<cg_upnp_device*>(cg_http_request_get_user_data(request));
  if (!request || !dev) return;

  const char* uri = cg_http_request_get_uri(request);
  if (uri && uri[0]) {
    cg_string* decoded = cg_string_new();
    if (decoded) {
      const char* text = cg_url_decode(uri, 0, decoded);
      if (text && text[0]) cg_http_request_set_uri(request, text);
      cg_string_delete(decoded);
    }
  }

  const char* method = cg_http_request_get_method(request);
  bool head = method && std::strcmp(method, "HEAD") == 0;
  bool get = method && std::strcmp(method, "GET") == 0;
  if (!get && !head) {
    cg_http_request_post_status(request, 400);
    return;
  }
  uri = cg_http_request_get_uri(request);
  if (!uri || !uri[0]) {
    cg_http_request_post_status(request, 400);
    return;
  }

  cg_string* body = cg_string_new();
  if (!body) return;
  if (std::strcmp(uri, cg_upnp_device_get_description_uri(dev)) == 0) {
    rendered_text text = describe(dev, serving_address(request), body);
    post_body(request, kXmlContentType, body, head, text);
  } else if (cg_upnp_service* service = cg_upnp_device_get_service_by_scpd_url(dev, uri)) {
    cg_upnp_service_get_description(service, body);
    post_body(request, kXmlContentType, body, head);
  } else if (cg_upnp_icon* icon = cg_upnp_device_get_icon_by_url(dev, uri)) {
    cg_upnp_read_icon_file(uri, body);
    post_body(request, cg_xml_node_get_child_value(icon->icon_node, "mimeType"), body, head);
  } else {
    cg_http_request_post_status(request, 404);
  }
  cg_string_delete(body);
}
