// HTTP layer: URLs, percent-decoding, URL building and HTTP dates; HTTP
// headers, packets, requests and responses read from and written to stream
// sockets (server side); the HTTP server with one listening endpoint per
// interface address, an accept thread and one thread per connection.
//
// Plain records and free functions: every object is made by a *_new (none
// when memory runs out) and released by the matching *_delete; lists own
// their members; getters lend pointers, setters copy texts (a packet's
// body may instead be shared, see cg_http_packet_set_shared_content).
// Nothing here throws. Text fields read as none while they have no value.
#pragma once

#include <atomic>
#include <ctime>
#include <memory>
#include <string>

#include "net/net.h"
#include "runtime/runtime.h"

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

inline constexpr const char* CG_HTTP_VER10 = "HTTP/1.0";
inline constexpr const char* CG_HTTP_VER11 = "HTTP/1.1";

inline constexpr const char* CG_HTTP_GET = "GET";
inline constexpr const char* CG_HTTP_HEAD = "HEAD";
inline constexpr const char* CG_HTTP_POST = "POST";

inline constexpr const char* CG_HTTP_HOST = "HOST";
inline constexpr const char* CG_HTTP_DATE = "Date";
inline constexpr const char* CG_HTTP_CONTENT_LENGTH = "Content-Length";
inline constexpr const char* CG_HTTP_CONTENT_TYPE = "Content-Type";
inline constexpr const char* CG_HTTP_TRANSFER_ENCODING = "Transfer-Encoding";
inline constexpr const char* CG_HTTP_CHUNKED = "Chunked";  // matched ignoring case
inline constexpr const char* CG_HTTP_CONNECTION = "Connection";
inline constexpr const char* CG_HTTP_CLOSE = "close";  // matched ignoring case

inline constexpr int CG_HTTP_STATUS_OK = 200;
inline constexpr int CG_HTTP_STATUS_BAD_REQUEST = 400;
inline constexpr int CG_HTTP_STATUS_NOT_FOUND = 404;
inline constexpr int CG_HTTP_STATUS_INTERNAL_SERVER_ERROR = 500;

inline constexpr int CG_HTTP_LINE_SIZE = 512;          // request, header and chunk-size lines
inline constexpr int CG_HTTP_BODY_RECEIVE_CALLS = 20;  // per Content-Length body or chunk
// What one request may make the server hold: a request with more header
// lines, or whose body goes on past this many bytes, is not read further
// and its connection ends (as for a malformed request line).
inline constexpr int CG_HTTP_MAX_HEADERS = 128;
inline constexpr int CG_HTTP_MAX_CONTENT = 1024 * 1024;
inline constexpr int CG_HTTP_DATE_SIZE = 128;          // buffer of cg_http_date
// Time limits of one request read, counted from its first byte: its request
// line and headers must have arrived within the first, the whole request
// within the second. A request past either is not read further and its
// connection ends without an answer. Before a request's first byte only the
// idle time-out of each receive applies.
inline constexpr int CG_HTTP_REQUEST_HEAD_TIME_LIMIT_MS = 20 * 1000;
inline constexpr int CG_HTTP_REQUEST_TIME_LIMIT_MS = 120 * 1000;
// What the bodies of all requests read in this process may hold at once
// (the memory their buffers take). A request whose body would take more is
// not read further and its connection ends, as for a body past
// CG_HTTP_MAX_CONTENT.
inline constexpr int CG_HTTP_BODY_BUDGET = 4 * 1024 * 1024;

inline constexpr int CG_HTTP_SERVER_LISTEN_BACKLOG = 128;
// Seconds a connection may stay silent before a request's first byte, and
// a send may wait.
inline constexpr int CG_HTTP_SERVER_CONNECTION_TIMEOUT = 120;
// Connections one server serves at once; a connection accepted beyond them
// is closed at once, so a flood costs neither threads nor descriptors.
inline constexpr int CG_HTTP_SERVER_MAX_CONNECTIONS = 256;
// Of those, connections from one peer address; one beyond them is closed at
// once too, so that a single peer cannot take every connection.
inline constexpr int CG_HTTP_SERVER_MAX_CONNECTIONS_PER_ADDRESS = 32;
inline constexpr const char* CG_HTTP_SERVER_PLATFORM_NAME = "Platform 1.0";
inline constexpr int CG_HTTP_SERVER_PLATFORM_NAME_SIZE = 16;  // buffer of the platform name

// ---------------------------------------------------------------------------
// URL
// ---------------------------------------------------------------------------

struct cg_url {
  cg_string* whole;   // the text last parsed
  cg_string* scheme;  // text before "://"
  cg_string* user;
  cg_string* password;
  // Without the port; a bracketed IPv6 host loses its brackets only with a port.
  cg_string* host;
  int port;  // the explicit port, else 80 (http), 21 (ftp), -1
  cg_string* path;
  cg_string* query;        // after '?', without it
  cg_string* fragment;     // after '#', without it
  cg_string* request_uri;  // work string of cg_url_get_request_uri
};

// All texts empty but the path "/", port 0.
cg_url* cg_url_new();
void cg_url_delete(cg_url* url);
// All texts empty (the path too), port 0.
void cg_url_clear(cg_url* url);
// Clears the URL and fills it from the text. 1, or 0 without a URL or text.
// A URL with a scheme and nothing after its host (http://h:80) gets the path "/".
// A '?' after the first '#' belongs to the fragment: there is then no query.
int cg_url_parse(cg_url* url, const char* text);
const char* cg_url_get_whole(const cg_url* url);
const char* cg_url_get_scheme(const cg_url* url);
const char* cg_url_get_user(const cg_url* url);
const char* cg_url_get_password(const cg_url* url);
const char* cg_url_get_host(const cg_url* url);
int cg_url_get_port(const cg_url* url);
const char* cg_url_get_path(const cg_url* url);
const char* cg_url_get_query(const cg_url* url);
const char* cg_url_get_fragment(const cg_url* url);
// The path alone when the query is empty, else path "?" query. Valid until
// the next call or parse.
const char* cg_url_get_request_uri(cg_url* url);
// 1 when the text parsed as a URL has exactly that path (byte-wise), else 0.
int cg_url_path_equals(const char* text, const char* path);
// Appends the percent-decoded text (length <= 0: up to its NUL) to out and
// returns out's text; none without out.
const char* cg_url_decode(const char* text, int length, cg_string* out);
// "http://" host ":" port path into the caller's buffer of size bytes
// (cut to fit, always NUL-terminated); an IPv6 host is written in brackets.
// Returns the buffer.
char* cg_url_build(const char* host, int port, const char* path, char* buffer, int size);
// RFC 1123 date of the time in GMT ("Thu, 01 Jan 1970 00:00:00 GMT") into a
// buffer of at least CG_HTTP_DATE_SIZE bytes. Returns the buffer.
char* cg_http_date(time_t time, char* buffer);

// ---------------------------------------------------------------------------
// Headers
// ---------------------------------------------------------------------------

struct cg_http_header {
  cg_list node;
  cg_string* name;   // as received or set
  cg_string* value;  // none when absent; "" for an empty value
};

// Head of a list of headers in insertion order; duplicates may exist and
// lookups (names ignoring case) find the first.
using cg_http_header_list = cg_http_header;

cg_http_header* cg_http_header_new();
void cg_http_header_delete(cg_http_header* header);  // unlinks it first
void cg_http_header_set_name(cg_http_header* header, const char* name);
const char* cg_http_header_get_name(const cg_http_header* header);
void cg_http_header_set_value(cg_http_header* header, const char* value);
const char* cg_http_header_get_value(const cg_http_header* header);
cg_http_header* cg_http_header_next(cg_http_header* header);  // none after the last

cg_http_header_list* cg_http_header_list_new();
void cg_http_header_list_delete(cg_http_header_list* list);
void cg_http_header_list_clear(cg_http_header_list* list);
void cg_http_header_list_add(cg_http_header_list* list, cg_http_header* header);  // append
int cg_http_header_list_size(const cg_http_header_list* list);
cg_http_header* cg_http_header_list_first(cg_http_header_list* list);  // none when empty
cg_http_header* cg_http_header_list_get(cg_http_header_list* list, const char* name);
const char* cg_http_header_list_get_value(cg_http_header_list* list, const char* name);
// The first header of that name gets the value (keeping its stored name and
// place); without one a header is appended. The header, or none.
cg_http_header* cg_http_header_list_set(cg_http_header_list* list, const char* name,
                                        const char* value);
// Always appends a new header. The header, or none.
cg_http_header* cg_http_header_list_append(cg_http_header_list* list, const char* name,
                                           const char* value);

// ---------------------------------------------------------------------------
// Packets: the headers and body that requests and responses begin with
// ---------------------------------------------------------------------------

// A body a packet shares with its giver instead of copying it; internal to
// this layer.
struct cg_http_shared_content;

struct cg_http_packet {
  cg_http_header_list* headers;  // owned
  cg_string* content;            // owned; the body as bytes with a length
  // Owned; while set it is the body and content stays empty; none otherwise.
  cg_http_shared_content* shared;
};

cg_http_packet* cg_http_packet_new();
void cg_http_packet_delete(cg_http_packet* packet);
void cg_http_packet_clear(cg_http_packet* packet);  // no headers, empty content
cg_http_header_list* cg_http_packet_get_headers(cg_http_packet* packet);
void cg_http_packet_set_header(cg_http_packet* packet, const char* name, const char* value);
const char* cg_http_packet_get_header_value(cg_http_packet* packet, const char* name);
int cg_http_packet_has_header(cg_http_packet* packet, const char* name);
void cg_http_packet_set_header_llong(cg_http_packet* packet, const char* name, long long value);
// The value as a decimal number (saturated at the 64-bit limits), 0 when absent.
long long cg_http_packet_get_header_llong(cg_http_packet* packet, const char* name);
// "HOST": host, "[host]" for IPv6, with ":port" unless the port is 80 or <= 0.
void cg_http_packet_set_host(cg_http_packet* packet, const char* host, int port);
// Copies the bytes as the body (length < 0: NUL-terminated text; none: empty).
void cg_http_packet_set_content(cg_http_packet* packet, const char* bytes, int length);
// Makes the text the body without copying it: the packet holds a reference
// to it until its content is set or cleared or the packet is deleted, so
// the giver may drop or replace its own reference at any time, a response
// being written included. The text must not be changed while shared. 1; 0
// without a packet or text, for a text longer than INT_MAX bytes, or when
// memory runs out (the body is then empty).
int cg_http_packet_set_shared_content(cg_http_packet* packet,
                                      std::shared_ptr<const std::string> text);
// The body's bytes (the shared text itself while one is set); none when unset.
const char* cg_http_packet_get_content(const cg_http_packet* packet);
int cg_http_packet_get_content_length(const cg_http_packet* packet);
// Writes the header lines, the empty line and as many body bytes as the
// "Content-Length" header says, but never more than the content holds.
// 1 when everything was sent, else 0.
int cg_http_packet_post(cg_http_packet* packet, cg_socket* sock);
// Reads a header block and, unless headers_only, the body, byte by byte
// (never past the packet) with the caller's line buffer (at least 2 bytes; CG_HTTP_LINE_SIZE is the
// size the server uses). 1, or 0 without a packet, socket or buffer, or when
// the packet has more than CG_HTTP_MAX_HEADERS header lines or its body goes
// on past CG_HTTP_MAX_CONTENT bytes (what was read is kept). No time limits,
// and the body, which the caller owns, does not count against the body budget.
// The body goes to content: a packet sharing a body is to be cleared first.
int cg_http_packet_read(cg_http_packet* packet, cg_socket* sock, int headers_only,
                        char* line_buffer, int line_size);

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

struct cg_http_response;

// Per-connection read-ahead buffer and local address of a request that
// cg_http_request_read filled; internal to this layer.
struct cg_http_connection;

struct cg_http_request {
  cg_http_packet packet;  // headers and body
  cg_string* method;      // e.g. "GET", "HEAD", "M-SEARCH", "NOTIFY"
  cg_string* uri;         // the request target (an absolute URI is reduced to path and query)
  cg_string* version;     // "HTTP/1.1" in a new request
  cg_socket* socket;      // the socket the request arrived on; not owned
  void* user_data;        // the server's user data while the listener runs
  cg_http_connection* connection;  // internal, see above
  // Time limits of each request read (cg_http_request_set_time_limits); 0: none.
  int head_time_limit_ms;
  int time_limit_ms;
};

cg_http_request* cg_http_request_new();
void cg_http_request_delete(cg_http_request* request);
// Headers and content emptied, method, URI and version emptied, user data
// none. The socket and any bytes already read ahead from it stay.
void cg_http_request_clear(cg_http_request* request);
cg_http_packet* cg_http_request_get_packet(cg_http_request* request);
void cg_http_request_set_method(cg_http_request* request, const char* method);
const char* cg_http_request_get_method(const cg_http_request* request);
void cg_http_request_set_uri(cg_http_request* request, const char* uri);
const char* cg_http_request_get_uri(const cg_http_request* request);
void cg_http_request_set_version(cg_http_request* request, const char* version);
const char* cg_http_request_get_version(const cg_http_request* request);
// Attaches the socket and drops any bytes read ahead from an earlier one.
void cg_http_request_set_socket(cg_http_request* request, cg_socket* sock);
cg_socket* cg_http_request_get_socket(const cg_http_request* request);
void cg_http_request_set_user_data(cg_http_request* request, void* user_data);
void* cg_http_request_get_user_data(const cg_http_request* request);
// Numeric text of the local address the request's connection arrived on
// (the address of the receiving interface), "" when unknown. Valid while
// the request lives; looked up once per connection.
const char* cg_http_request_get_local_address(cg_http_request* request);

// Limits for every later cg_http_request_read of the request, counted from
// each request's first byte: the request line and headers within head_ms,
// the whole request within whole_ms (0 or less: no limit). A new request
// has none; a server sets CG_HTTP_REQUEST_HEAD_TIME_LIMIT_MS and
// CG_HTTP_REQUEST_TIME_LIMIT_MS.
void cg_http_request_set_time_limits(cg_http_request* request, int head_ms, int whole_ms);

// Reads one request from the socket (which becomes the request's socket):
// request line, header block, and a body when "Content-Length" or
// "Transfer-Encoding" is present. Bytes read past the request are kept in
// the request for its next read from the same socket (until the socket is
// set again with cg_http_request_set_socket). The body counts against
// CG_HTTP_BODY_BUDGET until the request is cleared, read again or deleted.
// 1 when a request was read; 0 when the line read fails, the request line
// has fewer than three parts, the request exceeds CG_HTTP_MAX_HEADERS or
// CG_HTTP_MAX_CONTENT, its body would pass the body budget, it passes one
// of its time limits, or memory for the request's read-ahead buffer runs
// out (nothing is read then: a server ends the connection).
int cg_http_request_read(cg_http_request* request, cg_socket* sock);
// Bytes the bodies of requests hold now against CG_HTTP_BODY_BUDGET.
long long cg_http_body_budget_used();
// Sets "Date" and writes the status line and the packet to the request's
// socket. 0 when the response has no version or reason phrase, else 1 (a
// send failure is not reported).
int cg_http_request_post_response(cg_http_request* request, cg_http_response* response);
// Writes a response with only the status line, "Content-Length" 0 and "Date".
int cg_http_request_post_status(cg_http_request* request, int status_code);

// ---------------------------------------------------------------------------
// Responses
// ---------------------------------------------------------------------------

struct cg_http_response {
  cg_http_packet packet;     // headers and body
  cg_string* version;        // "HTTP/1.1" in a new response
  int status_code;           // 400 in a new response
  cg_string* reason_phrase;  // set from the status table with the status code
};

cg_http_response* cg_http_response_new();
void cg_http_response_delete(cg_http_response* response);
// Headers and content emptied, version and reason phrase emptied, status 500.
void cg_http_response_clear(cg_http_response* response);
cg_http_packet* cg_http_response_get_packet(cg_http_response* response);
void cg_http_response_set_status_code(cg_http_response* response, int code);
int cg_http_response_get_status_code(const cg_http_response* response);
void cg_http_response_set_version(cg_http_response* response, const char* version);
const char* cg_http_response_get_version(const cg_http_response* response);
void cg_http_response_set_reason_phrase(cg_http_response* response, const char* phrase);
const char* cg_http_response_get_reason_phrase(const cg_http_response* response);

// The reason phrase of RFC 2616 section 6.1.1 for the code, else "Unknown".
const char* cg_http_status_reason(int code);

// ---------------------------------------------------------------------------
// Server
// ---------------------------------------------------------------------------

// Handles one request on a connection thread; answers through the request's
// socket with cg_http_request_post_response or cg_http_request_post_status.
using cg_http_listener = void (*)(cg_http_request* request);

// Connection threads read listener, user_data and stopping while other
// threads set them, hence atomics; the record is made by cg_http_server_new.
struct cg_http_server {
  cg_list node;
  cg_socket* sock;                           // listening stream socket; none while closed
  cg_thread* accept_thread;                  // none while stopped
  cg_thread_list* client_threads;            // threads serving accepted connections
  std::atomic<cg_http_listener> listener;    // none by default
  std::atomic<void*> user_data;              // handed to the listener through each request
  int timeout;                               // seconds of idle and send time-out per connection
  int head_time_limit_ms;                    // time limits of each request (see
  int request_time_limit_ms;                 //   cg_http_request_set_time_limits)
  int max_connections_per_address;           // connections served at once from one peer address
  cg_mutex* mutex;                           // guards client_threads
  cg_cond* ended;                            // signalled when the last connection ends
  std::atomic<bool> stopping;                // set while stop winds the connections down
};

// Head of a list of servers.
using cg_http_server_list = cg_http_server;

cg_http_server* cg_http_server_new();
// Stops, closes, unlinks and frees the server.
void cg_http_server_delete(cg_http_server* server);
// Binds a stream socket to exactly that address and port (address reuse on)
// and listens. 0 when the server already has a socket or bind or listen fails.
int cg_http_server_open(cg_http_server* server, int port, const char* address);
// Stops, then closes and deletes the listening socket.
void cg_http_server_close(cg_http_server* server);
int cg_http_server_is_open(const cg_http_server* server);
// 1 when the accept thread runs; 0 when it already exists or cannot start.
int cg_http_server_start(cg_http_server* server);
// Ends the accept thread and every connection (their sockets are shut down)
// and returns once no thread of this server touches it any more, running
// listeners included. Never call it from a listener of the same server.
void cg_http_server_stop(cg_http_server* server);
void cg_http_server_set_listener(cg_http_server* server, cg_http_listener listener);
void cg_http_server_set_user_data(cg_http_server* server, void* user_data);
void* cg_http_server_get_user_data(const cg_http_server* server);
const char* cg_http_server_get_address(const cg_http_server* server);  // "" while closed
int cg_http_server_get_port(const cg_http_server* server);             // -1 while closed
int cg_http_server_get_connection_count(cg_http_server* server);
cg_http_server* cg_http_server_next(cg_http_server* server);  // none after the last

cg_http_server_list* cg_http_server_list_new();
void cg_http_server_list_delete(cg_http_server_list* list);  // deletes every server
void cg_http_server_list_add(cg_http_server_list* list, cg_http_server* server);
int cg_http_server_list_size(const cg_http_server_list* list);
cg_http_server* cg_http_server_list_first(cg_http_server_list* list);
// One server per interface with an address, all on the port. 1 when at
// least one opened; else the list is emptied and 0, with errno from the
// last interface that failed (ENETDOWN when no interface has an address).
int cg_http_server_list_open(cg_http_server_list* list, int port);
void cg_http_server_list_close(cg_http_server_list* list);
int cg_http_server_list_start(cg_http_server_list* list);  // 1 when every server started
void cg_http_server_list_stop(cg_http_server_list* list);
void cg_http_server_list_set_listener(cg_http_server_list* list, cg_http_listener listener);
void cg_http_server_list_set_user_data(cg_http_server_list* list, void* user_data);

// Copies "Platform 1.0" into a buffer of at least
// CG_HTTP_SERVER_PLATFORM_NAME_SIZE bytes and returns it.
char* cg_http_server_platform_name(char* buffer);
