// Reply formatting: turns a 44-byte response record into the reply text a
// client receives, either a fixed code ("R", "E04", ...) or a status string
// laid out by the command it answers.
//
// Values come from the player's main program and are not trusted: every
// numeric field and every flag is checked against its bound, and the first
// one out of range turns the whole reply into "E04". The one state a reply
// depends on beyond its record, the standby state of "?E", is an argument.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/v232cmd.h"

namespace {

constexpr std::string_view flags_01x = "01x";
constexpr std::string_view flags_012x = "012x";
constexpr std::string_view flags_012345x = "012345x";

// Status layouts: `kind` 0..3 is the long form, 4 or 5 the short form.
constexpr uint32_t kKindLongMax = 3;
constexpr uint32_t kKindMax = 5;

enum status_cmd : int {
  kCmdLastError = 0,
  kCmdA = 12,
  kCmdR = 13,
  kCmdC = 14,
  kCmdT = 15,
  kCmdI = 16,
  kCmdK = 17,
  kCmdV = 18,
  kCmdJ = 19,
  kCmdD = 20,
  kCmdP = 21,
  kCmdL = 22,
  kCmdZ = 23,
};

// Field readers by offset within the record (the data starts at offset 8).
class status_fields {
 public:
  explicit status_fields(const v232cmd_ret& ret) : ret_(ret) {}
  uint8_t u8(size_t offset) const { return ret_.data[offset - kDataOffset]; }
  uint16_t u16(size_t offset) const { return read<uint16_t>(offset); }
  int32_t i32(size_t offset) const { return read<int32_t>(offset); }
  // The NUL-terminated text at offset, never read past the record.
  std::string_view text(size_t offset) const {
    const auto* start = reinterpret_cast<const char*>(ret_.data + (offset - kDataOffset));
    const size_t room = sizeof ret_.data - (offset - kDataOffset);
    return {start, strnlen(start, room)};
  }

 private:
  static constexpr size_t kDataOffset = offsetof(v232cmd_ret, data);
  template <typename T>
  T read(size_t offset) const {
    T value;
    std::memcpy(&value, ret_.data + (offset - kDataOffset), sizeof value);
    return value;
  }
  const v232cmd_ret& ret_;
};

// Writes text into the zeroed buffer, cut to size - 1 bytes; the last byte
// of the buffer stays 0.
void put_text(char* buf, int size, std::string_view text) {
  const size_t room = static_cast<size_t>(size) - 1;
  std::memcpy(buf, text.data(), text.size() < room ? text.size() : room);
}

// One flag character, or 0 when the value lies outside the alphabet.
char flag(std::string_view alphabet, int32_t value) {
  const auto index = static_cast<uint32_t>(value);
  return index < alphabet.size() ? alphabet[index] : '\0';
}

// Formats the status reply of one command; "?E" answers by the standby
// state. Returns false when a value is out of range (the caller answers
// "E04").
bool format_status(const v232cmd_ret& ret, int standby_mode, char* buf, int size) {
  const status_fields f(ret);
  // The formatted text is cut to the buffer, never overflows it.
  const auto room = static_cast<size_t>(size);
  switch (ret.cmd_id) {
    case kCmdLastError:
      put_text(buf, size, standby_mode == 1 ? v232cmd_ret_codes[V232CMD_RET_E04] : "00");
      return true;

    case kCmdA: {
      const auto kind = static_cast<uint32_t>(f.i32(8));
      const unsigned a = f.u16(12), b = f.u16(14), c = f.u8(16), d = f.u8(17), e = f.u8(18);
      if (kind > kKindMax) return false;
      if (kind <= kKindLongMax) {
        if (a > 999 || b > 999 || c > 99 || d > 99 || e > 99) return false;
        std::snprintf(buf, room, "%03u%03u%02u%02u%02u", a, b, c, d, e);
      } else {
        const unsigned minutes = c * 60 + d;
        if (a > 99 || b > 99 || minutes > 99 || e > 99) return false;
        std::snprintf(buf, room, "%02u%02u%02u%02u", a, b, minutes, e);
      }
      return true;
    }

    case kCmdR: {
      const auto kind = static_cast<uint32_t>(f.i32(8));
      const unsigned value = f.u16(12);
      if (kind > kKindMax) return false;
      const bool long_form = kind <= kKindLongMax;
      if (value > (long_form ? 999u : 99u)) return false;
      std::snprintf(buf, room, long_form ? "%03u" : "%02u", value);
      return true;
    }

    case kCmdC: {
      const unsigned value = f.u16(8);
      if (value > 999) return false;
      std::snprintf(buf, room, "%03u", value);
      return true;
    }

    case kCmdT: {
      const auto kind = static_cast<uint32_t>(f.i32(8));
      const unsigned a = f.u16(12), b = f.u8(14);
      if (kind > kKindMax) return false;
      if (kind <= kKindLongMax) {
        if (a > 9999 || b > 99) return false;
        std::snprintf(buf, room, "%04u%02u", a, b);
      } else {
        if (a > 99 || b > 99) return false;
        std::snprintf(buf, room, "%02u%02u", a, b);
      }
      return true;
    }

    case kCmdI: {
      const unsigned a = f.u8(8), b = f.u8(9);
      if (a > 99 || b > 99) return false;
      std::snprintf(buf, room, "%02u%02u", a, b);
      return true;
    }

    case kCmdK: {
      char text[8];
      text[0] = flag(flags_01x, f.i32(8));
      text[1] = flag(flags_01x, f.i32(12));
      if (text[0] == '\0' || text[1] == '\0') return false;
      for (size_t i = 0; i < 6; ++i) {
        const uint8_t digit = f.u8(16 + i);
        text[2 + i] = digit <= 9 ? static_cast<char>('0' + digit) : 'x';
      }
      put_text(buf, size, {text, sizeof text});
      return true;
    }

    case kCmdV:
    case kCmdJ: {
      const char text[5] = {flag(flags_01x, f.i32(8)), 'x', 'x', flag(flags_01x, f.i32(12)),
                            flag(flags_01x, f.i32(16))};
      if (text[0] == '\0' || text[3] == '\0' || text[4] == '\0') return false;
      put_text(buf, size, {text, sizeof text});
      return true;
    }

    case kCmdD: {
      const char text[3] = {flag(flags_01x, f.i32(8)), flag(flags_012x, f.i32(12)),
                            flag(flags_012345x, f.i32(16))};
      if (text[0] == '\0' || text[1] == '\0' || text[2] == '\0') return false;
      put_text(buf, size, {text, sizeof text});
      return true;
    }

    case kCmdP: {
      const char* text = v232cmd_player_status_text(f.i32(8));
      if (text == nullptr) return false;
      put_text(buf, size, text);
      return true;
    }

    case kCmdL:
    case kCmdZ:
      put_text(buf, size, f.text(8));
      return true;

    default:
      return false;  // not reached: the caller checks has_status_form
  }
}

bool has_status_form(int cmd_id) {
  return cmd_id == kCmdLastError || (cmd_id >= kCmdA && cmd_id <= kCmdZ);
}

}  // namespace

int v232cmd_conv_ret_to_string(const v232cmd_ret* ret, int standby_mode, char* buf, int size) {
  if (ret == nullptr || buf == nullptr || size < 1) return 1;
  if (static_cast<uint32_t>(ret->ret_id) > V232CMD_RET_STATUS) return 1;
  std::memset(buf, 0, static_cast<size_t>(size));

  if (ret->ret_id != V232CMD_RET_STATUS) {
    put_text(buf, size, v232cmd_ret_codes[ret->ret_id]);
    return 0;
  }
  if (!has_status_form(ret->cmd_id)) {
    std::printf("v232cmd_conv_ret_to_string: this command is not support request status: cmd.id=%d\n",
                ret->cmd_id);
    put_text(buf, size, v232cmd_ret_codes[V232CMD_RET_E99]);
    return 1;
  }
  if (!format_status(*ret, standby_mode, buf, size)) {
    std::memset(buf, 0, static_cast<size_t>(size));
    put_text(buf, size, v232cmd_ret_codes[V232CMD_RET_E04]);
  }
  return 0;
}
