// Splitting a URL text into scheme, user information, host, port, path,
// query and fragment, as views into the text.
#include <climits>

#include "http/http_internal.h"

namespace vbd_http {

namespace {

constexpr auto npos = std::string_view::npos;

// Digits up to the first non-digit; 0 when there are none. Saturates
// instead of overflowing.
int leading_port(std::string_view text) {
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(value);
}

int default_port(const url_parts& u) {
  if (!u.has_scheme) return -1;
  if (u.scheme == "http") return 80;
  if (u.scheme == "ftp") return 21;
  return -1;
}

}  // namespace

url_parts url_split(std::string_view text) {
  url_parts u;

  // Scheme: the text before a "://" that does not open the text.
  std::string_view rest = text;
  size_t sep = text.find("://");
  if (sep != npos && sep > 0) {
    u.scheme = text.substr(0, sep);
    u.has_scheme = true;
    rest = text.substr(sep + 3);
  }

  // User information: before an '@' anywhere in the rest (the path included).
  size_t at = rest.find('@');
  if (at != npos && at > 0) {
    size_t colon = rest.find(':');
    if (colon != npos && colon > 0 && colon < at) {
      u.user = rest.substr(0, colon);
      u.password = rest.substr(colon + 1, at - colon - 1);
      u.has_password = true;
    } else {
      u.user = rest.substr(0, at);
    }
    u.has_user = true;
    rest = rest.substr(at + 1);
  }

  // Host: before the first '/', or the whole rest of an absolute URL.
  size_t slash = rest.find('/');
  if (slash != npos && slash > 0) {
    u.host = rest.substr(0, slash);
    u.has_host = true;
  } else if (u.has_scheme) {
    u.host = rest;
    u.has_host = true;
  }

  // Port: after the last ':' unless that ':' sits inside an IPv6 bracket.
  u.port = default_port(u);
  if (u.has_host) {
    size_t colon = u.host.rfind(':');
    size_t bracket = u.host.rfind(']');
    if (colon != npos && colon > 0 && (bracket == npos || colon > bracket)) {
      u.port = leading_port(u.host.substr(colon + 1));
      u.host = u.host.substr(0, colon);
      if (u.host.size() >= 2 && u.host.front() == '[' && u.host.back() == ']') {
        u.host = u.host.substr(1, u.host.size() - 2);
      }
    }
  }

  // Path: from the '/' of an absolute URL ("/" when it has none), or the
  // whole text of a relative one.
  std::string_view path;
  if (u.has_scheme) {
    path = slash != npos ? rest.substr(slash) : std::string_view("/");
  } else {
    path = text;
  }

  // Fragment after the first '#', then the query after a '?' before it; a
  // '?' inside the fragment gives no query.
  size_t hash = path.find('#');
  if (hash != npos) {
    u.fragment = path.substr(hash + 1);
    u.has_fragment = true;
    path = path.substr(0, hash);
  }
  size_t question = path.find('?');
  if (question != npos) {
    u.query = path.substr(question + 1);
    u.has_query = true;
    path = path.substr(0, question);
  }
  u.path = path;
  return u;
}

}  // namespace vbd_http
