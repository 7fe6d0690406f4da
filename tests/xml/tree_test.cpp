// Tests of the node tree: ownership, lookups ignoring case, child values,
// attributes, and entity escaping.
#include "tests/xml/xml_test_util.h"

namespace {

using namespace xml_test;

TEST(XmlTree, LookupsIgnoreCaseAndFirstMatchWins) {
  NodePtr root(cg_xml_node_new());
  cg_xml_node_set_name(root.get(), "device");
  cg_xml_node* unnamed = cg_xml_node_new();
  cg_xml_node_add_child(root.get(), unnamed);  // never named: skipped by lookups
  cg_xml_node* first = add(root.get(), "UDN", "uuid:1");
  add(root.get(), "udn", "uuid:2");
  add(root.get(), "empty");

  EXPECT_EQ(cg_xml_node_find_child(root.get(), "udn"), first);
  EXPECT_EQ(cg_xml_node_get_parent(first), root.get());
  EXPECT_EQ(str(cg_xml_node_get_child_value(root.get(), "Udn")), "uuid:1");
  EXPECT_EQ(cg_xml_node_get_child_value(root.get(), "empty"), nullptr);
  EXPECT_EQ(cg_xml_node_get_child_value(root.get(), "absent"), nullptr);
  EXPECT_EQ(cg_xml_node_get_child_value(nullptr, "UDN"), nullptr);
  EXPECT_EQ(cg_xml_node_find_child(root.get(), nullptr), nullptr);
  EXPECT_EQ(cg_xml_node_list_size(cg_xml_node_get_children(root.get())), 4);
}

TEST(XmlTree, SetChildValueReplacesOrAppendsLast) {
  NodePtr root(cg_xml_node_new());
  add(root.get(), "URLBase", "old");
  add(root.get(), "other");
  ASSERT_EQ(cg_xml_node_set_child_value(root.get(), "urlbase", "http://10.77.0.1:38400"), 1);
  cg_xml_node* first = cg_xml_node_list_first(cg_xml_node_get_children(root.get()));
  EXPECT_EQ(str(cg_xml_node_get_name(first)), "URLBase");
  EXPECT_EQ(str(cg_xml_node_get_value(first)), "http://10.77.0.1:38400");

  ASSERT_EQ(cg_xml_node_set_child_value(root.get(), "UDN", "uuid:x"), 1);
  cg_xml_node* last = cg_xml_node_next(cg_xml_node_next(first));
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(str(cg_xml_node_get_name(last)), "UDN");
  EXPECT_EQ(cg_xml_node_get_parent(last), root.get());
  EXPECT_EQ(cg_xml_node_next(last), nullptr);
}

TEST(XmlTree, SetAttributeKeepsNameAndPosition) {
  NodePtr n(cg_xml_node_new());
  cg_xml_node_set_attribute(n.get(), "id", "1");
  cg_xml_node_set_attribute(n.get(), "other", "2");
  cg_xml_node_set_attribute(n.get(), "Id", "3");
  cg_xml_attribute* a = cg_xml_attribute_list_first(cg_xml_node_get_attributes(n.get()));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(str(cg_xml_attribute_get_name(a)), "id");
  EXPECT_EQ(str(cg_xml_attribute_get_value(a)), "3");
  EXPECT_EQ(str(cg_xml_attribute_get_name(cg_xml_attribute_next(a))), "other");
  EXPECT_EQ(cg_xml_attribute_list_size(cg_xml_node_get_attributes(n.get())), 2);
  EXPECT_EQ(str(cg_xml_node_get_attribute_value(n.get(), "OTHER")), "2");
}

TEST(XmlTree, ValuesStayUnsetUntilBytesArrive) {
  NodePtr n(cg_xml_node_new());
  cg_xml_node_add_value(n.get(), "x", 0);
  EXPECT_EQ(cg_xml_node_get_value(n.get()), nullptr);
  cg_xml_node_add_value(n.get(), "ab", 1);
  cg_xml_node_add_value(n.get(), "cd", 2);
  EXPECT_EQ(str(cg_xml_node_get_value(n.get())), "acd");
  cg_xml_node_set_value(n.get(), "");
  EXPECT_EQ(str(cg_xml_node_get_value(n.get())), "");
}

TEST(XmlTree, DeletingALinkedChildUnlinksIt) {
  NodePtr root(cg_xml_node_new());
  cg_xml_node* a = add(root.get(), "a");
  add(a, "grandchild");
  cg_xml_node* b = add(root.get(), "b");
  cg_xml_node_delete(a);  // subtree released, root still consistent
  EXPECT_EQ(cg_xml_node_list_first(cg_xml_node_get_children(root.get())), b);
  EXPECT_EQ(cg_xml_node_list_size(cg_xml_node_get_children(root.get())), 1);

  // Re-adding a node already under another parent moves it.
  NodePtr other(cg_xml_node_new());
  cg_xml_node_add_child(other.get(), b);
  EXPECT_FALSE(cg_xml_node_has_children(root.get()));
  EXPECT_EQ(cg_xml_node_get_parent(b), other.get());
}

TEST(XmlTree, DeepTreesAreReleasedAndWrittenWithoutRecursion) {
  auto chain = [](int depth) {
    NodePtr root(cg_xml_node_new());
    cg_xml_node_set_name(root.get(), "a");
    cg_xml_node* n = root.get();
    for (int i = 0; i < depth; i++) n = add(n, "a");
    return root;
  };
  chain(300000);  // released on return

  // Indents grow with depth, so the written check stays shallower. A parent
  // at depth d writes 2d spaces and 9 bytes; the leaf D spaces and 8.
  constexpr size_t kDepth = 3000;
  NodePtr root = chain(kDepth);
  EXPECT_EQ(to_string(root.get()).size(), kDepth * (kDepth - 1) + 9 * kDepth + kDepth + 8);
}

TEST(XmlEscape, FivePredefinedReferencesNeverDoubled) {
  StringPtr s(cg_string_new());
  cg_string_set(s.get(), "a<b & \"c\" 'd' > e");
  cg_xml_escape(s.get());
  EXPECT_EQ(str(cg_string_value(s.get())), "a&lt;b &amp; &quot;c&quot; &apos;d&apos; &gt; e");
  cg_xml_unescape(s.get());
  EXPECT_EQ(str(cg_string_value(s.get())), "a<b & \"c\" 'd' > e");

  cg_string_set(s.get(), "&amp;lt; &unknown; plain");
  cg_xml_unescape(s.get());
  EXPECT_EQ(str(cg_string_value(s.get())), "&lt; &unknown; plain");
  cg_string_set(s.get(), "plain text");
  cg_xml_escape(s.get());
  EXPECT_EQ(str(cg_string_value(s.get())), "plain text");
}

}  // namespace
