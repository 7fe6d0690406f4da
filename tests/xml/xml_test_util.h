// Helpers of the XML tests: owning handles, a parse that captures its
// diagnostics, and tree building.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "xml/xml.h"

namespace xml_test {

struct ListDeleter {
  void operator()(cg_xml_node_list* l) const { cg_xml_node_list_delete(l); }
};
using ListPtr = std::unique_ptr<cg_xml_node_list, ListDeleter>;

struct NodeDeleter {
  void operator()(cg_xml_node* n) const { cg_xml_node_delete(n); }
};
using NodePtr = std::unique_ptr<cg_xml_node, NodeDeleter>;

struct StringDeleter {
  void operator()(cg_string* s) const { cg_string_delete(s); }
};
using StringPtr = std::unique_ptr<cg_string, StringDeleter>;

struct Parsed {
  int result = 0;
  ListPtr list{cg_xml_node_list_new()};
  std::string errors;
  cg_xml_node* root() { return cg_xml_node_list_first(list.get()); }
  int size() const { return cg_xml_node_list_size(list.get()); }
};

// Parses the text with its terminator (size = length + 1).
inline Parsed parse(const std::string& text) {
  Parsed p;
  cg_xml_parser* parser = cg_xml_parser_new();
  testing::internal::CaptureStderr();
  p.result = cg_xml_parse(parser, p.list.get(), text.c_str(), static_cast<int>(text.size() + 1));
  p.errors = testing::internal::GetCapturedStderr();
  cg_xml_parser_delete(parser);
  return p;
}

inline std::string to_string(cg_xml_node* node, int with_children = 1) {
  StringPtr s(cg_string_new());
  const char* text = cg_xml_node_to_string(node, with_children, s.get());
  return text ? text : "<null>";
}

// A new node named name (with the value, when given), added as the last
// child of parent when there is one.
inline cg_xml_node* add(cg_xml_node* parent, const char* name, const char* value = nullptr) {
  cg_xml_node* n = cg_xml_node_new();
  cg_xml_node_set_name(n, name);
  if (value) cg_xml_node_set_value(n, value);
  if (parent) cg_xml_node_add_child(parent, n);
  return n;
}

inline std::string str(const char* text) { return text ? text : "<null>"; }

}  // namespace xml_test
