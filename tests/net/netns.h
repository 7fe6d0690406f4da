// Namespace helpers of the network-layer tests (the HTTP server list's
// too): a test body run in a forked, leak-checked child inside a fresh
// network namespace set up by "ip" commands, on the support library.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/child.h"
#include "tests/support/netns.h"

#define NS_CHECK(cond) CHILD_CHECK(cond)
#define NS_CHECK_STREQ(a, b) CHILD_CHECK_STREQ(a, b)
#define EXPECT_NETNS_BODY_PASSES(setup, body) EXPECT_FRESH_NETNS_PASSES(setup, body)
