// Test support: small text helpers (counting, order, files, replacement)
// and the paths of the source tree and the built programs.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vbd_test {

// Non-overlapping occurrences of needle in text (0 for an empty needle).
size_t count_of(std::string_view text, std::string_view needle);
// True when the parts occur in text in this order (each after the previous).
bool in_order(std::string_view text, std::initializer_list<std::string_view> parts);
// Every occurrence of from replaced by to.
std::string replace_all(std::string text, std::string_view from, std::string_view to);
// A whole file ("" when it cannot be read), and a file written whole.
std::string read_file(const std::string& path);
bool write_file(const std::string& path, std::string_view text);

// A path below the source tree, and the built daemon and player simulator.
std::string source_path(const std::string& relative);
std::string server_path();
std::string sim_path();

}  // namespace vbd_test
