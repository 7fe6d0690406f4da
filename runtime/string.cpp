// cg_string: the owned, growable, NUL-terminated byte string, and replace-all.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "runtime/runtime.h"

namespace {

// Slack added on every growth: a string built by small appends is
// reallocated about once per 16 bytes.
constexpr int kGrowthSlack = 16;

}  // namespace

cg_string* cg_string_new() {
  auto* str = static_cast<cg_string*>(std::malloc(sizeof(cg_string)));
  if (!str) return nullptr;
  str->value = nullptr;
  str->capacity = 0;
  str->length = 0;
  return str;
}

void cg_string_delete(cg_string* str) {
  if (!str) return;
  cg_string_clear(str);
  std::free(str);
}

void cg_string_clear(cg_string* str) {
  if (!str) return;
  std::free(str->value);
  str->value = nullptr;
  str->capacity = 0;
  str->length = 0;
}

void cg_string_set_n(cg_string* str, const char* bytes, int n) {
  if (!str) return;
  if (!bytes || n < 0) {
    cg_string_clear(str);
    return;
  }
  // The bytes may lie in the string's own value (a node's name set from
  // itself, a suffix of it): copy them before the old value is freed.
  auto* value = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
  if (value) {
    std::memcpy(value, bytes, static_cast<size_t>(n));
    value[n] = '\0';
  }
  cg_string_clear(str);
  if (!value) return;
  str->value = value;
  str->capacity = n + 1;
  str->length = n;
}

void cg_string_set(cg_string* str, const char* text) {
  if (!str || !text) return;
  // The text may be the string's own value: copy before clearing.
  if (text == str->value) return;
  cg_string_set_n(str, text, static_cast<int>(std::strlen(text)));
}

void cg_string_set_int(cg_string* str, int value) {
  char buf[16];
  cg_string_set(str, cg_int_to_str(value, buf, sizeof(buf)));
}

void cg_string_set_long(cg_string* str, long value) {
  char buf[32];
  cg_string_set(str, cg_long_to_str(value, buf, sizeof(buf)));
}

void cg_string_adopt(cg_string* str, char* heap_buffer, int n) {
  if (!str) return;
  cg_string_clear(str);
  str->value = heap_buffer;
  str->capacity = heap_buffer ? n + 1 : 0;
  str->length = heap_buffer ? n : 0;
}

char* cg_string_value(const cg_string* str) { return str ? str->value : nullptr; }

int cg_string_capacity(const cg_string* str) { return str ? str->capacity : 0; }

int cg_string_length(const cg_string* str) {
  if (!str || !str->value) return 0;
  return str->length;
}

char* cg_string_append_n(cg_string* str, const char* bytes, int n) {
  if (!str) return nullptr;
  if (!bytes || n <= 0) return str->value;
  int length = str->value ? str->length : 0;
  // Refuse sizes that would overflow int rather than wrap.
  if (n > INT32_MAX - length - 1 - kGrowthSlack) return nullptr;
  int needed = length + n + 1;
  if (needed > str->capacity || !str->value) {
    int capacity = needed + kGrowthSlack;
    auto* grown = static_cast<char*>(std::realloc(str->value, static_cast<size_t>(capacity)));
    if (!grown) return nullptr;
    str->value = grown;
    str->capacity = capacity;
  }
  std::memcpy(str->value + length, bytes, static_cast<size_t>(n));
  str->length = length + n;
  str->value[str->length] = '\0';
  return str->value;
}

char* cg_string_append(cg_string* str, const char* text) {
  if (!text) return str ? str->value : nullptr;
  return cg_string_append_n(str, text, static_cast<int>(std::strlen(text)));
}

char* cg_string_append_repeat(cg_string* str, const char* text, int k) {
  if (!text) return str ? str->value : nullptr;
  return cg_string_append_n_repeat(str, text, static_cast<int>(std::strlen(text)), k);
}

char* cg_string_append_n_repeat(cg_string* str, const char* bytes, int n, int k) {
  for (int i = 0; i < k; i++) {
    if (!cg_string_append_n(str, bytes, n)) return nullptr;
  }
  return cg_string_value(str);
}

char* cg_string_replace_all(cg_string* str, const char* const patterns[],
                            const char* const replacements[], int count) {
  if (!str) return nullptr;
  if (count <= 0 || !patterns || !replacements) return str->value;
  std::unique_ptr<size_t[]> lengths(new (std::nothrow) size_t[static_cast<size_t>(count)]);
  if (!lengths) return nullptr;
  for (int i = 0; i < count; i++) lengths[i] = patterns[i] ? std::strlen(patterns[i]) : 0;

  cg_string* result = cg_string_new();
  if (!result) return nullptr;
  const char* src = str->value;
  size_t src_len = static_cast<size_t>(cg_string_length(str));
  size_t p = 0;
  bool failed = false;
  while (p < src_len && !failed) {
    // One pass over the patterns in table order, each tried at the current
    // position; a pass without a match copies one source byte.
    bool matched = false;
    for (int i = 0; i < count && p < src_len; i++) {
      size_t len = lengths[i];
      // An empty pattern never matches: it would not advance the scan.
      if (len == 0 || len > src_len - p) continue;
      if (std::memcmp(src + p, patterns[i], len) != 0) continue;
      const char* rep = replacements[i];
      if (rep && rep[0] && !cg_string_append(result, rep)) {
        failed = true;
        break;
      }
      p += len;
      matched = true;
    }
    if (!matched && !failed) {
      if (!cg_string_append_n(result, src + p, 1)) failed = true;
      p++;
    }
  }
  if (failed) {
    cg_string_delete(result);
    return nullptr;
  }
  cg_string_set_n(str, result->value ? result->value : "", cg_string_length(result));
  cg_string_delete(result);
  return str->value;
}
