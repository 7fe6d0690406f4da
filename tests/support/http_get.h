// Test support: one HTTP GET over a fresh connection, as a control point
// fetches the description.
#pragma once

#include <string>

namespace vbd_test {

// GET path from `from` ("" for any address) to to:port with
// "Connection: close"; the whole response as received until the server
// closed or timeout_ms passed ("" when the connection failed).
std::string http_get(const std::string& from, const std::string& to, int port, const std::string& path,
                     int timeout_ms = 5000);

}  // namespace vbd_test
