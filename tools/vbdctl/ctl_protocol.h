// vbdctl's knowledge of the control protocol: which replies a request line
// will bring, whether a received line is such a reply or an event, what a
// reply or event means, and the binary request and reply frames.
//
// The server marks nothing: a reply and an auto-feedback event are both one
// line. A line is taken as the awaited reply when its form fits that reply
// (for example "R" or an error code for an action command, three digits for
// "?C"); every other line is an event. The server answers the lines of all
// clients one at a time and a line's replies in order, so this is exact
// except where an event and the awaited status reply look alike ("P04"
// while waiting for the "?P" answer, or any text while waiting for "?L").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vbdctl {

enum class reply_kind {
  handshake_con,  // "CON ..." line: the server answers "CON" (or "ERR" and closes)
  handshake_bin,  // "BIN..." line: the server answers "BINFIN" before parsing it
  no_match,       // text that is not a mnemonic: "E04"
  action,         // an action command: "R" or an error code
  status,         // a status query: its status form or an error code
};

struct expected_reply {
  reply_kind kind;
  int cmd;            // command index (-1 for handshakes and no_match)
  int32_t param;      // the command's parameter
  std::string label;  // what the user typed for it, e.g. "12KL", "?P", "CON"
};

// The replies the server sends for one request line (without its CR), in
// order, when every command succeeds. An error reply ends the line early.
std::vector<expected_reply> expected_replies(std::string_view line);

// The mnemonic of a command with its parameter filled in: "12KL",
// "/0000ABCD/RU". "?" outside the table.
std::string command_label(int cmd, int32_t param);

// "E00".."E99" codes the server sends; their meaning, or nullptr for any
// other text.
const char* error_meaning(std::string_view text);
inline bool is_error_code(std::string_view text) { return error_meaning(text) != nullptr; }

// True when text has the form of the expected reply.
bool reply_fits(const expected_reply& expected, std::string_view text);

// The meaning of a reply ("done", "player status 04: play", "title 001,
// chapter 003, 00:12:34", ...). Unknown forms give "".
std::string describe_reply(const expected_reply& expected, std::string_view text);

// The meaning of an auto-feedback event ("player status 03: stop" for
// "P03"); "" for a text without a known form.
std::string describe_event(std::string_view text);

// The meaning of a player status code 0..9 ("play", ...).
const char* status_name(int code);

// ---------------------------------------------------------------------------
// Binary frames: 0x02, 0x82, length (2 bytes, MSB first), payload, 0x01, XOR
// of every byte before it. The server takes at most 256 bytes per request.
// ---------------------------------------------------------------------------

inline constexpr int MAX_REQUEST_BYTES = 256;
inline constexpr int MAX_TEXT_LINE = MAX_REQUEST_BYTES - 1;     // plus the CR
inline constexpr int MAX_FRAME_PAYLOAD = MAX_REQUEST_BYTES - 6;  // plus the frame bytes

std::string encode_frame(std::string_view payload);

enum class unit_result {
  incomplete,  // more bytes needed
  line,        // a text line (CR and LF removed)
  frame,       // a binary frame with a good checksum (its payload)
  bad_frame,   // a binary frame whose checksum is wrong (dropped)
};

// Takes one reply unit from the front of buffer into text.
unit_result take_unit(std::string* buffer, std::string* text);

}  // namespace vbdctl
