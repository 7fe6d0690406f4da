// Address following: the main loop's watch on the host's interfaces. When
// the first interface's address changes, the control server opens again on
// the new one; when any interface's address changes, discovery restarts on
// the addresses of now. Bursts of changes (an address removed, then its
// successor added) are taken together, a short settling time after the
// first.
#pragma once

#include <cstdint>
#include <string>

class address_follow {
 public:
  address_follow() = default;
  ~address_follow();
  address_follow(const address_follow&) = delete;
  address_follow& operator=(const address_follow&) = delete;

  // Opens the watch and reads the interfaces as they are; before the
  // services start, so that no change after this is missed. Without a
  // watch (printed once) addresses are not followed.
  void open();
  // The descriptor to wait for readability on, or -1.
  int fd() const { return fd_; }
  // How long the main loop may wait before on_time must run: -1 for as long
  // as it likes.
  int timeout_ms() const;
  // The watch is readable.
  void on_readable();
  // Acts on changes whose settling time is over; nothing otherwise.
  void on_time();

 private:
  void follow();

  int fd_ = -1;
  int64_t due_ms_ = -1;  // when to look at the interfaces again; -1: no need
  std::string interfaces_;  // the interfaces and addresses last acted on
};
