// cg_buffer: the growable byte buffer with an optional cap.
#include <cstdlib>
#include <cstring>

#include "runtime/runtime.h"

namespace {

size_t limit_of(const cg_buffer* buf) {
  return buf->limit != 0 && buf->limit < CG_BUFFER_MAX_BYTES ? buf->limit : CG_BUFFER_MAX_BYTES;
}

}  // namespace

size_t cg_buffer_capacity_for(const cg_buffer* buf, size_t extra) {
  const size_t limit = limit_of(buf);
  if (buf->length > limit || extra > limit - buf->length) return 0;
  const size_t needed = buf->length + extra + 1;  // room for the terminator
  if (needed <= buf->capacity) return buf->capacity;
  // Twice the old size or what is needed, whichever is more (a buffer that
  // a connection keeps is then about the size of its largest message), but
  // never past the limit and its terminator.
  size_t capacity = buf->capacity == 0               ? 64
                    : buf->capacity <= (limit + 1) / 2 ? buf->capacity * 2
                                                       : limit + 1;
  if (capacity < needed) capacity = needed;
  if (capacity > limit + 1) capacity = limit + 1;
  return capacity;
}

bool cg_buffer_reserve(cg_buffer* buf, size_t extra) {
  const size_t capacity = cg_buffer_capacity_for(buf, extra);
  if (capacity == 0) {
    buf->failed = true;
    return false;
  }
  if (capacity == buf->capacity) return true;
  auto* grown = static_cast<char*>(std::realloc(buf->data, capacity));
  if (!grown) {
    buf->failed = true;
    return false;
  }
  buf->data = grown;
  buf->capacity = capacity;
  return true;
}

bool cg_buffer_append(cg_buffer* buf, const char* bytes, size_t n) {
  if (n == 0) return true;
  if (!cg_buffer_reserve(buf, n)) return false;
  std::memcpy(buf->data + buf->length, bytes, n);
  buf->length += n;
  buf->data[buf->length] = '\0';
  return true;
}

void cg_buffer_reset(cg_buffer* buf) {
  buf->length = 0;
  buf->failed = false;
  if (buf->data) buf->data[0] = '\0';
}

void cg_buffer_release(cg_buffer* buf) {
  std::free(buf->data);
  *buf = cg_buffer{nullptr, 0, 0, buf->limit, false};
}

void cg_buffer_move_to_string(cg_buffer* buf, cg_string* str) {
  if (!buf->data) {
    cg_string_clear(str);
    return;
  }
  buf->data[buf->length] = '\0';
  cg_string_adopt(str, buf->data, static_cast<int>(buf->length));
  *buf = cg_buffer{nullptr, 0, 0, buf->limit, false};
}
