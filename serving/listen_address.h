#pragma once

#include <string>

namespace serving {

// Where the HTTP server listens.
struct ListenAddress {
  std::string host;  // an IPv4 or IPv6 address, or a host name
  int port = 0;      // 0: a free port chosen at start
  // "http://HOST:PORT/" (IPv6 addresses in brackets).
  std::string Url(int bound_port) const;
};

// "ADDR:PORT", "[IPV6]:PORT" or "PORT" (on 127.0.0.1); false with `error`
// set when the text is none of these or the port is not 0 to 65535.
bool ParseListen(const std::string& text, ListenAddress& address, std::string& error);
// 127.0.0.0/8, ::1 and "localhost": reachable from this machine alone.
bool IsLoopback(const std::string& host);

}  // namespace serving
