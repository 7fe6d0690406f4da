// Test helpers of the discovery tests: the sample description, devices
// parsed from text, SSDP datagrams captured (with the time each was handed
// over) through the transport seam, and a reader that splits a captured
// message into its start line and headers.
#pragma once

#include <strings.h>

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/text.h"
#include "tests/support/udp.h"
#include "velProtocol/ssdp_server/ssdp_server.h"

namespace ssdp_test {

inline constexpr const char* kRootUdn = "uuid:5f2b7c1e-8a43-4d0e-9b6a-3c1d0e7f4a21";
inline constexpr const char* kTrayUdn = "uuid:5f2b7c1e-8a43-4d0e-9b6a-3c1d0e7f4a22";
inline constexpr const char* kPlayerType = "urn:schemas-vbdserver-org:device:BlurayPlayer:1";
inline constexpr const char* kTrayType = "urn:schemas-vbdserver-org:device:DiscTray:1";
inline constexpr const char* kControlType = "urn:schemas-vbdserver-org:service:PlayerControl:1";
inline constexpr const char* kStatusType = "urn:schemas-vbdserver-org:service:PlayerStatus:1";
inline constexpr const char* kTrayControlType = "urn:schemas-vbdserver-org:service:TrayControl:1";
inline constexpr const char* kServerName = "Platform 1.0 UPnP/1.0 vBdServer/1.0";
// Messages of one pass of the sample: 3 + s + 2e + t with s 2, e 1, t 1.
inline constexpr int kSamplePassSize = 3 + 2 + 2 * 1 + 1;

// Matches text against a pattern where %x stands for a lower-case hex digit,
// %d for a decimal digit, %A and %a for an upper- and a lower-case letter;
// everything else stands for itself.
inline bool matches(const std::string& text, const std::string& pattern) {
  size_t t = 0;
  for (size_t p = 0; p < pattern.size(); p++, t++) {
    if (t >= text.size()) return false;
    char c = text[t];
    if (pattern[p] == '%' && p + 1 < pattern.size()) {
      char kind = pattern[++p];
      bool ok = (kind == 'x' && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) ||
                (kind == 'd' && c >= '0' && c <= '9') || (kind == 'A' && c >= 'A' && c <= 'Z') ||
                (kind == 'a' && c >= 'a' && c <= 'z');
      if (!ok) return false;
    } else if (pattern[p] != c) {
      return false;
    }
  }
  return t == text.size();
}

using vbd_test::msearch;
using vbd_test::read_file;
using vbd_test::replace_all;
using vbd_test::source_path;

inline std::string sample_description() {
  return read_file(source_path("packaging/description.xml"));
}

// A device parsed from the text, or none.
inline cg_upnp_device* device_from(const std::string& text) {
  cg_upnp_device* dev = cg_upnp_device_new();
  if (!dev) return nullptr;
  if (!upnp_device_parsedescription(dev, text.c_str(), static_cast<int>(text.size()) + 1)) {
    cg_upnp_device_delete(dev);
    return nullptr;
  }
  return dev;
}

// One SSDP message split into its start line and header lines.
struct message {
  std::string start_line;
  std::vector<std::pair<std::string, std::string>> headers;
  bool well_formed = false;  // CR LF line ends and a final empty line

  const std::string* find(const std::string& name) const {
    for (const auto& [n, v] : headers) {
      if (strcasecmp(n.c_str(), name.c_str()) == 0) return &v;
    }
    return nullptr;
  }
  std::string value(const std::string& name) const {
    const std::string* v = find(name);
    return v ? *v : std::string("(absent)");
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& h : headers) out.push_back(h.first);
    return out;
  }
};

inline message parse_message(const std::string& text) {
  message m;
  size_t pos = text.find("\r\n");
  if (pos == std::string::npos) return m;
  m.start_line = text.substr(0, pos);
  pos += 2;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) return m;
    std::string line = text.substr(pos, end - pos);
    pos = end + 2;
    if (line.empty()) {
      m.well_formed = pos == text.size();
      return m;
    }
    size_t colon = line.find(": ");
    if (colon == std::string::npos) return m;
    m.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
  }
  return m;
}

// Datagrams handed to the transport seam.
struct sent_datagram {
  std::string host;
  int port;
  std::string text;
  std::chrono::steady_clock::time_point at;  // when it was handed over
};

class capture {
 public:
  // Installs the seam; searchers count as local unless told otherwise.
  capture() {
    cg_upnp_ssdp_transport transport{};
    transport.send = &capture::on_send;
    transport.peer_is_local = &capture::on_peer;
    transport.user = this;
    cg_upnp_ssdp_set_transport(&transport);
  }
  ~capture() { cg_upnp_ssdp_set_transport(nullptr); }
  capture(const capture&) = delete;
  capture& operator=(const capture&) = delete;

  void set_peers_local(bool local) {
    std::lock_guard<std::mutex> lock(mutex_);
    peers_local_ = local;
  }
  std::vector<sent_datagram> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(sent_, {});
  }
  std::vector<std::string> peers_asked() {
    std::lock_guard<std::mutex> lock(mutex_);
    return peers_asked_;
  }

 private:
  static int on_send(void* user, const char* host, int port, const char* text, int length) {
    auto* self = static_cast<capture*>(user);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->sent_.push_back({host, port, std::string(text, static_cast<size_t>(length)),
                           std::chrono::steady_clock::now()});
    return length;
  }
  static int on_peer(void* user, const char* remote) {
    auto* self = static_cast<capture*>(user);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->peers_asked_.emplace_back(remote ? remote : "");
    return self->peers_local_ ? 1 : 0;
  }

  std::mutex mutex_;
  std::vector<sent_datagram> sent_;
  std::vector<std::string> peers_asked_;
  bool peers_local_ = true;
};

// NT (or ST) and USN of each captured message, in order.
inline std::vector<std::pair<std::string, std::string>> identities(
    const std::vector<sent_datagram>& sent, const char* target_header) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& d : sent) {
    message m = parse_message(d.text);
    out.emplace_back(m.value(target_header), m.value("USN"));
  }
  return out;
}

// The identities of one pass of the sample device, in announcement order.
inline std::vector<std::pair<std::string, std::string>> sample_pass() {
  auto usn = [](const char* udn, const char* type) { return std::string(udn) + "::" + type; };
  return {
      {"upnp:rootdevice", usn(kRootUdn, "upnp:rootdevice")},
      {kPlayerType, usn(kRootUdn, kPlayerType)},
      {kRootUdn, kRootUdn},
      {kControlType, usn(kRootUdn, kControlType)},
      {kStatusType, usn(kRootUdn, kStatusType)},
      {kTrayType, usn(kTrayUdn, kTrayType)},
      {kTrayUdn, kTrayUdn},
      {kTrayControlType, usn(kTrayUdn, kTrayControlType)},
  };
}

// A received search as the listener would hand it over.
inline cg_upnp_ssdp_packet* search_packet(const std::string& text, void* device,
                                          const char* local = "10.77.1.1",
                                          const char* remote = "10.77.1.2",
                                          int remote_port = 40000) {
  cg_upnp_ssdp_packet* packet = cg_upnp_ssdp_packet_new();
  cg_datagram_packet* d = cg_upnp_ssdp_packet_get_datagram(packet);
  cg_datagram_packet_set_data(d, text.c_str(), static_cast<int>(text.size()));
  cg_datagram_packet_set_local_address(d, local);
  cg_datagram_packet_set_remote_address(d, remote);
  cg_datagram_packet_set_remote_port(d, remote_port);
  cg_upnp_ssdp_packet_set_user_data(packet, device);
  cg_upnp_ssdp_packet_parse_headers(packet);
  return packet;
}

}  // namespace ssdp_test
