#pragma once

#include <string>

namespace http_output {

// Whether the HTTP server can start with these settings, as far as can be
// known without binding: "" or why not (a listen address that cannot be
// read, an auth file that cannot be read or holds no credential, a
// non-loopback address without one). check and the server's start share it.
std::string CheckHttpSettings(const std::string& listen, const std::string& auth_file);

}  // namespace http_output
