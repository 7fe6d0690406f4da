// Tests of the writer: indentation, one-line leaves, attributes in order and
// escaping of values only.
#include <string>

#include "tests/xml/xml_test_util.h"

namespace {

using namespace xml_test;

TEST(XmlWriter, IndentedTreeWithEscapedValues) {
  NodePtr root(add(nullptr, "root", "own value is not written"));
  cg_xml_node_set_attribute(root.get(), "xmlns", "v");
  add(root.get(), "a", "1 & 2");
  cg_xml_node* b = add(root.get(), "b");
  add(add(b, "c"), "d", "a<b");
  EXPECT_EQ(to_string(root.get()),
            "<root xmlns=\"v\">\n"
            " <a>1 &amp; 2</a>\n"
            " <b>\n"
            "  <c>\n"
            "   <d>a&lt;b</d>\n"
            "  </c>\n"
            " </b>\n"
            "</root>\n");
}

TEST(XmlWriter, LeafAndParentWithAndWithoutChildren) {
  NodePtr leaf(add(nullptr, "leaf"));
  EXPECT_EQ(to_string(leaf.get(), 1), "<leaf></leaf>\n");  // never self-closing
  EXPECT_EQ(to_string(leaf.get(), 0), "<leaf></leaf>\n");

  NodePtr parent(add(nullptr, "p", "text"));
  add(parent.get(), "child", "x");
  EXPECT_EQ(to_string(parent.get(), 0), "<p>text</p>\n");
  EXPECT_EQ(to_string(parent.get(), 1), "<p>\n <child>x</child>\n</p>\n");
}

TEST(XmlWriter, AttributesInOrderValuesEscapedNamesAsStored) {
  NodePtr n(add(nullptr, "a&b", "&amp;"));
  cg_xml_node_set_attribute(n.get(), "q", "say \"hi\" & 'bye'");
  cg_xml_node_set_attribute(n.get(), "empty", nullptr);
  cg_xml_node_set_attribute(n.get(), "z", "<");
  EXPECT_EQ(to_string(n.get()),
            "<a&b q=\"say &quot;hi&quot; &amp; &apos;bye&apos;\" empty=\"\" z=\"&lt;\">"
            "&amp;amp;</a&b>\n");
  // The node's own value is not changed by writing it.
  EXPECT_EQ(str(cg_xml_node_get_value(n.get())), "&amp;");
}

TEST(XmlWriter, AppendsToTheBufferAndMatchesEscape) {
  std::string all;
  for (int c = 1; c < 256; c++) all.push_back(static_cast<char>(c));
  NodePtr n(add(nullptr, "v", all.c_str()));
  StringPtr buffer(cg_string_new());
  cg_string_set(buffer.get(), "<?xml version=\"1.0\"?>\n");
  const char* text = cg_xml_node_to_string(n.get(), 1, buffer.get());
  ASSERT_NE(text, nullptr);

  StringPtr escaped(cg_string_new());
  cg_string_set(escaped.get(), all.c_str());
  cg_xml_escape(escaped.get());
  EXPECT_EQ(std::string(text),
            "<?xml version=\"1.0\"?>\n<v>" + std::string(cg_string_value(escaped.get())) + "</v>\n");
  EXPECT_EQ(cg_xml_node_to_string(n.get(), 1, nullptr), nullptr);
}

}  // namespace
