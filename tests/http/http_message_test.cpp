// HTTP requests read over a socketpair (request line, header forms, bodies
// by length, chunked and until close, the header and body limits, the time
// limits and the shared body budget) and responses written to one, with
// bodies of their own or shared with their giver.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "http/http.h"
#include "http/http_internal.h"
#include "tests/http/http_test_util.h"

namespace {

using namespace std::string_literals;

struct request_fixture : ::testing::Test {
  socket_pair pair;
  cg_http_request* request = cg_http_request_new();
  ~request_fixture() override { cg_http_request_delete(request); }

  int read() { return cg_http_request_read(request, pair.sock); }
  const char* header(const char* name) {
    return cg_http_packet_get_header_value(cg_http_request_get_packet(request), name);
  }
  std::string content() {
    cg_http_packet* packet = cg_http_request_get_packet(request);
    const char* bytes = cg_http_packet_get_content(packet);
    return bytes
               ? std::string(bytes, static_cast<size_t>(cg_http_packet_get_content_length(packet)))
               : std::string();
  }
};

using RequestReadTest = request_fixture;

TEST_F(RequestReadTest, HeaderFormsDuplicatesAndEmptyValues) {
  ASSERT_TRUE(
      pair.send_peer("\r\n\r\nGET /description.xml HTTP/1.1\r\n"
                     "Content-Type: text/xml; charset=\"utf-8\"\r\n"
                     "Host: [::1]:8102\r\n"
                     "X-A:\r\n"
                     "ST: first\r\n"
                     "st: second\r\n"
                     "MX:3\r\n"
                     "  Folded: line\r\n"
                     ": \r\n"
                     "Trail: v :  \r\n"
                     "\r\n"));
  ASSERT_EQ(read(), 1);
  EXPECT_STREQ(cg_http_request_get_method(request), "GET");
  EXPECT_STREQ(cg_http_request_get_uri(request), "/description.xml");
  EXPECT_STREQ(cg_http_request_get_version(request), "HTTP/1.1");
  EXPECT_STREQ(header("content-type"), "text/xml; charset=\"utf-8\"");
  EXPECT_STREQ(header("HOST"), "[::1]:8102");
  EXPECT_STREQ(header("X-A"), "");  // empty, not absent
  EXPECT_STREQ(header("st"), "first");
  EXPECT_STREQ(header("MX"), "3");
  EXPECT_STREQ(header("Folded"), "line");  // no folding of continuation lines
  EXPECT_STREQ(header("Trail"), "v");
  EXPECT_EQ(header("Content-Length"), nullptr);

  // Every line is kept in order, duplicates included; the ": " line is skipped.
  std::vector<std::string> names;
  cg_http_header_list* headers = cg_http_packet_get_headers(cg_http_request_get_packet(request));
  for (cg_http_header* h = cg_http_header_list_first(headers); h; h = cg_http_header_next(h)) {
    names.emplace_back(cg_http_header_get_name(h));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Content-Type", "Host", "X-A", "ST", "st", "MX",
                                             "Folded", "Trail"}));
  EXPECT_EQ(content(), "");
}

TEST_F(RequestReadTest, RequestLineRules) {
  // Absolute URIs are reduced to path and query; other targets stay as sent.
  ASSERT_TRUE(
      pair.send_peer("GET http://192.168.0.5:80/description.xml HTTP/1.1\r\n\r\n"
                     "GET http://h/a/b?x=1#f HTTP/1.1\r\n\r\n"
                     "GET http://h:80 HTTP/1.1\r\n\r\n"
                     "M-SEARCH * HTTP/1.1\r\n\r\n"
                     "GET /a b HTTP/1.0\r\n\r\n"
                     "GET /\r\n\r\n"));
  ASSERT_EQ(read(), 1);
  EXPECT_STREQ(cg_http_request_get_uri(request), "/description.xml");
  ASSERT_EQ(read(), 1);
  EXPECT_STREQ(cg_http_request_get_uri(request), "/a/b?x=1");
  ASSERT_EQ(read(), 1);
  EXPECT_STREQ(cg_http_request_get_uri(request), "/");
  ASSERT_EQ(read(), 1);
  EXPECT_STREQ(cg_http_request_get_method(request), "M-SEARCH");
  EXPECT_STREQ(cg_http_request_get_uri(request), "*");
  // More than three parts: the version is the third part alone.
  ASSERT_EQ(read(), 1);
  EXPECT_STREQ(cg_http_request_get_uri(request), "/a");
  EXPECT_STREQ(cg_http_request_get_version(request), "b");
  // Two parts are refused; so is the end of the stream.
  EXPECT_EQ(read(), 0);
  pair.close_peer_writes();
  EXPECT_EQ(read(), 0);
}

TEST_F(RequestReadTest, NoBodyWithoutLengthOrEncoding) {
  ASSERT_TRUE(pair.send_peer("GET /a HTTP/1.1\r\nHost: h\r\n\r\nGET /b HTTP/1.1\r\n\r\n"));
  ASSERT_EQ(read(), 1);
  EXPECT_EQ(content(), "");
  // The bytes that followed are the next request.
  ASSERT_EQ(read(), 1);
  EXPECT_STREQ(cg_http_request_get_uri(request), "/b");
  EXPECT_EQ(header("Host"), nullptr);  // cleared between requests
}

TEST_F(RequestReadTest, ContentLengthBodyThenNextRequest) {
  ASSERT_TRUE(
      pair.send_peer("POST /a HTTP/1.1\r\nContent-Length: 6\r\n\r\nhe\0lo!"
                     "GET /b HTTP/1.1\r\nContent-Length: 0\r\n\r\n"
                     "GET /c HTTP/1.1\r\nContent-Length: -5\r\n\r\n"
                     "GET /d HTTP/1.1\r\n\r\n"s));
  ASSERT_EQ(read(), 1);
  EXPECT_EQ(content(), std::string("he\0lo!", 6));
  ASSERT_EQ(read(), 1);
  EXPECT_STREQ(cg_http_request_get_uri(request), "/b");
  EXPECT_EQ(content(), "");
  ASSERT_EQ(read(), 1);
  EXPECT_EQ(content(), "");
  ASSERT_EQ(read(), 1);
  EXPECT_STREQ(cg_http_request_get_uri(request), "/d");
}

TEST_F(RequestReadTest, ShortBodyKeepsWhatArrived) {
  ASSERT_TRUE(pair.send_peer("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n0123456789"));
  pair.close_peer_writes();
  ASSERT_EQ(read(), 1);
  EXPECT_EQ(content(), "0123456789");
}

TEST_F(RequestReadTest, HugeDeclaredLengthsAllocateOnlyWhatArrives) {
  // Under AddressSanitizer an allocation of the declared size would abort.
  for (const char* length : {"1099511627776", "4294967297", "99999999999999999999999999"}) {
    socket_pair p;
    ASSERT_TRUE(
        p.send_peer(std::string("POST / HTTP/1.1\r\nContent-Length: ") + length + "\r\n\r\nabc"));
    p.close_peer_writes();
    cg_http_request_set_socket(request, p.sock);
    ASSERT_EQ(cg_http_request_read(request, p.sock), 1) << length;
    EXPECT_EQ(content(), "abc") << length;
  }
  socket_pair p;
  ASSERT_TRUE(p.send_peer(
      "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffffffff\r\nabc"));
  p.close_peer_writes();
  cg_http_request_set_socket(request, p.sock);
  ASSERT_EQ(cg_http_request_read(request, p.sock), 1);
  EXPECT_EQ(content(), "abc");
  EXPECT_STREQ(header("Content-Length"), "3");
}

TEST_F(RequestReadTest, LargeBodyArrivingInPieces) {
  const std::string body(300000, 'b');
  std::thread writer([&] {
    pair.send_peer("POST / HTTP/1.1\r\nContent-Length: 300000\r\n\r\n");
    for (size_t i = 0; i < body.size(); i += 50000) pair.send_peer(body.substr(i, 50000));
  });
  ASSERT_EQ(read(), 1);
  writer.join();
  EXPECT_EQ(content().size(), body.size());
  EXPECT_EQ(content(), body);
}

TEST_F(RequestReadTest, ChunkedInAnyCaseWithExtensions) {
  ASSERT_TRUE(pair.send_peer(
      "POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5;name=value\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"
      "POST /b HTTP/1.1\r\nTransfer-Encoding: CHUNKED\r\n\r\nA\r\n0123456789\r\n0\r\n\r\n"
      "GET /c HTTP/1.1\r\n\r\n"));
  ASSERT_EQ(read(), 1);
  EXPECT_EQ(content(), "hello world");
  EXPECT_STREQ(header("Content-Length"), "11");
  // The empty line after the last chunk is skipped before the next request line.
  ASSERT_EQ(read(), 1);
  EXPECT_STREQ(cg_http_request_get_uri(request), "/b");
  EXPECT_EQ(content(), "0123456789");
  ASSERT_EQ(read(), 1);
  EXPECT_STREQ(cg_http_request_get_uri(request), "/c");
}

TEST_F(RequestReadTest, OtherTransferEncodingReadsUntilClose) {
  ASSERT_TRUE(pair.send_peer("POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\nall the rest"));
  pair.close_peer_writes();
  ASSERT_EQ(read(), 1);
  EXPECT_EQ(content(), "all the rest");
  EXPECT_STREQ(header("Content-Length"), "12");
}

TEST_F(RequestReadTest, LongLinesAreCutAndTheRestDiscarded) {
  std::string long_value(700, 'v');
  ASSERT_TRUE(pair.send_peer("GET / HTTP/1.1\r\nLong: " + long_value + "\r\nNext: n\r\n\r\n"));
  ASSERT_EQ(read(), 1);
  // 511 bytes are kept: "Long: " and 505 of the value's bytes.
  EXPECT_EQ(std::string(header("Long")), long_value.substr(0, 505));
  EXPECT_STREQ(header("Next"), "n");
}

TEST_F(RequestReadTest, ByteWisePacketReadLeavesTheRestOnTheSocket) {
  ASSERT_TRUE(pair.send_peer("A: 1\r\nB: 2\r\n\r\nrest"));
  cg_http_packet* packet = cg_http_packet_new();
  char line[CG_HTTP_LINE_SIZE];
  ASSERT_EQ(cg_http_packet_read(packet, pair.sock, 1, line, sizeof(line)), 1);
  EXPECT_STREQ(cg_http_packet_get_header_value(packet, "b"), "2");
  char rest[8] = {};
  EXPECT_EQ(cg_socket_read(pair.sock, rest, 4), 4);
  EXPECT_STREQ(rest, "rest");
  cg_http_packet_delete(packet);
}

// The limits on what one request may make the reader hold, at their exact
// boundaries. read_whole() reads one request from bytes a writer thread
// sends (more than a socket buffer holds) before closing its end.
struct read_result {
  int rc = -1;
  size_t content = 0;
  int headers = 0;
};

read_result read_whole(const std::string& bytes) {
  socket_pair pair;
  std::thread writer([&] {
    vbd_test::send_all(pair.peer, bytes);
    pair.close_peer_writes();
  });
  cg_http_request* request = cg_http_request_new();
  cg_http_request_set_socket(request, pair.sock);
  read_result result;
  result.rc = cg_http_request_read(request, pair.sock);
  result.content = static_cast<size_t>(cg_string_length(request->packet.content));
  for (cg_http_header* h = cg_http_header_list_first(request->packet.headers); h; h = cg_http_header_next(h)) {
    result.headers++;
  }
  // Unblocks a writer that the reader left behind.
  shutdown(cg_socket_get_fd(pair.sock), SHUT_RDWR);
  writer.join();
  cg_http_request_delete(request);
  return result;
}

std::string with_headers(int count) {
  std::string text = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < count; i++) text += "X-" + std::to_string(i) + ": v\r\n";
  return text + "\r\n";
}

std::string chunked(size_t total, size_t chunk) {
  std::string text = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  char size[32];
  for (size_t sent = 0; sent < total; sent += chunk) {
    size_t n = total - sent < chunk ? total - sent : chunk;
    snprintf(size, sizeof size, "%zx\r\n", n);
    text += size + std::string(n, 'c') + "\r\n";
  }
  return text + "0\r\n\r\n";
}

TEST(HttpLimits, HeaderLines) {
  read_result at = read_whole(with_headers(CG_HTTP_MAX_HEADERS));
  EXPECT_EQ(at.rc, 1);
  EXPECT_EQ(at.headers, CG_HTTP_MAX_HEADERS);
  EXPECT_EQ(read_whole(with_headers(CG_HTTP_MAX_HEADERS + 1)).rc, 0);
}

TEST(HttpLimits, SizedBodies) {
  const size_t max = CG_HTTP_MAX_CONTENT;
  auto sized = [](size_t declared, size_t sent) {
    return "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(declared) + "\r\n\r\n" + std::string(sent, 's');
  };
  read_result at = read_whole(sized(max, max));
  EXPECT_EQ(at.rc, 1);
  EXPECT_EQ(at.content, max);
  EXPECT_EQ(read_whole(sized(max + 1, max + 1)).rc, 0);
}

TEST(HttpLimits, ChunkedBodies) {
  const size_t max = CG_HTTP_MAX_CONTENT;
  read_result at = read_whole(chunked(max, 100000));
  EXPECT_EQ(at.rc, 1);
  EXPECT_EQ(at.content, max);
  EXPECT_EQ(read_whole(chunked(max + 1, 100000)).rc, 0);
  EXPECT_EQ(read_whole(chunked(max + 1, max + 1)).rc, 0);
}

TEST(HttpLimits, BodiesReadUntilClose) {
  const size_t max = CG_HTTP_MAX_CONTENT;
  const std::string head = "POST / HTTP/1.1\r\nTransfer-Encoding: identity\r\n\r\n";
  read_result at = read_whole(head + std::string(max, 'u'));
  EXPECT_EQ(at.rc, 1);
  EXPECT_EQ(at.content, max);
  EXPECT_EQ(read_whole(head + std::string(max + 1, 'u')).rc, 0);
}

// Time limits, counted from a request's first byte: the time before it
// does not count, a head or a body that trickles in is cut at its limit
// however often bytes arrive, and the next request gets a clock of its own.
TEST_F(RequestReadTest, TimeLimitsRunFromEachRequestsFirstByte) {
  using clock = std::chrono::steady_clock;
  using std::chrono::milliseconds;
  cg_http_request_set_time_limits(request, 400, 1200);
  std::thread late([&] {
    std::this_thread::sleep_for(milliseconds(700));
    pair.send_peer("GET /late HTTP/1.1\r\n\r\n");
  });
  ASSERT_EQ(read(), 1);
  late.join();
  EXPECT_STREQ(cg_http_request_get_uri(request), "/late");

  // A byte every 100 ms: no receive waits long, the request does (and a
  // body stays within its receive calls until its limit).
  auto trickle = [&](const std::string& head, const std::string& rest) {
    socket_pair p;
    std::atomic<bool> done{false};
    std::thread writer([&] {
      p.send_peer(head);
      for (size_t i = 0; i < rest.size() && !done; i++) {
        p.send_peer(rest.substr(i, 1));
        std::this_thread::sleep_for(milliseconds(100));
      }
    });
    cg_http_request_set_socket(request, p.sock);
    auto start = clock::now();
    int rc = cg_http_request_read(request, p.sock);
    auto took = clock::now() - start;
    done = true;
    writer.join();
    EXPECT_EQ(rc, 0);
    return took;
  };
  auto head = trickle("GET /slow HTTP/1.1\r\n", "X-Slow: " + std::string(200, 's') + "\r\n\r\n");
  EXPECT_GE(head, milliseconds(350));
  EXPECT_LT(head, milliseconds(1000));
  auto body = trickle("POST /slow HTTP/1.1\r\nContent-Length: 200\r\n\r\n", std::string(200, 'b'));
  EXPECT_GE(body, milliseconds(1100));
  EXPECT_LT(body, milliseconds(4000));

  // A request already read ahead starts its clock when its read starts.
  socket_pair p;
  ASSERT_TRUE(p.send_peer("GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n"));
  cg_http_request_set_socket(request, p.sock);
  ASSERT_EQ(cg_http_request_read(request, p.sock), 1);
  std::this_thread::sleep_for(milliseconds(500));
  ASSERT_EQ(cg_http_request_read(request, p.sock), 1);
  EXPECT_STREQ(cg_http_request_get_uri(request), "/b");
}

// Reads a request with the bytes a writer thread sends (more than a socket
// buffer holds) into the given request, on a pair of its own.
int read_with_writer(cg_http_request* request, const std::string& bytes) {
  socket_pair pair;
  std::thread writer([&] { vbd_test::send_all(pair.peer, bytes); });
  cg_http_request_set_socket(request, pair.sock);
  int rc = cg_http_request_read(request, pair.sock);
  shutdown(cg_socket_get_fd(pair.sock), SHUT_RDWR);  // unblocks a writer left behind
  writer.join();
  cg_http_request_set_socket(request, nullptr);
  return rc;
}

// The bodies of every request share one budget: three bodies of 1 MiB are
// held at once, a fourth would pass it and is refused, and what a body
// held comes back when its request is read again, cleared or deleted.
TEST(HttpBodyBudget, BodiesOfAllRequestsShareOneBudget) {
  ASSERT_EQ(cg_http_body_budget_used(), 0);
  const std::string sized = "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(CG_HTTP_MAX_CONTENT) +
                            "\r\n\r\n" + std::string(CG_HTTP_MAX_CONTENT, 'm');
  const std::string chunks = chunked(CG_HTTP_MAX_CONTENT, 100000);
  std::vector<cg_http_request*> held;
  for (const std::string* bytes : {&sized, &chunks, &sized}) {
    held.push_back(cg_http_request_new());
    ASSERT_EQ(read_with_writer(held.back(), *bytes), 1);
    EXPECT_EQ(cg_string_length(held.back()->packet.content), CG_HTTP_MAX_CONTENT);
  }
  long long three = cg_http_body_budget_used();
  EXPECT_GE(three, 3LL * CG_HTTP_MAX_CONTENT);
  EXPECT_LE(three, CG_HTTP_BODY_BUDGET);

  cg_http_request* fourth = cg_http_request_new();
  EXPECT_EQ(read_with_writer(fourth, sized), 0);
  EXPECT_EQ(read_with_writer(fourth, "POST / HTTP/1.1\r\nTransfer-Encoding: identity\r\n\r\n" +
                                         std::string(CG_HTTP_MAX_CONTENT, 'u')),
            0);
  EXPECT_EQ(read_with_writer(fourth, chunks), 0);
  // Small bodies still fit, and a request without one never needed the budget.
  EXPECT_EQ(read_with_writer(fourth, "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nsmall"), 1);
  EXPECT_EQ(read_with_writer(fourth, "GET / HTTP/1.1\r\n\r\n"), 1);
  EXPECT_EQ(cg_http_body_budget_used(), three);

  cg_http_request_clear(held[0]);
  EXPECT_LT(cg_http_body_budget_used(), three);
  ASSERT_EQ(read_with_writer(fourth, sized), 1);
  EXPECT_EQ(cg_string_length(fourth->packet.content), CG_HTTP_MAX_CONTENT);
  cg_http_request_delete(fourth);
  for (cg_http_request* r : held) cg_http_request_delete(r);
  EXPECT_EQ(cg_http_body_budget_used(), 0);
}

TEST(HeaderSplitTest, FollowsTheTokenizerRule) {
  // The header split must agree with the string tokenizer on "\r\n :"
  // (name: first token; value: the rest from the second token, trailing
  // delimiters cut) for any line.
  std::mt19937 random(7);
  const char alphabet[] = {'a', 'B', ':', ' ', '\r', '\n', '\t', '"', ';', '\0'};
  for (int round = 0; round < 20000; round++) {
    std::string line;
    int length = static_cast<int>(random() % 12);
    for (int i = 0; i < length; i++) line += alphabet[random() % sizeof(alphabet)];

    std::string writable(line.c_str());
    cg_string_tokenizer* tok = cg_string_tokenizer_new(writable.data(), "\r\n :");
    bool has_name = cg_string_tokenizer_has_more(tok);
    std::string name, value;
    if (has_name) {
      name = cg_string_tokenizer_next(tok);
      if (cg_string_tokenizer_has_more(tok)) {
        std::string rest = cg_string_tokenizer_rest(tok);
        value = rest.substr(0, rest.find_last_not_of("\r\n :") + 1);
      }
    }
    cg_string_tokenizer_delete(tok);

    std::string_view got_name, got_value;
    bool got = vbd_http::split_header_line(line, &got_name, &got_value);
    ASSERT_EQ(got, has_name) << testing::PrintToString(line);
    if (!got) continue;
    ASSERT_EQ(std::string(got_name), name) << testing::PrintToString(line);
    ASSERT_EQ(std::string(got_value), value) << testing::PrintToString(line);
  }
}

TEST(HttpPacketTest, SetHeaderReplacesInPlaceAndNumbers) {
  cg_http_packet* packet = cg_http_packet_new();
  cg_http_packet_set_header(packet, "content-length", "1");
  cg_http_packet_set_header(packet, "Date", "d");
  cg_http_packet_set_header(packet, "Content-Length", "2");
  cg_http_header* first = cg_http_header_list_first(cg_http_packet_get_headers(packet));
  EXPECT_STREQ(cg_http_header_get_name(first), "content-length");  // stored name kept
  EXPECT_STREQ(cg_http_header_get_value(first), "2");
  EXPECT_EQ(cg_http_header_list_size(cg_http_packet_get_headers(packet)), 2);

  cg_http_packet_set_header_llong(packet, "N", -9223372036854775807LL - 1);
  EXPECT_STREQ(cg_http_packet_get_header_value(packet, "n"), "-9223372036854775808");
  EXPECT_EQ(cg_http_packet_get_header_llong(packet, "N"), -9223372036854775807LL - 1);
  cg_http_packet_set_header(packet, "N", " +123abc");
  EXPECT_EQ(cg_http_packet_get_header_llong(packet, "N"), 123);
  cg_http_packet_set_header(packet, "N", "99999999999999999999");
  EXPECT_EQ(cg_http_packet_get_header_llong(packet, "N"), 9223372036854775807LL);
  EXPECT_EQ(cg_http_packet_get_header_llong(packet, "absent"), 0);
  EXPECT_EQ(cg_http_packet_has_header(packet, "DATE"), 1);
  cg_http_packet_delete(packet);
}

TEST(HttpPacketTest, HostHeaderForms) {
  cg_http_packet* packet = cg_http_packet_new();
  const struct {
    const char* host;
    int port;
    const char* value;
  } cases[] = {
      {"192.168.0.5", 80, "192.168.0.5"},  {"192.168.0.5", 1900, "192.168.0.5:1900"},
      {"192.168.0.5", 0, "192.168.0.5"},   {"fe80::1", 80, "[fe80::1]"},
      {"fe80::1", 1900, "[fe80::1]:1900"}, {"239.255.255.250", 1900, "239.255.255.250:1900"}};
  for (const auto& c : cases) {
    cg_http_packet_set_host(packet, c.host, c.port);
    EXPECT_STREQ(cg_http_packet_get_header_value(packet, "Host"), c.value) << c.host << c.port;
  }
  EXPECT_STREQ(
      cg_http_header_get_name(cg_http_header_list_first(cg_http_packet_get_headers(packet))),
      "HOST");
  EXPECT_EQ(cg_http_header_list_size(cg_http_packet_get_headers(packet)), 1);
  cg_http_packet_delete(packet);
}

// The packet lends the shared text itself; setting or clearing its content
// lets go of it, and a refused text leaves the body empty.
TEST(HttpPacketTest, SharedContentIsHeldUntilReplacedClearedOrDeleted) {
  auto text = std::make_shared<const std::string>("<root/>");
  cg_http_packet* packet = cg_http_packet_new();
  ASSERT_EQ(cg_http_packet_set_shared_content(packet, text), 1);
  EXPECT_EQ(text.use_count(), 2);
  EXPECT_EQ(cg_http_packet_get_content(packet), text->c_str());  // not a copy
  EXPECT_EQ(cg_http_packet_get_content_length(packet), 7);

  cg_http_packet_set_content(packet, "abc", 3);
  EXPECT_EQ(text.use_count(), 1);
  EXPECT_STREQ(cg_http_packet_get_content(packet), "abc");

  // A new shared text replaces the packet's own bytes.
  ASSERT_EQ(cg_http_packet_set_shared_content(packet, text), 1);
  EXPECT_EQ(cg_http_packet_get_content(packet), text->c_str());
  cg_http_packet_clear(packet);
  EXPECT_EQ(text.use_count(), 1);
  EXPECT_EQ(cg_http_packet_get_content_length(packet), 0);

  cg_http_packet_set_content(packet, "abc", 3);
  EXPECT_EQ(cg_http_packet_set_shared_content(packet, nullptr), 0);
  EXPECT_EQ(cg_http_packet_get_content_length(packet), 0);
  EXPECT_EQ(cg_http_packet_set_shared_content(nullptr, text), 0);
  EXPECT_EQ(text.use_count(), 1);

  ASSERT_EQ(cg_http_packet_set_shared_content(packet, text), 1);
  cg_http_packet_delete(packet);
  EXPECT_EQ(text.use_count(), 1);
}

TEST(HttpResponseTest, DefaultsAndClear) {
  cg_http_response* response = cg_http_response_new();
  EXPECT_EQ(cg_http_response_get_status_code(response), 400);
  EXPECT_STREQ(cg_http_response_get_reason_phrase(response), "Bad Request");
  EXPECT_STREQ(cg_http_response_get_version(response), "HTTP/1.1");
  cg_http_response_set_status_code(response, 200);
  EXPECT_STREQ(cg_http_response_get_reason_phrase(response), "OK");
  cg_http_response_clear(response);
  EXPECT_EQ(cg_http_response_get_status_code(response), 500);
  EXPECT_EQ(cg_http_response_get_version(response), nullptr);
  EXPECT_EQ(cg_http_response_get_reason_phrase(response), nullptr);
  cg_http_response_delete(response);
}

struct response_fixture : ::testing::Test {
  socket_pair pair;
  cg_http_request* request = cg_http_request_new();
  cg_http_response* response = cg_http_response_new();
  response_fixture() { cg_http_request_set_socket(request, pair.sock); }
  ~response_fixture() override {
    cg_http_response_delete(response);
    cg_http_request_delete(request);
  }
  // What the peer received once the request's side is closed.
  std::string wire() {
    cg_socket_close(pair.sock);
    return pair.peer_read_all();
  }
};

using ResponseWriteTest = response_fixture;

// True when the text is an HTTP date such as "Thu, 01 Jan 1970 00:00:00 GMT".
bool is_http_date(const std::string& date) {
  static const std::string kDays = "Sun Mon Tue Wed Thu Fri Sat";
  static const std::string kMonths = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec";
  const std::string shape = "www, 00 mmm 0000 00:00:00 GMT";
  if (date.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); i++) {
    char s = shape[i];
    if (s == '0' ? !std::isdigit(static_cast<unsigned char>(date[i]))
                 : (s != 'w' && s != 'm' && date[i] != s)) {
      return false;
    }
  }
  return kDays.find(date.substr(0, 3)) % 4 == 0 && kMonths.find(date.substr(8, 3)) % 4 == 0;
}

// The bytes with every Date value replaced by "*" once it proved well-formed
// ("?" when it did not).
std::string mask_dates(std::string bytes) {
  for (size_t at = bytes.find("\r\nDate: "); at != std::string::npos;
       at = bytes.find("\r\nDate: ", at + 1)) {
    size_t start = at + 8;
    size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) break;
    bytes.replace(start, end - start, is_http_date(bytes.substr(start, end - start)) ? "*" : "?");
  }
  return bytes;
}

TEST_F(ResponseWriteTest, StatusOnlyResponse) {
  ASSERT_EQ(cg_http_request_post_status(request, 404), 1);
  EXPECT_EQ(mask_dates(wire()), "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nDate: *\r\n\r\n");
}

TEST_F(ResponseWriteTest, HeadersInOrderAndBody) {
  cg_http_packet* packet = cg_http_response_get_packet(response);
  cg_http_response_set_status_code(response, 200);
  cg_http_packet_set_header(packet, "Content-Type", "text/xml; charset=\"utf-8\"");
  cg_http_packet_set_content(packet, "<root/>", -1);
  cg_http_packet_set_header_llong(packet, "Content-Length", 7);
  cg_http_header_list_append(cg_http_packet_get_headers(packet), "X-None", nullptr);
  ASSERT_EQ(cg_http_request_post_response(request, response), 1);
  EXPECT_EQ(mask_dates(wire()),
            "HTTP/1.1 200 OK\r\n"
            "Content-Type: text/xml; charset=\"utf-8\"\r\n"
            "Content-Length: 7\r\n"
            "X-None: \r\n"
            "Date: *\r\n\r\n<root/>");
}

TEST_F(ResponseWriteTest, BodyNeverLongerThanTheContent) {
  cg_http_packet* packet = cg_http_response_get_packet(response);
  cg_http_response_set_status_code(response, 200);
  // A declared length beyond the content sends only the content.
  cg_http_packet_set_content(packet, "abc", 3);
  cg_http_packet_set_header(packet, "Content-Length", "100000");
  ASSERT_EQ(cg_http_request_post_response(request, response), 1);
  // A shorter one cuts the content; none sends no body.
  cg_http_packet_set_header(packet, "Content-Length", "2");
  ASSERT_EQ(cg_http_request_post_response(request, response), 1);
  // A HEAD answer: the length of a body that is not there.
  cg_http_packet_set_content(packet, nullptr, 0);
  cg_http_packet_set_header(packet, "Content-Length", "3");
  ASSERT_EQ(cg_http_request_post_response(request, response), 1);
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: ";
  EXPECT_EQ(mask_dates(wire()), head + "100000\r\nDate: *\r\n\r\nabc" +  // content only
                                    head + "2\r\nDate: *\r\n\r\nab" +    // cut to the length
                                    head + "3\r\nDate: *\r\n\r\n");      // no content
}

TEST_F(ResponseWriteTest, LargeBodyIsSentWhole) {
  std::string body(200000, 'x');
  cg_http_packet* packet = cg_http_response_get_packet(response);
  cg_http_response_set_status_code(response, 200);
  cg_http_packet_set_content(packet, body.data(), static_cast<int>(body.size()));
  cg_http_packet_set_header_llong(packet, "Content-Length", static_cast<long long>(body.size()));
  std::string received;
  std::thread reader([&] { received = pair.peer_read_all(); });
  ASSERT_EQ(cg_http_request_post_response(request, response), 1);
  cg_socket_close(pair.sock);
  reader.join();
  ASSERT_GT(received.size(), body.size());
  EXPECT_EQ(received.substr(received.size() - body.size()), body);
}

// A shared body goes on the wire exactly as the same bytes copied would,
// inline behind the head or, when large, from the giver's text.
TEST_F(ResponseWriteTest, SharedBodyIsWrittenAsACopyWouldBe) {
  for (size_t size : {size_t{5}, size_t{200000}}) {
    auto text = std::make_shared<const std::string>(size, 'y');
    std::string wires[2];
    for (int shared = 0; shared < 2; shared++) {
      socket_pair out;
      cg_http_request_set_socket(request, out.sock);
      cg_http_response* r = cg_http_response_new();
      cg_http_packet* packet = cg_http_response_get_packet(r);
      cg_http_response_set_status_code(r, 200);
      cg_http_packet_set_header(packet, "Content-Type", "text/xml; charset=\"utf-8\"");
      cg_http_packet_set_header_llong(packet, "Content-Length", static_cast<long long>(size));
      if (shared) {
        ASSERT_EQ(cg_http_packet_set_shared_content(packet, text), 1);
      } else {
        cg_http_packet_set_content(packet, text->data(), static_cast<int>(size));
      }
      std::thread reader([&] { wires[shared] = out.peer_read_all(); });
      EXPECT_EQ(cg_http_request_post_response(request, r), 1);
      cg_socket_close(out.sock);
      reader.join();
      cg_http_response_delete(r);
    }
    EXPECT_EQ(mask_dates(wires[1]), mask_dates(wires[0])) << size;
    EXPECT_EQ(wires[1].size(), size + wires[1].find("\r\n\r\n") + 4);
  }
  cg_http_request_set_socket(request, pair.sock);
}

// The giver may drop its text, and put another in the same place, while the
// response is still to be sent: the packet's reference keeps the bytes.
TEST_F(ResponseWriteTest, SharedBodyOutlivesItsGiverUntilTheResponseIsDeleted) {
  const std::string bytes(3 * 1000 * 1000, 'z');
  auto text = std::make_shared<const std::string>(bytes);
  std::weak_ptr<const std::string> watch = text;
  cg_http_packet* packet = cg_http_response_get_packet(response);
  cg_http_response_set_status_code(response, 200);
  cg_http_packet_set_header_llong(packet, "Content-Length", static_cast<long long>(bytes.size()));
  ASSERT_EQ(cg_http_packet_set_shared_content(packet, std::move(text)), 1);
  text = std::make_shared<const std::string>(bytes.size(), 'q');
  EXPECT_FALSE(watch.expired());

  std::string received;
  std::thread reader([&] { received = pair.peer_read_all(); });
  ASSERT_EQ(cg_http_request_post_response(request, response), 1);
  cg_socket_close(pair.sock);
  reader.join();
  ASSERT_GT(received.size(), bytes.size());
  EXPECT_TRUE(received.substr(received.size() - bytes.size()) == bytes);
  EXPECT_FALSE(watch.expired());
  cg_http_response_delete(response);
  response = nullptr;
  EXPECT_TRUE(watch.expired());
}

TEST_F(ResponseWriteTest, NothingIsSentWithoutVersionOrReason) {
  cg_http_response_clear(response);
  EXPECT_EQ(cg_http_request_post_response(request, response), 0);
  cg_http_response_set_version(response, "HTTP/1.1");
  EXPECT_EQ(cg_http_request_post_response(request, response), 0);
  // Date was set all the same.
  EXPECT_NE(cg_http_packet_get_header_value(cg_http_response_get_packet(response), "Date"),
            nullptr);
  EXPECT_EQ(wire(), "");
}

TEST(HttpRequestTest, LocalAddressOfTheConnection) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sin);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&sin), &len), 0);
  int client = connect_to("127.0.0.1", ntohs(sin.sin_port));
  ASSERT_GE(client, 0);
  cg_socket* accepted = cg_socket_new(CG_NET_SOCKET_STREAM);
  cg_socket_set_fd(accepted, accept(listener, nullptr, nullptr));

  cg_http_request* request = cg_http_request_new();
  EXPECT_STREQ(cg_http_request_get_local_address(request), "");  // no socket yet
  cg_http_request_set_socket(request, accepted);
  EXPECT_STREQ(cg_http_request_get_local_address(request), "127.0.0.1");
  cg_http_request_delete(request);
  cg_socket_delete(accepted);
  close(client);
  close(listener);
}

}  // namespace
