#pragma once

#include <string>

#include "serving/listen_address.h"

namespace serving {

// A TCP socket bound to `address` (a host name takes its first address) and
// listening, with the port it took in `bound_port`; -1 with `error` set when
// the address cannot be resolved or bound; `server` begins the error.
int OpenListenSocket(const ListenAddress& address, int& bound_port, std::string& error,
                     const std::string& server = "HTTP server");

}  // namespace serving
