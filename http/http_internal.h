// Helpers shared by the HTTP layer's own files; not part of its interface.
#pragma once

#include <cstddef>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "http/http.h"

namespace vbd_http {

// ---------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------

// A view of a string's bytes; empty when it has no value.
inline std::string_view view_of(const cg_string* str) {
  const char* value = cg_string_value(str);
  return value ? std::string_view(value, static_cast<size_t>(cg_string_length(str)))
               : std::string_view();
}

// Sets the string to the bytes of the view; an empty view gives "".
inline void assign(cg_string* str, std::string_view text) {
  cg_string_set_n(str, text.empty() ? "" : text.data(), static_cast<int>(text.size()));
}

// The text as a C function would see it: up to its first NUL.
constexpr std::string_view until_nul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

constexpr bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// The leading decimal number as strtoll reads it (white space, sign,
// digits), saturated at the 64-bit limits instead of overflowing.
long long parse_decimal(std::string_view text);
// The leading hexadecimal number (after white space; no sign, no "0x"),
// saturated at the 64-bit limit. 0 when there are no hex digits.
long long parse_hex(std::string_view text);

// ---------------------------------------------------------------------------
// URL splitting (views into the parsed text)
// ---------------------------------------------------------------------------

struct url_parts {
  std::string_view scheme, user, password, host, path, query, fragment;
  bool has_scheme = false, has_user = false, has_password = false, has_host = false;
  bool has_query = false, has_fragment = false;
  int port = -1;
};

url_parts url_split(std::string_view text);

// ---------------------------------------------------------------------------
// Line splitting by the string tokenizer's rule (runs of delimiters separate
// tokens; there are no empty tokens)
// ---------------------------------------------------------------------------

// Header line, delimiters "\r\n :": the name is the first token, the value the
// rest of the line from the second token on without trailing delimiters ("" with
// no second token). False when the line holds no token.
bool split_header_line(std::string_view line, std::string_view* name, std::string_view* value);
// Request line, delimiters "\r\n ": fills up to three tokens and returns how
// many the line holds (counting stops at 3).
int split_request_line(std::string_view line, std::string_view tokens[3]);

// ---------------------------------------------------------------------------
// Read-ahead window over a stream socket: data[start, end) were received and
// not read yet. A connection's window holds CG_HTTP_READ_AHEAD_SIZE bytes, so
// a request costs a receive call or two; a one-byte window reads byte by
// byte and never takes a byte past the message from the socket.
// ---------------------------------------------------------------------------

struct read_ahead {
  char* data;
  int size;
  int start;
  int end;
};

}  // namespace vbd_http

// A body a packet shares (cg_http_packet_set_shared_content): one reference
// to the giver's text, dropped when the packet's content is set or cleared.
struct cg_http_shared_content {
  std::shared_ptr<const std::string> text;
};

// Read-ahead bytes of one connection and what is learnt once per connection.
inline constexpr int CG_HTTP_READ_AHEAD_SIZE = 4096;

struct cg_http_connection {
  const cg_socket* socket;      // the socket the buffered bytes came from
  vbd_http::read_ahead window;  // over data
  int local_address_known;
  char local_address[CG_NET_ADDRESS_TEXT_SIZE];
  cg_buffer out;  // a response is assembled here and sent in one go
  size_t body_charge;  // what the request's body holds of the body budget
  int posted_large_body;  // a response with a large body went out since the last look
  int date_known;  // date holds the HTTP date of date_time
  time_t date_time;
  char date[CG_HTTP_DATE_SIZE];
  char data[CG_HTTP_READ_AHEAD_SIZE];
};

namespace vbd_http {

// The request's connection record bound to sock (read-ahead bytes from
// another socket are dropped), made on first use; none when memory runs out.
cg_http_connection* request_connection(cg_http_request* request, cg_socket* sock);
// Frees the request's body and gives what it held back to the body budget.
void release_body(cg_http_request* request);

// ---------------------------------------------------------------------------
// The body budget (CG_HTTP_BODY_BUDGET), shared by every request read in the
// process
// ---------------------------------------------------------------------------

// Takes bytes from the budget; false, taking nothing, when they are not left.
bool body_budget_take(size_t bytes);
void body_budget_give(size_t bytes);

// A response body from this size on counts as large: the connection gives
// the memory it took back to the system once its listener has returned.
inline constexpr int kLargeBody = 1024 * 1024;

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// An embedded packet (first member of requests and responses).
bool packet_init(cg_http_packet* packet);
void packet_release(cg_http_packet* packet);
// The body the packet holds: its shared text, else its content; empty
// when the content has no value.
std::string_view packet_body(const cg_http_packet* packet);

// A server record with its members constructed (the list head too); none
// when memory runs out. Freed with server_free.
cg_http_server* server_alloc(bool is_head);
void server_free(cg_http_server* server);

// ---------------------------------------------------------------------------
// Server connections
// ---------------------------------------------------------------------------

// Starts a thread that serves the accepted socket, which it owns from here
// on. False when no thread could be made: the socket is then closed.
bool connection_start(cg_http_server* server, cg_socket* sock);
// Shuts down the socket of a connection thread so that a read or write in
// progress returns at once. Under the server mutex.
void connection_interrupt(cg_thread* thread);
// How many of the server's connections come from the peer address. Under
// the server mutex.
int connections_from(cg_http_server* server, const char* address);

}  // namespace vbd_http
