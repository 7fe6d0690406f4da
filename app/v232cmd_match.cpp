// Mnemonic matcher: recognises one command pattern at a position of a
// request line and takes its numeric capture.
#include <cstdint>
#include <string_view>

#include "app/v232cmd.h"
#include "runtime/runtime.h"

namespace {

constexpr int kHexCaptureDigits = 8;

constexpr unsigned char ascii_upper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Walks one pattern against text; returns the number of text bytes covered
// when the whole pattern is used up, -1 on a mismatch or when the text runs
// out first. Each capture starts from 0, so the last one wins; the value
// wraps modulo 2^32.
int match_pattern(std::string_view pattern, std::string_view text, uint32_t* capture) {
  size_t pos = 0;
  uint32_t value = 0;
  for (const char pc : pattern) {
    if (pos >= text.size()) return -1;
    const auto tc = static_cast<unsigned char>(text[pos]);
    if (pc == '#' && is_digit(tc)) {
      value = 0;
      while (pos < text.size() && is_digit(static_cast<unsigned char>(text[pos]))) {
        value = value * 10u + static_cast<uint32_t>(text[pos] - '0');
        ++pos;
      }
      continue;
    }
    if (pc == '$' && text.size() - pos >= kHexCaptureDigits) {
      uint32_t hex = 0;
      bool all_hex = true;
      for (int i = 0; i < kHexCaptureDigits; ++i) {
        const int d = cg_hex_digit_value(text[pos + i]);
        if (d < 0) {
          all_hex = false;
          break;
        }
        hex = (hex << 4) | static_cast<uint32_t>(d);
      }
      if (all_hex) {
        value = hex;
        pos += kHexCaptureDigits;
        continue;
      }
    }
    // Any other pattern character, or a capture that does not fit: literal.
    if (ascii_upper(static_cast<unsigned char>(pc)) != ascii_upper(tc)) return -1;
    ++pos;
  }
  *capture = value;
  return static_cast<int>(pos);
}

}  // namespace

int v232cmd_match(const char* const* names, int count, const char* text, int n, int* consumed,
                  int32_t* param) {
  int dummy_consumed = 0;
  if (consumed == nullptr) consumed = &dummy_consumed;
  if (param != nullptr) *param = 0;

  if (text == nullptr || n <= 0 || text[0] == '\0' || text[0] == '\r' || text[0] == '\n') {
    *consumed = 1;
    return V232CMD_END;
  }
  if (static_cast<unsigned char>(text[0]) == 0xFF) {
    *consumed = 1;
    return V232CMD_ABORT;
  }

  const std::string_view line(text, static_cast<size_t>(n));
  for (int index = count - 1; names != nullptr && index >= 0; --index) {
    // An empty pattern would match without consuming anything; skip it.
    if (names[index] == nullptr || names[index][0] == '\0') continue;
    uint32_t capture = 0;
    const int covered = match_pattern(names[index], line, &capture);
    if (covered > 0) {
      *consumed = covered;
      if (param != nullptr) *param = static_cast<int32_t>(capture);
      return index;
    }
  }
  *consumed = 0;
  return V232CMD_NO_MATCH;
}
