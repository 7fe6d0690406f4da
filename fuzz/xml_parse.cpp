// Fuzz harness: the description parser on arbitrary bytes, then the writer
// and a second parse of what it wrote. Looks for crashes, leaks and reads
// outside the input. The parser reports most inputs on standard error, so run
// it with -close_fd_mask=2.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "xml/xml.h"

namespace {

// Parses `size` bytes at `text` (terminator included) and returns the list.
cg_xml_node_list* parse(const char* text, size_t size) {
  cg_xml_node_list* list = cg_xml_node_list_new();
  cg_xml_parser* parser = cg_xml_parser_new();
  cg_xml_parse(parser, list, text, static_cast<int>(size));
  cg_xml_parser_delete(parser);
  return list;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= INT_MAX) return 0;

  // As given: the last byte is rarely NUL, and an earlier NUL may end the
  // text; nothing at or past `size` may be read.
  cg_xml_node_list_delete(parse(reinterpret_cast<const char*>(data), size));

  // Terminated, in a buffer of exactly size + 1 bytes.
  char* text = static_cast<char*>(malloc(size + 1));
  if (text == nullptr) return 0;
  memcpy(text, data, size);
  text[size] = '\0';
  cg_xml_node_list* list = parse(text, size + 1);
  free(text);

  if (cg_xml_node* root = cg_xml_node_list_first(list)) {
    cg_string* out = cg_string_new();
    cg_xml_node_to_string(root, 1, out);
    cg_xml_node_to_string(root, 0, out);
    cg_xml_node_get_child_value(root, "UDN");
    cg_xml_node_set_child_value(root, "URLBase", "http://10.77.0.1:38400");
    if (const char* written = cg_string_value(out))
      cg_xml_node_list_delete(parse(written, strlen(written) + 1));
    cg_string_delete(out);
  }
  cg_xml_node_list_delete(list);
  return 0;
}
