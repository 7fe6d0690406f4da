// Entity escaping and unescaping of a string in place, for the five
// predefined references.
#include <array>

#include "xml/tree_internal.h"

namespace {

using vbd_xml::kEntities;
using vbd_xml::kEntityCount;

// The entity table as the C texts cg_string_replace_all takes.
using text_table = std::array<const char*, kEntityCount>;
constexpr text_table make_texts(bool references) {
  text_table texts{};
  for (size_t i = 0; i < kEntityCount; ++i)
    texts[i] = references ? kEntities[i].reference.data() : kEntities[i].text.data();
  return texts;
}
constexpr text_table kChars = make_texts(false);
constexpr text_table kRefs = make_texts(true);

}  // namespace

char* cg_xml_escape(cg_string* str) {
  if (str == nullptr) return nullptr;
  return cg_string_replace_all(str, kChars.data(), kRefs.data(), static_cast<int>(kEntityCount));
}

char* cg_xml_unescape(cg_string* str) {
  if (str == nullptr) return nullptr;
  return cg_string_replace_all(str, kRefs.data(), kChars.data(), static_cast<int>(kEntityCount));
}
