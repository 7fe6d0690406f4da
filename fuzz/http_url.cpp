// Fuzz harness: URL parsing with every getter, the request URI and the path
// comparison, percent-decoding and URL building, on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);

  cg_url* url = cg_url_new();
  cg_url_parse(url, text.c_str());
  size_t total = 0;
  for (const char* part :
       {cg_url_get_whole(url), cg_url_get_scheme(url), cg_url_get_user(url),
        cg_url_get_password(url), cg_url_get_host(url), cg_url_get_path(url), cg_url_get_query(url),
        cg_url_get_fragment(url), cg_url_get_request_uri(url)}) {
    if (part) total += std::string(part).size();
  }
  (void)total;
  // A text always has the path it parses to.
  if (cg_url_path_equals(text.c_str(), cg_url_get_path(url)) != 1) __builtin_trap();
  cg_url_delete(url);

  // Decoding never grows the text; with the length the walk may pass NULs.
  cg_string* out = cg_string_new();
  cg_url_decode(text.data(), static_cast<int>(size), out);
  if (static_cast<size_t>(cg_string_length(out)) > size) __builtin_trap();
  cg_string_clear(out);
  cg_url_decode(text.c_str(), 0, out);
  cg_string_delete(out);

  char buffer[64];
  cg_url_build(text.c_str(), static_cast<int>(size), text.c_str(), buffer, sizeof(buffer));
  return 0;
}
