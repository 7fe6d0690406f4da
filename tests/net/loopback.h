// Loopback helpers of the network-layer tests: free ports and local ports,
// from the support library.
#pragma once

#include "tests/support/tcp.h"

using vbd_test::free_loopback_port;
using vbd_test::local_port_of;
