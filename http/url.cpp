// cg_url: the parsed URL record, its getters, the request URI and the path
// comparison used to match request paths.
#include <cstdlib>
#include <initializer_list>

#include "http/http_internal.h"

namespace {

using vbd_http::url_parts;

void set_part(cg_string* field, bool present, std::string_view text) {
  if (present) {
    vbd_http::assign(field, text);
  } else {
    cg_string_clear(field);
  }
}

// Calls f with the address of every text field of the URL.
template <typename F>
void for_each_field(cg_url* url, F f) {
  for (cg_string** field : {&url->whole, &url->scheme, &url->user, &url->password, &url->host,
                            &url->path, &url->query, &url->fragment, &url->request_uri}) {
    f(field);
  }
}

}  // namespace

cg_url* cg_url_new() {
  auto* url = static_cast<cg_url*>(std::calloc(1, sizeof(cg_url)));
  if (!url) return nullptr;
  bool complete = true;
  for_each_field(url, [&](cg_string** field) {
    *field = cg_string_new();
    complete = complete && *field;
  });
  if (!complete) {
    cg_url_delete(url);
    return nullptr;
  }
  cg_string_set(url->path, "/");
  return url;
}

void cg_url_delete(cg_url* url) {
  if (!url) return;
  for_each_field(url, [](cg_string** field) { cg_string_delete(*field); });
  std::free(url);
}

void cg_url_clear(cg_url* url) {
  if (!url) return;
  for_each_field(url, [](cg_string** field) { cg_string_clear(*field); });
  url->port = 0;
}

int cg_url_parse(cg_url* url, const char* text) {
  if (!url || !text) return 0;
  cg_url_clear(url);
  std::string_view whole(text);
  url_parts u = vbd_http::url_split(whole);
  set_part(url->whole, true, whole);
  set_part(url->scheme, u.has_scheme, u.scheme);
  set_part(url->user, u.has_user, u.user);
  set_part(url->password, u.has_password, u.password);
  set_part(url->host, u.has_host, u.host);
  set_part(url->path, true, u.path);
  set_part(url->query, u.has_query, u.query);
  set_part(url->fragment, u.has_fragment, u.fragment);
  url->port = u.port;
  return 1;
}

const char* cg_url_get_whole(const cg_url* url) {
  return url ? cg_string_value(url->whole) : nullptr;
}
const char* cg_url_get_scheme(const cg_url* url) {
  return url ? cg_string_value(url->scheme) : nullptr;
}
const char* cg_url_get_user(const cg_url* url) {
  return url ? cg_string_value(url->user) : nullptr;
}
const char* cg_url_get_password(const cg_url* url) {
  return url ? cg_string_value(url->password) : nullptr;
}
const char* cg_url_get_host(const cg_url* url) {
  return url ? cg_string_value(url->host) : nullptr;
}
int cg_url_get_port(const cg_url* url) { return url ? url->port : 0; }
const char* cg_url_get_path(const cg_url* url) {
  return url ? cg_string_value(url->path) : nullptr;
}
const char* cg_url_get_query(const cg_url* url) {
  return url ? cg_string_value(url->query) : nullptr;
}
const char* cg_url_get_fragment(const cg_url* url) {
  return url ? cg_string_value(url->fragment) : nullptr;
}

const char* cg_url_get_request_uri(cg_url* url) {
  if (!url) return nullptr;
  cg_string_set_n(url->request_uri, "", 0);
  cg_string_append(url->request_uri, cg_string_value(url->path));
  if (cg_string_length(url->query) > 0) {
    cg_string_append(url->request_uri, "?");
    cg_string_append_n(url->request_uri, cg_string_value(url->query), cg_string_length(url->query));
  }
  return cg_string_value(url->request_uri);
}

int cg_url_path_equals(const char* text, const char* path) {
  if (!text || !path) return 0;
  return vbd_http::url_split(text).path == std::string_view(path) ? 1 : 0;
}
