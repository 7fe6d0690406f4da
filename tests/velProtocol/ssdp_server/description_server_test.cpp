// Description serving: the device's HTTP listener answering requests read
// from a loopback connection (the description with its URLBase, SCPD
// paths, icons, HEAD, and the 400 and 404 answers), and large descriptions
// still in flight when their rendering is dropped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/velProtocol/ssdp_server/ssdp_test_util.h"
#include "velProtocol/ssdp_server/ssdp_server.h"

using namespace ssdp_test;

namespace {

struct http_answer {
  message head;  // status line and headers
  std::string body;
  std::string raw;
};

// A loopback connection: the client end, which has sent the request bytes
// and half-closed, and the accepted end. buffer_size > 0 bounds the client's
// receive and the accepted end's send buffer, so that a large answer stays
// in flight until the client reads it. False when either end is missing.
bool connect_and_send(const std::string& request_text, int* client, int* accepted,
                      int buffer_size = 0) {
  *client = *accepted = -1;
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sin);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
    if (listener >= 0) close(listener);
    return false;
  }
  *client = socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{10, 0};  // a broken test fails instead of hanging
  setsockopt(*client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  if (buffer_size > 0) {
    setsockopt(*client, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof(buffer_size));
  }
  if (connect(*client, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0) {
    *accepted = accept(listener, nullptr, nullptr);
  }
  close(listener);
  if (*accepted < 0) {
    close(*client);
    *client = -1;
    return false;
  }
  if (buffer_size > 0) {
    setsockopt(*accepted, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof(buffer_size));
  }
  EXPECT_EQ(write(*client, request_text.data(), request_text.size()),
            static_cast<ssize_t>(request_text.size()));
  shutdown(*client, SHUT_WR);
  return true;
}

// Reads the request from the accepted end and lets the device's listener
// answer it; the end is closed afterwards, so the client reads to the end.
void serve(cg_upnp_device* dev, int accepted) {
  cg_socket* sock = cg_socket_new(CG_NET_SOCKET_STREAM);
  cg_socket_set_fd(sock, accepted);
  cg_socket_set_timeout(sock, 10);
  cg_http_request* request = cg_http_request_new();
  EXPECT_EQ(cg_http_request_read(request, sock), 1);
  cg_http_request_set_user_data(request, dev);
  cg_upnp_device_httprequestrecieved(request);
  cg_http_request_delete(request);
  cg_socket_delete(sock);
}

// Appends what the client receives until the end of the connection, or
// only until the end of the head when head_only.
void receive(int client, std::string* raw, bool head_only = false) {
  char buffer[4096];
  while (!head_only || raw->find("\r\n\r\n") == std::string::npos) {
    ssize_t n = read(client, buffer, head_only ? 1 : sizeof(buffer));
    if (n <= 0) return;
    raw->append(buffer, static_cast<size_t>(n));
  }
}

http_answer split(std::string raw) {
  http_answer answer;
  answer.raw = std::move(raw);
  size_t end = answer.raw.find("\r\n\r\n");
  if (end == std::string::npos) return answer;
  answer.head = parse_message(answer.raw.substr(0, end + 4));
  answer.body = answer.raw.substr(end + 4);
  return answer;
}

// Connects to a loopback listener, sends the request bytes, lets the
// device's listener answer the request read on the accepted end, and
// returns what the client received.
http_answer ask(cg_upnp_device* dev, const std::string& request_text) {
  int client, accepted;
  if (!connect_and_send(request_text, &client, &accepted)) return {};
  serve(dev, accepted);
  std::string raw;
  receive(client, &raw);
  close(client);
  return split(std::move(raw));
}

std::string get(const std::string& path, const std::string& method = "GET") {
  return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:38400\r\n\r\n";
}

class DescriptionServerTest : public testing::Test {
 protected:
  void SetUp() override {
    dev_ = device_from(sample_description());
    ASSERT_NE(dev_, nullptr);
    cg_upnp_set_description_directory(source_path("packaging/description").c_str());
  }
  void TearDown() override {
    cg_upnp_device_delete(dev_);
    cg_upnp_set_description_directory("./description");
  }
  cg_upnp_device* dev_ = nullptr;
};

constexpr const char* kXmlType = "text/xml; charset=\"utf-8\"";

}  // namespace

TEST_F(DescriptionServerTest, GetServesTheDescriptionWithUrlBase) {
  http_answer a = ask(dev_, get("/description.xml"));
  EXPECT_EQ(a.head.start_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(a.head.names(), (std::vector<std::string>{"Content-Type", "Content-Length", "Date"}));
  EXPECT_EQ(a.head.value("Content-Type"), kXmlType);
  EXPECT_EQ(a.head.value("Content-Length"), std::to_string(a.body.size()));
  EXPECT_EQ(a.body.rfind(
                "<?xml version=\"1.0\"?>\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\n", 0),
            0u)
      << a.body;
  // URLBase names the address the request arrived on; it goes last.
  const std::string tail = " <URLBase>http://127.0.0.1:38400</URLBase>\n</root>\n";
  ASSERT_GE(a.body.size(), tail.size());
  EXPECT_EQ(a.body.substr(a.body.size() - tail.size()), tail);
  EXPECT_NE(a.body.find("<UDN>" + std::string(kRootUdn) + "</UDN>"), std::string::npos);

  // A second request rewrites the same element instead of adding one.
  http_answer again = ask(dev_, get("/description.xml"));
  EXPECT_EQ(again.body, a.body);
}

TEST_F(DescriptionServerTest, ExistingUrlBaseIsReplacedInPlace) {
  std::string text = replace_all(sample_description(), " <specVersion>",
                                 " <URLBase>http://old:1</URLBase>\n <specVersion>");
  cg_upnp_device* dev = device_from(text);
  ASSERT_NE(dev, nullptr);
  http_answer a = ask(dev, get("/description.xml"));
  EXPECT_NE(a.body.find("\">\n <URLBase>http://127.0.0.1:38400</URLBase>\n <specVersion>"),
            std::string::npos)
      << a.body;
  EXPECT_EQ(a.body.find("http://old:1"), std::string::npos);
  cg_upnp_device_delete(dev);
}

// The document is rendered once per URL base; a rendering must never hide
// a later change to the tree.
TEST_F(DescriptionServerTest, RenderingsFollowTheUrlBaseAndEveryChange) {
  auto describe = [this](const char* address) {
    cg_string* body = cg_string_new();
    cg_upnp_device_get_description(dev_, address, body);
    std::string text = cg_string_value(body) ? cg_string_value(body) : "";
    cg_string_delete(body);
    return text;
  };
  const std::string first = describe("10.77.0.1");
  EXPECT_NE(first.find("<URLBase>http://10.77.0.1:38400</URLBase>"), std::string::npos);
  EXPECT_NE(describe("10.77.0.2").find("<URLBase>http://10.77.0.2:38400</URLBase>"),
            std::string::npos);
  EXPECT_EQ(describe("10.77.0.1"), first);

  // A caller's own edit of the tree, announced.
  cg_xml_node_set_child_value(cg_upnp_device_get_device_node(dev_), "friendlyName", "Renamed");
  cg_upnp_device_description_changed(dev_);
  EXPECT_NE(describe("10.77.0.1").find("<friendlyName>Renamed</friendlyName>"), std::string::npos);

  // Without an address the tree's own URLBase is served.
  cg_upnp_device_update_url_base(dev_, "http://elsewhere:1");
  EXPECT_NE(describe("").find("<URLBase>http://elsewhere:1</URLBase>"), std::string::npos);

  // A new document replaces every rendering of the old one.
  const std::string text = replace_all(sample_description(), "vBdServer Blu-ray Player", "Again");
  ASSERT_EQ(upnp_device_parsedescription(dev_, text.c_str(), static_cast<int>(text.size()) + 1), 1);
  const std::string reloaded = describe("10.77.0.1");
  EXPECT_NE(reloaded.find("<friendlyName>Again</friendlyName>"), std::string::npos);
  EXPECT_EQ(reloaded.find("Renamed"), std::string::npos);
}

TEST_F(DescriptionServerTest, HeadAndEncodedPath) {
  http_answer full = ask(dev_, get("/description.xml"));
  http_answer head = ask(dev_, get("/description.xml", "HEAD"));
  EXPECT_EQ(head.head.start_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(head.head.value("Content-Type"), kXmlType);
  EXPECT_EQ(head.head.value("Content-Length"), std::to_string(full.body.size()));
  EXPECT_TRUE(head.body.empty());

  http_answer encoded = ask(dev_, get("/description%2Exml"));
  EXPECT_EQ(encoded.head.start_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(encoded.body, full.body);
}

TEST_F(DescriptionServerTest, WrongMethodsAndUnknownPaths) {
  for (const char* method : {"POST", "M-POST", "get", "PUT"}) {
    http_answer a = ask(dev_, get("/description.xml", method));
    EXPECT_EQ(a.head.start_line, "HTTP/1.1 400 Bad Request") << method;
    EXPECT_EQ(a.head.value("Content-Length"), "0");
    EXPECT_TRUE(a.body.empty());
  }
  for (const char* path : {"/", "/nothing", "/description.xml?x=1", "/DESCRIPTION.XML"}) {
    http_answer a = ask(dev_, get(path));
    EXPECT_EQ(a.head.start_line, "HTTP/1.1 404 Not Found") << path;
    EXPECT_EQ(a.head.names(), (std::vector<std::string>{"Content-Length", "Date"}));
    EXPECT_EQ(a.head.value("Content-Length"), "0");
  }
}

TEST_F(DescriptionServerTest, ScpdPathsAnswerEmptyDocuments) {
  for (const char* path :
       {"/PlayerControl/scpd.xml", "/PlayerStatus/scpd.xml", "/TrayControl/scpd.xml",
        "http://127.0.0.1:38400/PlayerStatus/scpd.xml"}) {
    http_answer a = ask(dev_, get(path));
    EXPECT_EQ(a.head.start_line, "HTTP/1.1 200 OK") << path;
    EXPECT_EQ(a.head.value("Content-Type"), kXmlType);
    EXPECT_EQ(a.head.value("Content-Length"), "0");
    EXPECT_TRUE(a.body.empty());
  }
  EXPECT_NE(cg_upnp_device_get_service_by_scpd_url(dev_, "/TrayControl/scpd.xml"), nullptr);
  EXPECT_EQ(cg_upnp_device_get_service_by_scpd_url(dev_, ""), nullptr);
}

TEST_F(DescriptionServerTest, IconsAreReadFromTheDescriptionDirectory) {
  std::string png = read_file(source_path("packaging/description/icon48.png"));
  ASSERT_FALSE(png.empty());
  http_answer a = ask(dev_, get("/icon48.png"));
  EXPECT_EQ(a.head.start_line, "HTTP/1.1 200 OK");
  // The element is written mimetype: names are looked up ignoring case.
  EXPECT_EQ(a.head.value("Content-Type"), "image/png");
  EXPECT_EQ(a.head.value("Content-Length"), std::to_string(png.size()));
  EXPECT_EQ(a.body, png);

  // The URL matches ignoring case, but the file name is the path as sent.
  testing::internal::CaptureStderr();
  http_answer upper = ask(dev_, get("/ICON48.PNG"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(upper.head.start_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(upper.head.value("Content-Type"), "image/png");
  EXPECT_EQ(upper.head.value("Content-Length"), "0");
  EXPECT_EQ(err, "(./velProtocol/ssdp_server/cdevice:L1800::)Can't load " +
                     source_path("packaging/description") + "/ICON48.PNG!!\n");
}

TEST(DescriptionDirectoryTest, DefaultsToDescriptionBesideTheWorkingDirectory) {
  EXPECT_STREQ(cg_upnp_description_directory(), "./description");
  cg_upnp_set_description_directory("/tmp/icons");
  EXPECT_STREQ(cg_upnp_description_directory(), "/tmp/icons");
  cg_upnp_set_description_directory("./description");
}

// Bytes the allocator has handed out and not got back (0 where unknown,
// and under a sanitizer, which has an allocator of its own).
size_t heap_in_use() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 33) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#else
  return 0;
#endif
}

// Responses share the rendering instead of copying it: two answers of a
// large description in flight at once take far less than one more copy, and
// both arrive whole, as rendered when they began, although the URL base
// changes and a new document replaces the old one meanwhile.
TEST_F(DescriptionServerTest, LargeDescriptionInFlightIsSharedAndOutlivesItsRendering) {
  constexpr size_t kFiller = 4 * 1000 * 1000;
  std::string large = sample_description();
  large.insert(large.find("<device>") + 8,
               "\n  <vbdFiller>" + std::string(kFiller, 'x') + "</vbdFiller>");
  cg_upnp_device* dev = device_from(large);
  ASSERT_NE(dev, nullptr);
  cg_string* rendered = cg_string_new();
  cg_upnp_device_get_description(dev, "127.0.0.1", rendered);
  const std::string expected(cg_string_value(rendered), cg_string_length(rendered));
  cg_string_delete(rendered);
  ASSERT_GT(expected.size(), kFiller);
  size_t before = heap_in_use();

  struct fetch {
    int client = -1, accepted = -1;
    std::thread server;
    std::string raw;
    ~fetch() {  // a failed test ends the listener's send by closing the client
      if (client >= 0) close(client);
      if (server.joinable()) server.join();
    }
  };
  std::vector<fetch> fetches(2);
  for (fetch& f : fetches) {
    ASSERT_TRUE(connect_and_send(get("/description.xml"), &f.client, &f.accepted, 16 * 1024));
    f.server = std::thread(serve, dev, f.accepted);
    receive(f.client, &f.raw, true);
    ASSERT_NE(f.raw.find("\r\n\r\n"), std::string::npos);
  }
  // Both listeners are now blocked sending bodies their clients do not read.
  size_t during = heap_in_use();
  if (before && during > before) {
    EXPECT_LT(during - before, kFiller / 2);
  }

  cg_upnp_device_update_url_base(dev, "http://elsewhere:1");
  const std::string other = replace_all(large, "vBdServer Blu-ray Player", "Replaced");
  ASSERT_EQ(upnp_device_parsedescription(dev, other.c_str(), static_cast<int>(other.size()) + 1),
            1);
  rendered = cg_string_new();
  cg_upnp_device_get_description(dev, "127.0.0.1", rendered);
  EXPECT_NE(std::string(cg_string_value(rendered)).find("<friendlyName>Replaced</friendlyName>"),
            std::string::npos);
  cg_string_delete(rendered);

  for (fetch& f : fetches) {
    receive(f.client, &f.raw);
    f.server.join();
    http_answer a = split(f.raw);
    EXPECT_EQ(a.head.start_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(a.head.names(), (std::vector<std::string>{"Content-Type", "Content-Length", "Date"}));
    EXPECT_EQ(a.head.value("Content-Length"), std::to_string(expected.size()));
    EXPECT_TRUE(a.body == expected) << "got " << a.body.size() << " bytes";
  }
  cg_upnp_device_delete(dev);
}
