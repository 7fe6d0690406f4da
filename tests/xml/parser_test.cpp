// Tests of the description parser: its acceptance rules, diagnostics, the
// quirks descriptions rely on, and a round trip through the writer.
#include <string>

#include "tests/xml/xml_test_util.h"

namespace {

using namespace xml_test;

const std::string kUnbalanced = "error 要素の数が一致しない\n";
const std::string kBadTag = "error!! vel_ele_get() return FALSE\n";

cg_xml_node* child(cg_xml_node* n, int index) {
  cg_xml_node* c = cg_xml_node_list_first(cg_xml_node_get_children(n));
  while (c && index-- > 0) c = cg_xml_node_next(c);
  return c;
}

std::string name(cg_xml_node* n) { return str(cg_xml_node_get_name(n)); }

// Nothing added, result 1, with the given diagnostics.
void expect_empty_success(const std::string& text, const std::string& errors) {
  Parsed p = parse(text);
  EXPECT_EQ(p.result, 1) << text;
  EXPECT_EQ(p.size(), 0) << text;
  EXPECT_EQ(p.errors, errors) << text;
}

void expect_failure(const std::string& text, const std::string& errors) {
  Parsed p = parse(text);
  EXPECT_EQ(p.result, 0) << text;
  EXPECT_EQ(p.size(), 0) << text;
  EXPECT_EQ(p.errors, errors) << text;
}

TEST(XmlParser, ArgumentsAndTerminator) {
  expect_empty_success("", "");
  expect_empty_success("no element here", "");
  cg_xml_node_list* list = cg_xml_node_list_new();
  testing::internal::CaptureStderr();
  EXPECT_EQ(cg_xml_parse(nullptr, list, nullptr, 5), 0);
  EXPECT_EQ(cg_xml_parse(nullptr, list, "", 0), 0);
  EXPECT_EQ(cg_xml_parse(nullptr, nullptr, "<a/>", 5), 0);
  // The last byte must be NUL even when an earlier NUL ends the text.
  EXPECT_EQ(cg_xml_parse(nullptr, list, "<a/>\0x", 6), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error!! last data[5]=x is not null character\n");
  // Bytes after the first NUL are not read.
  EXPECT_EQ(cg_xml_parse(nullptr, list, "<a/>\0<b>", 9), 1);
  EXPECT_EQ(name(cg_xml_node_list_first(list)), "a");
  cg_xml_node_list_delete(list);
}

TEST(XmlParser, OnlyTheExactDeclarationIsSkipped) {
  Parsed p = parse("<?xml version=\"1.0\"?>\n<root><a>x</a><b/></root>");
  ASSERT_EQ(p.result, 1);
  ASSERT_EQ(p.size(), 1);
  cg_xml_node* root = p.root();
  EXPECT_EQ(name(root), "root");
  EXPECT_EQ(cg_xml_node_get_value(root), nullptr);
  EXPECT_EQ(name(child(root, 0)), "a");
  EXPECT_EQ(str(cg_xml_node_get_value(child(root, 0))), "x");
  EXPECT_EQ(name(child(root, 1)), "b");
  EXPECT_EQ(cg_xml_node_get_value(child(root, 1)), nullptr);
  EXPECT_EQ(parse("<?xml version=\"1.0\" encoding=\"utf-8\"?><a/>").size(), 1);

  // Any other form reads as a start tag "?xml" that never closes.
  expect_empty_success("<?xml version='1.0'?><a/>", kUnbalanced);
  expect_empty_success("<?xml version=\"1.1\"?><a/>", kUnbalanced);
  expect_empty_success(" <?xml version=\"1.0\"?><a/>", kUnbalanced);
  expect_failure("<?xml version=\"1.0\"", "error!! XML header not found\n");
  expect_empty_success("<?xml version=\"1.0\"?>", "");
}

TEST(XmlParser, CommentsAreCountedThenCutOut) {
  Parsed p = parse("<!-- c --><a>x<!-- <b> -->y</a>");
  ASSERT_EQ(p.size(), 1);
  EXPECT_EQ(str(cg_xml_node_get_value(p.root())), "xy");
  EXPECT_EQ(cg_xml_node_has_children(p.root()), 0);

  const std::string counts = "error!! The number of comment does not accord\n";
  expect_failure("<!-- c <a/>", counts + "start =1 end =0\n");
  expect_failure("<a/><!--", counts + "start =1 end =0\n");
  expect_failure("<a x=\"-->\"/>", counts + "start =0 end =1\n");
  // Only the counts are checked: a closer before its opener passes them, and
  // the opener without a closer after it ends the copy.
  p = parse("<a>--></a><!--");
  ASSERT_EQ(p.size(), 1);
  EXPECT_EQ(str(cg_xml_node_get_value(p.root())), "-->");
}

TEST(XmlParser, TextOnlyInLeavesAndEndTagsCloseAnything) {
  Parsed p = parse("<a> t <b/> u </a>");
  ASSERT_EQ(p.size(), 1);
  EXPECT_EQ(cg_xml_node_get_value(p.root()), nullptr);
  EXPECT_EQ(name(child(p.root(), 0)), "b");

  p = parse("<a>\n  spaced &amp; kept\n</b>");
  ASSERT_EQ(p.size(), 1);
  EXPECT_EQ(str(cg_xml_node_get_value(p.root())), "\n  spaced & kept\n");

  p = parse("<UDN></UDN>");
  ASSERT_EQ(p.size(), 1);
  EXPECT_EQ(cg_xml_node_get_value(p.root()), nullptr);

  p = parse("<a></a></a></a>");
  ASSERT_EQ(p.size(), 1);
  EXPECT_EQ(name(p.root()), "a");

  expect_empty_success("<a><b></a>", kUnbalanced);
  expect_empty_success("<>", kUnbalanced);
  expect_empty_success("<a>1 < 2</a>", kUnbalanced);
}

TEST(XmlParser, ElementsAfterTheRootsEndJoinTheRoot) {
  Parsed p = parse("<a/><b/>");
  ASSERT_EQ(p.size(), 1);
  EXPECT_EQ(name(p.root()), "a");
  EXPECT_EQ(name(child(p.root(), 0)), "b");

  p = parse("<a></a><b></b></a><c/>");
  ASSERT_EQ(p.size(), 1);
  EXPECT_EQ(name(child(p.root(), 0)), "b");
  EXPECT_EQ(name(child(p.root(), 1)), "c");

  // The root's end leaves nothing open; the later end tag closes back to it.
  expect_empty_success("<a></a><b></b>", kUnbalanced);

  // A parse appends to the list and leaves earlier members alone.
  cg_xml_parser* parser = cg_xml_parser_new();
  cg_xml_node_list* list = cg_xml_node_list_new();
  EXPECT_EQ(cg_xml_parse(parser, list, "<one/>", 7), 1);
  EXPECT_EQ(cg_xml_parse(parser, list, "<two/>", 7), 1);
  EXPECT_EQ(name(cg_xml_node_next(cg_xml_node_list_first(list))), "two");
  cg_xml_node_list_delete(list);
  cg_xml_parser_delete(parser);
}

TEST(XmlParser, AttributesFollowTheEqualsCount) {
  Parsed p = parse("<a x=\"1\" X=\"2\" y='3' z=\"4'/>");
  ASSERT_EQ(p.size(), 1);
  cg_xml_attribute_list* attrs = cg_xml_node_get_attributes(p.root());
  EXPECT_EQ(cg_xml_attribute_list_size(attrs), 3);
  EXPECT_EQ(str(cg_xml_node_get_attribute_value(p.root(), "x")), "2");
  EXPECT_EQ(str(cg_xml_attribute_get_name(cg_xml_attribute_list_first(attrs))), "x");
  EXPECT_EQ(str(cg_xml_node_get_attribute_value(p.root(), "y")), "3");
  EXPECT_EQ(str(cg_xml_node_get_attribute_value(p.root(), "z")), "4");

  // An empty value is skipped over and the next '=' is searched past the tag.
  p = parse("<a x=\"\" y=\"2\"><b c=\"3\"/></a>");
  ASSERT_EQ(p.size(), 1);
  EXPECT_EQ(str(cg_xml_node_get_attribute_value(p.root(), "x")), "y=");
  EXPECT_EQ(str(cg_xml_node_get_attribute_value(p.root(), "2\"><b c")), "3");
  EXPECT_EQ(str(cg_xml_node_get_attribute_value(child(p.root(), 0), "c")), "3");
  expect_failure("<a x=\"\" y=\"2\"></a>", kBadTag);

  // An '=' inside a value counts as one more attribute.
  expect_failure("<a href=\"p?q=1\"></a>", kBadTag);
  // A value without a closing quote runs to the end of the text, and a
  // further attribute then finds no '='.
  expect_failure("<a x=1 y=2>", kBadTag);
  expect_empty_success("<a x=\">", kUnbalanced);
  // End tags read their attributes too.
  expect_failure("<a></a href=\"p?q=1\">", kBadTag);

  p = parse("<a t=\"x &amp; y &lt;z&gt; &#38;\"/>");
  ASSERT_EQ(p.size(), 1);
  EXPECT_EQ(str(cg_xml_node_get_attribute_value(p.root(), "t")), "x & y <z> &#38;");
}

TEST(XmlParser, TagScanLimits) {
  const std::string no_end = "error!! not found \">\" \n" + kBadTag;
  expect_failure("<a", no_end);
  expect_failure("<a></", no_end);
  expect_empty_success("<a>text", kUnbalanced);

  // Names of up to 127 bytes fit; longer ones are refused.
  const std::string fits(127, 'n');
  Parsed p = parse("<" + fits + "/>");
  ASSERT_EQ(p.size(), 1);
  EXPECT_EQ(name(p.root()), fits);
  expect_failure("<" + fits + "x/>", kBadTag);
  expect_failure("<" + fits + "x a=\"1\"/>", kBadTag);
  expect_failure("<a></" + fits + "x>", kBadTag);
}

const char kDescription[] =
    "<?xml version=\"1.0\"?>\n"
    "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\n"
    "  <!-- served to control points -->\n"
    "  <specVersion><major>1</major><minor>0</minor></specVersion>\n"
    "  <device>\n"
    "    <deviceType>urn:schemas-upnp-org:device:MediaRenderer:1</deviceType>\n"
    "    <friendlyName>Living room &amp; \"Kitchen\" &lt;BD&gt;</friendlyName>\n"
    "    <manufacturer>A &amp; B</manufacturer>\n"
    "    <UDN>uuid:5f9ec1b3-ed3d-4b4a-8a4e-000000000001</UDN>\n"
    "    <iconList>\n"
    "      <icon><mimetype>image/png</mimetype><width>48</width><url>/icon.png</url></icon>\n"
    "    </iconList>\n"
    "    <serviceList>\n"
    "      <service>\n"
    "        <serviceType>urn:schemas-upnp-org:service:AVTransport:1</serviceType>\n"
    "        <SCPDURL>/AVTransport/scpd.xml</SCPDURL>\n"
    "        <controlURL>/AVTransport/control</controlURL>\n"
    "        <eventSubURL></eventSubURL>\n"
    "      </service>\n"
    "    </serviceList>\n"
    "    <presentationURL>http://x/?a=1&amp;b='2'</presentationURL>\n"
    "  </device>\n"
    "</root>\n";

void expect_same_tree(cg_xml_node* a, cg_xml_node* b) {
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(name(a), name(b));
  EXPECT_EQ(str(cg_xml_node_get_value(a)), str(cg_xml_node_get_value(b))) << name(a);
  cg_xml_attribute* x = cg_xml_attribute_list_first(cg_xml_node_get_attributes(a));
  cg_xml_attribute* y = cg_xml_attribute_list_first(cg_xml_node_get_attributes(b));
  for (; x && y; x = cg_xml_attribute_next(x), y = cg_xml_attribute_next(y)) {
    EXPECT_EQ(str(cg_xml_attribute_get_name(x)), str(cg_xml_attribute_get_name(y)));
    EXPECT_EQ(str(cg_xml_attribute_get_value(x)), str(cg_xml_attribute_get_value(y)));
  }
  EXPECT_TRUE(x == nullptr && y == nullptr) << name(a);
  cg_xml_node* c = cg_xml_node_list_first(cg_xml_node_get_children(a));
  cg_xml_node* d = cg_xml_node_list_first(cg_xml_node_get_children(b));
  for (; c && d; c = cg_xml_node_next(c), d = cg_xml_node_next(d)) expect_same_tree(c, d);
  EXPECT_TRUE(c == nullptr && d == nullptr) << name(a);
}

TEST(XmlParser, DescriptionRoundTripIsServedAsWritten) {
  Parsed first = parse(kDescription);
  ASSERT_EQ(first.result, 1);
  ASSERT_EQ(first.size(), 1);
  EXPECT_EQ(first.errors, "");
  cg_xml_node* device = cg_xml_node_find_child(first.root(), "DEVICE");
  EXPECT_EQ(str(cg_xml_node_get_child_value(device, "udn")),
            "uuid:5f9ec1b3-ed3d-4b4a-8a4e-000000000001");
  EXPECT_EQ(str(cg_xml_node_get_child_value(device, "friendlyName")),
            "Living room & \"Kitchen\" <BD>");
  EXPECT_EQ(cg_xml_node_get_child_value(
                child(cg_xml_node_find_child(device, "serviceList"), 0), "eventSubURL"),
            nullptr);

  const std::string text = to_string(first.root());
  EXPECT_NE(text.find("  <manufacturer>A &amp; B</manufacturer>\n"), std::string::npos) << text;
  EXPECT_NE(text.find("<presentationURL>http://x/?a=1&amp;b=&apos;2&apos;</presentationURL>"),
            std::string::npos);
  Parsed second = parse("<?xml version=\"1.0\"?>\n" + text);
  ASSERT_EQ(second.size(), 1);
  expect_same_tree(first.root(), second.root());
  EXPECT_EQ(to_string(second.root()), text);
}

}  // namespace
