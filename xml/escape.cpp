// Entity escaping and unescaping of a string in place, for the five
// predefined references.
#include "xml/xml.h"

namespace {

constexpr const char* kChars[] = {"&", ">", "<", "\"", "'"};
constexpr const char* kRefs[] = {"&amp;", "&gt;", "&lt;", "&quot;", "&apos;"};
constexpr int kCount = 5;
static_assert(sizeof(kChars) / sizeof(kChars[0]) == kCount);
static_assert(sizeof(kRefs) / sizeof(kRefs[0]) == kCount);

}  // namespace

char* cg_xml_escape(cg_string* str) {
  if (str == nullptr) return nullptr;
  return cg_string_replace_all(str, kChars, kRefs, kCount);
}

char* cg_xml_unescape(cg_string* str) {
  if (str == nullptr) return nullptr;
  return cg_string_replace_all(str, kRefs, kChars, kCount);
}
