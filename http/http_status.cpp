// The reason phrases of the HTTP/1.1 status codes, in RFC 2616's wording.
#include <algorithm>
#include <array>

#include "http/http.h"

namespace {

struct status_reason {
  int code;
  const char* reason;
};

// RFC 2616 section 6.1.1, sorted by code.
constexpr std::array<status_reason, 40> kReasons{{
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Time-out"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Large"},
    {415, "Unsupported Media Type"},
    {416, "Requested range not satisfiable"},
    {417, "Expectation Failed"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Time-out"},
    {505, "HTTP Version not supported"},
}};

static_assert(std::is_sorted(kReasons.begin(), kReasons.end(),
                             [](const status_reason& a, const status_reason& b) {
                               return a.code < b.code;
                             }));

}  // namespace

const char* cg_http_status_reason(int code) {
  auto it = std::lower_bound(kReasons.begin(), kReasons.end(), code,
                             [](const status_reason& r, int c) { return r.code < c; });
  return it != kReasons.end() && it->code == code ? it->reason : "Unknown";
}
