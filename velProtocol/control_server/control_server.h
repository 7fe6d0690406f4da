// Control server: the TCP listener through which remote control applications
// talk to the player. One server owns the listening socket, the accept thread,
// one client thread per connection, the list of connected client sockets and
// the callback slots through which the application sees connections and
// requests. Replies and events leave through the response operations below.
//
// Plain records and free functions: every object is made by a *_new (none
// when memory runs out) and released by the matching *_delete. Nothing here
// throws. Failures are reported through cg_log_print at level CG_LOG_ERROR.
//
// Waiting: every thread of the server blocks in cg_thread_wait_fd on its own
// socket plus its wake. The accept thread waits on the listening socket; a
// client thread waits on its connection for input, for room to write while
// its output queue holds bytes, and for the end of a partial request's
// 2000 ms. Stop and same-address replacement clear a connection's `active`
// flag, wake its thread and join it; no thread polls and none is signalled.
//
// Writing: every text for a client (replies, events, "CON", "BINFIN",
// "ERR") is appended whole to the connection's output queue (at most
// VEL_PROTOCOL_SERVER_OUTPUT_QUEUE_SIZE bytes) and written at once as far
// as the non-blocking socket takes it; the connection's own thread writes
// the rest when the socket becomes writable. A connection whose socket
// fails hard is ended by its thread. One whose queue would overflow (a
// client that does not read) leaves the client lists at once; its thread
// offers the rest of the line the client was cut off in for at most
// VEL_PROTOCOL_SERVER_CUT_LINE_WAIT_MS, then closes it, so that its stream
// holds whole lines only unless the client still does not read. No sender
// ever waits for a client.
//
// Locking (two plain locks, always taken in this order: mutex, then
// client_lock; neither is ever taken again by the thread that holds it):
// - `mutex` serialises every callback call (request, connection, sent, reply
//   encoder, binary byte handler), the callback slots, the thread list and
//   the registered clients. The request
//   callback runs under it, so requests of all clients are handled one at a
//   time. A connection joins or leaves the client lists only while both
//   locks are held, so either lock alone keeps the lists still.
//   Callbacks may call the reply and event operations below (they know
//   when the calling thread holds the mutex already) and the client count,
//   nothing else of the server.
// - `client_lock` guards `client_sockets`, `connections`, the life of the
//   sockets in them, each connection's output queue and every write to a
//   client socket, so that writes to one socket never interleave and no
//   thread ever writes to a socket being freed. It is held only for
//   non-blocking work. A connection's `active` flag is atomic and cleared
//   under either lock: ending a connection must not wait for the mutex,
//   which the connection's own thread takes again for every request line. Sending takes `mutex` first only while a
//   `reply_encoder` or `sent_callback` is set (they are called under it);
//   without them (the daemon's case) an event pushed from another thread
//   never waits for a request callback in progress.
// Stop, close and delete wait for the server's threads and must not be
// called from a callback.
#pragma once

#include <atomic>
#include <cstdint>

#include "net/net.h"
#include "runtime/runtime.h"

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

inline constexpr int VEL_PROTOCOL_SERVER_REQUEST_SIZE = 256;      // bytes of one request
inline constexpr int VEL_PROTOCOL_SERVER_BUFFER_SIZE = 257;       // plus a NUL after a full frame
inline constexpr uint32_t VEL_PROTOCOL_SERVER_REQUEST_TIMEOUT_MS = 2000;  // first to last byte
inline constexpr int VEL_PROTOCOL_SERVER_ACCEPT_RETRY_MS = 100;   // after accept fails for want of resources
inline constexpr int VEL_PROTOCOL_SERVER_REFUSE_PAUSE_MS = 100;   // after "ERR" to a refused "CON"
// Bytes a connection may hold unsent. A text that would take its queue
// beyond this ends the connection (a client that does not read); a single
// text longer than this is never sent.
inline constexpr int VEL_PROTOCOL_SERVER_OUTPUT_QUEUE_SIZE = 64 * 1024;
// How long a connection ended for overflow still offers the rest of the
// line it was cut off in, so that its stream ends with a whole line.
inline constexpr int VEL_PROTOCOL_SERVER_CUT_LINE_WAIT_MS = 2000;
inline constexpr int VEL_PROTOCOL_SERVER_SOCKET_TIMEOUT_USEC = 500;
// TCP keepalive on every accepted connection: a peer whose network vanished
// without a FIN or RST is probed after this many seconds of silence, then
// every interval, and given up after this many unanswered probes (about
// 45 s in all), so that it no longer holds the single-peer rule against
// everyone else. A live client answers the probes and is never timed out.
// The same total bounds how long sent bytes may stay unacknowledged (the
// probes do not run while they do).
inline constexpr int VEL_PROTOCOL_SERVER_KEEPALIVE_IDLE_S = 30;
inline constexpr int VEL_PROTOCOL_SERVER_KEEPALIVE_INTERVAL_S = 5;
inline constexpr int VEL_PROTOCOL_SERVER_KEEPALIVE_PROBES = 3;
inline constexpr int VEL_PROTOCOL_SERVER_MAX_LEARNED_CLIENTS = 256;
inline constexpr unsigned char VEL_PROTOCOL_SERVER_FRAME_START = 0x02;

struct vel_protocol_server;
struct vel_protocol_server_connection;
struct vel_protocol_server_output;  // one queued text (internal)

// ---------------------------------------------------------------------------
// Records handed to the callbacks
// ---------------------------------------------------------------------------

// The current request of one client thread. `text` is NUL-terminated: the
// start of the receive buffer for a text request, the first payload byte of
// a checked binary frame.
struct vel_protocol_server_receive_record {
  uint8_t header;           // second byte of a binary frame
  uint16_t payload_length;  // length field of a binary frame
  uint32_t reserved;        // zero
  char* text;
  uint8_t trailer;          // low four bits of a binary frame's trailer byte
  uint8_t checksum;         // checksum byte of a binary frame as received
};

// The request callback's argument, on the client thread's stack. The text is
// valid only during the call; replies go through
// vel_protocol_server_request_reply.
struct vel_protocol_server_request {
  vel_protocol_server* server;
  cg_socket* socket;
  vel_protocol_server_receive_record* receive;
  vel_protocol_server_connection* connection;  // the connection the request came on
};

// The connection callback's argument, on the calling thread's stack.
// client_count: on connect the connected clients before the new one plus 1;
// on disconnect the connected clients (the ending one included) minus 1.
struct vel_protocol_server_connection_event {
  int client_count;
  int connected;  // 1 on connect, 0 on disconnect
  cg_socket* socket;
};

// One connection: the user data of its client thread, listed in the
// server's `connections` while its entry is in client_sockets; freed when
// its thread ends.
struct vel_protocol_server_connection {
  cg_list node;                  // in the server's connections (first member)
  vel_socket* entry;             // the client's entry in client_sockets
  vel_protocol_server* server;
  std::atomic<int> active;       // cleared (under either lock) to end the connection
  cg_thread* thread;             // its client thread, woken when output waits or it must end
  // The output queue, under client_lock: the texts not yet written whole,
  // oldest first, holding output_length unsent bytes. broken: the socket
  // failed or the queue overflowed; nothing more is queued and the thread
  // ends the connection (after the rest of a cut-off line, if any).
  vel_protocol_server_output* output_first;
  vel_protocol_server_output* output_last;
  int output_length;
  int broken;
};

using vel_protocol_server_request_func = int (*)(vel_protocol_server_request* request);
using vel_protocol_server_connection_func = void (*)(vel_protocol_server_connection_event* event);
using vel_protocol_server_sent_func = void (*)(cg_socket* sock, const char* text, int encoded);
// Returns 0 (request complete), 2 or 3 (frame error), anything else: keep receiving.
using vel_protocol_server_binary_byte_func = int (*)(vel_protocol_server_receive_record* record,
                                                     char* byte, int count);
// Returns a malloc'ed buffer (the caller frees it) and stores its length.
using vel_protocol_server_reply_encoder_func = char* (*)(int* out_length, const char* text,
                                                         int length);

// ---------------------------------------------------------------------------
// Registered clients (known by MAC address; consulted for "CON" only when
// check_registration is set)
// ---------------------------------------------------------------------------

struct vel_protocolo_server_client {
  cg_list node;
  cg_string* mac;   // "xx:xx:xx:xx:xx:xx"
  cg_string* name;
  void* allowed;    // none: not admitted
};

using vel_protocolo_server_client_list = vel_protocolo_server_client;

vel_protocolo_server_client* vel_protocolo_server_client_new(const char* mac, const char* name);
void vel_protocolo_server_client_delete(vel_protocolo_server_client* client);
vel_protocolo_server_client_list* vel_protocolo_server_clientlist_new();
// Appends a new entry; none when memory runs out.
vel_protocolo_server_client* vel_protocolo_server_clientlist_add(
    vel_protocolo_server_client_list* list, const char* mac, const char* name);
// 1 when an entry with the same six MAC bytes exists and is allowed, else 0.
// A well-formed MAC asking for the first time is recorded (not allowed) while
// the list holds fewer than VEL_PROTOCOL_SERVER_MAX_LEARNED_CLIENTS entries.
int vel_protocolo_server_clientlist_check(vel_protocolo_server_client_list* list,
                                          const char* mac, const char* name);
int vel_protocolo_server_clientlist_size(const vel_protocolo_server_client_list* list);
vel_protocolo_server_client* vel_protocolo_server_clientlist_first(
    vel_protocolo_server_client_list* list);
vel_protocolo_server_client* vel_protocolo_server_client_next(vel_protocolo_server_client* client);
void vel_protocolo_server_clientlist_delete(vel_protocolo_server_client_list* list);

// Exactly 17 characters: six fields of two hexadecimal digits (either case)
// separated by ':'. 1 and the six bytes in out, else 0 with out untouched.
int vel_mac_address_parse(const char* text, unsigned char out[6]);

// ---------------------------------------------------------------------------
// Server
// ---------------------------------------------------------------------------

struct vel_protocol_server {
  cg_list node;
  cg_socket* listen_socket;          // none until opened
  cg_thread* accept_thread;          // none until started
  cg_thread_list* client_threads;    // made by start
  // The callback slots are written under the mutex and may be read without
  // it (to decide whether the mutex is needed at all).
  std::atomic<vel_protocol_server_request_func> request_callback;
  std::atomic<vel_protocol_server_sent_func> sent_callback;
  std::atomic<vel_protocol_server_binary_byte_func> binary_byte_handler;  // replaces frame parsing
  std::atomic<vel_protocol_server_reply_encoder_func> reply_encoder;      // replaces the CR LF rule
  int socket_timeout;                // microseconds of each client's receive/send time-out
  // Keepalive of each accepted connection (the VEL_PROTOCOL_SERVER_KEEPALIVE_*
  // values; 0 idle: none). Sent bytes may stay unacknowledged for
  // idle + interval * probes seconds.
  int keepalive_idle_s;
  int keepalive_interval_s;
  int keepalive_probes;
  cg_mutex* mutex;                   // see the top of this file
  vel_socket_list* client_sockets;   // in order of connection
  std::atomic<vel_protocol_server_connection_func> connection_callback;
  int check_registration;            // "CON" must name an allowed registered client
  vel_protocolo_server_client_list* registered_clients;
  int accept_all_addresses;          // no address rule at all
  int single_address;                // refuse peers other than the connected client's address
  cg_mutex* client_lock;             // see the top of this file
  std::atomic<int> accept_running;   // 1 while the accept thread may touch the server
  cg_list connections;               // list head: the connections, in client_sockets' order
};
// Set the flags, socket_timeout and keepalive before start; the callback slots through
// the setters (any time).

vel_protocol_server* vel_protocol_server_new();
// Stops and closes first (every connection ends, every socket is closed).
void vel_protocol_server_delete(vel_protocol_server* server);
// Creates, binds (exact address, address reuse) and listens. 1 or 0.
int vel_protocol_server_open(vel_protocol_server* server, int port, const char* address);
// Stops, then closes and deletes the listening socket. 1.
int vel_protocol_server_close(vel_protocol_server* server);
// Starts the accept thread. 0 when already running or the thread cannot start.
int vel_protocol_server_start(vel_protocol_server* server);
// Clears the request and connection callbacks, ends the accept thread and
// every connection and waits for all of them. The listening socket stays. 1.
int vel_protocol_server_stop(vel_protocol_server* server);

void vel_protocol_server_set_request_callback(vel_protocol_server* server,
                                              vel_protocol_server_request_func func);
void vel_protocol_server_set_connection_callback(vel_protocol_server* server,
                                                 vel_protocol_server_connection_func func);
void vel_protocol_server_set_sent_callback(vel_protocol_server* server,
                                           vel_protocol_server_sent_func func);
void vel_protocol_server_set_reply_encoder(vel_protocol_server* server,
                                           vel_protocol_server_reply_encoder_func func);
void vel_protocol_server_set_binary_byte_handler(vel_protocol_server* server,
                                                 vel_protocol_server_binary_byte_func func);

// Thread actions, started by the server itself (user data: the server, and
// the connection record respectively). Both wait stoppably: the server ends
// them with a wake and a join.
void vel_protocol_server_thread(cg_thread* thread);
void vel_protocol_server_clientthread(cg_thread* thread);

// ---------------------------------------------------------------------------
// Replies and events. The text is NUL-terminated and stays the caller's.
// Without a reply_encoder a text gets CR LF appended unless its last two
// characters already are CR and LF in either order.
// ---------------------------------------------------------------------------

// Sends to one client. The caller must know the socket is alive (its own
// client thread, or inside a callback for that client). A socket that is a
// connection of the server goes through its output queue; any other socket
// (or a missing server) is written directly with cg_socket_write. 1 queued
// (or sent), 0 not.
int vel_protocol_server_single_response(cg_socket* sock, const char* text,
                                        vel_protocol_server* server);
// Queues one text for every connected client, encoded once. 1 when every
// client took it (also with none), 0 when the server is missing, not open, or
// any client could not take it (the others are still served).
int vel_protocol_server_socketlist_event_response(vel_protocol_server* server, const char* text);
// The daemon's routing of replies and events: while fewer than two clients
// are connected the text goes to every client (event response), else only to
// the second client in connection order (single response). Counting,
// choosing and queueing happen under client_lock, so a client that leaves
// meanwhile is never written after its socket is freed. Safe from any thread
// (events from the player link); only queues, never waits for a client. The
// result of the response used.
int vel_protocol_server_push(vel_protocol_server* server, const char* text);
// Sends a reply produced by the request callback, routed exactly like
// vel_protocol_server_push (every client while fewer than two, else the
// second in connection order). Valid only during the callback; does not
// take the server mutex again (the callback holds it). 1 when queued for
// every target, 0 otherwise.
int vel_protocol_server_request_reply(vel_protocol_server_request* request, const char* text);
// Number of connected clients (entries of client_sockets), under client_lock.
int vel_protocol_server_client_count(vel_protocol_server* server);

// Encoders with the reply_encoder signature; the caller frees the result
// (none when memory runs out).
// The CR LF rule: text plus CR LF, or the text unchanged when it already
// ends in CR LF or LF CR. A zero byte follows the output.
char* vel_protocol_server_line_encode(int* out_length, const char* text, int length);
// The binary frame: 0x02, 0x82, length (2 bytes, MSB first), text, 0x01,
// XOR of all bytes before it. L + 6 bytes.
char* vel_protocol_server_binary_encode(int* out_length, const char* text, int length);

// ---------------------------------------------------------------------------
// Request framing, drivable without a socket. A client thread keeps one
// framer, calls _check before it reads and _push_byte for every byte read.
// Times are milliseconds of any monotonic clock (wrapping in 32 bits).
// ---------------------------------------------------------------------------

enum vel_protocol_server_frame_event : int {
  VEL_FRAME_NONE = 0,      // byte taken, or nothing to report
  VEL_FRAME_REQUEST = 1,   // a request is complete: record.text
  VEL_FRAME_ERROR = 2,     // a binary frame failed: answer "ERR"
  VEL_FRAME_TIMEOUT = 3,   // a partial request was dropped after 2000 ms
  VEL_FRAME_OVERFLOW = 4,  // 256 bytes without an end were dropped
};

struct vel_protocol_server_framer {
  char buffer[VEL_PROTOCOL_SERVER_BUFFER_SIZE];
  int count;            // bytes of the current request (0 between requests)
  int binary;           // the current (or last) request opened with 0x02
  int verdict;          // checksum verdict kept for frames with extra trailer bytes
  uint32_t start_ms;    // first byte of the current request
  vel_protocol_server_receive_record record;
};

void vel_protocol_server_framer_init(vel_protocol_server_framer* framer);
// Before each read: drops a request older than 2000 ms (VEL_FRAME_TIMEOUT)
// or one that filled all 256 bytes (VEL_FRAME_OVERFLOW); else VEL_FRAME_NONE.
int vel_protocol_server_framer_check(vel_protocol_server_framer* framer, uint32_t now_ms);
// Examines one received byte. VEL_FRAME_REQUEST (record.text is valid until
// the next byte), VEL_FRAME_ERROR or VEL_FRAME_NONE. With a server whose
// binary_byte_handler is set, that handler judges binary frames (under the
// server mutex); server may be none.
int vel_protocol_server_framer_push_byte(vel_protocol_server_framer* framer,
                                         vel_protocol_server* server, char byte,
                                         uint32_t now_ms);

// The connection-level answer to a complete request.
enum vel_protocol_server_handshake_answer : int {
  VEL_HANDSHAKE_NONE = 0,    // nothing to answer here
  VEL_HANDSHAKE_CON = 1,     // answer "CON"
  VEL_HANDSHAKE_BINFIN = 2,  // answer "BINFIN"
  VEL_HANDSHAKE_REFUSE = 3,  // answer "ERR" and end the connection
};
// "CON..." gives CON, or REFUSE when the server checks registration and the
// MAC (second word) is not an allowed registered client; "BIN..." other than
// "BINFIN" gives BINFIN. server may be none (no registration check).
int vel_protocol_server_handshake(vel_protocol_server* server, const char* text);
