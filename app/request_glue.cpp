// Request and event glue: a request line through the parser to the player,
// the reply back to the clients, and the push of the player's events.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/app_state.h"
#include "app/controlapp.h"
#include "app/lifecycle.h"
#include "app/player_link.h"

namespace {

constexpr char kFailedReply[] = "E04";

// The request being answered on this thread, while the request callback
// runs: the parser's reply function has no room for it, and its replies go
// back through it (the client thread routes them) rather than re-entering
// the server through the running-server pointer.
thread_local vel_protocol_server_request* t_request = nullptr;

class answering {
 public:
  explicit answering(vel_protocol_server_request* request) { t_request = request; }
  ~answering() { t_request = nullptr; }
  answering(const answering&) = delete;
  answering& operator=(const answering&) = delete;
};

}  // namespace

void controlapp_set_server(vel_protocol_server* server) {
  std::lock_guard<std::mutex> guard(controlapp.server_lock);
  controlapp_server = server;
}

int controlapp_request_callback(vel_protocol_server_request* request) {
  if (!request || !request->receive || !request->receive->text) return 0;
  const char* line = request->receive->text;
  // The connection handshake is answered by the control server itself.
  if (std::strncmp(line, "CON", 3) == 0) return 0;
  answering scope(request);
  return v232cmd_process(line, static_cast<int>(std::strlen(line)), controlapp_command,
                         controlapp_reply, 0);
}

void controlapp_connection_callback(vel_protocol_server_connection_event*) {}

int controlapp_command(const v232cmd_req* req, v232cmd_ret* ret, int user_value) {
  if (req && ret && req->cmd == 0) {
    ret->ret_id = last_ret_id.load(std::memory_order_relaxed);
    return 0;
  }
  if (!controlapp_command_callback) return 3;
  return controlapp_command_callback(req, ret, user_value);
}

int controlapp_reply(int, const v232cmd_ret* ret, int) {
  if (!ret) return 0;
  char text[V232CMD_REPLY_BUFFER_SIZE + 2] = {};
  int ret_id = ret->ret_id;
  if (ret_id < 0 || ret_id > V232CMD_RET_STATUS) {
    // A code the formatter does not know leaves its buffer unwritten: the
    // client is told the command failed, as for any failed exchange.
    std::memcpy(text, kFailedReply, sizeof(kFailedReply));
    ret_id = V232CMD_RET_E04;
  } else {
    // "?E" in its status form (answered here, or a player reply naming
    // command 0) depends on the standby state as last reported.
    v232cmd_conv_ret_to_string(ret, BDP_StandbyMode_Get(), text, V232CMD_REPLY_BUFFER_SIZE);
    text[V232CMD_REPLY_BUFFER_SIZE - 1] = '\0';
  }
  std::strcat(text, V232CMD_LINE_END);
  int result = t_request ? vel_protocol_server_request_reply(t_request, text) : controlapp_push_event(text);
  if (ret_id >= V232CMD_RET_E00 && ret_id <= V232CMD_RET_E99) {
    last_ret_id.store(ret_id, std::memory_order_relaxed);
  }
  return result;
}

int controlapp_push_event(const char* text) {
  std::lock_guard<std::mutex> guard(controlapp.server_lock);
  if (!controlapp_server || !text) return 0;
  // Fewer than two clients: every client; else only the second one in
  // connection order. The server counts and sends under its client lock.
  return vel_protocol_server_push(controlapp_server, text);
}
