// The growable byte buffer used to assemble bodies and outgoing messages.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "http/http_internal.h"

namespace vbd_http {

namespace {

// The largest buffer whose bytes, with a terminating NUL, still fit the int
// length of a cg_string.
constexpr size_t kMaxBytes = static_cast<size_t>(INT_MAX) - 1;

}  // namespace

bool buffer_reserve(byte_buffer* buf, size_t extra) {
  if (extra > kMaxBytes - buf->length) return false;
  size_t needed = buf->length + extra + 1;  // room for a terminating NUL
  if (needed <= buf->capacity) return true;
  size_t capacity = buf->capacity < kMaxBytes / 2 ? buf->capacity * 2 : kMaxBytes + 1;
  if (capacity < needed) capacity = needed;
  auto* grown = static_cast<char*>(std::realloc(buf->data, capacity));
  if (!grown) return false;
  buf->data = grown;
  buf->capacity = capacity;
  return true;
}

bool buffer_append(byte_buffer* buf, const char* bytes, size_t n) {
  if (n == 0) return true;
  if (!buffer_reserve(buf, n)) return false;
  std::memcpy(buf->data + buf->length, bytes, n);
  buf->length += n;
  return true;
}

void buffer_release(byte_buffer* buf) {
  std::free(buf->data);
  *buf = byte_buffer{};
}

void buffer_move_to_string(byte_buffer* buf, cg_string* str) {
  if (!buf->data) {
    cg_string_clear(str);
    return;
  }
  buf->data[buf->length] = '\0';
  cg_string_adopt(str, buf->data, static_cast<int>(buf->length));
  *buf = byte_buffer{};
}

}  // namespace vbd_http
