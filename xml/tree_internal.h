// Helpers shared by the tree, the writer and the parser: length-bounded name
// comparison and setters that take byte ranges instead of C texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <strings.h>

#include "xml/xml.h"

namespace vbd_xml {

// True when the set name equals the n bytes ignoring ASCII case. An unset
// name never matches.
inline bool name_equals(const cg_string& name, const char* bytes, size_t n) {
  return name.value != nullptr && static_cast<size_t>(name.length) == n &&
         strncasecmp(name.value, bytes, n) == 0;
}

inline bool name_equals(const cg_string& name, const char* text) {
  return name.value != nullptr && text != nullptr && strcasecmp(name.value, text) == 0;
}

// Replaces the string with n bytes; false when memory ran out.
inline bool set_bytes(cg_string* str, const char* bytes, size_t n) {
  if (n > static_cast<size_t>(INT32_MAX) - 1) return false;
  cg_string_set_n(str, bytes, static_cast<int>(n));
  return str->value != nullptr;
}

// Appends n bytes; false when memory ran out. Zero bytes change nothing.
inline bool append_bytes(cg_string* str, const char* bytes, size_t n) {
  if (n == 0) return true;
  if (n > static_cast<size_t>(INT32_MAX) - 1) return false;
  return cg_string_append_n(str, bytes, static_cast<int>(n)) != nullptr;
}

// cg_xml_node_set_attribute over byte ranges.
bool node_set_attribute(cg_xml_node* node, const char* name, size_t name_len, const char* value,
                        size_t value_len);

}  // namespace vbd_xml
