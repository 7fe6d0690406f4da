// NULL-tolerant wrappers over the C string functions and integer-to-text.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "runtime/runtime.h"

namespace {

bool in_set(char c, const char* set, int set_size) {
  for (int i = 0; i < set_size; i++) {
    if (set[i] == c) return true;
  }
  return false;
}

}  // namespace

char* cg_str_dup(const char* text) {
  if (!text) return nullptr;
  size_t n = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(std::malloc(n));
  if (!copy) return nullptr;
  std::memcpy(copy, text, n);
  return copy;
}

size_t cg_str_len(const char* text) { return text ? std::strlen(text) : 0; }

char* cg_str_copy(char* dest, const char* src) { return std::strcpy(dest, src); }

char* cg_str_cat(char* dest, const char* src) { return std::strcat(dest, src); }

int cg_str_compare(const char* a, const char* b) {
  if (!a) return -1;
  if (!b) return 1;
  return std::strcmp(a, b);
}

int cg_str_ncompare(const char* a, const char* b, int n) {
  if (!a) return -1;
  if (!b) return 1;
  return std::strncmp(a, b, static_cast<size_t>(n));
}

int cg_str_case_compare(const char* a, const char* b) {
  if (!a || !b) return -1;
  return strcasecmp(a, b);
}

int cg_str_equal(const char* a, const char* b) { return a && b && std::strcmp(a, b) == 0; }

int cg_str_case_equal(const char* a, const char* b) { return a && b && strcasecmp(a, b) == 0; }

int cg_str_index_of(const char* text, const char* pattern) {
  if (!text || !pattern) return -1;
  const char* hit = std::strstr(text, pattern);
  return hit ? static_cast<int>(hit - text) : -1;
}

int cg_str_find_first_of(const char* text, const char* set, int set_size) {
  if (!text || !set) return -1;
  for (int i = 0; text[i]; i++) {
    if (in_set(text[i], set, set_size)) return i;
  }
  return -1;
}

int cg_str_find_last_of(const char* text, const char* set, int set_size) {
  if (!text || !set) return -1;
  for (int i = static_cast<int>(std::strlen(text)) - 1; i >= 0; i--) {
    if (in_set(text[i], set, set_size)) return i;
  }
  return -1;
}

char* cg_str_trim_space(char* text) {
  if (!text || !text[0]) return text;
  size_t len = std::strlen(text);
  size_t j = 0;
  while (j < len && std::isspace(static_cast<unsigned char>(text[j]))) j++;
  if (j == len) {
    text[0] = '\0';
    return text;
  }
  size_t end = len;
  while (end > j && std::isspace(static_cast<unsigned char>(text[end - 1]))) end--;
  std::memmove(text, text + j, end - j);
  text[end - j] = '\0';
  return text;
}

char* cg_str_ltrim(char* text, const char* set, int set_size) {
  if (!text || !set || set_size <= 0) return text;
  while (*text && in_set(*text, set, set_size)) text++;
  return text;
}

char* cg_str_rtrim(char* text, const char* set, int set_size) {
  if (!text || !set || set_size <= 0) return text;
  for (int i = static_cast<int>(std::strlen(text)) - 1; i >= 0; i--) {
    if (!in_set(text[i], set, set_size)) break;
    text[i] = '\0';
  }
  return text;
}

char* cg_str_trim(char* text, const char* set, int set_size) {
  if (!text || !set) return nullptr;
  cg_str_rtrim(text, set, set_size);
  return cg_str_ltrim(text, set, set_size);
}

char* cg_str_ncopy(char* dest, const char* src, int n) {
  return std::strncpy(dest, src, static_cast<size_t>(n));
}

char* cg_str_ncat(char* dest, const char* src, int n) {
  size_t len = std::strlen(dest);
  std::strncpy(dest + len, src, static_cast<size_t>(n));
  return dest;
}

char* cg_int_to_str(int value, char* buffer, int size) {
  std::snprintf(buffer, size > 0 ? static_cast<size_t>(size) : 16, "%d", value);
  return buffer;
}

char* cg_long_to_str(long value, char* buffer, int size) {
  std::snprintf(buffer, size > 0 ? static_cast<size_t>(size) : 32, "%ld", value);
  return buffer;
}

char* cg_llong_to_str(long long value, char* buffer, int size) {
  std::snprintf(buffer, size > 0 ? static_cast<size_t>(size) : 32, "%lld", value);
  return buffer;
}

char* cg_str_to_lower(char* text) {
  if (!text) return text;
  for (char* p = text; *p; p++) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  return text;
}

char* cg_str_to_upper(char* text) {
  if (!text) return text;
  for (char* p = text; *p; p++) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  return text;
}
