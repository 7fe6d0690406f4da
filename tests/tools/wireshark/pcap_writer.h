// Test support of the dissector tests: a capture file holding one made-up
// TCP connection (handshake, then data segments either way), written byte
// for byte, so a test decides exactly how requests and replies are cut
// into segments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vbd_ws_test {

struct segment {
  bool from_client;  // client to server (a request), else server to client
  std::string bytes;
};

// Writes a pcap file (Ethernet, IPv4, TCP) with the three-way handshake of
// 10.77.0.2:client_port -> 10.77.0.1:server_port followed by the segments,
// one second apart. False when the file cannot be written.
bool write_capture(const std::string& path, const std::vector<segment>& segments, uint16_t server_port = 8102,
                   uint16_t client_port = 40000);

// A binary frame as the system builds it: 0x02, 0x82, length (MSB first),
// payload, 0x01 and the XOR of every byte before it (spoiled when bad).
std::string frame(const std::string& payload, bool bad_checksum = false);

}  // namespace vbd_ws_test
