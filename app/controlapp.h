// Request and event glue: joins the control server, the command parser, the
// player exchange and the reply formatter; and the running control server.
#pragma once

#include <atomic>

#include "app/v232cmd.h"
#include "velProtocol/control_server/control_server.h"

// The last error code sent to a client (2..9), or 10 while none was sent.
extern std::atomic<int>& last_ret_id;

// The running control server, or none (guarded by controlapp.server_lock).
// Written by the main thread only.
extern vel_protocol_server*& controlapp_server;

// The control server's request callback: every complete request line.
int controlapp_request_callback(vel_protocol_server_request* request);
// The control server's connection callback: does nothing.
void controlapp_connection_callback(vel_protocol_server_connection_event* event);
// The parser's command function: "?E" is answered here, every other
// command goes to controlapp_command_callback (the player exchange).
int controlapp_command(const v232cmd_req* req, v232cmd_ret* ret, int user_value);
// The parser's reply function: formats and appends CR LF; inside the request
// callback the text goes back through the request record (the client thread
// routes it to the clients), elsewhere it is pushed like an event.
int controlapp_reply(int code, const v232cmd_ret* ret, int user_value);

// Installs or removes the server the push sends through. Removing waits for
// a push in progress, so the server can then be deleted safely.
void controlapp_set_server(vel_protocol_server* server);
