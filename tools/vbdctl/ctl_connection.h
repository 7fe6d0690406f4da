// vbdctl's TCP connection to the control server: connect with a time-out,
// send a request as a text line or a binary frame, read reply units (lines
// or frames) with a time-out, and keep what a diagnosis of a failed or
// ended connection needs (why the connect failed, when it was made, whether
// anything came).
#pragma once

#include <string>
#include <string_view>

#include "tools/vbdctl/ctl_protocol.h"

namespace vbdctl {

enum class read_status { unit, timeout, closed, error };

class connection {
 public:
  connection() = default;
  ~connection();
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  // Connects to host (a name or a numeric IPv4/IPv6 address) and port within
  // timeout_ms. "" on success, else what failed.
  std::string open(const std::string& host, int port, int timeout_ms);
  int fd() const { return fd_; }
  // After a failed open: the errno of the last connect attempt
  // (ECONNREFUSED, ETIMEDOUT, ...), 0 when the name did not resolve.
  int open_error() const { return open_error_; }
  // Since the connection was made, in ms; whether any byte has come.
  long long age_ms() const;
  bool received_any() const { return received_any_; }

  // Sends one request: the text and a CR, or the text as a binary frame.
  // False when the text does not fit one request or the send failed.
  bool send_request(std::string_view text, bool binary);

  // Returns the next reply unit already received, without waiting.
  bool take_buffered(std::string* text, unit_result* kind);
  // Reads what the socket holds (after poll said it is readable).
  read_status fill();
  // Waits up to timeout_ms (-1: forever) for the next unit.
  read_status next(std::string* text, unit_result* kind, int timeout_ms);

 private:
  int fd_ = -1;
  int open_error_ = 0;
  long long connected_at_ms_ = 0;
  bool received_any_ = false;
  std::string buffer_;
};

}  // namespace vbdctl
