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

// One reply a request line brings. label is exactly the slice of the line
// it answers: the server keeps one reply slot per line, so every command
// run since the last reply went out (a status reply goes at once, an
// action's waits for the end of the segment, a later command overwrites it)
// is answered by this one reply. For "PNPL" one "R" answers "PNPL"; for
// "PLAY" one "E04" answers "PLAY" ("PL" ran, "AY" is no command).
struct expected_reply {
  reply_kind kind = reply_kind::no_match;
  int cmd = -1;       // command index (-1 for handshakes and no_match)
  int32_t param = 0;  // the command's parameter
  std::string label;  // the slice of the line this reply answers
  // The part of label the reply comes from: the last mnemonic as typed
  // ("12KL"), the text that is no command (up to the end of the line, which
  // the server ignores), "CON"/"BIN" for the handshakes.
  std::string source;
  // Commands in label before source; they ran without a reply of their own.
  std::vector<std::string> ran_before;
};

// The replies the server sends for one request line (without its CR), in
// order, when every command succeeds. An error reply ends the line early.
std::vector<expected_reply> expected_replies(std::string_view line);

// A label as printed: control bytes escaped (\r, \n, \xFF), and quoted
// when empty or when it starts or ends with a space.
std::string display_label(std::string_view label);

// The mnemonics of the command table as it writes them ("#" a decimal
// number, "$" eight hexadecimal digits).
std::vector<std::string> command_mnemonics();

// Completions of the last word of a request line being typed: the word's
// leading run of whole commands is kept and its unfinished tail completed
// to a mnemonic without a "$" capture ("12K" gives "12KL", "?AP" gives
// "?APF", "?APL", ...). Letters compare without case; results are upper
// case, in table order.
std::vector<std::string> complete_word(std::string_view word);

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
