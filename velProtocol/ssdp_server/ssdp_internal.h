// Helpers shared by the files of the discovery library: typed walks over the
// intrusive lists, the SSDP identities of devices and services, the send path
// with its test seam, the stop test and stoppable pauses of the calling
// thread, and the search answers with their guard and their queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "velProtocol/ssdp_server/ssdp_server.h"

namespace vbd_ssdp {

// Source paths quoted in the diagnostic lines.
inline constexpr const char* kDeviceSource = "./velProtocol/ssdp_server/cdevice";
inline constexpr const char* kSsdpSource = "./velProtocol/ssdp_server/velSsdp";

// Every listed record of this library begins with its cg_list header.
using vbd_runtime::list_first;
using vbd_runtime::list_next;
using vbd_runtime::list_size;
using vbd_runtime::record_new;

// One NT (or ST) and USN pair, each at most 127 characters.
struct identity {
  char nt[CG_UPNP_IDENTIFIER_SIZE];
  char usn[CG_UPNP_IDENTIFIER_SIZE];
};

enum class device_identity { root, type, udn };

// Fills the pair for one of a device's identities. False when the device
// lacks what the identity needs (a UDN, a deviceType, or the root status for
// "upnp:rootdevice") or when a text would exceed 127 characters: such an
// identity is neither announced nor answered.
bool make_device_identity(cg_upnp_device* dev, device_identity which, identity* out);
// The same for a service: its serviceType and the parent's UDN.
bool make_service_identity(cg_upnp_service* service, identity* out);

// Sends one SSDP datagram: through the test seam when it is set, else from
// the socket object. out_interface, when given, is the IPv4 address of the
// interface multicast leaves from. The send's byte count.
int send_datagram(cg_socket* sock, const char* host, int port, const char* text, int length,
                  const char* out_interface);
// Whether a test seam is set (search waits are skipped then).
bool transport_is_seamed();
// Whether the searcher's address lies in the subnet of one of the host's
// IPv4 interfaces (or what the seam says).
bool peer_is_local(const char* remote_address);

// False when the calling thread is a cg_thread that is being stopped: it
// sends no further message then. True on any other thread.
bool calling_thread_may_go_on();

// The calling thread's pause of a random 0..milliseconds (the draw of
// cg_sleep_random_ms). On a cg_thread a stop ends it at once; elsewhere it
// is a plain sleep. Whether the thread may go on afterwards.
bool pause_random_ms(int milliseconds);

// Frees a device's rendered descriptions (none is fine).
void description_cache_delete(cg_upnp_description_cache* cache);

// Opens the socket's descriptor and points its multicast output at the
// interface with the given IPv4 address, so a pass for one interface leaves
// through that interface; a socket opened so stays open for every send of
// the pass. Any failure leaves the socket closed and the choice to the
// system (each send then opens and closes a descriptor of its own).
void open_for_interface(cg_socket* sock, const char* out_interface);

// The value of a child element, or none when it is missing or empty.
char* child_text(cg_xml_node* node, const char* name);

// ---------------------------------------------------------------------------
// Search answers
// ---------------------------------------------------------------------------

inline constexpr int kLocationSize = 512;

// One answer to a search with everything it carries but its Date, which is
// taken when it is sent.
struct search_answer {
  int64_t due_ms;  // monotonic time (cg_monotonic_ms) it is due at
  int lease;       // Cache-Control max-age, seconds
  int port;        // the searcher's
  char host[CG_NET_ADDRESS_TEXT_SIZE];
  char st[CG_UPNP_IDENTIFIER_SIZE];
  char usn[CG_UPNP_IDENTIFIER_SIZE];
  char location[kLocationSize];
};

// Writes the answer (Date taken now) and sends it to its searcher; the
// send's byte count.
int send_search_answer(const search_answer& answer);

// The guard of one device's answers, shared by its listeners (it locks).
// All times are monotonic milliseconds. None when memory runs out.
cg_upnp_search_guard* search_guard_new();
void search_guard_delete(cg_upnp_search_guard* guard);  // accepts none
// How many of the `wanted` answers to one search may go. 0 when the search
// repeats one (same source address and port, same ST) that got answers
// less than that one's window_ms ago. Otherwise as many as the caps leave:
// CG_UPNP_SSDP_ANSWERS_PER_SOURCE per source address and
// CG_UPNP_SSDP_ANSWERS_IN_ALL in all, each counted over a second that
// begins with the first answer let through after the last such second.
// What it lets through is charged to both caps, and the search is
// remembered for window_ms when it got any.
int search_guard_admit(cg_upnp_search_guard* guard, int64_t now_ms, const char* source, int port,
                       const char* st, int window_ms, int wanted);
// What the guard has dropped so far.
struct search_guard_counts {
  long repeats;   // searches not answered as repeats
  long over_cap;  // answers dropped by a cap
};
search_guard_counts search_guard_get_counts(cg_upnp_search_guard* guard);

// A listener's answers waiting for their time: at most kQueuedAnswers, taken
// in due order (equal times in the order they were added). Used by one
// thread only. None when memory runs out.
inline constexpr int kQueuedAnswers = 256;
cg_upnp_answer_queue* answer_queue_new();
void answer_queue_delete(cg_upnp_answer_queue* queue);  // accepts none
// False when the queue is full: the answer is dropped.
bool answer_queue_add(cg_upnp_answer_queue* queue, const search_answer& answer);
int answer_queue_size(const cg_upnp_answer_queue* queue);
// Milliseconds from now until the next answer is due: 0 when one is due,
// -1 when the queue is empty.
int answer_queue_wait_ms(const cg_upnp_answer_queue* queue, int64_t now_ms);
// Moves the first answer due by now to *out; false when none is due.
bool answer_queue_take_due(cg_upnp_answer_queue* queue, int64_t now_ms, search_answer* out);

}  // namespace vbd_ssdp
