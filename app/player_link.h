// Player link: the System V message channel to the player's main program,
// the command exchange and the receive thread.
//
// One queue (key 116) is shared with the main program and split into
// channels by message type: 4321 carries this server's commands and its
// hello to the main program, 1234 carries the main program's replies and
// unsolicited messages, and 1221 is a private channel on which the receive
// thread re-posts replies for the waiting command exchange. Every message
// body is the 200-byte controlapp_msg.
//
// Results: the queue operations return 0 (or a byte count / identifier) on
// success and -1 on failure; the command exchange returns 0, 3 (failure) or
// the player's own result code.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "app/v232cmd.h"

// ---------------------------------------------------------------------------
// Queue identity, channels and the message body
// ---------------------------------------------------------------------------

// The wire format is the public header's (include/vbd/player_link.h, the
// one the player's developers build against); these are its names as the
// daemon uses them.

// Fixed queue key shared with the main program (no key derivation).
inline constexpr int CONTROLAPP_MSGQ_KEY = VBD_QUEUE_KEY;
// IPC_CREAT | 0666.
inline constexpr int CONTROLAPP_MSGQ_FLAGS = VBD_QUEUE_FLAGS;

inline constexpr long MSGTYPE_TO_MAIN = VBD_MSGTYPE_TO_MAIN;      // this server -> main program
inline constexpr long MSGTYPE_FROM_MAIN = VBD_MSGTYPE_FROM_MAIN;  // main program -> this server
inline constexpr long MSGTYPE_TMP = VBD_MSGTYPE_TMP;              // receive thread -> exchange

// Every send and receive moves exactly this many body bytes.
inline constexpr int CONTROLAPP_MSG_SIZE = VBD_MSG_SIZE;
// The staging buffer of one send or receive holds the type and this much body.
inline constexpr int CONTROLAPP_MSG_STAGING_SIZE = 256;

// A send never blocks: while the queue is full it is retried every
// CONTROLAPP_SEND_RETRY_MS and fails after CONTROLAPP_SEND_WAIT_MS.
inline constexpr int CONTROLAPP_SEND_WAIT_MS = 1000;
inline constexpr int CONTROLAPP_SEND_RETRY_MS = 10;

// Message kinds (controlapp_msg::cmd_type).
inline constexpr int CONTROLAPP_MSG_NORMAL = VBD_MSG_NORMAL;                // a command, or the reply to one
inline constexpr int CONTROLAPP_MSG_AUTO_FEEDBACK = VBD_MSG_AUTO_FEEDBACK;  // event text for the clients
inline constexpr int CONTROLAPP_MSG_HELLO = VBD_MSG_HELLO;                  // sent once by this server at start
inline constexpr int CONTROLAPP_MSG_SHUTDOWN = VBD_MSG_SHUTDOWN;            // the main program asks us to stop
inline constexpr int CONTROLAPP_MSG_STANDBY = VBD_MSG_STANDBY;              // new standby state

// The receive thread's own wake-up, posted on channel 1234 by its stop (with
// this process's id in `pid`). The main program never sends this kind.
inline constexpr int CONTROLAPP_MSG_WAKE = -1;

// Highest command index accepted in a reply from the main program.
inline constexpr int CONTROLAPP_MAX_REPLY_CMD = VBD_MAX_REPLY_CMD;

// Auto-feedback text: from its offset to the end of the body (an
// auto-feedback message has no reserved or result field).
inline constexpr int CONTROLAPP_FEEDBACK_OFFSET = VBD_FEEDBACK_OFFSET;
inline constexpr int CONTROLAPP_FEEDBACK_MAX = VBD_FEEDBACK_MAX;

// The message body, the same layout in both directions (little-endian
// native ints); which fields mean something depends on cmd_type. Its
// response record `ret` is the v232cmd_ret the reply formatter reads.
using controlapp_msg = vbd_player_msg;
static_assert(sizeof(controlapp_msg) == CONTROLAPP_MSG_SIZE);
static_assert(offsetof(controlapp_msg, ret) + offsetof(v232cmd_ret, cmd_id) == 16);
static_assert(offsetof(controlapp_msg, ret) + offsetof(v232cmd_ret, data) == 20);
static_assert(offsetof(controlapp_msg, standby_mode) == 56);

// ---------------------------------------------------------------------------
// Process-wide link state
// ---------------------------------------------------------------------------

// These name fields of the application's state record (app/app_state.h).
// Queue identifier from msgget; -1 while no queue is open. Written before
// the receive thread starts, and by that thread when it reopens the queue
// after a removal, while other threads use it: read and written through
// link_qid() and set_link_qid() wherever another thread may be at it.
extern int& msg_qid;
// This process's id, taken when the link starts; -1 before.
extern int& client_pid;
// The receive thread loops while this is non-zero (set before it starts,
// cleared by stop_recv_thread).
extern std::atomic<int>& recv_running;
// POSIX handle of the receive thread (a cg_thread, joined by its stop).
extern pthread_t& recv_thread_id;
// The player's standby state as last reported (1 until the first report).
// Written by the receive thread (BDP_StandbyMode_Set), read by client
// threads (BDP_StandbyMode_Get).
extern std::atomic<int>& standby_mode;

// msg_qid, read and written atomically.
int link_qid();
void set_link_qid(int qid);

// ---------------------------------------------------------------------------
// Message channel
// ---------------------------------------------------------------------------

// msgget(key, 950). The identifier, or -1 (with the perror and failure lines).
int cli_create_msgQ(int key);
// The same open for a queue that was removed, without the success line (the
// caller says what happened); report 0 also leaves out the failure lines
// (a retry after a failure already told).
int cli_reopen_msgQ(int key, int report);
// Sends length body bytes (at most 256) with the given type. 0 or -1; -1
// also when the queue stayed full for CONTROLAPP_SEND_WAIT_MS.
int cli_send_msgQ(int qid, long type, const void* body, int length);
// Takes the oldest message of exactly that type without blocking; the body
// (when not null) receives length bytes of the zero-padded message. Bytes
// received, or -1 when nothing (or an empty message) was there.
int cli_recv_msgQ(int qid, long type, void* body, int length);
// Blocks until a message of exactly that type arrives (interrupted by a
// signal: -1 with EINTR). Bytes received, or -1 with errno set.
int cli_recv_msgQ_wait(int qid, long type, void* body, int length);
// One send that never waits and prints nothing (IPC_NOWAIT). 0 or -1.
int cli_post_msgQ(int qid, long type, const void* body, int length);
// Total number of messages in the queue (all types), or -1.
int cli_msgQ_count(int qid);

// The same on msg_qid with the fixed channels and 200-byte bodies.
int cli_send_cmd(const controlapp_msg* body);  // type 4321; 0 or -1
int cli_recv_cmd(controlapp_msg* body);        // type 1234; bytes or -1
int Tmp_send_cmd(const controlapp_msg* body);  // type 1221; 0 or -1
int Tmp_recv_cmd(controlapp_msg* body);        // type 1221; bytes or -1
// Drain channel 1234 / 1221, logging each discarded message. Always 0.
int clear_cli_msgQ();
int clear_Tmp_msgQ();
// clear_Tmp_msgQ that also tells whether a discarded reply's ret.cmd_id was
// cmd_id (1) or not (0); cmd_id < 0 matches nothing.
int clear_Tmp_msgQ_seeing(int cmd_id);

// ---------------------------------------------------------------------------
// Exchange and receive thread
// ---------------------------------------------------------------------------

// Opens the queue and starts the receive thread. 0, -1 when the queue cannot
// be opened, or the error number of thread creation.
int init_recv_thread();
// Ends the receive thread and waits for it: clears recv_running and posts the
// thread's wake message on channel 1234 (with the queue full it interrupts
// the thread's receive instead). 0; also when no thread runs.
int stop_recv_thread();
// Receive thread body: drains both reply channels, greets the main program,
// then blocks on channel 1234 and dispatches every message until stopped.
// When the queue is removed (the receive fails with EIDRM or EINVAL) it
// opens it again with the same key and flags, logs one line, greets the main
// program on it again and blocks there; a queue it cannot reopen is tried
// again after a stoppable pause of 1 s (the failure told once).
void* recv_thread(void* arg);
// Handles one message from the main program (a null body is ignored). 0.
int controlapp_cmd_proc(const controlapp_msg* body);
// Sends the hello (kind 2 with client_pid) on channel 4321. 0.
int send_hello();
// One command exchange: sends the request and waits for the receive thread
// to re-post the reply on channel 1221, at most 4,460 ms (the time the
// 62-attempt schedule of 10, 20, 50 and 100 ms waits adds up to; the
// "(count:%d)" line names the attempt of that schedule the reply arrived
// in). On a reply of kind 0 with a valid index, copies its response record
// into ret and returns its result. 3 on a null request, a failed send, a
// time-out or a bad index. Exchanges must not overlap: the reply channel
// carries no sequence number. After a time-out the command is remembered:
// its late reply, met while another command is awaited, is dropped with a
// line and the wait goes on.

int command_handler(const v232cmd_req* req, v232cmd_ret* ret, int user_value);
// Records the standby state reported by the main program; returns it.
int BDP_StandbyMode_Set(int mode);
// The standby state as last reported (1 until the first report); safe from
// any thread.
int BDP_StandbyMode_Get();
// Copies the auto-feedback text of a body into out (size bytes, always
// NUL-terminated). The text ends at its NUL or at the end of the body,
// whichever comes first. Returns the text's length.
int controlapp_feedback_text(const controlapp_msg* body, char* out, int size);
