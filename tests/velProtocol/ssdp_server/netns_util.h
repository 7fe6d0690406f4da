// Namespace helpers of the discovery tests, on the support library: bodies
// in a fresh anonymous network namespace, and the device and control-point
// namespaces of a veth link (the control point is the link's client side)
// whose children talk to the test through record pipes.
#pragma once

#include "tests/support/child.h"
#include "tests/support/netns.h"
#include "tests/support/udp.h"

namespace ssdp_test {

using vbd_test::ns_child;
using vbd_test::readable_within;
using vbd_test::receive_all;
using vbd_test::receive_record;
using vbd_test::run_quiet;
using vbd_test::send_record;
using vbd_test::spawn_in_netns;
using vbd_test::veth_link;

}  // namespace ssdp_test
