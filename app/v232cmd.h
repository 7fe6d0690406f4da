// Command protocol: the command table, the request-line parser and the
// conversion of a response record into reply text.
//
// A request line is a run of mnemonics ("PL", "?A", "12KL", ...). The line
// processor matches them one after the other, runs each through a command
// function (which asks the player or answers locally and fills a response
// record) and hands pending responses to a reply function, which formats
// them with v232cmd_conv_ret_to_string and sends them. The parser and the
// formatter know nothing of the player or of sockets and read no shared
// state: what a reply depends on beyond its record (the standby state for
// "?E") is passed in by the caller. This is the vbd_v232cmd library; it
// needs nothing but the standard library and the public player-link header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/vbd/player_link.h"

// A command request handed to the player link: command index and parameter.
struct v232cmd_req {
  int32_t cmd;
  int32_t param;
};

// The 44-byte response record every reply is formatted from. It travels
// unchanged inside the player's message body, so its layout is fixed.
// It is the player's own record (ret_id: reply code 0..10, V232CMD_RET_*;
// cmd_id: the command index, which selects the status layout; data: the
// status data when ret_id is V232CMD_RET_STATUS), defined once in the
// public header the player's developers use.
using v232cmd_ret = vbd_player_ret;
static_assert(sizeof(v232cmd_req) == 8);
static_assert(sizeof(v232cmd_ret) == 44);
static_assert(offsetof(v232cmd_ret, ret_id) == 0);
static_assert(offsetof(v232cmd_ret, cmd_id) == 4);
static_assert(offsetof(v232cmd_ret, data) == 8);

// ---------------------------------------------------------------------------
// Reply codes and reply buffers
// ---------------------------------------------------------------------------

// ret_id values; 0..9 index v232cmd_ret_codes directly.
inline constexpr int V232CMD_RET_NONE = VBD_RET_NONE;  // "" : nothing is sent
inline constexpr int V232CMD_RET_OK = VBD_RET_OK;      // "R"
inline constexpr int V232CMD_RET_E00 = VBD_RET_E00;
inline constexpr int V232CMD_RET_E04 = VBD_RET_E04;  // also: no match, no answer, value out of range
inline constexpr int V232CMD_RET_E06 = VBD_RET_E06;
inline constexpr int V232CMD_RET_E11 = VBD_RET_E11;
inline constexpr int V232CMD_RET_E12 = VBD_RET_E12;
inline constexpr int V232CMD_RET_E15 = VBD_RET_E15;
inline constexpr int V232CMD_RET_E16 = VBD_RET_E16;
inline constexpr int V232CMD_RET_E99 = VBD_RET_E99;
inline constexpr int V232CMD_RET_STATUS = VBD_RET_STATUS;  // status data follows

// Reply texts: indexed by ret_id 0..9, and by
// V232CMD_RET_CODE_PLAYER_STATUS + n for the player status "P0n" (n 0..9).
inline constexpr int V232CMD_RET_CODE_PLAYER_STATUS = 10;
inline constexpr int V232CMD_PLAYER_STATUS_COUNT = 10;
inline constexpr int V232CMD_RET_CODE_COUNT = V232CMD_RET_CODE_PLAYER_STATUS + V232CMD_PLAYER_STATUS_COUNT;
extern const char* const v232cmd_ret_codes[V232CMD_RET_CODE_COUNT];

// The text of player status n ("P00".."P09"), or null outside 0..9.
const char* v232cmd_player_status_text(int status);

// The request glue formats every reply into a buffer of this size: at most
// 32 characters of reply text plus the NUL, then appends "\r\n".
inline constexpr int V232CMD_REPLY_TEXT_MAX = 32;
inline constexpr int V232CMD_REPLY_BUFFER_SIZE = V232CMD_REPLY_TEXT_MAX + 1;
inline constexpr char V232CMD_LINE_END[] = "\r\n";
// Reply text, "\r\n" and the NUL.
inline constexpr int V232CMD_REPLY_LINE_SIZE = V232CMD_REPLY_TEXT_MAX + 2 + 1;

// Converts a response record into reply text in buf (size bytes, always
// NUL-terminated, never overrun). standby_mode is the player's standby state
// as last reported (1: in standby); only the status form of "?E" (cmd_id 0)
// uses it: "E04" in standby, "00" otherwise. Returns 0 when a reply text was
// written (a status value out of range gives "E04"), 1 when the record
// cannot be converted: null record or buffer, size below 1, or ret_id
// outside 0..10 (buffer left unchanged), or a status reply for a command
// without a status form ("E99" written, log line printed).
int v232cmd_conv_ret_to_string(const v232cmd_ret* ret, int standby_mode, char* buf, int size);

// ---------------------------------------------------------------------------
// Command table and parser
// ---------------------------------------------------------------------------

// The 29 mnemonics; the index is the command number sent to the player.
inline constexpr int V232CMD_COUNT = 29;
extern const char* const v232cmd_names[V232CMD_COUNT];

// Matcher results (negative) and the matching completion codes (positive).
inline constexpr int V232CMD_NO_MATCH = -65535;
inline constexpr int V232CMD_END = -65534;
inline constexpr int V232CMD_ABORT = -65533;
inline constexpr int V232CMD_COMPLETE_REPLY = 0;  // immediate reply of a command
inline constexpr int V232CMD_COMPLETE_NO_MATCH = 65535;
inline constexpr int V232CMD_COMPLETE_END = 65534;
inline constexpr int V232CMD_COMPLETE_ABORT = 65533;

// Asks for the answer to one command and fills the response, which arrives
// prepared as ret_id 3 ("E04") with cmd_id set. 0 on success.
using v232cmd_command_fn = int (*)(const v232cmd_req* req, v232cmd_ret* ret, int user_value);
// Formats and sends one reply. The result is not used by the parser.
using v232cmd_reply_fn = int (*)(int code, const v232cmd_ret* ret, int user_value);

// Per-line parse context; start it zeroed.
struct v232cmd_ctx {
  v232cmd_command_fn command_fn;
  v232cmd_reply_fn reply_fn;
  int user_value;
  v232cmd_ret ret;  // the pending response; ret_id 0 means nothing pending
};

using v232cmd_dispatch_fn = int (*)(int index, int32_t param, v232cmd_ctx* ctx);
using v232cmd_complete_fn = void (*)(int code, v232cmd_ctx* ctx);

// Parser descriptor: the pattern table and the per-command operations.
struct v232cmd_def {
  const char* const* names;
  int count;
  v232cmd_dispatch_fn dispatch;
  v232cmd_complete_fn complete;
};

// The process-wide descriptor: v232cmd_names, 29, v232cmd_dispatch,
// v232cmd_complete.
extern const v232cmd_def v232cmd_descriptor;

// Processes one request line of length bytes (no terminator needed) with a
// fresh context. 0, or -1 when the line was aborted by a 0xFF byte.
int v232cmd_process(const char* text, int length, v232cmd_command_fn command_fn,
                    v232cmd_reply_fn reply_fn, int user_value);

// Processes one line with the given descriptor and context. 0, or -1 when
// aborted by a 0xFF byte.
int v232cmd_parse_line(const char* text, int length, const v232cmd_def* def, v232cmd_ctx* ctx);

// Matches one mnemonic at the start of text (n bytes remaining), trying the
// patterns from the last to the first. Returns the index, or V232CMD_END
// (n 0, NUL, CR or LF; consumed 1), V232CMD_ABORT (0xFF; consumed 1) or
// V232CMD_NO_MATCH (consumed 0). *param gets the capture (0 without one)
// when param is not null. Pattern language: "#" takes a run of decimal
// digits (value wraps modulo 2^32), "$" takes exactly eight hexadecimal
// digits; either is a literal character when the text does not fit it;
// letters compare without case.
int v232cmd_match(const char* const* names, int count, const char* text, int n, int* consumed,
                  int32_t* param);

// Runs one command: prepares the pending response, calls the command
// function, delivers a status reply at once. 0 to go on with the line, -1
// to stop it (command failed or answered with an error code).
int v232cmd_dispatch(int index, int32_t param, v232cmd_ctx* ctx);

// Delivers the pending response, if any, through the reply function and
// clears it. V232CMD_COMPLETE_NO_MATCH turns it into "E04" first.
void v232cmd_complete(int code, v232cmd_ctx* ctx);
