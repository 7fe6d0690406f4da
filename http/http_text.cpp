// Number parsing and line splitting for HTTP message text.
#include <climits>

#include "http/http_internal.h"

namespace vbd_http {

namespace {

constexpr bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

size_t skip_space(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && is_space(text[i])) i++;
  return i;
}

constexpr std::string_view kHeaderDelimiters = "\r\n :";
constexpr std::string_view kRequestLineDelimiters = "\r\n ";

constexpr auto npos = std::string_view::npos;

}  // namespace

long long parse_decimal(std::string_view text) {
  size_t i = skip_space(text);
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulated as a negative number, whose range holds LLONG_MIN.
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
    int digit = text[i] - '0';
    if (value < (LLONG_MIN + digit) / 10) return negative ? LLONG_MIN : LLONG_MAX;
    value = value * 10 - digit;
  }
  if (negative) return value;
  return value == LLONG_MIN ? LLONG_MAX : -value;
}

long long parse_hex(std::string_view text) {
  long long value = 0;
  for (size_t i = skip_space(text); i < text.size(); i++) {
    int digit = cg_hex_digit_value(text[i]);
    if (digit < 0) break;
    if (value > (LLONG_MAX - digit) / 16) return LLONG_MAX;
    value = value * 16 + digit;
  }
  return value;
}

bool split_header_line(std::string_view line, std::string_view* name, std::string_view* value) {
  line = until_nul(line);
  size_t start = line.find_first_not_of(kHeaderDelimiters);
  if (start == npos) return false;
  size_t end = line.find_first_of(kHeaderDelimiters, start);
  *name = line.substr(start, end == npos ? npos : end - start);
  size_t value_start = end == npos ? npos : line.find_first_not_of(kHeaderDelimiters, end);
  if (value_start == npos) {
    *value = std::string_view();
    return true;
  }
  // The rest of the line, delimiters inside it included, without the
  // trailing ones (there is at least one non-delimiter, so this is found).
  size_t last = line.find_last_not_of(kHeaderDelimiters);
  *value = line.substr(value_start, last + 1 - value_start);
  return true;
}

int split_request_line(std::string_view line, std::string_view tokens[3]) {
  line = until_nul(line);
  int count = 0;
  size_t pos = 0;
  while (count < 3) {
    size_t start = line.find_first_not_of(kRequestLineDelimiters, pos);
    if (start == npos) break;
    size_t end = line.find_first_of(kRequestLineDelimiters, start);
    tokens[count++] = line.substr(start, end == npos ? npos : end - start);
    if (end == npos) break;
    pos = end;
  }
  return count;
}

}  // namespace vbd_http
