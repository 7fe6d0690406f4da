// vbdctl's protocol knowledge: reply prediction with the server's own
// mnemonic matcher, reply forms and meanings, and binary frames.
#include "tools/vbdctl/ctl_protocol.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "app/v232cmd.h"
#include "include/vbd/player_link.h"

namespace vbdctl {

namespace {

bool is_status_query(int cmd) {
  return cmd == VBD_CMD_QUERY_ERROR || (cmd >= VBD_CMD_QUERY_ADDRESS && cmd <= VBD_CMD_QUERY_MODEL);
}

bool all_in(std::string_view text, std::string_view alphabet) {
  for (char c : text) {
    if (alphabet.find(c) == std::string_view::npos) return false;
  }
  return true;
}

bool digits(std::string_view text, size_t n) { return text.size() == n && all_in(text, "0123456789"); }

int number(std::string_view text, size_t pos, size_t n) {
  int value = 0;
  for (size_t i = pos; i < pos + n && i < text.size(); ++i) value = value * 10 + (text[i] - '0');
  return value;
}

// A flag character of the "01x" alphabets.
const char* flag(char c) { return c == '0' ? "off" : c == '1' ? "on" : "n/a"; }

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char text[160];
  va_list args;
  va_start(args, pattern);
  vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

constexpr const char* STATUS_NAMES[] = {"standby", "tray open", "no disc", "stop", "play",
                                        "still", "scan forward", "scan reverse"};

const char* disc_type(char c) {
  switch (c) {
    case '0': return "BD";
    case '1': return "DVD";
    case '2': return "CD";
    default: return "none";
  }
}

const char* disc_state(char c) {
  switch (c) {
    case '0': return "stop";
    case '1': return "play";
    case '2': return "still";
    case '3': return "scan forward";
    case '4': return "scan reverse";
    case '5': return "tray open";
    default: return "no disc";
  }
}

std::string describe_status(int cmd, std::string_view t) {
  switch (cmd) {
    case VBD_CMD_QUERY_ERROR:
      return t == "00" ? "no error since start, player on" : "";
    case VBD_CMD_QUERY_ADDRESS:
      if (t.size() == 12) {
        return format("title %d, chapter %d, %02d:%02d:%02d", number(t, 0, 3), number(t, 3, 3), number(t, 6, 2),
                      number(t, 8, 2), number(t, 10, 2));
      }
      return format("track %d, index %d, %02d:%02d", number(t, 0, 2), number(t, 2, 2), number(t, 4, 2),
                    number(t, 6, 2));
    case VBD_CMD_QUERY_CHAPTER:
      return format("%s %d", t.size() == 3 ? "chapter" : "track", number(t, 0, t.size()));
    case VBD_CMD_QUERY_CHAPTERS: return format("%d chapters", number(t, 0, 3));
    case VBD_CMD_QUERY_TIME: {
      size_t m = t.size() - 2;
      return format("elapsed %d min %02d s", number(t, 0, m), number(t, m, 2));
    }
    case VBD_CMD_QUERY_TITLE: return format("title %d of %d", number(t, 0, 2), number(t, 2, 2));
    case VBD_CMD_QUERY_KEYS:
      return format("key lock %s, panel lock %s, audio %c, subtitle %c, angle %c, other %c%c%c", flag(t[0]),
                    flag(t[1]), t[2], t[3], t[4], t[5], t[6], t[7]);
    case VBD_CMD_QUERY_VIDEO:
    case VBD_CMD_QUERY_AUDIO:
      return format("flags %s, %s, %s", flag(t[0]), flag(t[3]), flag(t[4]));
    case VBD_CMD_QUERY_DISC:
      return format("disc loaded %s, type %s, state %s", t[0] == '1' ? "yes" : t[0] == '0' ? "no" : "n/a",
                    disc_type(t[1]), disc_state(t[2]));
    case VBD_CMD_QUERY_STATUS:
      return format("player status %.2s: %s", t.data() + 1, status_name(number(t, 1, 2)));
    case VBD_CMD_QUERY_LABEL: return format("disc label \"%.*s\"", static_cast<int>(t.size()), t.data());
    case VBD_CMD_QUERY_MODEL: return format("model \"%.*s\"", static_cast<int>(t.size()), t.data());
    default: return "";
  }
}

bool status_fits(int cmd, std::string_view t) {
  switch (cmd) {
    case VBD_CMD_QUERY_ERROR: return t == "00";
    case VBD_CMD_QUERY_ADDRESS: return digits(t, 8) || digits(t, 12);
    case VBD_CMD_QUERY_CHAPTER: return digits(t, 2) || digits(t, 3);
    case VBD_CMD_QUERY_CHAPTERS: return digits(t, 3);
    case VBD_CMD_QUERY_TIME: return digits(t, 4) || digits(t, 6);
    case VBD_CMD_QUERY_TITLE: return digits(t, 4);
    case VBD_CMD_QUERY_KEYS:
      return t.size() == 8 && all_in(t.substr(0, 2), "01x") && all_in(t.substr(2), "0123456789x");
    case VBD_CMD_QUERY_VIDEO:
    case VBD_CMD_QUERY_AUDIO: return t.size() == 5 && all_in(t, "01x") && t[1] == 'x' && t[2] == 'x';
    case VBD_CMD_QUERY_DISC:
      return t.size() == 3 && all_in(t.substr(0, 1), "01x") && all_in(t.substr(1, 1), "012x") &&
             all_in(t.substr(2, 1), "012345x");
    case VBD_CMD_QUERY_STATUS: return t.size() == 3 && t[0] == 'P' && t[1] == '0' && digits(t.substr(2), 1);
    case VBD_CMD_QUERY_LABEL:
    case VBD_CMD_QUERY_MODEL: return t.size() <= V232CMD_REPLY_TEXT_MAX;
    default: return false;
  }
}

// What a reply says about the commands before its own in its slice: they
// ran, and this reply answers for them; an error came from the first of
// them that failed, where the line stopped.
std::string ran_before_note(const expected_reply& expected, bool error) {
  if (expected.ran_before.empty()) return "";
  std::string names;
  for (const std::string& name : expected.ran_before) names += display_label(name) + ", ";
  if (error) return "; from one of " + names + display_label(expected.source) + ": the line stopped there";
  names.resize(names.size() - 2);
  return "; " + names +
         (expected.ran_before.size() == 1 ? " ran before it, without a reply of its own"
                                          : " ran before it, without replies of their own");
}

}  // namespace

// The server's line rules, walked with its own matcher: a status reply goes
// out at once, an action's reply waits for the end of the line (a later
// command replaces it), CR/LF/NUL end a segment and deliver what waits, text
// that is no mnemonic becomes "E04" and ends the line, 0xFF aborts it. The
// server holds one reply at a time, so each reply answers the slice from
// the first command after the previous reply to its own end.
std::vector<expected_reply> expected_replies(std::string_view line) {
  std::vector<expected_reply> out;
  // The server hands the handshake test and the parser the text up to its
  // first NUL.
  line = line.substr(0, line.find('\0'));
  if (line.substr(0, 3) == "CON") {
    out.push_back({reply_kind::handshake_con, -1, 0, std::string(line), "CON", {}});
    return out;
  }
  if (line.substr(0, 3) == "BIN" && line != "BINFIN") {
    out.push_back({reply_kind::handshake_bin, -1, 0, std::string(line), "BIN", {}});
  }

  constexpr size_t NONE = std::string_view::npos;
  size_t start = NONE;  // where the slice of the next reply begins
  std::vector<std::string> ran;  // actions of that slice whose reply was replaced
  bool pending = false;
  expected_reply waiting{};
  const auto deliver = [&](expected_reply reply, size_t end) {
    reply.label = std::string(line.substr(start, end - start));
    reply.ran_before = std::move(ran);
    out.push_back(std::move(reply));
    ran.clear();
    start = NONE;
    pending = false;
  };

  size_t pos = 0;
  while (pos < line.size()) {
    int consumed = 0;
    int32_t param = 0;
    int n = static_cast<int>(line.size() - pos);
    int index = v232cmd_match(v232cmd_names, V232CMD_COUNT, line.data() + pos, n, &consumed, &param);
    if (index == V232CMD_ABORT) {
      if (pending) deliver(waiting, pos);
      return out;
    }
    if (index == V232CMD_END) {
      if (pending) deliver(waiting, pos);
      pos += 1;
      continue;
    }
    if (start == NONE) start = pos;
    if (index == V232CMD_NO_MATCH) {
      if (pending) ran.push_back(waiting.source);
      deliver({reply_kind::no_match, -1, 0, "", std::string(line.substr(pos)), {}}, line.size());
      return out;
    }
    expected_reply reply{is_status_query(index) ? reply_kind::status : reply_kind::action, index, param, "",
                         std::string(line.substr(pos, static_cast<size_t>(consumed))), {}};
    pos += static_cast<size_t>(consumed);
    if (pending) ran.push_back(waiting.source);
    if (reply.kind == reply_kind::status) {
      deliver(std::move(reply), pos);
    } else {
      waiting = std::move(reply);
      pending = true;
    }
  }
  if (pending) deliver(waiting, line.size());
  return out;
}

std::string display_label(std::string_view label) {
  std::string out;
  for (char c : label) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == '\\') out += "\\\\";
    else if (byte < 0x20 || byte >= 0x7F) out += format("\\x%02X", byte);
    else out += c;
  }
  if (label.empty() || label.front() == ' ' || label.back() == ' ') return '"' + out + '"';
  return out;
}

std::vector<std::string> command_mnemonics() { return {v232cmd_names, v232cmd_names + V232CMD_COUNT}; }

std::vector<std::string> complete_word(std::string_view word) {
  // The leading run of whole commands stays as typed.
  size_t pos = 0;
  while (pos < word.size()) {
    int consumed = 0;
    int index = v232cmd_match(v232cmd_names, V232CMD_COUNT, word.data() + pos, static_cast<int>(word.size() - pos),
                              &consumed, nullptr);
    if (index < 0) break;
    pos += static_cast<size_t>(consumed);
  }
  const std::string head(word.substr(0, pos));
  const std::string_view tail = word.substr(pos);
  if (tail.empty() && !word.empty()) return {std::string(word)};

  // A decimal capture completes after the digits typed for it.
  const size_t digit_count = tail.find_first_not_of("0123456789");
  const std::string_view number = tail.substr(0, digit_count);
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  const auto starts_with = [&](std::string_view text, std::string_view prefix) {
    if (prefix.size() > text.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
      if (upper(text[i]) != upper(prefix[i])) return false;
    }
    return true;
  };
  std::vector<std::string> out;
  for (int i = 0; i < V232CMD_COUNT; ++i) {
    std::string_view name = v232cmd_names[i];
    if (name.find('$') != std::string_view::npos) continue;
    if (name.front() == '#') {
      if (number.empty()) continue;
      name.remove_prefix(1);
      if (starts_with(name, tail.substr(number.size()))) out.push_back(head + std::string(number) + std::string(name));
    } else if (starts_with(name, tail)) {
      out.push_back(head + std::string(name));
    }
  }
  return out;
}

std::string command_label(int cmd, int32_t param) {
  if (cmd < 0 || cmd >= V232CMD_COUNT) return "?";
  std::string out;
  for (const char* p = v232cmd_names[cmd]; *p != '\0'; ++p) {
    if (*p == '#') out += format("%u", static_cast<unsigned>(param));
    else if (*p == '$') out += format("%08X", static_cast<unsigned>(param));
    else out += *p;
  }
  return out;
}

const char* error_meaning(std::string_view text) {
  static constexpr struct {
    const char* code;
    const char* meaning;
  } ERRORS[] = {
      {"E00", "communication error"},
      {"E04", "not possible now, or no answer from the player"},
      {"E06", "parameter out of range"},
      {"E11", "no disc"},
      {"E12", "no such title or chapter"},
      {"E15", "player error 15"},
      {"E16", "player error 16"},
      {"E99", "command not supported"},
  };
  for (const auto& e : ERRORS) {
    if (text == e.code) return e.meaning;
  }
  return nullptr;
}

const char* status_name(int code) {
  if (code >= 0 && code < static_cast<int>(sizeof STATUS_NAMES / sizeof STATUS_NAMES[0])) return STATUS_NAMES[code];
  return "unknown";
}

bool reply_fits(const expected_reply& expected, std::string_view text) {
  switch (expected.kind) {
    case reply_kind::handshake_con: return text == "CON" || text == "ERR";
    case reply_kind::handshake_bin: return text == "BINFIN";
    case reply_kind::no_match: return text == "E04";
    case reply_kind::action: return text == "R" || is_error_code(text);
    case reply_kind::status: return is_error_code(text) || status_fits(expected.cmd, text);
  }
  return false;
}

std::string describe_reply(const expected_reply& expected, std::string_view text) {
  switch (expected.kind) {
    case reply_kind::handshake_con:
      return text == "CON" ? "connection accepted" : "connection refused (client not registered)";
    case reply_kind::handshake_bin: return "binary handshake answered";
    case reply_kind::no_match: {
      // Always quoted: the text may be a lone space.
      std::string source = display_label(expected.source);
      if (source.front() != '"') source = '"' + source + '"';
      return "no command at " + source + ": the rest of the line was ignored" + ran_before_note(expected, false);
    }
    case reply_kind::action:
    case reply_kind::status: {
      std::string meaning;
      const bool error = is_error_code(text);
      if (error) {
        meaning = format(expected.cmd == VBD_CMD_QUERY_ERROR ? "last error: %s" : "error: %s", error_meaning(text));
      } else if (expected.kind == reply_kind::action) {
        meaning = text == "R" ? "done" : "";
      } else {
        meaning = status_fits(expected.cmd, text) ? describe_status(expected.cmd, text) : "";
      }
      if (meaning.empty()) return "";
      return meaning + ran_before_note(expected, error);
    }
  }
  return "";
}

std::string describe_event(std::string_view text) {
  if (text.size() == 3 && text[0] == 'P' && text[1] >= '0' && text[1] <= '9' && text[2] >= '0' && text[2] <= '9') {
    return format("player status %.2s: %s", text.data() + 1, status_name(number(text, 1, 2)));
  }
  return "";
}

std::string encode_frame(std::string_view payload) {
  std::string frame;
  frame += '\x02';
  frame += static_cast<char>(0x82);
  frame += static_cast<char>((payload.size() >> 8) & 0xFF);
  frame += static_cast<char>(payload.size() & 0xFF);
  frame.append(payload);
  frame += '\x01';
  unsigned char sum = 0;
  for (char c : frame) sum = static_cast<unsigned char>(sum ^ static_cast<unsigned char>(c));
  frame += static_cast<char>(sum);
  return frame;
}

unit_result take_unit(std::string* buffer, std::string* text) {
  // A line that ended in LF CR leaves its CR in front of the next unit.
  while (buffer->size() >= 2 && (*buffer)[0] == '\r' && (*buffer)[1] != '\n') buffer->erase(0, 1);
  if (buffer->empty()) return unit_result::incomplete;

  if ((*buffer)[0] == '\x02') {
    if (buffer->size() < 4) return unit_result::incomplete;
    const auto byte = [&](size_t i) { return static_cast<unsigned char>((*buffer)[i]); };
    const unsigned header = byte(1);
    const size_t length = (static_cast<size_t>(byte(2)) << 8) | byte(3);
    size_t total = 4 + length + 1;
    if (header & 0x80) {
      if (buffer->size() < 4 + length + 1) return unit_result::incomplete;
      unsigned trailer = byte(4 + length) & 0x0F;
      total = 4 + length + 1 + (trailer == 0 ? 1 : trailer);
    }
    if (buffer->size() < total) return unit_result::incomplete;
    bool good = true;
    if (header & 0x80) {
      unsigned char sum = 0;
      for (size_t i = 0; i <= 4 + length; ++i) sum = static_cast<unsigned char>(sum ^ byte(i));
      good = sum == byte(5 + length);
    }
    *text = buffer->substr(4, length);
    buffer->erase(0, total);
    return good ? unit_result::frame : unit_result::bad_frame;
  }

  size_t eol = buffer->find('\n');
  if (eol == std::string::npos) {
    // A runaway line without an end is handed over in one piece.
    if (buffer->size() < 4096) return unit_result::incomplete;
    eol = buffer->size();
  }
  std::string line = buffer->substr(0, eol);
  buffer->erase(0, eol < buffer->size() ? eol + 1 : eol);
  while (!line.empty() && line.front() == '\r') line.erase(0, 1);
  while (!line.empty() && line.back() == '\r') line.pop_back();
  *text = line;
  return unit_result::line;
}

}  // namespace vbdctl
