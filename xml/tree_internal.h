// Helpers shared by the files of the XML layer: typed walks over the
// intrusive lists, the five predefined entities, name comparison ignoring
// case, and setters that take byte ranges instead of C texts.
#pragma once

#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "xml/xml.h"

namespace vbd_xml {

// Every listed record of this layer begins with its cg_list header.
using vbd_runtime::list_first;
using vbd_runtime::list_next;
using vbd_runtime::list_size;
using vbd_runtime::record_new;

// A predefined entity: the character and its reference. The one table of the
// escaping, the writer and the parser's decoding, in this order. Both texts
// are literals, so NUL-terminated: the escaping hands them on as C texts.
struct entity {
  std::string_view text;  // one character
  std::string_view reference;
};
inline constexpr entity kEntities[] = {
    {"&", "&amp;"}, {">", "&gt;"}, {"<", "&lt;"}, {"\"", "&quot;"}, {"'", "&apos;"}};
inline constexpr size_t kEntityCount = sizeof(kEntities) / sizeof(kEntities[0]);

// The bytes of a string; empty when it is unset.
inline std::string_view view_of(const cg_string& str) {
  return str.value ? std::string_view(str.value, static_cast<size_t>(str.length))
                   : std::string_view();
}

// True when the set name equals the bytes (or the C text) ignoring ASCII
// case. An unset name never matches.
inline bool name_equals(const cg_string& name, std::string_view bytes) {
  return name.value != nullptr && static_cast<size_t>(name.length) == bytes.size() &&
         strncasecmp(name.value, bytes.data(), bytes.size()) == 0;
}

inline bool name_equals(const cg_string& name, const char* text) {
  return name.value != nullptr && text != nullptr && strcasecmp(name.value, text) == 0;
}

// The first member of the list whose name equals the given one ignoring case.
template <typename T, typename Name>
T* find_named(T* head, Name name) {
  for (T* member = list_first(head); member; member = list_next(member))
    if (name_equals(member->name, name)) return member;
  return nullptr;
}

// Replaces the string with the bytes; false when memory ran out.
inline bool set_bytes(cg_string* str, std::string_view bytes) {
  if (bytes.size() > static_cast<size_t>(INT32_MAX) - 1) return false;
  cg_string_set_n(str, bytes.data(), static_cast<int>(bytes.size()));
  return str->value != nullptr;
}

// Appends the bytes; false when memory ran out. Zero bytes change nothing.
inline bool append_bytes(cg_string* str, std::string_view bytes) {
  if (bytes.empty()) return true;
  if (bytes.size() > static_cast<size_t>(INT32_MAX) - 1) return false;
  return cg_string_append_n(str, bytes.data(), static_cast<int>(bytes.size())) != nullptr;
}

// cg_xml_node_has_children, inline for the writer's walk.
inline bool has_children(const cg_xml_node* node) {
  return node->children != nullptr && node->children->node.next != &node->children->node;
}

// cg_xml_node_set_attribute over byte ranges.
bool node_set_attribute(cg_xml_node* node, std::string_view name, std::string_view value);

}  // namespace vbd_xml
