// vbdctl discover, the text side: builds the M-SEARCH and reads SSDP
// answers, LOCATION URLs, HTTP responses and device descriptions, all with
// string_view and explicit bounds; prints the devices as text or JSON.
#include "tools/vbdctl/discover_parse.h"

#include <cstdint>
#include <memory>

#include "xml/xml.h"

namespace vbdctl::discover {

namespace {

using std::string_view;
constexpr size_t npos = string_view::npos;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

string_view trim(string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequals(string_view a, string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool istarts_with(string_view s, string_view prefix) {
  return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A decimal number of at most `digits` digits, the whole text.
bool parse_number(string_view s, size_t digits, long* out) {
  if (s.empty() || s.size() > digits) return false;
  long n = 0;
  for (char c : s) {
    if (!is_digit(c)) return false;
    n = n * 10 + (c - '0');
  }
  *out = n;
  return true;
}

// Takes the next line (without its CR LF or LF) off the text; false when
// the text holds no line end.
bool next_line(string_view* text, string_view* line) {
  size_t lf = text->find('\n');
  if (lf == npos) return false;
  string_view l = text->substr(0, lf);
  if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
  *line = l;
  text->remove_prefix(lf + 1);
  return true;
}

// Splits "Name : value" into a name and a trimmed value; false without a
// colon or with an empty name.
bool split_header(string_view line, string_view* name, string_view* value) {
  size_t colon = line.find(':');
  if (colon == npos) return false;
  *name = trim(line.substr(0, colon));
  *value = trim(line.substr(colon + 1));
  return !name->empty();
}

// "HTTP/1.x NNN ..." -> NNN; false for anything else.
bool parse_status_line(string_view line, long* status) {
  if (!line.starts_with("HTTP/1.")) return false;
  size_t space = line.find(' ');
  if (space == npos) return false;
  string_view rest = line.substr(space + 1);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  size_t end = rest.find(' ');
  return parse_number(rest.substr(0, end), 3, status) && *status >= 100;
}

bool has_control(string_view s) {
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return true;
  }
  return false;
}

// Length of the valid UTF-8 sequence at the start of s and its code point;
// 0 when the bytes there are not one.
size_t utf8_sequence(string_view s, uint32_t* code) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = b(0);
  if (c < 0x80) {
    *code = c;
    return 1;
  }
  size_t n;
  uint32_t cp;
  uint32_t min;
  if ((c & 0xe0) == 0xc0) {
    n = 2, cp = c & 0x1f, min = 0x80;
  } else if ((c & 0xf0) == 0xe0) {
    n = 3, cp = c & 0x0f, min = 0x800;
  } else if ((c & 0xf8) == 0xf0) {
    n = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (b(i) & 0x3f);
  }
  if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  *code = cp;
  return n;
}

constexpr string_view kReplacement = "\xef\xbf\xbd";  // U+FFFD

// The value of a child element of the device, trimmed; "" when absent.
std::string child_text(cg_xml_node* device, const char* name) {
  const char* value = cg_xml_node_get_child_value(device, name);
  return value != nullptr ? std::string(trim(value)) : std::string();
}

// Decodes a chunked body. incomplete when more may come; bad with a reason.
http_state decode_chunked(string_view rest, std::string* body, std::string* why) {
  body->clear();
  for (;;) {
    string_view line;
    if (!next_line(&rest, &line)) {
      if (rest.size() > 64) {
        *why = "malformed chunk size";
        return http_state::bad;
      }
      return http_state::incomplete;
    }
    string_view hex = trim(line.substr(0, line.find(';')));
    if (hex.empty() || hex.size() > 8) {
      *why = "malformed chunk size";
      return http_state::bad;
    }
    size_t size = 0;
    for (char c : hex) {
      int v = is_digit(c) ? c - '0' : (lower(c) >= 'a' && lower(c) <= 'f') ? lower(c) - 'a' + 10 : -1;
      if (v < 0) {
        *why = "malformed chunk size";
        return http_state::bad;
      }
      size = size * 16 + static_cast<size_t>(v);
    }
    if (size == 0) return http_state::done;  // trailers are not needed
    if (size > kDescriptionMax || body->size() + size > kDescriptionMax) {
      *why = "description larger than " + std::to_string(kDescriptionMax / 1024) + " KiB";
      return http_state::bad;
    }
    if (rest.size() < size) return http_state::incomplete;
    body->append(rest.substr(0, size));
    rest.remove_prefix(size);
    if (rest.starts_with("\r\n")) {
      rest.remove_prefix(2);
    } else if (rest.starts_with("\n")) {
      rest.remove_prefix(1);
    } else if (rest.empty() || rest == "\r") {
      return http_state::incomplete;
    } else {
      *why = "malformed chunk";
      return http_state::bad;
    }
  }
}

}  // namespace

std::string msearch(int mx) {
  return "M-SEARCH * HTTP/1.1\r\n"
         "HOST: 239.255.255.250:1900\r\n"
         "MAN: \"ssdp:discover\"\r\n"
         "MX: " +
         std::to_string(mx) +
         "\r\n"
         "ST: upnp:rootdevice\r\n"
         "\r\n";
}

bool parse_answer(string_view datagram, ssdp_answer* out, std::string* why) {
  *out = {};
  if (datagram.size() > kAnswerMax) {
    *why = "answer of " + std::to_string(datagram.size()) + " bytes is too large";
    return false;
  }
  string_view rest = datagram;
  string_view line;
  long status = 0;
  if (!next_line(&rest, &line) || !parse_status_line(line, &status)) {
    *why = "not an SSDP answer";
    return false;
  }
  if (status != 200) {
    *why = "answer with status " + std::to_string(status);
    return false;
  }
  bool has_location = false;
  // Header lines until the empty line; a last line without its line end
  // still counts (some devices leave it off).
  while (!rest.empty()) {
    if (!next_line(&rest, &line)) {
      line = rest;
      rest = {};
    }
    if (trim(line).empty()) break;
    string_view name;
    string_view value;
    if (!split_header(line, &name, &value)) continue;  // not a header: ignored, as other control points do
    if (iequals(name, "LOCATION")) {
      out->location = std::string(value);
      has_location = true;
    } else if (iequals(name, "USN")) {
      out->usn = std::string(value);
    } else if (iequals(name, "ST")) {
      out->st = std::string(value);
    } else if (iequals(name, "SERVER")) {
      out->server = std::string(value);
    }
  }
  if (!has_location || out->location.empty()) {
    *why = "answer without LOCATION";
    return false;
  }
  return true;
}

bool parse_http_url(string_view text, http_url* out, std::string* why) {
  *out = {};
  if (text.size() > kUrlMax) {
    *why = "LOCATION is too long";
    return false;
  }
  if (has_control(text) || text.find(' ') != npos) {
    *why = "LOCATION holds spaces or control characters";
    return false;
  }
  if (!istarts_with(text, "http://")) {
    *why = "LOCATION is not an http:// URL";
    return false;
  }
  string_view rest = text.substr(7);
  rest = rest.substr(0, rest.find('#'));
  size_t slash = rest.find_first_of("/?");
  string_view authority = rest.substr(0, slash);
  string_view path = slash == npos ? string_view() : rest.substr(slash);
  if (authority.find('@') != npos) {
    *why = "LOCATION carries user information";
    return false;
  }
  if (authority.starts_with("[")) {
    *why = "LOCATION has an IPv6 address (IPv4 only)";
    return false;
  }
  size_t colon = authority.find(':');
  string_view host = authority.substr(0, colon);
  if (host.empty() || host.size() > 253) {
    *why = "LOCATION has no host";
    return false;
  }
  for (char c : host) {
    if (!is_digit(c) && !(lower(c) >= 'a' && lower(c) <= 'z') && c != '.' && c != '-') {
      *why = "LOCATION has a malformed host";
      return false;
    }
  }
  long port = 80;
  if (colon != npos && !(parse_number(authority.substr(colon + 1), 5, &port) && port >= 1 && port <= 65535)) {
    *why = "LOCATION has a malformed port";
    return false;
  }
  out->host = std::string(host);
  out->port = static_cast<int>(port);
  out->path = path.empty() ? "/" : path.starts_with("?") ? "/" + std::string(path) : std::string(path);
  return true;
}

std::string http_request(const http_url& url) {
  std::string host = url.host;
  if (url.port != 80) host += ":" + std::to_string(url.port);
  return "GET " + url.path + " HTTP/1.1\r\nHost: " + host +
         "\r\nUser-Agent: vbdctl\r\nAccept: text/xml, application/xml\r\nConnection: close\r\n\r\n";
}

http_state parse_http_response(string_view raw, bool closed, std::string* body, std::string* why) {
  body->clear();
  // Headers larger than this are not a description server's.
  constexpr size_t kHeadMax = 16384;
  size_t head_end = raw.find("\r\n\r\n");
  size_t body_at = head_end == npos ? npos : head_end + 4;
  size_t lf_end = raw.find("\n\n");
  if (lf_end != npos && (head_end == npos || lf_end < head_end)) body_at = lf_end + 2;
  if (body_at == npos) {
    if (raw.size() > kHeadMax) {
      *why = "response headers too large";
      return http_state::bad;
    }
    if (!closed) {
      // A status line that is not HTTP is refused before the rest comes.
      if (raw.size() >= 7 && !raw.starts_with("HTTP/1.")) {
        *why = "not an HTTP response";
        return http_state::bad;
      }
      return http_state::incomplete;
    }
    *why = raw.empty() ? "connection closed without a response" : "not an HTTP response";
    return http_state::bad;
  }
  if (body_at > kHeadMax) {
    *why = "response headers too large";
    return http_state::bad;
  }
  string_view head = raw.substr(0, body_at);
  string_view rest = raw.substr(body_at);
  string_view line;
  long status = 0;
  if (!next_line(&head, &line) || !parse_status_line(line, &status)) {
    *why = "not an HTTP response";
    return http_state::bad;
  }
  bool chunked = false;
  bool has_length = false;
  long length = 0;
  std::string redirect;
  while (next_line(&head, &line)) {
    string_view name;
    string_view value;
    if (!split_header(line, &name, &value)) continue;
    if (iequals(name, "Content-Length")) {
      if (!parse_number(value, 10, &length)) {
        *why = "malformed Content-Length";
        return http_state::bad;
      }
      has_length = true;
    } else if (iequals(name, "Transfer-Encoding")) {
      chunked = iequals(value, "chunked");
    } else if (iequals(name, "Location")) {
      redirect = printable(value.substr(0, 200));
    }
  }
  if (status >= 300 && status < 400) {
    *why = "HTTP status " + std::to_string(status) + (redirect.empty() ? "" : " to " + redirect) +
           " (redirects are not followed)";
    return http_state::bad;
  }
  if (status != 200) {
    *why = "HTTP status " + std::to_string(status);
    return http_state::bad;
  }
  if (chunked) {
    http_state state = decode_chunked(rest, body, why);
    if (state == http_state::incomplete && closed) {
      *why = "response cut short";
      return http_state::bad;
    }
    return state;
  }
  if (has_length) {
    if (static_cast<unsigned long>(length) > kDescriptionMax) {
      *why = "description larger than " + std::to_string(kDescriptionMax / 1024) + " KiB";
      return http_state::bad;
    }
    if (rest.size() < static_cast<size_t>(length)) {
      if (closed) {
        *why = "response cut short";
        return http_state::bad;
      }
      return http_state::incomplete;
    }
    *body = std::string(rest.substr(0, static_cast<size_t>(length)));
    return http_state::done;
  }
  if (rest.size() > kDescriptionMax) {
    *why = "description larger than " + std::to_string(kDescriptionMax / 1024) + " KiB";
    return http_state::bad;
  }
  if (!closed) return http_state::incomplete;
  *body = std::string(rest);
  return http_state::done;
}

bool parse_description(string_view text, device_description* out, std::string* why) {
  *out = {};
  // The parser reads up to the first NUL and skips text before the first
  // '<': both would let garbage pass for XML.
  if (text.find('\0') != npos) {
    *why = "description is not XML (it holds a NUL byte)";
    return false;
  }
  string_view start = trim(text);
  if (start.starts_with("\xef\xbb\xbf")) start.remove_prefix(3);  // a byte order mark
  if (!start.starts_with("<")) {
    *why = "description is not XML";
    return false;
  }
  std::string copy(text);
  if (copy.size() >= static_cast<size_t>(INT32_MAX)) {
    *why = "description is too large";
    return false;
  }
  std::unique_ptr<cg_xml_parser, void (*)(cg_xml_parser*)> parser(cg_xml_parser_new(), cg_xml_parser_delete);
  std::unique_ptr<cg_xml_node_list, void (*)(cg_xml_node_list*)> list(cg_xml_node_list_new(),
                                                                      cg_xml_node_list_delete);
  if (!parser || !list) {
    *why = "out of memory";
    return false;
  }
  if (cg_xml_parse(parser.get(), list.get(), copy.c_str(), static_cast<int>(copy.size() + 1)) == 0 ||
      cg_xml_node_list_size(list.get()) == 0) {
    *why = "description is not valid XML";
    return false;
  }
  cg_xml_node* root = cg_xml_node_list_first(list.get());
  const char* name = cg_xml_node_get_name(root);
  if (name == nullptr || string_view(name) != "root") {
    *why = "description is not a UPnP device description (root element \"" +
           printable(string_view(name != nullptr ? name : "").substr(0, 60)) + "\")";
    return false;
  }
  cg_xml_node* dev = cg_xml_node_find_child(root, "device");
  if (dev == nullptr) {
    *why = "description is not a UPnP device description (no device element)";
    return false;
  }
  out->friendly_name = child_text(dev, "friendlyName");
  out->manufacturer = child_text(dev, "manufacturer");
  out->model_name = child_text(dev, "modelName");
  out->model_number = child_text(dev, "modelNumber");
  out->udn = child_text(dev, "UDN");
  return true;
}

// Walks text as UTF-8: each valid sequence goes to take(code, bytes), each
// byte that starts none becomes U+FFFD in *out.
template <typename Take>
void for_each_code_point(string_view text, std::string* out, Take take) {
  while (!text.empty()) {
    uint32_t code = 0;
    size_t n = utf8_sequence(text, &code);
    if (n == 0) {
      *out += kReplacement;
      text.remove_prefix(1);
      continue;
    }
    take(code, text.substr(0, n));
    text.remove_prefix(n);
  }
}

std::string printable(string_view text) {
  std::string out;
  out.reserve(text.size());
  for_each_code_point(text, &out, [&out](uint32_t code, string_view bytes) {
    if (code < 0x20 || (code >= 0x7f && code < 0xa0)) {
      out += '?';
    } else {
      out += bytes;
    }
  });
  return out;
}

std::string json_string(string_view text) {
  static const char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for_each_code_point(text, &out, [&out](uint32_t code, string_view bytes) {
    switch (code) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (code < 0x20 || code == 0x7f) {
          out += "\\u00";
          out += hex[code >> 4];
          out += hex[code & 0xf];
        } else {
          out += bytes;
        }
    }
  });
  out += '"';
  return out;
}

std::string format_text(const std::vector<device>& devices) {
  std::string out;
  for (const device& d : devices) {
    const device_description& dd = d.description;
    if (!out.empty()) out += '\n';
    out += (dd.friendly_name.empty() ? std::string("(no name)") : printable(dd.friendly_name)) + "\n";
    std::string model = dd.model_name.empty() ? "-" : printable(dd.model_name);
    if (!dd.model_number.empty()) model += " " + printable(dd.model_number);
    out += "  model:        " + model + "\n";
    if (!dd.manufacturer.empty()) out += "  manufacturer: " + printable(dd.manufacturer) + "\n";
    out += "  address:      " + d.address + "\n";
    out += "  description:  " + printable(d.location) + "\n";
    out += "  UDN:          " + (dd.udn.empty() ? std::string("-") : printable(dd.udn)) + "\n";
    if (!d.control.empty()) out += "  control port: " + std::to_string(d.control_port) + " " + d.control + "\n";
  }
  return out;
}

std::string format_json(const std::vector<device>& devices) {
  auto field = [](string_view name, string_view value, bool last = false) {
    std::string f = "    \"" + std::string(name) + "\": " + (value.empty() ? "null" : json_string(value));
    return f + (last ? "\n" : ",\n");
  };
  std::string out = "[";
  for (size_t i = 0; i < devices.size(); ++i) {
    const device& d = devices[i];
    const device_description& dd = d.description;
    out += i == 0 ? "\n  {\n" : ",\n  {\n";
    out += field("friendlyName", dd.friendly_name);
    out += field("modelName", dd.model_name);
    out += field("modelNumber", dd.model_number);
    out += field("manufacturer", dd.manufacturer);
    out += field("address", d.address);
    out += field("location", d.location);
    out += field("udn", dd.udn);
    out += "    \"controlPort\": " + std::to_string(d.control_port) + ",\n";
    out += field("control", d.control, true);
    out += "  }";
  }
  out += devices.empty() ? "]\n" : "\n]\n";
  return out;
}

}  // namespace vbdctl::discover
