// Helpers shared by the files of the discovery library: typed walks over the
// intrusive lists, the SSDP identities of devices and services, the send path
// with its test seam, and the stop test and stoppable pauses of the calling
// thread.
#pragma once

#include <cstddef>
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

}  // namespace vbd_ssdp
