// Request framing without sockets: text requests, the 256-byte and 2000 ms
// limits, binary frames with their checksum and trailer, and the encoders.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "velProtocol/control_server/control_server.h"

namespace {

struct outcome {
  int event;
  std::string text;
  bool operator==(const outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const outcome& o) {
  return os << "{" << o.event << ", \"" << o.text << "\"}";
}

class framer_test : public ::testing::Test {
 protected:
  void SetUp() override { vel_protocol_server_framer_init(&f_); }

  // Feeds bytes the way a client thread does: a check before each byte.
  std::vector<outcome> feed(const std::string& bytes, uint32_t now = 1000,
                            vel_protocol_server* server = nullptr) {
    std::vector<outcome> out;
    for (char b : bytes) {
      int check = vel_protocol_server_framer_check(&f_, now);
      if (check != VEL_FRAME_NONE) out.push_back({check, ""});
      int ev = vel_protocol_server_framer_push_byte(&f_, server, b, now);
      if (ev == VEL_FRAME_REQUEST) out.push_back({ev, f_.record.text});
      if (ev == VEL_FRAME_ERROR) out.push_back({ev, ""});
    }
    return out;
  }

  vel_protocol_server_framer f_;
};

std::string frame(const std::string& payload, unsigned char header = 0x82,
                  const std::string& trailer = "\x01") {
  std::string f;
  f += '\x02';
  f += static_cast<char>(header);
  f += static_cast<char>(payload.size() >> 8);
  f += static_cast<char>(payload.size() & 0xFF);
  f += payload;
  f += trailer[0];
  unsigned char sum = 0;
  for (char c : f) sum ^= static_cast<unsigned char>(c);
  f += static_cast<char>(sum);
  f += trailer.substr(1);
  return f;
}

constexpr int R = VEL_FRAME_REQUEST;
constexpr int E = VEL_FRAME_ERROR;

TEST_F(framer_test, TextRequestsEndAtCarriageReturn) {
  EXPECT_EQ(feed("PN\r"), (std::vector<outcome>{{R, "PN"}}));
  // The line feed opens the next request.
  EXPECT_EQ(feed("PN\r\nPF\r"), (std::vector<outcome>{{R, "PN"}, {R, "\nPF"}}));
  // A NUL inside a request ends the text the callback sees.
  EXPECT_EQ(feed(std::string("A\0B\r", 4)), (std::vector<outcome>{{R, "A"}}));
}

TEST_F(framer_test, CarriageReturnAloneIsAnEmptyRequestAfterText) {
  EXPECT_EQ(feed("\r"), (std::vector<outcome>{{R, ""}}));
  EXPECT_EQ(feed("X\r\r"), (std::vector<outcome>{{R, "X"}, {R, ""}}));
  // After a binary frame the first byte always opens a request.
  EXPECT_EQ(feed(frame("?P") + "\rA\r"), (std::vector<outcome>{{R, "?P"}, {R, "\rA"}}));
}

TEST_F(framer_test, TwoHundredFiftySixBytesWithoutEndAreDropped) {
  EXPECT_EQ(feed(std::string(255, 'a') + "\r"), (std::vector<outcome>{{R, std::string(255, 'a')}}));
  // The 257th byte opens a new request after the overflow.
  EXPECT_EQ(feed(std::string(256, 'a') + "B\r"),
            (std::vector<outcome>{{VEL_FRAME_OVERFLOW, ""}, {R, "B"}}));
  // The check reports a full buffer even when no further byte comes.
  feed(std::string(256, 'c'));
  EXPECT_EQ(vel_protocol_server_framer_check(&f_, 1000), VEL_FRAME_OVERFLOW);
  EXPECT_EQ(f_.count, 0);
}

TEST_F(framer_test, PartialRequestIsDroppedAfterTwoSeconds) {
  feed("PX", 5000);
  EXPECT_EQ(vel_protocol_server_framer_check(&f_, 7000), VEL_FRAME_NONE);
  EXPECT_EQ(vel_protocol_server_framer_check(&f_, 7001), VEL_FRAME_TIMEOUT);
  EXPECT_EQ(feed("N\r", 7001), (std::vector<outcome>{{R, "N"}}));
  // The clock may wrap between the first byte and the check.
  feed("Q", 0xFFFFFF00u);
  EXPECT_EQ(vel_protocol_server_framer_check(&f_, 0x100u), VEL_FRAME_NONE);
  EXPECT_EQ(vel_protocol_server_framer_check(&f_, 0x800u), VEL_FRAME_TIMEOUT);
}

TEST_F(framer_test, BinaryFrameWithChecksum) {
  std::string good = frame("?P");
  ASSERT_EQ(good.size(), 8u);
  EXPECT_EQ(feed(good), (std::vector<outcome>{{R, "?P"}}));
  EXPECT_EQ(f_.record.header, 0x82);
  EXPECT_EQ(f_.record.payload_length, 2);
  EXPECT_EQ(f_.record.trailer, 1);
  EXPECT_EQ(f_.record.checksum, static_cast<uint8_t>(good[7]));

  std::string bad = good;
  bad[7] = static_cast<char>(bad[7] ^ 0x40);
  EXPECT_EQ(feed(bad + "PN\r"), (std::vector<outcome>{{E, ""}, {R, "PN"}}));
}

TEST_F(framer_test, BinaryFrameWithExtraTrailerBytes) {
  // N = 3: the frame ends two bytes after the checksum, with its verdict.
  std::string good = frame("OK", 0x82, std::string("\x03xy"));
  std::vector<outcome> out = feed(good.substr(0, good.size() - 1));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(feed(good.substr(good.size() - 1)), (std::vector<outcome>{{R, "OK"}}));

  std::string bad = good;
  bad[7] = static_cast<char>(bad[7] ^ 1);
  EXPECT_EQ(feed(bad), (std::vector<outcome>{{E, ""}}));
}

TEST_F(framer_test, BinaryFrameWithoutChecksumEndsAtTrailer) {
  // Header bit 7 clear: the byte at K + 2 ends the frame and becomes NUL;
  // the text is the frame from its start.
  std::string f = std::string("\x02\x02\x00\x02" "AB" "Z", 7);
  std::vector<outcome> out = feed(f);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].event, R);
  EXPECT_EQ(out[0].text, "\x02\x02");
}

TEST_F(framer_test, LongestFramesStayInsideTheBuffer) {
  // A 256-byte length can never complete.
  std::string big = std::string("\x02\x82\x01\x00", 4) + std::string(252, 'x');
  EXPECT_EQ(feed(big + "\r"),
            (std::vector<outcome>{{VEL_FRAME_OVERFLOW, ""}}));
  vel_protocol_server_framer_init(&f_);
  // The byte after it opens a text request of its own.
  EXPECT_EQ(feed(big + "PL\r"), (std::vector<outcome>{{VEL_FRAME_OVERFLOW, ""}, {R, "PL"}}));
  vel_protocol_server_framer_init(&f_);
  // A zero-size length field puts the checksum at index 255 and the
  // payload's NUL on index 4 + 252 = 256, the buffer's last byte.
  std::string edge = std::string("\x02\x80\x00\xFC", 4) + std::string(250, 'p') + "\x01";
  unsigned char sum = 0;
  for (char c : edge) sum ^= static_cast<unsigned char>(c);
  edge += static_cast<char>(sum);
  ASSERT_EQ(edge.size(), 256u);
  std::vector<outcome> out = feed(edge);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].event, R);
  EXPECT_EQ(f_.buffer[256], '\0');
  EXPECT_LE(out[0].text.size(), 252u);
  EXPECT_EQ(f_.count, 0);
  // Longest frame the system builds: 250 payload bytes.
  vel_protocol_server_framer_init(&f_);
  std::string longest(250, 'L');
  EXPECT_EQ(feed(frame(longest)), (std::vector<outcome>{{R, longest}}));
}

int handler_calls[8];
int stop_at_three(vel_protocol_server_receive_record*, char* byte, int count) {
  if (count < 8) handler_calls[count] = static_cast<unsigned char>(*byte);
  return count == 3 ? 0 : 1;
}

TEST_F(framer_test, BinaryByteHandlerReplacesTheParser) {
  vel_protocol_server* server = vel_protocol_server_new();
  ASSERT_NE(server, nullptr);
  vel_protocol_server_set_binary_byte_handler(server, stop_at_three);
  std::vector<outcome> out = feed(std::string("\x02" "abc", 4), 1000, server);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].event, R);
  EXPECT_EQ(handler_calls[1], 'a');
  EXPECT_EQ(handler_calls[3], 'c');
  vel_protocol_server_delete(server);
}

TEST(handshake, ConnectionRequests) {
  EXPECT_EQ(vel_protocol_server_handshake(nullptr, "CON 00:11:22:33:44:55 tv"), VEL_HANDSHAKE_CON);
  EXPECT_EQ(vel_protocol_server_handshake(nullptr, "CONNECT"), VEL_HANDSHAKE_CON);
  EXPECT_EQ(vel_protocol_server_handshake(nullptr, "BIN"), VEL_HANDSHAKE_BINFIN);
  EXPECT_EQ(vel_protocol_server_handshake(nullptr, "BINX"), VEL_HANDSHAKE_BINFIN);
  EXPECT_EQ(vel_protocol_server_handshake(nullptr, "BINFIN"), VEL_HANDSHAKE_NONE);
  EXPECT_EQ(vel_protocol_server_handshake(nullptr, "con"), VEL_HANDSHAKE_NONE);
  EXPECT_EQ(vel_protocol_server_handshake(nullptr, "PL"), VEL_HANDSHAKE_NONE);
}

TEST(handshake, RegistrationAdmitsOnlyAllowedClients) {
  vel_protocol_server* server = vel_protocol_server_new();
  ASSERT_NE(server, nullptr);
  server->check_registration = 1;
  // First request: recorded with its name, not admitted.
  EXPECT_EQ(vel_protocol_server_handshake(server, "CON  00:11:22:33:44:55   tv"),
            VEL_HANDSHAKE_REFUSE);
  auto* entry = vel_protocolo_server_clientlist_first(server->registered_clients);
  ASSERT_NE(entry, nullptr);
  EXPECT_STREQ(cg_string_value(entry->name), "tv");
  EXPECT_EQ(vel_protocol_server_handshake(server, "CON 00:11:22:33:44:55 tv"),
            VEL_HANDSHAKE_REFUSE);
  entry->allowed = entry;
  EXPECT_EQ(vel_protocol_server_handshake(server, "CON 00:11:22:33:44:55"), VEL_HANDSHAKE_CON);
  EXPECT_EQ(vel_protocol_server_handshake(server, "CON"), VEL_HANDSHAKE_REFUSE);
  EXPECT_EQ(vel_protocolo_server_clientlist_size(server->registered_clients), 1);
  vel_protocol_server_delete(server);
}

std::string encode_line(const std::string& text) {
  int len = -1;
  char* out = vel_protocol_server_line_encode(&len, text.data(), static_cast<int>(text.size()));
  std::string s(out, static_cast<size_t>(len));
  EXPECT_EQ(out[len], '\0');
  std::free(out);
  return s;
}

TEST(encoders, LineEndRule) {
  EXPECT_EQ(encode_line("R"), "R\r\n");
  EXPECT_EQ(encode_line(""), "\r\n");
  EXPECT_EQ(encode_line("\n"), "\n\r\n");
  EXPECT_EQ(encode_line("A\r\n"), "A\r\n");
  EXPECT_EQ(encode_line("A\n\r"), "A\n\r");
  EXPECT_EQ(encode_line("\r\n"), "\r\n");
  EXPECT_EQ(encode_line("A\n"), "A\n\r\n");
  EXPECT_EQ(encode_line("A\r"), "A\r\r\n");
}

TEST(encoders, BinaryFrameRoundTrip) {
  int len = -1;
  char* out = vel_protocol_server_binary_encode(&len, "?P", 2);
  ASSERT_EQ(len, 8);
  const unsigned char want[] = {0x02, 0x82, 0x00, 0x02, '?', 'P', 0x01,
                                0x02 ^ 0x82 ^ 0x00 ^ 0x02 ^ '?' ^ 'P' ^ 0x01};
  EXPECT_EQ(std::string(out, 8), std::string(reinterpret_cast<const char*>(want), 8));
  std::free(out);

  // What the encoder builds, the parser takes back.
  for (int n : {0, 1, 31, 250}) {
    std::string text(static_cast<size_t>(n), 'k');
    out = vel_protocol_server_binary_encode(&len, text.data(), n);
    vel_protocol_server_framer f;
    vel_protocol_server_framer_init(&f);
    int last = VEL_FRAME_NONE;
    for (int i = 0; i < len; i++) last = vel_protocol_server_framer_push_byte(&f, nullptr, out[i], 0);
    EXPECT_EQ(last, VEL_FRAME_REQUEST) << n;
    EXPECT_EQ(std::string(f.record.text), text);
    std::free(out);
  }
}

}  // namespace
