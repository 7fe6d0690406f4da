// Signal setup shared by the developer tools: SIGINT and SIGTERM run the
// tool's stop handler, SIGPIPE is ignored (a peer that went away shows as a
// failed write instead).
#pragma once

#include <signal.h>

namespace vbd_tools {

inline void install_stop_signals(void (*on_stop)(int)) {
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace vbd_tools
