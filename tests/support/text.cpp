// Test support: text helpers and the paths of the tree and the programs.
#include "tests/support/text.h"

#include <fstream>
#include <sstream>

namespace vbd_test {

size_t count_of(std::string_view text, std::string_view needle) {
  if (needle.empty()) return 0;
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

bool in_order(std::string_view text, std::initializer_list<std::string_view> parts) {
  size_t pos = 0;
  for (std::string_view part : parts) {
    size_t found = text.find(part, pos);
    if (found == std::string_view::npos) return false;
    pos = found + part.size();
  }
  return true;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  if (from.empty()) return text;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool write_file(const std::string& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return static_cast<bool>(out);
}

std::string source_path(const std::string& relative) { return std::string(VBD_SOURCE_DIR) + "/" + relative; }
std::string server_path() { return VBD_SERVER_BIN; }
std::string sim_path() { return VBD_PLAYER_SIM_BIN; }

}  // namespace vbd_test
