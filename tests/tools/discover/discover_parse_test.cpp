// vbdctl discover's reading of what devices send: SSDP answers, LOCATION
// URLs, HTTP responses and descriptions, all hostile; and its JSON and text
// output of names that try to break them.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/text.h"
#include "tools/vbdctl/discover_parse.h"

using namespace vbdctl::discover;

namespace {

std::string sample() { return vbd_test::read_file(vbd_test::source_path("packaging/description.xml")); }

TEST(DiscoverAnswer, HeaderCaseSpacingAndLineEndsVary) {
  ssdp_answer a;
  std::string why;
  ASSERT_TRUE(parse_answer("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nLOCATION: http://10.0.0.1:38400/d.xml\r\n"
                           "ST: upnp:rootdevice\r\nUSN: uuid:1::upnp:rootdevice\r\n\r\n",
                           &a, &why))
      << why;
  EXPECT_EQ(a.location, "http://10.0.0.1:38400/d.xml");
  EXPECT_EQ(a.usn, "uuid:1::upnp:rootdevice");
  // Lower case, spaces before and after the colon, bare LF, no final empty
  // line and no line end on the last header.
  ASSERT_TRUE(parse_answer("HTTP/1.0 200\nlocation :   http://h/x \nusn:\tuuid:2", &a, &why)) << why;
  EXPECT_EQ(a.location, "http://h/x");
  EXPECT_EQ(a.usn, "uuid:2");
  // Lines that are not headers are passed over; headers after the empty
  // line are body, not headers.
  ASSERT_TRUE(parse_answer("HTTP/1.1 200 OK\r\nnonsense\r\n: empty name\r\nLocation: http://a/\r\n\r\nUSN: late", &a, &why));
  EXPECT_EQ(a.usn, "");
}

TEST(DiscoverAnswer, RefusedWithAReason) {
  ssdp_answer a;
  std::string why;
  EXPECT_FALSE(parse_answer("HTTP/1.1 200 OK\r\nUSN: uuid:1\r\n\r\n", &a, &why));
  EXPECT_EQ(why, "answer without LOCATION");
  EXPECT_FALSE(parse_answer("HTTP/1.1 200 OK\r\nLOCATION:   \r\n\r\n", &a, &why));
  EXPECT_EQ(why, "answer without LOCATION");
  EXPECT_FALSE(parse_answer("HTTP/1.1 404 Not Found\r\nLOCATION: http://a/\r\n\r\n", &a, &why));
  EXPECT_EQ(why, "answer with status 404");
  for (const char* garbage : {"", "HTTP/1.1 200 OK", "M-SEARCH * HTTP/1.1\r\n\r\n", "HTTP/1.1 2000 OK\r\n",
                              "HTTP/1.1 -20 OK\r\n", "\xff\xfe\x00\x01\r\n"}) {
    EXPECT_FALSE(parse_answer(garbage, &a, &why)) << garbage;
    EXPECT_EQ(why, "not an SSDP answer") << garbage;
  }
  std::string huge = "HTTP/1.1 200 OK\r\nLOCATION: http://a/\r\nX: " + std::string(kAnswerMax, 'x') + "\r\n\r\n";
  EXPECT_FALSE(parse_answer(huge, &a, &why));
  EXPECT_NE(why.find("too large"), std::string::npos) << why;
  // Binary junk of the full size with a valid start is read without harm.
  std::string junk = "HTTP/1.1 200 OK\r\n";
  for (size_t i = 0; junk.size() < kAnswerMax; ++i) junk += static_cast<char>((i * 131) & 0xff);
  parse_answer(junk, &a, &why);
}

TEST(DiscoverUrl, HostPortAndPath) {
  http_url u;
  std::string why;
  ASSERT_TRUE(parse_http_url("http://10.77.0.1:38400/description.xml", &u, &why)) << why;
  EXPECT_EQ(u.host, "10.77.0.1");
  EXPECT_EQ(u.port, 38400);
  EXPECT_EQ(u.path, "/description.xml");
  ASSERT_TRUE(parse_http_url("HTTP://player.local", &u, &why)) << why;
  EXPECT_EQ(u.host, "player.local");
  EXPECT_EQ(u.port, 80);
  EXPECT_EQ(u.path, "/");
  ASSERT_TRUE(parse_http_url("http://h:8080?x=1#frag", &u, &why)) << why;
  EXPECT_EQ(u.path, "/?x=1");
  EXPECT_EQ(http_request(u), "GET /?x=1 HTTP/1.1\r\nHost: h:8080\r\nUser-Agent: vbdctl\r\n"
                             "Accept: text/xml, application/xml\r\nConnection: close\r\n\r\n");
}

TEST(DiscoverUrl, RefusedWithAReason) {
  http_url u;
  std::string why;
  for (const char* bad : {"https://h/", "ftp://h/", "/description.xml", "http://", "http://:80/", "http://h:0/",
                          "http://h:65536/", "http://h:80x/", "http://h:/", "http://user@h/", "http://[fe80::1]/",
                          "http://h_1/", "http://h/a b", "http://h/\r\nX: injected"}) {
    EXPECT_FALSE(parse_http_url(bad, &u, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  EXPECT_FALSE(parse_http_url("http://h/" + std::string(kUrlMax, 'a'), &u, &why));
}

TEST(DiscoverHttp, BodyByLengthChunksOrClose) {
  std::string body;
  std::string why;
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n";
  EXPECT_EQ(parse_http_response(head + "Content-Length: 5\r\n\r\n<a/>", false, &body, &why), http_state::incomplete);
  EXPECT_EQ(parse_http_response(head + "Content-Length: 5\r\n\r\n<a/>", true, &body, &why), http_state::bad);
  EXPECT_EQ(why, "response cut short");
  // Bytes after the announced length are not part of the body.
  ASSERT_EQ(parse_http_response(head + "content-length:4\r\n\r\n<a/>junk", false, &body, &why), http_state::done);
  EXPECT_EQ(body, "<a/>");

  const std::string chunked = head + "Transfer-Encoding: chunked\r\n\r\n3\r\n<a>\r\n4;ext=1\r\n</a>\r\n0\r\n\r\n";
  ASSERT_EQ(parse_http_response(chunked, false, &body, &why), http_state::done) << why;
  EXPECT_EQ(body, "<a></a>");
  // Cut anywhere, it waits for more, and is bad once the server has closed.
  for (size_t cut = head.size() + 30; cut < chunked.size() - 5; ++cut) {
    EXPECT_EQ(parse_http_response(chunked.substr(0, cut), false, &body, &why), http_state::incomplete) << cut;
    EXPECT_EQ(parse_http_response(chunked.substr(0, cut), true, &body, &why), http_state::bad) << cut;
  }
  EXPECT_EQ(parse_http_response(head + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", false, &body, &why), http_state::bad);
  EXPECT_EQ(parse_http_response(head + "Transfer-Encoding: chunked\r\n\r\nffffffff\r\n", false, &body, &why),
            http_state::bad);

  // Without a length the body ends with the connection; LF-only heads work.
  EXPECT_EQ(parse_http_response("HTTP/1.0 200 OK\n\n<root/>", false, &body, &why), http_state::incomplete);
  ASSERT_EQ(parse_http_response("HTTP/1.0 200 OK\n\n<root/>", true, &body, &why), http_state::done);
  EXPECT_EQ(body, "<root/>");
}

TEST(DiscoverHttp, ErrorsRedirectsAndLimits) {
  std::string body;
  std::string why;
  EXPECT_EQ(parse_http_response("HTTP/1.1 404 Not Found\r\n\r\n", false, &body, &why), http_state::bad);
  EXPECT_EQ(why, "HTTP status 404");
  EXPECT_EQ(parse_http_response("HTTP/1.1 301 Moved\r\nLocation: http://x/\x1b[2J\r\n\r\n", false, &body, &why),
            http_state::bad);
  EXPECT_EQ(why, "HTTP status 301 to http://x/?[2J (redirects are not followed)");
  EXPECT_EQ(parse_http_response("SSH-2.0-OpenSSH\r\n", false, &body, &why), http_state::bad);
  EXPECT_EQ(why, "not an HTTP response");
  EXPECT_EQ(parse_http_response("", true, &body, &why), http_state::bad);
  EXPECT_EQ(why, "connection closed without a response");
  EXPECT_EQ(parse_http_response("HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", false, &body, &why), http_state::bad);
  EXPECT_EQ(parse_http_response("HTTP/1.1 200 OK\r\nContent-Length: 999999999\r\n\r\n", false, &body, &why),
            http_state::bad);
  EXPECT_NE(why.find("larger than 256 KiB"), std::string::npos) << why;
  std::string endless = "HTTP/1.1 200 OK\r\n\r\n" + std::string(kDescriptionMax + 1, '<');
  EXPECT_EQ(parse_http_response(endless, false, &body, &why), http_state::bad);
  std::string endless_head = "HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'x');
  EXPECT_EQ(parse_http_response(endless_head, false, &body, &why), http_state::bad);
  EXPECT_EQ(why, "response headers too large");
}

TEST(DiscoverDescription, ThePackagedDescription) {
  device_description d;
  std::string why;
  ASSERT_TRUE(parse_description(sample(), &d, &why)) << why;
  EXPECT_EQ(d.friendly_name, "vBdServer Blu-ray Player");
  EXPECT_EQ(d.model_name, "vBdServer Player");
  EXPECT_EQ(d.model_number, "1.0");
  EXPECT_EQ(d.manufacturer, "vBdServer");
  // The root device's UDN, not the embedded tray's.
  EXPECT_EQ(d.udn, "uuid:5f2b7c1e-8a43-4d0e-9b6a-3c1d0e7f4a21");

  ASSERT_TRUE(parse_description("<root><device><friendlyName>\n  P &amp; Q  </friendlyName></device></root>", &d, &why));
  EXPECT_EQ(d.friendly_name, "P & Q");
  EXPECT_EQ(d.model_number, "");
}

TEST(DiscoverDescription, NotXmlOrNotADevice) {
  device_description d;
  std::string why;
  const std::string s = sample();
  struct {
    std::string text;
    const char* reason;
  } cases[] = {
      {"", "description is not XML"},
      {"hello " + s, "description is not XML"},
      {s.substr(0, s.size() / 2), "description is not valid XML"},  // elements left open
      {s.substr(0, s.rfind('>')), "description is not valid XML"},  // a tag without its '>'
      {"<root><!-- <device></device></root>", "description is not valid XML"},
      {std::string("<root><device>\0</device></root>", 31), "description is not XML (it holds a NUL byte)"},
      {"<html><body>Not found</body></html>", "description is not a UPnP device description (root element \"html\")"},
      {"<root><service></service></root>", "description is not a UPnP device description (no device element)"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(parse_description(c.text, &d, &why)) << c.text;
    EXPECT_EQ(why, c.reason) << c.text;
  }
}

TEST(DiscoverOutput, HostileNamesStayInsideTheirStrings) {
  EXPECT_EQ(json_string("a\"b\\c/"), "\"a\\\"b\\\\c/\"");
  EXPECT_EQ(json_string("\n\r\t\b\f\x01\x1f\x7f"), "\"\\n\\r\\t\\b\\f\\u0001\\u001f\\u007f\"");
  EXPECT_EQ(json_string("Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5"), "\"Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5\"");
  // Bytes that are not UTF-8 (a lone continuation, an overlong '/', a
  // surrogate, a cut sequence) become U+FFFD one byte at a time.
  EXPECT_EQ(json_string("\x80"), "\"\xef\xbf\xbd\"");
  EXPECT_EQ(json_string("\xc0\xaf"), "\"\xef\xbf\xbd\xef\xbf\xbd\"");
  EXPECT_EQ(json_string("\xed\xa0\x80"), "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"");
  EXPECT_EQ(json_string("x\xe2\x82"), "\"x\xef\xbf\xbd\xef\xbf\xbd\"");
  EXPECT_EQ(json_string(std::string("a\0b", 3)), "\"a\\u0000b\"");

  // A terminal escape and a C1 control in a name are shown, not obeyed.
  EXPECT_EQ(printable("\x1b]0;owned\x07 name\xc2\x9b"), "?]0;owned? name?");
}

TEST(DiscoverOutput, TextAndJsonBlocks) {
  device d;
  d.description = {"Living \"room\"", "Maker", "Player", "1.0", "uuid:1"};
  d.address = "10.0.0.5";
  d.location = "http://10.0.0.5:38400/description.xml";
  d.control_port = 8102;
  d.control = "answers";
  device bare;
  bare.address = "10.0.0.6";
  bare.location = "http://10.0.0.6/";
  bare.control_port = 8102;
  EXPECT_EQ(format_text({d, bare}),
            "Living \"room\"\n"
            "  model:        Player 1.0\n"
            "  manufacturer: Maker\n"
            "  address:      10.0.0.5\n"
            "  description:  http://10.0.0.5:38400/description.xml\n"
            "  UDN:          uuid:1\n"
            "  control port: 8102 answers\n"
            "\n"
            "(no name)\n"
            "  model:        -\n"
            "  address:      10.0.0.6\n"
            "  description:  http://10.0.0.6/\n"
            "  UDN:          -\n");
  std::string json = format_json({d, bare});
  EXPECT_TRUE(vbd_test::in_order(json, {"[\n  {\n", "\"friendlyName\": \"Living \\\"room\\\"\",\n",
                                        "\"controlPort\": 8102,\n", "\"control\": \"answers\"\n  },\n  {\n",
                                        "\"friendlyName\": null,", "\"control\": null\n  }\n]\n"}))
      << json;
  EXPECT_EQ(format_json({}), "[]\n");
}

TEST(DiscoverSearch, TheMSearch) {
  EXPECT_EQ(msearch(3), "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 3\r\n"
                        "ST: upnp:rootdevice\r\n\r\n");
}

}  // namespace
