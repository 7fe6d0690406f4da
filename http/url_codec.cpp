// Percent-decoding of request URIs and building of "http://" location URLs.
#include <cstdio>
#include <cstring>

#include "http/http_internal.h"

const char* cg_url_decode(const char* text, int length, cg_string* out) {
  if (!out) return nullptr;
  if (!text) return cg_string_value(out);
  size_t n = length > 0 ? static_cast<size_t>(length) : std::strlen(text);
  // Plain runs are appended whole; each escape adds its one byte.
  size_t run = 0;
  size_t i = 0;
  while (i < n) {
    int high = text[i] == '%' && i + 2 < n ? cg_hex_digit_value(text[i + 1]) : -1;
    int low = high >= 0 ? cg_hex_digit_value(text[i + 2]) : -1;
    if (low < 0) {
      i++;
      continue;
    }
    cg_string_append_n(out, text + run, static_cast<int>(i - run));
    char byte = static_cast<char>(high * 16 + low);
    cg_string_append_n(out, &byte, 1);
    i += 3;
    run = i;
  }
  cg_string_append_n(out, text + run, static_cast<int>(n - run));
  return cg_string_value(out);
}

char* cg_url_build(const char* host, int port, const char* path, char* buffer, int size) {
  if (!buffer || size <= 0) return buffer;
  bool ipv6 = cg_net_is_ipv6_address(host) == 1;
  std::snprintf(buffer, static_cast<size_t>(size), "%shttp://%s%s%s:%d%s%s", "", ipv6 ? "[" : "",
                host ? host : "", ipv6 ? "]" : "", port, path ? path : "", "");
  return buffer;
}
