// Device discovery: the UPnP root device built from the description file,
// its start and stop with the description server, SSDP announcement and
// search response, the SSDP listeners and messages, and the application's
// discovery start and stop.
//
// Plain records and free functions: every object is made by a *_new (none
// when memory runs out) and released by the matching *_delete, which also
// unlinks it from the list that holds it; lists own their members. Getters
// lend pointers into the object; setters copy texts. Nothing here throws.
// Diagnostics are the "(source:Lline::)" lines on standard error.
#pragma once

#include <ctime>

#include "http/http.h"
#include "net/net.h"
#include "runtime/runtime.h"
#include "xml/xml.h"

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

inline constexpr const char* CG_UPNP_DESCRIPTION_FILE = "./description.xml";
inline constexpr const char* CG_UPNP_DEVICE_DEFAULT_DESCRIPTION_URI = "/description.xml";
inline constexpr int CG_UPNP_DEVICE_DEFAULT_LEASE_TIME = 1800;  // seconds
inline constexpr int CG_UPNP_DEVICE_HTTP_DEFAULT_PORT = 38400;
inline constexpr const char* CG_UPNP_DEFAULT_DESCRIPTION_DIRECTORY = "./description";

// Identifier texts (NT, ST, USN, UDN) fit 127 characters; a longer one is
// never cut: the message or response that would carry it is not sent.
inline constexpr int CG_UPNP_IDENTIFIER_SIZE = 128;
inline constexpr int CG_UPNP_SERVER_NAME_SIZE = 128;
inline constexpr int CG_UPNP_UUID_SIZE = 64;
inline constexpr const char* CG_UPNP_NAME = "vBdServer";
inline constexpr const char* CG_UPNP_VER = "1.0";
inline constexpr const char* CG_UPNP_UPNP_VER = "1.0";

inline constexpr const char* CG_UPNP_ST_ROOT_DEVICE = "upnp:rootdevice";
inline constexpr const char* CG_UPNP_ST_ALL_DEVICE = "ssdp:all";
inline constexpr const char* CG_UPNP_NTS_ALIVE = "ssdp:alive";
inline constexpr const char* CG_UPNP_NTS_BYEBYE = "ssdp:byebye";

inline constexpr const char* CG_UPNP_SSDP_ADDRESS = "239.255.255.250";
inline constexpr const char* CG_UPNP_SSDP_IPV6_DEFAULT_ADDRESS = "FF02::C";
inline constexpr int CG_UPNP_SSDP_PORT = 1900;
inline constexpr int CG_UPNP_SSDP_MULTICAST_TTL = 4;
inline constexpr int CG_UPNP_SSDP_ANNOUNCE_COUNT = 3;
inline constexpr int CG_UPNP_SSDP_RECEIVE_SIZE = 512;
// Pause after every ssdp:alive message, in milliseconds.
inline constexpr int CG_UPNP_SSDP_ALIVE_PAUSE_MS = 20;
// Largest MX honoured; a search asking for more waits as if it asked for this.
inline constexpr int CG_UPNP_SSDP_MAX_MX = 5;
// Search answers (datagrams) sent at most per source address and per
// second, and in all per second; answers over either are dropped.
inline constexpr int CG_UPNP_SSDP_ANSWERS_PER_SOURCE = 10;
inline constexpr int CG_UPNP_SSDP_ANSWERS_IN_ALL = 100;

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

struct cg_upnp_device;
struct cg_upnp_service;
struct cg_upnp_icon;
struct cg_upnp_ssdp_server;
// Repeated searches and the answer caps of a device (opaque).
struct cg_upnp_search_guard;
// A listener's search answers waiting for their time (opaque).
struct cg_upnp_answer_queue;

// A list head is a record of the member's kind with is_head set and every
// other field empty.
using cg_upnp_device_list = cg_upnp_device;
using cg_upnp_service_list = cg_upnp_service;
using cg_upnp_icon_list = cg_upnp_icon;
using cg_upnp_ssdp_server_list = cg_upnp_ssdp_server;

// One device, root or embedded. Only the root owns the parsed document;
// every node pointer points into it.
// The description as served, rendered once per URL base (opaque).
struct cg_upnp_description_cache;

struct cg_upnp_device {
  cg_list node;
  cg_xml_node_list* root_node_list;            // owned; present only in the root
  cg_xml_node* device_node;                    // the "device" element; not owned
  cg_upnp_device* parent;                      // not owned; none for the root
  cg_upnp_device_list* device_list;            // embedded devices, document order
  cg_upnp_service_list* service_list;          // services, document order
  cg_upnp_icon_list* icon_list;                // icons, document order
  cg_mutex* mutex;                             // guards producing the description
  cg_upnp_description_cache* description_cache;  // owned; under mutex; none until first GET
  cg_http_server_list* http_server_list;       // one per interface while running
  cg_upnp_ssdp_server_list* ssdp_server_list;  // one per interface while running
  cg_thread* advertiser;                       // re-announcement thread
  cg_http_listener http_listener;              // none: cg_upnp_device_httprequestrecieved
  cg_string* description_uri;                  // "/description.xml"
  int lease_time;                              // seconds
  int http_port;
  cg_net_interface_list* interface_cache;  // refreshed at every start
  cg_upnp_search_guard* search_guard;      // owned; used by the root's listeners
};

struct cg_upnp_service {
  cg_list node;
  cg_xml_node_list* scpd_node_list;  // owned; never filled in this system
  cg_xml_node* service_node;         // the "service" element; not owned
  cg_upnp_device* parent_device;     // not owned
  cg_mutex* mutex;                   // guards the SCPD document
};

struct cg_upnp_icon {
  cg_list node;
  cg_xml_node* icon_node;  // the "icon" element; not owned
};

// One received SSDP message.
struct cg_upnp_ssdp_packet {
  cg_datagram_packet* datagram;      // owned
  cg_http_header_list* header_list;  // owned, in line order, duplicates kept
  void* user_data;                   // the device the listener serves; not owned
  time_t timestamp;                  // creation time, seconds since the epoch
  cg_upnp_ssdp_server* server;       // the listener that received it; none elsewhere
};

using cg_upnp_ssdp_packet_listener = void (*)(cg_upnp_ssdp_packet* packet);

// One multicast listener on one interface address. Every listener's
// socket is bound to port 1900 of the wildcard address, so each sees the
// group datagrams of every interface: it hands over only those that arrived
// on its own interface (unicast ones reach one socket only and are all
// handed over).
struct cg_upnp_ssdp_server {
  cg_list node;
  cg_socket* socket;  // owned; none while closed
  cg_thread* thread;  // owned; none while stopped
  cg_upnp_ssdp_packet_listener listener;
  void* user_data;
  int interface_index;            // of its interface address; 0 when unknown
  cg_upnp_answer_queue* answers;  // owned by its thread, which alone uses it; none when stopped
};

// SSDP messages reuse the HTTP records with writers of their own.
using cg_upnp_ssdp_request = cg_http_request;
using cg_upnp_ssdp_response = cg_http_response;

// ---------------------------------------------------------------------------
// Devices, services and icons
// ---------------------------------------------------------------------------

cg_upnp_device* cg_upnp_device_new();
// Ends the advertiser and the servers (a running device goes without
// byebye: cg_upnp_device_stop sends it), unlinks the device, then frees the
// description, the embedded devices, services and icons.
void cg_upnp_device_delete(cg_upnp_device* dev);
cg_upnp_device_list* cg_upnp_device_list_new();
void cg_upnp_device_list_delete(cg_upnp_device_list* list);
void cg_upnp_device_list_clear(cg_upnp_device_list* list);
void cg_upnp_device_list_add(cg_upnp_device_list* list, cg_upnp_device* dev);
int cg_upnp_device_list_size(const cg_upnp_device_list* list);
cg_upnp_device* cg_upnp_device_list_first(cg_upnp_device_list* list);
cg_upnp_device* cg_upnp_device_next(cg_upnp_device* dev);  // none after the last

// Reads the whole file (printing it under the loader's banner) and parses
// it. 1 on success; 0 after a "Can't load" or parse-error line.
int loaddescriptionfile(cg_upnp_device* dev, const char* path);
// Replaces the device's tree by the one parsed from text (length counts the
// terminating NUL). 1, or 0 when the text is no description.
int upnp_device_parsedescription(cg_upnp_device* dev, const char* text, int length);
// Stores the "device" element and rebuilds embedded devices, services and icons.
void cg_upnp_device_set_device_node(cg_upnp_device* dev, cg_xml_node* node);
cg_xml_node* cg_upnp_device_get_device_node(const cg_upnp_device* dev);
// The document's root element (of the root device), or none.
cg_xml_node* cg_upnp_device_get_root_node(const cg_upnp_device* dev);
void cg_upnp_device_clear_description(cg_upnp_device* dev);

int cg_upnp_device_is_root(const cg_upnp_device* dev);
cg_upnp_device* cg_upnp_device_get_parent(const cg_upnp_device* dev);
cg_upnp_device* cg_upnp_device_get_root_device(cg_upnp_device* dev);
cg_upnp_device_list* cg_upnp_device_get_device_list(cg_upnp_device* dev);
cg_upnp_service_list* cg_upnp_device_get_service_list(cg_upnp_device* dev);
cg_upnp_icon_list* cg_upnp_device_get_icon_list(cg_upnp_device* dev);

// The UDN in lower case (lower-cased in the document itself), or none.
char* cg_upnp_device_get_udn(cg_upnp_device* dev);
char* cg_upnp_device_get_device_type(cg_upnp_device* dev);  // none when absent
// "http://" address (IPv6 in brackets) ":" port and the description URI.
// Fills buffer (at most size bytes, NUL included) and returns it, or none
// when the URL does not fit.
char* cg_upnp_device_get_location_url(cg_upnp_device* dev, const char* local_address, char* buffer,
                                      int size);

void cg_upnp_device_set_lease_time(cg_upnp_device* dev, int seconds);
int cg_upnp_device_get_lease_time(const cg_upnp_device* dev);
void cg_upnp_device_set_http_port(cg_upnp_device* dev, int port);
int cg_upnp_device_get_http_port(const cg_upnp_device* dev);
void cg_upnp_device_set_description_uri(cg_upnp_device* dev, const char* uri);
const char* cg_upnp_device_get_description_uri(const cg_upnp_device* dev);
void cg_upnp_device_set_http_listener(cg_upnp_device* dev, cg_http_listener listener);
cg_http_listener cg_upnp_device_get_http_listener(const cg_upnp_device* dev);

cg_upnp_service* cg_upnp_service_new(cg_xml_node* service_node);
void cg_upnp_service_delete(cg_upnp_service* service);
cg_upnp_service_list* cg_upnp_service_list_new();
void cg_upnp_service_list_delete(cg_upnp_service_list* list);
void cg_upnp_service_list_clear(cg_upnp_service_list* list);
void cg_upnp_service_list_add(cg_upnp_service_list* list, cg_upnp_service* service);
int cg_upnp_service_list_size(const cg_upnp_service_list* list);
cg_upnp_service* cg_upnp_service_list_first(cg_upnp_service_list* list);
cg_upnp_service* cg_upnp_service_next(cg_upnp_service* service);
cg_xml_node* cg_upnp_service_get_service_node(const cg_upnp_service* service);
cg_upnp_device* cg_upnp_service_get_device(const cg_upnp_service* service);
char* cg_upnp_service_get_service_type(cg_upnp_service* service);  // none when absent

cg_upnp_icon* cg_upnp_icon_new(cg_xml_node* icon_node);
void cg_upnp_icon_delete(cg_upnp_icon* icon);
cg_upnp_icon_list* cg_upnp_icon_list_new();
void cg_upnp_icon_list_delete(cg_upnp_icon_list* list);
void cg_upnp_icon_list_clear(cg_upnp_icon_list* list);
void cg_upnp_icon_list_add(cg_upnp_icon_list* list, cg_upnp_icon* icon);
int cg_upnp_icon_list_size(const cg_upnp_icon_list* list);
cg_upnp_icon* cg_upnp_icon_list_first(cg_upnp_icon_list* list);
cg_upnp_icon* cg_upnp_icon_next(cg_upnp_icon* icon);
cg_xml_node* cg_upnp_icon_get_icon_node(const cg_upnp_icon* icon);

// "uuid:" and four groups of four lower-case hex digits from the clock.
// buffer holds at least CG_UPNP_UUID_SIZE bytes.
char* cg_upnp_create_uuid(char* buffer);
// "Platform 1.0 UPnP/1.0 vBdServer/1.0".
char* cg_upnp_get_server_name(char* buffer, int size);

// ---------------------------------------------------------------------------
// Start, stop and description serving
// ---------------------------------------------------------------------------

// Stops the device (byebye), then opens one HTTP server and one SSDP
// listener per interface address, announces and starts the advertiser.
// 1 when running; 0 when no HTTP server could be opened, with errno from
// the last interface that failed (ENETDOWN when none has an address).
int cg_upnp_device_start(cg_upnp_device* dev);
// Ends the advertiser, sends the byebye and closes every server. 1.
int cg_upnp_device_stop(cg_upnp_device* dev);

// The HTTP listener: description, SCPD documents, icons; 400 and 404 otherwise.
void cg_upnp_device_httprequestrecieved(cg_http_request* request);
// Appends the declaration line and the document, with URLBase set to
// "http://" address ":" port, to body and returns its text.
char* cg_upnp_device_get_description(cg_upnp_device* dev, const char* local_address,
                                     cg_string* body);
// The document is rendered once per URL base and kept until the tree
// changes. Sets URLBase in the tree and drops the rendered documents.
void cg_upnp_device_update_url_base(cg_upnp_device* dev, const char* url);
// Drops the rendered documents. The device's own changes to its tree call
// it; a caller that edits the tree's nodes directly calls it afterwards.
void cg_upnp_device_description_changed(cg_upnp_device* dev);
char* cg_upnp_service_get_description(cg_upnp_service* service, cg_string* body);
cg_upnp_service* cg_upnp_device_get_service_by_scpd_url(cg_upnp_device* dev, const char* path);
cg_upnp_icon* cg_upnp_device_get_icon_by_url(cg_upnp_device* dev, const char* path);
// Reads the description directory followed by path into body. 1 when read.
int cg_upnp_read_icon_file(const char* path, cg_string* body);
// Directory prefix of icon files, "./description" until set. The text stays
// valid until the next set.
const char* cg_upnp_description_directory();
void cg_upnp_set_description_directory(const char* directory);

// ---------------------------------------------------------------------------
// Announcement
// ---------------------------------------------------------------------------

// The full ssdp:alive (or ssdp:byebye) on every interface address, three
// passes each.
void cg_upnp_device_announce(cg_upnp_device* dev);
void cg_upnp_device_byebye(cg_upnp_device* dev);
// One device subtree for one local address; the send result of the last
// device message (1 sent, 0 not).
int cg_upnp_device_announce_from(cg_upnp_device* dev, const char* local_address);
int cg_upnp_device_byebye_from(cg_upnp_device* dev, const char* local_address);
int cg_upnp_service_announce_from(cg_upnp_service* service, const char* local_address);
int cg_upnp_service_byebye_from(cg_upnp_service* service, const char* local_address);
// Action of the advertiser thread; its user data is the root device.
void cg_upnp_device_advertiser(cg_thread* thread);

// ---------------------------------------------------------------------------
// Search response
// ---------------------------------------------------------------------------

// The SSDP listener of a device: the packet's user data is the device.
void cg_upnp_device_ssdplistener(cg_upnp_ssdp_packet* packet);
// check 1 (root call): acceptance checks and the searcher's subnet. A
// packet from a listener then has its answers queued on that listener, each
// due at a random time within the MX wait (MX quarter seconds) and in the
// order of the device tree, after the device's guard: a repeat of a search
// (same source address and port, same ST) within the MX wait of the first
// gets nothing, and the caps per source and in all drop what is over them.
// Any other packet (check 0, or one made elsewhere) is answered at once.
void cg_upnp_device_search_received(cg_upnp_device* dev, cg_upnp_ssdp_packet* packet, int check);
void cg_upnp_service_search_received(cg_upnp_service* service, cg_upnp_ssdp_packet* packet);
// Sends one answer at once (none from a thread being stopped). 1.
int cg_upnp_device_post_search_response(cg_upnp_device* dev, cg_upnp_ssdp_packet* packet,
                                        const char* st, const char* usn);
// The acceptance checks of an M-SEARCH. 1 with *mx set (already limited to
// CG_UPNP_SSDP_MAX_MX), else 0.
int cg_upnp_ssdp_packet_is_search_request(cg_upnp_ssdp_packet* packet, int* mx);

// ---------------------------------------------------------------------------
// SSDP transport
// ---------------------------------------------------------------------------

int cg_upnp_ssdp_announce_count();  // 3
// The process-wide IPv6 group ("FF02::C" until set).
const char* cg_upnp_ssdp_get_ipv6_address();
void cg_upnp_ssdp_set_ipv6_address(const char* address);
// The IPv6 group for an IPv6 local address, else "239.255.255.250".
const char* cg_upnp_ssdp_group_address(const char* local_address);

cg_upnp_ssdp_packet* cg_upnp_ssdp_packet_new();
void cg_upnp_ssdp_packet_delete(cg_upnp_ssdp_packet* packet);
// Drops the datagram text and every header.
void cg_upnp_ssdp_packet_clear(cg_upnp_ssdp_packet* packet);
void cg_upnp_ssdp_packet_set_user_data(cg_upnp_ssdp_packet* packet, void* data);
void* cg_upnp_ssdp_packet_get_user_data(const cg_upnp_ssdp_packet* packet);
cg_datagram_packet* cg_upnp_ssdp_packet_get_datagram(cg_upnp_ssdp_packet* packet);
// Value of the first header of that name (case ignored), or none.
const char* cg_upnp_ssdp_packet_get_header_value(cg_upnp_ssdp_packet* packet, const char* name);
// Splits the datagram text into header lines (request line skipped).
void cg_upnp_ssdp_packet_parse_headers(cg_upnp_ssdp_packet* packet);
// One datagram of at most 512 bytes, then its headers. The byte count, 0
// when nothing was received.
int cg_upnp_ssdp_packet_receive(cg_socket* sock, cg_upnp_ssdp_packet* packet);

cg_upnp_ssdp_server* cg_upnp_ssdp_server_new();
void cg_upnp_ssdp_server_delete(cg_upnp_ssdp_server* server);  // closes first
// Binds port 1900, joins the group on the interface with that address and
// learns the interface's index. 1 when open.
int cg_upnp_ssdp_server_open(cg_upnp_ssdp_server* server, const char* local_address);
int cg_upnp_ssdp_server_close(cg_upnp_ssdp_server* server);
int cg_upnp_ssdp_server_start(cg_upnp_ssdp_server* server);
// Returns once the listener thread no longer touches the server.
int cg_upnp_ssdp_server_stop(cg_upnp_ssdp_server* server);
void cg_upnp_ssdp_server_set_listener(cg_upnp_ssdp_server* server,
                                      cg_upnp_ssdp_packet_listener listener);
void cg_upnp_ssdp_server_set_user_data(cg_upnp_ssdp_server* server, void* data);
// The listener's thread: waits on its socket (and wake) until the next
// queued answer is due, hands every datagram that arrived on its interface
// to the listener, and sends each answer when it is due. A stop drops the
// answers still waiting.
void cg_upnp_ssdp_server_action(cg_thread* thread);

cg_upnp_ssdp_server_list* cg_upnp_ssdp_server_list_new();
void cg_upnp_ssdp_server_list_delete(cg_upnp_ssdp_server_list* list);
void cg_upnp_ssdp_server_list_clear(cg_upnp_ssdp_server_list* list);
void cg_upnp_ssdp_server_list_add(cg_upnp_ssdp_server_list* list, cg_upnp_ssdp_server* server);
int cg_upnp_ssdp_server_list_size(const cg_upnp_ssdp_server_list* list);
cg_upnp_ssdp_server* cg_upnp_ssdp_server_list_first(cg_upnp_ssdp_server_list* list);
cg_upnp_ssdp_server* cg_upnp_ssdp_server_next(cg_upnp_ssdp_server* server);
// One listener per interface address; always 1.
int cg_upnp_ssdp_server_list_open(cg_upnp_ssdp_server_list* list);
int cg_upnp_ssdp_server_list_close(cg_upnp_ssdp_server_list* list);
int cg_upnp_ssdp_server_list_start(cg_upnp_ssdp_server_list* list);
int cg_upnp_ssdp_server_list_stop(cg_upnp_ssdp_server_list* list);
void cg_upnp_ssdp_server_list_set_listener(cg_upnp_ssdp_server_list* list,
                                           cg_upnp_ssdp_packet_listener listener);
void cg_upnp_ssdp_server_list_set_user_data(cg_upnp_ssdp_server_list* list, void* data);

cg_upnp_ssdp_request* cg_upnp_ssdp_request_new();  // URI "*", HTTP/1.1
void cg_upnp_ssdp_request_delete(cg_upnp_ssdp_request* request);
void cg_upnp_ssdp_request_set_max_age(cg_upnp_ssdp_request* request, int seconds);
// Request line, header lines in first-set order, empty line. Appended to
// text; returns its value.
char* cg_upnp_ssdp_request_to_string(cg_upnp_ssdp_request* request, cg_string* text);
// Sets HOST and the method NOTIFY and sends to the group of the local
// address on port 1900, out of the interface with that address. 1 when sent.
int cg_upnp_ssdp_notify_from(cg_socket* sock, cg_upnp_ssdp_request* request,
                             const char* local_address);

cg_upnp_ssdp_response* cg_upnp_ssdp_response_new();  // HTTP/1.1 200 OK
void cg_upnp_ssdp_response_delete(cg_upnp_ssdp_response* response);
void cg_upnp_ssdp_response_set_max_age(cg_upnp_ssdp_response* response, int seconds);
char* cg_upnp_ssdp_response_to_string(cg_upnp_ssdp_response* response, cg_string* text);
// Sends the serialised response to host and port; the send's byte count.
int cg_upnp_ssdp_post_response(cg_socket* sock, cg_upnp_ssdp_response* response, const char* host,
                               int port);

// Test and fuzzing seam. While set, every SSDP datagram the device would
// send (NOTIFY and search responses) is handed to `send` instead (its result
// stands for the send's byte count), the searcher's subnet is judged by
// `peer_is_local` when given, and answers queued by a listener are due at
// once (no random wait). The daemon never
// sets it. Set it before devices start; none restores the sockets.
struct cg_upnp_ssdp_transport {
  int (*send)(void* user, const char* host, int port, const char* text, int length);
  int (*peer_is_local)(void* user, const char* remote_address);
  void* user;
};
void cg_upnp_ssdp_set_transport(const cg_upnp_ssdp_transport* transport);

// ---------------------------------------------------------------------------
// Application discovery start and stop
// ---------------------------------------------------------------------------

// The announced device while it runs, or none (loading or starting it
// failed, or there is no interface address).
extern cg_upnp_device* controlapp_device;

// Creates the device from "./description.xml", sets the lease to 1800 s and
// starts it; on failure prints "loaddescriptionfile() error" or
// "cg_upnp_device_start() error" (then a line with the port, the first
// interface's address and the system's reason) and goes on without
// discovery. A device that was read but could not start stays loaded for
// controlapp_discovery_follow.
void controlapp_discovery_start();
// After the interfaces' addresses changed: restarts the loaded device on
// the addresses of now (a byebye pass, new servers, a new announcement),
// or stops it while no interface has an address. Prints one line for what
// it did. Nothing without a loaded device.
void controlapp_discovery_follow();
// Stops (byebye) and deletes the device when there is one.
void controlapp_discovery_stop();
