// Small helpers shared by the benchmark subcommands: clocks, sockets,
// statistics and argument parsing.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Monotonic clock in microseconds.
int64_t now_us();
void sleep_us(int64_t us);

// A blocking TCP connection to address:port with TCP_NODELAY; -1 on failure.
// With timeout_ms > 0 the connect gives up after that long (a listener
// whose queue is full drops the handshake, and the kernel would retry it
// for minutes). A non-empty `local` is the address the connection is made
// from (bound before the connect).
int tcp_connect(const std::string& address, int port, int timeout_ms = 0,
                const std::string& local = "");
// Sends all bytes; false on error.
bool send_all(int fd, const char* data, size_t length);
// Reads until a CR LF; the line before it in *line. false on a closed
// connection, an error, or when timeout_ms (> 0) passed first.
bool read_line(int fd, std::string* line, int timeout_ms = 0);

// Sends a keep-alive GET and reads the whole response: its body, or false
// (no 200 answer, no Content-Length, connection closed).
bool http_get_keepalive(int fd, const std::string& host, const std::string& path,
                        std::string* body);

// A UDP socket that receives the SSDP multicast group (239.255.255.250:1900)
// on the interface that has address `local`; -1 on failure.
int ssdp_watch_open(const std::string& local);
// Reads what the watcher has received, waiting until quiet_ms passed
// without a datagram, and counts the datagrams from `from` that contain
// `needle` (without case).
int ssdp_watch_count(int fd, const std::string& from, const std::string& needle, int quiet_ms);

// Waits at most timeout_ms for the child's exit (on a pidfd where the
// kernel has them); its wait status, or -1.
int wait_exit(pid_t pid, int timeout_ms);
// Connects until the port accepts or timeout_ms passed; -1 then.
int connect_when_up(const std::string& address, int port, int timeout_ms);

// Percentile (0..100) of the samples by the nearest-rank rule; the vector is
// sorted in place.
double percentile(std::vector<double>& samples, double p);
double mean(const std::vector<double>& samples);

// A "Name:  value" line of a /proc status file as a number (kB for
// memory); -1 when the file or the line is missing.
long long status_value(const std::string& path, const std::string& name);

// The items of a comma-separated list, empty ones left out.
std::vector<std::string> split_list(const std::string& text);

// "--name value" options after the subcommand.
struct options {
  std::vector<std::string> args;
  std::string get(const std::string& name, const std::string& fallback) const;
  int get_int(const std::string& name, int fallback) const;
  double get_double(const std::string& name, double fallback) const;
};

}  // namespace bench
