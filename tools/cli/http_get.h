#pragma once

#include <cstddef>
#include <string>

namespace cli {

// Where a plain HTTP server is: "http://HOST:PORT" with an optional "/".
struct HttpTarget {
  std::string host;  // a name, an IPv4 address or an IPv6 address (without brackets)
  int port = 0;
  // The Host header's value: "HOST:PORT", an IPv6 address in brackets.
  std::string HostHeader() const;
};

// Reads "http://HOST:PORT[/]" ("[IPV6]" in brackets); false with `error`
// set for anything else (another scheme, a path, no port, a port not 1 to
// 65535).
bool ParseHttpUrl(const std::string& url, HttpTarget& target, std::string& error);

struct HttpGetLimits {
  int connect_ms = 5000;                   // to open the connection
  int answer_ms = 15000;                   // from sending the request to the whole answer
  std::size_t max_head = 64 * 1024;        // status line and headers
  std::size_t max_body = 4 * 1024 * 1024;  // the body
};

struct HttpGetAnswer {
  int status = 0;
  std::string content_type;
  std::string body;
};

// GET `path` from `target` over HTTP/1.1 on a TCP connection that closes
// after the answer, with an "Authorization: `authorization`" header when it
// is not empty. False with `error` set, naming the server, when it cannot be
// reached or does not answer in time, or the answer is not HTTP or is larger
// than the limits.
bool HttpGet(const HttpTarget& target, const std::string& path, const std::string& authorization,
             const HttpGetLimits& limits, HttpGetAnswer& answer, std::string& error);

}  // namespace cli
