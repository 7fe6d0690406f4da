// Fuzz harness: everything vbdctl reads from the network. The first byte
// picks the reader: an SSDP answer, a LOCATION URL and the request made
// from it, an HTTP response, a device description with its text and JSON
// printing, or a stream of control-server reply units with their meanings.
// Results must keep the promises the printing and the fetch rely on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/vbdctl/ctl_protocol.h"
#include "tools/vbdctl/discover_parse.h"

namespace {

namespace d = vbdctl::discover;

void check(bool ok) {
  if (!ok) std::abort();
}

// No control character may reach the terminal or break a JSON line.
void check_printable(const std::string& text) {
  for (unsigned char c : text) check(c >= 0x20 && c != 0x7f);
}

void check_json_string(const std::string& text) {
  check(text.size() >= 2 && text.front() == '"' && text.back() == '"');
  check_printable(text);
}

void url(std::string_view input) {
  d::http_url parsed;
  std::string why;
  if (!d::parse_http_url(input, &parsed, &why)) {
    check(!why.empty());
    return;
  }
  check(!parsed.host.empty() && parsed.port >= 1 && parsed.port <= 65535);
  check(!parsed.path.empty() && parsed.path.front() == '/');
  // Nothing from the URL may end the request line or add a header.
  for (unsigned char c : parsed.host + parsed.path) check(c > 0x20 && c != 0x7f);
  std::string request = d::http_request(parsed);
  check(request.find("\r\n") == request.find(" HTTP/1.1\r\n") + 9);
}

void description(std::string_view input) {
  d::device dev;
  std::string why;
  if (!d::parse_description(input, &dev.description, &why)) {
    check(!why.empty());
    return;
  }
  dev.address = "10.0.0.1";
  dev.location = std::string(input.substr(0, 64));
  dev.control_port = 8102;
  dev.control = "answers";
  std::string text = d::format_text({dev});
  for (unsigned char c : text) check(c == '\n' || (c >= 0x20 && c != 0x7f));
  std::string json = d::format_json({dev});
  check(json.size() >= 3 && json.front() == '[' && json[json.size() - 2] == ']');
  for (unsigned char c : json) check(c == '\n' || (c >= 0x20 && c != 0x7f));
}

void replies(std::string_view input) {
  // The request line is the input up to its first 0xFF; the rest is what
  // the server sends back.
  size_t cut = input.find('\xff');
  std::string_view line = input.substr(0, cut);
  std::string buffer(cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1));
  auto expected = vbdctl::expected_replies(line.substr(0, vbdctl::MAX_TEXT_LINE));
  size_t next = 0;
  std::string unit;
  for (;;) {
    vbdctl::unit_result kind = vbdctl::take_unit(&buffer, &unit);
    if (kind == vbdctl::unit_result::incomplete) break;
    if (next < expected.size() && vbdctl::reply_fits(expected[next], unit)) {
      vbdctl::describe_reply(expected[next], unit);
      ++next;
    } else {
      vbdctl::describe_event(unit);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 5) {
    case 0: {
      d::ssdp_answer answer;
      std::string why;
      if (d::parse_answer(input, &answer, &why)) check(!answer.location.empty());
      else check(!why.empty());
      break;
    }
    case 1: url(input); break;
    case 2: {
      std::string body;
      std::string why;
      d::http_state state = d::parse_http_response(input, (data[0] & 0x80) != 0, &body, &why);
      if (state == d::http_state::done) check(body.size() <= d::kDescriptionMax);
      if (state == d::http_state::bad) check(!why.empty());
      break;
    }
    case 3: description(input); break;
    default:
      check_printable(d::printable(input));
      check_json_string(d::json_string(input));
      replies(input);
      break;
  }
  return 0;
}
