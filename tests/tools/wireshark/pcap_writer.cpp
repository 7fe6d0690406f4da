// The made-up capture file: a pcap header, then each packet with Ethernet,
// IPv4 and TCP headers around its bytes. Checksums are left zero (tshark
// does not verify them by default).
#include "tests/tools/wireshark/pcap_writer.h"

#include <cstdio>

namespace vbd_ws_test {

namespace {

void put16(std::string* out, unsigned v) {
  out->push_back(static_cast<char>((v >> 8) & 0xFF));
  out->push_back(static_cast<char>(v & 0xFF));
}

void put32(std::string* out, uint32_t v) {
  put16(out, v >> 16);
  put16(out, v & 0xFFFF);
}

// Little-endian, as the file header and record headers are written.
void put32le(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

struct endpoint {
  const char* address;  // 4 bytes
  uint16_t port;
  uint32_t seq;
};

constexpr uint8_t kSyn = 0x02, kAck = 0x10, kPush = 0x08;

std::string packet(endpoint* from, const endpoint& to, uint8_t flags, const std::string& data) {
  std::string tcp;
  put16(&tcp, from->port);
  put16(&tcp, to.port);
  put32(&tcp, from->seq);
  put32(&tcp, (flags & kSyn) && !(flags & kAck) ? 0 : to.seq);
  tcp.push_back(0x50);  // 20-byte header
  tcp.push_back(static_cast<char>(flags));
  put16(&tcp, 65535);
  put16(&tcp, 0);
  put16(&tcp, 0);
  tcp += data;
  from->seq += static_cast<uint32_t>(data.size()) + ((flags & kSyn) ? 1 : 0);

  std::string ip;
  ip.push_back(0x45);
  ip.push_back(0);
  put16(&ip, static_cast<unsigned>(20 + tcp.size()));
  put32(&ip, 0);
  ip.push_back(64);
  ip.push_back(6);
  put16(&ip, 0);
  ip.append(from->address, 4);
  ip.append(to.address, 4);
  std::string ether(12, '\0');
  put16(&ether, 0x0800);
  return ether + ip + tcp;
}

}  // namespace

bool write_capture(const std::string& path, const std::vector<segment>& segments, uint16_t server_port,
                   uint16_t client_port) {
  endpoint client{"\x0a\x4d\x00\x02", client_port, 1000};
  endpoint server{"\x0a\x4d\x00\x01", server_port, 5000};
  std::string file;
  put32le(&file, 0xa1b2c3d4);
  file += std::string("\x02\x00\x04\x00", 4);  // version 2.4
  put32le(&file, 0);
  put32le(&file, 0);
  put32le(&file, 65535);
  put32le(&file, 1);  // Ethernet
  uint32_t second = 0;
  auto add = [&](const std::string& bytes) {
    put32le(&file, ++second);
    put32le(&file, 0);
    put32le(&file, static_cast<uint32_t>(bytes.size()));
    put32le(&file, static_cast<uint32_t>(bytes.size()));
    file += bytes;
  };
  add(packet(&client, server, kSyn, ""));
  add(packet(&server, client, kSyn | kAck, ""));
  add(packet(&client, server, kAck, ""));
  for (const auto& s : segments) {
    if (s.from_client) add(packet(&client, server, kPush | kAck, s.bytes));
    else add(packet(&server, client, kPush | kAck, s.bytes));
  }
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  bool ok = std::fwrite(file.data(), 1, file.size(), out) == file.size();
  return std::fclose(out) == 0 && ok;
}

std::string frame(const std::string& payload, bool bad_checksum) {
  std::string f("\x02\x82", 2);
  put16(&f, static_cast<unsigned>(payload.size()));
  f += payload;
  f.push_back('\x01');
  unsigned char sum = 0;
  for (char c : f) sum = static_cast<unsigned char>(sum ^ static_cast<unsigned char>(c));
  f.push_back(static_cast<char>(bad_checksum ? sum ^ 0x5A : sum));
  return f;
}

}  // namespace vbd_ws_test
