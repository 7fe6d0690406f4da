// Network layer: the socket object over BSD sockets, the control server's
// list of client sockets, and the host's usable IPv4 interfaces.
//
// Plain records and free functions: every object is made by a *_new (none
// when memory runs out) and released by the matching *_delete; lists own
// their members; getters lend pointers, setters copy. Nothing here throws
// and nothing here prints. Addresses are numeric texts (dotted IPv4, or IPv6
// without brackets, optionally followed by "%" and a scope number); host
// names are never looked up. Ports are ints.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include "runtime/runtime.h"

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

inline constexpr int CG_NET_SOCKET_STREAM = 1;    // TCP
inline constexpr int CG_NET_SOCKET_DGRAM = 2;     // UDP (any type but 1 is UDP)

inline constexpr int CG_SOCKET_DIRECTION_IDLE = 0;
inline constexpr int CG_SOCKET_DIRECTION_SERVER = 2;  // bound by cg_socket_bind

inline constexpr int CG_SOCKET_LISTEN_BACKLOG = 128;
inline constexpr int CG_SOCKET_DATAGRAM_SIZE = 512;   // longer datagrams are cut
inline constexpr int CG_SOCKET_MULTICAST_TTL = 4;     // set before every datagram send
// cg_socket_write gives up when no byte could be sent for
// CG_SOCKET_SEND_RETRIES * CG_SOCKET_SEND_RETRY_WAIT_MS (200 ms).
inline constexpr int CG_SOCKET_SEND_RETRIES = 10;
inline constexpr int CG_SOCKET_SEND_RETRY_WAIT_MS = 20;

inline constexpr int CG_NET_ADDRESS_TEXT_SIZE = 64;   // enough for any numeric address text
inline constexpr const char* CG_NET_LOCAL_ADDRESS_FALLBACK = "127.0.0.1";

// ---------------------------------------------------------------------------
// Socket
// ---------------------------------------------------------------------------

struct cg_socket {
  int fd;             // -1 while idle; open when >= 0
  int type;           // CG_NET_SOCKET_STREAM, else datagram
  int direction;      // CG_SOCKET_DIRECTION_IDLE or CG_SOCKET_DIRECTION_SERVER
  cg_string* address; // bound address, or the peer of an accepted connection; "" while idle
  int port;           // bound port, or the peer port of an accepted connection; -1 while idle
};

// Makes an idle socket of the given type (counted, see cg_socket_get_user_count).
cg_socket* cg_socket_new(int type);
// Closes, frees and drops the socket from the count. Accepts none.
void cg_socket_delete(cg_socket* sock);
// Shuts down and closes the descriptor (switched to non-blocking first);
// address "" and port -1 again, direction kept. Always 1.
int cg_socket_close(cg_socket* sock);
int cg_socket_is_open(const cg_socket* sock);
void cg_socket_set_fd(cg_socket* sock, int fd);
int cg_socket_get_fd(const cg_socket* sock);
int cg_socket_get_type(const cg_socket* sock);
int cg_socket_get_direction(const cg_socket* sock);
const char* cg_socket_get_address(const cg_socket* sock);  // never none for a socket
int cg_socket_get_port(const cg_socket* sock);

// Resolves a numeric address text (none: the wildcard) and port for a socket
// of the given type. With exact 0 the result is the wildcard address of the
// family of the given address. On 1 the caller frees *result with
// freeaddrinfo.
int cg_socket_resolve(int type, const char* address, int port, addrinfo** result, int exact);

// Binds to address and port (port must be above 0). exact 0 binds to the
// wildcard address of the address's family; reuse 1 sets SO_REUSEADDR.
// On success direction is CG_SOCKET_DIRECTION_SERVER and address/port are the
// given ones. A descriptor the socket already had is closed first. On failure
// errno says why: EINVAL for a port of 0 or less, EADDRNOTAVAIL for an
// address that is not a numeric address, else the system's own reason.
int cg_socket_bind(cg_socket* sock, int port, const char* address, int exact, int reuse);
int cg_socket_listen(cg_socket* sock);  // backlog CG_SOCKET_LISTEN_BACKLOG
// Accepts one connection into new_sock, whose address and port become the
// peer's numeric address text and port. 0 when accept fails (also when a
// signal interrupts it: that is how a stopping thread leaves a blocked accept).
int cg_socket_accept(cg_socket* server, cg_socket* new_sock);

// recv(2) with flags 0: byte count, 0 at end of stream, -1 on error or when
// a non-blocking socket has nothing to read.
int cg_socket_read(cg_socket* sock, char* buffer, int size);
// Sends all bytes. When the socket has no room (or a signal interrupts a
// send) it waits for room with poll, and gives up once no byte could be
// sent for CG_SOCKET_SEND_RETRIES * CG_SOCKET_SEND_RETRY_WAIT_MS ms; a hard
// error (reset or closed peer, bad descriptor) fails at once. The length
// sent, 0 for a length of 0 or less, -1 when it fails (some bytes may have
// gone). Never raises SIGPIPE.
int cg_socket_write(cg_socket* sock, const char* data, int length);
// One send that never waits (MSG_DONTWAIT) and never raises SIGPIPE: the
// number of bytes the socket took (0 when it had no room or a signal came
// first, and for a length of 0 or less), -1 on a hard error.
int cg_socket_try_write(cg_socket* sock, const char* data, int length);
// Reads one line byte by byte into buffer (size >= 2), line feed included,
// NUL-terminated. A line longer than size - 1 bytes is cut and the rest of it
// is read and discarded. The number of bytes stored, or -1 when a read fails
// or the stream ends first. A size below 2 returns -1 without reading.
int cg_socket_read_line(cg_socket* sock, char* buffer, int size);

// Sends one datagram; length < 0 means data is NUL-terminated text. An idle
// socket opens a descriptor for this send only and stays idle. The sendto(2)
// result, 0 when there is nothing to send, -1 when the address does not resolve.
int cg_socket_send_to(cg_socket* sock, const char* address, int port, const char* data,
                      int length);

// A received datagram with the addresses it travelled between.
struct cg_datagram_packet {
  cg_string* data;            // the received bytes, NUL added after them
  cg_string* local_address;   // address of the local interface that serves the sender
  int local_port;             // the receiving socket's port
  cg_string* remote_address;  // sender's numeric address, "" when it cannot be converted
  int remote_port;            // sender's port, 0 when it cannot be converted
  // Read only from a socket that asked for them (cg_socket_set_packet_info):
  int interface_index;        // the interface it arrived on, 0 when unknown
  int multicast;              // 1 when it was sent to a multicast group, else 0
};

cg_datagram_packet* cg_datagram_packet_new();
void cg_datagram_packet_delete(cg_datagram_packet* packet);  // accepts none
void cg_datagram_packet_clear(cg_datagram_packet* packet);   // "" texts, ports 0
void cg_datagram_packet_set_data(cg_datagram_packet* packet, const char* bytes, int length);
const char* cg_datagram_packet_get_data(const cg_datagram_packet* packet);
int cg_datagram_packet_get_length(const cg_datagram_packet* packet);
void cg_datagram_packet_set_local_address(cg_datagram_packet* packet, const char* address);
const char* cg_datagram_packet_get_local_address(const cg_datagram_packet* packet);
void cg_datagram_packet_set_local_port(cg_datagram_packet* packet, int port);
int cg_datagram_packet_get_local_port(const cg_datagram_packet* packet);
void cg_datagram_packet_set_remote_address(cg_datagram_packet* packet, const char* address);
const char* cg_datagram_packet_get_remote_address(const cg_datagram_packet* packet);
void cg_datagram_packet_set_remote_port(cg_datagram_packet* packet, int port);
int cg_datagram_packet_get_remote_port(const cg_datagram_packet* packet);
void cg_datagram_packet_copy(cg_datagram_packet* dest, const cg_datagram_packet* src);
void cg_datagram_packet_set_interface_index(cg_datagram_packet* packet, int index);
int cg_datagram_packet_get_interface_index(const cg_datagram_packet* packet);
void cg_datagram_packet_set_multicast(cg_datagram_packet* packet, int multicast);
int cg_datagram_packet_is_multicast(const cg_datagram_packet* packet);

// Receives one datagram of at most CG_SOCKET_DATAGRAM_SIZE bytes into the
// packet. local_address is the address of the interface whose subnet holds
// the sender (cg_net_local_address_for_peer); the arrival interface and
// whether it went to a group are set when the socket reads them, else 0. The
// byte count; 0 when nothing was received (the packet is then unchanged).
int cg_socket_recv_datagram(cg_socket* sock, cg_datagram_packet* packet);

// Options; each returns 1 on success, 0 on failure.
int cg_socket_set_reuse_address(cg_socket* sock, int flag);
int cg_socket_set_multicast_ttl(cg_socket* sock, int ttl);
// Receive and then send time-out of whole seconds (the send time-out is set
// only when the receive time-out was).
int cg_socket_set_timeout(cg_socket* sock, int seconds);
// The same with a seconds and microseconds time value.
int cg_socket_set_timeout_usec(cg_socket* sock, int seconds, int microseconds);
// Sets (flag 1) or clears (flag 0) O_NONBLOCK on the descriptor.
int cg_socket_set_nonblocking(cg_socket* sock, int flag);
// Whether each received datagram's arrival interface and destination are
// read with it (IP_PKTINFO; IPv4 sockets only).
int cg_socket_set_packet_info(cg_socket* sock, int flag);
// Joins the multicast group (IPv4 or IPv6 text) on the interface with the
// given address and makes that interface the outgoing multicast interface.
// For an IPv6 group the interface is the scope number of interface_address.
int cg_socket_join_group(cg_socket* sock, const char* group_address,
                         const char* interface_address);
// Numeric text of the socket's local address (getsockname), e.g. the address
// of the interface a TCP connection arrived on. 1, or 0 with buffer "".
int cg_socket_get_local_address(const cg_socket* sock, char* buffer, int size);
// The socket's local port (getsockname), or -1.
int cg_socket_get_local_port(const cg_socket* sock);

// Number of sockets in existence plus resolutions made (process-wide). The
// network layer leaves the process's SIGPIPE disposition alone: every send
// here uses MSG_NOSIGNAL.
int cg_socket_get_user_count();

// ---------------------------------------------------------------------------
// Socket list (the control server's connected clients)
// ---------------------------------------------------------------------------

struct vel_socket {
  cg_list node;
  cg_socket* socket;  // owned; none in a list head
};

using vel_socket_list = vel_socket;

vel_socket* vel_socket_new(cg_socket* sock);  // takes ownership of sock
void vel_socket_delete(vel_socket* entry);    // deletes its socket; unlinks it when listed
cg_socket* vel_socket_get_socket(const vel_socket* entry);

vel_socket_list* vel_socket_list_new();
void vel_socket_list_delete(vel_socket_list* list);  // unlinks and deletes every entry
void vel_socket_list_add(vel_socket_list* list, vel_socket* entry);  // append
int vel_socket_list_size(const vel_socket_list* list);
void vel_socket_list_remove(vel_socket* entry);      // unlink, then vel_socket_delete
vel_socket* vel_socket_list_first(vel_socket_list* list);  // none when empty
vel_socket* vel_socket_next(vel_socket* entry);            // none after the last

// ---------------------------------------------------------------------------
// Network interfaces (usable IPv4 interfaces: up, not loopback, with an address)
// ---------------------------------------------------------------------------

struct cg_net_interface {
  cg_list node;
  cg_string* name;     // as the kernel lists it, e.g. eth0
  cg_string* address;  // dotted IPv4 text
  cg_string* netmask;  // dotted IPv4 text, "" when unknown
};

using cg_net_interface_list = cg_net_interface;

cg_net_interface* cg_net_interface_new();
void cg_net_interface_delete(cg_net_interface* netif);  // unlinks it first
void cg_net_interface_set_name(cg_net_interface* netif, const char* name);
const char* cg_net_interface_get_name(const cg_net_interface* netif);
void cg_net_interface_set_address(cg_net_interface* netif, const char* address);
const char* cg_net_interface_get_address(const cg_net_interface* netif);
void cg_net_interface_set_netmask(cg_net_interface* netif, const char* netmask);
const char* cg_net_interface_get_netmask(const cg_net_interface* netif);
cg_net_interface* cg_net_interface_next(cg_net_interface* netif);  // none after the last

cg_net_interface_list* cg_net_interface_list_new();
void cg_net_interface_list_delete(cg_net_interface_list* list);
void cg_net_interface_list_clear(cg_net_interface_list* list);
void cg_net_interface_list_add(cg_net_interface_list* list, cg_net_interface* netif);
int cg_net_interface_list_size(const cg_net_interface_list* list);
cg_net_interface* cg_net_interface_list_first(cg_net_interface_list* list);
cg_net_interface* cg_net_interface_list_get(cg_net_interface_list* list, int index);
// The interface whose subnet holds the IPv4 peer address text, else none.
cg_net_interface* cg_net_interface_list_find_for_peer(cg_net_interface_list* list,
                                                      const char* peer_address);

// Replaces the list's members by the host's usable interfaces in the
// kernel's order. The number of members (0 also when nothing can be queried).
int cg_net_get_host_interfaces(cg_net_interface_list* list);
// Address of the first usable interface, or none. The text stays valid until
// the program ends (texts are kept once per distinct address).
const char* cg_net_first_interface_address();
// Copy (free with free) of the first usable interface's address, or of
// "127.0.0.1" when there is none. The peer is not looked at.
char* cg_net_select_local_address(const sockaddr* peer);
// Copy (free with free) of the address of the interface whose subnet holds
// the peer's address text; else the first usable interface's address; else
// "127.0.0.1".
char* cg_net_local_address_for_peer(const char* peer_address);

// Address changes. A netlink route socket (non-blocking) that becomes
// readable when an interface or an IPv4 address comes, goes or changes; -1
// (errno set) when it cannot be opened. Open it before reading the
// interfaces, so that no change between the two is missed.
int cg_net_address_watch_open();
// Reads every message waiting on the watch: 1 when one of them (or a loss
// of messages) may have changed the interfaces or their addresses, 0 when
// none did or nothing waited, -1 when the socket failed.
int cg_net_address_watch_read(int fd);
void cg_net_address_watch_close(int fd);

// 1 when the text has a ":" that is not its first character, else 0.
int cg_net_is_ipv6_address(const char* address);
// The number after "%" of an IPv6 text (at most 8 characters read), else 0.
int cg_net_ipv6_scope_id(const char* address);
