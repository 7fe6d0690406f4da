// Small helpers shared by the benchmark subcommands: clocks, sockets,
// statistics and argument parsing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Monotonic clock in microseconds.
int64_t now_us();
void sleep_us(int64_t us);

// A blocking TCP connection to address:port with TCP_NODELAY; -1 on failure.
int tcp_connect(const std::string& address, int port);
// Sends all bytes; false on error.
bool send_all(int fd, const char* data, size_t length);

// Percentile (0..100) of the samples by the nearest-rank rule; the vector is
// sorted in place.
double percentile(std::vector<double>& samples, double p);
double mean(const std::vector<double>& samples);

// "--name value" options after the subcommand.
struct options {
  std::vector<std::string> args;
  std::string get(const std::string& name, const std::string& fallback) const;
  int get_int(const std::string& name, int fallback) const;
  double get_double(const std::string& name, double fallback) const;
};

}  // namespace bench
