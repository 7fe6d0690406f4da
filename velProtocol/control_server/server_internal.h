// Control server internals shared by its source files: the log place, the
// recursive locks, atomic access to the callback slots, and the send guard.
#pragma once

#include "velProtocol/control_server/control_server.h"

namespace vel_server {

inline constexpr const char* kLogSource = "./velProtocol/control_server/velProtocolServer";

// One error line through the process log, at the given line of the server.
#define VEL_SERVER_LOG(line, function, ...) \
  cg_log_print(CG_LOG_ERROR, vel_server::kLogSource, (line), (function), __VA_ARGS__)

// A cg_mutex whose owner may lock it again.
cg_mutex* recursive_mutex_new();
void recursive_mutex_delete(cg_mutex* mutex);

// Callback slots and flags are written under the server mutex and may be
// read without it (to decide whether the mutex is needed at all).
template <typename T>
T load(const T* slot) {
  return __atomic_load_n(slot, __ATOMIC_ACQUIRE);
}
template <typename T>
void store(T* slot, T value) {
  __atomic_store_n(slot, value, __ATOMIC_RELEASE);
}

// Milliseconds of the monotonic clock, wrapping in 32 bits.
uint32_t now_ms();

// Holds the locks a send needs: the server mutex only while a reply encoder
// or sent callback is set (they are called under it), then client_lock.
class send_guard {
 public:
  explicit send_guard(vel_protocol_server* server);
  ~send_guard();
  send_guard(const send_guard&) = delete;
  send_guard& operator=(const send_guard&) = delete;
  bool holds_mutex() const { return holds_mutex_; }

 private:
  vel_protocol_server* server_;
  bool holds_mutex_ = false;
};

// Sends with the locks of a send_guard already held.
int single_response_locked(cg_socket* sock, const char* text, vel_protocol_server* server,
                           const send_guard& guard);
int event_response_locked(vel_protocol_server* server, const char* text, const send_guard& guard);

}  // namespace vel_server
