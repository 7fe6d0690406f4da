// vbdctl discover, the text side: the M-SEARCH it sends, and the reading of
// what devices send back (SSDP answers, LOCATION URLs, HTTP responses,
// device descriptions) with its printing as text or JSON. No sockets here:
// everything a device sends is hostile input and is read bounded, with a
// reason for every refusal.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vbdctl::discover {

// Answers longer than this are refused whole: an SSDP answer is a few
// hundred bytes, and a LOCATION longer than kUrlMax is not one we fetch.
inline constexpr size_t kAnswerMax = 8192;
inline constexpr size_t kUrlMax = 2048;
// A description response larger than this is refused.
inline constexpr size_t kDescriptionMax = 256 * 1024;

// The search for root devices, with MX seconds.
std::string msearch(int mx);

// The headers of an SSDP answer that matter here (values trimmed).
struct ssdp_answer {
  std::string location;
  std::string usn;
  std::string st;
  std::string server;
};

// Reads a unicast answer: an "HTTP/1.x 200" status line, then header lines
// (CR LF or LF, any case, spaces around the colon), and a LOCATION. False
// with the reason in *why otherwise.
bool parse_answer(std::string_view datagram, ssdp_answer* out, std::string* why);

// An http:// URL with an IPv4 address or a host name, an optional port
// (default 80) and a path (default "/"; a fragment is dropped).
struct http_url {
  std::string host;
  int port = 80;
  std::string path;
};
bool parse_http_url(std::string_view text, http_url* out, std::string* why);

// The GET request for the URL, closing the connection after the response.
std::string http_request(const http_url& url);

// Reading an HTTP response as it arrives. `closed`: the server has ended
// the connection, so nothing more will come.
enum class http_state { incomplete, done, bad };
// done: *body holds the entity (chunked transfer coding decoded). bad: the
// reason is in *why (an error status, a redirect, a malformed or cut
// response, a body over kDescriptionMax).
http_state parse_http_response(std::string_view raw, bool closed, std::string* body, std::string* why);

// What a device description says about its root device (values trimmed;
// "" when absent).
struct device_description {
  std::string friendly_name;
  std::string manufacturer;
  std::string model_name;
  std::string model_number;
  std::string udn;
};

// Parses the description with the project's XML parser; false with the
// reason when it is not XML or not a UPnP device description (root element
// "root" holding a "device" element). The parser prints its own diagnostics
// on standard error.
bool parse_description(std::string_view text, device_description* out, std::string* why);

// One listed device.
struct device {
  device_description description;
  std::string address;   // the answer's source address
  std::string location;  // the description URL as the answer gave it
  int control_port = 0;
  std::string control;   // probe result; "" when not probed
};

// Text safe to print: valid UTF-8 kept, control characters (C0, DEL, C1)
// shown as '?', invalid bytes as U+FFFD.
std::string printable(std::string_view text);
// A JSON string literal with its quotes; invalid UTF-8 becomes U+FFFD, so
// the result is always valid JSON.
std::string json_string(std::string_view text);

// One block per device, separated by blank lines.
std::string format_text(const std::vector<device>& devices);
// A JSON array with one object per device, ending in a newline.
std::string format_json(const std::vector<device>& devices);

}  // namespace vbdctl::discover
