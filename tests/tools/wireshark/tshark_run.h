// Test support of the dissector tests: tshark run on a capture file with
// the control port dissector loaded, its field output taken apart per
// packet.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vbd_ws_test {

// True when a program of that name is in PATH.
bool have_program(const std::string& name);

// The dissector in the source tree.
std::string dissector_path();

// tshark with the dissector and the given arguments; its standard output,
// with the exit status in *status (-1: it did not end in time).
std::string run_tshark(const std::vector<std::string>& args, int* status);

// One packet's values of the asked fields; a field that occurs several
// times in the packet has one value per occurrence.
struct packet_row {
  std::map<std::string, std::vector<std::string>> fields;
  const std::vector<std::string>& operator[](const std::string& name) const;
  bool has(const std::string& name, const std::string& value) const;
};

// The asked fields of every packet (tshark -T fields) of the capture, read
// with the extra arguments (-o ..., -2). "" on success, else what failed.
std::string read_fields(const std::string& capture, const std::vector<std::string>& fields,
                        const std::vector<std::string>& extra, std::vector<packet_row>* rows);

}  // namespace vbd_ws_test
