// URL parsing, the request URI and path comparison, percent-decoding, URL
// building, HTTP dates and the reason-phrase table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/http.h"

namespace {

std::string text(const char* value) { return value ? value : "(none)"; }

struct url_holder {
  cg_url* url = cg_url_new();
  explicit url_holder(const char* text) { cg_url_parse(url, text); }
  ~url_holder() { cg_url_delete(url); }
};

TEST(UrlTest, NewUrlHasRootPathAndPortZero) {
  cg_url* url = cg_url_new();
  ASSERT_NE(url, nullptr);
  EXPECT_STREQ(cg_url_get_path(url), "/");
  EXPECT_EQ(cg_url_get_port(url), 0);
  EXPECT_EQ(cg_url_get_host(url), nullptr);
  cg_url_clear(url);
  EXPECT_EQ(cg_url_get_path(url), nullptr);
  cg_url_delete(url);
}

TEST(UrlTest, AbsoluteUrlWithPortAndDefaultPorts) {
  url_holder u("http://192.168.1.20:38400/description.xml");
  EXPECT_STREQ(cg_url_get_scheme(u.url), "http");
  EXPECT_STREQ(cg_url_get_host(u.url), "192.168.1.20");
  EXPECT_EQ(cg_url_get_port(u.url), 38400);
  EXPECT_STREQ(cg_url_get_path(u.url), "/description.xml");
  EXPECT_EQ(cg_url_get_query(u.url), nullptr);
  EXPECT_EQ(cg_url_get_fragment(u.url), nullptr);
  EXPECT_STREQ(cg_url_get_whole(u.url), "http://192.168.1.20:38400/description.xml");

  EXPECT_EQ(cg_url_get_port(url_holder("http://h/x").url), 80);
  EXPECT_EQ(cg_url_get_port(url_holder("ftp://h/x").url), 21);
  EXPECT_EQ(cg_url_get_port(url_holder("HTTP://h/x").url), -1);  // case-sensitive scheme
  EXPECT_EQ(cg_url_get_port(url_holder("rtsp://h/x").url), -1);
  EXPECT_EQ(cg_url_get_port(url_holder("http://h:/x").url), 0);  // no digits
  EXPECT_EQ(cg_url_get_port(url_holder("http://h:99999999999/x").url), 2147483647);
}

TEST(UrlTest, RelativeTextWithQueryAndFragment) {
  url_holder u("/upnp/scpd.xml?x=1#top");
  EXPECT_EQ(cg_url_get_scheme(u.url), nullptr);
  EXPECT_EQ(cg_url_get_host(u.url), nullptr);
  EXPECT_EQ(cg_url_get_port(u.url), -1);
  EXPECT_STREQ(cg_url_get_path(u.url), "/upnp/scpd.xml");
  EXPECT_STREQ(cg_url_get_query(u.url), "x=1");
  EXPECT_STREQ(cg_url_get_fragment(u.url), "top");
  EXPECT_STREQ(cg_url_get_request_uri(u.url), "/upnp/scpd.xml?x=1");
  // Parsing again replaces everything.
  cg_url_parse(u.url, "/a");
  EXPECT_EQ(cg_url_get_query(u.url), nullptr);
  EXPECT_EQ(cg_url_get_fragment(u.url), nullptr);
  EXPECT_STREQ(cg_url_get_request_uri(u.url), "/a");
}

TEST(UrlTest, QuestionMarkInsideFragmentGivesNoQuery) {
  url_holder u("/a#frag?x=1");
  EXPECT_STREQ(cg_url_get_path(u.url), "/a");
  EXPECT_EQ(cg_url_get_query(u.url), nullptr);
  EXPECT_STREQ(cg_url_get_fragment(u.url), "frag?x=1");
  // An empty query leaves the request URI without "?".
  url_holder e("/a?");
  EXPECT_STREQ(cg_url_get_query(e.url), "");
  EXPECT_STREQ(cg_url_get_request_uri(e.url), "/a");
}

TEST(UrlTest, Ipv6HostsKeepBracketsOnlyWithoutPort) {
  url_holder with_port("http://[fe80::1]:8102/d.xml");
  EXPECT_STREQ(cg_url_get_host(with_port.url), "fe80::1");
  EXPECT_EQ(cg_url_get_port(with_port.url), 8102);
  EXPECT_STREQ(cg_url_get_path(with_port.url), "/d.xml");

  url_holder without("http://[fe80::1]/d.xml");
  EXPECT_STREQ(cg_url_get_host(without.url), "[fe80::1]");
  EXPECT_EQ(cg_url_get_port(without.url), 80);
}

TEST(UrlTest, UserInformation) {
  url_holder full("http://u:p@h:1/");
  EXPECT_STREQ(cg_url_get_user(full.url), "u");
  EXPECT_STREQ(cg_url_get_password(full.url), "p");
  EXPECT_STREQ(cg_url_get_host(full.url), "h");
  EXPECT_EQ(cg_url_get_port(full.url), 1);
  EXPECT_STREQ(cg_url_get_path(full.url), "/");

  url_holder user_only("http://u@h/");
  EXPECT_STREQ(cg_url_get_user(user_only.url), "u");
  EXPECT_EQ(cg_url_get_password(user_only.url), nullptr);
  EXPECT_STREQ(cg_url_get_host(user_only.url), "h");
  EXPECT_EQ(cg_url_get_port(user_only.url), 80);

  // A ':' after the '@' is the port's, not a password's.
  url_holder port_colon("http://u@h:5/");
  EXPECT_STREQ(cg_url_get_user(port_colon.url), "u");
  EXPECT_EQ(cg_url_get_password(port_colon.url), nullptr);
  EXPECT_EQ(cg_url_get_port(port_colon.url), 5);
}

TEST(UrlTest, AbsoluteUrlWithoutPathGetsRoot) {
  url_holder u("http://h:80");
  EXPECT_STREQ(cg_url_get_host(u.url), "h");
  EXPECT_EQ(cg_url_get_port(u.url), 80);
  EXPECT_STREQ(cg_url_get_path(u.url), "/");
  EXPECT_STREQ(cg_url_get_request_uri(u.url), "/");
}

TEST(UrlTest, PathEquals) {
  EXPECT_EQ(cg_url_path_equals("/upnp/scpd.xml", "/upnp/scpd.xml"), 1);
  EXPECT_EQ(cg_url_path_equals("http://10.0.0.1:80/upnp/scpd.xml?v=2", "/upnp/scpd.xml"), 1);
  EXPECT_EQ(cg_url_path_equals("/upnp/SCPD.xml", "/upnp/scpd.xml"), 0);
  EXPECT_EQ(cg_url_path_equals("scpd.xml", "/scpd.xml"), 0);
  EXPECT_EQ(cg_url_path_equals(nullptr, "/"), 0);
  EXPECT_EQ(cg_url_path_equals("/", nullptr), 0);
}

TEST(UrlTest, DecodeEscapesAndLeavesBrokenOnes) {
  cg_string* out = cg_string_new();
  EXPECT_STREQ(cg_url_decode("/a%20b%2Fc", 0, out), "/a b/c");
  for (const char* same : {"%zz", "100%", "%4", "%%41", "%"}) {
    cg_string_clear(out);
    std::string expected = std::strcmp(same, "%%41") == 0 ? "%A" : same;
    EXPECT_EQ(text(cg_url_decode(same, -1, out)), expected) << same;
  }
  // The length bounds the walk: an escape cut by it is copied as it is.
  cg_string_clear(out);
  EXPECT_STREQ(cg_url_decode("%41%42", 5, out), "A%4");
  // A decoded NUL byte is kept in the string's length.
  cg_string_clear(out);
  cg_url_decode("a%00b", 0, out);
  EXPECT_EQ(cg_string_length(out), 3);
  // Appends to what out holds.
  cg_string_set(out, "x");
  EXPECT_STREQ(cg_url_decode("%41", 0, out), "xA");
  EXPECT_EQ(cg_url_decode("a", 0, nullptr), nullptr);
  cg_string_delete(out);
}

TEST(UrlTest, BuildBracketsIpv6AndAlwaysWritesPort) {
  char buffer[128];
  EXPECT_STREQ(cg_url_build("192.168.1.20", 38400, "/description.xml", buffer, sizeof(buffer)),
               "http://192.168.1.20:38400/description.xml");
  EXPECT_STREQ(cg_url_build("fe80::1", 38400, "/d.xml", buffer, sizeof(buffer)),
               "http://[fe80::1]:38400/d.xml");
  EXPECT_STREQ(cg_url_build("10.0.0.1", 80, "", buffer, sizeof(buffer)), "http://10.0.0.1:80");
  // Cut to the buffer, never past it.
  char small[12];
  std::memset(small, 'x', sizeof(small));
  cg_url_build("192.168.1.20", 38400, "/description.xml", small, sizeof(small));
  EXPECT_STREQ(small, "http://192.");
}

TEST(HttpDateTest, Rfc1123InGmt) {
  char buffer[CG_HTTP_DATE_SIZE];
  EXPECT_STREQ(cg_http_date(0, buffer), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_STREQ(cg_http_date(951782400, buffer), "Tue, 29 Feb 2000 00:00:00 GMT");
  EXPECT_STREQ(cg_http_date(1700000000, buffer), "Tue, 14 Nov 2023 22:13:20 GMT");
}

TEST(HttpStatusTest, ReasonPhrasesInTheRfcWording) {
  EXPECT_STREQ(cg_http_status_reason(200), "OK");
  EXPECT_STREQ(cg_http_status_reason(400), "Bad Request");
  EXPECT_STREQ(cg_http_status_reason(404), "Not Found");
  EXPECT_STREQ(cg_http_status_reason(408), "Request Time-out");
  EXPECT_STREQ(cg_http_status_reason(414), "Request-URI Too Large");
  EXPECT_STREQ(cg_http_status_reason(416), "Requested range not satisfiable");
  EXPECT_STREQ(cg_http_status_reason(504), "Gateway Time-out");
  EXPECT_STREQ(cg_http_status_reason(505), "HTTP Version not supported");
  for (int code : {0, 99, 102, 207, 306, 308, 418, 506, -1}) {
    EXPECT_STREQ(cg_http_status_reason(code), "Unknown") << code;
  }
}

}  // namespace
