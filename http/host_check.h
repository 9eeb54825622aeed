#pragma once

#include <string>

namespace http_output {

// Whether a request's Host header names the loopback server bound to
// `bound_host`: "localhost", "127.0.0.1", "[::1]" or the bound address, each
// with or without a port. A page of another name that resolves to a loopback
// address (DNS rebinding) sends its own name and is refused.
bool HostAllowed(const std::string& host_header, const std::string& bound_host);

}  // namespace http_output
